// The project tree: objects grouped by kind with tool frames under their robots, programs as
// behavior trees, variables; refills that keep expansion and selection, and changes, undo and
// loads that touch only the items concerned.

#include "test_main.h"

#include <kestrin/kestrin.h>
#include <kestrin_app/container.h>
#include <kestrin_app/editor/tree.h>

#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTreeWidgetItemIterator>
#include <memory>

using Group = KSProjectTree::Group;

namespace {

QStringList childTexts(const QTreeWidgetItem* parent, int column = 0) {
    QStringList texts;
    for (int i = 0; i < parent->childCount(); ++i)
        texts << parent->child(i)->text(column);
    return texts;
}

QTreeWidgetItem* childNamed(const QTreeWidgetItem* parent, const QString& text) {
    for (int i = 0; i < parent->childCount(); ++i)
        if (parent->child(i)->text(0) == text)
            return parent->child(i);
    return nullptr;
}

QSet<QTreeWidgetItem*> allItems(QTreeWidget& tree) {
    QSet<QTreeWidgetItem*> items;
    for (QTreeWidgetItemIterator it(&tree); *it; ++it)
        items.insert(*it);
    return items;
}

int countNamed(QTreeWidget& tree, const QString& text) {
    int n = 0;
    for (QTreeWidgetItemIterator it(&tree); *it; ++it)
        n += (*it)->text(0) == text;
    return n;
}

Eigen::VectorXd filled(int n, double value) {
    return Eigen::VectorXd::Constant(n, value);
}
} // namespace

class TreeTest : public QObject {
    Q_OBJECT

    std::unique_ptr<KSProjectContainer> container;
    std::unique_ptr<KSProjectTree> tree;
    kestrin::Project* project() { return container->project(); }
    kestrin::Workspace* ws() { return container->project()->workspace(); }
    QTreeWidgetItem* group(Group g) { return tree->groupItem(g); }

private slots:
    void init() {
        container = std::make_unique<KSProjectContainer>();
        tree = std::make_unique<KSProjectTree>(container.get());
    }
    void cleanup() {
        tree.reset();
        container.reset();
    }

    void groupsObjectsByKindWithToolFramesUnderTheirRobot() {
        auto* arm = new kestrin::UR5eRobot(ws(), "Arm");
        arm->addToolFrame(new kestrin::ToolFrame(ws(), "Tip"));
        new kestrin::FrankaPandaRobot(ws(), "Panda");
        arm->addToolFrame(new kestrin::ToolFrame(ws(), "Flange"));
        (new kestrin::RobotiqGripper2F85(ws(), "Grip"))->mountOn(arm);
        new kestrin::Desk(ws(), "Table");
        auto* box = new kestrin::CustomItem(ws(), "Box");
        new kestrin::TaskRegion(ws(), "Zone");
        new kestrin::RealsenseD435i(ws(), "Cam");
        new kestrin::VisualMarker(ws(), "Tag");
        new kestrin::ToolFrame(ws(), "Loose"); // on no robot: not part of the cell
        tree->updateProjectTreeContent();

        QCOMPARE(tree->topLevelItemCount(), KSProjectTree::kGroupCount);
        QStringList groups;
        for (int i = 0; i < tree->topLevelItemCount(); ++i)
            groups << tree->topLevelItem(i)->text(0);
        QCOMPARE(groups, (QStringList{"Robots", "Effectors", "Items", "Task Regions", "Cameras", "Fiducials",
                                      "Programs", "Variables"}));
        QCOMPARE(childTexts(group(Group::Robots)), (QStringList{"Arm", "Panda"}));
        QCOMPARE(childTexts(group(Group::Robots), 1), (QStringList{"UR5e", "Franka Panda"}));
        QTreeWidgetItem* armItem = childNamed(group(Group::Robots), "Arm");
        QCOMPARE(childTexts(armItem), (QStringList{"Tip", "Flange"}));
        QCOMPARE(childTexts(armItem, 1), (QStringList{"Tool Frame", "Tool Frame"}));
        QCOMPARE(childTexts(group(Group::Effectors)), QStringList{"Grip"});
        QCOMPARE(childTexts(group(Group::Items)), (QStringList{"Table", "Box"}));
        QCOMPARE(childTexts(group(Group::TaskRegions)), QStringList{"Zone"});
        QCOMPARE(childTexts(group(Group::Cameras), 1), QStringList{"RealSense D435i"});
        QCOMPARE(childTexts(group(Group::Fiducials)), QStringList{"Tag"});
        QCOMPARE(countNamed(*tree, "Loose"), 0);

        // Each item leads back to its object.
        QCOMPARE(tree->objectAt(childNamed(group(Group::Items), "Box")), box);
        QCOMPARE(tree->objectAt(armItem->child(0)), ws()->getToolFrame("Tip"));
        QCOMPARE(tree->objectAt(group(Group::Items)), nullptr);
    }

    void showsProgramsAsBehaviorTreesAndVariables() {
        auto* main = new kestrin::Sequence(project(), "Main");
        project()->addProgram(main);
        auto* inner = new kestrin::Sequence(project(), "Inner");
        main->_addChild(inner);
        inner->_addChild(new kestrin::Wait(project(), "Pause"));
        main->_addChild(new kestrin::MoveToJointTarget(project(), "Move"));
        project()->addProgram(new kestrin::Sequence(project(), "Other"));
        new kestrin::Wait(project(), "Detached"); // in no program: not listed
        auto* limits = new kestrin::MotionLimits(project(), "Limits", filled(6, 1.0), filled(6, 2.0));
        new kestrin::JointPositionTarget(project(), "Home",
                                         kestrin::Distribution::CreateFromTypename("Deterministic", 6));
        tree->updateProjectTreeContent();

        QCOMPARE(childTexts(group(Group::Programs)), (QStringList{"Main", "Other"}));
        QTreeWidgetItem* mainItem = childNamed(group(Group::Programs), "Main");
        QCOMPARE(childTexts(mainItem), (QStringList{"Inner", "Move"}));
        QCOMPARE(childTexts(mainItem, 1), (QStringList{"Sequence", "Move to Joint Target"}));
        QCOMPARE(childTexts(childNamed(mainItem, "Inner")), QStringList{"Pause"});
        QCOMPARE(countNamed(*tree, "Detached"), 0);
        QCOMPARE(childTexts(group(Group::Variables)), (QStringList{"Limits", "Home"}));
        QCOMPARE(childTexts(group(Group::Variables), 1),
                 (QStringList{"Motion Limits", "Joint Position Target"}));

        QCOMPARE(tree->behaviorAt(childNamed(mainItem, "Inner")), inner);
        QCOMPARE(tree->variableAt(group(Group::Variables)->child(0)), limits);
        QCOMPARE(tree->behaviorAt(group(Group::Variables)->child(0)), nullptr);
    }

    void refillKeepsExpansionAndSelection() {
        auto* arm = new kestrin::UR5eRobot(ws(), "Arm");
        auto* tip = new kestrin::ToolFrame(ws(), "Tip");
        arm->addToolFrame(tip);
        auto* panda = new kestrin::FrankaPandaRobot(ws(), "Panda");
        new kestrin::Desk(ws(), "Table");
        auto* box = new kestrin::CustomItem(ws(), "Box");
        auto* main = new kestrin::Sequence(project(), "Main");
        project()->addProgram(main);
        auto* other = new kestrin::Sequence(project(), "Other");
        project()->addProgram(other);
        auto* inner = new kestrin::Sequence(project(), "Inner");
        main->_addChild(inner);
        auto* sub = new kestrin::Sequence(project(), "Sub");
        inner->_addChild(sub);
        sub->_addChild(new kestrin::Wait(project(), "Pause"));
        tree->updateProjectTreeContent();

        group(Group::Items)->setExpanded(false);
        tree->itemForObject(arm->id())->setExpanded(false);
        tree->itemForBehavior("Inner")->setExpanded(true);
        tree->itemForBehavior("Sub")->setExpanded(false);
        tree->setCurrentItem(tree->itemForObject(tip->id()));
        QVERIFY(tree->itemForObject(tip->id())->isSelected());

        // Moves take items out of the tree and put them back elsewhere; a rename and a removal
        // force a comparison of the whole cell.
        panda->addToolFrame(tip);
        main->_removeChild(inner);
        other->_addChild(inner);
        box->setName("Crate");
        ws()->remove(ws()->find(kestrin::Category::Item, "Table"));
        new kestrin::CustomItem(ws(), "Bin");
        tree->updateProjectTreeContent();

        QTreeWidgetItem* tipItem = tree->itemForObject(tip->id());
        QCOMPARE(tipItem->parent(), tree->itemForObject(panda->id()));
        QVERIFY(tipItem->isSelected());
        QCOMPARE(tree->currentItem(), tipItem);
        QCOMPARE(tree->selectedItems().size(), 1);
        QVERIFY(!group(Group::Items)->isExpanded());
        QCOMPARE(childTexts(group(Group::Items)), (QStringList{"Crate", "Bin"}));
        QVERIFY(!tree->itemForObject(arm->id())->isExpanded());
        QVERIFY(group(Group::Robots)->isExpanded());
        QTreeWidgetItem* innerItem = tree->itemForBehavior("Inner");
        QCOMPARE(innerItem->parent(), tree->itemForBehavior("Other"));
        QVERIFY(innerItem->isExpanded());
        QVERIFY(!tree->itemForBehavior("Sub")->isExpanded());
        QCOMPARE(childTexts(tree->itemForBehavior("Sub")), QStringList{"Pause"});
    }

    void changesTouchOnlyTheItemsConcerned() {
        for (int i = 0; i < 200; ++i)
            new kestrin::CustomItem(ws(), QStringLiteral("Part %1").arg(i));
        auto* arm = new kestrin::UR10eRobot(ws(), "Arm");
        arm->addToolFrame(new kestrin::ToolFrame(ws(), "Tip"));
        tree->updateProjectTreeContent();
        QSignalSpy inserted(tree->model(), &QAbstractItemModel::rowsInserted);
        QSignalSpy removed(tree->model(), &QAbstractItemModel::rowsRemoved);

        // One addition: one row more, every other item kept.
        QSet<QTreeWidgetItem*> before = allItems(*tree);
        new kestrin::CustomItem(ws(), "Extra");
        tree->updateProjectTreeContent();
        QSet<QTreeWidgetItem*> after = allItems(*tree);
        QCOMPARE(after.size(), before.size() + 1);
        QVERIFY(after.contains(before));
        QCOMPARE(group(Group::Items)->child(group(Group::Items)->childCount() - 1)->text(0),
                 QString("Extra"));
        QCOMPARE(inserted.count(), 1);
        QCOMPARE(removed.count(), 0);

        // A new tool frame lands under its robot, again as the only new row.
        inserted.clear();
        before = after;
        arm->addToolFrame(new kestrin::ToolFrame(ws(), "Second"));
        tree->updateProjectTreeContent();
        QCOMPARE(childTexts(tree->itemForObject(arm->id())), (QStringList{"Tip", "Second"}));
        QCOMPARE(allItems(*tree).size(), before.size() + 1);
        QCOMPARE(inserted.count(), 1);
        QCOMPARE(removed.count(), 0);

        // A rename changes the text only.
        inserted.clear();
        before = allItems(*tree);
        ws()->find(kestrin::Category::Item, "Part 7")->setName("Gear");
        tree->updateProjectTreeContent();
        QCOMPARE(allItems(*tree), before);
        QCOMPARE(group(Group::Items)->child(7)->text(0), QString("Gear"));
        QCOMPARE(inserted.count(), 0);
        QCOMPARE(removed.count(), 0);

        // Removing a robot drops its item and its tool frames' items, nothing else.
        const quint64 armId = arm->id();
        ws()->remove(arm);
        tree->updateProjectTreeContent();
        QCOMPARE(allItems(*tree).size(), before.size() - 3);
        QCOMPARE(tree->itemForObject(armId), nullptr);
        QCOMPARE(countNamed(*tree, "Tip"), 0);
        QCOMPARE(inserted.count(), 0);

        // Nothing changed: nothing happens.
        removed.clear();
        tree->updateProjectTreeContent();
        QCOMPARE(inserted.count() + removed.count(), 0);
    }

    void undoAndRedoTouchOnlyTheItemsConcerned() {
        for (int i = 0; i < 300; ++i)
            new kestrin::CustomItem(ws(), QStringLiteral("Part %1").arg(i));
        auto* arm = new kestrin::UR10eRobot(ws(), "Arm");
        arm->addToolFrame(new kestrin::ToolFrame(ws(), "Tip"));
        project()->history().reset();
        tree->updateProjectTreeContent();
        kestrin::WorkspaceObject* part = ws()->find(kestrin::Category::Item, "Part 150");
        const quint64 partId = part->id();
        ws()->remove(part);
        QVERIFY(project()->history().record("Delete"));
        ws()->find(kestrin::Category::Item, "Part 7")->setName("Gear");
        QVERIFY(project()->history().record("Rename"));
        tree->updateProjectTreeContent();
        QSignalSpy inserted(tree->model(), &QAbstractItemModel::rowsInserted);
        QSignalSpy removed(tree->model(), &QAbstractItemModel::rowsRemoved);
        const QSet<QTreeWidgetItem*> before = allItems(*tree);

        // A rename taken back: the same items, one text changed.
        project()->history().undo();
        tree->updateProjectTreeContent();
        QCOMPARE(allItems(*tree), before);
        QCOMPARE(group(Group::Items)->child(7)->text(0), QString("Part 7"));
        // A deletion taken back: one row, in its place, every other item kept.
        project()->history().undo();
        tree->updateProjectTreeContent();
        const QSet<QTreeWidgetItem*> after = allItems(*tree);
        QCOMPARE(after.size(), before.size() + 1);
        QVERIFY(after.contains(before));
        QCOMPARE(group(Group::Items)->child(150), tree->itemForObject(partId));
        QCOMPARE(group(Group::Items)->child(150)->text(0), QString("Part 150"));
        QCOMPARE(inserted.count(), 1);
        QCOMPARE(removed.count(), 0);
        project()->history().redo();
        tree->updateProjectTreeContent();
        QCOMPARE(allItems(*tree), before);
        QCOMPARE(removed.count(), 1);
    }

    void followsTheContainerToANewProject() {
        new kestrin::UR3eRobot(ws(), "Old Arm");
        project()->addProgram(new kestrin::Sequence(project(), "Old Program"));
        tree->updateProjectTreeContent();

        container->newProject();
        for (int g = 0; g < KSProjectTree::kGroupCount; ++g)
            QCOMPARE(tree->topLevelItem(g)->childCount(), 0);

        // The new project numbers its objects from the start again.
        new kestrin::UR3eRobot(ws(), "New Arm");
        tree->updateProjectTreeContent();
        QCOMPARE(childTexts(group(Group::Robots)), QStringList{"New Arm"});
        QCOMPARE(tree->objectAt(group(Group::Robots)->child(0)), ws()->getRobot("New Arm"));
    }

    void showsWhatALoadPutIntoTheProject() {
        QTemporaryDir dir;
        const QString file = dir.filePath("cell.kestrin");
        {
            kestrin::Project other;
            new kestrin::UR5eRobot(other.workspace(), "Loaded Arm");
            new kestrin::Desk(other.workspace(), "Loaded Table");
            new kestrin::CustomItem(other.workspace(), "Loaded Box");
            other.save(file);
        }
        // The same ids now stand for other objects, even of other kinds; the renames leave the
        // revision counts such that the load looks like one addition.
        auto* table = new kestrin::Desk(ws(), "Table");
        new kestrin::UR5eRobot(ws(), "Arm");
        table->setName("Bench");
        table->setName("Table");
        tree->updateProjectTreeContent();

        project()->load(file);
        tree->updateProjectTreeContent();
        QCOMPARE(childTexts(group(Group::Robots)), QStringList{"Loaded Arm"});
        QCOMPARE(childTexts(group(Group::Items)), (QStringList{"Loaded Table", "Loaded Box"}));
        QCOMPARE(tree->objectAt(group(Group::Robots)->child(0)), ws()->getRobot("Loaded Arm"));
    }
};

KESTRIN_GUI_TEST_MAIN(TreeTest)

#include "test_tree.moc"
