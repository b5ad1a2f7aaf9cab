#include "content.h"

#include "container.h"
#include "editor/tree.h"
#include "exception.h"
#include "kind_names.h"
#include "log.h"
#include "status.h"

#include <kestrin/collision.h>
#include <kestrin/kestrin.h>
#include <kestrin/placement.h>
#include <kestrin/urdf_robot.h>
#include <kestrin/users_index.h>
#include <kestrin_viewer/simulator.h>
#include <kestrin_viewer/workspace_viewer.h>

#include <QApplication>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QMainWindow>
#include <QPointer>
#include <QSet>
#include <utility>
#include <vtkRenderer.h>

namespace kestrin_app::content {

namespace {
/// A busy cursor while a project file is read or written (large cells take a moment).
class BusyCursor {
public:
    BusyCursor() {
        if (qobject_cast<QApplication*>(QCoreApplication::instance()))
            QApplication::setOverrideCursor(Qt::WaitCursor);
    }
    ~BusyCursor() {
        if (qobject_cast<QApplication*>(QCoreApplication::instance()))
            QApplication::restoreOverrideCursor();
    }
    BusyCursor(const BusyCursor&) = delete;
    BusyCursor& operator=(const BusyCursor&) = delete;
};

QString joinPath(std::initializer_list<QString> parts) {
    QStringList list(parts);
    return list.join(QDir::separator());
}
} // namespace

const QString DEFAULT_PATH = QDir::homePath();
const QString PROJECT_FILE_FILTER = QStringLiteral("Kestrin project file (*") +
                                    QLatin1String(kestrin::KS_PROJECT_FILE_EXT) + QStringLiteral(")");
const QString DEFAULT_PROJECT_SAVE =
    joinPath({DEFAULT_PATH, QStringLiteral("Documents"),
              QStringLiteral("my_project") + QLatin1String(kestrin::KS_PROJECT_FILE_EXT)});
const QString IMAGE_FILE_FILTER =
    QStringLiteral("Png image file (*") + QLatin1String(kestrin::KS_IMAGE_FILE_EXT) + QStringLiteral(")");
const QString DEFAULT_IMAGE_SAVE =
    joinPath({DEFAULT_PATH, QStringLiteral("Desktop"),
              QStringLiteral("screenshot") + QLatin1String(kestrin::KS_IMAGE_FILE_EXT)});

const QString URDF_FILE_FILTER = QStringLiteral("URDF robot description (*.urdf *.URDF)");
const QString MESH_FILE_FILTER =
    QStringLiteral("Mesh file (*.stl *.STL *.obj *.OBJ *.dae *.DAE *.ply *.PLY *.3mf *.3MF *.off *.OFF "
                   "*.gltf *.glb *.fbx *.FBX *.3ds *.3DS);;All files (*)");

QString defaultMeshUnit(const QString& path) {
    const QString suffix = QFileInfo(path).suffix().toLower();
    const bool inMetres =
        suffix == QLatin1String("dae") || suffix == QLatin1String("gltf") || suffix == QLatin1String("glb");
    return kestrin::unitName(inMetres ? kestrin::LengthUnit::Metre : kestrin::LengthUnit::Millimetre);
}

KSContentHandler::KSContentHandler(QMainWindow* window, KSProjectContainer* container,
                                   KSProjectTree* project_tree, KSStatusBarWidget* status_bar) {
    _respawn_state.reset();
    _locked = false;
    _window = window;
    _container = container;
    _project_tree = project_tree;
    _status_bar = status_bar;
    _setupProject();
    _simulator = nullptr;
    _active_filename = QString();
    _active_behavior = nullptr;
    _active_robot = QString();
    _active_tool = QString();
    _exit_application = [](int status) { QCoreApplication::exit(status); };
}

kestrin::WorkspaceViewer* KSContentHandler::viewer() const {
    return _container->viewer();
}

kestrin::Project* KSContentHandler::project() const {
    return _container->project();
}

void KSContentHandler::_lock() {
    _locked = true;
}

void KSContentHandler::_unlock() {
    _locked = false;
}

void KSContentHandler::_rebuildViewerAndTree() {
    _container->rebuildViewer();
    _project_tree->updateProjectTreeContent();
}

void KSContentHandler::_setupProject() {
    _rebuildViewerAndTree();
    _container->viewer()->_getRenderer()->ResetCamera();
    _container->viewer()->render();
    _status_bar->indicateReady();
    recordRespawnState();
}

// The log lines below follow the work they report, so that a failure is never logged as done.

void KSContentHandler::recordRespawnState() {
    logerror("recordRespawnState", [this] {
        if (_locked)
            return;
        _respawn_state = _container->project()->workspace()->_getState();
        qCInfo(lcApp, "Recorded the project respawn state");
    });
}

void KSContentHandler::resetState() {
    logerror("resetState", [this] {
        if (_locked)
            return;
        if (!_respawn_state)
            return;
        _container->project()->workspace()->_setState(*_respawn_state);
        recordStep(QStringLiteral("Reset to Respawn State"));
        qCInfo(lcApp, "Reset the project state");
        // The view draws what it was last brought in line with: bring it in line before drawing.
        _container->rebuildViewer();
        _container->viewer()->render();
    });
}

// --- Project lifecycle ------------------------------------------------------------------------

bool KSContentHandler::offerToSave() {
    if (!KSMessageBox::userWantsToSaveProject(_window))
        return true;
    // A failed save throws and so ends the calling operation; a save-as chooser that was
    // cancelled saved nothing either, and the user who asked for the save keeps the project.
    _save_declined = false;
    saveProject();
    return !_save_declined;
}

void KSContentHandler::newProject() {
    logerror("newProject", [this] {
        if (_locked || _quitting)
            return;
        if (!offerToSave())
            return;
        _container->newProject();
        _active_filename = QString();
        _setupProject();
        _active_filename = QString();
        qCInfo(lcApp, "Created new project");
    });
}

void KSContentHandler::openProject() {
    logerror("openProject", [this] {
        if (_locked || _quitting)
            return;
        if (!offerToSave())
            return;
        const QString path =
            KSFileDialog::getOpenFileName(_window, QStringLiteral("Open file"), PROJECT_FILE_FILTER);
        if (path.isEmpty())
            return;
        replaceWithFile(path);
        _active_filename = path;
        qCInfo(lcApp, "Opened project '%s'", qUtf8Printable(path));
    });
}

void KSContentHandler::replaceWithFile(const QString& path) {
    // The file is read into a project of its own: one that fails to load replaces nothing, and
    // the current project, its file, its history and what the window shows stay as they were.
    auto loaded = std::make_unique<kestrin::Project>();
    const kestrin::FileStamp stamp = kestrin::FileStamp::of(path);
    {
        BusyCursor busy;
        loaded->load(path);
    }
    _noteFileOnDisk(path, stamp);
    _container->setProject(std::move(loaded));
    // From here on the old project is gone: until the new one is set up, no file is remembered,
    // so that a later save can never write a half-shown project over the old one's file.
    _active_filename = QString();
    _setupProject();
}

void KSContentHandler::_restoreProject(const QString& recoveryFile, const QString& originalFile) {
    replaceWithFile(recoveryFile);
    _active_filename = originalFile;
    _container->project()->history().markUnsaved();
}

void KSContentHandler::openRecent(const QString& path) {
    logerror("openRecent", [this, path] {
        if (_locked || _quitting)
            return;
        if (!QFileInfo(path).isFile())
            throw kestrin::FileError(
                QStringLiteral("Cannot open project file '%1': it no longer exists.").arg(path));
        if (!offerToSave())
            return;
        replaceWithFile(path);
        _active_filename = path;
        qCInfo(lcApp, "Opened project '%s'", qUtf8Printable(path));
    });
}

void KSContentHandler::undo() {
    logerror("undo", [this] {
        if (_locked || _quitting)
            return;
        _container->project()->history().undo();
        _rebuildViewerAndTree();
        _container->viewer()->render();
    });
}

void KSContentHandler::redo() {
    logerror("redo", [this] {
        if (_locked || _quitting)
            return;
        _container->project()->history().redo();
        _rebuildViewerAndTree();
        _container->viewer()->render();
    });
}

void KSContentHandler::openTemplate(const QString& filename) {
    logerror("openTemplate", [this, filename] {
        if (_locked || _quitting)
            return;
        if (!offerToSave())
            return;
        if (!QFileInfo::exists(filename)) {
            qCCritical(lcApp, "Unable to open template");
            return;
        }
        replaceWithFile(filename);
        _active_filename = QString();
        qCInfo(lcApp, "Created new project from template");
    });
}

void KSContentHandler::saveProject() {
    logerror("saveProject", [this] {
        if (_locked || _quitting)
            return;
        if (_active_filename.isEmpty()) {
            saveProjectAs();
            return;
        }
        if (!saveToActiveFile()) {
            _save_declined = true;
            return;
        }
        qCInfo(lcApp, "Saved project '%s'", qUtf8Printable(_active_filename));
        recordRespawnState();
    });
}

void KSContentHandler::_noteFileOnDisk(const QString& path, const kestrin::FileStamp& stamp) {
    _known_file = path;
    _known_stamp = stamp;
}

bool KSContentHandler::mayOverwrite(const QString& path) {
    if (path != _known_file)
        return true; // a file of the user's choosing (Save As asks about files that exist)
    const kestrin::FileStamp now = kestrin::FileStamp::of(path);
    if (now == _known_stamp || !now.exists)
        return true;
    const auto answer = KSMessageBox::warning(
        _window, QStringLiteral("File Changed on Disk"),
        QStringLiteral(
            "The project file '%1' was changed on disk since it was opened or last saved here, perhaps "
            "by another Kestrin Studio. Save over it? What was written there would be lost.")
            .arg(QDir::toNativeSeparators(path)),
        QMessageBox::Save | QMessageBox::Cancel, QMessageBox::Cancel);
    return answer == QMessageBox::Save;
}

bool KSContentHandler::saveToActiveFile() {
    if (!mayOverwrite(_active_filename)) {
        qCInfo(lcApp, "Did not save over '%s', which was changed on disk", qUtf8Printable(_active_filename));
        return false;
    }
    QStringList warnings;
    {
        BusyCursor busy;
        warnings = _container->project()->save(_active_filename);
    }
    _noteFileOnDisk(_active_filename, kestrin::FileStamp::of(_active_filename));
    _container->project()->history().markSaved();
    // Saved, but something of the old file could not be kept (its owner, say): the user should know.
    for (const QString& warning : warnings)
        qCWarning(lcApp, "%s", qUtf8Printable(warning));
    return true;
}

void KSContentHandler::saveProjectAs() {
    logerror("saveProjectAs", [this] {
        if (_locked || _quitting)
            return;
        const QString path = KSFileDialog::getSaveFileName(_window, QStringLiteral("Save file"),
                                                           DEFAULT_PROJECT_SAVE, PROJECT_FILE_FILTER);
        if (path.isEmpty()) {
            _save_declined = true;
            return;
        }
        _active_filename = path;
        if (!saveToActiveFile()) {
            _save_declined = true;
            return;
        }
        qCInfo(lcApp, "Saved file '%s'", qUtf8Printable(_active_filename));
        recordRespawnState();
    });
}

void KSContentHandler::quit() {
    logerror("quit", [this] {
        if (_quitting)
            return;
        if (!offerToSave())
            return;
        _quitting = true;
        _exit_application(0);
    });
}

// --- Viewer modes, screenshots, local simulation -----------------------------------------------

void KSContentHandler::setCameraMode() {
    logerror("setCameraMode", [this] { _container->viewer()->setCameraMode(); });
}

void KSContentHandler::setTeleoperationMode() {
    logerror("setTeleoperationMode", [this] {
        if (_locked || _quitting)
            return;
        KSParams prompt{{KSSelectorDialog::EXISTING_ROBOT_KEY, _active_robot},
                        {KSSelectorDialog::EXISTING_TOOL_KEY, _active_tool}};
        const KSParams* answer = KSSelectorDialog::getParams(_window, _container->project(), prompt);
        if (!answer || answer->isEmpty())
            return;
        _container->viewer()->setTeleoperationMode(
            answer->value(KSSelectorDialog::EXISTING_ROBOT_KEY).toString(),
            answer->value(KSSelectorDialog::EXISTING_TOOL_KEY).toString());
    });
}

void KSContentHandler::resetViewer() {
    logerror("resetViewer", [this] {
        _container->viewer()->resetCamera();
        _container->viewer()->render();
    });
}

void KSContentHandler::screenshotViewer() {
    logerror("screenshotViewer", [this] {
        const QString path = KSFileDialog::getSaveFileName(_window, QStringLiteral("Save image"),
                                                           DEFAULT_IMAGE_SAVE, IMAGE_FILE_FILTER);
        if (path.isEmpty())
            return;
        _container->viewer()->screenshot(path);
        qCInfo(lcApp, "Saved image '%s'", qUtf8Printable(path));
    });
}

void KSContentHandler::runLocalSimulator() {
    logerror("runLocalSimulator", [this] {
        if (_locked || _quitting)
            return;
        KSParams prompt{{KSSelectorDialog::EXECUTE_BEHAVIOR_KEY, QString()}};
        const KSParams* answer = KSSelectorDialog::getParams(_window, _container->project(), prompt);
        if (!answer || answer->isEmpty())
            return;
        const QString program = answer->value(KSSelectorDialog::EXECUTE_BEHAVIOR_KEY).toString();
        if (program.isEmpty()) {
            // A project without programs offers none to choose: no run, and nothing to show for one.
            const QString text =
                QStringLiteral("No program was chosen to run: add a behavior without a parent to make one.");
            qCCritical(lcApp, "%s", qUtf8Printable(text));
            if (const FailurePresenter present = failurePresenter())
                present(QStringLiteral("Kestrin Studio"), text);
            return;
        }
        playProgram(program, 1);
    });
}

void KSContentHandler::replayProgram(const QString& program, quint64 seed,
                                     const kestrin::WorkspaceState& start) {
    logerror("replayProgram", [&] {
        if (_locked || _quitting)
            return;
        _container->project()->workspace()->_setState(start);
        _container->rebuildViewer();
        playProgram(program, seed);
    });
}

void KSContentHandler::playProgram(const QString& program, quint64 seed) {
    {
        kestrin::Project* project = _container->project();
        kestrin::WorkspaceViewer* viewer = _container->viewer();
        kestrin::Simulator simulator(project, viewer);
        simulator.setSeed(seed);
        simulator.setSpeed(_run_speed);
        if (_on_simulator_created)
            _on_simulator_created(&simulator);

        // The window follows the run: the tree marks the behavior playing, the run controls show
        // the time. Observers the caller installed still run, after the window has followed.
        QString playing;
        simulator.setBehaviorObserver(
            [this, &playing, then = simulator.behaviorObserver()](const kestrin::Behavior* b) {
                playing = b->name();
                _project_tree->markRunningBehavior(playing);
                if (then)
                    then(b);
            });
        simulator.setStepObserver([this, &simulator, then = simulator.stepObserver()](double t) {
            if (_on_run_step)
                _on_run_step(simulator);
            if (then)
                then(t);
        });

        _project_tree->clearRunMarks();
        _container->viewer()->setCollidingObjects({});
        _status_bar->indicateRunningLocalSim();
        _simulator = &simulator;
        bool completed = false;
        try {
            if (_on_run_started)
                _on_run_started(&simulator);
            completed = simulator.runProgram(program);
        } catch (const std::exception& e) {
            // A run that breaks off is a faulted run, not one that runs for ever.
            endRun(simulator);
            recordStep(QStringLiteral("Run '%1'").arg(program));
            const QString reason = QString::fromUtf8(e.what());
            _status_bar->indicateFaulted(reason);
            _project_tree->markFaultedBehavior(playing, reason);
            throw;
        } catch (...) {
            endRun(simulator);
            recordStep(QStringLiteral("Run '%1'").arg(program));
            _status_bar->indicateFaulted();
            _project_tree->markFaultedBehavior(playing, QString());
            throw;
        }
        endRun(simulator);
        recordStep(QStringLiteral("Run '%1'").arg(program));
        const kestrin::RunOutcome& outcome = simulator.lastOutcome();
        if (completed) {
            _project_tree->clearRunMarks();
            _status_bar->indicateCompleted();
        } else if (outcome.stopped) {
            _project_tree->clearRunMarks();
            _status_bar->indicateStopped(outcome.reason);
        } else {
            // After the run's step is recorded: the mark stays until the project changes next.
            _project_tree->markFaultedBehavior(outcome.faultedBehavior, outcome.reason);
            _status_bar->indicateFaulted(outcome.reason);
            // The view stays at the instant of a collision and shows what met in red.
            if (!outcome.collidingObjects.empty()) {
                _container->viewer()->setCollidingObjects(outcome.collidingObjects);
                _container->viewer()->render();
            }
        }
        if (simulator.quitRequested()) {
            // The window was closed (or Ctrl+Q pressed) during the run: the run has stopped, and
            // now the window closes as usual, with its offer to save.
            QPointer<QMainWindow> window(_window);
            QMetaObject::invokeMethod(
                _window,
                [window] {
                    if (window)
                        window->close();
                },
                Qt::QueuedConnection);
        }
    }
}

void KSContentHandler::checkCollisions() {
    logerror("checkCollisions", [this] {
        if (_locked || _quitting)
            return;
        kestrin::Workspace* workspace = _container->project()->workspace();
        kestrin::CollisionWorld world(workspace);
        world.setClearance(workspace->clearance());
        const std::vector<kestrin::Contact> contacts = world.check();
        std::vector<quint64> ids;
        for (const kestrin::Contact& c : contacts) {
            qCWarning(lcApp, "Collision: %s", qUtf8Printable(kestrin::describeContact(c)));
            for (const kestrin::WorkspaceObject* o : {c.a, c.b})
                if (std::find(ids.begin(), ids.end(), o->id()) == ids.end())
                    ids.push_back(o->id());
        }
        if (contacts.empty())
            qCInfo(lcApp, "No collisions in the cell");
        else
            qCInfo(lcApp, "%d collision%s in the cell", int(contacts.size()),
                   contacts.size() == 1 ? "" : "s");
        _container->rebuildViewer();
        _container->viewer()->setCollidingObjects(ids);
        _container->viewer()->render();
    });
}

void KSContentHandler::endRun(const kestrin::Simulator& simulator) {
    _simulator = nullptr;
    if (_on_run_ended)
        _on_run_ended(simulator);
}

// --- Adding content ----------------------------------------------------------------------------

const QList<const kestrin::Type*>& KSContentHandler::robotTypes() {
    static const QList<const kestrin::Type*> t{
        &kestrin::FrankaPandaRobot::staticType(), &kestrin::UR3eRobot::staticType(),
        &kestrin::UR5eRobot::staticType(), &kestrin::UR10eRobot::staticType()};
    return t;
}

const QList<const kestrin::Type*>& KSContentHandler::effectorTypes() {
    static const QList<const kestrin::Type*> t{&kestrin::RobotiqGripper2F85::staticType(),
                                               &kestrin::FrankaHand::staticType()};
    return t;
}

const QList<const kestrin::Type*>& KSContentHandler::itemTypes() {
    static const QList<const kestrin::Type*> t{&kestrin::CustomItem::staticType(),
                                               &kestrin::Desk::staticType()};
    return t;
}

const QList<const kestrin::Type*>& KSContentHandler::cameraTypes() {
    static const QList<const kestrin::Type*> t{&kestrin::RealsenseD435i::staticType(),
                                               &kestrin::RealsenseD405::staticType()};
    return t;
}

const QList<const kestrin::Type*>& KSContentHandler::fiducialTypes() {
    static const QList<const kestrin::Type*> t{&kestrin::VisualMarker::staticType()};
    return t;
}

const QList<const kestrin::Type*>& KSContentHandler::variableTypes() {
    static const QList<const kestrin::Type*> t{
        &kestrin::MotionLimits::staticType(), &kestrin::JointPositionTarget::staticType(),
        &kestrin::TaskRegionTarget::staticType(), &kestrin::MixtureTarget::staticType()};
    return t;
}

void KSContentHandler::createContent(KSParams prompt, const std::function<void(const KSParams&)>& construct) {
    if (_quitting)
        return;
    const KSParams* answer = KSSelectorDialog::getParams(_window, _container->project(), prompt);
    if (!answer || answer->isEmpty())
        return;
    _placed_object = 0;
    construct(*answer);
    _rebuildViewerAndTree();
    // The view shows what was added now, not at its next redraw for another reason.
    _container->viewer()->render();
    // What was placed is selected, and shown: the camera moves only when it is out of view.
    if (const quint64 id = std::exchange(_placed_object, 0)) {
        kestrin::WorkspaceObject* made = _container->project()->workspace()->findById(id);
        if (QTreeWidgetItem* item = made ? _project_tree->itemForObject(id) : nullptr) {
            _project_tree->setCurrentItem(item, 0, QItemSelectionModel::ClearAndSelect);
            item->setSelected(true);
            _project_tree->scrollToItem(item);
        }
        if (made && !_container->viewer()->isInView(made->pose().translation())) {
            _container->viewer()->lookAt(made->pose().translation());
            _container->viewer()->render();
        }
    }
}

void KSContentHandler::placeInView(kestrin::WorkspaceObject* made) {
    if (!made || !made->isListed())
        return;
    _placed_object = made->id();
    if (!made->occupiesFloor() && made->kind() != kestrin::ObjectKind::TaskRegion)
        return; // what a robot carries goes with it
    kestrin::Spot spot;
    try {
        spot = kestrin::placeNear(*made, _container->viewer()->viewCentrePoint());
    } catch (const kestrin::Error&) {
        // Where the workspace put it is free too; a spot that cannot be taken changes nothing.
        spot = kestrin::Spot{};
    }
    const Eigen::Vector3d p = made->pose().translation();
    const QString where =
        QStringLiteral("(%1, %2, %3) m").arg(p.x(), 0, 'f', 2).arg(p.y(), 0, 'f', 2).arg(p.z(), 0, 'f', 2);
    if (!spot.found)
        qCInfo(lcApp, "No free spot near the middle of the view for '%s': placed it at %s",
               qUtf8Printable(made->name()), qUtf8Printable(where));
    else if (spot.desk)
        qCInfo(lcApp, "Placed '%s' on desk '%s' at %s", qUtf8Printable(made->name()),
               qUtf8Printable(spot.desk->name()), qUtf8Printable(where));
    else
        qCInfo(lcApp, "Placed '%s' on the floor at %s", qUtf8Printable(made->name()), qUtf8Printable(where));
}

void KSContentHandler::addNamedObject(const QString& type_name, const QList<const kestrin::Type*>& table,
                                      const QString& defaultName, const QString& kind,
                                      const std::function<void(kestrin::WorkspaceObject*)>& made_hook) {
    createContent(KSParams{{KSSelectorDialog::NEW_NAME_KEY, defaultName}}, [&](const KSParams& answer) {
        for (const kestrin::Type* type : table) {
            if (type->name() == type_name) {
                const QString wanted = answer.value(KSSelectorDialog::NEW_NAME_KEY).toString();
                kestrin::WorkspaceObject* made =
                    type->constructObject(_container->project()->workspace(), wanted);
                logNameMadeUnique(kestrin::categoryLabel(made->category()), wanted, made->name());
                if (made_hook)
                    made_hook(made);
                placeInView(made);
                recordStep(QStringLiteral("Add %1 '%2'").arg(kind, made->name()));
                return;
            }
        }
    });
}

void KSContentHandler::recordStep(const QString& name) {
    _container->project()->history().record(name);
}

void KSContentHandler::addRobot(const QString& robot_t) {
    logerror("addRobot", [&] {
        addNamedObject(robot_t, robotTypes(), QStringLiteral("My Robot"), QStringLiteral("Robot"));
    });
}

void KSContentHandler::addEffector(const QString& effector_t) {
    logerror("addEffector", [&] {
        // A gripper added while a robot is selected goes onto that robot's flange, in the same
        // step, unless another gripper is mounted there already.
        const QList<QTreeWidgetItem*> selected = _project_tree->selectedItems();
        const kestrin::WorkspaceObject* chosen =
            selected.size() == 1 ? _project_tree->objectAt(selected.first()) : nullptr;
        const quint64 robotId = chosen && chosen->category() == kestrin::Category::Robot ? chosen->id() : 0;
        addNamedObject(effector_t, effectorTypes(), QStringLiteral("My Effector"), QStringLiteral("Effector"),
                       [&](kestrin::WorkspaceObject* made) {
                           auto* robot = dynamic_cast<kestrin::Robot*>(made->workspace()->findById(robotId));
                           auto* effector = dynamic_cast<kestrin::Effector*>(made);
                           if (!robot || !effector)
                               return;
                           for (const kestrin::WorkspaceObject* other : made->workspace()->objects())
                               if (auto* e = dynamic_cast<const kestrin::Effector*>(other);
                                   e && e->robot() == robot)
                                   return;
                           effector->mountOn(robot);
                           qCInfo(lcApp, "Mounted '%s' on robot '%s'", qUtf8Printable(effector->name()),
                                  qUtf8Printable(robot->name()));
                       });
    });
}

void KSContentHandler::addItem(const QString& item_t) {
    logerror("addItem",
             [&] { addNamedObject(item_t, itemTypes(), QStringLiteral("My Item"), QStringLiteral("Item")); });
}

void KSContentHandler::addCamera(const QString& camera_t) {
    logerror("addCamera", [&] {
        addNamedObject(camera_t, cameraTypes(), QStringLiteral("My Camera"), QStringLiteral("Camera"));
    });
}

void KSContentHandler::addFiducial(const QString& fiducial_t) {
    logerror("addFiducial", [&] {
        addNamedObject(fiducial_t, fiducialTypes(), QStringLiteral("My Fiducial"),
                       QStringLiteral("Fiducial"));
    });
}

void KSContentHandler::importRobot() {
    logerror("importRobot", [&] {
        if (_quitting)
            return;
        const QString path =
            KSFileDialog::getOpenFileName(_window, QStringLiteral("Import Robot"), URDF_FILE_FILTER);
        if (path.isEmpty())
            return;
        kestrin::Workspace* workspace = _container->project()->workspace();
        std::optional<kestrin::UrdfFile> file;
        {
            BusyCursor busy;
            file = kestrin::UrdfFile::read(path, workspace->meshes());
        }
        QString base, tip;
        if (file->tipLinks().size() > 1) {
            // The root and the tip below the most joints are offered first.
            KSParams chain{{KSSelectorDialog::BASE_LINK_KEY, file->links()},
                           {KSSelectorDialog::TIP_LINK_KEY, file->tipLinks()}};
            const KSParams* answer = KSSelectorDialog::getParams(_window, _container->project(), chain);
            if (!answer)
                return;
            base = answer->value(KSSelectorDialog::BASE_LINK_KEY).toString();
            tip = answer->value(KSSelectorDialog::TIP_LINK_KEY).toString();
        }
        // A chain that cannot be run (a tip not below the base, a joint that cannot be driven) is
        // refused before the name is asked.
        const kestrin::UrdfSource source = file->source(base, tip);
        kestrin::UrdfRobot::modelOf(source, workspace->meshes());
        createContent(KSParams{{KSSelectorDialog::NEW_NAME_KEY, QFileInfo(path).completeBaseName()}},
                      [&](const KSParams& answer) {
                          const QString wanted = answer.value(KSSelectorDialog::NEW_NAME_KEY).toString();
                          kestrin::UrdfRobot* robot = nullptr;
                          {
                              BusyCursor busy;
                              robot = new kestrin::UrdfRobot(workspace, wanted, source);
                          }
                          logNameMadeUnique(QStringLiteral("robot"), wanted, robot->name());
                          placeInView(robot);
                          recordStep(QStringLiteral("Import Robot '%1'").arg(robot->name()));
                          qCInfo(lcApp,
                                 "Imported robot '%s' from '%s': %d joints from link '%s' to link '%s'",
                                 qUtf8Printable(robot->name()), qUtf8Printable(path), robot->getNumDofs(),
                                 qUtf8Printable(source.baseLink), qUtf8Printable(source.tipLink));
                      });
    });
}

void KSContentHandler::addItemFromMesh() {
    logerror("addItemFromMesh", [&] {
        if (_quitting)
            return;
        const QString path =
            KSFileDialog::getOpenFileName(_window, QStringLiteral("Add Item from Mesh"), MESH_FILE_FILTER);
        if (path.isEmpty())
            return;
        kestrin::MeshRef mesh;
        {
            BusyCursor busy;
            mesh = kestrin::readMeshFile(path);
        }
        QStringList units{defaultMeshUnit(path)};
        for (kestrin::LengthUnit u :
             {kestrin::LengthUnit::Metre, kestrin::LengthUnit::Millimetre, kestrin::LengthUnit::Inch})
            if (!units.contains(kestrin::unitName(u)))
                units << kestrin::unitName(u);
        createContent(
            KSParams{{KSSelectorDialog::NEW_NAME_KEY, QFileInfo(path).completeBaseName()},
                     {KSSelectorDialog::UNIT_KEY, units}},
            [&](const KSParams& answer) {
                const QString unitText = answer.value(KSSelectorDialog::UNIT_KEY).toString();
                const std::optional<kestrin::LengthUnit> unit = kestrin::unitNamed(unitText);
                if (!unit)
                    throw kestrin::ValueError(
                        QStringLiteral("'%1' is not a unit a mesh can be in: m, mm or inch.").arg(unitText));
                const QString wanted = answer.value(KSSelectorDialog::NEW_NAME_KEY).toString();
                auto* item = new kestrin::CustomItem(_container->project()->workspace(), wanted);
                try {
                    item->setMesh(mesh, *unit);
                } catch (...) {
                    // An item of the wrong shape is of no use; leave nothing of it behind.
                    item->workspace()->remove(item);
                    throw;
                }
                logNameMadeUnique(kestrin::categoryLabel(item->category()), wanted, item->name());
                placeInView(item);
                recordStep(QStringLiteral("Add Item '%1'").arg(item->name()));
                qCInfo(lcApp, "Added item '%s' from '%s': %zu triangles in %s", qUtf8Printable(item->name()),
                       qUtf8Printable(path), mesh->triangleCount(), qUtf8Printable(unitText));
            });
    });
}

void KSContentHandler::addTaskRegion() {
    logerror("addTaskRegion", [&] {
        createContent(KSParams{{KSSelectorDialog::NEW_NAME_KEY, QStringLiteral("My Task Region")}},
                      [&](const KSParams& answer) {
                          const QString wanted = answer.value(KSSelectorDialog::NEW_NAME_KEY).toString();
                          auto* region = new kestrin::TaskRegion(_container->project()->workspace(), wanted);
                          logNameMadeUnique(QStringLiteral("task region"), wanted, region->name());
                          placeInView(region);
                          recordStep(QStringLiteral("Add Task Region '%1'").arg(region->name()));
                      });
    });
}

void KSContentHandler::addToolFrame() {
    logerror("addToolFrame", [&] {
        createContent(
            KSParams{{KSSelectorDialog::NEW_NAME_KEY, QStringLiteral("My Tool Frame")},
                     {KSSelectorDialog::EXISTING_ROBOT_KEY, QString()}},
            [&](const KSParams& answer) {
                auto* frame = new kestrin::ToolFrame(_container->project()->workspace(),
                                                     answer.value(KSSelectorDialog::NEW_NAME_KEY).toString());
                try {
                    kestrin::Robot* robot = _container->project()->workspace()->getRobot(
                        answer.value(KSSelectorDialog::EXISTING_ROBOT_KEY).toString());
                    robot->addToolFrame(frame);
                    logNameMadeUnique(QStringLiteral("tool frame"),
                                      answer.value(KSSelectorDialog::NEW_NAME_KEY).toString(), frame->name());
                    recordStep(QStringLiteral("Add Tool Frame '%1'").arg(frame->name()));
                } catch (...) {
                    // A frame on no robot is of no use; leave nothing of it behind.
                    frame->workspace()->remove(frame);
                    throw;
                }
            });
    });
}

void KSContentHandler::addBehavior(const kestrin::Type& type_t) {
    logerror("addBehavior", [&] {
        createContent(
            KSParams{{KSSelectorDialog::NEW_NAME_KEY, QStringLiteral("My Behavior")},
                     {KSSelectorDialog::PARENT_BEHAVIOR_KEY, QVariant()}},
            [&](const KSParams& answer) {
                kestrin::Behavior* behavior = type_t.constructBehavior(
                    _container->project(), answer.value(KSSelectorDialog::NEW_NAME_KEY).toString());
                const QString parentName = answer.value(KSSelectorDialog::PARENT_BEHAVIOR_KEY).toString();
                try {
                    if (!parentName.isEmpty()) {
                        kestrin::Behavior* parent = _container->project()->behaviors().value(parentName);
                        if (!parent)
                            throw kestrin::NotFoundError(
                                QStringLiteral("There is no behavior named '%1' to add '%2' to; it may have "
                                               "been renamed or deleted.")
                                    .arg(parentName, behavior->name()));
                        parent->_addChild(behavior);
                    } else {
                        _container->project()->addProgram(behavior);
                    }
                    logNameMadeUnique(QStringLiteral("behavior"),
                                      answer.value(KSSelectorDialog::NEW_NAME_KEY).toString(),
                                      behavior->name());
                    recordStep(QStringLiteral("Add Behavior '%1'").arg(behavior->name()));
                } catch (...) {
                    // Not attached anywhere: drop it rather than keep a behavior no one can reach.
                    behavior->project()->removeBehavior(behavior);
                    throw;
                }
            });
    });
}

namespace {
bool readsChecked(const QVariant& v) {
    if (v.type() == QVariant::Bool)
        return v.toBool();
    return v.toInt() != 0;
}
} // namespace

void KSContentHandler::addVariable(const kestrin::Type& type_t) {
    logerror("addVariable", [&] {
        using K = KSSelectorDialog;
        const auto& table = variableTypes();
        KSParams prompt{{K::NEW_NAME_KEY, QStringLiteral("My Variable")}};
        if (type_t == *table[0]) {
            prompt.insert(K::EXISTING_ROBOT_KEY, QString());
        } else if (type_t == *table[1]) {
            prompt.insert(K::EXISTING_ROBOT_KEY, QString());
            prompt.insert(K::JOINT_POS_DISTRIBUTION_TYPE_KEY, QString());
        } else if (type_t == *table[2]) {
            prompt.insert(K::EXISTING_ROBOT_KEY, QString());
            prompt.insert(K::USE_SEED_POSITIONS_KEY, true);
            prompt.insert(K::JOINT_POS_DISTRIBUTION_TYPE_KEY, QString());
        } else if (type_t == *table[3]) {
            prompt.insert(K::NUMBER_OF_MIXTURES, 1);
        }
        createContent(prompt, [&](const KSParams& answer) {
            const QString name = answer.value(K::NEW_NAME_KEY).toString();
            kestrin::Variable* made = nullptr;
            auto robot = [&] {
                return _container->project()->workspace()->getRobot(
                    answer.value(K::EXISTING_ROBOT_KEY).toString());
            };
            auto distribution = [&](kestrin::Robot* r) {
                return kestrin::Distribution::CreateFromTypename(
                    answer.value(K::JOINT_POS_DISTRIBUTION_TYPE_KEY).toString(), r->getNumDofs());
            };
            if (type_t == *table[0]) {
                kestrin::Robot* r = robot();
                const Eigen::VectorXd velocity = Eigen::VectorXd::Ones(r->getNumDofs());
                const Eigen::VectorXd acceleration = Eigen::VectorXd::Ones(r->getNumDofs());
                made = new kestrin::MotionLimits(_container->project(), name, velocity, acceleration);
            } else if (type_t == *table[1]) {
                kestrin::Robot* r = robot();
                made = new kestrin::JointPositionTarget(_container->project(), name, distribution(r));
            } else if (type_t == *table[2]) {
                kestrin::Robot* r = robot();
                std::unique_ptr<kestrin::Distribution> seed;
                if (readsChecked(answer.value(K::USE_SEED_POSITIONS_KEY)))
                    seed = distribution(r);
                kestrin::Project* project = _container->project();
                auto generator = std::make_unique<kestrin::PoseGenerator>(_container->project());
                made = new kestrin::TaskRegionTarget(project, name, std::move(generator), std::move(seed));
            } else if (type_t == *table[3]) {
                const int n = answer.value(K::NUMBER_OF_MIXTURES).toInt();
                QStringList targets;
                for (int i = 0; i < n; ++i)
                    targets << QString();
                made = new kestrin::MixtureTarget(_container->project(), name, targets,
                                                  std::vector<double>(n, 1.0));
            }
            if (made) {
                logNameMadeUnique(QStringLiteral("variable"), name, made->name());
                recordStep(QStringLiteral("Add Variable '%1'").arg(made->name()));
            }
        });
    });
}

// --- Deleting ----------------------------------------------------------------------------------

namespace {
/// "tool frame" reads "Tool Frame" in the name of an undo step.
QString titleCase(const QString& label) {
    QStringList words = label.split(QLatin1Char(' '));
    for (QString& word : words)
        if (!word.isEmpty())
            word[0] = word[0].toUpper();
    return words.join(QLatin1Char(' '));
}
} // namespace

void KSContentHandler::deleteSelection() {
    logerror("deleteSelection", [this] {
        if (_locked || _quitting)
            return;
        kestrin::Project* project = _container->project();
        kestrin::Workspace* workspace = project->workspace();

        std::vector<kestrin::WorkspaceObject*> objects;
        std::vector<kestrin::Behavior*> behaviors;
        std::vector<kestrin::Variable*> variables;
        for (const QTreeWidgetItem* item : _project_tree->selectedItems()) {
            if (kestrin::WorkspaceObject* object = _project_tree->objectAt(item))
                objects.push_back(object);
            else if (kestrin::Behavior* behavior = _project_tree->behaviorAt(item))
                behaviors.push_back(behavior);
            else if (kestrin::Variable* variable = _project_tree->variableAt(item))
                variables.push_back(variable);
        }
        // What goes anyway with something else selected is not deleted twice: tool frames go with
        // their robot, behaviors with the one above them.
        auto selectedObject = [&](const kestrin::WorkspaceObject* o) {
            return std::find(objects.begin(), objects.end(), o) != objects.end();
        };
        objects.erase(std::remove_if(objects.begin(), objects.end(),
                                     [&](const kestrin::WorkspaceObject* o) {
                                         const auto* frame = dynamic_cast<const kestrin::ToolFrame*>(o);
                                         return frame && frame->robot() && selectedObject(frame->robot());
                                     }),
                      objects.end());
        const std::vector<kestrin::Behavior*> chosen = behaviors;
        behaviors.erase(std::remove_if(behaviors.begin(), behaviors.end(),
                                       [&](const kestrin::Behavior* b) {
                                           for (const kestrin::Behavior* p = b->parent(); p; p = p->parent())
                                               if (std::find(chosen.begin(), chosen.end(), p) != chosen.end())
                                                   return true;
                                           return false;
                                       }),
                        behaviors.end());
        const size_t count = objects.size() + behaviors.size() + variables.size();
        if (count == 0)
            return;

        // A use by something deleted along with it does not hold a deletion back.
        QSet<QString> going;
        std::function<void(const kestrin::Behavior*)> collect = [&](const kestrin::Behavior* b) {
            going.insert(b->name());
            for (const kestrin::Behavior* child : b->children())
                collect(child);
        };
        for (const kestrin::Behavior* b : behaviors)
            collect(b);
        for (const kestrin::Variable* v : variables)
            going.insert(v->name());
        QStringList refusals;
        auto check = [&](const QString& kind, const QString& name, QStringList users) {
            users.erase(std::remove_if(users.begin(), users.end(),
                                       [&](const QString& u) { return going.contains(u); }),
                        users.end());
            if (!users.isEmpty())
                refusals << QStringLiteral("Cannot delete %1 '%2': it is used by %3.")
                                .arg(kind, name, users.join(QStringLiteral(", ")));
        };
        const kestrin::UsersIndex users(*project); // one walk over the project for all of them
        for (const kestrin::WorkspaceObject* o : objects)
            check(kestrin::categoryLabel(o->category()), o->name(), users.usersOf(o));
        for (const kestrin::Variable* v : variables)
            check(QStringLiteral("variable"), v->name(), users.usersOf(v));
        if (!refusals.isEmpty())
            throw kestrin::ValueError(refusals.join(QLatin1Char('\n')));

        QString step = QStringLiteral("Delete %1 Items").arg(count);
        if (count == 1 && !objects.empty())
            step = QStringLiteral("Delete %1 '%2'")
                       .arg(titleCase(kestrin::categoryLabel(objects[0]->category())), objects[0]->name());
        else if (count == 1 && !behaviors.empty())
            step = QStringLiteral("Delete Behavior '%1'").arg(behaviors[0]->name());
        else if (count == 1)
            step = QStringLiteral("Delete Variable '%1'").arg(variables[0]->name());

        std::vector<quint64> ids;
        for (const kestrin::WorkspaceObject* o : objects)
            ids.push_back(o->id());
        for (kestrin::Behavior* b : behaviors)
            project->removeBehavior(b);
        for (kestrin::Variable* v : variables)
            project->removeVariable(v);
        for (quint64 id : ids)
            if (kestrin::WorkspaceObject* object = workspace->findById(id))
                workspace->remove(object);
        recordStep(step);
        _rebuildViewerAndTree();
        _container->viewer()->render();
    });
}

} // namespace kestrin_app::content
