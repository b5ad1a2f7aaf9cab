#pragma once
// Help inside the studio: the list of keyboard shortcuts, and explanations of the terms a
// newcomer to robot cells will not know.

#include <QDialog>
#include <QList>
#include <QString>

class QMainWindow;

/// One shortcut as the list shows it.
struct KSShortcutRow {
    QString keys;       ///< as the platform writes them ("Ctrl+Shift+S")
    QString action;     ///< the action's text without its mnemonic ("Save As…")
    QString where;      ///< its menu path ("File"), or the toolbar it is on
    QString objectName; ///< the action's
    bool operator==(const KSShortcutRow& o) const {
        return keys == o.keys && action == o.action && where == o.where && objectName == o.objectName;
    }
};

/// Help > Keyboard Shortcuts ("shortcutsDialog"): a table ("shortcutsTable") made from the
/// window's actions as they are when it opens, so that it cannot go stale.
class KSShortcutsDialog : public QDialog {
    Q_OBJECT
public:
    explicit KSShortcutsDialog(QMainWindow* window);

    /// Every action of `window`'s menus and toolbars that has a shortcut, in menu order, then
    /// the toolbar actions that are in no menu. An action whose key works only while a program
    /// plays (its property "shortcutWhilePlaying") is listed with that key.
    static QList<KSShortcutRow> rowsFor(QMainWindow* window);
};

/// Puts explanations on the actions (and their menus) that name terms a newcomer will not know:
/// respawn state, motion limits, mixture and other targets. Menus show the tooltips.
void addNewcomerTips(QMainWindow* window);
