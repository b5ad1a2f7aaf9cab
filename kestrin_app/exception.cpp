#include "exception.h"

#include "dialogs.h"
#include "log.h"

#include <QApplication>
#include <QHash>

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

QString lowerFirst(QString text) {
    if (!text.isEmpty())
        text[0] = text[0].toLower();
    return text;
}
} // namespace

QString operationInWords(const QString& name) {
    static const QHash<QString, QString> words = {
        {QStringLiteral("newProject"), QStringLiteral("Starting a new project")},
        {QStringLiteral("openProject"), QStringLiteral("Opening the project")},
        {QStringLiteral("openRecent"), QStringLiteral("Opening the recent project")},
        {QStringLiteral("openTemplate"), QStringLiteral("Opening the template")},
        {QStringLiteral("open"), QStringLiteral("Opening the project")},
        {QStringLiteral("restore"), QStringLiteral("Restoring the recovered project")},
        {QStringLiteral("saveProject"), QStringLiteral("Saving the project")},
        {QStringLiteral("saveProjectAs"), QStringLiteral("Saving the project under a new name")},
        {QStringLiteral("quit"), QStringLiteral("Quitting")},
        {QStringLiteral("undo"), QStringLiteral("Undoing")},
        {QStringLiteral("redo"), QStringLiteral("Redoing")},
        {QStringLiteral("addRobot"), QStringLiteral("Adding the robot")},
        {QStringLiteral("addEffector"), QStringLiteral("Adding the effector")},
        {QStringLiteral("addToolFrame"), QStringLiteral("Adding the tool frame")},
        {QStringLiteral("addItem"), QStringLiteral("Adding the item")},
        {QStringLiteral("addTaskRegion"), QStringLiteral("Adding the task region")},
        {QStringLiteral("addCamera"), QStringLiteral("Adding the camera")},
        {QStringLiteral("addFiducial"), QStringLiteral("Adding the fiducial marker")},
        {QStringLiteral("importRobot"), QStringLiteral("Importing the robot")},
        {QStringLiteral("addItemFromMesh"), QStringLiteral("Adding the item from the mesh")},
        {QStringLiteral("addBehavior"), QStringLiteral("Adding the behavior")},
        {QStringLiteral("addVariable"), QStringLiteral("Adding the variable")},
        {QStringLiteral("deleteSelection"), QStringLiteral("Deleting the selection")},
        {QStringLiteral("propertyPanelEdit"), QStringLiteral("Changing the property")},
        {QStringLiteral("recordRespawnState"), QStringLiteral("Recording the respawn state")},
        {QStringLiteral("resetState"), QStringLiteral("Resetting to the respawn state")},
        {QStringLiteral("setCameraMode"), QStringLiteral("Switching to camera mode")},
        {QStringLiteral("setTeleoperationMode"), QStringLiteral("Switching to teleoperation")},
        {QStringLiteral("resetViewer"), QStringLiteral("Resetting the camera")},
        {QStringLiteral("screenshotViewer"), QStringLiteral("Saving the screenshot")},
        {QStringLiteral("runLocalSimulator"), QStringLiteral("Running the simulation")},
        {QStringLiteral("checkCollisions"), QStringLiteral("Checking for collisions")},
        {QStringLiteral("runTrials"), QStringLiteral("Running the trials")},
        {QStringLiteral("replayTrial"), QStringLiteral("Replaying the trial")},
        {QStringLiteral("replayProgram"), QStringLiteral("Replaying the program")},
        {QStringLiteral("saveTrialResults"), QStringLiteral("Saving the trial results")},
        {QStringLiteral("addChildBehavior"), QStringLiteral("Adding the child behavior")},
        {QStringLiteral("copy"), QStringLiteral("Copying")},
        {QStringLiteral("paste"), QStringLiteral("Pasting")},
        {QStringLiteral("duplicate"), QStringLiteral("Duplicating")},
        {QStringLiteral("rename"), QStringLiteral("Renaming")},
        {QStringLiteral("moveBehavior"), QStringLiteral("Moving the behavior")},
        {QStringLiteral("restOnSurface"), QStringLiteral("Resting the object on the surface below")},
    };
    const auto it = words.constFind(name);
    return it != words.constEnd() ? *it : QStringLiteral("The operation '%1'").arg(name);
}

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
    // "Starting a new project failed while saving the project: the disk is full."
    if (failedIn == op)
        qCCritical(lcApp, "%s failed: %s", qUtf8Printable(operationInWords(op)), qUtf8Printable(message));
    else
        qCCritical(lcApp, "%s failed while %s: %s", qUtf8Printable(operationInWords(op)),
                   qUtf8Printable(lowerFirst(operationInWords(failedIn))), qUtf8Printable(message));
    if (const auto& present = presenterSlot())
        present(QStringLiteral("Kestrin Studio"), message);
    return false;
}

} // namespace kestrin_app
