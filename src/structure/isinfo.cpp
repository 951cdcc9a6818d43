// layer: structure/life
// isinfo.cpp - the file summary and key descriptions of the information
// calls.
#include "structure/isinfo.h"

#include <cstring>

#include "frame/iserror.h"
#include "frame/isfile.h"
#include "index/isfree.h"
#include "index/ispath.h"
#include "wisam.h"

namespace wisam {

namespace {

void summarize(IsFile *f, IsamInfo *info) {
    const bool noPrimary = (f->state & kStateNoPrimaryKey) != 0;
    const int32_t onFreeList = f->dataAlloc.head != 0 ? freeListCount(f, kFreeListData) : 0;
    info->indexCount = static_cast<int16_t>(f->keyCount + (noPrimary ? 1 : 0));
    info->recordSize = static_cast<int16_t>(f->maxRecordLength != 0 ? f->maxRecordLength : f->recordLength);
    info->blockSize = static_cast<int16_t>(f->nodeSize);
    info->recordCount = static_cast<int32_t>(f->dataAlloc.highest) - onFreeList;
}

}  // namespace

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

int isamInfo(IsFile *f, IsamInfo *info) {
    if (info == nullptr) raiseError(f, kErrBadArgument, 0);
    summarize(f, info);
    if ((f->mode & kModeVarLength) != 0) f->reclen = f->recordLength;
    return 1;
}

}  // namespace wisam
