// Where objects go: placement on the floor grid that keeps them apart, the floor they take and
// give back, and the bounds of the cell.

#include "model_support.h"

#include "kestrin/cell_counts.h"
#include "kestrin/floor_grid.h"
#include "kestrin/kestrin.h"
#include "kestrin/users_index.h"

#include <QSet>
#include <QTemporaryDir>
#include <QtTest>

#include <cmath>
#include <map>

using namespace kestrin;
using namespace model_test;

class TestPlacement : public QObject {
    Q_OBJECT

private slots:
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
        QCOMPARE(FloorGrid::blocksOf(QRect(QPoint(-17, 0), QPoint(-17, 0))),
                 QRect(QPoint(-2, 0), QPoint(-2, 0)));
    }

    // Positions and sizes stay plant-sized in every setter, and what a robot sets down past the
    // edge stays within it, so that the cell always saves as a file that loads.
    void positionsAndSizesStayWithinTheCell() {
        Project project;
        Workspace* ws = project.workspace();
        auto* desk = new Desk(ws, "Desk");
        desk->setPose(makePose({1000, -1000, 1000}));
        QCOMPARE(desk->transform().position, Eigen::Vector3d(1000, -1000, 1000));
        for (const Eigen::Vector3d& far :
             {Eigen::Vector3d(5000, 0, 0), Eigen::Vector3d(0, -1000.001, 0), Eigen::Vector3d(0, 0, 1e308)}) {
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
};

QTEST_GUILESS_MAIN(TestPlacement)
#include "test_placement.moc"
