#include "json_io.h"

#include "error.h"


#include <algorithm>
#include <cctype>
#include <cmath>
#include <deque>
#include <cstring>
#include <limits>
#include <string>
#include <string_view>
#include <unordered_set>
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
    case Shape::Text: out += a; break;
    case Shape::Numbered: out += word + QLatin1Char(' ') + QString::number(number); break;
    case Shape::Named: out += a + QLatin1String(" '") + b + QLatin1Char('\''); break;
    case Shape::Field: out += QLatin1String("field '") + a + QLatin1Char('\''); break;
    case Shape::Described: out += word + QLatin1String(" '") + a + QLatin1String("' (") + b + QLatin1Char(')'); break;
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

JsonContext::JsonContext(QString file, QLatin1String what, int number, const QString& kind, const QString& name)
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

JsonContext JsonContext::nested(const QString& where) const { return with(Step{Step::Shape::Text, 0, {}, where, {}}); }

JsonContext JsonContext::nested(const QString& kind, const QString& name) const {
    return with(Step{Step::Shape::Named, 0, {}, kind, name});
}

JsonContext JsonContext::nested(QLatin1String what, int number) const {
    return with(Step{Step::Shape::Numbered, number, what, {}, {}});
}

JsonContext JsonContext::field(const QString& key) const { return with(Step{Step::Shape::Field, 0, {}, key, {}}); }

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
    case QJsonValue::Null: return QStringLiteral("null");
    case QJsonValue::Bool: return QStringLiteral("a boolean");
    case QJsonValue::Double: return QStringLiteral("a number");
    case QJsonValue::String: return QStringLiteral("a string");
    case QJsonValue::Array: return QStringLiteral("an array");
    case QJsonValue::Object: return QStringLiteral("an object");
    case QJsonValue::Undefined: break;
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
    if (d != std::floor(d) || std::abs(d) > 2e9)
        failField(key, QStringLiteral("must be a whole number"));
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

Eigen::VectorXd JsonContext::readVector(const QJsonObject& o, const QString& key, int size) const {
    Eigen::VectorXd out;
    readNumbersInto(*this, readArray(o, key), key, out);
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

namespace {

constexpr int kMaxScanDepth = 2048; // deeper than Qt's parser goes, which then reports the depth

bool isJsonSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

/// Reads a JSON string whose opening quote is just before `i`, the way Qt's parser reads it,
/// and leaves `i` after the closing quote. False when the string is not well-formed.
bool readJsonString(const char* s, qint64 n, qint64& i, QString* out) {
    qint64 run = i; // start of the bytes not yet decoded
    const auto flush = [&](qint64 end) {
        if (out && end > run)
            out->append(QString::fromUtf8(s + run, static_cast<int>(end - run)));
    };
    while (i < n && s[i] != '"') {
        if (s[i] != '\\') {
            ++i;
            continue;
        }
        flush(i);
        if (i + 1 >= n)
            return false;
        const char e = s[i + 1];
        i += 2;
        ushort ch = static_cast<uchar>(e);
        switch (e) {
        case 'b': ch = 0x8; break;
        case 'f': ch = 0xc; break;
        case 'n': ch = 0xa; break;
        case 'r': ch = 0xd; break;
        case 't': ch = 0x9; break;
        case 'u': {
            if (n - i < 4)
                return false;
            bool ok = false;
            ch = QByteArray::fromRawData(s + i, 4).toUShort(&ok, 16);
            if (!ok)
                return false;
            i += 4;
            break;
        }
        default: break; // Qt takes any other escaped character as itself
        }
        if (out)
            out->append(QChar(ch));
        run = i;
    }
    if (i >= n)
        return false;
    flush(i);
    ++i;
    return true;
}

} // namespace

namespace {

/// The keys seen so far in one open object, as UTF-8 the way Qt decodes them. Objects have a
/// handful of keys: a plain list is quicker than a hash, until one has many. The keys point into
/// the text being scanned, or into the scan's store of decoded keys.
class KeySet {
public:
    void clear() {
        m_list.clear();
        m_hash.clear();
    }
    /// Adds `key`; false when it was there already.
    bool insert(std::string_view key) {
        if (m_hash.empty()) {
            if (std::find(m_list.begin(), m_list.end(), key) != m_list.end())
                return false;
            m_list.push_back(key);
            if (m_list.size() > 32) {
                m_hash.insert(m_list.begin(), m_list.end());
                m_list.clear();
            }
            return true;
        }
        return m_hash.insert(key).second;
    }

private:
    std::vector<std::string_view> m_list;
    std::unordered_set<std::string_view> m_hash;
};

} // namespace

namespace {

// Characters that may make up a number, true, false or null: the scan leaves checking them to Qt.
struct WordChars {
    bool table[256] = {};
    constexpr WordChars() {
        for (int c = 0; c < 256; ++c)
            table[c] = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '-' ||
                       c == '+' || c == '.';
    }
};
constexpr WordChars kWordChars;

} // namespace

JsonScanResult scanJson(const QByteArray& json, JsonElements* elements) {
    struct Level {
        bool object = false;
        KeySet keys;
        std::string key;         // the last key read, on the levels that lead to followed arrays
        int follow = -1;         // the followed array this level is, if any
        qint64 opened = 0;       // where its bracket is
        qint64 elementStart = 0; // where its current element began, when followed
    };
    enum class Want { Value, ValueOrClose, Key, KeyOrClose, Colon, CommaOrClose };
    std::size_t pathLevels = 0; // how many levels the followed arrays' paths go through
    if (elements) {
        for (const auto& path : elements->arrays)
            pathLevels = std::max(pathLevels, path.size());
        elements->contents.assign(elements->arrays.size(), {-1, -1});
    }
    JsonScanResult result;
    std::deque<std::string> decoded; // keys that were not plain ASCII, as Qt reads them
    // Levels are kept when closed and reused, so that their key lists keep their room.
    std::vector<Level> pool;
    std::size_t depth = 0;
    auto top = [&]() -> Level& { return pool[depth - 1]; };
    const char* s = json.constData();
    const qint64 n = json.size();
    qint64 i = 0;
    Want want = Want::Value;
    // After a value ends at the current level: report it when it is an element of a followed array.
    const auto valueEnded = [&]() {
        if (elements && top().follow >= 0)
            return elements->element(top().follow, top().elementStart, i);
        return true;
    };
    for (;;) {
        // Indentation comes in long runs of spaces: take them eight at a time.
        for (;;) {
            quint64 eight;
            if (i + 8 <= n && (std::memcpy(&eight, s + i, 8), eight == 0x2020202020202020ULL))
                i += 8;
            else if (i < n && isJsonSpace(s[i]))
                ++i;
            else
                break;
        }
        if (i >= n)
            return result;
        const char c = s[i];
        bool closed = false;
        switch (want) {
        case Want::KeyOrClose:
            if (c == '}') {
                closed = true;
                break;
            }
            [[fallthrough]];
        case Want::Key: {
            if (c != '"')
                return result;
            const qint64 at = i++;
            // Plain ASCII without escapes is compared as it stands; anything else as Qt
            // decodes it, so that "a" and "\u0061" are the same key, as they are to Qt.
            const qint64 start = i;
            bool plain = true;
            while (i < n && s[i] != '"' && s[i] != '\\') {
                plain = plain && static_cast<uchar>(s[i]) < 0x80;
                ++i;
            }
            std::string_view key;
            if (plain && i < n && s[i] == '"') {
                key = std::string_view(s + start, static_cast<std::size_t>(i - start));
                ++i;
            } else {
                i = start;
                QString text;
                if (!readJsonString(s, n, i, &text))
                    return result;
                decoded.push_back(text.toStdString());
                key = decoded.back();
            }
            if (!top().keys.insert(key)) {
                result.repeated = {QString::fromStdString(std::string(key)), at};
                return result;
            }
            if (depth <= pathLevels)
                top().key.assign(key);
            want = Want::Colon;
            continue;
        }
        case Want::Colon:
            if (c != ':')
                return result;
            ++i;
            want = Want::Value;
            continue;
        case Want::CommaOrClose:
            if (c == ',') {
                ++i;
                want = top().object ? Want::Key : Want::Value;
                continue;
            }
            if (c != (top().object ? '}' : ']'))
                return result;
            closed = true;
            break;
        case Want::ValueOrClose:
            if (c == ']') {
                closed = true;
                break;
            }
            [[fallthrough]];
        case Want::Value:
            if (depth > 0 && top().follow >= 0)
                top().elementStart = i;
            if (c == '{' || c == '[') {
                if (depth >= static_cast<size_t>(kMaxScanDepth))
                    return result;
                // Is this array one of those followed? Its path is the keys of the objects around it.
                int follow = -1;
                if (elements && c == '[' && depth >= 1 && depth <= pathLevels) {
                    for (std::size_t a = 0; a < elements->arrays.size() && follow < 0; ++a) {
                        const auto& path = elements->arrays[a];
                        bool match = path.size() == depth;
                        for (std::size_t k = 0; match && k < depth; ++k)
                            match = pool[k].object && pool[k].key == path[k];
                        if (match)
                            follow = static_cast<int>(a);
                    }
                }
                if (depth == pool.size())
                    pool.emplace_back();
                ++depth;
                result.maxDepth = std::max(result.maxDepth, static_cast<int>(depth));
                top().object = c == '{';
                top().keys.clear();
                top().key.clear();
                top().follow = follow;
                top().opened = i;
                ++i;
                want = c == '{' ? Want::KeyOrClose : Want::ValueOrClose;
                continue;
            }
            if (c == '"') {
                ++i;
                if (!readJsonString(s, n, i, nullptr))
                    return result;
            } else if (kWordChars.table[static_cast<uchar>(c)]) {
                while (i < n && kWordChars.table[static_cast<uchar>(s[i])])
                    ++i;
            } else {
                return result;
            }
            if (depth == 0)
                return result;
            if (!valueEnded())
                return result;
            want = Want::CommaOrClose;
            continue;
        }
        if (closed) {
            if (elements && top().follow >= 0)
                elements->contents[static_cast<std::size_t>(top().follow)] = {top().opened + 1, i};
            ++i;
            --depth;
            if (depth == 0) {
                while (i < n && isJsonSpace(s[i]))
                    ++i;
                result.complete = i == n;
                return result;
            }
            if (!valueEnded())
                return result;
            want = Want::CommaOrClose;
        }
    }
}

RepeatedJsonKey findRepeatedJsonKey(const QByteArray& json) { return scanJson(json, nullptr).repeated; }

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
