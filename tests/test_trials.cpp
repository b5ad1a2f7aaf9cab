// Randomised trials: seeds per trial, fault kinds, the summary, result files and their merging,
// trials on several threads, and the command line.

#include <kestrin/kestrin.h>
#include <kestrin/trials.h>
#include <kestrin_app/trial_runner.h>

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <cmath>

using namespace kestrin;

namespace {

const QString kDemo = QStringLiteral(KESTRIN_SOURCE_DIR "/data/templates/demo_cell.kestrin");
const QString kCollisionDemo = QStringLiteral(KESTRIN_SOURCE_DIR "/data/templates/collision_demo.kestrin");

/// A UR5e "Arm" with tool frame "Tip" and a program "Wild" that moves to a joint target drawn
/// uniformly, its elbow sometimes beyond its limits; then one program per way of faulting.
void faultyCell(Project& p) {
    auto* arm = new UR5eRobot(p.workspace(), "Arm");
    auto* tip = new ToolFrame(p.workspace(), "Tip");
    tip->setOffset(makePose({0, 0, 0.15}));
    arm->addToolFrame(tip);
    const Eigen::VectorXd home = arm->homePositions();
    Eigen::VectorXd lo = home.array() - 0.2, hi = home.array() + 0.2;
    lo[2] = 2.0;
    hi[2] = 4.2; // the elbow stops at 180 degrees: about half the draws go past
    new JointPositionTarget(&p, "Anywhere", std::make_unique<UniformDistribution>(lo, hi));
    Eigen::VectorXd beyond = home;
    beyond[2] = 4.0;
    new JointPositionTarget(&p, "Beyond", std::make_unique<DeterministicDistribution>(beyond));
    auto* region = new TaskRegion(p.workspace(), "Far");
    region->setPose(makePose({20, 0, 1}));
    auto gen = std::make_unique<PoseGenerator>(&p);
    gen->setTaskRegion("Far");
    new TaskRegionTarget(&p, "There", std::move(gen), nullptr);

    auto program = [&p](const QString& name) {
        auto* s = new Sequence(&p, name);
        p.addProgram(s);
        return s;
    };
    auto move = [&p](const QString& name, const QString& target) {
        auto* m = new MoveToJointTarget(&p, name);
        m->setProperty("robot", "Arm");
        m->setProperty("target", target);
        return m;
    };
    program("Wild")->_addChild(move("Swing", "Anywhere"));
    program("Too far")->_addChild(move("Stretch", "Beyond"));
    auto* reach = new MoveToTaskRegion(&p, "Reach");
    reach->setProperty("robot", "Arm");
    reach->setProperty("tool_frame", "Tip");
    reach->setProperty("target", "There");
    program("Out of reach")->_addChild(reach);
    auto* grasp = new Grasp(&p, "Grab air");
    grasp->setProperty("robot", "Arm");
    grasp->setProperty("tool_frame", "Tip");
    program("Empty hand")->_addChild(grasp);
    auto* wait = new Wait(&p, "Wait long");
    wait->setProperty("duration", 2 * kTrialTimeLimit);
    program("Forever")->_addChild(wait);
    auto* lost = move("Lost", "Anywhere");
    lost->setProperty("target", "");
    program("No robot")->_addChild(lost);
}

QJsonObject documentOf(const Project& p) {
    return p.toJson(true);
}

QJsonObject demoDocument() {
    Project demo;
    demo.load(kDemo);
    return demo.toJson(true);
}

TrialRecord faulted(int trial, FaultKind kind, const QString& behavior, double seconds = 1) {
    TrialRecord r;
    r.trial = trial;
    r.faultKind = kind;
    r.behavior = behavior;
    r.reason = QStringLiteral("went wrong");
    r.seconds = seconds;
    return r;
}

TrialRecord completed(int trial, double seconds) {
    TrialRecord r;
    r.trial = trial;
    r.completed = true;
    r.seconds = seconds;
    return r;
}

/// Results of trials 1..n of "Wild" (seed 7) as if run, for the merge tests.
TrialResults wildResults(const std::vector<int>& trials, int n, int shard = 0, int shards = 0) {
    Project p;
    faultyCell(p);
    TrialProject copy(documentOf(p), "cell");
    TrialResults out;
    out.info.file = "/cells/faulty.kestrin";
    out.info.projectHash = projectHash(p);
    out.info.program = "Wild";
    out.info.seed = 7;
    out.info.trials = n;
    out.info.shard = shard;
    out.info.shards = shards;
    for (int t : trials)
        out.records.push_back(*copy.run("Wild", 7, t));
    return out;
}

/// kestrin-studio with `args`; its exit status, standard output and standard error.
struct Ran {
    int status;
    QString out, err;
};
Ran studio(const QStringList& args) {
    QProcess process;
    process.start(QStringLiteral(KESTRIN_STUDIO_EXE), args);
    if (!process.waitForFinished(120000))
        return {-1, {}, QStringLiteral("did not finish")};
    return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
            QString::fromUtf8(process.readAllStandardOutput()),
            QString::fromUtf8(process.readAllStandardError())};
}

QByteArray readAll(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

} // namespace

class TestTrials : public QObject {
    Q_OBJECT
private slots:
    // --- Seeds -------------------------------------------------------------------------------
    void trialSeedsDependOnBaseAndTrialOnly() {
        // Written into result files and used to replay old results: it must never change.
        QCOMPARE(trialSeed(1, 1), trialSeed(1, 1));
        QCOMPARE(trialSeed(1, 1), Q_UINT64_C(3018708184346319059));
        QSet<quint64> seen;
        for (quint64 base : {0ULL, 1ULL, 2ULL, ~0ULL})
            for (int t = 1; t <= 1000; ++t)
                seen.insert(trialSeed(base, t));
        QCOMPARE(seen.size(), 4000);
    }

    void shardsSplitTheTrialsBetweenThem() {
        QCOMPARE(shardTrials(10, 2, 4), (std::vector<int>{2, 6, 10}));
        QCOMPARE(shardTrials(3, 4, 4), std::vector<int>{});
        QCOMPARE(shardTrials(5, 1, 1), (std::vector<int>{1, 2, 3, 4, 5}));
        QVERIFY_EXCEPTION_THROWN(shardTrials(10, 0, 4), ValueError);
        QVERIFY_EXCEPTION_THROWN(shardTrials(10, 5, 4), ValueError);
    }

    // --- Summary -----------------------------------------------------------------------------
    void wilsonIntervalMatchesKnownValues_data() {
        QTest::addColumn<int>("k");
        QTest::addColumn<int>("n");
        QTest::addColumn<double>("low");
        QTest::addColumn<double>("high");
        QTest::newRow("none of ten") << 0 << 10 << 0.0 << 0.2775328;
        QTest::newRow("all of ten") << 10 << 10 << 0.7224672 << 1.0;
        QTest::newRow("half of ten") << 5 << 10 << 0.2365931 << 0.7634069;
        QTest::newRow("81 of 263") << 81 << 263 << 0.2552885 << 0.3662096;
        QTest::newRow("one of one") << 1 << 1 << 0.2065493 << 1.0;
        QTest::newRow("950 of 1000") << 950 << 1000 << 0.9346862 << 0.9618697;
        QTest::newRow("no trials") << 0 << 0 << 0.0 << 0.0;
    }
    void wilsonIntervalMatchesKnownValues() {
        QFETCH(int, k);
        QFETCH(int, n);
        QFETCH(double, low);
        QFETCH(double, high);
        const auto [lo, hi] = wilsonInterval(k, n);
        QVERIFY2(std::abs(lo - low) < 1e-6, qPrintable(QString::number(lo, 'g', 10)));
        QVERIFY2(std::abs(hi - high) < 1e-6, qPrintable(QString::number(hi, 'g', 10)));
    }

    void summaryCountsFaultsAndCycleTimes() {
        std::vector<TrialRecord> records;
        for (int t = 1; t <= 20; ++t)
            records.push_back(completed(t, double(21 - t))); // 20, 19, ..., 1 s
        records.push_back(faulted(21, FaultKind::Collision, "Reach", 100));
        records.push_back(faulted(22, FaultKind::Collision, "Lift"));
        records.push_back(faulted(23, FaultKind::JointLimit, "Reach"));
        const TrialSummary s = TrialSummary::of(records);
        QCOMPARE(s.ran, 23);
        QCOMPARE(s.completed, 20);
        QCOMPARE(s.faulted, 3);
        QCOMPARE(s.faultsByKind, (QMap<QString, int>{{"collision", 2}, {"joint limit", 1}}));
        QCOMPARE(s.faultsByBehavior, (QMap<QString, int>{{"Reach", 2}, {"Lift", 1}}));
        // Cycle times are of completed trials only: a fault at 100 s is no cycle.
        QCOMPARE(*s.cycleMin, 1.0);
        QCOMPARE(*s.cycleMax, 20.0);
        QCOMPARE(*s.cycleMedian, 10.5);
        QCOMPARE(*s.cycleP95, 19.0);
        QVERIFY(std::abs(s.successRate - 20.0 / 23) < 1e-12);
        QVERIFY(!TrialSummary::of({faulted(1, FaultKind::Other, "")}).cycleMin);
    }

    // --- One trial ---------------------------------------------------------------------------
    void faultsAreClassifiedByKind_data() {
        QTest::addColumn<QString>("program");
        QTest::addColumn<int>("kind");
        QTest::addColumn<QString>("behavior");
        QTest::newRow("joint limit") << "Too far" << int(FaultKind::JointLimit) << "Stretch";
        QTest::newRow("unreachable") << "Out of reach" << int(FaultKind::Unreachable) << "Reach";
        QTest::newRow("nothing to grasp") << "Empty hand" << int(FaultKind::NothingToGrasp) << "Grab air";
        QTest::newRow("timeout") << "Forever" << int(FaultKind::Timeout) << "Wait long";
        QTest::newRow("other") << "No robot" << int(FaultKind::Other) << "Lost";
    }
    void faultsAreClassifiedByKind() {
        QFETCH(QString, program);
        QFETCH(int, kind);
        QFETCH(QString, behavior);
        Project p;
        faultyCell(p);
        TrialProject copy(documentOf(p), "cell");
        const TrialRecord r = *copy.run(program, 1, 1);
        QVERIFY(!r.completed);
        QCOMPARE(int(r.faultKind), kind);
        QCOMPARE(r.behavior, behavior);
        if (FaultKind(kind) == FaultKind::Timeout)
            QCOMPARE(r.seconds, kTrialTimeLimit);
    }

    void collisionFaultsCountAsCollisions() {
        Project cell;
        cell.load(kCollisionDemo);
        TrialProject copy(cell.toJson(true), "collision demo");
        const TrialRecord r = *copy.run(cell.programList().front()->name(), 1, 1);
        QVERIFY(!r.completed);
        QCOMPARE(r.faultKind, FaultKind::Collision);
        QCOMPARE(r.collidingObjects.size(), size_t(2));
        const TrialSummary s = TrialSummary::of({r, r});
        QCOMPARE(s.faultsByKind.value("collision"), 2);
    }

    void everyTrialStartsFromTheSameCell() {
        // The demo moves the arm and carries the part away: the next trial must not start there.
        TrialProject copy(demoDocument(), "demo");
        const WorkspaceState before = copy.project().workspace()->_getState();
        const TrialRecord first = *copy.run("Pick and Place", 3, 5);
        QVERIFY(copy.project().workspace()->_getState() != before);
        copy.run("Pick and Place", 3, 6);
        QCOMPARE(*copy.run("Pick and Place", 3, 5), first);
    }

    void aTrialReplaysAloneToTheSameValuesAndOutcome() {
        Project p;
        faultyCell(p);
        TrialProject batch(documentOf(p), "cell");
        std::vector<TrialRecord> all;
        for (int t = 1; t <= 30; ++t)
            all.push_back(*batch.run("Wild", 99, t));
        // Both outcomes occur, and the draws differ from trial to trial.
        const TrialSummary s = TrialSummary::of(all);
        QVERIFY(s.completed > 0 && s.faulted > 0);
        QVERIFY(all[0].draws.front().values != all[1].draws.front().values);
        for (int t : {1, 17, 30}) {
            TrialProject alone(documentOf(p), "cell");
            const TrialRecord r = *alone.run("Wild", 99, t);
            QCOMPARE(r, all[size_t(t - 1)]);
            QCOMPARE(r.draws.size(), size_t(1));
            QCOMPARE(r.draws.front().variable, QString("Anywhere"));
            QCOMPARE(r.draws.front().values.size(), size_t(6));
        }
    }

    void taskRegionDrawsRecordThePoseUsed() {
        TrialProject copy(demoDocument(), "demo");
        const TrialRecord r = *copy.run("Pick and Place", 1, 1);
        QStringList variables;
        for (const Draw& d : r.draws) {
            variables << d.variable;
            if (d.variable == "Place Target") {
                QCOMPARE(d.values.size(), size_t(6));
                QVERIFY(d.attempts >= 1);
            }
        }
        QCOMPARE(variables, (QStringList{"Home", "Pick Approach", "Place Target", "Home"}));
    }

    void cancellingBreaksATrialOff() {
        TrialProject copy(demoDocument(), "demo");
        int asked = 0;
        QVERIFY(!copy.run("Pick and Place", 1, 1, [&asked] { return ++asked == 3; }));
        QCOMPARE(asked, 3);
        QVERIFY(copy.run("Pick and Place", 1, 1, [] { return false; }).has_value());
    }

    // --- Threads and shards ------------------------------------------------------------------
    void sameSeedSameResultsWhateverTheJobsAndShards() {
        Project p;
        faultyCell(p);
        TrialPlan plan = trialPlanFor(p, "cell", "Wild", 42);
        plan.trials = shardTrials(60, 1, 1);
        TrialResults one;
        one.info.program = "Wild";
        one.info.seed = 42;
        one.info.trials = 60;
        one.info.projectHash = projectHash(p);
        plan.jobs = 1;
        one.records = runTrials(plan);
        TrialResults two = one;
        plan.jobs = 2;
        two.records = runTrials(plan);
        TrialResults many = one;
        plan.jobs = 7;
        many.records = runTrials(plan);
        QCOMPARE(two.toJsonLines(), one.toJsonLines());
        QCOMPARE(many.toJsonLines(), one.toJsonLines());

        std::vector<TrialResults> shards;
        for (int i = 1; i <= 3; ++i) {
            TrialResults s = one;
            s.info.shard = i;
            s.info.shards = 3;
            plan.trials = shardTrials(60, i, 3);
            plan.jobs = i; // each shard on a different number of threads
            s.records = runTrials(plan);
            // Through the file format, as from a cluster.
            shards.push_back(TrialResults::fromJsonLines(s.toJsonLines(), QString("shard %1").arg(i)));
        }
        const TrialResults merged = mergeTrialResults({shards[2], shards[0], shards[1]}, {});
        QCOMPARE(merged.toJsonLines(), one.toJsonLines());

        // Another seed draws otherwise.
        plan.seed = 43;
        plan.trials = shardTrials(60, 1, 1);
        TrialResults other = one;
        other.records = runTrials(plan);
        QVERIFY(other.records.front().draws.front().values != one.records.front().draws.front().values);
    }

    void cancelledTrialsKeepThoseFinished() {
        TrialPlan plan = trialPlanFor(
            *[] {
                static Project demo;
                if (demo.programs().isEmpty())
                    demo.load(kDemo);
                return &demo;
            }(),
            "demo", "Pick and Place", 1);
        plan.trials = shardTrials(100000, 1, 1);
        plan.jobs = 2;
        std::atomic<bool> cancel{false};
        std::atomic<int> done{0};
        std::thread stopper([&] {
            while (done < 5)
                std::this_thread::yield();
            cancel = true;
        });
        const std::vector<TrialRecord> records = runTrials(plan, &cancel, &done);
        stopper.join();
        QVERIFY(records.size() >= 5);
        QVERIFY(records.size() < 100000);
        QCOMPARE(int(records.size()), done.load());
        for (size_t i = 1; i < records.size(); ++i)
            QVERIFY(records[i - 1].trial < records[i].trial);
    }

    // --- Result files ------------------------------------------------------------------------
    void resultsRoundTripThroughJsonLinesExactly() {
        const TrialResults results = wildResults(shardTrials(25, 1, 1), 25);
        const QByteArray text = results.toJsonLines();
        QCOMPARE(text.count('\n'), 26);
        const TrialResults back = TrialResults::fromJsonLines(text, "results");
        QCOMPARE(back.records.size(), results.records.size());
        for (size_t i = 0; i < back.records.size(); ++i)
            QCOMPARE(back.records[i], results.records[i]);
        QCOMPARE(back.info.seed, quint64(7));
        QCOMPARE(back.toJsonLines(), text);
        // The CSV has a header and one line per trial.
        QCOMPARE(results.toCsv().count('\n'), 26);
        QVERIFY(results.toCsv().startsWith("trial,seed,outcome,fault_kind,behavior,seconds,reason,draws\n"));
    }

    void unfinishedOrAlteredResultsAreRefused() {
        const QByteArray text = wildResults(shardTrials(5, 1, 1), 5).toJsonLines();
        const QByteArray cut = text.left(text.lastIndexOf('\n', text.size() - 2) + 1);
        try {
            TrialResults::fromJsonLines(cut, "cut.jsonl");
            QFAIL("a file without its summary was read");
        } catch (const FormatError& e) {
            QVERIFY2(e.message().contains("'cut.jsonl' ends before its summary line"), e.what());
        }
        QByteArray otherSeed = text;
        otherSeed.replace(QByteArray("\"seed\":\"7\""), QByteArray("\"seed\":\"8\""));
        QVERIFY_EXCEPTION_THROWN(TrialResults::fromJsonLines(otherSeed, "x"), FormatError);
        QVERIFY_EXCEPTION_THROWN(TrialResults::fromJsonLines("{\"kind\":\"trial\"}\n", "x"), FormatError);
        QVERIFY_EXCEPTION_THROWN(TrialResults::fromJsonLines("not json\n", "x"), FormatError);
    }

    void mergeRefusesShardsOfAnotherRun_data() {
        QTest::addColumn<int>("change");
        QTest::addColumn<QString>("message");
        QTest::newRow("file") << 0 << "they are trials of different project files";
        QTest::newRow("program") << 1 << "they are trials of different programs ('Wild' and 'Tame')";
        QTest::newRow("seed") << 2 << "they are trials of different seeds (7 and 8)";
        QTest::newRow("trials") << 3 << "they are trials of different numbers of trials (10 and 12)";
    }
    void mergeRefusesShardsOfAnotherRun() {
        QFETCH(int, change);
        QFETCH(QString, message);
        const TrialResults a = wildResults(shardTrials(10, 1, 2), 10, 1, 2);
        TrialResults b = wildResults(shardTrials(10, 2, 2), 10, 2, 2);
        switch (change) {
        case 0:
            b.info.projectHash = "0123";
            break;
        case 1:
            b.info.program = "Tame";
            break;
        case 2:
            b.info.seed = 8;
            break;
        case 3:
            b.info.trials = 12;
            break;
        }
        try {
            mergeTrialResults({a, b}, {"a.jsonl", "b.jsonl"});
            QFAIL("merged shards of different runs");
        } catch (const ValueError& e) {
            QVERIFY2(e.message().startsWith("Cannot merge 'a.jsonl' and 'b.jsonl': " + message), e.what());
        }
    }

    void mergeRefusesDuplicateAndMissingTrials() {
        const TrialResults a = wildResults(shardTrials(10, 1, 2), 10, 1, 2);
        const TrialResults b = wildResults(shardTrials(10, 2, 2), 10, 2, 2);
        try {
            mergeTrialResults({a, b, a}, {"a.jsonl", "b.jsonl", "a-again.jsonl"});
            QFAIL("merged a shard twice");
        } catch (const ValueError& e) {
            QCOMPARE(e.message(), QString("Cannot merge: trial 1 is in both 'a.jsonl' and 'a-again.jsonl'."));
        }
        try {
            mergeTrialResults({b}, {"b.jsonl"});
            QFAIL("merged with a shard missing");
        } catch (const ValueError& e) {
            QCOMPARE(e.message(),
                     QString("Cannot merge: 5 of the 10 trials are in none of the files (trials 1, 3, "
                             "5, 7, 9); merge the results of every shard."));
        }
        QCOMPARE(mergeTrialResults({b, a}, {}).records.size(), size_t(10));
    }

    // --- The command line --------------------------------------------------------------------
    void commandLineRunsShardsAndMergesThemIntoTheOneMachineRun() {
        QTemporaryDir dir;
        const QString all = dir.filePath("all.jsonl");
        const Ran whole = studio({"--run", "Pick and Place", kDemo, "--trials", "24", "--seed", "5", "--jobs",
                                  "2", "--results", all});
        QVERIFY2(whole.status == 0 || whole.status == 1, qPrintable(whole.err));
        QVERIFY2(whole.out.contains("of 24 trials completed"), qPrintable(whole.out));
        QStringList parts;
        for (int i = 1; i <= 3; ++i) {
            parts << dir.filePath(QString("part%1.jsonl").arg(i));
            const Ran shard = studio({"--run", "Pick and Place", kDemo, "--trials", "24", "--seed", "5",
                                      "--shard", QString("%1/3").arg(i), "--results", parts.last()});
            QVERIFY2(shard.status == 0 || shard.status == 1, qPrintable(shard.err));
        }
        const Ran merged = studio(QStringList{"--merge"} + parts);
        QCOMPARE(merged.status, whole.status);
        QCOMPARE(merged.out.toUtf8(), readAll(all));
        const Ran missing = studio({"--merge", parts[0], parts[2]});
        QCOMPARE(missing.status, 2);
        QVERIFY2(missing.err.contains("8 of the 24 trials are in none of the files"),
                 qPrintable(missing.err));

        // A trial replays alone, printing what it drew.
        const TrialResults results = TrialResults::read(all);
        const TrialRecord& seventh = results.records[6];
        const Ran replay = studio({"--run", "Pick and Place", kDemo, "--replay", "7", "--seed", "5"});
        QCOMPARE(replay.status, seventh.completed ? 0 : 1);
        QVERIFY2(replay.out.contains(QString("trial seed %1").arg(seventh.seed)), qPrintable(replay.out));
        QVERIFY2(replay.out.contains("'Place Target' drew ["), qPrintable(replay.out));
    }

    void commandLineExitsOneWhenTrialsFault() {
        const Ran ran = studio({"--run", "Swing Round", kCollisionDemo, "--trials", "3"});
        QCOMPARE(ran.status, 1);
        QVERIFY2(ran.err.contains("Faults by kind: 3 collision."), qPrintable(ran.err));
        QCOMPARE(ran.out.count('\n'), 4); // the JSON Lines on standard output
    }

    void commandLineSaysWhatIsWrongWithExitTwo_data() {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QString>("message");
        const QString demo = kDemo;
        QTest::newRow("no count") << QStringList{"--run", "Pick and Place", demo, "--trials", "many"}
                                  << "--trials needs a whole number from 1 to";
        QTest::newRow("bad shard") << QStringList{"--run", "Pick and Place", demo, "--trials",
                                                  "9",     "--shard",        "5/4"}
                                   << "--shard needs I/K";
        QTest::newRow("bad seed") << QStringList{"--run", "Pick and Place", demo, "--trials",
                                                 "9",     "--seed",         "-1"}
                                  << "--seed needs a whole number";
        QTest::newRow("no program") << QStringList{"--run", "Dance", demo, "--trials", "9"}
                                    << "has no program named 'Dance' (its programs: Pick and Place)";
        QTest::newRow("no file") << QStringList{"--run", "Dance", "/nonexistent/cell.kestrin", "--trials",
                                                "9"}
                                 << "/nonexistent/cell.kestrin";
        QTest::newRow("trials without run")
            << QStringList{"--trials", "9", demo} << "go with --run PROGRAM FILE";
        QTest::newRow("seed alone") << QStringList{"--run", "Pick and Place", demo, "--seed", "3"}
                                    << "go with --trials N";
        QTest::newRow("merge nothing") << QStringList{"--merge"} << "--merge needs the result files";
        QTest::newRow("merge unreadable") << QStringList{"--merge", "/nonexistent/a.jsonl"}
                                          << "Cannot read trial results '/nonexistent/a.jsonl'";
        QTest::newRow("results unwritable")
            << QStringList{"--run",     "Pick and Place",      demo, "--trials", "2",
                           "--results", "/nonexistent/r.jsonl"}
            << "/nonexistent/r.jsonl";
    }
    void commandLineSaysWhatIsWrongWithExitTwo() {
        QFETCH(QStringList, args);
        QFETCH(QString, message);
        const Ran ran = studio(args);
        QCOMPARE(ran.status, 2);
        QVERIFY2(ran.err.contains(message), qPrintable(ran.err));
    }

    void plainRunIsUnchanged() {
        const Ran ran = studio({"--run", "Pick and Place", kDemo});
        QCOMPARE(ran.status, 0);
        QVERIFY2(ran.out.startsWith("Program 'Pick and Place' completed after"), qPrintable(ran.out));
    }
};

QTEST_GUILESS_MAIN(TestTrials)
#include "test_trials.moc"
