// layer: records
// ischange.cpp - checks and the final writes shared by the changing calls.
#include "records/ischange.h"

#include <cstring>

#include "frame/iserror.h"
#include "frame/isfile.h"
#include "frame/ismemory.h"
#include "index/isfree.h"
#include "index/isgrow.h"
#include "index/iskey.h"
#include "index/ispath.h"
#include "lock/iscustom.h"
#include "lock/isrecord.h"
#include "records/isslot.h"
#include "structure/isdict.h"
#include "txn/iswriters.h"
#include "varlen/isvarlen.h"
#include "wisam.h"

namespace wisam {

void finishChange(IsFile *f, int32_t index) {
    pathFlush(f, index);
    freeListFlush(f);
    writeDictionary(f);
}

bool excludedByMask(const IsFile *f, uint32_t mask, int32_t index) {
    return (f->mode & kModeIndexMask) != 0 && (mask >> index & 1u) != 0;
}

void checkChangeable(IsFile *f, int32_t record) {
    if ((f->state & kStateLockCheck) != 0 && !holdsRecordLock(f, record)) {
        raiseError(f, kErrNoCurrent, 0, '3');
    }
    if (record >= 1 && !lockTest(f, record)) raiseError(f, kErrLocked, 0);
    readSlot(f, nullptr, record);
    if (f->recordBuffer[f->recordLength] == kSlotMarkerDeleted) raiseError(f, kErrNoCurrent, 0, '3');
}

uint32_t findByPrimaryKey(IsFile *f, const void *image) {
    if (f->keyCount == 0 || (f->indexes[0]->key.flags & ISKEY_DUPS) != 0) {
        raiseError(f, kErrNoPrimary, 0);
    }
    if (image == nullptr) raiseError(f, kErrBadArgument, 0);
    TreePath *path = f->indexes[0];
    uint8_t *key = path->scratch.walkKey;
    path->compareLength = path->keyLength;
    makeKey(path, key, image);
    if (pathIndexEmpty(f, path) || !treeFindGE(f, path, key) || !keysEqual(path, path->head->key, key)) {
        raiseError(f, kErrNotFound, 0, '3');
    }
    return path->head->pointer;
}

void checkCurrentKeyEntry(IsFile *f) {
    TreePath *path = f->keyCount > 0 ? f->indexes[0] : nullptr;
    if (path == nullptr || pathIndexEmpty(f, path) || !treeCheckCurrent(f, path) ||
        !keysEqual(path, path->head->key, path->currentKey)) {
        raiseError(f, kErrNoCurrent, 0, '3');
    }
}

void insertKeys(IsFile *f, const void *record, uint32_t recnum) {
    uint8_t key[kMaxKeyBytes];
    for (int32_t i = 0; i < f->keyCount; ++i) {
        if (excludedByMask(f, f->recordMask, i)) continue;
        TreePath *path = f->indexes[i];
        path->compareLength = path->keyLength;
        makeKey(path, key, record);
        if (isNullKey(path, key)) continue;
        insertKey(f, path, key, recnum);
    }
}

OldRecord::OldRecord(IsFile *f) {
    if (!logRecords(f)) return;
    const bool variable = (f->mode & kModeVarLength) != 0;
    bytes_ = static_cast<uint8_t *>(allocZeroed(f, static_cast<size_t>(variable ? f->maxRecordLength : f->recordLength)));
    std::memcpy(bytes_, f->recordBuffer, static_cast<size_t>(f->recordLength));
    length_ = f->recordLength;
    if (!variable) return;
    const int32_t reclen = f->reclen;
    try {
        varlenLoad(f, bytes_);
    } catch (...) {
        f->reclen = reclen;
        bytes_ = freeBlock(bytes_);
        throw;
    }
    length_ = f->reclen;
    f->reclen = reclen;
}

OldRecord::~OldRecord() { bytes_ = freeBlock(bytes_); }

void checkRecordLength(IsFile *f) {
    if ((f->mode & kModeVarLength) == 0) return;
    if (f->reclen > f->maxRecordLength) raiseError(f, kErrRowTooBig, 0);
    if (f->reclen < f->recordLength) raiseError(f, kErrBadArgument, 0);
}

}  // namespace wisam
