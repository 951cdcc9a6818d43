// iscall.h - the frame of every exported call.
//
// An exported call that takes a handle runs:
//   enterCall (validate handle and access mode, clear the error state)
//   -> arm the error exit (frameDepth)
//   -> take the file-state lock the call needs (shared or exclusive)
//   -> refreshFile (discard what another process made stale)
//   -> the work
//   -> unlockState (deferred work, release unless kept)
// A raise anywhere below unwinds to the frame, which returns 0 (or null).
//
// Every exported entry point, framed or not, is wrapped in guardedCall: no
// exception leaves the library.  A raise while no call is under way on the
// handle ("isam crash" report, stale error exit) therefore ends at the
// outermost exported call, which returns failure, and never in the host.
// An allocation failure inside the standard library (std::bad_alloc) is
// reported like one of ours: the fatal report, then error 116.
#pragma once

#include <cerrno>
#include <cstdint>
#include <new>
#include <type_traits>

#include "frame/iserror.h"
#include "frame/isfile.h"
#include "frame/ishandles.h"

namespace wisam {

// Which file-state lock a framed call takes.
enum class CallLock { none, shared, exclusive };

// Validates `f` for `access`, clears its error state.  1 = the call may go
// on; 0 = refused, with errno, errorNumber and status set as the rules say.
int enterCall(IsFile *f, int32_t access);

// Re-reads the dictionary and discards all cached state when another process
// changed the file.  Does nothing for an exclusive handle or while a
// file-state lock is kept across calls.
void refreshFile(IsFile *f);

// Takes the file-state lock for the call (lock/islock.h).
void lockForCall(IsFile *f, CallLock lock);

// Turns the exception in flight into the C result: stores 116 for an
// allocation failure, 105 for anything unexpected.  Only in a catch block.
void settleException(IsFile *f) noexcept;

// Failure value of an exported call: 0, or null for calls returning a handle.
template <class R>
constexpr R failureOf() {
    if constexpr (std::is_pointer_v<R>) {
        return nullptr;
    } else {
        return R{0};
    }
}

// Runs `work` so that nothing escapes into the host.
template <class Work>
auto guardedCall(IsFile *f, Work &&work) noexcept -> decltype(work()) {
    using R = decltype(work());
    try {
        return work();
    } catch (const IsamRaise &) {
        return failureOf<R>();  // raiseError has stored the error
    } catch (...) {
        settleException(f);
        return failureOf<R>();
    }
}

// Runs an exported call that works on a handle without the call frame (no
// error state cleared, no lock, no refresh): refuses a null (errno 101) or
// unknown (errno 105) handle, and keeps any raise inside the library.
template <class Work>
auto unframedCall(IsFile *f, Work &&work) noexcept -> decltype(work()) {
    using R = decltype(work());
    if (f == nullptr) {
        errno = kErrNotOpen;
        return failureOf<R>();
    }
    if (!isKnownHandle(f)) {
        errno = kErrCorrupt;
        return failureOf<R>();
    }
    return guardedCall(f, work);
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

// Ends a framed call that succeeded: releases the file-state lock taken by
// lockForCall (performing the deferred work).
void finishCall(IsFile *f, CallLock lock);

// The whole frame around `work`.
template <class Work>
auto framedCall(IsFile *f, int32_t access, CallLock lock, Work &&work) noexcept
    -> decltype(work()) {
    using R = decltype(work());
    if (!enterCall(f, access)) return failureOf<R>();
    ArmedFrame armed(f);
    return guardedCall(f, [&]() -> R {
        lockForCall(f, lock);
        if (lock != CallLock::none) refreshFile(f);
        R result = work();
        finishCall(f, lock);
        return result;
    });
}


}  // namespace wisam
