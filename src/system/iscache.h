// layer: system/store
// iscache.h - set-associative block caches and deferred write-back.
//
// Every read and write of index-file and data-file contents goes through
// cacheRead and cacheWrite.  With caching on (isFileCacheActive), whole
// blocks (one index node, or one data slot) are kept in process-local caches
// so that a repeated access costs no system call.  Writes go through to the
// file at once, except while the handle keeps its exclusive file-state lock
// across calls (deferState 0x02) and isWriteBackActive is set: then the block
// only turns dirty (deferState 0x08) and reaches the file in writeBackChanges
// when the kept lock ends, or earlier when its way is chosen as a victim.
// A write that goes through tells the file layer the clean copy it
// replaces, so that a journaled change need not read those bytes again.
//
// State of one way (a slot of a set):
//
//   invalid --fill by read / copy by write--> valid
//   valid --deferred write--> valid + dirty
//   valid + dirty --write-back (victim, partial access, writeBackChanges)--> valid
//   any --victim choice--> invalid, reassigned to the new block and owner
//   any --emptying, dropping a handle's entries, partial access--> invalid
//
// Invariants:
//   - A way that is not valid is never dirty: every operation that makes a
//     way invalid clears its dirty flag, after writing it back where a
//     write-back is due (victim, partial access; never on emptying).
//     Emptying starts a new epoch instead of visiting every set: a set not
//     marked in the current epoch counts as invalid and clean throughout,
//     and is cleared when it is next allocated.
//   - A valid way holds the current contents of block `block` of its
//     owner's file, as this process last saw or changed it.
//   - A hit needs block and owner to match: two handles never share a
//     cached block, even on one file in the global index cache.
//   - No allocation happens after a cache is created; a hit is one scan of
//     the set and one copy.
//
// Geometry (sets are "lines", ways "associativity" in the configuration):
//
//   cache               where               block size   sets x ways
//   data cache          IsFile::dataCache   slotSize     isDefaultDataCache*,
//                                                        halved for small files
//   index cache         IsFile::indexCache  nodeSize     isDefaultIndexCache*
//                       (only while isGlobalIndexCacheActive is 0)
//   global index cache  one per process     4096         isGlobalIndexCache*
//
// Block k of a cache lives in set k mod sets.  Each cache is charged
// sets x (ways x (block size + 24) + 8) + 24 bytes against the process-wide
// total, which never exceeds isFileCacheMaxMemUsage; a cache that does not
// fit, or cannot be allocated, is simply absent and I/O goes to the file.
//
// Concurrency: a per-handle cache is used only by its handle's calls (under
// its group lock); while the global index cache exists, which all handles
// share, every call holds the library's gate exclusive (system/isthread.h).
// The memory charge is one atomic word.  Coherence between processes comes
// only from refreshFile, which empties a handle's caches (clearFileCache)
// when the file changed.
#pragma once

#include <cstddef>
#include <cstdint>

struct IsFile;

namespace wisam {

struct BlockCache;

// Reads `length` bytes at `offset` of the file of kind `kindOrFd` (with a
// handle) or of descriptor `kindOrFd` (without one), through the cache that
// serves the access when there is one.  Returns 1; without a handle 0 on
// failure.  With a handle a failure raises: a short fill of a cache block
// raises 105 with I/O code 64 + kind.
int cacheRead(IsFile *f, int kindOrFd, void *buffer, int32_t length, int64_t offset);

// Whether accesses of kind `kind` of the handle go through a cache now.
bool cacheServes(const IsFile *f, int kind);

// Reads like cacheRead (with a handle), but a cached block is not copied:
// returns its bytes in the cache, valid until the next operation on that
// cache; an access that is not cached is read into `buffer`, which is
// returned.
const uint8_t *cacheView(IsFile *f, int kind, uint8_t *buffer, int32_t length, int64_t offset);

// Writes `length` bytes at `offset` likewise: through to the file, or only
// into the cache (dirty) while write-back is allowed for the handle.
int cacheWrite(IsFile *f, int kindOrFd, const void *buffer, int32_t length, int64_t offset);

// Copies the `length` bytes at `offset` of the file of kind `kind` from the
// cache that serves the handle, when one valid cached block holds them all
// (a whole block or a part of one); false, with nothing copied, otherwise.
// Changes no state, not even an age.
bool cachePeek(const IsFile *f, int kind, int64_t offset, int32_t length, uint8_t *out);

// Drops the cached block that holds `offset`, dirty or not, without
// writing it.
void cacheForget(IsFile *f, int kind, int64_t offset);

// A hint that the block at `offset` of the file of kind `kind` is wanted
// soon: starts loading its set's tags into the processor's cache and, with
// `andData` when the block is cached already, its bytes.  Changes no state,
// never touches the file and costs nothing without a cache.
void cachePrefetch(const IsFile *f, int kind, int64_t offset, bool andData);

// Writes the handle's dirty blocks to its files.  Raises on a write failure,
// so it belongs inside a call frame (the end of a kept exclusive lock); the
// exported writeBackChanges wraps it for the host.  Returns the result of the
// index-cache pass: 1 when an index cache serves the handle, else 0.
int writeBackDirtyBlocks(IsFile *f);

// The cache controls of a handle, each doing nothing while
// isFileCacheActive is 0: create the handle's caches (the data cache sized
// by its record count), empty them (or the data cache alone), and the
// process-wide index cache's creation, release and dropping of one handle's
// entries (only while isGlobalIndexCacheActive is set).
void startHandleCaches(IsFile *f);
void emptyHandleCaches(IsFile *f);
void emptyDataCache(IsFile *f);
void startGlobalCache();
void stopGlobalCache();
void dropGlobalEntries(IsFile *f);

// Whether the handle has blocks held back in a cache.
bool hasDirtyBlocks(const IsFile *f);

// Frees the handle's own caches and drops its entries from the global index
// cache whatever the configuration words say now, so that a closing handle
// leaves neither memory nor dangling owners behind.  Dirty blocks are lost.
void releaseHandleCaches(IsFile *f);

// Read-only views for inspection and tests.
struct CacheShape {
    int32_t kind = 0;
    int32_t sets = 0;
    int32_t ways = 0;
    int32_t blockSize = 0;
};
CacheShape cacheShape(const BlockCache *cache);  // all 0 for null
// How many valid ways of the cache serving the handle hold the block at
// `offset` (a block is never cached twice: 0 or 1).
int32_t cacheCopies(const IsFile *f, int kind, int64_t offset);
const BlockCache *globalIndexCache();
int64_t cacheMemoryCharged();  // sum of the charges of all live caches

}  // namespace wisam
