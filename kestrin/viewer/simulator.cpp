#include "simulator.h"

#include "workspace_viewer.h"

#include <kestrin/error.h>
#include <kestrin/program_runner.h>
#include <kestrin/type.h>

#include <QCoreApplication>
#include <QWidget>
#include <QElapsedTimer>
#include <QKeyEvent>
#include <QLoggingCategory>
#include <QPointer>
#include <QThread>

// The simulator reports to the application log.
Q_LOGGING_CATEGORY(lcSimulator, "kestrin.app", QtInfoMsg)

namespace kestrin {

namespace {

/// While a run animates, swallows user input so that nothing changes the cell under it; Escape
/// asks the run to stop.
class RunInputFilter : public QObject {
public:
    bool stopRequested = false;
    bool quitRequested = false;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        switch (event->type()) {
        case QEvent::KeyPress: {
            const auto* key = static_cast<QKeyEvent*>(event);
            if (key->key() == Qt::Key_Escape)
                stopRequested = true;
            if (key->matches(QKeySequence::Quit) ||
                (key->key() == Qt::Key_Q && key->modifiers() == Qt::ControlModifier))
                stopRequested = quitRequested = true;
            return true;
        }
        case QEvent::Close:
            // Closing a window (or the program) during a run stops the run; the caller then
            // quits as usual, once the cell is back in a state it can offer to save.
            if (watched->isWidgetType() && static_cast<QWidget*>(watched)->isWindow())
                stopRequested = quitRequested = true;
            return true;
        case QEvent::KeyRelease:
        case QEvent::ShortcutOverride:
        case QEvent::Shortcut:
        case QEvent::MouseButtonPress:
        case QEvent::MouseButtonRelease:
        case QEvent::MouseButtonDblClick:
        case QEvent::MouseMove:
        case QEvent::Wheel:
        case QEvent::TouchBegin:
        case QEvent::TouchUpdate:
        case QEvent::TouchEnd:
        case QEvent::ContextMenu:
        case QEvent::Drop:
            return true;
        default:
            return QObject::eventFilter(watched, event);
        }
    }
};

} // namespace

const Type& Simulator::staticType() {
    static const Type t("Simulator", nullptr);
    return t;
}

Simulator::Simulator(Project* project, WorkspaceViewer* viewer) : m_project(project), m_viewer(viewer) {
    if (!project)
        throw ValueError(QStringLiteral("The simulator needs a project to run."));
}

Simulator::~Simulator() = default;

namespace {
/// Shortest wall-clock time between two drawn frames of a run (about 60 frames a second).
constexpr qint64 kMinFrameMs = 15;
} // namespace

bool Simulator::runProgram(const QString& name) {
    ProgramRunner runner(m_project, m_seed);
    RunInputFilter filter;
    QElapsedTimer clock;
    QElapsedTimer sinceFrame; // a run played faster than the view can draw drops frames
    QPointer<WorkspaceViewer> viewer(m_viewer);
    QCoreApplication* app = QCoreApplication::instance();
    if (viewer && app)
        app->installEventFilter(&filter);
    clock.start();
    if (viewer || m_observer) {
        runner.setStepCallback([&](double simulated) {
            if (m_observer)
                m_observer(simulated);
            if (!viewer)
                return !m_viewer; // the viewer went away during the run
            if (!sinceFrame.isValid() || sinceFrame.elapsed() >= kMinFrameMs) {
                viewer->rebuild();
                viewer->render();
                sinceFrame.start();
            }
            // Keep pace with the wall clock, staying responsive to Escape and repaints.
            do {
                QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
                if (filter.stopRequested)
                    return false;
                if (clock.elapsed() / 1000.0 * m_speed < simulated)
                    QThread::msleep(1);
            } while (clock.elapsed() / 1000.0 * m_speed < simulated);
            return true;
        });
    }
    qCInfo(lcSimulator, "Running program '%s'", qUtf8Printable(name));
    RunOutcome outcome;
    try {
        outcome = runner.run(name);
    } catch (...) {
        if (app)
            app->removeEventFilter(&filter);
        m_quitRequested = filter.quitRequested;
        throw;
    }
    if (app)
        app->removeEventFilter(&filter);
    m_quitRequested = filter.quitRequested;
    if (viewer) {
        viewer->rebuild();
        viewer->render();
    }
    m_reason = outcome.reason;
    m_simulated = outcome.simulatedSeconds;
    if (outcome.completed)
        qCInfo(lcSimulator, "Program '%s' completed after %.2f s of simulated time", qUtf8Printable(name),
               outcome.simulatedSeconds);
    else
        qCCritical(lcSimulator, "Program '%s' faulted after %.2f s: %s", qUtf8Printable(name), outcome.simulatedSeconds,
                   qUtf8Printable(outcome.reason));
    return outcome.completed;
}

} // namespace kestrin
