#include "program_runner.h"

#include "action.h"
#include "behavior.h"
#include "error.h"
#include "items.h"
#include "motion.h"
#include "project.h"
#include "robot.h"
#include "tool_frame.h"
#include "variable.h"
#include "workspace.h"

#include <cmath>

namespace kestrin {

namespace {
constexpr double kDeg = 180.0 / 3.14159265358979323846;
}

ProgramRunner::ProgramRunner(Project* project, quint64 seed) : m_project(project), m_rng(seed) {}

void ProgramRunner::setStep(double seconds) {
    if (!(seconds > 0) || !std::isfinite(seconds))
        throw ValueError(QStringLiteral("The simulation step must be a positive number of seconds."));
    m_step = seconds;
}

void ProgramRunner::setTimeLimit(double seconds) {
    if (!(seconds >= 0) || !std::isfinite(seconds))
        throw ValueError(QStringLiteral("The time limit of a run must be a number of seconds, 0 for none."));
    m_timeLimit = seconds;
}

RunOutcome ProgramRunner::run(const QString& programName) {
    RunOutcome outcome;
    m_time = 0;
    m_draws.clear();
    m_current = nullptr;
    m_colliding.clear();
    m_ignoringUntilMoved = false;
    m_world.reset();
    try {
        if (programName.isEmpty())
            throw Fault{
                QStringLiteral("No program was chosen: add a behavior without a parent to make one.")};
        const Behavior* program = m_project->programs().value(programName);
        if (!program)
            throw Fault{QStringLiteral("There is no program named '%1'.").arg(programName)};
        if (m_checkCollisions) {
            m_world = std::make_unique<CollisionWorld>(m_project->workspace());
            m_world->setClearance(m_project->workspace()->clearance());
            // A cell that starts in collision faults the run before anything moves.
            const std::vector<Contact> contacts = m_world->check();
            if (!contacts.empty()) {
                m_current = program;
                collided(contacts);
            }
        }
        runBehavior(program);
        outcome.completed = true;
    } catch (const Fault& fault) {
        outcome.reason = fault.reason;
        outcome.faultKind = fault.kind;
        if (m_current)
            outcome.faultedBehavior = m_current->name();
        outcome.collidingObjects = m_colliding;
    } catch (const Stop&) {
        outcome.stopped = true;
        outcome.reason = QStringLiteral("The run was stopped by the user.");
    }
    m_current = nullptr;
    outcome.simulatedSeconds = m_time;
    outcome.draws = std::move(m_draws);
    m_draws.clear();
    return outcome;
}

void ProgramRunner::runBehavior(const Behavior* behavior) {
    // Restored only when the behavior ends well: a fault leaves the innermost one in m_current.
    const Behavior* outer = m_current;
    m_current = behavior;
    if (m_behaviorCallback)
        m_behaviorCallback(behavior);
    if (auto* action = dynamic_cast<const Action*>(behavior)) {
        runAction(action);
    } else {
        // Composites: sequences (the only kind so far) run their children in order.
        for (const Behavior* child : behavior->children())
            runBehavior(child);
    }
    m_current = outer;
}

Robot* ProgramRunner::robotOf(const Action* action) const {
    const QString name = action->reference(QStringLiteral("robot"));
    if (name.isEmpty())
        throw Fault{QStringLiteral("'%1' has no robot: choose the robot it moves.").arg(action->name())};
    Robot* robot = m_project->workspace()->findRobot(name);
    if (!robot)
        throw Fault{
            QStringLiteral("'%1' moves robot '%2', which is not in the cell.").arg(action->name(), name)};
    return robot;
}

void ProgramRunner::runAction(const Action* action) {
    const QString& name = action->name();
    if (action->type() == Wait::staticType()) {
        pass(action->seconds(QStringLiteral("duration")));
        return;
    }
    Robot* robot = robotOf(action);
    if (action->type() == Grasp::staticType()) {
        grasp(action, robot, toolOf(action, robot));
        return;
    }
    if (action->type() == Release::staticType()) {
        release(toolOf(action, robot));
        return;
    }
    if (action->type() == MoveLinear::staticType()) {
        moveLinear(action, robot, toolOf(action, robot));
        return;
    }
    const QString targetName = action->reference(QStringLiteral("target"));
    if (targetName.isEmpty())
        throw Fault{QStringLiteral("'%1' has no target: choose the variable it moves to.").arg(name)};
    const Variable* target = m_project->findVariable(targetName);
    if (!target)
        throw Fault{QStringLiteral("'%1' moves to '%2', which does not exist.").arg(name, targetName)};
    const QString limits = action->reference(QStringLiteral("motion_limits"));

    if (action->type() == MoveToJointTarget::staticType()) {
        auto* joints = dynamic_cast<const JointPositionTarget*>(target);
        if (!joints)
            throw Fault{QStringLiteral("'%1' needs a joint-position target, but '%2' is a %3.")
                            .arg(name, targetName, target->type().name())};
        if (joints->jointPositions().dim() != robot->getNumDofs())
            throw Fault{QStringLiteral("Target '%1' has %2 joint positions, but robot '%3' has %4 joints.")
                            .arg(targetName)
                            .arg(joints->jointPositions().dim())
                            .arg(robot->name())
                            .arg(robot->getNumDofs())};
        const Eigen::VectorXd goal = joints->jointPositions().sample(m_rng);
        m_draws.push_back({name, targetName, std::vector<double>(goal.data(), goal.data() + goal.size()), 1});
        for (int i = 0; i < goal.size(); ++i) {
            if (goal[i] < robot->lowerLimits()[i] - 1e-9 || goal[i] > robot->upperLimits()[i] + 1e-9)
                throw Fault{
                    QStringLiteral("'%1' would take joint %2 of robot '%3' to %4 degrees, outside its limits "
                                   "(%5 to %6 degrees).")
                        .arg(name)
                        .arg(i + 1)
                        .arg(robot->name())
                        .arg(goal[i] * kDeg, 0, 'f', 1)
                        .arg(robot->lowerLimits()[i] * kDeg, 0, 'f', 1)
                        .arg(robot->upperLimits()[i] * kDeg, 0, 'f', 1),
                    FaultKind::JointLimit};
        }
        moveJoints(robot, goal, limits, name);
        return;
    }

    if (action->type() == MoveToTaskRegion::staticType()) {
        auto* region = dynamic_cast<const TaskRegionTarget*>(target);
        if (!region)
            throw Fault{QStringLiteral("'%1' needs a task-region target, but '%2' is a %3.")
                            .arg(name, targetName, target->type().name())};
        ToolFrame* tool = toolOf(action, robot);
        const QString toolName = tool->name();
        const Distribution* seeds = region->seedJointPositions();
        if (seeds && seeds->dim() != robot->getNumDofs())
            throw Fault{
                QStringLiteral("The seed positions of '%1' have %2 values, but robot '%3' has %4 joints.")
                    .arg(targetName)
                    .arg(seeds->dim())
                    .arg(robot->name())
                    .arg(robot->getNumDofs())};
        const Pose flangeToTool = tool->offset().toPose();
        std::optional<Eigen::VectorXd> goal;
        Draw& draw = m_draws.emplace_back(Draw{name, targetName, {}, 0});
        for (int attempt = 0; attempt < kPoseAttempts && !goal; ++attempt) {
            Pose toolPose;
            try {
                toolPose = region->poseGenerator().sample(m_rng);
            } catch (const Error& e) {
                throw Fault{QStringLiteral("'%1' cannot draw a pose from '%2': %3")
                                .arg(name, targetName, e.message())};
            }
            const Eigen::Vector3d at = toolPose.translation();
            const Eigen::Vector3d rpy = rollPitchYaw(toolPose.rotation());
            draw.values = {at.x(), at.y(), at.z(), rpy.x(), rpy.y(), rpy.z()};
            draw.attempts = attempt + 1;
            const Eigen::VectorXd seed = seeds ? seeds->sample(m_rng) : robot->jointPositions();
            goal = robot->solveIK(toolPose * flangeToTool.inverse(), seed);
        }
        if (!goal)
            throw Fault{
                QStringLiteral("Robot '%1' cannot reach any pose in task region '%2' with tool frame '%3' "
                               "(tried %4 poses): move the region closer or the robot.")
                    .arg(robot->name(), region->poseGenerator().taskRegion(), toolName)
                    .arg(kPoseAttempts),
                FaultKind::Unreachable};
        moveJoints(robot, *goal, limits, name);
        return;
    }
    throw Fault{
        QStringLiteral("'%1' is a %2, which the simulator cannot run.").arg(name, action->type().name())};
}

ToolFrame* ProgramRunner::toolOf(const Action* action, const Robot* robot) const {
    const QString& name = action->name();
    const QString toolName = action->reference(QStringLiteral("tool_frame"));
    if (toolName.isEmpty())
        throw Fault{QStringLiteral("'%1' has no tool frame: choose the tool frame to move.").arg(name)};
    ToolFrame* tool = m_project->workspace()->findToolFrame(toolName);
    if (!tool)
        throw Fault{QStringLiteral("'%1' moves tool frame '%2', which is on no robot.").arg(name, toolName)};
    if (tool->robot() != robot)
        throw Fault{QStringLiteral("Tool frame '%1' is on robot '%2', not on '%3' which '%4' moves.")
                        .arg(toolName, tool->robot()->name(), robot->name(), name)};
    return tool;
}

void ProgramRunner::grasp(const Action* action, Robot*, ToolFrame* tool) {
    Workspace* workspace = m_project->workspace();
    for (const WorkspaceObject* o : workspace->objects())
        if (auto* held = dynamic_cast<const CustomItem*>(o); held && held->heldBy() == tool)
            throw Fault{QStringLiteral("'%1': tool frame '%2' already holds '%3'; release it first.")
                            .arg(action->name(), tool->name(), held->name())};
    // The item whose volume holds the tool frame's origin, or comes within reach of it; of
    // several, the one whose centre is nearest.
    const Eigen::Vector3d at = tool->pose().translation();
    CustomItem* best = nullptr;
    double bestDistance = 0;
    for (WorkspaceObject* o : workspace->objects()) {
        auto* item = dynamic_cast<CustomItem*>(o);
        if (!item || item->heldBy())
            continue;
        const Eigen::Vector3d local = item->pose().inverse() * at;
        const double outside = (local.cwiseAbs() - item->size() / 2).cwiseMax(0.0).norm();
        if (outside > Grasp::kReach)
            continue;
        if (!best || local.norm() < bestDistance) {
            best = item;
            bestDistance = local.norm();
        }
    }
    if (!best)
        throw Fault{
            QStringLiteral("'%1' finds nothing to grasp: no item is at tool frame '%2' (within %3 cm of "
                           "its origin).")
                .arg(action->name(), tool->name())
                .arg(Grasp::kReach * 100),
            FaultKind::NothingToGrasp};
    best->holdWith(tool);
    // What the item stands on (or leans against) is no collision as it is taken away: such
    // contacts count again once the next move is done.
    if (m_world) {
        for (const Contact& c : m_world->check())
            if (c.a == best || c.b == best)
                m_world->ignoreContacts(c.a, c.b);
        m_ignoringUntilMoved = true;
    }
}

void ProgramRunner::release(ToolFrame* tool) {
    Workspace* workspace = m_project->workspace();
    for (WorkspaceObject* o : workspace->objects()) {
        auto* item = dynamic_cast<CustomItem*>(o);
        if (!item || item->heldBy() != tool)
            continue;
        item->holdWith(nullptr);
        // It settles upright (keeping its heading) on the highest desk top below its centre,
        // or on the floor.
        const Pose here = item->pose();
        const Eigen::Vector3d centre = here.translation();
        double surface = 0;
        for (const WorkspaceObject* other : workspace->objects()) {
            const auto* desk = dynamic_cast<const Desk*>(other);
            if (!desk)
                continue;
            const Eigen::Vector3d local = desk->pose().inverse() * centre;
            const double top = desk->pose().translation().z() + desk->size().z();
            if (std::abs(local.x()) <= desk->size().x() / 2 && std::abs(local.y()) <= desk->size().y() / 2 &&
                top <= centre.z() + 1e-9 && top > surface)
                surface = top;
        }
        const double yaw = rollPitchYaw(here.rotation()).z();
        item->setPose(makePose({centre.x(), centre.y(), surface + item->size().z() / 2}, 0, 0, yaw));
    }
}

void ProgramRunner::moveLinear(const Action* action, Robot* robot, ToolFrame* tool) {
    const QString& name = action->name();
    const Eigen::Vector3d offset(action->number(QStringLiteral("offset_x")),
                                 action->number(QStringLiteral("offset_y")),
                                 action->number(QStringLiteral("offset_z")));
    const double length = offset.norm();
    if (length == 0)
        return;
    const JointLimits limits = limitsFor(robot, action->reference(QStringLiteral("motion_limits")), name);
    // Points every few millimetres along the line, each solved from the one before, so that the
    // arm keeps its configuration; a point out of reach or a joint turning far between two close
    // points ends the move before the arm goes anywhere.
    const Pose start = tool->pose();
    const Pose toolToFlange = tool->offset().toPose().inverse();
    const int points = std::max(1, int(std::ceil(length / kLinearSpacing)));
    std::vector<Eigen::VectorXd> path{robot->jointPositions()};
    for (int i = 1; i <= points; ++i) {
        Pose at = start;
        at.translation() = start.translation() + start.rotation() * offset * (double(i) / points);
        const std::optional<Eigen::VectorXd> q = robot->solveIKNear(at * toolToFlange, path.back());
        const double done = 1000.0 * length * (i - 1) / points;
        if (!q)
            throw Fault{QStringLiteral(
                            "'%1': robot '%2' cannot follow the straight line of tool frame '%3' past %4 mm "
                            "of %5 mm (out of reach or at a joint limit).")
                            .arg(name, robot->name(), tool->name())
                            .arg(done, 0, 'f', 0)
                            .arg(1000.0 * length, 0, 'f', 0),
                        FaultKind::Unreachable};
        Eigen::Index joint = 0;
        const double turn = (*q - path.back()).cwiseAbs().maxCoeff(&joint);
        if (turn > kMaxLinearJointStep)
            throw Fault{QStringLiteral(
                            "'%1': on the straight line of tool frame '%2', robot '%3' would change its arm "
                            "configuration past %4 mm of %5 mm (joint %6 would turn %7 degrees at once).")
                            .arg(name, tool->name(), robot->name())
                            .arg(done, 0, 'f', 0)
                            .arg(1000.0 * length, 0, 'f', 0)
                            .arg(joint + 1)
                            .arg(turn * kDeg, 0, 'f', 0),
                        FaultKind::Unreachable};
        path.push_back(*q);
    }
    // Along the line at a steady tool speed, slower where a joint would exceed its own.
    const double segment = length / points;
    double total = 0;
    for (size_t i = 1; i < path.size(); ++i)
        total += std::max(segment / kLinearSpeed,
                          ((path[i] - path[i - 1]).cwiseAbs().array() / limits.velocity.array()).maxCoeff());
    checkMoveLength(name, total);
    for (size_t i = 1; i < path.size(); ++i) {
        const Eigen::VectorXd& from = path[i - 1];
        const Eigen::VectorXd& to = path[i];
        const double duration = std::max(
            segment / kLinearSpeed, ((to - from).cwiseAbs().array() / limits.velocity.array()).maxCoeff());
        // Where one piece of the line ends the next begins: its check covers both.
        const std::optional<PathContact> hit = firstContact(robot, from, to, i + 1 == path.size());
        const double until = hit ? duration * hit->fraction : duration;
        const double begin = m_time;
        for (double t = m_step; m_callback && t < until; t += m_step) {
            robot->setJointPositions(from + (to - from) * (t / duration));
            advanceTo(begin + t);
        }
        robot->setJointPositions(hit ? hit->joints : to);
        advanceTo(begin + until);
        if (hit)
            collided(hit->contacts);
    }
    moveDone();
}

std::optional<PathContact> ProgramRunner::firstContact(const Robot* robot, const Eigen::VectorXd& from,
                                                       const Eigen::VectorXd& to, bool checkEnd) {
    if (!m_world)
        return std::nullopt;
    return m_world->firstContactAlong(robot, from, to, kCheckTravel, checkEnd);
}

void ProgramRunner::collided(const std::vector<Contact>& contacts) {
    const Contact& first = contacts.front();
    m_colliding = {first.a->id()};
    if (first.b != first.a)
        m_colliding.push_back(first.b->id());
    QString text = describeContact(first);
    if (contacts.size() > 1)
        text += QStringLiteral(" (and %1 more contact%2)")
                    .arg(contacts.size() - 1)
                    .arg(contacts.size() > 2 ? "s" : "");
    throw Fault{QStringLiteral("'%1' at %2 s: %3")
                    .arg(m_current ? m_current->name() : QString())
                    .arg(m_time, 0, 'f', 2)
                    .arg(text),
                FaultKind::Collision};
}

void ProgramRunner::moveDone() {
    if (m_world && m_ignoringUntilMoved) {
        m_world->clearIgnoredContacts();
        m_ignoringUntilMoved = false;
    }
}

ProgramRunner::JointLimits ProgramRunner::limitsFor(const Robot* robot, const QString& limitsName,
                                                    const QString& who) const {
    Eigen::VectorXd velocity = robot->maxJointVelocities();
    Eigen::VectorXd acceleration = robot->maxJointAccelerations();
    if (!limitsName.isEmpty()) {
        auto* limits = dynamic_cast<const MotionLimits*>(m_project->findVariable(limitsName));
        if (!limits)
            throw Fault{
                QStringLiteral("'%1' uses motion limits '%2', which do not exist.").arg(who, limitsName)};
        if (limits->jointVelocity().size() != robot->getNumDofs())
            throw Fault{QStringLiteral("Motion limits '%1' are for %2 joints, but robot '%3' has %4.")
                            .arg(limitsName)
                            .arg(limits->jointVelocity().size())
                            .arg(robot->name())
                            .arg(robot->getNumDofs())};
        velocity = velocity.cwiseMin(limits->jointVelocity());
        acceleration = acceleration.cwiseMin(limits->jointAcceleration());
    }
    return {velocity, acceleration};
}

void ProgramRunner::moveJoints(Robot* robot, const Eigen::VectorXd& goal, const QString& limitsName,
                               const QString& who) {
    const JointLimits limits = limitsFor(robot, limitsName, who);
    const JointMove move(robot->jointPositions(), goal, limits.velocity, limits.acceleration);
    checkMoveLength(who, move.duration());
    // The move is a straight line in joint space: checked along it before it is played, it
    // plays up to the first contact, if any, and stops there.
    const std::optional<PathContact> hit = firstContact(robot, robot->jointPositions(), goal);
    const double until = hit ? move.timeAt(hit->fraction) : move.duration();
    const double start = m_time;
    // Without anyone watching, only where each move ends matters.
    for (double t = m_step; m_callback && t < until; t += m_step) {
        robot->setJointPositions(move.positionAt(t));
        advanceTo(start + t);
    }
    robot->setJointPositions(hit ? hit->joints : goal);
    advanceTo(start + until);
    if (hit)
        collided(hit->contacts);
    moveDone();
}

void ProgramRunner::checkMoveLength(const QString& who, double seconds) const {
    if (seconds <= kMaxMoveSeconds)
        return;
    throw Fault{QStringLiteral("'%1' would take %2 s, longer than the %3 s a move may take: raise its motion "
                               "limits or shorten the move.")
                    .arg(who)
                    .arg(seconds, 0, 'g', 6)
                    .arg(kMaxMoveSeconds, 0, 'f', 0)};
}

void ProgramRunner::pass(double seconds) {
    const double start = m_time;
    for (double t = m_step; m_callback && t < seconds; t += m_step)
        advanceTo(start + t);
    advanceTo(start + seconds);
}

void ProgramRunner::advanceTo(double t) {
    if (m_timeLimit > 0 && t > m_timeLimit) {
        m_time = m_timeLimit;
        throw Fault{QStringLiteral("The run went on past its time limit of %1 s of simulated time.")
                        .arg(m_timeLimit, 0, 'g', 6),
                    FaultKind::Timeout};
    }
    m_time = t;
    if (m_callback && !m_callback(m_time))
        throw Stop{};
}

} // namespace kestrin
