// The core library's model: types, names and what refers to them, tool frames and workspace state.

#include "model_support.h"

#include "kestrin/cell_counts.h"
#include "kestrin/floor_grid.h"
#include "kestrin/kestrin.h"
#include "kestrin/naming.h"
#include "kestrin/users_index.h"

#include <QSet>
#include <QTemporaryDir>
#include <QtTest>

#include <cmath>
#include <functional>
#include <map>

using namespace kestrin;
using namespace model_test;

class TestModel : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() {
        // A user may touch any type first; what is offered later must not depend on that.
        Wait::staticType();
    }

    // --- types -----------------------------------------------------------------------------

    void typesAreDistinctAndNamedAfterTheirClass() {
#define T(C) std::pair<const Type*, QString>(&C::staticType(), #C)
        // clang-format off
        const std::vector<std::pair<const Type*, QString>> types{
            T(Project), T(Workspace), T(WorkspaceState), T(WorkspaceObject), T(Robot), T(FrankaPandaRobot),
            T(UR3eRobot), T(UR5eRobot), T(UR10eRobot), T(Effector), T(RobotiqGripper2F85), T(FrankaHand),
            T(ToolFrame), T(CustomItem), T(Desk), T(TaskRegion), T(Camera), T(RealsenseD435i), T(RealsenseD405),
            T(VisualMarker), T(Behavior), T(Sequence), T(Action), T(MoveToJointTarget), T(MoveToTaskRegion),
            T(Wait), T(Variable), T(MotionLimits), T(JointPositionTarget), T(TaskRegionTarget), T(MixtureTarget),
            T(Distribution), T(DeterministicDistribution), T(UniformDistribution), T(GaussianDistribution),
            T(PoseGenerator)};
        // clang-format on
#undef T
        QSet<const Type*> seen;
        for (const auto& [type, name] : types) {
            QCOMPARE(type->name(), name);
            QCOMPARE(Type::find(name), type);
            seen.insert(type);
        }
        QCOMPARE(seen.size(), static_cast<int>(types.size()));
        QVERIFY(!Type::find("NoSuchType"));
    }

    void typesKnowTheirAncestors() {
        QVERIFY(UR5eRobot::staticType().inherits(Robot::staticType()));
        QVERIFY(UR5eRobot::staticType().inherits(WorkspaceObject::staticType()));
        QVERIFY(!UR5eRobot::staticType().inherits(UR10eRobot::staticType()));
        QVERIFY(!Robot::staticType().inherits(UR5eRobot::staticType()));
        QVERIFY(MoveToJointTarget::staticType().inherits(Action::staticType()));
        QVERIFY(!Sequence::staticType().inherits(Action::staticType()));
        QVERIFY(Sequence::staticType().inherits(Behavior::staticType()));
        QVERIFY(!MotionLimits::staticType().inherits(Behavior::staticType()));
    }

    void onlyBehaviorTypesConstructBehaviors() {
        Project project;
        QVERIFY_EXCEPTION_THROWN(MotionLimits::staticType().constructBehavior(&project, "L"), Error);
        QVERIFY_EXCEPTION_THROWN(Action::staticType().constructBehavior(&project, "L"), Error);
        QVERIFY_EXCEPTION_THROWN(UR5eRobot::staticType().constructBehavior(&project, "L"), Error);
        QCOMPARE((new Wait(&project, "L"))->name(), QString("L")); // nothing took the name
        Behavior* b = Wait::staticType().constructBehavior(&project, "Pause");
        QCOMPARE(&b->type(), &Wait::staticType());
        QCOMPARE(b->name(), QString("Pause"));
        QCOMPARE(b->project(), &project);
        QCOMPARE(&Desk::staticType().constructObject(project.workspace(), "Table")->type(),
                 &Desk::staticType());
    }

    void offersSequenceAndActionsAsBehaviors() {
        const QList<const Type*> expected{&Sequence::staticType(),
                                          &MoveToJointTarget::staticType(),
                                          &MoveToTaskRegion::staticType(),
                                          &Wait::staticType(),
                                          &Grasp::staticType(),
                                          &Release::staticType(),
                                          &MoveLinear::staticType()};
        QCOMPARE(Type::constructibleTypes(Behavior::staticType()), expected);
        QCOMPARE(Type::constructibleTypes(Action::staticType()), expected.mid(1));
        QCOMPARE(Type::constructibleTypes(Robot::staticType()).size(), 5); // with robots from URDF files
    }

    // --- names -----------------------------------------------------------------------------

    void rejectsBlankNames() {
        Project project;
        Workspace* ws = project.workspace();
        const quint64 revision = project.structureRevision();
        for (const QString& bad : {QString(), QString(""), QString("   "), QString("\t\n")}) {
            QVERIFY_EXCEPTION_THROWN(new UR5eRobot(ws, bad), NameError);
            QVERIFY_EXCEPTION_THROWN(new TaskRegion(ws, bad), NameError);
            QVERIFY_EXCEPTION_THROWN(new ToolFrame(ws, bad), NameError);
            QVERIFY_EXCEPTION_THROWN(new Sequence(&project, bad), NameError);
            QVERIFY_EXCEPTION_THROWN(new Wait(&project, bad), NameError);
            QVERIFY_EXCEPTION_THROWN(new MotionLimits(&project, bad, vec({1}), vec({1})), NameError);
        }
        QCOMPARE(ws->objectCount(), 0);
        QCOMPARE(project.structureRevision(), revision); // no behavior or variable was added
        auto* r = new UR5eRobot(ws, "R");
        auto* s = new Sequence(&project, "S");
        project.addProgram(s);
        QVERIFY_EXCEPTION_THROWN(r->setName(" "), NameError);
        QVERIFY_EXCEPTION_THROWN(s->setName(""), NameError);
        QCOMPARE(ws->getRobots(), QStringList{"R"});
        QCOMPARE(project.behaviors().keys(), QStringList{"S"});
    }

    // "A effector needs a name" read wrong: the article follows the sound of the word.
    void messagesTakeTheArticleOfTheWord() {
        QCOMPARE(withArticle("effector"), QString("an effector"));
        QCOMPARE(withArticle("item", true), QString("An item"));
        QCOMPARE(withArticle("robot", true), QString("A robot"));
        QCOMPARE(withArticle("UR5e"), QString("a UR5e"));
        QCOMPARE(withArticle("unit"), QString("a unit"));
        QCOMPARE(withArticle("umbrella"), QString("an umbrella"));
        QCOMPARE(withArticle("MotionLimits"), QString("a MotionLimits"));
        Project project;
        const QList<QPair<std::function<void()>, QString>> blanks = {
            {[&] { new RobotiqGripper2F85(project.workspace(), " "); }, "An effector needs a name"},
            {[&] { new CustomItem(project.workspace(), ""); }, "An item needs a name"},
            {[&] { new UR5eRobot(project.workspace(), ""); }, "A robot needs a name"},
        };
        for (const auto& [make, message] : blanks) {
            try {
                make();
                QFAIL("a blank name must be refused");
            } catch (const NameError& e) {
                QVERIFY2(QString(e.what()).startsWith(message), e.what());
            }
        }
    }

    // Names that look alike must be alike, and every name must survive a file and an undo step
    // exactly: nothing invisible, direction-changing or line-breaking, no half surrogate pair.
    void rejectsInvisibleAndBrokenCharactersInNames() {
        Project project;
        Workspace* ws = project.workspace();
        const QString halfPair = QString("Arm") + QChar(0xD800);
        const QString lowFirst = QString(QChar(0xDC00)) + QChar(0xD800) + "Arm";
        for (const QString& bad : {halfPair, lowFirst, QString("Ar\u200Bm"), QString("\u202Emra"),
                                   QString("A\u2028rm"), QString("A\u2029rm"), QString("Ar\uFEFFm"),
                                   QString("Arm\u2066"), QString("Arm") + QChar(0xFFFF)}) {
            QVERIFY_EXCEPTION_THROWN(new UR5eRobot(ws, bad), NameError);
            QVERIFY_EXCEPTION_THROWN(new Sequence(&project, bad), NameError);
            QVERIFY_EXCEPTION_THROWN(new MotionLimits(&project, bad, vec({1}), vec({1})), NameError);
        }
        QCOMPARE(ws->objectCount(), 0);
        try {
            new UR5eRobot(ws, "Ar\u200Bm");
        } catch (const NameError& e) {
            QVERIFY2(e.message().contains("U+200B at character 3"), qPrintable(e.message()));
        }
        // Letters of any script, and characters beyond the first plane (a whole pair), are fine.
        for (const QString& good : {QString("Greifer \u00C4"), QString("\u673A\u5668\u4EBA"),
                                    QString("Arm \U0001F916"), QString("\u0645\u062D\u0645\u062F")})
            QCOMPARE((new UR5eRobot(ws, good))->name(), good);
    }

    void takenNamesGetANumberWithinTheirKind() {
        Project project;
        Workspace* ws = project.workspace();
        for (int i = 0; i < 3; ++i)
            new UR5eRobot(ws, "X");
        QCOMPARE(ws->getRobots(), (QStringList{"X", "X 2", "X 3"}));
        QCOMPARE((new Sequence(&project, "S"))->name(), QString("S"));
        QCOMPARE((new Wait(&project, "S"))->name(), QString("S 2"));
        new MotionLimits(&project, "V", vec({1}), vec({1}));
        QCOMPARE((new MotionLimits(&project, "V", vec({1}), vec({1})))->name(), QString("V 2"));
        auto* b = new UR5eRobot(ws, "B");
        b->setName("X"); // renaming to a taken name makes it unique too
        QCOMPARE(ws->getRobots(), (QStringList{"X", "X 2", "X 3", "X 4"}));
        QCOMPARE(ws->getRobot("X 4"), b);
        // Across kinds the same name is fine.
        QCOMPARE((new TaskRegion(ws, "X"))->name(), QString("X"));
        QCOMPARE((new VisualMarker(ws, "X"))->name(), QString("X"));
        QCOMPARE(ws->getRobot("X")->name(), QString("X"));
    }

    void renamingUpdatesReferences() {
        Project project;
        Workspace* ws = project.workspace();
        auto* robot = new UR5eRobot(ws, "R");
        auto* tool = new ToolFrame(ws, "T");
        robot->addToolFrame(tool);
        auto* region = new TaskRegion(ws, "Z");
        auto* joint =
            new JointPositionTarget(&project, "J", Distribution::CreateFromTypename("Deterministic", 6));
        auto generator = std::make_unique<PoseGenerator>(&project);
        generator->setTaskRegion("Z");
        auto* pose = new TaskRegionTarget(&project, "P", std::move(generator), nullptr);
        auto* mix = new MixtureTarget(&project, "M", {"J", "P"}, {1, 2});
        auto* toJoint = new MoveToJointTarget(&project, "a");
        toJoint->setProperty("robot", "R");
        toJoint->setProperty("target", "J");
        auto* toRegion = new MoveToTaskRegion(&project, "b");
        toRegion->setProperty("robot", "R");
        toRegion->setProperty("tool_frame", "T");
        toRegion->setProperty("target", "P");

        const quint64 mixRevision = mix->revision();
        new UR5eRobot(ws, "Other");
        robot->setName("Other");
        tool->setName("Tool");
        region->setName("Zone");
        joint->setName("Home");
        pose->setName("Home"); // taken: becomes "Home 2"
        QCOMPARE(toJoint->reference("robot"), QString("Other 2"));
        QCOMPARE(toRegion->reference("robot"), QString("Other 2"));
        QCOMPARE(toRegion->reference("tool_frame"), QString("Tool"));
        QCOMPARE(toJoint->reference("target"), QString("Home"));
        QCOMPARE(toRegion->reference("target"), QString("Home 2"));
        QCOMPARE(mix->targetGenerators(), (QStringList{"Home", "Home 2"}));
        QVERIFY(mix->revision() > mixRevision); // so that views show the new names
        QCOMPARE(pose->poseGenerator().taskRegion(), QString("Zone"));
    }

    // --- tool frames -----------------------------------------------------------------------

    void toolFrameJoinsTheCellWhenAttached() {
        Project project;
        Workspace* ws = project.workspace();
        auto* robot = new UR5eRobot(ws, "R");
        auto* tool = new ToolFrame(ws, "T");
        QVERIFY(ws->getToolFrames().isEmpty());
        QVERIFY(!names(ws->objects()).contains("T"));
        QVERIFY_EXCEPTION_THROWN(ws->getToolFrame("T"), NotFoundError);
        robot->addToolFrame(tool);
        QCOMPARE(ws->getToolFrames(), QStringList{"T"});
        QCOMPARE(robot->getToolFrames(), QStringList{"T"});
        QCOMPARE(ws->getToolFrame("T"), tool);
        QVERIFY(names(ws->objects()).contains("T"));
    }

    void toolFramePoseIsFlangeTimesOffset() {
        Project project;
        auto* robot = new FrankaPandaRobot(project.workspace(), "P");
        auto* tool = new ToolFrame(project.workspace(), "T");
        robot->addToolFrame(tool);
        const Pose offset = makePose({0.01, -0.02, 0.1034}, 0.1, 0.2, -kPi / 4);
        tool->setOffset(offset);
        robot->setPose(makePose({1, 1, 0}, 0, 0, 0.5));
        robot->setJointPositions(vec({0.3, -0.5, 0.2, -2.0, 0.1, 1.8, 0.4}));
        const Pose expected = robot->flangePose() * offset;
        QVERIFY((tool->pose().matrix() - expected.matrix()).norm() < 1e-9);
    }

    void removingARobotRemovesItsToolFrames() {
        Project project;
        Workspace* ws = project.workspace();
        auto* robot = new UR5eRobot(ws, "R");
        auto* keep = new UR3eRobot(ws, "Keep");
        auto* gripper = new RobotiqGripper2F85(ws, "G");
        for (const char* n : {"T1", "T2"})
            robot->addToolFrame(new ToolFrame(ws, n));
        keep->addToolFrame(new ToolFrame(ws, "T3"));
        gripper->mountOn(robot);
        ws->remove(robot);
        QCOMPARE(ws->getToolFrames(), QStringList{"T3"});
        QVERIFY(!ws->find(Category::ToolFrame, "T1"));
        QCOMPARE(names(ws->objects()), (QStringList{"Keep", "G", "T3"}));
        QVERIFY(!gripper->robot());
        QVERIFY_EXCEPTION_THROWN(ws->getRobot("R"), NotFoundError);
        QVERIFY_EXCEPTION_THROWN(ws->getRobot(""), NotFoundError);
        QCOMPARE(ws->getRobot("Keep"), keep);
    }

    // --- workspace state -------------------------------------------------------------------

    void stateRestoresJointsAndPoses() {
        Project project;
        Workspace* ws = project.workspace();
        auto* robot = new UR5eRobot(ws, "R");
        auto* box = new CustomItem(ws, "Box");
        robot->setJointPositions(vec({0.1, -1.1, 1.2, -0.3, 0.4, 0.123456789}));
        box->setPose(makePose({1.25, -0.5, 0.05}, 0, 0, 0.3));
        const Eigen::VectorXd q = robot->jointPositions();
        const Transform t = box->transform();
        const WorkspaceState state = ws->_getState();
        QVERIFY(state == ws->_getState());
        robot->setJointPositions(Eigen::VectorXd::Zero(6));
        box->setPose(makePose({3, 3, 0.05}));
        QVERIFY(state != ws->_getState());
        for (int i = 0; i < 2; ++i) { // restoring twice gives the same
            ws->_setState(state);
            QCOMPARE(robot->jointPositions(), q);
            QVERIFY(box->transform() == t);
            QVERIFY(state == ws->_getState());
        }
    }

    void stateLeavesNewObjectsAndSkipsRemovedOnes() {
        Project project;
        Workspace* ws = project.workspace();
        auto* robot = new UR5eRobot(ws, "R");
        auto* doomed = new Desk(ws, "Doomed");
        const Eigen::VectorXd q = robot->jointPositions();
        const WorkspaceState state = ws->_getState();
        auto* late = new CustomItem(ws, "Late");
        late->setPose(makePose({4, 4, 0.05}));
        ws->remove(doomed);
        robot->setJointPositions(Eigen::VectorXd::Zero(6));
        ws->_setState(state);
        QCOMPARE(robot->jointPositions(), q);
        QVERIFY(near(late->pose().translation(), {4, 4, 0.05}, 1e-12));
        QCOMPARE(names(ws->objects()), (QStringList{"R", "Late"}));
    }

    // The index a delete asks gives what Project::usersOf gives, in the same order.
    void usersIndexAgreesWithUsersOf() {
        Project project;
        Workspace* ws = project.workspace();
        auto* arm = new UR5eRobot(ws, "Arm");
        auto* tip = new ToolFrame(ws, "Tip");
        arm->addToolFrame(tip);
        auto* region = new TaskRegion(ws, "Bin");
        new Desk(ws, "Desk");
        new UR5eRobot(ws, "Idle");
        new JointPositionTarget(&project, "Home",
                                std::make_unique<DeterministicDistribution>(Eigen::VectorXd::Zero(6)));
        auto generator = std::make_unique<PoseGenerator>(&project);
        generator->setTaskRegion("Bin");
        new TaskRegionTarget(&project, "In bin", std::move(generator), nullptr);
        new MixtureTarget(&project, "Either", {"Home", "In bin", "Home"}, {1, 1, 1});
        new MotionLimits(&project, "Slow", Eigen::VectorXd::Ones(6), Eigen::VectorXd::Ones(6));
        auto* main = new Sequence(&project, "Main");
        project.addProgram(main);
        const auto add = [&](Action* a, const QList<QPair<QString, QString>>& props) {
            for (const auto& [key, value] : props)
                a->setProperty(key, value);
            main->_addChild(a);
        };
        add(new Grasp(&project, "Grab"), {{"robot", "Arm"}, {"tool_frame", "Tip"}});
        add(new MoveToJointTarget(&project, "Home run"),
            {{"robot", "Arm"}, {"target", "Home"}, {"motion_limits", "Slow"}});
        add(new MoveToTaskRegion(&project, "Reach"),
            {{"robot", "Arm"}, {"tool_frame", "Tip"}, {"target", "In bin"}});
        add(new Release(&project, "Drop"), {{"tool_frame", "Tip"}});
        auto* loose = new MoveToJointTarget(&project, "Loose"); // in no program: uses nothing
        loose->setProperty("robot", "Arm");

        const UsersIndex index(project);
        for (const WorkspaceObject* o : ws->objects())
            QCOMPARE(index.usersOf(o), project.usersOf(o));
        for (const Variable* v : project.variableList())
            QCOMPARE(index.usersOf(v), project.usersOf(v));
        QCOMPARE(index.usersOf(arm), (QStringList{"Grab", "Home run", "Reach", "Drop"}));
        QCOMPARE(index.usersOf(region), QStringList{"In bin"});
        QCOMPARE(index.usersOf(project.findVariable("Home")), (QStringList{"Home run", "Either"}));
    }
};

QTEST_GUILESS_MAIN(TestModel)
#include "test_model.moc"
