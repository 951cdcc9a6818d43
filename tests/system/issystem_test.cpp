// Tests of the file layer's descriptor I/O: create and open by kind, reads
// and writes with their error numbers and I/O codes, retry on interruption,
// 64-bit offsets, erase and rename through link files, the profiling events
// and the quiet failures of operations without a handle.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "frame/iserror.h"
#include "frame/isfile.h"
#include "frame/ismemory.h"
#include "support/faults.h"
#include "support/testing.h"
#include "system/isprofile.h"
#include "system/issystem.h"
#include "wisam.h"

namespace {

using namespace wisam;
using wisam::testing::EventRecorder;
using wisam::testing::Fault;
using wisam::testing::FaultPlan;
using wisam::testing::Sys;
using wisam::testing::fileExists;
using wisam::testing::inCall;
using wisam::testing::ProfileEventRecord;
using wisam::testing::readFile;
using wisam::testing::TempDir;
using wisam::testing::writeFile;
using wisam::testing::writeText;

using Bytes = std::vector<uint8_t>;
using Events = std::vector<ProfileEventRecord>;

constexpr int32_t kTag = 7;
constexpr int64_t kFourGiB = int64_t{1} << 32;

// --- Fixture ------------------------------------------------------------

// A handle that is not registered: its descriptors are opened by the tests
// themselves, through the layer under test.
class FileLayerTest : public ::testing::Test {
protected:
    void SetUp() override {
        f = newHandle();
        f->profileTag = kTag;
    }
    void TearDown() override {
        sysClose(f, kKindIndex);
        sysClose(f, kKindData);
        sysClose(f, kKindLock);
        destroyHandle(f);
    }

    // Runs `work` as an exported call would: true when it finished, false
    // when it raised (the error then sits in f->errorNumber and f->ioError).
    bool completes(const std::function<void()> &work) {
        return inCall(f, kAccessUnregistered, [&] {
                   work();
                   return 1;
               }) == 1;
    }

    std::u16string name(const std::string &base) const { return dir.name(base); }

    // Creates the file of `kind` for "t" with `bytes` as its contents.
    void createWith(int kind, const Bytes &bytes) {
        ASSERT_TRUE(completes([&] { sysCreate(f, kind, name("t").c_str()); }));
        if (!bytes.empty()) {
            ASSERT_TRUE(completes([&] {
                sysWrite(f, kind, bytes.data(), static_cast<int32_t>(bytes.size()), 0);
            }));
        }
    }

    wisam::testing::FatalCapture fatal;  // the fatal reports of the test
    TempDir dir;
    IsFile *f = nullptr;
};

Bytes sequence(size_t n) {
    Bytes bytes(n);
    for (size_t i = 0; i < n; ++i) bytes[i] = static_cast<uint8_t>(i * 7 + 1);
    return bytes;
}

int accessMode(int fd) { return ::fcntl(fd, F_GETFL) & O_ACCMODE; }

// --- Create and open ----------------------------------------------------

TEST_F(FileLayerTest, CreateStoresDescriptorOfEachKind) {
    ASSERT_TRUE(completes([&] {
        sysCreate(f, kKindIndex, name("t").c_str());
        sysCreate(f, kKindData, name("t").c_str());
        sysCreate(f, kKindLock, name("t").c_str());
    }));
    EXPECT_GE(f->indexFd, 0);
    EXPECT_GE(f->dataFd, 0);
    EXPECT_GE(f->lockFd, 0);
    EXPECT_TRUE(fileExists(dir.file("t.wox")));
    EXPECT_TRUE(fileExists(dir.file("t.wod")));
    EXPECT_TRUE(fileExists(dir.file("t.lck")));
    EXPECT_EQ(accessMode(f->indexFd), O_RDWR);
    EXPECT_EQ(::fcntl(f->indexFd, F_GETFD) & FD_CLOEXEC, FD_CLOEXEC);
}

TEST_F(FileLayerTest, CreateOfExistingIndexOrDataFileRaisesExists) {
    writeText(dir.file("t.wox"), "old");
    writeText(dir.file("t.wod"), "old");
    EXPECT_FALSE(completes([&] { sysCreate(f, kKindIndex, name("t").c_str()); }));
    EXPECT_EQ(f->errorNumber, EEXIST);
    EXPECT_EQ(f->ioError, kIoCreate + kKindIndex);  // 33
    EXPECT_EQ(f->indexFd, -1);

    EXPECT_FALSE(completes([&] { sysCreate(f, kKindData, name("t").c_str()); }));
    EXPECT_EQ(f->errorNumber, EEXIST);
    EXPECT_EQ(f->ioError, 34);
    EXPECT_EQ(readFile(dir.file("t.wox")), Bytes({'o', 'l', 'd'}));

    // Without a handle: -1 and the system's number.
    errno = 0;
    EXPECT_EQ(sysCreate(nullptr, kKindIndex, name("t").c_str()), -1);
    EXPECT_EQ(errno, EEXIST);
}

TEST_F(FileLayerTest, CreateOfExistingLockFileOpensIt) {
    writeText(dir.file("t.lck"), "slot");
    ASSERT_TRUE(completes([&] { sysCreate(f, kKindLock, name("t").c_str()); }));
    EXPECT_GE(f->lockFd, 0);
    EXPECT_EQ(readFile(dir.file("t.lck")), Bytes({'s', 'l', 'o', 't'}));
}

TEST_F(FileLayerTest, OpenOfMissingFileRaisesNotFound) {
    EXPECT_FALSE(completes([&] { sysOpen(f, kKindIndex, name("none").c_str()); }));
    EXPECT_EQ(f->errorNumber, ENOENT);
    EXPECT_EQ(f->ioError, kIoOpen + kKindIndex);  // 17
    EXPECT_FALSE(completes([&] { sysOpen(f, kKindData, name("none").c_str()); }));
    EXPECT_EQ(f->errorNumber, ENOENT);
    EXPECT_EQ(f->ioError, 18);
    EXPECT_EQ(f->indexFd, -1);
    EXPECT_EQ(f->dataFd, -1);
    EXPECT_FALSE(fileExists(dir.file("none.wox")));

    errno = 0;
    EXPECT_EQ(sysOpen(nullptr, kKindIndex, name("none").c_str()), -1);
    EXPECT_EQ(errno, ENOENT);
}

TEST_F(FileLayerTest, OpenIsReadWriteUnlessWithoutLocking) {
    writeText(dir.file("t.wox"), "abcd");
    writeText(dir.file("t.wod"), "efgh");
    ASSERT_TRUE(completes([&] { sysOpen(f, kKindIndex, name("t").c_str()); }));
    EXPECT_EQ(accessMode(f->indexFd), O_RDWR);
    sysClose(f, kKindIndex);

    f->mode = kModeNoLocking;
    ASSERT_TRUE(completes([&] {
        sysOpen(f, kKindIndex, name("t").c_str());
        sysOpen(f, kKindData, name("t").c_str());
    }));
    EXPECT_EQ(accessMode(f->indexFd), O_RDONLY);
    EXPECT_EQ(accessMode(f->dataFd), O_RDONLY);

    char buffer[2] = {};
    ASSERT_TRUE(completes([&] { sysRead(f, kKindData, buffer, 2, 2); }));
    EXPECT_EQ(std::string(buffer, 2), "gh");

    EXPECT_FALSE(completes([&] { sysWrite(f, kKindIndex, "XY", 2, 0); }));
    EXPECT_EQ(f->errorNumber, EBADF);
    EXPECT_EQ(f->ioError, kIoWrite + kKindIndex);  // 81
    EXPECT_FALSE(completes([&] { sysWrite(f, kKindData, "XY", 2, 0); }));
    EXPECT_EQ(f->errorNumber, EBADF);
    EXPECT_EQ(f->ioError, 82);
    EXPECT_EQ(readFile(dir.file("t.wox")), Bytes({'a', 'b', 'c', 'd'}));
}

TEST_F(FileLayerTest, LogIsCreatedAsNamedAndAppends) {
    writeText(dir.file("journal.lnk"), dir.file("elsewhere") + "\n");
    const int fd = sysCreate(nullptr, kKindLog, name("journal").c_str());
    ASSERT_GE(fd, 0);
    EXPECT_NE(::fcntl(fd, F_GETFL) & O_APPEND, 0);
    EXPECT_EQ(sysWrite(nullptr, fd, "ab", 2, -1), 1);
    EXPECT_EQ(sysWrite(nullptr, fd, "cd", 2, -1), 1);
    EXPECT_EQ(sysFileSize(nullptr, fd), 4);
    sysClose(nullptr, fd);
    EXPECT_EQ(readFile(dir.file("journal")), Bytes({'a', 'b', 'c', 'd'}));
    EXPECT_FALSE(fileExists(dir.file("elsewhere")));
}

// --- Names through the layer --------------------------------------------

TEST_F(FileLayerTest, LinkedNameCreatesAndOpensTheTargetFiles) {
    writeText(dir.file("b.lnk"), dir.file("t") + "\r\n");
    ASSERT_TRUE(completes([&] {
        sysCreate(f, kKindIndex, name("b").c_str());
        sysCreate(f, kKindData, name("b").c_str());
        sysCreate(f, kKindLock, name("b").c_str());
    }));
    EXPECT_TRUE(fileExists(dir.file("t.wox")));
    EXPECT_TRUE(fileExists(dir.file("t.wod")));
    EXPECT_TRUE(fileExists(dir.file("t.lck")));
    EXPECT_FALSE(fileExists(dir.file("b.wox")));
    EXPECT_FALSE(fileExists(dir.file("b.wod")));
    EXPECT_FALSE(fileExists(dir.file("b.lck")));

    sysClose(f, kKindIndex);
    ASSERT_TRUE(completes([&] { sysOpen(f, kKindIndex, name("b").c_str()); }));
    EXPECT_GE(f->indexFd, 0);
}

TEST_F(FileLayerTest, NameOf251UnitsIsUsedAnd252IsRefused) {
    std::u16string longest = name("");
    longest.append(kMaxBaseUnits - longest.size(), u'n');
    ASSERT_TRUE(completes([&] { sysCreate(f, kKindIndex, longest.c_str()); }));
    const std::string onDisk = dir.file(std::string(kMaxBaseUnits - name("").size(), 'n') + ".wox");
    EXPECT_TRUE(fileExists(onDisk));

    const std::u16string tooLong = longest + u'n';
    EXPECT_FALSE(completes([&] { sysCreate(f, kKindData, tooLong.c_str()); }));
    EXPECT_EQ(f->errorNumber, kErrNameTooLong);
    EXPECT_EQ(f->dataFd, -1);

    errno = 0;
    EXPECT_EQ(sysOpen(nullptr, kKindIndex, tooLong.c_str()), -1);
    EXPECT_EQ(errno, kErrNameTooLong);
}

TEST_F(FileLayerTest, LinkTargetOf252UnitsIsRefused) {
    std::string target = dir.file("");
    target.append(kMaxBaseUnits + 1 - target.size(), 'z');
    writeText(dir.file("b.lnk"), target + "\n");
    EXPECT_FALSE(completes([&] { sysCreate(f, kKindIndex, name("b").c_str()); }));
    EXPECT_EQ(f->errorNumber, kErrNameTooLong);
    EXPECT_FALSE(completes([&] { sysErase(f, kKindIndex, name("b").c_str()); }));
    EXPECT_EQ(f->errorNumber, kErrNameTooLong);

    // One unit less is a usable target.
    target.pop_back();
    writeText(dir.file("b.lnk"), target + "\n");
    ASSERT_TRUE(completes([&] { sysCreate(f, kKindIndex, name("b").c_str()); }));
    EXPECT_TRUE(fileExists(target + ".wox"));
}

TEST_F(FileLayerTest, LoneSurrogateOrBadLinkIsIllegalArgument) {
    std::u16string lone = name("s");
    lone += static_cast<char16_t>(0xD800);
    EXPECT_FALSE(completes([&] { sysCreate(f, kKindIndex, lone.c_str()); }));
    EXPECT_EQ(f->errorNumber, kErrBadArgument);
    EXPECT_EQ(f->indexFd, -1);
    errno = 0;
    EXPECT_EQ(sysCreate(nullptr, kKindLog, lone.c_str()), -1);
    EXPECT_EQ(errno, kErrBadArgument);

    writeText(dir.file("b.lnk"), "t\xFF\n");
    EXPECT_FALSE(completes([&] { sysOpen(f, kKindData, name("b").c_str()); }));
    EXPECT_EQ(f->errorNumber, kErrBadArgument);
}

// --- Reading ------------------------------------------------------------

TEST_F(FileLayerTest, ReadReturnsBytesAtOffset) {
    const Bytes contents = sequence(64);
    createWith(kKindData, contents);
    uint8_t buffer[16] = {};
    int32_t count = -1;
    ASSERT_TRUE(completes([&] { EXPECT_EQ(sysRead(f, kKindData, buffer, 16, 40, &count), 1); }));
    EXPECT_EQ(count, 16);
    EXPECT_EQ(Bytes(buffer, buffer + 16), Bytes(contents.begin() + 40, contents.begin() + 56));
}

TEST_F(FileLayerTest, ReadAtCurrentPositionContinues) {
    const Bytes contents = sequence(8);
    writeFile(dir.file("t.wox"), contents);
    ASSERT_TRUE(completes([&] { sysOpen(f, kKindIndex, name("t").c_str()); }));
    uint8_t first[3] = {};
    uint8_t second[5] = {};
    ASSERT_TRUE(completes([&] {
        sysRead(f, kKindIndex, first, 3, -1);
        sysRead(f, kKindIndex, second, 5, -1);
    }));
    EXPECT_EQ(Bytes(first, first + 3), Bytes(contents.begin(), contents.begin() + 3));
    EXPECT_EQ(Bytes(second, second + 5), Bytes(contents.begin() + 3, contents.end()));
}

TEST_F(FileLayerTest, ReadBeyondEndRaisesCorrupt) {
    createWith(kKindIndex, sequence(100));
    uint8_t buffer[16];
    EXPECT_FALSE(completes([&] { sysRead(f, kKindIndex, buffer, 16, 96); }));
    EXPECT_EQ(f->errorNumber, kErrCorrupt);
    EXPECT_EQ(f->ioError, kIoRead + kKindIndex);  // 65

    createWith(kKindData, sequence(10));
    EXPECT_FALSE(completes([&] { sysRead(f, kKindData, buffer, 4, 200); }));
    EXPECT_EQ(f->errorNumber, kErrCorrupt);
    EXPECT_EQ(f->ioError, 66);
}

TEST_F(FileLayerTest, ShortReadWithCountReturnsWhatCame) {
    const Bytes contents = sequence(100);
    createWith(kKindIndex, contents);
    uint8_t buffer[16] = {};
    int32_t count = -1;
    ASSERT_TRUE(completes([&] { EXPECT_EQ(sysRead(f, kKindIndex, buffer, 16, 96, &count), 1); }));
    EXPECT_EQ(count, 4);
    EXPECT_EQ(Bytes(buffer, buffer + 4), Bytes(contents.begin() + 96, contents.end()));

    ASSERT_TRUE(completes([&] { EXPECT_EQ(sysRead(f, kKindIndex, buffer, 16, 4096, &count), 1); }));
    EXPECT_EQ(count, 0);
}

TEST_F(FileLayerTest, FailedReadRaisesSystemError) {
    createWith(kKindIndex, sequence(32));
    FaultPlan faults;
    faults.failFirst(Sys::pread, 1, EIO);
    uint8_t buffer[8];
    int32_t count = -1;
    EXPECT_FALSE(completes([&] { sysRead(f, kKindIndex, buffer, 8, 0, &count); }));
    EXPECT_EQ(f->errorNumber, EIO);
    EXPECT_EQ(f->ioError, 65);
    EXPECT_EQ(faults.calls(Sys::pread), 1);
    EXPECT_EQ(count, -1);
}

TEST_F(FileLayerTest, InterruptedReadIsRetriedAtTheSameOffset) {
    const Bytes contents = sequence(32);
    createWith(kKindData, contents);
    FaultPlan faults;
    faults.failFirst(Sys::pread, 1, EINTR);
    faults.keepLog(Sys::pread);
    const uint64_t writtenBefore = profileTotal(kCountWritten);
    const uint64_t requestedBefore = profileTotal(kCountRequested);
    EventRecorder recorder;
    uint8_t buffer[8] = {};
    ASSERT_TRUE(completes([&] { EXPECT_EQ(sysRead(f, kKindData, buffer, 8, 20), 1); }));
    EXPECT_EQ(faults.loggedOffsets(), std::vector<int64_t>({20, 20}));
    EXPECT_EQ(Bytes(buffer, buffer + 8), Bytes(contents.begin() + 20, contents.begin() + 28));
    EXPECT_EQ(recorder.events(),
              Events({{kTag, 1, 0}, {kTag, 1, 1}, {kTag, 2, 2}, {kTag, 1, 0}, {kTag, 1, 1}}));
    EXPECT_EQ(profileTotal(kCountWritten), writtenBefore);
    EXPECT_EQ(profileTotal(kCountRequested), requestedBefore);
}

TEST_F(FileLayerTest, InterruptedReadAtCurrentPositionIsRetried) {
    const Bytes contents = sequence(8);
    writeFile(dir.file("t.wox"), contents);
    const int fd = ::open(dir.file("t.wox").c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::lseek(fd, 2, SEEK_SET), 2);
    FaultPlan faults;
    faults.failFirst(Sys::read, 2, EINTR);
    EventRecorder recorder;
    uint8_t buffer[4] = {};
    EXPECT_EQ(sysRead(nullptr, fd, buffer, 4, -1), 1);
    ::close(fd);
    EXPECT_EQ(faults.calls(Sys::read), 3);
    EXPECT_EQ(Bytes(buffer, buffer + 4), Bytes(contents.begin() + 2, contents.begin() + 6));
    EXPECT_EQ(recorder.events(), Events({{-1, 1, 0}, {-1, 1, 1}, {-1, 2, 2},
                                         {-1, 1, 0}, {-1, 1, 1}, {-1, 2, 2},
                                         {-1, 1, 0}, {-1, 1, 1}}));
}

TEST_F(FileLayerTest, ReadIsReportedWithTheHandlesTag) {
    createWith(kKindIndex, sequence(16));
    EventRecorder recorder;
    uint8_t buffer[4];
    ASSERT_TRUE(completes([&] {
        recorder.clear();
        sysRead(f, kKindIndex, buffer, 4, 0);
    }));
    EXPECT_EQ(recorder.events(), Events({{kTag, 1, 0}, {kTag, 1, 1}}));

    recorder.clear();
    EXPECT_EQ(sysRead(nullptr, f->indexFd, buffer, 4, 0), 1);
    EXPECT_EQ(recorder.events(), Events({{-1, 1, 0}, {-1, 1, 1}}));

    // A failing read is reported too, before the error is raised.
    recorder.clear();
    EXPECT_FALSE(completes([&] {
        recorder.clear();
        sysRead(f, kKindIndex, buffer, 4, 14);
    }));
    EXPECT_EQ(recorder.events(), Events({{kTag, 1, 0}, {kTag, 1, 1}}));
}

// --- Writing ------------------------------------------------------------

TEST_F(FileLayerTest, WriteStoresBytesAtOffset) {
    createWith(kKindData, Bytes(8, 0));
    EventRecorder recorder;
    const uint64_t before = profileTotal(kCountWritten);
    ASSERT_TRUE(completes([&] {
        recorder.clear();
        EXPECT_EQ(sysWrite(f, kKindData, "\x01\x02\x03", 3, 6), 1);
    }));
    EXPECT_EQ(readFile(dir.file("t.wod")), Bytes({0, 0, 0, 0, 0, 0, 1, 2, 3}));
    EXPECT_EQ(profileTotal(kCountWritten) - before, 3u);
    EXPECT_EQ(recorder.events(), Events({{kTag, 3, 0}, {kTag, 3, 1}}));
}

TEST_F(FileLayerTest, FailedWriteRaisesSystemError) {
    createWith(kKindData, Bytes(8, 0));
    FaultPlan faults;
    faults.failFirst(Sys::pwrite, 1, ENOSPC);
    const uint64_t before = profileTotal(kCountWritten);
    EXPECT_FALSE(completes([&] { sysWrite(f, kKindData, "abcd", 4, 0); }));
    EXPECT_EQ(f->errorNumber, ENOSPC);
    EXPECT_EQ(f->ioError, kIoWrite + kKindData);  // 82
    EXPECT_EQ(faults.calls(Sys::pwrite), 1);
    EXPECT_EQ(profileTotal(kCountWritten) - before, 4u);

    createWith(kKindLock, {});
    faults.failFirst(Sys::pwrite, 1, EIO);
    EXPECT_FALSE(completes([&] { sysWrite(f, kKindLock, "abcd", 4, 0); }));
    EXPECT_EQ(f->errorNumber, EIO);
    EXPECT_EQ(f->ioError, kIoWrite + kKindLock);  // 87
    EXPECT_EQ(readFile(dir.file("t.wod")), Bytes(8, 0));
}

// A short write goes on with the rest; a write that makes no progress at
// all means the device is full.
TEST_F(FileLayerTest, ShortWriteGoesOnAndNoProgressIsNoSpace) {
    createWith(kKindIndex, {});
    createWith(kKindData, {});
    FaultPlan faults;
    faults.from(Sys::pwrite, 1, Fault::lessBy(1));  // every write leaves its last byte out
    faults.keepLog(Sys::pwrite);
    EXPECT_FALSE(completes([&] { sysWrite(f, kKindIndex, "abcd", 4, 0); }));
    EXPECT_EQ(f->errorNumber, ENOSPC);
    EXPECT_EQ(f->ioError, 81);
    EXPECT_FALSE(completes([&] { sysWrite(f, kKindData, "abcd", 4, 0); }));
    EXPECT_EQ(f->errorNumber, ENOSPC);
    EXPECT_EQ(f->ioError, 82);
    EXPECT_EQ(faults.calls(Sys::pwrite), 4) << "the rest once, then nothing fits";
    EXPECT_EQ(readFile(dir.file("t.wod")), Bytes({'a', 'b', 'c'}));
    EXPECT_EQ(faults.loggedOffsets().back(), 3) << "the rest is written where it belongs";
}

TEST_F(FileLayerTest, InterruptedWriteIsRetriedAndCountedPerAttempt) {
    createWith(kKindIndex, Bytes(4, 0));
    FaultPlan faults;
    faults.failFirst(Sys::pwrite, 1, EINTR);
    faults.keepLog(Sys::pwrite);
    EventRecorder recorder;
    const uint64_t before = profileTotal(kCountWritten);
    ASSERT_TRUE(completes([&] { EXPECT_EQ(sysWrite(f, kKindIndex, "wxyz", 4, 2), 1); }));
    EXPECT_EQ(faults.loggedOffsets(), std::vector<int64_t>({2, 2}));
    EXPECT_EQ(profileTotal(kCountWritten) - before, 8u);
    EXPECT_EQ(recorder.events(),
              Events({{kTag, 3, 0}, {kTag, 3, 1}, {kTag, 4, 2}, {kTag, 3, 0}, {kTag, 3, 1}}));
    EXPECT_EQ(readFile(dir.file("t.wox")), Bytes({0, 0, 'w', 'x', 'y', 'z'}));
}

TEST_F(FileLayerTest, InterruptedWriteAtCurrentPositionIsRetried) {
    const int fd = sysCreate(nullptr, kKindLog, name("journal").c_str());
    ASSERT_GE(fd, 0);
    FaultPlan faults;
    faults.failFirst(Sys::write, 1, EINTR);
    EventRecorder recorder;
    const uint64_t before = profileTotal(kCountWritten);
    EXPECT_EQ(sysWrite(nullptr, fd, "log", 3, -1), 1);
    sysClose(nullptr, fd);
    EXPECT_EQ(faults.calls(Sys::write), 2);
    EXPECT_EQ(profileTotal(kCountWritten) - before, 6u);
    EXPECT_EQ(recorder.events(),
              Events({{-1, 3, 0}, {-1, 3, 1}, {-1, 4, 2}, {-1, 3, 0}, {-1, 3, 1}}));
    EXPECT_EQ(readFile(dir.file("journal")), Bytes({'l', 'o', 'g'}));
}

// --- Offsets ------------------------------------------------------------

TEST_F(FileLayerTest, NegativeOffsetIsRefusedAsBadSeek) {
    createWith(kKindIndex, sequence(8));
    createWith(kKindData, sequence(8));
    createWith(kKindLock, {});
    FaultPlan faults;
    uint8_t buffer[4];

    EXPECT_FALSE(completes([&] { sysRead(f, kKindIndex, buffer, 4, -2); }));
    EXPECT_EQ(f->errorNumber, EINVAL);
    EXPECT_EQ(f->ioError, kIoSeek + kKindIndex);  // 49
    EXPECT_FALSE(completes([&] { sysRead(f, kKindData, buffer, 4, INT64_MIN); }));
    EXPECT_EQ(f->errorNumber, EINVAL);
    EXPECT_EQ(f->ioError, 50);
    EXPECT_TRUE(fatal.texts().empty());

    EXPECT_FALSE(completes([&] { sysWrite(f, kKindData, "ab", 2, -2); }));
    EXPECT_EQ(f->errorNumber, EINVAL);
    EXPECT_EQ(f->ioError, 50);
    EXPECT_EQ(fatal.texts(), std::vector<std::string>({"fatal isam error issystem(959)"}));

    fatal.clear();
    EXPECT_FALSE(completes([&] { sysWrite(f, kKindIndex, "ab", 2, -4096); }));
    EXPECT_EQ(f->ioError, 49);
    EXPECT_EQ(fatal.texts().size(), 1u);

    // The lock file has no such check: only the seek failure.
    fatal.clear();
    EXPECT_FALSE(completes([&] { sysWrite(f, kKindLock, "ab", 2, -2); }));
    EXPECT_EQ(f->errorNumber, EINVAL);
    EXPECT_EQ(f->ioError, 55);
    EXPECT_TRUE(fatal.texts().empty());

    EXPECT_EQ(faults.calls(Sys::pread) + faults.calls(Sys::pwrite), 0);
    EXPECT_EQ(readFile(dir.file("t.wod")), sequence(8));
}

TEST_F(FileLayerTest, OffsetsAbove4GiBArePassedUnchanged) {
    createWith(kKindData, {});
    FaultPlan faults;  // every transfer claimed whole, none made
    faults.from({Sys::pread, Sys::pwrite}, 1, Fault::claimed());
    faults.keepLog({Sys::pread, Sys::pwrite});
    uint8_t buffer[8] = {};
    const int64_t high = kFourGiB + 12;
    const int64_t higher = (int64_t{1} << 40) + 3;
    ASSERT_TRUE(completes([&] {
        sysRead(f, kKindData, buffer, 8, high);
        sysWrite(f, kKindData, buffer, 8, higher);
        sysRead(f, kKindData, buffer, 8, kFourGiB - 1);
        sysWrite(f, kKindData, buffer, 8, INT64_MAX - 8);
    }));
    EXPECT_EQ(faults.loggedOffsets(), std::vector<int64_t>({high, higher, kFourGiB - 1, INT64_MAX - 8}));
}

// --- File size ----------------------------------------------------------

TEST_F(FileLayerTest, FileSizeLeavesPositionAtEnd) {
    createWith(kKindData, sequence(10));
    int64_t size = 0;
    ASSERT_TRUE(completes([&] {
        size = sysFileSize(f, kKindData);
        sysWrite(f, kKindData, "yz", 2, -1);
    }));
    EXPECT_EQ(size, 10);
    Bytes expected = sequence(10);
    expected.push_back('y');
    expected.push_back('z');
    EXPECT_EQ(readFile(dir.file("t.wod")), expected);
}

TEST_F(FileLayerTest, FailedFileSizeRaisesSeekError) {
    createWith(kKindData, sequence(10));
    FaultPlan faults;
    faults.failFirst(Sys::seekEnd, 1, EIO);
    EXPECT_FALSE(completes([&] { sysFileSize(f, kKindData); }));
    EXPECT_EQ(f->errorNumber, EIO);
    EXPECT_EQ(f->ioError, kIoSeek + kKindData);  // 50
}

// --- Close --------------------------------------------------------------

TEST_F(FileLayerTest, CloseClosesEveryOpenDescriptorAndClearsTheField) {
    FaultPlan faults;  // closes noted, not made
    faults.from(Sys::close, 1, Fault::claimed());
    faults.keepLog(Sys::close);
    f->indexFd = 0;  // descriptor 0 is a descriptor like any other
    f->dataFd = -1;
    f->lockFd = 41;
    sysClose(f, kKindIndex);
    sysClose(f, kKindData);
    sysClose(f, kKindLock);
    sysClose(nullptr, -1);
    sysClose(nullptr, 43);
    EXPECT_EQ(faults.loggedDescriptors(), std::vector<int>({0, 41, 43}));
    EXPECT_EQ(f->indexFd, -1);
    EXPECT_EQ(f->dataFd, -1);
    EXPECT_EQ(f->lockFd, -1);
}

// --- Erase and rename ---------------------------------------------------

TEST_F(FileLayerTest, EraseThroughLinkRemovesTargetFilesAndKeepsLink) {
    writeText(dir.file("b.lnk"), dir.file("t") + "\n");
    for (const char *ext : {".wox", ".wod", ".lck"}) writeText(dir.file(std::string("t") + ext), "x");
    ASSERT_TRUE(completes([&] {
        sysErase(f, kKindIndex, name("b").c_str());
        sysErase(f, kKindData, name("b").c_str());
    }));
    EXPECT_FALSE(fileExists(dir.file("t.wox")));
    EXPECT_FALSE(fileExists(dir.file("t.wod")));
    EXPECT_TRUE(fileExists(dir.file("t.lck")));
    ASSERT_TRUE(completes([&] { sysErase(f, kKindLock, name("b").c_str()); }));
    EXPECT_FALSE(fileExists(dir.file("t.lck")));
    const std::string link = dir.file("t") + "\n";
    EXPECT_EQ(readFile(dir.file("b.lnk")), Bytes(link.begin(), link.end()));
}

TEST_F(FileLayerTest, FailedEraseRaisesSystemError) {
    EXPECT_FALSE(completes([&] { sysErase(f, kKindIndex, name("none").c_str()); }));
    EXPECT_EQ(f->errorNumber, ENOENT);
    EXPECT_EQ(f->ioError, kIoErase + kKindIndex);  // 1
    EXPECT_FALSE(completes([&] { sysErase(f, kKindLock, name("none").c_str()); }));
    EXPECT_EQ(f->ioError, 7);

    writeText(dir.file("t.wod"), "x");
    FaultPlan faults;
    faults.failFirst(Sys::unlink, 1, EACCES);
    EXPECT_FALSE(completes([&] { sysErase(f, kKindData, name("t").c_str()); }));
    EXPECT_EQ(f->errorNumber, EACCES);
    EXPECT_EQ(f->ioError, 2);
    EXPECT_TRUE(fileExists(dir.file("t.wod")));
}

TEST_F(FileLayerTest, RenameThroughLinksActsOnTargetsAndKeepsLinks) {
    writeText(dir.file("b.lnk"), dir.file("t") + "\n");
    writeText(dir.file("n.lnk"), dir.file("m") + "\r\n");
    writeText(dir.file("t.wox"), "index");
    writeText(dir.file("t.wod"), "data");
    ASSERT_TRUE(completes([&] {
        sysRename(f, kKindIndex, name("b").c_str(), name("n").c_str());
        sysRename(f, kKindData, name("b").c_str(), name("plain").c_str());
    }));
    EXPECT_FALSE(fileExists(dir.file("t.wox")));
    EXPECT_FALSE(fileExists(dir.file("t.wod")));
    EXPECT_EQ(readFile(dir.file("m.wox")), Bytes({'i', 'n', 'd', 'e', 'x'}));
    EXPECT_EQ(readFile(dir.file("plain.wod")), Bytes({'d', 'a', 't', 'a'}));
    EXPECT_FALSE(fileExists(dir.file("n.wox")));
    const std::string link = dir.file("t") + "\n";
    EXPECT_EQ(readFile(dir.file("b.lnk")), Bytes(link.begin(), link.end()));
    EXPECT_TRUE(fileExists(dir.file("n.lnk")));
}

TEST_F(FileLayerTest, FailedRenameRaisesSystemError) {
    EXPECT_FALSE(completes([&] {
        sysRename(f, kKindData, name("none").c_str(), name("other").c_str());
    }));
    EXPECT_EQ(f->errorNumber, ENOENT);
    EXPECT_EQ(f->ioError, kIoErase + kKindData);  // 2
    EXPECT_FALSE(fileExists(dir.file("other.wod")));

    std::u16string tooLong = name("");
    tooLong.append(kMaxBaseUnits + 1 - tooLong.size(), u'q');
    writeText(dir.file("t.wox"), "x");
    EXPECT_FALSE(completes([&] {
        sysRename(f, kKindIndex, name("t").c_str(), tooLong.c_str());
    }));
    EXPECT_EQ(f->errorNumber, kErrNameTooLong);
    EXPECT_TRUE(fileExists(dir.file("t.wox")));
}

// --- Internal errors ----------------------------------------------------

TEST_F(FileLayerTest, KindWithoutDescriptorFieldIsReportedAndTouchesNothing) {
    uint8_t buffer[4];
    EXPECT_FALSE(completes([&] { sysRead(f, kKindLog, buffer, 4, 0); }));
    EXPECT_EQ(fatal.texts(), std::vector<std::string>({"fatal isam error issystem(1378)"}));
    EXPECT_EQ(f->errorNumber, EBADF);
    EXPECT_EQ(f->ioError, kIoRead + kKindLog);

    fatal.clear();
    int fd = -1;
    ASSERT_TRUE(completes([&] { fd = sysCreate(f, kKindLog, name("journal").c_str()); }));
    EXPECT_EQ(fatal.texts(), std::vector<std::string>({"fatal isam error issystem(1357)"}));
    EXPECT_EQ(f->indexFd, -1);
    EXPECT_EQ(f->dataFd, -1);
    EXPECT_EQ(f->lockFd, -1);
    if (fd >= 0) ::close(fd);
}

// --- Without a handle ---------------------------------------------------

TEST_F(FileLayerTest, WithoutHandleFailuresReturnQuietly) {
    createWith(kKindData, sequence(8));
    const int fd = f->dataFd;
    uint8_t buffer[16];
    int32_t count = -1;

    // Short read: 0 without a count, the short count with one.
    EXPECT_EQ(sysRead(nullptr, fd, buffer, 16, 0), 0);
    EXPECT_EQ(sysRead(nullptr, fd, buffer, 16, 4, &count), 0);
    EXPECT_EQ(sysRead(nullptr, fd, buffer, 4, -2), 0);
    EXPECT_EQ(sysWrite(nullptr, fd, buffer, 4, -2), 0);
    EXPECT_TRUE(fatal.texts().empty());
    EXPECT_EQ(sysRead(nullptr, 999, buffer, 4, 0), 0);
    EXPECT_EQ(sysWrite(nullptr, 999, buffer, 4, 0), 0);
    EXPECT_EQ(sysFileSize(nullptr, 999), -1);
    EXPECT_EQ(sysErase(nullptr, kKindIndex, name("none").c_str()), 0);
    EXPECT_EQ(sysRename(nullptr, kKindIndex, name("none").c_str(), name("x").c_str()), 0);

    FaultPlan faults;
    faults.failFirst(Sys::pwrite, 1, ENOSPC);
    EXPECT_EQ(sysWrite(nullptr, fd, "ab", 2, 0), 0);
    faults.from(Sys::pwrite, 1, Fault::lessBy(1));
    EXPECT_EQ(sysWrite(nullptr, fd, "ab", 2, 0), 0);
    EXPECT_EQ(f->errorNumber, 0);
    EXPECT_EQ(f->ioError, 0);
}

// The no-replace rename moves to a free name only: a file, a directory, a
// symbolic link (even a dangling one) under the new name refuse it with
// EEXIST and leave both names as they were.  Path status sees a symbolic
// link itself without following, its target with.
TEST(NoReplaceRename, RefusesEveryTakenNameAndMovesToAFreeOne) {
    const SysCalls &calls = defaultSysCalls();
    struct Case {
        const char *what;
        std::function<void(const TempDir &)> take;  // puts something under "to"
        int error;
    };
    const Case cases[] = {
        {"free", [](const TempDir &) {}, 0},
        {"file", [](const TempDir &d) { writeText(d.file("to"), "other"); }, EEXIST},
        {"directory", [](const TempDir &d) { ASSERT_EQ(::mkdir(d.file("to").c_str(), 0700), 0); }, EEXIST},
        {"link", [](const TempDir &d) { ASSERT_EQ(::symlink(d.file("x").c_str(), d.file("to").c_str()), 0); }, EEXIST},
        {"own name", [](const TempDir &d) { ASSERT_EQ(::link(d.file("from").c_str(), d.file("to").c_str()), 0); }, EEXIST},
    };
    for (const Case &c : cases) {
        TempDir d;
        writeText(d.file("from"), "mine");
        writeText(d.file("x"), "target");
        c.take(d);
        const int rc = calls.renameNoReplace(d.file("from").c_str(), d.file("to").c_str());
        EXPECT_EQ(rc, c.error == 0 ? 0 : -1) << c.what;
        if (c.error != 0) {
            EXPECT_EQ(errno, c.error) << c.what;
            EXPECT_EQ(readFile(d.file("from")), Bytes({'m', 'i', 'n', 'e'})) << c.what;
        } else {
            EXPECT_FALSE(fileExists(d.file("from"))) << c.what;
        }
        EXPECT_EQ(readFile(d.file("x")), Bytes({'t', 'a', 'r', 'g', 'e', 't'})) << c.what;
    }

    TempDir d;
    writeText(d.file("x"), "target");
    ASSERT_EQ(::symlink(d.file("x").c_str(), d.file("good").c_str()), 0);
    ASSERT_EQ(::symlink(d.file("gone").c_str(), d.file("dangling").c_str()), 0);
    SysFileStatus st = {};
    ASSERT_EQ(calls.pathStatus(d.file("good").c_str(), &st, false), 0);
    EXPECT_TRUE(st.symlink);
    ASSERT_EQ(calls.pathStatus(d.file("good").c_str(), &st, true), 0);
    EXPECT_FALSE(st.symlink);
    EXPECT_EQ(st.size, 6);
    ASSERT_EQ(calls.pathStatus(d.file("dangling").c_str(), &st, false), 0);
    EXPECT_TRUE(st.symlink);
    EXPECT_EQ(calls.pathStatus(d.file("dangling").c_str(), &st, true), -1);
    EXPECT_EQ(errno, ENOENT);
}

}  // namespace
