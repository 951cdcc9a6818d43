"""What the Python package refuses before anything reaches the library: bad
schemas (with the tool's rules and messages, asked of both), integers out of
the range of the C argument they become, names with a NUL, and values of
the wrong type for their field.  A refusal leaves the files as they were.
"""

import json
import os
import re
import shutil
import struct
import subprocess
import sys

import pytest

import wisam

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


def tool_path():
    tool = os.environ.get("WISAM_TOOL") or os.path.join(ROOT, "build", "test", "wisam")
    if not os.path.exists(tool):
        if os.environ.get("WISAM_TOOL"):
            pytest.fail("WISAM_TOOL names no file: " + tool)
        pytest.skip("the wisam tool is not built (set WISAM_TOOL)")
    return tool


@pytest.fixture
def here(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    return tmp_path


def field(name="b", offset=4, length=4, type="char", **more):
    return dict({"name": name, "offset": offset, "length": length, "type": type}, **more)


def schema(*fields, record_length=16, indexes=None, **more):
    """A schema whose first field is 'a' (a long at 0) with `fields` after it."""
    return dict({"record_length": record_length, "fields": [field("a", 0, 4, "long")] + list(fields),
                 "indexes": [{"number": 1, "parts": ["a"]}] if indexes is None else indexes}, **more)


def index(**entry):
    return schema(indexes=[dict({"number": 1, "parts": ["a"]}, **entry)])


EVERY = "char string devtag wtext wnocase wdevtag int long short nlong time float double bytes recid"
FLAGS = "dupcompress, leadcompress, trailcompress, compress, nullfill, nullsuppress"

# (schema, the message both readers give).
BAD_SCHEMAS = [
    ([], "a schema is a JSON object"),
    (schema(colour=1), 'the schema: unknown member "colour"'),
    (dict(schema(), record_length=0), 'the schema: "record_length" must be a whole number from 1 to 32767'),
    (dict(schema(), record_length=32768), 'the schema: "record_length" must be a whole number from 1 to 32767'),
    (dict(schema(), record_length="16"), 'the schema: "record_length" must be a whole number from 1 to 32767'),
    (dict(schema(), record_length=16.0), 'the schema: "record_length" must be a whole number from 1 to 32767'),
    (dict(schema(), record_length=True), 'the schema: "record_length" must be a whole number from 1 to 32767'),
    (dict(schema(), fields=[]), 'the schema: "fields" must list at least one field'),
    (dict(schema(), fields={"a": 1}), 'the schema: "fields" must list at least one field'),
    (schema("b"), "each field must be an object"),
    (schema({"offset": 4, "length": 4, "type": "char"}), 'a field needs a "name" that is a text'),
    (schema(field(name="")), 'a field needs a "name" that is a text'),
    (schema(field(name=7)), 'a field needs a "name" that is a text'),
    (schema(field(colour=1)), "field 'b': unknown member \"colour\""),
    (schema(field(offset=-1)), "field 'b': \"offset\" must be a whole number from 0 to 32767"),
    (schema(field(offset="4")), "field 'b': \"offset\" must be a whole number from 0 to 32767"),
    (schema(field(offset=4.0)), "field 'b': \"offset\" must be a whole number from 0 to 32767"),
    (schema(field(offset=2**40)), "field 'b': \"offset\" must be a whole number from 0 to 32767"),
    (schema(field(offset=2**64 + 4)), "field 'b': \"offset\" must be a whole number from 0 to 32767"),
    (schema(field(length=0)), "field 'b': \"length\" must be a whole number from 1 to 32767"),
    (schema(field(length=-4)), "field 'b': \"length\" must be a whole number from 1 to 32767"),
    (schema(field(type="money")), "field 'b': \"type\" must be one of " + EVERY),
    (schema(field(type=None)), "field 'b': \"type\" must be one of " + EVERY),
    (schema(field(type="long", length=3)), "field 'b': a long is 4 bytes, not 3"),
    (schema(field(type="recid", length=4)), "field 'b': a recid is 8 bytes, not 4"),
    (schema(field(type="wtext", length=3)), "field 'b': a wtext field's length must be even, not 3"),
    (schema(field(type="wdevtag", length=5)), "field 'b': a wdevtag field's length must be even, not 5"),
    (schema(field(pad="zero")), "field 'b': \"pad\" is \"nul\" or \"blank\", and only for char fields"),
    (schema(field(type="string", pad="blank")), "field 'b': \"pad\" is \"nul\" or \"blank\", and only for char fields"),
    (schema(field(pad=None)), "field 'b': \"pad\" is \"nul\" or \"blank\", and only for char fields"),
    (schema(field(null="ab")), "field 'b': \"null\" must be a text of one byte"),
    (schema(field(null="\u00e9")), "field 'b': \"null\" must be a text of one byte"),
    (schema(field(null="")), "field 'b': \"null\" must be a text of one byte"),
    (schema(field(null=32)), "field 'b': \"null\" must be a text of one byte"),
    (schema(field(type="bytes", null=256)), "field 'b': \"null\" must be a byte value from 0 to 255"),
    (schema(field(type="bytes", null=2**32)), "field 'b': \"null\" must be a byte value from 0 to 255"),
    (schema(field(type="bytes", null=-1)), "field 'b': \"null\" must be a byte value from 0 to 255"),
    (schema(field(type="bytes", null="x")), "field 'b': \"null\" must be a byte value from 0 to 255"),
    (schema(field(type="double", length=8, null=0)), "field 'b': \"null\" must be \"zero\""),
    (schema(field(type="int", length=2, null=40000)), "field 'b': \"null\": not a whole number from -32768 to 32767"),
    (schema(field(type="int", length=2, null=2**64 - 1)), "field 'b': \"null\": not a whole number from -32768 to 32767"),
    (schema(field(type="long", null=2**31)), "field 'b': \"null\": not a whole number from -2147483648 to 2147483647"),
    (schema(field(type="short", length=2, null="0")), "field 'b': \"null\" must be a whole number of the type"),
    (schema(field(type="nlong", null=True)), "field 'b': \"null\" must be a whole number of the type"),
    (schema(field(type="time", length=8, null=0)), "field 'b': \"null\" must be absent: a time field has no null convention"),
    (schema(field(type="wtext", null=" ")), "field 'b': \"null\" must be absent: a wtext field has no null convention"),
    (schema(field("a", 4, 4)), "field 'a' is named twice"),
    (schema(field(offset=14)), "field 'b' (offset 14, length 4) runs past the record length 16"),
    (schema(field(offset=2)), "fields 'a' (offset 0, length 4) and 'b' (offset 2, length 4) overlap"),
    (schema(indexes={}), 'the schema: "indexes" must be a list'),
    (schema(indexes=[1]), "each index must be an object"),
    (schema(indexes=[{"number": 0, "parts": ["a"]}]), 'an index: "number" must be a whole number from 1 to 33'),
    (schema(indexes=[{"number": 34, "parts": ["a"]}]), 'an index: "number" must be a whole number from 1 to 33'),
    (schema(indexes=[{"parts": ["a"]}]), 'an index: "number" must be a whole number from 1 to 33'),
    (index(order=1), 'index 1: unknown member "order"'),
    (index(unique=1), 'index 1: "unique" must be true or false'),
    (index(unique=None), 'index 1: "unique" must be true or false'),
    (index(parts=[]), 'index 1: "parts" must list 1 to 64 field names'),
    (index(parts="a"), 'index 1: "parts" must list 1 to 64 field names'),
    (index(parts=["a"] * 65), 'index 1: "parts" must list 1 to 64 field names'),
    (index(parts=[1]), 'index 1: a part is a field name or {"field": NAME}'),
    (index(parts=[{"descending": True}]), 'index 1: a part is a field name or {"field": NAME}'),
    (index(parts=[{"field": "a", "descending": 1}]), 'index 1: "descending" must be true or false'),
    (index(parts=[{"field": "a", "up": True}]), 'index 1: unknown member "up"'),
    (index(parts=["nobody"]), "index 1: part 'nobody' names no field"),
    (index(flags="compress"), 'index 1: "flags" must be a list of flag names'),
    (index(flags=["fast"]), 'index 1: unknown flag "fast" (%s)' % FLAGS),
    (index(flags=["dups"]), 'index 1: unknown flag "dups" (%s)' % FLAGS),
    (index(flags=[3]), "index 1: unknown flag 3 (%s)" % FLAGS),
    (schema(indexes=[{"number": 1, "parts": ["a"]}, {"number": 1, "parts": ["a"]}]), "index 1 is described twice"),
]

GOOD_SCHEMAS = [
    schema(comment="a comment is allowed"),
    schema(field(offset=4, length=12, null=" ", pad="blank")),
    schema(field(type="bytes", length=12, null=0), field("c", 16, 1, "char", null="x"), record_length=32767),
    schema(field(type="double", length=8, null="zero"), field("i", 12, 2, "int", null=-32768)),
    schema(field(type="wnocase", length=12), indexes=[{"number": 1, "unique": True, "flags": ["compress", "nullfill"],
                                                       "parts": ["a", {"field": "b", "descending": True}]}]),
]


def key(desc):
    return desc.flags, [(p.start, p.length, p.type) for p in desc.parts[:desc.partCount]]


def run_tool(tool, *args):
    return subprocess.run([tool] + list(args), capture_output=True, text=True)


def test_the_tool_and_the_package_refuse_bad_schemas_alike(here):
    tool = tool_path()
    for bad, expected in BAD_SCHEMAS:
        text = json.dumps(bad)
        with pytest.raises(wisam.SchemaError) as refused:
            wisam.Schema.parse(text)
        assert str(refused.value) == expected, text
        (here / "bad.json").write_text(text)
        run = run_tool(tool, "create", "f", "--schema", "bad.json")
        assert (run.returncode, run.stderr) == (1, "wisam: create f: schema bad.json: %s\n" % expected), text
        assert sorted(os.listdir(here)) == ["bad.json"], text
    for good in GOOD_SCHEMAS:
        text = json.dumps(good)
        parsed = wisam.Schema.parse(text)
        (here / "good.json").write_text(text)
        run = run_tool(tool, "create", "g", "--schema", "good.json")
        assert run.returncode == 0, (text, run.stderr)
        # The file the tool built is the one the package would build.
        with wisam.open("g", schema=parsed) as f:
            assert f.record_length == good["record_length"]
            assert [key(f.index(i.number).desc) for i in parsed.indexes] == [key(wisam._key_desc(i)) for i in parsed.indexes]
        wisam.erase("g")


def test_schema_text_that_is_not_json_or_names_a_member_twice_is_refused():
    for text, start in [("{", "not JSON: "), ('{"record_length": NaN}', "not JSON: "), (b"\xff{}", "not JSON: "),
                        ('{"record_length": 8, "record_length": 9}', "refused JSON: the member \"record_length\""),
                        ('{"fields": [{"name": "a", "name": "b"}]}', "refused JSON: the member \"name\"")]:
        with pytest.raises(wisam.SchemaError, match="^" + start):
            wisam.Schema.parse(text)
    # A byte-order mark before the text is no part of it.
    assert wisam.Schema.parse("\ufeff" + json.dumps(schema())).record_length == 16


def test_a_schema_whose_indexes_have_a_gap_builds_nothing(here):
    for indexes, message in [([{"number": 1, "parts": ["a"]}, {"number": 3, "parts": ["a"]}],
                              "index 2 is missing: a new file's indexes are numbered without gaps"),
                             ([{"number": 3, "parts": ["a"]}], "it describes no index 1 (the primary key) or 2"),
                             ([], "it describes no index 1 (the primary key) or 2")]:
        with pytest.raises(wisam.SchemaError, match="^" + re.escape(message)):
            wisam.build("gap", schema=wisam.Schema(schema(indexes=indexes)))
        assert os.listdir(here) == []
    with wisam.build("nokey", schema=wisam.Schema(schema(indexes=[{"number": 2, "parts": ["a"]}]))) as f:
        assert f.info[0] == 2 and f.index(1).desc.partCount == 0


def records(f):
    return [bytes(r) for r in f.index(0)]


def test_integers_out_of_range_are_refused_by_name_and_change_nothing(here):
    rec = lambda n, text: struct.pack(">i", n) + text
    with wisam.build("r", 8, "0:4:long", "4:4:char:dups") as f:
        for n in (1, 2, 3):
            f.write(rec(n, b"rec%d" % n))
        before = records(f)
        calls = [
            ("recnum", lambda: f.delete(recnum=2**32 + 1)),
            ("recnum", lambda: f.delete(recnum=-2**31 - 1)),
            ("recnum", lambda: f.delete(recnum=True)),
            ("recnum", lambda: f.delete(recnum=1.0)),
            ("recnum", lambda: f.rewrite(rec(1, b"gone"), recnum=2**32 + 1)),
            ("recnum", lambda: f.rewrite(rec(1, b"gone"), recnum=2**31)),
            ("index", lambda: f.read(rec(1, b""), index=2**32 + 1)),
            ("index", lambda: f.read(rec(1, b""), index=-1)),
            ("index", lambda: list(f.index(2**32))),
            ("index", lambda: list(f.index(34))),
            ("index", lambda: list(f.index("1"))),
        ]
        for name, call in calls:
            with pytest.raises(ValueError, match="^" + name + " must be a whole number from"):
                call()
            assert records(f) == before and len(f) == 3
        # Records and keys are bytes (or dicts): an int is no record of zeros.
        for call in [lambda: f.write(12), lambda: f.rewrite(8), lambda: f.delete(4), lambda: f.read(8),
                     lambda: list(f.index(1).range(5))]:
            with pytest.raises(TypeError):
                call()
            assert records(f) == before
        # Numbers the library refuses itself stay its refusals.
        for recnum in (0, -1, 99):
            with pytest.raises(wisam.Error):
                f.delete(recnum=recnum)
        assert records(f) == before
    refused_builds = [
        ("record_length", lambda: wisam.build("b", 2**32 + 8, "0:4:long")),
        ("max_length", lambda: wisam.build("b", 8, "0:4:long", max_length=2**32 + 100)),
        ("key '65536:4:long': bad key part '65536:4:long'", lambda: wisam.build("b", 8, "65536:4:long")),
        ("key '0:65540:char': bad key part", lambda: wisam.build("b", 8, "0:65540:char")),
        ("key '0:1025:char': bad key part", lambda: wisam.build("b", 2000, "0:1025:char")),
        ("key '-1:4:long': bad key part", lambda: wisam.build("b", 8, "-1:4:long")),
        ("key '0:0:char': bad key part", lambda: wisam.build("b", 8, "0:0:char")),
        ("key '0:4:64': bad key part", lambda: wisam.build("b", 8, "0:4:64")),
        ("key '0:4:money': bad key part", lambda: wisam.build("b", 8, "0:4:money")),
        ("key '0:4': a key part is START:LEN:TYPE, not '0:4'", lambda: wisam.build("b", 8, "0:4")),
        ("key '0:4:long:fast': unknown key flag 'fast'", lambda: wisam.build("b", 8, "0:4:long:fast")),
        ("key .*: a key has at most 64 parts", lambda: wisam.build("b", 100, ",".join(["0:1:char"] * 65))),
        # A bad second key is found before the file is built.
        ("key '4:99999:char': bad key part", lambda: wisam.build("b", 8, "0:4:long", "4:99999:char")),
    ]
    for message, call in refused_builds:
        with pytest.raises(ValueError, match="^" + message):
            call()
        assert not [n for n in os.listdir(here) if n.startswith("b.")], message


def test_names_holding_a_nul_are_refused(here):
    with wisam.build("keep", 8, "0:4:long") as f:
        f.write(struct.pack(">i", 1) + b"kept")
    for name, call in [("name", lambda n: wisam.erase(n)), ("name", lambda n: wisam.open(n)),
                       ("name", lambda n: wisam.build(n, 8, "0:4:long")), ("path", lambda n: wisam.log_open(n))]:
        for bad in ["keep\0.old", b"keep\0x", "\0"]:
            with pytest.raises(ValueError, match="^" + name + " holds a NUL character"):
                call(bad)
    assert sorted(os.listdir(here)) == ["keep.lck", "keep.wod", "keep.wox"]
    with wisam.open("keep") as f:
        assert records(f) == [struct.pack(">i", 1) + b"kept"]


TYPED = {
    "record_length": 64,
    "fields": [field("id", 0, 4, "long"), field("c", 4, 4, "char", null=" "), field("s", 8, 4, "string"),
               field("d", 12, 4, "devtag"), field("w", 16, 4, "wtext"), field("n", 20, 2, "int"),
               field("h", 22, 2, "short"), field("t", 24, 8, "time"), field("f", 32, 4, "float"),
               field("x", 36, 8, "double"), field("b", 44, 8, "bytes", null=255), field("r", 52, 8, "recid"),
               field("q", 60, 4, "nlong")],
    "indexes": [{"number": 1, "unique": True, "parts": ["id"]}],
}

# (field, value): a value the field cannot hold.
WRONG_VALUES = [
    ("id", "1"), ("id", 1.5), ("id", True), ("id", b"\0\0\0\1"), ("id", 2**31), ("q", None), ("q", [1]),
    ("n", 40000), ("h", "2"), ("t", -1), ("t", 1.0), ("t", 2**64), ("f", "1.0"), ("f", True), ("f", 1e39),
    ("x", "NaN"), ("x", b"12345678"), ("c", 5), ("c", b"ab"), ("c", "abcde"), ("c", "\ud800"), ("s", b"ab"),
    ("s", "a\0b"), ("d", 3), ("d", "x\0"), ("w", 3), ("w", "\ud800"), ("w", "abc"), ("w", "a\0"),
    ("b", 8), ("b", "abcdefgh"), ("b", b"1234567"), ("b", [0] * 8), ("r", 8), ("r", bytearray(9)), ("r", None),
]


def test_values_of_the_wrong_type_are_refused_naming_the_field(here):
    typed = wisam.Schema(TYPED)
    good = {"id": 1, "c": "ab", "s": "st", "d": "dv", "w": "wx", "n": -2, "h": 3, "t": 2**64 - 1, "f": 0.5,
            "x": -1.25, "b": b"12345678", "r": bytes(range(8)), "q": -9}
    with wisam.build("v", schema=typed, max_length=200) as f:
        f.write(good)
        for name, value in WRONG_VALUES:
            with pytest.raises(wisam.SchemaError, match="^field '%s': " % name):
                f.write({**good, "id": 2, name: value})
            with pytest.raises(wisam.SchemaError, match="^field '%s': " % name):
                f.rewrite({**good, name: value})
        assert len(f) == 1 and list(f) == [good]
        # Nulls keep the record's length: a null field is filled, never grown.
        f.write(dict(good, id=3, c=None, b=None))
        assert f.read({"id": 3}) == dict(good, id=3, c=None, b=None)
    with wisam.open("v") as raw:
        assert [len(r) for r in raw] == [64, 64]


def test_the_rules_ship_inside_the_package(here):
    # The package directory alone, as an installation holds it, reads them.
    shutil.copytree(os.path.dirname(wisam.__file__), here / "site" / "wisam",
                    ignore=shutil.ignore_patterns("__pycache__"))
    env = dict(os.environ, PYTHONPATH=str(here / "site"), WISAM_LIBRARY=wisam._lib._cdll._name)
    code = ("import wisam, json\n"
            "assert wisam.__file__.startswith(%r)\n"
            "try:\n    wisam.Schema(json.loads(%r))\nexcept wisam.SchemaError as e:\n    print(e)\n"
            % (str(here / "site"), json.dumps(schema(field(type="wtext", length=3)))))
    out = subprocess.run([sys.executable, "-c", code], env=env, cwd="/", capture_output=True, text=True)
    assert out.stdout == "field 'b': a wtext field's length must be even, not 3\n", out.stderr
