// Record slots and the slot-level exported calls.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "frame/iscall.h"
#include "records/isslot.h"
#include "system/iscache.h"
#include "system/issystem.h"
#include "structure/isencode.h"
#include "support/faults.h"
#include "support/testing.h"
#include "wisam.h"

namespace wisam {
namespace {

constexpr uint32_t kReadWrite = 2 | kModeManualLock;

class Slots : public ::testing::Test {
protected:
    void open(uint32_t extraMode) {
        testing::layDownFiles(dir.file("s"), 20);
        f = testing::openHandle(dir.name("s"), kReadWrite | extraMode);
        ASSERT_NE(f, nullptr);
        f->slotSize = slotSizeFor(f->recordLength, f->mode);
    }
    void TearDown() override {
        if (f != nullptr) testing::closeTestHandle(f);
    }
    int write(int32_t record, const std::string &text) {
        std::vector<char> bytes(20, '.');
        std::memcpy(bytes.data(), text.data(), text.size());
        return testing::inCall(f, kAccessChange, [&] {
            if (static_cast<uint32_t>(record) > f->dataAlloc.highest) f->dataAlloc.highest = static_cast<uint32_t>(record);
            writeSlot(f, bytes.data(), record);
            return 1;
        });
    }
    testing::TempDir dir;
    IsFile *f = nullptr;
};

TEST_F(Slots, LayoutOfAPlainFile) {
    open(0);
    EXPECT_EQ(f->slotSize, 21);
    ASSERT_EQ(write(1, "first"), 1);
    ASSERT_EQ(write(3, "third"), 1);
    const auto data = testing::readFile(dir.file("s.wod"));
    ASSERT_EQ(data.size(), 63u);
    EXPECT_EQ(std::string(data.begin() + 42, data.begin() + 47), "third");
    EXPECT_EQ(data[62], kSlotMarkerInUse);
    EXPECT_EQ(data[20], kSlotMarkerInUse);
    EXPECT_EQ(data[41], 0) << "slot 2 was never written";
}

TEST_F(Slots, VariableLengthWithMaskPutsTheMaskInTheLastFourBytes) {
    EXPECT_EQ(slotSizeFor(20, kModeVarLength | kModeIndexMask), 31);
    open(kModeIndexMask);
    EXPECT_EQ(f->slotSize, 25);
    f->recordMask = 0x01020304;
    ASSERT_EQ(write(1, "masked"), 1);
    const auto data = testing::readFile(dir.file("s.wod"));
    ASSERT_EQ(data.size(), 25u);
    EXPECT_EQ(ld4(&data[21]), 0x01020304);
    char record[20];
    f->recordMask = 0;
    ASSERT_EQ(isData(f, record, 1), 1);
    EXPECT_EQ(f->recordMask, 0x01020304u) << "isData loads the mask";
    EXPECT_EQ(std::string(record, 6), "masked");
}

TEST_F(Slots, DeletedAndMissingRecords) {
    open(0);
    ASSERT_EQ(write(1, "one"), 1);
    ASSERT_EQ(write(2, "two"), 1);
    ASSERT_EQ(testing::inCall(f, kAccessChange, [&] { return markDeleted(f, 2), 1; }), 1);
    EXPECT_EQ(testing::readFile(dir.file("s.wod"))[41], kSlotMarkerDeleted);
    bool deleted = false;
    ASSERT_EQ(testing::inCall(f, kAccessRead, [&] { return deleted = slotDeleted(f, 2), 1; }), 1);
    EXPECT_TRUE(deleted);
    char record[20];
    EXPECT_EQ(isData(f, record, 2), 0);
    EXPECT_EQ(isErrno(f), 111);
    EXPECT_EQ(std::string(f->status, 4), "2323");
    EXPECT_EQ(isData(f, record, 0), 0);
    EXPECT_EQ(isErrno(f), 102);
    EXPECT_EQ(isData(f, record, 3), 0);
    EXPECT_EQ(isErrno(f), 102);
    EXPECT_EQ(isData(f, record, 1), 1);
    EXPECT_EQ(f->recnum, 0) << "isData moves no position";
    EXPECT_EQ(testing::inCall(f, kAccessRead, [&] { return readSlot(f, record, 3), 1; }), 0);
    EXPECT_EQ(isErrno(f), 112);
    EXPECT_EQ(std::string(f->status, 4), "2143");
}

// With a data cache the marker goes through the cached slot: the file gets
// the same bytes as from a one-byte write, a cached slot costs no read, and
// under write-back nothing reaches the file before the write-back.
TEST_F(Slots, MarkersThroughTheDataCacheLeaveTheSameBytes) {
    const int32_t savedActive = isFileCacheActive;
    const int32_t savedWriteBack = isWriteBackActive;
    isFileCacheActive = 1;
    open(0);
    for (int32_t r = 1; r <= 4; ++r) ASSERT_EQ(write(r, "record " + std::to_string(r)), 1);
    startFileCache(f);
    ASSERT_TRUE(cacheServes(f, kKindData));
    const auto before = testing::readFile(dir.file("s.wod"));
    char record[20];
    ASSERT_EQ(isData(f, record, 2), 1);  // slot 2 now cached
    testing::FaultPlan faults;  // counts the transfers
    isWriteBackActive = 1;
    f->deferState = kDeferExclusiveKept;
    ASSERT_EQ(testing::inCall(f, kAccessChange, [&] { return markDeleted(f, 2), 1; }), 1);
    EXPECT_EQ(faults.calls(testing::Sys::pread), 0);
    EXPECT_EQ(faults.calls(testing::Sys::pwrite), 0) << "held back with the other changes";
    bool deleted = false;
    ASSERT_EQ(testing::inCall(f, kAccessRead, [&] { return deleted = slotDeleted(f, 2), 1; }), 1);
    EXPECT_TRUE(deleted);
    EXPECT_EQ(faults.calls(testing::Sys::pread), 0);
    EXPECT_EQ(writeBackChanges(f), 1);
    f->deferState = 0;
    EXPECT_EQ(faults.calls(testing::Sys::pwrite), 1);
    auto expected = before;
    expected[2 * 21 - 1] = kSlotMarkerDeleted;
    EXPECT_EQ(testing::readFile(dir.file("s.wod")), expected);
    // Record-number order skips the deleted slot without going to the file.
    ASSERT_EQ(testing::inCall(f, kAccessRead, [&] { return deleted = slotDeleted(f, 3), 1; }), 1);
    EXPECT_FALSE(deleted);
    EXPECT_EQ(faults.calls(testing::Sys::pread), 1) << "slot 3 was not cached yet";
    ASSERT_EQ(testing::inCall(f, kAccessRead, [&] { return readSlot(f, record, 3), 1; }), 1);
    EXPECT_EQ(faults.calls(testing::Sys::pread), 1);
    isWriteBackActive = savedWriteBack;
    stopFileCache(f);
    isFileCacheActive = savedActive;
}

TEST_F(Slots, ReservingRecordNumbersWritesNoSlot) {
    open(0);
    int32_t first = 0, second = 0, last = 0;
    ASSERT_EQ(isLastRec(f, &first), 1);
    ASSERT_EQ(isLastRec(f, &second), 1);
    EXPECT_EQ(first, 1);
    EXPECT_EQ(second, 2);
    ASSERT_EQ(isGetLastRec(f, &last), 1);
    EXPECT_EQ(last, 2);
    EXPECT_EQ(testing::readFile(dir.file("s.wod")).size(), 1u) << "only the byte a build writes";
    EXPECT_EQ(ld4(&testing::readFile(dir.file("s.wox"))[33]), 2);
    ASSERT_EQ(isSetLastRec(f, 7), 1);
    ASSERT_EQ(isGetLastRec(f, &last), 1);
    EXPECT_EQ(last, 7);
    EXPECT_EQ(isSetLastRec(f, -1), 0);
    EXPECT_EQ(isErrno(f), 102);
    EXPECT_EQ(isGetLastRec(f, nullptr), 0);
}

TEST_F(Slots, AnotherProcessSeesTheReservedNumber) {
    open(0);
    IsFile *other = testing::openHandle(testing::spelling(dir, "s", 1), kReadWrite);
    int32_t n = 0;
    ASSERT_EQ(isLastRec(f, &n), 1);
    int32_t seen = 0;
    ASSERT_EQ(isGetLastRec(other, &seen), 1);
    EXPECT_EQ(seen, n) << "the refresh re-reads the dictionary";
    testing::closeTestHandle(other);
}

TEST_F(Slots, ChoosingTheOrderingIndex) {
    open(0);
    f->keyCount = 2;
    EXPECT_EQ(isIndex(f, 0), 1);
    EXPECT_EQ(f->currentIndex, 2) << "record-number order";
    EXPECT_EQ(isIndex(f, 2), 1);
    EXPECT_EQ(f->currentIndex, 1);
    EXPECT_EQ(isIndex(f, 3), 0);
    EXPECT_EQ(isErrno(f), 103);
    EXPECT_EQ(isIndex(f, -1), 0);
    f->keyCount = 0;
}

TEST_F(Slots, ChangingCallsRefusedOnInputOnlyHandles) {
    testing::layDownFiles(dir.file("s"), 20);
    f = testing::openHandle(dir.name("s"), kModeManualLock);
    int32_t n = 0;
    EXPECT_EQ(isLastRec(f, &n), 0);
    EXPECT_EQ(isErrno(f), 102);
    EXPECT_EQ(std::string(f->status, 4), "9048");
}

}  // namespace
}  // namespace wisam
