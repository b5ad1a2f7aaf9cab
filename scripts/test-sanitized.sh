#!/usr/bin/env bash
# Builds Kestrin Studio with AddressSanitizer and UndefinedBehaviorSanitizer (gcc) in a build
# folder of its own and runs the whole test suite under a virtual display, leak checking on.
# Leaks inside third-party libraries are suppressed by tests/lsan.supp; every other report
# (a memory error, undefined behaviour, a leak of ours) fails the test that made it.
# Usage: scripts/test-sanitized.sh [ctest arguments...]
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${KESTRIN_ASAN_BUILD_DIR:-$here/build-asan}"
"$here/scripts/setup.sh" "$build" -DKESTRIN_SANITIZE=ON -DKESTRIN_BUILD_TESTS=ON

# detect_stack_use_after_return stays off: Qt's and VTK's stacks are not instrumented, and it
# costs much memory. New and delete must pair up exactly (alloc_dealloc_mismatch).
export ASAN_OPTIONS="detect_leaks=1:alloc_dealloc_mismatch=1:check_initialization_order=1:halt_on_error=1:print_suppressions=0"
export LSAN_OPTIONS="suppressions=$here/tests/lsan.supp:print_suppressions=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
cd "$build"
xvfb-run -a -s "-screen 0 1280x1024x24" ctest --output-on-failure -j"$(nproc)" "$@"
