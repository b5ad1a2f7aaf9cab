// The core library's model: types, names, placement, kinematics, tool frames, workspace state,
// behavior trees, variables and distributions.

#include "kestrin/cell_counts.h"
#include "kestrin/floor_grid.h"
#include "kestrin/users_index.h"
#include "kestrin/kestrin.h"

#include <QSet>
#include <QTemporaryDir>
#include <QtTest>

#include <cmath>
#include <map>

using namespace kestrin;

namespace {

const double kPi = std::acos(-1.0);

Eigen::VectorXd vec(std::initializer_list<double> values) {
    return Eigen::Map<const Eigen::VectorXd>(values.begin(), static_cast<Eigen::Index>(values.size()));
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

bool near(const Eigen::Vector3d& a, const Eigen::Vector3d& b, double tol) {
    return (a - b).norm() < tol;
}

QStringList names(const std::vector<WorkspaceObject*>& objects) {
    QStringList out;
    for (const WorkspaceObject* o : objects)
        out << o->name();
    return out;
}

/// Corners of what an object takes up on the floor: its body turned by its pose; a robot also
/// keeps about half its reach free around its base.
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
        const QList<const Type*> expected{&Sequence::staticType(), &MoveToJointTarget::staticType(),
                                          &MoveToTaskRegion::staticType(), &Wait::staticType(),
                                          &Grasp::staticType(),            &Release::staticType(),
                                          &MoveLinear::staticType()};
        QCOMPARE(Type::constructibleTypes(Behavior::staticType()), expected);
        QCOMPARE(Type::constructibleTypes(Action::staticType()), expected.mid(1));
        QCOMPARE(Type::constructibleTypes(Robot::staticType()).size(), 4);
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

    // --- placement -------------------------------------------------------------------------

    void newObjectsDoNotOverlapOnTheFloor_data() {
        QTest::addColumn<bool>("reloaded");
        QTest::newRow("as made") << false;
        QTest::newRow("saved and loaded") << true; // the floor is marked again from the file
    }

    void newObjectsDoNotOverlapOnTheFloor() {
        QFETCH(bool, reloaded);
        QTemporaryDir dir;
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
        first->setPose(makePose({3.0, 0.5, 0}, 0, 0, kPi / 4));
        if (reloaded) {
            const QString file = dir.filePath("cell.kestrin");
            project.save(file);
            project.load(file);
            // Moved and removed before anything was placed in the loaded cell.
            ws->objects().front()->setPose(makePose({-3.0, -2.0, 0}, 0, 0, 0.3));
            ws->remove(ws->objects().back());
        }
        const size_t before = ws->objects().size();
        (new CustomItem(ws, "Wide"))->setSize({2.0, 0.4, 0.5});
        for (int i = 0; i < 12; ++i)
            new Desk(ws, "Late desk");
        const std::vector<WorkspaceObject*> all = ws->objects();
        for (size_t i = 0; i < all.size(); ++i) {
            QVERIFY(all[i]->occupiesFloor());
            for (size_t j = std::max(i + 1, i == 0 ? before : 0); j < all.size(); ++j) {
                const auto [lo1, hi1] = floorRect(all[i]);
                const auto [lo2, hi2] = floorRect(all[j]);
                const bool overlap =
                    (lo1.array() < hi2.array() - 1e-9).all() && (lo2.array() < hi1.array() - 1e-9).all();
                QVERIFY2(!overlap,
                         qPrintable(QString("'%1' overlaps '%2'").arg(all[i]->name(), all[j]->name())));
            }
        }
    }

    void floorCellCountsMatchAPlainMap() {
        // Random adds and releases over a small patch (so probe runs collide and wrap) and over
        // far-apart cells; after every step the table must agree with a plain map.
        CellCounts table;
        std::map<std::pair<int, int>, int> expected;
        QRandomGenerator random(7);
        const auto check = [&] {
            QCOMPARE(table.size(), expected.size());
            for (const auto& [cell, n] : expected)
                QCOMPARE(table.count(cell.first, cell.second), n);
        };
        for (int step = 0; step < 20000; ++step) {
            const bool far = random.bounded(10) == 0;
            const int x = far ? int(random.generate()) : random.bounded(-6, 6);
            const int y = far ? int(random.generate()) : random.bounded(-6, 6);
            if (random.bounded(100) < 55) {
                table.add(x, y);
                ++expected[{x, y}];
            } else {
                table.release(x, y);
                if (auto it = expected.find({x, y}); it != expected.end() && --it->second == 0)
                    expected.erase(it);
            }
            if (step % 97 == 0)
                check();
        }
        check();
        // Whole footprints, as the workspace marks them.
        const QRect a(QPoint(-3, -3), QPoint(2, 4)), b(QPoint(1, 1), QPoint(5, 5));
        CellCounts floor;
        floor.addAll(a);
        floor.addAll(b);
        QCOMPARE(floor.count(1, 1), 2);
        QVERIFY(!floor.noneIn(QRect(QPoint(5, 5), QPoint(9, 9))));
        QVERIFY(floor.noneIn(QRect(QPoint(6, 6), QPoint(9, 9))));
        floor.releaseAll(a);
        QCOMPARE(floor.size(), std::size_t(b.width() * b.height()));
        QVERIFY(floor.noneIn(QRect(QPoint(-3, -3), QPoint(0, 0))));
        floor.releaseAll(b);
        QCOMPARE(floor.size(), std::size_t(0));
    }

    // Large footprints are marked in blocks: the grid's entries stay a few hundred per object
    // however large it is, and overlapping ones share them. Small and large still keep apart.
    void floorGridStaysSmallForLargeOverlappingFootprints() {
        FloorGrid grid;
        const QRect desk50(QPoint(-101, -101), QPoint(100, 100)); // a 50 m desk in 0.25 m cells
        QVERIFY(FloorGrid::isLarge(desk50));
        for (int i = 0; i < 2000; ++i)
            grid.addAll(desk50);
        QCOMPARE(grid.size(), FloorGrid::entriesFor(desk50));
        QVERIFY(grid.size() < 400);
        // Spread apart, each adds only its own blocks.
        FloorGrid spread;
        for (int i = 0; i < 100; ++i)
            spread.addAll(desk50.translated(i * 1000, 0));
        QVERIFY(spread.size() >= 100 * 13 * 13 && spread.size() <= 100 * 15 * 15);

        const QRect small(QPoint(200, 0), QPoint(203, 3));
        QVERIFY(!FloorGrid::isLarge(small));
        QVERIFY(!grid.noneIn(QRect(QPoint(100, 100), QPoint(101, 101)))); // touches the desk
        QVERIFY(grid.noneIn(small));
        grid.addAll(small);
        QVERIFY(!grid.noneIn(QRect(QPoint(203, 3), QPoint(205, 5))));
        QVERIFY(grid.noneIn(QRect(QPoint(204, 4), QPoint(205, 5)))); // small ones are exact
        // A large footprint is kept clear of the blocks a small one touches.
        const QRect large(QPoint(190, -20), QPoint(230, 20));
        QVERIFY(FloorGrid::isLarge(large));
        QVERIFY(!grid.noneIn(large));
        QVERIFY(grid.noneIn(large.translated(64, 0)));
        grid.releaseAll(small);
        QVERIFY(grid.noneIn(large));
        for (int i = 0; i < 2000; ++i)
            grid.releaseAll(desk50);
        QCOMPARE(grid.size(), std::size_t(0));
        // Negative cells fall in the blocks below zero.
        QCOMPARE(FloorGrid::blocksOf(QRect(QPoint(-1, -16), QPoint(15, -17 + 1))),
                 QRect(QPoint(-1, -1), QPoint(0, -1)));
        QCOMPARE(FloorGrid::blocksOf(QRect(QPoint(-17, 0), QPoint(-17, 0))), QRect(QPoint(-2, 0), QPoint(-2, 0)));
    }

    // Positions and sizes stay plant-sized in every setter, and what a robot sets down past the
    // edge stays within it, so that the cell always saves as a file that loads.
    void positionsAndSizesStayWithinTheCell() {
        Project project;
        Workspace* ws = project.workspace();
        auto* desk = new Desk(ws, "Desk");
        desk->setPose(makePose({1000, -1000, 1000}));
        QCOMPARE(desk->transform().position, Eigen::Vector3d(1000, -1000, 1000));
        for (const Eigen::Vector3d& far : {Eigen::Vector3d(5000, 0, 0), Eigen::Vector3d(0, -1000.001, 0),
                                           Eigen::Vector3d(0, 0, 1e308)}) {
            try {
                desk->setPose(makePose(far));
                QFAIL("a pose past the cell's bound was taken");
            } catch (const ValueError& e) {
                QVERIFY2(e.message().contains("within 1000 m of the cell's origin"), qPrintable(e.message()));
            }
            QCOMPARE(desk->transform().position, Eigen::Vector3d(1000, -1000, 1000));
        }
        QVERIFY_EXCEPTION_THROWN(desk->setSize({50.001, 1, 1}), ValueError);
        desk->setSize({50, 50, 50});
        QCOMPARE(desk->size(), Eigen::Vector3d(50, 50, 50));

        // A robot at the edge sets an item down beyond it: the item stays at the edge.
        auto* robot = new UR5eRobot(ws, "Arm");
        robot->setPose(makePose({999.9, 0, 0}));
        auto* tool = new ToolFrame(ws, "Tip");
        tool->setOffset(makePose({0, 0, 0.15}));
        QVERIFY_EXCEPTION_THROWN(tool->setOffset(makePose({0, 0, 50.5})), ValueError);
        QCOMPARE(tool->offset().position.z(), 0.15);
        robot->addToolFrame(tool);
        auto* item = new CustomItem(ws, "Part");
        item->holdWith(tool, Transform::fromPose(tool->pose().inverse() * makePose({1001, 0, 0.5})));
        QVERIFY(item->pose().translation().x() > 1000.5);
        item->holdWith(nullptr);
        QVERIFY(isWithinCell(item->transform().position));
        QCOMPARE(item->transform().position.x(), 1000.0);
    }

    void distributionsAndListsStayWithinAJointCount() {
        QVERIFY_EXCEPTION_THROWN(DeterministicDistribution(Eigen::VectorXd::Zero(65)), ValueError);
        QVERIFY_EXCEPTION_THROWN(UniformDistribution(Eigen::VectorXd::Zero(65), Eigen::VectorXd::Ones(65)), ValueError);
        QVERIFY_EXCEPTION_THROWN(GaussianDistribution(Eigen::VectorXd::Zero(100000), Eigen::VectorXd::Ones(100000)),
                                 ValueError);
        QCOMPARE(DeterministicDistribution(Eigen::VectorXd::Zero(64)).dim(), 64);
        Project project;
        QVERIFY_EXCEPTION_THROWN(MixtureTarget(&project, "Mix", QVector<QString>(65).toList(), std::vector<double>(65, 1.0)),
                                 ValueError);
        QVERIFY(project.variableList().empty());
        new MixtureTarget(&project, "Mix", QVector<QString>(64).toList(), std::vector<double>(64, 1.0));
        QCOMPARE(project.variableList().size(), size_t(1));
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
        new JointPositionTarget(&project, "Home", std::make_unique<DeterministicDistribution>(Eigen::VectorXd::Zero(6)));
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
        add(new MoveToJointTarget(&project, "Home run"), {{"robot", "Arm"}, {"target", "Home"}, {"motion_limits", "Slow"}});
        add(new MoveToTaskRegion(&project, "Reach"), {{"robot", "Arm"}, {"tool_frame", "Tip"}, {"target", "In bin"}});
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

    void removedAndMovedObjectsFreeTheirFloor() {
        Project project;
        Workspace* ws = project.workspace();
        auto* first = new Desk(ws, "First");
        auto* second = new Desk(ws, "Second");
        QVERIFY(!near(first->pose().translation(), second->pose().translation(), 1e-9));
        ws->remove(first);
        // The spot at the origin is free again: the next desk goes there.
        QVERIFY(near((new Desk(ws, "Third"))->pose().translation(), Eigen::Vector3d::Zero(), 1e-9));
        // A desk moved away leaves its spot to the next desk; the new spot is taken.
        const Eigen::Vector3d left = second->pose().translation();
        second->setPose(makePose({40, 40, 0}, 0, 0, 0));
        QVERIFY(near((new Desk(ws, "Fourth"))->pose().translation(), left, 1e-9));
        auto* fifth = new Desk(ws, "Fifth");
        fifth->setPose(makePose({40, 40, 0}, 0, 0, 0)); // a user may stack objects by hand
        ws->remove(fifth);
        // The moved desk still holds its cells after the one stacked on it left.
        auto* sixth = new Desk(ws, "Sixth");
        const auto [lo1, hi1] = floorRect(sixth);
        const auto [lo2, hi2] = floorRect(second);
        QVERIFY(!((lo1.array() < hi2.array()).all() && (lo2.array() < hi1.array()).all()));
    }

    // --- kinematics ------------------------------------------------------------------------

    void flangeMatchesPublishedPoses() {
        Project project;
        auto* ur = new UR5eRobot(project.workspace(), "UR");
        QVERIFY(
            near(ur->flangeInBase(Eigen::VectorXd::Zero(6)).translation(), {-0.8172, -0.2329, 0.0628}, 1e-3));
        auto* panda = new FrankaPandaRobot(project.workspace(), "Panda");
        const Pose zero = panda->flangeInBase(Eigen::VectorXd::Zero(7));
        QVERIFY(near(zero.translation(), {0.088, 0, 0.926}, 1e-3));
        QVERIFY((zero.linear() - makePose({0, 0, 0}, kPi, 0, 0).linear()).norm() < 1e-3);
        const Eigen::VectorXd ready = vec({0, -kPi / 4, 0, -3 * kPi / 4, 0, kPi / 2, kPi / 4});
        QVERIFY(near(panda->flangeInBase(ready).translation(), {0.3069, 0, 0.5903}, 1e-3));
        QCOMPARE(ur->getNumDofs(), 6);
        QCOMPARE(panda->getNumDofs(), 7);
        QCOMPARE((new UR3eRobot(project.workspace(), "3"))->getNumDofs(), 6);
        QCOMPARE((new UR10eRobot(project.workspace(), "10"))->getNumDofs(), 6);
    }

    void flangeFollowsTheRobotBase() {
        Project project;
        auto* ur = new UR5eRobot(project.workspace(), "UR");
        ur->setJointPositions(Eigen::VectorXd::Zero(6));
        ur->setPose(makePose({1, 2, 0.5}, 0, 0, kPi / 2));
        // The base-frame flange (-0.8172, -0.2329, 0.0628) turned a quarter about z, then moved.
        QVERIFY(near(ur->flangePose().translation(), {1 + 0.2329, 2 - 0.8172, 0.5 + 0.0628}, 1e-3));
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
        QVERIFY_EXCEPTION_THROWN(ur->setJointPositions(vec({0, 0, 0, 0, 0})), ValueError);
        QVERIFY_EXCEPTION_THROWN(ur->setJointPositions(vec({0, 0, 0, NAN, 0, 0})), ValueError);
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
        const Eigen::ArrayXd lo = robot->lowerLimits().array(), hi = robot->upperLimits().array();
        RandomGenerator rng(7);
        std::uniform_real_distribution<double> uniform(0.0, 1.0);
        for (int trial = 0; trial < 10; ++trial) {
            // Away from the limits, so that the seed, 0.05 rad off, is valid too.
            const Eigen::ArrayXd unit = Eigen::ArrayXd::NullaryExpr(lo.size(), [&] { return uniform(rng); });
            const Eigen::VectorXd q = lo.max(-kPi) + 0.1 + unit * (hi.min(kPi) - lo.max(-kPi) - 0.2);
            robot->setJointPositions(q);
            const Pose target = robot->flangePose();
            const std::optional<Eigen::VectorXd> found = robot->solveIK(target, q.array() + 0.05);
            QVERIFY2(found.has_value(), qPrintable(QString("trial %1").arg(trial)));
            QVERIFY((found->array() >= lo).all() && (found->array() <= hi).all());
            robot->setJointPositions(*found);
            QVERIFY(near(robot->flangePose().translation(), target.translation(), 1e-4));
            QVERIFY(Eigen::AngleAxisd(robot->flangePose().linear().transpose() * target.linear()).angle() <
                    1e-4);
        }
        Pose far = robot->flangePose();
        far.translation() += Eigen::Vector3d(5, 0, 0);
        QVERIFY(!robot->solveIK(far, robot->jointPositions()).has_value());
    }

    // KDL's Vector::Norm() reads 0 while every component is below 1e-6, so solutions up to
    // 1.7e-6 off were taken as exact: one pose in fifty, the first of these among them.
    void inverseKinematicsSolutionsLieWithinAMicrometreAndAMicroradian_data() {
        QTest::addColumn<QString>("model");
        for (const char* m : {"UR3eRobot", "UR5eRobot", "UR10eRobot", "FrankaPandaRobot"})
            QTest::newRow(m) << QString(m);
    }

    void inverseKinematicsSolutionsLieWithinAMicrometreAndAMicroradian() {
        QFETCH(QString, model);
        Project project;
        auto* robot = static_cast<Robot*>(Type::find(model)->constructObject(project.workspace(), "R"));
        const Eigen::ArrayXd lo = robot->lowerLimits().array(), hi = robot->upperLimits().array();
        std::vector<Eigen::VectorXd> poses;
        if (model == "UR5eRobot")
            poses.push_back(vec({-4.6008417819114706, -4.5690439337955819, -0.30652579937334101,
                                 -6.0189870610140526, -1.8736695615038448, 5.1692776852511653}));
        RandomGenerator rng(11);
        std::uniform_real_distribution<double> uniform(0.0, 1.0);
        while (poses.size() < 300) {
            const Eigen::ArrayXd unit = Eigen::ArrayXd::NullaryExpr(lo.size(), [&] { return uniform(rng); });
            poses.push_back(lo + 0.02 + unit * (hi - lo - 0.04));
        }
        for (const Eigen::VectorXd& q : poses) {
            robot->setJointPositions(q);
            const Pose target = robot->flangePose();
            const Eigen::VectorXd seed = q.array() + 0.01;
            for (const auto& found : {robot->solveIK(target, seed), robot->solveIKNear(target, seed)}) {
                QVERIFY(found.has_value());
                robot->setJointPositions(*found);
                const Pose reached = robot->flangePose();
                const double offBy = (reached.translation() - target.translation()).norm();
                const double turnedBy =
                    Eigen::AngleAxisd(reached.linear().transpose() * target.linear()).angle();
                QVERIFY2(offBy <= 1e-6 && turnedBy <= 1e-6,
                         qPrintable(QString("%1 m, %2 rad off").arg(offBy).arg(turnedBy)));
                robot->setJointPositions(q);
            }
        }
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

    // --- behaviors -------------------------------------------------------------------------

    void behaviorsTakeOnePlaceAndFormNoCycle() {
        Project project;
        auto* top = new Sequence(&project, "Top");
        auto* mid = new Sequence(&project, "Mid");
        auto* leaf = new Wait(&project, "Leaf");
        QVERIFY_EXCEPTION_THROWN(leaf->_addChild(new Sequence(&project, "Under a leaf")), ValueError);
        QVERIFY(leaf->children().empty());
        top->_addChild(mid);
        mid->_addChild(leaf);
        QVERIFY_EXCEPTION_THROWN(top->_addChild(mid), ValueError);
        QVERIFY_EXCEPTION_THROWN(top->_addChild(leaf), ValueError);
        QVERIFY_EXCEPTION_THROWN(mid->_addChild(top), ValueError);
        QVERIFY_EXCEPTION_THROWN(top->_addChild(top), ValueError);
        QCOMPARE(top->children(), std::vector<Behavior*>{mid});
        QCOMPARE(mid->children(), std::vector<Behavior*>{leaf});
        QVERIFY(!top->parent());
        project.addProgram(top);
        QVERIFY_EXCEPTION_THROWN(project.addProgram(top), ValueError);
        QVERIFY_EXCEPTION_THROWN(project.addProgram(mid), ValueError);
        Project other;
        QVERIFY_EXCEPTION_THROWN(top->_addChild(new Wait(&other, "Elsewhere")), ValueError);
        QCOMPARE(project.programList(), std::vector<Behavior*>{top});
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
        QVERIFY(!loose->isAttached());
        QVERIFY(!project.findBehavior("Loose"));
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
        const QString msg = thrown<NotFoundError>([&] { move->setProperty("robot", "Ghost"); });
        QVERIFY2(msg.contains("Ghost") && msg.contains("Move"), qPrintable(msg));
        QVERIFY_EXCEPTION_THROWN(move->setProperty("target", "Slow"), ValueError);
        QVERIFY_EXCEPTION_THROWN(move->setProperty("motion_limits", "Home"), ValueError);
        QVERIFY_EXCEPTION_THROWN(move->setProperty("target", "Nothing"), NotFoundError);
        QVERIFY_EXCEPTION_THROWN(move->setProperty("no_such_setting", "R"), Error);
        QCOMPARE(move->reference("robot"), QString("R"));
        QCOMPARE(move->reference("target"), QString("Home"));
        QCOMPARE(move->reference("motion_limits"), QString("Slow"));
        move->setProperty("motion_limits", QString());
        QVERIFY(move->reference("motion_limits").isEmpty());
        QVERIFY_EXCEPTION_THROWN((new MoveToTaskRegion(&project, "Reach"))->setProperty("tool_frame", "T"),
                                 NotFoundError);
        auto* wait = new Wait(&project, "Wait");
        wait->setProperty("duration", 2.5);
        for (double bad : {-1.0, double(NAN), double(INFINITY)})
            QVERIFY_EXCEPTION_THROWN(wait->setProperty("duration", bad), ValueError);
        QCOMPARE(wait->seconds("duration"), 2.5);
    }

    // --- variables and distributions -------------------------------------------------------

    void variablesRejectMismatchedVectors() {
        Project project;
        QVERIFY_EXCEPTION_THROWN(new MotionLimits(&project, "L", vec({1, 1}), vec({1})), ValueError);
        QVERIFY_EXCEPTION_THROWN(new MotionLimits(&project, "L", vec({1, 0}), vec({1, 1})), ValueError);
        QVERIFY_EXCEPTION_THROWN(new MotionLimits(&project, "L", vec({1, 1}), vec({1, -2})), ValueError);
        QVERIFY_EXCEPTION_THROWN(new MotionLimits(&project, "L", vec({}), vec({})), ValueError);
        QVERIFY_EXCEPTION_THROWN(new MixtureTarget(&project, "M", {"a", "b"}, {1.0}), ValueError);
        QVERIFY_EXCEPTION_THROWN(new MixtureTarget(&project, "M", {}, {}), ValueError);
        QVERIFY_EXCEPTION_THROWN(new MixtureTarget(&project, "M", {"a"}, {-1.0}), ValueError);
        QVERIFY(project.variables().isEmpty());
        auto* limits = new MotionLimits(&project, "L", vec({1, 2}), vec({3, 4}));
        QVERIFY_EXCEPTION_THROWN(limits->setLimits(vec({1, 2, 3}), vec({3, 4})), ValueError);
        QCOMPARE(limits->jointVelocity(), vec({1, 2}));
        auto* mix = new MixtureTarget(&project, "M", {""}, {1.0});
        QVERIFY_EXCEPTION_THROWN(mix->setComponents({"Ghost"}, {1.0}), NotFoundError);
        QVERIFY_EXCEPTION_THROWN(mix->setComponents({"L"}, {1.0}), ValueError);
        QVERIFY_EXCEPTION_THROWN(mix->setComponents({"M"}, {1.0}), ValueError);
        QCOMPARE(mix->targetGenerators(), QStringList{""});
    }

    void createsDistributionsByTypeName_data() {
        QTest::addColumn<QString>("typeName");
        QTest::addColumn<int>("dim");
        QTest::newRow("Deterministic") << QString("Deterministic") << 6;
        QTest::newRow("Uniform") << QString("Uniform") << 7;
        QTest::newRow("Gaussian") << QString("Gaussian") << 1;
    }

    void createsDistributionsByTypeName() {
        QFETCH(QString, typeName);
        QFETCH(int, dim);
        const std::unique_ptr<Distribution> d = Distribution::CreateFromTypename(typeName, dim);
        QCOMPARE(d->dim(), dim);
        QCOMPARE(d->typeName(), typeName);
        QCOMPARE(&d->type(), Type::find(typeName + "Distribution"));
        RandomGenerator rng(1);
        QCOMPARE(d->sample(rng).size(), dim);
        QVERIFY(d->clone()->equals(*d));
    }

    void rejectsUnknownDistributions() {
        for (const QString& bad : {QString("Poisson"), QString(), QString("uniform")})
            QVERIFY_EXCEPTION_THROWN(Distribution::CreateFromTypename(bad, 3), ValueError);
        QVERIFY_EXCEPTION_THROWN(Distribution::CreateFromTypename("Uniform", 0), ValueError);
        QVERIFY_EXCEPTION_THROWN(Distribution::CreateFromTypename("Gaussian", -1), ValueError);
        QVERIFY_EXCEPTION_THROWN(UniformDistribution(vec({1}), vec({0})), ValueError);
        QVERIFY_EXCEPTION_THROWN(GaussianDistribution(vec({0}), vec({-1})), ValueError);
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

    void uniformSamplesFillTheirBounds() {
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
        QVERIFY(((largest - smallest).array() >= 0.9 * (hi - lo).array()).all());
    }

    void poseGeneratorSamplesInsideItsRegion() {
        Project project;
        auto* region = new TaskRegion(project.workspace(), "Bin");
        region->setSize({0.4, 0.2, 0.1});
        region->setPose(makePose({0.6, -0.3, 0.4}, 0, 0, 0.7));
        PoseGenerator generator(&project);
        QVERIFY_EXCEPTION_THROWN(generator.setTaskRegion("Nowhere"), NotFoundError);
        RandomGenerator rng(3);
        QVERIFY_EXCEPTION_THROWN(generator.sample(rng), NotFoundError);
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
