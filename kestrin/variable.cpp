#include "variable.h"

#include "error.h"
#include "json_io.h"
#include "naming.h"
#include "project.h"

#include <cmath>

namespace kestrin {

const Type& Variable::staticType() {
    static const Type t("Variable", nullptr);
    return t;
}

Variable::Variable(Project* project, const QString& name) : m_project(project), m_name(name) {
    if (!project)
        throw ValueError(QStringLiteral("A variable must be created in a project."));
    checkName(name, QStringLiteral("variable"));
}

Variable::~Variable() = default;

void Variable::_register() {
    m_project->_adoptVariable(this);
}

void Variable::setName(const QString& name) {
    if (name == m_name)
        return;
    checkName(name, QStringLiteral("variable"));
    m_project->_renameVariable(this, name); // tells of the rename
    ++m_revision;
}

void Variable::touch() {
    ++m_revision;
    if (m_id)
        m_project->_notify(ProjectChange::Subject::Variable, ProjectChange::Kind::Edited, m_id);
}

void Variable::_setProject(Project* project) {
    m_project = project;
    if (auto* t = dynamic_cast<TaskRegionTarget*>(this))
        t->poseGenerator()._setProject(project);
}

Variable* Variable::fromJson(Project* project, const QJsonObject& json, const JsonContext& ctx) {
    const QString kind = ctx.readString(json, QStringLiteral("type"));
    const QString name = ctx.readString(json, QStringLiteral("name"));
    const JsonContext here = ctx.nested(kind, name);
    try {
        if (kind == QLatin1String("MotionLimits")) {
            // One after the other, so that a failure names the first field at fault.
            const Eigen::VectorXd velocity =
                here.readVector(json, QStringLiteral("joint_velocity"), -1, MotionLimits::kMaxJoints);
            const Eigen::VectorXd acceleration =
                here.readVector(json, QStringLiteral("joint_acceleration"), -1, MotionLimits::kMaxJoints);
            return new MotionLimits(project, name, velocity, acceleration);
        }
        if (kind == QLatin1String("JointPositionTarget"))
            return new JointPositionTarget(
                project, name,
                Distribution::fromJson(here.readObject(json, QStringLiteral("joint_positions")),
                                       here.field(QStringLiteral("joint_positions"))));
        if (kind == QLatin1String("TaskRegionTarget")) {
            auto generator =
                PoseGenerator::fromJson(project, here.readObject(json, QStringLiteral("pose_generator")),
                                        here.field(QStringLiteral("pose_generator")));
            std::unique_ptr<Distribution> seed;
            const QJsonValue s = json.value(QStringLiteral("seed_joint_positions"));
            if (s.isObject())
                seed =
                    Distribution::fromJson(s.toObject(), here.field(QStringLiteral("seed_joint_positions")));
            else if (!s.isNull() && !s.isUndefined())
                here.failField(QStringLiteral("seed_joint_positions"),
                               QStringLiteral("must be an object or null"));
            return new TaskRegionTarget(project, name, std::move(generator), std::move(seed));
        }
        if (kind == QLatin1String("MixtureTarget")) {
            for (const QString& key : {QStringLiteral("target_generators"), QStringLiteral("weights")})
                here.checkLength(json, key, MotionLimits::kMaxJoints);
            return new MixtureTarget(project, name,
                                     here.readStrings(json, QStringLiteral("target_generators")),
                                     here.readNumbers(json, QStringLiteral("weights")));
        }
    } catch (const FormatError&) {
        throw;
    } catch (const Error& e) {
        here.fail(e.message());
    }
    ctx.failField(QStringLiteral("type"), QStringLiteral("names an unknown kind of variable '%1'").arg(kind));
}

// ---------------------------------------------------------------------------------------------

KESTRIN_DEFINE_TYPE(MotionLimits, Variable, nullptr, nullptr)
KESTRIN_DEFINE_TYPE(JointPositionTarget, Variable, nullptr, nullptr)
KESTRIN_DEFINE_TYPE(TaskRegionTarget, Variable, nullptr, nullptr)
KESTRIN_DEFINE_TYPE(MixtureTarget, Variable, nullptr, nullptr)

static void checkLimits(const QString& name, const Eigen::VectorXd& v, const Eigen::VectorXd& a) {
    if (v.size() < 1 || v.size() != a.size())
        throw ValueError(QStringLiteral("Motion limits '%1' need one speed and one acceleration per joint "
                                        "(got %2 and %3).")
                             .arg(name)
                             .arg(v.size())
                             .arg(a.size()));
    if (v.size() > MotionLimits::kMaxJoints)
        throw ValueError(QStringLiteral("Motion limits '%1' have %2 joints; a robot has at most %3.")
                             .arg(name)
                             .arg(v.size())
                             .arg(MotionLimits::kMaxJoints));
    if (!v.allFinite() || !a.allFinite() || (v.array() <= 0).any() || (a.array() <= 0).any())
        throw ValueError(QStringLiteral("Motion limits '%1' must be positive, finite numbers.").arg(name));
    const auto inRange = [](const Eigen::VectorXd& x) {
        return (x.array() >= MotionLimits::kMinLimit).all() && (x.array() <= MotionLimits::kMaxLimit).all();
    };
    if (!inRange(v) || !inRange(a))
        throw ValueError(QStringLiteral("Motion limits '%1' must be between %2 and %3 (speeds in rad/s, "
                                        "accelerations in rad/s²).")
                             .arg(name)
                             .arg(MotionLimits::kMinLimit)
                             .arg(MotionLimits::kMaxLimit));
}

MotionLimits::MotionLimits(Project* project, const QString& name, const Eigen::VectorXd& joint_velocity,
                           const Eigen::VectorXd& joint_acceleration)
    : Variable(project, name) {
    checkLimits(name, joint_velocity, joint_acceleration);
    m_velocity = joint_velocity;
    m_acceleration = joint_acceleration;
    _register();
}

void MotionLimits::setLimits(const Eigen::VectorXd& joint_velocity,
                             const Eigen::VectorXd& joint_acceleration) {
    checkLimits(name(), joint_velocity, joint_acceleration);
    m_velocity = joint_velocity;
    m_acceleration = joint_acceleration;
    touch();
}

void MotionLimits::writeJson(QJsonObject& json) const {
    json.insert(QStringLiteral("joint_velocity"), toJson(m_velocity));
    json.insert(QStringLiteral("joint_acceleration"), toJson(m_acceleration));
}

JointPositionTarget::JointPositionTarget(Project* project, const QString& name,
                                         std::unique_ptr<Distribution> joint_positions)
    : Variable(project, name) {
    if (!joint_positions)
        throw ValueError(
            QStringLiteral("Joint-position target '%1' needs a distribution of joint positions.").arg(name));
    m_distribution = std::move(joint_positions);
    _register();
}

void JointPositionTarget::setJointPositions(std::unique_ptr<Distribution> joint_positions) {
    if (!joint_positions)
        throw ValueError(QStringLiteral("Joint-position target '%1' needs a distribution of joint positions.")
                             .arg(name()));
    m_distribution = std::move(joint_positions);
    touch();
}

void JointPositionTarget::writeJson(QJsonObject& json) const {
    json.insert(QStringLiteral("joint_positions"), m_distribution->toJson());
}

TaskRegionTarget::TaskRegionTarget(Project* project, const QString& name,
                                   std::unique_ptr<PoseGenerator> pose_generator,
                                   std::unique_ptr<Distribution> seed_joint_positions)
    : Variable(project, name) {
    if (!pose_generator)
        throw ValueError(QStringLiteral("Task-region target '%1' needs a pose generator.").arg(name));
    if (pose_generator->project() != project)
        throw ValueError(
            QStringLiteral("The pose generator of task-region target '%1' belongs to another project.")
                .arg(name));
    m_generator = std::move(pose_generator);
    m_seed = std::move(seed_joint_positions);
    _register();
    m_generator->_setOwner(this);
}

void TaskRegionTarget::setSeedJointPositions(std::unique_ptr<Distribution> seed) {
    m_seed = std::move(seed);
    touch();
}

void TaskRegionTarget::writeJson(QJsonObject& json) const {
    json.insert(QStringLiteral("pose_generator"), m_generator->toJson());
    json.insert(QStringLiteral("seed_joint_positions"), m_seed ? QJsonValue(m_seed->toJson()) : QJsonValue());
}

static void checkWeights(const QString& name, const QStringList& targets,
                         const std::vector<double>& weights) {
    if (targets.size() > MotionLimits::kMaxJoints)
        throw ValueError(QStringLiteral("Mixture target '%1' has %2 components; it may have at most %3.")
                             .arg(name)
                             .arg(targets.size())
                             .arg(MotionLimits::kMaxJoints));
    if (targets.isEmpty() || static_cast<size_t>(targets.size()) != weights.size())
        throw ValueError(
            QStringLiteral("Mixture target '%1' needs one weight per component (got %2 components "
                           "and %3 weights).")
                .arg(name)
                .arg(targets.size())
                .arg(weights.size()));
    for (double w : weights)
        if (!std::isfinite(w) || w < 0)
            throw ValueError(
                QStringLiteral("The weights of mixture target '%1' must be finite and not negative.")
                    .arg(name));
}

MixtureTarget::MixtureTarget(Project* project, const QString& name, const QStringList& target_generators,
                             const std::vector<double>& weights)
    : Variable(project, name) {
    checkWeights(name, target_generators, weights);
    m_targets = target_generators;
    m_weights = weights;
    _register();
}

void MixtureTarget::checkTargets(const QStringList& targets) const {
    for (const QString& t : targets) {
        if (t.isEmpty())
            continue;
        const Variable* v = project()->findVariable(t);
        if (!v)
            throw NotFoundError(QStringLiteral("Mixture target '%1' names target '%2', which does not exist.")
                                    .arg(name(), t));
        if (v == this || (!v->type().inherits(JointPositionTarget::staticType()) &&
                          !v->type().inherits(TaskRegionTarget::staticType())))
            throw ValueError(
                QStringLiteral("Mixture target '%1' can mix only joint-position and task-region targets, "
                               "not '%2'.")
                    .arg(name(), t));
    }
}

void MixtureTarget::setComponents(const QStringList& target_generators, const std::vector<double>& weights) {
    checkWeights(name(), target_generators, weights);
    checkTargets(target_generators);
    m_targets = target_generators;
    m_weights = weights;
    touch();
}

void MixtureTarget::writeJson(QJsonObject& json) const {
    QJsonArray targets;
    for (const QString& t : m_targets)
        targets.append(t);
    json.insert(QStringLiteral("target_generators"), targets);
    json.insert(QStringLiteral("weights"), toJson(m_weights));
}

void MixtureTarget::resolveReferences(const JsonContext& ctx) {
    try {
        checkTargets(m_targets);
    } catch (const Error& e) {
        ctx.failField(QStringLiteral("target_generators"), QStringLiteral("is wrong: ") + e.message());
    }
}

void MixtureTarget::_renameReference(const QString& from, const QString& to) {
    for (QString& t : m_targets) {
        if (t == from) {
            t = to;
            touch();
        }
    }
}

} // namespace kestrin
