// layer: index/tree
// isgrow.h - adding keys to an index: node insertion, splits, new roots.
//
// insertKey adds one entry (key image, record number) to one index.  An
// equal key in an index without duplicates is refused (100) before anything
// changes; in an index with duplicates the new entry goes after every equal
// key and is numbered by the duplicate serial: one more than the entry before
// it when that entry's key is byte-identical (across a leaf boundary too),
// else 0.  A node without room is split and a separator entry carried up the
// path; a root split moves the old root's contents to a new block and builds
// a root one level higher under the same block number.
//
// Splits.  The node's entries plus the new one are laid out as one run; the
// run is cut into a lower part, which goes to a new block (the split-off
// sibling), and an upper part, which stays in the node with its first entry
// re-encoded with a full key.  Appending past the last entry cuts right
// before the new entry, so ascending keys fill nodes completely.  Otherwise
// the cut is the usual one (plain nodes: the lower half gets the smaller
// half of the old entries; compressed nodes: the first old entry starting at
// or after U / 2, the new entry going with the half of its insertion point)
// unless a half would not fit; then the most even cut where both halves fit
// is taken.  keyFitsNode guarantees that one always exists.  The separator,
// pointing to the new block, is the lower part's last key and duplicate
// serial, except after an append: then it is the new key and its serial.
// When the new entry ends the lower part, the upper part keeps the entry
// after it as the node had it (above the leaves a stale last key is only
// replaced in the part that takes the new entry).
//
// Failure: every change stays in the path's nodes (dirty) until the caller's
// pathFlush, so a raise leaves the index file as it was.
#pragma once

#include <cstdint>

#include "wisam.h"

struct IsFile;

namespace wisam {

struct PathNode;
struct TreePath;

// Source line of the consistency report for an insertion offset that is no
// entry boundary of its node ("isgrow" 245).
constexpr int kLineInsertOffset = 245;

// Whether nodes of `f` can hold what an index of `key` needs: two entries of
// the largest size (the root after a split holds two), and for compressed
// keys room for any split to succeed (3 x largest - W - 5 <= S - 7, since the
// entry after an insertion point and the first entry of an upper half can
// each grow to a full key).  Must be checked wherever an index is created
// (refused with 103); raises nothing.
bool keyFitsNode(const IsFile *f, const KeyDesc &key);

// Inserts (key, record) into the index.  The caller has built the key, set
// the compare length to the key length, skipped null keys, and flushes the
// path afterwards.  Raises 100 for an equal key without duplicates; with
// duplicates an equal key sets isstat2/isstat4 (and the handle's copies) to
// '2'.  Returns 1.
int insertKey(IsFile *f, TreePath *path, const uint8_t *key, uint32_t record);

// Node insertion: the entry (key, serial, pointer) at `offset` of a loaded
// node.  1 on success (the node dirty, its cursor reset), 0 when it has no
// room (nothing changed).  Above the leaves a following entry whose key is
// smaller than the new one takes the new key and serial.
int nodeInsert(IsFile *f, TreePath *path, PathNode *node, int32_t offset, const uint8_t *key,
               uint64_t serial, uint32_t pointer);

// Splits the head of the path, with the entry (key, serial, pointer) at
// `offset` added when `key` is not null.  The lower part goes to a new block
// attached as the head's sibling, which is returned; the separator key is
// left in path->scratch.separator and its serial in `separatorSerial`.
PathNode *splitHead(IsFile *f, TreePath *path, int32_t offset, const uint8_t *key, uint64_t serial,
                    uint32_t pointer, uint64_t &separatorSerial);

// Carries the separator of a split head (in path->scratch.separator, for
// the head's sibling) up the path: inserted before the parent's cursor
// entry, splitting parents as needed, building a new root when the root
// split.  Leaves the path at the node that took the last separator.
void carrySeparatorUp(IsFile *f, TreePath *path, uint64_t separatorSerial);

}  // namespace wisam
