#pragma once

#include "distribution.h"
#include "geometry.h"

#include <QJsonObject>
#include <QString>
#include <memory>

namespace kestrin {

class JsonContext;
class Project;
class Type;
class Variable;

/// Draws tool poses from a task region: positions uniform inside the region's box, the tool's
/// z axis pointing down (a top-down grasp), yaw uniform within +-yawRange radians about the
/// region's own yaw.
class PoseGenerator {
public:
    explicit PoseGenerator(Project* project);
    static const Type& staticType();

    Project* project() const { return m_project; }
    /// Name of the task region poses are drawn from; empty when not chosen yet.
    const QString& taskRegion() const { return m_taskRegion; }
    /// Throws NotFoundError unless empty or the name of a task region in the project.
    void setTaskRegion(const QString& name);
    double yawRange() const { return m_yawRange; }
    /// Throws ValueError outside [0, pi].
    void setYawRange(double radians);

    /// Throws NotFoundError when no task region is set or it no longer exists.
    Pose sample(RandomGenerator& rng) const;

    std::unique_ptr<PoseGenerator> clone(Project* project) const;
    bool equals(const PoseGenerator& other) const;
    QJsonObject toJson() const;
    static std::unique_ptr<PoseGenerator> fromJson(Project* project, const QJsonObject& json,
                                                   const JsonContext& ctx);

    void _setProject(Project* project) { m_project = project; }
    /// The variable the generator is part of: told of every change made through the setters.
    void _setOwner(Variable* owner) { m_owner = owner; }
    /// True when the generator named `from`.
    bool _renameTaskRegion(const QString& from, const QString& to);

private:
    Project* m_project;
    Variable* m_owner = nullptr;
    QString m_taskRegion;
    double m_yawRange = 0.0;
};

} // namespace kestrin
