// kestrin-studio: the studio, or one of its command-line modes (command_line.h says which).

#include <kestrin/constants.h>
#include <kestrin/error.h>
#include <kestrin/project.h>
#include <kestrin_app/command_line.h>
#include <kestrin_app/container.h>
#include <kestrin_app/content.h>
#include <kestrin_app/exception.h>
#include <kestrin_app/log.h>
#include <kestrin_app/mainwindow.h>
#include <kestrin_app/recovery.h>
#include <kestrin_viewer/workspace_viewer.h>

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QSurfaceFormat>
#include <QThread>
#include <QTimer>
#include <QVTKOpenGLNativeWidget.h>
#include <QWindow>
#include <cstdio>
#include <memory>

namespace {

QString demoCellPath(QStringList& searched) {
    const QString name = QStringLiteral("demo_cell") + QLatin1String(kestrin::KS_PROJECT_FILE_EXT);
    for (const QString& folder : KSMainWindow::templateFolders()) {
        const QString path = QDir::cleanPath(QDir(folder).filePath(name));
        searched << path;
        if (QFileInfo(path).isFile())
            return path;
    }
    return QString();
}

void printError(const QString& message) {
    std::fprintf(stderr, "kestrin-studio: %s\n", qUtf8Printable(message));
}

// Shows the window and lets the window system map it, so that the viewer has a surface to
// render to.
void showAndSettle(QWidget& window) {
    window.show();
    QElapsedTimer waited;
    waited.start();
    while (!(window.windowHandle() && window.windowHandle()->isExposed()) && waited.elapsed() < 10000) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
        QThread::msleep(5);
    }
    QCoreApplication::processEvents();
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication::setApplicationName(QStringLiteral("kestrin-studio"));
    QCoreApplication::setApplicationVersion(QStringLiteral(KESTRIN_VERSION));
    QCoreApplication::setOrganizationName(QStringLiteral("Kestrin"));

    // Read before any application object exists: only the window needs a display.
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    const KSCommandLine commandLine = KSCommandLine::parse(arguments);
    if (!commandLine.needsDisplay()) {
        QCoreApplication app(argc, argv);
        return runConsoleCommand(commandLine);
    }
    if (!displayAvailable()) {
        printError(
            QStringLiteral("there is no display to show the studio on (DISPLAY is not set). Without one, "
                           "--run plays a program; xvfb-run gives a virtual display."));
        return ks_exit::kBadUsage;
    }

    QSurfaceFormat::setDefaultFormat(QVTKOpenGLNativeWidget::defaultFormat());
    QApplication app(argc, argv);
    const QString file = commandLine.file;
    const QString screenshot = commandLine.screenshot;

    QApplication::setApplicationDisplayName(QStringLiteral("Kestrin Studio"));

    try {
        KSMainWindow window;
        auto& handler = window.handler();

        // What the window starts with: the file asked for, else the demo cell. A file that
        // cannot be opened ends a screenshot run with its reason; the studio itself opens with
        // the demo cell and says what was wrong (a double-click in a file manager must not look
        // dead).
        QString startupError;
        if (!file.isEmpty()) {
            const QString path = QFileInfo(file).absoluteFilePath();
            try {
                auto loaded = std::make_unique<kestrin::Project>();
                const kestrin::FileStamp stamp = kestrin::FileStamp::of(path);
                loaded->load(path);
                window.container()->setProject(std::move(loaded));
                handler._setupProject();
                handler._active_filename = path;
                handler._noteFileOnDisk(path, stamp);
                qCInfo(lcApp, "Opened project '%s'", qUtf8Printable(path));
            } catch (const kestrin::Error& e) {
                if (!screenshot.isEmpty()) {
                    printError(QString::fromUtf8(e.what()));
                    return ks_exit::kBadUsage;
                }
                startupError = QString::fromUtf8(e.what());
            }
        }
        if (file.isEmpty() || !startupError.isEmpty()) {
            QStringList searched;
            const QString demo = demoCellPath(searched);
            if (demo.isEmpty()) {
                qCCritical(lcApp, "Demo cell not found (looked for %s); starting with an empty project",
                           qUtf8Printable(searched.join(QStringLiteral(", "))));
            } else {
                try {
                    handler.project()->load(demo);
                    handler._setupProject();
                } catch (const kestrin::Error& e) {
                    qCCritical(lcApp, "Cannot open the demo cell: %s", e.what());
                }
            }
        }

        if (!screenshot.isEmpty()) {
            if (commandLine.size.isValid())
                handler.viewer()->setFixedSize(commandLine.size); // the window grows around it
            showAndSettle(window);
            try {
                // It draws the frame it captures; drawing one more before it only costs time.
                writeCleanScreenshot(handler.viewer(), screenshot);
            } catch (const kestrin::FileError& e) {
                printError(QString::fromUtf8(e.what()));
                return ks_exit::kBadUsage;
            }
            std::printf("Saved the view to '%s'.\n",
                        qUtf8Printable(QFileInfo(screenshot).absoluteFilePath()));
            return ks_exit::kCompleted;
        }

        window.show();
        // What a studio that did not quit cleanly left behind is offered first.
        QTimer::singleShot(0, &window, [&window] { window.recovery().offerRestore(&window); });
        if (!startupError.isEmpty()) {
            // Once the window is up, so that the message has a window to stand over.
            QTimer::singleShot(0, &window, [startupError] {
                kestrin_app::logerror("open", [&startupError] {
                    throw kestrin::FileError(startupError +
                                             QStringLiteral(" The demo cell is shown instead."));
                });
            });
        }
        return app.exec();
    } catch (const std::exception& e) {
        printError(QString::fromUtf8(e.what()));
        return ks_exit::kFaulted;
    }
}
