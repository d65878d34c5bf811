#!/usr/bin/env bash
# Starts a real DNS server (unbound) on a loopback port with the test zones, runs the resolver,
# block-list and statistics integration tests against it, and stops it.
set -euo pipefail
TESTS=${1:?usage: dns_integration_test.sh path/to/dns_integration_tests}
HERE=$(cd "$(dirname "$0")" && pwd)
UNBOUND=$(command -v unbound || echo /usr/sbin/unbound)
[ -x "$UNBOUND" ] || { echo "unbound is not installed (scripts/install-deps.sh installs it)" >&2; exit 1; }
DIR=$(mktemp -d)
PID=
cleanup() { [ -n "$PID" ] && kill "$PID" 2>/dev/null && wait "$PID" 2>/dev/null; rm -rf "$DIR"; }
trap cleanup EXIT

for attempt in 1 2 3 4 5; do
    PORT=$(( 20000 + RANDOM % 20000 ))
    sed -e "s|@PORT@|$PORT|g" -e "s|@DIR@|$DIR|g" "$HERE/dns/unbound.conf.in" > "$DIR/unbound.conf"
    "$UNBOUND" -d -c "$DIR/unbound.conf" & PID=$!
    sleep 0.5
    kill -0 "$PID" 2>/dev/null && break
    PID=
done
[ -n "$PID" ] || { echo "unbound did not start"; cat "$DIR/unbound.log" 2>/dev/null; exit 1; }
MORVANE_TEST_DNS="127.0.0.1:$PORT" "$TESTS"
