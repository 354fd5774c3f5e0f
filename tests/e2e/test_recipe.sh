# Sliders moved in the windows and saved: the file records the moves as its recipe and its photo,
# so a batch on another photo of that name does not replace it; and applying that file's recipe
# to a copy of the photo without windows gives the same bytes. A batch with an
# unreadable photo, one whose result would overwrite another input, or a bad recipe gives the
# right status. Two photos of one name (a camera's raw and JPEG pair) never share a result: the
# second is not saved and the first one's result stays.
source "$(dirname "$0")/lib.sh"
photo=$WORK/scan.png
"$HELPER" image "$photo" 320 240
start_x
start_tool "$photo"
wait_tool_windows
move_slider 1 5 # Bilateral, then back to 3: one step
move_slider 1 3
move_slider 3 30 # C.StretchC
move_slider 2 4  # Blur
press "$IMAGE" space
expect_clean_exit
recipe=$(exiv2 -q -Pv -K Xmp.lumivet.Recipe "$WORK/scan_.jpg" || true)
[ "$recipe" = "Bilateral 3; C.StretchC 30; Blur 4" ] || fail "recipe: $recipe"
# The windowed result records its photo too: a batch on another photo of its name leaves it.
cp "$WORK/scan_.jpg" "$RUN/windowed.jpg"
"$HELPER" image "$WORK/scan.jpg" 32 24
RUN_AS=(env -u DISPLAY)
start_tool --apply "Blur 2" "$WORK/scan.jpg"
expect_exit 2
expect_stderr_mentions "not saved: scan_.jpg is already the result of scan.png"
expect_same_file "$WORK/scan_.jpg" "$RUN/windowed.jpg"

mkdir "$WORK/batch"
cp "$photo" "$WORK/batch/copy.png" && cp "$photo" "$WORK/batch/x.png"
echo junk >"$WORK/batch/broken.png"
start_tool --apply-from "$WORK/scan_.jpg" "$WORK/batch/copy.png"
expect_exit 0
expect_stderr_mentions "1 of 1 saved, 0 skipped, 0 unreadable, 0 not saved"
# The same pixels and recipe; the batch's result also records its photo.
[ "$(picture "$WORK/batch/copy_.jpg")" = "$(picture "$WORK/scan_.jpg")" ] || fail "the batch's result differs"
[ "$(exiv2 -q -Pv -K Xmp.lumivet.Recipe "$WORK/batch/copy_.jpg")" = "$recipe" ] || fail "the batch's recipe"
for batch in "1|Blur 4|copy.png broken.png" "2|Blur 4|x.png x_.jpg" "2|Blur 4; Sharpen 2|x.png"; do
  IFS='|' read -r status recipe names <<<"$batch"
  read -ra names <<<"$names"
  start_tool --apply "$recipe" "${names[@]/#/$WORK/batch/}"
  expect_exit "$status"
done
expect_stderr_mentions "Sharpen 2"

mkdir "$WORK/pair"
cp "$photo" "$WORK/pair/cat.png"
"$HELPER" image "$WORK/pair/cat.jpg" 320 240
start_tool --apply "Blur 2" "$WORK/pair/cat.png"
expect_exit 0
cp "$WORK/pair/cat_.jpg" "$RUN/first.jpg"
start_tool --apply "Blur 2" "$WORK/pair/cat.png" "$WORK/pair/cat.jpg"
expect_exit 2
expect_stderr_mentions " cat.jpg: not saved: cat_.jpg is already the result of cat.png"
expect_stderr_mentions "1 of 2 saved, 0 skipped, 0 unreadable, 1 not saved"
expect_same_file "$WORK/pair/cat_.jpg" "$RUN/first.jpg"
