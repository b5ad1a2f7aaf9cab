#pragma once
// Program variables: motion limits and targets that actions refer to by name. A variable is
// created with `new Kind(project, name, ...)`; the project owns it from then on.

#include "distribution.h"
#include "pose_generator.h"
#include "project_change.h"
#include "type.h"

#include <Eigen/Core>
#include <QJsonObject>
#include <QStringList>
#include <memory>
#include <vector>

namespace kestrin {

class JsonContext;
class Project;

class Variable {
public:
    virtual ~Variable();
    Variable(const Variable&) = delete;
    Variable& operator=(const Variable&) = delete;

    static const Type& staticType();
    virtual const Type& type() const = 0;

    Project* project() const { return m_project; }
    const QString& name() const { return m_name; }
    /// Renames; throws NameError on a bad name; a taken name is made unique; actions that refer
    /// to the variable follow.
    void setName(const QString& name);
    quint64 revision() const { return m_revision; }
    /// Identity within the project for as long as the variable lives; never reused. The undo
    /// history may put a new variable in the place of one (same id) to restore it.
    quint64 id() const { return m_id; }

    virtual void writeJson(QJsonObject& json) const = 0;
    /// Builds a variable of the type named in `json` in `project`; throws FormatError.
    static Variable* fromJson(Project* project, const QJsonObject& json, const JsonContext& ctx);
    /// Second pass of loading, once every variable exists.
    virtual void resolveReferences(const JsonContext&) {}

    void _setProject(Project* project);
    void _setNameUnchecked(const QString& name) { m_name = name; }
    void _setId(quint64 id) { m_id = id; }
    /// A part of the variable was changed in place (its pose generator).
    void _partChanged() { touch(); }

protected:
    Variable(Project* project, const QString& name);
    /// Hands the variable to its project; the last statement of every final constructor.
    void _register();
    /// Counts a change and tells the project's observers.
    void touch();

private:
    Project* m_project;
    quint64 m_id = 0;
    QString m_name;
    quint64 m_revision = 1;
};

/// Per-joint speed (rad/s) and acceleration (rad/s^2) limits for a motion. A move uses the
/// smaller of these and the robot's own limits.
class MotionLimits final : public Variable {
    KESTRIN_TYPE
public:
    /// Throws ValueError unless both vectors have the same length (at least 1) and hold
    /// positive finite numbers.
    MotionLimits(Project* project, const QString& name, const Eigen::VectorXd& joint_velocity,
                 const Eigen::VectorXd& joint_acceleration);
    const Eigen::VectorXd& jointVelocity() const { return m_velocity; }
    const Eigen::VectorXd& jointAcceleration() const { return m_acceleration; }
    void setLimits(const Eigen::VectorXd& joint_velocity, const Eigen::VectorXd& joint_acceleration);
    void writeJson(QJsonObject& json) const override;
    /// Every speed (rad/s) and acceleration (rad/s^2) lies between these: slower would make a
    /// move of a few degrees last for days.
    static constexpr double kMinLimit = 1e-3;
    static constexpr double kMaxLimit = 1e3;
    /// A robot has at most this many joints, and limits and targets no more values.
    static constexpr int kMaxJoints = Distribution::kMaxDimensions;

private:
    Eigen::VectorXd m_velocity, m_acceleration;
};

/// A target in joint space, drawn from a distribution over joint positions.
class JointPositionTarget final : public Variable {
    KESTRIN_TYPE
public:
    /// Throws ValueError when `joint_positions` is null.
    JointPositionTarget(Project* project, const QString& name, std::unique_ptr<Distribution> joint_positions);
    const Distribution& jointPositions() const { return *m_distribution; }
    Distribution& jointPositions() { return *m_distribution; }
    void setJointPositions(std::unique_ptr<Distribution> joint_positions);
    void writeJson(QJsonObject& json) const override;

private:
    std::unique_ptr<Distribution> m_distribution;
};

/// A target pose for a tool frame, drawn from a task region, with optional seed joint
/// positions for inverse kinematics (none: start from the robot's current joint positions).
class TaskRegionTarget final : public Variable {
    KESTRIN_TYPE
public:
    /// Throws ValueError when `pose_generator` is null or belongs to another project.
    TaskRegionTarget(Project* project, const QString& name, std::unique_ptr<PoseGenerator> pose_generator,
                     std::unique_ptr<Distribution> seed_joint_positions);
    const PoseGenerator& poseGenerator() const { return *m_generator; }
    PoseGenerator& poseGenerator() { return *m_generator; }
    /// nullptr when no seed positions are given.
    const Distribution* seedJointPositions() const { return m_seed.get(); }
    void setSeedJointPositions(std::unique_ptr<Distribution> seed);
    void writeJson(QJsonObject& json) const override;
    void _renameTaskRegion(const QString& from, const QString& to) {
        if (m_generator->_renameTaskRegion(from, to))
            touch();
    }

private:
    std::unique_ptr<PoseGenerator> m_generator;
    std::unique_ptr<Distribution> m_seed;
};

/// A weighted choice among other target variables. An empty entry is a component that has not
/// been chosen yet; weights need not add up to one.
class MixtureTarget final : public Variable {
    KESTRIN_TYPE
public:
    /// Throws ValueError unless both lists have the same length (at least 1) and every weight is
    /// finite and 0 or more.
    MixtureTarget(Project* project, const QString& name, const QStringList& target_generators,
                  const std::vector<double>& weights);
    const QStringList& targetGenerators() const { return m_targets; }
    const std::vector<double>& weights() const { return m_weights; }
    /// Each entry must be empty or name a JointPositionTarget or TaskRegionTarget of the
    /// project; throws NotFoundError / ValueError otherwise.
    void setComponents(const QStringList& target_generators, const std::vector<double>& weights);
    void writeJson(QJsonObject& json) const override;
    void resolveReferences(const JsonContext& ctx) override;
    void _renameReference(const QString& from, const QString& to);

private:
    void checkTargets(const QStringList& targets) const;
    QStringList m_targets;
    std::vector<double> m_weights;
};

} // namespace kestrin
