// A long working day in the studio: thousands of random operations through the content handler,
// the property panel and the project tree, with every dialog answered at random, from a fixed seed.
// After every operation the window must still agree with the project; at the end the project
// must still save and load, and the memory in use must not have grown since the first
// thousand operations (a leak that an hour of work would pile up).
//
// KESTRIN_LONG_DAY_OPERATIONS and KESTRIN_LONG_DAY_SEED override the length and the seed.

#include "dialog_driver.h"
#include "studio_fixture.h"
#include "test_main.h"

#include <kestrin/viewer/simulator.h>
#include <kestrin_app/dialogs.h>

#include <QCheckBox>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QJsonDocument>
#include <QMessageBox>
#include <QPixmapCache>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSlider>
#include <QSpinBox>
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

QByteArray documentOf(const kestrin::Project& project) { return QJsonDocument(project.toJson()).toJson(); }

/// A user at work: picks what to do next, and how to answer each dialog, from one random stream.
class User {
public:
    User(Studio& studio, const QString& folder, quint32 seed) : s(studio), m_folder(folder), m_rng(seed) {}

    /// Does one random thing; returns its name.
    QString act() {
        const int size = int(s.workspace()->objects().size() + s.project()->variableList().size() +
                             s.project()->programList().size());
        // Adding gets rarer as the cell fills up, so that it stays below about forty things.
        const int addWeight = std::max(2, 45 - size);
        const std::vector<std::pair<int, std::function<QString()>>> choices{
            {addWeight, [this] { return addSomething(); }},
            {25, [this] { return editSomething(); }},
            {std::max(4, size / 2), [this] { return deleteSomething(); }},
            {8, [this] { return call("undo", &KSContentHandler::undo); }},
            {5, [this] { return call("redo", &KSContentHandler::redo); }},
            {3, [this] { return saveAs(); }},
            {2, [this] { return call("save", &KSContentHandler::saveProject); }},
            {2, [this] { return openSaved(); }},
            {1, [this] { return openTemplate(); }},
            {1, [this] { return call("new project", &KSContentHandler::newProject); }},
            {2, [this] { return call("record respawn state", &KSContentHandler::recordRespawnState); }},
            {2, [this] { return call("reset state", &KSContentHandler::resetState); }},
            {5, [this] { return call("run", &KSContentHandler::runLocalSimulator); }},
            {3, [this] { return teleoperate(); }},
            {1, [this] { return call("camera mode", &KSContentHandler::setCameraMode); }},
            {1, [this] { return call("reset viewer", &KSContentHandler::resetViewer); }},
            {1, [this] { return screenshot(); }},
        };
        int total = 0;
        for (const auto& c : choices)
            total += c.first;
        int pick = pickInt(0, total - 1);
        for (const auto& c : choices) {
            if (pick < c.first)
                return c.second();
            pick -= c.first;
        }
        return QString();
    }

    QString lastSaved() const { return m_saved; }

private:
    // --- Dialogs ---------------------------------------------------------------------------------

    /// Answers whatever dialogs the next operation opens (at most `dialogs` of them: a save-first
    /// question, its file chooser, the chooser's own overwrite question, and the operation's own
    /// dialog), the way a hurried user would: mostly OK, sometimes Cancel, with random choices in
    /// every field. Answers not used are dropped before the next operation.
    void answerDialogs(int dialogs = 8) {
        for (int i = 0; i < dialogs; ++i)
            DialogDriver::expect([this](QWidget* dialog) { answer(dialog); });
    }

    void answer(QWidget* dialog) {
        if (auto* box = qobject_cast<QMessageBox*>(dialog)) {
            (chance(0.5) ? DialogDriver::accept() : DialogDriver::reject())(box);
            return;
        }
        if (qobject_cast<QFileDialog*>(dialog)) {
            DialogDriver::chooseFile(chance(0.05) ? QString() : m_nextPath)(dialog);
            return;
        }
        for (auto* combo : dialog->findChildren<QComboBox*>())
            if (combo->count() > 0)
                combo->setCurrentIndex(pickInt(0, combo->count() - 1));
        for (auto* check : dialog->findChildren<QCheckBox*>())
            check->setChecked(chance(0.5));
        for (auto* spin : dialog->findChildren<QSpinBox*>())
            spin->setValue(pickInt(spin->minimum(), std::min(spin->maximum(), 4)));
        for (auto* edit : dialog->findChildren<QLineEdit*>())
            if (chance(0.3))
                edit->setText(someName());
        (chance(0.05) ? DialogDriver::reject() : DialogDriver::accept())(dialog);
    }

    /// Names that collide with what is there, or are blank, as often as they are new.
    QString someName() {
        static const QStringList pool{"Arm", "Arm 2", "Bench", "Main", "Home", "", "   ", "Tip", "Région ✓",
                                      "Camera", "Part"};
        return chance(0.7) ? pool.at(pickInt(0, pool.size() - 1)) : QStringLiteral("N%1").arg(pickInt(0, 999));
    }

    QString call(const QString& name, void (KSContentHandler::*op)()) {
        answerDialogs();
        (s.handler().*op)();
        return name;
    }

    // --- Operations --------------------------------------------------------------------------------

    QString addSomething() {
        KSContentHandler& h = s.handler();
        answerDialogs();
        auto typeName = [this](const QList<const kestrin::Type*>& table) {
            // Now and then a name the handler does not know, which must create nothing.
            return chance(0.03) ? QStringLiteral("NoSuchType") : table.at(pickInt(0, table.size() - 1))->name();
        };
        switch (pickInt(0, 8)) {
        case 0: h.addRobot(typeName(KSContentHandler::robotTypes())); return "add robot";
        case 1: h.addEffector(typeName(KSContentHandler::effectorTypes())); return "add effector";
        case 2: h.addToolFrame(); return "add tool frame";
        case 3: h.addItem(typeName(KSContentHandler::itemTypes())); return "add item";
        case 4: h.addTaskRegion(); return "add task region";
        case 5: h.addCamera(typeName(KSContentHandler::cameraTypes())); return "add camera";
        case 6: h.addFiducial(typeName(KSContentHandler::fiducialTypes())); return "add fiducial";
        case 7: {
            static const std::vector<const kestrin::Type*> behaviors{
                &kestrin::Sequence::staticType(), &kestrin::MoveToJointTarget::staticType(),
                &kestrin::MoveToTaskRegion::staticType(), &kestrin::Wait::staticType(),
                &kestrin::MotionLimits::staticType()}; // the last is no behavior: refused
            h.addBehavior(*behaviors.at(size_t(pickInt(0, int(behaviors.size()) - 1))));
            return "add behavior";
        }
        default: {
            const auto& table = KSContentHandler::variableTypes();
            h.addVariable(*table.at(pickInt(0, table.size() - 1)));
            return "add variable";
        }
        }
    }

    /// Everything the tree shows below its groups.
    QList<QTreeWidgetItem*> treeEntries() const {
        QList<QTreeWidgetItem*> entries;
        std::function<void(QTreeWidgetItem*)> walk = [&](QTreeWidgetItem* item) {
            for (int i = 0; i < item->childCount(); ++i) {
                QTreeWidgetItem* child = item->child(i);
                if (child->data(0, KSProjectTree::KindRole).toInt() != int(KSProjectTree::ItemKind::Group))
                    entries << child;
                walk(child);
            }
        };
        walk(s.tree()->invisibleRootItem());
        return entries;
    }

    bool selectSomething() {
        const QList<QTreeWidgetItem*> entries = treeEntries();
        if (entries.isEmpty())
            return false;
        s.select(entries.at(pickInt(0, entries.size() - 1)));
        if (chance(0.15)) // and one more, with Ctrl held
            entries.at(pickInt(0, entries.size() - 1))->setSelected(true);
        settle();
        return true;
    }

    /// Selects something in the tree and changes one of the property panel's editors.
    QString editSomething() {
        if (!selectSomething())
            return "edit (nothing to select)";
        QList<QWidget*> editors;
        for (QWidget* w : s.propertyPanel()->findChildren<QWidget*>())
            if (w->isEnabled() && w->isVisibleTo(s.propertyPanel()) &&
                (qobject_cast<QDoubleSpinBox*>(w) || qobject_cast<QSlider*>(w) || qobject_cast<QComboBox*>(w) ||
                 qobject_cast<QPushButton*>(w) || w->objectName() == QLatin1String("propertyPanelName")))
                editors << w;
        if (editors.isEmpty())
            return "edit (no editor)";
        QWidget* w = editors.at(pickInt(0, editors.size() - 1));
        if (auto* spin = qobject_cast<QDoubleSpinBox*>(w)) {
            const double lo = std::max(spin->minimum(), -20.0), hi = std::min(spin->maximum(), 20.0);
            spin->setValue(chance(0.1) ? (chance(0.5) ? spin->minimum() : spin->maximum())
                                       : std::uniform_real_distribution<double>(lo, hi)(m_rng));
        } else if (auto* slider = qobject_cast<QSlider*>(w)) {
            slider->setSliderDown(true);
            for (int i = 0; i < 3; ++i)
                slider->setValue(pickInt(slider->minimum(), slider->maximum()));
            slider->setSliderDown(false);
        } else if (auto* combo = qobject_cast<QComboBox*>(w)) {
            if (combo->count() > 0)
                combo->setCurrentIndex(pickInt(0, combo->count() - 1));
        } else if (auto* button = qobject_cast<QPushButton*>(w)) {
            button->click();
        } else if (auto* edit = qobject_cast<QLineEdit*>(w)) {
            edit->setText(someName());
            QTest::keyClick(edit, Qt::Key_Return);
        }
        settle();
        return QStringLiteral("edit %1").arg(w->objectName());
    }

    QString deleteSomething() {
        if (!selectSomething())
            return "delete (nothing to select)";
        s.handler().deleteSelection();
        return "delete";
    }

    QString saveAs() {
        // Now and then into a folder that does not exist: a clear failure, nothing written.
        m_nextPath = chance(0.1) ? m_folder + QStringLiteral("/missing/cell.kestrin")
                                 : m_folder + QStringLiteral("/cell%1.kestrin").arg(pickInt(0, 2));
        call("save as", &KSContentHandler::saveProjectAs);
        if (s.handler()._active_filename == m_nextPath && QFileInfo::exists(m_nextPath))
            m_saved = m_nextPath;
        return "save as";
    }

    QString openSaved() {
        m_nextPath = m_saved.isEmpty() ? m_folder + QStringLiteral("/never-saved.kestrin") : m_saved;
        return call("open", &KSContentHandler::openProject);
    }

    QString openTemplate() {
        answerDialogs();
        s.handler().openTemplate(QStringLiteral(KESTRIN_SOURCE_DIR "/data/templates/demo_cell.kestrin"));
        return "open template";
    }

    /// Teleoperation mode on a chosen robot and tool, then a few jogs with the keys. The mode
    /// stays on for whatever comes next (a delete of that very robot, an undo, a run).
    QString teleoperate() {
        call("teleoperate", &KSContentHandler::setTeleoperationMode);
        if (!s.viewer()->isTeleoperating())
            return "teleoperate (refused)";
        static const int keys[] = {Qt::Key_Left, Qt::Key_Right, Qt::Key_Up, Qt::Key_Down, Qt::Key_PageUp,
                                   Qt::Key_PageDown};
        QWidget* view = s.viewer()->findChild<QWidget*>(QStringLiteral("workspaceViewerRenderWidget"));
        for (int i = pickInt(1, 5); i > 0; --i)
            QTest::keyClick(view, Qt::Key(keys[pickInt(0, 5)]),
                            chance(0.3) ? Qt::ShiftModifier : Qt::NoModifier);
        return "teleoperate";
    }

    QString screenshot() {
        m_nextPath = m_folder + QStringLiteral("/shot.png");
        return call("screenshot", &KSContentHandler::screenshotViewer);
    }

    bool chance(double p) { return std::bernoulli_distribution(p)(m_rng); }
    int pickInt(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(m_rng); }

    Studio& s;
    QString m_folder;
    QString m_nextPath;
    QString m_saved;
    std::mt19937 m_rng;
};

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
                                     .arg(i).arg(what, DialogDriver::seenTitles().join(", "))));
            // The view draws the cell the project holds: every pose and every arm's joints.
            const QString drawn = s.viewer()->_differenceFromModel();
            if (!drawn.isEmpty())
                QFAIL(qPrintable(QStringLiteral("after operation %1 (%2) the view is not the project: %3")
                                     .arg(i).arg(what, drawn)));
            const int objects = int(s.workspace()->objects().size());
            if (s.viewer()->sceneItemCount() != objects)
                QFAIL(qPrintable(QStringLiteral("after operation %1 (%2) the view shows %3 objects of %4")
                                     .arg(i).arg(what).arg(s.viewer()->sceneItemCount()).arg(objects)));
            if (i == std::min(1000, operations)) {
                heapAtThousand = heapAtCheckpoint(s);
            } else if (i % 1000 == 0 && qEnvironmentVariableIsSet("KESTRIN_LONG_DAY_TRACE")) {
                const HeapFigures now = heapAtCheckpoint(s);
                std::printf("after %d operations: heap %.2f MB, log panel %.2f MB\n", i, now.total / 1e6,
                            now.logged / 1e6);
            }
            for (const QString& failure : s.failures)
                if (failure.trimmed().isEmpty())
                    QFAIL(qPrintable(QStringLiteral("operation %1 (%2) failed without a message").arg(i).arg(what)));
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
            summary << QStringLiteral("%1: %2 (%3 ms each)").arg(it.key()).arg(it.value()).arg(spent[it.key()] / it.value());
        std::printf("Operations run: %d (seed %d)\n  %s\n", operations, seed,
                    qPrintable(summary.join(QStringLiteral("\n  "))));
        auto mb = [](size_t bytes) { return double(bytes) / 1e6; };
        const double growth = 100.0 * (double(heapAtEnd.rest()) / double(heapAtThousand.rest()) - 1.0);
        std::printf("Heap in use after 1,000 operations: %.1f MB (log panel %.1f MB); at the end: %.1f MB (log panel "
                    "%.1f MB); without the log panel %+.1f%%\n",
                    mb(heapAtThousand.total), mb(heapAtThousand.logged), mb(heapAtEnd.total), mb(heapAtEnd.logged),
                    growth);

        QVERIFY2(growth <= 10.0, "the memory in use grew by more than 10% after the first 1,000 operations");
    }
};

KESTRIN_GUI_TEST_MAIN(LongDayTest)
#include "test_long_day.moc"
