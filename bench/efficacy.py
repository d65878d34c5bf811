#!/usr/bin/env python3
"""Morvane's Bayes filters against bogofilter on the same public mail, side by side.

    bench/efficacy.py [BUILD_DIR] [--tgz FILE] [--later] [--policy] [--spamassassin]

Mail: spam-1 and easy-ham-1 of the public SpamAssassin corpus (see corpus.py), split in halves:
in name order, the even positions train and the odd ones test; with --later the first half
trains and the second tests (mail that arrived after the training mail: harder). Every training message is
learned once as its class, by each filter the same way:

  morvane       morvane-learn spam/ham (the statistical filter, its shipped settings)
  classic       morvane-learn --classic spam/ham (the word-weight filter)
  bogofilter    bogofilter -s / -n (its Debian defaults)

With --policy, one more row: the shipped policy end to end. The kernel runs on a copy of dist/
with its default settings but greylisting off and a DNS server that never answers (as
offline), its Bayes filter trained with morvane-learn on the training half and the starter
rules compiled; every test message is sent through it over SMTP to an MTA sink, and a message
counts as spam when the kernel tagged (X-MORVANE-Spam) or refused it as spam (554); a message
not delivered for another reason (the sink refuses lines over the SMTP limit) is named on
stderr and left out of that row's counts. A second policy row first fits the rules' and the
filter's points on the training part (morvane-rules fit), so that no test message was seen by
the fit (the shipped scores were fitted on the whole corpus).

With --spamassassin, SpamAssassin (Debian's package and rules) side by side: its Bayes trained
with sa-learn on the same training half, network tests off (spamd -L), a message spam at its
default threshold of 5.

For each: spam recall (SPAM verdicts of the held-out spam), ham false positives (SPAM verdicts
of the held-out ham), the unsure shares, spam caught at the unsure cut (SPAM or UNSURE), the
learning time per 1000 messages and the classifying time per message (whole runs of the tool,
process start-up included).
"""
import glob
import os
import re
import shutil
import smtplib
import socket
import subprocess
import sys
import threading
import concurrent.futures
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


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_port(port, proc, seconds=20):
    end = time.time() + seconds
    while time.time() < end:
        if proc.poll() is not None:
            sys.exit("the kernel ended at start (status %d)" % proc.returncode)
        with socket.socket() as s:
            if s.connect_ex(("127.0.0.1", port)) == 0:
                return
        time.sleep(0.1)
    sys.exit("nothing listens on %d" % port)


class NxDomain(threading.Thread):
    """A DNS server that knows nothing: every query is answered at once with NXDOMAIN, so the
    block lists and SPF find nothing, as for a server whose lists are all silent."""

    def __init__(self):
        super().__init__(daemon=True)
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.bind(("127.0.0.1", 0))
        self.port = self.sock.getsockname()[1]

    def run(self):
        while True:
            try:
                q, peer = self.sock.recvfrom(4096)
            except OSError:
                return
            if len(q) < 12:
                continue
            # The query echoed with QR, RD and RA set and RCODE 3; no answers.
            self.sock.sendto(q[:2] + bytes([0x81 | (q[2] & 0x01), 0x83]) + q[4:6] + b"\0\0\0\0\0\0" + q[12:], peer)


def policy(build, work, split, refit=False):
    """The shipped policy end to end: verdicts of the test messages as the MTA sink got them.
    With `refit`, the rules' and the filter's points are first fitted on the training part
    (morvane-rules fit), as an operator would on their own mail."""
    root = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")
    app = os.path.join(work, "policy_refit" if refit else "policy")
    shutil.copytree(os.path.join(root, "dist"), app)
    port, sink_port = free_port(), free_port()
    dns = NxDomain()
    dns.start()
    with open(os.path.join(app, "morvane.ini"), "w", newline="") as f:
        f.write("[CONFIG]\r\nlisten_ip=127.0.0.1\r\nlisten_port=%d\r\nsmtp_server1=127.0.0.1\r\n"
                "smtp_port1=%d\r\nmyname=morvane.bench\r\n[DNS]\r\nnameserver_0=127.0.0.1:%d\r\n"
                "timeout_millisecond=1000\r\n[GREYLIST]\r\ngreylist_enable=0\r\n[WEBGUI]\r\nport=0\r\n"
                "[FIREWALL]\r\nmax_session_ip=64\r\n" % (port, sink_port, dns.port))
    tools = os.path.join(build, "src", "tools")
    t = time.perf_counter()
    for cls in ("spam", "ham"):
        timed([os.path.join(tools, "morvane-learn"), "--appdir", app, cls] + split[("train", cls)])
    learn_s = time.perf_counter() - t
    timed([os.path.join(tools, "morvane-rules"), "--appdir", app, "compile", os.path.join(app, "rules", "starter.rules")])
    if refit:
        timed([os.path.join(tools, "morvane-rules"), "--appdir", app, "fit", "--spam", os.path.join(work, "train", "spam"),
               "--ham", os.path.join(work, "train", "ham"), "--source", os.path.join(app, "rules", "starter.rules")])
    sink_dir = os.path.join(work, "sink_refit" if refit else "sink")
    os.makedirs(sink_dir)
    sink = subprocess.Popen(["/usr/bin/python3", os.path.join(root, "scripts", "smtp_sink.py"), "--port",
                             str(sink_port), "--dir", sink_dir], stdout=subprocess.DEVNULL)
    kernel = subprocess.Popen([os.path.join(build, "src", "service", "morvane"), "--appdir", app],
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    verdicts = {}
    t = time.perf_counter()
    try:
        wait_port(sink_port, sink)
        wait_port(port, kernel)
        refused = set()
        why = {}
        jobs = []
        for cls in ("spam", "ham"):
            for path in split[("test", cls)]:
                jobs.append((len(jobs) + 1, path))
                verdicts.setdefault(cls, []).append(len(jobs))

        def send(job):
            n, path = job
            with open(path, "rb") as f:
                data = f.read()
            if data.startswith(b"From "):
                data = data[data.find(b"\n") + 1:]
            data = b"X-Bench-Id: %d\r\n" % n + data.replace(b"\r\n", b"\n").replace(b"\n", b"\r\n")
            try:
                with smtplib.SMTP("127.0.0.1", port, local_hostname="mail.sender.example", timeout=60) as c:
                    c.sendmail("sender@sender.example", ["user@example.net"], data)
            except smtplib.SMTPResponseException as e:
                # 554 is the policy's refusal as spam; anything else is the transport's (a line
                # over the SMTP limit, say), not a verdict.
                if e.smtp_code == 554:
                    refused.add(n)
                else:
                    why[n] = "%d %s" % (e.smtp_code, e.smtp_error.decode("utf-8", "replace"))
            except smtplib.SMTPRecipientsRefused as e:
                why[n] = str(e.recipients)

        with concurrent.futures.ThreadPoolExecutor(8) as pool:
            list(pool.map(send, jobs))
        time.sleep(1)
        tagged = set()
        for name in os.listdir(sink_dir):
            if not name.endswith(".eml"):
                continue
            with open(os.path.join(sink_dir, name), "rb") as f:
                head = f.read().split(b"\r\n\r\n", 1)[0]
            m = re.search(rb"^X-Bench-Id: (\d+)", head, re.M)
            if m and re.search(rb"^X-MORVANE-Spam: YES", head, re.M):
                tagged.add(int(m.group(1)))
        check_s = time.perf_counter() - t
        for n in sorted(why):
            print("not delivered: %s: %s" % (os.path.basename(jobs[n - 1][1]), why[n]), file=sys.stderr)
        # A message the sink would not take (a line over the SMTP limit) has no verdict to count.
        out = {cls: ["S" if (i in tagged or i in refused) else "H" for i in ids if i not in why]
               for cls, ids in verdicts.items()}
    finally:
        kernel.terminate()
        sink.terminate()
        kernel.wait(timeout=40)
        sink.wait(timeout=10)
    return out, learn_s, check_s


def spamassassin(work, split):
    base = os.path.join(work, "sa")
    cfg = os.path.join(base, "cfg")
    os.makedirs(cfg)
    for pre in glob.glob("/etc/spamassassin/*.pre"):
        shutil.copy(pre, cfg)
    with open(os.path.join(cfg, "local.cf"), "w") as f:
        f.write("use_bayes 1\nbayes_auto_learn 0\nskip_rbl_checks 1\nbayes_path %s/bayes/bayes\n" % base)
    t = time.perf_counter()
    for cls, flag in (("spam", "--spam"), ("ham", "--ham")):
        timed(["sa-learn", "--siteconfigpath", cfg, "--dbpath", os.path.join(base, "bayes"), flag] +
              split[("train", cls)])
    learn_s = time.perf_counter() - t
    # spamd runs its children as nobody when started by root: they must read the tables.
    for d, dirs, files in os.walk(work):
        for name in dirs + files:
            os.chmod(os.path.join(d, name), 0o777 if name in dirs else 0o666)
    os.chmod(work, 0o777)
    port = free_port()
    pidfile = os.path.join(base, "spamd.pid")
    spamd = subprocess.Popen(["spamd", "-L", "-x", "-m", "2", "--listen", "127.0.0.1:%d" % port, "--siteconfigpath",
                              cfg, "--pidfile", pidfile, "-s", "stderr"], stdout=subprocess.DEVNULL,
                             stderr=subprocess.DEVNULL)
    verdicts = {}
    t = time.perf_counter()
    try:
        wait_port(port, spamd, seconds=60)

        def check(path):
            with open(path, "rb") as f:
                r = subprocess.run(["spamc", "-d", "127.0.0.1", "-p", str(port), "-c"], stdin=f, capture_output=True)
            return "S" if r.returncode == 1 else "H"

        with concurrent.futures.ThreadPoolExecutor(2) as pool:
            for cls in ("spam", "ham"):
                verdicts[cls] = list(pool.map(check, split[("test", cls)]))
    finally:
        spamd.terminate()
        spamd.wait(timeout=30)
    return verdicts, learn_s, time.perf_counter() - t


def main():
    args = sys.argv[1:]
    tgz = None
    later = "--later" in args
    if later:
        args.remove("--later")
    with_policy = "--policy" in args
    if with_policy:
        args.remove("--policy")
    with_sa = "--spamassassin" in args
    if with_sa:
        args.remove("--spamassassin")
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
        if with_policy:
            rows.append(("morvane policy, end to end",) + policy(os.path.abspath(build), work, split))
            rows.append(("morvane policy, refitted on the training part",) +
                         policy(os.path.abspath(build), work, split, refit=True))
        if with_sa:
            rows.append(("spamassassin rules + Bayes, network tests off",) + spamassassin(work, split))
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
