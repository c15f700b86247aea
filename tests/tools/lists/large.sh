#!/usr/bin/env bash
# A list of 100 000 loads under 32 pairs of conditions: kpm-import writes a
# study that kpm reads (the root's children are far more than its text limit
# allows lines for), and kpm-export gives back every load.
# Usage: large.sh BUILD_DIR
set -u
build=$1
tmp=$(mktemp -d "${TMPDIR:-/tmp}/kpm-large-list.XXXXXX")
trap 'rm -rf "$tmp"' EXIT
cd "$tmp" || exit 1
LC_ALL=C awk 'BEGIN {
  printf "name,swbs,connected_load,peak_fraction,pf"
  for (o = 1; o <= 8; o++) for (a = 1; a <= 4; a++) printf ",op%d/amb%d", o, a
  printf "\r\n"
  for (i = 1; i <= 100000; i++) {
    printf "Load %d,%d,%.3f,0.9,0.85", i, 100 + i % 900, 1 + (i * 7919) % 5000 / 10.0
    for (p = 0; p < 32; p++) if ((i + p) % 7) printf ",%.2f", (i + p) % 90 / 100.0; else printf ","
    printf "\r\n"
  }
}' >list.csv
"$build/kpm-import" -o study.xml list.csv || { echo "kpm-import failed"; exit 1; }
"$build/kpm" -o/dev/null study.xml >kpm.out 2>kpm.err || { echo "kpm refuses the study:"; head kpm.err; exit 1; }
"$build/kpm-export" -o back.csv study.xml || { echo "kpm-export failed"; exit 1; }
rows=$(wc -l <back.csv)
[ "$rows" -eq 100001 ] || { echo "kpm-export wrote $rows rows"; exit 1; }
echo "100000 loads x 32 pairs: imported, read by kpm, exported"
