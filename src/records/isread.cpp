// layer: records
// isread.cpp - isRead, isStart, isGoto and the saved-position calls.
//
// A reading call never waits for a record lock while it holds its
// file-state lock: the holder of the record lock needs the exclusive
// file-state lock for its next change.  A read that may wait releases the
// state lock, waits for the record, lets it go, and starts again.
#include <cerrno>
#include <cstring>

#include "frame/iscorrupt.h"
#include "frame/iserror.h"
#include "frame/isfile.h"
#include "index/iscomp.h"
#include "index/iskey.h"
#include "index/ispath.h"
#include "lock/islock.h"
#include "lock/isrecord.h"
#include "lock/issession.h"
#include "records/isposition.h"
#include "records/isrecords.h"
#include "records/isslot.h"
#include "structure/iskeydesc.h"
#include "varlen/isvarlen.h"
#include "wisam.h"

using namespace wisam;

namespace {

constexpr int kReadModeMask = 0xFF;

bool hasState(const IsFile *f, uint16_t bit) { return (f->state & bit) != 0; }
void setState(IsFile *f, uint16_t bit, bool on) {
    f->state = on ? static_cast<uint16_t>(f->state | bit) : static_cast<uint16_t>(f->state & ~bit);
}

// The error of a failed positioning, by the read mode the caller asked for.
// Running off an end and missing a key are everyday outcomes of a read: they
// end the call without unwinding (failCall), and the caller returns the 0 at
// once.
int failNotPositioned(IsFile *f, int mode) {
    if (mode <= modePrev) {
        if (mode == modeNext) setState(f, kStatePrevReadsCurrent, true);
        if (mode == modePrev) setState(f, kStateNextReadsCurrent, true);
        return failCall(f, kErrEndOfFile, 0, '6');
    }
    if (mode == modeCurrent) return failCall(f, kErrNoCurrent, 0, '3');
    return failCall(f, kErrNotFound, 0, '3');
}

[[noreturn]] void raiseNotPositioned(IsFile *f, int mode) {
    failNotPositioned(f, mode);
    throw IsamRaise{f->errorNumber};
}

// Next and previous that return the current entry once (after open, a
// start, or running off the other end).
int effectiveMode(IsFile *f, int mode) {
    const bool nextCurrent = mode == modeNext && hasState(f, kStateNextReadsCurrent);
    const bool prevCurrent = mode == modePrev && hasState(f, kStatePrevReadsCurrent);
    if (!nextCurrent && !prevCurrent) return mode;
    const TreePath *path = currentPath(f);
    if (path != nullptr && path->currentRecord == 0 && f->recordLength != 0) {
        return nextCurrent ? modeFirst : modeLast;
    }
    return modeCurrent;
}

// The lock test of a read with lock flags.  True when the read may go on;
// false when it waited for the record and must position again.
bool lockForRead(IsFile *f, int flags) {
    const int32_t record = f->recnum;
    if (lockRecord(f, record, false)) {
        if ((flags & readLock) == 0) unlockRecord(f, record);
        return true;
    }
    if ((flags & readWait) == 0) raiseError(f, kErrLocked, 0);
    unlockState(f);
    if (lockRecord(f, record, true)) unlockRecord(f, record);
    lockShared(f);
    refreshFile(f);
    return false;
}

// Reading on through an index visits the data slots in key order, which is
// no order of the data file.  While the caller works on this record, the
// slot kTagsAhead entries on has its cache tags fetched and the slot
// kBytesAhead entries on, whose tags an earlier read fetched, its bytes: a
// read takes less time than a memory fetch, so the hints run some records
// ahead of it.
constexpr int32_t kTagsAhead = 4;
constexpr int32_t kBytesAhead = 2;

void prefetchAhead(const IsFile *f, const TreePath *path, int mode) {
    const int32_t direction = mode == modeNext || mode == modeFirst ? 1 : mode == modePrev || mode == modeLast ? -1 : 0;
    const PathNode *leaf = path->head;
    if (direction == 0 || leaf == nullptr || leaf->state == kNodeUnread || leaf->level != 0) return;
    prefetchSlot(f, plainPointerAhead(path, leaf, kTagsAhead * direction), false);
    prefetchSlot(f, plainPointerAhead(path, leaf, kBytesAhead * direction), true);
}

void deliver(IsFile *f, void *record, int mode) {
    TreePath *path = currentPath(f);
    if (f->recordLength == 0) {
        keyToRecord(f->indexes[0], record);
    } else {
        if (path != nullptr) {
            // An entry naming a record the data file does not hold is a
            // damaged leaf, not a missing current record.
            if (!recordExists(f, f->recnum)) raiseCorruptBlock(f, path->head->number);
            readSlot(f, nullptr, f->recnum);
            prefetchAhead(f, path, mode);
        }
        std::memcpy(record, f->recordBuffer, static_cast<size_t>(f->recordLength));
        f->recordMask = recordMaskOf(f);
    }
    f->reclen = f->recordLength;
    if ((f->mode & kModeVarLength) != 0) varlenLoad(f, static_cast<uint8_t *>(record));
}

// Index order: a following entry with a serial above 0 has the same key as
// the record read; say so in isstat2 and isstat4.
void duplicateNotice(IsFile *f) {
    TreePath *path = currentPath(f);
    // Only an index with duplicates has serials above 0.
    if (path == nullptr || (path->key.flags & ISKEY_DUPS) == 0) return;
    bool duplicate = false;
    const PathNode *leaf = path->head;
    uint64_t serial = 0;
    if (leaf != nullptr && leaf->state != kNodeUnread && leaf->level == 0 &&
        serialAfterCursor(f, path, leaf, serial)) {
        // The following entry lies in the leaf the path stands in.
        duplicate = serial > 0;
    } else {
        if (!positionRecord(f, nullptr, modeNext)) return;
        duplicate = path->currentSerial > 0;
        positionRecord(f, nullptr, modePrev);
    }
    if (!duplicate) return;
    noteDuplicate(f, '2');
}

}  // namespace

namespace wisam {

int readRecord(IsFile *f, void *record, int modeWord) {
    const int mode = modeWord & kReadModeMask;
    int flags = modeWord & ~kReadModeMask;
    if (flags != 0 && f->recordLength == 0) raiseError(f, kErrBadArgument, 0);
    if (record == nullptr) raiseError(f, kErrBadArgument, 0);
    if ((f->mode & kModeAutoLock) != 0) {
        unlockAll(f);
        flags = readLock | (flags & readWait);
    }
    if (TreePath *path = currentPath(f)) {
        const bool partial = mode > modeCurrent && path->partialLength != 0;
        path->compareLength = partial ? path->partialLength : path->keyLength;
    }
    int effective = effectiveMode(f, mode);
    for (;;) {
        if (!positionRecord(f, record, effective)) return failNotPositioned(f, mode);
        if (flags == 0 || lockForRead(f, flags)) break;
        if (effective == modeNext || effective == modePrev) effective = modeCurrent;
    }
    setState(f, kStateNextReadsCurrent | kStatePrevReadsCurrent | kStateStartedAtEnd, false);
    deliver(f, record, effective);
    duplicateNotice(f);
    return 1;
}

// Selects the index a start names and sets its partial key length.
static void selectForStart(IsFile *f, const KeyDesc *key, int keyLength) {
    if (key != nullptr) {
        const int32_t index = findIndex(f, *key);
        if (index < 0) raiseError(f, kErrBadKey, 0);
        f->currentIndex = index;
    }
    TreePath *path = currentPath(f);
    if (path == nullptr) return;  // record-number order has no key length to set
    if (keyLength < 0 || keyLength > path->keyLength) raiseError(f, kErrBadArgument, 0);
    path->partialLength = keyLength == 0 ? path->keyLength : keyLength;
    path->compareLength = path->partialLength;
}

int startAt(IsFile *f, const KeyDesc *key, int keyLength, const void *record, int mode) {
    if (mode < 0 || mode > modeGreaterEqual) raiseError(f, kErrBadArgument, 0);
    if ((f->mode & kModeAutoLock) != 0) unlockAll(f);
    selectForStart(f, key, keyLength);
    if (mode == modeNext || mode == modePrev || mode == modeCurrent) {
        positionOnRecord(f, currentRecordNumber(f));
    }
    const int effective = effectiveMode(f, mode);
    const bool positioned = positionRecord(f, record, effective);
    if (!positioned && mode != modeFirst && mode != modeLast) raiseNotPositioned(f, mode);
    setState(f, kStateNextReadsCurrent, mode != modeNext);
    setState(f, kStatePrevReadsCurrent, mode == modeLast);
    setState(f, kStateStartedAtEnd, mode == modeFirst || mode == modeLast);
    return 1;
}

int gotoRecord(IsFile *f, int32_t recnum) {
    if ((f->mode & kModeAutoLock) != 0) unlockAll(f);
    if (!positionOnRecord(f, recnum)) raiseError(f, kErrNotFound, 0, '3');
    return 1;
}

int savePosition(IsFile *f, int *index, int32_t *recnum) {
    if (index != nullptr) *index = f->currentIndex == f->keyCount ? 0 : f->currentIndex + 1;
    if (recnum != nullptr) *recnum = f->recnum;
    return 1;
}

int writeCurrentSlot(IsFile *f, const void *record) {
    if (record == nullptr || f->recordLength == 0) raiseError(f, kErrBadArgument, 0);
    const int32_t current = currentRecordNumber(f);
    if (current < 1 || static_cast<uint32_t>(current) > f->dataAlloc.highest) {
        raiseError(f, kErrNoCurrent, 0, '3');
    }
    // The slot keeps its own reference to its variable part, whatever slot
    // the record buffer held last.
    if ((f->mode & kModeVarLength) != 0) readSlot(f, nullptr, current);
    writeSlot(f, record, current);
    return 1;
}

}  // namespace wisam
