#include "items.h"

#include "error.h"
#include "json_io.h"
#include "tool_frame.h"
#include "workspace.h"

#include <cmath>

namespace kestrin {

namespace {
constexpr double kPi = 3.14159265358979323846;

void writeSize(QJsonObject& json, const Eigen::Vector3d& size) {
    json.insert(QStringLiteral("size"), toJson(Eigen::VectorXd(size)));
}

Eigen::Vector3d readSize(const QJsonObject& json, const JsonContext& ctx) {
    const Eigen::Vector3d size = ctx.readVector(json, QStringLiteral("size"), 3);
    if ((size.array() <= 0).any() || (size.array() > kMaxObjectSize).any())
        ctx.failField(QStringLiteral("size"),
                      QStringLiteral("must be positive and at most %1 m in x, y and z").arg(kMaxObjectSize));
    return size;
}
} // namespace

KESTRIN_DEFINE_TYPE(CustomItem, WorkspaceObject, nullptr, &detail::makeObject<CustomItem>)
KESTRIN_DEFINE_TYPE(Desk, WorkspaceObject, nullptr, &detail::makeObject<Desk>)
KESTRIN_DEFINE_TYPE(TaskRegion, WorkspaceObject, nullptr, &detail::makeObject<TaskRegion>)
KESTRIN_DEFINE_TYPE(RealsenseD435i, Camera, nullptr, &detail::makeObject<RealsenseD435i>)
KESTRIN_DEFINE_TYPE(RealsenseD405, Camera, nullptr, &detail::makeObject<RealsenseD405>)
KESTRIN_DEFINE_TYPE(VisualMarker, WorkspaceObject, nullptr, &detail::makeObject<VisualMarker>)

const Type& Camera::staticType() {
    static const Type t("Camera", &WorkspaceObject::staticType());
    return t;
}

CustomItem::CustomItem(Workspace* workspace, const QString& name)
    : WorkspaceObject(workspace, name, Category::Item, Eigen::Vector3d(0.1, 0.1, 0.1)) {
    m_transform.position.z() = 0.05; // resting on the floor
    _register();
}

void CustomItem::setMesh(const MeshRef& mesh, LengthUnit unit) {
    if (!mesh) {
        m_mesh = nullptr;
        touch();
        return;
    }
    const Eigen::Vector3d extent = mesh->bounds().sizes() * metresPer(unit);
    if ((extent.array() > kMaxObjectSize).any())
        throw ValueError(
            QStringLiteral("The mesh of item '%1' is %2 x %3 x %4 m in %5; an item may be at most "
                           "%6 m along each axis. Is the unit right?")
                .arg(name())
                .arg(extent.x())
                .arg(extent.y())
                .arg(extent.z())
                .arg(unitName(unit))
                .arg(kMaxObjectSize));
    // A flat mesh (a plate drawn as one face) gets a millimetre of thickness.
    Eigen::Vector3d size = extent;
    for (int i = 0; i < 3; ++i)
        if (!(size[i] > 0))
            size[i] = 0.001;
    setSizeChecked(size);
    m_mesh = workspace()->meshes().add(mesh);
    touch();
}

Eigen::Affine3d CustomItem::meshPlacement() const {
    if (!m_mesh)
        return Eigen::Affine3d::Identity();
    const Eigen::Vector3d extent = m_mesh->bounds().sizes();
    Eigen::Vector3d stretch;
    for (int i = 0; i < 3; ++i)
        stretch[i] = extent[i] > 0 ? size()[i] / extent[i] : 1.0;
    return Eigen::Translation3d(-m_mesh->bounds().center().cwiseProduct(stretch)) * Eigen::Scaling(stretch);
}

void CustomItem::holdWith(ToolFrame* tool) {
    holdWith(tool, tool ? Transform::fromPose(tool->pose().inverse() * pose()) : Transform());
}

void CustomItem::holdWith(ToolFrame* tool, const Transform& grip) {
    if (tool && (tool->workspace() != workspace() || !tool->robot()))
        throw ValueError(
            QStringLiteral("Item '%1' can only be held by a tool frame on a robot of its cell.").arg(name()));
    if (tool == m_heldBy && (!tool || grip == m_grip))
        return;
    if (m_heldBy && !tool) {
        // Let go where the tool frame held it.
        m_transform = keptWithinCell(Transform::fromPose(pose()));
    }
    if (m_heldBy)
        m_heldBy->_itemHeld(this, false);
    m_heldBy = tool;
    if (tool)
        tool->_itemHeld(this, true);
    m_grip = tool ? grip : Transform();
    touch();
    workspace()->_updateFloor(this);
    workspace()->_structureChanged();
}

Pose CustomItem::pose() const {
    if (!m_heldBy)
        return WorkspaceObject::pose();
    return m_heldBy->pose() * m_grip.toPose();
}

void CustomItem::writeJson(QJsonObject& json) const {
    writeSize(json, size());
    if (m_mesh)
        json.insert(QStringLiteral("mesh"), m_mesh->sha256());
    if (m_heldBy) {
        json.insert(QStringLiteral("held_by"), m_heldBy->name());
        json.insert(QStringLiteral("grip"), toJson(m_grip));
    }
}

void CustomItem::readJson(const QJsonObject& json, const JsonContext& ctx) {
    const QString mesh = ctx.readOptionalString(json, QStringLiteral("mesh"));
    m_mesh = mesh.isEmpty() ? nullptr : workspace()->meshes().find(mesh);
    if (!mesh.isEmpty() && !m_mesh)
        ctx.failField(QStringLiteral("mesh"),
                      QStringLiteral("names mesh %1, which is not in the file").arg(mesh));
    setSizeChecked(readSize(json, ctx));
    m_pendingHolder = ctx.readOptionalString(json, QStringLiteral("held_by"));
    if (!m_pendingHolder.isEmpty())
        m_grip = ctx.readPose(json, QStringLiteral("grip"));
}

void CustomItem::finishLoading(const JsonContext& ctx) {
    // Once every tool frame is on its robot.
    if (m_pendingHolder.isEmpty())
        return;
    ToolFrame* tool = workspace()->findToolFrame(m_pendingHolder);
    if (!tool)
        ctx.failField(
            QStringLiteral("held_by"),
            QStringLiteral("names tool frame '%1', which is on no robot in the file").arg(m_pendingHolder));
    const Transform grip = m_grip;
    m_pendingHolder.clear();
    holdWith(tool, grip);
}

// A desk's pose is the middle of its footprint on the floor; its top is at size().z().
Desk::Desk(Workspace* workspace, const QString& name)
    : WorkspaceObject(workspace, name, Category::Item, Eigen::Vector3d(1.2, 0.8, 0.75)) {
    _register();
}

void Desk::writeJson(QJsonObject& json) const {
    writeSize(json, size());
}
void Desk::readJson(const QJsonObject& json, const JsonContext& ctx) {
    setSizeChecked(readSize(json, ctx));
}

TaskRegion::TaskRegion(Workspace* workspace, const QString& name)
    : WorkspaceObject(workspace, name, Category::TaskRegion, Eigen::Vector3d(0.3, 0.3, 0.2)) {
    m_transform.position.z() = 0.3;
    _register();
}

bool TaskRegion::contains(const Eigen::Vector3d& point, double tolerance) const {
    const Eigen::Vector3d local = pose().inverse() * point;
    return ((local.cwiseAbs() - size() / 2).array() <= tolerance).all();
}

void TaskRegion::writeJson(QJsonObject& json) const {
    writeSize(json, size());
}
void TaskRegion::readJson(const QJsonObject& json, const JsonContext& ctx) {
    setSizeChecked(readSize(json, ctx));
}

Camera::Camera(Workspace* workspace, const QString& name, const Eigen::Vector3d& size, double hfov,
               double vfov, double minRange, double maxRange)
    : WorkspaceObject(workspace, name, Category::Camera, size), m_hfov(hfov), m_vfov(vfov),
      m_minRange(minRange), m_maxRange(maxRange) {
    // Mounted 1.5 m up, looking straight down.
    m_transform.position.z() = 1.5;
    m_transform.orientation = Eigen::Quaterniond(Eigen::AngleAxisd(kPi, Eigen::Vector3d::UnitX()));
}

RealsenseD435i::RealsenseD435i(Workspace* workspace, const QString& name)
    : Camera(workspace, name, Eigen::Vector3d(0.090, 0.025, 0.025), 87, 58, 0.28, 3.0) {
    _register();
}

RealsenseD405::RealsenseD405(Workspace* workspace, const QString& name)
    : Camera(workspace, name, Eigen::Vector3d(0.042, 0.042, 0.023), 87, 58, 0.07, 0.50) {
    _register();
}

VisualMarker::VisualMarker(Workspace* workspace, const QString& name)
    : WorkspaceObject(workspace, name, Category::Fiducial, Eigen::Vector3d(0.1, 0.1, 0.002)) {
    m_transform.position.z() = 0.001;
    _register();
}

void VisualMarker::setMarkerId(int id) {
    if (id < 0 || id > 999)
        throw ValueError(
            QStringLiteral("The id of marker '%1' must be between 0 and 999 (got %2).").arg(name()).arg(id));
    m_markerId = id;
    touch();
}

void VisualMarker::setEdge(double edge) {
    setSizeChecked(Eigen::Vector3d(edge, edge, size().z()));
}

void VisualMarker::writeJson(QJsonObject& json) const {
    json.insert(QStringLiteral("marker_id"), m_markerId);
    json.insert(QStringLiteral("edge"), size().x());
}

void VisualMarker::readJson(const QJsonObject& json, const JsonContext& ctx) {
    const int id = ctx.readInt(json, QStringLiteral("marker_id"));
    if (id < 0 || id > 999)
        ctx.failField(QStringLiteral("marker_id"), QStringLiteral("must be between 0 and 999"));
    const double edge = ctx.readNumber(json, QStringLiteral("edge"));
    if (edge <= 0 || edge > kMaxObjectSize)
        ctx.failField(QStringLiteral("edge"),
                      QStringLiteral("must be positive and at most %1 m").arg(kMaxObjectSize));
    m_markerId = id;
    setEdge(edge);
}

} // namespace kestrin
