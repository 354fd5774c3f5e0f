# The windows stay alive while a slow stage runs on a 12-megapixel photo: every window manager
# ping is answered within 250 ms and the result forms on screen. A second move of the running
# slider abandons the stale run, and a key then saves the newer position's result. SIGTERM during
# a run saves the last complete result within 2 s.
source "$(dirname "$0")/lib.sh"

photo=$WORK/photo.jpg
"$HELPER" image "$photo" 4000 3000
"$HELPER" expect "$photo" "$RUN/bilateral.jpg" bilateral 19
"$HELPER" expect "$photo" "$RUN/blur.jpg" blur 3
start_x
export LUMIVET_TRACE=$RUN/trace
start_tool "$photo"
wait_tool_windows
"$HELPER" ping "$IMAGE" 60 >"$RUN/pings" &
pinger=$!

move_slider 1 20 # Bilateral: about 6 s of work
sleep 2
before=$(picture "$IMAGE")
sleep 1
[ "$(picture "$IMAGE")" != "$before" ] || fail "the photo did not change during the run"
xdotool key Left # Bilateral 19
sleep 0.5
press "$IMAGE" space
wait_exit 60
wait "$pinger"
expect_status 0
expect_quiet_console
expect_same_file "$WORK/photo_.jpg" "$RUN/bilateral.jpg"
grep -q '^Bilateral 20 ' "$RUN/trace" && fail "the stale run at 20 went on to its end"
slow=$(awk '$2 == "none" || $2 > 250' "$RUN/pings" | wc -l)
[ "$slow" -eq 0 ] || fail "$slow of $(wc -l <"$RUN/pings") pings unanswered within 250 ms"

rm "$WORK/photo_.jpg" "$RUN/trace"
start_tool "$photo"
wait_tool_windows
move_slider 2 3 # Blur
wait_for 20 "the blur run" grep -qs '^Blur 3 ' "$RUN/trace"
move_slider 1 20
sleep 1
kill -TERM "$TOOL_PID"
signalled=$(date +%s%N)
wait_exit 10
elapsed=$((($(date +%s%N) - signalled) / 1000000))
[ "$elapsed" -le 2000 ] || fail "the tool took $elapsed ms to save and end after SIGTERM"
expect_status 0
expect_quiet_console
expect_same_file "$WORK/photo_.jpg" "$RUN/blur.jpg"
