// layer: index/tree
// isshrink.h - removing keys from an index: entry removal in both node
// forms, release of emptied nodes, the empty root, and the split that makes
// room before a removal in a nearly full compressed node.
//
// deleteKey removes the entry of one (key, record number) pair.  Nodes are
// never merged or rebalanced: a node that becomes empty is released to the
// index free list (pathPop does it) and the entry that pointed to it is
// removed from its parent, which may become empty in turn.  An emptied root
// becomes an empty leaf (level 0).  Separator keys are never updated when the
// largest key of a child goes: they stay valid upper bounds.
//
// Removal from a compressed node (o = start of the removed entry, n = start
// of the following one, U = used length):
//
//   case                               what happens                 size
//   last entry (n = U)                 cut off; the entry before    U - (n - o)
//                                      loses its repeat flag
//   repeat flag set (the following     the following entry's        U - (W + 4)
//   entry carries no key bytes)        serial and pointer move over
//                                      the removed one's: its key
//                                      bytes serve the follower
//   otherwise                          the following key is encoded U - (n - o)
//                                      again against the key before + growth
//                                      o (a full key when o = 2)
//
// Only the last case can make the node longer: the following key may share
// less with the key before o than with the removed key.  A leaf with
// U + W + K + 4 >= S - 4 whose removed entry is not last and carries a clear
// repeat flag is therefore split first, like an insertion split without a
// new key (isgrow.h); the entry is found again in its half and removed
// there.  A node above the leaves is split the same way in the rare case
// where the exact new length would not fit.
//
// Failure: every change stays in the path's nodes (dirty) until the
// caller's pathFlush; a raise leaves the index file as it was.  Nothing on
// this path allocates, apart from what a split needs (isgrow).
#pragma once

#include <cstdint>

struct IsFile;

namespace wisam {

struct TreePath;

// Removes the entry (key, record) from the index of `path`.  With `key`
// null the entry the path stands on is removed (files without a data file).
// A path that already stands on a leaf entry with pointer `record` and an
// equal key is used without a search.  Returns 1 when an entry was removed,
// 0 when the index is empty (nothing happens).  Raises 111 (detail '3')
// before changing anything when there is no such entry, 105 for a damaged
// node.  The caller has built the key, skipped null keys, and flushes the
// path (pathFlush) and the free lists afterwards.
int deleteKey(IsFile *f, TreePath *path, const uint8_t *key, uint32_t record);

}  // namespace wisam
