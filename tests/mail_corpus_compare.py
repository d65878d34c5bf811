#!/usr/bin/env python3
"""Compares what Morvane's mail parser reads from real messages with Python's email package,
where the two mean the same thing: the subject of single-line subjects, the top-level content
type, and the number of parts of simple multiparts. Prints the agreement and the first
disagreements of each kind.  Usage: mail_corpus_compare.py DUMP.jsonl"""
import email
import email.policy
import json
import sys

def first_line_only(value):
    return value is not None and "\n" not in value and "\r" not in value

totals = {"subject": [0, 0], "content_type": [0, 0], "parts": [0, 0]}
examples = {k: [] for k in totals}
count = 0
for line in open(sys.argv[1], encoding="utf-8"):
    ours = json.loads(line)
    count += 1
    raw = open(ours["file"], "rb").read()[:30720]
    msg = email.message_from_bytes(raw, policy=email.policy.compat32)
    # Subject: single-line raw values only (no folding, no encoded words to decode).
    subj = msg.get("Subject")
    subj = str(subj) if subj is not None else None
    if subj is not None and first_line_only(subj) and "=?" not in subj:
        totals["subject"][1] += 1
        # Both sides as bytes read as Latin-1: the comparison is of bytes, not of charsets.
        theirs = subj.encode("utf-8", "surrogateescape").decode("latin-1")
        if theirs.strip() == ours["subject"].strip():
            totals["subject"][0] += 1
        elif len(examples["subject"]) < 5:
            examples["subject"].append((ours["file"], subj, ours["subject"]))
    # Content type: when the header names one followed by ";" (what the splitter reads).
    ctype = msg.get("Content-Type")
    ctype = str(ctype) if ctype is not None else None
    if ctype and ";" in ctype.split("\n")[0]:
        totals["content_type"][1] += 1
        if msg.get_content_type() == ours["content_type"].strip():
            totals["content_type"][0] += 1
        elif len(examples["content_type"]) < 5:
            examples["content_type"].append((ours["file"], msg.get_content_type(), ours["content_type"]))
    # Parts of simple multiparts: one level, every part with a "type;" Content-Type and a body.
    if msg.is_multipart():
        parts = msg.get_payload()
        simple = isinstance(parts, list) and all(
            not p.is_multipart() and p.get("Content-Type") and ";" in str(p.get("Content-Type"))
            and p.get_payload() for p in parts)
        if simple:
            totals["parts"][1] += 1
            if len(parts) == ours["parts"]:
                totals["parts"][0] += 1
            elif len(examples["parts"]) < 5:
                examples["parts"].append((ours["file"], len(parts), ours["parts"]))

print(f"messages parsed: {count}")
for k, (agree, n) in totals.items():
    print(f"{k}: {agree}/{n} agree")
    for e in examples[k]:
        print("   differs:", e)
