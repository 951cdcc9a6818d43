"""Records as dicts: the schema file that `wisam schema` writes and
`wisam dump/load --schema` read, and the encoding of each field's value.

Field types (and what a value is in Python): char, string, devtag, wtext,
wnocase, wdevtag (str); int, long, short, nlong, time (int); float, double
(float); bytes, recid (bytes).  A field with a null convention ("null")
gives None for a null and stores None as that convention says.
"""

import json
import math
import struct
import sys

_WIDE = "utf-16-le" if sys.byteorder == "little" else "utf-16-be"

# type name: (key type, fixed width or 0, struct format of a number)
_TYPES = {
    "char": (0, 0, None),
    "string": (7, 0, None),
    "devtag": (10, 0, None),
    "wtext": (8, 0, None),
    "wnocase": (13, 0, None),
    "wdevtag": (11, 0, None),
    "int": (1, 2, ">h"),
    "long": (2, 4, ">i"),
    "short": (5, 2, "=h"),
    "nlong": (6, 4, "=i"),
    "time": (12, 8, ">Q"),
    "float": (4, 4, "=f"),
    "double": (3, 8, "=d"),
    "bytes": (12, 0, None),
    "recid": (9, 8, None),
}
_TEXT = {"char", "string", "devtag"}
_WIDE_TEXT = {"wtext", "wnocase", "wdevtag"}
_FLAGS = {"dupcompress": 0x02, "leadcompress": 0x04, "trailcompress": 0x08, "compress": 0x0E,
          "nullfill": 0x10, "nullsuppress": 0x20}


class SchemaError(ValueError):
    """A schema that cannot be used, or a value that does not fit its field."""


class Field:
    def __init__(self, entry):
        self.name = entry["name"]
        self.offset = int(entry["offset"])
        self.length = int(entry["length"])
        self.type = entry["type"]
        if self.type not in _TYPES:
            raise SchemaError("field '%s': unknown type %r" % (self.name, self.type))
        self.key_type, width, self.format = _TYPES[self.type]
        if width and self.length != width:
            raise SchemaError("field '%s': a %s is %d bytes, not %d" % (self.name, self.type, width, self.length))
        self.pad = b" " if entry.get("pad") == "blank" else b"\0"
        self.null = entry.get("null")

    def decode(self, record):
        raw = bytes(record[self.offset:self.offset + self.length])
        if self.null is not None and self.type in _TEXT | {"bytes"}:
            fill = self.null.encode("latin-1") if isinstance(self.null, str) else bytes([self.null])
            if raw == fill * self.length:
                return None
        if self.format:
            value = struct.unpack(self.format, raw)[0]
            if self.null == "zero" and value == 0.0:
                return None
            if self.type not in ("float", "double") and self.null is not None and value == self.null:
                return None
            return value
        if self.type in ("bytes", "recid"):
            return raw
        if self.type in _WIDE_TEXT:
            return raw.decode(_WIDE).rstrip(" ")
        if self.type == "char":
            return raw.rstrip(self.pad).decode()
        return raw.split(b"\0", 1)[0].decode()

    def encode(self, value, record):
        if value is None:
            if self.null is None:
                raise SchemaError("field '%s': null, but the field has no null convention" % self.name)
            if self.null == "zero":
                value = 0.0
            elif self.type in _TEXT | {"bytes"}:
                fill = self.null.encode("latin-1") if isinstance(self.null, str) else bytes([self.null])
                record[self.offset:self.offset + self.length] = fill * self.length
                return
            else:
                value = self.null
        if self.format:
            try:
                raw = struct.pack(self.format, value)
            except (struct.error, TypeError, OverflowError) as e:
                raise SchemaError("field '%s': %r does not fit a %s (%s)" % (self.name, value, self.type, e))
            if self.type == "float" and math.isfinite(value) and not math.isfinite(struct.unpack("=f", raw)[0]):
                raise SchemaError("field '%s': %r is too large for a float" % (self.name, value))
        elif self.type in ("bytes", "recid"):
            raw = bytes(value)
            if len(raw) != self.length:
                raise SchemaError("field '%s': not %d bytes" % (self.name, self.length))
        else:
            wide = self.type in _WIDE_TEXT
            raw = value.encode(_WIDE if wide else "utf-8")
            if len(raw) > self.length:
                raise SchemaError("field '%s': %r does not fit in %d bytes" % (self.name, value, self.length))
            fill = " ".encode(_WIDE) if wide else self.pad
            raw += fill * ((self.length - len(raw)) // len(fill))
        record[self.offset:self.offset + self.length] = raw


class Index:
    def __init__(self, entry, fields):
        self.number = int(entry["number"])
        self.unique = bool(entry.get("unique", False))
        self.flags = 0
        for flag in entry.get("flags", []):
            self.flags |= _FLAGS[flag]
        self.parts = []
        for part in entry["parts"]:
            name, descending = (part, False) if isinstance(part, str) else (part["field"], part.get("descending", False))
            if name not in fields:
                raise SchemaError("index %d: part '%s' names no field" % (self.number, name))
            self.parts.append((fields[name], bool(descending)))

    def key_text(self):
        """The key as `wisam create --key` and `wisam.build` take it."""
        flags = ([] if self.unique else ["dups"]) + [f for f, bit in _FLAGS.items() if bit in (2, 4, 8, 16, 32) and self.flags & bit]
        parts = ",".join("%d:%d:%s%s" % (f.offset, f.length, _key_type_name(f.key_type), "-" if d else "")
                         for f, d in self.parts)
        return ":".join([parts] + flags)


def _key_type_name(number):
    return ["char", "int", "long", "double", "float", "short", "nlong", "string", "wtext", "recid",
            "devtag", "wdevtag", "bytes", "wnocase"][number]


class Schema:
    """A schema from a dict, from JSON text (Schema.parse) or a file (Schema.load)."""

    def __init__(self, entry):
        self.record_length = int(entry["record_length"])
        self.fields = [Field(f) for f in entry["fields"]]
        self.fields.sort(key=lambda f: f.offset)
        by_name = {}
        for f in self.fields:
            if f.name in by_name:
                raise SchemaError("field '%s' is named twice" % f.name)
            if f.offset + f.length > self.record_length:
                raise SchemaError("field '%s' runs past the record length %d" % (f.name, self.record_length))
            by_name[f.name] = f
        for a, b in zip(self.fields, self.fields[1:]):
            if a.offset + a.length > b.offset:
                raise SchemaError("fields '%s' and '%s' overlap" % (a.name, b.name))
        self.by_name = by_name
        self.indexes = sorted((Index(i, by_name) for i in entry.get("indexes", [])), key=lambda i: i.number)

    @classmethod
    def parse(cls, text):
        return cls(json.loads(text))

    @classmethod
    def load(cls, path):
        with open(path, encoding="utf-8") as f:
            return cls(json.load(f))

    def decode(self, record):
        return {f.name: f.decode(record) for f in self.fields}

    def encode(self, values):
        unknown = set(values) - set(self.by_name)
        if unknown:
            raise SchemaError("%s: no field of the schema" % ", ".join(sorted(unknown)))
        record = bytearray(self.record_length)
        for f in self.fields:
            if f.name in values:
                f.encode(values[f.name], record)
        return bytes(record)

    def keys(self):
        """The key texts of the indexes, index 1 first (None when it has no primary key)."""
        numbers = [i.number for i in self.indexes]
        keys = [] if 1 in numbers else [None]
        return keys + [i.key_text() for i in self.indexes]
