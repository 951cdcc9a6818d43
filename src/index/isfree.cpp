// isfree.cpp - taking and releasing block and record numbers.
#include "index/isfree.h"

#include <cstring>
#include <initializer_list>

#include "frame/iserror.h"
#include "frame/isfile.h"
#include "frame/ismemory.h"
#include "index/isidxio.h"
#include "structure/isencode.h"
#include "system/issystem.h"

namespace wisam {

namespace {

constexpr int kLineCountDirty = 148;
constexpr int32_t kIndexExhausted = 2;  // an index head node is itself handed out
constexpr int32_t kDataExhausted = kFreeNodeHeader;

FreeList &listOf(IsFile *f, int kind) { return kind == kFreeListIndex ? f->indexAlloc : f->dataAlloc; }

bool precious(const IsFile *f, int kind) {
    return kind == kFreeListData && (f->state & kStatePrecious) != 0;
}

uint8_t *bufferOf(IsFile *f, FreeList &list) {
    if (list.buffer == nullptr) {
        list.buffer = static_cast<uint8_t *>(allocZeroed(f, static_cast<size_t>(f->nodeSize)));
    }
    return list.buffer;
}

// The used length of a chain node, checked against the node it indexes.
int32_t usedLength(IsFile *f, const uint8_t *node) {
    const int32_t used = ld2(node);
    if (used < kFreeNodeHeader || used > f->nodeSize - 4 || (used - kFreeNodeHeader) % 4 != 0) {
        raiseError(f, kErrCorrupt, 0);
    }
    return used;
}

void loadHead(IsFile *f, FreeList &list) {
    if (list.state != kFreeListUnloaded) return;
    readIndexBlock(f, list.head, bufferOf(f, list));
    list.used = usedLength(f, list.buffer);
    list.state = kFreeListClean;
}

void startEmptyNode(IsFile *f, uint8_t *node) {
    std::memset(node, 0, static_cast<size_t>(f->nodeSize));
    node[f->nodeSize - 3] = kFreeNodeMarker;
    node[f->nodeSize - 2] = kFreeNodeKind;
    st2(node, kFreeNodeHeader);
}

bool nodeFull(const IsFile *f, int32_t used) { return used + 4 > f->nodeSize - 4; }

}  // namespace

uint32_t freeListTake(IsFile *f, int kind) {
    FreeList &list = listOf(f, kind);
    if (precious(f, kind) || list.head == 0) return ++list.highest;
    loadHead(f, list);
    uint32_t result = list.head;
    if (list.used > kFreeNodeHeader) result = static_cast<uint32_t>(ld4(list.buffer + list.used - 4));
    list.used -= 4;
    const int32_t limit = kind == kFreeListIndex ? kIndexExhausted : kDataExhausted;
    if (list.used > limit) {
        st2(list.buffer, list.used);
        list.state = kFreeListDirty;
        return result;
    }
    const uint32_t exhausted = list.head;
    list.head = static_cast<uint32_t>(ld4(list.buffer + 2));
    list.state = kFreeListUnloaded;
    if (kind == kFreeListData) freeListPut(f, kFreeListIndex, exhausted);
    return result;
}

void freeListPut(IsFile *f, int kind, uint32_t number) {
    if (precious(f, kind)) return;
    FreeList &list = listOf(f, kind);
    if (list.head == 0) {
        const uint32_t node = kind == kFreeListIndex ? number : freeListTake(f, kFreeListIndex);
        startEmptyNode(f, bufferOf(f, list));
        list.head = node;
        list.used = kFreeNodeHeader;
        list.state = kFreeListDirty;
        if (kind == kFreeListIndex) return;
    } else {
        loadHead(f, list);
    }
    if (nodeFull(f, list.used)) {
        if (list.state == kFreeListDirty) writeIndexBlock(f, list.head, list.buffer);
        // The buffer becomes the new head node, chained to the old one; the
        // numbers past its used length are left as they were.
        st4(list.buffer + 2, static_cast<int32_t>(list.head));
        if (kind == kFreeListIndex) {
            list.head = number;
            list.used = kFreeNodeHeader;
        } else {
            list.head = freeListTake(f, kFreeListIndex);
            st4(list.buffer + kFreeNodeHeader, static_cast<int32_t>(number));
            list.used = kFreeNodeHeader + 4;
        }
    } else {
        st4(list.buffer + list.used, static_cast<int32_t>(number));
        list.used += 4;
    }
    st2(list.buffer, list.used);
    list.state = kFreeListDirty;
}

int32_t freeListCount(IsFile *f, int kind, FreeNodeVisitor visitor, void *context) {
    FreeList &list = listOf(f, kind);
    if (list.state == kFreeListDirty) fatalAt("isfree", kLineCountDirty);
    int32_t count = 0;
    uint8_t *node = bufferOf(f, list);
    // Each chain node lies in 2..highest; a longer walk means a cycle.
    uint32_t steps = 0;
    for (uint32_t n = list.head; n != 0; n = static_cast<uint32_t>(ld4(node + 2))) {
        if (++steps > f->indexAlloc.highest) raiseError(f, kErrCorrupt, 0);
        readIndexBlock(f, n, node);
        if (visitor != nullptr) visitor(f, node, context);
        count += (usedLength(f, node) - kFreeNodeHeader) / 4;
    }
    list.state = kFreeListUnloaded;
    return count;
}

void freeListFlush(IsFile *f) {
    for (FreeList *list : {&f->indexAlloc, &f->dataAlloc}) {
        if (list->state != kFreeListDirty) continue;
        writeIndexBlock(f, list->head, list->buffer);
        list->state = kFreeListClean;
    }
}

void dropDataFreeList(IsFile *f, int kind) {
    if (kind != kFreeListData) raiseError(f, kErrBadArgument, 0);
    FreeList &data = f->dataAlloc;
    uint8_t *node = bufferOf(f, data);
    uint32_t steps = 0;
    for (uint32_t n = data.head; n != 0;) {
        if (++steps > f->indexAlloc.highest) raiseError(f, kErrCorrupt, 0);
        readIndexBlock(f, n, node);
        const uint32_t next = static_cast<uint32_t>(ld4(node + 2));
        freeListPut(f, kFreeListIndex, n);
        n = next;
    }
    data.head = 0;
    data.state = kFreeListUnloaded;
    const int64_t slots = f->slotSize > 0 ? sysFileSize(f, kKindData) / f->slotSize : 0;
    data.highest = static_cast<uint32_t>(slots);
}

}  // namespace wisam
