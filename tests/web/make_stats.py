#!/usr/bin/env python3
"""Writes daily statistics files (db/DAY_YYYY-MM-DD.stc) for the 29 days before today, with
known figures, for the dashboard's charts: day N back has sessions 10 * N and spam tagged N.
The format: time (u32 LE), count, then per counter: name length (u32), name, type (u16),
sub-type (u16), value (f32)."""
import datetime
import os
import struct
import sys


def stc(when, counters):
    out = struct.pack("<II", int(when), len(counters))
    for name, kind, value in counters:
        b = name.encode()
        out += struct.pack("<I", len(b)) + b + struct.pack("<HHf", kind, 0, float(value))
    return out


def main():
    db = sys.argv[1]
    os.makedirs(db, exist_ok=True)
    today = datetime.date.today()
    for back in range(1, 30):
        day = today - datetime.timedelta(days=back)
        when = datetime.datetime(day.year, day.month, day.day, 12).timestamp()
        data = stc(when, [("f1tot_conn", 1, 10 * back), ("f5_spam_tagged", 5, back), ("f8_grey_bloc", 8, 2)])
        with open(os.path.join(db, "DAY_%s.stc" % day.isoformat()), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    main()
