#!/usr/bin/env bash
# Measures kpm against plain XML parsers on generated studies.
#
#   bench/run.sh            kpm, xmllint --stream, xmlwf -r, xmllint (tree) and cat, side by side,
#                           on studies of about 10, 50 and 200 MB (8 operational x 4 ambient conditions)
#   bench/run.sh scaling    kpm alone on shapes that show any step growing faster than linearly
#
# Environment (all optional):
#   BENCH_DIR      scratch folder for the tools, studies and reports   (default /tmp/kpm-bench)
#   BENCH_RUNS     runs of each command on each study                  (default 5; 3 in scaling mode)
#   BENCH_SIZES    study sizes in MB for the side-by-side run          (default "10 50 200")
#   BENCH_SEED     generator seed                                      (default 1)
#   BENCH_TIMEOUT  seconds after which one run counts as failed        (default 900)
#
# MB is 10^6 bytes throughout; peak RSS is the maximum over the runs; times are wall-clock
# with the study in the page cache.
set -uo pipefail
export LC_ALL=C # the decimal point of EPOCHREALTIME and of printf must be '.'

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
mode=${1:-compare}
dir=${BENCH_DIR:-/tmp/kpm-bench}
seed=${BENCH_SEED:-1}
limit=${BENCH_TIMEOUT:-900}
sizes=${BENCH_SIZES:-10 50 200}
noc=8 # operational conditions of the side-by-side studies
nac=4 # ambient conditions of the side-by-side studies
sample_loads=2000 # loads generated once to learn the bytes per load

case $mode in
  compare) runs=${BENCH_RUNS:-5} ;;
  scaling) runs=${BENCH_RUNS:-3} ;;
  *)
    echo "usage: bench/run.sh [scaling]" >&2
    exit 2
    ;;
esac

die() {
  echo "bench: $*" >&2
  exit 1
}

[[ $runs =~ ^[1-9][0-9]*$ ]] || die "BENCH_RUNS must be a positive whole number"
[[ $limit =~ ^[1-9][0-9]*$ ]] || die "BENCH_TIMEOUT must be a positive whole number of seconds"

mkdir -p "$dir" || die "cannot create $dir"
dir=$(cd "$dir" && pwd)
tmp=$(mktemp -d "$dir/run.XXXXXX") || die "cannot create a work folder in $dir"
trap 'rm -rf "$tmp" "$dir/report.csv"' EXIT # the report can be larger than the study

# ---------------------------------------------------------------- tools

need_tools() {
  local missing=() pkgs=() pair
  for pair in xmllint:libxml2-utils xmlwf:expat /usr/bin/time:time timeout:coreutils; do
    command -v "${pair%%:*}" >/dev/null 2>&1 || { missing+=("${pair%%:*}"); pkgs+=("${pair#*:}"); }
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  if [ "$(id -u)" -ne 0 ]; then
    die "missing ${missing[*]}: install the packages ${pkgs[*]} (or run this script as root)"
  fi
  echo "bench: installing ${pkgs[*]}" >&2
  { apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${pkgs[@]}"; } >"$dir/apt.log" 2>&1 ||
    die "apt-get failed, see $dir/apt.log"
}

build() {
  local bdir=$repo/build-bench
  command -v cmake >/dev/null 2>&1 || die "cmake is missing"
  command -v g++ >/dev/null 2>&1 || die "g++ is missing"
  echo "bench: building a Release kpm in $bdir" >&2
  { cmake -S "$repo" -B "$bdir" -DCMAKE_BUILD_TYPE=Release -DKPM_BUILD_TESTS=OFF &&
    cmake --build "$bdir" -j"$(nproc)"; } >"$dir/build.log" 2>&1 || {
    tail -n 30 "$dir/build.log" >&2
    die "the build failed, see $dir/build.log"
  }
  kpm=$bdir/kpm
  [ -x "$kpm" ] || die "no kpm in $bdir"
  if [ ! -x "$dir/gen_study" ] || [ "$repo/bench/gen_study.cpp" -nt "$dir/gen_study" ]; then
    g++ -O2 -o "$dir/gen_study" "$repo/bench/gen_study.cpp" || die "cannot compile bench/gen_study.cpp"
  fi
  gen_sum=$(cksum <"$repo/bench/gen_study.cpp" | cut -d' ' -f1)
}

# ---------------------------------------------------------------- studies

# Loads that make a study of about $1 MB under $2 x $3 conditions.
loads_for() {
  local mb=$1 oc=$2 ac=$3 empty full
  empty=$("$dir/gen_study" 0 "$oc" "$ac" "$seed" | wc -c)
  full=$("$dir/gen_study" "$sample_loads" "$oc" "$ac" "$seed" | wc -c)
  echo $(((mb * 1000000 - empty) * sample_loads / (full - empty)))
}

# Writes the study $1 unless it is already there from the same generator and arguments.
study() {
  local file=$1 loads=$2 oc=$3 ac=$4 want have
  want="$loads $oc $ac $seed $gen_sum"
  if [ -f "$file" ] && [ -f "$file.args" ]; then
    read -r have <"$file.args"
    if [ "${have% *}" = "$want" ] && [ "${have##* }" = "$(stat -c %s "$file")" ]; then
      return 0
    fi
  fi
  echo "bench: generating $(basename "$file") ($loads loads, $oc x $ac conditions)" >&2
  rm -f "$file.args"
  "$dir/gen_study" "$loads" "$oc" "$ac" "$seed" >"$file.part" || die "gen_study failed for $file"
  mv "$file.part" "$file"
  echo "$want $(stat -c %s "$file")" >"$file.args"
}

# ---------------------------------------------------------------- measuring

cmd_names=(kpm "xmllint --stream" "xmlwf -r" "xmllint (tree)" cat)

# Runs command number $1 of cmd_names on study $2 once; appends the wall time (microseconds) to
# $tmp/$3.t, the peak RSS (KiB) to $tmp/$3.m, the user and system CPU seconds to $tmp/$3.u and
# $tmp/$3.s. Stops the benchmark when a run fails.
measure() {
  local which=$1 file=$2 key=$3 start end status out=$tmp/out rss=$tmp/rss peak user sys
  local -a cmd
  case $which in
    0) cmd=("$kpm" -oreport.csv "$file") ;;
    1) cmd=(xmllint --stream --noout "$file") ;;
    2) cmd=(xmlwf -r "$file") ;;
    3) cmd=(xmllint --noout "$file") ;;
    4) cmd=(cat "$file") ;;
  esac
  rm -f "$dir/report.csv"
  start=${EPOCHREALTIME/./}
  if [ "$which" -eq 4 ]; then
    (cd "$dir" && timeout "$limit" /usr/bin/time -f '%M %U %S' -o "$rss" "${cmd[@]}" >/dev/null 2>"$out")
  else
    (cd "$dir" && timeout "$limit" /usr/bin/time -f '%M %U %S' -o "$rss" "${cmd[@]}" >"$out" 2>&1)
  fi
  status=$?
  end=${EPOCHREALTIME/./}
  [ $status -eq 124 ] && die "${cmd_names[$which]} took longer than $limit s on $file"
  if [ "$which" -eq 0 ]; then
    if [ $status -ne 0 ] || [ ! -s "$dir/report.csv" ]; then
      tail -n 20 "$out" >&2
      die "kpm exited with status $status on $file, report $(stat -c %s "$dir/report.csv" 2>/dev/null || echo missing)"
    fi
  elif [ $status -ne 0 ] || [ -s "$out" ]; then
    # a parser says nothing about a well-formed file
    head -n 20 "$out" >&2
    die "${cmd_names[$which]} exited with status $status on $file: the study is not well-formed"
  fi
  echo $((end - start)) >>"$tmp/$key.t"
  read -r peak user sys < <(tail -n 1 "$rss")
  echo "$peak" >>"$tmp/$key.m"
  echo "$user" >>"$tmp/$key.u"
  echo "$sys" >>"$tmp/$key.s"
}

# Prints "median min max" of the numbers in file $1.
stats() {
  sort -n "$1" | awk '{ v[NR] = $1 } END {
    m = NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2
    print m, v[1], v[NR] }'
}

maxof() { sort -n "$1" | tail -n 1; }

# Prints the median of the numbers in file $1.
median() { stats "$1" | cut -d' ' -f1; }

# ---------------------------------------------------------------- the machine

machine() {
  local cxx
  echo "- Date: $date_start; commit $commit_start"
  echo "- CPU: $(grep -m1 '^model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ *//'), nproc $(nproc)"
  echo "- Memory: $(awk '/^MemTotal/ { printf "%.1f GiB", $2 / 1048576 }' /proc/meminfo); load average at start: $load_start"
  echo "- Kernel: $(uname -sr)"
  cxx=$(sed -n 's/^CMAKE_CXX_COMPILER:[A-Z]*=//p' "$repo/build-bench/CMakeCache.txt" 2>/dev/null)
  echo "- kpm built by: ${cxx:-unknown} ($("${cxx:-c++}" --version 2>/dev/null | head -n 1)), Release"
  echo "- g++: $(g++ --version 2>/dev/null | head -n 1); clang++: $(clang++ --version 2>/dev/null | head -n 1 || echo none)"
  echo "- References: libxml2 $(xmllint --version 2>&1 | sed -n '1s/.*version //p'), expat $(xmlwf -v 2>&1 | sed -n '1s/.*expat_//p')"
}

mbs() { awk -v b="$1" 'BEGIN { printf "%.1f", b / 1e6 }'; }

# ---------------------------------------------------------------- side by side

compare() {
  local mb loads file bytes r i c key sum
  local -a files=()
  for mb in $sizes; do
    [[ $mb =~ ^[1-9][0-9]*$ ]] || die "BENCH_SIZES holds whole numbers of MB"
    loads=$(loads_for "$mb" $noc $nac)
    file=$dir/study-${mb}MB.xml
    study "$file" "$loads" $noc $nac
    files+=("$file")
  done

  for file in "${files[@]}"; do
    mb=$(basename "$file" .xml)
    mb=${mb#study-}
    cat "$file" >/dev/null # into the page cache
    echo "bench: $mb, $runs rounds of ${#cmd_names[@]} commands" >&2
    for ((r = 0; r < runs; r++)); do
      for ((i = 0; i < ${#cmd_names[@]}; i++)); do
        c=$(((i + r) % ${#cmd_names[@]})) # each round starts one command later
        measure $c "$file" "$mb.$c"
      done
    done
  done

  echo
  echo "Side by side: $runs runs of each command, round-robin; wall-clock medians, CPU medians, peak RSS over the runs."
  echo
  echo "| Study | Command | Median s | Min s | Max s | User s | Sys s | MB/s | Peak RSS MB | RSS / study | kpm / this |"
  echo "|---|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|"
  local med mn mx kmed rss study_label ratio
  for file in "${files[@]}"; do
    mb=$(basename "$file" .xml)
    mb=${mb#study-}
    bytes=$(stat -c %s "$file")
    read -r loads _ <"$file.args"
    study_label="$(mbs "$bytes") MB, $loads loads"
    read -r kmed _ _ <<<"$(stats "$tmp/$mb.0.t")"
    for ((c = 0; c < ${#cmd_names[@]}; c++)); do
      key=$mb.$c
      read -r med mn mx <<<"$(stats "$tmp/$key.t")"
      rss=$(maxof "$tmp/$key.m")
      if [ $c -eq 0 ]; then
        ratio="-"
      else
        ratio=$(awk -v k="$kmed" -v m="$med" 'BEGIN { printf "%.2f", (m > 0 ? k / m : 0) }')
      fi
      awk -v s="$study_label" -v n="${cmd_names[$c]}" -v med="$med" -v mn="$mn" -v mx="$mx" -v b="$bytes" \
        -v u="$(median "$tmp/$key.u")" -v sy="$(median "$tmp/$key.s")" -v rss="$rss" -v ratio="$ratio" 'BEGIN {
          printf "| %s | %s | %.3f | %.3f | %.3f | %.2f | %.2f | %.0f | %.1f | %.2f | %s |\n", s, n, med / 1e6, mn / 1e6,
            mx / 1e6, u, sy, (med > 0 ? b / med : 0), rss * 1024 / 1e6, rss * 1024 / b, ratio }'
      study_label=""
    done
  done

  echo
  echo "Targets (kpm's medians, peak RSS over the runs):"
  local big=${files[-1]} half="" bmb hmb
  bmb=$(basename "$big" .xml)
  bmb=${bmb#study-}
  for file in "${files[@]}"; do [[ $file == */study-50MB.xml ]] && half=$file; done
  sum=$(
    awk -v k="$(stats "$tmp/$bmb.0.t" | cut -d' ' -f1)" -v s="$(stats "$tmp/$bmb.1.t" | cut -d' ' -f1)" \
      -v w="$(stats "$tmp/$bmb.2.t" | cut -d' ' -f1)" -v rss="$(maxof "$tmp/$bmb.0.m")" -v b="$(stat -c %s "$big")" \
      -v label="$bmb" 'BEGIN {
        printf "- %s: kpm / xmllint --stream = %.2f (target <= 1.0: %s)\n", label, k / s, (k <= s ? "met" : "missed")
        printf "- %s: kpm / xmlwf -r = %.2f (aim <= 1.0: %s)\n", label, k / w, (k <= w ? "met" : "missed")
        r = rss * 1024 / b
        printf "- %s: kpm peak RSS / study size = %.2f (target <= 6: %s)\n", label, r, (r <= 6 ? "met" : "missed") }'
  )
  echo "$sum"
  if [ -n "$half" ] && [ "$half" != "$big" ]; then
    hmb=$(basename "$half" .xml)
    hmb=${hmb#study-}
    awk -v b="$(stats "$tmp/$bmb.0.t" | cut -d' ' -f1)" -v h="$(stats "$tmp/$hmb.0.t" | cut -d' ' -f1)" \
      -v bs="$(stat -c %s "$big")" -v hs="$(stat -c %s "$half")" -v bl="$bmb" -v hl="$hmb" 'BEGIN {
        printf "- scaling: kpm(%s) / kpm(%s) = %.2f for %.2f times the bytes (target <= 4.5: %s)\n", bl, hl, b / h,
          bs / hs, (b / h <= 4.5 ? "met" : "missed") }'
  fi
}

# ---------------------------------------------------------------- scaling

scaling() {
  local -a names=() files=()
  local loads
  add() { # name loads operational ambient
    local file=$dir/scale-$1.xml
    study "$file" "$2" "$3" "$4"
    names+=("$1")
    files+=("$file")
  }
  add 100x100-5000 5000 100 100
  add 1x1-500000 500000 1 1
  for loads in 25000 50000 100000 200000; do add "8x4-$loads" "$loads" 8 4; done

  local i r
  for ((i = 0; i < ${#files[@]}; i++)); do
    cat "${files[$i]}" >/dev/null
    echo "bench: kpm on ${names[$i]}, $runs runs" >&2
    for ((r = 0; r < runs; r++)); do measure 0 "${files[$i]}" "s$i"; done
    report_bytes[i]=$(stat -c %s "$dir/report.csv")
  done

  echo
  echo "kpm alone: $runs runs of each study; wall-clock medians, CPU medians, peak RSS over the runs."
  echo
  echo "| Study | Loads | Pairs | Study MB | Report MB | Median s | Min s | Max s | User s | Sys s | MB/s | us / load | Peak RSS MB | RSS / study | Time / previous |"
  echo "|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|"
  local med mn mx prev="" oc ac bytes rss
  for ((i = 0; i < ${#files[@]}; i++)); do
    read -r loads oc ac _ <"${files[$i]}.args"
    bytes=$(stat -c %s "${files[$i]}")
    read -r med mn mx <<<"$(stats "$tmp/s$i.t")"
    rss=$(maxof "$tmp/s$i.m")
    awk -v n="${names[$i]}" -v l="$loads" -v p=$((oc * ac)) -v b="$bytes" -v rb="${report_bytes[$i]}" -v med="$med" \
      -v mn="$mn" -v mx="$mx" -v u="$(median "$tmp/s$i.u")" -v sy="$(median "$tmp/s$i.s")" -v rss="$rss" \
      -v prev="$prev" 'BEGIN {
        printf "| %s | %d | %d | %.1f | %.1f | %.3f | %.3f | %.3f | %.2f | %.2f | %.0f | %.2f | %.1f | %.2f | %s |\n",
          n, l, p, b / 1e6, rb / 1e6, med / 1e6, mn / 1e6, mx / 1e6, u, sy, (med > 0 ? b / med : 0), med / l,
          rss * 1024 / 1e6,
          rss * 1024 / b, (prev == "" ? "" : sprintf("%.2f", med / prev)) }'
    # the doubling series is compared row to row
    if [[ ${names[$i]} == 8x4-* ]]; then prev=$med; else prev=""; fi
  done
  echo
  echo "The 8x4 rows double the loads each time: a time ratio near 2 is linear growth."
}

# ---------------------------------------------------------------- main

load_start=$(cut -d' ' -f1-3 /proc/loadavg)
date_start=$(date -u '+%Y-%m-%d %H:%M UTC')
# what the build is about to see: the tree may move on while the benchmark runs
commit_start=$(git -C "$repo" rev-parse --short HEAD 2>/dev/null || echo unknown)
if [ -n "$(GIT_OPTIONAL_LOCKS=0 git -C "$repo" status --porcelain --untracked-files=no 2>/dev/null)" ]; then
  commit_start="$commit_start with uncommitted changes"
fi
declare -a report_bytes=()
need_tools
build
if [ "$mode" = scaling ]; then scaling; else compare; fi
echo
echo "Machine:"
machine
