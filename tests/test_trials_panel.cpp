// Run > Run Trials... in the studio: the dialog, trials in the background with progress and
// Cancel, the results dock and its charts, replaying a trial in the view, saving the results.

#include "dialog_driver.h"
#include "studio_fixture.h"
#include "test_main.h"

#include <kestrin/trials.h>
#include <kestrin_app/trial_runner.h>
#include <kestrin_app/trials_panel.h>
#include <kestrin_viewer/simulator.h>

#include <QAction>
#include <QBarSeries>
#include <QBarSet>
#include <QChartView>
#include <QDockWidget>
#include <QElapsedTimer>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QSpinBox>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QTimer>

using testing::DialogDriver;
using testing::Studio;

namespace {

const QString kDemo = QStringLiteral(KESTRIN_SOURCE_DIR "/data/templates/demo_cell.kestrin");
const QString kProgram = QStringLiteral("Pick and Place");

/// The studio with the demo cell open.
struct DemoStudio : Studio {
    DemoStudio() {
        project()->load(kDemo);
        handler()._setupProject();
        sync();
        window.show();
    }
    KSTrialsPanel* panel() { return window.trialsPanel(); }
    /// Fills the Run Trials dialog and presses OK.
    static DialogDriver::Action fill(int trials, const QString& seed) {
        return [trials, seed](QWidget* dialog) {
            dialog->findChild<QSpinBox*>("trialsCount")->setValue(trials);
            dialog->findChild<QLineEdit*>("trialsSeed")->setText(seed);
            DialogDriver::choose("trialsProgram", kProgram)(dialog);
        };
    }
    bool waitFinished(QSignalSpy& spy, int ms = 120000) { return spy.count() > 0 || spy.wait(ms); }
};

/// Sum of the bars of a chart of the panel.
double barTotal(KSTrialsPanel* panel, const char* chart) {
    auto* view = panel->findChild<QtCharts::QChartView*>(chart);
    double total = 0;
    for (auto* series : view->chart()->series())
        for (auto* set : static_cast<QtCharts::QBarSeries*>(series)->barSets())
            total += set->sum();
    return total;
}

} // namespace

class TestTrialsPanel : public QObject {
    Q_OBJECT
private slots:
    void init() { DialogDriver::reset(); }

    void runTrialsShowsTheResultsOfTheSameTrialsAsTheCommandLine() {
        DemoStudio studio;
        QSignalSpy finished(studio.panel(), &KSTrialsPanel::finished);
        DialogDriver::expect(DemoStudio::fill(30, "5"));
        studio.window.findAction("actionRunTrials")->trigger();
        QVERIFY(studio.waitFinished(finished));
        QVERIFY(studio.failures.isEmpty());
        QVERIFY(studio.window.findChild<QDockWidget*>("trialsDock")->isVisible());

        const kestrin::TrialResults& shown = studio.panel()->results();
        QCOMPARE(shown.records.size(), size_t(30));
        // The same trials as anywhere else with that seed.
        TrialPlan plan = trialPlanFor(*studio.project(), "demo", kProgram, 5);
        plan.trials = kestrin::shardTrials(30, 1, 1);
        const std::vector<kestrin::TrialRecord> expected = runTrials(plan);
        for (size_t i = 0; i < expected.size(); ++i)
            QCOMPARE(shown.records[i], expected[i]);

        const kestrin::TrialSummary s = kestrin::TrialSummary::of(shown.records);
        auto* panel = studio.panel();
        QCOMPARE(panel->findChild<QTableWidget*>("trialsTable")->rowCount(), 30);
        QVERIFY(panel->findChild<QLabel*>("trialsSummary")
                    ->text()
                    .contains(QString("%1 of 30 trials completed").arg(s.completed)));
        QCOMPARE(barTotal(panel, "trialsCycleChart"), double(s.completed));
        QCOMPARE(barTotal(panel, "trialsKindChart"), double(s.faulted));
        QCOMPARE(barTotal(panel, "trialsBehaviorChart"), double(s.faulted));
        QCOMPARE(panel->findChild<QProgressBar*>("trialsProgress")->value(), 30);
    }

    void cancelStopsWithinASecondAndKeepsTheFinishedTrials() {
        DemoStudio studio;
        auto* panel = studio.panel();
        QSignalSpy finished(panel, &KSTrialsPanel::finished);
        panel->start(kProgram, 1000000, 1);
        QVERIFY(panel->isRunning());
        auto* progress = panel->findChild<QProgressBar*>("trialsProgress");
        QTRY_VERIFY_WITH_TIMEOUT(progress->value() >= 1, 60000);
        // The window keeps answering while trials run: a fast timer goes on ticking, and the
        // progress bar moves.
        int ticks = 0;
        QTimer ticker;
        QObject::connect(&ticker, &QTimer::timeout, [&ticks] { ++ticks; });
        ticker.start(10);
        const int before = progress->value();
        QTest::qWait(500);
        QVERIFY2(ticks >= 10, qPrintable(QString("%1 ticks in 500 ms").arg(ticks)));
        QVERIFY(progress->value() > before);

        QElapsedTimer stopping;
        stopping.start();
        QTest::mouseClick(panel->findChild<QPushButton*>("trialsCancel"), Qt::LeftButton);
        QVERIFY(studio.waitFinished(finished, 5000));
        QVERIFY2(stopping.elapsed() < 1000, qPrintable(QString("%1 ms").arg(stopping.elapsed())));
        QVERIFY(!panel->isRunning());
        const size_t kept = panel->results().records.size();
        QVERIFY(kept > size_t(before));
        QVERIFY(kept < 1000000);
        QCOMPARE(panel->findChild<QTableWidget*>("trialsTable")->rowCount(), int(kept));
        QVERIFY(panel->findChild<QLabel*>("trialsStatus")
                    ->text()
                    .startsWith(QString("Cancelled after %1 of").arg(kept)));
        // The kept trials are the first ones, whole: trial 1 as it runs alone.
        TrialPlan plan = trialPlanFor(*studio.project(), "demo", kProgram, 1);
        plan.trials = {1};
        QCOMPARE(panel->results().records.front(), runTrials(plan).front());
    }

    void doubleClickingATrialPlaysItAgainInTheView() {
        DemoStudio studio;
        auto* panel = studio.panel();
        QSignalSpy finished(panel, &KSTrialsPanel::finished);
        panel->start(kProgram, 4, 11);
        QVERIFY(studio.waitFinished(finished));
        // The cell has moved on since the trials began: the replay starts where they did.
        auto* robot = studio.workspace()->getRobot("UR5e");
        Eigen::VectorXd elsewhere = robot->jointPositions();
        elsewhere[0] += 0.4;
        robot->setJointPositions(elsewhere);

        studio.handler()._on_simulator_created = [](kestrin::Simulator* s) { s->setSpeed(1000); };
        std::optional<kestrin::RunOutcome> outcome;
        auto ended = studio.handler()._on_run_ended;
        studio.handler()._on_run_ended = [&](const kestrin::Simulator& s) {
            outcome = s.lastOutcome();
            if (ended)
                ended(s);
        };
        auto* table = panel->findChild<QTableWidget*>("trialsTable");
        const QRect cell = table->visualRect(table->model()->index(2, 0));
        // A double-click as the window system delivers it: a click, then the second press.
        QTest::mouseClick(table->viewport(), Qt::LeftButton, {}, cell.center());
        QTest::mouseDClick(table->viewport(), Qt::LeftButton, {}, cell.center());
        QTRY_VERIFY_WITH_TIMEOUT(outcome.has_value(), 60000);
        const kestrin::TrialRecord& third = panel->results().records[2];
        QCOMPARE(third.trial, 3);
        QCOMPARE(outcome->completed, third.completed);
        QCOMPARE(outcome->faultKind, third.faultKind);
        QVERIFY(std::abs(outcome->simulatedSeconds - third.seconds) < 1e-6);
        QCOMPARE(outcome->draws.size(), third.draws.size());
        for (size_t i = 0; i < third.draws.size(); ++i)
            QCOMPARE(outcome->draws[i].values, third.draws[i].values);
        QVERIFY(studio.failures.isEmpty());
    }

    void savesTheResultsAsJsonLinesAndCsv() {
        DemoStudio studio;
        auto* panel = studio.panel();
        QSignalSpy finished(panel, &KSTrialsPanel::finished);
        panel->start(kProgram, 6, 2);
        QVERIFY(studio.waitFinished(finished));
        QTemporaryDir dir;
        const QString json = dir.filePath("t.jsonl");
        DialogDriver::expect(DialogDriver::chooseFile(json));
        QTest::mouseClick(panel->findChild<QPushButton*>("trialsSaveJson"), Qt::LeftButton);
        const kestrin::TrialResults back = kestrin::TrialResults::read(json);
        QCOMPARE(back.records.size(), size_t(6));
        for (size_t i = 0; i < 6; ++i)
            QCOMPARE(back.records[i], panel->results().records[i]);
        QCOMPARE(back.info.program, kProgram);

        const QString csv = dir.filePath("t.csv");
        DialogDriver::expect(DialogDriver::chooseFile(csv));
        QTest::mouseClick(panel->findChild<QPushButton*>("trialsSaveCsv"), Qt::LeftButton);
        QFile f(csv);
        QVERIFY(f.open(QIODevice::ReadOnly));
        QCOMPARE(f.readAll().count('\n'), 7);

        // A save that fails says so.
        DialogDriver::expect(DialogDriver::chooseFile(dir.filePath("missing/t.jsonl")));
        QTest::mouseClick(panel->findChild<QPushButton*>("trialsSaveJson"), Qt::LeftButton);
        QCOMPARE(studio.failures.size(), 1);
        QVERIFY2(studio.failures.front().contains("missing/t.jsonl"), qPrintable(studio.failures.front()));
    }
};

KESTRIN_GUI_TEST_MAIN(TestTrialsPanel)
#include "test_trials_panel.moc"
