#include "motion.h"

#include "error.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace kestrin {

JointMove::JointMove(const Eigen::VectorXd& start, const Eigen::VectorXd& goal,
                     const Eigen::VectorXd& maxVelocity, const Eigen::VectorXd& maxAcceleration)
    : m_start(start) {
    const auto n = start.size();
    if (goal.size() != n || maxVelocity.size() != n || maxAcceleration.size() != n)
        throw ValueError(QStringLiteral("A joint move needs start, goal and limits of the same size."));
    m_delta = goal - start;
    if ((maxVelocity.array() <= 0).any() || (maxAcceleration.array() <= 0).any() ||
        !maxVelocity.allFinite() || !maxAcceleration.allFinite())
        throw ValueError(QStringLiteral("Joint speed and acceleration limits must be positive."));
    // The shared profile s(t) goes from 0 to 1; joint i moves delta_i * s(t). Its rate and
    // acceleration are bounded by the tightest joint.
    double rate = std::numeric_limits<double>::infinity();
    double accel = std::numeric_limits<double>::infinity();
    for (Eigen::Index i = 0; i < n; ++i) {
        const double d = std::abs(m_delta[i]);
        if (d <= 0)
            continue;
        rate = std::min(rate, maxVelocity[i] / d);
        accel = std::min(accel, maxAcceleration[i] / d);
    }
    if (!std::isfinite(rate))
        return; // nothing to move
    m_accel = accel;
    if (rate * rate / accel >= 1.0) {
        // Triangular: the peak rate is never reached.
        m_rampTime = std::sqrt(1.0 / accel);
        m_peakRate = accel * m_rampTime;
        m_duration = 2 * m_rampTime;
    } else {
        m_peakRate = rate;
        m_rampTime = rate / accel;
        m_duration = 1.0 / rate + m_rampTime;
    }
}

double JointMove::progress(double t) const {
    if (m_duration <= 0)
        return 1.0;
    t = std::clamp(t, 0.0, m_duration);
    if (t < m_rampTime)
        return 0.5 * m_accel * t * t;
    const double rampDistance = 0.5 * m_accel * m_rampTime * m_rampTime;
    if (t <= m_duration - m_rampTime)
        return rampDistance + m_peakRate * (t - m_rampTime);
    const double left = m_duration - t;
    return 1.0 - 0.5 * m_accel * left * left;
}

double JointMove::progressRate(double t) const {
    if (m_duration <= 0 || t <= 0 || t >= m_duration)
        return 0.0;
    if (t < m_rampTime)
        return m_accel * t;
    if (t <= m_duration - m_rampTime)
        return m_peakRate;
    return m_accel * (m_duration - t);
}

double JointMove::timeAt(double fraction) const {
    if (m_duration <= 0)
        return 0.0;
    fraction = std::clamp(fraction, 0.0, 1.0);
    const double rampDistance = 0.5 * m_accel * m_rampTime * m_rampTime;
    if (fraction <= rampDistance)
        return std::sqrt(2 * fraction / m_accel);
    if (fraction <= 1.0 - rampDistance)
        return m_rampTime + (fraction - rampDistance) / m_peakRate;
    return m_duration - std::sqrt(2 * (1.0 - fraction) / m_accel);
}

Eigen::VectorXd JointMove::positionAt(double t) const {
    return m_start + m_delta * progress(t);
}
Eigen::VectorXd JointMove::velocityAt(double t) const {
    return m_delta * progressRate(t);
}

} // namespace kestrin
