"""wisam for Python: ISAM files of libwisam.so through ctypes.

    import wisam
    with wisam.build("people", 40, "0:4:long", "4:20:char:dups") as f:
        f.write(record)                           # bytes of the record length
        for rec in f.index(2).range(lo, hi):      # in the order of index 2
            ...

With a schema (the JSON that `wisam schema` writes), records are dicts:

    schema = wisam.Schema.load("people.json")
    with wisam.open("people", schema=schema) as f:
        f.write({"id": 7, "name": "Ada"})
        print(f.read({"id": 7}))

Index numbers are those of `wisam info`: 1 the primary key, 0 the order of
record numbers (a file without primary key calls that order 1 too).  A
failed call raises wisam.Error, with the library's error number in .errno.

Nothing reaches the library unchecked: a whole number out of the range of
the C argument it becomes (a record number, a length, an index number, a
key part's offset) raises ValueError naming the argument, as does a name
holding a NUL; a value that does not fit its schema field raises
SchemaError naming the field.  A refused call changes nothing.
"""

import contextlib
import ctypes
import re

from . import _lib
from . import schema as schema_rules
from ._lib import lib, error_text
from .schema import Schema, SchemaError

__all__ = ["Error", "File", "Schema", "SchemaError", "build", "open", "erase", "log_open", "log_close",
           "transaction", "begin", "commit", "rollback"]

_KEY_FLAGS = dict({"dups": _lib.ISKEY_DUPS}, **schema_rules.RULES["flags"])


class Error(OSError):
    """A failed call: errno is the library's error number (100..134) or the system's."""

    def __init__(self, number, what):
        super().__init__(number, "%s: %s" % (what, error_text(number)))
        self.message = error_text(number)


def _check(ok, handle, what):
    if not ok:
        raise Error(lib.isErrno(handle), what)


def _key_number(text, low, high):
    """The whole number of a key text's START or LEN, or None."""
    if not re.fullmatch(r"\s*[+-]?[0-9]+", text):
        return None
    number = int(text)
    return number if low <= number <= high else None


def _key_type(text):
    """A key text's TYPE (a name or number, "-" after it for descending), or None."""
    descending = text.endswith("-")
    name = text[:-1] if descending else text
    number = schema_rules.KEY_TYPES.index(name) if name in schema_rules.KEY_TYPES else _key_number(name, 0, _lib.ISTYPE_MASK)
    if number is None:
        return None
    return number | (_lib.ISTYPE_DESC if descending else 0)


def _part(desc, start, length, kind, what):
    """Appends a key part to desc, each number checked before ctypes holds it."""
    if desc.partCount == _lib.MAX_KEY_PARTS:
        raise ValueError("%s: a key has at most %d parts" % (what, _lib.MAX_KEY_PARTS))
    part = desc.parts[desc.partCount]
    _lib.assign(part, "start", start, what + ": start")
    _lib.assign(part, "length", length, what + ": length")
    _lib.assign(part, "type", kind, what + ": type")
    desc.partCount += 1


def _key_desc(key):
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


def _record_bytes(record, what):
    """The bytes of a record or key image given as bytes, bytearray or memoryview."""
    if not isinstance(record, (bytes, bytearray, memoryview)):
        raise TypeError("%s is bytes%s, not %s" % (what, " or a dict" if what == "a record" else "",
                                                     type(record).__name__))
    return bytes(record)


class IndexView:
    """The records of a file in the order of one index (see File.index)."""

    def __init__(self, file, number):
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

    def __iter__(self):
        return self.range()

    def _bound(self, value):
        """A record holding the key `value` at its parts, and the key length given."""
        record = bytearray(self._file._buffer_size)
        values = value if isinstance(value, tuple) else (value,)
        if isinstance(value, (bytes, bytearray, memoryview)) or self._file.schema is None:
            # A key image: the parts' bytes one after another.
            image, at, length = _record_bytes(value, "a key image"), 0, 0
            for p in range(self.desc.partCount):
                part = self.desc.parts[p]
                take = image[at:at + part.length]
                record[part.start:part.start + len(take)] = take
                at += part.length
                length += len(take)
            return record, length
        if len(values) > self.desc.partCount:
            raise SchemaError("a key of index %d has %d parts" % (self.number, self.desc.partCount))
        length = 0
        for p, v in enumerate(values):
            part = self.desc.parts[p]
            field = next((f for f in self._file.schema.fields if f.offset == part.start and f.length == part.length), None)
            if field is None:
                raise SchemaError("key part %d of index %d is no field of the schema" % (p + 1, self.number))
            field.encode(v, record)
            length += part.length
        return record, length

    def range(self, lo=None, hi=None, lock=False):
        """Records from key lo to key hi, both included (None: from the first, to the
        last).  A key is a field value, a tuple of the values of the key's first
        fields, or without schema the bytes of the key; in record-number order,
        record numbers.  lock=True locks each record read."""
        file = self._file
        f = file._handle
        buffer = ctypes.create_string_buffer(file._buffer_size)
        _check(lib.isIndex(f, self._library), f, "isIndex")
        mode = _lib.MODE_FIRST
        lock_flags = _lib.READ_LOCK if lock else 0
        record_order = self._library == 0
        high_key = None
        if hi is not None and not record_order:
            bound, high_length = self._bound(hi)
            high_key = ctypes.create_string_buffer(_lib.MAX_KEY_LENGTH)
            lib.customKeyMake(f, high_key, bytes(bound), self._library - 1)
        if lo is not None and not record_order:
            bound, length = self._bound(lo)
            start = ctypes.create_string_buffer(bytes(bound), len(bound))
            if not lib.isStart(f, ctypes.byref(self.desc), length, start, _lib.MODE_GREATER_EQUAL):
                if lib.isErrno(f) == _lib.ENOREC:
                    return
                raise Error(lib.isErrno(f), "isStart")
            mode = _lib.MODE_NEXT
        key = ctypes.create_string_buffer(_lib.MAX_KEY_LENGTH)
        while True:
            if not lib.isRead(f, buffer, mode | lock_flags):
                if lib.isErrno(f) == _lib.EENDFILE:
                    return
                raise Error(lib.isErrno(f), "isRead")
            mode = _lib.MODE_NEXT
            recnum = lib.isRecnum(f)
            if record_order:
                if lo is not None and recnum < lo:
                    continue
                if hi is not None and recnum > hi:
                    return
            elif high_key is not None:
                lib.customKeyMake(f, key, buffer, self._library - 1)
                if lib.customKeyCmp(f, key, high_key, high_length, self._library - 1) > 0:
                    return
            yield file._record(buffer.raw[:lib.isReclen(f)])


class File:
    """An open ISAM file (from build or open); a context manager that closes it."""

    def __init__(self, handle, schema):
        self._handle = handle
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

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def close(self):
        if self._handle:
            handle, self._handle = self._handle, None
            _check(lib.isClose(handle), handle, "isClose")

    @property
    def info(self):
        """(index count, record size, record count) of the file now."""
        info = _lib.IsamInfo()
        _check(lib.isIsamInfo(self._handle, ctypes.byref(info)), self._handle, "isIsamInfo")
        return info.indexCount, info.recordSize, info.recordCount

    def __len__(self):
        return self.info[2]

    @property
    def recnum(self):
        """The number of the record last read, written or positioned on."""
        return lib.isRecnum(self._handle)

    def _record(self, raw):
        return self.schema.decode(raw) if self.schema is not None else raw

    def _image(self, record):
        """The bytes of a record (a dict through the schema), and its length."""
        if isinstance(record, dict):
            if self.schema is None:
                raise SchemaError("a record as a dict needs a schema")
            record = self.schema.encode(record)
        raw = _record_bytes(record, "a record")
        if len(raw) < self.record_length or len(raw) > self.max_length:
            raise SchemaError("a record is %d to %d bytes, not %d" % (self.record_length, self.max_length, len(raw)))
        if self.max_length > self.record_length:
            lib.isSetlen(self._handle, len(raw))
        return ctypes.create_string_buffer(raw, self._buffer_size)

    def write(self, record):
        """Adds a record; returns its record number."""
        _check(lib.isWrite(self._handle, self._image(record)), self._handle, "isWrite")
        return self.recnum

    def rewrite(self, record, recnum=None):
        """Replaces the record with the same primary key (or record number recnum)."""
        image = self._image(record)
        if recnum is None:
            _check(lib.isRewrite(self._handle, image), self._handle, "isRewrite")
        else:
            _check(lib.isRewRec(self._handle, recnum, image), self._handle, "isRewRec")

    def delete(self, record=None, recnum=None):
        """Deletes the record with the primary key of `record` (or number recnum)."""
        if recnum is not None:
            _check(lib.isDelRec(self._handle, recnum), self._handle, "isDelRec")
        else:
            image = self._key_record(record) if isinstance(record, dict) else record
            _check(lib.isDelete(self._handle, self._image(image)), self._handle, "isDelete")

    def _key_record(self, values):
        """A record built from only some fields' values (the others zero)."""
        if self.schema is None:
            raise SchemaError("a key as a dict needs a schema")
        return self.schema.encode(values)

    def read(self, key, index=1, lock=False):
        """The first record whose key in `index` equals that of `key` (a record, or a
        dict of the key's fields); None when there is none."""
        view = IndexView(self, index)
        image = self._key_record(key) if isinstance(key, dict) else _record_bytes(key, "a key record")
        buffer = ctypes.create_string_buffer(image, self._buffer_size)
        _check(lib.isIndex(self._handle, view._library), self._handle, "isIndex")
        if not lib.isRead(self._handle, buffer, _lib.MODE_EQUAL | (_lib.READ_LOCK if lock else 0)):
            if lib.isErrno(self._handle) == _lib.ENOREC:
                return None
            raise Error(lib.isErrno(self._handle), "isRead")
        return self._record(buffer.raw[:lib.isReclen(self._handle)])

    def index(self, number):
        """The records in the order of index `number`: iterate it, or .range(lo, hi)."""
        return IndexView(self, number)

    def __iter__(self):
        return iter(self.index(1))

    # Locks
    def lock(self):
        """Locks the whole file against other processes' changes until unlock."""
        _check(lib.isLock(self._handle), self._handle, "isLock")

    def unlock(self):
        _check(lib.isUnLock(self._handle), self._handle, "isUnLock")

    def release(self):
        """Releases the record locks the handle holds."""
        _check(lib.isRelease(self._handle), self._handle, "isRelease")

    @contextlib.contextmanager
    def locked(self, exclusive=True):
        """Keeps the file's lock across calls (shared or exclusive) for the block;
        an exclusive one holds back writes until its end."""
        _check(lib.isSetCustomLock(self._handle, 2 if exclusive else 1), self._handle, "isSetCustomLock")
        try:
            yield self
        finally:
            _check(lib.isSetCustomLock(self._handle, 0), self._handle, "isSetCustomLock")


def _open_mode(readonly, exclusive, transactions, variable):
    mode = _lib.ISINPUT if readonly else _lib.ISINOUT
    mode |= _lib.ISEXCLLOCK if exclusive else _lib.ISMANULOCK
    if transactions:
        mode |= _lib.ISTRANS
    if variable:
        mode |= _lib.ISOPENVARLEN
    return mode


def build(name, record_length=None, *keys, schema=None, max_length=0, packed=False, exclusive=False,
          transactions=False):
    """Creates ISAM file `name` and returns it open for input and output.  keys:
    key texts as `wisam create --key` takes them ('0:4:long', '4:20:char:dups'),
    the first the primary key (None: none); or a schema, whose indexes they are."""
    if schema is not None:
        if record_length is None:
            record_length = schema.record_length
        if not keys:
            keys = schema.build_keys()
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
        raise Error(lib.isErrno(None), "isBuild %s" % name)
    try:
        for desc in descs[1:]:
            _check(lib.isAddIndex(handle, ctypes.byref(desc)), handle, "isAddIndex")
        return File(handle, schema)
    except BaseException:
        lib.isClose(handle)
        lib.isErase(path)
        raise


def open(name, readonly=False, schema=None, exclusive=False, transactions=False):  # noqa: A001 - wisam.open
    """Opens ISAM file `name` (shared unless exclusive); readonly opens it for input."""
    handle = lib.isOpen(_lib.file_name(name), _open_mode(readonly, exclusive, transactions, True))
    if not handle:
        raise Error(lib.isErrno(None), "isOpen %s" % name)
    try:
        return File(handle, schema)
    except BaseException:
        lib.isClose(handle)
        raise


def erase(name):
    """Removes the files of `name`."""
    if not lib.isErase(_lib.file_name(name)):
        raise Error(lib.isErrno(None), "isErase %s" % name)


# Transactions: the calls take no handle and report through errno, which
# commit and rollback leave as it was when there is no transaction.
ENOTRANS = 122


def _txn(call, *arguments, what):
    ctypes.set_errno(0)
    if not call(*arguments):
        raise Error(ctypes.get_errno() or ENOTRANS, what)


def log_open(path):
    """Opens the transaction log (one for the process, shared with others)."""
    _txn(lib.isLogOpen, _lib.file_name(path, "path"), what="isLogOpen %s" % path)


def log_close():
    _txn(lib.isLogClose, what="isLogClose")


def begin():
    _txn(lib.isBegin, what="isBegin")


def commit():
    _txn(lib.isCommit, what="isCommit")


def rollback():
    _txn(lib.isRollBack, what="isRollBack")


@contextlib.contextmanager
def transaction():
    """A transaction over the files opened with transactions=True: committed at
    the end of the block, rolled back when it raises."""
    begin()
    try:
        yield
    except BaseException:
        rollback()
        raise
    commit()
