// journal.h - the tests' own reading of a rollback journal N.wjn (the
// layout in system/isjournal.h, version 3), hashes and all, and the verdict
// the library must come to on one laid beside given files: nothing to do,
// a change that completed, a change to take back (and what the files are
// after it), or a journal to refuse.  The fuzz target judges what an open
// did with a journal by it; the hostile-journal tests forge journals with
// its hashes.
//
// Versions 1 and 2 (whole-page images) were hashed with a simpler function
// (`earlierJournalHash`): a header of theirs that checks by it is one an
// earlier library wrote.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <utility>
#include <vector>

namespace wisam::fuzz {

using Bytes = std::vector<uint8_t>;

constexpr uint32_t kJournalVersion = 3;
constexpr size_t kJournalHeader = 128;
constexpr size_t kJournalSegmentHead = 48;
constexpr uint64_t kJournalPage = 4096;
// No offset or size in a journal reaches this.
constexpr uint64_t kJournalLargest = uint64_t{1} << 52;
// The dictionary's change counter in the index file.
constexpr size_t kJournalCounterAt = 41;

inline uint32_t journal32(const uint8_t *p) {
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}
inline uint64_t journal64(const uint8_t *p) { return uint64_t(journal32(p)) << 32 | journal32(p + 4); }

// The 8 bytes at `p` as a little-endian word.
inline uint64_t journalWord(const uint8_t *p) {
    uint64_t w = 0;
    for (int b = 7; b >= 0; --b) w = (w << 8) | p[b];
    return w;
}

// The 128-bit product of two words, folded to 64 bits.
inline uint64_t journalFold(uint64_t a, uint64_t b) {
    const unsigned __int128 product = static_cast<unsigned __int128>(a) * b;
    return uint64_t(product) ^ uint64_t(product >> 64);
}

// The hash of version 3: 48 bytes a step in three chains, then the words
// left, then the tail with the length.
inline uint64_t journalHash(uint64_t h, const uint8_t *p, size_t n) {
    constexpr uint64_t k0 = 0xA0761D6478BD642Full, k1 = 0xE7037ED1A0B428DBull, k2 = 0x8EBC6AF09C88C6E3ull,
                       k3 = 0x589965CC75374CC3ull;
    uint64_t a = h ^ k0, b = h ^ k1, c = h ^ k2;
    size_t i = 0;
    for (; i + 48 <= n; i += 48) {
        a = journalFold(journalWord(p + i) ^ k1, journalWord(p + i + 8) ^ a);
        b = journalFold(journalWord(p + i + 16) ^ k2, journalWord(p + i + 24) ^ b);
        c = journalFold(journalWord(p + i + 32) ^ k3, journalWord(p + i + 40) ^ c);
    }
    h = a ^ b ^ c;
    for (; i + 8 <= n; i += 8) h = journalFold(journalWord(p + i) ^ k1, h ^ k3);
    uint64_t tail = uint64_t(n) << 56;
    for (size_t x = i; x < n; ++x) tail ^= uint64_t(p[x]) << (8 * (x - i));
    return journalFold(h ^ k0, tail ^ k2);
}

// The hash of versions 1 and 2: one lane.
inline uint64_t earlierJournalHash(uint64_t h, const uint8_t *p, size_t n) {
    constexpr uint64_t kMul = 0x9E3779B97F4A7C15ull;
    size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        h = (h ^ journalWord(p + i)) * kMul;
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

struct JournalRange {
    uint32_t kind;
    uint64_t offset;
    uint32_t length;
};

// A version-3 journal as far as it checks: its header and the segments
// that check, in order.
struct JournalView {
    uint32_t salt = 0;
    uint64_t start[2] = {0, 0};
    uint32_t counter = 0;  // the change counter at the start
    bool hasData = false;
    uint64_t device[2] = {0, 0}, inode[2] = {0, 0};
    uint32_t segments = 0;
    std::vector<uint32_t> counters;      // the change counter after each segment
    uint64_t least[2] = {0, 0};          // of the sizes at the start and after
    uint64_t most[2] = {0, 0};           // each segment
    std::vector<JournalImage> images;    // of every segment, in order
    bool final = false;                  // the last segment that checks is final
    uint64_t finalSize[2] = {0, 0};      // the sizes after the last segment
    std::vector<JournalRange> written;   // the final segment's ranges written in place
    uint64_t afterHash = 0;              // and the hash of their new bytes
};

// What the start of the journal says.
enum class JournalHeader {
    cold,       // no journal to look at: too short, no magic, a cleared
                // header, or one of version 3 or 1 whose hash fails (torn)
    unbound,    // another version's (1 and 2 written by earlier libraries)
    malformed,  // version 3, its hash checks, a field out of bounds
    bound,      // version 3 and checks
};

// A range of `kind` within one page, below the largest offset.
inline bool journalRangeValid(uint32_t kind, uint32_t length, uint64_t offset) {
    return (kind == 1 || kind == 2) && length > 0 && length <= kJournalPage && offset <= kJournalLargest &&
           offset % kJournalPage + length <= kJournalPage;
}

// One segment at `at` into `out`; false when it does not check.  Every
// count and length is held against the bytes there before it is used.
inline bool readJournalSegment(const Bytes &j, size_t &at, JournalView &out) {
    if (j.size() - at < kJournalSegmentHead + 8) return false;
    const uint8_t *s = &j[at];
    const uint64_t length = journal64(s + 16);
    if (std::memcmp(s, "wseg", 4) != 0 || journal32(s + 4) != out.segments || length > j.size() - at ||
        length < kJournalSegmentHead + 8 || journal32(s + 44) != 0 ||
        journal64(s + length - 8) != journalHash(out.salt ^ out.segments, s, size_t(length) - 8)) {
        return false;
    }
    const uint64_t after[2] = {journal64(s + 24), journal64(s + 32)};
    if (after[0] > kJournalLargest || after[1] > kJournalLargest) return false;
    const size_t end = size_t(length) - 8;
    size_t pos = kJournalSegmentHead;
    std::vector<JournalImage> images;
    for (uint32_t r = journal32(s + 8); r > 0; --r) {
        if (end - pos < 16) return false;
        const JournalImage image{journal32(s + pos), journal64(s + pos + 8), s + pos + 16, journal32(s + pos + 4)};
        const size_t padded = (size_t(image.length) + 7) & ~size_t{7};
        if (!journalRangeValid(image.kind, image.length, image.offset) || end - pos - 16 < padded) return false;
        images.push_back(image);
        pos += 16 + padded;
    }
    const bool final = (journal32(s + 12) & 1) != 0;
    std::vector<JournalRange> written;
    uint64_t afterHash = 0;
    if (final) {
        if (end - pos < 8 || journal32(s + pos + 4) != 0) return false;
        const uint32_t count = journal32(s + pos);
        pos += 8;
        if ((end - pos) / 16 < count || end - pos != size_t(count) * 16 + 8) return false;
        for (uint32_t i = 0; i < count; ++i, pos += 16) {
            const JournalRange range{journal32(s + pos), journal64(s + pos + 8), journal32(s + pos + 4)};
            if (!journalRangeValid(range.kind, range.length, range.offset)) return false;
            written.push_back(range);
        }
        afterHash = journal64(s + pos);
    } else if (pos != end) {
        return false;
    }
    out.images.insert(out.images.end(), images.begin(), images.end());
    out.counters.push_back(journal32(s + 40));
    out.final = final;
    for (int k = 0; k < 2; ++k) {
        out.finalSize[k] = after[k];
        out.least[k] = std::min(out.least[k], after[k]);
        out.most[k] = std::max(out.most[k], after[k]);
    }
    if (final) {
        out.written = std::move(written);
        out.afterHash = afterHash;
    }
    at += size_t(length);
    ++out.segments;
    return true;
}

inline JournalHeader readJournal(const Bytes &j, JournalView &out) {
    if (j.size() < 12 || std::memcmp(j.data(), "wisamjnl", 8) != 0) return JournalHeader::cold;
    const uint32_t version = journal32(&j[8]);
    if (version == 1) {  // a 64-byte header, its hash at 56
        return j.size() >= 64 && journal64(&j[56]) == earlierJournalHash(journal32(&j[12]), j.data(), 56)
                   ? JournalHeader::unbound
                   : JournalHeader::cold;
    }
    if (version != kJournalVersion) return JournalHeader::unbound;
    out.salt = journal32(&j[12]);
    if (j.size() < kJournalHeader || journal64(&j[120]) != journalHash(out.salt, j.data(), 120)) {
        return JournalHeader::cold;
    }
    out.start[0] = journal64(&j[24]);
    out.start[1] = journal64(&j[32]);
    out.counter = journal32(&j[40]);
    const uint32_t flags = journal32(&j[44]);
    out.hasData = (flags & 1) != 0;
    for (int k = 0; k < 2; ++k) {
        out.device[k] = journal64(&j[48 + 16 * size_t(k)]);
        out.inode[k] = journal64(&j[56 + 16 * size_t(k)]);
        out.least[k] = out.most[k] = out.finalSize[k] = out.start[k];
    }
    if (journal32(&j[16]) != kJournalPage || out.start[0] > kJournalLargest || out.start[1] > kJournalLargest ||
        (flags & ~1u) != 0 || std::any_of(&j[80], &j[120], [](uint8_t b) { return b != 0; })) {
        return JournalHeader::malformed;
    }
    for (size_t at = kJournalHeader; !out.final && readJournalSegment(j, at, out);) {
    }
    return JournalHeader::bound;
}

// The files a journal is laid beside: their bytes (no data file: null)
// and which files they are.
struct JournalFiles {
    const Bytes *file[2] = {nullptr, nullptr};
    uint64_t device[2] = {0, 0}, inode[2] = {0, 0};
};

// Whether the images of `kind` cover [from, to) whole.
inline bool journalImagesCover(const JournalView &v, uint32_t kind, uint64_t from, uint64_t to) {
    std::vector<std::pair<uint64_t, uint64_t>> spans;
    for (const JournalImage &i : v.images) {
        if (i.kind == kind) spans.emplace_back(i.offset, i.offset + i.length);
    }
    std::sort(spans.begin(), spans.end());
    for (const auto &[first, last] : spans) {
        if (first > from) break;
        from = std::max(from, last);
    }
    return from >= to;
}

// Whether the journal was made for these files at a state it describes:
// their identity and the data file's presence, the change counter at the
// start or after a segment, each size between the least and the most the
// journal gives, every image within the size at the start, and a file
// shorter than at the start covered by images up to that size.  (Who owns
// the journal is the files' business: the fuzz target's files all belong
// to the superuser.)
inline bool journalFits(const JournalView &v, const JournalFiles &files) {
    if (v.hasData != (files.file[1] != nullptr)) return false;
    uint64_t size[2] = {0, 0};
    for (int k = 0; k < 2; ++k) {
        if (files.file[k] == nullptr) {
            if (v.device[k] != 0 || v.inode[k] != 0 || v.most[k] != 0) return false;
            continue;
        }
        if (files.device[k] != v.device[k] || files.inode[k] != v.inode[k]) return false;
        size[k] = files.file[k]->size();
        if (size[k] < v.least[k] || size[k] > v.most[k]) return false;
    }
    if (v.start[0] < kJournalCounterAt + 4 || size[0] < kJournalCounterAt + 4) return false;
    const uint32_t counter = journal32(files.file[0]->data() + kJournalCounterAt);
    if (counter != v.counter && std::find(v.counters.begin(), v.counters.end(), counter) == v.counters.end()) {
        return false;
    }
    for (const JournalImage &i : v.images) {
        if (i.offset + i.length > v.start[i.kind - 1]) return false;
    }
    for (uint32_t kind = 1; kind <= 2; ++kind) {
        if (size[kind - 1] < v.start[kind - 1] && !journalImagesCover(v, kind, size[kind - 1], v.start[kind - 1])) {
            return false;
        }
    }
    return true;
}

// Whether the files hold what the final segment wrote in place, at the
// sizes after it: the change completed.
inline bool journalCompleted(const JournalView &v, const JournalFiles &files) {
    if (!v.final) return false;
    for (int k = 0; k < 2; ++k) {
        const uint64_t size = files.file[k] != nullptr ? files.file[k]->size() : 0;
        if (size != v.finalSize[k]) return false;
    }
    uint64_t h = ~uint64_t{v.salt};
    for (const JournalRange &r : v.written) {
        const Bytes *file = files.file[r.kind - 1];
        if (file == nullptr || r.offset + r.length > v.finalSize[r.kind - 1]) return false;
        h = journalHash(h, file->data() + r.offset, r.length);
    }
    return h == v.afterHash;
}

enum class JournalVerdict {
    none,    // no journal to look at
    idle,    // nothing left to do: no segment checks, or the change completed
    apply,   // an interrupted change to take back
    refuse,  // not to be applied to these files: set aside
};

inline JournalVerdict judgeJournal(const Bytes &j, const JournalFiles &files, JournalView &view) {
    switch (readJournal(j, view)) {
    case JournalHeader::cold: return JournalVerdict::none;
    case JournalHeader::unbound:
    case JournalHeader::malformed: return JournalVerdict::refuse;
    case JournalHeader::bound: break;
    }
    if (!journalFits(view, files)) return JournalVerdict::refuse;
    if (view.segments == 0 || journalCompleted(view, files)) return JournalVerdict::idle;
    return JournalVerdict::apply;
}

// `file` (of kind 1 or 2) put back by the images, newest first, and cut or
// extended to its size at the start; false when an image or that size lies
// beyond `largest` bytes (no file the target lays down can take it).
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
