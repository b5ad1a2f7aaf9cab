#pragma once

#include <QWidget>
#include <memory>

namespace kestrin {
class Project;
class WorkspaceViewer;
} // namespace kestrin

/// Holds the current project and the workspace viewer that shows it. Replacing the project
/// (newProject) drops the old one; whoever holds a pointer to it must ask again.
class KSProjectContainer : public QWidget {
    Q_OBJECT
public:
    explicit KSProjectContainer(QWidget* parent = nullptr);
    ~KSProjectContainer() override;

    kestrin::Project* project() const;
    kestrin::WorkspaceViewer* viewer() const;

    /// Drops the current project and holds a new, empty one (the viewer is pointed at it but
    /// not redrawn: call rebuildViewer).
    void newProject();
    /// Drops the current project and holds `project` instead (one already loaded, say); the
    /// viewer is pointed at it but not redrawn.
    void setProject(std::unique_ptr<kestrin::Project> project);
    /// Brings the viewer's scene in line with the current project (only what changed).
    void rebuildViewer();

signals:
    /// Emitted after newProject or setProject replaced the project.
    void projectReplaced();

private:
    std::unique_ptr<kestrin::Project> m_project;
    kestrin::WorkspaceViewer* m_viewer;
};
