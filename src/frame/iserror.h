// layer: frame/base
// iserror.h - error numbers, status characters, the fatal hook and the
// non-local error exit.
//
// Inside the library nothing returns an error code: a failure calls
// raiseError, which stores the error number, I/O code and status characters
// in the handle and throws `IsamRaise`.  The frame of the exported call
// (frame/iscall.h) catches it, drops the changes of a failed changing call,
// releases the file-state lock and returns 0 or null.  No exception ever
// leaves an exported call.
#pragma once

#include <cerrno>
#include <cstdint>

#include "frame/isfile.h"
#include "wisam.h"

struct IsFile;

namespace wisam {

// Error numbers with a text in is_errlist.  Below 100: the system's errno.
enum ErrorNumber : int {
    kErrDuplicate = 100,
    kErrNotOpen = 101,
    kErrBadArgument = 102,
    kErrBadKey = 103,
    kErrTooManyFiles = 104,
    kErrCorrupt = 105,
    kErrNeedExclusive = 106,
    kErrLocked = 107,
    kErrIndexExists = 108,
    kErrPrimaryKey = 109,
    kErrEndOfFile = 110,
    kErrNotFound = 111,
    kErrNoCurrent = 112,
    kErrFileInUse = 113,
    kErrNameTooLong = 114,
    kErrBadLockDevice = 115,
    kErrNoMemory = 116,
    kErrLogRead = 118,   // the transaction calls report these through errno
    kErrBadLog = 119,
    kErrLogOpen = 120,
    kErrLogWrite = 121,
    kErrNoPrimary = 127,
    kErrNoLog = 128,
    kErrRowTooBig = 132,
    kErrNoMoreLocks = 134,
};

constexpr int kFirstErrorNumber = 100;
constexpr int kLastErrorNumber = 134;
constexpr char kDetailBlank = ' ';

// Operation bases of the I/O code: a failure's I/O code is the base of the
// operation plus the kind of the file (kKindIndex, kKindData...).
constexpr int kIoErase = 0;  // erase, rename
constexpr int kIoOpen = 16;
constexpr int kIoCreate = 32;
constexpr int kIoSeek = 48;
constexpr int kIoRead = 64;
constexpr int kIoWrite = 80;
constexpr int kIoLock = 96;  // lock, unlock

// The exception that carries the error exit to the frame of the exported
// call.  Private to the library: it never crosses the C interface.
struct IsamRaise {
    int errorNumber;
};

// Raises an error: never returns.  `detail` refines the status characters
// of 101, 102, 110 and 112.  `f` may be null (no handle to store into).
[[noreturn]] void raiseError(IsFile *f, int errorNumber, int ioError, char detail = kDetailBlank);

// Records the failure as raiseError does but returns 0 instead of leaving
// the call: for the expected failures of a read (end of file, record not
// found), where unwinding would cost many times the read.  The caller must
// end the call at once with that 0 and change nothing more; the frame sees
// the failure recorded and settles it as it settles a raise.
int failCall(IsFile *f, int errorNumber, int ioError, char detail = kDetailBlank);

// Sets isstat1..isstat4 from errno by the status table and copies them into
// the handle's `status` when `f` is not null.
void setStatus(IsFile *f, char detail);

// isstat1..isstat4, which calls of every thread write: each byte is stored
// and read as an atomic byte.  What a thread reads is the last call's of
// any thread; a handle keeps its own call's in `status`.
inline void storeProcessStatus(const char (&status)[4]) {
    __atomic_store_n(&isstat1, status[0], __ATOMIC_RELAXED);
    __atomic_store_n(&isstat2, status[1], __ATOMIC_RELAXED);
    __atomic_store_n(&isstat3, status[2], __ATOMIC_RELAXED);
    __atomic_store_n(&isstat4, status[3], __ATOMIC_RELAXED);
}
inline void loadProcessStatus(char (&status)[4]) {
    status[0] = __atomic_load_n(&isstat1, __ATOMIC_RELAXED);
    status[1] = __atomic_load_n(&isstat2, __ATOMIC_RELAXED);
    status[2] = __atomic_load_n(&isstat3, __ATOMIC_RELAXED);
    status[3] = __atomic_load_n(&isstat4, __ATOMIC_RELAXED);
}

// The duplicate notice of a successful call: the second and fourth status
// characters, the process's and the handle's, become `notice`.
inline void noteDuplicate(IsFile *f, char notice) {
    __atomic_store_n(&isstat2, notice, __ATOMIC_RELAXED);
    __atomic_store_n(&isstat4, notice, __ATOMIC_RELAXED);
    f->status[1] = f->status[3] = notice;
}

// Formats with printf rules into a 256-byte buffer and hands the text to the
// fatal hook, if one is installed.
void fatalMessage(const char *format, ...) __attribute__((format(printf, 1, 2)));

// Installs the process-wide fatal hook (may be null) and returns it.
IsFatalHook installFatalHook(IsFatalHook hook);

// The internal consistency report "fatal isam error MODULE(LINE)".
void fatalAt(const char *module, int line);

// The error of a failed call, kept while its failure is settled: a failure
// on the way (a write of the undo, an unlock) must not replace it.
struct RecordedError {
    explicit RecordedError(const IsFile *f)
        : error(f->errorNumber), io(f->ioError), systemError(errno),
          status{f->status[0], f->status[1], f->status[2], f->status[3]},
          stat{} {
        loadProcessStatus(stat);
    }
    void restore(IsFile *f) const {
        f->errorNumber = error;
        f->ioError = io;
        errno = systemError;
        for (int i = 0; i < 4; ++i) f->status[i] = status[i];
        storeProcessStatus(stat);
    }
    int32_t error, io;
    int systemError;
    char status[4];
    char stat[4];
};

}  // namespace wisam
