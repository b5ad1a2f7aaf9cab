#include "content.h"

#include "container.h"
#include "editor/tree.h"
#include "exception.h"
#include "log.h"
#include "status.h"

#include <kestrin/constants.h>
#include <kestrin/project.h>
#include <kestrin/viewer/workspace_viewer.h>
#include <kestrin/workspace.h>

#include <QDir>
#include <QMainWindow>
#include <vtkRenderer.h>

namespace kestrin_app::content {

namespace {
QString joinPath(std::initializer_list<QString> parts) {
    QStringList list(parts);
    return list.join(QDir::separator());
}
} // namespace

const QString DEFAULT_PATH = QDir::homePath();
const QString PROJECT_FILE_FILTER =
    QStringLiteral("Kestrin project file (*") + QLatin1String(kestrin::KS_PROJECT_FILE_EXT) + QStringLiteral(")");
const QString DEFAULT_PROJECT_SAVE =
    joinPath({DEFAULT_PATH, QStringLiteral("Documents"),
              QStringLiteral("my_project") + QLatin1String(kestrin::KS_PROJECT_FILE_EXT)});
const QString IMAGE_FILE_FILTER =
    QStringLiteral("Png image file (*") + QLatin1String(kestrin::KS_IMAGE_FILE_EXT) + QStringLiteral(")");
const QString DEFAULT_IMAGE_SAVE =
    joinPath({DEFAULT_PATH, QStringLiteral("Desktop"),
              QStringLiteral("screenshot") + QLatin1String(kestrin::KS_IMAGE_FILE_EXT)});

KSContentHandler::KSContentHandler(QMainWindow* window, KSProjectContainer* container, KSProjectTree* project_tree,
                                   KSStatusBarWidget* status_bar) {
    _respawn_state.reset();
    _locked = false;
    _window = window;
    _container = container;
    _project_tree = project_tree;
    _status_bar = status_bar;
    _setupProject();
    _simulator = nullptr;
    _active_filename = QString();
    _active_behavior = nullptr;
    _active_robot = QString();
    _active_tool = QString();
}

kestrin::WorkspaceViewer* KSContentHandler::viewer() const { return _container->viewer(); }

kestrin::Project* KSContentHandler::project() const { return _container->project(); }

void KSContentHandler::_lock() { _locked = true; }

void KSContentHandler::_unlock() { _locked = false; }

void KSContentHandler::_rebuildViewerAndTree() {
    _container->rebuildViewer();
    _project_tree->updateProjectTreeContent();
}

void KSContentHandler::_setupProject() {
    _rebuildViewerAndTree();
    _container->viewer()->_getRenderer()->ResetCamera();
    _container->viewer()->render();
    _status_bar->indicateReady();
    recordRespawnState();
}

// The log lines below follow the work they report, so that a failure is never logged as done.

void KSContentHandler::recordRespawnState() {
    logerror("recordRespawnState", [this] {
        if (_locked)
            return;
        _respawn_state = _container->project()->workspace()->_getState();
        qCInfo(lcApp, "Recorded the project respawn state");
    });
}

void KSContentHandler::resetState() {
    logerror("resetState", [this] {
        if (_locked)
            return;
        if (!_respawn_state)
            return;
        _container->project()->workspace()->_setState(*_respawn_state);
        qCInfo(lcApp, "Reset the project state");
        _container->viewer()->render();
    });
}

} // namespace kestrin_app::content
