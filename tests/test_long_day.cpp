// A long working day in the studio: thousands of random operations through the content handler,
// the property panel and the project tree, with every dialog answered at random, from a fixed seed.
// After every operation the window must still agree with the project; at the end the project
// must still save and load, and the memory in use must not have grown since the first
// thousand operations (a leak that an hour of work would pile up).
//
// KESTRIN_LONG_DAY_OPERATIONS and KESTRIN_LONG_DAY_SEED override the length and the seed.

#include "dialog_driver.h"
#include "random_user.h"
#include "studio_fixture.h"
#include "test_main.h"

#include <kestrin_viewer/simulator.h>

#include <QElapsedTimer>
#include <QJsonDocument>
#include <QPixmapCache>
#include <QPlainTextEdit>
#include <QTemporaryDir>

#include <cstdio>
#include <malloc.h>
#include <random>

#if defined(__SANITIZE_ADDRESS__)
// From the sanitizer runtime (gcc ships no header for it): the bytes the program holds.
extern "C" size_t __sanitizer_get_current_allocated_bytes();
#endif

using kestrin_app::content::KSContentHandler;
using testing::DialogDriver;
using testing::settle;
using testing::Studio;
using testing::User;

namespace {

/// Bytes the program has allocated and not yet freed.
size_t heapInUse() {
#if defined(__SANITIZE_ADDRESS__)
    return __sanitizer_get_current_allocated_bytes();
#else
    const struct mallinfo2 info = mallinfo2();
    return info.uordblks + info.hblkhd;
#endif
}

struct HeapFigures {
    size_t total = 0;  // all of it
    size_t logged = 0; // what the log panel's lines took (it keeps the last 10,000)
    size_t rest() const { return total - logged; }
};

/// The heap in use with the demo cell freshly opened in camera mode, so that what the random day left in the
/// project and its history does not count, only what piled up elsewhere. The log panel is
/// emptied to tell its share apart.
HeapFigures heapAtCheckpoint(Studio& s) {
    // Twice, so that what the first opening only lets go of later (deferred deletes, buffers the
    // renderer keeps until the next frame) is gone too.
    for (int i = 0; i < 2; ++i) {
        DialogDriver::reset();
        DialogDriver::expect(DialogDriver::reject()); // no, do not save first
        s.handler().openTemplate(QStringLiteral(KESTRIN_SOURCE_DIR "/data/templates/demo_cell.kestrin"));
        s.handler().setCameraMode(); // and out of teleoperation, with the view as it starts
        s.handler().resetViewer();
        settle();
    }
    DialogDriver::reset();
    HeapFigures figures;
    figures.total = heapInUse();
    s.window.findChild<QPlainTextEdit*>()->clear();
    settle();
    figures.logged = figures.total - std::min(figures.total, heapInUse());
    return figures;
}

int envInt(const char* name, int fallback) {
    bool ok = false;
    const int value = qEnvironmentVariableIntValue(name, &ok);
    return ok ? value : fallback;
}

QByteArray documentOf(const kestrin::Project& project) {
    return QJsonDocument(project.toJson()).toJson();
}

} // namespace

class LongDayTest : public QObject {
    Q_OBJECT
private slots:
    void tenThousandOperations() {
        const int operations = envInt("KESTRIN_LONG_DAY_OPERATIONS", 10000);
        const int seed = envInt("KESTRIN_LONG_DAY_SEED", 20261208);
        QTemporaryDir folder;
        QVERIFY(folder.isValid());

        // Qt's pixmap cache is left out: every dialog's button icons go in there under keys of
        // their own, and the cache keeps them (and a table of their keys) up to its limit of
        // 10 MB, which would hide or mimic a leak of ours.
        QPixmapCache::setCacheLimit(0);

        Studio s;
        s.window.resize(640, 480);
        s.window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&s.window));
        s.handler()._on_simulator_created = [](kestrin::Simulator* sim) { sim->setSpeed(1000); };
        DialogDriver::expect(DialogDriver::reject()); // nothing to save yet
        s.handler().openTemplate(QStringLiteral(KESTRIN_SOURCE_DIR "/data/templates/demo_cell.kestrin"));
        settle();

        User user(s, folder.path(), quint32(seed));
        QMap<QString, int> done;
        QMap<QString, qint64> spent;
        QElapsedTimer clock;
        HeapFigures heapAtThousand;
        for (int i = 1; i <= operations; ++i) {
            DialogDriver::reset();
            clock.start();
            const QString what = user.act();
            settle();
            ++done[what.section(' ', 0, 1)];
            spent[what.section(' ', 0, 1)] += clock.elapsed();
            // Every dialog was answered by the user, none by the test's safety net, and the
            // window still shows the project as it is.
            if (DialogDriver::closedBySafety() != 0)
                QFAIL(qPrintable(QStringLiteral("operation %1 (%2) left a dialog open; dialogs seen: %3")
                                     .arg(i)
                                     .arg(what, DialogDriver::seenTitles().join(", "))));
            // The view draws the cell the project holds: every pose and every arm's joints.
            const QString drawn = s.viewer()->_differenceFromModel();
            if (!drawn.isEmpty())
                QFAIL(qPrintable(QStringLiteral("after operation %1 (%2) the view is not the project: %3")
                                     .arg(i)
                                     .arg(what, drawn)));
            const int objects = int(s.workspace()->objects().size());
            if (s.viewer()->sceneItemCount() != objects)
                QFAIL(qPrintable(QStringLiteral("after operation %1 (%2) the view shows %3 objects of %4")
                                     .arg(i)
                                     .arg(what)
                                     .arg(s.viewer()->sceneItemCount())
                                     .arg(objects)));
            if (i == std::min(1000, operations)) {
                heapAtThousand = heapAtCheckpoint(s);
            } else if (i % 1000 == 0 && qEnvironmentVariableIsSet("KESTRIN_LONG_DAY_TRACE")) {
                const HeapFigures now = heapAtCheckpoint(s);
                std::printf("after %d operations: heap %.2f MB, log panel %.2f MB\n", i, now.total / 1e6,
                            now.logged / 1e6);
            }
            for (const QString& failure : s.failures)
                if (failure.trimmed().isEmpty())
                    QFAIL(qPrintable(
                        QStringLiteral("operation %1 (%2) failed without a message").arg(i).arg(what)));
            s.failures.clear();
        }
        DialogDriver::reset();
        // What the day left still saves, and loads back as the same project.
        const QString last = folder.filePath(QStringLiteral("last.kestrin"));
        s.project()->save(last);
        kestrin::Project back;
        back.load(last);
        QCOMPARE(documentOf(back), documentOf(*s.project()));

        const HeapFigures heapAtEnd = heapAtCheckpoint(s);

        QStringList summary;
        for (auto it = done.cbegin(); it != done.cend(); ++it)
            summary << QStringLiteral("%1: %2 (%3 ms each)")
                           .arg(it.key())
                           .arg(it.value())
                           .arg(spent[it.key()] / it.value());
        std::printf("Operations run: %d (seed %d)\n  %s\n", operations, seed,
                    qPrintable(summary.join(QStringLiteral("\n  "))));
        auto mb = [](size_t bytes) { return double(bytes) / 1e6; };
        const double growth = 100.0 * (double(heapAtEnd.rest()) / double(heapAtThousand.rest()) - 1.0);
        std::printf(
            "Heap in use after 1,000 operations: %.1f MB (log panel %.1f MB); at the end: %.1f MB (log panel "
            "%.1f MB); without the log panel %+.1f%%\n",
            mb(heapAtThousand.total), mb(heapAtThousand.logged), mb(heapAtEnd.total), mb(heapAtEnd.logged),
            growth);

        QVERIFY2(growth <= 10.0, "the memory in use grew by more than 10% after the first 1,000 operations");
    }
};

KESTRIN_GUI_TEST_MAIN(LongDayTest)
#include "test_long_day.moc"
