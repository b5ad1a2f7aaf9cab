#pragma once
// Robot arms with their published kinematics. Joint positions are in radians, joint speeds in
// radians per second, accelerations in radians per second squared, lengths in metres.

#include "mesh.h"
#include "workspace_object.h"

#include <QStringList>

#include <Eigen/Core>
#include <array>
#include <memory>
#include <optional>
#include <vector>

namespace kestrin {

class Effector;
class ToolFrame;

/// A joint's ball is this many times as wide as its links' tubes (see Robot::linkRadius).
constexpr double kJointBallScale = 1.35;

/// A solid of a robot's link, in the frame of the link: a box (size: its extents), a cylinder
/// along z (size: diameter, diameter, length), a ball (size: its diameter three times) or a mesh
/// scaled per axis.
struct LinkShape {
    enum class Kind { Box, Cylinder, Sphere, Mesh };
    Kind kind = Kind::Box;
    Pose origin = Pose::Identity();
    Eigen::Vector3d size = Eigen::Vector3d::Zero();
    MeshRef mesh;
    Eigen::Vector3d scale = Eigen::Vector3d::Ones();
};

class Robot : public WorkspaceObject {
public:
    ObjectKind kind() const override { return ObjectKind::Robot; }
    /// Link parameters of one model; see the model classes for their sources.
    struct Model {
        /// DH tables, or a chain of joints each placed by its origin (imported robots).
        enum class Convention { StandardDH, ModifiedDH, Joints };
        Convention convention;
        /// Per row: a, alpha, d (standard DH: one row per joint; modified DH: one row per joint
        /// plus the flange row, each as (a_{i-1}, alpha_{i-1}, d_i)).
        std::vector<std::array<double, 3>> rows;
        /// Joints convention: from the base to the flange, each joint's origin in the frame
        /// before it and, for a joint that turns, its axis in its own frame; a fixed joint has
        /// no axis (zero) and takes no joint position.
        struct Joint {
            Pose origin = Pose::Identity();
            Eigen::Vector3d axis = Eigen::Vector3d::Zero();
        };
        std::vector<Joint> joints;
        /// What the robot looks like and what is solid of it, per pose of linkFrames (the base
        /// first). Empty for the built-in models, which are drawn and checked as balls and
        /// tubes along their links.
        std::vector<std::vector<LinkShape>> visuals, collisions;
        std::vector<double> lower, upper, velocity, acceleration, home;
        Eigen::Vector3d baseSize;
        /// Usual names of the links, the base first, then the link each joint turns.
        QStringList linkNames;
    };
    ~Robot() override;
    static const Type& staticType();

    int getNumDofs() const;
    const Eigen::VectorXd& jointPositions() const { return m_q; }
    /// Throws ValueError naming the joint when `q` has the wrong size, is not finite, or leaves
    /// a joint's limits.
    void setJointPositions(const Eigen::VectorXd& q);
    /// Throws like setJointPositions; returns normally when `q` is a valid configuration.
    void checkJointPositions(const Eigen::VectorXd& q) const;

    const Eigen::VectorXd& lowerLimits() const;
    const Eigen::VectorXd& upperLimits() const;
    const Eigen::VectorXd& maxJointVelocities() const;
    const Eigen::VectorXd& maxJointAccelerations() const;
    const Eigen::VectorXd& homePositions() const;
    /// Reach from the first joint's axis, for placement and camera fitting.
    double reach() const;
    /// Radius of the tubes the links are drawn as, and collision-checked as, in metres; the
    /// joints are balls kJointBallScale times as wide.
    double linkRadius() const;

    /// Flange pose in the robot's base frame for joint positions `q`.
    Pose flangeInBase(const Eigen::VectorXd& q) const;
    /// Flange pose in the world at the current joint positions.
    Pose flangePose() const;
    /// World poses of the base and of the frame after each segment, base first, flange last.
    std::vector<Pose> linkFrames(const Eigen::VectorXd& q) const;
    /// For each pose of linkFrames: the link it is fixed to, 0 for the base and j for the link
    /// that joint j turns. (A modified-DH model's first segment is fixed to the base.)
    std::vector<int> frameLinks() const;
    /// The usual name of a link, 0 being the base: "base", "shoulder", ... "wrist 3" for the UR
    /// arms, "link 0" to "link 7" for the Panda, the description's names for imported robots.
    QString linkName(int link) const;
    /// Shapes to draw and to check, per pose of linkFrames; empty for the built-in models (see
    /// Model::visuals).
    const std::vector<std::vector<LinkShape>>& visualShapes() const;
    const std::vector<std::vector<LinkShape>>& collisionShapes() const;
    /// Robots with equal keys have the same model: the collision checker works out once per key
    /// which link pairs never need checking.
    virtual QString modelKey() const { return type().name(); }
    /// The meshes the robot is drawn or checked with.
    std::vector<MeshRef> meshes() const override;
    /// Joint positions within the limits that put the flange at `flangeWorld`, starting the
    /// search at `seed`; no value when none was found.
    std::optional<Eigen::VectorXd> solveIK(const Pose& flangeWorld, const Eigen::VectorXd& seed) const;
    /// Like solveIK, but searches from `seed` alone, as a jog does: the solution the search
    /// reaches from there, within the limits, or no value.
    std::optional<Eigen::VectorXd> solveIKNear(const Pose& flangeWorld, const Eigen::VectorXd& seed) const;

    /// Attaches a tool frame to this robot's flange (moving it from another robot if needed).
    /// Throws ValueError for a frame of another workspace.
    void addToolFrame(ToolFrame* toolFrame);
    /// Names of the tool frames on this robot, in the order they were attached.
    QStringList getToolFrames() const;
    const std::vector<ToolFrame*>& toolFrames() const { return m_toolFrames; }
    /// Effectors mounted on this robot's flange, in the order they were mounted.
    const std::vector<Effector*>& mountedEffectors() const { return m_mounted; }

    void writeJson(QJsonObject& json) const override;
    void readJson(const QJsonObject& json, const JsonContext& ctx) override;
    void finishLoading(const JsonContext& ctx) override;

    void _detachToolFrame(ToolFrame* toolFrame);
    /// Kept by Effector::mountOn.
    void _effectorMounted(Effector* effector, bool mounted);

protected:
    Robot(Workspace* workspace, const QString& name, const Model& model);
    void ridersMoved() override;
    /// Makes the robot one of `model`, at its home position (loading an imported robot).
    void setModel(const Model& model);

private:
    struct Kinematics;
    std::unique_ptr<Kinematics> m_kin;
    Eigen::VectorXd m_q;
    std::vector<ToolFrame*> m_toolFrames;
    std::vector<Effector*> m_mounted;
    QStringList m_pendingToolFrameOrder;
    friend class UndoRestore;
};

/// Franka Emika Panda, 7 joints (modified DH, the maker's FCI figures).
class FrankaPandaRobot final : public Robot {
    KESTRIN_TYPE
public:
    FrankaPandaRobot(Workspace* workspace, const QString& name);
};

/// Universal Robots UR3e, 6 joints (standard DH).
class UR3eRobot final : public Robot {
    KESTRIN_TYPE
public:
    UR3eRobot(Workspace* workspace, const QString& name);
};

/// Universal Robots UR5e, 6 joints (standard DH).
class UR5eRobot final : public Robot {
    KESTRIN_TYPE
public:
    UR5eRobot(Workspace* workspace, const QString& name);
};

/// Universal Robots UR10e, 6 joints (standard DH).
class UR10eRobot final : public Robot {
    KESTRIN_TYPE
public:
    UR10eRobot(Workspace* workspace, const QString& name);
};

} // namespace kestrin
