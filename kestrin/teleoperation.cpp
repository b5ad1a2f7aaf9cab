#include "teleoperation.h"

#include "collision.h"
#include "error.h"
#include "robot.h"
#include "tool_frame.h"

#include <algorithm>
#include <cmath>
#include <optional>

namespace kestrin {

namespace {

constexpr double kPi = 3.14159265358979323846;

// A move is followed in steps no longer than these, each solved from the joint positions the
// step before reached, so that the arm moves on one branch of its kinematics.
constexpr double kStepDistance = 0.005;      // metres
constexpr double kStepAngle = 5 * kPi / 180; // radians
// No joint turns further than this per 5 mm or 5 degrees of the tool's way. A solution that
// needs more has left the arm's branch (a joint limit or a singularity in the way): taking it
// would flip the arm.
constexpr double kMaxJointStep = 0.5; // radians
// Shorter stretches (the last one, or those tried when the way is blocked) are allowed their
// share of kMaxJointStep, but no less than this share, which only rounding could need.
constexpr double kLeastShare = 0.02;
// Steps into the last stretch when the way is blocked, to stop as near to the block as can be.
constexpr int kRefinements = 6;

Pose interpolate(const Pose& from, const Pose& to, double f) {
    Pose p = Pose::Identity();
    p.translation() = from.translation() + f * (to.translation() - from.translation());
    p.linear() =
        Eigen::Quaterniond(from.linear()).slerp(f, Eigen::Quaterniond(to.linear())).toRotationMatrix();
    return p;
}

/// The joint that turns furthest from `from` to `to`, and by how much.
std::pair<int, double> largestTurn(const Eigen::VectorXd& from, const Eigen::VectorXd& to) {
    Eigen::Index joint = 0;
    const double turn = (to - from).cwiseAbs().maxCoeff(&joint);
    return {static_cast<int>(joint), turn};
}

} // namespace

JogResult moveToolTowards(Robot* robot, const ToolFrame* tool, const Pose& target, CollisionWorld* world) {
    if (!robot || !tool || tool->robot() != robot)
        throw ValueError(QStringLiteral("Tool frame '%1' is not on robot '%2'.")
                             .arg(tool ? tool->name() : QString(), robot ? robot->name() : QString()));
    if (!isValidPose(target))
        throw ValueError(
            QStringLiteral("The target of tool frame '%1' must be finite and rigid.").arg(tool->name()));
    const Pose flangeInTool = tool->offset().toPose().inverse();
    const Pose start = tool->pose();
    const double distance = (target.translation() - start.translation()).norm();
    const double angle = Eigen::AngleAxisd(start.linear().transpose() * target.linear()).angle();
    // The way's length in steps of 5 mm or 5 degrees, whichever is more.
    const double length = std::max(distance / kStepDistance, angle / kStepAngle);
    // Far targets stop at the edge of reach long before the last step; the cap keeps the count
    // an int.
    const int steps = static_cast<int>(std::clamp(std::ceil(length), 1.0, 1e7));
    // How far joints may turn while the tool goes from `f0` to `f1` along the way (fractions).
    auto allowedTurn = [&](double f0, double f1) {
        return kMaxJointStep * std::max((f1 - f0) * length, kLeastShare);
    };

    // What the robot touches where it starts may be why it is being moved: not a collision.
    if (world) {
        world->clearIgnoredContacts();
        for (const Contact& contact : world->checkRobotAt(robot, robot->jointPositions()))
            world->ignoreContacts(contact.a, contact.b);
    }
    std::optional<Contact> hit; // the last collision that refused a step

    // A solution at fraction `f1` of the way from `from`, the solution at `f0`, if the arm can
    // get there without a flip and without hitting anything.
    auto stepTo = [&](double f0, double f1, const Eigen::VectorXd& from) -> std::optional<Eigen::VectorXd> {
        auto q = robot->solveIKNear(interpolate(start, target, f1) * flangeInTool, from);
        if (q && largestTurn(from, *q).second > allowedTurn(f0, f1))
            return std::nullopt;
        if (q && world) {
            if (auto contact = world->firstContactAlong(robot, from, *q)) {
                hit = contact->contacts.front();
                return std::nullopt;
            }
        }
        return q;
    };

    Eigen::VectorXd q = robot->jointPositions();
    double at = 0; // how far along the way q is
    int done = 0;
    while (done < steps) {
        const double f = double(done + 1) / steps;
        const auto next = stepTo(at, f, q);
        if (!next)
            break;
        q = *next;
        at = f;
        ++done;
    }
    if (done == steps) {
        robot->setJointPositions(q);
        if (world)
            world->clearIgnoredContacts();
        return {true, QString()};
    }

    // Blocked within the next step: go as far into it as the arm can.
    const double blockedAt = double(done + 1) / steps;
    const std::optional<Contact> blocker = hit;
    double hi = blockedAt;
    for (int i = 0; i < kRefinements; ++i) {
        const double mid = (at + hi) / 2;
        if (const auto next = stepTo(at, mid, q)) {
            at = mid;
            q = *next;
        } else {
            hi = mid;
        }
    }
    robot->setJointPositions(q);
    if (world)
        world->clearIgnoredContacts();

    // Say why: something in the way, or the arm cannot get there at all, or only by a flip to
    // another branch.
    if (blocker)
        return {false, QStringLiteral("Robot '%1' stopped short of a collision: a step further, %2.")
                           .arg(robot->name(), describeContact(*blocker))};
    const Pose blocked = interpolate(start, target, blockedAt) * flangeInTool;
    const std::optional<Eigen::VectorXd> elsewhere = robot->solveIK(blocked, q);
    if (elsewhere && largestTurn(q, *elsewhere).second > allowedTurn(at, blockedAt)) {
        const auto [joint, turn] = largestTurn(q, *elsewhere);
        return {false,
                QStringLiteral("Robot '%1' cannot move tool frame '%2' on from here without turning joint %3 "
                               "by %4 degrees at once (a joint limit or a singularity is in the way); it "
                               "stopped before that. Jog another way, or move the joints.")
                    .arg(robot->name(), tool->name())
                    .arg(joint + 1)
                    .arg(turn * 180 / kPi, 0, 'f', 0)};
    }
    return {false,
            QStringLiteral("Robot '%1' cannot bring tool frame '%2' there; it stopped at the nearest pose it "
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
