#!/usr/bin/env bash
# Builds kestrin-bench in release mode (in build-bench/, or KESTRIN_BENCH_BUILD_DIR), runs it under
# a virtual display and prints its table: figure, value, target, met or not. Every target is a
# ratio between two figures of the same run. Arguments go to kestrin-bench (e.g.
# --benchmark_filter=AddObject to run some figures only; the table then marks the rest as not
# measured). KESTRIN_BENCH_JOBS sets the build's parallel jobs (default 2).
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${KESTRIN_BENCH_BUILD_DIR:-$here/build-bench}"
jobs="${KESTRIN_BENCH_JOBS:-2}"

for tool in cmake xvfb-run; do
  command -v "$tool" >/dev/null || { echo "bench.sh: $tool is missing: run scripts/setup.sh first" >&2; exit 1; }
done

cmake -S "$here" -B "$build" -DCMAKE_BUILD_TYPE=Release -DKESTRIN_BUILD_TESTS=OFF -DKESTRIN_BUILD_BENCH=ON >/dev/null
cmake --build "$build" --target kestrin-bench -j"$jobs"

# Qt wants a runtime folder of its own; without one it warns on every start of every process.
if [ -z "${XDG_RUNTIME_DIR:-}" ]; then
  export XDG_RUNTIME_DIR="$build/runtime"
  mkdir -p -m 700 "$XDG_RUNTIME_DIR"
fi

# The benchmarks' own output goes to the log; the table is the last thing printed.
log="$build/bench-output.txt"
echo "Running kestrin-bench (several minutes; benchmark output in $log)" >&2
# Repetitions of different figures are interleaved at random (figures without repetitions run once).
xvfb-run -a -s "-screen 0 1280x1024x24" "$build/bin/kestrin-bench" --benchmark_enable_random_interleaving=true \
  "$@" >"$log"
sed -n '/^| Figure /,$p' "$log"
