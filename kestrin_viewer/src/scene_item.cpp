#include "scene_item.h"

#include "scene_batches.h"
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
#include <vtkMatrix4x4.h>
#include <vtkOutlineSource.h>
#include <vtkPoints.h>
#include <vtkPolyData.h>
#include <vtkPolyDataAlgorithm.h>
#include <vtkPolyDataMapper.h>
#include <vtkPolyDataNormals.h>
#include <vtkProp3DCollection.h>
#include <vtkPropCollection.h>
#include <vtkProperty.h>
#include <vtkRenderer.h>
#include <vtkSphereSource.h>
#include <vtkTriangleFilter.h>
#include <vtkTubeFilter.h>
#include <vtkUnsignedCharArray.h>

#include <algorithm>
#include <cmath>
#include <limits>
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
// Balls and rods whose radius on screen is under this many pixels are drawn coarser.
constexpr double kCoarsePixels = 3.0;

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
    // Every solid shape is closed and seen from outside: its back faces are always behind its
    // front faces, and need not be drawn.
    p->BackfaceCullingOn();
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

ShapeRef makeShape(vtkSmartPointer<vtkPolyData> data) {
    auto shape = std::make_shared<SceneShape>();
    shape->data = data;
    shape->mapper = mapperFor(data);
    data->GetBounds(shape->bounds);
    return shape;
}

vtkSmartPointer<vtkPolyData> outputOf(vtkPolyDataAlgorithm* source) {
    source->Update();
    vtkSmartPointer<vtkPolyData> data = source->GetOutput();
    return data;
}

/// Local matrix of a part: put at `at`, turned by `turn`, scaled by `scale`.
Eigen::Matrix4d partMatrix(const ScenePart& part) {
    Eigen::Affine3d m = Eigen::Translation3d(part.at) * part.turn * Eigen::Scaling(part.scale);
    return m.matrix();
}

void copyMatrix(vtkMatrix4x4* to, const Eigen::Matrix4d& m) {
    double elements[16];
    for (int row = 0; row < 4; ++row)
        for (int col = 0; col < 4; ++col)
            elements[row * 4 + col] = m(row, col);
    to->DeepCopy(elements);
}

std::vector<double> jointsOf(const WorkspaceObject& object) {
    if (object.kind() != ObjectKind::Robot)
        return {};
    const Eigen::VectorXd& q = static_cast<const Robot&>(object).jointPositions();
    return std::vector<double>(q.data(), q.data() + q.size());
}

ScenePart box(const SceneResources& res, const Eigen::Vector3d& centre, const Eigen::Vector3d& extent,
              Look look) {
    return ScenePart{res.cube(), look, centre, Eigen::Quaterniond::Identity(), atLeast(extent, kMinExtent)};
}

/// Whether the triangles make closed surfaces wound one way: each edge is run once in each
/// direction, by two triangles. Then no back face ever shows and the outside can be found.
bool closedAndWoundOneWay(const Mesh& mesh) {
    auto key = [](std::uint32_t from, std::uint32_t to) { return (std::uint64_t(from) << 32) | to; };
    std::unordered_set<std::uint64_t> edges;
    edges.reserve(3 * mesh.triangleCount());
    for (const Mesh::Triangle& t : mesh.triangles())
        for (int k = 0; k < 3; ++k)
            if (!edges.insert(key(t[k], t[(k + 1) % 3])).second)
                return false; // an edge run twice the same way: wound both ways, or more than two faces meet
    for (std::uint64_t edge : edges)
        if (!edges.count(key(std::uint32_t(edge), std::uint32_t(edge >> 32))))
            return false; // an open border
    return true;
}

vtkSmartPointer<vtkPolyData> meshData(const Mesh& mesh) {
    // An open mesh (a plate drawn as one face, a shell with a hole) gets a second copy of each
    // triangle, wound the other way on points of its own, instead of a look without back-face
    // culling: the looks are shared by every object, and the copies' normals must not be
    // averaged with the first ones'.
    const bool closed = closedAndWoundOneWay(mesh);
    const vtkIdType n = static_cast<vtkIdType>(mesh.vertices().size());
    auto points = vtkSmartPointer<vtkPoints>::New();
    points->SetDataTypeToFloat();
    points->SetNumberOfPoints(closed ? n : 2 * n);
    for (vtkIdType i = 0; i < n; ++i) {
        const Eigen::Vector3f& v = mesh.vertices()[static_cast<size_t>(i)];
        points->SetPoint(i, v.x(), v.y(), v.z());
        if (!closed)
            points->SetPoint(n + i, v.x(), v.y(), v.z());
    }
    auto polys = vtkSmartPointer<vtkCellArray>::New();
    const vtkIdType cells = static_cast<vtkIdType>(mesh.triangleCount()) * (closed ? 1 : 2);
    polys->AllocateExact(cells, 3 * cells);
    for (const Mesh::Triangle& t : mesh.triangles()) {
        const vtkIdType ids[3] = {t[0], t[1], t[2]};
        polys->InsertNextCell(3, ids);
    }
    if (!closed)
        for (const Mesh::Triangle& t : mesh.triangles()) {
            const vtkIdType ids[3] = {n + t[0], n + t[2], n + t[1]};
            polys->InsertNextCell(3, ids);
        }
    auto raw = vtkSmartPointer<vtkPolyData>::New();
    raw->SetPoints(points);
    raw->SetPolys(polys);

    auto normals = vtkSmartPointer<vtkPolyDataNormals>::New();
    normals->SetInputData(raw);
    normals->SplittingOn(); // a CAD part's edges stay sharp
    normals->SetFeatureAngle(30);
    normals->ComputePointNormalsOn();
    normals->ComputeCellNormalsOff();
    // A closed mesh may come wound inside out: its faces are turned outwards. An open one is
    // left as wound (its copy faces the other way on purpose).
    normals->SetConsistency(closed);
    normals->SetAutoOrientNormals(closed);
    vtkSmartPointer<vtkPolyData> data = outputOf(normals);
    // Point ids of 32 bits, not 64: the triangles take half the memory.
    data->GetPolys()->ConvertTo32BitStorage();
    return data;
}

} // namespace

SceneResources::SceneResources() {
    auto cube = vtkSmartPointer<vtkCubeSource>::New();
    m_cube = makeShape(outputOf(cube));

    auto outline = vtkSmartPointer<vtkOutlineSource>::New();
    outline->SetBounds(-0.5, 0.5, -0.5, 0.5, -0.5, 0.5);
    m_cubeEdges = makeShape(outputOf(outline));

    m_axes = colouredLinesMapper(makeUnitAxes());
    for (int axis = 0; axis < 3; ++axis) {
        auto points = vtkSmartPointer<vtkPoints>::New();
        points->InsertNextPoint(0, 0, 0);
        double end[3] = {0, 0, 0};
        end[axis] = 1;
        points->InsertNextPoint(end);
        auto cells = vtkSmartPointer<vtkCellArray>::New();
        const vtkIdType ends[2] = {0, 1};
        cells->InsertNextCell(2, ends);
        auto data = vtkSmartPointer<vtkPolyData>::New();
        data->SetPoints(points);
        data->SetLines(cells);
        m_axis[axis] = makeShape(data);
    }

    // Balls and tubes of a robot's joints and links, in full and coarser for robots far away,
    // where each is a few pixels wide: a large cell's robots are most of its triangles, and a
    // software rasteriser pays for every one.
    auto ball = [](int around, int down) {
        auto source = vtkSmartPointer<vtkSphereSource>::New();
        source->SetRadius(1);
        source->SetThetaResolution(around);
        source->SetPhiResolution(down);
        return makeShape(outputOf(source));
    };
    m_ball = ball(16, 12);
    m_coarseBall = ball(6, 4);

    // A tube round one segment, as a tube filter makes round a robot's link.
    auto rod = [](int sides) {
        auto segment = vtkSmartPointer<vtkPolyData>::New();
        auto ends = vtkSmartPointer<vtkPoints>::New();
        ends->InsertNextPoint(0, -0.5, 0);
        ends->InsertNextPoint(0, 0.5, 0);
        auto line = vtkSmartPointer<vtkCellArray>::New();
        const vtkIdType ids[2] = {0, 1};
        line->InsertNextCell(2, ids);
        segment->SetPoints(ends);
        segment->SetLines(line);
        auto tube = vtkSmartPointer<vtkTubeFilter>::New();
        tube->SetInputData(segment);
        tube->SetRadius(1);
        tube->SetNumberOfSides(sides);
        tube->CappingOn();
        // As triangles: instances of strips and polygons are drawn one by one.
        auto triangles = vtkSmartPointer<vtkTriangleFilter>::New();
        triangles->SetInputConnection(tube->GetOutputPort());
        return makeShape(outputOf(triangles));
    };
    m_rod = rod(16);
    m_coarseRod = rod(6);

    m_looks.resize(static_cast<int>(Look::Count));
    auto set = [this](Look look, vtkSmartPointer<vtkProperty> p) { m_looks[static_cast<int>(look)] = p; };
    set(Look::RobotLink, solid(0.95, 0.55, 0.15));
    set(Look::Collision, solid(0.9, 0.08, 0.08));
    set(Look::RobotJoint, solid(0.25, 0.25, 0.28));
    set(Look::RobotBase, solid(0.45, 0.46, 0.5));
    set(Look::EffectorBody, solid(0.3, 0.45, 0.75));
    set(Look::EffectorFinger, solid(0.18, 0.25, 0.45));
    set(Look::ToolFrameAxes, lines(1, 1, 1, 3));
    set(Look::AxisX, lines(230 / 255.0, 40 / 255.0, 40 / 255.0, 3));
    set(Look::AxisY, lines(40 / 255.0, 190 / 255.0, 40 / 255.0, 3));
    set(Look::AxisZ, lines(50 / 255.0, 80 / 255.0, 235 / 255.0, 3));
    set(Look::Item, solid(0.35, 0.65, 0.45));
    set(Look::DeskTop, solid(0.68, 0.52, 0.34));
    set(Look::DeskLeg, solid(0.45, 0.33, 0.22));
    auto fill = solid(0.3, 0.85, 0.35);
    fill->SetOpacity(0.22);
    fill->BackfaceCullingOff(); // seen through: its far faces show
    set(Look::TaskRegionFill, fill);
    set(Look::TaskRegionEdge, lines(0.15, 0.6, 0.2, 2));
    set(Look::CameraBody, solid(0.2, 0.2, 0.24));
    set(Look::CameraFrustum, lines(0.1, 0.65, 0.9, 1.5));
    set(Look::MarkerBlack, solid(0.03, 0.03, 0.03));
    auto white = solid(1, 1, 1);
    white->SetAmbient(0.6);
    set(Look::MarkerWhite, white);
}

SceneResources::~SceneResources() = default;

vtkPolyDataMapper* SceneResources::unitCube() const {
    return m_cube->mapper;
}

vtkPolyDataMapper* SceneResources::unitAxes() const {
    return m_axes;
}

vtkPolyDataMapper* SceneResources::unitCubeEdges() const {
    return m_cubeEdges->mapper;
}

const ShapeRef& SceneResources::coarse(const ShapeRef& shape) const {
    if (shape == m_ball)
        return m_coarseBall;
    if (shape == m_rod)
        return m_coarseRod;
    return shape;
}

ShapeRef SceneResources::frustum(double tanH, double tanV, double near, double far) const {
    const std::array<double, 4> key{tanH, tanV, near, far};
    auto it = m_frustums.find(key);
    if (it != m_frustums.end())
        if (ShapeRef shape = it->second.lock())
            return shape;
    // Forget the shapes no camera uses any more, so that a field of view being dragged does
    // not leave a shape behind for every value it passed.
    for (auto old = m_frustums.begin(); old != m_frustums.end();)
        old = old->second.expired() ? m_frustums.erase(old) : std::next(old);

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
    auto data = vtkSmartPointer<vtkPolyData>::New();
    data->SetPoints(points);
    data->SetLines(cells);
    ShapeRef shape = makeShape(data);
    m_frustums[key] = shape;
    return shape;
}

ShapeRef SceneResources::mesh(const MeshRef& mesh) const {
    auto it = m_meshes.find(mesh->sha256());
    if (it != m_meshes.end())
        if (ShapeRef shape = it->second.lock())
            return shape;
    // As for frustums: meshes no object draws any more are forgotten.
    for (auto old = m_meshes.begin(); old != m_meshes.end();)
        old = old->second.expired() ? m_meshes.erase(old) : std::next(old);
    ShapeRef shape = makeShape(meshData(*mesh));
    m_meshes[mesh->sha256()] = shape;
    return shape;
}

void setMatrix(vtkMatrix4x4* matrix, const Pose& pose) {
    copyMatrix(matrix, pose.matrix());
}

SceneItem::SceneItem(const WorkspaceObject& object, const SceneContext& context)
    : m_ctx(context), m_kind(object.kind()) {
    m_parts = makeParts(object);
    m_pose = object.pose();
    m_jointKey = jointsOf(object);
}

SceneItem::~SceneItem() = default;

ScenePart SceneItem::drawnPart(size_t index) const {
    ScenePart part = m_parts[index];
    if (m_override && !part.overlay)
        part.look = m_overrideLook;
    if (m_coarse)
        part.shape = m_ctx.resources.coarse(part.shape);
    return part;
}

vtkSmartPointer<vtkActor> SceneItem::actorOf(const ScenePart& part) const {
    auto actor = vtkSmartPointer<vtkActor>::New();
    actor->SetMapper(part.shape->mapper);
    actor->SetProperty(m_ctx.resources.look(part.look));
    auto local = vtkSmartPointer<vtkMatrix4x4>::New();
    copyMatrix(local, partMatrix(part));
    actor->SetUserMatrix(local);
    return actor;
}

void SceneItem::batch() {
    if (m_batched)
        return;
    dropProps();
    m_coarse = wantsCoarse();
    m_slots.resize(m_parts.size());
    for (size_t i = 0; i < m_parts.size(); ++i)
        m_slots[i] = m_ctx.batches.add(drawnPart(i), m_pose, this, static_cast<int>(i));
    m_batched = true;
}

bool SceneItem::refreshDetail() {
    if (!m_batched || wantsCoarse() == m_coarse)
        return false;
    leaveBatches();
    batch();
    return true;
}

bool SceneItem::wantsCoarse() const {
    // How wide the largest ball or rod is, and how far the item's parts reach from its origin.
    double round = 0, reach = 0;
    for (const ScenePart& part : m_parts) {
        reach = std::max(reach, part.at.norm() + part.scale.norm());
        if (part.shape == m_ctx.resources.ball() || part.shape == m_ctx.resources.rod())
            round = std::max({round, part.scale.x(), part.scale.z()}); // a rod's y is its length
    }
    if (round <= 0)
        return false;
    const DetailView& view = m_ctx.detail;
    double pixels = 0; // the radius on screen, at the item's nearest
    if (view.pixelsPerMetre > 0) {
        pixels = round * view.pixelsPerMetre;
    } else if (view.pixelsAtOneMetre > 0) {
        const double nearest = (m_pose.translation() - view.eye).norm() - reach;
        if (nearest <= 0)
            return false;
        pixels = round * view.pixelsAtOneMetre / nearest;
    } else {
        return false;
    }
    // A ball of six sides and four rings three pixels round differs from a full one by less
    // than half a pixel at its rim.
    return pixels < kCoarsePixels;
}

void SceneItem::leaveBatches() {
    if (!m_batched)
        return;
    // Last slot first: a removal moves the batch's last instance, which may be this item's.
    for (size_t i = m_parts.size(); i-- > 0;)
        m_ctx.batches.remove(drawnPart(i), m_slots[i]);
    m_slots.clear();
    m_batched = false;
}

void SceneItem::loosen(bool moving) {
    leaveBatches();
    m_coarse = false; // few items are loose: the selected one, the moving ones; all in full
    if (!m_body) {
        m_matrix = vtkSmartPointer<vtkMatrix4x4>::New();
        m_body = vtkSmartPointer<vtkAssembly>::New();
        m_body->SetUserMatrix(m_matrix);
        fillProps();
        // What vtkRenderer::AddViewProp does, less its check that the prop is not there yet:
        // that check walks every prop of the scene. An item's props are its own.
        for (vtkProp* prop : {static_cast<vtkProp*>(m_body), static_cast<vtkProp*>(m_overlay)}) {
            if (!prop)
                continue;
            m_ctx.renderer->GetViewProps()->AddItem(prop);
            prop->AddConsumer(m_ctx.renderer);
            if (m_ctx.pass)
                m_ctx.pass->keep(prop);
        }
    }
    setMatrix(m_matrix, m_pose);
    if (moving)
        noteChanged();
}

void SceneItem::fillProps() {
    m_body->GetParts()->RemoveAllItems();
    m_body->Modified();
    if (m_overlay) {
        m_overlay->GetParts()->RemoveAllItems();
        m_overlay->Modified();
    }
    for (size_t i = 0; i < m_parts.size(); ++i) {
        const ScenePart part = drawnPart(i);
        vtkSmartPointer<vtkActor> actor = actorOf(part);
        if (!part.overlay) {
            m_body->AddPart(actor);
            continue;
        }
        if (!m_overlay) {
            m_overlay = vtkSmartPointer<vtkAssembly>::New();
            m_overlay->SetUserMatrix(m_matrix);
            m_overlay->UseBoundsOff();
            m_overlay->PickableOff();
        }
        m_overlay->AddPart(actor);
    }
}

void SceneItem::dropProps() {
    if (!m_body)
        return;
    for (vtkProp* prop : {static_cast<vtkProp*>(m_body), static_cast<vtkProp*>(m_overlay)}) {
        if (!prop)
            continue;
        if (m_ctx.pass)
            m_ctx.pass->forget(prop);
        // What vtkRenderer::RemoveViewProp does, less releasing the shapes' shared geometry.
        m_ctx.renderer->GetViewProps()->RemoveItem(prop);
        prop->RemoveConsumer(m_ctx.renderer);
    }
    m_body = nullptr;
    m_overlay = nullptr;
    m_matrix = nullptr;
}

void SceneItem::remove() {
    leaveBatches();
    dropProps();
}

void SceneItem::removeAllLooseFrom(const std::vector<SceneItem*>& items, vtkRenderer* renderer) {
    std::unordered_set<vtkProp*> going;
    for (SceneItem* item : items) {
        item->m_batched = false;
        item->m_slots.clear();
        if (!item->m_body)
            continue;
        for (vtkProp* prop : {static_cast<vtkProp*>(item->m_body), static_cast<vtkProp*>(item->m_overlay)})
            if (prop) {
                if (item->m_ctx.pass)
                    item->m_ctx.pass->forget(prop);
                going.insert(prop);
            }
    }
    if (going.empty())
        return;
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
    for (SceneItem* item : items) {
        item->m_body = nullptr;
        item->m_overlay = nullptr;
        item->m_matrix = nullptr;
    }
}

void SceneItem::noteChanged() {
    if (!m_ctx.pass)
        return;
    if (m_body)
        m_ctx.pass->changed(m_body);
    if (m_overlay)
        m_ctx.pass->changed(m_overlay);
}

bool SceneItem::update(const WorkspaceObject& object, bool stayBatched) {
    std::vector<ScenePart> parts = makeParts(object);
    const Pose pose = object.pose();
    // Joints that move no part (a wrist turning about its own axis) are drawn all the same.
    m_jointKey = jointsOf(object);
    const bool reshaped = parts != m_parts;
    if (!reshaped && pose.matrix() == m_pose.matrix())
        return false;
    if (m_batched) {
        leaveBatches();
        m_parts = std::move(parts);
        m_pose = pose;
        if (stayBatched)
            batch();
        else
            loosen(true);
        return true;
    }
    m_parts = std::move(parts);
    m_pose = pose;
    if (m_body) {
        if (reshaped)
            fillProps();
        setMatrix(m_matrix, m_pose);
        noteChanged();
    }
    return true;
}

void SceneItem::setOverrideLook(const Look* look) {
    if (!look && !m_override)
        return;
    const bool wasBatched = m_batched;
    leaveBatches();
    m_override = look != nullptr;
    if (look)
        m_overrideLook = *look;
    if (m_body)
        fillProps();
    if (wasBatched || m_body)
        loosen(true);
}

vtkProp3D* SceneItem::prop() const {
    return m_body;
}

vtkSmartPointer<vtkProp3D> SceneItem::pickProp() const {
    if (m_body)
        return m_body;
    auto matrix = vtkSmartPointer<vtkMatrix4x4>::New();
    setMatrix(matrix, m_pose);
    auto body = vtkSmartPointer<vtkAssembly>::New();
    body->SetUserMatrix(matrix);
    for (size_t i = 0; i < m_parts.size(); ++i) {
        const ScenePart part = drawnPart(i);
        if (part.overlay)
            continue;
        vtkSmartPointer<vtkActor> actor = actorOf(part);
        body->AddPart(actor);
    }
    return body;
}

bool SceneItem::bounds(double out[6]) const {
    bool any = false;
    for (const ScenePart& part : m_parts) {
        if (part.overlay)
            continue;
        const Eigen::Matrix4d m = m_pose.matrix() * partMatrix(part);
        const double* b = part.shape->bounds;
        for (int corner = 0; corner < 8; ++corner) {
            const Eigen::Vector4d p =
                m * Eigen::Vector4d(b[corner & 1], b[2 + ((corner >> 1) & 1)], b[4 + (corner >> 2)], 1.0);
            for (int axis = 0; axis < 3; ++axis) {
                if (!any || p[axis] < out[2 * axis])
                    out[2 * axis] = p[axis];
                if (!any || p[axis] > out[2 * axis + 1])
                    out[2 * axis + 1] = p[axis];
            }
            any = true;
        }
    }
    return any;
}

Eigen::Matrix4d SceneItem::drawnPose() const {
    if (m_batched && !m_parts.empty()) {
        // The first part's instance, less the part's own place in the object.
        Eigen::Vector3d at;
        Eigen::Quaterniond turn;
        const ScenePart part = drawnPart(0);
        m_ctx.batches.placement(part, m_slots[0], at, turn);
        const Eigen::Matrix3d r = (turn * part.turn.conjugate()).toRotationMatrix();
        Eigen::Matrix4d m = Eigen::Matrix4d::Identity();
        m.topLeftCorner<3, 3>() = r;
        m.topRightCorner<3, 1>() = at - r * part.at;
        return m;
    }
    if (!m_matrix)
        return Eigen::Matrix4d::Constant(std::numeric_limits<double>::quiet_NaN());
    Eigen::Matrix4d m;
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 4; ++c)
            m(r, c) = m_matrix->GetElement(r, c);
    return m;
}

std::vector<ScenePart> SceneItem::makeParts(const WorkspaceObject& object) const {
    const SceneResources& res = m_ctx.resources;
    const Eigen::Vector3d size = atLeast(object.size(), kMinExtent);
    const Eigen::Vector3d zero = Eigen::Vector3d::Zero();
    std::vector<ScenePart> parts;
    switch (m_kind) {
    case ObjectKind::Robot:
        // An imported robot is drawn as its links' shapes. The built-in ones have none: their
        // base box stands on the robot's origin, and links and joints follow the joints.
        if (addLinkShapes(object, parts))
            break;
        parts.push_back(box(res, {0, 0, size.z() / 2}, size, Look::RobotBase));
        addRobotParts(object, parts);
        break;
    case ObjectKind::Effector: {
        // The effector's pose is the middle of its body; the mounting face is the body's -z
        // side. The fingers are the effector's own (collisions see the same boxes).
        parts.push_back(box(res, zero, size, Look::EffectorBody));
        for (const Effector::Box& finger : static_cast<const Effector&>(object).fingers())
            parts.push_back(box(res, finger.centre, finger.extent, Look::EffectorFinger));
        break;
    }
    case ObjectKind::ToolFrame:
        for (int axis = 0; axis < 3; ++axis)
            parts.push_back(ScenePart{res.axis(axis), static_cast<Look>(static_cast<int>(Look::AxisX) + axis),
                                      zero, Eigen::Quaterniond::Identity(),
                                      Eigen::Vector3d::Constant(kToolAxisLength)});
        break;
    case ObjectKind::CustomItem: {
        const auto& item = static_cast<const CustomItem&>(object);
        if (!item.mesh()) {
            parts.push_back(box(res, zero, size, Look::Item));
            break;
        }
        // The mesh's vertices are stretched to the item's size, its box centred on the pose.
        const Eigen::Affine3d placed = item.meshPlacement();
        parts.push_back(ScenePart{res.mesh(item.mesh()), Look::Item, placed.translation(),
                                  Eigen::Quaterniond::Identity(),
                                  atLeast(placed.linear().diagonal(), kMinExtent)});
        break;
    }
    case ObjectKind::Desk: {
        const double top = std::min(0.04, size.z() / 2);
        const double leg = std::min({0.05, size.x() / 5, size.y() / 5});
        const double legHeight = size.z() - top;
        parts.push_back(box(res, {0, 0, size.z() - top / 2}, {size.x(), size.y(), top}, Look::DeskTop));
        for (double sx : {-1.0, 1.0})
            for (double sy : {-1.0, 1.0})
                parts.push_back(box(res,
                                    {sx * (size.x() - leg) / 2, sy * (size.y() - leg) / 2, legHeight / 2},
                                    {leg, leg, legHeight}, Look::DeskLeg));
        break;
    }
    case ObjectKind::TaskRegion:
        parts.push_back(box(res, zero, size, Look::TaskRegionFill));
        parts.push_back(ScenePart{res.cubeEdges(), Look::TaskRegionEdge, zero, Eigen::Quaterniond::Identity(),
                                  object.size().cwiseMax(Eigen::Vector3d::Constant(kMinExtent))});
        break;
    case ObjectKind::Camera: {
        parts.push_back(box(res, zero, size, Look::CameraBody));
        // The camera looks along its +z, x to the right of the image and y down it: the
        // horizontal field of view opens along x and the vertical one along y.
        const auto& camera = static_cast<const Camera&>(object);
        const double degToRad = M_PI / 180.0;
        const double far = std::min(camera.maxRange(), kMaxFrustumDepth);
        const double near = std::clamp(camera.minRange(), 0.0, far);
        ScenePart frustum{res.frustum(std::tan(0.5 * camera.horizontalFov() * degToRad),
                                      std::tan(0.5 * camera.verticalFov() * degToRad), near, far),
                          Look::CameraFrustum, zero, Eigen::Quaterniond::Identity(), Eigen::Vector3d::Ones()};
        frustum.overlay = true;
        parts.push_back(frustum);
        break;
    }
    case ObjectKind::Marker: {
        // The marker is a thin tile centred on its pose whose face, seen from +z, is a black
        // border round a white field with a black block in one corner, which shows which way
        // the marker is turned. Each layer sits a millimetre above the last so that none
        // fights another for depth.
        const double thickness = std::max(size.z(), 0.001);
        const double face = thickness / 2;
        const double layer = 0.001;
        parts.push_back(box(res, zero, {size.x(), size.y(), thickness}, Look::MarkerBlack));
        parts.push_back(
            box(res, {0, 0, face + layer / 2}, {0.7 * size.x(), 0.7 * size.y(), layer}, Look::MarkerWhite));
        parts.push_back(box(res, {-0.175 * size.x(), 0.175 * size.y(), face + 1.5 * layer},
                            {0.3 * size.x(), 0.3 * size.y(), layer}, Look::MarkerBlack));
        break;
    }
    }
    return parts;
}

void SceneItem::addRobotParts(const WorkspaceObject& object, std::vector<ScenePart>& parts) const {
    // Links are tubes between consecutive link frames and joints are balls on the frames
    // above the base (a ball on the base frame, inside the base box, would poke out below the
    // floor).
    const auto& robot = static_cast<const Robot&>(object);
    const Eigen::VectorXd& q = robot.jointPositions();
    const std::vector<Pose> frames = robot.linkFrames(q);
    const Pose worldToBase = robot.pose().inverse();
    const double radius = robot.linkRadius();
    std::vector<Eigen::Vector3d> points;
    for (const Pose& frame : frames) {
        const Eigen::Vector3d p = worldToBase * frame.translation();
        // A tube cannot be drawn along a segment of length zero.
        if (!points.empty() && (p - points.back()).norm() < kSamePoint)
            continue;
        points.push_back(p);
    }
    for (size_t i = 1; i < points.size(); ++i) {
        const Eigen::Vector3d along = points[i] - points[i - 1];
        parts.push_back(ScenePart{m_ctx.resources.rod(), Look::RobotLink, (points[i] + points[i - 1]) / 2,
                                  Eigen::Quaterniond::FromTwoVectors(Eigen::Vector3d::UnitY(), along),
                                  Eigen::Vector3d(radius, along.norm(), radius)});
    }
    for (size_t i = 1; i < points.size(); ++i)
        parts.push_back(ScenePart{m_ctx.resources.ball(), Look::RobotJoint, points[i],
                                  Eigen::Quaterniond::Identity(),
                                  Eigen::Vector3d::Constant(radius * kJointBallScale)});
}

bool SceneItem::addLinkShapes(const WorkspaceObject& object, std::vector<ScenePart>& parts) const {
    const auto& robot = static_cast<const Robot&>(object);
    auto anyShape = [](const std::vector<std::vector<LinkShape>>& perFrame) {
        return std::any_of(perFrame.begin(), perFrame.end(),
                           [](const auto& shapes) { return !shapes.empty(); });
    };
    // A description without visual geometry is drawn as what is solid of it.
    const std::vector<std::vector<LinkShape>>& shapes =
        anyShape(robot.visualShapes()) ? robot.visualShapes() : robot.collisionShapes();
    if (!anyShape(shapes))
        return false;
    const SceneResources& res = m_ctx.resources;
    const std::vector<Pose> frames = robot.linkFrames(robot.jointPositions());
    const std::vector<int> links = robot.frameLinks();
    const Pose worldToBase = robot.pose().inverse();
    for (size_t i = 0; i < frames.size() && i < shapes.size(); ++i) {
        const Pose frame = worldToBase * frames[i];
        // What is fixed to the base looks like a built-in robot's base; the rest like its links.
        const Look look = i < links.size() && links[i] == 0 ? Look::RobotBase : Look::RobotLink;
        for (const LinkShape& shape : shapes[i]) {
            const Pose at = frame * shape.origin;
            const Eigen::Quaterniond turn(at.linear());
            switch (shape.kind) {
            case LinkShape::Kind::Box:
                parts.push_back(
                    ScenePart{res.cube(), look, at.translation(), turn, atLeast(shape.size, kMinExtent)});
                break;
            case LinkShape::Kind::Sphere:
                parts.push_back(
                    ScenePart{res.ball(), look, at.translation(), turn, atLeast(shape.size / 2, kMinExtent)});
                break;
            case LinkShape::Kind::Cylinder: {
                // The rod runs along its y: a quarter turn about x lays it along the link's z.
                const Eigen::Quaterniond along = turn * Eigen::AngleAxisd(M_PI / 2, Eigen::Vector3d::UnitX());
                const Eigen::Vector3d scale(shape.size.x() / 2, shape.size.z(), shape.size.y() / 2);
                parts.push_back(
                    ScenePart{res.rod(), look, at.translation(), along, atLeast(scale, kMinExtent)});
                break;
            }
            case LinkShape::Kind::Mesh:
                if (shape.mesh)
                    parts.push_back(ScenePart{res.mesh(shape.mesh), look, at.translation(), turn,
                                              atLeast(shape.scale.cwiseAbs(), kMinExtent)});
                break;
            }
        }
    }
    return true;
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
