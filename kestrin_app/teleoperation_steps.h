#pragma once
// The dialog that sets how far a jog key moves and turns the teleoperated tool frame.

#include <QDialog>

class QDoubleSpinBox;

namespace kestrin {
class WorkspaceViewer;
}

/// Edits the viewer's teleoperation steps: a distance in millimetres and, for the keys with
/// Shift, an angle in degrees. OK sets both on the viewer (the corner text of the view follows)
/// and logs them; Cancel changes nothing.
class KSTeleoperationStepsDialog : public QDialog {
    Q_OBJECT
public:
    /// `viewer` must outlive the dialog.
    explicit KSTeleoperationStepsDialog(kestrin::WorkspaceViewer* viewer, QWidget* parent = nullptr);

    QDoubleSpinBox* stepField() const { return m_step; }
    QDoubleSpinBox* turnField() const { return m_turn; }

    void accept() override;

private:
    kestrin::WorkspaceViewer* m_viewer;
    QDoubleSpinBox* m_step;
    QDoubleSpinBox* m_turn;
};
