#include "exception.h"

#include "dialogs.h"
#include "log.h"

#include <QApplication>

namespace kestrin_app {

namespace {
int g_depth = 0;

FailurePresenter& presenterSlot() {
    static FailurePresenter presenter = [](const QString& title, const QString& text) {
        content::KSMessageBox::warning(QApplication::activeWindow(), title, text, QMessageBox::Ok,
                                       QMessageBox::Ok);
    };
    return presenter;
}

QString messageOf(const std::exception& e) {
    return QString::fromUtf8(e.what());
}
} // namespace

OperationFailed::OperationFailed(const QString& operation, const QString& message)
    : std::runtime_error((operation + QStringLiteral(": ") + message).toStdString()), m_operation(operation),
      m_message(message) {}

void setFailurePresenter(FailurePresenter presenter) {
    presenterSlot() = std::move(presenter);
}
FailurePresenter failurePresenter() {
    return presenterSlot();
}
bool insideWrappedOperation() {
    return g_depth > 0;
}

bool logerror(const char* name, const std::function<void()>& operation) {
    const QString op = QString::fromLatin1(name);
    const bool outermost = g_depth == 0;
    QString failedIn, message;
    ++g_depth;
    try {
        operation();
        --g_depth;
        return true;
    } catch (const OperationFailed& e) {
        --g_depth;
        if (!outermost)
            throw;
        failedIn = e.operation();
        message = e.message();
    } catch (const std::exception& e) {
        --g_depth;
        if (!outermost)
            throw OperationFailed(op, messageOf(e));
        failedIn = op;
        message = messageOf(e);
    } catch (...) {
        --g_depth;
        if (!outermost)
            throw OperationFailed(op, QStringLiteral("unknown failure"));
        failedIn = op;
        message = QStringLiteral("unknown failure");
    }
    if (failedIn == op)
        qCCritical(lcApp, "%s failed: %s", qUtf8Printable(op), qUtf8Printable(message));
    else
        qCCritical(lcApp, "%s failed in %s: %s", qUtf8Printable(op), qUtf8Printable(failedIn),
                   qUtf8Printable(message));
    if (const auto& present = presenterSlot())
        present(QStringLiteral("Kestrin Studio"), message);
    return false;
}

} // namespace kestrin_app
