// layer: api
// api.cpp - the exported calls of the file-structure family: building,
// opening, closing, erasing and renaming files, their lock modes, and the
// user information of the dictionary.
#include <cerrno>
#include <cstring>

#include "frame/iscall.h"
#include "frame/iserror.h"
#include "frame/isfile.h"
#include "frame/ishandles.h"
#include "lock/islock.h"
#include "lock/issession.h"
#include "structure/isdict.h"
#include "structure/isinfo.h"
#include "structure/islife.h"

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

using namespace wisam;

extern "C" {

WISAM_API IsFile *isBuild(const char16_t *name, int recordLength, int maxRecordLength,
                          KeyDesc *key, int mode) {
    ExportedCall call;
    if (!call.admitted()) return refuseNotAdmitted<IsFile *>();
    return buildHandle(name, recordLength, maxRecordLength, key, static_cast<uint32_t>(mode));
}

WISAM_API IsFile *isOpen(const char16_t *name, int mode) {
    ExportedCall call;
    if (!call.admitted()) return refuseNotAdmitted<IsFile *>();
    return openHandle(name, static_cast<uint32_t>(mode));
}

// Closing a handle the table does not know would free it twice: refused.
WISAM_API int isClose(IsFile *f) {
    ExportedCall call(f, f == nullptr ? Reach::none : Reach::process);  // a null one is refused unlocked
    if (!call.admitted()) return refuseNotAdmitted<int>();
    if (!usableHandle(f)) return 0;
    return closeFile(f);
}

WISAM_API int isSetMode(IsFile *f, int lockMode) {
    return framedCall(f, kAccessAny, CallLock::shared, [&] { return setLockMode(f, lockMode); });
}

WISAM_API int isLockCheck(IsFile *f, int on) {
    return framedCall(f, kAccessAny, CallLock::none, [&] { return setLockCheck(f, on); });
}

WISAM_API int isPrecious(IsFile *f, int on) {
    return framedCall(f, kAccessChange, CallLock::exclusive, [&] { return setPrecious(f, on); });
}

WISAM_API int isErase(const char16_t *name) {
    ExportedCall call;
    if (!call.admitted()) return refuseNotAdmitted<int>();
    return eraseFiles(name);
}

}  // extern "C"

namespace {

// The information calls work on a handle of any access mode: they enter as
// a reading call and, when that is refused or fails, once more as a
// changing call.
template <class Work>
int inAnyAccessMode(IsFile *f, Work &&work) {
    ExportedCall call(f);
    if (!call.admitted()) return refuseNotAdmitted<int>();
    if (framedCall(f, kAccessRead, CallLock::shared, work)) return 1;
    if (f == nullptr || !isKnownHandle(f)) return 0;
    return framedCall(f, kAccessChange, CallLock::shared, work);
}

}  // namespace

extern "C" {

WISAM_API int isIsamInfo(IsFile *f, IsamInfo *info) {
    return inAnyAccessMode(f, [&] { return isamInfo(f, info); });
}

WISAM_API int isIndexInfo(IsFile *f, void *buffer, int index) {
    return inAnyAccessMode(f, [&] { return indexInfo(f, buffer, index); });
}

WISAM_API int isRename(const char16_t *oldName, const char16_t *newName) {
    ExportedCall call;
    if (!call.admitted()) return refuseNotAdmitted<int>();
    return renameFiles(oldName, newName);
}

}  // extern "C"
