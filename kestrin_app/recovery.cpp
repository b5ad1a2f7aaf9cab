#include "recovery.h"

#include "content.h"
#include "exception.h"
#include "log.h"

#include <kestrin/atomic_file.h>
#include <kestrin/error.h>
#include <kestrin/project.h>
#include <kestrin/undo_history.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLockFile>
#include <QMessageBox>
#include <QPushButton>
#include <QRegularExpression>
#include <QSettings>
#include <QStandardPaths>
#include <future>

namespace {

const QString kProjectSuffix = QStringLiteral(".kestrin");
const QString kMetaSuffix = QStringLiteral(".json");
const QString kLockSuffix = QStringLiteral(".lock");
const QString kIntervalKey = QStringLiteral("autosave/intervalSeconds");

/// A lock that is never taken for stale by its age: only a dead owner gives it up. (QLockFile's
/// default would take a running studio's lock for stale after 30 seconds.)
std::unique_ptr<QLockFile> makeLock(const QString& path) {
    auto lock = std::make_unique<QLockFile>(path);
    lock->setStaleLockTime(0);
    return lock;
}

QString readableTime(const QDateTime& when) {
    return QLocale().toString(when.toLocalTime(), QLocale::ShortFormat);
}

} // namespace

struct WriteJob {
    std::future<QString> result; // the failure's message, empty when written
    quint64 generation = 0;
};

KSRecovery::KSRecovery(kestrin_app::content::KSContentHandler* handler, QObject* parent,
                       const QString& folder)
    : QObject(parent), m_handler(handler), m_folder(folder.isEmpty() ? defaultFolder() : folder) {
    m_id = QStringLiteral("session-%1-%2")
               .arg(QCoreApplication::applicationPid())
               .arg(QDateTime::currentMSecsSinceEpoch());
    QDir().mkpath(m_folder);
    m_lock = makeLock(pathFor(m_id, kLockSuffix));
    if (!m_lock->tryLock(0))
        qCWarning(lcApp, "Autosave cannot lock its file in '%s': %s", qUtf8Printable(m_folder),
                  m_lock->error() == QLockFile::PermissionError ? "permission denied" : "it is in use");
    m_timer.setSingleShot(true);
    connect(&m_timer, &QTimer::timeout, this, &KSRecovery::autosaveNow);
}

KSRecovery::~KSRecovery() {
    waitForWrites();
}

QString KSRecovery::defaultFolder() {
    return QDir(QStandardPaths::writableLocation(QStandardPaths::AppDataLocation))
        .filePath(QStringLiteral("recovery"));
}

QString KSRecovery::pathFor(const QString& id, const QString& suffix) const {
    return QDir(m_folder).filePath(id + suffix);
}

QString KSRecovery::recoveryFile() const {
    return pathFor(m_id, kProjectSuffix);
}

double KSRecovery::intervalSeconds() {
    bool ok = false;
    const double seconds = QSettings().value(kIntervalKey, 60.0).toDouble(&ok);
    return ok && seconds > 0 ? seconds : 0.0;
}

void KSRecovery::setIntervalSeconds(double seconds) {
    QSettings().setValue(kIntervalKey, std::max(0.0, seconds));
}

void KSRecovery::projectChanged() {
    if (!m_lock || !m_lock->isLocked())
        return; // quit cleanly, or no lock to protect the file with
    const kestrin::UndoHistory& history = m_handler->project()->history();
    const auto key = std::make_pair(static_cast<const void*>(m_handler->project()), history.changeCount());
    if (key == m_seen)
        return;
    m_seen = key;
    if (!history.isModified()) {
        // Saved, back at the saved state, or a project just opened: nothing to recover.
        m_timer.stop();
        m_writtenGeneration = ++m_generation;
        if (m_job)
            m_removeWhenDone = true;
        else
            removeOwnFiles();
        return;
    }
    m_removeWhenDone = false;
    ++m_generation;
    const double interval = intervalSeconds();
    if (interval > 0 && !m_timer.isActive() && !m_job)
        m_timer.start(static_cast<int>(std::min(interval * 1000.0, 86400000.0)));
}

void KSRecovery::autosaveNow() {
    if (m_job || !m_lock->isLocked())
        return; // the write in progress restarts the countdown when it ends
    if (m_generation == m_writtenGeneration || !m_handler->project()->history().isModified())
        return;
    startWrite();
}

void KSRecovery::startWrite() {
    // The text is taken here, on the GUI thread, from the project as it is; only the writing,
    // which may wait on the disk, goes to another thread.
    const QByteArray bytes = m_handler->project()->fileText();
    QJsonObject meta;
    meta.insert(QStringLiteral("file"), m_handler->_active_filename);
    meta.insert(QStringLiteral("written"), QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs));
    const QByteArray metaBytes = QJsonDocument(meta).toJson();
    if (_aboutToWrite)
        _aboutToWrite(bytes);
    const QString projectPath = recoveryFile();
    const QString metaPath = pathFor(m_id, kMetaSuffix);

    auto job = std::make_shared<WriteJob>();
    job->generation = m_generation;
    m_job = job;
    WriteJob* token = job.get();
    job->result = std::async(std::launch::async, [this, token, bytes, metaBytes, projectPath, metaPath] {
        QString error;
        try {
            kestrin::writeFileAtomically(metaPath, metaBytes, QStringLiteral("the recovery notes"));
            kestrin::writeFileAtomically(projectPath, bytes, QStringLiteral("the recovery file"));
        } catch (const std::exception& e) {
            error = QString::fromUtf8(e.what());
        }
        // Queued to this object, which waits for the write before it goes (so it is alive now).
        QMetaObject::invokeMethod(
            this,
            [this, token] {
                if (m_job.get() == token)
                    finishWrite();
            },
            Qt::QueuedConnection);
        return error;
    });
}

void KSRecovery::finishWrite() {
    const std::shared_ptr<WriteJob> job = std::move(m_job);
    const QString error = job->result.get();
    if (error.isEmpty()) {
        m_writtenGeneration = job->generation;
        ++m_writesDone;
        m_reportedFailure = false;
    } else if (!m_reportedFailure) {
        // Said once, not at every attempt; the next change tries again.
        qCWarning(lcApp, "Autosave failed: %s", qUtf8Printable(error));
        m_reportedFailure = true;
    }
    if (m_removeWhenDone) {
        m_removeWhenDone = false;
        removeOwnFiles();
        return;
    }
    const double interval = intervalSeconds();
    if (m_generation != m_writtenGeneration && interval > 0 && !m_timer.isActive())
        m_timer.start(static_cast<int>(std::min(interval * 1000.0, 86400000.0)));
}

void KSRecovery::waitForWrites() {
    if (!m_job)
        return;
    m_job->result.wait();
    finishWrite();
}

void KSRecovery::removeOwnFiles() {
    QFile::remove(recoveryFile());
    QFile::remove(pathFor(m_id, kMetaSuffix));
}

void KSRecovery::cleanQuit() {
    m_timer.stop();
    waitForWrites();
    removeOwnFiles();
    if (m_lock)
        m_lock->unlock();
}

bool KSRecovery::offerRestore(QWidget* parent) {
    QDir dir(m_folder);
    // Newest first: the project the user worked on last.
    const QFileInfoList files =
        dir.entryInfoList({QStringLiteral("*") + kProjectSuffix}, QDir::Files, QDir::Time);
    for (const QFileInfo& info : files) {
        const QString id = info.fileName().chopped(kProjectSuffix.size());
        if (id == m_id)
            continue;
        auto lock = makeLock(pathFor(id, kLockSuffix));
        if (!lock->tryLock(0))
            continue; // its studio is still running

        // A write cut off by the end of that studio may have left its temporary file.
        const QRegularExpression temporary(QStringLiteral("^") + QRegularExpression::escape(id) +
                                           QStringLiteral("\\.(kestrin|json)\\.[A-Za-z0-9]{6}$"));
        for (const QString& name : dir.entryList(QDir::Files | QDir::Hidden))
            if (temporary.match(name).hasMatch())
                dir.remove(name);

        QString original;
        QDateTime written = info.lastModified();
        QFile metaFile(pathFor(id, kMetaSuffix));
        if (metaFile.open(QIODevice::ReadOnly)) {
            const QJsonObject meta = QJsonDocument::fromJson(metaFile.readAll()).object();
            original = meta.value(QStringLiteral("file")).toString();
            const QDateTime when =
                QDateTime::fromString(meta.value(QStringLiteral("written")).toString(), Qt::ISODateWithMs);
            if (when.isValid())
                written = when;
        }

        QMessageBox box(
            QMessageBox::Question, tr("Restore Project"),
            tr("Kestrin Studio did not quit properly last time. The project autosaved at %1 (%2) can "
               "be restored.")
                .arg(readableTime(written), original.isEmpty()
                                                ? tr("never saved")
                                                : tr("from '%1'").arg(QDir::toNativeSeparators(original))),
            QMessageBox::NoButton, parent);
        box.setObjectName(QStringLiteral("restoreProjectPrompt"));
        QPushButton* restore = box.addButton(tr("Restore"), QMessageBox::AcceptRole);
        restore->setObjectName(QStringLiteral("restoreButton"));
        QPushButton* discard = box.addButton(tr("Discard"), QMessageBox::DestructiveRole);
        discard->setObjectName(QStringLiteral("discardButton"));
        QPushButton* later = box.addButton(tr("Decide Later"), QMessageBox::RejectRole);
        later->setObjectName(QStringLiteral("decideLaterButton"));
        box.setDefaultButton(restore);
        box.setEscapeButton(later);
        box.exec();

        if (box.clickedButton() == discard) {
            QFile::remove(info.filePath());
            QFile::remove(pathFor(id, kMetaSuffix));
            qCInfo(lcApp, "Discarded the autosaved project '%s'", qUtf8Printable(info.filePath()));
            continue;
        }
        if (box.clickedButton() != restore)
            continue; // kept for the next start; the lock goes with `lock`

        try {
            m_handler->_restoreProject(info.filePath(), original);
        } catch (const std::exception& e) {
            // Set aside, never deleted: it may still hold what the user needs.
            QString aside = info.filePath() + QStringLiteral(".unreadable");
            for (int n = 2; QFileInfo::exists(aside); ++n)
                aside = info.filePath() + QStringLiteral(".unreadable-%1").arg(n);
            QFile::rename(info.filePath(), aside);
            QFile::remove(pathFor(id, kMetaSuffix));
            kestrin_app::logerror("restore", [&] {
                throw kestrin::FileError(
                    tr("The autosaved project cannot be restored: %1 It was set aside as '%2'.")
                        .arg(QString::fromUtf8(e.what()), QDir::toNativeSeparators(aside)));
            });
            continue;
        }
        // The restored project's recovery file becomes this studio's own, under its lock.
        waitForWrites();
        removeOwnFiles();
        QFile::rename(info.filePath(), recoveryFile());
        QFile::rename(pathFor(id, kMetaSuffix), pathFor(m_id, kMetaSuffix));
        qCInfo(lcApp, "Restored the project autosaved at %s", qUtf8Printable(readableTime(written)));
        projectChanged();
        m_writtenGeneration = m_generation; // the file holds it already
        m_timer.stop();
        return true;
    }
    return false;
}
