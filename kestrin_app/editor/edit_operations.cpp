#include "edit_operations.h"

#include "tree.h"

#include <kestrin/action.h>
#include <kestrin/behavior.h>
#include <kestrin/error.h>
#include <kestrin/items.h>
#include <kestrin/placement.h>
#include <kestrin/program_editing.h>
#include <kestrin/project.h>
#include <kestrin/undo_history.h>
#include <kestrin/variable.h>
#include <kestrin/workspace.h>
#include <kestrin_app/container.h>
#include <kestrin_app/content.h>
#include <kestrin_app/dialogs.h>
#include <kestrin_app/exception.h>
#include <kestrin_app/kind_names.h>
#include <kestrin_app/log.h>
#include <kestrin_viewer/workspace_viewer.h>

#include <QAbstractSpinBox>
#include <QAction>
#include <QApplication>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMenu>
#include <QMouseEvent>
#include <algorithm>

using kestrin::Behavior;
using kestrin::Variable;
using kestrin::WorkspaceObject;
using kestrin_app::content::KSParams;
using kestrin_app::content::KSSelectorDialog;

namespace {

struct Selection {
    std::vector<const WorkspaceObject*> objects;
    std::vector<const Variable*> variables;
    std::vector<const Behavior*> behaviors;
    bool isEmpty() const { return objects.empty() && variables.empty() && behaviors.empty(); }
    int count() const { return int(objects.size() + variables.size() + behaviors.size()); }
};

Selection selectionOf(const KSProjectTree* tree) {
    Selection s;
    for (const QTreeWidgetItem* item : tree->selectedItems()) {
        if (const WorkspaceObject* o = tree->objectAt(item))
            s.objects.push_back(o);
        else if (const Behavior* b = tree->behaviorAt(item))
            s.behaviors.push_back(b);
        else if (const Variable* v = tree->variableAt(item))
            s.variables.push_back(v);
    }
    return s;
}

/// "Behavior 'Pick'" for one part, "3 Items" for more.
QString stepObject(const kestrin::CopiedParts::Pasted& pasted) {
    const size_t n = pasted.objects.size() + pasted.variables.size() + pasted.behaviors.size();
    if (n == 1 && !pasted.behaviors.empty())
        return QStringLiteral("Behavior '%1'").arg(pasted.behaviors[0]->name());
    if (n == 1 && !pasted.variables.empty())
        return QStringLiteral("Variable '%1'").arg(pasted.variables[0]->name());
    if (n == 1 || (!pasted.objects.empty() && pasted.variables.empty() && pasted.behaviors.empty() &&
                   pasted.objects.front()->category() == kestrin::Category::Robot)) {
        QString kind = kestrin::categoryLabel(pasted.objects[0]->category());
        kind[0] = kind[0].toUpper();
        return QStringLiteral("%1 '%2'").arg(kind, pasted.objects[0]->name());
    }
    return QStringLiteral("%1 Items").arg(n);
}

bool isUndoKey(QKeyEvent* event) {
    return event->matches(QKeySequence::Undo) || event->matches(QKeySequence::Redo) ||
           (event->key() == Qt::Key_Y && event->modifiers() == Qt::ControlModifier) ||
           (event->key() == Qt::Key_Z && event->modifiers() == (Qt::ControlModifier | Qt::ShiftModifier));
}

} // namespace

KSEditOperations::KSEditOperations(QWidget* window, kestrin_app::content::KSContentHandler* handler,
                                   KSProjectContainer* container, KSProjectTree* tree, QWidget* propertyPanel)
    : QObject(window), m_window(window), m_handler(handler), m_container(container), m_tree(tree),
      m_propertyPanel(propertyPanel) {
    auto make = [this](const char* name, const QString& text, const QKeySequence& key, const QString& tip,
                       auto slot) {
        auto* action = new QAction(text, this);
        action->setObjectName(QString::fromLatin1(name));
        action->setShortcut(key);
        action->setShortcutContext(Qt::WidgetWithChildrenShortcut);
        action->setStatusTip(tip);
        connect(action, &QAction::triggered, this, slot);
        m_tree->addAction(action);
        m_actions << action;
        return action;
    };
    make("actionRename", tr("Re&name"), QKeySequence(Qt::Key_F2), tr("Rename the selected item in the tree"),
         [this] { startRename(); });
    make("actionCopy", tr("&Copy"), QKeySequence::Copy,
         tr("Copy the selected objects, behaviors or variables"), [this] { copySelection(); });
    make("actionPaste", tr("&Paste"), QKeySequence::Paste,
         tr("Paste what was copied: behaviors below the selected sequence or after the selected action"),
         [this] { paste(); });
    make("actionDuplicate", tr("D&uplicate"), QKeySequence(Qt::CTRL | Qt::Key_D),
         tr("Copy the selection and paste it beside itself"), [this] { duplicateSelection(); });
    make("actionMoveUp", tr("Move &Up"), QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_Up),
         tr("Move the selected behavior up among its siblings"), [this] { shiftSelectedBehavior(-1); });
    make("actionMoveDown", tr("Move Do&wn"), QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_Down),
         tr("Move the selected behavior down among its siblings"), [this] { shiftSelectedBehavior(1); });
    QAction* findAction =
        make("actionFind", tr("&Find in Tree…"), QKeySequence::Find,
             tr("Select the next item of the tree whose name holds a text"), [this] { showFind(); });
    // Ctrl+F works wherever the keyboard is in the window.
    findAction->setShortcutContext(Qt::WindowShortcut);
    m_window->addAction(findAction);

    make("actionRestOnSurface", tr("&Rest on Surface Below"), QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_R),
         tr("Set the selected objects down on the desk top or the floor below them"),
         [this] { restSelectionOnSurface(); });
    const auto viewAction = [&](const char* name, const QString& text, const QKeySequence& key,
                                const QString& tip, auto slot) {
        QAction* a = make(name, text, key, tip, slot);
        a->setShortcutContext(Qt::WindowShortcut);
        m_tree->removeAction(a);
        m_window->addAction(a);
    };
    viewAction("actionFrameSelection", tr("&Frame Selection"), QKeySequence(Qt::Key_F),
               tr("Point the camera at the selected object"), [this] { frameSelection(); });
    using View = kestrin::WorkspaceViewer::StandardView;
    const auto standard = [this](View view) {
        return [this, view] {
            m_container->viewer()->setStandardView(view);
            m_container->viewer()->render();
        };
    };
    viewAction("actionViewTop", tr("&Top View"), QKeySequence(Qt::Key_7), tr("Look at the cell from above"),
               standard(View::Top));
    viewAction("actionViewFront", tr("F&ront View"), QKeySequence(Qt::Key_1),
               tr("Look at the cell from the front"), standard(View::Front));
    viewAction("actionViewSide", tr("S&ide View"), QKeySequence(Qt::Key_3),
               tr("Look at the cell from the side"), standard(View::Side));
    viewAction("actionViewIso", tr("&Oblique View"), QKeySequence(Qt::Key_0),
               tr("Look at the cell obliquely from above"), standard(View::Iso));

    m_tree->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(m_tree, &QWidget::customContextMenuRequested, this, [this](const QPoint& pos) {
        QTreeWidgetItem* item = m_tree->itemAt(pos);
        if (item && !item->isSelected())
            m_tree->setCurrentItem(item, 0, QItemSelectionModel::ClearAndSelect);
        QMenu* menu = makeContextMenu(item, m_tree);
        menu->setAttribute(Qt::WA_DeleteOnClose);
        menu->popup(m_tree->viewport()->mapToGlobal(pos));
    });
    // A right click in the view (not a drag, which zooms) opens the same menu for what is under it.
    if (QWidget* view =
            m_container->viewer()->findChild<QWidget*>(QStringLiteral("workspaceViewerRenderWidget"))) {
        m_view = view;
        view->installEventFilter(this);
    }
    connect(m_tree, &KSProjectTree::renameRequested, this,
            [this](QTreeWidgetItem* item, const QString& name) { renameItem(item, name); });
    connect(m_tree, &KSProjectTree::behaviorDropped, this,
            [this](Behavior* behavior, Behavior* parent, int index, const QString&) {
                moveBehavior(behavior, parent, index);
            });
    connect(m_tree, &QTreeWidget::itemSelectionChanged, this, [this] { updateActions(); });
    qApp->installEventFilter(this);
    updateActions();
}

KSEditOperations::~KSEditOperations() {
    qApp->removeEventFilter(this);
}

QList<QAction*> KSEditOperations::actions() const {
    return m_actions;
}

void KSEditOperations::setUndoActions(QAction* undo, QAction* redo) {
    m_undo = undo;
    m_redo = redo;
}

QAction* KSEditOperations::action(const QString& objectName) const {
    for (QAction* a : m_actions)
        if (a->objectName() == objectName)
            return a;
    return nullptr;
}

void KSEditOperations::updateActions() {
    const Selection s = selectionOf(m_tree);
    const bool oneBehavior = s.behaviors.size() == 1 && s.count() == 1;
    action(QStringLiteral("actionRename"))->setEnabled(s.count() == 1);
    action(QStringLiteral("actionCopy"))->setEnabled(!s.isEmpty());
    action(QStringLiteral("actionDuplicate"))->setEnabled(!s.isEmpty());
    action(QStringLiteral("actionPaste"))->setEnabled(!m_copied.isEmpty());
    action(QStringLiteral("actionMoveUp"))->setEnabled(oneBehavior);
    action(QStringLiteral("actionMoveDown"))->setEnabled(oneBehavior);
    action(QStringLiteral("actionRestOnSurface"))->setEnabled(!s.objects.empty());
    action(QStringLiteral("actionFrameSelection"))->setEnabled(s.objects.size() == 1);
}

void KSEditOperations::finish(const QString& step) {
    m_container->project()->history().record(step);
    m_handler->_rebuildViewerAndTree();
    m_container->viewer()->render();
    updateActions();
}

void KSEditOperations::selectBehavior(const QString& name) {
    if (QTreeWidgetItem* item = m_tree->itemForBehavior(name)) {
        for (QTreeWidgetItem* p = item->parent(); p; p = p->parent())
            p->setExpanded(true);
        m_tree->setCurrentItem(item, 0, QItemSelectionModel::ClearAndSelect);
        item->setSelected(true); // an item put back into the tree may still say it is not
        m_tree->scrollToItem(item);
    }
}

// --- Rename --------------------------------------------------------------------------------------

void KSEditOperations::startRename() {
    QTreeWidgetItem* item = m_tree->currentItem();
    if (item && (item->flags() & Qt::ItemIsEditable)) {
        m_tree->setFocus();
        m_tree->editItem(item, 0);
    }
}

void KSEditOperations::renameItem(QTreeWidgetItem* item, const QString& name) {
    kestrin_app::logerror("rename", [&] {
        if (!item)
            return;
        QString kind, old, given, step;
        if (WorkspaceObject* o = m_tree->objectAt(item)) {
            old = o->name();
            if (name == old)
                return;
            o->setName(name);
            given = o->name();
            kind = kestrin::categoryLabel(o->category());
        } else if (Behavior* b = m_tree->behaviorAt(item)) {
            old = b->name();
            if (name == old)
                return;
            b->setName(name);
            given = b->name();
            kind = QStringLiteral("behavior");
        } else if (Variable* v = m_tree->variableAt(item)) {
            old = v->name();
            if (name == old)
                return;
            v->setName(name);
            given = v->name();
            kind = QStringLiteral("variable");
        } else {
            return;
        }
        kestrin_app::logNameMadeUnique(kind, name, given);
        QString title = kind;
        title[0] = title[0].toUpper();
        finish(QStringLiteral("Rename %1 '%2' to '%3'").arg(title, old, given));
        qCInfo(lcApp, "Renamed %s '%s' to '%s'", qUtf8Printable(kind), qUtf8Printable(old),
               qUtf8Printable(given));
    });
}

// --- Copy and paste -----------------------------------------------------------------------------------

void KSEditOperations::copySelection() {
    kestrin_app::logerror("copy", [&] {
        const Selection s = selectionOf(m_tree);
        if (s.isEmpty())
            return;
        m_copied = kestrin::CopiedParts::copy(s.objects, s.variables, s.behaviors);
        updateActions();
        qCInfo(lcApp, "Copied %d item%s", m_copied.partCount(), m_copied.partCount() == 1 ? "" : "s");
    });
}

void KSEditOperations::pasteInto(Behavior* parent, int index, const QString& verb,
                                 const kestrin::CopiedParts& parts) {
    const kestrin::CopiedParts::Pasted pasted = parts.pasteInto(*m_container->project(), parent, index);
    for (const QString& line : pasted.renamed)
        qCInfo(lcApp, "%s", qUtf8Printable(line));
    const QString what = stepObject(pasted);
    finish(QStringLiteral("%1 %2").arg(verb, what));
    qCInfo(
        lcApp, "%s",
        qUtf8Printable(QStringLiteral("%1 %2").arg(
            verb == QLatin1String("Paste") ? QStringLiteral("Pasted") : QStringLiteral("Duplicated"), what)));
    // Select what was made.
    m_tree->clearSelection();
    QTreeWidgetItem* first = nullptr;
    auto pick = [&](QTreeWidgetItem* item) {
        if (!item)
            return;
        for (QTreeWidgetItem* p = item->parent(); p; p = p->parent())
            p->setExpanded(true);
        item->setSelected(true);
        if (!first)
            first = item;
    };
    for (const Behavior* b : pasted.behaviors)
        pick(m_tree->itemForBehavior(b->name()));
    for (const Variable* v : pasted.variables)
        pick(m_tree->itemForVariable(v->name()));
    for (const WorkspaceObject* o : pasted.objects)
        if (o->isListed() && o->category() != kestrin::Category::ToolFrame)
            pick(m_tree->itemForObject(o->id()));
    if (first) {
        m_tree->setCurrentItem(first, 0, QItemSelectionModel::NoUpdate);
        m_tree->scrollToItem(first);
    }
}

void KSEditOperations::paste() {
    kestrin_app::logerror("paste", [&] {
        if (m_copied.isEmpty())
            return;
        Behavior* parent = nullptr;
        int index = -1;
        if (m_copied.hasBehaviors()) {
            const QList<QTreeWidgetItem*> selected = m_tree->selectedItems();
            if (Behavior* target = selected.size() == 1 ? m_tree->behaviorAt(selected.first()) : nullptr) {
                if (target->acceptsChildren()) {
                    parent = target;
                } else {
                    parent = target->parent();
                    index = kestrin::siblingIndex(target) + 1;
                }
            }
        }
        pasteInto(parent, index, QStringLiteral("Paste"), m_copied);
    });
}

void KSEditOperations::duplicateSelection() {
    kestrin_app::logerror("duplicate", [&] {
        const Selection s = selectionOf(m_tree);
        if (s.isEmpty())
            return;
        const kestrin::CopiedParts parts = kestrin::CopiedParts::copy(s.objects, s.variables, s.behaviors);
        // Behaviors go right after the last selected one beside the first.
        Behavior* parent = nullptr;
        int index = -1;
        if (!s.behaviors.empty()) {
            parent = s.behaviors.front()->parent();
            for (const Behavior* b : s.behaviors)
                if (b->parent() == parent)
                    index = std::max(index, kestrin::siblingIndex(b) + 1);
        }
        pasteInto(parent, index, QStringLiteral("Duplicate"), parts);
    });
}

// --- Moving behaviors -----------------------------------------------------------------------------------

void KSEditOperations::shiftSelectedBehavior(int by) {
    kestrin_app::logerror("moveBehavior", [&] {
        const Selection s = selectionOf(m_tree);
        if (s.behaviors.size() != 1 || s.count() != 1)
            return;
        auto* behavior = const_cast<Behavior*>(s.behaviors.front());
        if (!kestrin::shiftBehavior(behavior, by))
            return;
        const QString name = behavior->name();
        finish(QStringLiteral("Move Behavior '%1' %2")
                   .arg(name, by < 0 ? QStringLiteral("Up") : QStringLiteral("Down")));
        selectBehavior(name);
    });
}

void KSEditOperations::moveBehavior(Behavior* behavior, Behavior* parent, int index) {
    kestrin_app::logerror("moveBehavior", [&] {
        if (!behavior)
            return;
        const QString name = behavior->name();
        const Behavior* oldParent = behavior->parent();
        const int oldIndex = kestrin::siblingIndex(behavior);
        // An index among the siblings as they are now; once taken out, those after it move up.
        int to = index;
        if (to >= 0 && parent == oldParent && oldIndex >= 0 && oldIndex < to)
            --to;
        if (to < 0)
            to = int(parent ? parent->children().size() : m_container->project()->programList().size()) -
                 (parent == oldParent ? 1 : 0);
        kestrin::moveBehavior(behavior, parent, to);
        if (behavior->parent() == oldParent && kestrin::siblingIndex(behavior) == oldIndex)
            return;
        finish(QStringLiteral("Move Behavior '%1'").arg(name));
        if (parent)
            qCInfo(lcApp, "Moved behavior '%s' below '%s'", qUtf8Printable(name),
                   qUtf8Printable(parent->name()));
        else
            qCInfo(lcApp, "Moved behavior '%s' among the programs", qUtf8Printable(name));
        selectBehavior(name);
    });
}

void KSEditOperations::addChildBehavior(const kestrin::Type& type) {
    kestrin_app::logerror("addChildBehavior", [&] {
        kestrin::Project* project = m_container->project();
        const QList<QTreeWidgetItem*> selected = m_tree->selectedItems();
        Behavior* parent = selected.size() == 1 ? m_tree->behaviorAt(selected.first()) : nullptr;
        if (parent && !parent->acceptsChildren())
            throw kestrin::ValueError(
                QStringLiteral("'%1' is an action, which holds no other behaviors; choose a "
                               "sequence to add a behavior below.")
                    .arg(parent->name()));
        const QString parentName = parent ? parent->name() : QString();
        KSParams prompt{{KSSelectorDialog::NEW_NAME_KEY, QStringLiteral("My Behavior")}};
        const KSParams* answer = KSSelectorDialog::getParams(m_window, project, prompt);
        if (!answer || answer->isEmpty())
            return;
        project = m_container->project();
        parent = parentName.isEmpty() ? nullptr : project->findBehavior(parentName);
        if (!parentName.isEmpty() && !parent)
            throw kestrin::NotFoundError(
                QStringLiteral(
                    "There is no behavior named '%1' to add to; it may have been renamed or deleted.")
                    .arg(parentName));
        const QString wanted = answer->value(KSSelectorDialog::NEW_NAME_KEY).toString();
        Behavior* behavior = type.constructBehavior(project, wanted);
        try {
            if (parent)
                parent->_addChild(behavior);
            else
                project->addProgram(behavior);
        } catch (...) {
            project->removeBehavior(behavior);
            throw;
        }
        kestrin_app::logNameMadeUnique(QStringLiteral("behavior"), wanted, behavior->name());
        const QString name = behavior->name();
        finish(QStringLiteral("Add Behavior '%1'").arg(name));
        if (parent)
            qCInfo(lcApp, "Added behavior '%s' below '%s'", qUtf8Printable(name), qUtf8Printable(parentName));
        else
            qCInfo(lcApp, "Added program '%s'", qUtf8Printable(name));
        selectBehavior(name);
    });
}

// --- Objects in the view --------------------------------------------------------------------------------

void KSEditOperations::restSelectionOnSurface() {
    kestrin_app::logerror("restOnSurface", [&] {
        const Selection s = selectionOf(m_tree);
        QStringList moved;
        for (const WorkspaceObject* o : s.objects) {
            auto* object = const_cast<WorkspaceObject*>(o);
            if (!object->occupiesFloor())
                continue; // carried by a robot
            const Eigen::Vector3d before = object->transform().position;
            const kestrin::Surface surface = kestrin::restOnSurfaceBelow(*object);
            if (object->transform().position == before)
                continue;
            moved << object->name();
            if (surface.desk)
                qCInfo(lcApp, "Set '%s' down on desk '%s'", qUtf8Printable(object->name()),
                       qUtf8Printable(surface.desk->name()));
            else
                qCInfo(lcApp, "Set '%s' down on the floor", qUtf8Printable(object->name()));
        }
        if (moved.isEmpty())
            return;
        finish(moved.size() == 1 ? QStringLiteral("Rest '%1' on Surface").arg(moved.first())
                                 : QStringLiteral("Rest %1 Objects on Surface").arg(moved.size()));
    });
}

void KSEditOperations::frameSelection() {
    const Selection s = selectionOf(m_tree);
    if (s.objects.size() == 1 && m_container->viewer()->frameObject(s.objects.front()->id()))
        m_container->viewer()->render();
}

// --- Find ---------------------------------------------------------------------------------------------

void KSEditOperations::showFind() {
    if (!m_findField) {
        m_findField = new QLineEdit(m_tree);
        m_findField->setObjectName(QStringLiteral("treeFindField"));
        m_findField->setPlaceholderText(tr("Find by name (Enter: next, Esc: close)"));
        m_findField->setClearButtonEnabled(true);
        connect(m_findField, &QLineEdit::textEdited, this, [this](const QString& text) {
            m_tree->setCurrentItem(nullptr);
            find(text);
        });
        connect(m_findField, &QLineEdit::returnPressed, this, [this] { find(m_findField->text()); });
        m_findField->installEventFilter(this);
    }
    const int height = m_findField->sizeHint().height();
    m_findField->setGeometry(0, m_tree->height() - height, m_tree->width(), height);
    m_findField->show();
    m_findField->raise();
    m_findField->setFocus();
    m_findField->selectAll();
}

bool KSEditOperations::find(const QString& text) {
    const bool found = m_tree->findNext(text);
    if (m_findField)
        m_findField->setStyleSheet(found || text.isEmpty() ? QString()
                                                           : QStringLiteral("background: #fde0e0"));
    return found;
}

// --- Context menu -------------------------------------------------------------------------------------

QMenu* KSEditOperations::makeContextMenu(QTreeWidgetItem* item, QWidget* parent) {
    auto* menu = new QMenu(parent);
    menu->setObjectName(QStringLiteral("treeContextMenu"));
    updateActions();
    const Behavior* behavior = m_tree->behaviorAt(item);
    const bool isPart = item && (m_tree->objectAt(item) || behavior || m_tree->variableAt(item));
    const bool isPrograms = item == m_tree->groupItem(KSProjectTree::Group::Programs);
    if (isPart) {
        menu->addAction(action(QStringLiteral("actionRename")));
        menu->addAction(action(QStringLiteral("actionDuplicate")));
        menu->addAction(action(QStringLiteral("actionCopy")));
    }
    menu->addAction(action(QStringLiteral("actionPaste")));
    if (isPart) {
        QAction* remove = menu->addAction(tr("&Delete"), this, [this] {
            m_handler->deleteSelection();
            updateActions();
        });
        remove->setObjectName(QStringLiteral("actionDeleteFromTree"));
        remove->setShortcut(QKeySequence::Delete);
    }
    if (m_tree->objectAt(item)) {
        menu->addSeparator();
        menu->addAction(action(QStringLiteral("actionRestOnSurface")));
        menu->addAction(action(QStringLiteral("actionFrameSelection")));
    }
    if ((behavior && behavior->acceptsChildren()) || isPrograms) {
        menu->addSeparator();
        QMenu* add = menu->addMenu(isPrograms ? tr("Add &Program") : tr("Add &Child Behavior"));
        add->setObjectName(QStringLiteral("menuAddChildBehavior"));
        for (const kestrin::Type* type : kestrin::Type::constructibleTypes(Behavior::staticType())) {
            QAction* a = add->addAction(kestrin_app::readableKindName(*type), this,
                                        [this, type] { addChildBehavior(*type); });
            a->setObjectName(QStringLiteral("actionAddChild_") + type->name());
        }
    }
    if (behavior) {
        menu->addSeparator();
        menu->addAction(action(QStringLiteral("actionMoveUp")));
        menu->addAction(action(QStringLiteral("actionMoveDown")));
    }
    return menu;
}

// --- Undo keys in property fields ---------------------------------------------------------------------

void KSEditOperations::showViewMenu(const QPoint& pos) {
    kestrin::WorkspaceViewer* viewer = m_container->viewer();
    const quint64 id = viewer->objectAt(m_view->mapTo(viewer, pos));
    QTreeWidgetItem* item = id ? m_tree->itemForObject(id) : nullptr;
    if (item) {
        m_tree->setCurrentItem(item, 0, QItemSelectionModel::ClearAndSelect);
        item->setSelected(true);
    }
    QMenu* menu = makeContextMenu(item, m_view);
    menu->setAttribute(Qt::WA_DeleteOnClose);
    menu->popup(m_view->mapToGlobal(pos));
}

bool KSEditOperations::eventFilter(QObject* watched, QEvent* event) {
    if (watched == m_view &&
        (event->type() == QEvent::MouseButtonPress || event->type() == QEvent::MouseButtonRelease)) {
        auto* mouse = static_cast<QMouseEvent*>(event);
        if (mouse->button() == Qt::RightButton) {
            if (event->type() == QEvent::MouseButtonPress)
                m_rightPressedAt = mouse->pos();
            else if ((mouse->pos() - m_rightPressedAt).manhattanLength() < QApplication::startDragDistance())
                showViewMenu(mouse->pos());
        }
        return false;
    }
    if (watched == m_findField && event->type() == QEvent::KeyPress &&
        static_cast<QKeyEvent*>(event)->key() == Qt::Key_Escape) {
        m_findField->hide();
        m_tree->setFocus();
        return true;
    }
    if (event->type() != QEvent::ShortcutOverride || watched != QApplication::focusWidget())
        return false;
    auto* key = static_cast<QKeyEvent*>(event);
    auto* widget = static_cast<QWidget*>(watched);
    if (!isUndoKey(key) || widget->window() != m_window)
        return false;
    auto* spin = qobject_cast<QAbstractSpinBox*>(widget);
    auto* edit = qobject_cast<QLineEdit*>(widget);
    if (edit && qobject_cast<QAbstractSpinBox*>(edit->parentWidget()))
        spin = qobject_cast<QAbstractSpinBox*>(edit->parentWidget());
    if (!spin && !edit)
        return false;
    // A field of the property panel takes its pending edit to the project first (one step of
    // its own); then the key goes on to the window's Undo and Redo, not to the field's own undo.
    if (m_propertyPanel && m_propertyPanel->isAncestorOf(widget)) {
        if (spin)
            spin->interpretText();
        else if (edit->isModified())
            emit edit->editingFinished();
        // The window brings its actions in line later; the key needs them now.
        const kestrin::UndoHistory& history = m_container->project()->history();
        if (m_undo)
            m_undo->setEnabled(history.canUndo());
        if (m_redo)
            m_redo->setEnabled(history.canRedo());
    } else if (edit && edit == m_findField) {
        return false;
    }
    return true;
}
