"""The Python package over libwisam.so: a model of random records of every
field type (nulls and extremes among them) through write, read, rewrite,
delete and index ranges; raw records and key images without a schema;
errors; transactions; locks between processes; agreement with the tool's
dump; and the README's example, run as it stands.

Run by scripts/test.sh; WISAM_LIBRARY names the library, WISAM_TOOL the tool.
"""

import json
import math
import os
import random
import re
import struct
import subprocess

import pytest

import wisam

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

SCHEMA = {
    "record_length": 96,
    "fields": [
        {"name": "id", "offset": 0, "length": 4, "type": "long"},
        {"name": "name", "offset": 4, "length": 12, "type": "char", "pad": "blank", "null": " "},
        {"name": "label", "offset": 16, "length": 8, "type": "string"},
        {"name": "wide", "offset": 24, "length": 8, "type": "wtext"},
        {"name": "small", "offset": 32, "length": 2, "type": "int", "null": -32768},
        {"name": "nshort", "offset": 34, "length": 2, "type": "short"},
        {"name": "nlong", "offset": 36, "length": 4, "type": "nlong"},
        {"name": "when", "offset": 40, "length": 8, "type": "time"},
        {"name": "ratio", "offset": 48, "length": 4, "type": "float"},
        {"name": "price", "offset": 52, "length": 8, "type": "double", "null": "zero"},
        {"name": "blob", "offset": 60, "length": 5, "type": "bytes", "null": 255},
        {"name": "rid", "offset": 68, "length": 8, "type": "recid"},
        {"name": "grp", "offset": 80, "length": 2, "type": "int"},
    ],
    "indexes": [
        {"number": 1, "unique": True, "parts": ["id"]},
        {"number": 2, "parts": [{"field": "name", "descending": True}], "flags": ["compress"]},
        {"number": 3, "parts": ["grp", "id"]},
    ],
}


def as_float32(x):
    return struct.unpack("=f", struct.pack("=f", x))[0]


def random_record(rng, key):
    edge = rng.random() < 0.2
    text = lambda n: "".join(rng.choice("abcXYZ 019,\"\n\u00e9") for _ in range(rng.randrange(n + 1)))
    name = rng.choice(["", "n" * 12, "\u00e9\u00e9"]) if edge else text(5).rstrip(" ")
    return {
        "id": key,
        "name": None if name == "" else name,
        "label": text(3),
        "wide": rng.choice(["", "ab", "\u00e9t\u00e9", "wxyz"]),
        "small": rng.choice([None, -32767, 32767, 0]) if edge else rng.randrange(-1000, 1000),
        "nshort": rng.choice([-32768, 32767]) if edge else rng.randrange(100),
        "nlong": rng.choice([-2**31, 2**31 - 1]) if edge else rng.randrange(-2**29, 2**29),
        "when": rng.choice([0, 2**64 - 1, 2**63]) if edge else rng.randrange(2**40),
        "ratio": rng.choice([0.0, -0.0, 3.4028234663852886e38, as_float32(1e-45), math.inf]) if edge
        else as_float32(rng.uniform(-1e6, 1e6)),
        "price": None if edge else rng.uniform(-1e9, 1e9),
        "blob": None if edge else bytes(rng.randrange(255) for _ in range(5)),
        "rid": bytes(rng.randrange(256) for _ in range(8)),
        "grp": rng.randrange(10),
    }


def same(a, b):
    """Records equal, floats as the bits they are stored as (so -0.0 != 0.0)."""
    for k in a:
        x, y = a[k], b[k]
        if isinstance(x, float) and isinstance(y, float):
            if struct.pack("=d", x) != struct.pack("=d", y):
                return False
        elif x != y:
            return False
    return set(a) == set(b)


@pytest.fixture
def here(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    return tmp_path


def name_key(rec):
    """Index 2's order: the name's 12 blank-padded UTF-8 bytes, descending."""
    return (rec["name"] or "").encode().ljust(12, b" ")


def test_model_of_every_type_through_every_call(here):
    rng = random.Random(15)
    schema = wisam.Schema(SCHEMA)
    model = {}
    with wisam.build("model", schema=schema) as f:
        ids = rng.sample(range(-2**31, 2**31), 400) + [-2**31, 2**31 - 1]
        for key in dict.fromkeys(ids):
            model[key] = random_record(rng, key)
            f.write(model[key])
        for round in range(3):
            assert len(f) == len(model)
            got = list(f)
            assert [r["id"] for r in got] == sorted(model)
            assert all(same(r, model[r["id"]]) for r in got)
            # Index 2 descending, index 3 by (grp, id); ranges of both.
            names = [name_key(r) for r in f.index(2)]
            assert names == sorted((name_key(r) for r in model.values()), reverse=True)
            lo, hi = sorted(rng.sample(range(10), 2))
            want = sorted((r["grp"], r["id"]) for r in model.values() if lo <= r["grp"] <= hi)
            assert [(r["grp"], r["id"]) for r in f.index(3).range(lo, hi)] == want
            a, b = sorted(rng.sample(sorted(model), 2))
            assert [r["id"] for r in f.index(1).range(a, b)] == [k for k in sorted(model) if a <= k <= b]
            assert [r["id"] for r in f.index(3).range((lo, a), (hi, b))] == [
                i for g, i in sorted((r["grp"], r["id"]) for r in model.values()) if (lo, a) <= (g, i) <= (hi, b)]
            assert list(f.index(1).range(b, a)) == ([] if a != b else [model[a]])
            # Rewrite a tenth, delete a tenth.
            for key in rng.sample(sorted(model), len(model) // 10):
                model[key] = random_record(rng, key)
                f.rewrite(model[key])
            for key in rng.sample(sorted(model), len(model) // 10):
                f.delete({"id": key})
                del model[key]
            key = rng.choice(sorted(model))
            assert same(f.read({"id": key}), model[key])
            assert f.read({"id": next(k for k in range(len(model) + 1) if k not in model)}) is None
    with wisam.open("model", readonly=True, schema=schema) as f:
        assert [r["id"] for r in f.index(0)] == [r["id"] for r in f.index(0).range(1, None)]
        assert sorted(r["id"] for r in f.index(0)) == sorted(model)


def test_bytes_records_key_images_and_variable_length(here):
    with wisam.build("raw", 12, "0:4:long", "4:4:char:dups") as f:
        for i in range(50):
            f.write(struct.pack(">i", i * 10 - 200) + b"k%03d" % (i % 7) + b"tail")
        assert f.write(struct.pack(">i", 999) + b"zzzz1234") == 51
        assert [r[:4] for r in f.index(1).range(struct.pack(">i", -15), struct.pack(">i", 15))] == [
            struct.pack(">i", v) for v in (-10, 0, 10)]
        # A key image shorter than the key: the records whose key begins with it.
        assert {r[4:8] for r in f.index(2).range(b"k00", b"k00")} == {b"k%03d" % d for d in range(7)}
        assert [r[4:8] for r in f.index(2).range(b"k005")] == [b"k005"] * 7 + [b"k006"] * 7 + [b"zzzz"]
        assert f.read(struct.pack(">i", 999) + bytes(8)) == struct.pack(">i", 999) + b"zzzz1234"
        with pytest.raises(wisam.SchemaError):
            f.write(b"short")
    with wisam.build("var", 8, "0:4:long", max_length=200) as f:
        for n in range(20):
            f.write(struct.pack(">i", n) + b"x" * (4 + n * 9))
        assert [len(r) for r in f] == [8 + n * 9 for n in range(20)]
        f.rewrite(struct.pack(">i", 3) + b"y" * 150)
        assert f.read(struct.pack(">i", 3) + bytes(4)) == struct.pack(">i", 3) + b"y" * 150


def test_errors_carry_the_number_and_the_text(here):
    schema = wisam.Schema(SCHEMA)
    with pytest.raises(wisam.Error) as missing:
        wisam.open("nothing")
    assert missing.value.errno == 2 and "isOpen nothing" in str(missing.value)
    with wisam.build("e", schema=schema) as f:
        f.write({"id": 1, "grp": 1, "rid": bytes(8)})
        with pytest.raises(wisam.Error) as dup:
            f.write({"id": 1, "grp": 2, "rid": bytes(8)})
        assert (dup.value.errno, dup.value.message) == (100, "Duplicate record")
        assert str(dup.value) == "[Errno 100] isWrite: Duplicate record"
        with pytest.raises(wisam.Error) as gone:
            f.delete({"id": 5})
        assert gone.value.errno == 111
        for values, message in [({"id": 2, "grp": 70000}, "does not fit a int"), ({"id": 2, "name": "x" * 13}, "does not fit in 12"),
                                ({"id": 2, "rid": b"123"}, "not 8 bytes"), ({"id": 2, "grp": None}, "no null convention"),
                                ({"id": 2, "colour": 1}, "colour: no field"), ({"id": 2, "ratio": 1e39}, "does not fit a float")]:
            with pytest.raises(wisam.SchemaError, match=message):
                f.write(values)
        assert len(f) == 1
    with pytest.raises(wisam.Error) as exists:
        wisam.build("e", schema=schema)
    assert exists.value.errno == 17
    for bad, message in [({"record_length": 8, "fields": [{"name": "a", "offset": 0, "length": 4, "type": "long"},
                                                           {"name": "b", "offset": 2, "length": 4, "type": "long"}]}, "overlap"),
                         ({"record_length": 8, "fields": [{"name": "a", "offset": 6, "length": 4, "type": "long"}]}, "runs past"),
                         ({"record_length": 8, "fields": [{"name": "a", "offset": 0, "length": 3, "type": "long"}]}, "4 bytes, not 3")]:
        with pytest.raises(wisam.SchemaError, match=message):
            wisam.Schema(bad)


def test_transactions_commit_and_roll_back(here):
    wisam.log_open(str(here / "app.log"))
    try:
        with wisam.build("t", 8, "0:4:long", transactions=True) as f:
            with wisam.transaction():
                f.write(struct.pack(">i", 1) + b"kept")
            with pytest.raises(ZeroDivisionError):
                with wisam.transaction():
                    f.write(struct.pack(">i", 2) + b"gone")
                    f.rewrite(struct.pack(">i", 1) + b"lost")
                    1 / 0
            assert list(f) == [struct.pack(">i", 1) + b"kept"]
            with pytest.raises(wisam.Error) as none:
                wisam.commit()
            assert (none.value.errno, none.value.message) == (122, "No transaction")
    finally:
        wisam.log_close()
    assert os.path.getsize(here / "app.log") > 0


def in_child(work):
    """Runs work() in a forked process; its exit status (the value it returns)."""
    pid = os.fork()
    if pid == 0:
        code = 99
        try:
            code = work()
        finally:
            os._exit(code)
    return os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1])


def test_locks_keep_other_processes_out(here):
    with wisam.build("l", 8, "0:4:long") as f:
        for i in range(3):
            f.write(struct.pack(">i", i) + b"data")
    with wisam.open("l") as f:
        def other_lock():
            with wisam.open("./l") as g:
                try:
                    g.lock()
                    return 0
                except wisam.Error as e:
                    return e.errno - 100

        def other_read_locked():
            with wisam.open("././l") as g:
                try:
                    g.read(struct.pack(">i", 1) + bytes(4), lock=True)
                    return 0
                except wisam.Error as e:
                    return e.errno - 100
        f.lock()
        assert in_child(other_lock) == 7           # 107 Record or file locked
        f.unlock()
        assert in_child(other_lock) == 0
        assert f.read(struct.pack(">i", 1) + bytes(4), lock=True)[:4] == struct.pack(">i", 1)
        assert in_child(other_read_locked) == 7
        f.release()
        assert in_child(other_read_locked) == 0
        # A kept exclusive lock holds the writes back until its end.
        with f.locked():
            f.write(struct.pack(">i", 9) + b"held")
        assert in_child(other_lock) == 0
        assert in_child(lambda: len(wisam.open("./././l")) == 4 and 4 or 1) == 4


def test_the_tool_reads_what_python_wrote(here):
    tool = os.environ.get("WISAM_TOOL") or os.path.join(ROOT, "build", "test", "wisam")
    if not os.path.exists(tool):
        pytest.skip("the wisam tool is not built (set WISAM_TOOL)")
    rng = random.Random(7)
    schema = wisam.Schema(SCHEMA)
    (here / "s.json").write_text(json.dumps(SCHEMA))
    with wisam.build("x", schema=schema) as f:
        written = [random_record(rng, k) for k in range(200)]
        for r in written:
            f.write(r)
    out = subprocess.run([tool, "dump", "x", "--schema", "s.json", "--format", "jsonl"], check=True,
                         capture_output=True, text=True).stdout
    for line, mine in zip(out.splitlines(), written):
        theirs = json.loads(line)
        for k, v in mine.items():
            t = theirs[k]
            if isinstance(v, bytes):
                t = bytes.fromhex(t)
            if isinstance(v, float):
                t = math.inf if t == "Infinity" else float(t)
                if k == "ratio":
                    t = as_float32(t)
                assert struct.pack("=d", t) == struct.pack("=d", v), (k, t, v)
            else:
                assert t == v, (k, t, v)
    assert len(out.splitlines()) == 200


def test_readme_example_runs(here):
    with open(os.path.join(ROOT, "README.md"), encoding="utf-8") as f:
        readme = f.read()
    section = readme[readme.index("## Python"):]
    code = re.search(r"```python\n(.*?)```", section, re.S).group(1)
    lines = []
    exec(compile(code, "README.md", "exec"), {"print": lambda *a: lines.append(" ".join(map(str, a)))})
    assert lines, "the example prints what it did"
    expected = re.search(r"```text\n(.*?)```", section, re.S).group(1).splitlines()
    assert lines == expected


def test_threads_build_fill_and_read_their_own_files(here):
    """Four threads, each building, filling and reading back a file of its own,
    and two more sharing one handle: ctypes lets them into the library at
    once, and every record is where its thread put it."""
    import threading

    count = 1500
    problems = []

    def own(n):
        try:
            with wisam.build("t%d" % n, 8, "0:4:long", "4:4:long:dups") as f:
                for i in range(count):
                    f.write(struct.pack(">ii", i, n))
                for i in range(0, count, 7):
                    assert f.read(struct.pack(">ii", i, 0)) == struct.pack(">ii", i, n)
                assert len(f) == count
        except Exception as e:  # noqa: BLE001 - reported below
            problems.append("thread %d: %r" % (n, e))

    shared = wisam.build("shared", 8, "0:4:long")

    def half(base):
        try:
            for i in range(base, base + count):
                shared.write(struct.pack(">ii", i, base))
        except Exception as e:  # noqa: BLE001 - reported below
            problems.append("shared %d: %r" % (base, e))

    threads = [threading.Thread(target=own, args=(n,)) for n in range(4)]
    threads += [threading.Thread(target=half, args=(base,)) for base in (0, 100000)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert problems == []
    assert len(shared) == 2 * count
    assert [struct.unpack(">ii", r)[0] for r in shared.index(1)][count - 1:count + 1] == [count - 1, 100000]
    shared.close()
