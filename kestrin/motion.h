#pragma once
// Joint-space motion: time-optimal synchronised moves within speed and acceleration limits.

#include <Eigen/Core>

namespace kestrin {

/// A straight move in joint space from `start` to `goal` along which every joint follows the
/// same trapezoidal speed profile, scaled to its own distance. The profile is the fastest one
/// for which no joint exceeds its speed or acceleration limit.
class JointMove {
public:
    /// Limits are per joint, positive (rad/s, rad/s^2). Throws ValueError on mismatched sizes or
    /// non-positive limits.
    JointMove(const Eigen::VectorXd& start, const Eigen::VectorXd& goal, const Eigen::VectorXd& maxVelocity,
              const Eigen::VectorXd& maxAcceleration);

    /// Seconds from start to goal (0 when they are equal).
    double duration() const { return m_duration; }
    /// Joint positions at time `t` (clamped to [0, duration]).
    Eigen::VectorXd positionAt(double t) const;
    /// The time at which the move is `fraction` of the way (0 to 1) from start to goal.
    double timeAt(double fraction) const;
    /// Joint speeds at time `t`.
    Eigen::VectorXd velocityAt(double t) const;

private:
    /// Fraction of the way done at time t, and its rate.
    double progress(double t) const;
    double progressRate(double t) const;

    Eigen::VectorXd m_start, m_delta;
    double m_peakRate = 0; // 1/s
    double m_accel = 0;    // 1/s^2
    double m_rampTime = 0; // s
    double m_duration = 0; // s
};

} // namespace kestrin
