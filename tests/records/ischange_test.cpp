// Deleting and rewriting records through the C calls.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "frame/isfile.h"
#include "support/lockprobe.h"
#include "support/testing.h"
#include "wisam.h"

namespace wisam {
namespace {

using testing::keyAt;

constexpr int kLength = 16;  // id 0..3, group 4..7, name 8..15

struct Record {
    unsigned char bytes[kLength] = {};
    Record(int32_t id, int32_t group, const char *name = "") {
        stLong(id, bytes);
        stLong(group, bytes + 4);
        stChar(name, bytes + 8, 8);
    }
};

class Changes : public ::testing::Test {
protected:
    void SetUp() override {
        KeyDesc id = keyAt(0, 4, ISTYPE_LONG);
        f = isBuild(dir.name("c").c_str(), kLength, 0, &id, ISINOUT);
        ASSERT_NE(f, nullptr);
        KeyDesc group = keyAt(4, 4, ISTYPE_LONG, ISKEY_DUPS);
        KeyDesc name = keyAt(8, 8, ISTYPE_WNOCASE, ISKEY_DUPS);
        ASSERT_EQ(isAddIndex(f, &group), 1);
        ASSERT_EQ(isAddIndex(f, &name), 1);
    }
    void TearDown() override { isCleanUp(); }
    int32_t write(int32_t id, int32_t group, const char *name = "") {
        Record r(id, group, name);
        EXPECT_EQ(isWrite(f, r.bytes), 1) << isErrno(f);
        return isRecnum(f);
    }
    std::vector<int32_t> ids(int index) {
        std::vector<int32_t> seen;
        unsigned char record[kLength];
        EXPECT_EQ(isIndex(f, index), 1);
        for (int mode = modeFirst; isRead(f, record, mode); mode = modeNext) seen.push_back(ldLong(record));
        return seen;
    }
    std::vector<uint8_t> index() { return testing::readFile(dir.file("c.wox")); }
    std::vector<uint8_t> data() { return testing::readFile(dir.file("c.wod")); }
    testing::TempDir dir;
    IsFile *f = nullptr;
};

TEST_F(Changes, DeleteByKeyRemovesTheRecordFromEveryIndex) {
    for (int i = 1; i <= 6; ++i) write(i, i % 2);
    Record key(4, 0);
    ASSERT_EQ(isDelete(f, key.bytes), 1) << isErrno(f);
    const std::vector<int32_t> left{1, 2, 3, 5, 6};
    EXPECT_EQ(ids(1), left);
    EXPECT_EQ(ids(2).size(), 5u);
    EXPECT_EQ(ids(3).size(), 5u);
    EXPECT_EQ(isDelete(f, key.bytes), 0);
    EXPECT_EQ(isErrno(f), 111);
    EXPECT_EQ(std::string(f->status, 4), "2323");
    IsamInfo info{};
    ASSERT_EQ(isIsamInfo(f, &info), 1);
    EXPECT_EQ(info.recordCount, 5);
}

TEST_F(Changes, DeletedNumbersAreReusedUnlessPrecious) {
    for (int i = 1; i <= 6; ++i) write(i, 0);
    ASSERT_EQ(isDelRec(f, 5), 1);
    EXPECT_EQ(data()[static_cast<size_t>(4 * (kLength + 1) + kLength)], 0) << "marker cleared";
    EXPECT_EQ(write(7, 0), 5) << "record 5 is reused";
    ASSERT_EQ(isPrecious(f, 1), 1);
    ASSERT_EQ(isDelRec(f, 2), 1);
    EXPECT_EQ(write(8, 0), 7) << "precious: never reused";
    IsamInfo info{};
    ASSERT_EQ(isIsamInfo(f, &info), 1);
    EXPECT_EQ(info.recordCount, 7) << "deleted records count in a precious file";
}

TEST_F(Changes, DeleteRecordRefusals) {
    write(1, 0);
    EXPECT_EQ(isDelRec(f, 1), 1);
    EXPECT_EQ(isDelRec(f, 1), 0) << "twice";
    EXPECT_EQ(isErrno(f), 112);
    for (int32_t bad : {0, -3, 99}) {
        EXPECT_EQ(isDelRec(f, bad), 0) << bad;
        EXPECT_EQ(isErrno(f), 112);
    }
}

TEST_F(Changes, DeleteByKeyNeedsAUniquePrimaryKey) {
    KeyDesc group = keyAt(4, 4, ISTYPE_LONG, ISKEY_DUPS);
    IsFile *g = isBuild(dir.name("d").c_str(), kLength, 0, &group, ISINOUT);
    ASSERT_NE(g, nullptr);
    Record r(1, 1);
    ASSERT_EQ(isWrite(g, r.bytes), 1);
    EXPECT_EQ(isDelete(g, r.bytes), 0);
    EXPECT_EQ(isErrno(g), 127);
    EXPECT_EQ(isRewrite(g, r.bytes), 0);
    EXPECT_EQ(isErrno(g), 127);
}

TEST_F(Changes, DeleteCurrentAndReadOnAcrossTheGap) {
    for (int i = 1; i <= 5; ++i) write(i, 0);
    unsigned char record[kLength];
    ASSERT_EQ(isRead(f, record, modeFirst), 1);
    ASSERT_EQ(isRead(f, record, modeNext), 1);
    ASSERT_EQ(isRead(f, record, modeNext), 1);
    EXPECT_EQ(ldLong(record), 3);
    ASSERT_EQ(isDelCurr(f), 1);
    ASSERT_EQ(isRead(f, record, modeNext), 1);
    EXPECT_EQ(ldLong(record), 4) << "next after the deleted current record";
    IsFile *other = isOpen(dir.name("c").c_str(), ISINOUT);
    ASSERT_NE(other, nullptr);
    Record four(4, 0);
    ASSERT_EQ(isDelete(other, four.bytes), 1) << "another handle deletes the current record";
    ASSERT_EQ(isRead(f, record, modePrev), 1);
    EXPECT_EQ(ldLong(record), 2) << "previous skips both deleted records";
    ASSERT_EQ(isStart(f, nullptr, 0, nullptr, modeFirst), 1);
    EXPECT_EQ(isDelCurr(f), 0) << "a start at the end leaves no current record";
    EXPECT_EQ(isErrno(f), 112);
}

TEST_F(Changes, LockCheckAndForeignLocksRefuseChanges) {
    write(1, 0);
    write(2, 0);
    ASSERT_EQ(isLockCheck(f, 1), 1);
    const auto before = index();
    EXPECT_EQ(isDelRec(f, 1), 0);
    EXPECT_EQ(isErrno(f), 112) << "not locked by this handle";
    EXPECT_EQ(index(), before);
    ASSERT_EQ(testing::lockRec(f, 1), 1);
    EXPECT_EQ(isDelRec(f, 1), 1);
    ASSERT_EQ(isLockCheck(f, 0), 1);

    testing::Signal locked, done;
    const int child = testing::startChild([&] {
        IsFile *g = isOpen(testing::spelling(dir, "c", 1).c_str(), ISINOUT);
        if (g == nullptr) return 1;
        unsigned char record[kLength];
        Record two(2, 0);
        std::memcpy(record, two.bytes, kLength);
        if (!isRead(g, record, modeEqual | readLock)) return 2;
        locked.post();
        if (!done.wait(testing::kLongWait)) return 3;
        return isClose(g) == 1 ? 0 : 4;
    });
    ASSERT_TRUE(locked.wait(testing::kLongWait));
    Record two(2, 5);
    EXPECT_EQ(isRewRec(f, 2, two.bytes), 0);
    EXPECT_EQ(isErrno(f), 107);
    EXPECT_EQ(isDelRec(f, 2), 0);
    EXPECT_EQ(isErrno(f), 107);
    done.post();
    EXPECT_EQ(testing::waitChild(child), 0);
    EXPECT_EQ(isDelRec(f, 2), 1);
}

TEST_F(Changes, RewriteMovesOnlyTheKeysThatChanged) {
    write(1, 10, "alpha");
    write(2, 20, "beta");
    const auto before = index();
    Record same(1, 10, "alpha");
    ASSERT_EQ(isRewrite(f, same.bytes), 1);
    EXPECT_EQ(index().size(), before.size());
    Record caseOnly(1, 10, "ALPHA");
    ASSERT_EQ(isRewrite(f, caseOnly.bytes), 1) << "a case change in a no-case index is no change";
    Record moved(1, 30, "alpha");
    ASSERT_EQ(isRewrite(f, moved.bytes), 1);
    EXPECT_EQ(isRecnum(f), 1) << "the rewritten record";
    EXPECT_EQ(ids(2), (std::vector<int32_t>{2, 1})) << "group 30 now sorts after 20";
    unsigned char record[kLength];
    ASSERT_EQ(isData(f, record, 1), 1);
    EXPECT_EQ(ldLong(record + 4), 30);
    EXPECT_EQ(std::memcmp(record + 8, "alpha", 5), 0) << "the slot holds the last image";
}

TEST_F(Changes, RewriteToAnotherRecordsUniqueKeyFailsBeforeAnyChange) {
    KeyDesc unique = keyAt(12, 4, ISTYPE_LONG);
    ASSERT_EQ(isAddIndex(f, &unique), 1);
    write(1, 10, "aaaa0001");
    write(2, 20, "aaaa0002");
    const auto indexBefore = index();
    const auto dataBefore = data();
    Record clash(1, 99, "aaaa0002");  // group changes, and the unique part equals record 2's
    EXPECT_EQ(isRewrite(f, clash.bytes), 0);
    EXPECT_EQ(isErrno(f), 100);
    EXPECT_EQ(index(), indexBefore) << "the group index was not touched either";
    EXPECT_EQ(data(), dataBefore);
    Record missing(7, 0);
    EXPECT_EQ(isRewrite(f, missing.bytes), 0);
    EXPECT_EQ(isErrno(f), 111);
    EXPECT_EQ(data(), dataBefore);
}

TEST_F(Changes, RewriteNextRewritesAndAdvances) {
    write(1, 0);
    write(2, 0);
    unsigned char record[kLength];
    ASSERT_EQ(isRead(f, record, modeFirst), 1);
    Record first(1, 7);
    ASSERT_EQ(isRewNxt(f, first.bytes), 1);
    EXPECT_EQ(isRecnum(f), 1) << "the rewrite's record";
    Record second(2, 8);
    EXPECT_EQ(isRewNxt(f, second.bytes), 0) << "no record after the last";
    EXPECT_EQ(isErrno(f), 110);
    ASSERT_EQ(isData(f, record, 2), 1);
    EXPECT_EQ(ldLong(record + 4), 8) << "the last record was still rewritten";
}

TEST_F(Changes, MaskBitsMoveTheRecordInAndOutOfAnIndex) {
    KeyDesc id = keyAt(0, 4, ISTYPE_LONG);
    IsFile *m = isBuild(dir.name("m").c_str(), kLength, 0, &id, ISINOUT | ISINDEXMASK);
    ASSERT_NE(m, nullptr);
    KeyDesc group = keyAt(4, 4, ISTYPE_LONG, ISKEY_DUPS);
    ASSERT_EQ(isAddIndex(m, &group), 1);
    Record r(1, 5);
    ASSERT_EQ(isWrite(m, r.bytes), 1);
    m->recordMask = 0x2;  // leave index 1 (the group)
    ASSERT_EQ(isRewRec(m, 1, r.bytes), 1);
    unsigned char record[kLength];
    ASSERT_EQ(isIndex(m, 2), 1);
    EXPECT_EQ(isRead(m, record, modeFirst), 0) << "no entry in the group index";
    m->recordMask = 0;
    ASSERT_EQ(isRewRec(m, 1, r.bytes), 1);
    EXPECT_EQ(isRead(m, record, modeFirst), 1) << "the entry is back";
    ASSERT_EQ(isDelRec(m, 1), 1);
}

TEST_F(Changes, KeyOnlyFilesDeleteAndRewriteTheirEntries) {
    KeyDesc id = keyAt(0, 4, ISTYPE_LONG);
    IsFile *k = isBuild(dir.name("k").c_str(), 0, 0, &id, ISINOUT);
    ASSERT_NE(k, nullptr);
    unsigned char key[4];
    for (int32_t v : {3, 1, 2}) {
        stLong(v, key);
        ASSERT_EQ(isSetrec(k, 100 + v), 1);
        ASSERT_EQ(isWrite(k, key), 1) << isErrno(k);
    }
    EXPECT_EQ(isDelRec(k, 1), 0);
    EXPECT_EQ(isErrno(k), 102);
    stLong(2, key);
    ASSERT_EQ(isDelete(k, key), 1);
    ASSERT_EQ(isRead(k, key, modeFirst), 1);
    EXPECT_EQ(ldLong(key), 1);
    EXPECT_EQ(isRecnum(k), 101);
    stLong(9, key);
    ASSERT_EQ(isRewCurr(k, key), 1) << isErrno(k);
    ASSERT_EQ(isRead(k, key, modeLast), 1);
    EXPECT_EQ(ldLong(key), 9);
    EXPECT_EQ(isRecnum(k), 101);
}

}  // namespace
}  // namespace wisam
