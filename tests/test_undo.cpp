// The project's undo history: exact restoration over long random sequences of changes.

#include <kestrin/kestrin.h>

#include <QJsonDocument>
#include <QTemporaryDir>
#include <QTest>
#include <memory>
#include <random>

using namespace kestrin;

namespace {

QByteArray fileBytes(const Project& p) {
    return QJsonDocument(p.toJson()).toJson();
}

/// One random change to the project, named for the history; empty when nothing applied.
QString randomChange(Project& p, std::mt19937& rng) {
    Workspace* ws = p.workspace();
    auto pick = [&](int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng); };
    auto real = [&](double lo, double hi) { return std::uniform_real_distribution<double>(lo, hi)(rng); };
    const auto objects = ws->objects();
    const QStringList robots = ws->getRobots();
    switch (pick(11)) {
    case 0: {
        static const char* kinds[] = {"UR5eRobot",     "FrankaPandaRobot",  "Desk",
                                      "CustomItem",    "TaskRegion",        "VisualMarker",
                                      "RealsenseD405", "RobotiqGripper2F85"};
        const Type* t = Type::find(kinds[pick(8)]);
        t->constructObject(ws, "Thing");
        return "Add " + t->name();
    }
    case 1:
        if (objects.empty())
            return {};
        objects[pick(int(objects.size()))]->setPose(
            makePose({real(-3, 3), real(-3, 3), real(0, 1)}, 0, 0, real(-3, 3)));
        return "Move";
    case 2:
        if (objects.empty())
            return {};
        objects[pick(int(objects.size()))]->setName(QString("Renamed %1").arg(pick(5)));
        return "Rename";
    case 3: {
        if (robots.isEmpty())
            return {};
        Robot* r = ws->getRobot(robots[pick(robots.size())]);
        Eigen::VectorXd q = r->lowerLimits() + (r->upperLimits() - r->lowerLimits()) * real(0.2, 0.8);
        r->setJointPositions(q);
        return "Jog";
    }
    case 4: {
        if (robots.isEmpty())
            return {};
        auto* t = new ToolFrame(ws, "Tip");
        t->setOffset(makePose({0, 0, real(0, 0.2)}));
        ws->getRobot(robots[pick(robots.size())])->addToolFrame(t);
        return "Add Tool Frame";
    }
    case 5:
        if (objects.empty())
            return {};
        ws->remove(objects[pick(int(objects.size()))]);
        return "Delete";
    case 6: {
        auto* s = new Sequence(&p, "Program");
        p.addProgram(s);
        return "Add Program";
    }
    case 7: {
        const auto programs = p.programList();
        if (programs.empty() || robots.isEmpty())
            return {};
        auto* move = new MoveToJointTarget(&p, "Move");
        move->setProperty("robot", robots[pick(robots.size())]);
        programs[pick(int(programs.size()))]->_addChild(move);
        return "Add Move";
    }
    case 8: {
        const int dim = 6;
        new JointPositionTarget(&p, "Target",
                                Distribution::CreateFromTypename(Distribution::typeNames()[pick(3)], dim));
        return "Add Variable";
    }
    case 9: {
        const auto vars = p.variableList();
        if (vars.empty())
            return {};
        vars[pick(int(vars.size()))]->setName(QString("Var %1").arg(pick(4)));
        return "Rename Variable";
    }
    default: {
        const auto programs = p.programList();
        if (programs.empty())
            return {};
        p.removeBehavior(programs[pick(int(programs.size()))]);
        return "Delete Program";
    }
    }
}

} // namespace

class UndoTest : public QObject {
    Q_OBJECT
private slots:
    void undoingEverythingGivesTheSameFileAndRedoingGivesTheLast() {
        Project p;
        std::mt19937 rng(12345);
        new UR5eRobot(p.workspace(), "Arm");
        p.history().reset();
        const QByteArray first = fileBytes(p);
        std::vector<QByteArray> after;
        int steps = 0;
        for (int i = 0; i < 300; ++i) {
            const QString name = randomChange(p, rng);
            if (!name.isEmpty() && p.history().record(name)) {
                ++steps;
                after.push_back(fileBytes(p));
            }
        }
        QVERIFY(steps > 150);
        const QByteArray last = fileBytes(p);
        // Step by step back, each state is exactly the one recorded.
        for (int i = steps - 1; i >= 1; --i) {
            p.history().undo();
            QCOMPARE(fileBytes(p), after[size_t(i) - 1]);
        }
        p.history().undo();
        QCOMPARE(fileBytes(p), first);
        QVERIFY(!p.history().canUndo());
        while (p.history().canRedo())
            p.history().redo();
        QCOMPARE(fileBytes(p), last);
    }

    void undoOfADeleteBringsBackToolFramesAndReferences() {
        Project p;
        auto* arm = new UR5eRobot(p.workspace(), "Arm");
        auto* tip = new ToolFrame(p.workspace(), "Tip");
        arm->addToolFrame(tip);
        auto* main = new Sequence(&p, "Main");
        p.addProgram(main);
        auto* move = new MoveToTaskRegion(&p, "Reach");
        move->setProperty("robot", "Arm");
        move->setProperty("tool_frame", "Tip");
        main->_addChild(move);
        p.history().reset();
        const quint64 id = arm->id();

        p.workspace()->remove(arm);
        QVERIFY(p.history().record("Delete Robot 'Arm'"));
        QCOMPARE(p.history().undoName(), QString("Delete Robot 'Arm'"));
        p.history().undo();
        Robot* back = p.workspace()->getRobot("Arm");
        QCOMPARE(back->id(), id); // the same identity, so that recorded cell states still apply
        QCOMPARE(back->getToolFrames(), QStringList{"Tip"});
        auto* reach = static_cast<Action*>(p.findBehavior("Reach"));
        QCOMPARE(reach->reference("robot"), QString("Arm"));
        QCOMPARE(reach->reference("tool_frame"), QString("Tip"));
        QCOMPARE(p.history().redoName(), QString("Delete Robot 'Arm'"));
    }

    void undoAfterARunReturnsTheJointPositions() {
        Project p;
        auto* arm = new UR5eRobot(p.workspace(), "Arm");
        const Eigen::VectorXd before = arm->jointPositions();
        p.history().reset();
        arm->setJointPositions(Eigen::VectorXd::Zero(6)); // what a run leaves behind
        QVERIFY(p.history().record("Run 'Main'"));
        p.history().undo();
        QVERIFY(p.workspace()->getRobot("Arm")->jointPositions() == before);
    }

    void aNewChangeDropsRedoAndUnrecordedChangesAreNotLost() {
        Project p;
        new Desk(p.workspace(), "A");
        QVERIFY(p.history().record("Add A"));
        p.history().undo();
        QVERIFY(p.history().canRedo());
        new Desk(p.workspace(), "B");
        QVERIFY(p.history().record("Add B"));
        QVERIFY(!p.history().canRedo());
        QCOMPARE(p.workspace()->objectCount(), 1);

        // A change nobody recorded is recorded by undo first, then taken back.
        new Desk(p.workspace(), "C");
        p.history().undo();
        QVERIFY(p.workspace()->find(Category::Item, "B"));
        QVERIFY(!p.workspace()->find(Category::Item, "C"));
        p.history().redo();
        QVERIFY(p.workspace()->find(Category::Item, "C"));
    }

    void aBurstGrowsOneStepUntilTheHistoryDoesAnythingElse() {
        Project p;
        UndoHistory& h = p.history();
        const quint64 deskId = (new Desk(p.workspace(), "Desk"))->id();
        auto* item = new CustomItem(p.workspace(), "Item");
        QVERIFY(h.record("Add"));
        const QByteArray start = fileBytes(p);
        // Undo and redo may put back another object under the same id.
        auto moveDesk = [&](double x) { p.workspace()->findById(deskId)->setPose(makePose({x, 0, 0})); };

        // Records of one burst, the last touching another object too: one step, undone whole.
        for (double x : {0.1, 0.2, 0.3}) {
            moveDesk(x);
            QVERIFY(h.record("Nudge", 7));
        }
        item->setPose(makePose({0, 1, 0}));
        QVERIFY(h.record("Nudge", 7));
        QCOMPARE(h.stepCount(), 2);
        const QByteArray nudged = fileBytes(p);
        h.undo();
        QCOMPARE(fileBytes(p), start);
        h.redo();
        QCOMPARE(fileBytes(p), nudged);

        // Redo, another record, a save mark and another burst each begin a new step.
        const auto nextStep = [&](double x, quint64 burst) {
            moveDesk(x);
            return h.record("Nudge", burst) ? h.stepCount() : -1;
        };
        QCOMPARE(nextStep(0.4, 7), 3);
        p.workspace()->findById(deskId)->setName("Table");
        QVERIFY(h.record("Rename"));
        QCOMPARE(nextStep(0.5, 7), 5);
        h.markSaved();
        QCOMPARE(nextStep(0.6, 7), 6);
        QCOMPARE(nextStep(0.7, 8), 7);

        // A burst that ends where it began leaves no step, and nothing modified since the save.
        h.markSaved();
        QCOMPARE(nextStep(0.9, 9), 8);
        QCOMPARE(nextStep(0.7, 9), 7);
        QVERIFY(!h.isModified());
        QCOMPARE(nextStep(1.0, 9), 8); // a new step, not burst 8's
        h.undo();
        QCOMPARE(p.workspace()->findById(deskId)->pose().translation().x(), 0.7);
    }

    void savedMarkFollowsTheHistory() {
        Project p;
        QVERIFY(!p.history().isModified());
        new Desk(p.workspace(), "A");
        p.history().record("Add A");
        QVERIFY(p.history().isModified());
        p.history().markSaved();
        new Desk(p.workspace(), "B");
        p.history().record("Add B");
        QVERIFY(p.history().isModified());
        p.history().undo();
        QVERIFY(!p.history().isModified());
        p.history().undo();
        QVERIFY(p.history().isModified());
        QVERIFY(!p.history().record("Nothing")); // nothing changed: no step
    }

    void savingIsNoChangeOfContent() {
        Project p;
        UndoHistory& h = p.history();
        const quint64 start = h.contentChangeCount();
        h.markSaved();
        h.markUnsaved();
        QVERIFY(!h.record("Nothing"));
        QCOMPARE(h.contentChangeCount(), start);
        new Desk(p.workspace(), "A");
        h.markSaved(); // records the change first
        QCOMPARE(h.contentChangeCount(), start + 1);
        h.undo();
        h.redo();
        QCOMPARE(h.contentChangeCount(), start + 3);
    }

    void historyOfALoadedProjectStartsAtTheFile() {
        // The start of a loaded project's history is made from the file at the first change;
        // whichever call comes first, it must be the project exactly as loaded.
        QTemporaryDir dir;
        const QString path = dir.filePath("cell.kestrin");
        {
            Project source;
            std::mt19937 rng(7);
            for (int i = 0; i < 60; ++i)
                randomChange(source, rng);
            source.save(path);
        }
        const auto loaded = [&path] {
            auto p = std::make_unique<Project>();
            p->load(path);
            return p;
        };
        const QByteArray asLoaded = UndoHistory::snapshotOf(*loaded());

        // Nothing changed: saving records no step and leaves the project unmodified.
        auto p = loaded();
        p->history().markSaved();
        QVERIFY(!p->history().isModified());
        QCOMPARE(p->history().stepCount(), 0);
        QVERIFY(!p->history().record("Nothing"));

        // A change, then undo: back to the file, ids and all, and redo brings the change back.
        p = loaded();
        std::mt19937 rng(11);
        QString step;
        while (step.isEmpty())
            step = randomChange(*p, rng);
        const QByteArray changed = UndoHistory::snapshotOf(*p);
        QVERIFY(changed != asLoaded);
        p->history().undo(); // records the change first
        QCOMPARE(UndoHistory::snapshotOf(*p), asLoaded);
        QVERIFY(!p->history().isModified());
        p->history().redo();
        QCOMPARE(UndoHistory::snapshotOf(*p), changed);

        // Steps beyond the limit drop the start before it was ever made.
        p = loaded();
        p->history().setLimit(1);
        new Desk(p->workspace(), "First");
        p->history().record("Add First");
        new Desk(p->workspace(), "Second");
        p->history().record("Add Second");
        QCOMPARE(p->history().stepCount(), 1);
        p->history().undo();
        QVERIFY(p->workspace()->find(Category::Item, "First"));
        QVERIFY(!p->workspace()->find(Category::Item, "Second"));
        QVERIFY(!p->history().canUndo());
    }

    void everyStateComesBackWithItsIds() {
        // As the random day above, compared with ids: undo and redo put objects back under the
        // ids they had, in their places.
        Project p;
        std::mt19937 rng(2024);
        new UR5eRobot(p.workspace(), "Arm");
        p.history().reset();
        std::vector<QByteArray> states{UndoHistory::snapshotOf(p)};
        for (int i = 0; i < 200; ++i)
            if (!randomChange(p, rng).isEmpty() && p.history().record("Step"))
                states.push_back(UndoHistory::snapshotOf(p));
        for (size_t i = states.size() - 1; i > 0; --i) {
            p.history().undo();
            QCOMPARE(UndoHistory::snapshotOf(p), states[i - 1]);
        }
        for (size_t i = 1; i < states.size(); ++i) {
            p.history().redo();
            QCOMPARE(UndoHistory::snapshotOf(p), states[i]);
        }
    }

    void undoPutsBackInPlaceAndLeavesTheRestAlone() {
        Project p;
        Workspace* ws = p.workspace();
        auto* arm = new UR5eRobot(ws, "Arm");
        auto* tip = new ToolFrame(ws, "Tip");
        arm->addToolFrame(tip);
        auto* gripper = new RobotiqGripper2F85(ws, "Gripper");
        gripper->mountOn(arm);
        auto* box = new CustomItem(ws, "Box");
        box->holdWith(tip);
        auto* desk = new Desk(ws, "Desk");
        auto* other = new Desk(ws, "Other");
        p.history().reset();
        const Transform deskAt = desk->transform();
        const quint64 otherRevision = other->revision(), boxRevision = box->revision();

        desk->setPose(makePose({4, 4, 0}));
        QVERIFY(p.history().record("Move Desk"));
        p.history().undo();
        // The same objects: nothing was made anew, and what the step did not change was not touched.
        QCOMPARE(ws->findById(desk->id()), desk);
        QVERIFY(desk->transform() == deskAt);
        QCOMPARE(ws->findById(arm->id()), arm);
        QCOMPARE(other->revision(), otherRevision);
        QCOMPARE(box->revision(), boxRevision);
        QCOMPARE(box->heldBy(), tip);
        QCOMPARE(gripper->robot(), arm);
        p.history().redo();
        QCOMPARE(ws->findById(desk->id()), desk);
        QVERIFY((desk->pose().translation() - Eigen::Vector3d(4, 4, 0)).norm() < 1e-12);
    }

    void undoOfADeletedRobotBringsBackWhatItCarried() {
        Project p;
        Workspace* ws = p.workspace();
        auto* arm = new UR5eRobot(ws, "Arm");
        auto* tip = new ToolFrame(ws, "Tip");
        tip->setOffset(makePose({0, 0, 0.15}));
        arm->addToolFrame(tip);
        arm->addToolFrame(new ToolFrame(ws, "Second"));
        auto* gripper = new RobotiqGripper2F85(ws, "Gripper");
        gripper->mountOn(arm);
        auto* box = new CustomItem(ws, "Box");
        box->holdWith(tip);
        auto* desk = new Desk(ws, "Desk");
        p.history().reset();
        const QByteArray before = UndoHistory::snapshotOf(p);
        const Pose boxPose = box->pose();
        const quint64 armId = arm->id(), tipId = tip->id();

        ws->remove(arm);
        QVERIFY(!box->heldBy() && !gripper->robot());
        QVERIFY(p.history().record("Delete Robot 'Arm'"));
        const QByteArray after = UndoHistory::snapshotOf(p);
        p.history().undo();
        QCOMPARE(UndoHistory::snapshotOf(p), before);
        auto* back = ws->getRobot("Arm");
        QCOMPARE(back->id(), armId);
        QCOMPARE(back->getToolFrames(), (QStringList{"Tip", "Second"}));
        QCOMPARE(box->heldBy(), ws->findById(tipId)); // the same item, held again by the tool frame
        QVERIFY((box->pose().matrix() - boxPose.matrix()).cwiseAbs().maxCoeff() < 1e-9);
        QCOMPARE(gripper->robot(), back);
        QCOMPARE(ws->findById(desk->id()), desk);
        // The floor is as it was: a new object goes where it would have gone before.
        p.history().redo();
        QCOMPARE(UndoHistory::snapshotOf(p), after);
        p.history().undo();
        Project fresh;
        fresh.fromJson(p.toJson(), "copy");
        QVERIFY((new Desk(ws, "Next"))->transform() == (new Desk(fresh.workspace(), "Next"))->transform());
    }

    void renamesThatSwapNamesComeBack() {
        Project p;
        auto* a = new UR5eRobot(p.workspace(), "A");
        auto* b = new UR5eRobot(p.workspace(), "B");
        a->addToolFrame(new ToolFrame(p.workspace(), "Tip"));
        p.history().reset();
        const QByteArray before = UndoHistory::snapshotOf(p);
        a->setName("Tmp");
        b->setName("A");
        a->setName("B");
        QVERIFY(p.history().record("Swap"));
        p.history().undo();
        QCOMPARE(UndoHistory::snapshotOf(p), before);
        QCOMPARE(a->name(), QString("A"));
        QCOMPARE(p.workspace()->getToolFrame("Tip")->robot(), a);
    }

    void aStepKeepsOnlyWhatChanged() {
        // Steps of one object each cost the same whatever the size of the cell, and far less
        // than a snapshot of it.
        Project p;
        for (int i = 0; i < 2000; ++i)
            new Desk(p.workspace(), "Desk");
        p.history().reset();
        const qint64 start = p.history().memoryUse();
        const qint64 snapshot = UndoHistory::snapshotOf(p).size();
        const auto objects = p.workspace()->objects();
        for (int i = 0; i < 100; ++i) {
            objects[size_t(i) * 7]->setPose(makePose({double(i), -50, 0}));
            QVERIFY(p.history().record("Move"));
        }
        const qint64 perStep = (p.history().memoryUse() - start) / 100;
        QVERIFY2(perStep < 2000, qPrintable(QString::number(perStep)));
        QVERIFY2(perStep * 100 < snapshot, qPrintable(QString("%1 vs %2").arg(perStep).arg(snapshot)));
    }

    void limitDropsTheOldestSteps() {
        Project p;
        p.history().setLimit(3);
        for (int i = 0; i < 5; ++i) {
            new Desk(p.workspace(), "D");
            p.history().record("Add");
        }
        QCOMPARE(p.history().stepCount(), 3);
        while (p.history().canUndo())
            p.history().undo();
        QCOMPARE(p.workspace()->objectCount(), 2);
    }
};

QTEST_GUILESS_MAIN(UndoTest)
#include "test_undo.moc"
