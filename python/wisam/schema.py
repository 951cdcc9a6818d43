"""Records as dicts: the schema file that `wisam schema` writes and
`wisam dump/load --schema` read, and the encoding of each field's value.

Field types (and what a value is in Python): char, string, devtag, wtext,
wnocase, wdevtag (str); int, long, short, nlong, time (int); float, double
(float, or int); bytes, recid (bytes).  A field with a null convention
("null") gives None for a null and stores None as that convention says.

A schema is checked by the rules in schema_rules.json, the file the wisam
tool is built with: the same checks in the same order, refused with the same
message, whether the tool or this package reads the schema.

Decoding a record is one compiled function per schema: one struct.Struct
unpacks every number and text of a byte order at once, and the dict is
built in one expression, since a scan decodes every record it reads.
"""

from __future__ import annotations

import importlib.resources
import json
import math
import operator
import os
import re
import struct
import sys
from typing import Any, Callable, Dict, Iterable, List, Optional, Tuple, Union

_WIDE = "utf-16-le" if sys.byteorder == "little" else "utf-16-be"

RULES = json.loads(importlib.resources.files(__package__).joinpath("schema_rules.json").read_text(encoding="utf-8"))
_TYPES = {t["name"]: t for t in RULES["types"]}
_LIMITS = RULES["limits"]
_MEMBERS = RULES["members"]
_FLAGS = RULES["flags"]
_PADS = RULES["pads"]

# How this package encodes a value of each type (the struct format of a number).
_FORMATS = {"int": ">h", "long": ">i", "short": "=h", "nlong": "=i", "time": ">Q", "float": "=f", "double": "=d"}
_TEXT = {"char", "string", "devtag"}
_WIDE_TEXT = {"wtext", "wnocase", "wdevtag"}
_RAW = {"bytes", "recid"}
_REAL = {"float", "double"}


class SchemaError(ValueError):
    """A schema that cannot be used, or a value that does not fit its field
    (the message names the field)."""


def message(key: str, **values: Any) -> str:
    """The rules' message `key` with each {name} replaced by values[name]; a
    replaced text is not searched again."""
    return re.sub(r"\{([a-z_]+)\}", lambda m: str(values[m.group(1)]) if m.group(1) in values else m.group(0),
                  RULES["messages"][key])


# JSON kinds as the tool's reader tells them apart: true is no number, 4.0 no
# whole number; a tuple is a list.
def _whole(value):
    return isinstance(value, int) and not isinstance(value, bool)


def _whole_in(value, low, high):
    return _whole(value) and low <= value <= high


def _dump(value):
    """A JSON value as the tool's messages show it."""
    try:
        return json.dumps(value, ensure_ascii=False, separators=(",", ":"))
    except (TypeError, ValueError):
        return repr(value)


def _int_member(entry, key, limits, what):
    low, high = limits
    value = entry.get(key)
    if not _whole_in(value, low, high):
        raise SchemaError(message("whole_number", what=what, member=key, low=low, high=high))
    return value


def _only_keys(entry, keys, what):
    for key in entry:
        if key not in keys:
            raise SchemaError(message("unknown_member", what=what, member=key))


def _refuse_twice(pairs):
    names = set()
    for name, _ in pairs:
        if name in names:
            raise SchemaError("refused JSON: the member %s is named twice in one object" % _dump(name))
        names.add(name)
    return dict(pairs)


def _not_json(constant):
    raise ValueError("%s is no JSON value" % constant)


class Field:
    """One field of a schema: its name, offset and length in the record, its
    type and null convention (see the module's help for the Python value of
    each type).  Built by Schema from the entries of "fields"."""

    name: str
    offset: int
    length: int
    type: str
    key_type: int
    null: Any

    def __init__(self, entry: Dict[str, Any]) -> None:
        if not isinstance(entry, dict):
            raise SchemaError(message("field_not_object"))
        name = entry.get("name")
        if not isinstance(name, str) or not name:
            raise SchemaError(message("field_name"))
        self.name = name
        what = message("field", name=name)
        _only_keys(entry, _MEMBERS["field"], what)
        self.offset = _int_member(entry, "offset", _LIMITS["offset"], what)
        self.length = _int_member(entry, "length", _LIMITS["length"], what)
        kind = entry.get("type")
        if not isinstance(kind, str) or kind not in _TYPES:
            raise SchemaError(message("field_type", what=what, types=" ".join(_TYPES)))
        rule = _TYPES[kind]
        self.type = kind
        self.key_type = rule["key_type"]
        self.format = _FORMATS.get(kind)
        if rule["width"] and self.length != rule["width"]:
            raise SchemaError(message("field_width", what=what, type=kind, width=rule["width"], length=self.length))
        if self.length % rule["unit"]:
            raise SchemaError(message("field_unit", what=what, type=kind, length=self.length))
        self.pad = b"\0"
        if "pad" in entry:
            pad = entry["pad"]
            if not rule.get("pad") or not isinstance(pad, str) or pad not in _PADS:
                raise SchemaError(message("field_pad", what=what))
            self.pad = bytes([_PADS[pad]])
        self.null = entry.get("null")
        self.null_zero, self.null_value, self.null_byte = False, None, None
        if self.null is not None:
            self._parse_null(rule, what)

    def _parse_null(self, rule, what):
        null, kind = self.null, rule["null"]
        low, high = _LIMITS["byte_range"]
        if kind == "zero" and null == "zero":
            self.null_zero = True
            return
        if kind == "integer" and _whole(null):
            if not rule["low"] <= null <= rule["high"]:
                raise SchemaError(message("null_range", what=what, low=rule["low"], high=rule["high"]))
            self.null_value = null
            return
        if kind == "byte" and _whole_in(null, low, high):
            self.null_byte = null
            return
        if kind == "text" and isinstance(null, str):
            try:
                encoded = null.encode("utf-8")
            except UnicodeEncodeError:
                encoded = b""
            if len(encoded) == 1:
                self.null_byte = encoded[0]
                return
        expected = message("null_" + kind, type=self.type, low=low, high=high)
        raise SchemaError(message("null_expected", what=what, expected=expected))

    def _error(self, text):
        return SchemaError("field '%s': %s" % (self.name, text))

    def decode(self, record: Union[bytes, bytearray, memoryview]) -> Any:
        """The field's value in record (None for a null)."""
        raw = bytes(record[self.offset:self.offset + self.length])
        if self.null_byte is not None and raw == bytes([self.null_byte]) * self.length:
            return None
        if self.format:
            value = struct.unpack(self.format, raw)[0]
            if self.null_zero and value == 0.0:
                return None
            if self.null_value is not None and value == self.null_value:
                return None
            return value
        if self.type in _RAW:
            return raw
        try:
            if self.type in _WIDE_TEXT:
                return raw.decode(_WIDE).split("\0", 1)[0].rstrip(" ")
            if self.type == "char":
                return raw.rstrip(self.pad).decode()
            return raw.split(b"\0", 1)[0].decode()
        except UnicodeDecodeError:
            raise self._error("its text is not UTF-8 (describe it as bytes)") from None

    def encode(self, value: Any, record: bytearray) -> None:
        """Stores value into the field's bytes of record (a bytearray); a value
        the field cannot hold is refused, and the record keeps its length."""
        raw = self._raw(value)
        if len(raw) != self.length:
            raise self._error("%r would take %d bytes, not %d" % (value, len(raw), self.length))
        record[self.offset:self.offset + self.length] = raw

    def _raw(self, value):
        if value is None:
            if self.null_byte is not None:
                return bytes([self.null_byte]) * self.length
            if self.null_zero:
                value = 0.0
            elif self.null_value is not None:
                value = self.null_value
            else:
                raise self._error("null, but the field has no null convention")
        if self.format:
            return self._number(value)
        if self.type in _RAW:
            if not isinstance(value, (bytes, bytearray, memoryview)):
                raise self._error("a %s value is bytes, not %s" % (self.type, type(value).__name__))
            raw = bytes(value)
            if len(raw) != self.length:
                raise self._error("not %d bytes" % self.length)
            return raw
        if not isinstance(value, str):
            raise self._error("a %s value is a str, not %s" % (self.type, type(value).__name__))
        wide = self.type in _WIDE_TEXT
        if self.type != "char" and "\0" in value:
            raise self._error("the text holds a NUL character")
        try:
            raw = value.encode(_WIDE if wide else "utf-8")
        except UnicodeEncodeError:
            raise self._error("%r is no text UTF-%d can hold" % (value, 16 if wide else 8)) from None
        if len(raw) > self.length:
            raise self._error("%r does not fit in %d bytes" % (value, self.length))
        fill = " ".encode(_WIDE) if wide else self.pad
        return raw + fill * ((self.length - len(raw)) // len(fill))

    def _number(self, value):
        real = self.type in _REAL
        fits = not isinstance(value, bool) and isinstance(value, (int, float) if real else int)
        if not fits and not real and not isinstance(value, bool):
            try:
                value, fits = operator.index(value), True  # an integer of another kind (numpy's)
            except TypeError:
                pass
        if not fits:
            raise self._error("a %s value is %s, not %s" % (self.type, "a number" if real else "a whole number",
                                                            type(value).__name__))
        try:
            raw = struct.pack(self.format, value)
        except (struct.error, TypeError, OverflowError) as e:
            raise self._error("%r does not fit a %s (%s)" % (value, self.type, e)) from None
        if self.type == "float" and math.isfinite(value) and not math.isfinite(struct.unpack("=f", raw)[0]):
            raise self._error("%r is too large for a float" % value)
        return raw


class Index:
    """One index of a schema: its number (1 the primary key), whether it is
    unique, its parts as (Field, descending) pairs and its key flags."""

    number: int
    unique: bool
    parts: List[Tuple[Field, bool]]
    flags: int

    def __init__(self, entry: Dict[str, Any], schema: "Schema") -> None:
        if not isinstance(entry, dict):
            raise SchemaError(message("index_not_object"))
        self.number = _int_member(entry, "number", _LIMITS["index_number"], message("an_index"))
        what = message("index", number=self.number)
        _only_keys(entry, _MEMBERS["index"], what)
        unique = entry.get("unique", False)
        if not isinstance(unique, bool):
            raise SchemaError(message("index_unique", what=what))
        self.unique = unique
        parts = entry.get("parts")
        if not isinstance(parts, (list, tuple)) or not 1 <= len(parts) <= _LIMITS["key_parts"]:
            raise SchemaError(message("index_parts", what=what, key_parts=_LIMITS["key_parts"]))
        self.parts = [self._part(part, schema, what) for part in parts]
        self.flags = 0
        flags = entry.get("flags", [])
        if not isinstance(flags, (list, tuple)):
            raise SchemaError(message("index_flags", what=what))
        for flag in flags:
            if not isinstance(flag, str) or flag not in _FLAGS:
                raise SchemaError(message("index_flag", what=what, flag=_dump(flag), flags=", ".join(_FLAGS)))
            self.flags |= _FLAGS[flag]

    @staticmethod
    def _part(part, schema, what):
        name, descending = part, False
        if isinstance(part, dict):
            _only_keys(part, _MEMBERS["part"], what)
            descending = part.get("descending", False)
            if not isinstance(descending, bool):
                raise SchemaError(message("part_descending", what=what))
            name = part.get("field")
        if not isinstance(name, str):
            raise SchemaError(message("part_form", what=what))
        if name not in schema.by_name:
            raise SchemaError(message("part_no_field", what=what, name=name))
        return schema.by_name[name], descending

    def key_text(self) -> str:
        """The key as `wisam create --key` and `wisam.build` take it."""
        flags = ([] if self.unique else ["dups"]) + [f for f, bit in _FLAGS.items()
                                                     if (bit & (bit - 1)) == 0 and self.flags & bit]
        parts = ",".join("%d:%d:%s%s" % (f.offset, f.length, _key_type_name(f.key_type), "-" if d else "")
                         for f, d in self.parts)
        return ":".join([parts] + flags)


# Key type names by number, as key texts write them.
KEY_TYPES = ["char", "int", "long", "double", "float", "short", "nlong", "string", "wtext", "recid",
             "devtag", "wdevtag", "bytes", "wnocase"]


def _key_type_name(number: int) -> str:
    return KEY_TYPES[number]


class Schema:
    """The layout of a file's records: a schema from a dict, from JSON text
    (Schema.parse) or a file (Schema.load), in the form `wisam schema` writes:

        {"record_length": 40,
         "fields": [{"name": "id", "offset": 0, "length": 4, "type": "long"}, ...],
         "indexes": [{"number": 1, "unique": true, "parts": ["id"]}, ...]}

    A bad schema raises SchemaError with the message the wisam tool gives.
    .fields lists the fields by offset, .by_name maps names to them, .indexes
    lists the indexes by number.

    A field's value in Python, by type: char, string, devtag, wtext, wnocase,
    wdevtag: str; int, long, short, nlong, time: int; float, double: float;
    bytes, recid: bytes.  A field with a null convention ("null") gives None
    for a null and stores None as that convention says."""

    record_length: int
    fields: List[Field]
    by_name: Dict[str, Field]
    indexes: List[Index]

    def __init__(self, entry: Dict[str, Any]) -> None:
        """The schema a dict (as json.load gives it) describes."""
        if not isinstance(entry, dict):
            raise SchemaError(message("schema_not_object"))
        what = message("the_schema")
        _only_keys(entry, _MEMBERS["schema"], what)
        self.record_length = _int_member(entry, "record_length", _LIMITS["record_length"], what)
        fields = entry.get("fields")
        if not isinstance(fields, (list, tuple)) or not fields:
            raise SchemaError(message("no_fields"))
        self.fields, self.by_name = [], {}
        for item in fields:
            field = Field(item)
            if field.name in self.by_name:
                raise SchemaError(message("named_twice", name=field.name))
            self.fields.append(field)
            self.by_name[field.name] = field
        self.fields.sort(key=lambda f: f.offset)
        for previous, f in zip([None] + self.fields, self.fields):
            if f.offset + f.length > self.record_length:
                raise SchemaError(message("runs_past", extent=_extent(f), record_length=self.record_length))
            if previous is not None and previous.offset + previous.length > f.offset:
                raise SchemaError(message("overlap", first=_extent(previous), second=_extent(f)))
        self.indexes = []
        indexes = entry.get("indexes", [])
        if not isinstance(indexes, (list, tuple)):
            raise SchemaError(message("indexes_not_list"))
        for item in indexes:
            index = Index(item, self)
            if any(i.number == index.number for i in self.indexes):
                raise SchemaError(message("index_twice", number=index.number))
            self.indexes.append(index)
        self.indexes.sort(key=lambda i: i.number)
        self.decode, self._fill = _compile_decoder(self)

    @classmethod
    def parse(cls, text: Union[str, bytes, bytearray]) -> "Schema":
        """A schema from JSON text (str or UTF-8 bytes; a byte-order mark before it
        is skipped)."""
        try:
            if isinstance(text, (bytes, bytearray)):
                text = bytes(text).decode("utf-8")
            text = text[1:] if text.startswith("\ufeff") else text
            entry = json.loads(text, object_pairs_hook=_refuse_twice, parse_constant=_not_json)
        except SchemaError:
            raise
        except ValueError as e:
            raise SchemaError("not JSON: %s" % e) from None
        return cls(entry)

    @classmethod
    def load(cls, path: Union[str, bytes, "os.PathLike[str]"]) -> "Schema":
        """The schema in the JSON file at path."""
        with open(path, "rb") as f:
            return cls.parse(f.read())

    def decode(self, record: Union[bytes, bytearray, memoryview, Any]) -> Dict[str, Any]:
        """The record's fields as a dict, in the order of their offsets (None for
        a null).  record is any object with the buffer interface, at least
        record_length bytes long.  (Replaced by the compiled decoder of the
        schema when it is made; this is what that decoder does.)"""
        return self._decode_fields(record)

    def _decode_fields(self, record: Any) -> Dict[str, Any]:
        """Field by field: slower, and the one that says which field failed."""
        raw = bytes(record)
        if len(raw) < self.record_length:
            raise SchemaError("a record is at least %d bytes, not %d" % (self.record_length, len(raw)))
        return {f.name: f.decode(raw) for f in self.fields}

    def encode(self, values: Dict[str, Any]) -> bytes:
        """A record of record_length bytes holding values (a dict of field name to
        value; a field not named holds zero bytes).  A name that is no field, or
        a value its field cannot hold, raises SchemaError."""
        if not isinstance(values, dict):
            raise SchemaError("a record is a dict of field values, not %s" % type(values).__name__)
        unknown = set(values) - set(self.by_name)
        if unknown:
            raise SchemaError("%s: no field of the schema" % ", ".join(sorted(map(str, unknown))))
        record = bytearray(self.record_length)
        for f in self.fields:
            if f.name in values:
                f.encode(values[f.name], record)
        return bytes(record)

    def build_keys(self) -> List[Optional[Index]]:
        """The keys of a new file: None for a file without primary key, then the
        indexes, which must be numbered from 1 (or 2) without gaps."""
        numbers = [i.number for i in self.indexes]
        if not numbers or numbers[0] > 2:
            raise SchemaError(message("no_first_index"))
        keys = [None] if numbers[0] == 2 else []
        for index in self.indexes:
            if index.number != len(keys) + 1:
                raise SchemaError(message("index_missing", number=len(keys) + 1))
            keys.append(index)
        return keys

    def keys(self) -> List[Optional[str]]:
        """The key texts of the indexes, index 1 first (None when it has no primary key)."""
        numbers = [i.number for i in self.indexes]
        keys = [] if 1 in numbers else [None]
        return keys + [i.key_text() for i in self.indexes]


def _extent(field: Field) -> str:
    return message("field_extent", name=field.name, offset=field.offset, length=field.length)


# The struct code of each number type, by byte order: "big" for the types
# stored big-endian, "native" for those stored in the machine's order.
_NATIVE = "<" if sys.byteorder == "little" else ">"


def _layout(fields: List[Field]) -> str:
    """A struct format (without byte order) taking fields one after another,
    skipping the bytes between them."""
    parts, at = [], 0
    for f in fields:
        if f.offset > at:
            parts.append("%dx" % (f.offset - at))
        parts.append(f.format[1] if f.format else "%ds" % f.length)
        at = f.offset + f.length
    return "".join(parts)


def _value_expression(field: Field, var: str, constants: Dict[str, Any]) -> str:
    """The Python expression that turns the unpacked item `var` of field into its
    value, as Field.decode does; constants it needs are added to constants."""
    def const(value: Any) -> str:
        name = "c%d" % len(constants)
        constants[name] = value
        return name
    if field.format:
        expression = var
        if field.null_zero:
            expression = "(None if %s == 0.0 else %s)" % (var, var)
        elif field.null_value is not None:
            expression = "(None if %s == %s else %s)" % (var, const(field.null_value), var)
        return expression
    if field.type in _RAW:
        expression = var
    elif field.type in _WIDE_TEXT:
        expression = "%s.decode(%s).split('\\0', 1)[0].rstrip(' ')" % (var, const(_WIDE))
    elif field.type == "char":
        expression = "%s.rstrip(%s).decode()" % (var, const(field.pad))
    else:
        expression = "%s.partition(b'\\0')[0].decode()" % var
    if field.null_byte is not None:
        expression = "(None if %s == %s else %s)" % (var, const(bytes([field.null_byte]) * field.length), expression)
    return expression


def _compile_decoder(schema: Schema) -> Tuple[Callable[[Any], Dict[str, Any]], Callable[..., Tuple[int, bool]]]:
    """The decoder of schema's records, and the loop of a scan that reads and
    decodes them.  decode(record) takes a buffer (bytes, a memoryview, a
    ctypes array) and returns the dict Schema.decode describes.

    fill(read, handle, buffer, view, mode, count, append) calls read(handle,
    buffer, mode) (isRead) up to count times, mode becoming 2 (next) after
    the first, and appends the record each read leaves in buffer, decoded
    from view (a memoryview of buffer); it returns the mode of the next read
    and whether every read succeeded (when not, isErrno says why).  One loop
    with the decoding written into it saves a call a record.

    Numbers stored big-endian and those in the machine's order are two
    struct.Structs (one when the machine is big-endian); texts and bytes go
    with the native ones."""
    groups: Dict[str, List[Field]] = {">": [], _NATIVE: []}
    for f in schema.fields:
        order = f.format[0] if f.format else _NATIVE
        groups[_NATIVE if order == "=" else order].append(f)
    constants: Dict[str, Any] = {"fallback": schema._decode_fields, "struct": struct}
    lines, names = [], {}
    for number, (order, fields) in enumerate(sorted(groups.items())):
        if not fields:
            continue
        unpack = "u%d" % number
        constants[unpack] = struct.Struct(order + _layout(fields)).unpack_from
        targets = []
        for f in fields:
            names[f.name] = "v%d" % len(names)
            targets.append(names[f.name])
        lines.append("%s, = %s(record)" % (", ".join(targets), unpack))
    items = ", ".join("%r: %s" % (f.name, _value_expression(f, names[f.name], constants)) for f in schema.fields)

    def unpacking(indent: int) -> str:
        return "\n".join(" " * indent + line for line in lines)
    source = ("def decode(record):\n"
              "    try:\n%s\n"
              "        return {%s}\n"
              "    except (UnicodeDecodeError, struct.error):\n"
              "        return fallback(record)\n"
              "\n"
              "def fill(read, handle, buffer, record, mode, count, append):\n"
              "    for _ in range(count):\n"
              "        if not read(handle, buffer, mode):\n"
              "            return mode, False\n"
              "        mode = 2\n"
              "        try:\n%s\n"
              "            append({%s})\n"
              "        except UnicodeDecodeError:\n"
              "            append(fallback(record))\n"
              "    return mode, True\n") % (unpacking(8), items, unpacking(12), items)
    exec(compile(source, "<wisam.Schema decoder>", "exec"), constants)
    decode = constants["decode"]
    decode.__doc__ = Schema.decode.__doc__
    return decode, constants["fill"]
