#pragma once
// The parameter form, the file choosers and the save prompt of the content layer.

#include <QDialog>
#include <QMessageBox>
#include <QString>
#include <QVariant>
#include <functional>
#include <stdexcept>
#include <utility>
#include <vector>

namespace kestrin {
class Project;
}

namespace kestrin_app::content {

/// An insertion-ordered mapping from a prompt key to a value (text, boolean, integer, or an
/// invalid QVariant as a placeholder). Inserting an existing key replaces its value in place.
class KSParams {
public:
    KSParams() = default;
    KSParams(std::initializer_list<std::pair<QString, QVariant>> entries);

    void insert(const QString& key, const QVariant& value);
    bool contains(const QString& key) const { return indexOf(key) >= 0; }
    /// The value under `key`, or an invalid QVariant.
    QVariant value(const QString& key) const;
    QStringList keys() const;
    int size() const { return static_cast<int>(m_entries.size()); }
    bool isEmpty() const { return m_entries.empty(); }
    const std::vector<std::pair<QString, QVariant>>& entries() const { return m_entries; }
    bool operator==(const KSParams& other) const { return m_entries == other.m_entries; }

private:
    int indexOf(const QString& key) const;
    std::vector<std::pair<QString, QVariant>> m_entries;
};

/// Raised for a prompt key the form does not know: a mistake in the calling code.
class NotImplementedError : public std::logic_error {
public:
    using std::logic_error::logic_error;
};

/// The generated parameter form: one labelled row per key of the caller's mapping, the editor
/// chosen by the key, choice lists filled from the project. Every change the user makes is
/// written into the caller's own mapping at once.
class KSSelectorDialog : public QDialog {
    Q_OBJECT
public:
    static const QString NEW_NAME_KEY;
    static const QString EXISTING_ROBOT_KEY;
    static const QString EXISTING_TOOL_KEY;
    static const QString EXECUTE_BEHAVIOR_KEY;
    static const QString PARENT_BEHAVIOR_KEY;
    static const QString JOINT_POS_DISTRIBUTION_TYPE_KEY;
    static const QString USE_SEED_POSITIONS_KEY;
    static const QString NUMBER_OF_MIXTURES;
    /// Choices read from a file rather than from the project: the caller's value is the list
    /// of choices, the first chosen at the start; the answer is the chosen text.
    static const QString BASE_LINK_KEY;
    static const QString TIP_LINK_KEY;
    static const QString UNIT_KEY;

    /// Builds the form without showing it. Throws NotImplementedError for an unknown key (rows
    /// before it have written their values already) and passes on failures of the project.
    KSSelectorDialog(QWidget* parent, kestrin::Project* project, KSParams& params);

    void setParam(const QString& key, const QVariant& value);
    std::function<void(const QVariant&)> makeSetParamCallback(const QString& key);

    /// Runs the form modally: the caller's own mapping when the user presses OK, nullptr when
    /// the user cancels.
    static KSParams* getParams(QWidget* parent, kestrin::Project* project, KSParams& params);

    KSParams& _params;
};

/// Qt's file chooser with the settings used everywhere in the studio.
///
/// Where a chooser starts: the open chooser in startFolder(); a save chooser at the path it is
/// given when that path's folder exists, else at the path's file name in startFolder() (a bare
/// file name such as "trials.csv" too). Every chosen file's folder becomes the last folder used.
class KSFileDialog {
public:
    /// A path to save to (it need not exist), exactly as chosen; a null string on cancel.
    static QString getSaveFileName(QWidget* parent, const QString& caption, const QString& directory,
                                   const QString& filter);
    /// An existing file; a null string on cancel.
    static QString getOpenFileName(QWidget* parent, const QString& caption, const QString& filter);

    /// The last folder a file was chosen in, while it exists; else the Documents folder, while
    /// it exists; else the home folder. Never the folder the program was started from.
    static QString startFolder();
    /// Where a save chooser given `directory` starts (see the class comment).
    static QString saveStart(const QString& directory);
};

class KSMessageBox {
public:
    /// "Would you like to save the project first?" Yes (the default, Enter) or No (Escape).
    static bool userWantsToSaveProject(QWidget* parent);
    /// A warning box with the given buttons; returns the button pressed.
    static QMessageBox::StandardButton warning(QWidget* parent, const QString& title, const QString& text,
                                               QMessageBox::StandardButtons buttons,
                                               QMessageBox::StandardButton defaultButton);
};

} // namespace kestrin_app::content
