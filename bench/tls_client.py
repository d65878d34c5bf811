#!/usr/bin/python3
"""An SMTP load generator for the TLS benchmark: SESSIONS concurrent connections deliver
MESSAGES messages of SIZE bytes in all, one message per connection, in clear or over STARTTLS.
Prints messages per second; with --handshakes N, the mean cost in ms of N connections that only
greet, EHLO, (STARTTLS,) QUIT, one after the other.

usage: tls_client.py PORT [--tls] [--sessions 50] [--messages 2000] [--size 5120] [--handshakes N]"""
import argparse
import asyncio
import ssl
import time


def context():
    ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
    ctx.check_hostname = False
    ctx.verify_mode = ssl.CERT_NONE
    return ctx


async def reply(reader):
    while True:
        line = await reader.readline()
        if not line:
            raise ConnectionError("closed")
        if line[3:4] != b"-":
            return line


async def session(port, tls, body, deliver):
    reader, writer = await asyncio.open_connection("127.0.0.1", port)
    await reply(reader)
    writer.write(b"EHLO bench.test\r\n")
    await reply(reader)
    if tls:
        writer.write(b"STARTTLS\r\n")
        assert (await reply(reader)).startswith(b"220")
        await writer.start_tls(context())
        writer.write(b"EHLO bench.test\r\n")
        await reply(reader)
    if deliver:
        writer.write(b"MAIL FROM:<from@bench.test>\r\nRCPT TO:<to@bench.test>\r\nDATA\r\n")
        for _ in range(3):
            await reply(reader)
        writer.write(body)
        assert (await reply(reader)).startswith(b"250")
    writer.write(b"QUIT\r\n")
    await reply(reader)
    writer.close()


async def load(a):
    body = (b"Subject: bench\r\n\r\n" + b"x" * 76 + b"\r\n") * max(1, a.size // 96) + b".\r\n"
    left = [a.messages]

    async def worker():
        while left[0] > 0:
            left[0] -= 1
            await session(a.port, a.tls, body, True)

    start = time.perf_counter()
    await asyncio.gather(*(worker() for _ in range(a.sessions)))
    print("%.1f" % (a.messages / (time.perf_counter() - start)))


async def handshakes(a):
    start = time.perf_counter()
    for _ in range(a.handshakes):
        await session(a.port, a.tls, b"", False)
    print("%.3f" % ((time.perf_counter() - start) * 1000 / a.handshakes))


def main():
    p = argparse.ArgumentParser()
    p.add_argument("port", type=int)
    p.add_argument("--tls", action="store_true")
    p.add_argument("--sessions", type=int, default=50)
    p.add_argument("--messages", type=int, default=2000)
    p.add_argument("--size", type=int, default=5120)
    p.add_argument("--handshakes", type=int, default=0)
    a = p.parse_args()
    asyncio.run(handshakes(a) if a.handshakes else load(a))


if __name__ == "__main__":
    main()
