# The file dialog: a photo typed into it, then "Blur" and "Black->0" moved and a key pressed, saves
# the chain of both stages beside the photo under its name without the extension. Cancelling the
# dialog, with its Cancel key or by closing it, ends with status 0: no tool window, nothing written.
source "$(dirname "$0")/lib.sh"
mkdir "$WORK/pics.old"
photo=$WORK/pics.old/cat.2024.png
"$HELPER" image "$photo" 320 240
"$HELPER" expect "$photo" "$RUN/expected.jpg" blur 4 black 60
cd "$WORK/pics.old" # the dialog opens here, beside the photo
start_x

start_tool
wait_window "Open image"
focus "$WINDOW"
xdotool type --delay 5 "$photo"
press "$WINDOW" Return
wait_tool_windows
move_slider 2 4  # Blur
move_slider 7 60 # Black->0
press "$IMAGE" space
expect_clean_exit
expect_same_file "$WORK/pics.old/cat.2024_.jpg" "$RUN/expected.jpg"
rm "$WORK/pics.old/cat.2024_.jpg"

no_tool_window_until_exit() { window_hidden "Lumivet Tool" && window_hidden Image || fail "a window opened"; tool_gone; }
cancel_key() { press "$1" Escape; }
for cancel in cancel_key close_window; do
  start_tool
  wait_window "Open image"
  "$cancel" "$WINDOW"
  wait_for 20 "lumivet-tool to exit after the cancel ($cancel)" no_tool_window_until_exit
  expect_clean_exit
  expect_files "$WORK/pics.old" cat.2024.png
done
