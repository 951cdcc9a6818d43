// layer: index/tree
// isfree.cpp - taking and releasing block and record numbers.
#include "index/isfree.h"

#include <cstring>
#include <initializer_list>

#include "frame/iscorrupt.h"
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

// Chain node `block` as read: its kind bytes and a used length inside the
// node; returns the used length.
int32_t checkedUsed(IsFile *f, const uint8_t *node, uint32_t block) {
    const int32_t used = ld2(node);
    const bool kind = node[f->nodeSize - kFreeNodeMarkerFromEnd] == kFreeNodeMarker &&
                      node[f->nodeSize - kFreeNodeKindFromEnd] == kFreeNodeKind;
    if (!kind || used < kFreeNodeHeader || used > f->nodeSize - 4 || (used - kFreeNodeHeader) % 4 != 0) {
        raiseCorruptBlock(f, block);
    }
    return used;
}

// The next node of the chain after `block`: 0 or an index block.
uint32_t nextInChain(IsFile *f, const uint8_t *node, uint32_t block) {
    const uint32_t next = static_cast<uint32_t>(ld4(node + 2));
    if (next != 0 && !indexBlockExists(f, next)) raiseCorruptBlock(f, block);
    return next;
}

// A number handed out from chain node `block`: an index block, or a record
// the data file has.
uint32_t checkedNumber(IsFile *f, int kind, uint32_t number, uint32_t block) {
    const bool exists = kind == kFreeListIndex ? indexBlockExists(f, number)
                                               : number >= 1 && number <= f->dataAlloc.highest;
    if (!exists) raiseCorruptBlock(f, block);
    return number;
}

// A head that did not come from a chain node came from the dictionary.
void loadHead(IsFile *f, FreeList &list) {
    if (list.state != kFreeListUnloaded) return;
    if (!indexBlockExists(f, list.head)) raiseCorruptBlock(f, kDictionaryBlock);
    readIndexBlock(f, list.head, bufferOf(f, list));
    list.used = checkedUsed(f, list.buffer, list.head);
    list.state = kFreeListClean;
}

void startEmptyNode(IsFile *f, uint8_t *node) {
    std::memset(node, 0, static_cast<size_t>(f->nodeSize));
    node[f->nodeSize - kFreeNodeMarkerFromEnd] = kFreeNodeMarker;
    node[f->nodeSize - kFreeNodeKindFromEnd] = kFreeNodeKind;
    st2(node, kFreeNodeHeader);
}

bool nodeFull(const IsFile *f, int32_t used) { return used + 4 > f->nodeSize - 4; }

}  // namespace

uint32_t freeListTake(IsFile *f, int kind) {
    FreeList &list = listOf(f, kind);
    if (precious(f, kind) || list.head == 0) return ++list.highest;
    loadHead(f, list);
    uint32_t result = list.head;
    if (list.used > kFreeNodeHeader) {
        result = checkedNumber(f, kind, static_cast<uint32_t>(ld4(list.buffer + list.used - 4)), list.head);
    }
    list.used -= 4;
    const int32_t limit = kind == kFreeListIndex ? kIndexExhausted : kDataExhausted;
    if (list.used > limit) {
        st2(list.buffer, list.used);
        list.state = kFreeListDirty;
        return result;
    }
    const uint32_t exhausted = list.head;
    list.head = nextInChain(f, list.buffer, exhausted);
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
    if (list.head != 0 && !indexBlockExists(f, list.head)) raiseCorruptBlock(f, kDictionaryBlock);
    for (uint32_t n = list.head; n != 0; n = nextInChain(f, node, n)) {
        if (++steps > f->indexAlloc.highest) raiseCorruptBlock(f, n);
        readIndexBlock(f, n, node);
        const int32_t used = checkedUsed(f, node, n);
        if (visitor != nullptr) visitor(f, node, context);
        count += (used - kFreeNodeHeader) / 4;
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
    if (data.head != 0 && !indexBlockExists(f, data.head)) raiseCorruptBlock(f, kDictionaryBlock);
    for (uint32_t n = data.head; n != 0;) {
        if (++steps > f->indexAlloc.highest) raiseCorruptBlock(f, n);
        readIndexBlock(f, n, node);
        checkedUsed(f, node, n);
        const uint32_t next = nextInChain(f, node, n);
        freeListPut(f, kFreeListIndex, n);
        n = next;
    }
    data.head = 0;
    data.state = kFreeListUnloaded;
    const int64_t slots = f->slotSize > 0 ? sysFileSize(f, kKindData) / f->slotSize : 0;
    data.highest = static_cast<uint32_t>(slots);
}

}  // namespace wisam
