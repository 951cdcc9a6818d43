// layer: records
// iswrite.cpp - adding records: isWrite, isWrLock, isWrCurr.
//
// Every change of a write (keys in every index, the record number taken
// from the free list) is made in the handle's cached nodes and free-list
// blocks, which reach the file only at the end, together with the slot and
// the dictionary.  A raise before that (a duplicate in the third index, an
// I/O error) drops the cached changes: the files stay as they were.
#include <cstring>

#include "frame/iserror.h"
#include "frame/isfile.h"
#include "index/isfree.h"
#include "index/isgrow.h"
#include "index/iskey.h"
#include "index/ispath.h"
#include "lock/isrecord.h"
#include "records/ischange.h"
#include "records/isrecords.h"
#include "records/isslot.h"
#include "txn/iswriters.h"
#include "varlen/isvarlen.h"
#include "wisam.h"

using namespace wisam;

namespace {

// The "IN" record of a logged file, with the lock a transaction keeps on
// the record it inserted; a failed append gives that lock back.
void logInsert(IsFile *f, int32_t recnum, const void *record) {
    const bool locked = lockForTransaction(f, recnum);
    try {
        // A variable-length record is logged as the caller gave it.
        const bool variable = (f->mode & kModeVarLength) != 0;
        logInserted(f, recnum, record, variable ? f->reclen : f->recordLength);
    } catch (...) {
        if (locked) unlockRecord(f, recnum);
        throw;
    }
}

int32_t writeRecord(IsFile *f, const void *record, bool holdLock) {
    checkRecordLength(f);
    checkLogRoom(f, (f->mode & kModeVarLength) != 0 ? f->reclen : f->recordLength);
    const uint32_t recnum = freeListTake(f, kFreeListData);
    insertKeys(f, record, recnum);
    if ((f->mode & kModeVarLength) != 0) varlenStore(f, record);
    if (holdLock) lockRecord(f, static_cast<int32_t>(recnum), true);
    f->recnum = static_cast<int32_t>(recnum);
    writeSlot(f, record, f->recnum);
    finishChange(f, f->keyCount);
    if (holdLock) unlockRecord(f, f->recnum);
    logInsert(f, f->recnum, record);
    return 1;
}

// A file without data file is a pure index: one key, with the record
// number the caller set with isSetrec.
int writeKeyOnly(IsFile *f, const void *record) {
    if (f->keyCount == 0) raiseError(f, kErrNoPrimary, 0);
    TreePath *path = f->indexes[0];
    uint8_t key[kMaxKeyBytes];
    path->compareLength = path->keyLength;
    makeKey(path, key, record);
    insertKey(f, path, key, static_cast<uint32_t>(f->recnum));
    finishChange(f, 0);
    return 1;
}

int write(IsFile *f, const void *record, bool holdLock) {
    if (record == nullptr) raiseError(f, kErrBadArgument, 0);
    if (f->recordLength == 0) return writeKeyOnly(f, record);
    return writeRecord(f, record, holdLock);
}

}  // namespace

namespace wisam {

int writeNew(IsFile *f, const void *record) { return write(f, record, false); }

int writeWithRecords(IsFile *f, const void *record) {
    if (f->recordLength == 0) raiseError(f, kErrBadArgument, 0);
    return write(f, record, false);
}

// The new record's lock is held while it is written and released again at
// the end of the call.
int writeLocked(IsFile *f, const void *record) {
    if (f->recordLength == 0) raiseError(f, kErrBadArgument, 0);
    f->state |= kStateWriteLocking;
    try {
        write(f, record, true);
    } catch (...) {
        f->state &= static_cast<uint16_t>(~kStateWriteLocking);
        throw;
    }
    f->state &= static_cast<uint16_t>(~kStateWriteLocking);
    return 1;
}

}  // namespace wisam
