# A file that cannot be read as an image (not an image, truncated, missing, a folder, or over the
# library's pixel limit) gives one message box naming it and status 1 once the box is dismissed:
# no crash, no tool window, nothing written.
source "$(dirname "$0")/lib.sh"

echo "shopping list" >"$WORK/notes.png"
"$HELPER" image "$RUN/whole.png" 200 150
head -c 2000 "$RUN/whole.png" >"$WORK/cut off.png"
mkdir "$WORK/album.png"
"$HELPER" header "$WORK/huge.bmp" 40000 40000
inputs=(notes.png "cut off.png" album.png huge.bmp)

start_x
for name in "${inputs[@]}" missing.jpg; do
  path=$WORK/$name
  start_tool "$path"
  wait_window "Could not open the image"
  box=$WINDOW
  window_hidden "Lumivet Tool" || fail "the control window opened for $name"
  still_running "the message box for $name appeared"
  press "$box" Return
  wait_exit 20
  expect_status 1
  [ ! -s "$RUN/tool.stdout" ] || fail "the tool printed on stdout for $name"
  [ "$(wc -l <"$RUN/tool.stderr")" -eq 1 ] || fail "stderr is not the one line of the message for $name"
  expect_stderr_mentions "\"$path\" could not be read as an image"
  expect_files "$WORK" "${inputs[@]}"
done

# No windowing system to show anything on, or one that cannot be reached: one line on stderr and
# status 1, not an abort.
for environment in "-u DISPLAY -u QT_QPA_PLATFORM" "DISPLAY=:9999"; do
  read -ra RUN_AS <<<"env $environment"
  start_tool "$RUN/whole.png"
  wait_exit 20
  expect_status 1
  [ "$(wc -l <"$RUN/tool.stderr")" -eq 1 ] || fail "with $environment: stderr is not one line"
done
RUN_AS=()
expect_files "$WORK" "${inputs[@]}"
