// layer: lock
// isrecord.h - application locks: record locks and the file lock.
//
// Held across calls at the application's request, in the lock file's record
// area: byte 1024 + r for record r, region 1024..2047 for the file lock
// (isLock).  A handle lists its record locks in `heldLocks` (0 = free entry;
// searched from the last entry; grows by max(256, count) zero entries and
// never shrinks).  Handles of one file in one process share the lock-file
// descriptor, so their application locks are also checked against each other
// in memory (groupLockConflict).
//
// Rules:
//   - The file lock covers the lock bytes of records 1..1023 only; a handle
//     holding it counts those records as its own (no system lock is taken
//     for them, and it never waits on its own region).
//   - A handle with mode 0x100 has no lock file: every request succeeds.
//   - An exclusive opener never releases record locks one by one.
#pragma once

#include <cstdint>

struct IsFile;

namespace wisam {

constexpr int32_t kHeldLocksGrowth = 256;
// Records inside the file-lock region: 1..1023.
constexpr int32_t kRecordsCoveredByFileLock = 1023;

// 1 when `record` is locked by this handle afterwards, 0 when another holds
// it (or the wait was given up).
int lockRecord(IsFile *f, int32_t record, bool wait);
void unlockRecord(IsFile *f, int32_t record);
void unlockAllRecords(IsFile *f);

// 1 when the file lock is held afterwards.
int lockFile(IsFile *f);
// Releases the file lock, or else all record locks.
void unlockAll(IsFile *f);

bool holdsRecordLock(const IsFile *f, int32_t record);

// 1 when another handle of this file in this process holds the file lock or
// (record 0: any record lock; else) `record`.  A waiting check polls; it is
// bounded so that a single-threaded host cannot hang on its own handles: it
// gives up after kGroupWaitSeconds or when lockingDeadLock says so.
int groupLockConflict(IsFile *f, int32_t record, bool wait);
constexpr int kGroupWaitSeconds = 2;

// Index of a free `heldLocks` entry, growing the table when none is free;
// raises 134 when no entry can be had.
int32_t freeHeldLockEntry(IsFile *f);
// Index of `record` in `heldLocks`, or -1.
int32_t findHeldLock(const IsFile *f, int32_t record);

}  // namespace wisam
