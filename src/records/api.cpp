// api.cpp - the exported record calls: slots, the highest record number,
// the ordering index and the saved position.
#include <cstring>

#include "frame/iscall.h"
#include "frame/iserror.h"
#include "frame/isfile.h"
#include "records/isslot.h"
#include "structure/isdict.h"

using namespace wisam;

namespace {

int readData(IsFile *f, void *destination, int32_t record) {
    if (destination == nullptr || !recordExists(f, record)) raiseError(f, kErrBadArgument, 0);
    readSlot(f, nullptr, record);
    if (f->recordBuffer[f->recordLength] == kSlotMarkerDeleted) raiseError(f, kErrNotFound, 0, '3');
    std::memcpy(destination, f->recordBuffer, static_cast<size_t>(f->recordLength));
    f->recordMask = recordMaskOf(f);
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

}  // extern "C"
