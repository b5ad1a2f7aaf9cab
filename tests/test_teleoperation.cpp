// Teleoperation in the workspace viewer: choosing the robot and tool frame, jogging by call, by
// key and by dragging the handle, reporting targets out of reach, one undo step per user action
// (a burst of key presses is one), the corner text and the steps it shows, and leaving the mode.
// Tests that render need a display: run under xvfb-run.

#include <kestrin/action.h>
#include <kestrin/collision.h>
#include <kestrin/error.h>
#include <kestrin/items.h>
#include <kestrin/project.h>
#include <kestrin/robot.h>
#include <kestrin/tool_frame.h>
#include <kestrin/undo_history.h>
#include <kestrin/workspace.h>
#include <kestrin_app/teleoperation_steps.h>
#include <kestrin_viewer/simulator.h>
#include <kestrin_viewer/workspace_viewer.h>

#include <QApplication>
#include <QDoubleSpinBox>
#include <QFocusEvent>
#include <QSignalSpy>
#include <QSurfaceFormat>
#include <QtTest>

#include <QVTKOpenGLNativeWidget.h>
#include <vtkActor2DCollection.h>
#include <vtkCamera.h>
#include <vtkHandleRepresentation.h>
#include <vtkPropCollection.h>
#include <vtkRenderWindow.h>
#include <vtkRenderer.h>
#include <vtkTextActor.h>

#include <Eigen/Geometry>
#include <cmath>

using namespace kestrin;

namespace {

constexpr double kStep = 0.005;
const double kTurn = 5.0 * M_PI / 180.0;
const double kDegree = M_PI / 180.0;
// Key presses in a test come with no pause worth the name, but a slow machine could make one:
// the views of these tests wait an hour before a burst ends, unless a test ends it.
constexpr int kNoPause = 3600 * 1000;

/// A UR5e "R" with tool frame "T" and a Panda "P" with tool frame "PT", apart on the floor.
struct Cell {
    Project project;
    Robot* ur5e;
    Robot* panda;
    ToolFrame* tool;
    ToolFrame* pandaTool;

    Cell() {
        Workspace* ws = project.workspace();
        ur5e = new UR5eRobot(ws, "R");
        ur5e->setPose(makePose({0, 0, 0}));
        panda = new FrankaPandaRobot(ws, "P");
        panda->setPose(makePose({2, 0, 0}));
        tool = new ToolFrame(ws, "T");
        tool->setOffset(makePose({0, 0, 0.1}));
        ur5e->addToolFrame(tool);
        pandaTool = new ToolFrame(ws, "PT");
        panda->addToolFrame(pandaTool);
    }
};

/// A viewer on screen showing `cell`, camera fitted.
struct View {
    WorkspaceViewer viewer;
    explicit View(Cell& cell) {
        viewer.resize(640, 480);
        viewer._setTeleoperationBurstPause(kNoPause);
        viewer.setProject(&cell.project);
        viewer.show();
        viewer.activateWindow();
        viewer.resetCamera();
        viewer.render();
    }
    bool exposed() { return QTest::qWaitForWindowExposed(&viewer); }
    QWidget* renderWidget() {
        return viewer.findChild<QVTKOpenGLNativeWidget*>(QStringLiteral("workspaceViewerRenderWidget"));
    }
};

/// The teleoperation handle when it is in the scene, else nullptr.
vtkHandleRepresentation* shownHandle(WorkspaceViewer& viewer) {
    vtkPropCollection* props = viewer._getRenderer()->GetViewProps();
    props->InitTraversal();
    while (vtkProp* prop = props->GetNextProp())
        if (auto* handle = vtkHandleRepresentation::SafeDownCast(prop))
            return handle->GetVisibility() ? handle : nullptr;
    return nullptr;
}

/// The corner text of teleoperation when it is shown, else nullptr.
vtkTextActor* shownOverlay(WorkspaceViewer& viewer) {
    vtkActor2DCollection* actors = viewer._getRenderer()->GetActors2D();
    actors->InitTraversal();
    while (vtkActor2D* actor = actors->GetNextActor2D())
        if (auto* text = vtkTextActor::SafeDownCast(actor);
            text && text->GetVisibility() && text->GetInput() &&
            QString::fromUtf8(text->GetInput()).startsWith("Teleoperating"))
            return text;
    return nullptr;
}

Eigen::Vector3d handlePosition(vtkHandleRepresentation* handle) {
    double p[3];
    handle->GetWorldPosition(p);
    return {p[0], p[1], p[2]};
}

/// Where `world` appears in the render widget, in the widget's own coordinates.
QPoint onScreen(WorkspaceViewer& viewer, const Eigen::Vector3d& world) {
    vtkRenderer* renderer = viewer._getRenderer();
    renderer->SetWorldPoint(world.x(), world.y(), world.z(), 1.0);
    renderer->WorldToDisplay();
    const double* d = renderer->GetDisplayPoint();
    const int height = renderer->GetRenderWindow()->GetSize()[1];
    const double ratio = viewer.devicePixelRatioF();
    return QPoint(qRound(d[0] / ratio), qRound((height - 1 - d[1]) / ratio));
}

void sendMouse(QWidget* target, QEvent::Type type, QPoint at, Qt::MouseButtons buttons) {
    QMouseEvent event(type, at, target->mapToGlobal(at), Qt::LeftButton, buttons, Qt::NoModifier);
    QApplication::sendEvent(target, &event);
}

/// A left drag from `from` by `by`, in `steps` moves.
void leftDrag(QWidget* target, QPoint from, QPoint by, int steps) {
    sendMouse(target, QEvent::MouseButtonPress, from, Qt::LeftButton);
    for (int i = 1; i <= steps; ++i)
        sendMouse(target, QEvent::MouseMove, from + by * i / steps, Qt::LeftButton);
    sendMouse(target, QEvent::MouseButtonRelease, from + by, Qt::NoButton);
}

/// `key` held down for `presses` presses, as the keyboard sends it: the repeats come as pairs of
/// release and press marked as repeats.
void holdKey(QWidget* target, int key, int presses) {
    auto send = [&](QEvent::Type type, bool autoRepeat) {
        QKeyEvent event(type, key, Qt::NoModifier, QString(), autoRepeat);
        QApplication::sendEvent(target, &event);
    };
    send(QEvent::KeyPress, false);
    for (int i = 1; i < presses; ++i) {
        send(QEvent::KeyRelease, true);
        send(QEvent::KeyPress, true);
    }
    send(QEvent::KeyRelease, false);
}

double angleBetween(const Eigen::Matrix3d& a, const Eigen::Matrix3d& b) {
    return Eigen::AngleAxisd(a.transpose() * b).angle();
}

template <typename E, typename F> QString failureOf(F call) {
    try {
        call();
    } catch (const E& e) {
        return e.message();
    }
    return QStringLiteral("<nothing thrown>");
}

} // namespace

class TestTeleoperation : public QObject {
    Q_OBJECT

private slots:
    // Choosing what to teleoperate.
    void showsAHandleOnTheChosenToolFrame();
    void refusesBadChoicesAndKeepsTheMode();

    // Jogging.
    void jogMovesTheToolFrameThroughItsRobotsJoints();
    void unreachableTargetIsReportedOncePerAction();
    void aJogIntoSomethingStopsShortAndSaysOnceWhatItWouldHit();
    void keysJogFiveMillimetresOrTurnFiveDegrees();
    void aBurstOfPressesIsOneStepUntilAPauseOrAnythingElse();
    void draggingTheHandleDragsTheToolAndSnapsBackOutOfReach();

    // What the view says, and the steps.
    void theCornerTextNamesTheRobotToolStepsAndKeys();
    void theStepsDialogSetsTheStepsOrChangesNothing();

    // Leaving teleoperation.
    void cameraModeLeavesTeleoperationAndOrbitsAgain();
    void leavesWhenTheRobotOrToolFrameLeaves();
    void followsRenamesAndUndoButNotAnotherCell();
};

void TestTeleoperation::showsAHandleOnTheChosenToolFrame() {
    Cell cell;
    View view(cell);
    QVERIFY(view.exposed());
    QVERIFY(!view.viewer.isTeleoperating());
    QVERIFY(!shownHandle(view.viewer));
    view.renderWidget()->clearFocus();
    QVERIFY(view.viewer.focusWidget() != view.renderWidget());

    view.viewer.setTeleoperationMode("R", "T");
    QVERIFY(view.viewer.isTeleoperating());
    QCOMPARE(view.viewer.teleoperatedRobot(), QStringLiteral("R"));
    QCOMPARE(view.viewer.teleoperatedTool(), QStringLiteral("T"));
    vtkHandleRepresentation* handle = shownHandle(view.viewer);
    QVERIFY2(handle, "no handle in the scene");
    QVERIFY((handlePosition(handle) - cell.tool->pose().translation()).norm() < 1e-9);
    // The jog keys need the keyboard: the view takes it (once its window is active).
    QCOMPARE(view.viewer.focusWidget(), view.renderWidget());

    view.viewer.setTeleoperationMode("P", "PT");
    QCOMPARE(view.viewer.teleoperatedRobot(), QStringLiteral("P"));
    QVERIFY((handlePosition(shownHandle(view.viewer)) - cell.pandaTool->pose().translation()).norm() < 1e-9);
}

void TestTeleoperation::refusesBadChoicesAndKeepsTheMode() {
    Cell cell;
    WorkspaceViewer viewer;
    viewer.setProject(&cell.project);
    QCOMPARE(failureOf<ValueError>([&] { viewer.setTeleoperationMode("", "T"); }),
             QStringLiteral("Choose a robot to teleoperate."));
    QVERIFY(!viewer.isTeleoperating());
    QVERIFY(!shownHandle(viewer));

    viewer.setTeleoperationMode("R", "T");
    const Eigen::Vector3d handle = handlePosition(shownHandle(viewer));
    auto keptTheMode = [&] {
        return viewer.teleoperatedRobot() == "R" && viewer.teleoperatedTool() == "T" && shownHandle(viewer) &&
               handlePosition(shownHandle(viewer)) == handle;
    };
    QVERIFY_EXCEPTION_THROWN(viewer.setTeleoperationMode("", "PT"), ValueError);
    QVERIFY(keptTheMode());

    QString message = failureOf<ValueError>([&] { viewer.setTeleoperationMode("P", ""); });
    QVERIFY2(message.contains("Choose a tool frame of robot 'P'") && message.contains("Add > Tool Frame"),
             qPrintable(message));
    QVERIFY(keptTheMode());

    message = failureOf<ValueError>([&] { viewer.setTeleoperationMode("P", "T"); });
    QVERIFY2(message.contains("'T'") && message.contains("'P'") && message.contains("'R'"),
             qPrintable(message));
    QVERIFY(keptTheMode());

    message = failureOf<NotFoundError>([&] { viewer.setTeleoperationMode("Nobody", "T"); });
    QVERIFY2(message.contains("'Nobody'"), qPrintable(message));
    message = failureOf<NotFoundError>([&] { viewer.setTeleoperationMode("R", "Nothing"); });
    QVERIFY2(message.contains("'Nothing'"), qPrintable(message));
    QVERIFY(keptTheMode());
}

void TestTeleoperation::jogMovesTheToolFrameThroughItsRobotsJoints() {
    Cell cell;
    WorkspaceViewer viewer;
    viewer.setProject(&cell.project);
    QCOMPARE(failureOf<ValueError>([&] {
                 viewer.jog({0.02, 0, 0}, Eigen::Vector3d::Zero());
             }),
             QStringLiteral("Not teleoperating: choose Teleoperation Mode first."));
    viewer.setTeleoperationMode("R", "T");
    QSignalSpy messages(&viewer, &WorkspaceViewer::teleoperationMessage);
    UndoHistory& history = cell.project.history();
    const Pose start = cell.tool->pose();
    const Eigen::VectorXd joints = cell.ur5e->jointPositions();

    QVERIFY(viewer.jog({0.02, 0, 0}, Eigen::Vector3d::Zero()));
    const Pose moved = cell.tool->pose();
    QVERIFY((moved.translation() - start.translation() - Eigen::Vector3d(0.02, 0, 0)).norm() < 1e-4);
    QVERIFY(angleBetween(start.linear(), moved.linear()) < 1e-3);
    QVERIFY((cell.ur5e->jointPositions() - joints).norm() > 1e-3);
    QVERIFY((handlePosition(shownHandle(viewer)) - moved.translation()).norm() < 1e-9);
    QCOMPARE(history.stepCount(), 1);

    QVERIFY(viewer.jog(Eigen::Vector3d::Zero(), {0, 0, 0.1}));
    const Pose turned = cell.tool->pose();
    QVERIFY((turned.translation() - moved.translation()).norm() < 1e-4);
    const Eigen::Matrix3d expected =
        Eigen::AngleAxisd(0.1, Eigen::Vector3d::UnitZ()).toRotationMatrix() * moved.linear();
    QVERIFY(angleBetween(turned.linear(), expected) < 1e-3);
    QCOMPARE(history.stepCount(), 2);
    QCOMPARE(messages.count(), 0);

    const double nan = std::nan("");
    QVERIFY_EXCEPTION_THROWN(viewer.jog({nan, 0, 0}, Eigen::Vector3d::Zero()), ValueError);
    QVERIFY((cell.tool->pose().translation() - turned.translation()).norm() < 1e-12);
    QCOMPARE(history.stepCount(), 2);
}

void TestTeleoperation::unreachableTargetIsReportedOncePerAction() {
    Cell cell;
    View view(cell);
    QVERIFY(view.exposed());
    view.viewer.setTeleoperationMode("R", "T");
    QSignalSpy messages(&view.viewer, &WorkspaceViewer::teleoperationMessage);
    const Eigen::Vector3d start = cell.tool->pose().translation();
    const Eigen::Vector3d goal = start + Eigen::Vector3d(3, 0, 0);

    QVERIFY(!view.viewer.jog({3, 0, 0}, Eigen::Vector3d::Zero()));
    QCOMPARE(messages.count(), 1);
    const QString text = messages.at(0).at(0).toString();
    QVERIFY2(text.contains("'R'") && text.contains("'T'"), qPrintable(text));
    cell.ur5e->checkJointPositions(cell.ur5e->jointPositions());
    QVERIFY2((cell.tool->pose().translation() - goal).norm() < (start - goal).norm() - 0.1,
             "the robot did not go as near as it could");
    QVERIFY((handlePosition(shownHandle(view.viewer)) - cell.tool->pose().translation()).norm() < 1e-9);
    QVERIFY(!view.viewer.jog({kStep, 0, 0}, Eigen::Vector3d::Zero()));
    QCOMPARE(messages.count(), 2);

    // At the edge of reach, a burst of presses reports once, be it a held key or keys pressed
    // one after another; the next burst reports again.
    QWidget* keys = view.renderWidget();
    holdKey(keys, Qt::Key_Right, 3);
    QCOMPARE(messages.count(), 3);
    QTest::keyClick(keys, Qt::Key_Right);
    QTest::keyClick(keys, Qt::Key_Right);
    QCOMPARE(messages.count(), 3);
    view.viewer.endTeleoperationBurst();
    QTest::keyClick(keys, Qt::Key_Right);
    QCOMPARE(messages.count(), 4);
    cell.ur5e->checkJointPositions(cell.ur5e->jointPositions());
}

void TestTeleoperation::aJogIntoSomethingStopsShortAndSaysOnceWhatItWouldHit() {
    Cell cell;
    View view(cell);
    QVERIFY(view.exposed());
    Workspace* ws = cell.project.workspace();
    auto* box = new CustomItem(ws, "Box");
    box->setSize({0.2, 0.2, 0.1});
    const Eigen::Vector3d start = cell.tool->pose().translation();
    box->setPose(makePose(start - Eigen::Vector3d(0, 0, 0.25)));
    view.viewer.setTeleoperationMode("R", "T");
    QSignalSpy messages(&view.viewer, &WorkspaceViewer::teleoperationMessage);
    auto freeNow = [&] {
        return CollisionWorld(ws).checkRobotAt(cell.ur5e, cell.ur5e->jointPositions()).empty();
    };

    QVERIFY(!view.viewer.jog({0, 0, -0.4}, Eigen::Vector3d::Zero()));
    QCOMPARE(messages.count(), 1);
    const QString text = messages.at(0).at(0).toString();
    QVERIFY2(text.startsWith("Robot 'R' stopped short of a collision: a step further, R's ") &&
                 text.endsWith(" hits item 'Box'."),
             qPrintable(text));
    QVERIFY(freeNow());
    // As near as the way allows: the next 5 mm step would hit.
    const double stoppedAt = cell.tool->pose().translation().z();
    QVERIFY(stoppedAt < start.z() - 0.05);
    QVERIFY(!view.viewer.jog({0, 0, -kStep}, Eigen::Vector3d::Zero()));
    QVERIFY(std::abs(cell.tool->pose().translation().z() - stoppedAt) < kStep);

    // A held key against it says so once.
    holdKey(view.renderWidget(), Qt::Key_PageDown, 4);
    QCOMPARE(messages.count(), 3);
    QVERIFY(freeNow());

    // What it touches where it starts does not hold it there: it can be moved out.
    box->setPose(makePose(cell.tool->pose().translation() + Eigen::Vector3d(0, 0, 0.1)));
    QVERIFY(!freeNow());
    QVERIFY(view.viewer.jog({0, 0, 0.2}, Eigen::Vector3d::Zero()));
    QCOMPARE(messages.count(), 3);

    // The cell's clearance counts.
    ws->setClearance(0.05);
    box->setPose(makePose(cell.tool->pose().translation() - Eigen::Vector3d(0, 0, 0.3)));
    QVERIFY(!view.viewer.jog({0, 0, -0.3}, Eigen::Vector3d::Zero()));
    QVERIFY2(messages.last().at(0).toString().contains(" comes within "),
             qPrintable(messages.last().at(0).toString()));
}

void TestTeleoperation::keysJogFiveMillimetresOrTurnFiveDegrees() {
    Cell cell;
    View view(cell);
    QVERIFY(view.exposed());
    QWidget* keys = view.renderWidget();
    const Eigen::VectorXd joints = cell.ur5e->jointPositions();
    QTest::keyClick(keys, Qt::Key_Right);
    QVERIFY2(cell.ur5e->jointPositions() == joints, "a key moved the robot outside teleoperation");

    view.viewer.setTeleoperationMode("R", "T");
    cell.project.history().record("Make the cell");
    const int steps = cell.project.history().stepCount();
    const Pose start = cell.tool->pose();
    const struct {
        Qt::Key key;
        int axis;
        double sign;
    } cases[] = {{Qt::Key_Right, 0, 1}, {Qt::Key_Left, 0, -1},  {Qt::Key_Up, 1, 1},
                 {Qt::Key_Down, 1, -1}, {Qt::Key_PageUp, 2, 1}, {Qt::Key_PageDown, 2, -1}};
    for (const auto& c : cases) {
        const QString which = QKeySequence(c.key).toString();
        const Eigen::Vector3d axis = c.sign * Eigen::Vector3d::Unit(c.axis);
        Pose before = cell.tool->pose();
        QTest::keyClick(keys, c.key);
        Pose after = cell.tool->pose();
        QVERIFY2((after.translation() - before.translation() - kStep * axis).norm() < 1e-4,
                 qPrintable(which));
        QVERIFY2(angleBetween(before.linear(), after.linear()) < 1e-3, qPrintable(which));

        before = after;
        QTest::keyClick(keys, c.key, Qt::ShiftModifier);
        after = cell.tool->pose();
        const Eigen::Matrix3d expected = Eigen::AngleAxisd(kTurn, axis).toRotationMatrix() * before.linear();
        QVERIFY2(angleBetween(after.linear(), expected) < 1e-3, qPrintable("Shift+" + which));
        QVERIFY2((after.translation() - before.translation()).norm() < 1e-4, qPrintable("Shift+" + which));
    }
    // One more, so that the burst does not end where it began: the presses, with no pause
    // between them, are one step of the undo history.
    QTest::keyClick(keys, Qt::Key_Up);
    QCOMPARE(cell.project.history().stepCount(), steps + 1);
    QCOMPARE(cell.project.history().undoName(), QStringLiteral("Teleoperate 'R'"));

    // After a pause, a held key is the next step; undo takes back one burst at a time.
    view.viewer.endTeleoperationBurst();
    const Eigen::Vector3d beforeHeld = cell.tool->pose().translation();
    holdKey(keys, Qt::Key_Up, 5);
    QVERIFY((cell.tool->pose().translation() - beforeHeld - Eigen::Vector3d(0, 5 * kStep, 0)).norm() < 1e-4);
    QCOMPARE(cell.project.history().stepCount(), steps + 2);
    cell.project.history().undo();
    QVERIFY((cell.project.workspace()->getToolFrame("T")->pose().translation() - beforeHeld).norm() < 1e-9);
    cell.project.history().undo();
    const Pose undone = cell.project.workspace()->getToolFrame("T")->pose();
    QVERIFY((undone.matrix() - start.matrix()).norm() < 1e-9);
}

void TestTeleoperation::aBurstOfPressesIsOneStepUntilAPauseOrAnythingElse() {
    Cell cell;
    auto* pause = new Wait(&cell.project, "Pause");
    pause->setProperty("duration", 0.01);
    cell.project.addProgram(pause);
    UndoHistory& history = cell.project.history();
    history.record("Make the cell");
    View view(cell);
    QVERIFY(view.exposed());
    view.viewer.setTeleoperationMode("R", "T");
    QWidget* keys = view.renderWidget();
    Workspace* ws = cell.project.workspace(); // undo may put back other objects: looked up
    auto tip = [&]() -> Eigen::Vector3d { return ws->getToolFrame("T")->pose().translation(); };
    const Eigen::Vector3d start = tip();
    const int steps = history.stepCount();
    const auto pressAndCount = [&](Qt::Key key = Qt::Key_Up) {
        QTest::keyClick(keys, key);
        return history.stepCount() - steps;
    };

    // Each press is in the history at once: undo in the middle of a burst takes back the burst
    // so far, and the press after it begins another step.
    QCOMPARE(pressAndCount(Qt::Key_Right), 1);
    QCOMPARE(pressAndCount(Qt::Key_Right), 1);
    history.undo();
    QVERIFY((tip() - start).norm() < 1e-9);
    QCOMPARE(pressAndCount(), 1);
    QVERIFY(!history.canRedo());
    const Eigen::Vector3d afterUp = tip();

    // Another edit ends it: undo takes back the presses after it alone.
    ws->getRobot("P")->setPose(makePose({2, 0.5, 0}));
    QVERIFY(history.record("Move 'P'"));
    QCOMPARE(pressAndCount(), 3);
    QCOMPARE(pressAndCount(), 3);
    history.undo();
    QVERIFY((tip() - afterUp).norm() < 1e-9);
    QVERIFY((ws->getRobot("P")->pose().translation() - Eigen::Vector3d(2, 0.5, 0)).norm() < 1e-12);

    // So do a change of selection (not the same selection again), a run, the view losing the
    // keyboard, and a pause.
    QCOMPARE(pressAndCount(), 3);
    view.viewer.setSelectedObject(0);
    QCOMPARE(pressAndCount(), 3);
    view.viewer.setSelectedObject(ws->getRobot("P")->id());
    QCOMPARE(pressAndCount(), 4);
    QVERIFY(Simulator(&cell.project, &view.viewer).runProgram("Pause"));
    QCOMPARE(pressAndCount(), 5);
    QFocusEvent away(QEvent::FocusOut, Qt::OtherFocusReason);
    QApplication::sendEvent(keys, &away);
    QCOMPARE(pressAndCount(), 6);
    view.viewer.endTeleoperationBurst();
    view.viewer._setTeleoperationBurstPause(10);
    QCOMPARE(pressAndCount(), 7);
    QTRY_VERIFY_WITH_TIMEOUT(!view.viewer._isTeleoperationBurstOpen(), 10000);
    QCOMPARE(pressAndCount(), 8);
}

void TestTeleoperation::theCornerTextNamesTheRobotToolStepsAndKeys() {
    Cell cell;
    View view(cell);
    QVERIFY(view.exposed());
    QVERIFY(!shownOverlay(view.viewer));
    view.viewer.setTeleoperationMode("R", "T");
    QString text = view.viewer.teleoperationOverlayText();
    for (const char* part :
         {"robot 'R'", "tool frame 'T'", "Left / Right", "Down / Up", "PgDn / PgUp", "Shift"})
        QVERIFY2(text.contains(part), part);
    QCOMPARE(text.count(" 5 mm"), 3);
    QCOMPARE(text.count(QStringLiteral(" 5\u00b0")), 1);
    QVERIFY2(shownOverlay(view.viewer), "no corner text in the view");
    QCOMPARE(QString::fromUtf8(shownOverlay(view.viewer)->GetInput()), text);

    // The keys jog by the steps set, and the text follows; steps out of range change nothing.
    view.viewer.setTeleoperationSteps(0.0125, 10 * kDegree);
    text = view.viewer.teleoperationOverlayText();
    QCOMPARE(text.count(" 12.5 mm"), 3);
    QCOMPARE(text.count(QStringLiteral(" 10\u00b0")), 1);
    QCOMPARE(QString::fromUtf8(shownOverlay(view.viewer)->GetInput()), text);
    const Pose before = cell.tool->pose();
    QTest::keyClick(view.renderWidget(), Qt::Key_Right);
    QVERIFY((cell.tool->pose().translation() - before.translation() - Eigen::Vector3d(0.0125, 0, 0)).norm() <
            1e-4);
    for (double metres : {0.0, 0.00005, 0.2, std::nan("")})
        QVERIFY(failureOf<ValueError>([&] {
                    view.viewer.setTeleoperationSteps(metres, kTurn);
                }).contains("0.1 to 100 mm"));
    for (double radians : {0.0, 90 * kDegree})
        QVERIFY(failureOf<ValueError>([&] {
                    view.viewer.setTeleoperationSteps(kStep, radians);
                }).contains("0.1 to 45 degrees"));
    QCOMPARE(view.viewer.teleoperationOverlayText(), text);

    // A rename shows at the next rebuild; leaving hides the text; the steps stay for next time.
    cell.ur5e->setName("Arm");
    view.viewer.rebuild();
    QVERIFY(QString::fromUtf8(shownOverlay(view.viewer)->GetInput()).contains("robot 'Arm'"));
    view.viewer.setCameraMode();
    QVERIFY(view.viewer.teleoperationOverlayText().isEmpty());
    QVERIFY(!shownOverlay(view.viewer));
    view.viewer.setTeleoperationMode("P", "PT");
    QVERIFY(view.viewer.teleoperationOverlayText().contains(" 12.5 mm"));
}

void TestTeleoperation::theStepsDialogSetsTheStepsOrChangesNothing() {
    Cell cell;
    WorkspaceViewer viewer;
    auto answer = [&](double mm, double degrees, bool ok) {
        KSTeleoperationStepsDialog dialog(&viewer);
        dialog.stepField()->setValue(mm);
        dialog.turnField()->setValue(degrees);
        ok ? dialog.accept() : dialog.reject();
        // Millimetres and degrees, to the tenth the fields show.
        return std::make_pair(qRound(viewer.teleoperationStep() * 1e4) / 10.0,
                              qRound(viewer.teleoperationTurn() / kDegree * 10) / 10.0);
    };
    QCOMPARE(answer(2.5, 15, false), std::make_pair(5.0, 5.0));
    QCOMPARE(answer(2.5, 15, true), std::make_pair(2.5, 15.0));
    QCOMPARE(KSTeleoperationStepsDialog(&viewer).stepField()->value(), 2.5);
    // The fields hold only what the viewer takes: the ends of their ranges are accepted.
    QCOMPARE(answer(1000, 0, true), std::make_pair(100.0, 0.1));
}

void TestTeleoperation::draggingTheHandleDragsTheToolAndSnapsBackOutOfReach() {
    Cell cell;
    View view(cell);
    QVERIFY(view.exposed());
    view.viewer.setTeleoperationMode("R", "T");
    // From this far a few hundred pixels are several metres.
    vtkCamera* camera = view.viewer._getRenderer()->GetActiveCamera();
    camera->Dolly(0.15);
    view.viewer._getRenderer()->ResetCameraClippingRange();
    view.viewer.render();
    const Eigen::Vector3d cameraAt(camera->GetPosition());
    QSignalSpy messages(&view.viewer, &WorkspaceViewer::teleoperationMessage);
    const int steps = cell.project.history().stepCount();
    const Pose start = cell.tool->pose();

    Eigen::Vector3d early = Eigen::Vector3d::Zero(), handleAtRelease = Eigen::Vector3d::Zero();
    const QPoint from = onScreen(view.viewer, start.translation());
    sendMouse(view.renderWidget(), QEvent::MouseButtonPress, from, Qt::LeftButton);
    for (int i = 1; i <= 6; ++i) {
        sendMouse(view.renderWidget(), QEvent::MouseMove, from + QPoint(40 * i, 0), Qt::LeftButton);
        if (i == 1)
            early = cell.tool->pose().translation();
    }
    handleAtRelease = handlePosition(shownHandle(view.viewer));
    sendMouse(view.renderWidget(), QEvent::MouseButtonRelease, from + QPoint(240, 0), Qt::NoButton);

    QVERIFY2((early - start.translation()).norm() > 0.01, "the tool did not follow the drag");
    const Pose end = cell.tool->pose();
    QVERIFY(angleBetween(start.linear(), end.linear()) < 1e-3);
    QVERIFY2(onScreen(view.viewer, end.translation()).x() > from.x() + 10, "the tool did not go right");
    QCOMPARE(messages.count(), 1);
    cell.ur5e->checkJointPositions(cell.ur5e->jointPositions());
    QVERIFY2((handleAtRelease - end.translation()).norm() > 0.5, "the drag did not go out of reach");
    QVERIFY2((handlePosition(shownHandle(view.viewer)) - end.translation()).norm() < 1e-9,
             "the handle stayed out of reach");
    QCOMPARE(cell.project.history().stepCount(), steps + 1);
    QVERIFY((Eigen::Vector3d(camera->GetPosition()) - cameraAt).norm() < 1e-9);

    // The next drag is another action and reports again.
    leftDrag(view.renderWidget(), onScreen(view.viewer, end.translation()), QPoint(240, 0), 3);
    QCOMPARE(messages.count(), 2);
}

void TestTeleoperation::cameraModeLeavesTeleoperationAndOrbitsAgain() {
    Cell cell;
    View view(cell);
    QVERIFY(view.exposed());
    view.viewer.setTeleoperationMode("R", "T");
    view.viewer.setCameraMode();
    view.viewer.render();
    QVERIFY(!view.viewer.isTeleoperating());
    QVERIFY(view.viewer.teleoperatedRobot().isEmpty());
    QVERIFY(!shownHandle(view.viewer));

    const Eigen::VectorXd joints = cell.ur5e->jointPositions();
    QTest::keyClick(view.renderWidget(), Qt::Key_Right);
    QTest::keyClick(view.renderWidget(), Qt::Key_PageUp, Qt::ShiftModifier);
    QVERIFY(cell.ur5e->jointPositions() == joints);
    QVERIFY_EXCEPTION_THROWN(view.viewer.jog({0.01, 0, 0}, Eigen::Vector3d::Zero()), ValueError);

    // A drag where the handle was turns the camera and leaves the robot alone.
    vtkCamera* camera = view.viewer._getRenderer()->GetActiveCamera();
    const Eigen::Vector3d before(camera->GetPosition());
    leftDrag(view.renderWidget(), onScreen(view.viewer, cell.tool->pose().translation()), QPoint(80, 0), 8);
    QVERIFY((Eigen::Vector3d(camera->GetPosition()) - before).norm() > 0.05);
    QVERIFY(cell.ur5e->jointPositions() == joints);
}

void TestTeleoperation::leavesWhenTheRobotOrToolFrameLeaves() {
    Cell cell;
    View view(cell);
    QVERIFY(view.exposed());
    view.viewer.setTeleoperationMode("R", "T");
    cell.panda->addToolFrame(cell.tool);
    view.viewer.rebuild();
    QVERIFY2(!view.viewer.isTeleoperating(), "still teleoperating a tool frame that moved to another robot");
    QVERIFY(!shownHandle(view.viewer));

    view.viewer.setTeleoperationMode("P", "T");
    cell.project.workspace()->remove(cell.panda);
    // Even before the next rebuild nothing reaches for the deleted robot.
    QVERIFY(!view.viewer.isTeleoperating());
    QVERIFY(view.viewer.teleoperatedRobot().isEmpty());
    QVERIFY_EXCEPTION_THROWN(view.viewer.jog({0.01, 0, 0}, Eigen::Vector3d::Zero()), ValueError);
    QTest::keyClick(view.renderWidget(), Qt::Key_Right);
    view.viewer.rebuild();
    view.viewer.render();
    QVERIFY(!view.viewer.isTeleoperating());
    QVERIFY(!shownHandle(view.viewer));
}

void TestTeleoperation::followsRenamesAndUndoButNotAnotherCell() {
    Cell cell;
    WorkspaceViewer viewer;
    viewer.setProject(&cell.project);
    viewer.setTeleoperationMode("R", "T");
    cell.ur5e->setName("Arm");
    cell.tool->setName("Tip");
    viewer.rebuild();
    QCOMPARE(viewer.teleoperatedRobot(), QStringLiteral("Arm"));
    QCOMPARE(viewer.teleoperatedTool(), QStringLiteral("Tip"));

    // Undo puts back objects of the same ids and names: teleoperation goes on with them.
    cell.project.history().record("Rename");
    const Eigen::Vector3d start = cell.tool->pose().translation();
    QVERIFY(viewer.jog({0.02, 0, 0}, Eigen::Vector3d::Zero()));
    cell.project.history().undo();
    viewer.rebuild();
    QVERIFY(viewer.isTeleoperating());
    const Eigen::Vector3d restored = cell.project.workspace()->getToolFrame("Tip")->pose().translation();
    QVERIFY((restored - start).norm() < 1e-9);
    QVERIFY((handlePosition(shownHandle(viewer)) - restored).norm() < 1e-9);
    QVERIFY(viewer.jog({0, 0.01, 0}, Eigen::Vector3d::Zero()));

    // A file loaded into the shown project is another cell, though its ids are the same.
    Cell other;
    other.ur5e->setName("Elsewhere");
    cell.project.fromJson(other.project.toJson(), QStringLiteral("other cell"));
    viewer.rebuild();
    QVERIFY(!viewer.isTeleoperating());
    QVERIFY(!shownHandle(viewer));

    viewer.setTeleoperationMode("Elsewhere", "T");
    viewer.setProject(&cell.project);
    QVERIFY(viewer.isTeleoperating());
    viewer.setProject(&other.project);
    QVERIFY(!viewer.isTeleoperating());
}

int main(int argc, char** argv) {
    // The format must be in place before the application exists, or VTK gets no usable context.
    QSurfaceFormat::setDefaultFormat(QVTKOpenGLNativeWidget::defaultFormat());
    QApplication app(argc, argv);
    TestTeleoperation test;
    return QTest::qExec(&test, argc, argv);
}

#include "test_teleoperation.moc"
