#pragma once
// Reading and writing the pieces of a project file. Readers throw kestrin::FormatError with a
// message naming the file, the object and the field concerned.

#include "geometry.h"

#include <Eigen/Core>
#include <QByteArray>
#include <QJsonArray>
#include <QJsonObject>
#include <QString>
#include <QStringList>
#include <memory>
#include <vector>

namespace kestrin {

/// `text` from a file made fit for a message: control characters shown as '?', and at most
/// `maxLength` characters (the middle of a longer text is left out).
QString readableInMessage(const QString& text, int maxLength);

/// Where in a project file a reader is: the file and the object being read. Its failures are
/// FormatErrors naming the file and the place, with names from the file shown readably. The
/// place is put into words only when a message needs it: a large file makes tens of thousands of
/// contexts and fails in at most one.
class JsonContext {
public:
    JsonContext(QString file, QString where);
    /// "<what> <number>", e.g. "workspace object 3".
    JsonContext(QString file, QLatin1String what, int number);
    /// `pattern` with %1 and %2 replaced by `a` and `b`, e.g. "behavior '%1' (%2)".
    JsonContext(QString file, QString pattern, QString a, QString b);
    /// Inside this place: "<this place>, <where>".
    JsonContext nested(const QString& where) const;
    /// Inside this place: "<this place>, <kind> '<name>'".
    JsonContext nested(const QString& kind, const QString& name) const;
    /// Inside this place: "<this place>, <what> <number>".
    JsonContext nested(QLatin1String what, int number) const;
    /// Inside this place: "<this place>, field '<key>'".
    JsonContext field(const QString& key) const;
    const QString& file() const { return m_file; }
    /// The place in words, e.g. "workspace object 3, Desk 'Bench'".
    QString where() const;
    [[noreturn]] void fail(const QString& what) const;
    [[noreturn]] void failField(const QString& field, const QString& what) const;

    QString readString(const QJsonObject& o, const QString& key) const;
    /// Like readString, but an absent key or null gives an empty string.
    QString readOptionalString(const QJsonObject& o, const QString& key) const;
    double readNumber(const QJsonObject& o, const QString& key) const;
    int readInt(const QJsonObject& o, const QString& key) const;
    QJsonObject readObject(const QJsonObject& o, const QString& key) const;
    QJsonArray readArray(const QJsonObject& o, const QString& key) const;
    /// A vector of finite numbers; `size` < 0 accepts any length of at least one.
    Eigen::VectorXd readVector(const QJsonObject& o, const QString& key, int size = -1) const;
    std::vector<double> readNumbers(const QJsonObject& o, const QString& key) const;
    QStringList readStrings(const QJsonObject& o, const QString& key) const;
    /// {"position": [x, y, z], "orientation": [w, x, y, z]}
    Transform readPose(const QJsonObject& o, const QString& key) const;

private:
    struct Place;
    JsonContext(QString file, std::shared_ptr<const Place> where);

    QString m_file;
    std::shared_ptr<const Place> m_where;
};

/// A key that appears twice in one object of a JSON text. Qt's parser keeps the last value of a
/// repeated key silently (and, in Qt 5.15, never frees the values it drops when they are objects
/// or arrays), so project files are checked for repeated keys before they are parsed.
struct RepeatedJsonKey {
    QString key;
    qint64 offset = -1; ///< byte offset of the second appearance; -1 when no key repeats
};
/// Scans `json` for a key repeated within one object. Text that is not well-formed JSON is
/// scanned only up to where it goes wrong; the parser reports what is wrong with it.
RepeatedJsonKey findRepeatedJsonKey(const QByteArray& json);

QJsonArray toJson(const Eigen::VectorXd& v);
QJsonArray toJson(const std::vector<double>& v);
QJsonObject toJson(const Transform& pose);

} // namespace kestrin
