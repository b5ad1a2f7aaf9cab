#pragma once
// Private to the viewer: the parts of many objects drawn as instances, one batch (one actor,
// one instanced draw) per shape and look.
//
// A cell of 10,000 objects would otherwise be some 30,000 actors, each with its own matrices,
// paths and draw call: most of a frame's time and most of the view's memory. Batched, it is
// about twenty actors; an instance costs a position, a turn and a scale.
//
// Contract:
// - add() and remove() change the batches' arrays only; flush() hands the changes to VTK, puts
//   new batches in the renderer, takes empty ones out and tells the pass which batches were
//   redrawn. The viewer flushes before anything draws or asks for bounds.
// - Instances have no order: removing one moves the last of its batch into its slot (the
//   owner learns its new slot).
// - A batch's bounds are worked out at flush from its instances, not by VTK on every request.

#include "scene_item.h"

#include <vtkSmartPointer.h>

#include <map>
#include <memory>
#include <utility>

class vtkActor;
class vtkRenderer;

namespace kestrin {

class SceneImagePass;

class SceneBatches {
public:
    SceneBatches(const SceneResources& resources, vtkRenderer* renderer, SceneImagePass* pass);
    ~SceneBatches();
    SceneBatches(const SceneBatches&) = delete;
    SceneBatches& operator=(const SceneBatches&) = delete;

    /// Adds an instance of `part` placed by `pose` for part `index` of `owner`; returns its slot.
    int add(const ScenePart& part, const Pose& pose, SceneItem* owner, int index);
    /// Removes the instance in `slot` of the batch of `part`.
    void remove(const ScenePart& part, int slot);
    /// Where the instance in `slot` of the batch of `part` is drawn, in the world.
    void placement(const ScenePart& part, int slot, Eigen::Vector3d& at, Eigen::Quaterniond& turn) const;
    /// The actor that draws the batch of `part`, or nullptr.
    vtkActor* actorFor(const ScenePart& part) const;

    void flush();
    /// Drops every batch (the items that were in them must not be removed afterwards).
    void clear();

    /// Batches and instances now (for tests and benchmarks).
    int batchCount() const { return static_cast<int>(m_batches.size()); }
    std::size_t instanceCount() const;

private:
    struct Batch;
    using Key = std::pair<const SceneShape*, int>;
    static Key keyOf(const ScenePart& part) { return {part.shape.get(), static_cast<int>(part.look)}; }
    void dropActor(Batch& batch);

    const SceneResources& m_res;
    vtkRenderer* m_renderer;
    SceneImagePass* m_pass;
    std::map<Key, std::unique_ptr<Batch>> m_batches;
};

} // namespace kestrin
