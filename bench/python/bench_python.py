#!/usr/bin/env python3
"""The Python package against the sqlite3 module, on the same rows.

    bench_python.py N [--rows R] [--repeat K] [--dir DIR]

Builds an ISAM file (through the package, with a schema) and an SQLite
database (through sqlite3) holding the same R rows (100 000 by default) of
seven columns: a unique id in random order, two texts, a 16-bit, a double, a
64-bit and a 32-bit number; the ISAM file's primary key and an SQLite index
(CREATE UNIQUE INDEX) on id.  Then times, on each, the best of K runs (5;
wisam's and sqlite3's take turns):

  full scan          every row in stored order: iter(f.index(0)), SELECT * FROM t
  scan in id order   every row by id: iter(f), SELECT * FROM t ORDER BY id
  keyed reads        N reads of random ids: f.read(id), SELECT ... WHERE id = ?

and prints rows per second for each and the time a row takes with wisam
divided by the time with sqlite3 (below 1: wisam is faster).  wisam gives
each row as a dict of field values, sqlite3 as a tuple (its default, the
cheaper of the two).  Both files are opened the ordinary way: the ISAM file
shared with other processes (each read takes the file's state lock, a scan
one per batch), the database with a default connection.  Every run checks
what it read: the row count and a sum over every column must match the
data written.

--breakdown also splits a row of the full scan into its parts: the library
call alone (isRead in batches of 256 under one kept lock, as a scan makes
it), decoding a record into a dict alone, and the rest (batching, chaining,
the list).

The library is the one the package finds: set WISAM_LIBRARY to a release
build's libwisam.so (a debug build measures the debug build).
"""

import argparse
import ctypes
import os
import random
import sqlite3
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))),
                                "python"))
import wisam  # noqa: E402 - after the path to the package

SCHEMA = {
    "record_length": 64,
    "fields": [
        {"name": "id", "offset": 0, "length": 4, "type": "long"},
        {"name": "name", "offset": 4, "length": 20, "type": "char", "pad": "blank"},
        {"name": "city", "offset": 24, "length": 12, "type": "string"},
        {"name": "born", "offset": 36, "length": 2, "type": "int"},
        {"name": "score", "offset": 38, "length": 8, "type": "double"},
        {"name": "stamp", "offset": 46, "length": 8, "type": "time"},
        {"name": "grp", "offset": 54, "length": 4, "type": "nlong"},
    ],
    "indexes": [{"number": 1, "unique": True, "parts": ["id"]}],
}
COLUMNS = [f["name"] for f in SCHEMA["fields"]]


def make_rows(count, rng):
    ids = rng.sample(range(10 * count), count)
    return [(i, "name %d" % i, "city %d" % (i % 97), 1900 + i % 120, i * 0.25, i * 1000003, i % 11 - 5)
            for i in ids]


def digest(rows):
    """A sum over every column of rows given as tuples: what a run must see."""
    total = 0
    for r in rows:
        total += r[0] + len(r[1]) + len(r[2]) + r[3] + int(r[4] * 4) + r[5] + r[6]
    return total


def digest_dicts(records):
    total = 0
    for r in records:
        total += r["id"] + len(r["name"]) + len(r["city"]) + r["born"] + int(r["score"] * 4) + r["stamp"] + r["grp"]
    return total


def best(repeat, runs, want):
    """The shortest time of each of runs over repeat rounds, the runs taking
    turns in each round so that a busy machine slows each alike.  A run is
    (who, read, check): read() returns the rows it read (the part timed),
    check(rows) their (count, sum), which must be want."""
    times = [[] for _ in runs]
    for _ in range(repeat):
        for n, (who, read, check) in enumerate(runs):
            start = time.perf_counter()
            rows = read()
            times[n].append(time.perf_counter() - start)
            got = check(rows)
            if got != want:
                raise SystemExit("%s read %r, not the %r written" % (who, got, want))
    return [min(t) for t in times]


def breakdown(f, repeat, count):
    """Microseconds a row of a full scan of f spends in isRead, in decoding, and
    in all (the package's own scan)."""
    fast, h = wisam._lib.fast, f._h
    buffer = ctypes.create_string_buffer(f._buffer_size)
    view = memoryview(buffer)

    def reads():
        mode, rows = 0, 0
        fast.isIndex(h, 0)
        while True:
            fast.isSetCustomLock(h, 1)
            for _ in range(256):
                if not fast.isRead(h, buffer, mode):
                    fast.isSetCustomLock(h, 0)
                    f._selected = None
                    return rows
                mode, rows = 2, rows + 1
            fast.isSetCustomLock(h, 0)

    def decodes():
        decode = f.schema.decode
        return [decode(view) for _ in range(count)]

    times = {"isRead": [], "decode": [], "whole scan": []}
    for _ in range(repeat):
        for name, run in [("isRead", reads), ("decode", decodes), ("whole scan", lambda: list(f.index(0)))]:
            start = time.perf_counter()
            run()
            times[name].append((time.perf_counter() - start) / count * 1e6)
    return {name: min(t) for name, t in times.items()}


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("reads", type=int, metavar="N", help="keyed reads to time")
    parser.add_argument("--rows", type=int, default=100000)
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--dir", help="where to put the files (a temporary directory by default)")
    parser.add_argument("--breakdown", action="store_true", help="split a row of the full scan into its parts")
    args = parser.parse_args()
    if args.reads < 1 or args.rows < 1 or args.repeat < 1:
        parser.error("N, --rows and --repeat are at least 1")
    rng = random.Random(2024)
    rows = make_rows(args.rows, rng)
    keys = [rng.choice(rows)[0] for _ in range(args.reads)]
    by_id = {r[0]: r for r in rows}
    want_scan = (len(rows), digest(rows))
    want_reads = (len(keys), digest(by_id[k] for k in keys))

    with tempfile.TemporaryDirectory(dir=args.dir) as where:
        schema = wisam.Schema(SCHEMA)
        path = os.path.join(where, "people")
        with wisam.build(path, schema=schema, exclusive=True) as f, f.locked():
            for r in rows:
                f.write(dict(zip(COLUMNS, r)))
        db = sqlite3.connect(os.path.join(where, "people.db"))
        db.execute("CREATE TABLE t (id INTEGER, name TEXT, city TEXT, born INTEGER, score REAL, stamp INTEGER,"
                   " grp INTEGER)")
        db.execute("CREATE UNIQUE INDEX t_id ON t (id)")
        with db:
            db.executemany("INSERT INTO t VALUES (?, ?, ?, ?, ?, ?, ?)", rows)
        db.close()

        f = wisam.open(path, schema=schema)
        db = sqlite3.connect(os.path.join(where, "people.db"))
        wisam_runs = {
            "full scan": lambda: list(f.index(0)),
            "scan in id order": lambda: list(f),
            "keyed reads": lambda: [f.read(k) for k in keys],
        }
        sqlite_runs = {
            "full scan": lambda: list(db.execute("SELECT * FROM t")),
            "scan in id order": lambda: list(db.execute("SELECT * FROM t ORDER BY id")),
            "keyed reads": lambda: [db.execute("SELECT * FROM t WHERE id = ?", (k,)).fetchone() for k in keys],
        }
        print("%d rows, %d keyed reads, best of %d runs; library %s" % (len(rows), len(keys), args.repeat,
                                                                           wisam._lib._cdll._name))
        print("%-18s %14s %14s %14s" % ("", "wisam rows/s", "sqlite3 rows/s", "time ratio"))
        for name in wisam_runs:
            want = want_reads if name == "keyed reads" else want_scan
            mine, theirs = best(args.repeat, [
                ("wisam, " + name, wisam_runs[name], lambda recs: (len(recs), digest_dicts(recs))),
                ("sqlite3, " + name, sqlite_runs[name], lambda recs: (len(recs), digest(recs)))], want)
            count = want[0]
            print("%-18s %14.0f %14.0f %14.2f" % (name, count / mine, count / theirs, mine / theirs))
        if args.breakdown:
            parts = breakdown(f, args.repeat, len(rows))
            print("a row of the full scan, microseconds: isRead %.3f, decode %.3f, the rest %.3f, whole %.3f"
                  % (parts["isRead"], parts["decode"], parts["whole scan"] - parts["isRead"] - parts["decode"],
                     parts["whole scan"]))
        f.close()
        db.close()


if __name__ == "__main__":
    main()
