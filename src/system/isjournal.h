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
//   1. the journal file N.wjn gets the images the changed pages had on disk
//      when the change began, and the list of changed pages with a hash of
//      their new contents (mode 2: then synced);
//   2. the pages are written in place, the dictionary's page first, so that
//      any half-written state has a moved change counter;
//   3. the files are cut or extended to their new sizes (mode 2: then both
//      synced);
//   4. the journal's header is cleared.
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
// journal whose last segment is final and whose pages already hold their
// new contents is a change that completed, kept as it is.  A change whose
// in-place writes fail is rolled back from the journal at once.
//
// Journal file (big-endian):
//   header, 64 bytes: "wisamjnl", version 1 (4), salt (4), page size 4096
//     (4), mode (4), index file size and data file size at the change's
//     start (8 + 8), the dictionary's change counter at the start (4; a
//     journal is applied only to a file whose counter lies at most one per
//     segment past it), reserved (12), hash of bytes 0..55 (8);
//   segments from byte 64, each: "wseg", sequence (4), record count (4),
//     flags (4; 1 = final), length of the segment (8), then per record
//     kind (4), image length (4), page offset (8) and the image padded to 8
//     bytes; a final segment then holds the new index and data file sizes
//     (8 + 8), the number of changed pages (4), 4 zero bytes, per changed
//     page kind (4), 4 zero bytes and page offset (8), and the hash of the
//     changed pages' new contents (8); every segment ends with the hash of
//     its other bytes (8).
#pragma once

#include <cstdint>

struct IsFile;

namespace wisam {

struct Journal;

constexpr int32_t kJournalPage = 4096;
constexpr int32_t kJournalHeaderSize = 64;

// Whether reads and writes of `kind` of the handle go through its overlay.
bool journalOverlays(const IsFile *f, int kind);

// The overlay's side of the file layer's read, write, size and truncation
// (same contracts as sysRead, sysWrite, sysFileSize, sysTruncate).
int journalRead(IsFile *f, int kind, void *buffer, int32_t length, int64_t offset, int32_t *count);
void journalWrite(IsFile *f, int kind, const void *buffer, int32_t length, int64_t offset);
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
// and its header checks.  Opens the journal file when it exists.
bool journalLooksHot(IsFile *f);

// Applies the journal beside the file, under the exclusive file-state
// lock: puts back the images of an interrupted change, or keeps a change
// that completed; clears the journal either way.  Returns true when the
// files were changed.  Raises when the journal cannot be read or applied.
bool journalRecover(IsFile *f);

Journal *freeJournal(Journal *journal);

}  // namespace wisam
