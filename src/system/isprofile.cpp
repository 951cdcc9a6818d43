// layer: system/os
// isprofile.cpp - profiling counters, events and the exported callback words.
#include "system/isprofile.h"

#include <mutex>

#include "frame/isfile.h"

extern "C" {
WISAM_API void (*lowLevelProfileCallback)(int32_t tag, int32_t event, int32_t phase) = nullptr;
WISAM_API void (*ioCallback)(int32_t isDataFile, int32_t operation, int32_t descriptor,
                             int32_t block) = nullptr;
WISAM_API void (*tableLockCallback)(IsFile *f) = nullptr;
}

namespace wisam {

__thread ProfileBlock threadProfile __attribute__((tls_model("initial-exec"))) = {{0, 0, 0, 0}, 0, nullptr};

namespace {

std::mutex blocksMutex;
ProfileBlock *liveBlocks = nullptr;   // under blocksMutex
uint64_t endedCounts[kCounters] = {};  // under blocksMutex

// Takes the thread's block out of the list when the thread ends, keeping
// what it counted.
struct BlockUnlist {
    ~BlockUnlist() {
        std::lock_guard<std::mutex> lock(blocksMutex);
        for (ProfileBlock **at = &liveBlocks; *at != nullptr; at = &(*at)->next) {
            if (*at != &threadProfile) continue;
            *at = threadProfile.next;
            break;
        }
        for (int i = 0; i < kCounters; ++i) endedCounts[i] += threadProfile.count[i];
        threadProfile.state = 2;
    }
};

}  // namespace

void countUnlisted(ProfileCounter which, uint64_t bytes) {
    if (threadProfile.state == 0) {
        static thread_local BlockUnlist unlist;
        (void)unlist;
        std::lock_guard<std::mutex> lock(blocksMutex);
        threadProfile.next = liveBlocks;
        liveBlocks = &threadProfile;
        threadProfile.state = 1;
    }
    if (threadProfile.state == 1) return countBytes(which, bytes);
    std::lock_guard<std::mutex> lock(blocksMutex);  // the thread is ending
    endedCounts[which] += bytes;
}

uint64_t profileTotal(ProfileCounter which) {
    std::lock_guard<std::mutex> lock(blocksMutex);
    uint64_t total = endedCounts[which];
    for (const ProfileBlock *block = liveBlocks; block != nullptr; block = block->next) {
        total += __atomic_load_n(&block->count[which], __ATOMIC_RELAXED);
    }
    return total;
}

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
