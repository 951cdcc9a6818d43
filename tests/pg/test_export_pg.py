"""`wisam export-pg` against a real PostgreSQL server: a throw-away cluster in
a temporary directory, run by an unprivileged user (nobody, when the tests run
as root) and reached only through a Unix socket in that directory.  The export
of a file of random records (nulls and extremes among them) is piped into
psql; the table must hold as many rows, every value, and give the file's order
for every index.

Skipped, saying why, only where no PostgreSQL server is installed
(scripts/test.sh installs Debian's postgresql).  WISAM_PG_ROWS=N times the
export of N records instead (README: export-pg throughput).
"""

import glob
import json
import os
import pwd
import random
import shutil
import struct
import subprocess
import tempfile
import time

import pytest

import wisam

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
TOOL = os.environ.get("WISAM_TOOL") or os.path.join(ROOT, "build", "test", "wisam")

SCHEMA = {
    "record_length": 72,
    "fields": [
        {"name": "id", "offset": 0, "length": 4, "type": "long"},
        {"name": "name", "offset": 4, "length": 16, "type": "char", "pad": "blank", "null": " "},
        {"name": "qty", "offset": 20, "length": 2, "type": "int"},
        {"name": "n32", "offset": 22, "length": 4, "type": "nlong", "null": -1},
        {"name": "ratio", "offset": 26, "length": 4, "type": "float"},
        {"name": "price", "offset": 30, "length": 8, "type": "double", "null": "zero"},
        {"name": "blob", "offset": 38, "length": 6, "type": "bytes"},
        {"name": "wide", "offset": 44, "length": 12, "type": "wtext"},
        {"name": "stamp", "offset": 56, "length": 8, "type": "time"},
        {"name": "note", "offset": 64, "length": 8, "type": "string"},
    ],
    "indexes": [
        {"number": 1, "unique": True, "parts": ["id"]},
        {"number": 2, "parts": [{"field": "name", "descending": True}], "flags": ["compress"]},
        {"number": 3, "parts": ["qty", {"field": "id", "descending": True}]},
        {"number": 4, "unique": True, "parts": ["stamp"]},
    ],
}
COLUMNS = [f["name"] for f in SCHEMA["fields"]]


def postgres_bin():
    found = sorted(glob.glob("/usr/lib/postgresql/*/bin/initdb"), key=lambda p: int(p.split("/")[4]))
    return os.path.dirname(found[-1]) if found else None


class Cluster:
    """A PostgreSQL cluster of its own, on a socket in its directory."""

    def __init__(self):
        bindir = postgres_bin()
        if bindir is None:
            pytest.skip("PostgreSQL is not installed (apt-get install postgresql; scripts/test.sh does)")
        self.bindir = bindir
        root = os.geteuid() == 0
        # Under /tmp when it is to belong to nobody, who must reach it.
        self.dir = tempfile.mkdtemp(prefix="wisam-pg-", dir="/tmp" if root else None)
        self.user = []
        if root:
            # The server refuses to run as root: the cluster belongs to nobody.
            nobody = pwd.getpwnam("nobody")
            os.chown(self.dir, nobody.pw_uid, nobody.pw_gid)
            os.chmod(self.dir, 0o755)
            self.user = ["runuser", "-u", "nobody", "--"]
        data = os.path.join(self.dir, "data")
        self.run([os.path.join(bindir, "initdb"), "-D", data, "-U", "wisam", "-A", "trust", "-E", "UTF8",
                  "--no-locale", "--no-sync"])
        self.run([os.path.join(bindir, "pg_ctl"), "-D", data, "-l", os.path.join(self.dir, "log"), "-w",
                  "-o", "-c listen_addresses='' -k %s -c fsync=off" % self.dir, "start"])

    def run(self, command):
        subprocess.run(self.user + command, check=True, capture_output=True, cwd=self.dir)

    def psql(self, sql=None, stdin=None):
        command = [os.path.join(self.bindir, "psql"), "-h", self.dir, "-U", "wisam", "-d", "postgres", "-X", "-q",
                   "-v", "ON_ERROR_STOP=1", "-A", "-t"]
        if sql is not None:
            command += ["-c", sql]
        return subprocess.run(command, check=True, capture_output=True, text=True, stdin=stdin).stdout

    def stop(self):
        subprocess.run(self.user + [os.path.join(self.bindir, "pg_ctl"), "-D", os.path.join(self.dir, "data"),
                                    "-m", "immediate", "stop"], capture_output=True, cwd=self.dir)
        shutil.rmtree(self.dir, ignore_errors=True)


@pytest.fixture(scope="module")
def cluster():
    c = Cluster()
    yield c
    c.stop()


def as_float32(x):
    return struct.unpack("=f", struct.pack("=f", x))[0]


def random_record(rng, key):
    edge = rng.random() < 0.15
    # Text of bytes from the blank up: PostgreSQL's "C" collation then orders
    # the trimmed text as the file orders the blank-padded field.
    text = lambda n: "".join(rng.choice("AbZ z09.,'\"\\\u00e9~") if i else rng.choice("AbZz09")
                             for i in range(rng.randrange(1, n + 1))).rstrip(" ")
    return {
        "id": key,
        "name": None if edge else (text(6) + rng.choice(["", "\\", "'q'"])),
        "qty": rng.choice([-32768, 32767]) if edge else rng.randrange(-20, 20),
        "n32": None if edge and rng.random() < 0.5 else rng.choice([-2**31, 2**31 - 1, 7]),
        "ratio": rng.choice([0.0, -0.0, 3.4028234663852886e38, as_float32(1e-45)]) if edge
        else as_float32(rng.uniform(-1e5, 1e5)),
        "price": None if edge else rng.choice([1.7976931348623157e308, 5e-324, rng.uniform(-1e9, 1e9)]),
        "blob": bytes(rng.randrange(256) for _ in range(6)),
        "wide": rng.choice(["", "\u00e9t\u00e9", "wide!", "\u4e2d\u6587"]),
        "stamp": key * 2**32 + 2**63 if key >= 0 else 2**63 + key,
        "note": text(8).replace("\u00e9", "e")[:8],
    }


def make_file(directory, count, seed=15):
    rng = random.Random(seed)
    with open(os.path.join(directory, "s.json"), "w") as f:
        json.dump(SCHEMA, f)
    path = os.path.join(directory, "stock")
    records = {}
    with wisam.build(path, schema=wisam.Schema(SCHEMA), exclusive=True) as f, f.locked():
        for key in rng.sample(range(-1_000_000, 1_000_000), count):
            records[key] = random_record(rng, key)
            f.write(records[key])
    return path, records


def export(cluster, path, table):
    run = subprocess.Popen([TOOL, "export-pg", path, "--schema", os.path.join(os.path.dirname(path), "s.json"),
                            "--table", table], stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    cluster.psql(stdin=run.stdout)
    run.stdout.close()
    assert run.wait() == 0, run.stderr.read()
    return run.stderr.read().decode()


def rows(cluster, sql):
    """The rows of a query as dicts of the columns' values (JSON from the server)."""
    # "-0" is a float's negative zero (real and double precision print it so).
    number = lambda text: -0.0 if text == "-0" else int(text)
    return [json.loads(line, parse_int=number)
            for line in cluster.psql("SELECT row_to_json(q) FROM (%s) q" % sql).splitlines()]


def value(field, got):
    """A value from the server as the file holds it."""
    if got is None:
        return None
    kind = next(f["type"] for f in SCHEMA["fields"] if f["name"] == field)
    if kind == "bytes":
        return bytes.fromhex(got[2:])
    if kind == "float":
        return as_float32(got)
    if kind == "double":
        return float(got)
    return got


def test_export_matches_the_file_row_for_row_and_in_index_order(cluster, tmp_path):
    if not os.path.exists(TOOL):
        pytest.skip("the wisam tool is not built (set WISAM_TOOL)")
    path, records = make_file(str(tmp_path), 3000)
    export(cluster, path, "stock")
    assert cluster.psql("SELECT count(*) FROM stock").strip() == str(len(records))
    # Every value, as the file holds it (floats by their bits: -0.0 stays -0.0).
    with wisam.open(path, readonly=True, schema=wisam.Schema(SCHEMA)) as f:
        in_file = list(f)
    in_table = rows(cluster, "SELECT * FROM stock ORDER BY id")
    assert len(in_table) == len(in_file) == len(records)
    for mine, theirs in zip(in_file, in_table):
        assert mine == records[mine["id"]]
        for k in COLUMNS:
            a, b = mine[k], value(k, theirs[k])
            if isinstance(a, float):
                assert struct.pack("=d", a) == struct.pack("=d", b), (mine["id"], k, a, b)
            else:
                assert a == b, (mine["id"], k, a, b)
    # Every index: the file's order is the table's order on the index columns.
    with wisam.open(path, readonly=True, schema=wisam.Schema(SCHEMA)) as f:
        orders = {n: [tuple(r[c] for c in cols) for r in f.index(n)]
                  for n, cols in [(1, ["id"]), (2, ["name"]), (3, ["qty", "id"]), (4, ["stamp"])]}
    for n, sql in [(1, "SELECT id FROM stock ORDER BY id"),
                   (2, "SELECT name FROM stock ORDER BY name DESC NULLS LAST"),
                   (3, "SELECT qty, id FROM stock ORDER BY qty, id DESC"),
                   (4, "SELECT stamp FROM stock ORDER BY stamp")]:
        table = [tuple(r.values()) for r in rows(cluster, sql)]
        assert table == orders[n], "index %d" % n
    indexes = cluster.psql("SELECT indexname || ' ' || indexdef FROM pg_indexes WHERE tablename = 'stock' "
                           "ORDER BY indexname").splitlines()
    assert indexes == [
        "stock_2 CREATE INDEX stock_2 ON public.stock USING btree (name DESC)",
        "stock_3 CREATE INDEX stock_3 ON public.stock USING btree (qty, id DESC)",
        "stock_4 CREATE UNIQUE INDEX stock_4 ON public.stock USING btree (stamp)",
        "stock_pkey CREATE UNIQUE INDEX stock_pkey ON public.stock USING btree (id)",
    ]
    # The unique indexes hold in the table too.
    with pytest.raises(subprocess.CalledProcessError):
        cluster.psql("INSERT INTO stock SELECT * FROM stock LIMIT 1")


@pytest.mark.skipif("WISAM_PG_ROWS" not in os.environ, reason="set WISAM_PG_ROWS=N to time the export of N records")
def test_export_throughput(cluster, tmp_path):
    count = int(os.environ["WISAM_PG_ROWS"])
    path, _ = make_file(str(tmp_path), count, seed=1)
    started = time.monotonic()
    with open(os.devnull, "wb") as null:
        done = subprocess.run([TOOL, "export-pg", path, "--schema", os.path.join(str(tmp_path), "s.json")],
                              stdout=null, stderr=subprocess.PIPE, check=True)
    alone = time.monotonic() - started
    started = time.monotonic()
    export(cluster, path, "big")
    loaded = time.monotonic() - started
    assert cluster.psql("SELECT count(*) FROM big").strip() == str(count)
    print("\nexport-pg of %d records: %s; to /dev/null %.2f s (%.0f rows/s); into PostgreSQL %.2f s (%.0f rows/s)"
          % (count, done.stderr.decode().strip(), alone, count / alone, loaded, count / loaded))


# Hostile names: the export refuses what it cannot quote and quotes the rest,
# so that psql running its script does exactly what the export means and
# nothing else.  A sentinel table must survive, and no shell command run.
SMALL = {
    "record_length": 16,
    "fields": [
        {"name": "id", "offset": 0, "length": 4, "type": "long"},
        {"name": "name", "offset": 4, "length": 8, "type": "char", "pad": "blank"},
        {"name": "n", "offset": 12, "length": 2, "type": "int"},
    ],
    "indexes": [
        {"number": 1, "unique": True, "parts": ["id"]},
        {"number": 2, "parts": ["name"]},
        {"number": 3, "parts": ["n", "id"]},
        {"number": 4, "unique": True, "parts": [{"field": "name", "descending": True}, "id"]},
    ],
}
INJECTED = "\n\\! touch pwned\nDROP TABLE sentinel;\n"
WIDE = "\u00e9" * 31 + "x"  # 63 bytes of UTF-8


def renamed(names):
    """SMALL with its fields renamed (same layout: the file takes it)."""
    schema = json.loads(json.dumps(SMALL))
    for field in schema["fields"]:
        field["name"] = names.get(field["name"], field["name"])
    for index in schema["indexes"]:
        index["parts"] = [names.get(p, p) if isinstance(p, str) else dict(p, field=names.get(p["field"], p["field"]))
                          for p in index["parts"]]
    return schema


def public_tables(cluster):
    return sorted(cluster.psql("SELECT tablename FROM pg_tables WHERE schemaname = 'public'").splitlines())


# (file name, field renames, --table or None, the table the export makes or
# None when it is refused)
HOSTILE = [
    ("f" + INJECTED, {}, "t", None),
    ("f" + INJECTED, {}, None, None),
    ("f", {}, "t" + INJECTED, None),
    ("f", {"n": "n\u0000x"}, "t", None),
    ("f", {"n": "n" + INJECTED}, "t", None),
    ("f", {"n": "n\u0085"}, "t", None),
    ("f", {}, "t" * 64, None),
    ("f", {"name": "m" * 64}, "t", None),
    ("f", {}, "a" * 62, "a" * 62),
    ("f", {}, "a" * 61 + "_2", "a" * 61 + "_2"),
    ("f", {}, "b" * 63, "b" * 63),
    ("f", {}, WIDE, WIDE),
    ("f", {}, "x" + WIDE[:30], "x" + WIDE[:30]),
    ("f", {"id": "a\"b", "name": "c\\d", "n": "DROP TABLE sentinel; --"}, "x\"; DROP TABLE sentinel; --",
     "x\"; DROP TABLE sentinel; --"),
    ("f -- \\! touch pwned", {}, None, "f -- \\! touch pwned"),
]


@pytest.mark.parametrize("name,fields,table,made", HOSTILE, ids=[repr(c[0] + str(c[2]))[:40] for c in HOSTILE])
def test_hostile_names_change_nothing_but_the_intended_table(cluster, tmp_path, name, fields, table, made):
    if not os.path.exists(TOOL):
        pytest.skip("the wisam tool is not built (set WISAM_TOOL)")
    directory = str(tmp_path)
    with open(os.path.join(directory, "s.json"), "w") as f:
        json.dump(SMALL, f)
    with open(os.path.join(directory, "h.json"), "w") as f:
        json.dump(renamed(fields), f)
    records = [{"id": i, "name": "n%d" % i, "n": i % 2} for i in range(5)]
    with wisam.build(os.path.join(directory, name), schema=wisam.Schema(SMALL), exclusive=True) as f, f.locked():
        for r in records:
            f.write(r)
    cluster.psql("DROP TABLE IF EXISTS sentinel; CREATE TABLE sentinel (k integer); INSERT INTO sentinel VALUES (7)")
    before = public_tables(cluster)
    command = [TOOL, "export-pg", name, "--schema", "h.json"] + (["--table", table] if table is not None else [])
    export = subprocess.run(command, cwd=directory, capture_output=True)
    psql = [os.path.join(cluster.bindir, "psql"), "-h", cluster.dir, "-U", "wisam", "-d", "postgres", "-X", "-q",
            "-v", "ON_ERROR_STOP=1"]
    loaded = subprocess.run(psql, cwd=directory, input=export.stdout, capture_output=True)
    try:
        assert not os.path.exists(os.path.join(directory, "pwned")), "the script ran a shell command"
        assert cluster.psql("SELECT k FROM sentinel").split() == ["7"]
        if made is None:
            assert export.returncode != 0 and export.stdout == b"", export.stderr
            assert len(export.stderr) < 400 and b"\n" not in export.stderr.rstrip(b"\n"), export.stderr
            assert public_tables(cluster) == before
            return
        assert export.returncode == 0, export.stderr
        assert loaded.returncode == 0, loaded.stderr
        assert public_tables(cluster) == sorted(before + [made])
        quoted = '"%s"' % made.replace('"', '""')
        columns = cluster.psql("SELECT attname FROM pg_attribute WHERE attrelid = '%s'::regclass AND attnum > 0 "
                               "ORDER BY attnum" % quoted.replace("'", "''")).splitlines()
        assert columns == [fields.get(f["name"], f["name"]) for f in SMALL["fields"]]
        assert cluster.psql("SELECT count(*) FROM %s" % quoted).strip() == str(len(records))
        # The primary key and the three other indexes, each of its own name.
        indexes = cluster.psql("SELECT indexrelid::regclass FROM pg_index WHERE indrelid = '%s'::regclass"
                               % quoted.replace("'", "''")).splitlines()
        assert len(indexes) == len(SMALL["indexes"]), indexes
    finally:
        if made is not None:
            cluster.psql("DROP TABLE IF EXISTS \"%s\"" % made.replace('"', '""'))
