#include "dialog_driver.h"
#include "test_main.h"

#include <kestrin/kestrin.h>
#include <kestrin_app/dialogs.h>

#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QSpinBox>
#include <QTemporaryDir>
#include <QTest>

using namespace kestrin_app::content;
using testing::DialogDriver;
using K = KSSelectorDialog;

namespace {

QStringList rowLabels(QDialog& dialog) {
    auto* grid = qobject_cast<QGridLayout*>(dialog.layout());
    QStringList labels;
    for (int r = 0; r < grid->rowCount(); ++r)
        if (auto* item = grid->itemAtPosition(r, 0))
            if (auto* label = qobject_cast<QLabel*>(item->widget()))
                labels << label->text();
    return labels;
}

/// Two robots (the second with a tool frame), a program with a nested sequence and an action.
void fillProject(kestrin::Project& p) {
    new kestrin::UR5eRobot(p.workspace(), "Arm A");
    auto* b = new kestrin::FrankaPandaRobot(p.workspace(), "Arm B");
    b->addToolFrame(new kestrin::ToolFrame(p.workspace(), "Tip"));
    auto* main = new kestrin::Sequence(&p, "Main");
    p.addProgram(main);
    auto* inner = new kestrin::Sequence(&p, "Inner");
    main->_addChild(inner);
    inner->_addChild(new kestrin::Wait(&p, "Pause"));
}

} // namespace

class DialogsTest : public QObject {
    Q_OBJECT
private slots:
    void init() { DialogDriver::reset(); }

    void rowsFollowInsertionOrderAndTheFormIsSizedByRows() {
        kestrin::Project p;
        KSParams params{
            {K::NUMBER_OF_MIXTURES, 5}, {K::NEW_NAME_KEY, "Zed"}, {K::EXISTING_ROBOT_KEY, QString()}};
        K dialog(nullptr, &p, params);
        QCOMPARE(rowLabels(dialog),
                 (QStringList{K::NUMBER_OF_MIXTURES, K::NEW_NAME_KEY, K::EXISTING_ROBOT_KEY}));
        auto* grid = qobject_cast<QGridLayout*>(dialog.layout());
        auto* buttons = dialog.findChild<QDialogButtonBox*>();
        QVERIFY(buttons && buttons->centerButtons());
        int row, col, rowSpan, colSpan;
        grid->getItemPosition(grid->indexOf(buttons), &row, &col, &rowSpan, &colSpan);
        QCOMPARE(row, 3);
        QCOMPARE(colSpan, 2);
        QCOMPARE(dialog.size(), QSize(420, 240));
        QCOMPARE(params.keys(), (QStringList{K::NUMBER_OF_MIXTURES, K::NEW_NAME_KEY, K::EXISTING_ROBOT_KEY}));

        KSParams empty;
        K bare(nullptr, &p, empty);
        QCOMPARE(bare.size(), QSize(420, 60));
        DialogDriver::expect(DialogDriver::accept());
        KSParams* result = K::getParams(nullptr, &p, empty);
        QCOMPARE(result, &empty);
        QVERIFY(result->isEmpty());
    }

    void eachKeyGetsItsEditorAndInitialValue() {
        kestrin::Project p;
        fillProject(p);
        KSParams params{{K::NEW_NAME_KEY, "Keep me"},
                        {K::EXISTING_ROBOT_KEY, "Arm B"}, // a caller value never preselects
                        {K::EXISTING_TOOL_KEY, "x"},
                        {K::EXECUTE_BEHAVIOR_KEY, "x"},
                        {K::PARENT_BEHAVIOR_KEY, QVariant()},
                        {K::JOINT_POS_DISTRIBUTION_TYPE_KEY, "Gaussian"},
                        {K::USE_SEED_POSITIONS_KEY, true},
                        {K::NUMBER_OF_MIXTURES, 50}};
        K dialog(nullptr, &p, params);
        QCOMPARE(dialog.findChild<QLineEdit*>(K::NEW_NAME_KEY)->text(), QString("Keep me"));
        QCOMPARE(params.value(K::NEW_NAME_KEY), QVariant("Keep me"));
        QCOMPARE(params.value(K::EXISTING_ROBOT_KEY), QVariant("Arm A"));
        QCOMPARE(params.value(K::EXISTING_TOOL_KEY), QVariant("Tip"));
        QCOMPARE(params.value(K::EXECUTE_BEHAVIOR_KEY), QVariant("Main"));
        QCOMPARE(params.value(K::PARENT_BEHAVIOR_KEY), QVariant(QString()));
        QCOMPARE(params.value(K::JOINT_POS_DISTRIBUTION_TYPE_KEY), QVariant("Deterministic"));
        QCOMPARE(params.value(K::USE_SEED_POSITIONS_KEY).type(), QVariant::Bool);
        QCOMPARE(params.value(K::USE_SEED_POSITIONS_KEY).toBool(), false);
        QCOMPARE(params.value(K::NUMBER_OF_MIXTURES), QVariant(1));

        auto items = [](QComboBox* c) {
            QStringList out;
            for (int i = 0; i < c->count(); ++i)
                out << c->itemText(i);
            return out;
        };
        QCOMPARE(items(dialog.findChild<QComboBox*>(K::EXISTING_ROBOT_KEY)), (QStringList{"Arm A", "Arm B"}));
        QCOMPARE(items(dialog.findChild<QComboBox*>(K::PARENT_BEHAVIOR_KEY)),
                 (QStringList{"", "Inner", "Main"}));
        QCOMPARE(items(dialog.findChild<QComboBox*>(K::JOINT_POS_DISTRIBUTION_TYPE_KEY)),
                 (QStringList{"Deterministic", "Uniform", "Gaussian"}));
        auto* spin = dialog.findChild<QSpinBox*>(K::NUMBER_OF_MIXTURES);
        QCOMPARE(spin->minimum(), 1);
        QCOMPARE(spin->maximum(), 100);
        spin->setValue(500);
        QCOMPARE(params.value(K::NUMBER_OF_MIXTURES), QVariant(100));
        QVERIFY(dialog.findChild<QCheckBox*>(K::USE_SEED_POSITIONS_KEY));
    }

    void emptyProjectGivesEmptyChoices() {
        kestrin::Project p;
        auto* only = new kestrin::Wait(&p, "Only an action");
        p.addProgram(only);
        KSParams params{
            {K::EXISTING_ROBOT_KEY, "ghost"}, {K::EXISTING_TOOL_KEY, "ghost"}, {K::PARENT_BEHAVIOR_KEY, "x"}};
        DialogDriver::expect(DialogDriver::accept());
        KSParams* result = K::getParams(nullptr, &p, params);
        QVERIFY(result);
        QCOMPARE(result->value(K::EXISTING_ROBOT_KEY), QVariant(QString()));
        QCOMPARE(result->value(K::EXISTING_TOOL_KEY), QVariant(QString()));
        QCOMPARE(result->value(K::PARENT_BEHAVIOR_KEY), QVariant(QString()));
    }

    void userChoicesComeBackInTheCallersMapping() {
        kestrin::Project p;
        fillProject(p);
        KSParams params{{K::NEW_NAME_KEY, "My Robot"}, {K::EXISTING_ROBOT_KEY, QString()}};
        DialogDriver::expect(DialogDriver::setText(K::NEW_NAME_KEY, "Typed",
                                                   DialogDriver::choose(K::EXISTING_ROBOT_KEY, "Arm B")));
        KSParams* result = K::getParams(nullptr, &p, params);
        QCOMPARE(result, &params);
        QCOMPARE(params.value(K::NEW_NAME_KEY), QVariant("Typed"));
        QCOMPARE(params.value(K::EXISTING_ROBOT_KEY), QVariant("Arm B"));

        KSParams cleared{{K::NEW_NAME_KEY, "My Robot"}};
        DialogDriver::expect(DialogDriver::setText(K::NEW_NAME_KEY, ""));
        QVERIFY(K::getParams(nullptr, &p, cleared));
        QCOMPARE(cleared.value(K::NEW_NAME_KEY), QVariant(QString()));
    }

    void seedBoxReportsFalseUntilToggledThenCheckState() {
        kestrin::Project p;
        auto toggle = [](int times) {
            return [times](QWidget* d) {
                for (int i = 0; i < times; ++i)
                    d->findChild<QCheckBox*>(K::USE_SEED_POSITIONS_KEY)->click();
                DialogDriver::accept()(d);
            };
        };
        for (auto [times, expected] : {std::pair{0, QVariant(false)}, {1, QVariant(2)}, {2, QVariant(0)}}) {
            KSParams params{{K::USE_SEED_POSITIONS_KEY, true}};
            DialogDriver::expect(toggle(times));
            QVERIFY(K::getParams(nullptr, &p, params));
            QCOMPARE(params.value(K::USE_SEED_POSITIONS_KEY), expected);
        }
    }

    void cancelReturnsNoValueEvenAfterEdits() {
        kestrin::Project p;
        KSParams params{{K::NEW_NAME_KEY, "My Robot"}};
        DialogDriver::expect(DialogDriver::setText(K::NEW_NAME_KEY, "Edited", DialogDriver::reject()));
        QCOMPARE(K::getParams(nullptr, &p, params), nullptr);
        DialogDriver::expect(DialogDriver::pressKey(Qt::Key_Escape));
        QCOMPARE(K::getParams(nullptr, &p, params), nullptr);
    }

    void unknownKeyFailsBeforeAnyDialogIsShown_data() {
        QTest::addColumn<QString>("key");
        QTest::newRow("other text") << "Pick a colour";
        QTest::newRow("wrong capitals") << "enter a name";
    }
    void unknownKeyFailsBeforeAnyDialogIsShown() {
        QFETCH(QString, key);
        kestrin::Project p;
        new kestrin::UR3eRobot(p.workspace(), "First");
        KSParams params{{K::EXISTING_ROBOT_KEY, QVariant()}, {key, "x"}, {K::NUMBER_OF_MIXTURES, 7}};
        try {
            K::getParams(nullptr, &p, params);
            QFAIL("an unknown key must fail");
        } catch (const NotImplementedError& e) {
            QCOMPARE(QString(e.what()), "Internal error: '" + key + "' not implemented");
        }
        QCOMPARE(params.value(K::EXISTING_ROBOT_KEY), QVariant("First")); // earlier row already written
        QCOMPARE(params.value(K::NUMBER_OF_MIXTURES), QVariant(7));       // later row never reached
        QVERIFY(DialogDriver::seenTitles().isEmpty());
    }

    void saveChooserAddsTheFiltersExtensionToABareName() {
        QTemporaryDir dir;
        const QString fresh = dir.filePath("new_project_without_extension");
        DialogDriver::expect(DialogDriver::chooseFile(fresh));
        QCOMPARE(KSFileDialog::getSaveFileName(nullptr, "Save file", dir.filePath("my_project.kestrin"),
                                               "Kestrin project file (*.kestrin)"),
                 fresh + ".kestrin");
        QCOMPARE(DialogDriver::seenTitles().last(), QString("Save file"));

        // A name with its extension is kept as typed.
        DialogDriver::expect(DialogDriver::chooseFile(dir.filePath("typed.kestrin")));
        QCOMPARE(KSFileDialog::getSaveFileName(nullptr, "Save file", dir.path(),
                                               "Kestrin project file (*.kestrin)"),
                 dir.filePath("typed.kestrin"));

        // The question whether to replace a file is asked about the name with its extension;
        // answering No leaves the chooser, which the user then cancels.
        QFile taken(dir.filePath("taken.kestrin"));
        QVERIFY(taken.open(QIODevice::WriteOnly));
        taken.close();
        QString asked;
        DialogDriver::expect(DialogDriver::chooseFile(dir.filePath("taken")));
        DialogDriver::expect([&asked](QWidget* box) {
            asked = static_cast<QMessageBox*>(box)->text();
            DialogDriver::pressMessageButton(QMessageBox::No)(box);
        });
        QVERIFY(KSFileDialog::getSaveFileName(nullptr, "Save file", dir.path(),
                                              "Kestrin project file (*.kestrin)")
                    .isNull());
        QVERIFY2(asked.contains("taken.kestrin"), qPrintable(asked));

        // Accepting at once takes the proposed default name in its folder.
        DialogDriver::expect(DialogDriver::accept());
        QCOMPARE(KSFileDialog::getSaveFileName(nullptr, "Save file", dir.filePath("my_project.kestrin"),
                                               "Kestrin project file (*.kestrin)"),
                 dir.filePath("my_project.kestrin"));

        DialogDriver::expect(DialogDriver::chooseFile(QString()));
        QVERIFY(KSFileDialog::getSaveFileName(nullptr, "Save file", dir.path(), "*").isNull());
    }

    void openChooserReturnsOnlyAnExistingFile() {
        QTemporaryDir dir;
        QFile existing(dir.filePath("cell.kestrin"));
        QVERIFY(existing.open(QIODevice::WriteOnly));
        existing.close();
        DialogDriver::expect(DialogDriver::chooseFile(existing.fileName()));
        QCOMPARE(KSFileDialog::getOpenFileName(nullptr, "Open file", "Kestrin project file (*.kestrin)"),
                 existing.fileName());
        DialogDriver::expect(DialogDriver::chooseFile(dir.filePath("missing.kestrin")));
        DialogDriver::expect(DialogDriver::accept()); // Qt's own "file not found" notice
        QVERIFY(
            KSFileDialog::getOpenFileName(nullptr, "Open file", "Kestrin project file (*.kestrin)").isNull());
        DialogDriver::expect(DialogDriver::chooseFile(QString()));
        QVERIFY(KSFileDialog::getOpenFileName(nullptr, "Open file", "*").isNull());
        QCOMPARE(DialogDriver::closedBySafety(), 0);
    }

    void savePromptAnswersYesOnEnterAndNoOnEscape() {
        DialogDriver::expect(DialogDriver::pressKey(Qt::Key_Return));
        QVERIFY(KSMessageBox::userWantsToSaveProject(nullptr));
        QCOMPARE(DialogDriver::seenTitles().last(), QString("Save Project"));
        DialogDriver::expect(DialogDriver::pressKey(Qt::Key_Escape));
        QVERIFY(!KSMessageBox::userWantsToSaveProject(nullptr));
        DialogDriver::expect(DialogDriver::reject());
        QVERIFY(!KSMessageBox::userWantsToSaveProject(nullptr));
    }

    void warningReturnsThePressedButton() {
        DialogDriver::expect(DialogDriver::pressMessageButton(QMessageBox::Retry));
        QCOMPARE(KSMessageBox::warning(nullptr, "Title", "Text", QMessageBox::Retry | QMessageBox::Cancel,
                                       QMessageBox::Cancel),
                 QMessageBox::Retry);
        DialogDriver::expect(DialogDriver::pressKey(Qt::Key_Return));
        QCOMPARE(KSMessageBox::warning(nullptr, "Title", "Text", QMessageBox::Retry | QMessageBox::Cancel,
                                       QMessageBox::Cancel),
                 QMessageBox::Cancel);
        QCOMPARE(DialogDriver::closedBySafety(), 0);
    }
};

KESTRIN_GUI_TEST_MAIN(DialogsTest)
#include "test_dialogs.moc"
