# Ctrl+S typed into the photo window, zoomed in, saves the full-size result beside the photo with
# the photo's metadata, and ends the run: no screenshot of the window, no dialog.
source "$(dirname "$0")/lib.sh"
photo=$WORK/photo.jpg
"$HELPER" image "$photo" 2400 1800 # larger than the screen: the window shows it scaled
exiv2 -M"set Exif.Image.Model Model 9" mo "$photo"
"$HELPER" expect "$photo" "$RUN/blur.jpg" blur 3
start_x
start_tool "$photo"
wait_tool_windows
move_slider 2 3 # Blur
press "$IMAGE" ctrl+plus ctrl+s
expect_clean_exit
expect_files "$WORK" photo.jpg photo_.jpg
[ "$(picture "$WORK/photo_.jpg")" = "$(picture "$RUN/blur.jpg")" ] || fail "the saved pixels are not the full-size result"
model=$(exiv2 -q -Pv -g Exif.Image.Model "$WORK/photo_.jpg" || true)
[ "$model" = "Model 9" ] || fail "saved camera model: $model"
