#!/usr/bin/env bash
# Measures kpm-import and kpm-export on generated load lists: time and peak
# memory of each direction, for lists of growing size (to show linear growth).
#
#   bench/lists.sh [BUILD_DIR]     default: build
#
# Environment (all optional):
#   BENCH_DIR    scratch folder for the lists and studies   (default /tmp/kpm-bench-lists)
#   BENCH_RUNS   runs of each command on each list           (default 3)
#   BENCH_LOADS  list sizes in loads                          (default "25000 50000 100000 200000")
#   BENCH_PAIRS  pairs of conditions (8 operational x N/8)    (default 32)
#
# Times are wall-clock, the best of the runs, with the files in the page cache;
# peak RSS is the maximum over the runs (/usr/bin/time -v).
set -uo pipefail
export LC_ALL=C

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=$(cd "${1:-$repo/build}" && pwd)
dir=${BENCH_DIR:-/tmp/kpm-bench-lists}
runs=${BENCH_RUNS:-3}
sizes=${BENCH_LOADS:-25000 50000 100000 200000}
pairs=${BENCH_PAIRS:-32}
[ -x /usr/bin/time ] || { echo "needs /usr/bin/time (Debian: apt-get install time)"; exit 2; }
mkdir -p "$dir"

make_list() { # loads file
  awk -v n="$1" -v pairs="$pairs" 'BEGIN {
    printf "name,swbs,connected_load,peak_fraction,pf"
    for (p = 0; p < pairs; p++) printf ",op%d/amb%d", p % 8 + 1, int(p / 8) + 1
    printf "\r\n"
    for (i = 1; i <= n; i++) {
      printf "\"Load %d, deck %d\",%d,%.3f,0.9,0.85", i, i % 7, 100 + i % 900, 1 + (i * 7919) % 5000 / 10.0
      for (p = 0; p < pairs; p++) if ((i + p) % 5) printf ",%.2f", (i + p) % 90 / 100.0; else printf ","
      printf "\r\n"
    }
  }' >"$2"
}

measure() { # label command...
  local best="" peak=0 t rss
  for ((r = 0; r < runs; r++)); do
    /usr/bin/time -v "${@:2}" 2>"$dir/time.txt" >/dev/null || { echo "$1: failed"; tail -3 "$dir/time.txt"; return; }
    t=$(awk -F': ' '/Elapsed/ { n = split($2, a, ":"); s = 0; for (i = 1; i <= n; i++) s = s * 60 + a[i]; print s }' "$dir/time.txt")
    rss=$(awk -F': ' '/Maximum resident/ { print int($2 / 1024) }' "$dir/time.txt")
    if [ -z "$best" ] || awk -v a="$t" -v b="$best" 'BEGIN { exit !(a < b) }'; then best=$t; fi
    [ "$rss" -gt "$peak" ] && peak=$rss
  done
  printf '%-28s %8.2f s %8d MB\n' "$1" "$best" "$peak"
}

printf '%-28s %10s %11s\n' "" "time" "peak RSS"
for n in $sizes; do
  list="$dir/list-$n.csv"
  study="$dir/study-$n.xml"
  [ -f "$list" ] || make_list "$n" "$list"
  "$build/kpm-import" -o "$study" "$list" || exit 1
  echo "-- $n loads x $pairs pairs: list $(($(stat -c %s "$list") / 1000000)) MB, study $(($(stat -c %s "$study") / 1000000)) MB"
  measure "kpm-import (list -> study)" "$build/kpm-import" -o "$dir/out.xml" "$list"
  measure "kpm-export (study -> list)" "$build/kpm-export" -o "$dir/out.csv" "$study"
  measure "kpm (the same study)" "$build/kpm" -o/dev/null "$study"
done
rm -f "$dir/out.xml" "$dir/out.csv" "$dir/time.txt"
