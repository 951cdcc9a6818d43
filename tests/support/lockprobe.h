// lockprobe.h - asking the lock file what another holder could lock now.
#pragma once

#include <cstdint>

#include "frame/iscall.h"
#include "lock/isrecord.h"
#include "support/testing.h"
#include "system/isregion.h"

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

}  // namespace wisam::testing
