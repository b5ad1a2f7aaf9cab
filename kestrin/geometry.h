#pragma once
// Poses are rigid transforms in metres, in the cell's world frame unless said otherwise
// (z up, the floor at z = 0).

#include <Eigen/Geometry>

namespace kestrin {

using Pose = Eigen::Isometry3d;

/// A pose as it is stored and saved: position and unit quaternion, kept exactly as given so
/// that a saved and reloaded project writes the very same numbers again.
struct Transform {
    Eigen::Vector3d position = Eigen::Vector3d::Zero();
    Eigen::Quaterniond orientation = Eigen::Quaterniond::Identity();

    Pose toPose() const;
    static Transform fromPose(const Pose& pose);
    bool operator==(const Transform& o) const {
        return position == o.position && orientation.coeffs() == o.orientation.coeffs();
    }
    bool operator!=(const Transform& o) const { return !(*this == o); }
};

/// Pose from a position (metres) and roll, pitch, yaw (radians, about fixed x, y, z).
Pose makePose(const Eigen::Vector3d& position, double roll = 0, double pitch = 0, double yaw = 0);

/// Roll, pitch, yaw (radians) of a rotation, inverse of makePose's convention.
Eigen::Vector3d rollPitchYaw(const Eigen::Matrix3d& rotation);

/// True when every component of `pose` is finite and its rotation is orthonormal.
bool isValidPose(const Pose& pose);

} // namespace kestrin
