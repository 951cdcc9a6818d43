// layer: api
// api.cpp - the exported record calls: writing, reading and positioning,
// deleting, rewriting, slots, the highest record number, the ordering index
// and the saved position.
#include <cstring>

#include "frame/iscall.h"
#include "frame/iserror.h"
#include "frame/isfile.h"
#include "records/isposition.h"
#include "records/isrecords.h"
#include "records/isslot.h"
#include "structure/isdict.h"
#include "varlen/isvarlen.h"

using namespace wisam;

namespace {

int readData(IsFile *f, void *destination, int32_t record) {
    if (destination == nullptr || !recordExists(f, record)) raiseError(f, kErrBadArgument, 0);
    readSlot(f, nullptr, record);
    if (f->recordBuffer[f->recordLength] == kSlotMarkerDeleted) raiseError(f, kErrNotFound, 0, '3');
    std::memcpy(destination, f->recordBuffer, static_cast<size_t>(f->recordLength));
    f->recordMask = recordMaskOf(f);
    if ((f->mode & kModeVarLength) != 0) varlenLoad(f, static_cast<uint8_t *>(destination));
    return 1;
}

int selectIndex(IsFile *f, int index) {
    if (index < 0 || index > f->keyCount) raiseError(f, kErrBadKey, 0);
    f->currentIndex = index == 0 ? f->keyCount : index - 1;
    return 1;
}

}  // namespace

extern "C" {

WISAM_API int isGetLastRec(IsFile *f, int32_t *recnum) {
    return framedCall(f, kAccessRead, CallLock::shared, [&] {
        if (recnum == nullptr) raiseError(f, kErrBadArgument, 0);
        *recnum = static_cast<int32_t>(f->dataAlloc.highest);
        return 1;
    });
}

// Moves the highest record number.  A negative number would put later
// slots at offsets no data file can have, so it is refused.
WISAM_API int isSetLastRec(IsFile *f, int32_t recnum) {
    return framedCall(f, kAccessChange, CallLock::exclusive, [&] {
        if (recnum < 0) raiseError(f, kErrBadArgument, 0);
        f->dataAlloc.highest = static_cast<uint32_t>(recnum);
        writeDictionary(f);
        return 1;
    });
}

// Reserves the next record number; its slot is not written.
WISAM_API int isLastRec(IsFile *f, int32_t *recnum) {
    return framedCall(f, kAccessChange, CallLock::exclusive, [&] {
        if (recnum == nullptr) raiseError(f, kErrBadArgument, 0);
        *recnum = static_cast<int32_t>(++f->dataAlloc.highest);
        writeDictionary(f);
        return 1;
    });
}

// Reads a slot by number without locking, refreshing or moving the
// position.
WISAM_API int isData(IsFile *f, void *record, int32_t recnum) {
    return framedCall(f, kAccessRead, CallLock::none, [&] { return readData(f, record, recnum); });
}

WISAM_API int isIndex(IsFile *f, int index) {
    return framedCall(f, kAccessRead, CallLock::none, [&] { return selectIndex(f, index); });
}

WISAM_API int isWrite(IsFile *f, const void *record) {
    return framedCall(f, kAccessChange, CallLock::exclusive, [&] { return writeNew(f, record); });
}

WISAM_API int isWrLock(IsFile *f, const void *record) {
    return framedCall(f, kAccessChange, CallLock::exclusive, [&] { return writeLocked(f, record); });
}

// Writes and makes the new record current, in one call: a positioning that
// fails fails the call, and the write is taken back with it.  The duplicate
// notice of the write stays.
WISAM_API int isWrCurr(IsFile *f, const void *record) {
    return framedCall(f, kAccessChange, CallLock::exclusive, [&] {
        if (writeWithRecords(f, record) == 0 || f->callAccess == 0) return 0;
        return gotoRecord(f, f->recnum);
    });
}

WISAM_API int isRead(IsFile *f, void *record, int mode) {
    return framedCall(f, kAccessRead, CallLock::shared, [&] { return readRecord(f, record, mode); });
}

WISAM_API int isStart(IsFile *f, KeyDesc *key, int keyLength, void *record, int mode) {
    return framedCall(f, kAccessRead, CallLock::shared,
                      [&] { return startAt(f, key, keyLength, record, mode); });
}

WISAM_API int isGoto(IsFile *f, int32_t recnum) {
    return framedCall(f, kAccessAny, CallLock::shared, [&] { return gotoRecord(f, recnum); });
}

// Saves the order and the current record; no frame.
WISAM_API int isPush(IsFile *f, int *index, int32_t *recnum) {
    return unframedCall(f, [&] { return savePosition(f, index, recnum); });
}

// Selects the order as isIndex does, then positions on the record as isGoto
// does (record number 0: the order only).
WISAM_API int isPop(IsFile *f, int index, int32_t recnum) {
    const int selected = framedCall(f, kAccessRead, CallLock::none, [&] { return selectIndex(f, index); });
    if (selected == 0 || recnum == 0) return selected;
    return framedCall(f, kAccessAny, CallLock::shared, [&] { return gotoRecord(f, recnum); });
}

WISAM_API int writeToCurRec(IsFile *f, const void *record) {
    return framedCall(f, kAccessChange, CallLock::none, [&] { return writeCurrentSlot(f, record); });
}

WISAM_API int isDelete(IsFile *f, const void *record) {
    return framedCall(f, kAccessChange, CallLock::exclusive, [&] { return deleteByKey(f, record); });
}

WISAM_API int isDelCurr(IsFile *f) {
    return framedCall(f, kAccessChange, CallLock::exclusive, [&] { return deleteCurrent(f); });
}

WISAM_API int isDelRec(IsFile *f, int32_t recnum) {
    return framedCall(f, kAccessChange, CallLock::exclusive, [&] { return deleteByNumber(f, recnum); });
}

WISAM_API int isRewrite(IsFile *f, const void *record) {
    return framedCall(f, kAccessChange, CallLock::exclusive, [&] { return rewriteByKey(f, record); });
}

WISAM_API int isRewCurr(IsFile *f, const void *record) {
    return framedCall(f, kAccessChange, CallLock::exclusive, [&] { return rewriteCurrent(f, record); });
}

WISAM_API int isRewRec(IsFile *f, int32_t recnum, const void *record) {
    return framedCall(f, kAccessChange, CallLock::exclusive,
                      [&] { return rewriteByNumber(f, recnum, record); });
}

// Rewrites the current record and moves to the next one: the advance runs as
// a reading call, the rewrite as a changing call, so another process may
// change the file in between.  0 with 110 when there is no next record (the
// rewrite is still done).
WISAM_API int isRewNxt(IsFile *f, const void *record) {
    if (!isKnownHandle(f)) return framedCall(f, kAccessChange, CallLock::none, [] { return 1; });
    const int32_t current = currentRecordNumber(f);
    bool advanced = false;
    const int entered = framedCall(f, kAccessRead, CallLock::shared, [&] {
        advanced = positionRecord(f, nullptr, modeNext);
        return 1;
    });
    if (entered == 0) return 0;
    const int rewritten = framedCall(f, kAccessChange, CallLock::exclusive,
                                     [&] { return rewriteAt(f, current, record); });
    if (rewritten == 0) return 0;
    if (!advanced) {
        f->errorNumber = kErrEndOfFile;
        return 0;
    }
    return 1;
}

}  // extern "C"
