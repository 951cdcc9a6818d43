// Hostile journals: a journal N.wjn that was forged, planted, copied from
// another file, damaged, or left by an earlier library is never applied.
// It is set aside (renamed N.wjn.bad-..., never deleted), the open (or the
// call that finds it) fails, and the index and data files stay byte for
// byte as they were; the next open goes on without it.  A genuine journal of
// an interrupted change still puts the files back exactly, and the one a
// completed change leaves is left alone.
//
// The journals are made by a writer killed in the middle of a commit and
// then decoded, changed and encoded again by the test itself, hashes and
// all: the hash is no secret, so only what binds the journal to its files
// and its owner can keep a forged one out.
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "fuzz/journal.h"
#include "support/faults.h"
#include "support/model.h"
#include "support/testing.h"
#include "system/issystem.h"
#include "wisam.h"

namespace wisam {
namespace {

using namespace testing;
using Bytes = std::vector<uint8_t>;

constexpr size_t kHeader = 128, kHead = 48, kEarlierHead = 40;

uint32_t get32(const uint8_t *p) { return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3]; }
uint64_t get64(const uint8_t *p) { return uint64_t(get32(p)) << 32 | get32(p + 4); }
void put32(Bytes &b, size_t at, uint32_t v) {
    for (int i = 3; i >= 0; --i, v >>= 8) b[at + size_t(i)] = uint8_t(v);
}
void put64(Bytes &b, size_t at, uint64_t v) {
    for (int i = 7; i >= 0; --i, v >>= 8) b[at + size_t(i)] = uint8_t(v);
}
void append32(Bytes &b, uint32_t v) { b.resize(b.size() + 4), put32(b, b.size() - 4, v); }
void append64(Bytes &b, uint64_t v) { b.resize(b.size() + 8), put64(b, b.size() - 8, v); }

// The journal's hash is no secret: anyone can compute it (and the one of
// the earlier versions).
using fuzz::earlierJournalHash;
using fuzz::journalHash;

// A journal taken apart: every field a forger may set.  Version 3 is
// encoded in its layout; versions 1 and 2 in the layout the earlier
// libraries wrote (whole pages, a 40-byte segment head, the ranges written
// in place as pages; version 1 with a 64-byte header), with their hash.
struct Forged {
    uint32_t version = 3, salt = 0, page = 4096, mode = 1, counter = 0, flags = 0;
    uint64_t start[2] = {0, 0}, device[2] = {0, 0}, inode[2] = {0, 0};
    uint8_t reserved = 0;  // put into every reserved byte
    struct Record {
        uint32_t kind, length;
        uint64_t offset;
        Bytes image;
    };
    struct Range {
        uint32_t kind, length;  // version 1 and 2: length 0, a whole page
        uint64_t offset;
    };
    struct Segment {
        uint32_t flags = 0;
        uint64_t after[2] = {0, 0};
        uint32_t counter = 0;  // the change counter after the segment
        uint32_t zero = 0;     // the word after it
        std::vector<Record> records;
        std::vector<Range> written;
        uint64_t afterHash = 0;
        int64_t countField = -1;  // the record count written, when not the records'
    };
    std::vector<Segment> segments;
    size_t cut = 0;  // bytes cut off the end of the encoded journal
};

Forged decode(const Bytes &j) {
    Forged d;
    d.version = get32(&j[8]);
    d.salt = get32(&j[12]);
    d.page = get32(&j[16]);
    d.mode = get32(&j[20]);
    d.start[0] = get64(&j[24]), d.start[1] = get64(&j[32]);
    d.counter = get32(&j[40]);
    d.flags = get32(&j[44]);
    for (int s = 0; s < 2; ++s) d.device[s] = get64(&j[48 + 16 * s]), d.inode[s] = get64(&j[56 + 16 * s]);
    d.reserved = j[80];
    for (size_t at = kHeader; at + kHead <= j.size() && std::memcmp(&j[at], "wseg", 4) == 0;) {
        const uint8_t *s = &j[at];
        Forged::Segment seg;
        seg.flags = get32(s + 12);
        seg.after[0] = get64(s + 24), seg.after[1] = get64(s + 32);
        seg.counter = get32(s + 40);
        seg.zero = get32(s + 44);
        size_t pos = kHead;
        for (uint32_t r = get32(s + 8); r > 0; --r) {
            Forged::Record rec{get32(s + pos), get32(s + pos + 4), get64(s + pos + 8), {}};
            rec.image.assign(s + pos + 16, s + pos + 16 + rec.length);
            pos += 16 + ((rec.length + 7) & ~7u);
            seg.records.push_back(rec);
        }
        if ((seg.flags & 1) != 0) {
            const uint32_t count = get32(s + pos);
            pos += 8;
            for (uint32_t i = 0; i < count; ++i, pos += 16) {
                seg.written.push_back({get32(s + pos), get32(s + pos + 4), get64(s + pos + 8)});
            }
            seg.afterHash = get64(s + pos);
        }
        d.segments.push_back(seg);
        if ((seg.flags & 1) != 0) break;
        at += get64(s + 16);
    }
    return d;
}

Bytes encode(const Forged &d) {
    const bool earlier = d.version == 1 || d.version == 2;
    const auto hash = earlier ? earlierJournalHash : journalHash;
    const size_t head = earlier ? kEarlierHead : kHead;
    Bytes j(kHeader, 0);
    std::memcpy(j.data(), "wisamjnl", 8);
    put32(j, 8, d.version), put32(j, 12, d.salt), put32(j, 16, d.page), put32(j, 20, d.mode);
    put64(j, 24, d.start[0]), put64(j, 32, d.start[1]), put32(j, 40, d.counter), put32(j, 44, d.flags);
    for (int s = 0; s < 2; ++s) put64(j, 48 + 16 * size_t(s), d.device[s]), put64(j, 56 + 16 * size_t(s), d.inode[s]);
    std::memset(&j[80], d.reserved, 40);
    if (d.version == 1) {  // the first library's 64-byte header
        std::memset(&j[44], 0, 20);
        put64(j, 56, hash(d.salt, j.data(), 56));
        j.resize(64);
    } else {
        put64(j, 120, hash(d.salt, j.data(), 120));
    }
    for (size_t n = 0; n < d.segments.size(); ++n) {
        const Forged::Segment &seg = d.segments[n];
        Bytes out(head, 0);
        for (const Forged::Record &r : seg.records) {
            append32(out, r.kind), append32(out, r.length), append64(out, r.offset);
            Bytes image = r.image;
            image.resize((image.size() + 7) & ~size_t{7}, 0);
            out.insert(out.end(), image.begin(), image.end());
        }
        if ((seg.flags & 1) != 0) {
            append32(out, uint32_t(seg.written.size())), append32(out, 0);
            for (const Forged::Range &w : seg.written) {
                append32(out, w.kind), append32(out, w.length), append64(out, w.offset);
            }
            append64(out, seg.afterHash);
        }
        std::memcpy(out.data(), "wseg", 4);
        put32(out, 4, uint32_t(n));
        put32(out, 8, seg.countField >= 0 ? uint32_t(seg.countField) : uint32_t(seg.records.size()));
        put32(out, 12, seg.flags);
        put64(out, 16, out.size() + 8);
        put64(out, 24, seg.after[0]), put64(out, 32, seg.after[1]);
        if (!earlier) put32(out, 40, seg.counter), put32(out, 44, seg.zero);
        append64(out, hash(d.salt ^ uint32_t(n), out.data(), out.size()));
        j.insert(j.end(), out.begin(), out.end());
    }
    j.resize(j.size() - std::min(d.cut, j.size()));
    return j;
}

struct Snapshot {
    Bytes wox, wod;
    bool operator==(const Snapshot &) const = default;
};

std::string watched[3];

// The ISAM file "j", and the state a writer killed after the journal and
// two in-place writes of a growing batch left: the files before the change,
// half-changed, and the genuine journal.
class Hostile : public ::testing::Test {
protected:
    void SetUp() override {
        isJournalMode = 1;
        KeyDesc id = modelIdKey();
        IsFile *f = isBuild(name().c_str(), kModelLength, 0, &id, ISINOUT | ISMANULOCK);
        ASSERT_NE(f, nullptr);
        for (int32_t i = 0; i < 80; ++i) ASSERT_EQ(isWrite(f, modelRecord(3 * i, i % kModelGroups, 0).data()), 1);
        ASSERT_EQ(isClose(f), 1);
        start = snap();
        for (int i = 0; i < 3; ++i) watched[i] = path(i == 0 ? ".wox" : i == 1 ? ".wod" : ".wjn");
        ASSERT_EQ(runInChild([&] {
                      // The writer dies on the spot at its 4th pwrite of the three files.
                      FaultPlan dies;
                      dies.at(Sys::pwrite, 4, Fault::exit()).onFiles({watched[0], watched[1], watched[2]});
                      IsFile *g = isOpen(name().c_str(), ISINOUT | ISMANULOCK);
                      isSetCustomLock(g, 2);
                      for (int32_t i = 0; i < 60; ++i) isWrite(g, modelRecord(1000 + i, i % kModelGroups, 1).data());
                      isSetCustomLock(g, 0);
                      return 7;
                  }),
                  0);
        half = snap();
        journal = readFile(path(".wjn"));
        ASSERT_FALSE(half == start);
        ASSERT_GE(journal.size(), kHeader);
        ASSERT_EQ(get32(&journal[8]), 3u);
    }
    void TearDown() override {
        isJournalMode = 0;
        isCleanUp();
    }
    std::u16string name(const char *base = "j") const { return dir.name(base); }
    std::string path(const char *ext, const char *base = "j") const { return dir.file(std::string(base) + ext); }
    Snapshot snap(const char *base = "j") const { return {readFile(path(".wox", base)), readFile(path(".wod", base))}; }
    void put(const Snapshot &s) const {
        writeFile(path(".wox"), s.wox);
        writeFile(path(".wod"), s.wod);
    }
    // The journals set aside beside "j", removed after they are read.
    std::vector<Bytes> takeSetAside() const {
        std::vector<Bytes> found;
        DIR *d = ::opendir(dir.path().c_str());
        while (const dirent *e = d != nullptr ? ::readdir(d) : nullptr) {
            const std::string entry = e->d_name;
            if (entry.rfind("j.wjn.bad-", 0) != 0) continue;
            found.push_back(readFile(dir.file(entry)));
            ::unlink(dir.file(entry).c_str());
        }
        if (d != nullptr) ::closedir(d);
        return found;
    }
    TempDir dir;
    Snapshot start, half;
    Bytes journal;
};

// The journal an earlier library (`version` 1 or 2) wrote for the same
// change: one final segment with the whole page of every byte `now` keeps
// an image of, as the file held it at the start (cut to its size then),
// the pages written in place, and a hash of their new contents that the
// half-changed files do not hold, so that the earlier library would have
// put the files back from it.
Forged asEarlier(const Forged &now, uint32_t version, const Snapshot &start) {
    const auto fileOf = [&](uint32_t kind) -> const Bytes & { return kind == 1 ? start.wox : start.wod; };
    const auto pageOf = [](uint64_t offset) { return offset - offset % 4096; };
    Forged e = now;
    e.version = version;
    e.segments.assign(1, Forged::Segment{});
    Forged::Segment &seg = e.segments[0];
    seg.flags = 1;
    std::copy_n(now.segments.back().after, 2, seg.after);
    std::set<std::pair<uint32_t, uint64_t>> pages, written;
    for (const Forged::Segment &s : now.segments) {
        for (const Forged::Record &r : s.records) pages.emplace(r.kind, pageOf(r.offset));
        for (const Forged::Range &w : s.written) written.emplace(w.kind, pageOf(w.offset));
    }
    for (const auto &[kind, page] : pages) {
        const Bytes &file = fileOf(kind);
        const size_t end = std::min<size_t>(page + 4096, file.size());
        const Bytes bytes(file.begin() + ptrdiff_t(page), file.begin() + ptrdiff_t(end));
        seg.records.push_back({kind, uint32_t(end - page), page, bytes});
    }
    uint64_t h = ~uint64_t{e.salt};
    for (const auto &[kind, page] : written) {
        const Bytes &file = fileOf(kind);
        seg.written.push_back({kind, 0, page});
        if (page < file.size()) {
            h = earlierJournalHash(h, file.data() + page, std::min<size_t>(4096, file.size() - page));
        }
    }
    seg.afterHash = h;
    return e;
}

enum class Outcome { applied, refused, cleared };

struct Row {
    const char *what;
    bool onHalf;  // the journal lies beside the half-changed files (else the intact ones)
    std::function<void(Forged &, const Hostile &)> forge;
    std::function<void(const std::string &wox, const std::string &wjn)> meta;  // owner and mode bits
    Outcome outcome;
};

uint64_t fileSize(const Bytes &b) { return b.size(); }

// The test's own verdict on `bytes` beside `files` laid down at `wox` and
// `wod`, with `view` what it read of the journal.
fuzz::JournalVerdict verdictBeside(const Bytes &bytes, const Snapshot &files, const std::string &wox,
                                   const std::string &wod, fuzz::JournalView &view) {
    fuzz::JournalFiles laid;
    laid.file[0] = &files.wox;
    laid.file[1] = &files.wod;
    const std::string paths[2] = {wox, wod};
    for (int k = 0; k < 2; ++k) {
        struct stat st {};
        EXPECT_EQ(::stat(paths[k].c_str(), &st), 0) << paths[k];
        laid.device[k] = uint64_t(st.st_dev);
        laid.inode[k] = uint64_t(st.st_ino);
    }
    return fuzz::judgeJournal(bytes, laid, view);
}

// The genuine journal is the one the header of isjournal.h lays out: the
// test's encoder writes it byte for byte from what its decoder took out,
// it holds one final segment whose change counters are those of the files
// before and after, and the test's own reading of it (the fuzz target's)
// takes the half-changed files back to the intact ones.  The same change
// run to its end leaves its journal (mode 1), which that reading finds
// completed and the library leaves: the files stay as the change made
// them, and the journal goes with the last close.
TEST_F(Hostile, TheTestsReadingOfTheJournalIsTheLibrarys) {
    const Forged genuine = decode(journal);
    ASSERT_EQ(encode(genuine), journal) << "the test's encoder writes what the library writes";
    ASSERT_EQ(genuine.segments.size(), 1u);
    const Forged::Segment &seg = genuine.segments[0];
    EXPECT_EQ(seg.flags, 1u);
    EXPECT_EQ(genuine.start[0], fileSize(start.wox));
    EXPECT_EQ(genuine.start[1], fileSize(start.wod));
    EXPECT_EQ(genuine.counter, get32(&start.wox[41])) << "the change counter at the start";
    EXPECT_EQ(seg.counter, get32(&half.wox[41])) << "the dictionary's range is written first";
    EXPECT_EQ(seg.counter, genuine.counter + 1);
    EXPECT_FALSE(seg.records.empty());
    EXPECT_FALSE(seg.written.empty());
    for (const Forged::Record &r : seg.records) {
        const Bytes &file = r.kind == 1 ? start.wox : start.wod;
        ASSERT_LE(r.offset + r.length, file.size());
        EXPECT_TRUE(std::equal(r.image.begin(), r.image.end(), file.begin() + ptrdiff_t(r.offset)))
            << "an image holds the bytes at its offset as they were at the start";
    }
    for (const bool onHalf : {true, false}) {
        const Snapshot &files = onHalf ? half : start;
        put(files);
        fuzz::JournalView view;
        EXPECT_EQ(verdictBeside(journal, files, path(".wox"), path(".wod"), view), fuzz::JournalVerdict::apply);
        Snapshot back = files;
        ASSERT_TRUE(fuzz::rollBack(view, 1, back.wox, size_t{1} << 30));
        ASSERT_TRUE(fuzz::rollBack(view, 2, back.wod, size_t{1} << 30));
        EXPECT_EQ(back, start) << (onHalf ? "half-changed" : "intact");
    }

    // The change to its end, in this process.
    ::unlink(path(".wjn").c_str());
    put(start);
    IsFile *f = isOpen(name().c_str(), ISINOUT | ISMANULOCK);
    ASSERT_NE(f, nullptr);
    ASSERT_EQ(isSetCustomLock(f, 2), 1);
    for (int32_t i = 0; i < 60; ++i) ASSERT_EQ(isWrite(f, modelRecord(1000 + i, i % kModelGroups, 1).data()), 1);
    ASSERT_EQ(isSetCustomLock(f, 0), 1);
    const Snapshot done = snap();
    const Bytes idle = readFile(path(".wjn"));
    ASSERT_EQ(isClose(f), 1);
    EXPECT_FALSE(fileExists(path(".wjn"))) << "gone with the last close";
    ASSERT_GE(idle.size(), kHeader);
    EXPECT_EQ(get32(&idle[8]), 3u) << "a completed change in mode 1 leaves its header";
    const Forged finished = decode(idle);
    EXPECT_EQ(encode(finished), idle);
    ASSERT_EQ(finished.segments.size(), 1u);
    EXPECT_EQ(finished.segments[0].counter, get32(&done.wox[41]));
    EXPECT_EQ(finished.segments[0].after[0], fileSize(done.wox));
    EXPECT_EQ(finished.segments[0].after[1], fileSize(done.wod));
    fuzz::JournalView view;
    EXPECT_EQ(verdictBeside(idle, done, path(".wox"), path(".wod"), view), fuzz::JournalVerdict::idle);
    EXPECT_TRUE(fuzz::journalCompleted(view, fuzz::JournalFiles{{&done.wox, &done.wod}, {}, {}}));
    EXPECT_FALSE(fuzz::journalCompleted(view, fuzz::JournalFiles{{&half.wox, &half.wod}, {}, {}}));
    Snapshot off = done;
    off.wod[off.wod.size() - 1] ^= 1;  // a byte of the last range written in place
    EXPECT_FALSE(fuzz::journalCompleted(view, fuzz::JournalFiles{{&off.wox, &off.wod}, {}, {}}));
    // Found by an open, and by a call on a handle opened before.
    for (const bool viaHandle : {false, true}) {
        SCOPED_TRACE(viaHandle ? "found by a call" : "found by the open");
        put(start);
        IsFile *early = viaHandle ? isOpen(name().c_str(), ISINOUT | ISMANULOCK) : nullptr;
        put(done);
        writeFile(path(".wjn"), idle);
        std::vector<uint8_t> record = modelRecord(0, 0, 0);
        IsFile *g = viaHandle ? early : isOpen(name().c_str(), ISINOUT | ISMANULOCK);
        ASSERT_NE(g, nullptr) << isErrno(nullptr);
        EXPECT_EQ(isRead(g, record.data(), modeFirst), 1) << isErrno(g);
        EXPECT_EQ(readFile(path(".wjn")), idle) << "a completed change's journal is left as it is";
        EXPECT_EQ(isClose(g), 1);
        EXPECT_EQ(snap(), done) << "the completed change is kept";
        EXPECT_TRUE(takeSetAside().empty());
        EXPECT_FALSE(fileExists(path(".wjn")));
    }
}

// Each hostile journal, beside the files it claims, opened two ways: by
// isOpen, and by a call on a handle opened before the journal appeared
// (the moved change counter sends it to the journal).
TEST_F(Hostile, ForgedAndDamagedJournalsAreSetAsideAndNothingIsWritten) {
    const uint64_t woxStart = fileSize(start.wox), wodStart = fileSize(start.wod);
    const auto noMeta = [](const std::string &, const std::string &) {};
    const auto chownJournal = [](uid_t uid) {
        return [uid](const std::string &, const std::string &wjn) { ASSERT_EQ(::chown(wjn.c_str(), uid, 0), 0); };
    };
    // An image of `length` bytes of `kind` at `offset`, within one page.
    const auto image = [](uint32_t kind, uint64_t offset, uint32_t length, char fill) {
        EXPECT_LE(offset % 4096 + length, 4096u) << "the forged image crosses a page";
        return Forged::Record{kind, length, offset, Bytes(length, uint8_t(fill))};
    };
    // The genuine segment split in two: the images in a first, the ranges
    // written in place in a final second; the change counters after each.
    const auto split = [](Forged &j, uint32_t first, uint32_t second) {
        Forged::Segment tail = j.segments[0];
        j.segments[0].flags = 0;
        j.segments[0].written.clear();
        j.segments[0].counter = first;
        tail.records.clear();
        tail.counter = second;
        j.segments.push_back(tail);
    };
    const std::vector<Row> rows = {
        {"genuine", true, [](Forged &, const Hostile &) {}, noMeta, Outcome::applied},
        {"genuine, beside the files as they were (the counter the start's)", false,
         [](Forged &, const Hostile &) {}, noMeta, Outcome::applied},
        {"two segments, the file's counter the first's", true,
         [&](Forged &j, const Hostile &) { split(j, j.counter + 1, j.counter + 2); }, noMeta, Outcome::applied},
        {"two segments, the file's counter the last's", true,
         [&](Forged &j, const Hostile &) { split(j, j.counter + 9, j.counter + 1); }, noMeta, Outcome::applied},
        {"two segments, the file's counter neither's nor the start's", true,
         [&](Forged &j, const Hostile &) { split(j, j.counter + 2, j.counter + 3); }, noMeta, Outcome::refused},
        {"start sizes 0/0, one empty segment", true,
         [&](Forged &j, const Hostile &) {
             j.start[0] = j.start[1] = 0;
             j.segments.resize(1);
             j.segments[0] = Forged::Segment{};
             j.segments[0].after[0] = fileSize(half.wox), j.segments[0].after[1] = fileSize(half.wod);
         },
         noMeta, Outcome::refused},
        {"start sizes 0/0 on intact files", false,
         [&](Forged &j, const Hostile &) {
             j.start[0] = j.start[1] = 0;
             j.segments.assign(1, Forged::Segment{});
             j.segments[0].after[0] = woxStart, j.segments[0].after[1] = wodStart;
         },
         noMeta, Outcome::refused},
        {"a page of AAAA over the data file, bound to another file", false,
         [&](Forged &j, const Hostile &) {
             j.start[0] = woxStart, j.start[1] = wodStart;
             j.inode[1] ^= 1;
             j.segments.assign(1, Forged::Segment{});
             j.segments[0].after[0] = woxStart, j.segments[0].after[1] = wodStart;
             j.segments[0].records.push_back({2, 4096, 0, Bytes(4096, 'A')});
         },
         noMeta, Outcome::refused},
        {"a page of AAAA, fully bound, written by another user", false,
         [&](Forged &j, const Hostile &) {
             j.start[0] = woxStart, j.start[1] = wodStart;
             j.segments.assign(1, Forged::Segment{});
             j.segments[0].after[0] = woxStart, j.segments[0].after[1] = wodStart;
             j.segments[0].records.push_back({2, 4096, 0, Bytes(4096, 'A')});
         },
         chownJournal(4321), Outcome::refused},
        {"start size 2^43", true, [](Forged &j, const Hostile &) { j.start[1] = uint64_t{1} << 43; }, noMeta,
         Outcome::refused},
        {"start size 2^62", true, [](Forged &j, const Hostile &) { j.start[1] = uint64_t{1} << 62; }, noMeta,
         Outcome::refused},
        {"start size past the images", true, [&](Forged &j, const Hostile &) { j.start[1] += 3 * 4096; }, noMeta,
         Outcome::refused},
        {"start size short of an image", true,
         [&](Forged &j, const Hostile &) {
             const Forged::Record &r = j.segments[0].records.back();
             j.start[r.kind - 1] = r.offset + r.length - 1;
         },
         noMeta, Outcome::refused},
        {"segment sizes that exclude the files' sizes", true,
         [&](Forged &j, const Hostile &) {
             for (Forged::Segment &s : j.segments) s.after[1] = wodStart + (uint64_t{1} << 40);
             j.start[1] = wodStart + (uint64_t{1} << 40);
         },
         noMeta, Outcome::refused},
        {"an image of the data file from its start size on", true,
         [&](Forged &j, const Hostile &) { j.segments[0].records.push_back(image(2, wodStart, 8, 'B')); }, noMeta,
         Outcome::refused},
        {"an image of the data file one byte past its start size", true,
         [&](Forged &j, const Hostile &) { j.segments[0].records.push_back(image(2, wodStart - 7, 8, 'B')); }, noMeta,
         Outcome::refused},
        {"an image of the index file from its start size on", true,
         [&](Forged &j, const Hostile &) { j.segments[0].records.push_back(image(1, woxStart, 8, 'B')); }, noMeta,
         Outcome::refused},
        {"an image past the start size, beside the files as they were", false,
         [&](Forged &j, const Hostile &) { j.segments[0].records.push_back(image(2, wodStart - 7, 8, 'B')); }, noMeta,
         Outcome::refused},
        {"an image far out", true,
         [&](Forged &j, const Hostile &) { j.segments[0].records.push_back(image(2, uint64_t{1} << 40, 4096, 'C')); },
         noMeta, Outcome::refused},
        {"an image across a page", true,
         [&](Forged &j, const Hostile &) { j.segments[0].records.push_back({1, 16, 4088, Bytes(16, 'D')}); }, noMeta,
         Outcome::refused},
        {"a range written in place across a page", true,
         [&](Forged &j, const Hostile &) { j.segments[0].written.push_back({1, 16, 4088}); }, noMeta,
         Outcome::refused},
        {"page size 8192", true, [](Forged &j, const Hostile &) { j.page = 8192; }, noMeta, Outcome::refused},
        {"device and inode of another file", true, [](Forged &j, const Hostile &) { j.device[0] += 1; }, noMeta,
         Outcome::refused},
        {"no data file said", true, [](Forged &j, const Hostile &) { j.flags = 0; }, noMeta, Outcome::refused},
        {"change counter far behind", true,
         [](Forged &j, const Hostile &) {
             j.counter -= 5;
             for (Forged::Segment &s : j.segments) s.counter -= 5;
         },
         noMeta, Outcome::refused},
        {"the segment's change counter one past the file's", true,
         [](Forged &j, const Hostile &) { j.segments[0].counter += 1; }, noMeta, Outcome::refused},
        {"the segment's change counter one past, files as they were", false,
         [](Forged &j, const Hostile &) {
             j.counter += 1;
             j.segments[0].counter += 1;
         },
         noMeta, Outcome::refused},
        {"reserved bytes set", true, [](Forged &j, const Hostile &) { j.reserved = 1; }, noMeta, Outcome::refused},
        {"the segment's zero word set", true, [](Forged &j, const Hostile &) { j.segments[0].zero = 1; }, noMeta,
         Outcome::refused},
        {"version 1, as the first library wrote it", true,
         [&](Forged &j, const Hostile &) { j = asEarlier(j, 1, start); }, noMeta, Outcome::refused},
        {"version 2, as the earlier library wrote it", true,
         [&](Forged &j, const Hostile &) { j = asEarlier(j, 2, start); }, noMeta, Outcome::refused},
        {"version 2, beside the files as they were", false,
         [&](Forged &j, const Hostile &) { j = asEarlier(j, 2, start); }, noMeta, Outcome::refused},
        {"version 4 (a later library's)", true, [](Forged &j, const Hostile &) { j.version = 4; }, noMeta,
         Outcome::refused},
        {"record count beyond the bytes", true,
         [](Forged &j, const Hostile &) { j.segments[0].countField = 0x7FFFFFFF; }, noMeta, Outcome::refused},
        {"first segment torn, files half-changed", true, [](Forged &j, const Hostile &) { j.cut = 100; }, noMeta,
         Outcome::refused},
        {"first segment torn, files intact", false, [](Forged &j, const Hostile &) { j.cut = 100; }, noMeta,
         Outcome::cleared},
        {"owned by another user", true, [](Forged &, const Hostile &) {}, chownJournal(4321), Outcome::refused},
        {"writable by others", true, [](Forged &, const Hostile &) {},
         [](const std::string &, const std::string &wjn) { ASSERT_EQ(::chmod(wjn.c_str(), 0666), 0); },
         Outcome::refused},
        {"writable by the group, as the index file is", true, [](Forged &, const Hostile &) {},
         [](const std::string &wox, const std::string &wjn) {
             ASSERT_EQ(::chmod(wox.c_str(), 0664), 0);
             ASSERT_EQ(::chmod(wjn.c_str(), 0664), 0);
         },
         Outcome::applied},
        {"the superuser's journal beside another user's file", true, [](Forged &, const Hostile &) {},
         [](const std::string &wox, const std::string &) { ASSERT_EQ(::chown(wox.c_str(), 4321, 0), 0); },
         Outcome::applied},
        {"another member's journal beside a file its group may write", true, [](Forged &, const Hostile &) {},
         [](const std::string &wox, const std::string &wjn) {
             ASSERT_EQ(::chown(wox.c_str(), 4321, 77), 0);
             ASSERT_EQ(::chmod(wox.c_str(), 0664), 0);
             ASSERT_EQ(::chown(wjn.c_str(), 5432, 77), 0);
         },
         Outcome::applied},
        {"another member's journal beside a file its group may only read", true, [](Forged &, const Hostile &) {},
         [](const std::string &wox, const std::string &wjn) {
             ASSERT_EQ(::chown(wox.c_str(), 4321, 77), 0);
             ASSERT_EQ(::chown(wjn.c_str(), 5432, 77), 0);
         },
         Outcome::refused},
        {"a journal of another group beside a file its group may write", true, [](Forged &, const Hostile &) {},
         [](const std::string &wox, const std::string &wjn) {
             ASSERT_EQ(::chown(wox.c_str(), 4321, 77), 0);
             ASSERT_EQ(::chmod(wox.c_str(), 0664), 0);
             ASSERT_EQ(::chown(wjn.c_str(), 5432, 88), 0);
         },
         Outcome::refused},
        {"the file owner's journal", true, [](Forged &, const Hostile &) {},
         [](const std::string &wox, const std::string &wjn) {
             ASSERT_EQ(::chown(wox.c_str(), 4321, 0), 0);
             ASSERT_EQ(::chown(wjn.c_str(), 4321, 0), 0);
         },
         Outcome::applied},
    };
    ASSERT_EQ(::geteuid(), 0u) << "ownership is forged with chown";
    const Forged genuine = decode(journal);
    ASSERT_EQ(encode(genuine), journal) << "the test's encoder writes what the library writes";
    int refused = 0;
    for (const Row &row : rows) {
        for (bool viaHandle : {false, true}) {
            if (viaHandle && !row.onHalf) continue;  // intact files: no moved counter sends a call there
            SCOPED_TRACE(std::string(row.what) + (viaHandle ? ", found by a call" : ", found by the open"));
            Forged forged = genuine;
            row.forge(forged, *this);
            const Bytes bad = encode(forged);
            ::unlink(path(".wjn").c_str());
            put(start);
            ::chmod(path(".wox").c_str(), 0644);
            ::chown(path(".wox").c_str(), 0, 0);
            IsFile *early = viaHandle ? isOpen(name().c_str(), ISINOUT | ISMANULOCK) : nullptr;
            ASSERT_EQ(viaHandle, early != nullptr);
            const Snapshot before = row.onHalf ? half : start;
            put(before);
            writeFile(path(".wjn"), bad);
            ::chmod(path(".wjn").c_str(), 0644);
            row.meta(path(".wox"), path(".wjn"));
            std::vector<uint8_t> record = modelRecord(0, 0, 0);
            IsFile *f = viaHandle ? early : isOpen(name().c_str(), ISINOUT | ISMANULOCK);
            const int result = viaHandle ? isRead(f, record.data(), modeFirst) : f != nullptr;
            const int error = viaHandle ? isErrno(f) : isErrno(nullptr);
            const int io = viaHandle ? isErrio(f) : 0;
            if (f != nullptr) isClose(f);
            const std::vector<Bytes> aside = takeSetAside();
            switch (row.outcome) {
            case Outcome::applied:
                EXPECT_EQ(result, 1) << error;
                EXPECT_EQ(snap(), start) << "the genuine journal puts the files back";
                EXPECT_TRUE(aside.empty());
                EXPECT_FALSE(fileExists(path(".wjn"))) << "applied, cleared, and gone with the last close";
                break;
            case Outcome::cleared: {
                EXPECT_EQ(result, 1) << error;
                EXPECT_EQ(snap(), before);
                EXPECT_TRUE(aside.empty());
                EXPECT_FALSE(fileExists(path(".wjn"))) << "the trace is left, and gone with the last close";
                break;
            }
            case Outcome::refused: {
                ++refused;
                EXPECT_EQ(result, 0);
                EXPECT_EQ(error, 105);
                if (viaHandle) {
                    EXPECT_EQ(io, 64 + 8);
                }
                EXPECT_EQ(snap(), before) << "a refused journal wrote to the files";
                EXPECT_FALSE(fileExists(path(".wjn")));
                EXPECT_EQ(aside.size(), 1u) << "set aside, not deleted";
                if (aside.size() == 1) {
                    EXPECT_EQ(aside[0], bad);
                }
                IsFile *again = isOpen(name().c_str(), ISINOUT | ISMANULOCK);
                EXPECT_NE(again, nullptr) << "the next open goes on without the journal: " << isErrno(nullptr);
                if (again != nullptr) isClose(again);
                break;
            }
            }
        }
    }
    EXPECT_GT(refused, 50);
}

// A journal copied from another ISAM file (its own, genuine for that one)
// beside a copy of the files: other inodes, so never applied.
TEST_F(Hostile, AJournalCopiedWithItsFilesIsNotApplied) {
    writeFile(path(".wox", "k"), half.wox);
    writeFile(path(".wod", "k"), half.wod);
    writeFile(path(".wjn", "k"), journal);
    EXPECT_EQ(isOpen(name("k").c_str(), ISINOUT | ISMANULOCK), nullptr);
    EXPECT_EQ(isErrno(nullptr), 105);
    EXPECT_EQ(snap("k"), half);
    EXPECT_FALSE(fileExists(path(".wjn", "k")));
    // The original applies to its own files.
    put(half);
    writeFile(path(".wjn"), journal);
    IsFile *f = isOpen(name().c_str(), ISINOUT | ISMANULOCK);
    ASSERT_NE(f, nullptr) << isErrno(nullptr);
    isClose(f);
    EXPECT_EQ(snap(), start);
}

// A journal that cannot be opened fails the open and the call that would
// read the half-changed files, with the system's error and the journal's
// open code; it stays where it is for someone who may read it.  A symbolic
// link in its place is refused with ELOOP, never written through, and set
// aside.
TEST_F(Hostile, AnUnreadableJournalOrASymbolicLinkFailsTheCall) {
    struct Case {
        const char *what;
        bool link;
    };
    for (const Case c : {Case{"unreadable", false}, Case{"symbolic link", true}}) {
        SCOPED_TRACE(c.what);
        for (bool viaHandle : {false, true}) {
            ::unlink(path(".wjn").c_str());
            put(start);
            IsFile *early = viaHandle ? isOpen(name().c_str(), ISINOUT | ISMANULOCK) : nullptr;
            put(half);
            const std::string elsewhere = dir.file("elsewhere");
            writeFile(elsewhere, journal);
            std::optional<FaultPlan> denied;  // opens of the journal fail with EACCES
            if (c.link) {
                ASSERT_EQ(::symlink(elsewhere.c_str(), path(".wjn").c_str()), 0);
            } else {
                writeFile(path(".wjn"), journal);
                denied.emplace();
                denied->failFrom(Sys::open, 1, EACCES).onFiles({".wjn"});
            }
            std::vector<uint8_t> record = modelRecord(0, 0, 0);
            IsFile *f = viaHandle ? early : isOpen(name().c_str(), ISINOUT | ISMANULOCK);
            const int result = viaHandle ? isRead(f, record.data(), modeFirst) : f != nullptr;
            const int error = viaHandle ? isErrno(f) : isErrno(nullptr);
            if (viaHandle) {
                EXPECT_EQ(isErrio(f), 16 + 8);
            }
            denied.reset();
            if (f != nullptr) isClose(f);
            EXPECT_EQ(result, 0);
            EXPECT_EQ(error, c.link ? ELOOP : EACCES);
            EXPECT_EQ(snap(), half) << "nothing written";
            EXPECT_EQ(readFile(elsewhere), journal) << "the link's target is untouched";
            const std::vector<Bytes> aside = takeSetAside();
            if (c.link) {
                EXPECT_EQ(aside.size(), 1u) << "the link is set aside";
                struct stat st = {};
                EXPECT_NE(::lstat(path(".wjn").c_str(), &st), 0);
            } else {
                EXPECT_TRUE(aside.empty());
                // Readable again: the genuine journal puts the files back.
                IsFile *g = isOpen(name().c_str(), ISINOUT | ISMANULOCK);
                ASSERT_NE(g, nullptr) << isErrno(nullptr);
                isClose(g);
                EXPECT_EQ(snap(), start);
            }
        }
    }
}

// A writer that finds a symbolic link as its journal fails the change with
// ELOOP and writes nothing through it.
TEST_F(Hostile, AWriterNeverWritesThroughASymbolicLink) {
    ::unlink(path(".wjn").c_str());
    put(start);
    IsFile *f = isOpen(name().c_str(), ISINOUT | ISMANULOCK);
    ASSERT_NE(f, nullptr);
    const std::string elsewhere = dir.file("elsewhere");
    writeFile(elsewhere, Bytes{'x'});
    ASSERT_EQ(::symlink(elsewhere.c_str(), path(".wjn").c_str()), 0);
    EXPECT_EQ(isWrite(f, modelRecord(5000, 1, 1).data()), 0);
    EXPECT_EQ(isErrno(f), ELOOP);
    isClose(f);
    EXPECT_EQ(readFile(elsewhere), Bytes{'x'});
    EXPECT_EQ(snap(), start);
}

// A cold journal file that another user left beside the files is not
// written into (its owner could read the images): the writer sets it aside
// untouched and journals into a new file of its own, with the index file's
// permission bits whatever the umask.
TEST_F(Hostile, AWriterSetsAsideAJournalFileSomeoneElseOwns) {
    const Bytes planted(kHeader, 0);
    for (const auto &[owner, mode] : {std::pair{12345u, 0644u}, std::pair{0u, 0666u}}) {
        ::unlink(path(".wjn").c_str());
        put(start);
        writeFile(path(".wjn"), planted);
        ASSERT_EQ(::chown(path(".wjn").c_str(), owner, 0), 0);
        ASSERT_EQ(::chmod(path(".wjn").c_str(), mode), 0);
        ASSERT_EQ(::chmod(path(".wox").c_str(), 0644), 0);
        IsFile *f = isOpen(name().c_str(), ISINOUT | ISMANULOCK);
        ASSERT_NE(f, nullptr) << isErrno(nullptr);
        // Under a umask that would keep everyone else out, the new journal
        // still takes the index file's bits.
        const mode_t umask = ::umask(077);
        EXPECT_EQ(isWrite(f, modelRecord(5000, 1, 1).data()), 1) << isErrno(f);
        ::umask(umask);
        struct stat own {};
        ASSERT_EQ(::stat(path(".wjn").c_str(), &own), 0);
        EXPECT_EQ(own.st_uid, ::getuid());
        EXPECT_EQ(own.st_mode & 0777, 0644u);
        EXPECT_EQ(isClose(f), 1);
        EXPECT_EQ(takeSetAside(), std::vector<Bytes>{planted}) << "owner " << owner << " mode " << mode;
        EXPECT_FALSE(fileExists(path(".wjn"))) << "the new journal goes with the last close";
    }
}

}  // namespace
}  // namespace wisam
