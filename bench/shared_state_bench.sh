#!/usr/bin/env bash
# The shipped policy with its lists on Redis against the same with local tables: postfix's
# smtp-source sends through two kernels (the shipped scripts, DNS on a loopback resolver, the
# greylist passing every client), one with [REDIS] server set to a loopback redis-server. The
# kernels take turns in every round; prints the best rate of each and their ratio.
#
# usage: bench/shared_state_bench.sh [build dir, default build/release]
# env: MESSAGES (default 2000), SESSIONS (20), SIZE (5120 bytes), ROUNDS (5)
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)
BUILD=${1:-build/release}
MESSAGES=${MESSAGES:-2000}
SESSIONS=${SESSIONS:-20}
SIZE=${SIZE:-5120}
FROM=from@spf-pass.test
TO=to@rcpt.test
source bench/bench_env.sh

start_sink 4000
REDIS_PORT=$(port)
redis-server --port "$REDIS_PORT" --bind 127.0.0.1 --save "" --appendonly no >/dev/null & PIDS+=($!)
start_dns
wait_port "$SINK_PORT"; wait_port "$REDIS_PORT"; wait_port "$DNS_PORT"

start_kernel() {  # $1 = name, $2 = extra ini text; sets KERNEL_PORT
    local app="$WORK/$1"
    cp -r dist "$app"
    KERNEL_PORT=$(port)
    printf '[WEBGUI]\r\nport=0\r\n[METRICS]\r\nlisten=\r\n[CONFIG]\r\nloglevel=0\r\nlisten_ip=127.0.0.1\r\nlisten_port=%s\r\nn_max_listen=100\r\nsmtp_server1=127.0.0.1\r\nsmtp_port1=%s\r\n[DNS]\r\nnameserver_0=127.0.0.1:%s\r\n[DNSBL]\r\nnameserver_0=bl1.test|12\r\n[CS_SCRIPT]\r\nenable=1\r\n[FIREWALL]\r\nmax_session_ip=1000\r\n[GREYLIST]\r\ngrey_embargo_type=1\r\ngrey_embargo_time=0\r\n%s' \
        "$KERNEL_PORT" "$SINK_PORT" "$DNS_PORT" "$2" > "$app/morvane.ini"
    "$BUILD/src/service/morvane" --appdir "$app" > "$app/out.txt" 2>&1 & PIDS+=($!)
    wait_port "$KERNEL_PORT"
}
start_kernel local ""
LOCAL=$KERNEL_PORT
start_kernel redis "$(printf '[REDIS]\r\nserver=127.0.0.1:%s\r\nprefix=bench:\r\n' "$REDIS_PORT")"
SHARED=$KERNEL_PORT

# The one triple of the run is greylisted once; after the warm-up it passes, checked each time.
for p in "$LOCAL" "$SHARED"; do
    swaks --server 127.0.0.1 --port "$p" --from from@spf-pass.test --to to@rcpt.test >/dev/null 2>&1 || true
done
sleep 1.2
best_local=0; best_shared=0
for _ in $(seq "${ROUNDS:-5}"); do
    r=$(rate "$LOCAL"); best_local=$(awk -v b="$best_local" -v r="$r" 'BEGIN { print (r > b ? r : b) }')
    r=$(rate "$SHARED"); best_shared=$(awk -v b="$best_shared" -v r="$r" 'BEGIN { print (r > b ? r : b) }')
done
echo "== the shipped policy: $MESSAGES messages of $SIZE bytes, $SESSIONS sessions (messages/s, best of ${ROUNDS:-5})"
printf '  local tables        %8.0f\n' "$best_local"
printf '  state on Redis      %8.0f   ratio to local %.2f\n' "$best_shared" \
    "$(awk -v a="$best_shared" -v b="$best_local" 'BEGIN{print a/b}')"
commands=$(redis-cli -p "$REDIS_PORT" info commandstats | grep -c '^cmdstat' || true)
echo "  Redis saw $commands kinds of command; $(redis-cli -p "$REDIS_PORT" dbsize) keys"
