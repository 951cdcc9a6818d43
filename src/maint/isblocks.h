// layer: maint
// isblocks.h - which blocks of the index file are in use, found by walking
// every structure that owns blocks, and the free lists rebuilt from that.
//
// Every block of the index file but block 1 (the dictionary) belongs to one
// of: the key-description chain, the tree of an index, the chain of the
// index free list (its nodes and the numbers they hold), the chain of the
// data free list (its nodes), or variable-length storage.  A writer killed
// between its writes can leave these disagreeing: a block taken from the
// index free list for a split is in a tree and still listed; a block freed
// by a deletion is neither; the head of a list names a block that became a
// tree node.  The repair calls (maint/ischeck.h) therefore never trust the
// lists: they walk the structures, tolerating damage (a walk that meets a
// damaged block keeps what it reached), and rebuild the index free list from
// the blocks nobody owns.
//
// Only fixed-length files: the blocks of variable-length storage are not
// reachable from here, so for a variable-length file nothing is rebuilt
// from ownership (hasBlockMap is false).
#pragma once

#include <cstdint>
#include <vector>

struct IsFile;

namespace wisam {

// A chain of free-list nodes as read, stopping at the first node that cannot
// be one: a number outside 2..highest or met before, wrong kind bytes, a
// used length outside the node.
struct FreeChain {
    std::vector<uint32_t> nodes;    // chain nodes in chain order
    std::vector<uint32_t> numbers;  // the numbers they hold, head node first
    bool damaged = false;
};

// Reads the chain that starts at block `head` (0: empty).  Raises only for
// a failed read.
FreeChain readFreeChain(IsFile *f, uint32_t head);

// Whether the index file's block ownership can be worked out (a file with
// fixed-length records only).
bool hasBlockMap(const IsFile *f);

// Marks owned[n] for every block 1..highest in use by the dictionary, the
// key-description chain and the trees of every index but `skipIndex` (-1:
// none skipped; the skipped index keeps only its root).  Trees are walked
// with the index engine; a walk that meets damage keeps the blocks it
// reached, and the answer is then false: the blocks below the damage are
// not known, and may still be referenced from it.  `owned` gets highest + 1
// entries.
bool markOwnedBlocks(IsFile *f, int32_t skipIndex, std::vector<bool> &owned);

// Collects the blocks of the tree of index `index` into `blocks` (root
// first); the walk stops at damage.  Returns false when it did.
bool collectTreeBlocks(IsFile *f, int32_t index, std::vector<uint32_t> &blocks);

// Empties the index free list and lists on it the blocks 2..highest that
// `owned` does not mark: every one when the ownership is `complete`, else
// only the `candidates` (what the old lists held), so that a block a
// damaged tree may still reference is never handed out.  The lowest numbers
// are taken first.
void rebuildIndexFreeList(IsFile *f, const std::vector<bool> &owned, bool complete,
                          const std::vector<uint32_t> &candidates);

}  // namespace wisam
