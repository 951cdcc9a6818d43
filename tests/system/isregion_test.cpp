// Region locks of the lock file: conflicts through one descriptor, between
// descriptors and between processes; exact unlocking; waiting with the
// deadlock escape; retries after interruption; the user-slot counter; and
// the byte counters of getIsamProfileData.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "frame/iserror.h"
#include "support/faults.h"
#include "support/lockprobe.h"
#include "support/testing.h"
#include "system/isprofile.h"
#include "system/isregion.h"
#include "wisam.h"

namespace wisam {
namespace {

using namespace testing;  // the lock probes and helpers

using testing::EventRecorder;
using testing::ProfileEventRecord;
using testing::spelling;
const auto show = testing::showEvents;

constexpr int64_t kRecord = kRecordAreaOffset;  // byte of record r: kRecord + r



// `count` failed attempts of a waiting lock with event code `area`.
std::string failedAttempts(int32_t tag, int32_t area, int count) {
    std::vector<ProfileEventRecord> events;
    for (int i = 0; i < count; ++i) {
        events.push_back({tag, area, 0});
        events.push_back({tag, area, 1});
        events.push_back({tag, area + 1, 2});
    }
    return show(events);
}

struct Outcome {
    int result = -1;  // sysLockRegion / sysUnlockRegion result; -1 when raised
    int error = 0;    // errno right after the call
};

// Runs a lock request inside a framed call, so that a raise comes back as
// the handle's error instead of unwinding the test.
Outcome lockRange(IsFile *f, int64_t offset, int32_t length, bool wait) {
    Outcome out;
    testing::inCall(f, kAccessAny, [&] {
        out.result = sysLockRegion(f, kKindLock, offset, length, wait);
        out.error = errno;
        return 1;
    });
    return out;
}

Outcome unlockRange(IsFile *f, int64_t offset, int32_t length) {
    Outcome out;
    testing::inCall(f, kAccessAny, [&] {
        out.result = sysUnlockRegion(f, kKindLock, offset, length);
        out.error = errno;
        return 1;
    });
    return out;
}

// The deadlock escape as a host would plant it: records each call and
// answers from a script (the last answer repeats).
struct DeadlockCall {
    IsFile *f;
    int32_t inRecordArea, error;
    int64_t offset;
    int32_t length;
    size_t eventsSoFar;  // events recorded when the escape was asked
};
std::vector<DeadlockCall> deadlockCalls;
std::vector<int32_t> deadlockAnswers;
const EventRecorder *deadlockRecorder = nullptr;

int32_t scriptedDeadlock(IsFile *f, int32_t inRecordArea, int32_t error, int64_t offset,
                         int32_t length) {
    const size_t seen = deadlockRecorder != nullptr ? deadlockRecorder->events().size() : 0;
    deadlockCalls.push_back({f, inRecordArea, error, offset, length, seen});
    const size_t i = std::min(deadlockCalls.size(), deadlockAnswers.size()) - 1;
    return deadlockAnswers[i];
}

// Counts failed attempts (phase-2 retry events) without keeping them.
int retryEvents = 0;
void countRetries(int32_t, int32_t event, int32_t phase) {
    if (phase == kPhaseEvent && (event == 6 || event == 11 || event == 16)) ++retryEvents;
}

// The next `failures` lock (or, with `unlocks`, unlock) requests fail with
// `error`; everything else reaches the system.  The plan counts its calls
// from here.
void failLockRequests(testing::FaultPlan &plan, int failures, int error, bool unlocks = false) {
    plan.clear();
    plan.failFirst(testing::Sys::lockRange, failures, error).onLocks(!unlocks);
}

class RegionLocks : public ::testing::Test {
protected:
    void SetUp() override {
        testing::layDownFiles(dir.file("t"), 8);
        deadlockCalls.clear();
        deadlockAnswers = {0};
        deadlockRecorder = nullptr;
    }
    void TearDown() override {
        isCleanUp();
        isDeadlockThreshold = 0;
        lockingDeadLock = nullptr;
        lowLevelProfileCallback = nullptr;
    }
    testing::TempDir dir;
};

TEST_F(RegionLocks, OverlapThroughOneDescriptorFailsAtOnce) {
    IsFile *a = testing::openHandle(dir.name("t"), kManual);
    IsFile *b = testing::openHandle(dir.name("t"), kManual);
    ASSERT_TRUE(a && b);
    ASSERT_EQ(a->lockFd, b->lockFd) << "handles of one name share the lock file";
    a->profileTag = 7;
    b->profileTag = 8;
    EventRecorder recorder;

    EXPECT_EQ(lockRange(a, kRecord + 5, 1, false).result, 1);
    EXPECT_EQ(show(recorder.events()), "(7,15,0)(7,15,1)");

    recorder.clear();
    const Outcome same = lockRange(b, kRecord + 5, 1, false);
    EXPECT_EQ(same.result, 0);
    EXPECT_EQ(same.error, EACCES);
    EXPECT_EQ(b->errorNumber, 0) << "a conflict without waiting raises nothing";
    EXPECT_EQ(show(recorder.events()), "(8,15,0)(8,15,1)(8,17,2)");

    EXPECT_EQ(lockRange(a, kRecord + 5, 1, false).result, 0)
        << "not even its holder may take it again";
    EXPECT_EQ(lockRange(b, kFileLockOffset, kFileLockLength, false).result, 0);

    // a holds its presence byte (slot 4): the open region and that byte are
    // taken, the neighbours are not.
    ASSERT_EQ(a->userSlot, 4);
    recorder.clear();
    EXPECT_EQ(lockRange(b, kOpenRegionOffset, kRegionLength, false).result, 0);
    EXPECT_EQ(lockRange(b, 4, 1, false).result, 0);
    EXPECT_EQ(show(recorder.events()), "(8,10,0)(8,10,1)(8,12,2)(8,5,0)(8,5,1)(8,7,2)");
    EXPECT_EQ(lockRange(b, 3, 1, false).result, 1);
    EXPECT_EQ(lockRange(b, kRecord + 4, 1, false).result, 1);
    EXPECT_EQ(lockRange(b, kRecord + 6, 1, false).result, 1);

    EXPECT_EQ(unlockRange(a, kRecord + 5, 1).result, 1);
    EXPECT_EQ(lockRange(b, kRecord + 5, 1, false).result, 1) << "free again after the unlock";
}

TEST_F(RegionLocks, OtherDescriptorsAndOtherProcessesConflict) {
    IsFile *a = testing::openHandle(dir.name("t"), kManual);
    IsFile *c = testing::openHandle(spelling(dir, "t", 1), kManual);
    ASSERT_TRUE(a && c);
    ASSERT_NE(a->lockFd, c->lockFd);
    ASSERT_EQ(lockRange(a, kRecord + 3, 1, false).result, 1);
    const Outcome other = lockRange(c, kRecord + 3, 1, false);
    EXPECT_EQ(other.result, 0) << "another descriptor of this process";
    EXPECT_EQ(other.error, EACCES);
    EXPECT_EQ(c->errorNumber, 0);

    testing::Signal childHolds, released;
    const int pid = testing::startChild([&] {
        IsFile *own = testing::openHandle(spelling(dir, "t", 2), kManual);
        if (own == nullptr) return 10;
        const Outcome taken = lockRange(own, kRecord + 3, 1, false);
        if (taken.result != 0 || taken.error != EACCES) return 11;
        if (lockRange(own, kRecord + 4, 1, false).result != 1) return 12;
        childHolds.post();
        if (!released.wait(kLongWait)) return 13;
        if (lockRange(own, kRecord + 3, 1, false).result != 1) return 14;
        return 0;
    });
    ASSERT_TRUE(childHolds.wait(kLongWait));
    const Outcome foreign = lockRange(a, kRecord + 4, 1, false);
    EXPECT_EQ(foreign.result, 0) << "held by the other process";
    EXPECT_EQ(foreign.error, EACCES);
    EXPECT_EQ(unlockRange(a, kRecord + 3, 1).result, 1);
    released.post();
    EXPECT_EQ(testing::waitChild(pid), 0);
}

TEST_F(RegionLocks, UnlockMustMatchALockedRangeExactly) {
    IsFile *a = testing::openHandle(dir.name("t"), kManual);
    IsFile *b = testing::openHandle(dir.name("t"), kManual);
    ASSERT_TRUE(a && b);
    a->profileTag = 3;
    ASSERT_EQ(lockRange(a, kFileLockOffset, kFileLockLength, false).result, 1);

    EventRecorder recorder;
    EXPECT_EQ(unlockRange(a, kFileLockOffset, 1).result, -1) << "part of a locked range";
    EXPECT_EQ(a->errorNumber, EACCES);
    EXPECT_EQ(a->ioError, kIoLock + kKindLock);
    EXPECT_EQ(show(recorder.events()), "(3,18,0)(3,18,1)(3,19,2)");
    EXPECT_EQ(unlockRange(a, kFileLockOffset + 1, kFileLockLength - 1).result, -1);
    EXPECT_EQ(unlockRange(a, kFileLockOffset, kFileLockLength + 1).result, -1);
    EXPECT_EQ(unlockRange(a, 5000, 1).result, -1) << "never locked";
    EXPECT_EQ(a->errorNumber, 13);
    EXPECT_EQ(a->ioError, 103);

    EXPECT_EQ(lockRange(b, kRecord + 1, 1, false).result, 0) << "the whole range is still held";
    EXPECT_EQ(unlockRange(a, kFileLockOffset, kFileLockLength).result, 1);
    EXPECT_EQ(lockRange(b, kRecord + 1, 1, false).result, 1);

    // Without a handle the failure is only the result.
    recorder.clear();
    EXPECT_EQ(sysUnlockRegion(nullptr, a->lockFd, 5000, 1), 0);
    EXPECT_EQ(show(recorder.events()), "(-1,18,0)(-1,18,1)(-1,19,2)");
}

TEST_F(RegionLocks, UnlockWithoutAnOpenLockFileSucceedsWithoutASystemCall) {
    IsFile *f = testing::openHandle(dir.name("t"), kModeNoLocking);
    ASSERT_NE(f, nullptr);
    ASSERT_EQ(f->lockFd, -1);
    testing::FaultPlan faults;
    EventRecorder recorder;
    EXPECT_EQ(unlockRange(f, kRecord + 1, 1).result, 1);
    EXPECT_EQ(sysUnlockRegion(nullptr, -1, kStateRegionOffset, kRegionLength), 1);
    EXPECT_EQ(faults.calls(testing::Sys::lockRange), 0);
    EXPECT_TRUE(recorder.events().empty()) << show(recorder.events());
    EXPECT_EQ(f->errorNumber, 0);
}

TEST_F(RegionLocks, DeadlockEscapeIsAskedAfterTheThresholdAndAgainOnEveryAttempt) {
    IsFile *a = testing::openHandle(dir.name("t"), kManual);
    IsFile *b = testing::openHandle(dir.name("t"), kManual);
    ASSERT_TRUE(a && b);
    b->profileTag = 9;
    ASSERT_EQ(lockRange(a, kRecord + 9, 1, false).result, 1);
    isDeadlockThreshold = 3;
    lockingDeadLock = scriptedDeadlock;
    EventRecorder recorder;
    deadlockRecorder = &recorder;

    // First answer 0: asked on the fourth failed attempt, then given up.
    Outcome given = lockRange(b, kRecord + 9, 1, true);
    EXPECT_EQ(given.result, 0);
    EXPECT_EQ(b->errorNumber, 0) << "giving up raises nothing";
    ASSERT_EQ(deadlockCalls.size(), 1u);
    const DeadlockCall &call = deadlockCalls[0];
    EXPECT_EQ(call.f, b);
    EXPECT_EQ(call.inRecordArea, 1);
    EXPECT_EQ(call.error, EACCES);
    EXPECT_EQ(call.offset, 9) << "the record number, not the byte offset";
    EXPECT_EQ(call.length, 1);
    EXPECT_EQ(call.eventsSoFar, 4u * 3u);
    EXPECT_EQ(show(recorder.events()), failedAttempts(9, 15, 4));

    // Answers 1, 1, 0: the counter is never reset within the request.
    recorder.clear();
    deadlockCalls.clear();
    deadlockAnswers = {1, 1, 0};
    EXPECT_EQ(lockRange(b, kRecord + 9, 1, true).result, 0);
    ASSERT_EQ(deadlockCalls.size(), 3u);
    EXPECT_EQ(deadlockCalls[0].eventsSoFar, 12u);
    EXPECT_EQ(deadlockCalls[1].eventsSoFar, 15u);
    EXPECT_EQ(deadlockCalls[2].eventsSoFar, 18u);
    EXPECT_EQ(show(recorder.events()), failedAttempts(9, 15, 6));

    // Without waiting the escape is never asked.
    deadlockCalls.clear();
    isDeadlockThreshold = 1;
    EXPECT_EQ(lockRange(b, kRecord + 9, 1, false).result, 0);
    EXPECT_TRUE(deadlockCalls.empty());
}

TEST_F(RegionLocks, DeadlockEscapeGetsRawOffsetsBelowTheRecordArea) {
    IsFile *a = testing::openHandle(dir.name("t"), kManual);
    IsFile *b = testing::openHandle(dir.name("t"), kManual);
    ASSERT_TRUE(a && b);
    isDeadlockThreshold = 1;
    lockingDeadLock = scriptedDeadlock;

    ASSERT_EQ(lockRange(a, kStateRegionOffset, kRegionLength, false).result, 1);
    EXPECT_EQ(lockRange(b, kStateRegionOffset + 7, 1, true).result, 0);
    ASSERT_EQ(lockRange(a, kFileLockOffset, kFileLockLength, false).result, 1);
    EXPECT_EQ(lockRange(b, kFileLockOffset, kFileLockLength, true).result, 0);

    ASSERT_EQ(deadlockCalls.size(), 2u);
    EXPECT_EQ(deadlockCalls[0].inRecordArea, 0);
    EXPECT_EQ(deadlockCalls[0].offset, 519);
    EXPECT_EQ(deadlockCalls[0].length, 1);
    EXPECT_EQ(deadlockCalls[1].inRecordArea, 1);
    EXPECT_EQ(deadlockCalls[1].offset, 0) << "the file lock is record 0";
    EXPECT_EQ(deadlockCalls[1].length, 1024);
}

TEST_F(RegionLocks, WaitingRecordLockAgainstAnotherProcess) {
    IsFile *a = testing::openHandle(dir.name("t"), kManual);
    ASSERT_NE(a, nullptr);
    a->profileTag = 21;
    testing::Signal childHolds, done;
    const int pid = testing::startChild([&] {
        IsFile *own = testing::openHandle(spelling(dir, "t", 1), kManual);
        if (own == nullptr || lockRange(own, kRecord + 9, 1, false).result != 1) return 10;
        childHolds.post();
        return done.wait(kLongWait) ? 0 : 11;
    });
    ASSERT_TRUE(childHolds.wait(kLongWait));
    isDeadlockThreshold = 3;
    lockingDeadLock = scriptedDeadlock;
    EventRecorder recorder;
    EXPECT_EQ(lockRange(a, kRecord + 9, 1, true).result, 0);
    EXPECT_EQ(show(recorder.events()), failedAttempts(21, 15, 4));
    ASSERT_EQ(deadlockCalls.size(), 1u);
    EXPECT_EQ(deadlockCalls[0].f, a);
    EXPECT_EQ(deadlockCalls[0].inRecordArea, 1);
    EXPECT_EQ(deadlockCalls[0].error, 13);
    EXPECT_EQ(deadlockCalls[0].offset, 9);
    EXPECT_EQ(deadlockCalls[0].length, 1);
    done.post();
    EXPECT_EQ(testing::waitChild(pid), 0);
}

TEST_F(RegionLocks, WithoutAPositiveThresholdAWaitingLockNeverGivesUp) {
    IsFile *a = testing::openHandle(dir.name("t"), kManual);
    ASSERT_NE(a, nullptr);
    int depth = 1;
    for (const int32_t threshold : {0, -1}) {
        SCOPED_TRACE(threshold);
        testing::Signal childHolds, done;
        const int pid = testing::startChild([&] {
            IsFile *own = testing::openHandle(spelling(dir, "t", depth), kManual);
            if (own == nullptr || lockRange(own, kRecord + 2, 1, false).result != 1) return 10;
            childHolds.post();
            ::usleep(150 * 1000);  // the parent polls meanwhile
            if (unlockRange(own, kRecord + 2, 1).result != 1) return 11;
            return done.wait(kLongWait) ? 0 : 12;
        });
        ++depth;
        ASSERT_TRUE(childHolds.wait(kLongWait));
        isDeadlockThreshold = threshold;
        lockingDeadLock = scriptedDeadlock;  // would answer 0 if it were asked
        retryEvents = 0;
        lowLevelProfileCallback = countRetries;
        EXPECT_EQ(lockRange(a, kRecord + 2, 1, true).result, 1);
        lowLevelProfileCallback = nullptr;
        EXPECT_GE(retryEvents, 1) << "the first attempt met the child's lock";
        EXPECT_TRUE(deadlockCalls.empty());
        EXPECT_EQ(unlockRange(a, kRecord + 2, 1).result, 1);
        done.post();
        EXPECT_EQ(testing::waitChild(pid), 0);
    }
}

TEST_F(RegionLocks, InterruptedOrDeadlockedAttemptsAreRetriedEvenWithoutWaiting) {
    IsFile *a = testing::openHandle(dir.name("t"), kManual);
    ASSERT_NE(a, nullptr);
    a->profileTag = 4;
    testing::FaultPlan faults;
    int64_t record = 1;
    for (const int error : {EINTR, EDEADLK}) {
        SCOPED_TRACE(error);
        failLockRequests(faults, 2, error);
        EventRecorder recorder;
        EXPECT_EQ(lockRange(a, kRecord + record, 1, false).result, 1);
        EXPECT_EQ(faults.calls(testing::Sys::lockRange), 3);
        EXPECT_EQ(show(recorder.events()), failedAttempts(4, 15, 2) + "(4,15,0)(4,15,1)");
        ++record;
    }

    // Each interrupted attempt counts for the deadlock escape, which gets
    // the system's error.
    isDeadlockThreshold = 1;
    lockingDeadLock = scriptedDeadlock;
    failLockRequests(faults, 5, EINTR);
    EXPECT_EQ(lockRange(a, kRecord + 10, 1, false).result, 0);
    EXPECT_EQ(faults.calls(testing::Sys::lockRange), 2);
    ASSERT_EQ(deadlockCalls.size(), 1u);
    EXPECT_EQ(deadlockCalls[0].error, EINTR);
    EXPECT_EQ(a->errorNumber, 0);
}

TEST_F(RegionLocks, OtherSystemFailuresRaiseWithTheLockIoCode) {
    IsFile *a = testing::openHandle(dir.name("t"), kManual);
    ASSERT_NE(a, nullptr);
    a->profileTag = 6;
    testing::FaultPlan faults;

    failLockRequests(faults, 1, EIO);
    EventRecorder recorder;
    EXPECT_EQ(lockRange(a, kRecord + 1, 1, true).result, -1);
    EXPECT_EQ(a->errorNumber, EIO);
    EXPECT_EQ(a->ioError, 103);
    EXPECT_EQ(show(recorder.events()), "(6,15,0)(6,15,1)");
    failLockRequests(faults, 1, EIO);
    EXPECT_EQ(sysLockRegion(nullptr, a->lockFd, kRecord + 1, 1, false), 0);

    // The system's own conflict code arrives as EACCES.
    failLockRequests(faults, 1, EAGAIN);
    recorder.clear();
    const Outcome busy = lockRange(a, kRecord + 1, 1, false);
    EXPECT_EQ(busy.result, 0);
    EXPECT_EQ(busy.error, EACCES);
    EXPECT_EQ(show(recorder.events()), "(6,15,0)(6,15,1)(6,17,2)");

    // A failing unlock raises too, and the range stays held.
    ASSERT_EQ(lockRange(a, kRecord + 2, 1, false).result, 1);
    failLockRequests(faults, 1, EIO, true);
    recorder.clear();
    EXPECT_EQ(unlockRange(a, kRecord + 2, 1).result, -1);
    EXPECT_EQ(a->errorNumber, EIO);
    EXPECT_EQ(a->ioError, 103);
    EXPECT_EQ(show(recorder.events()), "(6,18,0)(6,18,1)(6,19,2)");
    EXPECT_EQ(lockRange(a, kRecord + 2, 1, false).result, 0);
    EXPECT_EQ(unlockRange(a, kRecord + 2, 1).result, 1);

    // A negative offset cannot be sought to.
    EXPECT_EQ(lockRange(a, -1, 1, false).result, -1);
    EXPECT_EQ(a->errorNumber, EINVAL);
    EXPECT_EQ(a->ioError, kIoSeek + kKindLock);
}

class UserSlots : public RegionLocks {
protected:
    std::vector<uint8_t> lockFile() { return testing::readFile(dir.file("t.lck")); }
    // A lock file whose counter says `last`, followed by 0xEE bytes.
    void layDownCounter(uint32_t last) {
        std::vector<uint8_t> bytes(600, 0xEE);
        bytes[0] = static_cast<uint8_t>(last >> 24);
        bytes[1] = static_cast<uint8_t>(last >> 16);
        bytes[2] = static_cast<uint8_t>(last >> 8);
        bytes[3] = static_cast<uint8_t>(last);
        testing::writeFile(dir.file("t.lck"), bytes);
    }
};

TEST_F(UserSlots, FirstSlotIsFourThenFiveInAnotherProcess) {
    ASSERT_FALSE(testing::fileExists(dir.file("t.lck")));
    IsFile *a = testing::openHandle(dir.name("t"), kManual);
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a->userSlot, 4);
    EXPECT_EQ(lockFile(), (std::vector<uint8_t>{0, 0, 0, 4, 0}));

    const int childSlot = testing::runInChild([&] {
        IsFile *own = testing::openHandle(spelling(dir, "t", 1), kManual);
        return own != nullptr ? own->userSlot : 0;
    });
    EXPECT_EQ(childSlot, 5);
    EXPECT_EQ(lockFile(), (std::vector<uint8_t>{0, 0, 0, 5, 0, 0}));

    // A second handle of the group takes its slot at its first lock.
    IsFile *b = testing::openHandle(dir.name("t"), kManual);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(b->userSlot, 0);
    EXPECT_EQ(sysUserSlot(b), 6);
    EXPECT_EQ(sysUserSlot(b), 6) << "kept for the life of the handle";
    EXPECT_EQ(sysUserSlot(a), 4);
    EXPECT_EQ(lockFile(), (std::vector<uint8_t>{0, 0, 0, 6, 0, 0, 0}));
    EXPECT_EQ(sysUserSlot(nullptr), static_cast<int32_t>(::getpid()));
}

TEST_F(UserSlots, CounterRunsRoundRobinAndMarksTheSlotByte) {
    struct Case {
        uint32_t last;
        int32_t next;
    };
    for (const Case c : {Case{99, 100}, Case{510, 511}, Case{511, 4}}) {
        SCOPED_TRACE(c.last);
        layDownCounter(c.last);
        std::vector<uint8_t> expected = lockFile();
        IsFile *f = testing::openHandle(dir.name("t"), kManual);
        ASSERT_NE(f, nullptr);
        EXPECT_EQ(f->userSlot, c.next);
        expected[0] = 0;
        expected[1] = 0;
        expected[2] = static_cast<uint8_t>(c.next >> 8);
        expected[3] = static_cast<uint8_t>(c.next);
        expected[static_cast<size_t>(c.next)] = 0;
        EXPECT_EQ(lockFile(), expected);
        testing::closeTestHandle(f);
    }
}

TEST_F(UserSlots, AllocationEventsAndCounters) {
    IsFile *a = testing::openHandle(dir.name("t"), kManual);
    IsFile *b = testing::openHandle(dir.name("t"), kManual);
    ASSERT_TRUE(a && b);
    b->profileTag = 3;
    uint32_t before[4][2], after[4][2];
    getIsamProfileData(before[0], before[1], before[2], before[3]);
    EventRecorder recorder;
    EXPECT_EQ(sysUserSlot(b), 5);
    getIsamProfileData(after[0], after[1], after[2], after[3]);
    // The counter is read without the handle (tag -1) and written with it.
    EXPECT_EQ(show(recorder.events()),
              "(3,5,0)(3,5,1)(-1,1,0)(-1,1,1)(3,3,0)(3,3,1)(3,3,0)(3,3,1)(3,8,0)(3,8,1)");
    EXPECT_EQ(after[0][0] - before[0][0], 4u) << "the counter read";
    EXPECT_EQ(after[3][0] - before[3][0], 5u) << "the counter and the slot byte";
    EXPECT_EQ(after[1][0], before[1][0]);
    EXPECT_EQ(after[2][0], before[2][0]);
}

TEST_F(UserSlots, ExclusiveOpenerInAnotherProcessBlocksAllocationWith113) {
    testing::Signal childOpen, done;
    const int pid = testing::startChild([&] {
        IsFile *own = testing::openHandle(spelling(dir, "t", 1), kManual | kModeExclusive);
        if (own == nullptr || own->lockState != kLockOpenExclusive) return 10;
        childOpen.post();
        return done.wait(kLongWait) ? 0 : 11;
    });
    ASSERT_TRUE(childOpen.wait(kLongWait));
    const std::vector<uint8_t> counter = lockFile();

    IsFile probe;
    probe.profileTag = 12;
    probe.lockFd = ::open(dir.file("t.lck").c_str(), O_RDWR);
    ASSERT_GE(probe.lockFd, 0);
    EventRecorder recorder;
    EXPECT_EQ(sysUserSlot(&probe), 0);
    EXPECT_EQ(probe.errorNumber, kErrFileInUse);
    EXPECT_EQ(probe.userSlot, 0);
    // Refused attempts, repeated for a short while before giving up.
    const std::string attempt = "(12,5,0)(12,5,1)(12,7,2)";
    const std::string events = show(recorder.events());
    ASSERT_GE(events.size(), 2 * attempt.size());
    for (size_t at = 0; at < events.size(); at += attempt.size()) {
        EXPECT_EQ(events.substr(at, attempt.size()), attempt) << at;
    }
    ::close(probe.lockFd);

    int error = 0;
    EXPECT_EQ(testing::tryOpenHandle(dir.name("t"), kManual, error), nullptr);
    EXPECT_EQ(error, 113);
    EXPECT_EQ(lockFile(), counter) << "the counter is untouched";
    done.post();
    EXPECT_EQ(testing::waitChild(pid), 0);
}

// Processes opening one file at the same moment meet each other's slot
// allocation; none of them may fail for it.
TEST_F(UserSlots, SimultaneousOpensInSeveralProcessesAllSucceed) {
    constexpr int kProcesses = 4;
    constexpr int kOpens = 60;
    testing::Signal go;
    std::vector<int> pids;
    for (int p = 0; p < kProcesses; ++p) {
        pids.push_back(testing::startChild([&, p] {
            if (!go.wait(kLongWait)) return 20;
            for (int i = 0; i < kOpens; ++i) {
                int error = 0;
                IsFile *own = testing::tryOpenHandle(spelling(dir, "t", p + 1), kManual, error);
                if (own == nullptr) return error == 0 ? 21 : error % 100;
                testing::closeTestHandle(own);
            }
            return 0;
        }));
    }
    for (int p = 0; p < kProcesses; ++p) go.post();
    for (int pid : pids) EXPECT_EQ(testing::waitChild(pid), 0);
}

// Each thread counts in a block of its own; the totals add up every block,
// also those of threads that ended (taken over by later threads), and are
// handed out low word first.
TEST(ProfileData, CountsOfEveryThreadAddUpAndAreHandedOutLowWordFirst) {
    auto totals = [] {
        uint32_t out[4][2] = {};
        getIsamProfileData(out[0], out[1], out[2], out[3]);
        std::array<uint64_t, 4> value{};
        for (size_t i = 0; i < 4; ++i) value[i] = out[i][0] | uint64_t{out[i][1]} << 32;
        return value;
    };
    const std::array<uint64_t, 4> before = totals();
    const std::array<uint64_t, 4> added = {0x0000000100000002ull, 0xFFFFFFFFull, 0x1234567800000000ull,
                                           0x8000000000000001ull};
    countBytes(kCountRequested, added[0]);
    std::thread([&] { countBytes(kCountReadIntoCache, added[1]); }).join();
    std::thread([&] { countBytes(kCountThroughCache, added[2]); }).join();
    std::vector<std::thread> side;
    for (int t = 0; t < 4; ++t) {
        side.emplace_back([] {
            for (int i = 0; i < 10000; ++i) countBytes(kCountWritten, 3);
        });
    }
    for (std::thread &t : side) t.join();
    countBytes(kCountWritten, added[3] - 4 * 10000 * 3);
    const std::array<uint64_t, 4> after = totals();
    for (size_t i = 0; i < 4; ++i) EXPECT_EQ(after[i] - before[i], added[i]) << "counter " << i;
}

}  // namespace
}  // namespace wisam
