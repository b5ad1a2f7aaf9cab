// Robots from URDF files and items from mesh files, brought in through the main window's menus as
// a user would: the file chooser, the forms, the undo history, the tree, the property panel and
// the view; and files that cannot be used, which must add nothing.

#include "dialog_driver.h"
#include "import_samples.h"
#include "studio_fixture.h"
#include "test_main.h"

#include <kestrin/urdf_robot.h>

#include <QAction>
#include <QComboBox>
#include <QLabel>
#include <QTemporaryDir>

using kestrin_app::content::KSSelectorDialog;
using testing::DialogDriver;
using testing::LogCapture;
using testing::settle;
using testing::Studio;

namespace {

/// A second chain beside the arm: a camera tilting on the shoulder.
const QString kCameraBranch =
    QStringLiteral("  <link name=\"camera_link\"><visual><geometry><box size=\"0.05 0.05 "
                   "0.05\"/></geometry></visual></link>\n"
                   "  <joint name=\"camera_tilt\" type=\"revolute\">\n"
                   "    <parent link=\"shoulder_link\"/><child link=\"camera_link\"/>\n"
                   "    <origin xyz=\"0 0.1 0.1\" rpy=\"0 0 0\"/><axis xyz=\"0 1 0\"/>\n"
                   "    <limit lower=\"-1\" upper=\"1\" velocity=\"1\" effort=\"1\"/>\n"
                   "  </joint>\n");

void trigger(Studio& s, const char* action) {
    QAction* a = s.window.findAction(QString::fromLatin1(action));
    QVERIFY2(a && a->isEnabled(), action);
    a->trigger();
    settle();
}

/// The combo box's choices, read when the form opens, and then `then`.
DialogDriver::Action readChoices(const QString& key, QStringList& into, DialogDriver::Action then) {
    return [key, &into, then](QWidget* dialog) {
        if (auto* box = dialog->findChild<QComboBox*>(key))
            for (int i = 0; i < box->count(); ++i)
                into << box->itemText(i);
        then(dialog);
    };
}

int objectCount(Studio& s) {
    return static_cast<int>(s.workspace()->objects().size());
}

} // namespace

class TestImportStudio : public QObject {
    Q_OBJECT

private slots:
    void init() { DialogDriver::reset(); }

    void importedArmIsSelectedDrawnAndOneUndoStep() {
        QTemporaryDir dir;
        const QString path = import_samples::writeUr5e(QDir(dir.path()));
        QVERIFY(!path.isEmpty());
        Studio s;
        s.window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&s.window));
        LogCapture log;
        // One tip: no base and tip form, the name is asked straight away.
        DialogDriver::expect(DialogDriver::chooseFile(path));
        DialogDriver::expect(DialogDriver::setText(KSSelectorDialog::NEW_NAME_KEY, "Arm"));
        trigger(s, "actionImportRobot");
        QCOMPARE(DialogDriver::pending(), 0);
        QCOMPARE(s.failures, QStringList());

        auto* arm = dynamic_cast<kestrin::UrdfRobot*>(s.workspace()->getRobot("Arm"));
        QVERIFY(arm);
        QCOMPARE(arm->getNumDofs(), 6);
        QCOMPARE(s.undoName(), QString("Import Robot 'Arm'"));
        QVERIFY(log.contains(
            QString("info: Imported robot 'Arm' from '%1': 6 joints from link 'base_link' to link 'flange'")
                .arg(path)));
        QCOMPARE(s.viewer()->_differenceFromModel(), QString());
        QTreeWidgetItem* item = s.tree()->itemForObject(arm->id());
        QVERIFY(item && item->isSelected());
        QCOMPARE(item->text(1), QString("Robot (URDF)"));
        s.select(arm);
        QCOMPARE(s.editor<QLabel>("propertyPanelUrdfFile")->text(), QString("ur5e.urdf"));

        // Undo takes it away, redo brings it back, drawn each time as the model is.
        const quint64 id = arm->id();
        s.handler().undo();
        settle();
        QVERIFY(!s.workspace()->find(kestrin::Category::Robot, "Arm"));
        QVERIFY(!s.tree()->itemForObject(id));
        QCOMPARE(s.viewer()->_differenceFromModel(), QString());
        s.handler().redo();
        settle();
        auto* back = dynamic_cast<kestrin::UrdfRobot*>(s.workspace()->getRobot("Arm"));
        QVERIFY(back);
        QCOMPARE(back->getNumDofs(), 6);
        QVERIFY(!back->visualShapes().empty());
        QVERIFY(s.tree()->itemForObject(back->id()));
        QCOMPARE(s.viewer()->_differenceFromModel(), QString());
        QCOMPARE(s.failures, QStringList());
    }

    void aBranchingDescriptionAsksForTheBaseAndTip() {
        QTemporaryDir dir;
        const QString path = import_samples::writeUr5e(QDir(dir.path()), kCameraBranch);
        Studio s;
        // The defaults: the root, and the tip below the most joints.
        QStringList bases, tips;
        DialogDriver::expect(DialogDriver::chooseFile(path));
        DialogDriver::expect(
            readChoices(KSSelectorDialog::BASE_LINK_KEY, bases,
                        readChoices(KSSelectorDialog::TIP_LINK_KEY, tips, DialogDriver::accept())));
        DialogDriver::expect(DialogDriver::setText(KSSelectorDialog::NEW_NAME_KEY, "Whole Arm"));
        trigger(s, "actionImportRobot");
        QCOMPARE(s.failures, QStringList());
        QCOMPARE(DialogDriver::pending(), 0);
        QCOMPARE(bases.value(0), QString("base_link"));
        QCOMPARE(tips, QStringList({"flange", "camera_link"}));
        QCOMPARE(s.workspace()->getRobot("Whole Arm")->getNumDofs(), 6);

        // The other tip: the chain through the shoulder to the camera.
        DialogDriver::expect(DialogDriver::chooseFile(path));
        DialogDriver::expect(DialogDriver::choose(KSSelectorDialog::TIP_LINK_KEY, "camera_link"));
        DialogDriver::expect(DialogDriver::setText(KSSelectorDialog::NEW_NAME_KEY, "Camera Tilt"));
        trigger(s, "actionImportRobot");
        QCOMPARE(s.failures, QStringList());
        auto* tilt = dynamic_cast<kestrin::UrdfRobot*>(s.workspace()->getRobot("Camera Tilt"));
        QVERIFY(tilt);
        QCOMPARE(tilt->getNumDofs(), 2);
        QCOMPARE(tilt->source().tipLink, QString("camera_link"));

        // A base below the tip is refused with the core's reason, before the name is asked.
        const int before = objectCount(s);
        const QString undoBefore = s.undoName();
        DialogDriver::expect(DialogDriver::chooseFile(path));
        DialogDriver::expect(
            DialogDriver::choose(KSSelectorDialog::BASE_LINK_KEY, "wrist_2_link",
                                 DialogDriver::choose(KSSelectorDialog::TIP_LINK_KEY, "camera_link")));
        trigger(s, "actionImportRobot");
        QCOMPARE(s.failures.size(), 1);
        QVERIFY2(s.failures[0].contains("camera_link"), qPrintable(s.failures[0]));
        QCOMPARE(objectCount(s), before);
        QCOMPARE(s.undoName(), undoBefore);

        // Cancelling the base and tip form adds nothing and asks nothing more.
        DialogDriver::expect(DialogDriver::chooseFile(path));
        DialogDriver::expect(DialogDriver::reject());
        trigger(s, "actionImportRobot");
        QCOMPARE(DialogDriver::pending(), 0);
        QCOMPARE(objectCount(s), before);
        QCOMPARE(s.failures.size(), 1);
    }

    void aMeshItemTakesTheSizeOfItsMeshInTheUnitChosen() {
        QTemporaryDir dir;
        const QString path = dir.filePath("bracket.stl");
        // 120 x 80 x 30 in the file's numbers, its box away from the origin.
        QVERIFY(import_samples::writeStl(path, import_samples::boxTriangles({10, 20, 5}, {130, 100, 35})));
        Studio s;
        s.window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&s.window));
        QStringList units;
        DialogDriver::expect(DialogDriver::chooseFile(path));
        DialogDriver::expect(readChoices(KSSelectorDialog::UNIT_KEY, units,
                                         DialogDriver::setText(KSSelectorDialog::NEW_NAME_KEY, "Bracket")));
        trigger(s, "actionAddItemFromMesh");
        QCOMPARE(s.failures, QStringList());
        // STL files carry no unit: millimetres, as CAD programs write them, come first.
        QCOMPARE(units, QStringList({"mm", "m", "inch"}));
        auto* item =
            dynamic_cast<kestrin::CustomItem*>(s.workspace()->find(kestrin::Category::Item, "Bracket"));
        QVERIFY(item && item->mesh());
        QVERIFY2(item->size().isApprox(Eigen::Vector3d(0.12, 0.08, 0.03), 1e-6),
                 qPrintable(
                     QString("%1 %2 %3").arg(item->size().x()).arg(item->size().y()).arg(item->size().z())));
        QCOMPARE(s.undoName(), QString("Add Item 'Bracket'"));
        QTreeWidgetItem* row = s.tree()->itemForObject(item->id());
        QVERIFY(row && row->isSelected());
        QCOMPARE(row->text(1), QString("Item (mesh)"));
        s.select(item);
        QCOMPARE(s.editor<QLabel>("propertyPanelMesh")->text(), QString("12 triangles"));
        QCOMPARE(s.viewer()->_differenceFromModel(), QString());

        // Undone and redone, it is the mesh again, not a box of its size.
        const kestrin::MeshRef mesh = item->mesh();
        s.handler().undo();
        settle();
        QVERIFY(!s.workspace()->find(kestrin::Category::Item, "Bracket"));
        s.handler().redo();
        settle();
        item = dynamic_cast<kestrin::CustomItem*>(s.workspace()->find(kestrin::Category::Item, "Bracket"));
        QVERIFY(item);
        QCOMPARE(item->mesh(), mesh);
        QVERIFY(item->size().isApprox(Eigen::Vector3d(0.12, 0.08, 0.03), 1e-6));
        QCOMPARE(s.tree()->itemForObject(item->id())->text(1), QString("Item (mesh)"));
        QCOMPARE(s.viewer()->_differenceFromModel(), QString());

        // In metres it would be 120 m long: refused, asking about the unit, and nothing stays.
        const int before = objectCount(s);
        const QString undoBefore = s.undoName();
        DialogDriver::expect(DialogDriver::chooseFile(path));
        DialogDriver::expect(DialogDriver::choose(
            KSSelectorDialog::UNIT_KEY, "m", DialogDriver::setText(KSSelectorDialog::NEW_NAME_KEY, "Huge")));
        trigger(s, "actionAddItemFromMesh");
        QCOMPARE(s.failures.size(), 1);
        QVERIFY2(s.failures[0].contains("Is the unit right?"), qPrintable(s.failures[0]));
        QCOMPARE(objectCount(s), before);
        QCOMPARE(s.undoName(), undoBefore);
        QVERIFY(!s.workspace()->find(kestrin::Category::Item, "Huge"));
        QCOMPARE(s.viewer()->_differenceFromModel(), QString());

        // A COLLADA file gives its own unit: metres are offered first.
        QCOMPARE(kestrin_app::content::defaultMeshUnit("/parts/gear.DAE"), QString("m"));
        QCOMPARE(kestrin_app::content::defaultMeshUnit("/parts/gear.obj"), QString("mm"));
    }

    void filesThatCannotBeUsedAreNamedAndAddNothing_data() {
        QTest::addColumn<QString>("action");
        QTest::addColumn<QString>("file");      // written by the test, in its folder
        QTest::addColumn<QString>("mentioned"); // what the message must name
        QTest::newRow("a mesh file the description names is missing") << "actionImportRobot"
                                                                      << "missing mesh"
                                                                      << "link.stl";
        QTest::newRow("not a URDF") << "actionImportRobot"
                                    << "notes.urdf"
                                    << "notes.urdf";
        QTest::newRow("a link's mesh has no triangles") << "actionImportRobot"
                                                        << "empty link mesh"
                                                        << "link.stl";
        QTest::newRow("a mesh of no triangles") << "actionAddItemFromMesh"
                                                << "empty.stl"
                                                << "empty.stl";
        QTest::newRow("not a mesh") << "actionAddItemFromMesh"
                                    << "notes.obj"
                                    << "notes.obj";
    }

    void filesThatCannotBeUsedAreNamedAndAddNothing() {
        QFETCH(QString, action);
        QFETCH(QString, file);
        QFETCH(QString, mentioned);
        QTemporaryDir dir;
        QString path;
        auto writeText = [&](const QString& name, const QByteArray& text) {
            QFile f(dir.filePath(name));
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write(text);
            path = f.fileName();
        };
        if (file == "missing mesh") {
            path = import_samples::writeUr5e(QDir(dir.path()));
            QVERIFY(QFile::remove(dir.filePath("ur_parts/meshes/link.stl")));
        } else if (file == "empty link mesh") {
            path = import_samples::writeUr5e(QDir(dir.path()));
            QVERIFY(import_samples::writeStl(dir.filePath("ur_parts/meshes/link.stl"), {}));
        } else if (file == "empty.stl") {
            QVERIFY(import_samples::writeStl(dir.filePath(file), {}));
            path = dir.filePath(file);
        } else {
            writeText(file, "These are my notes, not a robot or a part.\n");
        }

        Studio s;
        new kestrin::Desk(s.workspace(), "Bench");
        s.sync();
        const int before = objectCount(s);
        const QString undoBefore = s.undoName();
        LogCapture log;
        DialogDriver::expect(DialogDriver::chooseFile(path));
        trigger(s, qPrintable(action));
        // The file is read before anything is asked: no form opened.
        QCOMPARE(DialogDriver::pending(), 0);
        QCOMPARE(DialogDriver::seenTitles().size(), 1);
        QCOMPARE(s.failures.size(), 1);
        QVERIFY2(s.failures[0].contains(mentioned), qPrintable(s.failures[0]));
        const QString words =
            action == "actionImportRobot" ? "Importing the robot" : "Adding the item from the mesh";
        QVERIFY2(log.contains(QString("error: %1 failed: %2").arg(words, s.failures[0])),
                 qPrintable(log.lines().join('\n')));
        QCOMPARE(objectCount(s), before);
        QCOMPARE(s.undoName(), undoBefore);
        QVERIFY2(!s.project()->history().record("Probe"), "the failed import changed the project");
        QCOMPARE(s.viewer()->_differenceFromModel(), QString());
    }
};

KESTRIN_GUI_TEST_MAIN(TestImportStudio)
#include "test_import_studio.moc"
