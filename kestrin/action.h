#pragma once
// Leaf behaviors: the steps a program actually carries out.

#include "behavior.h"

#include <QVariant>
#include <QVector>

namespace kestrin {

class Robot;
class ToolFrame;
class Variable;

/// One setting of an action. References to robots, tool frames and variables are kept by name;
/// an empty name means "not set".
struct ActionProperty {
    enum class Kind { Robot, ToolFrame, Variable, Seconds, Metres };
    QString key;   // as in project files: "robot", "tool_frame", "target", ...
    QString label; // for the user: "Robot", "Tool frame", ...
    Kind kind;
    const Type* variableType = nullptr; // for Kind::Variable: the type the variable must have
    bool required = true;               // a run fails when a required property is not set
    QVariant value;                     // QString for references, double for seconds and metres
};

/// Base of leaf behaviors. An action holds no children.
class Action : public Behavior {
public:
    static const Type& staticType();

    const QVector<ActionProperty>& properties() const { return m_properties; }
    /// The property of that key, or nullptr.
    const ActionProperty* property(const QString& key) const;
    /// Sets a property. References must name an existing robot, attached tool frame or variable
    /// of the property's type (or be empty); seconds must be finite, 0 or more and at most a day.
    /// Throws ValueError / NotFoundError naming the action, the property and the value.
    void setProperty(const QString& key, const QVariant& value);
    QString reference(const QString& key) const;
    double seconds(const QString& key) const;
    /// A number setting (seconds or metres); 0 when there is none of that key.
    double number(const QString& key) const { return seconds(key); }

    void writeJson(QJsonObject& json) const override;
    void readJson(const QJsonObject& json, const JsonContext& ctx) override;
    void resolveReferences(const JsonContext& ctx) override;

    /// Rewrites references to a renamed robot, tool frame or variable.
    void _renameReference(ActionProperty::Kind kind, const QString& from, const QString& to);

protected:
    Action(Project* project, const QString& name);
    void declare(const QString& key, const QString& label, ActionProperty::Kind kind,
                 const Type* variableType = nullptr, bool required = true);

private:
    /// Throws when `value` cannot be stored in `property`.
    void check(const ActionProperty& property, const QVariant& value) const;
    QVector<ActionProperty> m_properties;
};

/// Moves a robot's joints to a joint-position target.
/// - Properties: robot, target (JointPositionTarget), motion limits (MotionLimits, optional).
/// - Fails when the robot or the target is missing or the target leaves the joint limits.
class MoveToJointTarget final : public Action {
    KESTRIN_TYPE
public:
    MoveToJointTarget(Project* project, const QString& name);
};

/// Moves a robot so that one of its tool frames reaches a pose inside a task region.
/// - Properties: robot, tool frame, target (TaskRegionTarget), motion limits (optional).
/// - Fails when a reference is missing or no pose in the region can be reached.
class MoveToTaskRegion final : public Action {
    KESTRIN_TYPE
public:
    MoveToTaskRegion(Project* project, const QString& name);
};

/// Waits for a number of seconds. Always succeeds.
class Wait final : public Action {
    KESTRIN_TYPE
public:
    Wait(Project* project, const QString& name);
};

/// Closes the gripper: the item whose volume holds the tool frame's origin (within 1 cm) is held
/// by the tool frame from then on and moves with it.
/// - Properties: robot, tool frame.
/// - Fails when a reference is missing or there is nothing to grasp there.
class Grasp final : public Action {
    KESTRIN_TYPE
public:
    Grasp(Project* project, const QString& name);
    /// How far outside an item's volume the tool frame's origin may be, in metres.
    static constexpr double kReach = 0.01;
};

/// Opens the gripper: what the tool frame holds is let go and comes to rest on the surface
/// below it (a desk's top or the floor).
/// - Properties: robot, tool frame.
/// - Fails when a reference is missing; letting go with nothing held does nothing.
class Release final : public Action {
    KESTRIN_TYPE
public:
    Release(Project* project, const QString& name);
};

/// Moves a tool frame along a straight line by an offset given in the tool frame's own axes
/// (0.1 m along z to approach or retreat, say), following the line with inverse kinematics.
/// - Properties: robot, tool frame, offset x, y, z (metres), motion limits (optional).
/// - Fails where a point of the line cannot be reached or would make the arm change its
///   configuration (a joint turning far between two close points).
class MoveLinear final : public Action {
    KESTRIN_TYPE
public:
    MoveLinear(Project* project, const QString& name);
    /// Largest offset along an axis, in metres.
    static constexpr double kMaxOffset = 5.0;
};

} // namespace kestrin
