// The dictionary: layout of a new file, reading, writing, deferral, user info.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "frame/iscall.h"
#include "structure/isdict.h"
#include "structure/isencode.h"
#include "support/testing.h"
#include "wisam.h"

namespace wisam {
namespace {

constexpr uint32_t kReadWrite = 2 | kModeManualLock;

class Dictionary : public ::testing::Test {
protected:
    void SetUp() override {
        testing::layDownFiles(dir.file("d"), 20);
        f = testing::openHandle(dir.name("d"), kReadWrite);
        ASSERT_NE(f, nullptr);
    }
    void TearDown() override { testing::closeTestHandle(f); }
    std::vector<uint8_t> firstBytes(size_t n) {
        auto bytes = testing::readFile(dir.file("d.wox"));
        bytes.resize(n);
        return bytes;
    }
    // Lays out block 1 as a build of this handle does: two blocks taken for
    // the key description and the root, then the first write.
    void buildLike(int32_t maxRecordLength) {
        f->nodeSize = maxRecordLength != 0 ? 1024 : 4096;
        f->dupWidth = 4;
        f->recordLength = 20;
        f->maxRecordLength = maxRecordLength;
        createDictionary(f);
        f->indexAlloc.highest = 3;
        f->keyCount = 1;
        f->keyDescNode = 2;
        storeKeyCount(f, f->keyCount);
        writeDictionary(f);
    }
    testing::TempDir dir;
    IsFile *f = nullptr;
};

TEST_F(Dictionary, NewFileWithTwentyByteRecordsAndOneKeyIsByteExact) {
    buildLike(0);
    EXPECT_EQ(firstBytes(80), testing::newFileDictionary());
    EXPECT_EQ(f->changeCount, 1u);
}

TEST_F(Dictionary, VariableLengthFileHas1023BlockSizeAndItsSpaceTableAfterByte80) {
    f->mode |= kModeVarLength | kModePacked;
    buildLike(3000);
    auto bytes = firstBytes(100);
    EXPECT_EQ(bytes[6], 0x03);
    EXPECT_EQ(bytes[7], 0xFF);
    EXPECT_EQ(ld2(&bytes[59]), 3000);
    EXPECT_EQ(ld2(&bytes[74]), kFeaturePacked);
    std::memcpy(&bytes[64], "0123456789", 10);  // user info untouched by the heads
    st4(f->dictionary + kDictSpaceTable + 4, 77);  // head of list 1
    writeDictionary(f);
    bytes = firstBytes(100);
    EXPECT_EQ(ld4(&bytes[84]), 77);
    EXPECT_EQ(std::memcmp(&bytes[76], "kjsk", 4), 0);
}

TEST_F(Dictionary, FixedLengthWriteTouchesOnlyTheFirst80Bytes) {
    buildLike(0);
    auto bytes = testing::readFile(dir.file("d.wox"));
    bytes[80] = 0x5A;
    testing::writeFile(dir.file("d.wox"), bytes);
    writeDictionary(f);
    EXPECT_EQ(testing::readFile(dir.file("d.wox"))[80], 0x5A);
}

TEST_F(Dictionary, EveryWriteMovesTheCounterButTheQuietOneDoesNot) {
    buildLike(0);
    f->uniqueId = 500;
    writeDictionary(f);
    EXPECT_EQ(ld4(&firstBytes(80)[41]), 2);
    writeDictionaryQuiet(f);
    auto bytes = firstBytes(80);
    EXPECT_EQ(ld4(&bytes[41]), 2);
    EXPECT_EQ(ld4(&bytes[45]), 500);
}

TEST_F(Dictionary, WriteIsDeferredWhileAnExclusiveLockIsKept) {
    buildLike(0);
    f->deferState |= kDeferExclusiveKept;
    f->dataAlloc.highest = 9;
    writeDictionary(f);
    EXPECT_NE(f->deferState & kDeferDictionary, 0);
    EXPECT_EQ(ld4(&firstBytes(80)[33]), 0) << "nothing reached the file yet";
    f->deferState &= static_cast<uint8_t>(~kDeferExclusiveKept);
    writeDictionary(f);
    EXPECT_EQ(f->deferState & kDeferDictionary, 0);
    EXPECT_EQ(ld4(&firstBytes(80)[33]), 9);
}

TEST_F(Dictionary, FeatureFlagsApplyOnlyWithTheMarker) {
    auto bytes = testing::readFile(dir.file("d.wox"));
    st2(&bytes[74], kFeatureIndexMask | kFeaturePrecious | kFeaturePacked);
    testing::writeFile(dir.file("d.wox"), bytes);
    testing::layDownFiles(dir.file("old"), 20);
    auto old = bytes;
    std::memset(&old[76], 0, 4);
    testing::writeFile(dir.file("old.wox"), old);

    testing::closeTestHandle(f);
    f = testing::openHandle(dir.name("d"), kReadWrite);
    EXPECT_NE(f->mode & kModeIndexMask, 0u);
    EXPECT_NE(f->state & kStatePrecious, 0);
    EXPECT_EQ(f->mode & (kModeVarLength | kModePacked), kModeVarLength | kModePacked);

    IsFile *g = testing::openHandle(dir.name("old"), kReadWrite);
    EXPECT_EQ(g->mode & (kModeIndexMask | kModeVarLength), 0u);
    EXPECT_EQ(g->state & kStatePrecious, 0);
    testing::closeTestHandle(g);
}

TEST_F(Dictionary, ReadTakesFixedFieldsOnceAndCountersEveryTime) {
    auto bytes = testing::readFile(dir.file("d.wox"));
    st2(&bytes[13], 99);
    st4(&bytes[41], 42);
    st4(&bytes[29], 6);
    testing::writeFile(dir.file("d.wox"), bytes);
    readDictionary(f);
    EXPECT_EQ(f->recordLength, 20) << "fixed while the file is open";
    EXPECT_EQ(f->changeCount, 42u);
    EXPECT_EQ(f->indexAlloc.head, 6u);
}

TEST_F(Dictionary, NegativeRecordLengthIsCorrupt) {
    testing::layDownFiles(dir.file("neg"), 20);
    auto bytes = testing::readFile(dir.file("neg.wox"));
    st2(&bytes[13], -20);
    testing::writeFile(dir.file("neg.wox"), bytes);
    int error = 0;
    EXPECT_EQ(testing::tryOpenHandle(dir.name("neg"), kReadWrite, error), nullptr);
    EXPECT_EQ(error, 105);
}

TEST_F(Dictionary, BlockSizeTooSmallForTheDictionaryIsCorrupt) {
    testing::layDownFiles(dir.file("bad"), 20);
    auto bytes = testing::readFile(dir.file("bad.wox"));
    st2(&bytes[6], 15);
    testing::writeFile(dir.file("bad.wox"), bytes);
    int error = 0;
    EXPECT_EQ(testing::tryOpenHandle(dir.name("bad"), kReadWrite, error), nullptr);
    EXPECT_EQ(error, 105);
}

TEST_F(Dictionary, UserInfoRoundTripsAndOtherOperationsFail) {
    const char info[10] = {'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h', 'i', 0};
    EXPECT_EQ(isUserInfo(f, 1, const_cast<char *>(info)), 1);
    EXPECT_EQ(std::memcmp(&firstBytes(80)[64], info, 10), 0);
    EXPECT_EQ(ld4(&firstBytes(80)[41]), 2) << "a user-info write is a change";
    char back[10] = {};
    EXPECT_EQ(isUserInfo(f, 0, back), 1);
    EXPECT_EQ(std::memcmp(back, info, 10), 0);
    EXPECT_EQ(isUserInfo(f, 2, back), 0);
    EXPECT_EQ(isErrno(f), 102);
    EXPECT_EQ(isUserInfo(f, 0, nullptr), 0);
    EXPECT_EQ(isErrno(f), 102);
    EXPECT_EQ(f->lockState & (kLockStateShared | kLockStateExclusive), 0);
}

TEST_F(Dictionary, UserInfoReadSeesAnotherHandlesWrite) {
    IsFile *other = testing::openHandle(dir.name("d"), kReadWrite);
    char info[10] = {'z', 'y', 'x', 'w', 'v', 'u', 't', 's', 'r', 'q'};
    ASSERT_EQ(isUserInfo(other, 1, info), 1);
    char back[10] = {};
    EXPECT_EQ(isUserInfo(f, 0, back), 1);
    EXPECT_EQ(std::memcmp(back, info, 10), 0);
    EXPECT_EQ(f->changeCount, other->changeCount);
    testing::closeTestHandle(other);
}

}  // namespace
}  // namespace wisam
