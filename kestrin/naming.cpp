#include "naming.h"

#include "error.h"

#include <QRegularExpression>

namespace kestrin {

void checkName(const QString& name, const QString& what) {
    if (name.trimmed().isEmpty())
        throw NameError(QStringLiteral("A %1 needs a name: the name is empty or blank.").arg(what));
    if (name.size() > 200)
        throw NameError(QStringLiteral("The %1 name '%2...' is too long (at most 200 characters).")
                            .arg(what, name.left(40)));
    for (const QChar c : name) {
        if (c.category() == QChar::Other_Control)
            throw NameError(QStringLiteral("The %1 name '%2' holds a control character (a line break "
                                           "or tab); use plain text.")
                                .arg(what, QString(name).replace(QRegularExpression("[\\x00-\\x1f]"), "?")));
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
