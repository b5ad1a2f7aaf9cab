#pragma once
// The work cell: every object in it, in the order it was added.

#include "floor_grid.h"
#include "mesh.h"
#include "workspace_object.h"
#include "workspace_state.h"

#include <QHash>
#include <QStringList>
#include <memory>
#include <vector>

namespace kestrin {

class Project;
class Robot;
class TaskRegion;
class ToolFrame;
class NameRegistry;

/// Learns of each change to a workspace's objects as it happens (each change also counts in the
/// object's revision), so that it can bring only those up to date instead of visiting every
/// object. Additions, removals and renames count in Workspace::structureRevision instead.
class WorkspaceObserver {
public:
    virtual void objectChanged(const WorkspaceObject& object) = 0;

protected:
    ~WorkspaceObserver() = default;
};

class Workspace {
public:
    explicit Workspace(Project* project);
    ~Workspace();
    Workspace(const Workspace&) = delete;
    Workspace& operator=(const Workspace&) = delete;

    static const Type& staticType();
    Project* project() const { return m_project; }

    /// Names of the robots, in the order they were added.
    QStringList getRobots() const;
    /// Names of the tool frames attached to a robot, robot by robot in display order.
    QStringList getToolFrames() const;

    /// The robot of that name; throws NotFoundError when there is none.
    Robot* getRobot(const QString& name) const;
    /// The attached tool frame of that name; throws NotFoundError when there is none.
    ToolFrame* getToolFrame(const QString& name) const;

    /// Lookups that return nullptr instead of throwing.
    WorkspaceObject* find(Category category, const QString& name) const;
    Robot* findRobot(const QString& name) const;
    ToolFrame* findToolFrame(const QString& name) const;
    TaskRegion* findTaskRegion(const QString& name) const;
    WorkspaceObject* findById(quint64 id) const { return m_byId.value(id); }

    /// Listed objects (see WorkspaceObject::isListed) in the order they were added.
    std::vector<WorkspaceObject*> objects() const;
    int objectCount() const { return static_cast<int>(m_objects.size()); }

    /// Deletes an object. A robot takes its tool frames with it; effectors on it stay, unmounted.
    void remove(WorkspaceObject* object);

    /// Everything that teleoperation and simulation can change: joint positions and poses.
    WorkspaceState _getState() const;
    /// Restores a state taken by _getState. Objects added since keep their current state;
    /// objects deleted since are skipped.
    void _setState(const WorkspaceState& state);

    /// The meshes of the cell's objects, by content.
    MeshStore& meshes() { return m_meshes; }
    const MeshStore& meshes() const { return m_meshes; }

    /// Anything closer to a robot than this (metres) counts as a collision; 0 by default.
    double clearance() const { return m_clearance; }
    /// Throws ValueError outside 0 to kMaxClearance.
    void setClearance(double metres);
    static constexpr double kMaxClearance = 0.5;

    /// Counts additions, removals and renames, so that views can tell when to re-list.
    quint64 structureRevision() const { return m_structureRevision; }
    /// Tells `observer` of every change to an object from now on, until removeObserver. An
    /// observer must be removed before it or the workspace goes.
    void addObserver(WorkspaceObserver* observer) const;
    void removeObserver(WorkspaceObserver* observer) const;

    // Used by the objects and by Project.
    /// Tells the project's observers of a change of `object`, once it is in the cell.
    void _notify(ProjectChange::Kind kind, const WorkspaceObject& object, const QString& oldName = QString());
    void _adopt(WorkspaceObject* object);
    QString _uniqueName(Category category, const QString& wanted) const;
    void _rename(WorkspaceObject* object, const QString& newName);
    void _updateFloor(WorkspaceObject* object);
    void _swapContents(Workspace& other);
    void _clear();
    void _structureChanged() { ++m_structureRevision; }
    void _objectChanged(const WorkspaceObject& object);
    /// While off, new objects keep the pose they were constructed with (loading sets it next).
    void _setAutoPlace(bool on) { m_autoPlace = on; }
    /// While on, objects do not mark the floor cells they stand on; after it is turned off, they
    /// are all marked at once when the floor is next needed (placing an object, moving one).
    /// Loading sets every object's pose after making it: marking the default pose first, then
    /// the loaded one, was a third of the time it took to load a large cell, and a cell that is
    /// only opened and looked at never needs its floor.
    void _setFloorDeferred(bool on);
    /// Gives an object another id; false when the id is taken by another object.
    bool _reassignId(WorkspaceObject* object, quint64 id);

private:
    void place(WorkspaceObject* object);
    void placeWhereverFull(WorkspaceObject* object);
    /// Marks every object's floor cells if they are not marked (see _setFloorDeferred).
    void ensureFloor();
    void markFloor(WorkspaceObject* object, bool occupied);
    QRect footprintCells(const WorkspaceObject* object, const Eigen::Vector3d& centre) const;
    bool floorFree(const QRect& cells) const;
    void floorFreed(const QRect& cells);

    Project* m_project;
    std::vector<std::unique_ptr<WorkspaceObject>> m_objects;
    QHash<quint64, WorkspaceObject*> m_byId;
    std::vector<QHash<QString, WorkspaceObject*>> m_byName;
    std::vector<std::unique_ptr<NameRegistry>> m_names;
    FloorGrid m_floor; // occupied floor cells and how many objects use each
    /// Per footprint shape (its cells when centred on spot 0, 0): the ring and spot where the
    /// search for a free spot resumes; every spot before it was full.
    struct SearchHint {
        QRect shape;
        QPoint resume;
    };
    QHash<qint64, SearchHint> m_searchHint;
    bool m_autoPlace = true;
    bool m_floorDeferred = false;
    bool m_floorStale = false; // objects' floor cells are not marked
    quint64 m_nextId = 1;
    quint64 m_structureRevision = 1;
    double m_clearance = 0;
    MeshStore m_meshes;
    mutable std::vector<WorkspaceObserver*> m_observers;
    /// Set while the undo history puts an object back: the id it is adopted with.
    quint64 m_restoringId = 0;
    friend class UndoRestore;
};

} // namespace kestrin
