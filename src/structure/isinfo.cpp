// isinfo.cpp - the information calls isIsamInfo and isIndexInfo.
//
// Both work on a handle of any access mode: they enter as a reading call
// and, when that is refused or fails, once more as a changing call.
#include <cstring>

#include "frame/iscall.h"
#include "frame/iserror.h"
#include "frame/isfile.h"
#include "index/isfree.h"
#include "index/ispath.h"
#include "wisam.h"

using namespace wisam;

namespace {

void summarize(IsFile *f, IsamInfo *info) {
    const bool noPrimary = (f->state & kStateNoPrimaryKey) != 0;
    const int32_t onFreeList = f->dataAlloc.head != 0 ? freeListCount(f, kFreeListData) : 0;
    info->indexCount = static_cast<int16_t>(f->keyCount + (noPrimary ? 1 : 0));
    info->recordSize = static_cast<int16_t>(f->maxRecordLength != 0 ? f->maxRecordLength : f->recordLength);
    info->blockSize = static_cast<int16_t>(f->nodeSize);
    info->recordCount = static_cast<int32_t>(f->dataAlloc.highest) - onFreeList;
}

int indexInfo(IsFile *f, void *buffer, int index) {
    const bool noPrimary = (f->state & kStateNoPrimaryKey) != 0;
    const int last = f->keyCount + (noPrimary ? 1 : 0);
    if (buffer == nullptr || index < 0 || index > last) raiseError(f, kErrBadArgument, 0);
    f->reclen = f->recordLength;
    if (index == 0) {
        summarize(f, static_cast<IsamInfo *>(buffer));
        return 1;
    }
    if (noPrimary && index == 1) {
        static_cast<KeyDesc *>(buffer)->partCount = 0;
        return 1;
    }
    const KeyDesc &held = f->indexes[index - (noPrimary ? 2 : 1)]->key;
    std::memcpy(buffer, &held, sizeof held);
    return 1;
}

// Runs `work` as a reading call, and again as a changing call when the
// first entry is refused or the first run fails.
template <class Work>
int inAnyAccessMode(IsFile *f, Work &&work) {
    if (framedCall(f, kAccessRead, CallLock::shared, work)) return 1;
    if (f == nullptr || !isKnownHandle(f)) return 0;
    return framedCall(f, kAccessChange, CallLock::shared, work);
}

}  // namespace

extern "C" {

WISAM_API int isIsamInfo(IsFile *f, IsamInfo *info) {
    return inAnyAccessMode(f, [&] {
        if (info == nullptr) raiseError(f, kErrBadArgument, 0);
        summarize(f, info);
        if ((f->mode & kModeVarLength) != 0) f->reclen = f->recordLength;
        return 1;
    });
}

WISAM_API int isIndexInfo(IsFile *f, void *buffer, int index) {
    return inAnyAccessMode(f, [&] { return indexInfo(f, buffer, index); });
}

}  // extern "C"
