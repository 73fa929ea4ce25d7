#!/usr/bin/env bash
# Builds everything and runs every test: unit tests, the POSIX platform
# tests, and the scenario tests against build/scythe and against
# build-windows-x64/scythe.exe under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/build.sh
# In CI nothing may be skipped for want of Wine or mingw.
if [ "${CI:-}" = true ]; then export SCYTHE_REQUIRE_ALL=1; fi
ctest --test-dir build --output-on-failure
