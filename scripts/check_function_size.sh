#!/usr/bin/env bash
# Finds functions in src/ longer than 40 lines or nested deeper than 3
# (clang-tidy's readability-function-size), in both builds' sources: the
# native build's compile commands for all but the Windows platform, the
# 64-bit Windows build's for that (its headers are mingw-w64's).
#
#   scripts/check_function_size.sh <source folder> <native build> <Windows build>
#
# Exits 77 (skipped) where clang-tidy or a build's compile commands are
# missing, unless everything must run (SCYTHE_REQUIRE_ALL=1: then 1), and
# 1 where a function is too large.
set -euo pipefail
source_folder=$1 native=$2 windows=$3
skip() {
  echo "skipped: $1"
  [ "${SCYTHE_REQUIRE_ALL:-}" = 1 ] && exit 1
  exit 77
}
command -v clang-tidy >/dev/null || skip "needs clang-tidy (scripts/install-deps.sh installs it)"
command -v x86_64-w64-mingw32-g++-win32 >/dev/null || skip "needs x86_64-w64-mingw32-g++-win32"
for build in "$native" "$windows"; do
  [ -f "$build/compile_commands.json" ] || skip "$build has no compile commands (scripts/build.sh makes them)"
done
config='{CheckOptions: [{key: readability-function-size.LineThreshold, value: 40},
                        {key: readability-function-size.NestingThreshold, value: 3}]}'
check() {
  clang-tidy --quiet -p "$1" -header-filter='src/.*' -checks='-*,readability-function-size' -config="$config" \
    "${@:2}" 2>/dev/null | grep -E 'warning:|note:' || true
}
cd "$source_folder"
mingw_version=$(x86_64-w64-mingw32-g++-win32 -dumpversion)
mingw=(--extra-arg=--target=x86_64-w64-mingw32
       --extra-arg=-isystem/usr/lib/gcc/x86_64-w64-mingw32/$mingw_version/include/c++
       --extra-arg=-isystem/usr/lib/gcc/x86_64-w64-mingw32/$mingw_version/include/c++/x86_64-w64-mingw32
       --extra-arg=-isystem/usr/x86_64-w64-mingw32/include)
found=$( (for file in $(find src -name '*.cpp' -not -path 'src/platform/win32/*'); do check "$native" "$file"; done
          for file in src/platform/win32/*.cpp; do check "$windows" "${mingw[@]}" "$file"; done) | sort -u)
[ -z "$found" ] && { echo "every function within 40 lines and 3 levels"; exit 0; }
echo "$found"
exit 1
