// layer: records/slot
// isslot.h - record slots of the data file.
//
// The data file has no header: record n (from 1) is the slot at
// (n - 1) x slotSize.  Records 1..highest (the dictionary's highest data
// record number) exist as slots; a number above it does not exist.
//
// Slot layout:
//
//   offset              width         contents
//   0                   recordLength  the record's fixed part, as passed
//   recordLength        1             marker: 0x0A in use, 0x00 deleted
//                                     (any non-zero value counts as in use)
//   recordLength + 1    6             variable-length files: reference to
//                                     the variable part
//   slotSize - 4        4             mode 0x80 only: index-exclusion mask,
//                                     big-endian; bit i = no key in index i
//
// slotSize = recordLength + 1 (+ 6 variable length) (+ 4 with mode 0x80).
// `recordBuffer` holds the whole slot last read or written; `recordMask` the
// mask of the record last read, stored with every slot written.
#pragma once

#include <cstdint>

struct IsFile;

namespace wisam {

constexpr uint8_t kSlotMarkerInUse = 0x0A;
constexpr uint8_t kSlotMarkerDeleted = 0x00;
constexpr int32_t kVarReferenceSize = 6;
constexpr int32_t kRecordMaskSize = 4;

// Whether record `record` exists: 1..the highest record number.
bool recordExists(const IsFile *f, int64_t record);

// slotSize for a record length and mode word.
int32_t slotSizeFor(int32_t recordLength, uint32_t mode);

// Reads slot `record` into recordBuffer (and its fixed part into
// `destination` when given).  112 with detail '3' when there is no such
// record; 105 naming the record when the data file ends before the slot
// does.  The marker is not tested.
void readSlot(IsFile *f, void *destination, int32_t record);

// A hint that slot `record` will be read soon (see cachePrefetch); nothing
// for a record number outside the file.
void prefetchSlot(const IsFile *f, uint32_t record, bool andData);

// Writes slot `record`: the fixed part from `source` (when given), the
// in-use marker, and with mode 0x80 the current recordMask.
void writeSlot(IsFile *f, const void *source, int32_t record);

// The marker of slot `record`: whether it is 0x00, and setting it so.  With
// a data cache they go through the cache as whole-slot accesses (markDeleted
// then leaves the slot with the new marker in recordBuffer); without one
// only the marker byte is read or written.
bool slotDeleted(IsFile *f, int32_t record);
void markDeleted(IsFile *f, int32_t record);

// The mask stored in recordBuffer (mode 0x80), or 0.
uint32_t recordMaskOf(const IsFile *f);

}  // namespace wisam
