// layer: index/tree
// iscomp.h - entries of tree nodes, plain and compressed, and the cursor
// operations that walk and search one node.
//
// Compressed entries are used when the key description has any of the flags
// 0x02 (duplicate compression), 0x04 (leading compression) and 0x08
// (trailing compression); flag 0x10 makes the trailing pad byte 0x00 instead
// of a blank.  Entry (K = key length, W = duplicate-serial width):
//
//   width   contents
//   1       leading count L: bytes shared with the previous key of the node
//           (flag 0x04 only; 0 in the first entry of a node)
//   1       trailing count T: pad bytes cut off the end (flag 0x08 only)
//   K-L-T   the middle bytes key[L .. K-T-1]
//   W       duplicate serial, unsigned, big-endian
//   4       pointer, big-endian; bit 31 (repeat flag) set when the next
//           entry of the node carries no key bytes
//
// The three key fields are absent ("no key bytes") when the entry is not the
// first of its node and the previous entry's repeat flag is set: its key is
// the previous key.  Only duplicate compression produces such entries.  The
// last entry of a node never keeps a repeat flag (every change made here
// clears it); readers ignore one there.  L and T are at most 255, and T
// never reaches into the leading run (K - T > L while T is counted).
//
// Entry lengths vary, so a compressed node is decoded from its first entry
// forward; searches start from the cursor when it helps.  Plain nodes are
// searched by bisection directly in the node data.  Nothing here allocates.
//
// Every offset and count read from a node is checked against the node
// before use: an entry reaching past the used length, a first entry with a
// leading count, or L + T > K ("iscomp" 97 / 148 reported first) raise 105
// naming the node (frame/iscorrupt.h).
#pragma once

#include <cstdint>

#include "frame/iscorrupt.h"

struct IsFile;

namespace wisam {

struct PathNode;
struct TreePath;

constexpr uint8_t kPadBlank = 0x20;
constexpr uint8_t kPadNul = 0x00;
constexpr int32_t kMaxCount = 255;  // largest leading or trailing count

// Source lines of the consistency reports of this module.
constexpr int kLineEntryOffset = 75;   // entry offset outside the used part
constexpr int kLineCountsOne = 97;     // L + T > K expanding one entry
constexpr int kLineCountsWalk = 148;   // L + T > K expanding a run of entries

// One decoded entry.
struct EntryView {
    int32_t offset = 0;     // start of the entry
    int32_t keyBytes = 0;   // bytes of the key fields (K in a plain node)
    int32_t tail = 0;       // offset of the duplicate serial
    int32_t next = 0;       // offset just past the pointer
    uint32_t rawPointer = 0;  // with the repeat flag
    uint64_t serial = 0;
};

// Writes the key fields of `key` compressed against `prev` (null: first
// entry of a node) to `out` (null: only count) and returns their length;
// 0 means the entry carries no key bytes.
int32_t compressKey(uint8_t *out, const uint8_t *prev, const uint8_t *key, uint16_t flags,
                    int32_t keyLength);

// The key fields of a key that starts a node.
int32_t fullKeyBytes(const TreePath *path, const uint8_t *key);

// Decodes the entry at `offset` of a node image (`used` bytes in use).
// Compressed: `key` holds the previous key of the node on entry (anything
// at offset 2) and this entry's key on return.  Returns a pointer to the
// entry's key: into `data` for plain nodes, else `key`.  `block` is the
// node the image is of, named when the entry is damaged (kPlaceUnknown for
// an image of no one block, such as a split buffer).
const uint8_t *decodeEntry(IsFile *f, const TreePath *path, const uint8_t *data, int32_t used,
                           int32_t offset, uint8_t *key, EntryView &view,
                           int fatalLine = kLineCountsOne, uint32_t block = kPlaceUnknown);

// Expands the entry at `offset` of a node into its key buffer and sets the
// cursor on it; returns the offset of the next entry.
int32_t expandEntry(IsFile *f, const TreePath *path, PathNode *node, int32_t offset);

// Decodes the entries of a node image from `from` (2 when 0) while they
// start before `to`, leaving the key of the last one in `key` (compressed
// nodes; plain ones copy it) and its fields in `last`.  Returns the bytes
// spanned.
int32_t expandEntries(IsFile *f, const TreePath *path, const uint8_t *data, int32_t used,
                      uint8_t *key, int32_t from, int32_t to, EntryView *last = nullptr,
                      uint32_t block = kPlaceUnknown);

// Cursor steps and searches on one loaded node.  nodeStep: 1 when the
// cursor now stands on an entry, 0 when there is none in that direction
// (cursor unchanged).  nodeFindGE/GT: 1 with the cursor on the first entry
// whose key is >= (>) the search key, or 0 with the cursor on the last entry.
// A cursor standing nowhere steps next to the first entry and previous to
// the last one.
int stepNode(IsFile *f, const TreePath *path, PathNode *node, int direction);
int findInNode(IsFile *f, const TreePath *path, PathNode *node, const uint8_t *search, bool greater);

// Plain nodes only: moves the cursor forward over the entries after the
// current one to the first whose record pointer is `record` and returns 1;
// 0 with the cursor on the node's last entry when none has it.  Reads only
// the pointers, no key is compared.
int seekPlainPointer(const TreePath *path, PathNode *node, uint32_t record);

// Plain nodes only: the entry `steps` entries after the cursor (before it
// for a negative count), read in place; null when the node has no such
// entry, the cursor stands nowhere or the node is compressed.  Moves
// nothing.  plainPointerAhead gives its record pointer (0 for none).
const uint8_t *plainEntryAhead(const TreePath *path, const PathNode *node, int32_t steps);
uint32_t plainPointerAhead(const TreePath *path, const PathNode *node, int32_t steps);

// The duplicate serial of the entry after the cursor in the same node, read
// in place without moving the cursor (a compressed entry's key fields are
// stepped over, not decoded); false when the cursor stands nowhere or on
// the node's last entry.
bool serialAfterCursor(IsFile *f, const TreePath *path, const PathNode *node, uint64_t &serial);

// The same on the deepest node of a path (loaded first).
int nodeStep(IsFile *f, TreePath *path, int direction);
int nodeFindGE(IsFile *f, TreePath *path, const uint8_t *search);
int nodeFindGT(IsFile *f, TreePath *path, const uint8_t *search);

}  // namespace wisam
