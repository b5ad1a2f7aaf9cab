#pragma once
// What the user reads for a kind of object, behavior or variable ("UR5e", "Robotiq 2F-85",
// "Move to Joint Target"); project files keep the type names ("UR5eRobot").

#include <QString>

namespace kestrin {
class Type;
class WorkspaceObject;
} // namespace kestrin

namespace kestrin_app {

/// The readable name of `type`; a type without one of its own reads as its name in words
/// ("SomeNewKind" reads "Some New Kind").
QString readableKindName(const kestrin::Type& type);
QString readableKindName(const QString& typeName);
/// The readable name of the object's kind: its type's, but "Item (mesh)" for an item shaped as
/// a mesh, which is of the same type as a box.
QString readableKindName(const kestrin::WorkspaceObject& object);

/// Says in the application log that `wanted` was taken among the names of `kind` ("robot",
/// "behavior") and the part was given `given` instead; says nothing when they are the same.
void logNameMadeUnique(const QString& kind, const QString& wanted, const QString& given);

} // namespace kestrin_app
