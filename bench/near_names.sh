#!/usr/bin/env bash
# Times kpm-check on studies full of condition names that are near one
# another, where a search for "did you mean" or for near-twin conditions
# that compared every pair of names would take minutes:
#
#   one-misspelt   10 000 operational conditions, 20 000 loads whose load
#                  factor names one misspelt condition
#   many-misspelt  10 000 operational conditions, 10 000 loads each naming
#                  a misspelt condition of its own (10 000 distinct names)
#   near-twins     10 000 operational conditions that differ in digits only
#                  and 10 000 that differ from one of them by a letter
#
#   bench/near_names.sh [BUILD_DIR]     default: build
#   bench/near_names.sh --make KIND FILE  only writes the study of KIND
#
# BENCH_DIR (default /tmp/kpm-bench-names) holds the studies; BENCH_RUNS
# (default 3) runs of each, the best time shown with the peak RSS.
set -uo pipefail
export LC_ALL=C

# study kind file
make_study() {
  awk -v kind="$1" 'BEGIN {
    n = 10000
    print "<kpm><name>near names</name><operational_conditions>"
    for (i = 1; i <= n; i++) printf "<name order=\"%d\">Condition %05d</name>\n", i, i
    if (kind == "near-twins")
      for (i = 1; i <= n; i++) printf "<name order=\"%d\">Condtion %05d</name>\n", n + i, i
    print "</operational_conditions><ambient_conditions><name order=\"1\">Summer</name></ambient_conditions>"
    loads = kind == "one-misspelt" ? 2 * n : n
    for (i = 1; i <= loads; i++) {
      if (kind == "one-misspelt") oc = "Condtion 05000"
      else if (kind == "many-misspelt") oc = sprintf("Condtion %05d", i)
      else oc = sprintf("Condition %05d", i)
      printf "<load><name>L%d</name><swbs>1</swbs><connected_load>1</connected_load><lf oc=\"%s\" ac=\"Summer\">0.5</lf></load>\n", i, oc
    }
    print "</kpm>"
  }' >"$2"
}

if [ "${1:-}" = --make ]; then
  make_study "$2" "$3"
  exit
fi

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=$(cd "${1:-$repo/build}" && pwd)
dir=${BENCH_DIR:-/tmp/kpm-bench-names}
runs=${BENCH_RUNS:-3}
[ -x /usr/bin/time ] || { echo "needs /usr/bin/time (Debian: apt-get install time)"; exit 2; }
mkdir -p "$dir"

printf '%-14s %10s %12s %s\n' study seconds "peak RSS MB" "diagnostics"
for kind in one-misspelt many-misspelt near-twins; do
  f=$dir/$kind.xml
  [ -f "$f" ] || make_study "$kind" "$f"
  best=
  rss=0
  for ((r = 0; r < runs; r++)); do
    /usr/bin/time -q -f '%e %M' -o "$dir/time" "$build/kpm-check" "$f" >"$dir/out" 2>/dev/null
    read -r t m <"$dir/time"
    if [ -z "$best" ] || awk -v a="$t" -v b="$best" 'BEGIN { exit !(a < b) }'; then best=$t; fi
    [ "$m" -gt "$rss" ] && rss=$m
  done
  printf '%-14s %10s %12d %s\n' "$kind" "$best" $((rss / 1024)) "$(wc -l <"$dir/out") lines, e.g. $(head -c 160 "$dir/out" | head -n 1)"
done
