// Undo on large cells: a one-object step taken back in the core library and in the studio's
// view and tree, what 500 steps hold, and what closing a large cell costs.

#include "benchmarks.h"
#include "cell_generator.h"
#include "cell_harness.h"

#include <kestrin/kestrin.h>
#include <kestrin_app/container.h>
#include <kestrin_app/editor/tree.h>
#include <kestrin_viewer/workspace_viewer.h>

#include <benchmark/benchmark.h>

#include <memory>

namespace kestrin_bench {

namespace {

/// A generated cell of `objects` objects with one step recorded: a desk moved.
std::unique_ptr<kestrin::Project> cellWithOneStep(int objects, kestrin::WorkspaceObject*& moved) {
    auto project = std::make_unique<kestrin::Project>();
    populateCell(*project, objects);
    project->history().reset();
    moved = project->workspace()->objects()[static_cast<size_t>(objects / 2)];
    moved->setPose(kestrin::makePose({-40, -40, 0}));
    project->history().record(QStringLiteral("Move"));
    return project;
}

// UndoHistory::undo of a one-object step, in the core library alone; redone between runs.
void undoOneChange(benchmark::State& state, int objects) {
    kestrin::WorkspaceObject* moved = nullptr;
    const auto project = cellWithOneStep(objects, moved);
    for (auto _ : state) {
        project->history().undo();
        state.PauseTiming();
        project->history().redo();
        state.ResumeTiming();
    }
}

// 500 steps of one object each on a cell: what the history holds, against one snapshot of the
// whole project (what each step held before).
void undoMemory(benchmark::State& state, int objects) {
    auto project = std::make_unique<kestrin::Project>();
    populateCell(*project, objects);
    const std::vector<kestrin::WorkspaceObject*> all = project->workspace()->objects();
    double held = 0, snapshot = 0;
    for (auto _ : state) {
        state.PauseTiming();
        project->history().reset();
        state.ResumeTiming();
        for (int i = 0; i < 500; ++i) {
            all[static_cast<size_t>(i * 13) % all.size()]->setPose(kestrin::makePose({-60.0 - i, -60, 0}));
            project->history().record(QStringLiteral("Move"));
        }
        held = double(project->history().memoryUse());
        snapshot = double(kestrin::UndoHistory::snapshotOf(*project).size());
    }
    state.counters["history_bytes"] = held;
    state.counters["snapshot_bytes"] = snapshot;
}

// What the handler does for Edit > Undo of a one-object step: undo, then the view and the tree
// catch up and the frame is drawn. The step is redone (and drawn) between runs.
void studioUndo(benchmark::State& state, int objects) {
    CellHarness& h = CellHarness::instance();
    h.rebuildCell(objects);
    kestrin::WorkspaceObject* made = addMenuObject(h.project()->workspace(), 2);
    h.project()->history().record(QStringLiteral("Add '%1'").arg(made->name()));
    h.container()->rebuildViewer();
    h.tree()->updateProjectTreeContent();
    h.renderFrame();
    for (auto _ : state) {
        h.project()->history().undo();
        h.container()->rebuildViewer();
        h.tree()->updateProjectTreeContent();
        h.renderFrame();
        state.PauseTiming();
        h.project()->history().redo();
        h.container()->rebuildViewer();
        h.tree()->updateProjectTreeContent();
        h.renderFrame();
        state.ResumeTiming();
    }
    state.counters["items"] = h.viewer()->sceneItemCount();
    h.rebuildCell(10); // leaves no large cell behind for the figures after it
}

// Closing a cell that is drawn and listed: the project goes, and with it every scene item and
// tree item (what File > New and closing the window pay).
void closeCell(benchmark::State& state, int objects) {
    CellHarness& h = CellHarness::instance();
    for (auto _ : state) {
        state.PauseTiming();
        h.rebuildCell(objects);
        state.ResumeTiming();
        h.container()->newProject();
        h.renderFrame();
    }
    h.rebuildCell(10);
}

} // namespace

void registerUndoBenchmarks() {
    for (int n : {cellSizes().front(), cellSizes().back()})
        benchmark::RegisterBenchmark(("UndoOneChange/" + std::to_string(n)).c_str(), undoOneChange, n)
            ->UseRealTime()
            ->Unit(benchmark::kMillisecond)
            ->Iterations(200)
            ->Repetitions(5); // microseconds: the median stands, not a run another process broke into
    benchmark::RegisterBenchmark(("UndoMemory/" + std::to_string(cellSizes().back())).c_str(), undoMemory,
                                 cellSizes().back())
        ->UseRealTime()
        ->Unit(benchmark::kMillisecond)
        ->Iterations(1);
    for (int n : undoStudioSizes())
        benchmark::RegisterBenchmark(("StudioUndo/" + std::to_string(n)).c_str(), studioUndo, n)
            ->UseRealTime()
            ->Unit(benchmark::kMillisecond)
            ->Iterations(20);
    for (int n : closeSizes())
        benchmark::RegisterBenchmark(("CloseCell/" + std::to_string(n)).c_str(), closeCell, n)
            ->UseRealTime()
            ->Unit(benchmark::kMillisecond)
            ->Iterations(2);
}

const std::vector<int>& undoStudioSizes() {
    static const std::vector<int> sizes{1000, 10000};
    return sizes;
}

const std::vector<int>& closeSizes() {
    static const std::vector<int> sizes{5000, 50000};
    return sizes;
}

} // namespace kestrin_bench
