// layer: maint
// ischeck.cpp - isCheckData, isCheckIndex, isRebuildFree, isRebuildIdx.
#include "maint/ischeck.h"

#include <algorithm>
#include <set>
#include <vector>

#include "frame/iserror.h"
#include "frame/isfile.h"
#include "index/isfree.h"
#include "index/isidxio.h"
#include "index/isindexes.h"
#include "index/iskey.h"
#include "index/ispath.h"
#include "maint/isblocks.h"
#include "maint/isextent.h"
#include "records/ischange.h"
#include "records/isslot.h"
#include "structure/isdict.h"
#include "structure/iskeydesc.h"
#include "wisam.h"

namespace wisam {

namespace {

// Reported when the index free list does not hand back the root just
// released to it (a file whose free list cannot be rebuilt from ownership).
constexpr int kLineRootNotReturned = 215;

// Whole slots the data file holds, whatever the dictionary says (what a
// rebuild takes as the highest record number).
uint32_t slotsInFile(IsFile *f) { return dataExtent(f).whole; }

// Puts the handle's highest record number back when a check ends, however
// it ends.
class HighestKept {
public:
    explicit HighestKept(IsFile *f) : f_(f), highest_(f->dataAlloc.highest) {}
    ~HighestKept() { f_->dataAlloc.highest = highest_; }
    HighestKept(const HighestKept &) = delete;
    HighestKept &operator=(const HighestKept &) = delete;

private:
    IsFile *f_;
    uint32_t highest_;
};

// Puts back what a read-only walk may change in the handle: the compare
// length of the path, and the index free list, to which a walk releases a
// node it finds empty (damage) as it leaves it.
class WalkKept {
public:
    WalkKept(IsFile *f, TreePath *path)
        : f_(f), path_(path), compareLength_(path->compareLength), list_(f->indexAlloc) {}
    ~WalkKept() {
        path_->compareLength = compareLength_;
        if (f_->indexAlloc.state == kFreeListDirty) {
            f_->indexAlloc.head = list_.head;
            f_->indexAlloc.highest = list_.highest;
            f_->indexAlloc.state = kFreeListUnloaded;
        }
    }
    WalkKept(const WalkKept &) = delete;
    WalkKept &operator=(const WalkKept &) = delete;

private:
    IsFile *f_;
    TreePath *path_;
    int32_t compareLength_;
    FreeList list_;
};

enum SlotState : uint8_t { kSlotFree = 0, kSlotLive = 1, kSlotListed = 2 };

// Whether the data free list agrees with the slots: a sound chain whose
// numbers are deleted slots (or slots the data file does not hold, which
// read as deleted), each once, as many as there are numbers not in use.
// `slots` covers 1..extent.last(); numbers past it up to the highest are
// slots that do not exist.
bool freeListAgrees(IsFile *f, const DataExtent &extent, std::vector<uint8_t> &slots, uint32_t live) {
    const FreeChain chain = readFreeChain(f, f->dataAlloc.head);
    if (chain.damaged) return false;
    std::set<uint32_t> absent;
    for (uint32_t n : chain.numbers) {
        if (n < 1 || n > extent.highest) return false;
        if (n >= slots.size()) {
            if (!absent.insert(n).second) return false;
            continue;
        }
        if (slots[n] != kSlotFree) return false;
        slots[n] = kSlotListed;
    }
    return static_cast<int64_t>(chain.numbers.size()) == int64_t{extent.highest} - live;
}

bool inIndex(const IsFile *f, int32_t index) {
    return f->recordBuffer[f->recordLength] != kSlotMarkerDeleted && !excludedByMask(f, recordMaskOf(f), index);
}

// Whether the record in recordBuffer belongs in index `index`, with its
// key made into `key`: in use, not excluded by its mask, a key that is not
// a suppressed null key.
bool belongsInIndex(IsFile *f, int32_t index, uint8_t *key) {
    if (!inIndex(f, index)) return false;
    TreePath *path = f->indexes[index];
    makeKey(path, key, f->recordBuffer);
    return isNullKey(path, key) == 0;
}

// The records an index check judges its entries against: 1..extent.seen()
// (the highest number, and the few slots past it that a killed writer may
// have left), which of them belong in index `index` (a slot the data file
// does not hold belongs nowhere), and the last of them in use.
struct IndexRecords {
    std::vector<bool> belongs;
    uint32_t lastInUse = 0;
};

IndexRecords recordsOfIndex(IsFile *f, const DataExtent &extent, int32_t index) {
    IndexRecords records;
    records.belongs.resize(static_cast<size_t>(extent.seen()) + 1);
    uint8_t key[kMaxKeyBytes];
    for (uint32_t r = 1; r <= extent.seen(); ++r) {
        if (!slotPresent(f, extent, r)) continue;
        readSlot(f, nullptr, static_cast<int32_t>(r));
        if (f->recordBuffer[f->recordLength] != kSlotMarkerDeleted) records.lastInUse = r;
        records.belongs[r] = belongsInIndex(f, index, key);
    }
    return records;
}

// The finding of one index entry: its record must be one the check looks
// at, belong in the index, be met once, and hold the entry's key.
uint32_t entryFinding(IsFile *f, TreePath *path, const std::vector<bool> &belongs, std::vector<bool> &met) {
    const uint32_t record = path->head->pointer;
    if (record < 1 || record >= belongs.size() || !belongs[record] || met[record]) return kCheckIndexData;
    met[record] = true;
    uint8_t key[kMaxKeyBytes];
    readSlot(f, nullptr, static_cast<int32_t>(record));
    makeKey(path, key, f->recordBuffer);
    return keysEqual(path, key, path->head->key) ? 0 : kCheckIndexData;
}

// The count rule of a file whose free list stands for every record not in
// the index.
bool countByFreeList(const IsFile *f, const TreePath *path) {
    return f->recordLength != 0 && (f->state & kStatePrecious) == 0 && (f->mode & kModeIndexMask) == 0 &&
           (path->key.flags & kKeyFlagNullSuppress) == 0;
}

// The index free list as index `index` depends on it: a chain node that is
// no free-list node (a head a killed writer left naming a block it had
// taken), or a number of a block of this tree, would give a block in use to
// the next split.
uint32_t indexListFinding(IsFile *f, int32_t index) {
    const FreeChain chain = readFreeChain(f, f->indexAlloc.head);
    if (chain.damaged) return kCheckNodeMagic;
    std::vector<uint32_t> tree;
    collectTreeBlocks(f, index, tree);
    std::vector<bool> inTree(static_cast<size_t>(f->indexAlloc.highest) + 1);
    for (uint32_t n : tree) {
        if (n < inTree.size()) inTree[n] = true;
    }
    for (uint32_t n : chain.numbers) {
        if (n < kFirstNodeBlock || n >= inTree.size() || inTree[n]) return kCheckNodeMagic;
    }
    for (uint32_t n : chain.nodes) {
        if (inTree[n]) return kCheckNodeMagic;
    }
    return 0;
}

void checkIndexRange(IsFile *f, int index) {
    if (index < 1 || index > f->keyCount) raiseError(f, kErrBadArgument, 0);
}

// The data free list made anew from the slots: the highest record number
// from the data file's size, every deleted slot listed.  Its old chain
// nodes must already be accounted for (given back to the index list, or
// left to the index list's rebuild).
void refillDataFreeList(IsFile *f) {
    FreeList &data = f->dataAlloc;
    data.head = 0;
    data.state = kFreeListUnloaded;
    data.highest = slotsInFile(f);
    for (uint32_t r = data.highest; r >= 1; --r) {
        if (slotDeleted(f, static_cast<int32_t>(r))) freeListPut(f, kFreeListData, r);
    }
}

// The index free list made anew from what owns the blocks, with the tree
// of `skipIndex` (-1: none) given up except its root.  Unless `dropData`,
// the data free list keeps its chain; when that chain is damaged it is made
// anew from the slots as well.
void rebuildFromOwnership(IsFile *f, int32_t skipIndex, bool dropData) {
    const bool precious = (f->state & kStatePrecious) != 0;
    const FreeChain index = readFreeChain(f, f->indexAlloc.head);
    const FreeChain data = precious ? FreeChain{} : readFreeChain(f, f->dataAlloc.head);
    const bool refill = !precious && (dropData || data.damaged);
    std::vector<bool> owned;
    const bool complete = markOwnedBlocks(f, skipIndex, owned);
    std::vector<uint32_t> candidates = index.nodes;
    candidates.insert(candidates.end(), index.numbers.begin(), index.numbers.end());
    for (uint32_t n : data.nodes) {
        if (refill) {
            candidates.push_back(n);
        } else {
            owned[n] = true;
        }
    }
    rebuildIndexFreeList(f, owned, complete, candidates);
    if (refill) refillDataFreeList(f);
}

// The plain rebuild of a file whose index blocks cannot all be accounted
// for: the tree is released through the free list, which hands the root
// back last released, first taken.
void releaseTreeKeepingRoot(IsFile *f, int32_t index) {
    freeIndexTree(f, index);
    const uint32_t root = freeListTake(f, kFreeListIndex);
    if (root != f->indexes[index]->rootNode) {
        fatalAt("ischeck", kLineRootNotReturned);
        raiseError(f, kErrCorrupt, 0);
    }
}

}  // namespace

int checkData(IsFile *f, uint32_t &found) {
    if (f->recordLength == 0) raiseError(f, kErrBadArgument, 0);
    const DataExtent extent = dataExtent(f);
    // Slots past the highest number are outside every allocation: the data
    // free list cannot account for them.  Their count is the finding; they
    // are not read (the file may be extended sparse far beyond its records).
    if (extent.beyond() > 0) found |= kCheckDataFreeList;
    if (extent.highest == 0) return 1;
    std::vector<uint8_t> state(static_cast<size_t>(extent.last()) + 1, kSlotLive);
    uint32_t live = 0;
    for (uint32_t r = 1; r <= extent.last(); ++r) {
        if (!slotPresent(f, extent, r)) {
            state[r] = kSlotFree;  // reads as deleted, were the file extended
            continue;
        }
        readSlot(f, nullptr, static_cast<int32_t>(r));
        const uint8_t marker = f->recordBuffer[f->recordLength];
        if (marker == kSlotMarkerDeleted) {
            state[r] = kSlotFree;
            continue;
        }
        // Any other marker counts as in use, as every reader takes it.
        if (marker != kSlotMarkerInUse) found |= kCheckRecordCorrupt;
        ++live;
    }
    if ((f->state & kStatePrecious) != 0) {
        if (f->dataAlloc.head != 0) found |= kCheckDataFreeList;
    } else if (!freeListAgrees(f, extent, state, live)) {
        found |= kCheckDataFreeList;
    }
    return 1;
}

int checkIndex(IsFile *f, int index, uint32_t &found) {
    checkIndexRange(f, index);
    const int32_t i = index - 1;
    TreePath *path = f->indexes[i];
    WalkKept kept(f, path);
    HighestKept highest(f);
    path->compareLength = path->keyLength;
    const bool records = f->recordLength != 0;
    const DataExtent extent = records ? dataExtent(f) : DataExtent{};
    // Slots past the highest number are read as records (put back by
    // HighestKept), as the rebuilt file will count them.
    if (records) f->dataAlloc.highest = std::max(extent.highest, extent.seen());
    const IndexRecords of = records ? recordsOfIndex(f, extent, i) : IndexRecords{};
    std::vector<bool> met(of.belongs.size());
    uint32_t count = 0;
    if (!pathIndexEmpty(f, path)) {
        std::vector<uint8_t> previous(static_cast<size_t>(path->keyLength));
        const bool duplicates = (path->key.flags & ISKEY_DUPS) != 0;
        for (int more = treeFirst(f, path); more; more = treeNext(f, path)) {
            if (count > 0) {
                const int order = compareKeys(path, previous.data(), path->head->key);
                if (order > 0 || (order == 0 && !duplicates)) found |= kCheckKeyOrder;
            }
            std::copy(path->head->key, path->head->key + path->keyLength, previous.begin());
            if (records) found |= entryFinding(f, path, of.belongs, met);
            ++count;
        }
    }
    found |= indexListFinding(f, i);
    if (!records) return 1;
    uint32_t belonging = 0;
    for (bool b : of.belongs) belonging += b ? 1 : 0;
    if (count != belonging) found |= kCheckIndexCount;
    if (countByFreeList(f, path)) {
        // Every number up to the highest (or the last record in use past
        // it) is a record of the index or on the free list.
        const FreeChain chain = readFreeChain(f, f->dataAlloc.head);
        const int64_t unused = int64_t{std::max(extent.highest, of.lastInUse)} - count;
        if (!chain.damaged && static_cast<int64_t>(chain.numbers.size()) != unused) found |= kCheckIndexCount;
    }
    return 1;
}

int rebuildFree(IsFile *f, int kind) {
    if ((f->state & kStatePrecious) != 0) return 1;
    if (f->recordLength == 0 || kind != kRebuildKindData) raiseError(f, kErrBadArgument, 0);
    if (hasBlockMap(f)) {
        rebuildFromOwnership(f, -1, true);
    } else {
        dropDataFreeList(f, kFreeListData);
        refillDataFreeList(f);
    }
    freeListFlush(f);
    writeDictionary(f);
    return 1;
}

int rebuildIndex(IsFile *f, int index) {
    checkIndexRange(f, index);
    if (f->recordLength == 0) raiseError(f, kErrBadArgument, 0);
    const int32_t i = index - 1;
    TreePath *path = f->indexes[i];
    if (hasBlockMap(f)) {
        rebuildFromOwnership(f, i, false);
    } else {
        releaseTreeKeepingRoot(f, i);
    }
    pathPopAll(f, path);
    nodeInitEmpty(f, path->head, 0);
    buildIndex(f, i);
    freeListFlush(f);
    writeDictionary(f);
    return 1;
}

}  // namespace wisam
