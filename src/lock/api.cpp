// layer: api
// api.cpp - the exported lock calls.
//
// isLock, isUnLock, isRelease, isRelRec and isRelCurr run the call frame
// with the reading access code (shared file-state lock, refresh).
// isSetCustomLock, isLockTest and isSpecialLockTest run without it: they
// answer 1 or 0 and set no error state; a failure inside them (a write-back
// or system lock failure) is reported through the fatal hook and a 0 result,
// never by unwinding into the host.
#include "frame/iscall.h"
#include "frame/iserror.h"
#include "frame/isfile.h"
#include "lock/iscustom.h"
#include "lock/isrecord.h"

using namespace wisam;

extern "C" {

WISAM_API int isLock(IsFile *f) {
    return framedCall(f, kAccessRead, CallLock::shared, [&] {
        if (!lockFile(f)) raiseError(f, kErrLocked, 0);
        return 1;
    });
}

WISAM_API int isUnLock(IsFile *f) {
    return framedCall(f, kAccessRead, CallLock::shared, [&] { return unlockAll(f), 1; });
}

// The same as isUnLock.
WISAM_API int isRelease(IsFile *f) { return isUnLock(f); }

WISAM_API int isRelRec(IsFile *f, int32_t recnum) {
    return framedCall(f, kAccessRead, CallLock::shared, [&] {
        if (recnum <= 0) raiseError(f, kErrBadArgument, 0);
        unlockRecord(f, recnum);
        return 1;
    });
}

WISAM_API int isRelCurr(IsFile *f) {
    return framedCall(f, kAccessRead, CallLock::shared, [&] {
        if (f->recnum != 0) unlockRecord(f, f->recnum);
        return 1;
    });
}

WISAM_API int isSetCustomLock(IsFile *f, int request) {
    return unframedCall(f, [&] {
        if ((f->mode & kModeNoLocking) != 0) return 1;
        if (request == kCustomLockShared) {
            keepSharedLock(f);
        } else if (request == kCustomLockExclusive) {
            keepExclusiveLock(f);
        } else {
            endKeptLock(f);
        }
        return 1;
    });
}

// A negative record number names no lock byte of a record: it can never be
// locked, so both tests answer 0 without touching the lock file.
WISAM_API int isLockTest(IsFile *f, int32_t recnum) {
    return unframedCall(f, [&] { return recnum < 0 ? 0 : lockTest(f, recnum); });
}

WISAM_API int isSpecialLockTest(IsFile *f, int32_t recnum) {
    return unframedCall(f, [&] { return recnum < 0 ? 0 : specialLockTest(f, recnum); });
}

}  // extern "C"
