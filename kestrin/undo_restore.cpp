#include "undo_restore.h"

#include "urdf_robot.h"

#include "action.h"
#include "behavior.h"
#include "effector.h"
#include "error.h"
#include "items.h"
#include "json_io.h"
#include "naming.h"
#include "project.h"
#include "robot.h"
#include "tool_frame.h"
#include "variable.h"
#include "workspace.h"

#include <QCborMap>
#include <QCborValue>
#include <QJsonArray>
#include <QSet>
#include <algorithm>

namespace kestrin {

namespace undo {

namespace {

constexpr int kSubjectShift = 60;
const QString kLabel = QStringLiteral("(undo history)");

QByteArray encode(const QJsonObject& json) {
    return QCborMap::fromJsonObject(json).toCborValue().toCbor();
}

QJsonObject decode(const QByteArray& record) {
    QCborParserError error;
    const QCborValue value = QCborValue::fromCbor(record, &error);
    if (error.error != QCborError::NoError || !value.isMap())
        throw Error(QStringLiteral("The undo history is damaged; the project was left as it is."));
    return value.toMap().toJsonObject();
}

QJsonArray idList(const std::vector<quint64>& ids) {
    QJsonArray out;
    for (quint64 id : ids)
        out.append(static_cast<double>(id));
    return out;
}

QJsonObject objectRecord(const WorkspaceObject& o) {
    QJsonObject json{{QStringLiteral("type"), o.type().name()},
                     {QStringLiteral("name"), o.name()},
                     {QStringLiteral("pose"), toJson(o.transform())},
                     {QStringLiteral("id"), static_cast<double>(o.id())}};
    o.writeJson(json);
    return json;
}

QJsonObject behaviorRecord(const Behavior& b) {
    QJsonObject json{{QStringLiteral("type"), b.type().name()}, {QStringLiteral("name"), b.name()}};
    b.writeJson(json);
    std::vector<quint64> children;
    for (const Behavior* c : b.children())
        children.push_back(c->id());
    json.insert(QStringLiteral("children"), idList(children));
    return json;
}

QJsonObject variableRecord(const Variable& v) {
    QJsonObject json{{QStringLiteral("type"), v.type().name()}, {QStringLiteral("name"), v.name()}};
    v.writeJson(json);
    return json;
}

QJsonObject projectRecord(const Project& p) {
    std::vector<quint64> programs, variables;
    for (const Behavior* b : p.programList())
        programs.push_back(b->id());
    for (const Variable* v : p.variableList())
        variables.push_back(v->id());
    return QJsonObject{{QStringLiteral("clearance"), p.workspace()->clearance()},
                       {QStringLiteral("programs"), idList(programs)},
                       {QStringLiteral("variables"), idList(variables)}};
}

std::vector<quint64> readIds(const QJsonObject& json, const QString& key) {
    std::vector<quint64> ids;
    for (const QJsonValue& v : json.value(key).toArray())
        ids.push_back(static_cast<quint64>(v.toDouble()));
    return ids;
}

} // namespace

Key keyOf(ProjectChange::Subject subject, quint64 id) {
    return (static_cast<quint64>(subject) << kSubjectShift) | id;
}

ProjectChange::Subject subjectOf(Key key) {
    return static_cast<ProjectChange::Subject>(key >> kSubjectShift);
}

quint64 idOf(Key key) {
    return key & ((quint64(1) << kSubjectShift) - 1);
}

QByteArray recordOf(const Project& project, Key key) {
    const quint64 id = idOf(key);
    switch (subjectOf(key)) {
    case ProjectChange::Subject::Object: {
        const WorkspaceObject* o = project.workspace()->findById(id);
        return o && o->isListed() ? encode(objectRecord(*o)) : QByteArray();
    }
    case ProjectChange::Subject::Behavior: {
        const Behavior* b = project.findBehaviorById(id);
        return b && b->isAttached() ? encode(behaviorRecord(*b)) : QByteArray();
    }
    case ProjectChange::Subject::Variable: {
        const Variable* v = project.findVariableById(id);
        return v ? encode(variableRecord(*v)) : QByteArray();
    }
    case ProjectChange::Subject::Project:
        return encode(projectRecord(project));
    }
    return QByteArray();
}

QHash<Key, QByteArray> allRecords(const Project& project) {
    QHash<Key, QByteArray> out;
    const std::vector<WorkspaceObject*> objects = project.workspace()->objects();
    out.reserve(static_cast<int>(objects.size()) + 64);
    for (const WorkspaceObject* o : objects)
        out.insert(keyOf(ProjectChange::Subject::Object, o->id()), encode(objectRecord(*o)));
    for (const Behavior* b : project.behaviors())
        out.insert(keyOf(ProjectChange::Subject::Behavior, b->id()), encode(behaviorRecord(*b)));
    for (const Variable* v : project.variableList())
        out.insert(keyOf(ProjectChange::Subject::Variable, v->id()), encode(variableRecord(*v)));
    out.insert(keyOf(ProjectChange::Subject::Project, 0), encode(projectRecord(project)));
    return out;
}

} // namespace undo

using undo::decode;
using undo::idOf;
using undo::Key;
using undo::keyOf;
using undo::subjectOf;
using Subject = ProjectChange::Subject;
using Kind = ProjectChange::Kind;

void UndoRestore::apply(const std::vector<std::pair<Key, QByteArray>>& targets,
                        const QHash<Key, QByteArray>& current) {
    QHash<quint64, QByteArray> objects, behaviors, variables;
    const QByteArray* projectPart = nullptr;
    for (const auto& [key, record] : targets) {
        switch (subjectOf(key)) {
        case Subject::Object:
            objects.insert(idOf(key), record);
            break;
        case Subject::Behavior:
            behaviors.insert(idOf(key), record);
            break;
        case Subject::Variable:
            variables.insert(idOf(key), record);
            break;
        case Subject::Project:
            projectPart = &record;
            break;
        }
    }
    // Objects first: behaviors and variables refer to them by name, and only by name.
    if (!objects.isEmpty())
        applyObjects(objects, current);
    if (!behaviors.isEmpty())
        applyBehaviors(behaviors);
    if (!variables.isEmpty())
        applyVariables(variables);
    if (projectPart)
        applyProjectPart(*projectPart);
}

namespace {

/// The objects whose records name `object` (a robot's tool frames and mounted effectors; a tool
/// frame's robot and held items).
std::vector<WorkspaceObject*> namedBy(WorkspaceObject* object) {
    std::vector<WorkspaceObject*> out;
    if (auto* robot = dynamic_cast<Robot*>(object)) {
        out.insert(out.end(), robot->toolFrames().begin(), robot->toolFrames().end());
        out.insert(out.end(), robot->mountedEffectors().begin(), robot->mountedEffectors().end());
    } else if (auto* frame = dynamic_cast<ToolFrame*>(object)) {
        if (frame->robot())
            out.push_back(frame->robot());
        out.insert(out.end(), frame->heldItems().begin(), frame->heldItems().end());
    }
    return out;
}

/// Order in which objects get their fields back: what others hang on comes first (a tool frame
/// needs its robot, an item its tool frame).
int restoreOrder(const QString& type) {
    const Type* t = Type::find(type);
    if (!t)
        return 9;
    if (t->inherits(Robot::staticType()))
        return 0;
    if (t->inherits(ToolFrame::staticType()))
        return 1;
    if (t->inherits(Effector::staticType()))
        return 2;
    return 3;
}

} // namespace

void UndoRestore::applyObjects(const QHash<quint64, QByteArray>& records,
                               const QHash<Key, QByteArray>& current) {
    Workspace& ws = *m_project.workspace();
    const JsonContext ctx(undo::kLabel, QStringLiteral("workspace object"));

    struct Target {
        quint64 id;
        QJsonObject record; // empty: the object must not exist
        QString name;
        QString type;
    };
    std::vector<Target> targets;
    QSet<quint64> seen;
    const auto add = [&](quint64 id, const QByteArray& record) {
        if (seen.contains(id))
            return;
        seen.insert(id);
        Target t{id, record.isEmpty() ? QJsonObject() : decode(record), QString(), QString()};
        if (!t.record.isEmpty()) {
            t.name = ctx.readString(t.record, QStringLiteral("name"));
            t.type = ctx.readString(t.record, QStringLiteral("type"));
        }
        targets.push_back(std::move(t));
    };
    for (auto it = records.cbegin(); it != records.cend(); ++it)
        add(it.key(), it.value());
    // An object that is deleted or renamed is named in the records of others, which may be the
    // same in both states and yet have to find another object under that name: they are put
    // back too, as they are recorded now.
    const size_t given = targets.size();
    for (size_t i = 0; i < given; ++i) {
        WorkspaceObject* o = ws.findById(targets[i].id);
        if (!o || (!targets[i].record.isEmpty() && targets[i].name == o->name()))
            continue;
        for (WorkspaceObject* other : namedBy(o)) {
            const QByteArray record = current.value(keyOf(Subject::Object, other->id()));
            if (!record.isEmpty())
                add(other->id(), record);
        }
    }

    // Gone: the links others have to it go first, without the cascades of Workspace::remove
    // (what hung on it is in the targets and is put back from its own record).
    for (const Target& t : targets) {
        WorkspaceObject* o = ws.findById(t.id);
        if (!o || !t.record.isEmpty())
            continue;
        if (auto* robot = dynamic_cast<Robot*>(o)) {
            for (ToolFrame* frame : robot->m_toolFrames)
                frame->m_robot = nullptr;
            for (Effector* effector : robot->m_mounted)
                effector->m_robot = nullptr;
            robot->m_toolFrames.clear();
            robot->m_mounted.clear();
        } else if (auto* frame = dynamic_cast<ToolFrame*>(o)) {
            if (frame->m_robot)
                frame->m_robot->m_toolFrames.erase(std::remove(frame->m_robot->m_toolFrames.begin(),
                                                               frame->m_robot->m_toolFrames.end(), frame),
                                                   frame->m_robot->m_toolFrames.end());
            for (CustomItem* item : frame->m_held)
                item->m_heldBy = nullptr;
            frame->m_held.clear();
            frame->m_robot = nullptr;
        } else if (auto* effector = dynamic_cast<Effector*>(o)) {
            if (effector->m_robot)
                effector->m_robot->_effectorMounted(effector, false);
            effector->m_robot = nullptr;
        } else if (auto* item = dynamic_cast<CustomItem*>(o)) {
            if (item->m_heldBy)
                item->m_heldBy->_itemHeld(item, false);
            item->m_heldBy = nullptr;
        }
        if (!ws.m_floorStale) {
            ws.floorFreed(o->_floorCells());
            ws.markFloor(o, false);
        }
        const auto c = static_cast<size_t>(o->category());
        ws.m_names[c]->remove(o->name());
        ws.m_byName[c].remove(o->name());
        ws.m_byId.remove(t.id);
        const auto at = std::find_if(ws.m_objects.begin(), ws.m_objects.end(),
                                     [o](const std::unique_ptr<WorkspaceObject>& p) { return p.get() == o; });
        ws.m_objects.erase(at);
        ++ws.m_structureRevision;
        m_project._notify(Subject::Object, Kind::Removed, t.id);
    }

    // Names: every name that goes is freed before any comes, so that names may change hands.
    struct Renamed {
        WorkspaceObject* object;
        QString from, to;
    };
    std::vector<Renamed> renamed;
    for (const Target& t : targets) {
        WorkspaceObject* o = ws.findById(t.id);
        if (!o || t.record.isEmpty() || o->name() == t.name)
            continue;
        if (o->type().name() != t.type)
            throw Error(
                QStringLiteral("The undo history is damaged (object %1 changed its kind).").arg(t.id));
        const auto c = static_cast<size_t>(o->category());
        ws.m_names[c]->remove(o->name());
        ws.m_byName[c].remove(o->name());
        renamed.push_back({o, o->name(), t.name});
    }
    // Made again, under their ids and in their places, where the record puts them.
    const bool autoPlace = ws.m_autoPlace;
    ws.m_autoPlace = false;
    try {
        for (const Target& t : targets) {
            if (t.record.isEmpty() || ws.findById(t.id))
                continue;
            const Type* type = Type::find(t.type);
            if (!type || !type->canConstructObject())
                throw Error(QStringLiteral("The undo history is damaged (unknown kind '%1').").arg(t.type));
            ws.m_restoringId = t.id;
            WorkspaceObject* made = type->constructObject(&ws, t.name);
            ws.m_restoringId = 0;
            if (made->name() != t.name)
                throw Error(
                    QStringLiteral("The undo history is damaged (two objects named '%1').").arg(t.name));
        }
    } catch (...) {
        ws.m_restoringId = 0;
        ws.m_autoPlace = autoPlace;
        throw;
    }
    ws.m_autoPlace = autoPlace;
    for (const auto& [o, old, name] : renamed) {
        const auto c = static_cast<size_t>(o->category());
        if (ws.m_names[c]->contains(name))
            throw Error(QStringLiteral("The undo history is damaged (two objects named '%1').").arg(name));
        ws.m_names[c]->insert(name);
        ws.m_byName[c].insert(name, o);
        o->_setNameUnchecked(name);
        ++ws.m_structureRevision;
        ws._objectChanged(*o);
        m_project._notify(Subject::Object, Kind::Renamed, o->id(), old);
    }

    // Fields and links, what others hang on first.
    std::vector<const Target*> present;
    for (const Target& t : targets)
        if (!t.record.isEmpty())
            present.push_back(&t);
    std::stable_sort(present.begin(), present.end(), [](const Target* a, const Target* b) {
        return restoreOrder(a->type) < restoreOrder(b->type);
    });
    const auto tell = [this](WorkspaceObject* o) {
        m_project._notify(Subject::Object, Kind::Edited, o->id());
    };
    for (const Target* t : present) {
        WorkspaceObject* o = ws.findById(t->id);
        const QJsonObject& r = t->record;
        const JsonContext here = ctx.nested(t->type, t->name);
        if (auto* robot = dynamic_cast<Robot*>(o)) {
            if (auto* imported = dynamic_cast<UrdfRobot*>(robot))
                imported->_readSource(r, here); // its joints first: made again, it has none
            const Eigen::VectorXd q =
                here.readVector(r, QStringLiteral("joint_positions"), robot->getNumDofs());
            if (q != robot->jointPositions())
                robot->setJointPositions(q);
        } else if (auto* frame = dynamic_cast<ToolFrame*>(o)) {
            Robot* robot = ws.findRobot(here.readString(r, QStringLiteral("robot")));
            if (!robot)
                here.failField(QStringLiteral("robot"), QStringLiteral("names no robot"));
            if (frame->m_robot != robot) {
                // Without Robot::addToolFrame: what the frame holds stays as the items' records say.
                if (Robot* old = frame->m_robot) {
                    old->m_toolFrames.erase(
                        std::remove(old->m_toolFrames.begin(), old->m_toolFrames.end(), frame),
                        old->m_toolFrames.end());
                    tell(old);
                }
                frame->m_robot = robot;
                robot->m_toolFrames.push_back(frame);
                frame->touch();
                frame->ridersMoved();
                tell(robot);
            }
            const Transform offset = here.readPose(r, QStringLiteral("offset"));
            if (offset != frame->offset())
                frame->setOffset(offset);
        } else if (auto* effector = dynamic_cast<Effector*>(o)) {
            const QString name = here.readOptionalString(r, QStringLiteral("robot"));
            Robot* robot = name.isEmpty() ? nullptr : ws.findRobot(name);
            if (!name.isEmpty() && !robot)
                here.failField(QStringLiteral("robot"), QStringLiteral("names no robot"));
            effector->mountOn(robot);
        } else if (auto* item = dynamic_cast<CustomItem*>(o)) {
            const QString meshName = here.readOptionalString(r, QStringLiteral("mesh"));
            const MeshRef mesh = meshName.isEmpty() ? nullptr : ws.meshes().find(meshName);
            if (!meshName.isEmpty() && !mesh)
                here.failField(QStringLiteral("mesh"),
                               QStringLiteral("names a mesh the project does not hold"));
            if (mesh != item->m_mesh) {
                item->m_mesh = mesh;
                item->touch();
            }
            const Eigen::Vector3d size = here.readVector(r, QStringLiteral("size"), 3);
            if (size != item->size())
                item->setSize(size);
            const QString holder = here.readOptionalString(r, QStringLiteral("held_by"));
            ToolFrame* tool = holder.isEmpty() ? nullptr : ws.findToolFrame(holder);
            if (!holder.isEmpty() && !tool)
                here.failField(QStringLiteral("held_by"), QStringLiteral("names no tool frame on a robot"));
            item->holdWith(tool, tool ? here.readPose(r, QStringLiteral("grip")) : Transform());
        } else if (auto* desk = dynamic_cast<Desk*>(o)) {
            const Eigen::Vector3d size = here.readVector(r, QStringLiteral("size"), 3);
            if (size != desk->size())
                desk->setSize(size);
        } else if (auto* region = dynamic_cast<TaskRegion*>(o)) {
            const Eigen::Vector3d size = here.readVector(r, QStringLiteral("size"), 3);
            if (size != region->size())
                region->setSize(size);
        } else if (auto* marker = dynamic_cast<VisualMarker*>(o)) {
            if (marker->markerId() != here.readInt(r, QStringLiteral("marker_id")))
                marker->setMarkerId(here.readInt(r, QStringLiteral("marker_id")));
            if (marker->size().x() != here.readNumber(r, QStringLiteral("edge")))
                marker->setEdge(here.readNumber(r, QStringLiteral("edge")));
        }
        const Transform pose = here.readPose(r, QStringLiteral("pose"));
        if (pose != o->transform())
            o->setTransform(pose);
    }
    // A robot's tool frames in the order they were attached.
    for (const Target* t : present) {
        auto* robot = dynamic_cast<Robot*>(ws.findById(t->id));
        if (!robot)
            continue;
        const QStringList names = ctx.readStrings(t->record, QStringLiteral("tool_frames"));
        std::vector<ToolFrame*> ordered;
        for (const QString& name : names) {
            const auto it = std::find_if(robot->m_toolFrames.begin(), robot->m_toolFrames.end(),
                                         [&](const ToolFrame* f) { return f->name() == name; });
            if (it == robot->m_toolFrames.end())
                throw Error(QStringLiteral("The undo history is damaged (robot '%1' lacks tool frame '%2').")
                                .arg(robot->name(), name));
            ordered.push_back(*it);
        }
        if (ordered.size() != robot->m_toolFrames.size())
            throw Error(QStringLiteral("The undo history is damaged (tool frames of robot '%1').")
                            .arg(robot->name()));
        if (ordered != robot->m_toolFrames) {
            robot->m_toolFrames = ordered;
            tell(robot);
        }
    }
}

void UndoRestore::applyBehaviors(const QHash<quint64, QByteArray>& records) {
    Project& p = m_project;
    const JsonContext ctx(undo::kLabel, QStringLiteral("behavior"));
    std::vector<std::pair<quint64, QJsonObject>> targets;
    for (auto it = records.cbegin(); it != records.cend(); ++it)
        targets.emplace_back(it.key(), it.value().isEmpty() ? QJsonObject() : decode(it.value()));

    // Gone: out of its parent, the programs and the tables.
    for (const auto& [id, record] : targets) {
        Behavior* b = p.findBehaviorById(id);
        if (!b || !record.isEmpty())
            continue;
        if (Behavior* parent = b->parent()) {
            std::vector<Behavior*> children = parent->children();
            children.erase(std::remove(children.begin(), children.end(), b), children.end());
            parent->_replaceChildren(std::move(children));
        }
        for (Behavior* child : b->children())
            if (child->parent() == b)
                child->_setParent(nullptr);
        if (b->isProgram()) {
            p.m_programs.erase(std::remove(p.m_programs.begin(), p.m_programs.end(), b), p.m_programs.end());
            b->_setProgram(false);
        }
        p.m_behaviorNames->remove(b->name());
        p.m_behaviorByName.remove(b->name());
        p.m_behaviorById.remove(id);
        p.m_behaviors.erase(
            std::remove_if(p.m_behaviors.begin(), p.m_behaviors.end(),
                           [b = b](const std::unique_ptr<Behavior>& o) { return o.get() == b; }),
            p.m_behaviors.end());
        ++p.m_structureRevision;
        p._notify(Subject::Behavior, Kind::Removed, id);
    }
    // Names that go are freed before any comes.
    std::vector<std::pair<Behavior*, QString>> renamed; // with the new name
    for (const auto& [id, record] : targets) {
        Behavior* b = p.findBehaviorById(id);
        if (!b || record.isEmpty())
            continue;
        const QString name = ctx.readString(record, QStringLiteral("name"));
        if (name == b->name())
            continue;
        p.m_behaviorNames->remove(b->name());
        p.m_behaviorByName.remove(b->name());
        renamed.emplace_back(b, name);
    }
    for (const auto& [id, record] : targets) {
        if (record.isEmpty() || p.findBehaviorById(id))
            continue;
        const QString type = ctx.readString(record, QStringLiteral("type"));
        const QString name = ctx.readString(record, QStringLiteral("name"));
        const Type* t = Type::find(type);
        if (!t || !t->canConstructBehavior())
            throw Error(QStringLiteral("The undo history is damaged (unknown kind '%1').").arg(type));
        p.m_restoringId = id;
        Behavior* made = nullptr;
        try {
            made = t->constructBehavior(&p, name);
        } catch (...) {
            p.m_restoringId = 0;
            throw;
        }
        p.m_restoringId = 0;
        if (made->name() != name)
            throw Error(QStringLiteral("The undo history is damaged (two behaviors named '%1').").arg(name));
    }
    for (const auto& [b, name] : renamed) {
        if (p.m_behaviorNames->contains(name))
            throw Error(QStringLiteral("The undo history is damaged (two behaviors named '%1').").arg(name));
        const QString old = b->name();
        p.m_behaviorNames->insert(name);
        p.m_behaviorByName.insert(name, b);
        b->_setNameUnchecked(name);
        ++p.m_structureRevision;
        p._notify(Subject::Behavior, Kind::Renamed, b->id(), old);
    }

    // Settings, then children: first every child let go, then every child placed.
    for (const auto& [id, record] : targets) {
        if (record.isEmpty())
            continue;
        Behavior* b = p.findBehaviorById(id);
        b->readJson(record, ctx.nested(b->type().name(), b->name()));
        p._notify(Subject::Behavior, Kind::Edited, id);
        for (Behavior* child : b->children())
            if (child->parent() == b)
                child->_setParent(nullptr);
    }
    for (const auto& [id, record] : targets) {
        if (record.isEmpty())
            continue;
        Behavior* b = p.findBehaviorById(id);
        std::vector<Behavior*> children;
        for (quint64 childId : undo::readIds(record, QStringLiteral("children"))) {
            Behavior* child = p.findBehaviorById(childId);
            if (!child)
                throw Error(QStringLiteral("The undo history is damaged (behavior '%1' lacks a child).")
                                .arg(b->name()));
            child->_setParent(b);
            children.push_back(child);
            p._notify(Subject::Behavior, Kind::Moved, childId);
        }
        b->_replaceChildren(std::move(children));
    }
    ++p.m_structureRevision;
}

void UndoRestore::applyVariables(const QHash<quint64, QByteArray>& records) {
    Project& p = m_project;
    const JsonContext ctx(undo::kLabel, QStringLiteral("variable"));
    std::vector<std::pair<quint64, QJsonObject>> targets;
    for (auto it = records.cbegin(); it != records.cend(); ++it)
        targets.emplace_back(it.key(), it.value().isEmpty() ? QJsonObject() : decode(it.value()));

    // Every variable named here goes (one to be put back is made anew under its id), its name
    // first, so that names may change hands.
    for (const auto& [id, record] : targets) {
        Variable* v = p.findVariableById(id);
        if (!v)
            continue;
        p.m_variableNames->remove(v->name());
        p.m_variableByName.remove(v->name());
        if (!record.isEmpty())
            continue;
        p.m_variableById.remove(id);
        p.m_variables.erase(
            std::remove_if(p.m_variables.begin(), p.m_variables.end(),
                           [v = v](const std::unique_ptr<Variable>& o) { return o.get() == v; }),
            p.m_variables.end());
        ++p.m_structureRevision;
        p._notify(Subject::Variable, Kind::Removed, id);
    }
    for (const auto& [id, record] : targets) {
        if (record.isEmpty())
            continue;
        const QString name = ctx.readString(record, QStringLiteral("name"));
        p.m_restoringId = id;
        Variable* made = nullptr;
        try {
            // References are taken by name as they are: the records were consistent when taken.
            made = Variable::fromJson(&p, record, ctx);
        } catch (...) {
            p.m_restoringId = 0;
            throw;
        }
        p.m_restoringId = 0;
        if (made->name() != name)
            throw Error(QStringLiteral("The undo history is damaged (two variables named '%1').").arg(name));
    }
}

void UndoRestore::applyProjectPart(const QByteArray& record) {
    Project& p = m_project;
    const QJsonObject r = decode(record);
    p.m_workspace->setClearance(r.value(QStringLiteral("clearance")).toDouble());

    for (Behavior* b : p.m_programs)
        b->_setProgram(false);
    std::vector<Behavior*> programs;
    for (quint64 id : undo::readIds(r, QStringLiteral("programs"))) {
        Behavior* b = p.findBehaviorById(id);
        if (!b)
            throw Error(QStringLiteral("The undo history is damaged (a program is missing)."));
        b->_setProgram(true);
        programs.push_back(b);
    }
    if (programs != p.m_programs) {
        for (Behavior* b : programs)
            p._notify(Subject::Behavior, Kind::Moved, b->id());
        p.m_programs = std::move(programs);
    }

    const std::vector<quint64> order = undo::readIds(r, QStringLiteral("variables"));
    std::vector<std::unique_ptr<Variable>> variables;
    for (quint64 id : order) {
        const auto it = std::find_if(p.m_variables.begin(), p.m_variables.end(),
                                     [id](const std::unique_ptr<Variable>& v) { return v && v->id() == id; });
        if (it == p.m_variables.end())
            throw Error(QStringLiteral("The undo history is damaged (a variable is missing)."));
        variables.push_back(std::move(*it));
    }
    // Anything not in the record (none in a consistent history) keeps its place at the end.
    for (auto& v : p.m_variables)
        if (v)
            variables.push_back(std::move(v));
    p.m_variables = std::move(variables);
    ++p.m_structureRevision;
    p._notify(Subject::Project, Kind::Edited, 0);
}

} // namespace kestrin
