#!/usr/bin/env python3
"""DKIM verification against signatures made by an independent signer (dkimpy, Debian's
python3-dkim): RSA-2048 and Ed25519 keys, relaxed and simple canonicalisation of header and
body, l=, several signatures on one message. Every signed message passes; every altered signed
header byte or body byte turns pass into fail; revoked, missing and unreachable keys, rsa-sha1
and expired signatures get their own results.

usage: dkim_test.py path/to/dkim_verify
"""
import base64
import os
import subprocess
import sys
import tempfile

import dkim
import nacl.signing

VERIFY = sys.argv[1]
DOMAIN = b"example.org"


def fail(msg):
    print("FAIL: " + msg, file=sys.stderr)
    sys.exit(1)


def rsa_key(work, bits=2048):
    key = os.path.join(work, "rsa%d.pem" % bits)
    subprocess.run(["openssl", "genpkey", "-algorithm", "RSA", "-pkeyopt", "rsa_keygen_bits:%d" % bits, "-out", key],
                   check=True, capture_output=True)
    der = subprocess.run(["openssl", "pkey", "-in", key, "-pubout", "-outform", "DER"], check=True,
                         capture_output=True).stdout
    return open(key, "rb").read(), "v=DKIM1; k=rsa; p=" + base64.b64encode(der).decode()


def ed_key():
    seed = os.urandom(32)
    public = nacl.signing.SigningKey(seed).verify_key.encode()
    return base64.b64encode(seed), "v=DKIM1; k=ed25519; p=" + base64.b64encode(public).decode()


MESSAGE = (b"From: Alice Example <alice@example.org>\r\n"
           b"To: bob@example.net\r\n"
           b"Subject:  Lunch   on\r\n\tFriday \r\n"
           b"Date: Tue, 1 Dec 2026 09:59:00 +0000\r\n"
           b"Message-ID: <1234@mail.example.org>\r\n"
           b"\r\n"
           b"Hello Bob,  \r\n"
           b"\r\n"
           b"see you at  noon.\t\r\n"
           b"\r\n"
           b"\r\n")


def sign(message, selector, key, canon, algorithm=b"rsa-sha256", length=False):
    sig = dkim.sign(message, selector, DOMAIN, key, canonicalize=canon, signature_algorithm=algorithm,
                    include_headers=[b"from", b"to", b"subject", b"date", b"message-id"], length=length)
    return sig + message


def run(keys, files):
    path = os.path.join(WORK, "keys")
    with open(path, "w") as f:
        for name, txt in keys.items():
            f.write("%s\t%s\n" % (name, txt))
    out = subprocess.run([VERIFY, path] + files, check=True, capture_output=True, text=True).stdout
    return [line.split("\t") for line in out.splitlines()]


WORK = tempfile.mkdtemp(prefix="morvane_dkim_")
rsa_priv, rsa_txt = rsa_key(WORK)
ed_priv, ed_txt = ed_key()
small_priv, small_txt = rsa_key(WORK, 512)
keys = {"rsa._domainkey.example.org": rsa_txt, "ed._domainkey.example.org": ed_txt,
        "small._domainkey.example.org": small_txt, "revoked._domainkey.example.org": "v=DKIM1; k=rsa; p=",
        "down._domainkey.example.org": "TEMPFAIL"}


def write(name, data):
    path = os.path.join(WORK, name)
    with open(path, "wb") as f:
        f.write(data)
    return path


cases = []
for sel, priv, alg in ((b"rsa", rsa_priv, b"rsa-sha256"), (b"ed", ed_priv, b"ed25519-sha256")):
    for canon in ((b"relaxed", b"relaxed"), (b"simple", b"simple"), (b"relaxed", b"simple"), (b"simple", b"relaxed")):
        name = "%s-%s-%s" % (sel.decode(), canon[0].decode(), canon[1].decode())
        cases.append((name, sign(MESSAGE, sel, priv, canon, alg)))
cases.append(("rsa-length", sign(MESSAGE, b"rsa", rsa_priv, (b"relaxed", b"relaxed"), length=True)))
both = sign(sign(MESSAGE, b"rsa", rsa_priv, (b"relaxed", b"relaxed")), b"ed", ed_priv, (b"relaxed", b"simple"),
            b"ed25519-sha256")
cases.append(("two-signatures", both))

# Every signed message passes.
files = [write(n + ".eml", m) for n, m in cases]
for row in run(keys, files):
    if row[1] != "pass":
        fail("%s: %s (%s)" % (os.path.basename(row[0]), row[1], row[-1]))
print("dkim: %d signed messages pass" % len(files))

# Every altered byte of a signed header field or of the body fails. Relaxed canonicalisation
# forgives changes of white space and of header name case only.
altered = []
for name, m in cases[:8]:
    head, body = m.split(b"\r\n\r\n", 1)
    for i, (old, new) in enumerate(((b"Lunch", b"Lumch"), (b"alice@", b"alicf@"), (b"Date: Tue", b"Date: Wed"))):
        altered.append((name + "-h%d" % i, head.replace(old, new, 1) + b"\r\n\r\n" + body))
    altered.append((name + "-b", head + b"\r\n\r\n" + body.replace(b"noon", b"nopn")))
    altered.append((name + "-b2", head + b"\r\n\r\n" + body + b"PS\r\n"))
files = [write(n + ".eml", m) for n, m in altered]
for row in run(keys, files):
    if row[1] != "fail":
        fail("%s: %s, not fail (%s)" % (os.path.basename(row[0]), row[1], row[-1]))
print("dkim: %d altered messages fail" % len(files))

# With l=, text added after the signed part does not break the signature.
head, body = cases[8][1].split(b"\r\n\r\n", 1)
rows = run(keys, [write("appended.eml", head + b"\r\n\r\n" + body + b"Appended by a list.\r\n")])
if rows[0][1] != "pass":
    fail("l= and appended text: %s" % rows[0])

# Keys: revoked, missing, unreachable, too small; and rsa-sha1.
special = {
    "revoked": (sign(MESSAGE, b"revoked", rsa_priv, (b"relaxed", b"relaxed")), "permerror"),
    "missing": (sign(MESSAGE, b"nokey", rsa_priv, (b"relaxed", b"relaxed")), "permerror"),
    "down": (sign(MESSAGE, b"down", rsa_priv, (b"relaxed", b"relaxed")), "temperror"),
    "small": (sign(MESSAGE, b"small", small_priv, (b"relaxed", b"relaxed")), "policy"),
    "sha1": (sign(MESSAGE, b"rsa", rsa_priv, (b"relaxed", b"relaxed"), b"rsa-sha1"), "policy"),
}
for name, (m, want) in special.items():
    rows = run(keys, [write(name + ".eml", m)])
    if rows[0][1] != want:
        fail("%s: %s, not %s (%s)" % (name, rows[0][1], want, rows[0][-1]))
rows = run(keys, [write("unsigned.eml", MESSAGE)])
if rows[0][1] != "none":
    fail("unsigned: %s" % rows[0])
print("dkim: key and algorithm cases as expected")
