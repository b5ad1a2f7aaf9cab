#pragma once

#include <QObject>

class KSProjectTree;

namespace kestrin {
class WorkspaceViewer;
}

/// Keeps the project tree's selection and the 3-D view's in step:
/// - When the tree selects exactly one workspace object, the view outlines it; otherwise the view
///   outlines nothing.
/// - An object clicked in the view becomes the tree's one selected item; a click on empty space
///   clears the tree's selection.
/// The tree and the viewer must outlive the link.
class KSSelectionLink : public QObject {
    Q_OBJECT
public:
    KSSelectionLink(KSProjectTree* tree, kestrin::WorkspaceViewer* viewer, QObject* parent = nullptr);

    /// The id the view outlines, as the tree's selection says.
    quint64 selectedObjectId() const;

private:
    void showTreeSelectionInView();
    void selectInTree(quint64 id);

    KSProjectTree* m_tree;
    kestrin::WorkspaceViewer* m_viewer;
    bool m_queued = false;
};
