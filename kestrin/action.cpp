#include "action.h"

#include "error.h"
#include "json_io.h"
#include "naming.h"
#include "project.h"
#include "robot.h"
#include "tool_frame.h"
#include "variable.h"
#include "workspace.h"

#include <cmath>

namespace kestrin {

namespace {
bool isNumber(ActionProperty::Kind kind) {
    return kind == ActionProperty::Kind::Seconds || kind == ActionProperty::Kind::Metres;
}
} // namespace

const Type& Action::staticType() {
    static const Type t("Action", &Behavior::staticType());
    return t;
}

Action::Action(Project* project, const QString& name) : Behavior(project, name) {}

void Action::declare(const QString& key, const QString& label, ActionProperty::Kind kind,
                     const Type* variableType, bool required) {
    ActionProperty p;
    p.key = key;
    p.label = label;
    p.kind = kind;
    p.variableType = variableType;
    p.required = required;
    p.value = isNumber(kind) ? QVariant(0.0) : QVariant(QString());
    m_properties.append(std::move(p));
}

const ActionProperty* Action::property(const QString& key) const {
    for (const ActionProperty& p : m_properties)
        if (p.key == key)
            return &p;
    return nullptr;
}

QString Action::reference(const QString& key) const {
    const ActionProperty* p = property(key);
    return p ? p->value.toString() : QString();
}

double Action::seconds(const QString& key) const {
    const ActionProperty* p = property(key);
    return p ? p->value.toDouble() : 0.0;
}

void Action::check(const ActionProperty& p, const QVariant& value) const {
    // Put into words only for a failure: loading checks every reference of every action.
    const auto where = [&] { return QStringLiteral("The %1 of action '%2'").arg(p.label.toLower(), name()); };
    if (p.kind == ActionProperty::Kind::Seconds) {
        bool ok = false;
        const double s = value.toDouble(&ok);
        if (!ok || !std::isfinite(s) || s < 0 || s > 86400)
            throw ValueError(where() + QStringLiteral(" must be between 0 and 86400 seconds."));
        return;
    }
    if (p.kind == ActionProperty::Kind::Metres) {
        bool ok = false;
        const double m = value.toDouble(&ok);
        if (!ok || !std::isfinite(m) || std::abs(m) > MoveLinear::kMaxOffset)
            throw ValueError(where() +
                             QStringLiteral(" must be between -%1 and %1 m.").arg(MoveLinear::kMaxOffset));
        return;
    }
    if (value.type() != QVariant::String && value.isValid())
        throw ValueError(where() + QStringLiteral(" must be a name."));
    const QString ref = value.toString();
    if (ref.isEmpty())
        return;
    switch (p.kind) {
    case ActionProperty::Kind::Robot:
        if (!project()->workspace()->findRobot(ref))
            throw NotFoundError(where() +
                                QStringLiteral(" names robot '%1', which is not in the cell.").arg(ref));
        break;
    case ActionProperty::Kind::ToolFrame:
        if (!project()->workspace()->findToolFrame(ref))
            throw NotFoundError(where() +
                                QStringLiteral(" names tool frame '%1', which is on no robot.").arg(ref));
        break;
    case ActionProperty::Kind::Variable: {
        const Variable* v = project()->findVariable(ref);
        if (!v)
            throw NotFoundError(where() +
                                QStringLiteral(" names variable '%1', which does not exist.").arg(ref));
        if (p.variableType && !v->type().inherits(*p.variableType))
            throw ValueError(
                where() + QStringLiteral(" must be %1, but '%2' is %3.")
                              .arg(withArticle(p.variableType->name()), ref, withArticle(v->type().name())));
        break;
    }
    case ActionProperty::Kind::Seconds:
    case ActionProperty::Kind::Metres:
        break;
    }
}

void Action::setProperty(const QString& key, const QVariant& value) {
    for (ActionProperty& p : m_properties) {
        if (p.key != key)
            continue;
        check(p, value);
        p.value = isNumber(p.kind) ? QVariant(value.toDouble()) : QVariant(value.toString());
        touch();
        return;
    }
    throw NotFoundError(QStringLiteral("Action '%1' has no setting '%2'.").arg(name(), key));
}

void Action::writeJson(QJsonObject& json) const {
    for (const ActionProperty& p : m_properties) {
        if (isNumber(p.kind))
            json.insert(p.key, p.value.toDouble());
        else
            json.insert(p.key, p.value.toString());
    }
}

void Action::readJson(const QJsonObject& json, const JsonContext& ctx) {
    // References are checked in resolveReferences, once every variable exists.
    for (ActionProperty& p : m_properties) {
        if (p.kind == ActionProperty::Kind::Seconds) {
            const double s = ctx.readNumber(json, p.key);
            if (s < 0 || s > 86400)
                ctx.failField(p.key, QStringLiteral("must be between 0 and 86400 seconds"));
            p.value = s;
        } else if (p.kind == ActionProperty::Kind::Metres) {
            const double m = ctx.readNumber(json, p.key);
            if (std::abs(m) > MoveLinear::kMaxOffset)
                ctx.failField(p.key,
                              QStringLiteral("must be between -%1 and %1 m").arg(MoveLinear::kMaxOffset));
            p.value = m;
        } else {
            p.value = ctx.readOptionalString(json, p.key);
        }
    }
}

void Action::resolveReferences(const JsonContext& ctx) {
    for (const ActionProperty& p : m_properties) {
        try {
            check(p, p.value);
        } catch (const Error& e) {
            ctx.failField(p.key, QStringLiteral("is wrong: ") + e.message());
        }
    }
}

void Action::_renameReference(ActionProperty::Kind kind, const QString& from, const QString& to) {
    for (ActionProperty& p : m_properties) {
        if (p.kind == kind && p.value.toString() == from) {
            p.value = to;
            touch();
        }
    }
}

KESTRIN_DEFINE_TYPE(MoveToJointTarget, Action, &detail::makeBehavior<MoveToJointTarget>, nullptr)
KESTRIN_DEFINE_TYPE(MoveToTaskRegion, Action, &detail::makeBehavior<MoveToTaskRegion>, nullptr)
KESTRIN_DEFINE_TYPE(Wait, Action, &detail::makeBehavior<Wait>, nullptr)

MoveToJointTarget::MoveToJointTarget(Project* project, const QString& name) : Action(project, name) {
    using K = ActionProperty::Kind;
    declare(QStringLiteral("robot"), QStringLiteral("Robot"), K::Robot);
    declare(QStringLiteral("target"), QStringLiteral("Target"), K::Variable,
            &JointPositionTarget::staticType());
    declare(QStringLiteral("motion_limits"), QStringLiteral("Motion limits"), K::Variable,
            &MotionLimits::staticType(), false);
    _register();
}

MoveToTaskRegion::MoveToTaskRegion(Project* project, const QString& name) : Action(project, name) {
    using K = ActionProperty::Kind;
    declare(QStringLiteral("robot"), QStringLiteral("Robot"), K::Robot);
    declare(QStringLiteral("tool_frame"), QStringLiteral("Tool frame"), K::ToolFrame);
    declare(QStringLiteral("target"), QStringLiteral("Target"), K::Variable, &TaskRegionTarget::staticType());
    declare(QStringLiteral("motion_limits"), QStringLiteral("Motion limits"), K::Variable,
            &MotionLimits::staticType(), false);
    _register();
}

Wait::Wait(Project* project, const QString& name) : Action(project, name) {
    declare(QStringLiteral("duration"), QStringLiteral("Duration"), ActionProperty::Kind::Seconds, nullptr);
    _register();
}

KESTRIN_DEFINE_TYPE(Grasp, Action, &detail::makeBehavior<Grasp>, nullptr)
KESTRIN_DEFINE_TYPE(Release, Action, &detail::makeBehavior<Release>, nullptr)
KESTRIN_DEFINE_TYPE(MoveLinear, Action, &detail::makeBehavior<MoveLinear>, nullptr)

Grasp::Grasp(Project* project, const QString& name) : Action(project, name) {
    declare(QStringLiteral("robot"), QStringLiteral("Robot"), ActionProperty::Kind::Robot);
    declare(QStringLiteral("tool_frame"), QStringLiteral("Tool frame"), ActionProperty::Kind::ToolFrame);
    _register();
}

Release::Release(Project* project, const QString& name) : Action(project, name) {
    declare(QStringLiteral("robot"), QStringLiteral("Robot"), ActionProperty::Kind::Robot);
    declare(QStringLiteral("tool_frame"), QStringLiteral("Tool frame"), ActionProperty::Kind::ToolFrame);
    _register();
}

MoveLinear::MoveLinear(Project* project, const QString& name) : Action(project, name) {
    using K = ActionProperty::Kind;
    declare(QStringLiteral("robot"), QStringLiteral("Robot"), K::Robot);
    declare(QStringLiteral("tool_frame"), QStringLiteral("Tool frame"), K::ToolFrame);
    declare(QStringLiteral("offset_x"), QStringLiteral("Offset x"), K::Metres);
    declare(QStringLiteral("offset_y"), QStringLiteral("Offset y"), K::Metres);
    declare(QStringLiteral("offset_z"), QStringLiteral("Offset z"), K::Metres);
    declare(QStringLiteral("motion_limits"), QStringLiteral("Motion limits"), K::Variable,
            &MotionLimits::staticType(), false);
    _register();
}

} // namespace kestrin
