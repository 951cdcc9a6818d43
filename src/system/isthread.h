// isthread.h - the library lock: one thread at a time inside the library.
//
// Every exported call runs under the library lock, so the process-wide
// state (the handle table and file groups, the in-process table of held
// ranges, the process-wide index cache and the cache memory budget, the log
// state and transaction table, the journal and view state of each handle,
// the profiling counters and callbacks, the fatal hook, the configuration
// words) is only ever touched by one thread at a time.  A thread takes the
// lock at the outermost exported call and gives it up when that call ends;
// calls nested in it (a callback into the library) take nothing more.
//
// A call that waits for a lock another thread of this process holds would
// stop that thread from ever releasing it, so every wait between two
// attempts at a lock (libraryPause, libraryYield) is made with the library
// lock given up, and taken again before the next attempt.  While the
// process has a single thread, the lock takes no mutex at all.  The waiting call
// still owns its handle (frame/iscall.h): no other thread enters it
// meanwhile.
#pragma once

#include <cstdint>
#include <functional>

namespace wisam {

// Holds the library lock for its lifetime (counted per thread).
class LibraryLock {
public:
    LibraryLock();
    ~LibraryLock();
    LibraryLock(const LibraryLock &) = delete;
    LibraryLock &operator=(const LibraryLock &) = delete;
};

// Whether this thread's LibraryLock took the mutex: false while the process
// has a single thread, when nothing needs guarding from other threads.
bool libraryShared();

// A number for the calling thread, never 0, unique for the process's life.
uint64_t libraryThreadId();

// Under a LibraryLock that took the mutex: waits until `ready` holds, with the library lock given
// up while waiting; woken by libraryNotify.
void libraryWaitUntil(const std::function<bool()> &ready);
void libraryNotify();

// The waits between attempts at a lock: sleep `microseconds`, or give up the
// processor, with the library lock given up meanwhile when this thread holds
// it.
void libraryPause(int64_t microseconds);
void libraryYield();

}  // namespace wisam
