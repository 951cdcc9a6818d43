// layer: system/os
// isprofile.h - the byte counters and the low-level profiling events.
//
// The host plants callbacks in exported data words; the library only reads
// them and skips a null one.  Events carry the handle's `profileTag`, or -1
// for an operation without a handle (slot-counter read, the log).
#pragma once

#include <cstdint>

struct IsFile;

namespace wisam {

// Event codes of lowLevelProfileCallback.
enum ProfileEvent : int32_t {
    kEventRead = 1,
    kEventReadRetry = 2,
    kEventWrite = 3,
    kEventWriteRetry = 4,
    kEventLockSmall = 5,    // lock below 1024, length not 512
    kEventUnlockSmall = 8,
    kEventLockState = 10,   // lock of a 512-byte range below 1024
    kEventUnlockState = 13,
    kEventLockRecord = 15,  // lock at 1024 or above
    kEventUnlockRecord = 18,
    kEventUniqueId = 20,
    kEventSetUnique = 21,
    kEventSharedLock = 22,
    kEventSharedFailed = 23,
    kEventSharedAgain = 24,
    kEventExclusiveLock = 25,
    kEventExclusiveFailed = 26,
    kEventExclusiveAgain = 27,
};

// Phases: just before, just after, a single event.
enum ProfilePhase : int32_t { kPhaseBefore = 0, kPhaseAfter = 1, kPhaseEvent = 2 };

// Reports (tag, event, phase) to lowLevelProfileCallback when it is set.
void reportEvent(const IsFile *f, int32_t event, int32_t phase);

// The four process-wide counters, 64-bit, never reset.  Each thread counts
// in a block of its own thread-local storage, so that threads working on
// different files share no cache line at every read; the totals are the
// sum of the live threads' blocks and of what ended threads counted.
enum ProfileCounter : int32_t {
    kCountRequested = 0,      // read bytes requested
    kCountReadIntoCache = 1,  // bytes read from files to fill cache blocks
    kCountThroughCache = 2,   // bytes delivered through cache blocks
    kCountWritten = 3,        // bytes of every write attempt
    kCounters = 4,
};

// Written only by its thread, read by profileTotal: each word is accessed
// atomically.  `state` is 0 before the thread's first count, 1 while the
// block is in the list of live blocks, 2 once the thread has ended.
struct ProfileBlock {
    uint64_t count[kCounters];
    uint8_t state;
    ProfileBlock *next;
};

extern __thread ProfileBlock threadProfile __attribute__((tls_model("initial-exec")));

// A count while the thread's block is not in the list: puts it there, or
// counts into the ended threads' totals.
void countUnlisted(ProfileCounter which, uint64_t bytes);

// Adds `bytes` to counter `which` of the calling thread.
inline void countBytes(ProfileCounter which, uint64_t bytes) {
    if (threadProfile.state != 1) return countUnlisted(which, bytes);
    uint64_t &counter = threadProfile.count[which];
    __atomic_store_n(&counter, __atomic_load_n(&counter, __ATOMIC_RELAXED) + bytes, __ATOMIC_RELAXED);
}

// The sum of counter `which` over all threads.
uint64_t profileTotal(ProfileCounter which);

// Stores a 64-bit counter as two 32-bit words, low word first (`out2` may
// be null).
void splitCounter(uint64_t value, uint32_t *out2);

}  // namespace wisam
