#!/usr/bin/env bash
# Fuzzes project loading: builds the libFuzzer target (clang, AddressSanitizer and
# UndefinedBehaviorSanitizer) in a build folder of its own and runs it for SECONDS seconds
# (default 60; 0 runs until stopped or until a -runs=N given after it is used up).
# Inputs that crash, hang, leak or trip a sanitizer are kept in fuzz/findings/ and the run fails.
# Usage: scripts/fuzz.sh [SECONDS] [more libFuzzer arguments...]
# Replay one input: build-fuzz/bin/fuzz_project_load fuzz/findings/crash-...
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
seconds="${1:-60}"
shift || true
build="${KESTRIN_FUZZ_BUILD_DIR:-$here/build-fuzz}"

packages=(cmake make pkg-config clang-14 libclang-rt-14-dev qtbase5-dev libeigen3-dev liborocos-kdl-dev liburdfdom-dev libassimp-dev libfcl-dev)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ "${#missing[@]}" -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  sudo_cmd=()
  [ "$(id -u)" -ne 0 ] && sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

CC=clang-14 CXX=clang++-14 cmake -S "$here" -B "$build" -DKESTRIN_FUZZ=ON >/dev/null
cmake --build "$build" -j"$(nproc)" --target fuzz_project_load

# New inputs go to the first folder (kept in the build folder between runs); the others seed it:
# the shipped templates, small bad files, every input that once found a fault and the absurd
# values the loader refuses.
corpus="$build/fuzz-corpus/project_load"
mkdir -p "$corpus" "$here/fuzz/findings"
seeds=("$here/fuzz/seeds" "$here/data/templates")
[ -d "$here/tests/data/fuzz_regressions" ] && seeds+=("$here/tests/data/fuzz_regressions")
[ -d "$here/tests/data/hostile" ] && seeds+=("$here/tests/data/hostile")

echo "Fuzzing Project::load for ${seconds} s; findings go to fuzz/findings/"
exec "$build/bin/fuzz_project_load" \
  -max_total_time="$seconds" -rss_limit_mb=2048 -timeout=10 -max_len=16384 \
  -dict="$here/fuzz/project_load.dict" -artifact_prefix="$here/fuzz/findings/" -print_final_stats=1 \
  "$@" "$corpus" "${seeds[@]}"
