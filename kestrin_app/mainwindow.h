#pragma once

#include <QHash>
#include <QKeySequence>
#include <QMainWindow>
#include <functional>
#include <memory>
#include <vector>

class KSEditOperations;
class KSPropertyPanel;
class KSRecovery;
class KSRunToolBar;
class KSLogPanel;
class KSProjectContainer;
class KSProjectTree;
class KSSelectionLink;
class KSStatusBarWidget;
class KSTrialsPanel;

class QMenu;
namespace kestrin {
class UndoHistory;
}
namespace kestrin_app::content {
class KSContentHandler;
}

/// The main window: the workspace viewer in the middle, the project tree and the log in docks,
/// the status light in the status bar, a menu entry (most also on the toolbar) for every
/// operation of the content handler, and the Run toolbar for the run playing. It wires actions
/// to the handler and holds no project logic.
///
/// Every action carries an objectName ("actionSaveProject", "actionAddRobot_UR5eRobot", ...).
/// operations() maps objectNames to what they do; an action without an entry there is disabled
/// with the status tip "Not available yet".
class KSMainWindow : public QMainWindow {
    Q_OBJECT
public:
    /// Throws what constructing the content handler throws (it sets up the container's project).
    explicit KSMainWindow(QWidget* parent = nullptr);
    ~KSMainWindow() override;

    KSProjectContainer* container() const { return m_container; }
    KSProjectTree* projectTree() const { return m_tree; }
    KSStatusBarWidget* statusWidget() const { return m_status; }
    KSLogPanel* logPanel() const { return m_logPanel; }
    KSPropertyPanel* propertyPanel() const { return m_propertyPanel; }
    KSRunToolBar* runToolBar() const { return m_runToolBar; }
    /// Run > Run Trials... and their results, in the dock "trialsDock".
    KSTrialsPanel* trialsPanel() const { return m_trialsPanel; }
    /// Editing from the tree: rename, copy and paste, moving behaviors, find, framing.
    KSEditOperations* editOperations() const { return m_editOperations; }
    kestrin_app::content::KSContentHandler& handler() const { return *m_handler; }
    /// Autosave and crash recovery of this window's project.
    KSRecovery& recovery() const { return *m_recovery; }

    /// Where templates (the demo cell among them) are looked for, in order: installed beside the
    /// program, then the source tree it was built from.
    static QStringList templateFolders();

    /// The action with that objectName, or nullptr.
    QAction* findAction(const QString& objectName) const { return m_actions.value(objectName); }

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    /// One menu entry. `menu` is a path of menu titles separated by '/'.
    struct ActionEntry {
        QString menu;
        QString name;
        QString text;
        QKeySequence shortcut = {};
        QString tip = {};
        bool toolbar = false;
        bool separatorBefore = false;
    };

    static std::vector<ActionEntry> actionLayout();
    QHash<QString, std::function<void()>> operations();
    void createActions();
    /// The Run toolbar, following the handler's runs.
    void createRunControls();
    /// View > show and hide each dock and toolbar.
    void createPanelToggles();
    void showAbout();
    void askAutosaveInterval();
    /// Brings the title, the changed marker, Undo/Redo and the recent files in line with the
    /// handler and the project's history.
    void refreshState();
    void fillTemplateMenu();
    void fillRecentMenu();
    QStringList recentFiles() const;
    void rememberRecentFile(const QString& path);
    static constexpr int kMaxRecentFiles = 8;

    KSProjectContainer* m_container;
    KSProjectTree* m_tree;
    KSStatusBarWidget* m_status;
    KSLogPanel* m_logPanel;
    KSPropertyPanel* m_propertyPanel = nullptr;
    KSSelectionLink* m_selectionLink = nullptr;
    std::unique_ptr<kestrin_app::content::KSContentHandler> m_handler;
    KSRecovery* m_recovery = nullptr;
    KSRunToolBar* m_runToolBar = nullptr;
    KSTrialsPanel* m_trialsPanel = nullptr;
    KSEditOperations* m_editOperations = nullptr;
    /// Puts the editing operations' actions into the Edit and View menus.
    void addEditingActions();
    QHash<QString, QAction*> m_actions;
    QMenu* m_recentMenu = nullptr;
    QMenu* m_templateMenu = nullptr;
    QString m_lastFile;
    kestrin::UndoHistory* m_watchedHistory = nullptr;
};
