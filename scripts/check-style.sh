#!/usr/bin/env bash
# The checks CI runs before building: every C++ file as .clang-format lays it out, and library
# code that keeps to the layering (scripts/check-layers.sh). `--fix` rewrites the files instead.
set -euo pipefail
cd "$(dirname "$0")/.."
mapfile -t files < <(git ls-files 'src/*.cpp' 'src/*.h' 'tests/*.cpp' 'bench/*.cpp')
if [ "${1:-}" = "--fix" ]; then
    clang-format -i "${files[@]}"
    exit 0
fi
status=0
if ! clang-format --dry-run --Werror "${files[@]}" 2>/tmp/morvane-format.$$; then
    grep -E '^[^ ].*: (error|warning):' /tmp/morvane-format.$$ | cut -d: -f1 | sort -u | sed 's/^/check-style: not formatted: /' >&2
    echo "check-style: run scripts/check-style.sh --fix" >&2
    status=1
fi
rm -f /tmp/morvane-format.$$
bash scripts/check-layers.sh || status=1
exit $status
