#!/usr/bin/env bash
# The script engine against Lua 5.4 on the same programs (bench/scripts/*.cs and *.lua).
# Prints each program's best time of RUNS runs in both, their ratio, and the geometric mean.
#   bench/script_vs_lua.sh [BUILD_DIR] [RUNS]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=${1:-$here/../build/release}
runs=${2:-5}
runner="$build/bench/morvane_script_run"
command -v lua5.4 >/dev/null || { echo "needs lua5.4 (apt-get install lua5.4)" >&2; exit 1; }
printf '%-12s %12s %12s %8s\n' program morvane_s lua_s ratio
logsum=0
n=0
for cs in "$here"/scripts/*.cs; do
    name=$(basename "$cs" .cs)
    read -r ours ours_t < <("$runner" "$cs" "$runs")
    read -r theirs lua_t < <(lua5.4 -e "
        local best, r = math.huge
        for i = 1, $runs do
            local t = os.clock(); r = dofile('$here/scripts/$name.lua'); best = math.min(best, os.clock() - t)
        end
        print(math.floor(r), string.format('%.6f', best))")
    [ "$ours" = "$theirs" ] || echo "  ($name: results differ: $ours vs $theirs)"
    ratio=$(awk -v a="$ours_t" -v b="$lua_t" 'BEGIN { printf "%.2f", a / b }')
    printf '%-12s %12s %12s %8s\n' "$name" "$ours_t" "$lua_t" "$ratio"
    logsum=$(awk -v s="$logsum" -v r="$ratio" 'BEGIN { printf "%.6f", s + log(r) }')
    n=$((n + 1))
done
awk -v s="$logsum" -v n="$n" 'BEGIN { printf "geometric mean of the ratios: %.2f\n", exp(s / n) }'
