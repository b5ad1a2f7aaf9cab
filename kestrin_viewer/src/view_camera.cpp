// The camera of the workspace view: where it looks, framing an object, standard views.

#include "kestrin_viewer/workspace_viewer.h"

#include <kestrin/placement.h>
#include <kestrin/project.h>

#include <vtkCamera.h>
#include <vtkProp3D.h>
#include <vtkRenderWindow.h>
#include <vtkRenderer.h>

#include <algorithm>
#include <cmath>

namespace kestrin {

namespace {
Eigen::Vector3d vec(const double v[3]) {
    return Eigen::Vector3d(v[0], v[1], v[2]);
}
} // namespace

Eigen::Vector3d WorkspaceViewer::viewCentrePoint() const {
    vtkCamera* camera = _getRenderer()->GetActiveCamera();
    const Eigen::Vector3d from = vec(camera->GetPosition());
    const Eigen::Vector3d to = vec(camera->GetFocalPoint());
    Eigen::Vector3d direction = to - from;
    if (direction.norm() < 1e-12)
        return Eigen::Vector3d(to.x(), to.y(), 0);
    direction.normalize();
    const Eigen::Vector3d below(to.x(), to.y(), 0);
    if (!project() || !project()->workspace())
        return below;
    const Eigen::Vector3d hit = surfaceAlongRay(*project()->workspace(), from, direction);
    // Looking along the floor, the line of sight meets it far beyond what is looked at.
    if (!hit.allFinite() || (hit - from).norm() > 3 * (to - from).norm() + 1.0)
        return below;
    return hit;
}

bool WorkspaceViewer::isInView(const Eigen::Vector3d& point) const {
    vtkRenderer* renderer = _getRenderer();
    double display[4] = {point.x(), point.y(), point.z(), 1.0};
    renderer->SetWorldPoint(display);
    renderer->WorldToDisplay();
    renderer->GetDisplayPoint(display);
    const int* size = renderer->GetSize();
    if (size[0] <= 0 || size[1] <= 0)
        return false;
    vtkCamera* camera = renderer->GetActiveCamera();
    const Eigen::Vector3d ahead = vec(camera->GetFocalPoint()) - vec(camera->GetPosition());
    if (ahead.dot(point - vec(camera->GetPosition())) <= 0)
        return false; // behind the camera
    const int* origin = renderer->GetOrigin();
    const double x = display[0] - origin[0], y = display[1] - origin[1];
    return x >= 0 && y >= 0 && x <= size[0] && y <= size[1];
}

void WorkspaceViewer::lookAt(const Eigen::Vector3d& point) {
    vtkCamera* camera = _getRenderer()->GetActiveCamera();
    const Eigen::Vector3d shift = point - vec(camera->GetFocalPoint());
    const Eigen::Vector3d position = vec(camera->GetPosition()) + shift;
    camera->SetFocalPoint(point.x(), point.y(), point.z());
    camera->SetPosition(position.x(), position.y(), position.z());
    _getRenderer()->ResetCameraClippingRange();
}

bool WorkspaceViewer::frameObject(quint64 id) {
    vtkProp3D* prop = _sceneProp(id);
    if (!prop)
        return false;
    const double* b = prop->GetBounds();
    if (!b)
        return false;
    const Eigen::Vector3d lo(b[0], b[2], b[4]), hi(b[1], b[3], b[5]);
    const Eigen::Vector3d centre = (lo + hi) / 2;
    const double radius = std::max(0.05, (hi - lo).norm() / 2);
    vtkCamera* camera = _getRenderer()->GetActiveCamera();
    Eigen::Vector3d back = vec(camera->GetPosition()) - vec(camera->GetFocalPoint());
    if (back.norm() < 1e-12)
        back = Eigen::Vector3d(1.0, -1.3, 0.9);
    back.normalize();
    const double halfAngle = camera->GetViewAngle() * M_PI / 360.0;
    const double distance = 1.5 * radius / std::sin(halfAngle);
    const Eigen::Vector3d position = centre + distance * back;
    camera->SetFocalPoint(centre.x(), centre.y(), centre.z());
    camera->SetPosition(position.x(), position.y(), position.z());
    _getRenderer()->ResetCameraClippingRange();
    return true;
}

void WorkspaceViewer::setStandardView(StandardView view) {
    // The default view fits the whole cell; then the direction is turned and the cell fitted again.
    resetCamera();
    vtkCamera* camera = _getRenderer()->GetActiveCamera();
    const Eigen::Vector3d focal = vec(camera->GetFocalPoint());
    Eigen::Vector3d direction(1, -1, 1); // from the focal point to the camera
    Eigen::Vector3d up(0, 0, 1);
    switch (view) {
    case StandardView::Top:
        direction = Eigen::Vector3d(0, 0, 1);
        up = Eigen::Vector3d(0, 1, 0);
        break;
    case StandardView::Front:
        direction = Eigen::Vector3d(0, -1, 0);
        break;
    case StandardView::Side:
        direction = Eigen::Vector3d(1, 0, 0);
        break;
    case StandardView::Iso:
        direction = Eigen::Vector3d(1, -1, 1);
        break;
    }
    const Eigen::Vector3d position = focal + direction;
    camera->SetPosition(position.x(), position.y(), position.z());
    camera->SetViewUp(up.x(), up.y(), up.z());
    _getRenderer()->ResetCamera();
}

} // namespace kestrin
