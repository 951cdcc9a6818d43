// layer: system/os
// isregion.h - exclusive byte-range locks in the lock file, and user slots.
//
// The lock file N.lck holds no data but the slot counter and the zero bytes
// written at handed-out slots; the rest is an address space for locks (locks
// may lie beyond the end of the file).  All locks are exclusive; a shared
// lock is one byte per holder, overlapped by the exclusive holder's region.
//
//   offset      length  use
//   0           4       slot counter: last user slot handed out, big-endian;
//                       locked while a slot is allocated
//   0           512     open-exclusive region (exclusive opener; index add
//                       and drop)
//   s (4..511)  1       open presence byte of the handle with user slot s
//   512         512     file-state region, locked whole by a changing call
//   512 + s     1       file-state byte of a reading call of slot s
//   1024        1024    file lock (isLock)
//   1024 + r    1       lock on data record r (r >= 1)
//
// Semantics every process relies on: a lock fails at once on any overlap
// with a range held by any process or through any descriptor, the same
// descriptor included, and is released by the matching unlock (same offset
// and length) or by closing the descriptor.  Built from open-file-description
// locks (shared by nobody but this descriptor, not dropped when another
// descriptor of the file closes) plus an in-process table of the ranges held
// through each descriptor, consulted first, because an open-file-description
// lock would silently merge an overlapping request from its own holder.
#pragma once

#include <cstdint>

struct IsFile;

namespace wisam {

constexpr int64_t kSlotCounterOffset = 0;
constexpr int32_t kSlotCounterLength = 4;
constexpr int64_t kOpenRegionOffset = 0;
constexpr int64_t kStateRegionOffset = 512;
constexpr int32_t kRegionLength = 512;
constexpr int64_t kRecordAreaOffset = 1024;  // file lock and record locks
constexpr int64_t kFileLockOffset = 1024;
constexpr int32_t kFileLockLength = 1024;
constexpr int32_t kFirstUserSlot = 4;
constexpr int32_t kUserSlotLimit = 512;  // slots are 4..511

// Locks `length` bytes at `offset`.  1 = locked; 0 = held elsewhere and not
// waiting, or the wait was given up through lockingDeadLock.  With `wait`
// polls until free.  Unexpected failures raise with I/O code 96 + kind (a
// handle) or return 0 (none).
int sysLockRegion(IsFile *f, int kindOrFd, int64_t offset, int32_t length, bool wait);

// Locks `length` bytes of the lock file at `offset` that are held only
// briefly (the slot counter, a presence byte): tries again for a quarter of
// a second before it counts as refused (0, errno EACCES).
int sysLockRegionPatiently(IsFile *f, int64_t offset, int32_t length);

// Unlocks the range locked with the same offset and length.  1 also when
// the file is not open.
int sysUnlockRegion(IsFile *f, int kindOrFd, int64_t offset, int32_t length);

// The handle's user slot (4..511), handed out round robin through the slot
// counter on first use; 0 without a lock file or when the counter stays
// locked for a quarter of a second (an exclusive opener; errorNumber 113).
// Without a handle: the process id.
int32_t sysUserSlot(IsFile *f);

// Unlocks every range held through the descriptor that lies within
// `length` bytes at `offset`: how many there were, or -1 when an unlock
// failed.  Never raises.
int sysUnlockRegionsWithin(IsFile *f, int kindOrFd, int64_t offset, int32_t length);

// Forgets the ranges held through `fd`, which is being closed.
void forgetRegions(int32_t fd);

}  // namespace wisam
