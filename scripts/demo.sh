#!/usr/bin/env bash
# Runs the kernel on a demo application directory (./demo) with loopback ports, for a few
# seconds, then stops it and shows its log. Set DEMO_SECONDS to run longer.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
bash scripts/build.sh release
root=$(pwd)
app="$root/demo"
mkdir -p "$app"
cp -r dist/. "$app"/
if [ ! -f "$app/morvane.ini" ]; then
    # Loopback only: the proxy on 2525, the back-end MTA expected on 2526.
    printf '[CONFIG]\r\nloglevel=4\r\nlisten_ip=127.0.0.1\r\nlisten_port=2525\r\nsmtp_server1=127.0.0.1\r\nsmtp_port1=2526\r\n' \
        > "$app/morvane.ini"
fi
echo "== starting morvane --appdir $app for ${DEMO_SECONDS:-5}s"
"$root/build/release/src/service/morvane" --appdir "$app" &
pid=$!
trap 'kill -TERM $pid 2>/dev/null || true' EXIT
sleep 1
kill -HUP "$pid"      # what an operator does after editing morvane.ini
sleep "${DEMO_SECONDS:-5}"
kill -TERM "$pid"
wait "$pid" || true
trap - EXIT
echo "== morvane.ini (first lines)"
head -n 12 "$app/morvane.ini"
echo "== morvane_log.xml (well-formed: $(xmllint --noout "$app/morvane_log.xml" && echo yes))"
xmllint --xpath '//LogItem' "$app/morvane_log.xml" | sed -n 's:.*<Time>\(.*\)</Time>.*:\1:p;s:.*<Entry>\(.*\)</Entry>.*:    \1:p' | paste - - | tail -n 20
echo "== open $app/morvane_log.xml in a browser to read it through Log.xsl"
