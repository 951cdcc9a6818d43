// iscall.cpp - call entry, refresh and the settling of a failed call.
#include "frame/iscall.h"

#include <cerrno>

#include "frame/isdiscard.h"
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

void finishCall(IsFile *f, CallLock lock) {
    if (lock != CallLock::none) unlockState(f);
}

void settleException(IsFile *f) noexcept {
    try {
        try {
            throw;
        } catch (const IsamRaise &) {
            return;  // already stored by raiseError
        } catch (const std::bad_alloc &) {
            fatalAt("ismemory", kLineBadAlloc);
            raiseError(f, kErrNoMemory, 0);
        } catch (...) {
            raiseError(f, kErrCorrupt, 0);
        }
    } catch (...) {
        // The raise above has stored the error; its exception ends here.
    }
}

}  // namespace wisam
