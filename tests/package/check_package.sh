#!/usr/bin/env bash
# Checks the release files scripts/package.sh writes, built into their own
# folders so that the builds the tests run from are left alone:
#   files    builds them into <folder>, checks the checksums, the zips'
#            contents, the version resource and manifest of both exes,
#            the Debian package's machine-readable copyright and
#            lintian's verdict on it (no error)
#   install  installs the Debian package from <folder>: a working scythe on
#            PATH and its manual page (needs root)
#
#   check_package.sh files|install <version> <folder>
#
# What cannot be done here for want of a tool or of root is skipped with
# the reason (exit 77), and fails where everything must run
# (SCYTHE_REQUIRE_ALL=1).
set -euo pipefail
part=$1 version=$2 dist=$3
cd "$(dirname "$0")/../.."
fail() { echo "FAILED: $*" >&2; exit 1; }
skip() {
  [ "${SCYTHE_REQUIRE_ALL:-}" = 1 ] && fail "$*"
  echo "skipped: $*"
  exit 77
}

# The tools a part needs, by the Debian package that brings them.
need() {
  local package=$1; shift
  for tool in "$@"; do
    command -v "$tool" >/dev/null || skip "needs $tool ($package; scripts/install-deps.sh installs it)"
  done
}

if [ "$part" = install ]; then
  [ "$(id -u)" -eq 0 ] || skip "installing the Debian package needs root"
  need dpkg dpkg dpkg-deb
  need man-db man
  need groff-base groff
  deb="$dist/scythe_${version}_amd64.deb"
  [ -f "$deb" ] || skip "no $deb to install (the files part, skipped, builds it)"
  dpkg-deb -f "$deb" Depends | grep -q libcap2 || fail "$deb does not depend on libcap2"
  dpkg -i --path-include='/usr/share/man/man1/scythe.1.gz' "$deb" >/dev/null
  trap 'dpkg -r scythe >/dev/null' EXIT
  [ "$(command -v scythe)" = /usr/bin/scythe ] || fail "scythe is not on PATH"
  usage=$(cd / && scythe) || fail "scythe without arguments exits with $?"
  grep -q "^Usage           : Scythe \[<Parameter> ...\]" <<<"$usage" || fail "no usage text"
  grep -q "^Scythe $version" <<<"$usage" || fail "the usage text does not show version $version"
  page=$(man -w scythe) || fail "man -w scythe finds nothing"
  [ "$page" = /usr/share/man/man1/scythe.1.gz ] || fail "manual page at $page"
  warnings=$(zcat "$page" | LC_ALL=C groff -ww -z -man 2>&1)
  [ -z "$warnings" ] || fail "groff warns: $warnings"
  echo "Debian package installed and checked: $deb"
  exit 0
fi

rm -rf "$dist"  # what an earlier run left is not to be installed
need g++-mingw-w64-x86-64 x86_64-w64-mingw32-g++-win32
need g++-mingw-w64-i686 i686-w64-mingw32-g++-win32
need dpkg-dev dpkg-shlibdeps
need file file
need icoutils wrestool
need unzip unzip
need binutils strings
need lintian lintian
scripts/package.sh "$dist" || fail "scripts/package.sh could not build the release files"
cd "$dist"
sha256sum --check --quiet SHA256SUMS || fail "checksums"
[ "$(wc -l < SHA256SUMS)" -eq 3 ] || fail "SHA256SUMS lists $(wc -l < SHA256SUMS) files"

# The string after a name in a version resource, as UTF-16 strings read it.
resource_value() { wrestool -x --raw -t16 "$1" | strings -el | grep -x -A1 "$2" | tail -1; }

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
for arch in x64 x86; do
  zip="scythe-$version-windows-$arch.zip"
  [ "$(unzip -Z1 "$zip" | sort | tr '\n' ' ')" = "LICENSE.txt README.txt scythe.exe " ] ||
    fail "$zip holds $(unzip -Z1 "$zip")"
  for text in README.txt LICENSE.txt; do
    unzip -p "$zip" $text > "$scratch/$text"
    ! grep -q $'[^\r]$\|^$' "$scratch/$text" || fail "$zip: $text has lines without CR LF"
  done
  grep -q "/SubDirectories" "$scratch/README.txt" || fail "$zip: README.txt without the options"
  grep -q "^MIT License" "$scratch/LICENSE.txt" || fail "$zip: LICENSE.txt is not the licence"
  unzip -p "$zip" scythe.exe > "$scratch/scythe.exe"
  for field in FileVersion ProductVersion; do
    [ "$(resource_value "$scratch/scythe.exe" $field)" = "$version" ] || fail "$zip: $field"
  done
  [ "$(resource_value "$scratch/scythe.exe" OriginalFilename)" = scythe.exe ] || fail "$zip: OriginalFilename"
  [ "$(resource_value "$scratch/scythe.exe" ProductName)" = Scythe ] || fail "$zip: ProductName"
  manifest=$(wrestool -x --raw -t24 "$scratch/scythe.exe")
  for wanted in 'level="asInvoker"' '<ws2:longPathAware>true' 'supportedOS Id="{8e0f7a12'; do
    grep -qF "$wanted" <<<"$manifest" || fail "$zip: manifest without $wanted"
  done
done

deb="scythe_${version}_amd64.deb"
dpkg-deb --fsys-tarfile "$deb" | tar -xO ./usr/share/doc/scythe/copyright > "$scratch/copyright"
grep -q "^Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/" "$scratch/copyright" ||
  fail "$deb: the copyright is not machine-readable"
grep -q "^License: Expat" "$scratch/copyright" || fail "$deb: the copyright names no licence"
# lintian fails on errors; the notes that remain are explained in README.md.
verdict=$(lintian "$deb" 2>&1) || fail "lintian: $verdict"

echo "release files checked: $(ls | tr '\n' ' ')"
