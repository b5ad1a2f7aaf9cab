#pragma once
// Rearranging programs: moving a behavior, with everything below it, to another place among the
// programs or below another behavior.

namespace kestrin {

class Behavior;

/// Puts `behavior`, with everything below it, at `index` among the children of `parent`, or
/// among the programs when `parent` is nullptr. `index` is the place it takes once moved, clamped
/// to the ends. All or nothing: throws ValueError, and changes nothing, when `behavior` is not
/// attached, when `parent` is an action (actions hold no other behaviors), belongs to another
/// project, is not attached, is `behavior` itself or lies below it, or when the program would nest
/// deeper than kMaxBehaviorDepth.
void moveBehavior(Behavior* behavior, Behavior* parent, int index);

/// Moves `behavior` `by` places among its siblings (-1: up, +1: down). Returns false, and changes
/// nothing, when it would leave the list.
bool shiftBehavior(Behavior* behavior, int by);

/// The place of `behavior` among its siblings (among the programs, for a program); -1 when it is
/// not attached.
int siblingIndex(const Behavior* behavior);

} // namespace kestrin
