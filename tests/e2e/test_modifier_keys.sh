# Modifier keys pressed on their own do not end the run, in either window, and the image window's
# Ctrl shortcuts (zoom) keep working; the next ordinary key ends the run and saves.
source "$(dirname "$0")/lib.sh"

photo=$WORK/photo.png
"$HELPER" image "$photo" 200 150
"$HELPER" expect "$photo" "$WORK/expected.jpg" blur 2

start_x
start_tool "$photo"
wait_tool_windows
move_slider 2 2  # Blur, which leaves the control window focused on that slider

lone_modifiers=(shift ctrl alt super Shift_R Control_R Alt_R ISO_Level3_Shift
  Caps_Lock Caps_Lock Num_Lock Num_Lock)
press "$CONTROL" "${lone_modifiers[@]}"
still_running "lone modifier keys in the control window"
press "$IMAGE" "${lone_modifiers[@]}"
still_running "lone modifier keys in the image window"

before=$(picture "$IMAGE")
press "$IMAGE" ctrl+plus
picture_changed() { [ "$(picture "$IMAGE")" != "$before" ]; }
wait_for 10 "Ctrl+plus to zoom the image" picture_changed
still_running "Ctrl+plus"

press "$IMAGE" a
wait_exit 30
expect_status 0
expect_quiet_console
expect_same_file "$WORK/photo_.jpg" "$WORK/expected.jpg"
expect_files "$WORK" photo.png photo_.jpg expected.jpg
