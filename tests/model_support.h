#pragma once
// What the tests of the core library's model share: vectors from lists, the message a call
// throws, and where an object stands on the floor.

#include "kestrin/kestrin.h"

#include <QString>
#include <QStringList>

#include <cmath>
#include <utility>
#include <vector>

namespace model_test {

using namespace kestrin;

inline const double kPi = std::acos(-1.0);

inline Eigen::VectorXd vec(std::initializer_list<double> values) {
    return Eigen::Map<const Eigen::VectorXd>(values.begin(), static_cast<Eigen::Index>(values.size()));
}

/// The message of the E that `f` throws; a null QString when it throws nothing.
template <class E, class F> QString thrown(F&& f) {
    try {
        f();
    } catch (const E& e) {
        return e.message();
    }
    return QString();
}

inline bool near(const Eigen::Vector3d& a, const Eigen::Vector3d& b, double tol) {
    return (a - b).norm() < tol;
}

inline QStringList names(const std::vector<WorkspaceObject*>& objects) {
    QStringList out;
    for (const WorkspaceObject* o : objects)
        out << o->name();
    return out;
}

/// Corners of what an object takes up on the floor: its body turned by its pose; a robot also
/// keeps about half its reach free around its base.
inline std::pair<Eigen::Vector2d, Eigen::Vector2d> floorRect(const WorkspaceObject* o) {
    Eigen::Vector2d half = (o->pose().linear().cwiseAbs() * (o->size() / 2)).head<2>();
    if (const auto* robot = dynamic_cast<const Robot*>(o))
        half = half.cwiseMax(Eigen::Vector2d::Constant(robot->reach() / 2));
    const Eigen::Vector2d centre = o->pose().translation().head<2>();
    return {centre - half, centre + half};
}

} // namespace model_test
