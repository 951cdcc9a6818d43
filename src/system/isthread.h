// isthread.h - the library lock: one thread at a time inside the library.
//
// Every exported call runs under the library lock, so the process-wide
// state (the handle table and file groups, the in-process table of held
// ranges, the process-wide index cache and the cache memory budget, the log
// state and transaction table, the journal and view state of each handle,
// the profiling counters and callbacks, the fatal hook) is only ever touched
// by one thread at a time.  The configuration words (isJournalMode and the
// like) are the caller's: set them before the threads call, or between
// calls, never while another thread is inside the library.  A thread takes the
// lock at the outermost exported call and gives it up when that call ends;
// calls nested in it (a callback into the library) take nothing more.
//
// A call that waits for a lock another thread of this process holds would
// stop that thread from ever releasing it, so every wait between two
// attempts at a lock (libraryPause, libraryYield) is made with the library
// lock given up, and taken again before the next attempt.  The waiting
// call still owns its handle (frame/iscall.h): no other thread enters it
// meanwhile.  While the process has a single thread, the lock takes no
// mutex at all.
#pragma once

#include <sys/single_threaded.h>

#include <cstdint>
#include <functional>

namespace wisam {

// What a thread holds of the library lock.  Every call reads it twice, so it
// is one small block of the thread's own storage in the initial-exec model
// (no lookup through the dynamic linker, also in the shared library).
struct LibraryHold {
    int32_t depth;   // LibraryLocks of this thread
    bool mutex;      // the outermost one took the mutex
    uint64_t id;     // libraryThreadId, 0 until asked
};
extern __thread LibraryHold libraryHold __attribute__((tls_model("initial-exec")));

void takeLibraryMutex();
void releaseLibraryMutex();

// Holds the library lock for its lifetime (counted per thread).  While the
// process has one thread (the C library knows: it is so until the first
// thread is started), no other thread can be inside the library, and the
// lock takes no mutex.
class LibraryLock {
public:
    LibraryLock() {
        if (libraryHold.depth++ == 0 && __libc_single_threaded == 0) takeLibraryMutex();
    }
    ~LibraryLock() {
        if (--libraryHold.depth == 0 && libraryHold.mutex) releaseLibraryMutex();
    }
    LibraryLock(const LibraryLock &) = delete;
    LibraryLock &operator=(const LibraryLock &) = delete;
};

// Whether this thread's LibraryLock took the mutex: false while the process
// has a single thread, when nothing needs guarding from other threads.
inline bool libraryShared() { return libraryHold.mutex; }

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
