# A result that cannot be saved beside the photo (its folder is not writable) is never lost in
# silence: a message box gives the path and the reason, then a save dialog offers another place.
# Cancelling that dialog ends with status 2 and nothing written; choosing a place saves there.
source "$(dirname "$0")/lib.sh"
locked=$WORK/locked
elsewhere=$WORK/elsewhere
mkdir "$locked" "$elsewhere"
photo=$locked/photo.png
"$HELPER" image "$photo" 200 150
"$HELPER" expect "$photo" "$RUN/expected.jpg" black 30
if [ "$(id -u)" -eq 0 ]; then
  # Root writes anywhere, so the tool runs as an unprivileged user, with a home of its own and a
  # copy of the binary it can reach wherever the build directory lies.
  mkdir "$BASE/home" "$BASE/bin"
  chown nobody "$BASE/home" "$elsewhere"
  cp "$TOOL" "$(dirname "$TOOL")/lumivet-decode" "$BASE/bin/" && TOOL=$BASE/bin/lumivet-tool
  RUN_AS=(setpriv --reuid=nobody --regid=nogroup --clear-groups env -u XDG_RUNTIME_DIR -u XDG_STATE_HOME HOME="$BASE/home")
else
  chmod a-w "$locked"
fi
start_x

# The message box after the run ended, dismissed; the save dialog's id goes to WINDOW.
expect_save_refused() {
  wait_window "Could not save the result"
  window_hidden "Lumivet Tool" || fail "the control window is still open behind the message box"
  expect_stderr_mentions "\"$locked/photo_.jpg\": cannot create a file in this folder: Permission denied"
  press "$WINDOW" Return
  wait_window "Save result as"
}

# A key ends the run; the save dialog is cancelled.
start_tool "$photo"
wait_tool_windows
press "$IMAGE" Return
expect_save_refused
press "$WINDOW" Escape
expect_exit 2
[ ! -s "$RUN/tool.stdout" ] || fail "the tool printed on stdout"
expect_files "$elsewhere"

# Closing the windows ends the run the same way; another place is chosen in the save dialog.
start_tool "$photo"
wait_tool_windows
move_slider 7 30 # Black->0
close_window "$IMAGE"
close_window "$CONTROL"
expect_save_refused
press "$WINDOW" ctrl+a
xdotool type --delay 5 "$elsewhere/chosen.jpg"
press "$WINDOW" Return
expect_exit 0
expect_same_file "$elsewhere/chosen.jpg" "$RUN/expected.jpg"
expect_files "$elsewhere" chosen.jpg
expect_files "$locked" photo.png
