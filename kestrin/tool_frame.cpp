#include "tool_frame.h"

#include "error.h"
#include "items.h"
#include "json_io.h"
#include "robot.h"
#include "workspace.h"

namespace kestrin {

KESTRIN_DEFINE_TYPE(ToolFrame, WorkspaceObject, nullptr, &detail::makeObject<ToolFrame>)

ToolFrame::ToolFrame(Workspace* workspace, const QString& name)
    : WorkspaceObject(workspace, name, Category::ToolFrame, Eigen::Vector3d(0.05, 0.05, 0.05)) {
    _register();
}

void ToolFrame::setOffset(const Pose& offset) {
    if (!isValidPose(offset))
        throw ValueError(
            QStringLiteral("The offset of tool frame '%1' must be finite and rigid.").arg(name()));
    setOffset(Transform::fromPose(offset));
}

void ToolFrame::setOffset(const Transform& offset) {
    if (!offset.position.allFinite() || !offset.orientation.coeffs().allFinite() ||
        std::abs(offset.orientation.norm() - 1.0) > 1e-6)
        throw ValueError(
            QStringLiteral("The offset of tool frame '%1' must be finite with a unit orientation.")
                .arg(name()));
    if ((offset.position.array().abs() > kMaxObjectSize).any())
        throw ValueError(
            QStringLiteral("The offset of tool frame '%1' must be within %2 m of the flange in x, y and "
                           "z.")
                .arg(name())
                .arg(kMaxObjectSize));
    m_offset = offset;
    touch();
    ridersMoved();
}

void ToolFrame::ridersMoved() {
    // What the frame holds moves with it (off a robot it holds nothing: see _setRobot).
    for (CustomItem* item : m_held)
        item->_carriedMoved();
}

void ToolFrame::_itemHeld(CustomItem* item, bool held) {
    m_held.erase(std::remove(m_held.begin(), m_held.end(), item), m_held.end());
    if (held)
        m_held.push_back(item);
}

Pose ToolFrame::pose() const {
    if (!m_robot)
        return WorkspaceObject::pose();
    return m_robot->flangePose() * m_offset.toPose();
}

void ToolFrame::_setRobot(Robot* robot) {
    if (!robot && m_robot) {
        // Let go where the frame is now, while it still knows its robot.
        const std::vector<CustomItem*> held = m_held;
        for (CustomItem* item : held)
            item->holdWith(nullptr);
    }
    m_robot = robot;
    touch();
    ridersMoved();
}

void ToolFrame::writeJson(QJsonObject& json) const {
    json.insert(QStringLiteral("robot"), m_robot ? m_robot->name() : QString());
    json.insert(QStringLiteral("offset"), toJson(m_offset));
}

void ToolFrame::readJson(const QJsonObject& json, const JsonContext& ctx) {
    m_pendingRobot = ctx.readString(json, QStringLiteral("robot"));
    m_offset = ctx.readPose(json, QStringLiteral("offset"));
    if ((m_offset.position.array().abs() > kMaxObjectSize).any())
        ctx.field(QStringLiteral("offset"))
            .failField(QStringLiteral("position"),
                       QStringLiteral("must be within %1 m of the flange in x, y and z").arg(kMaxObjectSize));
}

void ToolFrame::resolveReferences(const JsonContext& ctx) {
    Robot* robot = workspace()->findRobot(m_pendingRobot);
    if (!robot)
        ctx.failField(QStringLiteral("robot"),
                      QStringLiteral("names robot '%1', which is not in the file").arg(m_pendingRobot));
    robot->addToolFrame(this);
    m_pendingRobot.clear();
}

} // namespace kestrin
