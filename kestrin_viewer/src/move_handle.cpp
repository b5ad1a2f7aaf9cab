#include "move_handle.h"

#include <kestrin/project.h>
#include <kestrin/undo_history.h>
#include <kestrin/workspace.h>

#include <QMouseEvent>
#include <QVTKOpenGLNativeWidget.h>
#include <QWidget>
#include <vtkActor.h>
#include <vtkArrowSource.h>
#include <vtkCallbackCommand.h>
#include <vtkCamera.h>
#include <vtkCommand.h>
#include <vtkDiskSource.h>
#include <vtkMatrix4x4.h>
#include <vtkPolyDataMapper.h>
#include <vtkProperty.h>
#include <vtkRenderWindow.h>
#include <vtkRenderer.h>
#include <vtkTransform.h>
#include <vtkTransformPolyDataFilter.h>

#include <Eigen/Geometry>
#include <algorithm>
#include <cmath>
#include <limits>

namespace kestrin {

namespace {

constexpr double kPi = 3.14159265358979323846;

int axisOf(MoveHandle::Part part) {
    return static_cast<int>(part) % 3;
}
bool isTurn(MoveHandle::Part part) {
    return static_cast<int>(part) >= 3;
}
Eigen::Vector3d unit(int axis) {
    return Eigen::Vector3d::Unit(axis);
}

/// An arrow along +x of length 1, or a flat ring about z of radius 0.8, turned onto `axis`.
vtkSmartPointer<vtkActor> makeActor(int axis, bool ring) {
    vtkSmartPointer<vtkPolyDataAlgorithm> source;
    auto turn = vtkSmartPointer<vtkTransform>::New();
    if (ring) {
        auto disk = vtkSmartPointer<vtkDiskSource>::New();
        disk->SetInnerRadius(0.74);
        disk->SetOuterRadius(0.8);
        disk->SetCircumferentialResolution(72);
        source = disk;
        if (axis == 0)
            turn->RotateY(90);
        else if (axis == 1)
            turn->RotateX(90);
    } else {
        auto arrow = vtkSmartPointer<vtkArrowSource>::New();
        arrow->SetTipLength(0.25);
        arrow->SetTipRadius(0.07);
        arrow->SetShaftRadius(0.025);
        arrow->SetTipResolution(24);
        arrow->SetShaftResolution(12);
        source = arrow;
        if (axis == 1)
            turn->RotateZ(90);
        else if (axis == 2)
            turn->RotateY(-90);
    }
    auto filter = vtkSmartPointer<vtkTransformPolyDataFilter>::New();
    filter->SetInputConnection(source->GetOutputPort());
    filter->SetTransform(turn);
    auto mapper = vtkSmartPointer<vtkPolyDataMapper>::New();
    mapper->SetInputConnection(filter->GetOutputPort());
    auto actor = vtkSmartPointer<vtkActor>::New();
    actor->SetMapper(mapper);
    const double colours[3][3] = {{0.86, 0.18, 0.18}, {0.2, 0.7, 0.25}, {0.2, 0.4, 0.9}};
    actor->GetProperty()->SetColor(colours[axis][0], colours[axis][1], colours[axis][2]);
    actor->GetProperty()->SetAmbient(0.5);
    actor->GetProperty()->SetOpacity(ring ? 0.85 : 1.0);
    actor->SetPickable(false); // not an object of the cell: clicks on it select nothing
    actor->SetVisibility(false);
    actor->SetUserMatrix(vtkSmartPointer<vtkMatrix4x4>::New());
    return actor;
}

} // namespace

MoveHandle::MoveHandle(WorkspaceViewer& viewer, QWidget& renderWidget, vtkRenderer* renderer)
    : QObject(&renderWidget), m_viewer(viewer), m_widget(renderWidget), m_renderer(renderer) {
    setObjectName(QStringLiteral("moveHandle"));
    // Drawn over the scene, on a layer of its own with the same camera: a handle inside a desk or
    // behind a robot can still be seen and grabbed.
    m_overlay = vtkSmartPointer<vtkRenderer>::New();
    vtkRenderWindow* window = m_renderer->GetRenderWindow();
    const int layer = std::max(1, window->GetNumberOfLayers());
    window->SetNumberOfLayers(layer + 1);
    m_overlay->SetLayer(layer);
    m_overlay->SetActiveCamera(m_renderer->GetActiveCamera());
    m_overlay->InteractiveOff();
    m_overlay->SetViewport(m_renderer->GetViewport());
    window->AddRenderer(m_overlay);
    for (int i = 0; i < 6; ++i) {
        m_actors[size_t(i)] = makeActor(i % 3, i >= 3);
        m_overlay->AddActor(m_actors[size_t(i)]);
    }
    // The handle follows the selection at every frame, whatever moved it. (The window's frames,
    // not the renderer's: the viewer drops the renderer's start observers after the first frame.)
    auto callback = vtkSmartPointer<vtkCallbackCommand>::New();
    callback->SetClientData(this);
    callback->SetCallback(
        [](vtkObject*, unsigned long, void* self, void*) { static_cast<MoveHandle*>(self)->follow(); });
    m_observer = m_renderer->GetRenderWindow()->AddObserver(vtkCommand::StartEvent, callback);
    m_widget.installEventFilter(this);
}

MoveHandle::~MoveHandle() {
    if (vtkRenderWindow* window = m_renderer->GetRenderWindow()) {
        window->RemoveObserver(m_observer);
        window->RemoveRenderer(m_overlay);
    }
}

WorkspaceObject* MoveHandle::target() const {
    if (!m_enabled || m_viewer.isTeleoperating())
        return nullptr;
    const quint64 id = m_dragging ? m_draggedId : m_viewer.selectedObject();
    Project* project = m_viewer.project();
    WorkspaceObject* object = id && project ? project->workspace()->findById(id) : nullptr;
    // What a robot carries moves with it, not on its own.
    if (!object || !object->isListed() || object->category() == Category::ToolFrame ||
        (object->kind() != ObjectKind::TaskRegion && !object->occupiesFloor()))
        return nullptr;
    return object;
}

double MoveHandle::scale() const {
    // About a sixth of the view's height, wherever the object is.
    vtkCamera* camera = m_renderer->GetActiveCamera();
    const double* p = camera->GetPosition();
    const Eigen::Vector3d eye(p[0], p[1], p[2]);
    const double distance = std::max(0.05, (eye - m_centre).norm());
    return distance * std::tan(camera->GetViewAngle() * kPi / 360.0) * 0.35;
}

void MoveHandle::follow() {
    WorkspaceObject* object = target();
    if (object && !m_dragging)
        m_centre = object->pose().translation();
    const double s = scale();
    for (const auto& actor : m_actors) {
        actor->SetVisibility(object != nullptr);
        if (!object)
            continue;
        vtkMatrix4x4* m = actor->GetUserMatrix();
        m->Identity();
        for (int i = 0; i < 3; ++i) {
            m->SetElement(i, i, s);
            m->SetElement(i, 3, m_centre[i]);
        }
        m->Modified();
    }
}

std::pair<Eigen::Vector3d, Eigen::Vector3d> MoveHandle::rayAt(const QPoint& pos) const {
    const qreal ratio = m_widget.devicePixelRatioF();
    const int* size = m_renderer->GetRenderWindow()->GetSize();
    const double x = pos.x() * ratio, y = size[1] - 1 - pos.y() * ratio;
    Eigen::Vector3d ends[2];
    for (int i = 0; i < 2; ++i) {
        m_renderer->SetDisplayPoint(x, y, i);
        m_renderer->DisplayToWorld();
        const double* w = m_renderer->GetWorldPoint();
        ends[i] = Eigen::Vector3d(w[0], w[1], w[2]) / (w[3] != 0 ? w[3] : 1.0);
    }
    return {ends[0], (ends[1] - ends[0]).normalized()};
}

std::optional<double> MoveHandle::measure(const QPoint& pos) const {
    if (!m_dragging)
        return std::nullopt;
    const auto [origin, direction] = rayAt(pos);
    const Eigen::Vector3d axis = unit(axisOf(*m_dragging));
    if (isTurn(*m_dragging)) {
        // Where the line of sight meets the ring's plane, as an angle round the axis.
        const double across = direction.dot(axis);
        if (std::abs(across) < 1e-6)
            return std::nullopt;
        const Eigen::Vector3d hit = origin + ((m_centre - origin).dot(axis) / across) * direction;
        const Eigen::Vector3d v = hit - m_centre;
        const Eigen::Vector3d u = unit((axisOf(*m_dragging) + 1) % 3), w = axis.cross(u);
        return std::atan2(v.dot(w), v.dot(u));
    }
    // The point of the axis nearest the line of sight.
    const Eigen::Vector3d r = origin - m_centre;
    const double b = axis.dot(direction);
    const double denominator = 1 - b * b;
    if (denominator < 1e-6)
        return std::nullopt; // looking along the axis
    return (axis.dot(r) - b * direction.dot(r)) / denominator;
}

std::optional<MoveHandle::Part> MoveHandle::partAt(const QPoint& pos) const {
    if (!target())
        return std::nullopt;
    // Measured in space, not by drawing: the part nearest the eye that the line of sight passes
    // within a grip's width of.
    const auto [origin, direction] = rayAt(pos);
    const double s = scale(), grip = 0.06 * s;
    std::optional<Part> best;
    double bestDepth = std::numeric_limits<double>::infinity();
    for (int axis = 0; axis < 3; ++axis) {
        const Eigen::Vector3d a = unit(axis);
        // The arrow: the segment from the centre to its tip.
        const Eigen::Vector3d r = origin - m_centre;
        const double b = a.dot(direction), denominator = 1 - b * b;
        if (denominator > 1e-9) {
            const double along = std::clamp((a.dot(r) - b * direction.dot(r)) / denominator, 0.0, s);
            const Eigen::Vector3d onAxis = m_centre + along * a;
            const double depth = std::max(0.0, (onAxis - origin).dot(direction));
            const double miss = (origin + depth * direction - onAxis).norm();
            if (miss < grip && depth < bestDepth) {
                bestDepth = depth;
                best = static_cast<Part>(axis);
            }
        }
        // The ring: where the line of sight crosses its plane.
        if (std::abs(b) > 1e-6) {
            const double depth = (m_centre - origin).dot(a) / b;
            const double radius = (origin + depth * direction - m_centre).norm();
            if (depth > 0 && std::abs(radius - 0.77 * s) < grip && depth < bestDepth) {
                bestDepth = depth;
                best = static_cast<Part>(axis + 3);
            }
        }
    }
    return best;
}

QPoint MoveHandle::pointOf(Part part) const {
    const_cast<MoveHandle*>(this)->follow();
    if (!target())
        return QPoint();
    const double s = scale();
    Eigen::Vector3d at = m_centre;
    if (isTurn(part)) // on the ring, a quarter of the way round from the next axis
        at += 0.77 * s * (unit((axisOf(part) + 1) % 3) + unit((axisOf(part) + 2) % 3)).normalized();
    else
        at += 0.55 * s * unit(axisOf(part));
    m_renderer->SetWorldPoint(at.x(), at.y(), at.z(), 1.0);
    m_renderer->WorldToDisplay();
    const double* d = m_renderer->GetDisplayPoint();
    const int* size = m_renderer->GetRenderWindow()->GetSize();
    const qreal ratio = m_widget.devicePixelRatioF();
    return QPoint(qRound(d[0] / ratio), qRound((size[1] - 1 - d[1]) / ratio));
}

double MoveHandle::snapped(Part part, double amount) {
    const double step = isTurn(part) ? kSnapDegrees * kPi / 180.0 : kSnapMetres;
    return std::round(amount / step) * step;
}

bool MoveHandle::begin(Part part) {
    WorkspaceObject* object = target();
    if (!object)
        return false;
    m_dragging = part;
    m_draggedId = object->id();
    m_start = object->transform();
    m_centre = object->pose().translation();
    m_startAmount = 0;
    m_moved = false;
    return true;
}

void MoveHandle::dragTo(double amount, bool snap) {
    WorkspaceObject* object = target();
    if (!m_dragging || !object)
        return;
    if (snap)
        amount = snapped(*m_dragging, amount);
    Transform t = m_start;
    const Eigen::Vector3d axis = unit(axisOf(*m_dragging));
    if (isTurn(*m_dragging))
        t.orientation = (Eigen::AngleAxisd(amount, axis) * m_start.orientation).normalized();
    else
        t.position = m_start.position + amount * axis;
    if (t.position == object->transform().position &&
        t.orientation.coeffs() == object->transform().orientation.coeffs())
        return;
    try {
        object->setTransform(t);
    } catch (const std::exception&) {
        return; // out of the cell: it stays where it last was
    }
    m_moved = true;
    m_viewer.rebuild();
    m_viewer.render();
}

void MoveHandle::end() {
    if (!m_dragging)
        return;
    const Part part = *m_dragging;
    WorkspaceObject* object = target();
    m_dragging.reset();
    if (object && m_moved && m_viewer.project())
        m_viewer.project()->history().record(
            (isTurn(part) ? QStringLiteral("Turn '%1'") : QStringLiteral("Move '%1'")).arg(object->name()));
    m_moved = false;
    m_viewer.render();
}

bool MoveHandle::eventFilter(QObject* watched, QEvent* event) {
    if (watched != &m_widget)
        return false;
    switch (event->type()) {
    case QEvent::MouseButtonPress: {
        auto* mouse = static_cast<QMouseEvent*>(event);
        if (mouse->button() != Qt::LeftButton)
            return false;
        const std::optional<Part> part = partAt(mouse->pos());
        if (!part || !begin(*part))
            return false;
        const std::optional<double> at = measure(mouse->pos());
        m_startAmount = at.value_or(0);
        m_mouseDrag = true;
        return true; // the camera does not turn
    }
    case QEvent::MouseMove: {
        if (!m_mouseDrag)
            return false;
        auto* mouse = static_cast<QMouseEvent*>(event);
        if (const std::optional<double> at = measure(mouse->pos())) {
            double amount = *at - m_startAmount;
            if (isTurn(*m_dragging)) // the shorter way round
                amount = std::remainder(amount, 2 * kPi);
            dragTo(amount, mouse->modifiers() & Qt::ShiftModifier);
        }
        return true;
    }
    case QEvent::MouseButtonRelease: {
        if (!m_mouseDrag || static_cast<QMouseEvent*>(event)->button() != Qt::LeftButton)
            return false;
        m_mouseDrag = false;
        end();
        return true;
    }
    default:
        return false;
    }
}

// --- The viewer's side ----------------------------------------------------------------------------

namespace {
MoveHandle* handleOf(const WorkspaceViewer& viewer) {
    return viewer.findChild<MoveHandle*>(QStringLiteral("moveHandle"));
}
} // namespace

void WorkspaceViewer::setMoveHandleEnabled(bool on) {
    MoveHandle* handle = handleOf(*this);
    if (!handle && on) {
        auto* widget = findChild<QVTKOpenGLNativeWidget*>();
        if (!widget)
            return;
        handle = new MoveHandle(*this, *widget, _getRenderer());
    }
    if (handle) {
        handle->m_enabled = on;
        handle->follow();
    }
}

bool WorkspaceViewer::isMoveHandleEnabled() const {
    const MoveHandle* handle = handleOf(*this);
    return handle && handle->m_enabled;
}

bool WorkspaceViewer::dragMoveHandle(HandlePart part, double amount, bool snap) {
    MoveHandle* handle = handleOf(*this);
    if (!handle || !handle->begin(part))
        return false;
    handle->dragTo(amount, snap);
    handle->end();
    return true;
}

QPoint WorkspaceViewer::moveHandlePoint(HandlePart part) const {
    const MoveHandle* handle = handleOf(*this);
    if (!handle)
        return QPoint();
    const QPoint p = handle->pointOf(part);
    auto* widget = findChild<QVTKOpenGLNativeWidget*>();
    return p.isNull() || !widget ? p : widget->mapTo(const_cast<WorkspaceViewer*>(this), p);
}

} // namespace kestrin
