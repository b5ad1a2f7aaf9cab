#include "collision.h"

#include "effector.h"
#include "error.h"
#include "items.h"
#include "robot.h"
#include "tool_frame.h"
#include "workspace.h"

#include <fcl/broadphase/broadphase_dynamic_AABB_tree.h>
#include <fcl/geometry/bvh/BVH_model.h>
#include <fcl/geometry/shape/box.h>
#include <fcl/geometry/shape/capsule.h>
#include <fcl/geometry/shape/cylinder.h>
#include <fcl/geometry/shape/sphere.h>
#include <fcl/math/bv/OBBRSS.h>
#include <fcl/narrowphase/collision.h>
#include <fcl/narrowphase/distance.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <mutex>
#include <random>
#include <set>

namespace kestrin {

namespace {

// Consecutive link frames closer than this are one joint: no segment, as in the view.
constexpr double kSamePoint = 1e-6;
// Joint positions tried per model to find the link pairs that always touch.
constexpr int kSelfSamples = 64;
// Along a move, how far round each solid of the robot a check looks for what it could reach
// before the next check: the farthest one check can clear the way ahead.
constexpr double kLookAhead = 0.1;

using Kind = ObjectKind;

/// The kind of a solid object; none for task regions and tool frames, which are not solid.
std::optional<Kind> kindOf(const WorkspaceObject& object) {
    switch (object.kind()) {
    case Kind::Robot:
    case Kind::Effector:
    case Kind::CustomItem:
    case Kind::Desk:
    case Kind::Camera:
    case Kind::Marker:
        return object.kind();
    case Kind::ToolFrame:
    case Kind::TaskRegion:
        break;
    }
    return std::nullopt;
}

Pose translation(const Eigen::Vector3d& t) {
    Pose p = Pose::Identity();
    p.translation() = t;
    return p;
}

/// A collision object whose box in the broad phase can be grown by a margin, so that a query
/// finds what lies within the clearance.
class Probe : public fcl::CollisionObjectd {
public:
    using fcl::CollisionObjectd::CollisionObjectd;
    void place(const Pose& pose, double margin) {
        setTransform(pose);
        computeAABB();
        tight = aabb;
        aabb.min_.array() -= margin;
        aabb.max_.array() += margin;
    }
    /// The box round the solid itself, without the margin.
    fcl::AABBd tight;
};

/// How far apart two boxes are (0 when they overlap): never more than the solids inside them.
double gapBetween(const fcl::AABBd& a, const fcl::AABBd& b) {
    const Eigen::Vector3d gap = (a.min_ - b.max_).cwiseMax(b.min_ - a.max_).cwiseMax(Eigen::Vector3d::Zero());
    return gap.norm();
}

using MeshModel = fcl::BVHModel<fcl::OBBRSSd>;

/// The triangles of a mesh, stretched per axis and shifted, as FCL checks them: built once and
/// kept for as long as the mesh lives anywhere in the program, so that the worlds of later runs,
/// of trials and of other projects with the same mesh do not build them again.
std::shared_ptr<MeshModel> meshModel(const MeshRef& mesh, const Eigen::Vector3d& stretch,
                                     const Eigen::Vector3d& shift) {
    using Key = std::pair<QString, std::array<double, 6>>;
    struct Made {
        std::weak_ptr<const Mesh> mesh;
        std::shared_ptr<MeshModel> model;
    };
    static std::mutex lock;
    static std::map<Key, Made> made;
    const Key key{mesh->sha256(), {stretch.x(), stretch.y(), stretch.z(), shift.x(), shift.y(), shift.z()}};
    const std::lock_guard<std::mutex> guard(lock);
    const auto it = made.find(key);
    if (it != made.end() && !it->second.mesh.expired())
        return it->second.model;
    std::vector<Eigen::Vector3d> points;
    points.reserve(mesh->vertices().size());
    for (const Eigen::Vector3f& v : mesh->vertices())
        points.push_back(v.cast<double>().cwiseProduct(stretch) + shift);
    std::vector<fcl::Triangle> triangles;
    triangles.reserve(mesh->triangleCount());
    for (const Mesh::Triangle& t : mesh->triangles())
        triangles.emplace_back(t[0], t[1], t[2]);
    auto model = std::make_shared<MeshModel>();
    model->beginModel(static_cast<int>(triangles.size()), static_cast<int>(points.size()));
    model->addSubModel(points, triangles);
    model->endModel();
    model->computeLocalAABB();
    for (auto i = made.begin(); i != made.end();) // forget the models of meshes gone
        i = i->second.mesh.expired() ? made.erase(i) : std::next(i);
    made[key] = {mesh, model};
    return model;
}

/// A solid that is a mesh: in the broad phase, the box round it; its triangles are made the
/// first time a check comes that near (a cell of many large meshes opens without building them).
struct MeshPart {
    MeshRef mesh;
    Eigen::Vector3d stretch, shift;
    std::shared_ptr<MeshModel> model;
    std::unique_ptr<fcl::CollisionObjectd> exact; // the triangles, where the box was last asked
};

struct Body;

/// One FCL shape of a body.
struct Solid {
    Body* body = nullptr;
    QString part;
    int link = -1;                 // robots: the link it belongs to
    int frame = -1;                // robots: the pose of Robot::linkFrames it is fixed to
    Pose local = Pose::Identity(); // in that frame; for other bodies in the object's own frame
    std::shared_ptr<fcl::CollisionGeometryd> geometry;
    std::unique_ptr<fcl::CollisionObjectd> placed; // in the broad phase, where the object is
    std::unique_ptr<Probe> probe;                  // where a check puts it
    int probeFrame = -1;                           // robots: the link frame it moved with there
    std::unique_ptr<MeshPart> mesh;                // meshes: `geometry` is the box round it

    /// The farthest any point of the solid lies from the origin of the frame it is given in,
    /// at `local` in that frame.
    double extentFrom(const Pose& at) const {
        return (at * geometry->aabb_center).norm() + geometry->aabb_radius;
    }
};

/// What to check `solid` as, placed where `at` (its placed object or its probe) is: the solid
/// itself, or for a mesh its triangles.
const fcl::CollisionObjectd& exactOf(const Solid& solid, const fcl::CollisionObjectd& at) {
    MeshPart* mesh = solid.mesh.get();
    if (!mesh)
        return at;
    if (!mesh->exact) {
        mesh->model = meshModel(mesh->mesh, mesh->stretch, mesh->shift);
        mesh->exact = std::make_unique<fcl::CollisionObjectd>(mesh->model);
    }
    mesh->exact->setTransform(at.getTransform());
    mesh->exact->computeAABB();
    return *mesh->exact;
}

/// What all robots of one model share: how their frames make links, and which link pairs are
/// not checked against each other.
struct RobotLayout {
    std::vector<int> frameLinks;            // per pose of linkFrames
    std::vector<int> linkFrame;             // per link: the last frame fixed to it
    std::vector<int> jointFrame;            // per joint (from 0): the first frame it turns
    std::vector<double> segmentLength;      // per frame: how far its origin is from the frame before
    std::vector<std::vector<bool>> ignored; // per link pair
    int lastLink = 0;
};

struct Body {
    const WorkspaceObject* object = nullptr;
    quint64 id = 0;
    const Type* type = nullptr;
    Kind kind = Kind::CustomItem;
    quint64 revision = 0;
    std::vector<double> shapeKey;
    std::vector<std::unique_ptr<Solid>> solids;

    // Robots.
    QString modelKey; // what its solids and layout were made for
    const RobotLayout* layout = nullptr;
    std::vector<Pose> frames; // the link frames where the robot is
    std::vector<Body*> carried;

    // What carries it, on which link, and where it sits in that link's frame.
    Body* carrier = nullptr;
    int carrierLink = -1;
    Pose offset = Pose::Identity();

    const Robot& robot() const { return static_cast<const Robot&>(*object); }
    /// The robot this body moves with, if any.
    const Body* mover() const { return kind == Kind::Robot ? this : carrier; }
};

std::vector<double> shapeKeyOf(const WorkspaceObject& object, Kind kind) {
    const Eigen::Vector3d& s = object.size();
    std::vector<double> key{s.x(), s.y(), s.z()};
    if (kind == Kind::CustomItem) // which mesh, if any: the mesh's address, exact in a double
        key.push_back(
            double(reinterpret_cast<std::uintptr_t>(static_cast<const CustomItem&>(object).mesh().get()) &
                   ((std::uintptr_t(1) << 52) - 1)));
    if (kind == Kind::Effector) {
        const Eigen::Vector3d& tcp = static_cast<const Effector&>(object).toolCentre().position;
        key.insert(key.end(), {tcp.x(), tcp.y(), tcp.z()});
    }
    return key;
}

std::shared_ptr<fcl::CollisionGeometryd> box(const Eigen::Vector3d& extent) {
    return std::make_shared<fcl::Boxd>(extent.x(), extent.y(), extent.z());
}

std::optional<std::pair<Eigen::Vector3d, double>> meet(const fcl::CollisionObjectd& x,
                                                       const fcl::CollisionObjectd& y, double clearance) {
    // Whether they touch first, which is cheap; where, only when they do.
    fcl::CollisionRequestd request(1, false);
    fcl::CollisionResultd result;
    if (fcl::collide(&x, &y, request, result) > 0) {
        request.enable_contact = true;
        result.clear();
        fcl::collide(&x, &y, request, result);
        if (result.numContacts() > 0)
            return std::pair{Eigen::Vector3d(result.getContact(0).pos), 0.0};
        fcl::AABBd overlap;
        x.getAABB().overlap(y.getAABB(), overlap);
        return std::pair{Eigen::Vector3d(overlap.center()), 0.0};
    }
    if (clearance <= 0)
        return std::nullopt;
    fcl::DistanceRequestd request2(true);
    fcl::DistanceResultd result2;
    const double distance = fcl::distance(&x, &y, request2, result2);
    if (distance >= clearance)
        return std::nullopt;
    return std::pair{Eigen::Vector3d((result2.nearest_points[0] + result2.nearest_points[1]) / 2),
                     std::max(distance, 0.0)};
}

struct Query {
    const fcl::CollisionObjectd* probe;
    std::vector<const Solid*> found;
};

bool gather(fcl::CollisionObjectd* a, fcl::CollisionObjectd* b, void* data) {
    auto* query = static_cast<Query*>(data);
    const fcl::CollisionObjectd* other = a == query->probe ? b : a;
    query->found.push_back(static_cast<const Solid*>(other->getUserData()));
    return false;
}

QString labelOf(const WorkspaceObject& object) {
    switch (object.kind()) {
    case Kind::Effector:
        return QStringLiteral("gripper");
    case Kind::Desk:
        return QStringLiteral("desk");
    case Kind::CustomItem:
        return QStringLiteral("item");
    case Kind::Camera:
        return QStringLiteral("camera");
    case Kind::Marker:
        return QStringLiteral("marker");
    case Kind::Robot:
    case Kind::ToolFrame:
    case Kind::TaskRegion:
        break;
    }
    return categoryLabel(object.category());
}

QString nameOf(const WorkspaceObject* object, const QString& part) {
    if (!object)
        return QStringLiteral("something");
    if (dynamic_cast<const Robot*>(object))
        return part.isEmpty() ? object->name() : QStringLiteral("%1's %2").arg(object->name(), part);
    return QStringLiteral("%1 '%2'").arg(labelOf(*object), object->name());
}

} // namespace

QString describeContact(const Contact& c) {
    const QString other =
        c.b && c.b == c.a ? QStringLiteral("its own %1").arg(c.partB) : nameOf(c.b, c.partB);
    const QString verb = c.distance > 0
                             ? QStringLiteral("comes within %1 mm of").arg(c.distance * 1000, 0, 'f', 1)
                             : QStringLiteral("hits");
    return QStringLiteral("%1 %2 %3").arg(nameOf(c.a, c.partA), verb, other);
}

struct CollisionWorld::Impl : WorkspaceObserver {
    const Workspace* workspace;
    double clearance = 0;
    fcl::DynamicAABBTreeCollisionManagerd tree;
    std::vector<std::unique_ptr<Body>> bodies; // sorted by id
    quint64 seenStructure = 0;
    std::vector<quint64> changed; // ids of objects changed since the last sync
    bool scanAll = true;          // look at every body instead: too many changed, or re-listed
    bool carriersStale = true;

    struct Attachment {
        const WorkspaceObject* item;
        quint64 itemId;
        const Robot* robot;
        quint64 robotId;
        int link;
    };
    std::vector<Attachment> attachments;

    std::vector<fcl::CollisionObjectd*> toUpdate; // placed again since the broad phase last saw them
    int checksAlong = 0;                          // by the last firstContactAlong

    explicit Impl(const Workspace* ws) : workspace(ws) { workspace->addObserver(this); }
    ~Impl() { workspace->removeObserver(this); }

    void objectChanged(const WorkspaceObject& object) override {
        if (scanAll)
            return;
        changed.push_back(object.id());
        if (changed.size() > 64 + bodies.size() / 8) {
            scanAll = true;
            changed.clear();
        }
    }

    Body* find(quint64 id) const {
        auto it =
            std::lower_bound(bodies.begin(), bodies.end(), id,
                             [](const std::unique_ptr<Body>& b, quint64 wanted) { return b->id < wanted; });
        return it != bodies.end() && (*it)->id == id ? it->get() : nullptr;
    }
    /// The body of `object` if it is the object listed under its id.
    Body* bodyOf(const WorkspaceObject* object) const {
        Body* body = object ? find(object->id()) : nullptr;
        return body && body->object == object ? body : nullptr;
    }
    bool inCell(const WorkspaceObject* object) const {
        return object && object->workspace() == workspace && workspace->findById(object->id()) == object &&
               object->isListed();
    }

    // --- building --------------------------------------------------------------------------

    Solid& addSolid(Body& body, std::shared_ptr<fcl::CollisionGeometryd> geometry, const Pose& local,
                    QString part, int link = -1, int frame = -1) {
        auto solid = std::make_unique<Solid>();
        solid->body = &body;
        solid->part = std::move(part);
        solid->link = link;
        solid->frame = frame;
        solid->local = local;
        solid->geometry = std::move(geometry);
        solid->placed = std::make_unique<fcl::CollisionObjectd>(solid->geometry);
        solid->placed->setUserData(solid.get());
        body.solids.push_back(std::move(solid));
        return *body.solids.back();
    }

    /// A mesh solid: the mesh stretched per axis, its origin at `origin` in the frame.
    void addMeshSolid(Body& body, const MeshRef& mesh, const Eigen::Vector3d& stretch, const Pose& origin,
                      QString part, int link = -1, int frame = -1) {
        auto piece = std::make_unique<MeshPart>();
        piece->mesh = mesh;
        piece->stretch = stretch;
        const Eigen::Vector3d middle = mesh->bounds().center().cwiseProduct(stretch);
        piece->shift = -middle;
        const Eigen::Vector3d extent = mesh->bounds().sizes().cwiseProduct(stretch).cwiseMax(1e-6);
        addSolid(body, box(extent), origin * translation(middle), std::move(part), link, frame).mesh =
            std::move(piece);
    }

    /// An imported robot's solids, as its description gives them (its collision shapes, or
    /// what it is drawn as when it gives none); false for a robot without any.
    bool buildRobotShapes(Body& body, const RobotLayout& layout) {
        const Robot& robot = body.robot();
        auto empty = [](const std::vector<std::vector<LinkShape>>& shapes) {
            return std::all_of(shapes.begin(), shapes.end(), [](const auto& list) { return list.empty(); });
        };
        const auto& shapes = empty(robot.collisionShapes()) ? robot.visualShapes() : robot.collisionShapes();
        if (empty(shapes))
            return false;
        for (size_t frame = 0; frame < shapes.size(); ++frame) {
            const int link = layout.frameLinks[frame];
            for (const LinkShape& shape : shapes[frame]) {
                switch (shape.kind) {
                case LinkShape::Kind::Box:
                    addSolid(body, box(shape.size), shape.origin, robot.linkName(link), link, int(frame));
                    break;
                case LinkShape::Kind::Sphere:
                    addSolid(body, std::make_shared<fcl::Sphered>(shape.size.x() / 2), shape.origin,
                             robot.linkName(link), link, int(frame));
                    break;
                case LinkShape::Kind::Cylinder:
                    addSolid(body, std::make_shared<fcl::Cylinderd>(shape.size.x() / 2, shape.size.z()),
                             shape.origin, robot.linkName(link), link, int(frame));
                    break;
                case LinkShape::Kind::Mesh:
                    addMeshSolid(body, shape.mesh, shape.scale, shape.origin, robot.linkName(link), link,
                                 int(frame));
                    break;
                }
            }
        }
        return true;
    }

    void buildRobot(Body& body, const RobotLayout& layout) {
        if (buildRobotShapes(body, layout))
            return;
        const Robot& robot = body.robot();
        const std::vector<Pose> frames = robot.linkFrames(robot.homePositions());
        const double radius = robot.linkRadius();
        const Eigen::Vector3d base = robot.size();
        addSolid(body, box(base), translation({0, 0, base.z() / 2}), robot.linkName(0), 0, 0);
        Eigen::Vector3d last = frames[0].translation();
        for (size_t s = 1; s < frames.size(); ++s) {
            const Eigen::Vector3d p = frames[s].translation();
            if ((p - last).norm() < kSamePoint)
                continue;
            if (last == frames[0].translation()) {
                // The first segment rises out of the base box: the part inside it is the base,
                // and the capsule starts at its top (else its round end would reach below the
                // base, into whatever the robot stands on).
                const Eigen::Vector3d up = (p - last).normalized();
                if (up.z() > 0.5)
                    last += up * std::min(base.z(), 0.9 * (p - last).norm());
            }
            const double length = (p - last).norm();
            const int link = layout.frameLinks[s];
            Pose segment = Pose::Identity();
            segment.translation() = (p + last) / 2;
            segment.linear() =
                Eigen::Quaterniond::FromTwoVectors(Eigen::Vector3d::UnitZ(), (p - last) / length)
                    .toRotationMatrix();
            const int frame = static_cast<int>(s);
            addSolid(body, std::make_shared<fcl::Capsuled>(radius, length), frames[s].inverse() * segment,
                     robot.linkName(link), link, frame);
            addSolid(body, std::make_shared<fcl::Sphered>(kJointBallScale * radius), Pose::Identity(),
                     robot.linkName(link), link, frame);
            last = p;
        }
    }

    /// The same shapes as the view's SceneItem, in the object's own frame.
    void buildShape(Body& body) {
        const WorkspaceObject& o = *body.object;
        const Eigen::Vector3d size = o.size();
        switch (body.kind) {
        case Kind::Robot:
            body.modelKey = body.robot().modelKey();
            body.layout = layoutOf(body.robot());
            buildRobot(body, *body.layout);
            break;
        case Kind::Effector: {
            // One piece for the user: the body, centred on the pose, and its fingers.
            addSolid(body, box(size), Pose::Identity(), QString());
            for (const Effector::Box& finger : static_cast<const Effector&>(o).fingers())
                addSolid(body, box(finger.extent), translation(finger.centre), QString());
            break;
        }
        case Kind::CustomItem:
            if (const MeshRef& mesh = static_cast<const CustomItem&>(o).mesh()) {
                const Eigen::Affine3d placement = static_cast<const CustomItem&>(o).meshPlacement();
                addMeshSolid(body, mesh, placement.linear().diagonal(), translation(placement.translation()),
                             QString());
                break;
            }
            addSolid(body, box(size), Pose::Identity(), QString());
            break;
        case Kind::Camera:
            addSolid(body, box(size), Pose::Identity(), QString());
            break;
        case Kind::Desk: {
            // The pose is the middle of the footprint on the floor.
            const double top = std::min(0.04, size.z() / 2);
            const double leg = std::min({0.05, size.x() / 5, size.y() / 5});
            const double legHeight = size.z() - top;
            addSolid(body, box({size.x(), size.y(), top}), translation({0, 0, size.z() - top / 2}),
                     QStringLiteral("top"));
            int n = 0;
            for (double sx : {-1.0, 1.0})
                for (double sy : {-1.0, 1.0})
                    addSolid(
                        body, box({leg, leg, legHeight}),
                        translation({sx * (size.x() - leg) / 2, sy * (size.y() - leg) / 2, legHeight / 2}),
                        QStringLiteral("leg %1").arg(++n));
            break;
        }
        case Kind::Marker: {
            // The tile, and the two printed layers of a millimetre each on its face.
            const double thickness = std::max(size.z(), 0.001);
            addSolid(body, box({size.x(), size.y(), thickness + 0.002}), translation({0, 0, 0.001}),
                     QString());
            break;
        }
        case Kind::ToolFrame:
        case Kind::TaskRegion:
            break; // not solid: never given a body
        }
    }

    /// Takes the body's solids out of the broad phase.
    void dropSolids(Body& body) {
        for (const auto& solid : body.solids)
            tree.unregisterObject(solid->placed.get());
        body.solids.clear();
    }

    /// Makes the body's solids anew where its object is, and puts them in the broad phase.
    void rebuild(Body& body) {
        dropSolids(body);
        buildShape(body);
        place(body);
        for (const auto& solid : body.solids)
            tree.registerObject(solid->placed.get());
    }

    /// Puts the body's solids where its object is now; the broad phase learns of it at the end
    /// of sync() when `tellBroadPhase`.
    void place(Body& body, bool tellBroadPhase = false) {
        if (body.kind == Kind::Robot) {
            body.frames = body.robot().linkFrames(body.robot().jointPositions());
            for (const auto& solid : body.solids)
                solid->placed->setTransform(body.frames[solid->frame] * solid->local);
        } else {
            const Pose pose = body.object->pose();
            for (const auto& solid : body.solids)
                solid->placed->setTransform(pose * solid->local);
        }
        for (const auto& solid : body.solids) {
            solid->placed->computeAABB();
            if (tellBroadPhase)
                toUpdate.push_back(solid->placed.get());
        }
    }

    /// The carried body's pose in the frame of the link it rides on, as the two are now.
    void measureOffset(Body& body) {
        const Body& carrier = *body.carrier;
        body.offset =
            carrier.frames[carrier.layout->linkFrame[body.carrierLink]].inverse() * body.object->pose();
    }

    // --- robot models ----------------------------------------------------------------------

    /// One per model for the program's life (models are never unloaded): finding the pairs to
    /// ignore samples the arm, which would otherwise be paid by every run.
    const RobotLayout* layoutOf(const Robot& robot) {
        static std::mutex lock;
        static std::map<QString, std::unique_ptr<RobotLayout>> layouts;
        const std::lock_guard<std::mutex> guard(lock);
        auto& layout = layouts[robot.modelKey()];
        if (layout)
            return layout.get();
        layout = std::make_unique<RobotLayout>();
        RobotLayout& l = *layout;
        l.frameLinks = robot.frameLinks();
        l.lastLink = robot.getNumDofs();
        l.linkFrame.assign(l.lastLink + 1, 0);
        l.jointFrame.assign(l.lastLink, 0);
        for (int s = 0; s < static_cast<int>(l.frameLinks.size()); ++s) {
            const int link = l.frameLinks[s];
            l.linkFrame[link] = s;
            if (link > 0 && (s == 0 || l.frameLinks[s - 1] != link))
                l.jointFrame[link - 1] = s;
        }
        const std::vector<Pose> frames = robot.linkFrames(robot.homePositions());
        l.segmentLength.assign(frames.size(), 0.0);
        for (size_t s = 1; s < frames.size(); ++s)
            l.segmentLength[s] = (frames[s].translation() - frames[s - 1].translation()).norm();
        l.ignored.assign(l.lastLink + 1, std::vector<bool>(l.lastLink + 1, false));
        findIgnoredPairs(robot, l);
        return &l;
    }

    /// Neighbouring links (next to each other among the links that have solids) are never
    /// checked; nor are links that touch at every one of a spread of joint positions, which the
    /// arm's build holds together (a UR's wrist 1 ball and wrist 3 are closer than their radii).
    void findIgnoredPairs(const Robot& robot, RobotLayout& l) {
        Body sample;
        sample.object = &robot;
        sample.kind = Kind::Robot;
        sample.layout = &l;
        buildRobot(sample, l);

        const int links = l.lastLink + 1;
        std::vector<int> solidLinks;
        for (const auto& solid : sample.solids)
            if (solidLinks.empty() || solidLinks.back() != solid->link)
                solidLinks.push_back(solid->link);
        for (int i = 0; i < links; ++i)
            l.ignored[i][i] = true;
        for (size_t k = 1; k < solidLinks.size(); ++k)
            l.ignored[solidLinks[k - 1]][solidLinks[k]] = l.ignored[solidLinks[k]][solidLinks[k - 1]] = true;

        std::vector<std::vector<int>> touching(links, std::vector<int>(links, 0));
        std::mt19937_64 rng(20261208);
        std::uniform_real_distribution<double> unit(0.0, 1.0);
        const Eigen::VectorXd lo = robot.lowerLimits(), hi = robot.upperLimits();
        for (int k = 0; k < kSelfSamples; ++k) {
            Eigen::VectorXd q = robot.homePositions();
            if (k > 0)
                for (int j = 0; j < q.size(); ++j)
                    q[j] = lo[j] + (hi[j] - lo[j]) * unit(rng);
            const std::vector<Pose> frames = robot.linkFrames(q);
            for (const auto& solid : sample.solids) {
                solid->placed->setTransform(frames[solid->frame] * solid->local);
                solid->placed->computeAABB();
            }
            std::vector<std::vector<bool>> met(links, std::vector<bool>(links, false));
            for (size_t i = 0; i < sample.solids.size(); ++i)
                for (size_t j = i + 1; j < sample.solids.size(); ++j) {
                    const Solid &x = *sample.solids[i], &y = *sample.solids[j];
                    if (l.ignored[x.link][y.link] || met[x.link][y.link])
                        continue;
                    if (meet(exactOf(x, *x.placed), exactOf(y, *y.placed), 0))
                        met[x.link][y.link] = met[y.link][x.link] = true;
                }
            for (int i = 0; i < links; ++i)
                for (int j = 0; j < links; ++j)
                    touching[i][j] += met[i][j] ? 1 : 0;
        }
        for (int i = 0; i < links; ++i)
            for (int j = 0; j < links; ++j)
                if (touching[i][j] == kSelfSamples)
                    l.ignored[i][j] = true;
    }

    // --- keeping up with the workspace ----------------------------------------------------

    void sync() {
        const quint64 structure = workspace->structureRevision();
        if (structure != seenStructure) {
            relist();
            scanAll = true;
        }
        if (!scanAll && changed.empty() && !carriersStale)
            return;
        std::vector<Body*> candidates;
        if (scanAll) {
            for (const auto& body : bodies)
                candidates.push_back(body.get());
        } else {
            for (quint64 id : changed)
                if (Body* body = find(id))
                    candidates.push_back(body);
        }
        changed.clear();
        scanAll = false;

        std::vector<Body*> movedRobots, others;
        for (Body* body : candidates) {
            const quint64 revision = body->object->revision();
            if (revision == body->revision)
                continue;
            body->revision = revision;
            std::vector<double> key = shapeKeyOf(*body->object, body->kind);
            // A robot's shape changes only when it becomes another model (an imported robot
            // read again from the undo history).
            const bool reshaped = body->kind == Kind::Robot ? body->robot().modelKey() != body->modelKey
                                                            : key != body->shapeKey;
            if (reshaped) {
                body->shapeKey = std::move(key);
                rebuild(*body);
                carriersStale = carriersStale || body->kind == Kind::Robot; // its links are others
            } else {
                place(*body, true);
            }
            (body->kind == Kind::Robot ? movedRobots : others).push_back(body);
        }
        if (carriersStale)
            assignCarriers();
        for (Body* robot : movedRobots)
            for (Body* carried : robot->carried) {
                place(*carried, true);
                measureOffset(*carried);
            }
        for (Body* body : others)
            if (body->carrier)
                measureOffset(*body);
        // Out and in again rather than FCL's update(), whose rebalancing check measures the
        // height of the whole tree: 0.8 ms a check in a cell of 10,000 objects.
        for (fcl::CollisionObjectd* moved : toUpdate) {
            tree.unregisterObject(moved);
            tree.registerObject(moved);
        }
        toUpdate.clear();
        seenStructure = structure;
    }

    /// Bodies for the listed objects that have none, none for objects no longer listed: one
    /// merge of two lists sorted by id, run when the workspace's structure changed.
    void relist() {
        std::vector<WorkspaceObject*> listing = workspace->objects();
        auto byId = [](const WorkspaceObject* a, const WorkspaceObject* b) { return a->id() < b->id(); };
        if (!std::is_sorted(listing.begin(), listing.end(), byId))
            std::sort(listing.begin(), listing.end(), byId);
        std::vector<std::unique_ptr<Body>> kept;
        kept.reserve(listing.size());
        std::vector<fcl::CollisionObjectd*> fresh;
        size_t i = 0;
        auto drop = [&](std::unique_ptr<Body>& body) { dropSolids(*body); };
        for (WorkspaceObject* object : listing) {
            const quint64 id = object->id();
            while (i < bodies.size() && bodies[i]->id < id)
                drop(bodies[i++]);
            if (i < bodies.size() && bodies[i]->id == id) {
                // The same id for another object: the workspace's contents were swapped.
                if (bodies[i]->object == object && bodies[i]->type == &object->type()) {
                    kept.push_back(std::move(bodies[i++]));
                    continue;
                }
                drop(bodies[i++]);
            }
            const std::optional<Kind> kind = kindOf(*object);
            if (!kind)
                continue;
            auto body = std::make_unique<Body>();
            body->object = object;
            body->id = id;
            body->type = &object->type();
            body->kind = *kind;
            body->revision = object->revision();
            body->shapeKey = shapeKeyOf(*object, *kind);
            buildShape(*body);
            place(*body);
            for (const auto& solid : body->solids)
                fresh.push_back(solid->placed.get());
            kept.push_back(std::move(body));
        }
        while (i < bodies.size())
            drop(bodies[i++]);
        bodies.swap(kept);
        // All at once: into an empty broad phase, FCL builds its tree top-down in one go.
        tree.registerObjects(fresh);
        carriersStale = true;
    }

    void carry(Body& body, Body& robot, int link) {
        body.carrier = &robot;
        body.carrierLink = link;
        robot.carried.push_back(&body);
        measureOffset(body);
    }

    void assignCarriers() {
        for (const auto& body : bodies) {
            body->carrier = nullptr;
            body->carried.clear();
        }
        for (const auto& body : bodies) {
            if (body->kind != Kind::Effector)
                continue;
            if (Body* robot = bodyOf(static_cast<const Effector&>(*body->object).robot()))
                carry(*body, *robot, robot->layout->lastLink);
        }
        // An item held by a gripper's tool frame rides on the robot's last link.
        for (const auto& body : bodies) {
            const auto* item = dynamic_cast<const CustomItem*>(body->object);
            const ToolFrame* tool = item ? item->heldBy() : nullptr;
            if (Body* robot = tool ? bodyOf(tool->robot()) : nullptr)
                carry(*body, *robot, robot->layout->lastLink);
        }
        // By id first: an object that left the cell may be gone, and is not to be touched.
        auto alive = [&](const WorkspaceObject* object, quint64 id) {
            return workspace->findById(id) == object && object->isListed();
        };
        attachments.erase(std::remove_if(attachments.begin(), attachments.end(),
                                         [&](const Attachment& a) {
                                             return !alive(a.item, a.itemId) || !alive(a.robot, a.robotId);
                                         }),
                          attachments.end());
        for (const Attachment& a : attachments) {
            Body* item = bodyOf(a.item);
            Body* robot = bodyOf(a.robot);
            if (!item || !robot)
                continue; // nothing solid to carry
            if (item->carrier) {
                auto& list = item->carrier->carried;
                list.erase(std::remove(list.begin(), list.end(), item), list.end());
            }
            carry(*item, *robot, a.link < 0 ? robot->layout->lastLink : a.link);
        }
        carriersStale = false;
    }

    // --- checking -----------------------------------------------------------------------

    Body& robotBody(const Robot* robot) {
        Body* body = bodyOf(robot);
        if (!body || body->kind != Kind::Robot)
            throw ValueError(QStringLiteral("Robot '%1' is not in the cell being checked for collisions.")
                                 .arg(robot ? robot->name() : QString()));
        return *body;
    }

    /// Puts the probes of the robot's solids and of what it carries where they would be at `q`.
    /// Their boxes in the broad phase are grown by `margin`, at least the clearance.
    std::vector<Solid*> probeRobot(Body& robot, const Eigen::VectorXd& q, double margin) {
        const std::vector<Pose> frames = robot.robot().linkFrames(q);
        std::vector<Solid*> probes;
        auto probe = [&](Solid& solid, int frame, const Pose& pose) {
            if (!solid.probe)
                solid.probe = std::make_unique<Probe>(solid.geometry);
            solid.probe->place(pose, margin);
            solid.probeFrame = frame;
            probes.push_back(&solid);
        };
        for (const auto& solid : robot.solids)
            probe(*solid, solid->frame, frames[solid->frame] * solid->local);
        for (Body* carried : robot.carried) {
            const int frame = robot.layout->linkFrame[carried->carrierLink];
            for (const auto& solid : carried->solids)
                probe(*solid, frame, frames[frame] * carried->offset * solid->local);
        }
        return probes;
    }

    std::set<std::pair<quint64, quint64>> ignoredPairs; // by object id, smaller first

    bool isIgnored(const WorkspaceObject* a, const WorkspaceObject* b) const {
        if (ignoredPairs.empty())
            return false;
        return ignoredPairs.count(std::minmax(a->id(), b->id())) > 0;
    }

    /// Whether two solids that move with the same robot are checked against each other.
    static bool selfChecked(const Solid& x, const Solid& y) {
        const Body* robot = x.body->mover();
        const RobotLayout& layout = *robot->layout;
        const bool xLink = x.body == robot, yLink = y.body == robot;
        if (xLink && yLink)
            return !layout.ignored[x.link][y.link];
        if (!xLink && !yLink)
            return false;
        const Solid& link = xLink ? x : y;
        const Body& carried = *(xLink ? y : x).body;
        return link.link != carried.carrierLink && link.link != layout.lastLink;
    }

    static void note(std::vector<Contact>& contacts, const Solid& a, const Solid& b,
                     const std::pair<Eigen::Vector3d, double>& where) {
        for (Contact& c : contacts) {
            if (c.a == a.body->object && c.b == b.body->object && c.partA == a.part && c.partB == b.part) {
                if (where.second < c.distance)
                    std::tie(c.point, c.distance) = where;
                return;
            }
        }
        contacts.push_back({a.body->object, a.part, b.body->object, b.part, where.first, where.second});
    }

    /// How far the robot may go along a move before it could reach anything: see checkRobot.
    struct Advance {
        /// Per joint and link frame: how far a point moving with the frame can travel over the
        /// whole move for that joint's turn.
        std::vector<std::vector<double>> byJoint;
        const RobotLayout* layout = nullptr;
        /// Per link frame: the sum over the joints.
        std::vector<double> travel;
        /// The share of the move that is certainly free from the position checked; out.
        double free = 1;

        /// How far a point moving with one frame can travel relative to one moving with the
        /// other: only the joints between the two frames change where one is from the other.
        double between(int frameA, int frameB) const {
            const int low = std::min(frameA, frameB), high = std::max(frameA, frameB);
            double sum = 0;
            for (size_t j = 0; j < byJoint.size(); ++j)
                if (layout->jointFrame[j] > low)
                    sum += byJoint[j][static_cast<size_t>(high)];
            return sum;
        }
        /// Shortens the free share for two solids `gap` apart (a lower bound, or their distance
        /// when `exact` can tell) whose distance can change by `travel` over the move.
        template <typename Exact> void limit(double gap, double travel, Exact exact) {
            if (travel <= 0 || gap >= free * travel)
                return;
            gap = exact();
            free = std::min(free, std::max(gap, 0.0) / travel);
        }
    };

    /// The robot's contacts at `q`. With `onlyLaterRobots`, contacts with robots of a lower id
    /// are left to the check of that robot, so that check() reports each pair once.
    ///
    /// With `advance`, also how much further along the move the robot is certainly free: for
    /// each solid, the gap between its box and the boxes of what it is checked against (at
    /// most kLookAhead: the broad phase is asked that far out) over how far the solid travels;
    /// for a robot's own pairs, both travel. Boxes hold their solids, so the gap between two
    /// boxes never exceeds the solids' distance.
    void checkRobot(Body& robot, const Eigen::VectorXd& q, bool onlyLaterRobots,
                    std::vector<Contact>& contacts, Advance* advance = nullptr) {
        const double lookAhead = advance ? kLookAhead : 0.0;
        const std::vector<Solid*> probes = probeRobot(robot, q, clearance + lookAhead);
        auto travelOf = [&](const Solid& solid) { return advance->travel[solid.probeFrame]; };
        auto distance = [](const fcl::CollisionObjectd& x, const fcl::CollisionObjectd& y) {
            fcl::DistanceRequestd request;
            fcl::DistanceResultd result;
            return fcl::distance(&x, &y, request, result);
        };
        if (advance)
            for (const Solid* probe : probes)
                if (travelOf(*probe) > 0)
                    advance->free = std::min(advance->free, lookAhead / travelOf(*probe));
        Query query;
        for (Solid* probe : probes) {
            query.probe = probe->probe.get();
            query.found.clear();
            tree.collide(probe->probe.get(), &query, gather);
            for (const Solid* other : query.found) {
                const Body* mover = other->body->mover();
                if (mover == &robot)
                    continue; // its own solids where it is now; checked among the probes below
                if (onlyLaterRobots && mover && mover->id < robot.id)
                    continue;
                // A robot's base stays where it stands (on a desk, say): against what does not
                // move either, it is no collision.
                if (!mover && probe->body == &robot && probe->link == 0)
                    continue;
                if (isIgnored(probe->body->object, other->body->object))
                    continue;
                if (!lookAhead || probe->probe->tight.overlap(grown(other->placed->getAABB())))
                    if (auto where = meet(exactOf(*probe, *probe->probe), exactOf(*other, *other->placed),
                                          clearance)) {
                        note(contacts, *probe, *other, *where);
                        continue;
                    }
                if (advance)
                    advance->limit(gapBetween(probe->probe->tight, other->placed->getAABB()) - clearance,
                                   travelOf(*probe), [&] {
                                       return distance(exactOf(*probe, *probe->probe),
                                                       exactOf(*other, *other->placed)) -
                                              clearance;
                                   });
            }
        }
        for (size_t j = 1; j < probes.size(); ++j)
            for (size_t i = 0; i < j; ++i) {
                const Solid &x = *probes[i], &y = *probes[j];
                if (!selfChecked(x, y))
                    continue;
                if (x.probe->tight.overlap(y.probe->tight))
                    if (auto where = meet(exactOf(x, *x.probe), exactOf(y, *y.probe), 0)) {
                        note(contacts, y, x, *where);
                        continue;
                    }
                if (advance)
                    advance->limit(gapBetween(x.probe->tight, y.probe->tight),
                                   advance->between(x.probeFrame, y.probeFrame),
                                   [&] { return distance(exactOf(x, *x.probe), exactOf(y, *y.probe)); });
            }
    }

    /// A box grown by the clearance.
    fcl::AABBd grown(const fcl::AABBd& box) const {
        fcl::AABBd out = box;
        out.min_.array() -= clearance;
        out.max_.array() += clearance;
        return out;
    }

    /// Per joint and link frame of the robot: the farthest a point fixed to the frame, or to what
    /// rides on it, can travel for the joint's turn on the straight joint-space move from `qa` to
    /// `qb`. A bound: the turn times the farthest such a point can be from the joint's axis.
    std::vector<std::vector<double>> travelAlong(Body& robot, const Eigen::VectorXd& qa,
                                                 const Eigen::VectorXd& qb) const {
        const RobotLayout& layout = *robot.layout;
        // Per frame: the farthest a point fixed to it (or to what rides on it) lies from its origin.
        std::vector<double> extent(layout.frameLinks.size(), 0.0);
        for (const auto& solid : robot.solids)
            extent[solid->frame] = std::max(extent[solid->frame], solid->extentFrom(solid->local));
        for (const Body* carried : robot.carried) {
            const int frame = layout.linkFrame[carried->carrierLink];
            for (const auto& solid : carried->solids)
                extent[frame] = std::max(extent[frame], solid->extentFrom(carried->offset * solid->local));
        }
        // Joint j turns about an axis through the origin of the frame before the first one it
        // turns; a point fixed to a later frame is at most the chain of segments in between
        // plus its extent away from it.
        std::vector<std::vector<double>> travel(layout.jointFrame.size(),
                                                std::vector<double>(extent.size(), 0.0));
        for (size_t j = 0; j < layout.jointFrame.size(); ++j) {
            const double turn = std::abs(qb[static_cast<Eigen::Index>(j)] - qa[static_cast<Eigen::Index>(j)]);
            double chain = 0;
            for (size_t s = static_cast<size_t>(layout.jointFrame[j]); s < extent.size(); ++s) {
                chain += layout.segmentLength[s];
                travel[j][s] = turn * (chain + extent[s]);
            }
        }
        return travel;
    }

    static Eigen::VectorXd totalTravel(const std::vector<std::vector<double>>& byJoint) {
        Eigen::VectorXd total =
            Eigen::VectorXd::Zero(byJoint.empty() ? 1 : static_cast<Eigen::Index>(byJoint[0].size()));
        for (const auto& joint : byJoint)
            total += Eigen::Map<const Eigen::VectorXd>(joint.data(), static_cast<Eigen::Index>(joint.size()));
        return total;
    }

    void checkMove(const Robot* robot, const Eigen::VectorXd& qa, const Eigen::VectorXd& qb,
                   double maxTravel) const {
        robot->checkJointPositions(qa);
        robot->checkJointPositions(qb);
        if (!std::isfinite(maxTravel) || maxTravel <= 0)
            throw ValueError(
                QStringLiteral("The travel between collision checks must be a positive distance (got %1).")
                    .arg(maxTravel));
    }
};

CollisionWorld::CollisionWorld(const Workspace* workspace) {
    if (!workspace)
        throw ValueError(QStringLiteral("Collisions are checked in a cell: no workspace was given."));
    d = std::make_unique<Impl>(workspace);
}

CollisionWorld::~CollisionWorld() = default;

void CollisionWorld::setClearance(double metres) {
    if (!std::isfinite(metres) || metres < 0)
        throw ValueError(
            QStringLiteral("The clearance must be a distance of 0 m or more (got %1).").arg(metres));
    d->clearance = metres;
}

void CollisionWorld::ignoreContacts(const WorkspaceObject* a, const WorkspaceObject* b) {
    if (a && b)
        d->ignoredPairs.insert(std::minmax(a->id(), b->id()));
}

void CollisionWorld::clearIgnoredContacts() {
    d->ignoredPairs.clear();
}

double CollisionWorld::clearance() const {
    return d->clearance;
}

std::vector<Contact> CollisionWorld::check() {
    d->sync();
    std::vector<Contact> contacts;
    for (const auto& body : d->bodies)
        if (body->kind == Kind::Robot)
            d->checkRobot(*body, body->robot().jointPositions(), true, contacts);
    return contacts;
}

std::vector<Contact> CollisionWorld::checkRobotAt(const Robot* robot, const Eigen::VectorXd& q) {
    d->sync();
    Body& body = d->robotBody(robot);
    robot->checkJointPositions(q);
    std::vector<Contact> contacts;
    d->checkRobot(body, q, false, contacts);
    return contacts;
}

void CollisionWorld::attach(const WorkspaceObject* item, const Robot* robot, int link) {
    if (!d->inCell(item) || !d->inCell(robot))
        throw ValueError(
            QStringLiteral("Only an object and a robot of the cell can be attached to each other."));
    if (dynamic_cast<const Robot*>(item))
        throw ValueError(QStringLiteral("Robot '%1' cannot be attached to another robot.").arg(item->name()));
    if (link < -1 || link > robot->getNumDofs())
        throw ValueError(QStringLiteral("Robot '%1' has links 0 to %2 (got %3).")
                             .arg(robot->name())
                             .arg(robot->getNumDofs())
                             .arg(link));
    detach(item);
    d->attachments.push_back({item, item->id(), robot, robot->id(), link});
    d->carriersStale = true;
}

void CollisionWorld::detach(const WorkspaceObject* item) {
    auto& list = d->attachments;
    const auto end =
        std::remove_if(list.begin(), list.end(), [&](const Impl::Attachment& a) { return a.item == item; });
    if (end == list.end())
        return;
    list.erase(end, list.end());
    d->carriersStale = true;
}

int CollisionWorld::_checksAlong() const {
    return d->checksAlong;
}

int CollisionWorld::stepsAlong(const Robot* robot, const Eigen::VectorXd& qa, const Eigen::VectorXd& qb,
                               double maxTravel) {
    d->sync();
    Body& body = d->robotBody(robot);
    d->checkMove(robot, qa, qb, maxTravel);
    const double farthest = Impl::totalTravel(d->travelAlong(body, qa, qb)).maxCoeff();
    return static_cast<int>(std::clamp(std::ceil(farthest / maxTravel), 1.0, 1e7));
}

std::optional<PathContact> CollisionWorld::firstContactAlong(const Robot* robot, const Eigen::VectorXd& qa,
                                                             const Eigen::VectorXd& qb, double maxTravel,
                                                             bool checkEnd) {
    d->sync();
    Body& body = d->robotBody(robot);
    d->checkMove(robot, qa, qb, maxTravel);
    Impl::Advance advance;
    advance.layout = body.layout;
    advance.byJoint = d->travelAlong(body, qa, qb);
    const Eigen::VectorXd total = Impl::totalTravel(advance.byJoint);
    advance.travel.assign(total.begin(), total.end());
    const double farthest = total.maxCoeff();
    // Never a shorter step than the fixed spacing asks; longer where the way is clear.
    const double least = farthest > 0 ? std::max(maxTravel / farthest, 1e-7) : 1.0;
    std::vector<Contact> contacts;
    d->checksAlong = 0;
    for (double f = 0;;) {
        if (f >= 1 && !checkEnd)
            return std::nullopt;
        const Eigen::VectorXd q = f >= 1 ? qb : Eigen::VectorXd(qa + f * (qb - qa));
        advance.free = 1;
        d->checkRobot(body, q, false, contacts, &advance);
        ++d->checksAlong;
        if (!contacts.empty())
            return PathContact{std::min(f, 1.0), q, std::move(contacts)};
        if (f >= 1)
            return std::nullopt;
        f = std::min(1.0, f + std::max(least, advance.free));
    }
}

} // namespace kestrin
