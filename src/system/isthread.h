// layer: system/os
// isthread.h - the library's locks: calls on different files run side by
// side, everything shared between them is guarded.
//
// Locks, in the order a thread takes them (a thread never waits for one
// while holding a later one):
//
//   1. the gate, a reader-writer lock over the whole library.  A call on a
//      handle holds it shared; a call that changes what every call reads
//      (opening, building, closing, erasing and renaming files, the log and
//      transactions, the process-wide cache, the fatal hook) holds it
//      exclusive.  While a log is open or the process-wide index cache
//      exists, every call holds it exclusive (wholeLibraryReasons): the
//      log's buffer and the transaction table, and that cache, are written
//      by calls on any handle.
//   2. the group lock of a file: one mutex for all handles of this process
//      on one file, which share descriptors, fcntl locks and the in-process
//      record-lock checks.  A shared call holds the lock of its handle's
//      group.  A call nested in another (a callback calling the library)
//      only tries a further group lock and is refused when it is busy, so
//      two threads never wait for each other's group.
//   3. a handle's turn (frame/iscall.h): a call marks its handle as its
//      thread's; a call of another thread on that handle waits.
//   4. leaf locks, held for a few instructions and never while waiting:
//      the table of held ranges (system/isregion.cpp), the list of
//      profiling counter blocks (system/isprofile.cpp).
//
// What is shared, and what guards it:
//   handle table and file groups        gate (changed only exclusive)
//   a group's descriptors and locks     its group lock
//   a handle's fields                   its group lock and its turn
//   held ranges (fcntl bookkeeping)     its leaf lock
//   process-wide index cache            gate, exclusive while it exists
//   cache memory budget                 atomic (system/iscache.cpp)
//   log state, transaction table        gate, exclusive while a log is open
//   fatal hook, close watcher           gate (set only exclusive)
//   profiling counters                  one block per thread, summed
//   journal salt counter                atomic
//   isstat1..isstat4                    atomic stores: the last call's of
//                                       any thread; a handle's own status
//                                       is kept in the handle
//   configuration and callback words    the host's: set them before the
//                                       threads call or while none does
//   system-call table                   read-only once calls run
//
// A call that waits between attempts at a lock (libraryPause,
// libraryYield) or for a handle's turn gives up the gate and its group
// locks while it waits, and takes them again in the same order, so that the
// thread it waits for can go on.  While the process has a single thread
// the locks take no mutex at all.
#pragma once

#include <sys/single_threaded.h>

#include <atomic>
#include <cstdint>
#include <mutex>

namespace wisam {

// The lock of one file group; its memory lives until the group has ended
// and no thread holds or waits to take it again.
struct GroupLock {
    std::mutex mutex;
    std::atomic<int32_t> references{1};  // the group's own, plus one a holding thread
};

// A new group lock, or null when memory runs out.
GroupLock *newGroupLock();
// Gives up one reference; the last frees the lock.  Returns null.
GroupLock *dropGroupLock(GroupLock *lock);

// What a call reaches: nothing shared (thread-local or atomic words only),
// one file (its handle's group), or the whole library.
enum class Reach : uint8_t { none, file, process };

constexpr int32_t kMaxHeldGroups = 4;

// What a thread holds of the library's locks.  Every call reads it, so it
// is the thread's own storage in the initial-exec model (no lookup through
// the dynamic linker, also in the shared library).
struct LibraryHold {
    int32_t depth;                         // LibraryLocks of this thread
    uint8_t gate;                          // kGate* taken by the outermost
    int32_t groups;                        // group locks held, in the order taken
    GroupLock *group[kMaxHeldGroups];
    uint64_t id;                           // libraryThreadId, 0 until asked
};
extern __thread LibraryHold libraryHold __attribute__((tls_model("initial-exec")));

constexpr uint8_t kGateNone = 0;
constexpr uint8_t kGateShared = 1;
constexpr uint8_t kGateExclusive = 2;

// Reasons for every call to take the gate exclusive.
constexpr uint32_t kWholeForLog = 1;
constexpr uint32_t kWholeForGlobalCache = 2;

// Sets or clears a reason; only under the gate held exclusive.
void requireWholeLibrary(uint32_t reason, bool on);

// Holds the gate for its lifetime: the outermost lock of a thread takes it
// (shared for Reach::file, exclusive for Reach::process or while a reason
// above holds); nested locks take nothing more, and a nested one that needs
// the gate exclusive while the thread holds it shared is not admitted.
// While the process has one thread (the C library knows: it is so until the
// first thread is started) nothing is taken.
class LibraryLock {
public:
    explicit LibraryLock(Reach reach) {
        if (libraryHold.depth++ == 0) {
            if (__libc_single_threaded == 0 && reach != Reach::none) enter(reach);
        } else if (reach == Reach::process && libraryHold.gate == kGateShared) {
            admitted_ = false;
        }
    }
    ~LibraryLock() {
        for (; taken_ > 0; --taken_) releaseLastGroup();
        if (--libraryHold.depth == 0 && libraryHold.gate != kGateNone) leave();
    }
    LibraryLock(const LibraryLock &) = delete;
    LibraryLock &operator=(const LibraryLock &) = delete;

    // Takes `lock` (a group's) when the thread holds the gate shared and not
    // yet this group; a nested lock only tries, and is not admitted when the
    // group is busy.
    void takeGroup(GroupLock *lock);

    // Whether the call may go on: false for a nested call that cannot get
    // what it needs without waiting for a thread that may wait for this one.
    bool admitted() const { return admitted_; }

private:
    void enter(Reach reach);
    void leave();
    static void releaseLastGroup();
    int32_t taken_ = 0;  // group locks this object took
    bool admitted_ = true;
};

// Whether this thread holds the gate: false while the process has a single
// thread, when nothing needs guarding from other threads.
inline bool libraryShared() { return libraryHold.gate != kGateNone; }

// A number for the calling thread, never 0, unique for the process's life.
uint64_t libraryThreadId();

// Waits for the next libraryTurnsChanged, with the thread's locks given up
// meanwhile.  The caller checks its condition under its locks first: a
// change made after that check is never missed.
void libraryAwaitTurns();
// Wakes the threads in libraryAwaitTurns (cheap when none waits).
void libraryTurnsChanged();

// The waits between attempts at a lock: sleep `microseconds`, or give up the
// processor, with the thread's locks given up meanwhile.
void libraryPause(int64_t microseconds);
void libraryYield();

// Guards a leaf structure for a few instructions while other threads may
// call; takes nothing while the process has a single thread.
class LeafLock {
public:
    explicit LeafLock(std::mutex &mutex) : mutex_(__libc_single_threaded == 0 ? &mutex : nullptr) {
        if (mutex_ != nullptr) mutex_->lock();
    }
    ~LeafLock() {
        if (mutex_ != nullptr) mutex_->unlock();
    }
    LeafLock(const LeafLock &) = delete;
    LeafLock &operator=(const LeafLock &) = delete;

private:
    std::mutex *mutex_;
};

}  // namespace wisam
