// layer: system/store
// isjournal.h - the rollback journal: a change reaches the files whole or
// not at all.
//
// With `isJournalMode` 1 or 2, a changing call (or a lock kept across calls,
// from its first changing call to its end) is one change.  Its writes of the
// index and data files do not reach them while it runs: they are held in
// 4096-byte pages of the handle's journal (the overlay), and every read,
// size and truncation of those files through the file layer sees them.  At
// the change's end (`journalCommit`):
//
//   1. the journal file N.wjn gets, in one write with its header, the bytes
//      the change replaces as they were when it began (of each held page,
//      the range from the first to the last byte the change altered, and
//      what a cut takes away), and the list of the ranges it writes with a
//      hash of their new contents (mode 2: then synced);
//   2. those ranges are written in place, the dictionary's first, so that
//      any half-written state of a change that moves the change counter
//      has a moved counter;
//   3. the files are cut or extended to their new sizes (mode 2: then both
//      synced);
//   4. mode 1, a change in one segment that moved the counter: nothing
//      more.  The journal stays as it is, to be replaced by the next
//      change's; every other process looks at it (the counter moved) and
//      sees from the files that its change completed.  Any other change
//      (mode 2, one that spilled, one that left the counter) clears the
//      journal's header.
//
// A change larger than the overlay's limit spills on the way: steps 1 to 3
// for what it holds so far (and the change counter on disk moved), the
// rest held again; the journal grows by one segment per spill.  The limit is
// half of isFileCacheMaxMemUsage (64 MiB by default), at least 64 KiB.
//
// Nothing is written in place before the journal holds the images, so a
// process killed (mode 1) or a machine losing power (mode 2) at any moment
// leaves a journal from which the next process that takes the file-state
// lock puts the files back as they were (`journalRecover`): a journal is
// applied only when its header and every segment it applies check, and a
// journal whose last segment is final and whose ranges already hold their
// new contents is a change that completed, kept as it is.  A change whose
// in-place writes fail is rolled back from the journal at once.  A journal
// with nothing left to do is cleared by a change that is written in place
// (mode 0) before its first write, since after that change it could no
// longer be judged; the last close of any process removes the file.
//
// A journal is applied only to the very files it was written for, and only
// when whoever wrote it may change them.  Anything else that checks (a
// journal copied from another file, a forged or planted one, one left by
// a library that wrote another version) is refused: it is renamed to
// N.wjn.bad-PID-N (a name nothing has; never deleted), the call (an open)
// fails with 105 and I/O code 72, and nothing of the index or data file is
// written; the next open finds no journal.  The journal fits when:
//   - it is a regular file owned by the index file's owner or by the
//     superuser, or of the index file's group when that group may write the
//     index file, and not writable by group or others unless the index
//     file is too;
//   - the device and inode of the index and data files are the ones in its
//     header, and the data file is there exactly when the header says so;
//   - the dictionary's change counter is the one at the start or the one
//     after one of its segments, and the index file holds the counter;
//   - each file's size lies between the least and the most of the sizes
//     the journal gives it (at the start and after each segment);
//   - every image lies within the file's size at the start, and the images
//     of a file shorter than at the start cover its end up to that size:
//     applying never makes a file longer than the larger of its size and
//     what the images hold.
// A journal that cannot be opened (other than by its absence) fails the
// call with the system's error and I/O code 24 and the files are not read;
// a symbolic link in its place is set aside and fails the call with ELOOP.
// A header that does not check is not a journal to apply (torn before
// anything was written in place), nor is a fitting header with no segment
// that checks.
//
// Journal file, version 3 (big-endian; offsets in bytes):
//   header, 128 bytes:
//       0  "wisamjnl" (8)
//       8  version, 3 (4)
//      12  salt (4)
//      16  page size, 4096 (4): no range crosses a multiple of it
//      20  mode, 1 or 2 (4)
//      24  index file size at the change's start (8)
//      32  data file size at the change's start (8; 0 without a data file)
//      40  the dictionary's change counter at the start (4)
//      44  flags (4): 1 = the ISAM file has a data file; others zero
//      48  device of the index file (8)
//      56  inode of the index file (8)
//      64  device of the data file (8; 0 without one)
//      72  inode of the data file (8; 0 without one)
//      80  reserved, zero (40)
//     120  hash of bytes 0..119 (8)
//   segments from byte 128, each:
//       0  "wseg" (4)
//       4  sequence, from 0 (4)
//       8  record count (4)
//      12  flags (4): 1 = final
//      16  length of the segment, this head and the hash included (8)
//      24  index file size after the segment's in-place writes (8)
//      32  data file size after them (8)
//      40  the dictionary's change counter after them (4)
//      44  zero (4)
//      48  records, each: kind (4; 1 index, 2 data), image length (4),
//          offset (8), the image padded with zeros to 8 bytes;
//      a final segment then: the number of ranges written in place (4),
//          4 zero bytes, per range kind (4), length (4) and offset (8), and
//          the hash of the ranges' new contents (8);
//      and last the hash of the segment's other bytes (8).
// A cleared journal has 128 zero bytes at its start.  Versions 1 and 2
// (whole-page images) are never applied: found hot, they are set aside as
// above.
#pragma once

#include <cstdint>

struct IsFile;

namespace wisam {

struct Journal;

constexpr int32_t kJournalPage = 4096;
constexpr int32_t kJournalHeaderSize = 128;

// seam: journal-overlay (src/LAYERS.md) - the file layer below
// (system/issystem.cpp) calls these five to route a journaled change's file
// contents through the overlay.
//
// Whether reads and writes of `kind` of the handle go through its overlay.
bool journalOverlays(const IsFile *f, int kind);

// The overlay's side of the file layer's read, write, size and truncation
// (same contracts as sysRead, sysWrite, sysFileSize, sysTruncate).  A
// write's `was` (may be null) holds what its bytes held before it: the
// bytes a page held when the change took it are then taken from there
// instead of the file.
int journalRead(IsFile *f, int kind, void *buffer, int32_t length, int64_t offset, int32_t *count);
void journalWrite(IsFile *f, int kind, const void *buffer, int32_t length, int64_t offset, const void *was);
int64_t journalFileSize(IsFile *f, int kind);
void journalTruncate(IsFile *f, int kind, int64_t length);

// Starts a change when isJournalMode asks for one and none is under way.
void journalBegin(IsFile *f);
// Whether a change is under way on the handle.
bool journalInChange(const IsFile *f);

// Ends the change under way (steps above).  On failure the files are put
// back from the journal and the error is raised; when that fails too the
// journal stays behind (journalPending) for the next call to apply.
void journalCommit(IsFile *f);

// A journal this handle left behind after a failed rollback.
bool journalPending(const IsFile *f);

// Whether the change under way was abandoned (a failed commit or spill)
// since the last ask: its writes are taken back, so the handle's cached
// state must be read again.  Clears the mark.
bool journalTakeRollback(IsFile *f);

// The change under way outlives the call: a kept lock holds it open.
void journalSpansCalls(IsFile *f);

// isForceCommit at the end of a kept lock: the commit flushes the files.
void journalRequestSync(IsFile *f);

// Whether a journal that may need applying lies beside the file: it exists
// and its header checks (or is one this library refuses).  Opens the
// journal file when it exists; raises when it exists but cannot be opened
// or read (a symbolic link in its place is set aside first).
bool journalLooksHot(IsFile *f);

// Applies the journal beside the file, under the exclusive file-state
// lock: puts back the images of an interrupted change, or keeps a change
// that completed; clears the journal either way.  Returns true when the
// files were changed.  Raises when the journal cannot be read or applied,
// and sets aside (raising 105) a journal that does not fit the files.
bool journalRecover(IsFile *f);

// An open without locking (ISNOLOCK) can neither apply a journal nor keep
// others from applying one: a journal that holds an unfinished change (or
// cannot be read) means the files may be half changed, so the open fails
// with 113 (I/O code 72).  Reading the files as they are would be reading
// a change half made.
void journalRefuseUnlocked(IsFile *f);

// A file just built: a journal beside it belongs to files that are gone
// (removed by hand while it lay there).  It is set aside as N.wjn.bad-PID-N,
// kept, and the build goes on.
void journalSetAsideLeftover(IsFile *f) noexcept;

// At the close of the last handle of any process on the file (the caller
// holds the whole open region): a journal with nothing left to apply is
// removed, so that a file closed cleanly has no N.wjn beside it.  One that
// holds an interrupted change, one this handle could not apply, and one
// written by another library stay for the next open.  Never raises: the
// close goes on either way.
void journalRemoveAtLastClose(IsFile *f) noexcept;

Journal *freeJournal(Journal *journal);

}  // namespace wisam
