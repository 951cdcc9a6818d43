// layer: lock
// iscustom.cpp - kept file-state locks and lock tests.

#include "frame/isfile.h"
#include "lock/iscustom.h"
#include "lock/islock.h"
#include "lock/isrecord.h"
#include "lock/issession.h"
#include "system/isjournal.h"
#include "system/isregion.h"
#include "system/isview.h"

namespace wisam {

namespace {

constexpr int kLineKeptSharedGivenUp = 257;
constexpr int kLineKeptExclusiveGivenUp = 268;

bool has(uint8_t bits, uint8_t bit) { return (bits & bit) != 0; }
void clear(uint8_t &bits, uint8_t bit) { bits &= static_cast<uint8_t>(~bit); }

// Drops the file-state locks held now, before a kept one is requested.
void dropStateLocks(IsFile *f, int32_t slot) {
    if (has(f->lockState, kLockStateExclusive)) {
        sysUnlockRegion(f, kKindLock, kStateRegionOffset, kRegionLength);
        clear(f->lockState, kLockStateExclusive);
    }
    if (has(f->lockState, kLockStateShared)) {
        sysUnlockRegion(f, kKindLock, kStateRegionOffset + slot, 1);
        clear(f->lockState, kLockStateShared);
    }
    clear(f->deferState, kDeferSharedKept);
}

}  // namespace

namespace {

// Takes the state lock to keep (after the locks held now are dropped),
// refreshes, and marks it kept.  Nothing to do while an exclusive lock is
// kept: it already covers both kinds.
void keepStateLock(IsFile *f, bool exclusive) {
    const int32_t slot = sysUserSlot(f);
    if (has(f->deferState, kDeferExclusiveKept)) return;
    if (!has(f->deferState, kDeferSharedKept)) tableLockNotice(f);
    dropStateLocks(f, slot);
    waitForStateLock(f, exclusive, slot, exclusive ? kLineKeptExclusiveGivenUp : kLineKeptSharedGivenUp);
    refreshFile(f);
    viewResize(f);  // still outside the kept lock: what the files hold now is kept
    f->deferState |= exclusive ? kDeferExclusiveKept : kDeferSharedKept;
}

}  // namespace

void keepSharedLock(IsFile *f) { keepStateLock(f, false); }

void keepExclusiveLock(IsFile *f) { keepStateLock(f, true); }

// The deferred work runs while the lock is still kept: when it fails, the
// lock stays kept with the rest of the work marked, so that no other
// process sees the file half written and a later end (or the close) does
// the rest.
void endKeptLock(IsFile *f) {
    if (f->deferState == 0) return;
    performDeferredWork(f);
    journalCommit(f);
    clear(f->deferState, kDeferSharedKept | kDeferExclusiveKept);
    unlockState(f);
}

int lockTest(IsFile *f, int32_t record) {
    if ((f->mode & kModeNoLocking) != 0 || has(f->lockState, kLockFile)) return 1;
    if (record == 0) {
        freeHeldLockEntry(f);  // the lookup of 0 finds (or makes) a free entry
        return 1;
    }
    // A handle holding the open-exclusive region has the file to itself: no
    // other handle or process can hold a record lock, so the test of the
    // lock byte is skipped (two system calls on every delete and rewrite).
    if (has(f->lockState, kLockOpenExclusive)) return 1;
    if (findHeldLock(f, record) >= 0) return 1;
    if (groupLockConflict(f, record, false)) return 0;
    if (!sysLockRegion(f, kKindLock, kRecordAreaOffset + record, 1, false)) return 0;
    sysUnlockRegion(f, kKindLock, kRecordAreaOffset + record, 1);
    return 1;
}

int specialLockTest(IsFile *f, int32_t record) {
    if ((f->mode & kModeNoLocking) != 0) return 1;
    if (groupLockConflict(f, record, false)) return 0;
    if (record != 0) {
        if (!sysLockRegion(f, kKindLock, kRecordAreaOffset + record, 1, false)) return 0;
        sysUnlockRegion(f, kKindLock, kRecordAreaOffset + record, 1);
        return 1;
    }
    unlockAllRecords(f);
    if (!sysLockRegion(f, kKindLock, kFileLockOffset, kFileLockLength, false)) return 0;
    f->lockState |= kLockFile;
    sysUnlockRegion(f, kKindLock, kFileLockOffset, kFileLockLength);
    clear(f->lockState, kLockFile);
    return 1;
}

}  // namespace wisam
