#include "shell_help.h"

#include <QAction>
#include <QDialogButtonBox>
#include <QHash>
#include <QHeaderView>
#include <QLabel>
#include <QMainWindow>
#include <QMenu>
#include <QMenuBar>
#include <QSet>
#include <QTableWidget>
#include <QToolBar>
#include <QVBoxLayout>

namespace {

/// "Save &As…" reads "Save As…"; "&&" stays one "&".
QString withoutMnemonic(QString text) {
    text.replace(QStringLiteral("&&"), QStringLiteral("\x01"));
    text.remove(QLatin1Char('&'));
    text.replace(QStringLiteral("\x01"), QStringLiteral("&"));
    return text;
}

QString keysOf(const QAction* action) {
    QStringList keys;
    for (const QKeySequence& k : action->shortcuts())
        if (!k.isEmpty())
            keys << k.toString(QKeySequence::NativeText);
    if (keys.isEmpty()) {
        const QKeySequence playing = action->property("shortcutWhilePlaying").value<QKeySequence>();
        if (!playing.isEmpty())
            keys << KSShortcutsDialog::tr("%1 (while a program plays)")
                        .arg(playing.toString(QKeySequence::NativeText));
    }
    return keys.join(QStringLiteral(", "));
}

void collect(QMenu* menu, const QString& path, QList<KSShortcutRow>& rows, QSet<const QAction*>& seen) {
    for (QAction* action : menu->actions()) {
        if (action->isSeparator())
            continue;
        if (QMenu* sub = action->menu()) {
            collect(sub, path + QStringLiteral(" ▸ ") + withoutMnemonic(sub->title()), rows, seen);
            continue;
        }
        seen.insert(action);
        const QString keys = keysOf(action);
        if (!keys.isEmpty())
            rows.push_back({keys, withoutMnemonic(action->text()), path, action->objectName()});
    }
}

} // namespace

QList<KSShortcutRow> KSShortcutsDialog::rowsFor(QMainWindow* window) {
    QList<KSShortcutRow> rows;
    QSet<const QAction*> seen;
    for (QAction* top : window->menuBar()->actions())
        if (QMenu* menu = top->menu())
            collect(menu, withoutMnemonic(menu->title()), rows, seen);
    for (QToolBar* toolbar : window->findChildren<QToolBar*>()) {
        for (QAction* action : toolbar->actions()) {
            if (seen.contains(action) || action->isSeparator())
                continue;
            seen.insert(action);
            const QString keys = keysOf(action);
            if (!keys.isEmpty())
                rows.push_back({keys, withoutMnemonic(action->text()),
                                tr("%1 toolbar").arg(toolbar->windowTitle()), action->objectName()});
        }
    }
    return rows;
}

KSShortcutsDialog::KSShortcutsDialog(QMainWindow* window) : QDialog(window) {
    setObjectName(QStringLiteral("shortcutsDialog"));
    setWindowTitle(tr("Keyboard Shortcuts"));
    const QList<KSShortcutRow> rows = rowsFor(window);

    auto* table = new QTableWidget(rows.size(), 3, this);
    table->setObjectName(QStringLiteral("shortcutsTable"));
    table->setHorizontalHeaderLabels({tr("Keys"), tr("Action"), tr("Where")});
    table->verticalHeader()->hide();
    table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    table->setSelectionBehavior(QAbstractItemView::SelectRows);
    table->setAlternatingRowColors(true);
    for (int i = 0; i < rows.size(); ++i) {
        table->setItem(i, 0, new QTableWidgetItem(rows[i].keys));
        table->setItem(i, 1, new QTableWidgetItem(rows[i].action));
        table->setItem(i, 2, new QTableWidgetItem(rows[i].where));
    }
    // Measured texts leave out the cell's own margins: a little room so that none is cut short.
    table->resizeColumnsToContents();
    for (int column : {0, 1})
        table->setColumnWidth(column, table->columnWidth(column) + 24);
    table->horizontalHeader()->setStretchLastSection(true);

    // Keys of the 3-D view, which are not actions of a menu.
    auto* viewKeys = new QLabel(
        tr("In the 3-D view while teleoperating: the arrow keys move the tool frame one step along x and "
           "y, Page Up and Page Down along z; with Shift they turn it about x, y and z. A step is 5 mm "
           "and 5 degrees unless set in View > Teleoperation Steps; the view's corner shows the steps. "
           "Presses with no pause of a second between them are one step of Undo."),
        this);
    viewKeys->setObjectName(QStringLiteral("viewKeys"));
    viewKeys->setWordWrap(true);

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
    buttons->setObjectName(QStringLiteral("buttonBox"));
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(table);
    layout->addWidget(viewKeys);
    layout->addWidget(buttons);
    resize(640, 560);
}

void addNewcomerTips(QMainWindow* window) {
    const QHash<QString, QString> tips = {
        {QStringLiteral("actionRecordRespawnState"),
         QObject::tr("The respawn state is a snapshot of the cell: every robot's joint positions and every "
                     "object's pose. Record it here; Reset to Respawn State puts the cell back to it, as "
                     "before each run.")},
        {QStringLiteral("actionResetToRespawnState"),
         QObject::tr("Puts every robot and object back where the respawn state recorded them (a snapshot of "
                     "the cell taken when the project was opened or saved, or with Record Respawn State).")},
        {QStringLiteral("actionAddVariable_MotionLimits"),
         QObject::tr("Motion limits: the highest joint speeds and accelerations a move may use. Moves that "
                     "name these limits go no faster.")},
        {QStringLiteral("actionAddVariable_JointPositionTarget"),
         QObject::tr("A joint position target: where a robot's joints should go, fixed or drawn at random "
                     "(uniform or Gaussian) for each run.")},
        {QStringLiteral("actionAddVariable_TaskRegionTarget"),
         QObject::tr(
             "A task region target: a pose drawn at random inside a task region for each run; inverse "
             "kinematics (IK) finds the joint positions that reach it, starting from seed positions.")},
        {QStringLiteral("actionAddVariable_MixtureTarget"),
         QObject::tr("A mixture target: for each run it picks one of several targets (its components) at "
                     "random, by their weights, and draws from that one.")},
        {QStringLiteral("actionTeleoperationMode"),
         QObject::tr("Teleoperation: move a robot's tool frame by hand (drag the handle, or use the arrow "
                     "keys); the joints follow through inverse kinematics.")},
        {QStringLiteral("actionImportRobot"),
         QObject::tr("Reads a robot from its URDF description (the file robot makers publish) with the mesh "
                     "files it names. Where the description branches, you choose the base and the tip link. "
                     "The project keeps the description and the meshes: it opens wherever it is moved.")},
        {QStringLiteral("actionAddItemFromMesh"),
         QObject::tr("An item shaped as a part from CAD: a mesh file in STL, OBJ, COLLADA, PLY, 3MF, glTF or "
                     "another format Assimp reads, in millimetres, metres or inches. It is drawn and checked "
                     "for collisions as its triangles.")},
        {QStringLiteral("actionRunTrials"),
         QObject::tr("Trials run a program many times, each with its own random draws, to see how often it "
                     "works and why it faults.")},
    };
    // Rich text, so that the tooltip wraps; it names the action too, for a toolbar button that
    // shows its icon alone.
    for (auto it = tips.cbegin(); it != tips.cend(); ++it)
        if (auto* action = window->findChild<QAction*>(it.key()))
            action->setToolTip(
                QStringLiteral("<p><b>%1</b></p><p>%2</p>")
                    .arg(withoutMnemonic(action->text()).toHtmlEscaped(), it.value().toHtmlEscaped()));
    for (QMenu* menu : window->findChildren<QMenu*>())
        menu->setToolTipsVisible(true);
}
