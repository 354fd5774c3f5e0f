# A photo far larger than the screen opens in a photo window that fits the 1600x1200 screen at the
# photo's aspect ratio, beside or below the control window and not on top of it.
source "$(dirname "$0")/lib.sh"

photo=$WORK/big.jpg
"$HELPER" image "$photo" 6000 4000
start_x
start_tool "$photo"
wait_window "Lumivet Tool"
CONTROL=$WINDOW
wait_window "Image"
IMAGE=$WINDOW

# geometry WINDOW: sets X Y WIDTH HEIGHT of the window.
geometry() { eval "$(xdotool getwindowgeometry --shell "$1" | grep -E '^(X|Y|WIDTH|HEIGHT)=')"; }
measure() {
  geometry "$IMAGE"
  ix=$X iy=$Y iw=$WIDTH ih=$HEIGHT
  geometry "$CONTROL"
  cx=$X cy=$Y cw=$WIDTH ch=$HEIGHT
}
apart() { measure && { [ $((ix + iw)) -le "$cx" ] || [ $((iy + ih)) -le "$cy" ]; }; }
# The windows are placed once the photo is shown; until then they may stand anywhere.
wait_for 20 "the windows to stand apart" apart

for w in "image $ix $iy $iw $ih" "control $cx $cy $cw $ch"; do
  read -r name x y width height <<<"$w"
  [ "$x" -ge 0 ] && [ "$y" -ge 0 ] && [ $((x + width)) -le 1600 ] && [ $((y + height)) -le 1200 ] ||
    fail "the $name window ($width x $height at $x,$y) does not fit the screen"
done
# Most of the screen goes to the photo: it is not shown at some tiny size.
[ "$iw" -ge 1000 ] || [ "$ih" -ge 700 ] || fail "the photo window is only ${iw}x${ih}"

press "$IMAGE" space
wait_exit 60
expect_status 0
expect_quiet_console
[ "$("$HELPER" tags "$WORK/big_.jpg" | head -n1)" = "size 6000x4000" ] ||
  fail "the saved photo is not full resolution"
