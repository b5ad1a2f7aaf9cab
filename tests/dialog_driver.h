#pragma once
// Drives modal dialogs from tests, black-box: each expected dialog gets one action, run from a
// zero-time timer as soon as the dialog is the active modal widget. A safety timer closes any
// modal dialog still open after a few seconds, so that no test can hang on a dialog.

#include <QDialogButtonBox>
#include <QMessageBox>
#include <QString>
#include <QStringList>
#include <functional>

class QWidget;

namespace testing {

class DialogDriver {
public:
    using Action = std::function<void(QWidget* dialog)>;

    /// Queues an action for the next modal dialog that opens.
    static void expect(Action action);
    /// Number of queued actions not yet used, and of dialogs closed by the safety timer.
    static int pending();
    static int closedBySafety();
    /// The window titles of the dialogs handled since the last reset, in order.
    static QStringList seenTitles();
    /// Forgets queued actions and counters.
    static void reset();

    // Actions.
    static Action accept();          // OK / Yes / Save / Open
    static Action reject();          // Cancel / No / Escape
    static Action pressKey(int key); // e.g. Qt::Key_Return, Qt::Key_Escape
    static Action press(QDialogButtonBox::StandardButton button);
    static Action pressMessageButton(QMessageBox::StandardButton button);
    /// Types `text` into the line edit of that objectName (the key text for the selector form).
    static Action setText(const QString& objectName, const QString& text, Action then = accept());
    /// Chooses the combo-box entry with that text.
    static Action choose(const QString& objectName, const QString& text, Action then = accept());
    /// Answers a file dialog with `path` (or cancels when it is null).
    static Action chooseFile(const QString& path);
    /// Runs several steps on the same dialog.
    static Action sequence(std::initializer_list<Action> steps);
};

/// Captures the lines of the "kestrin.app" logging category while it lives.
class LogCapture {
public:
    LogCapture();
    ~LogCapture();
    /// Lines as "info: text" / "error: text", in order.
    QStringList lines() const;
    void clear();
    bool contains(const QString& line) const { return lines().contains(line); }
};

} // namespace testing
