#pragma once
// Passive things in the cell: items, desks, task regions, cameras and fiducial markers.

#include "mesh.h"
#include "workspace_object.h"

namespace kestrin {

class ToolFrame;

/// An item of a size the user sets (a part, a fixture, an obstacle): a box, or a mesh from CAD
/// stretched to fill that box. A gripper's tool frame can hold it: it then moves with the tool
/// frame, keeping the grip it was taken with.
class CustomItem final : public WorkspaceObject {
    KESTRIN_TYPE
public:
    ObjectKind kind() const override { return ObjectKind::CustomItem; }
    CustomItem(Workspace* workspace, const QString& name);
    /// Throws ValueError unless every extent is positive and finite.
    void setSize(const Eigen::Vector3d& size) { setSizeChecked(size); }

    /// The mesh the item is drawn and checked as, or nullptr for a box.
    const MeshRef& mesh() const { return m_mesh; }
    std::vector<MeshRef> meshes() const override {
        return m_mesh ? std::vector<MeshRef>{m_mesh} : std::vector<MeshRef>{};
    }
    /// Makes the item the shape of `mesh`, whose numbers are in `unit`; its size becomes the
    /// mesh's box. The mesh is kept in the cell's mesh store. Throws ValueError, changing
    /// nothing, when the mesh is larger than kMaxObjectSize in that unit.
    void setMesh(const MeshRef& mesh, LengthUnit unit);
    /// Where the mesh lies in the item's frame: stretched to the size along each axis, the
    /// middle of its box at the item's pose. Identity for a box.
    Eigen::Affine3d meshPlacement() const;

    /// The tool frame holding the item, or nullptr.
    ToolFrame* heldBy() const { return m_heldBy; }
    /// The item's pose in the holding tool frame's frame.
    const Transform& grip() const { return m_grip; }
    /// Holds the item with `tool` where it is now; nullptr lets go, and the item stays where the
    /// tool frame held it. Throws ValueError for a tool frame on no robot or of another cell.
    void holdWith(ToolFrame* tool);
    /// Holds the item with `tool` at that grip (restoring a state).
    void holdWith(ToolFrame* tool, const Transform& grip);

    Pose pose() const override;
    bool occupiesFloor() const override { return m_heldBy == nullptr; }

    void writeJson(QJsonObject& json) const override;
    void readJson(const QJsonObject& json, const JsonContext& ctx) override;
    void finishLoading(const JsonContext& ctx) override;

private:
    ToolFrame* m_heldBy = nullptr;
    Transform m_grip;
    MeshRef m_mesh;
    QString m_pendingHolder;
    friend class UndoRestore;
};

/// A work table; its top is at its size's z.
class Desk final : public WorkspaceObject {
    KESTRIN_TYPE
public:
    ObjectKind kind() const override { return ObjectKind::Desk; }
    Desk(Workspace* workspace, const QString& name);
    void setSize(const Eigen::Vector3d& size) { setSizeChecked(size); }
    void writeJson(QJsonObject& json) const override;
    void readJson(const QJsonObject& json, const JsonContext& ctx) override;
};

/// A box in space (centred on its pose) into which a tool frame can be sent.
class TaskRegion final : public WorkspaceObject {
    KESTRIN_TYPE
public:
    ObjectKind kind() const override { return ObjectKind::TaskRegion; }
    TaskRegion(Workspace* workspace, const QString& name);
    void setSize(const Eigen::Vector3d& size) { setSizeChecked(size); }
    bool occupiesFloor() const override { return false; }
    /// True when `point` (world) lies inside the box, within `tolerance` metres.
    bool contains(const Eigen::Vector3d& point, double tolerance = 1e-9) const;
    void writeJson(QJsonObject& json) const override;
    void readJson(const QJsonObject& json, const JsonContext& ctx) override;
};

/// A depth camera. It looks along its own +z; its pose is the optical centre.
class Camera : public WorkspaceObject {
public:
    ObjectKind kind() const override { return ObjectKind::Camera; }
    static const Type& staticType();
    /// Field of view, horizontal and vertical, in degrees.
    double horizontalFov() const { return m_hfov; }
    double verticalFov() const { return m_vfov; }
    /// Depth range in metres.
    double minRange() const { return m_minRange; }
    double maxRange() const { return m_maxRange; }

protected:
    Camera(Workspace* workspace, const QString& name, const Eigen::Vector3d& size, double hfov, double vfov,
           double minRange, double maxRange);

private:
    double m_hfov, m_vfov, m_minRange, m_maxRange;
};

/// Intel RealSense D435i depth camera.
class RealsenseD435i final : public Camera {
    KESTRIN_TYPE
public:
    RealsenseD435i(Workspace* workspace, const QString& name);
};

/// Intel RealSense D405 short-range depth camera.
class RealsenseD405 final : public Camera {
    KESTRIN_TYPE
public:
    RealsenseD405(Workspace* workspace, const QString& name);
};

/// A square fiducial marker with an id, lying on its own xy plane.
class VisualMarker final : public WorkspaceObject {
    KESTRIN_TYPE
public:
    ObjectKind kind() const override { return ObjectKind::Marker; }
    VisualMarker(Workspace* workspace, const QString& name);
    int markerId() const { return m_markerId; }
    /// Throws ValueError outside 0..999.
    void setMarkerId(int id);
    /// Edge length in metres; throws ValueError unless positive and finite.
    void setEdge(double edge);
    void writeJson(QJsonObject& json) const override;
    void readJson(const QJsonObject& json, const JsonContext& ctx) override;

private:
    int m_markerId = 0;
};

} // namespace kestrin
