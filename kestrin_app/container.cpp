#include "container.h"

#include <kestrin/project.h>
#include <kestrin_viewer/workspace_viewer.h>

#include <QVBoxLayout>

KSProjectContainer::KSProjectContainer(QWidget* parent)
    : QWidget(parent), m_project(std::make_unique<kestrin::Project>()),
      m_viewer(new kestrin::WorkspaceViewer(this)) {
    setObjectName(QStringLiteral("projectContainer"));
    m_viewer->setObjectName(QStringLiteral("workspaceViewer"));

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(m_viewer);

    m_viewer->setProject(m_project.get());
}

KSProjectContainer::~KSProjectContainer() {
    // The viewer must not outlive the project it shows; children are deleted only after the
    // members, so it goes first.
    delete m_viewer;
    m_viewer = nullptr;
}

kestrin::Project* KSProjectContainer::project() const {
    return m_project.get();
}

kestrin::WorkspaceViewer* KSProjectContainer::viewer() const {
    return m_viewer;
}

void KSProjectContainer::newProject() {
    setProject(std::make_unique<kestrin::Project>());
}

void KSProjectContainer::setProject(std::unique_ptr<kestrin::Project> project) {
    // Point the viewer at the new project before the old one is dropped, so that it never
    // refers to a deleted project, even when setProject throws.
    m_viewer->setProject(project.get());
    m_project = std::move(project);
    emit projectReplaced();
}

void KSProjectContainer::rebuildViewer() {
    m_viewer->rebuild();
}
