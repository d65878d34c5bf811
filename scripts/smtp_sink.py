#!/usr/bin/python3
"""A back-end MTA for tests and the demo: accepts every message on a loopback port and stores
it, exactly as received, in a directory (N.eml, with N.env holding the envelope). AUTH PLAIN
and LOGIN are offered without TLS and accept the user "morvane" with the password "secret".
--tls-cert/--tls-key make it offer STARTTLS (a real TLS handshake); --offer-chunking adds
CHUNKING to its EHLO reply (it does not implement BDAT, as many MTAs that are told so by a
broken relay would not); a recipient starting with "slow" is answered only after --slow
seconds (an MTA that stops answering). Prints "ready <port>" once it listens; stops on
SIGTERM."""
import argparse
import asyncio
import os
import signal
import ssl
import sys

from aiosmtpd.controller import Controller
from aiosmtpd.smtp import AuthResult, SMTP


class Store:
    def __init__(self, directory, chunking=False, slow=0.0):
        self.directory = directory
        self.count = 0
        self.chunking = chunking
        self.slow = slow

    async def handle_EHLO(self, server, session, envelope, hostname, responses):
        session.host_name = hostname
        if self.chunking:
            responses.insert(len(responses) - 1, "250-CHUNKING")
        return responses

    async def handle_RCPT(self, server, session, envelope, address, rcpt_options):
        if address.lower().startswith("slow") and self.slow > 0:
            await asyncio.sleep(self.slow)
        envelope.rcpt_tos.append(address)
        return "250 OK"

    async def handle_DATA(self, server, session, envelope):
        self.count += 1
        base = os.path.join(self.directory, str(self.count))
        with open(base + ".eml.tmp", "wb") as f:
            f.write(envelope.original_content or b"")
        with open(base + ".env", "w") as f:
            f.write("MAIL FROM:%s\n" % envelope.mail_from)
            for r in envelope.rcpt_tos:
                f.write("RCPT TO:%s\n" % r)
        os.rename(base + ".eml.tmp", base + ".eml")
        return "250 2.0.0 Ok: queued as %d" % self.count


def authenticate(server, session, envelope, mechanism, auth_data):
    ok = getattr(auth_data, "login", None) == b"morvane" and getattr(auth_data, "password", None) == b"secret"
    return AuthResult(success=ok)


class Sink(Controller):
    def __init__(self, handler, tls=None, **kwargs):
        self.tls = tls
        super().__init__(handler, **kwargs)

    def factory(self):
        return SMTP(self.handler, hostname="sink.test", auth_require_tls=False, authenticator=authenticate,
                    data_size_limit=64 * 1024 * 1024, enable_SMTPUTF8=True, tls_context=self.tls,
                    require_starttls=False)


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--port", type=int, required=True)
    p.add_argument("--host", default="127.0.0.1")
    p.add_argument("--dir", required=True)
    p.add_argument("--tls-cert")
    p.add_argument("--tls-key")
    p.add_argument("--offer-chunking", action="store_true")
    p.add_argument("--slow", type=float, default=0.0)
    a = p.parse_args()
    os.makedirs(a.dir, exist_ok=True)
    tls = None
    if a.tls_cert:
        tls = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
        tls.load_cert_chain(a.tls_cert, a.tls_key)
    sink = Sink(Store(a.dir, a.offer_chunking, a.slow), tls=tls, hostname=a.host, port=a.port)
    sink.start()
    print("ready %d" % a.port, flush=True)
    loop = asyncio.new_event_loop()
    stop = loop.create_future()
    loop.add_signal_handler(signal.SIGTERM, lambda: stop.done() or stop.set_result(None))
    loop.add_signal_handler(signal.SIGINT, lambda: stop.done() or stop.set_result(None))
    loop.run_until_complete(stop)
    sink.stop()
    return 0


if __name__ == "__main__":
    sys.exit(main())
