#pragma once
// logerror: runs one operation of the content handler and deals with what escapes it.
//
// The outermost wrapped operation catches a failure, writes it to the application log at error
// level (naming the operation and the message) and shows it once in a warning box. A wrapped
// operation called by another wrapped operation (a save inside newProject or quit) passes the
// failure on instead, so that the calling operation ends too and the failure is reported once:
// a failed save never lets the project be discarded or the program end.

#include <QString>
#include <exception>
#include <functional>
#include <stdexcept>

class QWidget;

namespace kestrin_app {

/// A failure passed on from a nested wrapped operation; names the operation where it arose.
class OperationFailed : public std::runtime_error {
public:
    OperationFailed(const QString& operation, const QString& message);
    const QString& operation() const { return m_operation; }
    const QString& message() const { return m_message; }

private:
    QString m_operation;
    QString m_message;
};

/// How a failure is shown to the user: (title, text). The default shows a warning box over the
/// active window; tests and headless runs install one that does not block.
using FailurePresenter = std::function<void(const QString& title, const QString& text)>;
void setFailurePresenter(FailurePresenter presenter);
FailurePresenter failurePresenter();

/// Runs `operation`; returns true when it completed. See the file comment for failures.
bool logerror(const char* name, const std::function<void()>& operation);

/// What a wrapped operation does, in words for the log: "addEffector" is "Adding the effector".
/// A name without words of its own reads "The operation 'name'".
QString operationInWords(const QString& name);

/// True while a wrapped operation is running (any depth).
bool insideWrappedOperation();

} // namespace kestrin_app
