# The batch under GNU parallel, as README's "An archive on many machines" runs it: three job slots
# over 30 photos with one job killed part way, then the same command with --resume-failed, gives
# every result once and equal to a sequential run's; and with a stand-in for ssh, a machine that
# shares the folder makes them too, and photos sent to one that does not come back as results and
# nothing is left there.
source "$(dirname "$0")/lib.sh"
export -n DISPLAY
command -v parallel >/dev/null && command -v rsync >/dev/null || fail "GNU parallel or rsync is missing"
cd "$WORK"
mkdir -p scans/a "scans/b c"
for i in $(seq 10 39); do "$HELPER" image "scans/$([ "$i" -lt 25 ] && echo a || echo 'b c')/p$i.png" 48 36 "$i"; done
"$HELPER" image scans/a/p17.png 3000 2000 17 # the job killed while it filters this one
recipe="Bilateral 10; C.StretchC 80; Black->0 12"
find scans -type f -print0 | "$TOOL" --apply "$recipe" --files-from - -0 --output-dir sequential 2>/dev/null ||
  fail "the sequential run failed"

# The job that has p17.png is killed a moment after it starts, on its first try only.
cat >"$RUN/job" <<EOF
#!/bin/bash
[[ " \$* " == *" scans/a/p17.png "* ]] && mkdir "$RUN/killed" 2>/dev/null || exec "$TOOL" "\$@"
"$TOOL" "\$@" & sleep 0.2; kill -KILL \$!; wait \$!
EOF
chmod +x "$RUN/job"
slots() {
  find scans -type f -print0 | parallel --will-cite -0 -q -n 2 -j3 --joblog "$RUN/joblog" --resume-failed \
    "$RUN/job" --apply "$recipe" --jobs 1 --skip-done --output-dir cleaned 2>"$RUN/tool.stderr"
}
slots && fail "the killed job went unnoticed"
[ ! -e cleaned/scans/a/p17_.jpg ] || fail "the job was killed after its last save"
slots || fail "the resumed run failed"
[ "$(awk 'NR > 1 && $7 != 0' "$RUN/joblog" | wc -l)" = 1 ] || fail "not one failed job: $(cat "$RUN/joblog")"
diff -r sequential cleaned >&2 || fail "the results differ from the sequential run's"

# The stand-in for ssh runs each command on machine "shared" in the same home folder as here
# (parallel's --workdir . is this folder relative to the home folder when it lies under it), and on
# any other machine in a home folder of its own that holds none of the photos. Like a login over
# ssh it sets SHELL, which parallel's worker there runs the command with.
mkdir "$BASE/remote"
cat >"$RUN/ssh" <<EOF
#!/bin/bash
while [[ \$1 == -* ]]; do [[ \$1 == -[lpioF] ]] && shift; shift; done
host=\$1; shift # options may follow the machine's name, ended by --
[[ \$1 == -- ]] && shift
export SHELL=/bin/bash
[[ \$host == shared ]] && cd && exec bash -c "\$*"
cd "$BASE/remote" && HOME="$BASE/remote" exec bash -c "\$*"
EOF
chmod +x "$RUN/ssh"
# One that shares it: the job runs in this folder there too. The folder lies under the home folder,
# as a user's photos do, so parallel names it relative to home.
find scans -type f -print0 |
  HOME=$BASE parallel --will-cite -0 -q -n 5 --ssh "$RUN/ssh" -S 1/shared --workdir . \
  "$TOOL" --apply "$recipe" --jobs 1 --skip-done --output-dir shared 2>"$RUN/tool.stderr" ||
  fail "the run on a machine sharing the folder failed"
diff -r sequential shared >&2 || fail "the results differ from the sequential run's"
# One that does not: two jobs at a time there, each in a folder of its own (--workdir ...), since
# one cleaning up a shared folder removes the other's subfolders.
find scans -type f -print0 | parallel --will-cite -0 -q --joblog "$RUN/remote.log" --resume-failed \
  --ssh "$RUN/ssh" -S 2/elsewhere --workdir ... \
  --transferfile {} --return 'returned/{.}_.jpg' --cleanup \
  "$TOOL" --apply "$recipe" --jobs 1 --output-dir returned {} 2>"$RUN/tool.stderr" ||
  fail "the run on the other machine failed"
diff -r sequential returned >&2 || fail "the returned results differ from the sequential run's"
[ -z "$(find "$BASE/remote" -type f -name '*.*')" ] || fail "files left on the other machine: $(find "$BASE/remote" -type f)"
