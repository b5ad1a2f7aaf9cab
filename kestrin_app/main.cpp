// kestrin-studio [FILE] [--screenshot PATH] [--run PROGRAM]
// kestrin-studio --run PROGRAM FILE --trials N [--seed S] [--jobs J] [--shard I/K] [--results PATH]
// kestrin-studio --run PROGRAM FILE --replay T [--seed S];  kestrin-studio --merge PATH...

#include <kestrin/constants.h>
#include <kestrin/error.h>
#include <kestrin/project.h>
#include <kestrin_app/container.h>
#include <kestrin_app/content.h>
#include <kestrin_app/exception.h>
#include <kestrin_app/log.h>
#include <kestrin_app/mainwindow.h>
#include <kestrin_app/recovery.h>
#include <kestrin_app/trial_command.h>
#include <kestrin_viewer/simulator.h>
#include <kestrin_viewer/workspace_viewer.h>

#include <QApplication>
#include <QCommandLineParser>
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

// --help, --version, --run, --trials, --replay and --merge need no display: answer them with a console
// application.
bool consoleOnly(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        const QByteArray arg(argv[i]);
        if (arg == "--")
            break;
        if (arg == "-h" || arg == "--help" || arg == "-?" || arg == "--help-all" || arg == "-v" ||
            arg == "--version" || arg == "--run" || arg.startsWith("--run=") || arg == "--merge" ||
            arg == "--trials" || arg.startsWith("--trials=") || arg == "--replay" ||
            arg.startsWith("--replay="))
            return true;
    }
    return false;
}

// Runs one program of a project file without a window: prints the outcome and its reason;
// exit status 0 when the run completed, 1 when it faulted or the file could not be opened.
int runHeadless(const QString& program, const QString& file) {
    if (file.isEmpty()) {
        std::fprintf(stderr,
                     "kestrin-studio: --run needs a project file: kestrin-studio --run PROGRAM FILE\n");
        return 2;
    }
    kestrin::Project project;
    try {
        project.load(QFileInfo(file).absoluteFilePath());
    } catch (const kestrin::Error& e) {
        std::fprintf(stderr, "kestrin-studio: %s\n", e.what());
        return 1;
    }
    kestrin::Simulator simulator(&project, nullptr);
    const bool completed = simulator.runProgram(program);
    if (completed) {
        std::printf("Program '%s' completed after %.3f s of simulated time.\n", qUtf8Printable(program),
                    simulator.lastSimulatedSeconds());
        return 0;
    }
    std::printf("Program '%s' faulted after %.3f s of simulated time: %s\n", qUtf8Printable(program),
                simulator.lastSimulatedSeconds(), qUtf8Printable(simulator.lastReason()));
    return 1;
}

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
    QSurfaceFormat::setDefaultFormat(QVTKOpenGLNativeWidget::defaultFormat());
    QCoreApplication::setApplicationName(QStringLiteral("kestrin-studio"));
    QCoreApplication::setApplicationVersion(QStringLiteral(KESTRIN_VERSION));
    QCoreApplication::setOrganizationName(QStringLiteral("Kestrin"));

    std::unique_ptr<QCoreApplication> app(consoleOnly(argc, argv) ? new QCoreApplication(argc, argv)
                                                                  : new QApplication(argc, argv));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Kestrin Studio: set up and program robot work cells."));
    parser.addHelpOption();
    parser.addVersionOption();
    const QCommandLineOption screenshotOption(
        QStringLiteral("screenshot"),
        QStringLiteral("Open FILE (or the demo cell), write a PNG of the view to PATH and exit."),
        QStringLiteral("PATH"));
    parser.addOption(screenshotOption);
    const QCommandLineOption runOption(
        QStringLiteral("run"),
        QStringLiteral("Run PROGRAM of FILE in the simulator without a window, print the outcome and exit "
                       "(0: completed, 1: faulted)."),
        QStringLiteral("PROGRAM"));
    parser.addOption(runOption);
    // Trials: see trial_command.h.
    const QCommandLineOption trialsOption(
        QStringLiteral("trials"),
        QStringLiteral(
            "With --run: run N randomised trials of PROGRAM, each with a seed of its own, and write "
            "their results as JSON Lines (exit 0: all completed, 1: some faulted, 2: bad usage or file)."),
        QStringLiteral("N"));
    const QCommandLineOption seedOption(
        QStringLiteral("seed"), QStringLiteral("Base seed of the trials (default 1)."), QStringLiteral("S"));
    const QCommandLineOption jobsOption(
        QStringLiteral("jobs"),
        QStringLiteral("Run trials on J threads (default 1); the results are the same."),
        QStringLiteral("J"));
    const QCommandLineOption shardOption(
        QStringLiteral("shard"), QStringLiteral("Run only trials I, I+K, I+2K, ... of N (1 <= I <= K)."),
        QStringLiteral("I/K"));
    const QCommandLineOption resultsOption(
        QStringLiteral("results"),
        QStringLiteral("Write the JSON Lines results to PATH instead of standard output."),
        QStringLiteral("PATH"));
    const QCommandLineOption replayOption(
        QStringLiteral("replay"), QStringLiteral("With --run: run trial T alone and print what it drew."),
        QStringLiteral("T"));
    const QCommandLineOption mergeOption(
        QStringLiteral("merge"),
        QStringLiteral("Merge the result files of the shards of one run, given as the arguments."));
    for (const QCommandLineOption* o :
         {&trialsOption, &seedOption, &jobsOption, &shardOption, &resultsOption, &replayOption, &mergeOption})
        parser.addOption(*o);
    parser.addPositionalArgument(QStringLiteral("FILE"),
                                 QStringLiteral("Project file to open (default: the demo cell)."),
                                 QStringLiteral("[FILE]"));
    parser.process(*app); // answers --help and --version, and exits on a bad command line

    const QStringList positional = parser.positionalArguments();
    auto given = [&parser](const QCommandLineOption& o) {
        return parser.isSet(o) ? std::optional<QString>(parser.value(o)) : std::nullopt;
    };
    if (parser.isSet(mergeOption)) {
        if (parser.isSet(runOption) || parser.isSet(trialsOption) || parser.isSet(replayOption)) {
            printError(
                QStringLiteral("--merge only merges result files: it does not go with --run, --trials or "
                               "--replay"));
            return 2;
        }
        return runMergeCommand(positional, given(resultsOption));
    }
    const TrialOptions trialOptions{parser.value(runOption), positional.value(0), given(trialsOption),
                                    given(seedOption),       given(jobsOption),   given(shardOption),
                                    given(resultsOption),    given(replayOption)};
    if (wantsTrials(trialOptions)) {
        if (!parser.isSet(runOption)) {
            printError(QStringLiteral("--trials and --replay go with --run PROGRAM FILE"));
            return 2;
        }
        if (positional.size() > 1) {
            printError(QStringLiteral("one project file at most, got %1").arg(positional.size()));
            return 2;
        }
        return runTrialCommand(trialOptions);
    }
    if (positional.size() > 1) {
        printError(QStringLiteral("one project file at most, got %1").arg(positional.size()));
        return 1;
    }
    const QString file = positional.value(0);
    const QString screenshot = parser.value(screenshotOption);
    if (parser.isSet(runOption))
        return runHeadless(parser.value(runOption), file);

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
                if (!screenshot.isEmpty())
                    throw;
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
            showAndSettle(window);
            // screenshot() draws the frame it captures; drawing one more before it only costs time.
            handler.viewer()->screenshot(screenshot);
            return 0;
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
        return app->exec();
    } catch (const std::exception& e) {
        printError(QString::fromUtf8(e.what()));
        return 1;
    }
}
