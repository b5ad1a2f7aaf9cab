#pragma once
// The content layer: answers the main window's actions that change or show the project.

#include <QString>
#include <kestrin/workspace_state.h>
#include <optional>

class QMainWindow;
class KSProjectContainer;
class KSProjectTree;
class KSStatusBarWidget;

namespace kestrin {
class Project;
class Simulator;
class WorkspaceViewer;
} // namespace kestrin

namespace kestrin_app::content {

/// The user's home directory.
extern const QString DEFAULT_PATH;
/// "Kestrin project file (*.ext)"
extern const QString PROJECT_FILE_FILTER;
/// <home>/Documents/my_project.ext
extern const QString DEFAULT_PROJECT_SAVE;
/// "Png image file (*.png)"
extern const QString IMAGE_FILE_FILTER;
/// <home>/Desktop/screenshot.png
extern const QString DEFAULT_IMAGE_SAVE;

/// Carries out the project-level actions of the main window. It owns none of the objects it is
/// given and asks the container for the project and the viewer afresh on every use.
class KSContentHandler {
public:
    KSContentHandler(QMainWindow* window, KSProjectContainer* container, KSProjectTree* project_tree,
                     KSStatusBarWidget* status_bar);

    kestrin::WorkspaceViewer* viewer() const;
    kestrin::Project* project() const;

    void _lock();
    void _unlock();

    // Respawn state (wrapped, guarded by the lock).
    void recordRespawnState();
    void resetState();

    void _rebuildViewerAndTree();
    void _setupProject();

    // State, readable by the owner and tests.
    bool _locked = false;
    std::optional<kestrin::WorkspaceState> _respawn_state;
    kestrin::Simulator* _simulator = nullptr;
    QString _active_filename;
    const void* _active_behavior = nullptr;
    QString _active_robot;
    QString _active_tool;

private:
    QMainWindow* _window;
    KSProjectContainer* _container;
    KSProjectTree* _project_tree;
    KSStatusBarWidget* _status_bar;
};

} // namespace kestrin_app::content
