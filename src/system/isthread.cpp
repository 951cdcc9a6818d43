// layer: system/os
// isthread.cpp - the gate, group locks, turns and waits.
#include "system/isthread.h"

#include <pthread.h>

#include <condition_variable>
#include <new>

#include "system/issystem.h"

namespace wisam {

namespace {

// Writers first: an exclusive call (an open, a close) waiting for the gate
// stops new shared calls, so that threads calling without a pause cannot
// keep it waiting for ever.  No thread takes the gate shared twice.
// Initialized as a constant, so that calls from other initializers find it
// ready.
pthread_rwlock_t gate = PTHREAD_RWLOCK_WRITER_NONRECURSIVE_INITIALIZER_NP;
std::atomic<uint32_t> wholeLibraryReasons{0};
std::atomic<uint64_t> lastThreadId{0};

std::mutex turnMutex;
std::condition_variable turnChanged;
uint64_t turnGeneration = 0;           // under turnMutex
std::atomic<int32_t> turnWaiters{0};

void takeGate(uint8_t kind) {
    if (kind == kGateExclusive) {
        pthread_rwlock_wrlock(&gate);
    } else {
        pthread_rwlock_rdlock(&gate);
    }
}

void releaseGate() { pthread_rwlock_unlock(&gate); }

// Gives up the thread's group locks and the gate, keeping its references to
// the groups, so that another thread can go on.
void giveUpLocks() {
    for (int32_t i = libraryHold.groups - 1; i >= 0; --i) libraryHold.group[i]->mutex.unlock();
    releaseGate();
}

// Takes again what giveUpLocks gave up, in the same order.  The first group
// is waited for with nothing but the gate held; a further one (taken by a
// nested call) is only tried, and when busy everything is given up and
// tried again, so that two threads never hold one group each while waiting
// for the other's.
void retakeLocks() {
    for (;;) {
        takeGate(libraryHold.gate);
        if (libraryHold.groups > 0) libraryHold.group[0]->mutex.lock();
        int32_t held = libraryHold.groups > 0 ? 1 : 0;
        while (held < libraryHold.groups && libraryHold.group[held]->mutex.try_lock()) ++held;
        if (held == libraryHold.groups) return;
        while (held > 0) libraryHold.group[--held]->mutex.unlock();
        releaseGate();
        sysCalls.yield();
    }
}

// Runs `wait` with the thread's locks given up, if it holds any.
template <class Wait>
void outsideLibrary(Wait &&wait) {
    if (libraryHold.gate == kGateNone) {
        wait();
        return;
    }
    giveUpLocks();
    try {
        wait();
    } catch (...) {
        retakeLocks();
        throw;
    }
    retakeLocks();
}

}  // namespace

__thread LibraryHold libraryHold __attribute__((tls_model("initial-exec"))) = {0, kGateNone, 0, {}, 0};

GroupLock *newGroupLock() {
    void *memory = sysCalls.allocate(sizeof(GroupLock));
    return memory != nullptr ? new (memory) GroupLock : nullptr;
}

GroupLock *dropGroupLock(GroupLock *lock) {
    if (lock != nullptr && lock->references.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        lock->~GroupLock();
        sysCalls.release(lock);
    }
    return nullptr;
}

void requireWholeLibrary(uint32_t reason, bool on) {
    if (on) {
        wholeLibraryReasons.fetch_or(reason, std::memory_order_relaxed);
    } else {
        wholeLibraryReasons.fetch_and(~reason, std::memory_order_relaxed);
    }
}

// The reasons change only under the gate held exclusive, so what a thread
// reads while holding it shared stays true until it lets go.
void LibraryLock::enter(Reach reach) {
    for (;;) {
        const bool whole = reach == Reach::process || wholeLibraryReasons.load(std::memory_order_relaxed) != 0;
        takeGate(whole ? kGateExclusive : kGateShared);
        if (whole || wholeLibraryReasons.load(std::memory_order_relaxed) == 0) {
            libraryHold.gate = whole ? kGateExclusive : kGateShared;
            return;
        }
        releaseGate();
    }
}

void LibraryLock::leave() {
    libraryHold.gate = kGateNone;
    releaseGate();
}

void LibraryLock::takeGroup(GroupLock *lock) {
    if (lock == nullptr || libraryHold.gate != kGateShared) return;
    for (int32_t i = 0; i < libraryHold.groups; ++i) {
        if (libraryHold.group[i] == lock) return;
    }
    if (libraryHold.groups == kMaxHeldGroups) {
        admitted_ = false;
        return;
    }
    if (libraryHold.groups == 0) {
        lock->mutex.lock();
    } else if (!lock->mutex.try_lock()) {
        admitted_ = false;
        return;
    }
    lock->references.fetch_add(1, std::memory_order_relaxed);
    libraryHold.group[libraryHold.groups++] = lock;
    ++taken_;
}

void LibraryLock::releaseLastGroup() {
    GroupLock *lock = libraryHold.group[--libraryHold.groups];
    lock->mutex.unlock();
    dropGroupLock(lock);
}

uint64_t libraryThreadId() {
    if (libraryHold.id == 0) libraryHold.id = lastThreadId.fetch_add(1, std::memory_order_relaxed) + 1;
    return libraryHold.id;
}

void libraryAwaitTurns() {
    uint64_t seen = 0;
    {
        std::lock_guard<std::mutex> lock(turnMutex);
        seen = turnGeneration;
        turnWaiters.fetch_add(1, std::memory_order_seq_cst);
    }
    outsideLibrary([&] {
        std::unique_lock<std::mutex> lock(turnMutex);
        turnChanged.wait(lock, [&] { return turnGeneration != seen; });
    });
    turnWaiters.fetch_sub(1, std::memory_order_relaxed);
}

// The giver changed the turn under the locks the waiter held when it last
// looked, so a waiter that looked before the change already counts here.
void libraryTurnsChanged() {
    if (turnWaiters.load(std::memory_order_seq_cst) == 0) return;
    {
        std::lock_guard<std::mutex> lock(turnMutex);
        ++turnGeneration;
    }
    turnChanged.notify_all();
}

void libraryPause(int64_t microseconds) {
    outsideLibrary([&] { sysCalls.pause(microseconds); });
}

void libraryYield() {
    outsideLibrary([] { sysCalls.yield(); });
}

}  // namespace wisam
