#pragma once
// The local simulator: runs one program of a project and, when it has a viewer, plays the motion
// there in real time.

#include <QString>
#include <functional>
#include <memory>

namespace kestrin {

class Project;
class Type;
class WorkspaceViewer;

class Simulator {
public:
    /// `viewer` may be nullptr: the run then goes as fast as it can, without animation.
    Simulator(Project* project, WorkspaceViewer* viewer);
    ~Simulator();

    static const Type& staticType();

    /// Runs the program of that name. True when it completed; false when it faulted, with the
    /// reason in lastReason() and in the application log. While the viewer animates, user input
    /// other than Escape is ignored; Escape stops the run, which then counts as faulted. Closing
    /// the window or Ctrl+Q stops it the same way and sets quitRequested().
    bool runProgram(const QString& name);

    QString lastReason() const { return m_reason; }
    /// True when the last run was stopped because the user closed the window or asked to quit
    /// (Ctrl+Q) while it played; the caller should quit once the run is over.
    bool quitRequested() const { return m_quitRequested; }
    double lastSimulatedSeconds() const { return m_simulated; }

    /// Seed of the random draws (distributions, task regions) of the next run.
    void setSeed(quint64 seed) { m_seed = seed; }
    /// Simulated seconds per wall-clock second while animating (default 1).
    void setSpeed(double factor) { m_speed = factor; }
    /// Called with the simulated time after every step of a run (progress displays, tests). What
    /// it throws ends the run and reaches the caller of runProgram.
    void setStepObserver(std::function<void(double)> observer) { m_observer = std::move(observer); }

private:
    Project* m_project;
    WorkspaceViewer* m_viewer;
    QString m_reason;
    double m_simulated = 0;
    quint64 m_seed = 1;
    double m_speed = 1.0;
    bool m_quitRequested = false;
    std::function<void(double)> m_observer;
};

} // namespace kestrin
