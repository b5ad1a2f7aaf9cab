#pragma once

#include "workspace_object.h"

#include <vector>

namespace kestrin {

class Robot;

/// An end effector (gripper). It stands in the cell on its own until mounted on a robot's
/// flange; then it follows the robot.
class Effector : public WorkspaceObject {
public:
    static const Type& staticType();

    Robot* robot() const { return m_robot; }
    /// Mounts the effector on `robot`'s flange, or unmounts it with nullptr.
    void mountOn(Robot* robot);
    /// Where the effector sits on the flange, in the flange's frame.
    const Transform& mount() const { return m_mount; }
    /// Tool centre point in the effector's own frame (where a tool frame usually goes).
    const Transform& toolCentre() const { return m_tcp; }

    /// A box in the effector's own frame (its pose is the middle of its body).
    struct Box {
        Eigen::Vector3d centre;
        Eigen::Vector3d extent;
    };
    /// The fingers as the view draws them and collisions see them: they reach on from the
    /// body's far side to the tool centre and spread along its longer side (none when the tool
    /// centre is within the body).
    std::vector<Box> fingers() const;

    Pose pose() const override;
    bool occupiesFloor() const override { return m_robot == nullptr; }

    void writeJson(QJsonObject& json) const override;
    void readJson(const QJsonObject& json, const JsonContext& ctx) override;
    void resolveReferences(const JsonContext& ctx) override;

protected:
    Effector(Workspace* workspace, const QString& name, const Eigen::Vector3d& size, const Transform& mount,
             const Transform& tcp);

private:
    Robot* m_robot = nullptr;
    friend class UndoRestore;
    Transform m_mount;
    Transform m_tcp;
    QString m_pendingRobot;
};

/// Robotiq 2F-85 two-finger gripper.
class RobotiqGripper2F85 final : public Effector {
    KESTRIN_TYPE
public:
    RobotiqGripper2F85(Workspace* workspace, const QString& name);
};

/// Franka Hand, the Panda's own gripper.
class FrankaHand final : public Effector {
    KESTRIN_TYPE
public:
    FrankaHand(Workspace* workspace, const QString& name);
};

} // namespace kestrin
