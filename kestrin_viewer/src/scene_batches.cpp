#include "scene_batches.h"

#include "scene_image_pass.h"

#include <vtkActor.h>
#include <vtkDoubleArray.h>
#include <vtkObjectFactory.h>
#include <vtkOpenGLGlyph3DMapper.h>
#include <vtkPointData.h>
#include <vtkPoints.h>
#include <vtkPolyData.h>
#include <vtkPropCollection.h>
#include <vtkProperty.h>
#include <vtkRenderer.h>

#include <algorithm>
#include <limits>

namespace kestrin {

namespace {

constexpr const char* kTurnArray = "turn";
constexpr const char* kScaleArray = "scale";

/// VTK's instanced glyph mapper with the bounds the batch works out when it changes: VTK's own
/// would walk every instance each time the renderer or the pass asks.
class InstanceMapper : public vtkOpenGLGlyph3DMapper {
public:
    static InstanceMapper* New();
    vtkTypeMacro(InstanceMapper, vtkOpenGLGlyph3DMapper)

        double* GetBounds() override {
        return m_bounds;
    }
    void GetBounds(double bounds[6]) override { std::copy(m_bounds, m_bounds + 6, bounds); }
    double m_bounds[6] = {0, 0, 0, 0, 0, 0};
};
vtkStandardNewMacro(InstanceMapper);

} // namespace

struct SceneBatches::Batch {
    ShapeRef shape; // kept alive while the batch draws it
    vtkSmartPointer<vtkPolyData> input = vtkSmartPointer<vtkPolyData>::New();
    vtkSmartPointer<vtkPoints> points = vtkSmartPointer<vtkPoints>::New();
    vtkSmartPointer<vtkDoubleArray> turns = vtkSmartPointer<vtkDoubleArray>::New();
    vtkSmartPointer<vtkDoubleArray> scales = vtkSmartPointer<vtkDoubleArray>::New();
    vtkSmartPointer<InstanceMapper> mapper = vtkSmartPointer<InstanceMapper>::New();
    vtkSmartPointer<vtkActor> actor = vtkSmartPointer<vtkActor>::New();
    std::vector<std::pair<SceneItem*, int>> owners; // per instance: the item and its part
    bool dirty = false;
    bool shown = false; // in the renderer

    vtkIdType size() const { return static_cast<vtkIdType>(owners.size()); }
    /// Shrinks the arrays to `n` instances (they keep their memory and what they hold).
    void shrink(vtkIdType n) {
        points->SetNumberOfPoints(n);
        turns->SetNumberOfTuples(n);
        scales->SetNumberOfTuples(n);
    }
    void computeBounds() {
        double* b = mapper->m_bounds;
        b[0] = b[2] = b[4] = std::numeric_limits<double>::max();
        b[1] = b[3] = b[5] = -std::numeric_limits<double>::max();
        const double* sb = shape->bounds;
        for (vtkIdType i = 0; i < size(); ++i) {
            double p[3], q[4], s[3];
            points->GetPoint(i, p);
            turns->GetTypedTuple(i, q);
            scales->GetTypedTuple(i, s);
            const Eigen::Matrix3d r = Eigen::Quaterniond(q[0], q[1], q[2], q[3]).toRotationMatrix();
            for (int corner = 0; corner < 8; ++corner) {
                const Eigen::Vector3d local(sb[corner & 1] * s[0], sb[2 + ((corner >> 1) & 1)] * s[1],
                                            sb[4 + (corner >> 2)] * s[2]);
                const Eigen::Vector3d w = r * local + Eigen::Vector3d(p[0], p[1], p[2]);
                for (int axis = 0; axis < 3; ++axis) {
                    b[2 * axis] = std::min(b[2 * axis], w[axis]);
                    b[2 * axis + 1] = std::max(b[2 * axis + 1], w[axis]);
                }
            }
        }
    }
};

SceneBatches::SceneBatches(const SceneResources& resources, vtkRenderer* renderer, SceneImagePass* pass)
    : m_res(resources), m_renderer(renderer), m_pass(pass) {}

SceneBatches::~SceneBatches() {
    clear();
}

int SceneBatches::add(const ScenePart& part, const Pose& pose, SceneItem* owner, int index) {
    std::unique_ptr<Batch>& slot = m_batches[keyOf(part)];
    if (!slot) {
        slot = std::make_unique<Batch>();
        Batch& b = *slot;
        b.shape = part.shape;
        b.points->SetDataTypeToDouble();
        b.turns->SetName(kTurnArray);
        b.turns->SetNumberOfComponents(4);
        b.scales->SetName(kScaleArray);
        b.scales->SetNumberOfComponents(3);
        b.input->SetPoints(b.points);
        b.input->GetPointData()->AddArray(b.turns);
        b.input->GetPointData()->AddArray(b.scales);
        b.mapper->SetInputData(b.input);
        b.mapper->SetSourceData(part.shape->data);
        b.mapper->SetOrientationArray(kTurnArray);
        b.mapper->SetOrientationModeToQuaternion();
        b.mapper->OrientOn();
        b.mapper->SetScaleArray(kScaleArray);
        b.mapper->SetScaleModeToScaleByVectorComponents();
        b.mapper->ScalingOn();
        b.mapper->ScalarVisibilityOff();
        b.actor->SetMapper(b.mapper);
        b.actor->SetProperty(m_res.look(part.look));
        if (part.overlay) {
            b.actor->UseBoundsOff();
            b.actor->PickableOff();
        }
    }
    Batch& b = *slot;
    const Eigen::Vector3d at = pose * part.at;
    const Eigen::Quaterniond turn = Eigen::Quaterniond(pose.linear()) * part.turn;
    const vtkIdType i = b.size();
    b.owners.emplace_back(owner, index);
    // Inserted, not resized and set: a data array that grows by SetNumberOfTuples drops what
    // it held.
    b.points->InsertNextPoint(at.x(), at.y(), at.z());
    const double q[4] = {turn.w(), turn.x(), turn.y(), turn.z()};
    b.turns->InsertNextTypedTuple(q);
    b.scales->InsertNextTypedTuple(part.scale.data());
    b.dirty = true;
    return static_cast<int>(i);
}

void SceneBatches::remove(const ScenePart& part, int slot) {
    auto it = m_batches.find(keyOf(part));
    if (it == m_batches.end())
        return;
    Batch& b = *it->second;
    const vtkIdType last = b.size() - 1;
    if (slot < 0 || slot > last)
        return;
    if (slot != last) {
        double p[3], q[4], s[3];
        b.points->GetPoint(last, p);
        b.turns->GetTypedTuple(last, q);
        b.scales->GetTypedTuple(last, s);
        b.points->SetPoint(slot, p);
        b.turns->SetTypedTuple(slot, q);
        b.scales->SetTypedTuple(slot, s);
        b.owners[slot] = b.owners[last];
        auto [owner, index] = b.owners[slot];
        owner->m_slots[index] = slot;
    }
    b.owners.pop_back();
    b.shrink(last);
    b.dirty = true;
}

void SceneBatches::placement(const ScenePart& part, int slot, Eigen::Vector3d& at,
                             Eigen::Quaterniond& turn) const {
    auto it = m_batches.find(keyOf(part));
    if (it == m_batches.end() || slot < 0 || slot >= it->second->size()) {
        at = Eigen::Vector3d::Constant(std::numeric_limits<double>::quiet_NaN());
        turn = Eigen::Quaterniond::Identity();
        return;
    }
    double p[3], q[4];
    it->second->points->GetPoint(slot, p);
    it->second->turns->GetTypedTuple(slot, q);
    at = Eigen::Vector3d(p[0], p[1], p[2]);
    turn = Eigen::Quaterniond(q[0], q[1], q[2], q[3]);
}

vtkActor* SceneBatches::actorFor(const ScenePart& part) const {
    auto it = m_batches.find(keyOf(part));
    return it == m_batches.end() ? nullptr : it->second->actor.Get();
}

void SceneBatches::dropActor(Batch& b) {
    if (!b.shown)
        return;
    if (m_pass)
        m_pass->forget(b.actor);
    m_renderer->GetViewProps()->RemoveItem(b.actor);
    b.actor->RemoveConsumer(m_renderer);
    b.shown = false;
}

void SceneBatches::flush() {
    for (auto it = m_batches.begin(); it != m_batches.end();) {
        Batch& b = *it->second;
        if (!b.dirty) {
            ++it;
            continue;
        }
        b.dirty = false;
        if (b.owners.empty()) {
            dropActor(b);
            it = m_batches.erase(it);
            continue;
        }
        b.points->Modified();
        b.turns->Modified();
        b.scales->Modified();
        b.input->Modified();
        b.computeBounds();
        if (!b.shown) {
            // As SceneItem::batch does: no search of the renderer's props for one not there.
            m_renderer->GetViewProps()->AddItem(b.actor);
            b.actor->AddConsumer(m_renderer);
            if (m_pass)
                m_pass->keep(b.actor);
            b.shown = true;
        } else if (m_pass) {
            m_pass->replaced(b.actor);
        }
        ++it;
    }
}

void SceneBatches::clear() {
    for (auto& entry : m_batches)
        dropActor(*entry.second);
    m_batches.clear();
}

std::size_t SceneBatches::instanceCount() const {
    std::size_t n = 0;
    for (const auto& entry : m_batches)
        n += entry.second->owners.size();
    return n;
}

} // namespace kestrin
