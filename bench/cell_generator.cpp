#include "cell_generator.h"

#include <kestrin/kestrin.h>

#include <QDir>
#include <QHash>
#include <QTemporaryDir>
#include <memory>

using namespace kestrin;

namespace kestrin_bench {

namespace {

constexpr double kPi = 3.14159265358979323846;

Robot* makeRobot(Workspace* ws, int block) {
    const QString name = QStringLiteral("Robot %1").arg(block + 1);
    switch (block % 4) {
    case 0:
        return new UR5eRobot(ws, name);
    case 1:
        return new UR10eRobot(ws, name);
    case 2:
        return new UR3eRobot(ws, name);
    default:
        return new FrankaPandaRobot(ws, name);
    }
}

Effector* makeGripper(Workspace* ws, const QString& name, bool franka) {
    if (franka)
        return new FrankaHand(ws, name);
    return new RobotiqGripper2F85(ws, name);
}

/// One program on `robot`: home, into the region, wait, home again.
void addBlockProgram(Project& project, int block, Robot* robot, ToolFrame* tool, TaskRegion* region) {
    const QString n = QString::number(block + 1);
    const QString home = QStringLiteral("Home %1").arg(n);
    const QString target = QStringLiteral("Region Target %1").arg(n);
    const QString limits = QStringLiteral("Limits %1").arg(n);
    new JointPositionTarget(&project, home,
                            std::make_unique<DeterministicDistribution>(robot->homePositions()));
    auto generator = std::make_unique<PoseGenerator>(&project);
    generator->setTaskRegion(region->name());
    generator->setYawRange(kPi / 8);
    new TaskRegionTarget(&project, target, std::move(generator), nullptr);
    const int dofs = robot->getNumDofs();
    new MotionLimits(&project, limits, Eigen::VectorXd::Constant(dofs, 1.0),
                     Eigen::VectorXd::Constant(dofs, 2.0));

    auto* program = new Sequence(&project, QStringLiteral("Program %1").arg(n));
    project.addProgram(program);
    auto* toHome = new MoveToJointTarget(&project, QStringLiteral("Go Home %1").arg(n));
    toHome->setProperty(QStringLiteral("robot"), robot->name());
    toHome->setProperty(QStringLiteral("target"), home);
    program->_addChild(toHome);
    auto* reach = new MoveToTaskRegion(&project, QStringLiteral("Reach Region %1").arg(n));
    reach->setProperty(QStringLiteral("robot"), robot->name());
    reach->setProperty(QStringLiteral("tool_frame"), tool->name());
    reach->setProperty(QStringLiteral("target"), target);
    reach->setProperty(QStringLiteral("motion_limits"), limits);
    program->_addChild(reach);
    auto* wait = new Wait(&project, QStringLiteral("Settle %1").arg(n));
    wait->setProperty(QStringLiteral("duration"), 0.25);
    program->_addChild(wait);
    auto* back = new MoveToJointTarget(&project, QStringLiteral("Return Home %1").arg(n));
    back->setProperty(QStringLiteral("robot"), robot->name());
    back->setProperty(QStringLiteral("target"), home);
    program->_addChild(back);
}

void addBlock(Project& project, int block) {
    Workspace* ws = project.workspace();
    const QString n = QString::number(block + 1);
    Robot* robot = makeRobot(ws, block);
    const bool franka = robot->type() == FrankaPandaRobot::staticType();
    Effector* gripper = makeGripper(ws, QStringLiteral("Gripper %1").arg(n), franka);
    gripper->mountOn(robot);
    auto* tool = new ToolFrame(ws, QStringLiteral("Tool %1").arg(n));
    tool->setOffset(gripper->toolCentre().toPose());
    robot->addToolFrame(tool);

    // In front of the robot, half its reach out and a little above its base.
    auto* region = new TaskRegion(ws, QStringLiteral("Region %1").arg(n));
    region->setSize(Eigen::Vector3d(0.12, 0.12, 0.05));
    const Eigen::Vector3d base = robot->pose().translation();
    region->setPose(makePose(base + Eigen::Vector3d(0.45 * robot->reach(), 0, 0.15)));

    new Desk(ws, QStringLiteral("Desk %1").arg(n));
    auto* part = new CustomItem(ws, QStringLiteral("Part %1").arg(n));
    part->setSize(Eigen::Vector3d(0.06, 0.06, 0.04));
    new CustomItem(ws, QStringLiteral("Fixture %1").arg(n));
    if (block % 2 == 0)
        new RealsenseD435i(ws, QStringLiteral("Camera %1").arg(n));
    else
        new RealsenseD405(ws, QStringLiteral("Camera %1").arg(n));
    auto* marker = new VisualMarker(ws, QStringLiteral("Marker %1").arg(n));
    marker->setMarkerId(block % 1000);
    makeGripper(ws, QStringLiteral("Spare Gripper %1").arg(n), !franka);

    addBlockProgram(project, block, robot, tool, region);
}

constexpr int kBlockSize = 10;

} // namespace

void populateCell(Project& project, int objects) {
    const int blocks = objects / kBlockSize;
    for (int b = 0; b < blocks; ++b)
        addBlock(project, b);
    for (int i = blocks * kBlockSize; i < objects; ++i)
        new CustomItem(project.workspace(), QStringLiteral("Extra Part %1").arg(i + 1));
}

WorkspaceObject* addMenuObject(Workspace* ws, int index) {
    switch (index % kMenuKinds) {
    case 0:
        return new UR5eRobot(ws, QStringLiteral("My Robot"));
    case 1:
        return new RobotiqGripper2F85(ws, QStringLiteral("My Effector"));
    case 2:
        return new CustomItem(ws, QStringLiteral("My Item"));
    case 3:
        return new Desk(ws, QStringLiteral("My Item"));
    case 4:
        return new TaskRegion(ws, QStringLiteral("My Task Region"));
    case 5:
        return new RealsenseD435i(ws, QStringLiteral("My Camera"));
    default:
        return new VisualMarker(ws, QStringLiteral("My Fiducial"));
    }
}

QString cellFile(int objects) {
    static QTemporaryDir folder(QDir::temp().filePath(QStringLiteral("kestrin-bench-XXXXXX")));
    static QHash<int, QString> written;
    if (const auto it = written.constFind(objects); it != written.cend())
        return *it;
    if (!folder.isValid())
        throw FileError(QStringLiteral("Cannot make a temporary folder for the benchmark cells: %1")
                            .arg(folder.errorString()));
    const QString path = folder.filePath(QStringLiteral("cell_%1%2").arg(objects).arg(KS_PROJECT_FILE_EXT));
    Project project;
    populateCell(project, objects);
    project.save(path);
    written.insert(objects, path);
    return path;
}

} // namespace kestrin_bench
