// Building, opening, closing, erasing and renaming files through the C calls.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "frame/isfile.h"
#include "frame/ishandles.h"
#include "structure/isencode.h"
#include "support/dirsnap.h"
#include "support/faults.h"
#include "support/lockprobe.h"
#include "support/testing.h"
#include "system/issystem.h"
#include "wisam.h"

namespace wisam {
namespace {

KeyDesc longKey(int16_t start) { return testing::keyAt(start, 4, ISTYPE_LONG); }

std::string status() { return std::string{isstat1, isstat2, isstat3, isstat4}; }

class Lifecycle : public ::testing::Test {
protected:
    void TearDown() override { isCleanUp(); }
    std::u16string name(const std::string &base) { return dir.name(base); }
    bool exists(const std::string &file) { return testing::fileExists(dir.file(file)); }
    testing::TempDir dir;
};

TEST_F(Lifecycle, BuildWritesTheDictionaryOfANewFileByteForByte) {
    KeyDesc key = longKey(0);
    IsFile *f = isBuild(name("b").c_str(), 20, 0, &key, ISINOUT);
    ASSERT_NE(f, nullptr) << isErrno(nullptr);
    EXPECT_EQ(f->mode, 0x402u);
    EXPECT_EQ(key.rootNode, 3u);
    EXPECT_EQ(isReclen(f), 20);
    const auto index = testing::readFile(dir.file("b.wox"));
    ASSERT_EQ(index.size(), 3u * 4096);
    EXPECT_EQ(std::vector<uint8_t>(index.begin(), index.begin() + 80), testing::newFileDictionary());
    EXPECT_EQ(testing::readFile(dir.file("b.wod")), std::vector<uint8_t>{0});
    EXPECT_TRUE(exists("b.lck"));
    EXPECT_EQ(isClose(f), 1);
}

TEST_F(Lifecycle, BuildOfAnExistingNameFailsWith17AndLeavesTheFiles) {
    KeyDesc key = longKey(0);
    ASSERT_EQ(isClose(isBuild(name("x").c_str(), 20, 0, &key, ISINOUT)), 1);
    const auto before = testing::readFile(dir.file("x.wox"));
    EXPECT_EQ(isBuild(name("x").c_str(), 20, 0, &key, ISINOUT), nullptr);
    EXPECT_EQ(isErrno(nullptr), EEXIST);
    EXPECT_EQ(status(), "3000");
    EXPECT_EQ(testing::readFile(dir.file("x.wox")), before);
    EXPECT_EQ(handleTableCapacity() > 0 ? handleEntry(0).file : nullptr, nullptr);
}

// The dictionary keeps the record length in 16 signed bits: every longer
// length is refused before anything is created, and the longest one works.
TEST_F(Lifecycle, RecordLengthsTheDictionaryCannotHoldAreRefusedBeforeAnythingIsCreated) {
    KeyDesc key = longKey(0);
    for (const int length : {32768, 40000, 65535, 65536, 1 << 24, 0x7FFFFFFF}) {
        for (const int mode : {int{ISINOUT}, ISINOUT | ISINDEXMASK, ISINOUT | ISVARLEN}) {
            errno = 0;
            EXPECT_EQ(isBuild(name("big").c_str(), length, 0x7EFF, &key, mode), nullptr) << length;
            EXPECT_EQ(isErrno(nullptr), 102) << length << " mode " << mode;
            EXPECT_FALSE(exists("big.wox") || exists("big.wod") || exists("big.lck")) << length;
        }
    }
    IsFile *f = isBuild(name("big").c_str(), 32767, 0, &key, ISINOUT | ISEXCLLOCK);
    ASSERT_NE(f, nullptr) << isErrno(nullptr);
    std::vector<char> record(32767, 'r');
    stLong(7, record.data());
    ASSERT_EQ(isWrite(f, record.data()), 1);
    ASSERT_EQ(isClose(f), 1);
    f = isOpen(name("big").c_str(), ISINOUT);
    ASSERT_NE(f, nullptr) << isErrno(nullptr);
    EXPECT_EQ(isReclen(f), 32767);
    std::vector<char> back(32767, 0);
    stLong(7, back.data());
    ASSERT_EQ(isRead(f, back.data(), modeEqual), 1);
    EXPECT_EQ(back, record);
    EXPECT_EQ(isClose(f), 1);
    EXPECT_EQ(isErase(name("big").c_str()), 1);
}

// A build that fails after creating files removes what it created, and
// only that: the name can be built again.
TEST_F(Lifecycle, AFailedBuildRemovesTheFilesItCreated) {
    KeyDesc key = longKey(0);
    testing::writeFile(dir.file("d.wod"), {1, 2, 3});
    EXPECT_EQ(isBuild(name("d").c_str(), 20, 0, &key, ISINOUT), nullptr);
    EXPECT_EQ(isErrno(nullptr), EEXIST);
    EXPECT_FALSE(exists("d.wox")) << "the index file it created is gone";
    EXPECT_EQ(testing::readFile(dir.file("d.wod")), (std::vector<uint8_t>{1, 2, 3}));
    std::remove(dir.file("d.wod").c_str());
    {
        testing::FaultPlan faults;
        faults.fillDisk(1, testing::DiskFull::everyWrite);
        EXPECT_EQ(isBuild(name("d").c_str(), 20, 0, &key, ISINOUT), nullptr);
        EXPECT_EQ(isErrno(nullptr), ENOSPC);
    }
    EXPECT_FALSE(exists("d.wox") || exists("d.wod"));
    IsFile *f = isBuild(name("d").c_str(), 20, 0, &key, ISINOUT);
    ASSERT_NE(f, nullptr) << isErrno(nullptr);
    EXPECT_EQ(isClose(f), 1);
}

TEST_F(Lifecycle, BuildArgumentRules) {
    KeyDesc key = longKey(0);
    EXPECT_EQ(isBuild(name("v").c_str(), 20, 0x7F00, &key, ISINOUT | ISVARLEN), nullptr);
    EXPECT_EQ(isErrno(nullptr), 102);
    EXPECT_EQ(status(), "9039");
    EXPECT_EQ(isBuild(name("v").c_str(), 20, 20, &key, ISINOUT | ISVARLEN), nullptr);
    EXPECT_EQ(isErrno(nullptr), 102);
    KeyDesc none{};
    EXPECT_EQ(isBuild(name("z").c_str(), 0, 0, &none, ISINOUT | ISINDEXMASK), nullptr);
    EXPECT_EQ(isErrno(nullptr), 102);
    EXPECT_EQ(isBuild(name("z").c_str(), 0, 0, &none, ISINOUT | ISAUTOLOCK), nullptr);
    EXPECT_EQ(isErrno(nullptr), 102);
    KeyDesc outside = longKey(18);
    EXPECT_EQ(isBuild(name("k").c_str(), 20, 0, &outside, ISINOUT), nullptr);
    EXPECT_EQ(isErrno(nullptr), 103);
    EXPECT_FALSE(exists("k.wox")) << "the key is checked before any file is made";
    EXPECT_EQ(isBuild(u"", 20, 0, &key, ISINOUT), nullptr);
    EXPECT_EQ(isErrno(nullptr), 102);
    EXPECT_EQ(isBuild(name("n").c_str(), 20, 0, nullptr, ISINOUT), nullptr);
    EXPECT_EQ(isErrno(nullptr), 102);
}

TEST_F(Lifecycle, FileWithoutRecordsHasNoDataFileAndEraseLeavesNothing) {
    KeyDesc key = longKey(0);
    IsFile *f = isBuild(name("r0").c_str(), 0, 0, &key, ISINOUT);
    ASSERT_NE(f, nullptr);
    EXPECT_FALSE(exists("r0.wod"));
    EXPECT_EQ(f->dataFd, -1);
    ASSERT_EQ(isClose(f), 1);
    EXPECT_EQ(isErase(name("r0").c_str()), 1);
    EXPECT_FALSE(exists("r0.wox"));
    EXPECT_FALSE(exists("r0.lck"));
}

TEST_F(Lifecycle, OpenReadsBackWhatBuildWrote) {
    KeyDesc key = longKey(4);
    key.flags = ISKEY_DUPS;
    ASSERT_EQ(isClose(isBuild(name("o").c_str(), 20, 0, &key, ISINOUT)), 1);
    IsFile *f = isOpen(name("o").c_str(), ISINOUT | ISAUTOLOCK);
    ASSERT_NE(f, nullptr) << isErrno(nullptr);
    EXPECT_EQ(f->mode, 0x202u) << "automatic locking kept";
    EXPECT_EQ(f->recordLength, 20);
    EXPECT_EQ(f->slotSize, 21);
    EXPECT_EQ(f->keyCount, 1);
    EXPECT_EQ(f->currentIndex, 0);
    EXPECT_NE(f->state & kStateNextReadsCurrent, 0);
    EXPECT_EQ(isReclen(f), 20);
    IsFile *again = isOpen(name("o").c_str(), ISINPUT);
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(again->mode, 0x400u) << "manual locking added";
    EXPECT_EQ(again->indexFd, f->indexFd);
    EXPECT_EQ(isClose(f), 1);
    EXPECT_EQ(isClose(again), 1);
}

TEST_F(Lifecycle, OpenStandsOnTheFirstEntryOfThePrimaryIndex) {
    KeyDesc key = longKey(0);
    IsFile *f = isBuild(name("first").c_str(), 8, 0, &key, ISINOUT);
    ASSERT_NE(f, nullptr);
    unsigned char record[8] = {};
    for (int32_t id : {30, 10, 20}) {
        stLong(id, record);
        ASSERT_EQ(isWrite(f, record), 1);
    }
    ASSERT_EQ(isClose(f), 1);
    f = isOpen(name("first").c_str(), ISINOUT);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(isRecnum(f), 2) << "record 2 holds the smallest key";
    ASSERT_EQ(isRead(f, record, modeCurrent), 1);
    EXPECT_EQ(ldLong(record), 10);
    ASSERT_EQ(isClose(f), 1);
    f = isOpen(name("first").c_str(), ISINOUT);
    ASSERT_EQ(isRead(f, record, modeNext), 1) << "the first next returns the first record";
    EXPECT_EQ(ldLong(record), 10);
    EXPECT_EQ(isClose(f), 1);
}

TEST_F(Lifecycle, VariableLengthFilesOpenOnlyAsSuch) {
    KeyDesc key = longKey(0);
    IsFile *f = isBuild(name("var").c_str(), 20, 300, &key, ISINOUT | ISVARLEN);
    ASSERT_NE(f, nullptr) << isErrno(nullptr);
    EXPECT_EQ(f->nodeSize, 1024);
    EXPECT_EQ(f->slotSize, 27);
    EXPECT_EQ(isReclen(f), 20);
    ASSERT_EQ(isClose(f), 1);
    const auto index = testing::readFile(dir.file("var.wox"));
    EXPECT_EQ(index[6], 0x03);
    EXPECT_EQ(index[7], 0xFF);
    EXPECT_EQ(isOpen(name("var").c_str(), ISINOUT), nullptr);
    EXPECT_EQ(isErrno(nullptr), 102);
    IsFile *g = isOpen(name("var").c_str(), ISINOUT | ISOPENVARLEN);
    ASSERT_NE(g, nullptr);
    EXPECT_NE(g->mode & ISVARLEN, 0u);
    EXPECT_EQ(g->mode & ISOPENVARLEN, 0u) << "not kept";
    EXPECT_EQ(isReclen(g), 300);
    EXPECT_EQ(isClose(g), 1);

    ASSERT_EQ(isClose(isBuild(name("fixed").c_str(), 20, 0, &key, ISINOUT)), 1);
    EXPECT_EQ(isOpen(name("fixed").c_str(), ISINOUT | ISVARLEN), nullptr);
    EXPECT_EQ(isErrno(nullptr), 102);
}

TEST_F(Lifecycle, FileWithoutPrimaryKeyReadsInRecordOrder) {
    KeyDesc none{};
    IsFile *f = isBuild(name("np").c_str(), 10, 0, &none, ISINOUT);
    ASSERT_NE(f, nullptr);
    ASSERT_EQ(isClose(f), 1);
    f = isOpen(name("np").c_str(), ISINOUT);
    ASSERT_NE(f, nullptr);
    EXPECT_NE(f->state & kStateNoPrimaryKey, 0);
    EXPECT_EQ(f->currentIndex, f->keyCount);
    EXPECT_EQ(isRecnum(f), 1);
    EXPECT_EQ(f->position, 1);
    EXPECT_EQ(isClose(f), 1);
}

TEST_F(Lifecycle, OpenOfAMissingFileReportsTheSystemError) {
    EXPECT_EQ(isOpen(name("missing").c_str(), ISINOUT), nullptr);
    EXPECT_EQ(isErrno(nullptr), ENOENT);
    EXPECT_EQ(isOpen(nullptr, ISINOUT), nullptr);
    EXPECT_EQ(isErrno(nullptr), 102);
}

TEST_F(Lifecycle, CloseTwiceIsRefusedNotADoubleFree) {
    KeyDesc key = longKey(0);
    IsFile *f = isBuild(name("c").c_str(), 20, 0, &key, ISINOUT);
    ASSERT_EQ(isClose(f), 1);
    EXPECT_EQ(isClose(f), 0);
    EXPECT_EQ(errno, 105);
    EXPECT_EQ(isClose(nullptr), 0);
    EXPECT_EQ(errno, 101);
}

TEST_F(Lifecycle, EraseAndRenameRefuseAFileOpenInAnotherProcess) {
    KeyDesc key = longKey(0);
    ASSERT_EQ(isClose(isBuild(name("busy").c_str(), 20, 0, &key, ISINOUT)), 1);
    testing::Signal opened, done;
    const int child = testing::startChild([&] {
        IsFile *f = isOpen(testing::spelling(dir, "busy", 1).c_str(), ISINOUT);
        if (f == nullptr) return 1;
        opened.post();
        if (!done.wait(testing::kLongWait)) return 2;
        return isClose(f) == 1 ? 0 : 3;
    });
    ASSERT_TRUE(opened.wait(testing::kLongWait));
    EXPECT_EQ(isErase(name("busy").c_str()), 0);
    EXPECT_EQ(isErrno(nullptr), 113);
    EXPECT_EQ(isRename(name("busy").c_str(), name("moved").c_str()), 0);
    EXPECT_EQ(isErrno(nullptr), 113);
    EXPECT_TRUE(exists("busy.wox") && exists("busy.wod") && exists("busy.lck"));
    done.post();
    EXPECT_EQ(testing::waitChild(child), 0);
    EXPECT_EQ(isErase(name("busy").c_str()), 1);
    EXPECT_FALSE(exists("busy.wox") || exists("busy.wod") || exists("busy.lck"));
}

TEST_F(Lifecycle, EraseAndRenameRefuseAFileOpenInThisProcess) {
    KeyDesc key = longKey(0);
    IsFile *f = isBuild(name("mine").c_str(), 20, 0, &key, ISINOUT);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(isErase(name("mine").c_str()), 0);
    EXPECT_EQ(isErrno(nullptr), 113);
    EXPECT_EQ(isErase(u""), 0);
    EXPECT_EQ(isErrno(nullptr), 102);
    EXPECT_EQ(isClose(f), 1);
}

TEST_F(Lifecycle, RenameMovesAllThreeFilesAndFollowsLinks) {
    KeyDesc key = longKey(0);
    ASSERT_EQ(isClose(isBuild(name("target").c_str(), 20, 0, &key, ISINOUT)), 1);
    testing::writeText(dir.file("alias.lnk"), dir.file("target") + "\r\n");
    ASSERT_EQ(isRename(name("alias").c_str(), name("renamed").c_str()), 1);
    EXPECT_TRUE(exists("renamed.wox") && exists("renamed.wod") && exists("renamed.lck"));
    EXPECT_FALSE(exists("target.wox"));
    EXPECT_TRUE(exists("alias.lnk")) << "the link file itself stays";
    IsFile *f = isOpen(name("renamed").c_str(), ISINPUT);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(isClose(f), 1);
}

// The moves of a rename, failed one after the other: the call fails with
// the move's error and every move made is put back, so the directory holds
// exactly what it held before (the lock file's slot counter aside).  The
// rename goes through once no move fails: index, data and lock file, and
// the journal, which a file without one does not miss.
TEST_F(Lifecycle, ARenameFailingAtAnyMovePutsBackWhatItMoved) {
    KeyDesc key = longKey(0);
    ASSERT_EQ(isClose(isBuild(name("r").c_str(), 20, 0, &key, ISINOUT)), 1);
    int renamedAt = 0;
    for (int n = 1; renamedAt == 0 && n < 10; ++n) {
        auto before = testing::DirSnapshot::take(dir.path()).ignoreBytes({"r.lck"});
        int renamed = 0;
        {
            testing::FaultPlan faults;
            faults.failNth(testing::Sys::renameNoReplace, n, EIO);
            renamed = isRename(name("r").c_str(), name("s").c_str());
        }
        if (renamed == 1) {
            renamedAt = n;
            break;
        }
        EXPECT_EQ(isErrno(nullptr), EIO) << n;
        EXPECT_EQ(testing::DirSnapshot::take(dir.path()).ignoreBytes({"r.lck"}).differencesFrom(before), "") << n;
    }
    EXPECT_EQ(renamedAt, 5);
    EXPECT_TRUE(exists("s.wox") && exists("s.wod") && exists("s.lck"));
}

// A rename onto its own name, spelt alike or not, finds the new names taken
// and changes nothing (but the lock file's slot counter).
TEST_F(Lifecycle, RenameOntoItsOwnNameIsRefused) {
    KeyDesc key = longKey(0);
    ASSERT_EQ(isClose(isBuild(name("own").c_str(), 20, 0, &key, ISINOUT)), 1);
    auto before = testing::DirSnapshot::take(dir.path()).ignoreBytes({"own.lck"});
    for (const std::u16string &target : {name("own"), testing::spelling(dir, "own", 2)}) {
        EXPECT_EQ(isRename(name("own").c_str(), target.c_str()), 0);
        EXPECT_EQ(isErrno(nullptr), EEXIST);
    }
    EXPECT_EQ(testing::DirSnapshot::take(dir.path()).ignoreBytes({"own.lck"}).differencesFrom(before), "");
}

TEST_F(Lifecycle, SetModeRules) {
    KeyDesc key = longKey(0);
    IsFile *f = isBuild(name("m").c_str(), 20, 0, &key, ISINOUT | ISAUTOLOCK);
    ASSERT_NE(f, nullptr);
    ASSERT_EQ(testing::lockRec(f, 5), 1);
    EXPECT_EQ(isSetMode(f, ISMANULOCK), 1);
    EXPECT_EQ(f->mode, 0x402u);
    EXPECT_EQ(f->heldLocks[f->heldLockCount - 1], 0) << "record locks released";
    EXPECT_EQ(isSetMode(f, ISEXCLLOCK), 0);
    EXPECT_EQ(isErrno(f), 102);
    EXPECT_EQ(std::string(f->status, 4), "9037");
    EXPECT_EQ(isSetMode(f, ISNOLOCK), 0);
    EXPECT_EQ(isLockCheck(f, 1), 1);
    EXPECT_NE(f->state & kStateLockCheck, 0);
    EXPECT_EQ(isLockCheck(f, 0), 1);
    EXPECT_EQ(f->state & kStateLockCheck, 0);
    EXPECT_EQ(isClose(f), 1);
}

TEST_F(Lifecycle, PreciousOnThenOffListsDeletedSlotsAgainInDescendingOrder) {
    KeyDesc none{};
    IsFile *f = isBuild(name("p").c_str(), 4, 0, &none, ISINOUT);
    ASSERT_NE(f, nullptr);
    // Six slots, 2 and 5 deleted, as writes and deletes leave them.
    std::vector<uint8_t> data(6 * 5, 'r');
    for (int r = 1; r <= 6; ++r) data[static_cast<size_t>(r * 5 - 1)] = (r == 2 || r == 5) ? 0 : 0x0A;
    testing::writeFile(dir.file("p.wod"), data);
    ASSERT_EQ(isPrecious(f, 1), 1);
    EXPECT_NE(f->state & kStatePrecious, 0);
    EXPECT_EQ(f->dataAlloc.highest, 6u) << "counted from the data file";
    EXPECT_EQ(ld2(&testing::readFile(dir.file("p.wox"))[74]) & 0x0002, 0x0002);
    ASSERT_EQ(isPrecious(f, 0), 1);
    EXPECT_EQ(f->state & kStatePrecious, 0);
    const auto index = testing::readFile(dir.file("p.wox"));
    const uint32_t head = f->dataAlloc.head;
    ASSERT_NE(head, 0u);
    const uint8_t *node = &index[static_cast<size_t>(head - 1) * 4096];
    EXPECT_EQ(ld2(node), 6 + 8);
    EXPECT_EQ(ld4(node + 6), 5) << "visited from the highest down";
    EXPECT_EQ(ld4(node + 10), 2);
    EXPECT_EQ(isClose(f), 1);
}

}  // namespace
}  // namespace wisam
