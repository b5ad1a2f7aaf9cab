// The workspace viewer: which objects get a scene item, how items follow the model, the
// default view and screenshots. Tests that render need a display: run under xvfb-run.

#include <kestrin/effector.h>
#include <kestrin/error.h>
#include <kestrin/items.h>
#include <kestrin/mesh.h>
#include <kestrin/project.h>
#include <kestrin/robot.h>
#include <kestrin/tool_frame.h>
#include <kestrin/type.h>
#include <kestrin/undo_history.h>
#include <kestrin/urdf_robot.h>
#include <kestrin/workspace.h>
#include <kestrin_viewer/workspace_viewer.h>

#include <QApplication>
#include <QDir>
#include <QImage>
#include <QSet>
#include <QSignalSpy>
#include <QSurfaceFormat>
#include <QTemporaryDir>
#include <QtTest>

#include "import_samples.h"

#include <QVTKOpenGLNativeWidget.h>
#include <vtkActor.h>
#include <vtkAssembly.h>
#include <vtkCamera.h>
#include <vtkImageData.h>
#include <vtkMapper.h>
#include <vtkMath.h>
#include <vtkMatrix4x4.h>
#include <vtkOpenGLRenderWindow.h>
#include <vtkProp.h>
#include <vtkProp3D.h>
#include <vtkProp3DCollection.h>
#include <vtkPropCollection.h>
#include <vtkRenderWindow.h>
#include <vtkRenderer.h>
#include <vtkWindowToImageFilter.h>

#include <functional>
#include <map>

using namespace kestrin;

namespace {

/// One object of every kind; `loose` is a tool frame on no robot, which is not part of the cell.
struct Cell {
    Project project;
    Robot* ur5e;
    Robot* panda;
    ToolFrame* tool;
    ToolFrame* loose;
    Effector* gripper;
    CustomItem* item;

    Cell() {
        Workspace* ws = project.workspace();
        ur5e = new UR5eRobot(ws, "R");
        panda = new FrankaPandaRobot(ws, "P");
        gripper = new RobotiqGripper2F85(ws, "G");
        gripper->mountOn(ur5e);
        new FrankaHand(ws, "H");
        tool = new ToolFrame(ws, "T");
        ur5e->addToolFrame(tool);
        loose = new ToolFrame(ws, "Loose");
        item = new CustomItem(ws, "I");
        new Desk(ws, "D");
        new TaskRegion(ws, "Region");
        new RealsenseD435i(ws, "C435");
        new RealsenseD405(ws, "C405");
        new VisualMarker(ws, "M");
    }
    int listed() const { return static_cast<int>(project.workspace()->objects().size()); }
};

struct Bounds {
    double b[6];
    bool contains(const Eigen::Vector3d& p, double tolerance = 1e-3) const {
        for (int axis = 0; axis < 3; ++axis)
            if (p[axis] < b[2 * axis] - tolerance || p[axis] > b[2 * axis + 1] + tolerance)
                return false;
        return true;
    }
};

Bounds drawnBounds(WorkspaceViewer& viewer) {
    Bounds bounds;
    viewer._getRenderer()->ComputeVisiblePropBounds(bounds.b);
    return bounds;
}

std::map<vtkProp*, vtkMTimeType> propTimes(WorkspaceViewer& viewer) {
    std::map<vtkProp*, vtkMTimeType> times;
    vtkPropCollection* props = viewer._getRenderer()->GetViewProps();
    props->InitTraversal();
    while (vtkProp* prop = props->GetNextProp())
        times[prop] = prop->GetMTime();
    return times;
}

int changedProps(const std::map<vtkProp*, vtkMTimeType>& before, WorkspaceViewer& viewer) {
    int changed = 0;
    for (const auto& [prop, time] : propTimes(viewer)) {
        auto it = before.find(prop);
        if (it == before.end() || it->second != time)
            ++changed;
    }
    return changed;
}

int distinctColours(const QImage& image) {
    QSet<QRgb> colours;
    for (int y = 0; y < image.height(); y += 2)
        for (int x = 0; x < image.width(); x += 2)
            colours.insert(image.pixel(x, y));
    return colours.size();
}

} // namespace

class TestViewer : public QObject {
    Q_OBJECT

private slots:
    // Which objects are drawn.
    void drawsEveryListedObjectOnce();
    void drawsNothingWithoutProject();
    void addingAnObjectAddsOneItem();
    void removingAnObjectRemovesItsItem();
    void removingARobotRemovesItsToolFrames();
    void attachingAToolFrameDrawsIt();
    void replacingTheProjectShowsOnlyTheNewCell();
    void loadingIntoTheShownProjectShowsTheLoadedCell();

    // How items follow the model.
    void rebuildWithoutChangesLeavesSceneUntouched();
    void movedObjectIsDrawnAtItsNewPose();
    void jointChangeKeepsItemsAndMovesTheArm();
    void wristTurnedAboutItsOwnAxisIsDrawnAtItsJoints();
    void toolFrameFollowsItsRobot();
    void undoRedrawsOnlyWhatTheStepChanged();
    void heldItemAndGripperFollowTheArmAndComeBackWithUndo();

    // The view.
    void resetCameraShowsTheWholeCellFromAbove();
    void leftDragOrbitsTheCamera();
    void hasItsTypeDescriptor();

    // Frames drawn on the kept image of the settled scene.
    void framesOnTheKeptImageLookLikeWholeFrames_data();
    void framesOnTheKeptImageLookLikeWholeFrames();
    void softwareRenderingDrawsWithoutMultisampling();
    void keptImageFollowsCameraAndProject();

    // A large cell drawn as instances.
    void clickingEachKindInALargeCellSelectsIt();
    void anEditADeleteAnUndoAndAGraspRedrawOnlyTheirObjects();
    void batchedDemoCellLooksAsDrawnObjectByObject();
    void objectsAddedOneByOneGoBackIntoTheBatches();
    void farRobotsAreDrawnCoarserAndLookTheSame();

    // Items shaped as meshes and robots imported from URDF.
    void meshShapesAreSharedAndPlacedByTheirObjects();
    void importedRobotIsDrawnAsItsLinkShapesAtItsFrames();
    void anOpenMeshIsSeenFromBelowToo();

    // Screenshots.
    void screenshotShowsTheCell();
    void screenshotOfAViewNeverShownShowsTheCell();
    void screenshotIntoMissingFolderFailsNamingThePath();
    void screenshotOntoAFolderFailsNamingThePath();
};

void TestViewer::drawsEveryListedObjectOnce() {
    Cell cell;
    WorkspaceViewer viewer;
    viewer.setProject(&cell.project);
    // Twelve objects were made; the tool frame on no robot is not part of the cell.
    QCOMPARE(cell.listed(), 11);
    QCOMPARE(viewer.sceneItemCount(), 11);
    viewer.rebuild();
    QCOMPARE(viewer.sceneItemCount(), 11);
}

void TestViewer::drawsNothingWithoutProject() {
    Cell cell;
    WorkspaceViewer viewer;
    QCOMPARE(viewer.sceneItemCount(), 0);
    viewer.setProject(&cell.project);
    viewer.setProject(nullptr);
    QCOMPARE(viewer.sceneItemCount(), 0);
    QVERIFY(!vtkMath::AreBoundsInitialized(drawnBounds(viewer).b));
}

void TestViewer::addingAnObjectAddsOneItem() {
    Cell cell;
    WorkspaceViewer viewer;
    viewer.setProject(&cell.project);
    const int before = viewer.sceneItemCount();
    new UR10eRobot(cell.project.workspace(), "Big");
    QCOMPARE(viewer.sceneItemCount(), before); // rebuild does the drawing, not the model
    viewer.rebuild();
    QCOMPARE(viewer.sceneItemCount(), before + 1);
}

void TestViewer::removingAnObjectRemovesItsItem() {
    Cell cell;
    WorkspaceViewer viewer;
    viewer.setProject(&cell.project);
    const int before = viewer.sceneItemCount();
    cell.project.workspace()->remove(cell.item);
    viewer.rebuild();
    QCOMPARE(viewer.sceneItemCount(), before - 1);
    QCOMPARE(viewer.sceneItemCount(), cell.listed());
}

void TestViewer::removingARobotRemovesItsToolFrames() {
    Cell cell;
    WorkspaceViewer viewer;
    viewer.setProject(&cell.project);
    const int before = viewer.sceneItemCount();
    // The gripper stays in the cell, unmounted; the tool frame goes with the robot.
    cell.project.workspace()->remove(cell.ur5e);
    viewer.rebuild();
    QCOMPARE(viewer.sceneItemCount(), before - 2);
    QCOMPARE(viewer.sceneItemCount(), cell.listed());
}

void TestViewer::attachingAToolFrameDrawsIt() {
    Cell cell;
    WorkspaceViewer viewer;
    viewer.setProject(&cell.project);
    const int before = viewer.sceneItemCount();
    cell.panda->addToolFrame(cell.loose);
    viewer.rebuild();
    QCOMPARE(viewer.sceneItemCount(), before + 1);
}

void TestViewer::replacingTheProjectShowsOnlyTheNewCell() {
    Cell cell;
    Project other;
    new Desk(other.workspace(), "Only");
    WorkspaceViewer viewer;
    viewer.setProject(&cell.project);
    viewer.setProject(&other);
    QCOMPARE(viewer.sceneItemCount(), 1);
    QCOMPARE(viewer.project(), &other);
}

void TestViewer::loadingIntoTheShownProjectShowsTheLoadedCell() {
    // Loading swaps the workspace's contents in place: the viewer must let go of the old
    // objects (ids may repeat across projects) and draw the new ones.
    Cell cell;
    Project small;
    const Eigen::Vector3d faraway(20, 20, 0.05);
    new CustomItem(small.workspace(), "A");
    (new CustomItem(small.workspace(), "B"))->setPose(makePose(faraway));
    WorkspaceViewer viewer;
    viewer.setProject(&small);
    QVERIFY(drawnBounds(viewer).contains(faraway));
    cell.project.workspace()->remove(cell.loose); // leave only what a project file keeps
    small.fromJson(cell.project.toJson(), QStringLiteral("test cell"));
    viewer.rebuild();
    QCOMPARE(viewer.sceneItemCount(), cell.listed());
    QCOMPARE(viewer.sceneItemCount(), static_cast<int>(small.workspace()->objects().size()));
    QVERIFY2(!drawnBounds(viewer).contains(faraway), "an object of the replaced cell is still drawn");
}

void TestViewer::rebuildWithoutChangesLeavesSceneUntouched() {
    Cell cell;
    WorkspaceViewer viewer;
    viewer.setProject(&cell.project);
    drawnBounds(viewer);
    const auto before = propTimes(viewer);
    viewer.rebuild();
    QCOMPARE(changedProps(before, viewer), 0);

    // A change to one item touches that item's props only (a short move, so that the floor
    // grid need not grow).
    cell.item->setPose(cell.item->pose() * makePose({0.05, 0, 0}));
    viewer.rebuild();
    QCOMPARE(changedProps(before, viewer), 1);
}

void TestViewer::movedObjectIsDrawnAtItsNewPose() {
    Cell cell;
    WorkspaceViewer viewer;
    viewer.setProject(&cell.project);
    const Eigen::Vector3d far(9, -7, 0.05);
    QVERIFY(!drawnBounds(viewer).contains(far));
    cell.item->setPose(makePose(far));
    viewer.rebuild();
    QVERIFY(drawnBounds(viewer).contains(far));
}

void TestViewer::jointChangeKeepsItemsAndMovesTheArm() {
    Project project;
    auto* robot = new UR5eRobot(project.workspace(), "R");
    WorkspaceViewer viewer;
    viewer.setProject(&project);
    const Bounds before = drawnBounds(viewer);
    QVERIFY(before.contains(robot->flangePose().translation(), 0.1));

    Eigen::VectorXd q = robot->jointPositions();
    q[0] += M_PI; // turn the whole arm about its base
    robot->setJointPositions(q);
    viewer.rebuild();
    QCOMPARE(viewer.sceneItemCount(), 1);
    const Bounds after = drawnBounds(viewer);
    QVERIFY(after.contains(robot->flangePose().translation(), 0.1));
    bool moved = false;
    for (int i = 0; i < 6; ++i)
        moved = moved || std::abs(after.b[i] - before.b[i]) > 0.05;
    QVERIFY2(moved, "the arm is drawn where it was before its joints moved");
}

void TestViewer::wristTurnedAboutItsOwnAxisIsDrawnAtItsJoints() {
    // The last joint turns the flange about its own axis: no ball or tube moves, yet the view
    // must know the arm is drawn at the new joint positions (the long day saw it fail).
    Project project;
    auto* robot = new UR5eRobot(project.workspace(), "R");
    WorkspaceViewer viewer;
    viewer.setProject(&project);
    Eigen::VectorXd q = robot->jointPositions();
    q[5] += 1.0;
    robot->setJointPositions(q);
    viewer.rebuild();
    QCOMPARE(viewer._differenceFromModel(), QString());
}

void TestViewer::toolFrameFollowsItsRobot() {
    // A frame two metres beyond the flange lies outside everything else the robot draws, so
    // the drawn bounds show where its item is.
    Project project;
    auto* robot = new UR5eRobot(project.workspace(), "R");
    auto* tool = new ToolFrame(project.workspace(), "Far");
    tool->setOffset(makePose({0, 0, 2}));
    robot->addToolFrame(tool);
    WorkspaceViewer viewer;
    viewer.setProject(&project);
    const Eigen::Vector3d oldTip = tool->pose().translation();
    QVERIFY(drawnBounds(viewer).contains(oldTip));

    Eigen::VectorXd q = robot->jointPositions();
    q[0] += M_PI;
    robot->setJointPositions(q);
    viewer.rebuild();
    const Eigen::Vector3d newTip = tool->pose().translation();
    QVERIFY((newTip - oldTip).norm() > 1.0);
    QVERIFY(drawnBounds(viewer).contains(newTip));
    QVERIFY2(!drawnBounds(viewer).contains(oldTip), "the tool frame stayed behind");
}

void TestViewer::undoRedrawsOnlyWhatTheStepChanged() {
    Cell cell;
    Workspace* ws = cell.project.workspace();
    for (int i = 0; i < 100; ++i)
        new Desk(ws, "Desk");
    WorkspaceViewer viewer;
    viewer.setProject(&cell.project);
    cell.project.history().reset();
    std::map<quint64, vtkProp3D*> props;
    for (const WorkspaceObject* o : ws->objects())
        props[o->id()] = viewer._sceneProp(o->id());

    cell.item->setPose(cell.item->pose() * makePose({0.05, 0, 0}));
    QVERIFY(cell.project.history().record("Move"));
    auto* added = new Desk(ws, "Added");
    QVERIFY(cell.project.history().record("Add"));
    viewer.rebuild();
    const auto before = propTimes(viewer);

    // Undo of an addition drops that one item; undo of a move redraws that one item. Every
    // other object keeps its prop, untouched.
    const quint64 addedId = added->id();
    cell.project.history().undo();
    viewer.rebuild();
    QCOMPARE(viewer._sceneProp(addedId), nullptr);
    QCOMPARE(changedProps(before, viewer), 0);
    QCOMPARE(int(propTimes(viewer).size()), int(before.size()) - 1);
    cell.project.history().undo();
    viewer.rebuild();
    QCOMPARE(changedProps(before, viewer), 1);
    QCOMPARE(viewer._differenceFromModel(), QString());
    // The moved item left its batch when it first moved and is drawn on its own since.
    const vtkProp3D* itemProp = viewer._sceneProp(cell.item->id());
    QVERIFY(itemProp != props[cell.item->id()]);
    for (const auto& [id, prop] : props)
        if (id != cell.item->id())
            QCOMPARE(viewer._sceneProp(id), prop);

    cell.project.history().redo();
    cell.project.history().redo();
    viewer.rebuild();
    QCOMPARE(viewer._differenceFromModel(), QString());
    QVERIFY(viewer._sceneProp(addedId) != nullptr);
    QCOMPARE(viewer._sceneProp(cell.item->id()), itemProp);
}

void TestViewer::heldItemAndGripperFollowTheArmAndComeBackWithUndo() {
    Project project;
    Workspace* ws = project.workspace();
    auto* robot = new UR5eRobot(ws, "R");
    auto* tool = new ToolFrame(ws, "Tip");
    tool->setOffset(makePose({0, 0, 0.2}));
    robot->addToolFrame(tool);
    auto* gripper = new RobotiqGripper2F85(ws, "G");
    gripper->mountOn(robot);
    auto* box = new CustomItem(ws, "Box");
    box->holdWith(tool);
    WorkspaceViewer viewer;
    viewer.setProject(&project);
    project.history().reset();

    Eigen::VectorXd q = robot->jointPositions();
    q[0] += M_PI / 2;
    robot->setJointPositions(q);
    viewer.rebuild();
    QCOMPARE(viewer._differenceFromModel(), QString());
    QVERIFY(project.history().record("Jog"));
    project.history().undo();
    viewer.rebuild();
    QCOMPARE(viewer._differenceFromModel(), QString());

    // A delete of the robot and its undo: the gripper and the item are carried again.
    ws->remove(robot);
    viewer.rebuild();
    QVERIFY(project.history().record("Delete"));
    project.history().undo();
    Robot* back = ws->getRobot("R");
    back->setJointPositions(q);
    viewer.rebuild();
    QCOMPARE(box->heldBy(), ws->getToolFrame("Tip"));
    QCOMPARE(gripper->robot(), back);
    QCOMPARE(viewer._differenceFromModel(), QString());
}

void TestViewer::resetCameraShowsTheWholeCellFromAbove() {
    Cell cell;
    cell.item->setPose(makePose({6, -4, 0.05}));
    WorkspaceViewer viewer;
    viewer.resize(640, 480);
    viewer.setProject(&cell.project);
    viewer.resetCamera();

    vtkRenderer* renderer = viewer._getRenderer();
    vtkCamera* camera = renderer->GetActiveCamera();
    QVERIFY(camera->GetPosition()[2] > camera->GetFocalPoint()[2] + 0.5);
    for (WorkspaceObject* object : cell.project.workspace()->objects()) {
        const Eigen::Vector3d p = object->pose().translation();
        // Normalised view coordinates run from -1 to 1 across the view.
        renderer->SetWorldPoint(p.x(), p.y(), p.z(), 1.0);
        renderer->WorldToView();
        const double* v = renderer->GetViewPoint();
        QVERIFY2(std::abs(v[0]) < 1 && std::abs(v[1]) < 1, qPrintable(object->name() + " is out of view"));
    }
}

void TestViewer::leftDragOrbitsTheCamera() {
    Cell cell;
    WorkspaceViewer viewer;
    viewer.resize(640, 480);
    viewer.setProject(&cell.project);
    viewer.show();
    QVERIFY(QTest::qWaitForWindowExposed(&viewer));
    viewer.setCameraMode();
    viewer.resetCamera();
    viewer.render();

    vtkCamera* camera = viewer._getRenderer()->GetActiveCamera();
    const Eigen::Vector3d focal(camera->GetFocalPoint());
    const Eigen::Vector3d start(camera->GetPosition());
    auto* target = viewer.findChild<QVTKOpenGLNativeWidget*>(QStringLiteral("workspaceViewerRenderWidget"));
    QVERIFY(target);
    auto send = [target](QEvent::Type type, QPoint at, Qt::MouseButtons buttons) {
        QMouseEvent event(type, at, target->mapToGlobal(at), Qt::LeftButton, buttons, Qt::NoModifier);
        QApplication::sendEvent(target, &event);
    };
    send(QEvent::MouseButtonPress, {320, 240}, Qt::LeftButton);
    for (int x = 330; x <= 420; x += 10)
        send(QEvent::MouseMove, {x, 240}, Qt::LeftButton);
    send(QEvent::MouseButtonRelease, {420, 240}, Qt::NoButton);

    const Eigen::Vector3d end(camera->GetPosition());
    QVERIFY2((end - start).norm() > 0.05, "the camera did not move");
    QVERIFY((Eigen::Vector3d(camera->GetFocalPoint()) - focal).norm() < 1e-6);
    QVERIFY(std::abs((end - focal).norm() - (start - focal).norm()) < 1e-3);
}

void TestViewer::hasItsTypeDescriptor() {
    QCOMPARE(WorkspaceViewer::staticType().name(), QStringLiteral("WorkspaceViewer"));
    QVERIFY(&WorkspaceViewer::staticType() == &WorkspaceViewer::staticType());
}

namespace {

/// Pixels that differ between two pictures of the same size by more than `slack` in a channel.
int differingPixels(const QImage& a, const QImage& b, int slack = 0) {
    if (a.size() != b.size())
        return a.width() * a.height();
    int differing = 0;
    for (int y = 0; y < a.height(); ++y)
        for (int x = 0; x < a.width(); ++x) {
            const QRgb p = a.pixel(x, y), q = b.pixel(x, y);
            differing += std::abs(qRed(p) - qRed(q)) > slack || std::abs(qGreen(p) - qGreen(q)) > slack ||
                         std::abs(qBlue(p) - qBlue(q)) > slack;
        }
    return differing;
}

/// Draws one frame of the view as it is now and returns it. (Not through a screenshot: that
/// draws through a copy of the camera, whose view angle is rounded to single precision, and an
/// edge may then fall on the next pixel.)
QImage frame(WorkspaceViewer& viewer) {
    viewer.render();
    auto capture = vtkSmartPointer<vtkWindowToImageFilter>::New();
    capture->SetInput(viewer._getRenderer()->GetRenderWindow());
    capture->ShouldRerenderOff();
    capture->ReadFrontBufferOff();
    capture->SetInputBufferTypeToRGB();
    capture->Update();
    vtkImageData* pixels = capture->GetOutput();
    int dims[3];
    pixels->GetDimensions(dims);
    QImage image(dims[0], dims[1], QImage::Format_RGB888);
    const auto* data = static_cast<const unsigned char*>(pixels->GetScalarPointer());
    for (int y = 0; y < dims[1]; ++y)
        std::copy(data + 3 * dims[0] * y, data + 3 * dims[0] * (y + 1), image.scanLine(dims[1] - 1 - y));
    return image;
}

/// The frame `frame` would give, drawn whole, without the kept images.
QImage wholeFrame(WorkspaceViewer& viewer) {
    viewer.setSceneImageEnabled(false);
    const QImage image = frame(viewer);
    viewer.setSceneImageEnabled(true);
    return image;
}

/// Shows `project` in the viewer at that size, with the camera fitted, and draws it once.
bool showCell(WorkspaceViewer& viewer, Project& project, int width, int height) {
    viewer.resize(width, height);
    viewer.show();
    if (!QTest::qWaitForWindowExposed(&viewer))
        return false;
    viewer.setProject(&project);
    viewer.resetCamera();
    viewer.render();
    return true;
}

} // namespace

void TestViewer::framesOnTheKeptImageLookLikeWholeFrames_data() {
    // Multisampled, the images are multisampled too. Mesa's software rasteriser then drops a
    // sample or two of the translucent fill along the lower and left edges of a redrawn
    // rectangle (its scissor test works on sample positions): a few pixels off by some 20 in a
    // channel where the edge crosses a task region. An object drawn in the wrong place differs
    // by far more.
    QTest::addColumn<int>("samples");
    QTest::addColumn<int>("slack"); // in a colour channel, 0 to 255
    QTest::newRow("as the viewer chose") << -1 << 0;
    QTest::newRow("multisampled") << 4 << 24;
}

void TestViewer::framesOnTheKeptImageLookLikeWholeFrames() {
    // After each kind of edit, the frame drawn on the kept image must be the frame drawn whole,
    // pixel for pixel: an edit the image missed would leave an object where it was.
    QFETCH(int, samples);
    QFETCH(int, slack);
    Cell cell;
    cell.item->setPose(makePose({1.2, -0.8, 0.05}));
    WorkspaceViewer viewer;
    QVERIFY(showCell(viewer, cell.project, 480, 360));
    if (samples >= 0) {
        viewer._getRenderer()->GetRenderWindow()->SetMultiSamples(samples);
        viewer.render();
    }
    QVERIFY2(viewer.isSceneImageUsable(), "this OpenGL cannot copy frames: nothing here is tested");

    // `expectOnImage`: whether the edit should be drawn without redrawing the whole cell.
    auto check = [&](const char* what, bool expectOnImage) {
        viewer.rebuild();
        const WorkspaceViewer::FrameCounts before = viewer.frameCounts();
        const QImage kept = frame(viewer);
        const WorkspaceViewer::FrameCounts after = viewer.frameCounts();
        QVERIFY2(
            (after.whole == before.whole) == expectOnImage,
            qPrintable(QStringLiteral("%1: drawn %2").arg(what, expectOnImage ? "whole" : "on the image")));
        const QImage whole = wholeFrame(viewer);
        viewer.render(); // makes the image again for the next edit
        const int differing = differingPixels(kept, whole, slack);
        QVERIFY2(
            differing == 0,
            qPrintable(QStringLiteral("%1: %2 pixels differ from the whole frame").arg(what).arg(differing)));
    };

    check("nothing changed", true);
    auto* added = new CustomItem(cell.project.workspace(), "Added");
    added->setPose(makePose({-1.0, 0.9, 0.05}));
    check("object added", true);
    // Inside the task region, whose translucent fill must be blended over it as in a whole frame.
    const WorkspaceObject* region = cell.project.workspace()->find(Category::TaskRegion, "Region");
    auto* inside = new CustomItem(cell.project.workspace(), "Inside");
    inside->setSize(Eigen::Vector3d(0.05, 0.05, 0.05));
    inside->setPose(region->pose());
    check("object added inside a task region", true);
    inside->setPose(region->pose() * makePose({0.02, 0, 0}));
    check("settled object moved inside a task region", false);
    inside->setPose(region->pose() * makePose({0.03, 0, 0}));
    check("moving object moved inside a task region", true);
    viewer.setSelectedObject(added->id());
    check("object selected", true);
    added->setName("Renamed");
    check("object renamed", true);

    Eigen::VectorXd q = cell.ur5e->jointPositions();
    q[0] += 0.8;
    cell.ur5e->setJointPositions(q);
    check("settled robot's joints moved", false);
    q[1] -= 0.4;
    cell.ur5e->setJointPositions(q);
    check("moving robot's joints moved again", true);

    cell.item->setPose(makePose({0.6, -1.1, 0.05}));
    check("settled object moved", false);
    cell.item->setSize(Eigen::Vector3d(0.3, 0.2, 0.4));
    check("moving object resized", true);

    // A part shaped as a mesh, and an arm drawn as the shapes of its description.
    QTemporaryDir dir;
    const QString stl = dir.filePath("l.stl");
    QVERIFY(import_samples::writeStl(stl, import_samples::lTriangles()));
    auto* part = new CustomItem(cell.project.workspace(), "Mesh Part");
    part->setMesh(readMeshFile(stl), LengthUnit::Metre);
    part->setSize(Eigen::Vector3d(0.4, 0.4, 0.08));
    part->setPose(makePose({-1.2, -0.9, 0.04}));
    check("mesh item added", true);
    part->setSize(Eigen::Vector3d(0.5, 0.3, 0.1));
    check("settled mesh item resized", false);
    part->setPose(makePose({-1.1, -0.9, 0.05}));
    check("moving mesh item moved", true);
    Robot* arm = new UrdfRobot(
        cell.project.workspace(), "Imported",
        UrdfFile::read(import_samples::writeUr5e(QDir(dir.path())), cell.project.workspace()->meshes())
            .source());
    arm->setPose(makePose({1.4, 1.0, 0}));
    check("imported robot added", true);
    Eigen::VectorXd qa = arm->jointPositions();
    qa[1] -= 0.6;
    arm->setJointPositions(qa);
    check("settled imported robot's joints moved", false);
    qa[2] += 0.5;
    arm->setJointPositions(qa);
    check("moving imported robot's joints moved again", true);

    cell.project.workspace()->remove(cell.project.workspace()->find(Category::Item, "D"));
    check("object deleted", false);
    viewer.setSelectedObject(0);
    check("selection cleared", true);
}

namespace {

/// `blocks` blocks of ten objects, every kind in each, placed apart by the workspace: a robot
/// with a gripper on its flange and a tool frame far beyond it, a desk, two items, a task
/// region, a camera, a marker and a gripper standing on the floor.
void fillLargeCell(Project& project, int blocks) {
    Workspace* ws = project.workspace();
    for (int b = 0; b < blocks; ++b) {
        const QString n = QString::number(b + 1);
        const bool panda = b % 2 == 1;
        Robot* robot = panda ? static_cast<Robot*>(new FrankaPandaRobot(ws, "Robot " + n))
                             : static_cast<Robot*>(new UR5eRobot(ws, "Robot " + n));
        Effector* gripper = panda ? static_cast<Effector*>(new FrankaHand(ws, "Gripper " + n))
                                  : static_cast<Effector*>(new RobotiqGripper2F85(ws, "Gripper " + n));
        gripper->mountOn(robot);
        auto* tool = new ToolFrame(ws, "Tool " + n);
        tool->setOffset(makePose({0, 0, 1.5}));
        robot->addToolFrame(tool);
        new Desk(ws, "Desk " + n);
        new CustomItem(ws, "Part " + n);
        new CustomItem(ws, "Fixture " + n);
        new TaskRegion(ws, "Region " + n);
        new RealsenseD435i(ws, "Camera " + n);
        new VisualMarker(ws, "Marker " + n);
        new RobotiqGripper2F85(ws, "Spare " + n);
    }
    // Task regions take no floor space and would all stand at one place: a row beside the
    // cell, and the spare grippers in a row beyond it, where a click can reach them.
    double maxX = 0, minY = 0;
    for (const WorkspaceObject* o : ws->objects()) {
        maxX = std::max(maxX, o->pose().translation().x());
        minY = std::min(minY, o->pose().translation().y());
    }
    for (int b = 0; b < blocks; ++b) {
        WorkspaceObject* region = ws->find(Category::TaskRegion, "Region " + QString::number(b + 1));
        region->setPose(makePose({maxX + 1.5, minY + 0.8 * b, 0.3}));
        ws->find(Category::Effector, "Spare " + QString::number(b + 1))
            ->setPose(makePose({maxX + 3.0, minY + 0.8 * b, 0.05}));
    }
}

/// A box in the world sure to hold all that is drawn of `object` (more, for most).
Bounds roughBounds(const WorkspaceObject& object) {
    std::vector<Eigen::Vector3d> points;
    double margin = 0.02;
    const Pose pose = object.pose();
    switch (object.kind()) {
    case ObjectKind::Robot: {
        const auto& robot = static_cast<const Robot&>(object);
        for (const Pose& frame : robot.linkFrames(robot.jointPositions()))
            points.push_back(frame.translation());
        points.push_back(pose * Eigen::Vector3d(0, 0, object.size().z()));
        margin += object.size().norm() + robot.linkRadius() * kJointBallScale;
        break;
    }
    case ObjectKind::ToolFrame:
        points.push_back(pose.translation());
        for (int axis = 0; axis < 3; ++axis)
            points.push_back(pose * (0.1 * Eigen::Vector3d::Unit(axis)));
        break;
    default: {
        // The body's box, a desk's from the floor up; an effector's fingers besides.
        const Eigen::Vector3d half = object.size() / 2 + Eigen::Vector3d::Constant(0.003);
        const double lift = object.kind() == ObjectKind::Desk ? half.z() : 0.0;
        std::vector<std::pair<Eigen::Vector3d, Eigen::Vector3d>> boxes{{Eigen::Vector3d(0, 0, lift), half}};
        if (object.kind() == ObjectKind::Effector)
            for (const Effector::Box& finger : static_cast<const Effector&>(object).fingers())
                boxes.emplace_back(finger.centre, finger.extent / 2);
        for (const auto& [centre, extent] : boxes)
            for (int corner = 0; corner < 8; ++corner)
                points.push_back(pose * (centre + Eigen::Vector3d(corner & 1 ? extent.x() : -extent.x(),
                                                                  corner & 2 ? extent.y() : -extent.y(),
                                                                  corner & 4 ? extent.z() : -extent.z())));
        break;
    }
    }
    Bounds b{{1e9, -1e9, 1e9, -1e9, 1e9, -1e9}};
    for (const Eigen::Vector3d& p : points)
        for (int axis = 0; axis < 3; ++axis) {
            b.b[2 * axis] = std::min(b.b[2 * axis], p[axis] - margin);
            b.b[2 * axis + 1] = std::max(b.b[2 * axis + 1], p[axis] + margin);
        }
    return b;
}

/// A point on `object` that a click may aim at: inside its body, or where a tool frame's axes meet.
Eigen::Vector3d aimAt(const WorkspaceObject& object) {
    const Pose pose = object.pose();
    switch (object.kind()) {
    case ObjectKind::Robot:
        return pose * Eigen::Vector3d(0, 0, object.size().z() / 2); // the base
    case ObjectKind::Desk:
        return pose * Eigen::Vector3d(0, 0, object.size().z() - 0.01); // the top
    default:
        return pose.translation();
    }
}

/// World to window pixels (x from the left, y from the bottom) for the view as it is now.
struct Projection {
    Eigen::Matrix4d m;
    int width, height;
    explicit Projection(WorkspaceViewer& viewer) {
        const int* size = viewer._getRenderer()->GetRenderWindow()->GetSize();
        width = size[0];
        height = size[1];
        vtkMatrix4x4* toScreen =
            viewer._getRenderer()->GetActiveCamera()->GetCompositeProjectionTransformMatrix(
                double(width) / height, -1, 1);
        for (int r = 0; r < 4; ++r)
            for (int c = 0; c < 4; ++c)
                m(r, c) = toScreen->GetElement(r, c);
    }
    Eigen::Vector2d operator()(const Eigen::Vector3d& p) const {
        const Eigen::Vector4d s = m * p.homogeneous();
        return {(s.x() / s.w() + 1) / 2 * width, (s.y() / s.w() + 1) / 2 * height};
    }
    QRectF rect(const Bounds& b) const {
        Eigen::Vector2d low = Eigen::Vector2d::Constant(1e9), high = -low;
        for (int corner = 0; corner < 8; ++corner) {
            const Eigen::Vector2d p = (*this)(
                Eigen::Vector3d(b.b[corner & 1], b.b[2 + ((corner >> 1) & 1)], b.b[4 + (corner >> 2)]));
            low = low.cwiseMin(p);
            high = high.cwiseMax(p);
        }
        return QRectF(low.x() - 2, low.y() - 2, high.x() - low.x() + 4, high.y() - low.y() + 4);
    }
};

} // namespace

namespace {

/// The arm of import_samples::writeUr5e, written into `folder` and imported.
UrdfRobot* importArm(Workspace* ws, const QString& folder, const QString& name, bool meshes = true) {
    const QString path = import_samples::writeUr5e(QDir(folder), QString(), meshes);
    return new UrdfRobot(ws, name, UrdfFile::read(path, ws->meshes()).source());
}

/// The parts of an object drawn on its own (batching off).
vtkProp3DCollection* loosePartsOf(WorkspaceViewer& viewer, const WorkspaceObject& object) {
    auto* assembly = vtkAssembly::SafeDownCast(viewer._sceneProp(object.id()));
    return assembly ? assembly->GetParts() : nullptr;
}

vtkMapper* mapperOfPart(WorkspaceViewer& viewer, const WorkspaceObject& object, int index) {
    vtkProp3DCollection* parts = loosePartsOf(viewer, object);
    auto* actor = parts ? vtkActor::SafeDownCast(parts->GetItemAsObject(index)) : nullptr;
    return actor ? actor->GetMapper() : nullptr;
}

Bounds boundsOf(vtkProp3D* prop) {
    Bounds b;
    prop->GetBounds(b.b);
    return b;
}

bool sameBounds(const Bounds& a, const Bounds& b, double tolerance) {
    for (int i = 0; i < 6; ++i)
        if (!(std::abs(a.b[i] - b.b[i]) <= tolerance))
            return false;
    return true;
}

QString text(const Bounds& b) {
    return QStringLiteral("x %1..%2 y %3..%4 z %5..%6")
        .arg(b.b[0])
        .arg(b.b[1])
        .arg(b.b[2])
        .arg(b.b[3])
        .arg(b.b[4])
        .arg(b.b[5]);
}

} // namespace

void TestViewer::clickingEachKindInALargeCellSelectsIt() {
    // For each kind, an object whose aim point on screen lies in no other object's rectangle:
    // a click there must select that object, drawn among hundreds in shared batches.
    Project project;
    fillLargeCell(project, 30);
    WorkspaceViewer viewer;
    QVERIFY(showCell(viewer, project, 960, 720));
    QCOMPARE(viewer.sceneItemCount(), 300);
    QCOMPARE(viewer._batchedItemCount(), 300);

    const Projection toScreen(viewer);
    const std::vector<WorkspaceObject*> objects = project.workspace()->objects();
    std::vector<QRectF> rects;
    for (const WorkspaceObject* o : objects)
        rects.push_back(toScreen.rect(roughBounds(*o)));
    auto* target = viewer.findChild<QVTKOpenGLNativeWidget*>(QStringLiteral("workspaceViewerRenderWidget"));
    QVERIFY(target);
    const qreal ratio = target->devicePixelRatioF();
    QSignalSpy clicked(&viewer, &WorkspaceViewer::objectClicked);

    const ObjectKind kinds[] = {ObjectKind::Robot,      ObjectKind::Effector, ObjectKind::ToolFrame,
                                ObjectKind::CustomItem, ObjectKind::Desk,     ObjectKind::TaskRegion,
                                ObjectKind::Camera,     ObjectKind::Marker};
    for (ObjectKind kind : kinds) {
        const WorkspaceObject* chosen = nullptr;
        Eigen::Vector2d pixel = Eigen::Vector2d::Zero();
        for (size_t i = 0; i < objects.size() && !chosen; ++i) {
            if (objects[i]->kind() != kind)
                continue;
            pixel = toScreen(aimAt(*objects[i]));
            if (pixel.x() < 5 || pixel.y() < 5 || pixel.x() > toScreen.width - 5 ||
                pixel.y() > toScreen.height - 5)
                continue;
            bool alone = true;
            for (size_t j = 0; j < objects.size() && alone; ++j)
                alone = j == i || !rects[j].contains(pixel.x(), pixel.y());
            if (alone)
                chosen = objects[i];
        }
        QVERIFY2(chosen,
                 qPrintable(QStringLiteral("no object of kind %1 stands alone on screen").arg(int(kind))));
        // The pixel that holds the point: window pixels count from the bottom, widget ones from the top.
        const QPoint at(int(std::floor(pixel.x()) / ratio),
                        int((toScreen.height - 1 - std::floor(pixel.y())) / ratio));
        for (QEvent::Type type : {QEvent::MouseButtonPress, QEvent::MouseButtonRelease}) {
            QMouseEvent event(type, at, target->mapToGlobal(at), Qt::LeftButton,
                              type == QEvent::MouseButtonPress ? Qt::LeftButton : Qt::NoButton,
                              Qt::NoModifier);
            QApplication::sendEvent(target, &event);
        }
        QVERIFY2(!clicked.isEmpty(), qPrintable(chosen->name()));
        const quint64 got = clicked.takeLast().at(0).toULongLong();
        const WorkspaceObject* other = project.workspace()->findById(got);
        QVERIFY2(got == chosen->id(),
                 qPrintable(QStringLiteral("a click on '%1' selected '%2'")
                                .arg(chosen->name(), other ? other->name() : "nothing")));
    }
    // A click on empty floor selects nothing.
    QCOMPARE(viewer.objectAt(QPoint(2, 2)), quint64(0));
}

void TestViewer::anEditADeleteAnUndoAndAGraspRedrawOnlyTheirObjects() {
    // Each change takes exactly the objects it touched out of the batches, and the frame drawn
    // on the kept image is the frame drawn whole, pixel for pixel.
    Project project;
    fillLargeCell(project, 5);
    Workspace* ws = project.workspace();
    WorkspaceViewer viewer;
    QVERIFY(showCell(viewer, project, 480, 360));
    QVERIFY2(viewer.isSceneImageUsable(), "this OpenGL cannot copy frames: nothing here is tested");
    project.history().reset();
    QCOMPARE(viewer._batchedItemCount(), viewer.sceneItemCount());

    auto check = [&](const char* what, int loose) {
        viewer.rebuild();
        const QImage kept = frame(viewer);
        const QImage whole = wholeFrame(viewer);
        viewer.render();
        QVERIFY2(differingPixels(kept, whole) == 0,
                 qPrintable(QStringLiteral("%1: pixels differ").arg(what)));
        QVERIFY2(viewer._differenceFromModel().isEmpty(),
                 qPrintable(what + (": " + viewer._differenceFromModel())));
        QVERIFY2(viewer.sceneItemCount() - viewer._batchedItemCount() == loose,
                 qPrintable(QStringLiteral("%1: %2 objects drawn on their own, not %3")
                                .arg(what)
                                .arg(viewer.sceneItemCount() - viewer._batchedItemCount())
                                .arg(loose)));
    };

    auto* edited = static_cast<CustomItem*>(ws->find(Category::Item, "Part 2"));
    edited->setSize(Eigen::Vector3d(0.3, 0.2, 0.25));
    QVERIFY(project.history().record("Edit"));
    check("edit", 1);

    ws->remove(ws->find(Category::Item, "Desk 3"));
    QVERIFY(project.history().record("Delete"));
    check("delete", 1);
    QCOMPARE(viewer.sceneItemCount(), 49);

    project.history().undo();
    check("undo of the delete", 2);
    QCOMPARE(viewer.sceneItemCount(), 50);

    // The held item rides on the tool frame: the robot, its gripper, its tool frame and the
    // item move; nothing else does.
    auto* held = static_cast<CustomItem*>(ws->find(Category::Item, "Fixture 4"));
    Robot* robot = ws->getRobot("Robot 4");
    held->holdWith(ws->getToolFrame("Tool 4"));
    Eigen::VectorXd q = robot->jointPositions();
    q[0] += 0.7;
    robot->setJointPositions(q);
    check("grasp and move", 6);
}

void TestViewer::farRobotsAreDrawnCoarserAndLookTheSame() {
    // Robots a few pixels wide are drawn from fewer triangles, in the batches only; the picture
    // stays that of the robots drawn in full (on their own), and coming near draws them in full.
    Project project;
    fillLargeCell(project, 20);
    WorkspaceViewer viewer;
    QVERIFY(showCell(viewer, project, 640, 480));
    vtkCamera* camera = viewer._getRenderer()->GetActiveCamera();
    // Near: a robot filling a good part of the view.
    const Robot* robot = project.workspace()->getRobot("Robot 7");
    const Eigen::Vector3d base = robot->pose().translation();
    camera->SetFocalPoint(base.x(), base.y(), base.z() + 0.5);
    camera->SetPosition(base.x() + 2, base.y() - 2, base.z() + 1.5);
    viewer.render();
    viewer.setBatchingEnabled(false);
    const long full = viewer._drawnTriangleCount();
    const long robotInFull = viewer._drawnTriangleCount(robot->id());
    viewer.setBatchingEnabled(true);
    QCOMPARE(viewer._drawnTriangleCount(robot->id()), robotInFull);

    // The whole cell fitted, then from four times as far: every robot is a few pixels wide.
    for (double dolly : {1.0, 0.25}) {
        viewer.resetCamera();
        camera->Dolly(dolly);
        viewer.render();
        const long drawn = viewer._drawnTriangleCount();
        const QImage batched = frame(viewer);
        viewer.setBatchingEnabled(false);
        QCOMPARE(viewer._drawnTriangleCount(), full);
        const QImage own = frame(viewer);
        viewer.setBatchingEnabled(true);
        const int pixels = batched.width() * batched.height();
        const int differing = differingPixels(batched, own, 40);
        // Instances and actors of their own differ along a few edges by rounding alone (about
        // 0.06% of the pixels of the fitted view); the coarser balls and rods add as much again.
        QVERIFY2(differing <= pixels / 500,
                 qPrintable(QStringLiteral("dolly %1: %2 pixels differ").arg(dolly).arg(differing)));
        QVERIFY2(drawn < full * 2 / 3, qPrintable(QStringLiteral("%1 triangles of %2").arg(drawn).arg(full)));
    }

    // Back near the robot: in full again.
    camera->SetFocalPoint(base.x(), base.y(), base.z() + 0.5);
    camera->SetPosition(base.x() + 2, base.y() - 2, base.z() + 1.5);
    viewer.render();
    QCOMPARE(viewer._drawnTriangleCount(robot->id()), robotInFull);
    QCOMPARE(viewer._differenceFromModel(), QString());
}

void TestViewer::batchedDemoCellLooksAsDrawnObjectByObject() {
    // The demo cell drawn as instances, and drawn object by object as it was before instances:
    // the same picture, but for the rounding of single precision along a few edges.
    Project demo;
    demo.load(QStringLiteral(KESTRIN_SOURCE_DIR "/data/templates/demo_cell.kestrin"));
    // With parts shaped as meshes and an imported arm: their normals must reach the instances.
    QTemporaryDir dir;
    const QString stl = dir.filePath("l.stl");
    QVERIFY(import_samples::writeStl(stl, import_samples::lTriangles()));
    for (int i = 0; i < 3; ++i) {
        auto* part = new CustomItem(demo.workspace(), QStringLiteral("Mesh Part %1").arg(i));
        part->setMesh(readMeshFile(stl), LengthUnit::Metre);
        part->setSize(Eigen::Vector3d(0.5, 0.4, 0.15));
        part->setPose(makePose({-1.5 + i * 0.8, -1.6, 0.075}) *
                      Pose(Eigen::AngleAxisd(0.5 * i, Eigen::Vector3d::UnitZ())));
    }
    Robot* arm = importArm(demo.workspace(), dir.path(), "Imported");
    arm->setPose(makePose({1.6, -1.6, 0}));
    Eigen::VectorXd q = arm->jointPositions();
    q << 0.3, -1.0, 1.2, -0.5, 0.8, 0.2;
    arm->setJointPositions(q);
    Project empty;
    WorkspaceViewer viewer;
    QVERIFY(showCell(viewer, demo, 640, 480));
    QCOMPARE(viewer._batchedItemCount(), viewer.sceneItemCount());
    const QImage batched = frame(viewer);
    viewer.setBatchingEnabled(false);
    QCOMPARE(viewer._batchedItemCount(), 0);
    QCOMPARE(viewer._differenceFromModel(), QString());
    const QImage own = frame(viewer);
    viewer.setBatchingEnabled(true);
    QCOMPARE(viewer._batchedItemCount(), viewer.sceneItemCount());
    const int pixels = batched.width() * batched.height();
    const int differing = differingPixels(batched, own, 40);
    QVERIFY2(differing <= pixels / 1000, qPrintable(QStringLiteral("%1 pixels differ").arg(differing)));

    // And the picture holds the cell, not only the floor.
    viewer.setProject(&empty);
    QVERIFY(differingPixels(batched, frame(viewer)) > pixels / 50);
}

void TestViewer::objectsAddedOneByOneGoBackIntoTheBatches() {
    // Objects added one at a time are drawn on their own; past a hundred of them, those that
    // have not changed lately go into the batches (one whole frame). Many added at once go
    // there straight away.
    Cell cell;
    WorkspaceViewer viewer;
    QVERIFY(showCell(viewer, cell.project, 320, 240));
    const int listed = cell.listed();
    QCOMPARE(viewer._batchedItemCount(), listed);
    for (int i = 1; i <= 100; ++i) {
        new CustomItem(cell.project.workspace(), QStringLiteral("One %1").arg(i));
        viewer.rebuild();
    }
    QCOMPARE(viewer._batchedItemCount(), listed);
    QCOMPARE(viewer.sceneItemCount(), listed + 100);
    new CustomItem(cell.project.workspace(), QStringLiteral("One 101"));
    viewer.rebuild();
    // The last two changed in the last rebuilds and stay on their own.
    QCOMPARE(viewer._batchedItemCount(), listed + 99);
    QCOMPARE(viewer._differenceFromModel(), QString());
    const QImage kept = frame(viewer);
    QCOMPARE(differingPixels(kept, wholeFrame(viewer)), 0);

    for (int i = 1; i <= 150; ++i)
        new CustomItem(cell.project.workspace(), QStringLiteral("Many %1").arg(i));
    viewer.rebuild();
    QCOMPARE(viewer._batchedItemCount(), listed + 99 + 150);
    QCOMPARE(viewer._differenceFromModel(), QString());
}

void TestViewer::meshShapesAreSharedAndPlacedByTheirObjects() {
    // Two items of one mesh draw one shape (one batch), an arm's seven links of another mesh
    // another; each mesh is stretched to its item's size and its box centred on the pose.
    QTemporaryDir dir;
    const QString stl = dir.filePath("l.stl");
    QVERIFY(import_samples::writeStl(stl, import_samples::lTriangles()));
    Project project;
    Workspace* ws = project.workspace();
    auto* a = new CustomItem(ws, "A");
    a->setMesh(readMeshFile(stl), LengthUnit::Metre);
    auto* b = new CustomItem(ws, "B");
    b->setMesh(readMeshFile(stl), LengthUnit::Metre);
    b->setSize(Eigen::Vector3d(2.0, 0.5, 0.1));
    b->setPose(makePose({3, 2, 0.05}) * Pose(Eigen::AngleAxisd(0.3, Eigen::Vector3d::UnitZ())));
    UrdfRobot* arm = importArm(ws, dir.path(), "Arm");
    WorkspaceViewer viewer;
    QVERIFY(showCell(viewer, project, 320, 240));
    QCOMPARE(viewer._differenceFromModel(), QString());
    QCOMPARE(viewer._batchedItemCount(), 3);
    QVERIFY(viewer._sceneProp(a->id()));
    QCOMPARE(viewer._sceneProp(a->id()), viewer._sceneProp(b->id()));
    QVERIFY(viewer._sceneProp(arm->id()) != viewer._sceneProp(a->id()));
    // A click finds an item where its triangles are, not in the empty corner of its box.
    const Projection toScreen(viewer);
    const qreal ratio =
        viewer.findChild<QVTKOpenGLNativeWidget*>(QStringLiteral("workspaceViewerRenderWidget"))
            ->devicePixelRatioF();
    auto pixelOf = [&](const Eigen::Vector3d& local) {
        const Eigen::Vector2d p = toScreen(a->pose() * local);
        return QPoint(int(std::floor(p.x()) / ratio), int((toScreen.height - 1 - std::floor(p.y())) / ratio));
    };
    QCOMPARE(viewer.objectAt(pixelOf({0.2, -0.4, 0.1})), a->id());
    QCOMPARE(viewer.objectAt(pixelOf({0.2, 0.2, 0.1})), quint64(0));

    viewer.setBatchingEnabled(false);
    QCOMPARE(viewer._differenceFromModel(), QString());
    QVERIFY(mapperOfPart(viewer, *a, 0));
    QCOMPARE(mapperOfPart(viewer, *a, 0), mapperOfPart(viewer, *b, 0));
    // A block per link, and no base box, balls or tubes.
    QCOMPARE(loosePartsOf(viewer, *arm)->GetNumberOfItems(), 7);
    for (int i = 1; i < 7; ++i)
        QCOMPARE(mapperOfPart(viewer, *arm, i), mapperOfPart(viewer, *arm, 0));
    QVERIFY(mapperOfPart(viewer, *arm, 0) != mapperOfPart(viewer, *a, 0));

    // B, turned about z: its 2 x 0.5 box turned, round its pose.
    Bounds expected;
    const Eigen::Vector3d centre = b->pose().translation();
    const double c = std::cos(0.3), s = std::sin(0.3);
    const Eigen::Vector3d half(c * 1.0 + s * 0.25, s * 1.0 + c * 0.25, 0.05);
    for (int axis = 0; axis < 3; ++axis) {
        expected.b[2 * axis] = centre[axis] - half[axis];
        expected.b[2 * axis + 1] = centre[axis] + half[axis];
    }
    const Bounds drawn = boundsOf(viewer._sceneProp(b->id()));
    QVERIFY2(sameBounds(drawn, expected, 1e-5), qPrintable(text(drawn) + " instead of " + text(expected)));
}

void TestViewer::importedRobotIsDrawnAsItsLinkShapesAtItsFrames() {
    // Each link's 5 cm block is drawn at its link frame, whatever the joints; a description
    // without visual geometry is drawn as its collision cylinders.
    QTemporaryDir dir, bare;
    Project project;
    Workspace* ws = project.workspace();
    UrdfRobot* arm = importArm(ws, dir.path(), "Arm");
    UrdfRobot* plain = importArm(ws, bare.path(), "Plain", false);
    WorkspaceViewer viewer;
    QVERIFY(showCell(viewer, project, 320, 240));
    viewer.setBatchingEnabled(false);
    QCOMPARE(loosePartsOf(viewer, *plain)->GetNumberOfItems(), 7);
    QVERIFY(mapperOfPart(viewer, *plain, 0) != mapperOfPart(viewer, *arm, 0));

    auto expectedBounds = [&] {
        Bounds b{{1e9, -1e9, 1e9, -1e9, 1e9, -1e9}};
        const std::vector<Pose> frames = arm->linkFrames(arm->jointPositions());
        for (size_t f = 0; f < 7; ++f) // the flange has no block
            for (int corner = 0; corner < 8; ++corner) {
                const Eigen::Vector3d p =
                    frames[f] * Eigen::Vector3d(corner & 1 ? 0.025 : -0.025, corner & 2 ? 0.025 : -0.025,
                                                corner & 4 ? 0.025 : -0.025);
                for (int axis = 0; axis < 3; ++axis) {
                    b.b[2 * axis] = std::min(b.b[2 * axis], p[axis]);
                    b.b[2 * axis + 1] = std::max(b.b[2 * axis + 1], p[axis]);
                }
            }
        return b;
    };
    auto check = [&](const char* when) {
        viewer.rebuild();
        QVERIFY2(viewer._differenceFromModel().isEmpty(),
                 qPrintable(when + (": " + viewer._differenceFromModel())));
        const Bounds drawn = boundsOf(viewer._sceneProp(arm->id()));
        const Bounds expected = expectedBounds();
        QVERIFY2(sameBounds(drawn, expected, 1e-5),
                 qPrintable(QStringLiteral("%1: %2 instead of %3").arg(when, text(drawn), text(expected))));
    };
    check("at home");
    Eigen::VectorXd q = arm->jointPositions();
    q << 0.4, -1.2, 1.5, -0.7, 0.9, 2.0;
    arm->setJointPositions(q);
    check("joints moved");
    arm->setPose(makePose({0.8, -0.6, 0}) * Pose(Eigen::AngleAxisd(1.0, Eigen::Vector3d::UnitZ())));
    check("robot moved and turned");
    viewer.setBatchingEnabled(true);
    QCOMPARE(viewer._differenceFromModel(), QString());
}

void TestViewer::anOpenMeshIsSeenFromBelowToo() {
    // A plate drawn as one face, facing up: back faces are not drawn, so its underside must be
    // a face of its own.
    QTemporaryDir dir;
    const QString stl = dir.filePath("plate.stl");
    using V = Eigen::Vector3f;
    QVERIFY(import_samples::writeStl(
        stl, {{V(0, 0, 0), V(1, 0, 0), V(1, 1, 0)}, {V(0, 0, 0), V(1, 1, 0), V(0, 1, 0)}}));
    Project project, empty;
    auto* plate = new CustomItem(project.workspace(), "Plate");
    plate->setMesh(readMeshFile(stl), LengthUnit::Metre);
    plate->setPose(makePose({0, 0, 0.3}));
    WorkspaceViewer viewer;
    QVERIFY(showCell(viewer, project, 320, 240));
    auto lookFrom = [&](double z) {
        vtkCamera* camera = viewer._getRenderer()->GetActiveCamera();
        camera->SetFocalPoint(0, 0, 0.3);
        camera->SetPosition(0.01, 0.01, 0.3 + z);
        camera->SetViewUp(0, 1, 0);
        viewer._getRenderer()->ResetCameraClippingRange();
        return frame(viewer);
    };
    for (double z : {3.0, -3.0}) {
        viewer.setProject(&project);
        const QImage with = lookFrom(z);
        viewer.setProject(&empty);
        const QImage without = lookFrom(z);
        const int differing = differingPixels(with, without, 10);
        QVERIFY2(
            differing > with.width() * with.height() / 20,
            qPrintable(QStringLiteral("seen from z %1: %2 pixels show the plate").arg(z).arg(differing)));
    }
}

void TestViewer::softwareRenderingDrawsWithoutMultisampling() {
    WorkspaceViewer viewer;
    viewer.resize(200, 150);
    viewer.show();
    QVERIFY(QTest::qWaitForWindowExposed(&viewer));
    viewer.render();
    auto* window = vtkOpenGLRenderWindow::SafeDownCast(viewer._getRenderer()->GetRenderWindow());
    QVERIFY(window);
    const QString renderer = QString::fromStdString(window->ReportCapabilities());
    if (!renderer.contains("llvmpipe") && !renderer.contains("softpipe"))
        QSKIP("drawn by a graphics card: multisampling stays as asked");
    QCOMPARE(window->GetMultiSamples(), 0);
}

void TestViewer::keptImageFollowsCameraAndProject() {
    Cell cell;
    Project other;
    new Desk(other.workspace(), "Only");
    WorkspaceViewer viewer;
    QVERIFY(showCell(viewer, cell.project, 320, 240));
    viewer.render();
    QVERIFY(viewer.isSceneImageUsable());

    // A turn of the camera, a new project and a new window size each draw whole frames, and
    // each such frame looks as it would without the image.
    auto wholeAfter = [&](const char* what, const std::function<void()>& change) {
        const auto before = viewer.frameCounts();
        change();
        viewer.rebuild();
        const QImage kept = frame(viewer);
        QVERIFY2(viewer.frameCounts().whole > before.whole, what);
        QVERIFY2(differingPixels(kept, wholeFrame(viewer)) == 0, what);
    };
    wholeAfter("camera turned", [&] { viewer._getRenderer()->GetActiveCamera()->Azimuth(20); });
    wholeAfter("other project", [&] { viewer.setProject(&other); });
    wholeAfter("window resized", [&] {
        viewer.resize(360, 260);
        QTest::qWait(50);
    });
    viewer.render();
    const auto before = viewer.frameCounts();
    viewer.render();
    QCOMPARE(viewer.frameCounts().onImage, before.onImage + 1);
}

void TestViewer::screenshotShowsTheCell() {
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    Project empty;
    Cell cell;
    WorkspaceViewer viewer;
    viewer.resize(480, 360);
    viewer.show();
    QVERIFY(QTest::qWaitForWindowExposed(&viewer));

    viewer.setProject(&empty);
    viewer.resetCamera();
    const QString emptyShot = dir.filePath("empty.png");
    viewer.screenshot(emptyShot);

    viewer.setProject(&cell.project);
    viewer.resetCamera();
    const QString cellShot = dir.filePath("cell.png");
    viewer.screenshot(cellShot);

    QVERIFY(QFileInfo(cellShot).size() > 0);
    QImage image(cellShot);
    QVERIFY2(!image.isNull(), "the screenshot is not a readable PNG");
    QVERIFY(image.width() >= 100 && image.height() >= 100);
    QVERIFY2(distinctColours(image) > 20, "the screenshot is (nearly) one flat colour");

    // The objects must be in the picture, not only the background and the floor.
    const QImage background(emptyShot);
    QCOMPARE(background.size(), image.size());
    int differing = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            differing += image.pixel(x, y) != background.pixel(x, y);
    QVERIFY2(differing > image.width() * image.height() / 50, "the cell's objects are not in the picture");
}

void TestViewer::screenshotOfAViewNeverShownShowsTheCell() {
    // Scripts and headless runs save pictures of a view that was never on screen.
    QTemporaryDir dir;
    Cell cell;
    WorkspaceViewer viewer;
    viewer.resize(320, 240);
    viewer.setProject(&cell.project);
    viewer.resetCamera();
    const QString hiddenShot = dir.filePath("hidden.png");
    viewer.screenshot(hiddenShot);
    const QImage image(hiddenShot);
    QVERIFY(!image.isNull());
    QCOMPARE(image.size(), QSize(320, 240) * viewer.devicePixelRatioF());
    QVERIFY2(distinctColours(image) > 20, "the screenshot is (nearly) one flat colour");

    // Showing the view afterwards must not spoil later pictures.
    viewer.show();
    QVERIFY(QTest::qWaitForWindowExposed(&viewer));
    const QString shownShot = dir.filePath("shown.png");
    viewer.screenshot(shownShot);
    QVERIFY(distinctColours(QImage(shownShot)) > 20);
}

void TestViewer::screenshotIntoMissingFolderFailsNamingThePath() {
    QTemporaryDir dir;
    WorkspaceViewer viewer;
    viewer.resize(320, 240);
    viewer.show();
    QVERIFY(QTest::qWaitForWindowExposed(&viewer));
    const QString path = dir.filePath("missing/shot.png");
    try {
        viewer.screenshot(path);
        QFAIL("no FileError for a missing folder");
    } catch (const FileError& e) {
        QVERIFY2(e.message().contains(path), qPrintable(e.message()));
        QVERIFY2(e.message().contains("does not exist"), qPrintable(e.message()));
    }
    QVERIFY(!QFileInfo::exists(path));
}

void TestViewer::screenshotOntoAFolderFailsNamingThePath() {
    QTemporaryDir dir;
    WorkspaceViewer viewer;
    viewer.resize(320, 240);
    viewer.show();
    QVERIFY(QTest::qWaitForWindowExposed(&viewer));
    const QString path = dir.filePath("taken.png");
    QVERIFY(QDir(dir.path()).mkdir("taken.png"));
    try {
        viewer.screenshot(path);
        QFAIL("no FileError for a folder in the file's place");
    } catch (const FileError& e) {
        QVERIFY2(e.message().contains(path), qPrintable(e.message()));
    }
    QVERIFY(QFileInfo(path).isDir());
}

int main(int argc, char** argv) {
    // The format must be in place before the application exists, or VTK gets no usable context.
    QSurfaceFormat::setDefaultFormat(QVTKOpenGLNativeWidget::defaultFormat());
    QApplication app(argc, argv);
    TestViewer test;
    return QTest::qExec(&test, argc, argv);
}

#include "test_viewer.moc"
