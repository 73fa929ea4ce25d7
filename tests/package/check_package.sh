#!/usr/bin/env bash
# Checks the release files scripts/package.sh writes: checksums, the zips'
# contents, the version resource and manifest of both exes, the Debian
# package's licence and lintian's verdict on it (no error), and that it
# installs a working scythe and its manual page (as root; skipped with a
# reason otherwise, unless SCYTHE_REQUIRE_ALL=1).
set -euo pipefail
cd "$(dirname "$0")/../.."
fail() { echo "FAILED: $*" >&2; exit 1; }

scripts/package.sh >/dev/null
version=$(build/scythe | tr -d '\r' | sed -n 's/^Scythe //p')
cd dist
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
command -v lintian >/dev/null || fail "lintian is not installed (scripts/install-deps.sh)"
verdict=$(lintian "$deb" 2>&1) || fail "lintian: $verdict"

if [ "$(id -u)" -ne 0 ]; then
  echo "skipped: installing the Debian package needs root"
  [ "${SCYTHE_REQUIRE_ALL:-}" = 1 ] && exit 1
  exit 0
fi
dpkg-deb -f "$deb" Depends | grep -q libcap2 || fail "$deb does not depend on libcap2"
dpkg -i --path-include='/usr/share/man/man1/scythe.1.gz' "$deb" >/dev/null
trap 'dpkg -r scythe >/dev/null; rm -rf "$scratch"' EXIT
[ "$(command -v scythe)" = /usr/bin/scythe ] || fail "scythe is not on PATH"
usage=$(cd / && scythe) || fail "scythe without arguments exits with $?"
grep -q "^Usage           : Scythe \[<Parameter> ...\]" <<<"$usage" || fail "no usage text"
page=$(man -w scythe) || fail "man -w scythe finds nothing"
[ "$page" = /usr/share/man/man1/scythe.1.gz ] || fail "manual page at $page"
warnings=$(zcat "$page" | LC_ALL=C groff -ww -z -man 2>&1)
[ -z "$warnings" ] || fail "groff warns: $warnings"
echo "release files checked: $(ls | tr '\n' ' ')"
