#!/usr/bin/python3
"""A back-end MTA for tests and the demo: accepts every message on a loopback port and stores
it, exactly as received, in a directory (N.eml, with N.env holding the envelope). AUTH PLAIN
and LOGIN are offered without TLS and accept the user "morvane" with the password "secret".
Prints "ready <port>" once it listens; stops on SIGTERM."""
import argparse
import asyncio
import os
import signal
import sys

from aiosmtpd.controller import Controller
from aiosmtpd.smtp import AuthResult, SMTP


class Store:
    def __init__(self, directory):
        self.directory = directory
        self.count = 0

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
    def factory(self):
        return SMTP(self.handler, hostname="sink.test", auth_require_tls=False, authenticator=authenticate,
                    data_size_limit=64 * 1024 * 1024, enable_SMTPUTF8=True)


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--port", type=int, required=True)
    p.add_argument("--dir", required=True)
    a = p.parse_args()
    os.makedirs(a.dir, exist_ok=True)
    sink = Sink(Store(a.dir), hostname="127.0.0.1", port=a.port)
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
