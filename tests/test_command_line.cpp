// The kestrin-studio command line: what it asks for, and how the program ends for each outcome,
// with a display and without one. Most cases start kestrin-studio itself.

#include <kestrin_app/command_line.h>

#include <QFile>
#include <QImage>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

namespace {

const QString kDemo = QStringLiteral(KESTRIN_SOURCE_DIR "/data/templates/demo_cell.kestrin");
const QString kCollisionDemo = QStringLiteral(KESTRIN_SOURCE_DIR "/data/templates/collision_demo.kestrin");

struct Ran {
    int status;
    QString out, err;
    QString all() const { return out + err; }
};

/// kestrin-studio with `args`; without a display when `headless`, as from a script on a server.
Ran studio(const QStringList& args, bool headless = false) {
    QProcess process;
    if (headless) {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
            env.remove(QLatin1String(name));
        process.setProcessEnvironment(env);
    }
    process.start(QStringLiteral(KESTRIN_STUDIO_EXE), args);
    if (!process.waitForFinished(120000)) {
        process.kill();
        process.waitForFinished();
        return {-1, {}, QStringLiteral("did not finish")};
    }
    // A crash (SIGABRT without a display, say) is no exit status at all.
    return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
            QString::fromUtf8(process.readAllStandardOutput()),
            QString::fromUtf8(process.readAllStandardError())};
}

} // namespace

class CommandLineTest : public QObject {
    Q_OBJECT

private slots:
    // --- Reading the command line (no application object needed) ------------------------------

    void readsWhatIsAskedFor_data() {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<int>("mode");
        using M = KSCommandLine::Mode;
        QTest::newRow("nothing") << QStringList{} << int(M::Studio);
        QTest::newRow("a file") << QStringList{"cell.kestrin"} << int(M::Studio);
        QTest::newRow("Qt's own options")
            << QStringList{"-platform", "xcb", "-style=fusion", "-reverse"} << int(M::Studio);
        QTest::newRow("help") << QStringList{"--help"} << int(M::Help);
        QTest::newRow("version") << QStringList{"--version"} << int(M::Version);
        QTest::newRow("run") << QStringList{"--run", "P", "cell.kestrin"} << int(M::Run);
        QTest::newRow("trials") << QStringList{"--run", "P", "cell.kestrin", "--trials", "5"}
                                << int(M::Trials);
        QTest::newRow("results alone are trials")
            << QStringList{"--run", "P", "c.kestrin", "--results", "r"} << int(M::Trials);
        QTest::newRow("merge") << QStringList{"--merge", "a.jsonl", "b.jsonl"} << int(M::Merge);
        QTest::newRow("screenshot") << QStringList{"--screenshot", "s.png"} << int(M::Screenshot);
    }
    void readsWhatIsAskedFor() {
        QFETCH(QStringList, args);
        QFETCH(int, mode);
        const KSCommandLine c = KSCommandLine::parse(QStringList{"kestrin-studio"} + args);
        QCOMPARE(int(c.mode), mode);
        QVERIFY2(c.error.isEmpty(), qPrintable(c.error));
        QCOMPARE(c.needsDisplay(),
                 mode == int(KSCommandLine::Mode::Studio) || mode == int(KSCommandLine::Mode::Screenshot));
    }

    void keepsTheValuesGiven() {
        const KSCommandLine shot = KSCommandLine::parse(
            {"kestrin-studio", "cell.kestrin", "--screenshot", "s.png", "--size", "640x360"});
        QCOMPARE(shot.file, QString("cell.kestrin"));
        QCOMPARE(shot.screenshot, QString("s.png"));
        QCOMPARE(shot.size, QSize(640, 360));
        QVERIFY(!KSCommandLine::parse({"kestrin-studio", "--screenshot", "s.png"}).size.isValid());
        // Qt's options are the application's own; the file after them is still the file.
        QCOMPARE(KSCommandLine::parse({"kestrin-studio", "--style", "fusion", "cell.kestrin"}).file,
                 QString("cell.kestrin"));
        const KSCommandLine run = KSCommandLine::parse({"kestrin-studio", "--run", "Pick", "cell.kestrin"});
        QCOMPARE(run.program, QString("Pick"));
        QCOMPARE(run.file, QString("cell.kestrin"));
    }

    void refusesWhatDoesNotGoTogether_data() {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QString>("message");
        QTest::newRow("run and screenshot") << QStringList{"--run", "P", "c.kestrin", "--screenshot", "s.png"}
                                            << "--run plays a program without a window and --screenshot";
        QTest::newRow("size without screenshot") << QStringList{"--size", "640x360"} << "--size goes with";
        QTest::newRow("size not WxH")
            << QStringList{"--screenshot", "s.png", "--size", "640"} << "--size needs WIDTHxHEIGHT";
        QTest::newRow("size too small")
            << QStringList{"--screenshot", "s.png", "--size", "8x8"} << "not '8x8'";
        QTest::newRow("size too large")
            << QStringList{"--screenshot", "s.png", "--size", "10000x100"} << "from 16 to 8192";
        QTest::newRow("screenshot without a path") << QStringList{"--screenshot="} << "--screenshot needs";
        QTest::newRow("merge and screenshot")
            << QStringList{"--merge", "a", "--screenshot", "s.png"} << "does not go with --screenshot";
        QTest::newRow("trials and screenshot")
            << QStringList{"--run", "P", "c.kestrin", "--trials", "3", "--screenshot", "s.png"}
            << "does not go with trials";
        QTest::newRow("two files") << QStringList{"a.kestrin", "b.kestrin"}
                                   << "one project file at most, got 2";
        QTest::newRow("run without a file") << QStringList{"--run", "P"} << "--run needs a project file";
        QTest::newRow("unknown option") << QStringList{"--bogus"} << "Unknown option 'bogus'";
        QTest::newRow("option without its value") << QStringList{"--run"} << "Missing value after '--run'";
    }
    void refusesWhatDoesNotGoTogether() {
        QFETCH(QStringList, args);
        QFETCH(QString, message);
        const KSCommandLine c = KSCommandLine::parse(QStringList{"kestrin-studio"} + args);
        QCOMPARE(int(c.mode), int(KSCommandLine::Mode::Invalid));
        QVERIFY2(c.error.contains(message), qPrintable(c.error));
        QVERIFY(!c.needsDisplay());
    }

    // --- Exit statuses, one case each, each with what it says ----------------------------------

    void completedRunExitsZeroAndSaysSoOnce() {
        const Ran ran = studio({"--run", "Pick and Place", kDemo});
        QCOMPARE(ran.status, 0);
        QVERIFY2(ran.out.startsWith("Program 'Pick and Place' completed after "), qPrintable(ran.all()));
        QCOMPARE(ran.all().count("completed after"), 1);
        QCOMPARE(ran.all().count("Pick and Place"), 1);
    }

    void faultedRunExitsOneWithItsReasonOnce() {
        const Ran ran = studio({"--run", "Swing Round", kCollisionDemo});
        QCOMPARE(ran.status, 1);
        QVERIFY2(ran.out.contains("Program 'Swing Round' faulted after ") &&
                     ran.out.contains("UR5e's wrist 1 hits item 'Fixture'"),
                 qPrintable(ran.all()));
        QCOMPARE(ran.all().count("faulted"), 1);
    }

    void unknownOptionExitsTwoWithTheUsage() {
        const Ran ran = studio({"--bogus"});
        QCOMPARE(ran.status, 2);
        QVERIFY2(ran.err.startsWith("kestrin-studio: Unknown option 'bogus'."), qPrintable(ran.err));
        QVERIFY2(ran.err.contains("Usage: ") && ran.err.contains("--screenshot <PATH>"), qPrintable(ran.err));
        QCOMPARE(ran.out, QString());
    }

    void missingFileExitsTwoNamingIt() {
        QTemporaryDir dir;
        const QString missing = dir.filePath("missing.kestrin");
        const Ran ran = studio({"--run", "Pick and Place", missing});
        QCOMPARE(ran.status, 2);
        QVERIFY2(ran.err.contains(missing) && ran.err.contains("does not exist"), qPrintable(ran.err));
        QCOMPARE(ran.out, QString());
    }

    void badFileExitsTwoNamingIt() {
        QTemporaryDir dir;
        const QString broken = dir.filePath("broken.kestrin");
        QFile f(broken);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("{ this is not a project");
        f.close();
        const Ran ran = studio({"--run", "Pick and Place", broken});
        QCOMPARE(ran.status, 2);
        QVERIFY2(ran.err.contains(broken), qPrintable(ran.err));
        QVERIFY2(!ran.all().contains("faulted"), qPrintable(ran.all()));
    }

    void unknownProgramExitsTwoListingThePrograms() {
        const Ran ran = studio({"--run", "No Such Program", kDemo});
        QCOMPARE(ran.status, 2);
        QVERIFY2(ran.err.contains("has no program named 'No Such Program' (its programs: Pick and Place)."),
                 qPrintable(ran.err));
        QVERIFY2(!ran.all().contains("faulted"), qPrintable(ran.all()));
    }

    void runWithScreenshotIsRefusedNotDropped() {
        QTemporaryDir dir;
        const Ran ran = studio({"--run", "Pick and Place", kDemo, "--screenshot", dir.filePath("s.png")});
        QCOMPARE(ran.status, 2);
        QVERIFY2(ran.err.contains("give one of them"), qPrintable(ran.err));
        QVERIFY(!QFile::exists(dir.filePath("s.png")));
        QVERIFY2(!ran.out.contains("completed"), qPrintable(ran.out)); // nothing ran
    }

    void unwritableScreenshotExitsTwoNamingThePath() {
        const QString path = QStringLiteral("/nonexistent-folder/shot.png");
        const Ran ran = studio({kDemo, "--screenshot", path});
        QCOMPARE(ran.status, 2);
        QVERIFY2(ran.err.contains(path), qPrintable(ran.err));
    }

    // --- Without a display ----------------------------------------------------------------------

    void withoutADisplayABadOptionExitsTwoWithTheUsage() {
        const Ran ran = studio({"--bogus"}, true);
        QCOMPARE(ran.status, 2); // not a SIGABRT from a window system that is not there
        QVERIFY2(ran.err.contains("Unknown option 'bogus'"), qPrintable(ran.err));
        QVERIFY2(ran.err.contains("Usage: ") && ran.err.contains("--run <PROGRAM>"), qPrintable(ran.err));
    }

    void withoutADisplayHelpVersionAndRunWork() {
        const Ran help = studio({"--help"}, true);
        QCOMPARE(help.status, 0);
        QVERIFY2(help.out.contains("Usage: ") && help.out.contains("--size <WxH>"), qPrintable(help.all()));
        const Ran version = studio({"--version"}, true);
        QCOMPARE(version.status, 0);
        QCOMPARE(version.out.trimmed(), QString("kestrin-studio " KESTRIN_VERSION));
        const Ran run = studio({"--run", "Pick and Place", kDemo}, true);
        QCOMPARE(run.status, 0);
        QVERIFY2(run.out.contains("completed after"), qPrintable(run.all()));
    }

    void withoutADisplayTheWindowIsRefusedWithAReason() {
        const Ran ran = studio({kDemo}, true);
        QCOMPARE(ran.status, 2);
        QVERIFY2(ran.err.contains("no display"), qPrintable(ran.err));
    }

    // --- Screenshots (these need the display the tests run under) --------------------------------

    void screenshotTakesTheSizeAsked() {
        QTemporaryDir dir;
        const QString shot = dir.filePath("shot.png");
        const Ran ran = studio({kDemo, "--screenshot", shot, "--size", "320x200"});
        QVERIFY2(ran.status == 0, qPrintable(ran.all()));
        const QImage image(shot);
        QCOMPARE(image.size(), QSize(320, 200));
        QCOMPARE(ran.out.count("Saved the view to"), 1);
    }
};

QTEST_GUILESS_MAIN(CommandLineTest)
#include "test_command_line.moc"
