# Sliders moved in the windows and saved: the file records the moves as its recipe, and applying
# that file's recipe to a copy of the photo without windows gives the same bytes. A batch with an
# unreadable photo and one whose result would overwrite another input gives the right statuses.
source "$(dirname "$0")/lib.sh"

photo=$WORK/scan.png
"$HELPER" image "$photo" 320 240
start_x
start_tool "$photo"
wait_tool_windows
move_slider 1 5   # Bilateral, then back to 3: one step
move_slider 1 3
move_slider 3 30  # C.StretchC
move_slider 2 4   # Blur
press "$IMAGE" space
wait_exit 30
expect_status 0
expect_quiet_console

recipe=$(grep -ao 'lumivet:Recipe="[^"]*"' "$WORK/scan_.jpg")
[ "$recipe" = 'lumivet:Recipe="Bilateral 3; C.StretchC 30; Blur 4"' ] || fail "recipe: $recipe"

mkdir "$WORK/batch"
cp "$photo" "$WORK/batch/copy.png"
echo junk >"$WORK/batch/broken.png"
env -u DISPLAY "$TOOL" --apply-from "$WORK/scan_.jpg" "$WORK/batch/copy.png" 2>"$WORK/err" ||
  fail "--apply-from: $(cat "$WORK/err")"
expect_same_file "$WORK/batch/copy_.jpg" "$WORK/scan_.jpg"

status=0
env -u DISPLAY "$TOOL" --apply "Blur 4" "$WORK/batch/copy.png" "$WORK/batch/broken.png" 2>/dev/null || status=$?
[ $status -eq 1 ] || fail "an unreadable photo must give status 1"
cp "$photo" "$WORK/batch/x.png"
status=0
env -u DISPLAY "$TOOL" --apply "Blur 4" "$WORK/batch/x.png" "$WORK/batch/x_.jpg" 2>/dev/null || status=$?
[ $status -eq 2 ] || fail "a result named like another photo must give status 2"
status=0
env -u DISPLAY "$TOOL" --apply "Blur 4; Sharpen 2" "$WORK/batch/x.png" 2>"$WORK/err" || status=$?
[ $status -eq 2 ] && grep -q 'Sharpen 2' "$WORK/err" || fail "bad recipe: $(cat "$WORK/err")"
