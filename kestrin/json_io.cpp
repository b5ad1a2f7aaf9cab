#include "json_io.h"

#include "error.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

namespace kestrin {

QString readableInMessage(const QString& text, int maxLength) {
    QString out = text;
    for (QChar& c : out)
        if (c.category() == QChar::Other_Control)
            c = QLatin1Char('?');
    if (out.size() > maxLength) {
        const int keep = std::max(0, maxLength - 3) / 2;
        out = out.left(keep) + QStringLiteral("...") + out.right(keep);
    }
    return out;
}

struct JsonContext::Outer {
    std::shared_ptr<const Outer> outer;
    std::array<Step, kInlineSteps> steps;
    int count = 0;
};

void JsonContext::Step::appendTo(QString& out) const {
    if (!out.isEmpty())
        out += QLatin1String(", ");
    switch (shape) {
    case Shape::Text:
        out += a;
        break;
    case Shape::Numbered:
        out += word + QLatin1Char(' ') + QString::number(number);
        break;
    case Shape::Named:
        out += a + QLatin1String(" '") + b + QLatin1Char('\'');
        break;
    case Shape::Field:
        out += QLatin1String("field '") + a + QLatin1Char('\'');
        break;
    case Shape::Described:
        out += word + QLatin1String(" '") + a + QLatin1String("' (") + b + QLatin1Char(')');
        break;
    }
}

JsonContext::JsonContext(QString file, Step first) : m_file(std::move(file)) {
    m_steps[0] = std::move(first);
    m_count = 1;
}

JsonContext::JsonContext(QString file, QString where)
    : JsonContext(std::move(file), Step{Step::Shape::Text, 0, {}, std::move(where), {}}) {}

JsonContext::JsonContext(QString file, QLatin1String what, int number)
    : JsonContext(std::move(file), Step{Step::Shape::Numbered, number, what, {}, {}}) {}

JsonContext::JsonContext(QString file, QLatin1String what, int number, const QString& kind,
                         const QString& name)
    : JsonContext(std::move(file), Step{Step::Shape::Numbered, number, what, {}, {}}) {
    static_assert(kInlineSteps >= 2, "a numbered and a named step fit in a context");
    m_steps[1] = Step{Step::Shape::Named, 0, {}, kind, name};
    m_count = 2;
}

JsonContext::JsonContext(QString file, QLatin1String what, QString name, QString kind)
    : JsonContext(std::move(file), Step{Step::Shape::Described, 0, what, std::move(name), std::move(kind)}) {}

JsonContext JsonContext::with(Step step) const {
    JsonContext inner = *this;
    if (inner.m_count == kInlineSteps) {
        inner.m_outer = std::make_shared<const Outer>(Outer{m_outer, m_steps, m_count});
        inner.m_steps = {};
        inner.m_count = 0;
    }
    inner.m_steps[static_cast<size_t>(inner.m_count++)] = std::move(step);
    return inner;
}

JsonContext JsonContext::nested(const QString& where) const {
    return with(Step{Step::Shape::Text, 0, {}, where, {}});
}

JsonContext JsonContext::nested(const QString& kind, const QString& name) const {
    return with(Step{Step::Shape::Named, 0, {}, kind, name});
}

JsonContext JsonContext::nested(QLatin1String what, int number) const {
    return with(Step{Step::Shape::Numbered, number, what, {}, {}});
}

JsonContext JsonContext::field(const QString& key) const {
    return with(Step{Step::Shape::Field, 0, {}, key, {}});
}

QString JsonContext::where() const {
    std::vector<const Outer*> outers;
    for (const Outer* o = m_outer.get(); o; o = o->outer.get())
        outers.push_back(o);
    QString out;
    for (auto it = outers.rbegin(); it != outers.rend(); ++it)
        for (int i = 0; i < (*it)->count; ++i)
            (*it)->steps[static_cast<size_t>(i)].appendTo(out);
    for (int i = 0; i < m_count; ++i)
        m_steps[static_cast<size_t>(i)].appendTo(out);
    return out;
}

void JsonContext::fail(const QString& what) const {
    // Names and kinds in the message come from the file; keep it readable whatever they hold.
    throw FormatError(QStringLiteral("Project file '%1': %2: %3")
                          .arg(m_file, readableInMessage(where(), 400), readableInMessage(what, 600)));
}

void JsonContext::failField(const QString& field, const QString& what) const {
    fail(QStringLiteral("field '%1' %2").arg(field, what));
}

static QString kindOf(const QJsonValue& v) {
    switch (v.type()) {
    case QJsonValue::Null:
        return QStringLiteral("null");
    case QJsonValue::Bool:
        return QStringLiteral("a boolean");
    case QJsonValue::Double:
        return QStringLiteral("a number");
    case QJsonValue::String:
        return QStringLiteral("a string");
    case QJsonValue::Array:
        return QStringLiteral("an array");
    case QJsonValue::Object:
        return QStringLiteral("an object");
    case QJsonValue::Undefined:
        break;
    }
    return QStringLiteral("missing");
}

static QJsonValue require(const JsonContext& ctx, const QJsonObject& o, const QString& key,
                          QJsonValue::Type type, const char* expected) {
    const auto it = o.constFind(key);
    if (it == o.constEnd())
        ctx.failField(key, QStringLiteral("is missing"));
    QJsonValue v = *it; // each look through the iterator makes a value anew
    if (v.type() != type)
        ctx.failField(key, QStringLiteral("must be %1, not %2").arg(QLatin1String(expected), kindOf(v)));
    return v;
}

QString JsonContext::readString(const QJsonObject& o, const QString& key) const {
    return require(*this, o, key, QJsonValue::String, "a string").toString();
}

QString JsonContext::readOptionalString(const QJsonObject& o, const QString& key) const {
    const QJsonValue v = o.value(key);
    if (v.isUndefined() || v.isNull())
        return QString();
    if (!v.isString())
        failField(key, QStringLiteral("must be a string, not %1").arg(kindOf(v)));
    return v.toString();
}

double JsonContext::readNumber(const QJsonObject& o, const QString& key) const {
    const double d = require(*this, o, key, QJsonValue::Double, "a number").toDouble();
    if (!std::isfinite(d))
        failField(key, QStringLiteral("must be a finite number"));
    return d;
}

int JsonContext::readInt(const QJsonObject& o, const QString& key) const {
    const double d = readNumber(o, key);
    if (d != std::floor(d))
        failField(key, QStringLiteral("must be a whole number"));
    if (std::abs(d) > kMaxWholeNumber)
        failField(key, QStringLiteral("must be a whole number from -%1 to %1 (got %2)")
                           .arg(QString::number(kMaxWholeNumber, 'f', 0), QString::number(d, 'g', 17)));
    return static_cast<int>(d);
}

QJsonObject JsonContext::readObject(const QJsonObject& o, const QString& key) const {
    return require(*this, o, key, QJsonValue::Object, "an object").toObject();
}

QJsonArray JsonContext::readArray(const QJsonObject& o, const QString& key) const {
    return require(*this, o, key, QJsonValue::Array, "an array").toArray();
}

/// Reads the array `key`, which must hold only finite numbers, into `out` (resized to fit).
template <typename Numbers>
static void readNumbersInto(const JsonContext& ctx, const QJsonArray& a, const QString& key, Numbers& out) {
    const int n = a.size();
    out.resize(n);
    for (int i = 0; i < n; ++i) {
        const QJsonValue v = a.at(i);
        const double d = v.toDouble(std::numeric_limits<double>::quiet_NaN());
        if (!v.isDouble() || !std::isfinite(d))
            ctx.failField(key, QStringLiteral("must hold only finite numbers"));
        out[i] = d;
    }
}

std::vector<double> JsonContext::readNumbers(const QJsonObject& o, const QString& key) const {
    std::vector<double> out;
    readNumbersInto(*this, readArray(o, key), key, out);
    return out;
}

void JsonContext::checkLength(const QJsonObject& o, const QString& key, int maxSize) const {
    const QJsonValue v = o.value(key);
    if (v.isArray() && v.toArray().size() > maxSize)
        failField(key,
                  QStringLiteral("must hold at most %1 values, not %2").arg(maxSize).arg(v.toArray().size()));
}

Eigen::VectorXd JsonContext::readVector(const QJsonObject& o, const QString& key, int size,
                                        int maxSize) const {
    const QJsonArray a = readArray(o, key);
    if (size < 0 && maxSize >= 0 && a.size() > maxSize)
        failField(key, QStringLiteral("must hold at most %1 numbers, not %2").arg(maxSize).arg(a.size()));
    Eigen::VectorXd out;
    readNumbersInto(*this, a, key, out);
    const int n = static_cast<int>(out.size());
    if (size >= 0 && n != size)
        failField(key, QStringLiteral("must hold %1 numbers, not %2").arg(size).arg(n));
    if (size < 0 && n == 0)
        failField(key, QStringLiteral("must hold at least one number"));
    return out;
}

QStringList JsonContext::readStrings(const QJsonObject& o, const QString& key) const {
    QStringList out;
    for (const QJsonValue& v : readArray(o, key)) {
        if (!v.isString())
            failField(key, QStringLiteral("must hold only strings"));
        out << v.toString();
    }
    return out;
}

Transform JsonContext::readPose(const QJsonObject& o, const QString& key) const {
    const QJsonObject p = readObject(o, key);
    static const QString position = QStringLiteral("position"), orientation = QStringLiteral("orientation");
    double t[3], q[4];
    const auto fixed = [&](const QString& name, double* out, int size) {
        const auto at = p.constFind(name);
        const QJsonArray a = at == p.constEnd() ? QJsonArray() : at->toArray();
        if (a.size() != size) {
            // Missing, not an array, or not that long: the general reader fails, and says why.
            const Eigen::VectorXd v = field(key).readVector(p, name, size);
            std::copy(v.data(), v.data() + size, out);
            return;
        }
        for (int i = 0; i < size; ++i) {
            const QJsonValue v = a.at(i);
            out[i] = v.toDouble(std::numeric_limits<double>::quiet_NaN());
            if (!v.isDouble() || !std::isfinite(out[i]))
                field(key).failField(name, QStringLiteral("must hold only finite numbers"));
        }
    };
    fixed(position, t, 3);
    fixed(orientation, q, 4);
    const Eigen::Quaterniond quat(q[0], q[1], q[2], q[3]);
    if (std::abs(quat.norm() - 1.0) > 1e-6)
        field(key).failField(orientation, QStringLiteral("must be a unit quaternion [w, x, y, z]"));
    Transform pose;
    pose.position = Eigen::Vector3d(t[0], t[1], t[2]);
    pose.orientation = quat;
    return pose;
}

QJsonArray toJson(const Eigen::VectorXd& v) {
    QJsonArray a;
    for (Eigen::Index i = 0; i < v.size(); ++i)
        a.append(v[i]);
    return a;
}

QJsonArray toJson(const std::vector<double>& v) {
    QJsonArray a;
    for (double d : v)
        a.append(d);
    return a;
}

QJsonObject toJson(const Transform& pose) {
    const Eigen::Quaterniond& q = pose.orientation;
    return QJsonObject{{QStringLiteral("position"), toJson(Eigen::VectorXd(pose.position))},
                       {QStringLiteral("orientation"), QJsonArray{q.w(), q.x(), q.y(), q.z()}}};
}

} // namespace kestrin
