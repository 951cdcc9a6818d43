// The handle table: entries, growth, file groups, registration rules.
#include <gtest/gtest.h>
#include <fcntl.h>

#include <cerrno>
#include <vector>

#include "frame/ishandles.h"
#include "support/testing.h"
#include "wisam.h"

namespace wisam {
namespace {

bool descriptorOpen(int fd) { return fd >= 0 && ::fcntl(fd, F_GETFD) != -1; }

constexpr uint32_t kReadWrite = 2 | kModeManualLock;

class HandleTable : public ::testing::Test {
protected:
    void TearDown() override { isCleanUp(); }
    testing::TempDir dir;
};

TEST_F(HandleTable, SameNameSharesDescriptorsAndTheLastCloseClosesThem) {
    testing::layDownFiles(dir.file("t"), 8);
    IsFile *a = testing::openHandle(dir.name("t"), kReadWrite);
    IsFile *b = testing::openHandle(dir.name("t"), kReadWrite);
    ASSERT_TRUE(a && b);
    EXPECT_EQ(a->indexFd, b->indexFd);
    EXPECT_EQ(a->dataFd, b->dataFd);
    EXPECT_EQ(a->lockFd, b->lockFd);
    EXPECT_EQ(groupToken(a), groupToken(b));
    EXPECT_NE(a->tableSlot, b->tableSlot);
    const int indexFd = b->indexFd, dataFd = b->dataFd, lockFd = b->lockFd;

    testing::closeTestHandle(a);
    EXPECT_FALSE(isKnownHandle(a));
    EXPECT_TRUE(descriptorOpen(indexFd) && descriptorOpen(dataFd) && descriptorOpen(lockFd));
    testing::closeTestHandle(b);
    EXPECT_FALSE(descriptorOpen(indexFd));
    EXPECT_FALSE(descriptorOpen(dataFd));
    EXPECT_FALSE(descriptorOpen(lockFd));
}

TEST_F(HandleTable, OtherNamesGetTheirOwnGroup) {
    testing::layDownFiles(dir.file("x"), 8);
    testing::layDownFiles(dir.file("y"), 0);
    IsFile *x = testing::openHandle(dir.name("x"), kReadWrite);
    IsFile *y = testing::openHandle(dir.name("y"), kReadWrite);
    ASSERT_TRUE(x && y);
    EXPECT_NE(groupToken(x), groupToken(y));
    EXPECT_NE(x->indexFd, y->indexFd);
    EXPECT_EQ(y->dataFd, -1) << "record length 0: no data file";
    EXPECT_TRUE(testing::fileExists(dir.file("y.lck")));
}

TEST_F(HandleTable, GrowsByTenAndReusesTheFirstFreeEntry) {
    testing::layDownFiles(dir.file("g"), 4);
    std::vector<IsFile *> open;
    for (int i = 0; i < 10; ++i) open.push_back(testing::openHandle(dir.name("g"), kReadWrite));
    EXPECT_EQ(handleTableCapacity(), 10);
    open.push_back(testing::openHandle(dir.name("g"), kReadWrite));
    EXPECT_EQ(handleTableCapacity(), 20);
    EXPECT_EQ(open[10]->tableSlot, 11);
    testing::closeTestHandle(open[3]);
    IsFile *again = testing::openHandle(dir.name("g"), kReadWrite);
    EXPECT_EQ(again->tableSlot, 4) << "the first free entry from the start";
    EXPECT_EQ(handleTableCapacity(), 20);
}

TEST_F(HandleTable, ExclusiveOpenerAndLockingOpenerExcludeEachOther) {
    testing::layDownFiles(dir.file("e"), 4);
    IsFile *plain = testing::openHandle(dir.name("e"), kReadWrite);
    ASSERT_NE(plain, nullptr);
    int error = 0;
    EXPECT_EQ(testing::tryOpenHandle(dir.name("e"), 2 | kModeExclusive, error), nullptr);
    EXPECT_EQ(error, 113);
    EXPECT_TRUE(isKnownHandle(plain));
    IsFile *reader = testing::tryOpenHandle(dir.name("e"), kModeNoLocking, error);
    EXPECT_NE(reader, nullptr) << "a non-locking reader is not excluded";
    testing::closeTestHandle(plain);
    testing::closeTestHandle(reader);

    IsFile *exclusive = testing::openHandle(dir.name("e"), 2 | kModeExclusive);
    ASSERT_NE(exclusive, nullptr);
    EXPECT_EQ(testing::tryOpenHandle(dir.name("e"), kReadWrite, error), nullptr);
    EXPECT_EQ(error, 113);
    IsFile *quiet = testing::tryOpenHandle(dir.name("e"), kModeNoLocking, error);
    EXPECT_NE(quiet, nullptr);
}

TEST_F(HandleTable, FailedRegistrationLeavesNothingBehind) {
    errno = 0;
    int error = 0;
    EXPECT_EQ(testing::tryOpenHandle(dir.name("missing"), kReadWrite, error), nullptr);
    EXPECT_EQ(error, ENOENT);
    EXPECT_EQ(isErrno(nullptr), ENOENT);
    for (int32_t i = 0; i < handleTableCapacity(); ++i) {
        EXPECT_EQ(handleEntry(i).file, nullptr);
        EXPECT_EQ(handleEntry(i).token, nullptr);
    }
}

TEST_F(HandleTable, NamesCompareCaseSensitively) {
    testing::layDownFiles(dir.file("n"), 4);
    testing::layDownFiles(dir.file("N"), 4);
    IsFile *lower = testing::openHandle(dir.name("n"), kReadWrite);
    IsFile *upper = testing::openHandle(dir.name("N"), kReadWrite);
    EXPECT_NE(groupToken(lower), groupToken(upper));
}

TEST_F(HandleTable, CleanUpClosesEveryHandleAndEmptiesTheTable) {
    testing::layDownFiles(dir.file("c"), 4);
    IsFile *a = testing::openHandle(dir.name("c"), kReadWrite);
    IsFile *b = testing::openHandle(dir.name("c"), kReadWrite);
    const int fd = a->indexFd;
    (void)b;
    EXPECT_EQ(isCleanUp(), 1);
    EXPECT_EQ(handleTableCapacity(), 0);
    EXPECT_FALSE(isKnownHandle(a));
    EXPECT_FALSE(descriptorOpen(fd));
    EXPECT_EQ(isCleanUp(), 1);
}

}  // namespace
}  // namespace wisam
