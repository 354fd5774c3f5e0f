# A slider dragged with the mouse (the X test extension's button press, motion and release) shows
# faithful pictures of at least five positions on its way, and the key that follows saves the exact
# result of the last position it reached.
source "$(dirname "$0")/lib.sh"
photo=$WORK/photo.jpg
"$HELPER" image "$photo" 2000 1500
start_x
export LUMIVET_TIMING=$RUN/timing
start_tool "$photo"
wait_tool_windows
wait_for 60 "the photo window to show the photo" photo_shown "$photo"
read -r left right y < <("$HELPER" grooves "$CONTROL" | sed -n 2p) # Blur
focus "$CONTROL"
"$HELPER" drag "$IMAGE" "$PHOTO_AREA" "$CONTROL" "$((left + 5)),$y" "$((right + 20))" 1.5 \
  "$RUN/timing" "$photo" blur >"$RUN/drag" || fail "the drag could not be measured"
read -r shown last < <(awk '$1 == "shown" {s = $2} $1 == "last" {l = $2} END {print s, l}' "$RUN/drag")
[ "$shown" -ge 6 ] && [ "$last" -ge 20 ] ||
  fail "wanted five positions shown on the way to 20 or more: $(tr '\n' ' ' <"$RUN/drag")"
"$HELPER" expect "$photo" "$RUN/expected.jpg" blur "$last"
press "$IMAGE" space
expect_clean_exit
expect_same_file "$WORK/photo_.jpg" "$RUN/expected.jpg"
