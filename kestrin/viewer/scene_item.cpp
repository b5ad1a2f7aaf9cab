#include "scene_item.h"

#include "scene_image_pass.h"

#include <kestrin/effector.h>
#include <kestrin/items.h>
#include <kestrin/robot.h>
#include <kestrin/tool_frame.h>

#include <vtkActor.h>
#include <vtkAssembly.h>
#include <vtkCellArray.h>
#include <vtkCellData.h>
#include <vtkCubeSource.h>
#include <vtkGlyph3D.h>
#include <vtkMatrix4x4.h>
#include <vtkOutlineSource.h>
#include <vtkPoints.h>
#include <vtkPolyData.h>
#include <vtkPolyDataMapper.h>
#include <vtkPropCollection.h>
#include <vtkProperty.h>
#include <vtkRenderWindow.h>
#include <vtkRenderer.h>
#include <vtkSphereSource.h>
#include <vtkTubeFilter.h>
#include <vtkUnsignedCharArray.h>

#include <algorithm>
#include <cmath>
#include <unordered_set>

namespace kestrin {

namespace {

using Look = SceneResources::Look;

// Parts thinner than this would make a singular scale matrix.
constexpr double kMinExtent = 1e-4;
// Length of a tool frame's axes.
constexpr double kToolAxisLength = 0.1;
// A camera's frustum is drawn no deeper than this: it shows where the camera looks, and far
// lines only clutter the cell.
constexpr double kMaxFrustumDepth = 1.0;
// Consecutive link frames closer than this are one joint (DH rows with a = d = 0).
constexpr double kSamePoint = 1e-6;

vtkSmartPointer<vtkPolyDataMapper> mapperFor(vtkPolyData* data) {
    auto mapper = vtkSmartPointer<vtkPolyDataMapper>::New();
    mapper->SetInputData(data);
    return mapper;
}

vtkSmartPointer<vtkPolyDataMapper> colouredLinesMapper(vtkPolyData* data) {
    auto mapper = mapperFor(data);
    mapper->SetScalarModeToUseCellData();
    mapper->SetColorModeToDirectScalars();
    mapper->ScalarVisibilityOn();
    return mapper;
}

vtkSmartPointer<vtkProperty> solid(double r, double g, double b) {
    auto p = vtkSmartPointer<vtkProperty>::New();
    p->SetColor(r, g, b);
    p->SetDiffuse(0.8);
    p->SetAmbient(0.25);
    p->SetSpecular(0.15);
    p->SetSpecularPower(20);
    return p;
}

vtkSmartPointer<vtkProperty> lines(double r, double g, double b, double width) {
    auto p = vtkSmartPointer<vtkProperty>::New();
    p->SetColor(r, g, b);
    p->SetLineWidth(static_cast<float>(width));
    p->LightingOff();
    return p;
}

vtkSmartPointer<vtkPolyData> makeUnitAxes() {
    auto points = vtkSmartPointer<vtkPoints>::New();
    points->InsertNextPoint(0, 0, 0);
    points->InsertNextPoint(1, 0, 0);
    points->InsertNextPoint(0, 1, 0);
    points->InsertNextPoint(0, 0, 1);
    auto cells = vtkSmartPointer<vtkCellArray>::New();
    auto colours = vtkSmartPointer<vtkUnsignedCharArray>::New();
    colours->SetNumberOfComponents(3);
    const unsigned char rgb[3][3] = {{230, 40, 40}, {40, 190, 40}, {50, 80, 235}};
    for (vtkIdType axis = 0; axis < 3; ++axis) {
        const vtkIdType ends[2] = {0, axis + 1};
        cells->InsertNextCell(2, ends);
        colours->InsertNextTypedTuple(rgb[axis]);
    }
    auto data = vtkSmartPointer<vtkPolyData>::New();
    data->SetPoints(points);
    data->SetLines(cells);
    data->GetCellData()->SetScalars(colours);
    return data;
}

Eigen::Vector3d atLeast(const Eigen::Vector3d& v, double minimum) {
    return v.cwiseMax(Eigen::Vector3d::Constant(minimum));
}

} // namespace

SceneResources::SceneResources() {
    auto cube = vtkSmartPointer<vtkCubeSource>::New();
    cube->Update();
    m_cube = mapperFor(cube->GetOutput());

    auto outline = vtkSmartPointer<vtkOutlineSource>::New();
    outline->SetBounds(-0.5, 0.5, -0.5, 0.5, -0.5, 0.5);
    outline->Update();
    m_cubeEdges = mapperFor(outline->GetOutput());

    m_axes = colouredLinesMapper(makeUnitAxes());

    m_looks.resize(static_cast<int>(Look::Count));
    auto set = [this](Look look, vtkSmartPointer<vtkProperty> p) { m_looks[static_cast<int>(look)] = p; };
    set(Look::RobotLink, solid(0.95, 0.55, 0.15));
    set(Look::Collision, solid(0.9, 0.08, 0.08));
    set(Look::RobotJoint, solid(0.25, 0.25, 0.28));
    set(Look::RobotBase, solid(0.45, 0.46, 0.5));
    set(Look::EffectorBody, solid(0.3, 0.45, 0.75));
    set(Look::EffectorFinger, solid(0.18, 0.25, 0.45));
    set(Look::ToolFrameAxes, lines(1, 1, 1, 3));
    set(Look::Item, solid(0.35, 0.65, 0.45));
    set(Look::DeskTop, solid(0.68, 0.52, 0.34));
    set(Look::DeskLeg, solid(0.45, 0.33, 0.22));
    auto fill = solid(0.3, 0.85, 0.35);
    fill->SetOpacity(0.22);
    set(Look::TaskRegionFill, fill);
    set(Look::TaskRegionEdge, lines(0.15, 0.6, 0.2, 2));
    set(Look::CameraBody, solid(0.2, 0.2, 0.24));
    set(Look::CameraFrustum, lines(0.1, 0.65, 0.9, 1.5));
    set(Look::MarkerBlack, solid(0.03, 0.03, 0.03));
    auto white = solid(1, 1, 1);
    white->SetAmbient(0.6);
    set(Look::MarkerWhite, white);
    set(Look::Unknown, solid(0.85, 0.2, 0.75));
}

SceneResources::~SceneResources() = default;

void setMatrix(vtkMatrix4x4* matrix, const Pose& pose) {
    const Eigen::Matrix4d& m = pose.matrix();
    double elements[16];
    for (int row = 0; row < 4; ++row)
        for (int col = 0; col < 4; ++col)
            elements[row * 4 + col] = m(row, col);
    matrix->DeepCopy(elements);
}

SceneItem::SceneItem(const WorkspaceObject& object, const SceneResources& resources)
    : m_res(resources), m_matrix(vtkSmartPointer<vtkMatrix4x4>::New()),
      m_body(vtkSmartPointer<vtkAssembly>::New()) {
    if (dynamic_cast<const Robot*>(&object))
        m_kind = Kind::Robot;
    else if (dynamic_cast<const Effector*>(&object))
        m_kind = Kind::Effector;
    else if (dynamic_cast<const ToolFrame*>(&object))
        m_kind = Kind::ToolFrame;
    else if (dynamic_cast<const CustomItem*>(&object))
        m_kind = Kind::Item;
    else if (dynamic_cast<const Desk*>(&object))
        m_kind = Kind::Desk;
    else if (dynamic_cast<const TaskRegion*>(&object))
        m_kind = Kind::TaskRegion;
    else if (dynamic_cast<const Camera*>(&object))
        m_kind = Kind::Camera;
    else if (dynamic_cast<const VisualMarker*>(&object))
        m_kind = Kind::Marker;
    else
        m_kind = Kind::Unknown;

    m_body->SetUserMatrix(m_matrix);
    if (m_kind == Kind::Camera) {
        m_overlayData = vtkSmartPointer<vtkPolyData>::New();
        m_overlay = vtkSmartPointer<vtkActor>::New();
        m_overlay->SetMapper(mapperFor(m_overlayData));
        m_overlay->SetProperty(m_res.look(Look::CameraFrustum));
        m_overlay->SetUserMatrix(m_matrix);
        m_overlay->UseBoundsOff();
        m_overlay->PickableOff();
    }
    update(object);
}

SceneItem::~SceneItem() = default;

void SceneItem::addTo(vtkRenderer* renderer, SceneImagePass* pass) {
    // What vtkRenderer::AddViewProp does, less its check that the prop is not there yet: that
    // check walks every prop of the scene, which made building a cell of N objects cost N^2.
    // An item's props are its own and in no renderer until here.
    for (vtkProp* prop : {static_cast<vtkProp*>(m_body), static_cast<vtkProp*>(m_overlay)}) {
        if (!prop)
            continue;
        renderer->GetViewProps()->AddItem(prop);
        prop->AddConsumer(renderer);
        if (pass)
            pass->keep(prop);
    }
    m_pass = pass;
}

void SceneItem::letGo(vtkRenderer* renderer) {
    if (m_pass) {
        m_pass->forget(m_body);
        if (m_overlay)
            m_pass->forget(m_overlay);
        m_pass = nullptr;
    }
    vtkWindow* window = renderer->GetRenderWindow();
    if (!window)
        return;
    const auto shared = [this](vtkMapper* mapper) {
        return mapper == m_res.unitCube() || mapper == m_res.unitCubeEdges() || mapper == m_res.unitAxes();
    };
    for (const auto& part : m_parts)
        if (!shared(part->GetMapper()))
            part->ReleaseGraphicsResources(window);
    if (m_overlay)
        m_overlay->ReleaseGraphicsResources(window);
}

void SceneItem::removeFrom(vtkRenderer* renderer) {
    letGo(renderer);
    // What vtkRenderer::RemoveViewProp does, less releasing the shared geometry.
    for (vtkProp* prop : {static_cast<vtkProp*>(m_body), static_cast<vtkProp*>(m_overlay)}) {
        if (!prop)
            continue;
        renderer->GetViewProps()->RemoveItem(prop);
        prop->RemoveConsumer(renderer);
    }
}

void SceneItem::removeAllFrom(const std::vector<SceneItem*>& items, vtkRenderer* renderer) {
    if (items.empty())
        return;
    std::unordered_set<vtkProp*> going;
    going.reserve(items.size() * 2);
    for (SceneItem* item : items) {
        item->letGo(renderer);
        going.insert(item->m_body);
        if (item->m_overlay)
            going.insert(item->m_overlay);
    }
    // The props that stay, in their order, put back after one sweep.
    vtkPropCollection* props = renderer->GetViewProps();
    std::vector<vtkSmartPointer<vtkProp>> staying;
    vtkCollectionSimpleIterator it;
    props->InitTraversal(it);
    while (vtkProp* prop = props->GetNextProp(it)) {
        if (going.count(prop))
            prop->RemoveConsumer(renderer);
        else
            staying.emplace_back(prop);
    }
    props->RemoveAllItems();
    for (const auto& prop : staying)
        props->AddItem(prop);
}

void SceneItem::noteChanged() {
    if (!m_pass)
        return;
    m_pass->changed(m_body);
    if (m_overlay)
        m_pass->changed(m_overlay);
}

void SceneItem::update(const WorkspaceObject& object) {
    bool reshaped = false;
    std::vector<double> key = shapeKey(object);
    if (key != m_shapeKey) {
        clearParts();
        buildShape(object);
        m_shapeKey = std::move(key);
        m_jointKey.clear();
        reshaped = true;
    }
    if (m_kind == Kind::Robot) {
        const Eigen::VectorXd& joints = static_cast<const Robot&>(object).jointPositions();
        std::vector<double> jointKey(joints.data(), joints.data() + joints.size());
        if (reshaped || jointKey != m_jointKey) {
            updateRobotLinks(object);
            m_jointKey = std::move(jointKey);
            reshaped = true;
        }
    }
    if (reshaped)
        noteChanged();
    updatePose(object);
}

void SceneItem::updatePose(const WorkspaceObject& object) {
    const Eigen::Matrix4d pose = object.pose().matrix(); // pose() gives a temporary
    if (m_placed && pose == m_placedAt)
        return;
    setMatrix(m_matrix, object.pose());
    m_placedAt = pose;
    m_placed = true;
    noteChanged();
}

Eigen::Matrix4d SceneItem::drawnPose() const {
    Eigen::Matrix4d m;
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 4; ++c)
            m(r, c) = m_matrix->GetElement(r, c);
    return m;
}

vtkProp3D* SceneItem::prop() const {
    return m_body;
}

std::vector<double> SceneItem::shapeKey(const WorkspaceObject& object) const {
    const Eigen::Vector3d& s = object.size();
    std::vector<double> key{s.x(), s.y(), s.z()};
    if (m_kind == Kind::Robot) {
        key.push_back(static_cast<const Robot&>(object).reach());
    } else if (m_kind == Kind::Effector) {
        const Eigen::Vector3d& tcp = static_cast<const Effector&>(object).toolCentre().position;
        key.insert(key.end(), {tcp.x(), tcp.y(), tcp.z()});
    } else if (m_kind == Kind::Camera) {
        const auto& camera = static_cast<const Camera&>(object);
        key.insert(key.end(),
                   {camera.horizontalFov(), camera.verticalFov(), camera.minRange(), camera.maxRange()});
    }
    return key;
}

void SceneItem::clearParts() {
    for (const auto& part : m_parts)
        m_body->RemovePart(part);
    m_parts.clear();
    m_ownLooks.clear();
}

void SceneItem::setOverrideLook(vtkProperty* look) {
    if (look) {
        if (m_ownLooks.empty())
            for (const auto& part : m_parts)
                m_ownLooks.emplace_back(part->GetProperty());
        for (const auto& part : m_parts)
            part->SetProperty(look);
    } else if (!m_ownLooks.empty()) {
        for (size_t i = 0; i < m_parts.size() && i < m_ownLooks.size(); ++i)
            m_parts[i]->SetProperty(m_ownLooks[i]);
        m_ownLooks.clear();
    }
    noteChanged();
}

void SceneItem::addPart(vtkActor* actor) {
    m_parts.emplace_back(actor);
    m_body->AddPart(actor);
}

vtkActor* SceneItem::addBox(const Eigen::Vector3d& centre, const Eigen::Vector3d& extent, Look look) {
    auto actor = vtkSmartPointer<vtkActor>::New();
    actor->SetMapper(m_res.unitCube());
    actor->SetProperty(m_res.look(look));
    const Eigen::Vector3d e = atLeast(extent, kMinExtent);
    actor->SetScale(e.x(), e.y(), e.z());
    actor->SetPosition(centre.x(), centre.y(), centre.z());
    addPart(actor);
    return actor;
}

void SceneItem::buildShape(const WorkspaceObject& object) {
    const Eigen::Vector3d size = atLeast(object.size(), kMinExtent);
    const Eigen::Vector3d zero = Eigen::Vector3d::Zero();
    switch (m_kind) {
    case Kind::Robot: {
        // Links are tubes between consecutive frames and joints are balls on the frames above
        // the base, drawn from m_linkData and m_jointData, which updateRobotLinks rewrites when
        // the joints move. The base box stands on the robot's origin.
        addBox({0, 0, size.z() / 2}, size, Look::RobotBase);
        const double radius = static_cast<const Robot&>(object).linkRadius();
        m_linkData = vtkSmartPointer<vtkPolyData>::New();
        m_linkData->SetPoints(vtkSmartPointer<vtkPoints>::New());
        m_linkData->SetLines(vtkSmartPointer<vtkCellArray>::New());

        auto tubes = vtkSmartPointer<vtkTubeFilter>::New();
        tubes->SetInputData(m_linkData);
        tubes->SetRadius(radius);
        tubes->SetNumberOfSides(16);
        tubes->CappingOn();
        auto linkMapper = vtkSmartPointer<vtkPolyDataMapper>::New();
        linkMapper->SetInputConnection(tubes->GetOutputPort());
        auto links = vtkSmartPointer<vtkActor>::New();
        links->SetMapper(linkMapper);
        links->SetProperty(m_res.look(Look::RobotLink));
        addPart(links);

        auto ball = vtkSmartPointer<vtkSphereSource>::New();
        ball->SetRadius(radius * kJointBallScale);
        ball->SetThetaResolution(16);
        ball->SetPhiResolution(12);
        m_jointData = vtkSmartPointer<vtkPolyData>::New();
        m_jointData->SetPoints(vtkSmartPointer<vtkPoints>::New());
        auto joints = vtkSmartPointer<vtkGlyph3D>::New();
        joints->SetInputData(m_jointData);
        joints->SetSourceConnection(ball->GetOutputPort());
        joints->ScalingOff();
        joints->OrientOff();
        auto jointMapper = vtkSmartPointer<vtkPolyDataMapper>::New();
        jointMapper->SetInputConnection(joints->GetOutputPort());
        auto jointActor = vtkSmartPointer<vtkActor>::New();
        jointActor->SetMapper(jointMapper);
        jointActor->SetProperty(m_res.look(Look::RobotJoint));
        addPart(jointActor);
        break;
    }
    case Kind::Effector: {
        // The effector's pose is the middle of its body; the mounting face is the body's -z
        // side. The fingers are the effector's own (collisions see the same boxes).
        addBox(zero, size, Look::EffectorBody);
        for (const Effector::Box& finger : static_cast<const Effector&>(object).fingers())
            addBox(finger.centre, finger.extent, Look::EffectorFinger);
        break;
    }
    case Kind::ToolFrame: {
        auto axes = vtkSmartPointer<vtkActor>::New();
        axes->SetMapper(m_res.unitAxes());
        axes->SetProperty(m_res.look(Look::ToolFrameAxes));
        axes->SetScale(kToolAxisLength);
        addPart(axes);
        break;
    }
    case Kind::Item:
        addBox(zero, size, Look::Item);
        break;
    case Kind::Desk: {
        const double top = std::min(0.04, size.z() / 2);
        const double leg = std::min({0.05, size.x() / 5, size.y() / 5});
        const double legHeight = size.z() - top;
        addBox({0, 0, size.z() - top / 2}, {size.x(), size.y(), top}, Look::DeskTop);
        for (double sx : {-1.0, 1.0})
            for (double sy : {-1.0, 1.0})
                addBox({sx * (size.x() - leg) / 2, sy * (size.y() - leg) / 2, legHeight / 2},
                       {leg, leg, legHeight}, Look::DeskLeg);
        break;
    }
    case Kind::TaskRegion: {
        addBox(zero, size, Look::TaskRegionFill);
        auto edges = vtkSmartPointer<vtkActor>::New();
        edges->SetMapper(m_res.unitCubeEdges());
        edges->SetProperty(m_res.look(Look::TaskRegionEdge));
        edges->SetScale(size.x(), size.y(), size.z());
        addPart(edges);
        break;
    }
    case Kind::Camera:
        addBox(zero, size, Look::CameraBody);
        updateFrustum(object);
        break;
    case Kind::Marker: {
        // The marker is a thin tile centred on its pose whose face, seen from +z, is a black
        // border round a white field with a black block in one corner, which shows which way
        // the marker is turned. Each layer sits a millimetre above the last so that none
        // fights another for depth.
        const double thickness = std::max(size.z(), 0.001);
        const double face = thickness / 2;
        const double layer = 0.001;
        addBox(zero, {size.x(), size.y(), thickness}, Look::MarkerBlack);
        addBox({0, 0, face + layer / 2}, {0.7 * size.x(), 0.7 * size.y(), layer}, Look::MarkerWhite);
        addBox({-0.175 * size.x(), 0.175 * size.y(), face + 1.5 * layer},
               {0.3 * size.x(), 0.3 * size.y(), layer}, Look::MarkerBlack);
        break;
    }
    case Kind::Unknown:
        addBox(zero, atLeast(size, 0.05), Look::Unknown);
        break;
    }
}

void SceneItem::updateRobotLinks(const WorkspaceObject& object) {
    const auto& robot = static_cast<const Robot&>(object);
    const std::vector<Pose> frames = robot.linkFrames(robot.jointPositions());
    const Pose worldToBase = robot.pose().inverse();

    auto points = vtkSmartPointer<vtkPoints>::New();
    auto segments = vtkSmartPointer<vtkCellArray>::New();
    Eigen::Vector3d last = Eigen::Vector3d::Zero();
    for (const Pose& frame : frames) {
        const Eigen::Vector3d p = worldToBase * frame.translation();
        const vtkIdType n = points->GetNumberOfPoints();
        // A tube cannot be drawn along a segment of length zero.
        if (n > 0 && (p - last).norm() < kSamePoint)
            continue;
        points->InsertNextPoint(p.x(), p.y(), p.z());
        if (n > 0) {
            const vtkIdType ends[2] = {n - 1, n};
            segments->InsertNextCell(2, ends);
        }
        last = p;
    }
    m_linkData->SetPoints(points);
    m_linkData->SetLines(segments);
    m_linkData->Modified();

    // The base frame lies inside the base box; a ball there would poke out below the floor.
    auto jointPoints = vtkSmartPointer<vtkPoints>::New();
    for (vtkIdType i = 1; i < points->GetNumberOfPoints(); ++i)
        jointPoints->InsertNextPoint(points->GetPoint(i));
    m_jointData->SetPoints(jointPoints);
    m_jointData->Modified();
}

void SceneItem::updateFrustum(const WorkspaceObject& object) {
    // The camera looks along its +z, x to the right of the image and y down it: the
    // horizontal field of view opens along x and the vertical one along y.
    const auto& camera = static_cast<const Camera&>(object);
    const double degToRad = M_PI / 180.0;
    const double tanH = std::tan(0.5 * camera.horizontalFov() * degToRad);
    const double tanV = std::tan(0.5 * camera.verticalFov() * degToRad);
    const double far = std::min(camera.maxRange(), kMaxFrustumDepth);
    const double near = std::clamp(camera.minRange(), 0.0, far);

    auto points = vtkSmartPointer<vtkPoints>::New();
    points->InsertNextPoint(0, 0, 0);
    for (double depth : {near, far})
        for (auto [sx, sy] : {std::pair{-1, -1}, {1, -1}, {1, 1}, {-1, 1}})
            points->InsertNextPoint(sx * depth * tanH, sy * depth * tanV, depth);
    auto cells = vtkSmartPointer<vtkCellArray>::New();
    auto line = [&cells](vtkIdType a, vtkIdType b) {
        const vtkIdType ends[2] = {a, b};
        cells->InsertNextCell(2, ends);
    };
    for (vtkIdType corner = 0; corner < 4; ++corner) {
        line(0, 5 + corner);                    // apex to the far plane
        line(1 + corner, 1 + (corner + 1) % 4); // near rectangle
        line(5 + corner, 5 + (corner + 1) % 4); // far rectangle
    }
    m_overlayData->SetPoints(points);
    m_overlayData->SetLines(cells);
    m_overlayData->Modified();
}

vtkSmartPointer<vtkPolyData> makeFloorGrid(double halfExtent, double spacing) {
    auto points = vtkSmartPointer<vtkPoints>::New();
    auto cells = vtkSmartPointer<vtkCellArray>::New();
    auto colours = vtkSmartPointer<vtkUnsignedCharArray>::New();
    colours->SetNumberOfComponents(3);
    const unsigned char minor[3] = {150, 155, 165};
    const unsigned char major[3] = {95, 100, 110};
    const int steps = static_cast<int>(std::round(halfExtent / spacing));
    for (int i = -steps; i <= steps; ++i) {
        const double c = i * spacing;
        for (int axis = 0; axis < 2; ++axis) {
            const vtkIdType a = axis == 0 ? points->InsertNextPoint(c, -halfExtent, 0)
                                          : points->InsertNextPoint(-halfExtent, c, 0);
            const vtkIdType b = axis == 0 ? points->InsertNextPoint(c, halfExtent, 0)
                                          : points->InsertNextPoint(halfExtent, c, 0);
            const vtkIdType ends[2] = {a, b};
            cells->InsertNextCell(2, ends);
            colours->InsertNextTypedTuple(i == 0 ? major : minor);
        }
    }
    auto grid = vtkSmartPointer<vtkPolyData>::New();
    grid->SetPoints(points);
    grid->SetLines(cells);
    grid->GetCellData()->SetScalars(colours);
    return grid;
}

} // namespace kestrin
