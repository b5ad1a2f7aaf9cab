#pragma once
// A content handler wired to real shell widgets, with failures recorded instead of shown and
// the application's end recorded instead of carried out.

#include "dialog_driver.h"

#include <kestrin/kestrin.h>
#include <kestrin_app/container.h>
#include <kestrin_app/content.h>
#include <kestrin_app/editor/tree.h>
#include <kestrin_app/exception.h>
#include <kestrin_app/status.h>
#include <kestrin_viewer/workspace_viewer.h>

#include <QMainWindow>
#include <memory>

namespace testing {

struct HandlerFixture {
    QMainWindow window;
    KSProjectContainer* container;
    KSProjectTree* tree;
    KSStatusBarWidget* status;
    std::unique_ptr<kestrin_app::content::KSContentHandler> handler;
    QStringList failures;    // texts shown to the user, in order
    QList<int> exitRequests; // statuses quit asked the application to end with

    /// `prepare` may fill the container's project before the handler is constructed.
    explicit HandlerFixture(const std::function<void(kestrin::Project*)>& prepare = {}) {
        container = new KSProjectContainer;
        tree = new KSProjectTree(container);
        status = new KSStatusBarWidget;
        window.setCentralWidget(container);
        window.resize(800, 600);
        kestrin_app::setFailurePresenter([this](const QString&, const QString& text) { failures << text; });
        if (prepare) {
            prepare(container->project());
            container->project()->history().reset(); // as if the prepared cell had been opened
        }
        handler = std::make_unique<kestrin_app::content::KSContentHandler>(&window, container, tree, status);
        handler->_exit_application = [this](int code) { exitRequests << code; };
    }
    ~HandlerFixture() {
        handler.reset();
        delete tree;
        delete status;
    }

    kestrin::Project* project() const { return container->project(); }
    kestrin::Workspace* workspace() const { return container->project()->workspace(); }
    int sceneItems() const { return container->viewer()->sceneItemCount(); }
    /// Names shown in the tree (column 0), anywhere in it.
    QStringList treeNames() const {
        QStringList names;
        std::function<void(QTreeWidgetItem*)> walk = [&](QTreeWidgetItem* item) {
            for (int i = 0; i < item->childCount(); ++i) {
                names << item->child(i)->text(0);
                walk(item->child(i));
            }
        };
        walk(tree->invisibleRootItem());
        return names;
    }
};

} // namespace testing
