// isdiscard.cpp - what refreshFile and raiseError throw away.
#include "frame/isdiscard.h"

#include "frame/isfile.h"
#include "frame/ismemory.h"
#include "index/ispath.h"
#include "structure/isdict.h"
#include "wisam.h"

namespace wisam {

namespace {

// Forgets the loaded head node of a free list; with `dirtyOnly` only when
// it holds changes that were never written.
void dropFreeListBlock(FreeList &list, bool dirtyOnly) {
    if (dirtyOnly && list.state != kFreeListDirty) return;
    list.state = kFreeListUnloaded;
}

}  // namespace

void discardForeignChanges(IsFile *f) {
    clearFileCache(f);
    dropFreeListBlock(f->indexAlloc, false);
    dropFreeListBlock(f->dataAlloc, false);
    pathInvalidate(f, kAccessRead);
    f->spaceTableStale = 1;
}

void discardCallChanges(IsFile *f) {
    pathInvalidate(f, kAccessChange);
    dropFreeListBlock(f->indexAlloc, true);
    dropFreeListBlock(f->dataAlloc, true);
    if (f->indexFd >= 0 && f->dictionary != nullptr) readDictionary(f);
    f->spaceTableStale = 1;
}

}  // namespace wisam
