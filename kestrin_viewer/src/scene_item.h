#pragma once
// Private to the viewer: the VTK props that draw one workspace object, and the geometry that
// all items of a kind share. Everything here is in metres; the props of an item are built in
// the object's own frame and placed in the world by one matrix, the object's pose.

#include <kestrin/geometry.h>
#include <kestrin/workspace_object.h>

#include <vtkSmartPointer.h>

#include <Eigen/Core>
#include <vector>

class vtkActor;
class vtkAssembly;
class vtkMatrix4x4;
class vtkPolyData;
class vtkPolyDataMapper;
class vtkProp3D;
class vtkProperty;
class vtkRenderer;

namespace kestrin {

class SceneImagePass;
class WorkspaceObject;

/// Geometry and materials shared by every scene item, so that a cell of 10,000 boxes holds one
/// cube and a handful of materials rather than 10,000 of each.
class SceneResources {
public:
    enum class Look {
        RobotLink,
        RobotJoint,
        RobotBase,
        EffectorBody,
        EffectorFinger,
        ToolFrameAxes,
        Item,
        DeskTop,
        DeskLeg,
        TaskRegionFill,
        TaskRegionEdge,
        CameraBody,
        CameraFrustum,
        MarkerBlack,
        MarkerWhite,
        Collision,
        Count
    };

    SceneResources();
    ~SceneResources();
    SceneResources(const SceneResources&) = delete;
    SceneResources& operator=(const SceneResources&) = delete;

    /// A cube of edge 1 centred on the origin.
    vtkPolyDataMapper* unitCube() const { return m_cube; }
    /// The twelve edges of that cube, for outlines.
    vtkPolyDataMapper* unitCubeEdges() const { return m_cubeEdges; }
    /// x, y and z axes of length 1 in red, green and blue.
    vtkPolyDataMapper* unitAxes() const { return m_axes; }
    vtkProperty* look(Look look) const { return m_looks[static_cast<int>(look)]; }

private:
    vtkSmartPointer<vtkPolyDataMapper> m_cube;
    vtkSmartPointer<vtkPolyDataMapper> m_cubeEdges;
    vtkSmartPointer<vtkPolyDataMapper> m_axes;
    std::vector<vtkSmartPointer<vtkProperty>> m_looks;
};

/// The drawing of one workspace object. Contract:
/// - It is in no renderer until addTo; removeFrom takes it out again. Its props may be kept in
///   the pass's image of the settled scene; it tells the pass whenever its drawing changes.
/// - update() rebuilds the shape from the object (size, joint positions, field of view) and
///   places it; updatePose() only places it, for objects whose pose follows a robot. Neither
///   touches the props when the drawing would stay the same (a rename, say).
/// - Its bounded props count for the renderer's camera fit; a camera's frustum does not, so
///   that a long depth range does not shrink the rest of the cell on screen.
class SceneItem {
public:
    SceneItem(const WorkspaceObject& object, const SceneResources& resources);
    ~SceneItem();
    SceneItem(const SceneItem&) = delete;
    SceneItem& operator=(const SceneItem&) = delete;

    void addTo(vtkRenderer* renderer, SceneImagePass* pass);
    /// Takes the props out of the renderer. The geometry all items share keeps its graphics
    /// memory (releasing it made every removal search the renderer's buffer cache, and the next
    /// frame load it again); what the item alone uses is released.
    void removeFrom(vtkRenderer* renderer);
    /// removeFrom for many items at once: one pass over the renderer's props instead of a search
    /// per item (closing or replacing a large cell).
    static void removeAllFrom(const std::vector<SceneItem*>& items, vtkRenderer* renderer);

    void update(const WorkspaceObject& object);
    void updatePose(const WorkspaceObject& object);

    /// The prop that stands for the object in the renderer: what a pick returns, and whose
    /// bounds are the object's on screen.
    vtkProp3D* prop() const;

    /// Draws the object in `look` (red, for a collision) instead of its own looks; nullptr
    /// gives it its own looks back. A reshape gives them back too.
    void setOverrideLook(vtkProperty* look);
    bool hasOverrideLook() const { return !m_ownLooks.empty(); }

    /// Where the props stand now (the matrix VTK draws with), and for robots the joint
    /// positions the links were drawn at: for checks that the view shows the model.
    Eigen::Matrix4d drawnPose() const;
    const std::vector<double>& drawnJoints() const { return m_jointKey; }

private:
    void buildShape(const WorkspaceObject& object);
    void clearParts();
    vtkActor* addBox(const Eigen::Vector3d& centre, const Eigen::Vector3d& extent, SceneResources::Look look);
    void addPart(vtkActor* actor);
    void updateRobotLinks(const WorkspaceObject& object);
    void updateFrustum(const WorkspaceObject& object);
    std::vector<double> shapeKey(const WorkspaceObject& object) const;
    void noteChanged();
    /// The pass forgets the props; the graphics memory the item alone uses is released.
    void letGo(vtkRenderer* renderer);

    const SceneResources& m_res;
    ObjectKind m_kind;
    vtkSmartPointer<vtkMatrix4x4> m_matrix;
    vtkSmartPointer<vtkAssembly> m_body;
    std::vector<vtkSmartPointer<vtkActor>> m_parts;
    std::vector<vtkSmartPointer<vtkProperty>> m_ownLooks; // while overridden: each part's own
    vtkSmartPointer<vtkActor> m_overlay;                  // drawn, not fitted; cameras only
    vtkSmartPointer<vtkPolyData> m_linkData;              // robots only: link segments in the base frame
    vtkSmartPointer<vtkPolyData> m_jointData;             // robots only: joint centres in the base frame
    vtkSmartPointer<vtkPolyData> m_overlayData;
    std::vector<double> m_shapeKey; // the object's shape figures when the parts were built
    std::vector<double> m_jointKey; // robots: the joint positions the links were drawn at
    Eigen::Matrix4d m_placedAt;     // the pose the props were placed at
    bool m_placed = false;
    SceneImagePass* m_pass = nullptr;
};

/// A square floor grid centred on the world origin, `halfExtent` metres each way, with a line
/// every `spacing` metres; the lines through the origin are darker.
vtkSmartPointer<vtkPolyData> makeFloorGrid(double halfExtent, double spacing);

/// Copies a rigid pose into a VTK matrix.
void setMatrix(vtkMatrix4x4* matrix, const Pose& pose);

} // namespace kestrin
