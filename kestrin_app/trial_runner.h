#pragma once
// Trials on several threads: each thread has its own copy of the project and takes the next trial
// not yet taken, so that the results, kept by trial number, do not depend on how many threads
// ran them.

#include <kestrin/trials.h>

#include <QByteArray>
#include <QObject>
#include <QString>
#include <atomic>
#include <memory>
#include <thread>
#include <vector>

class QTimer;

/// What to run: trials of one program of one project.
struct TrialPlan {
    /// The project as compact JSON of Project::toJson(true): each thread builds its copy from it.
    QByteArray document;
    /// Names the project in messages (its file, or the studio's project).
    QString label;
    QString program;
    quint64 seed = 1;
    /// Trial numbers to run (1-based), in the order they are handed out.
    std::vector<int> trials;
    /// Threads to run them on (at least 1; no more than there are trials).
    int jobs = 1;
};

/// A plan for the project as it is now, ready for trialPlan.trials and .jobs to be filled in.
TrialPlan trialPlanFor(const kestrin::Project& project, const QString& label, const QString& program,
                       quint64 seed);

/// Runs the plan's trials and returns the records of those that finished, in trial order.
/// `cancel`, when set, is checked as each behavior of a trial starts: a trial broken off by it is
/// left out, and no further trial starts. `done` counts finished trials as they finish. Throws
/// the first failure of a thread (a project copy that cannot be built) once all threads ended.
std::vector<kestrin::TrialRecord> runTrials(const TrialPlan& plan, const std::atomic<bool>* cancel = nullptr,
                                            std::atomic<int>* done = nullptr);

/// Trials in the background for the studio: start() returns at once; progress() is emitted a few
/// times a second from the thread that started it, and finished() once, with what finished
/// (all trials, or those done before cancel()).
class KSTrialJob : public QObject {
    Q_OBJECT
public:
    explicit KSTrialJob(TrialPlan plan, QObject* parent = nullptr);
    /// Cancels and waits for the threads.
    ~KSTrialJob() override;

    void start();
    /// Asks the trials to stop: each thread ends within its behavior in progress.
    void cancel();
    bool isRunning() const { return m_thread.joinable(); }
    const TrialPlan& plan() const { return m_plan; }
    int done() const { return m_done.load(); }

signals:
    void progress(int done, int total);
    /// `error` is empty unless the trials could not run at all.
    void finished(const std::vector<kestrin::TrialRecord>& records, const QString& error);

private:
    void poll();

    TrialPlan m_plan;
    std::thread m_thread;
    std::atomic<bool> m_cancel{false};
    std::atomic<bool> m_over{false};
    std::atomic<int> m_done{0};
    std::vector<kestrin::TrialRecord> m_records;
    QString m_error;
    QTimer* m_timer;
};
