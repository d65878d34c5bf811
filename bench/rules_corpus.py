#!/usr/bin/env python3
"""The starter rules (or any rules source) on real mail, through morvane-rules test.

    bench/rules_corpus.py [BUILD_DIR] [--tgz FILE] [--source FILE] [--spam-at SCORE] [--fit REPORT]

Mail: the SpamAssassin corpus, groups spam-1 and easy-ham-1, every message (rules learn
nothing, so there is no held-out part). Prints, per rule, its hits on spam and on ham; then the
share of ham whose rules total reaches SCORE (score_for_spam, 5.0 by default), the share of
spam with a positive total and the share of spam that reaches SCORE on the rules alone.

With --fit, the scores are fitted first (morvane-rules fit on all that mail, the Bayes filter's
points included, with the settings a new application directory has): the fitted scores are
written into the source and the report of every rule's hits into REPORT. This is how the
shipped set's scores and dist/rules/starter-report.md are made:

    bench/rules_corpus.py --fit dist/rules/starter-report.md
"""
import os
import shutil
import subprocess
import sys
import tempfile

from corpus import GROUPS, fetch

HERE = os.path.dirname(os.path.abspath(__file__))


def main():
    args = sys.argv[1:]
    opts = {"--tgz": None, "--source": os.path.join(HERE, "..", "dist", "rules", "starter.rules"), "--spam-at": "5.0",
            "--fit": None}
    for k in list(opts):
        if k in args:
            i = args.index(k)
            opts[k] = args[i + 1]
            del args[i:i + 2]
    build = args[0] if args else os.path.join(HERE, "..", "build", "release")
    tool = os.path.abspath(os.path.join(build, "src", "tools", "morvane-rules"))
    spam_at = float(opts["--spam-at"])
    work = tempfile.mkdtemp(prefix="morvane_rules_")
    try:
        split = fetch(work, opts["--tgz"] and os.path.abspath(opts["--tgz"]))
        if opts["--fit"]:
            dirs = {}
            for _, cls in GROUPS:
                dirs[cls] = os.path.join(work, "all", cls)
                os.makedirs(dirs[cls])
                for i, p in enumerate(sorted(split[("train", cls)] + split[("test", cls)])):
                    os.symlink(p, os.path.join(dirs[cls], "%05d.eml" % i))
            r = subprocess.run([tool, "--appdir", os.path.join(work, "app"), "fit", "--spam", dirs["spam"], "--ham",
                                dirs["ham"], "--source", opts["--source"], "--report", os.path.abspath(opts["--fit"])],
                               check=True, capture_output=True, text=True)
            print("\n".join(l for l in r.stdout.splitlines() if " messages" in l or "BAYES" in l))
        names = [l.split()[1] for l in open(opts["--source"]) if l.startswith("rule ")]
        hits = {n: {"spam": 0, "ham": 0} for n in names}
        totals = {}
        for _, cls in GROUPS:
            paths = split[("train", cls)] + split[("test", cls)]
            r = subprocess.run([tool, "test", opts["--source"]] + paths, check=True, capture_output=True, text=True)
            totals[cls] = []
            for line in r.stdout.splitlines():
                total, _, matched = line.split("\t")
                totals[cls].append(float(total))
                for n in matched.split():
                    hits[n][cls] += 1
        n_spam, n_ham = len(totals["spam"]), len(totals["ham"])
        print("%-24s %10s %10s" % ("rule", "spam/%d" % n_spam, "ham/%d" % n_ham))
        for n in names:
            print("%-24s %10d %10d" % (n, hits[n]["spam"], hits[n]["ham"]))
        ham_over = sum(1 for t in totals["ham"] if t >= spam_at)
        print("ham with a total >= %.1f: %d of %d (%.2f%%)" % (spam_at, ham_over, n_ham, 100.0 * ham_over / n_ham))
        print("spam with a positive total: %.1f%%" % (100.0 * sum(1 for t in totals["spam"] if t > 0) / n_spam))
        print("spam with a total >= %.1f: %.1f%%" %
              (spam_at, 100.0 * sum(1 for t in totals["spam"] if t >= spam_at) / n_spam))
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
