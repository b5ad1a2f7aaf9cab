#pragma once
// The kestrin-studio command line. It is read before any application object exists, so that
// whether the studio needs a display is known without one: --help, --version, --run, the trials
// and every bad command line are answered on a machine that has none.
//
//   kestrin-studio [FILE]                                   the studio (FILE or the demo cell)
//   kestrin-studio [FILE] --screenshot PATH [--size WxH]    a PNG of the view, then exit
//   kestrin-studio --run PROGRAM FILE                       play PROGRAM without a window
//   kestrin-studio --run PROGRAM FILE --trials N ...        see trial_command.h
//   kestrin-studio --merge PATH... [--results PATH]
//
// Exit status: 0 completed, 1 faulted, 2 bad usage, a file that cannot be read or written, or a
// program the file does not have.

#include "trial_command.h"

#include <QSize>
#include <QString>
#include <QStringList>
#include <optional>

namespace kestrin {
class WorkspaceViewer;
}

namespace ks_exit {
constexpr int kCompleted = 0;
constexpr int kFaulted = 1;
constexpr int kBadUsage = 2;
} // namespace ks_exit

/// What the command line asks for, read without an application object.
struct KSCommandLine {
    enum class Mode {
        Help,
        Version,
        Studio,     ///< the window, with `file` or the demo cell
        Screenshot, ///< the window's view of `file` (or the demo cell) written to `screenshot`
        Run,        ///< `program` of `file`, without a window
        Trials,     ///< `trials`
        Merge,      ///< `mergePaths` into `results`
        Invalid,    ///< `error` says what is wrong
    };
    Mode mode = Mode::Studio;
    QString file;
    QString program;
    QString screenshot;
    /// The size of the view in the screenshot; invalid: as the window lays it out.
    QSize size;
    TrialOptions trials;
    QStringList mergePaths;
    std::optional<QString> results;
    QString error;

    /// `arguments` as main() has them, the program's own name first.
    static KSCommandLine parse(const QStringList& arguments);
    /// The --help text. Needs a QCoreApplication (for the program's name in the usage line).
    static QString usage();

    bool needsDisplay() const { return mode == Mode::Studio || mode == Mode::Screenshot; }
};

/// Answers every mode that needs no display (all but Studio and Screenshot) and returns the exit
/// status. Needs a QCoreApplication.
int runConsoleCommand(const KSCommandLine& commandLine);

/// True when a window can be shown: a platform was chosen, or an X or Wayland display is named.
bool displayAvailable();

/// "'FILE' has no program named 'X' (its programs: A, B)." for a run or trials of a program the
/// file does not have.
QString missingProgramMessage(const QString& file, const QString& program, const QStringList& programs);

/// Writes a PNG of the view as the cell is, without what belongs to a session at the screen:
/// the selection outline and the teleoperation handle are taken off first (and stay off).
/// Throws what WorkspaceViewer::screenshot throws.
void writeCleanScreenshot(kestrin::WorkspaceViewer* viewer, const QString& path);
