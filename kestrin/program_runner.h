#pragma once
// Runs a program of a project in simulated time, moving the robots of its workspace.

#include "collision.h"
#include "distribution.h"
#include "geometry.h"

#include <QString>
#include <functional>
#include <memory>
#include <optional>

namespace kestrin {

class Action;
class Behavior;
class Project;
class Robot;
class ToolFrame;

/// What kind of fault ended a run, for counting faults over many runs.
enum class FaultKind {
    None,           ///< the run completed or was stopped
    Unreachable,    ///< no pose of a task region, or no point of a straight line, could be reached
    Collision,      ///< something met something, or came nearer than the cell's clearance
    JointLimit,     ///< a target outside a robot's joint limits
    NothingToGrasp, ///< a grasp found no item at its tool frame
    Timeout,        ///< the run went on past its time limit (see ProgramRunner::setTimeLimit)
    Other           ///< anything else: a missing robot, target, tool frame or program, ...
};

/// One random draw of a run: what a variable gave an action.
struct Draw {
    QString behavior;
    QString variable;
    /// A joint-position target: the joint positions (radians). A task region: the tool pose
    /// that was used, or the last one tried when none could be reached, as x, y, z (metres) and
    /// roll, pitch, yaw (radians) in the world.
    std::vector<double> values;
    /// Poses drawn from a task region until one could be reached (1 for a joint target).
    int attempts = 1;
};

/// What a run came to.
struct RunOutcome {
    bool completed = false;
    /// True when the run ended because the step callback asked it to stop (the user stopped
    /// it): not completed, but not faulted either.
    bool stopped = false;
    /// Why the run faulted or stopped, for the user; empty when it completed.
    QString reason;
    /// Name of the behavior that faulted: the innermost one running at the fault. Empty when
    /// the run completed or was stopped, or faulted before any behavior ran (no such program).
    QString faultedBehavior;
    /// Simulated seconds the run took (until the fault or the stop).
    double simulatedSeconds = 0;
    /// When a collision faulted the run: the ids of the objects that met (the robot first).
    std::vector<quint64> collidingObjects;
    /// What kind of fault it was; None when the run completed or was stopped.
    FaultKind faultKind = FaultKind::None;
    /// The random draws of the run, in the order they were made.
    std::vector<Draw> draws;
};

/// Plays a program:
/// - a sequence runs its children in order and fails at the first child that fails;
/// - a joint-target move follows the time-optimal profile within the robot's speed and
///   acceleration limits, tightened by its motion-limits variable when it has one;
/// - a task-region move draws poses from the region until one can be reached, then moves there;
/// - a wait lets simulated time pass;
/// - a grasp makes the item at a tool frame move with it, a release lets it go onto the surface
///   below, and a linear move takes a tool frame along a straight line.
/// It faults, with a reason, on a missing program, robot, tool frame or target, an unreachable
/// pose, or a target outside the joint limits. The cell stays where the program left it.
class ProgramRunner {
public:
    /// Called after each simulated step with the simulated time so far; returning false stops
    /// the run (it then counts as stopped by the user).
    using StepCallback = std::function<bool(double simulatedSeconds)>;
    /// Called as each behavior starts, composites before their children. What it throws ends the
    /// run and reaches the caller of run().
    using BehaviorCallback = std::function<void(const Behavior* behavior)>;

    explicit ProgramRunner(Project* project, quint64 seed = 1);

    /// Simulated seconds between two calls of the step callback during motion (default 1/60).
    void setStep(double seconds);
    void setStepCallback(StepCallback callback) { m_callback = std::move(callback); }
    void setBehaviorCallback(BehaviorCallback callback) { m_behaviorCallback = std::move(callback); }

    RunOutcome run(const QString& programName);

    /// Whether runs check for collisions (on by default): the cell before the program starts,
    /// and every move finely enough that between two checks no point of a robot travels more
    /// than kCheckTravel, or more than its distance to anything it could hit when that is more. A collision
    /// faults the run where it happens, naming the behavior, the simulated time and what hit what; anything
    /// nearer than the cell's clearance counts.
    void setCollisionChecking(bool on) { m_checkCollisions = on; }
    /// Simulated seconds after which a run faults as timed out (0, the default: no limit).
    void setTimeLimit(double seconds);
    static constexpr double kCheckTravel = 0.005;

    /// Tries up to this many poses from a task region before giving up (default 25).
    static constexpr int kPoseAttempts = 25;
    /// A straight-line move is solved at points this far apart (metres), moves the tool at this
    /// speed (metres per second) unless a joint limits it, and refuses a joint turning more than
    /// this (radians) between two points.
    static constexpr double kLinearSpacing = 0.005;
    static constexpr double kLinearSpeed = 0.25;
    static constexpr double kMaxLinearJointStep = 0.5;
    /// No single move may take longer than this (simulated seconds: an hour): a
    /// move that would is a fault that says how long it would take.
    static constexpr double kMaxMoveSeconds = 3600;

private:
    struct Fault {
        QString reason;
        FaultKind kind = FaultKind::Other;
    };
    struct Stop {};
    void runBehavior(const Behavior* behavior);
    void runAction(const Action* action);
    struct JointLimits {
        Eigen::VectorXd velocity, acceleration;
    };
    /// The robot's limits, tightened by the motion-limits variable of that name (if any).
    JointLimits limitsFor(const Robot* robot, const QString& limitsName, const QString& who) const;
    ToolFrame* toolOf(const Action* action, const Robot* robot) const;
    void moveJoints(Robot* robot, const Eigen::VectorXd& goal, const QString& limitsName, const QString& who);
    void moveLinear(const Action* action, Robot* robot, ToolFrame* tool);
    void grasp(const Action* action, Robot* robot, ToolFrame* tool);
    void release(ToolFrame* tool);
    /// Where the straight joint-space move of `robot` from `from` to `to` first collides, if it
    /// does (with checking off: never).
    std::optional<PathContact> firstContact(const Robot* robot, const Eigen::VectorXd& from,
                                            const Eigen::VectorXd& to, bool checkEnd = true);
    /// Ends the run with the contacts' fault.
    [[noreturn]] void collided(const std::vector<Contact>& contacts);
    /// A move ended: contacts set aside at a grasp count again.
    void moveDone();
    void pass(double seconds);
    /// Faults when a move of `seconds` is longer than kMaxMoveSeconds (or not a number).
    void checkMoveLength(const QString& who, double seconds) const;
    void advanceTo(double t);
    Robot* robotOf(const Action* action) const;

    Project* m_project;
    RandomGenerator m_rng;
    StepCallback m_callback;
    BehaviorCallback m_behaviorCallback;
    /// The innermost behavior running; left at the one that faulted when a fault unwinds.
    const Behavior* m_current = nullptr;
    double m_step = 1.0 / 60.0;
    double m_time = 0;
    double m_timeLimit = 0;
    std::vector<Draw> m_draws;
    bool m_checkCollisions = true;
    std::unique_ptr<CollisionWorld> m_world; // during a run with checking on
    bool m_ignoringUntilMoved = false;
    std::vector<quint64> m_colliding;
};

} // namespace kestrin
