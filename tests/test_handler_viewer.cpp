// Viewer modes, screenshots and local simulation through the content handler.

#include "handler_fixture.h"
#include "test_main.h"

#include <kestrin_viewer/simulator.h>

#include <QLabel>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTreeWidgetItemIterator>
#include <cmath>
#include <limits>
#include <vtkCallbackCommand.h>
#include <vtkCamera.h>
#include <vtkNew.h>
#include <vtkRenderWindow.h>
#include <vtkRenderer.h>

#include <functional>

using namespace kestrin_app::content;
using testing::DialogDriver;
using testing::HandlerFixture;
using testing::LogCapture;
using K = KSSelectorDialog;
using State = KSStatusBarWidget::State;

namespace {

/// A robot with a tool frame, a program that completes and one that leaves the joint limits.
void runnableCell(kestrin::Project* p) {
    auto* arm = new kestrin::UR5eRobot(p->workspace(), "R");
    auto* tip = new kestrin::ToolFrame(p->workspace(), "T");
    arm->addToolFrame(tip);
    Eigen::VectorXd goal = arm->homePositions();
    goal[0] += 0.3;
    new kestrin::JointPositionTarget(p, "Near", std::make_unique<kestrin::DeterministicDistribution>(goal));
    goal[2] = 4.0; // the elbow stops at 180 degrees
    new kestrin::JointPositionTarget(p, "Beyond", std::make_unique<kestrin::DeterministicDistribution>(goal));
    for (const char* target : {"Near", "Beyond"}) {
        auto* program = new kestrin::Sequence(p, QStringLiteral("Go %1").arg(target));
        p->addProgram(program);
        auto* move = new kestrin::MoveToJointTarget(p, QStringLiteral("Move %1").arg(target));
        move->setProperty("robot", "R");
        move->setProperty("target", target);
        program->_addChild(move);
    }
}

/// runnableCell and a program "Tour" that faults at its last move, inside a sequence of its own:
/// Tour: Tour Near, Breath, Finale (Tour Beyond).
void tourCell(kestrin::Project* p) {
    runnableCell(p);
    auto* tour = new kestrin::Sequence(p, "Tour");
    p->addProgram(tour);
    auto step = [p](const char* name, const char* target) {
        auto* move = new kestrin::MoveToJointTarget(p, name);
        move->setProperty("robot", "R");
        move->setProperty("target", target);
        return move;
    };
    tour->_addChild(step("Tour Near", "Near"));
    auto* breath = new kestrin::Wait(p, "Breath");
    breath->setProperty("duration", 0.1);
    tour->_addChild(breath);
    auto* finale = new kestrin::Sequence(p, "Finale");
    tour->_addChild(finale);
    finale->_addChild(step("Tour Beyond", "Beyond"));
}

/// Names of the tree's items shown in bold: the behavior playing, or the one that faulted.
QStringList boldItems(QTreeWidget* tree) {
    QStringList names;
    for (QTreeWidgetItemIterator it(tree); *it; ++it)
        if ((*it)->font(0).bold())
            names << (*it)->text(0);
    return names;
}

/// Names of the tree's items shown in red.
QStringList redItems(QTreeWidget* tree) {
    QStringList names;
    for (QTreeWidgetItemIterator it(tree); *it; ++it) {
        const QVariant brush = (*it)->data(0, Qt::ForegroundRole);
        const QColor c = brush.value<QBrush>().color();
        if (brush.isValid() && c.red() > 150 && c.green() < 100 && c.blue() < 100)
            names << (*it)->text(0);
    }
    return names;
}

QList<State> states(const QSignalSpy& spy) {
    QList<State> out;
    for (const QList<QVariant>& args : spy)
        out << args.at(0).value<State>();
    return out;
}

} // namespace

class HandlerViewerTest : public QObject {
    Q_OBJECT
private slots:
    void init() { DialogDriver::reset(); }
    void cleanup() { QCOMPARE(DialogDriver::closedBySafety(), 0); }

    void teleoperationGetsTheChosenRobotAndTool() {
        HandlerFixture f(runnableCell);
        f.handler->_active_robot = "stale robot";
        f.handler->_active_tool = "stale tool";
        DialogDriver::expect(DialogDriver::accept());
        f.handler->setTeleoperationMode();
        QVERIFY2(f.failures.isEmpty(), qPrintable(f.failures.join('\n')));
        QVERIFY(f.container->viewer()->isTeleoperating());
        QCOMPARE(f.container->viewer()->teleoperatedRobot(), QString("R"));
        QCOMPARE(f.container->viewer()->teleoperatedTool(), QString("T"));
        QCOMPARE(f.handler->_active_robot, QString("stale robot"));
        QCOMPARE(f.handler->_active_tool, QString("stale tool"));

        f.handler->_lock(); // camera mode is not guarded
        f.handler->setCameraMode();
        QVERIFY(!f.container->viewer()->isTeleoperating());
    }

    void teleoperationIsRefusedWhileLockedOrWithoutATool() {
        HandlerFixture f([](kestrin::Project* p) { new kestrin::UR3eRobot(p->workspace(), "Bare"); });
        f.handler->_lock();
        f.handler->setTeleoperationMode();
        QVERIFY(DialogDriver::seenTitles().isEmpty());
        f.handler->_unlock();

        DialogDriver::expect(DialogDriver::accept());
        f.handler->setTeleoperationMode();
        QCOMPARE(f.failures.size(), 1);
        QVERIFY2(f.failures.first().contains("tool frame"), qPrintable(f.failures.first()));
        QVERIFY(!f.container->viewer()->isTeleoperating());

        DialogDriver::expect(DialogDriver::reject());
        f.handler->setTeleoperationMode();
        QCOMPARE(f.failures.size(), 1);
    }

    void resetViewerBringsTheCameraBack() {
        HandlerFixture f(runnableCell);
        f.handler->resetViewer();
        vtkCamera* camera = f.container->viewer()->_getRenderer()->GetActiveCamera();
        const double home = camera->GetDistance();
        camera->Dolly(4.0);
        QVERIFY(std::abs(camera->GetDistance() - home) > 1e-3);
        f.handler->_lock();
        f.handler->resetViewer();
        QVERIFY(std::abs(f.container->viewer()->_getRenderer()->GetActiveCamera()->GetDistance() - home) <
                1e-6);
    }

    void screenshotWritesOnlyWhenAPathIsChosen() {
        QTemporaryDir dir;
        HandlerFixture f(runnableCell);
        LogCapture log;
        DialogDriver::expect(DialogDriver::chooseFile(QString()));
        f.handler->screenshotViewer();
        QCOMPARE(DialogDriver::seenTitles(), QStringList{"Save image"});
        QVERIFY(log.lines().isEmpty());
        QVERIFY(QDir(dir.path()).isEmpty());

        const QString path = dir.filePath("shot.png");
        DialogDriver::expect(DialogDriver::chooseFile(path));
        f.handler->screenshotViewer();
        QVERIFY(QImage(path).width() > 0);
        QCOMPARE(log.lines(), QStringList{"info: Saved image '" + path + "'"});

        DialogDriver::expect(DialogDriver::chooseFile(dir.filePath("missing/shot.png")));
        f.handler->screenshotViewer();
        QCOMPARE(f.failures.size(), 1);
        QVERIFY(f.failures.first().contains("missing"));
    }

    void runShowsRunningThenCompletedOrFaulted() {
        HandlerFixture f(runnableCell);
        QList<kestrin::Simulator*> made;
        f.handler->_on_simulator_created = [&made](kestrin::Simulator* s) {
            made << s;
            s->setSpeed(50); // play fast
        };
        QSignalSpy spy(f.status, &KSStatusBarWidget::stateChanged);
        const Eigen::VectorXd before = f.workspace()->getRobot("R")->jointPositions();
        DialogDriver::expect(DialogDriver::choose(K::EXECUTE_BEHAVIOR_KEY, "Go Near"));
        f.handler->runLocalSimulator();
        QCOMPARE(states(spy), (QList<State>{State::Running, State::Completed}));
        QVERIFY(f.workspace()->getRobot("R")->jointPositions() !=
                before); // the cell stays where the run left it

        spy.clear();
        LogCapture log;
        DialogDriver::expect(DialogDriver::choose(K::EXECUTE_BEHAVIOR_KEY, "Go Beyond"));
        f.handler->runLocalSimulator();
        QCOMPARE(states(spy), (QList<State>{State::Running, State::Faulted}));
        QVERIFY(log.lines().filter("outside its limits").size() == 1);
        QVERIFY2(f.status->reason().contains("outside its limits"), qPrintable(f.status->reason()));
        QCOMPARE(f.status->findChild<QLabel*>("statusLight")->toolTip(), f.status->reason());
        QCOMPARE(made.size(), 2);
        QVERIFY(f.failures.isEmpty());

        // The run is one undo step: undo returns the joints.
        f.handler->undo();
        f.handler->undo();
        QVERIFY(f.workspace()->getRobot("R")->jointPositions() == before);
    }

    void cancelledOrLockedRunTouchesNothing() {
        HandlerFixture f(runnableCell);
        int made = 0;
        f.handler->_on_simulator_created = [&made](kestrin::Simulator*) { ++made; };
        QSignalSpy spy(f.status, &KSStatusBarWidget::stateChanged);
        DialogDriver::expect(DialogDriver::reject());
        f.handler->runLocalSimulator();
        f.handler->_lock();
        f.handler->runLocalSimulator();
        QCOMPARE(made, 0);
        QCOMPARE(spy.count(), 0);
        QCOMPARE(DialogDriver::seenTitles().size(), 1);
    }

    // What the Add menu adds is drawn at once, not at the view's next redraw for another reason.
    void addedObjectsAreDrawnAtOnce() {
        HandlerFixture f(runnableCell);
        f.window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&f.window));
        int frames = 0;
        vtkNew<vtkCallbackCommand> counter;
        counter->SetClientData(&frames);
        counter->SetCallback(
            [](vtkObject*, unsigned long, void* data, void*) { ++*static_cast<int*>(data); });
        f.container->viewer()->_getRenderer()->GetRenderWindow()->AddObserver(vtkCommand::EndEvent, counter);
        for (const auto& add : std::vector<std::function<void()>>{
                 [&] { f.handler->addItem("CustomItem"); }, [&] { f.handler->addRobot("UR3eRobot"); },
                 [&] { f.handler->addEffector("RobotiqGripper2F85"); }}) {
            const int before = frames;
            DialogDriver::expect(DialogDriver::accept());
            add();
            QVERIFY(frames > before);
            QCOMPARE(f.container->viewer()->_differenceFromModel(), QString());
        }
    }

    void resetDrawsTheResetCellAfterTeleoperationAndAStoppedRun() {
        HandlerFixture f(runnableCell);
        f.window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&f.window));
        kestrin::Robot* arm = f.workspace()->getRobot("R");
        const Eigen::VectorXd respawn = arm->jointPositions();

        // Teleoperation moves the arm; reset puts it back, in the model and in the view.
        DialogDriver::expect(DialogDriver::accept());
        f.handler->setTeleoperationMode();
        QVERIFY(f.container->viewer()->isTeleoperating());
        QVERIFY(f.container->viewer()->jog({0.02, 0, 0}, {0, 0, 0}));
        QVERIFY(arm->jointPositions() != respawn);
        f.handler->resetState();
        QCOMPARE(arm->jointPositions(), respawn);
        QCOMPARE(f.container->viewer()->_differenceFromModel(), QString());

        // A run stopped with Escape half-way, then reset.
        f.handler->setCameraMode();
        f.handler->_on_simulator_created = [&f](kestrin::Simulator* s) {
            s->setSpeed(5);
            s->setStepObserver([&f](double t) {
                if (t > 0.2)
                    QTest::keyClick(f.container->viewer(), Qt::Key_Escape);
            });
        };
        DialogDriver::expect(DialogDriver::choose(K::EXECUTE_BEHAVIOR_KEY, "Go Near"));
        f.handler->runLocalSimulator();
        QVERIFY(arm->jointPositions() != respawn);
        QCOMPARE(f.container->viewer()->_differenceFromModel(), QString());
        f.handler->resetState();
        QCOMPARE(arm->jointPositions(), respawn);
        QCOMPARE(f.container->viewer()->_differenceFromModel(), QString());
    }

    void aHeldItemIsDrawnWithItsToolFrameWhateverMovesIt() {
        HandlerFixture f(runnableCell);
        kestrin::Robot* arm = f.workspace()->getRobot("R");
        auto* tip = f.workspace()->findToolFrame("T");
        auto* part = new kestrin::CustomItem(f.workspace(), "Part");
        part->setPose(tip->pose());
        part->holdWith(tip);
        auto* other = new kestrin::UR3eRobot(f.workspace(), "Other");
        f.handler->_rebuildViewerAndTree();
        QCOMPARE(f.container->viewer()->_differenceFromModel(), QString());
        // The arm moves, the tool frame's offset changes, the frame goes to another robot: each
        // time the drawn item is where the model has it.
        const std::vector<std::pair<QString, std::function<void()>>> changes{
            {"joints",
             [&] { arm->setJointPositions(arm->jointPositions() + Eigen::VectorXd::Constant(6, 0.1)); }},
            {"offset",
             [&] {
                 tip->setOffset(kestrin::makePose({0, 0, 0.3}));
             }},
            {"other robot", [&] { other->addToolFrame(tip); }},
        };
        for (const auto& [what, change] : changes) {
            const Eigen::Vector3d before = part->pose().translation();
            change();
            f.handler->_rebuildViewerAndTree();
            QVERIFY2(f.container->viewer()->_differenceFromModel().isEmpty(),
                     qPrintable(what + ": " + f.container->viewer()->_differenceFromModel()));
            if (what != "other robot")
                QVERIFY2((part->pose().translation() - before).norm() > 1e-3, qPrintable(what));
        }
        QVERIFY(!part->heldBy()); // a frame taken off its robot lets go
    }

    void aCollisionStopsTheRunAndShowsThePairInRed() {
        HandlerFixture f;
        DialogDriver::expect(DialogDriver::reject());
        f.handler->openTemplate(QStringLiteral(KESTRIN_SOURCE_DIR "/data/templates/collision_demo.kestrin"));
        const quint64 arm = f.workspace()->getRobot("UR5e")->id();
        const quint64 fixture = f.workspace()->find(kestrin::Category::Item, "Fixture")->id();
        // Before the run, nothing collides.
        LogCapture log;
        f.handler->checkCollisions();
        QCOMPARE(log.lines(), QStringList{"info: No collisions in the cell"});
        QVERIFY(f.container->viewer()->collidingObjects().empty());

        f.handler->_on_simulator_created = [](kestrin::Simulator* s) { s->setSpeed(50); };
        log.clear();
        DialogDriver::expect(DialogDriver::choose(K::EXECUTE_BEHAVIOR_KEY, "Swing Round"));
        f.handler->runLocalSimulator();
        QCOMPARE(f.status->state(), State::Faulted);
        QVERIFY2(f.status->reason().contains("hits item 'Fixture'"), qPrintable(f.status->reason()));
        QCOMPARE(f.container->viewer()->collidingObjects(), (std::vector<quint64>{arm, fixture}));
        QCOMPARE(f.container->viewer()->_differenceFromModel(), QString()); // drawn at the contact

        // Checking now lists the contact and keeps the pair red; a reset clears the collision.
        log.clear();
        f.handler->checkCollisions();
        QVERIFY2(log.lines().first().startsWith("warning: Collision: UR5e's ") &&
                     log.lines().first().endsWith(" hits item 'Fixture'"),
                 qPrintable(log.lines().join("\n")));
        QCOMPARE(f.container->viewer()->collidingObjects(), (std::vector<quint64>{arm, fixture}));
        f.handler->resetState();
        f.handler->checkCollisions();
        QVERIFY(f.container->viewer()->collidingObjects().empty());
    }

    void aRunThatBreaksOffShowsFaultedAndIsReported() {
        HandlerFixture f(runnableCell);
        f.handler->_on_simulator_created = [](kestrin::Simulator* s) {
            s->setSpeed(50);
            s->setStepObserver([](double t) {
                if (t > 0.1)
                    throw kestrin::Error("the simulated controller stopped answering");
            });
        };
        QSignalSpy spy(f.status, &KSStatusBarWidget::stateChanged);
        DialogDriver::expect(DialogDriver::choose(K::EXECUTE_BEHAVIOR_KEY, "Go Near"));
        f.handler->runLocalSimulator();
        QCOMPARE(states(spy), (QList<State>{State::Running, State::Faulted}));
        QCOMPARE(f.failures, QStringList{"the simulated controller stopped answering"});
        // The behavior that was playing carries the fault; the handler holds no simulator any more.
        QCOMPARE(f.status->reason(), QString("the simulated controller stopped answering"));
        QCOMPARE(redItems(f.tree), QStringList{"Move Near"});
        QCOMPARE(f.handler->_simulator, nullptr);
    }

    void theTreeMarksTheBehaviorPlayingThenTheOneThatFaulted() {
        HandlerFixture f(tourCell);
        f.tree->itemForBehavior("Finale")->setExpanded(false);
        QStringList started, problems;
        f.handler->_on_simulator_created = [&](kestrin::Simulator* s) {
            s->setSpeed(50);
            s->setBehaviorObserver([&](const kestrin::Behavior* b) {
                started << b->name();
                if (boldItems(f.tree) != QStringList{b->name()})
                    problems << b->name() + " starts, marked: " + boldItems(f.tree).join(", ");
                if (!redItems(f.tree).isEmpty())
                    problems << "a fault mark while " + b->name() + " starts";
                // Shown: what holds it is unfolded.
                for (QTreeWidgetItem* up = f.tree->itemForBehavior(b->name())->parent(); up;
                     up = up->parent())
                    if (!up->isExpanded())
                        problems << up->text(0) + " folded while " + b->name() + " plays";
            });
        };
        DialogDriver::expect(DialogDriver::choose(K::EXECUTE_BEHAVIOR_KEY, "Tour"));
        f.handler->runLocalSimulator();
        QCOMPARE(started, (QStringList{"Tour", "Tour Near", "Breath", "Finale", "Tour Beyond"}));
        QVERIFY2(problems.isEmpty(), qPrintable(problems.join('\n')));
        QCOMPARE(f.status->state(), State::Faulted);
        QCOMPARE(redItems(f.tree), QStringList{"Tour Beyond"});
        QCOMPARE(boldItems(f.tree), QStringList{"Tour Beyond"});
        const QString tip = f.tree->itemForBehavior("Tour Beyond")->toolTip(0);
        QVERIFY2(tip.contains("outside its limits"), qPrintable(tip));

        // The mark stays while the project does not change: a view operation, a save...
        QTemporaryDir dir;
        f.handler->_active_filename = dir.filePath("tour.kestrin");
        f.handler->resetViewer();
        f.handler->saveProject();
        f.handler->_rebuildViewerAndTree();
        QVERIFY(QFile::exists(f.handler->_active_filename));
        QCOMPARE(redItems(f.tree), QStringList{"Tour Beyond"});

        // ...until the next run, which starts without it (checked as each behavior starts) and,
        // completing, leaves no mark at all.
        started.clear();
        DialogDriver::expect(DialogDriver::choose(K::EXECUTE_BEHAVIOR_KEY, "Go Near"));
        f.handler->runLocalSimulator();
        QCOMPARE(started, (QStringList{"Go Near", "Move Near"}));
        QVERIFY2(problems.isEmpty(), qPrintable(problems.join('\n')));
        QCOMPARE(f.status->state(), State::Completed);
        QCOMPARE(boldItems(f.tree), QStringList());
        QCOMPARE(redItems(f.tree), QStringList());
        QCOMPARE(f.tree->itemForBehavior("Tour Beyond")->toolTip(0), QString());

        // A change of the project takes a fault mark off too: here, undoing the run.
        DialogDriver::expect(DialogDriver::choose(K::EXECUTE_BEHAVIOR_KEY, "Tour"));
        f.handler->runLocalSimulator();
        QCOMPARE(redItems(f.tree), QStringList{"Tour Beyond"});
        f.handler->undo();
        QCOMPARE(redItems(f.tree), QStringList());
        QCOMPARE(boldItems(f.tree), QStringList());
        QVERIFY(f.failures.isEmpty());
    }

    void aStoppedRunIsLoggedAsStoppedNotAsAFault() {
        HandlerFixture f(runnableCell);
        double stoppedAt = -1;
        kestrin::Simulator* running = nullptr;
        bool exposed = true;
        f.handler->_on_simulator_created = [&](kestrin::Simulator* s) {
            s->setStepObserver([&, s](double t) {
                exposed = exposed && f.handler->_simulator == s;
                if (t > 0.1 && stoppedAt < 0) {
                    stoppedAt = t;
                    running = f.handler->_simulator;
                    QTest::keyClick(f.container->viewer(), Qt::Key_Escape);
                }
            });
        };
        LogCapture log;
        DialogDriver::expect(DialogDriver::choose(K::EXECUTE_BEHAVIOR_KEY, "Go Near"));
        f.handler->runLocalSimulator();
        QVERIFY(stoppedAt > 0);
        QVERIFY(running && exposed); // the handler showed the running simulator throughout
        QCOMPARE(f.handler->_simulator, nullptr);
        // The stop takes effect at the step it was asked in.
        QCOMPARE(
            log.lines(),
            (QStringList{"info: Running program 'Go Near'",
                         QString::asprintf("info: Program 'Go Near' stopped after %.2f s of simulated time",
                                           stoppedAt)}));
        QCOMPARE(f.status->state(), State::Stopped);
        QCOMPARE(f.status->text(), QString("Stopped"));
        QCOMPARE(f.status->reason(), QString("The run was stopped by the user."));
        QVERIFY(f.failures.isEmpty());
        QCOMPARE(boldItems(f.tree), QStringList());
    }

    void runningWithNoProgramChosenSaysSoAndRunsNothing() {
        HandlerFixture f([](kestrin::Project* p) { new kestrin::UR5eRobot(p->workspace(), "R"); });
        int made = 0;
        f.handler->_on_simulator_created = [&made](kestrin::Simulator*) { ++made; };
        f.status->indicateCompleted(); // as an earlier run left it
        QSignalSpy spy(f.status, &KSStatusBarWidget::stateChanged);
        LogCapture log;
        DialogDriver::expect(DialogDriver::accept()); // the selector offers no program
        f.handler->runLocalSimulator();
        const QString text("No program was chosen to run: add a behavior without a parent to make one.");
        QCOMPARE(log.lines(), QStringList{"error: " + text});
        QCOMPARE(f.failures, QStringList{text});
        QCOMPARE(made, 0);
        QCOMPARE(spy.count(), 0);
        QCOMPARE(f.status->text(), QString("Completed"));
        QVERIFY(!f.project()->history().canUndo()); // no run to undo
    }

    void aTooltipOrPopupClosingDuringARunLeavesItPlaying() {
        HandlerFixture f(runnableCell);
        bool closed = false;
        f.handler->_on_simulator_created = [&](kestrin::Simulator* s) {
            s->setSpeed(5);
            s->setStepObserver([&](double t) {
                if (t < 0.1 || closed)
                    return;
                closed = true;
                for (Qt::WindowType type : {Qt::ToolTip, Qt::Popup}) {
                    QWidget passing(nullptr, type);
                    passing.show();
                    passing.close();
                }
            });
        };
        DialogDriver::expect(DialogDriver::choose(K::EXECUTE_BEHAVIOR_KEY, "Go Near"));
        f.handler->runLocalSimulator();
        QVERIFY(closed);
        QCOMPARE(f.status->state(), State::Completed);
    }

    void aSpeedMustBePositive() {
        HandlerFixture f(runnableCell);
        kestrin::Simulator sim(f.project(), f.container->viewer());
        for (double bad : {0.0, -1.0, std::nan(""), std::numeric_limits<double>::infinity()})
            QVERIFY_EXCEPTION_THROWN(sim.setSpeed(bad), kestrin::ValueError);
        QCOMPARE(sim.speed(), 1.0);
    }
};

KESTRIN_GUI_TEST_MAIN(HandlerViewerTest)
#include "test_handler_viewer.moc"
