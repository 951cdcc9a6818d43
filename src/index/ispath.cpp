// layer: index/tree
// ispath.cpp - tree paths: set-up, push and pop, the node cache, flushing,
// invalidation and the positioning operations.
#include "index/ispath.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "frame/iscorrupt.h"
#include "frame/iserror.h"
#include "frame/isfile.h"
#include "frame/ismemory.h"
#include "index/iscomp.h"
#include "index/isfree.h"
#include "index/isidxio.h"
#include "index/iskey.h"

namespace wisam {

namespace {

// Source lines of the consistency reports of this module.
constexpr int kLineRootNotAtTop = 53;
constexpr int kLineSecondSibling = 67;
constexpr int kLineDescendToZero = 79;
constexpr int kLinePopWithoutFile = 100;
constexpr int kLineReleaseWithoutFile = 269;
constexpr int32_t kDefaultDupWidth = 4;  // when no file is at hand

// A consistency failure of this module, reported through the fatal hook
// first: no file damage, but the call cannot go on.
[[noreturn]] void inconsistent(IsFile *f, int line) {
    fatalAt("ispath", line);
    raiseError(f, kErrCorrupt, 0);
}

bool isLeaf(const PathNode *node) { return node->level == 0; }

// Node cache: cache[0 .. cacheCount) in order of release, newest last.

void cacheRemoveAt(TreePath *path, int32_t i) {
    std::memmove(path->cache + i, path->cache + i + 1,
                 static_cast<size_t>(path->cacheCount - i - 1) * sizeof(PathNode *));
    path->cache[--path->cacheCount] = nullptr;
}

// Makes room for `slots` more nodes: the oldest node that is not dirty falls
// out; when every cached node is dirty the cache grows.  Nothing changes when
// growing fails.
void cacheReserve(IsFile *f, TreePath *path, int32_t slots) {
    while (path->cacheCapacity - path->cacheCount < slots) {
        int32_t victim = 0;
        while (victim < path->cacheCount && path->cache[victim]->state == kNodeDirty) ++victim;
        if (victim < path->cacheCount) {
            PathNode *out = path->cache[victim];
            cacheRemoveAt(path, victim);
            if (path->spareCount < kSpareNodes && out->sibling == nullptr) {
                out->state = kNodeUnread;
                out->parent = path->spare;
                path->spare = out;
                ++path->spareCount;
            } else {
                nodeFree(out);
            }
            continue;
        }
        const size_t old = static_cast<size_t>(path->cacheCapacity) * sizeof(PathNode *);
        const size_t grown = old + static_cast<size_t>(kNodeCacheSlots) * sizeof(PathNode *);
        path->cache = static_cast<PathNode **>(reallocZeroed(f, path->cache, old, grown));
        path->cacheCapacity += kNodeCacheSlots;
    }
}

// Appends a node whose slot was reserved.
void cacheAppend(TreePath *path, PathNode *node) { path->cache[path->cacheCount++] = node; }

// The node and its split-off sibling (the sibling first, so the node is the
// newest); two slots must be reserved.
void cacheAppendWithSibling(TreePath *path, PathNode *node) {
    if (node->sibling != nullptr) {
        cacheAppend(path, node->sibling);
        node->sibling = nullptr;
    }
    cacheAppend(path, node);
}

// Takes the node of block `number` out of the cache, searching from the
// newest; null when it is not there.
PathNode *cacheTake(TreePath *path, uint32_t number) {
    for (int32_t i = path->cacheCount - 1; i >= 0; --i) {
        PathNode *node = path->cache[i];
        if (node->number != number) continue;
        cacheRemoveAt(path, i);
        return node;
    }
    return nullptr;
}

// Drops every cached copy of block `number` of one path.
void cacheDropNumber(TreePath *path, uint32_t number) {
    while (PathNode *stale = cacheTake(path, number)) nodeDiscard(stale);
}

// Frees the spare nodes.
void releaseSpares(TreePath *path) {
    while (PathNode *node = path->spare) {
        path->spare = node->parent;
        node->parent = nullptr;
        nodeFree(node);
    }
    path->spareCount = 0;
}

// A node for block `number` when it is not cached: a spare node, else the
// oldest clean node of a full cache, so that walking or searching many
// nodes allocates nothing.
PathNode *nodeFor(IsFile *f, TreePath *path, uint32_t number) {
    if (PathNode *node = path->spare) {
        path->spare = node->parent;
        --path->spareCount;
        node->parent = nullptr;
        node->number = number;
        node->state = kNodeUnread;
        nodeResetCursor(node);
        return node;
    }
    if (path->cacheCount == path->cacheCapacity) {
        for (int32_t i = 0; i < path->cacheCount; ++i) {
            PathNode *node = path->cache[i];
            if (node->state == kNodeDirty) continue;
            cacheRemoveAt(path, i);
            node->parent = nullptr;
            node->sibling = nullptr;
            node->number = number;
            node->state = kNodeUnread;
            nodeResetCursor(node);
            return node;
        }
    }
    return nodeAllocate(f, path, number);
}

// Parks a node during invalidation, where nothing may be allocated: into a
// free cache slot, else over the oldest clean node, else it is dropped.
void cacheParkQuietly(TreePath *path, PathNode *node) {
    if (node->number == 0) {
        nodeDiscard(node);
        return;
    }
    if (path->cacheCount == path->cacheCapacity) {
        int32_t victim = 0;
        while (victim < path->cacheCount && path->cache[victim]->state == kNodeDirty) ++victim;
        if (victim == path->cacheCount) {
            nodeDiscard(node);
            return;
        }
        nodeDiscard(path->cache[victim]);
        cacheRemoveAt(path, victim);
    }
    cacheAppend(path, node);
}

void makeUnread(PathNode *node) {
    node->state = kNodeUnread;
    nodeResetCursor(node);
}

PathNode *rootOf(TreePath *path) {
    PathNode *node = path->head;
    while (node != nullptr && node->parent != nullptr) node = node->parent;
    return node;
}

// Descends from the head along the entry chosen at each level by `step`
// (kStepFirst or kStepLast) after `pathPush`; returns the last step's result.
int descend(IsFile *f, TreePath *path, int step) {
    for (;;) {
        pathPush(f, path, path->head->pointer);
        const int found = stepNode(f, path, path->head, step);
        if (isLeaf(path->head)) return found;
        if (found == 0) raiseCorruptBlock(f, path->head->number);  // an empty node above the leaves
    }
}

// Keeps the entry a crossing leaves, for checkCrossing.
void noteCrossing(TreePath *path) {
    const PathNode *leaf = path->head;
    path->stepKept = leaf->position != 0 && leaf->key != nullptr;
    if (!path->stepKept) return;
    std::memcpy(path->stepKey, leaf->key, static_cast<size_t>(path->keyLength));
    path->stepSerial = leaf->serial;
}

// After a crossing in `direction` onto the entry the path now stands on:
// no more crossings than the file has blocks, and, where keys order by
// their bytes, the entries in index order on both sides of the crossing.
void checkCrossing(IsFile *f, TreePath *path, int direction) {
    const PathNode *leaf = path->head;
    path->leafOffset += direction == kStepNext ? 1 : -1;
    const uint64_t crossed = static_cast<uint64_t>(path->leafOffset < 0 ? -path->leafOffset : path->leafOffset);
    if (crossed >= f->indexAlloc.highest) raiseCorruptBlock(f, leaf->number);
    if (!path->stepKept || !byteRuleApplies(path)) return;
    const bool forward = direction == kStepNext;
    const uint8_t *before = forward ? path->stepKey : leaf->key;
    const uint8_t *after = forward ? leaf->key : path->stepKey;
    const uint64_t serialBefore = forward ? path->stepSerial : leaf->serial;
    const uint64_t serialAfter = forward ? leaf->serial : path->stepSerial;
    const int order = compareByByteRule(path, before, after);
    const bool same = std::memcmp(before, after, static_cast<size_t>(path->keyLength)) == 0;
    if (order > 0 || (same && (path->dupWidth == 0 || serialAfter <= serialBefore))) {
        raiseCorruptBlock(f, leaf->number);
    }
}

// Steps the leaf in `direction` (kStepNext or kStepPrev), crossing to the
// neighbouring leaf when needed.  At the end of the index the path returns
// to the entry it stood on (`back` is the step that reaches it).
int treeStep(IsFile *f, TreePath *path, int direction, int back) {
    nodeLoad(f, path, path->head);
    if (!isLeaf(path->head)) {
        // The path was reset to its root: from nowhere, next is the first
        // entry and previous the last.
        return direction == kStepNext ? treeFirst(f, path) : treeLast(f, path);
    }
    if (stepNode(f, path, path->head, direction)) return 1;
    noteCrossing(path);
    while (pathPop(f, path)) {
        if (stepNode(f, path, path->head, direction)) {
            const int found = descend(f, path, direction == kStepNext ? kStepFirst : kStepLast);
            if (found) checkCrossing(f, path, direction);
            return found;
        }
    }
    // No neighbour anywhere: back down along the edge of the index.
    if (isLeaf(path->head) || stepNode(f, path, path->head, back) == 0) return 0;
    descend(f, path, back);
    return 0;
}

int treeFind(IsFile *f, TreePath *path, const uint8_t *key, bool greater) {
    pathPopAll(f, path);
    for (;;) {
        PathNode *node = path->head;
        nodeLoad(f, path, node);
        const int found = findInNode(f, path, node, key, greater);
        if (node->used <= kNodeEmptyUsed && node->parent == nullptr) return 0;  // an empty index
        if (isLeaf(node)) {
            if (found) return 1;
            return node->position == 0 ? 0 : treeNext(f, path);
        }
        if (node->position == 0) raiseCorruptBlock(f, node->number);
        pathPush(f, path, node->pointer);
    }
}

// Stores a node unless nodeStore would do nothing with it (clean, no
// sibling): every change flushes, and most cached nodes are clean.
void storeIfNeeded(IsFile *f, PathNode *node) {
    if (node == nullptr || node->state == kNodeDirty || node->sibling != nullptr) nodeStore(f, node);
}

void flushOne(IsFile *f, TreePath *path) {
    if (path == nullptr) return;
    pathPopAll(f, path);
    for (int32_t i = path->cacheCount - 1; i >= 0; --i) storeIfNeeded(f, path->cache[i]);
    if (path->head != nullptr) storeIfNeeded(f, path->head);
}

void invalidateOne(IsFile *f, TreePath *path, int32_t mode) {
    const bool everything = mode == kAccessRead;
    for (int32_t i = 0; i < path->cacheCount; ++i) {
        if (everything || path->cache[i]->state == kNodeDirty) makeUnread(path->cache[i]);
    }
    for (int32_t i = path->cacheCount - 1; i >= 0; --i) {
        if (path->cache[i]->number == 0) {
            nodeDiscard(path->cache[i]);
            cacheRemoveAt(path, i);
        }
    }
    // Back to the root without releasing anything: nodes emptied by the
    // failed call are dropped with its other changes.
    while (path->head != nullptr && path->head->parent != nullptr) {
        PathNode *node = path->head;
        path->head = node->parent;
        node->parent = nullptr;
        PathNode *sibling = node->sibling;
        node->sibling = nullptr;
        for (PathNode *n : {sibling, node}) {
            if (n == nullptr) continue;
            if (everything || n->state == kNodeDirty) makeUnread(n);
            cacheParkQuietly(path, n);
        }
    }
    PathNode *root = path->head;
    if (root != nullptr) root->sibling = nodeDiscard(root->sibling);
    if (root != nullptr && root->number != path->rootNode) {
        // A new root was being built: the old one is still on the file.
        root = nodeDiscard(root);
        path->head = nullptr;
    }
    if (root == nullptr) {
        root = cacheTake(path, path->rootNode);
        if (root == nullptr) root = nodeAllocate(f, path, path->rootNode);
        makeUnread(root);
        path->head = root;
    }
    if (everything || root->state == kNodeDirty) makeUnread(root);
    if (f->indexFd >= 0 && path->rootNode != 0) nodeLoad(f, path, root);
}

}  // namespace

TreePath *pathCreate(IsFile *f, const KeyDesc &key) {
    void *raw = allocZeroed(f, sizeof(TreePath));
    auto *path = new (raw) TreePath{};
    path->key = key;
    int32_t length = 0;
    const int parts = std::clamp<int>(key.partCount, 0, IS_MAX_KEY_PARTS);
    for (int i = 0; i < parts; ++i) length += std::max<int32_t>(key.parts[i].length, 0);
    length = std::min(length, kMaxKeyBytes);
    path->key.keyLength = static_cast<int16_t>(length);
    path->compareLength = length;
    path->keyLength = length;
    if ((key.flags & ISKEY_DUPS) != 0) {
        path->dupWidth = std::clamp<int32_t>(f != nullptr ? f->dupWidth : kDefaultDupWidth, 0, kMaxDupWidth);
    }
    path->compression = (key.flags & kCompressionFlags) != 0 ? key.flags : 0;
    const int32_t counts = pathCompressed(path) ? ((key.flags & ISKEY_LEADCOMPRESS) != 0 ? 1 : 0) +
                                                      ((key.flags & ISKEY_TRAILCOMPRESS) != 0 ? 1 : 0)
                                                : 0;
    path->entrySize = length + counts + path->dupWidth + kPointerBytes;
    path->rootNode = key.rootNode;
    prepareKeyOrder(path);
    return path;  // the cache gets its slots when the first node is popped
}

TreePath *pathDestroy(TreePath *path) {
    if (path == nullptr) return nullptr;
    for (PathNode *node = path->head; node != nullptr;) {
        PathNode *parent = node->parent;
        nodeDiscard(node);
        node = parent;
    }
    for (int32_t i = 0; i < path->cacheCount; ++i) nodeDiscard(path->cache[i]);
    releaseSpares(path);
    path->cache = freeBlock(path->cache);
    path->splitBuffer = freeBlock(path->splitBuffer);
    path->~TreePath();
    return freeBlock(path);
}

void pathSetRoot(IsFile *f, TreePath *path, uint32_t number) {
    if (path->head != nullptr && path->head->parent != nullptr) inconsistent(f, kLineRootNotAtTop);
    const bool duplicates = (path->key.flags & ISKEY_DUPS) != 0;
    if (number != 0 && duplicates && (f->dupWidth < 1 || f->dupWidth > kMaxDupWidth)) {
        raiseCorruptBlock(f, kDictionaryBlock);  // the serial width is a dictionary field
    }
    if (path->head != nullptr) cacheReserve(f, path, path->head->sibling != nullptr ? 2 : 1);
    PathNode *node = number != 0 ? cacheTake(path, number) : nullptr;
    if (node == nullptr) node = nodeAllocate(f, path, number);
    if (path->head != nullptr) cacheAppendWithSibling(path, path->head);
    path->head = node;
    if (number == 0) return;
    path->rootNode = number;
    path->key.rootNode = number;
    nodeLoad(f, path, node);
}

void pathPush(IsFile *f, TreePath *path, uint32_t number) {
    // The number comes from the entry the head stands on.
    PathNode *parent = path->head;
    const uint32_t referrer = parent != nullptr ? parent->number : kPlaceUnknown;
    if (number == 0) fatalAt("ispath", kLineDescendToZero);
    if (!indexBlockExists(f, number)) raiseCorruptBlock(f, referrer);
    PathNode *node = cacheTake(path, number);
    if (node == nullptr) node = nodeFor(f, path, number);
    // Linked before it is read, so that a failing read leaves it owned.
    node->parent = parent;
    path->head = node;
    nodeLoad(f, path, node);
    if (parent != nullptr && node->level != parent->level - 1) raiseCorruptBlock(f, referrer);
}

int pathPop(IsFile *f, TreePath *path) {
    if (f == nullptr) {
        fatalAt("ispath", kLinePopWithoutFile);
        return 0;
    }
    PathNode *node = path->head;
    if (node == nullptr || node->parent == nullptr) return 0;
    cacheReserve(f, path, node->sibling != nullptr ? 2 : 1);
    path->head = node->parent;
    node->parent = nullptr;
    if (node->state == kNodeUnread || node->used > kNodeEmptyUsed) {
        cacheAppendWithSibling(path, node);
        return 1;
    }
    // Emptied: released unwritten.
    if (node->sibling != nullptr) {
        cacheAppend(path, node->sibling);
        node->sibling = nullptr;
    }
    const uint32_t number = node->number;
    nodeDiscard(node);
    cacheDropNumber(path, number);
    freeListPut(f, kFreeListIndex, number);
    return 1;
}

void pathPopAll(IsFile *f, TreePath *path) {
    while (pathPop(f, path)) {
    }
    // Whatever follows descends from the root afresh.
    path->leafOffset = 0;
}

PathNode *pathAttachSibling(IsFile *f, TreePath *path, uint32_t number) {
    if (path->head->sibling != nullptr) inconsistent(f, kLineSecondSibling);
    PathNode *node = nodeAllocate(f, path, number);
    path->head->sibling = node;
    return node;
}

uint32_t pathTakeNumber(IsFile *f, TreePath *path) {
    const uint32_t number = freeListTake(f, kFreeListIndex);
    // A copy left from a failed call must not stand for the new node.
    for (int32_t i = 0; i < f->keyCount && i < kMaxIndexes; ++i) {
        if (f->indexes[i] != nullptr) cacheDropNumber(f->indexes[i], number);
    }
    cacheDropNumber(path, number);
    return number;
}

void pathFlush(IsFile *f, int32_t index) {
    if (index == f->keyCount) {
        for (int32_t i = f->keyCount - 1; i >= 0; --i) flushOne(f, f->indexes[i]);
        return;
    }
    if (index >= 0 && index < f->keyCount) flushOne(f, f->indexes[index]);
}

void pathRelease(IsFile *f, TreePath *path) {
    if (path == nullptr) return;
    if (f == nullptr) {
        fatalAt("ispath", kLineReleaseWithoutFile);
    } else {
        pathPopAll(f, path);
    }
    for (int32_t i = path->cacheCount - 1; i >= 0; --i) {
        nodeFree(path->cache[i]);
        path->cache[i] = nullptr;
    }
    path->cacheCount = 0;
    releaseSpares(path);
    for (PathNode *node = path->head; node != nullptr;) {
        PathNode *parent = node->parent;
        node->parent = nullptr;
        nodeFree(node);
        node = parent;
    }
    path->head = nullptr;
}

void pathInvalidate(IsFile *f, int32_t mode) {
    for (int32_t i = std::min(f->keyCount, kMaxIndexes) - 1; i >= 0; --i) {
        if (f->indexes[i] != nullptr) invalidateOne(f, f->indexes[i], mode);
    }
}

bool pathIndexEmpty(IsFile *f, TreePath *path) {
    PathNode *root = rootOf(path);
    nodeLoad(f, path, root);
    return root->used <= kNodeEmptyUsed;
}

int treeFirst(IsFile *f, TreePath *path) {
    pathPopAll(f, path);
    nodeLoad(f, path, path->head);
    const int found = stepNode(f, path, path->head, kStepFirst);
    if (isLeaf(path->head) || found == 0) return found;
    return descend(f, path, kStepFirst);
}

int treeLast(IsFile *f, TreePath *path) {
    pathPopAll(f, path);
    nodeLoad(f, path, path->head);
    const int found = stepNode(f, path, path->head, kStepLast);
    if (isLeaf(path->head) || found == 0) return found;
    return descend(f, path, kStepLast);
}

int treeNext(IsFile *f, TreePath *path) { return treeStep(f, path, kStepNext, kStepLast); }

int treePrev(IsFile *f, TreePath *path) { return treeStep(f, path, kStepPrev, kStepFirst); }

int treeFindGE(IsFile *f, TreePath *path, const uint8_t *key) { return treeFind(f, path, key, false); }

int treeFindGT(IsFile *f, TreePath *path, const uint8_t *key) { return treeFind(f, path, key, true); }

int treeRefind(TreePath *path, IsFile *f) {
    int found = treeFindGE(f, path, path->currentKey);
    // Over the equal keys entered before the saved one, across leaves too.
    while (found != 0 && path->head->serial < path->currentSerial &&
           compareKeys(path, path->head->key, path->currentKey) == 0) {
        found = treeNext(f, path);
    }
    return found;
}

int treeCheckCurrent(IsFile *f, TreePath *path) {
    PathNode *head = path->head;
    auto onSaved = [&](const PathNode *node) {
        return node->pointer == path->currentRecord && node->serial == path->currentSerial;
    };
    if (head != nullptr && head->state != kNodeUnread && isLeaf(head) && head->position != 0 && onSaved(head)) {
        return 1;
    }
    if (pathIndexEmpty(f, path)) return 0;
    if (treeRefind(path, f) == 0) return 0;
    if (path->dupWidth == 0) return 1;
    while (!onSaved(path->head) && path->head->serial < path->currentSerial &&
           compareKeys(path, path->head->key, path->currentKey) == 0) {
        if (treeNext(f, path) == 0) return 0;
    }
    return 1;
}

}  // namespace wisam
