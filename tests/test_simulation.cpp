// Motion profiles, program runs in simulated time and tool-frame jogging, without a display.

#include <kestrin/kestrin.h>
#include <kestrin/motion.h>
#include <kestrin/program_runner.h>
#include <kestrin/teleoperation.h>

#include <QTemporaryDir>
#include <QTest>
#include <cmath>

using namespace kestrin;

Q_DECLARE_METATYPE(Eigen::VectorXd)

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
    /// An action of the arm's tool frame "Tip", appended to `parent` (by default "Main").
    template <class A> A* toolAction(const QString& name, Sequence* parent = nullptr) {
        auto* action = new A(&project, name);
        action->setProperty("robot", "Arm");
        action->setProperty("tool_frame", "Tip");
        (parent ? parent : main)->_addChild(action);
        return action;
    }
    /// A program of its own holding one action of the tool frame.
    template <class A> A* toolProgram(const QString& program, const QString& name) {
        auto* sequence = new Sequence(&project, program);
        project.addProgram(sequence);
        return toolAction<A>(name, sequence);
    }
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
        const JointMove expected(start, goal, cell.robot->maxJointVelocities(),
                                 cell.robot->maxJointAccelerations());
        QVERIFY(std::abs(outcome.simulatedSeconds - expected.duration()) < 1e-9);
        QVERIFY(steps >= int(expected.duration() * 60) - 1);

        // Tighter motion limits make the same move slower.
        cell.robot->setJointPositions(start);
        new MotionLimits(&cell.project, "Slow", Eigen::VectorXd::Constant(6, 0.2),
                         Eigen::VectorXd::Constant(6, 0.5));
        cell.move()->setProperty("motion_limits", "Slow");
        const RunOutcome slow = ProgramRunner(&cell.project).run("Main");
        QVERIFY(slow.completed);
        QVERIFY(slow.simulatedSeconds > outcome.simulatedSeconds * 2);
    }

    // Limits are bounded, so every move ends; one that would outlast the longest move allowed
    // faults at its start, saying how long it would take, and the arm stays where it was.
    void movesAreBoundedAndSayWhenTheyWouldTakeTooLong() {
        const Eigen::VectorXd goal = vec({4.0, -1.2, 1.0, -1.0, -1.5, 0.3});
        Cell cell(goal);
        const Eigen::VectorXd start = cell.robot->jointPositions();
        const auto limits = [](double v) { return Eigen::VectorXd::Constant(6, v); };
        QVERIFY_EXCEPTION_THROWN(MotionLimits(&cell.project, "Denormal", limits(5e-324), limits(1)),
                                 ValueError);
        QVERIFY_EXCEPTION_THROWN(MotionLimits(&cell.project, "Sluggish", limits(1), limits(9e-4)),
                                 ValueError);
        QVERIFY_EXCEPTION_THROWN(MotionLimits(&cell.project, "Wild", limits(1001), limits(1)), ValueError);
        QVERIFY_EXCEPTION_THROWN(
            MotionLimits(&cell.project, "Many", Eigen::VectorXd::Ones(65), Eigen::VectorXd::Ones(65)),
            ValueError);
        auto* crawl = new MotionLimits(&cell.project, "Crawl", limits(MotionLimits::kMinLimit), limits(1));
        QCOMPARE(cell.project.variableList().size(),
                 size_t(2)); // Goal and Crawl; the refused ones left nothing
        cell.move()->setProperty("motion_limits", "Crawl");
        const RunOutcome tooLong = ProgramRunner(&cell.project).run("Main");
        QVERIFY(!tooLong.completed);
        QVERIFY2(tooLong.reason.contains("'Move' would take") &&
                     tooLong.reason.contains("longer than the 3600 s a move may take"),
                 qPrintable(tooLong.reason));
        QCOMPARE(tooLong.simulatedSeconds, 0.0);
        QCOMPARE(cell.robot->jointPositions(), start);
        // The same move a little faster fits: about 2000 s, finite, and the run completes.
        crawl->setLimits(limits(0.001), limits(1));
        cell.robot->setJointPositions(start);
        const JointMove expected(start, goal, cell.robot->maxJointVelocities().cwiseMin(limits(0.001)),
                                 cell.robot->maxJointAccelerations().cwiseMin(limits(1)));
        QVERIFY(expected.duration() > ProgramRunner::kMaxMoveSeconds);
        crawl->setLimits(limits(0.002), limits(1));
        const RunOutcome slow = ProgramRunner(&cell.project).run("Main");
        QVERIFY2(slow.completed, qPrintable(slow.reason));
        QVERIFY(std::isfinite(slow.simulatedSeconds) && slow.simulatedSeconds > 1000 &&
                slow.simulatedSeconds <= ProgramRunner::kMaxMoveSeconds);
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
        case 0:
            program = "Nope";
            break;
        case 2:
            cell.move()->setProperty("robot", "");
            break;
        case 3:
            cell.project.workspace()->remove(cell.robot);
            break;
        case 4:
            cell.move()->setProperty("target", "");
            break;
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
        case 6:
            runner.setStepCallback([](double t) { return t < 0.2; });
            break;
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

    // --- Grasping and straight lines ------------------------------------------------------------

    void graspCarriesTheItemAndReleaseRestsItOnTheDeskOrTheFloor() {
        for (const bool onDesk : {true, false}) {
            Cell cell(vec({0, -kPi / 2, kPi / 2, -kPi / 2, -kPi / 2, 0})); // tool pointing down
            QVERIFY(ProgramRunner(&cell.project).run("Main").completed);
            const Eigen::Vector3d tip = cell.tool->pose().translation();
            auto* part = new CustomItem(cell.project.workspace(), "Part");
            part->setSize({0.04, 0.04, 0.04});
            part->setPose(
                makePose(tip + Eigen::Vector3d(0.005, 0, 0.003), 0, 0, 0.3)); // the tip is inside it
            if (onDesk) {
                auto* desk = new Desk(cell.project.workspace(), "Desk");
                desk->setSize({0.3, 0.3, 0.2}); // under the part, clear of the arm
                desk->setPose(makePose({tip.x(), tip.y(), 0}));
            }
            const Pose grip = cell.tool->pose().inverse() * part->pose();
            cell.main->_removeChild(cell.move());
            cell.toolAction<Grasp>("Close");
            auto* lift = cell.toolAction<MoveLinear>("Lift");
            lift->setProperty("offset_z", -0.1);
            lift->setProperty("offset_x", 0.05);
            // Carried: the item keeps its grip while the tool moves.
            const RunOutcome carriedRun = ProgramRunner(&cell.project).run("Main");
            QVERIFY2(carriedRun.completed, qPrintable(carriedRun.reason));
            QCOMPARE(part->heldBy(), cell.tool);
            QVERIFY((cell.tool->pose().inverse() * part->pose()).isApprox(grip, 1e-9));
            QVERIFY((part->pose().translation() - tip).norm() > 0.1);
            // A second grasp with the hand full is refused by name.
            cell.toolProgram<Grasp>("Second", "Again");
            const RunOutcome full = ProgramRunner(&cell.project).run("Second");
            QVERIFY(!full.completed);
            QVERIFY2(full.reason.contains("already holds 'Part'"), qPrintable(full.reason));

            cell.toolProgram<Release>("Third", "Open");
            const Eigen::Vector3d carried = part->pose().translation();
            QVERIFY(ProgramRunner(&cell.project).run("Third").completed);
            QVERIFY(!part->heldBy());
            const double surface = onDesk ? 0.2 : 0.0;
            QVERIFY(std::abs(part->pose().translation().z() - (surface + 0.02)) < 1e-9);
            QVERIFY((part->pose().translation().head<2>() - carried.head<2>()).norm() < 1e-9);
            QVERIFY(part->pose().linear().col(2).isApprox(Eigen::Vector3d::UnitZ(), 1e-9)); // upright
        }
    }

    void graspNeedsAnItemWithinACentimetre_data() {
        QTest::addColumn<double>("gap");
        QTest::addColumn<bool>("grasped");
        QTest::newRow("inside") << -0.01 << true;
        QTest::newRow("5 mm outside") << 0.005 << true;
        QTest::newRow("15 mm outside") << 0.015 << false;
    }
    void graspNeedsAnItemWithinACentimetre() {
        QFETCH(double, gap);
        QFETCH(bool, grasped);
        Cell cell(vec({0, -kPi / 2, kPi / 2, -kPi / 2, -kPi / 2, 0}));
        QVERIFY(ProgramRunner(&cell.project).run("Main").completed);
        auto* part = new CustomItem(cell.project.workspace(), "Part");
        part->setSize({0.04, 0.04, 0.04});
        part->setPose(makePose(cell.tool->pose().translation() + Eigen::Vector3d(0.02 + gap, 0, 0)));
        cell.toolAction<Grasp>("Close");
        const RunOutcome outcome = ProgramRunner(&cell.project).run("Main");
        QCOMPARE(outcome.completed, grasped);
        QCOMPARE(part->heldBy() == cell.tool, grasped);
        if (!grasped)
            QCOMPARE(outcome.reason,
                     QString("'Close' finds nothing to grasp: no item is at tool frame 'Tip' (within 1 "
                             "cm of its origin)."));
    }

    void linearMoveKeepsTheToolOnTheLine() {
        Cell cell(vec({0.3, -1.8, 1.6, -1.4, -kPi / 2, 0.2}));
        QVERIFY(ProgramRunner(&cell.project).run("Main").completed);
        cell.main->_removeChild(cell.move());
        auto* line = cell.toolAction<MoveLinear>("Line");
        line->setProperty("offset_x", 0.12);
        line->setProperty("offset_y", -0.05);
        line->setProperty("offset_z", 0.08);
        const Pose start = cell.tool->pose();
        const Eigen::Vector3d direction =
            (start.rotation() * Eigen::Vector3d(0.12, -0.05, 0.08)).normalized();
        double worst = 0;
        int checked = 0;
        ProgramRunner runner(&cell.project);
        runner.setStepCallback([&](double) {
            const Eigen::Vector3d d = cell.tool->pose().translation() - start.translation();
            worst = std::max(worst, (d - d.dot(direction) * direction).norm());
            // The tool keeps its orientation along the way.
            worst = std::max(worst, (cell.tool->pose().rotation() - start.rotation()).norm() * 0.1);
            ++checked;
            return true;
        });
        const RunOutcome outcome = runner.run("Main");
        QVERIFY2(outcome.completed, qPrintable(outcome.reason));
        QVERIFY(checked > 10);
        QVERIFY2(worst < 1e-4, qPrintable(QString::number(worst)));
        const Eigen::Vector3d end =
            start.translation() + start.rotation() * Eigen::Vector3d(0.12, -0.05, 0.08);
        QVERIFY((cell.tool->pose().translation() - end).norm() < 1e-6);

        // Out of reach part-way: refused before the arm moves, and the reason says how far it got.
        const Eigen::VectorXd before = cell.robot->jointPositions();
        line->setProperty("offset_x", 2.0);
        const RunOutcome far = ProgramRunner(&cell.project).run("Main");
        QVERIFY(!far.completed);
        QVERIFY2(far.reason.contains("cannot follow the straight line of tool frame 'Tip'"),
                 qPrintable(far.reason));
        QCOMPARE(cell.robot->jointPositions(), before);
    }

    void graspsAreKeptByStatesFilesAndUndo() {
        QTemporaryDir dir;
        Cell cell(vec({0, -kPi / 2, kPi / 2, -kPi / 2, -kPi / 2, 0}));
        QVERIFY(ProgramRunner(&cell.project).run("Main").completed);
        auto* part = new CustomItem(cell.project.workspace(), "Part");
        part->setPose(makePose(cell.tool->pose().translation()));
        cell.project.history().reset();
        const WorkspaceState free = cell.project.workspace()->_getState();
        part->holdWith(cell.tool);
        cell.project.history().record("Grasp");
        const WorkspaceState held = cell.project.workspace()->_getState();
        QVERIFY(free != held);

        // Saved and read back holding.
        const QString file = dir.filePath("held.kestrin");
        cell.project.save(file);
        Project back;
        back.load(file);
        auto* backPart = dynamic_cast<CustomItem*>(back.workspace()->find(Category::Item, "Part"));
        QVERIFY(backPart && backPart->heldBy() && backPart->heldBy()->name() == "Tip");
        QVERIFY(backPart->pose().isApprox(part->pose(), 1e-9));

        // A state puts the hold back or takes it away; the item stays where it was put.
        cell.project.workspace()->_setState(free);
        QVERIFY(!part->heldBy());
        cell.project.workspace()->_setState(held);
        QCOMPARE(part->heldBy(), cell.tool);
        // Undo and redo likewise.
        cell.project.history().undo();
        part = dynamic_cast<CustomItem*>(cell.project.workspace()->find(Category::Item, "Part"));
        QVERIFY(!part->heldBy());
        cell.project.history().redo();
        part = dynamic_cast<CustomItem*>(cell.project.workspace()->find(Category::Item, "Part"));
        QVERIFY(part->heldBy() && part->heldBy()->name() == "Tip");
        // Deleting the robot lets go of the item where it is.
        const Eigen::Vector3d where = part->pose().translation();
        cell.project.workspace()->remove(cell.project.workspace()->getRobot("Arm"));
        QVERIFY(!part->heldBy());
        QVERIFY((part->pose().translation() - where).norm() < 1e-12);
    }

    void theDemoProgramPicksThePartAndPlacesItInTheRegion() {
        for (quint64 seed : {1, 2, 3, 17, 99}) {
            Project demo;
            demo.load(QStringLiteral(KESTRIN_SOURCE_DIR "/data/templates/demo_cell.kestrin"));
            auto* part = dynamic_cast<CustomItem*>(demo.workspace()->find(Category::Item, "Part"));
            auto* region =
                dynamic_cast<TaskRegion*>(demo.workspace()->find(Category::TaskRegion, "Place Region"));
            QVERIFY(part && region);
            QVERIFY(!region->contains(part->pose().translation()));
            bool carried = false;
            ProgramRunner runner(&demo, seed);
            runner.setStepCallback([&](double) {
                carried = carried || part->heldBy() != nullptr;
                return true;
            });
            const RunOutcome outcome = runner.run("Pick and Place");
            QVERIFY2(outcome.completed,
                     qPrintable(QStringLiteral("seed %1: %2").arg(seed).arg(outcome.reason)));
            QVERIFY(carried);
            QVERIFY(!part->heldBy());
            // Wholly inside the region, resting on the desk.
            for (double x : {-1.0, 1.0})
                for (double y : {-1.0, 1.0})
                    for (double z : {-1.0, 1.0})
                        QVERIFY(region->contains(
                            part->pose() * Eigen::Vector3d(x * 0.015, y * 0.015, z * 0.02), 1e-9));
            QVERIFY(std::abs(part->pose().translation().z() - 0.77) < 1e-9);
        }
    }

    // --- Collisions during runs ----------------------------------------------------------------

    void aSwingThroughAFixtureStopsWhereItHitsAndNamesThePair() {
        Project cell;
        cell.load(QStringLiteral(KESTRIN_SOURCE_DIR "/data/templates/collision_demo.kestrin"));
        Robot* arm = cell.workspace()->getRobot("UR5e");
        const WorkspaceObject* fixture = cell.workspace()->find(Category::Item, "Fixture");
        const RunOutcome outcome = ProgramRunner(&cell).run("Swing Round");
        QVERIFY(!outcome.completed && !outcome.stopped);
        QVERIFY2(outcome.reason.startsWith("'Swing to Other Side' at 0.") &&
                     outcome.reason.contains(" s: UR5e's ") &&
                     outcome.reason.contains(" hits item 'Fixture'"),
                 qPrintable(outcome.reason));
        QCOMPARE(outcome.faultedBehavior, QString("Swing to Other Side"));
        QCOMPARE(outcome.collidingObjects, (std::vector<quint64>{arm->id(), fixture->id()}));
        // The arm stopped at the contact, part-way round, and the cell holds that pose.
        QVERIFY(outcome.simulatedSeconds > 0.1);
        const double turned = arm->jointPositions()[0] - arm->homePositions()[0];
        QVERIFY(turned > 0.1 && turned < kPi - 0.1);
        CollisionWorld world(cell.workspace());
        QVERIFY(!world.check().empty());

        // Without checking, the same program swings through.
        Project unchecked;
        unchecked.load(QStringLiteral(KESTRIN_SOURCE_DIR "/data/templates/collision_demo.kestrin"));
        ProgramRunner blind(&unchecked);
        blind.setCollisionChecking(false);
        QVERIFY(blind.run("Swing Round").completed);

        // Started in collision: the run faults at 0 s, before anything moves.
        const Eigen::VectorXd atContact = arm->jointPositions();
        const RunOutcome again = ProgramRunner(&cell).run("Swing Round");
        QVERIFY2(again.reason.startsWith("'Swing Round' at 0.00 s: "), qPrintable(again.reason));
        QCOMPARE(again.simulatedSeconds, 0.0);
        QCOMPARE(arm->jointPositions(), atContact);
    }

    void theCellsClearanceCountsNearMissesAndIsSaved() {
        QTemporaryDir dir;
        Project demo;
        demo.load(QStringLiteral(KESTRIN_SOURCE_DIR "/data/templates/demo_cell.kestrin"));
        QCOMPARE(demo.workspace()->clearance(), 0.0);
        demo.workspace()->setClearance(0.05); // the fingers pass 4.5 mm from the part
        const RunOutcome outcome = ProgramRunner(&demo).run("Pick and Place");
        QVERIFY(!outcome.completed);
        QVERIFY2(outcome.reason.contains("comes within"), qPrintable(outcome.reason));
        QVERIFY_EXCEPTION_THROWN(demo.workspace()->setClearance(-0.001), ValueError);
        QVERIFY_EXCEPTION_THROWN(demo.workspace()->setClearance(std::nan("")), ValueError);
        demo.save(dir.filePath("clear.kestrin"));
        Project back;
        back.load(dir.filePath("clear.kestrin"));
        QCOMPARE(back.workspace()->clearance(), 0.05);
    }

    void aCarriedItemIsCheckedAgainstTheDeskBelow() {
        Project demo;
        demo.load(QStringLiteral(KESTRIN_SOURCE_DIR "/data/templates/demo_cell.kestrin"));
        // After lifting the part, lower it twice as far: into the desk.
        auto* program = demo.programs().value("Pick and Place");
        QVERIFY(program);
        auto* lower = new MoveLinear(&demo, "Too Far Down");
        lower->setProperty("robot", "UR5e");
        lower->setProperty("tool_frame", "Gripper TCP");
        lower->setProperty("offset_z", 0.2);
        program->_insertChild(lower, 4); // after Lift Part
        const RunOutcome outcome = ProgramRunner(&demo).run("Pick and Place");
        QVERIFY(!outcome.completed);
        QVERIFY2(outcome.reason.startsWith("'Too Far Down' at ") && outcome.reason.contains("item 'Part'") &&
                     outcome.reason.contains("desk 'Work Desk'"),
                 qPrintable(outcome.reason));
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

    // Where a jog's solution lay on another branch of the arm's kinematics, the arm took it:
    // joint 6 at its limit (turning the tool on needs it beyond), and the wrist nearly
    // stretched (joint 5 near zero), where a 5 degree turn swung joints 4 and 6 by 90 degrees.
    void joggingNeverFlipsTheArm_data() {
        QTest::addColumn<Eigen::VectorXd>("joints");
        QTest::addColumn<bool>("aboutTheTool"); // turn about the tool's own z, else the world's z
        QTest::newRow("joint 6 at its limit")
            << vec({0, -kPi / 2, kPi / 2, -kPi / 2, -kPi / 2, 2 * kPi - 0.02}) << true;
        QTest::newRow("wrist singularity") << vec({0.3, -1.2, 1.5, -1.9, 0.002, 0.4}) << false;
    }
    void joggingNeverFlipsTheArm() {
        QFETCH(Eigen::VectorXd, joints);
        QFETCH(bool, aboutTheTool);
        Cell cell(joints);
        cell.robot->setJointPositions(joints);
        const Pose start = cell.tool->pose();
        const double turn = 5 * kPi / 180;
        const Pose target = aboutTheTool ? Pose(start * Eigen::AngleAxisd(turn, Eigen::Vector3d::UnitZ()))
                                         : jogged(start, Eigen::Vector3d::Zero(), {0, 0, turn});
        const JogResult result = moveToolTowards(cell.robot, cell.tool, target);
        QVERIFY(!result.reached);
        QVERIFY2(result.message.contains("'Arm'") && result.message.contains("'Tip'") &&
                     result.message.contains("without turning joint"),
                 qPrintable(result.message));
        const double largest = (cell.robot->jointPositions() - joints).cwiseAbs().maxCoeff();
        QVERIFY2(largest <= 0.5, qPrintable(QString::number(largest)));
        cell.robot->checkJointPositions(cell.robot->jointPositions());
        // Whatever it did, it went no further than the jog, and along it.
        const Pose now = cell.tool->pose();
        QVERIFY((now.translation() - start.translation()).norm() < 1e-4);
        QVERIFY(Eigen::AngleAxisd(start.linear().transpose() * now.linear()).angle() <= turn + 1e-6);

        // The other way round is free, and moves the arm as little as ever.
        cell.robot->setJointPositions(joints);
        const Pose back = aboutTheTool ? Pose(start * Eigen::AngleAxisd(-turn, Eigen::Vector3d::UnitZ()))
                                       : jogged(start, Eigen::Vector3d::Zero(), {turn, 0, 0});
        const JogResult free = moveToolTowards(cell.robot, cell.tool, back);
        QVERIFY2(free.reached, qPrintable(free.message));
        QVERIFY((cell.robot->jointPositions() - joints).cwiseAbs().maxCoeff() <= 0.5);
        QVERIFY((cell.tool->pose().translation() - back.translation()).norm() < 1e-4);
    }

    void ordinaryJogsMoveTheArmALittle() {
        const Eigen::VectorXd joints = vec({0.4, -1.3, 1.6, -1.9, -1.5, 0.2});
        Cell cell(joints);
        cell.robot->setJointPositions(joints);
        for (const Eigen::Vector3d& by :
             {Eigen::Vector3d(0.005, 0, 0), Eigen::Vector3d(0, -0.005, 0), Eigen::Vector3d(0, 0, 0.005)}) {
            const Eigen::VectorXd before = cell.robot->jointPositions();
            const Pose target = jogged(cell.tool->pose(), by, Eigen::Vector3d::Zero());
            QVERIFY(moveToolTowards(cell.robot, cell.tool, target).reached);
            QVERIFY((cell.tool->pose().translation() - target.translation()).norm() < 1e-6);
            const double largest = (cell.robot->jointPositions() - before).cwiseAbs().maxCoeff();
            QVERIFY(largest > 1e-4 && largest < 0.05);
        }
        // A long jog goes the whole way, step by step.
        const Pose start = cell.tool->pose();
        const Pose far = jogged(start, {-0.15, 0.1, -0.05}, {0, 0, 0.3});
        QVERIFY(moveToolTowards(cell.robot, cell.tool, far).reached);
        QVERIFY((cell.tool->pose().translation() - far.translation()).norm() < 1e-6);
        QVERIFY(Eigen::AngleAxisd(cell.tool->pose().linear().transpose() * far.linear()).angle() < 1e-6);
        const Pose broken(Eigen::Matrix4d::Constant(std::nan("")));
        QVERIFY_EXCEPTION_THROWN(moveToolTowards(cell.robot, cell.tool, broken), ValueError);
    }
};

QTEST_GUILESS_MAIN(SimulationTest)
#include "test_simulation.moc"
