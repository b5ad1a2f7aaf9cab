#include "command_line.h"

#include <kestrin/error.h>
#include <kestrin/project.h>
#include <kestrin_viewer/simulator.h>
#include <kestrin_viewer/workspace_viewer.h>

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QRegularExpression>
#include <cstdio>

namespace {

constexpr int kMinSide = 16;
constexpr int kMaxSide = 8192;

/// The options of kestrin-studio, declared once for parsing and for the help text.
struct Options {
    QCommandLineOption screenshot{
        QStringLiteral("screenshot"),
        QStringLiteral("Open FILE (or the demo cell), write a PNG of the view to PATH "
                       "and exit. Nothing is selected or teleoperated in it."),
        QStringLiteral("PATH")};
    QCommandLineOption size{QStringLiteral("size"),
                            QStringLiteral("With --screenshot: the size of the picture in pixels, such as "
                                           "1280x800."),
                            QStringLiteral("WxH")};
    QCommandLineOption run{QStringLiteral("run"),
                           QStringLiteral("Run PROGRAM of FILE in the simulator without a window, print the "
                                          "outcome and exit (0: completed, 1: faulted, 2: bad usage, a file "
                                          "that cannot be read, or no such program)."),
                           QStringLiteral("PROGRAM")};
    // Trials: see trial_command.h.
    QCommandLineOption trials{
        QStringLiteral("trials"),
        QStringLiteral(
            "With --run: run N randomised trials of PROGRAM, each with a seed of its own, and write "
            "their results as JSON Lines (exit 0: all completed, 1: some faulted, 2: bad usage or "
            "file)."),
        QStringLiteral("N")};
    QCommandLineOption seed{QStringLiteral("seed"), QStringLiteral("Base seed of the trials (default 1)."),
                            QStringLiteral("S")};
    QCommandLineOption jobs{QStringLiteral("jobs"),
                            QStringLiteral("Run trials on J threads (default 1); the results are the same."),
                            QStringLiteral("J")};
    QCommandLineOption shard{QStringLiteral("shard"),
                             QStringLiteral("Run only trials I, I+K, I+2K, ... of N (1 <= I <= K)."),
                             QStringLiteral("I/K")};
    QCommandLineOption results{
        QStringLiteral("results"),
        QStringLiteral("Write the JSON Lines results to PATH instead of standard output."),
        QStringLiteral("PATH")};
    QCommandLineOption replay{QStringLiteral("replay"),
                              QStringLiteral("With --run: run trial T alone and print what it drew."),
                              QStringLiteral("T")};
    QCommandLineOption merge{QStringLiteral("merge"),
                             QStringLiteral("Merge the result files of the shards of one run, given as the "
                                            "arguments.")};
    QCommandLineOption help;
    QCommandLineOption version;

    explicit Options(QCommandLineParser& parser)
        : help(parser.addHelpOption()), version(parser.addVersionOption()) {
        parser.setApplicationDescription(QStringLiteral(
            "Kestrin Studio: set up and program robot work cells.\n\nExit status: 0 completed, "
            "1 faulted, 2 bad usage, a file that cannot be read or written, or a program the "
            "file does not have."));
        for (const QCommandLineOption* o :
             {&screenshot, &size, &run, &trials, &seed, &jobs, &shard, &results, &replay, &merge})
            parser.addOption(*o);
        parser.addPositionalArgument(QStringLiteral("FILE"),
                                     QStringLiteral("Project file to open (default: the demo cell)."),
                                     QStringLiteral("[FILE]"));
    }
};

/// The arguments without Qt's own options (-platform offscreen, -style=fusion, -reverse, ...),
/// which the application object takes for itself once it exists.
QStringList withoutQtOptions(const QStringList& arguments) {
    static const QStringList withValue = {QStringLiteral("platform"),
                                          QStringLiteral("platformpluginpath"),
                                          QStringLiteral("platformtheme"),
                                          QStringLiteral("plugin"),
                                          QStringLiteral("qwindowgeometry"),
                                          QStringLiteral("qwindowtitle"),
                                          QStringLiteral("qwindowicon"),
                                          QStringLiteral("style"),
                                          QStringLiteral("stylesheet"),
                                          QStringLiteral("session"),
                                          QStringLiteral("display"),
                                          QStringLiteral("geometry"),
                                          QStringLiteral("title"),
                                          QStringLiteral("name"),
                                          QStringLiteral("fn"),
                                          QStringLiteral("font"),
                                          QStringLiteral("bg"),
                                          QStringLiteral("background"),
                                          QStringLiteral("fg"),
                                          QStringLiteral("foreground"),
                                          QStringLiteral("btn"),
                                          QStringLiteral("button"),
                                          QStringLiteral("visual"),
                                          QStringLiteral("ncols"),
                                          QStringLiteral("cmap"),
                                          QStringLiteral("im"),
                                          QStringLiteral("inputstyle")};
    static const QStringList flags = {QStringLiteral("reverse"), QStringLiteral("widgetcount"),
                                      QStringLiteral("nograb"),  QStringLiteral("dograb"),
                                      QStringLiteral("sync"),    QStringLiteral("testability")};
    QStringList kept;
    for (int i = 0; i < arguments.size(); ++i) {
        const QString& arg = arguments[i];
        if (i == 0 || !arg.startsWith(QLatin1Char('-')) || arg == QLatin1String("--")) {
            kept << arg;
            if (arg == QLatin1String("--") && i > 0) {
                kept += arguments.mid(i + 1);
                break;
            }
            continue;
        }
        // Qt takes "-name value", "--name value" and "-name=value".
        const QString name =
            arg.mid(arg.startsWith(QLatin1String("--")) ? 2 : 1).section(QLatin1Char('='), 0, 0);
        if (flags.contains(name))
            continue;
        if (withValue.contains(name)) {
            if (!arg.contains(QLatin1Char('=')))
                ++i; // its value
            continue;
        }
        kept << arg;
    }
    return kept;
}

KSCommandLine invalid(const QString& error) {
    KSCommandLine c;
    c.mode = KSCommandLine::Mode::Invalid;
    c.error = error;
    return c;
}

void printError(const QString& message) {
    std::fprintf(stderr, "kestrin-studio: %s\n", qUtf8Printable(message));
}

/// Plays one program of a project file without a window and prints its outcome, once.
int runHeadless(const QString& program, const QString& file) {
    const QString path = QFileInfo(file).absoluteFilePath();
    kestrin::Project project;
    try {
        project.load(path);
    } catch (const kestrin::Error& e) {
        printError(QString::fromUtf8(e.what()));
        return ks_exit::kBadUsage;
    }
    if (!project.programs().contains(program)) {
        printError(missingProgramMessage(path, program, project.programs().keys()));
        return ks_exit::kBadUsage;
    }
    // The simulator tells the application log how the run went; here the outcome line below is
    // the one place that says it. QT_LOGGING_RULES still turns the log back on.
    QLoggingCategory::setFilterRules(QStringLiteral("kestrin.app=false"));
    kestrin::Simulator simulator(&project, nullptr);
    const bool completed = simulator.runProgram(program);
    if (completed) {
        std::printf("Program '%s' completed after %.3f s of simulated time.\n", qUtf8Printable(program),
                    simulator.lastSimulatedSeconds());
        return ks_exit::kCompleted;
    }
    std::printf("Program '%s' faulted after %.3f s of simulated time: %s\n", qUtf8Printable(program),
                simulator.lastSimulatedSeconds(), qUtf8Printable(simulator.lastReason()));
    return ks_exit::kFaulted;
}

} // namespace

KSCommandLine KSCommandLine::parse(const QStringList& arguments) {
    QCommandLineParser parser;
    const Options o(parser);
    if (!parser.parse(withoutQtOptions(arguments)))
        return invalid(parser.errorText());
    // optionNames() lists what was given, --help-all among them.
    if (parser.isSet(o.help) || parser.optionNames().contains(QStringLiteral("help-all"))) {
        KSCommandLine c;
        c.mode = Mode::Help;
        return c;
    }
    if (parser.isSet(o.version)) {
        KSCommandLine c;
        c.mode = Mode::Version;
        return c;
    }

    const QStringList positional = parser.positionalArguments();
    auto given = [&parser](const QCommandLineOption& option) {
        return parser.isSet(option) ? std::optional<QString>(parser.value(option)) : std::nullopt;
    };
    const bool screenshot = parser.isSet(o.screenshot);
    if (parser.isSet(o.size) && !screenshot)
        return invalid(QStringLiteral("--size goes with --screenshot PATH: it is the size of the picture."));

    KSCommandLine c;
    c.results = given(o.results);
    if (parser.isSet(o.merge)) {
        if (parser.isSet(o.run) || parser.isSet(o.trials) || parser.isSet(o.replay))
            return invalid(
                QStringLiteral("--merge only merges result files: it does not go with --run, --trials or "
                               "--replay"));
        if (screenshot)
            return invalid(
                QStringLiteral("--merge only merges result files: it does not go with --screenshot"));
        c.mode = Mode::Merge;
        c.mergePaths = positional;
        return c;
    }

    c.trials = TrialOptions{parser.value(o.run), positional.value(0), given(o.trials), given(o.seed),
                            given(o.jobs),       given(o.shard),      c.results,       given(o.replay)};
    if (positional.size() > 1)
        return invalid(QStringLiteral("one project file at most, got %1").arg(positional.size()));
    if (wantsTrials(c.trials)) {
        if (!parser.isSet(o.run))
            return invalid(QStringLiteral("--trials and --replay go with --run PROGRAM FILE"));
        if (screenshot)
            return invalid(QStringLiteral("--screenshot draws the view once: it does not go with trials."));
        c.mode = Mode::Trials;
        return c;
    }

    c.file = positional.value(0);
    if (parser.isSet(o.run)) {
        if (screenshot)
            return invalid(QStringLiteral("--run plays a program without a window and --screenshot draws the "
                                          "view of a cell: give one of them."));
        if (c.file.isEmpty())
            return invalid(QStringLiteral("--run needs a project file: kestrin-studio --run PROGRAM FILE"));
        c.mode = Mode::Run;
        c.program = parser.value(o.run);
        return c;
    }

    if (screenshot) {
        c.mode = Mode::Screenshot;
        c.screenshot = parser.value(o.screenshot);
        if (c.screenshot.trimmed().isEmpty())
            return invalid(QStringLiteral("--screenshot needs the path of the PNG file to write."));
        if (parser.isSet(o.size)) {
            const QString text = parser.value(o.size);
            const QRegularExpressionMatch m =
                QRegularExpression(QStringLiteral("^\\s*(\\d{1,5})\\s*[xX]\\s*(\\d{1,5})\\s*$")).match(text);
            const int w = m.hasMatch() ? m.captured(1).toInt() : 0;
            const int h = m.hasMatch() ? m.captured(2).toInt() : 0;
            if (w < kMinSide || w > kMaxSide || h < kMinSide || h > kMaxSide)
                return invalid(
                    QStringLiteral("--size needs WIDTHxHEIGHT in pixels, each from %1 to %2 (such as "
                                   "1280x800), not '%3'.")
                        .arg(kMinSide)
                        .arg(kMaxSide)
                        .arg(text));
            c.size = QSize(w, h);
        }
        return c;
    }
    c.mode = Mode::Studio;
    return c;
}

QString KSCommandLine::usage() {
    QCommandLineParser parser;
    const Options o(parser);
    return parser.helpText();
}

int runConsoleCommand(const KSCommandLine& c) {
    switch (c.mode) {
    case KSCommandLine::Mode::Help:
        std::printf("%s", qUtf8Printable(KSCommandLine::usage()));
        return ks_exit::kCompleted;
    case KSCommandLine::Mode::Version:
        std::printf("%s %s\n", qUtf8Printable(QCoreApplication::applicationName()),
                    qUtf8Printable(QCoreApplication::applicationVersion()));
        return ks_exit::kCompleted;
    case KSCommandLine::Mode::Invalid:
        printError(c.error);
        std::fprintf(stderr, "\n%s", qUtf8Printable(KSCommandLine::usage()));
        return ks_exit::kBadUsage;
    case KSCommandLine::Mode::Run:
        return runHeadless(c.program, c.file);
    case KSCommandLine::Mode::Trials:
        return runTrialCommand(c.trials);
    case KSCommandLine::Mode::Merge:
        return runMergeCommand(c.mergePaths, c.results);
    case KSCommandLine::Mode::Studio:
    case KSCommandLine::Mode::Screenshot:
        break;
    }
    printError(QStringLiteral("the studio needs a display."));
    return ks_exit::kBadUsage;
}

bool displayAvailable() {
#if defined(Q_OS_UNIX) && !defined(Q_OS_MACOS)
    for (const char* name : {"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY"})
        if (!qEnvironmentVariableIsEmpty(name))
            return true;
    return false;
#else
    return true;
#endif
}

QString missingProgramMessage(const QString& file, const QString& program, const QStringList& programs) {
    return QStringLiteral("'%1' has no program named '%2' (its programs: %3).")
        .arg(file, program,
             programs.isEmpty() ? QStringLiteral("none") : programs.join(QStringLiteral(", ")));
}

void writeCleanScreenshot(kestrin::WorkspaceViewer* viewer, const QString& path) {
    viewer->setSelectedObject(0);
    if (viewer->isTeleoperating())
        viewer->setCameraMode();
    viewer->rebuild();
    viewer->screenshot(path);
}
