// File-state locks kept across calls (isSetCustomLock) and the lock tests
// (isLockTest, isSpecialLockTest): the kept states and their transitions,
// other processes held off and changes held back until a kept exclusive
// lock ends, given-up requests, failures reported without unwinding, and
// what the two tests answer for free, own and foreign locks.
#include "lock/iscustom.h"

#include <gtest/gtest.h>

#include <algorithm>

#include <cerrno>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "frame/iscall.h"
#include "frame/iserror.h"
#include "lock/islock.h"
#include "lock/isrecord.h"
#include "structure/isdict.h"
#include "structure/isencode.h"
#include "support/faults.h"
#include "support/lockprobe.h"
#include "support/testing.h"
#include "system/iscache.h"
#include "system/isregion.h"
#include "wisam.h"

namespace wisam {
namespace {

using namespace testing;  // the lock probes and helpers

constexpr int16_t kRecordLength = 8;
constexpr int32_t kSlot = kRecordLength + 1;
constexpr int kKeepShared = 1;
constexpr int kKeepExclusive = 2;
constexpr int kEndKept = 0;

bool holds(const IsFile *f, int32_t record) { return findHeldLock(f, record) >= 0; }

// An exported reading or changing call with nothing to do.
int readingCall(IsFile *f) {
    return framedCall(f, kAccessRead, CallLock::shared, [] { return 1; });
}
int changingCall(IsFile *f, const std::function<void()> &work = [] {}) {
    return framedCall(f, kAccessChange, CallLock::exclusive, [&] {
        work();
        return 1;
    });
}

uint32_t changeCounter(const std::vector<uint8_t> &index) { return ld4(&index[kDictChangeCount]); }

class CustomLocks : public ::testing::Test {
protected:
    void SetUp() override { testing::layDownFiles(dir.file("t"), kRecordLength); }
    void TearDown() override {
        isCleanUp();
        isFileCacheActive = saved[0];
        isWriteBackActive = saved[1];
        isGlobalIndexCacheActive = saved[2];
        isDeadlockThreshold = saved[3];
        isForceCommit = saved[4];
    }
    IsFile *open(int depth = 0) {
        return testing::openHandle(testing::spelling(dir, "t", depth), kManual);
    }

    testing::EscapeScope escapes;
    testing::TempDir dir;
    const std::vector<int32_t> saved{isFileCacheActive, isWriteBackActive, isGlobalIndexCacheActive,
                                     isDeadlockThreshold, isForceCommit};
};

TEST_F(CustomLocks, KeptSharedLockTurnsExclusiveAtTheFirstChangingCall) {
    IsFile *a = open();
    IsFile *b = open();
    ASSERT_TRUE(a && b);
    ASSERT_EQ(isSetCustomLock(a, kKeepShared), 1);
    EXPECT_EQ(a->deferState, kDeferSharedKept);
    EXPECT_EQ(a->lockState, kLockOpenShared | kLockStateShared);
    EXPECT_EQ(canWrite(b), 0);
    EXPECT_EQ(canRead(b), 1);

    ASSERT_EQ(readingCall(a), 1);
    EXPECT_EQ(a->deferState, kDeferSharedKept) << "kept across a reading call";
    EXPECT_EQ(a->lockState, kLockOpenShared | kLockStateShared);

    ASSERT_EQ(changingCall(a), 1);
    EXPECT_EQ(a->deferState, kDeferExclusiveKept);
    EXPECT_EQ(a->lockState, kLockOpenShared | kLockStateExclusive);
    EXPECT_EQ(canRead(b), 0);

    ASSERT_EQ(readingCall(a), 1);
    ASSERT_EQ(changingCall(a), 1);
    EXPECT_EQ(a->deferState, kDeferExclusiveKept) << "kept until request 0";
    EXPECT_EQ(a->lockState, kLockOpenShared | kLockStateExclusive);

    EXPECT_EQ(isSetCustomLock(a, kEndKept), 1);
    EXPECT_EQ(a->deferState, 0);
    EXPECT_EQ(a->lockState, kLockOpenShared);
    EXPECT_EQ(canWrite(b), 1);
}

TEST_F(CustomLocks, KeptLockStartsFromTheFileAsItIsNow) {
    IsFile *a = open();
    IsFile *other = open(1);
    ASSERT_TRUE(a && other);
    ASSERT_EQ(a->changeCount, 1u);
    ASSERT_EQ(changingCall(other, [&] { writeDictionary(other); }), 1);
    ASSERT_EQ(isSetCustomLock(a, kKeepShared), 1);
    EXPECT_EQ(a->changeCount, 2u) << "a change made before the lock is seen";
    ASSERT_EQ(isSetCustomLock(a, kEndKept), 1);

    ASSERT_EQ(changingCall(other, [&] { writeDictionary(other); }), 1);
    ASSERT_EQ(isSetCustomLock(a, kKeepExclusive), 1);
    EXPECT_EQ(a->changeCount, 3u);
    ASSERT_EQ(isSetCustomLock(a, kEndKept), 1);
}

TEST_F(CustomLocks, KeptExclusiveLockRequestedTwiceStaysOneLock) {
    IsFile *a = open();
    IsFile *b = open();
    ASSERT_TRUE(a && b);
    ASSERT_EQ(isSetCustomLock(a, kKeepExclusive), 1);
    ASSERT_EQ(isSetCustomLock(a, kKeepExclusive), 1);
    EXPECT_EQ(a->deferState, kDeferExclusiveKept);
    EXPECT_EQ(a->lockState, kLockOpenShared | kLockStateExclusive);
    EXPECT_EQ(canRead(b), 0);
    ASSERT_EQ(isSetCustomLock(a, kEndKept), 1);
    EXPECT_EQ(a->lockState, kLockOpenShared);
    EXPECT_EQ(canRead(b), 1);
    EXPECT_EQ(canWrite(b), 1);
}

TEST_F(CustomLocks, EndingWithoutAKeptLockDoesNothing) {
    IsFile *a = open();
    ASSERT_NE(a, nullptr);
    ASSERT_EQ(lockRec(a, 5), 1);
    const std::vector<uint8_t> before = testing::readFile(dir.file("t.wox"));
    testing::EventRecorder recorder;
    EXPECT_EQ(isSetCustomLock(a, kEndKept), 1);
    EXPECT_EQ(isSetCustomLock(a, 7), 1) << "any other request ends a kept lock too";
    EXPECT_TRUE(recorder.events().empty());
    EXPECT_EQ(a->deferState, 0);
    EXPECT_EQ(a->lockState, kLockOpenShared);
    EXPECT_TRUE(holds(a, 5));
    EXPECT_EQ(testing::readFile(dir.file("t.wox")), before);
}

TEST_F(CustomLocks, SharedRequestWhileExclusiveIsKeptChangesNothing) {
    IsFile *a = open();
    IsFile *b = open();
    ASSERT_TRUE(a && b);
    ASSERT_EQ(isSetCustomLock(a, kKeepExclusive), 1);
    ASSERT_EQ(changingCall(a, [&] { writeDictionary(a); }), 1);
    ASSERT_EQ(a->deferState, kDeferExclusiveKept | kDeferDictionary);

    testing::EventRecorder recorder;
    EXPECT_EQ(isSetCustomLock(a, kKeepShared), 1);
    EXPECT_TRUE(recorder.events().empty());
    EXPECT_EQ(a->deferState, kDeferExclusiveKept | kDeferDictionary);
    EXPECT_EQ(a->lockState, kLockOpenShared | kLockStateExclusive);

    // The next call leaves the lock and the deferred write in place.
    ASSERT_EQ(readingCall(a), 1);
    EXPECT_EQ(a->lockState, kLockOpenShared | kLockStateExclusive);
    EXPECT_EQ(canRead(b), 0);
    EXPECT_EQ(changeCounter(testing::readFile(dir.file("t.wox"))), 1u);

    ASSERT_EQ(isSetCustomLock(a, kEndKept), 1);
    EXPECT_EQ(a->deferState, 0);
    EXPECT_EQ(a->lockState, kLockOpenShared);
    EXPECT_EQ(changeCounter(testing::readFile(dir.file("t.wox"))), 2u) << "not lost";
}

TEST_F(CustomLocks, KeptExclusiveLockHoldsOffOtherProcessesAndHoldsBackItsWrites) {
    isFileCacheActive = 1;
    isWriteBackActive = 1;
    isGlobalIndexCacheActive = 0;
    IsFile *a = open();
    ASSERT_NE(a, nullptr);
    a->slotSize = kSlot;
    startFileCache(a);
    ASSERT_NE(a->dataCache, nullptr);
    ASSERT_NE(a->indexCache, nullptr);
    constexpr int kSlots = 10;
    const std::vector<uint8_t> node(static_cast<size_t>(a->nodeSize), 0x5C);
    const std::vector<uint8_t> indexBefore = testing::readFile(dir.file("t.wox"));
    const std::vector<uint8_t> dataBefore = testing::readFile(dir.file("t.wod"));

    ASSERT_EQ(isSetCustomLock(a, kKeepExclusive), 1);
    for (int slot = 0; slot < kSlots; ++slot) {
        const std::vector<uint8_t> bytes(kSlot, static_cast<uint8_t>(0xA0 + slot));
        ASSERT_EQ(changingCall(a, [&] {
                      cacheWrite(a, kKindData, bytes.data(), kSlot, int64_t{slot} * kSlot);
                  }),
                  1);
    }
    ASSERT_EQ(changingCall(a, [&] {
                  cacheWrite(a, kKindIndex, node.data(), a->nodeSize, a->nodeSize);
                  writeDictionary(a);
              }),
              1);
    EXPECT_EQ(a->deferState, kDeferExclusiveKept | kDeferDictionary | kDeferWriteBack);
    EXPECT_EQ(testing::readFile(dir.file("t.wod")), dataBefore);
    EXPECT_EQ(testing::readFile(dir.file("t.wox")), indexBefore);

    // Another process's reading call waits for the kept lock.
    testing::Signal waiting, in;
    const int reader = testing::startChild([&] {
        IsFile *own = open(1);
        if (own == nullptr) return 10;
        isDeadlockThreshold = 1;
        waitingAnnounce = &waiting;
        lockingDeadLock = announceAndWait;
        int seen = 0;
        const int ok = framedCall(own, kAccessRead, CallLock::shared, [&] {
            if ((own->lockState & kLockStateShared) == 0) return 0;
            in.post();
            const std::vector<uint8_t> index = testing::readFile(dir.file("t.wox"));
            const std::vector<uint8_t> data = testing::readFile(dir.file("t.wod"));
            if (own->changeCount != 2 || changeCounter(index) != 2) return 0;
            if (data.size() != size_t{kSlots} * kSlot) return 0;
            for (int slot = 0; slot < kSlots; ++slot) {
                if (data[size_t(slot) * kSlot] != 0xA0 + slot) return 0;
            }
            seen = 1;
            return 1;
        });
        if (!ok) return 11;
        return seen ? 0 : 12;
    });
    ASSERT_TRUE(waiting.wait(kLongWait)) << "the reader met the kept lock";
    EXPECT_FALSE(in.wait(50));
    EXPECT_EQ(testing::readFile(dir.file("t.wod")), dataBefore);

    ASSERT_EQ(isSetCustomLock(a, kEndKept), 1);
    EXPECT_EQ(a->deferState, 0);
    EXPECT_TRUE(in.wait(kLongWait));
    EXPECT_EQ(testing::waitChild(reader), 0);

    const std::vector<uint8_t> index = testing::readFile(dir.file("t.wox"));
    ASSERT_EQ(index.size(), 2 * node.size());
    EXPECT_EQ(std::vector<uint8_t>(index.begin() + a->nodeSize, index.end()), node);
    EXPECT_EQ(changeCounter(index), 2u);
    const std::vector<uint8_t> data = testing::readFile(dir.file("t.wod"));
    ASSERT_EQ(data.size(), size_t{kSlots} * kSlot);
    EXPECT_EQ(data.back(), 0xA0 + kSlots - 1);
}

TEST_F(CustomLocks, GivenUpKeptLocksAreReportedAndStillMarked) {
    IsFile *a = open();
    ASSERT_NE(a, nullptr);
    testing::FatalCapture fatal;
    testing::Signal held, next, done;
    const int pid = testing::startChild([&] {
        IsFile *own = open(1);
        if (own == nullptr) return 10;
        lockExclusive(own);  // a writer in the middle of its call
        held.post();
        if (!next.wait(kLongWait)) return 11;
        unlockState(own);
        lockShared(own);  // now a reader
        held.post();
        return done.wait(kLongWait) ? 0 : 12;
    });
    ASSERT_TRUE(held.wait(kLongWait));
    isDeadlockThreshold = 1;
    lockingDeadLock = giveUp;

    EXPECT_EQ(isSetCustomLock(a, kKeepShared), 1);
    EXPECT_EQ(fatal.texts(), std::vector<std::string>{"fatal isam error islock(257)"});
    EXPECT_EQ(a->deferState, kDeferSharedKept);
    EXPECT_EQ(a->lockState & kLockStateShared, 0);
    EXPECT_EQ(isSetCustomLock(a, kEndKept), 1);
    EXPECT_EQ(a->deferState, 0);

    next.post();
    ASSERT_TRUE(held.wait(kLongWait));
    fatal.clear();
    EXPECT_EQ(isSetCustomLock(a, kKeepExclusive), 1);
    EXPECT_EQ(fatal.texts(), std::vector<std::string>{"fatal isam error islock(268)"});
    EXPECT_EQ(a->deferState, kDeferExclusiveKept);
    EXPECT_EQ(a->lockState & kLockStateExclusive, 0);
    EXPECT_EQ(isSetCustomLock(a, kEndKept), 1);
    EXPECT_EQ(a->deferState, 0);
    EXPECT_EQ(a->lockState, kLockOpenShared);
    done.post();
    EXPECT_EQ(testing::waitChild(pid), 0);
}

TEST_F(CustomLocks, ClosingAHandleThatKeepsAnExclusiveLockWritesTheDictionaryFirst) {
    IsFile *a = open();
    IsFile *b = open();
    ASSERT_TRUE(a && b);
    ASSERT_EQ(isSetCustomLock(a, kKeepExclusive), 1);
    ASSERT_EQ(changingCall(a, [&] { writeDictionary(a); }), 1);
    ASSERT_EQ(changeCounter(testing::readFile(dir.file("t.wox"))), 1u);
    testing::closeTestHandle(a);
    EXPECT_EQ(changeCounter(testing::readFile(dir.file("t.wox"))), 2u);
    EXPECT_EQ(canWrite(b), 1) << "the kept lock ended with the handle";
    EXPECT_EQ(changingCall(b), 1);
    EXPECT_EQ(b->changeCount, 2u) << "the other handle sees the change";
}

// Failures of the plain calls are errors of the handle (0, isErrno,
// isErrio), never a crash report.  A failed end of a kept lock keeps the
// lock, and with it everything held back, for a later end to write.
// Written in place (journal off), so that the failing write is the data
// file's own; the journal's side is in the journal tests.
TEST_F(CustomLocks, FailureWhileTheKeptLockEndsKeepsTheLockAndTheWork) {
    isJournalMode = 0;
    isFileCacheActive = 1;
    isWriteBackActive = 1;
    isGlobalIndexCacheActive = 0;
    IsFile *a = open();
    IsFile *b = open();
    ASSERT_TRUE(a && b);
    a->slotSize = kSlot;
    startFileCache(a);
    ASSERT_NE(a->dataCache, nullptr);
    ASSERT_EQ(isSetCustomLock(a, kKeepExclusive), 1);
    const std::vector<uint8_t> bytes(kSlot, 0xEE);
    ASSERT_EQ(changingCall(a, [&] { cacheWrite(a, kKindData, bytes.data(), kSlot, kSlot); }), 1);
    const std::vector<uint8_t> dataBefore = testing::readFile(dir.file("t.wod"));
    testing::FatalCapture fatal;
    {
        testing::FaultPlan faults;
        faults.failFrom(Sys::pwrite, 1, EIO);
        int result = -1;
        EXPECT_NO_THROW(result = isSetCustomLock(a, kEndKept));
        EXPECT_EQ(result, 0);
    }
    EXPECT_TRUE(fatal.texts().empty());
    EXPECT_EQ(isErrno(a), EIO);
    EXPECT_EQ(isErrio(a), kIoWrite + kKindData);
    EXPECT_EQ(testing::readFile(dir.file("t.wod")), dataBefore);
    EXPECT_EQ(a->deferState & kDeferExclusiveKept, kDeferExclusiveKept);
    EXPECT_EQ(canWrite(b), 0) << "no one sees the file half written";
    EXPECT_EQ(isSetCustomLock(a, kEndKept), 1);
    const std::vector<uint8_t> dataAfter = testing::readFile(dir.file("t.wod"));
    ASSERT_GE(dataAfter.size(), size_t{2 * kSlot});
    EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), dataAfter.begin() + kSlot));
    EXPECT_EQ(a->lockState, kLockOpenShared);
    EXPECT_EQ(canWrite(b), 1);

    // A failing system lock inside a lock test: 0 and the error.
    {
        testing::FaultPlan faults;
        faults.failFrom(Sys::lockRange, 1, EIO);
        int result = -1;
        EXPECT_NO_THROW(result = isLockTest(a, 5));
        EXPECT_EQ(result, 0);
        EXPECT_NO_THROW(result = isSpecialLockTest(a, 5));
        EXPECT_EQ(result, 0);
    }
    EXPECT_TRUE(fatal.texts().empty());
    EXPECT_EQ(isErrno(a), EIO);
}

TEST_F(CustomLocks, CallsOnNullOrUnknownHandlesFail) {
    IsFile stranger;
    errno = 0;
    EXPECT_EQ(isSetCustomLock(nullptr, kKeepShared), 0);
    EXPECT_EQ(errno, kErrNotOpen);
    errno = 0;
    EXPECT_EQ(isLockTest(nullptr, 1), 0);
    EXPECT_EQ(errno, kErrNotOpen);
    errno = 0;
    EXPECT_EQ(isSpecialLockTest(nullptr, 0), 0);
    EXPECT_EQ(errno, kErrNotOpen);
    errno = 0;
    EXPECT_EQ(isSetCustomLock(&stranger, kKeepExclusive), 0);
    EXPECT_EQ(errno, kErrCorrupt);
    errno = 0;
    EXPECT_EQ(isLockTest(&stranger, 1), 0);
    EXPECT_EQ(errno, kErrCorrupt);
    errno = 0;
    EXPECT_EQ(isSpecialLockTest(&stranger, 0), 0);
    EXPECT_EQ(errno, kErrCorrupt);
    EXPECT_EQ(stranger.deferState, 0);
    EXPECT_EQ(stranger.lockState, 0);
}

TEST_F(CustomLocks, LockTestsOfForeignOwnAndFreeRecords) {
    IsFile *a = open();
    IsFile *b = open();
    IsFile *probe = open(1);
    ASSERT_TRUE(a && b && probe);
    testing::Signal locked, done;
    const int pid = testing::startChild([&] {
        IsFile *own = open(2);
        if (own == nullptr) return 10;
        if (lockRec(own, 9) != 1) return 11;
        locked.post();
        return done.wait(kLongWait) ? 0 : 12;
    });
    ASSERT_TRUE(locked.wait(kLongWait));

    EXPECT_EQ(isLockTest(a, 9), 0) << "another process holds it";
    EXPECT_EQ(isSpecialLockTest(a, 9), 0);

    EXPECT_EQ(isLockTest(a, 10), 1) << "free";
    EXPECT_EQ(isSpecialLockTest(a, 10), 1);
    EXPECT_FALSE(holds(a, 10)) << "a test keeps no lock";
    EXPECT_EQ(canLockRecord(probe, 10), 1);

    ASSERT_EQ(lockRec(a, 11), 1);
    EXPECT_EQ(isLockTest(a, 11), 1) << "the handle's own";
    EXPECT_EQ(isSpecialLockTest(a, 11), 0) << "its own lock is an obstacle";
    EXPECT_TRUE(holds(a, 11));
    EXPECT_EQ(canLockRecord(probe, 11), 0);

    ASSERT_EQ(lockRec(b, 12), 1);
    EXPECT_EQ(isLockTest(a, 12), 0) << "another handle of the process holds it";
    EXPECT_EQ(isSpecialLockTest(a, 12), 0);

    EXPECT_EQ(isLockTest(a, -1), 0);
    EXPECT_EQ(isSpecialLockTest(a, -5), 0);
    EXPECT_EQ(isLockTest(a, 0), 1);
    EXPECT_EQ(a->errorNumber, 0) << "no answer is an error";

    done.post();
    ASSERT_EQ(testing::waitChild(pid), 0);
    EXPECT_EQ(isLockTest(a, 9), 1);
    EXPECT_EQ(isSpecialLockTest(a, 9), 1);
}

// A handle with the file to itself answers from its state alone: no other
// handle or process can hold a record lock, so no lock byte is tried.
TEST_F(CustomLocks, LockTestOnAnExclusiveHandleTakesNoSystemLock) {
    IsFile *a = testing::openHandle(testing::spelling(dir, "t", 0), ISINOUT | ISEXCLLOCK);
    ASSERT_NE(a, nullptr);
    testing::FaultPlan faults;
    for (const int32_t record : {1, 500, 5000}) EXPECT_EQ(isLockTest(a, record), 1) << record;
    EXPECT_EQ(faults.calls(Sys::lockRange), 0);
    EXPECT_EQ(isSpecialLockTest(a, 7), 1) << "the special test still tries the lock byte";
    EXPECT_EQ(faults.calls(Sys::lockRange), 2);
}

TEST_F(CustomLocks, LockTestsWhileTheFileLockIsHeld) {
    IsFile *a = open();
    IsFile *b = open();
    ASSERT_TRUE(a && b);
    ASSERT_EQ(isLock(a), 1);
    EXPECT_EQ(isLockTest(a, 500), 1);
    EXPECT_EQ(isLockTest(a, 5000), 1);
    EXPECT_EQ(isSpecialLockTest(a, 500), 0) << "inside its own file lock";
    EXPECT_EQ(isSpecialLockTest(a, 0), 0);
    EXPECT_EQ(a->lockState, kLockOpenShared | kLockFile) << "still held";
    EXPECT_EQ(isLockTest(b, 500), 0);
    EXPECT_EQ(isLockTest(b, 5000), 0);
    EXPECT_EQ(isSpecialLockTest(b, 0), 0);
}

TEST_F(CustomLocks, SpecialLockTestOfTheFileReleasesTheRecordLocks) {
    IsFile *a = open();
    IsFile *b = open();
    IsFile *probe = open(1);
    ASSERT_TRUE(a && b && probe);
    ASSERT_EQ(lockRec(a, 3), 1);
    ASSERT_EQ(lockRec(a, 4), 1);
    ASSERT_EQ(lockRec(a, 2000), 1);

    // Another handle of the process holds a record: no, and nothing released.
    ASSERT_EQ(lockRec(b, 8), 1);
    EXPECT_EQ(isSpecialLockTest(a, 0), 0);
    EXPECT_TRUE(holds(a, 3) && holds(a, 4) && holds(a, 2000));
    ASSERT_EQ(isRelRec(b, 8), 1);

    EXPECT_EQ(isSpecialLockTest(a, 0), 1);
    EXPECT_FALSE(holds(a, 3) || holds(a, 4) || holds(a, 2000));
    EXPECT_EQ(canLockRecord(probe, 3), 1);
    EXPECT_EQ(canLockRecord(probe, 2000), 1);
    EXPECT_EQ(a->lockState, kLockOpenShared) << "the file lock is not kept";
    EXPECT_EQ(canLock(probe, kFileLockOffset, kFileLockLength), 1);

    // Held elsewhere: the record locks go all the same, and the answer is no.
    ASSERT_EQ(lockRec(a, 3), 1);
    testing::Signal locked, done;
    const int pid = testing::startChild([&] {
        IsFile *own = open(2);
        if (own == nullptr) return 10;
        if (lockRec(own, 900) != 1) return 11;
        locked.post();
        return done.wait(kLongWait) ? 0 : 12;
    });
    ASSERT_TRUE(locked.wait(kLongWait));
    EXPECT_EQ(isSpecialLockTest(a, 0), 0);
    EXPECT_FALSE(holds(a, 3));
    EXPECT_EQ(canLockRecord(probe, 3), 1);
    EXPECT_EQ(a->lockState, kLockOpenShared);
    done.post();
    EXPECT_EQ(testing::waitChild(pid), 0);
}

TEST_F(CustomLocks, LockTestOfRecordZeroFindsAFreeEntry) {
    IsFile *a = open();
    ASSERT_NE(a, nullptr);
    for (int32_t r = 1; r <= kHeldLocksGrowth; ++r) ASSERT_EQ(lockRec(a, r), 1);
    ASSERT_EQ(a->heldLockCount, kHeldLocksGrowth);
    EXPECT_EQ(isLockTest(a, 0), 1);
    EXPECT_EQ(a->heldLockCount, 2 * kHeldLocksGrowth);
    EXPECT_EQ(isLockTest(a, 0), 1);
    EXPECT_EQ(a->heldLockCount, 2 * kHeldLocksGrowth) << "the free entry is still there";
}

}  // namespace
}  // namespace wisam
