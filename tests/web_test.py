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

    def __init__(self, port, timeout=10, source="127.0.0.1"):
        self.s = socket.create_connection(("127.0.0.1", port), timeout=timeout, source_address=(source, 0))
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


def request(port, method, path, body=None, headers=None, source="127.0.0.1"):
    h = {"Connection": "close"}
    h.update(headers or {})
    if body is not None:
        h["Content-Type"] = "application/x-www-form-urlencoded"
        h["Content-Length"] = str(len(body))
    text = "%s %s HTTP/1.0\r\n%s\r\n" % (method, path, "".join("%s: %s\r\n" % kv for kv in h.items()))
    c = Http(port, source=source)
    c.send(text.encode() + (body.encode() if body else b""))
    a = c.answer()
    c.close()
    return a


def web_kernel(name, **webgui):
    keys = {"port": str(rt.free_port()), "time_keep_alive": "2"}
    keys.update(webgui)
    k = rt.Kernel(name, {"WEBGUI": keys, "GREYLIST": {"greylist_enable": "0"}, "CONFIG": {"loglevel": "4"},
                         "QUARANTINE": {"hold_spam": "1"}})
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


def status(head):
    return int(head.split(" ", 2)[1])


def login_post(port, user, password, source="127.0.0.1"):
    """Posts the login form as a browser does: its token and the cookie set with it."""
    head, body = request(port, "GET", "/login.htmcc", source=source)
    token = re.search(rb'name="token" value="([0-9a-f]{32})"', body).group(1).decode()
    cookie = re.search(r"Set-Cookie: (mvlogin=[0-9a-f]{32});", head).group(1)
    return request(port, "POST", "/login.htmcc", "user=%s&password=%s&token=%s" % (user, password, token),
                   {"Cookie": cookie}, source=source)


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
        head, _ = login_post(self.k.web_port, "root", PASSWORD)
        m = re.search(r"Set-Cookie: mvsid=([0-9a-f]{32}); Path=/; HttpOnly; SameSite=Strict", head)
        self.assertTrue(m, head)
        return "mvsid=" + m.group(1)

    def test_1_default_password_then_a_set_one(self):
        # The shipped default never logs in; the page says how to set a password.
        head, body = login_post(self.k.web_port, "root", "kelpo")
        self.assertIn(b"--set-password", body)
        self.assertNotIn("mvsid", head)
        set_password(self.k)
        with open(os.path.join(self.k.dir, "morvane.ini")) as f:
            self.assertRegex(f.read(), r"password=pbkdf2-sha256\$\d+\$[0-9a-f]{32}\$[0-9a-f]{64}")
        self.assertEqual(os.stat(os.path.join(self.k.dir, "morvane.ini")).st_mode & 0o777, 0o600)
        # A login form posted without its token (from another site) is refused.
        _, body = request(self.k.web_port, "POST", "/login.htmcc", "user=root&password=" + PASSWORD)
        self.assertIn(b"login form had expired", body)
        # Wrong ones are refused and logged.
        head, body = login_post(self.k.web_port, "root", "wrong-one")
        self.assertIn(b"Wrong user or password", body)
        self.assertLogged("Web GUI login refused")
        cookie = self.login()
        head, body = request(self.k.web_port, "GET", "/index.htmcc", headers={"Cookie": cookie})
        self.assertTrue(head.startswith("HTTP/1.0 200 OK"), head)
        self.assertIn(b'id="c-sessions"', body)

    def test_2_pages_need_a_session_and_changes_a_token(self):
        for page in ("/", "/index.htmcc", "/quarantine.htmcc", "/config.htmcc", "/domains.htmcc"):
            head, _ = request(self.k.web_port, "GET", page, headers={"Cookie": "mvsid=0123456789abcdef0123456789abcdef"})
            self.assertTrue(head.startswith("HTTP/1.0 302 Found"), page)
            self.assertIn("Location: /login.htmcc", head)
        cookie = self.login()  # test 1 set the password
        _, body = request(self.k.web_port, "POST", "/domains.htmcc", "action=add&domain=evil.test&token=nope",
                          {"Cookie": cookie})
        self.assertNotIn(b"evil.test", body)
        self.assertLogged("a POST without this session's token")
        token = re.search(rb'name="token" value="([0-9a-f]{32})"', body).group(1).decode()
        _, body = request(self.k.web_port, "POST", "/domains.htmcc", "action=add&domain=good.test&token=" + token,
                          {"Cookie": cookie})
        self.assertIn(b">good.test</a></td>", body)

    def test_3_paths_never_leave_the_web_root(self):
        for path in ("/../morvane.ini", "/%2e%2e/morvane.ini", "/%252e%252e/morvane.ini", "/..%5cmorvane.ini",
                     "/link.txt", "/gui.htmch", "/copy.htmcc.bak", "/.%2e/secret.txt", "/www/../../secret.txt",
                     "/index.htmcc%00.css", "/missing.png"):
            head, body = request(self.k.web_port, "GET", path)
            self.assertTrue(head.startswith("HTTP/1.0 404 Not Found"), path)
            self.assertIn(b"Not Found", body)
        self.assertLogged("outside the web root refused")
        head, body = request(self.k.web_port, "GET", "/style.css")
        self.assertIn("Content-Type: text/css", head)
        self.assertIn(b"--accent", body)

    def test_4_oversized_and_malformed_requests_are_answered_then_closed(self):
        for data, code in ((b"GET /" + b"a" * 3000 + b" HTTP/1.0\r\n\r\n", 414),
                           (b"GET / HTTP/1.0\r\n" + b"X-Filler: " + b"x" * 40000 + b"\r\n\r\n", 400),
                           (b"POST /login.htmcc HTTP/1.0\r\nContent-Length: 99999999\r\n\r\n", 400),
                           (b"DELETE / HTTP/1.0\r\n\r\n", 501), (b"garbage\r\n\r\n", 400)):
            c = Http(self.k.web_port)
            c.send(data)
            self.assertTrue(c.closed(), data[:20])
            self.assertTrue(c.buf.startswith(b"HTTP/1.0 %d " % code), (data[:20], c.buf[:40]))

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
        # The held connections take their slots as the server gets to them: ask until it says
        # busy, within a deadline, instead of guessing how long that takes.
        end = time.time() + 10
        while True:
            extra = Http(self.k.web_port)
            extra.closed(3)
            if extra.buf.startswith(b"HTTP/1.0 503 ") or time.time() > end:
                break
            extra.close()
            time.sleep(0.05)
        self.assertTrue(extra.buf.startswith(b"HTTP/1.0 503 Service Unavailable\r\n"), extra.buf[:60])
        self.assertIn(b"\r\nRetry-After: 5\r\n", extra.buf)
        for h in held:
            h.close()
        # The next tests need the slots back: wait until the server has seen the closes.
        end = time.time() + 10
        while time.time() < end:
            head, _ = request(self.k.web_port, "GET", "/style.css")
            if status(head) == 200:
                break
            time.sleep(0.05)

    def test_7_answers_carry_the_browser_protections(self):
        for path in ("/style.css", "/login.htmcc", "/missing.png"):
            head, _ = request(self.k.web_port, "GET", path)
            for line in ("X-Frame-Options: DENY", "X-Content-Type-Options: nosniff", "Referrer-Policy: same-origin",
                         "Content-Security-Policy: default-src 'self'", "Server: Morvane\r\n"):
                self.assertIn(line, head + "\r\n", path)

    def test_8_cross_site_posts_and_logout(self):
        cookie = self.login()
        _, body = request(self.k.web_port, "GET", "/domains.htmcc", headers={"Cookie": cookie})
        token = re.search(rb'name="token" value="([0-9a-f]{32})"', body).group(1).decode()
        host = "127.0.0.1:%d" % self.k.web_port
        # A valid token is not enough from another site.
        for extra in ({"Origin": "http://evil.example"}, {"Referer": "http://evil.example/page"},
                      {"Origin": "http://127.0.0.1:1"}):
            head, _ = request(self.k.web_port, "POST", "/domains.htmcc", "action=add&domain=csrf.test&token=" + token,
                              dict({"Cookie": cookie, "Host": host}, **extra))
            self.assertEqual(status(head), 403, extra)
        self.assertLogged("WEB POST from another site refused")
        head, body = request(self.k.web_port, "POST", "/domains.htmcc", "action=add&domain=same.test&token=" + token,
                             {"Cookie": cookie, "Host": host, "Origin": "http://" + host})
        self.assertIn(b">same.test</a></td>", body)
        # Names that would become paths are refused, the file outside untouched.
        victim = os.path.join(self.k.dir, "victim.cfg")
        with open(victim, "w") as f:
            f.write("keep")
        for name in ("../victim", "../../victim", "a/b", "x y.test", "-bad.test"):
            _, body = request(self.k.web_port, "POST", "/domains.htmcc", "action=remove&domain=%s&token=%s"
                              % (name, token), {"Cookie": cookie})
            self.assertIn(b"Refused", body, name)
        self.assertTrue(os.path.exists(victim))
        # A quarantine id reaches no path but its own folder's.
        for ident in ("..%2f..%2fmorvane.ini", "..%2f..%2fmorvane", "%2e%2e%2fvictim"):
            _, body = request(self.k.web_port, "GET", "/message.htmcc?kind=1&id=" + ident, headers={"Cookie": cookie})
            self.assertNotIn(b"READMIN", body, ident)
        # A logout by GET ends the session on the server too.
        head, _ = request(self.k.web_port, "GET", "/logout.htmcc", headers={"Cookie": cookie})
        head, _ = request(self.k.web_port, "GET", "/index.htmcc", headers={"Cookie": cookie})
        self.assertTrue(head.startswith("HTTP/1.0 302 Found"), head)

    def test_9_config_writes_are_checked(self):
        cookie = self.login()
        _, body = request(self.k.web_port, "GET", "/config.htmcc?section=SPF", headers={"Cookie": cookie})
        token = re.search(rb'name="token" value="([0-9a-f]{32})"', body).group(1).decode()
        _, body = request(self.k.web_port, "POST", "/config.htmcc?section=SPF",
                          "key=spf_max_recursion&value=abc&token=" + token, {"Cookie": cookie})
        self.assertIn(b"Not saved", body)
        self.assertIn(b"not a whole number", body)
        _, body = request(self.k.web_port, "POST", "/config.htmcc?section=WEBGUI",
                          "key=x%0d%0a%5bREADMIN%5d%0d%0aenable&value=1&token=" + token, {"Cookie": cookie})
        self.assertIn(b"Not saved", body)
        with open(os.path.join(self.k.dir, "morvane.ini")) as f:
            ini = f.read()
        self.assertNotIn("spf_max_recursion=abc", ini)
        self.assertEqual(ini.count("[READMIN]"), 1)
        # The application's own files are never served, even from inside the web root.
        for name in ("copy.ini", "db/x.txt", "key.pem"):
            path = os.path.join(self.k.dir, "www", name)
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "w") as f:
                f.write("[READMIN]\nkey=x\n")
            head, _ = request(self.k.web_port, "GET", "/" + name)
            self.assertEqual(status(head), 404, name)
        # A failing page answers 500 with a plain page; the details go to the log only.
        with open(os.path.join(self.k.dir, "www", "broken.htmcc"), "w") as f:
            f.write("void html() { int x = ; }\n")
        head, body = request(self.k.web_port, "GET", "/broken.htmcc")
        self.assertEqual(status(head), 500)
        self.assertNotIn(self.k.dir.encode(), body)
        self.assertNotIn(b"broken.htmcc", body)
        self.assertLogged("WEB Script Error")

    def test_zz_failed_logins_are_throttled_per_address(self):
        # 127.0.0.3 guesses; the fifth failure refuses it at once with 429 and Retry-After.
        for _ in range(5):
            head, body = login_post(self.k.web_port, "root", "guess", source="127.0.0.3")
            self.assertIn(b"Wrong user or password", body)
        start = time.time()
        head, _ = login_post(self.k.web_port, "root", PASSWORD, source="127.0.0.3")
        self.assertEqual(status(head), 429, head)
        self.assertRegex(head, r"Retry-After: \d+")
        self.assertLess(time.time() - start, 5)
        self.assertLogged("further logins from it are refused for 60 s")
        # Another address still logs in.
        head, _ = login_post(self.k.web_port, "root", PASSWORD, source="127.0.0.1")
        self.assertIn("mvsid=", head)

    def test_zz_old_md5_password_is_replaced_at_login(self):
        import hashlib
        path = os.path.join(self.k.dir, "morvane.ini")
        with open(path, newline="") as f:
            ini = f.read()
        ini = re.sub(r"password=[^\r\n]*", "password=" + hashlib.md5(PASSWORD.encode()).hexdigest(), ini)
        with open(path, "w", newline="") as f:
            f.write(ini)
        before = self.k.log_text().count("Configuration applied to the engines")
        self.k.proc.send_signal(signal.SIGHUP)
        end = time.time() + 10
        while self.k.log_text().count("Configuration applied to the engines") == before and time.time() < end:
            time.sleep(0.05)
        head, _ = login_post(self.k.web_port, "root", PASSWORD)
        self.assertIn("mvsid=", head)
        with open(path) as f:
            self.assertIn("password=pbkdf2-sha256$", f.read())
        head, _ = login_post(self.k.web_port, "root", PASSWORD)
        self.assertIn("mvsid=", head)


def gui_main():
    node = shutil.which("node")
    chromium = shutil.which("chromium")
    module = os.path.join(ROOT, "build", "deps", "npm", "node_modules", "playwright-core")
    if not node or not chromium or not os.path.isdir(module):
        print("SKIP: the browser test needs node, /usr/bin/chromium and playwright-core in build/deps/npm "
              "(scripts/install-deps.sh installs them)")
        # CI installs every dependency: there a skip is a missing install step, not a pass.
        return 1 if os.environ.get("MORVANE_NO_SKIP") else SKIP
    k = web_kernel("web-gui")
    ok = False
    try:
        # A listed client's spam, held instead of refused (hold_spam), for the Held page.
        swaks(k.port, "--header", "Subject: held for the operator", "--body", "Cheap offer\n.dotted too",
              "--local-interface", "127.0.0.3")
        # A message through the kernel: the default policy quarantines a copy by its verdict.
        # A line starting with a dot: the quarantined copy and its release must keep it as sent.
        swaks(k.port, "--header", "Subject: quarterly report", "--body",
              "Hello Bob, the figures are attached.\n.dotted line\n..two dots")
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
