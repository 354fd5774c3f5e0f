# A photo far larger than the screen opens in a photo window that fits the 1600x1200 screen, beside
# or below the control window and not on top of it, and is saved at full resolution.
source "$(dirname "$0")/lib.sh"
"$HELPER" image "$WORK/big.jpg" 6000 4000
start_x
start_tool "$WORK/big.jpg"
wait_window "Lumivet Tool"
CONTROL=$WINDOW
wait_window "Image"
IMAGE=$WINDOW

# geometry WINDOW PREFIX: sets PREFIX_X, PREFIX_Y, PREFIX_WIDTH and PREFIX_HEIGHT.
geometry() { eval "$(xdotool getwindowgeometry --shell "$1" | grep -E '^(X|Y|WIDTH|HEIGHT)=' | sed "s/^/$2_/")"; }
apart() {
  geometry "$IMAGE" i && geometry "$CONTROL" c
  [ $((i_X + i_WIDTH)) -le "$c_X" ] || [ $((i_Y + i_HEIGHT)) -le "$c_Y" ]
}
# The windows are placed once the photo is shown; until then they may stand anywhere.
wait_for 20 "the windows to stand apart" apart
for w in i c; do
  eval "x=\$${w}_X y=\$${w}_Y width=\$${w}_WIDTH height=\$${w}_HEIGHT"
  [ "$x" -ge 0 ] && [ "$y" -ge 0 ] && [ $((x + width)) -le 1600 ] && [ $((y + height)) -le 1200 ] ||
    fail "a window ($width x $height at $x,$y) does not fit the screen"
done
# Most of the screen goes to the photo: it is not shown at some tiny size.
[ "$i_WIDTH" -ge 1000 ] || [ "$i_HEIGHT" -ge 700 ] || fail "the photo window is only ${i_WIDTH}x$i_HEIGHT"

press "$IMAGE" space
wait_exit 60
expect_status 0
expect_quiet_console
[ "$("$HELPER" tags "$WORK/big_.jpg" | head -n1)" = "size 6000x4000" ] || fail "the saved photo is not full resolution"
