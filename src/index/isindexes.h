// layer: index/admin
// isindexes.h - adding and dropping indexes of an open file.
//
// Adding appends the key description, gives it an empty root and fills the
// tree from every record in use; dropping releases every node of the tree
// (children before parents, the root last, so that the next block taken
// from the free list is the root's number again) and removes the
// description.  Both change the file only while no other handle has it open.
#pragma once

#include <cstdint>

#include "wisam.h"

struct IsFile;

namespace wisam {

// Inserts the keys of all records in use into index `index`, whose tree is
// empty.  Raises 100 for equal keys in an index without duplicates.
int buildIndex(IsFile *f, int32_t index);

// isAddIndex and isDelIndex inside their frames: the file must be this
// handle's alone (113 otherwise) for the length of the change.
int addIndex(IsFile *f, KeyDesc *key);
int delIndex(IsFile *f, KeyDesc *key);

// Releases every node of index `index` to the index free list.
int freeIndexTree(IsFile *f, int32_t index);

constexpr int32_t kMaxAddedIndexes = 31;

}  // namespace wisam
