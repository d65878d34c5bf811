#!/usr/bin/env bash
# Installs what is missing, builds the release flavour and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
bash scripts/build.sh release
ctest --preset release
