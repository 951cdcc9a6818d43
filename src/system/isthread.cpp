// isthread.cpp - the library lock.
#include "system/isthread.h"

#include <sys/single_threaded.h>

#include <atomic>
#include <condition_variable>
#include <mutex>

#include "system/issystem.h"

namespace wisam {

namespace {

std::mutex libraryMutex;
std::condition_variable libraryChanged;
int32_t libraryWaiters = 0;  // threads in libraryWaitUntil (under the mutex)
std::atomic<uint64_t> lastThreadId{0};
thread_local int32_t heldDepth = 0;   // LibraryLocks of this thread
thread_local bool heldMutex = false;  // the outermost one took the mutex
thread_local uint64_t threadId = 0;

// Runs `wait` with the library lock given up, if this thread holds it.
template <class Wait>
void outsideLibrary(Wait &&wait) {
    if (!heldMutex) {
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

// While the process has one thread (the C library knows: it is so until
// the first thread is started), no other thread can be inside the library,
// and the call takes no mutex.
LibraryLock::LibraryLock() {
    if (heldDepth++ == 0 && __libc_single_threaded == 0) {
        libraryMutex.lock();
        heldMutex = true;
    }
}

LibraryLock::~LibraryLock() {
    if (--heldDepth == 0 && heldMutex) {
        heldMutex = false;
        libraryMutex.unlock();
    }
}

bool libraryShared() { return heldMutex; }

uint64_t libraryThreadId() {
    if (threadId == 0) threadId = lastThreadId.fetch_add(1, std::memory_order_relaxed) + 1;
    return threadId;
}

void libraryWaitUntil(const std::function<bool()> &ready) {
    std::unique_lock<std::mutex> lock(libraryMutex, std::adopt_lock);
    ++libraryWaiters;
    libraryChanged.wait(lock, ready);
    --libraryWaiters;
    lock.release();  // still held, by the LibraryLock that took it
}

void libraryNotify() {
    if (libraryWaiters > 0) libraryChanged.notify_all();
}

void libraryPause(int64_t microseconds) {
    outsideLibrary([&] { sysCalls.pause(microseconds); });
}

void libraryYield() {
    outsideLibrary([] { sysCalls.yield(); });
}

}  // namespace wisam
