// layer: maint
// iscopy.cpp - isClone and isCopy.
#include "maint/iscopy.h"

#include <algorithm>
#include <cerrno>
#include <vector>

#include "frame/iscall.h"
#include "frame/iscorrupt.h"
#include "frame/iserror.h"
#include "frame/isfile.h"
#include "frame/ishandles.h"
#include "index/isfree.h"
#include "index/isindexes.h"
#include "index/ispath.h"
#include "records/ischange.h"
#include "records/isposition.h"
#include "records/isslot.h"
#include "structure/iskeydesc.h"
#include "structure/islife.h"
#include "varlen/isvarlen.h"

namespace wisam {

namespace {

// Dirty index nodes are written every so many records: often enough that
// the path's node cache stays small, seldom enough that a leaf filled in
// key order is written once per many records rather than once per record.
constexpr uint32_t kRecordsPerFlush = 64;

bool variable(const IsFile *f) { return (f->mode & kModeVarLength) != 0; }

// Closes and erases a clone that cannot be finished.
void abandonClone(IsFile *clone, const char16_t *name) {
    if (closeFile(clone) == 0) closeHandle(clone);
    eraseFiles(name);
}

void refuseCopy(IsFile *destination, IsFile *source) {
    const bool lengthsDiffer = source->recordLength != destination->recordLength;
    const bool partsLost = variable(source) && !variable(destination);
    if (source->recordLength == 0 || lengthsDiffer || partsLost) raiseError(destination, kErrBadArgument, 0);
}

// The record the source stands on into `buffer`: read by number in index
// order (an entry of a deleted record is damage), or the slot just read in
// record-number order.
void fetchRecord(IsFile *source, uint8_t *buffer) {
    if (currentPath(source) != nullptr) {
        readSlot(source, buffer, source->recnum);
        if (source->recordBuffer[source->recordLength] == kSlotMarkerDeleted) {
            raiseCorruptRecord(source, static_cast<uint32_t>(source->recnum));
        }
    } else {
        std::copy(source->recordBuffer, source->recordBuffer + source->recordLength, buffer);
    }
    if (variable(source)) {
        varlenLoad(source, buffer);
    } else {
        source->reclen = source->recordLength;
    }
}

void addOne(IsFile *destination, IsFile *source, uint8_t *buffer) {
    destination->recordMask = (source->mode & kModeIndexMask) != 0 ? recordMaskOf(source) : 0;
    const uint32_t recnum = freeListTake(destination, kFreeListData);
    insertKeys(destination, buffer, recnum);
    if (variable(destination)) {
        destination->reclen = source->reclen;
        varlenStore(destination, buffer);
    }
    writeSlot(destination, buffer, static_cast<int32_t>(recnum));
}

// The copy itself, inside both frames.
int copyRecords(IsFile *destination, IsFile *source, const KeyDesc *key) {
    refuseCopy(destination, source);
    const int32_t length = std::max({source->recordLength, source->maxRecordLength, destination->maxRecordLength});
    std::vector<uint8_t> buffer(static_cast<size_t>(length));
    if (key != nullptr) {
        const int32_t index = findIndex(source, *key);
        if (index < 0) raiseError(source, kErrBadKey, 0);
        source->currentIndex = index;
    }
    uint32_t unflushed = 0;
    for (bool more = positionRecord(source, nullptr, modeFirst); more;
         more = positionRecord(source, nullptr, modeNext)) {
        fetchRecord(source, buffer.data());
        addOne(destination, source, buffer.data());
        if (++unflushed == kRecordsPerFlush) {
            pathFlush(destination, destination->keyCount);
            freeListFlush(destination);
            unflushed = 0;
        }
    }
    finishChange(destination, destination->keyCount);
    return 1;
}

// The error of a source call that failed: in errno when the handle was not
// one to store it in.
int sourceError(const IsFile *source) {
    return source != nullptr && isKnownHandle(source) && source->errorNumber != 0 ? source->errorNumber : errno;
}

}  // namespace

// The clone of an input-only handle is still built for output: its indexes
// are added and records copied into it after the build.
IsFile *cloneFile(IsFile *f, const char16_t *newName, uint32_t mode) {
    const bool noPrimary = (f->state & kStateNoPrimaryKey) != 0;
    KeyDesc first{};
    if (!noPrimary) first = f->indexes[0]->key;
    if ((mode & kModeAccessMask) == kModeAccessInput) mode |= ISINOUT;
    IsFile *clone = buildHandle(newName, f->recordLength, f->maxRecordLength, &first, mode & ~kModeOpenVarLength);
    if (clone == nullptr) raiseError(f, errno, 0);
    for (int32_t i = noPrimary ? 0 : 1; i < f->keyCount; ++i) {
        KeyDesc key = f->indexes[i]->key;
        const int added = framedCall(clone, kAccessChange, CallLock::exclusive, [&] { return addIndex(clone, &key); });
        if (added == 0) {
            const int error = clone->errorNumber;
            const int io = clone->ioError;
            abandonClone(clone, newName);
            raiseError(f, error, io);
        }
    }
    return clone;
}

int copyFile(IsFile *destination, IsFile *source, KeyDesc *key) {
    return framedCall(destination, kAccessChange, CallLock::exclusive, [&] {
        if (source == nullptr) raiseError(destination, kErrNotOpen, 0);
        // One file on both sides: its exclusive lock, taken for the
        // destination, would keep the source's shared lock waiting forever.
        if (!isKnownHandle(source) || groupToken(source) == groupToken(destination)) {
            raiseError(destination, kErrBadArgument, 0);
        }
        const int copied = framedCall(source, kAccessRead, CallLock::shared,
                                      [&] { return copyRecords(destination, source, key); });
        // The source failed (its lock is released by now): so does the
        // destination's call, which drops what was copied.
        if (copied == 0 && destination->callAccess != 0) {
            raiseError(destination, sourceError(source), source->ioError);
        }
        return copied;
    });
}

}  // namespace wisam
