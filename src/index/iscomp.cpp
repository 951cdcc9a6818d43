// layer: index/tree
// iscomp.cpp - key compression, entry decoding, cursor steps and node search.
#include "index/iscomp.h"

#include <algorithm>
#include <cstring>

#include "frame/iscorrupt.h"
#include "frame/iserror.h"
#include "frame/isfile.h"
#include "index/iskey.h"
#include "index/isnode.h"
#include "index/ispath.h"

namespace wisam {

namespace {

uint8_t padByte(uint16_t flags) { return (flags & ISKEY_NULLFILL) != 0 ? kPadNul : kPadBlank; }

[[noreturn]] void damaged(IsFile *f, uint32_t block) { raiseCorruptBlock(f, block); }

[[noreturn]] void fatalDamage(IsFile *f, int line, uint32_t block) {
    fatalAt("iscomp", line);
    damaged(f, block);
}

void setCursor(PathNode *node, const EntryView &view, const uint8_t *key) {
    node->position = view.offset;
    node->next = view.next;
    node->pointer = view.rawPointer & kPointerMask;
    node->serial = view.serial;
    node->key = key;
}

// Plain nodes: the cursor on entry `index`.
void setPlainCursor(const TreePath *path, PathNode *node, int32_t offset) {
    EntryView view;
    view.offset = offset;
    view.keyBytes = path->keyLength;
    view.tail = offset + path->keyLength;
    view.next = offset + path->entrySize;
    view.serial = serialAt(node->data + view.tail, path->dupWidth);
    view.rawPointer = pointerAt(node->data + view.tail + path->dupWidth);
    setCursor(node, view, node->data + offset);
}

const uint8_t *plainKey(const TreePath *path, const PathNode *node, int32_t index) {
    return node->data + kNodeFirstEntry + index * path->entrySize;
}

int stepPlain(const TreePath *path, PathNode *node, int direction) {
    const int32_t e = path->entrySize;
    const int32_t used = node->used;
    int32_t candidate = 0;
    switch (direction) {
    case kStepFirst:
        candidate = kNodeFirstEntry;
        break;
    case kStepLast:
        candidate = used - e;
        break;
    case kStepNext:
        candidate = node->position == 0 ? kNodeFirstEntry : node->position + e;
        break;
    default:
        candidate = node->position == 0 ? used - e : node->position - e;
        break;
    }
    if (candidate < kNodeFirstEntry || candidate + e > used) return 0;
    setPlainCursor(path, node, candidate);
    return 1;
}

// Decodes forward from `from` until the entry that ends at `end`.
int walkTo(IsFile *f, const TreePath *path, PathNode *node, int32_t from, int32_t end) {
    nodeResetCursor(node);
    for (int32_t at = from;;) {
        const int32_t next = expandEntry(f, path, node, at);
        if (next == end) return 1;
        if (next > end) damaged(f, node->number);
        at = next;
    }
}

int stepCompressed(IsFile *f, const TreePath *path, PathNode *node, int direction) {
    const int32_t used = node->used;
    switch (direction) {
    case kStepFirst:
        if (node->position == kNodeFirstEntry) return 1;
        expandEntry(f, path, node, kNodeFirstEntry);
        return 1;
    case kStepLast:
        if (node->position != 0 && node->next == used) return 1;
        return walkTo(f, path, node, node->position == 0 ? kNodeFirstEntry : node->next, used);
    case kStepNext:
        if (node->position == 0) {
            expandEntry(f, path, node, kNodeFirstEntry);
            return 1;
        }
        if (node->next == used) return 0;
        expandEntry(f, path, node, node->next);
        return 1;
    default:
        if (node->position == kNodeFirstEntry) return 0;
        if (node->position == 0) return walkTo(f, path, node, kNodeFirstEntry, used);
        return walkTo(f, path, node, kNodeFirstEntry, node->position);
    }
}

// Bisection over the fixed-size entries, directly in the node data.
int findPlain(const TreePath *path, PathNode *node, const uint8_t *search, bool greater) {
    const int32_t count = (node->used - kNodeFirstEntry) / path->entrySize;
    // "search qualifies entry i": entry i >= search (or > search).  Short
    // keys under the byte rule compare as words, longer ones byte by byte.
    const bool byWords = wordOrderApplies(path);
    const bool byBytes = byteRuleApplies(path);
    const uint64_t searchWord = byWords ? orderWord(path, search) : 0;
    auto qualifies = [&](int32_t i) {
        const uint8_t *entry = plainKey(path, node, i);
        if (byWords) {
            const uint64_t entryWord = orderWord(path, entry);
            return greater ? searchWord < entryWord : searchWord <= entryWord;
        }
        const int c = byBytes ? compareByByteRule(path, search, entry) : compareKeys(path, search, entry);
        return greater ? c < 0 : c <= 0;
    };
    int32_t hi = std::max<int32_t>(count - 1, 0);
    if (!qualifies(hi)) {
        setPlainCursor(path, node, kNodeFirstEntry + hi * path->entrySize);
        return 0;
    }
    int32_t lo = 0;
    while (hi - lo > 1) {
        const int32_t mid = lo + (hi - lo) / 2;
        if (qualifies(mid)) {
            hi = mid;
        } else {
            lo = mid + 1;
        }
    }
    const int32_t answer = qualifies(lo) ? lo : hi;
    setPlainCursor(path, node, kNodeFirstEntry + answer * path->entrySize);
    return 1;
}

// Linear scan from the cursor: backward searches restart at the first entry,
// forward ones go on from the entry after the cursor.
int findCompressed(IsFile *f, const TreePath *path, PathNode *node, const uint8_t *search, bool greater) {
    auto qualifies = [&](const uint8_t *key) {
        const int c = compareKeys(path, search, key);
        return greater ? c < 0 : c <= 0;
    };
    int32_t at = kNodeFirstEntry;
    if (node->position != 0) {
        if (qualifies(node->key)) {
            if (node->position == kNodeFirstEntry) return 1;
        } else {
            if (node->next == node->used) return 0;
            at = node->next;
        }
    }
    if (at == kNodeFirstEntry) nodeResetCursor(node);
    // An entry without key bytes repeats the key just found too small.
    bool compared = at != kNodeFirstEntry;
    for (;;) {
        EntryView view;
        const uint8_t *key =
            decodeEntry(f, path, node->data, node->used, at, node->keyBuffer, view, kLineCountsOne, node->number);
        setCursor(node, view, key);
        if (view.keyBytes != 0 || !compared) {
            if (qualifies(key)) return 1;
            compared = true;
        }
        if (view.next == node->used) return 0;
        at = view.next;
    }
}

}  // namespace

int32_t compressKey(uint8_t *out, const uint8_t *prev, const uint8_t *key, uint16_t flags,
                    int32_t keyLength) {
    const int32_t k = keyLength;
    if ((flags & ISKEY_DUPCOMPRESS) != 0 && prev != nullptr &&
        std::memcmp(key, prev, static_cast<size_t>(k)) == 0) {
        return 0;
    }
    int32_t n = 0;
    int32_t lead = 0;
    if ((flags & ISKEY_LEADCOMPRESS) != 0) {
        if (prev != nullptr) {
            const int32_t limit = std::min(k, kMaxCount);
            while (lead < limit && key[lead] == prev[lead]) ++lead;
        }
        if (out != nullptr) out[n] = static_cast<uint8_t>(lead);
        ++n;
    }
    int32_t trail = 0;
    if ((flags & ISKEY_TRAILCOMPRESS) != 0) {
        const uint8_t pad = padByte(flags);
        while (trail < kMaxCount && k - trail > lead && key[k - 1 - trail] == pad) ++trail;
        if (out != nullptr) out[n] = static_cast<uint8_t>(trail);
        ++n;
    }
    const int32_t middle = k - lead - trail;
    if (out != nullptr) std::memcpy(out + n, key + lead, static_cast<size_t>(middle));
    return n + middle;
}

int32_t fullKeyBytes(const TreePath *path, const uint8_t *key) {
    if (!pathCompressed(path)) return path->keyLength;
    return compressKey(nullptr, nullptr, key, path->compression, path->keyLength);
}

const uint8_t *decodeEntry(IsFile *f, const TreePath *path, const uint8_t *data, int32_t used,
                           int32_t offset, uint8_t *key, EntryView &view, int fatalLine, uint32_t block) {
    // Past the first entry an entry is preceded by a pointer at least.
    if (offset < kNodeFirstEntry || offset >= used ||
        (offset != kNodeFirstEntry && offset < kNodeFirstEntry + kPointerBytes)) {
        fatalDamage(f, kLineEntryOffset, block);
    }
    const int32_t k = path->keyLength;
    const int32_t w = path->dupWidth;
    view.offset = offset;
    int32_t at = offset;
    const uint8_t *result = key;
    if (!pathCompressed(path)) {
        at += k;
        result = data + offset;
    } else if (offset == kNodeFirstEntry || (data[offset - kPointerBytes] & kRepeatFlagByte) == 0) {
        const uint16_t flags = path->compression;
        const int32_t counts = ((flags & ISKEY_LEADCOMPRESS) != 0 ? 1 : 0) + ((flags & ISKEY_TRAILCOMPRESS) != 0 ? 1 : 0);
        if (at + counts > used) damaged(f, block);
        int32_t lead = 0;
        int32_t trail = 0;
        if ((flags & ISKEY_LEADCOMPRESS) != 0) lead = data[at++];
        if ((flags & ISKEY_TRAILCOMPRESS) != 0) trail = data[at++];
        if (lead + trail > k) fatalDamage(f, fatalLine, block);
        // The first entry of a node has nothing to share.
        if (offset == kNodeFirstEntry && lead != 0) damaged(f, block);
        const int32_t middle = k - lead - trail;
        if (at + middle > used) damaged(f, block);
        std::memcpy(key + lead, data + at, static_cast<size_t>(middle));
        std::memset(key + k - trail, padByte(flags), static_cast<size_t>(trail));
        at += middle;
    }
    view.keyBytes = at - offset;
    view.tail = at;
    if (at + w + kPointerBytes > used) damaged(f, block);
    view.serial = serialAt(data + at, w);
    view.rawPointer = pointerAt(data + at + w);
    view.next = at + w + kPointerBytes;
    return result;
}

int32_t expandEntry(IsFile *f, const TreePath *path, PathNode *node, int32_t offset) {
    EntryView view;
    const uint8_t *key =
        decodeEntry(f, path, node->data, node->used, offset, node->keyBuffer, view, kLineCountsOne, node->number);
    setCursor(node, view, key);
    return view.next;
}

int32_t expandEntries(IsFile *f, const TreePath *path, const uint8_t *data, int32_t used,
                      uint8_t *key, int32_t from, int32_t to, EntryView *last, uint32_t block) {
    const int32_t start = from == 0 ? kNodeFirstEntry : from;
    int32_t at = start;
    EntryView view;
    while (at < to) {
        const uint8_t *decoded = decodeEntry(f, path, data, used, at, key, view, kLineCountsWalk, block);
        if (decoded != key) std::memcpy(key, decoded, static_cast<size_t>(path->keyLength));
        at = view.next;
    }
    if (last != nullptr) *last = view;
    return at - start;
}

int stepNode(IsFile *f, const TreePath *path, PathNode *node, int direction) {
    if (node->used <= kNodeEmptyUsed) return 0;
    return pathCompressed(path) ? stepCompressed(f, path, node, direction) : stepPlain(path, node, direction);
}

int seekPlainPointer(const TreePath *path, PathNode *node, uint32_t record) {
    const int32_t e = path->entrySize;
    const int32_t last = node->used - e;
    if (e <= 0 || last < kNodeFirstEntry) return 0;
    const int32_t pointerAtEntry = path->keyLength + path->dupWidth;
    for (int32_t at = node->position == 0 ? kNodeFirstEntry : node->position + e; at <= last; at += e) {
        if ((pointerAt(node->data + at + pointerAtEntry) & kPointerMask) == record) {
            setPlainCursor(path, node, at);
            return 1;
        }
    }
    setPlainCursor(path, node, last);
    return 0;
}

const uint8_t *plainEntryAhead(const TreePath *path, const PathNode *node, int32_t steps) {
    const int32_t e = path->entrySize;
    if (pathCompressed(path) || node->position == 0 || e <= 0) return nullptr;
    const int64_t at = int64_t{node->position} + int64_t{steps} * e;
    if (at < kNodeFirstEntry || at + e > node->used) return nullptr;
    return node->data + at;
}

uint32_t plainPointerAhead(const TreePath *path, const PathNode *node, int32_t steps) {
    const uint8_t *entry = plainEntryAhead(path, node, steps);
    return entry == nullptr ? 0 : pointerAt(entry + path->keyLength + path->dupWidth) & kPointerMask;
}

bool serialAfterCursor(IsFile *f, const TreePath *path, const PathNode *node, uint64_t &serial) {
    if (!pathCompressed(path)) {
        const uint8_t *entry = plainEntryAhead(path, node, 1);
        if (entry == nullptr) return false;
        serial = serialAt(entry + path->keyLength, path->dupWidth);
        return true;
    }
    const int32_t used = node->used;
    const int32_t at = node->next;
    if (node->position == 0 || at >= used) return false;
    int32_t tail = at;
    if ((node->data[at - kPointerBytes] & kRepeatFlagByte) == 0) {
        const uint16_t flags = path->compression;
        const bool lead = (flags & ISKEY_LEADCOMPRESS) != 0;
        const bool trail = (flags & ISKEY_TRAILCOMPRESS) != 0;
        const int32_t counts = (lead ? 1 : 0) + (trail ? 1 : 0);
        if (at + counts > used) damaged(f, node->number);
        const int32_t cut = (lead ? node->data[at] : 0) + (trail ? node->data[at + counts - 1] : 0);
        if (cut > path->keyLength) fatalDamage(f, kLineCountsOne, node->number);
        tail = at + counts + path->keyLength - cut;
    }
    if (tail + path->dupWidth + kPointerBytes > used) damaged(f, node->number);
    serial = serialAt(node->data + tail, path->dupWidth);
    return true;
}

int findInNode(IsFile *f, const TreePath *path, PathNode *node, const uint8_t *search, bool greater) {
    if (node->used <= kNodeEmptyUsed) {
        nodeResetCursor(node);
        return 0;
    }
    return pathCompressed(path) ? findCompressed(f, path, node, search, greater)
                                : findPlain(path, node, search, greater);
}

int nodeStep(IsFile *f, TreePath *path, int direction) {
    nodeLoad(f, path, path->head);
    return stepNode(f, path, path->head, direction);
}

int nodeFindGE(IsFile *f, TreePath *path, const uint8_t *search) {
    nodeLoad(f, path, path->head);
    return findInNode(f, path, path->head, search, false);
}

int nodeFindGT(IsFile *f, TreePath *path, const uint8_t *search) {
    nodeLoad(f, path, path->head);
    return findInNode(f, path, path->head, search, true);
}

}  // namespace wisam
