#!/usr/bin/env bash
# Checks that the layers stay apart and that the code keeps one format:
# - the core library (kestrin/) includes nothing of Qt but QtCore, and nothing of VTK;
# - only the viewer itself includes its private headers (kestrin_viewer/src/);
# - every C++ file is as clang-format (.clang-format) writes it.
# Prints each offence and exits 1 if there is one. Needs clang-format (scripts/setup.sh installs it).
set -uo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
failed=0

qtcore="$(find /usr/include -maxdepth 3 -type d -path '*qt5/QtCore' | head -n 1)"
if [ -z "$qtcore" ]; then
  echo "check-tree.sh: QtCore's headers are missing: run scripts/setup.sh first" >&2
  exit 1
fi
while IFS= read -r line; do
  file="${line%%:*}"
  header="$(sed -E 's/.*#include[[:space:]]*<([^>]+)>.*/\1/' <<<"${line#*:}")"
  case "$header" in
    vtk* | QVTK*)
      echo "$file: the core library must not include VTK ($header)"
      failed=1 ;;
    Qt*/*)
      if [ "${header%%/*}" != QtCore ]; then
        echo "$file: the core library includes only QtCore of Qt ($header)"
        failed=1
      fi ;;
    Q*)
      if [ ! -e "$qtcore/$header" ]; then
        echo "$file: the core library includes only QtCore of Qt ($header)"
        failed=1
      fi ;;
  esac
done < <(grep -rHE '^[[:space:]]*#[[:space:]]*include[[:space:]]*<' kestrin --include='*.h' --include='*.cpp')

while IFS= read -r line; do
  echo "${line%%:*}: the viewer's private headers are for the viewer alone"
  failed=1
done < <(grep -rlE '#[[:space:]]*include[[:space:]]*[<"]kestrin_viewer/src/' --include='*.h' --include='*.cpp' \
           kestrin kestrin_app tests bench tools fuzz 2>/dev/null | sed 's/$/:/')

command -v clang-format >/dev/null || { echo "check-tree.sh: clang-format is missing: run scripts/setup.sh first" >&2; exit 1; }
mapfile -t sources < <(git ls-files '*.cpp' '*.h')
if ! clang-format --dry-run --Werror "${sources[@]}" 2>/tmp/check-tree-format.$$; then
  grep -E '^[^ ].*: (error|warning):' /tmp/check-tree-format.$$ | sed -E 's/:[0-9]+:[0-9]+: .*/: not as clang-format writes it/' | sort -u
  echo "Run: clang-format -i \$(git ls-files '*.cpp' '*.h')"
  failed=1
fi
rm -f /tmp/check-tree-format.$$

[ "$failed" -eq 0 ] && echo "check-tree.sh: layers apart, format kept"
exit "$failed"
