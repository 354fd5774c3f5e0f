# A camera JPEG stored sideways: the tool shows and saves it upright, keeps the date and the
# camera, and marks the result as upright.
source "$(dirname "$0")/lib.sh"

photo=$WORK/IMG_0001.JPG
"$HELPER" camera "$photo" 300 200
start_x
start_tool "$photo"
wait_tool_windows
press "$IMAGE" space
wait_exit 30
expect_status 0
expect_quiet_console

tags=$("$HELPER" tags "$WORK/IMG_0001_.jpg")
expected="size 200x300
Exif.Image.Orientation 1
Exif.Photo.DateTimeOriginal 2024:06:11 09:30:00
Exif.Image.Make E2E Camera Works
Exif.Image.Model Model 9"
[ "$tags" = "$expected" ] || fail "saved metadata: $(echo "$tags" | tr '\n' ';')"
expect_files "$WORK" IMG_0001.JPG IMG_0001_.jpg
