// layer: api
// api.cpp - the exported cache controls and profiling calls.
//
// Plain calls without a call frame: no lock, no refresh, no error state
// cleared.  A null handle is refused with errno 101 and one the handle table
// does not know with 105, as by every call; a failure on the way is stored
// in the handle (isErrno, isErrio) like that of any call.
//
// Blocks that a kept exclusive lock holds back in the caches are changes
// acknowledged to the caller: stopping or emptying the caches writes them
// first, and leaves the caches as they are when that write fails, so that
// nothing acknowledged is dropped.
#include "frame/iscall.h"
#include "frame/isfile.h"
#include "system/iscache.h"
#include "system/isprofile.h"
#include "wisam.h"

using namespace wisam;

namespace {

// Writes the handle's held-back blocks; 1 when there are none left.
int writeBackFirst(IsFile *f) {
    if (isFileCacheActive != 0 && hasDirtyBlocks(f)) {
        writeBackDirtyBlocks(f);
        f->deferState &= static_cast<uint8_t>(~kDeferWriteBack);
    }
    return 1;
}

}  // namespace

extern "C" {

WISAM_API void startFileCache(IsFile *f) {
    unframedCall(f, [&] { return startHandleCaches(f), 1; });
}

// Also drops the handle's global entries when the global cache exists but is
// no longer switched on: a closed handle must not stay an owner there.
WISAM_API void stopFileCache(IsFile *f) {
    unframedCall(f, [&] {
        if (isFileCacheActive == 0) return 0;
        writeBackFirst(f);
        releaseHandleCaches(f);
        return 1;
    });
}

WISAM_API void clearFileCache(IsFile *f) {
    unframedCall(f, [&] { return writeBackFirst(f), emptyHandleCaches(f), 1; });
}

WISAM_API void clearDatFileCache(IsFile *f) {
    unframedCall(f, [&] { return writeBackFirst(f), emptyDataCache(f), 1; });
}

WISAM_API void startGlobalIndexCache(void) { guardedCall(nullptr, [] { return startGlobalCache(), 1; }); }

WISAM_API void stopGlobalIndexCache(void) { guardedCall(nullptr, [] { return stopGlobalCache(), 1; }); }

WISAM_API void clearGlobalIndexCache(IsFile *f) {
    unframedCall(f, [&] { return writeBackFirst(f), dropGlobalEntries(f), 1; });
}

// Writes the held-back blocks now, outside any call.  A failed write leaves
// them held back (to be written by the next attempt or the end of the kept
// lock) and returns 0 with the error in the handle.
WISAM_API int writeBackChanges(IsFile *f) {
    return unframedCall(f, [&] {
        if (isFileCacheActive == 0 || isWriteBackActive == 0) return 0;
        const int indexPass = writeBackDirtyBlocks(f);
        f->deferState &= static_cast<uint8_t>(~kDeferWriteBack);
        return indexPass;
    });
}

WISAM_API void getIsamProfileData(uint32_t *requested2, uint32_t *readIntoCache2, uint32_t *throughCache2,
                                  uint32_t *written2) {
    splitCounter(profileTotal(kCountRequested), requested2);
    splitCounter(profileTotal(kCountReadIntoCache), readIntoCache2);
    splitCounter(profileTotal(kCountThroughCache), throughCache2);
    splitCounter(profileTotal(kCountWritten), written2);
}

// The tag is plain handle data: no lock, no refresh.
WISAM_API int isSetProfileTag(IsFile *f, int32_t tag) {
    return unframedCall(f, [&] { return f->profileTag = tag, 1; });
}

}  // extern "C"
