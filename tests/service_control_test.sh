#!/usr/bin/env bash
# The console switches of the real executable against a fake systemctl: -i installs and
# starts, -k prints its notice and stops, -u removes the unit and deletes the service log.
set -euo pipefail
MORVANE=${1:?usage: service_control_test.sh path/to/morvane}
DIR=$(mktemp -d)
trap 'rm -rf "$DIR"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

cp "$MORVANE" "$DIR/morvane"   # without --appdir, the executable's directory is the application's
mkdir -p "$DIR/units" "$DIR/app"
cat > "$DIR/systemctl" <<SH
#!/bin/sh
echo "\$*" >> "$DIR/calls"
exit 0
SH
chmod +x "$DIR/systemctl"
export MORVANE_SYSTEMCTL="$DIR/systemctl" MORVANE_UNIT_DIR="$DIR/units"

"$DIR/morvane" -i --appdir "$DIR/app"
grep -q "^ExecStart=\"$DIR/morvane\" --appdir \"$DIR/app\"$" "$DIR/units/morvane.service" || fail "unit ExecStart"
grep -q "Service Morvane Antispam Kernel installed" "$DIR/app/morvane.log" || fail "install not logged"
grep -q "Run Service OK !!!" "$DIR/app/morvane.log" || fail "start not logged"
[ ! -e "$DIR/morvane.log" ] || fail "service log written beside the executable"

out=$("$DIR/morvane" -K)
[ "$out" = "Control of the service is stopping ..." ] || fail "-K printed '$out'"
grep -q "^stop morvane.service$" "$DIR/calls" || fail "stop not sent"

"$DIR/morvane" -U --appdir "$DIR/app"
[ ! -e "$DIR/units/morvane.service" ] || fail "unit not removed"
[ ! -e "$DIR/app/morvane.log" ] || fail "service log not deleted"

# A removal of a service that is not installed still deletes the service log.
"$DIR/morvane" -s
grep -q "OpenService failed, error code = 2" "$DIR/morvane.log" || fail "start of a missing unit not logged"
"$DIR/morvane" -u
[ ! -e "$DIR/morvane.log" ] || fail "service log not deleted after a failed removal"
echo "service control: ok"
