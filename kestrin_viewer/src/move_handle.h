#pragma once
// Private to the viewer: the handle that moves and turns the selected object in the 3-D view.

#include "kestrin_viewer/workspace_viewer.h"

#include <kestrin/geometry.h>

#include <QObject>
#include <QPoint>
#include <vtkSmartPointer.h>

#include <array>
#include <optional>

class QMouseEvent;
class QWidget;
class vtkActor;
class vtkRenderer;

namespace kestrin {

class WorkspaceObject;

/// Three arrows (x red, y green, z blue) and three rings about the same axes, on the viewer's
/// selected object, drawn at a size that stays about the same on screen. Contract:
/// - It is shown while the viewer outlines an object that stands on its own (not a tool frame,
///   a mounted effector or a held item) and teleoperation is off; it follows the object at every
///   frame, and keeps no pointer to it between events (it is looked up by id).
/// - A left press on an arrow or a ring starts a drag, which the camera does not see: the object
///   moves along the arrow's axis by how far the mouse went along it, or turns about the ring's
///   axis by the angle the mouse went round, from where the drag began; with Shift held, by whole
///   centimetres or steps of 5 degrees. Letting go records one undo step ("Move 'Box'",
///   "Turn 'Box'"); a drag that moved nothing records none.
class MoveHandle : public QObject {
public:
    using Part = WorkspaceViewer::HandlePart;
    static constexpr double kSnapMetres = 0.01;
    static constexpr double kSnapDegrees = 5.0;

    /// The handle draws in `renderer` and takes mouse events of `renderWidget`, whose child it is.
    MoveHandle(WorkspaceViewer& viewer, QWidget& renderWidget, vtkRenderer* renderer);
    ~MoveHandle() override;

    /// The object the handle is on, or nullptr when it is hidden.
    WorkspaceObject* target() const;
    /// Puts the handle on the target (hides it when there is none).
    void follow();

    /// A drag, step by step: begin on `part`, move by `amount` from where it began (metres or
    /// radians), end (records the step). begin returns false when the handle is hidden.
    bool begin(Part part);
    void dragTo(double amount, bool snap);
    void end();
    /// `amount` rounded to whole centimetres (moves) or 5-degree steps (turns).
    static double snapped(Part part, double amount);

    /// Where the middle of a part is drawn, in the render widget's pixels (null when hidden).
    QPoint pointOf(Part part) const;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    std::optional<Part> partAt(const QPoint& pos) const;
    /// How far the mouse at `pos` is along (or round) the dragged axis.
    std::optional<double> measure(const QPoint& pos) const;
    /// The line of sight through the widget pixel `pos`: origin and direction.
    std::pair<Eigen::Vector3d, Eigen::Vector3d> rayAt(const QPoint& pos) const;
    double scale() const;

    WorkspaceViewer& m_viewer;
    QWidget& m_widget;
    vtkSmartPointer<vtkRenderer> m_renderer; // the scene's: the camera, the pixels
    vtkSmartPointer<vtkRenderer> m_overlay;  // the handle's, drawn over the scene
    std::array<vtkSmartPointer<vtkActor>, 6> m_actors;
    unsigned long m_observer = 0;
    bool m_enabled = true;

    // The drag under way.
    std::optional<Part> m_dragging;
    quint64 m_draggedId = 0;
    Transform m_start;
    Eigen::Vector3d m_centre = Eigen::Vector3d::Zero();
    double m_startAmount = 0;
    bool m_moved = false;
    bool m_mouseDrag = false;

    friend class WorkspaceViewer;
};

} // namespace kestrin
