// isprofile.cpp - profiling counters, events and the exported callback words.
#include "system/isprofile.h"

#include "frame/iscall.h"
#include "frame/isfile.h"

extern "C" {
WISAM_API void (*lowLevelProfileCallback)(int32_t tag, int32_t event, int32_t phase) = nullptr;
WISAM_API void (*ioCallback)(int32_t isDataFile, int32_t operation, int32_t descriptor,
                             int32_t block) = nullptr;
WISAM_API void (*tableLockCallback)(IsFile *f) = nullptr;
}

namespace wisam {

ProfileCounters profileCounters;

void reportEvent(const IsFile *f, int32_t event, int32_t phase) {
    auto callback = lowLevelProfileCallback;
    if (callback != nullptr) callback(f != nullptr ? f->profileTag : -1, event, phase);
}

namespace {

void splitCounter(uint64_t value, uint32_t *out2) {
    if (out2 == nullptr) return;
    out2[0] = static_cast<uint32_t>(value);
    out2[1] = static_cast<uint32_t>(value >> 32);
}

}  // namespace

}  // namespace wisam

extern "C" WISAM_API void getIsamProfileData(uint32_t *requested2, uint32_t *readIntoCache2,
                                             uint32_t *throughCache2, uint32_t *written2) {
    using wisam::profileCounters;
    wisam::splitCounter(profileCounters.requested, requested2);
    wisam::splitCounter(profileCounters.readIntoCache, readIntoCache2);
    wisam::splitCounter(profileCounters.throughCache, throughCache2);
    wisam::splitCounter(profileCounters.written, written2);
}

// The tag is plain handle data: no frame, no lock.  Refused for a handle the
// table does not know, so that a stale pointer is never written through.
extern "C" WISAM_API int isSetProfileTag(IsFile *f, int32_t tag) {
    return wisam::guardedCall(f, [&] {
        if (!wisam::isKnownHandle(f)) wisam::raiseError(nullptr, wisam::kErrCorrupt, 0);
        f->profileTag = tag;
        return 1;
    });
}
