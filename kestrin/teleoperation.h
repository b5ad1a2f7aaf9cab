#pragma once
// Moving a robot by its tool frame, as teleoperation does.

#include "geometry.h"

#include <QString>

namespace kestrin {

class Robot;
class ToolFrame;

struct JogResult {
    /// True when the tool frame reached the target; false when the robot stopped short.
    bool reached = false;
    /// For the user when the target was not reached; empty otherwise.
    QString message;
};

/// Moves `robot` through inverse kinematics, within its joint limits, so that `tool` reaches
/// `target` (world frame). When the target cannot be reached the robot goes to the reachable
/// pose nearest to it along the way from where the tool is now, and the result says so.
/// Throws ValueError when the tool frame is not on that robot.
JogResult moveToolTowards(Robot* robot, const ToolFrame* tool, const Pose& target);

/// `pose` moved by `translation` (metres, world axes) and turned by `rotation` (roll, pitch, yaw in
/// radians, about the world axes through the pose's own origin).
Pose jogged(const Pose& pose, const Eigen::Vector3d& translation, const Eigen::Vector3d& rotation);

} // namespace kestrin
