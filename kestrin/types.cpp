// Every type descriptor of the library in a fixed order, so that the lists offered to users do
// not depend on which descriptors happened to be used first.

#include "action.h"
#include "behavior.h"
#include "distribution.h"
#include "effector.h"
#include "items.h"
#include "pose_generator.h"
#include "project.h"
#include "robot.h"
#include "tool_frame.h"
#include "urdf_robot.h"
#include "variable.h"
#include "workspace.h"

namespace kestrin {

const QList<const Type*>& builtinTypes() {
    static const QList<const Type*> types{
        &Project::staticType(),
        &Workspace::staticType(),
        &WorkspaceState::staticType(),
        &FrankaPandaRobot::staticType(),
        &UR3eRobot::staticType(),
        &UR5eRobot::staticType(),
        &UR10eRobot::staticType(),
        &UrdfRobot::staticType(),
        &RobotiqGripper2F85::staticType(),
        &FrankaHand::staticType(),
        &ToolFrame::staticType(),
        &CustomItem::staticType(),
        &Desk::staticType(),
        &TaskRegion::staticType(),
        &RealsenseD435i::staticType(),
        &RealsenseD405::staticType(),
        &VisualMarker::staticType(),
        &Sequence::staticType(),
        &MoveToJointTarget::staticType(),
        &MoveToTaskRegion::staticType(),
        &Wait::staticType(),
        &Grasp::staticType(),
        &Release::staticType(),
        &MoveLinear::staticType(),
        &MotionLimits::staticType(),
        &JointPositionTarget::staticType(),
        &TaskRegionTarget::staticType(),
        &MixtureTarget::staticType(),
        &DeterministicDistribution::staticType(),
        &UniformDistribution::staticType(),
        &GaussianDistribution::staticType(),
        &PoseGenerator::staticType(),
    };
    return types;
}

} // namespace kestrin
