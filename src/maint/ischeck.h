// layer: maint
// ischeck.h - checking the data file and the indexes against each other,
// and rebuilding the data free list and an index from the records.
//
// The checks answer a bit set of findings; isCheckMsg (maint/api.cpp) holds
// the text of each bit:
//
//   bit  value   finding                              found by
//   0    0x1     data file read error                 checkData failed
//   1    0x2     data record corrupt                  checkData
//   2    0x4     data free list is corrupt            checkData
//   3    0x8     index file read error                checkIndex failed
//   4    0x10    key out of order                     checkIndex
//   5    0x20    index count mismatch                 checkIndex
//   6    0x40    bad index node magic number          checkIndex, and the
//                                                       variable-length check
//   7    0x80    index/data mismatch                  checkIndex
//   11.. 0x800.. variable-length findings             varlen/isvarlen.h
//
// A check changes nothing, in the file or in the handle.  Its work is
// bounded by the dictionary's highest record number, never by the data
// file's size (maint/isextent.h): records 1..highest are read where their
// slots exist, a slot the file does not hold counts as no record in use,
// and whole slots past the highest number (a writer killed after its slot,
// a file extended by hand) are found from the size alone: the data check
// reports them (bit 2) without reading them, and an index check reads the
// first few of them (what a killed writer leaves), counting them as the
// rebuilt file will.  The handle's highest number is put back before the
// call ends.
//
// The rebuilds trust nothing a killed writer may have left half-written:
// the free lists are made anew from what owns the blocks and slots
// (maint/isblocks.h), and an index from the records alone.
#pragma once

#include <cstdint>

struct IsFile;

namespace wisam {

constexpr uint32_t kCheckDataFailed = 0x1;
constexpr uint32_t kCheckRecordCorrupt = 0x2;
constexpr uint32_t kCheckDataFreeList = 0x4;
constexpr uint32_t kCheckIndexFailed = 0x8;
constexpr uint32_t kCheckKeyOrder = 0x10;
constexpr uint32_t kCheckIndexCount = 0x20;
constexpr uint32_t kCheckNodeMagic = 0x40;
constexpr uint32_t kCheckIndexData = 0x80;

// The only kind of free list isRebuildFree rebuilds: data record numbers.
constexpr int kRebuildKindData = 2;

// isCheckData inside its frame (reading, shared lock): the findings go to
// `found`.  Every slot of records 1..highest that the data file holds is
// read; a marker other than in use or deleted is bit 1; the data free list
// is bit 2 when its chain is damaged, when it holds a number outside
// 1..highest, twice, or of a record in use, when its count differs from the
// numbers not in use (a number whose slot the file does not hold is not in
// use), and whenever the data file holds a whole slot past the highest
// number.  102 for a file without records.
int checkData(IsFile *f, uint32_t &found);

// isCheckIndex inside its frame, for index `index` counted from 1 (102
// outside 1..keyCount): walks the index in key order.  Bit 4 for a key
// below the one before it (or equal, in an index without duplicates); bit
// 7 for an entry whose record the data file does not hold, or that is
// deleted, excluded from the index, already met, or holds another key; bit
// 5 when the entries are not as many as the records that belong in the
// index, or (without masks, null suppression or precious) the data free
// list's count does not fit them and the highest number; bit 6 when the index free list has a chain node that is no
// free-list node, or lists a block of this index's tree.  A damaged tree
// fails the call (bit 3 by the caller).
int checkIndex(IsFile *f, int index, uint32_t &found);

// isRebuildFree inside its frame (changing, exclusive lock).  A precious
// file has no data free list: 1 at once.  102 without records or for a kind
// other than 2.  The highest record number becomes the data file's slot
// count, the deleted slots the data free list, and (fixed-length files)
// every index block that nothing owns the index free list.
int rebuildFree(IsFile *f, int kind);

// isRebuildIdx inside its frame, for index `index` counted from 1 (102
// outside 1..keyCount or without records): the index's tree is released,
// its root emptied in place and the index built again from every record in
// use.  With a fixed-length file the index free list is made anew from the
// blocks the other structures own, so that what a damaged tree held is
// given back whatever its state.
int rebuildIndex(IsFile *f, int index);

}  // namespace wisam
