"""The package's public surface as a table: each call that names a record, on
a file with a schema and on one without, given a key that is there, one that
is not, a record number, and something of the wrong type, against the
result or exception its docstring gives, and the file's contents after it.
Then scans that keep their place while the same File reads, tests keys and
deletes between their records; and every public name documented and typed.
"""

import inspect
import random
import struct

import pytest

import wisam

SCHEMA = {
    "record_length": 16,
    "fields": [{"name": "id", "offset": 0, "length": 4, "type": "long"},
               {"name": "name", "offset": 4, "length": 8, "type": "char", "pad": "blank"},
               {"name": "grp", "offset": 12, "length": 2, "type": "int"}],
    "indexes": [{"number": 1, "unique": True, "parts": ["id"]},
                {"number": 2, "parts": ["grp", "name"]}],
}
KEYS = ["0:4:long", "12:2:int,4:8:char:dups"]
IDS = [101, 102, 103, 104, 105, 106]      # record numbers 1 to 6; number 3 is deleted


@pytest.fixture
def here(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    return tmp_path


def rec(kind, i, name=None):
    """Record i as the file of kind ("schema" or "bytes") gives it."""
    name = name or "n%d" % i
    if kind == "schema":
        return {"id": i, "name": name, "grp": i % 2}
    return struct.pack(">i8sh2x", i, name.encode().ljust(8), i % 2)


def key(kind, i):
    return i if kind == "schema" else struct.pack(">i", i)


def grp(kind, g):
    """The first part of index 2's key: a value, or its two bytes."""
    return (g,) if kind == "schema" else struct.pack(">h", g)


def make(kind):
    f = wisam.build(kind, schema=wisam.Schema(SCHEMA)) if kind == "schema" else wisam.build(kind, 16, *KEYS)
    for i in IDS:
        f.write(rec(kind, i))
    f.delete(recnum=3)
    return f


def model(kind):
    return {n: rec(kind, i) for n, i in enumerate(IDS, 1) if n != 3}


def replaced(n, i, name):
    return lambda kind, m, result: m.update({n: rec(kind, i, name)})


def removed(n):
    return lambda kind, m, result: m.pop(n)


def added(i):
    def change(kind, m, result):
        assert result not in m
        m[result] = rec(kind, i)
    return change


S, B = "schema", "bytes"
R = lambda i, name=None: lambda kind: rec(kind, i, name)         # noqa: E731 - table shorthands
K = lambda i: lambda kind: key(kind, i)                          # noqa: E731
V = lambda value: lambda kind: value                             # noqa: E731

# (kinds, method, case, call(f, kind), expected, change of the contents).
# expected: a function of kind giving the result, or an exception class (with
# the errno it carries); a call that raises changes nothing.
TABLE = [
    # read: a key finds the record or None; a record number is recnum=.
    (S + B, "read", "key", lambda f, k: f.read(key(k, 102)), R(102), None),
    (S + B, "read", "whole record as key", lambda f, k: f.read(rec(k, 104)), R(104), None),
    (S + B, "read", "key's first part, index 2", lambda f, k: f.read(grp(k, 0), index=2), R(102), None),
    (S + B, "read", "absent key", lambda f, k: f.read(key(k, 999)), V(None), None),
    (S, "read", "record number as a key", lambda f, k: f.read(2), V(None), None),
    (B, "read", "record number as a key", lambda f, k: f.read(2), TypeError, None),
    (S + B, "read", "recnum=", lambda f, k: f.read(recnum=2), R(102), None),
    (S + B, "read", "recnum= deleted", lambda f, k: f.read(recnum=3), V(None), None),
    (S + B, "read", "recnum= past the last", lambda f, k: f.read(recnum=99), V(None), None),
    (S + B, "read", "recnum= out of range", lambda f, k: f.read(recnum=2**31), ValueError, None),
    (S + B, "read", "key and recnum=", lambda f, k: f.read(key(k, 102), recnum=2), TypeError, None),
    (S + B, "read", "nothing", lambda f, k: f.read(), TypeError, None),
    (S, "read", "wrong type", lambda f, k: f.read("x"), wisam.SchemaError, None),
    (B, "read", "wrong type", lambda f, k: f.read("x"), TypeError, None),
    (S, "read", "dict key", lambda f, k: f.read({"id": 105}), R(105), None),
    (B, "read", "dict key", lambda f, k: f.read({"id": 105}), TypeError, None),
    (S + B, "read", "index 0 has no key", lambda f, k: f.read(key(k, 102), index=0), ValueError, None),
    (S + B, "read", "key longer than the key", lambda f, k: f.read(bytes(6)), ValueError, None),
    # f[key]: as read, NotFound (a KeyError) for an absent key.
    (S + B, "[]", "key", lambda f, k: f[key(k, 104)], R(104), None),
    (S + B, "[]", "absent key", lambda f, k: f[key(k, 999)], (wisam.NotFound, 111), None),
    (S, "[]", "record number as a key", lambda f, k: f[2], KeyError, None),
    (B, "[]", "record number as a key", lambda f, k: f[2], TypeError, None),
    (S, "[]", "wrong type", lambda f, k: f[[102]], wisam.SchemaError, None),
    (B, "[]", "wrong type", lambda f, k: f[1.5], TypeError, None),
    # key in f: through the primary index.
    (S + B, "in", "key", lambda f, k: key(k, 106) in f, V(True), None),
    (S + B, "in", "whole record", lambda f, k: rec(k, 101) in f, V(True), None),
    (S + B, "in", "absent key", lambda f, k: key(k, 103) in f, V(False), None),
    (S, "in", "record number as a key", lambda f, k: 2 in f, V(False), None),
    (B, "in", "record number as a key", lambda f, k: 2 in f, TypeError, None),
    (S, "in", "wrong type", lambda f, k: "x" in f, wisam.SchemaError, None),
    (B, "in", "wrong type", lambda f, k: None in f, TypeError, None),
    # delete: by primary key, or recnum=; NotFound when absent.
    (S + B, "delete", "key", lambda f, k: f.delete(key(k, 102)), V(None), removed(2)),
    (S, "delete", "dict key", lambda f, k: f.delete({"id": 106}), V(None), removed(6)),
    (S + B, "delete", "absent key", lambda f, k: f.delete(key(k, 999)), (wisam.NotFound, 111), None),
    (S, "delete", "record number as a key", lambda f, k: f.delete(2), (wisam.NotFound, 111), None),
    (B, "delete", "record number as a key", lambda f, k: f.delete(2), TypeError, None),
    (S + B, "delete", "recnum=", lambda f, k: f.delete(recnum=5), V(None), removed(5)),
    (S + B, "delete", "recnum= deleted", lambda f, k: f.delete(recnum=3), wisam.NotFound, None),
    (B, "delete", "a key's first bytes", lambda f, k: f.delete(key(k, 102)[:2]), ValueError, None),
    (S, "delete", "no value of the key", lambda f, k: f.delete(()), ValueError, None),
    (S + B, "delete", "nothing", lambda f, k: f.delete(), TypeError, None),
    (S, "delete", "wrong type", lambda f, k: f.delete("x"), wisam.SchemaError, None),
    (B, "delete", "wrong type", lambda f, k: f.delete(["x"]), TypeError, None),
    # rewrite: the record with the same primary key, or recnum=.
    (S + B, "rewrite", "record", lambda f, k: f.rewrite(rec(k, 104, "new")), V(None), replaced(4, 104, "new")),
    (S + B, "rewrite", "absent key", lambda f, k: f.rewrite(rec(k, 999)), (wisam.NotFound, 111), None),
    (S + B, "rewrite", "record number", lambda f, k: f.rewrite(2), TypeError, None),
    (S + B, "rewrite", "recnum=", lambda f, k: f.rewrite(rec(k, 102, "x"), recnum=2), V(None), replaced(2, 102, "x")),
    (S + B, "rewrite", "recnum= deleted", lambda f, k: f.rewrite(rec(k, 103), recnum=3), wisam.NotFound, None),
    (S + B, "rewrite", "wrong type", lambda f, k: f.rewrite("x"), TypeError, None),
    # write: a new key; a key there is Error 100.
    (S + B, "write", "new key", lambda f, k: f.write(rec(k, 107)), None, added(107)),
    (S + B, "write", "key there", lambda f, k: f.write(rec(k, 104)), (wisam.Error, 100), None),
    (S + B, "write", "record number", lambda f, k: f.write(2), TypeError, None),
    (S + B, "write", "wrong type", lambda f, k: f.write([rec(k, 108)]), TypeError, None),
    # range and items: keys in a key order, record numbers in index 0's.
    (S + B, "range", "keys", lambda f, k: list(f.index(1).range(key(k, 102), key(k, 105))),
     lambda kind: [rec(kind, i) for i in (102, 104, 105)], None),
    (S + B, "range", "absent keys", lambda f, k: list(f.index(1).range(key(k, 999))), V([]), None),
    (S + B, "range", "record numbers", lambda f, k: list(f.index(0).range(2, 4)),
     lambda kind: [rec(kind, i) for i in (102, 104)], None),
    (S, "range", "wrong type", lambda f, k: list(f.index(1).range("x")), wisam.SchemaError, None),
    (B, "range", "wrong type", lambda f, k: list(f.index(1).range(5)), TypeError, None),
    (S + B, "items", "key's first part", lambda f, k: list(f.index(2).items(grp(k, 1), grp(k, 1))),
     lambda kind: [(1, rec(kind, 101)), (5, rec(kind, 105))], None),
    (S + B, "items", "absent keys", lambda f, k: list(f.index(2).items(grp(k, 7))), V([]), None),
    (S + B, "items", "record numbers", lambda f, k: list(f.index(0).items(3)),
     lambda kind: [(n, rec(kind, i)) for n, i in ((4, 104), (5, 105), (6, 106))], None),
    (S + B, "items", "record number not a number", lambda f, k: list(f.index(0).items("2")), ValueError, None),
    (S, "items", "wrong type", lambda f, k: list(f.index(2).items(("x",))), wisam.SchemaError, None),
    (B, "items", "wrong type", lambda f, k: list(f.index(2).items(7)), TypeError, None),
]
CASES = [(kind, row) for row in TABLE for kind in (S, B) if kind in row[0]]


@pytest.mark.parametrize("kind,row", CASES, ids=["%s %s: %s" % (k, r[1], r[2]) for k, r in CASES])
def test_each_call_with_each_kind_of_key(here, kind, row):
    _, _, _, call, expected, change = row
    want = model(kind)
    with make(kind) as f:
        if isinstance(expected, type) or isinstance(expected, tuple):
            kind_of_error, number = expected if isinstance(expected, tuple) else (expected, None)
            with pytest.raises(kind_of_error) as raised:
                call(f, kind)
            if number is not None:
                assert raised.value.errno == number
        else:
            result = call(f, kind)
            if expected is not None:
                assert result == expected(kind)
            if change is not None:
                change(kind, want, result)
        assert dict(f.index(0).items()) == want
        assert len(f) == len(want)


def test_the_table_covers_every_call_with_every_kind_of_argument():
    for method in ["read", "[]", "in", "delete", "rewrite", "write", "range", "items"]:
        for kind in (S, B):
            cases = " ".join(r[2] for r in TABLE if r[1] == method and kind in r[0])
            for needed in (["key", "absent"] if method != "write" else ["new key", "key there"]) + ["record number",
                                                                                                   "wrong type"]:
                if method in ("range", "items") and needed == "key":
                    continue
                assert needed in cases, (method, kind, needed)
    assert wisam.NotFound.__mro__[1:3] == (wisam.Error, OSError) and issubclass(wisam.NotFound, KeyError)


@pytest.mark.parametrize("number", [0, 1, 2])
def test_a_scan_keeps_its_place_while_the_file_reads_tests_and_deletes(here, number):
    """A scan of index `number` over a file of 700 records (several batches),
    with every kind of call between its records: reads on every index (which
    move the handle's position), key tests, other scans, and deletes of the
    record just yielded.  It yields every record once, in its index's order."""
    rng = random.Random(number)
    schema = wisam.Schema(SCHEMA)
    with wisam.build("scan", schema=schema) as f:
        ids = rng.sample(range(1, 5000), 700)
        for i in ids:
            f.write({"id": i, "name": "n%d" % (i % 13), "grp": i % 3})
        # Index 2's equal keys come in the order they were written.
        order = {0: ids, 1: sorted(ids), 2: sorted(ids, key=lambda i: (i % 3, ("n%d" % (i % 13)).encode().ljust(8)))}
        order = order[number]
        seen, alive, other = [], set(ids), iter(f.index(1 + number % 2))
        for r in f.index(number):
            seen.append(r["id"])
            if rng.random() < 0.5:
                f.delete(r["id"])
                alive.discard(r["id"])
            what, probe = rng.randrange(1, 6), rng.choice(ids)
            if what == 1:
                assert (f.read(probe) is not None) == (probe in alive)
            elif what == 2:
                assert (probe in f) == (probe in alive)
            elif what == 3:
                hit = f.read((probe % 3, "n%d" % (probe % 13)), index=2)
                assert hit is None or (hit["grp"], hit["name"]) == (probe % 3, "n%d" % (probe % 13))
            elif what == 4:
                f.read(recnum=rng.randrange(1, 701))
            else:
                next(other, None)
        assert seen == order
        assert sorted(r["id"] for r in f) == sorted(alive)


def test_a_read_after_a_partial_start_compares_the_whole_key(here):
    with make(S) as f:
        f.write(rec(S, 110, "n102"))  # group 0 like 102, the same name
        assert [r["id"] for r in f.index(2).range((0,), (0,))] == [102, 110, 104, 106]
        assert f.read((0, "n104"), index=2) == rec(S, 104)
        assert f.read((0, "n1"), index=2) is None
        assert f.read((0,), index=2) == rec(S, 102)
        assert f.read((0, "n106"), index=2) == rec(S, 106)


def public_names():
    for name in wisam.__all__:
        thing = getattr(wisam, name)
        yield name, thing
        if inspect.isclass(thing) and thing.__module__.startswith("wisam"):
            for member, value in vars(thing).items():
                if not member.startswith("_") or member in ("__getitem__", "__contains__", "__iter__", "__len__"):
                    yield "%s.%s" % (name, member), value


def test_every_public_name_says_what_it_takes_and_gives():
    assert "WISAM_LIBRARY" in wisam.__doc__ and "Main entry points" in wisam.__doc__
    checked = 0
    for name, thing in public_names():
        function = thing.fget if isinstance(thing, property) else getattr(thing, "__func__", thing)
        if not (inspect.isfunction(function) or inspect.isclass(function)):
            continue
        assert (inspect.getdoc(function) or "").strip(), name
        if inspect.isfunction(function):
            signature = inspect.signature(function)
            unannotated = [p for p in signature.parameters.values()
                           if p.name not in ("self", "cls") and p.annotation is inspect.Parameter.empty]
            assert not unannotated and signature.return_annotation is not inspect.Signature.empty, name
            checked += 1
    assert checked > 30
