#pragma once
// The 3-D view of a work cell. VTK stays behind this header: only vtkRenderer is named, and
// only as a forward declaration.

#include <QString>
#include <QWidget>
#include <memory>

class vtkRenderer;

namespace kestrin {

class Project;
class Type;

class WorkspaceViewer : public QWidget {
    Q_OBJECT
public:
    explicit WorkspaceViewer(QWidget* parent = nullptr);
    ~WorkspaceViewer() override;

    static const Type& staticType();

    /// Shows `project` (nullptr shows an empty cell). The viewer does not own the project; it
    /// must outlive the viewer or be replaced first.
    void setProject(Project* project);
    Project* project() const;

    /// Brings the scene in line with the project: adds, removes and moves only the scene items
    /// of objects that changed since the last call. Does not redraw by itself.
    void rebuild();

    vtkRenderer* _getRenderer() const;
    /// Redraws the view now.
    void render();
    /// Returns to the default view of the whole cell.
    void resetCamera();
    /// Orbit, pan and zoom with the mouse (left drag, middle drag, wheel); leaves teleoperation.
    void setCameraMode();
    /// Writes a PNG of the view to `filename`; throws kestrin::FileError naming the path when it
    /// cannot be written.
    void screenshot(const QString& filename);

    /// Number of objects that have a scene item (for tests and benchmarks).
    int sceneItemCount() const;

private:
    struct Impl;
    std::unique_ptr<Impl> d;
};

} // namespace kestrin
