#!/usr/bin/env bash
# Builds the Debian package of a build folder, unpacks it into a scratch root
# and runs every installed program on an installed example; checks the
# package's control data and what lintian says of it.
#
# Usage: bash tests/package_install.sh BUILDDIR
#   KPM_REQUIRE_LINTIAN=1: a missing lintian is a failure, not a note.
set -u
build=$(cd "$1" && pwd)
for tool in cpack dpkg-deb; do
  command -v $tool >/dev/null || { echo "skipped: $tool is needed for this test"; exit 77; }
done

tmp=$(mktemp -d "${TMPDIR:-/tmp}/kpm-package.XXXXXX")
trap 'rm -rf "$tmp"' EXIT
fail=0
bad() {
  echo "--- $*"
  fail=1
}

if ! cpack -G DEB --config "$build/CPackConfig.cmake" -B "$tmp/out" >"$tmp/cpack.log" 2>&1; then
  cat "$tmp/cpack.log"
  exit 1
fi
debs=("$tmp"/out/*.deb)
[ ${#debs[@]} -eq 1 ] && [ -f "${debs[0]}" ] || { bad "expected one .deb, found: ${debs[*]}"; exit 1; }
deb=${debs[0]}
version=$(sed -n 's/^set(CPACK_PACKAGE_VERSION "\(.*\)")$/\1/p' "$build/CPackConfig.cmake")
echo "$(basename "$deb"): $(stat -c %s "$deb") bytes"

# Control data: name, version, the libraries the programs link.
dpkg-deb --info "$deb" >"$tmp/info" || bad "dpkg-deb --info fails"
field() { sed -n "s/^ $1: //p" "$tmp/info"; }
[ "$(field Package)" = kpm ] || bad "Package: $(field Package)"
[ -n "$version" ] && [ "$(field Version)" = "$version" ] || bad "Version: $(field Version), expected $version"
depends=$(field Depends)
for lib in libc6 libstdc++6; do
  [[ $depends == *"$lib"* ]] || bad "Depends lacks $lib: $depends"
done
if command -v readelf >/dev/null && readelf -d "$build/kpm-summary" 2>/dev/null | grep -q 'libxlsxwriter'; then
  [[ $depends == *libxlsxwriter* ]] || bad "kpm-summary links libxlsxwriter, but Depends lacks it: $depends"
fi

# The files: every program built here, with its manual page and completion.
root=$tmp/root
dpkg-deb -x "$deb" "$root" || { bad "dpkg-deb -x fails"; exit 1; }
programs=()
for p in "$build/kpm" "$build"/kpm-*; do
  name=$(basename "$p")
  [[ -f $p && -x $p && $name =~ ^kpm(-[a-z]+)?$ ]] && programs+=("$name")
done
doc=$root/usr/share/doc/kpm
for name in "${programs[@]}"; do
  [ -x "$root/usr/bin/$name" ] || bad "usr/bin/$name is missing"
  gzip -t "$root/usr/share/man/man1/$name.1.gz" 2>/dev/null || bad "usr/share/man/man1/$name.1.gz is missing"
  [ -f "$root/usr/share/bash-completion/completions/$name" ] || bad "completion of $name is missing"
  out=$("$root/usr/bin/$name" --version 2>&1 | head -n 1)
  [ "$name" = kpm ] || [ "$out" = "$name $version" ] || bad "$name --version: $out"
done
for f in README.md copyright changelog.gz docs/study-format.md docs/tutorial.md examples/ship-zone.xml \
  examples/ship-zone.csv examples/loads.csv; do
  [ -f "$doc/$f" ] || bad "usr/share/doc/kpm/$f is missing"
done

# Each installed program on an installed example: the import, check, run,
# summary and export of the tutorial.
run() { # expected-status command...
  local want=$1
  shift
  "$@" >"$tmp/run.out" 2>&1
  local got=$?
  [ "$got" -eq "$want" ] || { bad "$(basename "$1") ${*:2}: status $got, expected $want"; head -n 20 "$tmp/run.out"; }
}
bin=$root/usr/bin
cd "$tmp" || exit 1
run 0 "$bin/kpm-import" -o zone.xml "$doc/examples/ship-zone.csv"
run 0 "$bin/kpm-check" zone.xml "$doc/examples/ship-zone.xml"
run 0 "$bin/kpm" -oreport.csv zone.xml
head -n 1 report.csv | grep -q "^\"kpm\",\"Version\",\"$version\"," || bad "kpm's report: $(head -n 1 report.csv)"
run 0 "$bin/kpm-summary" --csv=tidy.csv --html=page.html zone.xml
if grep -q KPM_HAVE_XLSXWRITER "$build/CMakeFiles/kpm-summary.dir/flags.make" 2>/dev/null ||
  readelf -d "$build/kpm-summary" 2>/dev/null | grep -q libxlsxwriter; then
  run 0 "$bin/kpm-summary" -q --xlsx=zone.xlsx zone.xml
fi
run 0 "$bin/kpm-export" -o back.csv zone.xml
[ -s back.csv ] || bad "kpm-export wrote nothing"

if command -v lintian >/dev/null; then
  # Errors fail; warnings are shown.
  lintian --tag-display-limit 0 "$deb" >"$tmp/lintian" 2>&1
  cat "$tmp/lintian"
  grep -q '^E: ' "$tmp/lintian" && bad "lintian reports errors"
elif [ "${KPM_REQUIRE_LINTIAN:-0}" = 1 ]; then
  bad "lintian is not installed"
else
  echo "note: lintian is not installed; the package is not linted"
fi
[ "$fail" -eq 0 ] && echo "package installs and runs"
exit $fail
