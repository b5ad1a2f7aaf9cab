#pragma once
// Private to the viewer: what one workspace object looks like (a list of parts, each a shared
// shape in a shared look), and the VTK props that draw it while it is drawn on its own.
// Everything here is in metres; parts are placed in the object's own frame and the object in
// the world by its pose.

#include <kestrin/geometry.h>
#include <kestrin/mesh.h>
#include <kestrin/workspace_object.h>

#include <QString>

#include <vtkSmartPointer.h>

#include <Eigen/Core>
#include <Eigen/Geometry>
#include <array>
#include <map>
#include <memory>
#include <vector>

class vtkActor;
class vtkAssembly;
class vtkMatrix4x4;
class vtkPolyData;
class vtkPolyDataMapper;
class vtkProp;
class vtkProp3D;
class vtkProperty;
class vtkRenderer;

namespace kestrin {

class SceneBatches;
class SceneImagePass;
class WorkspaceObject;

/// Geometry every part of every object is drawn with: one polydata and one mapper per shape,
/// made once, so that a cell of 10,000 boxes holds one cube.
struct SceneShape {
    vtkSmartPointer<vtkPolyData> data;
    vtkSmartPointer<vtkPolyDataMapper> mapper;
    double bounds[6];
};
using ShapeRef = std::shared_ptr<const SceneShape>;

/// Geometry and materials shared by every scene item.
class SceneResources {
public:
    enum class Look {
        RobotLink,
        RobotJoint,
        RobotBase,
        EffectorBody,
        EffectorFinger,
        ToolFrameAxes,
        AxisX,
        AxisY,
        AxisZ,
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
    vtkPolyDataMapper* unitCube() const;
    /// The twelve edges of that cube, for outlines.
    vtkPolyDataMapper* unitCubeEdges() const;
    /// x, y and z axes of length 1 in red, green and blue.
    vtkPolyDataMapper* unitAxes() const;
    vtkProperty* look(Look look) const { return m_looks[static_cast<int>(look)]; }

    const ShapeRef& cube() const { return m_cube; }
    const ShapeRef& cubeEdges() const { return m_cubeEdges; }
    /// The segment from the origin to 1 along x, y or z (0, 1, 2).
    const ShapeRef& axis(int which) const { return m_axis[which]; }
    /// A ball of radius 1 centred on the origin.
    const ShapeRef& ball() const { return m_ball; }
    /// A capped tube of radius 1 and length 1 along y, centred on the origin.
    const ShapeRef& rod() const { return m_rod; }
    /// The shape drawn in place of `shape` where it is a few pixels wide: a ball or a rod of
    /// fewer triangles; any other shape is itself.
    const ShapeRef& coarse(const ShapeRef& shape) const;
    /// The lines of a camera's frustum (apex at the origin, looking along +z), shared by every
    /// camera with the same figures while any uses it.
    ShapeRef frustum(double tanH, double tanV, double near, double far) const;
    /// The triangles of `mesh` in its own frame, with normals (split along sharp edges, so that
    /// a CAD part keeps its edges), shared by every object drawn with a mesh of that content
    /// while any uses it. A mesh that is not one closed surface wound one way is drawn from
    /// both sides: its back faces may show.
    ShapeRef mesh(const MeshRef& mesh) const;

private:
    ShapeRef m_cube, m_cubeEdges, m_ball, m_rod;
    ShapeRef m_coarseBall, m_coarseRod;
    std::array<ShapeRef, 3> m_axis;
    vtkSmartPointer<vtkPolyDataMapper> m_axes;
    std::vector<vtkSmartPointer<vtkProperty>> m_looks;
    mutable std::map<std::array<double, 4>, std::weak_ptr<const SceneShape>> m_frustums;
    mutable std::map<QString, std::weak_ptr<const SceneShape>> m_meshes; // by SHA-256
};

/// One part of an object's drawing: `shape` scaled by `scale` along its own axes, turned by
/// `turn` and put at `at`, in the object's frame. An overlay part (a camera's frustum) is
/// drawn but neither fitted by the camera nor picked.
struct ScenePart {
    ShapeRef shape;
    SceneResources::Look look;
    Eigen::Vector3d at;
    Eigen::Quaterniond turn;
    Eigen::Vector3d scale;
    bool overlay = false;

    bool operator==(const ScenePart& o) const {
        return shape == o.shape && look == o.look && at == o.at && turn.coeffs() == o.turn.coeffs() &&
               scale == o.scale && overlay == o.overlay;
    }
    bool operator!=(const ScenePart& o) const { return !(*this == o); }
};

/// How large things look from the camera, for drawing far balls and rods from fewer
/// triangles. All zero (nothing known yet): everything is drawn in full.
struct DetailView {
    Eigen::Vector3d eye = Eigen::Vector3d::Zero();
    double pixelsAtOneMetre = 0; // a perspective view: pixels one metre spans one metre away
    double pixelsPerMetre = 0;   // a parallel view: pixels one metre spans anywhere
    bool operator==(const DetailView& o) const {
        return eye == o.eye && pixelsAtOneMetre == o.pixelsAtOneMetre && pixelsPerMetre == o.pixelsPerMetre;
    }
};

/// What every scene item of one viewer draws into.
struct SceneContext {
    const SceneResources& resources;
    vtkRenderer* renderer;
    SceneImagePass* pass;
    SceneBatches& batches;
    DetailView detail; // the viewer keeps it in line with the camera
};

/// The drawing of one workspace object. Contract:
/// - It is drawn in one of two ways: as instances in the viewer's shared batches (batch(): no
///   VTK object of its own), or on its own (loosen(): an assembly of actors that share the
///   shapes' mappers, and one for overlay parts). A batched item whose drawing changes leaves
///   its batches and is drawn on its own from then on, so that an edit redraws one object,
///   not a batch; the viewer puts items back in the batches when it has many loose ones.
/// - It is drawn nowhere until batch() or loosen(), and remove() takes it out again.
/// - update() makes the parts from the object (size, joint positions, field of view, pose)
///   and touches nothing when they and the pose stayed the same (a rename, say).
/// - The pass keeps a loose item's props and is told whenever they change.
class SceneItem {
public:
    SceneItem(const WorkspaceObject& object, const SceneContext& context);
    ~SceneItem();
    SceneItem(const SceneItem&) = delete;
    SceneItem& operator=(const SceneItem&) = delete;

    /// Draws the item as instances in the batches (its own props, if any, leave the renderer).
    void batch();
    /// Draws the item on its own (it leaves the batches); `moving`: it has just changed, and
    /// the pass is told so.
    void loosen(bool moving);
    bool isBatched() const { return m_batched; }
    /// Takes the item out of whatever draws it.
    void remove();
    /// remove() for many items at once: one pass over the renderer's props instead of a
    /// search per loose item (closing or replacing a large cell). The batches are not touched.
    static void removeAllLooseFrom(const std::vector<SceneItem*>& items, vtkRenderer* renderer);

    /// A batched item's balls and rods are drawn coarse or in full as the camera now needs
    /// (it moves to other batches when that changes; returns whether it did). A loose item is
    /// drawn in full.
    bool refreshDetail();

    /// Brings the parts and the pose in line with the object; a batched item that changes is
    /// drawn on its own afterwards, unless `stayBatched`. Returns whether the drawing changed.
    bool update(const WorkspaceObject& object, bool stayBatched = false);

    /// Draws the object in `look` (red, for a collision) instead of its own looks; nullptr
    /// gives it its own looks back. Either draws the item on its own.
    void setOverrideLook(const SceneResources::Look* look);
    bool hasOverrideLook() const { return m_override; }

    /// The assembly that draws a loose item (nullptr while batched).
    vtkProp3D* prop() const;
    /// Props of the item's pickable parts as they are drawn: a loose item's own assembly, or
    /// one made for the purpose for a batched item.
    vtkSmartPointer<vtkProp3D> pickProp() const;
    /// World bounds (xmin, xmax, ymin, ...) of the parts that are not overlays; false when
    /// there are none.
    bool bounds(double out[6]) const;

    /// Where the item is drawn now (read back from its batch or its VTK matrix), and for
    /// robots the joint positions the links were drawn at: for checks that the view shows the
    /// model.
    Eigen::Matrix4d drawnPose() const;
    const std::vector<double>& drawnJoints() const { return m_jointKey; }
    /// The part as drawn (the override look applied).
    ScenePart drawnPart(size_t index) const;
    /// An actor of its own for one part, placed within the object.
    vtkSmartPointer<vtkActor> actorOf(const ScenePart& part) const;
    size_t partCount() const { return m_parts.size(); }
    const Pose& pose() const { return m_pose; }

    /// The viewer's rebuild count when the item last changed.
    quint64 changedAt = 0;

private:
    std::vector<ScenePart> makeParts(const WorkspaceObject& object) const;
    void addRobotParts(const WorkspaceObject& object, std::vector<ScenePart>& parts) const;
    /// The shapes of an imported robot's links, per link frame; false when it has none.
    bool addLinkShapes(const WorkspaceObject& object, std::vector<ScenePart>& parts) const;
    void leaveBatches();
    /// Whether the item's balls and rods are so small on screen that coarse ones do (false
    /// when it has none).
    bool wantsCoarse() const;
    void fillProps();
    void noteChanged();
    /// The pass forgets the props and the renderer lets go of them.
    void dropProps();

    const SceneContext& m_ctx;
    ObjectKind m_kind;
    std::vector<ScenePart> m_parts; // with the object's own looks
    std::vector<double> m_jointKey; // robots: the joint positions the links were drawn at
    Pose m_pose = Pose::Identity();
    bool m_override = false;
    SceneResources::Look m_overrideLook = SceneResources::Look::Collision;

    // Batched: per part, its instance in the batches.
    bool m_batched = false;
    bool m_coarse = false; // balls and rods: see SceneResources::coarse
    std::vector<int> m_slots;

    // Loose.
    vtkSmartPointer<vtkMatrix4x4> m_matrix;
    vtkSmartPointer<vtkAssembly> m_body;
    vtkSmartPointer<vtkAssembly> m_overlay; // cameras only

    friend class SceneBatches;
};

/// A square floor grid centred on the world origin, `halfExtent` metres each way, with a line
/// every `spacing` metres; the lines through the origin are darker.
vtkSmartPointer<vtkPolyData> makeFloorGrid(double halfExtent, double spacing);

/// Copies a rigid pose into a VTK matrix.
void setMatrix(vtkMatrix4x4* matrix, const Pose& pose);

} // namespace kestrin
