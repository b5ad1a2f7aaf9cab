#pragma once
// A read-only view of the application log.

#include <QPlainTextEdit>
#include <QtGlobal>

class QTime;

/// Shows every line of the application log ("kestrin.app") as "HH:mm:ss level text".
///
/// The first panel installs a process-wide message handler that forwards the category's lines
/// and hands every message on to the handler that was installed before it. Lines may be logged
/// from any thread; they reach the panel through a queued connection, i.e. once the GUI thread's
/// event loop runs.
class KSLogPanel : public QPlainTextEdit {
    Q_OBJECT
public:
    explicit KSLogPanel(QWidget* parent = nullptr);

    /// "HH:mm:ss level text", level one of debug, info, warning, error, fatal.
    static QString formatLine(QtMsgType type, const QTime& time, const QString& text);

public slots:
    void appendLine(const QString& line);
};
