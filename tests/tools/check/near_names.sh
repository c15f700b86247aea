#!/usr/bin/env bash
# kpm-check's "did you mean" on 10 000 conditions: 20 000 references to one
# misspelt name, and 10 000 distinct misspelt names (bench/near_names.sh
# writes both). Comparing every unknown name with every condition took
# minutes; each must now finish well within the time limit, with one
# error and the right suggestion per load factor.
#
# Usage: near_names.sh KPM_CHECK SRCDIR
set -u
check=$1
src=$2
tmp=$(mktemp -d "${TMPDIR:-/tmp}/kpm-near.XXXXXX")
trap 'rm -rf "$tmp"' EXIT
fail=0
for kind in one-misspelt many-misspelt; do
  bash "$src/bench/near_names.sh" --make "$kind" "$tmp/$kind.xml"
  start=$(date +%s)
  timeout 120 "$check" "$tmp/$kind.xml" >"$tmp/out" 2>"$tmp/err"
  status=$?
  took=$(($(date +%s) - start))
  errors=$(grep -c "is not defined (did you mean 'Condition [0-9]*'?)$" "$tmp/out")
  want=$([ "$kind" = one-misspelt ] && echo 20000 || echo 10000)
  right=$(grep -c "operational condition 'Condtion \([0-9]*\)' .*did you mean 'Condition \1'" "$tmp/out")
  echo "$kind: status $status, $errors errors with a suggestion, $right of them right, ${took} s"
  if [ "$status" != 1 ] || [ "$errors" != "$want" ] || [ "$right" != "$want" ]; then
    fail=1
    head -n 3 "$tmp/out" "$tmp/err"
  fi
done
exit $fail
