// layer: frame/call
// iscall.h - the frame of every exported call.
//
// An exported call that takes a handle runs:
//   enterCall (validate handle and access mode, clear the error state)
//   -> arm the error exit (frameDepth)
//   -> take the file-state lock the call needs (shared or exclusive)
//   -> refreshFile (lock/issession.h: discard what another process made stale)
//   -> the work
//   -> unlockState (deferred work, release unless kept)
// A raise anywhere below unwinds to the frame, which returns 0 (or null).
//
// A call fails one way: the failure is recorded (raiseError, or failCall for
// the everyday misses of a read, which end the call without unwinding), and
// the frame settles it (settleFailedCall): the changes of a failed changing
// call are dropped, those of every call before it kept, and the file-state
// lock released.  No exception leaves the library: a raise while no call is
// under way on the handle ("isam crash" report) ends at the outermost
// exported call, which returns failure.  An allocation failure inside the
// standard library (std::bad_alloc) is reported like one of ours: the fatal
// report, then error 116.
#pragma once

#include <cerrno>
#include <cstdint>
#include <new>
#include <type_traits>

#include "frame/iserror.h"
#include "frame/isfile.h"
#include "frame/ishandles.h"
#include "system/isthread.h"

namespace wisam {

// Which file-state lock a framed call takes.
enum class CallLock { none, shared, exclusive };

// Validates `f` for `access`, clears its error state.  1 = the call may go
// on; 0 = refused, with errno, errorNumber and status set as the rules say.
int enterCall(IsFile *f, int32_t access);

// Takes the file-state lock for the call (lock/islock.h).
void lockForCall(IsFile *f, CallLock lock);

// Turns the exception in flight into a recorded failure: 116 for an
// allocation failure, 105 for anything unexpected; nothing for a raise,
// which recorded its own.  Only in a catch block.
void settleException(IsFile *f) noexcept;

// What every failed call leaves behind, however it failed (a raise, or a
// failure recorded by failCall): a changing call's own changes dropped (its
// before-images written back, the handle's dictionary state put back, its
// dirty nodes and free-list blocks discarded), then the file-state lock
// released unless it is kept across calls or still guards the rest of an
// undo that could not be written.  The call's error stays as recorded.
void settleFailedCall(IsFile *f, int32_t access) noexcept;

// The start of a framed call's work: a failed call's undo still pending is
// written first, then the file-state lock is taken, the handle refreshed,
// and a changing call's undo armed.
void beginCall(IsFile *f, int32_t access, CallLock lock);

// Ends a framed call that succeeded: a changing call's undo is forgotten,
// then the file-state lock taken by beginCall is released (performing the
// deferred work).
void finishCall(IsFile *f, int32_t access, CallLock lock);

// A call's turn on its handle: waits (with the thread's locks given up)
// while a call of another thread is under way on `f`, then marks the handle
// as this thread's until the outermost call on it ends.  A handle unknown to
// the table is left alone (the call refuses it); one closed while waiting
// ends the wait.  Only under the gate and the handle's group lock.
class HandleTurn {
public:
    HandleTurn() = default;
    ~HandleTurn() {
        if (f_ != nullptr) give();
    }
    HandleTurn(const HandleTurn &) = delete;
    HandleTurn &operator=(const HandleTurn &) = delete;

    // `known`: whether the table knows `f`.  False when the handle, closed
    // while this call waited, now stands for a handle of another file, whose
    // group lock this thread does not hold.
    bool take(IsFile *f, bool known);

private:
    void give();
    IsFile *f_ = nullptr;
};

// What every exported call holds for its whole length: the gate (shared
// for a call on a handle, exclusive for `Reach::process` and for calls
// without one), the lock of its handle's file group, and its turn on its
// handle (system/isthread.h).  A call not admitted returns its failure at
// once, with errno EDEADLK, touching nothing.
class ExportedCall {
public:
    explicit ExportedCall(IsFile *f = nullptr, Reach reach = Reach::file)
        : library_(f == nullptr && reach == Reach::file ? Reach::process : reach) {
        if (f != nullptr && libraryShared() && library_.admitted()) enter(f);
    }
    bool admitted() const { return library_.admitted() && turnTaken_; }

private:
    void enter(IsFile *f);
    LibraryLock library_;
    HandleTurn turn_;
    bool turnTaken_ = true;
};

// Failure value of an exported call: 0, or null for calls returning a handle.
template <class R>
constexpr R failureOf() {
    if constexpr (std::is_pointer_v<R>) {
        return nullptr;
    } else {
        return R{0};
    }
}

// The failure of a call not admitted (ExportedCall).
template <class R>
R refuseNotAdmitted() {
    errno = EDEADLK;
    return failureOf<R>();
}

// Runs `work` so that nothing escapes into the host (calls without a
// handle).
template <class Work>
auto guardedCall(IsFile *f, Work &&work) noexcept -> decltype(work()) {
    using R = decltype(work());
    ExportedCall call(f);
    if (!call.admitted()) return refuseNotAdmitted<R>();
    try {
        return work();
    } catch (...) {
        settleException(f);
        return failureOf<R>();
    }
}

// Counts the armed error exits of a handle for the life of one frame.
class ArmedFrame {
public:
    explicit ArmedFrame(IsFile *f) : f_(f) { ++f_->frameDepth; }
    ~ArmedFrame() { --f_->frameDepth; }
    ArmedFrame(const ArmedFrame &) = delete;
    ArmedFrame &operator=(const ArmedFrame &) = delete;

private:
    IsFile *f_;
};

// Runs `work` with the error exit armed and settles a failure, for the
// frames below.  The work is done when it returns with the call still
// under way; a raise, or a failure recorded on the way (callAccess 0),
// fails the call.
template <class Work>
auto settledCall(IsFile *f, int32_t access, Work &&work) noexcept -> decltype(work()) {
    using R = decltype(work());
    ArmedFrame armed(f);
    try {
        R result = work();
        if (f->callAccess != 0) return result;
    } catch (...) {
        settleException(f);
    }
    settleFailedCall(f, access);
    return failureOf<R>();
}

// Runs an exported call that works on a handle without the call frame (no
// error state cleared, no lock, no refresh): refuses a null (errno 101) or
// unknown (errno 105) handle; a failure is stored in the handle and
// settled like that of any call.
template <class Work>
auto unframedCall(IsFile *f, Work &&work) noexcept -> decltype(work()) {
    using R = decltype(work());
    ExportedCall call(f, f == nullptr ? Reach::none : Reach::file);  // a null one is refused unlocked
    if (!call.admitted()) return refuseNotAdmitted<R>();
    if (!usableHandle(f)) return failureOf<R>();
    const int32_t outer = f->callAccess;
    f->callAccess = kAccessAny;
    R result = settledCall(f, kAccessAny, work);
    if (f->callAccess != 0) f->callAccess = outer;  // a failure leaves it 0
    return result;
}

// The whole frame around `work`.
template <class Work>
auto framedCall(IsFile *f, int32_t access, CallLock lock, Work &&work) noexcept
    -> decltype(work()) {
    using R = decltype(work());
    ExportedCall call(f);
    if (!call.admitted()) return refuseNotAdmitted<R>();
    if (!enterCall(f, access)) return failureOf<R>();
    return settledCall(f, access, [&]() -> R {
        beginCall(f, access, lock);
        R result = work();
        if (f->callAccess != 0) finishCall(f, access, lock);
        return result;
    });
}

}  // namespace wisam
