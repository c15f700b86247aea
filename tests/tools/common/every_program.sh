#!/usr/bin/env bash
# What every companion program does alike, as one table run over all of them:
# the help (byte for byte against tests/tools/common/help/PROGRAM, and -h as
# --help), --version, an unknown option, an option without its value or with
# one it does not take, no operand, "--", a missing file, a folder, and
# standard output on a full device. Then each program's help against its
# manual page and the bash completion: every option in all three, and the
# help's exit statuses in the page's EXIT STATUS.
#
# Usage: bash tests/tools/common/every_program.sh BUILD_DIR SOURCE_DIR
#   Every kpm-NAME program built in BUILD_DIR must have its row below.
set -u
build=$(cd "$1" && pwd)
src=$(cd "$2" && pwd)
tmp=$(mktemp -d "${TMPDIR:-/tmp}/kpm-every-program.XXXXXX")
trap 'rm -rf "$tmp"' EXIT
cp -R "$src/examples" "$tmp/examples"
mkdir "$tmp/afolder"
cd "$tmp" || exit 1

# The programs: a run that writes to standard output | an option that takes
# a value, and the value's name in the help | the error without an operand.
programs=$(
  cat <<'EOF'
kpm-check|--format=json examples/example.xml|-W|no-CODE|no study file given
kpm-import|examples/loads.csv|--output|FILE|no list given
kpm-export|examples/example.xml|--output|FILE|no study given
kpm-summary|examples/example.xml|--csv|FILE|no study file named
EOF
)

# The cases: arguments (@RUN, @OPT as above; split at blanks) | status |
# standard output (@HELP: the program's help; empty: none) | the last line of
# standard error (empty: none; \n between two lines). @P is the program.
cases=$(
  cat <<'EOF'
--help|0|@HELP|
-h|0|@HELP|
--version|0|@P 1.0|
--no-such-option @RUN|2||@P: error: unknown option '--no-such-option'\nTry '@P --help'.
-Z @RUN|2||@P: error: unknown option '-Z'\nTry '@P --help'.
@RUN @OPT|2||@P: error: option '@OPT' needs a value (@VALUE)\nTry '@P --help'.
--version=1|2||@P: error: option '--version' takes no value\nTry '@P --help'.
|2||@P: error: @NONE\nTry '@P --help'.
-- -h|2||@P: error: cannot read -h: No such file or directory
missing.file|2||@P: error: cannot read missing.file: No such file or directory
afolder|2||@P: error: cannot read afolder: it is a folder
@RUN >/dev/full|2|-|@P: error: cannot write to standard output: No space left on device
EOF
)

fail=0
complain() {
  echo "--- $*"
  fail=1
}

seen=0
for path in "$build"/kpm-*; do
  [ -f "$path" ] && [ -x "$path" ] || continue
  p=$(basename "$path")
  [[ $p =~ ^kpm-[a-z]+$ ]] || continue # not test builds such as kpm-check_oom
  row=$(grep "^$p|" <<<"$programs")
  if [ -z "$row" ]; then
    complain "$p: no row in the table of programs of $0"
    continue
  fi
  seen=$((seen + 1))
  IFS='|' read -r _ run opt value none <<<"$row"
  help_file=$src/tests/tools/common/help/$p
  [ -f "$help_file" ] || complain "$p: no expected help in $help_file"

  while IFS='|' read -r args status stdout stderr; do
    args=${args//@RUN/$run}
    args=${args//@OPT/$opt}
    to=out
    if [[ $args == *'>/dev/full' ]]; then
      to=/dev/full
      args=${args%>/dev/full}
    fi
    read -r -a words <<<"$args"
    "$path" "${words[@]}" >"$to" 2>err </dev/null
    got=$?
    what="$p ${words[*]}"
    [ "$got" = "$status" ] || complain "$what: status $got, expected $status"
    if [ "$stdout" = "@HELP" ]; then
      cmp -s out "$help_file" || complain "$what: the help differs from $help_file: $(diff "$help_file" out | head -n 20)"
    elif [ "$stdout" != "-" ]; then
      expected=${stdout//@P/$p}
      [ "$(cat out)" = "$expected" ] || complain "$what: standard output [$(head -c 300 out)], expected [$expected]"
    fi
    expected=${stderr//@P/$p}
    expected=${expected//@OPT/$opt}
    expected=${expected//@VALUE/$value}
    expected=${expected//@NONE/$none}
    expected=$(printf '%b' "$expected")
    lines=$(printf '%s\n' "$expected" | wc -l)
    [ -z "$expected" ] && lines=0
    actual=$(tail -n "$lines" err)
    [ "$lines" -eq 0 ] && actual=$(cat err)
    [ "$actual" = "$expected" ] || complain "$what: standard error ends [$actual], expected [$expected]"
  done <<<"$cases"

  # The options of the help, its manual page and its completion: the same.
  "$path" --help >help
  options=$(grep -oE '^ +(-[a-zA-Z](, | )?)?(--[a-z-]+)?' help | grep -oE -- '-[a-zA-Z]\b|--[a-z-]+' | sort -u)
  page=$src/docs/$p.1
  # The completion's options for the program, from its "PROGRAM)" to ";;"; it
  # offers "--name" or "--name=".
  offered=$(awk -v p="    $p)" 'index($0, p) == 1 {on = 1} on {print} on && /;;/ {exit}' "$src/completion/kpm" |
    grep -oE -- '(^| |")-[-a-zA-Z]+' | tr -d ' "')
  for o in $options; do
    escaped=${o//-/\\\\-}
    grep -qE -- "$escaped([^-a-zA-Z]|\$)" "$page" || complain "$p: $o is in the help but not in $page"
    grep -qxF -- "$o" <<<"$offered" || complain "$p: $o is in the help but not in the completion"
  done
  for escaped in $(awk '/^\.SH OPTIONS/{on=1; next} /^\.SH/{on=0} on' "$page" | grep -oE '\\-\\-[a-z]+(\\-[a-z]+)*' | sort -u); do
    o=${escaped//\\-/-}
    grep -qxF -- "$o" <<<"$options" || complain "$p: $o is in the OPTIONS of $page but not in the help"
  done
  statuses=$(sed -n '/^Exit status:/,/^$/p' help | grep -oE '(: |; )[0-9]+ ' | grep -oE '[0-9]+' | tr '\n' ' ')
  documented=$(awk '/^\.SH EXIT STATUS/{on=1; next} /^\.SH/{on=0} on && /^\.B [0-9]+$/{print $2}' "$page" | tr '\n' ' ')
  [ "$statuses" = "$documented" ] || complain "$p: exit statuses [$statuses] in the help, [$documented] in $page"
done
[ "$seen" -gt 0 ] || complain "no program found in $build"
[ "$fail" -eq 0 ] && echo "$seen programs pass"
exit $fail
