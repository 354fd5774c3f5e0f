# A 12-megapixel photo opens in a photo window that fits the 1600x1200 screen, beside or below the
# control window and not on top of it. The windows stay alive while a slow stage runs: every window
# manager ping is answered within 250 ms, the pointer shows busy and the result forms on screen. A
# second move of the running slider abandons the stale run, no queue of stale runs follows, and a
# key then saves the newer position's result at full size; the status line says what ran and how
# long it took; that position shows a faithful picture of its result (35 dB) before its run ends,
# then the exact result. SIGTERM during a run saves the last complete result within 2 s.
source "$(dirname "$0")/lib.sh"
photo=$WORK/photo.jpg
"$HELPER" image "$photo" 4000 3000
"$HELPER" expect "$photo" "$RUN/bilateral.jpg" bilateral 19
"$HELPER" expect "$photo" "$RUN/bilateral.png" bilateral 19
"$HELPER" expect "$photo" "$RUN/blur.jpg" blur 3
start_x
export LUMIVET_TRACE=$RUN/trace LUMIVET_TIMING=$RUN/timing
start_tool "$photo"
wait_tool_windows unplaced

# box WINDOW: the left, top, right and bottom edges of WINDOW.
box() { xdotool getwindowgeometry --shell "$1" | awk -F= '{v[$1] = $2} END {print v["X"], v["Y"], v["X"] + v["WIDTH"], v["Y"] + v["HEIGHT"]}'; }
# The windows are placed once the photo is shown; until then they may stand anywhere. Most of the
# screen goes to the photo: it is not shown at some tiny size.
windows_fit() {
  local il it ir ib cl ct cr cb
  read -r il it ir ib < <(box "$IMAGE") && read -r cl ct cr cb < <(box "$CONTROL")
  ((il >= 0 && it >= 0 && cl >= 0 && ct >= 0 && ir <= 1600 && cr <= 1600 && ib <= 1200 && cb <= 1200)) &&
    ((ir <= cl || ib <= ct)) && ((ir - il >= 1000 || ib - it >= 700))
}
wait_for 20 "the windows to fit the screen apart" windows_fit
wait_tool_windows
wait_for 60 "the photo window to show the photo" photo_shown "$photo"
"$HELPER" ping "$IMAGE" 60 >"$RUN/pings" &
pinger=$!
xdotool mousemove --window "$CONTROL" 5 5
idle=$("$HELPER" cursor)
pointer_is() { [ "$("$HELPER" cursor)" "$1" "$idle" ]; }

move_slider 1 20 # Bilateral: about 6 s of work
wait_for 5 "the busy pointer" pointer_is !=
# Left: Bilateral 19 shows a faithful picture before its run ends (its start wait plus its length
# after the move, the key a little before that), its rows as they come, then the exact result.
record_move key:Left "Bilateral 19" "$photo" "$RUN/bilateral.png"
awk '/^start Bilateral 19 / {w = $4} /^Bilateral 19 - / {end = w + $4} $1 == "frame" && $2 > 0 {n++}
  $1 == "faithful" && $2 != "none" && $2 < end {f = 1} $1 == "exact" && $2 != "none" {e = 1}
  END {exit !(f && e && n > 3)}' "$RUN/timing" "$RUN/trace" "$RUN/record" ||
  fail "wanted a faithful picture before the run ended, rows, then the result: $(tr "\n" " " <"$RUN/record")"
press "$IMAGE" space
expect_clean_exit
wait "$pinger"
expect_same_file "$WORK/photo_.jpg" "$RUN/bilateral.jpg"
# Early positions may end before the next key comes; the stale run at 20 may not.
! grep -q '^Bilateral 20 ' "$RUN/trace" && tail -n1 "$RUN/trace" | grep -qxE 'Bilateral 19 - [0-9]{3,} ms' ||
  fail "stage runs: $(tr '\n' ';' <"$RUN/trace")"
slow=$(awk '$2 == "none" || $2 > 250' "$RUN/pings" | wc -l)
[ "$slow" -eq 0 ] || fail "$slow of $(wc -l <"$RUN/pings") pings unanswered within 250 ms"

rm "$WORK/photo_.jpg" "$RUN/trace"
start_tool "$photo"
wait_tool_windows
move_slider 2 3 # Blur
wait_for 20 "the blur run" grep -qs '^Blur 3 ' "$RUN/trace"
wait_for 5 "the normal pointer" pointer_is =
move_slider 1 20
sleep 1
kill -TERM "$TOOL_PID"
signalled=$(date +%s%N)
collect_exit 10
elapsed=$((($(date +%s%N) - signalled) / 1000000))
[ "$elapsed" -le 2000 ] || fail "the tool took $elapsed ms to save and end after SIGTERM"
expect_clean_exit
expect_same_file "$WORK/photo_.jpg" "$RUN/blur.jpg"
