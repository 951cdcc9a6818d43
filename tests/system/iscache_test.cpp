// Block caches: hits and misses counted in system calls, set mapping and
// eviction, partial accesses, data-cache sizing, the memory cap, deferred
// write-back, the global index cache, the profile counters, short fills and
// write-back failures outside a call.
#include "system/iscache.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "frame/iserror.h"
#include "frame/isfile.h"
#include "structure/isencode.h"
#include "support/faults.h"
#include "support/testing.h"
#include "system/issystem.h"
#include "wisam.h"

namespace wisam {
namespace {

using testing::Fault;
using testing::FaultRule;
using testing::Sys;

constexpr int32_t kNode = 4096;          // node size of the laid-down index files
constexpr int16_t kRecordLength = 10;
constexpr int32_t kSlot = kRecordLength + 1;
constexpr int kModeInOut = 2;

struct IoReport {
    int32_t isData, operation, fd, block;
    bool operator==(const IoReport &) const = default;
};
std::vector<IoReport> ioReports;
void recordIo(int32_t isData, int32_t operation, int32_t fd, int32_t block) {
    ioReports.push_back({isData, operation, fd, block});
}

uint8_t slotByte(int slot, int i) { return static_cast<uint8_t>(slot * 7 + i + 1); }
uint8_t nodeByte(int block, int i, uint8_t salt) { return static_cast<uint8_t>(block * 13 + i + salt); }

class CacheTest : public ::testing::Test {
protected:
    void SetUp() override {
        saved = {isFileCacheActive,          isWriteBackActive,
                 isGlobalIndexCacheActive,   isFileCacheMaxMemUsage,
                 isDefaultDataCacheLines,    isDefaultDataCacheAssociativity,
                 isDefaultIndexCacheLines,   isDefaultIndexCacheAssociativity,
                 isGlobalIndexCacheLines,    isGlobalIndexCacheAssociativity};
        savedIoCallback = ioCallback;
        chargedBefore = cacheMemoryCharged();
        ioReports.clear();
        isFileCacheActive = 1;
    }

    void TearDown() override {
        isFileCacheActive = 1;
        for (IsFile *f : handles) {
            f->deferState = 0;
            stopFileCache(f);
            testing::closeTestHandle(f);
        }
        isGlobalIndexCacheActive = 1;
        stopGlobalIndexCache();
        isFileCacheActive = saved[0];
        isWriteBackActive = saved[1];
        isGlobalIndexCacheActive = saved[2];
        isFileCacheMaxMemUsage = saved[3];
        isDefaultDataCacheLines = saved[4];
        isDefaultDataCacheAssociativity = saved[5];
        isDefaultIndexCacheLines = saved[6];
        isDefaultIndexCacheAssociativity = saved[7];
        isGlobalIndexCacheLines = saved[8];
        isGlobalIndexCacheAssociativity = saved[9];
        ioCallback = savedIoCallback;
        EXPECT_EQ(cacheMemoryCharged(), chargedBefore) << "every cache is freed again";
    }

    // Files `base` with `slots` data slots and `nodes` index blocks (block 1
    // the dictionary, whose highest record number says `slots`), opened.
    IsFile *open(const std::string &base, int slots, int nodes, uint8_t salt = 0) {
        lay(base, slots, nodes, salt);
        return reopen(base);
    }
    void lay(const std::string &base, int slots, int nodes, uint8_t salt = 0) {
        testing::layDownFiles(dir.file(base), kRecordLength);
        std::vector<uint8_t> index = testing::readFile(dir.file(base) + ".wox");
        st4(&index[33], slots);
        for (int block = 1; block < nodes; ++block) {
            for (int i = 0; i < kNode; ++i) index.push_back(nodeByte(block, i, salt));
        }
        testing::writeFile(dir.file(base) + ".wox", index);
        std::vector<uint8_t> data;
        for (int slot = 0; slot < slots; ++slot) {
            for (int i = 0; i < kSlot; ++i) data.push_back(slotByte(slot, i));
        }
        testing::writeFile(dir.file(base) + ".wod", data);
    }
    IsFile *reopen(const std::string &base) {
        IsFile *f = testing::openHandle(dir.name(base), kModeInOut | kModeManualLock);
        if (f == nullptr) return nullptr;
        f->slotSize = kSlot;
        handles.push_back(f);
        return f;
    }

    std::vector<uint8_t> readSlot(IsFile *f, int slot) {
        std::vector<uint8_t> out(kSlot);
        EXPECT_EQ(testing::inCall(f, kAccessRead, [&] {
                      return cacheRead(f, kKindData, out.data(), kSlot, int64_t{slot} * kSlot);
                  }),
                  1);
        return out;
    }
    std::vector<uint8_t> readNode(IsFile *f, int block) {
        std::vector<uint8_t> out(kNode);
        EXPECT_EQ(testing::inCall(f, kAccessRead, [&] {
                      return cacheRead(f, kKindIndex, out.data(), kNode, int64_t{block} * kNode);
                  }),
                  1);
        return out;
    }
    // The cache's own traffic: inside a changing call each write would also
    // read the bytes it replaces, for the call's undo.
    void writeSlot(IsFile *f, int slot, const std::vector<uint8_t> &bytes) {
        EXPECT_EQ(testing::inCall(f, kAccessAny, [&] {
                      return cacheWrite(f, kKindData, bytes.data(), int32_t(bytes.size()),
                                        int64_t{slot} * kSlot);
                  }),
                  1);
    }
    std::vector<uint8_t> fileSlot(const std::string &base, int slot) {
        const std::vector<uint8_t> data = testing::readFile(dir.file(base) + ".wod");
        const auto first = data.begin() + slot * kSlot;
        return std::vector<uint8_t>(first, first + kSlot);
    }
    static std::vector<uint8_t> expectedSlot(int slot) {
        std::vector<uint8_t> out;
        for (int i = 0; i < kSlot; ++i) out.push_back(slotByte(slot, i));
        return out;
    }
    static std::vector<uint8_t> changedSlot(int slot) {
        std::vector<uint8_t> out(kSlot, static_cast<uint8_t>(0xA0 + slot % 32));
        return out;
    }
    // A handle whose writes are held back: caching and write-back on, a data
    // cache of `sets` x `ways` before sizing, the kept exclusive lock marked.
    IsFile *writeBackHandle(int slots, int32_t sets = 128, int32_t ways = 16) {
        isWriteBackActive = 1;
        isDefaultDataCacheLines = sets;
        isDefaultDataCacheAssociativity = ways;
        IsFile *f = open("t", slots, 1);
        if (f == nullptr) return nullptr;
        startFileCache(f);
        f->deferState = kDeferExclusiveKept;
        return f;
    }

    testing::TempDir dir;
    std::vector<IsFile *> handles;
    std::vector<int32_t> saved;
    void (*savedIoCallback)(int32_t, int32_t, int32_t, int32_t) = nullptr;
    int64_t chargedBefore = 0;
};

TEST_F(CacheTest, TwoReadsOfOneIndexBlockCostOneFileReadAndReportAHit) {
    IsFile *f = open("t", 4, 3);
    ASSERT_NE(f, nullptr);
    startFileCache(f);
    ASSERT_NE(f->indexCache, nullptr);
    ioCallback = recordIo;
    testing::FaultPlan faults;  // counts the transfers
    const std::vector<uint8_t> first = readNode(f, 2);
    const std::vector<uint8_t> second = readNode(f, 2);
    EXPECT_EQ(faults.calls(Sys::pread), 1);
    EXPECT_EQ(first[0], nodeByte(2, 0, 0));
    EXPECT_EQ(second, first);
    const std::vector<IoReport> expected = {
        {0, 0, f->indexFd, 2}, {0, 0, f->indexFd, 2}, {0, 1, f->indexFd, 2}};
    EXPECT_EQ(ioReports, expected);
}

TEST_F(CacheTest, DictionaryBlockIsAlwaysReadFromTheFile) {
    IsFile *f = open("t", 4, 2);
    ASSERT_NE(f, nullptr);
    startFileCache(f);
    testing::FaultPlan faults;  // counts the transfers
    readNode(f, 0);
    readNode(f, 0);
    EXPECT_EQ(faults.calls(Sys::pread), 2);
}

TEST_F(CacheTest, WithCachingOffNoCacheExistsAndEveryReadGoesToTheFile) {
    isFileCacheActive = 0;
    IsFile *f = open("t", 4, 2);
    ASSERT_NE(f, nullptr);
    startFileCache(f);
    EXPECT_EQ(f->dataCache, nullptr);
    EXPECT_EQ(f->indexCache, nullptr);
    ioCallback = recordIo;
    testing::FaultPlan faults;  // counts the transfers
    EXPECT_EQ(readSlot(f, 1), expectedSlot(1));
    EXPECT_EQ(readSlot(f, 1), expectedSlot(1));
    EXPECT_EQ(faults.calls(Sys::pread), 2);
    const std::vector<IoReport> expected = {{1, 0, f->dataFd, 1}, {1, 0, f->dataFd, 1}};
    EXPECT_EQ(ioReports, expected) << "reads are reported with caching off too, never as hits";
}

TEST_F(CacheTest, BlocksThreeAndEightShareOneOfFiveSetsAndEvictEachOther) {
    isDefaultDataCacheLines = 5;
    isDefaultDataCacheAssociativity = 1;
    IsFile *f = open("t", 20, 1);
    ASSERT_NE(f, nullptr);
    startFileCache(f);
    ASSERT_EQ(cacheShape(f->dataCache).sets, 5);
    ASSERT_EQ(cacheShape(f->dataCache).ways, 1);
    testing::FaultPlan faults;  // counts the transfers
    readSlot(f, 3);
    readSlot(f, 4);  // another set: 3 stays
    readSlot(f, 3);
    EXPECT_EQ(faults.calls(Sys::pread), 2);
    EXPECT_EQ(readSlot(f, 8), expectedSlot(8));  // evicts 3
    readSlot(f, 8);
    EXPECT_EQ(faults.calls(Sys::pread), 3);
    EXPECT_EQ(readSlot(f, 3), expectedSlot(3));
    EXPECT_EQ(faults.calls(Sys::pread), 4) << "block 3 was evicted by block 8";
}

TEST_F(CacheTest, OldestWayOfAFullSetIsTheVictim) {
    isDefaultDataCacheLines = 1;
    isDefaultDataCacheAssociativity = 2;
    IsFile *f = open("t", 10, 1);
    ASSERT_NE(f, nullptr);
    startFileCache(f);
    testing::FaultPlan faults;  // counts the transfers
    readSlot(f, 0);
    readSlot(f, 1);
    readSlot(f, 0);  // hit: 0 is now the younger one
    readSlot(f, 2);  // evicts 1
    EXPECT_EQ(faults.calls(Sys::pread), 3);
    readSlot(f, 0);
    EXPECT_EQ(faults.calls(Sys::pread), 3);
    readSlot(f, 1);
    EXPECT_EQ(faults.calls(Sys::pread), 4);
}

TEST_F(CacheTest, FirstOfEquallyOldWaysIsTheVictim) {
    isDefaultDataCacheLines = 1;
    isDefaultDataCacheAssociativity = 3;
    IsFile *f = open("t", 10, 1);
    ASSERT_NE(f, nullptr);
    startFileCache(f);
    readSlot(f, 0);  // way 0
    readSlot(f, 1);  // way 1
    // Refilling way 2 again and again ages ways 0 and 1 down to 0 alike.
    uint8_t part[2] = {};
    for (int round = 0; round < 40; ++round) {
        ASSERT_EQ(testing::inCall(f, kAccessRead, [&] {
                      return cacheRead(f, kKindData, part, 2, 2 * kSlot);
                  }),
                  1);
        readSlot(f, 2);
    }
    testing::FaultPlan faults;  // counts the transfers
    readSlot(f, 3);  // evicts slot 0, the first of the two oldest
    readSlot(f, 1);
    EXPECT_EQ(faults.calls(Sys::pread), 1) << "slot 1 stays";
    readSlot(f, 0);
    EXPECT_EQ(faults.calls(Sys::pread), 2) << "slot 0 was the victim";
}

TEST_F(CacheTest, PartialAccessInvalidatesTheBlockItTouches) {
    IsFile *f = open("t", 8, 1);
    ASSERT_NE(f, nullptr);
    startFileCache(f);
    testing::FaultPlan faults;  // counts the transfers
    readSlot(f, 2);
    const uint8_t patch[3] = {0xEE, 0xEF, 0xF0};
    EXPECT_EQ(testing::inCall(f, kAccessAny, [&] {
                  return cacheWrite(f, kKindData, patch, 3, 2 * kSlot + 1);
              }),
              1);
    EXPECT_EQ(faults.calls(Sys::pwrite), 1) << "a partial write goes straight to the file";
    const std::vector<uint8_t> after = readSlot(f, 2);
    EXPECT_EQ(faults.calls(Sys::pread), 2) << "the cached block was invalidated";
    EXPECT_EQ(after[1], 0xEE);
    EXPECT_EQ(after[3], 0xF0);
    EXPECT_EQ(after[4], slotByte(2, 4));
}

TEST_F(CacheTest, PartialReadWritesADirtyBlockBackFirst) {
    isWriteBackActive = 1;
    IsFile *f = open("t", 8, 1);
    ASSERT_NE(f, nullptr);
    startFileCache(f);
    f->deferState = kDeferExclusiveKept;
    testing::FaultPlan faults;  // counts the transfers
    writeSlot(f, 2, changedSlot(2));
    EXPECT_EQ(faults.calls(Sys::pwrite), 0);
    uint8_t part[4] = {};
    EXPECT_EQ(testing::inCall(f, kAccessRead, [&] {
                  return cacheRead(f, kKindData, part, 4, 2 * kSlot + 3);
              }),
              1);
    EXPECT_EQ(faults.calls(Sys::pwrite), 1);
    EXPECT_EQ(part[0], changedSlot(2)[3]);
    EXPECT_EQ(fileSlot("t", 2), changedSlot(2));
}

TEST_F(CacheTest, DataCacheIsSizedByTheHighestRecordNumber) {
    isGlobalIndexCacheActive = 1;  // no per-handle index caches here
    struct Case {
        int slots, sets, ways;
    };
    const Case cases[] = {{0, 16, 4}, {10, 16, 4}, {1000, 128, 8}, {100000, 128, 16}};
    for (const Case &c : cases) {
        const std::string base = "s" + std::to_string(c.slots);
        IsFile *f = open(base, c.slots, 1);
        ASSERT_NE(f, nullptr);
        EXPECT_EQ(f->dataAlloc.highest, uint32_t(c.slots));
        startFileCache(f);
        const CacheShape shape = cacheShape(f->dataCache);
        EXPECT_EQ(shape.sets, c.sets) << c.slots << " slots";
        EXPECT_EQ(shape.ways, c.ways) << c.slots << " slots";
        EXPECT_EQ(shape.blockSize, kSlot);
        EXPECT_EQ(shape.kind, kKindData);
        EXPECT_EQ(f->indexCache, nullptr);
    }
}

TEST_F(CacheTest, IndexCacheKeepsTheDefaultGeometry) {
    IsFile *f = open("t", 0, 1);
    ASSERT_NE(f, nullptr);
    startFileCache(f);
    const CacheShape shape = cacheShape(f->indexCache);
    EXPECT_EQ(shape.sets, 16);
    EXPECT_EQ(shape.ways, 4);
    EXPECT_EQ(shape.blockSize, kNode);
    EXPECT_EQ(shape.kind, kKindIndex);
}

TEST_F(CacheTest, MemoryCapDecidesByTheChargeOfTheCache) {
    isGlobalIndexCacheActive = 1;
    const int64_t charge = 16 * (4 * (kSlot + 24) + 8) + 24;  // a 16 x 4 data cache
    IsFile *f = open("t", 10, 1);
    ASSERT_NE(f, nullptr);
    isFileCacheMaxMemUsage = int32_t(chargedBefore + charge - 1);
    startFileCache(f);
    EXPECT_EQ(f->dataCache, nullptr);
    EXPECT_EQ(cacheMemoryCharged(), chargedBefore);
    isFileCacheMaxMemUsage = int32_t(chargedBefore + charge);
    startFileCache(f);
    ASSERT_NE(f->dataCache, nullptr);
    EXPECT_EQ(cacheMemoryCharged(), chargedBefore + charge);
    stopFileCache(f);
    EXPECT_EQ(f->dataCache, nullptr);
    EXPECT_EQ(cacheMemoryCharged(), chargedBefore);
}

// The cache controls take a handle like every call: a null one is refused
// with 101, one the handle table does not know (closed, or never opened)
// with 105, and neither is touched.
TEST_F(CacheTest, ControlsRefuseNullAndUnknownHandles) {
    isWriteBackActive = 1;
    IsFile stranger;
    stranger.deferState = kDeferExclusiveKept | kDeferWriteBack;
    stranger.dataCache = reinterpret_cast<BlockCache *>(uintptr_t{0x10});  // would crash if used
    const std::vector<void (*)(IsFile *)> controls = {startFileCache, stopFileCache, clearFileCache,
                                                      clearDatFileCache, clearGlobalIndexCache};
    for (IsFile *f : {static_cast<IsFile *>(nullptr), &stranger}) {
        const int expected = f == nullptr ? kErrNotOpen : kErrCorrupt;
        for (auto control : controls) {
            errno = 0;
            control(f);
            EXPECT_EQ(errno, expected);
        }
        errno = 0;
        EXPECT_EQ(writeBackChanges(f), 0);
        EXPECT_EQ(errno, expected);
    }
    EXPECT_EQ(stranger.dataCache, reinterpret_cast<BlockCache *>(uintptr_t{0x10}));
    EXPECT_EQ(cacheMemoryCharged(), chargedBefore);
}

TEST_F(CacheTest, WithoutACacheUnderTheCapIoStillWorks) {
    isFileCacheMaxMemUsage = 1000;
    IsFile *f = open("t", 10, 3);
    ASSERT_NE(f, nullptr);
    startFileCache(f);
    EXPECT_EQ(f->dataCache, nullptr);
    EXPECT_EQ(f->indexCache, nullptr);
    testing::FaultPlan faults;  // counts the transfers
    EXPECT_EQ(readSlot(f, 4), expectedSlot(4));
    EXPECT_EQ(readSlot(f, 4), expectedSlot(4));
    EXPECT_EQ(readNode(f, 2)[5], nodeByte(2, 5, 0));
    writeSlot(f, 4, changedSlot(4));
    EXPECT_EQ(faults.calls(Sys::pread), 3);
    EXPECT_EQ(faults.calls(Sys::pwrite), 1);
    EXPECT_EQ(fileSlot("t", 4), changedSlot(4));
}

TEST_F(CacheTest, FailedAllocationAtAnyStepLeavesNoCacheBehind) {
    isGlobalIndexCacheActive = 1;
    IsFile *f = open("t", 10, 1);
    ASSERT_NE(f, nullptr);
    testing::FaultPlan faults;
    startFileCache(f);
    ASSERT_NE(f->dataCache, nullptr);
    const int needed = faults.calls(Sys::allocate);
    EXPECT_EQ(needed, 6) << "object, set epochs, tags, way records, buffer and run buffer";
    stopFileCache(f);
    for (int failAt = 1; failAt <= needed; ++failAt) {
        faults.clear();
        faults.at(Sys::allocate, failAt, Fault::error(0));
        startFileCache(f);
        EXPECT_EQ(f->dataCache, nullptr) << "failing allocation " << failAt;
        EXPECT_EQ(cacheMemoryCharged(), chargedBefore);
    }
}

TEST_F(CacheTest, WriteBackKeepsFiftyChangedSlotsOutOfTheFileUntilWrittenBack) {
    IsFile *f = writeBackHandle(50);
    ASSERT_NE(f, nullptr);
    ASSERT_EQ(cacheShape(f->dataCache).sets * cacheShape(f->dataCache).ways, 64);
    testing::FaultPlan faults;  // counts the transfers
    for (int slot = 0; slot < 50; ++slot) writeSlot(f, slot, changedSlot(slot));
    EXPECT_EQ(faults.calls(Sys::pwrite), 0);
    EXPECT_EQ(f->deferState, kDeferExclusiveKept | kDeferWriteBack);
    for (int slot = 0; slot < 50; ++slot) {
        ASSERT_EQ(fileSlot("t", slot), expectedSlot(slot)) << "slot " << slot;
        EXPECT_EQ(readSlot(f, slot), changedSlot(slot)) << "slot " << slot;
    }
    EXPECT_EQ(faults.calls(Sys::pread), 0);
    EXPECT_EQ(writeBackChanges(f), 1);
    EXPECT_EQ(faults.calls(Sys::pwrite), 1) << "fifty consecutive slots leave in one write";
    for (int slot = 0; slot < 50; ++slot) EXPECT_EQ(fileSlot("t", slot), changedSlot(slot));
    EXPECT_EQ(writeBackChanges(f), 1);
    EXPECT_EQ(faults.calls(Sys::pwrite), 1) << "written-back blocks are clean";
}

// A run of write-back covers the dirty blocks that follow the first one in
// the file and stops at the first block that is not cached dirty.
TEST_F(CacheTest, WriteBackRunsStopAtTheFirstBlockThatIsNotDirty) {
    IsFile *f = writeBackHandle(50);
    ASSERT_NE(f, nullptr);
    testing::FaultPlan faults;  // counts the transfers
    EXPECT_EQ(readSlot(f, 3), expectedSlot(3));  // cached, clean
    for (const int slot : {0, 1, 2, 4, 5, 9}) writeSlot(f, slot, changedSlot(slot));
    EXPECT_EQ(writeBackChanges(f), 1);
    EXPECT_EQ(faults.calls(Sys::pwrite), 3) << "slots 0-2, 4-5 and 9";
    for (int slot = 0; slot < 12; ++slot) {
        const bool changed = slot <= 2 || slot == 4 || slot == 5 || slot == 9;
        EXPECT_EQ(fileSlot("t", slot), changed ? changedSlot(slot) : expectedSlot(slot)) << slot;
    }
}

TEST_F(CacheTest, WritesGoThroughUnlessBothWriteBackConditionsHold) {
    IsFile *f = open("t", 8, 1);
    ASSERT_NE(f, nullptr);
    startFileCache(f);
    testing::FaultPlan faults;  // counts the transfers
    f->deferState = kDeferExclusiveKept;  // write-back switched off
    writeSlot(f, 1, changedSlot(1));
    isWriteBackActive = 1;
    f->deferState = 0;  // no kept exclusive lock
    writeSlot(f, 2, changedSlot(2));
    EXPECT_EQ(faults.calls(Sys::pwrite), 2);
    EXPECT_EQ(f->deferState, 0);
    EXPECT_EQ(fileSlot("t", 1), changedSlot(1));
    EXPECT_EQ(fileSlot("t", 2), changedSlot(2));
    EXPECT_EQ(readSlot(f, 2), changedSlot(2));
    EXPECT_EQ(faults.calls(Sys::pread), 0) << "a written block is cached";
    isWriteBackActive = 0;
    EXPECT_EQ(writeBackChanges(f), 0);
}

TEST_F(CacheTest, EvictedDirtyBlockIsWrittenToItsFile) {
    IsFile *f = writeBackHandle(20, 5, 1);
    ASSERT_NE(f, nullptr);
    testing::FaultPlan faults;  // counts the transfers
    writeSlot(f, 3, changedSlot(3));
    EXPECT_EQ(faults.calls(Sys::pwrite), 0);
    EXPECT_EQ(readSlot(f, 8), expectedSlot(8));
    EXPECT_EQ(faults.calls(Sys::pwrite), 1);
    EXPECT_EQ(fileSlot("t", 3), changedSlot(3));
    EXPECT_EQ(readSlot(f, 3), changedSlot(3));
}

// Blocks held back by a kept lock were acknowledged to the caller: emptying
// the cache writes them first, and every block is then read from the file
// again.  When that write fails, the cache is left as it is.
TEST_F(CacheTest, EmptyingWritesHeldBackBlocksFirst) {
    IsFile *f = writeBackHandle(20, 5, 2);
    ASSERT_NE(f, nullptr);
    f->deferState = 0;
    ASSERT_EQ(isSetCustomLock(f, 2), 1);  // the kept exclusive lock, for real
    testing::FaultPlan faults;  // counts the transfers
    for (int slot = 0; slot < 10; ++slot) writeSlot(f, slot, changedSlot(slot));
    EXPECT_EQ(faults.calls(Sys::pwrite), 0);
    FaultRule &writes = faults.failFrom(Sys::pwrite, 1, EIO);
    clearDatFileCache(f);
    EXPECT_EQ(f->errorNumber, EIO);
    faults.drop(writes);
    EXPECT_EQ(faults.calls(Sys::pwrite), 1);
    for (int slot = 0; slot < 10; ++slot) EXPECT_EQ(readSlot(f, slot), changedSlot(slot)) << slot;
    EXPECT_EQ(faults.calls(Sys::pread), 0) << "the failed emptying left the cache as it was";
    clearDatFileCache(f);
    clearDatFileCache(f);
    EXPECT_EQ(faults.calls(Sys::pwrite), 2) << "ten consecutive slots in one write, once";
    EXPECT_EQ(writeBackChanges(f), 1);
    EXPECT_EQ(faults.calls(Sys::pwrite), 2) << "nothing dirty is left";
    for (int slot = 0; slot < 10; ++slot) EXPECT_EQ(readSlot(f, slot), changedSlot(slot)) << slot;
    EXPECT_EQ(faults.calls(Sys::pread), 10);
    EXPECT_EQ(readSlot(f, 9), changedSlot(9));
    EXPECT_EQ(faults.calls(Sys::pread), 10) << "a block read twice costs one read";
    EXPECT_EQ(isSetCustomLock(f, 0), 1);
}

TEST_F(CacheTest, GlobalIndexCacheKeepsTwoHandlesBlocksApart) {
    isGlobalIndexCacheActive = 1;
    isGlobalIndexCacheLines = 4;
    isGlobalIndexCacheAssociativity = 2;
    startGlobalIndexCache();
    ASSERT_NE(globalIndexCache(), nullptr);
    EXPECT_EQ(cacheShape(globalIndexCache()).blockSize, 4096);
    IsFile *a = open("a", 2, 3, 0);
    IsFile *b = open("b", 2, 3, 100);
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    startFileCache(a);
    startFileCache(b);
    EXPECT_EQ(a->indexCache, nullptr);
    testing::FaultPlan faults;  // counts the transfers
    EXPECT_EQ(readNode(a, 2)[0], nodeByte(2, 0, 0));
    EXPECT_EQ(readNode(b, 2)[0], nodeByte(2, 0, 100));
    EXPECT_EQ(readNode(a, 2)[0], nodeByte(2, 0, 0));
    EXPECT_EQ(readNode(b, 2)[0], nodeByte(2, 0, 100));
    EXPECT_EQ(faults.calls(Sys::pread), 2);
    clearGlobalIndexCache(a);
    readNode(b, 2);
    EXPECT_EQ(faults.calls(Sys::pread), 2) << "b's entries stay";
    readNode(a, 2);
    EXPECT_EQ(faults.calls(Sys::pread), 3) << "a's entries were dropped";
}

// A write-back run in the global index cache takes only blocks of the
// handle it writes for: another file's dirty block that follows it in block
// number stays where it is.
TEST_F(CacheTest, GlobalWriteBackRunsKeepToTheirOwnersFile) {
    isWriteBackActive = 1;
    isGlobalIndexCacheActive = 1;
    isGlobalIndexCacheLines = 4;
    isGlobalIndexCacheAssociativity = 2;
    startGlobalIndexCache();
    IsFile *a = open("a", 2, 5, 0);
    IsFile *b = open("b", 2, 5, 100);
    ASSERT_TRUE(a != nullptr && b != nullptr);
    startFileCache(a);
    startFileCache(b);
    a->deferState = b->deferState = kDeferExclusiveKept;
    const std::vector<uint8_t> ofA(kNode, 0xA1), ofB(kNode, 0xB2);
    auto writeNode = [&](IsFile *f, int block, const std::vector<uint8_t> &bytes) {
        return testing::inCall(f, kAccessAny, [&] {
            return cacheWrite(f, kKindIndex, bytes.data(), kNode, int64_t{block} * kNode);
        });
    };
    ASSERT_EQ(writeNode(a, 2, ofA), 1);
    ASSERT_EQ(writeNode(b, 3, ofB), 1);
    const auto fileB = testing::readFile(dir.file("b") + ".wox");
    EXPECT_EQ(writeBackChanges(a), 1);
    const auto fileA = testing::readFile(dir.file("a") + ".wox");
    EXPECT_TRUE(std::equal(ofA.begin(), ofA.end(), fileA.begin() + 2 * kNode));
    EXPECT_EQ(fileA[size_t(3 * kNode)], nodeByte(3, 0, 0)) << "b's block 3 is not a's";
    EXPECT_EQ(testing::readFile(dir.file("b") + ".wox"), fileB);
    EXPECT_EQ(writeBackChanges(b), 1);
    const auto laterB = testing::readFile(dir.file("b") + ".wox");
    EXPECT_TRUE(std::equal(ofB.begin(), ofB.end(), laterB.begin() + 3 * kNode));
    a->deferState = b->deferState = 0;
}

TEST_F(CacheTest, GlobalIndexCacheSeparatesTwoHandlesOnOneFile) {
    isGlobalIndexCacheActive = 1;
    startGlobalIndexCache();
    IsFile *a = open("a", 2, 3);
    IsFile *b = reopen("a");
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    testing::FaultPlan faults;  // counts the transfers
    readNode(a, 1);
    readNode(b, 1);
    EXPECT_EQ(faults.calls(Sys::pread), 2);
    stopFileCache(a);  // drops a's entries: a closed handle is no owner
    readNode(b, 1);
    EXPECT_EQ(faults.calls(Sys::pread), 2);
}

TEST_F(CacheTest, TwoReadsOfOneSlotMoveTheCountersBySlots) {
    IsFile *f = open("t", 5, 1);
    ASSERT_NE(f, nullptr);
    startFileCache(f);
    uint32_t before[4][2];
    getIsamProfileData(before[0], before[1], before[2], before[3]);
    readSlot(f, 3);
    readSlot(f, 3);
    uint32_t after[4][2];
    getIsamProfileData(after[0], after[1], after[2], after[3]);
    auto grew = [&](int i) {
        const uint64_t from = before[i][0] | uint64_t{before[i][1]} << 32;
        const uint64_t to = after[i][0] | uint64_t{after[i][1]} << 32;
        return to - from;
    };
    EXPECT_EQ(grew(0), uint64_t{2 * kSlot});
    EXPECT_EQ(grew(1), uint64_t{kSlot});
    EXPECT_EQ(grew(2), uint64_t{2 * kSlot});
}

TEST_F(CacheTest, ShortFillRaises105WithTheReadCodeOfTheKind) {
    IsFile *f = open("t", 2, 2);
    ASSERT_NE(f, nullptr);
    startFileCache(f);
    std::vector<uint8_t> slot(kSlot);
    EXPECT_EQ(testing::inCall(f, kAccessRead,
                              [&] { return cacheRead(f, kKindData, slot.data(), kSlot, 5 * kSlot); }),
              0);
    EXPECT_EQ(f->errorNumber, 105);
    EXPECT_EQ(f->ioError, 66);
    std::vector<uint8_t> node(kNode);
    EXPECT_EQ(testing::inCall(f, kAccessRead,
                              [&] { return cacheRead(f, kKindIndex, node.data(), kNode, 3 * kNode); }),
              0);
    EXPECT_EQ(f->errorNumber, 105);
    EXPECT_EQ(f->ioError, 65);
    // The failed fill left nothing valid behind: the file, once long enough,
    // is read again.
    lay("t", 6, 1);
    EXPECT_EQ(readSlot(f, 5), expectedSlot(5));
}

// Called by the host between calls, a failed write-back is an error of the
// handle like any other: 0, the error stored, no report of a crash, and the
// blocks of the failed write (the one that started the run and those that
// came along) stay dirty for the next attempt.
TEST_F(CacheTest, AFailedWriteBackOutsideACallKeepsItsBlocksDirty) {
    isWriteBackActive = 1;
    IsFile *f = open("t", 20, 1);
    ASSERT_NE(f, nullptr);
    startFileCache(f);
    ASSERT_EQ(isSetCustomLock(f, 2), 1);  // the kept exclusive lock, for real
    for (int slot = 0; slot < 10; ++slot) writeSlot(f, slot, changedSlot(slot));
    testing::FatalCapture fatal;
    testing::FaultPlan faults;  // counts the transfers
    FaultRule &writes = faults.failFrom(Sys::pwrite, 1, EIO);
    int result = -1;
    EXPECT_NO_THROW(result = writeBackChanges(f));
    EXPECT_EQ(result, 0);
    EXPECT_EQ(faults.calls(Sys::pwrite), 1);
    EXPECT_EQ(f->errorNumber, EIO);
    EXPECT_EQ(f->ioError, kIoWrite + kKindData);
    EXPECT_TRUE(fatal.texts().empty());
    for (int slot = 0; slot < 10; ++slot) EXPECT_EQ(fileSlot("t", slot), expectedSlot(slot)) << slot;
    faults.drop(writes);
    EXPECT_EQ(writeBackChanges(f), 1);
    EXPECT_EQ(faults.calls(Sys::pwrite), 2) << "slots 0 to 9 in one write";
    for (int slot = 0; slot < 10; ++slot) EXPECT_EQ(fileSlot("t", slot), changedSlot(slot)) << slot;
    EXPECT_EQ(isSetCustomLock(f, 0), 1);
    EXPECT_EQ(faults.calls(Sys::pwrite), 2) << "no block is left for the end of the kept lock";
}

TEST_F(CacheTest, AccessesWithoutAHandleGoStraightToTheFileUnreported) {
    IsFile *f = open("t", 4, 1);
    ASSERT_NE(f, nullptr);
    startFileCache(f);
    ioCallback = recordIo;
    testing::FaultPlan faults;  // counts the transfers
    std::vector<uint8_t> slot(kSlot);
    EXPECT_EQ(cacheRead(nullptr, f->dataFd, slot.data(), kSlot, 2 * kSlot), 1);
    EXPECT_EQ(cacheRead(nullptr, f->dataFd, slot.data(), kSlot, 2 * kSlot), 1);
    EXPECT_EQ(slot, expectedSlot(2));
    EXPECT_EQ(cacheRead(nullptr, f->dataFd, slot.data(), kSlot, 40 * kSlot), 0);
    EXPECT_EQ(cacheWrite(nullptr, f->dataFd, changedSlot(2).data(), kSlot, 2 * kSlot), 1);
    EXPECT_EQ(faults.calls(Sys::pread), 3);
    EXPECT_EQ(faults.calls(Sys::pwrite), 1);
    EXPECT_TRUE(ioReports.empty());
}

TEST_F(CacheTest, ClearingEmptiesTheHandlesCaches) {
    IsFile *f = open("t", 4, 3);
    ASSERT_NE(f, nullptr);
    startFileCache(f);
    testing::FaultPlan faults;  // counts the transfers
    readSlot(f, 1);
    readNode(f, 1);
    clearDatFileCache(f);
    readSlot(f, 1);
    readNode(f, 1);
    EXPECT_EQ(faults.calls(Sys::pread), 3) << "clearDatFileCache keeps the index cache";
    clearFileCache(f);
    readSlot(f, 1);
    readNode(f, 1);
    EXPECT_EQ(faults.calls(Sys::pread), 5);
}

}  // namespace
}  // namespace wisam
