#!/usr/bin/env bash
# Configures and builds one flavour of Morvane: release | debug-asan | fuzz.
#   scripts/build.sh release      -> build/release
#   scripts/build.sh debug-asan   -> build/debug-asan (AddressSanitizer + UBSan)
#   scripts/build.sh fuzz         -> build/fuzz (clang, libFuzzer targets)
#   scripts/build.sh tsan         -> build/tsan (clang, ThreadSanitizer)
# MORVANE_WERROR=ON makes every warning an error (CI does); unset, a build directory keeps the
# setting it was configured with, so a build after CI's does not start over.
set -euo pipefail
cd "$(dirname "$0")/.."
preset=${1:-release}
cmake --preset "$preset" ${MORVANE_WERROR:+-DMORVANE_WERROR="$MORVANE_WERROR"} >/dev/null
cmake --build --preset "$preset" -j "$(nproc)"
