#include "toolbar_look.h"

#include <QAction>
#include <QEvent>
#include <QHash>
#include <QLayout>
#include <QMainWindow>
#include <QSet>
#include <QToolBar>
#include <QToolButton>

// The icons are in a static library: their resources must be registered by hand.
static void initIconResources() {
    Q_INIT_RESOURCE(icons);
}

namespace {

struct IconEntry {
    const char* theme; ///< freedesktop name, or nullptr where the theme has none that fits
    const char* file;  ///< ours, in :/icons
};

const QHash<QString, IconEntry>& iconTable() {
    static const QHash<QString, IconEntry> table = {
        {QStringLiteral("actionNewProject"), {"document-new", "new"}},
        {QStringLiteral("actionOpenProject"), {"document-open", "open"}},
        {QStringLiteral("actionSaveProject"), {"document-save", "save"}},
        {QStringLiteral("actionSaveProjectAs"), {"document-save-as", "save_as"}},
        {QStringLiteral("actionQuit"), {"application-exit", "quit"}},
        {QStringLiteral("actionUndo"), {"edit-undo", "undo"}},
        {QStringLiteral("actionRedo"), {"edit-redo", "redo"}},
        {QStringLiteral("actionDelete"), {"edit-delete", "delete"}},
        // What the next ones mean is the studio's own: a theme's look-alike would mislead.
        {QStringLiteral("actionCameraMode"), {nullptr, "camera_mode"}},
        {QStringLiteral("actionTeleoperationMode"), {nullptr, "teleoperate"}},
        {QStringLiteral("actionResetCamera"), {"zoom-fit-best", "reset_camera"}},
        {QStringLiteral("actionScreenshot"), {"camera-photo", "screenshot"}},
        {QStringLiteral("actionRecordRespawnState"), {nullptr, "record_respawn"}},
        {QStringLiteral("actionResetToRespawnState"), {nullptr, "reset_respawn"}},
        {QStringLiteral("actionCheckCollisions"), {nullptr, "check_collisions"}},
        {QStringLiteral("actionRunLocalSimulation"), {"media-playback-start", "run"}},
        {QStringLiteral("actionRunTrials"), {nullptr, "run_trials"}},
        {QStringLiteral("actionStopRun"), {"media-playback-stop", "stop"}},
        {QStringLiteral("actionPauseRun"), {"media-playback-pause", "pause"}},
        {QStringLiteral("actionKeyboardShortcuts"), {nullptr, "shortcuts"}},
        {QStringLiteral("actionAbout"), {"help-about", "about"}},
    };
    return table;
}

/// Actions whose icons are understood without their text.
bool selfExplaining(const QAction* action) {
    static const QSet<QString> names = {
        QStringLiteral("actionNewProject"),  QStringLiteral("actionOpenProject"),
        QStringLiteral("actionSaveProject"), QStringLiteral("actionUndo"),
        QStringLiteral("actionRedo"),        QStringLiteral("actionResetCamera"),
        QStringLiteral("actionScreenshot"),  QStringLiteral("actionStopRun"),
        QStringLiteral("actionPauseRun"),
    };
    return names.contains(action->objectName());
}

// Room that the main window puts around each toolbar of a row (handle, margins, separator).
constexpr int kToolBarSlack = 12;

} // namespace

KSToolBarLook::KSToolBarLook(QMainWindow* window, const QList<QToolBar*>& toolbars,
                             const QList<QAction*>& others)
    : QObject(window), m_window(window), m_toolbars(toolbars) {
    QList<QAction*> actions = others;
    for (QToolBar* toolbar : toolbars) {
        toolbar->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
        actions += toolbar->actions();
        connect(toolbar, &QToolBar::visibilityChanged, this, &KSToolBarLook::fit);
        connect(toolbar, &QToolBar::topLevelChanged, this, &KSToolBarLook::fit);
    }
    for (QAction* action : actions) {
        const QIcon icon = iconFor(action->objectName());
        if (!icon.isNull())
            action->setIcon(icon);
        const QString text = toolbarTextFor(action->objectName());
        if (!text.isEmpty())
            action->setIconText(text);
    }
    window->installEventFilter(this);
    fit();
}

QIcon KSToolBarLook::iconFor(const QString& actionName) {
    static const bool registered = (initIconResources(), true);
    Q_UNUSED(registered);
    const auto it = iconTable().constFind(actionName);
    if (it == iconTable().constEnd())
        return QIcon();
    const QIcon ours(QStringLiteral(":/icons/%1.svg").arg(QLatin1String(it->file)));
    return it->theme ? QIcon::fromTheme(QLatin1String(it->theme), ours) : ours;
}

QString KSToolBarLook::toolbarTextFor(const QString& actionName) {
    static const QHash<QString, QString> texts = {
        {QStringLiteral("actionTeleoperationMode"), tr("Teleoperate")},
        {QStringLiteral("actionRecordRespawnState"), tr("Record Respawn")},
        {QStringLiteral("actionResetToRespawnState"), tr("Reset to Respawn")},
        {QStringLiteral("actionRunLocalSimulation"), tr("Run Simulation")},
    };
    return texts.value(actionName);
}

bool KSToolBarLook::eventFilter(QObject* watched, QEvent* event) {
    if (watched == m_window && (event->type() == QEvent::Resize || event->type() == QEvent::Show ||
                                event->type() == QEvent::FontChange || event->type() == QEvent::StyleChange))
        fit();
    return QObject::eventFilter(watched, event);
}

void KSToolBarLook::apply(Level level) {
    for (QToolBar* toolbar : m_toolbars) {
        for (QAction* action : toolbar->actions()) {
            auto* button = qobject_cast<QToolButton*>(toolbar->widgetForAction(action));
            if (!button)
                continue; // a separator or a widget of its own (the speed, the time)
            const bool iconOnly =
                level == Level::IconsOnly || (level == Level::TextBesideSome && selfExplaining(action));
            button->setToolButtonStyle(iconOnly ? Qt::ToolButtonIconOnly : Qt::ToolButtonTextBesideIcon);
        }
        toolbar->layout()->invalidate();
    }
    m_level = level;
}

int KSToolBarLook::widthNeeded() const {
    int width = 0;
    for (QToolBar* toolbar : m_toolbars)
        if (!toolbar->isHidden() && !toolbar->isFloating() &&
            m_window->toolBarArea(toolbar) == Qt::TopToolBarArea)
            width += toolbar->sizeHint().width() + kToolBarSlack;
    return width;
}

void KSToolBarLook::fit() {
    const int available = m_window->width();
    for (Level level : {Level::TextBesideAll, Level::TextBesideSome}) {
        apply(level);
        if (widthNeeded() <= available)
            return;
    }
    apply(Level::IconsOnly);
}
