#include "tree.h"

#include <kestrin/behavior.h>
#include <kestrin/effector.h>
#include <kestrin/project.h>
#include <kestrin/robot.h>
#include <kestrin/tool_frame.h>
#include <kestrin/undo_history.h>
#include <kestrin/variable.h>
#include <kestrin/workspace.h>
#include <kestrin_app/container.h>
#include <kestrin_app/kind_names.h>

#include <QColor>
#include <QDragMoveEvent>
#include <QDropEvent>
#include <QFont>
#include <QHeaderView>
#include <algorithm>
#include <functional>

using kestrin::Behavior;
using kestrin::Category;
using kestrin::Effector;
using kestrin::Robot;
using kestrin::ToolFrame;
using kestrin::Variable;
using kestrin::WorkspaceObject;

namespace {

// Above this many objects told of at once (and an eighth of the cell), one comparison of the
// whole workspace is cheaper than placing item after item.
constexpr int kWholeSync = 256;

// Above this many removals under one parent, taking all children out and putting the live ones
// back is cheaper than removing them one by one (each removal searches the child list).
constexpr int kBulkRemoval = 32;

using Group = KSProjectTree::Group;
using ItemKind = KSProjectTree::ItemKind;

Group groupOf(Category category) {
    switch (category) {
    case Category::Robot:
        return Group::Robots;
    case Category::Effector:
        return Group::Effectors;
    case Category::Item:
        return Group::Items;
    case Category::TaskRegion:
        return Group::TaskRegions;
    case Category::Camera:
        return Group::Cameras;
    case Category::Fiducial:
        return Group::Fiducials;
    case Category::ToolFrame:
        break;
    }
    // Tool frames hang under their robot; callers never ask for their group.
    return Group::Items;
}

QString objectKey(quint64 id) {
    return QStringLiteral("object:%1").arg(id);
}
QString behaviorKey(const QString& name) {
    return QStringLiteral("behavior:") + name;
}
QString variableKey(const QString& name) {
    return QStringLiteral("variable:") + name;
}
QString groupKey(const QString& label) {
    return QStringLiteral("group:") + label;
}

QTreeWidgetItem* makeItem(const QString& name, const QString& typeName, ItemKind kind, const QString& key,
                          const QVariant& id) {
    auto* item = new QTreeWidgetItem(
        QStringList{name, typeName.isEmpty() ? QString() : kestrin_app::readableKindName(typeName)});
    if (kind != ItemKind::Group)
        item->setFlags(item->flags() | Qt::ItemIsEditable);
    // Behaviors can be dragged onto others and among the programs; nothing else moves.
    if (kind == ItemKind::Behavior)
        item->setFlags(item->flags() | Qt::ItemIsDragEnabled | Qt::ItemIsDropEnabled);
    else
        item->setFlags(item->flags() & ~(Qt::ItemIsDragEnabled | Qt::ItemIsDropEnabled));
    item->setData(0, KSProjectTree::KeyRole, key);
    item->setData(0, KSProjectTree::KindRole, static_cast<int>(kind));
    item->setData(0, KSProjectTree::IdRole, id);
    return item;
}

QString keyOf(const QTreeWidgetItem* item) {
    return item->data(0, KSProjectTree::KeyRole).toString();
}

} // namespace

KSProjectTree::KSProjectTree(KSProjectContainer* container, QWidget* parent)
    : QTreeWidget(parent), m_container(container) {
    setObjectName(QStringLiteral("projectTree"));
    setColumnCount(2);
    setHeaderLabels({tr("Name"), tr("Type")});
    header()->setSectionResizeMode(0, QHeaderView::Stretch);
    header()->setSectionResizeMode(1, QHeaderView::ResizeToContents);
    header()->setStretchLastSection(false);
    setUniformRowHeights(true); // keeps layout cheap in large cells
    setSelectionMode(QAbstractItemView::ExtendedSelection);
    setSortingEnabled(false);
    setEditTriggers(QAbstractItemView::EditKeyPressed);
    setDragEnabled(true);
    setAcceptDrops(true);
    setDropIndicatorShown(true);
    setDragDropMode(QAbstractItemView::InternalMove);
    connect(this, &QTreeWidget::itemChanged, this, &KSProjectTree::itemEdited);

    for (int g = 0; g < kGroupCount; ++g) {
        const QString label = groupLabel(static_cast<Group>(g));
        auto* item = makeItem(label, QString(), ItemKind::Group, groupKey(label), label);
        if (static_cast<Group>(g) == Group::Programs)
            item->setFlags(item->flags() | Qt::ItemIsDropEnabled);
        m_groups[static_cast<size_t>(g)] = item;
        addTopLevelItem(item);
        m_expanded.insert(groupKey(label));
        item->setExpanded(true);
    }

    connect(this, &QTreeWidget::itemExpanded, this,
            [this](QTreeWidgetItem* item) { m_expanded.insert(keyOf(item)); });
    connect(this, &QTreeWidget::itemCollapsed, this,
            [this](QTreeWidgetItem* item) { m_expanded.remove(keyOf(item)); });
    // Ids start again in a new project: what the tree holds must not be matched against it.
    connect(m_container, &KSProjectContainer::projectReplaced, this, [this] {
        m_resetPending = true;
        watch(m_container->project());
        updateProjectTreeContent();
    });
    watch(m_container->project());
}

KSProjectTree::~KSProjectTree() {
    watch(nullptr);
}

void KSProjectTree::watch(kestrin::Project* project) {
    if (kestrin::Project::moveObserver(this, m_watched, project))
        m_resetPending = true;
}

void KSProjectTree::projectChanged(const kestrin::ProjectChange& change) {
    if (change.subject == kestrin::ProjectChange::Subject::Object)
        m_changedObjects[change.id] |= change.kind == kestrin::ProjectChange::Kind::Removed;
    else
        m_programsChanged = true;
}

void KSProjectTree::projectDestroyed() {
    m_watched = nullptr;
    m_resetPending = true;
}

QString KSProjectTree::groupLabel(Group group) {
    switch (group) {
    case Group::Robots:
        return tr("Robots");
    case Group::Effectors:
        return tr("Effectors");
    case Group::Items:
        return tr("Items");
    case Group::TaskRegions:
        return tr("Task Regions");
    case Group::Cameras:
        return tr("Cameras");
    case Group::Fiducials:
        return tr("Fiducials");
    case Group::Programs:
        return tr("Programs");
    case Group::Variables:
        return tr("Variables");
    }
    return QString();
}

void KSProjectTree::updateProjectTreeContent() {
    kestrin::Project* project = m_container->project();
    kestrin::Workspace* workspace = project ? project->workspace() : nullptr;

    if (m_fault.item &&
        (project != m_faultProject || !project || project->history().contentChangeCount() != m_faultChanges))
        unmark(m_fault);

    watch(project);
    const bool reset = m_resetPending || project != m_shownProject || workspace != m_shownWorkspace;
    if (reset) {
        resetContent();
        m_shownProject = project;
        m_shownWorkspace = workspace;
        m_resetPending = false;
    }

    const bool workspaceChanged = workspace && (reset || !m_changedObjects.isEmpty());
    const bool projectChanged = project && (reset || m_programsChanged);
    m_programsChanged = false;
    if (!workspaceChanged && !projectChanged) {
        m_changedObjects.clear();
        return;
    }

    // Items that are taken out and put back lose their selection and expansion in the view.
    QStringList selectedKeys;
    QString currentKey;
    if (!reset) {
        for (const QTreeWidgetItem* item : selectedItems())
            selectedKeys << keyOf(item);
        if (currentItem())
            currentKey = keyOf(currentItem());
    }

    m_inserted.clear();
    const int told = m_changedObjects.size();
    const bool syncObjects =
        workspaceChanged && (reset || (told > kWholeSync && told > workspace->objectCount() / 8));
    if (workspaceChanged && !syncObjects)
        syncChangedObjects(workspace);
    m_changedObjects.clear();
    if (syncObjects)
        syncWorkspace(workspace);
    if (projectChanged)
        syncProject(project);

    for (QTreeWidgetItem* item : m_inserted)
        restoreExpansion(item);
    m_inserted.clear();
    // An item taken out and put back may still say it is selected while the view has
    // forgotten it: select it again whatever it says.
    for (const QString& key : qAsConst(selectedKeys))
        if (QTreeWidgetItem* item = itemForKey(key))
            item->setSelected(true);
    if (!currentKey.isEmpty())
        if (QTreeWidgetItem* item = itemForKey(currentKey); item && item != currentItem())
            setCurrentItem(item, 0, QItemSelectionModel::NoUpdate);
}

void KSProjectTree::resetContent() {
    m_running = RunMark{};
    m_fault = RunMark{};
    for (QTreeWidgetItem* group : m_groups)
        qDeleteAll(group->takeChildren());
    m_objects.clear();
    m_behaviors.clear();
    m_variables.clear();
    m_behaviorByName.clear();
    m_variableByName.clear();
    m_changedObjects.clear();
    m_programsChanged = false;
}

void KSProjectTree::syncChangedObjects(kestrin::Workspace* workspace) {
    // Robots first, so that a tool frame told of with its robot finds the robot's item.
    std::vector<std::pair<quint64, bool>> told;
    told.reserve(size_t(m_changedObjects.size()));
    for (auto it = m_changedObjects.cbegin(); it != m_changedObjects.cend(); ++it)
        told.emplace_back(it.key(), it.value());
    const auto isFrame = [workspace](quint64 id) {
        const WorkspaceObject* o = workspace->findById(id);
        return o && o->category() == Category::ToolFrame;
    };
    std::stable_partition(told.begin(), told.end(), [&](const auto& t) { return !isFrame(t.first); });

    QSet<quint64> live;
    std::vector<QTreeWidgetItem*> stale;
    QSet<const Robot*> robots; // whose tool frames are put in order
    for (const auto& [id, removed] : told) {
        const WorkspaceObject* object = workspace->findById(id);
        const bool listed = object && object->isListed();
        auto it = m_objects.find(id);
        if (it != m_objects.end() &&
            (removed || !listed || it->object != object || it->type != &object->type())) {
            // Its tool frames' items are put back under it or dropped by their own notices.
            QTreeWidgetItem* item = it->item;
            for (QTreeWidgetItem* child : item->takeChildren())
                m_inserted.push_back(child);
            if (QTreeWidgetItem* parent = item->parent())
                parent->removeChild(item);
            stale.push_back(item);
            if (!listed)
                m_expanded.remove(objectKey(id));
            m_objects.erase(it);
        }
        if (!listed)
            continue;
        QTreeWidgetItem* item = objectItem(object, live, stale);
        if (object->category() == Category::ToolFrame) {
            const Robot* robot = static_cast<const ToolFrame*>(object)->robot();
            QTreeWidgetItem* robotItem = itemForObject(robot->id());
            if (!robotItem)
                continue; // its robot is not listed yet: it comes with the robot
            if (item->parent() != robotItem) {
                if (QTreeWidgetItem* old = item->parent())
                    old->removeChild(item);
                robotItem->addChild(item);
                m_inserted.push_back(item);
            }
            robots.insert(robot);
            continue;
        }
        QTreeWidgetItem* group = groupItem(groupOf(object->category()));
        if (item->parent() != group)
            placeById(group, item, id);
        if (object->category() == Category::Robot)
            robots.insert(static_cast<const Robot*>(object));
    }
    // Items taken out with a robot's that stayed nowhere are dropped with their robot's.
    for (QTreeWidgetItem* item : m_inserted)
        if (!item->parent() && !item->treeWidget() &&
            std::find(stale.begin(), stale.end(), item) == stale.end()) {
            const quint64 id = item->data(0, IdRole).toULongLong();
            if (m_objects.value(id).item == item)
                m_objects.remove(id);
            stale.push_back(item);
        }
    for (const Robot* robot : qAsConst(robots)) {
        QTreeWidgetItem* robotItem = itemForObject(robot->id());
        if (!robotItem)
            continue;
        std::vector<QTreeWidgetItem*> frames;
        for (const ToolFrame* frame : robot->toolFrames())
            if (frame->isListed())
                frames.push_back(objectItem(frame, live, stale));
        setChildren(robotItem, frames);
    }
    m_inserted.erase(std::remove_if(m_inserted.begin(), m_inserted.end(),
                                    [&](QTreeWidgetItem* i) {
                                        return std::find(stale.begin(), stale.end(), i) != stale.end();
                                    }),
                     m_inserted.end());
    forgetMarksOn(stale);
    qDeleteAll(stale);
}

void KSProjectTree::placeById(QTreeWidgetItem* parent, QTreeWidgetItem* item, quint64 id) {
    if (QTreeWidgetItem* old = item->parent())
        old->removeChild(item);
    // The cell lists objects in the order of their ids; so do the groups.
    int low = 0, high = parent->childCount();
    while (low < high) {
        const int mid = (low + high) / 2;
        if (parent->child(mid)->data(0, IdRole).toULongLong() < id)
            low = mid + 1;
        else
            high = mid;
    }
    parent->insertChild(low, item);
    m_inserted.push_back(item);
}

void KSProjectTree::syncWorkspace(kestrin::Workspace* workspace) {
    const std::vector<WorkspaceObject*> objects = workspace->objects();
    QSet<quint64> live;
    live.reserve(int(objects.size()));
    std::vector<QTreeWidgetItem*> stale;

    // Groups hold objects in the order they were added, robots their tool frames in the order
    // they were attached.
    std::array<std::vector<QTreeWidgetItem*>, kGroupCount> groupChildren;
    std::vector<std::pair<QTreeWidgetItem*, std::vector<QTreeWidgetItem*>>> robotChildren;
    for (const WorkspaceObject* object : objects) {
        if (object->category() == Category::ToolFrame)
            continue;
        QTreeWidgetItem* item = objectItem(object, live, stale);
        groupChildren[size_t(groupOf(object->category()))].push_back(item);
        if (object->category() != Category::Robot)
            continue;
        std::vector<QTreeWidgetItem*> frames;
        for (const ToolFrame* frame : static_cast<const Robot*>(object)->toolFrames())
            if (frame->isListed())
                frames.push_back(objectItem(frame, live, stale));
        robotChildren.emplace_back(item, std::move(frames));
    }

    for (auto it = m_objects.begin(); it != m_objects.end();) {
        if (live.contains(it.key())) {
            ++it;
            continue;
        }
        stale.push_back(it->item);
        m_expanded.remove(objectKey(it.key()));
        it = m_objects.erase(it);
    }
    discard(stale);

    for (int g = 0; g <= int(Group::Fiducials); ++g)
        setChildren(m_groups[size_t(g)], groupChildren[size_t(g)]);
    for (const auto& [robotItem, frames] : robotChildren)
        setChildren(robotItem, frames);
}

// The item of `object`, made when it has none. An entry left by another object under the same id
// (the workspace's contents were swapped by a load) is dropped into `stale`.
QTreeWidgetItem* KSProjectTree::objectItem(const WorkspaceObject* object, QSet<quint64>& live,
                                           std::vector<QTreeWidgetItem*>& stale) {
    const quint64 id = object->id();
    live.insert(id);
    auto it = m_objects.find(id);
    if (it != m_objects.end() && (it->object != object || it->type != &object->type())) {
        stale.push_back(it->item);
        m_objects.erase(it);
        it = m_objects.end();
    }
    if (it == m_objects.end()) {
        auto* item = makeItem(object->name(), object->type().name(), ItemKind::Object, objectKey(id),
                              QVariant::fromValue<qulonglong>(id));
        item->setText(1, kestrin_app::readableKindName(*object)); // an item shaped as a mesh says so
        if (object->category() == Category::Robot)
            m_expanded.insert(objectKey(id)); // show a robot's tool frames unless folded away
        m_objects.insert(id, ObjectEntry{item, object, &object->type(), object->name()});
        return item;
    }
    if (it->name != object->name()) {
        it->name = object->name();
        it->item->setText(0, it->name);
    }
    return it->item;
}

void KSProjectTree::syncProject(kestrin::Project* project) {
    std::vector<QTreeWidgetItem*> stale;
    std::vector<std::pair<QTreeWidgetItem*, std::vector<QTreeWidgetItem*>>> placements;

    // Behaviors and variables have no ids; they are matched by identity, and a rename keeps the
    // item (and moves what was remembered under the old key to the new one).
    auto rename = [this](NamedEntry& entry, const QString& name, const QString& oldKey,
                         const QString& newKey) {
        entry.name = name;
        entry.item->setText(0, name);
        entry.item->setData(0, KeyRole, newKey);
        entry.item->setData(0, IdRole, name);
        if (m_expanded.remove(oldKey))
            m_expanded.insert(newKey);
    };

    QHash<const Behavior*, NamedEntry> behaviors;
    // Depth first; `seen` also guards against a behavior listed twice.
    std::function<void(QTreeWidgetItem*, const std::vector<Behavior*>&)> collect =
        [&](QTreeWidgetItem* parent, const std::vector<Behavior*>& list) {
            std::vector<QTreeWidgetItem*> items;
            for (const Behavior* behavior : list) {
                if (behaviors.contains(behavior))
                    continue;
                NamedEntry entry;
                auto it = m_behaviors.find(behavior);
                if (it != m_behaviors.end() && it->type == &behavior->type()) {
                    entry = *it;
                    m_behaviors.erase(it);
                    if (entry.name != behavior->name())
                        rename(entry, behavior->name(), behaviorKey(entry.name),
                               behaviorKey(behavior->name()));
                } else {
                    if (it != m_behaviors.end()) {
                        stale.push_back(it->item);
                        m_behaviors.erase(it);
                    }
                    entry = NamedEntry{makeItem(behavior->name(), behavior->type().name(), ItemKind::Behavior,
                                                behaviorKey(behavior->name()), behavior->name()),
                                       &behavior->type(), behavior->name()};
                    m_expanded.insert(behaviorKey(behavior->name())); // programs show unfolded
                }
                behaviors.insert(behavior, entry);
                items.push_back(entry.item);
                collect(entry.item, behavior->children());
            }
            placements.emplace_back(parent, std::move(items));
        };
    collect(groupItem(Group::Programs), project->programList());
    for (auto it = m_behaviors.cbegin(); it != m_behaviors.cend(); ++it) {
        stale.push_back(it->item);
        m_expanded.remove(behaviorKey(it->name));
    }
    m_behaviors.swap(behaviors);

    QHash<const Variable*, NamedEntry> variables;
    std::vector<QTreeWidgetItem*> variableItems;
    for (const Variable* variable : project->variableList()) {
        if (variables.contains(variable))
            continue;
        NamedEntry entry;
        auto it = m_variables.find(variable);
        if (it != m_variables.end() && it->type == &variable->type()) {
            entry = *it;
            m_variables.erase(it);
            if (entry.name != variable->name())
                rename(entry, variable->name(), variableKey(entry.name), variableKey(variable->name()));
        } else {
            if (it != m_variables.end()) {
                stale.push_back(it->item);
                m_variables.erase(it);
            }
            entry = NamedEntry{makeItem(variable->name(), variable->type().name(), ItemKind::Variable,
                                        variableKey(variable->name()), variable->name()),
                               &variable->type(), variable->name()};
        }
        variables.insert(variable, entry);
        variableItems.push_back(entry.item);
    }
    for (auto it = m_variables.cbegin(); it != m_variables.cend(); ++it) {
        stale.push_back(it->item);
        m_expanded.remove(variableKey(it->name));
    }
    m_variables.swap(variables);
    placements.emplace_back(groupItem(Group::Variables), std::move(variableItems));

    discard(stale);
    for (const auto& [parent, children] : placements)
        setChildren(parent, children);

    m_behaviorByName.clear();
    for (const NamedEntry& entry : qAsConst(m_behaviors))
        m_behaviorByName.insert(entry.name, entry.item);
    m_variableByName.clear();
    for (const NamedEntry& entry : qAsConst(m_variables))
        m_variableByName.insert(entry.name, entry.item);
}

// Makes `children` the children of `parent`, in that order. Children already in place at the
// front stay untouched (with their selection and expansion); the rest are put in behind them.
void KSProjectTree::setChildren(QTreeWidgetItem* parent, const std::vector<QTreeWidgetItem*>& children) {
    const int want = int(children.size());
    int keep = 0;
    while (keep < parent->childCount() && keep < want && parent->child(keep) == children[size_t(keep)])
        ++keep;
    if (keep == parent->childCount() && keep == want)
        return;

    if (parent->childCount() - keep > kBulkRemoval) {
        const QList<QTreeWidgetItem*> taken = parent->takeChildren();
        for (int i = 0; i < keep; ++i) {
            parent->addChild(taken[i]);
            m_inserted.push_back(taken[i]);
        }
    } else {
        while (parent->childCount() > keep)
            parent->takeChild(parent->childCount() - 1);
    }

    QList<QTreeWidgetItem*> tail;
    tail.reserve(want - keep);
    for (int i = keep; i < want; ++i) {
        QTreeWidgetItem* item = children[size_t(i)];
        if (QTreeWidgetItem* old = item->parent())
            old->removeChild(item);
        tail.append(item);
        m_inserted.push_back(item);
    }
    parent->addChildren(tail);
}

// Deletes items whose object is gone. Their children are taken out first: live ones are put
// back by setChildren, the others are in `items` themselves.
void KSProjectTree::discard(std::vector<QTreeWidgetItem*>& items) {
    if (items.empty())
        return;
    forgetMarksOn(items);
    for (QTreeWidgetItem* item : items)
        item->takeChildren();

    QHash<QTreeWidgetItem*, int> perParent;
    for (QTreeWidgetItem* item : items)
        if (QTreeWidgetItem* parent = item->parent())
            ++perParent[parent];
    for (auto it = perParent.cbegin(); it != perParent.cend(); ++it)
        if (it.value() > kBulkRemoval)
            it.key()->takeChildren();
    for (QTreeWidgetItem* item : items)
        if (QTreeWidgetItem* parent = item->parent())
            parent->removeChild(item);

    qDeleteAll(items);
    items.clear();
}

void KSProjectTree::restoreExpansion(QTreeWidgetItem* item) {
    if (!item->treeWidget())
        return;
    if (m_expanded.contains(keyOf(item)) && !item->isExpanded())
        item->setExpanded(true);
    for (int i = 0; i < item->childCount(); ++i)
        restoreExpansion(item->child(i));
}

QTreeWidgetItem* KSProjectTree::itemForObject(quint64 id) const {
    const auto it = m_objects.constFind(id);
    return it == m_objects.cend() ? nullptr : it->item;
}

QTreeWidgetItem* KSProjectTree::itemForBehavior(const QString& name) const {
    return m_behaviorByName.value(name);
}

QTreeWidgetItem* KSProjectTree::itemForVariable(const QString& name) const {
    return m_variableByName.value(name);
}

QTreeWidgetItem* KSProjectTree::itemForKey(const QString& key) const {
    const int colon = key.indexOf(QLatin1Char(':'));
    if (colon < 0)
        return nullptr;
    const QStringRef kind = key.leftRef(colon);
    const QString rest = key.mid(colon + 1);
    if (kind == QLatin1String("object")) {
        bool ok = false;
        const quint64 id = rest.toULongLong(&ok);
        return ok ? itemForObject(id) : nullptr;
    }
    if (kind == QLatin1String("behavior"))
        return itemForBehavior(rest);
    if (kind == QLatin1String("variable"))
        return itemForVariable(rest);
    if (kind == QLatin1String("group"))
        for (QTreeWidgetItem* group : m_groups)
            if (group->data(0, IdRole).toString() == rest)
                return group;
    return nullptr;
}

WorkspaceObject* KSProjectTree::objectAt(const QTreeWidgetItem* item) const {
    if (!item || item->data(0, KindRole).toInt() != int(ItemKind::Object))
        return nullptr;
    const kestrin::Project* project = m_container->project();
    if (!project || !project->workspace())
        return nullptr;
    return project->workspace()->findById(item->data(0, IdRole).toULongLong());
}

Behavior* KSProjectTree::behaviorAt(const QTreeWidgetItem* item) const {
    if (!item || item->data(0, KindRole).toInt() != int(ItemKind::Behavior))
        return nullptr;
    const kestrin::Project* project = m_container->project();
    return project ? project->findBehavior(item->data(0, IdRole).toString()) : nullptr;
}

Variable* KSProjectTree::variableAt(const QTreeWidgetItem* item) const {
    if (!item || item->data(0, KindRole).toInt() != int(ItemKind::Variable))
        return nullptr;
    const kestrin::Project* project = m_container->project();
    return project ? project->findVariable(item->data(0, IdRole).toString()) : nullptr;
}

// --- Run marks -----------------------------------------------------------------------------------

namespace {
// A soft highlight behind the behavior playing, in the running light's amber; a fault in the
// faulted light's red.
const char* const kRunningBackground = "#ffe8a3";
const char* const kFaultForeground = "#c62828";
const char* const kFaultBackground = "#fde0e0";

void styleItem(QTreeWidgetItem* item, const QColor& foreground, const QColor& background,
               const QString& tip) {
    for (int column = 0; column < item->columnCount(); ++column) {
        QFont font = item->font(column);
        font.setBold(true);
        item->setFont(column, font);
        if (foreground.isValid())
            item->setForeground(column, foreground);
        item->setBackground(column, background);
        item->setToolTip(column, tip);
    }
}
} // namespace

void KSProjectTree::unmark(RunMark& mark) {
    if (QTreeWidgetItem* item = mark.item) {
        for (int column = 0; column < item->columnCount(); ++column)
            for (int role :
                 {int(Qt::FontRole), int(Qt::ForegroundRole), int(Qt::BackgroundRole), int(Qt::ToolTipRole)})
                item->setData(column, role, QVariant());
    }
    mark = RunMark{};
}

void KSProjectTree::forgetMarksOn(const std::vector<QTreeWidgetItem*>& items) {
    for (RunMark* mark : {&m_running, &m_fault})
        if (mark->item && std::find(items.begin(), items.end(), mark->item) != items.end())
            *mark = RunMark{};
}

void KSProjectTree::markRunningBehavior(const QString& name) {
    if (m_running.item && m_running.name == name)
        return;
    unmark(m_running);
    QTreeWidgetItem* item = name.isEmpty() ? nullptr : itemForBehavior(name);
    if (!item)
        return;
    if (m_fault.item == item)
        unmark(m_fault);
    styleItem(item, QColor(), QColor(QString::fromLatin1(kRunningBackground)), QString());
    m_running = RunMark{item, name};
    scrollToItem(item);
}

void KSProjectTree::markFaultedBehavior(const QString& name, const QString& reason) {
    unmark(m_running);
    unmark(m_fault);
    QTreeWidgetItem* item = name.isEmpty() ? nullptr : itemForBehavior(name);
    if (!item)
        return;
    styleItem(item, QColor(QString::fromLatin1(kFaultForeground)),
              QColor(QString::fromLatin1(kFaultBackground)), reason);
    m_fault = RunMark{item, name};
    const kestrin::Project* project = m_container->project();
    m_faultProject = project;
    m_faultChanges = project ? project->history().contentChangeCount() : 0;
    scrollToItem(item);
}

void KSProjectTree::clearRunMarks() {
    unmark(m_running);
    unmark(m_fault);
}

// --- Editing in place ------------------------------------------------------------------------------

void KSProjectTree::itemEdited(QTreeWidgetItem* item, int column) {
    if (column != 0 || !item)
        return;
    QString name;
    if (const WorkspaceObject* object = objectAt(item))
        name = object->name();
    else if (const Behavior* behavior = behaviorAt(item))
        name = behavior->name();
    else if (const Variable* variable = variableAt(item))
        name = variable->name();
    else
        return;
    const QString typed = item->text(0);
    if (typed == name)
        return;
    // The item shows the model's name until the rename has gone through the project.
    {
        const QSignalBlocker quiet(this);
        item->setText(0, name);
    }
    emit renameRequested(item, typed);
}

bool KSProjectTree::findNext(const QString& text) {
    if (text.isEmpty())
        return false;
    std::vector<QTreeWidgetItem*> order;
    std::function<void(QTreeWidgetItem*)> walk = [&](QTreeWidgetItem* item) {
        order.push_back(item);
        for (int i = 0; i < item->childCount(); ++i)
            walk(item->child(i));
    };
    for (int i = 0; i < topLevelItemCount(); ++i)
        walk(topLevelItem(i));
    const auto start = std::find(order.begin(), order.end(), currentItem());
    const size_t from = start == order.end() ? 0 : size_t(start - order.begin()) + 1;
    for (size_t k = 0; k < order.size(); ++k) {
        QTreeWidgetItem* item = order[(from + k) % order.size()];
        if (item->data(0, KindRole).toInt() == int(ItemKind::Group))
            continue;
        if (!item->text(0).contains(text, Qt::CaseInsensitive))
            continue;
        for (QTreeWidgetItem* p = item->parent(); p; p = p->parent())
            p->setExpanded(true);
        setCurrentItem(item, 0, QItemSelectionModel::ClearAndSelect);
        scrollToItem(item);
        return true;
    }
    return false;
}

// --- Dragging behaviors ----------------------------------------------------------------------------

bool KSProjectTree::dropPlace(const QPoint& pos, QTreeWidgetItem** parentItem, int* index) const {
    QTreeWidgetItem* target = itemAt(pos);
    if (!target)
        return false;
    const QTreeWidgetItem* programs = groupItem(Group::Programs);
    const bool isBehavior = target->data(0, KindRole).toInt() == int(ItemKind::Behavior);
    if (!isBehavior && target != programs)
        return false;
    const QRect rect = visualItemRect(target);
    const int margin = std::max(2, rect.height() / 4);
    if (target == programs || (pos.y() > rect.top() + margin && pos.y() < rect.bottom() - margin)) {
        *parentItem = target; // onto it: at the end of its children
        *index = -1;
        return true;
    }
    QTreeWidgetItem* parent = target->parent();
    *parentItem = parent;
    *index = parent->indexOfChild(target) + (pos.y() >= rect.bottom() - margin ? 1 : 0);
    return true;
}

void KSProjectTree::dragMoveEvent(QDragMoveEvent* event) {
    QTreeWidgetItem* parent = nullptr;
    int index = -1;
    if (event->source() == this && dropPlace(event->pos(), &parent, &index)) {
        QTreeWidget::dragMoveEvent(event);
        event->accept();
    } else {
        event->ignore();
    }
}

void KSProjectTree::dropEvent(QDropEvent* event) {
    // The project decides what moves; the tree follows its notices. Qt's own move of the items
    // would run ahead of the project (and drop items that the project refuses to move).
    event->setDropAction(Qt::IgnoreAction);
    event->accept();
    QTreeWidgetItem* parentItem = nullptr;
    int index = -1;
    if (event->source() != this || !dropPlace(event->pos(), &parentItem, &index))
        return;
    Behavior* moved = behaviorAt(currentItem());
    if (!moved)
        return;
    Behavior* parent = parentItem == groupItem(Group::Programs) ? nullptr : behaviorAt(parentItem);
    if (parentItem != groupItem(Group::Programs) && !parent)
        return;
    emit behaviorDropped(moved, parent, index, parentItem->text(0));
}
