#!/usr/bin/env bash
# Builds the release in its own folders (build-release, build-release-
# windows-x64, build-release-windows-x86; apart from the builds the tests
# run from) and writes the release files to dist/, or to the folder given:
#   scythe-<version>-windows-x64.zip, scythe-<version>-windows-x86.zip
#       scythe.exe, README.txt and LICENSE.txt (CR LF)
#   scythe-<version>-windows-x64.msi, scythe-<version>-windows-x86.msi
#       the same three files, installed per machine into Program Files\Scythe
#       and put on the system PATH (packaging/msi.sh, with wixl)
#   scythe_<version>_amd64.deb
#       /usr/bin/scythe, the manual page scythe(1) and the copyright
#   SHA256SUMS
#       over all of them: cd dist && sha256sum -c SHA256SUMS
# CPack makes and names the zips and the .deb, packaging/msi.sh makes the
# Windows Installer packages out of the zips; the version is the one in
# CMakeLists.txt.
#
#   scripts/package.sh [<folder>]
set -euo pipefail
cd "$(dirname "$0")/.."
dist=$(realpath -m "${1:-dist}")

# Every build must be there, none skipped.
SCYTHE_REQUIRE_ALL=1 scripts/build.sh build-release -DBUILD_TESTING=OFF >/dev/null

rm -rf "$dist"
mkdir -p "$dist"
for build in build-release-windows-x64 build-release-windows-x86 build-release; do
  (cd "$build" && cpack -B "$dist" >/dev/null)
done
rm -rf "$dist/_CPack_Packages"
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' build-release/CMakeCache.txt)
for arch in x64 x86; do
  packaging/msi.sh $arch "$version" "$dist/scythe-$version-windows-$arch.zip" "$dist/scythe-$version-windows-$arch.msi"
done
(cd "$dist" && sha256sum -- *.zip *.msi *.deb > SHA256SUMS)
ls -1 "$dist"
