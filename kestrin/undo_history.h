#pragma once
// One undo history per project. Whatever changed the project, recording takes a snapshot of the
// whole project; undo and redo put a recorded snapshot back, exactly.

#include <QByteArray>
#include <QString>
#include <functional>
#include <vector>

namespace kestrin {

class Project;

class UndoHistory {
public:
    explicit UndoHistory(Project* project);

    /// Forgets every step: the project as it is now becomes the start of the history.
    void reset();
    /// Forgets every step: the project as it is now becomes the start of the history, whose
    /// snapshot `makeStart` gives when it is first needed (at the first record or undo). For a
    /// project just loaded: its snapshot costs as much as the load itself, and the file's bytes
    /// can give it later.
    void resetLazily(std::function<QByteArray()> makeStart);
    /// The snapshot record() takes of `project`.
    static QByteArray snapshotOf(const Project& project);
    /// Records what changed since the last record as one step named `name` (for the menu:
    /// "Add Robot 'My Robot'"). Returns false, and records nothing, when nothing changed.
    /// A new step drops the steps that could have been redone.
    bool record(const QString& name);

    bool canUndo() const { return m_position > 0; }
    bool canRedo() const { return m_position + 1 < static_cast<int>(m_states.size()); }
    /// Name of the step undo or redo would take back or bring back; empty when there is none.
    QString undoName() const;
    QString redoName() const;
    /// Puts the project back as it was before the last step (first recording any change not yet
    /// recorded, so that nothing is lost). Throws kestrin::Error if the snapshot cannot be
    /// restored, leaving the project as it was.
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
    int stepCount() const { return static_cast<int>(m_states.size()) - 1; }
    /// At most this many steps are kept (default 500); the oldest go first.
    void setLimit(int steps);

    /// Called after every change of the history (record, undo, redo, reset, save mark).
    void setChangedCallback(std::function<void()> callback) { m_changed = std::move(callback); }

private:
    QByteArray snapshot() const;
    void restore(const QByteArray& state);
    /// State `index`, made first if it is the start and not made yet.
    const QByteArray& state(int index);
    void changed(bool content = true) {
        ++m_changeCount;
        if (content)
            ++m_contentChangeCount;
        if (m_changed)
            m_changed();
    }

    Project* m_project;
    std::vector<QByteArray> m_states; // compressed snapshots; step i goes from state i to i + 1
    std::vector<QString> m_names;     // name of step i
    int m_position = 0;               // index of the state the project is in
    int m_savedPosition = 0;          // -1 when the saved state is no longer in the history
    int m_limit = 500;
    quint64 m_changeCount = 0;
    quint64 m_contentChangeCount = 0;
    std::function<void()> m_changed;
    std::function<QByteArray()> m_makeStart; // set while state 0 is not made yet
};

} // namespace kestrin
