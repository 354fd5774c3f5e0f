# Crash protection on a full disk: the first run the journal cannot keep says so in the status
# line with the system's reason, editing goes on, every run tries again, and once there is room
# the whole edit is journaled: after kill -9 the next start restores it, byte for byte what a
# session without the full disk and the kill saves. The state folder is a tiny disk of its own,
# which only root can mount (a folder made read-only does not stop root).
source "$(dirname "$0")/lib.sh"
[ "$(id -u)" -eq 0 ] || { echo "$TEST_NAME: needs root to mount a small disk; skipped" >&2; exit 77; }
mkdir "$WORK/ref" "$XDG_STATE_HOME"
mount -t tmpfs -o size=64k,mode=700 lumivet-e2e "$XDG_STATE_HOME" || fail "cannot mount a tmpfs"
trap 'umount -l "$XDG_STATE_HOME" 2>/dev/null || true; cleanup' EXIT
"$HELPER" image "$WORK/photo.png" 160 120
cp "$WORK/photo.png" "$WORK/ref/photo.png"
export LUMIVET_TRACE=$RUN/trace
start_x

groove() { "$HELPER" sliders "$CONTROL" | sed -n "$1p"; }
# move TEXT XDOTOOL-ARGS...: one click or key, then a wait for a status line starting with TEXT.
move() {
  local lines=0
  [ ! -f "$LUMIVET_TRACE" ] || lines=$(wc -l <"$LUMIVET_TRACE")
  xdotool "${@:2}"
  wait_for 20 "\"$1\"" traced_since "$lines" "$1"
}
traced() { grep -qF -- "$1" "$LUMIVET_TRACE" || fail "no status line \"$1\""; }
session() {
  rm -f "$LUMIVET_TRACE"
  start_tool "$1"
  wait_tool_windows
  focus "$CONTROL"
  move "G.noise 5 - " mousemove --window "$CONTROL" $(groove 6) click 1
  [ -z "${2:-}" ] || "$2"
  move "G.noise 100 - " key End
  move "Blur 5 - " mousemove --window "$CONTROL" $(groove 2) click 1
}

# The reference: the same moves with room on the disk.
session "$WORK/ref/photo.png"
press "$IMAGE" space
expect_clean_exit

# The disk is full from the start; room comes back after the first run.
head -c 1M /dev/zero >"$XDG_STATE_HOME/filler" 2>/dev/null || true
make_room() {
  traced "G.noise 5 - " && grep -q "(crash protection is off)$" "$LUMIVET_TRACE" ||
    fail "the run's status line does not say protection is off"
  traced "Crash protection is off: No space left on device"
  rm "$XDG_STATE_HOME/filler"
}
session "$WORK/photo.png" make_room
traced "Crash protection is on again"
kill -KILL "$TOOL_PID"
collect_exit 10 2>/dev/null # bash reports the kill
grep -qF "Crash protection is off: No space left on device" "$RUN/tool.stderr" ||
  fail "stderr lacks the line on crash protection"

start_tool "$WORK/photo.png"
wait_window "Unsaved edit"
press "$WINDOW" Return
wait_tool_windows
press "$IMAGE" space
expect_clean_exit
expect_same_file "$WORK/photo_.jpg" "$WORK/ref/photo_.jpg"
