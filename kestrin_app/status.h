#pragma once

#include <QWidget>

class QLabel;

/// The status bar's indicator: ready, running, completed, stopped or faulted, each with a short
/// text and a colour. A faulted or stopped run carries its reason: the tooltip of the light and
/// of the text.
class KSStatusBarWidget : public QWidget {
    Q_OBJECT
public:
    enum class State { Ready, Running, Completed, Stopped, Faulted };
    Q_ENUM(State)
    explicit KSStatusBarWidget(QWidget* parent = nullptr);

    void indicateReady();
    void indicateRunningLocalSim();
    void indicateCompleted();
    /// "Faulted"; `reason` (why the run faulted) shows as the tooltip.
    void indicateFaulted(const QString& reason = QString());
    /// "Stopped": the user stopped the run; `reason` shows as the tooltip.
    void indicateStopped(const QString& reason = QString());

    State state() const { return m_state; }
    QString text() const;
    /// The reason shown with a faulted or stopped state; empty otherwise.
    QString reason() const { return m_reason; }

signals:
    void stateChanged(KSStatusBarWidget::State state);

private:
    void showState(State state, const QString& text, const QString& colour,
                   const QString& reason = QString());
    State m_state = State::Ready;
    QString m_reason;
    QLabel* m_light;
    QLabel* m_label;
};
