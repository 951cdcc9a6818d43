// Adding and dropping indexes on files with records.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "frame/isfile.h"
#include "index/isfree.h"
#include "support/lockprobe.h"
#include "support/testing.h"
#include "wisam.h"

namespace wisam {
namespace {

using testing::keyAt;

constexpr int kLength = 16;

class Indexes : public ::testing::Test {
protected:
    void SetUp() override {
        KeyDesc id = keyAt(0, 4, ISTYPE_LONG);
        f = isBuild(dir.name("i").c_str(), kLength, 0, &id, ISINOUT);
        ASSERT_NE(f, nullptr);
    }
    void TearDown() override { isCleanUp(); }
    void write(int32_t id, int32_t group, const char *name = "name") {
        unsigned char record[kLength] = {};
        stLong(id, record);
        stLong(group, record + 4);
        stChar(name, record + 8, 8);
        ASSERT_EQ(isWrite(f, record), 1) << isErrno(f);
    }
    // The values of the long at `at`, read in the order of index `index`.
    std::vector<int32_t> walk(int index, int at) {
        std::vector<int32_t> seen;
        unsigned char record[kLength];
        EXPECT_EQ(isIndex(f, index), 1);
        for (int mode = modeFirst; isRead(f, record, mode); mode = modeNext) seen.push_back(ldLong(record + at));
        EXPECT_EQ(isErrno(f), EENDFILE);
        return seen;
    }
    testing::TempDir dir;
    IsFile *f = nullptr;
};

TEST_F(Indexes, AddedIndexIsBuiltFromTheRecordsInUse) {
    for (int i = 0; i < 300; ++i) write(i, (i * 7) % 50);
    KeyDesc group = keyAt(4, 4, ISTYPE_LONG, ISKEY_DUPS);
    ASSERT_EQ(isAddIndex(f, &group), 1) << isErrno(f);
    EXPECT_NE(group.rootNode, 0u);
    const auto groups = walk(2, 4);
    ASSERT_EQ(groups.size(), 300u);
    EXPECT_TRUE(std::is_sorted(groups.begin(), groups.end()));
    ASSERT_EQ(isClose(f), 1);
    f = isOpen(dir.name("i").c_str(), ISINOUT);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(f->keyCount, 2);
    EXPECT_EQ(walk(2, 4), groups) << "the index survives a reopen";
}

TEST_F(Indexes, RefusalsChangeNothing) {
    write(1, 5);
    write(2, 5);
    const auto before = testing::readFile(dir.file("i.wox"));
    KeyDesc same = keyAt(0, 4, ISTYPE_LONG);
    EXPECT_EQ(isAddIndex(f, &same), 0);
    EXPECT_EQ(isErrno(f), 108);
    KeyDesc none{};
    EXPECT_EQ(isAddIndex(f, &none), 0);
    EXPECT_EQ(isErrno(f), 109);
    KeyDesc unique = keyAt(4, 4, ISTYPE_LONG);
    EXPECT_EQ(isAddIndex(f, &unique), 0);
    EXPECT_EQ(isErrno(f), 100) << "two records share group 5";
    EXPECT_EQ(f->keyCount, 1);
    EXPECT_EQ(testing::readFile(dir.file("i.wox")), before) << "nothing written";
    KeyDesc primary = keyAt(0, 4, ISTYPE_LONG);
    EXPECT_EQ(isDelIndex(f, &primary), 0);
    EXPECT_EQ(isErrno(f), 109) << "the only index";
}

TEST_F(Indexes, ThirtySecondIndexIsRefused) {
    for (int16_t i = 1; i <= 30; ++i) {
        KeyDesc key = keyAt(static_cast<int16_t>(i % 16), 1, ISTYPE_CHAR, ISKEY_DUPS);
        key.parts[0].type = static_cast<uint16_t>(i / 16 == 0 ? ISTYPE_CHAR : ISTYPE_BYTES);
        ASSERT_EQ(isAddIndex(f, &key), 1) << i << " " << isErrno(f);
    }
    KeyDesc more = keyAt(2, 2, ISTYPE_INT, ISKEY_DUPS);
    EXPECT_EQ(isAddIndex(f, &more), 0);
    EXPECT_EQ(isErrno(f), 103);
}

TEST_F(Indexes, DroppingRenumbersAndFreesEveryNode) {
    for (int i = 0; i < 2000; ++i) write(i, i % 10);
    KeyDesc group = keyAt(4, 4, ISTYPE_LONG, ISKEY_DUPS);
    KeyDesc name = keyAt(8, 8, ISTYPE_CHAR, ISKEY_DUPS);
    ASSERT_EQ(isAddIndex(f, &group), 1);
    ASSERT_EQ(isAddIndex(f, &name), 1);
    const uint32_t groupRoot = group.rootNode;
    int32_t freeBefore = 0;
    ASSERT_EQ(testing::inCall(f, kAccessRead, [&] { return freeBefore = freeListCount(f, kFreeListIndex), 1; }), 1);
    EXPECT_EQ(freeBefore, 0);
    ASSERT_EQ(isDelIndex(f, &group), 1) << isErrno(f);
    EXPECT_EQ(f->keyCount, 2);
    KeyDesc info{};
    ASSERT_EQ(isIndexInfo(f, &info, 2), 1);
    EXPECT_EQ(info.parts[0].start, 8) << "the name index is number 2 now";
    EXPECT_EQ(f->indexAlloc.head != 0, true);
    int32_t freed = 0;
    ASSERT_EQ(testing::inCall(f, kAccessRead, [&] { return freed = freeListCount(f, kFreeListIndex), 1; }), 1);
    EXPECT_GT(freed, 2) << "a 2000-key tree has several nodes";
    KeyDesc again = keyAt(12, 4, ISTYPE_LONG, ISKEY_DUPS);
    ASSERT_EQ(isAddIndex(f, &again), 1);
    EXPECT_EQ(again.rootNode, groupRoot) << "the root's number comes back first";
    EXPECT_EQ(walk(3, 12).size(), 2000u);
}

TEST_F(Indexes, AddAndDropNeedTheFileToThemselves) {
    IsFile *other = isOpen(dir.name("i").c_str(), ISINPUT);
    ASSERT_NE(other, nullptr);
    KeyDesc group = keyAt(4, 4, ISTYPE_LONG, ISKEY_DUPS);
    EXPECT_EQ(isAddIndex(f, &group), 0) << "another handle of this process";
    EXPECT_EQ(isErrno(f), 113);
    ASSERT_EQ(isClose(other), 1);

    testing::Signal opened, done;
    const int child = testing::startChild([&] {
        IsFile *g = isOpen(testing::spelling(dir, "i", 1).c_str(), ISINPUT);
        if (g == nullptr) return 1;
        opened.post();
        if (!done.wait(testing::kLongWait)) return 2;
        return isClose(g) == 1 ? 0 : 3;
    });
    ASSERT_TRUE(opened.wait(testing::kLongWait));
    const auto before = testing::readFile(dir.file("i.wox"));
    EXPECT_EQ(isAddIndex(f, &group), 0) << "another process";
    EXPECT_EQ(isErrno(f), 113);
    EXPECT_NE(f->lockState & kLockOpenShared, 0) << "the presence byte is back";
    EXPECT_EQ(testing::readFile(dir.file("i.wox")), before);
    done.post();
    EXPECT_EQ(testing::waitChild(child), 0);
    EXPECT_EQ(isAddIndex(f, &group), 1);
}

}  // namespace
}  // namespace wisam
