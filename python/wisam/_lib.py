"""The C interface of libwisam.so through ctypes: the records, the calls and
their argument types, and where the library is found.

The library is looked for, in order, at the path in the environment variable
WISAM_LIBRARY, in the build directories of the repository this package lies
in (build/release, build/test, then any build/*), and where the system's
loader finds libwisam.so.6.

Two views of the library: `lib`, whose calls check each integer argument
against its C type and name it when it does not fit (for everything the
caller hands over), and `fast`, the same functions without argument types,
for the calls of a read or a scan whose arguments the package made itself:
ctypes then converts nothing, which is a good part of a call's cost.
"""

from __future__ import annotations

import ctypes
import ctypes.util
import glob
import operator
import os
from typing import Any, Callable, Iterator, List, Tuple, Union

# Read modes and lock flags of isRead.
MODE_FIRST, MODE_LAST, MODE_NEXT, MODE_PREV, MODE_CURRENT, MODE_EQUAL, MODE_GREATER, MODE_GREATER_EQUAL = range(8)
READ_LOCK = 0x100
READ_WAIT = 0x400

# Open-mode bits of isBuild and isOpen.
ISINPUT, ISOUTPUT, ISINOUT = 0, 1, 2
ISTRANS = 0x04
ISNOLOG = 0x08
ISVARLEN = 0x10
ISPACKED = 0x20
ISAUTOLOCK = 0x200
ISMANULOCK = 0x400
ISEXCLLOCK = 0x800
ISOPENVARLEN = 0x8000

# Key flags and types.
ISKEY_DUPS = 0x01
ISKEY_NULLSUPPRESS = 0x20
ISTYPE_MASK = 0x3F
ISTYPE_DESC = 0x80

# Error numbers the package looks at.
EENDFILE = 110
ENOREC = 111

MAX_KEY_PARTS = 64
MAX_KEY_LENGTH = 1024
# Index numbers as the package counts them: 0 record-number order, 1 the
# primary key, then up to 32 more.
MAX_INDEX_NUMBER = 33


class KeyPart(ctypes.Structure):
    _fields_ = [("start", ctypes.c_int16), ("length", ctypes.c_int16), ("type", ctypes.c_uint16)]


class KeyDesc(ctypes.Structure):
    _fields_ = [
        ("flags", ctypes.c_uint16),
        ("partCount", ctypes.c_int16),
        ("parts", KeyPart * MAX_KEY_PARTS),
        ("keyLength", ctypes.c_int16),
        ("rootNode", ctypes.c_uint32),
    ]


class IsamInfo(ctypes.Structure):
    _fields_ = [
        ("indexCount", ctypes.c_int16),
        ("recordSize", ctypes.c_int16),
        ("blockSize", ctypes.c_int16),
        ("recordCount", ctypes.c_int32),
    ]


def _candidates() -> Iterator[str]:
    named = os.environ.get("WISAM_LIBRARY")
    if named:
        yield named
    root = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
    for build in ["release", "test"]:
        yield os.path.join(root, "build", build, "libwisam.so")
    yield from sorted(glob.glob(os.path.join(root, "build", "*", "libwisam.so")))
    found = ctypes.util.find_library("wisam")
    if found:
        yield found
    yield "libwisam.so.6"


def _load() -> ctypes.CDLL:
    tried = []
    for path in _candidates():
        if os.sep in path and not os.path.exists(path):
            tried.append(path)
            continue
        try:
            return ctypes.CDLL(path, use_errno=True)
        except OSError as e:
            tried.append("%s (%s)" % (path, e))
    raise ImportError("libwisam.so not found; set WISAM_LIBRARY to its path. Tried: " + ", ".join(tried))


_cdll = _load()

# Every integer argument of a call is checked against its C type here, by
# name, before ctypes sees it: ctypes would cut 2**32 + 1 to 1 without a word.
# Each signature names its arguments as the package's own functions do, so
# that a refusal names the argument the caller gave.
_P = ctypes.c_void_p
_I = ctypes.c_int
_I32 = ctypes.c_int32
_KEY = ctypes.POINTER(KeyDesc)
_INFO = ctypes.POINTER(IsamInfo)
_SIGNATURES = {
    "isBuild": (_P, [("name", _P), ("record_length", _I), ("max_length", _I), ("key", _KEY), ("mode", _I)]),
    "isOpen": (_P, [("name", _P), ("mode", _I)]),
    "isClose": (_I, [("handle", _P)]),
    "isErase": (_I, [("name", _P)]),
    "isErrno": (_I, [("handle", _P)]),
    "isErrio": (_I, [("handle", _P)]),
    "isRecnum": (_I32, [("handle", _P)]),
    "isReclen": (_I32, [("handle", _P)]),
    "isSetlen": (_I, [("handle", _P), ("length", _I)]),
    "isIsamInfo": (_I, [("handle", _P), ("info", _INFO)]),
    "isIndexInfo": (_I, [("handle", _P), ("buffer", _P), ("index", _I)]),
    "isAddIndex": (_I, [("handle", _P), ("key", _KEY)]),
    "isWrite": (_I, [("handle", _P), ("record", _P)]),
    "isRead": (_I, [("handle", _P), ("record", _P), ("mode", _I)]),
    "isStart": (_I, [("handle", _P), ("key", _KEY), ("key_length", _I), ("record", _P), ("mode", _I)]),
    "isIndex": (_I, [("handle", _P), ("index", _I)]),
    "isRewrite": (_I, [("handle", _P), ("record", _P)]),
    "isRewRec": (_I, [("handle", _P), ("recnum", _I32), ("record", _P)]),
    "isRewCurr": (_I, [("handle", _P), ("record", _P)]),
    "isDelete": (_I, [("handle", _P), ("record", _P)]),
    "isDelRec": (_I, [("handle", _P), ("recnum", _I32)]),
    "isDelCurr": (_I, [("handle", _P)]),
    "isLock": (_I, [("handle", _P)]),
    "isUnLock": (_I, [("handle", _P)]),
    "isRelease": (_I, [("handle", _P)]),
    "isSetCustomLock": (_I, [("handle", _P), ("request", _I)]),
    "isLogOpen": (_I, [("path", _P)]),
    "isLogClose": (_I, []),
    "isBegin": (_I, []),
    "isCommit": (_I, []),
    "isRollBack": (_I, []),
    "customKeyMake": (_I, [("handle", _P), ("key", _P), ("record", _P), ("index", _I)]),
    "customKeyCmp": (_I, [("handle", _P), ("a", _P), ("b", _P), ("length", _I), ("index", _I)]),
}


# The struct codes of ctypes' integer types.
_INTEGER_CODES = set("bBhHiIlLqQ")


def type_range(ctype: Any) -> Tuple[int, int]:
    """The values a C integer type holds, (low, high)."""
    bits = 8 * ctypes.sizeof(ctype)
    if ctype(-1).value < 0:
        return -(1 << (bits - 1)), (1 << (bits - 1)) - 1
    return 0, (1 << bits) - 1


def in_range(name: str, value: Any, low: int, high: int) -> int:
    """value, when it is a whole number from low to high; else ValueError naming it."""
    if not isinstance(value, bool):
        try:
            number = operator.index(value)
        except TypeError:
            number = None
        if number is not None and low <= number <= high:
            return number
    raise ValueError("%s must be a whole number from %d to %d, not %r" % (name, low, high, value))


def assign(record: ctypes.Structure, member: str, value: Any, name: str) -> None:
    """Sets record.member (a ctypes Structure's integer member) to value, checked
    against the member's C type first; name is what a refusal calls it."""
    ctype = dict(record._fields_)[member]
    setattr(record, member, in_range(name, value, *type_range(ctype)))


def _checked(function: Callable[..., Any], arguments: List[Tuple[str, Any]]) -> Callable[..., Any]:
    """The function, first checking each of its integer arguments."""
    checks = [(i, name, type_range(ctype)) for i, (name, ctype) in enumerate(arguments)
              if getattr(ctype, "_type_", None) in _INTEGER_CODES]
    if not checks:
        return function

    def call(*values):
        values = list(values)
        for i, name, (low, high) in checks:
            values[i] = in_range(name, values[i], low, high)
        return function(*values)
    call.__name__ = function.__name__
    return call


class _Library:
    """The calls of libwisam.so that the package makes, each with its integer
    arguments checked; data of the library through .cdll."""

    def __init__(self, cdll: ctypes.CDLL) -> None:
        self.cdll = cdll
        for name, (result, arguments) in _SIGNATURES.items():
            function = getattr(cdll, name)
            function.restype = result
            function.argtypes = [ctype for _, ctype in arguments]
            setattr(self, name, _checked(function, arguments))


lib = _Library(_cdll)

# The same functions again, as a second CDLL object over the loaded library,
# without argument types: every argument is one ctypes passes as it is (a
# ctypes buffer or byref, a c_void_p handle, an int the package checked).
# Each returns a C int, which is also right for isRecnum and isReclen.
fast = ctypes.CDLL(_cdll._name, handle=_cdll._handle, use_errno=True)

_errlist = (ctypes.c_char_p * 35).in_dll(_cdll, "is_errlist")
_nerr = ctypes.c_int.in_dll(_cdll, "is_nerr").value


def error_text(number: int) -> str:
    """The text of an error number: the library's for 100 and up, else the system's."""
    if 100 <= number <= _nerr:
        return _errlist[number - 100].decode()
    return os.strerror(number)


def file_name(name: Union[str, bytes, "os.PathLike[Any]"], what: str = "name") -> ctypes.Array:
    """A NUL-terminated UTF-16 name, as the calls take it.  A name holding a NUL
    (which would end it early) or what UTF-16 cannot hold is refused with
    ValueError calling it `what`."""
    text = os.fsdecode(name)
    if "\0" in text:
        raise ValueError("%s holds a NUL character: %r" % (what, name))
    try:
        units = text.encode("utf-16-le")
    except UnicodeEncodeError:
        raise ValueError("%s is not a text UTF-16 can hold: %r" % (what, name)) from None
    return ctypes.create_string_buffer(units + b"\0\0")
