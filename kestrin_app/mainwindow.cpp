#include "mainwindow.h"

#include "container.h"
#include "content.h"
#include "editor/edit_operations.h"
#include "editor/property_panel.h"
#include "editor/selection_link.h"
#include "editor/tree.h"
#include "log_panel.h"
#include "recovery.h"
#include "run_toolbar.h"
#include "shell_help.h"
#include "status.h"
#include "teleoperation_steps.h"
#include "toolbar_look.h"
#include "trials_panel.h"

#include <kestrin/action.h>
#include <kestrin/behavior.h>
#include <kestrin/variable.h>

#include "exception.h"
#include "log.h"

#include <kestrin/constants.h>
#include <kestrin/error.h>
#include <kestrin/project.h>
#include <kestrin/undo_history.h>
#include <kestrin_viewer/workspace_viewer.h>

#include <QAction>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QDir>
#include <QDockWidget>
#include <QFileInfo>
#include <QGuiApplication>
#include <QInputDialog>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QScreen>
#include <QScrollArea>
#include <QSet>
#include <QSettings>
#include <QStatusBar>
#include <QToolBar>

namespace {

struct TypeEntry {
    QString typeName;
    QString label;
};

QString notAvailableTip() {
    return KSMainWindow::tr("Not available yet");
}

} // namespace

KSMainWindow::KSMainWindow(QWidget* parent)
    : QMainWindow(parent), m_container(new KSProjectContainer(this)), m_tree(nullptr), m_status(nullptr),
      m_logPanel(nullptr) {
    setObjectName(QStringLiteral("mainWindow"));
    setWindowTitle(tr("Kestrin Studio"));
    // As large as the screen allows, up to what the panels and the view need side by side.
    QSize size(1280, 860);
    if (const QScreen* screen = QGuiApplication::primaryScreen())
        size = size.boundedTo(screen->availableGeometry().size());
    resize(size);
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
    resizeDocks({treeDock}, {340}, Qt::Horizontal);
    resizeDocks({logDock}, {160}, Qt::Vertical);

    m_status = new KSStatusBarWidget(this);
    statusBar()->setObjectName(QStringLiteral("statusBar"));
    statusBar()->addPermanentWidget(m_status);

    m_handler = std::make_unique<kestrin_app::content::KSContentHandler>(this, m_container, m_tree, m_status);
    m_recovery = new KSRecovery(m_handler.get(), this);

    // The property panel edits what the tree selects; the view and the tree select together.
    auto* propertyPanelDock = new QDockWidget(tr("Properties"), this);
    propertyPanelDock->setObjectName(QStringLiteral("propertyPanelDock"));
    m_propertyPanel = new KSPropertyPanel(m_container, m_tree, propertyPanelDock);
    propertyPanelDock->setWidget(m_propertyPanel);
    addDockWidget(Qt::RightDockWidgetArea, propertyPanelDock);
    resizeDocks({propertyPanelDock}, {320}, Qt::Horizontal);
    m_selectionLink = new KSSelectionLink(m_tree, m_container->viewer(), this);

    auto* trialsDock = new QDockWidget(tr("Trials"), this);
    trialsDock->setObjectName(QStringLiteral("trialsDock"));
    // In a scroll area, so that its charts do not hold the log (tabbed with it) at their height.
    auto* trialsScroll = new QScrollArea(trialsDock);
    trialsScroll->setWidgetResizable(true);
    trialsScroll->setFrameShape(QFrame::NoFrame);
    m_trialsPanel = new KSTrialsPanel(m_handler.get(), trialsScroll);
    trialsScroll->setWidget(m_trialsPanel);
    trialsDock->setWidget(trialsScroll);
    addDockWidget(Qt::BottomDockWidgetArea, trialsDock);
    tabifyDockWidget(logDock, trialsDock);
    resizeDocks({logDock}, {160}, Qt::Vertical); // tabbing the trials in undoes the height set above
    logDock->raise();
    connect(m_trialsPanel, &KSTrialsPanel::started, trialsDock, [trialsDock] {
        trialsDock->show();
        trialsDock->raise();
    });

    m_editOperations = new KSEditOperations(this, m_handler.get(), m_container, m_tree, m_propertyPanel);

    createActions();
    addEditingActions();
    createRunControls();
    createPanelToggles();
    addNewcomerTips(this);
    new KSToolBarLook(this, {findChild<QToolBar*>(QStringLiteral("mainToolBar")), m_runToolBar},
                      m_actions.values());
    connect(m_container, &KSProjectContainer::projectReplaced, this, [this] {
        m_runToolBar->forgetLastRun();
        m_trialsPanel->clear();
        refreshState();
    });
    connect(m_container->viewer(), &kestrin::WorkspaceViewer::teleoperationMessage, this,
            [this](const QString& text) {
                qCWarning(lcApp, "%s", qUtf8Printable(text));
                statusBar()->showMessage(text, 5000);
            });
    refreshState();
}

// The handler refers to the widgets; it goes before they do.
KSMainWindow::~KSMainWindow() {
    // A write of the recovery file in progress reads nothing of the project, but must end first.
    delete m_recovery;
    m_recovery = nullptr;
    // Before the tree and the container they watch.
    delete m_editOperations;
    m_editOperations = nullptr;
    delete m_selectionLink;
    delete m_propertyPanel;
    delete m_trialsPanel; // waits for trials in the background to stop
    m_trialsPanel = nullptr;
    m_selectionLink = nullptr;
    m_propertyPanel = nullptr;
    if (m_watchedHistory && m_handler)
        m_handler->project()->history().setChangedCallback({});
    m_handler.reset();
}

void KSMainWindow::closeEvent(QCloseEvent* event) {
    // Closing the window is quitting: the save-first offer, and a failed save keeps it open.
    if (!m_handler->_quitting)
        m_handler->quit();
    if (m_handler->_quitting) {
        m_recovery->cleanQuit();
        event->accept();
    } else {
        event->ignore();
    }
}

// Every action the window offers, in menu order. Wiring is separate (operations), so that an
// action is enabled by giving it an operation there.
std::vector<KSMainWindow::ActionEntry> KSMainWindow::actionLayout() {
    const QString file = tr("&File"), edit = tr("&Edit"), add = tr("&Add"), view = tr("&View"),
                  cell = tr("&Cell"), run = tr("&Run"), help = tr("&Help");
    std::vector<ActionEntry> entries = {
        {file, "actionNewProject", tr("&New Project"), QKeySequence(Qt::CTRL | Qt::Key_N),
         tr("Start a new, empty project"), true},
        {file, "actionOpenProject", tr("&Open…"), QKeySequence(Qt::CTRL | Qt::Key_O),
         tr("Open a project file"), true},
        {file, "actionNewFromTemplate", tr("New from &Template…"), {}, tr("Start a project from a template")},
        {file, "actionSaveProject", tr("&Save"), QKeySequence(Qt::CTRL | Qt::Key_S), tr("Save the project"),
         true, true},
        {file, "actionSaveProjectAs", tr("Save &As…"), QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_S),
         tr("Save the project under a new name")},
        {file,
         "actionImportRobot",
         tr("&Import Robot…"),
         {},
         tr("Add a robot described in a URDF file, with its meshes"),
         false,
         true},
        {file,
         "actionAutosaveInterval",
         tr("Auto&save Interval…"),
         {},
         tr("How often unsaved work is written to a recovery file"),
         false,
         true},
        {file, "actionQuit", tr("&Quit"), QKeySequence(Qt::CTRL | Qt::Key_Q), tr("Quit Kestrin Studio"),
         false, true},
        {edit, "actionUndo", tr("&Undo"), QKeySequence(QKeySequence::Undo), tr("Take back the last change"),
         true, true},
        {edit, "actionRedo", tr("&Redo"), QKeySequence(QKeySequence::Redo),
         tr("Bring back the change taken back"), true},
        {edit, "actionDelete", tr("&Delete"), QKeySequence(QKeySequence::Delete),
         tr("Delete the selected objects, behaviors or variables"), false, true},
    };

    auto addKinds = [&entries, &add](const QString& submenu, const QString& prefix,
                                     const std::vector<TypeEntry>& kinds, const QString& tipPattern) {
        for (const TypeEntry& kind : kinds)
            entries.push_back({add + QLatin1Char('/') + submenu,
                               prefix + kind.typeName,
                               kind.label,
                               {},
                               tipPattern.arg(kind.label)});
    };
    auto typeEntry = [](const kestrin::Type& type, const QString& label) {
        return TypeEntry{type.name(), label};
    };

    addKinds(tr("&Robot"), "actionAddRobot_",
             {{"FrankaPandaRobot", tr("Franka Panda")},
              {"UR3eRobot", tr("UR3e")},
              {"UR5eRobot", tr("UR5e")},
              {"UR10eRobot", tr("UR10e")}},
             tr("Add a %1 robot to the cell"));
    addKinds(tr("&Effector"), "actionAddEffector_",
             {{"RobotiqGripper2F85", tr("Robotiq 2F-85")}, {"FrankaHand", tr("Franka Hand")}},
             tr("Add a %1 gripper to the cell"));
    entries.push_back({add, "actionAddToolFrame", tr("&Tool Frame…"), {}, tr("Add a tool frame to a robot")});
    addKinds(tr("&Item"), "actionAddItem_", {{"CustomItem", tr("Custom Item")}, {"Desk", tr("Desk")}},
             tr("Add a %1 to the cell"));
    entries.push_back({add,
                       "actionAddItemFromMesh",
                       tr("Item from &Mesh…"),
                       {},
                       tr("Add an item shaped as a mesh file: STL, OBJ, COLLADA, PLY, 3MF, glTF...")});
    entries.push_back(
        {add, "actionAddTaskRegion", tr("Task Re&gion…"), {}, tr("Add a task region to the cell")});
    addKinds(tr("&Camera"), "actionAddCamera_",
             {{"RealsenseD435i", tr("RealSense D435i")}, {"RealsenseD405", tr("RealSense D405")}},
             tr("Add a %1 camera to the cell"));
    addKinds(tr("&Fiducial"), "actionAddFiducial_", {{"VisualMarker", tr("Visual Marker")}},
             tr("Add a %1 to the cell"));
    addKinds(tr("&Behavior"), "actionAddBehavior_",
             {typeEntry(kestrin::Sequence::staticType(), tr("Sequence")),
              typeEntry(kestrin::MoveToJointTarget::staticType(), tr("Move to Joint Target")),
              typeEntry(kestrin::MoveToTaskRegion::staticType(), tr("Move to Task Region")),
              typeEntry(kestrin::Wait::staticType(), tr("Wait")),
              typeEntry(kestrin::Grasp::staticType(), tr("Grasp")),
              typeEntry(kestrin::Release::staticType(), tr("Release")),
              typeEntry(kestrin::MoveLinear::staticType(), tr("Move Linear"))},
             tr("Add a %1 behavior to the programs"));
    addKinds(tr("&Variable"), "actionAddVariable_",
             {typeEntry(kestrin::MotionLimits::staticType(), tr("Motion Limits")),
              typeEntry(kestrin::JointPositionTarget::staticType(), tr("Joint Position Target")),
              typeEntry(kestrin::TaskRegionTarget::staticType(), tr("Task Region Target")),
              typeEntry(kestrin::MixtureTarget::staticType(), tr("Mixture Target"))},
             tr("Add a %1 variable"));

    entries.insert(
        entries.end(),
        {
            {view,
             "actionCameraMode",
             tr("&Camera Mode"),
             {},
             tr("Orbit, pan and zoom the view with the mouse"),
             true,
             true},
            {view,
             "actionTeleoperationMode",
             tr("&Teleoperation Mode…"),
             {},
             tr("Move a robot's tool frame by hand"),
             true},
            {view,
             "actionTeleoperationSteps",
             tr("Teleoperation Ste&ps…"),
             {},
             tr("Set how far a jog key moves or turns the tool frame")},
            {view, "actionResetCamera", tr("&Reset Camera"), {}, tr("Show the whole cell"), true},
            {view, "actionScreenshot", tr("&Screenshot…"), {}, tr("Save a picture of the view"), true},
            {cell,
             "actionRecordRespawnState",
             tr("&Record Respawn State"),
             {},
             tr("Remember the robots' joint positions and the objects' poses"),
             true,
             true},
            {cell,
             "actionResetToRespawnState",
             tr("Re&set to Respawn State"),
             {},
             tr("Put the cell back to the recorded respawn state"),
             true},
            {cell, "actionCheckCollisions", tr("&Check Collisions"),
             QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_K),
             tr("List what collides in the cell as it is, and show it in red"), false, true},
            {run, "actionRunLocalSimulation", tr("Run &Local Simulation…"), QKeySequence(Qt::Key_F5),
             tr("Run a program in the local simulator"), true, true},
            {run,
             "actionRunTrials",
             tr("Run &Trials…"),
             {},
             tr("Run a program many times with its random draws: how often it works, why it faults, how long "
                "it takes")},
            {help,
             "actionKeyboardShortcuts",
             tr("&Keyboard Shortcuts"),
             {},
             tr("List every keyboard shortcut of the studio")},
            {help, "actionAbout", tr("&About Kestrin Studio"), {}, tr("Version and credits"), false, true},
        });
    return entries;
}

// What each action does. An action without an entry here is shown disabled.
QHash<QString, std::function<void()>> KSMainWindow::operations() {
    auto* h = m_handler.get();
    QHash<QString, std::function<void()>> ops = {
        {QStringLiteral("actionNewProject"), [h] { h->newProject(); }},
        {QStringLiteral("actionOpenProject"), [h] { h->openProject(); }},
        {QStringLiteral("actionSaveProject"), [h] { h->saveProject(); }},
        {QStringLiteral("actionSaveProjectAs"), [h] { h->saveProjectAs(); }},
        {QStringLiteral("actionQuit"), [this] { close(); }},
        {QStringLiteral("actionAutosaveInterval"), [this] { askAutosaveInterval(); }},
        {QStringLiteral("actionUndo"), [h] { h->undo(); }},
        {QStringLiteral("actionRedo"), [h] { h->redo(); }},
        {QStringLiteral("actionDelete"), [h] { h->deleteSelection(); }},
        {QStringLiteral("actionAddToolFrame"), [h] { h->addToolFrame(); }},
        {QStringLiteral("actionAddTaskRegion"), [h] { h->addTaskRegion(); }},
        {QStringLiteral("actionImportRobot"), [h] { h->importRobot(); }},
        {QStringLiteral("actionAddItemFromMesh"), [h] { h->addItemFromMesh(); }},
        {QStringLiteral("actionCameraMode"), [h] { h->setCameraMode(); }},
        {QStringLiteral("actionTeleoperationMode"), [h] { h->setTeleoperationMode(); }},
        {QStringLiteral("actionTeleoperationSteps"),
         [this] {
             KSTeleoperationStepsDialog dialog(m_container->viewer(), this);
             dialog.exec();
         }},
        {QStringLiteral("actionResetCamera"), [h] { h->resetViewer(); }},
        {QStringLiteral("actionScreenshot"), [h] { h->screenshotViewer(); }},
        {QStringLiteral("actionRecordRespawnState"), [h] { h->recordRespawnState(); }},
        {QStringLiteral("actionResetToRespawnState"), [h] { h->resetState(); }},
        {QStringLiteral("actionRunLocalSimulation"), [h] { h->runLocalSimulator(); }},
        {QStringLiteral("actionCheckCollisions"), [h] { h->checkCollisions(); }},
        {QStringLiteral("actionRunTrials"), [this] { m_trialsPanel->askAndStart(); }},
        {QStringLiteral("actionAbout"), [this] { showAbout(); }},
        {QStringLiteral("actionKeyboardShortcuts"), [this] { KSShortcutsDialog(this).exec(); }},
    };
    using Op = void (kestrin_app::content::KSContentHandler::*)(const QString&);
    const std::vector<std::pair<QString, Op>> named = {
        {QStringLiteral("actionAddRobot_"), &kestrin_app::content::KSContentHandler::addRobot},
        {QStringLiteral("actionAddEffector_"), &kestrin_app::content::KSContentHandler::addEffector},
        {QStringLiteral("actionAddItem_"), &kestrin_app::content::KSContentHandler::addItem},
        {QStringLiteral("actionAddCamera_"), &kestrin_app::content::KSContentHandler::addCamera},
        {QStringLiteral("actionAddFiducial_"), &kestrin_app::content::KSContentHandler::addFiducial},
    };
    for (const ActionEntry& entry : actionLayout()) {
        for (const auto& [prefix, op] : named)
            if (entry.name.startsWith(prefix)) {
                const QString typeName = entry.name.mid(prefix.size());
                ops.insert(entry.name, [h, op, typeName] { (h->*op)(typeName); });
            }
        for (const QString& prefix :
             {QStringLiteral("actionAddBehavior_"), QStringLiteral("actionAddVariable_")}) {
            if (!entry.name.startsWith(prefix))
                continue;
            const kestrin::Type* type = kestrin::Type::find(entry.name.mid(prefix.size()));
            if (!type)
                continue;
            if (prefix == QLatin1String("actionAddBehavior_"))
                ops.insert(entry.name, [h, type] { h->addBehavior(*type); });
            else
                ops.insert(entry.name, [h, type] { h->addVariable(*type); });
        }
    }
    return ops;
}

void KSMainWindow::createActions() {
    const QHash<QString, std::function<void()>> wired = operations();

    auto* toolbar = addToolBar(tr("Main"));
    toolbar->setObjectName(QStringLiteral("mainToolBar"));

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
                slot->setObjectName(QStringLiteral("menu") +
                                    plain.remove(QLatin1Char('&')).remove(QLatin1Char(' ')));
            }
            menu = slot;
        }
        return menu;
    };

    QString lastToolbarMenu;
    for (const ActionEntry& entry : actionLayout()) {
        QMenu* menu = menuFor(entry.menu);
        if (entry.separatorBefore && !menu->isEmpty())
            menu->addSeparator();
        auto* action = menu->addAction(entry.text);
        action->setObjectName(entry.name);
        action->setShortcut(entry.shortcut);
        if (const auto op = wired.value(entry.name)) {
            action->setStatusTip(entry.tip);
            connect(action, &QAction::triggered, this, [this, op] {
                op();
                refreshState();
            });
        } else {
            action->setStatusTip(notAvailableTip());
            action->setEnabled(false);
        }
        if (entry.toolbar) {
            const QString topMenu = entry.menu.section(QLatin1Char('/'), 0, 0);
            if (!lastToolbarMenu.isEmpty() && topMenu != lastToolbarMenu)
                toolbar->addSeparator();
            lastToolbarMenu = topMenu;
            toolbar->addAction(action);
        }
        m_actions.insert(entry.name, action);
    }

    // File > Open Recent and File > New from Template list files, so they are built here.
    QMenu* fileMenu = menus.value(tr("&File"));
    QAction* saveAction = m_actions.value(QStringLiteral("actionSaveProject"));
    m_recentMenu = new QMenu(tr("Open &Recent"), this);
    m_recentMenu->setObjectName(QStringLiteral("menuOpenRecent"));
    fileMenu->insertMenu(saveAction, m_recentMenu);
    connect(m_recentMenu, &QMenu::aboutToShow, this, &KSMainWindow::fillRecentMenu);
    m_templateMenu = new QMenu(tr("New from &Template"), this);
    m_templateMenu->setObjectName(QStringLiteral("menuNewFromTemplate"));
    fileMenu->insertMenu(saveAction, m_templateMenu);
    if (QAction* placeholder = m_actions.take(QStringLiteral("actionNewFromTemplate"))) {
        fileMenu->removeAction(placeholder);
        delete placeholder;
    }
    fillTemplateMenu();
    fileMenu->insertSeparator(saveAction);
}

void KSMainWindow::addEditingActions() {
    // The selected object can be moved and turned with the mouse in the view.
    m_container->viewer()->setMoveHandleEnabled(true);
    // Ctrl+Y redoes too, as in most editors.
    if (QAction* redo = m_actions.value(QStringLiteral("actionRedo"))) {
        QList<QKeySequence> keys = QKeySequence::keyBindings(QKeySequence::Redo);
        for (const QKeySequence& key :
             {QKeySequence(Qt::CTRL | Qt::Key_Y), QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_Z)})
            if (!keys.contains(key))
                keys << key;
        redo->setShortcuts(keys);
    }
    m_editOperations->setUndoActions(m_actions.value(QStringLiteral("actionUndo")),
                                     m_actions.value(QStringLiteral("actionRedo")));
    QMenu* edit = menuBar()->findChild<QMenu*>(QStringLiteral("menuEdit"));
    QMenu* view = menuBar()->findChild<QMenu*>(QStringLiteral("menuView"));
    const QStringList viewActions = {QStringLiteral("actionFind"),     QStringLiteral("actionFrameSelection"),
                                     QStringLiteral("actionViewTop"),  QStringLiteral("actionViewFront"),
                                     QStringLiteral("actionViewSide"), QStringLiteral("actionViewIso")};
    if (edit)
        edit->addSeparator();
    if (view)
        view->addSeparator();
    for (QAction* action : m_editOperations->actions()) {
        QMenu* menu = viewActions.contains(action->objectName()) ? view : edit;
        if (menu)
            menu->addAction(action);
        m_actions.insert(action->objectName(), action);
        connect(action, &QAction::triggered, this, [this] { refreshState(); });
    }
}

void KSMainWindow::createRunControls() {
    m_runToolBar = new KSRunToolBar(this);
    addToolBar(m_runToolBar);
    for (QAction* action : {m_runToolBar->stopAction(), m_runToolBar->pauseAction()})
        m_actions.insert(action->objectName(), action);
    auto* h = m_handler.get();
    h->_run_speed = m_runToolBar->speed();
    connect(m_runToolBar, &KSRunToolBar::speedChanged, this, [h](double factor) { h->_run_speed = factor; });
    h->_on_run_started = [this](kestrin::Simulator* simulator) { m_runToolBar->runStarted(simulator); };
    h->_on_run_step = [this](const kestrin::Simulator& simulator) { m_runToolBar->runStepped(simulator); };
    h->_on_run_ended = [this](const kestrin::Simulator& simulator) { m_runToolBar->runEnded(simulator); };
}

// View > the docks and toolbars, each shown or hidden by its own entry: a dock closed by its
// title bar's button comes back from there.
void KSMainWindow::createPanelToggles() {
    QMenu* view = menuBar()->findChild<QMenu*>(QStringLiteral("menuView"));
    view->addSeparator();
    for (const char* dock : {"projectDock", "propertyPanelDock", "logDock", "trialsDock"}) {
        auto* widget = findChild<QDockWidget*>(QLatin1String(dock));
        QAction* toggle = widget->toggleViewAction();
        toggle->setObjectName(QStringLiteral("actionShow_") + QLatin1String(dock));
        toggle->setText(tr("%1 Panel").arg(widget->windowTitle()));
        toggle->setStatusTip(tr("Show or hide the %1 panel").arg(widget->windowTitle()));
        view->addAction(toggle);
        m_actions.insert(toggle->objectName(), toggle);
    }
    QMenu* toolbars = view->addMenu(tr("Tool&bars"));
    toolbars->setObjectName(QStringLiteral("menuToolbars"));
    for (QToolBar* bar :
         {findChild<QToolBar*>(QStringLiteral("mainToolBar")), static_cast<QToolBar*>(m_runToolBar)}) {
        QAction* toggle = bar->toggleViewAction();
        toggle->setObjectName(QStringLiteral("actionShow_") + bar->objectName());
        toggle->setText(tr("%1 Toolbar").arg(bar->windowTitle()));
        toolbars->addAction(toggle);
        m_actions.insert(toggle->objectName(), toggle);
    }
}

QStringList KSMainWindow::templateFolders() {
    // Installed beside the program first; a program run from its build folder finds none there
    // and takes the source tree's.
    return {QDir::cleanPath(QDir(QCoreApplication::applicationDirPath())
                                .filePath(QStringLiteral("../share/kestrin/templates"))),
            QStringLiteral(KESTRIN_SOURCE_DIR "/data/templates")};
}

void KSMainWindow::fillTemplateMenu() {
    m_templateMenu->clear();
    QSet<QString> seen;
    for (const QString& folder : templateFolders()) {
        const QFileInfoList files = QDir(folder).entryInfoList(
            {QStringLiteral("*") + QLatin1String(kestrin::KS_PROJECT_FILE_EXT)}, QDir::Files, QDir::Name);
        for (const QFileInfo& info : files) {
            if (seen.contains(info.fileName()))
                continue;
            seen.insert(info.fileName());
            // "two_robot_desk" reads "Two Robot Desk".
            QStringList words = info.completeBaseName().split(QLatin1Char('_'), Qt::SkipEmptyParts);
            for (QString& w : words)
                w[0] = w[0].toUpper();
            QAction* action = m_templateMenu->addAction(words.join(QLatin1Char(' ')));
            action->setObjectName(QStringLiteral("actionTemplate_") + info.completeBaseName());
            const QString path = info.absoluteFilePath();
            connect(action, &QAction::triggered, this, [this, path] {
                if (!QFileInfo(path).isFile()) {
                    // Removed since the menu was filled: say which file, and offer only what is left.
                    kestrin_app::logerror("openTemplate", [&path] {
                        throw kestrin::FileError(
                            QStringLiteral("Cannot open template '%1': it no longer exists.").arg(path));
                    });
                    fillTemplateMenu();
                    return;
                }
                m_handler->openTemplate(path);
                refreshState();
            });
        }
    }
    m_templateMenu->setEnabled(!m_templateMenu->isEmpty());
}

QStringList KSMainWindow::recentFiles() const {
    return QSettings().value(QStringLiteral("recentFiles")).toStringList();
}

void KSMainWindow::rememberRecentFile(const QString& path) {
    QStringList files = recentFiles();
    files.removeAll(path);
    files.prepend(path);
    while (files.size() > kMaxRecentFiles)
        files.removeLast();
    QSettings().setValue(QStringLiteral("recentFiles"), files);
}

void KSMainWindow::fillRecentMenu() {
    m_recentMenu->clear();
    const QStringList files = recentFiles();
    for (int i = 0; i < files.size(); ++i) {
        const QString path = files[i];
        QAction* action =
            m_recentMenu->addAction(QStringLiteral("&%1 %2").arg(i + 1).arg(QFileInfo(path).fileName()));
        action->setToolTip(path);
        action->setStatusTip(path);
        connect(action, &QAction::triggered, this, [this, path] {
            if (!QFileInfo(path).isFile()) {
                QStringList left = recentFiles();
                left.removeAll(path);
                QSettings().setValue(QStringLiteral("recentFiles"), left);
            }
            m_handler->openRecent(path); // says so when the file is gone
            refreshState();
        });
    }
    if (files.isEmpty())
        m_recentMenu->addAction(tr("No recent files"))->setEnabled(false);
}

void KSMainWindow::refreshState() {
    const QString file = m_handler->_active_filename;
    if (!file.isEmpty() && file != m_lastFile)
        rememberRecentFile(file);
    m_lastFile = file;
    // The project may have been replaced, and a new project comes with a history of its own.
    kestrin::UndoHistory& history = m_handler->project()->history();
    m_watchedHistory = &history;
    history.setChangedCallback([this] {
        QMetaObject::invokeMethod(
            this, [this] { refreshState(); }, Qt::QueuedConnection);
    });
    setWindowTitle(QStringLiteral("%1[*] - Kestrin Studio")
                       .arg(file.isEmpty() ? tr("Untitled") : QFileInfo(file).fileName()));
    setWindowModified(history.isModified());
    if (m_recovery)
        m_recovery->projectChanged();
    if (m_propertyPanel)
        m_propertyPanel->refresh();
    // The tree takes off a fault mark once the project has changed since the run.
    m_tree->updateProjectTreeContent();
    if (QAction* undo = m_actions.value(QStringLiteral("actionUndo"))) {
        undo->setEnabled(history.canUndo());
        undo->setText(history.canUndo() ? tr("&Undo %1").arg(history.undoName()) : tr("&Undo"));
        undo->setIconText(tr("Undo")); // the toolbar stays short whatever the step is called
    }
    if (QAction* redo = m_actions.value(QStringLiteral("actionRedo"))) {
        redo->setEnabled(history.canRedo());
        redo->setText(history.canRedo() ? tr("&Redo %1").arg(history.redoName()) : tr("&Redo"));
        redo->setIconText(tr("Redo"));
    }
}

void KSMainWindow::askAutosaveInterval() {
    bool ok = false;
    const int seconds = QInputDialog::getInt(
        this, tr("Autosave Interval"),
        tr("While the project has unsaved changes, write it to a recovery file at most every\n"
           "(seconds; 0 turns autosave off; your own file is never written by autosave):"),
        int(KSRecovery::intervalSeconds()), 0, 24 * 3600, 10, &ok);
    if (!ok)
        return;
    KSRecovery::setIntervalSeconds(seconds);
    if (seconds == 0)
        qCInfo(lcApp, "Autosave is off");
    else
        qCInfo(lcApp, "Autosave every %d s", seconds);
}

void KSMainWindow::showAbout() {
    QMessageBox::about(
        this, tr("About Kestrin Studio"),
        tr("<p><b>Kestrin Studio</b> %1</p><p>Set up and program robot work cells: build the cell, "
           "write programs as behavior trees and try them in the local simulator.</p>")
            .arg(QStringLiteral(KESTRIN_VERSION)));
}
