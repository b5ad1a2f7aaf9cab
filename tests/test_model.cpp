// The core library's model: types, names, placement, kinematics, tool frames, workspace state,
// behavior trees, variables and distributions.

#include "kestrin/kestrin.h"

#include <QSet>
#include <QtTest>

#include <cmath>

using namespace kestrin;

namespace {

const double kPi = std::acos(-1.0);

Eigen::VectorXd vec(std::initializer_list<double> values) {
    Eigen::VectorXd v(static_cast<Eigen::Index>(values.size()));
    Eigen::Index i = 0;
    for (double x : values)
        v[i++] = x;
    return v;
}

/// The message of the E that `f` throws; a null QString when it throws nothing.
template <class E, class F> QString thrown(F&& f) {
    try {
        f();
    } catch (const E& e) {
        return e.message();
    }
    return QString();
}

bool near(const Eigen::Vector3d& a, const Eigen::Vector3d& b, double tol) { return (a - b).norm() < tol; }

QStringList names(const std::vector<WorkspaceObject*>& objects) {
    QStringList out;
    for (const WorkspaceObject* o : objects)
        out << o->name();
    return out;
}

/// Lower-left and upper-right corner of what an object takes up on the floor: its body turned
/// by its pose; a robot also keeps about half its reach free around its base.
std::pair<Eigen::Vector2d, Eigen::Vector2d> floorRect(const WorkspaceObject* o) {
    Eigen::Vector2d half = (o->pose().linear().cwiseAbs() * (o->size() / 2)).head<2>();
    if (const auto* robot = dynamic_cast<const Robot*>(o))
        half = half.cwiseMax(Eigen::Vector2d::Constant(robot->reach() / 2));
    const Eigen::Vector2d centre = o->pose().translation().head<2>();
    return {centre - half, centre + half};
}

} // namespace

class TestModel : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() {
        // A user may touch any type first; what is offered later must not depend on that.
        Wait::staticType();
    }

    // --- types -----------------------------------------------------------------------------

    void typesAreDistinctAndNamedAfterTheirClass() {
        const std::vector<std::pair<const Type*, QString>> types{
            {&Project::staticType(), "Project"}, {&Workspace::staticType(), "Workspace"},
            {&WorkspaceState::staticType(), "WorkspaceState"}, {&WorkspaceObject::staticType(), "WorkspaceObject"},
            {&Robot::staticType(), "Robot"}, {&FrankaPandaRobot::staticType(), "FrankaPandaRobot"},
            {&UR3eRobot::staticType(), "UR3eRobot"}, {&UR5eRobot::staticType(), "UR5eRobot"},
            {&UR10eRobot::staticType(), "UR10eRobot"}, {&Effector::staticType(), "Effector"},
            {&RobotiqGripper2F85::staticType(), "RobotiqGripper2F85"}, {&FrankaHand::staticType(), "FrankaHand"},
            {&ToolFrame::staticType(), "ToolFrame"}, {&CustomItem::staticType(), "CustomItem"},
            {&Desk::staticType(), "Desk"}, {&TaskRegion::staticType(), "TaskRegion"},
            {&Camera::staticType(), "Camera"}, {&RealsenseD435i::staticType(), "RealsenseD435i"},
            {&RealsenseD405::staticType(), "RealsenseD405"}, {&VisualMarker::staticType(), "VisualMarker"},
            {&Behavior::staticType(), "Behavior"}, {&Sequence::staticType(), "Sequence"},
            {&Action::staticType(), "Action"}, {&MoveToJointTarget::staticType(), "MoveToJointTarget"},
            {&MoveToTaskRegion::staticType(), "MoveToTaskRegion"}, {&Wait::staticType(), "Wait"},
            {&Variable::staticType(), "Variable"}, {&MotionLimits::staticType(), "MotionLimits"},
            {&JointPositionTarget::staticType(), "JointPositionTarget"},
            {&TaskRegionTarget::staticType(), "TaskRegionTarget"}, {&MixtureTarget::staticType(), "MixtureTarget"},
            {&Distribution::staticType(), "Distribution"},
            {&DeterministicDistribution::staticType(), "DeterministicDistribution"},
            {&UniformDistribution::staticType(), "UniformDistribution"},
            {&GaussianDistribution::staticType(), "GaussianDistribution"},
            {&PoseGenerator::staticType(), "PoseGenerator"}};
        QSet<const Type*> seen;
        for (const auto& [type, name] : types) {
            QCOMPARE(type->name(), name);
            QCOMPARE(Type::find(name), type);
            seen.insert(type);
        }
        QCOMPARE(seen.size(), static_cast<int>(types.size()));
        QCOMPARE(Type::find("NoSuchType"), nullptr);

        Project project;
        auto* ur = new UR5eRobot(project.workspace(), "R");
        QCOMPARE(&ur->type(), &UR5eRobot::staticType());
        QVERIFY(ur->type() != UR10eRobot::staticType());
    }

    void typesKnowTheirAncestors() {
        QVERIFY(UR5eRobot::staticType().inherits(Robot::staticType()));
        QVERIFY(UR5eRobot::staticType().inherits(WorkspaceObject::staticType()));
        QVERIFY(!UR5eRobot::staticType().inherits(UR10eRobot::staticType()));
        QVERIFY(!Robot::staticType().inherits(UR5eRobot::staticType()));
        QVERIFY(MoveToJointTarget::staticType().inherits(Action::staticType()));
        QVERIFY(MoveToJointTarget::staticType().inherits(Behavior::staticType()));
        QVERIFY(!Sequence::staticType().inherits(Action::staticType()));
        QVERIFY(Sequence::staticType().inherits(Behavior::staticType()));
        QVERIFY(RealsenseD405::staticType().inherits(Camera::staticType()));
        QVERIFY(!MotionLimits::staticType().inherits(Behavior::staticType()));
    }

    void onlyBehaviorTypesConstructBehaviors() {
        Project project;
        QVERIFY(!thrown<Error>([&] { MotionLimits::staticType().constructBehavior(&project, "L"); }).isNull());
        QVERIFY(!thrown<Error>([&] { Action::staticType().constructBehavior(&project, "A"); }).isNull());
        QVERIFY(!thrown<Error>([&] { UR5eRobot::staticType().constructBehavior(&project, "R"); }).isNull());
        QCOMPARE((new Wait(&project, "L"))->name(), QString("L")); // nothing took the name

        Behavior* b = Wait::staticType().constructBehavior(&project, "Pause");
        QCOMPARE(&b->type(), &Wait::staticType());
        QCOMPARE(b->name(), QString("Pause"));
        QCOMPARE(b->project(), &project);
        WorkspaceObject* o = Desk::staticType().constructObject(project.workspace(), "Table");
        QCOMPARE(&o->type(), &Desk::staticType());
        QCOMPARE(names(project.workspace()->objects()), QStringList{"Table"});
    }

    void offersSequenceAndActionsAsBehaviors() {
        const QList<const Type*> expected{&Sequence::staticType(), &MoveToJointTarget::staticType(),
                                          &MoveToTaskRegion::staticType(), &Wait::staticType()};
        QCOMPARE(Type::constructibleTypes(Behavior::staticType()), expected);
        QCOMPARE(Type::constructibleTypes(Action::staticType()), expected.mid(1));
        const QList<const Type*> robots = Type::constructibleTypes(Robot::staticType());
        QCOMPARE(robots.size(), 4);
        QVERIFY(robots.contains(&UR5eRobot::staticType()) && robots.contains(&FrankaPandaRobot::staticType()));
    }

    // --- names -----------------------------------------------------------------------------

    void rejectsBlankNames() {
        Project project;
        Workspace* ws = project.workspace();
        for (const QString& bad : {QString(), QString(""), QString("   "), QString("\t\n")}) {
            QVERIFY(!thrown<NameError>([&] { new UR5eRobot(ws, bad); }).isNull());
            QVERIFY(!thrown<NameError>([&] { new TaskRegion(ws, bad); }).isNull());
            QVERIFY(!thrown<NameError>([&] { new ToolFrame(ws, bad); }).isNull());
            QVERIFY(!thrown<NameError>([&] { new Sequence(&project, bad); }).isNull());
            QVERIFY(!thrown<NameError>([&] { new Wait(&project, bad); }).isNull());
            QVERIFY(!thrown<NameError>([&] { new MotionLimits(&project, bad, vec({1}), vec({1})); }).isNull());
        }
        QCOMPARE(ws->objectCount(), 0);
        QVERIFY(project.variables().isEmpty());
        auto* r = new UR5eRobot(ws, "R");
        auto* s = new Sequence(&project, "S");
        project.addProgram(s);
        QVERIFY(!thrown<NameError>([&] { r->setName(" "); }).isNull());
        QVERIFY(!thrown<NameError>([&] { s->setName(""); }).isNull());
        QCOMPARE(r->name(), QString("R"));
        QCOMPARE(ws->getRobots(), QStringList{"R"});
        QCOMPARE(project.behaviors().keys(), QStringList{"S"});
    }

    void takenNamesGetANumber() {
        Project project;
        Workspace* ws = project.workspace();
        QStringList robots;
        for (int i = 0; i < 3; ++i)
            robots << (new UR5eRobot(ws, "X"))->name();
        QCOMPARE(robots, (QStringList{"X", "X 2", "X 3"}));
        QCOMPARE(ws->getRobots(), robots);
        QCOMPARE((new Sequence(&project, "S"))->name(), QString("S"));
        QCOMPARE((new Wait(&project, "S"))->name(), QString("S 2"));
        new MotionLimits(&project, "V", vec({1}), vec({1}));
        QCOMPARE((new MotionLimits(&project, "V", vec({1}), vec({1})))->name(), QString("V 2"));
    }

    void namesAreUniqueOnlyWithinAKind() {
        Project project;
        auto* robot = new UR5eRobot(project.workspace(), "A");
        auto* region = new TaskRegion(project.workspace(), "A");
        auto* marker = new VisualMarker(project.workspace(), "A");
        QCOMPARE(robot->name(), QString("A"));
        QCOMPARE(region->name(), QString("A"));
        QCOMPARE(marker->name(), QString("A"));
        QCOMPARE(project.workspace()->getRobot("A"), robot);
        QCOMPARE(project.workspace()->findTaskRegion("A"), region);
    }

    void renamingToATakenNameMakesItUnique() {
        Project project;
        auto* a = new UR5eRobot(project.workspace(), "A");
        auto* b = new UR5eRobot(project.workspace(), "B");
        b->setName("A");
        QCOMPARE(b->name(), QString("A 2"));
        QCOMPARE(project.workspace()->getRobot("A"), a);
        QCOMPARE(project.workspace()->getRobot("A 2"), b);
        QCOMPARE(project.workspace()->findRobot("B"), nullptr);
        auto* v = new MotionLimits(&project, "V", vec({1}), vec({1}));
        auto* w = new MotionLimits(&project, "W", vec({1}), vec({1}));
        w->setName("V");
        QCOMPARE(w->name(), QString("V 2"));
        QCOMPARE(project.findVariable("V"), v);
    }

    void renamingUpdatesReferences() {
        Project project;
        Workspace* ws = project.workspace();
        auto* robot = new UR5eRobot(ws, "R");
        auto* tool = new ToolFrame(ws, "T");
        robot->addToolFrame(tool);
        auto* region = new TaskRegion(ws, "Z");
        auto* joint = new JointPositionTarget(&project, "J", Distribution::CreateFromTypename("Deterministic", 6));
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
        QCOMPARE(pose->poseGenerator().taskRegion(), QString("Zone"));
    }

    // --- placement -------------------------------------------------------------------------

    void newObjectsDoNotOverlapOnTheFloor() {
        Project project;
        Workspace* ws = project.workspace();
        auto* first = new UR10eRobot(ws, "First");
        QVERIFY(near(first->pose().translation(), Eigen::Vector3d::Zero(), 1e-9));
        for (int i = 0; i < 3; ++i) {
            new UR5eRobot(ws, "UR5e");
            new FrankaPandaRobot(ws, "Panda");
            new CustomItem(ws, "Box");
            new Desk(ws, "Desk");
            new RobotiqGripper2F85(ws, "Gripper");
            new VisualMarker(ws, "Marker");
        }
        // A user may move an object anywhere; what is added later keeps clear of its new spot.
        const size_t before = ws->objects().size();
        first->setPose(makePose({3.0, 0.5, 0}, 0, 0, kPi / 4));
        auto* wide = new CustomItem(ws, "Wide");
        wide->setSize({2.0, 0.4, 0.5});
        for (int i = 0; i < 12; ++i)
            new Desk(ws, "Late desk");
        const std::vector<WorkspaceObject*> all = ws->objects();
        for (size_t i = 0; i < all.size(); ++i) {
            QVERIFY(all[i]->occupiesFloor());
            for (size_t j = std::max(i + 1, i == 0 ? before : 0); j < all.size(); ++j) {
                const auto [lo1, hi1] = floorRect(all[i]);
                const auto [lo2, hi2] = floorRect(all[j]);
                const bool overlap = (lo1.array() < hi2.array() - 1e-9).all() && (lo2.array() < hi1.array() - 1e-9).all();
                QVERIFY2(!overlap, qPrintable(QString("'%1' overlaps '%2'").arg(all[i]->name(), all[j]->name())));
            }
        }
    }

    // --- kinematics ------------------------------------------------------------------------

    void ur5eFlangeMatchesPublishedPose() {
        Project project;
        auto* ur = new UR5eRobot(project.workspace(), "UR");
        const Pose f = ur->flangeInBase(Eigen::VectorXd::Zero(6));
        QVERIFY(near(f.translation(), {-0.8172, -0.2329, 0.0628}, 1e-3));
    }

    void pandaFlangeMatchesPublishedPoses() {
        Project project;
        auto* panda = new FrankaPandaRobot(project.workspace(), "Panda");
        const Pose zero = panda->flangeInBase(Eigen::VectorXd::Zero(7));
        QVERIFY(near(zero.translation(), {0.088, 0, 0.926}, 1e-3));
        QVERIFY((zero.linear() - makePose({0, 0, 0}, kPi, 0, 0).linear()).norm() < 1e-3);
        const Eigen::VectorXd ready = vec({0, -kPi / 4, 0, -3 * kPi / 4, 0, kPi / 2, kPi / 4});
        QVERIFY(near(panda->flangeInBase(ready).translation(), {0.3069, 0, 0.5903}, 1e-3));
    }

    void jointCountsMatchModels() {
        Project project;
        Workspace* ws = project.workspace();
        QCOMPARE((new UR3eRobot(ws, "a"))->getNumDofs(), 6);
        QCOMPARE((new UR5eRobot(ws, "b"))->getNumDofs(), 6);
        QCOMPARE((new UR10eRobot(ws, "c"))->getNumDofs(), 6);
        auto* panda = new FrankaPandaRobot(ws, "d");
        QCOMPARE(panda->getNumDofs(), 7);
        QCOMPARE(panda->jointPositions().size(), 7);
        QCOMPARE(panda->lowerLimits().size(), 7);
        QVERIFY(std::abs(panda->upperLimits()[3] - -0.0698) < 1e-9);
    }

    void rejectsJointPositionsOutsideLimits() {
        Project project;
        auto* ur = new UR5eRobot(project.workspace(), "Arm");
        const Eigen::VectorXd good = vec({0.1, -1, 1, -1, -1, 0.2});
        ur->setJointPositions(good);
        QString msg = thrown<ValueError>([&] { ur->setJointPositions(vec({0, 0, 3.5, 0, 0, 0})); });
        QVERIFY2(msg.contains("Joint 3") && msg.contains("Arm"), qPrintable(msg));
        msg = thrown<ValueError>([&] { ur->setJointPositions(vec({0, 0, 0, 0, 0, -7})); });
        QVERIFY2(msg.contains("Joint 6"), qPrintable(msg));
        QVERIFY(!thrown<ValueError>([&] { ur->setJointPositions(vec({0, 0, 0, 0, 0})); }).isNull());
        QVERIFY(!thrown<ValueError>([&] { ur->setJointPositions(vec({0, 0, 0, NAN, 0, 0})); }).isNull());
        QCOMPARE(ur->jointPositions(), good);
        auto* panda = new FrankaPandaRobot(project.workspace(), "Panda");
        msg = thrown<ValueError>([&] { panda->setJointPositions(Eigen::VectorXd::Zero(7)); });
        QVERIFY2(msg.contains("Joint 4"), qPrintable(msg));
    }

    void inverseKinematicsFindsReachablePoses_data() {
        QTest::addColumn<QString>("model");
        for (const char* m : {"UR3eRobot", "UR5eRobot", "UR10eRobot", "FrankaPandaRobot"})
            QTest::newRow(m) << QString(m);
    }

    void inverseKinematicsFindsReachablePoses() {
        QFETCH(QString, model);
        Project project;
        auto* robot = static_cast<Robot*>(Type::find(model)->constructObject(project.workspace(), "R"));
        robot->setPose(makePose({0.5, -1.0, 0.8}, 0.2, -0.1, 1.0));
        RandomGenerator rng(7);
        std::uniform_real_distribution<double> unit(0.0, 1.0);
        for (int trial = 0; trial < 10; ++trial) {
            const int n = robot->getNumDofs();
            Eigen::VectorXd q(n), seed(n);
            for (int i = 0; i < n; ++i) {
                // Keep away from the limits so that the seed, 0.05 rad off, is valid too.
                const double lo = std::max(robot->lowerLimits()[i], -kPi) + 0.1;
                const double hi = std::min(robot->upperLimits()[i], kPi) - 0.1;
                q[i] = lo + (hi - lo) * unit(rng);
                seed[i] = q[i] + (unit(rng) < 0.5 ? -0.05 : 0.05);
            }
            robot->setJointPositions(q);
            const Pose target = robot->flangePose();
            const std::optional<Eigen::VectorXd> solution = robot->solveIK(target, seed);
            QVERIFY2(solution.has_value(), qPrintable(QString("trial %1").arg(trial)));
            QVERIFY(((solution->array() >= robot->lowerLimits().array()) &&
                     (solution->array() <= robot->upperLimits().array()))
                        .all());
            robot->setJointPositions(*solution);
            const Pose reached = robot->flangePose();
            QVERIFY(near(reached.translation(), target.translation(), 1e-4));
            QVERIFY(Eigen::AngleAxisd(reached.linear().transpose() * target.linear()).angle() < 1e-4);
        }
    }

    void inverseKinematicsGivesNothingOutOfReach() {
        Project project;
        auto* ur = new UR5eRobot(project.workspace(), "UR");
        Pose far = ur->flangePose();
        far.translation() += Eigen::Vector3d(5, 0, 0);
        QVERIFY(!ur->solveIK(far, ur->jointPositions()).has_value());
    }

    void flangeFollowsTheRobotBase() {
        Project project;
        auto* ur = new UR5eRobot(project.workspace(), "UR");
        ur->setJointPositions(Eigen::VectorXd::Zero(6));
        ur->setPose(makePose({1, 2, 0.5}, 0, 0, kPi / 2));
        // The base-frame flange (-0.8172, -0.2329, 0.0628) turned a quarter about z, then moved.
        QVERIFY(near(ur->flangePose().translation(), {1 + 0.2329, 2 - 0.8172, 0.5 + 0.0628}, 1e-3));
        QVERIFY(near(ur->linkFrames(ur->jointPositions()).front().translation(), {1, 2, 0.5}, 1e-9));
        QVERIFY(near(ur->linkFrames(ur->jointPositions()).back().translation(),
                     ur->flangePose().translation(), 1e-9));
    }

    // --- tool frames -----------------------------------------------------------------------

    void toolFrameJoinsTheCellWhenAttached() {
        Project project;
        Workspace* ws = project.workspace();
        auto* robot = new UR5eRobot(ws, "R");
        auto* tool = new ToolFrame(ws, "T");
        QVERIFY(ws->getToolFrames().isEmpty());
        QVERIFY(!names(ws->objects()).contains("T"));
        QVERIFY(!thrown<NotFoundError>([&] { ws->getToolFrame("T"); }).isNull());
        robot->addToolFrame(tool);
        QCOMPARE(ws->getToolFrames(), QStringList{"T"});
        QCOMPARE(robot->getToolFrames(), QStringList{"T"});
        QCOMPARE(tool->robot(), robot);
        QCOMPARE(ws->getToolFrame("T"), tool);
        QVERIFY(names(ws->objects()).contains("T"));
        auto* other = new UR3eRobot(ws, "R2");
        other->addToolFrame(tool);
        QVERIFY(robot->getToolFrames().isEmpty());
        QCOMPARE(other->getToolFrames(), QStringList{"T"});
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
        QVERIFY(near(tool->pose().translation(), expected.translation(), 1e-9));
        QVERIFY((tool->pose().linear() - expected.linear()).norm() < 1e-9);
        QVERIFY((tool->pose().translation() - robot->flangePose().translation()).norm() > 0.1);
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
        QCOMPARE(ws->find(Category::ToolFrame, "T1"), nullptr);
        QCOMPARE(names(ws->objects()), (QStringList{"Keep", "G", "T3"}));
        QCOMPARE(gripper->robot(), nullptr);
        QVERIFY(!thrown<NotFoundError>([&] { ws->getRobot("R"); }).isNull());
        QVERIFY(thrown<NotFoundError>([&] { ws->getRobot("Keep"); }).isNull());
        QVERIFY(!thrown<NotFoundError>([&] { ws->getRobot(""); }).isNull());
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
        ws->_setState(state);
        QCOMPARE(robot->jointPositions(), q);
        QVERIFY(box->transform() == t);
        QVERIFY(state == ws->_getState());
        ws->_setState(state);
        QCOMPARE(robot->jointPositions(), q);
        QVERIFY(state == ws->_getState());
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

    // --- behaviors -------------------------------------------------------------------------

    void actionsHoldNoChildren() {
        Project project;
        auto* wait = new Wait(&project, "W");
        auto* seq = new Sequence(&project, "S");
        QVERIFY(!thrown<ValueError>([&] { wait->_addChild(seq); }).isNull());
        QVERIFY(wait->children().empty());
        QCOMPARE(seq->parent(), nullptr);
    }

    void behaviorsTakeOnePlaceAndFormNoCycle() {
        Project project;
        auto* top = new Sequence(&project, "Top");
        auto* mid = new Sequence(&project, "Mid");
        auto* leaf = new Wait(&project, "Leaf");
        top->_addChild(mid);
        mid->_addChild(leaf);
        QVERIFY(!thrown<ValueError>([&] { top->_addChild(mid); }).isNull());
        QVERIFY(!thrown<ValueError>([&] { top->_addChild(leaf); }).isNull());
        QVERIFY(!thrown<ValueError>([&] { mid->_addChild(top); }).isNull());
        QVERIFY(!thrown<ValueError>([&] { top->_addChild(top); }).isNull());
        QCOMPARE(top->children(), std::vector<Behavior*>{mid});
        QCOMPARE(mid->children(), std::vector<Behavior*>{leaf});
        QCOMPARE(top->parent(), nullptr);
        project.addProgram(top);
        QVERIFY(!thrown<ValueError>([&] { project.addProgram(top); }).isNull());
        QVERIFY(!thrown<ValueError>([&] { project.addProgram(mid); }).isNull());
        QCOMPARE(project.programList().size(), size_t(1));
        Project other;
        QVERIFY(!thrown<ValueError>([&] { top->_addChild(new Wait(&other, "Elsewhere")); }).isNull());
    }

    void listsOnlyBehaviorsInPrograms() {
        Project project;
        auto* main = new Sequence(&project, "Main");
        auto* inner = new Sequence(&project, "Inner");
        auto* step = new Wait(&project, "Step");
        auto* loose = new Wait(&project, "Loose");
        project.addProgram(main);
        main->_addChild(inner);
        inner->_addChild(step);
        QCOMPARE(project.programs().keys(), QStringList{"Main"});
        QCOMPARE(project.behaviors().keys(), (QStringList{"Inner", "Main", "Step"}));
        QVERIFY(step->isAttached());
        QVERIFY(!loose->isAttached());
        QCOMPARE(project.findBehavior("Loose"), nullptr);
        QCOMPARE(project.findBehavior("Step"), step);
        project.removeBehavior(inner);
        QCOMPARE(project.behaviors().keys(), QStringList{"Main"});
        QVERIFY(main->children().empty());
    }

    void actionPropertiesAreValidated() {
        Project project;
        new UR5eRobot(project.workspace(), "R");
        new MotionLimits(&project, "Slow", vec({1, 1, 1, 1, 1, 1}), vec({2, 2, 2, 2, 2, 2}));
        new JointPositionTarget(&project, "Home", Distribution::CreateFromTypename("Deterministic", 6));
        auto* move = new MoveToJointTarget(&project, "Move");
        move->setProperty("robot", "R");
        move->setProperty("target", "Home");
        move->setProperty("motion_limits", "Slow");
        QString msg = thrown<NotFoundError>([&] { move->setProperty("robot", "Ghost"); });
        QVERIFY2(msg.contains("Ghost") && msg.contains("Move"), qPrintable(msg));
        QVERIFY(!thrown<ValueError>([&] { move->setProperty("target", "Slow"); }).isNull());
        QVERIFY(!thrown<ValueError>([&] { move->setProperty("motion_limits", "Home"); }).isNull());
        QVERIFY(!thrown<NotFoundError>([&] { move->setProperty("target", "Nothing"); }).isNull());
        QVERIFY(!thrown<Error>([&] { move->setProperty("no_such_setting", "R"); }).isNull());
        QCOMPARE(move->reference("robot"), QString("R"));
        QCOMPARE(move->reference("target"), QString("Home"));
        QCOMPARE(move->reference("motion_limits"), QString("Slow"));
        move->setProperty("motion_limits", QString());
        QVERIFY(move->reference("motion_limits").isEmpty());

        auto* reach = new MoveToTaskRegion(&project, "Reach");
        QVERIFY(!thrown<NotFoundError>([&] { reach->setProperty("tool_frame", "T"); }).isNull());
        auto* wait = new Wait(&project, "Wait");
        wait->setProperty("duration", 2.5);
        for (double bad : {-1.0, double(NAN), double(INFINITY)})
            QVERIFY(!thrown<ValueError>([&] { wait->setProperty("duration", bad); }).isNull());
        QCOMPARE(wait->seconds("duration"), 2.5);
    }

    // --- variables and distributions -------------------------------------------------------

    void motionLimitsRejectBadVectors() {
        Project project;
        QVERIFY(!thrown<ValueError>([&] { new MotionLimits(&project, "L", vec({1, 1}), vec({1})); }).isNull());
        QVERIFY(!thrown<ValueError>([&] { new MotionLimits(&project, "L", vec({1, 0}), vec({1, 1})); }).isNull());
        QVERIFY(!thrown<ValueError>([&] { new MotionLimits(&project, "L", vec({1, 1}), vec({1, -2})); }).isNull());
        QVERIFY(!thrown<ValueError>([&] { new MotionLimits(&project, "L", vec({}), vec({})); }).isNull());
        QVERIFY(project.variables().isEmpty());
        auto* limits = new MotionLimits(&project, "L", vec({1, 2}), vec({3, 4}));
        QVERIFY(!thrown<ValueError>([&] { limits->setLimits(vec({1, 2, 3}), vec({3, 4})); }).isNull());
        QCOMPARE(limits->jointVelocity(), vec({1, 2}));
        QCOMPARE(limits->jointAcceleration(), vec({3, 4}));
    }

    void mixtureNeedsOneWeightPerTarget() {
        Project project;
        QVERIFY(!thrown<ValueError>([&] { new MixtureTarget(&project, "M", {"a", "b"}, {1.0}); }).isNull());
        QVERIFY(!thrown<ValueError>([&] { new MixtureTarget(&project, "M", {}, {}); }).isNull());
        QVERIFY(!thrown<ValueError>([&] { new MixtureTarget(&project, "M", {"a"}, {-1.0}); }).isNull());
        QVERIFY(project.variables().isEmpty());
        new MotionLimits(&project, "Limits", vec({1}), vec({1}));
        auto* mix = new MixtureTarget(&project, "M", {""}, {1.0});
        QVERIFY(!thrown<NotFoundError>([&] { mix->setComponents({"Ghost"}, {1.0}); }).isNull());
        QVERIFY(!thrown<ValueError>([&] { mix->setComponents({"Limits"}, {1.0}); }).isNull());
        QVERIFY(!thrown<ValueError>([&] { mix->setComponents({"M"}, {1.0}); }).isNull());
        QCOMPARE(mix->targetGenerators(), QStringList{""});
    }

    void createsDistributionsByTypeName_data() {
        QTest::addColumn<QString>("typeName");
        QTest::addColumn<int>("dim");
        QTest::addColumn<QString>("className");
        QTest::newRow("Deterministic") << QString("Deterministic") << 6 << QString("DeterministicDistribution");
        QTest::newRow("Uniform") << QString("Uniform") << 7 << QString("UniformDistribution");
        QTest::newRow("Gaussian") << QString("Gaussian") << 1 << QString("GaussianDistribution");
    }

    void createsDistributionsByTypeName() {
        QFETCH(QString, typeName);
        QFETCH(int, dim);
        QFETCH(QString, className);
        const std::unique_ptr<Distribution> d = Distribution::CreateFromTypename(typeName, dim);
        QCOMPARE(d->dim(), dim);
        QCOMPARE(d->typeName(), typeName);
        QCOMPARE(&d->type(), Type::find(className));
        RandomGenerator rng(1);
        QCOMPARE(d->sample(rng).size(), dim);
        QVERIFY(d->clone()->equals(*d));
    }

    void rejectsUnknownDistributions() {
        for (const QString& bad : {QString("Poisson"), QString(), QString("uniform")})
            QVERIFY(!thrown<ValueError>([&] { Distribution::CreateFromTypename(bad, 3); }).isNull());
        QVERIFY(!thrown<ValueError>([&] { Distribution::CreateFromTypename("Uniform", 0); }).isNull());
        QVERIFY(!thrown<ValueError>([&] { Distribution::CreateFromTypename("Gaussian", -1); }).isNull());
        QVERIFY(!thrown<ValueError>([&] { UniformDistribution(vec({1}), vec({0})); }).isNull());
        QVERIFY(!thrown<ValueError>([&] { GaussianDistribution(vec({0}), vec({-1})); }).isNull());
    }

    void seededSamplingIsRepeatable() {
        const UniformDistribution uniform(vec({-1, 0, 2}), vec({1, 0.5, 2}));
        const GaussianDistribution gaussian(vec({0.5, -0.5}), vec({0.2, 0.0}));
        RandomGenerator a(42), b(42), c(43);
        for (int i = 0; i < 5; ++i) {
            const Eigen::VectorXd u = uniform.sample(a), g = gaussian.sample(a);
            QCOMPARE(uniform.sample(b), u);
            QCOMPARE(gaussian.sample(b), g);
            QCOMPARE(g[1], -0.5);
        }
        QVERIFY(uniform.sample(a) != uniform.sample(c));
    }

    void uniformSamplesStayWithinBounds() {
        const Eigen::VectorXd lo = vec({-1, 0.25, 2, -3}), hi = vec({1, 0.5, 2, -2.9});
        const UniformDistribution uniform(lo, hi);
        RandomGenerator rng(5);
        Eigen::VectorXd smallest = hi, largest = lo;
        for (int i = 0; i < 2000; ++i) {
            const Eigen::VectorXd s = uniform.sample(rng);
            QVERIFY(((s.array() >= lo.array()) && (s.array() <= hi.array())).all());
            smallest = smallest.cwiseMin(s);
            largest = largest.cwiseMax(s);
        }
        // The samples fill the box rather than sitting in a corner.
        QVERIFY(((largest - smallest).array() >= 0.9 * (hi - lo).array()).all());
    }

    void poseGeneratorSamplesInsideItsRegion() {
        Project project;
        auto* region = new TaskRegion(project.workspace(), "Bin");
        region->setSize({0.4, 0.2, 0.1});
        region->setPose(makePose({0.6, -0.3, 0.4}, 0, 0, 0.7));
        PoseGenerator generator(&project);
        QVERIFY(!thrown<NotFoundError>([&] { generator.setTaskRegion("Nowhere"); }).isNull());
        RandomGenerator rng(3);
        QVERIFY(!thrown<NotFoundError>([&] { generator.sample(rng); }).isNull());
        generator.setTaskRegion("Bin");
        generator.setYawRange(0.5);
        double spread = 0;
        for (int i = 0; i < 500; ++i) {
            const Pose p = generator.sample(rng);
            QVERIFY(region->contains(p.translation()));
            QVERIFY(near(p.linear().col(2), {0, 0, -1}, 1e-9));
            spread = std::max(spread, (p.translation() - region->pose().translation()).norm());
        }
        QVERIFY(spread > 0.15);
        QVERIFY(!region->contains(region->pose() * Eigen::Vector3d(0.21, 0, 0)));
    }
};

QTEST_GUILESS_MAIN(TestModel)
#include "test_model.moc"
