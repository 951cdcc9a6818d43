// isprofile.cpp - profiling counters, events and the exported callback words.
#include "system/isprofile.h"

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

void splitCounter(uint64_t value, uint32_t *out2) {
    if (out2 == nullptr) return;
    out2[0] = static_cast<uint32_t>(value);
    out2[1] = static_cast<uint32_t>(value >> 32);
}

}  // namespace wisam
