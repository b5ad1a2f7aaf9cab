#include <kestrin_viewer/workspace_viewer.h>

#include "scene_batches.h"
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
#include <vtkMatrix4x4.h>
#include <vtkOrientationMarkerWidget.h>
#include <vtkPNGWriter.h>
#include <vtkPolyData.h>
#include <vtkPolyDataMapper.h>
#include <vtkProp3D.h>
#include <vtkPropCollection.h>
#include <vtkPropPicker.h>
#include <vtkProperty.h>
#include <vtkRenderer.h>
#include <vtkSmartPointer.h>
#include <vtkWindowToImageFilter.h>

#include <algorithm>
#include <cmath>
#include <optional>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace kestrin {

namespace {

// The floor grid always reaches this far from the origin, and a metre beyond every object.
constexpr double kMinGridHalfExtent = 2.0;
constexpr double kGridMargin = 1.0;
// A grid never has more lines than this on each side of the origin.
constexpr int kMaxGridSteps = 40;
// Objects drawn on their own (added or changed since the cell was drawn) go back into the
// batches once there are more of them than this, except those that changed in the last
// rebuilds: each costs an actor and a draw call of its own on every frame.
constexpr std::size_t kMaxLooseItems = 100;
constexpr quint64 kQuietRebuilds = 2;
// Pixels round an object's rectangle on screen within which a click may fall on it (wide
// lines reach beyond the projected bounds).
constexpr double kPickMargin = 4;

double gridSpacingFor(double halfExtent) {
    for (double spacing : {0.25, 0.5, 1.0, 2.0, 5.0, 10.0, 25.0, 50.0, 100.0})
        if (halfExtent / spacing <= kMaxGridSteps)
            return spacing;
    return halfExtent / kMaxGridSteps;
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

struct WorkspaceViewer::Impl : ProjectObserver {
    /// Bookkeeping of one drawn object. `object` is only dereferenced once the workspace has
    /// been asked for it by id: a notice of its removal may still be waiting.
    struct Entry {
        WorkspaceObject* object;
        std::unique_ptr<SceneItem> item;
    };

    QVTKOpenGLNativeWidget* vtkWidget = nullptr;
    vtkSmartPointer<vtkGenericOpenGLRenderWindow> window;
    vtkSmartPointer<vtkRenderer> renderer;
    unsigned long rasteriserCheck = 0; // the renderer's observer that runs before the first frame
    vtkSmartPointer<vtkOrientationMarkerWidget> orientation;
    vtkSmartPointer<vtkInteractorStyleTrackballCamera> cameraStyle;
    vtkSmartPointer<vtkActor> grid;
    double gridHalfExtent = 0;
    double neededGridExtent = 0; // what the objects drawn since the grid was made need
    bool gridTooSmall = false;
    SceneResources resources;
    vtkSmartPointer<SceneImagePass> imagePass;
    std::unique_ptr<SceneBatches> batches;
    std::unique_ptr<SceneContext> context;

    Project* project = nullptr;
    Workspace* listedWorkspace = nullptr;

    // The drawn objects by id.
    std::unordered_map<quint64, Entry> entries;

    // Ids of the objects drawn on their own rather than in the batches.
    std::unordered_set<quint64> loose;
    quint64 rebuilds = 0;
    bool batching = true;

    // What the project said changed since the last rebuild, by object id.
    enum Pending : unsigned { Removed = 1, Changed = 2, Moved = 4 };
    std::unordered_map<quint64, unsigned> pending;

    void projectChanged(const ProjectChange& change) override {
        if (change.subject != ProjectChange::Subject::Object)
            return;
        unsigned& flags = pending[change.id];
        switch (change.kind) {
        case ProjectChange::Kind::Removed:
            flags |= Removed;
            break;
        case ProjectChange::Kind::Moved:
            flags |= Moved;
            break;
        default:
            flags |= Changed;
            break;
        }
    }

    void projectDestroyed() override {
        // Its objects are gone: the items go without a look at them.
        if (teleoperator)
            teleoperator->projectGone();
        clear();
        project = nullptr;
    }

    void watch(Project* shown) { Project::moveObserver(this, project, shown); }

    // Objects drawn in red: what collided.
    std::vector<quint64> colliding;

    void applyCollisionLooks() {
        const SceneResources::Look red = SceneResources::Look::Collision;
        for (quint64 id : colliding)
            if (Entry* entry = find(id); entry && !entry->item->hasOverrideLook()) {
                entry->item->setOverrideLook(&red);
                loose.insert(id);
            }
    }

    // Selection: the outlined object (0: none), its outline, and where a left press began.
    quint64 selected = 0;
    vtkSmartPointer<vtkActor> outline;
    vtkSmartPointer<vtkPropPicker> picker;
    std::optional<QPoint> pressedAt;

    // Last, so that it lets go of the interactor and the renderer before they go.
    std::unique_ptr<Teleoperator> teleoperator;

    Entry* find(quint64 id) {
        auto it = entries.find(id);
        return it != entries.end() ? &it->second : nullptr;
    }

    void noteExtent(const WorkspaceObject& object) {
        const Eigen::Vector3d at = object.pose().translation();
        const double need = std::max(std::abs(at.x()), std::abs(at.y())) + 0.5 * object.size().norm();
        neededGridExtent = std::max(neededGridExtent, need + kGridMargin);
        if (neededGridExtent > gridHalfExtent)
            gridTooSmall = true;
    }

    /// Draws the object in the batches, or on its own (`batched` false: an object added to a
    /// cell already drawn, which then draws no batch anew).
    void insert(WorkspaceObject* object, bool batched) {
        Entry entry{object, std::make_unique<SceneItem>(*object, *context)};
        entry.item->changedAt = rebuilds;
        if (batched && batching) {
            entry.item->batch();
        } else {
            entry.item->loosen(false);
            loose.insert(object->id());
        }
        noteExtent(*object);
        entries[object->id()] = std::move(entry);
    }

    /// Takes the item out of the scene without touching its object, which may be gone already.
    void erase(quint64 id) {
        auto it = entries.find(id);
        if (it == entries.end())
            return;
        it->second.item->remove();
        entries.erase(it);
        loose.erase(id);
    }

    void clear() {
        std::vector<SceneItem*> items;
        items.reserve(loose.size());
        for (quint64 id : loose)
            if (Entry* entry = find(id))
                items.push_back(entry->item.get());
        SceneItem::removeAllLooseFrom(items, renderer);
        batches->clear();
        entries.clear();
        loose.clear();
        pending.clear();
        listedWorkspace = nullptr;
    }

    /// Draws every listed object of `workspace` afresh.
    void relist(Workspace* workspace) {
        clear();
        const std::vector<WorkspaceObject*> listing = workspace->objects();
        entries.reserve(listing.size());
        for (WorkspaceObject* object : listing)
            insert(object, true);
        listedWorkspace = workspace;
    }

    /// Before each frame: the batched items' balls and rods take the detail the camera now
    /// asks of them.
    void followCameraForDetail() {
        DetailView view;
        vtkCamera* camera = renderer->GetActiveCamera();
        const int* size = renderer->GetSize();
        if (size[1] > 0) {
            double eye[3];
            camera->GetPosition(eye);
            view.eye = Eigen::Vector3d(eye[0], eye[1], eye[2]);
            if (camera->GetParallelProjection())
                view.pixelsPerMetre = size[1] / (2 * camera->GetParallelScale());
            else
                view.pixelsAtOneMetre =
                    size[1] / (2 * std::tan(vtkMath::RadiansFromDegrees(camera->GetViewAngle()) / 2));
        }
        if (view == context->detail)
            return;
        context->detail = view;
        bool changed = false;
        for (auto& entry : entries)
            changed |= entry.second.item->refreshDetail();
        if (changed)
            batches->flush();
    }

    /// Puts loose items that have not changed lately back in the batches, once there are many.
    void rebatch() {
        if (loose.size() <= kMaxLooseItems || !batching)
            return;
        for (auto it = loose.begin(); it != loose.end();) {
            SceneItem* item = find(*it)->item.get();
            if (item->changedAt + kQuietRebuilds <= rebuilds) {
                item->batch();
                it = loose.erase(it);
            } else {
                ++it;
            }
        }
    }

    /// Brings the items of the objects the project told of up to date: adds, drops, reshapes or
    /// moves only those.
    void refreshPending(Workspace* workspace) {
        std::unordered_map<quint64, unsigned> todo;
        todo.swap(pending);
        // Many objects changed at once (a cell filled by a script, a state restored): they go
        // into the batches as they are, which are drawn anew for them anyway.
        const bool many = todo.size() > kMaxLooseItems;
        for (const auto& [id, flags] : todo) {
            WorkspaceObject* object = workspace->findById(id);
            auto it = entries.find(id);
            if (it != entries.end() &&
                ((flags & Removed) || !object || object != it->second.object || !object->isListed())) {
                erase(id);
                it = entries.end();
            }
            if (!object || !object->isListed())
                continue;
            if (it == entries.end()) {
                insert(object, many);
                continue;
            }
            SceneItem& item = *it->second.item;
            if (item.update(*object, many)) {
                item.changedAt = rebuilds;
                if (!item.isBatched())
                    loose.insert(id);
            }
            noteExtent(*object);
        }
    }

    /// Puts the outline round the selected object's drawing, or hides it when there is none.
    void placeOutline() {
        const Entry* entry = selected ? find(selected) : nullptr;
        double bounds[6];
        if (!entry || !entry->item->bounds(bounds)) {
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
    d->batches = std::make_unique<SceneBatches>(d->resources, d->renderer, d->imagePass);
    d->context.reset(new SceneContext{d->resources, d->renderer, d->imagePass, *d->batches, DetailView()});
    // A software rasteriser (no graphics card: virtual machines, remote sessions, servers)
    // shades every sample, so multisampling multiplies the cost of every frame by the number of
    // samples: 20 ms a frame for a 960 by 700 view on two cores here, before anything is drawn.
    // Such machines get frames without it. The check needs the OpenGL context, which exists
    // once the first frame starts.
    auto checkRasteriser = vtkSmartPointer<vtkCallbackCommand>::New();
    checkRasteriser->SetClientData(d.get());
    checkRasteriser->SetCallback([](vtkObject* caller, unsigned long, void* impl, void*) {
        // Only this observer goes: others (the move handle's) watch every frame.
        auto* self = static_cast<Impl*>(impl);
        caller->RemoveObserver(self->rasteriserCheck);
        const auto* name = reinterpret_cast<const char*>(glGetString(GL_RENDERER));
        if (name && isSoftwareRenderer(QByteArray(name)))
            self->window->SetMultiSamples(0);
    });
    d->rasteriserCheck = d->renderer->AddObserver(vtkCommand::StartEvent, checkRasteriser);
    auto followCamera = vtkSmartPointer<vtkCallbackCommand>::New();
    followCamera->SetClientData(d.get());
    followCamera->SetCallback([](vtkObject*, unsigned long, void* impl, void*) {
        static_cast<Impl*>(impl)->followCameraForDetail();
    });
    d->renderer->AddObserver(vtkCommand::StartEvent, followCamera);
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
    d->watch(nullptr);
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
        d->watch(project);
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
    ++d->rebuilds;
    if (workspace != d->listedWorkspace) {
        d->relist(workspace);
    } else {
        d->refreshPending(workspace);
        d->rebatch();
    }
    d->applyCollisionLooks(); // an item drawn anew has its own looks
    d->batches->flush();
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
        if (Impl::Entry* entry = d->find(id)) {
            entry->item->setOverrideLook(nullptr);
            d->loose.insert(id);
        }
    d->colliding = ids;
    d->applyCollisionLooks();
    d->batches->flush();
}

const std::vector<quint64>& WorkspaceViewer::collidingObjects() const {
    return d->colliding;
}

QString WorkspaceViewer::_differenceFromModel() const {
    const Workspace* workspace = d->project ? d->project->workspace() : nullptr;
    size_t listed = 0;
    if (workspace) {
        for (const auto& object : workspace->objects()) {
            if (!object->isListed())
                continue;
            ++listed;
            const Impl::Entry* it = d->find(object->id());
            if (!it || it->object != object)
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

vtkProp3D* WorkspaceViewer::_sceneProp(quint64 id) const {
    const Impl::Entry* entry = d->find(id);
    if (!entry)
        return nullptr;
    if (entry->item->isBatched())
        return d->batches->actorFor(entry->item->drawnPart(0));
    return entry->item->prop();
}

long WorkspaceViewer::_drawnTriangleCount(quint64 id) const {
    long triangles = 0;
    for (const auto& [entryId, entry] : d->entries) {
        if (id != 0 && entryId != id)
            continue;
        for (size_t i = 0; i < entry.item->partCount(); ++i)
            triangles += entry.item->drawnPart(i).shape->data->GetNumberOfPolys();
    }
    return triangles;
}

void WorkspaceViewer::setBatchingEnabled(bool enabled) {
    if (enabled == d->batching)
        return;
    d->batching = enabled;
    d->clear(); // drawn afresh, the one way or the other
    rebuild();
}

int WorkspaceViewer::_batchedItemCount() const {
    return static_cast<int>(d->entries.size() - d->loose.size());
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

void WorkspaceViewer::setTeleoperationSteps(double metres, double radians) {
    d->teleoperator->setSteps(metres, radians);
}

double WorkspaceViewer::teleoperationStep() const {
    return d->teleoperator->step();
}

double WorkspaceViewer::teleoperationTurn() const {
    return d->teleoperator->turn();
}

QString WorkspaceViewer::teleoperationOverlayText() const {
    return d->teleoperator->overlayText();
}

void WorkspaceViewer::endTeleoperationBurst() {
    d->teleoperator->endBurst();
}

void WorkspaceViewer::_setTeleoperationBurstPause(int milliseconds) {
    d->teleoperator->setBurstPause(milliseconds);
}

bool WorkspaceViewer::_isTeleoperationBurstOpen() const {
    return d->teleoperator->isBurstOpen();
}

// --- Selection -----------------------------------------------------------------------------------

quint64 WorkspaceViewer::objectAt(const QPoint& widgetPos) const {
    if (!d->window->GetReadyForRendering())
        return 0;
    // VTK counts display pixels from the bottom left.
    const QPoint at = d->vtkWidget->mapFrom(this, widgetPos);
    const qreal ratio = d->vtkWidget->devicePixelRatioF();
    const int* size = d->window->GetSize();
    const double x = at.x() * ratio, y = size[1] - 1 - at.y() * ratio;
    // Only objects whose rectangle on screen holds the point can be under it, and only they
    // can hide one another there: they alone are drawn for the pick, each as it is drawn.
    vtkRenderer* renderer = d->renderer;
    const double aspect = size[1] > 0 ? double(size[0]) / size[1] : 1.0;
    vtkMatrix4x4* toScreen =
        renderer->GetActiveCamera()->GetCompositeProjectionTransformMatrix(aspect, -1, 1);
    Eigen::Matrix4d m;
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 4; ++c)
            m(r, c) = toScreen->GetElement(r, c);
    std::unordered_map<vtkProp*, quint64> ids;
    std::vector<vtkSmartPointer<vtkProp3D>> held;
    for (const auto& [id, entry] : d->entries) {
        double b[6];
        if (!entry.item->bounds(b))
            continue;
        double left = size[0], right = 0, bottom = size[1], top = 0;
        bool behind = false;
        for (int corner = 0; corner < 8 && !behind; ++corner) {
            const Eigen::Vector4d p =
                m * Eigen::Vector4d(b[corner & 1], b[2 + ((corner >> 1) & 1)], b[4 + (corner >> 2)], 1);
            if (p.w() <= 1e-9) {
                behind = true; // reaches behind the camera: it may be anywhere on screen
                break;
            }
            const double px = (p.x() / p.w() + 1) / 2 * size[0], py = (p.y() / p.w() + 1) / 2 * size[1];
            left = std::min(left, px);
            right = std::max(right, px);
            bottom = std::min(bottom, py);
            top = std::max(top, py);
        }
        if (!behind && (x < left - kPickMargin || x > right + kPickMargin || y < bottom - kPickMargin ||
                        y > top + kPickMargin))
            continue;
        vtkSmartPointer<vtkProp3D> prop = entry.item->pickProp();
        ids[prop] = id;
        held.push_back(prop);
    }
    if (held.empty())
        return 0;
    // The pick draws what the renderer holds: for the moment, the candidates alone. (A pick
    // leaves the kept images as they were, and the props go back in their order.)
    vtkPropCollection* props = renderer->GetViewProps();
    std::vector<vtkSmartPointer<vtkProp>> shown;
    shown.reserve(static_cast<size_t>(props->GetNumberOfItems()));
    vtkCollectionSimpleIterator it;
    props->InitTraversal(it);
    while (vtkProp* prop = props->GetNextProp(it))
        shown.emplace_back(prop);
    props->RemoveAllItems();
    for (const auto& prop : held)
        props->AddItem(prop);
    const bool hit = d->picker->PickProp(x, y, renderer) != 0;
    vtkProp* picked = hit ? d->picker->GetViewProp() : nullptr;
    props->RemoveAllItems();
    for (const auto& prop : shown)
        props->AddItem(prop);
    const auto found = ids.find(picked);
    return found == ids.end() ? 0 : found->second;
}

void WorkspaceViewer::setSelectedObject(quint64 id) {
    if (id != d->selected)
        d->teleoperator->endBurst(); // jogging after it is another step
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
