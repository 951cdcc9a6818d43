// layer: txn/log
// iswriters.h - what the changing operations write to the log, and the
// file numbers that name handles in it.
//
// A handle is logged when a log is open (or recovery has opened files) and
// its mode has one of the bits 1, 2, 4 and not 8.  Records of files with
// mode bit 4 ("FO", "FC", "DE", "IN", "UP") are chained to the caller's
// transaction, and the records such files insert or update stay locked
// until the transaction ends.
//
// A logged operation is acknowledged only once its record is in the log:
// the writers called inside a handle's call raise 121 when the append fails
// (the frame then drops the call's changes), and every record is appended
// at the end of the operation's work, under its file-state lock, so the log
// holds the operations of one file in the order they were done and never an
// operation that failed.  checkLogRoom refuses, before anything changes, an
// operation whose record would not fit the log's buffer.
#pragma once

#include <cstdint>

#include "wisam.h"

struct IsFile;

namespace wisam {

// Whether operations on `f` (null: operations without a handle, erase and
// rename) are logged.
bool loggingWanted(const IsFile *f);

// Whether records are written for `f` now: logging is wanted and the log is
// open.  While recovery runs (the log hidden) the writers of the files it
// opened run without writing: only the transaction's record locks are taken.
bool logRecords(const IsFile *f);

// Whether a handle opened with `mode` is logged while logging is wanted.
bool modeLogged(uint32_t mode);

// The file number of a handle: its entry in the handle table, -1 when not
// registered.
int32_t fileNumberOf(const IsFile *f);

// The entry whose handle was logged as (`number`, `process`) by a file
// opened during recovery, or -1; remembered for isAdmTxnLast.
int32_t originLookup(int32_t number, int32_t process);
int32_t lastMappedSlot();

// Raises 121 when the record of a change of `recordBytes` image bytes (the
// sum of the images it carries) would not fit the log buffer.
void checkLogRoom(IsFile *f, int64_t recordBytes);

// Writers run inside a call on `f`: on failure they raise 121.
void logOpened(IsFile *f);                      // "FO"
void logClosed(IsFile *f);                      // "FC"
void logBuilt(IsFile *f, const KeyDesc &key);   // "BU"
void logIndexAdded(IsFile *f, const KeyDesc &key);    // "CI"
void logIndexDropped(IsFile *f, const KeyDesc &key);  // "DI"
void logUniqueSet(IsFile *f, int32_t value);    // "SU"
void logUniqueTaken(IsFile *f, int32_t first);  // "UN"
void logInserted(IsFile *f, int32_t recnum, const void *image, int32_t length);  // "IN"
void logDeleted(IsFile *f, int32_t recnum, const void *image, int32_t length);   // "DE"
void logUpdated(IsFile *f, int32_t recnum, const void *before, int32_t beforeLength,
                const void *after, int32_t afterLength);                        // "UP"

// Writers without a handle: 1, or 0 with errno 121.
int logErased(const char16_t *name);                            // "ER"
int logRenamed(const char16_t *oldName, const char16_t *newName);  // "RE"

// Takes the record lock a transaction holds on a record it inserted or
// updated (files with mode bit 4): true when this call took it, so that a
// failed append gives it back.
bool lockForTransaction(IsFile *f, int32_t recnum);

}  // namespace wisam
