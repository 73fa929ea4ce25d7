#!/usr/bin/env bash
# Builds everything and runs every test: unit tests, the POSIX platform
# tests, the scenario tests against build/scythe and against
# build-windows-x64/scythe.exe under Wine, and the release files. Each
# test is one ctest entry with a time limit; what is skipped here is
# listed at the end with its reason.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/build.sh
# In CI nothing may be skipped for want of Wine, mingw or root.
if [ "${CI:-}" = true ]; then export SCYTHE_REQUIRE_ALL=1; fi
status=0
ctest --test-dir build --output-on-failure || status=$?
# What was skipped, and why: GoogleTest writes the reason after its
# "Skipped" line, the package test after "skipped: ".
awk '/^[0-9]+\/[0-9]+ Test: / { test = $3 }
     /: Skipped$/ { getline; print "skipped: " test ": " $0 }
     /^skipped: / { print "skipped: " test ": " substr($0, 10) }' build/Testing/Temporary/LastTest.log
exit $status
