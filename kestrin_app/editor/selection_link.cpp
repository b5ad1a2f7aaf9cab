#include "selection_link.h"

#include "tree.h"

#include <kestrin/workspace_object.h>
#include <kestrin_viewer/workspace_viewer.h>

KSSelectionLink::KSSelectionLink(KSProjectTree* tree, kestrin::WorkspaceViewer* viewer, QObject* parent)
    : QObject(parent), m_tree(tree), m_viewer(viewer) {
    setObjectName(QStringLiteral("selectionLink"));
    // The tree takes items out and puts them back while it refills: look once it is done.
    connect(m_tree, &QTreeWidget::itemSelectionChanged, this, [this] {
        if (m_queued)
            return;
        m_queued = true;
        QMetaObject::invokeMethod(
            this, [this] { showTreeSelectionInView(); }, Qt::QueuedConnection);
    });
    connect(m_viewer, &kestrin::WorkspaceViewer::objectClicked, this, &KSSelectionLink::selectInTree);
}

quint64 KSSelectionLink::selectedObjectId() const {
    const QList<QTreeWidgetItem*> items = m_tree->selectedItems();
    if (items.size() != 1)
        return 0;
    const kestrin::WorkspaceObject* object = m_tree->objectAt(items.first());
    return object ? object->id() : 0;
}

void KSSelectionLink::showTreeSelectionInView() {
    m_queued = false;
    const quint64 id = selectedObjectId();
    if (id == m_viewer->selectedObject())
        return;
    m_viewer->setSelectedObject(id);
    m_viewer->render();
}

void KSSelectionLink::selectInTree(quint64 id) {
    QTreeWidgetItem* item = id ? m_tree->itemForObject(id) : nullptr;
    if (!item) {
        m_tree->clearSelection();
        return;
    }
    m_tree->setCurrentItem(item, 0, QItemSelectionModel::ClearAndSelect);
    m_tree->scrollToItem(item);
}
