#include "urdf_robot.h"

#include "error.h"
#include "json_io.h"
#include "workspace.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonObject>
#include <QRegularExpression>
#include <QXmlStreamReader>

#include <console_bridge/console.h>
#include <urdf_parser/urdf_parser.h>

#include <algorithm>
#include <cmath>
#include <mutex>
#include <set>

namespace kestrin {

namespace {

constexpr double kPi = 3.14159265358979323846;
/// A description longer than this is not a robot arm (the largest published ones are a few
/// hundred kilobytes).
constexpr qint64 kMaxDescriptionSize = 8 * 1024 * 1024;
/// Turning joints one chain may have.
constexpr int kMaxChainJoints = 32;

QString q(const std::string& s) {
    return QString::fromStdString(s);
}

/// Collects what the URDF parser reports while it reads one description; the parser writes to
/// one process-wide handler, so descriptions are read one at a time.
class ParserMessages : public console_bridge::OutputHandler {
public:
    void log(const std::string& text, console_bridge::LogLevel level, const char*, int) override {
        if (level >= console_bridge::CONSOLE_BRIDGE_LOG_ERROR)
            errors << q(text).trimmed();
    }
    QStringList errors;
};

[[noreturn]] void refuseLarge(const QString& file) {
    throw ValueError(QStringLiteral("URDF file '%1' is larger than %2 MB; this is not a robot description.")
                         .arg(file)
                         .arg(kMaxDescriptionSize / (1024 * 1024)));
}

/// Elements nest no deeper than this in a robot description (a dozen is usual). The URDF parser
/// reads nested elements by recursion, so hostile nesting must not reach it.
constexpr int kMaxXmlDepth = 64;

/// The parsed description, checked to be a tree. Throws ValueError naming `file`.
urdf::ModelInterfaceSharedPtr parse(const QString& text, const QString& file) {
    if (text.size() > kMaxDescriptionSize)
        refuseLarge(file);
    // Well-formed and not too deep first, with the line of what is wrong.
    QXmlStreamReader xml(text);
    for (int depth = 0; !xml.atEnd();) {
        xml.readNext();
        if (xml.isStartElement() && ++depth > kMaxXmlDepth)
            throw ValueError(QStringLiteral("URDF file '%1', line %2: elements are nested more than %3 deep.")
                                 .arg(file)
                                 .arg(xml.lineNumber())
                                 .arg(kMaxXmlDepth));
        if (xml.isEndElement())
            --depth;
    }
    if (xml.hasError())
        throw ValueError(QStringLiteral("URDF file '%1', line %2: %3.")
                             .arg(file)
                             .arg(xml.lineNumber())
                             .arg(xml.errorString()));
    static std::mutex lock;
    const std::lock_guard<std::mutex> guard(lock);
    ParserMessages messages;
    console_bridge::useOutputHandler(&messages);
    urdf::ModelInterfaceSharedPtr model;
    try {
        model = urdf::parseURDF(text.toStdString());
    } catch (const std::exception& e) {
        messages.errors << q(e.what());
    }
    console_bridge::restorePreviousOutputHandler();
    if (model) {
        // A joint that makes a link its own parent (or a ring of them) makes the links hold each
        // other: they would never be freed. The model handed out unties them when it goes.
        model = urdf::ModelInterfaceSharedPtr(model.get(), [owner = model](urdf::ModelInterface* m) mutable {
            for (auto& link : m->links_) {
                link.second->child_links.clear();
                link.second->child_joints.clear();
            }
            owner.reset();
        });
    }
    if (!model)
        throw ValueError(QStringLiteral("URDF file '%1' cannot be read: %2")
                             .arg(file, messages.errors.isEmpty()
                                            ? QStringLiteral("it is not a URDF robot description.")
                                            : messages.errors.join(QLatin1Char(' '))));
    // The parser keeps the last joint that names a link as its child; two are a closed chain.
    std::map<std::string, std::string> parentJoint;
    for (const auto& [name, joint] : model->joints_) {
        auto [it, added] = parentJoint.emplace(joint->child_link_name, name);
        if (!added)
            throw ValueError(
                QStringLiteral("URDF file '%1': link '%2' is the child of two joints ('%3' and '%4'), "
                               "which closes a chain; Kestrin Studio runs open chains only.")
                    .arg(file, q(joint->child_link_name), q(it->second), q(name)));
    }
    return model;
}

Pose poseOf(const urdf::Pose& p) {
    Pose pose = Pose::Identity();
    pose.translation() = Eigen::Vector3d(p.position.x, p.position.y, p.position.z);
    pose.linear() = Eigen::Quaterniond(p.rotation.w, p.rotation.x, p.rotation.y, p.rotation.z)
                        .normalized()
                        .toRotationMatrix();
    return pose;
}

/// Every mesh file name the link's visuals and collisions give.
std::vector<std::string> meshNamesOf(const urdf::Link& link) {
    std::vector<std::string> names;
    auto add = [&](const urdf::GeometrySharedPtr& g) {
        if (g && g->type == urdf::Geometry::MESH)
            names.push_back(std::static_pointer_cast<urdf::Mesh>(g)->filename);
    };
    for (const auto& v : link.visual_array)
        add(v->geometry);
    for (const auto& c : link.collision_array)
        add(c->geometry);
    return names;
}

/// Where the mesh file `name` of a description in `folder` is: package:// names are looked for
/// in a folder of the package's name beside the description or above it (and beside the
/// description itself, where meshes are often copied); file:// and absolute names as they are;
/// other names from the description's folder. The places looked at go to `tried`.
QString findMeshFile(const QString& name, const QDir& folder, QStringList& tried) {
    auto check = [&](const QString& path) {
        tried << QDir::cleanPath(path);
        return QFileInfo(path).isFile();
    };
    if (name.startsWith(QLatin1String("package://"))) {
        const QString rest = name.mid(int(qstrlen("package://")));
        const QString package = rest.section(QLatin1Char('/'), 0, 0);
        const QString inside = rest.section(QLatin1Char('/'), 1);
        QDir dir = folder;
        for (int up = 0; up < 8; ++up) {
            if (dir.dirName() == package && check(dir.filePath(inside)))
                return dir.filePath(inside);
            if (check(dir.filePath(rest)))
                return dir.filePath(rest);
            if (!dir.cdUp())
                break;
        }
        if (check(folder.filePath(inside)))
            return folder.filePath(inside);
        return QString();
    }
    const QString path = name.startsWith(QLatin1String("file://")) ? name.mid(int(qstrlen("file://"))) : name;
    const QString full = QDir::isAbsolutePath(path) ? path : folder.filePath(path);
    return check(full) ? full : QString();
}

Eigen::Vector3d vector(const urdf::Vector3& v) {
    return {v.x, v.y, v.z};
}

/// The shape a URDF geometry describes. Throws ValueError naming the link.
LinkShape shapeOf(const urdf::GeometrySharedPtr& g, const urdf::Pose& origin, const UrdfSource& source,
                  const MeshStore& store, const QString& link) {
    const QString at = QStringLiteral("URDF file '%1', link '%2': ").arg(source.fileName, link);
    if (!g)
        throw ValueError(at + QStringLiteral("a visual or collision element has no geometry."));
    LinkShape shape;
    shape.origin = poseOf(origin);
    auto positive = [&](const Eigen::Vector3d& size, const char* what) {
        if (!size.allFinite() || (size.array() <= 0).any() || (size.array() > kMaxObjectSize).any())
            throw ValueError(
                at + QStringLiteral("a %1 must be of positive size, at most %2 m (got %3 x %4 x %5 m).")
                         .arg(QLatin1String(what))
                         .arg(kMaxObjectSize)
                         .arg(size.x())
                         .arg(size.y())
                         .arg(size.z()));
        return size;
    };
    switch (g->type) {
    case urdf::Geometry::SPHERE: {
        const double d = 2 * std::static_pointer_cast<urdf::Sphere>(g)->radius;
        shape.kind = LinkShape::Kind::Sphere;
        shape.size = positive({d, d, d}, "sphere");
        break;
    }
    case urdf::Geometry::BOX:
        shape.kind = LinkShape::Kind::Box;
        shape.size = positive(vector(std::static_pointer_cast<urdf::Box>(g)->dim), "box");
        break;
    case urdf::Geometry::CYLINDER: {
        const auto c = std::static_pointer_cast<urdf::Cylinder>(g);
        shape.kind = LinkShape::Kind::Cylinder;
        shape.size = positive({2 * c->radius, 2 * c->radius, c->length}, "cylinder");
        break;
    }
    case urdf::Geometry::MESH: {
        const auto m = std::static_pointer_cast<urdf::Mesh>(g);
        shape.kind = LinkShape::Kind::Mesh;
        const auto known = source.meshes.find(q(m->filename));
        shape.mesh = known == source.meshes.end() ? nullptr : store.find(known->second);
        if (!shape.mesh)
            throw ValueError(at +
                             QStringLiteral("mesh file '%1' is not in the project.").arg(q(m->filename)));
        shape.scale = vector(m->scale);
        if (!shape.scale.allFinite() || (shape.scale.array() <= 0).any())
            throw ValueError(
                at +
                QStringLiteral("mesh file '%1' is given a scale that is not positive.").arg(q(m->filename)));
        const Eigen::Vector3d extent = shape.mesh->bounds().sizes().cwiseProduct(shape.scale);
        if ((extent.array() > kMaxObjectSize).any())
            throw ValueError(at + QStringLiteral("mesh file '%1' is larger than %2 m as scaled.")
                                      .arg(q(m->filename))
                                      .arg(kMaxObjectSize));
        break;
    }
    }
    return shape;
}

/// Adds the visuals and collisions of `link`, placed at `pose` in the frame they are drawn in,
/// and those of the links fixed below it that are not on the chain.
void addShapes(const urdf::Link& link, const Pose& pose, const std::set<std::string>& chain,
               const UrdfSource& source, const MeshStore& store, std::vector<LinkShape>& visuals,
               std::vector<LinkShape>& collisions) {
    for (const auto& v : link.visual_array) {
        LinkShape s = shapeOf(v->geometry, v->origin, source, store, q(link.name));
        s.origin = pose * s.origin;
        visuals.push_back(s);
    }
    for (const auto& c : link.collision_array) {
        LinkShape s = shapeOf(c->geometry, c->origin, source, store, q(link.name));
        s.origin = pose * s.origin;
        collisions.push_back(s);
    }
    for (size_t i = 0; i < link.child_joints.size(); ++i) {
        const auto& joint = link.child_joints[i];
        if (joint->type == urdf::Joint::FIXED && !chain.count(joint->child_link_name))
            addShapes(*link.child_links[i], pose * poseOf(joint->parent_to_joint_origin_transform), chain,
                      source, store, visuals, collisions);
    }
}

/// The box round a shape's solid, in the frame its origin is given in.
Eigen::AlignedBox3d boundsOf(const LinkShape& shape) {
    Eigen::AlignedBox3d local;
    if (shape.kind == LinkShape::Kind::Mesh)
        local = Eigen::AlignedBox3d(shape.mesh->bounds().min().cwiseProduct(shape.scale),
                                    shape.mesh->bounds().max().cwiseProduct(shape.scale));
    else
        local = Eigen::AlignedBox3d(-shape.size / 2, shape.size / 2);
    Eigen::AlignedBox3d placed;
    for (int corner = 0; corner < 8; ++corner)
        placed.extend(shape.origin * local.corner(static_cast<Eigen::AlignedBox3d::CornerType>(corner)));
    return placed;
}

QString jointKind(int type) {
    switch (type) {
    case urdf::Joint::PRISMATIC:
        return QStringLiteral("prismatic (it slides)");
    case urdf::Joint::FLOATING:
        return QStringLiteral("floating");
    case urdf::Joint::PLANAR:
        return QStringLiteral("planar");
    default:
        return QStringLiteral("of an unknown type");
    }
}

} // namespace

// ---------------------------------------------------------------------------------------------

UrdfFile UrdfFile::read(const QString& path, MeshStore& store) {
    QFile file(path);
    const QFileInfo info(path);
    if (!info.exists())
        throw FileError(QStringLiteral("URDF file '%1' was not found.").arg(path));
    if (!info.isFile() || !file.open(QIODevice::ReadOnly))
        throw FileError(
            QStringLiteral("URDF file '%1' cannot be read: %2.")
                .arg(path, info.isFile() ? file.errorString() : QStringLiteral("it is a folder")));
    if (file.size() > kMaxDescriptionSize)
        refuseLarge(path);
    UrdfFile result;
    result.m_source.fileName = info.fileName();
    result.m_source.text = QString::fromUtf8(file.readAll());
    const urdf::ModelInterfaceSharedPtr model = parse(result.m_source.text, info.fileName());

    // Every mesh file, read once however many links use it.
    const QDir folder = info.absoluteDir();
    std::vector<const urdf::Link*> order{model->getRoot().get()};
    for (size_t i = 0; i < order.size(); ++i)
        for (const auto& child : order[i]->child_links)
            order.push_back(child.get());
    for (const urdf::Link* link : order) {
        result.m_links << q(link->name);
        for (const std::string& name : meshNamesOf(*link)) {
            const QString meshName = q(name);
            if (result.m_source.meshes.count(meshName))
                continue;
            QStringList tried;
            const QString found = findMeshFile(meshName, folder, tried);
            const QString at =
                QStringLiteral("URDF file '%1', link '%2': ").arg(info.fileName(), q(link->name));
            if (found.isEmpty())
                throw FileError(at + QStringLiteral("mesh file '%1' was not found (looked for it at %2).")
                                         .arg(meshName, tried.join(QStringLiteral(", "))));
            try {
                result.m_source.meshes[meshName] = store.add(readMeshFile(found))->sha256();
            } catch (const Error& e) {
                throw ValueError(at + e.message());
            }
        }
    }

    // Tips: links without children, below at least one joint that turns; the longest chain first.
    std::vector<std::pair<int, QString>> tips;
    for (const urdf::Link* link : order) {
        if (!link->child_links.empty())
            continue;
        int turning = 0;
        for (const urdf::Link* l = link; l->parent_joint; l = l->getParent().get())
            turning += l->parent_joint->type != urdf::Joint::FIXED ? 1 : 0;
        if (turning > 0)
            tips.emplace_back(-turning, q(link->name));
    }
    std::stable_sort(tips.begin(), tips.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    for (const auto& tip : tips)
        result.m_tips << tip.second;
    result.m_root = q(model->getRoot()->name);
    return result;
}

UrdfSource UrdfFile::source(const QString& base, const QString& tip) const {
    UrdfSource s = m_source;
    s.baseLink = base.isEmpty() ? m_root : base;
    if (!tip.isEmpty())
        s.tipLink = tip;
    else if (m_tips.size() == 1)
        s.tipLink = m_tips.front();
    else if (m_tips.isEmpty())
        throw ValueError(QStringLiteral("URDF file '%1' has no joint that turns; there is no arm to run.")
                             .arg(s.fileName));
    else
        throw ValueError(
            QStringLiteral("URDF file '%1' has several chains (ending at %2); choose the tip link.")
                .arg(s.fileName, m_tips.join(QStringLiteral(", "))));
    return s;
}

// ---------------------------------------------------------------------------------------------

Robot::Model UrdfRobot::modelOf(const UrdfSource& source, const MeshStore& store) {
    const urdf::ModelInterfaceSharedPtr model = parse(source.text, source.fileName);
    const QString file = QStringLiteral("URDF file '%1'").arg(source.fileName);
    const urdf::LinkConstSharedPtr base =
        source.baseLink.isEmpty() ? model->getRoot() : model->getLink(source.baseLink.toStdString());
    if (!base)
        throw ValueError(
            QStringLiteral("%1 has no link '%2' to use as the base.").arg(file, source.baseLink));
    const urdf::LinkConstSharedPtr tip = model->getLink(source.tipLink.toStdString());
    if (!tip)
        throw ValueError(QStringLiteral("%1 has no link '%2' to use as the tip.").arg(file, source.tipLink));

    // The chain, from the tip up to the base.
    std::vector<urdf::LinkConstSharedPtr> links{tip};
    while (links.back() != base) {
        const urdf::LinkConstSharedPtr parent = links.back()->getParent();
        if (!parent || links.size() > model->links_.size())
            throw ValueError(
                QStringLiteral("%1: link '%2' is not below link '%3'; choose a tip below the base.")
                    .arg(file, source.tipLink, q(base->name)));
        links.push_back(parent);
    }
    std::reverse(links.begin(), links.end());
    std::set<std::string> chain;
    for (const auto& l : links)
        chain.insert(l->name);

    Model m;
    m.convention = Model::Convention::Joints;
    m.linkNames << q(base->name);
    m.visuals.resize(links.size());
    m.collisions.resize(links.size());
    addShapes(*base, Pose::Identity(), chain, source, store, m.visuals[0], m.collisions[0]);
    for (size_t i = 1; i < links.size(); ++i) {
        const urdf::Joint& joint = *links[i]->parent_joint;
        const QString at = QStringLiteral("%1, joint '%2'").arg(file, q(joint.name));
        Model::Joint j;
        j.origin = poseOf(joint.parent_to_joint_origin_transform);
        if (!j.origin.matrix().allFinite())
            throw ValueError(at + QStringLiteral(": its origin is not a finite pose."));
        switch (joint.type) {
        case urdf::Joint::FIXED:
            break;
        case urdf::Joint::REVOLUTE:
        case urdf::Joint::CONTINUOUS: {
            j.axis = vector(joint.axis);
            if (!j.axis.allFinite() || j.axis.norm() < 1e-9)
                throw ValueError(at + QStringLiteral(": its axis is not a direction."));
            if (!joint.limits)
                throw ValueError(
                    at + QStringLiteral(": it gives no limits (a <limit> element with its velocity)."));
            double lower = joint.limits->lower, upper = joint.limits->upper;
            if (joint.type == urdf::Joint::CONTINUOUS)
                lower = -2 * kPi, upper = 2 * kPi; // round and round: a full turn either way
            if (!std::isfinite(lower) || !std::isfinite(upper) || !(lower < upper) ||
                upper - lower > 4 * kPi + 1e-9)
                throw ValueError(at +
                                 QStringLiteral(": its limits (%1 to %2 rad) must be a range of at most two "
                                                "turns, the lower below the upper.")
                                     .arg(lower)
                                     .arg(upper));
            const double velocity = joint.limits->velocity;
            if (!std::isfinite(velocity) || velocity <= 0)
                throw ValueError(
                    at + QStringLiteral(": it gives no velocity limit (got %1 rad/s).").arg(velocity));
            m.lower.push_back(lower);
            m.upper.push_back(upper);
            m.velocity.push_back(velocity);
            m.acceleration.push_back(2 * velocity); // full speed within half a second
            m.home.push_back(std::clamp(0.0, lower, upper));
            m.linkNames << q(links[i]->name);
            break;
        }
        default:
            throw ValueError(at + QStringLiteral(" is %1; Kestrin Studio runs chains of joints that turn "
                                                 "(revolute or continuous) and fixed joints.")
                                      .arg(jointKind(joint.type)));
        }
        m.joints.push_back(j);
        addShapes(*links[i], Pose::Identity(), chain, source, store, m.visuals[i], m.collisions[i]);
    }
    if (m.lower.empty())
        throw ValueError(QStringLiteral("%1: no joint turns between link '%2' and link '%3'.")
                             .arg(file, q(base->name), q(tip->name)));
    if (m.lower.size() > size_t(kMaxChainJoints))
        throw ValueError(
            QStringLiteral("%1: the chain from '%2' to '%3' has %4 joints that turn; at most %5 are run.")
                .arg(file, q(base->name), q(tip->name))
                .arg(m.lower.size())
                .arg(kMaxChainJoints));
    // The base's footprint: the box round what is drawn of it, or a small block.
    Eigen::AlignedBox3d bounds;
    for (const LinkShape& s : m.visuals[0].empty() ? m.collisions[0] : m.visuals[0])
        bounds.extend(boundsOf(s));
    m.baseSize = bounds.isEmpty() ? Eigen::Vector3d(0.12, 0.12, 0.05)
                                  : Eigen::Vector3d(bounds.sizes().cwiseMax(0.01).cwiseMin(kMaxObjectSize));
    return m;
}

KESTRIN_DEFINE_TYPE(UrdfRobot, Robot, nullptr, &detail::makeObject<UrdfRobot>)

namespace {
Robot::Model emptyModel() {
    Robot::Model m;
    m.convention = Robot::Model::Convention::Joints;
    m.baseSize = {0.12, 0.12, 0.05};
    return m;
}
} // namespace

UrdfRobot::UrdfRobot(Workspace* workspace, const QString& name)
    : Robot(workspace, name, emptyModel()), m_modelKey(keyOf(m_source)) {
    _register();
}

UrdfRobot::UrdfRobot(Workspace* workspace, const QString& name, const UrdfSource& source)
    : Robot(workspace, name, modelOf(source, workspace->meshes())), m_source(source),
      m_modelKey(keyOf(source)) {
    _register();
}

QString UrdfRobot::keyOf(const UrdfSource& source) {
    QCryptographicHash hash(QCryptographicHash::Sha256);
    for (const QString& part : {source.text, source.baseLink, source.tipLink})
        hash.addData((part + QLatin1Char('\n')).toUtf8());
    for (const auto& [name, sha] : source.meshes)
        hash.addData((name + QLatin1Char(' ') + sha + QLatin1Char('\n')).toUtf8());
    return QStringLiteral("UrdfRobot:") + QString::fromLatin1(hash.result().toHex());
}

void UrdfRobot::writeJson(QJsonObject& json) const {
    QJsonObject meshes;
    for (const auto& [name, sha] : m_source.meshes)
        meshes.insert(name, sha);
    json.insert(QStringLiteral("urdf"), QJsonObject{{QStringLiteral("file"), m_source.fileName},
                                                    {QStringLiteral("base_link"), m_source.baseLink},
                                                    {QStringLiteral("tip_link"), m_source.tipLink},
                                                    {QStringLiteral("meshes"), meshes},
                                                    {QStringLiteral("text"), m_source.text}});
    Robot::writeJson(json);
}

void UrdfRobot::readJson(const QJsonObject& json, const JsonContext& ctx) {
    _readSource(json, ctx);
    Robot::readJson(json, ctx);
}

void UrdfRobot::_readSource(const QJsonObject& json, const JsonContext& ctx) {
    const QJsonObject u = ctx.readObject(json, QStringLiteral("urdf"));
    const JsonContext at = ctx.field(QStringLiteral("urdf"));
    UrdfSource source;
    source.fileName = at.readString(u, QStringLiteral("file"));
    source.baseLink = at.readString(u, QStringLiteral("base_link"));
    source.tipLink = at.readString(u, QStringLiteral("tip_link"));
    source.text = at.readString(u, QStringLiteral("text"));
    const QJsonObject meshes = at.readObject(u, QStringLiteral("meshes"));
    for (auto it = meshes.begin(); it != meshes.end(); ++it) {
        if (!it.value().isString())
            at.failField(QStringLiteral("meshes"),
                         QStringLiteral("must give each mesh file's SHA-256 as text"));
        source.meshes[it.key()] = it.value().toString();
    }
    const bool same = source.text == m_source.text && source.baseLink == m_source.baseLink &&
                      source.tipLink == m_source.tipLink && source.meshes == m_source.meshes &&
                      getNumDofs() > 0;
    if (!same) {
        try {
            setModel(modelOf(source, workspace()->meshes()));
        } catch (const Error& e) {
            at.fail(e.message());
        }
        m_source = source;
        m_modelKey = keyOf(source);
        touch();
    }
}

} // namespace kestrin
