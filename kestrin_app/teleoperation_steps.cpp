#include "teleoperation_steps.h"

#include "log.h"

#include <kestrin/error.h>
#include <kestrin_viewer/workspace_viewer.h>

#include <QDialogButtonBox>
#include <QDoubleSpinBox>
#include <QFormLayout>
#include <QLabel>
#include <QMessageBox>

#include <cmath>

namespace {

constexpr double kDegree = M_PI / 180.0;

QDoubleSpinBox* makeField(QWidget* parent, const QString& name, double low, double high, const QString& unit,
                          double value) {
    auto* field = new QDoubleSpinBox(parent);
    field->setObjectName(name);
    field->setDecimals(1);
    field->setRange(low, high);
    field->setSingleStep(0.5);
    field->setSuffix(unit);
    field->setValue(value);
    return field;
}

} // namespace

KSTeleoperationStepsDialog::KSTeleoperationStepsDialog(kestrin::WorkspaceViewer* viewer, QWidget* parent)
    : QDialog(parent), m_viewer(viewer) {
    setObjectName(QStringLiteral("teleoperationStepsDialog"));
    setWindowTitle(tr("Teleoperation Steps"));
    // The same bounds as the viewer's: whatever the fields allow, it takes.
    m_step = makeField(this, QStringLiteral("teleoperationStepField"), 0.1, 100.0, tr(" mm"),
                       viewer->teleoperationStep() * 1000.0);
    m_turn = makeField(this, QStringLiteral("teleoperationTurnField"), 0.1, 45.0, tr(" °"),
                       viewer->teleoperationTurn() / kDegree);

    auto* form = new QFormLayout(this);
    auto* intro = new QLabel(tr("How far one press of a jog key moves the tool frame (arrows, Page Up "
                                "and Page Down), and how far it turns it with Shift held:"),
                             this);
    intro->setWordWrap(true);
    form->addRow(intro);
    form->addRow(tr("&Move by:"), m_step);
    form->addRow(tr("&Turn by:"), m_turn);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    form->addRow(buttons);
}

void KSTeleoperationStepsDialog::accept() {
    try {
        m_viewer->setTeleoperationSteps(m_step->value() / 1000.0, m_turn->value() * kDegree);
    } catch (const kestrin::Error& e) {
        // The fields keep to the viewer's bounds; should they not, say so and stay open.
        qCWarning(lcApp, "%s", qUtf8Printable(e.message()));
        QMessageBox::warning(this, windowTitle(), e.message());
        return;
    }
    qCInfo(lcApp, "Teleoperation steps: %s mm and %s degrees a key press",
           qUtf8Printable(QString::number(m_step->value())),
           qUtf8Printable(QString::number(m_turn->value())));
    QDialog::accept();
}
