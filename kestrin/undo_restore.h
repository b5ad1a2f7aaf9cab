#pragma once
// Private to the undo history: what it records of each part of a project, and how it puts parts
// back in place.
//
// A record is the part as the project file writes it (CBOR bytes), with ids: a workspace object
// (listed ones only), a behavior that is part of a program (its children by id), a variable, or
// the project's own part (the cell's clearance, the programs and the variables by id, in order).
// An empty record means that the part does not exist in that state.

#include <QByteArray>
#include <QHash>
#include <vector>

#include "project_change.h"

namespace kestrin {

class Project;

namespace undo {

/// A part of the project: its subject and id in one number.
using Key = quint64;
Key keyOf(ProjectChange::Subject subject, quint64 id);
ProjectChange::Subject subjectOf(Key key);
quint64 idOf(Key key);

/// The record of one part as the project has it now; empty when the part does not exist (or is
/// not part of the project's recorded state: a tool frame on no robot, a behavior in no program).
QByteArray recordOf(const Project& project, Key key);
/// The records of every part of the project.
QHash<Key, QByteArray> allRecords(const Project& project);

} // namespace undo

/// Puts parts of a project back as records say, in place: a part that exists before and after
/// keeps its identity (same object, same id; variables are put back as new ones under their
/// id), the others are made or deleted, each with its id. Every change is told to the project's
/// observers as it is made. Throws kestrin::Error when the records do not fit the project.
class UndoRestore {
public:
    explicit UndoRestore(Project& project) : m_project(project) {}

    /// `targets`: the record each part must have. `current`: the records of the project as it is
    /// (the history's recorded state), for parts that refer to a renamed or deleted one.
    void apply(const std::vector<std::pair<undo::Key, QByteArray>>& targets,
               const QHash<undo::Key, QByteArray>& current);

private:
    void applyObjects(const QHash<quint64, QByteArray>& records, const QHash<undo::Key, QByteArray>& current);
    void applyBehaviors(const QHash<quint64, QByteArray>& records);
    void applyVariables(const QHash<quint64, QByteArray>& records);
    void applyProjectPart(const QByteArray& record);

    Project& m_project;
};

} // namespace kestrin
