// Headless simulation: simulated seconds per wall-clock second, on the demo cell with a long
// program of joint and task-region moves (the demo's own program is over in a few seconds).

#include "benchmarks.h"

#include <kestrin/kestrin.h>
#include <kestrin_viewer/simulator.h>

#include <benchmark/benchmark.h>

namespace kestrin_bench {

namespace {

constexpr int kMoves = 200;

QString demoCell() {
    return QStringLiteral(KESTRIN_SOURCE_DIR "/data/templates/demo_cell") + kestrin::KS_PROJECT_FILE_EXT;
}

/// A program of `moves` moves of the demo robot: home, into the place region, to a random
/// reachable joint target, and so on. No waits: their simulated time would cost nothing.
void addLongProgram(kestrin::Project& project, int moves) {
    kestrin::Workspace* ws = project.workspace();
    kestrin::Robot* robot = ws->getRobot(QStringLiteral("UR5e"));
    const Eigen::VectorXd home = robot->homePositions();
    // Shoulder and elbow a little less than the rest: further, random targets reach the desk,
    // and the run would fault on the collision.
    Eigen::VectorXd spread = Eigen::VectorXd::Constant(home.size(), 0.6);
    spread.segment(1, 2).setConstant(0.3);
    new kestrin::JointPositionTarget(
        &project, QStringLiteral("Anywhere Near Home"),
        std::make_unique<kestrin::UniformDistribution>(home - spread, home + spread));
    auto* program = new kestrin::Sequence(&project, QStringLiteral("Long Run"));
    project.addProgram(program);
    for (int i = 0; i < moves; ++i) {
        kestrin::Action* move = nullptr;
        switch (i % 3) {
        case 0:
            move = new kestrin::MoveToJointTarget(&project, QStringLiteral("Home %1").arg(i));
            move->setProperty(QStringLiteral("target"), QStringLiteral("Home"));
            break;
        case 1:
            move = new kestrin::MoveToTaskRegion(&project, QStringLiteral("Over Part %1").arg(i));
            move->setProperty(QStringLiteral("tool_frame"), QStringLiteral("Gripper TCP"));
            move->setProperty(QStringLiteral("target"), QStringLiteral("Pick Approach"));
            move->setProperty(QStringLiteral("motion_limits"), QStringLiteral("Gentle"));
            break;
        default:
            move = new kestrin::MoveToJointTarget(&project, QStringLiteral("Anywhere %1").arg(i));
            move->setProperty(QStringLiteral("target"), QStringLiteral("Anywhere Near Home"));
            break;
        }
        move->setProperty(QStringLiteral("robot"), robot->name());
        program->_addChild(move);
    }
}

void runProgram(benchmark::State& state, const QString& program, int moves) {
    kestrin::Project project;
    project.load(demoCell());
    if (moves > 0)
        addLongProgram(project, moves);
    kestrin::Simulator simulator(&project, nullptr);
    double simulated = 0;
    quint64 seed = 1;
    // Each run starts from the cell as it was loaded: a run leaves the arm and what it moved
    // where the program put them.
    const kestrin::WorkspaceState start = project.workspace()->_getState();
    for (auto _ : state) {
        project.workspace()->_setState(start);
        simulator.setSeed(seed++);
        if (!simulator.runProgram(program)) {
            state.SkipWithError(qPrintable(simulator.lastReason()));
            break;
        }
        simulated += simulator.lastSimulatedSeconds();
    }
    // Simulated seconds per run; the table divides by the wall-clock time per run.
    state.counters["sim_s"] = benchmark::Counter(simulated, benchmark::Counter::kAvgIterations);
}

void longRun(benchmark::State& state) {
    runProgram(state, QStringLiteral("Long Run"), kMoves);
}

void demoRun(benchmark::State& state) {
    runProgram(state, QStringLiteral("Pick and Place"), 0);
}

} // namespace

void registerSimulationBenchmarks() {
    benchmark::RegisterBenchmark("SimulateLongRun", longRun)
        ->UseRealTime()
        ->Unit(benchmark::kMillisecond)
        ->MinTime(2.0);
    benchmark::RegisterBenchmark("SimulateDemo", demoRun)
        ->UseRealTime()
        ->Unit(benchmark::kMillisecond)
        ->MinTime(1.0);
}

} // namespace kestrin_bench
