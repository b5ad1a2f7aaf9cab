// Editing a cell and its programs through the main window: the tree's context menu, rename in
// place, copy and paste, moving behaviors, find, where new objects go, and the undo keys while a
// property field has the keyboard.

#include "dialog_driver.h"
#include "studio_fixture.h"
#include "test_main.h"

#include <kestrin/placement.h>
#include <kestrin_app/editor/edit_operations.h>

#include <QAction>
#include <QImage>
#include <QLabel>
#include <QMenu>
#include <QMouseEvent>
#include <QTemporaryDir>
#include <vtkCamera.h>
#include <vtkRenderer.h>

#include <cmath>

using kestrin_app::content::KSSelectorDialog;
using testing::DialogDriver;
using testing::LogCapture;
using testing::settle;
using testing::Studio;

namespace {

/// A robot with a tool frame, a target, and two programs:
/// Pick: Approach, Close, Pause; Other: Rest.
void pickCell(Studio& s) {
    kestrin::Project* p = s.project();
    auto* arm = new kestrin::UR5eRobot(s.workspace(), "Arm");
    arm->addToolFrame(new kestrin::ToolFrame(s.workspace(), "Tip"));
    new kestrin::JointPositionTarget(
        p, "Above", std::make_unique<kestrin::DeterministicDistribution>(arm->homePositions()));
    auto* pick = new kestrin::Sequence(p, "Pick");
    p->addProgram(pick);
    auto* approach = new kestrin::MoveToJointTarget(p, "Approach");
    approach->setProperty("robot", "Arm");
    approach->setProperty("target", "Above");
    pick->_addChild(approach);
    auto* close = new kestrin::Grasp(p, "Close");
    close->setProperty("robot", "Arm");
    close->setProperty("tool_frame", "Tip");
    pick->_addChild(close);
    auto* pause = new kestrin::Wait(p, "Pause");
    pause->setProperty("duration", 0.2);
    pick->_addChild(pause);
    auto* other = new kestrin::Sequence(p, "Other");
    p->addProgram(other);
    auto* rest = new kestrin::Wait(p, "Rest");
    rest->setProperty("duration", 0.1);
    other->_addChild(rest);
    s.sync();
}

QStringList childNames(const kestrin::Behavior* b) {
    QStringList out;
    for (const kestrin::Behavior* c : b->children())
        out << c->name();
    return out;
}

QStringList menuTexts(QMenu* menu) {
    QStringList out;
    for (QAction* a : menu->actions())
        if (!a->isSeparator())
            out << QString(a->text()).remove('&');
    return out;
}

KSEditOperations* editing(Studio& s) {
    return s.window.editOperations();
}

} // namespace

class TestEditingStudio : public QObject {
    Q_OBJECT

private slots:
    void init() { DialogDriver::reset(); }

    void contextMenuOffersWhatFitsTheItem() {
        Studio s;
        pickCell(s);
        s.selectBehavior("Pick");
        std::unique_ptr<QMenu> menu(editing(s)->makeContextMenu(s.tree()->itemForBehavior("Pick"), nullptr));
        QStringList texts = menuTexts(menu.get());
        for (const char* entry :
             {"Rename", "Duplicate", "Copy", "Paste", "Delete", "Add Child Behavior", "Move Up", "Move Down"})
            QVERIFY2(texts.contains(entry), entry);
        auto* add = menu->findChild<QMenu*>("menuAddChildBehavior");
        QVERIFY(add);
        QVERIFY(menuTexts(add).contains("Move to Joint Target")); // readable kind names
        // An action holds no children; an object can be set down and framed.
        s.selectBehavior("Close");
        menu.reset(editing(s)->makeContextMenu(s.tree()->itemForBehavior("Close"), nullptr));
        texts = menuTexts(menu.get());
        QVERIFY(!texts.contains("Add Child Behavior"));
        QVERIFY(texts.contains("Move Down"));
        s.select(s.workspace()->findRobot("Arm"));
        menu.reset(editing(s)->makeContextMenu(s.tree()->itemForObject(s.workspace()->findRobot("Arm")->id()),
                                               nullptr));
        texts = menuTexts(menu.get());
        QVERIFY(texts.contains("Rest on Surface Below"));
        QVERIFY(!texts.contains("Move Up"));
        // The Programs group adds programs.
        menu.reset(editing(s)->makeContextMenu(s.tree()->groupItem(KSProjectTree::Group::Programs), nullptr));
        QVERIFY(menuTexts(menu.get()).contains("Add Program"));
        QVERIFY(!menuTexts(menu.get()).contains("Rename"));
    }

    void renameInPlaceIsOneStepAndSaysWhenTheNameWasTaken() {
        Studio s;
        pickCell(s);
        LogCapture log;
        QTreeWidgetItem* item = s.tree()->itemForBehavior("Pick");
        item->setText(0, "Other"); // what the in-place editor does when the user presses Enter
        settle();
        QVERIFY(s.project()->findBehavior("Other 2"));
        QCOMPARE(s.undoName(), QString("Rename Behavior 'Pick' to 'Other 2'"));
        QVERIFY2(log.contains("info: The behavior name 'Other' is taken: named it 'Other 2'"),
                 qPrintable(log.lines().join('\n')));
        QCOMPARE(s.tree()->itemForBehavior("Other 2")->text(0), QString("Other 2"));
        // A name refused by the core library changes nothing and says why.
        s.tree()->itemForBehavior("Other 2")->setText(0, "   ");
        settle();
        QCOMPARE(s.failures.size(), 1);
        QVERIFY(s.project()->findBehavior("Other 2"));
        QCOMPARE(s.tree()->itemForBehavior("Other 2")->text(0), QString("Other 2"));
        s.handler().undo();
        QVERIFY(s.project()->findBehavior("Pick"));
    }

    void duplicateAndPasteAreOneStepEachAndSelectTheCopy() {
        Studio s;
        pickCell(s);
        LogCapture log;
        s.selectBehavior("Approach");
        editing(s)->duplicateSelection();
        kestrin::Behavior* pick = s.project()->findBehavior("Pick");
        QCOMPARE(childNames(pick), (QStringList{"Approach", "Approach 2", "Close", "Pause"}));
        QCOMPARE(s.undoName(), QString("Duplicate Behavior 'Approach 2'"));
        QCOMPARE(s.tree()->currentItem(), s.tree()->itemForBehavior("Approach 2"));
        QVERIFY(log.contains("info: Behavior 'Approach' was pasted as 'Approach 2'"));

        // Copy a program, paste it onto an action of another: it goes after that action.
        s.selectBehavior("Pick");
        editing(s)->copySelection();
        s.selectBehavior("Rest");
        editing(s)->paste();
        QCOMPARE(childNames(s.project()->findBehavior("Other")), (QStringList{"Rest", "Pick 2"}));
        QCOMPARE(childNames(s.project()->findBehavior("Pick 2")),
                 (QStringList{"Approach 3", "Approach 4", "Close 2", "Pause 2"}));
        QVERIFY(s.tree()->itemForBehavior("Pick 2")->isSelected());
        const int steps = s.project()->history().position();
        s.handler().undo();
        QCOMPARE(s.project()->history().position(), steps - 1);
        QVERIFY(!s.project()->findBehavior("Pick 2"));
        QVERIFY(!s.project()->findBehavior("Approach 3"));
    }

    void moveUpDownAndDropAreSavedAndUndone() {
        Studio s;
        pickCell(s);
        s.selectBehavior("Pause");
        s.window.findAction("actionMoveUp")->trigger();
        kestrin::Behavior* pick = s.project()->findBehavior("Pick");
        QCOMPARE(childNames(pick), (QStringList{"Approach", "Pause", "Close"}));
        QCOMPARE(s.undoName(), QString("Move Behavior 'Pause' Up"));
        QVERIFY(s.tree()->itemForBehavior("Pause")->isSelected());
        QCOMPARE(s.tree()->itemForBehavior("Pick")->child(1)->text(0), QString("Pause"));

        // Dropped into another program, before its first child.
        editing(s)->moveBehavior(s.project()->findBehavior("Close"), s.project()->findBehavior("Other"), 0);
        QCOMPARE(childNames(s.project()->findBehavior("Other")), (QStringList{"Close", "Rest"}));
        QVERIFY(s.project()->fileText().contains("\"Close\""));
        // Dropped onto an action: refused with a message, nothing moves.
        editing(s)->moveBehavior(s.project()->findBehavior("Approach"), s.project()->findBehavior("Rest"),
                                 -1);
        QCOMPARE(s.failures.size(), 1);
        QVERIFY2(s.failures.first().contains("'Rest' is an action"), qPrintable(s.failures.first()));
        QCOMPARE(childNames(pick), (QStringList{"Approach", "Pause"}));

        s.handler().undo();
        QCOMPARE(childNames(pick), (QStringList{"Approach", "Pause", "Close"}));
        s.handler().undo();
        QCOMPARE(childNames(pick), (QStringList{"Approach", "Close", "Pause"}));
    }

    void expansionAndSelectionSurviveUndoRedoRenameAndARun() {
        Studio s;
        pickCell(s);
        s.handler()._run_speed = 100;
        QTreeWidgetItem* pick = s.tree()->itemForBehavior("Pick");
        QTreeWidgetItem* other = s.tree()->itemForBehavior("Other");
        QVERIFY(pick->isExpanded());
        other->setExpanded(false); // folded by the user
        s.selectBehavior("Close");

        // A behavior added below the folded program unfolds it, so that it does not seem to vanish.
        s.selectBehavior("Other");
        DialogDriver::expect(DialogDriver::setText(KSSelectorDialog::NEW_NAME_KEY, "Later"));
        editing(s)->addChildBehavior(kestrin::Wait::staticType());
        QVERIFY(s.project()->findBehavior("Later"));
        QVERIFY(s.tree()->itemForBehavior("Later")->isSelected());
        QVERIFY(s.tree()->itemForBehavior("Other")->isExpanded());
        s.tree()->itemForBehavior("Other")->setExpanded(false);
        s.selectBehavior("Close");

        const auto check = [&](const char* when) {
            QVERIFY2(s.tree()->itemForBehavior("Pick")->isExpanded(), when);
            QVERIFY2(!s.tree()->itemForBehavior("Other")->isExpanded(), when);
            QTreeWidgetItem* close = s.tree()->itemForBehavior("Close");
            QVERIFY2(close && close->isSelected(), when);
            QCOMPARE(s.tree()->currentItem(), close);
        };
        s.handler().undo();
        settle();
        check("after undo");
        s.handler().redo();
        settle();
        check("after redo");
        DialogDriver::expect(DialogDriver::choose(KSSelectorDialog::EXECUTE_BEHAVIOR_KEY, "Pick"));
        s.handler().runLocalSimulator();
        settle();
        check("after a run");
        s.project()->findBehavior("Pick")->setName("Pick Up");
        s.project()->history().record("Rename");
        s.handler()._rebuildViewerAndTree();
        settle();
        QVERIFY(s.tree()->itemForBehavior("Pick Up")->isExpanded());
        QVERIFY(s.tree()->itemForBehavior("Close")->isSelected());
    }

    void findSelectsTheNextItemByName() {
        Studio s;
        pickCell(s);
        s.tree()->itemForBehavior("Pick")->setExpanded(false);
        s.window.findAction("actionFind")->trigger();
        auto* field = s.tree()->findChild<QLineEdit*>("treeFindField");
        QVERIFY(field && !field->isHidden());
        QTest::keyClicks(field, "CLO");
        QCOMPARE(s.tree()->currentItem(), s.tree()->itemForBehavior("Close"));
        QVERIFY(s.tree()->itemForBehavior("Pick")->isExpanded());
        // Next match wraps around; no match selects nothing new.
        QVERIFY(editing(s)->find("a"));
        const QTreeWidgetItem* first = s.tree()->currentItem();
        QVERIFY(editing(s)->find("a"));
        QVERIFY(s.tree()->currentItem() != first);
        QVERIFY(!editing(s)->find("no such name"));
    }

    void readableKindNamesInTheTreeAndPanelWhileTheFileKeepsTypeNames() {
        Studio s;
        auto* arm = new kestrin::UR5eRobot(s.workspace(), "Arm");
        auto* gripper = new kestrin::RobotiqGripper2F85(s.workspace(), "Hand");
        auto* program = new kestrin::Sequence(s.project(), "P");
        s.project()->addProgram(program);
        program->_addChild(new kestrin::MoveToJointTarget(s.project(), "Go"));
        s.sync();
        QCOMPARE(s.tree()->itemForObject(arm->id())->text(1), QString("UR5e"));
        QCOMPARE(s.tree()->itemForBehavior("Go")->text(1), QString("Move to Joint Target"));
        s.select(gripper);
        QCOMPARE(s.propertyPanel()->findChild<QLabel*>("propertyPanelTitle")->text(),
                 QString("Robotiq 2F-85"));
        const QByteArray text = s.project()->fileText();
        QVERIFY(text.contains("\"UR5eRobot\""));
        QVERIFY(text.contains("\"RobotiqGripper2F85\""));
        QVERIFY(text.contains("\"MoveToJointTarget\""));
    }

    void eachKindLandsInViewClearOfACrowdedCellAndIsSelected() {
        Studio s;
        s.window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&s.window));
        kestrin::Workspace* ws = s.workspace();
        // A crowded cell: robots, desks and boxes around the middle.
        for (int i = 0; i < 3; ++i) {
            (new kestrin::UR10eRobot(ws, "Big"))->setPose(kestrin::makePose({-1.5 + 1.5 * i, 1.5, 0}));
            (new kestrin::Desk(ws, "Bench"))->setPose(kestrin::makePose({-1.5 + 1.5 * i, 0, 0}));
            (new kestrin::CustomItem(ws, "Crate"))->setPose(kestrin::makePose({-1.5 + 1.5 * i, -1.0, 0.05}));
        }
        s.sync();
        s.handler().resetViewer();
        settle();
        const std::vector<
            std::pair<void (kestrin_app::content::KSContentHandler::*)(const QString&), QString>>
            adds = {
                {&kestrin_app::content::KSContentHandler::addRobot, "UR5eRobot"},
                {&kestrin_app::content::KSContentHandler::addRobot, "FrankaPandaRobot"},
                {&kestrin_app::content::KSContentHandler::addEffector, "RobotiqGripper2F85"},
                {&kestrin_app::content::KSContentHandler::addItem, "CustomItem"},
                {&kestrin_app::content::KSContentHandler::addItem, "Desk"},
                {&kestrin_app::content::KSContentHandler::addCamera, "RealsenseD435i"},
                {&kestrin_app::content::KSContentHandler::addFiducial, "VisualMarker"},
            };
        LogCapture log;
        auto checkPlaced = [&](const QString& name) {
            kestrin::WorkspaceObject* made = nullptr;
            for (kestrin::WorkspaceObject* o : ws->objects())
                if (o->name() == name)
                    made = o;
            QVERIFY2(made, qPrintable(name));
            QVERIFY2(s.viewer()->isInView(made->pose().translation()), qPrintable(name));
            QVERIFY2(s.tree()->currentItem() == s.tree()->itemForObject(made->id()), qPrintable(name));
            QVERIFY2(s.tree()->itemForObject(made->id())->isSelected(), qPrintable(name));
            bool said = false;
            for (const QString& line : log.lines())
                said = said || line.startsWith(QString("info: Placed '%1' on ").arg(name));
            QVERIFY2(said, qPrintable(log.lines().join('\n')));
            const kestrin::Footprint mine = kestrin::footprintAt(*made, made->pose().translation());
            const bool region = made->kind() == kestrin::ObjectKind::TaskRegion;
            for (const kestrin::WorkspaceObject* other : ws->objects()) {
                if (other == made || !other->occupiesFloor() ||
                    (other->kind() == kestrin::ObjectKind::TaskRegion) != region)
                    continue;
                const kestrin::Footprint theirs = kestrin::footprintAt(*other, other->pose().translation());
                const double bottom = made->pose().translation().z() - kestrin::baseHeight(*made);
                const double otherBottom = other->pose().translation().z() - kestrin::baseHeight(*other);
                const bool besideInHeight = bottom >= otherBottom + kestrin::standingHeight(*other) - 1e-6 ||
                                            otherBottom >= bottom + kestrin::standingHeight(*made) - 1e-6;
                QVERIFY2(besideInHeight || !mine.overlaps(theirs, 0),
                         qPrintable(QString("'%1' overlaps '%2'").arg(name, other->name())));
            }
        };
        int n = 0;
        for (const auto& [add, type] : adds) {
            const QString name = QString("New %1").arg(++n);
            s.tree()->clearSelection(); // a gripper added with a robot selected goes onto it
            DialogDriver::expect(DialogDriver::setText(KSSelectorDialog::NEW_NAME_KEY, name));
            (s.handler().*add)(type);
            settle();
            checkPlaced(name);
        }
        DialogDriver::expect(DialogDriver::setText(KSSelectorDialog::NEW_NAME_KEY, "New Region"));
        s.handler().addTaskRegion();
        settle();
        checkPlaced("New Region");
        QCOMPARE(s.failures, QStringList());
        // A name that was taken is said.
        DialogDriver::expect(DialogDriver::setText(KSSelectorDialog::NEW_NAME_KEY, "Bench"));
        s.handler().addItem("Desk");
        QVERIFY2(log.contains("info: The item name 'Bench' is taken: named it 'Bench 4'"),
                 qPrintable(log.lines().join('\n')));
    }

    void anObjectAddedWhileTheViewLooksAtADeskGoesOnItsTop() {
        Studio s;
        s.window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&s.window));
        auto* bench = new kestrin::Desk(s.workspace(), "Bench");
        bench->setPose(kestrin::makePose({4, 4, 0}));
        s.sync();
        s.viewer()->frameObject(bench->id());
        settle();
        LogCapture log;
        DialogDriver::expect(DialogDriver::setText(KSSelectorDialog::NEW_NAME_KEY, "Part"));
        s.handler().addItem("CustomItem");
        kestrin::WorkspaceObject* part = s.workspace()->find(kestrin::Category::Item, "Part");
        QVERIFY(part);
        QVERIFY(std::abs(part->pose().translation().z() - (0.75 + 0.05)) < 1e-9);
        QVERIFY(log.lines().join('\n').contains("info: Placed 'Part' on desk 'Bench' at "));
        QCOMPARE(s.undoName(), QString("Add Item 'Part'"));
        s.handler().undo();
        QVERIFY(!s.workspace()->find(kestrin::Category::Item, "Part"));
    }

    void aDragOfTheHandleMovesBySnappedStepsAndUndoesInOneStep() {
        Studio s;
        auto* box = new kestrin::CustomItem(s.workspace(), "Box");
        box->setPose(kestrin::makePose({0.5, 0, 0.05}));
        auto* arm = new kestrin::UR5eRobot(s.workspace(), "Arm");
        arm->setPose(kestrin::makePose({-1.5, 0, 0}));
        auto* tip = new kestrin::ToolFrame(s.workspace(), "Tip");
        arm->addToolFrame(tip);
        s.sync();
        s.window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&s.window));
        s.select(box);
        s.viewer()->frameObject(box->id());
        s.viewer()->render();
        settle();
        using Part = kestrin::WorkspaceViewer::HandlePart;
        QVERIFY(s.viewer()->isMoveHandleEnabled());

        // It is drawn: the x arrow is red where it says it is (over the box, which is not red).
        {
            QTemporaryDir dir;
            const QString file = dir.filePath("view.png");
            s.viewer()->screenshot(file);
            const QImage image(file);
            auto* view = s.viewer()->findChild<QWidget*>("workspaceViewerRenderWidget");
            const QPoint at = view->mapFrom(s.viewer(), s.viewer()->moveHandlePoint(Part::MoveX)) *
                              view->devicePixelRatioF();
            bool red = false;
            for (int dx = -2; dx <= 2; ++dx)
                for (int dy = -2; dy <= 2; ++dy) {
                    const QColor c = image.pixelColor(at + QPoint(dx, dy));
                    red = red || (c.red() > 150 && c.green() < 100 && c.blue() < 100);
                }
            QVERIFY2(red, qPrintable(QString("no red at %1, %2").arg(at.x()).arg(at.y())));
        }

        // Through the handle's own calls: 12.3 cm with Shift is 12 cm; 11.5 degrees is 10.
        QVERIFY(s.viewer()->dragMoveHandle(Part::MoveX, 0.123, true));
        QVERIFY((box->pose().translation() - Eigen::Vector3d(0.62, 0, 0.05)).norm() < 1e-9);
        QCOMPARE(s.undoName(), QString("Move 'Box'"));
        QVERIFY(s.viewer()->dragMoveHandle(Part::TurnZ, 11.5 * M_PI / 180, true));
        const Eigen::Matrix3d turned = box->pose().linear();
        QVERIFY(std::abs(std::atan2(turned(1, 0), turned(0, 0)) - 10 * M_PI / 180) < 1e-9);
        QCOMPARE(s.undoName(), QString("Turn 'Box'"));
        QCOMPARE(s.project()->history().position(), 2);
        s.handler().undo();
        QVERIFY(box->pose().linear().isApprox(Eigen::Matrix3d::Identity(), 1e-12));
        s.handler().undo();
        QVERIFY((box->pose().translation() - Eigen::Vector3d(0.5, 0, 0.05)).norm() < 1e-9);
        QVERIFY(!s.project()->history().canUndo());

        // With the mouse, Shift held: press on the x arrow, drag, let go.
        s.viewer()->render();
        settle();
        auto* view = s.viewer()->findChild<QWidget*>("workspaceViewerRenderWidget");
        QVERIFY(view);
        const QPoint start = view->mapFrom(s.viewer(), s.viewer()->moveHandlePoint(Part::MoveX));
        QVERIFY(!start.isNull());
        const double cameraBefore = s.viewer()->_getRenderer()->GetActiveCamera()->GetPosition()[0];
        QMouseEvent press(QEvent::MouseButtonPress, start, Qt::LeftButton, Qt::LeftButton, Qt::ShiftModifier);
        QApplication::sendEvent(view, &press);
        // Sideways on screen: the box follows as far as that goes along x.
        const QPoint along = start + QPoint(60, 0);
        for (int i = 1; i <= 4; ++i) {
            QMouseEvent move(QEvent::MouseMove, start + (along - start) * i / 4, Qt::NoButton, Qt::LeftButton,
                             Qt::ShiftModifier);
            QApplication::sendEvent(view, &move);
        }
        QMouseEvent release(QEvent::MouseButtonRelease, along, Qt::LeftButton, Qt::NoButton,
                            Qt::ShiftModifier);
        QApplication::sendEvent(view, &release);
        settle();
        const double moved = box->pose().translation().x() - 0.5;
        QVERIFY2(std::abs(moved) >= 0.01 - 1e-9, qPrintable(QString::number(moved)));
        QVERIFY2(std::abs(moved / 0.01 - std::round(moved / 0.01)) < 1e-6,
                 qPrintable(QString::number(moved)));
        QVERIFY(std::abs(box->pose().translation().y()) < 1e-9);
        QCOMPARE(s.undoName(), QString("Move 'Box'"));
        QCOMPARE(s.project()->history().position(), 1);
        // The camera did not turn with the drag.
        QCOMPARE(s.viewer()->_getRenderer()->GetActiveCamera()->GetPosition()[0], cameraBefore);

        // A tool frame moves with its robot: no handle.
        s.select(tip);
        QVERIFY(!s.viewer()->dragMoveHandle(Part::MoveX, 0.1, false));
        QVERIFY(s.viewer()->moveHandlePoint(Part::MoveX).isNull());
    }

    void ctrlZInAFocusedSpinBoxUndoesTheProjectChange() {
        Studio s;
        auto* box = new kestrin::CustomItem(s.workspace(), "Box");
        box->setPose(kestrin::makePose({0.5, 0, 0.05}));
        s.sync();
        s.window.show();
        s.window.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&s.window));
        s.select(box);
        auto* x = s.editor<QDoubleSpinBox>("propertyPanelX");
        x->setFocus();
        x->selectAll();
        QTest::keyClicks(x, "1.25");
        // Not committed yet: the project still has the old value.
        QVERIFY(std::abs(box->pose().translation().x() - 0.5) < 1e-9);
        QTest::keyClick(x, Qt::Key_Z, Qt::ControlModifier);
        settle();
        // The typed value was made a step of its own, and that step was taken back.
        QVERIFY(std::abs(box->pose().translation().x() - 0.5) < 1e-9);
        QVERIFY(s.project()->history().canRedo());
        QCOMPARE(s.project()->history().redoName(), QString("Edit Pose of 'Box'"));
        QVERIFY(std::abs(x->value() - 0.5) < 1e-9);
        // Ctrl+Y (and Ctrl+Shift+Z) bring it back, with the field still focused.
        QTest::keyClick(x, Qt::Key_Y, Qt::ControlModifier);
        settle();
        QVERIFY(std::abs(box->pose().translation().x() - 1.25) < 1e-9);
        QTest::keyClick(x, Qt::Key_Z, Qt::ControlModifier);
        settle();
        QTest::keyClick(x, Qt::Key_Z, Qt::ControlModifier | Qt::ShiftModifier);
        settle();
        QVERIFY(std::abs(box->pose().translation().x() - 1.25) < 1e-9);
        // Nothing pending: Ctrl+Z takes back the last step only.
        QTest::keyClick(x, Qt::Key_Z, Qt::ControlModifier);
        settle();
        QVERIFY(std::abs(box->pose().translation().x() - 0.5) < 1e-9);
        QVERIFY(!s.project()->history().canUndo());
    }
};

KESTRIN_GUI_TEST_MAIN(TestEditingStudio)
#include "test_editing_studio.moc"
