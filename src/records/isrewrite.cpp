// layer: records
// isrewrite.cpp - replacing records: isRewrite, isRewCurr, isRewRec,
// isRewNxt.
//
// The record rewrite moves only the keys that changed (a difference the
// collation ignores is no change).  Before the first change every index
// without duplicates is asked whether the new key belongs to another
// record, so that 100 "Duplicate record" leaves the files untouched.
#include <cstring>

#include "frame/iserror.h"
#include "frame/isfile.h"
#include "index/isgrow.h"
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

// What one index needs for a rewrite.
struct KeyMove {
    bool hadEntry;
    bool getsEntry;
    bool changed;
};

KeyMove planMove(IsFile *f, TreePath *path, int32_t index, uint32_t oldMask, const uint8_t *oldKey,
                 const uint8_t *newKey) {
    KeyMove move{};
    move.hadEntry = !excludedByMask(f, oldMask, index) && !isNullKey(path, oldKey);
    move.getsEntry = !excludedByMask(f, f->recordMask, index) && !isNullKey(path, newKey);
    move.changed = compareKeys(path, oldKey, newKey) != 0;
    return move;
}

bool moves(const KeyMove &move) {
    return move.getsEntry && (!move.hadEntry || move.changed);
}

// Another record holding the new key in an index without duplicates.
void checkUnique(IsFile *f, TreePath *path, const uint8_t *newKey, uint32_t record) {
    if ((path->key.flags & ISKEY_DUPS) != 0 || pathIndexEmpty(f, path)) return;
    if (treeFindGE(f, path, newKey) && keysEqual(path, path->head->key, newKey) &&
        path->head->pointer != record) {
        raiseError(f, kErrDuplicate, 0);
    }
}

// The "UP" record of a logged file, with the lock a transaction keeps on
// the record it updated; a failed append gives that lock back.
void logUpdate(IsFile *f, int32_t record, const OldRecord &before, const void *after) {
    const bool locked = lockForTransaction(f, record);
    try {
        const bool variable = (f->mode & kModeVarLength) != 0;
        logUpdated(f, record, before.bytes(), before.length(), after, variable ? f->reclen : f->recordLength);
    } catch (...) {
        if (locked) unlockRecord(f, record);
        throw;
    }
}

void rewriteRecord(IsFile *f, int32_t record, const void *image) {
    if (image == nullptr) raiseError(f, kErrBadArgument, 0);
    checkRecordLength(f);
    checkChangeable(f, record);
    const bool variable = (f->mode & kModeVarLength) != 0;
    const OldRecord before(f);
    checkLogRoom(f, int64_t{before.length()} + (variable ? f->reclen : f->recordLength));
    const uint32_t oldMask = recordMaskOf(f);
    const uint32_t r = static_cast<uint32_t>(record);
    uint8_t oldKey[kMaxKeyBytes];
    uint8_t newKey[kMaxKeyBytes];
    for (int pass = 0; pass < 2; ++pass) {
        for (int32_t i = 0; i < f->keyCount; ++i) {
            TreePath *path = f->indexes[i];
            path->compareLength = path->keyLength;
            makeKey(path, oldKey, f->recordBuffer);
            makeKey(path, newKey, image);
            const KeyMove move = planMove(f, path, i, oldMask, oldKey, newKey);
            if (pass == 0) {
                if (moves(move)) checkUnique(f, path, newKey, r);
                continue;
            }
            if (move.hadEntry && (move.changed || !move.getsEntry)) deleteKey(f, path, oldKey, r);
            if (moves(move)) insertKey(f, path, newKey, r);
        }
    }
    if (variable) {
        varlenRelease(f);
        varlenStore(f, image);
    }
    writeSlot(f, image, record);
    f->recnum = record;
    finishChange(f, f->keyCount);
    if (before.bytes() != nullptr) logUpdate(f, record, before, image);
}

// Key-only files: the entry the primary path stands on takes the new key.
void rewriteKeyEntry(IsFile *f, const void *image, bool checkCurrent) {
    if (image == nullptr) raiseError(f, kErrBadArgument, 0);
    if (checkCurrent) checkCurrentKeyEntry(f);
    TreePath *path = f->indexes[0];
    uint8_t *key = path->scratch.separator;
    path->compareLength = path->keyLength;
    makeKey(path, key, image);
    if (compareKeys(path, key, path->head->key) != 0 ||
        path->head->pointer != static_cast<uint32_t>(f->recnum)) {
        deleteKey(f, path, nullptr, 0);
        insertKey(f, path, key, static_cast<uint32_t>(f->recnum));
    }
    finishChange(f, 0);
}

}  // namespace

namespace wisam {

int rewriteByKey(IsFile *f, const void *image) {
    if (f->recordLength == 0) raiseError(f, kErrBadArgument, 0);
    rewriteRecord(f, static_cast<int32_t>(findByPrimaryKey(f, image)), image);
    return 1;
}

int rewriteAt(IsFile *f, int32_t record, const void *image) {
    if (f->recordLength == 0) {
        rewriteKeyEntry(f, image, true);
    } else {
        rewriteRecord(f, record, image);
    }
    return 1;
}

int rewriteCurrent(IsFile *f, const void *image) {
    if ((f->state & kStateStartedAtEnd) != 0) raiseError(f, kErrNoCurrent, 0, '3');
    return rewriteAt(f, currentRecordNumber(f), image);
}

int rewriteByNumber(IsFile *f, int32_t record, const void *image) {
    if (f->recordLength == 0) raiseError(f, kErrBadArgument, 0);
    return rewriteAt(f, record, image);
}

}  // namespace wisam
