#include "project_file.h"

#include "atomic_file.h"
#include "behavior.h"
#include "constants.h"
#include "error.h"
#include "json_io.h"
#include "naming.h"
#include "project.h"
#include "undo_history.h"
#include "variable.h"
#include "workspace.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <deque>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include <sys/stat.h>

namespace kestrin {

namespace {
const QString kFormatTag = QStringLiteral("kestrin-project");
constexpr qint64 kMaxFileSize = 256ll * 1024 * 1024;
/// Ids a project file may give its objects: half of what the reader takes, so that the ids the
/// cell hands out to the objects added after it still read back (from the undo history).
constexpr double kMaxFileObjectId = JsonContext::kMaxWholeNumber / 2;
} // namespace

static QJsonObject behaviorToJson(const Behavior* b) {
    QJsonObject json{{QStringLiteral("type"), b->type().name()}, {QStringLiteral("name"), b->name()}};
    b->writeJson(json);
    if (b->acceptsChildren()) {
        QJsonArray children;
        for (const Behavior* c : b->children())
            children.append(behaviorToJson(c));
        json.insert(QStringLiteral("children"), children);
    }
    return json;
}

/// A workspace object as it stands in the file.
static QJsonObject objectToJson(const WorkspaceObject* o, bool withIds) {
    QJsonObject json{{QStringLiteral("type"), o->type().name()},
                     {QStringLiteral("name"), o->name()},
                     {QStringLiteral("pose"), kestrin::toJson(o->transform())}};
    if (withIds)
        json.insert(QStringLiteral("id"), static_cast<double>(o->id()));
    o->writeJson(json);
    return json;
}

static QJsonObject variableToJson(const Variable* v) {
    QJsonObject json{{QStringLiteral("type"), v->type().name()}, {QStringLiteral("name"), v->name()}};
    v->writeJson(json);
    return json;
}

/// The top level of the file around its lists.
static QJsonObject topLevelJson(const Workspace& ws, QJsonArray objects, QJsonArray variables,
                                QJsonArray programs) {
    QJsonObject workspace{{QStringLiteral("objects"), objects}};
    // Written only when set, so that files of cells without one stay as they were.
    if (ws.clearance() > 0)
        workspace.insert(QStringLiteral("clearance"), ws.clearance());
    // The meshes the objects use, each once, packed; named by the SHA-256 of their content.
    std::vector<MeshRef> meshes;
    for (const WorkspaceObject* o : ws.objects())
        for (const MeshRef& mesh : o->meshes())
            meshes.push_back(mesh);
    std::sort(meshes.begin(), meshes.end(),
              [](const MeshRef& a, const MeshRef& b) { return a->sha256() < b->sha256(); });
    meshes.erase(std::unique(meshes.begin(), meshes.end()), meshes.end());
    if (!meshes.empty()) {
        QJsonArray list;
        for (const MeshRef& mesh : meshes)
            list.append(
                QJsonObject{{QStringLiteral("sha256"), mesh->sha256()},
                            {QStringLiteral("triangles"), static_cast<double>(mesh->triangleCount())},
                            {QStringLiteral("data"), QString::fromLatin1(mesh->packed().toBase64())}});
        workspace.insert(QStringLiteral("meshes"), list);
    }
    return QJsonObject{{QStringLiteral("format"), kFormatTag},
                       {QStringLiteral("version"), KS_PROJECT_FORMAT_VERSION},
                       {QStringLiteral("workspace"), workspace},
                       {QStringLiteral("variables"), variables},
                       {QStringLiteral("programs"), programs}};
}

/// The meshes stored in the file, into the cell's mesh store.
static void readMeshes(const QJsonObject& workspaceJson, const QString& fileLabel, Workspace& ws) {
    if (!workspaceJson.contains(QStringLiteral("meshes")))
        return;
    const QJsonArray list = JsonContext(fileLabel, QStringLiteral("workspace"))
                                .readArray(workspaceJson, QStringLiteral("meshes"));
    for (int i = 0; i < list.size(); ++i) {
        const JsonContext at(fileLabel, QLatin1String("mesh"), i + 1);
        if (!list[i].isObject())
            at.fail(QStringLiteral("must be a JSON object"));
        const QJsonObject m = list[i].toObject();
        const QString sha = at.readString(m, QStringLiteral("sha256"));
        const QString data = at.readString(m, QStringLiteral("data"));
        const QByteArray packed =
            QByteArray::fromBase64(data.toLatin1(), QByteArray::AbortOnBase64DecodingErrors);
        if (packed.isEmpty())
            at.failField(QStringLiteral("data"), QStringLiteral("is not base64 text"));
        try {
            ws.meshes().add(Mesh::unpack(packed, sha));
        } catch (const Error& e) {
            at.failField(QStringLiteral("data"), e.message());
        }
    }
}

/// The cell's own settings, beside its list of objects.
static void readCellSettings(const QJsonObject& workspaceJson, const JsonContext& top, Workspace& ws) {
    if (!workspaceJson.contains(QStringLiteral("clearance")))
        return;
    const JsonContext at = top.nested(QStringLiteral("workspace"));
    const double clearance = at.readNumber(workspaceJson, QStringLiteral("clearance"));
    if (!(clearance >= 0 && clearance <= Workspace::kMaxClearance))
        at.failField(QStringLiteral("clearance"),
                     QStringLiteral("must be between 0 and %1 m").arg(Workspace::kMaxClearance));
    ws.setClearance(clearance);
}

QJsonObject ProjectFile::toJson(const Project& project, bool withIds) {
    const Workspace& ws = *project.workspace();
    QJsonArray objects;
    for (const WorkspaceObject* o : ws.objects())
        objects.append(objectToJson(o, withIds));
    QJsonArray variables;
    for (const Variable* v : project.variableList())
        variables.append(variableToJson(v));
    QJsonArray programs;
    for (const Behavior* b : project.programList())
        programs.append(behaviorToJson(b));
    return topLevelJson(ws, objects, variables, programs);
}

QByteArray ProjectFile::text(const Project& project) {
    return QJsonDocument(toJson(project)).toJson(QJsonDocument::Indented);
}

namespace {

QJsonObject elementObject(const QJsonValue& v, const JsonContext& ctx) {
    if (!v.isObject())
        ctx.fail(QStringLiteral("must be a JSON object"));
    return v.toObject();
}

Behavior* readBehavior(Project* project, const QJsonObject& json, const JsonContext& ctx, int depth,
                       std::vector<Behavior*>& all) {
    if (depth > kMaxBehaviorDepth)
        ctx.fail(QStringLiteral("behaviors are nested more than %1 levels deep").arg(kMaxBehaviorDepth));
    const QString kind = ctx.readString(json, QStringLiteral("type"));
    const QString name = ctx.readString(json, QStringLiteral("name"));
    const Type* type = Type::find(kind);
    if (!type || !type->canConstructBehavior())
        ctx.failField(QStringLiteral("type"),
                      QStringLiteral("names an unknown kind of behavior '%1'").arg(kind));
    const JsonContext here = ctx.nested(kind, name);
    Behavior* b = nullptr;
    try {
        b = type->constructBehavior(project, name);
    } catch (const Error& e) {
        ctx.fail(e.message());
    }
    if (b->name() != name)
        ctx.fail(QStringLiteral("two behaviors are named '%1'; behavior names must be unique").arg(name));
    all.push_back(b);
    b->readJson(json, here);
    const QJsonValue children = json.value(QStringLiteral("children"));
    if (b->acceptsChildren()) {
        const QJsonArray list = here.readArray(json, QStringLiteral("children"));
        for (int i = 0; i < list.size(); ++i) {
            const JsonContext childCtx = here.nested(QLatin1String("child"), i + 1);
            Behavior* child =
                readBehavior(project, elementObject(list[i], childCtx), childCtx, depth + 1, all);
            b->_addChild(child);
        }
    } else if (!children.isUndefined() && !(children.isArray() && children.toArray().isEmpty())) {
        here.failField(QStringLiteral("children"),
                       QStringLiteral("is not allowed: %1 holds no other behaviors").arg(withArticle(kind)));
    }
    return b;
}

/// The checks on the top level of a project file that come before anything is read.
void checkTopLevel(const QJsonObject& json, const QString& fileLabel) {
    const JsonContext top(fileLabel, QStringLiteral("top level"));
    const QJsonValue format = json.value(QStringLiteral("format"));
    if (format != QJsonValue(kFormatTag))
        top.fail(QStringLiteral("this is not a Kestrin Studio project (field 'format' must be \"%1\")")
                     .arg(kFormatTag));
    const int version = top.readInt(json, QStringLiteral("version"));
    if (version > KS_PROJECT_FORMAT_VERSION)
        throw FormatError(
            QStringLiteral("Project file '%1' was written by a newer version of Kestrin Studio (file "
                           "format %2; this version reads format %3 and older). Update Kestrin "
                           "Studio to open it.")
                .arg(fileLabel, QString::number(version), QString::number(KS_PROJECT_FORMAT_VERSION)));
    if (version < 1)
        top.failField(QStringLiteral("version"), QStringLiteral("must be 1 or more (got %1)").arg(version));
}

/// Builds a project from the pieces of a project file: workspace objects, variables and
/// programs, each numbered from 0 within its list. References are resolved once all of a kind
/// is read: objects', then variables', then behaviors'.
class ProjectReader {
public:
    ProjectReader(Project& into, QString fileLabel)
        : m_project(into), m_file(std::move(fileLabel)), m_ws(into.workspace()) {
        m_ws->_setAutoPlace(false); // every object's pose comes from the file
        m_ws->_setFloorDeferred(true);
    }

    void reserveObjects(int count) { m_made.reserve(static_cast<size_t>(count)); }

    void readObject(const QJsonValue& element, int index) {
        const JsonContext at(m_file, QLatin1String("workspace object"), index + 1);
        const QJsonObject o = elementObject(element, at);
        const QString kind = at.readString(o, QStringLiteral("type"));
        const QString name = at.readString(o, QStringLiteral("name"));
        const Type* type = Type::find(kind);
        if (!type || !type->canConstructObject())
            at.failField(QStringLiteral("type"),
                         QStringLiteral("names an unknown kind of object '%1'").arg(kind));
        const JsonContext here(m_file, QLatin1String("workspace object"), index + 1, kind, name);
        WorkspaceObject* obj = nullptr;
        try {
            obj = type->constructObject(m_ws, name);
        } catch (const Error& e) {
            at.fail(e.message());
        }
        if (obj->name() != name)
            here.fail(QStringLiteral("another %1 has the same name; names must be unique")
                          .arg(categoryLabel(obj->category())));
        try {
            const Transform pose = here.readPose(o, QStringLiteral("pose"));
            if (!isWithinCell(pose.position))
                here.field(QStringLiteral("pose"))
                    .failField(QStringLiteral("position"),
                               QStringLiteral("must be within %1 m of the cell's origin in x, y and z")
                                   .arg(kMaxPosition));
            obj->setTransform(pose);
        } catch (const FormatError&) {
            throw;
        } catch (const Error& e) {
            here.failField(QStringLiteral("pose"), e.message());
        }
        obj->readJson(o, here);
        if (o.contains(QStringLiteral("id"))) {
            const int id = here.readInt(o, QStringLiteral("id"));
            if (id < 1 || !m_ws->_reassignId(obj, static_cast<quint64>(id)))
                here.failField(QStringLiteral("id"),
                               QStringLiteral("must be a positive number used by no other object"));
        }
        m_made.emplace_back(obj, index);
    }

    void finishObjects() {
        for (const auto& [obj, index] : m_made)
            obj->resolveReferences(objectContext(obj, index));
        for (const auto& [obj, index] : m_made)
            obj->finishLoading(objectContext(obj, index));
        m_ws->_setFloorDeferred(false);
    }

    void readVariable(const QJsonValue& element, int index) {
        const JsonContext at(m_file, QLatin1String("variable"), index + 1);
        const QJsonObject o = elementObject(element, at);
        Variable* v = Variable::fromJson(&m_project, o, at);
        if (v->name() != at.readString(o, QStringLiteral("name")))
            at.fail(QStringLiteral("two variables are named '%1'; variable names must be unique")
                        .arg(at.readString(o, QStringLiteral("name"))));
        m_vars.emplace_back(v, index);
    }

    void finishVariables() {
        for (const auto& [v, index] : m_vars)
            v->resolveReferences(
                JsonContext(m_file, QLatin1String("variable"), index + 1, v->type().name(), v->name()));
    }

    void readProgram(const QJsonValue& element, int index) {
        const JsonContext at(m_file, QLatin1String("program"), index + 1);
        Behavior* b = readBehavior(&m_project, elementObject(element, at), at, 1, m_behaviors);
        m_project.addProgram(b);
    }

    void finishPrograms() {
        for (Behavior* b : m_behaviors)
            b->resolveReferences(JsonContext(m_file, QLatin1String("behavior"), b->name(), b->type().name()));
    }

private:
    Project& m_project;
    const QString m_file;
    Workspace* m_ws;
    /// Where in the file an object was read, as its reader named it (its kind is its type's name).
    JsonContext objectContext(const WorkspaceObject* obj, int index) const {
        return JsonContext(m_file, QLatin1String("workspace object"), index + 1, obj->type().name(),
                           obj->name());
    }

    // What was read, with its place in its list; places are put into words only for a failure.
    std::vector<std::pair<WorkspaceObject*, int>> m_made;
    std::vector<std::pair<Variable*, int>> m_vars;
    std::vector<Behavior*> m_behaviors;
};

} // namespace

void ProjectFile::fromJson(Project& project, const QJsonObject& json, const QString& fileLabel) {
    checkTopLevel(json, fileLabel);
    const JsonContext top(fileLabel, QStringLiteral("top level"));
    Project loaded;
    ProjectReader reader(loaded, fileLabel);
    const QJsonObject wsJson = top.readObject(json, QStringLiteral("workspace"));
    readCellSettings(wsJson, top, *loaded.workspace());
    readMeshes(wsJson, fileLabel, *loaded.workspace());
    const QJsonArray objects =
        top.nested(QStringLiteral("workspace")).readArray(wsJson, QStringLiteral("objects"));
    reader.reserveObjects(objects.size());
    for (int i = 0; i < objects.size(); ++i)
        reader.readObject(objects[i], i);
    reader.finishObjects();
    const QJsonArray variables = top.readArray(json, QStringLiteral("variables"));
    for (int i = 0; i < variables.size(); ++i)
        reader.readVariable(variables[i], i);
    reader.finishVariables();
    const QJsonArray programs = top.readArray(json, QStringLiteral("programs"));
    for (int i = 0; i < programs.size(); ++i)
        reader.readProgram(programs[i], i);
    reader.finishPrograms();
    project.swapContents(loaded);
}

namespace {

/// The undo history's snapshot of the project `document` holds (a document known to load).
QByteArray snapshotOfDocument(const QJsonObject& document, const QString& file) {
    Project loaded;
    ProjectFile::fromJson(loaded, document, file);
    return UndoHistory::snapshotOf(loaded);
}

/// Refuses object ids in a project file above kMaxFileObjectId, naming the object. (What else is
/// wrong with the objects is left to the reader.)
void checkObjectIds(const QJsonObject& document, const QString& file) {
    const QJsonArray objects =
        document.value(QStringLiteral("workspace")).toObject().value(QStringLiteral("objects")).toArray();
    for (int i = 0; i < objects.size(); ++i) {
        const QJsonObject o = objects[i].toObject();
        const QJsonValue id = o.value(QStringLiteral("id"));
        if (!id.isDouble() || id.toDouble() <= kMaxFileObjectId)
            continue;
        JsonContext(file, QLatin1String("workspace object"), i + 1,
                    o.value(QStringLiteral("type")).toString(), o.value(QStringLiteral("name")).toString())
            .failField(QStringLiteral("id"), QStringLiteral("must be a whole number from 1 to %1 (got %2)")
                                                 .arg(QString::number(kMaxFileObjectId, 'f', 0),
                                                      QString::number(id.toDouble(), 'g', 17)));
    }
}

/// A key that appears twice in one object of a JSON text. Qt's parser keeps the last value of a
/// repeated key silently (and, in Qt 5.15, never frees the values it drops when they are objects
/// or arrays), so project files are checked for repeated keys before they are parsed.
struct RepeatedJsonKey {
    QString key;
    qint64 offset = -1; ///< byte offset of the second appearance; -1 when no key repeats
};

constexpr int kMaxScanDepth = 2048; // deeper than Qt's parser goes, which then reports the depth

bool isJsonSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

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
        case 'b':
            ch = 0x8;
            break;
        case 'f':
            ch = 0xc;
            break;
        case 'n':
            ch = 0xa;
            break;
        case 'r':
            ch = 0xd;
            break;
        case 't':
            ch = 0x9;
            break;
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
        default:
            break; // Qt takes any other escaped character as itself
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

// Characters that may make up a number, true, false or null: the scan leaves checking them to Qt.
struct WordChars {
    bool table[256] = {};
    constexpr WordChars() {
        for (int c = 0; c < 256; ++c)
            table[c] = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                       c == '-' || c == '+' || c == '.';
    }
};
constexpr WordChars kWordChars;

/// Scans `json` for a key repeated within one object. Text that is not well-formed JSON is
/// scanned only up to where it goes wrong; the parser reports what is wrong with it.
RepeatedJsonKey findRepeatedJsonKey(const QByteArray& json) {
    struct Level {
        bool object = false;
        KeySet keys;
    };
    enum class Want { Value, ValueOrClose, Key, KeyOrClose, Colon, CommaOrClose };
    RepeatedJsonKey result;
    std::deque<std::string> decoded; // keys that were not plain ASCII, as Qt reads them
    // Levels are kept when closed and reused, so that their key lists keep their room.
    std::vector<Level> pool;
    std::size_t depth = 0;
    auto top = [&]() -> Level& { return pool[depth - 1]; };
    const char* s = json.constData();
    const qint64 n = json.size();
    qint64 i = 0;
    Want want = Want::Value;
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
                result = {QString::fromStdString(std::string(key)), at};
                return result;
            }
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
            if (c == '{' || c == '[') {
                if (depth >= static_cast<size_t>(kMaxScanDepth))
                    return result;
                if (depth == pool.size())
                    pool.emplace_back();
                ++depth;
                top().object = c == '{';
                top().keys.clear();
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
            want = Want::CommaOrClose;
            continue;
        }
        if (closed) {
            ++i;
            --depth;
            if (depth == 0)
                return result;
            want = Want::CommaOrClose;
        }
    }
}

} // namespace

namespace {

/// Where byte `offset` of `text` is, in words: its line and column, and the field whose value
/// it is in when the text before it shows one (`"key": ` or `"key": [1, 2, `).
QString placeInText(const QByteArray& text, qint64 offset) {
    offset = std::clamp<qint64>(offset, 0, text.size());
    const QByteArray before = text.left(static_cast<int>(offset));
    const qint64 lineStart = before.lastIndexOf('\n') + 1;
    const int line = before.count('\n') + 1;
    // Columns count characters, not bytes (UTF-8 continuation bytes are not counted).
    int column = 1;
    for (qint64 i = lineStart; i < offset; ++i)
        column += (static_cast<uchar>(before[static_cast<int>(i)]) & 0xC0) != 0x80;
    QString place = QStringLiteral("line %1, column %2").arg(line).arg(column);
    qint64 i = offset;
    while (i > 0 && (kWordChars.table[static_cast<uchar>(before[static_cast<int>(i - 1)])] ||
                     isJsonSpace(before[static_cast<int>(i - 1)]) || before[static_cast<int>(i - 1)] == ',' ||
                     before[static_cast<int>(i - 1)] == '['))
        --i;
    if (i > 0 && before[static_cast<int>(i - 1)] == ':') {
        --i;
        while (i > 0 && isJsonSpace(before[static_cast<int>(i - 1)]))
            --i;
        if (i > 1 && before[static_cast<int>(i - 1)] == '"') {
            const qint64 close = i - 1;
            const qint64 open = before.lastIndexOf('"', static_cast<int>(close - 1));
            if (open >= 0 && close - open - 1 <= 200)
                place += QStringLiteral(", in field '%1'")
                             .arg(readableInMessage(
                                 QString::fromUtf8(before.mid(static_cast<int>(open + 1),
                                                              static_cast<int>(close - open - 1))),
                                 80));
        }
    }
    return place;
}

/// Why `file` cannot be found (stat failed with `error`), in words: it may not exist, or a folder
/// on the way may not be searchable, or its symbolic links may lead nowhere or round in a loop.
QString whyNotThere(const QString& file, int error) {
    const QString folder = QDir::toNativeSeparators(QFileInfo(file).absolutePath());
    switch (error) {
    case ELOOP:
        return QStringLiteral("its symbolic links go round in a loop");
    case EACCES:
        return QStringLiteral("permission to look into the folder '%1' (or one on the way to it) is denied")
            .arg(folder);
    case ENOTDIR:
        return QStringLiteral("a part of its path is a file, not a folder");
    case ENAMETOOLONG:
        return QStringLiteral("its name is too long");
    case ENOENT:
        if (QFileInfo(file).isSymLink())
            return QStringLiteral("it is a symbolic link to '%1', which does not exist")
                .arg(QFileInfo(file).symLinkTarget());
        return QStringLiteral("it does not exist");
    default:
        return qt_error_string(error);
    }
}

} // namespace

void ProjectFile::load(Project& project, const QString& file) {
    if (file.isEmpty())
        throw FileError(QStringLiteral("No project file was given to open."));
    // Qt counts a file it may not look at as one that exists: ask the system why it cannot.
    struct stat st;
    if (::stat(QFile::encodeName(file).constData(), &st) != 0) {
        const int error = errno;
        throw FileError(
            QStringLiteral("Cannot open project file '%1': %2.").arg(file, whyNotThere(file, error)));
    }
    const QFileInfo info(file);
    if (!info.exists())
        throw FileError(QStringLiteral("Cannot open project file '%1': it does not exist.").arg(file));
    if (info.isDir())
        throw FileError(
            QStringLiteral("Cannot open project file '%1': it is a folder, not a file.").arg(file));
    // A pipe would block the open until someone writes to it, a device may never end.
    if (!info.isFile())
        throw FileError(QStringLiteral("Cannot open project file '%1': it is a device, pipe or socket, not a "
                                       "file.")
                            .arg(file));
    if (info.size() > kMaxFileSize)
        throw FileError(
            QStringLiteral("Cannot open project file '%1': it is too large (%2 MB; at most %3 MB).")
                .arg(file, QString::number(info.size() / (1024 * 1024)),
                     QString::number(kMaxFileSize / (1024 * 1024))));
    QFile f(file);
    if (!f.open(QIODevice::ReadOnly))
        throw FileError(QStringLiteral("Cannot read project file '%1': %2.").arg(file, f.errorString()));
    // Read in growing steps: QIODevice::read(maxSize) would set aside maxSize bytes (the whole
    // size limit) for every file, and the size seen above may change or be 0 (a pipe, /dev/zero).
    // The first step takes the size seen (and one byte more, to see the end), so that a file
    // that stays as it was is read in one go.
    QByteArray bytes;
    qint64 have = 0;
    for (;;) {
        const qint64 first = std::max<qint64>(info.size() + 1, 64 * 1024);
        const qint64 room = std::min<qint64>(have ? 2 * have : first, kMaxFileSize + 1);
        bytes.resize(static_cast<int>(room));
        const qint64 n = f.read(bytes.data() + have, room - have);
        if (n < 0)
            throw FileError(QStringLiteral("Cannot read project file '%1': %2.").arg(file, f.errorString()));
        have += n;
        if (n == 0 || have > kMaxFileSize)
            break;
    }
    bytes.resize(static_cast<int>(have));
    if (bytes.size() > kMaxFileSize)
        throw FileError(QStringLiteral("Cannot open project file '%1': it is too large (at most %2 MB).")
                            .arg(file, QString::number(kMaxFileSize / (1024 * 1024))));
    if (std::all_of(bytes.cbegin(), bytes.cend(), [](char c) { return std::isspace(static_cast<uchar>(c)); }))
        throw FormatError(QStringLiteral("Project file '%1' is empty.").arg(file));
    const RepeatedJsonKey repeated = findRepeatedJsonKey(bytes);
    if (repeated.offset >= 0)
        throw FormatError(
            QStringLiteral("Project file '%1' is damaged or was edited by hand: the key '%2' appears "
                           "twice in the same JSON object (at byte %3), so it is not clear which "
                           "value holds.")
                .arg(file, readableInMessage(repeated.key, 80), QString::number(repeated.offset)));
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(bytes, &error);
    if (error.error != QJsonParseError::NoError)
        throw FormatError(
            QStringLiteral("Project file '%1' is not valid JSON (it may be damaged or cut short): %2 "
                           "at byte %3 (%4).")
                .arg(file, error.errorString(), QString::number(error.offset),
                     placeInText(bytes, error.offset)));
    if (!doc.isObject())
        throw FormatError(
            QStringLiteral("Project file '%1' does not hold a Kestrin Studio project (its top level "
                           "is not a JSON object).")
                .arg(file));
    const QJsonObject content = doc.object();
    checkTopLevel(content, file);
    checkObjectIds(content, file);
    fromJson(project, content, file);
    // The undo history starts at the project as loaded. On a large cell its snapshot costs as
    // much again as the load, and it is only needed at the first change: it is made then, from
    // the same document, which is known to load. (Holding on to the document also spares the
    // load the time it takes to free it.)
    project.history().resetLazily([content, file]() { return snapshotOfDocument(content, file); });
}

QStringList ProjectFile::save(const Project& project, const QString& file) {
    if (file.isEmpty()) // before the text is made
        throw FileError(QStringLiteral("No file name was given to save the project to."));
    const QByteArray bytes = text(project);
    // A file that could not be opened again is not saved (large meshes can make one).
    if (bytes.size() > kMaxFileSize)
        throw FileError(
            QStringLiteral("Cannot save the project to '%1': it would be %2 MB, and project files "
                           "of at most %3 MB can be opened. Use fewer or simpler meshes.")
                .arg(file, QString::number(bytes.size() / (1024 * 1024)),
                     QString::number(kMaxFileSize / (1024 * 1024))));
    return writeFileAtomically(file, bytes, QStringLiteral("the project"));
}

} // namespace kestrin
