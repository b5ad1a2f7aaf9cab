// Adding work-cell content, behaviors and variables through the content handler.

#include "handler_fixture.h"
#include "test_main.h"

#include <QCheckBox>
#include <QComboBox>
#include <QJsonDocument>
#include <QLabel>
#include <QSpinBox>
#include <QTemporaryDir>

using namespace kestrin_app::content;
using testing::DialogDriver;
using testing::HandlerFixture;
using K = KSSelectorDialog;

namespace {

using Add = std::function<void(KSContentHandler&)>;

struct AddCase {
    const char* label;
    Add add;
    const kestrin::Type* type;
    QString defaultName;
};

QList<AddCase> namedAdds() {
    auto h = [](void (KSContentHandler::*op)(const QString&), QString typeName) -> Add {
        return [op, typeName](KSContentHandler& handler) { (handler.*op)(typeName); };
    };
    return {
        {"robot panda", h(&KSContentHandler::addRobot, "FrankaPandaRobot"),
         &kestrin::FrankaPandaRobot::staticType(), "My Robot"},
        {"robot ur3e", h(&KSContentHandler::addRobot, "UR3eRobot"), &kestrin::UR3eRobot::staticType(),
         "My Robot"},
        {"robot ur5e", h(&KSContentHandler::addRobot, "UR5eRobot"), &kestrin::UR5eRobot::staticType(),
         "My Robot"},
        {"robot ur10e", h(&KSContentHandler::addRobot, "UR10eRobot"), &kestrin::UR10eRobot::staticType(),
         "My Robot"},
        {"effector robotiq", h(&KSContentHandler::addEffector, "RobotiqGripper2F85"),
         &kestrin::RobotiqGripper2F85::staticType(), "My Effector"},
        {"effector hand", h(&KSContentHandler::addEffector, "FrankaHand"), &kestrin::FrankaHand::staticType(),
         "My Effector"},
        {"item custom", h(&KSContentHandler::addItem, "CustomItem"), &kestrin::CustomItem::staticType(),
         "My Item"},
        {"item desk", h(&KSContentHandler::addItem, "Desk"), &kestrin::Desk::staticType(), "My Item"},
        {"camera d435i", h(&KSContentHandler::addCamera, "RealsenseD435i"),
         &kestrin::RealsenseD435i::staticType(), "My Camera"},
        {"camera d405", h(&KSContentHandler::addCamera, "RealsenseD405"),
         &kestrin::RealsenseD405::staticType(), "My Camera"},
        {"fiducial", h(&KSContentHandler::addFiducial, "VisualMarker"), &kestrin::VisualMarker::staticType(),
         "My Fiducial"},
        {"task region", [](KSContentHandler& x) { x.addTaskRegion(); }, &kestrin::TaskRegion::staticType(),
         "My Task Region"},
    };
}

/// Type names that differ from a table row only slightly: nothing is made, but all is rebuilt.
QList<std::pair<const char*, Add>> nearMisses() {
    return {
        {"robot lower case", [](KSContentHandler& h) { h.addRobot("ur5erobot"); }},
        {"effector empty", [](KSContentHandler& h) { h.addEffector(""); }},
        {"item lower case", [](KSContentHandler& h) { h.addItem("desk"); }},
        {"camera truncated", [](KSContentHandler& h) { h.addCamera("RealsenseD40"); }},
        {"fiducial empty", [](KSContentHandler& h) { h.addFiducial(""); }},
    };
}

void twoRobots(kestrin::Project* p) {
    new kestrin::UR5eRobot(p->workspace(), "First");
    new kestrin::FrankaPandaRobot(p->workspace(), "Second");
}

} // namespace

class HandlerContentTest : public QObject {
    Q_OBJECT
private slots:
    void init() { DialogDriver::reset(); }
    void cleanup() { QCOMPARE(DialogDriver::closedBySafety(), 0); }

    void acceptingCreatesTheTypeWithTheDefaultNameAndShowsIt_data() {
        QTest::addColumn<int>("index");
        for (int i = 0; i < namedAdds().size(); ++i)
            QTest::newRow(namedAdds()[i].label) << i;
    }
    void acceptingCreatesTheTypeWithTheDefaultNameAndShowsIt() {
        QFETCH(int, index);
        const AddCase c = namedAdds()[index];
        HandlerFixture f;
        f.handler->_lock(); // adding is never refused by the lock
        DialogDriver::expect(DialogDriver::accept());
        c.add(*f.handler);
        const auto objects = f.workspace()->objects();
        QCOMPARE(int(objects.size()), 1);
        QVERIFY(objects[0]->type() == *c.type);
        QCOMPARE(objects[0]->name(), c.defaultName);
        QCOMPARE(f.sceneItems(), 1);
        QVERIFY(f.treeNames().contains(c.defaultName));
        QVERIFY(f.failures.isEmpty());
    }

    void typedNameIsUsedAndTakenNamesAreMadeUnique() {
        HandlerFixture f;
        DialogDriver::expect(DialogDriver::setText(K::NEW_NAME_KEY, "Welder"));
        f.handler->addRobot("UR10eRobot");
        DialogDriver::expect(DialogDriver::setText(K::NEW_NAME_KEY, "Welder"));
        f.handler->addRobot("UR3eRobot");
        QCOMPARE(f.workspace()->getRobots(), (QStringList{"Welder", "Welder 2"}));
        QCOMPARE(f.treeNames().filter("Welder").size(), 2);
    }

    void blankNameIsRefusedWithAMessage() {
        HandlerFixture f;
        DialogDriver::expect(DialogDriver::setText(K::NEW_NAME_KEY, "   "));
        f.handler->addItem("Desk");
        QCOMPARE(f.workspace()->objectCount(), 0);
        QCOMPARE(f.failures.size(), 1);
        QVERIFY(f.failures.first().contains("name"));
    }

    void cancelChangesAndRebuildsNothing() {
        HandlerFixture f;
        // An object added behind the handler's back shows only once something rebuilds.
        new kestrin::Desk(f.workspace(), "Sneaked in");
        for (const AddCase& c : namedAdds()) {
            DialogDriver::expect(DialogDriver::reject());
            c.add(*f.handler);
        }
        DialogDriver::expect(DialogDriver::reject());
        f.handler->addToolFrame();
        DialogDriver::expect(DialogDriver::reject());
        f.handler->addBehavior(kestrin::Sequence::staticType());
        DialogDriver::expect(DialogDriver::reject());
        f.handler->addVariable(kestrin::MixtureTarget::staticType());
        QCOMPARE(f.workspace()->objectCount(), 1);
        QCOMPARE(f.sceneItems(), 0);
        QVERIFY(!f.treeNames().contains("Sneaked in"));
        QVERIFY(f.project()->programList().empty());
        QVERIFY(f.project()->variableList().empty());
    }

    void unknownTypeNameCreatesNothingButRebuilds_data() {
        QTest::addColumn<int>("index");
        for (int i = 0; i < nearMisses().size(); ++i)
            QTest::newRow(nearMisses()[i].first) << i;
    }
    void unknownTypeNameCreatesNothingButRebuilds() {
        QFETCH(int, index);
        HandlerFixture f;
        new kestrin::Desk(f.workspace(), "Sneaked in");
        DialogDriver::expect(DialogDriver::accept());
        nearMisses()[index].second(*f.handler);
        QCOMPARE(f.workspace()->objectCount(), 1);
        QCOMPARE(f.sceneItems(), 1);
        QVERIFY(f.treeNames().contains("Sneaked in"));
        QVERIFY(f.failures.isEmpty());
    }

    void toolFrameGoesOnTheChosenRobot() {
        HandlerFixture f(twoRobots);
        DialogDriver::expect(DialogDriver::choose(K::EXISTING_ROBOT_KEY, "Second"));
        f.handler->addToolFrame();
        QCOMPARE(f.workspace()->getRobot("Second")->getToolFrames(), QStringList{"My Tool Frame"});
        QVERIFY(f.workspace()->getRobot("First")->getToolFrames().isEmpty());
        QTreeWidgetItem* robotItem = f.tree->itemForObject(f.workspace()->getRobot("Second")->id());
        QVERIFY(robotItem && robotItem->childCount() == 1);
        QCOMPARE(robotItem->child(0)->text(0), QString("My Tool Frame"));
        QCOMPARE(f.sceneItems(), 3);

        DialogDriver::expect(DialogDriver::accept()); // the first robot, as offered
        f.handler->addToolFrame();
        QCOMPARE(f.workspace()->getRobot("First")->getToolFrames(), QStringList{"My Tool Frame 2"});
    }

    void toolFrameWithoutRobotFailsAndLeavesNothingBehind() {
        QTemporaryDir dir;
        HandlerFixture f;
        DialogDriver::expect(DialogDriver::accept());
        f.handler->addToolFrame();
        QCOMPARE(f.failures.size(), 1);
        QVERIFY(f.failures.first().contains("robot"));
        QCOMPARE(f.workspace()->objectCount(), 0);
        QCOMPARE(f.sceneItems(), 0);
        f.project()->save(dir.filePath("p.kestrin"));
        QVERIFY(!readAll(dir.filePath("p.kestrin")).contains("My Tool Frame"));
        // The name is free again.
        new kestrin::UR3eRobot(f.workspace(), "R");
        DialogDriver::expect(DialogDriver::accept());
        f.handler->addToolFrame();
        QCOMPARE(f.workspace()->getToolFrames(), QStringList{"My Tool Frame"});
    }

    // --- Behaviors -----------------------------------------------------------------------------

    void behaviorWithoutParentBecomesAProgram() {
        HandlerFixture f;
        DialogDriver::expect(DialogDriver::accept());
        f.handler->addBehavior(kestrin::Sequence::staticType());
        QCOMPARE(f.project()->programs().keys(), QStringList{"My Behavior"});
        QVERIFY(f.project()->programs().value("My Behavior")->parent() == nullptr);
        QVERIFY(f.treeNames().contains("My Behavior"));
    }

    void behaviorWithParentIsAChildNotAProgram() {
        HandlerFixture f([](kestrin::Project* p) {
            auto* main = new kestrin::Sequence(p, "Main");
            p->addProgram(main);
            main->_addChild(new kestrin::Sequence(p, "Inner"));
            main->_addChild(new kestrin::Wait(p, "Pause"));
        });
        QStringList offered;
        auto look = [&offered](QWidget* d) {
            auto* combo = d->findChild<QComboBox*>(K::PARENT_BEHAVIOR_KEY);
            for (int i = 0; i < combo->count(); ++i)
                offered << combo->itemText(i);
        };
        DialogDriver::expect(DialogDriver::sequence(
            {look, DialogDriver::setText(K::NEW_NAME_KEY, "Grasp",
                                         DialogDriver::choose(K::PARENT_BEHAVIOR_KEY, "Inner"))}));
        f.handler->addBehavior(kestrin::MoveToJointTarget::staticType());
        QCOMPARE(offered, (QStringList{"", "Inner", "Main"})); // actions are never offered as parents
        kestrin::Behavior* inner = f.project()->findBehavior("Inner");
        QCOMPARE(int(inner->children().size()), 1);
        QCOMPARE(inner->children()[0]->name(), QString("Grasp"));
        QCOMPARE(f.project()->programs().keys(), QStringList{"Main"});
        QVERIFY(f.tree->itemForBehavior("Grasp"));
    }

    void parentThatVanishedFailsAndAttachesNothing() {
        QTemporaryDir dir;
        HandlerFixture f([](kestrin::Project* p) { p->addProgram(new kestrin::Sequence(p, "Main")); });
        auto removeParentThenAccept = [&f](QWidget* d) {
            f.project()->removeBehavior(f.project()->findBehavior("Main"));
            DialogDriver::choose(K::PARENT_BEHAVIOR_KEY, "Main")(d);
        };
        DialogDriver::expect(removeParentThenAccept);
        f.handler->addBehavior(kestrin::Sequence::staticType());
        QCOMPARE(f.failures.size(), 1);
        QVERIFY(f.failures.first().contains("Main"));
        QVERIFY(f.project()->behaviors().isEmpty());
        f.project()->save(dir.filePath("p.kestrin"));
        QVERIFY(!readAll(dir.filePath("p.kestrin")).contains("My Behavior"));
    }

    void nonBehaviorTypeFailsClearly() {
        HandlerFixture f;
        DialogDriver::expect(DialogDriver::accept());
        f.handler->addBehavior(kestrin::MotionLimits::staticType());
        QCOMPARE(f.failures.size(), 1);
        QVERIFY(f.failures.first().contains("MotionLimits"));
        QVERIFY(f.project()->behaviors().isEmpty());
    }

    // --- Variables -----------------------------------------------------------------------------

    void motionLimitsGetOnesPerJointOfTheChosenRobot() {
        HandlerFixture f(twoRobots);
        DialogDriver::expect(DialogDriver::accept());
        f.handler->addVariable(kestrin::MotionLimits::staticType());
        DialogDriver::expect(DialogDriver::choose(K::EXISTING_ROBOT_KEY, "Second"));
        f.handler->addVariable(kestrin::MotionLimits::staticType());
        auto* six = dynamic_cast<kestrin::MotionLimits*>(f.project()->findVariable("My Variable"));
        auto* seven = dynamic_cast<kestrin::MotionLimits*>(f.project()->findVariable("My Variable 2"));
        QVERIFY(six && seven);
        QVERIFY(six->jointVelocity() == Eigen::VectorXd::Ones(6));
        QVERIFY(six->jointAcceleration() == Eigen::VectorXd::Ones(6));
        QVERIFY(six->jointVelocity().data() != six->jointAcceleration().data());
        QVERIFY(seven->jointVelocity() == Eigen::VectorXd::Ones(7));
        QVERIFY(f.tree->itemForVariable("My Variable 2"));
    }

    void jointTargetGetsTheChosenDistribution() {
        HandlerFixture f(twoRobots);
        DialogDriver::expect(
            DialogDriver::choose(K::EXISTING_ROBOT_KEY, "Second",
                                 DialogDriver::choose(K::JOINT_POS_DISTRIBUTION_TYPE_KEY, "Uniform")));
        f.handler->addVariable(kestrin::JointPositionTarget::staticType());
        auto* t = dynamic_cast<kestrin::JointPositionTarget*>(f.project()->findVariable("My Variable"));
        QVERIFY(t);
        QCOMPARE(t->jointPositions().typeName(), QString("Uniform"));
        QCOMPARE(t->jointPositions().dim(), 7);
    }

    void taskRegionTargetSeedsOnlyWhenChecked() {
        HandlerFixture f(twoRobots);
        DialogDriver::expect(DialogDriver::accept());
        f.handler->addVariable(kestrin::TaskRegionTarget::staticType());
        auto checkThen = [](int clicks, DialogDriver::Action then) {
            return [clicks, then](QWidget* d) {
                for (int i = 0; i < clicks; ++i)
                    d->findChild<QCheckBox*>(K::USE_SEED_POSITIONS_KEY)->click();
                then(d);
            };
        };
        DialogDriver::expect(
            checkThen(1, DialogDriver::choose(K::JOINT_POS_DISTRIBUTION_TYPE_KEY, "Gaussian")));
        f.handler->addVariable(kestrin::TaskRegionTarget::staticType());
        DialogDriver::expect(checkThen(2, DialogDriver::accept()));
        f.handler->addVariable(kestrin::TaskRegionTarget::staticType());
        auto target = [&](const QString& n) {
            return dynamic_cast<kestrin::TaskRegionTarget*>(f.project()->findVariable(n));
        };
        QVERIFY(target("My Variable") && !target("My Variable")->seedJointPositions());
        QVERIFY(target("My Variable 2")->seedJointPositions());
        QCOMPARE(target("My Variable 2")->seedJointPositions()->typeName(), QString("Gaussian"));
        QCOMPARE(target("My Variable 2")->seedJointPositions()->dim(), 6);
        QVERIFY(!target("My Variable 3")->seedJointPositions());
        QCOMPARE(target("My Variable")->poseGenerator().project(), f.project());
    }

    void mixtureGetsEmptyComponentsWithUnitWeights() {
        HandlerFixture f;
        QStringList rows;
        DialogDriver::expect([&rows](QWidget* d) {
            for (auto* label : d->findChildren<QLabel*>())
                rows << label->text();
            d->findChild<QSpinBox*>(K::NUMBER_OF_MIXTURES)->setValue(3);
            DialogDriver::accept()(d);
        });
        f.handler->addVariable(kestrin::MixtureTarget::staticType());
        QCOMPARE(rows, (QStringList{K::NEW_NAME_KEY, K::NUMBER_OF_MIXTURES}));
        auto* m = dynamic_cast<kestrin::MixtureTarget*>(f.project()->findVariable("My Variable"));
        QVERIFY(m);
        QCOMPARE(m->targetGenerators(), (QStringList{"", "", ""}));
        QCOMPARE(m->weights(), (std::vector<double>{1.0, 1.0, 1.0}));
    }

    void variableNeedingARobotFailsWithoutOne() {
        HandlerFixture f;
        for (const kestrin::Type* t :
             {&kestrin::MotionLimits::staticType(), &kestrin::JointPositionTarget::staticType(),
              &kestrin::TaskRegionTarget::staticType()}) {
            DialogDriver::expect(DialogDriver::accept());
            f.handler->addVariable(*t);
        }
        QCOMPARE(f.failures.size(), 3);
        for (const QString& message : f.failures)
            QVERIFY2(message.contains("robot"), qPrintable(message));
        QVERIFY(f.project()->variableList().empty());
    }

    void typeOutsideTheTableAsksOnlyForTheName() {
        HandlerFixture f;
        QStringList rows;
        DialogDriver::expect([&rows](QWidget* d) {
            for (auto* label : d->findChildren<QLabel*>())
                rows << label->text();
            DialogDriver::accept()(d);
        });
        new kestrin::Desk(f.workspace(), "Sneaked in");
        f.handler->addVariable(kestrin::Sequence::staticType());
        QCOMPARE(rows, QStringList{K::NEW_NAME_KEY});
        QVERIFY(f.project()->variableList().empty());
        QCOMPARE(f.sceneItems(), 1); // rebuilt all the same
    }

    // --- Everything added survives a save and an open -------------------------------------------

    void addedContentSurvivesSaveAndOpen() {
        QTemporaryDir dir;
        const QString path = dir.filePath("cell.kestrin");
        HandlerFixture f;
        for (const AddCase& c : namedAdds()) {
            DialogDriver::expect(DialogDriver::accept());
            c.add(*f.handler);
        }
        DialogDriver::expect(DialogDriver::accept());
        f.handler->addToolFrame();
        DialogDriver::expect(DialogDriver::accept());
        f.handler->addBehavior(kestrin::Sequence::staticType());
        DialogDriver::expect(DialogDriver::choose(K::PARENT_BEHAVIOR_KEY, "My Behavior"));
        f.handler->addBehavior(kestrin::Wait::staticType());
        for (const kestrin::Type* t :
             {&kestrin::MotionLimits::staticType(), &kestrin::JointPositionTarget::staticType(),
              &kestrin::TaskRegionTarget::staticType(), &kestrin::MixtureTarget::staticType()}) {
            DialogDriver::expect(DialogDriver::accept());
            f.handler->addVariable(*t);
        }
        QVERIFY2(f.failures.isEmpty(), qPrintable(f.failures.join('\n')));
        const QByteArray before = QJsonDocument(f.project()->toJson()).toJson();
        DialogDriver::expect(DialogDriver::chooseFile(path));
        f.handler->saveProjectAs();

        HandlerFixture g;
        DialogDriver::expect(DialogDriver::reject());
        DialogDriver::expect(DialogDriver::chooseFile(path));
        g.handler->openProject();
        QCOMPARE(QJsonDocument(g.project()->toJson()).toJson(), before);
        QCOMPARE(g.sceneItems(), f.sceneItems());
        QCOMPARE(g.treeNames(), f.treeNames());
    }

private:
    static QByteArray readAll(const QString& path) {
        QFile file(path);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }
};

KESTRIN_GUI_TEST_MAIN(HandlerContentTest)
#include "test_handler_content.moc"
