// isprofile.cpp - profiling counters, events and the exported callback words.
#include "system/isprofile.h"

#include <mutex>
#include <new>

#include "frame/isfile.h"
#include "system/issystem.h"
#include "system/isthread.h"

extern "C" {
WISAM_API void (*lowLevelProfileCallback)(int32_t tag, int32_t event, int32_t phase) = nullptr;
WISAM_API void (*ioCallback)(int32_t isDataFile, int32_t operation, int32_t descriptor,
                             int32_t block) = nullptr;
WISAM_API void (*tableLockCallback)(IsFile *f) = nullptr;
}

namespace wisam {

__thread ProfileBlock *threadProfile __attribute__((tls_model("initial-exec"))) = nullptr;

namespace {

std::mutex blocksMutex;
ProfileBlock *allBlocks = nullptr;  // under blocksMutex; never shrinks

// Counts for the threads whose block could not be allocated.
ProfileBlock sharedBlock{{}, {}, true, nullptr};

// Gives the thread's block back when the thread ends.
struct BlockReturn {
    ~BlockReturn() {
        if (threadProfile != nullptr && threadProfile != &sharedBlock) {
            threadProfile->owned.store(false, std::memory_order_release);
        }
        threadProfile = nullptr;
    }
};

ProfileBlock *reuseOrAllocate() {
    std::lock_guard<std::mutex> lock(blocksMutex);
    for (ProfileBlock *block = allBlocks; block != nullptr; block = block->next) {
        bool free = false;
        if (block->owned.compare_exchange_strong(free, true, std::memory_order_acquire)) return block;
    }
    void *memory = sysCalls.allocate(sizeof(ProfileBlock));
    if (memory == nullptr) return nullptr;
    auto *block = new (memory) ProfileBlock{};
    block->owned.store(true, std::memory_order_relaxed);
    block->next = allBlocks;
    allBlocks = block;
    return block;
}

}  // namespace

ProfileBlock *takeProfileBlock() {
    static thread_local BlockReturn giveBack;
    (void)giveBack;
    ProfileBlock *block = reuseOrAllocate();
    if (block == nullptr) return &sharedBlock;  // tried again at the next count
    threadProfile = block;
    return block;
}

uint64_t profileTotal(ProfileCounter which) {
    std::lock_guard<std::mutex> lock(blocksMutex);
    uint64_t total = sharedBlock.count[which].load(std::memory_order_relaxed);
    for (const ProfileBlock *block = allBlocks; block != nullptr; block = block->next) {
        total += block->count[which].load(std::memory_order_relaxed);
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
