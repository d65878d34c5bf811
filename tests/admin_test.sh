#!/usr/bin/env bash
# Remote administration end to end: a kernel with the shipped admin scripts, morvanectl for each
# of them, plug-ins installed twice and uninstalled, a hostile plug-in kept inside its folder.
set -euo pipefail
MORVANE=${1:?usage: admin_test.sh path/to/morvane path/to/morvanectl}
CTL=${2:?usage: admin_test.sh path/to/morvane path/to/morvanectl}
ROOT=$(cd "$(dirname "$0")/.." && pwd)
APP=$(mktemp -d)
PID=
cleanup() { [ -n "$PID" ] && kill -9 "$PID" 2>/dev/null; rm -rf "$APP"; }
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
wait_for() {
    local limit=$(( $1 * 10 )); shift
    for ((i = 0; i < limit; i++)); do "$@" && return 0; sleep 0.1; done
    return 1
}

cp -r "$ROOT/dist/." "$APP/"
PORT=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
printf '[WEBGUI]\r\nport=0\r\n[CONFIG]\r\nlisten_ip=127.0.0.1\r\nlisten_port=0\r\nloglevel=3\r\n[DNS]\r\nnameserver_0=127.0.0.1:9\r\n[READMIN]\r\nport=%s\r\nkey=Test-Key-1\r\n' "$PORT" > "$APP/morvane.ini"
"$MORVANE" --appdir "$APP" & PID=$!
wait_for 10 bash -c "(exec 3<>/dev/tcp/127.0.0.1/$PORT) 2>/dev/null" || fail "the admin port does not listen"

ctl() { "$CTL" --appdir "$APP" "$@"; }
ctl status > "$APP/out" || fail "status"
grep -q "^version	3.0.1$" "$APP/out" || fail "status: $(cat "$APP/out")"
grep -q "^cron_jobs	5$" "$APP/out" || fail "status lacks the cron jobs"
[ "$(ctl config-get READMIN port)" = "$PORT" ] || fail "config-get"
ctl config-set FIREWALL cmd_noop 9 > /dev/null || fail "config-set"
wait_for 10 grep -q 'cmd_noop=9' "$APP/morvane.ini" || fail "config-set did not save"
[ "$(ctl config-get FIREWALL cmd_noop)" = "9" ] || fail "config-get after set"
ctl domain-add example.test > /dev/null || fail "domain-add"
ctl domains | grep -q "^example.test	" || fail "domains: $(ctl domains)"
if ctl domain-add example.test 2> "$APP/err"; then fail "a domain added twice"; fi
grep -q "answered error 501" "$APP/err" || fail "501 not reported"
ctl domain-del example.test > /dev/null || fail "domain-del"
[ -z "$(ctl domains)" ] || fail "domain not removed"
ctl cron-add "0 4 * * * tables_report.cs" extra > /dev/null || fail "cron-add"
grep -q '^0 4 \* \* \* tables_report.cs=extra$' "$APP/scripts/cron/morvane.crontab" || fail "crontab not rewritten"
ctl cron | grep -q "^0 4 \* \* \* tables_report.cs	extra$" || fail "cron list"
ctl cron-del extra > /dev/null || fail "cron-del"
! grep -q extra "$APP/scripts/cron/morvane.crontab" || fail "crontab still has the job"
ctl rule-add cheap 'cheap pills' 1 2.5 1 > /dev/null || fail "rule-add"
ctl rules | grep -q "^cheap	2.500	1	1	cheap pills	yes	0	0$" || fail "rules: $(ctl rules)"
ctl rule-del cheap > /dev/null || fail "rule-del"
[ -z "$(ctl rules)" ] || fail "rule not deleted"
# Refusals carry their reason; morvanectl prints it and exits 1. Nothing is stored.
refused() {  # refused "REASON TEXT" COMMAND CELLS...
    local want=$1; shift
    if ctl "$@" > /dev/null 2> "$APP/err"; then fail "$* was accepted"; fi
    grep -q "answered error 501: .*$want" "$APP/err" || fail "$*: $(cat "$APP/err")"
}
refused "not a whole number" config-set SPF spf_max_recursion abc
refused "not a port" config-set CONFIG listen_port 99999
refused "a key may not hold" config-set WEBGUI "$(printf 'x\r\n[READMIN]\r\nenable')" 1
! grep -q 'spf_max_recursion=abc' "$APP/morvane.ini" || fail "a bad value was saved"
[ "$(grep -c '^\[READMIN\]' "$APP/morvane.ini")" = 1 ] || fail "a key wrote a section"
touch "$APP/victim.cfg"
refused "not a domain name" domain-add ../victim
refused "not a domain name" domain-del ../victim
refused "not a domain name" domain-del ../../../../tmp/x
[ -e "$APP/victim.cfg" ] || fail "domain-del removed a file outside db/"
refused "is not listed" domain-del nowhere.test
refused "five time fields" cron-add "bad schedule" bad
refused "minute field" cron-add "99 25 * * * tables_report.cs" bad
refused "plain file name" cron-add "0 4 * * * ../x.cs" bad
! grep -q '=bad$' "$APP/scripts/cron/morvane.crontab" || fail "a bad schedule was stored"
refused "does not compile" rule-add broken '(unclosed' 1 2.5 0
refused "none of 1" rule-add typeless 'x' body 2.5 0
[ -z "$(ctl rules)" ] || fail "a refused rule was stored"
ctl greylist 10 > /dev/null || fail "greylist"
ctl alwl 10 > /dev/null || fail "alwl"
ctl stats > /dev/null || fail "stats"
if ctl stats 1999-01-01 2> /dev/null; then fail "stats of a day without a file"; fi

# Plug-ins: one that installs (twice: one registry entry) and uninstalls; one whose script name
# tries to leave its folder; one whose install fails half-way and is undone.
P="$APP/scripts/admin/plugin"
mkdir -p "$P/good" "$P/evil" "$P/broken"
cat > "$P/good/info.xml" <<'XML'
<?xml version="1.0" encoding="UTF-8" ?>
<plugins><plugin><uniqueID>good.one</uniqueID><install_unistall_script>setup.cs</install_unistall_script></plugin></plugins>
XML
cat > "$P/good/setup.cs" <<'CS'
#import(class, CS_File)
int install(string dir, string id) { CS_File f = new CS_File(); f.Open(dir + "/installed", 4097); f.Write(id, 8); f.Close(); return 0; }
int uninstall(string dir, string id) { CS_FileSystem fs = new CS_FileSystem(); fs.UnLink(dir + "/installed"); return 0; }
#import(class, CS_FileSystem)
CS
cat > "$P/evil/info.xml" <<'XML'
<?xml version="1.0" encoding="UTF-8" ?>
<plugins><plugin><uniqueID>evil</uniqueID><install_unistall_script>../../cron/helo_refresh.cs</install_unistall_script></plugin></plugins>
XML
cat > "$P/broken/info.xml" <<'XML'
<?xml version="1.0" encoding="UTF-8" ?>
<plugins><plugin><uniqueID>broken</uniqueID><install_unistall_script>setup.cs</install_unistall_script></plugin></plugins>
XML
cat > "$P/broken/setup.cs" <<'CS'
#import(class, CS_File)
#import(class, CS_FileSystem)
int install(string dir, string id) { CS_File f = new CS_File(); f.Open(dir + "/half", 4097); f.Close(); return 3; }
int uninstall(string dir, string id) { CS_FileSystem fs = new CS_FileSystem(); fs.UnLink(dir + "/half"); return 0; }
CS
ctl plugins install good good.one > /dev/null || fail "plug-in install"
ctl plugins install ../good good.one > "$APP/out" || fail "plug-in install again (with ../)"
[ "$(grep -c '^good.one	good$' "$APP/out")" = 1 ] || fail "registry: $(cat "$APP/out")"
[ -s "$P/good/installed" ] || fail "the install function did not run"
if ctl plugins install evil evil 2>/dev/null; then fail "a script outside the plug-in was run"; fi
if ctl plugins install broken broken 2>/dev/null; then fail "a failed install reported success"; fi
[ ! -e "$P/broken/half" ] || fail "a failed install left its files"
ctl plugins | grep -q broken && fail "a failed install was registered"
ctl plugins uninstall good good.one > "$APP/out" || fail "plug-in uninstall"
[ ! -s "$APP/out" ] && [ ! -e "$P/good/installed" ] || fail "uninstall: $(cat "$APP/out")"

# A wrong key gets no answer.
printf 'wrong' > "$APP/wrong.key"
if "$CTL" --port "$PORT" --key-file "$APP/wrong.key" status 2> "$APP/err"; then fail "a wrong key was answered"; fi
wait_for 10 grep -q 'Ivalid MD5 cripty KEY' "$APP/morvane_log.xml" || fail "wrong key not logged"
kill -TERM "$PID"
wait "$PID" || fail "kernel exited with $?"
PID=
echo "admin: ok"
