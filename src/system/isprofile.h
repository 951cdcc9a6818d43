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

// The four process-wide counters, 64-bit, never reset.
struct ProfileCounters {
    uint64_t requested = 0;      // read bytes requested
    uint64_t readIntoCache = 0;  // bytes read from files to fill cache blocks
    uint64_t throughCache = 0;   // bytes delivered through cache blocks
    uint64_t written = 0;        // bytes of every write attempt
};

extern ProfileCounters profileCounters;

// Stores a 64-bit counter as two 32-bit words, low word first (`out2` may
// be null).
void splitCounter(uint64_t value, uint32_t *out2);

}  // namespace wisam
