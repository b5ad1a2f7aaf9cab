#include "teleoperation.h"

#include "error.h"
#include "robot.h"
#include "tool_frame.h"

#include <optional>

namespace kestrin {

namespace {
Pose interpolate(const Pose& from, const Pose& to, double f) {
    Pose p = Pose::Identity();
    p.translation() = from.translation() + f * (to.translation() - from.translation());
    p.linear() = Eigen::Quaterniond(from.linear()).slerp(f, Eigen::Quaterniond(to.linear())).toRotationMatrix();
    return p;
}
} // namespace

JogResult moveToolTowards(Robot* robot, const ToolFrame* tool, const Pose& target) {
    if (!robot || !tool || tool->robot() != robot)
        throw ValueError(QStringLiteral("Tool frame '%1' is not on robot '%2'.")
                             .arg(tool ? tool->name() : QString(), robot ? robot->name() : QString()));
    const Pose toolInFlange = tool->offset().toPose();
    const Pose start = tool->pose();
    auto solve = [&](const Pose& toolPose) { return robot->solveIK(toolPose * toolInFlange.inverse(), robot->jointPositions()); };
    if (auto q = solve(target)) {
        robot->setJointPositions(*q);
        return {true, QString()};
    }
    // Bisect for the farthest reachable point on the way to the target.
    double lo = 0.0, hi = 1.0;
    std::optional<Eigen::VectorXd> best;
    for (int i = 0; i < 10; ++i) {
        const double mid = (lo + hi) / 2;
        if (auto q = solve(interpolate(start, target, mid))) {
            lo = mid;
            best = q;
        } else {
            hi = mid;
        }
    }
    if (best)
        robot->setJointPositions(*best);
    return {false, QStringLiteral("Robot '%1' cannot bring tool frame '%2' there; it stopped at the nearest pose it "
                                  "can reach.")
                       .arg(robot->name(), tool->name())};
}

Pose jogged(const Pose& pose, const Eigen::Vector3d& translation, const Eigen::Vector3d& rotation) {
    Pose out = pose;
    out.translation() += translation;
    out.linear() = (Eigen::AngleAxisd(rotation.z(), Eigen::Vector3d::UnitZ()) *
                    Eigen::AngleAxisd(rotation.y(), Eigen::Vector3d::UnitY()) *
                    Eigen::AngleAxisd(rotation.x(), Eigen::Vector3d::UnitX()))
                       .toRotationMatrix() *
                   pose.linear();
    return out;
}

} // namespace kestrin
