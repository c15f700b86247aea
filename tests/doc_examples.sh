#!/usr/bin/env bash
# Runs the examples of README.md and docs/*.md against the built kpm, so the
# documents cannot drift from the program.
#
# Usage: bash tests/doc_examples.sh KPM SRCDIR
#   KPM     the built binary
#   SRCDIR  the source tree (README.md, docs/, examples/)
#
# How an example is marked in Markdown: a fenced block whose info string is
# exactly `console`. Its fences may be indented with blanks (inside a list
# item); that indent is removed from its lines. It is a terminal transcript:
#
#   ```console
#   $ ./build/kpm -oreport.csv examples/example.xml
#   Iniitalizing ...
#   ...
#   $ cat report.csv
#   "kpm","Version","1.0","Jun 26 2022"
#   ...
#   ```
#
# - A line that starts with "$ " is a command (one line each, no continuation
#   lines); the lines after it, up to the next command or the closing fence,
#   are what it writes to standard output and standard error together.
# - The commands of one block run in order, in one bash process (so `echo $?`
#   shows the status of the command before it), in a fresh work folder that
#   holds a copy of examples/ at the same relative path. `kpm` and
#   `./build/kpm` both name the binary under test, and likewise `kpm-check`
#   and `./build/kpm-check` for each companion program built beside it.
# - A document that holds the line `<!-- doc-examples: one work folder -->`
#   runs all its blocks, in order, in one work folder, so that a block can
#   use the files that the blocks before it wrote (a tutorial).
# - Standard output of kpm is flushed after each progress line but not after
#   "Preparing input for calculations", so an example that shows an error
#   of the preparation should send standard output away (`> /dev/null`).
# - The build date in a report header ("Mmm dd yyyy") is masked on both sides.
# - Blocks of any other kind (```sh, ```xml, ```text) are never run: use them
#   for commands whose output is not shown, such as the build commands.
#
# Exits 1 with a diff for every block that differs, and 1 when no block is
# found at all.
set -u

if [ $# -ne 2 ]; then
  echo "usage: $0 KPM SRCDIR" >&2
  exit 2
fi
kpm=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
src=$(cd "$2" && pwd)
[ -x "$kpm" ] || { echo "not an executable: $kpm" >&2; exit 1; }
[ -d "$src/examples" ] || { echo "no examples/ in $src" >&2; exit 1; }

tmp=$(mktemp -d "${TMPDIR:-/tmp}/kpm-doc.XXXXXX")
trap 'rm -rf "$tmp"' EXIT
mkdir "$tmp/bin"
ln -s "$kpm" "$tmp/bin/kpm"
# The companion programs built beside kpm (kpm-check, ...) are named the same way.
for tool in "$(dirname "$kpm")"/kpm-*; do
  [ -f "$tool" ] && [ -x "$tool" ] && ln -s "$tool" "$tmp/bin/$(basename "$tool")"
done

mask() {
  sed -E 's/^("kpm","Version","[^"]*",")[A-Z][a-z]{2} [ 0-9][0-9] [0-9]{4}"$/\1@DATE@"/' "$1"
}

# Writes each console block of a Markdown file to $tmp/blocks/N.txt and its
# first line number to $tmp/blocks/N.line; prints the number of blocks.
extract() { # file
  rm -rf "$tmp/blocks"
  mkdir "$tmp/blocks"
  awk -v dir="$tmp/blocks" '
    !inside && /^ *```console[ \t]*$/ {
      inside = 1; n++; indent = index($0, "`") - 1
      print NR + 1 > (dir "/" n ".line"); close(dir "/" n ".line")
      printf "" > (dir "/" n ".txt"); next
    }
    inside && /^ *```[ \t]*$/ { inside = 0; close(dir "/" n ".txt"); next }
    inside {
      line = $0
      for (k = 0; k < indent && substr(line, 1, 1) == " "; k++) line = substr(line, 2)
      print line > (dir "/" n ".txt")
    }
    END { if (inside) { print "unclosed console block" > "/dev/stderr"; exit 1 } print n + 0 }
  ' "$1"
}

# Turns a transcript into a bash script that replays it: each command is
# echoed with its "$ " prompt, then run with its status kept for the next one.
to_script() { # transcript
  local line cmd
  echo 'exec 2>&1'
  echo '__status=0'
  while IFS= read -r line || [ -n "$line" ]; do
    case $line in
      '$ '*)
        cmd=${line#\$ }
        printf "__status=\$?; printf '%%s\\\\n' %q; (exit \$__status); %s\n" "$line" "$cmd"
        ;;
    esac
  done <"$1"
}

fail=0
total=0
docs=("$src/README.md")
for f in "$src"/docs/*.md; do
  [ -f "$f" ] && docs+=("$f")
done

for doc in "${docs[@]}"; do
  [ -f "$doc" ] || continue
  rel=${doc#"$src"/}
  count=$(extract "$doc") || { echo "--- $rel: unclosed console block"; fail=1; continue; }
  shared=0
  grep -qx '<!-- doc-examples: one work folder -->' "$doc" && shared=1
  for ((i = 1; i <= count; i++)); do
    total=$((total + 1))
    block="$tmp/blocks/$i.txt"
    line=$(cat "$tmp/blocks/$i.line")
    if ! grep -q '^\$ ' "$block"; then
      echo "--- $rel:$line: console block without a command"
      fail=1
      continue
    fi
    work="$tmp/work"
    if [ "$shared" -eq 0 ] || [ "$i" -eq 1 ]; then
      rm -rf "$work"
      mkdir -p "$work/build"
      cp -R "$src/examples" "$work/examples"
      for tool in "$tmp"/bin/*; do ln -s "$(readlink "$tool")" "$work/build/$(basename "$tool")"; done
    fi
    to_script "$block" >"$tmp/script.sh"
    (cd "$work" && PATH="$tmp/bin:$PATH" LC_ALL=C timeout 60 bash "$tmp/script.sh") >"$tmp/actual" </dev/null
    if ! cmp -s <(mask "$block") <(mask "$tmp/actual"); then
      echo "--- $rel:$line: example differs (expected, then actual)"
      diff <(mask "$block") <(mask "$tmp/actual") | head -n 60
      fail=1
    fi
  done
done

if [ "$total" -eq 0 ]; then
  echo "no console example found in README.md or docs/*.md"
  exit 1
fi
[ "$fail" -eq 0 ] && echo "$total documentation examples pass"
exit $fail
