#include "program_editing.h"

#include "behavior.h"
#include "error.h"
#include "project.h"

#include <algorithm>
#include <functional>

namespace kestrin {

namespace {

int height(const Behavior* b) {
    int h = 0;
    for (const Behavior* c : b->children())
        h = std::max(h, height(c));
    return h + 1;
}

int depth(const Behavior* b) {
    int d = 1;
    for (const Behavior* p = b->parent(); p; p = p->parent())
        ++d;
    return d;
}

/// Puts a detached `behavior` at `index` below `parent` (nullptr: among the programs).
void place(Project* project, Behavior* behavior, Behavior* parent, int index) {
    if (parent)
        parent->_insertChild(behavior, index);
    else
        project->insertProgram(behavior, index);
}

} // namespace

int siblingIndex(const Behavior* behavior) {
    if (!behavior || (!behavior->parent() && !behavior->isProgram()))
        return -1;
    const std::vector<Behavior*>& list =
        behavior->parent() ? behavior->parent()->children() : behavior->project()->programList();
    const auto it = std::find(list.begin(), list.end(), behavior);
    return it == list.end() ? -1 : static_cast<int>(it - list.begin());
}

void moveBehavior(Behavior* behavior, Behavior* parent, int index) {
    if (!behavior || !behavior->isAttached())
        throw ValueError(QStringLiteral("Only a behavior of a program can be moved."));
    Project* project = behavior->project();
    if (parent) {
        if (!parent->acceptsChildren())
            throw ValueError(
                QStringLiteral("Cannot move '%1' below '%2': '%2' is an action (%3), which holds no "
                               "other behaviors. Choose a sequence as the parent.")
                    .arg(behavior->name(), parent->name(), parent->type().name()));
        if (parent->project() != project || !parent->isAttached())
            throw ValueError(QStringLiteral("Cannot move '%1' below '%2': '%2' is not part of a program of "
                                            "this project.")
                                 .arg(behavior->name(), parent->name()));
        for (const Behavior* b = parent; b; b = b->parent())
            if (b == behavior)
                throw ValueError(
                    QStringLiteral("Cannot move '%1' below '%2': a behavior cannot go below itself.")
                        .arg(behavior->name(), parent->name()));
        if (depth(parent) + height(behavior) > kMaxBehaviorDepth)
            throw ValueError(
                QStringLiteral("Cannot move '%1' below '%2': programs nest at most %3 levels deep.")
                    .arg(behavior->name(), parent->name())
                    .arg(kMaxBehaviorDepth));
    }
    Behavior* oldParent = behavior->parent();
    const int oldIndex = siblingIndex(behavior);
    if (oldParent == parent && oldIndex == index)
        return;
    if (oldParent)
        oldParent->_removeChild(behavior);
    else
        project->_detachProgram(behavior);
    try {
        place(project, behavior, parent, index);
    } catch (...) {
        // Checked above, so this is not expected; the behavior must not be left detached.
        place(project, behavior, oldParent, oldIndex);
        throw;
    }
}

bool shiftBehavior(Behavior* behavior, int by) {
    const int index = siblingIndex(behavior);
    if (index < 0)
        return false;
    const int count = static_cast<int>(behavior->parent() ? behavior->parent()->children().size()
                                                          : behavior->project()->programList().size());
    const int to = index + by;
    if (by == 0 || to < 0 || to >= count)
        return false;
    moveBehavior(behavior, behavior->parent(), to);
    return true;
}

} // namespace kestrin
