// layer: system/store
// isjournal.cpp - the overlay of a change, its commit and the recovery of
// an interrupted one.
#include "system/isjournal.h"

#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <cerrno>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <unordered_map>
#include <vector>

#include "frame/iserror.h"
#include "frame/isfile.h"
#include "frame/ismemory.h"
#include "system/issystem.h"

extern "C" {
WISAM_API int32_t isJournalMode = 1;
}

namespace wisam {

namespace {

constexpr char kMagic[8] = {'w', 'i', 's', 'a', 'm', 'j', 'n', 'l'};
constexpr char kSegmentTag[4] = {'w', 's', 'e', 'g'};
constexpr uint32_t kVersion = 3;
constexpr uint32_t kFinal = 1;
constexpr uint32_t kHasData = 1;       // header flag: the ISAM file has a data file
constexpr int32_t kHeaderHashAt = kJournalHeaderSize - 8;
constexpr int32_t kReservedAt = 80;
constexpr int32_t kSegmentHead = 48;
constexpr int32_t kRecordHead = 16;
constexpr int32_t kRangeEntry = 16;
// Held pages (two copies each) spill above half the memory the caches may
// take (isFileCacheMaxMemUsage), and never below this.
constexpr size_t kLeastSpillBytes = size_t{64} << 10;
// A journal file longer than this is cut to nothing when its change ends.
constexpr int64_t kKeepJournalBytes = int64_t{16} << 20;
// The dictionary's change counter: every change moves it on disk, so that
// every other process looks for this journal.
constexpr int64_t kChangeCounterAt = 41;
// No offset or size in a journal reaches this (4 PiB): sums of two stay far
// from overflowing.
constexpr uint64_t kLargestOffset = uint64_t{1} << 52;

// The two files a change covers, by slot: index 0, data 1.
constexpr int kKinds[2] = {kKindIndex, kKindData};
int slotOf(int kind) { return kind == kKindIndex ? 0 : 1; }

void put32(uint8_t *at, uint32_t v) {
    for (int i = 3; i >= 0; --i, v >>= 8) at[i] = static_cast<uint8_t>(v);
}
void put64(uint8_t *at, uint64_t v) {
    for (int i = 7; i >= 0; --i, v >>= 8) at[i] = static_cast<uint8_t>(v);
}
uint32_t get32(const uint8_t *at) {
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v = (v << 8) | at[i];
    return v;
}
uint64_t get64(const uint8_t *at) {
    uint64_t v = 0;
    for (int i = 0; i < 8; ++i) v = (v << 8) | at[i];
    return v;
}

uint64_t littleWord(const uint8_t *p) {
    uint64_t w;
    std::memcpy(&w, p, 8);
    if constexpr (std::endian::native == std::endian::big) w = __builtin_bswap64(w);
    return w;
}

// The 128-bit product of two words, folded to 64 bits.
uint64_t fold(uint64_t a, uint64_t b) {
    const unsigned __int128 product = static_cast<unsigned __int128>(a) * b;
    return uint64_t(product) ^ uint64_t(product >> 64);
}

// A fast 64-bit hash over little-endian words, 48 bytes a step in three
// chains that do not wait on each other: recognises torn and damaged bytes,
// not an adversary.
uint64_t hashBytes(uint64_t h, const uint8_t *p, size_t n) {
    constexpr uint64_t k0 = 0xA0761D6478BD642Full, k1 = 0xE7037ED1A0B428DBull, k2 = 0x8EBC6AF09C88C6E3ull,
                       k3 = 0x589965CC75374CC3ull;
    uint64_t a = h ^ k0, b = h ^ k1, c = h ^ k2;
    size_t i = 0;
    for (; i + 48 <= n; i += 48) {
        a = fold(littleWord(p + i) ^ k1, littleWord(p + i + 8) ^ a);
        b = fold(littleWord(p + i + 16) ^ k2, littleWord(p + i + 24) ^ b);
        c = fold(littleWord(p + i + 32) ^ k3, littleWord(p + i + 40) ^ c);
    }
    h = a ^ b ^ c;
    for (; i + 8 <= n; i += 8) h = fold(littleWord(p + i) ^ k1, h ^ k3);
    uint64_t tail = uint64_t(n) << 56;
    for (size_t x = i; x < n; ++x) tail ^= uint64_t(p[x]) << (8 * (x - i));
    return fold(h ^ k0, tail ^ k2);
}

// The first byte in [from, to) where `a` and `b` differ (`to` when none).
// Equal runs are passed 32 bytes a step (compared as whole vectors).
int32_t firstDifference(const uint8_t *a, const uint8_t *b, int32_t from, int32_t to) {
    for (; from + 32 <= to && std::memcmp(a + from, b + from, 32) == 0; from += 32) {
    }
    for (; from + 8 <= to && std::memcmp(a + from, b + from, 8) == 0; from += 8) {
    }
    for (; from < to && a[from] == b[from]; ++from) {
    }
    return from;
}

// The end of the last difference in [from, to) (`from` when none).
int32_t endOfDifference(const uint8_t *a, const uint8_t *b, int32_t from, int32_t to) {
    for (; to - 32 >= from && std::memcmp(a + to - 32, b + to - 32, 32) == 0; to -= 32) {
    }
    for (; to - 8 >= from && std::memcmp(a + to - 8, b + to - 8, 8) == 0; to -= 8) {
    }
    for (; to > from && a[to - 1] == b[to - 1]; --to) {
    }
    return to;
}

}  // namespace

// One page of a file held by the change.
struct JournalPage {
    int32_t kind;
    int64_t offset;
    int32_t baseLength;  // bytes the file held of the page when it was taken
    int32_t from, to;    // the bytes the change wrote or cut, [from, to)
    bool filled;         // `after` holds the whole page, not only [from, to)
    uint8_t *base;       // [from, to): those bytes when the page was taken
    uint8_t *after;      // the page as the change leaves it (zeros past baseLength)
};

// What a segment does with one held page: the bytes whose images it keeps
// and the bytes it writes in place, each [from, to) within the page.
struct JournalSpan {
    const JournalPage *page;
    int32_t imageFrom, imageTo;
    int32_t writeFrom, writeTo;
};

// The bytes of a segment as they are put together: every byte is written
// once, so the buffer is not zero-filled as it grows.
struct SegmentBytes {
    std::unique_ptr<uint8_t[]> bytes;
    size_t size = 0, capacity = 0;
};

struct Journal {
    bool inChange = false;
    bool pending = false;
    bool rolledBack = false;  // a change was abandoned and its writes taken back
    bool batch = false;       // the change outlived a call (a kept lock)
    bool syncFiles = false;  // isForceCommit asked for the files to be flushed
    bool bound = false;       // device and inode of the files are known
    // The journal file holds a change with nothing left to do (completed,
    // or torn before anything was written in place), its header not cleared:
    // a change written in place must clear it first, since that change would
    // no longer let it be judged.
    bool lingering = false;
    int32_t mode = 0;
    uint32_t salt = 0;
    uint32_t sequence = 0;    // segments written by this change
    int64_t journalEnd = 0;   // bytes of the journal file this change uses
    bool created = false;     // the journal file was made by this handle: sync its directory once
    bool ownerChecked = false;  // the journal file open is known to be one the index file's users may write
    uint32_t startCounter = 0;  // the dictionary's change counter on disk when the change began
    uint32_t counter = 0;       // and after the segments written so far
    uint64_t device[2] = {0, 0};  // the files the journal is bound to (slots as below)
    uint64_t inode[2] = {0, 0};
    int64_t startSize[2] = {0, 0};
    int64_t diskSize[2] = {0, 0};
    int64_t size[2] = {0, 0};
    // The sizes are taken when the change first writes (`sized`), under
    // the exclusive lock.  Those this handle's last change left hold while
    // the dictionary's change counter on disk is the one it left
    // (`sizesCounter`): every change that moves a size moves the counter,
    // and one taken back puts both back.
    bool sized = false;
    bool sizesKnown = false;
    uint32_t sizesCounter = 0;
    std::unordered_map<uint64_t, size_t> byKey;
    std::vector<JournalPage> pages;
    std::vector<uint8_t *> spare;  // page buffers kept for the next change
    SegmentBytes scratch;  // the journal bytes of a segment, kept for the next
};

namespace {

uint64_t keyOf(int kind, int64_t offset) {
    return (uint64_t(slotOf(kind)) << 62) | uint64_t(offset / kJournalPage);
}

int32_t fdOf(const IsFile *f, int kind) { return kind == kKindIndex ? f->indexFd : f->dataFd; }

uint8_t *takeBuffer(IsFile *f, Journal *j) {
    if (!j->spare.empty()) {
        uint8_t *b = j->spare.back();
        j->spare.pop_back();
        return b;
    }
    return static_cast<uint8_t *>(allocUnfilled(f, kJournalPage));
}

void dropPages(Journal *j) {
    for (JournalPage &p : j->pages) {
        j->spare.push_back(p.base);
        j->spare.push_back(p.after);
    }
    j->pages.clear();
    j->byKey.clear();
}

// Page buffers a handle keeps between changes: enough for a call's pages;
// a batch's thousands go back to the allocator with its end.
constexpr size_t kSpareBuffers = 64;
// Nor does it keep the segment buffer of a large change.
constexpr size_t kKeptScratchBytes = size_t{1} << 20;

void closeChange(Journal *j) {
    dropPages(j);
    while (j->spare.size() > kSpareBuffers) {
        freeBlock(j->spare.back());
        j->spare.pop_back();
    }
    if (j->scratch.capacity > kKeptScratchBytes) j->scratch = SegmentBytes{};
    j->inChange = false;
    j->syncFiles = false;
    j->batch = false;
}

int32_t clip(int64_t v) { return static_cast<int32_t>(std::clamp<int64_t>(v, 0, kJournalPage)); }

// The held page at `offset` of `kind`; a new one holds nothing of the
// file yet: its bytes are read as they are needed.
JournalPage &pageAt(IsFile *f, Journal *j, int kind, int64_t offset) {
    const uint64_t key = keyOf(kind, offset);
    if (auto it = j->byKey.find(key); it != j->byKey.end()) return j->pages[it->second];
    JournalPage p{kind, offset, clip(j->diskSize[slotOf(kind)] - offset), kJournalPage, 0, false, nullptr, nullptr};
    j->spare.reserve(j->spare.size() + 2);  // so that giving the buffers back cannot fail
    p.base = takeBuffer(f, j);
    try {
        p.after = takeBuffer(f, j);
    } catch (const IsamRaise &) {
        j->spare.push_back(p.base);
        throw;
    }
    j->pages.push_back(p);
    j->byKey.emplace(key, j->pages.size() - 1);
    return j->pages.back();
}

// Bytes [from, to) of the page as the file held them when it was taken
// (zeros past its end), into `out` at the same place.  A file shorter than
// it was: 105.
void readOriginal(IsFile *f, const JournalPage &p, uint8_t *out, int32_t from, int32_t to) {
    const int32_t held = std::clamp(p.baseLength, from, to);
    if (held > from) sysReadDirect(f, p.kind, out + from, held - from, p.offset + from);
    if (to > held) std::memset(out + held, 0, size_t(to - held));
}

bool touched(const JournalPage &p, int64_t at, int32_t length) { return p.from <= at && at + length <= p.to; }

// What a write knows of the bytes it replaces: `bytes` hold the page's
// bytes [at, end) as they were just before it (none when null).
struct Before {
    const uint8_t *bytes = nullptr;
    int32_t at = 0, end = 0;
};

// Before bytes [from, to) of the page change: those of them not touched
// before still hold what the page held when taken; they are kept as such
// (and read into `after` where it does not hold them yet), from `before`
// when it has them.  The touched bytes stay one range, so a gap between
// two writes is taken too.
void markTouched(IsFile *f, JournalPage &p, int32_t from, int32_t to, Before before = {}) {
    const auto take = [&](int32_t a, int32_t b) {
        if (a >= b) return;
        if (p.filled) {
            std::memcpy(p.base + a, p.after + a, size_t(b - a));
            return;
        }
        if (before.bytes != nullptr && a >= before.at && b <= std::min(before.end, p.baseLength)) {
            std::memcpy(p.base + a, before.bytes + (a - before.at), size_t(b - a));
        } else {
            readOriginal(f, p, p.base, a, b);
        }
        std::memcpy(p.after + a, p.base + a, size_t(b - a));
    };
    if (p.from >= p.to) {
        take(from, to);
        p.from = from, p.to = to;
        return;
    }
    take(from, p.from);
    take(p.to, to);
    p.from = std::min(p.from, from);
    p.to = std::max(p.to, to);
}

// A write of the whole of a page the change has not touched: only the
// bytes it alters are kept as taken, found against what the page held
// (the write's own `was`, else the file's view, read in place).  False when
// neither holds the page.
bool takeWholePage(IsFile *f, JournalPage &p, const uint8_t *in, const uint8_t *was) {
    if (p.filled || p.baseLength != kJournalPage) return false;
    if (was == nullptr) was = sysPeekDirect(f, p.kind, p.offset, kJournalPage);
    if (was == nullptr) return false;
    const int32_t from = firstDifference(in, was, 0, kJournalPage);
    const int32_t to = endOfDifference(in, was, from, kJournalPage);
    std::memcpy(p.base + from, was + from, size_t(to - from));
    std::memcpy(p.after, in, kJournalPage);
    p.from = from, p.to = to;
    p.filled = true;
    return true;
}

// `after` made whole, for a read of the page: the bytes the change did not
// touch as the file holds them.
void fillPage(IsFile *f, JournalPage &p) {
    if (p.filled) return;
    if (p.from >= p.to) {
        readOriginal(f, p, p.after, 0, kJournalPage);
    } else {
        readOriginal(f, p, p.after, 0, p.from);
        readOriginal(f, p, p.after, p.to, kJournalPage);
    }
    p.filled = true;
}

// The bytes of a held page that belong to the file as the change leaves it.
int32_t finalLength(const Journal *j, const JournalPage &p) { return clip(j->size[slotOf(p.kind)] - p.offset); }

// What the segment does with page `p`: it writes the bytes the change
// altered (and those it added past the file's end), and keeps the images of
// those and of the bytes a cut takes away, as far as the file held them when
// the change began (later bytes go with the cut back to that size).
JournalSpan spanOf(const Journal *j, const JournalPage &p) {
    const int32_t length = finalLength(j, p), held = p.baseLength;
    JournalSpan span{&p, 0, 0, 0, 0};
    int32_t from = p.from, to = std::min(p.to, length);
    if (from < to) {
        const int32_t same = std::min(to, held);  // bytes past `held` are new, so written
        from = firstDifference(p.after, p.base, from, same);
        if (to <= held) to = endOfDifference(p.after, p.base, from, to);
    }
    if (from < to) span.writeFrom = from, span.writeTo = to;
    int32_t imageFrom = span.writeFrom, imageTo = span.writeTo;
    if (length < held) {  // a cut: the bytes it takes away
        imageFrom = imageFrom < imageTo ? std::min(imageFrom, length) : length;
        imageTo = held;
    }
    imageTo = std::min({imageTo, held, clip(j->startSize[slotOf(p.kind)] - p.offset)});
    if (imageFrom < imageTo) span.imageFrom = imageFrom, span.imageTo = imageTo;
    return span;
}

bool spanWrites(const JournalSpan &s) { return s.writeFrom < s.writeTo; }
bool spanImages(const JournalSpan &s) { return s.imageFrom < s.imageTo; }

void putHeader(const IsFile *f, const Journal *j, uint8_t *h) {
    std::memset(h, 0, kJournalHeaderSize);
    std::memcpy(h, kMagic, 8);
    put32(h + 8, kVersion);
    put32(h + 12, j->salt);
    put32(h + 16, kJournalPage);
    put32(h + 20, static_cast<uint32_t>(j->mode));
    put64(h + 24, uint64_t(j->startSize[0]));
    put64(h + 32, uint64_t(j->startSize[1]));
    put32(h + 40, j->startCounter);
    put32(h + 44, f->dataFd >= 0 ? kHasData : 0);
    for (int s = 0; s < 2; ++s) {
        put64(h + 48 + 16 * s, j->device[s]);
        put64(h + 56 + 16 * s, j->inode[s]);
    }
    put64(h + kHeaderHashAt, hashBytes(j->salt, h, kHeaderHashAt));
}

uint8_t *grow(SegmentBytes &out, size_t bytes) {
    if (out.size + bytes > out.capacity) {
        const size_t capacity = std::max({2 * out.capacity, out.size + bytes, size_t{64} << 10});
        std::unique_ptr<uint8_t[]> larger = std::make_unique_for_overwrite<uint8_t[]>(capacity);
        if (out.size > 0) std::memcpy(larger.get(), out.bytes.get(), out.size);
        out.bytes = std::move(larger);
        out.capacity = capacity;
    }
    uint8_t *at = out.bytes.get() + out.size;
    out.size += bytes;
    return at;
}

uint64_t afterHashSeed(uint32_t salt) { return ~uint64_t{salt}; }

// The counter the dictionary's page holds after the segment: the held
// page's, or what is on disk when the segment does not hold it.
uint32_t counterAfter(const Journal *j) {
    if (auto it = j->byKey.find(keyOf(kKindIndex, 0)); it != j->byKey.end()) {
        const JournalPage &p = j->pages[it->second];
        if (finalLength(j, p) >= kChangeCounterAt + 4 && touched(p, kChangeCounterAt, 4)) {
            return get32(p.after + kChangeCounterAt);
        }
    }
    return j->counter;
}

// One segment, appended to `out`: the images of the spans that keep one
// and, for the final segment, the list of the ranges written in place with
// the hash of their new bytes.
void buildSegment(const Journal *j, const std::vector<JournalSpan> &spans, bool final, SegmentBytes &out) {
    const size_t start = out.size;
    std::memset(grow(out, kSegmentHead), 0, kSegmentHead);
    uint32_t records = 0;
    for (const JournalSpan &span : spans) {
        if (!spanImages(span)) continue;
        const int32_t length = span.imageTo - span.imageFrom;
        const size_t padded = (size_t(length) + 7) & ~size_t{7};
        uint8_t *r = grow(out, kRecordHead + padded);
        put32(r, static_cast<uint32_t>(span.page->kind));
        put32(r + 4, static_cast<uint32_t>(length));
        put64(r + 8, uint64_t(span.page->offset + span.imageFrom));
        std::memcpy(r + kRecordHead, span.page->base + span.imageFrom, size_t(length));
        std::memset(r + kRecordHead + length, 0, padded - size_t(length));
        ++records;
    }
    if (final) {
        const size_t countAt = out.size;
        std::memset(grow(out, 8), 0, 8);
        uint32_t written = 0;
        uint64_t h = afterHashSeed(j->salt);
        for (const JournalSpan &span : spans) {
            if (!spanWrites(span)) continue;
            const int32_t length = span.writeTo - span.writeFrom;
            uint8_t *e = grow(out, kRangeEntry);
            put32(e, static_cast<uint32_t>(span.page->kind));
            put32(e + 4, static_cast<uint32_t>(length));
            put64(e + 8, uint64_t(span.page->offset + span.writeFrom));
            h = hashBytes(h, span.page->after + span.writeFrom, size_t(length));
            ++written;
        }
        put32(out.bytes.get() + countAt, written);
        put64(grow(out, 8), h);
    }
    uint8_t *s = out.bytes.get() + start;
    std::memcpy(s, kSegmentTag, 4);
    put32(s + 4, j->sequence);
    put32(s + 8, records);
    put32(s + 12, final ? kFinal : 0);
    put64(s + 16, uint64_t(out.size - start + 8));
    put64(s + 24, uint64_t(j->size[0]));
    put64(s + 32, uint64_t(j->size[1]));
    put32(s + 40, counterAfter(j));
    const uint64_t h = hashBytes(j->salt ^ j->sequence, s, out.size - start);
    put64(grow(out, 8), h);
}

bool journalOwnedRightly(IsFile *f);
void moveAside(IsFile *f);

// The journal file a change writes.  One that someone else left there (not
// the index file's owner's, or writable by more users than the index file)
// is not written into, since its owner could read the images: it is set
// aside and a new one made in its place.
void openJournalFile(IsFile *f, Journal *j) {
    if (f->journalFd < 0) f->journalFd = sysOpen(nullptr, kKindJournal, f->name);
    if (f->journalFd >= 0 && !j->ownerChecked && !journalOwnedRightly(f)) moveAside(f);
    j->ownerChecked = true;
    if (f->journalFd >= 0) return;
    sysOpenOrCreate(f, kKindJournal, f->name);
    j->created = true;
}

void syncJournal(IsFile *f, Journal *j) {
    sysCommit(f, kKindJournal);
    if (j->created) {
        sysSyncDirectoryOf(f, kKindJournal);
        j->created = false;
    }
}

// The device and inode of the index and data files: the journal is applied
// to these files only, never to a copy or a file made anew under the name.
// A descriptor keeps its file, so they are asked once a handle.
void bindToFiles(IsFile *f, Journal *j) {
    if (j->bound) return;
    for (int s = 0; s < 2; ++s) {
        j->device[s] = j->inode[s] = 0;
        const int32_t fd = fdOf(f, kKinds[s]);
        if (fd < 0) continue;
        SysFileStatus status = {};
        if (!sysStatus(fd, status)) raiseError(f, errno, kIoRead + kKinds[s]);
        j->device[s] = status.device;
        j->inode[s] = status.inode;
    }
    j->bound = true;
}

// The change counter the dictionary had on disk when the change began: a
// journal applies only to a file whose counter its change moved from there.
uint32_t counterAtStart(IsFile *f, Journal *j) {
    if (j->startSize[0] < kChangeCounterAt + 4) return 0;
    if (auto it = j->byKey.find(keyOf(kKindIndex, 0)); it != j->byKey.end()) {
        JournalPage &p = j->pages[it->second];
        markTouched(f, p, int32_t(kChangeCounterAt), int32_t(kChangeCounterAt + 4));
        return get32(p.base + kChangeCounterAt);
    }
    uint8_t counter[4];
    sysReadDirect(f, kKindIndex, counter, 4, kChangeCounterAt);
    return get32(counter);
}

// Step 1: the segment goes to the journal (and, in mode 2, to the device),
// with the header in the same write when it is the change's first.
void writeSegment(IsFile *f, Journal *j, const std::vector<JournalSpan> &spans, bool final) {
    openJournalFile(f, j);
    SegmentBytes &out = j->scratch;
    out.size = 0;
    if (j->sequence == 0) {
        j->startCounter = j->counter = counterAtStart(f, j);
        bindToFiles(f, j);
        putHeader(f, j, grow(out, kJournalHeaderSize));
    }
    buildSegment(j, spans, final, out);
    sysWriteDirect(f, kKindJournal, out.bytes.get(), static_cast<int32_t>(out.size), j->journalEnd);
    j->journalEnd += static_cast<int64_t>(out.size);
    j->counter = counterAfter(j);
    ++j->sequence;
    if (j->mode >= 2) syncJournal(f, j);
}

// Steps 2 and 3: the changed bytes in place, the dictionary's page first,
// then the sizes; in mode 2 (or when asked) the files synced.
void writeInPlace(IsFile *f, Journal *j, const std::vector<JournalSpan> &spans) {
    bool touched[2] = {false, false};
    int64_t reached[2] = {j->diskSize[0], j->diskSize[1]};  // the file's size after the writes
    for (const JournalSpan &span : spans) {
        const JournalPage &p = *span.page;
        const int s = slotOf(p.kind);
        if (spanWrites(span)) {
            sysWriteDirect(f, p.kind, p.after + span.writeFrom, span.writeTo - span.writeFrom,
                           p.offset + span.writeFrom);
            touched[s] = true;
            reached[s] = std::max(reached[s], p.offset + span.writeTo);
        }
    }
    for (int s = 0; s < 2; ++s) {
        if (fdOf(f, kKinds[s]) < 0) continue;
        if (j->size[s] != reached[s]) {
            sysTruncateDirect(f, kKinds[s], j->size[s]);
            touched[s] = true;
        }
        j->diskSize[s] = j->size[s];
    }
    if (j->mode >= 2 || j->syncFiles) {
        if (touched[1]) sysCommit(f, kKindData);
        if (touched[0]) sysCommit(f, kKindIndex);
    }
}

// What the segment does, page by page, in the order of the in-place
// writes: the dictionary's page first, then by file and offset.
std::vector<JournalSpan> changedSpans(const Journal *j) {
    std::vector<JournalSpan> spans;
    for (const JournalPage &p : j->pages) {
        const JournalSpan span = spanOf(j, p);
        if (spanWrites(span) || spanImages(span)) spans.push_back(span);
    }
    std::sort(spans.begin(), spans.end(), [](const JournalSpan &a, const JournalSpan &b) {
        return a.page->kind != b.page->kind ? a.page->kind < b.page->kind : a.page->offset < b.page->offset;
    });
    return spans;
}

bool sizesChanged(const IsFile *f, const Journal *j) {
    for (int s = 0; s < 2; ++s) {
        if (fdOf(f, kKinds[s]) >= 0 && j->size[s] != j->diskSize[s]) return true;
    }
    return false;
}

// Step 4 where it is needed: a failure here loses nothing, since a journal
// whose final segment's ranges hold their new bytes is a completed change.
void clearJournal(IsFile *f, Journal *j) {
    if (j->journalEnd > kKeepJournalBytes) {
        sysTruncate(nullptr, f->journalFd, 0);
    } else {
        const uint8_t zeros[kJournalHeaderSize] = {};
        sysWrite(nullptr, f->journalFd, zeros, kJournalHeaderSize, 0);
    }
    j->lingering = false;
}

// The dictionary's change counter on disk moves with a spill, so that a
// reader finding the file changed looks for this journal.  The handle's
// own copy of the dictionary moves with it, or the handle would take its
// own change for another process's.
void moveChangeCounter(IsFile *f, Journal *j) {
    if (j->diskSize[0] < kChangeCounterAt + 4 || j->size[0] < kChangeCounterAt + 4) return;
    JournalPage &p = pageAt(f, j, kKindIndex, 0);
    if (touched(p, kChangeCounterAt, 4) &&
        std::memcmp(p.after + kChangeCounterAt, p.base + kChangeCounterAt, 4) != 0) {
        return;  // the change moved it itself
    }
    markTouched(f, p, int32_t(kChangeCounterAt), int32_t(kChangeCounterAt + 4));
    const uint32_t moved = get32(p.base + kChangeCounterAt) + 1;
    put32(p.after + kChangeCounterAt, moved);
    if (f->dictionary != nullptr && f->changeCount == moved - 1) {
        f->changeCount = moved;
        put32(f->dictionary + kChangeCounterAt, moved);
    }
}

void commitPages(IsFile *f, Journal *j, bool final);
void abandonChange(IsFile *f, Journal *j, bool mayKeep);
bool applyJournal(IsFile *f, bool takeBack);

void spill(IsFile *f, Journal *j) {
    moveChangeCounter(f, j);
    commitPages(f, j, false);
    dropPages(j);
}

Journal *journalOf(IsFile *f) {
    if (f->journal == nullptr) f->journal = new (allocZeroed(f, sizeof(Journal))) Journal{};
    return f->journal;
}

// Differs from one journal to the next of a file, so that nothing of an
// earlier journal left in the file passes for this one's.
uint32_t freshSalt() {
    static std::atomic<uint32_t> counter{0};  // handles of different files begin side by side
    static const uint64_t process = uint64_t(uint32_t(sysCalls.getpid())) << 32;
    const uint64_t mix = uint64_t(sysCalls.clockMicros()) * 0x9E3779B97F4A7C15ull ^ process ^
                         (counter.fetch_add(1, std::memory_order_relaxed) + 1);
    return static_cast<uint32_t>(mix ^ (mix >> 32));
}

void clearLingering(IsFile *f, Journal *j);

// The dictionary's change counter on disk; false when the index file is
// too short to hold it.
bool diskCounter(IsFile *f, uint32_t &counter) {
    uint8_t bytes[4];
    int32_t count = 0;
    sysReadDirect(f, kKindIndex, bytes, 4, kChangeCounterAt, &count);
    counter = get32(bytes);
    return count == 4;
}

// The files' sizes at the change's start, taken at its first write (or
// cut): a call may begin its change before it holds the exclusive lock,
// and the files are the change's own only from then on.  Until then the
// overlay holds nothing and reads go to the files.
void takeSizes(IsFile *f, Journal *j) {
    if (j->sized) return;
    uint32_t counter = 0;
    const bool known = j->sizesKnown && diskCounter(f, counter) && counter == j->sizesCounter;
    for (int s = 0; s < 2; ++s) {
        int64_t size = 0;
        if (fdOf(f, kKinds[s]) >= 0) size = known ? j->diskSize[s] : sysFileSizeDirect(f, kKinds[s]);
        j->startSize[s] = j->diskSize[s] = j->size[s] = size;
    }
    j->sizesKnown = false;  // again once the change ends well
    j->sized = true;
}

}  // namespace

bool journalOverlays(const IsFile *f, int kind) {
    return f != nullptr && f->journal != nullptr && f->journal->inChange &&
           (kind == kKindIndex || kind == kKindData) && fdOf(f, kind) >= 0;
}

bool journalInChange(const IsFile *f) { return f->journal != nullptr && f->journal->inChange; }

bool journalPending(const IsFile *f) { return f->journal != nullptr && f->journal->pending; }

void journalRequestSync(IsFile *f) {
    if (journalInChange(f)) f->journal->syncFiles = true;
}

void journalBegin(IsFile *f) {
    if (journalInChange(f) || (f->mode & kModeNoLocking) != 0 || f->indexFd < 0) return;
    if (isJournalMode == 0) {
        if (f->journal != nullptr) {
            f->journal->sizesKnown = false;
            if (f->journal->lingering) clearLingering(f, f->journal);
        }
        return;
    }
    Journal *j = journalOf(f);
    j->mode = isJournalMode == 1 ? 1 : 2;
    j->sized = false;
    j->salt = freshSalt();
    j->sequence = 0;
    j->journalEnd = 0;
    j->inChange = true;
}

int journalRead(IsFile *f, int kind, void *buffer, int32_t length, int64_t offset, int32_t *count) {
    Journal *j = f->journal;
    if (!j->sized) return sysReadDirect(f, kind, buffer, length, offset, count);
    const int s = slotOf(kind);
    if (offset < 0 || length < 0) raiseError(f, EINVAL, kIoSeek + kind);
    int32_t have = static_cast<int32_t>(std::clamp<int64_t>(j->size[s] - offset, 0, length));
    auto *out = static_cast<uint8_t *>(buffer);
    for (int32_t done = 0; done < have;) {
        const int64_t at = offset + done;
        const int64_t page = at - at % kJournalPage;
        const int32_t within = static_cast<int32_t>(at - page);
        const int32_t n = std::min(have - done, kJournalPage - within);
        if (auto it = j->byKey.find(keyOf(kind, page)); it != j->byKey.end()) {
            JournalPage &p = j->pages[it->second];
            if (!touched(p, within, n)) fillPage(f, p);
            std::memcpy(out + done, p.after + within, size_t(n));
        } else {
            const int32_t onDisk = static_cast<int32_t>(std::clamp<int64_t>(j->diskSize[s] - at, 0, n));
            int32_t got = 0;
            if (onDisk > 0) sysReadDirect(f, kind, out + done, onDisk, at, &got);
            if (got < onDisk) {  // the file is shorter than it was: a short read
                have = done + got;
                break;
            }
            std::memset(out + done + got, 0, size_t(n - got));  // a hole the change left
        }
        done += n;
    }
    if (have == length || count != nullptr) {
        if (count != nullptr) *count = have;
        return 1;
    }
    raiseError(f, kErrCorrupt, kIoRead + kind);
}

void journalWrite(IsFile *f, int kind, const void *buffer, int32_t length, int64_t offset, const void *was) {
    Journal *j = f->journal;
    if (offset < 0 || length < 0) raiseError(f, EINVAL, kIoSeek + kind);
    takeSizes(f, j);
    const auto *in = static_cast<const uint8_t *>(buffer);
    const auto *before = static_cast<const uint8_t *>(was);
    for (int32_t done = 0; done < length;) {
        const int64_t at = offset + done;
        const int64_t page = at - at % kJournalPage;
        const int32_t within = static_cast<int32_t>(at - page);
        const int32_t n = std::min(length - done, kJournalPage - within);
        const uint8_t *beforeHere = before != nullptr ? before + done : nullptr;
        JournalPage &p = pageAt(f, j, kind, page);
        if (n == kJournalPage && p.from >= p.to) {  // the whole page
            if (takeWholePage(f, p, in + done, beforeHere)) {
                done += n;
                continue;
            }
            if (p.filled) {
                std::swap(p.base, p.after);
            } else {
                readOriginal(f, p, p.base, 0, kJournalPage);
            }
            p.from = 0, p.to = kJournalPage;
            p.filled = true;
        } else {
            markTouched(f, p, within, within + n, Before{beforeHere, within, within + n});
        }
        std::memcpy(p.after + within, in + done, size_t(n));
        done += n;
    }
    const int s = slotOf(kind);
    j->size[s] = std::max(j->size[s], offset + length);
    const size_t limit = std::max(size_t(std::max(isFileCacheMaxMemUsage, 0)) / 2, kLeastSpillBytes);
    if (j->pages.size() * 2 * kJournalPage <= limit) return;
    try {
        spill(f, j);
    } catch (const IsamRaise &) {
        abandonChange(f, j, true);  // a batch's first spill failing keeps the batch: only this call fails
        throw;
    }
}

int64_t journalFileSize(IsFile *f, int kind) {
    const Journal *j = f->journal;
    return j->sized ? j->size[slotOf(kind)] : sysFileSizeDirect(f, kind);
}

void journalTruncate(IsFile *f, int kind, int64_t length) {
    Journal *j = f->journal;
    const int s = slotOf(kind);
    if (length < 0) raiseError(f, EINVAL, kIoWrite + kind);
    takeSizes(f, j);
    // Every page the cut takes from the file is held, so that its bytes go
    // to the journal and later reads past the cut see zeros.
    const int64_t end = std::max(j->size[s], j->diskSize[s]);
    for (int64_t page = length - length % kJournalPage; page < end; page += kJournalPage) {
        if (page >= j->diskSize[s] && j->byKey.count(keyOf(kind, page)) == 0) continue;
        JournalPage &p = pageAt(f, j, kind, page);
        const int32_t from = static_cast<int32_t>(std::max<int64_t>(length - page, 0));
        markTouched(f, p, from, kJournalPage);
        std::memset(p.after + from, 0, size_t(kJournalPage - from));
    }
    j->size[s] = length;
}

namespace {

void commitPages(IsFile *f, Journal *j, bool final) {
    if (!j->sized) return;  // nothing written
    const std::vector<JournalSpan> spans = changedSpans(j);
    if (std::none_of(spans.begin(), spans.end(), spanWrites) && !sizesChanged(f, j)) return;
    writeSegment(f, j, spans, final);
    writeInPlace(f, j, spans);
}

// A change that could not be committed: what reached the files is put back
// from the journal before the error goes on.  When that fails too, the
// journal stays for the next call (or process) to apply.
//
// A change that spans a kept lock is kept for the next try when it can be
// (`mayKeep`, nothing of it spilled): the calls of the batch were
// acknowledged, so only its end fails.  When the files could not be put
// back either (no write goes through), the journal is applied first at the
// next call and the batch then written again.  Otherwise the change is
// dropped and the handle must read the files again (journalTakeRollback).
void abandonChange(IsFile *f, Journal *j, bool mayKeep) {
    const bool keep = mayKeep && j->batch && j->sequence <= 1;
    if (j->sequence > 0) {
        j->pending = true;
        const RecordedError recorded(f);
        const int32_t access = f->callAccess;
        f->callAccess = kAccessAny;  // raises of the rollback are failures of this call
        try {
            applyJournal(f, true);
            j->pending = false;
        } catch (const IsamRaise &) {
        }
        f->callAccess = access;
        recorded.restore(f);
    }
    if (keep) {
        j->sequence = 0;
        j->journalEnd = 0;
        for (int s = 0; s < 2; ++s) j->diskSize[s] = j->startSize[s];
        return;
    }
    closeChange(j);
    j->rolledBack = true;
}

}  // namespace

// A change of one segment in mode 1 that moved the change counter leaves
// its journal as it is: the next change's journal write replaces it, every
// other process looks at it (the counter moved) and sees from the files
// that it completed, and one that writes in place clears it first.  Any
// other change clears it: one that spilled, one that leaves the counter
// (others would not look), one in mode 2 (cheap beside its flushes).
void journalCommit(IsFile *f) {
    if (!journalInChange(f)) return;
    Journal *j = f->journal;
    try {
        commitPages(f, j, true);
    } catch (const IsamRaise &) {
        abandonChange(f, j, true);
        throw;
    }
    if (j->sequence > 0) {
        if (j->mode == 1 && j->sequence == 1 && j->counter != j->startCounter &&
            j->journalEnd <= kKeepJournalBytes) {
            j->lingering = true;
        } else {
            clearJournal(f, j);
        }
    }
    if (j->sequence > 0) {  // else the sizes and the counter are as they were
        j->sizesKnown = true;
        j->sizesCounter = j->counter;
    } else if (j->sized) {
        uint32_t counter = 0;
        j->sizesKnown = diskCounter(f, counter);
        j->sizesCounter = counter;
    }
    j->sequence = 0;
    j->journalEnd = 0;
    closeChange(j);
}

void journalSpansCalls(IsFile *f) {
    if (journalInChange(f)) f->journal->batch = true;
}

bool journalTakeRollback(IsFile *f) {
    if (f->journal == nullptr || !f->journal->rolledBack) return false;
    f->journal->rolledBack = false;
    return true;
}

namespace {

// What the start of the journal file says.
enum class Header {
    cold,     // no journal, a cleared one, or a header that does not check
              // (torn before anything was written in place)
    bound,    // a header of this version that checks
    unbound,  // a journal this library may not apply: of another version,
              // written by an earlier library (versions 1 and 2, whole-page
              // images, another hash) or a later one
};

// The journal's path as the system takes it; false when the name fails.
bool journalPath(const IsFile *f, std::string &out) {
    SysPath path;
    if (sysPathOf(kKindJournal, f->name, path) != 0) return false;
    out = path.bytes;
    return true;
}

// A journal that must not be applied: it is renamed N.wjn.bad-PID-N, a
// name nothing has (never replacing a file), so that it is kept for a look
// and no longer stands in the way, and the call fails with `error`.  When
// the rename fails the journal stays and the next call refuses it again;
// nothing of the index or data file is written either way.
void moveAside(IsFile *f) {
    sysClose(f, kKindJournal);
    std::string from;
    if (journalPath(f, from)) {
        const std::string stem = from + ".bad-" + std::to_string(sysCalls.getpid()) + "-";
        for (int n = 1; n <= 1000; ++n) {
            const std::string to = stem + std::to_string(n);
            if (sysCalls.renameNoReplace(from.c_str(), to.c_str()) == 0 || errno != EEXIST) break;
        }
    }
}

[[noreturn]] void setAside(IsFile *f, int error, int io) {
    moveAside(f);
    raiseError(f, error, io);
}

[[noreturn]] void refuseJournal(IsFile *f) { setAside(f, kErrCorrupt, kIoRead + kKindJournal); }

// Opens the journal when it exists.  A journal that cannot be opened may
// hold the only way back for half-changed files: any failure other than
// its absence fails the call, and a symbolic link in its place is set aside.
bool openForRecovery(IsFile *f) {
    if (f->journalFd >= 0) return true;
    const int32_t fd = sysOpen(nullptr, kKindJournal, f->name);
    if (fd >= 0) {
        f->journalFd = fd;
        return true;
    }
    const int error = errno;
    if (error == ENOENT) return false;
    std::string path;
    SysFileStatus link = {};
    if (error == ELOOP && journalPath(f, path) && sysCalls.pathStatus(path.c_str(), &link, false) == 0 &&
        link.symlink) {
        setAside(f, ELOOP, kIoOpen + kKindJournal);
    }
    raiseError(f, error, kIoOpen + kKindJournal);
}

Header examineJournal(IsFile *f) {
    if (!openForRecovery(f)) return Header::cold;
    uint8_t h[kJournalHeaderSize] = {};
    int32_t count = 0;
    sysReadDirect(f, kKindJournal, h, kJournalHeaderSize, 0, &count);
    if (count < 12 || std::memcmp(h, kMagic, 8) != 0) return Header::cold;
    const uint32_t version = get32(h + 8);
    const uint32_t salt = get32(h + 12);
    if (version == kVersion) {
        return count == kJournalHeaderSize && get64(h + kHeaderHashAt) == hashBytes(salt, h, kHeaderHashAt)
                   ? Header::bound
                   : Header::cold;
    }
    return Header::unbound;
}

struct JournalRecord {
    int32_t kind;
    int32_t length;
    int64_t offset;
    const uint8_t *image;
};

struct JournalRange {
    int32_t kind;
    int32_t length;
    int64_t offset;
};

// What a journal file holds, as far as it checks.
struct ParsedJournal {
    int64_t startSize[2] = {0, 0};
    uint32_t startCounter = 0;
    uint32_t flags = 0;
    uint64_t device[2] = {0, 0};
    uint64_t inode[2] = {0, 0};
    uint32_t segments = 0;
    std::vector<JournalRecord> records;  // of every segment that checks, in order
    std::vector<uint32_t> counters;      // the change counter after each segment
    int64_t least[2] = {0, 0};           // the sizes the files had at the start
    int64_t most[2] = {0, 0};            // and after each segment: least and most
    bool final = false;                  // the last segment that checks is final
    int64_t finalSize[2] = {0, 0};       // the sizes after the last segment that checks
    std::vector<JournalRange> written;   // the final segment's ranges written in place
    uint64_t afterHash = 0;
    uint32_t salt = 0;
};

bool validKind(uint32_t kind) { return kind == uint32_t(kKindIndex) || kind == uint32_t(kKindData); }

// A range within one page of a file, below the largest offset.
bool validRange(uint32_t kind, uint32_t length, uint64_t offset) {
    return validKind(kind) && length > 0 && length <= uint32_t(kJournalPage) && offset <= kLargestOffset &&
           offset % kJournalPage + length <= uint64_t(kJournalPage);
}

// One segment at `at`; false when it does not check (torn, damaged, or
// the end of what this change wrote).  Every count and length is held
// against the bytes that are there before it is used.
bool parseSegment(const uint8_t *bytes, size_t size, size_t &at, uint32_t sequence, ParsedJournal &out) {
    if (size - at < size_t(kSegmentHead) + 8) return false;
    const uint8_t *s = bytes + at;
    const uint64_t length = get64(s + 16);
    if (std::memcmp(s, kSegmentTag, 4) != 0 || get32(s + 4) != sequence || length > size - at ||
        length < uint64_t(kSegmentHead) + 8 || get32(s + 44) != 0) {
        return false;
    }
    if (get64(s + length - 8) != hashBytes(out.salt ^ sequence, s, size_t(length) - 8)) return false;
    const uint64_t sizeAfter[2] = {get64(s + 24), get64(s + 32)};
    if (sizeAfter[0] > kLargestOffset || sizeAfter[1] > kLargestOffset) return false;
    const size_t end = size_t(length) - 8;
    size_t pos = kSegmentHead;
    std::vector<JournalRecord> records;
    for (uint32_t r = get32(s + 8); r > 0; --r) {
        if (end - pos < size_t(kRecordHead)) return false;
        const uint32_t kind = get32(s + pos);
        const uint32_t bytesOf = get32(s + pos + 4);
        const uint64_t offset = get64(s + pos + 8);
        const size_t padded = (size_t(bytesOf) + 7) & ~size_t{7};
        if (!validRange(kind, bytesOf, offset) || end - pos - kRecordHead < padded) return false;
        records.push_back({int32_t(kind), int32_t(bytesOf), int64_t(offset), s + pos + kRecordHead});
        pos += kRecordHead + padded;
    }
    const bool final = (get32(s + 12) & kFinal) != 0;
    std::vector<JournalRange> written;
    uint64_t afterHash = 0;
    if (final) {
        if (end - pos < 8) return false;
        const uint32_t count = get32(s + pos);
        if (get32(s + pos + 4) != 0) return false;
        pos += 8;
        if ((end - pos) / kRangeEntry < count || end - pos != size_t(count) * kRangeEntry + 8) return false;
        for (uint32_t i = 0; i < count; ++i, pos += kRangeEntry) {
            const uint32_t kind = get32(s + pos);
            const uint32_t bytesOf = get32(s + pos + 4);
            const uint64_t offset = get64(s + pos + 8);
            if (!validRange(kind, bytesOf, offset)) return false;
            written.push_back({int32_t(kind), int32_t(bytesOf), int64_t(offset)});
        }
        afterHash = get64(s + pos);
    } else if (pos != end) {
        return false;
    }
    out.records.insert(out.records.end(), records.begin(), records.end());
    out.counters.push_back(get32(s + 40));
    out.final = final;
    for (int slot = 0; slot < 2; ++slot) {
        out.finalSize[slot] = int64_t(sizeAfter[slot]);
        out.least[slot] = std::min(out.least[slot], out.finalSize[slot]);
        out.most[slot] = std::max(out.most[slot], out.finalSize[slot]);
    }
    if (final) {
        out.written = std::move(written);
        out.afterHash = afterHash;
    }
    at += size_t(length);
    return true;
}

// The journal's header (one that examineJournal found bound) and the
// segments that check; false when a field of the header is out of bounds.
bool parseJournal(const std::vector<uint8_t> &bytes, ParsedJournal &out) {
    const uint8_t *h = bytes.data();
    if (bytes.size() < size_t(kJournalHeaderSize) || std::memcmp(h, kMagic, 8) != 0 || get32(h + 8) != kVersion) {
        return false;
    }
    out.salt = get32(h + 12);
    if (get64(h + kHeaderHashAt) != hashBytes(out.salt, h, kHeaderHashAt) || get32(h + 16) != uint32_t(kJournalPage)) {
        return false;
    }
    for (int i = kReservedAt; i < kHeaderHashAt; ++i) {
        if (h[i] != 0) return false;
    }
    const uint64_t start[2] = {get64(h + 24), get64(h + 32)};
    if (start[0] > kLargestOffset || start[1] > kLargestOffset) return false;
    out.startCounter = get32(h + 40);
    out.flags = get32(h + 44);
    if ((out.flags & ~kHasData) != 0) return false;
    for (int s = 0; s < 2; ++s) {
        out.startSize[s] = out.least[s] = out.most[s] = out.finalSize[s] = int64_t(start[s]);
        out.device[s] = get64(h + 48 + 16 * s);
        out.inode[s] = get64(h + 56 + 16 * s);
    }
    size_t at = kJournalHeaderSize;
    uint32_t sequence = 0;
    while (parseSegment(bytes.data(), bytes.size(), at, sequence, out)) {
        out.segments = ++sequence;
        if (out.final) break;  // nothing after a final segment belongs to this change
    }
    return true;
}

// Whether the journal was written beside these files by someone who may
// change them: a regular file of the index file's owner, of the superuser
// (who may change any file), or of the index file's group when that group
// may write the index file (a member's process died in a change); and no
// one may write it who may not write the index file.
bool journalOwnedRightly(IsFile *f) {
    SysFileStatus journal = {}, index = {};
    if (!sysStatus(f->journalFd, journal)) raiseError(f, errno, kIoRead + kKindJournal);
    if (!sysStatus(f->indexFd, index)) raiseError(f, errno, kIoRead + kKindIndex);
    if ((journal.mode & S_IFMT) != S_IFREG) return false;
    const bool byOwner = journal.owner == index.owner || journal.owner == 0;
    const bool byGroup = (index.mode & S_IWGRP) != 0 && journal.group == index.group;
    if (!byOwner && !byGroup) return false;
    return (journal.mode & ~index.mode & (S_IWGRP | S_IWOTH)) == 0;
}

// Whether the images of `kind` cover [from, to) whole.
bool imagesCover(const ParsedJournal &pj, int kind, int64_t from, int64_t to) {
    std::vector<std::pair<int64_t, int64_t>> spans;
    for (const JournalRecord &r : pj.records) {
        if (r.kind == kind) spans.emplace_back(r.offset, r.offset + r.length);
    }
    std::sort(spans.begin(), spans.end());
    for (const auto &[first, last] : spans) {
        if (first > from) break;
        from = std::max(from, last);
    }
    return from >= to;
}

// Whether the journal was made for these very files, at the state it
// describes, and applying it stays within what it holds:
//   - the device and inode of both files are the ones it was bound to, and
//     the data file is there exactly when it was;
//   - the dictionary's change counter on disk is the one at the start or
//     after one of its segments (each segment's in-place writes move it,
//     the dictionary's page first);
//   - each file's size lies between the least and the most of the sizes
//     the journal gives it (at the start and after each segment): writes in
//     place never go past a segment's sizes, and a cut is to them;
//   - every image lies within the file's size at the start;
//   - a file shorter now than at the start (a change that cut it) gets
//     back only bytes the images hold: they cover its end up to that size.
bool journalFitsFiles(IsFile *f, const ParsedJournal &pj) {
    if (((pj.flags & kHasData) != 0) != (f->dataFd >= 0)) return false;
    int64_t size[2] = {0, 0};
    for (int s = 0; s < 2; ++s) {
        const int32_t fd = fdOf(f, kKinds[s]);
        if (fd < 0) {
            if (pj.device[s] != 0 || pj.inode[s] != 0 || pj.most[s] != 0) return false;
            continue;
        }
        SysFileStatus status = {};
        if (!sysStatus(fd, status)) raiseError(f, errno, kIoRead + kKinds[s]);
        if (status.device != pj.device[s] || status.inode != pj.inode[s]) return false;
        size[s] = sysFileSizeDirect(f, kKinds[s]);
        if (size[s] < pj.least[s] || size[s] > pj.most[s]) return false;
    }
    if (pj.startSize[0] < kChangeCounterAt + 4 || size[0] < kChangeCounterAt + 4) return false;
    uint8_t bytes[4];
    sysReadDirect(f, kKindIndex, bytes, 4, kChangeCounterAt);
    const uint32_t counter = get32(bytes);
    if (counter != pj.startCounter && std::find(pj.counters.begin(), pj.counters.end(), counter) == pj.counters.end()) {
        return false;
    }
    for (const JournalRecord &r : pj.records) {
        if (r.offset + r.length > pj.startSize[slotOf(r.kind)]) return false;
    }
    for (int s = 0; s < 2; ++s) {
        if (size[s] < pj.startSize[s] && !imagesCover(pj, kKinds[s], size[s], pj.startSize[s])) return false;
    }
    return true;
}

// Whether the files hold the new bytes of every range the final segment
// wrote in place, at their new sizes: the change completed.
bool changeCompleted(IsFile *f, const ParsedJournal &pj) {
    if (!pj.final) return false;
    for (int s = 0; s < 2; ++s) {
        const int64_t size = fdOf(f, kKinds[s]) >= 0 ? sysFileSizeDirect(f, kKinds[s]) : 0;
        if (size != pj.finalSize[s]) return false;
    }
    uint8_t page[kJournalPage];
    uint64_t h = afterHashSeed(pj.salt);
    for (const JournalRange &r : pj.written) {
        if (fdOf(f, r.kind) < 0 || r.offset + r.length > pj.finalSize[slotOf(r.kind)]) return false;
        sysReadDirect(f, r.kind, page, r.length, r.offset);
        h = hashBytes(h, page, size_t(r.length));
    }
    return h == pj.afterHash;
}

void readWholeJournal(IsFile *f, std::vector<uint8_t> &bytes) {
    const int64_t size = sysFileSizeDirect(f, kKindJournal);
    bytes.assign(size_t(std::min<int64_t>(size, int64_t{1} << 31)), 0);
    if (!bytes.empty()) {
        int32_t count = 0;
        sysReadDirect(f, kKindJournal, bytes.data(), static_cast<int32_t>(bytes.size()), 0, &count);
        bytes.resize(size_t(count));
    }
}

// Clears the journal for good: a journal applied again after later changes
// would undo them.
void clearDurably(IsFile *f) {
    const uint8_t zeros[kJournalHeaderSize] = {};
    sysWriteDirect(f, kKindJournal, zeros, kJournalHeaderSize, 0);
    sysCommit(f, kKindJournal);
}

// What is to be done with the journal beside the file.
enum class Verdict {
    none,      // no journal, or nothing in it (a cleared or torn header)
    idle,      // a journal of this version with nothing left to do: its
               // change completed, or was torn before anything was written
               // in place
    apply,     // an interrupted change to take back
    refuse,    // a journal this library may not apply here
};

// `takeBack`: the journal is the handle's own, written by a change that
// failed: who owns it is not asked, and it is applied even when all its
// ranges reached the files (a flush of them failed).
Verdict judgeJournal(IsFile *f, bool takeBack, ParsedJournal &pj, std::vector<uint8_t> &bytes) {
    const Header header = f->name == nullptr ? Header::cold : examineJournal(f);
    if (header == Header::cold) return Verdict::none;
    if (header == Header::unbound || (!takeBack && !journalOwnedRightly(f))) return Verdict::refuse;
    readWholeJournal(f, bytes);
    if (!parseJournal(bytes, pj) || !journalFitsFiles(f, pj)) return Verdict::refuse;
    if (pj.segments == 0 || (!takeBack && changeCompleted(f, pj))) return Verdict::idle;
    return Verdict::apply;
}

// A journal with nothing left to do stays where it is; a change written in
// place must clear it first (see Journal::lingering).
void noteIdle(IsFile *f) { journalOf(f)->lingering = true; }

}  // namespace

bool journalLooksHot(IsFile *f) {
    if ((f->mode & kModeNoLocking) != 0) return false;
    ParsedJournal pj;
    std::vector<uint8_t> bytes;
    switch (judgeJournal(f, false, pj, bytes)) {
    case Verdict::none: return false;
    case Verdict::idle: noteIdle(f); return false;
    case Verdict::apply:
    case Verdict::refuse: return true;
    }
    return true;
}

bool journalRecover(IsFile *f) {
    // A fresh look under the lock: another process may have applied the
    // journal, or set it aside, since this handle opened it.
    sysClose(f, kKindJournal);
    if (f->journal != nullptr) f->journal->ownerChecked = false;
    const bool changed = applyJournal(f, false);
    if (f->journal != nullptr) f->journal->pending = false;
    return changed;
}

namespace {

// Puts the files back as they were before the journal's change: the images
// in reverse order (a later segment's over bytes an earlier one kept), then
// the sizes at the start; then the journal is cleared for good.  A journal
// that does not fit these files is set aside with an error before anything
// is written (the handle's own stays where it is for the next call to look
// at again).
bool applyJournal(IsFile *f, bool takeBack) {
    if ((f->mode & kModeNoLocking) != 0) return false;
    ParsedJournal pj;
    std::vector<uint8_t> bytes;
    switch (judgeJournal(f, takeBack, pj, bytes)) {
    case Verdict::none: return false;
    case Verdict::idle: noteIdle(f); return false;
    case Verdict::refuse:
        if (takeBack) raiseError(f, kErrCorrupt, kIoRead + kKindJournal);
        refuseJournal(f);
    case Verdict::apply: break;
    }
    for (auto it = pj.records.rbegin(); it != pj.records.rend(); ++it) {
        sysWriteDirect(f, it->kind, it->image, it->length, it->offset);
    }
    for (int s = 0; s < 2; ++s) {
        if (fdOf(f, kKinds[s]) < 0) continue;
        if (sysFileSizeDirect(f, kKinds[s]) != pj.startSize[s]) sysTruncateDirect(f, kKinds[s], pj.startSize[s]);
        sysCommit(f, kKinds[s]);
    }
    clearDurably(f);
    if (f->journal != nullptr) f->journal->lingering = f->journal->sizesKnown = false;
    return true;
}

// A change about to be written in place clears a journal with nothing left
// to do: after that change it could no longer be judged (the counter and
// the ranges move on), and would be refused.
void clearLingering(IsFile *f, Journal *j) {
    if (f->journalFd < 0) f->journalFd = sysOpen(nullptr, kKindJournal, f->name);
    if (f->journalFd >= 0) {
        const uint8_t zeros[kJournalHeaderSize] = {};
        sysWriteDirect(f, kKindJournal, zeros, kJournalHeaderSize, 0);
    }
    j->lingering = false;
}

}  // namespace

void journalRefuseUnlocked(IsFile *f) {
    ParsedJournal pj;
    std::vector<uint8_t> bytes;
    bool unfinished = false;
    {
        const RecordedError recorded(f);
        try {
            unfinished = judgeJournal(f, false, pj, bytes) == Verdict::apply;
        } catch (const IsamRaise &) {
            unfinished = true;  // a journal that cannot be read may be one to apply
        }
        recorded.restore(f);
    }
    sysClose(f, kKindJournal);
    if (unfinished) raiseError(f, kErrFileInUse, kIoRead + kKindJournal);
}

void journalSetAsideLeftover(IsFile *f) noexcept {
    if ((f->mode & kModeNoLocking) != 0 || f->name == nullptr) return;
    const int error = errno;
    moveAside(f);
    errno = error;
}

void journalRemoveAtLastClose(IsFile *f) noexcept {
    if (journalPending(f)) return;
    const RecordedError recorded(f);
    try {
        ParsedJournal pj;
        std::vector<uint8_t> bytes;
        const Verdict verdict = judgeJournal(f, false, pj, bytes);
        if ((verdict == Verdict::none || verdict == Verdict::idle) && f->journalFd >= 0) {
            sysClose(f, kKindJournal);
            sysErase(nullptr, kKindJournal, f->name);
        }
    } catch (...) {
    }
    recorded.restore(f);
}

Journal *freeJournal(Journal *journal) {
    if (journal == nullptr) return nullptr;
    dropPages(journal);
    for (uint8_t *b : journal->spare) freeBlock(b);
    journal->~Journal();
    return freeBlock(journal);
}

}  // namespace wisam
