#pragma once
// Where an object goes when it is added, pasted or set down: a free spot near a point (on a
// desk's top when the point is over a desk the object fits on), and the surface below an object.
// Lengths in metres, world axes; z points up and the floor is at z = 0.

#include <Eigen/Core>

namespace kestrin {

class Desk;
class Workspace;
class WorkspaceObject;

/// The rectangle, along world x and y, that an object takes up where it stands: its body turned
/// by its yaw; a robot keeps the square its arm sweeps near its base clear, as on the floor grid.
struct Footprint {
    Eigen::Vector2d min = Eigen::Vector2d::Zero();
    Eigen::Vector2d max = Eigen::Vector2d::Zero();
    /// True when the two rectangles, each grown by `margin`, share more than an edge.
    bool overlaps(const Footprint& other, double margin) const;
    bool contains(const Eigen::Vector2d& point) const;
};
/// The footprint of `object` were its origin at `position` (its orientation as it is).
Footprint footprintAt(const WorkspaceObject& object, const Eigen::Vector3d& position);

/// How far the object's origin sits above its underside when it rests on a surface (a box
/// centred on its pose: half its height; a robot, a desk, an effector: 0).
double baseHeight(const WorkspaceObject& object);
/// How tall the object stands above its underside.
double standingHeight(const WorkspaceObject& object);

/// A surface to rest on: a desk's top, or the floor (desk nullptr, height 0).
struct Surface {
    double height = 0;
    const Desk* desk = nullptr;
};
/// The highest surface at `point`'s x and y whose height is at most `point`'s z (within 1 mm),
/// leaving `ignore` out.
Surface surfaceBelow(const Workspace& workspace, const Eigen::Vector3d& point,
                     const WorkspaceObject* ignore = nullptr);
/// Where a ray (from `origin` along `direction`) first meets a desk's top or the floor; when it
/// meets neither (it points up), the point below `origin` on the floor.
Eigen::Vector3d surfaceAlongRay(const Workspace& workspace, const Eigen::Vector3d& origin,
                                const Eigen::Vector3d& direction);

/// A place found for an object.
struct Spot {
    Eigen::Vector3d position = Eigen::Vector3d::Zero();
    /// The desk whose top it rests on; nullptr: the floor.
    const Desk* desk = nullptr;
    /// False when no free spot was found within kSearchRadius: the object then stays where it was.
    bool found = false;
};
/// How far from the point asked for placeNear looks for a free spot.
constexpr double kSearchRadius = 12.0;

/// The free spot nearest `near` (x and y; its z is ignored) where `object`, resting on the
/// surface there, overlaps no other object: on the top of the desk under `near` when there is
/// one and the object fits on it, else on the floor. Solid objects keep clear of solid ones and
/// task regions of task regions. Objects carried by a robot (tool frames, mounted effectors,
/// held items) neither count nor are placed.
Spot findSpotNear(const WorkspaceObject& object, const Eigen::Vector3d& near);
/// findSpotNear, and moves the object there (its orientation kept) when a spot was found.
Spot placeNear(WorkspaceObject& object, const Eigen::Vector3d& near);

/// Lowers (or raises) `object` so that its underside rests on the surface below it: the highest
/// desk top under its origin that is not above its underside, or the floor. Returns that surface.
Surface restOnSurfaceBelow(WorkspaceObject& object);

} // namespace kestrin
