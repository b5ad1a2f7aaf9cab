#include "workspace_object.h"

#include "error.h"
#include "json_io.h"
#include "naming.h"
#include "workspace.h"

namespace kestrin {

QString categoryLabel(Category category) {
    switch (category) {
    case Category::Robot:
        return QStringLiteral("robot");
    case Category::Effector:
        return QStringLiteral("effector");
    case Category::ToolFrame:
        return QStringLiteral("tool frame");
    case Category::Item:
        return QStringLiteral("item");
    case Category::TaskRegion:
        return QStringLiteral("task region");
    case Category::Camera:
        return QStringLiteral("camera");
    case Category::Fiducial:
        return QStringLiteral("fiducial marker");
    }
    return QStringLiteral("object");
}

bool isWithinCell(const Eigen::Vector3d& position) {
    return position.allFinite() && (position.array().abs() <= kMaxPosition).all();
}

Transform WorkspaceObject::keptWithinCell(Transform transform) {
    transform.position = transform.position.cwiseMax(-kMaxPosition).cwiseMin(kMaxPosition);
    return transform;
}

const Type& WorkspaceObject::staticType() {
    static const Type t("WorkspaceObject", nullptr);
    return t;
}

WorkspaceObject::WorkspaceObject(Workspace* workspace, const QString& name, Category category,
                                 const Eigen::Vector3d& size)
    : m_workspace(workspace), m_category(category), m_name(name), m_size(size) {
    if (!workspace)
        throw ValueError(QStringLiteral("%1 must be created in a workspace.")
                             .arg(withArticle(categoryLabel(category), true)));
    checkName(name, categoryLabel(category));
}

WorkspaceObject::~WorkspaceObject() = default;

void WorkspaceObject::_register() {
    m_workspace->_adopt(this);
}

void WorkspaceObject::setName(const QString& name) {
    if (name == m_name)
        return;
    checkName(name, categoryLabel(m_category));
    m_workspace->_rename(this, name); // tells of the rename
    ++m_revision;
    m_workspace->_objectChanged(*this);
}

void WorkspaceObject::setPose(const Pose& pose) {
    if (!isValidPose(pose))
        throw ValueError(QStringLiteral("The pose of '%1' must be finite and rigid.").arg(m_name));
    setTransform(Transform::fromPose(pose));
}

void WorkspaceObject::setTransform(const Transform& transform) {
    if (!transform.position.allFinite() || !transform.orientation.coeffs().allFinite() ||
        std::abs(transform.orientation.norm() - 1.0) > 1e-6)
        throw ValueError(
            QStringLiteral("The pose of '%1' must be finite with a unit orientation.").arg(m_name));
    if (!isWithinCell(transform.position))
        throw ValueError(
            QStringLiteral("The position of '%1' must be within %2 m of the cell's origin in x, y and z "
                           "(got %3, %4, %5 m).")
                .arg(m_name)
                .arg(kMaxPosition)
                .arg(transform.position.x())
                .arg(transform.position.y())
                .arg(transform.position.z()));
    m_transform = transform;
    touch(ProjectChange::Kind::Moved);
    if (m_id)
        m_workspace->_updateFloor(this);
    ridersMoved();
}

void WorkspaceObject::setSizeChecked(const Eigen::Vector3d& size) {
    if (!size.allFinite() || (size.array() <= 0).any() || (size.array() > kMaxObjectSize).any())
        throw ValueError(
            QStringLiteral("The size of '%1' must be positive and at most %2 m in x, y and z (got %3 x "
                           "%4 x %5 m).")
                .arg(m_name)
                .arg(kMaxObjectSize)
                .arg(size.x())
                .arg(size.y())
                .arg(size.z()));
    m_size = size;
    touch();
    if (m_id)
        m_workspace->_updateFloor(this);
}

void WorkspaceObject::touch(ProjectChange::Kind kind) {
    ++m_revision;
    m_workspace->_objectChanged(*this);
    if (m_id)
        m_workspace->_notify(kind, *this);
}

void WorkspaceObject::_carriedMoved() {
    touch(ProjectChange::Kind::Moved);
    ridersMoved();
}

void WorkspaceObject::writeJson(QJsonObject&) const {}
void WorkspaceObject::readJson(const QJsonObject&, const JsonContext&) {}
void WorkspaceObject::resolveReferences(const JsonContext&) {}

// Workspace assigns the id when it adopts the object.
} // namespace kestrin
