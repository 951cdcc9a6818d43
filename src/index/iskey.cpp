// layer: index/tree
// iskey.cpp - key extraction, null keys and key comparison.
#include "index/iskey.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "collate/iscollate.h"
#include "frame/iserror.h"
#include "index/ispath.h"

namespace wisam {

namespace {

constexpr uint16_t kNullSuppression = ISKEY_NULLSUPPRESS;
constexpr int kNullCharShift = 8;  // the null character is the type's high byte

int partsOf(const KeyDesc &key) {
    return std::clamp<int>(key.partCount, 0, IS_MAX_KEY_PARTS);
}

// Bytes of a part whose image starts at `offset`: never negative and never
// past the largest key image, whatever the description holds.
int32_t partSpan(const KeyPart &part, int32_t offset) {
    const int32_t length = std::max<int32_t>(part.length, 0);
    return std::clamp<int32_t>(kMaxKeyBytes - offset, 0, length);
}

int32_t keyBytes(const KeyDesc &key) {
    return std::clamp<int32_t>(key.keyLength, 0, kMaxKeyBytes);
}

int partType(const KeyPart &part) { return part.type & ISTYPE_MASK; }

bool isDescending(const KeyPart &part) { return (part.type & ISTYPE_DESC) != 0; }


// Types 3 to 6: the value at the part's start decides, +1 when a's is
// greater and -1 otherwise.  A part of several values is ordered by its first
// value only, and bytes that differ while the values are equal (+0.0 and
// -0.0, two NaNs) give -1 in both directions.  Stored indexes are ordered by
// this rule, so it stays: a different rule would lose their entries to
// lookups.  A part too short for one value (only an unchecked description
// has one) falls back to its bytes.
template <class Value>
int compareValues(const uint8_t *a, const uint8_t *b, int32_t s, int32_t span, int32_t i) {
    if (span < static_cast<int32_t>(sizeof(Value))) return a[i] - b[i];
    Value va;
    Value vb;
    std::memcpy(&va, a + s, sizeof va);
    std::memcpy(&vb, b + s, sizeof vb);
    return va > vb ? 1 : -1;
}

// The decision of part j (image offset s, `span` bytes) whose first
// differing byte is i, before the descending bit.  Only a collating part
// returns 0.  `limit` is the end of the compared bytes: a collating part cut
// by it is collated over its leading units up to the one holding the last
// compared byte.
int decidePart(const KeyDesc &key, int j, const uint8_t *a, const uint8_t *b, int32_t s,
               int32_t span, int32_t i, int32_t limit) {
    const int type = partType(key.parts[j]);
    switch (type) {
    case ISTYPE_CHAR:
    case ISTYPE_STRING:
        return a[i] - b[i];
    case ISTYPE_INT:
    case ISTYPE_LONG:
        // Only the part's first byte is signed.  A part holding several
        // values orders its later values' sign bytes as unsigned: stored
        // indexes are in that order, so it must not change.
        if (i == s) return static_cast<int8_t>(a[i]) - static_cast<int8_t>(b[i]);
        return a[i] - b[i];
    case ISTYPE_DOUBLE:
        return compareValues<double>(a, b, s, span, i);
    case ISTYPE_FLOAT:
        return compareValues<float>(a, b, s, span, i);
    case ISTYPE_NATIVESHORT:
        return compareValues<int16_t>(a, b, s, span, i);
    case ISTYPE_NATIVELONG:
        return compareValues<int32_t>(a, b, s, span, i);
    default: {
        const int32_t unit = collateUnit(type);
        const int32_t compared = (limit - s + unit - 1) / unit * unit;
        return collatePart(key, j, a + s, b + s, std::min(span, compared));
    }
    }
}

}  // namespace

void prepareKeyOrder(TreePath *path) {
    const KeyDesc &key = path->key;
    path->bytewise = false;
    int32_t s = 0;
    for (int j = 0; j < partsOf(key); ++j) {
        const KeyPart &part = key.parts[j];
        const int type = partType(part);
        const bool integer = type == ISTYPE_INT || type == ISTYPE_LONG;
        if (!integer && type != ISTYPE_CHAR && type != ISTYPE_STRING) return;
        if (part.length < 0 || s + part.length > kMaxKeyBytes) return;
        const uint8_t direction = isDescending(part) ? kByteDescending : 0;
        for (int32_t k = 0; k < part.length; ++k) {
            path->byteRule[s + k] = static_cast<uint8_t>(direction | (integer && k == 0 ? kByteSigned : 0));
        }
        s += part.length;
    }
    path->bytewiseLength = s;
    path->bytewise = s == keyBytes(key);
    path->wordFlip = 0;
    for (int32_t i = 0; i < s && i < 8; ++i) {
        const uint8_t rule = path->byteRule[i];
        const uint8_t flip = static_cast<uint8_t>(((rule & kByteSigned) != 0 ? 0x80 : 0) ^
                                                  ((rule & kByteDescending) != 0 ? 0xFF : 0));
        path->wordFlip |= uint64_t{flip} << (56 - 8 * i);
    }
}

int makeKey(const TreePath *path, void *key, const void *record) {
    const KeyDesc &desc = path->key;
    auto *to = static_cast<uint8_t *>(key);
    const auto *from = static_cast<const uint8_t *>(record);
    int32_t s = 0;
    for (int j = 0; j < partsOf(desc); ++j) {
        const KeyPart &part = desc.parts[j];
        const int32_t span = partSpan(part, s);
        const uint8_t *source = from + part.start;
        if (partType(part) == ISTYPE_STRING) {
            const void *nul = std::memchr(source, 0, static_cast<size_t>(span));
            const int32_t text =
                nul == nullptr ? span : static_cast<int32_t>(static_cast<const uint8_t *>(nul) - source);
            std::memcpy(to + s, source, static_cast<size_t>(text));
            std::memset(to + s + text, 0, static_cast<size_t>(span - text));
        } else {
            std::memcpy(to + s, source, static_cast<size_t>(span));
        }
        s += span;
    }
    return 1;
}

int keyToRecord(const TreePath *path, void *record, const void *key) {
    const KeyDesc &desc = path->key;
    const auto *from = key != nullptr ? static_cast<const uint8_t *>(key) : path->currentKey;
    auto *to = static_cast<uint8_t *>(record);
    int32_t s = 0;
    for (int j = 0; j < partsOf(desc); ++j) {
        const KeyPart &part = desc.parts[j];
        const int32_t span = partSpan(part, s);
        std::memcpy(to + part.start, from + s, static_cast<size_t>(span));
        s += span;
    }
    return 1;
}

// The ordering rule.  Bytes at and past the compare length never take part:
// a collating part that holds its differing bytes equal hands the decision
// only to following parts that differ before the compare length, so that
// every key sharing the first compareLength bytes with a partial search key
// (in the collation's sense) compares equal to it.  A compare length beyond
// the key length is a caller's fault: the key is compared as a whole, and
// when it agrees to its last byte, where the scan would leave the key, the
// fault is reported and the keys count as equal.
int compareKeys(const TreePath *path, const void *a, const void *b) {
    const KeyDesc &key = path->key;
    const auto *pa = static_cast<const uint8_t *>(a);
    const auto *pb = static_cast<const uint8_t *>(b);
    const int32_t keyLength = keyBytes(key);
    if (byteRuleApplies(path)) return compareByByteRule(path, pa, pb);
    const int32_t limit = std::clamp<int32_t>(path->compareLength, 0, keyLength);
    int32_t i = firstDifference(pa, pb, 0, limit);
    if (i == limit) {
        if (path->compareLength > keyLength) fatalAt("iskey", kLineBeyondLastPart);
        return 0;
    }
    const int parts = partsOf(key);
    int j = 0;
    int32_t s = 0;
    int32_t span = 0;
    for (; j < parts; ++j, s += span) {
        span = partSpan(key.parts[j], s);
        if (i < s + span) break;
    }
    if (j == parts) {
        // The key length counts bytes that no part holds.
        fatalAt("iskey", kLineBeyondLastPart);
        return 0;
    }
    for (;;) {
        const int result = decidePart(key, j, pa, pb, s, span, i, limit);
        if (result != 0) return isDescending(key.parts[j]) ? -result : result;
        // A collating part held the bytes equal: the next part that differs.
        bool found = false;
        for (++j, s += span; j < parts && s < limit; ++j, s += span) {
            span = partSpan(key.parts[j], s);
            const int32_t end = std::min(s + span, limit);
            i = firstDifference(pa, pb, s, end);
            if (i < end) {
                found = true;
                break;
            }
        }
        if (!found) return 0;
    }
}

int keysEqual(const TreePath *path, const void *a, const void *b) {
    if (b == nullptr) {
        // The key of the entry the path stands on; none when it stands on
        // no entry.
        if (path->head == nullptr || path->head->key == nullptr || path->head->position == 0) return 0;
        b = path->head->key;
    }
    return compareKeys(path, a, b) == 0 ? 1 : 0;
}

int isNullKey(const TreePath *path, const void *key) {
    const KeyDesc &desc = path->key;
    if ((desc.flags & kNullSuppression) == 0) return 0;
    const auto *bytes = static_cast<const uint8_t *>(key);
    int32_t s = 0;
    for (int j = 0; j < partsOf(desc); ++j) {
        const KeyPart &part = desc.parts[j];
        const int32_t span = partSpan(part, s);
        const auto nullChar = static_cast<uint8_t>(part.type >> kNullCharShift);
        for (int32_t k = 0; k < span; ++k) {
            if (bytes[s + k] != nullChar) return 0;
        }
        s += span;
    }
    return 1;
}

}  // namespace wisam
