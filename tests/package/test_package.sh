#!/usr/bin/env bash
# The .deb of a build: named for the Debian release it was built on, lintian finds nothing to warn
# about; unpacked into a throwaway root it holds the installed binary, a valid desktop entry that
# opens a file, the icon, a clean compressed manual page and valid metainfo; its Depends were
# computed and name the libheif plugins, with which alone HEIC and AVIF photos open; it has no
# maintainer scripts, so removing it leaves nothing.
# Usage: bash test_package.sh BUILD-DIR
set -euo pipefail
project=$(cd "$(dirname "$0")/../.." && pwd)
build=$(realpath "$1")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "package: $*" >&2; exit 1; }

deb=$("$project/scripts/package" "$build" "$work" | tail -n1)
release=$(. /etc/os-release && echo "${VERSION_ID%%.*}")
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
[ "$(basename "$deb")" = "lumivet-tool_${version}~deb${release}_$(dpkg --print-architecture).deb" ] ||
  fail "name: $deb"

lintian --fail-on error,warning --tag-display-limit 0 "$deb" >"$work/lintian.log" 2>&1 ||
  { grep -v '^running with root privileges' "$work/lintian.log"; fail "lintian reports errors or warnings"; }

# Depends come from dpkg-shlibdeps: the libraries the binary links, each with a version (their
# names carry the release's sonames), and the plugins it cannot see: libheif's decoders and Qt's
# SVG support for the icons.
depends=$(dpkg-deb -f "$deb" Depends)
for library in libc6 'libstdc\+\+6' 'libqt5widgets5(t64)?' 'libopencv-core4[0-9]+' 'libopencv-highgui4[0-9]+' \
  'libexiv2-[0-9]+' 'libjxl0\.[0-9]+' 'libraw[0-9]+(t64)?' liblcms2-2 'libjpeg62-turbo' 'libtiff[0-9]+' \
  'libseccomp2'; do
  grep -qE "(^|, )$library \(>= " <<<"$depends" || fail "Depends lacks $library: $depends"
done
for plugin in 'libheif1 (>= 1.19)' libheif-plugin-libde265 libheif-plugin-dav1d libqt5svg5; do
  grep -qF ", $plugin," <<<", $depends," || fail "Depends lacks $plugin: $depends"
done
dpkg-deb --ctrl-tarfile "$deb" | tar -t | grep -Eq '/(pre|post)(inst|rm)$' && fail "maintainer scripts"

root=$work/root
dpkg -x "$deb" "$root"
# The binary, desktop entry, metainfo and manual page are checked by running or reading them below.
for f in usr/libexec/lumivet-tool/lumivet-decode usr/share/icons/hicolor/scalable/apps/lumivet-tool.svg \
  usr/share/doc/lumivet-tool/{copyright,changelog.gz}; do
  [ -f "$root/$f" ] || fail "not in the package: /$f"
done
[ "$("$root/usr/bin/lumivet-tool" --version)" = "lumivet-tool $version" ] || fail "--version is wrong"

# HEIC and AVIF photos open with the plugins the package depends on, and no others.
plugins=$work/plugins
mkdir "$plugins"
for p in $(tr ',' '\n' <<<"$depends" | grep -o 'libheif-plugin-[a-z0-9]*'); do
  dpkg -L "$p" | grep '\.so$' | xargs -I{} ln -s {} "$plugins/"
done
"$build/lumivet-e2e-helper" image "$work/photo.png" 64 48
heif-enc -o "$work/phone.heic" "$work/photo.png" >/dev/null
heif-enc -A -o "$work/camera.avif" "$work/photo.png" >/dev/null
LIBHEIF_PLUGIN_PATH=$plugins "$root/usr/bin/lumivet-tool" --apply "White->0 255" \
  "$work/phone.heic" "$work/camera.avif" 2>"$work/apply.log" ||
  { cat "$work/apply.log"; fail "HEIC or AVIF does not open with the package's plugins"; }

desktop=$root/usr/share/applications/lumivet-tool.desktop
metainfo=$root/usr/share/metainfo/org.lumivet.LumivetTool.metainfo.xml
desktop-file-validate "$desktop"
grep -q '^Exec=lumivet-tool %f$' "$desktop" || fail "the desktop entry does not open a file"
appstreamcli validate --no-net --no-color "$metainfo" >"$work/appstream.log" ||
  { cat "$work/appstream.log"; fail "the metainfo does not validate"; }
grep -qF '<launchable type="desktop-id">lumivet-tool.desktop</launchable>' "$metainfo" || fail "no launchable"

# The manual page renders without a groff warning and has the sections the issue asks for.
page=$root/usr/share/man/man1/lumivet-tool.1.gz
warnings=$(zcat "$page" | groff -man -ww -z 2>&1) || true
[ -z "$warnings" ] || fail "groff warns about the manual page: $warnings"
text=$(MANWIDTH=80 man -l "$page" 2>/dev/null | col -b)
# Section headings stand alone on their line; the options, variables and the result name appear.
for want in ^NAME$ ^SYNOPSIS$ ^DESCRIPTION$ ^SLIDERS$ ^KEYS$ ^OPTIONS$ '^EXIT STATUS$' ^FILES$ \
  ^ENVIRONMENT$ --help --version LUMIVET_TRACE LUMIVET_SLOW_STAGE_MS '_\.jpg'; do
  grep -qE -- "$want" <<<"$text" || fail "the manual page lacks $want"
done
echo "package: ok ($(basename "$deb"))"
