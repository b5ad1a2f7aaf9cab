// Editing a cell as the content handler does: what adding one object costs at each cell size,
// against drawing and listing the whole cell from nothing, plus one frame and one undo step.

#include "benchmarks.h"
#include "cell_generator.h"
#include "cell_harness.h"

#include <kestrin/kestrin.h>
#include <kestrin/users_index.h>
#include <kestrin_app/container.h>
#include <kestrin_app/editor/tree.h>
#include <kestrin_viewer/workspace_viewer.h>

#include <benchmark/benchmark.h>

#include <vtkCamera.h>
#include <vtkRenderer.h>

#include <algorithm>
#include <memory>

namespace kestrin_bench {

namespace {

// Additions measured per run: every menu kind equally often, fewer rounds in large cells, where
// each undo step copies the whole project.
int additionsFor(int objects) {
    return kMenuKinds * (objects >= 1000 ? 10 : 20);
}

/// A cell may grow by a tenth while objects are added to it before it is made anew, so that
/// "a cell of N" stays within N and 1.1 N (and at least one object added each time).
int slackFor(int objects) {
    return std::max(1, objects / 10);
}

// A frame while the camera turns: everything is drawn, nothing comes from the kept image. The
// camera swings a tenth of a degree back and forth, so that the view stays where it was.
void renderFrame(benchmark::State& state, int objects) {
    CellHarness& h = CellHarness::instance();
    h.ensureCell(objects, slackFor(objects));
    vtkCamera* camera = h.viewer()->_getRenderer()->GetActiveCamera();
    double swing = 0.1;
    for (auto _ : state) {
        camera->Azimuth(swing);
        swing = -swing;
        h.renderFrame();
    }
    state.counters["objects"] = h.project()->workspace()->objectCount();
}

// A frame with nothing changed: the kept image of the cell, the outline and the floor.
void renderKeptFrame(benchmark::State& state, int objects) {
    CellHarness& h = CellHarness::instance();
    h.ensureCell(objects, slackFor(objects));
    h.renderFrame();
    for (auto _ : state)
        h.renderFrame();
}

// The whole scene and tree for a project that is already there: a viewer shown the project
// afresh (in the same window, so no OpenGL context and no shader is made) and a new tree;
// with or without drawing the frame.
void buildScene(benchmark::State& state, int objects, bool draw) {
    CellHarness& h = CellHarness::instance();
    h.ensureCell(objects, slackFor(objects));
    kestrin::Project* project = h.project();
    for (auto _ : state) {
        state.PauseTiming();
        h.viewer()->setProject(nullptr);
        auto tree = std::make_unique<KSProjectTree>(h.container());
        state.ResumeTiming();

        h.viewer()->setProject(project);
        tree->updateProjectTreeContent();
        if (draw)
            h.renderFrame();

        state.PauseTiming();
        tree.reset();
        state.ResumeTiming();
    }
    state.counters["items"] = h.viewer()->sceneItemCount();
}

void buildFromNothing(benchmark::State& state, int objects) {
    buildScene(state, objects, true);
}

void buildWithoutFrame(benchmark::State& state, int objects) {
    buildScene(state, objects, false);
}

// What the handler does for "Add ..." once the dialog is answered, less the undo step; with or
// without drawing the frame.
void addOne(benchmark::State& state, int objects, bool draw) {
    CellHarness& h = CellHarness::instance();
    h.ensureCell(objects, slackFor(objects));
    int index = 0;
    for (auto _ : state) {
        if (h.grownBy() >= slackFor(objects)) {
            state.PauseTiming();
            h.rebuildCell(objects);
            state.ResumeTiming();
        }
        kestrin::WorkspaceObject* made = addMenuObject(h.project()->workspace(), index++);
        benchmark::DoNotOptimize(made);
        h.container()->rebuildViewer();
        h.tree()->updateProjectTreeContent();
        if (draw)
            h.renderFrame();
        h.noteAdded();
    }
}

void addObject(benchmark::State& state, int objects) {
    addOne(state, objects, true);
}

void addObjectWithoutFrame(benchmark::State& state, int objects) {
    addOne(state, objects, false);
}

// The undo step the handler records after each addition: a snapshot of the whole project.
void recordUndoStep(benchmark::State& state, int objects) {
    CellHarness& h = CellHarness::instance();
    h.ensureCell(objects, slackFor(objects));
    int index = 0;
    for (auto _ : state) {
        state.PauseTiming();
        if (h.grownBy() >= slackFor(objects))
            h.rebuildCell(objects);
        kestrin::WorkspaceObject* made = addMenuObject(h.project()->workspace(), index++);
        const QString step = QStringLiteral("Add '%1'").arg(made->name());
        h.noteAdded();
        state.ResumeTiming();
        benchmark::DoNotOptimize(h.project()->history().record(step));
    }
}

// Workspace state as the respawn state takes and restores it, at the largest size. Restoring
// alternates between two states that differ in every robot's joints.
void getWorkspaceState(benchmark::State& state, int objects) {
    CellHarness& h = CellHarness::instance();
    h.ensureCell(objects, slackFor(objects));
    kestrin::Workspace* ws = h.project()->workspace();
    for (auto _ : state) {
        kestrin::WorkspaceState taken = ws->_getState();
        benchmark::DoNotOptimize(taken);
    }
}

void setWorkspaceState(benchmark::State& state, int objects) {
    CellHarness& h = CellHarness::instance();
    h.ensureCell(objects, slackFor(objects));
    kestrin::Workspace* ws = h.project()->workspace();
    const kestrin::WorkspaceState home = ws->_getState();
    for (const QString& name : ws->getRobots()) {
        kestrin::Robot* robot = ws->getRobot(name);
        robot->setJointPositions((robot->lowerLimits() + robot->upperLimits()) / 2);
    }
    const kestrin::WorkspaceState moved = ws->_getState();
    bool toHome = true;
    for (auto _ : state) {
        ws->_setState(toHome ? home : moved);
        toHome = !toHome;
    }
    ws->_setState(home);
}

// Who uses each object and variable, as deleting everything asks before it deletes: one index
// of the whole project, or (as it was) a walk over every behavior for each of them.
void usersOfEverything(benchmark::State& state, int objects, bool indexed) {
    CellHarness& h = CellHarness::instance();
    h.ensureCell(objects, slackFor(objects));
    const kestrin::Project& project = *h.project();
    const std::vector<kestrin::WorkspaceObject*> all = project.workspace()->objects();
    const std::vector<kestrin::Variable*> variables = project.variableList();
    for (auto _ : state) {
        int users = 0;
        if (indexed) {
            const kestrin::UsersIndex index(project);
            for (const kestrin::WorkspaceObject* o : all)
                users += index.usersOf(o).size();
            for (const kestrin::Variable* v : variables)
                users += index.usersOf(v).size();
        } else {
            for (const kestrin::WorkspaceObject* o : all)
                users += project.usersOf(o).size();
            for (const kestrin::Variable* v : variables)
                users += project.usersOf(v).size();
        }
        benchmark::DoNotOptimize(users);
    }
    state.counters["objects"] = static_cast<double>(all.size());
}

// What the studio does to open a file (File > Open once the file is chosen): load it into a
// project of its own, hand that to the container, draw and list it, fit the camera, draw the
// first frame and take the respawn state. Before each run the container holds an empty cell.
void openInStudio(benchmark::State& state, int objects) {
    CellHarness& h = CellHarness::instance();
    const QString path = cellFile(objects);
    for (auto _ : state) {
        state.PauseTiming();
        h.rebuildCell(0);
        state.ResumeTiming();
        h.openToFirstFrame(path);
        benchmark::DoNotOptimize(h.project()->workspace()->_getState());
    }
    state.counters["items"] = h.viewer()->sceneItemCount();
    h.rebuildCell(10); // leaves no large cell behind for the figures after it (not timed)
}

void usersIndexed(benchmark::State& state, int objects) {
    usersOfEverything(state, objects, true);
}

void usersOneByOne(benchmark::State& state, int objects) {
    usersOfEverything(state, objects, false);
}

} // namespace

const std::vector<int>& cellSizes() {
    static const std::vector<int> sizes{10, 100, 1000, 10000};
    return sizes;
}

void registerEditingBenchmarks() {
    using Fn = void (*)(benchmark::State&, int);
    const struct {
        const char* name;
        Fn fn;
    } families[] = {{"RenderFrame", renderFrame},
                    {"RenderKeptFrame", renderKeptFrame},
                    {"BuildFromNothing", buildFromNothing},
                    {"AddObject", addObject},
                    {"RecordUndoStep", recordUndoStep},
                    {"BuildWithoutFrame", buildWithoutFrame},
                    {"AddObjectWithoutFrame", addObjectWithoutFrame}};
    for (int n : cellSizes()) {
        for (const auto& f : families) {
            auto* b = benchmark::RegisterBenchmark((std::string(f.name) + "/" + std::to_string(n)).c_str(),
                                                   f.fn, n);
            b->UseRealTime()->Unit(benchmark::kMillisecond);
            if (f.fn == addObject || f.fn == recordUndoStep || f.fn == addObjectWithoutFrame)
                b->Iterations(additionsFor(n));
            else
                b->MinTime(n >= 1000 ? 0.5 : 1.0);
        }
    }
    const int largest = cellSizes().back();
    for (const auto& [name, fn] : {std::make_pair("UsersOfEverythingIndexed", usersIndexed),
                                   std::make_pair("UsersOfEverythingOneByOne", usersOneByOne)})
        benchmark::RegisterBenchmark((std::string(name) + "/" + std::to_string(largest)).c_str(), fn, largest)
            ->UseRealTime()
            ->Unit(benchmark::kMillisecond)
            ->MinTime(0.5);
    // Repeated and interleaved with the core library's load of the same file (LoadProject), so
    // that a slow spell of the shared machine falls on both.
    benchmark::RegisterBenchmark(("OpenInStudio/" + std::to_string(largest)).c_str(), openInStudio, largest)
        ->UseRealTime()
        ->Unit(benchmark::kMillisecond)
        ->Iterations(1)
        ->Repetitions(5)
        ->ReportAggregatesOnly(true);
    benchmark::RegisterBenchmark(("GetWorkspaceState/" + std::to_string(largest)).c_str(), getWorkspaceState,
                                 largest)
        ->UseRealTime()
        ->Unit(benchmark::kMicrosecond);
    benchmark::RegisterBenchmark(("SetWorkspaceState/" + std::to_string(largest)).c_str(), setWorkspaceState,
                                 largest)
        ->UseRealTime()
        ->Unit(benchmark::kMicrosecond);
}

} // namespace kestrin_bench
