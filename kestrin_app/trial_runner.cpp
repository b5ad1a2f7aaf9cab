#include "trial_runner.h"

#include <kestrin/error.h>
#include <kestrin/project.h>
#include <kestrin/type.h>

#include <QJsonDocument>
#include <QTimer>
#include <algorithm>
#include <exception>
#include <mutex>

TrialPlan trialPlanFor(const kestrin::Project& project, const QString& label, const QString& program,
                       quint64 seed) {
    TrialPlan plan;
    plan.document = QJsonDocument(project.toJson(true)).toJson(QJsonDocument::Compact);
    plan.label = label;
    plan.program = program;
    plan.seed = seed;
    return plan;
}

std::vector<kestrin::TrialRecord> runTrials(const TrialPlan& plan, const std::atomic<bool>* cancel,
                                            std::atomic<int>* done) {
    // Type descriptors register themselves on first use in a table shared by all: make every one
    // here, before any thread could be the first to use one.
    kestrin::Type::find(QStringLiteral("Sequence"));

    const int total = int(plan.trials.size());
    const int jobs = std::max(1, std::min(plan.jobs, total));
    std::atomic<int> next{0};
    std::mutex lock;
    std::vector<kestrin::TrialRecord> records;
    std::exception_ptr failure;
    auto cancelled = [cancel] { return cancel && cancel->load(std::memory_order_relaxed); };

    auto work = [&] {
        try {
            QJsonParseError error;
            const QJsonDocument doc = QJsonDocument::fromJson(plan.document, &error);
            if (!doc.isObject())
                throw kestrin::FormatError(QStringLiteral("The project to run trials on is not readable: %1.")
                                               .arg(error.errorString()));
            kestrin::TrialProject copy(doc.object(), plan.label);
            std::vector<kestrin::TrialRecord> mine;
            for (int i = next++; i < total && !cancelled(); i = next++) {
                std::optional<kestrin::TrialRecord> r =
                    copy.run(plan.program, plan.seed, plan.trials[size_t(i)], cancelled);
                if (!r)
                    break;
                mine.push_back(std::move(*r));
                if (done)
                    ++*done;
            }
            const std::lock_guard<std::mutex> guard(lock);
            std::move(mine.begin(), mine.end(), std::back_inserter(records));
        } catch (...) {
            const std::lock_guard<std::mutex> guard(lock);
            if (!failure)
                failure = std::current_exception();
            next = total; // the others stop at their next trial
        }
    };
    if (jobs == 1) {
        work();
    } else {
        std::vector<std::thread> threads;
        for (int j = 0; j < jobs; ++j)
            threads.emplace_back(work);
        for (std::thread& t : threads)
            t.join();
    }
    if (failure)
        std::rethrow_exception(failure);
    std::sort(records.begin(), records.end(),
              [](const kestrin::TrialRecord& a, const kestrin::TrialRecord& b) { return a.trial < b.trial; });
    return records;
}

KSTrialJob::KSTrialJob(TrialPlan plan, QObject* parent)
    : QObject(parent), m_plan(std::move(plan)), m_timer(new QTimer(this)) {
    m_timer->setInterval(100);
    connect(m_timer, &QTimer::timeout, this, &KSTrialJob::poll);
}

KSTrialJob::~KSTrialJob() {
    m_cancel = true;
    if (m_thread.joinable())
        m_thread.join();
}

void KSTrialJob::start() {
    if (m_thread.joinable())
        return;
    kestrin::Type::find(QStringLiteral("Sequence")); // see runTrials
    m_cancel = false;
    m_over = false;
    m_done = 0;
    m_thread = std::thread([this] {
        try {
            m_records = runTrials(m_plan, &m_cancel, &m_done);
        } catch (const std::exception& e) {
            m_error = QString::fromUtf8(e.what());
        }
        m_over = true;
    });
    m_timer->start();
}

void KSTrialJob::cancel() {
    m_cancel = true;
}

void KSTrialJob::poll() {
    emit progress(m_done.load(), int(m_plan.trials.size()));
    if (!m_over)
        return;
    m_timer->stop();
    m_thread.join();
    emit finished(m_records, m_error);
}
