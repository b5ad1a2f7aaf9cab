#include "users_index.h"

#include "action.h"
#include "project.h"
#include "robot.h"
#include "tool_frame.h"
#include "variable.h"
#include "workspace_object.h"

namespace kestrin {

UsersIndex::UsersIndex(const Project& project) {
    for (const Behavior* b : project.behaviorList()) {
        auto* a = dynamic_cast<const Action*>(b);
        if (!a || !a->isAttached())
            continue;
        for (const ActionProperty& p : a->properties()) {
            if (p.kind == ActionProperty::Kind::Seconds || p.kind == ActionProperty::Kind::Metres)
                continue;
            QStringList& users = m_actions[qMakePair(static_cast<int>(p.kind), p.value.toString())];
            if (users.isEmpty() || users.back() != a->name())
                users << a->name();
        }
    }
    for (const Variable* v : project.variableList()) {
        if (auto* t = dynamic_cast<const TaskRegionTarget*>(v)) {
            m_regionTargets[t->poseGenerator().taskRegion()] << t->name();
        } else if (auto* m = dynamic_cast<const MixtureTarget*>(v)) {
            for (const QString& target : m->targetGenerators()) {
                QStringList& users = m_mixtures[target];
                if (users.isEmpty() || users.back() != m->name())
                    users << m->name();
            }
        }
    }
}

void UsersIndex::collect(int kind, const QString& name, QStringList& users) const {
    const auto it = m_actions.constFind(qMakePair(kind, name));
    if (it == m_actions.constEnd())
        return;
    for (const QString& user : *it)
        if (!users.contains(user))
            users << user;
}

QStringList UsersIndex::usersOf(const WorkspaceObject* object) const {
    QStringList users;
    if (!object)
        return users;
    switch (object->category()) {
    case Category::Robot:
        collect(static_cast<int>(ActionProperty::Kind::Robot), object->name(), users);
        for (const ToolFrame* t : static_cast<const Robot*>(object)->toolFrames())
            collect(static_cast<int>(ActionProperty::Kind::ToolFrame), t->name(), users);
        break;
    case Category::ToolFrame:
        collect(static_cast<int>(ActionProperty::Kind::ToolFrame), object->name(), users);
        break;
    case Category::TaskRegion:
        users = m_regionTargets.value(object->name());
        break;
    default:
        break;
    }
    return users;
}

QStringList UsersIndex::usersOf(const Variable* variable) const {
    QStringList users;
    if (!variable)
        return users;
    collect(static_cast<int>(ActionProperty::Kind::Variable), variable->name(), users);
    for (const QString& m : m_mixtures.value(variable->name()))
        if (m != variable->name())
            users << m;
    return users;
}

} // namespace kestrin
