#pragma once

#include <QWidget>

class QLabel;

/// The status bar's indicator: ready, running, completed or faulted, each with a short text and
/// a colour.
class KSStatusBarWidget : public QWidget {
    Q_OBJECT
public:
    enum class State { Ready, Running, Completed, Faulted };
    Q_ENUM(State)
    explicit KSStatusBarWidget(QWidget* parent = nullptr);

    void indicateReady();
    void indicateRunningLocalSim();
    void indicateCompleted();
    void indicateFaulted();

    State state() const { return m_state; }
    QString text() const;

signals:
    void stateChanged(KSStatusBarWidget::State state);

private:
    void showState(State state, const QString& text, const QString& colour);
    State m_state = State::Ready;
    QLabel* m_light;
    QLabel* m_label;
};
