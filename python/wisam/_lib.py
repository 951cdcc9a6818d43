"""The C interface of libwisam.so through ctypes: the records, the calls and
their argument types, and where the library is found.

The library is looked for, in order, at the path in the environment variable
WISAM_LIBRARY, in the build directories of the repository this package lies
in (build/release, build/test, then any build/*), and where the system's
loader finds libwisam.so.6.
"""

import ctypes
import ctypes.util
import glob
import os

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


def _candidates():
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


def _load():
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


lib = _load()

_P = ctypes.c_void_p
_I = ctypes.c_int
_I32 = ctypes.c_int32
_SIGNATURES = {
    "isBuild": (_P, [_P, _I, _I, ctypes.POINTER(KeyDesc), _I]),
    "isOpen": (_P, [_P, _I]),
    "isClose": (_I, [_P]),
    "isErase": (_I, [_P]),
    "isErrno": (_I, [_P]),
    "isErrio": (_I, [_P]),
    "isRecnum": (_I32, [_P]),
    "isReclen": (_I32, [_P]),
    "isSetlen": (_I, [_P, _I]),
    "isIsamInfo": (_I, [_P, ctypes.POINTER(IsamInfo)]),
    "isIndexInfo": (_I, [_P, _P, _I]),
    "isAddIndex": (_I, [_P, ctypes.POINTER(KeyDesc)]),
    "isWrite": (_I, [_P, _P]),
    "isRead": (_I, [_P, _P, _I]),
    "isStart": (_I, [_P, ctypes.POINTER(KeyDesc), _I, _P, _I]),
    "isIndex": (_I, [_P, _I]),
    "isRewrite": (_I, [_P, _P]),
    "isRewRec": (_I, [_P, _I32, _P]),
    "isRewCurr": (_I, [_P, _P]),
    "isDelete": (_I, [_P, _P]),
    "isDelRec": (_I, [_P, _I32]),
    "isDelCurr": (_I, [_P]),
    "isLock": (_I, [_P]),
    "isUnLock": (_I, [_P]),
    "isRelease": (_I, [_P]),
    "isSetCustomLock": (_I, [_P, _I]),
    "isLogOpen": (_I, [_P]),
    "isLogClose": (_I, []),
    "isBegin": (_I, []),
    "isCommit": (_I, []),
    "isRollBack": (_I, []),
    "customKeyMake": (_I, [_P, _P, _P, _I]),
    "customKeyCmp": (_I, [_P, _P, _P, _I, _I]),
}
for _name, (_result, _arguments) in _SIGNATURES.items():
    _function = getattr(lib, _name)
    _function.restype = _result
    _function.argtypes = _arguments

_errlist = (ctypes.c_char_p * 35).in_dll(lib, "is_errlist")
_nerr = ctypes.c_int.in_dll(lib, "is_nerr").value


def error_text(number):
    """The text of an error number: the library's for 100 and up, else the system's."""
    if 100 <= number <= _nerr:
        return _errlist[number - 100].decode()
    return os.strerror(number)


def file_name(name):
    """A NUL-terminated UTF-16 name, as the calls take it."""
    return ctypes.create_string_buffer(os.fsdecode(name).encode("utf-16-le") + b"\0\0")
