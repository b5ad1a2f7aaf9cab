#include "copied_parts.h"

#include "action.h"
#include "effector.h"
#include "error.h"
#include "items.h"
#include "json_io.h"
#include "placement.h"
#include "program_editing.h"
#include "project.h"
#include "robot.h"
#include "tool_frame.h"
#include "variable.h"
#include "workspace.h"

#include <QHash>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSet>
#include <algorithm>
#include <functional>

namespace kestrin {

namespace {

const QString kWhere = QStringLiteral("the copied parts");
const QString kName = QStringLiteral("name");
const QString kType = QStringLiteral("type");
const QString kPose = QStringLiteral("pose");
const QString kRobot = QStringLiteral("robot");
const QString kChildren = QStringLiteral("children");

QJsonObject behaviorJson(const Behavior* b) {
    QJsonObject json{{kType, b->type().name()}, {kName, b->name()}};
    b->writeJson(json);
    if (b->acceptsChildren()) {
        QJsonArray children;
        for (const Behavior* c : b->children())
            children.append(behaviorJson(c));
        json.insert(kChildren, children);
    }
    return json;
}

QJsonObject objectJson(const WorkspaceObject* o) {
    // Where it is seen: an item held by a gripper is pasted free at the place it was held.
    QJsonObject json{
        {kType, o->type().name()}, {kName, o->name()}, {kPose, toJson(Transform::fromPose(o->pose()))}};
    o->writeJson(json);
    json.remove(QStringLiteral("held_by"));
    json.remove(QStringLiteral("grip"));
    return json;
}

/// `wanted`, or the first of "<stem> 2", "<stem> 3", ... that `taken` does not hold.
QString freeName(const QString& wanted, const std::function<bool(const QString&)>& taken) {
    if (!taken(wanted))
        return wanted;
    static const QRegularExpression numbered(QStringLiteral("^(.*) (\\d+)$"));
    QString stem = wanted;
    int n = 1;
    const QRegularExpressionMatch m = numbered.match(wanted);
    if (m.hasMatch()) {
        stem = m.captured(1);
        n = m.captured(2).toInt();
    }
    for (int i = std::max(n, 1) + 1;; ++i) {
        const QString candidate = QStringLiteral("%1 %2").arg(stem).arg(i);
        if (!taken(candidate))
            return candidate;
    }
}

int countBehaviors(const QJsonObject& json) {
    int n = 1;
    for (const QJsonValue& c : json.value(kChildren).toArray())
        n += countBehaviors(c.toObject());
    return n;
}

/// New names of the pasted parts, by their names in the copy.
struct Names {
    std::vector<QHash<QString, QString>> objects = std::vector<QHash<QString, QString>>(kCategoryCount);
    QHash<QString, QString> variables;
    QHash<QString, QString> behaviors;

    QString object(Category c, const QString& name) const {
        return objects[static_cast<size_t>(c)].value(name, name);
    }
    bool hasObject(Category c, const QString& name) const {
        return objects[static_cast<size_t>(c)].contains(name);
    }
};

Category categoryOf(const Type& type) {
    if (type.inherits(Robot::staticType()))
        return Category::Robot;
    if (type.inherits(Effector::staticType()))
        return Category::Effector;
    if (type.inherits(ToolFrame::staticType()))
        return Category::ToolFrame;
    if (type.inherits(TaskRegion::staticType()))
        return Category::TaskRegion;
    if (type.inherits(Camera::staticType()))
        return Category::Camera;
    if (type.inherits(VisualMarker::staticType()))
        return Category::Fiducial;
    return Category::Item;
}

} // namespace

CopiedParts CopiedParts::copy(const std::vector<const WorkspaceObject*>& objects,
                              const std::vector<const Variable*>& variables,
                              const std::vector<const Behavior*>& behaviors) {
    CopiedParts parts;
    std::vector<const WorkspaceObject*> all;
    const auto add = [&all](const WorkspaceObject* o) {
        if (o && o->isListed() && std::find(all.begin(), all.end(), o) == all.end())
            all.push_back(o);
    };
    for (const WorkspaceObject* o : objects) {
        add(o);
        if (const auto* robot = dynamic_cast<const Robot*>(o)) {
            for (const ToolFrame* frame : robot->toolFrames())
                add(frame);
            for (const Effector* effector : robot->mountedEffectors())
                add(effector);
        }
    }
    // Robots before the tool frames that go onto them.
    std::stable_sort(all.begin(), all.end(), [](const WorkspaceObject* a, const WorkspaceObject* b) {
        const auto rank = [](const WorkspaceObject* o) {
            return o->category() == Category::Robot ? 0 : o->category() == Category::ToolFrame ? 1 : 2;
        };
        return rank(a) < rank(b);
    });
    for (const WorkspaceObject* o : all) {
        parts.m_objects.append(objectJson(o));
        for (const MeshRef& mesh : o->meshes())
            parts.m_meshes.push_back(mesh);
    }
    for (const Variable* v : variables) {
        if (!v)
            continue;
        QJsonObject json{{kType, v->type().name()}, {kName, v->name()}};
        v->writeJson(json);
        parts.m_variables.append(json);
    }
    for (const Behavior* b : behaviors) {
        bool below = false;
        for (const Behavior* p = b ? b->parent() : nullptr; p && !below; p = p->parent())
            below = std::find(behaviors.begin(), behaviors.end(), p) != behaviors.end();
        if (b && !below)
            parts.m_behaviors.append(behaviorJson(b));
    }
    return parts;
}

int CopiedParts::partCount() const {
    int n = m_objects.size() + m_variables.size();
    for (const QJsonValue& b : m_behaviors)
        n += countBehaviors(b.toObject());
    return n;
}

CopiedParts::Pasted CopiedParts::pasteInto(Project& project, Behavior* parent, int index) const {
    if (parent && !m_behaviors.isEmpty() && !parent->acceptsChildren())
        throw ValueError(QStringLiteral("Cannot paste below '%1': it is an action (%2), which holds no other "
                                        "behaviors. Choose a sequence, or paste into the programs.")
                             .arg(parent->name(), parent->type().name()));
    Workspace* ws = project.workspace();
    Pasted pasted;
    // The copies' meshes go along, for a paste into another project. (A mesh the paste fails to
    // use stays in the store unused, and is not saved.)
    for (const MeshRef& mesh : m_meshes)
        ws->meshes().add(mesh);

    // Every new name first, so that references between the copied parts can follow them.
    Names names;
    for (const QJsonValue& v : m_objects) {
        const QJsonObject o = v.toObject();
        const Type* type = Type::find(o.value(kType).toString());
        if (!type || !type->canConstructObject())
            continue;
        const Category c = categoryOf(*type);
        auto& map = names.objects[static_cast<size_t>(c)];
        const QString name = o.value(kName).toString();
        map.insert(name, freeName(name, [&](const QString& n) {
                       return ws->_uniqueName(c, n) != n || std::find(map.begin(), map.end(), n) != map.end();
                   }));
    }
    for (const QJsonValue& v : m_variables) {
        const QString name = v.toObject().value(kName).toString();
        names.variables.insert(name, freeName(name, [&](const QString& n) {
                                   return project._uniqueVariableName(n) != n ||
                                          std::find(names.variables.begin(), names.variables.end(), n) !=
                                              names.variables.end();
                               }));
    }
    QSet<QString> behaviorNames;
    std::function<void(const QJsonObject&)> nameBehaviors = [&](const QJsonObject& json) {
        const QString name = json.value(kName).toString();
        const QString fresh = freeName(name, [&](const QString& n) {
            return project._uniqueBehaviorName(n) != n || behaviorNames.contains(n);
        });
        behaviorNames.insert(fresh);
        names.behaviors.insert(name, fresh);
        for (const QJsonValue& c : json.value(kChildren).toArray())
            nameBehaviors(c.toObject());
    };
    for (const QJsonValue& b : m_behaviors)
        nameBehaviors(b.toObject());

    std::vector<Behavior*> madeBehaviors;
    try {
        // Objects.
        std::vector<std::pair<WorkspaceObject*, Eigen::Vector3d>> madeObjects;
        for (const QJsonValue& v : m_objects) {
            QJsonObject o = v.toObject();
            const Type* type = Type::find(o.value(kType).toString());
            if (!type || !type->canConstructObject())
                throw FormatError(QStringLiteral("Cannot paste '%1': its kind '%2' is unknown.")
                                      .arg(o.value(kName).toString(), o.value(kType).toString()));
            const Category c = categoryOf(*type);
            const QString oldName = o.value(kName).toString();
            const QString name = names.object(c, oldName);
            const JsonContext ctx(kWhere, QLatin1String("object"), name, type->name());
            WorkspaceObject* made = type->constructObject(ws, name);
            pasted.objects.push_back(made);
            if (c == Category::ToolFrame) {
                o.insert(kRobot, names.object(Category::Robot, o.value(kRobot).toString()));
            } else if (c == Category::Effector) {
                // A copied gripper goes onto the copy of its robot, or stays free.
                const QString robot = o.value(kRobot).toString();
                if (names.hasObject(Category::Robot, robot))
                    o.insert(kRobot, names.object(Category::Robot, robot));
                else
                    o.remove(kRobot);
            } else if (c == Category::Robot) {
                QJsonArray frames;
                for (const QJsonValue& f : o.value(QStringLiteral("tool_frames")).toArray())
                    frames.append(names.object(Category::ToolFrame, f.toString()));
                o.insert(QStringLiteral("tool_frames"), frames);
            }
            const Transform pose = ctx.readPose(o, kPose);
            made->setTransform(pose);
            made->readJson(o, ctx);
            madeObjects.emplace_back(made, pose.position);
        }
        for (const auto& [made, at] : madeObjects)
            made->resolveReferences(
                JsonContext(kWhere, QLatin1String("object"), made->name(), made->type().name()));
        for (const auto& [made, at] : madeObjects)
            made->finishLoading(
                JsonContext(kWhere, QLatin1String("object"), made->name(), made->type().name()));
        // Set down near the originals; what a robot carries follows it.
        for (const auto& [made, at] : madeObjects)
            placeNear(*made, at);

        // Variables.
        std::vector<Variable*> madeVariables;
        for (const QJsonValue& v : m_variables) {
            QJsonObject json = v.toObject();
            const QString name = names.variables.value(json.value(kName).toString());
            json.insert(kName, name);
            if (json.contains(QStringLiteral("target_generators"))) {
                QJsonArray targets;
                for (const QJsonValue& t : json.value(QStringLiteral("target_generators")).toArray())
                    targets.append(names.variables.value(t.toString(), t.toString()));
                json.insert(QStringLiteral("target_generators"), targets);
            }
            if (json.value(QStringLiteral("pose_generator")).isObject()) {
                QJsonObject generator = json.value(QStringLiteral("pose_generator")).toObject();
                const QString region = generator.value(QStringLiteral("task_region")).toString();
                if (!region.isEmpty()) {
                    generator.insert(QStringLiteral("task_region"),
                                     names.object(Category::TaskRegion, region));
                    json.insert(QStringLiteral("pose_generator"), generator);
                }
            }
            Variable* made =
                Variable::fromJson(&project, json, JsonContext(kWhere, QStringLiteral("variables")));
            pasted.variables.push_back(made);
            madeVariables.push_back(made);
        }
        for (Variable* v : madeVariables)
            v->resolveReferences(JsonContext(kWhere, QLatin1String("variable"), v->name(), v->type().name()));

        // Behaviors.
        std::function<Behavior*(const QJsonObject&)> make = [&](QJsonObject json) -> Behavior* {
            const Type* type = Type::find(json.value(kType).toString());
            if (!type || !type->canConstructBehavior())
                throw FormatError(QStringLiteral("Cannot paste behavior '%1': its kind '%2' is unknown.")
                                      .arg(json.value(kName).toString(), json.value(kType).toString()));
            Behavior* b =
                type->constructBehavior(&project, names.behaviors.value(json.value(kName).toString()));
            madeBehaviors.push_back(b);
            if (auto* action = dynamic_cast<Action*>(b)) {
                for (const ActionProperty& p : action->properties()) {
                    const QString value = json.value(p.key).toString();
                    if (p.kind == ActionProperty::Kind::Robot)
                        json.insert(p.key, names.object(Category::Robot, value));
                    else if (p.kind == ActionProperty::Kind::ToolFrame)
                        json.insert(p.key, names.object(Category::ToolFrame, value));
                    else if (p.kind == ActionProperty::Kind::Variable)
                        json.insert(p.key, names.variables.value(value, value));
                }
            }
            b->readJson(json, JsonContext(kWhere, QLatin1String("behavior"), b->name(), b->type().name()));
            for (const QJsonValue& c : json.value(kChildren).toArray())
                b->_addChild(make(c.toObject()));
            return b;
        };
        for (const QJsonValue& v : m_behaviors)
            pasted.behaviors.push_back(make(v.toObject()));
        for (Behavior* b : madeBehaviors)
            b->resolveReferences(JsonContext(kWhere, QLatin1String("behavior"), b->name(), b->type().name()));
        int at = index;
        for (Behavior* b : pasted.behaviors) {
            if (parent)
                parent->_insertChild(b, at < 0 ? static_cast<int>(parent->children().size()) : at);
            else
                project.insertProgram(b, at < 0 ? static_cast<int>(project.programList().size()) : at);
            if (at >= 0)
                ++at;
        }
    } catch (...) {
        // Nothing of a paste that failed stays: the behaviors (attached or not), the variables,
        // then the objects (a robot takes its tool frames along).
        QSet<quint64> madeIds;
        for (const Behavior* b : madeBehaviors)
            madeIds.insert(b->id());
        for (quint64 id : madeIds) {
            Behavior* b = project.findBehaviorById(id);
            if (b && (!b->parent() || !madeIds.contains(b->parent()->id())))
                project.removeBehavior(b);
        }
        for (auto it = pasted.variables.rbegin(); it != pasted.variables.rend(); ++it)
            project.removeVariable(*it);
        std::vector<quint64> ids;
        for (const WorkspaceObject* o : pasted.objects)
            ids.push_back(o->id());
        for (auto it = ids.rbegin(); it != ids.rend(); ++it)
            if (WorkspaceObject* o = ws->findById(*it))
                ws->remove(o);
        throw;
    }

    const auto said = [&pasted](const QString& kind, const QHash<QString, QString>& map) {
        for (auto it = map.cbegin(); it != map.cend(); ++it)
            if (it.key() != it.value())
                pasted.renamed
                    << QStringLiteral("%1 '%2' was pasted as '%3'").arg(kind, it.key(), it.value());
    };
    for (int c = 0; c < kCategoryCount; ++c) {
        QString kind = categoryLabel(static_cast<Category>(c));
        kind[0] = kind[0].toUpper();
        said(kind, names.objects[static_cast<size_t>(c)]);
    }
    said(QStringLiteral("Variable"), names.variables);
    said(QStringLiteral("Behavior"), names.behaviors);
    pasted.renamed.sort();
    return pasted;
}

} // namespace kestrin
