// layer: index/tree
// isidxio.cpp - whole-block I/O of the index file.
#include "index/isidxio.h"

#include "frame/iscorrupt.h"
#include "frame/isfile.h"
#include "system/iscache.h"

namespace wisam {

namespace {

// The callers check the references they follow and name the block that
// holds a bad one; this is the last guard, where that place is not known.
void checkBlock(IsFile *f, uint32_t block) {
    if (!indexBlockExists(f, block)) raiseCorruptBlock(f, kPlaceUnknown);
}

}  // namespace

bool indexBlockExists(const IsFile *f, uint32_t block) {
    return block >= kFirstNodeBlock && block <= f->indexAlloc.highest;
}

int64_t indexBlockOffset(const IsFile *f, uint32_t block) {
    return static_cast<int64_t>(block - 1) * f->nodeSize;
}

// A block the index file ends before (the highest number says it exists) is
// named as the damaged place.
void readIndexBlock(IsFile *f, uint32_t block, uint8_t *buffer) {
    checkBlock(f, block);
    namingShortRead(f, kKindIndex, block,
                    [&] { return cacheRead(f, kKindIndex, buffer, f->nodeSize, indexBlockOffset(f, block)); });
}

const uint8_t *viewIndexBlock(IsFile *f, uint32_t block, uint8_t *buffer) {
    checkBlock(f, block);
    return namingShortRead(f, kKindIndex, block,
                           [&] { return cacheView(f, kKindIndex, buffer, f->nodeSize, indexBlockOffset(f, block)); });
}

void writeIndexBlock(IsFile *f, uint32_t block, const uint8_t *buffer) {
    checkBlock(f, block);
    cacheWrite(f, kKindIndex, buffer, f->nodeSize, indexBlockOffset(f, block));
}

}  // namespace wisam
