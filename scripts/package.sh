#!/usr/bin/env bash
# Builds the release in its own folders (build-release, build-release-
# windows-x64, build-release-windows-x86; apart from the builds the tests
# run from) and writes the release files to dist/, or to the folder given:
#   scythe-<version>-windows-x64.zip, scythe-<version>-windows-x86.zip
#       scythe.exe, README.txt and LICENSE.txt (CR LF)
#   scythe_<version>_amd64.deb
#       /usr/bin/scythe, the manual page scythe(1) and the copyright
#   SHA256SUMS
#       over all of them: cd dist && sha256sum -c SHA256SUMS
# CPack makes and names them; the version is the one in CMakeLists.txt.
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
(cd "$dist" && sha256sum -- *.zip *.deb > SHA256SUMS)
ls -1 "$dist"
