#include "dialogs.h"

#include <kestrin/action.h>
#include <kestrin/behavior.h>
#include <kestrin/project.h>
#include <kestrin/workspace.h>

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QRegularExpression>
#include <QSettings>
#include <QSpinBox>
#include <QStandardPaths>

namespace kestrin_app::content {

// --- KSParams ---------------------------------------------------------------------------------

KSParams::KSParams(std::initializer_list<std::pair<QString, QVariant>> entries) {
    for (const auto& e : entries)
        insert(e.first, e.second);
}

int KSParams::indexOf(const QString& key) const {
    for (size_t i = 0; i < m_entries.size(); ++i)
        if (m_entries[i].first == key)
            return static_cast<int>(i);
    return -1;
}

void KSParams::insert(const QString& key, const QVariant& value) {
    const int i = indexOf(key);
    if (i >= 0)
        m_entries[static_cast<size_t>(i)].second = value;
    else
        m_entries.emplace_back(key, value);
}

QVariant KSParams::value(const QString& key) const {
    const int i = indexOf(key);
    return i >= 0 ? m_entries[static_cast<size_t>(i)].second : QVariant();
}

QStringList KSParams::keys() const {
    QStringList out;
    for (const auto& e : m_entries)
        out << e.first;
    return out;
}

// --- KSSelectorDialog --------------------------------------------------------------------------

const QString KSSelectorDialog::NEW_NAME_KEY = QStringLiteral("Enter a Name");
const QString KSSelectorDialog::EXISTING_ROBOT_KEY = QStringLiteral("Select a Robot");
const QString KSSelectorDialog::EXISTING_TOOL_KEY = QStringLiteral("Select a Tool");
const QString KSSelectorDialog::EXECUTE_BEHAVIOR_KEY = QStringLiteral("Select a Behavior to Execute");
const QString KSSelectorDialog::PARENT_BEHAVIOR_KEY = QStringLiteral("Select a Parent Behavior");
const QString KSSelectorDialog::JOINT_POS_DISTRIBUTION_TYPE_KEY =
    QStringLiteral("Select a Joint Position Distribution");
const QString KSSelectorDialog::USE_SEED_POSITIONS_KEY = QStringLiteral("Use Explicit Seed Positions for IK");
const QString KSSelectorDialog::NUMBER_OF_MIXTURES = QStringLiteral("Select the Number of Mixtures");
const QString KSSelectorDialog::BASE_LINK_KEY = QStringLiteral("Select the Base Link");
const QString KSSelectorDialog::TIP_LINK_KEY = QStringLiteral("Select the Tip Link");
const QString KSSelectorDialog::UNIT_KEY = QStringLiteral("Select the Unit of the File");

namespace {
/// What a prompt asks for, where its wording needs knowledge of robot cells.
QString promptTip(const QString& key) {
    if (key == KSSelectorDialog::USE_SEED_POSITIONS_KEY)
        return QStringLiteral(
            "<p>Inverse kinematics (IK) searches for the joint positions that put the tool "
            "at a pose. Seed positions are where the search starts: give your own to prefer "
            "one posture of the arm (elbow up, say) over another.</p>");
    if (key == KSSelectorDialog::NUMBER_OF_MIXTURES)
        return QStringLiteral("<p>A mixture target picks one of several targets (its components) at random "
                              "for each run, by their weights: how many components it has.</p>");
    if (key == KSSelectorDialog::JOINT_POS_DISTRIBUTION_TYPE_KEY)
        return QStringLiteral(
            "<p>How the joint positions are chosen for each run: Deterministic (always the "
            "same), Uniform (anywhere between two bounds) or Gaussian (around a mean).</p>");
    if (key == KSSelectorDialog::BASE_LINK_KEY || key == KSSelectorDialog::TIP_LINK_KEY)
        return QStringLiteral("<p>The description branches: the robot is the chain of joints from the base "
                              "link to the tip link, whose end is the flange.</p>");
    if (key == KSSelectorDialog::UNIT_KEY)
        return QStringLiteral("<p>The unit of the numbers in the file. STL, OBJ, PLY and OFF files do not "
                              "say; CAD programs mostly write them in millimetres. COLLADA and glTF files "
                              "give their own unit, which makes metres here.</p>");
    return QString();
}
} // namespace

KSSelectorDialog::KSSelectorDialog(QWidget* parent, kestrin::Project* project, KSParams& params)
    : QDialog(parent), _params(params) {
    setObjectName(QStringLiteral("selectorDialog"));
    auto* layout = new QGridLayout(this);
    int row = 0;
    // Copy the entries first: rows write into the very mapping being walked.
    const auto entries = params.entries();
    for (const auto& [key, value] : entries) {
        auto* label = new QLabel(key);
        label->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
        QWidget* editor = nullptr;
        auto combo = [&](const QStringList& items) {
            auto* box = new QComboBox;
            box->addItems(items);
            setParam(key, box->currentText());
            connect(box, &QComboBox::currentTextChanged, this,
                    [cb = makeSetParamCallback(key)](const QString& text) { cb(text); });
            return box;
        };
        if (key == NEW_NAME_KEY) {
            auto* edit = new QLineEdit(value.toString());
            connect(edit, &QLineEdit::textEdited, this,
                    [cb = makeSetParamCallback(key)](const QString& text) { cb(text); });
            editor = edit;
        } else if (key == EXISTING_ROBOT_KEY) {
            editor = combo(project->workspace()->getRobots());
        } else if (key == EXISTING_TOOL_KEY) {
            editor = combo(project->workspace()->getToolFrames());
        } else if (key == EXECUTE_BEHAVIOR_KEY) {
            editor = combo(project->programs().keys());
        } else if (key == PARENT_BEHAVIOR_KEY) {
            QStringList names{QString()};
            const auto behaviors = project->behaviors();
            for (auto it = behaviors.cbegin(); it != behaviors.cend(); ++it)
                if (!it.value()->type().inherits(kestrin::Action::staticType()))
                    names << it.key();
            editor = combo(names);
        } else if (key == JOINT_POS_DISTRIBUTION_TYPE_KEY) {
            editor = combo(
                {QStringLiteral("Deterministic"), QStringLiteral("Uniform"), QStringLiteral("Gaussian")});
        } else if (key == BASE_LINK_KEY || key == TIP_LINK_KEY || key == UNIT_KEY) {
            editor = combo(value.toStringList());
        } else if (key == USE_SEED_POSITIONS_KEY) {
            auto* box = new QCheckBox;
            setParam(key, box->isChecked());
            connect(box, &QCheckBox::stateChanged, this,
                    [cb = makeSetParamCallback(key)](int state) { cb(state); });
            editor = box;
        } else if (key == NUMBER_OF_MIXTURES) {
            auto* spin = new QSpinBox;
            spin->setRange(1, 100);
            setParam(key, spin->value());
            connect(spin, QOverload<int>::of(&QSpinBox::valueChanged), this,
                    [cb = makeSetParamCallback(key)](int n) { cb(n); });
            editor = spin;
        } else {
            delete label;
            throw NotImplementedError(("Internal error: '" + key + "' not implemented").toStdString());
        }
        editor->setObjectName(key);
        const QString tip = promptTip(key);
        if (!tip.isEmpty()) {
            label->setToolTip(tip);
            editor->setToolTip(tip);
        }
        layout->addWidget(label, row, 0);
        layout->addWidget(editor, row, 1);
        ++row;
    }
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
    buttons->setObjectName(QStringLiteral("buttonBox"));
    buttons->setCenterButtons(true);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    layout->addWidget(buttons, row, 0, 1, 2);
    resize(420, 60 * (row + 1));
}

void KSSelectorDialog::setParam(const QString& key, const QVariant& value) {
    _params.insert(key, value);
}

std::function<void(const QVariant&)> KSSelectorDialog::makeSetParamCallback(const QString& key) {
    return [this, key](const QVariant& value) { setParam(key, value); };
}

KSParams* KSSelectorDialog::getParams(QWidget* parent, kestrin::Project* project, KSParams& params) {
    KSSelectorDialog dialog(parent, project, params);
    if (dialog.exec())
        return &dialog._params;
    return nullptr;
}

// --- KSFileDialog ------------------------------------------------------------------------------

namespace {
const char* const kLastFolderKey = "fileDialogs/lastFolder";

QString runFileDialog(QFileDialog& dialog) {
    dialog.setViewMode(QFileDialog::Detail);
    if (!dialog.exec())
        return QString();
    const QStringList files = dialog.selectedFiles();
    if (files.size() != 1)
        return QString();
    QSettings().setValue(QLatin1String(kLastFolderKey), QFileInfo(files.front()).absolutePath());
    return files.front();
}
} // namespace

QString KSFileDialog::startFolder() {
    const QString last = QSettings().value(QLatin1String(kLastFolderKey)).toString();
    if (!last.isEmpty() && QFileInfo(last).isDir())
        return last;
    const QString documents = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
    if (!documents.isEmpty() && QFileInfo(documents).isDir())
        return documents;
    return QDir::homePath();
}

QString KSFileDialog::saveStart(const QString& directory) {
    const QFileInfo given(directory);
    if (given.isAbsolute() && (given.isDir() || given.dir().exists()))
        return directory;
    const QString name = given.isDir() ? QString() : given.fileName();
    return name.isEmpty() ? startFolder() : QDir(startFolder()).filePath(name);
}

QString KSFileDialog::getSaveFileName(QWidget* parent, const QString& caption, const QString& directory,
                                      const QString& filter) {
    QFileDialog dialog(parent, caption, saveStart(directory), filter);
    dialog.setFileMode(QFileDialog::AnyFile);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    // A name typed without an extension gets the filter's ("cell" is saved as "cell.kestrin",
    // and the question whether to replace a file is asked about that name), so that the file
    // shows in the open chooser afterwards.
    const QRegularExpressionMatch suffix =
        QRegularExpression(QStringLiteral("\\(\\*\\.([A-Za-z0-9]+)\\)")).match(filter);
    if (suffix.hasMatch())
        dialog.setDefaultSuffix(suffix.captured(1));
    return runFileDialog(dialog);
}

QString KSFileDialog::getOpenFileName(QWidget* parent, const QString& caption, const QString& filter) {
    QFileDialog dialog(parent, caption, startFolder(), filter);
    dialog.setFileMode(QFileDialog::ExistingFile);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    return runFileDialog(dialog);
}

// --- KSMessageBox ------------------------------------------------------------------------------

bool KSMessageBox::userWantsToSaveProject(QWidget* parent) {
    QMessageBox box(QMessageBox::Warning, QStringLiteral("Save Project"),
                    QStringLiteral("Would you like to save the project first?"),
                    QMessageBox::Yes | QMessageBox::No, parent);
    box.setObjectName(QStringLiteral("saveProjectPrompt"));
    box.setDefaultButton(QMessageBox::Yes);
    return box.exec() == QMessageBox::Yes;
}

QMessageBox::StandardButton KSMessageBox::warning(QWidget* parent, const QString& title, const QString& text,
                                                  QMessageBox::StandardButtons buttons,
                                                  QMessageBox::StandardButton defaultButton) {
    QMessageBox box(QMessageBox::Warning, title, text, buttons, parent);
    box.setObjectName(QStringLiteral("warningBox"));
    box.setDefaultButton(defaultButton);
    const int result = box.exec();
    return static_cast<QMessageBox::StandardButton>(result);
}

} // namespace kestrin_app::content
