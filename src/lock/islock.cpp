// layer: lock
// islock.cpp - taking and releasing file-state and open locks.

#include "frame/iserror.h"
#include "frame/isfile.h"
#include "lock/islock.h"
#include "lock/issession.h"
#include "structure/isdict.h"
#include "system/iscache.h"
#include "system/isjournal.h"
#include "system/isprofile.h"
#include "system/isregion.h"
#include "system/issystem.h"

extern "C" {
WISAM_API int32_t isForceCommit = 0;
}

namespace wisam {

namespace {

constexpr int kLineSharedGivenUp = 108;
constexpr int kLineExclusiveGivenUp = 133;

bool noLocking(const IsFile *f) { return (f->mode & kModeNoLocking) != 0; }

bool has(uint8_t bits, uint8_t bit) { return (bits & bit) != 0; }


void releaseRegion(IsFile *f, int64_t offset, int32_t length, uint8_t bit, int32_t event) {
    sysUnlockRegion(f, kKindLock, offset, length);
    reportEvent(f, event, kPhaseAfter);
    f->lockState &= static_cast<uint8_t>(~bit);
}

// Drops the open locks the handle holds (presence byte or open region).
void dropOpenLocks(IsFile *f, int32_t slot) {
    if (has(f->lockState, kLockOpenExclusive)) {
        releaseRegion(f, kOpenRegionOffset, kRegionLength, kLockOpenExclusive, kEventExclusiveLock);
    }
    if (has(f->lockState, kLockOpenShared)) {
        releaseRegion(f, slot, 1, kLockOpenShared, kEventSharedLock);
    }
}

// A refused open lock: the request (`event`) ends, `failedEvent` marks the
// failure, and the open fails with 113.
[[noreturn]] void refuseOpenLock(IsFile *f, int32_t event, int32_t failedEvent) {
    reportEvent(f, event, kPhaseAfter);
    reportEvent(f, failedEvent, kPhaseEvent);
    raiseError(f, kErrFileInUse, 0);
}

// The user slot for an open lock; no slot (the counter is locked by an
// exclusive opener) refuses the open lock like a conflict on its byte.
int32_t slotForOpen(IsFile *f, int32_t event, int32_t failedEvent) {
    const int32_t slot = sysUserSlot(f);
    if (slot == 0) refuseOpenLock(f, event, failedEvent);
    return slot;
}

}  // namespace

// The notice that a file-state lock is about to be requested.
void tableLockNotice(IsFile *f) {
    auto callback = tableLockCallback;
    if (callback != nullptr && f->profileTag != 0) callback(f);
}

bool waitForStateLock(IsFile *f, bool exclusive, int32_t slot, int givenUpLine) {
    const int32_t event = exclusive ? kEventExclusiveLock : kEventSharedLock;
    const int64_t offset = exclusive ? kStateRegionOffset : kStateRegionOffset + slot;
    const int32_t length = exclusive ? kRegionLength : 1;
    reportEvent(f, event, kPhaseBefore);
    if (sysLockRegion(f, kKindLock, offset, length, true)) {
        f->lockState |= exclusive ? kLockStateExclusive : kLockStateShared;
        return true;
    }
    reportEvent(f, event, kPhaseAfter);
    reportEvent(f, exclusive ? kEventExclusiveFailed : kEventSharedFailed, kPhaseEvent);
    fatalAt("islock", givenUpLine);
    return false;
}

void lockShared(IsFile *f) {
    if (noLocking(f) || has(f->lockState, kLockOpenExclusive)) return;
    if (has(f->lockState, kLockStateShared)) {
        reportEvent(f, kEventSharedAgain, kPhaseEvent);
        return;
    }
    const int32_t slot = sysUserSlot(f);
    if (has(f->deferState, kDeferExclusiveKept)) return;
    if (!has(f->deferState, kDeferSharedKept)) tableLockNotice(f);
    if (has(f->lockState, kLockStateExclusive)) {
        sysUnlockRegion(f, kKindLock, kStateRegionOffset, kRegionLength);
        f->lockState &= static_cast<uint8_t>(~kLockStateExclusive);
    }
    waitForStateLock(f, false, slot, kLineSharedGivenUp);
}

void lockExclusive(IsFile *f) {
    if (noLocking(f) || has(f->lockState, kLockOpenExclusive)) return;
    if (has(f->lockState, kLockStateExclusive)) {
        reportEvent(f, kEventExclusiveAgain, kPhaseEvent);
        return;
    }
    const int32_t slot = sysUserSlot(f);
    if (has(f->deferState, kDeferExclusiveKept)) return;
    const bool sharedKept = has(f->deferState, kDeferSharedKept);
    if (!sharedKept) tableLockNotice(f);
    if (has(f->lockState, kLockStateShared)) {
        sysUnlockRegion(f, kKindLock, kStateRegionOffset + slot, 1);
        f->lockState &= static_cast<uint8_t>(~kLockStateShared);
        if (sharedKept) f->deferState &= static_cast<uint8_t>(~kDeferSharedKept);
    }
    if (waitForStateLock(f, true, slot, kLineExclusiveGivenUp) && sharedKept) {
        // The file may have changed while no lock was held; from now on the
        // kept shared lock is a kept exclusive one.
        refreshFile(f);
        f->deferState |= kDeferExclusiveKept;
    }
}

void unlockState(IsFile *f) {
    if (has(f->deferState, kDeferSharedKept)) {
        if (has(f->lockState, kLockStateShared)) return;
        f->deferState &= static_cast<uint8_t>(~kDeferSharedKept);
    } else if (has(f->deferState, kDeferExclusiveKept)) {
        if (has(f->lockState, kLockStateExclusive)) {
            journalSpansCalls(f);  // one change until the kept lock ends
            return;
        }
        performDeferredWork(f);
        f->deferState &= static_cast<uint8_t>(~kDeferExclusiveKept);
    }
    // Before anyone else can lock the file: the journaled change is whole
    // in the files, or taken back.
    commitChange(f);
    if (has(f->lockState, kLockOpenExclusive) || noLocking(f)) return;
    if (!has(f->lockState, kLockStateShared | kLockStateExclusive)) return;
    const int32_t slot = sysUserSlot(f);
    if (has(f->lockState, kLockStateExclusive)) {
        releaseRegion(f, kStateRegionOffset, kRegionLength, kLockStateExclusive,
                      kEventExclusiveLock);
    }
    if (has(f->lockState, kLockStateShared)) {
        releaseRegion(f, kStateRegionOffset + slot, 1, kLockStateShared, kEventSharedLock);
    }
}

void performDeferredWork(IsFile *f) {
    if (has(f->deferState, kDeferWriteBack)) {
        writeBackDirtyBlocks(f);
        f->deferState &= static_cast<uint8_t>(~kDeferWriteBack);
    }
    if (has(f->deferState, kDeferDictionary)) {
        if (isForceCommit != 0) f->deferState |= kDeferCommit;
        writeDeferredDictionary(f);
    }
    if (has(f->deferState, kDeferCommit)) {
        if (journalInChange(f)) {
            journalRequestSync(f);  // the files reach the device at the commit
        } else {
            sysCommit(f, kKindData);
            sysCommit(f, kKindIndex);
        }
        f->deferState &= static_cast<uint8_t>(~kDeferCommit);
    }
}

uint8_t stateLockRaise(IsFile *f) {
    const uint8_t held = f->lockState;
    if (noLocking(f) || has(held, kLockOpenExclusive) || has(held, kLockStateExclusive)) return held;
    const int32_t slot = sysUserSlot(f);
    if (has(held, kLockStateShared)) {
        sysUnlockRegion(f, kKindLock, kStateRegionOffset + slot, 1);
        f->lockState &= static_cast<uint8_t>(~kLockStateShared);
    }
    waitForStateLock(f, true, slot, kLineExclusiveGivenUp);
    return held;
}

void stateLockRestore(IsFile *f, uint8_t held) {
    if (noLocking(f) || has(held, kLockOpenExclusive) || has(held, kLockStateExclusive)) return;
    const int32_t slot = sysUserSlot(f);
    if (has(f->lockState, kLockStateExclusive)) {
        sysUnlockRegion(f, kKindLock, kStateRegionOffset, kRegionLength);
        f->lockState &= static_cast<uint8_t>(~kLockStateExclusive);
    }
    if (has(held, kLockStateShared)) waitForStateLock(f, false, slot, kLineSharedGivenUp);
}

void openLockShared(IsFile *f) {
    if (has(f->lockState, kLockOpenShared) || noLocking(f)) return;
    const int32_t slot = slotForOpen(f, kEventSharedLock, kEventSharedFailed);
    dropOpenLocks(f, slot);
    reportEvent(f, kEventSharedLock, kPhaseBefore);
    // Patient: a last close holds the whole open region for a moment.
    if (sysLockRegionPatiently(f, slot, 1)) {
        f->lockState |= kLockOpenShared;
        return;
    }
    refuseOpenLock(f, kEventSharedLock, kEventSharedFailed);
}

void openLockExclusive(IsFile *f) {
    if (has(f->lockState, kLockOpenExclusive) || noLocking(f)) return;
    const int32_t slot = slotForOpen(f, kEventExclusiveLock, kEventExclusiveFailed);
    const bool hadPresence = has(f->lockState, kLockOpenShared);
    dropOpenLocks(f, slot);
    reportEvent(f, kEventExclusiveLock, kPhaseBefore);
    if (sysLockRegion(f, kKindLock, kOpenRegionOffset, kRegionLength, false)) {
        f->lockState |= kLockOpenExclusive;
        return;
    }
    reportEvent(f, kEventExclusiveLock, kPhaseAfter);
    reportEvent(f, kEventExclusiveFailed, kPhaseEvent);
    // An open handle must stay protected against an exclusive opener: take
    // the presence byte back (waiting) before reporting the conflict.
    if (hadPresence && sysLockRegion(f, kKindLock, slot, 1, true)) {
        f->lockState |= kLockOpenShared;
    }
    raiseError(f, kErrFileInUse, 0);
}

void openLockDowngrade(IsFile *f) {
    if (noLocking(f)) return;
    const int32_t slot = sysUserSlot(f);
    if (slot == 0) raiseError(f, kErrFileInUse, 0);
    dropOpenLocks(f, slot);
    if (sysLockRegion(f, kKindLock, slot, 1, true)) f->lockState |= kLockOpenShared;
}

bool openLockAlone(IsFile *f) {
    if (noLocking(f) || f->lockFd < 0) return false;
    if (has(f->lockState, kLockOpenExclusive)) return true;
    // The presence bytes of the group (this handle's, or that of a sibling
    // closed earlier, which stood for them all); none: an open that failed.
    if (sysUnlockRegionsWithin(f, kKindLock, kOpenRegionOffset, kRegionLength) <= 0) return false;
    f->lockState &= static_cast<uint8_t>(~kLockOpenShared);
    if (sysLockRegion(f, kKindLock, kOpenRegionOffset, kRegionLength, false) == 0) return false;
    f->lockState |= kLockOpenExclusive;
    return true;
}

void openLockRelease(IsFile *f) {
    if (noLocking(f)) return;
    if (!has(f->lockState, kLockOpenShared | kLockOpenExclusive)) return;
    dropOpenLocks(f, sysUserSlot(f));
}

}  // namespace wisam
