#!/usr/bin/env bash
# Out of memory, everywhere: runs the allocation-failure build of kpm on a study
# once for every allocation it makes, failing the N-th one each time. Every such
# run must end with status 1 and exactly one line on standard error, the
# out-of-memory line of the place that failed, and never print "Done"; and
# together the runs must show every out-of-memory line the program has.
set -u
kpm=$1
study=$2
tmp=$(mktemp -d "${TMPDIR:-/tmp}/kpm-oom.XXXXXX")
trap 'rm -rf "$tmp"' EXIT
cp "$study" "$tmp/study.xml"
cd "$tmp" || exit 1

expected=(
  " *** ERROR: Out of memory in copystring"
  " *** ERROR: Out of memory in alloc_XMLENTITY()"
  " *** ERROR: Out of Memory in xmlcopystring()"
  " *** ERROR: Out of memory in fget_XMLENTITY() 1"
  " *** ERROR: Out of memory in alloc_OperationalCondition()"
  " *** ERROR: Out of memory in alloc_AmbientCondition()"
  " *** ERROR: Out of memory in alloc_Load()"
  " *** ERROR: Out of memory in alloc_LoadFactor()"
  " *** ERROR: Out of memory in alloc_Results()"
  " *** ERROR: Out of memory in post_process_xml_file()"
)
declare -A seen=()
bad=0
n=0
while :; do
  n=$((n + 1))
  KPM_FAIL_ALLOC_AT=$n "$kpm" -oout.csv study.xml >stdout 2>stderr </dev/null
  status=$?
  if [ "$status" -eq 0 ]; then
    break # the study needs fewer than n allocations: every one has been failed once
  fi
  line=$(cat stderr)
  known=0
  for e in "${expected[@]}"; do [ "$line" = "$e" ] && known=1; done
  if [ "$status" -ne 1 ] || [ "$known" -ne 1 ] || [ "$(wc -l <stderr)" -ne 1 ] || grep -q '^Done$' stdout; then
    echo "allocation $n: status $status, stderr:"
    cat -A stderr | head -n 5
    bad=$((bad + 1))
  fi
  seen["$line"]=1
  if [ "$n" -gt 100000 ]; then
    echo "no successful run after $n allocations"
    exit 1
  fi
done
for e in "${expected[@]}"; do
  if [ -z "${seen["$e"]+x}" ]; then
    echo "never seen: $e"
    bad=$((bad + 1))
  fi
done
echo "$((n - 1)) allocations failed one at a time, $bad bad"
[ "$bad" -eq 0 ]
