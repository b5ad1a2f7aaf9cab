#include "type.h"

#include "error.h"

#include <QHash>
#include <QList>

namespace kestrin {

namespace {
struct Registry {
    QHash<QString, const Type*> byName;
};
Registry& registry() {
    static Registry r;
    return r;
}
} // namespace

const QList<const Type*>& builtinTypes(); // types.cpp: every descriptor, in declaration order

Type::Type(const char* name, const Type* base, BehaviorFactory behaviorFactory, ObjectFactory objectFactory)
    : m_name(QString::fromLatin1(name)), m_base(base), m_behaviorFactory(behaviorFactory),
      m_objectFactory(objectFactory) {
    registry().byName.insert(m_name, this);
}

bool Type::inherits(const Type& other) const {
    for (const Type* t = this; t; t = t->m_base)
        if (t == &other)
            return true;
    return false;
}

Behavior* Type::constructBehavior(Project* project, const QString& name) const {
    if (!m_behaviorFactory)
        throw ValueError(QStringLiteral("'%1' is not a kind of behavior that can be created.").arg(m_name));
    return m_behaviorFactory(project, name);
}

WorkspaceObject* Type::constructObject(Workspace* workspace, const QString& name) const {
    if (!m_objectFactory)
        throw ValueError(
            QStringLiteral("'%1' is not a kind of work-cell object that can be created.").arg(m_name));
    return m_objectFactory(workspace, name);
}

const Type* Type::find(const QString& name) {
    builtinTypes(); // creates every descriptor, so that each can be found by name
    return registry().byName.value(name, nullptr);
}

QList<const Type*> Type::constructibleTypes(const Type& base) {
    // Descriptors are created on first use, in whatever order the caller happened to use them:
    // list them in declaration order instead.
    QList<const Type*> out;
    for (const Type* t : builtinTypes())
        if ((t->canConstructBehavior() || t->canConstructObject()) && t->inherits(base))
            out.append(t);
    return out;
}

} // namespace kestrin
