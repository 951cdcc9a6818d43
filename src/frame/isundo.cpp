// layer: frame/undo
// isundo.cpp - the before-images of a changing call and their write-back.
#include "frame/isundo.h"

#include <cstring>
#include <new>

#include "frame/iserror.h"
#include "frame/isfile.h"
#include "frame/ismemory.h"
#include "structure/isdict.h"
#include "system/iscache.h"
#include "system/issystem.h"

namespace wisam {

// One range written by the call, followed in the arena by the `captured`
// bytes it held before (fewer than `length` when the file ended inside it).
struct UndoEntry {
    int64_t offset;
    int32_t kind;
    int32_t length;
    int32_t captured;  // kNoImage: the range lay beyond the highest number
    int32_t space;     // arena bytes of the entry with its image
    int64_t previous;  // arena offset of the entry written before, or -1
};

struct CallUndo {
    bool armed = false;
    bool pending = false;
    DictionaryState start;
    // Entries in the order written, in one growing arena.
    uint8_t *arena = nullptr;
    size_t used = 0;
    size_t capacity = 0;
    int32_t entries = 0;
    int64_t last = -1;  // arena offset of the newest entry
    // Arena offset + 1 of each entry by (kind, offset), open addressing.
    uint32_t *slots = nullptr;
    uint32_t slotCount = 0;  // a power of two, or 0
    bool beyond[2] = {false, false};  // index, data: a range past the old end
};

namespace {

constexpr int32_t kNoImage = -1;
constexpr size_t kFirstArena = 16 * 1024;
constexpr uint32_t kFirstSlots = 64;

size_t entrySpace(int32_t bytes) { return (sizeof(UndoEntry) + size_t(bytes) + 7) & ~size_t{7}; }

UndoEntry *entryAt(const CallUndo *u, size_t at) { return reinterpret_cast<UndoEntry *>(u->arena + at); }

uint32_t slotOf(const CallUndo *u, int kind, int64_t offset) {
    uint64_t h = uint64_t(offset) * 0x9E3779B97F4A7C15ull ^ uint64_t(kind);
    h ^= h >> 29;
    return static_cast<uint32_t>(h) & (u->slotCount - 1);
}

// The entry of the range at `offset` of `kind`, or null.
UndoEntry *findEntry(const CallUndo *u, int kind, int64_t offset) {
    if (u->slotCount == 0) return nullptr;
    for (uint32_t i = slotOf(u, kind, offset);; i = (i + 1) & (u->slotCount - 1)) {
        const uint32_t at = u->slots[i];
        if (at == 0) return nullptr;
        UndoEntry *e = entryAt(u, at - 1);
        if (e->offset == offset && e->kind == kind) return e;
    }
}

void placeSlot(CallUndo *u, int kind, int64_t offset, size_t at) {
    uint32_t i = slotOf(u, kind, offset);
    while (u->slots[i] != 0) i = (i + 1) & (u->slotCount - 1);
    u->slots[i] = static_cast<uint32_t>(at + 1);
}

// Keeps the slot table at most half full.
void growSlots(IsFile *f, CallUndo *u) {
    if ((uint64_t(u->entries) + 1) * 2 <= u->slotCount) return;
    const uint32_t count = u->slotCount == 0 ? kFirstSlots : u->slotCount * 2;
    auto *slots = static_cast<uint32_t *>(allocZeroed(f, sizeof(uint32_t) * count));
    u->slots = freeBlock(u->slots);
    u->slots = slots;
    u->slotCount = count;
    for (size_t at = 0; at < u->used; at += size_t(entryAt(u, at)->space)) {
        const UndoEntry *e = entryAt(u, at);
        placeSlot(u, e->kind, e->offset, at);
    }
}

UndoEntry *appendEntry(IsFile *f, CallUndo *u, int kind, int64_t offset, int32_t length, int32_t bytes) {
    growSlots(f, u);
    const size_t space = entrySpace(bytes);
    if (u->used + space > u->capacity) {
        size_t capacity = u->capacity == 0 ? kFirstArena : u->capacity;
        while (u->used + space > capacity) capacity *= 2;
        u->arena = static_cast<uint8_t *>(reallocZeroed(f, u->arena, u->capacity, capacity));
        u->capacity = capacity;
    }
    const size_t at = u->used;
    UndoEntry *e = entryAt(u, at);
    *e = UndoEntry{offset, kind, length, kNoImage, static_cast<int32_t>(space), u->last};
    u->last = static_cast<int64_t>(at);
    u->used += space;
    ++u->entries;
    placeSlot(u, kind, offset, at);
    return e;
}

uint8_t *imageOf(UndoEntry *e) { return reinterpret_cast<uint8_t *>(e + 1); }

// Whether `offset` of `kind` lies past the highest block or record number
// the file had when the call began.
bool pastHighest(const IsFile *f, const CallUndo *u, int kind, int64_t offset) {
    if (kind == kKindIndex) {
        return f->nodeSize > 0 && offset / f->nodeSize >= int64_t{u->start.indexHighest};
    }
    return f->slotSize > 0 && offset / f->slotSize >= int64_t{u->start.dataHighest};
}

void forgetImages(CallUndo *u) {
    u->used = 0;
    u->entries = 0;
    u->last = -1;
    if (u->slots != nullptr) std::memset(u->slots, 0, sizeof(uint32_t) * u->slotCount);
    u->beyond[0] = u->beyond[1] = false;
}

// The size a file had room for at the call's start: what lies past it was
// written by the failed call alone.
int64_t sizeAtStart(const IsFile *f, const CallUndo *u, int kind) {
    if (kind == kKindIndex) return int64_t{u->start.indexHighest} * f->nodeSize;
    const int64_t slots = int64_t{u->start.dataHighest} * f->slotSize;
    return slots > 0 ? slots : 1;  // a new data file holds one zero byte
}

void cutBack(IsFile *f, const CallUndo *u, int kind) {
    const int64_t keep = sizeAtStart(f, u, kind);
    if (sysFileSize(f, kind) > keep) sysTruncate(f, kind, keep);
}

// Writes the images back, newest first, then cuts the files back.
void writeImages(IsFile *f, CallUndo *u) {
    for (int64_t at = u->last; at >= 0;) {
        UndoEntry *e = entryAt(u, size_t(at));
        if (e->captured == kNoImage) {
            cacheForget(f, e->kind, e->offset);
        } else if (e->kind == kKindIndex && e->offset == 0) {
            sysWrite(f, kKindIndex, imageOf(e), e->captured, 0);  // the dictionary
        } else if (e->captured > 0) {
            cacheWrite(f, e->kind, imageOf(e), e->captured, e->offset);
        }
        at = e->previous;
    }
    if (u->beyond[0]) cutBack(f, u, kKindIndex);
    if (u->beyond[1]) cutBack(f, u, kKindData);
}

}  // namespace

void beginChange(IsFile *f) {
    if (f->undo == nullptr) f->undo = new (allocZeroed(f, sizeof(CallUndo))) CallUndo{};
    CallUndo *u = f->undo;
    if (u->armed) return;  // an inner frame of the same call
    forgetImages(u);
    saveDictionaryState(f, u->start);
    u->armed = true;
}

void endChange(IsFile *f) {
    CallUndo *u = f->undo;
    if (u == nullptr || !u->armed) return;
    u->armed = false;
    if (u->entries > 0) forgetImages(u);
}

bool undoChange(IsFile *f) {
    CallUndo *u = f->undo;
    if (u == nullptr || !u->armed) return false;
    u->armed = false;
    restoreDictionaryState(f, u->start);
    const bool wrote = u->entries > 0;
    if (!wrote) return false;
    u->pending = true;
    try {
        writeImages(f, u);
        u->pending = false;
        forgetImages(u);
    } catch (const IsamRaise &) {
        // Left pending: the next call on the handle writes them again.
    }
    return true;
}

void captureBeforeWrite(IsFile *f, int kind, int64_t offset, int32_t length) {
    CallUndo *u = f->undo;
    if (u == nullptr || !u->armed || length <= 0 || (kind != kKindIndex && kind != kKindData)) return;
    if (findEntry(u, kind, offset) != nullptr) return;  // the first image counts
    if (pastHighest(f, u, kind, offset) && !(kind == kKindIndex && offset == 0)) {
        appendEntry(f, u, kind, offset, length, 0);
        u->beyond[kind == kKindIndex ? 0 : 1] = true;
        return;
    }
    UndoEntry *e = appendEntry(f, u, kind, offset, length, length);
    if (kind == kKindIndex && offset == 0) {
        // The dictionary block is never cached; the buffer saved at the
        // start holds what the file holds.
        const int32_t saved = length < kDictionaryWithSpaceTable ? length : kDictionaryWithSpaceTable;
        std::memcpy(imageOf(e), u->start.bytes, size_t(saved));
        e->captured = saved;
        return;
    }
    if (cachePeek(f, kind, offset, length, imageOf(e))) {
        e->captured = length;
        return;
    }
    int32_t count = 0;
    sysRead(f, kind, imageOf(e), length, offset, &count);
    e->captured = count;
    if (count < length) u->beyond[kind == kKindIndex ? 0 : 1] = true;
}

void finishPendingUndo(IsFile *f) {
    CallUndo *u = f->undo;
    if (u == nullptr || !u->pending) return;
    writeImages(f, u);
    u->pending = false;
    forgetImages(u);
}

bool undoPending(const IsFile *f) { return f->undo != nullptr && f->undo->pending; }

CallUndo *freeUndo(CallUndo *undo) {
    if (undo == nullptr) return nullptr;
    undo->arena = freeBlock(undo->arena);
    undo->slots = freeBlock(undo->slots);
    undo->~CallUndo();
    return freeBlock(undo);
}

}  // namespace wisam
