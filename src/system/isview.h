// layer: system/os
// isview.h - read-only views of a handle's index and data files.
//
// A read of file bytes that lie inside the handle's view of the file is a
// copy out of a shared read-only mapping instead of a `pread`: the same
// bytes (the mapping and `pwrite` share the page cache), no system call.
//
// A view must never reach past the end of its file, or a read through it
// faults.  Files only get shorter when a change is taken back (a failed
// call, a journal rolled back), and that only cuts off what the change
// itself added.  So a view covers only bytes no change can take back:
//   - it is sized only at the start of a call, after the lock is taken and
//     the dictionary refreshed (a change left half-done by a dead process
//     rolled back), before this call changes anything, and never inside a
//     kept exclusive lock (a failed end of such a batch cuts its work off);
//   - its length is at most the file's size then and at most what the
//     dictionary says is in use (highest block or record times its size);
//   - handles opened with ISNOLOCK (no locks, so no such start) use none.
// A read past the view goes to the file and asks for the view to grow at
// the next call's start.  Profiling reports a read served by the view like
// any other read.
#pragma once

#include <cstdint>

struct IsFile;

namespace wisam {

// Copies `length` bytes at `offset` of `kind` (index or data) out of the
// handle's view.  False, with nothing copied, when the view does not hold
// them all.
bool viewRead(IsFile *f, int kind, void *buffer, int32_t length, int64_t offset);

// The `length` bytes at `offset` of `kind` in the handle's view, read in
// place; null when the view does not hold them all.  Valid until the view
// is resized or dropped, and they change with every write of those bytes.
const uint8_t *viewBytes(IsFile *f, int kind, int64_t offset, int32_t length);

// Whether the handle's view of `kind` holds all `length` bytes at `offset`.
bool viewHolds(const IsFile *f, int kind, int64_t offset, int32_t length);

// At a call's start: grows the views a read found too short, within the
// rules above.  A mapping that fails leaves the view as it was.
void viewResize(IsFile *f);

// Drops the handle's views (close, a descriptor replaced, a truncation).
void viewDrop(IsFile *f);

}  // namespace wisam
