#pragma once

#include <QToolBar>

class QAction;
class QComboBox;
class QLabel;

namespace kestrin {
class Simulator;
}

/// The Run toolbar ("runToolBar"): controls for the run playing in the viewer.
/// - Stop ("actionStopRun", Escape) ends the run; it counts as stopped, not faulted.
/// - Pause ("actionPauseRun", Space; checkable, reads "Resume" while paused) holds simulated time
///   still while the window goes on drawing; unchecking it goes on with the run.
/// - The speed ("runSpeed", 0.25x to 10x, 1x to start with) applies at once to the run playing
///   and to the runs after it.
/// - The simulated time ("runTime") follows the run, and shows where the last one ended.
/// Stop and Pause are enabled, and have their keys, only while a run plays: outside runs Escape
/// and Space belong to the other widgets. The controls are marked as run controls, so that they
/// take the mouse and their keys while the simulator swallows all other input.
class KSRunToolBar : public QToolBar {
    Q_OBJECT
public:
    explicit KSRunToolBar(QWidget* parent = nullptr);

    QAction* stopAction() const { return m_stop; }
    QAction* pauseAction() const { return m_pause; }
    /// Simulated seconds per wall-clock second chosen (default 1).
    double speed() const;

    // Following a run: the content handler's run hooks call these.
    void runStarted(kestrin::Simulator* simulator);
    void runStepped(const kestrin::Simulator& simulator);
    void runEnded(const kestrin::Simulator& simulator);
    /// Another project came: the time of the last run was not its own.
    void forgetLastRun() { showTime(0); }

signals:
    /// The user chose another speed.
    void speedChanged(double factor);

private:
    void showTime(double seconds);
    void showPaused(bool paused);

    QAction* m_stop;
    QAction* m_pause;
    QComboBox* m_speed;
    QLabel* m_time;
    kestrin::Simulator* m_simulator = nullptr;
};
