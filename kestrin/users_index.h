#pragma once
// Who uses what in a project, gathered in one walk over its behaviors and variables: the same
// answers as Project::usersOf, for many objects and variables at once (deleting everything in a
// large cell asked Project::usersOf once per object, and each walked every behavior).

#include <QHash>
#include <QPair>
#include <QStringList>

namespace kestrin {

class Project;
class Variable;
class WorkspaceObject;

class UsersIndex {
public:
    /// Looks at the project as it is now; build another after it changes.
    explicit UsersIndex(const Project& project);
    /// As Project::usersOf(object), in the same order.
    QStringList usersOf(const WorkspaceObject* object) const;
    /// As Project::usersOf(variable), in the same order.
    QStringList usersOf(const Variable* variable) const;

private:
    /// Adds the actions that name `name` as a reference of `kind` to `users`, each once.
    void collect(int kind, const QString& name, QStringList& users) const;
    // (kind of reference, name referred to) -> the attached actions that refer to it, in the
    // order they were made, each once.
    QHash<QPair<int, QString>, QStringList> m_actions;
    // Task region name -> the task-region targets drawing from it, in variable order.
    QHash<QString, QStringList> m_regionTargets;
    // Target name -> the mixtures that name it, in variable order, each once.
    QHash<QString, QStringList> m_mixtures;
};

} // namespace kestrin
