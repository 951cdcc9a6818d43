// layer: index/tree
// isnode.h - B-tree nodes of the index file and their in-memory copies.
//
// Every block of the index file but block 1 (the dictionary) is a tree node,
// a free-list node (index/isfree.h), a key-description block
// (structure/iskeydesc.h) or variable-length storage.  A tree node
// (S = nodeSize, integers big-endian):
//
//   offset     width  contents
//   0          2      used length U, counting these two bytes (2 = empty)
//   2..U-1     ...    entries in ascending key order, packed without gaps
//   U..S-4     ...    unused; left zero by every change made here
//   S-3        1      0 (a free-list node has 0xFF, a key-description 0xFF)
//   S-2        1      level: 0 for a leaf, parents of leaves 1, ... the root
//   S-1        1      0
//
// An entry is added only while U + entry length < S - 4, so U < S - 4 holds
// for every node read; anything else is a damaged node (105).
//
// Entry, plain form (no compression flag), K = key length, W = duplicate
// serial width (the file's dupWidth for an index with duplicates, else 0):
//
//   offset  width  contents
//   0       K      key image
//   K       W      duplicate serial, unsigned
//   K+W     4      pointer: record number in a leaf, child node above;
//                  bit 31 is the repeat flag of compressed nodes, never set
//                  here and masked off by every reader
//
// The compressed form (flags 0x02, 0x04, 0x08) is laid out in iscomp.h.
//
// PathNode states:
//
//   unread --nodeLoad--> clean --entry added/removed, new node--> dirty
//   dirty --nodeStore (written)--> clean
//   clean/dirty --invalidation (index/ispath)--> unread
//
// Invariants:
//   - A node is read at most once until it is invalidated: loading a clean
//     or dirty node does nothing.
//   - Any change resets the cursor (position 0, "nowhere").
//   - A node with a split-off sibling attached is neither stored nor freed;
//     a dirty node is never freed, except when it is discarded on purpose
//     (released empty nodes, the changes of a failed call).
#pragma once

#include <cstdint>

struct IsFile;

namespace wisam {

struct TreePath;

constexpr int32_t kNodeFirstEntry = 2;        // entries start after U
constexpr int32_t kNodeEmptyUsed = 2;         // U of an empty node
constexpr int32_t kNodeTailReserve = 4;       // entries end before S - 4
constexpr int32_t kNodeMarkFromEnd = 3;       // byte S-3: 0 in a tree node
constexpr int32_t kNodeLevelFromEnd = 2;      // byte S-2: the level
constexpr int32_t kNodeZeroFromEnd = 1;       // byte S-1: 0
constexpr int32_t kPointerBytes = 4;
constexpr uint32_t kRepeatFlag = 0x80000000u;  // next entry repeats this key
constexpr uint8_t kRepeatFlagByte = 0x80;      // the flag in the pointer's first byte
constexpr uint32_t kPointerMask = 0x7FFFFFFFu;
constexpr int32_t kMaxDupWidth = 8;           // widest serial handled
constexpr int32_t kMinNodeSize = 32;          // smaller blocks are damage
constexpr int32_t kMaxNodeSize = 65536;       // S - 1 is stored in 2 bytes

// Source lines of the consistency reports of this module.
constexpr int kLineFreeSibling = 67;  // "isnode": freed with a sibling / missing
constexpr int kLineFreeDirty = 69;    // "isnode": freed while dirty
constexpr int kLineStoreSibling = 41;  // "isidxio": stored with a sibling / missing

enum NodeState : uint8_t {
    kNodeUnread = 0,
    kNodeClean = 1,
    kNodeDirty = 2,
};

// One node held by a TreePath, with a cursor on one of its entries.  The
// header, the key buffer (compressed indexes) and the S data bytes are one
// allocation owned by the node.
struct PathNode {
    PathNode *parent = nullptr;   // toward the root; none for the root
    PathNode *sibling = nullptr;  // split off from this node, not yet released
    uint32_t number = 0;          // block number; 0 while a new root is built
    uint8_t *data = nullptr;      // S bytes
    uint8_t state = kNodeUnread;
    int32_t used = 0;             // U, parsed from the data
    int32_t level = 0;            // parsed from the data
    // Cursor.
    int32_t position = 0;         // offset of the current entry; 0 = nowhere
    int32_t next = 0;             // offset just past the current entry
    uint32_t pointer = 0;         // of the current entry, bit 31 cleared
    uint64_t serial = 0;          // of the current entry; 0 when W = 0
    const uint8_t *key = nullptr; // current key: into data, or keyBuffer
    uint8_t *keyBuffer = nullptr; // K bytes, compressed indexes only
};

// Whole-block I/O of tree nodes through the block caches.
void writeNode(IsFile *f, const uint8_t *buffer, uint32_t n);

// A fresh, unread node for block `number` of the index of `path`: zero
// data, cursor nowhere.
PathNode *nodeAllocate(IsFile *f, const TreePath *path, uint32_t number);

// Frees a node; reports "isnode" 67 for a missing node or one with a sibling
// (the sibling is freed with it), 69 for a dirty one.  Returns null.
PathNode *nodeFree(PathNode *node);

// Frees a node and its siblings whatever their state: the changes are
// dropped on purpose.  Returns null.
PathNode *nodeDiscard(PathNode *node);

// Reads an unread node and parses it; checks the used length, the level and
// the marker byte against the node size and raises 105 for a damaged node.
void nodeLoad(IsFile *f, const TreePath *path, PathNode *node);

// Writes a dirty node and makes it clean.  A node with a sibling attached
// is a consistency failure ("isidxio" 41).
void nodeStore(IsFile *f, PathNode *node);

// Makes `node` an empty node of `level` (U = 2, zero data), dirty.
void nodeInitEmpty(IsFile *f, PathNode *node, int32_t level);

// Stores U (and the level) into the data after a change, zero-fills the
// unused bytes between U and the trailer, marks the node dirty and resets
// its cursor.  A loaded node holds only its entries and trailer; the bytes
// between are undefined until this fills them, so every node written is
// zero there.
void nodeChanged(IsFile *f, PathNode *node, int32_t used);

// Resets the cursor to nowhere.
void nodeResetCursor(PathNode *node);

// Raw field access, big-endian.
int32_t nodeUsedOf(const uint8_t *data);
int32_t nodeLevelOf(const IsFile *f, const uint8_t *data);
// Entry fields, read on every step and search: inline.
inline uint32_t pointerAt(const uint8_t *at) {  // raw, with bit 31
    return uint32_t{at[0]} << 24 | uint32_t{at[1]} << 16 | uint32_t{at[2]} << 8 | at[3];
}
inline uint64_t serialAt(const uint8_t *at, int32_t width) {
    if (width == 4) return pointerAt(at);  // the usual width
    uint64_t value = 0;
    for (int32_t i = 0; i < width; ++i) value = value << 8 | at[i];
    return value;
}
void storeSerial(uint8_t *at, int32_t width, uint64_t serial);

// Capacity rule: may a node of this file grow to `used` bytes?
bool nodeHasRoom(const IsFile *f, int32_t used);

}  // namespace wisam
