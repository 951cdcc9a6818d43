// Reading at scale: the data cache's read-ahead windows and the index
// paths' spare node.  Every read is checked against a model; the window
// edges, slots changed in the same call or by another process, failed and
// short window reads, the profile counters and the allocations of a
// descent are each pinned down.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "frame/isfile.h"
#include "records/isslot.h"
#include "support/faults.h"
#include "support/testing.h"
#include "system/iscache.h"
#include "system/issystem.h"
#include "wisam.h"

namespace wisam {
namespace {

using testing::Fault;
using testing::FaultRule;
using testing::Sys;

// Records of 16 bytes: a 4-byte big-endian key at 0 (unique, index 1), a
// 2-byte group at 4 (duplicates, index 2), a version and filler after.
constexpr int kLength = 16;
constexpr int kSlot = kLength + 1;

struct Row {
    int32_t group = 0;
    int32_t version = 0;
};

std::vector<uint8_t> record(int32_t key, const Row &row) {
    std::vector<uint8_t> r(kLength);
    stLong(key, reinterpret_cast<char *>(r.data()));
    stInt(static_cast<short>(row.group), reinterpret_cast<char *>(r.data() + 4));
    stLong(row.version, reinterpret_cast<char *>(r.data() + 6));
    for (int i = 10; i < kLength; ++i) r[size_t(i)] = static_cast<uint8_t>(key * 3 + row.version + i);
    return r;
}

// "" when `r` is the model's record for its key, else what differs.
std::string differs(const std::map<int32_t, Row> &model, const uint8_t *r) {
    const int32_t key = ldLong(reinterpret_cast<const char *>(r));
    const auto it = model.find(key);
    if (it == model.end()) return "key " + std::to_string(key) + " is not in the model";
    if (std::memcmp(record(key, it->second).data(), r, kLength) != 0) return "key " + std::to_string(key) + " differs";
    return "";
}

struct IoCounts {
    int reads = 0, hits = 0;
};
IoCounts ioCounts;
int watchedDataFd = -1;
void countIo(int32_t isData, int32_t operation, int32_t fd, int32_t) {
    if (isData != 1 || fd != watchedDataFd) return;
    if (operation == 0) ++ioCounts.reads;
    if (operation == 1) ++ioCounts.hits;
}

uint64_t counter(int which) {
    uint32_t c[4][2];
    getIsamProfileData(c[0], c[1], c[2], c[3]);
    return c[which][0] | uint64_t{c[which][1]} << 32;
}

class ReadAheadTest : public ::testing::Test {
protected:
    void SetUp() override {
        saved = {isFileCacheActive, isWriteBackActive, isDefaultDataCacheLines, isDefaultDataCacheAssociativity,
                 isFileCacheMaxMemUsage};
        savedIo = ioCallback;
        isFileCacheActive = 1;
        isWriteBackActive = 1;
        // These tests count the system reads the cache makes: the files are
        // read with pread, not through views.
        faults.refuse(Sys::map);
    }
    void TearDown() override {
        for (IsFile *f : open)
            if (f != nullptr) isClose(f);
        isFileCacheActive = saved[0];
        isWriteBackActive = saved[1];
        isDefaultDataCacheLines = saved[2];
        isDefaultDataCacheAssociativity = saved[3];
        isFileCacheMaxMemUsage = saved[4];
        ioCallback = savedIo;
    }
    // A file of `count` records with keys 0..count-1 written in a scattered
    // order (so that no index order is the slot order), groups key % 13,
    // closed and opened again with a data cache of `lines` x `ways`.
    IsFile *build(const std::string &base, int count, int32_t lines, int32_t ways, int mode = ISEXCLLOCK) {
        KeyDesc primary = testing::keyAt(0, 4, ISTYPE_LONG, 0);
        KeyDesc group = testing::keyAt(4, 2, ISTYPE_INT, ISKEY_DUPS);
        const std::u16string name = dir.name(base);
        IsFile *b = isBuild(name.c_str(), kLength, 0, &primary, ISINOUT | ISEXCLLOCK);
        EXPECT_NE(b, nullptr);
        if (b == nullptr) return nullptr;
        EXPECT_EQ(isAddIndex(b, &group), 1);
        EXPECT_EQ(isSetCustomLock(b, 2), 1);
        std::mt19937 random(static_cast<unsigned>(count));
        std::vector<int32_t> keys(static_cast<size_t>(count));
        for (int i = 0; i < count; ++i) keys[size_t(i)] = i;
        std::shuffle(keys.begin(), keys.end(), random);
        for (int32_t key : keys) {
            model[key] = Row{key % 13, 1};
            EXPECT_EQ(isWrite(b, reinterpret_cast<const char *>(record(key, model[key]).data())), 1);
        }
        EXPECT_EQ(isSetCustomLock(b, 0), 1);
        EXPECT_EQ(isClose(b), 1);
        isDefaultDataCacheLines = lines;
        isDefaultDataCacheAssociativity = ways;
        IsFile *f = isOpen(name.c_str(), ISINOUT | mode);
        EXPECT_NE(f, nullptr);
        open.push_back(f);
        return f;
    }
    // Reads every record in the order of `index` (0: record numbers), forward
    // or backward, checking each; "" or the first difference.
    std::string walk(IsFile *f, int index, bool forward) {
        if (isIndex(f, index) != 1) return "isIndex " + std::to_string(isErrno(f));
        uint8_t r[kLength];
        size_t seen = 0;
        int64_t previous = forward ? -1 : INT64_MAX;
        for (int mode = forward ? modeFirst : modeLast; isRead(f, reinterpret_cast<char *>(r), mode) == 1;
             mode = forward ? modeNext : modePrev) {
            if (const std::string why = differs(model, r); !why.empty()) return why;
            const int64_t at = index == 0 ? isRecnum(f) : index == 1 ? ldLong(reinterpret_cast<char *>(r))
                                                                     : ldInt(reinterpret_cast<char *>(r + 4));
            if (forward ? at < previous : at > previous) return "out of order at " + std::to_string(at);
            if (index == 1 && at == previous) return "key twice";
            previous = at;
            ++seen;
        }
        if (isErrno(f) != EENDFILE) return "walk ended with " + std::to_string(isErrno(f));
        if (seen != model.size()) return std::to_string(seen) + " records, " + std::to_string(model.size()) + " expected";
        return "";
    }
    // "" when no slot of the data file is cached twice, else the first one.
    static std::string cachedOnce(IsFile *f) {
        for (uint32_t n = 1; n <= f->dataAlloc.highest; ++n) {
            const int32_t copies = cacheCopies(f, kKindData, int64_t{n - 1} * kSlot);
            if (copies > 1) return "slot " + std::to_string(n) + " cached " + std::to_string(copies) + " times";
        }
        return "";
    }
    std::string readKey(IsFile *f, int32_t key) {
        if (isIndex(f, 1) != 1) return "isIndex";
        std::vector<uint8_t> r = record(key, Row{});
        const int ok = isRead(f, reinterpret_cast<char *>(r.data()), modeEqual);
        if (model.count(key) == 0) return ok == 0 && isErrno(f) == ENOREC ? "" : "absent key " + std::to_string(key);
        if (ok != 1) return "read of " + std::to_string(key) + " failed with " + std::to_string(isErrno(f));
        return differs(model, r.data());
    }

    testing::FaultPlan faults;  // counts the system calls; the table as it was, at the end
    testing::TempDir dir;
    std::map<int32_t, Row> model;
    std::vector<IsFile *> open;
    std::array<int32_t, 5> saved{};
    decltype(ioCallback) savedIo = nullptr;
};

// Random reads, rewrites, deletes, inserts and whole walks in every order,
// against the model: for caches too small to read ahead (1 x 1, 16 x 4),
// smaller than the file (64 x 2: windows of 64 slots) and larger (128 x 16:
// windows of 128), and for record counts on and around window edges.
TEST_F(ReadAheadTest, ModelRunsAgreeAcrossCacheShapesAndWindowEdges) {
    struct Shape {
        int32_t lines, ways;
    };
    const Shape shapes[] = {{1, 1}, {16, 4}, {64, 2}, {128, 16}};
    const int counts[] = {1, 63, 64, 65, 127, 128, 129, 2000};
    int run = 0;
    for (const Shape &shape : shapes) {
        for (int count : counts) {
            SCOPED_TRACE("cache " + std::to_string(shape.lines) + " x " + std::to_string(shape.ways) + ", " +
                         std::to_string(count) + " records");
            model.clear();
            IsFile *f = build("m" + std::to_string(run++), count, shape.lines, shape.ways);
            ASSERT_NE(f, nullptr);
            std::mt19937 random(static_cast<unsigned>(count * 31 + shape.lines));
            for (int index : {0, 1, 2}) ASSERT_EQ(walk(f, index, index != 2), "") << "index " << index;
            int32_t nextKey = count;
            for (int op = 0; op < 600; ++op) {
                const int32_t key = static_cast<int32_t>(random() % uint32_t(nextKey + 1));
                const uint32_t what = random() % 10;
                if (what < 6) {
                    ASSERT_EQ(readKey(f, key), "") << "op " << op;
                } else if (what == 6 && model.count(key) != 0) {
                    // Inside a kept lock with write-back, then read back at once.
                    ASSERT_EQ(isSetCustomLock(f, 2), 1);
                    Row &row = model[key];
                    row.version += 1;
                    row.group = (row.group + 5) % 13;
                    ASSERT_EQ(isRewrite(f, reinterpret_cast<const char *>(record(key, row).data())), 1);
                    ASSERT_EQ(readKey(f, key), "");
                    ASSERT_EQ(isSetCustomLock(f, 0), 1);
                } else if (what == 7 && model.count(key) != 0) {
                    ASSERT_EQ(isDelete(f, reinterpret_cast<const char *>(record(key, model[key]).data())), 1);
                    model.erase(key);
                } else if (what == 8) {
                    model[nextKey] = Row{nextKey % 13, 1};
                    ASSERT_EQ(isWrite(f, reinterpret_cast<const char *>(record(nextKey, model[nextKey]).data())), 1);
                    ++nextKey;
                } else {
                    const int index = static_cast<int>(random() % 3);
                    ASSERT_EQ(walk(f, index, random() % 2 == 0), "") << "index " << index << ", op " << op;
                    ASSERT_EQ(cachedOnce(f), "") << "op " << op;
                }
            }
            for (int index : {0, 1, 2}) ASSERT_EQ(walk(f, index, true), "") << "index " << index;
            ASSERT_EQ(cachedOnce(f), "");
            // Closed and opened again: the file holds what the reads showed.
            const std::u16string name = dir.name("m" + std::to_string(run - 1));
            ASSERT_EQ(isClose(f), 1);
            open.back() = f = isOpen(name.c_str(), ISINOUT | ISEXCLLOCK);
            ASSERT_NE(f, nullptr);
            for (int index : {0, 1, 2}) ASSERT_EQ(walk(f, index, false), "") << "index " << index;
        }
    }
}

// A window read ahead by this process holds slots another process changes
// afterwards: the change counter moves, the cache is emptied at the next
// call, and the reads return the other process's records.
TEST_F(ReadAheadTest, SlotsReadAheadNeverOutliveAnotherProcessesChange) {
    IsFile *f = build("p", 300, 128, 16, ISMANULOCK);
    ASSERT_NE(f, nullptr);
    ASSERT_EQ(walk(f, 0, true), "");  // every slot cached, most of them read ahead
    for (int round = 0; round < 3; ++round) {
        std::map<int32_t, Row> changed = model;
        for (auto &[key, row] : changed)
            if (key % 7 == round) row.version += 10 + round;
        const int status = testing::runInChild([&] {
            IsFile *other = isOpen(testing::spelling(dir, "p", 1 + round).c_str(), ISINOUT | ISMANULOCK);
            if (other == nullptr) return 10;
            for (const auto &[key, row] : changed) {
                if (key % 7 != round) continue;
                if (isRewrite(other, reinterpret_cast<const char *>(record(key, row).data())) != 1) return 11;
            }
            return isClose(other) == 1 ? 0 : 12;
        });
        ASSERT_EQ(status, 0);
        model = changed;
        // Point reads first (the window of each is read again), then walks.
        for (int32_t key = round; key < 300; key += 7) ASSERT_EQ(readKey(f, key), "") << "round " << round;
        ASSERT_EQ(walk(f, 0, round % 2 == 0), "") << "round " << round;
        ASSERT_EQ(walk(f, 2, true), "") << "round " << round;
    }
}

// A slot changed in the call's own cache (held back by write-back) lies in
// the window another slot's miss reads: the file's older copy never
// replaces it, and the change reaches the file when the lock ends.
TEST_F(ReadAheadTest, WindowReadKeepsSlotsChangedInTheCache) {
    IsFile *f = build("d", 100, 128, 16);
    ASSERT_NE(f, nullptr);
    stopFileCache(f);
    startFileCache(f);
    ASSERT_EQ(isSetCustomLock(f, 2), 1);
    std::vector<uint8_t> changed(kLength, 0x5A);
    uint8_t seen[kLength] = {};
    ASSERT_EQ(testing::inCall(f, kAccessChange, [&] {
                  writeSlot(f, changed.data(), 5);  // dirty in the cache, the file still old
                  readSlot(f, seen, 2);             // a miss: the window of slots 1.. is read
                  readSlot(f, seen, 5);
                  return 1;
              }),
              1);
    EXPECT_EQ(std::memcmp(seen, changed.data(), kLength), 0) << "the window's file copy replaced the change";
    ASSERT_EQ(isSetCustomLock(f, 0), 1);
    const std::vector<uint8_t> file = testing::readFile(dir.file("d") + ".wod");
    ASSERT_GE(file.size(), size_t(5 * kSlot));
    EXPECT_EQ(std::memcmp(file.data() + 4 * kSlot, changed.data(), kLength), 0);
    EXPECT_EQ(file[size_t(4 * kSlot + kLength)], kSlotMarkerInUse);
}

// A window read that fails leaves nothing cached: the call fails with the
// read's error and I/O code, and the next reads, the fault gone, return the
// file's records.  A window cut short files only the whole slots it got.
TEST_F(ReadAheadTest, FailedAndShortWindowReads) {
    IsFile *f = build("e", 500, 128, 16);
    ASSERT_NE(f, nullptr);
    ASSERT_EQ(readKey(f, 250), "");  // the index path is read (and kept) now
    clearDatFileCache(f);
    FaultRule &windows = faults.failFrom(Sys::pread, 1, EIO).longerThan(kSlot);  // a read of more than a slot
    std::vector<uint8_t> r = record(250, Row{});
    EXPECT_EQ(isRead(f, reinterpret_cast<char *>(r.data()), modeEqual), 0);
    EXPECT_EQ(isErrno(f), EIO);
    EXPECT_EQ(isErrio(f), kIoRead + kKindData);
    faults.drop(windows);
    for (int32_t key = 240; key < 260; ++key) ASSERT_EQ(readKey(f, key), "");
    ASSERT_EQ(walk(f, 0, true), "");

    clearDatFileCache(f);
    const size_t cut = size_t(kSlot) * 5 / 2;  // two whole slots and half of a third
    FaultRule &cutShort = faults.from(Sys::pread, 1, Fault::atMost(cut)).longerThan(cut);
    ASSERT_EQ(isIndex(f, 0), 1);
    uint8_t got[kLength];
    ASSERT_EQ(isRead(f, reinterpret_cast<char *>(got), modeFirst), 1);  // slot 1: whole
    ASSERT_EQ(differs(model, got), "");
    faults.drop(cutShort);
    faults.resetCounts();
    ASSERT_EQ(isRead(f, reinterpret_cast<char *>(got), modeNext), 1);  // slot 2: filed from the short read
    EXPECT_EQ(faults.calls(Sys::pread), 0);
    ASSERT_EQ(isRead(f, reinterpret_cast<char *>(got), modeNext), 1);  // slot 3: was cut, read now
    EXPECT_GE(faults.calls(Sys::pread), 1);
    ASSERT_EQ(differs(model, got), "");
    ASSERT_EQ(walk(f, 0, true), "");
}

// Walking the slots of a file far larger than the cache reads a window a
// system call, also on the second walk, when the cache is full of the
// file's tail and has no room left.
TEST_F(ReadAheadTest, WalksReadWindowsAlsoWithTheCacheFull) {
    IsFile *f = build("w", 3000, 64, 2);  // 128 slots, windows of 64
    ASSERT_NE(f, nullptr);
    for (int walk = 0; walk < 2; ++walk) {
        faults.resetCounts();
        ASSERT_EQ(this->walk(f, 0, true), "") << "walk " << walk;
        EXPECT_LE(faults.calls(Sys::pread), 3000 / 64 + 3) << "walk " << walk;
    }
}

// A file built empty gets a data cache of 16 x 4 slots; as records arrive
// the cache is made again at the size the file asks for, but never past
// isFileCacheMaxMemUsage: with no room for the larger cache the size it
// has stays.  Every record reads back either way.
TEST_F(ReadAheadTest, DataCacheGrowsWithTheFileWithinTheMemoryCap) {
    isDefaultDataCacheLines = 128;
    isDefaultDataCacheAssociativity = 16;
    const int64_t before = cacheMemoryCharged();
    for (const bool roomy : {true, false}) {
        SCOPED_TRACE(roomy ? "room to grow" : "no room to grow");
        // Without room: the index cache (16 x 4 blocks of 4 KB) and a data
        // cache of up to 512 slots fit, one of 1 024 slots does not.
        isFileCacheMaxMemUsage = roomy ? saved[4] : static_cast<int32_t>(before + 300000);
        KeyDesc primary = testing::keyAt(0, 4, ISTYPE_LONG, 0);
        const std::u16string name = dir.name(roomy ? "g1" : "g2");
        IsFile *f = isBuild(name.c_str(), kLength, 0, &primary, ISINOUT | ISEXCLLOCK);
        ASSERT_NE(f, nullptr);
        open.push_back(f);
        const CacheShape first = cacheShape(f->dataCache);
        EXPECT_EQ(first.sets * first.ways, 64);
        model.clear();
        for (int32_t key = 0; key < 1500; ++key) {
            model[key] = Row{key % 13, 2};
            ASSERT_EQ(isWrite(f, reinterpret_cast<const char *>(record(key, model[key]).data())), 1);
            ASSERT_LE(cacheMemoryCharged(), int64_t{isFileCacheMaxMemUsage});
        }
        for (int32_t key = 0; key < 1500; key += 7) ASSERT_EQ(readKey(f, key), "");
        ASSERT_EQ(walk(f, 0, true), "");
        const CacheShape now = cacheShape(f->dataCache);
        if (roomy) {
            EXPECT_GE(now.sets * now.ways, 1500) << "the cache grew with the file";
        } else {
            // 128, 256 and 512 slots fit beside the index cache, 1 024 do not.
            EXPECT_EQ(now.sets * now.ways, 512) << "grown as far as the cap lets it, no further";
        }
        EXPECT_LE(cacheMemoryCharged(), int64_t{isFileCacheMaxMemUsage});
        ASSERT_EQ(isClose(f), 1);
        open.back() = nullptr;
    }
    EXPECT_EQ(cacheMemoryCharged(), before);
}

// The counters and ioCallback see what they saw before read-ahead: every
// first read of a slot adds one slot to the bytes read into the cache and
// reports no hit, every later read one hit; only the system reads are fewer.
TEST_F(ReadAheadTest, CountersCountFirstReadsAsFillsAndTheRestAsHits) {
    IsFile *f = build("c", 700, 128, 16);
    ASSERT_NE(f, nullptr);
    stopFileCache(f);
    startFileCache(f);
    watchedDataFd = f->dataFd;
    ioCounts = {};
    ioCallback = countIo;
    const uint64_t filledBefore = counter(1), throughBefore = counter(2), requestedBefore = counter(0);
    faults.resetCounts();
    std::mt19937 random(7);
    std::vector<bool> read(701, false);
    int reads = 0, distinct = 0;
    uint8_t slot[kLength];
    ASSERT_EQ(testing::inCall(f, kAccessRead, [&] {
                  for (int i = 0; i < 3000; ++i) {
                      const int n = 1 + static_cast<int>(random() % 700);
                      readSlot(f, slot, n);
                      ++reads;
                      if (!read[size_t(n)]) read[size_t(n)] = true, ++distinct;
                  }
                  return 1;
              }),
              1);
    ioCallback = savedIo;
    EXPECT_EQ(counter(1) - filledBefore, uint64_t(distinct) * kSlot);
    EXPECT_EQ(counter(2) - throughBefore, uint64_t(reads) * kSlot);
    EXPECT_EQ(counter(0) - requestedBefore, uint64_t(reads) * kSlot);
    EXPECT_EQ(ioCounts.reads, reads);
    EXPECT_EQ(ioCounts.hits, reads - distinct);
    EXPECT_LT(faults.calls(Sys::pread), distinct / 10) << "a window of slots a system read";
}

// Random reads of an index of three levels with far more nodes than a path
// caches (32): once warm, a descent takes the node that fell out of the
// cache last instead of allocating one, so the reads allocate nothing.
TEST_F(ReadAheadTest, DescentsPastAFullNodeCacheAllocateNothing) {
    constexpr int kWide = 200, kKeyLength = 180, kCount = 6000;  // some 20 entries a node
    KeyDesc wide = testing::keyAt(0, kKeyLength, ISTYPE_CHAR, 0);
    const std::u16string name = dir.name("a");
    IsFile *f = isBuild(name.c_str(), kWide, 0, &wide, ISINOUT | ISEXCLLOCK);
    ASSERT_NE(f, nullptr);
    open.push_back(f);
    auto wideRecord = [&](int key) {
        std::vector<char> r(kWide, ' ');
        const std::string text = std::to_string(key * 7919 % 100003);
        std::memcpy(r.data() + kKeyLength - text.size(), text.data(), text.size());
        r[kKeyLength] = static_cast<char>(key);
        return r;
    };
    ASSERT_EQ(isSetCustomLock(f, 2), 1);
    for (int key = 0; key < kCount; ++key) ASSERT_EQ(isWrite(f, wideRecord(key).data()), 1);
    ASSERT_EQ(isSetCustomLock(f, 0), 1);
    auto readBack = [&](int key) {
        std::vector<char> r = wideRecord(key);
        const std::vector<char> expected = r;
        std::fill(r.begin() + kKeyLength, r.end(), 0);
        return isRead(f, r.data(), modeEqual) == 1 && r == expected;
    };
    for (int key = 0; key < kCount; key += 13) ASSERT_TRUE(readBack(key)) << key;
    std::mt19937 random(3);
    faults.resetCounts();
    bool right = true;
    for (int i = 0; i < 2000 && right; ++i) right = readBack(static_cast<int>(random() % kCount));
    const int allocations = faults.calls(Sys::allocate);
    EXPECT_TRUE(right);
    EXPECT_EQ(allocations, 0);
}

}  // namespace
}  // namespace wisam
