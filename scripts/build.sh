#!/usr/bin/env bash
# Builds the native program (build/scythe) and, where mingw-w64 is
# installed, the Windows programs (build-windows-x64/scythe.exe,
# build-windows-x86/scythe.exe).
#
#   scripts/build.sh [<folder> [<CMake option> ...]]
#
# builds in <folder>, <folder>-windows-x64 and <folder>-windows-x86
# instead, with the options given (scripts/package.sh builds the release
# so). Where every build must be there (CI=true or SCYTHE_REQUIRE_ALL=1) a
# missing mingw-w64 fails; in CI every compiler warning is an error.
set -euo pipefail
cd "$(dirname "$0")/.."
folder=${1:-build}
options=("${@:2}")
require_all=${SCYTHE_REQUIRE_ALL:-}
if [ "${CI:-}" = true ]; then
  require_all=1
  options+=(-DSCYTHE_WERROR=ON)
else
  options+=(-DSCYTHE_WERROR=OFF)
fi

cmake -S . -B "$folder" -G Ninja -DCMAKE_BUILD_TYPE=Release "${options[@]}" >/dev/null
cmake --build "$folder"

for target in x64:x86_64 x86:i686; do
  name=${target%%:*} arch=${target##*:}
  if ! command -v "$arch-w64-mingw32-g++-win32" >/dev/null; then
    echo "skipped: the Windows $name build needs mingw-w64 ($arch-w64-mingw32-g++-win32)" >&2
    [ "$require_all" = 1 ] && exit 1
    continue
  fi
  cmake --no-warn-unused-cli -S . -B "$folder-windows-$name" -G Ninja -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_TOOLCHAIN_FILE="cmake/mingw-$arch.cmake" "${options[@]}" >/dev/null
  cmake --build "$folder-windows-$name"
done
