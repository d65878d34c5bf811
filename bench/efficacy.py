#!/usr/bin/env python3
"""Morvane's Bayes filters against bogofilter on the same public mail, side by side.

    bench/efficacy.py [BUILD_DIR] [--tgz FILE] [--later]

Mail: spam-1 and easy-ham-1 of the public SpamAssassin corpus (see corpus.py), split in halves:
in name order, the even positions train and the odd ones test; with --later the first half
trains and the second tests (mail that arrived after the training mail: harder). Every training message is
learned once as its class, by each filter the same way:

  morvane       morvane-learn spam/ham (the statistical filter, its shipped settings)
  classic       morvane-learn --classic spam/ham (the word-weight filter)
  bogofilter    bogofilter -s / -n (its Debian defaults)

For each: spam recall (SPAM verdicts of the held-out spam), ham false positives (SPAM verdicts
of the held-out ham), the unsure shares, spam caught at the unsure cut (SPAM or UNSURE), the
learning time per 1000 messages and the classifying time per message (whole runs of the tool,
process start-up included).
"""
import os
import shutil
import subprocess
import sys
import tempfile
import time

from corpus import fetch


def timed(cmd, ok=(0,)):
    t = time.perf_counter()
    r = subprocess.run(cmd, capture_output=True, text=True, errors="replace")
    if r.returncode not in ok:
        sys.exit("%s failed (%d): %s" % (cmd[0], r.returncode, r.stderr.strip()[-500:]))
    return r.stdout, time.perf_counter() - t


def morvane(tool, work, split, classic):
    app = os.path.join(work, "classic" if classic else "morvane")
    os.makedirs(app)
    opt = ["--classic"] if classic else []
    seconds = 0.0
    for cls in ("spam", "ham"):
        seconds += timed([tool, "--appdir", app] + opt + [cls] + split[("train", cls)])[1]
    verdicts, check_seconds = {}, 0.0
    for cls in ("spam", "ham"):
        out, s = timed([tool, "--appdir", app] + opt + ["check"] + split[("test", cls)])
        check_seconds += s
        names = {"SPAM": "S", "HAM": "H"}
        verdicts[cls] = [names.get(line.split("\t")[1], "U") for line in out.splitlines()]
    return verdicts, seconds, check_seconds


def bogofilter(work, split):
    db = os.path.join(work, "bogofilter")
    os.makedirs(db)
    seconds = 0.0
    for cls, flag in (("spam", "-s"), ("ham", "-n")):
        seconds += timed(["bogofilter", "-d", db, flag, "-B"] + split[("train", cls)])[1]
    verdicts, check_seconds = {}, 0.0
    for cls in ("spam", "ham"):
        # Its exit status is the last message's verdict (0 spam, 1 ham, 2 unsure); 3 is an error.
        out, s = timed(["bogofilter", "-d", db, "-T", "-B"] + split[("test", cls)], ok=(0, 1, 2))
        check_seconds += s
        verdicts[cls] = [line.split()[1] for line in out.splitlines()]
    return verdicts, seconds, check_seconds


def main():
    args = sys.argv[1:]
    tgz = None
    later = "--later" in args
    if later:
        args.remove("--later")
    if "--tgz" in args:
        i = args.index("--tgz")
        tgz = os.path.abspath(args[i + 1])
        del args[i:i + 2]
    build = args[0] if args else os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "build", "release")
    tool = os.path.abspath(os.path.join(build, "src", "tools", "morvane-learn"))
    work = tempfile.mkdtemp(prefix="morvane_efficacy_")
    try:
        split = fetch(work, tgz, test_every=2, later=later)
        trained = len(split[("train", "spam")]) + len(split[("train", "ham")])
        tested = len(split[("test", "spam")]) + len(split[("test", "ham")])
        print("training: %d spam, %d ham; testing: %d spam, %d ham" %
              (len(split[("train", "spam")]), len(split[("train", "ham")]), len(split[("test", "spam")]),
               len(split[("test", "ham")])))
        rows = [("morvane",) + morvane(tool, work, split, False), ("classic",) + morvane(tool, work, split, True),
                ("bogofilter",) + bogofilter(work, split)]
        print("\n| filter | spam recall | ham false positives | spam unsure | ham unsure | spam caught at the "
              "unsure cut | ham at the unsure cut | learn s/1000 msgs | classify ms/msg |")
        print("|---|---|---|---|---|---|---|---|---|")
        for name, v, learn_s, check_s in rows:
            spam, ham = v["spam"], v["ham"]
            share = lambda vs, k: sum(1 for x in vs if x in k) / max(len(vs), 1)
            fp = sum(1 for x in ham if x == "S")
            print("| %s | %.3f | %.2f%% (%d of %d) | %.3f | %.3f | %.3f | %.2f%% | %.2f | %.2f |" %
                  (name, share(spam, "S"), 100 * fp / max(len(ham), 1), fp, len(ham), share(spam, "U"),
                   share(ham, "U"), share(spam, "SU"), 100 * share(ham, "SU"), 1000 * learn_s / trained,
                   1000 * check_s / tested))
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
