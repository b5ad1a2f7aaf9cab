#pragma once
// The property panel: the properties of what is selected in the project tree, with editors.

#include <kestrin/project_change.h>

#include <QString>
#include <QWidget>
#include <functional>
#include <memory>
#include <vector>

class KSProjectContainer;
class KSProjectTree;
class QDoubleSpinBox;
class QFormLayout;
class QLabel;
class QScrollArea;

namespace kestrin {
class Behavior;
class Distribution;
class Project;
class Variable;
class WorkspaceObject;
} // namespace kestrin

/// Shows the one workspace object, behavior or variable selected in the project tree and edits
/// it. Contract:
/// - It keeps no pointer into the project between calls: what it shows is looked up again from
///   the tree's selection every time, since undo and loading replace the project's objects. It
///   follows the project's change notices: a change of what it shows (a jog, a run, an undo)
///   brings the editors in line once control is back in the event loop.
/// - Every edit goes through the core library's validating setter. A refused value changes
///   nothing: the message shows in the property panel (objectName "propertyPanelError") and the editor
///   goes back to the model's value.
/// - An accepted edit is one step of the project's undo history ("Edit Size of 'Box'"); then the
///   viewer and the tree catch up, the view redraws and projectEdited() is emitted. Dragging a
///   joint slider is one step, recorded when the slider is let go.
/// - Widgets are kept in step with the model by one pair: updateWidgetFromModel() (under a guard
///   flag, so that it never writes back) and the per-editor updates of the model.
/// - Lengths are shown in metres, angles in degrees (joint speeds in degrees per second).
class KSPropertyPanel : public QWidget, private kestrin::ProjectObserver {
    Q_OBJECT
public:
    /// The property panel reads the project from `container` and the selection from `tree`; both
    /// must outlive it.
    KSPropertyPanel(KSProjectContainer* container, KSProjectTree* tree, QWidget* parent = nullptr);
    ~KSPropertyPanel() override;

    /// Follows the tree's selection and brings every editor in line with the project (after an
    /// undo, a teleoperation step, a run). Rebuilds the editors only when what is selected, or
    /// its shape (number of joints, kind of distribution), changed.
    void refresh();
    /// The message of the last refused edit; empty once an edit was accepted or the selection
    /// changed.
    QString errorText() const;

signals:
    /// An edit was accepted and recorded.
    void projectEdited();

private:
    /// What the tree has selected, looked up in the current project.
    struct Subject {
        kestrin::WorkspaceObject* object = nullptr;
        kestrin::Behavior* behavior = nullptr;
        kestrin::Variable* variable = nullptr;
        int selectedCount = 0;
        bool isSet() const { return object || behavior || variable; }
        QString name() const;
    };
    using Change = std::function<void(const Subject&)>;
    using Sync = std::function<void(const Subject&)>;

    void projectChanged(const kestrin::ProjectChange& change) override;
    void projectDestroyed() override { m_watched = nullptr; }
    void watch(kestrin::Project* project);

    Subject current() const;
    QString shapeOf(const Subject& subject) const;
    void scheduleRefresh();
    void buildPage(const Subject& subject);
    void updateWidgetFromModel();

    /// Runs `change` on the current subject when the page it was made for is still shown. A
    /// kestrin::Error is shown and the editors reset; otherwise the edit is recorded as
    /// "Edit <field> of '<name>'" and everything catches up. With `live`, the change is drawn but
    /// recorded only by finishLiveEdit (slider drags).
    void apply(int page, const QString& field, const Change& change, bool live = false);
    void finishLiveEdit();
    void afterEdit(const QString& step);
    void showError(const QString& message);

    // Page builders; each adds editors to `form` and their update functions to m_sync.
    void addNameRow(QFormLayout* form);
    /// The cell's settings (its clearance), when nothing is selected.
    void addCellRows(QFormLayout* form);
    void addObjectRows(QFormLayout* form, const kestrin::WorkspaceObject& object);
    void addPoseRows(QFormLayout* form, const kestrin::WorkspaceObject& object);
    void addSizeRows(QFormLayout* form);
    void addJointRows(QFormLayout* form, int joints);
    void addActionRows(QFormLayout* form, const kestrin::Behavior& behavior);
    void addVariableRows(QFormLayout* form, const kestrin::Variable& variable);
    /// Editors of a distribution over joint positions; `get` finds it in a subject and `commit`
    /// hands an edited copy back.
    void addDistributionRows(
        QFormLayout* form, const QString& field, const QString& prefix, const kestrin::Distribution& shape,
        const std::function<const kestrin::Distribution*(const Subject&)>& get,
        const std::function<void(const Subject&, std::unique_ptr<kestrin::Distribution>)>& commit);
    void addSetFromRobotRows(QFormLayout* form, int joints);

    QDoubleSpinBox* makeSpin(const QString& objectName, double min, double max, int decimals,
                             const QString& suffix);

    KSProjectContainer* m_container;
    KSProjectTree* m_tree;
    QLabel* m_title;
    QLabel* m_error;
    QScrollArea* m_scroll;

    QString m_shape;          // what the current page was built for
    int m_pageNumber = 0;     // edits from the editors of an older page are ignored
    std::vector<Sync> m_sync; // update-widget-from-model, one per editor group
    bool m_updating = false;  // guard: the widgets are being set from the model
    bool m_editing = false;   // an edit is catching up (the tree refills)
    bool m_refreshQueued = false;
    QString m_liveStep; // a drag under way, recorded when it ends
    kestrin::Project* m_watched = nullptr;
    // What the page shows, as the project's notices name it (Project: the cell's settings).
    kestrin::ProjectChange::Subject m_shownSubject = kestrin::ProjectChange::Subject::Project;
    quint64 m_shownId = 0;
};
