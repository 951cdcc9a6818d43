// iscall.cpp - call entry, refresh and the settling of a failed call.
#include "frame/iscall.h"

#include <cerrno>

#include "frame/isdiscard.h"
#include "frame/isundo.h"
#include "lock/islock.h"
#include "structure/isdict.h"

namespace wisam {

namespace {

constexpr int kLineBadAlloc = 31;  // reported as an allocation failure

void storeRefusal(IsFile *f, int error, const char (&status)[5]) {
    f->errorNumber = error;
    for (int i = 0; i < 4; ++i) f->status[i] = status[i];
}

}  // namespace

int enterCall(IsFile *f, int32_t access) {
    if (f == nullptr) {
        errno = kErrNotOpen;
        return 0;
    }
    if (access != kAccessUnregistered && !isKnownHandle(f)) {
        // A freed or foreign pointer: writing into it could corrupt memory
        // the host has reused, so the refusal goes to errno and the
        // process-wide status characters only.
        errno = kErrCorrupt;
        isstat1 = '9', isstat2 = '0', isstat3 = '9', isstat4 = '0';
        return 0;
    }
    f->errorNumber = 0;
    f->ioError = 0;
    for (char &c : f->status) c = '0';
    const uint32_t accessMode = f->mode & kModeAccessMask;
    if (access == kAccessRead && accessMode == kModeAccessOutput) {
        storeRefusal(f, kErrBadArgument, "9047");
        return 0;
    }
    if (access == kAccessChange && accessMode == kModeAccessInput) {
        storeRefusal(f, kErrBadArgument, "9048");
        return 0;
    }
    f->callAccess = access;
    return 1;
}

void refreshFile(IsFile *f) {
    if ((f->mode & kModeExclusive) != 0) return;
    if ((f->deferState & (kDeferSharedKept | kDeferExclusiveKept)) != 0) return;
    if (f->indexFd < 0 || f->dictionary == nullptr) return;
    const uint32_t before = f->changeCount;
    readDictionary(f);
    if (f->changeCount != before) discardForeignChanges(f);
}

void lockForCall(IsFile *f, CallLock lock) {
    if (lock == CallLock::shared) lockShared(f);
    if (lock == CallLock::exclusive) lockExclusive(f);
}

void beginCall(IsFile *f, int32_t access, CallLock lock) {
    // Still holding the lock under which its call failed.
    if (undoPending(f)) finishPendingUndo(f);
    lockForCall(f, lock);
    if (lock != CallLock::none) refreshFile(f);
    if (access == kAccessChange) beginChange(f);
}

void finishCall(IsFile *f, int32_t access, CallLock lock) {
    if (access == kAccessChange) endChange(f);
    if (lock != CallLock::none) unlockState(f);
}

void settleException(IsFile *f) noexcept {
    try {
        try {
            throw;
        } catch (const IsamRaise &) {
            return;  // already recorded by raiseError
        } catch (const std::bad_alloc &) {
            fatalAt("ismemory", kLineBadAlloc);
            raiseError(f, kErrNoMemory, 0);
        } catch (...) {
            raiseError(f, kErrCorrupt, 0);
        }
    } catch (...) {
        // The raise above has recorded the error; its exception ends here.
    }
}

namespace {

// The error of a failed call, kept while its failure is settled: a failure
// on the way (a write of the undo, an unlock) must not replace it.
struct RecordedError {
    explicit RecordedError(const IsFile *f)
        : error(f->errorNumber), io(f->ioError), systemError(errno),
          status{f->status[0], f->status[1], f->status[2], f->status[3]},
          stat{isstat1, isstat2, isstat3, isstat4} {}
    void restore(IsFile *f) const {
        f->errorNumber = error;
        f->ioError = io;
        errno = systemError;
        for (int i = 0; i < 4; ++i) f->status[i] = status[i];
        isstat1 = stat[0], isstat2 = stat[1], isstat3 = stat[2], isstat4 = stat[3];
    }
    int32_t error, io;
    int systemError;
    char status[4];
    char stat[4];
};

}  // namespace

void settleFailedCall(IsFile *f, int32_t access) noexcept {
    if (f == nullptr) return;
    const RecordedError recorded(f);
    // Raises on the way are failures of the settling, not new calls.
    f->callAccess = kAccessAny;
    try {
        if (access == kAccessChange) discardCallChanges(f);
    } catch (...) {
    }
    try {
        if (!undoPending(f)) unlockState(f);
    } catch (...) {
    }
    f->callAccess = 0;
    recorded.restore(f);
}

}  // namespace wisam
