// api.cpp - the exported calls of the file-structure family.
#include <cstring>

#include "frame/iscall.h"
#include "frame/iserror.h"
#include "frame/isfile.h"
#include "lock/islock.h"
#include "structure/isdict.h"

namespace wisam {
namespace {

constexpr int kUserInfoRead = 0;
constexpr int kUserInfoWrite = 1;
constexpr size_t kUserInfoSize = 10;

int userInfo(IsFile *f, int operation, void *area) {
    if (area == nullptr || (operation != kUserInfoRead && operation != kUserInfoWrite)) {
        raiseError(f, kErrBadArgument, 0);
    }
    if (operation == kUserInfoRead) {
        lockShared(f);
    } else {
        lockExclusive(f);
    }
    // Re-read through the refresh, so that a change by another process also
    // empties this handle's caches (and a write never stores stale heads).
    if (f->dictionary == nullptr) {
        readDictionary(f);
    } else {
        refreshFile(f);
    }
    if (operation == kUserInfoRead) {
        std::memcpy(area, f->dictionary + kDictUserInfo, kUserInfoSize);
    } else {
        std::memcpy(f->dictionary + kDictUserInfo, area, kUserInfoSize);
        writeDictionary(f);
    }
    unlockState(f);
    return 1;
}

}  // namespace
}  // namespace wisam

// Reads (0) or writes (1) the 10 bytes of user information kept in the
// dictionary.  Any access mode; the call takes the file-state lock itself.
extern "C" WISAM_API int isUserInfo(IsFile *f, int operation, void *area10) {
    using namespace wisam;
    return framedCall(f, kAccessAny, CallLock::none,
                      [&] { return userInfo(f, operation, area10); });
}
