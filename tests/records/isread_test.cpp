// Reading and positioning through the exported calls: isRead in every read
// mode, in record-number order and in index order; running off either end;
// isStart with partial keys; isGoto, isPush and isPop; the duplicate
// notice; record locks taken by reads (kept, waited for, automatic); and
// 20 000 random records read back through three indexes against a model.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "frame/isfile.h"
#include "support/lockprobe.h"
#include "support/testing.h"
#include "wisam.h"

namespace wisam {
namespace {

std::string statusChars() { return {isstat1, isstat2, isstat3, isstat4}; }
void clearStatus() { isstat1 = isstat2 = isstat3 = isstat4 = '0'; }

KeyDesc keyAt(int16_t start, int16_t length, uint16_t type, uint16_t flags = 0) {
    KeyDesc key{};
    key.flags = flags;
    key.partCount = 1;
    key.parts[0] = KeyPart{start, length, type};
    return key;
}

// ---------------------------------------------------------------------------
// Six records in a file with three indexes.
//
// Record layout:  0 id (long, 4)   4 name (char, 8)   12 group (int, 2)
//
//   record  id  name    group
//   1       40  pear    5
//   2       10  abcz    7
//   3       30  abd     5
//   4       20  abca    9
//   5       60  zz      7
//   6       50  abc     5
//
// id order:    10 20 30 40 50 60
// name order:  abc(50) abca(20) abcz(10) abd(30) pear(40) zz(60)
// group order: 5: 40 30 50   7: 10 60   9: 20
// ---------------------------------------------------------------------------
constexpr int kLength = 16;

struct Row {
    int32_t id;
    const char *name;
    int16_t group;
};
constexpr Row kRows[] = {{40, "pear", 5}, {10, "abcz", 7}, {30, "abd", 5},
                         {20, "abca", 9}, {60, "zz", 7},   {50, "abc", 5}};

KeyDesc idKey() { return keyAt(0, 4, ISTYPE_LONG); }
KeyDesc nameKey() { return keyAt(4, 8, ISTYPE_CHAR, ISKEY_DUPS); }
KeyDesc groupKey() { return keyAt(12, 2, ISTYPE_INT, ISKEY_DUPS); }

struct Record {
    unsigned char bytes[kLength] = {};
    Record() { std::memset(bytes, '.', sizeof bytes); }
    static Record withId(int32_t id) {
        Record r;
        stLong(id, r.bytes);
        return r;
    }
    static Record withName(const char *name) {
        Record r;
        stChar(name, r.bytes + 4, 8);
        return r;
    }
    static Record withGroup(int16_t group) {
        Record r;
        stInt(group, r.bytes + 12);
        return r;
    }
    int32_t id() const { return ldLong(bytes); }
};

class Reads : public ::testing::Test {
protected:
    void SetUp() override {
        KeyDesc id = idKey();
        f = isBuild(dir.name("r").c_str(), kLength, 0, &id, ISINOUT);
        ASSERT_NE(f, nullptr) << isErrno(nullptr);
        KeyDesc name = nameKey();
        ASSERT_EQ(isAddIndex(f, &name), 1) << isErrno(f);
        KeyDesc group = groupKey();
        ASSERT_EQ(isAddIndex(f, &group), 1) << isErrno(f);
        for (const Row &row : kRows) {
            Record r;
            stLong(row.id, r.bytes);
            stChar(row.name, r.bytes + 4, 8);
            stInt(row.group, r.bytes + 12);
            ASSERT_EQ(isWrite(f, r.bytes), 1) << isErrno(f);
        }
    }
    void TearDown() override { isCleanUp(); }

    // The id of the record a read delivers, or -1 when it fails.
    int32_t read(int mode, Record probe = Record()) { return read(f, mode, probe); }
    static int32_t read(IsFile *h, int mode, Record probe = Record()) {
        return isRead(h, probe.bytes, mode) == 1 ? probe.id() : -1;
    }
    int32_t start(const KeyDesc &key, int length, int mode, Record probe = Record()) {
        KeyDesc copy = key;
        return isStart(f, &copy, length, probe.bytes, mode);
    }
    std::string fileStatus() const { return std::string(f->status, 4); }

    testing::TempDir dir;
    IsFile *f = nullptr;
};

TEST_F(Reads, EveryModeInRecordNumberOrder) {
    ASSERT_EQ(isIndex(f, 0), 1);
    EXPECT_EQ(read(modeFirst), 40);
    EXPECT_EQ(isRecnum(f), 1);
    EXPECT_EQ(read(modeNext), 10);
    EXPECT_EQ(read(modeNext), 30);
    EXPECT_EQ(read(modeLast), 50);
    EXPECT_EQ(isRecnum(f), 6);
    EXPECT_EQ(read(modePrev), 60);
    EXPECT_EQ(read(modeCurrent), 60);
    EXPECT_EQ(isRecnum(f), 5);
    EXPECT_EQ(isReclen(f), kLength);
    // Modes 5-7 search by the record number set with isSetrec.
    ASSERT_EQ(isSetrec(f, 3), 1);
    EXPECT_EQ(read(modeEqual), 30);
    ASSERT_EQ(isSetrec(f, 3), 1);
    EXPECT_EQ(read(modeGreater), 20);
    EXPECT_EQ(isRecnum(f), 4);
    ASSERT_EQ(isSetrec(f, 3), 1);
    EXPECT_EQ(read(modeGreaterEqual), 30);
    EXPECT_EQ(read(modeNext), 20) << "the search moved the position";
    ASSERT_EQ(isSetrec(f, 7), 1);
    EXPECT_EQ(read(modeEqual), -1);
    EXPECT_EQ(isErrno(f), ENOREC);
    EXPECT_EQ(statusChars(), "2323");
    ASSERT_EQ(isSetrec(f, 6), 1);
    EXPECT_EQ(read(modeGreater), -1);
    EXPECT_EQ(isErrno(f), ENOREC);
    ASSERT_EQ(isSetrec(f, 0), 1);
    EXPECT_EQ(read(modeGreaterEqual), -1) << "the search starts outside the file";
    EXPECT_EQ(isErrno(f), ENOREC);
}

TEST_F(Reads, EveryModeInIndexOrder) {
    ASSERT_EQ(isIndex(f, 1), 1);
    EXPECT_EQ(read(modeFirst), 10);
    EXPECT_EQ(isRecnum(f), 2);
    EXPECT_EQ(read(modeNext), 20);
    EXPECT_EQ(read(modeLast), 60);
    EXPECT_EQ(read(modePrev), 50);
    EXPECT_EQ(read(modeCurrent), 50);
    EXPECT_EQ(isRecnum(f), 6);
    EXPECT_EQ(read(modeEqual, Record::withId(30)), 30);
    EXPECT_EQ(isRecnum(f), 3);
    EXPECT_EQ(read(modeGreater, Record::withId(30)), 40);
    EXPECT_EQ(read(modeGreaterEqual, Record::withId(35)), 40);
    EXPECT_EQ(read(modeNext), 50);
    EXPECT_EQ(read(modeEqual, Record::withId(35)), -1);
    EXPECT_EQ(isErrno(f), ENOREC);
    EXPECT_EQ(statusChars(), "2323");
    EXPECT_EQ(fileStatus(), "2323");
    EXPECT_EQ(read(modeGreater, Record::withId(60)), -1);
    EXPECT_EQ(isErrno(f), ENOREC);
    EXPECT_EQ(read(modeGreaterEqual, Record::withId(-7)), 10);

    ASSERT_EQ(isIndex(f, 2), 1);
    EXPECT_EQ(read(modeFirst), 50);
    EXPECT_EQ(read(modeNext), 20);
    EXPECT_EQ(read(modeGreater, Record::withName("abcz")), 30);
    EXPECT_EQ(read(modeLast), 60);
    EXPECT_EQ(read(modeCurrent), 60);

    ASSERT_EQ(isIndex(f, 3), 1);
    EXPECT_EQ(read(modeEqual, Record::withGroup(7)), 10);
    EXPECT_EQ(read(modeNext), 60);
    EXPECT_EQ(read(modePrev), 10);
    EXPECT_EQ(read(modePrev), 50);
    EXPECT_EQ(read(modeGreater, Record::withGroup(5)), 10);
    EXPECT_EQ(read(modeGreaterEqual, Record::withGroup(8)), 20);

    EXPECT_EQ(isRead(f, nullptr, modeFirst), 0);
    EXPECT_EQ(isErrno(f), EBADARG);
}

TEST_F(Reads, EndOfFileAtBothEndsAndReadingBackReturnsTheEndRecord) {
    for (int index : {1, 0}) {
        SCOPED_TRACE(index == 0 ? "record-number order" : "index order");
        const int32_t first = index == 0 ? 40 : 10;
        const int32_t last = index == 0 ? 50 : 60;
        ASSERT_EQ(isIndex(f, index), 1);
        EXPECT_EQ(read(modeFirst), first);
        clearStatus();
        EXPECT_EQ(read(modePrev), -1);
        EXPECT_EQ(isErrno(f), EENDFILE);
        EXPECT_EQ(statusChars(), "1046");
        EXPECT_EQ(fileStatus(), "1046");
        EXPECT_EQ(read(modeNext), first);
        EXPECT_EQ(read(modeNext), index == 0 ? 10 : 20);

        EXPECT_EQ(read(modeLast), last);
        clearStatus();
        EXPECT_EQ(read(modeNext), -1);
        EXPECT_EQ(isErrno(f), EENDFILE);
        EXPECT_EQ(statusChars(), "1046");
        EXPECT_EQ(read(modeNext), -1) << "still at the end";
        EXPECT_EQ(isErrno(f), EENDFILE);
        EXPECT_EQ(read(modePrev), last);
        EXPECT_EQ(read(modePrev), index == 0 ? 60 : 50);
    }
}

// A read that finds nothing ends its call like any failed call: the error
// and status stored, the file-state lock given up (another handle can change
// the file at once), and the position kept for the next read.
TEST_F(Reads, AFailedReadGivesUpItsLockAndKeepsThePosition) {
    IsFile *other = isOpen(dir.name("r").c_str(), ISINOUT | ISMANULOCK);
    ASSERT_NE(other, nullptr) << isErrno(nullptr);
    ASSERT_EQ(isIndex(f, 1), 1);
    ASSERT_EQ(read(modeEqual, Record::withId(30)), 30);
    for (int attempt = 0; attempt < 3; ++attempt) {
        clearStatus();
        errno = 0;
        EXPECT_EQ(read(modeEqual, Record::withId(35)), -1);
        EXPECT_EQ(isErrno(f), ENOREC);
        EXPECT_EQ(errno, ENOREC);
        EXPECT_EQ(fileStatus(), "2323");
        EXPECT_EQ(f->lockState & (kLockStateShared | kLockStateExclusive), 0) << "no state lock left";
        Record fresh = Record::withId(100 + attempt);
        EXPECT_EQ(isWrite(other, fresh.bytes), 1) << isErrno(other);
    }
    EXPECT_EQ(read(modeNext), 40) << "the failed reads left the position on 30";
    EXPECT_EQ(read(modeGreaterEqual, Record::withId(101)), 101) << "the other handle's records are seen";
    isClose(other);
}

TEST_F(Reads, EmptyFileStartsButHasNothingToRead) {
    KeyDesc id = idKey();
    IsFile *e = isBuild(dir.name("e").c_str(), kLength, 0, &id, ISINOUT);
    ASSERT_NE(e, nullptr);
    Record r;
    clearStatus();
    EXPECT_EQ(isRead(e, r.bytes, modeFirst), 0);
    EXPECT_EQ(isErrno(e), EENDFILE);
    EXPECT_EQ(statusChars(), "1046");
    EXPECT_EQ(std::string(e->status, 4), "1046");
    EXPECT_EQ(isRead(e, r.bytes, modeLast), 0);
    EXPECT_EQ(isErrno(e), EENDFILE);
    EXPECT_EQ(isStart(e, &id, 0, r.bytes, modeFirst), 1) << isErrno(e);
    EXPECT_EQ(isStart(e, &id, 0, r.bytes, modeLast), 1) << isErrno(e);
    EXPECT_EQ(isRead(e, r.bytes, modeNext), 0);
    EXPECT_EQ(isErrno(e), EENDFILE);
    EXPECT_EQ(isStart(e, &id, 0, r.bytes, modeGreaterEqual), 0);
    EXPECT_EQ(isErrno(e), ENOREC);

    ASSERT_EQ(isIndex(e, 0), 1);
    EXPECT_EQ(isRead(e, r.bytes, modeFirst), 0);
    EXPECT_EQ(isErrno(e), EENDFILE);
    KeyDesc none{};
    EXPECT_EQ(isStart(e, &none, 0, r.bytes, modeFirst), 1) << isErrno(e);
    EXPECT_EQ(isRead(e, r.bytes, modeNext), 0);
    EXPECT_EQ(isErrno(e), EENDFILE);
}

TEST_F(Reads, StartThenNextReadsTheRecordFoundThenItsSuccessor) {
    EXPECT_EQ(start(idKey(), 0, modeGreaterEqual, Record::withId(25)), 1);
    EXPECT_EQ(isRecnum(f), 3);
    EXPECT_EQ(read(modeNext), 30);
    EXPECT_EQ(read(modeNext), 40);

    EXPECT_EQ(start(idKey(), 0, modeGreaterEqual, Record::withId(25)), 1);
    EXPECT_EQ(read(modePrev), 20) << "previous goes back from the record found";

    EXPECT_EQ(start(idKey(), 0, modeGreater, Record::withId(30)), 1);
    EXPECT_EQ(read(modeNext), 40);
    EXPECT_EQ(start(idKey(), 0, modeEqual, Record::withId(30)), 1);
    EXPECT_EQ(read(modeNext), 30);
    EXPECT_EQ(start(idKey(), 0, modeLast), 1);
    EXPECT_EQ(read(modePrev), 60) << "a start at the end reads the last record backwards";
    EXPECT_EQ(start(idKey(), 0, modeFirst), 1);
    EXPECT_EQ(read(modeNext), 10);

    // A start in the group index selects it for the reads that follow.
    EXPECT_EQ(start(groupKey(), 0, modeGreaterEqual, Record::withGroup(6)), 1);
    EXPECT_EQ(read(modeNext), 10);
    EXPECT_EQ(read(modeNext), 60);
    EXPECT_EQ(read(modeNext), 20);

    EXPECT_EQ(start(idKey(), 0, modeEqual, Record::withId(35)), 0);
    EXPECT_EQ(isErrno(f), ENOREC);
    EXPECT_EQ(statusChars(), "2323");
    EXPECT_EQ(start(idKey(), 0, modeGreaterEqual, Record::withId(61)), 0);
    EXPECT_EQ(isErrno(f), ENOREC);
}

// Starts with next, previous and current move from the current record
// without reading; only a start with next leaves the following next read
// to step on.
TEST_F(Reads, StartRelativeToTheCurrentRecord) {
    ASSERT_EQ(read(modeEqual, Record::withId(30)), 30);
    ASSERT_EQ(isStart(f, nullptr, 0, nullptr, modeNext), 1) << isErrno(f);
    EXPECT_EQ(isRecnum(f), 1);
    EXPECT_EQ(read(modeCurrent), 40);
    ASSERT_EQ(isStart(f, nullptr, 0, nullptr, modeNext), 1);
    EXPECT_EQ(read(modeNext), 60) << "the start stood on 50";

    ASSERT_EQ(read(modeEqual, Record::withId(30)), 30);
    ASSERT_EQ(isStart(f, nullptr, 0, nullptr, modeCurrent), 1);
    EXPECT_EQ(read(modeNext), 30);
    ASSERT_EQ(isStart(f, nullptr, 0, nullptr, modePrev), 1);
    EXPECT_EQ(read(modeNext), 20);

    ASSERT_EQ(read(modeFirst), 10);
    EXPECT_EQ(isStart(f, nullptr, 0, nullptr, modePrev), 0);
    EXPECT_EQ(isErrno(f), EENDFILE);
    EXPECT_EQ(statusChars(), "1046");
    ASSERT_EQ(read(modeLast), 60);
    EXPECT_EQ(isStart(f, nullptr, 0, nullptr, modeNext), 0);
    EXPECT_EQ(isErrno(f), EENDFILE);
}

TEST_F(Reads, StartRefusals) {
    EXPECT_EQ(start(idKey(), 0, 8), 0);
    EXPECT_EQ(isErrno(f), EBADARG);
    EXPECT_EQ(start(idKey(), 5, modeFirst), 0) << "longer than the key";
    EXPECT_EQ(isErrno(f), EBADARG);
    EXPECT_EQ(start(keyAt(2, 4, ISTYPE_LONG), 0, modeFirst), 0) << "no such index";
    EXPECT_EQ(isErrno(f), EBADKEY);
    EXPECT_EQ(isStart(f, nullptr, 0, nullptr, modeEqual), 0) << "a search needs a key";
    EXPECT_EQ(isErrno(f), EBADARG);
}

TEST_F(Reads, PartialKeyOfThreeBytes) {
    EXPECT_EQ(start(nameKey(), 3, modeEqual, Record::withName("abcQ")), 1);
    EXPECT_EQ(read(modeNext), 50) << "the first name beginning with abc";
    EXPECT_EQ(read(modeNext), 20);
    EXPECT_EQ(read(modeEqual, Record::withName("abcQQ")), 50) << "reads compare 3 bytes too";
    EXPECT_EQ(read(modeEqual, Record::withName("abdQ")), 30);
    EXPECT_EQ(read(modeGreater, Record::withName("abc")), 30);
    EXPECT_EQ(read(modeFirst), 50) << "sequential reads use the whole key";
    EXPECT_EQ(start(nameKey(), 3, modeEqual, Record::withName("abe")), 0);
    EXPECT_EQ(isErrno(f), ENOREC);
    EXPECT_EQ(start(nameKey(), 3, modeGreater, Record::withName("abc")), 1);
    EXPECT_EQ(read(modeNext), 30);

    // Back to the whole key.
    EXPECT_EQ(start(nameKey(), 0, modeEqual, Record::withName("abdQ")), 0);
    EXPECT_EQ(isErrno(f), ENOREC);
    EXPECT_EQ(read(modeEqual, Record::withName("abdQ")), -1);
    EXPECT_EQ(isErrno(f), ENOREC);
    EXPECT_EQ(read(modeEqual, Record::withName("abd")), 30);
    EXPECT_EQ(start(nameKey(), 9, modeFirst), 0);
    EXPECT_EQ(isErrno(f), EBADARG);
}

// Runs of equal keys longer than a leaf: the notice looks at the following
// entry wherever it lies, in the same leaf or the next, reading forward or
// backward, and the look ahead leaves the position alone.
TEST(DuplicateNotice, FollowsRunsAcrossLeaves) {
    testing::TempDir dir;
    KeyDesc group = groupKey();
    IsFile *f = isBuild(dir.name("n").c_str(), kLength, 0, &group, ISINOUT);
    ASSERT_NE(f, nullptr);
    std::vector<int16_t> groups;
    for (int i = 0; i < 3000; ++i) groups.push_back(static_cast<int16_t>((i * 7) % 5 == 0 ? 1 : 2 + i % 3));
    for (size_t i = 0; i < groups.size(); ++i) {
        Record r = Record::withGroup(groups[i]);
        stLong(static_cast<int32_t>(i), r.bytes);
        ASSERT_EQ(isWrite(f, r.bytes), 1);
    }
    std::vector<int16_t> order = groups;
    std::stable_sort(order.begin(), order.end());
    auto expected = [&](size_t j) { return j + 1 < order.size() && order[j + 1] == order[j] ? "0202" : "0000"; };
    Record r;
    size_t j = 0;
    for (int mode = modeFirst; isRead(f, r.bytes, mode) == 1; mode = modeNext, ++j) {
        ASSERT_LT(j, order.size());
        ASSERT_EQ(ldInt(r.bytes + 12), order[j]);
        ASSERT_EQ(std::string(f->status, 4), expected(j)) << "entry " << j;
    }
    ASSERT_EQ(j, order.size());
    for (int mode = modeLast; isRead(f, r.bytes, mode) == 1; mode = modePrev) {
        --j;
        ASSERT_EQ(ldInt(r.bytes + 12), order[j]);
        ASSERT_EQ(std::string(f->status, 4), expected(j)) << "entry " << j << " backward";
    }
    EXPECT_EQ(j, 0u);
    isClose(f);
}

TEST_F(Reads, DuplicateNoticeWhenTheNextEntryHasTheSameKey) {
    ASSERT_EQ(isIndex(f, 3), 1);
    struct Expected {
        int32_t id;
        const char *status;
    };
    // group 5: 40 30 50, group 7: 10 60, group 9: 20
    const Expected walk[] = {{40, "0202"}, {30, "0202"}, {50, "0000"},
                             {10, "0202"}, {60, "0000"}, {20, "0000"}};
    int mode = modeFirst;
    for (const Expected &e : walk) {
        clearStatus();
        ASSERT_EQ(read(mode), e.id);
        EXPECT_EQ(statusChars(), e.status) << "id " << e.id;
        EXPECT_EQ(fileStatus(), e.status) << "id " << e.id;
        mode = modeNext;
    }
    clearStatus();
    EXPECT_EQ(read(modeEqual, Record::withGroup(7)), 10);
    EXPECT_EQ(statusChars(), "0202");
    EXPECT_EQ(read(modeNext), 60) << "the look ahead leaves the position alone";
    clearStatus();
    ASSERT_EQ(isIndex(f, 1), 1);
    EXPECT_EQ(read(modeFirst), 10);
    EXPECT_EQ(statusChars(), "0000") << "an index without duplicates";
}

// The marker byte of record 3 is cleared in the data file by hand, as a
// delete leaves it.
TEST_F(Reads, DeletedSlotInRecordNumberOrder) {
    ASSERT_EQ(isIndex(f, 0), 1);
    ASSERT_EQ(isSetrec(f, 3), 1);
    ASSERT_EQ(read(modeEqual), 30);
    auto data = testing::readFile(dir.file("r.wod"));
    ASSERT_EQ(data.size(), 6u * (kLength + 1));
    ASSERT_EQ(data[3 * (kLength + 1) - 1], 0x0A);
    data[3 * (kLength + 1) - 1] = 0x00;
    testing::writeFile(dir.file("r.wod"), data);
    clearDatFileCache(f);

    EXPECT_EQ(read(modeCurrent), 20) << "the next record in use";
    EXPECT_EQ(isRecnum(f), 4);
    ASSERT_EQ(isSetrec(f, 3), 1);
    EXPECT_EQ(read(modeEqual), -1);
    EXPECT_EQ(isErrno(f), ENOREC);
    EXPECT_EQ(statusChars(), "2323");
    ASSERT_EQ(isSetrec(f, 3), 1);
    EXPECT_EQ(read(modeGreaterEqual), 20);
    ASSERT_EQ(isSetrec(f, 2), 1);
    EXPECT_EQ(read(modeEqual), 10);
    EXPECT_EQ(read(modeNext), 20) << "next steps over the deleted slot";
    EXPECT_EQ(read(modePrev), 10) << "and so does previous";
    EXPECT_EQ(isGoto(f, 3), 0);
    EXPECT_EQ(isErrno(f), ENOREC);
    Record r;
    EXPECT_EQ(isData(f, r.bytes, 3), 0);
    EXPECT_EQ(isErrno(f), ENOREC);
    ASSERT_EQ(isIndex(f, 1), 1);
    EXPECT_EQ(isGoto(f, 3), 0) << "also in index order";
    EXPECT_EQ(isErrno(f), ENOREC);
}

TEST_F(Reads, GotoMakesTheRecordCurrent) {
    ASSERT_EQ(isIndex(f, 1), 1);
    ASSERT_EQ(isGoto(f, 3), 1);
    EXPECT_EQ(isRecnum(f), 3);
    EXPECT_EQ(read(modeCurrent), 30);
    EXPECT_EQ(read(modeNext), 40);

    ASSERT_EQ(isIndex(f, 3), 1);  // record 6 is the third of group 5
    ASSERT_EQ(isGoto(f, 6), 1);
    EXPECT_EQ(read(modeCurrent), 50);
    EXPECT_EQ(read(modeNext), 10);
    ASSERT_EQ(isGoto(f, 1), 1);
    EXPECT_EQ(read(modeNext), 30);

    ASSERT_EQ(isIndex(f, 0), 1);
    ASSERT_EQ(isGoto(f, 4), 1);
    EXPECT_EQ(read(modeNext), 60);

    EXPECT_EQ(isGoto(f, 0), 0);
    EXPECT_EQ(isErrno(f), ENOREC);
    EXPECT_EQ(statusChars(), "2323");
    EXPECT_EQ(isGoto(f, 7), 0);
    EXPECT_EQ(isErrno(f), ENOREC);

    // The state bits stay: after a start, next reads the record gone to.
    ASSERT_EQ(isIndex(f, 1), 1);
    ASSERT_EQ(start(idKey(), 0, modeFirst), 1);
    ASSERT_EQ(isGoto(f, 1), 1);
    EXPECT_EQ(read(modeNext), 40);
}

TEST_F(Reads, PushAndPopRestoreIndexAndRecord) {
    ASSERT_EQ(isIndex(f, 3), 1);
    ASSERT_EQ(read(modeFirst), 40);
    ASSERT_EQ(read(modeNext), 30);
    int index = -1;
    int32_t recnum = -1;
    ASSERT_EQ(isPush(f, &index, &recnum), 1);
    EXPECT_EQ(index, 3);
    EXPECT_EQ(recnum, 3);

    ASSERT_EQ(isIndex(f, 2), 1);
    ASSERT_EQ(read(modeLast), 60);
    ASSERT_EQ(isPop(f, index, recnum), 1) << isErrno(f);
    EXPECT_EQ(read(modeCurrent), 30);
    EXPECT_EQ(read(modeNext), 50) << "still the group index";

    ASSERT_EQ(isIndex(f, 0), 1);
    ASSERT_EQ(isSetrec(f, 5), 1);
    ASSERT_EQ(read(modeEqual), 60);
    ASSERT_EQ(isPush(f, &index, &recnum), 1);
    EXPECT_EQ(index, 0);
    EXPECT_EQ(recnum, 5);
    ASSERT_EQ(isIndex(f, 1), 1);
    ASSERT_EQ(read(modeFirst), 10);
    ASSERT_EQ(isPop(f, index, recnum), 1);
    EXPECT_EQ(read(modeCurrent), 60);
    EXPECT_EQ(read(modeNext), 50) << "record-number order again";

    EXPECT_EQ(isPop(f, 9, 1), 0);
    EXPECT_EQ(isErrno(f), EBADKEY);
    EXPECT_EQ(isPush(nullptr, &index, &recnum), 0);
    EXPECT_EQ(isErrno(nullptr), ENOTOPEN);
}

TEST_F(Reads, LockFlagsOnAFileWithoutRecordsAreRefused) {
    KeyDesc key = keyAt(0, 4, ISTYPE_LONG);
    IsFile *k = isBuild(dir.name("k").c_str(), 0, 0, &key, ISINOUT);
    ASSERT_NE(k, nullptr);
    Record r = Record::withId(1);
    ASSERT_EQ(isSetrec(k, 9), 1);
    ASSERT_EQ(isWrite(k, r.bytes), 1);
    EXPECT_EQ(isRead(k, r.bytes, modeFirst | readLock), 0);
    EXPECT_EQ(isErrno(k), EBADARG);
    EXPECT_EQ(isRead(k, r.bytes, modeFirst), 1);
    EXPECT_EQ(isRecnum(k), 9);
}

// writeToCurRec overwrites the current record's slot and nothing else: the
// indexes keep the old keys.
TEST_F(Reads, WriteToCurRecOverwritesTheSlotOnly) {
    const auto indexBefore = testing::readFile(dir.file("r.wox"));
    ASSERT_EQ(isIndex(f, 3), 1);
    ASSERT_EQ(read(modeEqual, Record::withGroup(9)), 20);
    Record changed = Record::withId(21);
    stChar("new", changed.bytes + 4, 8);
    stInt(1, changed.bytes + 12);
    ASSERT_EQ(writeToCurRec(f, changed.bytes), 1) << isErrno(f);
    Record slot;
    ASSERT_EQ(isData(f, slot.bytes, 4), 1);
    EXPECT_EQ(std::memcmp(slot.bytes, changed.bytes, kLength), 0);
    EXPECT_EQ(testing::readFile(dir.file("r.wox")), indexBefore) << "no key, no dictionary";
    EXPECT_EQ(read(modeEqual, Record::withGroup(9)), 21) << "found under the old key";
    EXPECT_EQ(read(modeEqual, Record::withGroup(1)), -1);

    ASSERT_EQ(isIndex(f, 0), 1);
    ASSERT_EQ(isSetrec(f, 2), 1);
    ASSERT_EQ(read(modeEqual), 10);
    ASSERT_EQ(writeToCurRec(f, Record::withId(11).bytes), 1);
    EXPECT_EQ(read(modeCurrent), 11) << "record-number order writes slot `position`";
    EXPECT_EQ(writeToCurRec(f, nullptr), 0);
    EXPECT_EQ(isErrno(f), EBADARG);
}

// After an open the primary index stands on its first entry with the next
// sequential read forward returning it.
TEST_F(Reads, AfterOpenThePrimaryIndexStandsOnItsFirstRecord) {
    ASSERT_EQ(isClose(f), 1);
    f = isOpen(dir.name("r").c_str(), ISINOUT);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(read(modeNext), 10) << isErrno(f);
    EXPECT_EQ(read(modeNext), 20);
    ASSERT_EQ(isClose(f), 1);
    f = isOpen(dir.name("r").c_str(), ISINOUT);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(read(modeCurrent), 10) << isErrno(f);
    EXPECT_EQ(read(modeNext), 20) << "a read clears the pending next";
}

TEST_F(Reads, FirstReadAfterOpenOfAKeyOnlyFileReturnsTheSmallestKey) {
    KeyDesc key = keyAt(0, 4, ISTYPE_LONG);
    IsFile *k = isBuild(dir.name("k").c_str(), 0, 0, &key, ISINOUT);
    ASSERT_NE(k, nullptr);
    for (int32_t value : {3, -5, 7}) {
        ASSERT_EQ(isSetrec(k, value + 10), 1);
        ASSERT_EQ(isWrite(k, Record::withId(value).bytes), 1);
    }
    ASSERT_EQ(isClose(k), 1);
    k = isOpen(dir.name("k").c_str(), ISINOUT);
    ASSERT_NE(k, nullptr);
    EXPECT_EQ(read(k, modeNext), -5) << "a key below the zero image comes first";
    EXPECT_EQ(isRecnum(k), 5);
    EXPECT_EQ(read(k, modeNext), 3);
}

// ---------------------------------------------------------------------------
// Record locks taken by reads, seen from another process.
// ---------------------------------------------------------------------------

class ReadLocks : public Reads {
protected:
    // A child that opens the file under its own spelling and runs `work`;
    // the result is the child's exit status.
    template <class Work>
    int inChild(Work work) {
        return testing::runInChild([&] {
            IsFile *g = isOpen(testing::spelling(dir, "r", 1).c_str(), ISINOUT);
            if (g == nullptr) return 90;
            return work(g);
        });
    }
    testing::EscapeScope escapes;
};

TEST_F(ReadLocks, ReadLockKeepsTheRecordLocked) {
    ASSERT_EQ(read(modeEqual | readLock, Record::withId(30)), 30);
    const int32_t locked = isRecnum(f);
    EXPECT_EQ(inChild([&](IsFile *g) {
                  if (isLockTest(g, locked) != 0) return 1;
                  if (read(g, modeEqual | readLock, Record::withId(30)) != -1) return 2;
                  if (isErrno(g) != ELOCKED) return 3;
                  if (statusChars() != "9090") return 4;
                  if (read(g, modeEqual, Record::withId(30)) != 30) return 5;  // no lock flags
                  if (read(g, modeEqual | readLock, Record::withId(40)) != 40) return 6;
                  return 0;
              }),
              0);
    ASSERT_EQ(isRelease(f), 1);
    EXPECT_EQ(inChild([&](IsFile *g) { return isLockTest(g, locked) == 1 ? 0 : 1; }), 0);
}

TEST_F(ReadLocks, LockTestWithoutReadLockReleasesAtOnce) {
    ASSERT_EQ(read(modeEqual | readWait, Record::withId(30)), 30);
    const int32_t tested = isRecnum(f);
    EXPECT_EQ(inChild([&](IsFile *g) { return isLockTest(g, tested) == 1 ? 0 : 1; }), 0);
}

// The child's next read meets the lock of record 4 (id 20) and waits;
// meanwhile the holder writes 600 records (the id index grows a level),
// one of them between 10 and 20.  After the wait the read positions on the
// record it waited for, not one step further.
TEST_F(ReadLocks, ReadWaitWaitsUntilTheHolderReleases) {
    ASSERT_EQ(read(modeEqual | readLock, Record::withId(20)), 20);
    testing::Signal waiting, released, done;
    const int child = testing::startChild([&] {
        IsFile *g = isOpen(testing::spelling(dir, "r", 1).c_str(), ISINOUT);
        if (g == nullptr) return 90;
        if (read(g, modeFirst) != 10) return 91;
        testing::waitingAnnounce = &waiting;
        isDeadlockThreshold = 1;
        lockingDeadLock = testing::announceAndWait;
        const int32_t id = read(g, modeNext | readLock | readWait);
        const bool afterRelease = released.wait(0);
        done.post();
        if (id != 20) return 1;
        if (!afterRelease) return 2;
        if (isRecnum(g) != 4) return 3;
        if (read(g, modeNext) != 30) return 4;
        if (read(g, modePrev) != 20) return 5;
        return read(g, modePrev) == 15 ? 0 : 6;
    });
    EXPECT_TRUE(waiting.wait(testing::kLongWait)) << "the child met the lock";
    int written = 0;
    for (int32_t id = 1000; id < 1600; ++id) written += isWrite(f, Record::withId(id).bytes);
    written += isWrite(f, Record::withId(15).bytes);
    EXPECT_EQ(written, 601);
    released.post();
    EXPECT_EQ(isRelease(f), 1);
    const bool finished = done.wait(testing::kLongWait);
    if (!finished) ::kill(child, SIGKILL);
    EXPECT_TRUE(finished);
    EXPECT_EQ(testing::waitChild(child), 0);
}

TEST_F(ReadLocks, AutomaticLockingMovesTheLockWithTheRead) {
    IsFile *a = isOpen(dir.name("r").c_str(), ISINOUT | ISAUTOLOCK);
    ASSERT_NE(a, nullptr) << isErrno(nullptr);
    IsFile *probe = isOpen(testing::spelling(dir, "r", 1).c_str(), ISINOUT);
    ASSERT_NE(probe, nullptr);
    ASSERT_EQ(isIndex(a, 1), 1);
    ASSERT_EQ(read(a, modeFirst), 10);
    EXPECT_EQ(isLockTest(probe, 2), 0) << "record 2 (id 10) locked";
    ASSERT_EQ(read(a, modeNext), 20);
    EXPECT_EQ(isLockTest(probe, 2), 1) << "the previous record's lock released";
    EXPECT_EQ(isLockTest(probe, 4), 0) << "record 4 (id 20) locked";
    ASSERT_EQ(read(a, modeEqual, Record::withId(60)), 60);
    EXPECT_EQ(isLockTest(probe, 4), 1);
    EXPECT_EQ(isLockTest(probe, 5), 0);
    // A lock of another handle makes the automatic read fail.
    ASSERT_EQ(read(f, modeEqual | readLock, Record::withId(40)), 40);
    EXPECT_EQ(read(a, modeEqual, Record::withId(40)), -1);
    EXPECT_EQ(isErrno(a), ELOCKED);
    EXPECT_EQ(isLockTest(probe, 5), 1) << "the failed read released the lock it held";
    ASSERT_EQ(isRelease(f), 1);
    ASSERT_EQ(read(a, modeEqual, Record::withId(40)), 40);
    EXPECT_EQ(isLockTest(probe, 1), 0);
    ASSERT_EQ(isGoto(a, 3), 1);
    EXPECT_EQ(isLockTest(probe, 1), 1) << "isGoto releases the record locks";
    EXPECT_EQ(isLockTest(probe, 3), 1) << "and takes none";
}

// ---------------------------------------------------------------------------
// 20 000 random records through three indexes, against sorted vectors.
//
// Record layout:  0 id (long, 4)   4 name (char, 10)   14 group (int, 2)
//                 16 serial of the write (long, 4)
// Index 1: id, unique.  Index 2: name with every compression and
// duplicates.  Index 3: group descending, duplicates.
// ---------------------------------------------------------------------------
constexpr int kModelLength = 20;
constexpr int kModelRecords = 20000;
constexpr int kNameLength = 10;

struct Entry {
    int32_t id;
    std::string name;  // kNameLength bytes, blank filled
    int16_t group;
    int32_t serial;    // write order; the record number is serial + 1
};

KeyDesc modelKey(int index) {
    switch (index) {
    case 1: return keyAt(0, 4, ISTYPE_LONG);
    case 2:
        return keyAt(4, kNameLength, ISTYPE_CHAR,
                     ISKEY_DUPS | ISKEY_DUPCOMPRESS | ISKEY_LEADCOMPRESS | ISKEY_TRAILCOMPRESS);
    default: return keyAt(14, 2, ISTYPE_INT | ISTYPE_DESC, ISKEY_DUPS);
    }
}

// Key order of index `index` (1..3), without the write order.
bool keyBefore(int index, const Entry &a, const Entry &b) {
    switch (index) {
    case 1: return a.id < b.id;
    case 2: return a.name < b.name;
    default: return a.group > b.group;
    }
}

std::string blankFilled(const std::string &text) {
    std::string name = text;
    name.resize(kNameLength, ' ');
    return name;
}

class RandomRecordModel : public ::testing::Test {
protected:
    // One file for the whole suite: writing it is the expensive part.
    static void SetUpTestSuite() {
        dir = new testing::TempDir;
        std::mt19937 random(20240611);
        std::set<int32_t> ids;
        std::uniform_int_distribution<int32_t> anyId(-1000000000, 1000000000);
        std::uniform_int_distribution<int> nameLength(1, 6), letter(0, 3), group(-500, 500);
        entries.clear();
        while (static_cast<int>(entries.size()) < kModelRecords) {
            const int32_t id = anyId(random);
            if (!ids.insert(id).second) continue;
            std::string name;
            for (int n = nameLength(random); n > 0; --n) name += static_cast<char>('a' + letter(random));
            entries.push_back({id, blankFilled(name), static_cast<int16_t>(group(random)),
                               static_cast<int32_t>(entries.size())});
        }
        KeyDesc primary = modelKey(1);
        IsFile *h = isBuild(dir->name("m").c_str(), kModelLength, 0, &primary, ISINOUT);
        ASSERT_NE(h, nullptr);
        for (int index : {2, 3}) {
            KeyDesc key = modelKey(index);
            ASSERT_EQ(isAddIndex(h, &key), 1) << isErrno(h);
        }
        for (const Entry &e : entries) {
            unsigned char record[kModelLength];
            fill(e, record);
            ASSERT_EQ(isWrite(h, record), 1) << isErrno(h);
            ASSERT_EQ(isRecnum(h), e.serial + 1);
        }
        ASSERT_EQ(isClose(h), 1);
        for (int index = 1; index <= 3; ++index) {
            auto &order = orders[index];
            order.clear();
            for (const Entry &e : entries) order.push_back(&e);
            std::stable_sort(order.begin(), order.end(),
                             [index](const Entry *a, const Entry *b) { return keyBefore(index, *a, *b); });
        }
    }
    static void TearDownTestSuite() {
        delete dir;
        dir = nullptr;
    }
    void SetUp() override {
        f = isOpen(dir->name("m").c_str(), ISINPUT);
        ASSERT_NE(f, nullptr) << isErrno(nullptr);
    }
    void TearDown() override { isCleanUp(); }

    static void fill(const Entry &e, unsigned char *record) {
        stLong(e.id, record);
        std::memcpy(record + 4, e.name.data(), kNameLength);
        stInt(e.group, record + 14);
        stLong(e.serial, record + 16);
    }
    // The serial of the record a read delivers (checking the rest of the
    // record against the model), or -1 when the read fails.
    int32_t readSerial(unsigned char *record, int mode) {
        if (isRead(f, record, mode) != 1) return -1;
        const int32_t serial = ldLong(record + 16);
        if (serial < 0 || serial >= kModelRecords) return -2;
        unsigned char expected[kModelLength];
        fill(entries[static_cast<size_t>(serial)], expected);
        if (std::memcmp(record, expected, kModelLength) != 0) return -3;
        if (isRecnum(f) != serial + 1) return -4;
        return serial;
    }

    void walkForward(int index);
    void walkBackward(int index);

    static testing::TempDir *dir;
    static std::vector<Entry> entries;
    static std::vector<const Entry *> orders[4];
    IsFile *f = nullptr;
};

testing::TempDir *RandomRecordModel::dir = nullptr;
std::vector<Entry> RandomRecordModel::entries;
std::vector<const Entry *> RandomRecordModel::orders[4];

// Reads index `index` from first to last against the model.
void RandomRecordModel::walkForward(int index) {
    unsigned char record[kModelLength];
    const auto &order = orders[index];
    ASSERT_EQ(isIndex(f, index), 1);
    int mode = modeFirst;
    for (size_t i = 0; i < order.size(); ++i, mode = modeNext) {
        ASSERT_EQ(readSerial(record, mode), order[i]->serial) << "forward at " << i;
    }
    ASSERT_EQ(readSerial(record, modeNext), -1);
    ASSERT_EQ(isErrno(f), EENDFILE);
}

// Reads index `index` from last to first against the model.
void RandomRecordModel::walkBackward(int index) {
    unsigned char record[kModelLength];
    const auto &order = orders[index];
    ASSERT_EQ(isIndex(f, index), 1);
    int mode = modeLast;
    for (size_t i = order.size(); i-- > 0; mode = modePrev) {
        ASSERT_EQ(readSerial(record, mode), order[i]->serial) << "backward at " << i;
    }
    ASSERT_EQ(readSerial(record, modePrev), -1);
    ASSERT_EQ(isErrno(f), EENDFILE);
}

TEST_F(RandomRecordModel, UniqueLongIndexReadsInModelOrderBothWays) {
    walkForward(1);
    walkBackward(1);
}
TEST_F(RandomRecordModel, CompressedCharIndexWithDuplicatesReadsForwardInModelOrder) { walkForward(2); }
TEST_F(RandomRecordModel, CompressedCharIndexWithDuplicatesReadsBackwardInModelOrder) { walkBackward(2); }
TEST_F(RandomRecordModel, DescendingIntIndexWithDuplicatesReadsInModelOrderBothWays) {
    walkForward(3);
    walkBackward(3);
}

TEST_F(RandomRecordModel, SearchesMatchTheModel) {
    std::mt19937 random(77);
    unsigned char record[kModelLength];
    for (int index = 1; index <= 3; ++index) {
        SCOPED_TRACE(index);
        const auto &order = orders[index];
        const KeyDesc key = modelKey(index);
        std::uniform_int_distribution<size_t> existing(0, entries.size() - 1);
        std::uniform_int_distribution<int> nameLength(1, 6), letter(0, 4), group(-520, 520);
        std::uniform_int_distribution<int32_t> anyId(-1000000001, 1000000001);
        for (int probe = 0; probe < 300; ++probe) {
            // Half the probes are keys of the file, half are arbitrary.
            Entry wanted = entries[existing(random)];
            if (probe % 2 == 1) {
                std::string name;
                for (int n = nameLength(random); n > 0; --n) name += static_cast<char>('a' + letter(random));
                wanted = {anyId(random), blankFilled(name), static_cast<int16_t>(group(random)), 0};
            }
            const auto before = [&](const Entry *e, const Entry &w) { return keyBefore(index, *e, w); };
            const auto after = [&](const Entry &w, const Entry *e) { return keyBefore(index, w, *e); };
            const auto ge = std::lower_bound(order.begin(), order.end(), wanted, before);
            const auto gt = std::upper_bound(order.begin(), order.end(), wanted, after);
            for (int mode : {modeEqual, modeGreater, modeGreaterEqual}) {
                auto found = mode == modeGreater ? gt : ge;
                if (mode == modeEqual && found != order.end() && keyBefore(index, wanted, **found)) {
                    found = order.end();
                }
                const int32_t expected = found == order.end() ? -1 : (*found)->serial;
                const int32_t following =
                    found == order.end() || found + 1 == order.end() ? -1 : found[1]->serial;
                unsigned char search[kModelLength];
                fill(wanted, search);
                KeyDesc copy = key;
                ASSERT_EQ(isStart(f, &copy, 0, search, mode), expected < 0 ? 0 : 1)
                    << "probe " << probe << " mode " << mode;
                if (expected >= 0) {
                    ASSERT_EQ(readSerial(record, modeNext), expected) << "probe " << probe << " mode " << mode;
                }
                std::memcpy(record, search, kModelLength);
                ASSERT_EQ(readSerial(record, mode), expected) << "probe " << probe << " mode " << mode;
                if (expected < 0) {
                    ASSERT_EQ(isErrno(f), ENOREC);
                    continue;
                }
                ASSERT_EQ(readSerial(record, modeNext), following) << "probe " << probe << " mode " << mode;
            }
        }
    }
}

}  // namespace
}  // namespace wisam
