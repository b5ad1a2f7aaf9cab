#!/usr/bin/env bash
# Builds Kestrin Studio and runs the whole test suite (under a virtual display).
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${KESTRIN_BUILD_DIR:-$here/build}"
"$here/scripts/setup.sh" "$build"
cd "$build"
xvfb-run -a -s "-screen 0 1280x1024x24" ctest --output-on-failure -j"$(nproc)" "$@"
