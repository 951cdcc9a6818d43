// layer: structure/format
// iskeydesc.cpp - key descriptions on disk and in the handle.
#include "structure/iskeydesc.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "frame/iscorrupt.h"
#include "frame/iserror.h"
#include "frame/isfile.h"
#include "index/isfree.h"
#include "index/isgrow.h"
#include "index/isidxio.h"
#include "index/ispath.h"
#include "structure/isdict.h"
#include "structure/isencode.h"

namespace wisam {

namespace {

constexpr uint16_t kFirstLengthDupBit = 0x8000;
constexpr int32_t kEmptyLeafUsed = 2;
constexpr int32_t kUnitOfType[kMaxKeyType + 1] = {1, 2, 4, 8, 4, 2, 4, 1, 2, 8, 1, 2, 1, 2};

int partWidth(uint16_t flags) { return (flags & kKeyFlagNullSuppress) != 0 ? 6 : 5; }

bool partValid(const IsFile *f, const KeyPart &part) {
    if (part.start < 0) return false;
    if (f->recordLength != 0 && part.start + part.length > f->recordLength) return false;
    const int type = part.type & ISTYPE_MASK;
    if (type > kMaxKeyType) return false;
    // A negative length is no multiple of anything a record can hold.
    return part.length >= 0 && part.length % kUnitOfType[type] == 0;
}

// The block buffer of one key-description block, sized to the handle.
struct BlockBuffer {
    explicit BlockBuffer(const IsFile *f) : bytes(static_cast<size_t>(f->nodeSize)) {}
    uint8_t *data() { return bytes.data(); }
    std::vector<uint8_t> bytes;
};

// Used length of key-description block `n`, checked against the block.
int32_t usedLength(IsFile *f, const uint8_t *block, uint32_t n) {
    const int32_t used = ld2(block);
    if (used < kKeyDescHeader || used > f->nodeSize - 4) raiseCorruptBlock(f, n);
    return used;
}

// Follows the chain of key-description blocks from the dictionary's first
// one.  A next number outside the file, or one met before (a loop), is
// damage in the block that holds it.
class ChainWalk {
public:
    explicit ChainWalk(IsFile *f) : f_(f) {}
    uint32_t first() {
        const uint32_t n = f_->keyDescNode;
        if (n != 0 && !indexBlockExists(f_, n)) raiseCorruptBlock(f_, kDictionaryBlock);
        visited_.push_back(n);
        return n;
    }
    uint32_t next(const uint8_t *block, uint32_t n) {
        const uint32_t next = static_cast<uint32_t>(ld4(block + 2));
        if (next == 0) return 0;
        const bool seen = std::find(visited_.begin(), visited_.end(), next) != visited_.end();
        if (seen || !indexBlockExists(f_, next)) raiseCorruptBlock(f_, n);
        visited_.push_back(next);
        return next;
    }

private:
    IsFile *f_;
    std::vector<uint32_t> visited_;
};

// Decodes the entry at `p` of block `n` (with `room` bytes left in it).
KeyDesc decodeEntry(IsFile *f, const uint8_t *p, int32_t room, uint32_t n, int32_t &length) {
    length = ld2(p);
    if (length < kKeyEntryHeader || length > room) raiseCorruptBlock(f, n);
    KeyDesc key{};
    key.rootNode = static_cast<uint32_t>(ld4(p + 2));
    key.flags = static_cast<uint16_t>(static_cast<int8_t>(p[6]) * 2);
    const int width = partWidth(key.flags);
    const int32_t parts = (length - kKeyEntryHeader) / width;
    // A zero-part entry's root is not used; any other names a block.
    const bool rootExists = parts == 0 || indexBlockExists(f, key.rootNode);
    if ((length - kKeyEntryHeader) % width != 0 || parts > IS_MAX_KEY_PARTS || !rootExists) {
        raiseCorruptBlock(f, n);
    }
    key.partCount = static_cast<int16_t>(parts);
    const uint8_t *part = p + kKeyEntryHeader;
    for (int i = 0; i < parts; ++i, part += width) {
        uint16_t partLength = static_cast<uint16_t>(ld2(part));
        if (i == 0 && (partLength & kFirstLengthDupBit) != 0) {
            partLength &= static_cast<uint16_t>(~kFirstLengthDupBit);
            key.flags |= kKeyFlagDuplicates;
        }
        key.parts[i].length = static_cast<int16_t>(partLength);
        key.parts[i].start = static_cast<int16_t>(ld2(part + 2));
        key.parts[i].type = width == 6 ? static_cast<uint16_t>(ld2(part + 4)) : part[4];
    }
    return key;
}

void encodeEntry(const KeyDesc &key, uint32_t root, uint8_t *p) {
    st2(p, keyEntryLength(key));
    st4(p + 2, static_cast<int32_t>(root));
    p[6] = static_cast<uint8_t>(key.flags / 2);
    const int width = partWidth(key.flags);
    uint8_t *part = p + kKeyEntryHeader;
    for (int i = 0; i < key.partCount; ++i, part += width) {
        uint16_t length = static_cast<uint16_t>(key.parts[i].length);
        if (i == 0 && (key.flags & kKeyFlagDuplicates) != 0) length |= kFirstLengthDupBit;
        st2(part, length);
        st2(part + 2, key.parts[i].start);
        if (width == 6) {
            st2(part + 4, key.parts[i].type);
        } else {
            part[4] = static_cast<uint8_t>(key.parts[i].type & 0xFF);
        }
    }
}

// Keeps a described index in the handle, or marks a file without primary
// key for a zero-part description.
void holdIndex(IsFile *f, const KeyDesc &key, uint32_t root) {
    if (key.partCount == 0) {
        f->state |= kStateNoPrimaryKey;
        return;
    }
    if (f->keyCount >= kMaxIndexes) raiseError(f, kErrBadKey, 0);
    TreePath *path = pathCreate(f, key);
    f->indexes[f->keyCount++] = path;
    pathSetRoot(f, path, root);
}

void startBlock(IsFile *f, uint8_t *block) {
    std::memset(block, 0, static_cast<size_t>(f->nodeSize));
    block[f->nodeSize - 3] = kKeyDescMarker;
    block[f->nodeSize - 2] = kKeyDescKind;
    st2(block, kKeyDescHeader);
}

// Calls `visit` (block number, block, entry offset, entry length, decoded
// entry) for every entry of the chain in order, until it returns true.
// Returns whether a visit stopped the walk.
template <class Visit>
bool forEachEntry(IsFile *f, Visit &&visit) {
    BlockBuffer block(f);
    ChainWalk chain(f);
    for (uint32_t n = chain.first(); n != 0; n = chain.next(block.data(), n)) {
        readIndexBlock(f, n, block.data());
        const int32_t used = usedLength(f, block.data(), n);
        for (int32_t at = kKeyDescHeader; at < used;) {
            int32_t length = 0;
            const KeyDesc key = decodeEntry(f, block.data() + at, used - at, n, length);
            if (visit(n, block.data(), at, length, key)) return true;
            at += length;
        }
    }
    return false;
}

}  // namespace

bool validateKeyDesc(const IsFile *f, const KeyDesc &key) {
    if (key.partCount == 0) return true;
    if (key.partCount < 0 || key.partCount > IS_MAX_KEY_PARTS) return false;
    if ((key.flags & ~kKeyFlagsAll) != 0) return false;
    for (int i = key.partCount - 1; i >= 0; --i) {
        if (!partValid(f, key.parts[i])) return false;
    }
    int32_t total = 0;
    for (int i = 0; i < key.partCount; ++i) total += key.parts[i].length;
    return total <= IS_MAX_KEY_LENGTH;
}

int32_t keyEntryLength(const KeyDesc &key) {
    return kKeyEntryHeader + partWidth(key.flags) * key.partCount;
}

void readKeyDescs(IsFile *f) {
    f->keyCount = 0;
    forEachEntry(f, [&](uint32_t, uint8_t *, int32_t, int32_t, const KeyDesc &key) {
        if (!validateKeyDesc(f, key) || (key.partCount > 0 && !keyFitsNode(f, key))) {
            raiseError(f, kErrBadKey, 0);
        }
        holdIndex(f, key, key.rootNode);
        return false;
    });
}

void appendKeyDesc(IsFile *f, KeyDesc *key) {
    const int32_t length = keyEntryLength(*key);
    BlockBuffer block(f);
    uint32_t last = f->keyDescNode;
    int32_t used = 0;
    ChainWalk chain(f);
    for (uint32_t n = chain.first(); n != 0; n = chain.next(block.data(), n)) {
        readIndexBlock(f, n, block.data());
        last = n;
        used = usedLength(f, block.data(), n);
    }
    if (last == 0 || used + length > f->nodeSize - 4) {
        const uint32_t fresh = freeListTake(f, kFreeListIndex);
        if (last != 0) {
            st4(block.data() + 2, static_cast<int32_t>(fresh));
            writeIndexBlock(f, last, block.data());
        } else {
            f->keyDescNode = fresh;
        }
        last = fresh;
        startBlock(f, block.data());
        used = kKeyDescHeader;
    }
    uint32_t root = 0;
    if (key->partCount > 0) root = freeListTake(f, kFreeListIndex);
    key->rootNode = root;
    encodeEntry(*key, root, block.data() + used);
    st2(block.data(), used + length);
    writeIndexBlock(f, last, block.data());
    if (root != 0) {
        BlockBuffer leaf(f);
        st2(leaf.data(), kEmptyLeafUsed);
        writeIndexBlock(f, root, leaf.data());
    }
    holdIndex(f, *key, root);
    storeKeyCount(f, f->keyCount);
}

void removeKeyDesc(IsFile *f, int32_t index) {
    int32_t wanted = index + ((f->state & kStateNoPrimaryKey) != 0 ? 1 : 0);
    const bool found = forEachEntry(
        f, [&](uint32_t n, uint8_t *block, int32_t at, int32_t length, const KeyDesc &) {
            if (wanted-- != 0) return false;
            const int32_t used = ld2(block);
            uint8_t *entry = block + at;
            std::memmove(entry, entry + length, static_cast<size_t>(used - at - length));
            st2(block, used - length);
            writeIndexBlock(f, n, block);
            return true;
        });
    if (!found) raiseError(f, kErrBadKey, 0);
}

int32_t findIndex(const IsFile *f, const KeyDesc &key) {
    if (key.partCount == 0) return f->keyCount;
    for (int32_t i = f->keyCount - 1; i >= 0; --i) {
        const KeyDesc &held = f->indexes[i]->key;
        if (held.partCount != key.partCount) continue;
        if ((held.flags & kKeyFlagNullSuppress) != (key.flags & kKeyFlagNullSuppress)) continue;
        bool same = true;
        for (int p = 0; p < key.partCount && same; ++p) {
            same = held.parts[p].start == key.parts[p].start &&
                   held.parts[p].length == key.parts[p].length &&
                   held.parts[p].type == key.parts[p].type;
        }
        if (same) return i;
    }
    return -1;
}

}  // namespace wisam
