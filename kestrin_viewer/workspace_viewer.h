#pragma once
// The 3-D view of a work cell. VTK stays behind this header: only vtkRenderer is named, and
// only as a forward declaration.

#include <Eigen/Core>
#include <QPoint>
#include <QString>
#include <QWidget>
#include <memory>
#include <vector>

class vtkProp3D;
class vtkRenderer;

namespace kestrin {

class Project;
class Type;

class WorkspaceViewer : public QWidget {
    Q_OBJECT
public:
    explicit WorkspaceViewer(QWidget* parent = nullptr);
    ~WorkspaceViewer() override;

    static const Type& staticType();

    /// Shows `project` (nullptr shows an empty cell). The viewer does not own the project; it
    /// must outlive the viewer or be replaced first. Showing another project ends teleoperation.
    void setProject(Project* project);
    Project* project() const;

    /// Brings the scene in line with the project: adds, removes and moves only the scene items
    /// of objects that changed since the last call. Does not redraw by itself. Ends
    /// teleoperation when its robot or tool frame has left the cell (or the tool frame has moved
    /// to another robot).
    void rebuild();

    vtkRenderer* _getRenderer() const;
    /// Redraws the view now.
    void render();
    /// Returns to the default view of the whole cell.
    void resetCamera();
    /// Orbit, pan and zoom with the mouse (left drag, middle drag, wheel); leaves teleoperation.
    void setCameraMode();
    /// Writes a PNG of the view to `filename`; throws kestrin::FileError naming the path when it
    /// cannot be written.
    void screenshot(const QString& filename);

    /// Number of objects that have a scene item (for tests and benchmarks).
    int sceneItemCount() const;
    /// Empty when every object of the project is drawn where the model has it (pose within
    /// 1e-9, a robot's links at its joint positions); else says which object is not, and how.
    /// For tests: it compares what VTK draws with, not what the viewer meant to draw.
    QString _differenceFromModel() const;
    /// The prop that draws the object with that id, or nullptr: its own, or the batch that
    /// draws its first part among the parts of other objects of its kind (for tests: a prop
    /// that is the same, and not modified since, was not redrawn).
    vtkProp3D* _sceneProp(quint64 id) const;
    /// Objects drawn as instances in the shared batches rather than on their own (for tests
    /// and benchmarks). The cell as opened or built is batched; what is added or changed
    /// afterwards is drawn on its own until there are many such objects.
    int _batchedItemCount() const;
    /// Triangles of the shapes the object with that id (0: every object) is drawn with now:
    /// robots far from the camera are drawn with coarser balls and rods (for tests).
    long _drawnTriangleCount(quint64 id = 0) const;
    /// Off: every object is drawn on its own, as in a cell without batches (for comparisons).
    void setBatchingEnabled(bool enabled);

    /// The view keeps an image of the part of the cell that has not changed lately and draws
    /// only the rest on it, until the camera moves or something in the image changes. Frames
    /// drawn whole and frames drawn on the kept image, since the viewer was made (for tests and
    /// benchmarks).
    struct FrameCounts {
        quint64 whole = 0;
        quint64 onImage = 0;
    };
    FrameCounts frameCounts() const;
    /// Off: every frame is drawn whole (for comparisons).
    void setSceneImageEnabled(bool enabled);
    /// False when turned off, or when this machine's OpenGL could not copy the frame.
    bool isSceneImageUsable() const;

    /// Teleoperates `robot` by its tool frame `tool`: a handle on the tool frame can be dragged,
    /// and the keyboard jogs it (arrows: x and y, Page Up/Down: z; with Shift: turn about x, y, z;
    /// by the teleoperation steps, 5 mm and 5 degrees unless set). A corner of the view names the
    /// robot, the tool frame, the steps and the keys. The robot follows through inverse
    /// kinematics within its joint limits. Throws kestrin::Error naming what to choose when the
    /// robot or the tool frame is empty, unknown, or the tool frame is on another robot.
    void setTeleoperationMode(const QString& robot, const QString& tool);
    /// How far a jog key moves (`metres`) and, with Shift, turns (`radians`) the tool frame.
    /// Throws kestrin::ValueError, changing nothing, for a step outside 0.1 to 100 mm or a turn
    /// outside 0.1 to 45 degrees.
    void setTeleoperationSteps(double metres, double radians);
    double teleoperationStep() const;
    double teleoperationTurn() const;
    /// What the corner of the view says while teleoperating; empty otherwise.
    QString teleoperationOverlayText() const;
    /// Jog key presses with no pause longer than about a second between them are one burst: one
    /// step of the undo history, and a target out of reach is reported once in it. This ends the
    /// burst now; the next press starts another. A run or a change of selection ends it too.
    void endTeleoperationBurst();
    /// The pause that ends a burst (tests make it long, or short, instead of waiting a second),
    /// and whether a burst is going on (for tests).
    void _setTeleoperationBurstPause(int milliseconds);
    bool _isTeleoperationBurstOpen() const;
    /// True while teleoperating; the names of the robot and tool frame being teleoperated.
    bool isTeleoperating() const;
    QString teleoperatedRobot() const;
    QString teleoperatedTool() const;
    /// One jog of the teleoperated tool frame (metres and radians, world axes), as a key press
    /// does. Returns false when the robot stopped short of the target (the message is emitted).
    /// Throws kestrin::ValueError when not teleoperating.
    bool jog(const Eigen::Vector3d& translation, const Eigen::Vector3d& rotation);

    /// Id of the object drawn at `widgetPos` (this widget's pixels), 0 where there is none. Needs
    /// a view that has been drawn on screen.
    quint64 objectAt(const QPoint& widgetPos) const;
    /// Outlines the object with that id (0: none) and keeps the outline on it as it moves or
    /// changes; an object that leaves the cell loses it. Does not redraw by itself.
    void setSelectedObject(quint64 id);
    quint64 selectedObject() const;
    /// Draws the objects with these ids in red (what collided), the others in their own looks;
    /// an empty list ends it. Kept as the objects change, until replaced. Does not redraw.
    void setCollidingObjects(const std::vector<quint64>& ids);
    const std::vector<quint64>& collidingObjects() const;

    // The camera (view_camera.cpp). Points in world coordinates, metres. None redraws.

    /// Where the line of sight through the middle of the view meets a desk's top or the floor
    /// (below the camera when it looks up).
    Eigen::Vector3d viewCentrePoint() const;
    /// True when `point` is in front of the camera and inside the view.
    bool isInView(const Eigen::Vector3d& point) const;
    /// Moves the camera, keeping its direction and distance, so that it looks at `point`.
    void lookAt(const Eigen::Vector3d& point);
    /// Looks at the object with that id from the current direction, close enough to see it whole
    /// with some room around it. False when no object of that id is drawn.
    bool frameObject(quint64 id);
    enum class StandardView { Top, Front, Side, Iso };
    /// Looks at the whole cell from above, the front (along +y), the side (along -x), or
    /// obliquely.
    void setStandardView(StandardView view);

    // The move handle (src/move_handle.cpp).

    /// Shows a handle on the selected object (while not teleoperating) whose arrows move it along
    /// the world's x, y and z and whose rings turn it about them; with Shift held, by whole
    /// centimetres and steps of 5 degrees. Each drag is one step of the project's undo history.
    /// Objects a robot carries have no handle. Off until turned on.
    void setMoveHandleEnabled(bool on);
    bool isMoveHandleEnabled() const;
    enum class HandlePart { MoveX, MoveY, MoveZ, TurnX, TurnY, TurnZ };
    /// Drags `part` of the handle by `amount` (metres, or radians about the axis), as the mouse
    /// does, snapped when `snap`. False, and nothing moves, when the handle is not shown.
    bool dragMoveHandle(HandlePart part, double amount, bool snap);
    /// Where the middle of `part` is drawn, in this widget's pixels; a null point when the handle
    /// is not shown (for tests that drag it with the mouse). Needs a view drawn on screen.
    QPoint moveHandlePoint(HandlePart part) const;

signals:
    /// A teleoperation target the robot could not reach; the text says so for the user.
    void teleoperationMessage(const QString& text);
    /// A left click without drag in camera mode, on the object with that id (0: on none).
    void objectClicked(quint64 id);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    struct Impl;
    std::unique_ptr<Impl> d;
};

} // namespace kestrin
