#pragma once
// A snapshot of what teleoperation and simulation can change in a work cell.

#include "geometry.h"

#include <Eigen/Core>
#include <QtGlobal>
#include <vector>

namespace kestrin {

class Type;

/// Opaque value: taken with Workspace::_getState, given back with Workspace::_setState.
class WorkspaceState {
public:
    static const Type& staticType();
    bool isEmpty() const { return m_entries.empty(); }
    bool operator==(const WorkspaceState& o) const;
    bool operator!=(const WorkspaceState& o) const { return !(*this == o); }

private:
    friend class Workspace;
    struct Entry {
        quint64 id;
        Transform transform;
        Eigen::VectorXd joints; // empty for objects without joints
        quint64 heldBy = 0;     // items: the id of the tool frame holding it, 0 when none
        Transform grip;         // items held: the pose in the tool frame
    };
    std::vector<Entry> m_entries;
};

} // namespace kestrin
