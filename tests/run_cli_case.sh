#!/usr/bin/env bash
# Runs one command-line case against a built program (kpm or a companion program).
#
# A case is a folder:
#   args          the arguments, one per line (an empty line is an empty argument)
#   stdout        expected standard output      (not checked when stdout_to exists)
#   stderr        expected standard error
#   status        expected exit status
#   expect/NAME   expected content of the file NAME that the run leaves behind
#   setup         optional bash script run first in the work folder (makes big or odd inputs)
#   stdout_to     optional: a path that standard output is sent to instead (e.g. /dev/full)
#   stdin         optional: a file given as standard input (otherwise /dev/null)
#   anything else is an input file, copied into the work folder
# The build date in a report header is masked as @DATE@ before comparing.
set -u
kpm=$1
case_dir=$2
name=$(basename "$case_dir")

tmp=$(mktemp -d "${TMPDIR:-/tmp}/kpm-cli.XXXXXX")
trap 'rm -rf "$tmp"' EXIT
mkdir "$tmp/work" "$tmp/out"

for f in "$case_dir"/* "$case_dir"/.[!.]*; do
  [ -e "$f" ] || continue
  case $(basename "$f") in
    args | stdout | stderr | status | expect | setup | stdout_to | stdin) ;;
    *) cp -R "$f" "$tmp/work/" ;;
  esac
done

cd "$tmp/work" || exit 1
if [ -f "$case_dir/setup" ]; then
  bash "$case_dir/setup" || { echo "$name: setup failed"; exit 1; }
fi

args=()
if [ -f "$case_dir/args" ]; then
  mapfile -t args <"$case_dir/args"
fi

stdout_to="$tmp/out/stdout"
[ -f "$case_dir/stdout_to" ] && stdout_to=$(head -n 1 "$case_dir/stdout_to")

stdin=/dev/null
[ -f "$case_dir/stdin" ] && stdin=$case_dir/stdin

timeout 60 "$kpm" "${args[@]}" >"$stdout_to" 2>"$tmp/out/stderr" <"$stdin"
status=$?

mask() {
  sed -E 's/^("kpm","Version","[^"]*",")[A-Z][a-z]{2} [ 0-9][0-9] [0-9]{4}"$/\1@DATE@"/' "$1"
}

fail=0
check() { # what, expected file, actual file
  if ! cmp -s "$2" <(mask "$3"); then
    echo "--- $name: $1 differs (expected, then actual)"
    diff <(cat -A "$2") <(mask "$3" | cat -A) | head -n 40
    fail=1
  fi
}

expected_status=$(cat "$case_dir/status")
if [ "$status" != "$expected_status" ]; then
  echo "--- $name: exit status $status, expected $expected_status"
  fail=1
fi
[ -f "$case_dir/stdout_to" ] || check stdout "$case_dir/stdout" "$tmp/out/stdout"
check stderr "$case_dir/stderr" "$tmp/out/stderr"
if [ -d "$case_dir/expect" ]; then
  for f in "$case_dir"/expect/*; do
    b=$(basename "$f")
    if [ ! -f "$tmp/work/$b" ]; then
      echo "--- $name: $b was not written"
      fail=1
    else
      check "$b" "$f" "$tmp/work/$b"
    fi
  done
fi
exit $fail
