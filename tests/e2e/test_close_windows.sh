# Closing both windows, as the window manager asks a window to close, ends the run exactly as a
# key does: the result is saved and the tool exits with status 0. One closed window is not enough.
source "$(dirname "$0")/lib.sh"

photo=$WORK/photo.png
"$HELPER" image "$photo" 200 150
"$HELPER" expect "$photo" "$RUN/blurred.jpg" blur 3
"$HELPER" expect "$photo" "$RUN/unchanged.jpg"
start_x

close_window() {
  "$HELPER" close "$1"
  wait_for 10 "the window \"$2\" to close" window_hidden "$2"
}

# The control window first, after a slider move.
start_tool "$photo"
wait_tool_windows
move_slider 2 3  # Blur
close_window "$CONTROL" "Lumivet Tool"
still_running "the control window closed"
close_window "$IMAGE" "Image"
wait_exit 20
expect_status 0
expect_quiet_console
expect_same_file "$WORK/photo_.jpg" "$RUN/blurred.jpg"

# The image window first, with no slider moved.
rm "$WORK/photo_.jpg"
start_tool "$photo"
wait_tool_windows
close_window "$IMAGE" "Image"
still_running "the image window closed"
close_window "$CONTROL" "Lumivet Tool"
wait_exit 20
expect_status 0
expect_quiet_console
expect_same_file "$WORK/photo_.jpg" "$RUN/unchanged.jpg"
expect_files "$WORK" photo.png photo_.jpg
