#!/usr/bin/env bash
# The MySQL script classes against a real MariaDB server: a throwaway data directory, the
# server on a loopback port of its own with grants off, never the system's service.
set -euo pipefail
TESTS=${1:?usage: mysql_test.sh path/to/mysql_integration_tests path/to/morvane-script}
SCRIPT=${2:?usage: mysql_test.sh path/to/mysql_integration_tests path/to/morvane-script}
ROOT=$(cd "$(dirname "$0")/.." && pwd)
MARIADBD=$(command -v mariadbd || echo /usr/sbin/mariadbd)
INSTALL_DB=$(command -v mariadb-install-db || command -v mysql_install_db || true)
if [ ! -x "$MARIADBD" ] || [ -z "$INSTALL_DB" ]; then
    echo "SKIP: mariadb-server is not installed (bash scripts/install-deps.sh installs it)"
    # CI installs every dependency: there a skip is a missing install step, not a pass.
    [ -n "${MORVANE_NO_SKIP:-}" ] && { echo "FAIL: MORVANE_NO_SKIP is set" >&2; exit 1; }
    exit 77
fi
DIR=$(mktemp -d)
PID=
cleanup() {
    [ -n "$PID" ] && kill -TERM "$PID" 2>/dev/null && wait "$PID" 2>/dev/null
    rm -rf "$DIR"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; [ -f "$DIR/server.log" ] && tail -n 20 "$DIR/server.log" >&2; exit 1; }

PORT=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
"$INSTALL_DB" --no-defaults --datadir="$DIR/data" --user="$(id -un)" --auth-root-authentication-method=normal \
    --skip-test-db > "$DIR/install.log" 2>&1 || { cat "$DIR/install.log" >&2; fail "mariadb-install-db"; }
"$MARIADBD" --no-defaults --datadir="$DIR/data" --socket="$DIR/sock" --port="$PORT" --bind-address=127.0.0.1 \
    --skip-grant-tables --user="$(id -un)" --pid-file="$DIR/pid" --log-error="$DIR/server.log" & PID=$!
for _ in $(seq 300); do
    (exec 3<>/dev/tcp/127.0.0.1/"$PORT") 2>/dev/null && break
    kill -0 "$PID" 2>/dev/null || fail "the server stopped at start"
    sleep 0.1
done
MORVANE_TEST_MYSQL_PORT=$PORT "$TESTS"

# The shipped example exports the statistics through a connection kept in the object store.
APP="$DIR/app"
mkdir -p "$APP"
cp -r "$ROOT/dist/." "$APP/"
printf '[DNS]\r\nnameserver_0=127.0.0.1:9\r\n[MYSQL]\r\nhost=127.0.0.1\r\nuser=root\r\ndatabase=morvane_test\r\nport=%s\r\n' \
    "$PORT" > "$APP/morvane.ini"
"$SCRIPT" --appdir "$APP" run "$APP/scripts/examples/mysql_export.cs" > "$DIR/out" 2> "$DIR/err" ||
    fail "mysql_export.cs: $(cat "$DIR/err")"
grep -q 'mysql_export: the table holds [1-9][0-9]* counters' "$DIR/err" || fail "mysql_export.cs: $(cat "$DIR/err")"
echo "mysql: ok"
