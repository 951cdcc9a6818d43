// layer: frame/call
// iscall.cpp - call entry, refresh and the settling of a failed call.
#include "frame/iscall.h"

#include <cerrno>

#include "frame/isdiscard.h"
#include "frame/isundo.h"
#include "lock/islock.h"
#include "lock/issession.h"
#include "system/isjournal.h"
#include "system/isview.h"

namespace wisam {

namespace {

constexpr int kLineBadAlloc = 31;  // reported as an allocation failure

void storeRefusal(IsFile *f, int error, const char (&status)[5]) {
    f->errorNumber = error;
    for (int i = 0; i < 4; ++i) f->status[i] = status[i];
}

// Whether a call of another thread is under way on `f`, a known handle.
bool takenByOther(const IsFile *f) { return f->callThread != 0 && f->callThread != libraryThreadId(); }

}  // namespace

// The handle table is searched again only after a wait, when the handle
// may have been closed meanwhile.
bool HandleTurn::take(IsFile *f, bool known) {
    if (!known) return true;
    GroupLock *group = f->group;
    while (takenByOther(f)) {
        libraryAwaitTurns();
        if (!isKnownHandle(f)) return true;
    }
    if (f->group != group) return false;
    f->callThread = libraryThreadId();
    ++f->callNesting;
    f_ = f;
    return true;
}

// A handle closed by its own call is gone (or its memory is another
// handle's, which this thread never marked): only a mark of this thread
// is taken off.
void HandleTurn::give() {
    if (isKnownHandle(f_) && f_->callThread == libraryThreadId() && --f_->callNesting == 0) {
        f_->callThread = 0;
        libraryTurnsChanged();
    }
}

void ExportedCall::enter(IsFile *f) {
    const bool known = isKnownHandle(f);
    if (known) library_.takeGroup(f->group);
    if (library_.admitted()) turnTaken_ = turn_.take(f, known);
}

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
        storeProcessStatus({'9', '0', '9', '0'});
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

void lockForCall(IsFile *f, CallLock lock) {
    if (lock == CallLock::shared) lockShared(f);
    if (lock == CallLock::exclusive) lockExclusive(f);
}

void beginCall(IsFile *f, int32_t access, CallLock lock) {
    // Still holding the lock under which its call failed.
    if (undoPending(f)) finishPendingUndo(f);
    lockForCall(f, lock);
    applyPendingJournal(f);
    if (lock != CallLock::none) {
        refreshFile(f);
        viewResize(f);
    }
    if (access == kAccessChange) {
        journalBegin(f);
        beginChange(f);
    }
}

void finishCall(IsFile *f, int32_t access, CallLock lock) {
    if (access == kAccessChange) endChange(f);
    if (lock != CallLock::none) {
        unlockState(f);
    } else if (access == kAccessChange) {
        commitChange(f);
    }
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

void settleFailedCall(IsFile *f, int32_t access) noexcept {
    if (f == nullptr) return;
    const RecordedError recorded(f);
    // Raises on the way are failures of the settling, not new calls.
    f->callAccess = kAccessAny;
    try {
        // A change taken back from its journal leaves nothing of the call
        // to take back; the handle reads the files again instead.
        if (journalTakeRollback(f)) {
            resyncWithFiles(f);
        } else if (access == kAccessChange) {
            discardCallChanges(f);
        }
    } catch (...) {
    }
    // The release commits a journaled change; when that fails, the change
    // is taken back and the release tried once more.
    for (int attempt = 0; attempt < 2; ++attempt) {
        try {
            if (!undoPending(f) && !journalPending(f)) unlockState(f);
            break;
        } catch (...) {
            try {
                if (journalTakeRollback(f)) resyncWithFiles(f);
            } catch (...) {
            }
        }
    }
    f->callAccess = 0;
    recorded.restore(f);
}

}  // namespace wisam
