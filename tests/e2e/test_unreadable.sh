# A file that cannot be read as an image (not an image, truncated, missing, a folder, over the
# library's pixel limit, or noise of a size that names a camera's headerless raw) gives one
# message box naming it and status 1 once the box is dismissed: no crash, no tool window, nothing
# written. Without a display: one line on stderr and status 1. A decoder that crashes in its
# sandbox gives the same message, and one line more on stderr of why; in a batch, the next photo
# is saved.
source "$(dirname "$0")/lib.sh"
echo "shopping list" >"$WORK/notes.png"
"$HELPER" image "$RUN/whole.png" 200 150
head -c 2000 "$RUN/whole.png" >"$WORK/cut off.png"
mkdir "$WORK/album.png"
# The 54-byte header of a 40000x40000 24-bit BMP without its pixels.
printf 'BM\0\0\0\0\0\0\0\0\x36\0\0\0\x28\0\0\0\x40\x9c\0\0\x40\x9c\0\0\x01\0\x18\0%24s' |
  tr ' ' '\0' >"$WORK/huge.bmp"
head -c $((1024 * 768)) /dev/urandom >"$WORK/noise.raw"
inputs=(notes.png "cut off.png" album.png huge.bmp noise.raw)
start_x
one_error_line() { [ ! -s "$RUN/tool.stdout" ] && [ "$(wc -l <"$RUN/tool.stderr")" -eq 1 ] || fail "$1: not one line on the console"; }

for name in "${inputs[@]}" missing.jpg; do
  start_tool "$WORK/$name"
  wait_window "Could not open the image"
  window_hidden "Lumivet Tool" || fail "the control window opened for $name"
  still_running "the message box for $name appeared"
  press "$WINDOW" Return
  expect_exit 1
  one_error_line "$name"
  expect_stderr_mentions "\"$WORK/$name\" could not be read as an image"
done

# The test decoders take on photos that end in "misbehave".
cp "$RUN/whole.png" "$WORK/crashes.png" && printf misbehave >>"$WORK/crashes.png"
cp "$RUN/whole.png" "$WORK/fine.png"
RUN_AS=(env LUMIVET_TEST_DECODER=crash)
start_tool "$WORK/crashes.png"
wait_window "Could not open the image"
press "$WINDOW" Return
expect_exit 1
expect_stderr_mentions "\"$WORK/crashes.png\" could not be read as an image"
expect_stderr_mentions "its decoder crashed"
start_tool --apply "Blur 2" "$WORK/crashes.png" "$WORK/fine.png"
expect_exit 1
expect_stderr_mentions "crashes.png\" could not be read as an image. (its decoder crashed)"
[ -f "$WORK/fine_.jpg" ] || fail "the photo after the one whose decoder crashed was not saved"
rm "$WORK/crashes.png" "$WORK/fine.png" "$WORK/fine_.jpg"

for environment in "-u DISPLAY -u QT_QPA_PLATFORM" "DISPLAY=:9999"; do
  read -ra RUN_AS <<<"env $environment"
  start_tool "$RUN/whole.png"
  expect_exit 1
  one_error_line "with $environment"
done
expect_files "$WORK" "${inputs[@]}"
