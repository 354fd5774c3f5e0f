# scripts/start with stand-ins for the package installation, cmake and the tool: it stops at once
# without a display; run through sudo it installs as root but builds and starts the tool as the
# calling user, showing the first run and the build's percentage; as root it refuses to build in
# a user's checkout or a build folder the user cannot write, with one line each time.
# Usage: bash test_start.sh
set -euo pipefail
project=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "start: $*" >&2; cat "$work/err" >&2 2>/dev/null; exit 1; }
tree=$work/tree
mkdir -p "$tree/scripts" "$work/bin"
cp "$project/scripts/start" "$tree/scripts/"
log=$work/log
printf '#!/bin/sh\necho "setup $(id -u)" >>%s\n' "$log" >"$tree/scripts/setup"
cat >"$work/bin/cmake" <<EOF
#!/bin/sh
[ "\$1" = --build ] || { mkdir -p "\$4"; exit 0; }
echo '[ 50%] Building CXX object a.o'; echo '[100%] Linking CXX executable lumivet-tool'
printf '#!/bin/sh\necho "tool \$(id -u) \$*" >>$log\n' >"\$2/lumivet-tool"; chmod +x "\$2/lumivet-tool"
EOF
touch "$log" && chmod -R a+rwX "$work" && chmod +x "$tree/scripts/"* "$work/bin/cmake"
start() { (cd "$tree" && PATH="$work/bin:$PATH" DISPLAY=:9 "$@" scripts/start "a b.png" 2>"$work/err") && rc=0 || rc=$?; }
expect() { [ "$rc" = "$1" ] && grep -q -- "$2" "$work/err" && [ "$(wc -l <"$work/err")" -le "$3" ] || fail "status $rc; expected $1 and \"$2\""; }

start env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM
expect 1 "no display" 1
[ ! -s "$log" ] || fail "installed or built without a display"
[ "$(id -u)" -eq 0 ] || exit 0

chown -R nobody:nogroup "$tree"
start env SUDO_USER=nobody
expect 0 "compiling lumivet-tool 100%" 4
grep -q "first run" "$work/err" || fail "the first run is not announced"
[ "$(cat "$log")" = $'setup 0\ntool 65534 a b.png' ] || fail "setup and tool ran as: $(cat "$log")"
[ "$(stat -c %U "$tree/build/lumivet-tool")" = nobody ] || fail "the build is not the user's"
start env SUDO_USER=nobody
grep -q "first run" "$work/err" && fail "a later run is announced as the first"
start env -u SUDO_USER
expect 1 "run it as nobody" 1
touch "$tree/build/CMakeCache.txt" && chown root "$tree/build/CMakeCache.txt"
start env SUDO_USER=nobody
expect 1 "rm -rf" 1
