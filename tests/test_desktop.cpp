// The studio as a desktop program: toolbar icons and their fit in the window, the View menu's
// panels, the shortcut list, tooltips on newcomer terms, the log panel, failures logged in
// words, where file choosers start, and screenshots without session highlights. Renders: run
// under xvfb-run.

#include "dialog_driver.h"
#include "test_main.h"

#include <kestrin/kestrin.h>
#include <kestrin_app/command_line.h>
#include <kestrin_app/container.h>
#include <kestrin_app/content.h>
#include <kestrin_app/dialogs.h>
#include <kestrin_app/exception.h>
#include <kestrin_app/log.h>
#include <kestrin_app/log_panel.h>
#include <kestrin_app/mainwindow.h>
#include <kestrin_app/shell_help.h>
#include <kestrin_app/toolbar_look.h>
#include <kestrin_viewer/workspace_viewer.h>

#include <QAction>
#include <QClipboard>
#include <QDirIterator>
#include <QDockWidget>
#include <QFileDialog>
#include <QGuiApplication>
#include <QImage>
#include <QMenu>
#include <QMenuBar>
#include <QRegularExpression>
#include <QSettings>
#include <QStandardPaths>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QTextBlock>
#include <QToolBar>
#include <QToolButton>
#include <QWidgetAction>

using testing::DialogDriver;
using testing::LogCapture;

namespace {

void showAt(KSMainWindow& window, int width, int height) {
    window.resize(width, height);
    if (!window.isVisible()) {
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
    }
    QTest::qWait(50); // the toolbars' layout follows the resize
    QCoreApplication::processEvents();
}

/// Empty when every action of every toolbar at the top has its button on the toolbar, visible
/// and whole; else names the first that is not.
QString unreachableToolbarAction(KSMainWindow& window) {
    for (QToolBar* bar : window.findChildren<QToolBar*>()) {
        if (bar->isHidden())
            continue;
        if (auto* more = bar->findChild<QToolButton*>(QStringLiteral("qt_toolbar_ext_button"));
            more && more->isVisible())
            return bar->objectName() + " overflows";
        for (QAction* action : bar->actions()) {
            if (action->isSeparator())
                continue;
            QWidget* w = bar->widgetForAction(action);
            if (!w || !w->isVisible() || !bar->rect().contains(w->geometry()))
                return action->objectName() + " is not on " + bar->objectName();
        }
    }
    return QString();
}

Qt::ToolButtonStyle styleOf(KSMainWindow& window, const char* action) {
    auto* bar = window.findChild<QToolBar*>("mainToolBar");
    return qobject_cast<QToolButton*>(bar->widgetForAction(window.findAction(action)))->toolButtonStyle();
}

} // namespace

class DesktopTest : public QObject {
    Q_OBJECT

private slots:
    void init() { DialogDriver::reset(); }

    // --- Toolbar ----------------------------------------------------------------------------------

    void everyToolbarActionIsReachableAt1280x800WithItsIcon() {
        KSMainWindow window;
        showAt(window, 1280, 800);
        QCOMPARE(window.width(), 1280);
        QCOMPARE(unreachableToolbarAction(window), QString());
        // Run Local Simulation was the first to fall into the overflow: it keeps its words too.
        QCOMPARE(styleOf(window, "actionRunLocalSimulation"), Qt::ToolButtonTextBesideIcon);
        QCOMPARE(styleOf(window, "actionRecordRespawnState"), Qt::ToolButtonTextBesideIcon);
        for (QToolBar* bar : window.findChildren<QToolBar*>())
            for (QAction* action : bar->actions())
                if (!action->isSeparator() && !qobject_cast<QWidgetAction*>(action))
                    QVERIFY2(!action->icon().isNull(), qPrintable(action->objectName()));
    }

    void textBesideIconsWhereTheWindowIsWideEnough() {
        KSMainWindow window;
        auto* look = window.findChild<KSToolBarLook*>();
        QVERIFY(look);
        showAt(window, 2400, 800);
        QCOMPARE(look->level(), KSToolBarLook::Level::TextBesideAll);
        QCOMPARE(styleOf(window, "actionNewProject"), Qt::ToolButtonTextBesideIcon);
        QCOMPARE(unreachableToolbarAction(window), QString());
        showAt(window, 1280, 800);
        QCOMPARE(look->level(), KSToolBarLook::Level::TextBesideSome);
        QCOMPARE(styleOf(window, "actionNewProject"), Qt::ToolButtonIconOnly);
        // Hiding the Run toolbar leaves room that the main toolbar's words may take again.
        const KSToolBarLook::Level withRun = look->level();
        window.findAction("actionShow_runToolBar")->trigger();
        QVERIFY(look->level() <= withRun);
        window.findAction("actionShow_runToolBar")->trigger();
        // Narrower, every action keeps its place as an icon.
        showAt(window, 1000, 800);
        if (window.width() == 1000) { // the docks may hold the window wider
            QCOMPARE(look->level(), KSToolBarLook::Level::IconsOnly);
            QCOMPARE(unreachableToolbarAction(window), QString());
            QVERIFY(!window.findAction("actionRunLocalSimulation")->toolTip().isEmpty());
        }
    }

    void ourIconsDrawWithoutADesktopTheme() {
        // The fallbacks are SVGs: without Qt's svg plugin they would all come out empty.
        for (const char* name : {"actionNewProject", "actionCameraMode", "actionTeleoperationMode",
                                 "actionRecordRespawnState", "actionRunLocalSimulation", "actionStopRun"}) {
            const QIcon icon = KSToolBarLook::iconFor(name);
            QVERIFY2(!icon.isNull(), name);
            const QImage image = icon.pixmap(24, 24).toImage();
            int drawn = 0;
            for (int y = 0; y < image.height(); ++y)
                for (int x = 0; x < image.width(); ++x)
                    drawn += qAlpha(image.pixel(x, y)) > 0;
            QVERIFY2(drawn > 20, name);
        }
        QVERIFY(KSToolBarLook::iconFor("actionNoSuchThing").isNull());
    }

    // --- View menu ----------------------------------------------------------------------------------

    void viewMenuShowsAndHidesEachDock() {
        KSMainWindow window;
        showAt(window, 1280, 800);
        auto* view = window.menuBar()->findChild<QMenu*>("menuView");
        for (const char* name : {"projectDock", "propertyPanelDock", "logDock", "trialsDock"}) {
            auto* dock = window.findChild<QDockWidget*>(name);
            QAction* toggle = window.findAction(QStringLiteral("actionShow_") + name);
            QVERIFY2(toggle && view->actions().contains(toggle), name);
            QVERIFY(toggle->isCheckable());
            QVERIFY(toggle->text().endsWith(" Panel"));
            dock->show();
            QVERIFY(toggle->isChecked());
            toggle->trigger();
            QVERIFY2(dock->isHidden(), name);
            toggle->trigger();
            QVERIFY2(!dock->isHidden(), name);
            // Closed by its own button, it comes back from the menu.
            dock->close();
            QVERIFY(!toggle->isChecked());
            toggle->trigger();
            QVERIFY2(dock->isVisible(), name);
        }
    }

    // --- Help -----------------------------------------------------------------------------------

    void shortcutListMatchesTheActions() {
        KSMainWindow window;
        const QList<KSShortcutRow> rows = KSShortcutsDialog::rowsFor(&window);
        QHash<QString, QString> listed;
        for (const KSShortcutRow& row : rows) {
            QVERIFY2(!listed.contains(row.objectName), qPrintable(row.objectName));
            listed.insert(row.objectName, row.keys);
        }
        // Every action of a menu or toolbar with a key is listed with that key, and nothing else is.
        QHash<QString, QString> expected;
        for (QAction* action : window.findChildren<QAction*>()) {
            bool shown = false;
            for (QWidget* w : action->associatedWidgets())
                shown = shown || qobject_cast<QMenu*>(w) || qobject_cast<QToolBar*>(w);
            QStringList keys;
            for (const QKeySequence& key : action->shortcuts())
                keys << key.toString(QKeySequence::NativeText);
            if (shown && !keys.isEmpty())
                expected.insert(action->objectName(), keys.join(QStringLiteral(", ")));
        }
        QVERIFY(expected.size() >= 8);
        for (auto it = expected.cbegin(); it != expected.cend(); ++it)
            QCOMPARE(listed.value(it.key()), it.value());
        // The run's keys work only while a program plays, and say so.
        QVERIFY2(listed.value("actionStopRun")
                     .startsWith(QKeySequence(Qt::Key_Escape).toString(QKeySequence::NativeText)),
                 qPrintable(listed.value("actionStopRun")));
        QVERIFY(listed.value("actionPauseRun").contains("while a program plays"));
        QCOMPARE(listed.size(), expected.size() + 2);
        const KSShortcutRow save = *std::find_if(rows.begin(), rows.end(), [](const KSShortcutRow& r) {
            return r.objectName == "actionSaveProjectAs";
        });
        QCOMPARE(save.action, QString("Save As…"));
        QCOMPARE(save.where, QString("File"));

        // Made from the actions as they are: a key given since shows.
        window.findAction("actionCameraMode")->setShortcut(QKeySequence("Ctrl+Shift+C"));
        bool found = false;
        for (const KSShortcutRow& row : KSShortcutsDialog::rowsFor(&window))
            found = found || (row.objectName == "actionCameraMode" &&
                              row.keys == QKeySequence("Ctrl+Shift+C").toString(QKeySequence::NativeText));
        QVERIFY(found);

        // Help > Keyboard Shortcuts shows the same list.
        int tableRows = -1;
        QString firstKeys;
        DialogDriver::expect([&](QWidget* dialog) {
            auto* table = dialog->findChild<QTableWidget*>("shortcutsTable");
            tableRows = table->rowCount();
            firstKeys = table->item(0, 0)->text();
            DialogDriver::press(QDialogButtonBox::Close)(dialog);
        });
        window.findAction("actionKeyboardShortcuts")->trigger();
        QCOMPARE(DialogDriver::seenTitles(), QStringList{"Keyboard Shortcuts"});
        const QList<KSShortcutRow> now = KSShortcutsDialog::rowsFor(&window);
        QCOMPARE(tableRows, now.size());
        QCOMPARE(firstKeys, now.first().keys);
        QCOMPARE(DialogDriver::closedBySafety(), 0);
    }

    void newcomerTermsCarryTheirExplanation() {
        KSMainWindow window;
        for (const char* name : {"actionRecordRespawnState", "actionResetToRespawnState",
                                 "actionAddVariable_MotionLimits", "actionAddVariable_MixtureTarget"}) {
            QAction* action = window.findAction(name);
            QVERIFY2(action->toolTip().size() > action->text().size() + 40, name); // more than its name
        }
        QVERIFY(window.menuBar()->findChild<QMenu*>("menuVariable")->toolTipsVisible());
        kestrin::Project project;
        using Form = kestrin_app::content::KSSelectorDialog;
        kestrin_app::content::KSParams params{{Form::USE_SEED_POSITIONS_KEY, QVariant()}};
        Form form(nullptr, &project, params);
        QVERIFY(
            form.findChild<QWidget*>(Form::USE_SEED_POSITIONS_KEY)->toolTip().contains("Inverse kinematics"));
    }

    // --- Log panel ----------------------------------------------------------------------------------

    void logPanelWrapsColoursErrorsAndCopies() {
        KSLogPanel panel;
        QCOMPARE(panel.lineWrapMode(), QPlainTextEdit::WidgetWidth);
        qCInfo(lcApp, "Opened project '/tmp/cell.kestrin'");
        qCCritical(lcApp, "Running the simulation failed: '%s' is out of reach", "Pick");
        qCWarning(lcApp, "The robot stopped short of the target");
        QCoreApplication::sendPostedEvents();
        const QTextDocument* doc = panel.document();
        QCOMPARE(doc->blockCount(), 3);
        auto colourOf = [doc](int block) {
            return doc->findBlockByNumber(block).begin().fragment().charFormat();
        };
        QVERIFY(!colourOf(0).hasProperty(QTextFormat::ForegroundBrush));
        QCOMPARE(colourOf(1).foreground().color(), KSLogPanel::levelColour("error"));
        QCOMPARE(colourOf(2).foreground().color(), KSLogPanel::levelColour("warning"));
        QVERIFY(KSLogPanel::levelColour("error").red() > 150);
        // After an error, ordinary lines are ordinary again.
        qCInfo(lcApp, "Saved file '/tmp/cell.kestrin'");
        QCoreApplication::sendPostedEvents();
        QVERIFY(!colourOf(3).hasProperty(QTextFormat::ForegroundBrush));

        panel.copyAll();
        QCOMPARE(QGuiApplication::clipboard()->text(), panel.toPlainText());
        QVERIFY(QGuiApplication::clipboard()->text().contains("error Running the simulation failed"));
        QVERIFY(panel.textInteractionFlags() & Qt::TextSelectableByKeyboard);
    }

    void failuresAreLoggedInWords() {
        LogCapture log;
        kestrin_app::setFailurePresenter([](const QString&, const QString&) {});
        kestrin_app::logerror("addEffector", [] { throw kestrin::ValueError("The gripper needs a robot."); });
        kestrin_app::logerror("newProject", [] {
            kestrin_app::logerror("saveProject", [] { throw kestrin::FileError("The disk is full."); });
        });
        kestrin_app::setFailurePresenter({});
        QCOMPARE(log.lines(),
                 (QStringList{"error: Adding the effector failed: The gripper needs a robot.",
                              "error: Starting a new project failed while saving the project: The "
                              "disk is full."}));
    }

    void everyWrappedOperationHasWords() {
        // A new operation must say what it does in the log, not its name in the code.
        QStringList names;
        const QRegularExpression call(QStringLiteral("logerror\\(\\s*\"(\\w+)\""));
        QDirIterator it(QStringLiteral(KESTRIN_SOURCE_DIR "/kestrin_app"), {"*.cpp"}, QDir::Files,
                        QDirIterator::Subdirectories);
        while (it.hasNext()) {
            QFile f(it.next());
            QVERIFY(f.open(QIODevice::ReadOnly));
            auto matches = call.globalMatch(QString::fromUtf8(f.readAll()));
            while (matches.hasNext())
                names << matches.next().captured(1);
        }
        QVERIFY(names.size() > 20);
        for (const QString& name : names)
            QVERIFY2(!kestrin_app::operationInWords(name).startsWith("The operation"), qPrintable(name));
        QCOMPARE(kestrin_app::operationInWords("frobnicate"), QString("The operation 'frobnicate'"));
    }

    // --- File choosers --------------------------------------------------------------------------

    void choosersStartInTheLastFolderUsedElseDocuments() {
        using kestrin_app::content::KSFileDialog;
        QSettings().remove("fileDialogs/lastFolder");
        const QString documents = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
        QCOMPARE(KSFileDialog::startFolder(), QFileInfo(documents).isDir() ? documents : QDir::homePath());

        QTemporaryDir dir;
        QFile cell(dir.filePath("cell.kestrin"));
        QVERIFY(cell.open(QIODevice::WriteOnly));
        cell.close();
        QString shownIn;
        const QString firstStart = KSFileDialog::startFolder();
        DialogDriver::expect(DialogDriver::sequence(
            {[&shownIn](QWidget* d) { shownIn = static_cast<QFileDialog*>(d)->directory().absolutePath(); },
             DialogDriver::chooseFile(cell.fileName())}));
        QCOMPARE(KSFileDialog::getOpenFileName(nullptr, "Open file", "Kestrin project file (*.kestrin)"),
                 cell.fileName());
        QCOMPARE(shownIn, QDir(firstStart).absolutePath());
        QCOMPARE(KSFileDialog::startFolder(), dir.path());

        // The next chooser opens there.
        DialogDriver::expect(DialogDriver::sequence(
            {[&shownIn](QWidget* d) { shownIn = static_cast<QFileDialog*>(d)->directory().absolutePath(); },
             DialogDriver::chooseFile(QString())}));
        QVERIFY(KSFileDialog::getOpenFileName(nullptr, "Open file", "*").isNull());
        QCOMPARE(shownIn, dir.path());

        // A save chooser keeps the path it is given where that folder exists; a bare name, or a
        // folder that does not exist, starts in the start folder with the name proposed.
        QCOMPARE(KSFileDialog::saveStart(dir.filePath("mine.png")), dir.filePath("mine.png"));
        QCOMPARE(KSFileDialog::saveStart("trials.csv"), dir.filePath("trials.csv"));
        QCOMPARE(KSFileDialog::saveStart("/nonexistent-folder/screenshot.png"),
                 dir.filePath("screenshot.png"));

        // A last folder since removed is no start.
        QVERIFY(dir.remove());
        QVERIFY(KSFileDialog::startFolder() != dir.path());
        QSettings().remove("fileDialogs/lastFolder");
    }

    // --- Screenshots --------------------------------------------------------------------------------

    void screenshotsLeaveOutSelectionAndTeleoperation() {
        KSMainWindow window;
        showAt(window, 1280, 800);
        kestrin::Project* project = window.handler().project();
        QVERIFY(project);
        project->load(KESTRIN_SOURCE_DIR "/data/templates/demo_cell.kestrin");
        window.handler()._setupProject();
        kestrin::WorkspaceViewer* viewer = window.handler().viewer();
        const QString robot = project->workspace()->getRobots().value(0);
        const QString tool = project->workspace()->getToolFrames().value(0);
        QVERIFY(!robot.isEmpty() && !tool.isEmpty());
        viewer->setTeleoperationMode(robot, tool);
        viewer->setSelectedObject(project->workspace()->getRobot(robot)->id());

        QTemporaryDir dir;
        viewer->screenshot(dir.filePath("marked.png"));
        writeCleanScreenshot(viewer, dir.filePath("clean.png"));
        QCOMPARE(viewer->selectedObject(), quint64(0));
        QVERIFY(!viewer->isTeleoperating());
        viewer->screenshot(dir.filePath("plain.png"));
        const QImage marked(dir.filePath("marked.png")), clean(dir.filePath("clean.png")),
            plain(dir.filePath("plain.png"));
        QVERIFY(!clean.isNull());
        QVERIFY2(marked != clean, "the highlights never showed: the test would prove nothing");
        QCOMPARE(clean, plain);
    }
};

KESTRIN_GUI_TEST_MAIN(DesktopTest)

#include "test_desktop.moc"
