#include "undo_history.h"

#include "behavior.h"
#include "error.h"
#include "project.h"
#include "undo_restore.h"

#include <QCborMap>
#include <QCborValue>
#include <algorithm>

namespace kestrin {

UndoHistory::UndoHistory(Project* project) : m_project(project) {
    project->addObserver(this);
}

UndoHistory::~UndoHistory() = default; // the project it observes goes with it

QByteArray UndoHistory::snapshotOf(const Project& project) {
    // Binary CBOR rather than JSON text: numbers are kept as they are instead of being printed.
    return qCompress(QCborMap::fromJsonObject(project.toJson(true)).toCborValue().toCbor(), 1);
}

void UndoHistory::projectChanged(const ProjectChange& change) {
    if (m_applying)
        return;
    m_dirty.insert(undo::keyOf(change.subject, change.id));
    if (change.subject == ProjectChange::Subject::Behavior &&
        (change.kind == ProjectChange::Kind::Moved || change.kind == ProjectChange::Kind::Added)) {
        // A behavior put into a program (or taken out) takes everything below it along.
        if (const Behavior* b = m_project->findBehaviorById(change.id)) {
            std::vector<const Behavior*> below{b};
            while (!below.empty()) {
                const Behavior* next = below.back();
                below.pop_back();
                m_dirty.insert(undo::keyOf(ProjectChange::Subject::Behavior, next->id()));
                below.insert(below.end(), next->children().begin(), next->children().end());
            }
        }
    }
}

void UndoHistory::makeRecorded() {
    if (m_recordedMade)
        return;
    if (m_makeStart) {
        // The project as it was at the reset: read back from the snapshot made of it.
        const QByteArray start = m_makeStart();
        m_makeStart = nullptr;
        QCborParserError error;
        const QCborValue value = QCborValue::fromCbor(qUncompress(start), &error);
        if (error.error != QCborError::NoError || !value.isMap())
            throw Error(QStringLiteral("The undo history is damaged; the project was left as it is."));
        Project then;
        then.fromJson(value.toMap().toJsonObject(), QStringLiteral("(undo history)"));
        m_recorded = undo::allRecords(then);
    } else {
        m_recorded = undo::allRecords(*m_project);
    }
    m_recordedMade = true;
}

void UndoHistory::reset() {
    m_burst = 0;
    m_makeStart = nullptr;
    m_steps.clear();
    m_dirty.clear();
    m_recorded = undo::allRecords(*m_project);
    m_recordedMade = true;
    m_position = 0;
    m_savedPosition = 0;
    changed();
}

void UndoHistory::resetLazily(std::function<QByteArray()> makeStart) {
    m_burst = 0;
    m_makeStart = std::move(makeStart);
    m_steps.clear();
    m_dirty.clear();
    m_recorded.clear();
    m_recordedMade = false;
    m_position = 0;
    m_savedPosition = 0;
    changed();
}

bool UndoHistory::record(const QString& name) {
    m_burst = 0;
    if (m_dirty.isEmpty())
        return false;
    makeRecorded();
    Step step{name, {}};
    for (quint64 key : qAsConst(m_dirty)) {
        QByteArray now = undo::recordOf(*m_project, key);
        const auto it = m_recorded.constFind(key);
        const QByteArray before = it == m_recorded.cend() ? QByteArray() : *it;
        if (now != before)
            step.changes.push_back({key, before, std::move(now)});
    }
    m_dirty.clear();
    if (step.changes.empty())
        return false;
    // The same order every time, whatever order the set gave.
    std::sort(step.changes.begin(), step.changes.end(),
              [](const Change& a, const Change& b) { return a.key < b.key; });
    for (const Change& c : step.changes) {
        if (c.after.isEmpty())
            m_recorded.remove(c.key);
        else
            m_recorded.insert(c.key, c.after);
    }
    m_steps.resize(static_cast<size_t>(m_position));
    if (m_savedPosition > m_position)
        m_savedPosition = -1; // the saved state was among the steps just dropped
    m_steps.push_back(std::move(step));
    ++m_position;
    while (stepCount() > m_limit) {
        m_steps.erase(m_steps.begin());
        --m_position;
        m_savedPosition = m_savedPosition > 0 ? m_savedPosition - 1 : -1;
    }
    changed();
    return true;
}

bool UndoHistory::record(const QString& name, quint64 burst) {
    if (burst == 0 || burst != m_burst || m_position == 0 || m_position != stepCount()) {
        const bool recorded = record(name);
        if (recorded)
            m_burst = burst;
        return recorded;
    }
    if (m_dirty.isEmpty())
        return false;
    makeRecorded();
    // The step goes from the state before the burst to the state now: a part it already changed
    // keeps its record from before and takes the new one as after; a part changed only now
    // joins it, from its record in the state the step led to.
    Step& step = m_steps.back();
    bool grew = false;
    for (quint64 key : qAsConst(m_dirty)) {
        QByteArray now = undo::recordOf(*m_project, key);
        const auto it = m_recorded.constFind(key);
        const QByteArray recorded = it == m_recorded.cend() ? QByteArray() : *it;
        if (now == recorded)
            continue;
        grew = true;
        if (now.isEmpty())
            m_recorded.remove(key);
        else
            m_recorded.insert(key, now);
        const auto known = std::find_if(step.changes.begin(), step.changes.end(),
                                        [key](const Change& c) { return c.key == key; });
        if (known != step.changes.end())
            known->after = std::move(now);
        else
            step.changes.push_back({key, recorded, std::move(now)});
    }
    m_dirty.clear();
    if (!grew)
        return false;
    step.changes.erase(std::remove_if(step.changes.begin(), step.changes.end(),
                                      [](const Change& c) { return c.before == c.after; }),
                       step.changes.end());
    std::sort(step.changes.begin(), step.changes.end(),
              [](const Change& a, const Change& b) { return a.key < b.key; });
    if (step.changes.empty()) {
        // Back where the burst began: it leaves no step.
        m_steps.pop_back();
        --m_position;
        m_burst = 0;
    }
    changed();
    return true;
}

QString UndoHistory::undoName() const {
    return canUndo() ? m_steps[static_cast<size_t>(m_position) - 1].name : QString();
}

QString UndoHistory::redoName() const {
    return canRedo() ? m_steps[static_cast<size_t>(m_position)].name : QString();
}

void UndoHistory::apply(const Step& step, bool forwards) {
    std::vector<std::pair<undo::Key, QByteArray>> targets, back;
    targets.reserve(step.changes.size());
    for (const Change& c : step.changes) {
        targets.emplace_back(c.key, forwards ? c.after : c.before);
        back.emplace_back(c.key, forwards ? c.before : c.after);
    }
    m_applying = true;
    try {
        UndoRestore(*m_project).apply(targets, m_recorded);
    } catch (const std::exception& e) {
        // Put back what was changed of the step, as far as that goes, and say that it failed.
        try {
            UndoRestore(*m_project).apply(back, m_recorded);
        } catch (const std::exception&) {
        }
        m_applying = false;
        m_dirty.clear();
        throw Error(
            QStringLiteral("The undo history could not put the project back (%1); the project was left "
                           "as it was.")
                .arg(QString::fromUtf8(e.what())));
    }
    m_applying = false;
    for (const auto& [key, record] : targets) {
        if (record.isEmpty())
            m_recorded.remove(key);
        else
            m_recorded.insert(key, record);
    }
}

void UndoHistory::undo() {
    record(QStringLiteral("Change"));
    if (!canUndo())
        return;
    apply(m_steps[static_cast<size_t>(m_position) - 1], false);
    --m_position;
    changed();
}

void UndoHistory::redo() {
    if (record(QStringLiteral("Change")) || !canRedo())
        return; // an unrecorded change just dropped what could have been redone
    apply(m_steps[static_cast<size_t>(m_position)], true);
    ++m_position;
    changed();
}

void UndoHistory::markSaved() {
    record(QStringLiteral("Change"));
    m_savedPosition = m_position;
    changed(false);
}

void UndoHistory::markUnsaved() {
    m_burst = 0;
    m_savedPosition = -1;
    changed(false);
}

void UndoHistory::setLimit(int steps) {
    m_limit = std::max(1, steps);
}

qint64 UndoHistory::memoryUse() const {
    // Records are shared between the steps and the recorded state: each counted once.
    QSet<const char*> counted;
    qint64 bytes = 0;
    const auto add = [&](const QByteArray& record) {
        if (!record.isEmpty() && !counted.contains(record.constData())) {
            counted.insert(record.constData());
            bytes += record.capacity() + 24; // and its header
        }
    };
    for (auto it = m_recorded.cbegin(); it != m_recorded.cend(); ++it) {
        add(it.value());
        bytes += qint64(sizeof(quint64) + sizeof(QByteArray) + sizeof(void*)); // its entry
    }
    for (const Step& step : m_steps) {
        bytes += qint64(sizeof(Step)) + step.name.capacity() * 2;
        for (const Change& c : step.changes) {
            bytes += qint64(sizeof(Change));
            add(c.before);
            add(c.after);
        }
    }
    return bytes;
}

} // namespace kestrin
