# A key pressed before any slider moved saves the photo itself, re-encoded as JPEG. The photo
# (a JPEG here, in a folder with a dot, under a name with dots, spaces and accents) is never
# overwritten, an older result is replaced whole, and no temporary file is left behind.
source "$(dirname "$0")/lib.sh"

folder="$WORK/Fotos 2024.06"
mkdir "$folder"
photo="$folder/été à Paris.v2.jpg"
result="$folder/été à Paris.v2_.jpg"
"$HELPER" image "$photo" 200 150
cp "$photo" "$RUN/photo-before.jpg"
"$HELPER" expect "$photo" "$RUN/expected.jpg"
head -c 100000 /dev/zero | tr '\0' 'x' >"$result"  # an older, larger result

start_x
start_tool "$photo"
wait_tool_windows
press "$IMAGE" Escape
wait_exit 20

expect_status 0
expect_quiet_console
expect_same_file "$result" "$RUN/expected.jpg"
expect_same_file "$photo" "$RUN/photo-before.jpg"
expect_files "$folder" "été à Paris.v2.jpg" "été à Paris.v2_.jpg"
