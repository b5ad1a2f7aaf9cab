#pragma once
// One undo history per project. It follows the project's change notices: recording a step keeps
// the records (see undo_restore.h) of only the parts that changed since the last step, before and
// after; undo and redo put those parts back in place, exactly, and leave every other part alone.

#include "project_change.h"

#include <QByteArray>
#include <QHash>
#include <QSet>
#include <QString>
#include <functional>
#include <vector>

namespace kestrin {

class Project;

class UndoHistory final : private ProjectObserver {
public:
    explicit UndoHistory(Project* project);
    ~UndoHistory();

    /// Forgets every step: the project as it is now becomes the start of the history.
    void reset();
    /// Forgets every step: the project as it is now becomes the start of the history, whose
    /// snapshot `makeStart` gives when it is first needed (at the first record or undo). For a
    /// project just loaded: its snapshot costs as much as the load itself, and the file's bytes
    /// can give it later.
    void resetLazily(std::function<QByteArray()> makeStart);
    /// A snapshot of the whole of `project` (as the project file has it, with ids).
    static QByteArray snapshotOf(const Project& project);
    /// Records what changed since the last record as one step named `name` (for the menu:
    /// "Add Robot 'My Robot'"). Returns false, and records nothing, when nothing changed.
    /// A new step drops the steps that could have been redone.
    bool record(const QString& name);
    /// Records like record(name), except that when the last step was recorded by this call with
    /// the same `burst` (not 0) and nothing else has happened to the history since (no other
    /// record, undo, redo, reset or save mark), the changes go into that step: a burst of jog
    /// keys is one step however many presses it has. A step whose changes cancel out goes away.
    /// Returns true when the history changed.
    bool record(const QString& name, quint64 burst);

    bool canUndo() const { return m_position > 0; }
    bool canRedo() const { return m_position < stepCount(); }
    /// Name of the step undo or redo would take back or bring back; empty when there is none.
    QString undoName() const;
    QString redoName() const;
    /// Puts the project back as it was before the last step (first recording any change not yet
    /// recorded, so that nothing is lost). Objects, behaviors and variables keep their ids; the
    /// ones the step did not change are not touched. Throws kestrin::Error if the step cannot be
    /// taken back; the project is then put back as it was as far as it can be.
    void undo();
    void redo();

    /// The project as it is now is what is saved in its file (a change not yet recorded is
    /// recorded first).
    void markSaved();
    /// The project as it is now is not what its file holds (a project restored from a recovery
    /// file): it counts as changed until the next save.
    void markUnsaved();
    /// True when the project differs from the state last marked saved (as far as recorded).
    bool isModified() const { return m_position != m_savedPosition; }
    int position() const { return m_position; }
    /// Counts changes of the history (each call of the changed callback).
    quint64 changeCount() const { return m_changeCount; }
    /// Counts changes of the project's content among them: steps recorded, undone or redone, and
    /// resets. Marking the project saved or unsaved changes no content.
    quint64 contentChangeCount() const { return m_contentChangeCount; }
    int stepCount() const { return static_cast<int>(m_steps.size()); }
    /// At most this many steps are kept (default 500); the oldest go first.
    void setLimit(int steps);

    /// Called after every change of the history (record, undo, redo, reset, save mark).
    void setChangedCallback(std::function<void()> callback) { m_changed = std::move(callback); }

    /// Bytes the history holds: the records of its steps and of the state last recorded (for
    /// benchmarks).
    qint64 memoryUse() const;

private:
    /// One part (see undo::Key) before and after a step; an empty record: it did not exist.
    struct Change {
        quint64 key;
        QByteArray before, after;
    };
    struct Step {
        QString name;
        std::vector<Change> changes;
    };

    void projectChanged(const ProjectChange& change) override;
    /// The records of the state last recorded, made first when the history has just been reset
    /// lazily.
    void makeRecorded();
    /// Takes the project from one side of `step` to the other.
    void apply(const Step& step, bool forwards);
    void changed(bool content = true) {
        ++m_changeCount;
        if (content)
            ++m_contentChangeCount;
        if (m_changed)
            m_changed();
    }

    Project* m_project;
    std::vector<Step> m_steps;             // step i goes from state i to state i + 1
    QHash<quint64, QByteArray> m_recorded; // every part's record in state m_position
    bool m_recordedMade = false;
    QSet<quint64> m_dirty;   // parts told of as changed since
    bool m_applying = false; // undo or redo is putting parts back
    int m_position = 0;      // index of the state the project is in
    int m_savedPosition = 0; // -1 when the saved state is no longer in the history
    int m_limit = 500;
    quint64 m_changeCount = 0;
    quint64 m_contentChangeCount = 0;
    std::function<void()> m_changed;
    std::function<QByteArray()> m_makeStart; // set while the records of the start are not made
    quint64 m_burst = 0;                     // the last step is this burst's, and it may grow
};

} // namespace kestrin
