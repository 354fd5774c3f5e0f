# The ways a run ends, and what it saves then. Modifier keys pressed on their own do not end it,
# in either window, and the image window's Ctrl shortcuts (zoom) keep working; any other key ends
# it, as does closing both windows (as a window manager asks), but not closing one.
source "$(dirname "$0")/lib.sh"
lone_modifiers=(shift ctrl alt super Shift_R Control_R Alt_R ISO_Level3_Shift Caps_Lock Caps_Lock Num_Lock Num_Lock)
start_x

# A key before any slider moved saves the photo itself: a camera JPEG stored sideways, in a folder
# with a dot, under a name with dots, spaces and accents. The result is upright, marked upright,
# keeps the date and camera, and replaces an older result whole; the photo is never overwritten.
folder="$WORK/Fotos 2024.06"
mkdir "$folder"
photo="$folder/été à Paris.v2.JPG"
result="$folder/été à Paris.v2_.jpg"
"$HELPER" image "$photo" 300 200
exiv2 -M"set Exif.Image.Orientation Short 6" -M"set Exif.Photo.DateTimeOriginal 2024:06:11 09:30:00" \
  -M"set Exif.Image.Make E2E Camera Works" -M"set Exif.Image.Model Model 9" mo "$photo"
cp "$photo" "$RUN/photo-before.jpg"
"$HELPER" expect "$photo" "$RUN/upright.jpg"
head -c 100000 /dev/zero >"$result"
start_tool "$photo"
wait_tool_windows
press "$CONTROL" "${lone_modifiers[@]}"
press "$IMAGE" "${lone_modifiers[@]}"
still_running "lone modifier keys"
before=$(picture "$IMAGE")
press "$IMAGE" ctrl+plus
picture_changed() { [ "$(picture "$IMAGE")" != "$before" ]; }
wait_for 10 "Ctrl+plus to zoom the image" picture_changed
still_running "Ctrl+plus"
press "$IMAGE" Escape
expect_clean_exit
expect_same_file "$photo" "$RUN/photo-before.jpg"
expect_files "$folder" "été à Paris.v2.JPG" "été à Paris.v2_.jpg"
[ "$(picture "$result")" = "$(picture "$RUN/upright.jpg")" ] || fail "the saved pixels differ"
tags=$(exiv2 -q -Pv -g Image.Orientation -g DateTimeOriginal -g Image.Make -g Image.Model "$result" | paste -sd';' || true)
[ "$tags" = "E2E Camera Works;Model 9;1;2024:06:11 09:30:00" ] || fail "saved metadata: $tags"

# Closing the windows one after the other: the control window first after a slider move and lone
# modifiers on the focused slider, then the image window first with nothing moved.
photo=$WORK/photo.png
"$HELPER" image "$photo" 200 150
"$HELPER" expect "$photo" "$RUN/blur3.jpg" blur 3
"$HELPER" expect "$photo" "$RUN/unchanged.jpg"
window_closed() { ! xdotool search --onlyvisible --name . | grep -qx "$1"; }
for order in "CONTROL IMAGE blur3" "IMAGE CONTROL unchanged"; do
  read -r first second expected <<<"$order"
  start_tool "$photo"
  wait_tool_windows
  [ "$first" = IMAGE ] || { move_slider 2 3 && press "$CONTROL" "${lone_modifiers[@]}"; } # Blur
  close_window "${!first}"
  wait_for 10 "the first window to close" window_closed "${!first}"
  still_running "one window closed ($order)"
  close_window "${!second}"
  expect_clean_exit
  expect_same_file "$WORK/photo_.jpg" "$RUN/$expected.jpg"
  rm "$WORK/photo_.jpg"
done
