// The content handler's spine: construction, lock, respawn state, and the project lifecycle
// (new, open, template, save, save as, quit).

#include "handler_fixture.h"
#include "test_main.h"
#include "test_support.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLineEdit>
#include <QTemporaryDir>

using namespace kestrin_app::content;
using testing::DialogDriver;
using testing::HandlerFixture;
using testing::LogCapture;

namespace {

constexpr double kTol = 1e-12;

void cellWithRobot(kestrin::Project* p) {
    auto* r = new kestrin::UR5eRobot(p->workspace(), "Arm");
    r->setPose(kestrin::makePose({1, 2, 0}));
    new kestrin::Desk(p->workspace(), "Desk");
}

QString saveTo(kestrin::Project* p, const QString& path) {
    p->save(path);
    return path;
}

} // namespace

class HandlerSpineTest : public QObject {
    Q_OBJECT
private slots:
    void init() { DialogDriver::reset(); }
    void cleanup() { QCOMPARE(DialogDriver::closedBySafety(), 0); }

    void constructionShowsTheProjectAndRecordsItsState() {
        LogCapture log;
        HandlerFixture f(cellWithRobot);
        QVERIFY(f.handler->_respawn_state.has_value());
        QVERIFY(f.handler->_active_filename.isNull());
        QVERIFY(!f.handler->_locked);
        QCOMPARE(f.status->state(), KSStatusBarWidget::State::Ready);
        QCOMPARE(f.sceneItems(), 2);
        QVERIFY(f.treeNames().contains("Arm"));
        QCOMPARE(log.lines(), QStringList{"info: Recorded the project respawn state"});
        QCOMPARE(f.handler->project(), f.container->project());
        QCOMPARE(f.handler->viewer(), f.container->viewer());
    }

    void lockIsAFlagNotACounter() {
        HandlerFixture f;
        f.handler->_lock();
        f.handler->_lock();
        f.handler->_unlock();
        QVERIFY(!f.handler->_locked);
    }

    void guardedOperationsDoNothingWhileLocked() {
        HandlerFixture f(cellWithRobot);
        LogCapture log;
        kestrin::Project* before = f.project();
        f.handler->_lock();
        f.handler->newProject();
        f.handler->openProject();
        f.handler->openTemplate(QStringLiteral(KESTRIN_SOURCE_DIR "/data/templates/demo_cell.kestrin"));
        f.handler->saveProject();
        f.handler->saveProjectAs();
        f.handler->recordRespawnState();
        f.workspace()->getRobot("Arm")->setJointPositions(Eigen::VectorXd::Zero(6));
        f.handler->resetState();
        QVERIFY(DialogDriver::seenTitles().isEmpty());
        QVERIFY(log.lines().isEmpty());
        QCOMPARE(f.project(), before);
        QVERIFY(f.handler->_active_filename.isNull());
        QVERIFY(f.workspace()->getRobot("Arm")->jointPositions().isZero());
    }

    void resetStateRestoresTheRecordedCellEveryTime() {
        HandlerFixture f(cellWithRobot);
        kestrin::Robot* arm = f.workspace()->getRobot("Arm");
        const Eigen::VectorXd q0 = arm->jointPositions();
        const kestrin::Transform pose0 = arm->transform();
        LogCapture log;
        for (int round = 0; round < 2; ++round) {
            arm->setJointPositions(Eigen::VectorXd::Constant(6, 0.3 + round));
            arm->setPose(kestrin::makePose({-3, 0, 0}, 0, 0, 1.0));
            f.handler->resetState();
            QVERIFY((arm->jointPositions() - q0).norm() < kTol);
            QVERIFY(arm->transform() == pose0);
        }
        QCOMPARE(log.lines(),
                 (QStringList{"info: Reset the project state", "info: Reset the project state"}));
    }

    void resetStateWithoutRecordingDoesNothing() {
        HandlerFixture f(cellWithRobot);
        f.handler->_respawn_state.reset();
        kestrin::Robot* arm = f.workspace()->getRobot("Arm");
        arm->setJointPositions(Eigen::VectorXd::Zero(6));
        LogCapture log;
        f.handler->resetState();
        QVERIFY(arm->jointPositions().isZero());
        QVERIFY(log.lines().isEmpty());
    }

    void projectFollowsTheContainer() {
        HandlerFixture f(cellWithRobot);
        QCOMPARE(f.handler->project()->workspace()->objectCount(), 2);
        f.container->newProject();
        QCOMPARE(f.handler->project(), f.container->project());
        QCOMPARE(f.handler->project()->workspace()->objectCount(), 0);
    }

    // --- New, open, template ------------------------------------------------------------------

    void saveFirstThenCancelledChooserAbandonsTheOperation() {
        // Yes to the save-first offer, then Cancel in the save-as chooser: the user kept their
        // project, so nothing replaces it and the program does not end.
        QTemporaryDir dir;
        const QString other = saveTo(f_dummy(), dir.filePath("other.kestrin"));
        HandlerFixture f(cellWithRobot);
        kestrin::Project* before = f.project();
        const int undoSteps = f.project()->history().stepCount();
        const std::vector<std::pair<QString, std::function<void()>>> operations{
            {"new project", [&] { f.handler->newProject(); }},
            {"open", [&] { f.handler->openProject(); }},
            {"template",
             [&] {
                 f.handler->openTemplate(
                     QStringLiteral(KESTRIN_SOURCE_DIR "/data/templates/demo_cell.kestrin"));
             }},
            {"recent", [&] { f.handler->openRecent(other); }},
            {"quit", [&] { f.handler->quit(); }},
        };
        for (const auto& [name, run] : operations) {
            DialogDriver::reset();
            LogCapture log;
            DialogDriver::expect(DialogDriver::accept());              // save first? yes
            DialogDriver::expect(DialogDriver::chooseFile(QString())); // save as: cancel
            DialogDriver::expect(DialogDriver::chooseFile(other));     // (open: never reached)
            run();
            QCOMPARE(DialogDriver::seenTitles(), (QStringList{"Save Project", "Save file"}));
            QVERIFY2(f.project() == before, qPrintable(name));
            QVERIFY(f.workspace()->findRobot("Arm"));
            QCOMPARE(f.project()->history().stepCount(), undoSteps);
            QVERIFY(f.handler->_active_filename.isNull());
            QVERIFY2(log.lines().isEmpty(), qPrintable(name + ": " + log.lines().join(", ")));
            QVERIFY(f.exitRequests.isEmpty());
            QVERIFY(f.failures.isEmpty());
            QCOMPARE(f.sceneItems(), 2);
        }
        DialogDriver::reset();

        // No to the offer goes on as before.
        DialogDriver::expect(DialogDriver::reject());
        f.handler->newProject();
        QCOMPARE(f.workspace()->objectCount(), 0);
    }

    void saveFirstOfferTakesEnterAsYesAndEscapeAsNo() {
        HandlerFixture f(cellWithRobot);
        DialogDriver::expect(DialogDriver::pressKey(Qt::Key_Return)); // yes: the chooser comes
        DialogDriver::expect(DialogDriver::chooseFile(QString()));
        f.handler->newProject();
        QCOMPARE(DialogDriver::seenTitles(), (QStringList{"Save Project", "Save file"}));
        QVERIFY(f.workspace()->findRobot("Arm"));

        DialogDriver::reset();
        DialogDriver::expect(DialogDriver::pressKey(Qt::Key_Escape)); // no: a new project
        f.handler->newProject();
        QCOMPARE(DialogDriver::seenTitles(), QStringList{"Save Project"});
        QCOMPARE(f.workspace()->objectCount(), 0);
    }

    void openProjectRemembersTheFileAndSavesBackToIt() {
        QTemporaryDir dir;
        const QString path = dir.filePath("cell.kestrin");
        {
            kestrin::Project p;
            cellWithRobot(&p);
            saveTo(&p, path);
        }
        HandlerFixture f;
        LogCapture log;
        DialogDriver::expect(DialogDriver::reject()); // no save first
        DialogDriver::expect(DialogDriver::chooseFile(path));
        f.handler->openProject();
        QCOMPARE(DialogDriver::seenTitles(), (QStringList{"Save Project", "Open file"}));
        QCOMPARE(f.handler->_active_filename, path);
        QVERIFY(f.workspace()->findRobot("Arm"));
        QCOMPARE(log.lines().last(), "info: Opened project '" + path + "'");

        f.workspace()->getRobot("Arm")->setJointPositions(Eigen::VectorXd::Zero(6));
        log.clear();
        f.handler->saveProject();
        QCOMPARE(DialogDriver::seenTitles().size(), 2); // no chooser this time
        QCOMPARE(log.lines(), (QStringList{"info: Saved project '" + path + "'",
                                           "info: Recorded the project respawn state"}));
        kestrin::Project reread;
        reread.load(path);
        QVERIFY(reread.workspace()->getRobot("Arm")->jointPositions().isZero());

        // The saved state is the new respawn state.
        f.workspace()->getRobot("Arm")->setJointPositions(Eigen::VectorXd::Constant(6, 0.5));
        f.handler->resetState();
        QVERIFY(f.workspace()->getRobot("Arm")->jointPositions().isZero());
    }

    // Two studios with the same file: the second to save is asked before it writes over what the
    // first saved, with the file named; Cancel keeps the other's file and saves nothing, Save writes.
    void saveAsksBeforeWritingOverAFileChangedOnDisk() {
        QTemporaryDir dir;
        const QString path = dir.filePath("shared.kestrin");
        {
            kestrin::Project p;
            cellWithRobot(&p);
            saveTo(&p, path);
        }
        HandlerFixture f;
        DialogDriver::expect(DialogDriver::reject()); // no save first
        DialogDriver::expect(DialogDriver::chooseFile(path));
        f.handler->openProject();
        QCOMPARE(f.handler->_active_filename, path);

        // Saving what it opened, unchanged on disk, asks nothing.
        f.handler->saveProject();
        QCOMPARE(DialogDriver::seenTitles().size(), 2);

        // Another studio saves the same file (as an atomic save does: a new file in its place).
        {
            kestrin::Project other;
            other.load(path);
            new kestrin::Desk(other.workspace(), "Theirs");
            saveTo(&other, path);
        }
        const QByteArray theirs = readFileBytes(path);
        f.workspace()->getRobot("Arm")->setJointPositions(Eigen::VectorXd::Zero(6));
        f.project()->history().record("Move Arm");
        QString asked;
        const auto answer = [&asked](QMessageBox::StandardButton button) {
            return [&asked, button](QWidget* dialog) {
                if (auto* box = qobject_cast<QMessageBox*>(dialog))
                    asked = box->text();
                DialogDriver::pressMessageButton(button)(dialog);
            };
        };
        LogCapture log;
        DialogDriver::expect(answer(QMessageBox::Cancel));
        f.handler->saveProject();
        QCOMPARE(DialogDriver::seenTitles().last(), "File Changed on Disk");
        QVERIFY2(asked.contains("'" + path + "'") && asked.contains("changed on disk"), qPrintable(asked));
        QCOMPARE(readFileBytes(path), theirs);
        QVERIFY(f.project()->history().isModified()); // nothing was saved, and it says so
        QVERIFY(!log.lines().join('\n').contains("Saved project"));

        // Quitting offers to save; cancelling that save abandons the quit.
        DialogDriver::expect(DialogDriver::accept()); // save first? yes
        DialogDriver::expect(answer(QMessageBox::Cancel));
        f.handler->quit();
        QVERIFY(!f.handler->_quitting);
        QCOMPARE(readFileBytes(path), theirs);

        // Saving over it on purpose writes, and the next save asks nothing.
        DialogDriver::expect(answer(QMessageBox::Save));
        f.handler->saveProject();
        QVERIFY(readFileBytes(path) != theirs);
        QVERIFY(!f.project()->history().isModified());
        const int dialogs = DialogDriver::seenTitles().size();
        f.workspace()->getRobot("Arm")->setJointPositions(Eigen::VectorXd::Constant(6, 0.1));
        f.project()->history().record("Move Arm");
        f.handler->saveProject();
        QCOMPARE(DialogDriver::seenTitles().size(), dialogs);
        kestrin::Project reread;
        reread.load(path);
        QCOMPARE(reread.workspace()->objectCount(), 2); // ours: the arm and the desk, not their third
        QVERIFY(reread.workspace()->getRobot("Arm")->jointPositions().isApprox(
            Eigen::VectorXd::Constant(6, 0.1)));
    }

    void openProjectCancelledChangesNothing() {
        HandlerFixture f(cellWithRobot);
        kestrin::Project* before = f.project();
        LogCapture log;
        DialogDriver::expect(DialogDriver::reject());
        DialogDriver::expect(DialogDriver::chooseFile(QString()));
        f.handler->openProject();
        QCOMPARE(f.project(), before);
        QVERIFY(f.workspace()->findRobot("Arm"));
        QVERIFY(log.lines().isEmpty());
    }

    void failedOpenReplacesNothing() {
        QTemporaryDir dir;
        const QString good = saveTo(f_dummy(), dir.filePath("good.kestrin"));
        const QString bad = dir.filePath("bad.kestrin");
        QVERIFY(writeFileBytes(bad, "{ not json"));
        HandlerFixture f;
        DialogDriver::expect(DialogDriver::reject());
        DialogDriver::expect(DialogDriver::chooseFile(good));
        f.handler->openProject();
        QCOMPARE(f.handler->_active_filename, good);
        const QByteArray goodBytes = readFileBytes(good);
        // An unsaved change, with its undo step.
        f.workspace()->getRobot("Arm")->setJointPositions(Eigen::VectorXd::Constant(6, 0.25));
        f.project()->history().record("Move Arm");
        f.handler->_rebuildViewerAndTree();
        kestrin::Project* before = f.project();
        const QStringList treeBefore = f.treeNames();

        const std::vector<std::pair<QString, std::function<void()>>> failing{
            {"open",
             [&] {
                 DialogDriver::expect(DialogDriver::reject());
                 DialogDriver::expect(DialogDriver::chooseFile(bad));
                 f.handler->openProject();
             }},
            {"recent",
             [&] {
                 DialogDriver::expect(DialogDriver::reject());
                 f.handler->openRecent(bad);
             }},
            {"template",
             [&] {
                 DialogDriver::expect(DialogDriver::reject());
                 f.handler->openTemplate(bad);
             }},
        };
        for (const auto& [name, run] : failing) {
            f.failures.clear();
            LogCapture log;
            run();
            QVERIFY2(f.project() == before, qPrintable(name));
            QCOMPARE(f.handler->_active_filename, good);
            QCOMPARE(f.failures.size(), 1);
            QVERIFY(f.failures.first().contains(bad));
            QCOMPARE(log.lines().size(), 1);
            QVERIFY(log.lines().first().startsWith("error: "));
            QVERIFY(f.project()->history().canUndo());
            QCOMPARE(f.project()->history().undoName(), QString("Move Arm"));
            QCOMPARE(f.treeNames(), treeBefore);
            QCOMPARE(f.container->viewer()->_differenceFromModel(), QString());
            QCOMPARE(f.workspace()->getRobot("Arm")->jointPositions(), Eigen::VectorXd::Constant(6, 0.25));
        }

        // A plain save still writes the project to its own file.
        f.handler->saveProject();
        QVERIFY(readFileBytes(good) != goodBytes);
        kestrin::Project reread;
        reread.load(good);
        QCOMPARE(reread.workspace()->getRobot("Arm")->jointPositions(), Eigen::VectorXd::Constant(6, 0.25));
    }

    void missingTemplateLogsAnErrorAfterTheOffer() {
        HandlerFixture f(cellWithRobot);
        kestrin::Project* before = f.project();
        LogCapture log;
        DialogDriver::expect(DialogDriver::reject());
        f.handler->openTemplate("/nonexistent/template.kestrin");
        QCOMPARE(DialogDriver::seenTitles(), QStringList{"Save Project"});
        QCOMPARE(log.lines(), QStringList{"error: Unable to open template"});
        QCOMPARE(f.project(), before);
        QVERIFY(f.failures.isEmpty());
    }

    void directoryAsTemplateReachesLoadAndFailsCleanly() {
        QTemporaryDir dir;
        HandlerFixture f(cellWithRobot);
        DialogDriver::expect(DialogDriver::reject());
        f.handler->openTemplate(dir.path());
        QCOMPARE(f.failures.size(), 1);
        QVERIFY(f.failures.first().contains(dir.path()));
        QVERIFY(f.handler->_active_filename.isNull());
        QVERIFY(f.workspace()->findRobot("Arm")); // nothing replaced
    }

    void templateStartsAProjectWithoutAFile() {
        HandlerFixture f;
        LogCapture log;
        DialogDriver::expect(DialogDriver::reject());
        f.handler->openTemplate(QStringLiteral(KESTRIN_SOURCE_DIR "/data/templates/demo_cell.kestrin"));
        QVERIFY(f.workspace()->findRobot("UR5e"));
        QCOMPARE(log.lines().last(), QString("info: Created new project from template"));
        QVERIFY(f.handler->_active_filename.isNull());
        DialogDriver::expect(DialogDriver::chooseFile(QString()));
        f.handler->saveProject();
        QCOMPARE(DialogDriver::seenTitles().last(), QString("Save file"));
    }

    // --- Save, save as, quit -------------------------------------------------------------------

    void saveAsAlwaysStartsAtTheDefaultPath() {
        QVERIFY(QDir().mkpath(QFileInfo(DEFAULT_PROJECT_SAVE).absolutePath()));
        QTemporaryDir dir;
        HandlerFixture f(cellWithRobot);
        QString proposed;
        auto look = [&proposed](QWidget* d) {
            if (auto* edit = d->findChild<QLineEdit*>("fileNameEdit"))
                proposed = edit->text();
        };
        const QString path = dir.filePath("chosen_without_extension.kestrin");
        LogCapture log;
        DialogDriver::expect(DialogDriver::sequence(
            {look, DialogDriver::chooseFile(dir.filePath("chosen_without_extension"))}));
        f.handler->saveProjectAs();
        QCOMPARE(proposed, QFileInfo(DEFAULT_PROJECT_SAVE).fileName());
        QCOMPARE(f.handler->_active_filename, path); // saved with the extension, so Open shows it
        QVERIFY(QFile::exists(path));
        QCOMPARE(log.lines().first(), "info: Saved file '" + path + "'");

        proposed.clear();
        DialogDriver::expect(DialogDriver::sequence({look, DialogDriver::chooseFile(QString())}));
        f.handler->saveProjectAs();
        QCOMPARE(proposed, QFileInfo(DEFAULT_PROJECT_SAVE).fileName());
        QCOMPARE(f.handler->_active_filename, path);
    }

    void failedSaveKeepsTheProjectAndTheOldFile() {
        QVERIFY(dropFileAccessOverride());
        QTemporaryDir dir;
        const QString path = dir.filePath("cell.kestrin");
        HandlerFixture f(cellWithRobot);
        DialogDriver::expect(DialogDriver::chooseFile(path));
        f.handler->saveProjectAs();
        const QByteArray saved = readFileBytes(path);
        QVERIFY(!saved.isEmpty());
        f.workspace()->getRobot("Arm")->setJointPositions(Eigen::VectorXd::Zero(6));
        QVERIFY(QFile::setPermissions(dir.path(), QFile::ReadOwner | QFile::ExeOwner));

        LogCapture log;
        kestrin::Project* before = f.project();
        DialogDriver::expect(DialogDriver::accept()); // save first? yes, and the save fails
        f.handler->newProject();
        QCOMPARE(f.project(), before);
        QVERIFY(f.workspace()->findRobot("Arm"));
        QCOMPARE(f.failures.size(), 1);
        QVERIFY(f.failures.first().contains(path));
        QCOMPARE(log.lines().size(), 1);
        QVERIFY(
            log.lines().first().startsWith("error: Starting a new project failed while saving the project"));

        DialogDriver::expect(DialogDriver::accept());
        f.handler->quit();
        QVERIFY(f.exitRequests.isEmpty()); // a failed save never ends the program
        QCOMPARE(f.failures.size(), 2);
        QVERIFY(QFile::setPermissions(dir.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
        QCOMPARE(readFileBytes(path), saved);
    }

    void quitAsksEvenWhenLockedAndEndsWithStatusZero() {
        HandlerFixture f(cellWithRobot);
        f.handler->_lock();
        LogCapture log;
        DialogDriver::expect(DialogDriver::accept());
        f.handler->quit();
        QCOMPARE(DialogDriver::seenTitles(), QStringList{"Save Project"}); // the save was refused by the lock
        QCOMPARE(f.exitRequests, QList<int>{0});
        QVERIFY(log.lines().isEmpty());
        // Nothing of the handler runs after quit.
        f.handler->_unlock();
        f.handler->newProject();
        QCOMPARE(DialogDriver::seenTitles().size(), 1);
    }

    void quitWithYesAndNoFileSavesWhereChosenThenEnds() {
        QTemporaryDir dir;
        HandlerFixture f(cellWithRobot);
        DialogDriver::expect(DialogDriver::accept());
        DialogDriver::expect(DialogDriver::chooseFile(dir.filePath("last.kestrin")));
        f.handler->quit();
        QCOMPARE(DialogDriver::seenTitles(), (QStringList{"Save Project", "Save file"}));
        QCOMPARE(f.exitRequests, QList<int>{0});
        kestrin::Project reread;
        reread.load(dir.filePath("last.kestrin"));
        QVERIFY(reread.workspace()->findRobot("Arm"));
    }

private:
    kestrin::Project* f_dummy() {
        m_dummy = std::make_unique<kestrin::Project>();
        cellWithRobot(m_dummy.get());
        return m_dummy.get();
    }
    std::unique_ptr<kestrin::Project> m_dummy;
};

KESTRIN_GUI_TEST_MAIN(HandlerSpineTest)
#include "test_handler_spine.moc"
