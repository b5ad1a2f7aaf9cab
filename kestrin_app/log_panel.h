#pragma once
// A read-only view of the application log.

#include <QColor>
#include <QPlainTextEdit>
#include <QtGlobal>

class QContextMenuEvent;
class QTime;

/// Shows every line of the application log ("kestrin.app") as "HH:mm:ss level text".
///
/// Long lines wrap at the panel's width, so that a fault's reason is read whole. Error lines show
/// in red, warnings in amber. The text can be selected and copied (Ctrl+C, or the context menu,
/// which also copies the whole log and clears it).
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

    /// The colour of a line of that level; invalid for the ordinary colour.
    static QColor levelColour(const QString& level);

public slots:
    void appendLine(const QString& line);
    /// The whole log to the clipboard.
    void copyAll();

protected:
    void contextMenuEvent(QContextMenuEvent* event) override;
};
