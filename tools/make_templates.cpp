// Writes the template projects shipped in data/templates. Run after changing the file format or
// the templates: kestrin-make-templates <data/templates folder>

#include <kestrin/kestrin.h>

#include <QCoreApplication>
#include <QDir>
#include <cmath>
#include <cstdio>

using namespace kestrin;

namespace {

constexpr double kPi = 3.14159265358979323846;

Pose at(double x, double y, double z, double yaw = 0) { return makePose(Eigen::Vector3d(x, y, z), 0, 0, yaw); }

/// A desk with a UR5e carrying a gripper, an item, a task region, a camera, a marker and a short
/// pick-and-place program.
void buildDemoCell(Project& project) {
    Workspace* ws = project.workspace();
    auto* desk = new Desk(ws, QStringLiteral("Work Desk"));
    desk->setPose(at(0, 0, 0));
    auto* robot = new UR5eRobot(ws, QStringLiteral("UR5e"));
    robot->setPose(at(-0.35, 0, desk->size().z()));
    auto* gripper = new RobotiqGripper2F85(ws, QStringLiteral("Gripper"));
    gripper->mountOn(robot);
    auto* tcp = new ToolFrame(ws, QStringLiteral("Gripper TCP"));
    tcp->setOffset(gripper->toolCentre().toPose());
    robot->addToolFrame(tcp);
    auto* item = new CustomItem(ws, QStringLiteral("Part"));
    item->setSize(Eigen::Vector3d(0.06, 0.06, 0.04));
    item->setPose(at(0.2, -0.2, desk->size().z() + 0.02));
    auto* region = new TaskRegion(ws, QStringLiteral("Place Region"));
    region->setSize(Eigen::Vector3d(0.16, 0.16, 0.06));
    region->setPose(at(0.2, 0.2, desk->size().z() + 0.2));
    auto* camera = new RealsenseD435i(ws, QStringLiteral("Overhead Camera"));
    camera->setPose(makePose(Eigen::Vector3d(0.1, 0, 1.7), kPi, 0, 0));
    auto* marker = new VisualMarker(ws, QStringLiteral("Desk Marker"));
    marker->setEdge(0.08);
    marker->setPose(at(0.45, -0.3, desk->size().z() + 0.001));

    Eigen::VectorXd home = robot->homePositions();
    new JointPositionTarget(&project, QStringLiteral("Home"), std::make_unique<DeterministicDistribution>(home));
    auto generator = std::make_unique<PoseGenerator>(&project);
    generator->setTaskRegion(region->name());
    generator->setYawRange(kPi / 6);
    new TaskRegionTarget(&project, QStringLiteral("Place Target"), std::move(generator), nullptr);
    new MotionLimits(&project, QStringLiteral("Gentle"), Eigen::VectorXd::Constant(6, 1.0),
                     Eigen::VectorXd::Constant(6, 2.0));

    auto* program = new Sequence(&project, QStringLiteral("Pick and Place"));
    project.addProgram(program);
    auto* toHome = new MoveToJointTarget(&project, QStringLiteral("Go Home"));
    toHome->setProperty(QStringLiteral("robot"), robot->name());
    toHome->setProperty(QStringLiteral("target"), QStringLiteral("Home"));
    program->_addChild(toHome);
    auto* place = new MoveToTaskRegion(&project, QStringLiteral("Reach Place Region"));
    place->setProperty(QStringLiteral("robot"), robot->name());
    place->setProperty(QStringLiteral("tool_frame"), tcp->name());
    place->setProperty(QStringLiteral("target"), QStringLiteral("Place Target"));
    place->setProperty(QStringLiteral("motion_limits"), QStringLiteral("Gentle"));
    program->_addChild(place);
    auto* settle = new Wait(&project, QStringLiteral("Release"));
    settle->setProperty(QStringLiteral("duration"), 0.5);
    program->_addChild(settle);
    auto* back = new MoveToJointTarget(&project, QStringLiteral("Return Home"));
    back->setProperty(QStringLiteral("robot"), robot->name());
    back->setProperty(QStringLiteral("target"), QStringLiteral("Home"));
    program->_addChild(back);
}

/// Two robots sharing a desk, no program yet.
void buildTwinCell(Project& project) {
    Workspace* ws = project.workspace();
    auto* desk = new Desk(ws, QStringLiteral("Shared Desk"));
    desk->setSize(Eigen::Vector3d(1.6, 0.8, 0.75));
    desk->setPose(at(0, 0, 0));
    auto* left = new UR3eRobot(ws, QStringLiteral("Left UR3e"));
    left->setPose(at(-0.6, 0, 0.75));
    auto* right = new FrankaPandaRobot(ws, QStringLiteral("Right Panda"));
    right->setPose(at(0.6, 0, 0.75, kPi));
    auto* hand = new FrankaHand(ws, QStringLiteral("Panda Hand"));
    hand->mountOn(right);
    auto* tcp = new ToolFrame(ws, QStringLiteral("Hand TCP"));
    tcp->setOffset(hand->toolCentre().toPose());
    right->addToolFrame(tcp);
    auto* region = new TaskRegion(ws, QStringLiteral("Handover"));
    region->setPose(at(0, 0, 1.05));
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: kestrin-make-templates <folder>\n");
        return 2;
    }
    const QDir dir(QString::fromLocal8Bit(argv[1]));
    try {
        Project demo;
        buildDemoCell(demo);
        demo.save(dir.filePath(QStringLiteral("demo_cell") + KS_PROJECT_FILE_EXT));
        Project twin;
        buildTwinCell(twin);
        twin.save(dir.filePath(QStringLiteral("two_robot_desk") + KS_PROJECT_FILE_EXT));
    } catch (const Error& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
    return 0;
}
