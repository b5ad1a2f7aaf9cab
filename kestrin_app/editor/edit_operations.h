#pragma once
// Editing the cell and the programs from the project tree: rename, delete, duplicate, copy and
// paste, adding a behavior below another, moving behaviors (up, down, dragged to another parent),
// finding by name, and the undo keys while a property field has the keyboard.

#include <kestrin/copied_parts.h>

#include <QObject>
#include <QPoint>
#include <QPointer>

class KSProjectContainer;
class KSProjectTree;
class QAction;
class QLineEdit;
class QMenu;
class QTreeWidgetItem;

namespace kestrin {
class Behavior;
class Type;
} // namespace kestrin
namespace kestrin_app::content {
class KSContentHandler;
}

/// The tree's editing operations. Contract:
/// - Each operation acts on the tree's selection (or the item given), is wrapped by logerror
///   (a failure is logged and shown, and changes nothing), and is one step of the project's
///   undo history, named for the menu ("Paste Behavior 'Pick 2'"); then the view and the tree
///   catch up and what was made or moved is selected.
/// - A name that was taken is made unique by the core library, and the log says so.
/// - The actions (objectNames "actionRename", "actionCopy", "actionPaste", "actionDuplicate",
///   "actionMoveUp", "actionMoveDown", "actionRestOnSurface") have their shortcuts while the tree
///   has the keyboard; the main window also lists them in its Edit menu. "actionFind",
///   "actionFrameSelection" and the standard views ("actionViewTop", "actionViewFront",
///   "actionViewSide", "actionViewIso") work anywhere in the window and belong in the View menu.
class KSEditOperations : public QObject {
    Q_OBJECT
public:
    /// `window` parents the dialogs and holds `propertyPanel`; all must outlive this.
    KSEditOperations(QWidget* window, kestrin_app::content::KSContentHandler* handler,
                     KSProjectContainer* container, KSProjectTree* tree, QWidget* propertyPanel);
    ~KSEditOperations() override;

    QList<QAction*> actions() const;
    /// The window's Undo and Redo: enabled at once when a pending field edit is committed by
    /// their keys, so that the key can take it back.
    void setUndoActions(QAction* undo, QAction* redo);
    QAction* action(const QString& objectName) const;

    /// Renames what `item` stands for.
    void renameItem(QTreeWidgetItem* item, const QString& name);
    /// Starts editing the current item's name in place (F2).
    void startRename();
    void copySelection();
    /// Pastes what was copied: behaviors below the selected sequence, after the selected action,
    /// or as programs when no behavior is selected.
    void paste();
    /// Copies the selection and pastes it beside the originals: behaviors right after them.
    void duplicateSelection();
    /// Moves the selected behavior one place up (-1) or down (+1) among its siblings.
    void shiftSelectedBehavior(int by);
    /// Puts `behavior` at `index` below `parent` (nullptr: among the programs; -1: at the end).
    /// A parent that is an action is refused with a message.
    void moveBehavior(kestrin::Behavior* behavior, kestrin::Behavior* parent, int index);
    /// Asks for a name and adds a behavior of `type` as the last child of the selected behavior
    /// (none selected, or the Programs group: as a program).
    void addChildBehavior(const kestrin::Type& type);
    /// Sets each selected object down on the surface below it (a desk's top or the floor).
    void restSelectionOnSurface();
    /// Points the camera at the selected object, close enough to see it whole (F).
    void frameSelection();

    /// Shows the find field over the tree; find() selects the next item named like `text`.
    void showFind();
    bool find(const QString& text);

    /// The menu for the tree's item at `item` (nullptr: empty space), as the context menu shows it.
    QMenu* makeContextMenu(QTreeWidgetItem* item, QWidget* parent);
    const kestrin::CopiedParts& copied() const { return m_copied; }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    /// Records the step, brings the view and the tree in line and redraws.
    void finish(const QString& step);
    void selectBehavior(const QString& name);
    void pasteInto(kestrin::Behavior* parent, int index, const QString& verb,
                   const kestrin::CopiedParts& parts);
    void updateActions();
    /// The context menu for what is under `pos` in the view (render widget pixels).
    void showViewMenu(const QPoint& pos);

    QWidget* m_window;
    kestrin_app::content::KSContentHandler* m_handler;
    KSProjectContainer* m_container;
    KSProjectTree* m_tree;
    QPointer<QWidget> m_propertyPanel;
    kestrin::CopiedParts m_copied;
    QList<QAction*> m_actions;
    QLineEdit* m_findField = nullptr;
    QWidget* m_view = nullptr; // the view's render widget
    QPoint m_rightPressedAt;
    QPointer<QAction> m_undo;
    QPointer<QAction> m_redo;
};
