// Collision checking: which solids count against which, in the shapes the view draws, and a
// world that keeps up with the cell between checks.

#include <kestrin/collision.h>
#include <kestrin/kestrin.h>

#include <QTest>
#include <cmath>
#include <random>

using namespace kestrin;

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kMm = 0.001;

Eigen::VectorXd vec(std::initializer_list<double> v) {
    return Eigen::Map<const Eigen::VectorXd>(v.begin(), static_cast<Eigen::Index>(v.size()));
}

/// Stretched out: upper arm and forearm level along the base's -x, the wrist hanging down
/// beyond the forearm's end.
const Eigen::VectorXd kStretched = vec({0, 0, 0, 0, 0, 0});

/// The middle of a UR's forearm, the segment the view draws from the elbow to wrist 1.
Eigen::Vector3d forearmMiddle(const Robot& robot, const Eigen::VectorXd& q) {
    const std::vector<Pose> frames = robot.linkFrames(q);
    return (frames[2].translation() + frames[3].translation()) / 2;
}

/// A UR5e on a stand half a metre high, stretched out.
struct Cell {
    Project project;
    Workspace* ws = project.workspace();
    UR5eRobot* robot;
    Cell() {
        robot = new UR5eRobot(ws, "UR5e");
        robot->setPose(makePose({0, 0, 0.5}));
        robot->setJointPositions(kStretched);
    }
    /// The height of the forearm's underside at its middle.
    double underForearm() const { return forearmMiddle(*robot, kStretched).z() - robot->linkRadius(); }
};

/// `object`, standing upright, placed under the middle of the forearm with its top `gap` below
/// the forearm's underside; `top` is how far its top lies above its pose.
void placeUnderForearm(Cell& cell, WorkspaceObject* object, double top, double gap) {
    Eigen::Vector3d at = forearmMiddle(*cell.robot, kStretched);
    at.z() = cell.underForearm() - gap - top;
    object->setPose(makePose(at));
}

QStringList described(const std::vector<Contact>& contacts) {
    QStringList out;
    for (const Contact& c : contacts)
        out << describeContact(c);
    return out;
}

/// The gripper's tool centre in the world, and the way its fingers point.
std::pair<Eigen::Vector3d, Eigen::Vector3d> toolCentre(const Effector& gripper) {
    const Pose body = gripper.pose();
    const Eigen::Vector3d fromMiddle =
        gripper.toolCentre().position - Eigen::Vector3d(0, 0, gripper.size().z() / 2);
    return {body * fromMiddle, body.linear().col(2)};
}

} // namespace

class TestCollision : public QObject {
    Q_OBJECT

private slots:
    // --- what counts ------------------------------------------------------------------------

    void robotLinkAgainstEachKindOfSolid_data() {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("part"); // of the solid, as contacts name it
        for (const char* kind :
             {"CustomItem", "Desk", "RealsenseD435i", "VisualMarker", "RobotiqGripper2F85"})
            QTest::newRow(kind) << QString(kind) << QString(kind == QString("Desk") ? "top" : "");
    }
    void robotLinkAgainstEachKindOfSolid() {
        QFETCH(QString, kind);
        QFETCH(QString, part);
        Cell cell;
        WorkspaceObject* object = Type::find(kind)->constructObject(cell.ws, "Thing");
        double top = object->size().z() / 2;
        if (auto* desk = dynamic_cast<Desk*>(object)) {
            desk->setSize({0.12, 0.12, 0.3});
            top = 0.3; // a desk stands on its pose
        } else if (dynamic_cast<VisualMarker*>(object)) {
            top += 2 * kMm; // the printed face, drawn in two layers of a millimetre on the tile
        } else if (auto* gripper = dynamic_cast<Effector*>(object)) {
            top = gripper->toolCentre().position.z() - gripper->size().z() / 2; // its fingertips
        }
        CollisionWorld world(cell.ws);

        placeUnderForearm(cell, object, top, kMm);
        QVERIFY2(world.check().empty(), qPrintable(described(world.check()).join("; ")));

        placeUnderForearm(cell, object, top, -kMm);
        const std::vector<Contact> contacts = world.check();
        QCOMPARE(contacts.size(), size_t(1));
        for (const Contact& c : contacts) {
            QCOMPARE(c.a, static_cast<const WorkspaceObject*>(cell.robot));
            QCOMPARE(c.partA, QString("forearm"));
            QCOMPARE(c.b, static_cast<const WorkspaceObject*>(object));
            QCOMPARE(c.partB, part);
            QCOMPARE(c.distance, 0.0);
            QVERIFY(std::abs(c.point.z() - cell.underForearm()) < 2 * kMm);
        }
        // The same pose asked of the robot gives the same contacts.
        QCOMPARE(described(world.checkRobotAt(cell.robot, kStretched)), described(contacts));
        if (kind == "Desk")
            QCOMPARE(describeContact(contacts.front()), QString("UR5e's forearm hits desk 'Thing'"));
    }

    // Each joint is a ball wider than the links' tubes, as the view draws it; it belongs to the
    // link that ends there.
    void jointBallsAreSolidAsDrawn() {
        Cell cell;
        auto* box = new CustomItem(cell.ws, "Box");
        box->setSize({0.04, 0.04, 0.04});
        const Eigen::Vector3d elbowEnd =
            cell.robot->linkFrames(kStretched)[3].translation(); // forearm to wrist 1
        const double ball = kJointBallScale * cell.robot->linkRadius();
        CollisionWorld world(cell.ws);
        box->setPose(makePose(elbowEnd - Eigen::Vector3d(0, 0, ball + kMm + 0.02)));
        QVERIFY2(world.check().empty(), qPrintable(described(world.check()).join("; ")));
        box->setPose(makePose(elbowEnd - Eigen::Vector3d(0, 0, ball - kMm + 0.02)));
        QCOMPARE(described(world.check()), QStringList{"UR5e's forearm hits item 'Box'"});
    }

    void robotsCountAgainstEachOther() {
        Cell cell;
        auto* other = new UR5eRobot(cell.ws, "Other");
        // Turned a quarter round and raised, so that its forearm crosses above the first one's.
        const Eigen::Vector3d middle = forearmMiddle(*cell.robot, kStretched);
        const Eigen::Vector3d own = middle - cell.robot->pose().translation();
        const double apart = 2 * cell.robot->linkRadius();
        auto placeOther = [&](double gap) {
            const Pose turned = makePose(Eigen::Vector3d::Zero(), 0, 0, kPi / 2);
            other->setPose(
                makePose(middle + Eigen::Vector3d(0, 0, apart + gap) - turned * own, 0, 0, kPi / 2));
        };
        other->setJointPositions(kStretched);
        CollisionWorld world(cell.ws);
        placeOther(kMm);
        QVERIFY2(world.check().empty(), qPrintable(described(world.check()).join("; ")));

        placeOther(-kMm);
        const std::vector<Contact> contacts = world.check();
        QCOMPARE(described(contacts), QStringList{"UR5e's forearm hits Other's forearm"});
        QCOMPARE(described(world.checkRobotAt(other, kStretched)),
                 QStringList{"Other's forearm hits UR5e's forearm"});
        // Not from where it is: folded up, it is clear of the other again.
        QVERIFY(world.checkRobotAt(cell.robot, cell.robot->homePositions()).empty());
    }

    void anArmFoldedOntoItselfHitsItselfButNotItsNeighbours() {
        Cell cell;
        CollisionWorld world(cell.ws);
        // Upper arm straight up, the elbow folded all the way: the forearm lies along the upper
        // arm (neighbours, not counted) and brings the wrist down onto the shoulder.
        const Eigen::VectorXd folded = vec({0, -kPi / 2, kPi, 0, 0, 0});
        const std::vector<Contact> contacts = world.checkRobotAt(cell.robot, folded);
        QVERIFY(!contacts.empty());
        bool wristOnShoulder = false;
        for (const Contact& c : contacts) {
            QCOMPARE(c.a, static_cast<const WorkspaceObject*>(cell.robot));
            QCOMPARE(c.b, c.a);
            QVERIFY2(!(c.partA == "forearm" && c.partB == "upper arm"), "neighbouring links were checked");
            wristOnShoulder = wristOnShoulder || (c.partA.startsWith("wrist") && c.partB == "shoulder");
        }
        QVERIFY2(wristOnShoulder, qPrintable(described(contacts).join("; ")));
        QVERIFY(described(contacts).join(";").contains("UR5e's wrist 1 hits its own shoulder"));
        // Only at that pose: where it is, it is free.
        QVERIFY(world.check().empty());
    }

    void homePosesAreFree_data() {
        QTest::addColumn<QString>("model");
        for (const char* m : {"UR3eRobot", "UR5eRobot", "UR10eRobot", "FrankaPandaRobot"})
            QTest::newRow(m) << QString(m);
    }
    void homePosesAreFree() {
        QFETCH(QString, model);
        Project project;
        auto* robot = static_cast<Robot*>(Type::find(model)->constructObject(project.workspace(), "R"));
        Effector* gripper = model == "FrankaPandaRobot"
                                ? static_cast<Effector*>(new FrankaHand(project.workspace(), "G"))
                                : new RobotiqGripper2F85(project.workspace(), "G");
        gripper->mountOn(robot);
        CollisionWorld world(project.workspace());
        QVERIFY2(world.check().empty(), qPrintable(described(world.check()).join("; ")));
        // A clearance keeps robots off other things; the links of one arm sit closer than this
        // to each other by build and count only when they touch.
        world.setClearance(0.05);
        QVERIFY2(world.check().empty(), qPrintable(described(world.check()).join("; ")));
    }

    void clearanceCountsWhatComesCloser() {
        Cell cell;
        auto* box = new CustomItem(cell.ws, "Box");
        box->setSize({0.06, 0.06, 0.06});
        placeUnderForearm(cell, box, 0.03, kMm);
        CollisionWorld world(cell.ws);
        QCOMPARE(world.clearance(), 0.0);
        QVERIFY(world.check().empty());
        world.setClearance(2 * kMm);
        const std::vector<Contact> close = world.check();
        QCOMPARE(close.size(), size_t(1));
        QVERIFY2(std::abs(close[0].distance - kMm) < 1e-5, qPrintable(QString::number(close[0].distance)));
        QVERIFY(std::abs(close[0].point.z() - (cell.underForearm() - kMm / 2)) < 1e-4);
        QCOMPARE(describeContact(close[0]), QString("UR5e's forearm comes within 1.0 mm of item 'Box'"));
        world.setClearance(0.9 * kMm);
        QVERIFY(world.check().empty());
        QVERIFY_EXCEPTION_THROWN(world.setClearance(-kMm), ValueError);
        QVERIFY_EXCEPTION_THROWN(world.setClearance(std::nan("")), ValueError);
        QCOMPARE(world.clearance(), 0.9 * kMm);
    }

    void taskRegionsToolFramesAndStandingThingsAmongThemselvesDoNotCount() {
        Cell cell;
        auto* region = new TaskRegion(cell.ws, "Bin");
        region->setPose(makePose(forearmMiddle(*cell.robot, kStretched)));
        auto* tool = new ToolFrame(cell.ws, "Tip");
        cell.robot->addToolFrame(tool);
        auto* desk = new Desk(cell.ws, "Desk");
        desk->setPose(makePose({3, 3, 0}));
        auto* box = new CustomItem(cell.ws, "Box");
        box->setPose(makePose({3, 3, desk->size().z()})); // half sunk into the top
        auto* marker = new VisualMarker(cell.ws, "Marker");
        marker->setPose(makePose({3, 3, desk->size().z()}));
        CollisionWorld world(cell.ws);
        QVERIFY2(world.check().empty(), qPrintable(described(world.check()).join("; ")));
        // The box is solid all the same.
        box->setSize({0.06, 0.06, 0.06});
        placeUnderForearm(cell, box, 0.03, -kMm);
        QCOMPARE(described(world.check()), QStringList{"UR5e's forearm hits item 'Box'"});
    }

    // --- what robots carry ------------------------------------------------------------------

    void anAttachedItemRidesWithTheRobotAndIgnoresItsGripper() {
        Cell cell;
        auto* gripper = new RobotiqGripper2F85(cell.ws, "Gripper");
        gripper->mountOn(cell.robot);
        // Fingers pointing down, well in front of the robot.
        const Pose flange = makePose(cell.robot->pose() * Eigen::Vector3d(-0.45, -0.15, 0.2), kPi, 0, 0);
        const auto q = cell.robot->solveIK(flange, cell.robot->homePositions());
        QVERIFY(q.has_value());
        cell.robot->setJointPositions(*q);
        const auto [centre, pointing] = toolCentre(*gripper);
        QVERIFY((pointing - Eigen::Vector3d(0, 0, -1)).norm() < 1e-6);

        // A part held between the fingers (pressing into them by half a millimetre), reaching
        // 2 cm beyond the fingertips; a desk 5 mm below it.
        auto* part = new CustomItem(cell.ws, "Part");
        part->setSize({0.04, 0.04, 0.04});
        part->setPose(makePose(centre, kPi, 0, 0));
        auto* desk = new Desk(cell.ws, "Desk");
        desk->setSize({0.4, 0.4, centre.z() - 0.02 - 5 * kMm});
        desk->setPose(makePose({centre.x(), centre.y(), 0}));
        // A collar round the flange, through the wrist's last link.
        auto* collar = new CustomItem(cell.ws, "Collar");
        collar->setSize({0.2, 0.2, 0.03});
        collar->setPose(makePose(cell.robot->flangePose().translation()));

        CollisionWorld world(cell.ws);
        const QString before = described(world.check()).join("; ");
        QVERIFY2(before.contains("gripper 'Gripper' hits item 'Part'"), qPrintable(before));
        QVERIFY2(before.contains("UR5e's wrist 3 hits item 'Collar'"), qPrintable(before));

        world.attach(part, cell.robot);
        world.attach(collar, cell.robot);
        QVERIFY2(world.check().empty(), qPrintable(described(world.check()).join("; ")));

        // 10 mm lower the part is 5 mm into the desk; the fingertips stay 15 mm above it.
        const auto lower = cell.robot->solveIK(cell.robot->flangePose() * makePose({0, 0, 0.01}), *q);
        QVERIFY(lower.has_value());
        const std::vector<Contact> down = world.checkRobotAt(cell.robot, *lower);
        QCOMPARE(described(down), QStringList{"item 'Part' hits desk 'Desk'"});
        QCOMPARE(down[0].partB, QString("top"));
        QVERIFY(std::abs(down[0].point.z() - desk->size().z()) < 6 * kMm);

        // Let go, the part stays where it is, in the gripper's way again.
        world.detach(part);
        world.detach(part);
        QCOMPARE(described(world.checkRobotAt(cell.robot, *lower)),
                 QStringList{"gripper 'Gripper' hits item 'Part'"});
        QVERIFY(!described(world.check()).join(";").contains("Collar"));
    }

    void attachingChecksItsArguments() {
        Cell cell;
        auto* box = new CustomItem(cell.ws, "Box");
        auto* other = new UR5eRobot(cell.ws, "Other");
        Project elsewhere;
        auto* stranger = new CustomItem(elsewhere.workspace(), "Stranger");
        CollisionWorld world(cell.ws);
        QVERIFY_EXCEPTION_THROWN(world.attach(other, cell.robot), ValueError);
        QVERIFY_EXCEPTION_THROWN(world.attach(box, cell.robot, 7), ValueError);
        QVERIFY_EXCEPTION_THROWN(world.attach(stranger, cell.robot), ValueError);
        QVERIFY_EXCEPTION_THROWN(world.checkRobotAt(cell.robot, vec({0, 0, 4, 0, 0, 0})), ValueError);
        // An attachment ends with its item; one left dangling is read after it was freed, which
        // the sanitized suite reports.
        world.attach(box, cell.robot, 3);
        cell.ws->remove(box);
        QVERIFY(world.check().empty());
    }

    // --- moves ------------------------------------------------------------------------------

    void aFastMoveThroughAThinPlateIsCaught() {
        Cell cell;
        auto* gripper = new RobotiqGripper2F85(cell.ws, "Gripper");
        gripper->mountOn(cell.robot);
        // A plate 1 cm thick standing across the way of the arm's swing about its first joint.
        auto* plate = new CustomItem(cell.ws, "Plate");
        plate->setSize({0.5, 0.01, 0.5});
        const Eigen::VectorXd mid = cell.robot->homePositions();
        const Eigen::Vector3d wrist = cell.robot->linkFrames(mid)[4].translation();
        const Eigen::Vector2d outwards = (wrist - cell.robot->pose().translation()).head<2>().normalized();
        const Eigen::Vector3d at = cell.robot->pose().translation() +
                                   Eigen::Vector3d(outwards.x(), outwards.y(), 0) * 0.55 +
                                   Eigen::Vector3d(0, 0, wrist.z() - cell.robot->pose().translation().z());
        plate->setPose(makePose(at, 0, 0, std::atan2(outwards.y(), outwards.x())));
        CollisionWorld world(cell.ws);
        QVERIFY(!world.checkRobotAt(cell.robot, mid).empty());

        Eigen::VectorXd qa = mid, qb = mid;
        qa[0] -= 1.2;
        qb[0] += 1.2;
        QVERIFY(world.checkRobotAt(cell.robot, qa).empty());
        QVERIFY(world.checkRobotAt(cell.robot, qb).empty());
        const auto hit = world.firstContactAlong(cell.robot, qa, qb);
        QVERIFY(hit.has_value());
        QVERIFY(hit->fraction > 0.2 && hit->fraction < 0.5);
        QVERIFY((hit->joints - (qa + hit->fraction * (qb - qa))).norm() < 1e-12);
        for (const Contact& c : hit->contacts)
            QCOMPARE(c.b, static_cast<const WorkspaceObject*>(plate));
        QVERIFY(!world.checkRobotAt(cell.robot, hit->joints).empty());

        // Back the other way, it meets the plate's other face first.
        const auto back = world.firstContactAlong(cell.robot, qb, qa);
        QVERIFY(back.has_value() && back->fraction > 0.2 && back->fraction < 0.5);
        // Without the plate the move is free.
        cell.ws->remove(plate);
        QVERIFY(!world.firstContactAlong(cell.robot, qa, qb).has_value());
    }

    // Checks spaced by the clear way ahead find what checks at a fixed millimetre spacing find,
    // no later, with thin plates in random places: a gap measured too generously lets a link
    // jump a plate. Moves in the open need far fewer checks than fixed spacing.
    void spacingByTheWayAheadMissesNothing() {
        Cell cell;
        auto* gripper = new RobotiqGripper2F85(cell.ws, "Gripper");
        gripper->mountOn(cell.robot);
        CollisionWorld world(cell.ws);
        std::mt19937_64 rng(19);
        std::uniform_real_distribution<double> unit(0.0, 1.0);
        const Eigen::VectorXd home = cell.robot->homePositions();
        auto near = [&](double spread) {
            Eigen::VectorXd q = home;
            for (int j = 0; j < q.size(); ++j)
                q[j] += spread * (2 * unit(rng) - 1);
            return q;
        };

        Eigen::VectorXd qa = near(0), qb = home;
        qb[0] += 1.5;
        QVERIFY(!world.firstContactAlong(cell.robot, qa, qb).has_value());
        const int fixed = world.stepsAlong(cell.robot, qa, qb, 0.005) + 1;
        QVERIFY2(
            world._checksAlong() * 4 < fixed,
            qPrintable(QString("%1 checks vs %2 at fixed spacing").arg(world._checksAlong()).arg(fixed)));

        int hits = 0, misses = 0;
        for (int trial = 0; trial < 40; ++trial) {
            std::vector<CustomItem*> plates;
            for (int k = 0; k < 3; ++k) {
                auto* plate = new CustomItem(cell.ws, QString("Plate %1").arg(k));
                plate->setSize({0.4, 0.01, 0.4});
                const double r = 0.3 + 0.6 * unit(rng), a = 2 * kPi * unit(rng);
                plate->setPose(makePose({r * std::cos(a), r * std::sin(a), 0.5 + 0.8 * unit(rng)}, 0, 0,
                                        2 * kPi * unit(rng)));
                plates.push_back(plate);
            }
            do {
                qa = near(1.2);
                qb = near(1.2);
            } while (!world.checkRobotAt(cell.robot, qa).empty());
            const auto quick = world.firstContactAlong(cell.robot, qa, qb);
            const int dense = world.stepsAlong(cell.robot, qa, qb, kMm);
            std::optional<double> first;
            for (int k = 1; k <= dense && !first; ++k)
                if (!world.checkRobotAt(cell.robot, qa + double(k) / dense * (qb - qa)).empty())
                    first = double(k) / dense;
            QCOMPARE(quick.has_value(), first.has_value());
            // Where the way ahead is short, checks are as far apart as fixed spacing allows.
            const double spacing = 1.0 / world.stepsAlong(cell.robot, qa, qb, 0.005);
            if (first)
                QVERIFY2(quick->fraction <= *first + spacing,
                         qPrintable(QString("%1 vs %2").arg(quick->fraction).arg(*first)));
            (first ? hits : misses) += 1;
            for (CustomItem* plate : plates)
                cell.ws->remove(plate);
        }
        QVERIFY(hits > 5 && misses > 5);
    }

    // Between two checks no point of the arm, its gripper or what it holds moves further than
    // asked; a bound that undercounts lets a link pass through a thin plate unseen.
    void stepsAlongAMoveBoundEveryPointsTravel() {
        Cell cell;
        auto* gripper = new RobotiqGripper2F85(cell.ws, "Gripper");
        gripper->mountOn(cell.robot);
        auto* bar = new CustomItem(cell.ws, "Bar");
        bar->setSize({0.6, 0.03, 0.03});
        const Pose flange = cell.robot->flangePose();
        bar->setPose(flange * makePose({0.25, 0, 0.2}));
        CollisionWorld world(cell.ws);
        world.attach(bar, cell.robot);
        const Pose barInFlange = flange.inverse() * bar->pose();

        // Points to follow: the link frames, the gripper's and the bar's corners.
        auto corners = [](const Pose& pose, const Eigen::Vector3d& size) {
            std::vector<Eigen::Vector3d> out;
            for (int k = 0; k < 8; ++k)
                out.push_back(pose * Eigen::Vector3d((k & 1 ? 0.5 : -0.5) * size.x(),
                                                     (k & 2 ? 0.5 : -0.5) * size.y(),
                                                     (k & 4 ? 0.5 : -0.5) * size.z()));
            return out;
        };
        auto points = [&](const Eigen::VectorXd& q) {
            const std::vector<Pose> frames = cell.robot->linkFrames(q);
            std::vector<Eigen::Vector3d> out;
            for (const Pose& f : frames)
                out.push_back(f.translation());
            const Pose gripperPose = frames.back() * cell.robot->flangePose().inverse() * gripper->pose();
            for (const auto& c : corners(gripperPose, gripper->size()))
                out.push_back(c);
            for (const auto& c : corners(frames.back() * barInFlange, bar->size()))
                out.push_back(c);
            return out;
        };
        std::mt19937_64 rng(5);
        std::uniform_real_distribution<double> turn(-1.5, 1.5);
        const double maxTravel = 0.005;
        // Each joint alone (the last one swings only the gripper and the bar), then all at once.
        for (int trial = 0; trial < 16; ++trial) {
            Eigen::VectorXd qa = cell.robot->homePositions(), qb = qa;
            if (trial < 6) {
                qb[trial] += 1.0;
            } else {
                for (int j = 0; j < 6; ++j) {
                    qa[j] += turn(rng);
                    qb[j] += turn(rng);
                }
            }
            const int steps = world.stepsAlong(cell.robot, qa, qb, maxTravel);
            double farthest = 0;
            std::vector<Eigen::Vector3d> last = points(qa);
            for (int k = 1; k <= steps; ++k) {
                const std::vector<Eigen::Vector3d> now = points(qa + double(k) / steps * (qb - qa));
                for (size_t i = 0; i < now.size(); ++i)
                    farthest = std::max(farthest, (now[i] - last[i]).norm());
                last = now;
            }
            QVERIFY2(farthest <= maxTravel,
                     qPrintable(QString("%1 m in one of %2 steps").arg(farthest).arg(steps)));
            // A bound, yet not a wild one.
            QVERIFY2(farthest > maxTravel / 8,
                     qPrintable(QString("%1 m in one of %2 steps").arg(farthest).arg(steps)));
        }
        QCOMPARE(world.stepsAlong(cell.robot, kStretched, kStretched, maxTravel), 1);
    }

    // --- keeping up with the cell -----------------------------------------------------------

    void seesObjectsAddedMovedResizedAndRemovedBetweenChecks() {
        Cell cell;
        CollisionWorld world(cell.ws);
        QVERIFY(world.check().empty());

        auto* box = new CustomItem(cell.ws, "Box");
        box->setSize({0.06, 0.06, 0.06});
        placeUnderForearm(cell, box, 0.03, -kMm);
        QCOMPARE(described(world.check()), QStringList{"UR5e's forearm hits item 'Box'"});
        placeUnderForearm(cell, box, 0.03, kMm);
        QVERIFY(world.check().empty());
        box->setSize({0.06, 0.06, 0.064}); // grows 2 mm up (and down)
        QCOMPARE(described(world.check()), QStringList{"UR5e's forearm hits item 'Box'"});
        box->setName("Crate");
        QCOMPARE(described(world.check()), QStringList{"UR5e's forearm hits item 'Crate'"});
        cell.ws->remove(box);
        QVERIFY(world.check().empty());

        // The robot moves onto something, and its gripper follows its flange.
        auto* gripper = new RobotiqGripper2F85(cell.ws, "Gripper");
        gripper->mountOn(cell.robot);
        auto* post = new CustomItem(cell.ws, "Post");
        const Eigen::VectorXd turned = vec({kPi / 2, 0, 0, 0, 0, 0});
        cell.robot->setJointPositions(turned);
        post->setPose(makePose(toolCentre(*gripper).first));
        cell.robot->setJointPositions(kStretched);
        QVERIFY(world.check().empty());
        cell.robot->setJointPositions(turned);
        QCOMPARE(described(world.check()), QStringList{"gripper 'Gripper' hits item 'Post'"});
        // Taken off, it stays where it was: against the flange, and in the post, which no
        // longer counts.
        gripper->mountOn(nullptr);
        QCOMPARE(described(world.check()), QStringList{"UR5e's wrist 3 hits gripper 'Gripper'"});
        gripper->mountOn(cell.robot);
        QCOMPARE(world.check().size(), size_t(1));
        cell.robot->setPose(makePose({0, 1, 0.5}));
        QVERIFY(world.check().empty());
    }

    // Another robot meets what this one carries where it carries it now.
    void otherRobotsMeetWhatARobotCarriesWhereItIs() {
        Cell cell;
        auto* gripper = new RobotiqGripper2F85(cell.ws, "Gripper");
        gripper->mountOn(cell.robot);
        const Eigen::VectorXd turned = vec({kPi / 2, 0, 0, 0, 0, 0});
        cell.robot->setJointPositions(turned);
        const Eigen::Vector3d there = toolCentre(*gripper).first;
        cell.robot->setJointPositions(kStretched);
        // The other robot's forearm runs through where the gripper will be.
        auto* other = new UR5eRobot(cell.ws, "Other");
        other->setJointPositions(kStretched);
        const Eigen::Vector3d own = forearmMiddle(*other, kStretched) - other->pose().translation();
        other->setPose(makePose(there - own));
        CollisionWorld world(cell.ws);
        QVERIFY2(world.checkRobotAt(other, kStretched).empty(),
                 qPrintable(described(world.checkRobotAt(other, kStretched)).join("; ")));
        cell.robot->setJointPositions(turned);
        const QStringList met = described(world.checkRobotAt(other, kStretched));
        QVERIFY2(met.contains("Other's forearm hits gripper 'Gripper'"), qPrintable(met.join("; ")));
    }

    void keepsUpWithUndoAndRedo() {
        Cell cell;
        CollisionWorld world(cell.ws);
        UndoHistory& history = cell.project.history();
        history.record("Start");
        auto* box = new CustomItem(cell.ws, "Box");
        box->setSize({0.06, 0.06, 0.06});
        placeUnderForearm(cell, box, 0.03, -kMm);
        history.record("Add Box");
        QCOMPARE(world.check().size(), size_t(1));
        // Undo and redo put back copies of the objects, under the same ids.
        history.undo();
        QVERIFY(world.check().empty());
        history.redo();
        const std::vector<Contact> again = world.check();
        QCOMPARE(described(again), QStringList{"UR5e's forearm hits item 'Box'"});
        QCOMPARE(again[0].a, static_cast<const WorkspaceObject*>(cell.ws->getRobot("UR5e")));
        QCOMPARE(again[0].b, static_cast<const WorkspaceObject*>(cell.ws->find(Category::Item, "Box")));
    }
};

QTEST_GUILESS_MAIN(TestCollision)
#include "test_collision.moc"
