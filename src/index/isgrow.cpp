// layer: index/tree
// isgrow.cpp - key insertion, node insertion in both forms, splits.
#include "index/isgrow.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "frame/iscorrupt.h"
#include "frame/iserror.h"
#include "frame/isfile.h"
#include "frame/ismemory.h"
#include "index/iscomp.h"
#include "index/iskey.h"
#include "index/isnode.h"
#include "index/ispath.h"
#include "structure/isencode.h"

namespace wisam {

namespace {

constexpr char kDuplicateNotice = '2';     // status characters 2 and 4
constexpr int32_t kNodeCapacityBytes = 7;  // S - 7: entry bytes a node can hold
constexpr int32_t kMaxLevel = 255;         // the level is one byte

[[noreturn]] void badOffset(IsFile *f) {
    fatalAt("isgrow", kLineInsertOffset);
    raiseError(f, kErrCorrupt, 0);
}

void setRepeat(uint8_t *data, int32_t entryEnd, bool on) {
    uint8_t &flagByte = data[entryEnd - kPointerBytes];
    flagByte = static_cast<uint8_t>(on ? flagByte | kRepeatFlagByte : flagByte & ~kRepeatFlagByte);
}

void storePointer(uint8_t *at, uint32_t pointer, bool repeat) {
    st4(at, static_cast<int32_t>((pointer & kPointerMask) | (repeat ? kRepeatFlag : 0)));
}

// Plain form of the node insertion into a node image; 0 when the result
// would reach `limit`.
int32_t insertPlain(IsFile *f, TreePath *path, uint8_t *data, int32_t used, int32_t limit, bool leaf,
                    int32_t offset, const uint8_t *key, uint64_t serial, uint32_t pointer) {
    const int32_t e = path->entrySize;
    const int32_t k = path->keyLength;
    const int32_t w = path->dupWidth;
    if (offset < kNodeFirstEntry || offset > used || (offset - kNodeFirstEntry) % e != 0) badOffset(f);
    const int32_t grown = used + e;
    if (grown >= limit) return 0;
    std::memmove(data + offset + e, data + offset, static_cast<size_t>(used - offset));
    std::memcpy(data + offset, key, static_cast<size_t>(k));
    storeSerial(data + offset + k, w, serial);
    storePointer(data + offset + k + w, pointer, false);
    // A stale last separator smaller than the new one takes its key.
    const int32_t last = grown - e;
    if (!leaf && offset + e == last && compareKeys(path, data + last, key) < 0) {
        std::memcpy(data + last, key, static_cast<size_t>(k));
        storeSerial(data + last + k, w, serial);
    }
    return grown;
}

// Compressed form.  The entry before the offset gives the previous key; the
// entry at the offset is re-encoded against the new key.  Repeat flags end
// up set exactly on the entries followed by one without key bytes.
int32_t insertCompressed(IsFile *f, TreePath *path, uint8_t *data, int32_t used, int32_t limit, bool leaf,
                         int32_t offset, const uint8_t *key, uint64_t serial, uint32_t pointer, bool prevKnown) {
    PathScratch &s = path->scratch;
    const int32_t k = path->keyLength;
    const int32_t w = path->dupWidth;
    const uint16_t flags = path->compression;
    if (offset < kNodeFirstEntry || offset > used) badOffset(f);
    const bool hasPrev = offset > kNodeFirstEntry;
    if (hasPrev && !prevKnown &&
        expandEntries(f, path, data, used, s.prevKey, kNodeFirstEntry, offset) != offset - kNodeFirstEntry) {
        badOffset(f);
    }
    const int32_t c = compressKey(s.entryBytes, hasPrev ? s.prevKey : nullptr, key, flags, k);
    const bool hasFollow = offset < used;
    EntryView follow;
    int32_t fc = 0;
    uint64_t followSerial = 0;
    if (hasFollow) {
        if (hasPrev) std::memcpy(s.nextKey, s.prevKey, static_cast<size_t>(k));
        decodeEntry(f, path, data, used, offset, s.nextKey, follow);
        followSerial = follow.serial;
        if (!leaf && compareKeys(path, s.nextKey, key) < 0) {
            std::memcpy(s.nextKey, key, static_cast<size_t>(k));
            followSerial = serial;
        }
        fc = compressKey(s.followBytes, key, s.nextKey, flags, k);
    }
    const int32_t entry = c + w + kPointerBytes;
    const int32_t grown = used + entry + (hasFollow ? fc - follow.keyBytes : 0);
    if (grown >= limit) return 0;
    if (hasFollow) {
        std::memmove(data + offset + entry + fc, data + follow.tail, static_cast<size_t>(used - follow.tail));
        std::memcpy(data + offset + entry, s.followBytes, static_cast<size_t>(fc));
        storeSerial(data + offset + entry + fc, w, followSerial);
    }
    std::memcpy(data + offset, s.entryBytes, static_cast<size_t>(c));
    storeSerial(data + offset + c, w, serial);
    storePointer(data + offset + c + w, pointer, hasFollow && fc == 0);
    if (hasPrev) setRepeat(data, offset, c == 0);
    return grown;
}

// With `prevKnown` the caller has left the key before `offset` in
// path->scratch.prevKey.
int32_t insertIntoImage(IsFile *f, TreePath *path, uint8_t *data, int32_t used, int32_t limit, bool leaf,
                        int32_t offset, const uint8_t *key, uint64_t serial, uint32_t pointer,
                        bool prevKnown = false) {
    return pathCompressed(path)
               ? insertCompressed(f, path, data, used, limit, leaf, offset, key, serial, pointer, prevKnown)
               : insertPlain(f, path, data, used, limit, leaf, offset, key, serial, pointer);
}

int insertIntoNode(IsFile *f, TreePath *path, PathNode *node, int32_t offset, const uint8_t *key, uint64_t serial,
                   uint32_t pointer, bool prevKnown) {
    nodeLoad(f, path, node);
    const int32_t grown = insertIntoImage(f, path, node->data, node->used, f->nodeSize - kNodeTailReserve,
                                          node->level == 0, offset, key, serial, pointer, prevKnown);
    if (grown == 0) return 0;
    nodeChanged(f, node, grown);
    return 1;
}

// The key and serial of the entry before `offset` of a leaf (offset > 2),
// left in path->scratch.prevKey.  The cursor stands on the last entry when
// the offset is the used length.
uint64_t entryBefore(IsFile *f, TreePath *path, const PathNode *leaf, int32_t offset) {
    PathScratch &s = path->scratch;
    const size_t k = static_cast<size_t>(path->keyLength);
    if (offset == leaf->used && leaf->position != 0 && leaf->next == leaf->used) {
        std::memcpy(s.prevKey, leaf->key, k);
        return leaf->serial;
    }
    EntryView view;
    if (expandEntries(f, path, leaf->data, leaf->used, s.prevKey, kNodeFirstEntry, offset, &view) !=
        offset - kNodeFirstEntry) {
        badOffset(f);
    }
    return view.serial;
}

// The run of a split: the node's image with the new entry, unbounded.
int32_t buildRun(IsFile *f, TreePath *path, const PathNode *node, int32_t offset, const uint8_t *key,
                 uint64_t serial, uint32_t pointer) {
    const int32_t size = f->nodeSize + 2 * path->entrySize + kNodeFirstEntry;
    if (path->splitBufferSize < size) {
        path->splitBuffer = static_cast<uint8_t *>(
            reallocZeroed(f, path->splitBuffer, static_cast<size_t>(path->splitBufferSize), static_cast<size_t>(size)));
        path->splitBufferSize = size;
    }
    std::memcpy(path->splitBuffer, node->data, static_cast<size_t>(node->used));
    if (key == nullptr) return node->used;
    const int32_t run = insertIntoImage(f, path, path->splitBuffer, node->used, path->splitBufferSize,
                                        node->level == 0, offset, key, serial, pointer);
    if (run == 0) raiseCorruptBlock(f, node->number);
    return run;
}

// Index (in the node) of the first entry starting at or after U / 2, and
// its offset; -1 when there is none.
int32_t middleEntry(IsFile *f, TreePath *path, const PathNode *node, int32_t &start) {
    const int32_t half = node->used / 2;
    EntryView view;
    int32_t index = 0;
    for (int32_t at = kNodeFirstEntry; at < node->used; at = view.next, ++index) {
        if (at >= half) {
            start = at;
            return index;
        }
        decodeEntry(f, path, node->data, node->used, at, path->scratch.walkKey, view);
    }
    return -1;
}

// Where the run is cut: the number of its entries that go to the lower part.
// The usual cut when both parts fit, else the most even one that fits.
int32_t chooseCut(IsFile *f, TreePath *path, const PathNode *node, int32_t run, int32_t offset, bool withEntry) {
    constexpr int32_t kLastEntry = -2;  // before the new, last entry
    int32_t preferred = -1;
    if (withEntry && offset == node->used) {
        preferred = kLastEntry;
    } else if (withEntry && !pathCompressed(path)) {
        const int32_t half = (node->used - kNodeFirstEntry) / path->entrySize / 2;
        const int32_t q = (offset - kNodeFirstEntry) / path->entrySize;
        preferred = half + (q <= half ? 1 : 0);
    } else {
        int32_t start = 0;
        const int32_t m = middleEntry(f, path, node, start);
        if (m >= 0) preferred = withEntry && offset <= start ? m + 1 : m;
    }
    const int32_t limit = f->nodeSize - kNodeTailReserve;
    int32_t best = -1;
    int32_t bestGap = 0;
    EntryView view;
    int32_t count = 0;
    for (int32_t at = kNodeFirstEntry; at < run; at = view.next, ++count) {
        const uint8_t *entryKey = decodeEntry(f, path, path->splitBuffer, run, at, path->scratch.walkKey, view);
        if (count == 0) continue;
        const int32_t lower = at;
        const int32_t upper = kNodeFirstEntry + fullKeyBytes(path, entryKey) + (run - view.tail);
        if (lower >= limit || upper >= limit) continue;
        if (count == preferred || (preferred == kLastEntry && view.next == run)) return count;
        const int32_t gap = std::abs(lower - upper);
        if (best < 0 || gap < bestGap) {
            best = count;
            bestGap = gap;
        }
    }
    // Only a key too long for the node size gets here (keyFitsNode).
    if (best < 0) raiseError(f, kErrBadKey, 0);
    return best;
}

}  // namespace

bool keyFitsNode(const IsFile *f, const KeyDesc &key) {
    if (key.partCount <= 0) return true;
    if (key.partCount > IS_MAX_KEY_PARTS) return false;
    int32_t k = 0;
    for (int i = 0; i < key.partCount; ++i) {
        if (key.parts[i].length < 0) return false;
        k += key.parts[i].length;
    }
    if (k > kMaxKeyBytes) return false;
    int32_t w = 0;
    if ((key.flags & ISKEY_DUPS) != 0) {
        w = f->dupWidth;
        if (w < 1 || w > kMaxDupWidth) return false;
    }
    const bool compressed = (key.flags & kCompressionFlags) != 0;
    const int32_t counts = compressed ? ((key.flags & ISKEY_LEADCOMPRESS) != 0 ? 1 : 0) +
                                            ((key.flags & ISKEY_TRAILCOMPRESS) != 0 ? 1 : 0)
                                      : 0;
    const int32_t largest = k + counts + w + kPointerBytes;
    if (f->nodeSize < kMinNodeSize || f->nodeSize > kMaxNodeSize) return false;
    // A node holds `capacity` bytes of entries.  Two largest entries: the
    // root after a split.  Compressed: a run of a full node, a new entry and
    // the regrowth of the entry after it (up to largest - W - 4) can always
    // be cut so that the upper part - a full first key plus what follows the
    // longest lower part that fits - fits too, when 3 x largest - W - 5 does.
    const int32_t capacity = f->nodeSize - kNodeCapacityBytes;
    if (2 * largest > capacity) return false;
    const int32_t smallestEntry = w + kPointerBytes;
    return !compressed || 3 * largest - smallestEntry - 1 <= capacity;
}

int nodeInsert(IsFile *f, TreePath *path, PathNode *node, int32_t offset, const uint8_t *key, uint64_t serial,
               uint32_t pointer) {
    return insertIntoNode(f, path, node, offset, key, serial, pointer, false);
}

PathNode *splitHead(IsFile *f, TreePath *path, int32_t offset, const uint8_t *key, uint64_t serial,
                    uint32_t pointer, uint64_t &separatorSerial) {
    PathNode *node = path->head;
    nodeLoad(f, path, node);
    const int32_t run = buildRun(f, path, node, offset, key, serial, pointer);
    const int32_t cut = chooseCut(f, path, node, run, offset, key != nullptr);
    if (cut < 1) raiseCorruptBlock(f, node->number);
    PathScratch &s = path->scratch;
    const uint8_t *bytes = path->splitBuffer;
    const int32_t k = path->keyLength;
    const int32_t w = path->dupWidth;
    // The new entry starts at `offset` in the run as in the node.
    const bool appended = key != nullptr && offset == node->used;
    bool newEndsLower = false;
    EntryView view;
    int32_t at = kNodeFirstEntry;
    const uint8_t *entryKey = nullptr;
    for (int32_t i = 0; i <= cut; ++i) {
        if (i == cut) {
            std::memcpy(s.separator, entryKey, static_cast<size_t>(k));
            separatorSerial = view.serial;
            newEndsLower = key != nullptr && view.offset == offset;
        }
        entryKey = decodeEntry(f, path, bytes, run, at, s.walkKey, view);
        if (i < cut) at = view.next;
    }
    // An append separates with the new entry, which opens the upper part,
    // so that the parent's key for the lower node is the appended key.
    if (appended) {
        std::memcpy(s.separator, entryKey, static_cast<size_t>(k));
        separatorSerial = view.serial;
    }
    // When the new entry ends the lower part, the upper part starts with the
    // entry that followed it in the node, as it was there: a stale last key
    // that the run's insertion replaced by the new key is replaced only in
    // the node that takes the new entry.
    uint64_t upperSerial = view.serial;
    if (newEndsLower && !appended) {
        EntryView original;
        expandEntries(f, path, node->data, node->used, s.nextKey, pathCompressed(path) ? kNodeFirstEntry : offset,
                      offset + 1, &original);
        if (original.offset != offset) badOffset(f);
        entryKey = s.nextKey;
        upperSerial = original.serial;
    }
    const int32_t upperUsed = kNodeFirstEntry + fullKeyBytes(path, entryKey) + (run - view.tail);
    if (upperUsed >= f->nodeSize - kNodeTailReserve) raiseCorruptBlock(f, node->number);
    // Everything that can fail is done before the first change.
    const uint32_t number = pathTakeNumber(f, path);
    PathNode *lower = pathAttachSibling(f, path, number);
    // Lower part: the run up to the cut.
    std::memcpy(lower->data, bytes, static_cast<size_t>(at));
    setRepeat(lower->data, at, false);
    lower->level = node->level;
    nodeChanged(f, lower, at);
    // Upper part: the entry at the cut with its full key, then the rest.
    std::memset(node->data, 0, static_cast<size_t>(f->nodeSize));
    int32_t used = kNodeFirstEntry;
    if (pathCompressed(path)) {
        used += compressKey(node->data + used, nullptr, entryKey, path->compression, k);
    } else {
        std::memcpy(node->data + used, entryKey, static_cast<size_t>(k));
        used += k;
    }
    std::memcpy(node->data + used, bytes + view.tail, static_cast<size_t>(run - view.tail));
    storeSerial(node->data + used, w, upperSerial);
    used += run - view.tail;
    nodeChanged(f, node, used);
    return lower;
}

void carrySeparatorUp(IsFile *f, TreePath *path, uint64_t separatorSerial) {
    PathScratch &s = path->scratch;
    for (;;) {
        PathNode *node = path->head;
        const uint32_t lowerNumber = node->sibling->number;
        if (node->parent == nullptr) {
            // The root split: its contents move to a new block, and the root
            // block starts again one level higher with two entries.
            if (node->level >= kMaxLevel) raiseCorruptBlock(f, node->number);
            const uint32_t moved = pathTakeNumber(f, path);
            const int32_t level = node->level + 1;
            node->number = moved;
            pathSetRoot(f, path, 0);
            PathNode *root = path->head;
            nodeInitEmpty(f, root, level);
            root->number = path->rootNode;
            if (!nodeInsert(f, path, root, kNodeFirstEntry, s.separator, separatorSerial, moved) ||
                !nodeInsert(f, path, root, kNodeFirstEntry, s.separator, separatorSerial, lowerNumber)) {
                raiseError(f, kErrBadKey, 0);
            }
            stepNode(f, path, root, kStepFirst);
            return;
        }
        pathPop(f, path);
        PathNode *parent = path->head;
        const int32_t offset = parent->position;
        if (offset == 0) raiseCorruptBlock(f, parent->number);
        if (nodeInsert(f, path, parent, offset, s.separator, separatorSerial, lowerNumber)) return;
        // The separator is copied into the run before the next one replaces it.
        splitHead(f, path, offset, s.separator, separatorSerial, lowerNumber, separatorSerial);
    }
}

int insertKey(IsFile *f, TreePath *path, const uint8_t *key, uint32_t record) {
    const int32_t k = path->keyLength;
    const int32_t w = path->dupWidth;
    pathPopAll(f, path);
    PathNode *root = path->head;
    nodeLoad(f, path, root);
    uint64_t serial = 0;
    int32_t offset = kNodeFirstEntry;
    bool prevKnown = false;
    if (root->used > kNodeEmptyUsed) {
        // After every equal key: the first entry greater than the key.  The
        // entry just before that point is the greatest key not above the new
        // one, so an equal key exists exactly when that entry is equal: one
        // descent serves both the duplicate check and the insertion.
        bool equalBefore = false;
        for (;;) {
            nodeLoad(f, path, path->head);
            const int greater = findInNode(f, path, path->head, key, true);
            if (path->head->level == 0) {
                offset = greater ? path->head->position : path->head->used;
                break;
            }
            if (path->head->position == 0) raiseCorruptBlock(f, path->head->number);
            pathPush(f, path, path->head->pointer);
        }
        PathNode *leaf = path->head;
        if (offset == kNodeFirstEntry) {
            // The entry before lies in the previous leaf, if any.
            if (leaf->parent != nullptr && treePrev(f, path)) {
                equalBefore = keysEqual(path, key, path->head->key) != 0;
                if (w > 0 && std::memcmp(path->head->key, key, static_cast<size_t>(k)) == 0) serial = path->head->serial + 1;
                treeNext(f, path);
                if (path->head->position != kNodeFirstEntry) raiseCorruptBlock(f, path->head->number);
            }
        } else {
            const uint8_t *before = nullptr;
            uint64_t beforeSerial = 0;
            if (pathCompressed(path)) {
                beforeSerial = entryBefore(f, path, leaf, offset);
                before = path->scratch.prevKey;
                prevKnown = true;
            } else {
                before = leaf->data + offset - path->entrySize;
                beforeSerial = serialAt(before + k, w);
            }
            equalBefore = keysEqual(path, key, before) != 0;
            if (w > 0 && std::memcmp(before, key, static_cast<size_t>(k)) == 0) serial = beforeSerial + 1;
        }
        if (equalBefore) {
            if (w == 0) raiseError(f, kErrDuplicate, 0);
            noteDuplicate(f, kDuplicateNotice);
        }
    } else {
        root->level = 0;  // an empty index is a single leaf
    }
    if (insertIntoNode(f, path, path->head, offset, key, serial, record, prevKnown)) return 1;
    uint64_t separatorSerial = 0;
    splitHead(f, path, offset, key, serial, record, separatorSerial);
    carrySeparatorUp(f, path, separatorSerial);
    return 1;
}

}  // namespace wisam
