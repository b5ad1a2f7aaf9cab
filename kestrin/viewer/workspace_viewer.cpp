#include "workspace_viewer.h"

#include "scene_image_pass.h"
#include "scene_item.h"
#include "teleoperator.h"

#include <vtk_glew.h>

#include <kestrin/effector.h>
#include <kestrin/error.h>
#include <kestrin/items.h>
#include <kestrin/project.h>
#include <kestrin/robot.h>
#include <kestrin/tool_frame.h>
#include <kestrin/type.h>
#include <kestrin/workspace.h>

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMouseEvent>
#include <QVBoxLayout>

#include <QVTKInteractor.h>
#include <QVTKOpenGLNativeWidget.h>
#include <vtkActor.h>
#include <vtkAxesActor.h>
#include <vtkCallbackCommand.h>
#include <vtkCamera.h>
#include <vtkCullerCollection.h>
#include <vtkGenericOpenGLRenderWindow.h>
#include <vtkInteractorStyleTrackballCamera.h>
#include <vtkMath.h>
#include <vtkOrientationMarkerWidget.h>
#include <vtkPNGWriter.h>
#include <vtkPolyData.h>
#include <vtkPolyDataMapper.h>
#include <vtkProp3D.h>
#include <vtkPropPicker.h>
#include <vtkProperty.h>
#include <vtkRenderer.h>
#include <vtkSmartPointer.h>
#include <vtkWindowToImageFilter.h>

#include <algorithm>
#include <cmath>
#include <optional>
#include <unordered_map>
#include <vector>

namespace kestrin {

namespace {

// The floor grid always reaches this far from the origin, and a metre beyond every object.
constexpr double kMinGridHalfExtent = 2.0;
constexpr double kGridMargin = 1.0;
// A grid never has more lines than this on each side of the origin.
constexpr int kMaxGridSteps = 40;

double gridSpacingFor(double halfExtent) {
    for (double spacing : {0.25, 0.5, 1.0, 2.0, 5.0, 10.0, 25.0, 50.0, 100.0})
        if (halfExtent / spacing <= kMaxGridSteps)
            return spacing;
    return halfExtent / kMaxGridSteps;
}

/// The robot whose flange carries `object`, or nullptr when it stands on its own.
const Robot* leaderOf(const WorkspaceObject& object) {
    if (const auto* frame = dynamic_cast<const ToolFrame*>(&object))
        return frame->robot();
    if (const auto* effector = dynamic_cast<const Effector*>(&object))
        return effector->robot();
    if (const auto* item = dynamic_cast<const CustomItem*>(&object))
        return item->heldBy() ? item->heldBy()->robot() : nullptr;
    return nullptr;
}

[[noreturn]] void screenshotFailed(const QString& filename, const QString& reason) {
    throw FileError(QStringLiteral("Cannot save the screenshot to '%1': %2").arg(filename, reason));
}

/// Mesa's and others' software rasterisers, which draw on the processor.
bool isSoftwareRenderer(const QByteArray& name) {
    for (const char* soft : {"llvmpipe", "softpipe", "lavapipe", "SWR", "Software Rasterizer", "GDI Generic"})
        if (name.contains(soft))
            return true;
    return false;
}

} // namespace

struct WorkspaceViewer::Impl {
    /// Bookkeeping of one drawn object. `object` is only dereferenced while the workspace's
    /// structure revision says that nothing was removed since it was listed.
    struct Entry {
        WorkspaceObject* object;
        quint64 id;
        quint64 revision; // the object's revision when its item was last brought up to date
        quint64 leader;   // id of the robot it follows, 0 when none
        bool isRobot;
        std::unique_ptr<SceneItem> item;
    };

    QVTKOpenGLNativeWidget* vtkWidget = nullptr;
    vtkSmartPointer<vtkGenericOpenGLRenderWindow> window;
    vtkSmartPointer<vtkRenderer> renderer;
    vtkSmartPointer<vtkOrientationMarkerWidget> orientation;
    vtkSmartPointer<vtkInteractorStyleTrackballCamera> cameraStyle;
    vtkSmartPointer<vtkActor> grid;
    double gridHalfExtent = 0;
    double neededGridExtent = 0; // what the objects drawn since the grid was made need
    bool gridTooSmall = false;
    SceneResources resources;
    vtkSmartPointer<SceneImagePass> imagePass;

    Project* project = nullptr;
    Workspace* listedWorkspace = nullptr;
    quint64 listedStructure = 0;

    // Sorted by id, which is also the order in which the workspace lists its objects: a
    // re-listing is one merge of two sorted sequences, and the per-rebuild revision check
    // walks plain memory.
    std::vector<Entry> entries;
    // Robot id to the ids of the objects whose pose follows that robot.
    std::unordered_map<quint64, std::vector<quint64>> followers;

    // Objects drawn in red: what collided.
    std::vector<quint64> colliding;

    void applyCollisionLooks() {
        for (quint64 id : colliding)
            if (Entry* entry = find(id); entry && !entry->item->hasOverrideLook())
                entry->item->setOverrideLook(resources.look(SceneResources::Look::Collision));
    }

    // Selection: the outlined object (0: none), its outline, and where a left press began.
    quint64 selected = 0;
    vtkSmartPointer<vtkActor> outline;
    vtkSmartPointer<vtkPropPicker> picker;
    std::optional<QPoint> pressedAt;

    // Last, so that it lets go of the interactor and the renderer before they go.
    std::unique_ptr<Teleoperator> teleoperator;

    std::vector<Entry>::iterator lowerBound(quint64 id) {
        return std::lower_bound(entries.begin(), entries.end(), id,
                                [](const Entry& e, quint64 wanted) { return e.id < wanted; });
    }

    Entry* find(quint64 id) {
        auto it = lowerBound(id);
        return it != entries.end() && it->id == id ? &*it : nullptr;
    }

    void setLeader(Entry& entry, quint64 leader) {
        if (entry.leader == leader)
            return;
        if (entry.leader != 0) {
            auto it = followers.find(entry.leader);
            if (it != followers.end()) {
                auto& ids = it->second;
                ids.erase(std::remove(ids.begin(), ids.end(), entry.id), ids.end());
                if (ids.empty())
                    followers.erase(it);
            }
        }
        entry.leader = leader;
        if (leader != 0)
            followers[leader].push_back(entry.id);
    }

    void noteExtent(const WorkspaceObject& object) {
        const Eigen::Vector3d at = object.pose().translation();
        const double need = std::max(std::abs(at.x()), std::abs(at.y())) + 0.5 * object.size().norm();
        neededGridExtent = std::max(neededGridExtent, need + kGridMargin);
        if (neededGridExtent > gridHalfExtent)
            gridTooSmall = true;
    }

    Entry makeEntry(WorkspaceObject* object) {
        Entry entry{object,
                    object->id(),
                    object->revision(),
                    0,
                    dynamic_cast<Robot*>(object) != nullptr,
                    std::make_unique<SceneItem>(*object, resources)};
        entry.item->addTo(renderer, imagePass);
        const Robot* leader = leaderOf(*object);
        setLeader(entry, leader ? leader->id() : 0);
        noteExtent(*object);
        return entry;
    }

    /// Takes the item out of the scene without touching its object, which may be gone already.
    void drop(Entry& entry) {
        entry.item->removeFrom(renderer);
        setLeader(entry, 0);
    }

    void insert(WorkspaceObject* object) { entries.insert(lowerBound(object->id()), makeEntry(object)); }

    void erase(quint64 id) {
        auto it = lowerBound(id);
        if (it == entries.end() || it->id != id)
            return;
        drop(*it);
        entries.erase(it);
    }

    void clear() {
        for (Entry& entry : entries)
            entry.item->removeFrom(renderer);
        entries.clear();
        followers.clear();
        listedWorkspace = nullptr;
        listedStructure = 0;
    }

    /// Adds items for listed objects that have none and drops items of objects no longer
    /// listed: linear in the number of objects, run only when the workspace's structure changed.
    void relist(Workspace* workspace) {
        std::vector<WorkspaceObject*> listing = workspace->objects();
        auto byId = [](const WorkspaceObject* a, const WorkspaceObject* b) { return a->id() < b->id(); };
        if (!std::is_sorted(listing.begin(), listing.end(), byId))
            std::sort(listing.begin(), listing.end(), byId);

        // The common case, objects added at the end, needs no merge: compare pointers up to
        // where the lists part, and only append if the items run out first.
        std::size_t same = 0;
        while (same < entries.size() && same < listing.size() && entries[same].object == listing[same])
            ++same;
        if (same == entries.size()) {
            for (std::size_t j = same; j < listing.size(); ++j)
                entries.push_back(makeEntry(listing[j]));
            listedWorkspace = workspace;
            listedStructure = workspace->structureRevision();
            return;
        }

        std::vector<Entry> kept;
        kept.reserve(listing.size());
        std::size_t i = 0;
        for (WorkspaceObject* object : listing) {
            const quint64 id = object->id();
            while (i < entries.size() && entries[i].id < id)
                drop(entries[i++]);
            if (i < entries.size() && entries[i].id == id) {
                if (entries[i].object == object) {
                    kept.push_back(std::move(entries[i++]));
                    continue;
                }
                // A different object under a known id: the workspace's contents were swapped.
                drop(entries[i++]);
            }
            kept.push_back(makeEntry(object));
        }
        while (i < entries.size())
            drop(entries[i++]);
        entries.swap(kept);
        listedWorkspace = workspace;
        listedStructure = workspace->structureRevision();
    }

    /// Brings items of changed objects up to date, then moves what rides on robots that moved.
    void refreshChanged() {
        std::vector<quint64> movedRobots;
        std::vector<quint64> unlisted;
        for (Entry& entry : entries) {
            const quint64 revision = entry.object->revision();
            if (revision == entry.revision)
                continue;
            if (!entry.object->isListed()) {
                unlisted.push_back(entry.id);
                continue;
            }
            entry.item->update(*entry.object);
            entry.revision = revision;
            const Robot* leader = leaderOf(*entry.object);
            setLeader(entry, leader ? leader->id() : 0);
            noteExtent(*entry.object);
            if (entry.isRobot)
                movedRobots.push_back(entry.id);
        }
        for (quint64 id : unlisted)
            erase(id);

        for (quint64 robotId : movedRobots) {
            const auto* robot = static_cast<const Robot*>(find(robotId)->object);
            // Frames attached since the last listing are drawn from here on, even when the
            // attachment did not count as a change of the workspace's structure.
            for (ToolFrame* frame : robot->toolFrames()) {
                if (!find(frame->id()) && frame->isListed())
                    insert(frame);
            }
            auto it = followers.find(robotId);
            if (it == followers.end())
                continue;
            const std::vector<quint64> ids = it->second;
            for (quint64 id : ids) {
                Entry* follower = find(id);
                if (!follower)
                    continue;
                const Robot* leader = leaderOf(*follower->object);
                if (leader && leader->id() == robotId)
                    follower->item->updatePose(*follower->object);
                else
                    setLeader(*follower, leader ? leader->id() : 0);
            }
        }
    }

    /// Puts the outline round the selected object's drawing, or hides it when there is none.
    void placeOutline() {
        const Entry* entry = selected ? find(selected) : nullptr;
        const double* bounds = entry ? entry->item->prop()->GetBounds() : nullptr;
        if (!bounds || !vtkMath::AreBoundsInitialized(bounds)) {
            outline->VisibilityOff();
            return;
        }
        const double margin = 0.01; // metres each way, so that the outline does not touch the faces
        outline->SetPosition((bounds[0] + bounds[1]) / 2, (bounds[2] + bounds[3]) / 2,
                             (bounds[4] + bounds[5]) / 2);
        outline->SetScale(bounds[1] - bounds[0] + 2 * margin, bounds[3] - bounds[2] + 2 * margin,
                          bounds[5] - bounds[4] + 2 * margin);
        outline->VisibilityOn();
    }

    void rebuildGrid(double halfExtent) {
        gridHalfExtent = std::max(kMinGridHalfExtent, std::ceil(halfExtent));
        gridTooSmall = false;
        auto mapper = vtkSmartPointer<vtkPolyDataMapper>::New();
        mapper->SetInputData(makeFloorGrid(gridHalfExtent, gridSpacingFor(gridHalfExtent)));
        mapper->SetScalarModeToUseCellData();
        mapper->SetColorModeToDirectScalars();
        grid->SetMapper(mapper);
        imagePass->replaced(grid);
    }
};

WorkspaceViewer::WorkspaceViewer(QWidget* parent) : QWidget(parent), d(std::make_unique<Impl>()) {
    setObjectName(QStringLiteral("workspaceViewer"));
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    d->vtkWidget = new QVTKOpenGLNativeWidget(this);
    d->vtkWidget->setObjectName(QStringLiteral("workspaceViewerRenderWidget"));
    layout->addWidget(d->vtkWidget);

    d->window = vtkSmartPointer<vtkGenericOpenGLRenderWindow>::New();
    d->vtkWidget->setRenderWindow(d->window);
    d->renderer = vtkSmartPointer<vtkRenderer>::New();
    d->renderer->GradientBackgroundOn();
    d->renderer->SetBackground(0.80, 0.83, 0.88);
    d->renderer->SetBackground2(0.96, 0.97, 0.99);
    d->imagePass = vtkSmartPointer<SceneImagePass>::New();
    d->renderer->SetPass(d->imagePass);
    // A software rasteriser (no graphics card: virtual machines, remote sessions, servers)
    // shades every sample, so multisampling multiplies the cost of every frame by the number of
    // samples: 20 ms a frame for a 960 by 700 view on two cores here, before anything is drawn.
    // Such machines get frames without it. The check needs the OpenGL context, which exists
    // once the first frame starts.
    auto checkRasteriser = vtkSmartPointer<vtkCallbackCommand>::New();
    checkRasteriser->SetClientData(d->window.Get());
    checkRasteriser->SetCallback([](vtkObject* caller, unsigned long, void* window, void*) {
        caller->RemoveObservers(vtkCommand::StartEvent);
        const auto* name = reinterpret_cast<const char*>(glGetString(GL_RENDERER));
        if (name && isSoftwareRenderer(QByteArray(name)))
            static_cast<vtkRenderWindow*>(window)->SetMultiSamples(0);
    });
    d->renderer->AddObserver(vtkCommand::StartEvent, checkRasteriser);
    // VTK's frustum culler asks every prop for its bounds on every frame, and an assembly works
    // those out anew from all of its parts each time: at 10,000 objects that alone took longer
    // than a frame drawn from the kept image. Props outside the view are clipped all the same.
    d->renderer->GetCullers()->RemoveAllItems();
    d->window->AddRenderer(d->renderer);

    d->grid = vtkSmartPointer<vtkActor>::New();
    d->grid->GetProperty()->LightingOff();
    // The grid marks the floor; it must not count when the camera is fitted to the cell.
    d->grid->UseBoundsOff();
    d->grid->PickableOff();
    d->imagePass->keep(d->grid);
    d->rebuildGrid(kMinGridHalfExtent);
    d->renderer->AddActor(d->grid);

    d->outline = vtkSmartPointer<vtkActor>::New();
    d->outline->SetMapper(d->resources.unitCubeEdges());
    d->outline->GetProperty()->SetColor(1.0, 0.82, 0.0);
    d->outline->GetProperty()->SetLineWidth(3.0);
    d->outline->GetProperty()->LightingOff();
    d->outline->UseBoundsOff();
    d->outline->PickableOff();
    d->outline->VisibilityOff();
    d->renderer->AddActor(d->outline);
    d->picker = vtkSmartPointer<vtkPropPicker>::New();

    auto axes = vtkSmartPointer<vtkAxesActor>::New();
    d->orientation = vtkSmartPointer<vtkOrientationMarkerWidget>::New();
    d->orientation->SetOrientationMarker(axes);
    d->orientation->SetInteractor(d->vtkWidget->interactor());
    d->orientation->SetDefaultRenderer(d->renderer);
    d->orientation->SetViewport(0.0, 0.0, 0.18, 0.18);
    d->orientation->SetEnabled(1);
    d->orientation->InteractiveOff();

    d->cameraStyle = vtkSmartPointer<vtkInteractorStyleTrackballCamera>::New();
    d->cameraStyle->SetDefaultRenderer(d->renderer);
    // The jog keys of teleoperation need the keyboard.
    d->vtkWidget->setFocusPolicy(Qt::StrongFocus);
    setFocusPolicy(Qt::StrongFocus);
    setFocusProxy(d->vtkWidget);
    d->teleoperator = std::make_unique<Teleoperator>(*this, *d->vtkWidget, d->vtkWidget->interactor(),
                                                     d->renderer, d->resources);
    d->vtkWidget->installEventFilter(this); // clicks that select
    setCameraMode();
    resetCamera();
}

WorkspaceViewer::~WorkspaceViewer() {
    d->clear();
    d->orientation->SetEnabled(0);
}

const Type& WorkspaceViewer::staticType() {
    static const Type t("WorkspaceViewer", nullptr);
    return t;
}

void WorkspaceViewer::setProject(Project* project) {
    if (project != d->project) {
        d->teleoperator->stop();
        d->clear();
        d->project = project;
        d->selected = 0;
        d->colliding.clear();
    }
    rebuild();
}

Project* WorkspaceViewer::project() const {
    return d->project;
}

void WorkspaceViewer::rebuild() {
    Workspace* workspace = d->project ? d->project->workspace() : nullptr;
    if (!workspace) {
        d->clear();
        d->placeOutline();
        d->teleoperator->follow();
        return;
    }
    if (workspace != d->listedWorkspace) {
        d->clear();
        d->relist(workspace);
    } else if (workspace->structureRevision() != d->listedStructure) {
        d->relist(workspace);
    }
    d->refreshChanged();
    d->applyCollisionLooks(); // an item drawn anew has its own looks
    // Grow by a quarter at least, so that a cell growing object by object does not remake
    // the grid each time.
    if (d->gridTooSmall)
        d->rebuildGrid(std::max(d->neededGridExtent, 1.25 * d->gridHalfExtent));
    d->placeOutline();
    d->teleoperator->follow();
}

vtkRenderer* WorkspaceViewer::_getRenderer() const {
    return d->renderer;
}

void WorkspaceViewer::render() {
    d->window->Render();
}

void WorkspaceViewer::resetCamera() {
    // Until the view is first on screen the render window has no size of its own, and the fit
    // depends on the view's aspect ratio: lend it the widget's size.
    if (!d->window->GetReadyForRendering()) {
        const qreal ratio = devicePixelRatioF();
        d->window->SetSize(std::max(1, qRound(width() * ratio)), std::max(1, qRound(height() * ratio)));
    }

    double bounds[6];
    d->renderer->ComputeVisiblePropBounds(bounds);
    if (!vtkMath::AreBoundsInitialized(bounds)) {
        const double empty[6] = {-1, 1, -1, 1, 0, 1};
        std::copy(empty, empty + 6, bounds);
    }
    // The grid may have grown for objects that have gone since; fit it to the cell again.
    d->neededGridExtent = kGridMargin + std::max({std::abs(bounds[0]), std::abs(bounds[1]),
                                                  std::abs(bounds[2]), std::abs(bounds[3])});
    d->rebuildGrid(d->neededGridExtent);

    const double centre[3] = {(bounds[0] + bounds[1]) / 2, (bounds[2] + bounds[3]) / 2,
                              (bounds[4] + bounds[5]) / 2};
    // From the front right and above, as one looks at a table.
    const double direction[3] = {1.0, -1.3, 0.9};
    vtkCamera* camera = d->renderer->GetActiveCamera();
    camera->SetFocalPoint(centre);
    camera->SetPosition(centre[0] + direction[0], centre[1] + direction[1], centre[2] + direction[2]);
    camera->SetViewUp(0, 0, 1);
    d->renderer->ResetCamera(bounds);
    d->renderer->ResetCameraClippingRange();
}

void WorkspaceViewer::setCameraMode() {
    const bool wasTeleoperating = d->teleoperator->isActive();
    d->teleoperator->stop();
    d->vtkWidget->interactor()->SetInteractorStyle(d->cameraStyle);
    if (wasTeleoperating)
        render();
}

void WorkspaceViewer::screenshot(const QString& filename) {
    if (filename.trimmed().isEmpty())
        throw FileError(QStringLiteral("Cannot save the screenshot: no file name was given."));
    const QFileInfo file(filename);
    if (file.isDir())
        screenshotFailed(filename, QStringLiteral("it is a folder; choose a file name inside it."));
    const QString folder = file.absolutePath();
    const QFileInfo folderInfo(folder);
    if (!folderInfo.exists())
        screenshotFailed(filename, QStringLiteral("the folder '%1' does not exist.").arg(folder));
    if (!folderInfo.isDir())
        screenshotFailed(filename, QStringLiteral("'%1' is not a folder.").arg(folder));
    if (!folderInfo.isWritable())
        screenshotFailed(filename, QStringLiteral("the folder '%1' is not writable.").arg(folder));
    if (file.exists() && !file.isWritable())
        screenshotFailed(filename, QStringLiteral("the file exists and is not writable."));
    if (!d->window->GetReadyForRendering()) {
        // Never shown: have the OpenGL widget make its context and framebuffer off screen, at
        // the size the view has, so that a hidden view can be captured too.
        d->vtkWidget->resize(size());
        d->vtkWidget->grabFramebuffer();
        if (!d->window->GetReadyForRendering())
            screenshotFailed(filename,
                             QStringLiteral("the 3-D view could not be drawn (no OpenGL context)."));
    }

    render();
    auto capture = vtkSmartPointer<vtkWindowToImageFilter>::New();
    capture->SetInput(d->window);
    capture->SetInputBufferTypeToRGB();
    capture->ReadFrontBufferOff();
    capture->Update();

    auto writer = vtkSmartPointer<vtkPNGWriter>::New();
    const QByteArray path = QFile::encodeName(file.absoluteFilePath());
    writer->SetFileName(path.constData());
    writer->SetInputConnection(capture->GetOutputPort());
    writer->Write();

    const QFileInfo written(file.absoluteFilePath());
    if (writer->GetErrorCode() != 0 || !written.exists() || written.size() == 0)
        screenshotFailed(filename, QStringLiteral("the image could not be written (is the disk full?)."));
}

int WorkspaceViewer::sceneItemCount() const {
    return static_cast<int>(d->entries.size());
}

void WorkspaceViewer::setCollidingObjects(const std::vector<quint64>& ids) {
    for (quint64 id : d->colliding)
        if (Impl::Entry* entry = d->find(id))
            entry->item->setOverrideLook(nullptr);
    d->colliding = ids;
    d->applyCollisionLooks();
}

const std::vector<quint64>& WorkspaceViewer::collidingObjects() const { return d->colliding; }

QString WorkspaceViewer::_differenceFromModel() const {
    const Workspace* workspace = d->project ? d->project->workspace() : nullptr;
    size_t listed = 0;
    if (workspace) {
        for (const auto& object : workspace->objects()) {
            if (!object->isListed())
                continue;
            ++listed;
            const auto it = std::lower_bound(d->entries.begin(), d->entries.end(), object->id(),
                                             [](const Impl::Entry& e, quint64 id) { return e.id < id; });
            if (it == d->entries.end() || it->id != object->id())
                return QStringLiteral("'%1' is not drawn").arg(object->name());
            const Eigen::Matrix4d model = object->pose().matrix();
            const double off = (it->item->drawnPose() - model).cwiseAbs().maxCoeff();
            if (!(off <= 1e-9))
                return QStringLiteral("'%1' is drawn %2 away from its pose").arg(object->name()).arg(off);
            if (object->category() == Category::Robot) {
                const Eigen::VectorXd& q = static_cast<const Robot&>(*object).jointPositions();
                const std::vector<double>& drawn = it->item->drawnJoints();
                if (drawn.size() != size_t(q.size()) || !std::equal(drawn.begin(), drawn.end(), q.data()))
                    return QStringLiteral("robot '%1' is drawn at other joint positions").arg(object->name());
            }
        }
    }
    if (d->entries.size() != listed)
        return QStringLiteral("%1 objects are drawn, the cell has %2").arg(d->entries.size()).arg(listed);
    return QString();
}

WorkspaceViewer::FrameCounts WorkspaceViewer::frameCounts() const {
    return {d->imagePass->wholeFrames(), d->imagePass->imageFrames()};
}

void WorkspaceViewer::setSceneImageEnabled(bool enabled) {
    d->imagePass->setImageEnabled(enabled);
}

bool WorkspaceViewer::isSceneImageUsable() const {
    return d->imagePass->isImageEnabled() && d->imagePass->isImageUsable();
}

void WorkspaceViewer::setTeleoperationMode(const QString& robot, const QString& tool) {
    d->teleoperator->start(robot, tool);
}

bool WorkspaceViewer::isTeleoperating() const {
    return d->teleoperator->isActive();
}

QString WorkspaceViewer::teleoperatedRobot() const {
    return d->teleoperator->robotName();
}

QString WorkspaceViewer::teleoperatedTool() const {
    return d->teleoperator->toolName();
}

bool WorkspaceViewer::jog(const Eigen::Vector3d& translation, const Eigen::Vector3d& rotation) {
    return d->teleoperator->jog(translation, rotation);
}

// --- Selection -----------------------------------------------------------------------------------

quint64 WorkspaceViewer::objectAt(const QPoint& widgetPos) const {
    if (!d->window->GetReadyForRendering())
        return 0;
    // VTK counts display pixels from the bottom left.
    const QPoint at = d->vtkWidget->mapFrom(this, widgetPos);
    const qreal ratio = d->vtkWidget->devicePixelRatioF();
    const int* size = d->window->GetSize();
    if (!d->picker->PickProp(at.x() * ratio, size[1] - 1 - at.y() * ratio, d->renderer))
        return 0;
    const vtkProp* picked = d->picker->GetViewProp();
    for (const Impl::Entry& entry : d->entries)
        if (entry.item->prop() == picked)
            return entry.id;
    return 0;
}

void WorkspaceViewer::setSelectedObject(quint64 id) {
    d->selected = id;
    d->placeOutline();
}

quint64 WorkspaceViewer::selectedObject() const {
    return d->selected;
}

bool WorkspaceViewer::eventFilter(QObject* watched, QEvent* event) {
    // A left press and release close together is a click; anything longer turned the camera.
    if (watched == d->vtkWidget &&
        (event->type() == QEvent::MouseButtonPress || event->type() == QEvent::MouseButtonRelease)) {
        const auto* mouse = static_cast<QMouseEvent*>(event);
        if (event->type() == QEvent::MouseButtonPress) {
            d->pressedAt.reset();
            if (mouse->button() == Qt::LeftButton)
                d->pressedAt = mouse->pos();
        } else if (mouse->button() == Qt::LeftButton && d->pressedAt) {
            const bool click =
                (mouse->pos() - *d->pressedAt).manhattanLength() < QApplication::startDragDistance();
            d->pressedAt.reset();
            if (click && !d->teleoperator->isActive())
                emit objectClicked(objectAt(d->vtkWidget->mapTo(this, mouse->pos())));
        }
    }
    return QWidget::eventFilter(watched, event);
}

} // namespace kestrin
