// layer: index/admin
// isindexes.cpp - isAddIndex and isDelIndex.


#include "frame/iserror.h"
#include "frame/isfile.h"
#include "frame/ishandles.h"
#include "index/iscomp.h"
#include "index/isfree.h"
#include "index/isgrow.h"
#include "index/isindexes.h"
#include "index/iskey.h"
#include "index/ispath.h"
#include "lock/islock.h"
#include "lock/issession.h"
#include "records/isslot.h"
#include "structure/isdict.h"
#include "structure/iskeydesc.h"
#include "txn/iswriters.h"
#include "wisam.h"
#include <algorithm>
#include <cstring>
#include <vector>

namespace wisam {

namespace {

bool exclusiveHandle(const IsFile *f) { return (f->mode & kModeExclusive) != 0; }

// The file to this handle alone: no other handle here (its index state
// would go stale) and, through the open-exclusive region, none elsewhere.
void takeFileAlone(IsFile *f) {
    if (groupShared(f)) raiseError(f, kErrFileInUse, 0);
    if (!exclusiveHandle(f)) openLockExclusive(f);
}

// The file alone for the life of one index change: the open lock goes back
// to shared when the change ends, also when it fails.
class FileAlone {
public:
    explicit FileAlone(IsFile *f) : f_(f) { takeFileAlone(f); }
    ~FileAlone() {
        if (released_ || exclusiveHandle(f_)) return;
        try {
            openLockDowngrade(f_);
        } catch (const IsamRaise &) {
            // The change failed already; its error is the one reported.
        }
    }
    void release() {
        released_ = true;
        if (!exclusiveHandle(f_)) openLockDowngrade(f_);
    }
    FileAlone(const FileAlone &) = delete;
    FileAlone &operator=(const FileAlone &) = delete;

private:
    IsFile *f_;
    bool released_ = false;
};

// Releases the subtree below the head, then the head itself.
void releaseSubtree(IsFile *f, TreePath *path) {
    PathNode *node = path->head;
    if (node->level > 0) {
        for (int more = nodeStep(f, path, kStepFirst); more; more = nodeStep(f, path, kStepNext)) {
            pathPush(f, path, path->head->pointer);
            releaseSubtree(f, path);
            pathPop(f, path);
        }
    }
    freeListPut(f, kFreeListIndex, node->number);
}

void checkAddable(IsFile *f, const KeyDesc &key) {
    const bool hasIndexes = f->keyCount > 0 || (f->state & kStateNoPrimaryKey) != 0;
    if (hasIndexes) {
        if (key.partCount == 0) raiseError(f, kErrPrimaryKey, 0);
        if (f->recordLength == 0) raiseError(f, kErrBadArgument, 0);
        if (f->keyCount >= kMaxAddedIndexes) raiseError(f, kErrBadKey, 0);
        if ((f->mode & kModeIndexMask) == 0 && findIndex(f, key) >= 0) {
            raiseError(f, kErrIndexExists, 0);
        }
    }
    if (!validateKeyDesc(f, key) || !keyFitsNode(f, key)) raiseError(f, kErrBadKey, 0);
}

void dropPathAt(IsFile *f, int32_t index);

bool recordInIndex(const IsFile *f, int32_t index) {
    return f->recordBuffer[f->recordLength] != kSlotMarkerDeleted &&
           (recordMaskOf(f) >> index & 1u) == 0;
}

// An index without duplicates over records with equal keys would fail half
// built, with its description and part of its tree already in the file.
// The keys are checked first, so that 100 leaves the file as it was.
void checkUniqueKeys(IsFile *f, const KeyDesc &key, int32_t index) {
    if ((key.flags & ISKEY_DUPS) != 0 || f->dataAlloc.highest == 0) return;
    struct Probe {
        TreePath *path;
        ~Probe() { pathDestroy(path); }
    } probe{pathCreate(f, key)};
    const TreePath *path = probe.path;
    const size_t length = static_cast<size_t>(path->keyLength);
    std::vector<uint8_t> keys;
    for (uint32_t r = 1; r <= f->dataAlloc.highest; ++r) {
        readSlot(f, nullptr, static_cast<int32_t>(r));
        if (!recordInIndex(f, index)) continue;
        keys.resize(keys.size() + length);
        uint8_t *at = keys.data() + keys.size() - length;
        makeKey(path, at, f->recordBuffer);
        if (isNullKey(path, at)) keys.resize(keys.size() - length);
    }
    std::vector<const uint8_t *> order;
    for (size_t at = 0; at < keys.size(); at += length) order.push_back(keys.data() + at);
    std::sort(order.begin(), order.end(),
              [&](const uint8_t *a, const uint8_t *b) { return compareKeys(path, a, b) < 0; });
    for (size_t i = 1; i < order.size(); ++i) {
        if (compareKeys(path, order[i - 1], order[i]) == 0) raiseError(f, kErrDuplicate, 0);
    }
}

}  // namespace

int addIndex(IsFile *f, KeyDesc *key) {
    if (key == nullptr) raiseError(f, kErrBadArgument, 0);
    checkAddable(f, *key);
    FileAlone alone(f);
    checkUniqueKeys(f, *key, f->keyCount);
    const int32_t before = f->keyCount;
    try {
        appendKeyDesc(f, key);
        buildIndex(f, f->keyCount - 1);
        freeListFlush(f);
        writeDictionary(f);
        logIndexAdded(f, *key);
        commitChange(f);  // a journaled change that fails drops the new index here
    } catch (...) {
        // The handle must not keep an index the files, once the failed call
        // is taken back, do not have.
        while (f->keyCount > before) dropPathAt(f, f->keyCount - 1);
        throw;
    }
    alone.release();
    return 1;
}

namespace {

void dropPathAt(IsFile *f, int32_t index) {
    TreePath *path = f->indexes[index];
    f->indexes[index] = nullptr;
    pathDestroy(path);
    for (int32_t i = index; i + 1 < f->keyCount; ++i) f->indexes[i] = f->indexes[i + 1];
    f->indexes[--f->keyCount] = nullptr;
    if (f->currentIndex > index || f->currentIndex > f->keyCount) --f->currentIndex;
}

}  // namespace

int delIndex(IsFile *f, KeyDesc *key) {
    if (key == nullptr) raiseError(f, kErrBadArgument, 0);
    const bool noPrimary = (f->state & kStateNoPrimaryKey) != 0;
    if ((noPrimary && f->keyCount == 0) || (!noPrimary && f->keyCount == 1)) {
        raiseError(f, kErrPrimaryKey, 0);
    }
    const int32_t index = key->partCount == 0 ? -1 : findIndex(f, *key);
    if (index < 0) raiseError(f, kErrBadKey, 0);
    FileAlone alone(f);
    freeIndexTree(f, index);
    removeKeyDesc(f, index);
    storeKeyCount(f, f->keyCount - 1);
    freeListFlush(f);
    writeDictionary(f);
    logIndexDropped(f, *key);
    commitChange(f);
    // Only now, with every write done: a failed call keeps its index.
    dropPathAt(f, index);
    alone.release();
    return 1;
}


int buildIndex(IsFile *f, int32_t index) {
    TreePath *path = f->indexes[index];
    uint8_t key[kMaxKeyBytes];
    path->compareLength = path->keyLength;
    for (uint32_t r = 1; r <= f->dataAlloc.highest; ++r) {
        readSlot(f, nullptr, static_cast<int32_t>(r));
        if (!recordInIndex(f, index)) continue;
        makeKey(path, key, f->recordBuffer);
        if (isNullKey(path, key)) continue;
        insertKey(f, path, key, r);
        pathFlush(f, index);
    }
    return 1;
}

int freeIndexTree(IsFile *f, int32_t index) {
    TreePath *path = f->indexes[index];
    pathPopAll(f, path);
    releaseSubtree(f, path);
    return 1;
}

}  // namespace wisam
