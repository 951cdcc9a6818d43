// layer: system/store
// iscache.cpp - the block caches, their choice per access, and write-back.
#include "system/iscache.h"

#include <sys/mman.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "frame/iserror.h"
#include "frame/isfile.h"
#include "frame/isundo.h"
#include "system/isjournal.h"
#include "system/isprofile.h"
#include "system/issystem.h"
#include "system/isthread.h"
#include "system/isview.h"

namespace wisam {

// One way of a set, in two parts.  The tag is what a lookup reads: the
// block number while the way is valid (the slice holds the block's current
// contents), -1 otherwise, and the age (bit 31 set on use, bits 31..1
// shifted right on each allocation in the set; bit 0, kAgeAhead, marks a
// block read ahead and not read since, so that a hit learns it from the
// tag it has loaded anyway).  The tags of a set are adjacent, so that
// finding a block and marking it used touch one short run of memory.  The
// record holds the rest; its block-sized slice of the buffer is at index
// (set x ways + way) x blockSize.
struct WayTag {
    int32_t block;
    uint32_t age;
};

struct CacheWay {
    IsFile *owner;      // handle whose file the block belongs to
    int32_t block;      // the block assigned, also while it is being filled
    int32_t dirty;      // the slice differs from the file; implies valid
};

// Tags and records of all sets lie in two arrays, set after set.  Only the
// global index cache has blocks of several owners; in a handle's own cache
// every assigned way belongs to that handle.
struct BlockCache {
    int32_t kind;       // kKindIndex or kKindData
    int32_t sets;
    int32_t ways;
    int32_t blockSize;
    int32_t severalOwners;  // the global index cache
    uint64_t epoch;     // the current epoch, from 1 (64 bits never wrap)
    uint64_t *setEpoch; // per set: in use while equal to `epoch`; a set not
                        // in use counts as all ways invalid and none dirty,
                        // whatever its tags and records still say
    WayTag *tags;       // sets x ways
    CacheWay *way;      // sets x ways
    uint8_t *buffer;    // sets x ways x blockSize bytes
    uint8_t *run;       // room for `runBlocks` blocks written back in one
                        // write, or read ahead in one read
    int32_t runBlocks;
    int32_t aheadBlocks;  // data caches: slots in a read-ahead window
    int64_t filled;     // ways given a block while invalid since the cache
                        // was last emptied: while below sets x ways the
                        // cache has room, and a miss reads ahead
    int64_t aheadEnd;   // one past the last block of the last read-ahead
    int64_t lastMiss;   // the block of the last miss, -1 after emptying
    // Data caches: the geometry asked for before the reduction for a small
    // file, and the highest record number above which the cache is made
    // again for the file's size (see growDataCache); INT64_MAX once full.
    int32_t fullSets;
    int32_t fullWays;
    int64_t growAbove;
};

namespace {

// The charge of one cache counts the records at the sizes they have on a
// 32-bit target, so that isFileCacheMaxMemUsage means the same everywhere.
constexpr int64_t kWayRecordCharge = 24;
constexpr int64_t kSetEntryCharge = 8;
constexpr int64_t kCacheObjectCharge = 24;

constexpr int32_t kGlobalBlockSize = 4096;  // the node size of isBuild without varlen
constexpr uint32_t kAgeUsed = 0x80000000u;
constexpr uint32_t kAgeAhead = 1u;  // read ahead, not read since: valid and clean
constexpr int32_t kNoTag = -1;
constexpr int32_t kRunBytes = 64 * 1024;  // the most written back in one write
constexpr int32_t kReadAheadBytes = 16 * 1024;  // the most read ahead in one read
// A window of fewer slots is not read ahead: a cache with fewer sets (the
// 16 x 4 of a small file) would only evict its own working set for it.
constexpr int32_t kMinReadAheadBlocks = 32;
constexpr int64_t kDictionaryOffset = 0;    // block 1 of the index file: never cached

// Data caches are not reduced below this many sets and ways.
constexpr int32_t kMinDataSets = 16;
constexpr int32_t kMinDataWays = 4;

// ioCallback operations.
constexpr int32_t kIoOpRead = 0;
constexpr int32_t kIoOpHit = 1;
constexpr int32_t kIoOpWrite = 2;

BlockCache *globalCache = nullptr;
// What the caches of the process are charged, against isFileCacheMaxMemUsage.
// Handles of different files create and free caches side by side.
std::atomic<int64_t> memoryCharged{0};

// Charges `charge` when it fits under the cap.
bool reserveMemory(int64_t charge) {
    int64_t charged = memoryCharged.load(std::memory_order_relaxed);
    do {
        if (charged + charge > int64_t{isFileCacheMaxMemUsage}) return false;
    } while (!memoryCharged.compare_exchange_weak(charged, charged + charge, std::memory_order_relaxed));
    return true;
}

// The large parts of a cache (its buffer, the tags of a big one) are read at
// random.  The whole huge pages inside such a part are advised as huge
// pages, so that a lookup does not also miss the address translation of its
// page; the memory stays zero-filled and is committed only as it is used.
constexpr uintptr_t kHugePage = uintptr_t{2} << 20;

void *cacheAllocate(size_t size) {
    void *memory = sysCalls.allocate(size);
    const auto start = reinterpret_cast<uintptr_t>(memory);
    const uintptr_t first = (start + kHugePage - 1) & ~(kHugePage - 1);
    const uintptr_t end = (start + size) & ~(kHugePage - 1);
    if (memory != nullptr && first < end) {
        sysCalls.advise(reinterpret_cast<void *>(first), end - first, MADV_HUGEPAGE);  // a hint: failure changes nothing
    }
    return memory;
}

int64_t chargeOf(int32_t sets, int32_t ways, int32_t blockSize) {
    return int64_t{sets} * (int64_t{ways} * (blockSize + kWayRecordCharge) + kSetEntryCharge) +
           kCacheObjectCharge;
}

// Frees a cache whose parts may be partly allocated (creation failure).
void freeParts(BlockCache *cache) {
    if (cache == nullptr) return;
    sysCalls.release(cache->setEpoch);
    sysCalls.release(cache->tags);
    sysCalls.release(cache->way);
    sysCalls.release(cache->buffer);
    sysCalls.release(cache->run);
    sysCalls.release(cache);
}

// Creates a cache, or returns null when it does not fit the memory cap, the
// geometry is empty or an allocation fails.  Never raises: a missing cache
// only means that I/O goes to the file.
BlockCache *createCache(int32_t kind, int32_t sets, int32_t ways, int32_t blockSize) {
    if (sets <= 0 || ways <= 0 || blockSize <= 0) return nullptr;
    const int64_t charge = chargeOf(sets, ways, blockSize);
    if (!reserveMemory(charge)) return nullptr;
    auto *cache = static_cast<BlockCache *>(cacheAllocate(sizeof(BlockCache)));
    if (cache == nullptr) {
        memoryCharged.fetch_sub(charge, std::memory_order_relaxed);
        return nullptr;
    }
    cache->kind = kind;
    cache->sets = sets;
    cache->ways = ways;
    cache->blockSize = blockSize;
    const size_t count = size_t(sets) * size_t(ways);
    cache->epoch = 1;
    cache->setEpoch = static_cast<uint64_t *>(cacheAllocate(sizeof(uint64_t) * size_t(sets)));
    cache->tags = cache->setEpoch != nullptr ? static_cast<WayTag *>(cacheAllocate(sizeof(WayTag) * count)) : nullptr;
    cache->way = cache->tags != nullptr ? static_cast<CacheWay *>(cacheAllocate(sizeof(CacheWay) * count)) : nullptr;
    cache->buffer = cache->way != nullptr ? static_cast<uint8_t *>(cacheAllocate(count * size_t(blockSize))) : nullptr;
    cache->runBlocks = std::clamp<int32_t>(kRunBytes / blockSize, 1, sets * ways > 1 ? sets * ways : 1);
    // A data cache reads ahead in windows of at most kReadAheadBytes (see
    // readWay), and of no more slots than it has sets, so that the slots
    // of one window never compete for one set.
    cache->aheadBlocks = kind == kKindData ? std::clamp<int32_t>(kReadAheadBytes / blockSize, 1,
                                                                  std::min(cache->runBlocks, sets))
                                           : 1;
    cache->run = cache->buffer != nullptr
                     ? static_cast<uint8_t *>(cacheAllocate(size_t(cache->runBlocks) * size_t(blockSize)))
                     : nullptr;
    if (cache->run == nullptr) {
        freeParts(cache);
        memoryCharged.fetch_sub(charge, std::memory_order_relaxed);
        return nullptr;
    }
    for (size_t i = 0; i < count; ++i) cache->tags[i].block = kNoTag;
    cache->fullSets = sets;
    cache->fullWays = ways;
    cache->growAbove = INT64_MAX;
    cache->lastMiss = -1;
    return cache;
}

BlockCache *freeCache(BlockCache *cache) {
    if (cache == nullptr) return nullptr;
    memoryCharged.fetch_sub(chargeOf(cache->sets, cache->ways, cache->blockSize), std::memory_order_relaxed);
    freeParts(cache);
    return nullptr;
}

// Sets and ways of a data cache for a file whose highest record number is
// `highest`: halve (ways first, down to 4, then sets, down to 16) while the
// cache has more than twice as many ways as the file has records.
void sizeDataCache(uint32_t highest, int32_t &sets, int32_t &ways) {
    const int64_t wanted = 2 * int64_t{highest};
    while ((sets > kMinDataSets || ways > kMinDataWays) && int64_t{sets} * ways > wanted) {
        if (ways > kMinDataWays) {
            ways /= 2;
        } else {
            sets /= 2;
        }
    }
}

size_t firstWayOf(const BlockCache *cache, int32_t set) { return size_t(set) * size_t(cache->ways); }

uint8_t *wayData(const BlockCache *cache, const CacheWay &way) {
    return cache->buffer + size_t(&way - cache->way) * size_t(cache->blockSize);
}

WayTag &tagOf(const BlockCache *cache, const CacheWay &way) { return cache->tags[&way - cache->way]; }

bool isValid(const BlockCache *cache, const CacheWay &way) { return tagOf(cache, way).block != kNoTag; }

// One allocation in the set: the recency bits move right, the read-ahead
// mark stays.
void ageOnce(WayTag &tag) { tag.age = ((tag.age >> 1) & ~kAgeAhead) | (tag.age & kAgeAhead); }

void invalidate(BlockCache *cache, CacheWay &way) {
    way.dirty = 0;
    tagOf(cache, way).block = kNoTag;
    tagOf(cache, way).age &= ~kAgeAhead;
}

void makeValid(BlockCache *cache, CacheWay &way) { tagOf(cache, way).block = way.block; }

bool setInUse(const BlockCache *cache, int32_t set) { return cache->setEpoch[set] == cache->epoch; }

void markInUse(BlockCache *cache, int32_t set) { cache->setEpoch[set] = cache->epoch; }

// Marks a set not in use: all its blocks become invalid, dirty ones are lost.
void retireSet(BlockCache *cache, int32_t set) {
    cache->setEpoch[set] = 0;
    const size_t first = firstWayOf(cache, set);
    for (int32_t j = 0; j < cache->ways; ++j) invalidate(cache, cache->way[first + size_t(j)]);
}

// Marks every set not in use by starting a new epoch, so that emptying costs
// the same for any cache size (another process's change empties the caches
// at the start of each call).  The sets are brought up to date one by one
// when they are next allocated.
void emptyCache(BlockCache *cache) {
    if (cache == nullptr) return;
    ++cache->epoch;
    cache->filled = 0;
    cache->aheadEnd = 0;
    cache->lastMiss = -1;
}

// Invalidates every way owned by `f`; a set stays in use only while it holds
// a valid way of another owner.
void dropEntries(BlockCache *cache, const IsFile *f) {
    if (cache == nullptr) return;
    for (int32_t i = 0; i < cache->sets; ++i) {
        if (!setInUse(cache, i)) continue;
        int32_t othersValid = 0;
        const size_t first = firstWayOf(cache, i);
        for (int32_t j = 0; j < cache->ways; ++j) {
            CacheWay &way = cache->way[first + size_t(j)];
            if (way.owner == f) {
                invalidate(cache, way);
                way.owner = nullptr;
            } else if (isValid(cache, way)) {
                othersValid = 1;
            }
        }
        if (!othersValid) retireSet(cache, i);
    }
}

// The way holding block `block` of `owner` when the block is cached, with
// nothing changed (not even its age).
CacheWay *peekWay(const BlockCache *cache, const IsFile *owner, int32_t block) {
    const int32_t set = block % cache->sets;
    if (!setInUse(cache, set)) return nullptr;
    const size_t first = firstWayOf(cache, set);
    for (int32_t j = 0; j < cache->ways; ++j) {
        CacheWay &way = cache->way[first + size_t(j)];
        if (cache->tags[first + size_t(j)].block == block && (!cache->severalOwners || way.owner == owner)) return &way;
    }
    return nullptr;
}

// Writes a dirty way to its owner's file, together with the blocks of the
// same owner that follow it in the file while they are cached and dirty
// (up to `runBlocks` in all), in one write: records appended one after
// another, as in a bulk load, then leave the cache in runs instead of one
// system call each.  The blocks turn clean only once the write succeeded: a
// failed write leaves every one of them dirty, to be written by the next
// attempt, so that no change acknowledged to the caller is dropped.
void writeBackWay(const BlockCache *cache, CacheWay &way) {
    const size_t size = size_t(cache->blockSize);
    const int64_t offset = int64_t{way.block} * cache->blockSize;
    int32_t count = 1;
    for (; count < cache->runBlocks && way.block <= INT32_MAX - count; ++count) {
        const CacheWay *next = peekWay(cache, way.owner, way.block + count);
        if (next == nullptr || !next->dirty) break;
        if (count == 1) std::memcpy(cache->run, wayData(cache, way), size);
        std::memcpy(cache->run + size_t(count) * size, wayData(cache, *next), size);
    }
    const uint8_t *bytes = count == 1 ? wayData(cache, way) : cache->run;
    sysWrite(way.owner, cache->kind, bytes, count * cache->blockSize, offset);
    way.dirty = 0;
    for (int32_t i = 1; i < count; ++i) peekWay(cache, way.owner, way.block + i)->dirty = 0;
}

// Whether the cache holds the whole, aligned block at `offset` clean: its
// bytes are the file's.
bool holdsClean(const BlockCache *cache, const IsFile *f, int64_t offset, int32_t length) {
    if (cache == nullptr || offset < 0 || length != cache->blockSize || offset % cache->blockSize != 0) return false;
    const int64_t block = offset / cache->blockSize;
    if (block > INT32_MAX) return false;
    const CacheWay *way = peekWay(cache, f, static_cast<int32_t>(block));
    return way != nullptr && way->dirty == 0;
}

enum class WayMode { lookup, allocate };

// Finds block `block` of `f` in its set; when allocating and it is not
// there, takes a victim (the last invalid way, else the oldest valid one,
// the first of equal ages), writing it back when dirty.  The victim comes
// back not valid, for the caller to fill.
CacheWay *findWay(BlockCache *cache, IsFile *f, int32_t block, WayMode mode) {
    const int32_t set = block % cache->sets;
    const size_t first = firstWayOf(cache, set);
    WayTag *tags = cache->tags + first;
    CacheWay *ways = cache->way + first;
    const bool inUse = setInUse(cache, set);
    for (int32_t j = 0; inUse && j < cache->ways; ++j) {
        if (tags[j].block == block && (!cache->severalOwners || ways[j].owner == f)) {
            tags[j].age |= kAgeUsed;
            return &ways[j];
        }
    }
    if (mode == WayMode::lookup) return nullptr;
    int32_t victim = 0;
    if (!inUse) {
        retireSet(cache, set);
        markInUse(cache, set);
        ++cache->filled;
    } else {
        int32_t invalidWay = -1;
        int32_t oldest = -1;
        for (int32_t j = 0; j < cache->ways; ++j) {
            if (tags[j].block == kNoTag) {
                invalidWay = j;
            } else if (oldest < 0 || tags[j].age < tags[oldest].age) {
                oldest = j;
            }
        }
        victim = invalidWay >= 0 ? invalidWay : oldest;
        if (invalidWay >= 0) ++cache->filled;
        if (ways[victim].dirty) writeBackWay(cache, ways[victim]);
        for (int32_t j = 0; j < cache->ways; ++j) ageOnce(tags[j]);
        invalidate(cache, ways[victim]);
    }
    ways[victim].block = block;
    ways[victim].owner = f;
    tags[victim].age = kAgeUsed;
    return &ways[victim];
}

// The way for a whole, aligned block access; null when the access cannot be
// cached.  A partial or unaligned access first writes back (when dirty) and
// invalidates every cached block of `f` that it touches, so that the file,
// which the caller then uses directly, is the only copy.
CacheWay *blockAccess(BlockCache *cache, IsFile *f, int64_t offset, int32_t length) {
    if (offset < 0 || length <= 0) return nullptr;
    const int64_t size = cache->blockSize;
    if (length == size && offset % size == 0) {
        const int64_t block = offset / size;
        if (block > INT32_MAX) return nullptr;
        return findWay(cache, f, static_cast<int32_t>(block), WayMode::allocate);
    }
    const int64_t last = (offset + length - 1) / size;
    for (int64_t block = offset / size; block <= last && block <= INT32_MAX; ++block) {
        CacheWay *way = findWay(cache, f, static_cast<int32_t>(block), WayMode::lookup);
        if (way == nullptr) continue;
        if (way->dirty) writeBackWay(cache, *way);
        invalidate(cache, *way);
    }
    return nullptr;
}

// A data cache sized by the file's record count when it was created, and
// the file since grown past it (a file built empty and loaded gets 16 x 4
// slots): once the file holds more records than the cache has ways, and no
// block of the handle waits for write-back (so that the cache holds nothing
// the file does not), the cache is made again at the size the file now
// asks for, empty, within isFileCacheMaxMemUsage like any other: the old
// cache's charge is given back first, and when the larger one does not fit
// the old size is taken again (or none, if even that fails).
void noteFullGeometry(BlockCache *cache, int32_t fullSets, int32_t fullWays) {
    if (cache == nullptr) return;
    cache->fullSets = fullSets;
    cache->fullWays = fullWays;
    const bool full = cache->sets == fullSets && cache->ways == fullWays;
    cache->growAbove = full ? INT64_MAX : int64_t{cache->sets} * cache->ways;
}

void growDataCache(IsFile *f) {
    BlockCache *old = f->dataCache;
    if (old == nullptr || int64_t{f->dataAlloc.highest} <= old->growAbove) return;
    if ((f->deferState & kDeferWriteBack) != 0) return;  // dirty blocks may be held
    int32_t sets = old->fullSets;
    int32_t ways = old->fullWays;
    sizeDataCache(f->dataAlloc.highest, sets, ways);
    if (int64_t{sets} * ways <= int64_t{old->sets} * old->ways) {
        old->growAbove = INT64_MAX;
        return;
    }
    const int32_t oldSets = old->sets, oldWays = old->ways, fullSets = old->fullSets, fullWays = old->fullWays;
    f->dataCache = freeCache(old);
    f->dataCache = createCache(kKindData, sets, ways, f->slotSize);
    if (f->dataCache == nullptr) f->dataCache = createCache(kKindData, oldSets, oldWays, f->slotSize);
    noteFullGeometry(f->dataCache, fullSets, fullWays);
    // Not grown (the memory cap): asked again only when the file doubles.
    if (f->dataCache != nullptr && f->dataCache->sets == oldSets && f->dataCache->ways == oldWays) {
        f->dataCache->growAbove = 2 * int64_t{f->dataAlloc.highest};
    }
}

// The cache that serves an access, or null when it goes straight to the file.
BlockCache *cacheFor(const IsFile *f, int kind, int64_t offset) {
    if (f == nullptr || isFileCacheActive == 0) return nullptr;
    if (kind == kKindData) return f->dataCache;
    if (kind == kKindIndex && offset != kDictionaryOffset) {
        return f->indexCache != nullptr ? f->indexCache : globalCache;
    }
    return nullptr;
}

// Reports an access of the index or data file to ioCallback with its block
// number (offset / slot or node size, truncated to 32 bits).
void reportIo(const IsFile *f, int kind, int32_t operation, int64_t offset) {
    auto callback = ioCallback;
    if (callback == nullptr || f == nullptr) return;
    int32_t size = 0;
    int32_t fd = -1;
    if (kind == kKindData) {
        size = f->slotSize, fd = f->dataFd;
    } else if (kind == kKindIndex) {
        size = f->nodeSize, fd = f->indexFd;
    }
    if (size <= 0) return;
    callback(kind == kKindData ? 1 : 0, operation, fd, static_cast<int32_t>(offset / size));
}

// Writes back the dirty ways of `cache` owned by `f`.
void writeBackCache(BlockCache *cache, IsFile *f) {
    for (int32_t i = 0; i < cache->sets; ++i) {
        if (!setInUse(cache, i)) continue;
        const size_t first = firstWayOf(cache, i);
        for (int32_t j = 0; j < cache->ways; ++j) {
            CacheWay &way = cache->way[first + size_t(j)];
            if (way.dirty && way.owner == f) writeBackWay(cache, way);
        }
    }
}

}  // namespace

namespace {

// Read-ahead (data caches only).  A slot is about a hundred bytes, so a
// miss that reads one slot pays a system call for a hundred bytes.  Instead
// a miss reads the aligned window of `runBlocks` slots around it in one
// sysRead (through the file layer, so the journal's pending writes are
// seen) and files the other slots of the window where the cache has room:
//
//   - a slot already cached is left alone (it may be dirty, or newer than
//     the file by a change of this call); only slots up to the highest
//     record number, and only those the read returned whole, are filed;
//   - a slot takes an invalid way; it evicts the oldest clean way only
//     while the misses walk forward (a miss in the window after the last
//     one read, or on the slot after the last miss: a scan of a clustered
//     file, also once the cache is full); a dirty way is never evicted;
//   - without room (the cache has filled as many ways as it has) and
//     without such a walk, a miss reads its one slot as before; so does
//     every miss of a cache of fewer than kMinReadAheadBlocks sets.
//
// Emptying the cache (refreshFile, when another process changed the file)
// drops read-ahead slots with the rest, so nothing read ahead outlives a
// change seen at call entry.
//
// The counters and ioCallback see the reads the caller makes, exactly as
// without read-ahead: a slot filed ahead is marked `ahead` and counts as
// not cached until it is first read, which then adds its bytes to the
// bytes read into the cache and reports no hit, as the fill it saved
// would have.  A slot filed ahead and dropped unread counts nowhere.  Only
// lowLevelProfileCallback's system-read events (1) are fewer, because
// they bracket the system reads actually made.
// Whether a read of block `block` should read its window ahead.
bool walkingForward(const BlockCache *cache, int64_t block) {
    return (block >= cache->aheadEnd && block < cache->aheadEnd + cache->aheadBlocks) ||
           block == cache->lastMiss + 1;
}

bool wantsReadAhead(const BlockCache *cache, int64_t block) {
    if (cache->kind != kKindData || cache->aheadBlocks < kMinReadAheadBlocks) return false;
    const int64_t capacity = int64_t{cache->sets} * cache->ways;
    return cache->filled < capacity || walkingForward(cache, block);
}

// Files block `block` of `f`, read ahead, from `bytes`: into an invalid way
// of its set, or over the oldest clean one when `evict`; nothing when the
// block is cached already or no way may take it.
void fileAhead(BlockCache *cache, IsFile *f, int32_t block, const uint8_t *bytes, bool evict) {
    const int32_t set = block % cache->sets;
    const size_t first = firstWayOf(cache, set);
    WayTag *tags = cache->tags + first;
    CacheWay *ways = cache->way + first;
    int32_t victim = -1;
    if (!setInUse(cache, set)) {
        retireSet(cache, set);
        markInUse(cache, set);
        victim = 0;
        ++cache->filled;
    } else {
        int32_t oldest = -1;
        for (int32_t j = 0; j < cache->ways; ++j) {
            if (tags[j].block == block) return;  // cached: never replaced by the file's copy
            if (tags[j].block == kNoTag) {
                victim = j;
            } else if (!ways[j].dirty && (oldest < 0 || tags[j].age < tags[oldest].age)) {
                oldest = j;
            }
        }
        if (victim >= 0) {
            ++cache->filled;
        } else if (evict && oldest >= 0) {
            victim = oldest;
        } else {
            return;
        }
        for (int32_t j = 0; j < cache->ways; ++j) ageOnce(tags[j]);
    }
    CacheWay &way = ways[victim];
    way.owner = f;
    way.block = block;
    way.dirty = 0;
    tags[victim].age = kAgeAhead;  // the oldest of its set until it is read
    std::memcpy(wayData(cache, way), bytes, size_t(cache->blockSize));
    makeValid(cache, way);
}

// Fills the way of block `block` (assigned, not valid) with a read of its
// window; returns the bytes read for the block itself, as a one-block fill
// would have returned them.
int32_t fillWithWindow(BlockCache *cache, IsFile *f, int kind, CacheWay &way, int64_t block) {
    const int64_t size = cache->blockSize;
    const bool walking = walkingForward(cache, block);
    const int64_t start = block - block % cache->aheadBlocks;
    int64_t end = std::min<int64_t>(start + cache->aheadBlocks, int64_t{f->dataAlloc.highest});
    if (end <= block) end = block + 1;  // the block itself is read whatever the highest number says
    int32_t count = 0;
    sysRead(f, kind, cache->run, static_cast<int32_t>((end - start) * size), start * size, &count);
    const int64_t within = (block - start) * size;
    const int32_t own = static_cast<int32_t>(std::clamp<int64_t>(count - within, 0, size));
    std::memcpy(wayData(cache, way), cache->run + within, size_t(own));
    cache->aheadEnd = end;
    if (own < size) return own;  // short: the caller raises, nothing is filed
    // Valid before the others are filed, so that none of them takes its way.
    makeValid(cache, way);
    const int64_t whole = count / size;  // blocks the read returned whole
    for (int64_t b = start; b < start + whole; ++b) {
        if (b != block) fileAhead(cache, f, static_cast<int32_t>(b), cache->run + (b - start) * size, walking);
    }
    return own;
}

// The way that serves a read of `length` bytes at `offset`, holding the
// block (filled from the file on a miss), with the counters and reports of
// a read; null when the access is not cached.
// Whether a miss of this whole, aligned slot is better read out of the data
// file's view than filed: such a miss costs no system call, and filing it
// would only push out a slot the view holds as well.
bool missGoesPastCache(const BlockCache *cache, IsFile *f, int kind, int32_t length, int64_t offset) {
    return kind == kKindData && length == cache->blockSize && offset >= 0 && offset % length == 0 &&
           offset / length <= INT32_MAX && viewHolds(f, kind, offset, length) && !journalOverlays(f, kind);
}

CacheWay *readWay(IsFile *f, int kindOrFd, int32_t length, int64_t offset, BlockCache *&cache) {
    if (length > 0) countBytes(kCountRequested, static_cast<uint64_t>(length));
    reportIo(f, kindOrFd, kIoOpRead, offset);
    if (f != nullptr && kindOrFd == kKindData && isFileCacheActive != 0) growDataCache(f);
    cache = cacheFor(f, kindOrFd, offset);
    if (cache == nullptr) return nullptr;
    CacheWay *way = nullptr;
    if (missGoesPastCache(cache, f, kindOrFd, length, offset)) {
        way = findWay(cache, f, static_cast<int32_t>(offset / length), WayMode::lookup);
        if (way == nullptr) {
            // The caller reads the slot out of the view; counted as the fill
            // it replaces.
            countBytes(kCountReadIntoCache, static_cast<uint64_t>(length));
            countBytes(kCountThroughCache, static_cast<uint64_t>(length));
            return nullptr;
        }
    } else {
        way = blockAccess(cache, f, offset, length);
    }
    if (way == nullptr) return nullptr;
    WayTag &tag = tagOf(cache, *way);
    if (tag.block != kNoTag && (tag.age & kAgeAhead) != 0) {
        // First read of a slot read ahead: counted as the fill it saved.
        tag.age &= ~kAgeAhead;
        countBytes(kCountReadIntoCache, static_cast<uint64_t>(cache->blockSize));
    } else if (isValid(cache, *way)) {
        reportIo(f, kindOrFd, kIoOpHit, offset);
    } else {
        int32_t count = 0;
        const int64_t block = offset / cache->blockSize;
        if (wantsReadAhead(cache, block)) {
            count = fillWithWindow(cache, f, kindOrFd, *way, block);
        } else {
            sysRead(f, kindOrFd, wayData(cache, *way), cache->blockSize, offset, &count);
        }
        cache->lastMiss = block;
        countBytes(kCountReadIntoCache, static_cast<uint64_t>(count));
        if (count < length) raiseError(f, kErrCorrupt, kIoRead + kindOrFd);
        makeValid(cache, *way);
    }
    countBytes(kCountThroughCache, static_cast<uint64_t>(length));
    return way;
}

}  // namespace

int cacheRead(IsFile *f, int kindOrFd, void *buffer, int32_t length, int64_t offset) {
    BlockCache *cache = nullptr;
    CacheWay *way = readWay(f, kindOrFd, length, offset, cache);
    if (way == nullptr) return sysRead(f, kindOrFd, buffer, length, offset);
    std::memcpy(buffer, wayData(cache, *way), size_t(length));
    return 1;
}

bool cacheServes(const IsFile *f, int kind) {
    // Any offset but the dictionary's: the answer for a data or node block.
    return cacheFor(f, kind, kind == kKindIndex ? kDictionaryOffset + 1 : 0) != nullptr;
}

const uint8_t *cacheView(IsFile *f, int kind, uint8_t *buffer, int32_t length, int64_t offset) {
    BlockCache *cache = nullptr;
    CacheWay *way = readWay(f, kind, length, offset, cache);
    if (way != nullptr) return wayData(cache, *way);
    sysRead(f, kind, buffer, length, offset);
    return buffer;
}

int cacheWrite(IsFile *f, int kindOrFd, const void *buffer, int32_t length, int64_t offset) {
    if (f != nullptr && f->undo != nullptr) captureBeforeWrite(f, kindOrFd, offset, length);
    reportIo(f, kindOrFd, kIoOpWrite, offset);
    if (f != nullptr && kindOrFd == kKindData && isFileCacheActive != 0) growDataCache(f);
    BlockCache *cache = cacheFor(f, kindOrFd, offset);
    const bool clean = holdsClean(cache, f, offset, length);
    CacheWay *way = cache != nullptr ? blockAccess(cache, f, offset, length) : nullptr;
    if (way == nullptr) return sysWrite(f, kindOrFd, buffer, length, offset);
    if (isWriteBackActive != 0 && (f->deferState & kDeferExclusiveKept) != 0) {
        std::memcpy(wayData(cache, *way), buffer, size_t(length));
        makeValid(cache, *way);
        tagOf(cache, *way).age &= ~kAgeAhead;
        way->dirty = 1;
        f->deferState |= kDeferWriteBack;
        return 1;
    }
    // Write-through.  The way is invalid while the file is written, so that a
    // failed write leaves no cached copy that the file does not hold; the
    // write replaces the whole block, superseding any earlier dirty copy.
    // A clean copy is what the file holds: the write is told so.
    invalidate(cache, *way);
    sysWrite(f, kindOrFd, buffer, length, offset, clean ? wayData(cache, *way) : nullptr);
    std::memcpy(wayData(cache, *way), buffer, size_t(length));
    makeValid(cache, *way);
    return 1;
}

bool cachePeek(const IsFile *f, int kind, int64_t offset, int32_t length, uint8_t *out) {
    const BlockCache *cache = cacheFor(f, kind, offset);
    if (cache == nullptr || offset < 0 || length <= 0) return false;
    const int64_t block = offset / cache->blockSize;
    const int64_t within = offset - block * cache->blockSize;
    if (block > INT32_MAX || within + length > cache->blockSize) return false;
    const CacheWay *way = peekWay(cache, f, static_cast<int32_t>(block));
    if (way == nullptr) return false;
    std::memcpy(out, wayData(cache, *way) + within, size_t(length));
    return true;
}

void cacheForget(IsFile *f, int kind, int64_t offset) {
    BlockCache *cache = cacheFor(f, kind, offset);
    if (cache == nullptr || offset < 0) return;
    const int64_t block = offset / cache->blockSize;
    if (block > INT32_MAX) return;
    CacheWay *way = peekWay(cache, f, static_cast<int32_t>(block));
    if (way != nullptr) invalidate(cache, *way);
}

void cachePrefetch(const IsFile *f, int kind, int64_t offset, bool andData) {
    const BlockCache *cache = cacheFor(f, kind, offset);
    if (cache == nullptr || offset < 0 || offset % cache->blockSize != 0) return;
    const int64_t block = offset / cache->blockSize;
    if (block > INT32_MAX) return;
    const auto set = static_cast<int32_t>(block % cache->sets);
    const size_t first = firstWayOf(cache, set);
    const WayTag *tags = cache->tags + first;
    if (!andData) {
        // Nothing of the set is read yet: its epoch word and every line of
        // its tags are only asked for, so that the hint never waits.
        __builtin_prefetch(&cache->setEpoch[set]);
        const auto *bytes = reinterpret_cast<const uint8_t *>(tags);
        const size_t tagBytes = sizeof(WayTag) * size_t(cache->ways);
        for (size_t at = 0; at < tagBytes; at += 64) __builtin_prefetch(bytes + at);
        return;
    }
    if (!setInUse(cache, set)) return;
    for (int32_t j = 0; j < cache->ways; ++j) {
        if (tags[j].block != block) continue;
        const uint8_t *data = wayData(cache, cache->way[first + size_t(j)]);
        for (int32_t at = 0; at < cache->blockSize; at += 64) __builtin_prefetch(data + at);
        __builtin_prefetch(data + cache->blockSize - 1);
        return;
    }
}

int writeBackDirtyBlocks(IsFile *f) {
    if (f->dataCache != nullptr) writeBackCache(f->dataCache, f);
    BlockCache *index = f->indexCache != nullptr ? f->indexCache : globalCache;
    if (index == nullptr) return 0;
    writeBackCache(index, f);
    return 1;
}

bool hasDirtyBlocks(const IsFile *f) { return (f->deferState & kDeferWriteBack) != 0; }

void startHandleCaches(IsFile *f) {
    if (isFileCacheActive == 0) return;
    if (f->dataCache == nullptr) {
        int32_t sets = isDefaultDataCacheLines;
        int32_t ways = isDefaultDataCacheAssociativity;
        const int32_t fullSets = sets, fullWays = ways;
        sizeDataCache(f->dataAlloc.highest, sets, ways);
        f->dataCache = createCache(kKindData, sets, ways, f->slotSize);
        noteFullGeometry(f->dataCache, fullSets, fullWays);
    }
    if (f->indexCache == nullptr && isGlobalIndexCacheActive == 0) {
        f->indexCache = createCache(kKindIndex, isDefaultIndexCacheLines,
                                    isDefaultIndexCacheAssociativity, f->nodeSize);
    }
}

void emptyHandleCaches(IsFile *f) {
    if (isFileCacheActive == 0) return;
    emptyCache(f->dataCache);
    emptyCache(f->indexCache);
    if (isGlobalIndexCacheActive != 0) dropEntries(globalCache, f);
}

void emptyDataCache(IsFile *f) {
    if (isFileCacheActive != 0) emptyCache(f->dataCache);
}

void startGlobalCache() {
    if (isFileCacheActive == 0 || isGlobalIndexCacheActive == 0 || globalCache != nullptr) return;
    globalCache = createCache(kKindIndex, isGlobalIndexCacheLines,
                              isGlobalIndexCacheAssociativity, kGlobalBlockSize);
    if (globalCache != nullptr) globalCache->severalOwners = 1;
    requireWholeLibrary(kWholeForGlobalCache, globalCache != nullptr);  // every handle's calls use it
}

// Blocks held back for any handle are written first; when one cannot be,
// the cache stays.
void stopGlobalCache() {
    if (isFileCacheActive == 0 || isGlobalIndexCacheActive == 0 || globalCache == nullptr) return;
    for (int32_t i = 0; i < globalCache->sets; ++i) {
        if (!setInUse(globalCache, i)) continue;
        const size_t first = firstWayOf(globalCache, i);
        for (int32_t j = 0; j < globalCache->ways; ++j) {
            CacheWay &way = globalCache->way[first + size_t(j)];
            if (way.dirty) writeBackWay(globalCache, way);
        }
    }
    globalCache = freeCache(globalCache);
    requireWholeLibrary(kWholeForGlobalCache, false);
}

void dropGlobalEntries(IsFile *f) {
    if (isFileCacheActive == 0 || isGlobalIndexCacheActive == 0) return;
    dropEntries(globalCache, f);
}

void releaseHandleCaches(IsFile *f) {
    if (f == nullptr) return;
    f->dataCache = freeCache(f->dataCache);
    f->indexCache = freeCache(f->indexCache);
    dropEntries(globalCache, f);
}

CacheShape cacheShape(const BlockCache *cache) {
    if (cache == nullptr) return {};
    return {cache->kind, cache->sets, cache->ways, cache->blockSize};
}

int32_t cacheCopies(const IsFile *f, int kind, int64_t offset) {
    const BlockCache *cache = cacheFor(f, kind, offset);
    if (cache == nullptr || offset < 0 || offset / cache->blockSize > INT32_MAX) return 0;
    const auto block = static_cast<int32_t>(offset / cache->blockSize);
    const int32_t set = block % cache->sets;
    if (!setInUse(cache, set)) return 0;
    int32_t copies = 0;
    const size_t first = firstWayOf(cache, set);
    for (int32_t j = 0; j < cache->ways; ++j) {
        const CacheWay &way = cache->way[first + size_t(j)];
        if (cache->tags[first + size_t(j)].block == block && (!cache->severalOwners || way.owner == f)) ++copies;
    }
    return copies;
}

const BlockCache *globalIndexCache() { return globalCache; }

int64_t cacheMemoryCharged() { return memoryCharged.load(std::memory_order_relaxed); }

}  // namespace wisam
