// The project's change notices: each kind of change is told once, by id, to every observer, and
// undo tells only of what it puts back.

#include <kestrin/kestrin.h>

#include <QtTest>
#include <algorithm>
#include <vector>

using namespace kestrin;
using Subject = ProjectChange::Subject;
using Kind = ProjectChange::Kind;

namespace {

/// Keeps every notice of one project.
class Recorder : public ProjectObserver {
public:
    explicit Recorder(Project& p) : m_project(&p) { p.addObserver(this); }
    ~Recorder() {
        if (m_project)
            m_project->removeObserver(this);
    }
    void projectChanged(const ProjectChange& change) override { notices.push_back(change); }
    void projectDestroyed() override {
        m_project = nullptr;
        destroyed = true;
    }

    /// How many notices of this kind were told about this subject and id.
    int count(Subject s, Kind k, quint64 id) const {
        return int(std::count_if(notices.begin(), notices.end(), [&](const ProjectChange& c) {
            return c.subject == s && c.kind == k && c.id == id;
        }));
    }
    /// Ids of the objects told of, whatever the kind.
    QSet<quint64> objectIds() const {
        QSet<quint64> ids;
        for (const ProjectChange& c : notices)
            if (c.subject == Subject::Object)
                ids.insert(c.id);
        return ids;
    }

    std::vector<ProjectChange> notices;
    bool destroyed = false;

private:
    Project* m_project;
};

} // namespace

class ChangesTest : public QObject {
    Q_OBJECT
private slots:
    void objectsAreToldOfByIdForEachKindOfChange() {
        Project p;
        Workspace* ws = p.workspace();
        Recorder r(p);
        auto* desk = new Desk(ws, "Desk");
        QCOMPARE(r.count(Subject::Object, Kind::Added, desk->id()), 1);

        r.notices.clear();
        desk->setName("Bench");
        QCOMPARE(r.notices.size(), size_t(1));
        QCOMPARE(r.notices[0].kind, Kind::Renamed);
        QCOMPARE(r.notices[0].oldName, QString("Desk"));

        r.notices.clear();
        desk->setPose(makePose({1, 2, 0}));
        QCOMPARE(r.count(Subject::Object, Kind::Moved, desk->id()), 1);
        desk->setSize({1, 1, 1});
        QCOMPARE(r.count(Subject::Object, Kind::Edited, desk->id()), 1);
        QCOMPARE(r.notices.size(), size_t(2));

        const quint64 id = desk->id();
        r.notices.clear();
        ws->remove(desk);
        QCOMPARE(r.count(Subject::Object, Kind::Removed, id), 1);

        r.notices.clear();
        ws->setClearance(0.01);
        QCOMPARE(r.count(Subject::Project, Kind::Edited, 0), 1);
    }

    void whatARobotCarriesIsToldOfWhenItMoves() {
        Project p;
        Workspace* ws = p.workspace();
        auto* arm = new UR5eRobot(ws, "Arm");
        auto* tip = new ToolFrame(ws, "Tip");
        arm->addToolFrame(tip);
        auto* gripper = new RobotiqGripper2F85(ws, "Gripper");
        auto* box = new CustomItem(ws, "Box");
        auto* bystander = new Desk(ws, "Bystander");
        Recorder r(p);

        // Mount and grasp are changes of the effector and the item.
        gripper->mountOn(arm);
        QCOMPARE(r.count(Subject::Object, Kind::Edited, gripper->id()), 1);
        box->holdWith(tip);
        QCOMPARE(r.count(Subject::Object, Kind::Edited, box->id()), 1);

        // A jog: the robot changed, and everything on it moved.
        r.notices.clear();
        Eigen::VectorXd q = arm->jointPositions();
        q[0] += 0.3;
        arm->setJointPositions(q);
        QCOMPARE(r.count(Subject::Object, Kind::Edited, arm->id()), 1);
        QCOMPARE(r.count(Subject::Object, Kind::Moved, tip->id()), 1);
        QCOMPARE(r.count(Subject::Object, Kind::Moved, gripper->id()), 1);
        QCOMPARE(r.count(Subject::Object, Kind::Moved, box->id()), 1);
        QVERIFY(!r.objectIds().contains(bystander->id()));

        // Moving the robot's base moves them as well; letting go is a change of the item only.
        r.notices.clear();
        arm->setPose(makePose({0.5, 0, 0}));
        QCOMPARE(r.count(Subject::Object, Kind::Moved, box->id()), 1);
        r.notices.clear();
        box->holdWith(nullptr);
        QCOMPARE(r.objectIds(), QSet<quint64>{box->id()});
        arm->setJointPositions(arm->homePositions());
        QCOMPARE(r.count(Subject::Object, Kind::Moved, box->id()), 0);

        // Deleting the robot takes its tool frame and unmounts the gripper, each told of.
        const quint64 armId = arm->id(), tipId = tip->id();
        r.notices.clear();
        ws->remove(arm);
        QCOMPARE(r.count(Subject::Object, Kind::Removed, armId), 1);
        QCOMPARE(r.count(Subject::Object, Kind::Removed, tipId), 1);
        QCOMPARE(r.count(Subject::Object, Kind::Edited, gripper->id()), 1);
    }

    void deletingWhatARobotCarriesLeavesNothingBehind() {
        // A gripper or a held item deleted on its own is no longer carried: a later jog must not
        // tell of it (it used to reach the deleted objects).
        Project p;
        Workspace* ws = p.workspace();
        auto* arm = new UR5eRobot(ws, "Arm");
        auto* tip = new ToolFrame(ws, "Tip");
        arm->addToolFrame(tip);
        auto* gripper = new FrankaHand(ws, "Hand");
        gripper->mountOn(arm);
        auto* box = new CustomItem(ws, "Box");
        box->holdWith(tip);
        ws->remove(gripper);
        ws->remove(box);
        QVERIFY(arm->mountedEffectors().empty());
        QVERIFY(tip->heldItems().empty());
        Recorder r(p);
        Eigen::VectorXd q = arm->jointPositions();
        q[0] += 0.1;
        arm->setJointPositions(q);
        QCOMPARE(r.objectIds(), (QSet<quint64>{arm->id(), tip->id()}));
    }

    void behaviorsAndVariablesAreToldOfByTheirOwnIds() {
        Project p;
        new UR5eRobot(p.workspace(), "Arm");
        new TaskRegion(p.workspace(), "Region");
        Recorder r(p);
        auto* main = new Sequence(&p, "Main");
        auto* wait = new Wait(&p, "Pause");
        QVERIFY(main->id() != 0 && wait->id() != 0 && main->id() != wait->id());
        QCOMPARE(p.findBehaviorById(wait->id()), wait);
        QCOMPARE(r.count(Subject::Behavior, Kind::Added, main->id()), 1);

        r.notices.clear();
        p.addProgram(main);
        QCOMPARE(r.count(Subject::Behavior, Kind::Moved, main->id()), 1);
        QCOMPARE(r.count(Subject::Project, Kind::Edited, 0), 1);
        main->_addChild(wait);
        QCOMPARE(r.count(Subject::Behavior, Kind::Moved, wait->id()), 1);
        QCOMPARE(r.count(Subject::Behavior, Kind::Edited, main->id()), 1); // its children changed
        wait->setName("Rest");
        QCOMPARE(r.count(Subject::Behavior, Kind::Renamed, wait->id()), 1);
        wait->setProperty("duration", 2.0);
        QCOMPARE(r.count(Subject::Behavior, Kind::Edited, wait->id()), 1);

        auto generator = std::make_unique<PoseGenerator>(&p);
        auto* target = new TaskRegionTarget(&p, "Target", std::move(generator), nullptr);
        QCOMPARE(p.findVariableById(target->id()), target);
        r.notices.clear();
        // Edited in place through its part, as the property panel does.
        target->poseGenerator().setTaskRegion("Region");
        QCOMPARE(r.count(Subject::Variable, Kind::Edited, target->id()), 1);
        target->setName("Goal");
        QCOMPARE(r.count(Subject::Variable, Kind::Renamed, target->id()), 1);
        const quint64 variableId = target->id();
        p.removeVariable(target);
        QCOMPARE(r.count(Subject::Variable, Kind::Removed, variableId), 1);

        const quint64 mainId = main->id(), restId = wait->id();
        r.notices.clear();
        p.removeBehavior(main);
        QCOMPARE(r.count(Subject::Behavior, Kind::Removed, mainId), 1);
        QCOMPARE(r.count(Subject::Behavior, Kind::Removed, restId), 1);
        QCOMPARE(p.findBehaviorById(restId), nullptr);
    }

    void undoTellsOnlyOfWhatItPutsBack() {
        Project p;
        Workspace* ws = p.workspace();
        std::vector<WorkspaceObject*> desks;
        for (int i = 0; i < 50; ++i)
            desks.push_back(new Desk(ws, "Desk"));
        auto* arm = new UR5eRobot(ws, "Arm");
        auto* tip = new ToolFrame(ws, "Tip");
        arm->addToolFrame(tip);
        p.history().reset();
        desks[7]->setPose(makePose({20, 20, 0}));
        QVERIFY(p.history().record("Move"));
        Eigen::VectorXd q = arm->jointPositions();
        q[1] -= 0.2;
        arm->setJointPositions(q);
        QVERIFY(p.history().record("Jog"));

        Recorder r(p);
        p.history().undo();
        // The robot is put back, and what it carries moves with it; nothing else is touched.
        QCOMPARE(r.objectIds(), (QSet<quint64>{arm->id(), tip->id()}));
        r.notices.clear();
        p.history().undo();
        QCOMPARE(r.objectIds(), QSet<quint64>{desks[7]->id()});
        QCOMPARE(r.count(Subject::Object, Kind::Moved, desks[7]->id()), 1);
        r.notices.clear();
        p.history().redo();
        QCOMPARE(r.objectIds(), QSet<quint64>{desks[7]->id()});
    }

    void observersLearnThatTheProjectGoes() {
        auto p = std::make_unique<Project>();
        Recorder r(*p);
        new Desk(p->workspace(), "Desk");
        p.reset();
        QVERIFY(r.destroyed);
    }

    void aLoadIntoTheProjectTellsOfEverythingGoneAndCome() {
        Project source;
        auto* a = new Desk(source.workspace(), "A");
        new Desk(source.workspace(), "B");
        Project p;
        auto* old = new CustomItem(p.workspace(), "Old");
        const quint64 oldId = old->id();
        Recorder r(p);
        p.fromJson(source.toJson(), "other cell");
        QCOMPARE(r.count(Subject::Object, Kind::Removed, oldId), 1);
        // Ids start again: the new first object has the old one's id, and both are told of.
        QCOMPARE(r.count(Subject::Object, Kind::Added, a->id()), 1);
        QCOMPARE(p.workspace()->objectCount(), 2);
    }
};

QTEST_GUILESS_MAIN(ChangesTest)
#include "test_changes.moc"
