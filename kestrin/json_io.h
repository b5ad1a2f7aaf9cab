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
#include <array>
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
    /// "<what> <number>, <kind> '<name>'", e.g. "workspace object 3, Desk 'Bench'": the same as
    /// JsonContext(file, what, number).nested(kind, name).
    JsonContext(QString file, QLatin1String what, int number, const QString& kind, const QString& name);
    /// "<what> '<name>' (<kind>)", e.g. "behavior 'Pick' (Sequence)".
    JsonContext(QString file, QLatin1String what, QString name, QString kind);
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
    /// A whole number from -kMaxWholeNumber to kMaxWholeNumber.
    int readInt(const QJsonObject& o, const QString& key) const;
    static constexpr double kMaxWholeNumber = 2e9;
    QJsonObject readObject(const QJsonObject& o, const QString& key) const;
    QJsonArray readArray(const QJsonObject& o, const QString& key) const;
    /// A vector of finite numbers; `size` < 0 accepts any length of at least one, up to
    /// `maxSize` when that is 0 or more.
    Eigen::VectorXd readVector(const QJsonObject& o, const QString& key, int size = -1,
                               int maxSize = -1) const;
    /// Fails, naming the field, when `key` holds an array of more than `maxSize` elements
    /// (before any of them is read).
    void checkLength(const QJsonObject& o, const QString& key, int maxSize) const;
    std::vector<double> readNumbers(const QJsonObject& o, const QString& key) const;
    QStringList readStrings(const QJsonObject& o, const QString& key) const;
    /// {"position": [x, y, z], "orientation": [w, x, y, z]}
    Transform readPose(const QJsonObject& o, const QString& key) const;

private:
    /// One step of the way to a place in the file, kept as its parts until it is put into words.
    struct Step {
        enum class Shape : unsigned char { Text, Numbered, Named, Field, Described };
        Shape shape = Shape::Text;
        int number = 0;
        QLatin1String word; // what is numbered or described (a literal in the code)
        QString a;          // the text, the kind, the key, or the name described
        QString b;          // the name, or the kind described
        void appendTo(QString& out) const;
    };
    /// The first steps of a place deeper than a context keeps in itself.
    struct Outer;
    static constexpr int kInlineSteps = 2;
    JsonContext(QString file, Step first);
    JsonContext with(Step step) const;

    // The last steps are kept in the context itself, so that making one (tens of thousands in a
    // large file) rarely allocates.
    QString m_file;
    std::shared_ptr<const Outer> m_outer;
    std::array<Step, kInlineSteps> m_steps;
    int m_count = 0;
};

QJsonArray toJson(const Eigen::VectorXd& v);
QJsonArray toJson(const std::vector<double>& v);
QJsonObject toJson(const Transform& pose);

} // namespace kestrin
