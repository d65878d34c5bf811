#!/usr/bin/env bash
# The kernel's life from the outside: a first start on an empty application directory writes
# a complete morvane.ini, SIGHUP re-reads it, SIGTERM shuts down in order, and the XML log is a
# well-formed document that ends with the shutdown items.
set -euo pipefail
MORVANE=${1:?usage: kernel_lifecycle_test.sh path/to/morvane}
APP=$(mktemp -d)
PID=
cleanup() { [ -n "$PID" ] && kill -9 "$PID" 2>/dev/null; rm -rf "$APP"; }
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

wait_for() {  # wait_for SECONDS COMMAND...
    local limit=$(( $1 * 10 )); shift
    for ((i = 0; i < limit; i++)); do "$@" && return 0; sleep 0.1; done
    return 1
}

start() { "$MORVANE" --appdir "$APP" & PID=$!; }
stop() {
    kill -TERM "$PID"
    wait_for 30 bash -c "! kill -0 $PID 2>/dev/null" || fail "kernel did not stop on SIGTERM"
    wait "$PID" || fail "kernel exited with $?"
    PID=
}
ini_has() { grep -q -F -x -- "$1"$'\r' "$APP/morvane.ini"; }

# 1. First start: a complete configuration file. The proxy listens on loopback only: a test
# never opens a port to the network.
printf '[WEBGUI]\r\nport=0\r\n[CONFIG]\r\nlisten_ip=127.0.0.1\r\nlisten_port=0\r\n' > "$APP/morvane.ini"
start
wait_for 10 grep -q 'krnversion=3.0.1' "$APP/morvane.ini" || fail "no complete morvane.ini after start"
for line in "krnversion=3.0.1" "cs_0=1|core.cs" "nameserver_0=127.0.0.1" "listen_port=0" "listen_ip=127.0.0.1" "n_max_listen=20" \
            "smtp_port1=225" "superuser=root" "x_subject=***SPAM***" "rfc451=451 4.7.1 GREY LIST try again later"; do
    ini_has "$line" || fail "morvane.ini lacks $line"
done
weights=$(sed -n '/^\[DNSBL\]/,/^\[[^D]/p' "$APP/morvane.ini" | grep '^nameserver_[0-9]=' | sort | cut -d'|' -f2 | tr -d '\r' | tr '\n' ' ')
[ "$weights" = "1.450 1.450 4.850 4.500 " ] || fail "DNSBL weights are '$weights'"
grep -q '^key=[0-9a-f]\{32\}'$'\r''$' "$APP/morvane.ini" || fail "no generated admin key"
stop
xmllint --noout "$APP/morvane_log.xml" || fail "log is not well-formed after the first run"

# 2. With loglevel 1 the reload and shutdown items appear, in order, at the end.
sed -i 's/^loglevel=0/loglevel=1/' "$APP/morvane.ini"
key_before=$(grep '^key=' "$APP/morvane.ini")
# Saves cut short by a crash leave temporaries (no process 4194305 can exist): removed at start.
printf 'DBK2.0\x05\x00\x00\x00' > "$APP/db/greylists.db.tmp4194305_0"
printf 'x' > "$APP/morvane.ini.tmp4194305_1"
start
wait_for 10 grep -q 'Set Log Level to: 1' "$APP/morvane_log.xml" || fail "level 1 not applied"
wait_for 10 grep -q 'Removed the temporary file of an unfinished save: .*/db/greylists.db.tmp4194305_0' \
    "$APP/morvane_log.xml" || fail "removal not logged"
[ ! -e "$APP/db/greylists.db.tmp4194305_0" ] && [ ! -e "$APP/morvane.ini.tmp4194305_1" ] || fail "stale temporaries kept"
kill -HUP "$PID"
wait_for 10 grep -q 'Configuration read again from morvane.ini' "$APP/morvane_log.xml" || fail "SIGHUP not seen"
# An edit the operator makes while the kernel runs survives its stop.
sed -i 's/^cmd_noop=3/cmd_noop=7/' "$APP/morvane.ini"
stop
ini_has "cmd_noop=7" || fail "the operator's edit was overwritten at stop"
xmllint --noout "$APP/morvane_log.xml" || fail "log is not well-formed after the second run"
entries=$(xmllint --xpath '//LogItem/Entry/text()' "$APP/morvane_log.xml" | tail -n 2 | tr '\n' '|')
[ "$entries" = "EXIT THREAD|Log File closed|" ] || fail "log ends with '$entries'"
[ "$(grep '^key=' "$APP/morvane.ini")" = "$key_before" ] || fail "admin key changed across restarts"
[ "$(xmllint --xpath 'count(//AppName)' "$APP/morvane_log.xml")" = "1" ] || fail "log got a second header"

# 3. Files the kernel writes are not readable by every local user.
[ "$(stat -c %a "$APP/morvane.ini")" = 600 ] || fail "morvane.ini is $(stat -c %a "$APP/morvane.ini")"
for f in "$APP"/db/*.db "$APP/morvane_log.xml"; do
    [ $(( 0$(stat -c %a "$f") & 07 )) = 0 ] || fail "$f is $(stat -c %a "$f")"
done

# 4. A broken configuration: --check-config lists every problem with its line; the kernel
# refuses to start with it (status 1, the reason on standard error and in the log), and a
# reload keeps the settings in use.
good=$(cat "$APP/morvane.ini")
"$MORVANE" --check-config --appdir "$APP" > "$APP/check" || fail "a good file fails the check: $(cat "$APP/check")"
grep -q ' 0 error(s)' "$APP/check" || fail "check: $(cat "$APP/check")"
printf '%s\r\nthisisagarbageline\r\n[SPF]\r\nspf_max_recursion=abc\r\n[READMIN\r\nport=44\r\n' "$good" > "$APP/morvane.ini"
before=$(cat "$APP/morvane.ini")
if "$MORVANE" --check-config --appdir "$APP" > "$APP/check"; then fail "check passed a broken file"; fi
grep -q 'morvane.ini:[0-9]*: error: "thisisagarbageline" is not KEY=VALUE' "$APP/check" || fail "$(cat "$APP/check")"
grep -q 'error: spf_max_recursion: "abc" is not a whole number' "$APP/check" || fail "$(cat "$APP/check")"
grep -q 'error: "\[READMIN" is not a section header' "$APP/check" || fail "$(cat "$APP/check")"
if "$MORVANE" --appdir "$APP" 2> "$APP/err"; then fail "the kernel ran on a broken file"; fi
grep -q 'the configuration has errors' "$APP/err" || fail "no reason on stderr: $(cat "$APP/err")"
grep -q 'spf_max_recursion' "$APP/err" || fail "the error's line not on stderr"
[ "$(cat "$APP/morvane.ini")" = "$before" ] || fail "the kernel rewrote a file it refused"
for bad in 'listen_port=abc' 'listen_port=99999' 'loglevel=banana' 'listen_ip=192.0.2.99'; do
    # The first of two equal keys counts: the bad one comes first.
    printf '[WEBGUI]\r\nport=0\r\n[CONFIG]\r\n%s\r\nlisten_ip=127.0.0.1\r\nlisten_port=0\r\n' "$bad" > "$APP/morvane.ini"
    if timeout 20 "$MORVANE" --appdir "$APP" 2> "$APP/err"; then fail "the kernel ran with $bad"; fi
    [ -s "$APP/err" ] || fail "nothing said for $bad"
done
grep -q 'cannot listen for SMTP on 192.0.2.99' "$APP/err" || fail "bind failure: $(cat "$APP/err")"
busy=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
python3 -c 'import socket,sys,time; s=socket.socket(); s.bind(("127.0.0.1", int(sys.argv[1]))); s.listen(); time.sleep(30)' "$busy" &
HOLDER=$!
wait_for 10 bash -c "(exec 3<>/dev/tcp/127.0.0.1/$busy) 2>/dev/null" || fail "no holder"
printf '[WEBGUI]\r\nport=%s\r\n[CONFIG]\r\nlisten_ip=127.0.0.1\r\nlisten_port=0\r\n' "$busy" > "$APP/morvane.ini"
if timeout 20 "$MORVANE" --appdir "$APP" 2> "$APP/err"; then fail "the kernel ran without its web port"; fi
grep -q "cannot listen for the web GUI on 127.0.0.1 ::1 port $busy: Address already in use" "$APP/err" || fail "$(cat "$APP/err")"
kill "$HOLDER" 2>/dev/null || true
printf '%s\r\n' "$good" > "$APP/morvane.ini"
runs=$(grep -o 'Start MORVANE PROXY' "$APP/morvane_log.xml" | wc -l)
start
wait_for 10 bash -c "[ \$(grep -o 'Start MORVANE PROXY' '$APP/morvane_log.xml' | wc -l) -gt $runs ]" || fail "no start"
printf '%s\r\n[CONFIG]\r\nloglevel=banana\r\n' "$good" > "$APP/morvane.ini"
kill -HUP "$PID"
wait_for 10 grep -q 'morvane.ini has errors: not reloaded' "$APP/morvane_log.xml" || fail "a broken reload not logged"
kill -0 "$PID" || fail "the kernel died on a broken reload"
stop

# 5. Bad arguments are refused with a usage line.
if "$MORVANE" --appdri "$APP" 2>/dev/null; then fail "unknown option accepted"; fi
echo "kernel lifecycle: ok"
