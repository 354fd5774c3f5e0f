# Shared harness of the end-to-end tests, sourced by every tests/e2e/test_*.sh. A script runs as
# `bash test_x.sh PATH-TO-lumivet-tool`; it gets a private X server, a scratch folder ($WORK), the
# tool under test started in the background, and helpers that poll for windows, files and the
# tool's exit with time-outs, and drive the windows with real X input through xdotool.
set -euo pipefail

[ $# -ge 1 ] || { echo "usage: bash $0 PATH-TO-lumivet-tool" >&2; exit 2; }
TOOL=$(realpath "$1")
HELPER=$(dirname "$TOOL")/lumivet-e2e-helper
TEST_NAME=$(basename "$0" .sh)
for p in "$TOOL" "$HELPER" Xvfb xdotool exiv2; do
  command -v "$p" >/dev/null || { echo "$TEST_NAME: $p is missing" >&2; exit 1; }
done

# $WORK holds the test's photos and what the tool writes; $RUN the harness's own files.
BASE=$(mktemp -d /tmp/lumivet-e2e.XXXXXX)
WORK=$BASE/work RUN=$BASE/run
mkdir "$WORK" "$RUN"
export XDG_STATE_HOME=$BASE/state # edit journals stay out of the real home
chmod 755 "$BASE" "$WORK" # the unprivileged runs must reach the photos in here
XVFB_PID= TOOL_PID= TOOL_STATUS= CONTROL= IMAGE= WINDOW= RUN_AS=()

# The tool and X server are killed outright: a tool that fails to end on SIGTERM must not hang
# the test after reporting its failure.
cleanup() {
  for pid in $TOOL_PID $XVFB_PID; do kill -KILL "$pid" 2>/dev/null && wait "$pid" 2>/dev/null || true; done
  chmod -R u+rwX "$BASE" 2>/dev/null || true
  rm -rf "$BASE"
}
trap cleanup EXIT
trap 'exit 143' TERM INT HUP # a time-out of the test runner still cleans up

# Stops the test with a message, the tool's console output and the visible windows.
fail() {
  echo "FAIL ($TEST_NAME): $*" >&2
  tail -n +1 "$RUN"/tool.std* >&2 2>/dev/null || true
  [ -z "$XVFB_PID" ] || { echo "visible windows:" && xdotool search --onlyvisible --name . getwindowname %@; } >&2 2>/dev/null || true
  exit 1
}

# wait_for SECONDS WHAT COMMAND...: polls COMMAND until it succeeds, or fails the test.
wait_for() {
  local deadline=$((SECONDS + $1)) what=$2
  shift 2
  until "$@"; do
    [ "$SECONDS" -lt "$deadline" ] || fail "timed out waiting for $what"
    sleep 0.05
  done
}

# Starts a private X server on a display it picks itself; it writes the number and then a newline
# once it accepts clients. -noreset keeps it from resetting whenever its last client leaves, which
# refuses a tool that connects just then; -ac lets the unprivileged user of the save tests connect.
# SCREEN sets its size (1600x1200 unless set).
start_x() {
  Xvfb -displayfd 3 -screen 0 "${SCREEN:-1600x1200}x24" -nolisten tcp -noreset -ac 3>"$RUN/display" \
    >"$RUN/xvfb.log" 2>&1 &
  XVFB_PID=$!
  wait_for 20 "the X server to start" grep -qs . "$RUN/display"
  export DISPLAY=":$(head -n1 "$RUN/display")" QT_QPA_PLATFORM=xcb
  unset WAYLAND_DISPLAY
}

# start_tool [ARG...]: starts lumivet-tool in the background, its console in $RUN/tool.*.
# With RUN_AS set to a command prefix (setpriv ...), the tool runs through it.
start_tool() {
  "${RUN_AS[@]}" "$TOOL" "$@" >"$RUN/tool.stdout" 2>"$RUN/tool.stderr" &
  TOOL_PID=$!
}
tool_running() { kill -0 "$TOOL_PID" 2>/dev/null; }
tool_gone() { ! tool_running; }

# collect_exit SECONDS: waits for the tool to end and sets TOOL_STATUS.
collect_exit() {
  wait_for "$1" "lumivet-tool to exit" tool_gone
  wait "$TOOL_PID" && TOOL_STATUS=0 || TOOL_STATUS=$?
  TOOL_PID=
}
# expect_exit STATUS: the tool ends (or has ended) with STATUS.
expect_exit() {
  [ -z "$TOOL_PID" ] || collect_exit 60
  [ "$TOOL_STATUS" = "$1" ] || fail "exit status $TOOL_STATUS, expected $1"
}
expect_quiet_console() { [ ! -s "$RUN/tool.stdout" ] && [ ! -s "$RUN/tool.stderr" ] || fail "console output"; }
expect_clean_exit() { expect_exit 0 && expect_quiet_console; }
# expect_stderr_mentions TEXT: the error line on stderr (the message box's text) contains TEXT.
expect_stderr_mentions() { grep -qF -- "$1" "$RUN/tool.stderr" || fail "stderr lacks \"$1\""; }

# The id of the visible window titled exactly NAME, if there is one.
visible_window() { xdotool search --onlyvisible --name "^$1\$" 2>/dev/null | head -n1; }
window_hidden() { [ -z "$(visible_window "$1")" ]; }

# wait_window NAME: waits for the window titled NAME to be shown; its id goes to WINDOW.
wait_window() {
  wait_for 30 "the window \"$1\"" window_shown_while_running "$1"
  WINDOW=$(visible_window "$1")
}
window_shown_while_running() {
  window_hidden "$1" || return 0
  [ -z "$TOOL_PID" ] || tool_running || { collect_exit 0 && fail "status $TOOL_STATUS, no window \"$1\""; }
  return 1
}

# focus WINDOW: gives WINDOW the keyboard focus (there is no window manager to activate it).
focus() { xdotool windowfocus --sync "$1"; }
# press WINDOW KEY...: real key events to WINDOW, one after another.
press() { focus "$1" && xdotool key --delay 30 "${@:2}"; }
close_window() { "$HELPER" close "$1"; }

# Waits for the control and image windows (CONTROL and IMAGE), then, unless ARG is "unplaced",
# puts the control window in the top left corner and the image window below it, so both can be
# seen and clicked (a large photo's window would cover the sliders).
wait_tool_windows() {
  wait_window "Lumivet Tool" && CONTROL=$WINDOW
  wait_window "Image" && IMAGE=$WINDOW
  [ "${1:-}" = unplaced ] || wait_for 10 "the eight sliders to be drawn" placed_and_drawn
}
# The tool may still be placing its windows when they appear, so the places are set again until
# the sliders can be seen.
placed_and_drawn() {
  local HEIGHT=0
  eval "$(xdotool getwindowgeometry --shell "$CONTROL" | grep '^HEIGHT=')"
  xdotool windowmove --sync "$CONTROL" 0 0 windowmove --sync "$IMAGE" 0 $((HEIGHT + 20))
  [ "$("$HELPER" sliders "$CONTROL" 2>/dev/null | wc -l)" -eq 8 ]
}

# photo_shown PHOTO: the photo window shows PHOTO at the size of the last picture in the tool's
# timing file ($RUN/timing), sample for sample; PHOTO_AREA is set to where, as WxH+X+Y inside it.
photo_shown() {
  local s size
  size=$(shown_size) && [ -n "$size" ] || return 1 # nothing shown yet
  read -r PHOTO_AREA s < <("$HELPER" locate "$IMAGE" "$1" "$size") && [ "${s%.*}" -ge 40 ]
}
shown_size() { [ -f "$RUN/timing" ] && awk '$1 == "show" {s = $2} END {print s}' "$RUN/timing"; }

# record_move ACTION "LABEL VALUE" PHOTO EXPECTED [noise]: records the photo window's PHOTO_AREA
# while ACTION (key:NAME, or click: the middle button where the pointer is) moves a slider, from
# just before it until the trace file has a new line for the run of LABEL VALUE and the exact
# result is shown; the helper's report goes to $RUN/record.
record_move() {
  local lines=0 recorder
  [ ! -f "$RUN/trace" ] || lines=$(wc -l <"$RUN/trace")
  "$HELPER" record "$IMAGE" 900 "$PHOTO_AREA" "$3" "$4" "$1" "${@:5}" >"$RUN/record" & recorder=$!
  wait_for 900 "the run of $2" traced_since "$lines" "$2 - "
  kill -INT "$recorder" && wait "$recorder" || fail "the recording of $2 failed"
}
# traced_since LINES TEXT: a line after the first LINES of the trace file starts with TEXT.
traced_since() { [ -f "$RUN/trace" ] && tail -n +$(($1 + 1)) "$RUN/trace" | awk -v t="$2" 'index($0, t) == 1 {f = 1} END {exit !f}'; }

# move_slider ROW VALUE: clicks the groove of the slider in ROW (1 to 8, top to bottom) to give it
# the keyboard focus, then sets it with Home and VALUE presses of the Right arrow. Each key is one
# slider move, as when the user holds the arrow key.
move_slider() {
  local x y
  read -r x y < <("$HELPER" sliders "$CONTROL" | sed -n "$1p")
  [ -n "$y" ] || fail "slider $1 not found in the control window"
  focus "$CONTROL"
  xdotool mousemove --window "$CONTROL" "$x" "$y" click 1 key --delay 10 Home $(yes Right | head -n "$2")
}

# picture WINDOW-OR-FILE: a fingerprint of what a window shows, or of an image file's pixels.
picture() { "$HELPER" digest "$1"; }

# still_running WHAT: the tool has not ended after WHAT. The wait covers several rounds of the
# tool's key wait, which returns at least every 100 ms.
still_running() { sleep 0.5 && tool_running || fail "the tool ended after $1"; }

# expect_files FOLDER NAME...: FOLDER holds exactly the named entries (no leftovers of a save).
expect_files() {
  local listed=$(find "$1" -mindepth 1 -maxdepth 1 -printf '%f\n' | sort | paste -sd,)
  [ "$listed" = "$(printf '%s\n' "${@:2}" | sort | paste -sd,)" ] || fail "$1 holds [$listed], expected [${*:2}]"
}

# expect_same_file ACTUAL EXPECTED: byte-identical files.
expect_same_file() { cmp -s "$1" "$2" || fail "$1 is missing or differs from the expected $2"; }
