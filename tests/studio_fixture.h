#pragma once
// The whole main window, driven as a user would: tree selection, property panel editors, and
// failures collected instead of shown.

#include <kestrin/kestrin.h>
#include <kestrin_app/container.h>
#include <kestrin_app/content.h>
#include <kestrin_app/editor/property_panel.h>
#include <kestrin_app/editor/tree.h>
#include <kestrin_app/exception.h>
#include <kestrin_app/mainwindow.h>
#include <kestrin_viewer/workspace_viewer.h>

#include <QComboBox>
#include <QCoreApplication>
#include <QDoubleSpinBox>
#include <QLineEdit>
#include <QTest>
#include <stdexcept>

namespace testing {

/// Lets queued work (the property panel following the tree) run.
inline void settle() {
    QCoreApplication::processEvents();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

/// The main window with failures collected instead of shown.
struct Studio {
    KSMainWindow window;
    QStringList failures;

    Studio() {
        kestrin_app::setFailurePresenter([this](const QString&, const QString& text) { failures << text; });
    }
    ~Studio() { kestrin_app::setFailurePresenter({}); }

    kestrin_app::content::KSContentHandler& handler() { return window.handler(); }
    kestrin::Project* project() { return handler().project(); }
    kestrin::Workspace* workspace() { return project()->workspace(); }
    KSProjectTree* tree() { return window.projectTree(); }
    KSPropertyPanel* propertyPanel() { return window.propertyPanel(); }
    kestrin::WorkspaceViewer* viewer() { return window.container()->viewer(); }

    /// Shows what was put into the project behind the handler's back, and makes it the start of
    /// the undo history.
    void sync() {
        handler()._rebuildViewerAndTree();
        project()->history().reset();
        settle();
    }

    void select(QTreeWidgetItem* item) {
        if (!item)
            throw std::runtime_error("the tree shows no such item");
        tree()->setCurrentItem(item, 0, QItemSelectionModel::ClearAndSelect);
        settle();
    }
    void select(const kestrin::WorkspaceObject* object) { select(tree()->itemForObject(object->id())); }
    void selectBehavior(const QString& name) { select(tree()->itemForBehavior(name)); }
    void selectVariable(const QString& name) { select(tree()->itemForVariable(name)); }

    /// An editor of the property panel's current page.
    template <class T> T* editor(const QString& objectName) {
        T* widget = propertyPanel()->findChild<T*>(objectName);
        if (!widget)
            throw std::runtime_error(("the property panel shows no " + objectName).toStdString());
        return widget;
    }
    void enter(const QString& spin, double value) { editor<QDoubleSpinBox>(spin)->setValue(value); }
    void choose(const QString& combo, const QString& text) {
        auto* box = editor<QComboBox>(combo);
        const int index = box->findText(text);
        if (index < 0)
            throw std::runtime_error(("'" + text + "' is not offered by " + combo).toStdString());
        box->setCurrentIndex(index);
    }
    void rename(const QString& name) {
        auto* edit = editor<QLineEdit>("propertyPanelName");
        edit->setText(name);
        QTest::keyClick(edit, Qt::Key_Return);
    }
    QStringList choices(const QString& combo) {
        QStringList texts;
        auto* box = editor<QComboBox>(combo);
        for (int i = 0; i < box->count(); ++i)
            texts << box->itemText(i);
        return texts;
    }
    QString undoName() { return project()->history().undoName(); }
};

} // namespace testing
