#!/usr/bin/env bash
# Builds Kestrin Studio if needed and starts it; any arguments go to the studio.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${KESTRIN_BUILD_DIR:-$here/build}"
"$here/scripts/setup.sh" "$build" >&2
exec "$build/bin/kestrin-studio" "$@"
