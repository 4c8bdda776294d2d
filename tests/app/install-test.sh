#!/bin/sh
# cmake --install into a scratch prefix gives a desktop program: the programs, the menu entry
# (valid for desktops) and its icon, and an installed dcc-cab that finds its window program.
# Usage: install-test.sh BUILD_DIR
build=$1
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
failed=0
fail() {
    echo "FAIL: $*" >&2
    failed=1
}

cmake --install "$build" --prefix "$prefix" >/dev/null || fail "cmake --install"
for file in bin/dcc-cab bin/dcc-board-sim libexec/dcc-cab/dcc-cab-window \
    share/applications/dcc-cab.desktop share/icons/hicolor/scalable/apps/dcc-cab.svg; do
    [ -e "$prefix/$file" ] || fail "$file is not installed"
done
desktop-file-validate "$prefix/share/applications/dcc-cab.desktop" || fail "the .desktop file"
grep -q '^Categories=Utility;Electronics;$' "$prefix/share/applications/dcc-cab.desktop" ||
    fail "the menu categories"

# The installed launcher starts the installed window program (on the simulated station).
out=$(env -u DISPLAY -u WAYLAND_DISPLAY QT_QPA_PLATFORM=offscreen \
    "$prefix/bin/dcc-cab" --simulate --screenshot "$prefix/window.png" 2>&1) ||
    fail "installed dcc-cab --simulate --screenshot: $out"
[ -s "$prefix/window.png" ] || fail "no picture of the installed window"
exit $failed
