// layer: index/tree
// isnode.cpp - tree nodes: I/O, the PathNode life cycle, parsing and checks.
#include "index/isnode.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "frame/iscorrupt.h"
#include "frame/iserror.h"
#include "frame/isfile.h"
#include "frame/ismemory.h"
#include "index/isidxio.h"
#include "index/ispath.h"
#include "structure/isencode.h"

namespace wisam {

namespace {

// The node size of a handle, checked before any offset is derived from it;
// it comes from the dictionary.
int32_t checkedNodeSize(IsFile *f) {
    if (f->nodeSize < kMinNodeSize || f->nodeSize > kMaxNodeSize) raiseCorruptBlock(f, kDictionaryBlock);
    return f->nodeSize;
}

}  // namespace


void writeNode(IsFile *f, const uint8_t *buffer, uint32_t n) { writeIndexBlock(f, n, buffer); }

int32_t nodeUsedOf(const uint8_t *data) { return static_cast<int32_t>(ldBigN(data, 2)); }

int32_t nodeLevelOf(const IsFile *f, const uint8_t *data) { return data[f->nodeSize - kNodeLevelFromEnd]; }


void storeSerial(uint8_t *at, int32_t width, uint64_t serial) {
    if (width > 0) stBigN(at, width, serial);
}

bool nodeHasRoom(const IsFile *f, int32_t used) { return used < f->nodeSize - kNodeTailReserve; }

PathNode *nodeAllocate(IsFile *f, const TreePath *path, uint32_t number) {
    const int32_t size = checkedNodeSize(f);
    const int32_t keyBytes = pathCompressed(path) ? path->keyLength : 0;
    void *raw = allocZeroed(f, sizeof(PathNode) + static_cast<size_t>(keyBytes) + static_cast<size_t>(size));
    auto *node = new (raw) PathNode{};
    auto *bytes = reinterpret_cast<uint8_t *>(node + 1);
    // A compressed index gets its key buffer even for a key of no bytes
    // (parts of length 0 are valid): the current key is never null.
    node->keyBuffer = pathCompressed(path) ? bytes : nullptr;
    node->data = bytes + keyBytes;
    node->number = number;
    return node;
}

PathNode *nodeFree(PathNode *node) {
    if (node == nullptr || node->sibling != nullptr) {
        fatalAt("isnode", kLineFreeSibling);
        if (node == nullptr) return nullptr;
        node->sibling = nodeDiscard(node->sibling);
    }
    if (node->state == kNodeDirty) fatalAt("isnode", kLineFreeDirty);
    node->~PathNode();
    return freeBlock(node);
}

PathNode *nodeDiscard(PathNode *node) {
    while (node != nullptr) {
        PathNode *sibling = node->sibling;
        node->~PathNode();
        freeRaw(node);
        node = sibling;
    }
    return nullptr;
}

void nodeResetCursor(PathNode *node) {
    node->position = 0;
    node->next = 0;
    node->pointer = 0;
    node->serial = 0;
    node->key = nullptr;
}

// Copies a node image without its unused middle: the entries up to the
// used length (all but the trailer when that length is out of range, which
// the load then rejects) and the trailer bytes.
void copyNodeImage(uint8_t *to, const uint8_t *from, int32_t size) {
    const int32_t trailer = size - kNodeMarkFromEnd;
    const int32_t used = std::clamp(nodeUsedOf(from), 0, trailer);
    std::memcpy(to, from, static_cast<size_t>(used));
    std::memcpy(to + trailer, from + trailer, static_cast<size_t>(kNodeMarkFromEnd));
}

void nodeLoad(IsFile *f, const TreePath *path, PathNode *node) {
    if (node->state != kNodeUnread) return;
    const int32_t size = checkedNodeSize(f);
    const uint8_t *image = viewIndexBlock(f, node->number, node->data);
    if (image != node->data) copyNodeImage(node->data, image, size);
    const int32_t used = nodeUsedOf(node->data);
    // A block of another kind, or one whose used length leaves the entry
    // area, is no tree node of ours.
    bool damaged = used < kNodeEmptyUsed || !nodeHasRoom(f, used) ||
                   node->data[size - kNodeMarkFromEnd] != 0 || node->data[size - kNodeZeroFromEnd] != 0;
    if (!pathCompressed(path) && path->entrySize > 0) {
        damaged = damaged || (used - kNodeFirstEntry) % path->entrySize != 0;
    }
    if (damaged) raiseCorruptBlock(f, node->number);
    node->used = used;
    node->level = nodeLevelOf(f, node->data);
    node->state = kNodeClean;
    nodeResetCursor(node);
}

void nodeStore(IsFile *f, PathNode *node) {
    if (node == nullptr || node->sibling != nullptr) {
        fatalAt("isidxio", kLineStoreSibling);
        raiseError(f, kErrCorrupt, 0);
    }
    if (node->state != kNodeDirty) return;
    writeNode(f, node->data, node->number);
    node->state = kNodeClean;
}

void nodeInitEmpty(IsFile *f, PathNode *node, int32_t level) {
    const int32_t size = checkedNodeSize(f);
    std::memset(node->data, 0, static_cast<size_t>(size));
    node->level = level;
    nodeChanged(f, node, kNodeEmptyUsed);
}

void nodeChanged(IsFile *f, PathNode *node, int32_t used) {
    node->used = used;
    st2(node->data, used);
    const int32_t trailer = f->nodeSize - kNodeMarkFromEnd;
    if (used >= 0 && used < trailer) std::memset(node->data + used, 0, static_cast<size_t>(trailer - used));
    node->data[f->nodeSize - kNodeLevelFromEnd] = static_cast<uint8_t>(node->level);
    node->state = kNodeDirty;
    nodeResetCursor(node);
}

}  // namespace wisam
