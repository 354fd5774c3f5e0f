# README's install-from-source lines, taken from README itself, work as written for a user without
# root on a machine without the test libraries: in a copy of the sources, with a throwaway home
# whose name has a space, they install the binary, a desktop entry that starts it, the manual
# page and the icon under ~/.local. README's uninstall lines then remove every file again.
# Usage: bash test_readme_install.sh
set -euo pipefail
project=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "readme install: $*" >&2; exit 1; }

# The shell block after the line <!-- NAME --> in README.
block() { awk -v m="<!-- $1 -->" '$0 == m { on = 1; next } on && /^```/ { if (code) exit; code = 1; next } code' "$project/README.md"; }
install=$(block install-from-source)
uninstall=$(block uninstall-from-source)
[ -n "$install" ] && [ -n "$uninstall" ] || fail "README has no install-from-source or uninstall-from-source block"

src=$work/src home="$work/home dir"
mkdir -p "$src" "$home"
tar -C "$project" --exclude='./build*' --exclude=./.git -cf - . | tar -C "$src" -xf -
# CMake reads a toolchain file named in the environment; this one hides the test libraries.
printf 'set(CMAKE_DISABLE_FIND_PACKAGE_%s ON)\n' GTest benchmark X11 >"$work/fresh.cmake"
as_user=()
if [ "$(id -u)" -eq 0 ]; then
  chown -R nobody:nogroup "$work"
  as_user=(setpriv --reuid=nobody --regid=nogroup --clear-groups)
fi
user() { (cd "$src" && "${as_user[@]}" env HOME="$home" CMAKE_TOOLCHAIN_FILE="$work/fresh.cmake" bash -euo pipefail -c "$1"); }
user "$install" >"$work/log" 2>&1 || { cat "$work/log"; fail "the install lines fail"; }

prefix=$home/.local
[[ "$(user '"$HOME/.local/bin/lumivet-tool" --version' 2>&1)" == "lumivet-tool "* ]] || fail "the installed binary does not run"
# It finds its decoding helper: a photo opens and its result is saved.
printf 'P3 2 1 255 255 0 0 0 0 255\n' >"$home/tiny.ppm"
user '"$HOME/.local/bin/lumivet-tool" --apply "Blur 1" "$HOME/tiny.ppm"' >"$work/log" 2>&1 &&
  [ -f "$home/tiny_.jpg" ] || { cat "$work/log"; fail "the installed tool cannot open a photo"; }
rm "$home/tiny.ppm" "$home/tiny_.jpg"
entry=$prefix/share/applications/lumivet-tool.desktop
desktop-file-validate "$entry" || fail "the desktop entry is not valid"
grep -qxF "Exec=\"$prefix/bin/lumivet-tool\" %f" "$entry" || fail "the desktop entry does not start the installed binary: $(grep ^Exec "$entry")"
[ -f "$prefix/share/icons/hicolor/scalable/apps/lumivet-tool.svg" ] || fail "no icon"
MANWIDTH=80 man -l "$prefix/share/man/man1/lumivet-tool.1" 2>/dev/null | grep -q '^NAME' || fail "no manual page"

user "$uninstall" || fail "the uninstall lines fail"
left=$(find "$prefix" -type f)
[ -z "$left" ] || fail "left behind after uninstalling: $left"
