# Cancelling the file dialog, with its Cancel key or by closing it, ends the run with status 0:
# no tool window opens and nothing is written.
source "$(dirname "$0")/lib.sh"

"$HELPER" image "$WORK/photo.png" 64 48
cd "$WORK"  # the dialog opens here, beside the photo
start_x

no_tool_window_until_exit() {
  window_hidden "Lumivet Tool" || fail "the control window opened after a cancel"
  window_hidden "Image" || fail "the image window opened after a cancel"
  tool_gone
}

for how in Escape close-request; do
  start_tool
  wait_window "Open image"
  if [ "$how" = Escape ]; then
    press "$WINDOW" Escape
  else
    "$HELPER" close "$WINDOW"
  fi
  wait_for 20 "lumivet-tool to exit after the cancel ($how)" no_tool_window_until_exit
  wait_exit 1
  expect_status 0
  expect_quiet_console
  expect_files "$WORK" photo.png
done
