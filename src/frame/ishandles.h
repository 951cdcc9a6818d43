// layer: frame/call
// ishandles.h - the process-wide table of open handles and file groups.
//
// An entry is {handle, file-group token}.  The table starts empty, a new
// handle takes the first free entry from the start, and a full table grows by
// 10 zero-filled entries; it never shrinks while handles exist.  All handles
// opened in this process on the same name (UTF-16, case-sensitive) share one
// token and one set of descriptors; searches by name run from the last entry
// back.  Not guarded by any lock: opening and closing must not overlap other
// calls.
#pragma once

#include <cstdint>

struct IsFile;

namespace wisam {

constexpr int32_t kHandleTableGrowth = 10;

struct HandleEntry {
    IsFile *file;
    void *token;  // identifies one file on disk; shared by its handles
};

// Puts `f` (whose `name` and `mode` are set) in the table and attaches it to
// its file group: shares the descriptors of a handle of the same name, or
// opens the index, data and lock files and takes the open lock.  Raises 113
// when an exclusive opener and a locking opener meet.
void registerFile(IsFile *f);

// Takes `f` out of the table; the last handle of a group releases the open
// locks and closes the files.
void unregisterFile(IsFile *f);

bool isKnownHandle(const IsFile *f);

// Whether a call may use `f`: a null handle sets errno 101 and one the
// table does not know (closed, never opened) 105, which is not written into.
bool usableHandle(const IsFile *f);

// The handle in entry `number` of the table, or null (outside the table, or
// an empty entry).
IsFile *handleAt(int32_t number);

// Frees everything the handle owns and the handle itself, after taking it
// out of the table.  A lock kept across calls ends first with its deferred
// work, and the undo of a failed call still pending is written; when either
// fails the handle is closed all the same and the result is false (the
// failure is in errno).  isClose does that work itself first and keeps the
// handle open when it fails.
bool closeHandle(IsFile *f);

// A layer above that keeps handle pointers (the transactions' deferred
// closes) is told of every handle closeHandle is about to free.
// seam: handle-close (src/LAYERS.md) - a callback: txn/istable.cpp sets the
// watcher, so this layer includes nothing of txn.
using HandleCloseWatcher = void (*)(IsFile *f);
void watchHandleClose(HandleCloseWatcher watcher);

// Closes every registered handle, last entry first, and frees the table.
// 0 when the held-back work of a handle could not be written.
int cleanUpHandles();

// Read access to the table for the in-process lock checks.
// seam: handle-table (src/LAYERS.md) - read from below the call frame by the
// record and file locks (lock/isrecord.cpp).
int32_t handleTableCapacity();
const HandleEntry &handleEntry(int32_t index);
void *groupToken(const IsFile *f);

// Whether another handle of this process shares the file group of `f`.
bool groupShared(const IsFile *f);

}  // namespace wisam
