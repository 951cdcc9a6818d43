// layer: records/slot
// isslot.cpp - reading, writing and testing record slots.
#include "records/isslot.h"

#include <cstring>

#include "frame/iscorrupt.h"
#include "frame/iserror.h"
#include "frame/isfile.h"
#include "frame/ismemory.h"
#include "structure/isencode.h"
#include "system/iscache.h"

namespace wisam {

namespace {

int64_t slotOffset(const IsFile *f, int32_t record) {
    return static_cast<int64_t>(record - 1) * f->slotSize;
}

uint8_t *slotBuffer(IsFile *f) {
    if (f->recordBuffer == nullptr) {
        f->recordBuffer = static_cast<uint8_t *>(allocZeroed(f, static_cast<size_t>(f->slotSize)));
    }
    return f->recordBuffer;
}

bool hasMask(const IsFile *f) { return (f->mode & kModeIndexMask) != 0; }

// A read of the slot of `record`, naming it when the data file ends first.
template <class Read>
auto readingSlot(IsFile *f, int32_t record, Read &&read) {
    return namingShortRead(f, kKindData, static_cast<uint32_t>(record), read);
}

}  // namespace

bool recordExists(const IsFile *f, int64_t record) {
    return record >= 1 && record <= static_cast<int64_t>(f->dataAlloc.highest);
}

int32_t slotSizeFor(int32_t recordLength, uint32_t mode) {
    int32_t size = recordLength + 1;
    if ((mode & kModeVarLength) != 0) size += kVarReferenceSize;
    if ((mode & kModeIndexMask) != 0) size += kRecordMaskSize;
    return size;
}

void readSlot(IsFile *f, void *destination, int32_t record) {
    if (!recordExists(f, record)) raiseError(f, kErrNoCurrent, 0, '3');
    uint8_t *slot = slotBuffer(f);
    readingSlot(f, record, [&] { return cacheRead(f, kKindData, slot, f->slotSize, slotOffset(f, record)); });
    if (destination != nullptr) std::memcpy(destination, slot, static_cast<size_t>(f->recordLength));
}

void prefetchSlot(const IsFile *f, uint32_t record, bool andData) {
    if (!recordExists(f, record)) return;
    cachePrefetch(f, kKindData, slotOffset(f, static_cast<int32_t>(record)), andData);
}

void writeSlot(IsFile *f, const void *source, int32_t record) {
    uint8_t *slot = slotBuffer(f);
    if (source != nullptr) std::memcpy(slot, source, static_cast<size_t>(f->recordLength));
    slot[f->recordLength] = kSlotMarkerInUse;
    if (hasMask(f)) st4(slot + f->slotSize - kRecordMaskSize, static_cast<int32_t>(f->recordMask));
    cacheWrite(f, kKindData, slot, f->slotSize, slotOffset(f, record));
}

// With a data cache the marker is read and written as part of its whole
// slot: a one-byte access would empty the cached slot and go to the file
// (a system call on every delete and on every deleted slot skipped), while
// the file ends up with the same bytes either way.  Without a cache only
// the marker byte is touched.
bool slotDeleted(IsFile *f, int32_t record) {
    const int64_t offset = slotOffset(f, record);
    if (cacheServes(f, kKindData)) {
        const uint8_t *slot =
            readingSlot(f, record, [&] { return cacheView(f, kKindData, slotBuffer(f), f->slotSize, offset); });
        return slot[f->recordLength] == kSlotMarkerDeleted;
    }
    uint8_t marker = 0;
    readingSlot(f, record, [&] { return cacheRead(f, kKindData, &marker, 1, offset + f->recordLength); });
    return marker == kSlotMarkerDeleted;
}

void markDeleted(IsFile *f, int32_t record) {
    const int64_t offset = slotOffset(f, record);
    if (cacheServes(f, kKindData)) {
        uint8_t *slot = slotBuffer(f);
        cacheRead(f, kKindData, slot, f->slotSize, offset);
        slot[f->recordLength] = kSlotMarkerDeleted;
        cacheWrite(f, kKindData, slot, f->slotSize, offset);
        return;
    }
    const uint8_t marker = kSlotMarkerDeleted;
    cacheWrite(f, kKindData, &marker, 1, offset + f->recordLength);
}

uint32_t recordMaskOf(const IsFile *f) {
    if (!hasMask(f) || f->recordBuffer == nullptr) return 0;
    return static_cast<uint32_t>(ld4(f->recordBuffer + f->slotSize - kRecordMaskSize));
}

}  // namespace wisam
