#pragma once
// Collision checking of the work cell. The solids are the shapes the 3-D view draws: a robot's
// base box, its links as capsules round the drawn link segments with a ball on each joint,
// effectors with their fingers, items, desks (top and legs), cameras and markers. Task regions
// and tool frames are not solid. Lengths in metres, points in the world frame.

#include <Eigen/Core>
#include <QString>

#include <memory>
#include <optional>
#include <vector>

namespace kestrin {

class Robot;
class Workspace;
class WorkspaceObject;

/// Two solids that touch, or come closer than the clearance.
struct Contact {
    /// The moving side: a robot, an effector on a robot's flange, or an item attached to a robot.
    const WorkspaceObject* a = nullptr;
    /// Which part of `a`: a robot link by its usual name (Robot::linkName); empty for an object
    /// in one piece (an effector with its fingers, an item).
    QString partA;
    /// The other side; `a` itself when a robot hits itself.
    const WorkspaceObject* b = nullptr;
    /// Which part of `b`, as for `a`; "top" or "leg 1" to "leg 4" of a desk.
    QString partB;
    /// Where they meet: a point of both when they touch, else halfway between their nearest points.
    Eigen::Vector3d point = Eigen::Vector3d::Zero();
    /// 0 when they touch; otherwise how far apart they are (less than the clearance).
    double distance = 0;
};

/// The contact in words for the user: "UR5e's forearm hits desk 'Work Desk'", "UR5e's wrist 3
/// hits its own base", "gripper 'Hand' comes within 4.2 mm of item 'Box'".
QString describeContact(const Contact& contact);

/// Where along a move a robot first collides.
struct PathContact {
    /// How far along the move: 0 at its start, 1 at its end.
    double fraction = 0;
    /// The joint positions there.
    Eigen::VectorXd joints;
    /// The contacts there; never empty.
    std::vector<Contact> contacts;
};

/// The cell's solids in one broad phase (FCL's dynamic AABB tree), kept in step with the
/// workspace. Each check first brings the world up to date: objects are re-listed only when the
/// workspace's structure changed (objects added, removed, mounted); otherwise only the objects
/// the workspace reported changed (as a WorkspaceObserver), and what rides on robots that moved,
/// are placed again.
///
/// Which pairs count:
/// - A robot, with what it carries (effectors on its flange, attached items), against all else:
///   other robots and what they carry, and every solid standing in the cell.
/// - A robot against itself, except links next to each other (the base and the first link
///   among them) and links that the arm's build keeps touching whatever its joint positions
///   (such as a UR's wrists 1 and 3); the latter are found once per model by sampling.
/// - What a robot carries against its links, except the link it rides on and the last link.
///   Things the same robot carries are not checked against each other (an item attached to a
///   robot against its gripper, say).
/// - Solids that no robot carries are never checked against each other (a desk and an item),
///   nor a robot's base against them: it stays where it stands.
///
/// The clearance: solids of different objects closer than it count as a contact (measured by
/// FCL's distance query between the exact shapes). A robot's own links and what it carries
/// count against each other only when they touch.
///
/// The world observes the workspace and must not outlive it. Checks bring the world up to
/// date, so they are not const and not for use from several threads at once.
class CollisionWorld {
public:
    /// Throws ValueError for a null workspace.
    explicit CollisionWorld(const Workspace* workspace);
    ~CollisionWorld();
    CollisionWorld(const CollisionWorld&) = delete;
    CollisionWorld& operator=(const CollisionWorld&) = delete;

    /// Throws ValueError unless `metres` is finite and not negative. Default 0.
    void setClearance(double metres);
    double clearance() const;

    /// Contacts between these two objects are not reported until clearIgnoredContacts (an item
    /// just grasped, say, against the desk it stood on).
    void ignoreContacts(const WorkspaceObject* a, const WorkspaceObject* b);
    void clearIgnoredContacts();

    /// All contacts in the cell as it is: robots against themselves, each other and the cell.
    std::vector<Contact> check();
    /// The contacts `robot` and what it carries would have at joint positions `q`, everything
    /// else as it is. Throws ValueError when the robot is not in the cell or `q` is not a valid
    /// configuration of it (see Robot::checkJointPositions).
    std::vector<Contact> checkRobotAt(const Robot* robot, const Eigen::VectorXd& q);

    /// From now on `item` rides on `link` of `robot` (-1: the last link, where a gripper holds
    /// it), keeping the pose it has relative to that link whenever it is checked: it is checked
    /// like a part of the robot. Attaching again moves the attachment. Throws ValueError when
    /// either is not in the cell, `item` is a robot, or the link is out of range.
    void attach(const WorkspaceObject* item, const Robot* robot, int link = -1);
    /// Ends an attachment; does nothing for an item not attached. An attachment also ends when
    /// either object leaves the cell.
    void detach(const WorkspaceObject* item);

    /// How many equal steps the straight joint-space move from `qa` to `qb` needs so that no
    /// point of the robot or of what it carries moves further than `maxTravel` between two
    /// checks, at least 1. A bound: each joint's turn times the farthest any point it moves can
    /// be from its axis. Throws ValueError like checkRobotAt, or unless `maxTravel` is positive.
    int stepsAlong(const Robot* robot, const Eigen::VectorXd& qa, const Eigen::VectorXd& qb,
                   double maxTravel);
    /// Checks the move from `qa` to `qb`, in order: where the robot first collides, or no value
    /// when the whole move is free. The checks are never further apart than stepsAlong's steps,
    /// and further only where the way is certainly clear: each check also measures how far the
    /// robot's solids are from what they could hit (up to 10 cm round each), and the next check
    /// comes before any point could have travelled that far. Without `checkEnd`, `qb` itself is
    /// left out, for a caller that goes on from there with another move (which checks its start).
    /// Throws like stepsAlong.
    std::optional<PathContact> firstContactAlong(const Robot* robot, const Eigen::VectorXd& qa,
                                                 const Eigen::VectorXd& qb, double maxTravel = 0.005,
                                                 bool checkEnd = true);

    /// How many positions the last firstContactAlong checked.
    int _checksAlong() const;

private:
    struct Impl;
    std::unique_ptr<Impl> d;
};

} // namespace kestrin
