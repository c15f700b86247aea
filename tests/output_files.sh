#!/usr/bin/env bash
# Outputs that never lose or misplace a file: kpm's report and every
# companion program's output, written to links, devices, FIFOs, standard
# output by another name, files of several links, files of another owner,
# read-only files and folders as another user, and interrupted by signals.
#   output_files.sh BUILD_DIR SOURCE_DIR
# The cases as another user run under setpriv (or su) as nobody; where
# neither exists, or this is not root, they are skipped with the reason.
set -u
build=$(cd "$1" && pwd)
src=$(cd "$2" && pwd)
tmp=$(mktemp -d "${TMPDIR:-/tmp}/kpm-outputs.XXXXXX")
trap 'chmod -R u+w "$tmp" 2>/dev/null; rm -rf "$tmp"' EXIT
chmod 755 "$tmp" # reachable by nobody
cp "$src/examples/example.xml" "$tmp/study.xml"
cp "$src/examples/ship-zone.csv" "$tmp/list.csv"
chmod 644 "$tmp/study.xml" "$tmp/list.csv"

bad=0
fail() {
  echo "--- $what: $*"
  bad=$((bad + 1))
}

# The writers: a name, then the command with @ where the output path goes.
# Each writes the same bytes wherever its output goes, but for kpm's report,
# whose fourth line names the path: it is compared without that line.
writers=(
  "kpm|$build/kpm|-o@|$tmp/study.xml"
  "kpm-import|$build/kpm-import|-o|@|$tmp/list.csv"
  "kpm-export|$build/kpm-export|-o|@|$tmp/study.xml"
  "kpm-summary|$build/kpm-summary|-q|--html|@|$tmp/study.xml"
)
command_of() { # WRITER PATH: sets cmd to the writer's command with its output at PATH
  local parts a
  IFS='|' read -r -a parts <<<"$1"
  cmd=()
  for a in "${parts[@]:1}"; do cmd+=("${a//@/$2}"); done
}
# The output as compared: kpm's without the line that names its path.
content() { if [ "$name" = kpm ]; then sed 4d "$1"; else cat "$1"; fi; }
same_as_reference() { # FILE
  cmp -s <(content "$1") "$tmp/ref.$name" || fail "$(basename "$1") is not the output of a plain run"
}
no_temporary_in() { # FOLDER
  local left
  left=$(find "$1" -maxdepth 1 -name '.kpm-*' | head -n 1)
  [ -z "$left" ] || fail "a temporary file was left behind: $left"
}
dev_stdout_kept() {
  if [ ! -L /dev/stdout ]; then
    fail "/dev/stdout is no longer a link"
    # A faulty build must not leave the machine without it.
    [ "$(id -u)" -eq 0 ] && rm -f /dev/stdout && ln -s /proc/self/fd/1 /dev/stdout
  fi
}
# run DIR: the command in DIR; status in $status, standard error in $tmp/err.
run() {
  (cd "$1" && timeout 60 "${cmd[@]}" >/dev/null 2>"$tmp/err" </dev/null)
  status=$?
}
ok_status() { [ "$status" -eq 0 ] || fail "status $status: $(head -c 300 "$tmp/err")"; }

# Another user: setpriv, else su; none when this is not root.
as_nobody=()
why_not_nobody=
if [ "$(id -u)" -ne 0 ]; then
  why_not_nobody="not root, so no other user to run as"
elif command -v setpriv >/dev/null && setpriv --reuid=65534 --regid=65534 --clear-groups true 2>/dev/null; then
  as_nobody=(setpriv --reuid=65534 --regid=65534 --clear-groups)
elif command -v su >/dev/null && su -s /bin/sh nobody -c true 2>/dev/null; then
  as_nobody=(su_nobody)
else
  why_not_nobody="neither setpriv nor su can run a command as nobody here"
fi
su_nobody() { su -s /bin/bash nobody -c '"$0" "$@"' "$@"; }
[ -n "$why_not_nobody" ] && echo "skipped, the cases as another user: $why_not_nobody"

for writer in "${writers[@]}"; do
  name=${writer%%|*}
  w=$tmp/$name
  mkdir "$w"
  chmod 755 "$w"
  command_of "$writer" ref.out
  what="$name: reference"
  run "$w"
  ok_status
  content "$w/ref.out" >"$tmp/ref.$name"
  rm "$w/ref.out"

  # A link to a file, and one to a file not yet there: LINK:FILE.
  mkdir "$w/sub"
  echo old >"$w/sub/real.out"
  for link in link.out:sub/real.out dangling.out:sub/new.out; do
    what="$name: a symbolic link, $link"
    ln -s "${link#*:}" "$w/${link%%:*}"
    command_of "$writer" "${link%%:*}"
    run "$w"
    ok_status
    [ -L "$w/${link%%:*}" ] || fail "the link was replaced"
    same_as_reference "$w/${link#*:}"
    no_temporary_in "$w"
    no_temporary_in "$w/sub"
  done

  what="$name: /dev/null"
  command_of "$writer" /dev/null
  run "$w"
  ok_status
  [ -c /dev/null ] || fail "/dev/null is no longer a device"

  what="$name: a FIFO with a reader"
  mkfifo "$w/fifo"
  timeout 60 cat "$w/fifo" >"$w/from-fifo" &
  command_of "$writer" fifo
  run "$w"
  wait
  ok_status
  [ -p "$w/fifo" ] || fail "the FIFO was replaced"
  same_as_reference "$w/from-fifo"

  what="$name: a file of two hard links"
  echo old >"$w/a.out"
  ln "$w/a.out" "$w/b.out"
  command_of "$writer" a.out
  run "$w"
  ok_status
  [ "$(stat -c %i "$w/a.out")" = "$(stat -c %i "$w/b.out")" ] || fail "the links were parted"
  same_as_reference "$w/b.out"

  what="$name: a name of 255 bytes"
  long=$(printf '%0255d' 0)
  command_of "$writer" "$long"
  run "$w"
  ok_status
  same_as_reference "$w/$long"
  no_temporary_in "$w"

  if [ "$(id -u)" -eq 0 ]; then
    what="$name: another user's file, replaced by root"
    echo old >"$w/owned.out"
    chown 65534:65534 "$w/owned.out"
    chmod 640 "$w/owned.out"
    command_of "$writer" owned.out
    run "$w"
    ok_status
    [ "$(stat -c '%u:%g %a' "$w/owned.out")" = "65534:65534 640" ] ||
      fail "owner or mode changed: $(stat -c '%u:%g %a' "$w/owned.out")"
    same_as_reference "$w/owned.out"
  fi

  if [ ${#as_nobody[@]} -gt 0 ]; then
    what="$name: a read-only file, as another user"
    echo old >"$w/ro.out"
    chmod 444 "$w/ro.out"
    chmod 777 "$w"
    command_of "$writer" ro.out
    cmd=("${as_nobody[@]}" "${cmd[@]}")
    run "$w"
    chmod 755 "$w"
    if [ "$name" = kpm ]; then
      [ "$status" -eq 1 ] || fail "status $status, expected 1"
      grep -qx ' \*\*\* ERROR: Unable to write to output file ro.out' "$tmp/err" || fail "stderr: $(cat "$tmp/err")"
    else
      [ "$status" -eq 2 ] || fail "status $status, expected 2"
      grep -qx "$name: error: cannot write ro.out: Permission denied" "$tmp/err" || fail "stderr: $(cat "$tmp/err")"
    fi
    [ "$(cat "$w/ro.out")" = old ] || fail "the file was changed"
    no_temporary_in "$w"

    what="$name: a read-only folder, as another user: written in place"
    mkdir "$w/closed"
    echo old >"$w/closed/out"
    chown 65534:65534 "$w/closed/out"
    chmod 555 "$w/closed"
    command_of "$writer" out
    cmd=("${as_nobody[@]}" "${cmd[@]}")
    run "$w/closed"
    ok_status
    same_as_reference "$w/closed/out"

    what="$name: a sticky folder, another user's file: written in place"
    mkdir "$w/sticky"
    chmod 1777 "$w/sticky"
    echo old >"$w/sticky/out"
    chmod 666 "$w/sticky/out"
    command_of "$writer" out
    cmd=("${as_nobody[@]}" "${cmd[@]}")
    run "$w/sticky"
    ok_status
    same_as_reference "$w/sticky/out"
    [ "$(stat -c %u "$w/sticky/out")" = 0 ] || fail "the file changed hands"
    no_temporary_in "$w/sticky"
  fi

  what="$name: /dev/stdout into a pipe"
  command_of "$writer" /dev/stdout
  (set -o pipefail && cd "$w" && "${cmd[@]}" 2>"$tmp/err" </dev/null | cat >"$w/piped")
  status=$?
  dev_stdout_kept
  ok_status
  if [ "$name" = kpm ]; then
    # The progress lines, the report, then "Done": the report written whole
    # to the pipe between them.
    (cd "$w" && "$build/kpm" "$tmp/study.xml" | sed 's|^"stdout"$|"/dev/stdout"|') >"$w/expected"
    cmp -s "$w/piped" "$w/expected" || fail "not the report between the progress lines"
  else
    same_as_reference "$w/piped"
    what="$name: /dev/stdout into a file"
    (cd "$w" && "${cmd[@]}" 2>"$tmp/err" </dev/null >"$w/redirected")
    status=$?
    dev_stdout_kept
    ok_status
    same_as_reference "$w/redirected"
  fi
done

# ---------------------------------------------------------------- signals
# Background commands get SIGINT ignored unless job control is on.
set -m
# wait_for_temporary FOLDER PID: 0 once a temporary file is there, 1 when
# the process ended first or a minute went by.
wait_for_temporary() {
  local end=$((SECONDS + 60))
  while [ "$SECONDS" -lt "$end" ]; do
    compgen -G "$1/.kpm-*" >/dev/null && return 0
    kill -0 "$2" 2>/dev/null || return 1
  done
  return 1
}
# stop_when_pending FOLDER PID SIGNAL: sends the signal once a temporary
# file is there; the process must end by it.
stop_when_pending() {
  if wait_for_temporary "$1" "$2"; then
    kill -s "$3" "$2"
    wait "$2" 2>/dev/null
    status=$?
    [ "$status" -eq $((128 + $(kill -l "$3"))) ] || fail "status $status, expected the signal's"
  else
    wait "$2" 2>/dev/null
    fail "the run ended (status $?) before its output was pending"
  fi
}
# The companion programs read "-" from a FIFO that stays open, so the run is
# caught for certain with its output pending.
interrupted=(
  "kpm-import|$build/kpm-import|-o|out|-|$tmp/list.csv"
  "kpm-export|$build/kpm-export|-o|out|-|$tmp/study.xml"
  "kpm-summary|$build/kpm-summary|-q|--csv|out|--html|page|-|$tmp/study.xml"
)
for entry in "${interrupted[@]}"; do
  IFS='|' read -r -a parts <<<"$entry"
  name=${parts[0]}
  input=${parts[-1]}
  cmd=("${parts[@]:1:${#parts[@]}-2}")
  for sig in INT TERM HUP; do
    what="$name: SIG$sig with its output pending"
    d=$tmp/signal-$name-$sig
    mkdir "$d"
    echo old >"$d/out"
    mkfifo "$d/in"
    (cd "$d" && exec "${cmd[@]}" <"$d/in" 2>"$tmp/err") &
    pid=$!
    exec 3>"$d/in"
    stop_when_pending "$d" "$pid" "$sig"
    exec 3>&-
    [ "$(cat "$d/out")" = old ] || fail "the output was changed"
    no_temporary_in "$d"
  done
  # Ignored when the program starts (nohup, trap ''): it stays ignored and the run completes.
  what="$name: SIGINT ignored from the start"
  d=$tmp/ignored-$name
  mkdir "$d"
  mkfifo "$d/in"
  (trap '' INT && cd "$d" && exec "${cmd[@]}" <"$d/in" 2>"$tmp/err") &
  pid=$!
  exec 3>"$d/in"
  wait_for_temporary "$d" "$pid" && kill -s INT "$pid"
  cat "$input" >&3
  exec 3>&-
  wait "$pid"
  status=$?
  ok_status
  [ -s "$d/out" ] || fail "no output"
  no_temporary_in "$d"
done

# kpm: a study whose report takes a while to write, stopped while it is.
awk -v loads=30000 -v oc=4 -v ac=4 -v per=16 -v seed=3 -f "$src/tests/threads/gen_study.awk" >"$tmp/big.xml"
for sig in INT TERM; do
  what="kpm: SIG$sig while the report is written"
  d=$tmp/kpm-signal-$sig
  mkdir "$d"
  echo "the previous report" >"$d/report.csv"
  (cd "$d" && exec "$build/kpm" -oreport.csv "$tmp/big.xml" >/dev/null 2>"$tmp/err") &
  pid=$!
  stop_when_pending "$d" "$pid" "$sig"
  [ "$(cat "$d/report.csv")" = "the previous report" ] || fail "the previous report was changed"
  no_temporary_in "$d"
done
set +m

# kpm: a file size limit refuses the write half-way; by its signal, then
# with the signal ignored (a message and status 1, as before).
for how in signal ignored; do
  what="kpm: a write refused half-way ($how)"
  d=$tmp/kpm-limit-$how
  mkdir "$d"
  echo "the previous report" >"$d/report.csv"
  trap_xfsz=
  [ "$how" = ignored ] && trap_xfsz="trap '' XFSZ;"
  { (cd "$d" && bash -c "$trap_xfsz ulimit -f 64; exec \"\$@\"" limited "$build/kpm" -oreport.csv "$tmp/big.xml" \
    >/dev/null 2>"$tmp/err"); } 2>/dev/null
  status=$?
  if [ "$how" = signal ]; then
    [ "$status" -eq $((128 + $(kill -l XFSZ))) ] || fail "status $status, expected SIGXFSZ's"
  else
    [ "$status" -eq 1 ] || fail "status $status, expected 1"
    grep -qx ' \*\*\* ERROR: Unable to write to output file report.csv' "$tmp/err" || fail "stderr: $(cat "$tmp/err")"
  fi
  [ "$(cat "$d/report.csv")" = "the previous report" ] || fail "the previous report was changed"
  no_temporary_in "$d"
done

# kpm: two runs at once on one report path leave one whole report.
awk -v loads=8000 -v oc=2 -v ac=2 -v per=4 -v seed=1 -f "$src/tests/threads/gen_study.awk" >"$tmp/one.xml"
awk -v loads=8000 -v oc=2 -v ac=2 -v per=4 -v seed=2 -f "$src/tests/threads/gen_study.awk" >"$tmp/two.xml"
d=$tmp/concurrent
mkdir "$d" "$d/one" "$d/two"
(cd "$d/one" && "$build/kpm" -o../report.csv "$tmp/one.xml" >/dev/null && mv ../report.csv one.csv)
(cd "$d/two" && "$build/kpm" -o../report.csv "$tmp/two.xml" >/dev/null && mv ../report.csv two.csv)
for round in 1 2 3; do
  what="kpm: two runs at once on one report (round $round)"
  (cd "$d/one" && "$build/kpm" -o../report.csv "$tmp/one.xml" >/dev/null) &
  (cd "$d/two" && "$build/kpm" -o../report.csv "$tmp/two.xml" >/dev/null) &
  wait
  cmp -s "$d/report.csv" "$d/one/one.csv" || cmp -s "$d/report.csv" "$d/two/two.csv" ||
    fail "the report is neither run's whole report"
  no_temporary_in "$d"
done

echo "$bad bad"
[ "$bad" -eq 0 ]
