// A cell of parts from CAD: 100 items, each its own mesh of 100,000 triangles, round a UR5e.
// Opening it in the studio to its first frame against the core library's load of the same file,
// and a collision check of the arm among them against the same check among boxes of the same
// sizes.

#include "benchmarks.h"
#include "cell_harness.h"

#include <kestrin/collision.h>
#include <kestrin/kestrin.h>
#include <kestrin/mesh.h>

#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include <cmath>
#include <random>

namespace kestrin_bench {

namespace {

constexpr int kMeshes = 100;
constexpr int kRows = 251, kColumns = 200; // (rows - 1) * columns * 2 = 100,000 triangles

/// A lumpy ball some 30 cm across, lumps from `seed`: every mesh of the cell is its own.
kestrin::MeshRef lumpyBall(int seed) {
    std::mt19937_64 rng(static_cast<std::uint64_t>(seed));
    std::uniform_real_distribution<double> phase(0, 2 * M_PI);
    const double a = phase(rng), b = phase(rng);
    std::vector<Eigen::Vector3f> vertices;
    vertices.reserve(kRows * kColumns);
    for (int r = 0; r < kRows; ++r) {
        const double theta = M_PI * (r + 0.5) / kRows;
        for (int c = 0; c < kColumns; ++c) {
            const double phi = 2 * M_PI * c / kColumns;
            const double radius = 0.15 * (1 + 0.08 * std::sin(5 * theta + a) * std::cos(3 * phi + b));
            vertices.emplace_back(float(radius * std::sin(theta) * std::cos(phi)),
                                  float(radius * std::sin(theta) * std::sin(phi)),
                                  float(radius * std::cos(theta)));
        }
    }
    std::vector<kestrin::Mesh::Triangle> triangles;
    triangles.reserve((kRows - 1) * kColumns * 2);
    for (int r = 0; r + 1 < kRows; ++r)
        for (int c = 0; c < kColumns; ++c) {
            const auto at = [](int row, int column) {
                return std::uint32_t(row * kColumns + column % kColumns);
            };
            triangles.push_back({at(r, c), at(r + 1, c), at(r + 1, c + 1)});
            triangles.push_back({at(r, c), at(r + 1, c + 1), at(r, c + 1)});
        }
    return kestrin::Mesh::make(std::move(vertices), std::move(triangles), QStringLiteral("lumpy ball"));
}

/// A UR5e at the origin, reaching out over a 10 x 10 grid of items 45 cm apart: meshes, or boxes
/// of the same sizes.
void populateMeshCell(kestrin::Project& project, bool meshes) {
    kestrin::Workspace* ws = project.workspace();
    auto* arm = new kestrin::UR5eRobot(ws, QStringLiteral("Arm"));
    arm->setPose(kestrin::makePose({0, 0, 0}));
    for (int i = 0; i < kMeshes; ++i) {
        auto* item = new kestrin::CustomItem(ws, QStringLiteral("Part %1").arg(i + 1));
        const kestrin::MeshRef mesh = lumpyBall(i + 1);
        if (meshes)
            item->setMesh(mesh, kestrin::LengthUnit::Metre);
        else
            item->setSize(mesh->bounds().sizes());
        item->setPose(kestrin::makePose({-2.025 + 0.45 * (i % 10), -2.025 + 0.45 * (i / 10), 0.4}));
    }
}

QString meshCellFile() {
    static QTemporaryDir folder(QDir::temp().filePath(QStringLiteral("kestrin-bench-XXXXXX")));
    static QString path;
    if (path.isEmpty()) {
        kestrin::Project project;
        populateMeshCell(project, true);
        path = folder.filePath(QStringLiteral("meshes.kestrin"));
        project.save(path);
    }
    return path;
}

void loadMeshCell(benchmark::State& state) {
    const QString path = meshCellFile();
    for (auto _ : state) {
        kestrin::Project project;
        project.load(path);
        benchmark::DoNotOptimize(project.workspace()->objectCount());
    }
    state.counters["bytes"] = double(QFileInfo(path).size());
}

void openMeshCellInStudio(benchmark::State& state) {
    CellHarness& h = CellHarness::instance();
    const QString path = meshCellFile();
    for (auto _ : state) {
        state.PauseTiming();
        h.rebuildCell(0);
        state.ResumeTiming();
        h.openToFirstFrame(path);
    }
    h.rebuildCell(10); // leaves no large cell behind (not timed)
}

/// Joint positions that swing the arm's forearm and wrist through the parts round it.
std::vector<Eigen::VectorXd> sweep(const kestrin::Robot& arm) {
    std::vector<Eigen::VectorXd> poses;
    for (int i = 0; i < 16; ++i) {
        Eigen::VectorXd q = arm.homePositions();
        q[0] = -M_PI + 2 * M_PI * i / 16;
        q[1] = -0.35;
        q[2] = 0.6;
        poses.push_back(q);
    }
    return poses;
}

/// The first check in a world made anew: what opening a cell and checking once costs (the
/// meshes the arm comes near are built for checking then).
void firstCheck(benchmark::State& state, bool meshes) {
    kestrin::Project project;
    populateMeshCell(project, meshes);
    const kestrin::Robot* arm = project.workspace()->getRobot(QStringLiteral("Arm"));
    const std::vector<Eigen::VectorXd> poses = sweep(*arm);
    for (auto _ : state) {
        kestrin::CollisionWorld world(project.workspace());
        for (const Eigen::VectorXd& q : poses)
            benchmark::DoNotOptimize(world.checkRobotAt(arm, q).size());
    }
}

/// Checks of the arm swept through the cell, the world kept between them.
void check(benchmark::State& state, bool meshes) {
    kestrin::Project project;
    populateMeshCell(project, meshes);
    const kestrin::Robot* arm = project.workspace()->getRobot(QStringLiteral("Arm"));
    kestrin::CollisionWorld world(project.workspace());
    const std::vector<Eigen::VectorXd> poses = sweep(*arm);
    size_t contacts = 0;
    for (const Eigen::VectorXd& q : poses)
        contacts += world.checkRobotAt(arm, q).size();
    size_t i = 0;
    for (auto _ : state)
        benchmark::DoNotOptimize(world.checkRobotAt(arm, poses[i++ % poses.size()]).size());
    state.counters["contacts_per_sweep"] = double(contacts);
}

} // namespace

void registerMeshBenchmarks() {
    benchmark::RegisterBenchmark("LoadMeshCell", loadMeshCell)
        ->UseRealTime()
        ->Unit(benchmark::kMillisecond)
        ->Iterations(1)
        ->Repetitions(3)
        ->ReportAggregatesOnly(true);
    benchmark::RegisterBenchmark("OpenMeshCellInStudio", openMeshCellInStudio)
        ->UseRealTime()
        ->Unit(benchmark::kMillisecond)
        ->Iterations(1)
        ->Repetitions(3)
        ->ReportAggregatesOnly(true);
    for (bool meshes : {true, false}) {
        const std::string kind = meshes ? "Meshes" : "Boxes";
        benchmark::RegisterBenchmark(("CollisionSweepFirst/" + kind).c_str(), firstCheck, meshes)
            ->UseRealTime()
            ->Unit(benchmark::kMillisecond)
            ->Iterations(1)
            ->Repetitions(3)
            ->ReportAggregatesOnly(true);
        benchmark::RegisterBenchmark(("CollisionCheckAmong/" + kind).c_str(), check, meshes)
            ->UseRealTime()
            ->Unit(benchmark::kMicrosecond)
            ->MinTime(0.5);
    }
}

} // namespace kestrin_bench
