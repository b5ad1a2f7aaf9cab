// Saving never leaves a broken project file: a save killed at any moment, or one whose writes
// fail part-way (a full disk, a file-size limit), leaves at the target path either the old
// project or the new one, whole, and no stray temporary files.

#include "test_support.h"

#include "kestrin/kestrin.h"

#include <QDir>
#include <QElapsedTimer>
#include <QJsonDocument>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <functional>
#include <random>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

using namespace kestrin;

namespace {

/// A cell far larger than real ones (`objects` work-cell objects), so that a save takes long
/// enough to be cut off half-way. Every name and size depends on `variant`, so that two variants
/// never save alike.
void buildCell(Project& p, int objects, int variant) {
    Workspace* ws = p.workspace();
    const QString tag = QStringLiteral("v%1").arg(variant);
    const double scale = 1.0 + 0.01 * variant;
    int made = 0;
    for (int r = 0; r < 10 && made < objects; ++r, made += 3) {
        auto* robot = new UR5eRobot(ws, QStringLiteral("Arm %1 %2").arg(tag).arg(r));
        (new RobotiqGripper2F85(ws, QStringLiteral("Gripper %1 %2").arg(tag).arg(r)))->mountOn(robot);
        robot->addToolFrame(new ToolFrame(ws, QStringLiteral("Tip %1 %2").arg(tag).arg(r)));
    }
    for (; made < objects; ++made) {
        const QString name = QStringLiteral("Part %1 %2").arg(tag).arg(made);
        const Eigen::Vector3d size(0.1 * scale, 0.05 + 0.001 * (made % 50), 0.02 * scale);
        switch (made % 4) {
        case 0:
            (new CustomItem(ws, name))->setSize(size);
            break;
        case 1:
            (new Desk(ws, name))->setSize(size * 10);
            break;
        case 2:
            (new TaskRegion(ws, name))->setSize(size);
            break;
        default:
            (new VisualMarker(ws, name))->setMarkerId(made % 1000);
            break;
        }
    }
    new JointPositionTarget(
        &p, QStringLiteral("Home %1").arg(tag),
        std::make_unique<DeterministicDistribution>(Eigen::VectorXd::Constant(6, 0.1 * variant)));
    auto* program = new Sequence(&p, QStringLiteral("Main %1").arg(tag));
    p.addProgram(program);
    auto* wait = new Wait(&p, QStringLiteral("Pause %1").arg(tag));
    wait->setProperty(QStringLiteral("duration"), 0.5 * variant);
    program->_addChild(wait);
}

QByteArray documentOf(const Project& p) {
    return QJsonDocument(p.toJson()).toJson(QJsonDocument::Compact);
}

/// Runs `work` in a child process. The child ends with status 0 when `work` returns, 1 when it
/// throws. It never returns into the test framework.
pid_t spawn(const std::function<void()>& work) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        int status = 0;
        try {
            work();
        } catch (...) {
            status = 1;
        }
        ::_exit(status);
    }
    return pid;
}

/// Waits for child `pid`; its wait status, or -1.
int reap(pid_t pid) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0)
        if (errno != EINTR)
            return -1;
    return status;
}

void sleepMicroseconds(qint64 us) {
    timespec t{static_cast<time_t>(us / 1000000), static_cast<long>(us % 1000000) * 1000};
    while (::nanosleep(&t, &t) != 0 && errno == EINTR) {
    }
}

/// The inode of `file` (through symlinks), or 0 when it cannot be seen.
ino_t fileId(const QString& file) {
    struct stat st;
    return ::stat(QFile::encodeName(file).constData(), &st) == 0 ? st.st_ino : 0;
}

/// Whether child `pid` has ended, without reaping it.
bool hasEnded(pid_t pid) {
    siginfo_t info{};
    return ::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
           info.si_pid == pid;
}

/// Entries of `folder` other than `keep`, hidden ones included.
QStringList strayFiles(const QString& folder, const QString& keep) {
    QStringList out =
        QDir(folder).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System);
    out.removeAll(keep);
    return out;
}

/// The document of the project in `file`, or the failure's message prefixed with "LOAD FAILED".
QByteArray loadedDocument(const QString& file) {
    Project p;
    try {
        p.load(file);
    } catch (const Error& e) {
        return "LOAD FAILED: " + e.message().toUtf8();
    }
    return documentOf(p);
}

/// Saves `project` to `file` in a child process whose files may not grow beyond `limit` bytes,
/// so that writes fail part-way as on a full disk (SIGXFSZ ignored: a write past the limit fails
/// with EFBIG). The class and message of the failure, or "saved".
std::pair<QString, QString> saveWithFileSizeLimit(const Project& project, const QString& file, qint64 limit) {
    int channel[2];
    if (::pipe(channel) != 0)
        return {"pipe failed", QString()};
    const pid_t child = spawn([&] {
        ::close(channel[0]);
        ::signal(SIGXFSZ, SIG_IGN);
        const rlimit r{static_cast<rlim_t>(limit), static_cast<rlim_t>(limit)};
        ::setrlimit(RLIMIT_FSIZE, &r);
        QByteArray report = "saved\n";
        try {
            project.save(file);
        } catch (const FileError& e) {
            report = "FileError\n" + e.message().toUtf8();
        } catch (const Error& e) {
            report = "Error\n" + e.message().toUtf8();
        }
        for (qint64 done = 0; done < report.size();) {
            const ssize_t n =
                ::write(channel[1], report.constData() + done, static_cast<size_t>(report.size() - done));
            if (n <= 0)
                break;
            done += n;
        }
    });
    ::close(channel[1]);
    QByteArray report;
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(channel[0], buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        report.append(buffer, static_cast<int>(n));
    }
    ::close(channel[0]);
    if (reap(child) != 0)
        return {"the child process failed", QString::fromUtf8(report)};
    const int newline = report.indexOf('\n');
    return {QString::fromUtf8(report.left(newline)), QString::fromUtf8(report.mid(newline + 1))};
}

/// A 1 MB tmpfs mounted on `folder` for the guard's lifetime. Mounting needs root (CAP_SYS_ADMIN);
/// when it is refused, mounted() is false and error() says why.
class SmallDisk {
public:
    explicit SmallDisk(const QString& folder) : m_folder(QFile::encodeName(folder)) {
        if (::mount("kestrin-test", m_folder.constData(), "tmpfs", MS_NOSUID | MS_NODEV, "size=1m") == 0)
            m_mounted = true;
        else
            m_error = qt_error_string(errno);
    }
    // Detached, so that a file a failed check left open cannot keep the mount in place.
    ~SmallDisk() {
        if (m_mounted)
            ::umount2(m_folder.constData(), MNT_DETACH);
    }
    SmallDisk(const SmallDisk&) = delete;
    SmallDisk& operator=(const SmallDisk&) = delete;

    bool mounted() const { return m_mounted; }
    QString error() const { return m_error; }
    qint64 freeBytes() const {
        struct statvfs s;
        return ::statvfs(m_folder.constData(), &s) == 0 ? qint64(s.f_bavail) * qint64(s.f_frsize) : -1;
    }

private:
    QByteArray m_folder;
    bool m_mounted = false;
    QString m_error;
};

} // namespace

class TestCrashSafeSave : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;
    Project m_old, m_new;
    QByteArray m_oldDoc, m_newDoc;
    QByteArray m_oldBytes, m_newBytes; // the files that save writes for each, checked to load as it

    QString folder() const { return m_dir.path(); }
    QString target() const { return m_dir.filePath(QStringLiteral("cell.kestrin")); }

private slots:
    void initTestCase() {
        QVERIFY(m_dir.isValid());
        buildCell(m_old, 5000, 1);
        buildCell(m_new, 5000, 2);
        m_oldDoc = documentOf(m_old);
        m_newDoc = documentOf(m_new);
        QVERIFY(m_oldDoc != m_newDoc);
        const QString probe = m_dir.filePath(QStringLiteral("probe.kestrin"));
        m_new.save(probe);
        QCOMPARE(loadedDocument(probe), m_newDoc);
        m_newBytes = readFileBytes(probe);
        m_old.save(probe);
        QCOMPARE(loadedDocument(probe), m_oldDoc);
        m_oldBytes = readFileBytes(probe);
        QVERIFY(QFile::remove(probe));
    }

    void init() {
        for (const QString& f : QDir(folder()).entryList(QDir::Files | QDir::Hidden | QDir::System))
            QVERIFY(QFile::remove(m_dir.filePath(f)));
        m_old.save(target());
        QCOMPARE(loadedDocument(target()), m_oldDoc);
    }

    void killedSaveLeavesTheOldOrTheNewProject() {
        // How long a whole save takes in a child here, so that some kills land at moments spread
        // over it. Only that spread depends on it, never a verdict.
        QElapsedTimer clock;
        clock.start();
        const int calibrationRuns = 3;
        for (int i = 0; i < calibrationRuns; ++i)
            QCOMPARE(reap(spawn([&] { m_old.save(target()); })), 0);
        const qint64 saveMicroseconds = std::max<qint64>(1000, clock.nsecsElapsed() / 1000 / calibrationRuns);

        // The other kill points follow what the child has got to, so that both outcomes come up
        // however fast or slow the build is: a save killed as it starts (it has yet to make the
        // text of a large cell) keeps the old file, and one killed once the new file has taken
        // the old one's place (while the save still finishes) must leave the new file.
        enum KillPoint { AsItStarts, OnceReplaced, Anytime, kKillPoints };
        const unsigned seed = 20261208;
        std::mt19937 rng(seed);
        std::uniform_int_distribution<qint64> killAfter(0, saveMicroseconds * 3 / 2);
        const Project* projects[2] = {&m_old, &m_new};
        const QByteArray* documents[2] = {&m_oldDoc, &m_newDoc};
        int holding = 0; // which project the file holds now
        int kept[kKillPoints] = {}, took[kKillPoints] = {}, strays = 0;
        for (int round = 0; round < 200; ++round) {
            const int other = 1 - holding;
            const KillPoint point = round % 4 == 0 ? AsItStarts : round % 4 == 1 ? OnceReplaced : Anytime;
            const ino_t before = fileId(target());
            QVERIFY(before != 0);
            int started[2];
            QVERIFY(::pipe(started) == 0);
            const pid_t child = spawn([&] {
                ::close(started[0]);
                const char go = 'g';
                if (::write(started[1], &go, 1) != 1)
                    ::_exit(2);
                projects[other]->save(target());
            });
            QVERIFY(child > 0);
            ::close(started[1]);
            char go = 0;
            ssize_t n;
            while ((n = ::read(started[0], &go, 1)) < 0 && errno == EINTR) {
            }
            ::close(started[0]);
            QVERIFY2(n == 1,
                     qPrintable(QStringLiteral("round %1: the child never started its save").arg(round)));
            qint64 delay = 0;
            if (point == Anytime) {
                delay = killAfter(rng);
                sleepMicroseconds(delay);
            } else if (point == OnceReplaced) {
                // Until the target is another file, or the child has ended without replacing it.
                while (fileId(target()) == before && !hasEnded(child))
                    sleepMicroseconds(20);
            }
            ::kill(child, SIGKILL);
            const int status = reap(child);
            QVERIFY(status != -1);
            QVERIFY2(!WIFEXITED(status) || WEXITSTATUS(status) == 0,
                     qPrintable(QStringLiteral("round %1: the save failed without being killed").arg(round)));

            // A file byte for byte like one that loaded as a project holds that project; anything
            // else is loaded, and must load as one of the two.
            const QByteArray bytes = readFileBytes(target());
            const QByteArray now = bytes == m_oldBytes   ? m_oldDoc
                                   : bytes == m_newBytes ? m_newDoc
                                                         : loadedDocument(target());
            QVERIFY2(
                now == *documents[holding] || now == *documents[other],
                qPrintable(QStringLiteral("round %1 (seed %2): after a save killed %3 us into it, the file "
                                          "holds neither project: %4")
                               .arg(round)
                               .arg(seed)
                               .arg(delay)
                               .arg(QString::fromUtf8(now.left(200)))));
            if (point == OnceReplaced)
                QVERIFY2(now == *documents[other],
                         qPrintable(QStringLiteral("round %1: the old project came back after the file was "
                                                   "replaced")
                                        .arg(round)));
            if (now == *documents[other]) {
                holding = other;
                ++took[point];
            } else {
                ++kept[point];
            }
            // A kill between QSaveFile naming its temporary file and renaming it over the target
            // can leave that file behind; it is never the target, and is cleared for the next round.
            for (const QString& f : strayFiles(folder(), QStringLiteral("cell.kestrin"))) {
                ++strays;
                QVERIFY(QFile::remove(m_dir.filePath(f)));
            }
        }
        const QString tally =
            QStringLiteral("killed as they started: %1 kept the old project, %2 left the new one; "
                           "once replaced: %3 new; at any moment of about %4 us: %5 old, %6 "
                           "new; %7 left a temporary file beside it")
                .arg(kept[AsItStarts])
                .arg(took[AsItStarts])
                .arg(took[OnceReplaced])
                .arg(saveMicroseconds)
                .arg(kept[Anytime])
                .arg(took[Anytime])
                .arg(strays);
        qInfo("%s", qPrintable(tally));
        QVERIFY2(kept[AsItStarts] + kept[Anytime] > 0,
                 qPrintable("no killed save kept the old project: " + tally));
        QVERIFY2(took[OnceReplaced] + took[Anytime] > 0,
                 qPrintable("no killed save left the new project: " + tally));
    }

    void saveOnFullDiskReportsThePathAndKeepsTheOldFile() {
        const QByteArray before = readFileBytes(target());
        QVERIFY(!before.isEmpty());
        const auto [kind, message] = saveWithFileSizeLimit(m_new, target(), before.size() / 4);
        QCOMPARE(kind, QString("FileError"));
        QVERIFY2(message.contains(target()), qPrintable(message));
        QVERIFY2(message.contains(QStringLiteral("too large"), Qt::CaseInsensitive), qPrintable(message));
        QCOMPARE(readFileBytes(target()), before);
        QCOMPARE(strayFiles(folder(), QStringLiteral("cell.kestrin")), QStringList());
        QCOMPARE(loadedDocument(target()), m_oldDoc);
    }

    void saveOnFullDiskToANewPathLeavesNoFile() {
        const QString fresh = m_dir.filePath(QStringLiteral("fresh.kestrin"));
        const auto [kind, message] = saveWithFileSizeLimit(m_new, fresh, 64 * 1024);
        QCOMPARE(kind, QString("FileError"));
        QVERIFY2(message.contains(fresh), qPrintable(message));
        QVERIFY(!QFileInfo::exists(fresh));
        QCOMPARE(strayFiles(folder(), QStringLiteral("cell.kestrin")), QStringList());
    }

    // The end of the text reaches the disk last (Qt holds up to 16 KB of it until the file is
    // closed), so a limit that falls in it must fail the save as surely as one early on.
    void saveCutShortNearItsEndKeepsTheOldFile_data() {
        QTest::addColumn<int>("shortBy");
        QTest::newRow("fits exactly") << 0;
        for (int n : {1, 100, 4096, 16000})
            QTest::newRow(qPrintable(QStringLiteral("%1 bytes short").arg(n))) << n;
    }

    void saveCutShortNearItsEndKeepsTheOldFile() {
        QFETCH(int, shortBy);
        const QByteArray before = readFileBytes(target());
        const auto [kind, message] = saveWithFileSizeLimit(m_new, target(), m_newBytes.size() - shortBy);
        if (shortBy == 0) {
            QCOMPARE(kind, QString("saved"));
            QCOMPARE(readFileBytes(target()), m_newBytes);
        } else {
            QCOMPARE(kind, QString("FileError"));
            QVERIFY2(message.contains(target()), qPrintable(message));
            QVERIFY2(message.contains(QStringLiteral("too large"), Qt::CaseInsensitive), qPrintable(message));
            QVERIFY2(message.endsWith(QStringLiteral("(the file was left as it was).")), qPrintable(message));
            QCOMPARE(readFileBytes(target()), before);
        }
        QCOMPARE(strayFiles(folder(), QStringLiteral("cell.kestrin")), QStringList());
    }

    // A real full disk: a 1 MB tmpfs with nothing or one page left. Both projects would fit on
    // it empty; one is smaller than Qt's write buffer, so that all of it waits there until the
    // file is closed.
    void saveOnANearlyFullDiskKeepsTheOldFile_data() {
        QTest::addColumn<qint64>("freeBytes");
        QTest::addColumn<int>("objects");
        for (qint64 free : {0, 4096})
            for (int objects : {12, 400})
                QTest::newRow(qPrintable(QStringLiteral("%1 bytes free, %2 objects").arg(free).arg(objects)))
                    << free << objects;
    }

    void saveOnANearlyFullDiskKeepsTheOldFile() {
        QFETCH(qint64, freeBytes);
        QFETCH(int, objects);
        const QString mountPoint = m_dir.filePath(QStringLiteral("small disk"));
        QVERIFY(QDir().mkpath(mountPoint));
        const SmallDisk disk(mountPoint);
        if (!disk.mounted())
            QSKIP(
                qPrintable(QStringLiteral("cannot mount a tmpfs here (it needs root with CAP_SYS_ADMIN): %1")
                               .arg(disk.error())));
        Project old, project;
        buildCell(old, 3, 3);
        buildCell(project, objects, 4);
        const QByteArray text = project.fileText();
        QVERIFY(text.size() > freeBytes && text.size() < 1024 * 1024 / 2);

        const QString file = mountPoint + QStringLiteral("/cell.kestrin");
        old.save(file);
        const QByteArray before = readFileBytes(file);
        QVERIFY(!before.isEmpty());
        const QString filler = mountPoint + QStringLiteral("/filler");
        QVERIFY(writeFileBytes(filler, QByteArray(static_cast<int>(disk.freeBytes() - freeBytes), 'x')));
        QCOMPARE(disk.freeBytes(), freeBytes);

        QString message;
        try {
            project.save(file);
        } catch (const FileError& e) {
            message = e.message();
        }
        QVERIFY2(!message.isEmpty(), "the save reported success on a full disk");
        QVERIFY2(message.contains(file), qPrintable(message));
        QVERIFY2(message.contains(QStringLiteral("no space left"), Qt::CaseInsensitive), qPrintable(message));
        QVERIFY2(message.endsWith(QStringLiteral("(the file was left as it was).")), qPrintable(message));
        QCOMPARE(readFileBytes(file), before);
        QCOMPARE(
            QDir(mountPoint).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System),
            (QStringList{"cell.kestrin", "filler"}));
    }
};

QTEST_GUILESS_MAIN(TestCrashSafeSave)
#include "test_crash_safe_save.moc"
