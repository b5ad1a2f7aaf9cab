#pragma once
// The local simulator: runs one program of a project and, when it has a viewer, plays the motion
// there in real time.

#include <kestrin/program_runner.h>

#include <QElapsedTimer>
#include <QString>
#include <functional>
#include <memory>

namespace kestrin {

class Behavior;
class Project;
class Type;
class WorkspaceViewer;

class Simulator {
public:
    /// `viewer` may be nullptr: the run then goes as fast as it can, without animation.
    Simulator(Project* project, WorkspaceViewer* viewer);
    ~Simulator();

    static const Type& staticType();

    /// Dynamic property (bool) that marks the run controls: while a run plays in the viewer, a
    /// widget with it set (and whatever lies inside it, such as a combo box's list) still takes
    /// the mouse, and an enabled action with it set is triggered by its shortcut keys. All other
    /// user input is swallowed, so that nothing changes the cell under the run.
    static constexpr const char* kRunControlProperty = "kestrinRunControl";

    /// Runs the program of that name. True when it completed; false when it faulted (the reason
    /// in lastReason() and in the application log) or was stopped. While the viewer animates,
    /// user input other than Escape and the run controls' is ignored; Escape stops the run.
    /// Closing the window or Ctrl+Q stops it the same way and sets quitRequested().
    bool runProgram(const QString& name);

    QString lastReason() const { return m_outcome.reason; }
    /// What the last run came to; empty while a run plays and after a run that an observer's
    /// exception broke off.
    const RunOutcome& lastOutcome() const { return m_outcome; }
    /// True when the last run was stopped because the user closed the window or asked to quit
    /// (Ctrl+Q) while it played; the caller should quit once the run is over.
    bool quitRequested() const { return m_quitRequested; }
    double lastSimulatedSeconds() const { return m_simulated; }

    // --- Run controls -------------------------------------------------------------------------
    // Callable while runProgram plays, from slots that run inside its event processing.

    /// True while runProgram is on.
    bool isRunning() const { return m_running; }
    /// Simulated seconds of the run playing so far; after a run, where it ended.
    double simulatedSeconds() const { return m_simulated; }
    /// Ends the run playing after the step in progress; it counts as stopped by the user. No
    /// effect when no run plays.
    void requestStop();
    /// A paused run plays no simulated time while the window goes on drawing and answering;
    /// it goes on from where it was when resumed. Only a run played in the viewer pauses, and
    /// each run starts unpaused.
    void setPaused(bool paused);
    bool isPaused() const { return m_paused; }
    /// Simulated seconds per wall-clock second while animating (default 1); a change applies
    /// from the moment it is made, also to the run playing. Throws ValueError unless positive.
    void setSpeed(double factor);
    double speed() const { return m_speed; }

    /// Seed of the random draws (distributions, task regions) of the next run.
    void setSeed(quint64 seed) { m_seed = seed; }
    /// Called with the simulated time after every step of a run (progress displays, tests). What
    /// it throws ends the run and reaches the caller of runProgram.
    void setStepObserver(std::function<void(double)> observer) { m_observer = std::move(observer); }
    const std::function<void(double)>& stepObserver() const { return m_observer; }
    /// Called as each behavior of the program starts, composites before their children. What it
    /// throws ends the run and reaches the caller of runProgram.
    void setBehaviorObserver(std::function<void(const Behavior*)> observer) {
        m_behaviorObserver = std::move(observer);
    }
    const std::function<void(const Behavior*)>& behaviorObserver() const { return m_behaviorObserver; }

private:
    /// Simulated seconds the wall clock allows the run to have reached by now.
    double playable() const;
    /// Starts counting playable time afresh from here (on a change of speed or pause).
    void rebase();

    Project* m_project;
    WorkspaceViewer* m_viewer;
    RunOutcome m_outcome;
    double m_simulated = 0;
    quint64 m_seed = 1;
    double m_speed = 1.0;
    bool m_quitRequested = false;
    bool m_running = false;
    bool m_stopRequested = false;
    bool m_paused = false;
    // Pacing: playable time is m_basePlayable plus the wall time since m_baseWallMs at m_speed.
    QElapsedTimer m_wall;
    double m_basePlayable = 0;
    qint64 m_baseWallMs = 0;
    std::function<void(double)> m_observer;
    std::function<void(const Behavior*)> m_behaviorObserver;
};

} // namespace kestrin
