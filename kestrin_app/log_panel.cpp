#include "log_panel.h"

#include <QClipboard>
#include <QContextMenuEvent>
#include <QFontDatabase>
#include <QGuiApplication>
#include <QMenu>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextCursor>
#include <QTime>
#include <atomic>
#include <cstring>

namespace {

constexpr int kMaxLines = 10000;
const char* const kAppCategory = "kestrin.app";

/// Carries log lines from whichever thread logged them to the panels.
class LogForwarder : public QObject {
    Q_OBJECT
signals:
    void lineLogged(const QString& line);
};

std::atomic<LogForwarder*> g_forwarder{nullptr};
QtMessageHandler g_previous = nullptr;

void forwardMessage(QtMsgType type, const QMessageLogContext& context, const QString& message) {
    if (context.category && std::strcmp(context.category, kAppCategory) == 0)
        if (LogForwarder* forwarder = g_forwarder.load())
            emit forwarder->lineLogged(KSLogPanel::formatLine(type, QTime::currentTime(), message));
    if (g_previous)
        g_previous(type, context, message);
}

// Made once, on the GUI thread, and kept for the life of the process: messages may arrive from
// other threads at any time, even while panels come and go.
LogForwarder* forwarder() {
    static LogForwarder* instance = [] {
        auto* f = new LogForwarder;
        g_forwarder.store(f);
        g_previous = qInstallMessageHandler(forwardMessage);
        return f;
    }();
    return instance;
}

} // namespace

KSLogPanel::KSLogPanel(QWidget* parent) : QPlainTextEdit(parent) {
    setObjectName(QStringLiteral("logPanel"));
    setReadOnly(true);
    setMaximumBlockCount(kMaxLines);
    setLineWrapMode(QPlainTextEdit::WidgetWidth);
    setWordWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    connect(forwarder(), &LogForwarder::lineLogged, this, &KSLogPanel::appendLine, Qt::QueuedConnection);
}

QString KSLogPanel::formatLine(QtMsgType type, const QTime& time, const QString& text) {
    const char* level = "info";
    switch (type) {
    case QtDebugMsg:
        level = "debug";
        break;
    case QtInfoMsg:
        level = "info";
        break;
    case QtWarningMsg:
        level = "warning";
        break;
    case QtCriticalMsg:
        level = "error";
        break;
    case QtFatalMsg:
        level = "fatal";
        break;
    }
    return QStringLiteral("%1 %2 %3")
        .arg(time.toString(QStringLiteral("HH:mm:ss")), QLatin1String(level), text);
}

QColor KSLogPanel::levelColour(const QString& level) {
    if (level == QLatin1String("error") || level == QLatin1String("fatal"))
        return QColor(0xc6, 0x28, 0x28);
    if (level == QLatin1String("warning"))
        return QColor(0xa8, 0x5d, 0x00);
    return QColor();
}

void KSLogPanel::appendLine(const QString& line) {
    // "HH:mm:ss level text": the level is the second word.
    const QColor colour = levelColour(line.section(QLatin1Char(' '), 1, 1));
    QTextCharFormat format;
    if (colour.isValid())
        format.setForeground(colour);
    QScrollBar* bar = verticalScrollBar();
    const bool following = bar->value() == bar->maximum();
    QTextCursor cursor(document());
    cursor.movePosition(QTextCursor::End);
    if (!document()->isEmpty())
        cursor.insertBlock();
    cursor.insertText(line, format);
    if (following)
        bar->setValue(bar->maximum());
}

void KSLogPanel::copyAll() {
    QGuiApplication::clipboard()->setText(toPlainText());
}

void KSLogPanel::contextMenuEvent(QContextMenuEvent* event) {
    QMenu* menu = createStandardContextMenu(event->pos());
    menu->setObjectName(QStringLiteral("logPanelMenu"));
    menu->addSeparator();
    QAction* all = menu->addAction(tr("Copy &All"), this, &KSLogPanel::copyAll);
    all->setObjectName(QStringLiteral("actionCopyLog"));
    all->setEnabled(!document()->isEmpty());
    QAction* clearLog = menu->addAction(tr("C&lear"), this, &QPlainTextEdit::clear);
    clearLog->setObjectName(QStringLiteral("actionClearLog"));
    menu->exec(event->globalPos());
    delete menu;
}

#include "log_panel.moc"
