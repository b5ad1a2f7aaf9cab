#pragma once
// Registration of the benchmark families, in the order they run. Names are
// "<figure>/<objects>" so that the table can find them.

#include <QString>
#include <vector>

namespace kestrin_bench {

/// Cell sizes the editing figures are measured at.
const std::vector<int>& cellSizes();

/// Per cell size: one frame, building scene and tree from nothing, adding one object, recording
/// one undo step; then workspace state at the largest size.
void registerEditingBenchmarks();
/// Undo of a one-object step at the smallest and largest size, in the core library and in the
/// studio's view and tree (undoStudioSizes); the memory of 500 steps; closing a large cell
/// (closeSizes).
void registerUndoBenchmarks();
const std::vector<int>& undoStudioSizes();
const std::vector<int>& closeSizes();
/// Loading and saving the largest cell against parsing and writing its JSON.
void registerProjectFileBenchmarks();
/// Simulated time against wall-clock time, without a viewer.
void registerSimulationBenchmarks();
/// Trials of the demo program on 1 and 2 threads; one trial against one plain run.
void registerTrialBenchmarks();
/// One collision check of a robot pose at the smallest and the largest cell size.
void registerCollisionBenchmarks();
/// A cell of 100 items of 100,000-triangle meshes: opening it, and collision checks among them
/// against the same among boxes.
void registerMeshBenchmarks();
/// Whole processes: start-up against a minimal Qt and VTK program; peak memory per cell size.
void registerProcessBenchmarks(const QString& self);

/// Child-process mode of kestrin-bench: builds a cell of `objects` on screen and prints the
/// process's peak resident memory in kB. Returns the exit status.
int runCellMemoryChild(int argc, char** argv, int objects);

} // namespace kestrin_bench
