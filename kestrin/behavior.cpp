#include "behavior.h"

#include "error.h"
#include "json_io.h"
#include "naming.h"
#include "project.h"

#include <algorithm>
#include <functional>

namespace kestrin {

const Type& Behavior::staticType() {
    static const Type t("Behavior", nullptr);
    return t;
}

Behavior::Behavior(Project* project, const QString& name) : m_project(project), m_name(name) {
    if (!project)
        throw ValueError(QStringLiteral("A behavior must be created in a project."));
    checkName(name, QStringLiteral("behavior"));
}

Behavior::~Behavior() = default;

void Behavior::_register() {
    m_project->_adoptBehavior(this);
}

void Behavior::setName(const QString& name) {
    if (name == m_name)
        return;
    checkName(name, QStringLiteral("behavior"));
    m_project->_renameBehavior(this, name); // tells of the rename
    ++m_revision;
}

void Behavior::touch(ProjectChange::Kind kind) {
    ++m_revision;
    if (m_id)
        m_project->_notify(ProjectChange::Subject::Behavior, kind, m_id);
}

bool Behavior::isAttached() const {
    const Behavior* b = this;
    while (b->m_parent)
        b = b->m_parent;
    return b->m_isProgram;
}

void Behavior::_addChild(Behavior* child) {
    _insertChild(child, static_cast<int>(m_children.size()));
}

void Behavior::_insertChild(Behavior* child, int index) {
    if (!child)
        throw ValueError(QStringLiteral("No behavior was given to add below '%1'.").arg(m_name));
    if (!acceptsChildren())
        throw ValueError(
            QStringLiteral(
                "'%1' is a %2, which cannot hold other behaviors; choose a sequence as the parent.")
                .arg(m_name, type().name()));
    if (child->m_project != m_project)
        throw ValueError(
            QStringLiteral("Behavior '%1' belongs to another project than '%2'.").arg(child->m_name, m_name));
    if (child->m_parent || child->m_isProgram)
        throw ValueError(
            QStringLiteral("Behavior '%1' already has a place in a program.").arg(child->m_name));
    for (const Behavior* b = this; b; b = b->m_parent)
        if (b == child)
            throw ValueError(
                QStringLiteral("Behavior '%1' cannot be placed below itself.").arg(child->m_name));
    int depth = 1;
    for (const Behavior* b = this; b->m_parent; b = b->m_parent)
        ++depth;
    std::function<int(const Behavior*)> height = [&](const Behavior* b) {
        int h = 0;
        for (const Behavior* c : b->m_children)
            h = std::max(h, height(c));
        return h + 1;
    };
    if (depth + height(child) > kMaxBehaviorDepth)
        throw ValueError(
            QStringLiteral("Behavior '%1' cannot go below '%2': programs nest at most %3 levels deep.")
                .arg(child->m_name, m_name)
                .arg(kMaxBehaviorDepth));
    index = std::clamp(index, 0, static_cast<int>(m_children.size()));
    m_children.insert(m_children.begin() + index, child);
    child->m_parent = this;
    touch();
    m_project->_structureChanged();
    m_project->_notify(ProjectChange::Subject::Behavior, ProjectChange::Kind::Moved, child->m_id);
}

void Behavior::_removeChild(Behavior* child) {
    auto it = std::find(m_children.begin(), m_children.end(), child);
    if (it == m_children.end())
        return;
    m_children.erase(it);
    child->m_parent = nullptr;
    touch();
    m_project->_structureChanged();
    m_project->_notify(ProjectChange::Subject::Behavior, ProjectChange::Kind::Moved, child->m_id);
}

void Behavior::writeJson(QJsonObject&) const {}
void Behavior::readJson(const QJsonObject&, const JsonContext&) {}
void Behavior::resolveReferences(const JsonContext&) {}

KESTRIN_DEFINE_TYPE(Sequence, Behavior, &detail::makeBehavior<Sequence>, nullptr)

Sequence::Sequence(Project* project, const QString& name) : Behavior(project, name) {
    _register();
}

} // namespace kestrin
