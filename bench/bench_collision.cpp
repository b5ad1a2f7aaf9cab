// Collision checks of one robot pose in generated cells: the broad phase must keep a check in a
// cell of 10,000 objects about as cheap as in a cell of 10.

#include "benchmarks.h"
#include "cell_generator.h"

#include <kestrin/collision.h>
#include <kestrin/kestrin.h>

#include <benchmark/benchmark.h>

#include <random>

namespace kestrin_bench {

namespace {

/// Joint positions near the first robot's home, always the same ones.
std::vector<Eigen::VectorXd> posesNearHome(const kestrin::Robot& robot) {
    std::mt19937_64 rng(3);
    std::uniform_real_distribution<double> spread(-0.4, 0.4);
    std::vector<Eigen::VectorXd> poses;
    for (int i = 0; i < 16; ++i) {
        Eigen::VectorXd q = robot.homePositions();
        for (int j = 0; j < q.size(); ++j)
            q[j] += spread(rng);
        poses.push_back(q.cwiseMax(robot.lowerLimits()).cwiseMin(robot.upperLimits()));
    }
    return poses;
}

/// The world's contacts of robot 1 at a pose it is asked about; the cell itself does not change.
void checkRobotPose(benchmark::State& state, int objects) {
    kestrin::Project project;
    populateCell(project, objects);
    const kestrin::Robot* robot = project.workspace()->getRobot(QStringLiteral("Robot 1"));
    kestrin::CollisionWorld world(project.workspace());
    const std::vector<Eigen::VectorXd> poses = posesNearHome(*robot);
    world.checkRobotAt(robot, poses.front()); // builds the broad phase
    size_t i = 0;
    for (auto _ : state) {
        std::vector<kestrin::Contact> contacts = world.checkRobotAt(robot, poses[i++ % poses.size()]);
        benchmark::DoNotOptimize(contacts.data());
    }
}

/// As a simulator steps: robot 1 moves, then the world catches up and checks it where it is.
void moveAndCheckRobot(benchmark::State& state, int objects) {
    kestrin::Project project;
    populateCell(project, objects);
    kestrin::Robot* robot = project.workspace()->getRobot(QStringLiteral("Robot 1"));
    kestrin::CollisionWorld world(project.workspace());
    const std::vector<Eigen::VectorXd> poses = posesNearHome(*robot);
    world.checkRobotAt(robot, poses.front());
    size_t i = 0;
    for (auto _ : state) {
        const Eigen::VectorXd& q = poses[i++ % poses.size()];
        robot->setJointPositions(q);
        std::vector<kestrin::Contact> contacts = world.checkRobotAt(robot, q);
        benchmark::DoNotOptimize(contacts.data());
    }
}

} // namespace

void registerCollisionBenchmarks() {
    for (int n : {cellSizes().front(), cellSizes().back()}) {
        benchmark::RegisterBenchmark(("CollisionCheck/" + std::to_string(n)).c_str(), checkRobotPose, n)
            ->UseRealTime()
            ->Unit(benchmark::kMicrosecond)
            ->MinTime(0.5);
        benchmark::RegisterBenchmark(("MoveAndCollisionCheck/" + std::to_string(n)).c_str(),
                                     moveAndCheckRobot, n)
            ->UseRealTime()
            ->Unit(benchmark::kMicrosecond)
            ->MinTime(0.5);
    }
}

} // namespace kestrin_bench
