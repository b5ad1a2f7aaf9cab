#include "trials_panel.h"

#include "content.h"
#include "dialogs.h"
#include "exception.h"
#include "log.h"
#include "trial_runner.h"

#include <kestrin/atomic_file.h>
#include <kestrin/behavior.h>
#include <kestrin/error.h>
#include <kestrin/project.h>
#include <kestrin/workspace.h>

#include <QBarCategoryAxis>
#include <QBarSeries>
#include <QBarSet>
#include <QChart>
#include <QChartView>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFileInfo>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSpinBox>
#include <QSplitter>
#include <QTableWidget>
#include <QThread>
#include <QVBoxLayout>
#include <QValueAxis>
#include <algorithm>
#include <cmath>

using namespace QtCharts;

namespace {

std::optional<quint64> parseSeed(const QString& text) {
    bool ok = false;
    const quint64 seed = text.trimmed().toULongLong(&ok);
    if (!ok)
        return std::nullopt;
    return seed;
}

/// A bar chart of counts: one bar per category.
QChart* barChart(const QString& title, const QStringList& categories, const QList<qreal>& counts) {
    auto* set = new QBarSet(title);
    for (qreal c : counts)
        *set << c;
    auto* series = new QBarSeries;
    series->append(set);
    auto* chart = new QChart;
    chart->addSeries(series);
    chart->setTitle(title);
    chart->legend()->hide();
    chart->setMargins(QMargins(2, 2, 2, 2));
    auto* x = new QBarCategoryAxis;
    x->append(categories.isEmpty() ? QStringList{QStringLiteral("none")} : categories);
    chart->addAxis(x, Qt::AlignBottom);
    series->attachAxis(x);
    auto* y = new QValueAxis;
    const qreal top =
        counts.isEmpty() ? 1 : std::max<qreal>(1, *std::max_element(counts.begin(), counts.end()));
    y->setRange(0, top);
    y->setLabelFormat(QStringLiteral("%d"));
    y->setTickCount(int(std::min<qreal>(top, 4)) + 1);
    chart->addAxis(y, Qt::AlignLeft);
    series->attachAxis(y);
    return chart;
}

void replaceChart(QChartView* view, QChart* chart) {
    QChart* old = view->chart();
    view->setChart(chart);
    delete old;
}

} // namespace

// --- The dialog --------------------------------------------------------------------------------

KSRunTrialsDialog::KSRunTrialsDialog(const kestrin::Project& project, QWidget* parent) : QDialog(parent) {
    setWindowTitle(tr("Run Trials"));
    setObjectName(QStringLiteral("runTrialsDialog"));
    auto* form = new QFormLayout;
    m_program = new QComboBox(this);
    m_program->setObjectName(QStringLiteral("trialsProgram"));
    for (const kestrin::Behavior* program : project.programList())
        m_program->addItem(program->name());
    m_count = new QSpinBox(this);
    m_count->setObjectName(QStringLiteral("trialsCount"));
    m_count->setRange(1, 1000000);
    m_count->setValue(100);
    m_count->setGroupSeparatorShown(true);
    m_seed = new QLineEdit(QStringLiteral("1"), this);
    m_seed->setObjectName(QStringLiteral("trialsSeed"));
    m_seed->setToolTip(tr("Base seed: the same seed draws the same trials again."));
    form->addRow(tr("&Program:"), m_program);
    form->addRow(tr("&Trials:"), m_count);
    form->addRow(tr("&Seed:"), m_seed);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    buttons->setObjectName(QStringLiteral("buttonBox"));
    m_ok = buttons->button(QDialogButtonBox::Ok);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    connect(m_seed, &QLineEdit::textChanged, this, &KSRunTrialsDialog::check);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(form);
    layout->addWidget(buttons);
    check();
}

void KSRunTrialsDialog::check() {
    const bool seedOk = parseSeed(m_seed->text()).has_value();
    m_seed->setStyleSheet(seedOk ? QString() : QStringLiteral("color: #c00000"));
    m_ok->setEnabled(seedOk && m_program->count() > 0);
}

QString KSRunTrialsDialog::program() const {
    return m_program->currentText();
}
int KSRunTrialsDialog::trials() const {
    return m_count->value();
}
quint64 KSRunTrialsDialog::seed() const {
    return parseSeed(m_seed->text()).value_or(1);
}

// --- The panel ---------------------------------------------------------------------------------

KSTrialsPanel::KSTrialsPanel(kestrin_app::content::KSContentHandler* handler, QWidget* parent)
    : QWidget(parent), m_handler(handler) {
    setObjectName(QStringLiteral("trialsPanel"));
    m_status = new QLabel(tr("No trials yet: Run > Run Trials..."), this);
    m_status->setObjectName(QStringLiteral("trialsStatus"));
    m_progress = new QProgressBar(this);
    m_progress->setObjectName(QStringLiteral("trialsProgress"));
    m_progress->setRange(0, 1);
    m_progress->setValue(0);
    m_cancel = new QPushButton(tr("Cancel"), this);
    m_cancel->setObjectName(QStringLiteral("trialsCancel"));
    m_cancel->setEnabled(false);
    m_saveJson = new QPushButton(tr("Save JSON Lines..."), this);
    m_saveJson->setObjectName(QStringLiteral("trialsSaveJson"));
    m_saveCsv = new QPushButton(tr("Save CSV..."), this);
    m_saveCsv->setObjectName(QStringLiteral("trialsSaveCsv"));
    m_saveJson->setEnabled(false);
    m_saveCsv->setEnabled(false);
    m_summary = new QLabel(this);
    m_summary->setObjectName(QStringLiteral("trialsSummary"));
    m_summary->setTextInteractionFlags(Qt::TextSelectableByMouse);
    m_summary->setWordWrap(true);

    auto makeView = [this](const char* name) {
        auto* view = new QChartView(new QChart, this);
        view->setObjectName(QLatin1String(name));
        view->setRenderHint(QPainter::Antialiasing);
        view->setMinimumSize(220, 160);
        return view;
    };
    m_kindChart = makeView("trialsKindChart");
    m_behaviorChart = makeView("trialsBehaviorChart");
    m_cycleChart = makeView("trialsCycleChart");

    m_table = new QTableWidget(0, 5, this);
    m_table->setObjectName(QStringLiteral("trialsTable"));
    m_table->setHorizontalHeaderLabels(
        {tr("Trial"), tr("Outcome"), tr("Behavior"), tr("Seconds"), tr("Reason")});
    m_table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_table->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_table->verticalHeader()->hide();
    m_table->horizontalHeader()->setStretchLastSection(true);
    m_table->setToolTip(tr("Double-click a trial to play it again in the view"));

    auto* top = new QHBoxLayout;
    top->addWidget(m_status, 1);
    top->addWidget(m_progress, 1);
    top->addWidget(m_cancel);
    top->addWidget(m_saveJson);
    top->addWidget(m_saveCsv);
    auto* charts = new QWidget(this);
    auto* chartRow = new QHBoxLayout(charts);
    chartRow->setContentsMargins(0, 0, 0, 0);
    chartRow->addWidget(m_kindChart);
    chartRow->addWidget(m_behaviorChart);
    chartRow->addWidget(m_cycleChart);
    auto* split = new QSplitter(Qt::Horizontal, this);
    split->addWidget(charts);
    split->addWidget(m_table);
    split->setStretchFactor(0, 3);
    split->setStretchFactor(1, 2);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(top);
    layout->addWidget(m_summary);
    layout->addWidget(split, 1);

    connect(m_cancel, &QPushButton::clicked, this, &KSTrialsPanel::cancel);
    connect(m_saveJson, &QPushButton::clicked, this, [this] { askAndSave(false); });
    connect(m_saveCsv, &QPushButton::clicked, this, [this] { askAndSave(true); });
    connect(m_table, &QTableWidget::cellDoubleClicked, this,
            [this](int row, int) { replay(m_table->item(row, 0)->data(Qt::UserRole).toInt()); });
    showResults();
}

KSTrialsPanel::~KSTrialsPanel() = default;

bool KSTrialsPanel::isRunning() const {
    return m_job && m_job->isRunning();
}

void KSTrialsPanel::askAndStart() {
    kestrin_app::logerror("runTrials", [this] {
        if (isRunning())
            throw kestrin::ValueError(tr("Trials are running: wait for them or cancel them first."));
        KSRunTrialsDialog dialog(*m_handler->project(), window());
        if (dialog.exec() != QDialog::Accepted)
            return;
        start(dialog.program(), dialog.trials(), dialog.seed());
    });
}

void KSTrialsPanel::start(const QString& program, int trials, quint64 seed) {
    if (isRunning())
        throw kestrin::ValueError(tr("Trials are running: wait for them or cancel them first."));
    const kestrin::Project& project = *m_handler->project();
    if (!project.programs().contains(program))
        throw kestrin::NotFoundError(tr("There is no program named '%1' to run trials of.").arg(program));
    const QString file = m_handler->_active_filename;
    TrialPlan plan = trialPlanFor(project, file.isEmpty() ? tr("the studio's project") : file, program, seed);
    plan.trials = kestrin::shardTrials(trials, 1, 1);
    plan.jobs = std::max(1, QThread::idealThreadCount());
    m_results = kestrin::TrialResults{};
    m_results.info.file = file;
    m_results.info.projectHash = kestrin::projectHash(project);
    m_results.info.program = program;
    m_results.info.seed = seed;
    m_results.info.trials = trials;
    m_start = project.workspace()->_getState();
    m_job = std::make_unique<KSTrialJob>(std::move(plan));
    connect(m_job.get(), &KSTrialJob::progress, this, [this](int done, int total) {
        m_progress->setRange(0, total);
        m_progress->setValue(done);
    });
    connect(m_job.get(), &KSTrialJob::finished, this, &KSTrialsPanel::onFinished);
    m_progress->setRange(0, trials);
    m_progress->setValue(0);
    m_cancel->setEnabled(true);
    m_status->setText(tr("Running %1 trials of '%2' (seed %3)...").arg(trials).arg(program).arg(seed));
    showResults();
    qCInfo(lcApp, "Running %d trials of program '%s' with seed %llu", trials, qUtf8Printable(program),
           static_cast<unsigned long long>(seed));
    m_job->start();
    emit started();
}

void KSTrialsPanel::cancel() {
    if (isRunning()) {
        m_job->cancel();
        m_cancel->setEnabled(false);
        m_status->setText(tr("Cancelling..."));
    }
}

void KSTrialsPanel::clear() {
    m_job.reset();
    m_results = kestrin::TrialResults{};
    m_status->setText(tr("No trials yet: Run > Run Trials..."));
    m_cancel->setEnabled(false);
    m_progress->setRange(0, 1);
    m_progress->setValue(0);
    showResults();
}

void KSTrialsPanel::onFinished(const std::vector<kestrin::TrialRecord>& records, const QString& error) {
    m_results.records = records;
    m_cancel->setEnabled(false);
    const int asked = m_results.info.trials;
    const int ran = int(records.size());
    m_progress->setRange(0, std::max(1, asked));
    m_progress->setValue(ran);
    if (!error.isEmpty()) {
        m_status->setText(tr("The trials could not run."));
        kestrin_app::logerror("runTrials", [&error] { throw kestrin::Error(error); });
    } else if (ran < asked) {
        m_status->setText(tr("Cancelled after %1 of %2 trials.").arg(ran).arg(asked));
        qCInfo(lcApp, "Trials cancelled after %d of %d", ran, asked);
    } else {
        m_status->setText(
            tr("%1 trials of '%2' (seed %3).").arg(ran).arg(m_results.info.program).arg(m_results.info.seed));
        qCInfo(lcApp, "Ran %d trials of program '%s'", ran, qUtf8Printable(m_results.info.program));
    }
    showResults();
    emit finished();
}

void KSTrialsPanel::showResults() {
    const kestrin::TrialSummary s = kestrin::TrialSummary::of(m_results.records);
    m_summary->setText(s.ran ? s.text(m_results.info) : QString());
    m_saveJson->setEnabled(s.ran > 0);
    m_saveCsv->setEnabled(s.ran > 0);

    QStringList kinds, behaviors;
    QList<qreal> kindCounts, behaviorCounts;
    for (auto it = s.faultsByKind.begin(); it != s.faultsByKind.end(); ++it) {
        kinds << it.key();
        kindCounts << it.value();
    }
    for (auto it = s.faultsByBehavior.begin(); it != s.faultsByBehavior.end(); ++it) {
        behaviors << it.key();
        behaviorCounts << it.value();
    }
    replaceChart(m_kindChart, barChart(tr("Faults by kind"), kinds, kindCounts));
    replaceChart(m_behaviorChart, barChart(tr("Faults by behavior"), behaviors, behaviorCounts));

    // Cycle times of the completed trials in up to 20 equal bins.
    std::vector<double> cycles;
    for (const kestrin::TrialRecord& r : m_results.records)
        if (r.completed)
            cycles.push_back(r.seconds);
    QStringList bins;
    QList<qreal> binCounts;
    if (!cycles.empty()) {
        const auto [lo, hi] = std::minmax_element(cycles.begin(), cycles.end());
        const int n = std::clamp(int(std::ceil(std::sqrt(double(cycles.size())))), 1, 20);
        const double width = (*hi - *lo) / n;
        const int count = width > 0 ? n : 1;
        binCounts = QList<qreal>();
        for (int i = 0; i < count; ++i) {
            bins << QString::number(*lo + i * width, 'f', 2);
            binCounts << 0;
        }
        for (double c : cycles)
            binCounts[width > 0 ? std::min(count - 1, int((c - *lo) / width)) : 0] += 1;
    }
    replaceChart(m_cycleChart, barChart(tr("Cycle time (s), completed trials"), bins, binCounts));

    m_table->setRowCount(0);
    m_table->setRowCount(int(m_results.records.size()));
    int row = 0;
    for (const kestrin::TrialRecord& r : m_results.records) {
        auto* number = new QTableWidgetItem(QString::number(r.trial));
        number->setData(Qt::UserRole, r.trial);
        m_table->setItem(row, 0, number);
        m_table->setItem(
            row, 1,
            new QTableWidgetItem(r.completed ? tr("completed") : kestrin::faultKindName(r.faultKind)));
        m_table->setItem(row, 2, new QTableWidgetItem(r.behavior));
        m_table->setItem(row, 3, new QTableWidgetItem(QString::number(r.seconds, 'f', 3)));
        m_table->setItem(row, 4, new QTableWidgetItem(r.reason));
        ++row;
    }
}

void KSTrialsPanel::replay(int trial) {
    kestrin_app::logerror("replayTrial", [this, trial] {
        const auto it = std::find_if(m_results.records.begin(), m_results.records.end(),
                                     [trial](const kestrin::TrialRecord& r) { return r.trial == trial; });
        if (it == m_results.records.end())
            throw kestrin::NotFoundError(tr("There is no trial %1 in the results.").arg(trial));
        qCInfo(lcApp, "Replaying trial %d of program '%s' (seed %llu)", trial,
               qUtf8Printable(m_results.info.program), static_cast<unsigned long long>(it->seed));
        m_handler->replayProgram(m_results.info.program, it->seed, m_start);
    });
}

void KSTrialsPanel::save(const QString& path, bool csv) const {
    kestrin::writeFileAtomically(path, csv ? m_results.toCsv() : m_results.toJsonLines(),
                                 QStringLiteral("the trial results"));
}

void KSTrialsPanel::askAndSave(bool csv) {
    kestrin_app::logerror("saveTrialResults", [this, csv] {
        const QString path = kestrin_app::content::KSFileDialog::getSaveFileName(
            window(), csv ? tr("Save Trials as CSV") : tr("Save Trials as JSON Lines"),
            csv ? QStringLiteral("trials.csv") : QStringLiteral("trials.jsonl"),
            csv ? tr("CSV files (*.csv)") : tr("JSON Lines files (*.jsonl)"));
        if (path.isEmpty())
            return;
        save(path, csv);
        qCInfo(lcApp, "Saved trial results '%s'", qUtf8Printable(path));
    });
}
