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

Pose at(double x, double y, double z, double yaw = 0) {
    return makePose(Eigen::Vector3d(x, y, z), 0, 0, yaw);
}

/// Sets the robot and tool frame of a tool action and appends it to `parent`.
template <class A>
A* toolAction(Project& project, Sequence* parent, const QString& name, const Robot* robot,
              const ToolFrame* tool) {
    auto* action = new A(&project, name);
    action->setProperty(QStringLiteral("robot"), robot->name());
    action->setProperty(QStringLiteral("tool_frame"), tool->name());
    parent->_addChild(action);
    return action;
}

/// A move of `robot` to the joint target of that name, appended to `parent`.
void jointMove(Project& project, Sequence* parent, const QString& name, const Robot* robot,
               const QString& target) {
    auto* move = new MoveToJointTarget(&project, name);
    move->setProperty(QStringLiteral("robot"), robot->name());
    move->setProperty(QStringLiteral("target"), target);
    parent->_addChild(move);
}

/// A task-region target on a thin region (the tool pointing down into it, turned at most `yaw`
/// either way).
void regionTarget(Project& project, TaskRegion* region, const QString& name, double yaw) {
    auto generator = std::make_unique<PoseGenerator>(&project);
    generator->setTaskRegion(region->name());
    generator->setYawRange(yaw);
    new TaskRegionTarget(&project, name, std::move(generator), nullptr);
}

/// A desk with a UR5e near one end, carrying a gripper whose tool centre is a tool frame.
struct ArmOnDesk {
    Desk* desk;
    UR5eRobot* robot;
    ToolFrame* tcp;
};
ArmOnDesk armOnDesk(Project& project) {
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
    return {desk, robot, tcp};
}

/// A desk with a UR5e carrying a gripper, a part, a place region on the desk, a camera, a
/// marker and a pick-and-place program: over the part, straight down, grasp, straight up, over
/// the place region, straight down, release, straight up, home.
void buildDemoCell(Project& project) {
    Workspace* ws = project.workspace();
    const auto [desk, robot, tcp] = armOnDesk(project);
    const double top = desk->size().z();
    // Narrow enough to pass between the open fingers.
    auto* item = new CustomItem(ws, QStringLiteral("Part"));
    item->setSize(Eigen::Vector3d(0.03, 0.03, 0.04));
    item->setPose(at(0.2, -0.2, top + 0.02));
    auto* region = new TaskRegion(ws, QStringLiteral("Place Region"));
    region->setSize(Eigen::Vector3d(0.16, 0.16, 0.06));
    region->setPose(at(0.2, 0.2, top + 0.03));
    // Where the tool goes before it moves straight down: 10 cm over the part's middle, and
    // 10 cm over the place region, so that the part comes down to 2 to 4 mm above the desk.
    const double lift = 0.1;
    auto* overPart = new TaskRegion(ws, QStringLiteral("Over Part"));
    overPart->setSize(Eigen::Vector3d(0.002, 0.002, 0.002));
    overPart->setPose(at(0.2, -0.2, top + 0.02 + lift));
    auto* overPlace = new TaskRegion(ws, QStringLiteral("Over Place Region"));
    overPlace->setSize(Eigen::Vector3d(0.1, 0.1, 0.002));
    overPlace->setPose(at(0.2, 0.2, top + 0.02 + 0.003 + lift));
    auto* camera = new RealsenseD435i(ws, QStringLiteral("Overhead Camera"));
    camera->setPose(makePose(Eigen::Vector3d(0.1, 0, 1.7), kPi, 0, 0));
    auto* marker = new VisualMarker(ws, QStringLiteral("Desk Marker"));
    marker->setEdge(0.08);
    marker->setPose(at(0.45, -0.3, top + 0.001));

    Eigen::VectorXd home = robot->homePositions();
    new JointPositionTarget(&project, QStringLiteral("Home"),
                            std::make_unique<DeterministicDistribution>(home));
    regionTarget(project, overPart, QStringLiteral("Pick Approach"), 0);
    regionTarget(project, overPlace, QStringLiteral("Place Target"), kPi / 12);
    new MotionLimits(&project, QStringLiteral("Gentle"), Eigen::VectorXd::Constant(6, 1.0),
                     Eigen::VectorXd::Constant(6, 2.0));

    auto* program = new Sequence(&project, QStringLiteral("Pick and Place"));
    project.addProgram(program);
    jointMove(project, program, QStringLiteral("Go Home"), robot, QStringLiteral("Home"));
    auto* approach =
        toolAction<MoveToTaskRegion>(project, program, QStringLiteral("Reach Over Part"), robot, tcp);
    approach->setProperty(QStringLiteral("target"), QStringLiteral("Pick Approach"));
    approach->setProperty(QStringLiteral("motion_limits"), QStringLiteral("Gentle"));
    toolAction<MoveLinear>(project, program, QStringLiteral("Down to Part"), robot, tcp)
        ->setProperty(QStringLiteral("offset_z"), lift);
    toolAction<Grasp>(project, program, QStringLiteral("Grasp Part"), robot, tcp);
    toolAction<MoveLinear>(project, program, QStringLiteral("Lift Part"), robot, tcp)
        ->setProperty(QStringLiteral("offset_z"), -lift);
    auto* place =
        toolAction<MoveToTaskRegion>(project, program, QStringLiteral("Reach Place Region"), robot, tcp);
    place->setProperty(QStringLiteral("target"), QStringLiteral("Place Target"));
    place->setProperty(QStringLiteral("motion_limits"), QStringLiteral("Gentle"));
    toolAction<MoveLinear>(project, program, QStringLiteral("Lower Part"), robot, tcp)
        ->setProperty(QStringLiteral("offset_z"), lift);
    toolAction<Release>(project, program, QStringLiteral("Release"), robot, tcp);
    toolAction<MoveLinear>(project, program, QStringLiteral("Retreat"), robot, tcp)
        ->setProperty(QStringLiteral("offset_z"), -lift);
    jointMove(project, program, QStringLiteral("Return Home"), robot, QStringLiteral("Home"));
}

/// A UR5e on a desk beside a tall fixture, and a program whose second move swings the arm round
/// through the fixture: the simulator stops it there and names what hits what.
void buildCollisionCell(Project& project) {
    Workspace* ws = project.workspace();
    const auto [desk, robot, tcp] = armOnDesk(project);
    const double top = desk->size().z();
    auto* fixture = new CustomItem(ws, QStringLiteral("Fixture"));
    fixture->setSize(Eigen::Vector3d(0.08, 0.08, 0.6));
    fixture->setPose(at(-0.3, -0.3, top + 0.3));

    Eigen::VectorXd home = robot->homePositions();
    new JointPositionTarget(&project, QStringLiteral("Home"),
                            std::make_unique<DeterministicDistribution>(home));
    Eigen::VectorXd across = home;
    across[0] += kPi;
    new JointPositionTarget(&project, QStringLiteral("Other Side"),
                            std::make_unique<DeterministicDistribution>(across));

    auto* program = new Sequence(&project, QStringLiteral("Swing Round"));
    project.addProgram(program);
    jointMove(project, program, QStringLiteral("Go Home"), robot, QStringLiteral("Home"));
    jointMove(project, program, QStringLiteral("Swing to Other Side"), robot, QStringLiteral("Other Side"));
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
        Project collision;
        buildCollisionCell(collision);
        collision.save(dir.filePath(QStringLiteral("collision_demo") + KS_PROJECT_FILE_EXT));
        Project twin;
        buildTwinCell(twin);
        twin.save(dir.filePath(QStringLiteral("two_robot_desk") + KS_PROJECT_FILE_EXT));
    } catch (const Error& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
    return 0;
}
