// Editing a cell and its programs in the core library: moving behaviors, copy and paste, and
// where objects are set down.

#include "model_support.h"

#include "kestrin/copied_parts.h"
#include "kestrin/placement.h"
#include "kestrin/program_editing.h"

#include <QtTest>

#include <cmath>

using namespace kestrin;
using namespace model_test;

namespace {

QStringList childNames(const Behavior* b) {
    QStringList out;
    for (const Behavior* c : b->children())
        out << c->name();
    return out;
}

QStringList programNames(const Project& p) {
    QStringList out;
    for (const Behavior* b : p.programList())
        out << b->name();
    return out;
}

/// A robot with a tool frame and a gripper, a target for it, and a pick program:
/// Pick: Approach (to Above), Close (Grasp), Pause (Wait). Also a program "Other".
struct PickCell {
    Project project;
    Robot* arm;
    Sequence* pick;

    PickCell() {
        Workspace* ws = project.workspace();
        arm = new UR5eRobot(ws, "Arm");
        arm->addToolFrame(new ToolFrame(ws, "Tip"));
        (new RobotiqGripper2F85(ws, "Gripper"))->mountOn(arm);
        new JointPositionTarget(&project, "Above",
                                std::make_unique<DeterministicDistribution>(arm->homePositions()));
        pick = new Sequence(&project, "Pick");
        project.addProgram(pick);
        auto* approach = new MoveToJointTarget(&project, "Approach");
        approach->setProperty("robot", "Arm");
        approach->setProperty("target", "Above");
        pick->_addChild(approach);
        auto* close = new Grasp(&project, "Close");
        close->setProperty("robot", "Arm");
        close->setProperty("tool_frame", "Tip");
        pick->_addChild(close);
        pick->_addChild(new Wait(&project, "Pause"));
        project.addProgram(new Sequence(&project, "Other"));
        project.history().reset();
    }
    Behavior* find(const QString& name) { return project.findBehavior(name); }
};

/// The footprints of two objects overlap (each as the floor grid's test sees it).
bool overlapOnFloor(const WorkspaceObject* a, const WorkspaceObject* b) {
    const auto [lo1, hi1] = floorRect(a);
    const auto [lo2, hi2] = floorRect(b);
    return (lo1.array() < hi2.array() - 1e-9).all() && (lo2.array() < hi1.array() - 1e-9).all();
}

/// Bottom and top of an object as it stands.
std::pair<double, double> heightRange(const WorkspaceObject* o) {
    const double bottom = o->pose().translation().z() - baseHeight(*o);
    return {bottom, bottom + standingHeight(*o)};
}

} // namespace

class TestEditing : public QObject {
    Q_OBJECT

private slots:
    // --- moving behaviors ------------------------------------------------------------------

    void reorderAndReparentAreSavedAndUndoneInOneStep() {
        PickCell cell;
        Project& p = cell.project;
        const QByteArray before = p.fileText();

        QVERIFY(shiftBehavior(cell.find("Pause"), -1));
        QCOMPARE(childNames(cell.pick), (QStringList{"Approach", "Pause", "Close"}));
        QVERIFY(p.history().record("Move Up"));
        QVERIFY(!shiftBehavior(cell.find("Approach"), -1)); // first already
        QVERIFY(!shiftBehavior(cell.find("Close"), 1));     // last already

        // Below another program, then that program to the front of the programs.
        moveBehavior(cell.find("Close"), cell.find("Other"), 0);
        moveBehavior(cell.find("Other"), nullptr, 0);
        QCOMPARE(childNames(cell.pick), (QStringList{"Approach", "Pause"}));
        QCOMPARE(childNames(cell.find("Other")), QStringList{"Close"});
        QCOMPARE(programNames(p), (QStringList{"Other", "Pick"}));
        QVERIFY(p.history().record("Move"));

        // Saved as it is shown, and read back so.
        QTemporaryDir dir;
        const QString file = dir.filePath("moved.kestrin");
        p.save(file);
        Project loaded;
        loaded.load(file);
        QCOMPARE(programNames(loaded), (QStringList{"Other", "Pick"}));
        QCOMPARE(childNames(loaded.findBehavior("Other")), QStringList{"Close"});

        // Each move is one step, and undoing both gives the first file back.
        p.history().undo();
        QCOMPARE(programNames(p), (QStringList{"Pick", "Other"}));
        QCOMPARE(childNames(cell.pick), (QStringList{"Approach", "Pause", "Close"}));
        p.history().undo();
        QCOMPARE(p.fileText(), before);
        p.history().redo();
        p.history().redo();
        QCOMPARE(childNames(p.findBehavior("Other")), QStringList{"Close"});
    }

    void movesThatCannotBeMadeChangeNothing() {
        PickCell cell;
        Project& p = cell.project;
        const QByteArray before = p.fileText();
        QString message =
            thrown<ValueError>([&] { moveBehavior(cell.find("Pause"), cell.find("Close"), 0); });
        QVERIFY2(message.contains("'Close' is an action"), qPrintable(message));
        message = thrown<ValueError>([&] { moveBehavior(cell.pick, cell.pick, 0); });
        QVERIFY2(message.contains("below itself"), qPrintable(message));
        auto* inner = new Sequence(&p, "Inner");
        cell.pick->_addChild(inner);
        message = thrown<ValueError>([&] { moveBehavior(cell.pick, inner, 0); });
        QVERIFY2(message.contains("below itself"), qPrintable(message));
        p.removeBehavior(inner);
        auto* loose = new Wait(&p, "Loose"); // in no program
        QVERIFY(!thrown<ValueError>([&] { moveBehavior(loose, cell.pick, 0); }).isNull());
        QCOMPARE(p.fileText(), before);
        QCOMPARE(siblingIndex(loose), -1);
    }

    void aDeepProgramIsNotNestedPastTheLimit() {
        Project p;
        auto* top = new Sequence(&p, "Top");
        p.addProgram(top);
        Behavior* last = top;
        for (int i = 1; i < kMaxBehaviorDepth; ++i) {
            auto* s = new Sequence(&p, QStringLiteral("S%1").arg(i));
            last->_addChild(s);
            last = s;
        }
        auto* other = new Sequence(&p, "Other");
        p.addProgram(other);
        other->_addChild(new Wait(&p, "W"));
        const QString message = thrown<ValueError>([&] { moveBehavior(other, last, 0); });
        QVERIFY2(message.contains("levels deep"), qPrintable(message));
        QVERIFY(other->isProgram());
        QCOMPARE(siblingIndex(other), 1);
    }

    // --- copy and paste ----------------------------------------------------------------------

    void pastedSubtreeRefersToTheCopiesOfWhatWasCopiedWithIt() {
        PickCell cell;
        Project& p = cell.project;
        Workspace* ws = p.workspace();
        const CopiedParts parts =
            CopiedParts::copy({cell.arm}, {p.findVariable("Above")}, {cell.pick, cell.find("Close")});
        // The robot took its tool frame and gripper along; Close goes with Pick only.
        QCOMPARE(parts.partCount(), 3 + 1 + 4);

        const CopiedParts::Pasted pasted = parts.pasteInto(p);
        QCOMPARE(int(pasted.behaviors.size()), 1);
        Behavior* copy = pasted.behaviors.front();
        QCOMPARE(copy->name(), QString("Pick 2"));
        QVERIFY(copy->isProgram());
        QCOMPARE(childNames(copy), (QStringList{"Approach 2", "Close 2", "Pause 2"}));
        auto* approach = static_cast<Action*>(copy->children()[0]);
        auto* close = static_cast<Action*>(copy->children()[1]);
        QCOMPARE(approach->reference("robot"), QString("Arm 2"));
        QCOMPARE(approach->reference("target"), QString("Above 2"));
        QCOMPARE(close->reference("robot"), QString("Arm 2"));
        QCOMPARE(close->reference("tool_frame"), QString("Tip 2"));
        // The copied robot carries copies of its frame and gripper; the originals are untouched.
        Robot* arm2 = ws->findRobot("Arm 2");
        QVERIFY(arm2);
        QCOMPARE(int(arm2->toolFrames().size()), 1);
        QCOMPARE(arm2->toolFrames().front()->name(), QString("Tip 2"));
        QCOMPARE(int(arm2->mountedEffectors().size()), 1);
        QCOMPARE(arm2->mountedEffectors().front()->name(), QString("Gripper 2"));
        QCOMPARE(cell.arm->toolFrames().front()->name(), QString("Tip"));
        QCOMPARE(static_cast<Action*>(cell.find("Approach"))->reference("robot"), QString("Arm"));
        QVERIFY(!overlapOnFloor(arm2, cell.arm));
        // Every renaming is said.
        QVERIFY(pasted.renamed.contains("Behavior 'Pick' was pasted as 'Pick 2'"));
        QVERIFY(pasted.renamed.contains("Robot 'Arm' was pasted as 'Arm 2'"));
        QVERIFY(pasted.renamed.contains("Variable 'Above' was pasted as 'Above 2'"));
    }

    void pastedSubtreeKeepsReferencesToWhatWasNotCopied() {
        PickCell cell;
        Project& p = cell.project;
        const CopiedParts parts = CopiedParts::copy({}, {}, {cell.find("Approach")});
        // Pasted twice, after Approach: names count on.
        const auto first = parts.pasteInto(p, cell.pick, 1);
        const auto second = parts.pasteInto(p, cell.pick, 2);
        QCOMPARE(childNames(cell.pick),
                 (QStringList{"Approach", "Approach 2", "Approach 3", "Close", "Pause"}));
        auto* copy = static_cast<Action*>(second.behaviors.front());
        QCOMPARE(copy->reference("robot"), QString("Arm"));
        QCOMPARE(copy->reference("target"), QString("Above"));
        QCOMPARE(first.renamed, QStringList{"Behavior 'Approach' was pasted as 'Approach 2'"});
    }

    void mixtureAndRegionTargetsFollowTheirCopies() {
        Project p;
        auto* arm = new UR5eRobot(p.workspace(), "Arm");
        auto* region = new TaskRegion(p.workspace(), "Bin");
        auto* a = new JointPositionTarget(&p, "A",
                                          std::make_unique<DeterministicDistribution>(arm->homePositions()));
        // "A 2" exists already: the copy of A must not be confused with it.
        auto* a2 = new JointPositionTarget(&p, "A 2",
                                           std::make_unique<DeterministicDistribution>(arm->homePositions()));
        auto generator = std::make_unique<PoseGenerator>(&p);
        generator->setTaskRegion("Bin");
        auto* inBin = new TaskRegionTarget(&p, "InBin", std::move(generator), nullptr);
        auto* mix = new MixtureTarget(&p, "Mix", {"A", "A 2", "InBin"}, {1, 1, 1});
        const CopiedParts parts = CopiedParts::copy({region}, {a, inBin, mix}, {});
        const auto pasted = parts.pasteInto(p);
        QCOMPARE(int(pasted.variables.size()), 3);
        auto* mixCopy = dynamic_cast<MixtureTarget*>(p.findVariable("Mix 2"));
        QVERIFY(mixCopy);
        // A was copied (its copy is "A 3"); "A 2" was not, and stays the original.
        QCOMPARE(mixCopy->targetGenerators(), (QStringList{"A 3", "A 2", "InBin 2"}));
        auto* regionTarget = dynamic_cast<TaskRegionTarget*>(p.findVariable("InBin 2"));
        QVERIFY(regionTarget);
        QCOMPARE(regionTarget->poseGenerator().taskRegion(), QString("Bin 2"));
        QVERIFY(a2);
    }

    void aPasteThatFailsLeavesNothingBehindAndIsOneUndoStepWhenItWorks() {
        PickCell cell;
        Project& p = cell.project;
        const CopiedParts parts = CopiedParts::copy({}, {}, {cell.pick});
        const QByteArray before = p.fileText();
        const int behaviors = int(p.behaviorList().size());
        // Below an action: refused, naming it.
        QString message = thrown<ValueError>([&] { parts.pasteInto(p, cell.find("Pause"), 0); });
        QVERIFY2(message.contains("'Pause'"), qPrintable(message));
        // A target that is gone since the copy was taken (and was not copied).
        p.removeVariable(p.findVariable("Above"));
        p.history().record("Delete");
        const QByteArray withoutTarget = p.fileText();
        QVERIFY(!thrown<Error>([&] { parts.pasteInto(p); }).isNull());
        QCOMPARE(p.fileText(), withoutTarget);
        QCOMPARE(int(p.behaviorList().size()), behaviors);
        p.history().undo();
        QCOMPARE(p.fileText(), before);

        // A paste that works is taken back whole by one undo.
        parts.pasteInto(p);
        QVERIFY(p.history().record("Paste"));
        QVERIFY(p.findBehavior("Pick 2"));
        p.history().undo();
        QCOMPARE(p.fileText(), before);
    }

    // --- placement ---------------------------------------------------------------------------

    void eachKindLandsNearThePointClearOfACrowdedCell() {
        Project p;
        Workspace* ws = p.workspace();
        // A crowd around the point asked for.
        (new Desk(ws, "Bench"))->setPose(makePose({0, 0, 0}));
        (new UR10eRobot(ws, "Big"))->setPose(makePose({1.2, 0, 0}));
        (new CustomItem(ws, "Crate"))->setPose(makePose({-0.9, 0.2, 0.05}));
        (new Desk(ws, "Side"))->setPose(makePose({0, 1.2, 0}, 0, 0, kPi / 2));
        (new TaskRegion(ws, "Zone"))->setPose(makePose({0, -1, 0.3}));
        const Eigen::Vector3d point(0.1, -1.0, 0); // on the floor, in front of the bench
        const std::vector<const Type*> kinds = {&UR5eRobot::staticType(),
                                                &FrankaPandaRobot::staticType(),
                                                &RobotiqGripper2F85::staticType(),
                                                &CustomItem::staticType(),
                                                &Desk::staticType(),
                                                &TaskRegion::staticType(),
                                                &RealsenseD435i::staticType(),
                                                &VisualMarker::staticType()};
        for (const Type* kind : kinds) {
            WorkspaceObject* made = kind->constructObject(ws, "New");
            const Spot spot = placeNear(*made, point);
            QVERIFY2(spot.found, qPrintable(kind->name()));
            QCOMPARE(made->pose().translation(), spot.position);
            // Near: within a few metres of the point.
            QVERIFY2((made->pose().translation() - point).head<2>().norm() < 3.0, qPrintable(kind->name()));
            // Resting on the floor.
            QVERIFY2(std::abs(heightRange(made).first) < 1e-9, qPrintable(kind->name()));
            for (const WorkspaceObject* other : ws->objects()) {
                if (other == made ||
                    (other->kind() == ObjectKind::TaskRegion) != (made->kind() == ObjectKind::TaskRegion))
                    continue;
                QVERIFY2(!overlapOnFloor(made, other),
                         qPrintable(QString("%1 overlaps '%2'").arg(kind->name(), other->name())));
            }
        }
    }

    void noSpotIsTakenOutsideTheCell() {
        Project p;
        auto* box = new CustomItem(p.workspace(), "Box");
        const Eigen::Vector3d before = box->pose().translation();
        // Near the edge of the cell, spots beyond it are not offered; far beyond it, none is.
        Spot spot = placeNear(*box, {kMaxPosition - 0.01, 0, 0});
        QVERIFY(spot.found);
        QVERIFY(isWithinCell(box->pose().translation()));
        box->setPose(makePose(before));
        spot = placeNear(*box, {kMaxPosition + kSearchRadius + 5, 0, 0});
        QVERIFY(!spot.found);
        QVERIFY(near(box->pose().translation(), before, 1e-12));
        spot = placeNear(*box, {std::nan(""), 0, 0});
        QVERIFY(!spot.found);
    }

    void anObjectGoesOnTheDeskUnderThePointWhenItFits() {
        Project p;
        Workspace* ws = p.workspace();
        auto* bench = new Desk(ws, "Bench");
        bench->setPose(makePose({2, 2, 0}));
        auto* first = new CustomItem(ws, "First");
        Spot spot = placeNear(*first, {2, 2, 0});
        QVERIFY(spot.found);
        QCOMPARE(spot.desk, bench);
        QVERIFY(near(first->pose().translation(), {2, 2, 0.75 + 0.05}, 1e-9));
        // The next one keeps clear of the first, still on the desk.
        auto* second = new CustomItem(ws, "Second");
        spot = placeNear(*second, {2, 2, 0});
        QCOMPARE(spot.desk, bench);
        QVERIFY(!overlapOnFloor(first, second));
        QVERIFY(std::abs(second->pose().translation().z() - 0.8) < 1e-9);
        const auto [lo, hi] = floorRect(second);
        QVERIFY((lo.array() >= Eigen::Array2d(1.4, 1.6) - 1e-9).all() &&
                (hi.array() <= Eigen::Array2d(2.6, 2.4) + 1e-9).all());
        // Too wide for the desk: on the floor beside it.
        auto* wide = new CustomItem(ws, "Wide");
        wide->setSize({2.0, 0.3, 0.2});
        spot = placeNear(*wide, {2, 2, 0});
        QVERIFY(spot.found);
        QVERIFY(!spot.desk);
        QVERIFY(!overlapOnFloor(wide, bench));
        QVERIFY(std::abs(wide->pose().translation().z() - 0.1) < 1e-9);
    }

    void objectsRestOnTheSurfaceBelowThem() {
        Project p;
        Workspace* ws = p.workspace();
        auto* bench = new Desk(ws, "Bench");
        bench->setPose(makePose({0, 0, 0}));
        auto* box = new CustomItem(ws, "Box");
        box->setPose(makePose({0.2, 0.1, 1.4}, 0, 0, 0.3));
        Surface s = restOnSurfaceBelow(*box);
        QCOMPARE(s.desk, bench);
        QVERIFY(near(box->pose().translation(), {0.2, 0.1, 0.8}, 1e-9));
        // Below the desk's top (sunk into it, say): down to the floor, not up onto the desk.
        box->setPose(makePose({0.2, 0.1, 0.3}));
        s = restOnSurfaceBelow(*box);
        QVERIFY(!s.desk);
        QVERIFY(near(box->pose().translation(), {0.2, 0.1, 0.05}, 1e-9));
        // Beside the desk, in the air.
        box->setPose(makePose({3, 0, 2}));
        restOnSurfaceBelow(*box);
        QVERIFY(near(box->pose().translation(), {3, 0, 0.05}, 1e-9));
    }

    void theLineOfSightMeetsTheDeskTopBeforeTheFloor() {
        Project p;
        auto* bench = new Desk(p.workspace(), "Bench");
        bench->setPose(makePose({0, 0, 0}));
        const Eigen::Vector3d eye(0, -3, 3.75);
        // Aimed at the middle of the desk's top.
        Eigen::Vector3d hit =
            surfaceAlongRay(*p.workspace(), eye, (Eigen::Vector3d(0, 0, 0.75) - eye).normalized());
        QVERIFY(near(hit, {0, 0, 0.75}, 1e-9));
        // Past the desk: the floor.
        hit = surfaceAlongRay(*p.workspace(), eye, (Eigen::Vector3d(0, 3, 0) - eye).normalized());
        QVERIFY(near(hit, {0, 3, 0}, 1e-9));
        // At the desk's side, below its top: the edge of its top there.
        const Eigen::Vector3d low(0, -3, 0.9);
        hit = surfaceAlongRay(*p.workspace(), low, (Eigen::Vector3d(0, 0, 0.375) - low).normalized());
        QVERIFY(near(hit, {0, -0.4, 0.75}, 1e-9));
        // Looking up: the floor below the eye.
        hit = surfaceAlongRay(*p.workspace(), eye, Eigen::Vector3d(0, 1, 0.2).normalized());
        QVERIFY(near(hit, {0, -3, 0}, 1e-9));
    }
};

QTEST_GUILESS_MAIN(TestEditing)
#include "test_editing.moc"
