// layer: lock
// isrecord.cpp - record locks, the file lock and the in-process check.
#include "lock/isrecord.h"

#include <cerrno>

#include "frame/iserror.h"
#include "frame/isfile.h"
#include "frame/ishandles.h"
#include "frame/ismemory.h"
#include "system/isregion.h"
#include "system/issystem.h"
#include "system/isthread.h"

namespace wisam {

namespace {

bool noLocking(const IsFile *f) { return (f->mode & kModeNoLocking) != 0; }

bool coveredByOwnFileLock(const IsFile *f, int32_t record) {
    return (f->lockState & kLockFile) != 0 && record >= 1 && record <= kRecordsCoveredByFileLock;
}

int64_t recordOffset(int32_t record) { return kRecordAreaOffset + record; }

// One scan of the other handles of the same file in this process.
bool conflictNow(const IsFile *f, void *token, int32_t record) {
    for (int32_t i = handleTableCapacity() - 1; i >= 0; --i) {
        const HandleEntry &entry = handleEntry(i);
        const IsFile *other = entry.file;
        if (other == nullptr || other == f || entry.token != token) continue;
        if ((other->lockState & kLockFile) != 0) return true;
        for (int32_t j = other->heldLockCount - 1; j >= 0; --j) {
            const int32_t held = other->heldLocks[j];
            if (held != 0 && (record == 0 || held == record)) return true;
        }
    }
    return false;
}

}  // namespace

int32_t findHeldLock(const IsFile *f, int32_t record) {
    for (int32_t i = f->heldLockCount - 1; i >= 0; --i) {
        if (f->heldLocks[i] == record) return i;
    }
    return -1;
}

int32_t freeHeldLockEntry(IsFile *f) {
    const int32_t free = findHeldLock(f, 0);
    if (free >= 0) return free;
    const int32_t count = f->heldLockCount;
    const int32_t growth = count > kHeldLocksGrowth ? count : kHeldLocksGrowth;
    if (count > INT32_MAX - growth) raiseError(f, kErrNoMoreLocks, 0);
    const size_t oldSize = sizeof(int32_t) * static_cast<size_t>(count);
    const size_t newSize = sizeof(int32_t) * static_cast<size_t>(count + growth);
    void *grown = tryReallocZeroed(f->heldLocks, oldSize, newSize);
    if (grown == nullptr) raiseError(f, kErrNoMoreLocks, 0);
    f->heldLocks = static_cast<int32_t *>(grown);
    f->heldLockCount = count + growth;
    return count + growth - 1;  // searches run from the end: take the last
}

int groupLockConflict(IsFile *f, int32_t record, bool wait) {
    void *token = groupToken(f);
    if (token == nullptr || !conflictNow(f, token, record)) return 0;
    if (!wait) return 1;
    const int64_t deadline = sysCalls.clockMicros() + int64_t{kGroupWaitSeconds} * 1000000;
    int32_t attempts = 0;
    while (conflictNow(f, token, record)) {
        if (sysCalls.clockMicros() >= deadline) return 1;
        const int32_t threshold = isDeadlockThreshold;
        auto callback = lockingDeadLock;
        if (threshold > 0 && ++attempts > threshold && callback != nullptr &&
            callback(f, 1, EACCES, record, 1) == 0) {
            return 1;
        }
        libraryYield();  // another thread of the host must release it
    }
    return 0;
}

int lockRecord(IsFile *f, int32_t record, bool wait) {
    if (noLocking(f) || findHeldLock(f, record) >= 0) return 1;
    if (coveredByOwnFileLock(f, record)) return 1;
    const int32_t entry = freeHeldLockEntry(f);
    if (groupLockConflict(f, record, wait)) return 0;
    if (!sysLockRegion(f, kKindLock, recordOffset(record), 1, wait)) return 0;
    f->heldLocks[entry] = record;
    return 1;
}

void unlockRecord(IsFile *f, int32_t record) {
    if ((f->lockState & kLockOpenExclusive) != 0) return;
    const int32_t entry = findHeldLock(f, record);
    if (entry < 0 || record == 0) return;
    sysUnlockRegion(f, kKindLock, recordOffset(record), 1);
    f->heldLocks[entry] = 0;
}

void unlockAllRecords(IsFile *f) {
    for (int32_t i = f->heldLockCount - 1; i >= 0; --i) {
        const int32_t record = f->heldLocks[i];
        if (record == 0) continue;
        sysUnlockRegion(f, kKindLock, recordOffset(record), 1);
        f->heldLocks[i] = 0;
    }
}

int lockFile(IsFile *f) {
    if (noLocking(f) || (f->lockState & (kLockOpenExclusive | kLockFile)) != 0) return 1;
    if (groupLockConflict(f, 0, false)) return 0;
    unlockAllRecords(f);
    if (!sysLockRegion(f, kKindLock, kFileLockOffset, kFileLockLength, false)) return 0;
    f->lockState |= kLockFile;
    return 1;
}

void unlockAll(IsFile *f) {
    if ((f->lockState & kLockOpenExclusive) != 0) return;
    if ((f->lockState & kLockFile) != 0) {
        sysUnlockRegion(f, kKindLock, kFileLockOffset, kFileLockLength);
        f->lockState &= static_cast<uint8_t>(~kLockFile);
        return;
    }
    unlockAllRecords(f);
}

bool holdsRecordLock(const IsFile *f, int32_t record) {
    if ((f->mode & kModeExclusive) != 0 || (f->lockState & kLockFile) != 0) return true;
    return record != 0 && findHeldLock(f, record) >= 0;
}

}  // namespace wisam
