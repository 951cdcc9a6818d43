// layer: frame/undo
// isundo.h - taking back a failed changing call.
//
// A changing call (access 80) makes its changes in the handle's cached
// nodes, free-list blocks and dictionary fields and writes them at its end;
// a few calls write on the way (adding an index, a block cache evicting).
// When it fails, the call must drop exactly its own changes: those of the
// calls before it stay, whether they reached the files or are held back in
// the caches and the dictionary fields by a kept exclusive lock.  The undo
// of the call under way provides that:
//
//   beginChange   the call begins (after the file-state lock and refresh):
//                 the handle's dictionary state is saved and the undo armed.
//   captureBeforeWrite
//                 every write of index or data contents made by the call
//                 (cacheWrite, and the dictionary write) first keeps the
//                 bytes it replaces: the first image of each range counts.
//                 A block beyond the highest number at the call's start
//                 holds nothing anyone reads, so it keeps no image.
//   endChange     the call succeeded: the images are forgotten.
//   undoChange    the call failed: the images are written back, newest
//                 first, through the same caches (so a held-back block is
//                 held back again); blocks beyond the old highest numbers
//                 are dropped from the caches and cut off the files; the
//                 dictionary state is put back.
//
// When writing the images back fails too, the undo stays pending: the files
// may then hold part of the failed call, so every later call on the handle
// (and its close) first writes them again, and fails while it cannot.
//
// The images cost one copy per block written (from the cache, or one read
// of the block when it is not cached); a call that fails before writing
// anything, the everyday case of a duplicate key or a missing record, has
// nothing to write back.
#pragma once

#include <cstddef>
#include <cstdint>

struct IsFile;

namespace wisam {

struct CallUndo;

void beginChange(IsFile *f);
void endChange(IsFile *f);

// Returns true when blocks were written back, so that every node the
// handle holds must be read again.
bool undoChange(IsFile *f);

// Called before each write of `length` bytes at `offset` of the index or
// data file while a changing call is under way.
// seam: undo-capture (src/LAYERS.md) - called from below the call frame, by
// the block cache (system/iscache.cpp) and the dictionary write
// (structure/isdict.cpp).
void captureBeforeWrite(IsFile *f, int kind, int64_t offset, int32_t length);

// Writes the images of an earlier failed call that could not be written
// then; raises when it fails again.
void finishPendingUndo(IsFile *f);
bool undoPending(const IsFile *f);

CallUndo *freeUndo(CallUndo *undo);

}  // namespace wisam
