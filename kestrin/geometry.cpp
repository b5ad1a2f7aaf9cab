#include "geometry.h"

#include <cmath>

namespace kestrin {

Pose Transform::toPose() const {
    Pose p = Pose::Identity();
    p.linear() = orientation.normalized().toRotationMatrix();
    p.translation() = position;
    return p;
}

Transform Transform::fromPose(const Pose& pose) {
    Transform t;
    t.position = pose.translation();
    t.orientation = Eigen::Quaterniond(pose.linear()).normalized();
    return t;
}

Pose makePose(const Eigen::Vector3d& position, double roll, double pitch, double yaw) {
    Pose p = Pose::Identity();
    p.translation() = position;
    p.linear() = (Eigen::AngleAxisd(yaw, Eigen::Vector3d::UnitZ()) *
                  Eigen::AngleAxisd(pitch, Eigen::Vector3d::UnitY()) *
                  Eigen::AngleAxisd(roll, Eigen::Vector3d::UnitX()))
                     .toRotationMatrix();
    return p;
}

Eigen::Vector3d rollPitchYaw(const Eigen::Matrix3d& r) {
    const double pitch = std::atan2(-r(2, 0), std::hypot(r(0, 0), r(1, 0)));
    if (std::abs(std::cos(pitch)) < 1e-9) // gimbal lock: put all of the turn into yaw
        return {0.0, pitch, std::atan2(-r(0, 1), r(1, 1))};
    return {std::atan2(r(2, 1), r(2, 2)), pitch, std::atan2(r(1, 0), r(0, 0))};
}

bool isValidPose(const Pose& pose) {
    if (!pose.matrix().allFinite())
        return false;
    const Eigen::Matrix3d r = pose.linear();
    return (r * r.transpose() - Eigen::Matrix3d::Identity()).norm() < 1e-6 && r.determinant() > 0;
}

} // namespace kestrin
