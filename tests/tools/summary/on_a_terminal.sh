#!/usr/bin/env bash
# kpm-summary on a terminal, through script(1)'s pseudo-terminal: a workbook
# to standard output is refused there (status 2), and the summary is drawn.
set -u
summary=$1
study=$2
command -v script >/dev/null || { echo "skipped: script(1) is needed"; exit 77; }
tmp=$(mktemp -d "${TMPDIR:-/tmp}/kpm-tty.XXXXXX")
trap 'rm -rf "$tmp"' EXIT
script -qec "'$summary' --xlsx - '$study'; echo \"status=\$?\"" "$tmp/typescript" </dev/null >"$tmp/out" 2>&1
tr -d '\r' <"$tmp/out" >"$tmp/screen"
bad=0
grep -q '^status=2$' "$tmp/screen" || { echo "--xlsx - on a terminal: expected status 2"; bad=1; }
grep -q 'kpm-summary: error: --xlsx - would write a binary workbook to the terminal' "$tmp/screen" ||
  { echo "--xlsx - on a terminal: expected the error line"; bad=1; }
grep -q 'PK' "$tmp/screen" && { echo "--xlsx - on a terminal: workbook bytes reached the terminal"; bad=1; }
[ "$bad" -eq 0 ] || cat "$tmp/screen"
exit "$bad"
