#pragma once
// Moving a robot by its tool frame, as teleoperation does.

#include "geometry.h"

#include <QString>

namespace kestrin {

class CollisionWorld;
class Robot;
class ToolFrame;

struct JogResult {
    /// True when the tool frame reached the target; false when the robot stopped short.
    bool reached = false;
    /// For the user when the target was not reached; empty otherwise.
    QString message;
};

/// Moves `robot` through inverse kinematics, within its joint limits, so that `tool` reaches
/// `target` (world frame). The tool follows the straight way from where it is in short steps
/// (5 mm, 5 degrees) and the arm never changes its configuration on the way: a step that needs
/// a joint to turn more than half a radian (a joint limit or a singularity in the way) is
/// refused like a pose out of reach. With a collision `world` (of the robot's cell), a step on
/// which the robot or what it carries would hit something is refused too; contacts it already
/// has where it starts do not count, so that it can be moved out of them. Either way the robot
/// stops at the last pose it can reach along the way, and the result says what stopped it.
/// Throws ValueError when the tool frame is not on that robot or the target is not finite.
JogResult moveToolTowards(Robot* robot, const ToolFrame* tool, const Pose& target,
                          CollisionWorld* world = nullptr);

/// `pose` moved by `translation` (metres, world axes) and turned by `rotation` (roll, pitch, yaw in
/// radians, about the world axes through the pose's own origin).
Pose jogged(const Pose& pose, const Eigen::Vector3d& translation, const Eigen::Vector3d& rotation);

} // namespace kestrin
