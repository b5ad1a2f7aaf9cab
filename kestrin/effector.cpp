#include "effector.h"

#include "error.h"
#include "json_io.h"
#include "robot.h"
#include "workspace.h"

#include <cmath>

namespace kestrin {

const Type& Effector::staticType() {
    static const Type t("Effector", &WorkspaceObject::staticType());
    return t;
}

Effector::Effector(Workspace* workspace, const QString& name, const Eigen::Vector3d& size,
                   const Transform& mount, const Transform& tcp)
    : WorkspaceObject(workspace, name, Category::Effector, size), m_mount(mount), m_tcp(tcp) {
    m_transform.position.z() = size.z() / 2;
}

void Effector::mountOn(Robot* robot) {
    if (robot && robot->workspace() != workspace())
        throw ValueError(QStringLiteral("Robot '%1' is in another project than effector '%2'.")
                             .arg(robot->name(), name()));
    if (robot == m_robot)
        return;
    if (m_robot && !robot) {
        // Stay where the flange held it rather than jump back to an old spot.
        const Pose here = pose();
        m_transform = keptWithinCell(Transform::fromPose(here));
    }
    if (m_robot)
        m_robot->_effectorMounted(this, false);
    m_robot = robot;
    if (robot)
        robot->_effectorMounted(this, true);
    touch();
    workspace()->_updateFloor(this);
    workspace()->_structureChanged();
}

std::vector<Effector::Box> Effector::fingers() const {
    const Eigen::Vector3d& body = size();
    const Eigen::Vector3d& tcp = m_tcp.position;
    const double length = tcp.z() - body.z();
    if (length <= 0.005)
        return {};
    const bool alongX = body.x() >= body.y();
    const double spread = 0.3 * (alongX ? body.x() : body.y());
    const double thin = 0.012;
    const double wide = 0.4 * (alongX ? body.y() : body.x());
    const Eigen::Vector3d extent =
        alongX ? Eigen::Vector3d(thin, wide, length) : Eigen::Vector3d(wide, thin, length);
    std::vector<Box> boxes;
    for (double side : {-1.0, 1.0}) {
        const Eigen::Vector3d offset =
            alongX ? Eigen::Vector3d(side * spread, 0, 0) : Eigen::Vector3d(0, side * spread, 0);
        boxes.push_back({offset + Eigen::Vector3d(tcp.x(), tcp.y(), body.z() / 2 + length / 2), extent});
    }
    return boxes;
}

Pose Effector::pose() const {
    if (!m_robot)
        return WorkspaceObject::pose();
    // The body's pose is its centre; its base sits on the flange.
    Pose centre = Pose::Identity();
    centre.translation().z() = size().z() / 2;
    return m_robot->flangePose() * m_mount.toPose() * centre;
}

void Effector::writeJson(QJsonObject& json) const {
    if (m_robot)
        json.insert(QStringLiteral("robot"), m_robot->name());
}

void Effector::readJson(const QJsonObject& json, const JsonContext& ctx) {
    m_pendingRobot = ctx.readOptionalString(json, QStringLiteral("robot"));
}

void Effector::resolveReferences(const JsonContext& ctx) {
    if (m_pendingRobot.isEmpty())
        return;
    Robot* robot = workspace()->findRobot(m_pendingRobot);
    if (!robot)
        ctx.failField(QStringLiteral("robot"),
                      QStringLiteral("names robot '%1', which is not in the file").arg(m_pendingRobot));
    mountOn(robot);
    m_pendingRobot.clear();
}

namespace {
Transform mountAbout(double yaw) {
    Transform t;
    t.orientation = Eigen::Quaterniond(Eigen::AngleAxisd(yaw, Eigen::Vector3d::UnitZ()));
    return t;
}
Transform tcpAt(double z) {
    Transform t;
    t.position.z() = z;
    return t;
}
constexpr double kPi = 3.14159265358979323846;
} // namespace

KESTRIN_DEFINE_TYPE(RobotiqGripper2F85, Effector, nullptr, &detail::makeObject<RobotiqGripper2F85>)
KESTRIN_DEFINE_TYPE(FrankaHand, Effector, nullptr, &detail::makeObject<FrankaHand>)

RobotiqGripper2F85::RobotiqGripper2F85(Workspace* workspace, const QString& name)
    : Effector(workspace, name, Eigen::Vector3d(0.085, 0.075, 0.093), mountAbout(0), tcpAt(0.149)) {
    _register();
}

FrankaHand::FrankaHand(Workspace* workspace, const QString& name)
    : Effector(workspace, name, Eigen::Vector3d(0.063, 0.204, 0.066), mountAbout(-kPi / 4), tcpAt(0.1034)) {
    _register();
}

} // namespace kestrin
