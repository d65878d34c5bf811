#!/usr/bin/env python3
"""The web GUI end to end: a kernel on a prepared application directory (the shipped dist/,
an aiosmtpd MTA sink, a local unbound), spoken to over raw HTTP (parser edges, paths that try
to leave the web root, oversized and slow requests, keep-alive, the login and its token) and,
with `gui`, driven by headless Chromium through tests/gui_test.js.

    web_test.py http MORVANE      the HTTP-level tests
    web_test.py gui MORVANE       the browser test (skips with exit 77 without Chromium)
"""
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import time
import unittest
import warnings

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, HERE)
import relay_test as rt  # noqa: E402  (its kernel, sink and DNS helpers)

PASSWORD = "web-test-password"
SKIP = 77


def swaks(port, *args):
    subprocess.run(["swaks", "--server", "127.0.0.1:%d" % port, "--to", "bob@example.net", "--from",
                    "alice@example.org", "--helo", "mail.example.org"] + list(args),
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=60, check=True)


class Http:
    """One connection that sends exactly the given bytes."""

    def __init__(self, port, timeout=10):
        self.s = socket.create_connection(("127.0.0.1", port), timeout=timeout)
        self.buf = b""

    def send(self, data):
        self.s.sendall(data)

    def answer(self):
        """One answer (status line, headers, body by Content-Length); None when the connection
        closed first."""
        while b"\r\n\r\n" not in self.buf:
            if not self._more():
                return None
        head, _, rest = self.buf.partition(b"\r\n\r\n")
        length = int(re.search(rb"Content-Length: (\d+)", head).group(1))
        while len(rest) < length:
            if not self._more():
                return None
            head, _, rest = self.buf.partition(b"\r\n\r\n")
        self.buf = rest[length:]
        return head.decode("latin-1"), rest[:length]

    def closed(self, seconds=10):
        """True when the server closes the connection within `seconds` without answering."""
        self.s.settimeout(seconds)
        try:
            while True:
                d = self.s.recv(65536)
                if not d:
                    return True
                self.buf += d
        except ConnectionResetError:
            return True
        except socket.timeout:
            return False

    def _more(self):
        try:
            d = self.s.recv(65536)
        except ConnectionResetError:
            return False
        self.buf += d
        return bool(d)

    def close(self):
        self.s.close()


def request(port, method, path, body=None, headers=None):
    h = {"Connection": "close"}
    h.update(headers or {})
    if body is not None:
        h["Content-Type"] = "application/x-www-form-urlencoded"
        h["Content-Length"] = str(len(body))
    text = "%s %s HTTP/1.0\r\n%s\r\n" % (method, path, "".join("%s: %s\r\n" % kv for kv in h.items()))
    c = Http(port)
    c.send(text.encode() + (body.encode() if body else b""))
    a = c.answer()
    c.close()
    return a


def web_kernel(name, **webgui):
    keys = {"port": str(rt.free_port()), "time_keep_alive": "2"}
    keys.update(webgui)
    k = rt.Kernel(name, {"WEBGUI": keys, "GREYLIST": {"greylist_enable": "0"}, "CONFIG": {"loglevel": "4"}})
    k.web_port = int(keys["port"])
    rt.wait_port(k.web_port, k.proc)
    return k


def set_password(k):
    subprocess.run([rt.MORVANE, "--set-password", "--appdir", k.dir], input=PASSWORD + "\n", text=True,
                   check=True, stdout=subprocess.DEVNULL)
    before = k.log_text().count("Configuration applied to the engines")
    k.proc.send_signal(signal.SIGHUP)
    end = time.time() + 10
    while k.log_text().count("Configuration applied to the engines") == before and time.time() < end:
        time.sleep(0.05)


NOT_FOUND = b"<html><body><h1>Not found</h1></body></html>\n"


class WebHttpTest(unittest.TestCase):
    def assertLogged(self, text, seconds=5):
        """The kernel's log gets `text` within `seconds` (items reach the file in batches)."""
        end = time.time() + seconds
        while text not in self.k.log_text():
            if time.time() > end:
                self.fail("not in the kernel's log: " + text)
            time.sleep(0.1)

    @classmethod
    def setUpClass(cls):
        cls.k = web_kernel("web-http", maxconn="4")
        with open(os.path.join(cls.k.dir, "secret.txt"), "w") as f:
            f.write("SECRET")
        os.symlink(os.path.join(cls.k.dir, "secret.txt"), os.path.join(cls.k.dir, "www", "link.txt"))
        with open(os.path.join(cls.k.dir, "www", "copy.htmcc.bak"), "w") as f:
            f.write("source")

    @classmethod
    def tearDownClass(cls):
        cls.k.stop()

    def login(self):
        head, _ = request(self.k.web_port, "POST", "/login.htmcc", "user=root&password=" + PASSWORD)
        m = re.search(r"Set-Cookie: mvsid=([0-9a-f]{32}); Path=/; HttpOnly; SameSite=Strict", head)
        self.assertTrue(m, head)
        return "mvsid=" + m.group(1)

    def test_1_default_password_then_a_set_one(self):
        # The shipped default never logs in; the page says how to set a password.
        head, body = request(self.k.web_port, "POST", "/login.htmcc", "user=root&password=kelpo")
        self.assertIn(b"--set-password", body)
        self.assertNotIn("Set-Cookie", head)
        set_password(self.k)
        # Wrong ones are refused (after a pause) and logged.
        head, body = request(self.k.web_port, "POST", "/login.htmcc", "user=root&password=wrong-one")
        self.assertIn(b"Wrong user or password", body)
        self.assertLogged("Web GUI login refused")
        cookie = self.login()
        head, body = request(self.k.web_port, "GET", "/index.htmcc", headers={"Cookie": cookie})
        self.assertTrue(head.startswith("HTTP/1.0 200 OK"), head)
        self.assertIn(b'id="c-sessions"', body)

    def test_2_pages_need_a_session_and_changes_a_token(self):
        for page in ("/", "/index.htmcc", "/quarantine.htmcc", "/config.htmcc", "/domains.htmcc"):
            head, _ = request(self.k.web_port, "GET", page, headers={"Cookie": "mvsid=0123456789abcdef0123456789abcdef"})
            self.assertTrue(head.startswith("HTTP/1.0 302 move"), page)
            self.assertIn("Location: /login.htmcc", head)
        cookie = self.login()  # test 1 set the password
        _, body = request(self.k.web_port, "POST", "/domains.htmcc", "action=add&domain=evil.test&token=nope",
                          {"Cookie": cookie})
        self.assertNotIn(b"evil.test", body)
        self.assertLogged("a POST without this session's token")
        token = re.search(rb'name="token" value="([0-9a-f]{32})"', body).group(1).decode()
        _, body = request(self.k.web_port, "POST", "/domains.htmcc", "action=add&domain=good.test&token=" + token,
                          {"Cookie": cookie})
        self.assertIn(b"<td>good.test</td>", body)

    def test_3_paths_never_leave_the_web_root(self):
        for path in ("/../morvane.ini", "/%2e%2e/morvane.ini", "/%252e%252e/morvane.ini", "/..%5cmorvane.ini",
                     "/link.txt", "/gui.htmch", "/copy.htmcc.bak", "/.%2e/secret.txt", "/www/../../secret.txt",
                     "/index.htmcc%00.css", "/missing.png"):
            head, body = request(self.k.web_port, "GET", path)
            self.assertTrue(head.startswith("HTTP/1.0 200 OK"), path)
            self.assertEqual(body, NOT_FOUND, path)
        self.assertLogged("outside the web root refused")
        head, body = request(self.k.web_port, "GET", "/style.css")
        self.assertIn("Content-Type: text/css", head)
        self.assertIn(b"--accent", body)

    def test_4_oversized_and_malformed_requests_close(self):
        c = Http(self.k.web_port)
        c.send(b"GET /" + b"a" * 3000 + b" HTTP/1.0\r\n\r\n")
        self.assertTrue(c.closed())
        c = Http(self.k.web_port)
        c.send(b"GET / HTTP/1.0\r\n" + b"X-Filler: " + b"x" * 40000 + b"\r\n\r\n")
        self.assertTrue(c.closed())
        c = Http(self.k.web_port)
        c.send(b"POST /login.htmcc HTTP/1.0\r\nContent-Length: 99999999\r\n\r\n")
        self.assertTrue(c.closed())
        # A method the server does not serve is never answered.
        c = Http(self.k.web_port)
        c.send(b"DELETE / HTTP/1.0\r\n\r\n")
        self.assertFalse(c.closed(2))
        c.close()

    def test_5_keep_alive_idle_and_slow_clients(self):
        c = Http(self.k.web_port)
        c.send(b"GET /style.css HTTP/1.0\r\nConnection: Keep-Alive\r\n\r\nGET /gui.js HTTP/1.0\r\nConnection: Keep-Alive\r\n\r\n")
        a, b = c.answer(), c.answer()
        self.assertIn("Connection: Keep-Alive", a[0])
        self.assertIn(b"data-confirm", b[1])
        # Idle past time_keep_alive (2 s): closed.
        self.assertTrue(c.closed(6))
        # Connected and silent: closed too.
        c = Http(self.k.web_port)
        self.assertTrue(c.closed(6))
        # A request dripped a byte a second never completes: closed 30 s after its first byte.
        c = Http(self.k.web_port)
        start = time.time()
        c.send(b"GET / HTTP/1.0\r\nX-Slow: ")
        closed_at = None
        while closed_at is None and time.time() - start < 45:
            try:
                if c.closed(1):
                    closed_at = time.time()
                else:
                    c.send(b"x")
            except OSError:
                closed_at = time.time()
        self.assertIsNotNone(closed_at)
        self.assertGreaterEqual(closed_at - start, 29)
        self.assertLogged("Connection Close Invalid request ip: 127.0.0.1")

    def test_6_full_slots_are_refused(self):
        held = [Http(self.k.web_port) for _ in range(4)]
        # A request under way keeps its slot for 30 s; a silent connection would be closed after
        # time_keep_alive (2 s), and a stall that long on a busy machine would free a slot.
        for h in held:
            h.send(b"GET / HTTP/1.0\r\n")
        time.sleep(0.3)
        extra = Http(self.k.web_port)
        extra.closed(3)
        self.assertIn(b"500 HTTP Web Error 500 - Server Too Busy ", extra.buf)
        for h in held:
            h.close()


def gui_main():
    node = shutil.which("node")
    chromium = shutil.which("chromium")
    module = os.path.join(ROOT, "build", "deps", "npm", "node_modules", "playwright-core")
    if not node or not chromium or not os.path.isdir(module):
        print("SKIP: the browser test needs node, /usr/bin/chromium and playwright-core in build/deps/npm "
              "(scripts/install-deps.sh installs them)")
        return SKIP
    k = web_kernel("web-gui")
    ok = False
    try:
        # A message through the kernel: the default policy quarantines a copy by its verdict.
        swaks(k.port, "--header", "Subject: quarterly report", "--body", "Hello Bob, the figures are attached.")
        rt.wait_for_message(1)
        # Statistics files of earlier days for the dashboard's charts.
        subprocess.run([sys.executable, os.path.join(HERE, "web", "make_stats.py"), os.path.join(k.dir, "db")],
                       check=True)
        env = dict(os.environ, NODE_PATH=os.path.join(ROOT, "build", "deps", "npm", "node_modules"))
        r = subprocess.run([node, os.path.join(HERE, "gui_test.js"), "http://127.0.0.1:%d" % k.web_port, rt.MORVANE,
                            k.dir, str(k.proc.pid), rt.SINK_DIR, PASSWORD], env=env, timeout=240)
        ok = r.returncode == 0
    finally:
        k.stop()
    return 0 if ok else 1


def http_main():
    warnings.simplefilter("ignore", ResourceWarning)
    return 0 if unittest.main(exit=False, verbosity=2, warnings="ignore").result.wasSuccessful() else 1


def main():
    mode = sys.argv.pop(1)
    rt.MORVANE = os.path.abspath(sys.argv.pop(1))
    return rt.run_with_peers("morvane-web-", gui_main if mode == "gui" else http_main)


if __name__ == "__main__":
    sys.exit(main())
