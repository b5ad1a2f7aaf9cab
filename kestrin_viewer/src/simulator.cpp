#include <kestrin_viewer/simulator.h>

#include <kestrin_viewer/workspace_viewer.h>

#include <kestrin/error.h>
#include <kestrin/program_runner.h>
#include <kestrin/type.h>

#include <QAction>
#include <QApplication>
#include <QKeyEvent>
#include <QLoggingCategory>
#include <QPointer>
#include <QThread>
#include <QWidget>

#include <cmath>

// The simulator reports to the application log.
Q_LOGGING_CATEGORY(lcSimulator, "kestrin.app", QtInfoMsg)

namespace kestrin {

namespace {

/// True for a run control (see Simulator::kRunControlProperty), or a widget inside one.
bool isRunControl(const QObject* object) {
    if (!object->isWidgetType())
        return object->property(Simulator::kRunControlProperty).toBool();
    for (auto* w = static_cast<const QWidget*>(object); w; w = w->parentWidget())
        if (w->property(Simulator::kRunControlProperty).toBool())
            return true;
    return false;
}

/// The enabled run-control action that has this key as a shortcut, or nullptr.
QAction* runControlFor(const QKeyEvent* key) {
    if (!qobject_cast<QApplication*>(QCoreApplication::instance()))
        return nullptr;
    const QKeySequence pressed(key->key() | int(key->modifiers() & ~Qt::KeypadModifier));
    for (QWidget* window : QApplication::topLevelWidgets())
        for (QAction* action : window->findChildren<QAction*>())
            if (action->isEnabled() && action->property(Simulator::kRunControlProperty).toBool() &&
                action->shortcuts().contains(pressed))
                return action;
    return nullptr;
}

/// True while a run control's popup (the list of a combo box) is open: it has the keyboard.
bool runControlPopupIsOpen() {
    if (!qobject_cast<QApplication*>(QCoreApplication::instance()))
        return false;
    const QWidget* popup = QApplication::activePopupWidget();
    return popup && isRunControl(popup);
}

/// While a run animates, swallows user input so that nothing changes the cell under it, except
/// for the run controls: their widgets take the mouse and their actions their shortcut keys.
/// Escape stops the run; closing a window or Ctrl+Q stops it and asks to quit. While a run
/// control's popup is open, the keyboard is the popup's.
///
/// Every key press is taken here: shortcut overrides are swallowed too, so that Qt never turns a
/// key into a shortcut of its own during a run (Ctrl+Q would quit under the run).
class RunInputFilter : public QObject {
public:
    explicit RunInputFilter(Simulator& simulator) : m_simulator(simulator) {}
    bool quitRequested = false;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        switch (event->type()) {
        case QEvent::KeyPress: {
            if (runControlPopupIsOpen())
                return false; // Escape closes the list, arrows and Return choose: the run goes on
            const auto* key = static_cast<QKeyEvent*>(event);
            if (QAction* control = runControlFor(key)) {
                if (!key->isAutoRepeat()) // holding Space down must not flicker between pause and play
                    control->trigger();
                return true;
            }
            if (key->key() == Qt::Key_Escape)
                m_simulator.requestStop();
            if (key->matches(QKeySequence::Quit) ||
                (key->key() == Qt::Key_Q && key->modifiers() == Qt::ControlModifier)) {
                m_simulator.requestStop();
                quitRequested = true;
            }
            return true;
        }
        case QEvent::Close:
            // Closing the window (or the program) during a run stops the run; the window stays
            // until the run is over, and the caller then closes it as usual, with its offer to
            // save. Popups and tooltips close as ever.
            if (watched->isWidgetType()) {
                auto* widget = static_cast<QWidget*>(watched);
                const Qt::WindowType type = widget->windowType();
                if (widget->isWindow() && (type == Qt::Window || type == Qt::Dialog)) {
                    m_simulator.requestStop();
                    quitRequested = true;
                    event->ignore();
                    return true;
                }
            }
            return false;
        case QEvent::Shortcut:
            return !isRunControl(watched);
        case QEvent::MouseButtonPress:
        case QEvent::MouseButtonRelease:
        case QEvent::MouseButtonDblClick:
        case QEvent::MouseMove:
        case QEvent::Wheel:
        case QEvent::ContextMenu:
            // A window hands the mouse on to the widget under it, which is where it is decided.
            if (!watched->isWidgetType())
                return false;
            return !isRunControl(watched);
        case QEvent::KeyRelease:
            return !runControlPopupIsOpen();
        case QEvent::ShortcutOverride:
        case QEvent::TouchBegin:
        case QEvent::TouchUpdate:
        case QEvent::TouchEnd:
        case QEvent::Drop:
            return true;
        default:
            return QObject::eventFilter(watched, event);
        }
    }

private:
    Simulator& m_simulator;
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

void Simulator::requestStop() {
    if (m_running)
        m_stopRequested = true;
}

double Simulator::playable() const {
    if (m_paused || !m_wall.isValid())
        return m_basePlayable;
    return m_basePlayable + double(m_wall.elapsed() - m_baseWallMs) / 1000.0 * m_speed;
}

void Simulator::rebase() {
    if (!m_wall.isValid())
        return;
    // A run that fell behind the clock (frames slower than the speed asks for) is not made to
    // catch up after a pause or a new speed: it goes on from where it is.
    m_basePlayable = std::min(playable(), m_simulated);
    m_baseWallMs = m_wall.elapsed();
}

void Simulator::setPaused(bool paused) {
    if (paused == m_paused)
        return;
    rebase();
    m_paused = paused;
}

void Simulator::setSpeed(double factor) {
    if (!(factor > 0) || !std::isfinite(factor))
        throw ValueError(
            QStringLiteral("The simulation speed must be a positive factor, not %1.").arg(factor));
    rebase();
    m_speed = factor;
}

bool Simulator::runProgram(const QString& name) {
    // Jog keys pressed just before the run are a step of their own, not one with the run.
    if (m_viewer)
        m_viewer->endTeleoperationBurst();
    ProgramRunner runner(m_project, m_seed);
    RunInputFilter filter(*this);
    QElapsedTimer sinceFrame; // a run played faster than the view can draw drops frames
    QPointer<WorkspaceViewer> viewer(m_viewer);
    QCoreApplication* app = QCoreApplication::instance();

    // Whatever way the run ends, input goes back to the window and the controls go idle.
    struct RunScope {
        Simulator& s;
        RunInputFilter& filter;
        QCoreApplication* app;
        ~RunScope() {
            if (app)
                app->removeEventFilter(&filter);
            s.m_running = false;
            s.m_paused = false;
            s.m_stopRequested = false;
            s.m_quitRequested = filter.quitRequested;
            s.m_wall.invalidate();
        }
    };
    if (viewer && app)
        app->installEventFilter(&filter);
    RunScope scope{*this, filter, viewer ? app : nullptr};
    m_running = true;
    m_outcome = RunOutcome{};
    m_paused = false;
    m_stopRequested = false;
    m_quitRequested = false;
    m_simulated = 0;
    m_basePlayable = 0;
    m_baseWallMs = 0;
    m_wall.start();

    runner.setBehaviorCallback([this](const Behavior* behavior) {
        if (m_behaviorObserver)
            m_behaviorObserver(behavior);
    });
    if (viewer || m_observer) {
        runner.setStepCallback([&](double simulated) {
            m_simulated = simulated;
            if (m_observer)
                m_observer(simulated);
            if (m_stopRequested)
                return false;
            if (!viewer)
                return !m_viewer; // the viewer went away during the run
            if (!sinceFrame.isValid() || sinceFrame.elapsed() >= kMinFrameMs) {
                viewer->rebuild();
                viewer->render();
                sinceFrame.start();
            }
            // Keep pace with the wall clock, staying responsive to Escape, the run controls and
            // repaints. A paused run waits here.
            do {
                QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
                if (m_stopRequested)
                    return false;
                if (playable() < simulated)
                    QThread::msleep(m_paused ? 5 : 1);
            } while (playable() < simulated);
            return true;
        });
    }
    qCInfo(lcSimulator, "Running program '%s'", qUtf8Printable(name));
    const RunOutcome outcome = runner.run(name);
    m_outcome = outcome;
    m_simulated = outcome.simulatedSeconds;
    if (viewer) {
        viewer->rebuild();
        viewer->render();
    }
    if (outcome.completed)
        qCInfo(lcSimulator, "Program '%s' completed after %.2f s of simulated time", qUtf8Printable(name),
               outcome.simulatedSeconds);
    else if (outcome.stopped)
        qCInfo(lcSimulator, "Program '%s' stopped after %.2f s of simulated time", qUtf8Printable(name),
               outcome.simulatedSeconds);
    else
        qCCritical(lcSimulator, "Program '%s' faulted after %.2f s: %s", qUtf8Printable(name),
                   outcome.simulatedSeconds, qUtf8Printable(outcome.reason));
    return outcome.completed;
}

} // namespace kestrin
