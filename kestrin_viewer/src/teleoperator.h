#pragma once
// Private to the viewer: moving a robot by one of its tool frames from the 3-D view, with a
// handle to drag and jog keys.

#include <kestrin/geometry.h>

#include <QObject>
#include <QString>
#include <QTimer>
#include <vtkSmartPointer.h>

#include <memory>
#include <optional>

class QKeyEvent;
class QWidget;
class vtkActor;
class vtkHandleWidget;
class vtkMatrix4x4;
class vtkObject;
class vtkPointHandleRepresentation3D;
class vtkRenderWindowInteractor;
class vtkRenderer;
class vtkTextActor;

namespace kestrin {

class CollisionWorld;
class Robot;
class SceneResources;
class ToolFrame;
class WorkspaceObject;
class WorkspaceViewer;

/// Teleoperation of one robot by one of its tool frames, for a WorkspaceViewer. Contract:
/// - start() checks the names against the viewer's project and throws without changing
///   anything when they do not name a robot and a tool frame on it.
/// - It keeps the ids of the robot and the tool frame, never a pointer it uses: every key press,
///   drag step, jog and follow() looks them up again, and teleoperation ends as soon as either
///   has left the cell or the tool frame has moved to another robot. Objects that undo or redo
///   put back under the same ids and names count as the same; a loaded cell's do not.
/// - Each move goes through moveToolTowards, checked for collisions with the cell (and its
///   clearance), then the viewer rebuilds and redraws.
/// - A user action is a jog() call, a burst of key presses or a drag. Each is one step of the
///   project's undo history, and a move that stops short emits the viewer's
///   teleoperationMessage at most once per action. A burst is key presses (a held key repeats)
///   with no pause longer than the burst pause (a second) between them; every press goes into
///   the history at once, into the burst's step, so that undo in the middle of a burst takes
///   back what it has done so far. Anything else that records, undoes or redoes ends the step
///   (see UndoHistory::record); the teleoperator ends the burst itself at the pause, when the
///   view loses the keyboard, at any other action and at stop().
/// - While active, a text in the view's top left corner names the robot and the tool frame and
///   lists the keys with the steps they jog by.
/// - While active, the handle sits on the tool frame, except during a drag, where it follows the
///   mouse; at the end of a drag it goes back onto the tool frame, which may have stopped short.
class Teleoperator : public QObject {
public:
    /// `keys` is the widget whose key presses jog; `interactor` and `renderer` are the view's.
    Teleoperator(WorkspaceViewer& viewer, QWidget& keys, vtkRenderWindowInteractor* interactor,
                 vtkRenderer* renderer, const SceneResources& resources);
    ~Teleoperator() override;
    Teleoperator(const Teleoperator&) = delete;
    Teleoperator& operator=(const Teleoperator&) = delete;

    /// Teleoperates `robot` by `tool` (names in the viewer's project). Throws ValueError for an
    /// empty name or a tool frame on another robot, NotFoundError for a name not in the cell.
    void start(const QString& robot, const QString& tool);
    /// Hides the handle and stops the jog keys; does nothing when not active.
    void stop();

    /// True while active and the robot and its tool frame are still in the cell.
    bool isActive() const;
    /// Current names of the robot and tool frame; empty when not active.
    QString robotName() const;
    QString toolName() const;

    /// One jog (metres and radians, world axes); see WorkspaceViewer::jog.
    bool jog(const Eigen::Vector3d& translation, const Eigen::Vector3d& rotation);

    /// See WorkspaceViewer::setTeleoperationSteps.
    void setSteps(double metres, double radians);
    double step() const { return m_step; }
    double turn() const { return m_turn; }
    /// What the corner text says now; empty when not active.
    QString overlayText() const;

    /// Ends the burst of key presses now (the next press starts another step).
    void endBurst();
    void setBurstPause(int milliseconds);
    bool isBurstOpen() const { return m_burst != 0; }
    /// The viewer's project is being destroyed: lets go of what watches its cell.
    void projectGone();

    /// Called by the viewer after each rebuild: ends teleoperation when its objects are gone,
    /// otherwise puts the handle and the highlight on the tool frame.
    void follow();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    struct Target {
        Robot* robot;
        ToolFrame* tool;
    };

    std::optional<Target> resolve() const;
    /// resolve(), and remembers what it found for the next lookup.
    std::optional<Target> current();
    /// Moves the tool towards `pose`, redraws, and reports once per user action.
    bool moveTo(const Target& target, const Pose& pose);
    /// Begins a user action; endAction records what it changed as one undo step.
    void beginAction();
    void endAction();
    bool keyJog(QKeyEvent* event);
    void dragStarted();
    void dragged();
    void dragEnded();
    void placeHandle(const Eigen::Vector3d& position);
    /// Puts overlayText() into the corner, shown while active.
    void updateOverlay();
    QString stepName() const;

    WorkspaceViewer& m_viewer;
    QWidget& m_keys;
    vtkRenderer* m_renderer;

    bool m_active = false;
    quint64 m_robotId = 0;
    quint64 m_toolId = 0;
    // The objects last found under those ids, only ever compared with what a lookup returns,
    // and their names: an object found in their place (the workspace's contents were swapped by
    // undo, redo or loading a file) is taken for the same only under the same name.
    const WorkspaceObject* m_robotSeen = nullptr;
    const WorkspaceObject* m_toolSeen = nullptr;
    QString m_robotName;
    QString m_toolName;

    double m_step;
    double m_turn;
    quint64 m_burst = 0; // the burst of key presses going on (0: none), its key in the history
    QTimer m_burstTimer; // the pause that ends it

    bool m_dragging = false;
    bool m_reported = false; // a message went out during the current user action
    bool m_moved = false;    // the current user action moved the robot
    Eigen::Matrix3d m_dragOrientation = Eigen::Matrix3d::Identity();
    // The cell's solids for the current user action: made at its first move, dropped at its
    // end, so that it never outlives the workspace it watches.
    std::unique_ptr<CollisionWorld> m_world;

    vtkSmartPointer<vtkHandleWidget> m_handle;
    vtkSmartPointer<vtkPointHandleRepresentation3D> m_handleLook;
    vtkSmartPointer<vtkActor> m_highlight;
    vtkSmartPointer<vtkMatrix4x4> m_highlightMatrix;
    std::optional<Pose> m_highlightPose; // where the highlight was last put
    vtkSmartPointer<vtkTextActor> m_overlay;
};

} // namespace kestrin
