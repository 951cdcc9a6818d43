// layer: index/tree
// isshrink.cpp - key deletion: finding the entry, removing it in either
// node form, climbing over emptied nodes, and the pre-split of compressed
// nodes that could not absorb a longer following entry.
#include "index/isshrink.h"

#include <cstring>

#include "frame/iscorrupt.h"
#include "frame/iserror.h"
#include "frame/isfile.h"
#include "index/iscomp.h"
#include "index/isgrow.h"
#include "index/iskey.h"
#include "index/isnode.h"
#include "index/ispath.h"

namespace wisam {

namespace {

constexpr char kDetailNotFound = '3';
constexpr uint8_t kRepeatBit = 0x80;  // bit 31 in the pointer's first byte
// Every pre-split leaves fewer entries in the node holding the removed one,
// and a node of two entries always has room, so this is never reached in a
// sound tree.
constexpr int kMaxPreSplits = 64;

[[noreturn]] void damaged(IsFile *f, const PathNode *node) { raiseCorruptBlock(f, node->number); }

[[noreturn]] void notFound(IsFile *f) { raiseError(f, kErrNotFound, 0, kDetailNotFound); }

void setRepeat(uint8_t *data, int32_t entryEnd, bool on) {
    uint8_t &flagByte = data[entryEnd - kPointerBytes];
    flagByte = static_cast<uint8_t>(on ? flagByte | kRepeatBit : flagByte & ~kRepeatBit);
}

// The search and the walk over equal keys compare whole keys, whatever
// compare length a partial start left behind; restored on every exit.
class WholeKeyCompare {
public:
    explicit WholeKeyCompare(TreePath *path) : path_(path), saved_(path->compareLength) {
        path->compareLength = path->keyLength;
    }
    ~WholeKeyCompare() { path_->compareLength = saved_; }
    WholeKeyCompare(const WholeKeyCompare &) = delete;
    WholeKeyCompare &operator=(const WholeKeyCompare &) = delete;

private:
    TreePath *path_;
    int32_t saved_;
};

// The entry being removed, remembered across a pre-split (which reuses
// every scratch buffer of the path and resets every cursor it touches).
struct Target {
    uint8_t key[kMaxKeyBytes];
    uint64_t serial = 0;
    uint32_t pointer = 0;
    int32_t level = 0;
};

enum RemovalKind {
    kRemovePlain,     // fixed-size entry: the rest moves down by E
    kRemoveLast,      // compressed, last entry: cut off
    kRemoveRepeat,    // compressed, follower without key bytes takes over
    kRemoveReencode,  // compressed, follower re-encoded against the key before
};

// How the current entry of a node is removed, worked out before anything
// changes.  For kRemoveReencode the follower's new key bytes are in
// path->scratch.entryBytes.
struct Removal {
    RemovalKind kind = kRemovePlain;
    int32_t offset = 0;      // o: start of the removed entry
    int32_t next = 0;        // n: start of the following entry
    int32_t tail = 0;        // the removed entry's duplicate serial
    int32_t followTail = 0;  // the follower's duplicate serial (re-encode)
    int32_t keyBytes = 0;    // the follower's new key bytes (re-encode)
    int32_t used = 0;        // used length after the removal
};

bool standsOnLeafEntry(const TreePath *path) {
    const PathNode *head = path->head;
    return head != nullptr && head->state != kNodeUnread && head->level == 0 && head->position != 0;
}

// From the first entry >= key, the entry of (key, record) in a plain index
// with duplicates.  Entries are in key order, so the first entry carrying
// `record` lies inside the run of equal keys exactly when its own key is
// equal: each leaf is searched by pointer alone, and only its last entry's
// key decides whether the run goes on into the next leaf.  Returns 0 at the
// end of the index; otherwise the path stands on the entry found or on one
// that ends the run, which the caller's check rejects.
int seekEqualPlain(IsFile *f, TreePath *path, const uint8_t *key, uint32_t record) {
    for (;;) {
        PathNode *leaf = path->head;
        if (leaf->pointer == record || seekPlainPointer(path, leaf, record)) return 1;
        if (!keysEqual(path, key, leaf->key)) return 1;
        if (treeNext(f, path) == 0) return 0;
    }
}

// Positions the path on the entry to remove, or raises 111 with nothing
// changed.
void locate(IsFile *f, TreePath *path, const uint8_t *key, uint32_t record) {
    if (key == nullptr) {
        if (!standsOnLeafEntry(path)) notFound(f);
        return;
    }
    if (standsOnLeafEntry(path) && path->head->pointer == record && keysEqual(path, key, path->head->key)) return;
    int found = treeFindGE(f, path, key);
    // Equal keys are told apart by their record number.
    if (path->dupWidth > 0 && !pathCompressed(path)) {
        found = found != 0 ? seekEqualPlain(f, path, key, record) : 0;
    } else {
        while (found != 0 && path->dupWidth > 0 && path->head->pointer != record &&
               keysEqual(path, key, path->head->key)) {
            found = treeNext(f, path);
        }
    }
    if (found == 0 || path->head->pointer != record || !keysEqual(path, key, path->head->key)) notFound(f);
}

// Works out the removal of the head's current entry; checks every offset
// against the node.
void planRemoval(IsFile *f, TreePath *path, const PathNode *node, Removal &r) {
    const int32_t used = node->used;
    const int32_t o = node->position;
    if (o < kNodeFirstEntry || o >= used) damaged(f, node);
    r.offset = o;
    if (!pathCompressed(path)) {
        const int32_t e = path->entrySize;
        if (e <= 0 || (o - kNodeFirstEntry) % e != 0 || o + e > used) damaged(f, node);
        r.kind = kRemovePlain;
        r.next = o + e;
        r.used = used - e;
        return;
    }
    PathScratch &s = path->scratch;
    const int32_t k = path->keyLength;
    const bool hasPrev = o > kNodeFirstEntry;
    // The key before o, then the removed key (which may repeat it).
    if (hasPrev) {
        if (expandEntries(f, path, node->data, used, s.prevKey, kNodeFirstEntry, o, nullptr, node->number) !=
            o - kNodeFirstEntry) {
            damaged(f, node);
        }
        std::memcpy(s.walkKey, s.prevKey, static_cast<size_t>(k));
    }
    EntryView removed;
    decodeEntry(f, path, node->data, used, o, s.walkKey, removed, kLineCountsOne, node->number);
    r.next = removed.next;
    r.tail = removed.tail;
    if (removed.next == used) {
        r.kind = kRemoveLast;
        r.used = o;
        return;
    }
    if ((removed.rawPointer & kRepeatFlag) != 0) {
        // The follower is a duplicate serial and a pointer only.
        if (removed.next + path->dupWidth + kPointerBytes > used) damaged(f, node);
        r.kind = kRemoveRepeat;
        r.used = used - (removed.next - removed.tail);
        return;
    }
    std::memcpy(s.nextKey, s.walkKey, static_cast<size_t>(k));
    EntryView follow;
    decodeEntry(f, path, node->data, used, removed.next, s.nextKey, follow, kLineCountsOne, node->number);
    r.kind = kRemoveReencode;
    r.followTail = follow.tail;
    r.keyBytes = compressKey(s.entryBytes, hasPrev ? s.prevKey : nullptr, s.nextKey, path->compression, k);
    r.used = used - (follow.tail - o) + r.keyBytes;
}

void applyRemoval(IsFile *f, TreePath *path, PathNode *node, const Removal &r) {
    uint8_t *data = node->data;
    const int32_t used = node->used;
    const int32_t o = r.offset;
    switch (r.kind) {
    case kRemovePlain:
        std::memmove(data + o, data + r.next, static_cast<size_t>(used - r.next));
        break;
    case kRemoveLast:
        // The entry before becomes the last one, which keeps no repeat flag.
        if (o > kNodeFirstEntry) setRepeat(data, o, false);
        break;
    case kRemoveRepeat:
        std::memmove(data + r.tail, data + r.next, static_cast<size_t>(used - r.next));
        break;
    case kRemoveReencode:
        std::memmove(data + o + r.keyBytes, data + r.followTail, static_cast<size_t>(used - r.followTail));
        std::memcpy(data + o, path->scratch.entryBytes, static_cast<size_t>(r.keyBytes));
        if (o > kNodeFirstEntry) setRepeat(data, o, r.keyBytes == 0);
        break;
    }
    // The bytes past the used length are left zero.
    if (r.used < used) std::memset(data + r.used, 0, static_cast<size_t>(used - r.used));
    nodeChanged(f, node, r.used);
}

// Whether the node must be split before the removal: a nearly full leaf
// whose follower would be re-encoded (once), or any node the exact result
// would overflow.
bool needsPreSplit(IsFile *f, const TreePath *path, const PathNode *node, const Removal &r, int splits) {
    if (!pathCompressed(path) || r.kind != kRemoveReencode) return false;
    const int32_t worst = node->used + path->dupWidth + path->keyLength + kPointerBytes;
    if (node->level == 0 && splits == 0 && worst >= f->nodeSize - kNodeTailReserve) return true;
    return !nodeHasRoom(f, r.used);
}

// Steps to the next entry at the head's level, crossing to the next node of
// that level when needed; false at the end of the level.
bool levelNext(IsFile *f, TreePath *path) {
    const int32_t level = path->head->level;
    if (stepNode(f, path, path->head, kStepNext)) return true;
    while (pathPop(f, path)) {
        if (stepNode(f, path, path->head, kStepNext) == 0) continue;
        while (path->head->level > level) {
            pathPush(f, path, path->head->pointer);
            if (stepNode(f, path, path->head, kStepFirst) == 0) damaged(f, path->head);
        }
        return true;
    }
    return false;
}

bool isTarget(const TreePath *path, const PathNode *node, const Target &t) {
    return node->pointer == t.pointer && (t.level > 0 || node->serial == t.serial) &&
           std::memcmp(node->key, t.key, static_cast<size_t>(path->keyLength)) == 0;
}

// Finds the target entry again after a split: descends from the root by its
// key to its level and walks along the level to it, leaving the path below
// the target's actual parents.
void relocate(IsFile *f, TreePath *path, const Target &t) {
    pathPopAll(f, path);
    for (;;) {
        PathNode *node = path->head;
        nodeLoad(f, path, node);
        findInNode(f, path, node, t.key, false);
        if (node->position == 0 || node->level < t.level) damaged(f, node);
        if (node->level == t.level) break;
        pathPush(f, path, node->pointer);
    }
    // No level holds more entries than the file has room for; a longer walk
    // goes round shared nodes.
    const uint64_t most = uint64_t{f->indexAlloc.highest} * static_cast<uint64_t>(f->nodeSize / kPointerBytes);
    for (uint64_t steps = 0; !isTarget(path, path->head, t); ++steps) {
        if (steps > most || compareKeys(path, path->head->key, t.key) > 0 || !levelNext(f, path)) {
            damaged(f, path->head);
        }
    }
}

// Splits the head (its current entry the target), carries the separator up
// and stands on the target again.
void preSplit(IsFile *f, TreePath *path, Target &t) {
    const PathNode *node = path->head;
    std::memcpy(t.key, node->key, static_cast<size_t>(path->keyLength));
    t.serial = node->serial;
    t.pointer = node->pointer;
    t.level = node->level;
    uint64_t separatorSerial = 0;
    splitHead(f, path, 0, nullptr, 0, 0, separatorSerial);
    carrySeparatorUp(f, path, separatorSerial);
    relocate(f, path, t);
}

// Removes the head's current entry, splitting the head first when needed.
void removeCurrent(IsFile *f, TreePath *path, Target &t) {
    Removal r;
    planRemoval(f, path, path->head, r);
    for (int splits = 0; needsPreSplit(f, path, path->head, r, splits); ++splits) {
        if (splits == kMaxPreSplits) damaged(f, path->head);
        preSplit(f, path, t);
        planRemoval(f, path, path->head, r);
    }
    if (!nodeHasRoom(f, r.used)) damaged(f, path->head);
    applyRemoval(f, path, path->head, r);
}

}  // namespace

int deleteKey(IsFile *f, TreePath *path, const uint8_t *key, uint32_t record) {
    WholeKeyCompare whole(path);
    if (pathIndexEmpty(f, path)) return 0;
    locate(f, path, key, record);
    Target target;
    for (;;) {
        removeCurrent(f, path, target);
        PathNode *node = path->head;
        if (node->used > kNodeEmptyUsed) break;
        // pathPop releases the emptied node; its entry in the parent goes next.
        const uint32_t released = node->number;
        if (pathPop(f, path) == 0) break;
        const PathNode *parent = path->head;
        if (parent->position == 0 || parent->pointer != released) damaged(f, parent);
    }
    PathNode *head = path->head;
    if (head->parent == nullptr && head->used <= kNodeEmptyUsed) {
        // The empty tree is a single empty leaf.
        head->level = 0;
        nodeChanged(f, head, kNodeEmptyUsed);
    }
    return 1;
}

}  // namespace wisam
