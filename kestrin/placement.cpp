#include "placement.h"

#include "effector.h"
#include "items.h"
#include "robot.h"
#include "tool_frame.h"
#include "workspace.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

namespace kestrin {

namespace {

constexpr double kStep = 0.05;      // spacing of the spots tried
constexpr double kMargin = 0.05;    // free space kept around each footprint
constexpr double kTolerance = 1e-3; // a surface this far above the underside still counts as below

/// Robots stand this tall for overlap in height (the arm folded over its base).
constexpr double kRobotHeight = 1.0;

bool isCarried(const WorkspaceObject& object) {
    return !object.isListed() || object.category() == Category::ToolFrame ||
           (object.kind() != ObjectKind::TaskRegion && !object.occupiesFloor());
}

bool isRegion(const WorkspaceObject& object) {
    return object.kind() == ObjectKind::TaskRegion;
}

struct Body {
    Footprint footprint;
    double bottom, top;
};

Body bodyAt(const WorkspaceObject& object, const Eigen::Vector3d& position) {
    const double bottom = position.z() - baseHeight(object);
    return Body{footprintAt(object, position), bottom, bottom + standingHeight(object)};
}

} // namespace

bool Footprint::overlaps(const Footprint& other, double margin) const {
    return (min.array() - margin < other.max.array() + margin - 1e-9).all() &&
           (other.min.array() - margin < max.array() + margin - 1e-9).all();
}

bool Footprint::contains(const Eigen::Vector2d& point) const {
    return (point.array() >= min.array()).all() && (point.array() <= max.array()).all();
}

Footprint footprintAt(const WorkspaceObject& object, const Eigen::Vector3d& position) {
    double hx = object.size().x() / 2, hy = object.size().y() / 2;
    if (object.category() == Category::Robot) {
        hx = hy = std::max(0.3, static_cast<const Robot&>(object).reach() * 0.5);
    } else {
        const Eigen::Matrix3d rot = object.transform().orientation.normalized().toRotationMatrix();
        const double ax = std::abs(rot(0, 0)) * hx + std::abs(rot(0, 1)) * hy;
        const double ay = std::abs(rot(1, 0)) * hx + std::abs(rot(1, 1)) * hy;
        hx = ax;
        hy = ay;
    }
    const Eigen::Vector2d centre = position.head<2>();
    return Footprint{centre - Eigen::Vector2d(hx, hy), centre + Eigen::Vector2d(hx, hy)};
}

double baseHeight(const WorkspaceObject& object) {
    switch (object.kind()) {
    case ObjectKind::Robot:
    case ObjectKind::Desk:
    case ObjectKind::Effector:
    case ObjectKind::ToolFrame:
        return 0;
    case ObjectKind::CustomItem:
    case ObjectKind::TaskRegion:
    case ObjectKind::Camera:
    case ObjectKind::Marker:
        return object.size().z() / 2;
    }
    return 0;
}

double standingHeight(const WorkspaceObject& object) {
    return object.kind() == ObjectKind::Robot ? kRobotHeight : object.size().z();
}

Surface surfaceBelow(const Workspace& workspace, const Eigen::Vector3d& point,
                     const WorkspaceObject* ignore) {
    Surface best;
    for (const WorkspaceObject* o : workspace.objects()) {
        if (o == ignore || o->kind() != ObjectKind::Desk)
            continue;
        const double top = o->pose().translation().z() + o->size().z();
        if (top > point.z() + kTolerance || top <= best.height)
            continue;
        if (footprintAt(*o, o->transform().position).contains(point.head<2>()))
            best = Surface{top, static_cast<const Desk*>(o)};
    }
    return best;
}

Eigen::Vector3d surfaceAlongRay(const Workspace& workspace, const Eigen::Vector3d& origin,
                                const Eigen::Vector3d& direction) {
    const Eigen::Vector3d floorBelow(origin.x(), origin.y(), 0);
    if (direction.z() >= -1e-9 || origin.z() <= 0)
        return floorBelow;
    double nearest = -origin.z() / direction.z(); // where it meets the floor
    Eigen::Vector3d hit = origin + nearest * direction;
    for (const WorkspaceObject* o : workspace.objects()) {
        if (o->kind() != ObjectKind::Desk)
            continue;
        // The desk as a box; a line of sight that meets its side looks at the desk too, and is
        // taken to the edge of its top there.
        const Footprint f = footprintAt(*o, o->transform().position);
        const double bottom = o->pose().translation().z(), top = bottom + o->size().z();
        const Eigen::Vector3d lo(f.min.x(), f.min.y(), bottom), hi(f.max.x(), f.max.y(), top);
        double enter = 0, leave = nearest;
        bool meets = true;
        for (int i = 0; i < 3 && meets; ++i) {
            if (std::abs(direction[i]) < 1e-12) {
                meets = origin[i] >= lo[i] && origin[i] <= hi[i];
                continue;
            }
            double t0 = (lo[i] - origin[i]) / direction[i], t1 = (hi[i] - origin[i]) / direction[i];
            if (t0 > t1)
                std::swap(t0, t1);
            enter = std::max(enter, t0);
            leave = std::min(leave, t1);
            meets = enter <= leave;
        }
        if (!meets || enter >= nearest)
            continue;
        nearest = enter;
        const Eigen::Vector3d p = origin + enter * direction;
        hit = Eigen::Vector3d(std::clamp(p.x(), lo.x(), hi.x()), std::clamp(p.y(), lo.y(), hi.y()), top);
    }
    return hit;
}

Spot findSpotNear(const WorkspaceObject& object, const Eigen::Vector3d& near) {
    Spot spot;
    const Workspace* ws = object.workspace();
    if (!ws || isCarried(object) || !near.head<2>().allFinite())
        return spot;

    // The desk under the point, when the object fits on its top.
    const Footprint own = footprintAt(object, Eigen::Vector3d::Zero());
    const Eigen::Vector2d ownSize = own.max - own.min;
    const Desk* desk = nullptr;
    Footprint top;
    double surface = 0;
    if (object.kind() != ObjectKind::Desk) {
        const Surface below = surfaceBelow(
            *ws, Eigen::Vector3d(near.x(), near.y(), std::numeric_limits<double>::max()), &object);
        if (below.desk) {
            const Footprint deskTop = footprintAt(*below.desk, below.desk->transform().position);
            if ((ownSize.array() <= (deskTop.max - deskTop.min).array()).all()) {
                desk = below.desk;
                top = deskTop;
                surface = below.height;
            }
        }
    }

    std::vector<Body> others;
    for (const WorkspaceObject* o : ws->objects())
        if (o != &object && !isCarried(*o) && isRegion(*o) == isRegion(object))
            others.push_back(bodyAt(*o, o->pose().translation()));

    const auto tryOn = [&](double height, const Footprint* within, const Eigen::Vector2d& xy) {
        const Eigen::Vector3d position(xy.x(), xy.y(), height + baseHeight(object));
        if (!isWithinCell(position))
            return false;
        const Body body = bodyAt(object, position);
        if (within && !((body.footprint.min.array() >= within->min.array() - 1e-9).all() &&
                        (body.footprint.max.array() <= within->max.array() + 1e-9).all()))
            return false;
        // Task regions keep apart whatever their heights: one above another would hide it.
        const bool anyHeight = isRegion(object);
        for (const Body& other : others)
            if ((anyHeight || (body.bottom < other.top - 1e-6 && other.bottom < body.top - 1e-6)) &&
                body.footprint.overlaps(other.footprint, kMargin / 2))
                return false;
        spot.position = position;
        return true;
    };
    // Rings of spots around the point, each ring nearest first.
    const auto search = [&](double height, const Footprint* within) {
        const Eigen::Vector2d centre = near.head<2>();
        const int rings = static_cast<int>(kSearchRadius / kStep);
        std::vector<Eigen::Vector2d> ring;
        for (int r = 0; r <= rings; ++r) {
            ring.clear();
            if (r == 0)
                ring.push_back(centre);
            for (int k = -r; k < r; ++k) {
                ring.push_back(centre + kStep * Eigen::Vector2d(k, -r));
                ring.push_back(centre + kStep * Eigen::Vector2d(r, k));
                ring.push_back(centre + kStep * Eigen::Vector2d(-k, r));
                ring.push_back(centre + kStep * Eigen::Vector2d(-r, -k));
            }
            std::sort(ring.begin(), ring.end(), [&](const Eigen::Vector2d& a, const Eigen::Vector2d& b) {
                return (a - centre).squaredNorm() < (b - centre).squaredNorm();
            });
            bool inside = false;
            for (const Eigen::Vector2d& xy : ring) {
                if (within && !within->contains(xy))
                    continue;
                inside = true;
                if (tryOn(height, within, xy))
                    return true;
            }
            if (within && !inside && r > 0)
                return false; // the rings have left the desk
        }
        return false;
    };
    if (desk && search(surface, &top)) {
        spot.desk = desk;
        spot.found = true;
    } else if (search(0, nullptr)) {
        spot.found = true;
    }
    return spot;
}

Spot placeNear(WorkspaceObject& object, const Eigen::Vector3d& near) {
    const Spot spot = findSpotNear(object, near);
    if (spot.found) {
        Transform t = object.transform();
        t.position = spot.position;
        object.setTransform(t);
    }
    return spot;
}

Surface restOnSurfaceBelow(WorkspaceObject& object) {
    Transform t = object.transform();
    const Eigen::Vector3d underside = t.position - Eigen::Vector3d(0, 0, baseHeight(object));
    const Surface surface =
        object.workspace() ? surfaceBelow(*object.workspace(), underside, &object) : Surface{};
    t.position.z() = surface.height + baseHeight(object);
    if (t.position != object.transform().position)
        object.setTransform(t);
    return surface;
}

} // namespace kestrin
