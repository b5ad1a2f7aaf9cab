#pragma once
// What the user reads for a kind of object, behavior or variable ("UR5e", "Robotiq 2F-85",
// "Move to Joint Target"); project files keep the type names ("UR5eRobot").

#include <QString>

namespace kestrin {
class Type;
}

namespace kestrin_app {

/// The readable name of `type`; a type without one of its own reads as its name in words
/// ("SomeNewKind" reads "Some New Kind").
QString readableKindName(const kestrin::Type& type);
QString readableKindName(const QString& typeName);

/// Says in the application log that `wanted` was taken among the names of `kind` ("robot",
/// "behavior") and the part was given `given` instead; says nothing when they are the same.
void logNameMadeUnique(const QString& kind, const QString& wanted, const QString& given);

} // namespace kestrin_app
