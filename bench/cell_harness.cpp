#include "cell_harness.h"

#include "cell_generator.h"

#include <kestrin/project.h>
#include <kestrin/undo_history.h>
#include <kestrin_app/container.h>
#include <kestrin_app/editor/tree.h>
#include <kestrin_viewer/workspace_viewer.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QHBoxLayout>
#include <QThread>
#include <QWindow>

#include <memory>

#include <vtkRenderWindow.h>
#include <vtkRenderer.h>

namespace kestrin_bench {

void showAndWait(QWidget& window) {
    window.show();
    QElapsedTimer waited;
    waited.start();
    while (!(window.windowHandle() && window.windowHandle()->isExposed()) && waited.elapsed() < 10000) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
        QThread::msleep(5);
    }
    QCoreApplication::processEvents();
}

namespace {
std::unique_ptr<CellHarness> harness;
}

CellHarness& CellHarness::instance() {
    if (!harness)
        harness.reset(new CellHarness);
    return *harness;
}

void CellHarness::release() {
    harness.reset();
}

CellHarness::~CellHarness() = default;

CellHarness::CellHarness() {
    m_window.setObjectName(QStringLiteral("benchWindow"));
    m_window.setWindowTitle(QStringLiteral("kestrin-bench"));
    auto* layout = new QHBoxLayout(&m_window);
    layout->setContentsMargins(0, 0, 0, 0);
    m_container = new KSProjectContainer(&m_window);
    m_tree = new KSProjectTree(m_container, &m_window);
    layout->addWidget(m_tree, 1);
    layout->addWidget(m_container, 3);
    // The viewer gets about the size it has in the studio's default window (960 by 700).
    m_window.resize(1280, 700);
    showAndWait(m_window);
}

kestrin::Project* CellHarness::project() const {
    return m_container->project();
}

kestrin::WorkspaceViewer* CellHarness::viewer() const {
    return m_container->viewer();
}

void CellHarness::renderFrame() {
    viewer()->render();
    viewer()->_getRenderer()->GetRenderWindow()->WaitForCompletion();
}

void CellHarness::openToFirstFrame(const QString& path) {
    auto loaded = std::make_unique<kestrin::Project>();
    loaded->load(path);
    m_container->setProject(std::move(loaded));
    m_container->rebuildViewer();
    m_tree->updateProjectTreeContent();
    viewer()->_getRenderer()->ResetCamera();
    renderFrame();
}

void CellHarness::ensureCell(int objects, int slack) {
    if (objects != m_objects || m_grown > slack)
        rebuildCell(objects);
}

void CellHarness::rebuildCell(int objects) {
    m_container->newProject();
    populateCell(*project(), objects);
    project()->history().reset();
    m_container->rebuildViewer();
    m_tree->updateProjectTreeContent();
    viewer()->resetCamera();
    renderFrame();
    QCoreApplication::processEvents();
    m_objects = objects;
    m_grown = 0;
}

} // namespace kestrin_bench
