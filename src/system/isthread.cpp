// isthread.cpp - the library lock.
#include "system/isthread.h"

#include <atomic>
#include <condition_variable>
#include <mutex>

#include "system/issystem.h"

namespace wisam {

namespace {

std::mutex libraryMutex;
std::condition_variable libraryChanged;
std::atomic<uint64_t> lastThreadId{0};
thread_local int32_t heldDepth = 0;  // LibraryLocks of this thread
thread_local uint64_t threadId = 0;

// Runs `wait` with the library lock given up, if this thread holds it.
template <class Wait>
void outsideLibrary(Wait &&wait) {
    if (heldDepth == 0) {
        wait();
        return;
    }
    libraryMutex.unlock();
    try {
        wait();
    } catch (...) {
        libraryMutex.lock();
        throw;
    }
    libraryMutex.lock();
}

}  // namespace

LibraryLock::LibraryLock() {
    if (heldDepth == 0) libraryMutex.lock();
    ++heldDepth;
}

LibraryLock::~LibraryLock() {
    if (--heldDepth == 0) libraryMutex.unlock();
}

uint64_t libraryThreadId() {
    if (threadId == 0) threadId = lastThreadId.fetch_add(1, std::memory_order_relaxed) + 1;
    return threadId;
}

void libraryWaitUntil(const std::function<bool()> &ready) {
    std::unique_lock<std::mutex> lock(libraryMutex, std::adopt_lock);
    libraryChanged.wait(lock, ready);
    lock.release();  // still held, by the LibraryLock that took it
}

void libraryNotify() { libraryChanged.notify_all(); }

void libraryPause(int64_t microseconds) {
    outsideLibrary([&] { sysCalls.pause(microseconds); });
}

void libraryYield() {
    outsideLibrary([] { sysCalls.yield(); });
}

}  // namespace wisam
