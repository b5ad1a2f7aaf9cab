#pragma once

#include "workspace_object.h"

namespace kestrin {

class CustomItem;
class Robot;

/// A frame fixed to a robot's flange at an offset, such as a gripper's tool centre point.
/// Until Robot::addToolFrame attaches it, a tool frame is not part of the cell: it is neither
/// listed, drawn nor saved.
class ToolFrame final : public WorkspaceObject {
    KESTRIN_TYPE
public:
    ToolFrame(Workspace* workspace, const QString& name);

    Robot* robot() const { return m_robot; }
    /// Offset from the flange, in the flange's frame.
    const Transform& offset() const { return m_offset; }
    void setOffset(const Pose& offset);
    void setOffset(const Transform& offset);

    Pose pose() const override;
    bool isListed() const override { return m_robot != nullptr; }
    bool occupiesFloor() const override { return false; }

    void writeJson(QJsonObject& json) const override;
    void readJson(const QJsonObject& json, const JsonContext& ctx) override;
    void resolveReferences(const JsonContext& ctx) override;

    void _setRobot(Robot* robot);

    /// Items the frame holds, in the order they were taken.
    const std::vector<CustomItem*>& heldItems() const { return m_held; }
    /// Kept by CustomItem::holdWith.
    void _itemHeld(CustomItem* item, bool held);

protected:
    void ridersMoved() override;

private:
    Robot* m_robot = nullptr;
    Transform m_offset;
    QString m_pendingRobot;
    std::vector<CustomItem*> m_held;
    friend class UndoRestore;
};

} // namespace kestrin
