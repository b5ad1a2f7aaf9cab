#include "pose_generator.h"

#include "error.h"
#include "items.h"
#include "json_io.h"
#include "project.h"
#include "type.h"
#include "variable.h"
#include "workspace.h"

#include <cmath>

namespace kestrin {

namespace {
constexpr double kPi = 3.14159265358979323846;
}

const Type& PoseGenerator::staticType() {
    static const Type t("PoseGenerator", nullptr);
    return t;
}

PoseGenerator::PoseGenerator(Project* project) : m_project(project) {
    if (!project)
        throw ValueError(QStringLiteral("A pose generator must be created for a project."));
}

void PoseGenerator::setTaskRegion(const QString& name) {
    if (!name.isEmpty() && !m_project->workspace()->findTaskRegion(name))
        throw NotFoundError(QStringLiteral("There is no task region named '%1' in the cell.").arg(name));
    m_taskRegion = name;
    if (m_owner)
        m_owner->_partChanged();
}

void PoseGenerator::setYawRange(double radians) {
    if (!std::isfinite(radians) || radians < 0 || radians > kPi)
        throw ValueError(QStringLiteral("The yaw range must be between 0 and 180 degrees."));
    m_yawRange = radians;
    if (m_owner)
        m_owner->_partChanged();
}

Pose PoseGenerator::sample(RandomGenerator& rng) const {
    if (m_taskRegion.isEmpty())
        throw NotFoundError(QStringLiteral("No task region was chosen to draw target poses from."));
    const TaskRegion* region = m_project->workspace()->findTaskRegion(m_taskRegion);
    if (!region)
        throw NotFoundError(QStringLiteral("Task region '%1' no longer exists.").arg(m_taskRegion));
    const Eigen::Vector3d half = region->size() / 2;
    Eigen::Vector3d local;
    for (int i = 0; i < 3; ++i)
        local[i] = std::uniform_real_distribution<double>(-half[i], half[i])(rng);
    const double yaw =
        m_yawRange > 0 ? std::uniform_real_distribution<double>(-m_yawRange, m_yawRange)(rng) : 0.0;
    const Pose regionPose = region->pose();
    Pose p = Pose::Identity();
    p.translation() = regionPose * local;
    // Tool z pointing down, turned about the world's vertical by the region's yaw plus the draw.
    const Eigen::Vector3d x = regionPose.linear().col(0);
    const double regionYaw = std::atan2(x.y(), x.x());
    p.linear() = (Eigen::AngleAxisd(regionYaw + yaw, Eigen::Vector3d::UnitZ()) *
                  Eigen::AngleAxisd(kPi, Eigen::Vector3d::UnitX()))
                     .toRotationMatrix();
    return p;
}

std::unique_ptr<PoseGenerator> PoseGenerator::clone(Project* project) const {
    auto g = std::make_unique<PoseGenerator>(project);
    g->m_taskRegion = m_taskRegion;
    g->m_yawRange = m_yawRange;
    return g;
}

bool PoseGenerator::equals(const PoseGenerator& other) const {
    return m_taskRegion == other.m_taskRegion && m_yawRange == other.m_yawRange;
}

QJsonObject PoseGenerator::toJson() const {
    return QJsonObject{{QStringLiteral("task_region"), m_taskRegion},
                       {QStringLiteral("yaw_range"), m_yawRange}};
}

std::unique_ptr<PoseGenerator> PoseGenerator::fromJson(Project* project, const QJsonObject& json,
                                                       const JsonContext& ctx) {
    auto g = std::make_unique<PoseGenerator>(project);
    try {
        g->setTaskRegion(ctx.readOptionalString(json, QStringLiteral("task_region")));
        g->setYawRange(ctx.readNumber(json, QStringLiteral("yaw_range")));
    } catch (const FormatError&) {
        throw;
    } catch (const Error& e) {
        ctx.fail(e.message());
    }
    return g;
}

bool PoseGenerator::_renameTaskRegion(const QString& from, const QString& to) {
    if (m_taskRegion != from)
        return false;
    m_taskRegion = to;
    return true;
}

} // namespace kestrin
