#pragma once
// Copy and paste within a project: workspace objects, variables and behaviors (each with
// everything below it), kept as they stand in a project file until they are pasted.

#include "mesh.h"

#include <QJsonArray>
#include <QStringList>
#include <vector>

namespace kestrin {

class Behavior;
class Project;
class Variable;
class WorkspaceObject;

/// What Copy took. Contract:
/// - Copying a robot takes its tool frames and the effectors mounted on it along; a behavior
///   that lies below another copied behavior goes along with that one only.
/// - Pasting makes new parts, with names made unique (" 2", " 3", ...). A reference from one
///   copied part to another (an action to a copied robot, tool frame or variable; a tool frame or
///   effector to its copied robot; a mixture to a copied target; a target to a copied task
///   region) points at the copy; a reference to a part that was not copied keeps pointing at the
///   original.
/// - Pasting is all or nothing: when something cannot be pasted (a reference to a part that is
///   no longer there, a parent that holds no behaviors) it throws kestrin::Error naming it and
///   leaves nothing of the paste behind.
/// - Pasted objects are set down near where their originals were, clear of what is there
///   (placement.h); a copied item held by a gripper is pasted free, where it was held.
class CopiedParts {
public:
    /// Copies the given parts as they are now.
    static CopiedParts copy(const std::vector<const WorkspaceObject*>& objects,
                            const std::vector<const Variable*>& variables,
                            const std::vector<const Behavior*>& behaviors);

    bool isEmpty() const { return m_objects.isEmpty() && m_variables.isEmpty() && m_behaviors.isEmpty(); }
    bool hasBehaviors() const { return !m_behaviors.isEmpty(); }
    /// How many parts a paste makes (objects, variables and every behavior of the subtrees).
    int partCount() const;

    struct Pasted {
        std::vector<WorkspaceObject*> objects;
        std::vector<Variable*> variables;
        /// The tops of the pasted behavior subtrees, in the order they were copied.
        std::vector<Behavior*> behaviors;
        /// For the log: one line per part whose name was taken, "'Pick' was pasted as 'Pick 2'".
        QStringList renamed;
    };
    /// Pastes into `project`: the behaviors at `index` among the children of `parent` (clamped;
    /// nullptr: as programs, after the others when `index` is -1).
    Pasted pasteInto(Project& project, Behavior* parent = nullptr, int index = -1) const;

private:
    QJsonArray m_objects; // robots first, then tool frames, then the rest
    QJsonArray m_variables;
    QJsonArray m_behaviors;        // with their children, as in a project file
    std::vector<MeshRef> m_meshes; // what the objects are drawn and checked with
};

} // namespace kestrin
