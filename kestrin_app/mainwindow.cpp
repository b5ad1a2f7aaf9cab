#include "mainwindow.h"

#include "container.h"
#include "content.h"
#include "editor/tree.h"
#include "log_panel.h"
#include "status.h"

#include <kestrin/action.h>
#include <kestrin/behavior.h>
#include <kestrin/variable.h>

#include <QAction>
#include <QCloseEvent>
#include <QDockWidget>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QStatusBar>
#include <QToolBar>

namespace {

struct TypeEntry {
    QString typeName;
    QString label;
};

QString notAvailableTip() { return KSMainWindow::tr("Not available yet"); }

} // namespace

KSMainWindow::KSMainWindow(QWidget* parent)
    : QMainWindow(parent), m_container(new KSProjectContainer(this)), m_tree(nullptr), m_status(nullptr),
      m_logPanel(nullptr) {
    setObjectName(QStringLiteral("mainWindow"));
    setWindowTitle(tr("Kestrin Studio"));
    resize(1280, 860);
    setCentralWidget(m_container);

    // The log panel first, so that it shows what the handler logs while it sets up.
    auto* logDock = new QDockWidget(tr("Log"), this);
    logDock->setObjectName(QStringLiteral("logDock"));
    m_logPanel = new KSLogPanel(logDock);
    logDock->setWidget(m_logPanel);
    addDockWidget(Qt::BottomDockWidgetArea, logDock);

    auto* treeDock = new QDockWidget(tr("Project"), this);
    treeDock->setObjectName(QStringLiteral("projectDock"));
    m_tree = new KSProjectTree(m_container, treeDock);
    treeDock->setWidget(m_tree);
    addDockWidget(Qt::LeftDockWidgetArea, treeDock);
    resizeDocks({treeDock}, {300}, Qt::Horizontal);
    resizeDocks({logDock}, {160}, Qt::Vertical);

    m_status = new KSStatusBarWidget(this);
    statusBar()->setObjectName(QStringLiteral("statusBar"));
    statusBar()->addPermanentWidget(m_status);

    m_handler = std::make_unique<kestrin_app::content::KSContentHandler>(this, m_container, m_tree, m_status);
    createActions();
}

// The handler refers to the widgets; it goes before they do.
KSMainWindow::~KSMainWindow() { m_handler.reset(); }

void KSMainWindow::closeEvent(QCloseEvent* event) { event->accept(); }

// Every action the window offers, in menu order. Wiring is separate (operations), so that an
// action is enabled by giving it an operation there.
std::vector<KSMainWindow::ActionSpec> KSMainWindow::actionLayout() {
    const QString file = tr("&File"), add = tr("&Add"), view = tr("&View"), cell = tr("&Cell"), run = tr("&Run"),
                  help = tr("&Help");
    std::vector<ActionSpec> specs = {
        {file, "actionNewProject", tr("&New Project"), QKeySequence(Qt::CTRL | Qt::Key_N),
         tr("Start a new, empty project"), true},
        {file, "actionOpenProject", tr("&Open…"), QKeySequence(Qt::CTRL | Qt::Key_O), tr("Open a project file"), true},
        {file, "actionNewFromTemplate", tr("New from &Template…"), {}, tr("Start a project from a template")},
        {file, "actionSaveProject", tr("&Save"), QKeySequence(Qt::CTRL | Qt::Key_S), tr("Save the project"), true,
         true},
        {file, "actionSaveProjectAs", tr("Save &As…"), QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_S),
         tr("Save the project under a new name")},
        {file, "actionQuit", tr("&Quit"), QKeySequence(Qt::CTRL | Qt::Key_Q), tr("Quit Kestrin Studio"), false,
         true},
    };

    auto addKinds = [&specs, &add](const QString& submenu, const QString& prefix, const std::vector<TypeEntry>& kinds,
                                   const QString& tipPattern) {
        for (const TypeEntry& kind : kinds)
            specs.push_back({add + QLatin1Char('/') + submenu, prefix + kind.typeName, kind.label, {},
                             tipPattern.arg(kind.label)});
    };
    auto typeEntry = [](const kestrin::Type& type, const QString& label) { return TypeEntry{type.name(), label}; };

    addKinds(tr("&Robot"), "actionAddRobot_",
             {{"FrankaPandaRobot", tr("Franka Panda")},
              {"UR3eRobot", tr("UR3e")},
              {"UR5eRobot", tr("UR5e")},
              {"UR10eRobot", tr("UR10e")}},
             tr("Add a %1 robot to the cell"));
    addKinds(tr("&Effector"), "actionAddEffector_",
             {{"RobotiqGripper2F85", tr("Robotiq 2F-85")}, {"FrankaHand", tr("Franka Hand")}},
             tr("Add a %1 gripper to the cell"));
    specs.push_back({add, "actionAddToolFrame", tr("&Tool Frame…"), {}, tr("Add a tool frame to a robot")});
    addKinds(tr("&Item"), "actionAddItem_", {{"CustomItem", tr("Custom Item")}, {"Desk", tr("Desk")}},
             tr("Add a %1 to the cell"));
    specs.push_back({add, "actionAddTaskRegion", tr("Task Re&gion…"), {}, tr("Add a task region to the cell")});
    addKinds(tr("&Camera"), "actionAddCamera_",
             {{"RealsenseD435i", tr("RealSense D435i")}, {"RealsenseD405", tr("RealSense D405")}},
             tr("Add a %1 camera to the cell"));
    addKinds(tr("&Fiducial"), "actionAddFiducial_", {{"VisualMarker", tr("Visual Marker")}},
             tr("Add a %1 to the cell"));
    addKinds(tr("&Behavior"), "actionAddBehavior_",
             {typeEntry(kestrin::Sequence::staticType(), tr("Sequence")),
              typeEntry(kestrin::MoveToJointTarget::staticType(), tr("Move to Joint Target")),
              typeEntry(kestrin::MoveToTaskRegion::staticType(), tr("Move to Task Region")),
              typeEntry(kestrin::Wait::staticType(), tr("Wait"))},
             tr("Add a %1 behavior to the programs"));
    addKinds(tr("&Variable"), "actionAddVariable_",
             {typeEntry(kestrin::MotionLimits::staticType(), tr("Motion Limits")),
              typeEntry(kestrin::JointPositionTarget::staticType(), tr("Joint Position Target")),
              typeEntry(kestrin::TaskRegionTarget::staticType(), tr("Task Region Target")),
              typeEntry(kestrin::MixtureTarget::staticType(), tr("Mixture Target"))},
             tr("Add a %1 variable"));

    specs.insert(specs.end(), {
        {view, "actionCameraMode", tr("&Camera Mode"), {}, tr("Orbit, pan and zoom the view with the mouse"), true,
         true},
        {view, "actionTeleoperationMode", tr("&Teleoperation Mode…"), {}, tr("Move a robot's tool frame by hand"),
         true},
        {view, "actionResetCamera", tr("&Reset Camera"), {}, tr("Show the whole cell"), true},
        {view, "actionScreenshot", tr("&Screenshot…"), {}, tr("Save a picture of the view"), true},
        {cell, "actionRecordRespawnState", tr("&Record Respawn State"), {},
         tr("Remember the robots' joint positions and the objects' poses"), true, true},
        {cell, "actionResetToRespawnState", tr("Re&set to Respawn State"), {},
         tr("Put the cell back to the recorded respawn state"), true},
        {run, "actionRunLocalSimulation", tr("Run &Local Simulation…"), QKeySequence(Qt::Key_F5),
         tr("Run a program in the local simulator"), true, true},
        {help, "actionAbout", tr("&About Kestrin Studio"), {}, tr("Version and credits")},
    });
    return specs;
}

// What each action does. An action without an entry here is shown disabled.
QHash<QString, std::function<void()>> KSMainWindow::operations() {
    auto* handler = m_handler.get();
    return {
        {QStringLiteral("actionQuit"), [this] { close(); }},
        {QStringLiteral("actionRecordRespawnState"), [handler] { handler->recordRespawnState(); }},
        {QStringLiteral("actionResetToRespawnState"), [handler] { handler->resetState(); }},
        {QStringLiteral("actionAbout"), [this] { showAbout(); }},
    };
}

void KSMainWindow::createActions() {
    const QHash<QString, std::function<void()>> wired = operations();

    auto* toolbar = addToolBar(tr("Main"));
    toolbar->setObjectName(QStringLiteral("mainToolBar"));
    toolbar->setToolButtonStyle(Qt::ToolButtonTextOnly);

    QHash<QString, QMenu*> menus;
    auto menuFor = [this, &menus](const QString& path) {
        QMenu* menu = nullptr;
        QString sofar;
        for (const QString& title : path.split(QLatin1Char('/'))) {
            sofar = sofar.isEmpty() ? title : sofar + QLatin1Char('/') + title;
            QMenu*& slot = menus[sofar];
            if (!slot) {
                slot = menu ? menu->addMenu(title) : menuBar()->addMenu(title);
                QString plain = title;
                slot->setObjectName(QStringLiteral("menu") + plain.remove(QLatin1Char('&')).remove(QLatin1Char(' ')));
            }
            menu = slot;
        }
        return menu;
    };

    QString lastToolbarMenu;
    for (const ActionSpec& spec : actionLayout()) {
        QMenu* menu = menuFor(spec.menu);
        if (spec.separatorBefore && !menu->isEmpty())
            menu->addSeparator();
        auto* action = menu->addAction(spec.text);
        action->setObjectName(spec.name);
        action->setShortcut(spec.shortcut);
        if (const auto op = wired.value(spec.name)) {
            action->setStatusTip(spec.tip);
            connect(action, &QAction::triggered, this, [op] { op(); });
        } else {
            action->setStatusTip(notAvailableTip());
            action->setEnabled(false);
        }
        if (spec.toolbar) {
            const QString topMenu = spec.menu.section(QLatin1Char('/'), 0, 0);
            if (!lastToolbarMenu.isEmpty() && topMenu != lastToolbarMenu)
                toolbar->addSeparator();
            lastToolbarMenu = topMenu;
            toolbar->addAction(action);
        }
        m_actions.insert(spec.name, action);
    }
}

void KSMainWindow::showAbout() {
    QMessageBox::about(this, tr("About Kestrin Studio"),
                       tr("<p><b>Kestrin Studio</b> %1</p><p>Set up and program robot work cells: build the cell, "
                          "write programs as behavior trees and try them in the local simulator.</p>")
                           .arg(QStringLiteral(KESTRIN_VERSION)));
}
