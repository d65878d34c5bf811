# Sourced by the relay benchmarks, from the checkout's top with ROOT set: postfix's smtp-source
# and smtp-sink (from Debian's postfix package, unpacked under build/bench-tools: no postfix
# daemon, no root) as SOURCE and SINK; a work directory WORK and the processes started, PIDS,
# both cleaned up at exit; `port` (a free loopback port), `wait_port PORT`, and `start_dns`,
# a loopback resolver with the relay tests' zones on DNS_PORT (the session looks up each
# client's PTR record, as in production); `rate PORT`, the messages per second of one
# smtp-source run of MESSAGES messages of SIZE bytes over SESSIONS sessions, from FROM to TO;
# `start_sink MAX`, smtp-sink on SINK_PORT (process SINK_PID) taking up to MAX connections at
# once.
TOOLS="$ROOT/build/bench-tools"
if [ ! -x "$TOOLS/usr/sbin/smtp-source" ]; then
    mkdir -p "$TOOLS/deb"
    (cd "$TOOLS/deb" && apt-get download postfix >/dev/null 2>&1)
    dpkg -x "$TOOLS"/deb/postfix_*.deb "$TOOLS"
fi
export LD_LIBRARY_PATH="$TOOLS/usr/lib/postfix"
SOURCE="$TOOLS/usr/sbin/smtp-source"
SINK="$TOOLS/usr/sbin/smtp-sink"

WORK=$(mktemp -d)
PIDS=()
cleanup() {
    for p in "${PIDS[@]}"; do kill "$p" 2>/dev/null || true; done
    wait 2>/dev/null || true
    rm -rf "$WORK"
}
trap cleanup EXIT
port() { /usr/bin/python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }
wait_port() { for _ in $(seq 100); do (exec 3<>/dev/tcp/127.0.0.1/"$1") 2>/dev/null && return 0; sleep 0.1; done; echo "no listener on $1" >&2; exit 1; }

start_sink() {
    SINK_PORT=$(port)
    "$SINK" -u nobody -m "$1" 127.0.0.1:"$SINK_PORT" 2000 & SINK_PID=$!
    PIDS+=($SINK_PID)
}

start_dns() {
    DNS_PORT=$(port)
    mkdir -p "$WORK/dns"
    sed -e "s|@PORT@|$DNS_PORT|g" -e "s|@DIR@|$WORK/dns|g" tests/relay/unbound.conf.in > "$WORK/dns/unbound.conf"
    "$(command -v unbound || echo /usr/sbin/unbound)" -d -c "$WORK/dns/unbound.conf" & PIDS+=($!)
}

FROM=${FROM:-from@bench.test}
TO=${TO:-to@bench.test}
rate() {
    local t0 t1
    t0=$(date +%s.%N)
    "$SOURCE" -s "$SESSIONS" -m "$MESSAGES" -l "$SIZE" -f "$FROM" -t "$TO" 127.0.0.1:"$1"
    t1=$(date +%s.%N)
    awk -v m="$MESSAGES" -v a="$t0" -v z="$t1" 'BEGIN { print m / (z - a) }'
}
