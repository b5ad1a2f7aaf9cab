#pragma once
// The look of the main window's toolbars: icons, and text beside them where the window is wide
// enough.

#include <QIcon>
#include <QList>
#include <QObject>

class QAction;
class QMainWindow;
class QToolBar;

/// Gives the studio's actions their icons and keeps the toolbars at the top of a window within
/// its width.
///
/// - An action's icon is the desktop theme's (QIcon::fromTheme) where the theme has one, else
///   our own from the resources (":/icons/..."), so that every toolbar action has one.
/// - Every toolbar action stays reachable without the toolbar's overflow menu. As the window
///   narrows, the actions whose icons say enough on their own (New, Open, Save, Undo, Redo, Reset
///   Camera, Screenshot, Stop, Pause) lose their text first, then all others do.
/// - The look follows the window's size and the toolbars shown; fit() brings it in line at once.
class KSToolBarLook : public QObject {
    Q_OBJECT
public:
    enum class Level {
        TextBesideAll,  ///< text beside every icon
        TextBesideSome, ///< the self-explaining icons alone
        IconsOnly,      ///< every action as its icon (the text is its tooltip)
    };

    /// Follows `window` for `toolbars`; gives their actions, and `others`, their icons.
    KSToolBarLook(QMainWindow* window, const QList<QToolBar*>& toolbars, const QList<QAction*>& others);

    /// The icon for the action with that objectName; a null icon for an action without one.
    static QIcon iconFor(const QString& actionName);
    /// The short text an action shows beside its icon on a toolbar; empty: its own text.
    static QString toolbarTextFor(const QString& actionName);

    Level level() const { return m_level; }
    /// The widest level whose toolbars fit the window's width.
    void fit();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void apply(Level level);
    int widthNeeded() const;

    QMainWindow* m_window;
    QList<QToolBar*> m_toolbars;
    Level m_level = Level::TextBesideAll;
};
