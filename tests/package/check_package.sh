#!/usr/bin/env bash
# Checks the release files scripts/package.sh writes, built into their own
# folders so that the builds the tests run from are left alone:
#   files    builds them into <folder>, checks the checksums, the zips'
#            contents, the version resource and manifest of both exes, the
#            version and the (never changing) upgrade code of both MSIs,
#            the Debian package's machine-readable copyright and
#            lintian's verdict on it (no error)
#   install  installs the Debian package from <folder>: a working scythe on
#            PATH and its manual page (needs root)
#   msi      installs each Windows Installer package from <folder> silently
#            under Wine (SCYTHE_WINE, else wine64) in a prefix of its own:
#            the files, the PATH entry, scythe /Version from a new console
#            (x64 only: the 32-bit exe cannot run here), a newer version
#            over it (one installation left), an older one refused, and
#            removal leaving nothing behind
#
#   check_package.sh files|install|msi <version> <folder>
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

if [ "$part" = msi ]; then
  wine=${SCYTHE_WINE:-wine64}
  need wine64 "$wine"
  need wixl wixl
  need msitools msibuild
  need unzip unzip
  server=$(dirname "$(command -v "$wine")")/wineserver
  [ -x "$server" ] || server=$(command -v wineserver) || skip "needs wineserver (wine64)"
  [ -f "$dist/scythe-$version-windows-x64.msi" ] || skip "no packages in $dist (the files part, skipped, builds them)"
  root=$PWD dist=$(realpath "$dist") scratch=$(mktemp -d)
  export WINEPREFIX=$scratch/prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
  trap '"$server" -k 2>/dev/null || true; "$server" -w || true; rm -rf "$scratch"' EXIT
  "$wine" wineboot -i >/dev/null 2>&1 || fail "wineboot could not make a Wine prefix"
  cd "$scratch"  # an empty folder: cmd finds no scythe.exe here before the PATH
  msiexec() { "$wine" msiexec "$@" >/dev/null 2>&1; }
  path_entries() {  # without empty ones: Wine's msiexec leaves a removed entry's separator
    "$wine" reg query 'HKLM\System\CurrentControlSet\Control\Session Manager\Environment' /v PATH |
      tr -d '\r' | sed -n 's/^ *PATH *REG_EXPAND_SZ *//p' | tr ';' '\n' | grep -v '^$'
  }
  installed() {  # the versions of Scythe that Programs and Features lists
    { "$wine" reg query "$1" /s 2>/dev/null || true; } | tr -d '\r' | awk '
      /^HKEY/ { if (name == "Scythe") print version; name = version = "" }
      $1 == "DisplayName" { name = $3 } $1 == "DisplayVersion" { version = $3 }
      END { if (name == "Scythe") print version }'
  }
  newer=${version%.*}.$((${version##*.} + 1))
  before=$(path_entries)
  for arch in x64 x86; do
    msi=$dist/scythe-$version-windows-$arch.msi zip=$dist/scythe-$version-windows-$arch.zip
    case $arch in
      x64) folder='C:\Program Files\Scythe\' key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' ;;
      x86) folder='C:\Program Files (x86)\Scythe\' key='HKLM\Software\Wow6432Node\Microsoft\Windows\CurrentVersion\Uninstall' ;;
    esac
    unix_folder=$WINEPREFIX/drive_c/$(tr '\\' / <<<"${folder#C:\\}")
    msiexec /i "$msi" /qn || fail "msiexec /i $msi /qn exits with $?"
    [ "$(ls "$unix_folder" | tr '\n' ' ')" = "LICENSE.txt README.txt scythe.exe " ] ||
      fail "$msi installs $(ls "$unix_folder" 2>&1) in $folder"
    for file in scythe.exe README.txt LICENSE.txt; do
      unzip -p "$zip" $file | cmp -s - "$unix_folder/$file" || fail "$msi: $file differs from the zip's"
    done
    [ "$(path_entries)" = "$before"$'\n'"$folder" ] || fail "$msi: the system PATH is $(path_entries)"
    if [ $arch = x64 ]; then
      shown=$("$wine" cmd /c 'scythe /Version') || fail "scythe /Version from a new cmd exits with $?"
      [ "$shown" = "Scythe $version"$'\r' ] || fail "scythe /Version from a new cmd shows: $shown"
    fi
    [ "$(installed "$key")" = "$version" ] || fail "$msi: installed: $(installed "$key")"
    "$root/packaging/msi.sh" $arch "$newer" "$zip" "$scratch/newer.msi"
    msiexec /i "$scratch/newer.msi" /qn || fail "$newer over $version: msiexec exits with $?"
    [ "$(installed "$key")" = "$newer" ] || fail "$newer over $version: installed: $(installed "$key")"
    [ "$(path_entries)" = "$before"$'\n'"$folder" ] || fail "$newer over $version: the system PATH is $(path_entries)"
    ! msiexec /i "$msi" /qn || fail "$msi installs over the newer $newer"
    [ "$(installed "$key")" = "$newer" ] || fail "$version refused: installed: $(installed "$key")"
    msiexec /x "$scratch/newer.msi" /qn || fail "msiexec /x /qn exits with $?"
    [ ! -e "$unix_folder" ] || fail "$arch: removal leaves $(ls -a "$unix_folder")"
    [ -z "$(installed "$key")" ] || fail "$arch: still installed after removal: $(installed "$key")"
    [ "$(path_entries)" = "$before" ] || fail "$arch: the system PATH after removal is $(path_entries)"
  done
  echo "Windows Installer packages installed, upgraded and removed under Wine: $dist/*.msi"
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
need wixl wixl
need msitools msibuild msiinfo
scripts/package.sh "$dist" || fail "scripts/package.sh could not build the release files"
cd "$dist"
sha256sum --check --quiet SHA256SUMS || fail "checksums"
[ "$(wc -l < SHA256SUMS)" -eq 5 ] || fail "SHA256SUMS lists $(wc -l < SHA256SUMS) files"

# The string after a name in a version resource, as UTF-16 strings read it.
resource_value() { wrestool -x --raw -t16 "$1" | strings -el | grep -x -A1 "$2" | tail -1; }

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
declare -A upgrade_code=([x64]=7331EEA8-C957-4735-8B04-EC5520BAE613 [x86]=A5EB4BE7-6EA5-4742-A583-9431698FA10D)
for arch in x64 x86; do
  zip="scythe-$version-windows-$arch.zip" msi="scythe-$version-windows-$arch.msi"
  properties=$(msiinfo export "$msi" Property | tr -d '\r')
  grep -qx "ProductVersion"$'\t'"$version" <<<"$properties" || fail "$msi: ProductVersion"
  grep -qx "UpgradeCode"$'\t'"{${upgrade_code[$arch]}}" <<<"$properties" || fail "$msi: the upgrade code changed"
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
# lintian fails on errors; the notes that remain are explained in docs/releases.md.
verdict=$(lintian "$deb" 2>&1) || fail "lintian: $verdict"

echo "release files checked: $(ls | tr '\n' ' ')"
