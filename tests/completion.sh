#!/usr/bin/env bash
# Loads completion/kpm in bash and checks what it offers for a few command
# lines of every program, in a folder of studies, lists and other files.
#
# Usage: bash tests/completion.sh SRCDIR BUILDDIR
#   BUILDDIR: every kpm-* program built there must have a completion.
set -u
src=$(cd "$1" && pwd)
build=$(cd "$2" && pwd)
# The completion asks kpm-check for its codes, as it would find it installed.
export PATH="$build:$PATH"

tmp=$(mktemp -d "${TMPDIR:-/tmp}/kpm-completion.XXXXXX")
trap 'rm -rf "$tmp"' EXIT
cd "$tmp" || exit 1
mkdir sub
touch a.xml B.XML list.csv LIST2.CSV page.html book.xlsx notes.txt
# shellcheck source=/dev/null
. "$src/completion/kpm" || exit 1

fail=0
# Each case: the words as bash splits them (it splits at "=" too), the last
# one being completed; then the offers, sorted.
while IFS='|' read -r words expected; do
  [ -z "$words" ] && continue
  eval "COMP_WORDS=($words)"
  COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
  COMPREPLY=()
  _kpm_complete "${COMP_WORDS[0]}" "${COMP_WORDS[COMP_CWORD]}"
  actual=$(printf '%s\n' "${COMPREPLY[@]}" | LC_ALL=C sort | tr '\n' ' ' | sed 's/ *$//')
  if [ "$actual" != "$expected" ]; then
    echo "--- $words: offered [$actual], expected [$expected]"
    fail=1
  fi
done <<'EOF'
kpm -|-d -o
kpm ''|B.XML a.xml sub
kpm -o|-oLIST2.CSV -olist.csv -osub
kpm -d ''|B.XML a.xml sub
kpm-import ''|LIST2.CSV list.csv sub
kpm-import --|--decimal-comma --decimal-point --help --name= --output= --separator= --version --werror
kpm-import -o ''|B.XML a.xml sub
kpm-import --output = a|a.xml
kpm-import --separator =|, ; tab
kpm-import --separator = t|tab
kpm-import --name ''|
kpm-export ''|B.XML a.xml sub
kpm-export -o l|list.csv
kpm-check a.xml ''|B.XML a.xml sub
kpm-check --f|--format=json --format=text
kpm-check --format = j|json
kpm-check -W no-lf|no-lf-twice
kpm-check -W no-never|no-never-runs
kpm-summary ''|B.XML a.xml sub
kpm-summary --t|--top= --totals-csv=
kpm-summary --by-swbs ''|B.XML a.xml sub
kpm-summary --top ''|
kpm-summary --csv = ''|LIST2.CSV list.csv sub
kpm-summary --xlsx = ''|book.xlsx sub
kpm-summary --html = p|page.html
EOF

# kpm-check -W offers every code the checker lists in its help, and no other.
codes=$("$build/kpm-check" --help | sed -n '/^CODE is a warning or note:/,/\.$/p' | grep -oE '[a-z]+(-[a-z]+)*' |
  grep -vxE 'code|is|a|warning|or|note' | LC_ALL=C sort)
COMP_WORDS=(kpm-check -W no-)
COMP_CWORD=2
COMPREPLY=()
_kpm_complete "$build/kpm-check" no-
offered=$(printf '%s\n' "${COMPREPLY[@]#no-}" | LC_ALL=C sort)
if [ -z "$codes" ] || [ "$codes" != "$offered" ]; then
  echo "--- kpm-check -W: the completion offers other codes than the help lists (<: help, >: completion)"
  diff <(echo "$codes") <(echo "$offered")
  fail=1
fi

# Every program built has its completion.
for program in "$build/kpm" "$build"/kpm-*; do
  [ -f "$program" ] && [ -x "$program" ] || continue
  name=$(basename "$program")
  [[ $name =~ ^kpm(-[a-z]+)?$ ]] || continue # not test builds such as kpm_oom
  if ! complete -p "$name" >/dev/null 2>&1; then
    echo "--- $name: no completion"
    fail=1
  fi
done
[ "$fail" -eq 0 ] && echo "completions pass"
exit $fail
