#pragma once
// The project tree: the work cell's objects grouped by kind, the programs as behavior trees and
// the variables.

#include <kestrin/project_change.h>

#include <QHash>
#include <QSet>
#include <QTreeWidget>
#include <array>
#include <vector>

class KSProjectContainer;

namespace kestrin {
class Behavior;
class Project;
class Type;
class Variable;
class Workspace;
class WorkspaceObject;
} // namespace kestrin

/// Shows the container's current project. It reads the project only in
/// updateProjectTreeContent (and when the container replaces its project), so it may lag behind
/// the project until then.
///
/// Refilling is incremental: the tree follows the project's change notices, and only the items
/// of objects the project told of are made, dropped, renamed or moved (programs and variables,
/// which are few, are compared whole when any of them changed). Expansion and selection survive
/// a refill; they are remembered by each item's key (KeyRole).
///
/// Runs are shown on the behaviors: the one a run is playing in bold on a highlight, scrolled into
/// view; the one a run faulted in, in red with the reason as its tooltip, until the next run or
/// until the project changes (a step recorded, undone or redone, or another project: the next
/// refill takes the mark off).
class KSProjectTree : public QTreeWidget, private kestrin::ProjectObserver {
    Q_OBJECT
public:
    enum class Group { Robots, Effectors, Items, TaskRegions, Cameras, Fiducials, Programs, Variables };
    static constexpr int kGroupCount = 8;

    /// What an item stands for (KindRole).
    enum class ItemKind { Group, Object, Behavior, Variable };

    /// Item data, column 0. KeyRole: a key that stays the same across refills,
    /// "group:<label>", "object:<id>", "behavior:<name>" or "variable:<name>".
    /// KindRole: the ItemKind as int. IdRole: the object id (qulonglong), or the behavior or
    /// variable name, or the group label.
    static constexpr int KeyRole = Qt::UserRole;
    static constexpr int KindRole = Qt::UserRole + 1;
    static constexpr int IdRole = Qt::UserRole + 2;

    /// The tree reads the project from `container`, which must outlive it.
    explicit KSProjectTree(KSProjectContainer* container, QWidget* parent = nullptr);
    ~KSProjectTree() override;

    /// Brings the tree in line with the container's current project.
    void updateProjectTreeContent();

    static QString groupLabel(Group group);
    QTreeWidgetItem* groupItem(Group group) const { return m_groups[static_cast<size_t>(group)]; }
    /// The item of a listed workspace object, behavior or variable as of the last refill, or nullptr.
    QTreeWidgetItem* itemForObject(quint64 id) const;
    QTreeWidgetItem* itemForBehavior(const QString& name) const;
    QTreeWidgetItem* itemForVariable(const QString& name) const;
    QTreeWidgetItem* itemForKey(const QString& key) const;

    /// What an item stands for in the current project; nullptr when the item is of another kind
    /// or its object no longer exists.
    kestrin::WorkspaceObject* objectAt(const QTreeWidgetItem* item) const;
    kestrin::Behavior* behaviorAt(const QTreeWidgetItem* item) const;
    kestrin::Variable* variableAt(const QTreeWidgetItem* item) const;

    /// Marks the behavior a run is playing (moving the mark from the one before); an empty name
    /// or one the tree does not show marks none.
    void markRunningBehavior(const QString& name);
    /// Marks the behavior a run faulted in, taking off the running mark.
    void markFaultedBehavior(const QString& name, const QString& reason);
    /// Takes off both marks.
    void clearRunMarks();

    /// Selects the next item after the current one (wrapping around) whose name holds `text`,
    /// ignoring case, unfolding what holds it and scrolling to it. False when none does.
    bool findNext(const QString& text);

signals:
    /// The user typed a new name into an item (F2); the tree shows the model's name again until
    /// the project says otherwise.
    void renameRequested(QTreeWidgetItem* item, const QString& name);
    /// A behavior was dragged to `parent` (nullptr: among the programs), to be put at `index`
    /// among its children (-1: at the end). The tree itself moves nothing.
    void behaviorDropped(kestrin::Behavior* behavior, kestrin::Behavior* parent, int index,
                         const QString& parentName);

protected:
    void dragMoveEvent(QDragMoveEvent* event) override;
    void dropEvent(QDropEvent* event) override;
    /// Names of the marked behaviors; empty when none is marked.
    QString runningBehavior() const { return m_running.name; }
    QString faultedBehavior() const { return m_fault.name; }

private:
    /// Where a drop at `pos` would put the behavior: its parent item and index (-1: the end);
    /// false when it cannot go there.
    bool dropPlace(const QPoint& pos, QTreeWidgetItem** parentItem, int* index) const;
    void itemEdited(QTreeWidgetItem* item, int column);

    struct RunMark {
        QTreeWidgetItem* item = nullptr;
        QString name;
    };
    void unmark(RunMark& mark);
    /// Forgets marks on items about to be deleted.
    void forgetMarksOn(const std::vector<QTreeWidgetItem*>& items);

    struct ObjectEntry {
        QTreeWidgetItem* item;
        const kestrin::WorkspaceObject* object; // identity only, never dereferenced
        const kestrin::Type* type;
        QString name;
    };
    struct NamedEntry {
        QTreeWidgetItem* item;
        const kestrin::Type* type;
        QString name;
    };

    void projectChanged(const kestrin::ProjectChange& change) override;
    void projectDestroyed() override;
    void watch(kestrin::Project* project);

    void resetContent();
    /// Brings the items of the objects told of in line with the workspace.
    void syncChangedObjects(kestrin::Workspace* workspace);
    /// Puts `item` under `parent` where its id belongs among the other objects (by id).
    void placeById(QTreeWidgetItem* parent, QTreeWidgetItem* item, quint64 id);
    void syncWorkspace(kestrin::Workspace* workspace);
    void syncProject(kestrin::Project* project);
    QTreeWidgetItem* objectItem(const kestrin::WorkspaceObject* object, QSet<quint64>& live,
                                std::vector<QTreeWidgetItem*>& stale);
    void setChildren(QTreeWidgetItem* parent, const std::vector<QTreeWidgetItem*>& children);
    void discard(std::vector<QTreeWidgetItem*>& items);
    void restoreExpansion(QTreeWidgetItem* item);

    KSProjectContainer* m_container;
    std::array<QTreeWidgetItem*, kGroupCount> m_groups{};

    QHash<quint64, ObjectEntry> m_objects;
    QHash<const kestrin::Behavior*, NamedEntry> m_behaviors; // keys for identity only
    QHash<const kestrin::Variable*, NamedEntry> m_variables;
    QHash<QString, QTreeWidgetItem*> m_behaviorByName;
    QHash<QString, QTreeWidgetItem*> m_variableByName;

    /// Keys of the items the user has expanded (kept while an item is out of the tree).
    QSet<QString> m_expanded;
    /// Items put (back) into the tree during the current refill, whose expansion is restored.
    std::vector<QTreeWidgetItem*> m_inserted;

    // What the tree showed at the last refill, and what the project told of since.
    bool m_resetPending = true;
    const kestrin::Project* m_shownProject = nullptr;
    const kestrin::Workspace* m_shownWorkspace = nullptr;
    kestrin::Project* m_watched = nullptr;
    QHash<quint64, bool> m_changedObjects; // id: true when removed
    bool m_programsChanged = false;

    RunMark m_running;
    RunMark m_fault;
    // The project and its history's count of content changes when the fault was marked.
    const kestrin::Project* m_faultProject = nullptr;
    quint64 m_faultChanges = 0;
};
