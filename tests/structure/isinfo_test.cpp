// The information calls on handles of every access mode.
#include <gtest/gtest.h>

#include <cstring>

#include "frame/iscall.h"
#include "index/isfree.h"
#include "structure/isdict.h"
#include "support/testing.h"
#include "wisam.h"

namespace wisam {
namespace {

using testing::keyAt;

class Info : public ::testing::Test {
protected:
    void TearDown() override { isCleanUp(); }
    IsFile *build(const std::string &base, KeyDesc key, int mode, int maxLength = 0) {
        IsFile *f = isBuild(dir.name(base).c_str(), 20, maxLength, &key, mode);
        EXPECT_NE(f, nullptr) << isErrno(nullptr);
        return f;
    }
    testing::TempDir dir;
};

TEST_F(Info, NewFileSummary) {
    IsFile *f = build("a", keyAt(0, 4, ISTYPE_LONG), ISINOUT);
    IsamInfo info{};
    ASSERT_EQ(isIsamInfo(f, &info), 1);
    EXPECT_EQ(info.indexCount, 1);
    EXPECT_EQ(info.recordSize, 20);
    EXPECT_EQ(info.blockSize, 4096);
    EXPECT_EQ(info.recordCount, 0);
    IsFile *v = build("v", keyAt(0, 4, ISTYPE_LONG), ISINOUT | ISVARLEN, 500);
    ASSERT_EQ(isIsamInfo(v, &info), 1);
    EXPECT_EQ(info.blockSize, 1024);
    EXPECT_EQ(info.recordSize, 500);
    EXPECT_EQ(isReclen(v), 20) << "the fixed part";
    EXPECT_EQ(isIsamInfo(f, nullptr), 0);
    EXPECT_EQ(isErrno(f), 102);
}

TEST_F(Info, RecordCountSubtractsTheDataFreeList) {
    IsFile *f = build("c", keyAt(0, 4, ISTYPE_LONG), ISINOUT);
    ASSERT_EQ(testing::inCall(f, kAccessChange, [&] {
                  for (int i = 0; i < 3; ++i) freeListTake(f, kFreeListData);
                  freeListPut(f, kFreeListData, 2);
                  freeListFlush(f);
                  writeDictionary(f);
                  return 1;
              }),
              1);
    IsamInfo info{};
    ASSERT_EQ(isIndexInfo(f, &info, 0), 1);
    EXPECT_EQ(info.recordCount, 2);
    EXPECT_EQ(f->dataAlloc.state, kFreeListUnloaded) << "the count walked the chain";
}

TEST_F(Info, AnyAccessModeIsAccepted) {
    IsFile *built = build("o", keyAt(2, 6, ISTYPE_CHAR), ISINOUT);
    ASSERT_EQ(isClose(built), 1);
    IsFile *out = isOpen(dir.name("o").c_str(), ISOUTPUT);
    IsFile *in = isOpen(dir.name("o").c_str(), ISINPUT);
    ASSERT_TRUE(out && in);
    KeyDesc key{};
    EXPECT_EQ(isIndexInfo(out, &key, 1), 1);
    EXPECT_EQ(key.partCount, 1);
    EXPECT_EQ(key.parts[0].start, 2);
    EXPECT_EQ(key.keyLength, 6);
    EXPECT_EQ(key.rootNode, 3u);
    IsamInfo info{};
    EXPECT_EQ(isIsamInfo(in, &info), 1);
    EXPECT_EQ(isIsamInfo(out, &info), 1);
    EXPECT_EQ(isIndexInfo(out, &key, 2), 0);
    EXPECT_EQ(isErrno(out), 102);
    EXPECT_EQ(isIndexInfo(in, &key, -1), 0);
    EXPECT_EQ(isErrno(in), 102);
}

TEST_F(Info, FileWithoutPrimaryKeyNumbersItsZeroPartEntryFirst) {
    IsFile *f = build("np", KeyDesc{}, ISINOUT);
    IsamInfo info{};
    ASSERT_EQ(isIsamInfo(f, &info), 1);
    EXPECT_EQ(info.indexCount, 1);
    KeyDesc key;
    std::memset(&key, 0x5A, sizeof key);
    ASSERT_EQ(isIndexInfo(f, &key, 1), 1);
    EXPECT_EQ(key.partCount, 0);
    EXPECT_EQ(key.flags, 0x5A5A) << "the rest of the buffer is left as it was";
    EXPECT_EQ(isIndexInfo(f, &key, 2), 0) << "no real index yet";
    EXPECT_EQ(isErrno(f), 102);
}

}  // namespace
}  // namespace wisam
