#pragma once
// Base of everything that sits in the work cell: robots, effectors, tool frames, items, task
// regions, cameras and markers. An object is created with `new Kind(workspace, name)`; the
// workspace owns it from then on, places it where it overlaps nothing and keeps its name unique
// among objects of the same category.

#include "geometry.h"
#include "mesh.h"
#include "project_change.h"
#include "type.h"

#include <QJsonObject>
#include <QRect>
#include <QString>

namespace kestrin {

class JsonContext;
class Workspace;

/// Names are unique within one category; the category also groups objects in the project tree.
enum class Category { Robot, Effector, ToolFrame, Item, TaskRegion, Camera, Fiducial };
constexpr int kCategoryCount = 7;

/// Lower-case label for messages: "robot", "tool frame", ...
QString categoryLabel(Category category);

/// What an object is, for the code that treats each kind its own way (the view's shapes,
/// collision solids, the property panel's rows): it switches on this, so that the compiler
/// (-Wswitch) points at every place a new kind must join.
enum class ObjectKind { Robot, Effector, ToolFrame, CustomItem, Desk, TaskRegion, Camera, Marker };

/// No object is larger than this along any of its axes, in metres. (Each object marks its
/// footprint cell by cell on the floor grid that keeps objects apart.)
constexpr double kMaxObjectSize = 50.0;

/// No object stands further than this from the cell's origin along x, y or z, in metres: a
/// plant, not a continent. (Further out, the view and the floor grid lose their precision.)
constexpr double kMaxPosition = 1000.0;

/// True when every coordinate of `position` is finite and within kMaxPosition.
bool isWithinCell(const Eigen::Vector3d& position);

class WorkspaceObject {
public:
    virtual ~WorkspaceObject();
    WorkspaceObject(const WorkspaceObject&) = delete;
    WorkspaceObject& operator=(const WorkspaceObject&) = delete;

    static const Type& staticType();
    virtual const Type& type() const = 0;
    virtual ObjectKind kind() const = 0;

    Workspace* workspace() const { return m_workspace; }
    /// Identity within the workspace for as long as the object lives; never reused.
    quint64 id() const { return m_id; }
    Category category() const { return m_category; }
    const QString& name() const { return m_name; }
    /// Renames the object; throws NameError on a bad name, and a taken name is made unique.
    void setName(const QString& name);

    /// World pose. Objects attached to a robot (tool frames, mounted effectors) follow it.
    virtual Pose pose() const { return m_transform.toPose(); }
    /// The pose as stored (for attached objects the stored pose is not used).
    const Transform& transform() const { return m_transform; }
    /// Moves the object; throws ValueError for a non-finite or non-rigid pose.
    void setPose(const Pose& pose);
    void setTransform(const Transform& transform);

    /// Extent of the object's body along its own x, y, z, in metres.
    const Eigen::Vector3d& size() const { return m_size; }

    /// False for objects that are not part of the cell yet (a tool frame not on a robot):
    /// they are neither listed, drawn nor saved.
    virtual bool isListed() const { return true; }
    /// True when the object stands on the floor on its own and takes up floor space.
    virtual bool occupiesFloor() const { return true; }

    /// The meshes the object is drawn and checked with (a file stores them beside it).
    virtual std::vector<MeshRef> meshes() const { return {}; }

    /// Counts every change to the object, so that views redraw only what changed.
    quint64 revision() const { return m_revision; }

    /// Fields of the object in a project file beyond type, name and pose.
    virtual void writeJson(QJsonObject& json) const;
    virtual void readJson(const QJsonObject& json, const JsonContext& ctx);
    /// Second pass of loading, once every object exists: resolve references by name.
    virtual void resolveReferences(const JsonContext& ctx);
    /// Last pass of loading, once every reference is resolved.
    virtual void finishLoading(const JsonContext&) {}

    // Workspace bookkeeping.
    QRect _floorCells() const { return m_floorCells; }
    void _setFloorCells(const QRect& cells) { m_floorCells = cells; }
    void _setWorkspace(Workspace* ws) { m_workspace = ws; }
    void _setNameUnchecked(const QString& name) { m_name = name; }
    void _setId(quint64 id) { m_id = id; }
    /// What carries the object moved (a robot, or the tool frame holding it): it moved too.
    void _carriedMoved();

protected:
    friend class Workspace;
    WorkspaceObject(Workspace* workspace, const QString& name, Category category,
                    const Eigen::Vector3d& size);
    /// Hands the object to its workspace; the last statement of every final constructor, so that
    /// a constructor that throws leaves nothing behind in the workspace.
    void _register();
    void setSizeChecked(const Eigen::Vector3d& size);
    /// `transform` with its position brought within kMaxPosition: for poses the object takes
    /// from a robot that held it, which may reach a little past the edge.
    static Transform keptWithinCell(Transform transform);
    /// Counts a change of the object and tells of it: the workspace's observers, and the
    /// project's once the object is in the cell.
    void touch(ProjectChange::Kind kind = ProjectChange::Kind::Edited);
    /// The object's pose changed: tells what rides on it (see _carriedMoved) that it moved too.
    virtual void ridersMoved() {}

    Transform m_transform;

private:
    Workspace* m_workspace;
    quint64 m_id = 0;
    Category m_category;
    QString m_name;
    Eigen::Vector3d m_size;
    quint64 m_revision = 1;
    QRect m_floorCells;
};

} // namespace kestrin
