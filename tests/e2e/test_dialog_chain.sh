# A photo chosen in the file dialog, "Blur" then "Black->0" moved, a key pressed: the saved JPEG
# is the chain of both stages, beside the photo, under the photo's name without its extension.
source "$(dirname "$0")/lib.sh"

mkdir "$WORK/pics.old"
photo=$WORK/pics.old/cat.2024.png
"$HELPER" image "$photo" 320 240
"$HELPER" expect "$photo" "$WORK/expected.jpg" blur 4 black 60

start_x
start_tool
wait_window "Open image"
dialog=$WINDOW
focus "$dialog"
xdotool type --delay 5 "$photo"
press "$dialog" Return
wait_tool_windows

move_slider 2 4   # Blur
move_slider 7 60  # Black->0
press "$IMAGE" space
wait_exit 30

expect_status 0
expect_quiet_console
expect_same_file "$WORK/pics.old/cat.2024_.jpg" "$WORK/expected.jpg"
expect_files "$WORK/pics.old" cat.2024.png cat.2024_.jpg
