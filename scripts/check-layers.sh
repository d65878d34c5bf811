#!/usr/bin/env bash
# Fails when a library's code includes a header of a library above it. Tests, fuzz targets and
# the tools may include what they drive; the library code itself keeps to the order below.
set -euo pipefail
cd "$(dirname "$0")/.."
declare -A allowed=(
    [common]="common"
    [platform]="common platform"
    [log]="common platform log"
    [store]="common platform store"
    [config]="common platform log store config"
    [script]="common platform log script"
    [classes]="common platform log store script classes"
    [cron]="common platform log store config script classes checks mail core cron"
    [admin]="common platform log store config script classes checks mail core cron admin"
    [web]="common platform log store config script classes checks mail core cron admin web"
    [checks]="common platform log store script classes mail checks"
    [mail]="common platform log script mail"
    [core]="common platform log store config script classes checks mail core"
    [service]="common platform log store config script classes checks mail core cron admin web service"
)
status=0
for lib in "${!allowed[@]}"; do
    [ -d "src/$lib" ] || continue
    for f in src/"$lib"/*.h src/"$lib"/*.cpp; do
        [ -e "$f" ] || continue
        case "$f" in *_test.cpp|*_fuzz.cpp|*/Test*.h|*/Fake*.h|*/SessionProbe.h) continue ;; esac
        while IFS= read -r dep; do
            if [[ " ${allowed[$lib]} " != *" $dep "* ]]; then
                echo "check-layers: $f includes $dep/, which is above $lib/" >&2
                status=1
            fi
        done < <(sed -n 's/^#include "\([a-z]*\)\/.*/\1/p' "$f" | sort -u)
    done
done
exit $status
