// Autosave and crash recovery: the studio writes unsaved work to a recovery file of its own, never
// over the user's file; a studio that ends without a clean quit leaves it for the next start,
// which offers to restore it; two studios never touch each other's files; and a studio killed at
// any moment leaves the project as last autosaved, never a broken one.

#include "dialog_driver.h"
#include "random_user.h"
#include "studio_fixture.h"
#include "test_support.h"

#include <kestrin_app/recovery.h>
#include <kestrin_viewer/simulator.h>

#include <QAction>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QSurfaceFormat>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <QVTKOpenGLNativeWidget.h>

#include <csignal>
#include <cstdio>
#include <memory>
#include <random>

using testing::DialogDriver;
using testing::settle;
using testing::Studio;

namespace {

const QString kDemo = QStringLiteral(KESTRIN_SOURCE_DIR "/data/templates/demo_cell.kestrin");

/// Answers the restore prompt with the button of that objectName.
DialogDriver::Action pressButton(const QString& name) {
    return [name](QWidget* dialog) {
        if (auto* button = dialog->findChild<QPushButton*>(name))
            button->click();
        else
            static_cast<QDialog*>(dialog)->reject();
    };
}

/// Files of the recovery folder (hidden ones too), by name.
QStringList recoveryEntries() {
    return QDir(KSRecovery::defaultFolder()).entryList(QDir::Files | QDir::Hidden, QDir::Name);
}

QStringList projectsLeft() {
    return recoveryEntries().filter(QRegularExpression("\\.kestrin$"));
}

void clearRecoveryFolder() {
    QDir dir(KSRecovery::defaultFolder());
    for (const QString& name : dir.entryList(QDir::Files | QDir::Hidden))
        dir.remove(name);
}

/// A change recorded as an undo step, as every operation of the studio makes.
void moveTheArm(Studio& s, double by) {
    kestrin::Robot* arm = s.workspace()->getRobot("UR5e");
    Eigen::VectorXd q = arm->jointPositions();
    q[0] += by;
    arm->setJointPositions(q);
    s.project()->history().record("Move UR5e");
    settle();
}

/// A studio with the demo cell saved to `file` and opened from there, unchanged.
void openSavedDemo(Studio& s, const QString& file) {
    {
        kestrin::Project p;
        p.load(kDemo);
        p.save(file);
    }
    DialogDriver::expect(DialogDriver::reject());
    DialogDriver::expect(DialogDriver::chooseFile(file));
    s.handler().openProject();
    settle();
}

// --- The child studio of the kill test ------------------------------------------------------------

/// Works in the studio at random until it is killed, autosaving every tenth of a second. Before
/// each autosave it writes what that autosave is to hold to JOURNAL/N.kestrin (N counting up).
int runChildStudio(const QString& journal, quint32 seed) {
    KSRecovery::setIntervalSeconds(0.1);
    Studio s;
    s.window.resize(640, 480);
    s.window.show();
    s.handler()._exit_application = [](int) {};
    s.handler()._on_simulator_created = [](kestrin::Simulator* sim) { sim->setSpeed(1000); };
    DialogDriver::expect(DialogDriver::reject());
    s.handler().openTemplate(kDemo);
    int written = 0;
    s.window.recovery()._aboutToWrite = [&](const QByteArray& bytes) {
        writeFileBytes(QDir(journal).filePath(QStringLiteral("%1.kestrin").arg(++written)), bytes);
    };
    QDir().mkpath(QDir(journal).filePath("work"));
    testing::User user(s, QDir(journal).filePath("work"), seed);
    for (;;) {
        DialogDriver::reset();
        user.act();
        settle();
        QTest::qWait(5); // lets the autosave timer and the end of a write come through
    }
}

} // namespace

class RecoveryTest : public QObject {
    Q_OBJECT
private slots:
    void init() {
        DialogDriver::reset();
        clearRecoveryFolder();
        KSRecovery::setIntervalSeconds(0.05);
    }
    void cleanup() { QCOMPARE(DialogDriver::closedBySafety(), 0); }

    void autosaveWritesItsOwnFileUntilTheProjectIsSaved() {
        QTemporaryDir dir;
        const QString file = dir.filePath("cell.kestrin");
        Studio s;
        openSavedDemo(s, file);
        const QByteArray users = readFileBytes(file);
        QTest::qWait(200);
        QCOMPARE(projectsLeft(), QStringList()); // nothing unsaved, nothing written

        moveTheArm(s, 0.1);
        KSRecovery& recovery = s.window.recovery();
        QTRY_VERIFY(QFile::exists(recovery.recoveryFile()));
        recovery.waitForWrites();
        QCOMPARE(readFileBytes(file), users); // never over the user's file
        QCOMPARE(readFileBytes(recovery.recoveryFile()), s.project()->fileText());
        QFile meta(QString(recovery.recoveryFile()).replace(".kestrin", ".json"));
        QVERIFY(meta.open(QIODevice::ReadOnly));
        QCOMPARE(QJsonDocument::fromJson(meta.readAll()).object().value("file").toString(), file);

        // Further changes are written again, at most once per interval.
        const int before = recovery._writesDone();
        moveTheArm(s, 0.1);
        QTRY_COMPARE(readFileBytes(recovery.recoveryFile()), s.project()->fileText());
        recovery.waitForWrites(); // the file is in place a moment before the write is counted
        QCOMPARE(recovery._writesDone(), before + 1);

        // A save leaves nothing to recover; so does undoing back to what was saved.
        s.handler().saveProject();
        QTRY_COMPARE(projectsLeft(), QStringList());
        moveTheArm(s, 0.2);
        QTRY_VERIFY(QFile::exists(recovery.recoveryFile()));
        s.handler().undo();
        settle();
        QVERIFY(!s.project()->history().isModified());
        QTRY_COMPARE(projectsLeft(), QStringList());

        // File > Autosave Interval set to 0: autosave is off.
        DialogDriver::expect([](QWidget* dialog) {
            dialog->findChild<QSpinBox*>()->setValue(0);
            static_cast<QDialog*>(dialog)->accept();
        });
        s.window.findAction("actionAutosaveInterval")->trigger();
        QCOMPARE(KSRecovery::intervalSeconds(), 0.0);
        moveTheArm(s, 0.3);
        QTest::qWait(300);
        QCOMPARE(projectsLeft(), QStringList());
    }

    void aStudioThatDidNotQuitLeavesWorkToRestore() {
        QTemporaryDir dir;
        const QString file = dir.filePath("cell.kestrin");
        QByteArray autosaved;
        {
            Studio crashed;
            openSavedDemo(crashed, file);
            moveTheArm(crashed, 0.4);
            crashed.window.recovery().autosaveNow();
            crashed.window.recovery().waitForWrites();
            autosaved = readFileBytes(crashed.window.recovery().recoveryFile());
            QVERIFY(!autosaved.isEmpty());
            // Gone without a clean quit: its lock goes, its files stay.
        }
        QCOMPARE(projectsLeft().size(), 1);

        Studio s;
        testing::LogCapture log;
        DialogDriver::reset();
        DialogDriver::expect(pressButton("restoreButton"));
        QVERIFY(s.window.recovery().offerRestore(&s.window));
        QCOMPARE(DialogDriver::seenTitles(), QStringList{"Restore Project"});
        QCOMPARE(s.project()->fileText(), autosaved); // saving it gives the same bytes
        QVERIFY(s.project()->history().isModified());
        QCOMPARE(s.handler()._active_filename, file);
        QCOMPARE(s.viewer()->_differenceFromModel(), QString());
        QVERIFY(!log.lines().filter("Restored the project autosaved at").isEmpty());
        // The restored work is this studio's to protect now: still on disk, under its name.
        QCOMPARE(projectsLeft(), QStringList{QFileInfo(s.window.recovery().recoveryFile()).fileName()});

        // A plain save writes it to the user's file, without asking, and the recovery file goes.
        s.handler().saveProject();
        QCOMPARE(DialogDriver::seenTitles().size(), 1);
        QCOMPARE(readFileBytes(file), autosaved);
        QTRY_COMPARE(projectsLeft(), QStringList());
    }

    void decideLaterKeepsTheFileAndDiscardRemovesIt() {
        {
            Studio crashed;
            DialogDriver::expect(DialogDriver::reject());
            crashed.handler().openTemplate(kDemo);
            moveTheArm(crashed, 0.4);
            crashed.window.recovery().autosaveNow();
        }
        const QStringList left = projectsLeft();
        QCOMPARE(left.size(), 1);
        {
            Studio s;
            DialogDriver::expect(pressButton("decideLaterButton"));
            QVERIFY(!s.window.recovery().offerRestore(&s.window));
            QCOMPARE(s.workspace()->objectCount(), 0); // nothing restored
        }
        QCOMPARE(projectsLeft(), left);
        {
            Studio s;
            DialogDriver::expect(DialogDriver::pressKey(Qt::Key_Escape)); // Escape is Decide Later too
            QVERIFY(!s.window.recovery().offerRestore(&s.window));
        }
        QCOMPARE(projectsLeft(), left);
        {
            Studio s;
            DialogDriver::expect(pressButton("discardButton"));
            QVERIFY(!s.window.recovery().offerRestore(&s.window));
        }
        QCOMPARE(projectsLeft(), QStringList());
        Studio s;
        DialogDriver::reset();
        QVERIFY(!s.window.recovery().offerRestore(&s.window));
        QVERIFY(DialogDriver::seenTitles().isEmpty()); // nothing left to offer
    }

    void twoStudiosKeepToTheirOwnFiles() {
        Studio a, b;
        for (Studio* s : {&a, &b}) {
            DialogDriver::expect(DialogDriver::reject());
            s->handler().openTemplate(kDemo);
        }
        moveTheArm(a, 0.1);
        a.window.recovery().autosaveNow();
        a.window.recovery().waitForWrites();
        const QByteArray aBytes = readFileBytes(a.window.recovery().recoveryFile());
        QVERIFY(!aBytes.isEmpty());
        // B neither offers nor touches A's file while A runs.
        QVERIFY(!b.window.recovery().offerRestore(&b.window));
        QCOMPARE(DialogDriver::seenTitles().size(), 2);
        moveTheArm(b, -0.1);
        b.window.recovery().autosaveNow();
        b.window.recovery().waitForWrites();
        QCOMPARE(projectsLeft().size(), 2);
        QCOMPARE(readFileBytes(a.window.recovery().recoveryFile()), aBytes);
        // B quits cleanly: only its own file goes.
        b.window.recovery().cleanQuit();
        QCOMPARE(projectsLeft(), QStringList{QFileInfo(a.window.recovery().recoveryFile()).fileName()});
        a.window.recovery().cleanQuit();
    }

    void anUnreadableRecoveryFileIsSetAsideAndReported() {
        const QString broken = QDir(KSRecovery::defaultFolder()).filePath("session-1-2.kestrin");
        QVERIFY(writeFileBytes(broken, "{ \"format\": cut off"));
        Studio s;
        DialogDriver::expect(DialogDriver::reject());
        s.handler().openTemplate(kDemo);
        DialogDriver::expect(pressButton("restoreButton"));
        QVERIFY(!s.window.recovery().offerRestore(&s.window));
        QCOMPARE(s.failures.size(), 1);
        QVERIFY2(s.failures.first().contains("set aside") && s.failures.first().contains("not valid JSON"),
                 qPrintable(s.failures.first()));
        QVERIFY(s.workspace()->findRobot("UR5e")); // the studio goes on with what it had
        QVERIFY(!QFile::exists(broken));
        QCOMPARE(readFileBytes(broken + ".unreadable"), QByteArray("{ \"format\": cut off"));
        // Not offered again.
        QVERIFY(!s.window.recovery().offerRestore(&s.window));
        QCOMPARE(DialogDriver::seenTitles().size(), 2);
    }

    void aCleanQuitRemovesTheRecoveryFile() {
        QApplication::setQuitOnLastWindowClosed(false);
        Studio s;
        QList<int> exits;
        s.handler()._exit_application = [&exits](int code) { exits << code; };
        DialogDriver::expect(DialogDriver::reject());
        s.handler().openTemplate(kDemo);
        moveTheArm(s, 0.1);
        s.window.recovery().autosaveNow();
        s.window.recovery().waitForWrites();
        QCOMPARE(projectsLeft().size(), 1);
        DialogDriver::expect(DialogDriver::reject()); // save first? no
        s.window.close();
        QCOMPARE(exits, QList<int>{0});
        QCOMPARE(projectsLeft(), QStringList());
        QApplication::setQuitOnLastWindowClosed(true);
    }

    void killedStudiosLeaveTheLastAutosaveAndNeverABrokenProject() {
        const int rounds = qEnvironmentVariableIsSet("KESTRIN_RECOVERY_KILLS")
                               ? qEnvironmentVariableIntValue("KESTRIN_RECOVERY_KILLS")
                               : 50;
        std::mt19937 rng(20261208);
        int restoredLast = 0, restoredEarlier = 0, nothingLeft = 0, duringWrite = 0;
        const QRegularExpression temporary("\\.(kestrin|json)\\.[A-Za-z0-9]{6}$");
        for (int round = 0; round < rounds; ++round) {
            clearRecoveryFolder();
            QTemporaryDir journal;
            QProcess child;
            QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
            env.insert("KESTRIN_RECOVERY_CHILD", journal.path());
            env.insert("KESTRIN_RECOVERY_SEED", QString::number(round + 1));
            child.setProcessEnvironment(env);
            child.setStandardOutputFile(QProcess::nullDevice());
            child.setStandardErrorFile(QProcess::nullDevice());
            child.start(QCoreApplication::applicationFilePath(), QStringList());
            QVERIFY(child.waitForStarted());
            // Once it autosaves, kill it at a random moment of its work.
            QVERIFY2(QTest::qWaitFor([&] { return QFile::exists(journal.filePath("1.kestrin")); }, 30000),
                     "the child studio never autosaved");
            QTest::qWait(std::uniform_int_distribution<int>(0, 1500)(rng));
            if (round % 2 == 1) {
                // Every other kill aims at a write: just after the child says it begins one.
                auto begun = [&] {
                    int n = 0;
                    while (QFile::exists(journal.filePath(QStringLiteral("%1.kestrin").arg(n + 1))))
                        ++n;
                    return n;
                };
                const int seen = begun();
                QElapsedTimer waited;
                waited.start();
                while (begun() == seen && waited.elapsed() < 5000)
                    QThread::usleep(100);
                QThread::usleep(std::uniform_int_distribution<unsigned>(0, 3000)(rng));
            }
            ::kill(pid_t(child.processId()), SIGKILL);
            QVERIFY(child.waitForFinished());

            const QStringList entries = recoveryEntries();
            if (!entries.filter(temporary).isEmpty())
                ++duringWrite;
            int last = 0;
            while (QFile::exists(journal.filePath(QStringLiteral("%1.kestrin").arg(last + 1))))
                ++last;
            const QByteArray newest = readFileBytes(journal.filePath(QStringLiteral("%1.kestrin").arg(last)));
            const QByteArray before =
                last > 1 ? readFileBytes(journal.filePath(QStringLiteral("%1.kestrin").arg(last - 1)))
                         : QByteArray();

            Studio s;
            if (projectsLeft().isEmpty()) {
                // Killed after a save (or before the first write ended): nothing is offered.
                QVERIFY(!s.window.recovery().offerRestore(&s.window));
                QVERIFY(DialogDriver::seenTitles().isEmpty());
                ++nothingLeft;
            } else {
                DialogDriver::reset();
                DialogDriver::expect(pressButton("restoreButton"));
                QVERIFY2(s.window.recovery().offerRestore(&s.window),
                         qPrintable(QStringLiteral("round %1: %2").arg(round).arg(s.failures.join("; "))));
                const QByteArray restored = s.project()->fileText();
                QVERIFY2(
                    restored == newest || restored == before,
                    qPrintable(QStringLiteral("round %1: the restored project is neither of the last two "
                                              "autosaves (%2 were begun)")
                                   .arg(round)
                                   .arg(last)));
                ++(restored == newest ? restoredLast : restoredEarlier);
                QVERIFY(s.project()->history().isModified());
            }
            s.window.recovery().cleanQuit();
            DialogDriver::reset();
        }
        std::printf("%d studios killed: %d restored the last autosave, %d the one before it (killed while "
                    "writing the last), %d left nothing to restore; %d kills fell during an autosave write "
                    "(a temporary file was left)\n",
                    rounds, restoredLast, restoredEarlier, nothingLeft, duringWrite);
        QCOMPARE(restoredLast + restoredEarlier + nothingLeft, rounds);
        QVERIFY2(restoredLast > 0, "no kill left an autosave to restore");
    }
};

int main(int argc, char** argv) {
    // A data and a settings folder of the test's own: the recovery folder lives there, and a
    // child studio started by the test inherits them.
    static QTemporaryDir home;
    if (!qEnvironmentVariableIsSet("KESTRIN_RECOVERY_CHILD")) {
        qputenv("XDG_DATA_HOME", home.filePath("data").toUtf8());
        qputenv("XDG_CONFIG_HOME", home.filePath("config").toUtf8());
    }
    QSurfaceFormat::setDefaultFormat(QVTKOpenGLNativeWidget::defaultFormat());
    QApplication::setAttribute(Qt::AA_DontUseNativeDialogs);
    QApplication app(argc, argv);
    app.setOrganizationName(QStringLiteral("KestrinTests"));
    if (qEnvironmentVariableIsSet("KESTRIN_RECOVERY_CHILD"))
        return runChildStudio(qEnvironmentVariable("KESTRIN_RECOVERY_CHILD"),
                              quint32(qEnvironmentVariableIntValue("KESTRIN_RECOVERY_SEED")));
    RecoveryTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "test_recovery.moc"
