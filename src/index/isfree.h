// layer: index/tree
// isfree.h - the free lists of index blocks and data records.
//
// Both lists are stacks of numbers released earlier, kept as a chain of
// index-file nodes; only the head node is held in memory (FreeList::buffer).
// A number is taken from the list when it has one, else by growing the file
// by one unit (highest + 1).  Chain nodes of the data list are index nodes
// too, taken from and returned to the index list.
//
// Free-list node (S = nodeSize, integers big-endian):
//
//   offset   width  contents
//   0        2      used length U (6 when the node holds no numbers)
//   2        4      next node of the chain, 0 at the end
//   6..U-1   4 each the free numbers, in the order they were released
//   S-3      1      0xFF
//   S-2      1      0x7F (block kind: free list)
//
// A node is full when U + 4 > S - 4.  A precious file keeps no data list:
// record numbers are never reused.
//
// Every chain node read is checked (kind bytes, used length, next node,
// the numbers it hands out); a damaged one raises 105 naming its block
// (frame/iscorrupt.h).
//
// Head-node states: 0 not loaded -> load -> 1 clean -> take/put -> 2 dirty
// -> freeListFlush -> 1.  Discarding (another process changed the file, or
// a changing call failed) sets 0 so that the head is read again.
#pragma once

#include <cstdint>

struct IsFile;

namespace wisam {

constexpr int kFreeListIndex = 1;  // index-node numbers
constexpr int kFreeListData = 2;   // data record numbers

constexpr uint8_t kFreeNodeMarker = 0xFF;  // byte S-3
constexpr uint8_t kFreeNodeKind = 0x7F;    // byte S-2
constexpr int32_t kFreeNodeMarkerFromEnd = 3;
constexpr int32_t kFreeNodeKindFromEnd = 2;
constexpr int32_t kFreeNodeHeader = 6;

uint32_t freeListTake(IsFile *f, int kind);
void freeListPut(IsFile *f, int kind, uint32_t number);

// Count of the numbers on a list; `visitor` (may be null) sees each chain
// node.  The head node must not be dirty.
using FreeNodeVisitor = void (*)(IsFile *f, const uint8_t *node, void *context);
int32_t freeListCount(IsFile *f, int kind, FreeNodeVisitor visitor = nullptr,
                      void *context = nullptr);

// Writes every dirty head node.  Before every dictionary write of a call
// that took or put numbers.
void freeListFlush(IsFile *f);

// Moves every data chain node to the index list and sets the data highest
// number from the size of the data file.  Kind 1 is refused with 102.
void dropDataFreeList(IsFile *f, int kind);

}  // namespace wisam
