#!/usr/bin/env bash
# Builds the native program (build/scythe) and, where mingw-w64 is
# installed, the Windows programs (build-windows-x64/scythe.exe,
# build-windows-x86/scythe.exe).
set -euo pipefail
cd "$(dirname "$0")/.."

cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build

for target in x64:x86_64 x86:i686; do
  name=${target%%:*} arch=${target##*:}
  if ! command -v "$arch-w64-mingw32-g++-win32" >/dev/null; then
    echo "skipped: the Windows $name build needs mingw-w64 ($arch-w64-mingw32-g++-win32)"
    [ "${CI:-}" = true ] && exit 1
    continue
  fi
  cmake --no-warn-unused-cli -S . -B "build-windows-$name" -G Ninja -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_TOOLCHAIN_FILE="cmake/mingw-$arch.cmake" >/dev/null
  cmake --build "build-windows-$name"
done
