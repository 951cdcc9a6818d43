// layer: lock
// iscustom.h - file-state locks kept across calls, and the lock tests.
//
// Kept-lock states (`deferState`):
//
//   none --request 1--> shared kept (0x01)
//   none, shared kept --request 2--> exclusive kept (0x02)
//   shared kept --first changing call (lockExclusive)--> exclusive kept
//   any --request 0 (endKeptLock)--> none, after the deferred work
//
// While a lock is kept, refreshFile does nothing: no other process can
// change the file.  Request 1 while an exclusive lock is kept changes
// nothing, so no call ever runs believing in a lock it does not hold and no
// deferred write is dropped.
#pragma once

#include <cstdint>

struct IsFile;

namespace wisam {

constexpr int kCustomLockShared = 1;
constexpr int kCustomLockExclusive = 2;

void keepSharedLock(IsFile *f);
void keepExclusiveLock(IsFile *f);
// Ends a kept lock: write-back, deferred dictionary, forced commit, then the
// release.  Nothing to do without a kept lock.
void endKeptLock(IsFile *f);

int lockTest(IsFile *f, int32_t record);
int specialLockTest(IsFile *f, int32_t record);

}  // namespace wisam
