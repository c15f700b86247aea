#!/usr/bin/env bash
# Whole runs of kpm with the work spread over 2, 3, 4 and 8 threads must give,
# byte for byte, the standard output, standard error, exit status and report
# of the run on one thread, and no sanitizer may speak up.
#   whole_runs.sh KPM_WORKERS_BINARY            studies of several shapes
#   whole_runs.sh KPM_WORKERS_BINARY stress N   N runs of one mid-size study
# The binary is kpm with the thread count taken from KPM_WORKERS. The studies
# are generated into a temporary folder.
set -u
kpm=$1
mode=${2:-shapes}
here=$(cd "$(dirname "$0")" && pwd)
tmp=$(mktemp -d "${TMPDIR:-/tmp}/kpm-threads.XXXXXX")
trap 'rm -rf "$tmp"' EXIT
mkdir "$tmp/run"
cd "$tmp/run" || exit 1

# Sanitizer reports end the run at once and fail it.
export TSAN_OPTIONS="halt_on_error=1 exitcode=66 ${TSAN_OPTIONS:-}"

gen() { # NAME awk-assignments...
  local name=$1
  shift
  local vars=()
  for a in "$@"; do vars+=(-v "$a"); done
  awk "${vars[@]}" -f "$here/gen_study.awk" >"$tmp/run/$name.xml"
}

runs=0
bad=0
# Runs kpm with KPM_WORKERS=$1 and the rest as arguments; its outcome goes to
# $tmp/out.$1: status, stdout, stderr and the report when one was written.
# A second word in $stdout_to sends standard output there instead.
run() {
  local workers=$1
  shift
  local out=$tmp/out.$workers
  rm -rf "$out" report.csv
  mkdir "$out"
  KPM_WORKERS=$workers timeout 120 "$kpm" "$@" >"${stdout_to:-$out/stdout}" 2>"$out/stderr" </dev/null
  echo $? >"$out/status"
  [ -f report.csv ] && mv report.csv "$out/report.csv"
  runs=$((runs + 1))
  if grep -qE 'ThreadSanitizer|AddressSanitizer|LeakSanitizer|runtime error:' "$out/stderr"; then
    echo "--- $what, $workers threads: sanitizer report"
    head -n 60 "$out/stderr"
    bad=$((bad + 1))
    return 1
  fi
  return 0
}

# Compares the outcome of $1 threads with that of one thread.
same() {
  local f
  for f in status stdout stderr report.csv; do
    if [ -e "$tmp/out.1/$f" ] || [ -e "$tmp/out.$1/$f" ]; then
      if ! cmp -s "$tmp/out.1/$f" "$tmp/out.$1/$f"; then
        echo "--- $what, $1 threads: $f differs from one thread's"
        diff <(head -c 20000 "$tmp/out.1/$f" 2>&1) <(head -c 20000 "$tmp/out.$1/$f" 2>&1) | head -n 10
        bad=$((bad + 1))
        return 1
      fi
    fi
  done
  return 0
}

# One case: one thread first, then each count of several, each compared.
# $expect_status is the status the one-thread run must have.
check_case() {
  what=$1
  shift
  run 1 "$@" || return
  if [ "$(cat "$tmp/out.1/status")" != "$expect_status" ]; then
    echo "--- $what: status $(cat "$tmp/out.1/status") on one thread, expected $expect_status"
    head -n 5 "$tmp/out.1/stderr"
    bad=$((bad + 1))
    return
  fi
  for w in 2 3 4 8; do
    run "$w" "$@" && same "$w"
  done
}

if [ "$mode" = stress ]; then
  count=${3:-200}
  # Enough lines for several report pieces and enough loads for many batches
  # of the mapping thread, small enough to run hundreds of times.
  gen mid loads=1200 oc=2 ac=3 per=5 seed=7
  what="stress"
  expect_status=0
  run 1 -oreport.csv mid.xml || exit 1
  counts=(2 3 4 8)
  for ((i = 0; i < count; i++)); do
    w=${counts[i % 4]}
    what="stress run $((i + 1))"
    run "$w" -oreport.csv mid.xml && same "$w"
    [ "$bad" -gt 5 ] && break
  done
  echo "$runs runs, $bad bad"
  [ "$bad" -eq 0 ]
  exit
fi

# One pair of conditions and many loads: one long block, split into pieces.
gen one-pair loads=12000 oc=1 ac=1 per=1 seed=1
# 100 x 100 pairs, a few lines each: pieces gather many blocks, empty ones too.
gen hundreds loads=400 oc=100 ac=100 per=30 seed=2
# Many blocks of at most a line or two.
gen small-blocks loads=2500 oc=60 ac=50 per=1 seed=3
# Mapping fails late: an unknown element near the end, an XML error near the
# end (the mapping thread is busy when the reader stops), and a bad value
# found only once everything has been mapped.
gen late-tag loads=6000 oc=3 ac=2 per=4 seed=4 fault=tag at=5900
gen late-xml loads=6000 oc=3 ac=2 per=4 seed=5 fault=xml at=5990
gen late-value loads=6000 oc=3 ac=2 per=4 seed=6 fault=value at=5999
# Small enough for the debug trace, which names every record.
gen debug loads=300 oc=3 ac=3 per=5 seed=8

expect_status=0
check_case "one pair, report file" -oreport.csv one-pair.xml
check_case "one pair, report on stdout" one-pair.xml
check_case "100 x 100 pairs" -oreport.csv hundreds.xml
check_case "many small blocks" -oreport.csv small-blocks.xml
check_case "debug trace" -d -oreport.csv debug.xml
expect_status=1
check_case "mapping fails late: unknown element" -oreport.csv late-tag.xml
check_case "mapping fails late: XML error" -oreport.csv late-xml.xml
check_case "mapping fails late: bad value" -oreport.csv late-value.xml
check_case "report file on a full device" -o/dev/full one-pair.xml
stdout_to=/dev/full check_case "report on stdout, a full device" one-pair.xml

echo "$runs runs, $bad bad"
[ "$bad" -eq 0 ]
