#include "undo_history.h"

#include "error.h"
#include "project.h"
#include "project_file.h"

#include <QCborMap>
#include <QCborValue>
#include <algorithm>

namespace kestrin {

UndoHistory::UndoHistory(Project* project) : m_project(project) {}

QByteArray UndoHistory::snapshotOf(const Project& project) {
    // Binary CBOR rather than JSON text: numbers are kept as they are instead of being printed,
    // a fifth of the time of a snapshot of a large cell.
    return qCompress(QCborMap::fromJsonObject(ProjectFile::toJson(project, true)).toCborValue().toCbor(), 1);
}

QByteArray UndoHistory::snapshot() const {
    return snapshotOf(*m_project);
}

const QByteArray& UndoHistory::state(int index) {
    if (index == 0 && m_makeStart) {
        m_states.front() = m_makeStart();
        m_makeStart = nullptr;
    }
    return m_states[static_cast<size_t>(index)];
}

void UndoHistory::restore(const QByteArray& state) {
    QCborParserError error;
    const QCborValue value = QCborValue::fromCbor(qUncompress(state), &error);
    if (error.error != QCborError::NoError || !value.isMap())
        throw Error(QStringLiteral("The undo history is damaged; the project was left as it is."));
    ProjectFile::fromJson(*m_project, value.toMap().toJsonObject(), QStringLiteral("(undo history)"));
}

void UndoHistory::reset() {
    m_makeStart = nullptr;
    m_states.assign(1, snapshot());
    m_names.clear();
    m_position = 0;
    m_savedPosition = 0;
    changed();
}

void UndoHistory::resetLazily(std::function<QByteArray()> makeStart) {
    m_makeStart = std::move(makeStart);
    m_states.assign(1, QByteArray());
    m_names.clear();
    m_position = 0;
    m_savedPosition = 0;
    changed();
}

bool UndoHistory::record(const QString& name) {
    if (m_states.empty())
        m_states.push_back(QByteArray());
    QByteArray now = snapshot();
    if (now == state(m_position))
        return false;
    m_states.resize(static_cast<size_t>(m_position) + 1);
    m_names.resize(static_cast<size_t>(m_position));
    if (m_savedPosition > m_position)
        m_savedPosition = -1; // the saved state was among the steps just dropped
    m_states.push_back(std::move(now));
    m_names.push_back(name);
    ++m_position;
    while (stepCount() > m_limit) {
        m_makeStart = nullptr; // the start goes, made or not
        m_states.erase(m_states.begin());
        m_names.erase(m_names.begin());
        --m_position;
        m_savedPosition = m_savedPosition > 0 ? m_savedPosition - 1 : -1;
    }
    changed();
    return true;
}

QString UndoHistory::undoName() const {
    return canUndo() ? m_names[static_cast<size_t>(m_position) - 1] : QString();
}

QString UndoHistory::redoName() const { return canRedo() ? m_names[static_cast<size_t>(m_position)] : QString(); }

void UndoHistory::undo() {
    record(QStringLiteral("Change"));
    if (!canUndo())
        return;
    restore(state(m_position - 1));
    --m_position;
    changed();
}

void UndoHistory::redo() {
    if (record(QStringLiteral("Change")) || !canRedo())
        return; // an unrecorded change just dropped what could have been redone
    restore(m_states[static_cast<size_t>(m_position) + 1]);
    ++m_position;
    changed();
}

void UndoHistory::markSaved() {
    record(QStringLiteral("Change"));
    m_savedPosition = m_position;
    changed(false);
}

void UndoHistory::markUnsaved() {
    m_savedPosition = -1;
    changed(false);
}

void UndoHistory::setLimit(int steps) { m_limit = std::max(1, steps); }

} // namespace kestrin
