// Call entry, the frame and refresh; the accessor calls.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "frame/iscall.h"
#include "lock/issession.h"
#include "structure/isencode.h"
#include "support/testing.h"
#include "wisam.h"

namespace wisam {
namespace {

class CallEntry : public ::testing::Test {
protected:
    IsFile *open(uint32_t mode) {
        IsFile *f = testing::openHandle(dir.name("c"), mode | kModeManualLock);
        handles.push_back(f);
        return f;
    }
    void SetUp() override { testing::layDownFiles(dir.file("c"), 10); }
    void TearDown() override {
        for (IsFile *f : handles) testing::closeTestHandle(f);
    }
    testing::TempDir dir;
    std::vector<IsFile *> handles;
};

TEST_F(CallEntry, NullHandleGives101InErrno) {
    errno = 0;
    EXPECT_EQ(enterCall(nullptr, kAccessRead), 0);
    EXPECT_EQ(errno, 101);
    EXPECT_EQ(isErrno(nullptr), 101);
    EXPECT_EQ(isErrio(nullptr), 0);
}

TEST_F(CallEntry, UnregisteredHandleGives105WithoutTouchingIt) {
    IsFile stranger;
    stranger.errorNumber = 42;
    errno = 0;
    EXPECT_EQ(enterCall(&stranger, kAccessAny), 0);
    EXPECT_EQ(errno, 105);
    EXPECT_EQ(std::string({isstat1, isstat2, isstat3, isstat4}), "9090");
    EXPECT_EQ(stranger.errorNumber, 42) << "an unknown pointer is never written";
    EXPECT_EQ(stranger.callAccess, 0);
    // Access 16 does not ask the table: build and open use it before
    // registration.
    EXPECT_EQ(enterCall(&stranger, kAccessUnregistered), 1);
    EXPECT_EQ(stranger.errorNumber, 0);
    EXPECT_EQ(stranger.callAccess, kAccessUnregistered);
}

TEST_F(CallEntry, ChangingAnInputOnlyHandleGives102With9048) {
    IsFile *f = open(kModeAccessInput);
    f->callAccess = 0;
    errno = 7;
    EXPECT_EQ(enterCall(f, kAccessChange), 0);
    EXPECT_EQ(isErrno(f), 102);
    EXPECT_EQ(std::string(f->status, 4), "9048");
    EXPECT_EQ(errno, 7) << "errno is left as it was";
    EXPECT_EQ(f->callAccess, 0);
    EXPECT_EQ(enterCall(f, kAccessRead), 1);
}

TEST_F(CallEntry, ReadingAnOutputOnlyHandleGives102With9047) {
    IsFile *f = open(kModeAccessOutput);
    errno = 7;
    EXPECT_EQ(enterCall(f, kAccessRead), 0);
    EXPECT_EQ(isErrno(f), 102);
    EXPECT_EQ(std::string(f->status, 4), "9047");
    EXPECT_EQ(errno, 7);
    EXPECT_EQ(enterCall(f, kAccessChange), 1);
    EXPECT_EQ(enterCall(f, kAccessAny), 1);
}

TEST_F(CallEntry, SuccessClearsTheLastErrorAndRecordsTheAccess) {
    IsFile *f = open(2);
    f->errorNumber = 111;
    f->ioError = 65;
    std::memcpy(f->status, "2323", 4);
    EXPECT_EQ(enterCall(f, kAccessChange), 1);
    EXPECT_EQ(f->errorNumber, 0);
    EXPECT_EQ(f->ioError, 0);
    EXPECT_EQ(std::string(f->status, 4), "0000");
    EXPECT_EQ(f->callAccess, kAccessChange);
}

TEST_F(CallEntry, FramedCallRefusedAtEntryNeverRunsTheWork) {
    IsFile *f = open(kModeAccessInput);
    bool ran = false;
    EXPECT_EQ(framedCall(f, kAccessChange, CallLock::exclusive, [&] { return ran = true, 1; }), 0);
    EXPECT_FALSE(ran);
    EXPECT_EQ(f->lockState & kLockStateExclusive, 0);
    IsFile *none = nullptr;
    EXPECT_EQ(framedCall(none, kAccessRead, CallLock::shared, [&] { return static_cast<IsFile *>(nullptr); }),
              nullptr);
}

TEST_F(CallEntry, FramedCallHoldsTheStateLockOnlyWhileTheWorkRuns) {
    IsFile *f = open(2);
    uint8_t during = 0;
    EXPECT_EQ(framedCall(f, kAccessChange, CallLock::exclusive, [&] { return during = f->lockState, 1; }), 1);
    EXPECT_NE(during & kLockStateExclusive, 0);
    EXPECT_EQ(f->lockState & (kLockStateExclusive | kLockStateShared), 0);
    EXPECT_EQ(framedCall(f, kAccessRead, CallLock::shared, [&] { return during = f->lockState, 1; }), 1);
    EXPECT_NE(during & kLockStateShared, 0);
    EXPECT_EQ(f->lockState & kLockStateShared, 0);
}

// Another process wrote: the change counter moved, and the refresh throws
// away what the handle had cached.
TEST_F(CallEntry, RefreshDiscardsCachedStateWhenTheChangeCounterMoved) {
    IsFile *f = open(2);
    f->indexAlloc.state = kFreeListClean;
    f->dataAlloc.state = kFreeListDirty;
    EXPECT_EQ(framedCall(f, kAccessRead, CallLock::shared, [] { return 1; }), 1);
    EXPECT_EQ(f->indexAlloc.state, kFreeListClean) << "unchanged file: nothing dropped";

    auto index = testing::readFile(dir.file("c.wox"));
    st4(&index[41], 2);
    st4(&index[25], 17);
    testing::writeFile(dir.file("c.wox"), index);
    EXPECT_EQ(framedCall(f, kAccessRead, CallLock::shared, [] { return 1; }), 1);
    EXPECT_EQ(f->changeCount, 2u);
    EXPECT_EQ(f->dataAlloc.head, 17u);
    EXPECT_EQ(f->indexAlloc.state, kFreeListUnloaded);
    EXPECT_EQ(f->dataAlloc.state, kFreeListUnloaded);
    EXPECT_EQ(f->spaceTableStale, 1);
}

TEST_F(CallEntry, RefreshIsSkippedForExclusiveHandlesAndKeptLocks) {
    IsFile *f = open(2 | kModeExclusive);
    auto index = testing::readFile(dir.file("c.wox"));
    st4(&index[41], 9);
    testing::writeFile(dir.file("c.wox"), index);
    refreshFile(f);
    EXPECT_EQ(f->changeCount, 1u);
    f->mode &= ~kModeExclusive;
    f->deferState = kDeferSharedKept;
    refreshFile(f);
    EXPECT_EQ(f->changeCount, 1u);
    f->deferState = 0;
    refreshFile(f);
    EXPECT_EQ(f->changeCount, 9u);
    f->mode |= kModeExclusive;
}

TEST_F(CallEntry, AccessorsReadAndWriteTheHandle) {
    IsFile *f = open(2);
    EXPECT_EQ(isSetrec(f, 1234), 1);
    EXPECT_EQ(isRecnum(f), 1234);
    EXPECT_EQ(isSetlen(f, 40000), 1);
    EXPECT_EQ(isReclen(f), 40000 - 65536) << "kept as a 16-bit signed value";
    EXPECT_EQ(isSetlen(f, -1), 1);
    EXPECT_EQ(isReclen(f), -1);
    EXPECT_EQ(isThreaded(), 1);
}

TEST_F(CallEntry, AccessorsOnNullOrUnknownHandles) {
    errno = 0;
    EXPECT_EQ(isSetrec(nullptr, 1), 0);
    EXPECT_EQ(errno, 101);
    EXPECT_EQ(isSetlen(nullptr, 1), 0);
    EXPECT_EQ(isRecnum(nullptr), -1);
    EXPECT_EQ(isReclen(nullptr), -1);
    IsFile stranger;
    EXPECT_EQ(isSetrec(&stranger, 5), 0);
    EXPECT_EQ(errno, 105);
    EXPECT_EQ(stranger.recnum, 0);
    EXPECT_EQ(isRecnum(&stranger), -1);
}

TEST_F(CallEntry, ProfileTagIsSetOnlyOnKnownHandles) {
    IsFile *f = open(2);
    EXPECT_EQ(f->profileTag, -1);
    EXPECT_EQ(isSetProfileTag(f, 77), 1);
    EXPECT_EQ(f->profileTag, 77);
    IsFile stranger;
    EXPECT_EQ(isSetProfileTag(&stranger, 5), 0);
    EXPECT_EQ(stranger.profileTag, -1);
    EXPECT_EQ(isSetProfileTag(nullptr, 5), 0);
}

}  // namespace
}  // namespace wisam
