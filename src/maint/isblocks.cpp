// layer: maint
// isblocks.cpp - walking what owns the blocks of an index file.
#include "maint/isblocks.h"

#include "frame/iscorrupt.h"
#include "index/iscomp.h"
#include "index/isfree.h"
#include "index/isidxio.h"
#include "index/ispath.h"
#include "structure/isencode.h"
#include "structure/iskeydesc.h"

namespace wisam {

namespace {

bool listNode(const IsFile *f, const uint8_t *node, int32_t used) {
    return node[f->nodeSize - kFreeNodeMarkerFromEnd] == kFreeNodeMarker &&
           node[f->nodeSize - kFreeNodeKindFromEnd] == kFreeNodeKind && used >= kFreeNodeHeader &&
           used <= f->nodeSize - 4 && (used - kFreeNodeHeader) % 4 == 0;
}

void mark(std::vector<bool> &owned, uint32_t block) {
    if (block < owned.size()) owned[block] = true;
}

// The key-description chain is never changed by a record call, so damage
// there is not a writer's leftover: it is reported, not worked around.
void markKeyDescChain(IsFile *f, std::vector<bool> &owned) {
    std::vector<uint8_t> block(static_cast<size_t>(f->nodeSize));
    uint32_t steps = 0;
    for (uint32_t n = f->keyDescNode; n != 0; n = static_cast<uint32_t>(ld4(block.data() + 2))) {
        if (!indexBlockExists(f, n) || owned[n] || ++steps > f->indexAlloc.highest) raiseCorruptBlock(f, n);
        readIndexBlock(f, n, block.data());
        if (block[f->nodeSize - 3] != kKeyDescMarker || block[f->nodeSize - 2] != kKeyDescKind) {
            raiseCorruptBlock(f, n);
        }
        owned[n] = true;
    }
}

// The blocks below the head of the path, depth first.  pathPush checks
// every child (inside the file, a tree node, one level down), so the walk
// ends on any tree.
void collectBelow(IsFile *f, TreePath *path, std::vector<uint32_t> &blocks) {
    if (path->head->level == 0) return;
    for (int more = nodeStep(f, path, kStepFirst); more; more = nodeStep(f, path, kStepNext)) {
        pathPush(f, path, path->head->pointer);
        blocks.push_back(path->head->number);
        collectBelow(f, path, blocks);
        pathPop(f, path);
    }
}

}  // namespace

FreeChain readFreeChain(IsFile *f, uint32_t head) {
    FreeChain chain;
    std::vector<uint8_t> node(static_cast<size_t>(f->nodeSize));
    std::vector<bool> seen(static_cast<size_t>(f->indexAlloc.highest) + 1);
    for (uint32_t n = head; n != 0; n = static_cast<uint32_t>(ld4(node.data() + 2))) {
        if (!indexBlockExists(f, n) || seen[n]) {
            chain.damaged = true;
            break;
        }
        seen[n] = true;
        readIndexBlock(f, n, node.data());
        const int32_t used = ld2(node.data());
        if (!listNode(f, node.data(), used)) {
            chain.damaged = true;
            break;
        }
        chain.nodes.push_back(n);
        for (int32_t at = kFreeNodeHeader; at < used; at += 4) {
            chain.numbers.push_back(static_cast<uint32_t>(ld4(node.data() + at)));
        }
    }
    return chain;
}

bool hasBlockMap(const IsFile *f) { return (f->mode & kModeVarLength) == 0 && f->maxRecordLength == 0; }

bool collectTreeBlocks(IsFile *f, int32_t index, std::vector<uint32_t> &blocks) {
    TreePath *path = f->indexes[index];
    blocks.push_back(path->rootNode);
    const bool whole = tolerateCorruption(f, [&] {
        pathPopAll(f, path);
        nodeLoad(f, path, path->head);
        collectBelow(f, path, blocks);
    });
    tolerateCorruption(f, [&] { pathPopAll(f, path); });
    return whole;
}

bool markOwnedBlocks(IsFile *f, int32_t skipIndex, std::vector<bool> &owned) {
    owned.assign(static_cast<size_t>(f->indexAlloc.highest) + 1, false);
    mark(owned, kDictionaryBlock);
    markKeyDescChain(f, owned);
    // A node found empty on the way is released to the index list, which
    // is rebuilt afterwards anyway: it starts empty, so that a damaged head
    // is never read.
    f->indexAlloc.head = 0;
    f->indexAlloc.state = kFreeListUnloaded;
    bool complete = true;
    for (int32_t i = 0; i < f->keyCount; ++i) {
        if (i == skipIndex) {
            mark(owned, f->indexes[i]->rootNode);
            continue;
        }
        std::vector<uint32_t> blocks;
        complete = collectTreeBlocks(f, i, blocks) && complete;
        for (uint32_t block : blocks) mark(owned, block);
    }
    return complete;
}

void rebuildIndexFreeList(IsFile *f, const std::vector<bool> &owned, bool complete,
                          const std::vector<uint32_t> &candidates) {
    std::vector<bool> listed(owned.size(), complete);
    if (!complete) {
        for (uint32_t n : candidates) {
            if (n < listed.size()) listed[n] = true;
        }
    }
    f->indexAlloc.head = 0;
    f->indexAlloc.state = kFreeListUnloaded;
    for (uint32_t n = f->indexAlloc.highest; n >= kFirstNodeBlock; --n) {
        if (n < owned.size() && listed[n] && !owned[n]) freeListPut(f, kFreeListIndex, n);
    }
}

}  // namespace wisam
