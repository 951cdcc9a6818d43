// Adding records through the exported calls: isWrite, isWrLock, isWrCurr.
// Keys go into every index; a duplicate in an index without duplicates
// leaves both files byte for byte as they were; duplicates, null keys and
// the per-record index mask decide which indexes get an entry.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "frame/isfile.h"
#include "structure/isencode.h"
#include "support/faults.h"
#include "support/testing.h"
#include "wisam.h"

namespace wisam {
namespace {

// Record layout of the tests:
//   0   4  id     long, the primary key
//   4   8  name   characters, blank filled
//   12  2  group  int
//   14  10 filler
constexpr int kLength = 24;

struct Row {
    int32_t id;
    std::string name;
    int16_t group;
};

std::vector<unsigned char> image(const Row &row) {
    std::vector<unsigned char> record(kLength, '.');
    stLong(row.id, record.data());
    stChar(row.name.c_str(), record.data() + 4, 8);
    stInt(row.group, record.data() + 12);
    return record;
}

std::string nameOf(const unsigned char *record) {
    char name[9] = {};
    ldChar(record + 4, 8, name);
    return name;
}

KeyDesc keyAt(int16_t start, int16_t length, uint16_t type, uint16_t flags = 0) {
    KeyDesc key{};
    key.flags = flags;
    key.partCount = 1;
    key.parts[0] = KeyPart{start, length, type};
    return key;
}

KeyDesc idKey() { return keyAt(0, 4, ISTYPE_LONG); }
KeyDesc nameKey(uint16_t flags) { return keyAt(4, 8, ISTYPE_CHAR, flags); }
KeyDesc groupKey() { return keyAt(12, 2, ISTYPE_INT, ISKEY_DUPS); }

// The whole file, read with plain descriptor calls (the comparisons below
// read the files thousands of times).
std::vector<uint8_t> slurp(const std::string &path) {
    std::vector<uint8_t> bytes;
    const int fd = ::open(path.c_str(), O_RDONLY);
    if (fd < 0) return bytes;
    struct stat info {};
    if (::fstat(fd, &info) == 0) {
        bytes.resize(static_cast<size_t>(info.st_size));
        size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t got = ::pread(fd, bytes.data() + done, bytes.size() - done, static_cast<off_t>(done));
            if (got <= 0) break;
            done += static_cast<size_t>(got);
        }
        bytes.resize(done);
    }
    ::close(fd);
    return bytes;
}

std::string statusChars() { return {isstat1, isstat2, isstat3, isstat4}; }
void clearStat() { isstat1 = isstat2 = isstat3 = isstat4 = '0'; }

class Writes : public ::testing::Test {
protected:
    void TearDown() override { isCleanUp(); }

    // The file "w" with the id index, a name index with `nameFlags` and the
    // group index.
    void build(uint16_t nameFlags, int mode = ISINOUT) {
        KeyDesc id = idKey();
        f = isBuild(dir.name("w").c_str(), kLength, 0, &id, mode);
        ASSERT_NE(f, nullptr) << isErrno(nullptr);
        KeyDesc name = nameKey(nameFlags);
        ASSERT_EQ(isAddIndex(f, &name), 1) << isErrno(f);
        KeyDesc group = groupKey();
        ASSERT_EQ(isAddIndex(f, &group), 1) << isErrno(f);
    }
    int32_t write(const Row &row) {
        const auto record = image(row);
        EXPECT_EQ(isWrite(f, record.data()), 1) << "id " << row.id << " error " << isErrno(f);
        return isRecnum(f);
    }
    // The ids in the order of index `index` (0 = record-number order).
    std::vector<int32_t> ids(int index) {
        std::vector<int32_t> seen;
        unsigned char record[kLength];
        EXPECT_EQ(isIndex(f, index), 1);
        for (int mode = modeFirst; isRead(f, record, mode); mode = modeNext) seen.push_back(ldLong(record));
        EXPECT_EQ(isErrno(f), EENDFILE);
        return seen;
    }
    int32_t highest() {
        int32_t last = -1;
        EXPECT_EQ(isGetLastRec(f, &last), 1);
        return last;
    }
    int32_t recordCount() {
        IsamInfo info{};
        EXPECT_EQ(isIsamInfo(f, &info), 1);
        return info.recordCount;
    }
    std::vector<uint8_t> indexBytes() { return slurp(dir.file("w.wox")); }
    std::vector<uint8_t> dataBytes() { return slurp(dir.file("w.wod")); }

    testing::TempDir dir;
    IsFile *f = nullptr;
};

TEST_F(Writes, NewRecordsTakeConsecutiveNumbersAndEnterEveryIndex) {
    build(ISKEY_DUPS);
    EXPECT_EQ(write({30, "carol", 2}), 1);
    EXPECT_EQ(write({10, "alice", 3}), 2);
    EXPECT_EQ(write({20, "bob", 1}), 3);
    EXPECT_EQ(highest(), 3);
    EXPECT_EQ(recordCount(), 3);
    EXPECT_EQ(ids(0), (std::vector<int32_t>{30, 10, 20}));
    EXPECT_EQ(ids(1), (std::vector<int32_t>{10, 20, 30}));
    EXPECT_EQ(ids(2), (std::vector<int32_t>{10, 20, 30}));
    EXPECT_EQ(ids(3), (std::vector<int32_t>{20, 30, 10}));
    const auto data = dataBytes();
    ASSERT_EQ(data.size(), 3u * (kLength + 1));
    EXPECT_EQ(ldLong(&data[kLength + 1]), 10) << "record 2 lies in the second slot";
    EXPECT_EQ(data[2 * (kLength + 1) - 1], 0x0A) << "in-use marker";
}

TEST_F(Writes, DuplicatePrimaryKeyFailsAndChangesNothing) {
    build(ISKEY_DUPS);
    write({1, "one", 1});
    write({2, "two", 2});
    const auto index = indexBytes();
    const auto data = dataBytes();
    const auto again = image({2, "other", 9});
    EXPECT_EQ(isWrite(f, again.data()), 0);
    EXPECT_EQ(isErrno(f), EDUPL);
    EXPECT_EQ(statusChars(), "2222");
    EXPECT_EQ(std::string(f->status, 4), "2222");
    EXPECT_EQ(indexBytes(), index);
    EXPECT_EQ(dataBytes(), data);
    EXPECT_EQ(highest(), 2);
    EXPECT_EQ(recordCount(), 2);
    EXPECT_EQ(ids(2), (std::vector<int32_t>{1, 2})) << "no name key of the refused record";
    EXPECT_EQ(ids(3), (std::vector<int32_t>{1, 2}));
    EXPECT_EQ(write({3, "three", 3}), 3) << "the refused record's number was not used up";
}

// A duplicate in the second of three indexes comes after the first index
// took the key (and, once its leaf is full, split it) and after a record
// number was taken: the index file and the data file stay byte-identical.
TEST_F(Writes, DuplicateInSecondIndexLeavesBothFilesByteIdentical) {
    build(0);
    char name[16];
    int splitsSeen = 0;
    std::vector<uint8_t> previousIndex;
    constexpr int kRecords = 1100;  // the first index's leaf splits twice on the way
    for (int i = 0; i < kRecords; ++i) {
        std::snprintf(name, sizeof name, "n%05d", i);
        write({i * 2, name, static_cast<int16_t>(i % 7)});
        const auto index = indexBytes();
        const auto data = dataBytes();
        if (index.size() != previousIndex.size()) ++splitsSeen;
        previousIndex = index;
        std::snprintf(name, sizeof name, "n%05d", (i * 37) % (i + 1));
        const auto refused = image({1000000 + i, name, 4});
        ASSERT_EQ(isWrite(f, refused.data()), 0) << i;
        ASSERT_EQ(isErrno(f), EDUPL) << i;
        ASSERT_EQ(indexBytes(), index) << "after record " << i;
        ASSERT_EQ(dataBytes(), data) << "after record " << i;
    }
    EXPECT_GE(splitsSeen, 3) << "the index file grew while the refusals ran";
    EXPECT_EQ(highest(), kRecords);
    EXPECT_EQ(recordCount(), kRecords);
    const auto byId = ids(1);
    ASSERT_EQ(byId.size(), static_cast<size_t>(kRecords));
    for (int i = 0; i < kRecords; ++i) ASSERT_EQ(byId[static_cast<size_t>(i)], i * 2);
    EXPECT_EQ(ids(3).size(), static_cast<size_t>(kRecords));
    EXPECT_EQ(write({-5, "fresh", 1}), kRecords + 1);
}

TEST_F(Writes, DuplicateInIndexWithDuplicatesGivesTheNotice) {
    build(ISKEY_DUPS);
    clearStat();
    write({1, "same", 7});
    EXPECT_EQ(statusChars(), "0000") << "no equal key anywhere";
    EXPECT_EQ(std::string(f->status, 4), "0000");
    EXPECT_EQ(write({2, "other", 7}), 2) << "a duplicate group is no error";
    EXPECT_EQ(isstat2, '2');
    EXPECT_EQ(isstat4, '2');
    EXPECT_EQ(isstat1, '0');
    EXPECT_EQ(isstat3, '0');
    EXPECT_EQ(std::string(f->status, 4), "0202");
    clearStat();
    write({3, "third", 8});
    EXPECT_EQ(statusChars(), "0000");
    EXPECT_EQ(std::string(f->status, 4), "0000");
    EXPECT_EQ(ids(3), (std::vector<int32_t>{1, 2, 3})) << "equal keys in the order written";
}

// Key flag 0x20: a key whose every byte is its part's null character (the
// high byte of the part type) is left out of that index, also from the
// uniqueness test; the record is still written and found through the
// other indexes.
TEST_F(Writes, NullKeysStayOutOfTheirIndex) {
    KeyDesc id = idKey();
    f = isBuild(dir.name("w").c_str(), kLength, 0, &id, ISINOUT);
    ASSERT_NE(f, nullptr);
    KeyDesc suppressed{};
    suppressed.flags = ISKEY_NULLSUPPRESS;
    suppressed.partCount = 2;
    suppressed.parts[0] = KeyPart{4, 8, static_cast<uint16_t>(ISTYPE_CHAR | '*' << 8)};
    suppressed.parts[1] = KeyPart{12, 2, ISTYPE_INT};  // null character 0
    ASSERT_EQ(isAddIndex(f, &suppressed), 1) << isErrno(f);
    KeyDesc group = groupKey();
    ASSERT_EQ(isAddIndex(f, &group), 1);

    write({1, "alpha", 5});
    EXPECT_EQ(write({2, "********", 0}), 2);
    EXPECT_EQ(write({3, "********", 0}), 3) << "null keys are no duplicates";
    write({4, "********", 6});  // the second part is not null
    write({5, "beta", 0});      // the first part is not null
    EXPECT_EQ(ids(2), (std::vector<int32_t>{4, 1, 5}));
    EXPECT_EQ(ids(1), (std::vector<int32_t>{1, 2, 3, 4, 5}));
    EXPECT_EQ(ids(3), (std::vector<int32_t>{2, 3, 5, 1, 4}));

    auto probe = image({3, "", 0});
    ASSERT_EQ(isStart(f, &id, 0, probe.data(), modeEqual), 1);
    ASSERT_EQ(isRead(f, probe.data(), modeEqual), 1) << isErrno(f);
    EXPECT_EQ(nameOf(probe.data()), "********");
    auto nullProbe = image({0, "********", 0});
    EXPECT_EQ(isStart(f, &suppressed, 0, nullProbe.data(), modeEqual), 0);
    EXPECT_EQ(isErrno(f), ENOREC);
}

// Mode 0x80: every slot carries the mask of the record read last; bit 1
// keeps the next written record out of index 1 (the name index).
TEST_F(Writes, MaskOfTheRecordReadLastKeepsTheNextRecordOutOfIndexOne) {
    build(ISKEY_DUPS, ISINOUT | ISINDEXMASK);
    constexpr int kSlot = kLength + 1 + 4;
    write({1, "masked", 1});
    write({2, "plain", 2});
    ASSERT_EQ(isClose(f), 1);
    auto data = dataBytes();
    ASSERT_EQ(data.size(), 2u * kSlot);
    EXPECT_EQ(ld4(&data[kSlot - 4]), 0) << "nothing was read before the first write";
    st4(&data[kSlot - 4], 0x2);
    testing::writeFile(dir.file("w.wod"), data);
    f = isOpen(dir.name("w").c_str(), ISINOUT);
    ASSERT_NE(f, nullptr);

    unsigned char record[kLength];
    stLong(1, record);
    ASSERT_EQ(isRead(f, record, modeEqual), 1) << isErrno(f);
    EXPECT_EQ(f->recordMask, 2u);
    EXPECT_EQ(write({3, "gamma", 3}), 3);
    data = dataBytes();
    ASSERT_EQ(data.size(), 3u * kSlot);
    EXPECT_EQ(ld4(&data[3 * kSlot - 4]), 2) << "the slot stores the mask it was written with";

    ASSERT_EQ(isData(f, record, 2), 1);
    EXPECT_EQ(f->recordMask, 0u);
    write({4, "delta", 4});
    ASSERT_EQ(isData(f, record, 1), 1) << "isData loads the mask too";
    write({5, "epsilon", 5});

    EXPECT_EQ(ids(1), (std::vector<int32_t>{1, 2, 3, 4, 5}));
    EXPECT_EQ(ids(2), (std::vector<int32_t>{4, 1, 2})) << "records 3 and 5 have no name key";
    EXPECT_EQ(ids(3), (std::vector<int32_t>{1, 2, 3, 4, 5})) << "only bit 1 was set";
}

// Record length 0: the file is one index; a write enters the key with the
// record number set by isSetrec, and a read spreads the key back into the
// buffer at its parts' places.
TEST_F(Writes, IndexOnlyFileTakesTheRecordNumberSetByTheCaller) {
    KeyDesc key{};
    key.partCount = 2;
    key.parts[0] = KeyPart{2, 4, ISTYPE_LONG};
    key.parts[1] = KeyPart{9, 3, ISTYPE_CHAR};
    f = isBuild(dir.name("k").c_str(), 0, 0, &key, ISINOUT);
    ASSERT_NE(f, nullptr) << isErrno(nullptr);
    EXPECT_FALSE(testing::fileExists(dir.file("k.wod")));

    unsigned char buffer[16];
    std::memset(buffer, 0, sizeof buffer);
    stLong(4242, buffer + 2);
    std::memcpy(buffer + 9, "xyz", 3);
    ASSERT_EQ(isSetrec(f, 77), 1);
    ASSERT_EQ(isWrite(f, buffer), 1) << isErrno(f);
    EXPECT_EQ(isRecnum(f), 77);
    stLong(4241, buffer + 2);
    ASSERT_EQ(isSetrec(f, 5), 1);
    ASSERT_EQ(isWrite(f, buffer), 1) << isErrno(f);
    ASSERT_EQ(isWrite(f, buffer), 0) << "the same key again";
    EXPECT_EQ(isErrno(f), EDUPL);
    EXPECT_EQ(isWrLock(f, buffer), 0);
    EXPECT_EQ(isErrno(f), EBADARG);
    EXPECT_EQ(isWrCurr(f, buffer), 0);
    EXPECT_EQ(isErrno(f), EBADARG);

    unsigned char out[16];
    std::memset(out, 0xEE, sizeof out);
    ASSERT_EQ(isRead(f, out, modeLast), 1) << isErrno(f);
    EXPECT_EQ(isRecnum(f), 77);
    EXPECT_EQ(ldLong(out + 2), 4242);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(out + 9), 3), "xyz");
    for (int i : {0, 1, 6, 7, 8, 12, 13, 14, 15}) EXPECT_EQ(out[i], 0xEE) << "byte " << i;
    ASSERT_EQ(isRead(f, out, modePrev), 1);
    EXPECT_EQ(isRecnum(f), 5);
    EXPECT_EQ(ldLong(out + 2), 4241);
    EXPECT_FALSE(testing::fileExists(dir.file("k.wod")));
}

TEST_F(Writes, WrLockLeavesNoLockBehind) {
    build(ISKEY_DUPS);
    write({1, "one", 1});
    const auto record = image({2, "two", 2});
    ASSERT_EQ(isWrLock(f, record.data()), 1) << isErrno(f);
    const int32_t written = isRecnum(f);
    EXPECT_EQ(written, 2);
    EXPECT_EQ(f->state & kStateWriteLocking, 0);
    for (int32_t i = 0; i < f->heldLockCount; ++i) EXPECT_EQ(f->heldLocks[i], 0) << "held lock " << i;

    // Another process may lock the new record at once; the probe proves
    // itself on a record this handle does hold.
    unsigned char held[kLength];
    stLong(1, held);
    ASSERT_EQ(isRead(f, held, modeEqual | readLock), 1);
    const int child = testing::startChild([&] {
        IsFile *g = isOpen(testing::spelling(dir, "w", 1).c_str(), ISINOUT);
        if (g == nullptr) return 10;
        if (isLockTest(g, written) != 1) return 11;
        if (isLockTest(g, 1) != 0) return 12;
        return 0;
    });
    EXPECT_EQ(testing::waitChild(child), 0);

    const auto duplicate = image({2, "again", 2});
    EXPECT_EQ(isWrLock(f, duplicate.data()), 0);
    EXPECT_EQ(isErrno(f), EDUPL);
    EXPECT_EQ(f->state & kStateWriteLocking, 0) << "cleared also after a failure";
    EXPECT_EQ(highest(), 2);
}

TEST_F(Writes, WrCurrMakesTheNewRecordCurrentAndKeepsTheNotice) {
    build(ISKEY_DUPS);
    write({1, "a", 1});
    write({2, "b", 2});
    write({3, "c", 3});
    ASSERT_EQ(isIndex(f, 3), 1);  // the group index
    unsigned char record[kLength];
    ASSERT_EQ(isRead(f, record, modeFirst), 1);
    clearStat();
    const auto fresh = image({10, "d", 2});
    ASSERT_EQ(isWrCurr(f, fresh.data()), 1) << isErrno(f);
    EXPECT_EQ(isRecnum(f), 4);
    EXPECT_EQ(statusChars(), "0202") << "group 2 was there already";
    EXPECT_EQ(std::string(f->status, 4), "0202");
    ASSERT_EQ(isRead(f, record, modeCurrent), 1);
    EXPECT_EQ(ldLong(record), 10);
    ASSERT_EQ(isRead(f, record, modeNext), 1);
    EXPECT_EQ(ldLong(record), 3);
    ASSERT_EQ(isRead(f, record, modePrev), 1);
    ASSERT_EQ(isRead(f, record, modePrev), 1);
    EXPECT_EQ(ldLong(record), 2) << "the earlier record of group 2";

    // In record-number order the new record is the last one.
    ASSERT_EQ(isIndex(f, 0), 1);
    clearStat();
    const auto last = image({11, "e", 9});
    ASSERT_EQ(isWrCurr(f, last.data()), 1);
    EXPECT_EQ(statusChars(), "0000");
    ASSERT_EQ(isRead(f, record, modeCurrent), 1);
    EXPECT_EQ(ldLong(record), 11);
    EXPECT_EQ(isRead(f, record, modeNext), 0);
    EXPECT_EQ(isErrno(f), EENDFILE);

    // A refused write moves nothing.
    ASSERT_EQ(isIndex(f, 1), 1);
    ASSERT_EQ(isGoto(f, 2), 1);
    const auto duplicate = image({3, "f", 1});
    EXPECT_EQ(isWrCurr(f, duplicate.data()), 0);
    EXPECT_EQ(isErrno(f), EDUPL);
    ASSERT_EQ(isRead(f, record, modeCurrent), 1);
    EXPECT_EQ(ldLong(record), 2);
}

// The write and the positioning are one call: when the positioning fails
// the call fails, and the record it wrote goes with it.  Every read and
// write of the call fails in turn, until none is left to fail; after each
// failure the record is absent, after the success present.
TEST_F(Writes, WrCurrThatFailsAnywhereLeavesNoRecord) {
    build(ISKEY_DUPS);
    write({1, "a", 1});
    write({2, "b", 2});
    ASSERT_EQ(isIndex(f, 3), 1);
    int failed = 0;
    for (int n = 0; n < 200; ++n) {
        const int32_t id = 10 + n;
        int result = 0;
        {
            testing::FaultPlan faults;  // the transfer after the first n fails
            faults.failNth({testing::Sys::pread, testing::Sys::pwrite}, n + 1, EIO);
            result = isWrCurr(f, image({id, "d", 2}).data());
        }
        unsigned char record[kLength] = {};
        stLong(id, record);
        ASSERT_EQ(isIndex(f, 1), 1);
        const int found = isRead(f, record, modeEqual);
        ASSERT_EQ(isIndex(f, 3), 1);
        EXPECT_EQ(found, result) << "transfer " << n << " failed: isWrCurr returned " << result
                                 << (found != 0 ? " but its record is in the file" : " without its record");
        if (result == 1) break;
        ++failed;
    }
    EXPECT_GT(failed, 0) << "no transfer of isWrCurr failed";
    EXPECT_EQ(isCheckData(f), 0);
    EXPECT_EQ(isCheckIndex(f, 1), 0);
    EXPECT_EQ(isCheckIndex(f, 3), 0);
}

TEST_F(Writes, WriteMovesNoPosition) {
    build(ISKEY_DUPS);
    write({10, "a", 1});
    write({30, "c", 3});
    ASSERT_EQ(isIndex(f, 1), 1);
    unsigned char record[kLength];
    stLong(10, record);
    ASSERT_EQ(isRead(f, record, modeEqual), 1);
    EXPECT_EQ(write({20, "b", 2}), 3);
    EXPECT_EQ(isRecnum(f), 3) << "recnum names the new record";
    ASSERT_EQ(isRead(f, record, modeCurrent), 1);
    EXPECT_EQ(ldLong(record), 10) << "the index still stands on the record read";
    ASSERT_EQ(isRead(f, record, modeNext), 1);
    EXPECT_EQ(ldLong(record), 20) << "and the new record follows it";

    ASSERT_EQ(isIndex(f, 0), 1);
    ASSERT_EQ(isSetrec(f, 2), 1);
    ASSERT_EQ(isRead(f, record, modeEqual), 1);
    write({40, "d", 4});
    ASSERT_EQ(isRead(f, record, modeCurrent), 1);
    EXPECT_EQ(ldLong(record), 30) << "record-number order keeps its position too";
}

TEST_F(Writes, FileWithoutPrimaryKeyIsWrittenInRecordNumberOrder) {
    KeyDesc none{};
    f = isBuild(dir.name("w").c_str(), kLength, 0, &none, ISINOUT);
    ASSERT_NE(f, nullptr) << isErrno(nullptr);
    EXPECT_EQ(write({7, "x", 1}), 1);
    EXPECT_EQ(write({7, "x", 1}), 2) << "no key, no duplicate";
    EXPECT_EQ(write({9, "y", 2}), 3);
    EXPECT_EQ(ids(0), (std::vector<int32_t>{7, 7, 9}));
}

TEST_F(Writes, RefusedArguments) {
    build(ISKEY_DUPS);
    EXPECT_EQ(isWrite(f, nullptr), 0);
    EXPECT_EQ(isErrno(f), EBADARG);
    EXPECT_EQ(isWrite(nullptr, image({1, "a", 1}).data()), 0);
    EXPECT_EQ(isErrno(nullptr), ENOTOPEN);
    ASSERT_EQ(isClose(f), 1);
    f = isOpen(dir.name("w").c_str(), ISINPUT);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(isWrite(f, image({1, "a", 1}).data()), 0);
    EXPECT_EQ(isErrno(f), EBADARG);
    EXPECT_EQ(std::string(f->status, 4), "9048");
}

}  // namespace
}  // namespace wisam
