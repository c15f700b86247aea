#!/usr/bin/env bash
# Out of memory in a companion program: runs its allocation-failure build once
# for every allocation it makes, failing the N-th one each time
# (KPM_FAIL_ALLOC_AT=N). Every such run must end with status 2 and exactly one
# line on standard error, the program's own "PROGRAM: error: out of memory",
# wherever the allocation was (the program's code or the library's); an output
# file that existed keeps its bytes, and no temporary file is left beside it.
#   oom.sh PROGRAM INPUT [ARG...]
# INPUT is copied into the work folder as its own name; in ARG, @IN stands for
# it and @OUT for an output file there.
set -u
program=$1
input=$2
shift 2
tmp=$(mktemp -d "${TMPDIR:-/tmp}/kpm-tool-oom.XXXXXX")
trap 'rm -rf "$tmp"' EXIT
in=$(basename "$input")
cp "$input" "$tmp/$in"
cd "$tmp" || exit 1
args=()
for a in "$@"; do
  case $a in
    @IN) args+=("$in") ;;
    @OUT) args+=(out) ;;
    *) args+=("$a") ;;
  esac
done

KEPT='kept: the output of an earlier run'
name=$(basename "$program")
expected="${name%_oom}: error: out of memory"
bad=0
n=0
while :; do
  n=$((n + 1))
  printf '%s\n' "$KEPT" >out
  KPM_FAIL_ALLOC_AT=$n timeout 60 "$program" "${args[@]}" >stdout 2>stderr </dev/null
  status=$?
  if [ "$status" -eq 0 ]; then
    break # fewer than n allocations: every one has been failed once
  fi
  if [ "$status" -ne 2 ] || [ "$(cat stderr)" != "$expected" ]; then
    echo "allocation $n: status $status, stderr:"
    cat -A stderr | head -n 5
    bad=$((bad + 1))
  elif [ "$(cat out)" != "$KEPT" ]; then
    echo "allocation $n: the existing output was changed"
    bad=$((bad + 1))
  elif ls .kpm-* >/dev/null 2>&1; then
    echo "allocation $n: a temporary file was left behind"
    bad=$((bad + 1))
  fi
  if [ "$n" -gt 200000 ]; then
    echo "no successful run after $n allocations"
    exit 1
  fi
  [ "$bad" -gt 20 ] && break
done
if [ "$n" -eq 1 ]; then
  echo "the first allocation never failed: is $program built with the allocation hook?"
  exit 1
fi
echo "$((n - 1)) allocations failed one at a time, $bad bad"
[ "$bad" -eq 0 ]
