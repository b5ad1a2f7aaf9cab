#include "teleoperator.h"

#include "scene_item.h"
#include <kestrin_viewer/workspace_viewer.h>

#include <kestrin/collision.h>
#include <kestrin/error.h>
#include <kestrin/project.h>
#include <kestrin/robot.h>
#include <kestrin/teleoperation.h>
#include <kestrin/tool_frame.h>
#include <kestrin/undo_history.h>
#include <kestrin/workspace.h>

#include <QKeyEvent>
#include <QWidget>

#include <vtkActor.h>
#include <vtkCommand.h>
#include <vtkHandleWidget.h>
#include <vtkMatrix4x4.h>
#include <vtkPointHandleRepresentation3D.h>
#include <vtkPolyDataMapper.h>
#include <vtkProperty.h>
#include <vtkRenderWindowInteractor.h>
#include <vtkRenderer.h>
#include <vtkTextActor.h>
#include <vtkTextProperty.h>

#include <cmath>

namespace kestrin {

namespace {

constexpr double kJogStep = 0.005;                  // metres a key press, unless set
constexpr double kJogTurn = 5.0 * M_PI / 180.0;     // radians a key press with Shift, unless set
constexpr double kMinStep = 0.0001, kMaxStep = 0.1; // metres
constexpr double kMinTurn = 0.1 * M_PI / 180.0, kMaxTurn = M_PI / 4.0; // radians
constexpr int kBurstPauseMs = 1000;
constexpr double kHandlePixels = 36.0;
// The highlight is drawn over the tool frame's own axes, longer and thicker.
constexpr double kHighlightLength = 0.16;

/// The world axis (0, 1, 2) and direction (+1, -1) a jog key stands for; axis -1 for other keys.
std::pair<int, double> jogKey(int key) {
    switch (key) {
    case Qt::Key_Right:
        return {0, 1.0};
    case Qt::Key_Left:
        return {0, -1.0};
    case Qt::Key_Up:
        return {1, 1.0};
    case Qt::Key_Down:
        return {1, -1.0};
    case Qt::Key_PageUp:
        return {2, 1.0};
    case Qt::Key_PageDown:
        return {2, -1.0};
    default:
        return {-1, 0.0};
    }
}

/// Jog keys with Control, Alt or Meta belong to shortcuts, not to jogging.
bool isPlainJogKey(const QKeyEvent& event) {
    const Qt::KeyboardModifiers others = Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier;
    return jogKey(event.key()).first >= 0 && !(event.modifiers() & others);
}

/// A step for the corner text: "5", "0.5", "12.5".
QString amount(double value) {
    return QString::number(value, 'g', 4);
}

/// Keys of every burst in the program: a burst's step in an undo history is never taken for
/// another's, whichever view it came from.
quint64 nextBurst() {
    static quint64 bursts = 0;
    return ++bursts;
}

} // namespace

Teleoperator::Teleoperator(WorkspaceViewer& viewer, QWidget& keys, vtkRenderWindowInteractor* interactor,
                           vtkRenderer* renderer, const SceneResources& resources)
    : m_viewer(viewer), m_keys(keys), m_renderer(renderer), m_step(kJogStep), m_turn(kJogTurn) {
    m_burstTimer.setSingleShot(true);
    m_burstTimer.setInterval(kBurstPauseMs);
    connect(&m_burstTimer, &QTimer::timeout, this, &Teleoperator::endBurst);

    m_handleLook = vtkSmartPointer<vtkPointHandleRepresentation3D>::New();
    m_handleLook->SetHandleSize(kHandlePixels);
    // The cross through the point is what the mouse grabs; the box around it makes it easy to see.
    m_handleLook->AllOff();
    m_handleLook->OutlineOn();
    m_handleLook->GetProperty()->SetColor(1.0, 0.85, 0.1);
    m_handleLook->GetProperty()->SetLineWidth(2.5f);
    m_handleLook->GetSelectedProperty()->SetColor(1.0, 0.35, 0.9);
    m_handleLook->GetSelectedProperty()->SetLineWidth(3.5f);
    // The handle must not count when the camera is fitted to the cell.
    m_handleLook->UseBoundsOff();

    m_handle = vtkSmartPointer<vtkHandleWidget>::New();
    m_handle->SetInteractor(interactor);
    // Without a default renderer the widget would attach to whichever renderer the mouse was last
    // over, which can be the corner axes.
    m_handle->SetDefaultRenderer(renderer);
    m_handle->SetRepresentation(m_handleLook);
    m_handle->AllowHandleResizeOff();
    m_handle->AddObserver(vtkCommand::StartInteractionEvent, this, &Teleoperator::dragStarted);
    m_handle->AddObserver(vtkCommand::InteractionEvent, this, &Teleoperator::dragged);
    m_handle->AddObserver(vtkCommand::EndInteractionEvent, this, &Teleoperator::dragEnded);

    m_highlightMatrix = vtkSmartPointer<vtkMatrix4x4>::New();
    m_highlight = vtkSmartPointer<vtkActor>::New();
    m_highlight->SetMapper(resources.unitAxes());
    m_highlight->GetProperty()->SetLineWidth(6.0f);
    m_highlight->GetProperty()->LightingOff();
    m_highlight->SetScale(kHighlightLength);
    m_highlight->SetUserMatrix(m_highlightMatrix);
    m_highlight->UseBoundsOff();
    m_highlight->PickableOff();
    m_highlight->VisibilityOff();
    renderer->AddActor(m_highlight);

    // Top left: the corner axes are at the bottom left.
    m_overlay = vtkSmartPointer<vtkTextActor>::New();
    m_overlay->GetPositionCoordinate()->SetCoordinateSystemToNormalizedViewport();
    m_overlay->SetPosition(0.01, 0.985);
    vtkTextProperty* text = m_overlay->GetTextProperty();
    text->SetFontFamilyToCourier(); // the keys and their steps line up in columns
    text->SetFontSize(14);
    text->SetColor(1.0, 1.0, 1.0);
    text->SetBackgroundColor(0.1, 0.1, 0.12);
    text->SetBackgroundOpacity(0.6);
    text->SetVerticalJustificationToTop();
    text->SetJustificationToLeft();
    m_overlay->PickableOff();
    m_overlay->UseBoundsOff();
    m_overlay->VisibilityOff();
    renderer->AddActor2D(m_overlay);

    m_keys.installEventFilter(this);
}

Teleoperator::~Teleoperator() {
    // Only the VTK side is let go of: the viewer is going, and its project may be going too.
    if (m_handle->GetWidgetState() == vtkHandleWidget::Active)
        m_handle->ReleaseFocus();
    m_handle->Off();
    m_handle->RemoveAllObservers();
    m_renderer->RemoveActor(m_highlight);
    m_renderer->RemoveActor2D(m_overlay);
}

void Teleoperator::start(const QString& robotName, const QString& toolName) {
    Project* project = m_viewer.project();
    Workspace* workspace = project ? project->workspace() : nullptr;
    if (robotName.trimmed().isEmpty())
        throw ValueError(QStringLiteral("Choose a robot to teleoperate."));
    Robot* robot = workspace ? workspace->findRobot(robotName) : nullptr;
    if (!robot)
        throw NotFoundError(
            QStringLiteral(
                "There is no robot named '%1' in the cell; choose one of its robots to teleoperate.")
                .arg(robotName));
    if (toolName.trimmed().isEmpty())
        throw ValueError(QStringLiteral("Choose a tool frame of robot '%1' to teleoperate; add one with "
                                        "Add > Tool Frame.")
                             .arg(robotName));
    ToolFrame* tool = workspace->findToolFrame(toolName);
    if (!tool)
        throw NotFoundError(
            QStringLiteral("There is no tool frame named '%1' on any robot; choose a tool frame "
                           "of robot '%2' to teleoperate.")
                .arg(toolName, robotName));
    if (tool->robot() != robot)
        throw ValueError(QStringLiteral("Tool frame '%1' is on robot '%2', not on robot '%3'; choose a tool "
                                        "frame of robot '%3' to teleoperate.")
                             .arg(toolName, tool->robot()->name(), robotName));

    // Switching in the middle of a drag (from a slot of teleoperationMessage): end that drag.
    if (m_dragging)
        stop();
    else
        endAction();
    m_robotId = robot->id();
    m_toolId = tool->id();
    m_robotSeen = robot;
    m_toolSeen = tool;
    m_robotName = robot->name();
    m_toolName = tool->name();
    m_active = true;
    m_handle->On();
    m_highlight->VisibilityOn();
    follow();
    updateOverlay();
    m_keys.setFocus(Qt::OtherFocusReason);
    m_viewer.render();
}

void Teleoperator::stop() {
    if (!m_active)
        return;
    // A burst of keys still going on counts as done; the objects may be gone already, and then
    // there is nothing of theirs to record.
    if (resolve())
        endAction();
    endBurst();
    m_world.reset();
    m_active = false;
    // Ended in the middle of a drag (the cell changed under it): the handle holds the
    // interactor's mouse events until it lets go.
    if (m_handle->GetWidgetState() == vtkHandleWidget::Active)
        m_handle->ReleaseFocus();
    m_handle->Off();
    m_highlight->VisibilityOff();
    m_highlightPose.reset();
    m_dragging = false;
    m_moved = false;
    m_robotSeen = nullptr;
    m_toolSeen = nullptr;
    updateOverlay();
}

std::optional<Teleoperator::Target> Teleoperator::resolve() const {
    if (!m_active)
        return std::nullopt;
    Project* project = m_viewer.project();
    Workspace* workspace = project ? project->workspace() : nullptr;
    if (!workspace)
        return std::nullopt;
    WorkspaceObject* robot = workspace->findById(m_robotId);
    WorkspaceObject* tool = workspace->findById(m_toolId);
    if (!robot || !tool || robot->category() != Category::Robot || tool->category() != Category::ToolFrame)
        return std::nullopt;
    const bool same = robot == m_robotSeen && tool == m_toolSeen;
    if (!same && (robot->name() != m_robotName || tool->name() != m_toolName))
        return std::nullopt;
    auto* frame = static_cast<ToolFrame*>(tool);
    if (frame->robot() != robot)
        return std::nullopt;
    return Target{static_cast<Robot*>(robot), frame};
}

std::optional<Teleoperator::Target> Teleoperator::current() {
    auto target = resolve();
    if (target) {
        m_robotSeen = target->robot;
        m_toolSeen = target->tool;
        m_robotName = target->robot->name();
        m_toolName = target->tool->name();
    }
    return target;
}

bool Teleoperator::isActive() const {
    return resolve().has_value();
}

QString Teleoperator::robotName() const {
    const auto target = resolve();
    return target ? target->robot->name() : QString();
}

QString Teleoperator::toolName() const {
    const auto target = resolve();
    return target ? target->tool->name() : QString();
}

bool Teleoperator::jog(const Eigen::Vector3d& translation, const Eigen::Vector3d& rotation) {
    if (!m_active)
        throw ValueError(QStringLiteral("Not teleoperating: choose Teleoperation Mode first."));
    const auto target = current();
    if (!target) {
        stop();
        throw ValueError(
            QStringLiteral("Not teleoperating: robot '%1' or its tool frame '%2' has left the cell; "
                           "choose Teleoperation Mode again.")
                .arg(m_robotName, m_toolName));
    }
    if (!translation.allFinite() || !rotation.allFinite())
        throw ValueError(QStringLiteral("A jog of tool frame '%1' needs finite distances and angles.")
                             .arg(target->tool->name()));
    endAction();
    beginAction();
    const bool reached = moveTo(*target, jogged(target->tool->pose(), translation, rotation));
    endAction();
    return reached;
}

void Teleoperator::beginAction() {
    m_reported = false;
    m_moved = false;
}

void Teleoperator::endAction() {
    endBurst();
    m_world.reset();
    if (!m_moved)
        return;
    m_moved = false;
    if (Project* project = m_viewer.project())
        project->history().record(stepName());
}

QString Teleoperator::stepName() const {
    return QStringLiteral("Teleoperate '%1'").arg(m_robotName);
}

void Teleoperator::endBurst() {
    m_burstTimer.stop();
    if (!m_burst)
        return;
    m_burst = 0;
    m_world.reset();
}

void Teleoperator::setBurstPause(int milliseconds) {
    m_burstTimer.setInterval(std::max(0, milliseconds));
}

void Teleoperator::projectGone() {
    // What watches the cell goes while the cell is still there; nothing is recorded any more.
    m_burstTimer.stop();
    m_burst = 0;
    m_moved = false;
    m_world.reset();
}

void Teleoperator::setSteps(double metres, double radians) {
    if (!(metres >= kMinStep - 1e-12 && metres <= kMaxStep + 1e-12))
        throw ValueError(
            QStringLiteral("A teleoperation step of %1 mm is out of range: choose from %2 to %3 mm.")
                .arg(amount(metres * 1000.0), amount(kMinStep * 1000.0), amount(kMaxStep * 1000.0)));
    if (!(radians >= kMinTurn - 1e-12 && radians <= kMaxTurn + 1e-12))
        throw ValueError(
            QStringLiteral(
                "A teleoperation turn of %1 degrees is out of range: choose from %2 to %3 degrees.")
                .arg(amount(radians * 180.0 / M_PI), amount(kMinTurn * 180.0 / M_PI),
                     amount(kMaxTurn * 180.0 / M_PI)));
    m_step = metres;
    m_turn = radians;
    updateOverlay();
    if (m_active)
        m_viewer.render();
}

QString Teleoperator::overlayText() const {
    const auto target = resolve();
    if (!target)
        return {};
    const QString mm = amount(m_step * 1000.0);
    const QString degrees = amount(m_turn * 180.0 / M_PI);
    return QStringLiteral("Teleoperating robot '%1' by tool frame '%2'\n"
                          "Left / Right     x -/+ %3 mm\n"
                          "Down / Up        y -/+ %3 mm\n"
                          "PgDn / PgUp      z -/+ %3 mm\n"
                          "Shift + a key    turn -/+ %4\u00b0 about its axis\n"
                          "Drag the yellow box to move it; View > Camera Mode to stop")
        .arg(target->robot->name(), target->tool->name(), mm, degrees);
}

void Teleoperator::updateOverlay() {
    const QString text = overlayText();
    const QByteArray utf8 = text.toUtf8();
    const char* shown = m_overlay->GetInput();
    if (!shown || utf8 != QByteArray(shown))
        m_overlay->SetInput(utf8.constData());
    const bool visible = !text.isEmpty();
    if (bool(m_overlay->GetVisibility()) != visible)
        m_overlay->SetVisibility(visible);
}

bool Teleoperator::moveTo(const Target& target, const Pose& pose) {
    Workspace* workspace = target.robot->workspace();
    if (!m_world)
        m_world = std::make_unique<CollisionWorld>(workspace);
    m_world->setClearance(workspace->clearance());
    const JogResult result = moveToolTowards(target.robot, target.tool, pose, m_world.get());
    m_moved = true;
    m_viewer.rebuild();
    m_viewer.render();
    if (!result.reached && !m_reported) {
        m_reported = true;
        emit m_viewer.teleoperationMessage(result.message);
    }
    return result.reached;
}

void Teleoperator::follow() {
    if (!m_active)
        return;
    const auto target = current();
    if (!target) {
        stop();
        return;
    }
    // Only what moved is touched, so that a rebuild with no change leaves the scene as it was.
    const Pose pose = target->tool->pose();
    if (!m_highlightPose || m_highlightPose->matrix() != pose.matrix()) {
        setMatrix(m_highlightMatrix, pose);
        m_highlightPose = pose;
    }
    if (!m_dragging)
        placeHandle(pose.translation());
    updateOverlay(); // names may have changed
}

void Teleoperator::placeHandle(const Eigen::Vector3d& position) {
    double p[3];
    m_handleLook->GetWorldPosition(p);
    if (Eigen::Vector3d(p[0], p[1], p[2]) == position)
        return;
    p[0] = position.x();
    p[1] = position.y();
    p[2] = position.z();
    m_handleLook->SetWorldPosition(p);
}

bool Teleoperator::eventFilter(QObject* watched, QEvent* event) {
    if (watched != &m_keys || !m_active)
        return QObject::eventFilter(watched, event);
    switch (event->type()) {
    case QEvent::ShortcutOverride:
        // Keep jog keys away from shortcuts of the windows around the view.
        if (isPlainJogKey(*static_cast<QKeyEvent*>(event))) {
            event->accept();
            return true;
        }
        break;
    case QEvent::KeyPress:
        return keyJog(static_cast<QKeyEvent*>(event));
    case QEvent::KeyRelease:
        // The burst goes on until a pause: a release ends nothing.
        if (isPlainJogKey(*static_cast<QKeyEvent*>(event)))
            return true;
        break;
    case QEvent::FocusOut:
        if (!m_dragging)
            endAction();
        break;
    default:
        break;
    }
    return QObject::eventFilter(watched, event);
}

bool Teleoperator::keyJog(QKeyEvent* event) {
    if (!isPlainJogKey(*event))
        return false;
    if (m_dragging)
        return true;
    const auto target = current();
    if (!target) {
        stop();
        return false;
    }
    if (!m_burst) {
        endAction();
        beginAction();
        m_burst = nextBurst();
    }
    m_burstTimer.start();
    const auto [axis, sign] = jogKey(event->key());
    Eigen::Vector3d translation = Eigen::Vector3d::Zero();
    Eigen::Vector3d rotation = Eigen::Vector3d::Zero();
    if (event->modifiers() & Qt::ShiftModifier)
        rotation[axis] = sign * m_turn;
    else
        translation[axis] = sign * m_step;
    moveTo(*target, jogged(target->tool->pose(), translation, rotation));
    // Into the history at once, so that undo takes back the burst so far; the press goes into
    // the step of the presses before it.
    m_moved = false;
    if (Project* project = m_viewer.project())
        project->history().record(stepName(), m_burst);
    return true;
}

void Teleoperator::dragStarted() {
    const auto target = current();
    if (!target) {
        stop();
        return;
    }
    endAction();
    beginAction();
    m_dragging = true;
    m_dragOrientation = target->tool->pose().linear();
}

void Teleoperator::dragged() {
    if (!m_dragging)
        return;
    const auto target = current();
    if (!target) {
        stop();
        return;
    }
    double at[3];
    m_handleLook->GetWorldPosition(at);
    Pose pose = Pose::Identity();
    pose.linear() = m_dragOrientation;
    pose.translation() = Eigen::Vector3d(at[0], at[1], at[2]);
    moveTo(*target, pose);
}

void Teleoperator::dragEnded() {
    if (!m_dragging)
        return;
    m_dragging = false;
    // Back onto the tool frame, which stopped short if the handle went out of reach.
    follow();
    endAction();
}

} // namespace kestrin
