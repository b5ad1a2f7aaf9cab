// Programs and what they draw: behavior trees, variables and distributions.

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

class TestPrograms : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() {
        // A user may touch any type first; what is offered later must not depend on that.
        Wait::staticType();
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

    void distributionsAndListsStayWithinAJointCount() {
        QVERIFY_EXCEPTION_THROWN(DeterministicDistribution(Eigen::VectorXd::Zero(65)), ValueError);
        QVERIFY_EXCEPTION_THROWN(UniformDistribution(Eigen::VectorXd::Zero(65), Eigen::VectorXd::Ones(65)),
                                 ValueError);
        QVERIFY_EXCEPTION_THROWN(
            GaussianDistribution(Eigen::VectorXd::Zero(100000), Eigen::VectorXd::Ones(100000)), ValueError);
        QCOMPARE(DeterministicDistribution(Eigen::VectorXd::Zero(64)).dim(), 64);
        Project project;
        QVERIFY_EXCEPTION_THROWN(
            MixtureTarget(&project, "Mix", QVector<QString>(65).toList(), std::vector<double>(65, 1.0)),
            ValueError);
        QVERIFY(project.variableList().empty());
        new MixtureTarget(&project, "Mix", QVector<QString>(64).toList(), std::vector<double>(64, 1.0));
        QCOMPARE(project.variableList().size(), size_t(1));
    }
};

QTEST_GUILESS_MAIN(TestPrograms)
#include "test_programs.moc"
