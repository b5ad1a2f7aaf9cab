#include "dialog_driver.h"

#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QDateTime>
#include <QDialog>
#include <QFileDialog>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <deque>

namespace testing {

namespace {

struct State {
    std::deque<DialogDriver::Action> queue;
    QPointer<QWidget> lastHandled;
    int closedBySafety = 0;
    QStringList titles;
    QTimer* poll = nullptr;
    qint64 modalSeenAt = -1;
    QPointer<QWidget> modalSeen;
};

State& state() {
    static State s;
    return s;
}

constexpr int kSafetyMs = 5000;

void tick() {
    State& s = state();
    QWidget* modal = QApplication::activeModalWidget();
    if (!modal) {
        s.modalSeen = nullptr;
        return;
    }
    if (modal != s.lastHandled && !s.queue.empty()) {
        s.lastHandled = modal;
        s.titles << modal->windowTitle();
        DialogDriver::Action action = std::move(s.queue.front());
        s.queue.pop_front();
        QPointer<QWidget> guard(modal);
        QTimer::singleShot(0, modal, [action, guard] {
            if (guard)
                action(guard);
        });
        return;
    }
    // Nothing to do for this dialog: close it once it has been open too long.
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    if (s.modalSeen != modal) {
        s.modalSeen = modal;
        s.modalSeenAt = now;
    } else if (now - s.modalSeenAt > kSafetyMs) {
        ++s.closedBySafety;
        s.modalSeen = nullptr;
        if (auto* d = qobject_cast<QDialog*>(modal))
            d->reject();
        else
            modal->close();
    }
}

void ensurePolling() {
    State& s = state();
    if (s.poll)
        return;
    s.poll = new QTimer(qApp);
    QObject::connect(s.poll, &QTimer::timeout, tick);
    s.poll->start(10);
}

QAbstractButton* findButton(QWidget* dialog, QDialogButtonBox::StandardButton which) {
    for (auto* box : dialog->findChildren<QDialogButtonBox*>())
        if (QAbstractButton* b = box->button(which))
            return b;
    return nullptr;
}

} // namespace

void DialogDriver::expect(Action action) {
    ensurePolling();
    state().queue.push_back(std::move(action));
}

int DialogDriver::pending() {
    return static_cast<int>(state().queue.size());
}
int DialogDriver::closedBySafety() {
    return state().closedBySafety;
}
QStringList DialogDriver::seenTitles() {
    return state().titles;
}

void DialogDriver::reset() {
    State& s = state();
    s.queue.clear();
    s.closedBySafety = 0;
    s.titles.clear();
    ensurePolling();
}

DialogDriver::Action DialogDriver::press(QDialogButtonBox::StandardButton button) {
    return [button](QWidget* dialog) {
        if (QAbstractButton* b = findButton(dialog, button))
            b->click();
    };
}

DialogDriver::Action DialogDriver::pressMessageButton(QMessageBox::StandardButton button) {
    return [button](QWidget* dialog) {
        if (auto* box = qobject_cast<QMessageBox*>(dialog))
            if (QAbstractButton* b = box->button(button))
                b->click();
    };
}

DialogDriver::Action DialogDriver::accept() {
    return [](QWidget* dialog) {
        if (auto* box = qobject_cast<QMessageBox*>(dialog)) {
            for (auto which : {QMessageBox::Yes, QMessageBox::Ok, QMessageBox::Save})
                if (QAbstractButton* b = box->button(which))
                    return b->click();
        }
        for (auto which :
             {QDialogButtonBox::Ok, QDialogButtonBox::Yes, QDialogButtonBox::Save, QDialogButtonBox::Open})
            if (QAbstractButton* b = findButton(dialog, which))
                return b->click();
        if (auto* d = qobject_cast<QDialog*>(dialog))
            d->accept();
    };
}

DialogDriver::Action DialogDriver::reject() {
    return [](QWidget* dialog) {
        if (auto* box = qobject_cast<QMessageBox*>(dialog))
            if (QAbstractButton* b = box->button(QMessageBox::No))
                return b->click();
        if (auto* d = qobject_cast<QDialog*>(dialog))
            d->reject();
        else
            dialog->close();
    };
}

DialogDriver::Action DialogDriver::pressKey(int key) {
    return [key](QWidget* dialog) {
        QWidget* target = dialog->focusWidget() ? dialog->focusWidget() : dialog;
        QTest::keyClick(target, static_cast<Qt::Key>(key));
    };
}

DialogDriver::Action DialogDriver::setText(const QString& objectName, const QString& text, Action then) {
    return [objectName, text, then](QWidget* dialog) {
        if (auto* edit = dialog->findChild<QLineEdit*>(objectName)) {
            edit->selectAll();
            // Typed as a user would, so that the editor's edit signal fires.
            QTest::keyClick(edit, Qt::Key_Backspace);
            QTest::keyClicks(edit, text);
        }
        if (then)
            then(dialog);
    };
}

DialogDriver::Action DialogDriver::choose(const QString& objectName, const QString& text, Action then) {
    return [objectName, text, then](QWidget* dialog) {
        if (auto* combo = dialog->findChild<QComboBox*>(objectName)) {
            const int i = combo->findText(text);
            if (i >= 0)
                combo->setCurrentIndex(i);
        }
        if (then)
            then(dialog);
    };
}

DialogDriver::Action DialogDriver::chooseFile(const QString& path) {
    return [path](QWidget* dialog) {
        auto* fd = qobject_cast<QFileDialog*>(dialog);
        if (!fd || path.isNull()) {
            if (auto* d = qobject_cast<QDialog*>(dialog))
                d->reject();
            return;
        }
        // Typed into the file-name field as a user would; selectFile() resolves asynchronously.
        if (auto* edit = fd->findChild<QLineEdit*>(QStringLiteral("fileNameEdit")))
            edit->setText(path);
        else
            fd->selectFile(path);
        static_cast<QDialog*>(fd)->accept(); // QFileDialog checks the choice first
        if (fd->isVisible()) // the dialog refused the file (an open dialog wants an existing one)
            fd->reject();
    };
}

DialogDriver::Action DialogDriver::sequence(std::initializer_list<Action> steps) {
    std::vector<Action> list(steps);
    return [list](QWidget* dialog) {
        for (const Action& a : list)
            if (a)
                a(dialog);
    };
}

// --- LogCapture --------------------------------------------------------------------------------

namespace {
QStringList* g_lines = nullptr;
QtMessageHandler g_previous = nullptr;

void capture(QtMsgType type, const QMessageLogContext& context, const QString& message) {
    if (g_lines && context.category && qstrcmp(context.category, "kestrin.app") == 0) {
        const char* level = type == QtCriticalMsg || type == QtFatalMsg ? "error"
                            : type == QtWarningMsg                      ? "warning"
                            : type == QtDebugMsg                        ? "debug"
                                                                        : "info";
        g_lines->append(QString::fromLatin1(level) + QStringLiteral(": ") + message);
    }
    if (g_previous)
        g_previous(type, context, message);
}
} // namespace

LogCapture::LogCapture() {
    g_lines = new QStringList;
    g_previous = qInstallMessageHandler(capture);
}

LogCapture::~LogCapture() {
    qInstallMessageHandler(g_previous);
    delete g_lines;
    g_lines = nullptr;
}

QStringList LogCapture::lines() const {
    return g_lines ? *g_lines : QStringList();
}
void LogCapture::clear() {
    if (g_lines)
        g_lines->clear();
}

} // namespace testing
