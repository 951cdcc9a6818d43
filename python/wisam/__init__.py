"""wisam for Python: the ISAM files of libwisam.so, through ctypes.

An ISAM file holds records of a fixed length (or up to a maximum, for a
variable-length file) and indexes over fields of them; index 1 is the
primary key.  This package is plain Python over the library's C interface:
it needs libwisam.so and nothing else.

Finding the library: the path in $WISAM_LIBRARY; else build/release,
build/test, then any build/* directory of the source tree the package lies
in; else wherever the system's loader finds libwisam.so.6.  Importing the
package fails with ImportError listing the places tried.

Records are bytes, or with a Schema (the JSON that `wisam schema` writes)
dicts of field values.  A file whose schema is kept with it (N.wsc, from
`wisam create N --schema S.json` or `wisam schema N --set S.json`) is opened
with that schema when none is given (schema=False: bytes):

    schema = wisam.Schema.load("people.json")
    with wisam.open("people", schema=schema) as f:
        f.write({"id": 7, "name": "Ada"})
        f.read(7)                       # the record whose primary key is 7, or None
        f[7]                            # the same, or wisam.NotFound (a KeyError)
        7 in f                          # True or False, one look in the index
        for rec in f.index(2).range("A", "B"):
            ...

Main entry points:

    build(name, record_length, *keys, schema=)  create a file, returns a File
    open(name, readonly=, schema=, ...)         open one, returns a File
    kept_schema(name)                           the schema kept with a file, or None
    erase(name)                                 remove a file
    File.read / [] / in / write / rewrite / delete / index / lock / locked
    IndexView.range / items                     records in the order of an index
    transaction(), begin/commit/rollback, log_open/log_close
    Schema, SchemaError, Error, NotFound

Keys.  Every positional argument that names a record is a key; a record
number is always given as recnum=.  A key is, for any file, a record's
bytes (its key is taken from where the index's parts lie) or bytes shorter
than a record: the key's own bytes, or its first bytes; with a schema also a
dict of field values, the value of the key's first field, or a tuple of the
values of its first fields.  A key that gives only the first parts (or
bytes) of an index's key matches every record whose key begins with it.

Index numbers are those of `wisam info`: 1 the primary key, 0 the order of
record numbers (a file without primary key calls that order 1 too).

Errors.  A failed call raises Error, with the library's error number in
.errno and its text in .message; a key or record number that no record has
raises NotFound (an Error and a KeyError) where the call needs the record,
while read() returns None and `in` False.  Nothing reaches the library
unchecked: a key of the wrong kind raises TypeError; a whole number out of
the range of the C argument it becomes (a record number, a length, an index
number, a key part's offset) raises ValueError naming the argument, as does
a name holding a NUL; a value that does not fit its schema field raises
SchemaError (a ValueError) naming the field.  A refused call changes
nothing.

Threads may share a File to write.  Reading and scanning position the file's
handle, and a handle has one position per index: give each reading thread a
File of its own.
"""

from __future__ import annotations

import builtins
import contextlib
import ctypes
import itertools
import os
import re
import threading
from typing import Any, Dict, Iterator, List, Optional, Sequence, Tuple, Union

from . import _lib
from . import schema as schema_rules
from ._lib import error_text, fast, lib
from .schema import Schema, SchemaError

__all__ = ["Error", "NotFound", "File", "IndexView", "Schema", "SchemaError", "Record", "Key",
           "build", "open", "kept_schema", "erase", "log_open", "log_close", "transaction", "begin", "commit", "rollback"]

#: A record: its bytes, or with a schema a dict of field name to value.
Record = Union[bytes, Dict[str, Any]]
#: A key (see the module's help): a record's bytes or the key's bytes; with a
#: schema also a dict of field values, a field value or a tuple of them.
Key = Union[bytes, bytearray, memoryview, Dict[str, Any], Tuple[Any, ...], Any]

_KEY_FLAGS = dict({"dups": _lib.ISKEY_DUPS}, **schema_rules.RULES["flags"])
ENOCURR = 112
# Transactions: the calls take no handle and report through errno, which
# commit and rollback leave as it was when there is no transaction.
ENOTRANS = 122

# A scan reads this many records under one lock of the file's state, the
# first time, and twice as many each time after, up to _BATCH_MAX: a scan
# that is left after a few records has read few more.
_BATCH_FIRST = 8
_BATCH_MAX = 256


class Error(OSError):
    """A failed call: .errno is the library's error number (100..134) or the
    system's, .message its text, and str() names the call that failed."""

    message: str

    def __init__(self, number: int, what: str) -> None:
        super().__init__(number, "%s: %s" % (what, error_text(number)))
        self.message = error_text(number)


class NotFound(Error, KeyError):
    """No record has the key or the record number asked for.  An Error (errno
    111, or 112 from a call by record number) and a KeyError, as f[key] of a
    dict would raise."""


def _check(ok: int, handle: Any, what: str) -> None:
    if not ok:
        raise Error(lib.isErrno(handle), what)


def _fail(handle: ctypes.c_void_p, what: str, absent: Sequence[int] = ()) -> None:
    """Raises the error of the handle's last call: NotFound for the numbers in
    absent, else Error."""
    number = fast.isErrno(handle)
    raise (NotFound if number in absent else Error)(number, what)


def _key_number(text: str, low: int, high: int) -> Optional[int]:
    """The whole number of a key text's START or LEN, or None."""
    if not re.fullmatch(r"\s*[+-]?[0-9]+", text):
        return None
    number = int(text)
    return number if low <= number <= high else None


def _key_type(text: str) -> Optional[int]:
    """A key text's TYPE (a name or number, "-" after it for descending), or None."""
    descending = text.endswith("-")
    name = text[:-1] if descending else text
    number = schema_rules.KEY_TYPES.index(name) if name in schema_rules.KEY_TYPES else _key_number(name, 0, _lib.ISTYPE_MASK)
    if number is None:
        return None
    return number | (_lib.ISTYPE_DESC if descending else 0)


def _part(desc: _lib.KeyDesc, start: int, length: int, kind: int, what: str) -> None:
    """Appends a key part to desc, each number checked before ctypes holds it."""
    if desc.partCount == _lib.MAX_KEY_PARTS:
        raise ValueError("%s: a key has at most %d parts" % (what, _lib.MAX_KEY_PARTS))
    part = desc.parts[desc.partCount]
    _lib.assign(part, "start", start, what + ": start")
    _lib.assign(part, "length", length, what + ": length")
    _lib.assign(part, "type", kind, what + ": type")
    desc.partCount += 1


def _key_desc(key: Union[str, schema_rules.Index, None]) -> _lib.KeyDesc:
    """A KeyDesc from a key text ('0:4:long,4:8:char-:dups', as `wisam create --key`
    reads it), a schema Index, or None."""
    desc = _lib.KeyDesc()
    if key is None:
        return desc
    if isinstance(key, str):
        what = "key %r" % key
        flags = []
        for piece in key.split(","):
            fields = piece.split(":")
            if len(fields) < 3:
                raise ValueError("%s: a key part is START:LEN:TYPE, not '%s'" % (what, piece))
            start = _key_number(fields[0], 0, 32767)
            length = _key_number(fields[1], 1, _lib.MAX_KEY_LENGTH)
            kind = _key_type(fields[2])
            if start is None or length is None or kind is None:
                raise ValueError("%s: bad key part '%s'" % (what, piece))
            _part(desc, start, length, kind, what)
            flags += fields[3:]
        for flag in flags:
            if flag not in _KEY_FLAGS:
                raise ValueError("%s: unknown key flag '%s'" % (what, flag))
            desc.flags |= _KEY_FLAGS[flag]
        return desc
    if not isinstance(key, schema_rules.Index):
        raise ValueError("a key is a key text, a schema's index or None, not %r" % (key,))
    what = "index %d" % key.number
    _lib.assign(desc, "flags", key.flags | (0 if key.unique else _lib.ISKEY_DUPS), what + ": flags")
    for field, descending in key.parts:
        kind = field.key_type | (_lib.ISTYPE_DESC if descending else 0)
        if key.flags & _lib.ISKEY_NULLSUPPRESS and (field.null_byte is not None or field.null_value is not None
                                                     or field.null_zero):
            probe = bytearray(field.offset + field.length)
            field.encode(None, probe)
            fill = probe[field.offset:]
            if fill == fill[:1] * field.length:
                kind |= fill[0] << 8
        _part(desc, field.offset, field.length, kind, what)
    return desc


_BYTES = (bytes, bytearray, memoryview)


def _kind(value: Any) -> str:
    return type(value).__name__


def _bytes_fill(take: Any) -> Any:
    """The loop of a scan of records as bytes (see schema._compile_decoder)."""
    def fill(read: Any, handle: Any, buffer: Any, record: Any, mode: int, count: int,
             append: Any) -> Tuple[int, bool]:
        for _ in range(count):
            if not read(handle, buffer, mode):
                return mode, False
            mode = _lib.MODE_NEXT
            append(take(buffer))
        return mode, True
    return fill


class IndexView:
    """The records of a file in the order of one of its indexes (File.index(n)).
    Iterating it gives every record; range(lo, hi) those from key lo to key
    hi; items() pairs of (record number, record).

    A scan reads a few records at a time (8, then twice as many each time, up
    to 256) under one lock of the file's state, and yields them after: a
    record changed after it was read is yielded as it was read.  Its place in
    the index is its own, whatever else uses the File meanwhile (reads, other
    scans)."""

    number: int
    desc: _lib.KeyDesc
    key_length: int

    def __init__(self, file: "File", number: int) -> None:
        """The view of index `number` of file (File.index makes them)."""
        number = _lib.in_range("index", number, 0, _lib.MAX_INDEX_NUMBER)
        self._file = file
        self.number = number
        f = file._handle
        self.desc = _lib.KeyDesc()
        if number > 0:
            _check(lib.isIndexInfo(f, ctypes.byref(self.desc), number), f, "isIndexInfo")
        # isIndex's number: a file without primary key does not count its
        # record-number order.
        self._library = number - 1 if file._no_primary and number > 0 else number
        if self.desc.partCount == 0:
            self._library = 0
        self._desc_ref = ctypes.byref(self.desc)
        self._parts = [(p.start, p.length) for p in self.desc.parts[:self.desc.partCount]]
        self.key_length = sum(length for _, length in self._parts)
        fields = file.schema.fields if file.schema is not None else []
        self._fields = [next((f for f in fields if f.offset == start and f.length == length), None)
                        for start, length in self._parts]

    def __iter__(self) -> Iterator[Record]:
        """Every record, in the index's order."""
        return self.range()

    def __repr__(self) -> str:
        return "<wisam.IndexView %d of %r>" % (self.number, self._file)

    def _key_image(self, key: Key, buffer: ctypes.Array, call: str) -> int:
        """Puts key into buffer where the index's parts lie; returns how many
        bytes of the key it gives (key_length for a whole key).  call names the
        method for a refusal."""
        file = self._file
        if self._library == 0:
            raise ValueError("%s: index %d is the order of record numbers, which has no key: "
                             "give recnum= or use another index" % (call, self.number))
        if isinstance(key, _BYTES):
            raw = bytes(key)
            if len(raw) >= max(file.record_length, 1):
                ctypes.memmove(buffer, raw, min(len(raw), len(buffer)))
                return self.key_length
            if len(raw) > self.key_length:
                raise ValueError("%s: a key of index %d is at most %d bytes, or a record of %d, not %d bytes"
                                 % (call, self.number, self.key_length, file.record_length, len(raw)))
            at = 0
            for start, length in self._parts:
                take = raw[at:at + length]
                buffer[start:start + len(take)] = take
                at += len(take)
            return len(raw)
        if file.schema is None:
            hint = "; a record number goes as recnum=" if isinstance(key, int) and call != "range" else ""
            raise TypeError("%s: a key of a file without schema is bytes (a record, or the key's first bytes), "
                            "not %s%s" % (call, _kind(key), hint))
        if isinstance(key, dict):
            ctypes.memmove(buffer, file.schema.encode(key), file.record_length)
            return self.key_length
        values = key if isinstance(key, tuple) else (key,)
        if len(values) > len(self._parts):
            raise SchemaError("a key of index %d has %d parts" % (self.number, len(self._parts)))
        length = 0
        for p, value in enumerate(values):
            field = self._fields[p]
            if field is None:
                raise SchemaError("key part %d of index %d is no field of the schema" % (p + 1, self.number))
            field.encode(value, buffer)
            length += field.length
        return length

    def range(self, lo: Optional[Key] = None, hi: Optional[Key] = None, lock: bool = False) -> Iterator[Record]:
        """The records from key lo to key hi, both included, in the index's order
        (None: from the first, to the last).  lo and hi are keys as the module's
        help says: a key giving only the first parts of the index's key takes in
        every record that begins with it.  In record-number order (index 0) they
        are record numbers.  lock=True locks each record as it is read (and
        reads one at a time)."""
        return itertools.chain.from_iterable(self._scan(lo, hi, lock, False))

    def items(self, lo: Optional[Key] = None, hi: Optional[Key] = None,
              lock: bool = False) -> Iterator[Tuple[int, Record]]:
        """As range, but (record number, record) pairs: the numbers that
        File.read(recnum=), rewrite(recnum=) and delete(recnum=) take."""
        return itertools.chain.from_iterable(self._scan(lo, hi, lock, True))

    def _start(self, lo: Optional[Key], buffer: ctypes.Array) -> Tuple[int, bool]:
        """Positions before the first record of a scan from lo; the read mode
        that reads it and whether there is one."""
        file = self._file
        k = self._library
        if k == 0:
            if lo is None:
                return _lib.MODE_FIRST, True
            first = _lib.in_range("recnum", lo, -2**31, 2**31 - 1)
            file._select(k)
            fast.isSetrec(file._h, max(first, 1))
            return _lib.MODE_GREATER_EQUAL, True
        length = 0 if lo is None else self._key_image(lo, buffer, "range")
        if length == 0:
            file._select(k)
            return _lib.MODE_FIRST, True
        found = fast.isStart(file._h, self._desc_ref, length if length < self.key_length else 0, buffer,
                             _lib.MODE_GREATER_EQUAL)
        file._positioned(k, length < self.key_length)
        if not found:
            if fast.isErrno(file._h) == _lib.ENOREC:
                return _lib.MODE_NEXT, False
            _fail(file._h, "isStart")
        return _lib.MODE_NEXT, True

    def _restore(self, recnum: int, last: Optional[bytes], seen: List[Any]) -> Tuple[int, List[Any]]:
        """Back to the record a scan read last, after another call moved the
        handle's position: the read mode that goes on after it, and records not
        to yield again.  When that record is gone, in record-number order the
        scan goes on at the next number; in a key order at the first record of
        its key, passing over those the last batch yielded (equal keys come in
        the order they were written)."""
        file, k = self._file, self._library
        h = file._h
        file._positioned(k, False)
        if fast.isPop(h, k, recnum):
            # Reading the record again leaves the next read free to go on
            # from it, whatever an earlier start told it.
            if not fast.isRead(h, ctypes.create_string_buffer(file._buffer_size), _lib.MODE_CURRENT):
                _fail(h, "isRead")
            return _lib.MODE_NEXT, []
        if fast.isErrno(h) != _lib.ENOREC:
            _fail(h, "isPop")
        if k == 0:
            fast.isSetrec(h, recnum)
            return _lib.MODE_GREATER, []
        buffer = ctypes.create_string_buffer(last, file._buffer_size)
        if not fast.isStart(h, self._desc_ref, 0, buffer, _lib.MODE_GREATER_EQUAL):
            if fast.isErrno(h) == _lib.ENOREC:
                return -1, []
            _fail(h, "isStart")
        return _lib.MODE_NEXT, seen

    def _scan(self, lo: Optional[Key], hi: Optional[Key], lock: bool, numbers: bool) -> Iterator[List[Any]]:
        """The records of a scan, a batch (a list) at a time: chained by
        itertools, a record costs no step of this generator."""
        file = self._file
        k = self._library
        buffer = ctypes.create_string_buffer(file._buffer_size)
        lock_flags = _lib.READ_LOCK if lock else 0
        high_key = None
        high_number = None
        if k == 0:
            if hi is not None:
                high_number = _lib.in_range("recnum", hi, -2**31, 2**31 - 1)
        elif hi is not None:
            high_length = self._key_image(hi, buffer, "range")
            if high_length:
                high_key = ctypes.create_string_buffer(_lib.MAX_KEY_LENGTH)
                fast.customKeyMake(file._h, high_key, buffer, k - 1)
        mode, any_left = self._start(lo, buffer)
        if not any_left:
            return
        read, recnum_of, key_make, key_cmp = fast.isRead, fast.isRecnum, fast.customKeyMake, fast.customKeyCmp
        take, fill = file._take, file._fill
        # A schema's decoder unpacks from a memoryview faster than from the
        # ctypes buffer itself; bytes are cut from the buffer.
        source = memoryview(buffer) if file.schema is not None else buffer
        key = ctypes.create_string_buffer(_lib.MAX_KEY_LENGTH)
        want_numbers = numbers or high_number is not None
        size = 1 if lock else _BATCH_FIRST
        saved = ctypes.c_int32()
        skip: List[Any] = []
        batch: List[Any] = []
        last = b""
        mine = file._moved
        while True:
            h = file._h
            if file._selected != k:
                file._select(k)
            if file._moved != mine:
                mode, skip = self._restore(saved.value, last, [r for _, r in batch] if numbers else batch)
                if mode < 0:
                    return
            keep = size > 1 and not file._unlocked_reads
            if keep and not fast.isSetCustomLock(h, 1):
                _fail(h, "isSetCustomLock")
            batch = []
            status = 0
            try:
                if not (want_numbers or lock or skip) and high_key is None:
                    mode, complete = fill(read, h, buffer, source, mode, size, batch.append)
                    if not complete:
                        status = fast.isErrno(h)
                else:
                    while len(batch) < size:
                        if not read(h, buffer, mode | lock_flags):
                            status = fast.isErrno(h)
                            break
                        mode = _lib.MODE_NEXT
                        if high_key is not None:
                            key_make(h, key, buffer, k - 1)
                            if key_cmp(h, key, high_key, high_length, k - 1) > 0:
                                status = _lib.EENDFILE
                                break
                        recnum = recnum_of(h) if want_numbers else 0
                        if high_number is not None and recnum > high_number:
                            status = _lib.EENDFILE
                            break
                        record = take(source)
                        if skip:
                            if record in skip:
                                continue
                            skip = []
                        batch.append((recnum, record) if numbers else record)
            finally:
                if keep and not fast.isSetCustomLock(h, 0):
                    _fail(h, "isSetCustomLock")
            file._moved += 1
            mine = file._moved
            if batch and not status:
                fast.isPush(h, None, ctypes.byref(saved))
                last = buffer.raw
            if batch:
                yield batch
            if status:
                if status == _lib.EENDFILE or (status == _lib.ENOREC and mode != _lib.MODE_NEXT):
                    return
                raise Error(status, "isRead")
            size = min(size * 2, _BATCH_MAX) if size > 1 else 1


class File:
    """An open ISAM file, from build or open: a context manager that closes it.

    Reading: f.read(key) (None when absent), f[key] (NotFound when absent),
    key in f, iter(f) (index 1's order), f.index(n) (IndexView), len(f).
    Changing: write, rewrite, delete.  Locks: lock, unlock, release, locked.
    .schema is the Schema records are decoded with (None: bytes),
    .record_length the length of a record (the fixed part of a variable one),
    .max_length the longest record the file holds."""

    schema: Optional[Schema]
    record_length: int
    max_length: int

    def __init__(self, handle: int, schema: Optional[Schema], exclusive: bool = False) -> None:
        """Takes over a handle of isBuild or isOpen (build and open make Files;
        exclusive says the handle was opened so)."""
        self._handle = handle
        self._h = ctypes.c_void_p(handle)
        self.schema = schema
        info = _lib.IsamInfo()
        _check(lib.isIsamInfo(handle, ctypes.byref(info)), handle, "isIsamInfo")
        self.record_length = lib.isReclen(handle)
        self.max_length = info.recordSize
        self._buffer_size = max(self.max_length, self.record_length, 1) + 1 + _lib.MAX_KEY_LENGTH
        first = _lib.KeyDesc()
        _check(lib.isIndexInfo(handle, ctypes.byref(first), 1), handle, "isIndexInfo")
        self._no_primary = first.partCount == 0
        if schema is not None and schema.record_length != self.record_length:
            raise SchemaError("the schema's record length %d is not the file's %d"
                              % (schema.record_length, self.record_length))
        self._exclusive = exclusive
        self._kept = False
        self._views: Dict[int, IndexView] = {}
        self._local = threading.local()
        # What the package knows of the handle's position: the index selected
        # (isIndex's number, None: unknown), how often a read or a start moved
        # it (a scan that finds the count changed goes back to its own place:
        # each index keeps its own position, but a start also tells the next
        # read of any index to read the current record again), and the
        # indexes whose last start compared only a key's first bytes (a later
        # exact read must start again with the whole key).
        self._selected: Optional[int] = None
        self._moved = 0
        self._partial: set = set()
        if schema is not None:
            self._take = schema.decode
            self._fill = schema._fill
        else:
            if self.max_length > self.record_length:
                self._take = lambda buffer: buffer[:fast.isReclen(self._h)]
            else:
                length = self.record_length
                self._take = lambda buffer: buffer[:length]
            self._fill = _bytes_fill(self._take)

    def __enter__(self) -> "File":
        return self

    def __exit__(self, *exc: Any) -> None:
        self.close()

    def __repr__(self) -> str:
        if not self._handle:
            return "<wisam.File closed>"
        return "<wisam.File of %d-byte records%s>" % (self.record_length, ", with a schema" if self.schema else "")

    def close(self) -> None:
        """Closes the file; later calls on it fail with Error 101 (File not open)."""
        if self._handle:
            handle = self._handle
            _check(lib.isClose(handle), handle, "isClose")
            self._handle, self._h = None, ctypes.c_void_p()

    @property
    def info(self) -> Tuple[int, int, int]:
        """(index count, record size, record count) of the file now."""
        info = _lib.IsamInfo()
        _check(lib.isIsamInfo(self._handle, ctypes.byref(info)), self._handle, "isIsamInfo")
        return info.indexCount, info.recordSize, info.recordCount

    def __len__(self) -> int:
        """The number of records."""
        return self.info[2]

    @property
    def recnum(self) -> int:
        """The number of the record the library last read, wrote or positioned
        on: after write, the new record's.  A scan reads ahead: take the numbers
        of the records it yields from IndexView.items()."""
        return lib.isRecnum(self._handle)

    @property
    def _unlocked_reads(self) -> bool:
        """Whether reads take no lock of the file's state of their own: an
        exclusive handle, or inside locked()."""
        return self._exclusive or self._kept

    def _scratch(self) -> ctypes.Array:
        """This thread's record buffer for keyed calls."""
        try:
            return self._local.buffer
        except AttributeError:
            self._local.buffer = ctypes.create_string_buffer(self._buffer_size)
            return self._local.buffer

    def _select(self, k: int) -> None:
        if not fast.isIndex(self._h, k):
            _fail(self._h, "isIndex")
        self._selected = k

    def _positioned(self, k: int, partial: bool) -> None:
        """Notes an isStart (or isPop) on index k."""
        self._selected = k
        self._moved += 1
        if partial:
            self._partial.add(k)
        else:
            self._partial.discard(k)

    def _view(self, number: int) -> IndexView:
        view = self._views.get(number) if isinstance(number, int) and not isinstance(number, bool) else None
        if view is None:
            view = IndexView(self, number)
            self._views[view.number] = view
        return view

    def _keyed(self, number: int, call: str) -> IndexView:
        view = self._view(number)
        if view._library == 0:
            raise ValueError("%s: index %d is the order of record numbers, which has no key: give recnum=%s"
                             % (call, number, " or use another index" if number else ""))
        return view

    def _record(self, buffer: ctypes.Array) -> Record:
        return self._take(buffer)

    def _image(self, record: Record) -> ctypes.Array:
        """A buffer holding a record given as bytes or a dict; for a
        variable-length file its length is set for the next write."""
        if isinstance(record, dict):
            if self.schema is None:
                raise TypeError("a record as a dict needs a schema; this file has none")
            record = self.schema.encode(record)
        if not isinstance(record, _BYTES):
            raise TypeError("a record is bytes%s, not %s" % (" or a dict" if self.schema else "", _kind(record)))
        raw = bytes(record)
        if len(raw) < self.record_length or len(raw) > self.max_length:
            raise SchemaError("a record is %d to %d bytes, not %d" % (self.record_length, self.max_length, len(raw)))
        if self.max_length > self.record_length:
            lib.isSetlen(self._handle, len(raw))
        return ctypes.create_string_buffer(raw, self._buffer_size)

    # Reading

    def read(self, key: Optional[Key] = None, index: int = 1, lock: bool = False, *,
             recnum: Optional[int] = None) -> Optional[Record]:
        """The first record, in the order of index `index`, whose key is `key`;
        None when there is none (as dict.get).  key is a record's bytes, the
        key's bytes, or with a schema a dict, a field value or a tuple of them
        (see the module's help); one giving only the key's first parts finds
        the first record that begins with it.  recnum=N instead reads record
        number N (None when it is deleted or beyond the last).  lock=True
        locks the record (Error 107 when another handle holds it)."""
        h = self._h
        flags = _lib.READ_LOCK if lock else 0
        if recnum is not None:
            if key is not None:
                raise TypeError("read: give a key or recnum=, not both")
            number = _lib.in_range("recnum", recnum, -2**31, 2**31 - 1)
            buffer = self._scratch()
            if self._selected != 0:
                self._select(0)
            self._moved += 1
            fast.isSetrec(h, number)
            if not fast.isRead(h, buffer, _lib.MODE_EQUAL | flags):
                return self._absent(h, "isRead")
            return self._take(buffer)
        if key is None:
            raise TypeError("read needs a key, or recnum=")
        view = self._keyed(index, "read")
        buffer = self._scratch()
        length = view._key_image(key, buffer, "read")
        if length == 0:
            raise ValueError("read: an empty key")
        k = view._library
        if length == view.key_length and k not in self._partial:
            if self._selected != k:
                self._select(k)
            self._moved += 1
            if not fast.isRead(h, buffer, _lib.MODE_EQUAL | flags):
                return self._absent(h, "isRead")
        else:
            partial = length < view.key_length
            found = fast.isStart(h, view._desc_ref, length if partial else 0, buffer, _lib.MODE_EQUAL)
            self._positioned(k, partial)
            if not found:
                return self._absent(h, "isStart")
            if not fast.isRead(h, buffer, _lib.MODE_CURRENT | flags):
                return self._absent(h, "isRead")
        return self._take(buffer)

    @staticmethod
    def _absent(h: ctypes.c_void_p, what: str) -> None:
        """None when the handle's last call found no record, else its Error."""
        if fast.isErrno(h) != _lib.ENOREC:
            _fail(h, what)
        return None

    def __getitem__(self, key: Key) -> Record:
        """f[key]: the record with primary key `key` (as read(key) takes it);
        NotFound, a KeyError, when there is none."""
        record = self.read(key)
        if record is None:
            raise NotFound(_lib.ENOREC, "key %r" % (key,))
        return record

    def __contains__(self, key: Key) -> bool:
        """key in f: whether a record has primary key `key` (a key as read takes
        it; its first parts alone: whether a record's key begins with them).
        One look in the index; no record is read."""
        view = self._keyed(1, "in")
        buffer = self._scratch()
        length = view._key_image(key, buffer, "in")
        if length == 0:
            raise ValueError("in: an empty key")
        partial = length < view.key_length
        found = fast.isStart(self._h, view._desc_ref, length if partial else 0, buffer, _lib.MODE_EQUAL)
        self._positioned(view._library, partial)
        if not found:
            self._absent(self._h, "isStart")
        return bool(found)

    def index(self, number: int) -> IndexView:
        """The records in the order of index `number` (0: record numbers, 1: the
        primary key, 2..: the others): iterate it, or .range(lo, hi), .items()."""
        return self._view(number)

    def __iter__(self) -> Iterator[Record]:
        """Every record, in the order of index 1."""
        return iter(self._view(1))

    # Changing

    def write(self, record: Record) -> int:
        """Adds a record (bytes of the record length, or up to max_length for a
        variable-length file; or a dict with a schema); returns its record
        number.  Error 100 when a unique index holds its key already."""
        _check(lib.isWrite(self._handle, self._image(record)), self._handle, "isWrite")
        return self.recnum

    def rewrite(self, record: Record, *, recnum: Optional[int] = None) -> None:
        """Replaces the record whose primary key is record's with record (bytes
        or a dict, as write takes it), or with recnum=N record number N.
        NotFound when there is no such record."""
        image = self._image(record)
        if recnum is None:
            if not lib.isRewrite(self._handle, image):
                _fail(self._h, "isRewrite", (_lib.ENOREC,))
        elif not lib.isRewRec(self._handle, recnum, image):
            _fail(self._h, "isRewRec", (_lib.ENOREC, ENOCURR))

    def delete(self, key: Optional[Key] = None, *, recnum: Optional[int] = None) -> None:
        """Deletes the record whose primary key is `key` (a whole key, as read
        takes it: a record, a dict of the key's fields, a value...), or with
        recnum=N record number N.  NotFound when there is no such record."""
        if recnum is not None:
            if key is not None:
                raise TypeError("delete: give a key or recnum=, not both")
            if not lib.isDelRec(self._handle, recnum):
                _fail(self._h, "isDelRec", (_lib.ENOREC, ENOCURR))
            return
        if key is None:
            raise TypeError("delete needs a key, or recnum=")
        view = self._keyed(1, "delete")
        buffer = ctypes.create_string_buffer(self._buffer_size)
        length = view._key_image(key, buffer, "delete")
        if length < view.key_length:
            raise ValueError("delete: a key of index 1 is %d bytes, not %d: delete takes a whole key"
                             % (view.key_length, length))
        if not fast.isDelete(self._h, buffer):
            _fail(self._h, "isDelete", (_lib.ENOREC,))

    # Locks

    def lock(self) -> None:
        """Locks the whole file against other processes' changes until unlock."""
        _check(lib.isLock(self._handle), self._handle, "isLock")

    def unlock(self) -> None:
        """Releases the file lock (or, without one, the record locks)."""
        _check(lib.isUnLock(self._handle), self._handle, "isUnLock")

    def release(self) -> None:
        """Releases the record locks the handle holds."""
        _check(lib.isRelease(self._handle), self._handle, "isRelease")

    @contextlib.contextmanager
    def locked(self, exclusive: bool = True) -> Iterator["File"]:
        """Keeps the file's lock across calls (shared or exclusive) for the block;
        an exclusive one holds back writes until its end.  Reads and scans in it
        take no lock of their own."""
        _check(lib.isSetCustomLock(self._handle, 2 if exclusive else 1), self._handle, "isSetCustomLock")
        self._kept = True
        try:
            yield self
        finally:
            self._kept = False
            _check(lib.isSetCustomLock(self._handle, 0), self._handle, "isSetCustomLock")


def _open_mode(readonly: bool, exclusive: bool, transactions: bool, variable: bool) -> int:
    mode = _lib.ISINPUT if readonly else _lib.ISINOUT
    mode |= _lib.ISEXCLLOCK if exclusive else _lib.ISMANULOCK
    if transactions:
        mode |= _lib.ISTRANS
    if variable:
        mode |= _lib.ISOPENVARLEN
    return mode


PathName = Union[str, bytes, "os.PathLike[Any]"]


def build(name: PathName, record_length: Optional[int] = None, *keys: Union[str, schema_rules.Index, None],
          schema: Optional[Schema] = None, max_length: int = 0, packed: bool = False, exclusive: bool = False,
          transactions: bool = False) -> File:
    """Creates ISAM file `name` and returns it open for input and output.  keys:
    key texts as `wisam create --key` takes them ('0:4:long', '4:20:char:dups'),
    the first the primary key (None: none); or a schema, whose indexes they are.
    max_length above record_length makes a variable-length file (packed=True
    stores its variable part packed).  exclusive: no other handle may open
    it; transactions: its changes join transactions."""
    if schema is not None:
        if record_length is None:
            record_length = schema.record_length
        if not keys:
            keys = tuple(schema.build_keys())
    if record_length is None or not keys:
        raise ValueError("build needs a record length and at least one key (or a schema)")
    mode = _open_mode(False, exclusive, transactions, False)
    if max_length:
        mode |= _lib.ISVARLEN | (_lib.ISPACKED if packed else 0)
    # Everything is checked before the file exists: a refused key leaves nothing behind.
    path = _lib.file_name(name)
    descs = [_key_desc(key) for key in keys]
    handle = lib.isBuild(path, record_length, max_length, ctypes.byref(descs[0]), mode)
    if not handle:
        raise Error(lib.isErrno(None), "isBuild %s" % os.fsdecode(name))
    try:
        for desc in descs[1:]:
            _check(lib.isAddIndex(handle, ctypes.byref(desc)), handle, "isAddIndex")
        return File(handle, schema, exclusive)
    except BaseException:
        lib.isClose(handle)
        lib.isErase(path)
        raise


def _kept_schema_path(name: PathName) -> str:
    """Where the schema kept with file `name` lies: N.wsc beside N.wox, N as
    the library finds it (the first line of name.lnk when that is not empty)."""
    base = os.fsdecode(name)
    try:
        with builtins.open(base + ".lnk", "rb") as link:
            line = link.readline().rstrip(b"\n")
    except OSError:
        line = b""
    if line.endswith(b"\r"):
        line = line[:-1]
    if line:
        base = line.decode("utf-8")
    return base + ".wsc"


def kept_schema(name: PathName) -> Optional[Schema]:
    """The schema kept with ISAM file `name` (N.wsc, which the wisam tool writes
    and the library moves and removes with the file), or None when none is
    kept.  A kept schema that is a symbolic link raises OSError (ELOOP); one
    that is no schema, SchemaError."""
    path = _kept_schema_path(name)
    try:
        fd = os.open(path, os.O_RDONLY | os.O_NOFOLLOW | os.O_CLOEXEC)
    except FileNotFoundError:
        return None
    with os.fdopen(fd, "rb") as f:
        text = f.read()
    try:
        return Schema.parse(text)
    except SchemaError as e:
        raise SchemaError("the schema kept as %s: %s" % (path, e)) from None


def open(name: PathName, readonly: bool = False, schema: Union[Schema, None, bool] = None,  # noqa: A001 - wisam.open
         exclusive: bool = False, transactions: bool = False) -> File:
    """Opens ISAM file `name` (shared with other handles and processes unless
    exclusive); readonly opens it for input only; schema decodes its records
    as dicts: None (the default) the schema kept with the file when it has
    one (see kept_schema), False none; transactions: its changes join
    transactions."""
    if schema is True:
        raise TypeError("schema is a Schema, None (the kept one, if any) or False (none)")
    path = _lib.file_name(name)  # a name the library cannot take is refused first
    chosen = kept_schema(name) if schema is None else schema or None
    handle = lib.isOpen(path, _open_mode(readonly, exclusive, transactions, True))
    if not handle:
        raise Error(lib.isErrno(None), "isOpen %s" % os.fsdecode(name))
    schema = chosen
    try:
        return File(handle, schema, exclusive)
    except BaseException:
        lib.isClose(handle)
        raise


def erase(name: PathName) -> None:
    """Removes the files of `name` (Error 113 when it is open anywhere)."""
    if not lib.isErase(_lib.file_name(name)):
        raise Error(lib.isErrno(None), "isErase %s" % os.fsdecode(name))


def _txn(call: Any, *arguments: Any, what: str) -> None:
    ctypes.set_errno(0)
    if not call(*arguments):
        raise Error(ctypes.get_errno() or ENOTRANS, what)


def log_open(path: PathName) -> None:
    """Opens the transaction log (one for the process, shared with others;
    created when missing)."""
    _txn(lib.isLogOpen, _lib.file_name(path, "path"), what="isLogOpen %s" % os.fsdecode(path))


def log_close() -> None:
    """Closes the transaction log."""
    _txn(lib.isLogClose, what="isLogClose")


def begin() -> None:
    """Starts a transaction: the changes of files opened with transactions=True
    join it.  Error 128 (No logging) when no log is open."""
    _txn(lib.isBegin, what="isBegin")


def commit() -> None:
    """Ends the transaction, keeping its changes (Error 122 without one)."""
    _txn(lib.isCommit, what="isCommit")


def rollback() -> None:
    """Ends the transaction, undoing its changes (Error 122 without one)."""
    _txn(lib.isRollBack, what="isRollBack")


@contextlib.contextmanager
def transaction() -> Iterator[None]:
    """A transaction over the files opened with transactions=True: committed at
    the end of the block, rolled back when it raises."""
    begin()
    try:
        yield
    except BaseException:
        rollback()
        raise
    commit()
