#pragma once
// Randomised trials in the studio: Run > Run Trials... asks for the program, the number of trials
// and the seed (KSRunTrialsDialog); the trials run in the background on copies of the project as
// it is, while the window goes on; this panel shows their progress with a Cancel button, then
// the success rate, faults by kind and by behavior and a histogram of cycle times, and a table of
// the trials. Double-clicking a trial plays it again in the view, from the cell state the trials
// started from, with that trial's seed. The results save as JSON Lines or CSV.

#include <kestrin/trials.h>
#include <kestrin/workspace_state.h>

#include <QDialog>
#include <QWidget>
#include <memory>

class KSTrialJob;
class QComboBox;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QSpinBox;
class QTableWidget;
namespace QtCharts {
class QChartView;
}
namespace kestrin {
class Project;
}
namespace kestrin_app::content {
class KSContentHandler;
}

/// Program (objectName "trialsProgram"), number of trials ("trialsCount") and base seed
/// ("trialsSeed", a whole number from 0 to 2^64 - 1); OK only with a program and a valid seed.
class KSRunTrialsDialog : public QDialog {
    Q_OBJECT
public:
    KSRunTrialsDialog(const kestrin::Project& project, QWidget* parent = nullptr);
    QString program() const;
    int trials() const;
    quint64 seed() const;

private:
    void check();
    QComboBox* m_program;
    QSpinBox* m_count;
    QLineEdit* m_seed;
    QPushButton* m_ok;
};

class KSTrialsPanel : public QWidget {
    Q_OBJECT
public:
    explicit KSTrialsPanel(kestrin_app::content::KSContentHandler* handler, QWidget* parent = nullptr);
    ~KSTrialsPanel() override;

    /// Asks with KSRunTrialsDialog, then starts the trials (nothing when cancelled).
    void askAndStart();
    /// Starts `trials` trials of `program` on the handler's project as it is now, on as many
    /// threads as the machine has cores. Refused (with a message) while trials run.
    void start(const QString& program, int trials, quint64 seed);
    /// Stops the trials running: those finished are kept and shown.
    void cancel();
    bool isRunning() const;
    /// Plays trial `trial` of the results in the view (KSContentHandler::replayProgram).
    void replay(int trial);
    /// The finished trials of the last run, in trial order.
    const kestrin::TrialResults& results() const { return m_results; }
    /// Writes the results (JSON Lines, or CSV when `csv`); throws kestrin::FileError.
    void save(const QString& path, bool csv) const;
    /// Forgets the results (the project they were of is gone); cancels trials running.
    void clear();

signals:
    /// The trials are over, all run or cancelled.
    void finished();
    /// Trials started: the window shows this panel.
    void started();

private:
    void onFinished(const std::vector<kestrin::TrialRecord>& records, const QString& error);
    void showResults();
    void askAndSave(bool csv);

    kestrin_app::content::KSContentHandler* m_handler;
    std::unique_ptr<KSTrialJob> m_job;
    kestrin::TrialResults m_results;
    kestrin::WorkspaceState m_start;
    QLabel* m_status;
    QProgressBar* m_progress;
    QPushButton* m_cancel;
    QLabel* m_summary;
    QtCharts::QChartView* m_kindChart;
    QtCharts::QChartView* m_behaviorChart;
    QtCharts::QChartView* m_cycleChart;
    QTableWidget* m_table;
    QPushButton* m_saveJson;
    QPushButton* m_saveCsv;
};
