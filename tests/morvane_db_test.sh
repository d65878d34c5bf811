#!/usr/bin/env bash
# morvane-db on real files: edits save, dump lists the live records in file order with
# unprintable bytes escaped, and bad input gets a clear message and a non-zero status.
set -euo pipefail
DB=${1:?usage: morvane_db_test.sh path/to/morvane-db}
DIR=$(mktemp -d)
trap 'rm -rf "$DIR"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
T="$DIR/t.db"

printf 'DBK2.0\0\0\0\0' > "$T"
"$DB" put "$T" "b-key" "two"
"$DB" put "$T" "a-key" "one"
"$DB" put "$T" "A-key" "zero"
"$DB" put "$T" "a-key" "one again"      # an existing key is updated, not duplicated
[ "$("$DB" get "$T" a-key)" = "one again" ] || fail "get after update"
order=$("$DB" dump "$T" | cut -f2 | tr '\n' ' ')
[ "$order" = "A-key a-key b-key " ] || fail "dump order is '$order'"
"$DB" dump "$T" | awk -F'\t' 'NF != 3 || $1 !~ /^[0-9]+$/ { exit 1 }' || fail "dump line format"

"$DB" del "$T" b-key
[ "$("$DB" dump "$T" | wc -l)" = "2" ] || fail "del"
if "$DB" del "$T" b-key 2>/dev/null; then fail "del of a missing key succeeded"; fi
if "$DB" get "$T" nothing 2>/dev/null; then fail "get of a missing key succeeded"; fi
"$DB" stats "$T" | grep -qx 'records: 2' || fail "stats records"
"$DB" stats "$T" | grep -qx 'version: 2' || fail "stats version"
"$DB" stats "$T" | grep -qx "bytes: $(stat -c %s "$T")" || fail "stats bytes"

# A version-1 file with binary data and a backslash: escaped in the dump, rewritten as
# version 2 by compact.
/usr/bin/python3 - "$DIR/v1.db" <<'PY'
import struct, sys
def rec(ts, k, v): return struct.pack('<iii', ts, len(k), len(v)) + k + v
open(sys.argv[1], 'wb').write(b'DBK1.0' + struct.pack('<i', 2) + rec(7, b'k\\1', b'\x00\x01\tz') + rec(8, b'\xe9', b'v'))
PY
dump=$("$DB" dump "$DIR/v1.db")
[ "$dump" = $'7\tk\\\\1\t\\x00\\x01\\x09z\n8\t\\xe9\tv' ] || fail "escaped dump is: $dump"
"$DB" compact "$DIR/v1.db" | grep -q 'compacted: 2 records' || fail "compact"
[ "$(head -c 6 "$DIR/v1.db")" = "DBK2.0" ] || fail "compact did not write version 2"

# Errors.
out=$("$DB" dump "$DIR/missing.db" 2>&1) && fail "missing file accepted"
[[ "$out" == *"missing.db: no such file"* ]] || fail "missing file message: $out"
printf 'NOTDBK0000' > "$DIR/bad.db"
out=$("$DB" stats "$DIR/bad.db" 2>&1) && fail "bad magic accepted"
[[ "$out" == *"not a DBK table"* ]] || fail "bad magic message: $out"
[ "$(cat "$DIR/bad.db")" = "NOTDBK0000" ] || fail "a bad file was modified"
if "$DB" frobnicate "$T" 2>/dev/null; then fail "unknown command accepted"; fi
echo "morvane-db: ok"
