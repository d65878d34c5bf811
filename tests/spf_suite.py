#!/usr/bin/env python3
"""The SPF evaluator against the RFC 7208 test suite of Debian's python3-spf package.

Every scenario's zone data is served by its own loopback unbound; every case (IPv4 and IPv6
clients) whose data it can serve is asked through the evaluator (tests/spf_query.cpp). The outcome of each case is
recorded in tests/spf_suite.expected with its class: "agree" (the suite accepts our result),
"rule" (we differ by a documented rule of this evaluator, named there) or "fault" (ours to
fix). The test fails when a case's result changes, so a change of class is always seen.

usage: spf_suite.py path/to/spf_query        MORVANE_SPF_SUITE_WRITE=1 rewrites the record
"""
import gzip
import os
import shutil
import socket
import struct
import subprocess
import sys
import tempfile
import time

import yaml

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
EXPECTED = os.path.join(HERE, "spf_suite.expected")
CODES = ["pass", "softfail", "fail", "neutral", "none", "temperror", "permerror"]


def suite_path():
    """The suite file, unpacked from the python3-spf package (fetched once with apt-get download)."""
    deps = os.path.join(ROOT, "build", "deps", "python3-spf")
    path = os.path.join(deps, "usr", "share", "doc", "python3-spf", "rfc7208-tests.yml.gz")
    if not os.path.exists(path):
        os.makedirs(deps, exist_ok=True)
        subprocess.run(["apt-get", "download", "python3-spf"], cwd=deps, check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deb = [f for f in os.listdir(deps) if f.endswith(".deb")][0]
        subprocess.run(["dpkg", "-x", os.path.join(deps, deb), deps], check=True)
    return path


def valid_name(name):
    labels = name.rstrip(".").split(".")
    return len(name) <= 253 and all(0 < len(l) <= 63 and all(c.isalnum() or c in "-_" for c in l) for l in labels)


def quoted(text):
    """A zone-file character-string: bytes outside plain printable text as \\DDD."""
    out = []
    for b in text.encode():
        c = chr(b)
        out.append(c if 32 <= b < 127 and c not in "\\\"'" else "\\%03d" % b)
    return '"%s"' % "".join(out)


def zone_lines(zonedata):
    """unbound local-data for the scenario; names it cannot hold and TIMEOUTs are left out."""
    lines = []
    for name, records in zonedata.items():
        name = name.rstrip(".")
        if not valid_name(name):
            continue
        # As the suite's own harness serves them: the SPF-type entries answer TXT questions
        # only when the name has no TXT entry.
        has_txt = any(isinstance(rr, dict) and "TXT" in rr for rr in records)
        for rr in records:
            if not isinstance(rr, dict):
                continue  # TIMEOUT: a static zone cannot stay silent
            for kind, value in rr.items():
                if kind == "SPF" and has_txt:
                    continue
                if kind in ("SPF", "TXT"):
                    strings = value if isinstance(value, list) else [value]
                    if any(len(s.encode()) > 255 for s in strings):
                        continue
                    lines.append("%s. 300 IN TXT %s" % (name, " ".join(quoted(s) for s in strings)))
                elif kind == "A":
                    for a in value if isinstance(value, list) else [value]:
                        lines.append("%s. 300 IN A %s" % (name, a))
                elif kind == "AAAA":
                    for a in value if isinstance(value, list) else [value]:
                        lines.append("%s. 300 IN AAAA %s" % (name, a))
                elif kind == "MX":
                    prio, host = value
                    host = host.rstrip(".")
                    if valid_name(host):
                        lines.append("%s. 300 IN MX %d %s." % (name, prio, host))
                elif kind == "PTR":
                    value = value.rstrip(".")
                    if valid_name(value):
                        lines.append("%s. 300 IN PTR %s." % (name, value))
                elif kind == "CNAME":
                    value = value.rstrip(".")
                    if valid_name(value):
                        lines.append("%s. 300 IN CNAME %s." % (name, value))
    return lines


def free_udp_port():
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


def answers(port):
    q = struct.pack(">HHHHHH", 0x1234, 0x0100, 1, 0, 0, 0) + b"\x00" + struct.pack(">HH", 6, 1)
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.settimeout(0.2)
    try:
        s.sendto(q, ("127.0.0.1", port))
        s.recvfrom(512)
        return True
    except OSError:
        return False
    finally:
        s.close()


def run_scenario(query, work, index, scenario):
    cases = []
    timeouts = {n for n, rrs in scenario["zonedata"].items() if any(not isinstance(r, dict) for r in rrs)}
    for name, t in scenario["tests"].items():
        expected = t["result"] if isinstance(t["result"], list) else [t["result"]]
        if timeouts and "temperror" in expected:
            continue  # needs a server that does not answer
        cases.append((name, t, expected))
    if not cases:
        return []
    d = os.path.join(work, "s%d" % index)
    os.makedirs(d)
    unbound = shutil.which("unbound") or "/usr/sbin/unbound"
    zone = "".join("  local-data: '%s'\n" % line for line in zone_lines(scenario["zonedata"]))
    proc, port = None, None
    # A port free for UDP a moment ago may be taken for TCP, or by another test, when unbound binds
    # it: unbound then exits, and a fresh port is the cure.
    for _ in range(5):
        port = free_udp_port()
        with open(os.path.join(d, "unbound.conf"), "w") as f:
            f.write('server:\n  interface: 127.0.0.1\n  port: %d\n  do-daemonize: no\n  username: ""\n'
                    '  chroot: ""\n  directory: "%s"\n  pidfile: "%s/unbound.pid"\n  use-syslog: no\n'
                    '  logfile: "%s/unbound.log"\n  do-ip6: no\n  access-control: 127.0.0.0/8 allow\n'
                    '  num-threads: 1\n  local-zone: "." static\n' % (port, d, d, d))
            f.write(zone)
        proc = subprocess.Popen([unbound, "-d", "-c", os.path.join(d, "unbound.conf")],
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        end = time.time() + 20
        while time.time() < end and proc.poll() is None and not answers(port):
            time.sleep(0.05)
        if proc.poll() is None and answers(port):
            break
        proc.terminate()
        proc.wait()
        proc = None
    if proc is None:
        raise RuntimeError("unbound did not start for scenario %r: see %s" % (scenario["description"], d))
    try:
        lines = "".join("%s\t%s\t%s\n" % (t["host"], t["mailfrom"], t["helo"]) for _, t, _ in cases)
        out = subprocess.run([query], input=lines, capture_output=True, text=True, timeout=120,
                             env=dict(os.environ, MORVANE_TEST_DNS="127.0.0.1:%d" % port), check=True).stdout
    finally:
        proc.terminate()
        proc.wait()
    got = [CODES[int(x)] for x in out.split()]
    return [(scenario["description"], name, r, expected, t) for (name, t, expected), r in zip(cases, got)]


def main():
    query = sys.argv[1]
    docs = list(yaml.safe_load_all(gzip.open(suite_path())))
    work = tempfile.mkdtemp(prefix="morvane_spf_suite_")
    results = []
    try:
        for i, scenario in enumerate(docs):
            results.extend(run_scenario(query, work, i, scenario))
    finally:
        if not os.environ.get("MORVANE_KEEP_TEST_DIR"):
            shutil.rmtree(work, ignore_errors=True)

    recorded = {}
    header = []  # the record's own comment lines, kept when it is rewritten
    if os.path.exists(EXPECTED):
        for line in open(EXPECTED):
            if line.startswith("#"):
                header.append(line)
            if line.startswith("#") or not line.strip():
                continue
            scenario, case, result, klass, why = line.rstrip("\n").split("|", 4)
            recorded[(scenario, case)] = (result, klass, why)
    if os.environ.get("MORVANE_SPF_SUITE_WRITE"):
        with open(EXPECTED, "w") as f:
            f.writelines(header)
            for scenario, case, result, expected, _ in results:
                old = recorded.get((scenario, case))
                if result in expected:
                    klass, why = "agree", ""
                elif old and old[0] == result and old[1] != "agree":
                    klass, why = old[1], old[2]
                else:
                    klass, why = "fault", "expected " + " or ".join(expected)
                f.write("%s|%s|%s|%s|%s\n" % (scenario, case, result, klass, why))
        print("spf_suite: wrote %s" % EXPECTED)
        return 0

    changed = []
    counts = {}
    for scenario, case, result, expected, _ in results:
        old = recorded.get((scenario, case))
        klass = old[1] if old else "new"
        counts[klass] = counts.get(klass, 0) + 1
        # A case the suite lets end in several results may end in either from run to run (ptr-limit:
        # which ten of its names the server lists first); only a move out of the accepted ones counts.
        if not old or (old[0] != result and not (old[1] == "agree" and result in expected)):
            changed.append("%s / %s: now %s, recorded %s (suite expects %s)"
                           % (scenario, case, result, old[0] if old else "nothing", " or ".join(expected)))
    print("spf_suite: %d cases: %s" % (len(results), ", ".join("%s %d" % kv for kv in sorted(counts.items()))))
    for c in changed:
        print("CHANGED " + c)
    return 1 if changed else 0


if __name__ == "__main__":
    sys.exit(main())
