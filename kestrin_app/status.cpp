#include "status.h"

#include <QHBoxLayout>
#include <QLabel>

namespace {
constexpr int kLightDiameter = 12;

// Light colours: muted while idle, loud when something needs a look.
const char* const kReadyColour = "#8fb38f";
const char* const kRunningColour = "#ffb300";
const char* const kCompletedColour = "#2e9d3a";
const char* const kStoppedColour = "#607d8b";
const char* const kFaultedColour = "#d32f2f";
} // namespace

KSStatusBarWidget::KSStatusBarWidget(QWidget* parent)
    : QWidget(parent), m_light(new QLabel(this)), m_label(new QLabel(this)) {
    qRegisterMetaType<KSStatusBarWidget::State>(); // for queued connections and signal spies
    setObjectName(QStringLiteral("statusIndicator"));
    m_light->setObjectName(QStringLiteral("statusLight"));
    m_label->setObjectName(QStringLiteral("statusText"));
    m_light->setFixedSize(kLightDiameter, kLightDiameter);

    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(4, 0, 4, 0);
    layout->setSpacing(6);
    layout->addWidget(m_light);
    layout->addWidget(m_label);

    showState(State::Ready, tr("Ready"), QString::fromLatin1(kReadyColour));
}

void KSStatusBarWidget::indicateReady() {
    showState(State::Ready, tr("Ready"), QString::fromLatin1(kReadyColour));
}

void KSStatusBarWidget::indicateRunningLocalSim() {
    showState(State::Running, tr("Running local simulation"), QString::fromLatin1(kRunningColour));
}

void KSStatusBarWidget::indicateCompleted() {
    showState(State::Completed, tr("Completed"), QString::fromLatin1(kCompletedColour));
}

void KSStatusBarWidget::indicateFaulted(const QString& reason) {
    showState(State::Faulted, tr("Faulted"), QString::fromLatin1(kFaultedColour), reason);
}

void KSStatusBarWidget::indicateStopped(const QString& reason) {
    showState(State::Stopped, tr("Stopped"), QString::fromLatin1(kStoppedColour), reason);
}

QString KSStatusBarWidget::text() const {
    return m_label->text();
}

void KSStatusBarWidget::showState(State state, const QString& text, const QString& colour,
                                  const QString& reason) {
    const bool changed = state != m_state;
    m_state = state;
    m_reason = reason;
    m_label->setText(text);
    const QString tip = reason.isEmpty() ? text : reason;
    setToolTip(reason);
    m_light->setToolTip(tip);
    m_label->setToolTip(reason);
    m_light->setStyleSheet(
        QStringLiteral("background-color: %1; border: 1px solid #606060; border-radius: %2px;")
            .arg(colour)
            .arg(kLightDiameter / 2));
    if (changed)
        emit stateChanged(state);
}
