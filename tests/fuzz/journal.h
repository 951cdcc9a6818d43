// journal.h - the fuzz target's own reading of a rollback journal N.wjn
// (the layout in system/isjournal.h), hashes and all, to judge what an open
// did with one: the files it left must be the ones it was given, or those
// given put back by exactly the journal's images, and then only for a
// journal that checks and fits them.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace wisam::fuzz {

using Bytes = std::vector<uint8_t>;

inline uint32_t journal32(const uint8_t *p) {
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}
inline uint64_t journal64(const uint8_t *p) { return uint64_t(journal32(p)) << 32 | journal32(p + 4); }

inline uint64_t journalHash(uint64_t h, const uint8_t *p, size_t n) {
    constexpr uint64_t kMul = 0x9E3779B97F4A7C15ull;
    size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        uint64_t w = 0;
        for (int b = 7; b >= 0; --b) w = (w << 8) | p[i + size_t(b)];
        h = (h ^ w) * kMul;
        h ^= h >> 29;
    }
    uint64_t tail = uint64_t(n) << 56;
    for (size_t b = i; b < n; ++b) tail ^= uint64_t(p[b]) << (8 * (b - i));
    h = (h ^ tail) * kMul;
    return h ^ (h >> 32);
}

struct JournalImage {
    uint32_t kind;  // 1 index, 2 data
    uint64_t offset;
    const uint8_t *bytes;
    uint32_t length;
};

// A version-2 journal as far as it checks: its header and the records of
// the segments that check, in order.
struct JournalView {
    uint64_t start[2] = {0, 0};
    uint32_t counter = 0;
    bool hasData = false;
    uint32_t segments = 0;
    std::vector<JournalImage> images;
};

// False when the header does not check.
inline bool readJournal(const Bytes &j, JournalView &out) {
    constexpr size_t kHeader = 128, kHead = 40;
    if (j.size() < kHeader || std::memcmp(j.data(), "wisamjnl", 8) != 0 || journal32(&j[8]) != 2) return false;
    const uint32_t salt = journal32(&j[12]);
    if (journal64(&j[120]) != journalHash(salt, j.data(), 120)) return false;
    out.start[0] = journal64(&j[24]);
    out.start[1] = journal64(&j[32]);
    out.counter = journal32(&j[40]);
    out.hasData = (journal32(&j[44]) & 1) != 0;
    for (size_t at = kHeader;;) {
        if (j.size() - at < kHead + 8) break;
        const uint8_t *s = &j[at];
        const uint64_t length = journal64(s + 16);
        if (std::memcmp(s, "wseg", 4) != 0 || journal32(s + 4) != out.segments || length > j.size() - at ||
            length < kHead + 8 || journal64(s + length - 8) != journalHash(salt ^ out.segments, s, length - 8)) {
            break;
        }
        size_t pos = kHead;
        std::vector<JournalImage> images;
        bool whole = true;
        for (uint32_t r = journal32(s + 8); r > 0 && whole; --r) {
            if (length - 8 - pos < 16) {
                whole = false;
                break;
            }
            const uint32_t bytes = journal32(s + pos + 4);
            const size_t padded = (size_t(bytes) + 7) & ~size_t{7};
            if (bytes > 4096 || length - 8 - pos - 16 < padded) whole = false;
            if (whole) images.push_back({journal32(s + pos), journal64(s + pos + 8), s + pos + 16, bytes});
            pos += 16 + padded;
        }
        if (!whole) break;
        out.images.insert(out.images.end(), images.begin(), images.end());
        ++out.segments;
        if ((journal32(s + 12) & 1) != 0) break;
        at += length;
    }
    return true;
}

// `file` (of kind 1 or 2) put back by the images, newest first, and cut or
// extended to its size at the start; false when an image lies beyond
// `largest` bytes (no file the target lays down can take it).
inline bool rollBack(const JournalView &v, uint32_t kind, Bytes &file, size_t largest) {
    for (auto it = v.images.rbegin(); it != v.images.rend(); ++it) {
        if (it->kind != kind) continue;
        if (it->offset > largest || largest - it->offset < it->length) return false;
        const size_t end = size_t(it->offset) + it->length;
        if (file.size() < end) file.resize(end, 0);
        std::memcpy(file.data() + it->offset, it->bytes, it->length);
    }
    if (v.start[kind - 1] > largest) return false;
    file.resize(size_t(v.start[kind - 1]), 0);
    return true;
}

}  // namespace wisam::fuzz
