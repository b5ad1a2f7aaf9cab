#pragma once
// What changed in a project, as the project tells its observers (the views, the undo history):
// one notice per change, naming what changed by id, as it happens.

#include <QString>
#include <QtGlobal>

namespace kestrin {

struct ProjectChange {
    /// What the notice is about. Workspace objects are named by their workspace id; behaviors
    /// and variables by ids the project gives them (never reused within a project). `Project`
    /// (id 0) stands for the cell's settings and the order of the programs and the variables.
    enum class Subject { Object, Behavior, Variable, Project };
    enum class Kind {
        /// Made. A tool frame is made before it is put on a robot; it is listed from then on
        /// (which comes as Edited).
        Added,
        /// Deleted; nothing may be looked up by this id any more.
        Removed,
        /// Given another name; `oldName` is the name it had.
        Renamed,
        /// Objects: its pose in the cell changed, its own or because what carries it moved (a
        /// tool frame, an effector on a flange, an item in a gripper when the robot moves).
        /// Behaviors: its place among the programs (parent, position, being a program).
        Moved,
        /// Anything else about it: size, joint positions, offset, mount, grasp, settings, the
        /// children of a behavior, the cell's clearance, the order of programs or variables.
        Edited,
    };

    Subject subject;
    Kind kind;
    quint64 id;
    QString oldName; // for Renamed
};

/// Learns of every change of a project as it happens (Project::addObserver). A notice comes
/// after the change; an observer reads the project to see the result, and may be told of an
/// object several times before it looks. It must not change the project from a notice.
class ProjectObserver {
public:
    virtual void projectChanged(const ProjectChange& change) = 0;
    /// The project is being destroyed and tells no one anything after this.
    virtual void projectDestroyed() {}

protected:
    ~ProjectObserver() = default;
};

} // namespace kestrin
