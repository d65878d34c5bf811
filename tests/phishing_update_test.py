#!/usr/bin/env python3
"""The HTTP client and the phishing list update against a real HTTP server on loopback
(python's http.server), through tests/phishing_probe.

    phishing_update_test.py path/to/phishing_probe
"""
import http.server
import os
import shutil
import subprocess
import sys
import tempfile
import threading
import time
import unittest

PROBE = None
SERVER = None
WORK = None


def section(name, lines):
    return "[%s]\r\n" % name + "".join("%s=%s\r\n" % kv for kv in lines)


def pattern_list(name, patterns):
    lines = [("count", str(len(patterns)))]
    for i, p in enumerate(patterns):
        lines += [("R%d" % i, p), ("R%dc" % i, "0"), ("R%dn" % i, "1"), ("R%de" % i, "i")]
    return section(name, lines)


def phishing_list(firm, domains, delete=(), date="today"):
    text = section("SETTING", [("firm", str(firm)), ("date", date)])
    text += section("DOMAIN", [("count", str(len(domains)))] + [("D%d" % i, d) for i, d in enumerate(domains)])
    if delete:
        text += section("DELETE", [("count", str(len(delete)))] + [("D%d" % i, d) for i, d in enumerate(delete)])
    for name in ("VERIFY_TXT", "VERIFY_HTML", "FAKE_HTML", "FAKE_TXT"):
        text += pattern_list(name, ["#D#"])
    return text


class Handler(http.server.BaseHTTPRequestHandler):
    """Answers by path; /echo sends back the request it received."""
    answers = {}

    def log_message(self, *args):
        pass

    def answer(self, body, status=200, length=None):
        data = body.encode() if isinstance(body, str) else body
        try:
            self.send_response(status)
            self.send_header("Content-Length", str(len(data) if length is None else length))
            self.end_headers()
            self.wfile.write(data)
        except (BrokenPipeError, ConnectionResetError):
            pass  # the client gave up first, as it should

    def do_GET(self):
        path = self.path
        if path == "/echo/Mixed/Case":
            self.answer("%s %s\n%s" % (self.command, self.path, self.headers))
        elif path == "/slow":
            time.sleep(3)
            self.answer(phishing_list(99, ["slow.example"]))
        elif path == "/big":
            self.answer("x" * 600000)
        elif path == "/cut":
            self.answer(phishing_list(50, ["cut.example"]), length=100000)
        elif path == "/error":
            self.answer(phishing_list(60, ["error.example"]), status=500)
        elif path in Handler.answers:
            self.answer(Handler.answers[path])
        else:
            self.answer("no such list", status=404)

    def do_POST(self):
        data = self.rfile.read(int(self.headers.get("Content-Length", "0")))
        self.answer("%s %s %s %s" % (self.command, self.path, self.headers.get("Content-Type"), data.decode()))


def probe(*args):
    r = subprocess.run([PROBE] + list(args), capture_output=True, text=True, timeout=60)
    assert r.returncode == 0, r.stderr
    head, _, rest = r.stdout.partition("\n")
    return head, rest


class HttpClientTest(unittest.TestCase):
    def url(self, path):
        return "http://127.0.0.1:%d%s" % (SERVER.server_port, path)

    def test_request_line_host_and_path_as_sent(self):
        head, body = probe("get", "http://LocalHost:%d/echo/Mixed/Case" % SERVER.server_port)
        self.assertEqual(head, "rc=1 complete=1 status=200")
        self.assertIn("GET /echo/Mixed/Case", body)
        self.assertIn("Host: LOCALHOST\n", body, "upper case, without the port")
        self.assertIn("User-Agent: Simple HTTPClient", body)

    def test_post_sends_its_data_as_a_form(self):
        head, body = probe("post", self.url("/form"), "a=1&b=2")
        self.assertEqual(body, "POST /form application/x-www-form-urlencoded a=1&b=2")

    def test_limit_time_out_and_refusals(self):
        head, body = probe("get", self.url("/big"), "5", "64")
        self.assertEqual(head.split()[:2], ["rc=1", "complete=0"], "cut at the limit")
        self.assertLessEqual(len(body), 64 * 1024)
        start = time.time()
        head, body = probe("get", self.url("/slow"), "1")
        self.assertEqual(head, "rc=1 complete=0 status=0", "nothing before the time-out")
        self.assertLess(time.time() - start, 2.9)
        head, _ = probe("get", "https://127.0.0.1:%d/" % SERVER.server_port)
        self.assertEqual(head.split()[0], "rc=0", "https is not spoken")
        head, _ = probe("get", "http://127.0.0.1:1/")
        self.assertEqual(head.split()[0], "rc=0", "nobody listens")


class PhishingUpdateTest(unittest.TestCase):
    def setUp(self):
        self.file = os.path.join(WORK, "phishing-%s.db" % self.id().split(".")[-1])

    def write_local(self, path, firm=5, domains=("kept.example", "gone.example")):
        text = section("SETTING", [("URL", "http://127.0.0.1:%d%s" % (SERVER.server_port, path)),
                                   ("firm", str(firm)), ("date", "local")])
        text += section("DOMAIN", [("count", str(len(domains)))] + [("D%d" % i, d) for i, d in enumerate(domains)])
        with open(self.file, "w", newline="") as f:
            f.write(text)

    def update(self):
        with open(self.file, "rb") as f:
            before = f.read()
        head, rest = probe("update", self.file)
        with open(self.file, "rb") as f:
            after = f.read()
        return head, rest.split(), before != after

    def test_newer_list_merges_domains_deletes_and_replaces_patterns(self):
        Handler.answers["/newer"] = phishing_list(6, ["New.Example", "kept.example"], delete=["GONE.example"],
                                                  date="2026-12-07")
        self.write_local("/newer")
        head, domains, changed = self.update()
        self.assertEqual(head, "rc=1 ")
        self.assertEqual(domains, ["kept.example", "new.example"])
        self.assertTrue(changed)
        with open(self.file) as f:
            text = f.read()
        self.assertIn("firm=6", text)
        self.assertIn("date=2026-12-07", text)
        self.assertIn("[VERIFY_HTML]", text)
        self.assertIn("URL=http://127.0.0.1", text, "the service URL stays")

    def test_lists_that_must_not_replace_the_local_one(self):
        Handler.answers["/older"] = phishing_list(5, ["older.example"])
        Handler.answers["/nofirm"] = phishing_list(7, ["x.example"]).replace("firm=7", "version=7")
        Handler.answers["/nodomain"] = phishing_list(8, ["x.example"]).replace("[DOMAIN]", "[DOMAINS]")
        Handler.answers["/short"] = phishing_list(9, ["x.example"]).replace("R0e=i\r\n[FAKE_TXT]", "[FAKE_TXT]")
        for path, why in (("/older", "not newer"), ("/nofirm", "no firm"), ("/nodomain", "no DOMAIN section"),
                          ("/short", "promises"), ("/cut", "cut short"), ("/error", "500"), ("/slow", "no answer"),
                          ("/big", "cut short"), ("/missing", "404")):
            self.write_local(path)
            head, domains, changed = self.update()
            self.assertTrue(head.startswith("rc=0 ") and why in head, "%s: %s" % (path, head))
            self.assertEqual(domains, ["kept.example", "gone.example"], path)
            self.assertFalse(changed, path)

    def test_no_url_means_no_traffic(self):
        with open(self.file, "w", newline="") as f:
            f.write(section("SETTING", [("URL", ""), ("firm", "1")]))
        head, _, changed = self.update()
        self.assertEqual(head, "rc=0 no service URL")
        self.assertFalse(changed)


def main():
    global PROBE, SERVER, WORK
    PROBE = os.path.abspath(sys.argv.pop(1))
    WORK = tempfile.mkdtemp(prefix="morvane_phishing_")
    SERVER = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    SERVER.daemon_threads = True
    threading.Thread(target=SERVER.serve_forever, daemon=True).start()
    try:
        unittest.main(verbosity=2)
    finally:
        SERVER.shutdown()
        shutil.rmtree(WORK, ignore_errors=True)


if __name__ == "__main__":
    main()
