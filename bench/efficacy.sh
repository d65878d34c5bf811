#!/usr/bin/env bash
# The Bayes filters' efficacy against bogofilter on public mail, and with --policy the shipped
# policy end to end, with --spamassassin SpamAssassin beside it (see bench/efficacy.py):
# installs the peers from Debian when they are missing, builds the tools, prints the table.
#   bench/efficacy.sh [--tgz FILE] [--later] [--policy] [--spamassassin]
set -euo pipefail
cd "$(dirname "$0")/.."
need=()
command -v bogofilter >/dev/null || need+=(bogofilter)
if [[ " $* " == *" --spamassassin "* ]]; then
    command -v spamd >/dev/null || need+=(spamassassin)
    command -v spamc >/dev/null || need+=(spamc)
fi
if [ ${#need[@]} -gt 0 ]; then
    SUDO=$([ "$(id -u)" = 0 ] || echo sudo)
    $SUDO apt-get update -qq && DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${need[@]}" >/dev/null
fi
[ -x build/release/src/tools/morvane-learn ] || bash scripts/build.sh release
exec /usr/bin/python3 bench/efficacy.py build/release "$@"
