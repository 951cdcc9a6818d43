"""The schema kept with a file (N.wsc): wisam.open takes it when the caller
gives none, as a table of what lies beside the file (nothing, a schema, one
reached through a link file, a symbolic link, text that is no schema)
against what the records come back as; and with the tool, a file made and
filled through its kept schema, renamed, read back as dicts.
"""

import json
import os
import struct
import subprocess

import pytest

import wisam

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

SCHEMA = {
    "record_length": 16,
    "fields": [{"name": "id", "offset": 0, "length": 4, "type": "long"},
               {"name": "name", "offset": 4, "length": 8, "type": "char", "pad": "blank"},
               {"name": "grp", "offset": 12, "length": 2, "type": "int"}],
    "indexes": [{"number": 1, "unique": True, "parts": ["id"]},
                {"number": 2, "parts": ["grp", "name"]}],
}
OTHER = dict(SCHEMA, fields=[{"name": "key", "offset": 0, "length": 4, "type": "long"}],
             indexes=[{"number": 1, "unique": True, "parts": ["key"]}])
RECORD = struct.pack(">i8sh2x", 7, b"Ann".ljust(8), 1)
AS_DICT = {"id": 7, "name": "Ann", "grp": 1}


@pytest.fixture
def here(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    return tmp_path


def make(name):
    with wisam.build(name, 16, "0:4:long", "12:2:int,4:8:char:dups") as f:
        f.write(RECORD)


def keep(path, schema):
    with open(path, "w") as f:
        json.dump(schema, f)


def plant_symlink(here):
    keep(here / "elsewhere.json", SCHEMA)
    os.symlink("elsewhere.json", "p.wsc")


def through_link(here):
    os.mkdir("real")
    make("real/p")
    keep(here / "real" / "p.wsc", SCHEMA)
    with open("p.lnk", "w") as f:
        f.write("real/p\r\n")


# (what lies beside p, the schema argument, what the read gives or raises)
CASES = [
    ("nothing", lambda here: None, None, RECORD),
    ("nothing, schema=False", lambda here: None, False, RECORD),
    ("kept", lambda here: keep(here / "p.wsc", SCHEMA), None, AS_DICT),
    ("kept, schema=False", lambda here: keep(here / "p.wsc", SCHEMA), False, RECORD),
    ("kept, another given", lambda here: keep(here / "p.wsc", SCHEMA), wisam.Schema(OTHER), {"key": 7}),
    ("kept beside the link file's target", through_link, None, AS_DICT),
    ("a symbolic link", plant_symlink, None, OSError),
    ("not JSON", lambda here: (here / "p.wsc").write_text("{"), None, wisam.SchemaError),
    ("another length", lambda here: keep(here / "p.wsc", dict(SCHEMA, record_length=20)), None, wisam.SchemaError),
    ("schema=True", lambda here: None, True, TypeError),
]


@pytest.mark.parametrize("what,setup,schema,expected", CASES, ids=[c[0] for c in CASES])
def test_open_takes_the_kept_schema_when_none_is_given(here, what, setup, schema, expected):
    if setup is not through_link:
        make("p")
    setup(here)
    if isinstance(expected, type) and issubclass(expected, Exception):
        with pytest.raises(expected):
            wisam.open("p", schema=schema)
        return
    with wisam.open("p", readonly=True, schema=schema) as f:
        assert f.read(7 if isinstance(expected, dict) else struct.pack(">i", 7)) == expected
        assert (f.schema is None) == (expected == RECORD)
    assert (wisam.kept_schema("p") is None) == (what.startswith("nothing"))


def test_a_file_the_tool_keeps_a_schema_with_opens_with_it(here):
    tool = os.environ.get("WISAM_TOOL") or os.path.join(os.path.dirname(os.environ.get("WISAM_LIBRARY", "")), "wisam")
    if not os.path.exists(tool):
        tool = os.path.join(ROOT, "build", "test", "wisam")
    if not os.path.exists(tool):
        pytest.skip("the wisam tool is not built (set WISAM_TOOL)")
    keep(here / "s.json", SCHEMA)

    def run(*args, input=""):
        done = subprocess.run([tool] + list(args), input=input, capture_output=True, text=True)
        assert done.returncode == 0, done.stderr
        return done.stdout

    run("create", "p", "--schema", "s.json")
    run("load", "p", input="id,name,grp\n7,Ann,1\n8,Bob,0\n")     # CSV through the kept schema
    run("rename", "p", "q")
    assert sorted(os.listdir(here)) == ["q.lck", "q.wod", "q.wox", "q.wsc", "s.json"]
    with wisam.open("q") as f:
        assert [rec for rec in f] == [AS_DICT, {"id": 8, "name": "Bob", "grp": 0}]
        f.write({"id": 9, "name": "Cy", "grp": 1})
    assert run("dump", "q") == "id,name,grp\n7,Ann,1\n8,Bob,0\n9,Cy,1\n"
    run("schema", "q", "--drop")
    with wisam.open("q") as f:
        assert f.schema is None and f.read(struct.pack(">i", 9)) == struct.pack(">i8sh2x", 9, b"Cy".ljust(8), 1)
