// layer: records
// isdelete.cpp - removing records: isDelete, isDelCurr, isDelRec.
//
// The record delete, in order: the checks (ischange.h), the record's key out
// of every index it is in, the slot marked deleted, the record lock
// released, the number given back to the data free list, then the final
// writes.  A delete leaves recnum and position as they were.
#include "frame/iserror.h"
#include "frame/isfile.h"
#include "index/isfree.h"
#include "index/iskey.h"
#include "index/ispath.h"
#include "index/isshrink.h"
#include "lock/isrecord.h"
#include "records/ischange.h"
#include "records/isposition.h"
#include "records/isrecords.h"
#include "records/isslot.h"
#include "txn/iswriters.h"
#include "varlen/isvarlen.h"
#include "wisam.h"

using namespace wisam;

namespace {

void deleteRecord(IsFile *f, int32_t record) {
    checkChangeable(f, record);
    const OldRecord old(f);
    checkLogRoom(f, old.length());
    const uint32_t mask = recordMaskOf(f);
    uint8_t key[kMaxKeyBytes];
    for (int32_t i = 0; i < f->keyCount; ++i) {
        if (excludedByMask(f, mask, i)) continue;
        TreePath *path = f->indexes[i];
        path->compareLength = path->keyLength;
        makeKey(path, key, f->recordBuffer);
        if (isNullKey(path, key)) continue;
        deleteKey(f, path, key, static_cast<uint32_t>(record));
    }
    if ((f->mode & kModeVarLength) != 0) varlenRelease(f);
    markDeleted(f, record);
    unlockRecord(f, record);
    freeListPut(f, kFreeListData, static_cast<uint32_t>(record));
    finishChange(f, f->keyCount);
    if (old.bytes() != nullptr) logDeleted(f, record, old.bytes(), old.length());
}

// Key-only files: the entry the primary path stands on goes.
void deleteKeyEntry(IsFile *f) {
    deleteKey(f, f->indexes[0], nullptr, 0);
    finishChange(f, 0);
}

}  // namespace

namespace wisam {

int deleteByKey(IsFile *f, const void *image) {
    const uint32_t record = findByPrimaryKey(f, image);
    if (f->recordLength == 0) {
        deleteKeyEntry(f);
    } else {
        deleteRecord(f, static_cast<int32_t>(record));
    }
    return 1;
}

int deleteCurrent(IsFile *f) {
    if ((f->state & kStateStartedAtEnd) != 0) raiseError(f, kErrNoCurrent, 0, '3');
    if (f->recordLength != 0) {
        deleteRecord(f, currentRecordNumber(f));
        return 1;
    }
    checkCurrentKeyEntry(f);
    deleteKeyEntry(f);
    return 1;
}

int deleteByNumber(IsFile *f, int32_t record) {
    if (f->recordLength == 0) raiseError(f, kErrBadArgument, 0);
    deleteRecord(f, record);
    return 1;
}

}  // namespace wisam
