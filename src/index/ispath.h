// ispath.h - the per-index run-time record `TreePath`.
//
// One TreePath per index held by a handle (`IsFile::indexes[i]`), created
// when the index's key description is read or appended and released at
// close or when the index is dropped.  It owns a copy of the index's key
// description, with `keyLength` the sum of the part lengths, and the root
// block number.  The path from root to leaf, the node cache and the
// current-key cursor are added by the tree engine.
#pragma once

#include <cstdint>

#include "wisam.h"

struct IsFile;

namespace wisam {

constexpr int32_t kMaxKeyBytes = 1024;  // a key image never needs more

struct TreePath {
    KeyDesc key;                 // owned copy of the description
    uint32_t rootNode = 0;       // block number of the root
    int32_t compareLength = 0;   // bytes compared; normally key.keyLength
    uint8_t currentKey[kMaxKeyBytes] = {};  // key of the current entry
};

// Creates the record for a new index with an owned copy of `key`.
TreePath *pathCreate(IsFile *f, const KeyDesc &key);

// Starts the index at its root block.
void pathSetRoot(IsFile *f, TreePath *path, uint32_t root);

// Releases the record and everything it owns; returns null.
TreePath *pathDestroy(TreePath *path);

}  // namespace wisam
