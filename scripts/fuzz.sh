#!/usr/bin/env bash
# Builds the libFuzzer targets and runs each for a bounded time on a copy of its seed corpus.
#   scripts/fuzz.sh [SECONDS_PER_TARGET]   (default 30)
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-30}
bash scripts/build.sh fuzz
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
status=0
while IFS='=' read -r name corpus; do
    [ -n "$name" ] || continue
    bin=$(find build/fuzz -type f -name "$name" -perm -u+x | head -n 1)
    mkdir -p "$work/$name"
    cp -r "$corpus"/. "$work/$name"/ 2>/dev/null || true
    echo "== $name (${seconds}s)"
    if ! "$bin" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
            -artifact_prefix="$work/$name-" "$work/$name" > "$work/$name.log" 2>&1; then
        tail -n 40 "$work/$name.log"
        mkdir -p fuzz-artifacts && cp "$work/$name"-* fuzz-artifacts/ 2>/dev/null || true
        echo "FUZZ FAILURE: $name" >&2
        status=1
    else
        grep -E 'stat::number_of_executed_runs|Done' "$work/$name.log" | tail -n 2
    fi
done < build/fuzz/fuzzers.txt
exit $status
