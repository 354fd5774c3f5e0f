#!/usr/bin/env bash
# Installing into a prefix puts the binary, a valid desktop entry and the icon in the standard places.
set -euo pipefail
build=$(dirname "$1")
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
cmake --install "$build" --prefix "$prefix" >/dev/null
for f in bin/lumivet-tool share/applications/lumivet-tool.desktop \
         share/icons/hicolor/scalable/apps/lumivet-tool.svg; do
  [ -f "$prefix/$f" ] || { echo "not installed: $f"; exit 1; }
done
desktop-file-validate "$prefix/share/applications/lumivet-tool.desktop"
"$prefix/bin/lumivet-tool" --version | grep -q '^lumivet-tool [0-9]'
grep -q '^Exec=lumivet-tool %f$' "$prefix/share/applications/lumivet-tool.desktop"
echo "install: ok"
