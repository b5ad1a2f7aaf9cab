#include "run_toolbar.h"

#include <kestrin_viewer/simulator.h>

#include <QAction>
#include <QComboBox>
#include <QLabel>

namespace {
const double kSpeeds[] = {0.25, 0.5, 1.0, 2.0, 5.0, 10.0};
constexpr double kDefaultSpeed = 1.0;

void markAsRunControl(QObject* object) {
    object->setProperty(kestrin::Simulator::kRunControlProperty, true);
}
} // namespace

KSRunToolBar::KSRunToolBar(QWidget* parent)
    : QToolBar(tr("Run"), parent), m_stop(new QAction(tr("Stop"), this)),
      m_pause(new QAction(tr("Pause"), this)), m_speed(new QComboBox(this)), m_time(new QLabel(this)) {
    setObjectName(QStringLiteral("runToolBar"));
    setToolButtonStyle(Qt::ToolButtonTextBesideIcon);

    m_stop->setObjectName(QStringLiteral("actionStopRun"));
    m_stop->setToolTip(tr("Stop the run (Esc)"));
    m_stop->setStatusTip(tr("Stop the program playing in the simulator"));
    m_pause->setObjectName(QStringLiteral("actionPauseRun"));
    m_pause->setCheckable(true);
    m_pause->setToolTip(tr("Pause or resume the run (Space)"));
    m_pause->setStatusTip(tr("Hold simulated time still, or go on with the run"));
    // Their keys belong to them only while a run plays; the shortcut list shows them from here.
    m_stop->setProperty("shortcutWhilePlaying", QKeySequence(Qt::Key_Escape));
    m_pause->setProperty("shortcutWhilePlaying", QKeySequence(Qt::Key_Space));
    for (QAction* action : {m_stop, m_pause}) {
        action->setEnabled(false);
        markAsRunControl(action);
        addAction(action);
        markAsRunControl(widgetForAction(action));
    }

    m_speed->setObjectName(QStringLiteral("runSpeed"));
    m_speed->setToolTip(tr("Simulated time per second of wall-clock time"));
    m_speed->setFocusPolicy(Qt::NoFocus); // Space and Escape are for the run, not the list
    for (double factor : kSpeeds) {
        m_speed->addItem(QStringLiteral("%1x").arg(factor), factor);
        if (factor == kDefaultSpeed)
            m_speed->setCurrentIndex(m_speed->count() - 1);
    }
    markAsRunControl(m_speed);
    addWidget(m_speed);

    m_time->setObjectName(QStringLiteral("runTime"));
    m_time->setToolTip(tr("Simulated time of the run"));
    m_time->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    m_time->setMinimumWidth(m_time->fontMetrics().horizontalAdvance(QStringLiteral("00000.00 s")));
    m_time->setContentsMargins(6, 0, 6, 0);
    addWidget(m_time);
    showTime(0);

    connect(m_stop, &QAction::triggered, this, [this] {
        if (m_simulator)
            m_simulator->requestStop();
    });
    connect(m_pause, &QAction::toggled, this, [this](bool paused) {
        if (m_simulator)
            m_simulator->setPaused(paused);
        showPaused(paused);
    });
    connect(m_speed, QOverload<int>::of(&QComboBox::currentIndexChanged), this, [this] {
        const double factor = speed();
        if (m_simulator)
            m_simulator->setSpeed(factor);
        emit speedChanged(factor);
    });
}

double KSRunToolBar::speed() const {
    const QVariant factor = m_speed->currentData();
    return factor.isValid() ? factor.toDouble() : kDefaultSpeed;
}

void KSRunToolBar::runStarted(kestrin::Simulator* simulator) {
    m_simulator = simulator;
    m_pause->setChecked(false);
    m_stop->setShortcut(m_stop->property("shortcutWhilePlaying").value<QKeySequence>());
    m_pause->setShortcut(m_pause->property("shortcutWhilePlaying").value<QKeySequence>());
    m_stop->setEnabled(true);
    m_pause->setEnabled(true);
    showTime(0);
}

void KSRunToolBar::runStepped(const kestrin::Simulator& simulator) {
    showTime(simulator.simulatedSeconds());
}

void KSRunToolBar::runEnded(const kestrin::Simulator& simulator) {
    m_simulator = nullptr;
    m_stop->setEnabled(false);
    m_pause->setEnabled(false);
    m_stop->setShortcut(QKeySequence());
    m_pause->setShortcut(QKeySequence());
    m_pause->setChecked(false);
    showTime(simulator.lastSimulatedSeconds());
}

void KSRunToolBar::showTime(double seconds) {
    const QString text = QStringLiteral("%1 s").arg(seconds, 0, 'f', 2);
    if (m_time->text() != text)
        m_time->setText(text);
}

void KSRunToolBar::showPaused(bool paused) {
    m_pause->setText(paused ? tr("Resume") : tr("Pause"));
}
