#pragma once
// A user at work in the studio, for long randomised tests: picks what to do next, and how to
// answer each dialog, from one random stream (adds, property panel edits, deletes, undo and redo,
// saves and opens, resets, runs, teleoperation, screenshots).

#include "dialog_driver.h"
#include "studio_fixture.h"

#include <kestrin_app/dialogs.h>

#include <QCheckBox>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>
#include <QPushButton>
#include <QSlider>
#include <QSpinBox>

#include <functional>
#include <random>

namespace testing {

using kestrin_app::content::KSContentHandler;

/// A user at work: picks what to do next, and how to answer each dialog, from one random stream.
class User {
public:
    User(Studio& studio, const QString& folder, quint32 seed) : s(studio), m_folder(folder), m_rng(seed) {}

    /// Does one random thing; returns its name.
    QString act() {
        const int size = int(s.workspace()->objects().size() + s.project()->variableList().size() +
                             s.project()->programList().size());
        // Adding gets rarer as the cell fills up, so that it stays below about forty things.
        const int addWeight = std::max(2, 45 - size);
        const std::vector<std::pair<int, std::function<QString()>>> choices{
            {addWeight, [this] { return addSomething(); }},
            {25, [this] { return editSomething(); }},
            {std::max(4, size / 2), [this] { return deleteSomething(); }},
            {8, [this] { return call("undo", &KSContentHandler::undo); }},
            {5, [this] { return call("redo", &KSContentHandler::redo); }},
            {3, [this] { return saveAs(); }},
            {2, [this] { return call("save", &KSContentHandler::saveProject); }},
            {2, [this] { return openSaved(); }},
            {1, [this] { return openTemplate(); }},
            {1, [this] { return call("new project", &KSContentHandler::newProject); }},
            {2, [this] { return call("record respawn state", &KSContentHandler::recordRespawnState); }},
            {2, [this] { return call("reset state", &KSContentHandler::resetState); }},
            {5, [this] { return call("run", &KSContentHandler::runLocalSimulator); }},
            {3, [this] { return teleoperate(); }},
            {1, [this] { return call("camera mode", &KSContentHandler::setCameraMode); }},
            {1, [this] { return call("reset viewer", &KSContentHandler::resetViewer); }},
            {1, [this] { return screenshot(); }},
        };
        int total = 0;
        for (const auto& c : choices)
            total += c.first;
        int pick = pickInt(0, total - 1);
        for (const auto& c : choices) {
            if (pick < c.first)
                return c.second();
            pick -= c.first;
        }
        return QString();
    }

    QString lastSaved() const { return m_saved; }

private:
    // --- Dialogs ---------------------------------------------------------------------------------

    /// Answers whatever dialogs the next operation opens (at most `dialogs` of them: a save-first
    /// question, its file chooser, the chooser's own overwrite question, and the operation's own
    /// dialog), the way a hurried user would: mostly OK, sometimes Cancel, with random choices in
    /// every field. Answers not used are dropped before the next operation.
    void answerDialogs(int dialogs = 8) {
        for (int i = 0; i < dialogs; ++i)
            DialogDriver::expect([this](QWidget* dialog) { answer(dialog); });
    }

    void answer(QWidget* dialog) {
        if (auto* box = qobject_cast<QMessageBox*>(dialog)) {
            (chance(0.5) ? DialogDriver::accept() : DialogDriver::reject())(box);
            return;
        }
        if (qobject_cast<QFileDialog*>(dialog)) {
            DialogDriver::chooseFile(chance(0.05) ? QString() : m_nextPath)(dialog);
            return;
        }
        for (auto* combo : dialog->findChildren<QComboBox*>())
            if (combo->count() > 0)
                combo->setCurrentIndex(pickInt(0, combo->count() - 1));
        for (auto* check : dialog->findChildren<QCheckBox*>())
            check->setChecked(chance(0.5));
        for (auto* spin : dialog->findChildren<QSpinBox*>())
            spin->setValue(pickInt(spin->minimum(), std::min(spin->maximum(), 4)));
        for (auto* edit : dialog->findChildren<QLineEdit*>())
            if (chance(0.3))
                edit->setText(someName());
        (chance(0.05) ? DialogDriver::reject() : DialogDriver::accept())(dialog);
    }

    /// Names that collide with what is there, or are blank, as often as they are new.
    QString someName() {
        static const QStringList pool{"Arm", "Arm 2", "Bench",    "Main",   "Home", "",
                                      "   ", "Tip",   "Région ✓", "Camera", "Part"};
        return chance(0.7) ? pool.at(pickInt(0, pool.size() - 1))
                           : QStringLiteral("N%1").arg(pickInt(0, 999));
    }

    QString call(const QString& name, void (KSContentHandler::*op)()) {
        answerDialogs();
        (s.handler().*op)();
        return name;
    }

    // --- Operations --------------------------------------------------------------------------------

    QString addSomething() {
        KSContentHandler& h = s.handler();
        answerDialogs();
        auto typeName = [this](const QList<const kestrin::Type*>& table) {
            // Now and then a name the handler does not know, which must create nothing.
            return chance(0.03) ? QStringLiteral("NoSuchType")
                                : table.at(pickInt(0, table.size() - 1))->name();
        };
        switch (pickInt(0, 8)) {
        case 0:
            h.addRobot(typeName(KSContentHandler::robotTypes()));
            return "add robot";
        case 1:
            h.addEffector(typeName(KSContentHandler::effectorTypes()));
            return "add effector";
        case 2:
            h.addToolFrame();
            return "add tool frame";
        case 3:
            h.addItem(typeName(KSContentHandler::itemTypes()));
            return "add item";
        case 4:
            h.addTaskRegion();
            return "add task region";
        case 5:
            h.addCamera(typeName(KSContentHandler::cameraTypes()));
            return "add camera";
        case 6:
            h.addFiducial(typeName(KSContentHandler::fiducialTypes()));
            return "add fiducial";
        case 7: {
            static const std::vector<const kestrin::Type*> behaviors{
                &kestrin::Sequence::staticType(), &kestrin::MoveToJointTarget::staticType(),
                &kestrin::MoveToTaskRegion::staticType(), &kestrin::Wait::staticType(),
                &kestrin::MotionLimits::staticType()}; // the last is no behavior: refused
            h.addBehavior(*behaviors.at(size_t(pickInt(0, int(behaviors.size()) - 1))));
            return "add behavior";
        }
        default: {
            const auto& table = KSContentHandler::variableTypes();
            h.addVariable(*table.at(pickInt(0, table.size() - 1)));
            return "add variable";
        }
        }
    }

    /// Everything the tree shows below its groups.
    QList<QTreeWidgetItem*> treeEntries() const {
        QList<QTreeWidgetItem*> entries;
        std::function<void(QTreeWidgetItem*)> walk = [&](QTreeWidgetItem* item) {
            for (int i = 0; i < item->childCount(); ++i) {
                QTreeWidgetItem* child = item->child(i);
                if (child->data(0, KSProjectTree::KindRole).toInt() != int(KSProjectTree::ItemKind::Group))
                    entries << child;
                walk(child);
            }
        };
        walk(s.tree()->invisibleRootItem());
        return entries;
    }

    bool selectSomething() {
        const QList<QTreeWidgetItem*> entries = treeEntries();
        if (entries.isEmpty())
            return false;
        s.select(entries.at(pickInt(0, entries.size() - 1)));
        if (chance(0.15)) // and one more, with Ctrl held
            entries.at(pickInt(0, entries.size() - 1))->setSelected(true);
        settle();
        return true;
    }

    /// Selects something in the tree and changes one of the property panel's editors.
    QString editSomething() {
        if (!selectSomething())
            return "edit (nothing to select)";
        QList<QWidget*> editors;
        for (QWidget* w : s.propertyPanel()->findChildren<QWidget*>())
            if (w->isEnabled() && w->isVisibleTo(s.propertyPanel()) &&
                (qobject_cast<QDoubleSpinBox*>(w) || qobject_cast<QSlider*>(w) ||
                 qobject_cast<QComboBox*>(w) || qobject_cast<QPushButton*>(w) ||
                 w->objectName() == QLatin1String("propertyPanelName")))
                editors << w;
        if (editors.isEmpty())
            return "edit (no editor)";
        QWidget* w = editors.at(pickInt(0, editors.size() - 1));
        if (auto* spin = qobject_cast<QDoubleSpinBox*>(w)) {
            const double lo = std::max(spin->minimum(), -20.0), hi = std::min(spin->maximum(), 20.0);
            spin->setValue(chance(0.1) ? (chance(0.5) ? spin->minimum() : spin->maximum())
                                       : std::uniform_real_distribution<double>(lo, hi)(m_rng));
        } else if (auto* slider = qobject_cast<QSlider*>(w)) {
            slider->setSliderDown(true);
            for (int i = 0; i < 3; ++i)
                slider->setValue(pickInt(slider->minimum(), slider->maximum()));
            slider->setSliderDown(false);
        } else if (auto* combo = qobject_cast<QComboBox*>(w)) {
            if (combo->count() > 0)
                combo->setCurrentIndex(pickInt(0, combo->count() - 1));
        } else if (auto* button = qobject_cast<QPushButton*>(w)) {
            button->click();
        } else if (auto* edit = qobject_cast<QLineEdit*>(w)) {
            edit->setText(someName());
            QTest::keyClick(edit, Qt::Key_Return);
        }
        settle();
        return QStringLiteral("edit %1").arg(w->objectName());
    }

    QString deleteSomething() {
        if (!selectSomething())
            return "delete (nothing to select)";
        s.handler().deleteSelection();
        return "delete";
    }

    QString saveAs() {
        // Now and then into a folder that does not exist: a clear failure, nothing written.
        m_nextPath = chance(0.1) ? m_folder + QStringLiteral("/missing/cell.kestrin")
                                 : m_folder + QStringLiteral("/cell%1.kestrin").arg(pickInt(0, 2));
        call("save as", &KSContentHandler::saveProjectAs);
        if (s.handler()._active_filename == m_nextPath && QFileInfo::exists(m_nextPath))
            m_saved = m_nextPath;
        return "save as";
    }

    QString openSaved() {
        m_nextPath = m_saved.isEmpty() ? m_folder + QStringLiteral("/never-saved.kestrin") : m_saved;
        return call("open", &KSContentHandler::openProject);
    }

    QString openTemplate() {
        answerDialogs();
        s.handler().openTemplate(QStringLiteral(KESTRIN_SOURCE_DIR "/data/templates/demo_cell.kestrin"));
        return "open template";
    }

    /// Teleoperation mode on a chosen robot and tool, then a few jogs with the keys. The mode
    /// stays on for whatever comes next (a delete of that very robot, an undo, a run).
    QString teleoperate() {
        call("teleoperate", &KSContentHandler::setTeleoperationMode);
        if (!s.viewer()->isTeleoperating())
            return "teleoperate (refused)";
        static const int keys[] = {Qt::Key_Left, Qt::Key_Right,  Qt::Key_Up,
                                   Qt::Key_Down, Qt::Key_PageUp, Qt::Key_PageDown};
        QWidget* view = s.viewer()->findChild<QWidget*>(QStringLiteral("workspaceViewerRenderWidget"));
        for (int i = pickInt(1, 5); i > 0; --i)
            QTest::keyClick(view, Qt::Key(keys[pickInt(0, 5)]),
                            chance(0.3) ? Qt::ShiftModifier : Qt::NoModifier);
        return "teleoperate";
    }

    QString screenshot() {
        m_nextPath = m_folder + QStringLiteral("/shot.png");
        return call("screenshot", &KSContentHandler::screenshotViewer);
    }

    bool chance(double p) { return std::bernoulli_distribution(p)(m_rng); }
    int pickInt(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(m_rng); }

    Studio& s;
    QString m_folder;
    QString m_nextPath;
    QString m_saved;
    std::mt19937 m_rng;
};

} // namespace testing
