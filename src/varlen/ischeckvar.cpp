// layer: varlen
// ischeckvar.cpp - checking the free-space lists and the chains of a
// variable-length file.
#include <cstring>

#include "frame/isfile.h"
#include "maint/isextent.h"
#include "records/isslot.h"
#include "varlen/isvarblock.h"
#include "varlen/isvarchain.h"
#include "varlen/isvarlen.h"

namespace wisam {

namespace {

enum VarCheckBits : int32_t {
    kBadMagic = 0x40,
    kListZeroLoaded = 0x800,
    kMisfiled = 0x1000,
    kMangledLink = 0x2000,
    kUnaccounted = 0x4000,
    kLengthMismatch = 0x8000,
};

// The six counters: listed blocks and their free bytes, blocks in use on
// no list and theirs, blocks in use and theirs.
struct VarCounts {
    int32_t listed = 0, listedFree = 0;
    int32_t unlisted = 0, unlistedFree = 0;
    int32_t inUse = 0, inUseFree = 0;
};

// Walks lists 1..4 from their heads.  A link that does not lead back to
// the block before stops the walk, which is what ends a loop in a list.
void checkLists(IsFile *f, VarCounts &counts, int32_t &bits) {
    for (int32_t list = 1; list <= kVarLists && bits == 0; ++list) {
        uint32_t before = 0;
        for (uint32_t block = spaceHead(f, list); block != 0 && bits == 0;) {
            VarHeader h;
            if (!peekVarBlock(f, block, h)) {
                bits |= kBadMagic;
                break;
            }
            if (h.free <= kVarListSpan * list || h.free > kVarListSpan * (list + 1)) bits |= kMisfiled;
            if (h.prev != before) bits |= kMangledLink;
            if (bits != 0) break;
            ++counts.listed;
            counts.listedFree += h.free;
            before = block;
            block = h.next;
        }
    }
}

// Counts each block in use once: by its fragment at the start of the area.
// Only the records 1..highest whose slots exist are read: a number the data
// file does not hold (reserved, or the file cut short) has no variable part,
// and slots past the highest number are the data check's finding.
void checkChains(IsFile *f, VarCounts &counts, int32_t &bits) {
    const DataExtent extent = dataExtent(f);
    for (uint32_t record = extent.last(); record >= 1; --record) {
        if (!slotPresent(f, extent, record)) continue;
        readSlot(f, nullptr, static_cast<int32_t>(record));
        if (f->recordBuffer[f->recordLength] == kSlotMarkerDeleted) continue;
        const VarReference ref = readReference(f);
        if (ref.stored == 0) continue;
        const int32_t taken = walkChain(f, ref, false, ChainRead::view, [&](const ChainStep &step) {
            if (step.fragment.offset != kVarAreaStart) return;
            ++counts.inUse;
            counts.inUseFree += step.header.free;
            if (step.header.list != 0) return;
            ++counts.unlisted;
            counts.unlistedFree += step.header.free;
        });
        if (taken != ref.stored) bits |= kLengthMismatch;
    }
}

}  // namespace

void checkVarlen(IsFile *f, int32_t *statistics, int32_t &bits) {
    VarCounts counts;
    if (statistics != nullptr) std::memset(statistics, 0, 6 * sizeof(int32_t));
    if ((f->mode & kModeVarLength) == 0) return;
    if (spaceHead(f, 0) != 0) bits |= kListZeroLoaded;
    checkLists(f, counts, bits);
    if (bits == 0) {
        checkChains(f, counts, bits);
        if (statistics != nullptr && counts.listed + counts.unlisted != counts.inUse) bits |= kUnaccounted;
    }
    if (statistics == nullptr) return;
    const int32_t values[6] = {counts.listed, counts.listedFree, counts.unlisted,
                               counts.unlistedFree, counts.inUse, counts.inUseFree};
    std::memcpy(statistics, values, sizeof values);
}

}  // namespace wisam
