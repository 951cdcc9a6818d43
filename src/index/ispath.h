// layer: index/tree
// ispath.h - the per-index run-time record `TreePath`: the path from the
// root to the current leaf entry, a cache of recently visited nodes, the
// saved current entry, and the positioning operations built on them.
//
// One TreePath per index held by a handle (`IsFile::indexes[i]`), created
// when the index's key description is read or appended and released at
// close or when the index is dropped.  It owns a copy of the key
// description, with `keyLength` the sum of the part lengths.
//
// The path: `head` is the deepest PathNode; each links to its parent, the
// root has none.  The root always exists and has block number `rootNode`,
// which never changes for the life of the index (a root split moves the old
// root's contents to a new block).  Popped nodes go to the node cache, newest
// last; a popped node that became empty (U < 3) is released to the index free
// list instead.
//
// Separator keys.  Above the leaves every entry's key is an upper bound of
// the keys in its child's subtree and a lower bound of the keys in the
// following children.  The last entry of a node bounds nothing: a key routed
// to the last child never updates it.  Descents take the first entry whose
// key is >= (or >) the search key, or the last entry when there is none.
//
// Invariants:
//   - Levels fall by one from a node to its child; leaves have level 0.  A
//     pushed node of any other level is a damaged tree (105), so no descent
//     can loop.
//   - No two PathNodes of one path (path, siblings, cache) hold the same
//     block number: a number newly taken from the free list evicts a stale
//     cached copy, a released number is dropped from the cache.
//   - Dirty nodes are only written by pathFlush; a raise in a changing call
//     drops them (pathInvalidate, mode 80), so a failed call never changes
//     the file.  The cache never evicts a dirty node: when all slots hold
//     dirty nodes it grows instead.
//   - A node read while the cache is full takes over the oldest clean
//     cached node, so walking an index allocates nothing once the cache is
//     full; a cache hit never allocates.
//   - Between calls the saved current entry (currentKey, currentRecord,
//     currentSerial) is the authority on the position; treeCheckCurrent
//     brings the path back to it.
//   - Stepping from leaf to leaf visits each leaf once: `leafOffset`, the
//     leaves crossed forward less those crossed backward since the path
//     last returned to its root (pathPopAll: first, last, every search,
//     insertion and flush), stays below the number of index blocks, and
//     where keys order by their bytes the key
//     met after a crossing lies beyond the one left (equal keys: a greater
//     serial).  A damaged tree whose children are shared or out of order
//     breaks one of them and raises 105 instead of walking without end.
#pragma once

#include <cstdint>

#include "index/isnode.h"
#include "wisam.h"

struct IsFile;

namespace wisam {

constexpr int32_t kMaxKeyBytes = 1024;  // a key image never needs more
constexpr int32_t kNodeCacheSlots = 32;
constexpr int32_t kSpareNodes = 8;  // as deep as a descent needs new nodes
constexpr uint16_t kCompressionFlags = ISKEY_DUPCOMPRESS | ISKEY_LEADCOMPRESS | ISKEY_TRAILCOMPRESS;

// Directions of nodeStep.
enum StepDirection : int {
    kStepFirst = 0,
    kStepLast = 1,
    kStepNext = 2,
    kStepPrev = 3,
};

// Key buffers reused by insertion, splits and searches, so that none of
// them allocates.
struct PathScratch {
    uint8_t prevKey[kMaxKeyBytes];
    uint8_t nextKey[kMaxKeyBytes];
    uint8_t walkKey[kMaxKeyBytes];
    uint8_t separator[kMaxKeyBytes];
    uint8_t entryBytes[kMaxKeyBytes + 2];
    uint8_t followBytes[kMaxKeyBytes + 2];
};

struct TreePath {
    KeyDesc key;                 // owned copy of the description
    uint32_t rootNode = 0;       // block number of the root
    int32_t compareLength = 0;   // bytes compared; normally key.keyLength
    int32_t partialLength = 0;   // key length of the last start; 0 = the whole key
    // Saved current entry, written by the record operations.
    uint8_t currentKey[kMaxKeyBytes] = {};
    uint32_t currentRecord = 0;
    uint64_t currentSerial = 0;
    // Sizes, computed once at set-up.
    int32_t keyLength = 0;   // K
    int32_t dupWidth = 0;    // W: dupWidth with duplicates, else 0
    int32_t entrySize = 0;   // largest entry: K (+1 lead) (+1 trail) + W + 4
    uint16_t compression = 0;  // the key flags when any compression flag is set
    // The path and the node cache (newest last).
    PathNode *head = nullptr;
    PathNode **cache = nullptr;
    int32_t cacheCount = 0;
    int32_t cacheCapacity = 0;
    // Clean nodes that fell out of the cache, kept for the next nodes read
    // (at most kSpareNodes, linked through `parent`), so that a descent past
    // a full cache (every random read of an index larger than 32 nodes)
    // neither allocates nor frees; unread, in no cache slot, on no path.
    PathNode *spare = nullptr;
    int32_t spareCount = 0;
    // A node plus one entry, for splits; allocated at the first split.
    uint8_t *splitBuffer = nullptr;
    int32_t splitBufferSize = 0;
    PathScratch scratch = {};
    // Leaf crossings since the path last returned to its root (see the
    // invariants), and the entry left by the last crossing.
    int64_t leafOffset = 0;
    uint8_t stepKey[kMaxKeyBytes] = {};
    uint64_t stepSerial = 0;
    bool stepKept = false;  // stepKey holds the entry (the leaf had one)
    // When every part orders by its bytes (character, string and big-endian
    // integer types, either direction), compareKeys decides from the first
    // differing byte alone, with its rule here: kByteSigned on the first
    // byte of an integer part, kByteDescending in a descending part.
    // The rule holds for the first `bytewiseLength` bytes, which must be the
    // whole key (a description changed later falls back to the part rule).
    bool bytewise = false;
    int32_t bytewiseLength = 0;
    uint8_t byteRule[kMaxKeyBytes] = {};
    // For a bytewise key of at most 8 bytes: the XOR that turns each byte's
    // rule into plain unsigned order (0x80 on a signed byte, 0xFF on a
    // descending one, 0x7F on both), byte 0 in the top byte, so that whole
    // keys compare as big-endian words (see orderWord).
    uint64_t wordFlip = 0;
};

inline bool pathCompressed(const TreePath *path) { return path->compression != 0; }

// Creates the record for a new index with an owned copy of `key` (`f` may be
// null: the duplicate width then defaults to 4).  No node is held yet.
TreePath *pathCreate(IsFile *f, const KeyDesc &key);

// Releases the record and everything it owns whatever the state of its
// nodes (close, failed set-up); returns null.
TreePath *pathDestroy(TreePath *path);

// Starts a new root.  The path must stand at its root ("ispath" 53); the old
// root and its sibling go to the node cache.  A non-zero number becomes the
// index's root number and is loaded; 0 starts a root still being built.
void pathSetRoot(IsFile *f, TreePath *path, uint32_t number);

// Pushes node `number` below the head (from the cache when it is there) and
// loads it.  0 is a consistency failure ("ispath" 79).
void pathPush(IsFile *f, TreePath *path, uint32_t number);

// Pops the head: 0 at the root, else 1.  The popped node and its sibling go
// to the cache; an empty one is released to the index free list unwritten.
int pathPop(IsFile *f, TreePath *path);

// Pops until the head is the root.
void pathPopAll(IsFile *f, TreePath *path);

// Attaches a fresh node with block `number` to the head as its split-off
// sibling ("ispath" 67 when one is attached already) and returns it.
PathNode *pathAttachSibling(IsFile *f, TreePath *path, uint32_t number);

// Takes an index block number from the free list for a new node and drops
// any stale cached copy of that block.
uint32_t pathTakeNumber(IsFile *f, TreePath *path);

// Writes the dirty nodes of index `index` (every index, last first, when
// `index` is keyCount), leaving the path at its root and all nodes clean.
void pathFlush(IsFile *f, int32_t index);

// Pops to the root and frees every node; dirty nodes are a consistency
// failure, so callers flush first.
void pathRelease(IsFile *f, TreePath *path);

// Drops what the handle holds about its index nodes, for every index, last
// first.  Mode 64 (another process changed the file): every node is read
// again.  Mode 80 (a changing call failed): dirty nodes are dropped.  Roots
// are re-read at once.
void pathInvalidate(IsFile *f, int32_t mode);

// Positioning: 1 when the path stands on an entry that satisfies the
// request, else 0 with the path still on a valid entry (the last entry for
// the forward searches, the first for treePrev).  Never on an empty index.
int treeFirst(IsFile *f, TreePath *path);
int treeLast(IsFile *f, TreePath *path);
int treeNext(IsFile *f, TreePath *path);
int treePrev(IsFile *f, TreePath *path);
int treeFindGE(IsFile *f, TreePath *path, const uint8_t *key);
int treeFindGT(IsFile *f, TreePath *path, const uint8_t *key);

// The first entry at or after the saved current entry.
int treeRefind(TreePath *path, IsFile *f);

// 1 when the path stands on the saved current entry or, when it is gone, on
// the entry that now follows it; 0 when nothing follows.
int treeCheckCurrent(IsFile *f, TreePath *path);

// 1 when the index holds no entry (its root has U = 2).
bool pathIndexEmpty(IsFile *f, TreePath *path);

}  // namespace wisam
