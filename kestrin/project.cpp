#include "project.h"

#include "action.h"
#include "atomic_file.h"
#include "behavior.h"
#include "constants.h"
#include "error.h"
#include "json_io.h"
#include "naming.h"
#include "undo_history.h"
#include "variable.h"
#include "workspace.h"
#include "robot.h"
#include "tool_frame.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <algorithm>
#include <cctype>
#include <array>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <exception>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>

namespace kestrin {

namespace {
const QString kFormatTag = QStringLiteral("kestrin-project");
constexpr qint64 kMaxFileSize = 256ll * 1024 * 1024;
} // namespace

const Type& Project::staticType() {
    static const Type t("Project", nullptr);
    return t;
}

Project::Project()
    : m_workspace(std::make_unique<Workspace>(this)), m_behaviorNames(std::make_unique<NameRegistry>()),
      m_variableNames(std::make_unique<NameRegistry>()), m_history(std::make_unique<UndoHistory>(this)) {
    m_history->reset();
}

Project::~Project() {
    const std::vector<ProjectObserver*> observers = m_observers;
    m_observers.clear();
    for (ProjectObserver* observer : observers)
        observer->projectDestroyed();
    // Behaviors and variables refer to the workspace by name only; drop them first all the same,
    // so that no destructor ever sees a half-destroyed workspace.
    m_programs.clear();
    m_behaviors.clear();
    m_variables.clear();
}

// ---------------------------------------------------------------------------------------------
// Change notices

void Project::addObserver(ProjectObserver* observer) const { m_observers.push_back(observer); }

void Project::removeObserver(ProjectObserver* observer) const {
    m_observers.erase(std::remove(m_observers.begin(), m_observers.end(), observer), m_observers.end());
}

void Project::_notify(ProjectChange::Subject subject, ProjectChange::Kind kind, quint64 id,
                      const QString& oldName) const {
    const ProjectChange change{subject, kind, id, oldName};
    // By index: an observer may remove another (or itself) while being told.
    for (size_t i = 0; i < m_observers.size(); ++i)
        m_observers[i]->projectChanged(change);
}

// ---------------------------------------------------------------------------------------------
// Behaviors

void Project::_adoptBehavior(Behavior* behavior) {
    const QString name = m_behaviorNames->uniqueName(behavior->name());
    behavior->_setNameUnchecked(name);
    m_behaviorNames->insert(name);
    m_behaviorByName.insert(name, behavior);
    m_behaviors.emplace_back(behavior);
    const quint64 id = m_restoringId ? m_restoringId : m_nextBehaviorId++;
    m_nextBehaviorId = std::max(m_nextBehaviorId, id + 1);
    behavior->_setId(id);
    m_behaviorById.insert(id, behavior);
    ++m_structureRevision;
    _notify(ProjectChange::Subject::Behavior, ProjectChange::Kind::Added, id);
}

QString Project::_uniqueBehaviorName(const QString& wanted) const { return m_behaviorNames->uniqueName(wanted); }

void Project::_renameBehavior(Behavior* behavior, const QString& wanted) {
    const QString old = behavior->name();
    const QString name = m_behaviorNames->uniqueName(wanted);
    m_behaviorNames->remove(behavior->name());
    m_behaviorByName.remove(behavior->name());
    m_behaviorNames->insert(name);
    m_behaviorByName.insert(name, behavior);
    behavior->_setNameUnchecked(name);
    ++m_structureRevision;
    _notify(ProjectChange::Subject::Behavior, ProjectChange::Kind::Renamed, behavior->id(), old);
}

void Project::addProgram(Behavior* behavior) {
    if (!behavior)
        throw ValueError(QStringLiteral("No behavior was given to add as a program."));
    if (behavior->project() != this)
        throw ValueError(QStringLiteral("Behavior '%1' belongs to another project.").arg(behavior->name()));
    if (behavior->parent() || behavior->isProgram())
        throw ValueError(QStringLiteral("Behavior '%1' already has a place in a program.").arg(behavior->name()));
    behavior->_setProgram(true);
    m_programs.push_back(behavior);
    ++m_structureRevision;
    _notify(ProjectChange::Subject::Behavior, ProjectChange::Kind::Moved, behavior->id());
    _notify(ProjectChange::Subject::Project, ProjectChange::Kind::Edited, 0);
}

QMap<QString, Behavior*> Project::programs() const {
    QMap<QString, Behavior*> out;
    for (Behavior* b : m_programs)
        out.insert(b->name(), b);
    return out;
}

QMap<QString, Behavior*> Project::behaviors() const {
    QMap<QString, Behavior*> out;
    std::function<void(Behavior*)> visit = [&](Behavior* b) {
        out.insert(b->name(), b);
        for (Behavior* c : b->children())
            visit(c);
    };
    for (Behavior* b : m_programs)
        visit(b);
    return out;
}

Behavior* Project::findBehavior(const QString& name) const {
    Behavior* b = m_behaviorByName.value(name, nullptr);
    return b && b->isAttached() ? b : nullptr;
}

void Project::removeBehavior(Behavior* behavior) {
    if (!behavior || behavior->project() != this)
        throw ValueError(QStringLiteral("That behavior is not part of this project."));
    if (Behavior* parent = behavior->parent())
        parent->_removeChild(behavior);
    const bool wasProgram = behavior->isProgram();
    if (wasProgram) {
        m_programs.erase(std::remove(m_programs.begin(), m_programs.end(), behavior), m_programs.end());
        behavior->_setProgram(false);
    }
    std::vector<Behavior*> doomed;
    std::function<void(Behavior*)> collect = [&](Behavior* b) {
        doomed.push_back(b);
        for (Behavior* c : b->children())
            collect(c);
    };
    collect(behavior);
    std::vector<quint64> ids;
    for (Behavior* b : doomed) {
        m_behaviorNames->remove(b->name());
        m_behaviorByName.remove(b->name());
        m_behaviorById.remove(b->id());
        ids.push_back(b->id());
    }
    m_behaviors.erase(std::remove_if(m_behaviors.begin(), m_behaviors.end(),
                                     [&](const std::unique_ptr<Behavior>& b) {
                                         return std::find(doomed.begin(), doomed.end(), b.get()) != doomed.end();
                                     }),
                      m_behaviors.end());
    ++m_structureRevision;
    for (quint64 id : ids)
        _notify(ProjectChange::Subject::Behavior, ProjectChange::Kind::Removed, id);
    if (wasProgram)
        _notify(ProjectChange::Subject::Project, ProjectChange::Kind::Edited, 0);
}

// ---------------------------------------------------------------------------------------------
// Variables

namespace {
/// Makes actions and mixture targets that name variable `from` name `to` (empty: unset).
void renameVariableReferences(const std::vector<std::unique_ptr<Behavior>>& behaviors,
                              const std::vector<std::unique_ptr<Variable>>& variables, const QString& from,
                              const QString& to) {
    for (const auto& b : behaviors)
        if (auto* a = dynamic_cast<Action*>(b.get()))
            a->_renameReference(ActionProperty::Kind::Variable, from, to);
    for (const auto& v : variables)
        if (auto* m = dynamic_cast<MixtureTarget*>(v.get()))
            m->_renameReference(from, to);
}
} // namespace

void Project::_adoptVariable(Variable* variable) {
    const QString name = m_variableNames->uniqueName(variable->name());
    variable->_setNameUnchecked(name);
    m_variableNames->insert(name);
    m_variableByName.insert(name, variable);
    const quint64 id = m_restoringId ? m_restoringId : m_nextVariableId++;
    m_nextVariableId = std::max(m_nextVariableId, id + 1);
    variable->_setId(id);
    // The undo history puts a variable back in the place of the one it replaces.
    const auto same = std::find_if(m_variables.begin(), m_variables.end(),
                                   [id](const std::unique_ptr<Variable>& v) { return v->id() == id; });
    if (m_restoringId && same != m_variables.end())
        same->reset(variable);
    else
        m_variables.emplace_back(variable);
    m_variableById.insert(id, variable);
    ++m_structureRevision;
    _notify(ProjectChange::Subject::Variable, ProjectChange::Kind::Added, id);
    _notify(ProjectChange::Subject::Project, ProjectChange::Kind::Edited, 0);
}

QString Project::_uniqueVariableName(const QString& wanted) const { return m_variableNames->uniqueName(wanted); }

void Project::_renameVariable(Variable* variable, const QString& wanted) {
    const QString old = variable->name();
    const QString name = m_variableNames->uniqueName(wanted);
    m_variableNames->remove(old);
    m_variableByName.remove(old);
    m_variableNames->insert(name);
    m_variableByName.insert(name, variable);
    variable->_setNameUnchecked(name);
    ++m_structureRevision;
    _notify(ProjectChange::Subject::Variable, ProjectChange::Kind::Renamed, variable->id(), old);
    if (!m_restoringId)
        renameVariableReferences(m_behaviors, m_variables, old, name);
}

void Project::_objectRenamed(int category, const QString& from, const QString& to) {
    const auto c = static_cast<Category>(category);
    if (c == Category::Robot || c == Category::ToolFrame) {
        const auto kind = c == Category::Robot ? ActionProperty::Kind::Robot : ActionProperty::Kind::ToolFrame;
        for (const auto& b : m_behaviors)
            if (auto* a = dynamic_cast<Action*>(b.get()))
                a->_renameReference(kind, from, to);
    } else if (c == Category::TaskRegion) {
        for (const auto& v : m_variables)
            if (auto* t = dynamic_cast<TaskRegionTarget*>(v.get()))
                t->_renameTaskRegion(from, to);
    }
}

QStringList Project::usersOf(const WorkspaceObject* object) const {
    QStringList users;
    if (!object)
        return users;
    auto collect = [&](ActionProperty::Kind kind, const QString& name) {
        for (const auto& b : m_behaviors) {
            auto* a = dynamic_cast<const Action*>(b.get());
            if (!a || !a->isAttached())
                continue;
            for (const ActionProperty& p : a->properties())
                if (p.kind == kind && p.value.toString() == name && !users.contains(a->name()))
                    users << a->name();
        }
    };
    switch (object->category()) {
    case Category::Robot:
        collect(ActionProperty::Kind::Robot, object->name());
        for (const ToolFrame* t : static_cast<const Robot*>(object)->toolFrames())
            collect(ActionProperty::Kind::ToolFrame, t->name());
        break;
    case Category::ToolFrame:
        collect(ActionProperty::Kind::ToolFrame, object->name());
        break;
    case Category::TaskRegion:
        for (const auto& v : m_variables)
            if (auto* t = dynamic_cast<const TaskRegionTarget*>(v.get()))
                if (t->poseGenerator().taskRegion() == object->name())
                    users << t->name();
        break;
    default:
        break;
    }
    return users;
}

QStringList Project::usersOf(const Variable* variable) const {
    QStringList users;
    if (!variable)
        return users;
    for (const auto& b : m_behaviors) {
        auto* a = dynamic_cast<const Action*>(b.get());
        if (!a || !a->isAttached())
            continue;
        for (const ActionProperty& p : a->properties())
            if (p.kind == ActionProperty::Kind::Variable && p.value.toString() == variable->name() &&
                !users.contains(a->name()))
                users << a->name();
    }
    for (const auto& v : m_variables)
        if (auto* m = dynamic_cast<const MixtureTarget*>(v.get()))
            if (m != variable && m->targetGenerators().contains(variable->name()))
                users << m->name();
    return users;
}

QMap<QString, Variable*> Project::variables() const {
    QMap<QString, Variable*> out;
    for (const auto& v : m_variables)
        out.insert(v->name(), v.get());
    return out;
}

std::vector<Variable*> Project::variableList() const {
    std::vector<Variable*> out;
    out.reserve(m_variables.size());
    for (const auto& v : m_variables)
        out.push_back(v.get());
    return out;
}

Variable* Project::findVariable(const QString& name) const { return m_variableByName.value(name, nullptr); }

void Project::removeVariable(Variable* variable) {
    if (!variable || variable->project() != this)
        throw ValueError(QStringLiteral("That variable is not part of this project."));
    const QString name = variable->name();
    const quint64 id = variable->id();
    m_variableNames->remove(name);
    m_variableByName.remove(name);
    m_variableById.remove(id);
    m_variables.erase(std::remove_if(m_variables.begin(), m_variables.end(),
                                     [&](const std::unique_ptr<Variable>& v) { return v.get() == variable; }),
                      m_variables.end());
    ++m_structureRevision;
    _notify(ProjectChange::Subject::Variable, ProjectChange::Kind::Removed, id);
    _notify(ProjectChange::Subject::Project, ProjectChange::Kind::Edited, 0);
    // Left unset rather than dangling, so that the project still saves as a file that loads.
    renameVariableReferences(m_behaviors, m_variables, name, QString());
}

// ---------------------------------------------------------------------------------------------
// Project files

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
static QJsonObject topLevelJson(const Workspace& ws, QJsonArray objects, QJsonArray variables, QJsonArray programs) {
    QJsonObject workspace{{QStringLiteral("objects"), objects}};
    // Written only when set, so that files of cells without one stay as they were.
    if (ws.clearance() > 0)
        workspace.insert(QStringLiteral("clearance"), ws.clearance());
    return QJsonObject{{QStringLiteral("format"), kFormatTag},
                       {QStringLiteral("version"), KS_PROJECT_FORMAT_VERSION},
                       {QStringLiteral("workspace"), workspace},
                       {QStringLiteral("variables"), variables},
                       {QStringLiteral("programs"), programs}};
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

QJsonObject Project::toJson(bool withIds) const {
    QJsonArray objects;
    for (const WorkspaceObject* o : m_workspace->objects())
        objects.append(objectToJson(o, withIds));
    QJsonArray variables;
    for (const auto& v : m_variables)
        variables.append(variableToJson(v.get()));
    QJsonArray programs;
    for (const Behavior* b : m_programs)
        programs.append(behaviorToJson(b));
    return topLevelJson(*m_workspace, objects, variables, programs);
}

namespace {

/// Text of `lines` (as Qt writes an array's elements at one level of indentation) moved in by
/// `spaces`: the same elements as Qt writes them deeper in a document. Strings hold no line
/// breaks of their own (Qt writes them as \n), so every line break is between lines.
QByteArray indented(const QByteArray& lines, int spaces) {
    QByteArray out;
    out.reserve(lines.size() + lines.count('\n') * spaces + spaces);
    const QByteArray pad(spaces, ' ');
    const char* p = lines.constData();
    const char* const end = p + lines.size();
    while (p < end) {
        const char* nl = static_cast<const char*>(std::memchr(p, '\n', static_cast<size_t>(end - p)));
        const char* stop = nl ? nl + 1 : end;
        out += pad;
        out.append(p, static_cast<int>(stop - p));
        p = stop;
    }
    return out;
}

} // namespace

QByteArray Project::fileText() const {
    // The file is what Qt writes for toJson(), byte for byte. Its long lists are written in
    // chunks, taken in turn by this thread and a helper, each chunk as a JSON array of its own
    // moved in to its place; the top level is written by Qt around markers that the chunks
    // replace. Building and writing the pieces on two threads roughly halves a large save.
    const std::vector<WorkspaceObject*> objects = m_workspace->objects();
    struct List {
        int count;
        int depth; // indentation level of the list's elements in the file
        std::function<QJsonObject(int)> element;
    };
    const List lists[] = {
        {static_cast<int>(objects.size()), 3, [&](int i) { return objectToJson(objects[static_cast<size_t>(i)], false); }},
        {static_cast<int>(m_variables.size()), 2, [&](int i) { return variableToJson(m_variables[static_cast<size_t>(i)].get()); }},
        {static_cast<int>(m_programs.size()), 2, [&](int i) { return behaviorToJson(m_programs[static_cast<size_t>(i)]); }},
    };
    constexpr int kChunk = 256;
    struct Chunk {
        int list, begin, end;
        QByteArray text;
    };
    std::vector<Chunk> chunks;
    for (int l = 0; l < 3; ++l)
        for (int b = 0; b < lists[l].count; b += kChunk)
            chunks.push_back({l, b, std::min(b + kChunk, lists[l].count), {}});
    std::atomic<size_t> next{0};
    const auto work = [&]() {
        for (size_t c; (c = next.fetch_add(1)) < chunks.size();) {
            Chunk& chunk = chunks[c];
            const List& list = lists[chunk.list];
            QJsonArray a;
            for (int i = chunk.begin; i < chunk.end; ++i)
                a.append(list.element(i));
            // "[\n" + the elements, one level in + "\n]\n"
            const QByteArray text = QJsonDocument(a).toJson(QJsonDocument::Indented);
            chunk.text = indented(text.mid(2, text.size() - 5), 4 * (list.depth - 1));
        }
    };
    std::exception_ptr helperFailed;
    std::thread helper;
    if (chunks.size() > 1) {
        try {
            helper = std::thread([&] {
                try {
                    work();
                } catch (...) {
                    helperFailed = std::current_exception();
                }
            });
        } catch (const std::system_error&) {
            // No thread to be had: this one writes every chunk.
        }
    }
    try {
        work();
    } catch (...) {
        next.store(chunks.size()); // the helper takes no more
        if (helper.joinable())
            helper.join();
        throw;
    }
    if (helper.joinable())
        helper.join();
    if (helperFailed)
        std::rethrow_exception(helperFailed);

    // The top level, with a marker in each list that has elements.
    const auto marker = [](int l) { return QStringLiteral("\u0001list %1\u0001").arg(l); };
    const auto stand = [&](int l) { return lists[l].count ? QJsonArray{marker(l)} : QJsonArray(); };
    QByteArray text = QJsonDocument(topLevelJson(*m_workspace, stand(0), stand(1), stand(2))).toJson(QJsonDocument::Indented);
    for (int l = 0; l < 3; ++l) {
        if (!lists[l].count)
            continue;
        QByteArray elements;
        for (const Chunk& chunk : chunks) {
            if (chunk.list != l)
                continue;
            if (!elements.isEmpty())
                elements += ",\n";
            elements += chunk.text;
        }
        const QByteArray line = QByteArray(4 * lists[l].depth, ' ') + QJsonDocument(QJsonArray{marker(l)})
                                                                           .toJson(QJsonDocument::Compact)
                                                                           .mid(1)
                                                                           .chopped(1);
        const int at = text.indexOf(line);
        if (at < 0) // cannot happen while Qt writes as it does; then the long way
            return QJsonDocument(toJson()).toJson(QJsonDocument::Indented);
        text.replace(at, line.size(), elements);
    }
    return text;
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
        ctx.failField(QStringLiteral("type"), QStringLiteral("names an unknown kind of behavior '%1'").arg(kind));
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
            Behavior* child = readBehavior(project, elementObject(list[i], childCtx), childCtx, depth + 1, all);
            b->_addChild(child);
        }
    } else if (!children.isUndefined() && !(children.isArray() && children.toArray().isEmpty())) {
        here.failField(QStringLiteral("children"), QStringLiteral("is not allowed: a %1 holds no other behaviors").arg(kind));
    }
    return b;
}

/// The checks on the top level of a project file that come before anything is read.
void checkTopLevel(const QJsonObject& json, const QString& fileLabel) {
    const JsonContext top(fileLabel, QStringLiteral("top level"));
    const QJsonValue format = json.value(QStringLiteral("format"));
    if (format != QJsonValue(kFormatTag))
        top.fail(QStringLiteral("this is not a Kestrin Studio project (field 'format' must be \"%1\")").arg(kFormatTag));
    const int version = top.readInt(json, QStringLiteral("version"));
    if (version > KS_PROJECT_FORMAT_VERSION)
        throw FormatError(QStringLiteral("Project file '%1' was written by a newer version of Kestrin Studio (file "
                                         "format %2; this version reads format %3 and older). Update Kestrin "
                                         "Studio to open it.")
                              .arg(fileLabel, QString::number(version), QString::number(KS_PROJECT_FORMAT_VERSION)));
    if (version < 1)
        top.failField(QStringLiteral("version"), QStringLiteral("must be 1 or more (got %1)").arg(version));
}

/// Builds a project from the pieces of a project file: workspace objects, variables and
/// programs, each numbered from 0 within its list. Programs, and variables read with
/// `objectsRead` false, may come before the objects; references are resolved once all is read:
/// objects', then variables', then behaviors'.
/// What is read of a workspace object before it is made: its kind, its name and its pose. A
/// thread that parses an object's piece may read these at once, leaving less for the builder.
struct ObjectHead {
    QString kind;
    QString name;
    Transform pose;

    /// The head of `o` as ProjectReader::readObject reads it; nothing when any of it is wrong
    /// (readObject then reads it again, and says what is wrong, in its own order).
    static std::optional<ObjectHead> of(const QJsonObject& o, const QString& file) {
        try {
            const JsonContext at(file, QStringLiteral("workspace object"));
            ObjectHead head{at.readString(o, QStringLiteral("type")), at.readString(o, QStringLiteral("name")), {}};
            head.pose = at.readPose(o, QStringLiteral("pose"));
            return head;
        } catch (const Error&) {
            return std::nullopt;
        }
    }
};

class ProjectReader {
public:
    ProjectReader(Project& into, QString fileLabel)
        : m_project(into), m_file(std::move(fileLabel)), m_ws(into.workspace()) {
        m_ws->_setAutoPlace(false); // every object's pose comes from the file
        m_ws->_setFloorDeferred(true);
    }

    void reserveObjects(int count) { m_made.reserve(static_cast<size_t>(count)); }

    /// `head`, when given, is what ObjectHead::of read of this element.
    void readObject(const QJsonValue& element, int index, const ObjectHead* head = nullptr) {
        const JsonContext at(m_file, QLatin1String("workspace object"), index + 1);
        const QJsonObject o = elementObject(element, at);
        const QString kind = head ? head->kind : at.readString(o, QStringLiteral("type"));
        const QString name = head ? head->name : at.readString(o, QStringLiteral("name"));
        const Type* type = Type::find(kind);
        if (!type || !type->canConstructObject())
            at.failField(QStringLiteral("type"), QStringLiteral("names an unknown kind of object '%1'").arg(kind));
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
            obj->setTransform(head ? head->pose : here.readPose(o, QStringLiteral("pose")));
        } catch (const FormatError&) {
            throw;
        } catch (const Error& e) {
            here.failField(QStringLiteral("pose"), e.message());
        }
        obj->readJson(o, here);
        if (o.contains(QStringLiteral("id"))) {
            const int id = here.readInt(o, QStringLiteral("id"));
            if (id < 1 || !m_ws->_reassignId(obj, static_cast<quint64>(id)))
                here.failField(QStringLiteral("id"), QStringLiteral("must be a positive number used by no other object"));
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

    /// With `objectsRead` false, variables may be read before the objects they name.
    void readVariable(const QJsonValue& element, int index, bool objectsRead = true) {
        const JsonContext at(m_file, QLatin1String("variable"), index + 1);
        const QJsonObject o = elementObject(element, at);
        Variable* v = Variable::fromJson(&m_project, o, at, objectsRead);
        if (v->name() != at.readString(o, QStringLiteral("name")))
            at.fail(QStringLiteral("two variables are named '%1'; variable names must be unique")
                        .arg(at.readString(o, QStringLiteral("name"))));
        m_vars.emplace_back(v, index);
    }

    void finishVariables() {
        for (const auto& [v, index] : m_vars)
            v->resolveReferences(JsonContext(m_file, QLatin1String("variable"), index + 1, v->type().name(), v->name()));
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
        return JsonContext(m_file, QLatin1String("workspace object"), index + 1, obj->type().name(), obj->name());
    }

    // What was read, with its place in its list; places are put into words only for a failure.
    std::vector<std::pair<WorkspaceObject*, int>> m_made;
    std::vector<std::pair<Variable*, int>> m_vars;
    std::vector<Behavior*> m_behaviors;
};

} // namespace

void Project::fromJson(const QJsonObject& json, const QString& fileLabel) {
    checkTopLevel(json, fileLabel);
    const JsonContext top(fileLabel, QStringLiteral("top level"));
    Project loaded;
    ProjectReader reader(loaded, fileLabel);
    const QJsonObject wsJson = top.readObject(json, QStringLiteral("workspace"));
    readCellSettings(wsJson, top, *loaded.workspace());
    const QJsonArray objects = top.nested(QStringLiteral("workspace")).readArray(wsJson, QStringLiteral("objects"));
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
    swapContents(loaded);
}

void Project::swapContents(Project& other) {
    // Everything that was here goes, and everything of `other` comes: say so, gone first.
    using S = ProjectChange::Subject;
    using K = ProjectChange::Kind;
    const auto tell = [this](const Project& p, K kind) {
        for (const WorkspaceObject* o : p.m_workspace->objects())
            _notify(S::Object, kind, o->id());
        for (const auto& b : p.m_behaviors)
            _notify(S::Behavior, kind, b->id());
        for (const auto& v : p.m_variables)
            _notify(S::Variable, kind, v->id());
    };
    std::swap(m_behaviorById, other.m_behaviorById);
    std::swap(m_variableById, other.m_variableById);
    std::swap(m_nextBehaviorId, other.m_nextBehaviorId);
    std::swap(m_nextVariableId, other.m_nextVariableId);
    m_workspace->_swapContents(*other.m_workspace);
    std::swap(m_behaviors, other.m_behaviors);
    std::swap(m_programs, other.m_programs);
    std::swap(m_variables, other.m_variables);
    std::swap(m_behaviorByName, other.m_behaviorByName);
    std::swap(m_variableByName, other.m_variableByName);
    std::swap(m_behaviorNames, other.m_behaviorNames);
    std::swap(m_variableNames, other.m_variableNames);
    for (const auto& b : m_behaviors)
        b->_setProject(this);
    for (const auto& v : m_variables)
        v->_setProject(this);
    for (const auto& b : other.m_behaviors)
        b->_setProject(&other);
    for (const auto& v : other.m_variables)
        v->_setProject(&other);
    const quint64 rev = std::max(m_structureRevision, other.m_structureRevision) + 1;
    m_structureRevision = other.m_structureRevision = rev;
    tell(other, K::Removed);
    tell(*this, K::Added);
    _notify(S::Project, K::Edited, 0);
}

namespace {

/// The undo history's snapshot of the project `document` holds (a document known to load).
QByteArray snapshotOfDocument(const QJsonObject& document, const QString& file) {
    Project loaded;
    loaded.fromJson(document, file);
    return UndoHistory::snapshotOf(loaded);
}

std::atomic<bool> g_piecewise{true};
std::atomic<int> g_piecewiseLoads{0};

// A file nested deeper than this is read in one piece, so that Qt's parser sees the whole depth
// (it refuses more than 1,024 levels; the pieces start lower down).
constexpr int kPiecewiseMaxDepth = 512;

enum Section { Programs, Variables, Objects, kSections };

/// An element of one of the file's long lists, by its bytes, checked for repeated keys. Either
/// thread may parse it: the one that takes it first.
struct Piece {
    enum State { Waiting, Parsing, Parsed, Refused };
    Section section = Programs;
    qint64 begin = 0, end = 0;
    std::atomic<int> state{Waiting};
    QJsonObject object;               // once Parsed
    std::optional<ObjectHead> head;   // once Parsed, for a workspace object
};

/// Pieces are handed over in runs: a run's place in memory never changes once handed over.
constexpr int kRun = 64;
struct PieceRun {
    std::array<Piece, kRun> pieces;
    int count = 0;
};

/// Parses `text` as one JSON object; false when Qt refuses it or it is not an object.
bool parseJsonObject(const QByteArray& text, QJsonObject& out) {
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(text, &error);
    if (error.error != QJsonParseError::NoError || !doc.isObject())
        return false;
    out = doc.object();
    return true;
}

/// Parses `piece` if no other thread has taken it (and reads an object's head); false when
/// another thread had.
bool takeAndParse(const QByteArray& bytes, const QString& file, Piece& piece) {
    int waiting = Piece::Waiting;
    if (!piece.state.compare_exchange_strong(waiting, Piece::Parsing, std::memory_order_acquire))
        return false;
    bool parsed = false;
    try {
        parsed = parseJsonObject(
            QByteArray::fromRawData(bytes.constData() + piece.begin, static_cast<int>(piece.end - piece.begin)),
            piece.object);
        if (parsed && piece.section == Objects)
            piece.head = ObjectHead::of(piece.object, file);
    } catch (...) {
        parsed = false; // out of memory: the file is read in one piece, which meets it again
    }
    // Always said, so that a thread waiting for this piece never waits for ever.
    piece.state.store(parsed ? Piece::Parsed : Piece::Refused, std::memory_order_release);
    return true;
}

/// What the scanning thread hands to the building thread.
struct PieceChannel {
    std::mutex mutex;
    std::condition_variable wake;
    std::vector<PieceRun*> runs; // every run so far, in the file's order
    // Where the runs live: a block of runs at a time. (One allocation per run made the allocator
    // gather up the parser's freed small blocks every time: a tenth of the scanning thread's time.)
    std::vector<std::unique_ptr<PieceRun[]>> blocks;
    bool done = false;
    bool whole = false;    // every byte was checked, and the rest of the file parsed
    QJsonObject topLevel;  // the file with its long lists left empty
    std::atomic<bool> stop{false};
    std::atomic<int> building{0}; // the run the building thread is at
};

// How many runs the scan keeps ahead of the building thread before it parses any itself.
constexpr int kRunsAhead = 4;

/// Scans `bytes` for repeated keys and hands over the elements of the file's long lists in runs,
/// each element once it has been scanned; then parses the rest of the file with the lists left
/// empty. While the building thread is well behind, it also parses the runs it hands over; the
/// building thread parses those it reaches first. Once the scan is done, it parses what is left
/// from the end backwards. Any surprise (a repeated key, text the parser refuses, deep nesting)
/// ends it with `whole` false: the file is then read in one piece, which words the fault.
void scanPieces(const QByteArray& bytes, const QString& file, PieceChannel& channel) {
    // Blocks grow from a few runs to many: the first run is handed over without waiting for a
    // large block to be made.
    int block = 2, used = 2;
    const auto newRun = [&]() {
        if (used == block) {
            block = std::min(2 * block, 64);
            channel.blocks.push_back(std::make_unique<PieceRun[]>(static_cast<size_t>(block)));
            used = 0;
        }
        return &channel.blocks.back()[used++];
    };
    PieceRun* run = nullptr;
    std::vector<PieceRun*> handed;
    const auto parseRun = [&](PieceRun* r) {
        for (int i = r->count - 1; i >= 0 && !channel.stop.load(std::memory_order_relaxed); --i)
            takeAndParse(bytes, file, r->pieces[static_cast<size_t>(i)]);
    };
    const auto handOver = [&]() {
        handed.push_back(run);
        {
            std::lock_guard<std::mutex> lock(channel.mutex);
            channel.runs.push_back(run);
        }
        channel.wake.notify_one();
        run = newRun();
        if (channel.building.load(std::memory_order_relaxed) + kRunsAhead < static_cast<int>(handed.size()))
            parseRun(handed.back());
    };
    bool whole = false;
    QJsonObject topLevel;
    try {
        run = newRun();
        JsonElements lists;
        lists.arrays = {{"programs"}, {"variables"}, {"workspace", "objects"}};
        lists.element = [&](int array, qint64 begin, qint64 end) {
            if (channel.stop.load(std::memory_order_relaxed))
                return false;
            Piece& piece = run->pieces[static_cast<size_t>(run->count++)];
            piece.section = static_cast<Section>(array);
            piece.begin = begin;
            piece.end = end;
            if (run->count == kRun)
                handOver();
            return true;
        };
        const JsonScanResult scan = scanJson(bytes, &lists);
        if (run->count > 0)
            handOver();
        whole = scan.complete && scan.repeated.offset < 0 && scan.maxDepth <= kPiecewiseMaxDepth;
        for (const auto& [begin, end] : lists.contents)
            whole = whole && begin >= 0;
        if (whole) {
            // The rest of the file: everything but what lies between the lists' brackets.
            std::vector<std::pair<qint64, qint64>> cuts = lists.contents;
            std::sort(cuts.begin(), cuts.end());
            QByteArray rest;
            qint64 from = 0;
            for (const auto& [begin, end] : cuts) {
                rest.append(bytes.constData() + from, static_cast<int>(begin - from));
                from = end;
            }
            rest.append(bytes.constData() + from, static_cast<int>(bytes.size() - from));
            whole = parseJsonObject(rest, topLevel);
        }
    } catch (...) {
        whole = false;
    }
    {
        std::lock_guard<std::mutex> lock(channel.mutex);
        channel.done = true;
        channel.whole = whole;
        channel.topLevel = std::move(topLevel);
    }
    channel.wake.notify_one();
    if (!whole)
        return;
    for (auto r = handed.rbegin(); r != handed.rend() && !channel.stop.load(std::memory_order_relaxed); ++r)
        parseRun(*r);
}

} // namespace

void Project::_setPiecewiseLoading(bool on) { g_piecewise.store(on); }

int Project::_piecewiseLoads() { return g_piecewiseLoads.load(); }

bool Project::loadPiecewise(const QByteArray& bytes, const QString& file) {
    // One thread scans, this one builds the project from the pieces scanned so far, and both
    // parse: on a large file, parsing is done by the time the last object is built.
    PieceChannel channel;
    std::thread scanner;
    try {
        scanner = std::thread(scanPieces, std::cref(bytes), file, std::ref(channel));
    } catch (const std::system_error&) {
        return false;
    }
    struct Join {
        PieceChannel& channel;
        std::thread& thread;
        ~Join() {
            channel.stop.store(true);
            thread.join();
        }
    } join{channel, scanner};

    // The pieces stay alive with the undo history's start (freeing them is left for later too).
    auto pieces = std::make_shared<std::array<std::deque<QJsonObject>, kSections>>();
    Project loaded;
    try {
        ProjectReader reader(loaded, file);
        for (size_t next = 0;; ++next) {
            PieceRun* run = nullptr;
            {
                std::unique_lock<std::mutex> lock(channel.mutex);
                channel.wake.wait(lock, [&] { return channel.runs.size() > next || channel.done; });
                if (channel.done && !channel.whole)
                    return false; // the file is read in one piece: building more is wasted
                if (channel.runs.size() <= next)
                    break; // done, and nothing left
                run = channel.runs[next];
            }
            channel.building.store(static_cast<int>(next), std::memory_order_relaxed);
            for (int i = 0; i < run->count; ++i) {
                Piece& p = run->pieces[static_cast<size_t>(i)];
                if (!takeAndParse(bytes, file, p)) {
                    // The other thread is parsing it, or has: a few microseconds at most.
                    while (p.state.load(std::memory_order_acquire) == Piece::Parsing)
                        std::this_thread::yield();
                }
                if (p.state.load(std::memory_order_acquire) != Piece::Parsed)
                    return false;
                auto& list = (*pieces)[p.section];
                const int index = static_cast<int>(list.size());
                switch (p.section) {
                case Programs: reader.readProgram(p.object, index); break;
                case Variables: reader.readVariable(p.object, index, false); break;
                case Objects: reader.readObject(p.object, index, p.head ? &*p.head : nullptr); break;
                case kSections: break;
                }
                list.push_back(std::move(p.object));
            }
        }
        if (!channel.whole)
            return false;
        checkTopLevel(channel.topLevel, file);
        readCellSettings(channel.topLevel.value(QStringLiteral("workspace")).toObject(),
                         JsonContext(file, QStringLiteral("top level")), *loaded.workspace());
        reader.finishObjects();
        reader.finishVariables();
        reader.finishPrograms();
    } catch (...) {
        // Read it again in one piece: that names what is wrong, exactly as it always has.
        return false;
    }
    swapContents(loaded);
    g_piecewiseLoads.fetch_add(1);
    m_history->resetLazily([topLevel = channel.topLevel, pieces, file]() {
        // The document as one piece again, for the history's first snapshot.
        QJsonObject document = topLevel;
        const auto list = [&](Section section) {
            QJsonArray a;
            for (const QJsonObject& o : (*pieces)[section])
                a.append(o);
            return a;
        };
        QJsonObject workspace = document.value(QStringLiteral("workspace")).toObject();
        workspace.insert(QStringLiteral("objects"), list(Objects));
        document.insert(QStringLiteral("workspace"), workspace);
        document.insert(QStringLiteral("variables"), list(Variables));
        document.insert(QStringLiteral("programs"), list(Programs));
        return snapshotOfDocument(document, file);
    });
    return true;
}

void Project::load(const QString& file) {
    if (file.isEmpty())
        throw FileError(QStringLiteral("No project file was given to open."));
    const QFileInfo info(file);
    if (!info.exists())
        throw FileError(QStringLiteral("Cannot open project file '%1': it does not exist.").arg(file));
    if (info.isDir())
        throw FileError(QStringLiteral("Cannot open project file '%1': it is a folder, not a file.").arg(file));
    // A pipe would block the open until someone writes to it, a device may never end.
    if (!info.isFile())
        throw FileError(QStringLiteral("Cannot open project file '%1': it is a device, pipe or socket, not a "
                                       "file.")
                            .arg(file));
    if (info.size() > kMaxFileSize)
        throw FileError(QStringLiteral("Cannot open project file '%1': it is too large (%2 MB; at most %3 MB).")
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
    if (g_piecewise.load(std::memory_order_relaxed) && loadPiecewise(bytes, file))
        return;
    // One step after another: this also finds and words what is wrong with a file.
    const RepeatedJsonKey repeated = findRepeatedJsonKey(bytes);
    if (repeated.offset >= 0)
        throw FormatError(QStringLiteral("Project file '%1' is damaged or was edited by hand: the key '%2' appears "
                                         "twice in the same JSON object (at byte %3), so it is not clear which "
                                         "value holds.")
                              .arg(file, readableInMessage(repeated.key, 80), QString::number(repeated.offset)));
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(bytes, &error);
    if (error.error != QJsonParseError::NoError)
        throw FormatError(QStringLiteral("Project file '%1' is not valid JSON (it may be damaged or cut short): %2 "
                                         "at byte %3.")
                              .arg(file, error.errorString(), QString::number(error.offset)));
    if (!doc.isObject())
        throw FormatError(QStringLiteral("Project file '%1' does not hold a Kestrin Studio project (its top level "
                                         "is not a JSON object).")
                              .arg(file));
    const QJsonObject content = doc.object();
    fromJson(content, file);
    // The undo history starts at the project as loaded. On a large cell its snapshot costs as
    // much again as the load, and it is only needed at the first change: it is made then, from
    // the same document, which is known to load. (Holding on to the document also spares the
    // load the time it takes to free it.)
    m_history->resetLazily([content, file]() { return snapshotOfDocument(content, file); });
}

QStringList Project::save(const QString& file) const {
    if (file.isEmpty()) // before the text is made
        throw FileError(QStringLiteral("No file name was given to save the project to."));
    return writeFileAtomically(file, fileText(), QStringLiteral("the project"));
}

} // namespace kestrin
