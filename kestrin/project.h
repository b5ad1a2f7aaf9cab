#pragma once
// A work-cell project: the workspace, the programs (trees of behaviors) and the variables.

#include "project_change.h"
#include "type.h"

#include <QHash>
#include <QJsonObject>
#include <QMap>
#include <QString>
#include <QStringList>
#include <memory>
#include <vector>

namespace kestrin {

class Behavior;
class Variable;
class Workspace;
class WorkspaceObject;
class NameRegistry;
class ProjectFile;
class UndoHistory;

class Project {
public:
    Project();
    ~Project();
    Project(const Project&) = delete;
    Project& operator=(const Project&) = delete;

    static const Type& staticType();

    Workspace* workspace() const { return m_workspace.get(); }
    /// The project's undo history; it starts with the project (and anew at every load).
    UndoHistory& history() const { return *m_history; }

    // Project files: these call ProjectFile (project_file.h), which reads and writes them.

    /// Reads a project file into this project, all or nothing: on failure the project is left
    /// exactly as it was. Throws FileError (missing, a folder, unreadable, too large) or
    /// FormatError (not JSON, wrong fields, unknown kinds, dangling references, newer format).
    void load(const QString& file);
    /// Writes the project to `file` atomically: the file is replaced whole or not at all, and on
    /// failure left byte for byte as it was (see writeFileAtomically). Throws FileError naming
    /// the path and the reason. Returns warnings for the log about a save that succeeded but
    /// could not keep the old file's owner or group; empty when all was kept.
    QStringList save(const QString& file) const;

    /// The whole project as a project-file document, and back (all or nothing, as load). With
    /// `withIds`, objects keep their ids across the round trip (for the undo history).
    QJsonObject toJson(bool withIds = false) const;
    /// What save writes: QJsonDocument(toJson()).toJson(QJsonDocument::Indented).
    QByteArray fileText() const;
    void fromJson(const QJsonObject& json, const QString& fileLabel);

    /// Programs (top-level behaviors) by name.
    QMap<QString, Behavior*> programs() const;
    /// Every behavior that is a program or lies below one, by name.
    QMap<QString, Behavior*> behaviors() const;
    /// Programs in the order they were added.
    const std::vector<Behavior*>& programList() const { return m_programs; }
    /// Makes `behavior` a program. Throws ValueError for a behavior of another project or one
    /// that already has a place in a program.
    void addProgram(Behavior* behavior);
    /// As addProgram, but puts the program at `index` among the programs (clamped to the ends).
    void insertProgram(Behavior* behavior, int index);
    /// Takes a program out of the list of programs; it stays in the project, detached, until it
    /// is placed again (addProgram, Behavior::_insertChild) or removed.
    void _detachProgram(Behavior* behavior);
    /// Every behavior, attached or not, in the order they were made.
    std::vector<Behavior*> behaviorList() const;
    /// The attached behavior of that name, or nullptr.
    Behavior* findBehavior(const QString& name) const;
    /// Deletes a behavior with everything below it.
    void removeBehavior(Behavior* behavior);

    /// Variables by name, and in the order they were added.
    QMap<QString, Variable*> variables() const;
    std::vector<Variable*> variableList() const;
    Variable* findVariable(const QString& name) const;
    void removeVariable(Variable* variable);

    /// Names of the actions and variables that refer to `object` (for a robot: also to its tool
    /// frames), so that deleting it can be refused with a message naming them.
    QStringList usersOf(const WorkspaceObject* object) const;
    QStringList usersOf(const Variable* variable) const;

    /// Counts additions, removals and renames of behaviors and variables.
    quint64 structureRevision() const { return m_structureRevision; }

    /// The behavior or variable with that id (see Behavior::id), attached or not; nullptr when
    /// there is none.
    Behavior* findBehaviorById(quint64 id) const { return m_behaviorById.value(id, nullptr); }
    Variable* findVariableById(quint64 id) const { return m_variableById.value(id, nullptr); }

    /// Tells `observer` of every change of the project from now on (see ProjectChange), until
    /// removeObserver or until the project is destroyed (ProjectObserver::projectDestroyed).
    /// Observers are told in the order they were added.
    void addObserver(ProjectObserver* observer) const;
    void removeObserver(ProjectObserver* observer) const;
    /// Moves `observer` from the project `watched` points at (if any) to `project` (if any) and
    /// points `watched` there. Returns false, and does nothing, when it watches `project` already.
    static bool moveObserver(ProjectObserver* observer, Project*& watched, Project* project);
    /// Sends a notice to every observer; for the project's own parts.
    void _notify(ProjectChange::Subject subject, ProjectChange::Kind kind, quint64 id,
                 const QString& oldName = QString()) const;

    // Used by behaviors and variables.
    void _adoptBehavior(Behavior* behavior);
    void _adoptVariable(Variable* variable);
    QString _uniqueBehaviorName(const QString& wanted) const;
    QString _uniqueVariableName(const QString& wanted) const;
    void _renameBehavior(Behavior* behavior, const QString& name);
    void _renameVariable(Variable* variable, const QString& name);
    /// Makes actions and variables that refer to a renamed workspace object follow the rename.
    void _objectRenamed(int category, const QString& from, const QString& to);
    void _structureChanged() { ++m_structureRevision; }

private:
    friend class ProjectFile; // builds a project aside, then swaps it in

    void clear();
    void swapContents(Project& other);

    std::unique_ptr<Workspace> m_workspace;
    std::vector<std::unique_ptr<Behavior>> m_behaviors; // every behavior, attached or not
    std::vector<Behavior*> m_programs;
    std::vector<std::unique_ptr<Variable>> m_variables;
    QHash<QString, Behavior*> m_behaviorByName;
    QHash<QString, Variable*> m_variableByName;
    std::unique_ptr<NameRegistry> m_behaviorNames;
    std::unique_ptr<NameRegistry> m_variableNames;
    quint64 m_structureRevision = 1;
    QHash<quint64, Behavior*> m_behaviorById;
    QHash<quint64, Variable*> m_variableById;
    quint64 m_nextBehaviorId = 1;
    quint64 m_nextVariableId = 1;
    /// Set while the undo history puts a behavior or variable back: the id it is adopted with.
    quint64 m_restoringId = 0;
    mutable std::vector<ProjectObserver*> m_observers;
    std::unique_ptr<UndoHistory> m_history;
    friend class UndoRestore;
};

} // namespace kestrin
