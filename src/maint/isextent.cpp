// layer: maint/extent
// isextent.cpp - the slots the data file holds.
#include "maint/isextent.h"

#include <algorithm>
#include <cstdint>
#include <vector>

#include "frame/isfile.h"
#include "system/iscache.h"
#include "system/issystem.h"

namespace wisam {

namespace {

// Record numbers are signed 32-bit on every interface.
constexpr int64_t kLargestRecord = INT32_MAX;

}  // namespace

DataExtent dataExtent(IsFile *f) {
    DataExtent extent;
    extent.bytes = sysFileSize(f, kKindData);
    extent.whole = static_cast<uint32_t>(std::clamp<int64_t>(extent.bytes / f->slotSize, 0, kLargestRecord));
    extent.highest = f->dataAlloc.highest;
    extent.cachedBeyond = hasDirtyBlocks(f);
    return extent;
}

uint32_t DataExtent::seen() const {
    if (whole <= highest) return last();
    return highest + std::min(whole - highest, kSlotsSeenPastHighest);
}

bool slotPresent(IsFile *f, const DataExtent &extent, uint32_t record) {
    if (record >= 1 && record <= extent.whole) return true;
    if (!extent.cachedBeyond || record < 1) return false;
    // Held back in the cache, or written since: reading other slots may
    // have chosen it as a victim and written it past the old end.
    const int64_t offset = int64_t{record - 1} * f->slotSize;
    std::vector<uint8_t> slot(static_cast<size_t>(f->slotSize));
    return cachePeek(f, kKindData, offset, f->slotSize, slot.data()) ||
           sysFileSize(f, kKindData) >= offset + f->slotSize;
}

}  // namespace wisam
