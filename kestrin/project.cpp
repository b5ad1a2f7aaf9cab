#include "project.h"

#include "action.h"
#include "behavior.h"
#include "error.h"
#include "naming.h"
#include "project_file.h"
#include "robot.h"
#include "tool_frame.h"
#include "undo_history.h"
#include "variable.h"
#include "workspace.h"

#include <algorithm>
#include <functional>

namespace kestrin {

const Type& Project::staticType() {
    static const Type t("Project", nullptr);
    return t;
}

Project::Project()
    : m_workspace(std::make_unique<Workspace>(this)), m_behaviorNames(std::make_unique<NameRegistry>()),
      m_variableNames(std::make_unique<NameRegistry>()), m_history(std::make_unique<UndoHistory>(this)) {
    m_history->reset();
}

Project::~Project() {
    const std::vector<ProjectObserver*> observers = m_observers;
    m_observers.clear();
    for (ProjectObserver* observer : observers)
        observer->projectDestroyed();
    // Behaviors and variables refer to the workspace by name only; drop them first all the same,
    // so that no destructor ever sees a half-destroyed workspace.
    m_programs.clear();
    m_behaviors.clear();
    m_variables.clear();
}

// ---------------------------------------------------------------------------------------------
// Change notices

void Project::addObserver(ProjectObserver* observer) const {
    m_observers.push_back(observer);
}

void Project::removeObserver(ProjectObserver* observer) const {
    m_observers.erase(std::remove(m_observers.begin(), m_observers.end(), observer), m_observers.end());
}

bool Project::moveObserver(ProjectObserver* observer, Project*& watched, Project* project) {
    if (project == watched)
        return false;
    if (watched)
        watched->removeObserver(observer);
    watched = project;
    if (watched)
        watched->addObserver(observer);
    return true;
}

void Project::_notify(ProjectChange::Subject subject, ProjectChange::Kind kind, quint64 id,
                      const QString& oldName) const {
    const ProjectChange change{subject, kind, id, oldName};
    // By index: an observer may remove another (or itself) while being told.
    for (size_t i = 0; i < m_observers.size(); ++i)
        m_observers[i]->projectChanged(change);
}

// ---------------------------------------------------------------------------------------------
// Behaviors

void Project::_adoptBehavior(Behavior* behavior) {
    const QString name = m_behaviorNames->uniqueName(behavior->name());
    behavior->_setNameUnchecked(name);
    m_behaviorNames->insert(name);
    m_behaviorByName.insert(name, behavior);
    m_behaviors.emplace_back(behavior);
    const quint64 id = m_restoringId ? m_restoringId : m_nextBehaviorId++;
    m_nextBehaviorId = std::max(m_nextBehaviorId, id + 1);
    behavior->_setId(id);
    m_behaviorById.insert(id, behavior);
    ++m_structureRevision;
    _notify(ProjectChange::Subject::Behavior, ProjectChange::Kind::Added, id);
}

QString Project::_uniqueBehaviorName(const QString& wanted) const {
    return m_behaviorNames->uniqueName(wanted);
}

void Project::_renameBehavior(Behavior* behavior, const QString& wanted) {
    const QString old = behavior->name();
    const QString name = m_behaviorNames->uniqueName(wanted);
    m_behaviorNames->remove(behavior->name());
    m_behaviorByName.remove(behavior->name());
    m_behaviorNames->insert(name);
    m_behaviorByName.insert(name, behavior);
    behavior->_setNameUnchecked(name);
    ++m_structureRevision;
    _notify(ProjectChange::Subject::Behavior, ProjectChange::Kind::Renamed, behavior->id(), old);
}

void Project::addProgram(Behavior* behavior) {
    insertProgram(behavior, static_cast<int>(m_programs.size()));
}

void Project::insertProgram(Behavior* behavior, int index) {
    if (!behavior)
        throw ValueError(QStringLiteral("No behavior was given to add as a program."));
    if (behavior->project() != this)
        throw ValueError(QStringLiteral("Behavior '%1' belongs to another project.").arg(behavior->name()));
    if (behavior->parent() || behavior->isProgram())
        throw ValueError(
            QStringLiteral("Behavior '%1' already has a place in a program.").arg(behavior->name()));
    behavior->_setProgram(true);
    index = std::clamp(index, 0, static_cast<int>(m_programs.size()));
    m_programs.insert(m_programs.begin() + index, behavior);
    ++m_structureRevision;
    _notify(ProjectChange::Subject::Behavior, ProjectChange::Kind::Moved, behavior->id());
    _notify(ProjectChange::Subject::Project, ProjectChange::Kind::Edited, 0);
}

void Project::_detachProgram(Behavior* behavior) {
    const auto it = std::find(m_programs.begin(), m_programs.end(), behavior);
    if (it == m_programs.end())
        return;
    m_programs.erase(it);
    behavior->_setProgram(false);
    ++m_structureRevision;
    _notify(ProjectChange::Subject::Behavior, ProjectChange::Kind::Moved, behavior->id());
    _notify(ProjectChange::Subject::Project, ProjectChange::Kind::Edited, 0);
}

QMap<QString, Behavior*> Project::programs() const {
    QMap<QString, Behavior*> out;
    for (Behavior* b : m_programs)
        out.insert(b->name(), b);
    return out;
}

QMap<QString, Behavior*> Project::behaviors() const {
    QMap<QString, Behavior*> out;
    std::function<void(Behavior*)> visit = [&](Behavior* b) {
        out.insert(b->name(), b);
        for (Behavior* c : b->children())
            visit(c);
    };
    for (Behavior* b : m_programs)
        visit(b);
    return out;
}

Behavior* Project::findBehavior(const QString& name) const {
    Behavior* b = m_behaviorByName.value(name, nullptr);
    return b && b->isAttached() ? b : nullptr;
}

void Project::removeBehavior(Behavior* behavior) {
    if (!behavior || behavior->project() != this)
        throw ValueError(QStringLiteral("That behavior is not part of this project."));
    if (Behavior* parent = behavior->parent())
        parent->_removeChild(behavior);
    const bool wasProgram = behavior->isProgram();
    if (wasProgram) {
        m_programs.erase(std::remove(m_programs.begin(), m_programs.end(), behavior), m_programs.end());
        behavior->_setProgram(false);
    }
    std::vector<Behavior*> doomed;
    std::function<void(Behavior*)> collect = [&](Behavior* b) {
        doomed.push_back(b);
        for (Behavior* c : b->children())
            collect(c);
    };
    collect(behavior);
    std::vector<quint64> ids;
    for (Behavior* b : doomed) {
        m_behaviorNames->remove(b->name());
        m_behaviorByName.remove(b->name());
        m_behaviorById.remove(b->id());
        ids.push_back(b->id());
    }
    m_behaviors.erase(std::remove_if(m_behaviors.begin(), m_behaviors.end(),
                                     [&](const std::unique_ptr<Behavior>& b) {
                                         return std::find(doomed.begin(), doomed.end(), b.get()) !=
                                                doomed.end();
                                     }),
                      m_behaviors.end());
    ++m_structureRevision;
    for (quint64 id : ids)
        _notify(ProjectChange::Subject::Behavior, ProjectChange::Kind::Removed, id);
    if (wasProgram)
        _notify(ProjectChange::Subject::Project, ProjectChange::Kind::Edited, 0);
}

// ---------------------------------------------------------------------------------------------
// Variables

namespace {
/// Makes actions and mixture targets that name variable `from` name `to` (empty: unset).
void renameVariableReferences(const std::vector<std::unique_ptr<Behavior>>& behaviors,
                              const std::vector<std::unique_ptr<Variable>>& variables, const QString& from,
                              const QString& to) {
    for (const auto& b : behaviors)
        if (auto* a = dynamic_cast<Action*>(b.get()))
            a->_renameReference(ActionProperty::Kind::Variable, from, to);
    for (const auto& v : variables)
        if (auto* m = dynamic_cast<MixtureTarget*>(v.get()))
            m->_renameReference(from, to);
}
} // namespace

void Project::_adoptVariable(Variable* variable) {
    const QString name = m_variableNames->uniqueName(variable->name());
    variable->_setNameUnchecked(name);
    m_variableNames->insert(name);
    m_variableByName.insert(name, variable);
    const quint64 id = m_restoringId ? m_restoringId : m_nextVariableId++;
    m_nextVariableId = std::max(m_nextVariableId, id + 1);
    variable->_setId(id);
    // The undo history puts a variable back in the place of the one it replaces.
    const auto same = std::find_if(m_variables.begin(), m_variables.end(),
                                   [id](const std::unique_ptr<Variable>& v) { return v->id() == id; });
    if (m_restoringId && same != m_variables.end())
        same->reset(variable);
    else
        m_variables.emplace_back(variable);
    m_variableById.insert(id, variable);
    ++m_structureRevision;
    _notify(ProjectChange::Subject::Variable, ProjectChange::Kind::Added, id);
    _notify(ProjectChange::Subject::Project, ProjectChange::Kind::Edited, 0);
}

QString Project::_uniqueVariableName(const QString& wanted) const {
    return m_variableNames->uniqueName(wanted);
}

void Project::_renameVariable(Variable* variable, const QString& wanted) {
    const QString old = variable->name();
    const QString name = m_variableNames->uniqueName(wanted);
    m_variableNames->remove(old);
    m_variableByName.remove(old);
    m_variableNames->insert(name);
    m_variableByName.insert(name, variable);
    variable->_setNameUnchecked(name);
    ++m_structureRevision;
    _notify(ProjectChange::Subject::Variable, ProjectChange::Kind::Renamed, variable->id(), old);
    if (!m_restoringId)
        renameVariableReferences(m_behaviors, m_variables, old, name);
}

void Project::_objectRenamed(int category, const QString& from, const QString& to) {
    const auto c = static_cast<Category>(category);
    if (c == Category::Robot || c == Category::ToolFrame) {
        const auto kind =
            c == Category::Robot ? ActionProperty::Kind::Robot : ActionProperty::Kind::ToolFrame;
        for (const auto& b : m_behaviors)
            if (auto* a = dynamic_cast<Action*>(b.get()))
                a->_renameReference(kind, from, to);
    } else if (c == Category::TaskRegion) {
        for (const auto& v : m_variables)
            if (auto* t = dynamic_cast<TaskRegionTarget*>(v.get()))
                t->_renameTaskRegion(from, to);
    }
}

std::vector<Behavior*> Project::behaviorList() const {
    std::vector<Behavior*> out;
    out.reserve(m_behaviors.size());
    for (const auto& b : m_behaviors)
        out.push_back(b.get());
    return out;
}

QStringList Project::usersOf(const WorkspaceObject* object) const {
    QStringList users;
    if (!object)
        return users;
    auto collect = [&](ActionProperty::Kind kind, const QString& name) {
        for (const auto& b : m_behaviors) {
            auto* a = dynamic_cast<const Action*>(b.get());
            if (!a || !a->isAttached())
                continue;
            for (const ActionProperty& p : a->properties())
                if (p.kind == kind && p.value.toString() == name && !users.contains(a->name()))
                    users << a->name();
        }
    };
    switch (object->category()) {
    case Category::Robot:
        collect(ActionProperty::Kind::Robot, object->name());
        for (const ToolFrame* t : static_cast<const Robot*>(object)->toolFrames())
            collect(ActionProperty::Kind::ToolFrame, t->name());
        break;
    case Category::ToolFrame:
        collect(ActionProperty::Kind::ToolFrame, object->name());
        break;
    case Category::TaskRegion:
        for (const auto& v : m_variables)
            if (auto* t = dynamic_cast<const TaskRegionTarget*>(v.get()))
                if (t->poseGenerator().taskRegion() == object->name())
                    users << t->name();
        break;
    default:
        break;
    }
    return users;
}

QStringList Project::usersOf(const Variable* variable) const {
    QStringList users;
    if (!variable)
        return users;
    for (const auto& b : m_behaviors) {
        auto* a = dynamic_cast<const Action*>(b.get());
        if (!a || !a->isAttached())
            continue;
        for (const ActionProperty& p : a->properties())
            if (p.kind == ActionProperty::Kind::Variable && p.value.toString() == variable->name() &&
                !users.contains(a->name()))
                users << a->name();
    }
    for (const auto& v : m_variables)
        if (auto* m = dynamic_cast<const MixtureTarget*>(v.get()))
            if (m != variable && m->targetGenerators().contains(variable->name()))
                users << m->name();
    return users;
}

QMap<QString, Variable*> Project::variables() const {
    QMap<QString, Variable*> out;
    for (const auto& v : m_variables)
        out.insert(v->name(), v.get());
    return out;
}

std::vector<Variable*> Project::variableList() const {
    std::vector<Variable*> out;
    out.reserve(m_variables.size());
    for (const auto& v : m_variables)
        out.push_back(v.get());
    return out;
}

Variable* Project::findVariable(const QString& name) const {
    return m_variableByName.value(name, nullptr);
}

void Project::removeVariable(Variable* variable) {
    if (!variable || variable->project() != this)
        throw ValueError(QStringLiteral("That variable is not part of this project."));
    const QString name = variable->name();
    const quint64 id = variable->id();
    m_variableNames->remove(name);
    m_variableByName.remove(name);
    m_variableById.remove(id);
    m_variables.erase(std::remove_if(m_variables.begin(), m_variables.end(),
                                     [&](const std::unique_ptr<Variable>& v) { return v.get() == variable; }),
                      m_variables.end());
    ++m_structureRevision;
    _notify(ProjectChange::Subject::Variable, ProjectChange::Kind::Removed, id);
    _notify(ProjectChange::Subject::Project, ProjectChange::Kind::Edited, 0);
    // Left unset rather than dangling, so that the project still saves as a file that loads.
    renameVariableReferences(m_behaviors, m_variables, name, QString());
}

// ---------------------------------------------------------------------------------------------
// Project files (read and written in project_file.cpp)

void Project::load(const QString& file) {
    ProjectFile::load(*this, file);
}

QStringList Project::save(const QString& file) const {
    return ProjectFile::save(*this, file);
}

QByteArray Project::fileText() const {
    return ProjectFile::text(*this);
}

QJsonObject Project::toJson(bool withIds) const {
    return ProjectFile::toJson(*this, withIds);
}

void Project::fromJson(const QJsonObject& json, const QString& fileLabel) {
    ProjectFile::fromJson(*this, json, fileLabel);
}

void Project::swapContents(Project& other) {
    // Everything that was here goes, and everything of `other` comes: say so, gone first.
    using S = ProjectChange::Subject;
    using K = ProjectChange::Kind;
    const auto tell = [this](const Project& p, K kind) {
        for (const WorkspaceObject* o : p.m_workspace->objects())
            _notify(S::Object, kind, o->id());
        for (const auto& b : p.m_behaviors)
            _notify(S::Behavior, kind, b->id());
        for (const auto& v : p.m_variables)
            _notify(S::Variable, kind, v->id());
    };
    std::swap(m_behaviorById, other.m_behaviorById);
    std::swap(m_variableById, other.m_variableById);
    std::swap(m_nextBehaviorId, other.m_nextBehaviorId);
    std::swap(m_nextVariableId, other.m_nextVariableId);
    m_workspace->_swapContents(*other.m_workspace);
    std::swap(m_behaviors, other.m_behaviors);
    std::swap(m_programs, other.m_programs);
    std::swap(m_variables, other.m_variables);
    std::swap(m_behaviorByName, other.m_behaviorByName);
    std::swap(m_variableByName, other.m_variableByName);
    std::swap(m_behaviorNames, other.m_behaviorNames);
    std::swap(m_variableNames, other.m_variableNames);
    for (const auto& b : m_behaviors)
        b->_setProject(this);
    for (const auto& v : m_variables)
        v->_setProject(this);
    for (const auto& b : other.m_behaviors)
        b->_setProject(&other);
    for (const auto& v : other.m_variables)
        v->_setProject(&other);
    const quint64 rev = std::max(m_structureRevision, other.m_structureRevision) + 1;
    m_structureRevision = other.m_structureRevision = rev;
    tell(other, K::Removed);
    tell(*this, K::Added);
    _notify(S::Project, K::Edited, 0);
}

} // namespace kestrin
