// Motion profiles, program runs in simulated time and tool-frame jogging, without a display.

#include <kestrin/kestrin.h>
#include <kestrin/motion.h>
#include <kestrin/program_runner.h>
#include <kestrin/teleoperation.h>

#include <QTest>
#include <cmath>

using namespace kestrin;

namespace {

constexpr double kPi = 3.14159265358979323846;

/// Time a single joint needs for distance d with speed v and acceleration a.
double singleJointTime(double d, double v, double a) {
    d = std::abs(d);
    return d * a <= v * v ? 2 * std::sqrt(d / a) : d / v + v / a;
}

/// A UR5e with a tool frame, a joint target and a program "Main" that moves to it.
struct Cell {
    Project project;
    UR5eRobot* robot;
    ToolFrame* tool;
    Sequence* main;
    explicit Cell(const Eigen::VectorXd& goal) {
        robot = new UR5eRobot(project.workspace(), "Arm");
        tool = new ToolFrame(project.workspace(), "Tip");
        tool->setOffset(makePose({0, 0, 0.15}));
        robot->addToolFrame(tool);
        new JointPositionTarget(&project, "Goal", std::make_unique<DeterministicDistribution>(goal));
        main = new Sequence(&project, "Main");
        project.addProgram(main);
        auto* move = new MoveToJointTarget(&project, "Move");
        move->setProperty("robot", "Arm");
        move->setProperty("target", "Goal");
        main->_addChild(move);
    }
    Action* move() { return static_cast<Action*>(project.findBehavior("Move")); }
};

Eigen::VectorXd vec(std::initializer_list<double> v) {
    Eigen::VectorXd out(static_cast<Eigen::Index>(v.size()));
    int i = 0;
    for (double d : v)
        out[i++] = d;
    return out;
}

} // namespace

class SimulationTest : public QObject {
    Q_OBJECT
private slots:
    void jointMoveEndsAtTheGoalWithinTheLimitsAndNoFasterThanTheyAllow() {
        const Eigen::VectorXd start = vec({0, -1, 1, 0.2});
        const Eigen::VectorXd goal = vec({1.5, -1, -0.4, 0.25});
        const Eigen::VectorXd v = vec({1.0, 2.0, 0.5, 3.0});
        const Eigen::VectorXd a = vec({2.0, 1.0, 4.0, 0.5});
        const JointMove move(start, goal, v, a);
        QVERIFY((move.positionAt(move.duration()) - goal).norm() < 1e-12);
        QVERIFY((move.positionAt(0) - start).norm() < 1e-12);
        double lowerBound = 0;
        for (int i = 0; i < 4; ++i)
            lowerBound = std::max(lowerBound, singleJointTime(goal[i] - start[i], v[i], a[i]));
        QVERIFY(move.duration() >= lowerBound - 1e-9);
        const double dt = move.duration() / 2000;
        Eigen::VectorXd previous = move.velocityAt(0);
        for (double t = dt; t <= move.duration(); t += dt) {
            const Eigen::VectorXd vel = move.velocityAt(t);
            QVERIFY(((vel.cwiseAbs() - v).array() <= 1e-9).all());
            QVERIFY((((vel - previous).cwiseAbs() / dt - a).array() <= 1e-6).all());
            previous = vel;
        }
        const JointMove still(start, start, v, a);
        QCOMPARE(still.duration(), 0.0);
    }

    void jointMoveRejectsBadLimits() {
        QVERIFY_EXCEPTION_THROWN(JointMove(vec({0}), vec({1}), vec({0}), vec({1})), ValueError);
        QVERIFY_EXCEPTION_THROWN(JointMove(vec({0, 1}), vec({1}), vec({1}), vec({1})), ValueError);
    }

    void programEndsAtTheTargetTakingTheTimeTheLimitsNeed() {
        const Eigen::VectorXd goal = vec({0.5, -1.2, 1.0, -1.0, -1.5, 0.3});
        Cell cell(goal);
        const Eigen::VectorXd start = cell.robot->jointPositions();
        ProgramRunner runner(&cell.project);
        int steps = 0;
        runner.setStepCallback([&](double) { return ++steps > 0; });
        const RunOutcome outcome = runner.run("Main");
        QVERIFY2(outcome.completed, qPrintable(outcome.reason));
        QVERIFY((cell.robot->jointPositions() - goal).norm() < 1e-9);
        const JointMove expected(start, goal, cell.robot->maxJointVelocities(), cell.robot->maxJointAccelerations());
        QVERIFY(std::abs(outcome.simulatedSeconds - expected.duration()) < 1e-9);
        QVERIFY(steps >= int(expected.duration() * 60) - 1);

        // Tighter motion limits make the same move slower.
        cell.robot->setJointPositions(start);
        new MotionLimits(&cell.project, "Slow", Eigen::VectorXd::Constant(6, 0.2), Eigen::VectorXd::Constant(6, 0.5));
        cell.move()->setProperty("motion_limits", "Slow");
        const RunOutcome slow = ProgramRunner(&cell.project).run("Main");
        QVERIFY(slow.completed);
        QVERIFY(slow.simulatedSeconds > outcome.simulatedSeconds * 2);
    }

    void runFaultsWithAReason_data() {
        QTest::addColumn<int>("breakage");
        QTest::addColumn<QString>("expected");
        QTest::newRow("no such program") << 0 << "no program named 'Nope'";
        QTest::newRow("joint limit") << 1 << "outside its limits";
        QTest::newRow("no robot set") << 2 << "has no robot";
        QTest::newRow("robot deleted") << 3 << "has no robot";
        QTest::newRow("no target set") << 4 << "has no target";
        QTest::newRow("unreachable region") << 5 << "cannot reach";
        QTest::newRow("stopped") << 6 << "stopped by the user";
    }
    void runFaultsWithAReason() {
        QFETCH(int, breakage);
        QFETCH(QString, expected);
        Eigen::VectorXd goal = vec({0.5, -1.2, 1.0, -1.0, -1.5, 0.3});
        if (breakage == 1)
            goal[2] = 4.0; // the elbow stops at +-180 degrees
        Cell cell(goal);
        QString program = "Main";
        ProgramRunner runner(&cell.project);
        switch (breakage) {
        case 0: program = "Nope"; break;
        case 2: cell.move()->setProperty("robot", ""); break;
        case 3: cell.project.workspace()->remove(cell.robot); break;
        case 4: cell.move()->setProperty("target", ""); break;
        case 5: {
            auto* region = new TaskRegion(cell.project.workspace(), "Far");
            region->setPose(makePose({20, 0, 1}));
            auto gen = std::make_unique<PoseGenerator>(&cell.project);
            gen->setTaskRegion("Far");
            new TaskRegionTarget(&cell.project, "There", std::move(gen), nullptr);
            auto* reach = new MoveToTaskRegion(&cell.project, "Reach");
            reach->setProperty("robot", "Arm");
            reach->setProperty("tool_frame", "Tip");
            reach->setProperty("target", "There");
            cell.main->_addChild(reach);
            break;
        }
        case 6: runner.setStepCallback([](double t) { return t < 0.2; }); break;
        }
        const Eigen::VectorXd before = breakage == 3 ? Eigen::VectorXd() : cell.robot->jointPositions();
        const RunOutcome outcome = runner.run(program);
        QVERIFY(!outcome.completed);
        QVERIFY2(outcome.reason.contains(expected), qPrintable(outcome.reason));
        if (breakage == 1)
            QVERIFY(cell.robot->jointPositions() == before); // refused before moving
        // A stop is the user's doing, not a fault of any behavior; a missing program has none.
        QCOMPARE(outcome.stopped, breakage == 6);
        const QString faulted = breakage == 0 || breakage == 6 ? "" : breakage == 5 ? "Reach" : "Move";
        QCOMPARE(outcome.faultedBehavior, faulted);
    }

    void runReportsEachBehaviorAsItStartsAndNamesTheInnermostThatFaulted() {
        Cell cell(vec({0.5, -1.2, 1.0, -1.0, -1.5, 0.3}));
        // Main: Move, Inner (Pause, Too Far), Never
        auto* inner = new Sequence(&cell.project, "Inner");
        cell.main->_addChild(inner);
        auto* pause = new Wait(&cell.project, "Pause");
        pause->setProperty("duration", 0.1);
        inner->_addChild(pause);
        Eigen::VectorXd beyond = vec({0.5, -1.2, 4.0, -1.0, -1.5, 0.3});
        new JointPositionTarget(&cell.project, "Beyond", std::make_unique<DeterministicDistribution>(beyond));
        auto* tooFar = new MoveToJointTarget(&cell.project, "Too Far");
        tooFar->setProperty("robot", "Arm");
        tooFar->setProperty("target", "Beyond");
        inner->_addChild(tooFar);
        cell.main->_addChild(new Wait(&cell.project, "Never"));

        QStringList started;
        QList<double> startedAt;
        ProgramRunner runner(&cell.project);
        double now = 0;
        runner.setStepCallback([&](double t) {
            now = t;
            return true;
        });
        runner.setBehaviorCallback([&](const Behavior* b) {
            started << b->name();
            startedAt << now;
        });
        const RunOutcome outcome = runner.run("Main");
        QVERIFY(!outcome.completed);
        QVERIFY(!outcome.stopped);
        QCOMPARE(started, (QStringList{"Main", "Move", "Inner", "Pause", "Too Far"}));
        QCOMPARE(outcome.faultedBehavior, QString("Too Far"));
        // Each starts when the one before it has ended: the wait only after the move.
        QVERIFY(startedAt[3] > 0.1);
        QVERIFY(std::abs(startedAt[4] - (startedAt[3] + 0.1)) < 1e-9);

        // A run that completes names no behavior, also when one before it faulted.
        cell.robot->setJointPositions(Eigen::VectorXd::Zero(6));
        inner->_removeChild(tooFar);
        started.clear();
        const RunOutcome done = runner.run("Main");
        QVERIFY2(done.completed, qPrintable(done.reason));
        QCOMPARE(done.faultedBehavior, QString());
        QCOMPARE(started, (QStringList{"Main", "Move", "Inner", "Pause", "Never"}));

        // What the callback throws ends the run and reaches the caller.
        runner.setBehaviorCallback([](const Behavior* b) {
            if (b->name() == "Pause")
                throw ValueError("observer gave up");
        });
        QVERIFY_EXCEPTION_THROWN(runner.run("Main"), ValueError);
    }

    void taskRegionMoveBringsTheToolIntoTheRegion() {
        Cell cell(vec({0, -kPi / 2, kPi / 2, -kPi / 2, -kPi / 2, 0}));
        auto* region = new TaskRegion(cell.project.workspace(), "Bin");
        region->setSize({0.1, 0.1, 0.05});
        region->setPose(makePose(cell.robot->pose().translation() + Eigen::Vector3d(0.45, 0.1, 0.2)));
        auto gen = std::make_unique<PoseGenerator>(&cell.project);
        gen->setTaskRegion("Bin");
        new TaskRegionTarget(&cell.project, "In bin", std::move(gen), nullptr);
        auto* reach = new MoveToTaskRegion(&cell.project, "Reach");
        reach->setProperty("robot", "Arm");
        reach->setProperty("tool_frame", "Tip");
        reach->setProperty("target", "In bin");
        cell.main->_addChild(reach);
        const RunOutcome outcome = ProgramRunner(&cell.project, 7).run("Main");
        QVERIFY2(outcome.completed, qPrintable(outcome.reason));
        QVERIFY(region->contains(cell.tool->pose().translation(), 1e-4));
        // Tool pointing down.
        QVERIFY((cell.tool->pose().linear().col(2) - Eigen::Vector3d(0, 0, -1)).norm() < 1e-3);
    }

    void runsAreRepeatableForTheSameSeed() {
        Cell a(vec({0, -1, 1, -1, -1, 0}));
        Cell b(vec({0, -1, 1, -1, -1, 0}));
        for (Cell* c : {&a, &b}) {
            c->project.findVariable("Goal")->setName("Old");
            new JointPositionTarget(&c->project, "Goal",
                                    std::make_unique<UniformDistribution>(Eigen::VectorXd::Constant(6, -0.5),
                                                                          Eigen::VectorXd::Constant(6, 0.5)));
            c->move()->setProperty("target", "Goal");
        }
        QVERIFY(ProgramRunner(&a.project, 42).run("Main").completed);
        QVERIFY(ProgramRunner(&b.project, 42).run("Main").completed);
        QVERIFY(a.robot->jointPositions() == b.robot->jointPositions());
    }

    void joggingReachesATargetOrStopsAsNearAsItCan() {
        Cell cell(vec({0, 0, 0, 0, 0, 0}));
        const Pose start = cell.tool->pose();
        const Pose near = jogged(start, {0.02, -0.01, 0.03}, {0, 0, 0.1});
        const JogResult ok = moveToolTowards(cell.robot, cell.tool, near);
        QVERIFY(ok.reached);
        QVERIFY((cell.tool->pose().translation() - near.translation()).norm() < 1e-4);
        QVERIFY((cell.tool->pose().linear() - near.linear()).norm() < 1e-3);

        const Pose here = cell.tool->pose();
        const Pose far = jogged(here, {3.0, 0, 0}, {0, 0, 0});
        const JogResult stopped = moveToolTowards(cell.robot, cell.tool, far);
        QVERIFY(!stopped.reached);
        QVERIFY(stopped.message.contains("Arm"));
        const double before = (here.translation() - far.translation()).norm();
        const double after = (cell.tool->pose().translation() - far.translation()).norm();
        QVERIFY(after < before - 0.1);
        cell.robot->checkJointPositions(cell.robot->jointPositions());

        ToolFrame* loose = new ToolFrame(cell.project.workspace(), "Loose");
        QVERIFY_EXCEPTION_THROWN(moveToolTowards(cell.robot, loose, near), ValueError);
    }
};

QTEST_GUILESS_MAIN(SimulationTest)
#include "test_simulation.moc"
