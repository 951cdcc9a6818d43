// layer: frame/undo
// isdiscard.cpp - what refreshFile and a failed changing call throw away.
#include "frame/isdiscard.h"

#include "frame/isfile.h"
#include "frame/isundo.h"
#include "index/ispath.h"
#include "system/iscache.h"
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
    emptyHandleCaches(f);
    dropFreeListBlock(f->indexAlloc, false);
    dropFreeListBlock(f->dataAlloc, false);
    pathInvalidate(f, kAccessRead);
    f->spaceTableStale = 1;
}

void discardCallChanges(IsFile *f) {
    // Blocks written back from their images leave every cached node of the
    // handle suspect; otherwise only the nodes the call changed are.
    const bool rewritten = undoChange(f);
    pathInvalidate(f, rewritten ? kAccessRead : kAccessChange);
    // The heads are back at the call's start: a loaded head node may be one
    // the call moved to.
    dropFreeListBlock(f->indexAlloc, false);
    dropFreeListBlock(f->dataAlloc, false);
    f->spaceTableStale = 1;
}

}  // namespace wisam
