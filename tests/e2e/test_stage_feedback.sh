# While a stage runs the pointer shows busy and, afterwards, the status line says what ran. Slider
# moves that arrive during a slow stage abandon it: only the last position runs to its end, and no
# queue of stale re-runs follows. LUMIVET_SLOW_STAGE_MS stretches every stage run; LUMIVET_TRACE
# receives the status line of every completed run.
source "$(dirname "$0")/lib.sh"
"$HELPER" image "$WORK/photo.png" 400 300
"$HELPER" expect "$WORK/photo.png" "$RUN/expected.jpg" blur 12
start_x
export LUMIVET_TRACE=$RUN/trace LUMIVET_SLOW_STAGE_MS=1500
start_tool "$WORK/photo.png"
wait_tool_windows

# The pointer rests on the photo; its idle shape is the one the busy shape must differ from.
xdotool mousemove --window "$IMAGE" 100 100
idle=$("$HELPER" cursor)
pointer_is() { [ "$("$HELPER" cursor)" "$1" "$idle" ]; }
runs() { cat "$RUN/trace" 2>/dev/null | wc -l; }
runs_at_least() { [ "$(runs)" -ge "$1" ]; }

# A click and a burst of moves: the click starts a slow run, the other moves arrive during it.
move_slider 2 12 # Blur
xdotool mousemove --window "$IMAGE" 100 100
wait_for 5 "the busy pointer" pointer_is !=
wait_for 20 "a stage run" runs_at_least 1
wait_for 5 "the normal pointer" pointer_is =
sleep 2 # time for any further, stale run to end
[ "$(runs)" -eq 1 ] || fail "$(runs) stage runs for one burst: $(tr '\n' ';' <"$RUN/trace")"
grep -qE '^Blur 12 - 1[5-9][0-9]{2} ms$' "$RUN/trace" || fail "the run: $(cat "$RUN/trace")"

press "$IMAGE" space
wait_exit 30
expect_status 0
expect_quiet_console
expect_same_file "$WORK/photo_.jpg" "$RUN/expected.jpg"
