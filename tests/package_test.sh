#!/usr/bin/env bash
# The Debian package as a user gets it: built with cpack from the build folder, installed with
# apt-get (which brings what it depends on), the installed kestrin-studio run from /usr/bin on an
# installed template, then removed. Installing needs root: without it the test is skipped
# (exit 77), saying so. Whatever happens, the package is removed again.
# Usage: package_test.sh BUILD_DIR
set -uo pipefail
build="$1"
name=kestrin-studio

if [ "$(id -u)" -ne 0 ]; then
  echo "SKIPPED: installing the package needs root (run the tests as root, as CI does)."
  exit 77
fi
if dpkg-query -W -f='${Status}' "$name" 2>/dev/null | grep -q "install ok installed"; then
  echo "SKIPPED: $name is installed on this machine already; this test installs and removes its own."
  exit 77
fi

work="$(mktemp -d)"
installed=0
cleanup() {
  if [ "$installed" -eq 1 ]; then
    DEBIAN_FRONTEND=noninteractive apt-get remove -y -qq "$name" >/dev/null 2>&1 || dpkg -r "$name" >/dev/null 2>&1
  fi
  rm -rf "$work"
}
trap cleanup EXIT

fail() {
  echo "FAILED: $*"
  exit 1
}

echo "--- Building the package"
(cd "$work" && cpack --config "$build/CPackConfig.cmake" -G DEB -B "$work/out") >"$work/cpack.log" 2>&1 ||
  { cat "$work/cpack.log"; fail "cpack did not build the package"; }
deb="$(ls "$work"/out/*.deb 2>/dev/null | head -n 1)"
[ -n "$deb" ] || { cat "$work/cpack.log"; fail "cpack made no .deb"; }
echo "$(basename "$deb")"
dpkg-deb -c "$deb" | awk '{print $6}'
depends="$(dpkg-deb -f "$deb" Depends)"
echo "Depends: $depends"
for lib in libqt5widgets5 libqt5svg5; do
  grep -q "$lib" <<<"$depends" || fail "the package does not depend on $lib"
done

echo "--- Installing it"
installed=1
DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$deb" >"$work/install.log" 2>&1 ||
  { cat "$work/install.log"; fail "apt-get could not install the package"; }

program=/usr/bin/kestrin-studio
[ -x "$program" ] || fail "$program is not there"
for file in /usr/share/kestrin/templates/demo_cell.kestrin /usr/share/applications/kestrin-studio.desktop \
            /usr/share/icons/hicolor/scalable/apps/kestrin-studio.svg /usr/share/mime/packages/kestrin-studio.xml; do
  [ -f "$file" ] || fail "$file is not installed"
done
grep -q '^Exec=kestrin-studio %f$' /usr/share/applications/kestrin-studio.desktop ||
  fail "the desktop entry does not open a file with kestrin-studio"
grep -q '^MimeType=application/x-kestrin-project;$' /usr/share/applications/kestrin-studio.desktop ||
  fail "the desktop entry does not name the project file type"
# shared-mime-info's trigger has taken the type in: a double-click on a .kestrin file finds it.
if command -v update-mime-database >/dev/null; then
  grep -q 'application/x-kestrin-project:\*\.kestrin' /usr/share/mime/globs2 ||
    fail "the desktop's file types do not know *.kestrin"
fi

echo "--- Running the installed program"
version="$("$program" --version)" || fail "--version failed"
[ "$version" = "kestrin-studio $(dpkg-deb -f "$deb" Version)" ] || fail "--version printed '$version'"
echo "$version"
# Without a display, as from a script: the template is found where the program looks for it.
out="$(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$program" --run "Pick and Place" \
       /usr/share/kestrin/templates/demo_cell.kestrin)"
status=$?
echo "$out"
[ "$status" -eq 0 ] || fail "--run on the installed demo cell ended with $status"
grep -q "^Program 'Pick and Place' completed after " <<<"$out" || fail "--run did not say the program completed"

echo "--- Removing it"
DEBIAN_FRONTEND=noninteractive apt-get remove -y -qq "$name" >"$work/remove.log" 2>&1 ||
  { cat "$work/remove.log"; fail "apt-get could not remove the package"; }
installed=0
[ ! -e "$program" ] || fail "$program is still there after removing the package"
[ ! -e /usr/share/kestrin/templates/demo_cell.kestrin ] || fail "the templates are still there"
echo "PASSED"
