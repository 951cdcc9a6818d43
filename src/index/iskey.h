// layer: index/tree
// iskey.h - key images: building them from records, copying them back,
// null keys, and the one ordering rule of every index.
//
// A key image is the concatenation, in part order, of the bytes of every
// part of the index's `KeyDesc`; each part starts where the one before it
// ends, and the image is `keyLength` bytes long (at most 1024, so a
// `kMaxKeyBytes` buffer always suffices).  Images are plain caller-owned
// byte buffers.  `compareKeys` is used by node search, tree descent,
// insertion, deletion, the checks and the exported customKeyCmp; it looks at
// the first `compareLength` bytes of the images (the `TreePath`'s compare
// length, normally the key length), never allocates and never reads past the
// key length, whatever the compare length says.
//
// How the part holding the first differing byte i (part offset s) decides:
//
//   type    contents                       decision
//   0, 7    bytes / NUL-terminated string  a[i] - b[i], unsigned
//   1, 2    big-endian integers            a[i] - b[i], signed at the first
//                                          byte of a value, else unsigned
//   3, 4    native double / float          +1 when a's value at s is
//                                          greater, else -1
//   5, 6    native int16 / int32           the same, signed integers
//   8..13   collating types                collatePart (collate/iscollate)
//
// A collating part that holds differing bytes equal hands the decision to
// the next part whose bytes differ; a descending part (type bit 0x80)
// negates its own decision only.  Only the sign of a result has meaning.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

#include "index/ispath.h"

namespace wisam {

// Source line reported with "fatal isam error iskey(100)" when a comparison
// would have to look past the last part of the key.
constexpr int kLineBeyondLastPart = 100;

// Builds the key image of `record` into `key` (keyLength bytes).  A type 7
// part takes the record's bytes up to the first NUL and is zero-filled
// after it.  Returns 1.
int makeKey(const TreePath *path, void *key, const void *record);

// Copies every part of the key image back to its place in `record`; without
// a key (null) from the path's current key.  Returns 1.
int keyToRecord(const TreePath *path, void *record, const void *key = nullptr);

// Works out `bytewise` and `byteRule` of a path from its key description;
// called when the path is created.
void prepareKeyOrder(TreePath *path);

// First position in [from, to) where a and b differ, or `to`.  Eight bytes
// at a time where the machine's order lets the lowest differing byte be
// found from the XOR of two words, then four.
[[gnu::always_inline]] inline int32_t firstDifference(const uint8_t *a, const uint8_t *b, int32_t from, int32_t to) {
    if constexpr (std::endian::native == std::endian::little) {
        constexpr int32_t kWord = sizeof(uint64_t);
        for (; to - from >= kWord; from += kWord) {
            uint64_t x;
            uint64_t y;
            std::memcpy(&x, a + from, sizeof x);
            std::memcpy(&y, b + from, sizeof y);
            if (x != y) return from + (__builtin_ctzll(x ^ y) >> 3);
        }
        if (to - from >= 4) {
            uint32_t x;
            uint32_t y;
            std::memcpy(&x, a + from, sizeof x);
            std::memcpy(&y, b + from, sizeof y);
            if (x != y) return from + (__builtin_ctz(x ^ y) >> 3);
            from += 4;
        }
    }
    while (from < to && a[from] == b[from]) ++from;
    return from;
}

// Per-byte rules of `TreePath::byteRule`.
constexpr uint8_t kByteSigned = 0x01;
constexpr uint8_t kByteDescending = 0x02;

// Whether compareKeys decides by the byte rule now: the path orders by its
// bytes, its description still has the length the rule was made for, and
// the compare length lies inside the key.
inline bool byteRuleApplies(const TreePath *path) {
    const int32_t keyLength = path->key.keyLength < 0 ? 0 : path->key.keyLength;
    return path->bytewise && keyLength == path->bytewiseLength && path->compareLength <= keyLength;
}

// Whether whole keys can be ordered as words (orderWord): the byte rule
// applies, the key has at most 8 bytes and all of them are compared.
inline bool wordOrderApplies(const TreePath *path) {
    return byteRuleApplies(path) && path->bytewiseLength <= 8 && path->compareLength == path->bytewiseLength;
}

// The key at `key` as a word whose unsigned order is the key order, when
// wordOrderApplies: its bytes big-endian from the top, each flipped by its
// rule, the bytes past the key zero.
inline uint64_t orderWord(const TreePath *path, const uint8_t *key) {
    const int32_t k = path->bytewiseLength;
    uint64_t word = 0;
    if (k == 8) {
        std::memcpy(&word, key, 8);
        if constexpr (std::endian::native == std::endian::little) word = __builtin_bswap64(word);
    } else if (k == 4) {
        uint32_t half = 0;
        std::memcpy(&half, key, 4);
        if constexpr (std::endian::native == std::endian::little) half = __builtin_bswap32(half);
        word = uint64_t{half} << 32;
    } else {
        for (int32_t i = 0; i < k; ++i) word |= uint64_t{key[i]} << (56 - 8 * i);
    }
    return word ^ path->wordFlip;
}

// compareKeys under the byte rule (byteRuleApplies must hold): for searches
// that compare many entries with one key.
inline int compareByByteRule(const TreePath *path, const uint8_t *a, const uint8_t *b) {
    const int32_t limit = path->compareLength < 0 ? 0 : path->compareLength;
    const int32_t i = firstDifference(a, b, 0, limit);
    if (i == limit) return 0;
    const uint8_t rule = path->byteRule[i];
    const int result = (rule & kByteSigned) != 0 ? static_cast<int8_t>(a[i]) - static_cast<int8_t>(b[i]) : a[i] - b[i];
    return (rule & kByteDescending) != 0 ? -result : result;
}

// Orders a before b (negative), equal (0) or after (positive).
int compareKeys(const TreePath *path, const void *a, const void *b);

// 1 when compareKeys(a, b) is 0, else 0.  Without b: a against the key of
// the entry the path stands on (0 when it stands on none).
int keysEqual(const TreePath *path, const void *a, const void *b = nullptr);

// 1 when the index suppresses null keys (flag 0x20) and every byte of every
// part equals that part's null character (the high byte of its type).
int isNullKey(const TreePath *path, const void *key);

}  // namespace wisam
