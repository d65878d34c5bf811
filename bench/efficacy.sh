#!/usr/bin/env bash
# The Bayes filters' efficacy against bogofilter on public mail (see bench/efficacy.py): installs
# bogofilter from Debian when it is missing, builds the tools, and prints the table.
#   bench/efficacy.sh [--tgz FILE] [--later] [--policy]
set -euo pipefail
cd "$(dirname "$0")/.."
if ! command -v bogofilter >/dev/null; then
    SUDO=$([ "$(id -u)" = 0 ] || echo sudo)
    $SUDO apt-get update -qq && DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq bogofilter >/dev/null
fi
[ -x build/release/src/tools/morvane-learn ] || bash scripts/build.sh release
exec /usr/bin/python3 bench/efficacy.py build/release "$@"
