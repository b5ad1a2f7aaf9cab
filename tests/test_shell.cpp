// The application shell: the status light, the log panel, the main window's
// actions and the kestrin-studio command line. Tests that render need a display: run under
// xvfb-run.

#include "dialog_driver.h"
#include "test_main.h"

#include <kestrin/kestrin.h>
#include <kestrin_app/container.h>
#include <kestrin_app/content.h>
#include <kestrin_app/editor/tree.h>
#include <kestrin_app/exception.h>
#include <kestrin_app/log.h>
#include <kestrin_app/log_panel.h>
#include <kestrin_app/mainwindow.h>
#include <kestrin_app/status.h>
#include <kestrin_viewer/simulator.h>

#include <QAction>
#include <QComboBox>
#include <QDir>
#include <QDockWidget>
#include <QFile>
#include <QImage>
#include <QLabel>
#include <QMenu>
#include <QProcess>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <QTimer>
#include <QToolBar>
#include <QTreeWidgetItemIterator>
#include <QWheelEvent>
#include <memory>

Q_LOGGING_CATEGORY(lcOther, "kestrin.other")

namespace {

// Messages that reached the handler installed before the first log panel.
QStringList g_earlierHandlerSaw;
QtMessageHandler g_beforeThat = nullptr;
void earlierHandler(QtMsgType type, const QMessageLogContext& context, const QString& message) {
    g_earlierHandlerSaw << message;
    if (g_beforeThat)
        g_beforeThat(type, context, message);
}

QColor lightColour(KSStatusBarWidget& status) {
    auto* light = status.findChild<QLabel*>(QStringLiteral("statusLight"));
    const QImage image = light->grab().toImage();
    return image.pixelColor(image.width() / 2, image.height() / 2);
}

/// A robot, a program "Go Near" (one move) and a program "Long" (one wait of `waitSeconds`) in
/// the window's project, shown and as if just opened.
void prepareRunCell(KSMainWindow& window, double waitSeconds) {
    kestrin::Project* p = window.handler().project();
    auto* arm = new kestrin::UR5eRobot(p->workspace(), "R");
    Eigen::VectorXd goal = arm->homePositions();
    goal[0] += 0.3;
    new kestrin::JointPositionTarget(p, "Near", std::make_unique<kestrin::DeterministicDistribution>(goal));
    auto* program = new kestrin::Sequence(p, "Go Near");
    p->addProgram(program);
    auto* move = new kestrin::MoveToJointTarget(p, "Move Near");
    move->setProperty("robot", "R");
    move->setProperty("target", "Near");
    program->_addChild(move);
    auto* longer = new kestrin::Sequence(p, "Long");
    p->addProgram(longer);
    auto* wait = new kestrin::Wait(p, "Long Wait");
    wait->setProperty("duration", waitSeconds);
    longer->_addChild(wait);
    window.handler()._rebuildViewerAndTree();
    p->history().reset();
}

QString secondsText(double seconds) {
    return QString::asprintf("%.2f s", seconds);
}

struct Run {
    int exitCode;
    QString out, err;
};

Run runStudio(const QStringList& arguments) {
    QProcess process;
    process.start(QStringLiteral(KESTRIN_STUDIO_EXE), arguments);
    if (!process.waitForFinished(120000))
        process.kill();
    return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
            QString::fromUtf8(process.readAllStandardOutput()),
            QString::fromUtf8(process.readAllStandardError())};
}

} // namespace

class ShellTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() {
        // Before any log panel exists, so that the panel's handler has this one to hand on to.
        g_beforeThat = qInstallMessageHandler(earlierHandler);
    }

    // --- Status light -------------------------------------------------------------------------

    void statusShowsEachStateWithTextAndColour() {
        KSStatusBarWidget status;
        QSignalSpy changed(&status, &KSStatusBarWidget::stateChanged);
        QCOMPARE(status.state(), KSStatusBarWidget::State::Ready);
        QCOMPARE(status.text(), QString("Ready"));
        const QColor ready = lightColour(status);

        status.indicateRunningLocalSim();
        QCOMPARE(status.state(), KSStatusBarWidget::State::Running);
        QCOMPARE(status.findChild<QLabel*>("statusText")->text(), QString("Running local simulation"));
        const QColor running = lightColour(status);
        QVERIFY2(running.red() > 200 && running.green() > 100 && running.blue() < 100,
                 qPrintable(running.name()));

        status.indicateCompleted();
        QCOMPARE(status.text(), QString("Completed"));
        const QColor completed = lightColour(status);
        QVERIFY2(completed.green() > completed.red() + 60 && completed.green() > completed.blue() + 60,
                 qPrintable(completed.name()));

        auto* light = status.findChild<QLabel*>("statusLight");
        auto* label = status.findChild<QLabel*>("statusText");
        const QString why = "'Move' would take joint 3 of robot 'R' to 229.2 degrees";
        status.indicateFaulted(why);
        QCOMPARE(status.state(), KSStatusBarWidget::State::Faulted);
        QCOMPARE(status.text(), QString("Faulted"));
        QCOMPARE(status.reason(), why);
        QCOMPARE(light->toolTip(), why);
        QCOMPARE(label->toolTip(), why);
        const QColor faulted = lightColour(status);
        QVERIFY2(faulted.red() > faulted.green() + 100 && faulted.red() > faulted.blue() + 100,
                 qPrintable(faulted.name()));

        status.indicateStopped("The run was stopped by the user.");
        QCOMPARE(status.state(), KSStatusBarWidget::State::Stopped);
        QCOMPARE(status.text(), QString("Stopped"));
        QCOMPARE(light->toolTip(), QString("The run was stopped by the user."));
        const QColor stopped = lightColour(status);

        // A reason belongs to the state it came with.
        status.indicateReady();
        QCOMPARE(status.text(), QString("Ready"));
        QCOMPARE(status.reason(), QString());
        QCOMPARE(label->toolTip(), QString());
        QCOMPARE(light->toolTip(), QString("Ready"));
        QCOMPARE(lightColour(status), ready);
        const QList<QColor> colours{ready, running, completed, stopped, faulted};
        for (int i = 0; i < colours.size(); ++i)
            for (int j = i + 1; j < colours.size(); ++j)
                QVERIFY2(colours[i] != colours[j], qPrintable(colours[i].name()));
        // Showing the same state again is no change.
        status.indicateReady();
        QList<KSStatusBarWidget::State> states;
        for (const QList<QVariant>& args : qAsConst(changed))
            states << args.at(0).value<KSStatusBarWidget::State>();
        using S = KSStatusBarWidget::State;
        QCOMPARE(states, (QList<S>{S::Running, S::Completed, S::Faulted, S::Stopped, S::Ready}));
    }

    // --- Log panel ----------------------------------------------------------------------------

    void logPanelShowsApplicationLogLines() {
        KSLogPanel panel;
        g_earlierHandlerSaw.clear();
        qCInfo(lcApp, "Opened project '%s'", "/tmp/a b.kestrin");
        qCCritical(lcApp).noquote() << "saveProject failed: disk full";
        qCInfo(lcOther, "not for the panel");
        QThread* worker = QThread::create([] { qCInfo(lcApp, "from a worker"); });
        worker->start();
        worker->wait();
        delete worker;
        QCoreApplication::sendPostedEvents();

        const QStringList lines = panel.toPlainText().split('\n');
        QCOMPARE(lines.size(), 3);
        const QRegularExpression stamp("^\\d\\d:\\d\\d:\\d\\d ");
        for (const QString& line : lines)
            QVERIFY2(stamp.match(line).hasMatch(), qPrintable(line));
        QCOMPARE(lines[0].mid(9), QString("info Opened project '/tmp/a b.kestrin'"));
        QCOMPARE(lines[1].mid(9), QString("error saveProject failed: disk full"));
        QCOMPARE(lines[2].mid(9), QString("info from a worker"));
        QVERIFY(panel.isReadOnly());

        // The handler installed before still sees everything.
        for (const char* text : {"Opened project '/tmp/a b.kestrin'", "not for the panel", "from a worker"})
            QVERIFY2(g_earlierHandlerSaw.contains(text), text);
    }

    // --- Main window --------------------------------------------------------------------------

    void mainWindowOffersAnActionForEveryOperation() {
        KSMainWindow window;
        QCOMPARE(window.windowTitle(), QString("Untitled[*] - Kestrin Studio"));
        QVERIFY(!window.isWindowModified());
        const QStringList names = {"actionNewProject",
                                   "actionOpenProject",
                                   "actionSaveProject",
                                   "actionSaveProjectAs",
                                   "actionImportRobot",
                                   "actionQuit",
                                   "actionAddRobot_FrankaPandaRobot",
                                   "actionAddRobot_UR3eRobot",
                                   "actionAddRobot_UR5eRobot",
                                   "actionAddRobot_UR10eRobot",
                                   "actionAddEffector_RobotiqGripper2F85",
                                   "actionAddEffector_FrankaHand",
                                   "actionAddToolFrame",
                                   "actionAddItem_CustomItem",
                                   "actionAddItem_Desk",
                                   "actionAddItemFromMesh",
                                   "actionAddTaskRegion",
                                   "actionAddCamera_RealsenseD435i",
                                   "actionAddCamera_RealsenseD405",
                                   "actionAddFiducial_VisualMarker",
                                   "actionAddBehavior_Sequence",
                                   "actionAddVariable_MotionLimits",
                                   "actionAddVariable_JointPositionTarget",
                                   "actionAddVariable_TaskRegionTarget",
                                   "actionAddVariable_MixtureTarget",
                                   "actionCameraMode",
                                   "actionTeleoperationMode",
                                   "actionTeleoperationSteps",
                                   "actionResetCamera",
                                   "actionScreenshot",
                                   "actionRecordRespawnState",
                                   "actionResetToRespawnState",
                                   "actionRunLocalSimulation",
                                   "actionAbout"};
        for (const QString& name : names) {
            QAction* action = window.findChild<QAction*>(name);
            QVERIFY2(action, qPrintable(name));
            QCOMPARE(window.findAction(name), action);
            bool inMenu = false;
            for (QWidget* w : action->associatedWidgets())
                inMenu = inMenu || qobject_cast<QMenu*>(w);
            QVERIFY2(inMenu, qPrintable(name));
            QVERIFY2(action->isEnabled(), qPrintable(name));
            QVERIFY(action->statusTip() != QString("Not available yet"));
        }
        // Nothing to undo in a project just opened.
        QVERIFY(!window.findAction("actionUndo")->isEnabled());
        QCOMPARE(window.findAction("actionUndo")->shortcut(), QKeySequence(QKeySequence::Undo));
        QStringList templates;
        for (QAction* a : window.findChild<QMenu*>("menuNewFromTemplate")->actions())
            templates << a->text();
        QVERIFY(templates.contains("Demo Cell"));
        QVERIFY(templates.contains("Two Robot Desk"));
        QCOMPARE(window.findAction("actionNewProject")->shortcut(), QKeySequence("Ctrl+N"));
        QCOMPARE(window.findAction("actionOpenProject")->shortcut(), QKeySequence("Ctrl+O"));
        QCOMPARE(window.findAction("actionSaveProject")->shortcut(), QKeySequence("Ctrl+S"));
        QCOMPARE(window.findAction("actionSaveProjectAs")->shortcut(), QKeySequence("Ctrl+Shift+S"));
        QCOMPARE(window.findAction("actionQuit")->shortcut(), QKeySequence("Ctrl+Q"));
        QCOMPARE(window.findAction("actionRunLocalSimulation")->shortcut(), QKeySequence("F5"));
    }

    void aTemplateRemovedSinceTheMenuWasFilledIsNamedAndDropped() {
        // Templates installed beside the program are offered too: put one there, then take it away.
        const QString folder =
            QDir(QCoreApplication::applicationDirPath()).filePath("../share/kestrin/templates");
        QVERIFY(QDir().mkpath(folder));
        const QString path = QDir(folder).absoluteFilePath("short_lived.kestrin");
        QFile::remove(path);
        QVERIFY(QFile::copy(KESTRIN_SOURCE_DIR "/data/templates/demo_cell.kestrin", path));
        QStringList failures;
        kestrin_app::setFailurePresenter(
            [&failures](const QString&, const QString& text) { failures << text; });
        {
            KSMainWindow window;
            QAction* action = window.findChild<QAction*>("actionTemplate_short_lived");
            QVERIFY(action);
            QVERIFY(QFile::remove(path));
            action->trigger(); // no save-first question: nothing is asked about a file that is gone
            QCOMPARE(failures,
                     QStringList{QString("Cannot open template '%1': it no longer exists.").arg(path)});
            QVERIFY(!window.findChild<QAction*>("actionTemplate_short_lived"));
            QVERIFY(window.findChild<QAction*>("actionTemplate_demo_cell"));
        }
        kestrin_app::setFailurePresenter({});
        QDir(folder).removeRecursively();
    }

    void mainWindowLaysOutViewerTreeLogAndStatus() {
        KSMainWindow window;
        QCOMPARE(window.centralWidget(), window.container());
        auto* treeDock = qobject_cast<QDockWidget*>(window.projectTree()->parentWidget());
        QVERIFY(treeDock);
        QCOMPARE(treeDock->windowTitle(), QString("Project"));
        QCOMPARE(window.dockWidgetArea(treeDock), Qt::LeftDockWidgetArea);
        auto* logDock = qobject_cast<QDockWidget*>(window.findChild<KSLogPanel*>("logPanel")->parentWidget());
        QVERIFY(logDock);
        QCOMPARE(window.dockWidgetArea(logDock), Qt::BottomDockWidgetArea);
        QCOMPARE(window.statusWidget()->parentWidget(), window.statusBar());
        QCOMPARE(window.handler().project(), window.container()->project());
    }

    void respawnActionsRecordAndRestoreTheCell() {
        KSMainWindow window;
        auto* arm = new kestrin::UR5eRobot(window.handler().project()->workspace(), "Arm");
        window.handler()._rebuildViewerAndTree();
        QVERIFY(window.projectTree()->itemForObject(arm->id()));

        const Eigen::VectorXd recorded = arm->jointPositions();
        window.findAction("actionRecordRespawnState")->trigger();
        Eigen::VectorXd moved = recorded;
        moved[1] += 0.3;
        arm->setJointPositions(moved);
        window.findAction("actionResetToRespawnState")->trigger();
        QVERIFY((arm->jointPositions() - recorded).norm() < 1e-12);

        QCoreApplication::sendPostedEvents();
        QVERIFY(window.logPanel()->toPlainText().contains("info Reset the project state"));
    }

    void quitClosesTheWindow() {
        // Closing the last window would end the test program's event processing.
        QApplication::setQuitOnLastWindowClosed(false);
        KSMainWindow window;
        QList<int> exits;
        window.handler()._exit_application = [&exits](int code) { exits << code; };
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        testing::DialogDriver::expect(testing::DialogDriver::reject()); // save first? no
        window.findAction("actionQuit")->trigger();
        QVERIFY(!window.isVisible());
        QCOMPARE(exits, QList<int>{0});
        QApplication::setQuitOnLastWindowClosed(true);
    }

    void closingTheWindowOrCtrlQDuringARunStopsItThenQuits() {
        QApplication::setQuitOnLastWindowClosed(false);
        for (const bool byKey : {false, true}) {
            KSMainWindow window;
            QList<int> exits;
            auto& handler = window.handler();
            handler._exit_application = [&exits](int code) { exits << code; };
            testing::DialogDriver::reset();
            testing::DialogDriver::expect(testing::DialogDriver::reject());
            handler.openTemplate(QStringLiteral(KESTRIN_SOURCE_DIR "/data/templates/demo_cell.kestrin"));
            window.show();
            QVERIFY(QTest::qWaitForWindowExposed(&window));
            double stoppedAt = -1, lastStep = 0;
            bool shownUntilTheRunIsOver = true;
            handler._on_simulator_created = [&](kestrin::Simulator* sim) {
                sim->setStepObserver([&](double t) {
                    lastStep = t;
                    shownUntilTheRunIsOver = shownUntilTheRunIsOver && window.isVisible();
                    if (t > 0.3 && stoppedAt < 0) {
                        stoppedAt = t;
                        if (byKey)
                            QTest::keyClick(&window, Qt::Key_Q, Qt::ControlModifier);
                        else
                            window.close();
                        shownUntilTheRunIsOver = shownUntilTheRunIsOver && window.isVisible();
                    }
                });
            };
            testing::LogCapture log;
            testing::DialogDriver::expect(testing::DialogDriver::choose(
                kestrin_app::content::KSSelectorDialog::EXECUTE_BEHAVIOR_KEY, "Pick and Place"));
            testing::DialogDriver::expect(testing::DialogDriver::reject()); // save first? no
            handler.runLocalSimulator();
            QVERIFY(stoppedAt > 0);
            QVERIFY2(lastStep < stoppedAt + 0.5, "the run went on after the request to quit");
            // The window closes after the run, with the offer to save, not under it.
            QVERIFY(shownUntilTheRunIsOver);
            QTRY_COMPARE(exits, QList<int>{0});
            QVERIFY(!window.isVisible());
            QCOMPARE(testing::DialogDriver::seenTitles().last(), QString("Save Project"));
        }
        QApplication::setQuitOnLastWindowClosed(true);
    }

    // --- Run toolbar --------------------------------------------------------------------------

    void runToolBarFollowsARunAndItsStopButtonTakesClicksWhenNothingElseDoes() {
        KSMainWindow window;
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        prepareRunCell(window, 30);
        auto& handler = window.handler();
        auto* bar = window.findChild<QToolBar*>("runToolBar");
        QVERIFY(bar);
        QAction* stop = window.findAction("actionStopRun");
        QAction* pause = window.findAction("actionPauseRun");
        QAction* newProject = window.findAction("actionNewProject");
        auto* speed = bar->findChild<QComboBox*>("runSpeed");
        auto* time = bar->findChild<QLabel*>("runTime");
        QVERIFY(stop && pause && speed && time);
        QCOMPARE(stop->parent(), bar);
        QVERIFY(!stop->isEnabled() && !pause->isEnabled());
        QStringList speeds;
        for (int i = 0; i < speed->count(); ++i)
            speeds << speed->itemText(i);
        QCOMPARE(speeds, (QStringList{"0.25x", "0.5x", "1x", "2x", "5x", "10x"}));
        QCOMPARE(speed->currentText(), QString("1x"));
        QVERIFY(speed->isEnabled());

        KSProjectTree* tree = window.projectTree();
        QTreeWidgetItem* other = tree->itemForBehavior("Go Near");
        tree->clearSelection();
        QSignalSpy newProjectTriggered(newProject, &QAction::triggered);
        QStringList seen;
        double stoppedAt = -1, lastStep = 0;
        handler._on_simulator_created = [&](kestrin::Simulator* sim) {
            sim->setStepObserver([&](double t) {
                lastStep = t;
                if (t < 0.2 || stoppedAt >= 0)
                    return;
                stoppedAt = t;
                seen << QString("enabled %1 %2").arg(stop->isEnabled()).arg(pause->isEnabled());
                seen << "time " + time->text();
                // Clicks on the cell, the tree or the other toolbars go nowhere during a run...
                // (Clicked through the window, as the window system delivers them.)
                auto click = [&window](QWidget* widget, QPoint at) {
                    QTest::mouseClick(window.windowHandle(), Qt::LeftButton, {}, widget->mapTo(&window, at));
                };
                click(tree->viewport(), tree->visualItemRect(other).center());
                seen << QString("selected %1").arg(tree->selectedItems().size());
                QWidget* newButton = window.findChild<QToolBar*>("mainToolBar")->widgetForAction(newProject);
                click(newButton, newButton->rect().center());
                // ...those on the run controls do.
                QWidget* stopButton = bar->widgetForAction(stop);
                click(stopButton, stopButton->rect().center());
            });
        };
        testing::LogCapture log;
        testing::DialogDriver::reset();
        testing::DialogDriver::expect(testing::DialogDriver::choose(
            kestrin_app::content::KSSelectorDialog::EXECUTE_BEHAVIOR_KEY, "Long"));
        handler.runLocalSimulator();
        QVERIFY(stoppedAt > 0);
        QCOMPARE(seen, (QStringList{"enabled 1 1", "time " + secondsText(stoppedAt), "selected 0"}));
        QCOMPARE(newProjectTriggered.count(), 0);
        QCOMPARE(lastStep, stoppedAt);
        QCOMPARE(window.statusWidget()->state(), KSStatusBarWidget::State::Stopped);
        QVERIFY2(log.contains(QString::asprintf("info: Program 'Long' stopped after %.2f s of simulated time",
                                                stoppedAt)),
                 qPrintable(log.lines().join('\n')));
        QCOMPARE(log.lines().filter(QRegularExpression("^error")), QStringList());
        // Idle again, with the time where the run ended.
        QVERIFY(!stop->isEnabled() && !pause->isEnabled());
        QCOMPARE(time->text(), secondsText(stoppedAt));
        QCOMPARE(handler._simulator, nullptr);
        testing::DialogDriver::reset();
        // Another project has had no run yet.
        window.container()->newProject();
        QCOMPARE(time->text(), secondsText(0));
    }

    void pauseHoldsSimulatedTimeStillUntilResumed() {
        KSMainWindow window;
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        prepareRunCell(window, 0.6);
        auto& handler = window.handler();
        auto* bar = window.findChild<QToolBar*>("runToolBar");
        QAction* pause = window.findAction("actionPauseRun");
        auto* time = bar->findChild<QLabel*>("runTime");

        bool paused = false, resumed = false, safetyStop = false;
        int stepsWhilePaused = 0;
        double pausedAt = -1, heldAt = -1, heldEarly = -2;
        QStringList seen;
        handler._on_simulator_created = [&](kestrin::Simulator* sim) {
            sim->setStepObserver([&](double t) {
                if (paused)
                    ++stepsWhilePaused;
                if (t < 0.2 || pausedAt >= 0)
                    return;
                pausedAt = t;
                QTest::mouseClick(bar->widgetForAction(pause), Qt::LeftButton);
                paused = true;
                seen << pause->text() + QString(" %1").arg(pause->isChecked());
                // Resumed from the event processing of the paused run, a good while later, with
                // Space: the pause key while a run plays.
                // A step already under way when the click came may still land; after that, time
                // stands still.
                QTimer::singleShot(100, &window, [&] {
                    heldEarly = handler._simulator->simulatedSeconds();
                    stepsWhilePaused = 0;
                });
                QTimer::singleShot(400, &window, [&] {
                    heldAt = handler._simulator->simulatedSeconds();
                    seen << "time " + time->text();
                    paused = false;
                    QTest::keyClick(&window, Qt::Key_Space);
                    resumed = true;
                    seen << pause->text() + QString(" %1").arg(pause->isChecked());
                });
                // Should resuming fail, the test fails rather than waits for ever.
                QTimer::singleShot(20000, &window, [&] {
                    if (handler._simulator) {
                        safetyStop = true;
                        handler._simulator->requestStop();
                    }
                });
            });
        };
        testing::DialogDriver::reset();
        testing::DialogDriver::expect(testing::DialogDriver::choose(
            kestrin_app::content::KSSelectorDialog::EXECUTE_BEHAVIOR_KEY, "Long"));
        handler.runLocalSimulator();
        QVERIFY(!safetyStop);
        QVERIFY(resumed);
        QCOMPARE(stepsWhilePaused, 0);
        QCOMPARE(heldAt, heldEarly);
        QVERIFY(heldAt - pausedAt < 0.02); // one step of 1/60 s at most
        QCOMPARE(seen, (QStringList{"Resume 1", "time " + secondsText(heldAt), "Pause 0"}));
        QCOMPARE(window.statusWidget()->state(), KSStatusBarWidget::State::Completed);
        QCOMPARE(time->text(), secondsText(0.6));
        testing::DialogDriver::reset();
    }

    void speedChoiceAppliesToTheRunPlayingAndToTheNext() {
        KSMainWindow window;
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        prepareRunCell(window, 600);
        auto& handler = window.handler();
        auto* bar = window.findChild<QToolBar*>("runToolBar");
        auto* speed = bar->findChild<QComboBox*>("runSpeed");

        // Simulated seconds per wall-clock second over about 0.4 s at 0.25x, then at 10x.
        int phase = 0;
        QElapsedTimer wall;
        double phaseStart = 0, slow = 0, fast = 0, afterWheel = 0, playingAt = 0;
        bool listShown = false;
        handler._on_simulator_created = [&](kestrin::Simulator* sim) {
            sim->setStepObserver([&](double t) {
                if (phase == 0 && t > 0.05) {
                    speed->setCurrentIndex(speed->findText("0.25x"));
                    wall.start();
                    phaseStart = t;
                    phase = 1;
                } else if (phase == 1 && wall.elapsed() >= 400) {
                    slow = (t - phaseStart) / (wall.elapsed() / 1000.0);
                    speed->setCurrentIndex(speed->findText("10x"));
                    playingAt = handler._simulator->speed();
                    wall.start();
                    phaseStart = t;
                    phase = 2;
                } else if (phase == 2 && wall.elapsed() >= 400) {
                    fast = (t - phaseStart) / (wall.elapsed() / 1000.0);
                    // The mouse wheel on the speed choice reaches it during the run: one up, 5x.
                    QWheelEvent wheel(QPointF(5, 5), speed->mapToGlobal(QPoint(5, 5)), QPoint(),
                                      QPoint(0, 120), Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
                    QApplication::sendEvent(speed, &wheel);
                    afterWheel = handler._simulator->speed();
                    // Escape in the open list closes the list, and the run goes on.
                    speed->showPopup();
                    listShown = speed->view()->isVisible();
                    QTest::keyClick(speed->view(), Qt::Key_Escape);
                    listShown = listShown && !speed->view()->isVisible();
                    phase = 3;
                } else if (phase == 3) {
                    handler._simulator->requestStop();
                    phase = 4;
                }
            });
        };
        testing::DialogDriver::reset();
        testing::DialogDriver::expect(testing::DialogDriver::choose(
            kestrin_app::content::KSSelectorDialog::EXECUTE_BEHAVIOR_KEY, "Long"));
        handler.runLocalSimulator();
        QCOMPARE(phase, 4);
        QVERIFY(listShown);
        // A busy machine only ever slows a run down: at 0.25x it never plays faster than half of
        // real time. How fast 10x really plays depends on the machine (a sanitizer build, tests
        // beside it), so the choice is read from the run playing; the rate is only reported.
        QVERIFY2(slow < 0.5, qPrintable(QString::number(slow)));
        QCOMPARE(playingAt, 10.0);
        qInfo("Played %.2f simulated s per s at 0.25x, %.2f at 10x", slow, fast);
        QCOMPARE(speed->currentText(), QString("5x"));
        QCOMPARE(afterWheel, 5.0);

        // The next run starts at the speed chosen.
        double nextSpeed = 0;
        handler._on_simulator_created = [&](kestrin::Simulator* sim) {
            nextSpeed = sim->speed();
            sim->setStepObserver([sim](double) { sim->requestStop(); });
        };
        testing::DialogDriver::expect(testing::DialogDriver::choose(
            kestrin_app::content::KSSelectorDialog::EXECUTE_BEHAVIOR_KEY, "Long"));
        handler.runLocalSimulator();
        QCOMPARE(nextSpeed, 5.0);
        testing::DialogDriver::reset();
    }

    // --- Command line -------------------------------------------------------------------------

    // `make install` puts the program and its templates where the program looks for them, and
    // the installed program runs from there.
    void installPutsTheTemplatesWhereTheProgramLooks() {
        QTemporaryDir prefix;
        QProcess install;
        install.start(QStringLiteral(KESTRIN_CMAKE),
                      {"--install", QStringLiteral(KESTRIN_BUILD_DIR), "--prefix", prefix.path()});
        QVERIFY(install.waitForFinished(120000));
        QVERIFY2(install.exitCode() == 0, install.readAllStandardError().constData());
        const QString program = prefix.filePath("bin/kestrin-studio");
        const QString templates = QDir(prefix.filePath("bin")).filePath("../share/kestrin/templates");
        for (const char* name : {"demo_cell.kestrin", "collision_demo.kestrin", "two_robot_desk.kestrin"})
            QVERIFY2(QFileInfo(QDir(templates).filePath(name)).isFile(), name);
        QProcess run;
        run.start(program, {"--run", "Pick and Place", QDir(templates).filePath("demo_cell.kestrin")});
        QVERIFY(run.waitForFinished(120000));
        QCOMPARE(run.exitCode(), 0);
    }

    // The templates' programs from the command line, without a display: the demo picks and
    // places, the collision template faults naming the pair, with the exit status to match.
    // (The sanitized suite runs this too: --run has a console application, not a widget one.)
    void runFromTheCommandLineGivesTheOutcomeAndItsStatus() {
        const QString templates = QStringLiteral(KESTRIN_SOURCE_DIR "/data/templates/");
        const Run demo = runStudio({"--run", "Pick and Place", templates + "demo_cell.kestrin"});
        QCOMPARE(demo.exitCode, 0);
        QVERIFY2(demo.out.startsWith("Program 'Pick and Place' completed after "),
                 qPrintable(demo.out + demo.err));
        const Run collision = runStudio({"--run", "Swing Round", templates + "collision_demo.kestrin"});
        QCOMPARE(collision.exitCode, 1);
        QVERIFY2(
            collision.out.contains("'Swing to Other Side' at 0.69 s: UR5e's wrist 1 hits item 'Fixture'"),
            qPrintable(collision.out + collision.err));
        // A program the file does not have is a mistake of the caller, not a fault of the run.
        const Run missing = runStudio({"--run", "No Such Program", templates + "demo_cell.kestrin"});
        QCOMPARE(missing.exitCode, 2);
        QVERIFY2(missing.err.contains("No Such Program") &&
                     missing.err.contains("its programs: Pick and Place"),
                 qPrintable(missing.out + missing.err));
    }

    void versionAndBadArguments() {
        const Run version = runStudio({"--version"});
        QCOMPARE(version.exitCode, 0);
        QCOMPARE(version.out.trimmed(), QString("kestrin-studio " KESTRIN_VERSION));

        const Run unknown = runStudio({"--no-such-option"});
        QCOMPARE(unknown.exitCode, 2);
    }

    void aFileThatCannotBeOpenedEndsWithItsReason() {
        QTemporaryDir dir;
        const QString missing = dir.filePath("missing.kestrin");
        const Run run = runStudio({missing, "--screenshot", dir.filePath("shot.png")});
        QCOMPARE(run.exitCode, 2);
        QVERIFY2(run.err.contains(missing), qPrintable(run.err));
        QVERIFY(!QFile::exists(dir.filePath("shot.png")));
    }

    void aFileThatCannotBeOpenedOpensTheDemoCellAndSaysWhy() {
        // As a double-click on a broken file in a file manager would start it.
        QTemporaryDir dir;
        const QString missing = dir.filePath("missing.kestrin");
        QProcess studio;
        studio.setProcessChannelMode(QProcess::SeparateChannels);
        studio.start(QStringLiteral(KESTRIN_STUDIO_EXE), {missing});
        QVERIFY(studio.waitForStarted());
        QString err;
        QElapsedTimer waited;
        waited.start();
        while (!err.contains("The demo cell is shown instead") && waited.elapsed() < 60000 &&
               studio.state() == QProcess::Running) {
            studio.waitForReadyRead(200);
            err += QString::fromUtf8(studio.readAllStandardError());
        }
        const bool running = studio.state() == QProcess::Running;
        studio.kill();
        studio.waitForFinished();
        QVERIFY2(running, qPrintable("the studio ended: " + err));
        QVERIFY2(err.contains(missing) && err.contains("it does not exist"), qPrintable(err));
        QVERIFY2(err.contains("Recorded the project respawn state"), qPrintable(err)); // a cell was set up
    }

    void screenshotOfAProjectFile() {
        QTemporaryDir dir;
        const QString file = dir.filePath("cell.kestrin");
        {
            kestrin::Project p;
            new kestrin::UR10eRobot(p.workspace(), "Arm");
            new kestrin::Desk(p.workspace(), "Table");
            p.save(file);
        }
        const QString shot = dir.filePath("shot.png");
        const Run run = runStudio({file, "--screenshot", shot});
        QVERIFY2(run.exitCode == 0, qPrintable(run.err));
        const QImage image(shot);
        QVERIFY(!image.isNull());
        // Something was drawn: far more than a handful of colours.
        QSet<QRgb> colours;
        for (int y = 0; y < image.height(); y += 4)
            for (int x = 0; x < image.width(); x += 4)
                colours.insert(image.pixel(x, y));
        QVERIFY2(colours.size() > 50, qPrintable(QString::number(colours.size())));
    }
};

KESTRIN_GUI_TEST_MAIN(ShellTest)

#include "test_shell.moc"
