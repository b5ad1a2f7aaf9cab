#pragma once
// Names are how objects are found (robots by the actions that move them, variables by the
// actions that use them), so every name is checked and unique within its kind.

#include <QHash>
#include <QString>

namespace kestrin {

/// Throws kestrin::NameError when `name` is empty, blank, too long or holds control
/// characters; `what` names the kind of object for the message ("robot", "behavior").
void checkName(const QString& name, const QString& what);

/// `noun` after its indefinite article: "a robot", "an effector", "an item", "a UR5e"; at the
/// start of a sentence "A robot", "An effector".
QString withArticle(const QString& noun, bool sentenceStart = false);

/// Hands out unique names within one kind: a taken name gets " 2", " 3", ... appended
/// (a name already ending in " <number>" counts on from its stem).
class NameRegistry {
public:
    bool contains(const QString& name) const { return m_names.contains(name); }
    /// Returns `wanted` or the first free variant of it; does not reserve it.
    QString uniqueName(const QString& wanted) const;
    void insert(const QString& name) { m_names.insert(name, true); }
    void remove(const QString& name) {
        m_names.remove(name);
        m_nextSuffix.clear(); // a freed number may be handed out again
    }
    void clear() {
        m_names.clear();
        m_nextSuffix.clear();
    }

private:
    QHash<QString, bool> m_names;
    mutable QHash<QString, int> m_nextSuffix; // a hint only, so that many equal names stay cheap
};

} // namespace kestrin
