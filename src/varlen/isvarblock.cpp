// layer: varlen
// isvarblock.cpp - reading, writing and changing variable-length blocks.
#include "varlen/isvarblock.h"

#include <cstring>

#include "frame/iscorrupt.h"
#include "frame/isfile.h"
#include "index/isidxio.h"
#include "structure/isdict.h"
#include "structure/isencode.h"

namespace wisam {

namespace {

constexpr int32_t kOffMagic = 2;
constexpr int32_t kOffNext = 4;
constexpr int32_t kOffPrev = 8;
constexpr int32_t kOffFree = 12;
constexpr int32_t kOffEnd = 14;
constexpr int32_t kOffNextEntry = 16;
constexpr int32_t kOffNextBlock = 17;
constexpr int32_t kOffContinues = 20;
constexpr int32_t kOffEntries = 21;
constexpr int32_t kOffList = 22;
constexpr int32_t kEntryFromEnd = 7;  // entry 0 lies at N - 7
constexpr int32_t kTrailerFromEnd = 3;

uint32_t ldU(const uint8_t *p, int n) { return static_cast<uint32_t>(ldBigN(p, n)); }

uint8_t *entryAt(uint8_t *block, int32_t entry) {
    return block + kVarBlockSize - kVarEntryBytes * entry - kEntryFromEnd;
}

VarFragment entryOf(const uint8_t *block, int32_t entry) {
    const uint8_t *e = block + kVarBlockSize - kVarEntryBytes * entry - kEntryFromEnd;
    return VarFragment{static_cast<int32_t>(ldU(e + 2, 2)), static_cast<int32_t>(ldU(e, 2))};
}

void setEntry(uint8_t *block, int32_t entry, VarFragment fragment) {
    uint8_t *e = entryAt(block, entry);
    stBigN(e, 2, static_cast<uint32_t>(fragment.length));
    stBigN(e + 2, 2, static_cast<uint32_t>(fragment.offset));
}

void decode(const uint8_t *b, VarHeader &h) {
    h.next = ldU(b + kOffNext, 4);
    h.prev = ldU(b + kOffPrev, 4);
    h.free = static_cast<int32_t>(ldU(b + kOffFree, 2));
    h.end = static_cast<int32_t>(ldU(b + kOffEnd, 2));
    h.nextEntry = b[kOffNextEntry];
    h.nextBlock = ldU(b + kOffNextBlock, 3);
    h.continues = b[kOffContinues];
    h.entries = b[kOffEntries];
    h.list = b[kOffList];
}

// The directory grows down to meet the fragment area; the free bytes are
// what lies between them, counting free entries as used.
bool shapeOk(const VarHeader &h) {
    const int32_t directoryStart = kVarBlockSize - kVarEntryBytes * h.entries - kTrailerFromEnd;
    return h.end >= kVarAreaStart && h.end <= directoryStart && h.list <= kVarLists && h.continues <= 1 &&
           h.free == kVarRoom - kVarEntryBytes * h.entries - (h.end - kVarAreaStart);
}

uint32_t &headSlot(IsFile *f, int32_t list) {
    return reinterpret_cast<uint32_t *>(f->spaceTable)[list];
}

void reloadSpaceTable(IsFile *f) {
    if (f->spaceTableStale == 0) return;
    for (int32_t k = 0; k <= kVarLists; ++k) {
        headSlot(f, k) = ldU(f->dictionary + kDictSpaceTable + 4 * k, 4);
    }
    f->spaceTableStale = 0;
}

// Sets a 4-byte link of a neighbouring block.  The neighbour is read and
// written whole, through the index cache like every other block, so that a
// cached copy never goes stale and write-back still batches it.
void setNeighbourLink(IsFile *f, uint32_t block, int32_t field, uint32_t value) {
    uint8_t neighbour[kVarBlockSize];
    readIndexBlock(f, block, neighbour);
    if (ldU(neighbour + kOffMagic, 2) != kVarMagic) raiseCorruptBlock(f, block);
    stBigN(neighbour + field, 4, value);
    writeIndexBlock(f, block, neighbour);
}

}  // namespace

int32_t varListFor(int32_t free) { return free <= 0 ? 0 : (free - 1) / kVarListSpan; }

uint32_t spaceHead(IsFile *f, int32_t list) {
    reloadSpaceTable(f);
    return headSlot(f, list);
}

void setSpaceHead(IsFile *f, int32_t list, uint32_t block) {
    reloadSpaceTable(f);
    headSlot(f, list) = block;
}

void storeSpaceTable(IsFile *f) {
    reloadSpaceTable(f);
    for (int32_t k = 0; k <= kVarLists; ++k) {
        stBigN(f->dictionary + kDictSpaceTable + 4 * k, 4, headSlot(f, k));
    }
}

bool peekVarBlock(IsFile *f, uint32_t block, VarHeader &h) {
    readIndexBlock(f, block, f->varBlock);
    if (ldU(f->varBlock + kOffMagic, 2) != kVarMagic) return false;
    decode(f->varBlock, h);
    return true;
}

void readVarBlock(IsFile *f, uint32_t block, VarHeader &h) {
    if (!peekVarBlock(f, block, h) || !shapeOk(h)) raiseCorruptBlock(f, block);
}

const uint8_t *viewVarBlock(IsFile *f, uint32_t block, VarHeader &h) {
    const uint8_t *b = viewIndexBlock(f, block, f->varBlock);
    if (ldU(b + kOffMagic, 2) != kVarMagic) raiseCorruptBlock(f, block);
    decode(b, h);
    if (!shapeOk(h)) raiseCorruptBlock(f, block);
    return b;
}

void writeVarBlock(IsFile *f, uint32_t block, const VarHeader &h) {
    uint8_t *b = f->varBlock;
    b[0] = b[1] = 0;
    stBigN(b + kOffMagic, 2, kVarMagic);
    stBigN(b + kOffNext, 4, h.next);
    stBigN(b + kOffPrev, 4, h.prev);
    stBigN(b + kOffFree, 2, static_cast<uint32_t>(h.free));
    stBigN(b + kOffEnd, 2, static_cast<uint32_t>(h.end));
    b[kOffNextEntry] = static_cast<uint8_t>(h.nextEntry);
    stBigN(b + kOffNextBlock, 3, h.nextBlock);
    b[kOffContinues] = static_cast<uint8_t>(h.continues);
    b[kOffEntries] = static_cast<uint8_t>(h.entries);
    b[kOffList] = static_cast<uint8_t>(h.list);
    b[kVarBlockSize - kTrailerFromEnd] = kVarTrailer;
    b[kVarBlockSize - 2] = b[kVarBlockSize - 1] = 0;
    writeIndexBlock(f, block, b);
}

void clearVarBlock(IsFile *f, VarHeader &h) {
    std::memset(f->varBlock, 0, kVarBlockSize);
    h = VarHeader{};
}

VarFragment varFragment(IsFile *f, const uint8_t *bytes, uint32_t block, const VarHeader &h, int32_t entry) {
    if (entry >= h.entries) raiseCorruptBlock(f, block);
    const VarFragment fragment = entryOf(bytes, entry);
    if (fragment.offset < kVarAreaStart || fragment.length <= 0 || fragment.offset + fragment.length > h.end) {
        raiseCorruptBlock(f, block);
    }
    return fragment;
}

int32_t fragmentsInUse(const IsFile *f, const VarHeader &h) {
    int32_t inUse = 0;
    for (int32_t i = 0; i < h.entries; ++i) {
        if (entryOf(f->varBlock, i).offset != 0) ++inUse;
    }
    return inUse;
}

int32_t placeFragment(IsFile *f, VarHeader &h, const uint8_t *bytes, int32_t length) {
    if (h.entries == 0) {
        h.free = kVarRoom;
        h.end = kVarAreaStart;
    }
    std::memcpy(f->varBlock + h.end, bytes, static_cast<size_t>(length));
    int32_t entry = h.entries - 1;
    while (entry >= 0 && entryOf(f->varBlock, entry).offset != 0) --entry;
    if (entry < 0) {
        entry = h.entries++;
        h.free -= kVarEntryBytes;
    }
    setEntry(f->varBlock, entry, VarFragment{h.end, length});
    h.free -= length;
    h.end += length;
    return entry;
}

void removeFragment(IsFile *f, uint32_t block, VarHeader &h, int32_t entry) {
    const VarFragment gone = varFragment(f, f->varBlock, block, h, entry);
    uint8_t *b = f->varBlock;
    const int32_t above = gone.offset + gone.length;
    std::memmove(b + gone.offset, b + above, static_cast<size_t>(h.end - above));
    setEntry(b, entry, VarFragment{});
    for (int32_t i = 0; i < h.entries; ++i) {
        VarFragment other = entryOf(b, i);
        if (other.offset <= gone.offset) continue;
        other.offset -= gone.length;
        setEntry(b, i, other);
    }
    h.free += gone.length;
    h.end -= gone.length;
}

void relistBlock(IsFile *f, uint32_t block, VarHeader &h) {
    const int32_t list = varListFor(h.free);
    if (list == h.list) return;
    if (h.list != 0) {
        if (h.next != 0) setNeighbourLink(f, h.next, kOffPrev, h.prev);
        if (h.prev != 0) {
            setNeighbourLink(f, h.prev, kOffNext, h.next);
        } else {
            setSpaceHead(f, h.list, h.next);
        }
    }
    h.next = h.prev = 0;
    if (list != 0) {
        const uint32_t head = spaceHead(f, list);
        if (head != 0) setNeighbourLink(f, head, kOffPrev, block);
        h.next = head;
        setSpaceHead(f, list, block);
    }
    h.list = list;
}

// Only the first non-empty list from the one that surely has room is
// searched.  Its walk checks each block's links and list, so a damaged list
// (a loop, a block filed on another list) raises 105 instead of looping or
// handing out a block without room.
uint32_t findRoom(IsFile *f, int32_t length, VarHeader &h) {
    int32_t list = (length + 3) / kVarListSpan + 1;
    while (list <= kVarLists && spaceHead(f, list) == 0) ++list;
    if (list > kVarLists) return 0;
    uint32_t before = 0;
    for (uint32_t block = spaceHead(f, list); block != 0; block = h.next) {
        readVarBlock(f, block, h);
        if (h.prev != before || h.list != list || varListFor(h.free) != list) raiseCorruptBlock(f, block);
        if (h.free >= length + kVarEntryBytes) return block;
        before = block;
    }
    return 0;
}

}  // namespace wisam
