#!/usr/bin/env bash
# The .deb of a build: lintian finds nothing to warn about; unpacked into a throwaway root it holds
# the installed binary, a valid desktop entry that opens a file, the icon, a clean compressed manual page and valid metainfo;
# its Depends were computed, and it has no maintainer scripts, so removing it leaves nothing.
# Usage: bash test_package.sh BUILD-DIR
set -euo pipefail
project=$(cd "$(dirname "$0")/../.." && pwd)
build=$(realpath "$1")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "package: $*" >&2; exit 1; }

deb=$("$project/scripts/package" "$build" "$work" | tail -n1)
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
[ "$(basename "$deb")" = "lumivet-tool_${version}_$(dpkg --print-architecture).deb" ] ||
  fail "unexpected file name $deb"

lintian --fail-on error,warning --tag-display-limit 0 "$deb" >"$work/lintian.log" 2>&1 ||
  { grep -v '^running with root privileges' "$work/lintian.log"; fail "lintian reports errors or warnings"; }

# Depends come from dpkg-shlibdeps: the libraries the binary links, each with a version.
depends=$(dpkg-deb -f "$deb" Depends)
for library in libc6 libstdc++6 libqt5widgets5 libopencv-core406 libopencv-highgui406 libexiv2-27; do
  grep -qF ", $library (>= " <<<", $depends" || fail "Depends lacks $library: $depends"
done
dpkg-deb --ctrl-tarfile "$deb" | tar -t | grep -Eq '/(pre|post)(inst|rm)$' &&
  fail "the package has maintainer scripts"

root=$work/root
dpkg -x "$deb" "$root"
for f in usr/bin/lumivet-tool usr/share/applications/lumivet-tool.desktop \
         usr/share/icons/hicolor/scalable/apps/lumivet-tool.svg usr/share/man/man1/lumivet-tool.1.gz \
         usr/share/metainfo/org.lumivet.LumivetTool.metainfo.xml \
         usr/share/doc/lumivet-tool/copyright usr/share/doc/lumivet-tool/changelog.gz; do
  [ -f "$root/$f" ] || fail "not in the package: /$f"
done
[ "$("$root/usr/bin/lumivet-tool" --version)" = "lumivet-tool $version" ] || fail "--version is wrong"

desktop-file-validate "$root/usr/share/applications/lumivet-tool.desktop"
grep -q '^Exec=lumivet-tool %f$' "$root/usr/share/applications/lumivet-tool.desktop" || fail "desktop entry Exec"
appstreamcli validate --no-net --no-color "$root/usr/share/metainfo/org.lumivet.LumivetTool.metainfo.xml" \
  >"$work/appstream.log" || { cat "$work/appstream.log"; fail "the metainfo does not validate"; }
grep -q '<launchable type="desktop-id">lumivet-tool.desktop</launchable>' \
  "$root/usr/share/metainfo/org.lumivet.LumivetTool.metainfo.xml" || fail "metainfo launches no desktop entry"

# The manual page renders without a groff warning and has the sections the issue asks for.
page=$root/usr/share/man/man1/lumivet-tool.1.gz
warnings=$(zcat "$page" | groff -man -ww -z 2>&1) || true
[ -z "$warnings" ] || fail "groff warns about the manual page: $warnings"
text=$(MANWIDTH=80 man -l "$page" 2>/dev/null | col -b)
for section in NAME SYNOPSIS DESCRIPTION SLIDERS KEYS OPTIONS "EXIT STATUS" FILES ENVIRONMENT; do
  grep -q "^$section\$" <<<"$text" || fail "manual page lacks the section $section"
done
for word in --help --version LUMIVET_TRACE LUMIVET_SLOW_STAGE_MS _.jpg; do
  grep -qF -- "$word" <<<"$text" || fail "manual page does not mention $word"
done
echo "package: ok ($(basename "$deb"))"
