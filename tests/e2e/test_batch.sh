# The batch over a tree of photos, without windows: results with the same samples and metadata at
# one job and at four, distinct grain for every photo; results under an output folder from a
# read-only tree named on standard input; ".." refused before any work; JSON lines; a run killed
# with SIGKILL resumed with --skip-done, which redoes a changed photo or another recipe; a result
# made from another photo kept.
source "$(dirname "$0")/lib.sh"
export -n DISPLAY
src=$WORK/archive
mkdir -p "$src/scans/19 70" "$src/new
line"
"$HELPER" image "$src/scans/a.png" 160 120 1
"$HELPER" image "$src/scans/19 70/b c.jpg" 97 131 2
"$HELPER" image "$src/scans/19 70/d.tif" 64 48 3
"$HELPER" image "$src/new
line/e.bmp" 33 21 4
"$HELPER" image "$src/f.ppm" 120 90 5
cp "$src/scans/a.png" "$src/new
line/a.png" # the same photo in another folder

# run [ARG...]: the tool in the archive's folder, status in TOOL_STATUS.
run() { (cd "$src" && "${RUN_AS[@]}" "$TOOL" "$@") >"$RUN/tool.stdout" 2>"$RUN/tool.stderr" && TOOL_STATUS=0 || TOOL_STATUS=$?; }
listed() { (cd "$1" && find . -printf '%p %s\n' | LC_ALL=C sort); }
if [ "$(id -u)" -eq 0 ]; then # root writes anywhere, so the tool runs as an unprivileged user
  mkdir "$BASE/bin" && cp "$TOOL" "$(dirname "$TOOL")/lumivet-decode" "$BASE/bin/" && TOOL=$BASE/bin/lumivet-tool
  chown nobody "$WORK"
  RUN_AS=(setpriv --reuid=nobody --regid=nogroup --clear-groups)
fi
chmod -R a-w "$src"
listed "$src" >"$RUN/before"

recipe="Bilateral 3; C.StretchC 80; C.Smooth 40; G.noise 12; Black->0 12"
for jobs in 1 4; do
  (cd "$src" && find "$PWD" -type f -print0) >"$RUN/list"
  run --apply "$recipe" --jobs $jobs --output-dir "$WORK/out$jobs" --files-from - -0 <"$RUN/list"
  expect_exit 0
done
listed "$src" | cmp -s - "$RUN/before" || fail "the archive changed"
# The same results at one job and at four: the same files, each with the same samples and the
# same metadata (a file whose bytes differ all the same is named on stderr).
names() { (cd "$1" && find . | LC_ALL=C sort); }
[ "$(names "$WORK/out1")" = "$(names "$WORK/out4")" ] || fail "--jobs 4 made other files than --jobs 1"
while IFS= read -r -d '' f; do
  [ "$("$HELPER" digest "$WORK/out1/$f")" = "$("$HELPER" digest "$WORK/out4/$f")" ] ||
    fail "--jobs 4 gave other samples than --jobs 1: $f"
  [ "$(exiv2 -pa "$WORK/out1/$f" 2>&1 | sort)" = "$(exiv2 -pa "$WORK/out4/$f" 2>&1 | sort)" ] ||
    fail "--jobs 4 gave other metadata than --jobs 1: $f"
  cmp -s "$WORK/out1/$f" "$WORK/out4/$f" || echo "test_batch: same samples and metadata, other bytes: $f" >&2
done < <(cd "$WORK/out1" && find . -type f -print0)
expect_files "$WORK/out1/scans/19 70" "b c_.jpg" "d_.jpg"
expect_files "$WORK/out1/new
line" "a_.jpg" "e_.jpg"
[ "$(find "$WORK/out1" -type f -exec md5sum {} + | cut -c1-32 | sort -u | wc -l)" = 6 ] ||
  fail "two photos share their grain"

# Refused before any work: a photo named with "..", one outside the current folder.
run --apply "Blur 2" --output-dir "$WORK/out9" --log jsonl scans/a.png ../archive/f.ppm /etc/hostname
expect_exit 2
[ ! -e "$WORK/out9" ] || fail "work was done although photos were refused"
expect_stderr_mentions 'refused: it is named with ".."'
expect_stderr_mentions "refused: it is outside the current folder"
[ "$(grep -c '"status": "refused"' "$RUN/tool.stdout")" = 2 ] || fail "refusals not logged"
chmod -R u+w "$src"

# A run killed part way, then resumed: only what is missing is done, and the JSON lines say so.
RUN_AS=()
mkdir "$WORK/many"
for i in $(seq 10 21); do "$HELPER" image "$WORK/many/p$i.ppm" 800 600 "$i"; done
printf '\xff' >"$WORK/many/bad"$'\xfe'".ppm"
slow="Bilateral 20; C.StretchC 80"
(cd "$WORK/many" && exec "$TOOL" --apply "$slow" --jobs 2 --output-dir out p*.ppm 2>/dev/null) &
killed=$!
wait_for 60 "a first result" compgen -G "$WORK/many/out/p*_.jpg" >/dev/null
kill -KILL "$killed" && wait "$killed" 2>/dev/null || true
done=$(find "$WORK/many/out" -name 'p*_.jpg' | wc -l)
[ "$done" -lt 12 ] || fail "the run ended before it was killed"
(cd "$WORK/many" && "$TOOL" --apply "$slow" --output-dir all p*.ppm 2>/dev/null) || fail "reference run"
resume() { (cd "$WORK/many" && "$TOOL" --apply "$1" --skip-done --log jsonl --output-dir out ./*.ppm) >"$RUN/log.jsonl" 2>"$RUN/tool.stderr" && TOOL_STATUS=0 || TOOL_STATUS=$?; }
# counts STATUS...: how many JSON lines there are of each status, and that each names its photo.
counts() {
  python3 - "$RUN/log.jsonl" "$@" <<'PYTHON'
import base64, json, sys
lines = [json.loads(line) for line in open(sys.argv[1], encoding="utf-8")]
assert all(set(l) >= {"input", "output", "status", "seconds", "message"} for l in lines), lines
bad = [l for l in lines if "input_base64" in l]
assert [base64.b64decode(l["input_base64"]) for l in bad] == [b"./bad\xfe.ppm"], bad
assert len({l["input"] for l in lines}) == len(lines) == 13, lines
print(" ".join(str(sum(l["status"] == s for l in lines)) for s in sys.argv[2:]))
PYTHON
}
resume "$slow"
expect_exit 1
[ "$(counts skipped saved unreadable)" = "$done $((12 - done)) 1" ] || fail "resumed: $(counts skipped saved)"
for i in $(seq 10 21); do expect_same_file "$WORK/many/out/p${i}_.jpg" "$WORK/many/all/p${i}_.jpg"; done
[ "$(exiv2 -q -Pv -K Xmp.lumivet.SourceSHA256 "$WORK/many/out/p12_.jpg")" = "$(sha256sum <"$WORK/many/p12.ppm" | cut -c1-64)" ] ||
  fail "the recorded SHA-256 is not the photo's"
# One sample changed, the size kept.
printf '\x07' | dd of="$WORK/many/p13.ppm" bs=1 seek=100000 conv=notrunc status=none
resume "$slow"
[ "$(counts skipped saved)" = "11 1" ] || fail "a changed photo: $(counts skipped saved)"
resume "Blur 2"
[ "$(counts skipped saved)" = "0 12" ] || fail "another recipe: $(counts skipped saved)"

# Under GNU parallel each process sees one photo: a result made from another photo stays.
"$TOOL" --apply "Blur 2" "$WORK/many/p10.ppm" 2>/dev/null && cp "$WORK/many/p10_.jpg" "$RUN/kept.jpg"
"$HELPER" image "$WORK/many/p10.jpg" 60 40 7
run --apply "Blur 2" --skip-done "$WORK/many/p10.jpg"
expect_exit 2
expect_stderr_mentions "p10.jpg: not saved: p10_.jpg is already the result of p10.ppm"
expect_same_file "$WORK/many/p10_.jpg" "$RUN/kept.jpg"
# A pipe where the result goes is never opened (that would wait for a writer for ever): replaced.
mkfifo "$WORK/many/p11_.jpg"
timeout 20 "$TOOL" --apply "Blur 2" "$WORK/many/p11.ppm" 2>/dev/null || fail "a pipe in the result's place"
[ -f "$WORK/many/p11_.jpg" ] || fail "the pipe was not replaced by the result"
