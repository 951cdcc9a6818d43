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
int32_t libraryWaiters = 0;  // threads in libraryWaitUntil (under the mutex)
std::atomic<uint64_t> lastThreadId{0};

// Runs `wait` with the library lock given up, if this thread holds it.
template <class Wait>
void outsideLibrary(Wait &&wait) {
    if (!libraryHold.mutex) {
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

__thread LibraryHold libraryHold __attribute__((tls_model("initial-exec"))) = {0, false, 0};

void takeLibraryMutex() {
    libraryMutex.lock();
    libraryHold.mutex = true;
}

void releaseLibraryMutex() {
    libraryHold.mutex = false;
    libraryMutex.unlock();
}

uint64_t libraryThreadId() {
    if (libraryHold.id == 0) libraryHold.id = lastThreadId.fetch_add(1, std::memory_order_relaxed) + 1;
    return libraryHold.id;
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
