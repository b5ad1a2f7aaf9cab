#pragma once
// Work cells of any size for the benchmarks, built through the core library's own API.

#include <QString>

namespace kestrin {
class Project;
class Workspace;
class WorkspaceObject;
} // namespace kestrin

namespace kestrin_bench {

/// Fills `project` with `objects` workspace objects (tool frames count) of every kind, auto-placed
/// apart on the floor. Per robot there is one block of ten objects: the robot with a tool frame
/// and a gripper on its flange, a desk, two items, a task region within the robot's reach, a
/// camera, a marker and a gripper standing on the floor; a remainder below ten is filled with
/// items. Per block there are three variables and one program of four actions (five behaviors)
/// that runs on that robot.
void populateCell(kestrin::Project& project, int objects);

/// Adds the `index`-th object of a repeating sequence of the kinds a user adds from the menus
/// (robot, gripper, item, desk, task region, camera, marker), named as the menus name them.
kestrin::WorkspaceObject* addMenuObject(kestrin::Workspace* workspace, int index);
/// How many kinds addMenuObject cycles through.
constexpr int kMenuKinds = 7;

/// A project file holding the cell populateCell makes, written once per size into the system's
/// temporary folder and reused by later calls. Throws kestrin::Error when it cannot be written.
QString cellFile(int objects);

} // namespace kestrin_bench
