// Robots from URDF descriptions and items from mesh files: what is read, what is refused and
// why, how they are checked for collisions, and how a project keeps them.

#include "import_samples.h"
#include "model_support.h"

#include <kestrin/collision.h>
#include <kestrin/copied_parts.h>
#include <kestrin/mesh.h>
#include <kestrin/program_runner.h>
#include <kestrin/trials.h>
#include <kestrin/urdf_robot.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <random>

using namespace kestrin;
using namespace model_test;
using import_samples::writeUr5e;

namespace {

/// The sample arm imported into `project`.
UrdfRobot* importUr5e(Project& project, const QDir& folder, const QString& extra = QString()) {
    const QString path = writeUr5e(folder, extra);
    const UrdfFile file = UrdfFile::read(path, project.workspace()->meshes());
    return new UrdfRobot(project.workspace(), "Imported", file.source(QString(), "flange"));
}

/// The message reading `urdf` (with the sample's meshes beside it) throws.
QString importError(const QDir& folder, const QString& urdf) {
    QFile file(folder.filePath("bad.urdf"));
    file.open(QIODevice::WriteOnly);
    file.write(urdf.toUtf8());
    file.close();
    Project project;
    try {
        const UrdfFile read = UrdfFile::read(file.fileName(), project.workspace()->meshes());
        new UrdfRobot(project.workspace(), "Bad", read.source());
    } catch (const Error& e) {
        return e.message();
    }
    return QString();
}

QString link(const QString& name, const QString& inside = QString()) {
    return QStringLiteral("<link name=\"%1\">%2</link>").arg(name, inside);
}

QString joint(
    const QString& name, const QString& type, const QString& parent, const QString& child,
    const QString& inside = QStringLiteral("<limit lower=\"-1\" upper=\"1\" velocity=\"1\" effort=\"1\"/>")) {
    return QStringLiteral("<joint name=\"%1\" type=\"%2\"><parent link=\"%3\"/><child link=\"%4\"/>"
                          "<axis xyz=\"0 0 1\"/>%5</joint>")
        .arg(name, type, parent, child, inside);
}

QString robot(const QString& inside) {
    return QStringLiteral("<?xml version=\"1.0\"?><robot name=\"r\">%1</robot>").arg(inside);
}

/// An item of the L-shaped mesh (1 x 1 x 0.2 m) in the cell.
CustomItem* lItem(Workspace* ws, const QDir& folder) {
    import_samples::writeStl(folder.filePath("l.stl"), import_samples::lTriangles());
    auto* item = new CustomItem(ws, "L");
    item->setMesh(readMeshFile(folder.filePath("l.stl")), LengthUnit::Metre);
    return item;
}

} // namespace

class TestImport : public QObject {
    Q_OBJECT

private slots:
    void importedArmMovesAsThePublishedUr5e() {
        QTemporaryDir dir;
        Project project;
        UrdfRobot* arm = importUr5e(project, QDir(dir.path()));
        auto* reference = new UR5eRobot(project.workspace(), "Reference");
        QCOMPARE(arm->getNumDofs(), 6);
        QCOMPARE(arm->linkName(0), QString("base_link"));
        QCOMPARE(arm->linkName(6), QString("wrist_3_link"));
        QCOMPARE(arm->upperLimits()[2], kPi);
        QCOMPARE(arm->maxJointVelocities()[0], 3.14159);
        QCOMPARE(arm->maxJointAccelerations()[0], 2 * 3.14159);

        std::mt19937_64 rng(7);
        std::uniform_real_distribution<double> turn(-kPi, kPi);
        for (int k = 0; k < 200; ++k) {
            Eigen::VectorXd q(6);
            for (int j = 0; j < 6; ++j)
                q[j] = turn(rng);
            const Pose a = arm->flangeInBase(q), b = reference->flangeInBase(q);
            QVERIFY2((a.translation() - b.translation()).norm() < 1e-9, qPrintable(QString::number(k)));
            QVERIFY((a.linear() - b.linear()).norm() < 1e-9);
        }
        // Inverse kinematics works on it like on any arm.
        Eigen::VectorXd q = arm->homePositions();
        q << 0.3, -1.2, 1.1, -0.5, 0.8, 0.2;
        const Pose target = arm->pose() * arm->flangeInBase(q);
        const std::optional<Eigen::VectorXd> solved = arm->solveIK(target, arm->homePositions());
        QVERIFY(solved);
        QVERIFY((arm->flangeInBase(*solved).translation() - arm->flangeInBase(q).translation()).norm() <
                1e-6);

        // One mesh file, used by every link, is stored once.
        QCOMPARE(project.workspace()->meshes().size(), size_t(1));
        QCOMPARE(arm->visualShapes().size(), size_t(8)); // base, six links, the flange
        QCOMPARE(arm->visualShapes()[3].front().kind, LinkShape::Kind::Mesh);
        QCOMPARE(arm->collisionShapes()[3].front().kind, LinkShape::Kind::Cylinder);
    }

    void importedArmRunsAProgramWithCollisionChecks() {
        // A move to a joint target, checked for collisions at every step: it ends at the target,
        // and stops with the link named when a part stands in its way.
        QTemporaryDir dir;
        Project project;
        importUr5e(project, QDir(dir.path()));
        const Eigen::VectorXd goal = vec({1.2, -1.0, 1.0, -1.0, -1.5, 0.3});
        new JointPositionTarget(&project, "Goal", std::make_unique<DeterministicDistribution>(goal));
        auto* main = new Sequence(&project, "Main");
        project.addProgram(main);
        auto* move = new MoveToJointTarget(&project, "Move");
        move->setProperty("robot", "Imported");
        move->setProperty("target", "Goal");
        main->_addChild(move);
        Robot* arm = project.workspace()->getRobot("Imported");
        const Eigen::VectorXd start = arm->jointPositions();
        const RunOutcome done = ProgramRunner(&project).run("Main");
        QVERIFY2(done.completed, qPrintable(done.reason));
        QVERIFY((arm->jointPositions() - goal).norm() < 1e-9);

        arm->setJointPositions(start);
        auto* post = new CustomItem(project.workspace(), "Post");
        post->setSize({0.1, 0.1, 2});
        const Eigen::Vector3d halfway = arm->pose() * arm->linkFrames(0.5 * (start + goal))[3].translation();
        post->setPose(makePose({halfway.x(), halfway.y(), 1}));
        const RunOutcome hit = ProgramRunner(&project).run("Main");
        QVERIFY(!hit.completed);
        QVERIFY2(hit.reason.contains("hits item 'Post'") && hit.reason.contains("Imported's"),
                 qPrintable(hit.reason));

        // A trial runs on a copy of the project made from its document, as the trial threads
        // and the cluster's jobs do: the same fault, naming the same objects.
        arm->setJointPositions(start);
        TrialProject copy(project.toJson(true), "cell");
        const std::optional<TrialRecord> trial = copy.run("Main", 1, 1);
        QVERIFY(trial && !trial->completed);
        QCOMPARE(trial->collidingObjects, std::vector<quint64>({arm->id(), post->id()}));
    }

    void severalChainsAskForTheTip() {
        QTemporaryDir dir;
        const QString camera =
            link("camera_mount") + joint("camera_tilt", "revolute", "shoulder_link", "camera_mount");
        Project project;
        const UrdfFile file =
            UrdfFile::read(writeUr5e(QDir(dir.path()), camera), project.workspace()->meshes());
        QCOMPARE(file.tipLinks(), QStringList({"flange", "camera_mount"}));
        QCOMPARE(file.rootLink(), QString("base_link"));
        QCOMPARE(
            thrown<ValueError>([&] { file.source(); }),
            QString("URDF file 'ur5e.urdf' has several chains (ending at flange, camera_mount); choose the "
                    "tip link."));
        auto* shortArm =
            new UrdfRobot(project.workspace(), "Camera", file.source("base_link", "camera_mount"));
        QCOMPARE(shortArm->getNumDofs(), 2);
        QCOMPARE(thrown<ValueError>([&] {
                     new UrdfRobot(project.workspace(), "Upside", file.source("flange", "base_link"));
                 }),
                 QString("URDF file 'ur5e.urdf': link 'base_link' is not below link 'flange'; choose a tip "
                         "below the base."));
        QCOMPARE(project.workspace()->getRobots(), QStringList({"Camera"})); // the refused one left nothing
    }

    void badDescriptionsAreRefusedWithTheReason_data() {
        QTest::addColumn<QString>("urdf");
        QTest::addColumn<QString>("message");
        const QString two = link("a") + link("b");
        QTest::newRow("not a description") << "<html>hello</html>"
                                           << "URDF file 'bad.urdf' cannot be read:";
        QTest::newRow("not XML") << "{]"
                                 << "URDF file 'bad.urdf', line 1: Start tag expected.";
        QTest::newRow("tags that do not match")
            << "<robot name=\"r\">\n<link name=\"a\">\n</robot>"
            << "URDF file 'bad.urdf', line 3: Opening and ending tag mismatch.";
        QTest::newRow("nested too deep")
            << QString("<a>").repeated(100000) + QString("</a>").repeated(100000)
            << "URDF file 'bad.urdf', line 1: elements are nested more than 64 deep.";
        QTest::newRow("revolute without limits")
            << robot(two + joint("swing", "revolute", "a", "b", QString()))
            << "URDF file 'bad.urdf' cannot be read: Joint [swing] is of type REVOLUTE but it does not "
               "specify limits";
        QTest::newRow("continuous without velocity")
            << robot(two + joint("spin", "continuous", "a", "b", QString()))
            << "URDF file 'bad.urdf', joint 'spin': it gives no limits";
        QTest::newRow("zero velocity")
            << robot(two + joint("slow", "revolute", "a", "b",
                                 "<limit lower=\"-1\" upper=\"1\" velocity=\"0\" effort=\"1\"/>"))
            << "URDF file 'bad.urdf', joint 'slow': it gives no velocity limit (got 0 rad/s).";
        QTest::newRow("limits the wrong way")
            << robot(two + joint("back", "revolute", "a", "b",
                                 "<limit lower=\"1\" upper=\"-1\" velocity=\"1\" effort=\"1\"/>"))
            << "URDF file 'bad.urdf', joint 'back': its limits (1 to -1 rad)";
        QTest::newRow("prismatic") << robot(two + joint("slide", "prismatic", "a", "b"))
                                   << "URDF file 'bad.urdf', joint 'slide' is prismatic (it slides)";
        QTest::newRow("floating") << robot(two + joint("free", "floating", "a", "b", QString()))
                                  << "URDF file 'bad.urdf', joint 'free' is floating";
        QTest::newRow("planar") << robot(two + joint("flat", "planar", "a", "b"))
                                << "URDF file 'bad.urdf', joint 'flat' is planar";
        QTest::newRow("closed chain")
            << robot(two + link("c") + joint("ab", "revolute", "a", "b") + joint("bc", "revolute", "b", "c") +
                     joint("ac", "revolute", "a", "c"))
            << "URDF file 'bad.urdf': link 'c' is the child of two joints ('ac' and 'bc'), which closes a "
               "chain";
        QTest::newRow("only fixed joints") << robot(two + joint("weld", "fixed", "a", "b", QString()))
                                           << "URDF file 'bad.urdf' has no joint that turns";
        QTest::newRow("missing mesh file")
            << robot(link("a", "<visual><geometry><mesh "
                               "filename=\"package://parts/gone.stl\"/></geometry></visual>") +
                     link("b") + joint("j", "revolute", "a", "b"))
            << "URDF file 'bad.urdf', link 'a': mesh file 'package://parts/gone.stl' was not found (looked "
               "for it at";
        QTest::newRow("box of no size")
            << robot(link("a", "<collision><geometry><box size=\"0 1 1\"/></geometry></collision>") +
                     link("b") + joint("j", "revolute", "a", "b"))
            << "URDF file 'bad.urdf', link 'a': a box must be of positive size";
    }

    void badDescriptionsAreRefusedWithTheReason() {
        QFETCH(QString, urdf);
        QFETCH(QString, message);
        QTemporaryDir dir;
        const QString error = importError(QDir(dir.path()), urdf);
        QVERIFY2(error.startsWith(message), qPrintable(error));
    }

    void badMeshesAreRefusedWithTheReason() {
        QTemporaryDir dir;
        const QDir folder(dir.path());
        QVERIFY(thrown<FileError>([&] {
                    readMeshFile(folder.filePath("none.stl"));
                }).startsWith(QString("Mesh file '%1' was not found.").arg(folder.filePath("none.stl"))));
        import_samples::writeStl(folder.filePath("empty.stl"), {});
        QVERIFY(thrown<Error>([&] {
                    readMeshFile(folder.filePath("empty.stl"));
                }).startsWith(QString("Mesh file '%1'").arg(folder.filePath("empty.stl"))));
        QFile text(folder.filePath("notes.obj"));
        QVERIFY(text.open(QIODevice::WriteOnly));
        text.write("this is not a mesh\n");
        text.close();
        QVERIFY(thrown<Error>([&] {
                    readMeshFile(text.fileName());
                }).startsWith(QString("Mesh file '%1'").arg(text.fileName())));
        // Ten million triangles (one triangle repeated) are refused before anything is built.
        std::vector<Mesh::Triangle> many(10'000'000, Mesh::Triangle{0, 1, 2});
        QCOMPARE(thrown<ValueError>([&] {
                     Mesh::make({{0, 0, 0}, {1, 0, 0}, {0, 1, 0}}, std::move(many), "Mesh file 'scan.stl'");
                 }),
                 QString("Mesh file 'scan.stl' has 10,000,000 triangles; a mesh may have at most 2,000,000. "
                         "Simplify it (decimate it in your CAD or mesh program) and import it again."));
        QVERIFY(thrown<ValueError>([&] {
                    Mesh::make({{0, 0, 0}}, {{0, 0, 3}}, "m");
                }).contains("names vertex 4"));
        QVERIFY(thrown<ValueError>([&] {
                    Mesh::make({{0, 0, NAN}, {1, 0, 0}, {0, 1, 0}}, {{0, 1, 2}}, "m");
                }).contains("every coordinate must be a number"));
        // Units: only the three offered are known.
        QCOMPARE(unitNamed(" MM "), std::optional<LengthUnit>(LengthUnit::Millimetre));
        QCOMPARE(unitNamed("in"), std::optional<LengthUnit>(LengthUnit::Inch));
        QVERIFY(!unitNamed("furlong"));
        // An item 5 km long is a unit mistake, and changes nothing.
        Project project;
        auto* item = new CustomItem(project.workspace(), "Part");
        import_samples::writeStl(folder.filePath("big.stl"),
                                 import_samples::boxTriangles({0, 0, 0}, {60, 1, 1}));
        QVERIFY(thrown<ValueError>([&] {
                    item->setMesh(readMeshFile(folder.filePath("big.stl")), LengthUnit::Metre);
                }).contains("Is the unit right?"));
        QVERIFY(!item->mesh());
        QCOMPARE(item->size(), Eigen::Vector3d(0.1, 0.1, 0.1));
    }

    void meshItemTakesItsSizeFromTheMeshAndUnit() {
        QTemporaryDir dir;
        Project project;
        import_samples::writeStl(QDir(dir.path()).filePath("l.stl"), import_samples::lTriangles());
        const MeshRef mesh = readMeshFile(QDir(dir.path()).filePath("l.stl"));
        QCOMPARE(mesh->triangleCount(), size_t(24));
        auto* item = new CustomItem(project.workspace(), "L");
        item->setMesh(mesh, LengthUnit::Millimetre);
        // (Mesh coordinates are single precision.)
        QVERIFY((item->size() - Eigen::Vector3d(0.001, 0.001, 0.0002)).norm() < 1e-9); // not made thicker
        item->setMesh(mesh, LengthUnit::Inch);
        QVERIFY((item->size() - Eigen::Vector3d(0.0254, 0.0254, 0.00508)).norm() < 1e-9);
        // Stretching the size stretches the mesh: its box stays centred on the pose.
        item->setSize({2, 1, 0.2});
        const Eigen::Affine3d placement = item->meshPlacement();
        QVERIFY(((placement * Eigen::Vector3d(1, 1, 0.2)) - Eigen::Vector3d(1, 0.5, 0.1)).norm() < 1e-6);
        QVERIFY(((placement * Eigen::Vector3d(0, 0, 0)) - Eigen::Vector3d(-1, -0.5, -0.1)).norm() < 1e-6);
    }

    void meshItemCollidesWhereItsTrianglesAre() {
        // The UR5e stretched out with its forearm level; the L's empty corner round the forearm
        // is inside the L's box but away from its triangles; its side face through the forearm
        // is not.
        QTemporaryDir dir;
        Project project;
        Workspace* ws = project.workspace();
        auto* arm = new UR5eRobot(ws, "UR5e");
        arm->setPose(makePose({0, 0, 0.5}));
        arm->setJointPositions(vec({0, 0, 0, 0, 0, 0}));
        const std::vector<Pose> frames = arm->linkFrames(arm->jointPositions());
        const Eigen::Vector3d forearm = (frames[2].translation() + frames[3].translation()) / 2;
        CustomItem* l = lItem(ws, QDir(dir.path()));
        CollisionWorld world(ws);
        // In the item's frame the corner is x and y from -0.3 to 0.5; the forearm then lies from
        // x -0.05 to 0.35 at y 0.1 (its wrist at y 0.1 +- 0.13), the upper arm beyond x 0.35.
        l->setPose(makePose(forearm - Eigen::Vector3d(0.15, 0.1, 0)));
        QVERIFY2(world.check().empty(), "within the box but clear of the triangles");
        // The nearest face is some 10 cm from the arm (from its wrist, which leaves the forearm's
        // line): a clearance finds it only when it is larger than that.
        world.setClearance(0.05);
        QVERIFY(world.check().empty());
        world.setClearance(0.3);
        const std::vector<Contact> near = world.check();
        QVERIFY(!near.empty());
        QVERIFY(describeContact(near.front())
                    .contains(QRegularExpression("^UR5e's .* comes within \\d+\\.\\d mm of item 'L'$")));
        world.setClearance(0);
        // The bar along x has its side face at y -0.3: the arm, level along x, crosses it there.
        l->setPose(makePose(forearm - Eigen::Vector3d(0.15, -0.3, 0)));
        QStringList contacts;
        for (const Contact& c : world.check())
            contacts << describeContact(c);
        QVERIFY2(contacts.contains("UR5e's forearm hits item 'L'"), qPrintable(contacts.join(", ")));
    }

    void importedArmCollidesAsItsDescriptionSays() {
        QTemporaryDir dir;
        Project project;
        UrdfRobot* arm = importUr5e(project, QDir(dir.path()));
        arm->setJointPositions(vec({0, 0, 0, 0, 0, 0}));
        CollisionWorld world(project.workspace());
        QVERIFY2(world.check().empty(), "its own neighbouring links touch at every joint position");
        // A small box round the elbow: the collision cylinder there is 4 cm in radius.
        auto* box = new CustomItem(project.workspace(), "Box");
        box->setSize({0.03, 0.03, 0.03});
        const Pose elbow = arm->pose() * arm->linkFrames(arm->jointPositions())[3];
        box->setPose(makePose(elbow.translation() + Eigen::Vector3d(0, 0, 0.05)));
        std::vector<Contact> contacts = world.check();
        QCOMPARE(contacts.size(), size_t(1));
        QCOMPARE(describeContact(contacts.front()), QString("Imported's forearm_link hits item 'Box'"));
        box->setPose(makePose(elbow.translation() + Eigen::Vector3d(0, 0, 0.08)));
        QVERIFY(world.check().empty());
    }

    void projectKeepsImportsWhereverItIsMoved() {
        QTemporaryDir dir;
        QDir root(dir.path());
        root.mkpath("sources");
        root.mkpath("job");
        Project project;
        UrdfRobot* arm = importUr5e(project, QDir(root.filePath("sources")));
        arm->setJointPositions(vec({0.1, -1, 1, -0.5, 0.4, 0.3}));
        CustomItem* a = lItem(project.workspace(), QDir(root.filePath("sources")));
        auto* b = new CustomItem(project.workspace(), "L copy");
        b->setMesh(a->mesh(), LengthUnit::Millimetre);
        const QString saved = root.filePath("job/cell.kestrin");
        project.save(saved);
        const QByteArray text = project.fileText();

        // Two meshes in the file (the link block and the L), each once, and the new version.
        const QJsonObject json = QJsonDocument::fromJson(text).object();
        QCOMPARE(json["version"].toInt(), 2);
        QCOMPARE(json["workspace"].toObject()["meshes"].toArray().size(), 2);

        // The sources go and the project moves: it still opens, the same.
        QVERIFY(QDir(root.filePath("sources")).removeRecursively());
        QVERIFY(root.rename("job", "moved"));
        Project opened;
        opened.load(root.filePath("moved/cell.kestrin"));
        QCOMPARE(opened.fileText(), text);
        auto* arm2 = dynamic_cast<UrdfRobot*>(opened.workspace()->getRobot("Imported"));
        QVERIFY(arm2);
        QVERIFY((arm2->flangePose().translation() - arm->flangePose().translation()).norm() < 1e-12);
        auto* l2 = dynamic_cast<CustomItem*>(opened.workspace()->find(Category::Item, "L copy"));
        QCOMPARE(l2->mesh()->sha256(), a->mesh()->sha256());
        QCOMPARE(l2->mesh(), opened.workspace()->meshes().find(a->mesh()->sha256())); // held once
        // Opened again (a trial's copy, say), the mesh is shared rather than unpacked anew.
        Project again;
        again.load(root.filePath("moved/cell.kestrin"));
        QCOMPARE(again.workspace()->meshes().find(a->mesh()->sha256()), l2->mesh());
    }

    void aHandWrittenFileOpens() {
        // The fuzzer's seed of this kind: a two-joint arm (one continuous joint, links of a mesh,
        // a cylinder, a box and a ball) and an item of the same mesh.
        Project project;
        project.load(QStringLiteral(KESTRIN_SOURCE_DIR "/fuzz/seeds/imported.kestrin"));
        Robot* two = project.workspace()->getRobot("Two");
        QCOMPARE(two->getNumDofs(), 2);
        QCOMPARE(two->lowerLimits()[1], -2 * kPi); // continuous: a full turn either way
        QCOMPARE(two->jointPositions(), vec({0.5, 1.0}));
        auto* tet = static_cast<CustomItem*>(project.workspace()->find(Category::Item, "Tet"));
        QCOMPARE(tet->mesh()->triangleCount(), size_t(4));
        QCOMPARE(two->visualShapes()[0].front().mesh, tet->mesh());
    }

    void damagedMeshesInAFileAreNamed() {
        QTemporaryDir dir;
        Project project;
        lItem(project.workspace(), QDir(dir.path()));
        const QJsonObject good = QJsonDocument::fromJson(project.fileText()).object();
        auto withMesh = [&](const std::function<void(QJsonObject&)>& change) {
            QJsonObject doc = good;
            QJsonObject ws = doc["workspace"].toObject();
            QJsonArray meshes = ws["meshes"].toArray();
            QJsonObject mesh = meshes[0].toObject();
            change(mesh);
            meshes[0] = mesh;
            ws["meshes"] = meshes;
            doc["workspace"] = ws;
            Project p;
            try {
                p.fromJson(doc, "cell.kestrin");
            } catch (const Error& e) {
                return e.message();
            }
            return QString();
        };
        QVERIFY(withMesh([](QJsonObject&) {}).isNull());
        QVERIFY(withMesh([](QJsonObject& m) {
                    m["sha256"] = QString(64, '0');
                }).contains("does not match its SHA-256"));
        QVERIFY(withMesh([](QJsonObject& m) { m["data"] = "@@@"; }).contains("is not base64 text"));
        QVERIFY(withMesh([](QJsonObject& m) {
                    m["data"] = QString(QByteArray("\xff\xff\xff\xff"
                                                   "abc")
                                            .toBase64());
                }).contains("is not a packed mesh"));
        QVERIFY(withMesh([](QJsonObject& m) {
                    m["data"] = QString(qCompress("12345678abc").toBase64());
                }).contains("its size does not match its counts"));
        // An item naming a mesh the file does not hold.
        QJsonObject doc = good;
        QJsonObject ws = doc["workspace"].toObject();
        ws.remove("meshes");
        doc["workspace"] = ws;
        Project p;
        QVERIFY(thrown<FormatError>([&] {
                    p.fromJson(doc, "cell.kestrin");
                }).contains("which is not in the file"));
    }

    void copiesTakeTheirMeshesToAnotherProject() {
        QTemporaryDir dir;
        Project from;
        importUr5e(from, QDir(dir.path()));
        CustomItem* l = lItem(from.workspace(), QDir(dir.path()));
        const CopiedParts copied = CopiedParts::copy({from.workspace()->getRobot("Imported"), l}, {}, {});
        Project to;
        const CopiedParts::Pasted pasted = copied.pasteInto(to);
        QCOMPARE(pasted.objects.size(), size_t(2));
        QCOMPARE(to.workspace()->getRobot("Imported")->getNumDofs(), 6);
        // It saves and opens again with both meshes.
        QTemporaryDir out;
        const QString path = QDir(out.path()).filePath("pasted.kestrin");
        to.save(path);
        Project opened;
        opened.load(path);
        QCOMPARE(opened.fileText(), to.fileText());
        QCOMPARE(opened.workspace()->meshes().size(), size_t(2));
    }

    void undoingAnImportTakesTheRobotAway() {
        QTemporaryDir dir;
        Project project;
        project.history().reset();
        const QByteArray before = project.fileText();
        importUr5e(project, QDir(dir.path()));
        QVERIFY(project.history().record("Import Robot 'Imported'"));
        const QByteArray after = project.fileText();
        project.history().undo();
        QCOMPARE(project.fileText(), before);
        QVERIFY(project.workspace()->getRobots().isEmpty());
        project.history().redo();
        QCOMPARE(project.fileText(), after);
        QCOMPARE(project.workspace()->getRobot("Imported")->getNumDofs(), 6);
    }
};

QTEST_GUILESS_MAIN(TestImport)
#include "test_import.moc"
