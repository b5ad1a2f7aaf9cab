#pragma once
// The widgets of the studio's main view (the container with its viewer and the project tree) on
// screen, holding a generated cell. Benchmarks that touch the view share one, so that the OpenGL
// context and the shaders are made once.

#include <QWidget>

class KSProjectContainer;
class KSProjectTree;

namespace kestrin {
class Project;
class WorkspaceViewer;
} // namespace kestrin

namespace kestrin_bench {

class CellHarness {
public:
    /// Made on first use; must be dropped with release() while the QApplication still exists.
    static CellHarness& instance();
    static void release();

    /// Makes sure the container holds a generated cell of `objects` objects, drawn and listed,
    /// with the camera fitted to it and the undo history starting there. A cell that has grown by
    /// no more than `slack` objects since it was made counts as one of that size.
    void ensureCell(int objects, int slack = 0);
    /// Drops the current cell and makes a new one of `objects` objects.
    void rebuildCell(int objects);
    /// How many objects were added since the cell was made (the caller says so).
    int grownBy() const { return m_grown; }
    void noteAdded() { ++m_grown; }

    KSProjectContainer* container() const { return m_container; }
    KSProjectTree* tree() const { return m_tree; }
    kestrin::Project* project() const;
    kestrin::WorkspaceViewer* viewer() const;

    /// Draws one frame and waits until the OpenGL driver has finished it.
    void renderFrame();
    /// What File > Open does with the file at `path`, to its first frame: load, hand the project
    /// to the container, rebuild the view and the tree, fit the camera, draw.
    void openToFirstFrame(const QString& path);

    ~CellHarness();

private:
    CellHarness();
    QWidget m_window;
    KSProjectContainer* m_container;
    KSProjectTree* m_tree;
    int m_objects = -1;
    int m_grown = 0;
};

/// Shows `window` and waits until the window system has mapped it (at most 10 s).
void showAndWait(QWidget& window);

} // namespace kestrin_bench
