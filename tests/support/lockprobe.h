// lockprobe.h - the lock tests' tools: asking the lock file what another
// holder could lock now, asking through the interface whether a record can
// be locked, and stand-ins for the host's deadlock escape.
#pragma once

#include <cstdint>
#include <vector>

#include "frame/iscall.h"
#include "lock/isrecord.h"
#include "support/model.h"
#include "support/testing.h"
#include "system/isregion.h"
#include "wisam.h"

namespace wisam::testing {

constexpr uint32_t kManual = 2 | kModeManualLock;  // input-output, manual locking
constexpr int kLongWait = 5000;  // ms; only reached when something is broken

// lockRecord inside a framed call: its result, or -1 when it raised.
inline int lockRec(IsFile *f, int32_t record, bool wait = false) {
    int result = -1;
    inCall(f, kAccessAny, [&] {
        result = lockRecord(f, record, wait);
        return 1;
    });
    return result;
}

// 1 when `probe` can lock the byte range right now (and leaves it unlocked).
inline int canLock(IsFile *probe, int64_t offset, int32_t length) {
    return inCall(probe, kAccessAny, [&] {
        if (!sysLockRegion(probe, kKindLock, offset, length, false)) return 0;
        sysUnlockRegion(probe, kKindLock, offset, length);
        return 1;
    });
}
inline int canLockRecord(IsFile *probe, int32_t record) {
    return canLock(probe, kRecordAreaOffset + record, 1);
}
inline int canLockFile(IsFile *probe) { return canLock(probe, kFileLockOffset, kFileLockLength); }
// Whether a changing call (exclusive state region) or a reading call (the
// probe's own state byte) could start now.
inline int canWrite(IsFile *probe) { return canLock(probe, kStateRegionOffset, kRegionLength); }
inline int canRead(IsFile *probe) { return canLock(probe, kStateRegionOffset + probe->userSlot, 1); }

// Through the interface: 1 when `probe` (a handle on a file of model
// records, positioned on the id index) can lock the record of `id` now
// (the lock is given back), 0 when someone else holds it (107), -error
// otherwise.
inline int probeLock(IsFile *probe, int32_t id) {
    std::vector<uint8_t> record = modelRecord(id, 0, 0);
    if (isRead(probe, record.data(), modeEqual | readLock) == 1) {
        isRelease(probe);
        return 1;
    }
    return isErrno(probe) == ELOCKED ? 0 : -isErrno(probe);
}

// Stand-ins for the deadlock escape (lockingDeadLock), which a lock wait
// asks once isDeadlockThreshold attempts have failed: 0 gives the wait up,
// anything else waits on.

// What the escape was asked.
struct EscapeCall {
    IsFile *f;
    int32_t inRecordArea;
    int32_t error;
    int64_t offset;
    int32_t length;
};
inline std::vector<EscapeCall> escapeCalls;

// Gives up at once, noting the call.
inline int32_t giveUp(IsFile *f, int32_t inRecordArea, int32_t error, int64_t offset, int32_t length) {
    escapeCalls.push_back({f, inRecordArea, error, offset, length});
    return 0;
}

// Keeps waiting; the first time it is asked it posts `waitingAnnounce`,
// so that a waiting process says once, through a pipe, that it has met
// the lock.
inline Signal *waitingAnnounce = nullptr;
inline int32_t announceAndWait(IsFile *, int32_t, int32_t, int64_t, int32_t) {
    if (waitingAnnounce != nullptr) {
        waitingAnnounce->post();
        waitingAnnounce = nullptr;
    }
    return 1;
}

// Keeps waiting, noting the call; the first time it is asked it lets
// `holderToRelease` go, as another thread of the host would.
inline IsFile *holderToRelease = nullptr;
inline int32_t releaseHolder(IsFile *f, int32_t inRecordArea, int32_t error, int64_t offset, int32_t length) {
    escapeCalls.push_back({f, inRecordArea, error, offset, length});
    if (holderToRelease != nullptr) {
        unlockAll(holderToRelease);
        holderToRelease = nullptr;
    }
    return 1;
}

// For the life of the object: the stand-ins start afresh, and the escape
// and threshold are put back at the end.
class EscapeScope {
public:
    EscapeScope() : threshold_(isDeadlockThreshold), escape_(lockingDeadLock) {
        escapeCalls.clear();
        waitingAnnounce = nullptr;
        holderToRelease = nullptr;
    }
    ~EscapeScope() {
        isDeadlockThreshold = threshold_;
        lockingDeadLock = escape_;
    }
    EscapeScope(const EscapeScope &) = delete;
    EscapeScope &operator=(const EscapeScope &) = delete;

private:
    int32_t threshold_;
    decltype(lockingDeadLock) escape_;
};

}  // namespace wisam::testing
