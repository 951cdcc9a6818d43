// File-state locks and open locks: the lockState bits each operation sets
// and clears, their profiling events and table-lock notices, kept locks and
// their deferred work, and how readers, writers and openers in several
// processes exclude each other.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <string>
#include <vector>

#include "frame/iscall.h"
#include "lock/islock.h"
#include "structure/isdict.h"
#include "structure/isencode.h"
#include "support/faults.h"
#include "support/lockprobe.h"
#include "support/testing.h"
#include "system/isregion.h"
#include "wisam.h"

namespace wisam {
namespace {

using namespace testing;  // the lock probes and helpers

using testing::EventRecorder;
using testing::ProfileEventRecord;
using testing::spelling;
const auto show = testing::showEvents;

// Whether `events` ends with `tail` (what comes before belongs to the open).
::testing::AssertionResult endsWith(const std::string &events, const std::string &tail) {
    if (events.size() >= tail.size() &&
        events.compare(events.size() - tail.size(), tail.size(), tail) == 0) {
        return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure() << events << " does not end with " << tail;
}

// Runs one lock-manager operation in a framed call; its error or 0.
int run(IsFile *f, void (*operation)(IsFile *)) {
    testing::inCall(f, kAccessAny, [&] {
        operation(f);
        return 1;
    });
    return f->errorNumber;
}

// Host callbacks.
std::vector<IsFile *> noticed;
const EventRecorder *noticeRecorder = nullptr;
std::vector<size_t> eventsAtNotice;
void recordNotice(IsFile *f) {
    noticed.push_back(f);
    eventsAtNotice.push_back(noticeRecorder != nullptr ? noticeRecorder->events().size() : 0);
}

class LockManager : public ::testing::Test {
protected:
    void SetUp() override {
        testing::layDownFiles(dir.file("t"), 8);
        noticed.clear();
        eventsAtNotice.clear();
        noticeRecorder = nullptr;
    }
    void TearDown() override {
        isCleanUp();
        tableLockCallback = nullptr;
        isForceCommit = 0;
    }
    testing::EscapeScope escapes;
    testing::TempDir dir;
};

TEST_F(LockManager, SharedAndExclusiveStateLocksSetTheirBits) {
    IsFile *a = testing::openHandle(dir.name("t"), kManual);
    IsFile *b = testing::openHandle(dir.name("t"), kManual);
    ASSERT_TRUE(a && b);
    ASSERT_EQ(a->lockState, kLockOpenShared);
    const int64_t sharedByte = kStateRegionOffset + a->userSlot;

    lockShared(a);
    EXPECT_EQ(a->lockState, kLockOpenShared | kLockStateShared);
    EXPECT_EQ(canLock(b, sharedByte, 1), 0);
    EXPECT_EQ(canLock(b, kStateRegionOffset, kRegionLength), 0) << "a writer must wait";
    EXPECT_EQ(canLock(b, sharedByte + 1, 1), 1) << "another reader need not";
    unlockState(a);
    EXPECT_EQ(a->lockState, kLockOpenShared);
    EXPECT_EQ(canLock(b, kStateRegionOffset, kRegionLength), 1);

    lockExclusive(a);
    EXPECT_EQ(a->lockState, kLockOpenShared | kLockStateExclusive);
    EXPECT_EQ(canLock(b, sharedByte + 1, 1), 0);
    lockShared(a);  // gives up the region for its byte
    EXPECT_EQ(a->lockState, kLockOpenShared | kLockStateShared);
    EXPECT_EQ(canLock(b, sharedByte + 1, 1), 1);
    lockExclusive(a);  // and back
    EXPECT_EQ(a->lockState, kLockOpenShared | kLockStateExclusive);
    unlockState(a);
    EXPECT_EQ(a->lockState, kLockOpenShared);
    EXPECT_EQ(canLock(b, kStateRegionOffset, kRegionLength), 1);
    unlockState(a);  // nothing held: nothing happens
    EXPECT_EQ(a->lockState, kLockOpenShared);

    // Two handles of one process read side by side; a writer among them waits.
    lockShared(a);
    lockShared(b);
    EXPECT_EQ(b->lockState & kLockStateShared, kLockStateShared);
    EXPECT_NE(a->userSlot, b->userSlot);
    isDeadlockThreshold = 1;
    lockingDeadLock = giveUp;
    testing::FatalCapture fatal;
    lockExclusive(b);
    EXPECT_EQ(b->lockState & kLockStateExclusive, 0);
    EXPECT_EQ(fatal.texts(), std::vector<std::string>{"fatal isam error islock(133)"});
}

TEST_F(LockManager, StateLockEvents) {
    IsFile *a = testing::openHandle(dir.name("t"), kManual);
    ASSERT_NE(a, nullptr);
    a->profileTag = 42;
    EventRecorder recorder;

    lockShared(a);
    EXPECT_EQ(show(recorder.events()), "(42,22,0)(42,5,0)(42,5,1)");
    recorder.clear();
    lockShared(a);
    EXPECT_EQ(show(recorder.events()), "(42,24,2)") << "already held";
    recorder.clear();
    unlockState(a);
    EXPECT_EQ(show(recorder.events()), "(42,8,0)(42,8,1)(42,22,1)");

    recorder.clear();
    lockExclusive(a);
    EXPECT_EQ(show(recorder.events()), "(42,25,0)(42,10,0)(42,10,1)");
    recorder.clear();
    lockExclusive(a);
    EXPECT_EQ(show(recorder.events()), "(42,27,2)");
    recorder.clear();
    unlockState(a);
    EXPECT_EQ(show(recorder.events()), "(42,13,0)(42,13,1)(42,25,1)");

    // Upgrading a shared lock drops the byte without ending the request.
    lockShared(a);
    recorder.clear();
    lockExclusive(a);
    EXPECT_EQ(show(recorder.events()), "(42,8,0)(42,8,1)(42,25,0)(42,10,0)(42,10,1)");
    unlockState(a);

    // The tag set through the interface is the one reported.
    EXPECT_EQ(isSetProfileTag(a, 77), 1);
    recorder.clear();
    lockShared(a);
    unlockState(a);
    EXPECT_EQ(show(recorder.events()), "(77,22,0)(77,5,0)(77,5,1)(77,8,0)(77,8,1)(77,22,1)");
    IsFile stranger;
    EXPECT_EQ(isSetProfileTag(&stranger, 5), 0) << "not a registered handle";
    EXPECT_EQ(stranger.profileTag, -1);
}

TEST_F(LockManager, NoLockingAndExclusiveOpenersTakeNoStateLocks) {
    IsFile *exclusive = testing::openHandle(dir.name("t"), kManual | kModeExclusive);
    ASSERT_NE(exclusive, nullptr);
    ASSERT_EQ(exclusive->lockState, kLockOpenExclusive);
    tableLockCallback = recordNotice;
    EventRecorder recorder;
    lockShared(exclusive);
    lockExclusive(exclusive);
    unlockState(exclusive);
    EXPECT_EQ(exclusive->lockState, kLockOpenExclusive);
    EXPECT_TRUE(recorder.events().empty()) << show(recorder.events());
    EXPECT_TRUE(noticed.empty());
    testing::closeTestHandle(exclusive);

    testing::layDownFiles(dir.file("r"), 8);
    IsFile *reader = testing::openHandle(dir.name("r"), kModeNoLocking);
    ASSERT_NE(reader, nullptr);
    recorder.clear();
    lockShared(reader);
    lockExclusive(reader);
    unlockState(reader);
    openLockExclusive(reader);
    openLockDowngrade(reader);
    openLockRelease(reader);
    EXPECT_EQ(reader->lockState, 0);
    EXPECT_EQ(reader->userSlot, 0);
    EXPECT_TRUE(recorder.events().empty()) << show(recorder.events());
    EXPECT_TRUE(noticed.empty());
    EXPECT_FALSE(testing::fileExists(dir.file("r.lck")));
}

TEST_F(LockManager, TableLockNoticeOnlyForANonZeroTagAndARealRequest) {
    IsFile *a = testing::openHandle(dir.name("t"), kManual);
    ASSERT_NE(a, nullptr);
    tableLockCallback = recordNotice;
    EventRecorder recorder;
    noticeRecorder = &recorder;

    lockShared(a);  // tag -1 from creation
    ASSERT_EQ(noticed, std::vector<IsFile *>{a});
    EXPECT_EQ(eventsAtNotice[0], 0u) << "before the request is reported";
    lockShared(a);  // already held
    EXPECT_EQ(noticed.size(), 1u);
    unlockState(a);

    a->profileTag = 0;
    lockShared(a);
    unlockState(a);
    lockExclusive(a);
    unlockState(a);
    EXPECT_EQ(noticed.size(), 1u) << "tag 0: no notice";

    a->profileTag = 5;
    recorder.clear();
    lockExclusive(a);
    ASSERT_EQ(noticed.size(), 2u);
    EXPECT_EQ(eventsAtNotice[1], 0u);
    lockExclusive(a);  // already held
    EXPECT_EQ(noticed.size(), 2u);
    unlockState(a);

    // A kept shared lock: neither its renewal nor its upgrade is noticed.
    lockShared(a);
    a->deferState = kDeferSharedKept;
    unlockState(a);
    EXPECT_EQ(a->lockState & kLockStateShared, kLockStateShared) << "kept across the call";
    lockShared(a);
    lockExclusive(a);
    EXPECT_EQ(noticed.size(), 3u);
    EXPECT_EQ(a->deferState, kDeferExclusiveKept) << "the kept lock is now exclusive";
    EXPECT_EQ(a->lockState, kLockOpenShared | kLockStateExclusive);
    unlockState(a);
    EXPECT_EQ(a->lockState, kLockOpenShared | kLockStateExclusive);
    lockShared(a);  // satisfied by the kept exclusive lock
    EXPECT_EQ(a->lockState, kLockOpenShared | kLockStateExclusive);
    EXPECT_EQ(noticed.size(), 3u);
}

TEST_F(LockManager, EndOfAKeptExclusiveLockWritesTheDeferredDictionary) {
    IsFile *a = testing::openHandle(dir.name("t"), kManual);
    ASSERT_NE(a, nullptr);
    ASSERT_EQ(testing::inCall(a, kAccessAny, [&] { return readDictionary(a); }), 1);
    ASSERT_EQ(a->changeCount, 1u);

    // The kept lock has ended (its region is no longer held) while the
    // dictionary write was deferred.
    a->deferState = kDeferExclusiveKept | kDeferDictionary;
    isForceCommit = 1;
    testing::FaultPlan faults;  // flushes are noted, not made
    faults.from(Sys::datasync, 1, Fault::claimed());
    faults.keepLog(Sys::datasync);
    EXPECT_EQ(run(a, unlockState), 0);
    EXPECT_EQ(a->deferState, 0);
    EXPECT_EQ(ld4(&testing::readFile(dir.file("t.wox"))[41]), 2) << "the change is counted";
    EXPECT_EQ(faults.loggedDescriptors(), (std::vector<int>{a->dataFd, a->indexFd}));

    // Without the deferred write nothing is written or flushed.
    faults.resetCounts();
    a->deferState = kDeferExclusiveKept;
    EXPECT_EQ(run(a, unlockState), 0);
    EXPECT_EQ(a->deferState, 0);
    EXPECT_EQ(faults.calls(Sys::datasync), 0);
    EXPECT_EQ(ld4(&testing::readFile(dir.file("t.wox"))[41]), 2);
}

TEST_F(LockManager, WriterInAnotherProcessWaitsUntilAllReadersAreDone) {
    IsFile *a = testing::openHandle(dir.name("t"), kManual);
    ASSERT_NE(a, nullptr);
    lockShared(a);

    testing::Signal readerIn, readerGo, writerWaiting, writerIn, writerGo;
    const int reader = testing::startChild([&] {
        IsFile *own = testing::openHandle(spelling(dir, "t", 1), kManual);
        if (own == nullptr) return 10;
        isDeadlockThreshold = 1;  // a reader must not wait for a reader
        lockingDeadLock = giveUp;
        lockShared(own);
        if ((own->lockState & kLockStateShared) == 0) return 11;
        readerIn.post();
        if (!readerGo.wait(kLongWait)) return 12;
        unlockState(own);
        return 0;
    });
    ASSERT_TRUE(readerIn.wait(kLongWait));

    const int writer = testing::startChild([&] {
        IsFile *own = testing::openHandle(spelling(dir, "t", 2), kManual);
        if (own == nullptr) return 20;
        isDeadlockThreshold = 1;
        waitingAnnounce = &writerWaiting;
        lockingDeadLock = announceAndWait;
        lockExclusive(own);
        if ((own->lockState & kLockStateExclusive) == 0) return 21;
        writerIn.post();
        if (!writerGo.wait(kLongWait)) return 22;
        unlockState(own);
        return 0;
    });
    ASSERT_TRUE(writerWaiting.wait(kLongWait)) << "the writer met the readers";
    EXPECT_FALSE(writerIn.wait(50));
    unlockState(a);
    EXPECT_FALSE(writerIn.wait(50)) << "one reader is still reading";
    readerGo.post();
    EXPECT_TRUE(writerIn.wait(kLongWait));
    EXPECT_EQ(testing::waitChild(reader), 0);

    // A read that starts while the write runs has to wait for it.
    isDeadlockThreshold = 2;
    lockingDeadLock = giveUp;
    testing::FatalCapture fatal;
    a->profileTag = 8;
    EventRecorder recorder;
    lockShared(a);
    EXPECT_EQ(a->lockState & kLockStateShared, 0) << "given up: the call goes on unlocked";
    EXPECT_EQ(fatal.texts(), std::vector<std::string>{"fatal isam error islock(108)"});
    ASSERT_EQ(escapeCalls.size(), 1u);
    EXPECT_EQ(escapeCalls[0].inRecordArea, 0);
    EXPECT_EQ(escapeCalls[0].offset, kStateRegionOffset + a->userSlot);
    EXPECT_EQ(escapeCalls[0].length, 1);
    EXPECT_EQ(show(recorder.events()),
              "(8,22,0)(8,5,0)(8,5,1)(8,6,2)(8,5,0)(8,5,1)(8,6,2)(8,5,0)(8,5,1)(8,6,2)"
              "(8,22,1)(8,23,2)");
    writerGo.post();
    EXPECT_EQ(testing::waitChild(writer), 0);
}

TEST_F(LockManager, GivenUpExclusiveRequestIsReported) {
    IsFile *a = testing::openHandle(dir.name("t"), kManual);
    ASSERT_NE(a, nullptr);
    testing::Signal readerIn, done;
    const int reader = testing::startChild([&] {
        IsFile *own = testing::openHandle(spelling(dir, "t", 1), kManual);
        if (own == nullptr) return 10;
        lockShared(own);
        readerIn.post();
        return done.wait(kLongWait) ? 0 : 11;
    });
    ASSERT_TRUE(readerIn.wait(kLongWait));
    isDeadlockThreshold = 1;
    lockingDeadLock = giveUp;
    testing::FatalCapture fatal;
    a->profileTag = 2;
    EventRecorder recorder;
    lockExclusive(a);
    EXPECT_EQ(a->lockState, kLockOpenShared);
    EXPECT_EQ(fatal.texts(), std::vector<std::string>{"fatal isam error islock(133)"});
    ASSERT_EQ(escapeCalls.size(), 1u);
    EXPECT_EQ(escapeCalls[0].inRecordArea, 0);
    EXPECT_EQ(escapeCalls[0].offset, kStateRegionOffset);
    EXPECT_EQ(escapeCalls[0].length, kRegionLength);
    EXPECT_EQ(show(recorder.events()),
              "(2,25,0)(2,10,0)(2,10,1)(2,11,2)(2,10,0)(2,10,1)(2,11,2)(2,25,1)(2,26,2)");
    done.post();
    EXPECT_EQ(testing::waitChild(reader), 0);
}

TEST_F(LockManager, ExclusiveAndSharedOpenersExcludeEachOtherAcrossProcesses) {
    // Another process has the file open: an exclusive open fails.
    {
        testing::Signal open, done;
        const int pid = testing::startChild([&] {
            IsFile *own = testing::openHandle(spelling(dir, "t", 1), kManual);
            if (own == nullptr || own->lockState != kLockOpenShared) return 10;
            open.post();
            return done.wait(kLongWait) ? 0 : 11;
        });
        ASSERT_TRUE(open.wait(kLongWait));
        EventRecorder recorder;
        int error = 0;
        EXPECT_EQ(testing::tryOpenHandle(dir.name("t"), kManual | kModeExclusive, error), nullptr);
        EXPECT_EQ(error, kErrFileInUse);
        EXPECT_TRUE(endsWith(show(recorder.events()),
                             "(-1,25,0)(-1,10,0)(-1,10,1)(-1,12,2)(-1,25,1)(-1,26,2)"));
        done.post();
        EXPECT_EQ(testing::waitChild(pid), 0);
    }
    // Another process has it open exclusively: a shared open fails (no slot
    // can be had while the open region, slot counter included, is held).
    {
        testing::Signal open, done;
        const int pid = testing::startChild([&] {
            IsFile *own = testing::openHandle(spelling(dir, "t", 2), kManual | kModeExclusive);
            if (own == nullptr || own->lockState != kLockOpenExclusive) return 20;
            open.post();
            return done.wait(kLongWait) ? 0 : 21;
        });
        ASSERT_TRUE(open.wait(kLongWait));
        EventRecorder recorder;
        int error = 0;
        EXPECT_EQ(testing::tryOpenHandle(dir.name("t"), kManual, error), nullptr);
        EXPECT_EQ(error, kErrFileInUse);
        EXPECT_TRUE(endsWith(show(recorder.events()),
                             "(-1,5,0)(-1,5,1)(-1,7,2)(-1,22,1)(-1,23,2)"));
        done.post();
        EXPECT_EQ(testing::waitChild(pid), 0);
    }
    // Once the exclusive opener is gone the file opens again.
    IsFile *f = testing::openHandle(dir.name("t"), kManual);
    EXPECT_NE(f, nullptr);
}

TEST_F(LockManager, FailedExclusiveUpgradeKeepsThePresenceByte) {
    IsFile *a = testing::openHandle(dir.name("t"), kManual);
    ASSERT_NE(a, nullptr);
    const int32_t slot = a->userSlot;
    testing::Signal open, done;
    const int other = testing::startChild([&] {
        IsFile *own = testing::openHandle(spelling(dir, "t", 1), kManual);
        if (own == nullptr) return 10;
        open.post();
        return done.wait(kLongWait) ? 0 : 11;
    });
    ASSERT_TRUE(open.wait(kLongWait));

    EXPECT_EQ(run(a, openLockExclusive), kErrFileInUse);
    EXPECT_EQ(a->lockState, kLockOpenShared);
    // Seen from a third process: the byte is held, so no exclusive open.
    const int probe = testing::runInChild([&] {
        IsFile *own = testing::openHandle(spelling(dir, "t", 2), kManual);
        if (own == nullptr) return 20;
        return canLock(own, slot, 1) == 0 ? 0 : 21;
    });
    EXPECT_EQ(probe, 0);
    done.post();
    EXPECT_EQ(testing::waitChild(other), 0);

    // Alone now: the upgrade succeeds and shuts everyone else out.
    a->profileTag = 4;
    EventRecorder recorder;
    EXPECT_EQ(run(a, openLockExclusive), 0);
    EXPECT_EQ(a->lockState, kLockOpenExclusive);
    EXPECT_EQ(show(recorder.events()), "(4,8,0)(4,8,1)(4,22,1)(4,25,0)(4,10,0)(4,10,1)");
    const int shutOut = testing::runInChild([&] {
        int error = 0;
        IsFile *own = testing::tryOpenHandle(spelling(dir, "t", 3), kManual, error);
        return own == nullptr ? error - 100 : 0;  // exit codes stop at 255
    });
    EXPECT_EQ(shutOut, kErrFileInUse - 100);

    recorder.clear();
    openLockDowngrade(a);
    EXPECT_EQ(a->lockState, kLockOpenShared);
    EXPECT_EQ(show(recorder.events()), "(4,13,0)(4,13,1)(4,25,1)(4,5,0)(4,5,1)");
    EXPECT_EQ(testing::runInChild([&] {
                  IsFile *own = testing::openHandle(spelling(dir, "t", 4), kManual);
                  return own != nullptr ? 0 : 30;
              }),
              0);

    recorder.clear();
    openLockRelease(a);
    EXPECT_EQ(a->lockState, 0);
    EXPECT_EQ(show(recorder.events()), "(4,8,0)(4,8,1)(4,22,1)");
    IsFile *b = testing::openHandle(dir.name("t"), kManual);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(canLock(b, slot, 1), 1) << "released";
}

}  // namespace
}  // namespace wisam
