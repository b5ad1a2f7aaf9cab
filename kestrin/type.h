#pragma once
// Run-time type descriptors. Every class of the core library that the application refers to
// "as a type" has exactly one descriptor (`Class::staticType()`); descriptors are compared by
// identity. Behavior and workspace-object types also know how to construct an instance, which
// is how project files and the application create objects from a type name.

#include <QString>
#include <QStringList>

namespace kestrin {

class Behavior;
class Project;
class Workspace;
class WorkspaceObject;

class Type {
public:
    using BehaviorFactory = Behavior* (*)(Project*, const QString&);
    using ObjectFactory = WorkspaceObject* (*)(Workspace*, const QString&);

    Type(const char* name, const Type* base, BehaviorFactory behaviorFactory = nullptr,
         ObjectFactory objectFactory = nullptr);
    Type(const Type&) = delete;
    Type& operator=(const Type&) = delete;

    const QString& name() const { return m_name; }
    const Type* base() const { return m_base; }

    /// True when this type is `other` or derives from it.
    bool inherits(const Type& other) const;

    bool canConstructBehavior() const { return m_behaviorFactory != nullptr; }
    bool canConstructObject() const { return m_objectFactory != nullptr; }

    /// Constructs a behavior of this type in `project`. Throws kestrin::ValueError when this
    /// type is not a constructible behavior type; otherwise what the constructor throws.
    Behavior* constructBehavior(Project* project, const QString& name) const;

    /// Constructs a workspace object of this type in `workspace`; throws like constructBehavior.
    WorkspaceObject* constructObject(Workspace* workspace, const QString& name) const;

    /// The descriptor with that class name, or nullptr.
    static const Type* find(const QString& name);
    /// Every constructible type deriving from `base`, in declaration order.
    static QList<const Type*> constructibleTypes(const Type& base);

    bool operator==(const Type& other) const { return this == &other; }
    bool operator!=(const Type& other) const { return this != &other; }

private:
    QString m_name;
    const Type* m_base;
    BehaviorFactory m_behaviorFactory;
    ObjectFactory m_objectFactory;
};

} // namespace kestrin

/// Declares the type descriptor members of a class with a virtual `type()`.
#define KESTRIN_TYPE                                                                                         \
public:                                                                                                      \
    static const ::kestrin::Type& staticType();                                                              \
    const ::kestrin::Type& type() const override;                                                            \
                                                                                                             \
private:

/// Defines them; BASE is the base class, FACTORY one of the factory helpers below or nullptr.
#define KESTRIN_DEFINE_TYPE(CLASS, BASE, BFACTORY, OFACTORY)                                                 \
    const ::kestrin::Type& CLASS::staticType() {                                                             \
        static const ::kestrin::Type t(#CLASS, &BASE::staticType(), BFACTORY, OFACTORY);                     \
        return t;                                                                                            \
    }                                                                                                        \
    const ::kestrin::Type& CLASS::type() const {                                                             \
        return staticType();                                                                                 \
    }

namespace kestrin::detail {
template <class T> Behavior* makeBehavior(Project* project, const QString& name) {
    return new T(project, name);
}
template <class T> WorkspaceObject* makeObject(Workspace* workspace, const QString& name) {
    return new T(workspace, name);
}
} // namespace kestrin::detail
