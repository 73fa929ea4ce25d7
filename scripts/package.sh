#!/usr/bin/env bash
# Builds everything in Release and writes the release files to dist/:
#   scythe-<version>-windows-x64.zip, scythe-<version>-windows-x86.zip
#       scythe.exe, README.txt and LICENSE.txt (CR LF)
#   scythe_<version>_amd64.deb
#       /usr/bin/scythe, the manual page scythe(1) and the copyright
#   SHA256SUMS
#       over all of them: cd dist && sha256sum -c SHA256SUMS
# The version is the one the program prints.
set -euo pipefail
cd "$(dirname "$0")/.."

CI=true scripts/build.sh >/dev/null  # every build must be there, none skipped
version=$(build/scythe | tr -d '\r' | sed -n 's/^Scythe //p')
[ -n "$version" ] || { echo "cannot tell the version from build/scythe" >&2; exit 1; }

rm -rf dist
mkdir -p dist
for arch in x64 x86; do
  staging=$(mktemp -d)
  cmake --install "build-windows-$arch" --prefix "$staging" --strip >/dev/null
  (cd "$staging" && cmake -E tar cf "$OLDPWD/dist/scythe-$version-windows-$arch.zip" --format=zip scythe.exe README.txt LICENSE.txt)
  rm -rf "$staging"
done
(cd build && cpack -G DEB >/dev/null)
rm -rf dist/_CPack_Packages
(cd dist && sha256sum -- *.zip *.deb > SHA256SUMS)
ls -1 dist
