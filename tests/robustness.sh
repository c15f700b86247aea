#!/usr/bin/env bash
# Runs kpm on every file below a folder, with and without -d: each run must end
# within a few seconds with status 0 or 1, never by a signal, and every status 1
# must come with an error line on standard error.
set -u
kpm=$1
dir=$2
if [ ! -d "$dir" ]; then
  echo "no such folder: $dir (skipped)"
  exit 77
fi
tmp=$(mktemp -d "${TMPDIR:-/tmp}/kpm-robust.XXXXXX")
trap 'rm -rf "$tmp"' EXIT
runs=0
bad=0
while IFS= read -r -d '' f; do
  for dflag in "" -d; do
    runs=$((runs + 1))
    timeout 10 "$kpm" $dflag "-o$tmp/report.csv" "$f" >/dev/null 2>"$tmp/stderr" </dev/null
    status=$?
    if [ "$status" -ne 0 ] && [ "$status" -ne 1 ]; then
      echo "status $status ${dflag:-(no -d)}: $f"
      head -c 2000 "$tmp/stderr"
      bad=$((bad + 1))
    elif [ "$status" -eq 1 ] && ! grep -q '^ \*\*\* ' "$tmp/stderr"; then
      echo "status 1 without an error line ${dflag:-(no -d)}: $f"
      bad=$((bad + 1))
    fi
  done
done < <(find "$dir" -type f -print0 | sort -z)
echo "$runs runs, $bad bad"
[ "$bad" -eq 0 ]
