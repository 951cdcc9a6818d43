// layer: lock
// islock.h - file-state locks and open locks of a handle.
//
// Lock states of a handle (`lockState` bits, frame/isfile.h):
//
//   open:   none --openLockShared--> 0x01 presence byte at userSlot
//           none --openLockExclusive--> 0x02 region 0..511
//           0x02 --openLockDowngrade--> 0x01;  any --openLockRelease--> none
//   state:  none --lockShared--> 0x04 byte 512+userSlot
//           none/0x04 --lockExclusive--> 0x08 region 512..1023
//           0x04/0x08 --unlockState--> none, unless kept across calls
//
// Invariants:
//   - A handle with mode 0x100 never touches the lock file.
//   - An exclusive opener (0x02) takes no file-state locks: it excludes
//     everyone for as long as it is open.
//   - A call never waits for a record lock while it holds a file-state lock.
#pragma once

#include <cstdint>

struct IsFile;

namespace wisam {

void lockShared(IsFile *f);

// Tells tableLockCallback (when set and the handle's tag is not 0) that a
// file-state lock is about to be requested.
void tableLockNotice(IsFile *f);

// Waits for the shared state byte of `slot`, or the exclusive state region,
// and marks it held.  A wait given up through lockingDeadLock is reported as
// "fatal isam error islock(givenUpLine)" and the call goes on unlocked.
bool waitForStateLock(IsFile *f, bool exclusive, int32_t slot, int givenUpLine);
// The work deferred while an exclusive lock was kept across calls, in the
// order that makes the file complete on disk before anyone else can lock
// it: dirty cached blocks, then the dictionary (which counts the change for
// other processes), then, with isForceCommit, a flush of the data file and
// then the index file.
void performDeferredWork(IsFile *f);
void lockExclusive(IsFile *f);
void unlockState(IsFile *f);

// For the recovery of a journal: takes the exclusive file-state lock
// whatever the handle holds (none, or its shared byte), returning what it
// held; stateLockRestore gives back exactly that.
uint8_t stateLockRaise(IsFile *f);
void stateLockRestore(IsFile *f, uint8_t held);

void openLockShared(IsFile *f);
void openLockExclusive(IsFile *f);
void openLockDowngrade(IsFile *f);
// At the close of a process's last handle on the file: gives up the
// group's presence bytes and takes the whole open region without waiting, which
// succeeds only when no handle of any process has the file open (an opener
// meeting it tries again for a moment).  True when taken (or already held
// by an exclusive opener); openLockRelease gives it back.
bool openLockAlone(IsFile *f);
void openLockRelease(IsFile *f);

}  // namespace wisam
