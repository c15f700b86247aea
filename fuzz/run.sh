#!/usr/bin/env bash
# Runs each fuzz target for a bounded time on the committed seeds, the shared
# XML corpus and the studies of the tests. Fails on any crash, leak, timeout
# or sanitizer report.  Usage: fuzz/run.sh BUILD_DIR SECONDS
set -euo pipefail
build=$1
seconds=$2
here=$(cd "$(dirname "$0")" && pwd)
top=$(cd "$here/.." && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/kpm-fuzz.XXXXXX")
trap 'rm -rf "$work"' EXIT

# Seeds from outside the repository are copied with a leading byte 0 (no traces),
# the way the targets read their input; small files only, to keep runs fast.
seed_dir() { # target folder
  mkdir -p "$work/seeds-$1"
  local corpus="$top/../shared/xml-corpus" i=0
  {
    if [ "$1" = fuzz_csv ]; then
      # The load lists of the tests: the CSV reader's target takes no XML.
      find "$top/tests/tools/lists/kpm-import" "$top/examples" -name '*.csv' -type f -size -16k -print0
    else
      [ -d "$corpus" ] && find "$corpus" -type f -size -16k -print0
      find "$top/tests/cli" "$top/examples" -name '*.xml' -type f -print0
    fi
  } | while IFS= read -r -d '' f; do
    i=$((i + 1))
    { printf '\0'; cat "$f"; } >"$work/seeds-$1/s$i"
  done
}

status=0
for target in fuzz_xml fuzz_study fuzz_csv fuzz_check; do
  seed_dir "$target"
  mkdir -p "$work/new-$target"
  corpus_name=${target#fuzz_}
  echo "-- $target for $seconds s"
  if ! "$build/fuzz/$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=4096 \
      -max_len=65536 -close_fd_mask=3 -print_final_stats=1 \
      -artifact_prefix="$work/" \
      "$work/new-$target" "$here/corpus/$corpus_name" "$work/seeds-$target" 2>"$work/$target.log"; then
    status=1
    tail -n 60 "$work/$target.log"
    for a in "$work"/crash-* "$work"/leak-* "$work"/timeout-* "$work"/oom-*; do
      [ -e "$a" ] && { echo "artifact: $a"; od -c "$a" | head -n 20; }
    done
  else
    grep -E '^stat::|^#[0-9]+ +DONE' "$work/$target.log" || true
  fi
done
exit $status
