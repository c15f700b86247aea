#!/usr/bin/env bash
# The companion programs against hostile input: every input file of the
# project's hostile cases (kpm's and the programs' own, their setup run), a
# few more made here, outputs that cannot be written, and the shared XML
# corpus. Every run must end within seconds with status 0, 1 or 2, never by a
# signal or a sanitizer's report; a status of 1 or 2 comes with an error line;
# an output file that was there before a failed run keeps its bytes, and no
# temporary file is left beside it.
#   hostile.sh BUILD_DIR SOURCE_DIR [CORPUS_DIR]
# KPM_HOSTILE_TIMES=1 prints the seconds of every run.
set -u
build=$1
src=$2
corpus=${3:-}
check=$build/kpm-check
import=$build/kpm-import
export=$build/kpm-export
summary=$build/kpm-summary
for p in "$check" "$import" "$export" "$summary"; do
  [ -x "$p" ] || { echo "not built: $p"; exit 1; }
done
# Seconds a run may take: the sanitizer builds are several times slower, and
# some inputs hold ten million bytes or a million rows.
limit=${KPM_HOSTILE_TIMEOUT:-60}
tmp=$(mktemp -d "${TMPDIR:-/tmp}/kpm-hostile.XXXXXX")
trap 'rm -rf "$tmp"' EXIT
mkdir "$tmp/in" "$tmp/out" "$tmp/work"

runs=0
bad=0
wrap=() # a command that runs the program, when set
slowest=0
slowest_what=
status=0
fail() {
  echo "--- $what: $*"
  head -c 1500 "$tmp/out/stderr"
  bad=$((bad + 1))
}

# attempt WHAT PROGRAM ARG...: runs it in $tmp/work and checks how it ended.
# Standard output goes to $stdout_to when set. Leaves the status in $status.
attempt() {
  what=$1
  shift
  local start=$SECONDS t0=${EPOCHREALTIME:-0}
  (cd "$tmp/work" && timeout "$limit" ${wrap[@]+"${wrap[@]}"} "$@" >"${stdout_to:-$tmp/out/stdout}" 2>"$tmp/out/stderr" </dev/null)
  status=$?
  runs=$((runs + 1))
  local took=$((SECONDS - start))
  [ -n "${KPM_HOSTILE_TIMES:-}" ] && echo "$(((${EPOCHREALTIME/./} - ${t0/./}) / 1000)) ms: $what"
  if [ "$took" -gt "$slowest" ]; then
    slowest=$took
    slowest_what=$what
  fi
  if grep -qE 'Sanitizer|runtime error:' "$tmp/out/stderr"; then
    fail "sanitizer report (status $status)"
  elif [ "$status" -eq 124 ]; then
    fail "still running after $limit s"
  elif [ "$status" -gt 2 ]; then
    fail "status $status"
  elif [ "$status" -ne 0 ] && ! grep -qE 'error|\*\*\* ' "$tmp/out/stderr" &&
    ! { [ -z "${stdout_to:-}" ] && grep -q ': error: ' "$tmp/out/stdout"; }; then
    fail "status $status without an error line"
  fi
}

# An output file that exists before the run: after a failed run it must hold
# what it held, and nothing may be left beside it.
KEPT='kept: the output of an earlier run'
guard() { printf '%s\n' "$KEPT" >"$1"; }
kept() { # FILE: after a run that failed
  if [ "$status" -ne 0 ] && [ "$(cat "$1" 2>/dev/null)" != "$KEPT" ]; then
    fail "the existing output $(basename "$1") was changed by a failed run"
  fi
  local left
  left=$(find "$(dirname "$1")" -maxdepth 1 -name ".kpm-*" | head -n 1)
  [ -z "$left" ] || fail "a temporary file was left behind: $left"
}

# ------------------------------------------------------------------ inputs
# The project's hostile cases: their input files, once their setup has run.
n=0
for case_dir in "$src"/tests/cli/hostile-* "$src"/tests/tools/*/kpm-*/hostile-*; do
  [ -d "$case_dir" ] || continue
  n=$((n + 1))
  d=$tmp/in/case$n
  mkdir "$d"
  # A program's own hostile cases test it already: it is not given them again.
  case $case_dir in
    "$src"/tests/tools/*) basename "$(dirname "$case_dir")" >"$d.owner" ;;
  esac
  for f in "$case_dir"/*; do
    case $(basename "$f") in
      args | stdout | stderr | status | expect | setup | stdout_to) ;;
      *) cp -R "$f" "$d/" ;;
    esac
  done
  if [ -f "$case_dir/setup" ]; then
    (cd "$d" && bash "$case_dir/setup" >/dev/null 2>&1) || echo "setup failed: $case_dir"
  fi
done

# What those cases leave out, for the XML readers and the CSV reader alike.
x=$tmp/in/extra
mkdir "$x"
study_head='<kpm><name>S</name><operational_conditions><name order="1">o</name></operational_conditions><ambient_conditions><name order="1">a</name></ambient_conditions>'
one_load='<load><name>P</name><connected_load>12</connected_load><lf oc="o" ac="a">0.5</lf></load>'
: >"$x/empty"
printf '\000\000\000\000' >"$x/only-nul-bytes"
printf '%s%s</kpm>\n' "$study_head" "$one_load" | tr 'P' '\000' >"$x/nul-in-load-name.xml"
{ printf '%s<load><name>' "$study_head"; head -c 10485760 /dev/zero | tr '\000' 'n'; printf '</name></load></kpm>\n'; } >"$x/10mb-load-name.xml"
{ printf '%s<load><name>P</name><connected_load>' "$study_head"; head -c 10485760 /dev/zero | tr '\000' '1'; printf '</connected_load></load></kpm>\n'; } >"$x/10mb-value.xml"
{ printf '%s<load><name>P</name><lf oc="o" ac="a"' "$study_head"; LC_ALL=C awk 'BEGIN { for (i = 0; i < 1000000; i++) printf " x%d=\"\"", i }'; printf '>0.5</lf></load></kpm>\n'; } >"$x/million-attributes.xml"
{ printf '%s' "$study_head"; LC_ALL=C awk 'BEGIN { for (i = 0; i < 20000; i++) printf "<load><name>P%d</name><connected_load>12</connected_load><lf oc=\"o\" ac=\"a\">0.5</lf></load>", i }'; printf '</kpm>\n'; } >"$x/20000-loads.xml"
printf '%s<load><name>P</name><lf oc="o ac="a">0.5</lf></load></kpm>\n' "$study_head" >"$x/unterminated-attribute-quote.xml"
printf '%s%s</kpm>\n' "$study_head" "$one_load" | tr '>' '\r' >"$x/lone-cr-for-gt.xml"
printf '<kpm>\r<name>S</name>\r</kpm>\r' >"$x/lone-cr-line-ends.xml"
printf '%s<load><name>\377\376\300\200 \355\240\200</name><swbs>\351</swbs><connected_load>12</connected_load><lf oc="o" ac="a">0.5</lf></load></kpm>\n' "$study_head" >"$x/invalid-utf8-names.xml"
printf 'name,connected_load,o/a\r"P,12,0.5\rQ,1,0.5\r' >"$x/unterminated-quote-lone-cr.csv"
printf 'name,connected_load,o/a\rP,12,0.5' >"$x/lone-cr-no-final-line-end.csv"
printf '\r' >"$x/lone-cr-only"
{ printf 'name,connected_load,o/a\nP,'; head -c 10485760 /dev/zero | tr '\000' '1'; printf ',0.5\n'; } >"$x/10mb-number-cell.csv"
{ printf 'name,connected_load,o/a\n"'; head -c 10485760 /dev/zero | tr '\000' '"'; printf '",12,0.5\n'; } >"$x/10mb-quoted-quotes.csv"
{ printf 'name,connected_load'; LC_ALL=C awk 'BEGIN { for (i = 0; i < 1000000; i++) printf ",o%d/a", i }'; printf '\nP,12,0.5\n'; } >"$x/million-pair-columns.csv"
printf 'name,connected_load,o/a\n\377\376,12,0.5\n\300\200,1,0.5\n' >"$x/invalid-utf8-names.csv"
mkdir "$x/a-directory"

inputs=()
while IFS= read -r -d '' f; do inputs+=("$f"); done < <(find "$tmp/in" -mindepth 2 -maxdepth 2 -print0 | sort -z)

# ------------------------------------------------------------ every program
# Every input to every program, each output an existing file to keep;
# kpm-check takes them all at once, as text and as JSON, which must stay
# valid JSON whatever bytes the texts hold.
out=$tmp/work/kept.out
attempt "kpm-check, every input" "$check" "${inputs[@]}"
attempt "kpm-check --format=json, every input" "$check" --format=json "${inputs[@]}"
if command -v python3 >/dev/null; then
  python3 -c 'import json, sys; json.loads(open(sys.argv[1], "rb").read().decode("utf-8"))' "$tmp/out/stdout" 2>"$tmp/out/stderr" ||
    fail "kpm-check --format=json wrote no valid JSON"
fi
# kpm-export reads as kpm-summary does: it is spared the inputs of over a
# MiB, which cost the sanitizer builds most.
for f in "${inputs[@]}"; do
  name=${f#"$tmp/in/"}
  owner=$(cat "$(dirname "$f").owner" 2>/dev/null)
  size=$(stat -c %s "$f")
  if [ "$owner" != kpm-export ] && [ "$size" -le 1048576 ]; then
    guard "$out"
    attempt "kpm-export $name" "$export" -o "$out" "$f"
    kept "$out"
  fi
  if [ "$owner" != kpm-import ]; then
    guard "$out"
    attempt "kpm-import $name" "$import" -o "$out" "$f"
    kept "$out"
  fi
  if [ "$owner" != kpm-summary ]; then
    guard "$out"
    attempt "kpm-summary $name" "$summary" -q --csv "$out" "$f"
    kept "$out"
  fi
done

# --------------------------------------------------------------- outputs
# A study and a list that the programs take, to write somewhere unwritable.
# Larger than 1 KiB in every output: 100 loads under 25 pairs.
good_xml=$tmp/work/good.xml
LC_ALL=C awk -v loads=100 -v oc=5 -v ac=5 -v per=10 -f "$src/tests/threads/gen_study.awk" >"$good_xml"
good_csv=$tmp/work/good.csv
"$export" -o "$good_csv" "$good_xml" || fail "kpm-export of the example failed"
writers=(
  "kpm-export|$export|-o|@|$good_xml"
  "kpm-import|$import|-o|@|$good_csv"
  "kpm-summary --csv|$summary|-q|--csv|@|$good_xml"
  "kpm-summary --totals-csv|$summary|-q|--totals-csv|@|$good_xml"
  "kpm-summary --html|$summary|-q|--html|@|$good_xml"
)
with_output() { # WRITER PATH: runs the writer (an entry of writers) with its output at PATH
  local writer=$1 path=$2 label args=() a
  IFS='|' read -r -a parts <<<"$writer"
  label=${parts[0]}
  for a in "${parts[@]:1}"; do
    [ "$a" = @ ] && a=$path
    args+=("$a")
  done
  attempt "$label -> $3" "${args[@]}"
}
for writer in "${writers[@]}"; do
  with_output "$writer" "$tmp/work/no/such/folder/out" "a missing folder"
  [ "$status" -eq 2 ] || fail "status $status, expected 2"
  with_output "$writer" /dev/full "/dev/full"
  [ "$status" -eq 2 ] || fail "status $status, expected 2"
  mkdir -p "$tmp/work/folder"
  with_output "$writer" "$tmp/work/folder" "a folder"
  [ "$status" -eq 2 ] || fail "status $status, expected 2"
  # The output is the input: the input keeps its bytes.
  input=${writer##*|}
  cp "$input" "$tmp/work/input.copy"
  on_copy=${writer%|*}"|$tmp/work/input.copy"
  with_output "$on_copy" "$tmp/work/input.copy" "its own input"
  [ "$status" -eq 2 ] || fail "status $status, expected 2"
  cmp -s "$input" "$tmp/work/input.copy" || fail "the input was changed"
  # The file system refuses the write half-way (a file size limit): the
  # existing output keeps its bytes and the temporary file goes.
  # 1 KiB is room for the error line on standard error, not for the output.
  guard "$out"
  wrap=(bash -c 'trap "" XFSZ; ulimit -f 1; exec "$@"' limited)
  with_output "$writer" "$out" "a file that cannot grow past 1 KiB"
  wrap=()
  [ "$status" -eq 2 ] || fail "status $status, expected 2"
  kept "$out"
done
# Standard output on a full device, for every program.
stdout_to=/dev/full attempt "kpm-check stdout /dev/full" "$check" --format=json "$good_xml"
[ "$status" -eq 2 ] || fail "status $status, expected 2"
stdout_to=/dev/full attempt "kpm-export stdout /dev/full" "$export" "$good_xml"
[ "$status" -eq 2 ] || fail "status $status, expected 2"
stdout_to=/dev/full attempt "kpm-import stdout /dev/full" "$import" "$good_csv"
[ "$status" -eq 2 ] || fail "status $status, expected 2"
stdout_to=/dev/full attempt "kpm-summary stdout /dev/full" "$summary" "$good_xml"
[ "$status" -eq 2 ] || fail "status $status, expected 2"

# The early ways out: help, version, a usage error, no arguments.
for p in "$check" "$import" "$export" "$summary"; do
  for a in --help --version --no-such-option; do
    attempt "$(basename "$p") $a" "$p" "$a"
  done
  attempt "$(basename "$p") without arguments" "$p"
done

# ---------------------------------------------------------------- corpus
# kpm-check takes the whole corpus in one process; export and summary a
# sample, every 100th file.
if [ -n "$corpus" ] && [ -d "$corpus" ]; then
  files=()
  while IFS= read -r -d '' f; do files+=("$f"); done < <(find "$corpus" -type f -print0 | sort -z)
  attempt "kpm-check on the corpus (${#files[@]} files)" "$check" "${files[@]}"
  sample=0
  for ((i = 0; i < ${#files[@]}; i += 100)); do
    f=${files[i]}
    sample=$((sample + 1))
    guard "$out"
    attempt "kpm-export ${f#"$corpus/"}" "$export" -o "$out" "$f"
    kept "$out"
    guard "$out"
    attempt "kpm-summary ${f#"$corpus/"}" "$summary" -q --csv "$out" "$f"
    kept "$out"
  done
  echo "corpus: ${#files[@]} files to kpm-check in one run, $sample to kpm-export and kpm-summary"
else
  echo "corpus: none given or not found (${corpus:-none}); left out"
fi

echo "${#inputs[@]} hostile inputs, $runs runs, $bad bad; slowest run ${slowest} s ($slowest_what)"
[ "$bad" -eq 0 ]
