// layer: system/os
// isregion.cpp - region locks: in-process table, system locks, waiting.
#include "system/isregion.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <map>
#include <mutex>
#include <utility>
#include <vector>

#include "frame/iserror.h"
#include "frame/isfile.h"
#include "structure/isencode.h"
#include "system/isprofile.h"
#include "system/issystem.h"
#include "system/isthread.h"

extern "C" {
WISAM_API int32_t isDeadlockThreshold = 0;
WISAM_API int32_t (*lockingDeadLock)(IsFile *f, int32_t inRecordArea, int32_t error,
                                     int64_t offset, int32_t length) = nullptr;
}

namespace wisam {

namespace {

// Ranges held through each descriptor of this process: (fd, offset) ->
// length.  Ranges of one descriptor never overlap, since an overlapping
// request is refused.  Process-wide like the descriptors it describes; the
// ranges of one descriptor are taken and given up only by calls holding its
// file's group lock (or the whole library), so the leaf lock only keeps the
// map whole while threads of different files change it.
std::map<std::pair<int32_t, int64_t>, int32_t> heldRanges;
std::mutex heldRangesMutex;

bool overlapsHeld(int32_t fd, int64_t offset, int32_t length) {
    const int64_t end = offset + length;
    auto next = heldRanges.lower_bound({fd, offset});
    if (next != heldRanges.end() && next->first.first == fd && next->first.second < end) {
        return true;
    }
    if (next != heldRanges.begin()) {
        auto prev = std::prev(next);
        if (prev->first.first == fd && prev->first.second + prev->second > offset) return true;
    }
    return false;
}

// One non-waiting attempt.  0, or -1 with errno (EACCES for a conflict).
int tryLock(int32_t fd, int64_t offset, int32_t length) {
    bool overlaps = false;
    {
        LeafLock lock(heldRangesMutex);
        overlaps = overlapsHeld(fd, offset, length);
    }
    if (overlaps) {
        errno = EACCES;
        return -1;
    }
    if (sysCalls.lockRange(fd, offset, length, true) != 0) {
        if (errno == EAGAIN) errno = EACCES;
        return -1;
    }
    LeafLock lock(heldRangesMutex);
    heldRanges.emplace(std::make_pair(fd, offset), length);
    return 0;
}

// The entry stays valid while the leaf lock is let go for the system call:
// only a call holding this descriptor's group erases it.
int tryUnlock(int32_t fd, int64_t offset, int32_t length) {
    decltype(heldRanges)::iterator held;
    {
        LeafLock lock(heldRangesMutex);
        held = heldRanges.find({fd, offset});
        if (held == heldRanges.end() || held->second != length) {
            errno = EACCES;  // not a range locked as such
            return -1;
        }
    }
    if (sysCalls.lockRange(fd, offset, length, false) != 0) return -1;
    LeafLock lock(heldRangesMutex);
    heldRanges.erase(held);
    return 0;
}

// Event code of a lock request on this range; unlock codes are 3 higher.
int32_t profileArea(int64_t offset, int32_t length) {
    if (offset >= kRecordAreaOffset) return kEventLockRecord;
    if (length == kRegionLength) return kEventLockState;
    return kEventLockSmall;
}

constexpr int32_t kUnlockShift = kEventUnlockSmall - kEventLockSmall;

int ioKind(IsFile *f, int kindOrFd) { return f != nullptr ? kindOrFd : 0; }

// A negative offset cannot be sought to: the seek failure of the platform.
bool seekFails(IsFile *f, int kindOrFd, int64_t offset) {
    if (offset >= 0) return false;
    if (f != nullptr) raiseError(f, EINVAL, kIoSeek + ioKind(f, kindOrFd));
    return true;
}

// Counts one failed attempt of a waiting request; false when lockingDeadLock
// says to give up.
bool keepWaiting(IsFile *f, int64_t offset, int32_t length, int error, int32_t &attempts) {
    const int32_t threshold = isDeadlockThreshold;
    if (threshold <= 0) return true;
    ++attempts;
    auto callback = lockingDeadLock;
    if (attempts <= threshold || callback == nullptr) return true;
    const bool inRecordArea = offset >= kRecordAreaOffset;
    return callback(f, inRecordArea ? 1 : 0, error,
                    inRecordArea ? offset - kRecordAreaOffset : offset, length) != 0;
}

// Between the attempts of a waiting request: first give the processor to the
// holder a few times, then sleep, twice as long after each further failure
// up to a bound, so that a long wait does not take a processor from the
// processes that hold and will release the lock.
constexpr int32_t kYieldingAttempts = 8;
constexpr auto kFirstPause = std::chrono::microseconds(4);
constexpr auto kLongestPause = std::chrono::microseconds(256);

void pauseBeforeRetry(int32_t failures) {
    if (failures <= kYieldingAttempts) {
        libraryYield();
        return;
    }
    const int32_t doublings = std::min<int32_t>(failures - kYieldingAttempts - 1, 6);
    libraryPause(std::min(kFirstPause * (1 << doublings), kLongestPause).count());
}

}  // namespace

int sysLockRegion(IsFile *f, int kindOrFd, int64_t offset, int32_t length, bool wait) {
    const int32_t fd = sysDescriptor(f, kindOrFd);
    const int32_t area = profileArea(offset, length);
    int32_t attempts = 0;
    int32_t failures = 0;
    for (;;) {
        if (seekFails(f, kindOrFd, offset)) return 0;
        reportEvent(f, area, kPhaseBefore);
        const int rc = tryLock(fd, offset, length);
        const int error = errno;
        reportEvent(f, area, kPhaseAfter);
        if (rc == 0) return 1;
        const bool retryable = (error == EACCES && wait) || error == EINTR || error == EDEADLK;
        if (retryable) {
            reportEvent(f, area + 1, kPhaseEvent);
            if (!keepWaiting(f, offset, length, error, attempts)) return 0;
            if (failures < kYieldingAttempts + 64) ++failures;  // the pause stops growing long before
            pauseBeforeRetry(failures);
            continue;
        }
        if (error == EACCES) {
            reportEvent(f, area + 2, kPhaseEvent);
            errno = error;
            return 0;
        }
        if (f == nullptr) return 0;
        raiseError(f, error, kIoLock + kindOrFd);
    }
}

int sysUnlockRegion(IsFile *f, int kindOrFd, int64_t offset, int32_t length) {
    const int32_t fd = sysDescriptor(f, kindOrFd);
    if (fd < 0) return 1;
    if (seekFails(f, kindOrFd, offset)) return 0;
    const int32_t area = profileArea(offset, length) + kUnlockShift;
    reportEvent(f, area, kPhaseBefore);
    const int rc = tryUnlock(fd, offset, length);
    const int error = errno;
    reportEvent(f, area, kPhaseAfter);
    if (rc == 0) return 1;
    reportEvent(f, area + 1, kPhaseEvent);
    if (f == nullptr) return 0;
    raiseError(f, error, kIoLock + kindOrFd);
}

int sysUnlockRegionsWithin(IsFile *f, int kindOrFd, int64_t offset, int32_t length) {
    const int32_t fd = sysDescriptor(f, kindOrFd);
    std::vector<std::pair<int64_t, int32_t>> within;
    {
        LeafLock lock(heldRangesMutex);
        for (auto it = heldRanges.lower_bound({fd, offset}); it != heldRanges.end() && it->first.first == fd; ++it) {
            if (it->first.second + it->second > offset + length) break;
            within.emplace_back(it->first.second, it->second);
        }
    }
    for (const auto &[at, bytes] : within) {
        if (tryUnlock(fd, at, bytes) != 0) return -1;
    }
    return static_cast<int>(within.size());
}

void forgetRegions(int32_t fd) {
    LeafLock lock(heldRangesMutex);
    auto first = heldRanges.lower_bound({fd, INT64_MIN});
    auto last = heldRanges.lower_bound({fd + 1, INT64_MIN});
    heldRanges.erase(first, last);
}

namespace {

constexpr std::chrono::milliseconds kSlotCounterPatience{250};
constexpr std::chrono::microseconds kSlotCounterRetryPause{200};

// The slot after the one stored in the counter, round robin over 4..511.
// A counter that holds anything outside that range (a damaged file) starts
// over at 4 rather than handing out a byte of the counter itself.
int32_t nextSlot(const uint8_t *counter, bool haveCounter) {
    if (!haveCounter) return kFirstUserSlot;
    const uint32_t last = ld4(counter);
    if (last < static_cast<uint32_t>(kFirstUserSlot) - 1 ||
        last >= static_cast<uint32_t>(kUserSlotLimit) - 1) {
        return kFirstUserSlot;
    }
    return static_cast<int32_t>(last) + 1;
}

}  // namespace

// The slot counter is locked only for the few system calls of one slot
// allocation, the open region for the few of a last close, or either for as
// long as an exclusive opener keeps the file.  A request that meets them
// therefore tries again for a short while before it counts as refused, so
// that processes opening and closing a file at the same moment do not fail
// each other with 113.
int sysLockRegionPatiently(IsFile *f, int64_t offset, int32_t length) {
    const int64_t deadline = sysCalls.clockMicros() + std::chrono::microseconds(kSlotCounterPatience).count();
    for (;;) {
        if (sysLockRegion(f, kKindLock, offset, length, false)) return 1;
        if (errno != EACCES || sysCalls.clockMicros() >= deadline) return 0;
        libraryPause(std::chrono::microseconds(kSlotCounterRetryPause).count());
    }
}

namespace {

bool lockSlotCounter(IsFile *f) { return sysLockRegionPatiently(f, kSlotCounterOffset, kSlotCounterLength) != 0; }

}  // namespace

int32_t sysUserSlot(IsFile *f) {
    if (f == nullptr) return sysCalls.getpid();
    if (f->lockFd < 0) return 0;
    if (f->userSlot != 0) return f->userSlot;
    if (!lockSlotCounter(f)) {
        if (errno == EACCES) f->errorNumber = kErrFileInUse;
        return 0;
    }
    int32_t slot = 0;
    try {
        uint8_t counter[kSlotCounterLength] = {};
        countBytes(kCountRequested, kSlotCounterLength);
        const bool haveCounter =
            sysRead(nullptr, f->lockFd, counter, kSlotCounterLength, kSlotCounterOffset) != 0;
        slot = nextSlot(counter, haveCounter);
        st4(counter, static_cast<int32_t>(slot));
        sysWrite(f, kKindLock, counter, kSlotCounterLength, kSlotCounterOffset);
        const uint8_t zero = 0;
        sysWrite(f, kKindLock, &zero, 1, slot);
    } catch (...) {
        // Never leave the counter locked: every later open would fail.
        try {
            sysUnlockRegion(f, kKindLock, kSlotCounterOffset, kSlotCounterLength);
        } catch (...) {
        }
        throw;
    }
    sysUnlockRegion(f, kKindLock, kSlotCounterOffset, kSlotCounterLength);
    f->userSlot = slot;
    return slot;
}

}  // namespace wisam
