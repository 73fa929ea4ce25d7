#!/usr/bin/env bash
# Starts or stops the one Wine server the scenario tests under Wine share,
# for the Wine prefix they run in (WINEPREFIX, as the harness takes it).
# Kept alive from the first test to the last, no start of Wine can meet a
# server that is shutting down, which can make a start fail silently.
#
#   wine_server.sh <wineserver> start|stop
set -euo pipefail
server=$1 action=$2
# Wine keeps its prefix under HOME; the harness gives it one where there is none.
if [ -z "${WINEPREFIX:-}" ]; then
  if [ -n "${HOME:-}" ]; then export WINEPREFIX=$HOME/.wine; else export WINEPREFIX=/tmp/scythe-wine-prefix; fi
fi
case $action in
  start)
    mkdir -p "$WINEPREFIX"  # the server runs in it; Wine's first start fills it
    # A server left from an earlier run may be one about to shut down.
    "$server" -k 2>/dev/null || true
    "$server" -w
    # The server outlives this script: it must not hold the test's output open.
    errors=$(mktemp)
    "$server" -p </dev/null >/dev/null 2>"$errors" || { cat "$errors" >&2; rm -f "$errors"; exit 1; }
    rm -f "$errors"
    echo "Wine server kept running for $WINEPREFIX" ;;
  stop)
    "$server" -k 2>/dev/null || true  # also ends what a failed test left running
    "$server" -w
    echo "Wine server for $WINEPREFIX stopped" ;;
  *)
    echo "usage: $0 <wineserver> start|stop" >&2
    exit 2 ;;
esac
