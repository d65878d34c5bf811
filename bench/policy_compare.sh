#!/usr/bin/env bash
# The shipped policy on two builds of the kernel: postfix's smtp-source sends through each (the
# shipped scripts, DNS on a loopback resolver, SPF, the greylist passing every client, the
# filter and the rules on every message) into postfix's smtp-sink. The kernels take turns in
# every round; prints the best rate of each and their ratio. For comparing a change against
# the build before it, e.g. a worktree of the previous commit built with scripts/build.sh.
#
# usage: bench/policy_compare.sh OTHER_BUILD [THIS_BUILD, default build/release]
# env: MESSAGES (default 2000), SESSIONS (20), SIZE (5120 bytes), ROUNDS (5)
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)
OTHER=$(cd "${1:?usage: bench/policy_compare.sh OTHER_BUILD [THIS_BUILD]}" && pwd)
BUILD=${2:-build/release}
MESSAGES=${MESSAGES:-2000}
SESSIONS=${SESSIONS:-20}
SIZE=${SIZE:-5120}
FROM=from@spf-pass.test
TO=to@rcpt.test
source bench/bench_env.sh

start_sink 4000
start_dns
wait_port "$SINK_PORT"; wait_port "$DNS_PORT"

start_kernel() {  # $1 = name, $2 = build directory; sets KERNEL_PORT
    local app="$WORK/$1"
    cp -r dist "$app"
    KERNEL_PORT=$(port)
    printf '[WEBGUI]\r\nport=0\r\n[METRICS]\r\nlisten=\r\n[CONFIG]\r\nloglevel=0\r\nlisten_ip=127.0.0.1\r\nlisten_port=%s\r\nn_max_listen=100\r\nsmtp_server1=127.0.0.1\r\nsmtp_port1=%s\r\n[DNS]\r\nnameserver_0=127.0.0.1:%s\r\n[DNSBL]\r\nnameserver_0=bl1.test|12\r\n[CS_SCRIPT]\r\nenable=1\r\n[FIREWALL]\r\nmax_session_ip=1000\r\n[GREYLIST]\r\ngrey_embargo_type=1\r\ngrey_embargo_time=0\r\n' \
        "$KERNEL_PORT" "$SINK_PORT" "$DNS_PORT" > "$app/morvane.ini"
    "$2/src/service/morvane" --appdir "$app" > "$app/out.txt" 2>&1 & PIDS+=($!)
    wait_port "$KERNEL_PORT"
}
start_kernel this "$BUILD"
THIS=$KERNEL_PORT
start_kernel other "$OTHER"
THAT=$KERNEL_PORT

# The one triple of the run is greylisted once; after the warm-up it passes, checked each time.
for p in "$THIS" "$THAT"; do
    swaks --server 127.0.0.1 --port "$p" --from "$FROM" --to "$TO" >/dev/null 2>&1 || true
done
sleep 1.2
best_this=0
best_that=0
for _ in $(seq "${ROUNDS:-5}"); do
    r=$(rate "$THIS"); best_this=$(awk -v b="$best_this" -v r="$r" 'BEGIN { print (r > b ? r : b) }')
    r=$(rate "$THAT"); best_that=$(awk -v b="$best_that" -v r="$r" 'BEGIN { print (r > b ? r : b) }')
done
echo "== shipped policy: $MESSAGES messages of $SIZE bytes, $SESSIONS sessions (messages/s, best of ${ROUNDS:-5})"
printf '  this build  (%s)  %8.0f\n' "$BUILD" "$best_this"
printf '  other build (%s)  %8.0f\n' "$OTHER" "$best_that"
printf '  ratio this/other  %.2f\n' "$(awk -v a="$best_this" -v b="$best_that" 'BEGIN { print a / b }')"
