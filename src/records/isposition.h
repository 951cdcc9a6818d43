// layer: records
// isposition.h - the current record and the positioning routines.
//
// Position state:
//   - record-number order (currentIndex == keyCount): `position`, `recnum`;
//   - index order: each TreePath's saved current entry (currentKey,
//     currentRecord, currentSerial) and its compare length; the saved entry
//     is the authority between calls, the path is brought back to it by
//     treeCheckCurrent;
//   - state bits nextReadsCurrent, prevReadsCurrent, startedAtEnd.
//
// The routines answer success or failure and raise nothing of their own
// except 102 for a key search without a record buffer.
#pragma once

#include <cstdint>

struct IsFile;

namespace wisam {

struct TreePath;

// Positions in the current order by read mode 0..7 (`record` holds the
// search key for modes 5..7).  On success `recnum` is the record reached.
bool positionRecord(IsFile *f, const void *record, int mode);

// Makes record `n` the current one in the current order.
bool positionOnRecord(IsFile *f, int32_t n);

// The current record number: the current index's saved record, or
// `position` in record-number order.
int32_t currentRecordNumber(const IsFile *f);

// The TreePath of the current index, or null in record-number order.
TreePath *currentPath(const IsFile *f);

// Saves the entry the path stands on as the index's current entry and makes
// its record current.
void rememberEntry(IsFile *f, TreePath *path);

}  // namespace wisam
