#pragma once
// Autosave and crash recovery.
//
// While the project has unsaved changes, the studio writes it, at most once per interval, to a
// recovery file of its own in the user's application data folder (never over the user's file).
// Each running studio holds a lock on its own recovery files, so that two studios never read or
// delete each other's. A clean quit, or a save that leaves nothing unsaved, removes the file; a
// studio that was killed leaves it behind, unlocked, and the next studio offers to restore it.
//
// In the recovery folder, for a studio whose session is ID:
//   ID.lock      held while the studio runs (QLockFile: a dead owner's lock is taken over)
//   ID.kestrin   the project as last autosaved
//   ID.json      where it came from: the project's own file, if any, and when it was written
// A recovery file that cannot be read is set aside as ID.kestrin.unreadable (never deleted).

#include <QDateTime>
#include <QObject>
#include <QString>
#include <QTimer>
#include <functional>
#include <memory>

class QLockFile;
class QWidget;

namespace kestrin_app::content {
class KSContentHandler;
}

class KSRecovery : public QObject {
    Q_OBJECT
public:
    /// Recovery files go to `folder` (default: defaultFolder()).
    explicit KSRecovery(kestrin_app::content::KSContentHandler* handler, QObject* parent = nullptr,
                        const QString& folder = QString());
    /// Waits for a write in progress. Leaves this studio's recovery file where it is: only a
    /// clean quit removes it.
    ~KSRecovery() override;

    /// <application data folder>/recovery
    static QString defaultFolder();
    QString folder() const { return m_folder; }
    /// This studio's recovery file.
    QString recoveryFile() const;

    /// Seconds between autosaves, from the setting "autosave/intervalSeconds" (default 60);
    /// 0 turns autosave off.
    static double intervalSeconds();
    static void setIntervalSeconds(double seconds);

    /// To be called whenever the project's history changed or the project was replaced: starts
    /// the autosave countdown after a change, and removes the recovery file once nothing is
    /// left unsaved.
    void projectChanged();
    /// Writes the project now if it has changes that are not autosaved yet.
    void autosaveNow();
    /// Blocks until the write in progress (if any) has finished.
    void waitForWrites();
    /// The studio is quitting cleanly: its recovery files go.
    void cleanQuit();

    /// Offers, one at a time, to restore what studios that did not quit cleanly left behind:
    /// Restore, Discard, or Decide Later (which keeps it for the next start). True when a
    /// project was restored into the handler's container.
    bool offerRestore(QWidget* parent);

    /// Called on the GUI thread with the bytes of each autosave just before they are written
    /// (tests keep what each autosave was meant to hold).
    std::function<void(const QByteArray&)> _aboutToWrite;
    /// Autosaves written so far by this studio.
    int _writesDone() const { return m_writesDone; }

private:
    void startWrite();
    /// Takes the result of the write in progress (it must have ended, or be about to).
    void finishWrite();
    void removeOwnFiles();
    QString pathFor(const QString& id, const QString& suffix) const;

    kestrin_app::content::KSContentHandler* m_handler;
    QString m_folder;
    QString m_id;
    std::unique_ptr<QLockFile> m_lock;
    QTimer m_timer;
    std::pair<const void*, quint64> m_seen{nullptr, 0}; // the project and history change last seen
    quint64 m_generation = 0;                           // counts changes seen
    quint64 m_writtenGeneration = 0;                    // the generation the recovery file holds
    bool m_removeWhenDone = false; // nothing unsaved any more: remove once the write is done
    bool m_reportedFailure = false;
    int m_writesDone = 0;
    std::shared_ptr<struct WriteJob> m_job; // the write in progress
};
