// Error table, status characters, fatal reports and the error exit.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "frame/iscall.h"
#include "frame/iserror.h"
#include "frame/ismemory.h"
#include "support/testing.h"
#include "wisam.h"

namespace wisam {
namespace {


std::string statusAfter(int error, char detail) {
    errno = error;
    setStatus(nullptr, detail);
    return std::string{isstat1, isstat2, isstat3, isstat4};
}

TEST(ErrorTable, HoldsEveryTextFrom100To134) {
    EXPECT_EQ(is_nerr, 134);
    EXPECT_STREQ(is_errlist[0], "Duplicate record");
    EXPECT_STREQ(is_errlist[105 - 100], "Corrupted isam file");
    EXPECT_STREQ(is_errlist[113 - 100], "File is in use");
    EXPECT_STREQ(is_errlist[116 - 100], "Can't allocate memory");
    EXPECT_STREQ(is_errlist[123 - 100], "No shared memory");
    EXPECT_STREQ(is_errlist[134 - 100], "No more locks");
    for (int i = 0; i <= is_nerr - 100; ++i) {
        ASSERT_NE(is_errlist[i], nullptr) << i;
        EXPECT_GT(std::strlen(is_errlist[i]), 5u) << i;
    }
}

// The status characters by the class of the error: isstat1 is the class
// (0 no error, 1 at the end, 2 an invalid key, 3 a permanent error, 9
// another error), isstat2 refines it, isstat3 and isstat4 are the same in
// the X/Open pairing.  Each rule below is checked over every number it
// speaks of, so that a wrong row of the status table breaks one of them.

constexpr int kFirstLibraryError = 100, kLastLibraryError = 134;

bool isLibraryError(int error) { return error >= kFirstLibraryError && error <= kLastLibraryError; }

// The conditions of an invalid key: a duplicate, a record not found, no
// current record.
bool isKeyCondition(int error) { return error == EDUPL || error == ENOREC || error == ENOCURR; }

// Conditions of a database server the library has no part of.
bool isServerCondition(int error) { return error == ENOSHMEM || error == ENODBS; }

// Errors of the file and its records, as opposed to those of the
// environment (the lock device, the collating table, the log and
// transactions, the limits of the system).
bool isFileError(int error) { return error < EBADCOLL && error != ENOLOK; }

TEST(SetStatus, NumbersThatAreNoLibraryErrorGiveNoStatusButAnExistingFile) {
    for (int error = -3; error <= 400; ++error) {
        if (isLibraryError(error)) continue;
        EXPECT_EQ(statusAfter(error, ' '), error == EEXIST ? "3000" : "0000") << error;
    }
}

TEST(SetStatus, TheFirstCharacterIsTheClassOfTheError) {
    for (int error = kFirstLibraryError; error <= kLastLibraryError; ++error) {
        const std::string status = statusAfter(error, ' ');
        const char expected = error == EENDFILE            ? '1'
                              : isKeyCondition(error)       ? '2'
                              : isServerCondition(error)    ? '0'
                                                            : '9';
        EXPECT_EQ(status[0], expected) << error << ": " << status;
        if (status[0] == '0') {
            EXPECT_EQ(status, "0000") << error << ": no class, no status";
        }
    }
}

// Whatever the library itself raises is reported as a failure.
TEST(SetStatus, EveryErrorTheLibraryRaisesHasAClass) {
    for (const int error : {kErrDuplicate, kErrNotOpen, kErrBadArgument, kErrBadKey, kErrTooManyFiles, kErrCorrupt,
                            kErrNeedExclusive, kErrLocked, kErrIndexExists, kErrPrimaryKey, kErrEndOfFile,
                            kErrNotFound, kErrNoCurrent, kErrFileInUse, kErrNameTooLong, kErrBadLockDevice,
                            kErrNoMemory, kErrLogRead, kErrBadLog, kErrLogOpen, kErrLogWrite, kErrNoPrimary,
                            kErrNoLog, kErrRowTooBig, kErrNoMoreLocks}) {
        for (const char detail : {' ', '0', '3', '6', '9'}) {
            EXPECT_NE(statusAfter(error, detail)[0], '0') << error << " with detail '" << detail << "'";
        }
    }
}

// The second character names the invalid key (as X/Open's 22 and 23 do);
// every other class has none.
TEST(SetStatus, TheSecondCharacterNamesTheInvalidKey) {
    for (int error = kFirstLibraryError; error <= kLastLibraryError; ++error) {
        const std::string status = statusAfter(error, ' ');
        const char expected = error == EDUPL ? '2' : error == ENOREC ? '3' : error == ENOCURR ? '1' : '0';
        EXPECT_EQ(status[1], expected) << error << ": " << status;
    }
}

// The X/Open pair repeats a duplicate's and a missing record's; for the
// other errors it is "90" when the file or its records are at fault, "00"
// when the environment is.
TEST(SetStatus, TheXOpenPairFollowsTheClass) {
    for (int error = kFirstLibraryError; error <= kLastLibraryError; ++error) {
        const std::string status = statusAfter(error, ' ');
        if (error == EDUPL || error == ENOREC) {
            EXPECT_EQ(status.substr(2), status.substr(0, 2)) << error;
        } else if (status[0] == '9' && error != ENOTOPEN) {
            EXPECT_EQ(status.substr(2), isFileError(error) ? "90" : "00") << error;
        }
    }
}

// The detail refines 101, 102, 110 and 112 only; and no status depends on
// the one before it.
TEST(SetStatus, OnlyFourErrorsReadTheDetailAndNoneThePreviousStatus) {
    for (int error = -3; error <= 400; ++error) {
        const std::string plain = statusAfter(error, ' ');
        statusAfter(EDUPL, ' ');
        EXPECT_EQ(statusAfter(error, ' '), plain) << error << " after a duplicate";
        if (error == ENOTOPEN || error == EBADARG || error == EENDFILE || error == ENOCURR) continue;
        for (const char detail : {'0', '3', '4', '6', '7', '9'}) {
            EXPECT_EQ(statusAfter(error, detail), plain) << error << " with detail '" << detail << "'";
        }
    }
}

TEST(SetStatus, AppliesTheDetailRules) {
    EXPECT_EQ(statusAfter(101, ' '), "9040");
    EXPECT_EQ(statusAfter(101, '5'), "9045");
    EXPECT_EQ(statusAfter(102, ' '), "9090");
    EXPECT_EQ(statusAfter(102, '4'), "9044");
    EXPECT_EQ(statusAfter(102, '7'), "9037");
    EXPECT_EQ(statusAfter(102, '9'), "9039");
    statusAfter(111, '3');  // leaves isstat3/isstat4 at '2','3'
    EXPECT_EQ(statusAfter(102, '0'), "9023") << "other details keep isstat3 and isstat4";
    EXPECT_EQ(statusAfter(110, '6'), "1046");
    EXPECT_EQ(statusAfter(110, ' '), "1010");
    EXPECT_EQ(statusAfter(110, '0'), "1010");
    EXPECT_EQ(statusAfter(112, '3'), "2143");
    EXPECT_EQ(statusAfter(112, ' '), "214 ");
}

TEST(SetStatus, CopiesIntoTheHandle) {
    IsFile f;
    errno = 111;
    setStatus(&f, '3');
    EXPECT_EQ(std::string(f.status, 4), "2323");
}

TEST(FatalMessage, FormatsIntoABoundedBufferAndCallsTheHook) {
    testing::FatalCapture capture;
    fatalAt("ismemory", 31);
    ASSERT_EQ(capture.texts().size(), 1u);
    EXPECT_EQ(capture.texts()[0], "fatal isam error ismemory(31)");
    const std::string longText(1000, 'x');
    fatalMessage("%s", longText.c_str());
    ASSERT_EQ(capture.texts().size(), 2u);
    EXPECT_EQ(capture.texts()[1].size(), 255u);
    isFatal(nullptr);
    fatalAt("iskey", 1);  // no hook: nothing happens
    EXPECT_EQ(capture.texts().size(), 2u);
}

TEST(IsFatal, ReturnsTheHookItInstalls) {
    const IsFatalHook hook = [](const char *) {};
    EXPECT_EQ(isFatal(hook), hook);
    EXPECT_EQ(isFatal(nullptr), nullptr);
}

class RaiseTest : public ::testing::Test {
protected:
    void SetUp() override {
        testing::layDownFiles(dir.file("r"), 20);
        f = testing::openHandle(dir.name("r"), kModeAccessInput | 2 | kModeManualLock);
        ASSERT_NE(f, nullptr);
    }
    void TearDown() override { testing::closeTestHandle(f); }
    testing::TempDir dir;
    IsFile *f = nullptr;
};

TEST_F(RaiseTest, StoresErrorIoCodeErrnoAndStatusThenUnwindsToTheFrame) {
    testing::FatalCapture capture;
    bool after = false;
    const int result = framedCall(f, kAccessRead, CallLock::shared, [&] {
        raiseError(f, kErrNotFound, 65, '3');
        after = true;
        return 1;
    });
    EXPECT_EQ(result, 0);
    EXPECT_FALSE(after);
    EXPECT_EQ(isErrno(f), 111);
    EXPECT_EQ(isErrio(f), 65);
    EXPECT_EQ(errno, 111);
    EXPECT_EQ(std::string(f->status, 4), "2323");
    EXPECT_EQ(f->callAccess, 0);
    EXPECT_EQ(f->lockState & kLockStateShared, 0) << "the file-state lock is released";
    EXPECT_TRUE(capture.texts().empty()) << "a raise inside a call is no crash";
    EXPECT_EQ(f->frameDepth, 0);
}

TEST_F(RaiseTest, SecondRaiseInOneCallIsReportedAsACrash) {
    testing::FatalCapture capture;
    const int result = framedCall(f, kAccessRead, CallLock::none, [&] {
        try {
            raiseError(f, kErrLocked, 0);
        } catch (const IsamRaise &) {
        }
        raiseError(f, kErrCorrupt, 81);
        return 1;
    });
    EXPECT_EQ(result, 0);
    ASSERT_EQ(capture.texts().size(), 1u);
    EXPECT_EQ(capture.texts()[0], "isam crash [107/0]");
    EXPECT_EQ(isErrno(f), 105);
    EXPECT_EQ(isErrio(f), 81);
}

TEST_F(RaiseTest, RaiseOutsideAnyCallReportsACrashAndNeverReachesTheHost) {
    testing::FatalCapture capture;
    f->errorNumber = 113;
    f->ioError = 0x67;
    f->callAccess = 0;
    // No frame is armed: the outermost guard of the exported call catches it.
    const int result = guardedCall(f, [&] {
        raiseError(f, kErrCorrupt, 65);
        return 1;
    });
    EXPECT_EQ(result, 0);
    ASSERT_EQ(capture.texts().size(), 1u);
    EXPECT_EQ(capture.texts()[0], "isam crash [113/67]");
    EXPECT_EQ(f->errorNumber, 105);
}

// The handle's view of the file when the call began is authoritative: it
// may hold changes of earlier calls that a kept lock holds back, so it is
// put back, never read again from the file.
TEST_F(RaiseTest, ChangingCallFailurePutsBackTheStateItBeganWith) {
    f->indexAlloc.state = kFreeListDirty;
    f->dataAlloc.state = kFreeListClean;
    f->changeCount = 99;  // ahead of the file, as under a kept lock
    f->spaceTableStale = 0;
    const int result = framedCall(f, kAccessChange, CallLock::none, [&] {
        f->changeCount = 100;
        f->dataAlloc.highest += 7;
        raiseError(f, kErrDuplicate, 0);
        return 1;
    });
    EXPECT_EQ(result, 0);
    EXPECT_EQ(f->indexAlloc.state, kFreeListUnloaded);
    EXPECT_EQ(f->dataAlloc.state, kFreeListUnloaded) << "its head may be one the call moved to";
    EXPECT_EQ(f->changeCount, 99u);
    EXPECT_EQ(f->dataAlloc.highest, 0u);
    EXPECT_EQ(f->spaceTableStale, 1);
    EXPECT_EQ(std::string(f->status, 4), "2222");
}

TEST_F(RaiseTest, ReadingCallFailureKeepsCachedState) {
    f->indexAlloc.state = kFreeListDirty;
    const int result = framedCall(f, kAccessRead, CallLock::none, [&] {
        raiseError(f, kErrEndOfFile, 0, '6');
        return 1;
    });
    EXPECT_EQ(result, 0);
    EXPECT_EQ(f->indexAlloc.state, kFreeListDirty);
    EXPECT_EQ(std::string(f->status, 4), "1046");
}

TEST_F(RaiseTest, AllocationFailureBecomes116AfterTheFatalReport) {
    testing::FatalCapture capture;
    const int result = framedCall(f, kAccessRead, CallLock::none, [&]() -> int {
        throw std::bad_alloc();
    });
    EXPECT_EQ(result, 0);
    EXPECT_EQ(isErrno(f), 116);
    ASSERT_FALSE(capture.texts().empty());
    EXPECT_EQ(capture.texts()[0], "fatal isam error ismemory(31)");
    EXPECT_EQ(std::string(f->status, 4), "9090");
}

TEST_F(RaiseTest, ImpossibleAllocationRaises116NeverANullBlock) {
    testing::FatalCapture capture;
    void *block = reinterpret_cast<void *>(1);
    const int result = framedCall(f, kAccessRead, CallLock::none, [&] {
        block = allocZeroed(f, SIZE_MAX / 2);
        return 1;
    });
    EXPECT_EQ(result, 0);
    EXPECT_EQ(block, reinterpret_cast<void *>(1)) << "the caller never saw a block";
    EXPECT_EQ(isErrno(f), 116);
    ASSERT_EQ(capture.texts().size(), 1u);
    EXPECT_EQ(capture.texts()[0], "fatal isam error ismemory(31)");
}

TEST(Memory, ResizeZeroesTheNewBytesAndKeepsTheOld) {
    auto *block = static_cast<uint8_t *>(allocZeroed(nullptr, 4));
    for (int i = 0; i < 4; ++i) EXPECT_EQ(block[i], 0);
    std::memset(block, 0xAB, 4);
    block = static_cast<uint8_t *>(reallocZeroed(nullptr, block, 4, 4096));
    EXPECT_EQ(block[3], 0xAB);
    for (int i = 4; i < 4096; ++i) ASSERT_EQ(block[i], 0) << i;
    block = freeBlock(block);
    EXPECT_EQ(block, nullptr);
}

TEST(Memory, ImpossibleResizeReportsLine42AndKeepsTheBlock) {
    testing::FatalCapture capture;
    auto *block = static_cast<uint8_t *>(allocZeroed(nullptr, 8));
    block[0] = 7;
    const int result = guardedCall(nullptr, [&] {
        block = static_cast<uint8_t *>(reallocZeroed(nullptr, block, 8, SIZE_MAX / 2));
        return 1;
    });
    EXPECT_EQ(result, 0);
    EXPECT_EQ(block[0], 7);
    ASSERT_EQ(capture.texts().size(), 1u);
    EXPECT_EQ(capture.texts()[0], "fatal isam error ismemory(42)");
    freeBlock(block);
}

}  // namespace
}  // namespace wisam
