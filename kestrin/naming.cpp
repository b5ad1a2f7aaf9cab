#include "naming.h"

#include "error.h"

#include <QRegularExpression>

namespace kestrin {

QString withArticle(const QString& noun, bool sentenceStart) {
    const QString word = noun.trimmed();
    if (word.isEmpty())
        return word;
    const QChar first = word[0].toLower();
    bool vowel = QStringLiteral("aeio").contains(first);
    // "an umbrella", but "a unit", "a user" and "a UR5e" (said "you").
    if (first == QLatin1Char('u')) {
        const QChar second = word.size() > 1 ? word[1] : QChar();
        vowel = !(second.isUpper() || second.isDigit() ||
                  word.startsWith(QLatin1String("uni"), Qt::CaseInsensitive) ||
                  word.startsWith(QLatin1String("us"), Qt::CaseInsensitive));
    }
    if (sentenceStart)
        return (vowel ? QStringLiteral("An ") : QStringLiteral("A ")) + word;
    return (vowel ? QStringLiteral("an ") : QStringLiteral("a ")) + word;
}

void checkName(const QString& name, const QString& what) {
    if (name.trimmed().isEmpty())
        throw NameError(
            QStringLiteral("%1 needs a name: the name is empty or blank.").arg(withArticle(what, true)));
    if (name.size() > 200)
        throw NameError(QStringLiteral("The %1 name '%2...' is too long (at most 200 characters).")
                            .arg(what, name.left(40)));
    for (const QChar c : name) {
        if (c.category() == QChar::Other_Control)
            throw NameError(QStringLiteral("The %1 name '%2' holds a control character (a line break "
                                           "or tab); use plain text.")
                                .arg(what, QString(name).replace(QRegularExpression("[\\x00-\\x1f]"), "?")));
    }
    // Names are how users, files and programs tell objects apart: no character that shows as
    // nothing, turns the text round, or breaks the line, so that two names that look the same
    // are the same; and no half of a UTF-16 pair, which no file or copy can keep as it is.
    for (int i = 0; i < name.size(); ++i) {
        const QChar c = name[i];
        if (c.isHighSurrogate() && i + 1 < name.size() && name[i + 1].isLowSurrogate()) {
            ++i;
            continue;
        }
        if (c.isSurrogate())
            throw NameError(QStringLiteral("The %1 name holds a broken character (half of a UTF-16 "
                                           "surrogate pair, at character %2); use plain text.")
                                .arg(what)
                                .arg(i + 1));
        const QChar::Category category = c.category();
        if (category == QChar::Other_Format || category == QChar::Separator_Line ||
            category == QChar::Separator_Paragraph || c.isNonCharacter())
            throw NameError(
                QStringLiteral("The %1 name '%2' holds an invisible, direction-changing or "
                               "line-breaking character (U+%3 at character %4); use plain text.")
                    .arg(what, QString(name).remove(i, 1).left(60))
                    .arg(QString::number(c.unicode(), 16).toUpper().rightJustified(4, QLatin1Char('0')))
                    .arg(i + 1));
    }
}

QString NameRegistry::uniqueName(const QString& wanted) const {
    if (!m_names.contains(wanted))
        return wanted;
    static const QRegularExpression suffix(QStringLiteral("^(.*\\S) (\\d{1,9})$"));
    QString stem = wanted;
    int n = 2;
    const auto m = suffix.match(wanted);
    if (m.hasMatch()) {
        stem = m.captured(1);
        n = m.captured(2).toInt() + 1;
    }
    n = std::max(n, m_nextSuffix.value(stem, 2));
    QString candidate;
    do {
        candidate = stem + QLatin1Char(' ') + QString::number(n++);
    } while (m_names.contains(candidate));
    m_nextSuffix.insert(stem, n);
    return candidate;
}

} // namespace kestrin
