#!/usr/bin/env python3
"""The cooperative network end to end: two kernels on loopback with the shipped policy, one of
them serving. Spam refused by one is announced, and raises the other's score for that client;
unsigned and forged datagrams change nothing; a silent server costs at most cmy_timeout.

    community_test.py MORVANE MORVANECTL
"""
import hashlib
import hmac
import os
import socket
import struct
import subprocess
import sys
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import relay_test as rt  # noqa: E402  (its kernel, sink and DNS helpers)

SECRET = "community-test-secret"
MORVANECTL = None


def datagram(kind, fields, secret, verdict=2, when=None):
    body = b"MVC1" + bytes([1, kind]) + struct.pack(">QI", int.from_bytes(os.urandom(8), "big"),
                                                     int(when or time.time())) + bytes([verdict])
    for f in fields:
        body += bytes([len(f)]) + f.encode()
    return body + hmac.new(secret.encode(), body, hashlib.sha256).digest()


def wait_listed(port, client, seconds=15):
    """Asks the server about `client` (signed queries, as a kernel asks) until it answers more than
    NEUTRAL: the announcement has arrived. The state is polled, not guessed with a sleep."""
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.settimeout(0.2)
    end = time.time() + seconds
    try:
        while time.time() < end:
            s.sendto(datagram(1, [client, "probe@spf-pass.test", "probe", "test"], SECRET, verdict=0), ("127.0.0.1", port))
            try:
                answer = s.recv(2048)
            except socket.timeout:
                continue
            if len(answer) > 18 and answer[5] == 2 and answer[18] > 0:
                return
            time.sleep(0.05)
    finally:
        s.close()
    raise AssertionError("the server never listed " + client)


def send(port, source, sender, subject):
    subprocess.run(["swaks", "--server", "127.0.0.1:%d" % port, "--local-interface", source, "--from", sender,
                    "--to", "bob@example.net", "--helo", "mail.example.org", "--header", "Subject: " + subject,
                    "--body", "Hello Bob."], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=60)


def score_header(subject):
    """The X-Morvane-Score line of the sink's message with that subject ("" when none)."""
    for _, content in rt.sink_messages():
        text = content.decode("latin-1")
        if "Subject: " + subject in text:
            for line in text.splitlines():
                if line.startswith("X-Morvane-Score:"):
                    return line
            return "(no score header)"
    return ""


def wait_score(subject, seconds=15):
    end = time.time() + seconds
    while time.time() < end:
        h = score_header(subject)
        if h:
            return h
        time.sleep(0.1)
    raise AssertionError("the sink never got " + subject)


class CommunityTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.serve_port = rt.free_port()
        common = {"secret": SECRET, "server_0": "127.0.0.1:%d" % cls.serve_port, "cmy_timeout": "400"}
        grey = {"greylist_enable": "0"}
        cls.admin_port = rt.free_port()
        cls.server = rt.Kernel("serving", {"COMMUNITY": dict(common, serve_port=str(cls.serve_port),
                                                             peer_name="serving"), "GREYLIST": grey,
                                           "READMIN": {"port": str(cls.admin_port), "key": "community-admin"}})
        cls.client = rt.Kernel("client", {"COMMUNITY": dict(common, peer_name="client"), "GREYLIST": grey})

    @classmethod
    def tearDownClass(cls):
        cls.client.stop()
        cls.server.stop()

    def test_1_spam_refused_by_one_kernel_raises_the_others_score(self):
        # Before any announcement: the serving kernel passes the client with no community score.
        send(self.server.port, "127.0.0.4", "before@spf-pass.test", "before")
        self.assertNotIn("community", wait_score("before"))
        # The other kernel refuses a forged sender from 127.0.0.4 (SPF fail) and announces it.
        send(self.client.port, "127.0.0.4", "forger@spf-fail.test", "forged")
        wait_listed(self.serve_port, "127.0.0.4")
        # Now mail from that address through the serving kernel carries the network's verdict.
        send(self.server.port, "127.0.0.4", "other@spf-pass.test", "after")
        self.assertIn("community-SOFTFAIL", wait_score("after"))

    def test_2_unsigned_and_forged_datagrams_change_nothing(self):
        s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        fields = ["127.0.0.6", "x@spf-pass.test", "h", "mallory"]
        s.sendto(b"MVC1 not signed at all", ("127.0.0.1", self.serve_port))
        s.sendto(datagram(3, fields, "the wrong secret"), ("127.0.0.1", self.serve_port))
        s.sendto(datagram(3, fields, SECRET, when=time.time() - 3600), ("127.0.0.1", self.serve_port))
        s.close()
        time.sleep(0.5)
        send(self.server.port, "127.0.0.6", "y@spf-pass.test", "forged-datagrams")
        self.assertNotIn("community", wait_score("forged-datagrams"))

    def test_4_operators_see_the_servers_through_morvanectl(self):
        rt.wait_port(self.admin_port, self.server.proc)
        out = subprocess.run([MORVANECTL, "--appdir", self.server.dir, "community", "probe@spf-pass.test"],
                             capture_output=True, text=True, timeout=30)
        self.assertEqual(out.returncode, 0, out.stderr)
        self.assertIn("answered\t1", out.stdout)
        self.assertIn("127.0.0.1:%d\t127.0.0.1:%d|" % (self.serve_port, self.serve_port), out.stdout)

    def test_5_dropped_datagrams_are_logged_at_the_save(self):
        self.server.stop()  # the last test: the final save reports what test 2 sent
        self.assertIn("Cooperative network: 3 datagrams dropped so far (malformed 1, wrong signature 1, stale or "
                      "repeated 1)", self.server.log_text())

    def test_3_a_silent_server_costs_at_most_the_time_out(self):
        silent = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        silent.bind(("127.0.0.1", 0))
        k = rt.Kernel("silent", {"COMMUNITY": {"secret": SECRET, "cmy_timeout": "300",
                                               "server_0": "127.0.0.1:%d" % silent.getsockname()[1],
                                               "server_1": "127.0.0.1:%d" % silent.getsockname()[1]},
                                 "GREYLIST": {"greylist_enable": "0"}})
        try:
            c = rt.Raw(k.port, source="127.0.0.7")
            self.assertTrue(c.reply().startswith(b"220"))
            c.cmd(b"HELO mail.example.org")
            start = time.time()
            reply = c.cmd(b"MAIL FROM:<z@spf-pass.test>")
            took = time.time() - start
            self.assertTrue(reply.startswith(b"250"), reply)
            self.assertLess(took, 1.5, "one time-out of 300 ms for both servers, plus the SPF lookup")
            # The silent server heard the query: the client did ask.
            silent.settimeout(1)
            self.assertTrue(silent.recvfrom(2048)[0].startswith(b"MVC1"))
            c.close()
        finally:
            k.stop()
            silent.close()


def main():
    global MORVANECTL
    rt.MORVANE = os.path.abspath(sys.argv.pop(1))
    MORVANECTL = os.path.abspath(sys.argv.pop(1))
    return rt.run_with_peers("morvane-community-", rt.run_unittests)


if __name__ == "__main__":
    sys.exit(main())
