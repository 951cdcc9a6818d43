// layer: index/tree
// isidxio.h - reading and writing whole index-file blocks.
//
// Block n of the index file lies at (n - 1) x nodeSize.  Block 1 is the
// dictionary and is never read or written as a block here; every other
// block goes through the block caches.  A block number outside 2..highest
// is a damaged reference and raises 105 (frame/iscorrupt.h).
#pragma once

#include <cstdint>

struct IsFile;

namespace wisam {

constexpr uint32_t kDictionaryBlock = 1;
constexpr uint32_t kFirstNodeBlock = 2;

// Whether `block` may be read or written: 2..the highest block number.
bool indexBlockExists(const IsFile *f, uint32_t block);

void readIndexBlock(IsFile *f, uint32_t block, uint8_t *buffer);
// The block's bytes where they are (see cacheView): in the cache, or read
// into `buffer`.
const uint8_t *viewIndexBlock(IsFile *f, uint32_t block, uint8_t *buffer);
void writeIndexBlock(IsFile *f, uint32_t block, const uint8_t *buffer);

// Byte offset of a block in the index file.
int64_t indexBlockOffset(const IsFile *f, uint32_t block);

}  // namespace wisam
