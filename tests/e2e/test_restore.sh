# An edit survives kill -9: the next start on the photo offers it, Return restores it, and the
# saved file is byte for byte the one a session without the kill saves after the same moves,
# noise included. A clean end leaves no journal behind.
source "$(dirname "$0")/lib.sh"
mkdir "$WORK/ref"
"$HELPER" image "$WORK/photo.png" 160 120
cp "$WORK/photo.png" "$WORK/ref/photo.png"
journals=$XDG_STATE_HOME/lumivet-tool
export LUMIVET_TRACE=$RUN/trace
start_x

# one_move XDOTOOL-ARGS...: one click or key, then a wait for its run to complete, so that both
# sessions run the same runs and draw the same noise. A click in the middle of a slider's groove
# moves it one page step.
runs_traced() { [ "$(cat "$LUMIVET_TRACE" 2>/dev/null | wc -l)" -ge "$1" ]; }
one_move() { xdotool "$@" && runs=$((runs + 1)) && wait_for 20 "run $runs" runs_traced "$runs"; }
groove() { "$HELPER" sliders "$CONTROL" | sed -n "$1p"; }
session() {
  rm -f "$LUMIVET_TRACE" && runs=0
  start_tool "$1"
  wait_tool_windows
  focus "$CONTROL"
  one_move mousemove --window "$CONTROL" $(groove 6) click 1 # G.noise 5
  one_move key End                                           # G.noise 100
  one_move mousemove --window "$CONTROL" $(groove 2) click 1 # Blur 5 freezes it
  one_move mousemove --window "$CONTROL" $(groove 6) click 1 # G.noise 95 on top
}

session "$WORK/ref/photo.png"
press "$IMAGE" space
expect_clean_exit
expect_files "$journals"

session "$WORK/photo.png"
kill -KILL "$TOOL_PID"
collect_exit 10 2>/dev/null # bash reports the kill
[ "$(find "$journals" -type f | wc -l)" = 1 ] || fail "no journal after the kill"

start_tool "$WORK/photo.png"
wait_window "Unsaved edit"
press "$WINDOW" Return
wait_tool_windows
press "$IMAGE" space
expect_clean_exit
expect_same_file "$WORK/photo_.jpg" "$WORK/ref/photo_.jpg"
recipe=$(exiv2 -q -Pv -K Xmp.lumivet.Recipe "$WORK/photo_.jpg" || true)
[ "$recipe" = "G.noise 100; Blur 5; G.noise 95" ] || fail "recipe: $recipe"
expect_files "$journals"
