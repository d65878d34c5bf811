#!/usr/bin/env bash
# The cron scheduler from the outside: a kernel loads the shipped crontab; while it runs it
# holds its application directory, so neither morvane-script --appdir nor a second kernel
# touches it; stopped, every shipped cron script runs by hand against the directory it wrote
# and logs its summary line.
set -euo pipefail
MORVANE=${1:?usage: cron_test.sh path/to/morvane path/to/morvane-script}
SCRIPT=${2:?usage: cron_test.sh path/to/morvane path/to/morvane-script}
ROOT=$(cd "$(dirname "$0")/.." && pwd)
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

cp -r "$ROOT/dist/." "$APP/"
# A name server that answers nothing: lookups fail fast, nothing leaves loopback.
printf '[WEBGUI]\r\nport=0\r\n[CONFIG]\r\nlisten_ip=127.0.0.1\r\nlisten_port=0\r\nloglevel=3\r\nmyippub=127.0.0.1\r\nmyname=mx.cron.test\r\n[DNS]\r\nnameserver_0=127.0.0.1:9\r\ntimeout_millisecond=200\r\n' > "$APP/morvane.ini"

"$MORVANE" --appdir "$APP" & PID=$!
wait_for 10 grep -qs 'Start CRON: 5 jobs from scripts/cron/morvane.crontab' "$APP/morvane_log.xml" ||
    fail "the kernel did not load the shipped crontab"

# The directory is the running kernel's.
if "$SCRIPT" --appdir "$APP" run "$APP/scripts/cron/tables_report.cs" 2> "$APP/err"; then
    fail "morvane-script ran on the directory of a running kernel"
fi
grep -q "a kernel runs on $APP (process $PID holds morvane.lock)" "$APP/err" || fail "refusal message: $(cat "$APP/err")"
if timeout 10 "$MORVANE" --appdir "$APP" 2> "$APP/err"; then fail "a second kernel started on the same directory"; fi
grep -q 'a kernel already runs on this directory' "$APP/err" || fail "second kernel message: $(cat "$APP/err")"

kill -TERM "$PID"
wait "$PID" || fail "kernel exited with $?"
PID=

# Every shipped script by hand, on the directory the kernel wrote.
run() {  # run SCRIPT EXPECTED-LOG-TEXT
    "$SCRIPT" --appdir "$APP" run "$APP/scripts/cron/$1" > "$APP/out" 2> "$APP/err" ||
        fail "$1 failed: $(cat "$APP/err")"
    [ "$(tail -n 1 "$APP/out")" = "0" ] || fail "$1 returned $(tail -n 1 "$APP/out")"
    grep -q -- "$2" "$APP/err" || fail "$1 did not log '$2': $(cat "$APP/err")"
}
run helo_refresh.cs 'HELO list refresh: [0-9]* names and addresses'
run tables_report.cs 'Tables: alwl=0 bayes_ham=0 bayes_spam=0 bayes_tokens=0 bayes_words=0 dns=[0-9]* dnsbl=0 domains=0'
run phishing_update.cs 'Phishing list update: off, no \[SETTING\] URL'
run daily_stats.cs 'Daily statistics: .*f1n_restart_service='
# A message quarantined as spam is learned once; the next run finds nothing new.
mkdir -p "$APP/quarantine/spam"
printf 'From: a@example.com\r\nSubject: cheap pills\r\n\r\nCheap pills online, discount pharmacy, order now.\r\n' \
    > "$APP/quarantine/spam/1.eml"
touch -d '-1 minute' "$APP/quarantine/spam/1.eml"
run bayes_relearn.cs 'Bayes re-learning: 1 spam and 0 ham learned from the quarantine; the filter knows 1 spam, 0 ham'
run bayes_relearn.cs 'Bayes re-learning: 0 spam and 0 ham learned'
[ -s "$APP/db/bayeswords.db" ] || fail "the learned words were not saved"
[ -s "$APP/db/bayestokens.db" ] || fail "the learned tokens were not saved"
# The HELO list the refresh built was saved with the tables.
run tables_report.cs 'helo=[1-9]'

# What a script changes reaches the files: a domain, a saved setting.
printf 'CS_CRON_SCRIPT k = new CS_CRON_SCRIPT($_this);\nint main() { k.InsertDomain("example.test"); k.SetConfig("CONFIG", "cmd_noop", "9"); k.SaveConfig(); return 0; }\n' \
    > "$APP/change.cs"
"$SCRIPT" --appdir "$APP" run "$APP/change.cs" > /dev/null || fail "change.cs failed"
grep -q 'cmd_noop=9' "$APP/morvane.ini" || fail "SaveConfig lost the script's setting"
printf 'CS_CRON_SCRIPT k = new CS_CRON_SCRIPT($_this);\n#import(class, CDB_Ram)\nint main() { CDB_Ram t = k.GetDBRamDomains(); return t.GetCount(); }\n' > "$APP/count.cs"
[ "$("$SCRIPT" --appdir "$APP" run "$APP/count.cs")" = "1" ] || fail "the domain was not saved"

# The shipped examples of the I/O and XML classes.
mkdir -p "$APP/logs" "$APP/scripts/admin/plugin/demo"
printf '<log/>' > "$APP/logs/log_2026-12-01_00-00-00.xml"
printf '<?xml version="1.0" ?>\n<plugins><plugin><uniqueID>demo.one</uniqueID></plugin></plugins>\n' \
    > "$APP/scripts/admin/plugin/demo/info.xml"
"$SCRIPT" --appdir "$APP" run "$APP/scripts/examples/files_report.cs" > "$APP/out" 2> "$APP/err" || fail "files_report.cs"
grep -q 'files_report: 1 log files, report of [0-9]* bytes' "$APP/err" || fail "files_report.cs: $(cat "$APP/err")"
grep -q 'log_2026-12-01_00-00-00.xml 6 bytes' "$APP/reports/logs.txt" || fail "files_report.cs wrote: $(cat "$APP/reports/logs.txt")"
"$SCRIPT" --appdir "$APP" run "$APP/scripts/examples/plugins_list.cs" > "$APP/out" 2> "$APP/err" || fail "plugins_list.cs"
grep -q '^demo: demo.one$' "$APP/out" || fail "plugins_list.cs printed: $(cat "$APP/out")"

if "$SCRIPT" --appdir "$APP/nowhere" run "$APP/count.cs" 2> "$APP/err"; then fail "a directory without morvane.ini accepted"; fi
grep -q 'not an application directory' "$APP/err" || fail "missing morvane.ini message"
echo "cron: ok"
