#include "log_panel.h"

#include <QFontDatabase>
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
    setLineWrapMode(QPlainTextEdit::NoWrap);
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

void KSLogPanel::appendLine(const QString& line) {
    appendPlainText(line);
}

#include "log_panel.moc"
