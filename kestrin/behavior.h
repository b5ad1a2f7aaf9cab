#pragma once
// Programs are trees of behaviors. A behavior is created with `new Kind(project, name)`; the
// project owns it from then on. It becomes part of a program when it is added as a program
// (Project::addProgram) or as a child of a behavior that is (Behavior::_addChild); until then
// it is neither listed by Project::behaviors() nor saved.

#include "project_change.h"
#include "type.h"

#include <QJsonObject>
#include <QString>
#include <vector>

namespace kestrin {

class JsonContext;
class Project;

/// Programs nest at most this many levels (a program is level 1).
constexpr int kMaxBehaviorDepth = 100;

class Behavior {
public:
    virtual ~Behavior();
    Behavior(const Behavior&) = delete;
    Behavior& operator=(const Behavior&) = delete;

    static const Type& staticType();
    virtual const Type& type() const = 0;

    Project* project() const { return m_project; }
    const QString& name() const { return m_name; }
    /// Renames; throws NameError on a bad name; a taken name is made unique.
    void setName(const QString& name);

    Behavior* parent() const { return m_parent; }
    const std::vector<Behavior*>& children() const { return m_children; }
    /// Composites hold children; actions (leaves) do not.
    virtual bool acceptsChildren() const { return false; }

    /// Appends `child` to this behavior's children. Throws ValueError when this behavior holds
    /// no children, when `child` belongs to another project, already has a place in a program,
    /// is this behavior or one of its ancestors, or would nest deeper than kMaxBehaviorDepth.
    void _addChild(Behavior* child);
    /// Puts `child` at `index` among the children (clamped to the ends); throws as _addChild.
    void _insertChild(Behavior* child, int index);
    /// Removes `child` from the children (it stays in the project, detached).
    void _removeChild(Behavior* child);

    /// True when the behavior is a program or lies below one.
    bool isAttached() const;
    bool isProgram() const { return m_isProgram; }

    quint64 revision() const { return m_revision; }
    /// Identity within the project for as long as the behavior lives; never reused. 0 until the
    /// project has adopted it.
    quint64 id() const { return m_id; }

    virtual void writeJson(QJsonObject& json) const;
    virtual void readJson(const QJsonObject& json, const JsonContext& ctx);
    /// Second pass of loading, once the workspace and every variable exist.
    virtual void resolveReferences(const JsonContext& ctx);

    void _setProgram(bool program) { m_isProgram = program; }
    void _setParent(Behavior* parent) { m_parent = parent; }
    void _setProject(Project* project) { m_project = project; }
    void _setNameUnchecked(const QString& name) { m_name = name; }
    void _setId(quint64 id) { m_id = id; }
    /// Puts `children` in place of the children, in that order (the undo history restoring a
    /// behavior); the parent links of the children are the caller's to set.
    void _replaceChildren(std::vector<Behavior*> children) { m_children = std::move(children); }

protected:
    Behavior(Project* project, const QString& name);
    /// Hands the behavior to its project; the last statement of every final constructor.
    void _register();
    /// Counts a change and tells the project's observers.
    void touch(ProjectChange::Kind kind = ProjectChange::Kind::Edited);

private:
    Project* m_project;
    quint64 m_id = 0;
    QString m_name;
    Behavior* m_parent = nullptr;
    std::vector<Behavior*> m_children;
    bool m_isProgram = false;
    quint64 m_revision = 1;
};

/// Runs its children in order.
/// - If a child fails, the sequence fails at once.
/// - It succeeds when every child has succeeded (an empty sequence succeeds at once).
class Sequence final : public Behavior {
    KESTRIN_TYPE
public:
    Sequence(Project* project, const QString& name);
    bool acceptsChildren() const override { return true; }
};

} // namespace kestrin
