// The property panel, deleting, and selection shared by the project tree and the 3-D view, driven
// through the main window as a user would.

#include "dialog_driver.h"
#include "studio_fixture.h"
#include "test_main.h"

#include <kestrin/kestrin.h>
#include <kestrin_app/container.h>
#include <kestrin_app/content.h>
#include <kestrin_app/editor/property_panel.h>
#include <kestrin_app/editor/tree.h>
#include <kestrin_app/exception.h>
#include <kestrin_app/mainwindow.h>
#include <kestrin_app/status.h>
#include <kestrin_viewer/simulator.h>
#include <kestrin_viewer/workspace_viewer.h>

#include <QAction>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QSlider>
#include <QTemporaryDir>
#include <vtkRenderWindow.h>
#include <vtkRenderer.h>

#include <cmath>
#include <stdexcept>

using kestrin_app::content::KSSelectorDialog;
using testing::DialogDriver;
using K = KSSelectorDialog;
using testing::settle;
using testing::Studio;

namespace {

constexpr double kDeg = M_PI / 180.0;

/// A cell with a program that uses it: robot "Arm" with tool frames, a desk, a joint target
/// "Home" and motion limits, program "Main" whose actions "Move Home" and "Reach" use them.
void programmedCell(kestrin::Project* p) {
    auto* arm = new kestrin::UR5eRobot(p->workspace(), "Arm");
    arm->addToolFrame(new kestrin::ToolFrame(p->workspace(), "Tip"));
    arm->addToolFrame(new kestrin::ToolFrame(p->workspace(), "Camera Mount"));
    new kestrin::Desk(p->workspace(), "Bench");
    new kestrin::JointPositionTarget(p, "Home",
                                     kestrin::Distribution::CreateFromTypename("Uniform", arm->getNumDofs()));
    new kestrin::MotionLimits(p, "Gentle", Eigen::VectorXd::Ones(6), Eigen::VectorXd::Ones(6));
    auto* main = new kestrin::Sequence(p, "Main");
    p->addProgram(main);
    auto* home = new kestrin::MoveToJointTarget(p, "Move Home");
    main->_addChild(home);
    home->setProperty("robot", "Arm");
    home->setProperty("target", "Home");
    auto* reach = new kestrin::MoveToJointTarget(p, "Reach");
    main->_addChild(reach);
    reach->setProperty("robot", "Arm");
}

} // namespace

class PropertyPanelTest : public QObject {
    Q_OBJECT
private slots:
    void init() { DialogDriver::reset(); }
    void cleanup() { QCOMPARE(DialogDriver::closedBySafety(), 0); }

    // --- Edits reach the model and its file ----------------------------------------------------

    void editedPoseJointsReferenceAndDistributionSurviveSaveAndOpen() {
        Studio s;
        programmedCell(s.project());
        s.sync();
        kestrin::Robot* arm = s.workspace()->getRobot("Arm");

        s.select(s.workspace()->find(kestrin::Category::Item, "Bench"));
        s.enter("propertyPanelX", 1.25);
        s.enter("propertyPanelYaw", 30.0);
        QCOMPARE(s.undoName(), QString("Edit Pose of 'Bench'"));
        s.select(arm);
        s.enter("propertyPanelJoint2", -45.0);
        s.select(s.workspace()->getToolFrame("Tip")); // a tool frame's pose is its offset on the flange
        s.enter("propertyPanelZ", 0.15);
        s.selectBehavior("Reach");
        s.choose("propertyPanelProperty_target", "Home");
        s.choose("propertyPanelProperty_motion_limits", "Gentle");
        s.selectVariable("Home");
        s.enter("propertyPanelLower3", -20.0);
        s.enter("propertyPanelUpper3", 35.0);
        QVERIFY(s.failures.isEmpty());
        QVERIFY(s.propertyPanel()->errorText().isEmpty());

        QTemporaryDir dir;
        const QString file = dir.filePath("cell.kestrin");
        s.project()->save(file);
        kestrin::Project reopened;
        reopened.load(file);

        const kestrin::Pose bench = reopened.workspace()->find(kestrin::Category::Item, "Bench")->pose();
        QVERIFY(std::abs(bench.translation().x() - 1.25) < 1e-9);
        QVERIFY(std::abs(kestrin::rollPitchYaw(bench.rotation())[2] - 30.0 * kDeg) < 1e-9);
        QVERIFY(std::abs(reopened.workspace()->getRobot("Arm")->jointPositions()[1] + 45.0 * kDeg) < 1e-9);
        const kestrin::ToolFrame* tip = reopened.workspace()->getToolFrame("Tip");
        QVERIFY(std::abs(tip->offset().position.z() - 0.15) < 1e-9);
        QVERIFY(
            (tip->pose().translation() - (tip->robot()->flangePose() * Eigen::Vector3d(0, 0, 0.15))).norm() <
            1e-9);
        auto* reach = dynamic_cast<kestrin::Action*>(reopened.findBehavior("Reach"));
        QCOMPARE(reach->reference("target"), QString("Home"));
        QCOMPARE(reach->reference("motion_limits"), QString("Gentle"));
        const auto& home = dynamic_cast<const kestrin::UniformDistribution&>(
            dynamic_cast<kestrin::JointPositionTarget*>(reopened.findVariable("Home"))->jointPositions());
        QVERIFY(std::abs(home.lower()[2] + 20.0 * kDeg) < 1e-9);
        QVERIFY(std::abs(home.upper()[2] - 35.0 * kDeg) < 1e-9);
        QVERIFY(std::abs(home.lower()[1] + M_PI) < 1e-9); // the other joints kept their bounds
    }

    // The editors' ranges are the model's: an object at the edge of the cell shows where it is,
    // and lists as long as the model takes show one row per value, no more.
    void editorsShowEveryValueTheModelHoldsAsItIs() {
        Studio s;
        auto* desk = new kestrin::Desk(s.workspace(), "Edge");
        desk->setPose(kestrin::makePose({kestrin::kMaxPosition, -kestrin::kMaxPosition, 2}));
        desk->setSize({kestrin::kMaxObjectSize, 1, 1});
        new kestrin::MotionLimits(s.project(), "Long",
                                  Eigen::VectorXd::Ones(kestrin::MotionLimits::kMaxJoints),
                                  Eigen::VectorXd::Ones(kestrin::MotionLimits::kMaxJoints));
        new kestrin::JointPositionTarget(s.project(), "Wide",
                                         std::make_unique<kestrin::DeterministicDistribution>(
                                             Eigen::VectorXd::Zero(kestrin::Distribution::kMaxDimensions)));
        new kestrin::MixtureTarget(s.project(), "Mix", QVector<QString>(64).toList(),
                                   std::vector<double>(64, 1.0));
        s.sync();

        s.select(desk);
        auto* x = s.editor<QDoubleSpinBox>("propertyPanelX");
        QCOMPARE(x->maximum(), kestrin::kMaxPosition);
        QCOMPARE(x->value(), kestrin::kMaxPosition);
        QCOMPARE(s.editor<QDoubleSpinBox>("propertyPanelY")->value(), -kestrin::kMaxPosition);
        auto* size = s.editor<QDoubleSpinBox>("propertyPanelSizeX");
        QCOMPARE(size->maximum(), kestrin::kMaxObjectSize);
        QCOMPARE(size->value(), kestrin::kMaxObjectSize);

        const auto spins = [&](const QString& prefix) {
            int n = 0;
            for (const QDoubleSpinBox* spin : s.propertyPanel()->findChildren<QDoubleSpinBox*>())
                n += spin->objectName().startsWith(prefix);
            return n;
        };
        s.selectVariable("Long");
        QCOMPARE(spins("propertyPanelVelocity"), 64);
        QCOMPARE(spins("propertyPanelAcceleration"), 64);
        s.selectVariable("Wide");
        QCOMPARE(spins("propertyPanelValue"), 64);
        s.selectVariable("Mix");
        QCOMPARE(spins("propertyPanelWeight"), 64);
        QVERIFY(s.failures.isEmpty());
    }

    void anEditIsOneUndoStepThatMarksTheWindowChanged() {
        Studio s;
        auto* desk = new kestrin::Desk(s.workspace(), "Bench");
        s.sync();
        QVERIFY(!s.window.isWindowModified());
        const double before = desk->size().x();

        s.select(desk);
        s.enter("propertyPanelSizeX", 2.5);
        settle();
        QCOMPARE(desk->size().x(), 2.5);
        QVERIFY(s.window.isWindowModified());
        QCOMPARE(s.window.findAction("actionUndo")->text(), QString("&Undo Edit Size of 'Bench'"));

        // Undo puts the model back, and the property panel shows it.
        s.window.findAction("actionUndo")->trigger();
        settle();
        desk = static_cast<kestrin::Desk*>(s.workspace()->find(kestrin::Category::Item, "Bench"));
        QCOMPARE(desk->size().x(), before);
        QCOMPARE(s.editor<QDoubleSpinBox>("propertyPanelSizeX")->value(), before);
        QVERIFY(!s.window.isWindowModified());
    }

    void aGripperIsMountedAndUnmountedFromThePanelAndAddedOntoTheSelectedRobot() {
        QTemporaryDir dir;
        Studio s;
        auto* arm = new kestrin::UR5eRobot(s.workspace(), "Arm");
        new kestrin::UR3eRobot(s.workspace(), "Small Arm");
        auto* gripper = new kestrin::RobotiqGripper2F85(s.workspace(), "Gripper");
        s.sync();
        s.select(gripper);
        QCOMPARE(s.choices("propertyPanelMountedOn"), (QStringList{"(none)", "Arm", "Small Arm"}));
        s.choose("propertyPanelMountedOn", "Arm");
        settle();
        QCOMPARE(gripper->robot(), arm);
        QCOMPARE(s.undoName(), QString("Edit Mount of 'Gripper'"));
        // It follows the flange, in the model and in the view.
        Eigen::VectorXd q = arm->jointPositions();
        q[0] += 0.5;
        arm->setJointPositions(q);
        s.handler()._rebuildViewerAndTree();
        QVERIFY((gripper->pose().translation() - arm->flangePose().translation()).norm() < 0.1);
        QCOMPARE(s.viewer()->_differenceFromModel(), QString());
        // Kept in the file.
        const QString file = dir.filePath("mounted.kestrin");
        s.project()->save(file);
        {
            kestrin::Project reread;
            reread.load(file);
            auto* back = dynamic_cast<kestrin::Effector*>(
                reread.workspace()->find(kestrin::Category::Effector, "Gripper"));
            QVERIFY(back && back->robot() && back->robot()->name() == "Arm");
        }
        s.choose("propertyPanelMountedOn", "(none)");
        settle();
        QVERIFY(!gripper->robot());
        s.window.findAction("actionUndo")->trigger();
        settle();
        gripper = dynamic_cast<kestrin::RobotiqGripper2F85*>(
            s.workspace()->find(kestrin::Category::Effector, "Gripper"));
        QVERIFY(gripper->robot() && gripper->robot()->name() == "Arm");

        // Added while a robot is selected: onto that robot, in one step; not onto a robot that
        // carries a gripper already.
        s.select(s.workspace()->getRobot("Small Arm"));
        DialogDriver::expect(DialogDriver::setText(KSSelectorDialog::NEW_NAME_KEY, "Hand"));
        s.window.findAction("actionAddEffector_FrankaHand")->trigger();
        settle();
        auto* hand =
            dynamic_cast<kestrin::Effector*>(s.workspace()->find(kestrin::Category::Effector, "Hand"));
        QVERIFY(hand && hand->robot() && hand->robot()->name() == "Small Arm");
        QCOMPARE(s.undoName(), QString("Add Effector 'Hand'"));
        s.select(s.workspace()->getRobot("Arm"));
        DialogDriver::expect(DialogDriver::setText(KSSelectorDialog::NEW_NAME_KEY, "Spare"));
        s.window.findAction("actionAddEffector_FrankaHand")->trigger();
        settle();
        auto* spare =
            dynamic_cast<kestrin::Effector*>(s.workspace()->find(kestrin::Category::Effector, "Spare"));
        QVERIFY(spare && !spare->robot());
    }

    void theCellsClearanceIsEditedWithNothingSelectedAndUndone() {
        Studio s;
        new kestrin::Desk(s.workspace(), "Bench");
        s.sync();
        s.tree()->clearSelection();
        settle();
        s.enter("propertyPanelClearance", 5.0);
        settle();
        QCOMPARE(s.workspace()->clearance(), 0.005);
        QCOMPARE(s.undoName(), QString("Edit Clearance of the Cell"));
        s.window.findAction("actionUndo")->trigger();
        settle();
        QCOMPARE(s.workspace()->clearance(), 0.0);
        QCOMPARE(s.editor<QDoubleSpinBox>("propertyPanelClearance")->value(), 0.0);
        s.window.findAction("actionRedo")->trigger();
        settle();
        QCOMPARE(s.workspace()->clearance(), 0.005);
        QCOMPARE(s.editor<QDoubleSpinBox>("propertyPanelClearance")->value(), 5.0);
    }

    void aJointSliderDragIsOneStepWhenLetGo() {
        Studio s;
        auto* arm = new kestrin::UR5eRobot(s.workspace(), "Arm");
        s.sync();
        s.select(arm);
        const int steps = s.project()->history().stepCount();
        auto* slider = s.editor<QSlider>("propertyPanelJointSlider1");
        QCOMPARE(slider->maximum(), int(std::floor(arm->upperLimits()[0] / kDeg * 100)));
        slider->setSliderDown(true);
        slider->setValue(1000);
        slider->setValue(2000);
        QVERIFY(std::abs(arm->jointPositions()[0] - 20.0 * kDeg) < 1e-9); // the robot follows the drag
        QCOMPARE(s.editor<QDoubleSpinBox>("propertyPanelJoint1")->value(), 20.0);
        QCOMPARE(s.project()->history().stepCount(), steps);
        slider->setSliderDown(false); // lets go
        QCOMPARE(s.project()->history().stepCount(), steps + 1);
        QCOMPARE(s.undoName(), QString("Edit Joint Positions of 'Arm'"));
    }

    // --- Refused values ------------------------------------------------------------------------

    void outOfLimitJointValueIsRefusedWithTheMessageAndChangesNothing() {
        Studio s;
        auto* arm = new kestrin::UR5eRobot(s.workspace(), "Arm");
        s.sync();
        s.select(arm);
        const Eigen::VectorXd before = arm->jointPositions();
        const int steps = s.project()->history().stepCount();

        s.enter("propertyPanelJoint1", 400.0);
        QVERIFY(arm->jointPositions() == before);
        QCOMPARE(s.project()->history().stepCount(), steps);
        QVERIFY2(s.propertyPanel()->errorText().startsWith("Joint 1 of robot 'Arm' must stay between"),
                 qPrintable(s.propertyPanel()->errorText()));
        QCOMPARE(s.editor<QDoubleSpinBox>("propertyPanelJoint1")->value(), before[0] / kDeg);
        QVERIFY(s.failures.isEmpty()); // shown in the property panel, not in a box

        // The next accepted edit clears the message.
        s.enter("propertyPanelJoint1", 10.0);
        QVERIFY(s.propertyPanel()->errorText().isEmpty());
        QVERIFY(std::abs(arm->jointPositions()[0] - 10.0 * kDeg) < 1e-9);
    }

    void negativeSizeIsRefusedWithTheMessageAndChangesNothing_data() {
        QTest::addColumn<QString>("kind");
        QTest::newRow("desk") << "Desk";
        QTest::newRow("custom item") << "CustomItem";
        QTest::newRow("task region") << "TaskRegion";
    }
    void negativeSizeIsRefusedWithTheMessageAndChangesNothing() {
        QFETCH(QString, kind);
        Studio s;
        kestrin::WorkspaceObject* object = kestrin::Type::find(kind)->constructObject(s.workspace(), "Box");
        s.sync();
        s.select(object);
        const Eigen::Vector3d before = object->size();
        const int steps = s.project()->history().stepCount();

        s.enter("propertyPanelSizeY", -0.5);
        QVERIFY(object->size() == before);
        QCOMPARE(s.project()->history().stepCount(), steps);
        QVERIFY2(s.propertyPanel()->errorText().startsWith("The size of 'Box' must be positive"),
                 qPrintable(s.propertyPanel()->errorText()));
        QCOMPARE(s.editor<QDoubleSpinBox>("propertyPanelSizeY")->value(), before.y());
        // What else the page shows is untouched.
        QCOMPARE(s.editor<QLineEdit>("propertyPanelName")->text(), QString("Box"));
    }

    void boundsTheWrongWayRoundAreRefusedInDegreesAndChangeNothing() {
        Studio s;
        programmedCell(s.project());
        s.sync();
        s.selectVariable("Home");
        auto lowerBounds = [&] {
            return dynamic_cast<const kestrin::UniformDistribution&>(
                       dynamic_cast<kestrin::JointPositionTarget*>(s.project()->findVariable("Home"))
                           ->jointPositions())
                .lower();
        };
        const Eigen::VectorXd before = lowerBounds();

        s.enter("propertyPanelLower1", 200.0);
        QCOMPARE(s.propertyPanel()->errorText(),
                 QString("The lower bound of joint 1 (200.00°) cannot be above its upper bound (180.00°)."));
        QVERIFY(lowerBounds() == before);
        QCOMPARE(s.editor<QDoubleSpinBox>("propertyPanelLower1")->value(), -180.0);
    }

    // --- Names and references ------------------------------------------------------------------

    void renamingARobotKeepsTheActionsThatUseItWorking() {
        Studio s;
        programmedCell(s.project());
        s.sync();
        s.select(s.workspace()->getRobot("Arm"));
        s.rename("Welder");
        QCOMPARE(s.undoName(), QString("Edit Name of 'Arm'"));
        QCOMPARE(s.workspace()->getRobots(), QStringList{"Welder"});
        QVERIFY(s.tree()->findItems("Welder", Qt::MatchExactly | Qt::MatchRecursive).size() == 1);

        auto* reach = dynamic_cast<kestrin::Action*>(s.project()->findBehavior("Reach"));
        QCOMPARE(reach->reference("robot"), QString("Welder"));
        QVERIFY(s.workspace()->findRobot(reach->reference("robot")));
        s.selectBehavior("Reach");
        QCOMPARE(s.editor<QComboBox>("propertyPanelProperty_robot")->currentText(), QString("Welder"));
    }

    void takenNameIsMadeUniqueAndBlankNameIsRefused() {
        Studio s;
        programmedCell(s.project());
        s.sync();
        s.selectBehavior("Reach");
        s.rename("Move Home");
        QCOMPARE(s.editor<QLineEdit>("propertyPanelName")->text(), QString("Move Home 2"));
        QVERIFY(s.project()->findBehavior("Move Home 2"));

        s.rename("   ");
        QVERIFY(!s.propertyPanel()->errorText().isEmpty());
        QVERIFY(s.propertyPanel()->errorText().contains("name"));
        QCOMPARE(s.editor<QLineEdit>("propertyPanelName")->text(), QString("Move Home 2"));
        QVERIFY(s.project()->findBehavior("Move Home 2"));
    }

    void actionChoicesOfferOnlyWhatThePropertyCanHold() {
        Studio s;
        programmedCell(s.project());
        auto* other = new kestrin::UR3eRobot(s.workspace(), "Other");
        other->addToolFrame(new kestrin::ToolFrame(s.workspace(), "Other Tip"));
        new kestrin::TaskRegion(s.workspace(), "Bin");
        new kestrin::TaskRegionTarget(s.project(), "Pick",
                                      std::make_unique<kestrin::PoseGenerator>(s.project()), nullptr);
        auto* pick = new kestrin::MoveToTaskRegion(s.project(), "Pick Part");
        s.project()->findBehavior("Main")->_addChild(pick);
        s.sync();

        s.selectBehavior("Pick Part");
        QCOMPARE(s.choices("propertyPanelProperty_robot"), (QStringList{"(none)", "Arm", "Other"}));
        QCOMPARE(s.choices("propertyPanelProperty_target"), (QStringList{"(none)", "Pick"}));
        QCOMPARE(s.choices("propertyPanelProperty_motion_limits"), (QStringList{"(none)", "Gentle"}));
        s.choose("propertyPanelProperty_robot", "Other");
        QCOMPARE(s.choices("propertyPanelProperty_tool_frame"), (QStringList{"(none)", "Other Tip"}));
        s.choose("propertyPanelProperty_tool_frame", "Other Tip");
        QCOMPARE(pick->reference("tool_frame"), QString("Other Tip"));
    }

    // --- Deleting ------------------------------------------------------------------------------

    void deletingARobotTakesItsToolFramesAndUndoBringsThemBack() {
        Studio s;
        auto* arm = new kestrin::UR5eRobot(s.workspace(), "Arm");
        arm->addToolFrame(new kestrin::ToolFrame(s.workspace(), "Tip"));
        arm->addToolFrame(new kestrin::ToolFrame(s.workspace(), "Flange Camera"));
        s.sync();
        QCOMPARE(s.window.findAction("actionDelete")->shortcut(), QKeySequence(QKeySequence::Delete));
        s.select(arm);
        s.window.findAction("actionDelete")->trigger();
        QCOMPARE(s.workspace()->objectCount(), 0);
        QCOMPARE(s.viewer()->sceneItemCount(), 0);
        QVERIFY(s.tree()->findItems("Tip", Qt::MatchExactly | Qt::MatchRecursive).isEmpty());
        QCOMPARE(s.undoName(), QString("Delete Robot 'Arm'"));
        QVERIFY(s.failures.isEmpty());

        s.window.findAction("actionUndo")->trigger();
        QCOMPARE(s.workspace()->getRobot("Arm")->getToolFrames(), (QStringList{"Tip", "Flange Camera"}));
    }

    void deletingABehaviorTakesEverythingBelowIt() {
        Studio s;
        programmedCell(s.project());
        auto* inner = new kestrin::Sequence(s.project(), "Inner");
        s.project()->findBehavior("Main")->_addChild(inner);
        inner->_addChild(new kestrin::Wait(s.project(), "Pause"));
        s.sync();
        s.selectBehavior("Main");
        s.window.findAction("actionDelete")->trigger();
        QVERIFY(s.project()->behaviors().isEmpty());
        QVERIFY(!s.tree()->itemForBehavior("Pause"));
        QCOMPARE(s.undoName(), QString("Delete Behavior 'Main'"));
        // What the program used stays.
        QVERIFY(s.workspace()->findRobot("Arm"));
        QVERIFY(s.project()->findVariable("Home"));
    }

    void somethingStillUsedIsNotDeletedAndTheMessageNamesItsUsers() {
        Studio s;
        programmedCell(s.project());
        s.sync();
        const int steps = s.project()->history().stepCount();

        s.select(s.workspace()->getRobot("Arm"));
        s.window.findAction("actionDelete")->trigger();
        QCOMPARE(s.failures, QStringList{"Cannot delete robot 'Arm': it is used by Move Home, Reach."});
        QVERIFY(s.workspace()->findRobot("Arm"));
        QVERIFY(s.tree()->itemForObject(s.workspace()->getRobot("Arm")->id()));

        // A tool frame no action uses goes on its own; a variable in use stays.
        s.select(s.workspace()->getToolFrame("Tip"));
        s.window.findAction("actionDelete")->trigger();
        QVERIFY(!s.workspace()->findToolFrame("Tip"));
        s.selectVariable("Home");
        s.window.findAction("actionDelete")->trigger();
        QCOMPARE(s.failures.last(), QString("Cannot delete variable 'Home': it is used by Move Home."));
        QVERIFY(s.project()->findVariable("Home"));
        QCOMPARE(s.project()->history().stepCount(), steps + 1);

        // Deleted together with the action that uses it, it goes.
        s.tree()->clearSelection();
        s.tree()->itemForVariable("Home")->setSelected(true);
        s.tree()->itemForBehavior("Move Home")->setSelected(true);
        settle();
        s.window.findAction("actionDelete")->trigger();
        QVERIFY(!s.project()->findVariable("Home"));
        QVERIFY(!s.project()->findBehavior("Move Home"));
        QCOMPARE(s.undoName(), QString("Delete 2 Items"));
        QCOMPARE(s.failures.size(), 2);
    }

    void deleteKeyInAnEditorEditsTheFieldNotTheProject() {
        Studio s;
        auto* desk = new kestrin::Desk(s.workspace(), "Bench");
        const quint64 id = desk->id();
        s.sync();
        s.window.show();
        s.window.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&s.window));
        s.select(desk);

        auto* name = s.editor<QLineEdit>("propertyPanelName");
        name->setFocus();
        name->setCursorPosition(0);
        QTest::keyClick(name, Qt::Key_Delete);
        QCOMPARE(name->text(), QString("ench"));
        auto* x = s.editor<QDoubleSpinBox>("propertyPanelX");
        x->setFocus();
        QTest::keyClick(x, Qt::Key_Delete);
        QVERIFY(s.workspace()->findById(id));

        // In the tree, the key deletes what is selected.
        s.tree()->setFocus();
        QTest::keyClick(s.tree(), Qt::Key_Delete);
        QVERIFY(!s.workspace()->findById(id));
    }

    // --- Selection in the tree and in the view -------------------------------------------------

    void selectingInTheTreeShowsAndOutlinesTheObject() {
        Studio s;
        programmedCell(s.project());
        s.sync();
        kestrin::Robot* arm = s.workspace()->getRobot("Arm");
        s.select(arm);
        QCOMPARE(s.editor<QLineEdit>("propertyPanelName")->text(), QString("Arm"));
        QCOMPARE(s.viewer()->selectedObject(), arm->id());
        s.selectVariable("Home");
        QCOMPARE(s.editor<QLineEdit>("propertyPanelName")->text(), QString("Home"));
        QCOMPARE(s.viewer()->selectedObject(), quint64(0));
    }

    void clickingAnObjectInTheViewSelectsItInTheTree() {
        Studio s;
        s.window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&s.window));
        auto* arm = new kestrin::UR5eRobot(s.workspace(), "Arm");
        arm->addToolFrame(new kestrin::ToolFrame(s.workspace(), "Tip"));
        auto* desk = new kestrin::Desk(s.workspace(), "Bench");
        s.sync();
        s.viewer()->resetCamera();
        s.viewer()->render();

        // Where the middle of the desk's top is on screen.
        vtkRenderer* renderer = s.viewer()->_getRenderer();
        const Eigen::Vector3d top = desk->pose() * Eigen::Vector3d(0, 0, desk->size().z() - 0.02);
        renderer->SetWorldPoint(top.x(), top.y(), top.z(), 1.0);
        renderer->WorldToDisplay();
        const double* display = renderer->GetDisplayPoint();
        auto* view = s.viewer()->findChild<QWidget*>("workspaceViewerRenderWidget");
        QVERIFY(view);
        const qreal ratio = view->devicePixelRatioF();
        const int height = renderer->GetRenderWindow()->GetSize()[1];
        const QPoint onDesk(qRound(display[0] / ratio), qRound((height - 1 - display[1]) / ratio));

        QSignalSpy clicked(s.viewer(), &kestrin::WorkspaceViewer::objectClicked);
        QTest::mouseClick(view, Qt::LeftButton, {}, onDesk);
        settle();
        QCOMPARE(clicked.count(), 1);
        QCOMPARE(clicked.first().first().toULongLong(), desk->id());
        QCOMPARE(s.tree()->selectedItems(), QList<QTreeWidgetItem*>{s.tree()->itemForObject(desk->id())});
        QCOMPARE(s.editor<QLineEdit>("propertyPanelName")->text(), QString("Bench"));
        QCOMPARE(s.viewer()->selectedObject(), desk->id());

        // A drag turns the camera and selects nothing.
        QTest::mousePress(view, Qt::LeftButton, {}, QPoint(5, 5));
        QTest::mouseRelease(view, Qt::LeftButton, {}, QPoint(60, 5));
        QCOMPARE(clicked.count(), 1);

        // Empty space clears the selection.
        QTest::mouseClick(view, Qt::LeftButton, {}, QPoint(5, 5));
        settle();
        QCOMPARE(clicked.count(), 2);
        QCOMPARE(clicked.last().first().toULongLong(), quint64(0));
        QVERIFY(s.tree()->selectedItems().isEmpty());
        QCOMPARE(s.viewer()->selectedObject(), quint64(0));

        // While teleoperating, a click is the teleoperator's.
        s.viewer()->setTeleoperationMode("Arm", "Tip");
        QTest::mouseClick(view, Qt::LeftButton, {}, onDesk);
        QCOMPARE(clicked.count(), 2);
    }

    // --- A program built from the menus and the property panel --------------------------------------

    void aProgramBuiltFromMenusAndPropertyPanelRuns() {
        Studio s;
        s.handler()._on_simulator_created = [](kestrin::Simulator* simulator) { simulator->setSpeed(50); };
        DialogDriver::expect(DialogDriver::setText(K::NEW_NAME_KEY, "Arm"));
        s.handler().addRobot("UR5eRobot");
        kestrin::Robot* arm = s.workspace()->getRobot("Arm");
        DialogDriver::expect(DialogDriver::setText(K::NEW_NAME_KEY, "Ready Pose"));
        s.handler().addVariable(kestrin::JointPositionTarget::staticType());

        // Pose the robot, take its joint positions as the target, then move it away.
        s.select(arm);
        s.enter("propertyPanelJoint2", -60.0);
        s.enter("propertyPanelJoint3", 45.0);
        const Eigen::VectorXd ready = arm->jointPositions();
        s.selectVariable("Ready Pose");
        QCOMPARE(s.editor<QComboBox>("propertyPanelSetFromRobotChoice")->currentText(), QString("Arm"));
        s.editor<QPushButton>("propertyPanelSetFromRobot")->click();
        QCOMPARE(s.editor<QDoubleSpinBox>("propertyPanelValue2")->value(), -60.0);
        s.select(arm);
        s.enter("propertyPanelJoint2", -100.0);

        DialogDriver::expect(DialogDriver::setText(K::NEW_NAME_KEY, "Main"));
        s.handler().addBehavior(kestrin::Sequence::staticType());
        DialogDriver::expect(DialogDriver::setText(K::NEW_NAME_KEY, "Go Ready",
                                                   DialogDriver::choose(K::PARENT_BEHAVIOR_KEY, "Main")));
        s.handler().addBehavior(kestrin::MoveToJointTarget::staticType());
        s.selectBehavior("Go Ready");
        s.choose("propertyPanelProperty_robot", "Arm");
        s.choose("propertyPanelProperty_target", "Ready Pose");

        DialogDriver::expect(DialogDriver::choose(K::EXECUTE_BEHAVIOR_KEY, "Main"));
        s.handler().runLocalSimulator();
        QCOMPARE(s.window.statusWidget()->state(), KSStatusBarWidget::State::Completed);
        QCOMPARE(s.window.statusWidget()->text(), QString("Completed"));
        QVERIFY((arm->jointPositions() - ready).cwiseAbs().maxCoeff() < 1e-6);
        QVERIFY2(s.failures.isEmpty(), qPrintable(s.failures.join('\n')));
    }
};

KESTRIN_GUI_TEST_MAIN(PropertyPanelTest)
#include "test_property_panel.moc"
