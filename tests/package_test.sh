#!/usr/bin/env bash
# The Debian package: built from the release build, its contents and dependencies, lintian, then
# (as root, on a machine where it is not installed) installed for real: the user and the
# application directory made, an operator's file kept over an upgrade, the kernel run as the
# user `morvane` relaying a message to a sink, and a purge that removes it all again.
set -euo pipefail
BUILD=${1:?usage: package_test.sh BUILD_DIR}
cd "$(dirname "$0")/.."
root_dir=$(pwd)
fail() { echo "FAIL: $*" >&2; exit 1; }
skip() {
    if [ -n "${MORVANE_NO_SKIP:-}" ]; then fail "$*"; fi
    echo "SKIP: $*"
    exit 77
}
for tool in dpkg-deb dpkg-shlibdeps fakeroot lintian; do
    command -v "$tool" >/dev/null || skip "$tool is not installed (scripts/install-deps.sh)"
done

deb=$(MORVANE_PACKAGE_BUILD="$BUILD" bash scripts/package.sh | tail -1)
[ -f "$deb" ] || fail "no package at '$deb'"
echo "built $deb"

contents=$(dpkg-deb --contents "$deb" | awk '{print $6}')
for f in ./usr/sbin/morvane ./usr/bin/morvanectl ./usr/bin/morvane-learn ./usr/bin/morvane-rules \
    ./usr/bin/morvane-db ./usr/bin/morvane-script ./usr/share/morvane/scripts/antispam/core.cs \
    ./usr/share/morvane/www/index.htmcc ./lib/systemd/system/morvane.service ./usr/share/doc/morvane/copyright; do
    grep -qx "$f" <<<"$contents" || fail "$f is not in the package"
done
grep -q '^./usr/bin/morvane$' <<<"$contents" && fail "the daemon belongs in /usr/sbin"
depends=$(dpkg-deb -f "$deb" Depends)
for lib in libc6 libssl3 libpcre2-8-0 adduser; do
    grep -q "$lib" <<<"$depends" || fail "Depends lacks $lib: $depends"
done
unit=$(dpkg-deb --fsys-tarfile "$deb" | tar -xO ./lib/systemd/system/morvane.service)
for line in "User=morvane" "LimitNOFILE=65536" "Restart=on-failure" "ExecReload=/bin/kill -HUP \$MAINPID" \
    "ConditionPathExists=/var/lib/morvane/morvane.ini" "ProtectSystem=strict"; do
    grep -qxF "$line" <<<"$unit" || fail "the unit lacks $line"
done

# lintian: errors fail the test; warnings are shown.
lint=$(lintian --tag-display-limit 0 "$deb" 2>&1 || true)
echo "$lint" | sed 's/^/lintian: /'
if grep -q '^E:' <<<"$lint"; then fail "lintian reports errors"; fi

if [ "$(id -u)" -ne 0 ]; then skip "installing the package needs root"; fi
if dpkg-query -W -f='${Status}' morvane 2>/dev/null | grep -q "ok installed"; then
    skip "a morvane package is installed on this machine: not touching it"
fi
getent passwd morvane >/dev/null && skip "a user morvane exists on this machine: not touching it"

work=$(mktemp -d)
kernel_pid=""
sink_pid=""
cleanup() {
    set +e
    if [ -n "$kernel_pid" ]; then kill "$kernel_pid"; wait "$kernel_pid"; fi 2>/dev/null
    if [ -n "$sink_pid" ]; then kill "$sink_pid"; wait "$sink_pid"; fi 2>/dev/null
    dpkg --purge morvane >/dev/null 2>&1
    rm -rf "$work"
}
trap cleanup EXIT

free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }
wait_port() {
    for _ in $(seq 100); do
        if (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; then return 0; fi
        sleep 0.1
    done
    return 1
}

dpkg -i "$deb" >"$work/install.log" 2>&1 || { cat "$work/install.log"; fail "dpkg -i failed"; }
getent passwd morvane >/dev/null || fail "no user morvane after the install"
[ -f /var/lib/morvane/scripts/antispam/core.cs ] || fail "the application directory was not made"
[ "$(stat -c %U /var/lib/morvane/scripts/antispam/core.cs)" = morvane ] || fail "the application directory is not morvane's"

# An upgrade (the same package again) keeps what the operator changed.
echo "// the operator's own line" >> /var/lib/morvane/scripts/antispam/core.cs
dpkg -i "$deb" >"$work/install.log" 2>&1 || { cat "$work/install.log"; fail "reinstalling failed"; }
grep -q "the operator's own line" /var/lib/morvane/scripts/antispam/core.cs || fail "the upgrade overwrote a script"

sink_port=$(free_port)
smtp_port=$(free_port)
admin_port=$(free_port)
metrics_port=$(free_port)
/usr/bin/python3 scripts/smtp_sink.py --port "$sink_port" --dir "$work/sink" --host 127.0.0.1 >/dev/null 2>&1 &
sink_pid=$!
wait_port "$sink_port" || fail "the sink did not start"
printf '[CONFIG]\r\nlisten_ip=127.0.0.1\r\nlisten_port=%s\r\nsmtp_server1=127.0.0.1\r\nsmtp_port1=%s\r\n[READMIN]\r\nport=%s\r\n[WEBGUI]\r\nport=0\r\n[METRICS]\r\nlisten=127.0.0.1:%s\r\n[GREYLIST]\r\ngreylist_enable=0\r\n' \
    "$smtp_port" "$sink_port" "$admin_port" "$metrics_port" > /var/lib/morvane/morvane.ini
chown morvane:morvane /var/lib/morvane/morvane.ini

setpriv --reuid=morvane --regid=morvane --init-groups /usr/sbin/morvane --appdir /var/lib/morvane >"$work/kernel.out" 2>&1 &
kernel_pid=$!
wait_port "$smtp_port" || { cat "$work/kernel.out"; fail "the installed kernel did not listen"; }
swaks --server 127.0.0.1 --port "$smtp_port" --to p@rcpt.test --from p@sender.test --body "packaged" \
    --timeout 20 >"$work/swaks.out" 2>&1 || { cat "$work/swaks.out"; fail "the message was not relayed"; }
for _ in $(seq 50); do [ -f "$work/sink/1.eml" ] && break; sleep 0.1; done
grep -q packaged "$work/sink/1.eml" 2>/dev/null || fail "the sink did not get the message"
# The session's figures are counted as it ends, a moment after the client's QUIT.
for _ in $(seq 50); do
    curl -sf "http://127.0.0.1:$metrics_port/metrics" >"$work/metrics" || true
    grep -Eq '^morvane_sessions_by_action_total\{action="(delivered|tagged)"\} 1$' "$work/metrics" && break
    sleep 0.1
done
grep -Eq '^morvane_sessions_by_action_total\{action="(delivered|tagged)"\} 1$' "$work/metrics" || { cat "$work/metrics"; fail "/metrics"; }
kill "$kernel_pid"
wait "$kernel_pid" || fail "the kernel did not stop cleanly"
kernel_pid=""
[ "$(stat -c %U /var/lib/morvane/db)" = morvane ] || fail "the kernel's tables are not morvane's"
[ -f /var/lib/morvane/morvane_log.xml ] || fail "no log in the application directory"
[ ! -e /usr/sbin/morvane.log ] || fail "the kernel wrote beside its executable"

dpkg --purge morvane >"$work/purge.log" 2>&1 || { cat "$work/purge.log"; fail "dpkg --purge failed"; }
[ ! -e /var/lib/morvane ] || fail "the purge left /var/lib/morvane"
getent passwd morvane >/dev/null && fail "the purge left the user morvane"
[ ! -e /usr/sbin/morvane ] || fail "the purge left the kernel"
echo "package: ok"
