// Free lists of index blocks and data records: stacks of chain nodes.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "frame/iscall.h"
#include "index/isfree.h"
#include "structure/isencode.h"
#include "support/testing.h"
#include "wisam.h"

namespace wisam {
namespace {

class FreeLists : public ::testing::Test {
protected:
    void SetUp() override {
        testing::layDownFiles(dir.file("f"), 20);
        f = testing::openHandle(dir.name("f"), 2 | kModeManualLock);
        ASSERT_NE(f, nullptr);
        f->slotSize = 21;
        f->indexAlloc = FreeList{};
        f->indexAlloc.highest = 1;
        f->dataAlloc = FreeList{};
    }
    void TearDown() override {
        testing::inCall(f, kAccessChange, [&] { return freeListFlush(f), 1; });
        testing::closeTestHandle(f);
    }
    template <class Work>
    int call(Work work) {
        return testing::inCall(f, kAccessChange, [&] { return work(), 1; });
    }
    std::vector<uint8_t> node(uint32_t n) {
        auto bytes = testing::readFile(dir.file("f.wox"));
        const size_t at = static_cast<size_t>(n - 1) * 4096;
        if (bytes.size() < at + 4096) return {};
        return std::vector<uint8_t>(bytes.begin() + static_cast<long>(at), bytes.begin() + static_cast<long>(at) + 4096);
    }
    testing::TempDir dir;
    IsFile *f = nullptr;
};

TEST_F(FreeLists, EmptyIndexListGrowsAndAReleasedNodeBecomesTheHead) {
    uint32_t n = 0;
    ASSERT_EQ(call([&] { n = freeListTake(f, kFreeListIndex); }), 1);
    EXPECT_EQ(n, 2u);
    EXPECT_EQ(f->indexAlloc.highest, 2u);
    ASSERT_EQ(call([&] { freeListPut(f, kFreeListIndex, n); freeListFlush(f); }), 1);
    EXPECT_EQ(f->indexAlloc.head, 2u);
    const auto head = node(2);
    ASSERT_FALSE(head.empty());
    EXPECT_EQ(ld2(head.data()), 6);
    EXPECT_EQ(ld4(head.data() + 2), 0);
    EXPECT_EQ(head[4096 - 3], 0xFF);
    EXPECT_EQ(head[4096 - 2], 0x7F);
    uint32_t again = 0;
    ASSERT_EQ(call([&] { again = freeListTake(f, kFreeListIndex); }), 1);
    EXPECT_EQ(again, 2u);
    EXPECT_EQ(f->indexAlloc.head, 0u);
    EXPECT_EQ(f->indexAlloc.highest, 2u);
}

TEST_F(FreeLists, ReleasedNumbersComeBackLastInFirstOut) {
    ASSERT_EQ(call([&] {
                  for (int i = 0; i < 5; ++i) freeListTake(f, kFreeListIndex);  // 2..6
                  freeListPut(f, kFreeListIndex, 3);
                  freeListPut(f, kFreeListIndex, 5);
                  freeListPut(f, kFreeListIndex, 4);
              }),
              1);
    std::vector<uint32_t> taken;
    ASSERT_EQ(call([&] {
                  for (int i = 0; i < 4; ++i) taken.push_back(freeListTake(f, kFreeListIndex));
              }),
              1);
    EXPECT_EQ(taken, (std::vector<uint32_t>{4, 5, 3, 7}));
}

TEST_F(FreeLists, A1023rdReleaseStartsANewHeadNodeLinkedToTheOld) {
    ASSERT_EQ(call([&] {
                  for (int i = 0; i < 1023; ++i) freeListTake(f, kFreeListIndex);  // 2..1024
                  for (uint32_t n = 2; n <= 1024; ++n) freeListPut(f, kFreeListIndex, n);
                  freeListFlush(f);
              }),
              1);
    EXPECT_EQ(f->indexAlloc.head, 1024u);
    const auto oldHead = node(2);
    EXPECT_EQ(ld2(oldHead.data()), 6 + 4 * 1021) << "full";
    EXPECT_EQ(ld4(oldHead.data() + 6), 3);
    EXPECT_EQ(ld4(oldHead.data() + 6 + 4 * 1020), 1023);
    const auto newHead = node(1024);
    EXPECT_EQ(ld2(newHead.data()), 6);
    EXPECT_EQ(ld4(newHead.data() + 2), 2);
    int32_t count = 0;
    ASSERT_EQ(call([&] { count = freeListCount(f, kFreeListIndex); }), 1);
    EXPECT_EQ(count, 1021) << "chain nodes themselves are not counted";
}

TEST_F(FreeLists, DataListBorrowsAndReturnsAnIndexNodeForItsChain) {
    uint32_t record = 0;
    ASSERT_EQ(call([&] { record = freeListTake(f, kFreeListData); }), 1);
    EXPECT_EQ(record, 1u);
    ASSERT_EQ(call([&] { freeListPut(f, kFreeListData, record); freeListFlush(f); }), 1);
    EXPECT_EQ(f->dataAlloc.head, 2u) << "an index node carries the data chain";
    EXPECT_EQ(f->indexAlloc.highest, 2u);
    EXPECT_EQ(ld4(node(2).data() + 6), 1);
    uint32_t back = 0;
    ASSERT_EQ(call([&] { back = freeListTake(f, kFreeListData); freeListFlush(f); }), 1);
    EXPECT_EQ(back, 1u);
    EXPECT_EQ(f->dataAlloc.head, 0u);
    EXPECT_EQ(f->indexAlloc.head, 2u) << "the chain node went back to the index list";
}

TEST_F(FreeLists, PreciousFilesNeverReuseRecords) {
    f->state |= kStatePrecious;
    ASSERT_EQ(call([&] {
                  freeListTake(f, kFreeListData);
                  freeListTake(f, kFreeListData);
                  freeListPut(f, kFreeListData, 1);
              }),
              1);
    EXPECT_EQ(f->dataAlloc.head, 0u);
    uint32_t next = 0;
    ASSERT_EQ(call([&] { next = freeListTake(f, kFreeListData); }), 1);
    EXPECT_EQ(next, 3u);
}

TEST_F(FreeLists, DroppingTheDataListMovesItsNodesAndRecountsTheSlots) {
    testing::writeFile(dir.file("f.wod"), std::vector<uint8_t>(21 * 7, 0));
    ASSERT_EQ(call([&] {
                  for (int i = 0; i < 7; ++i) freeListTake(f, kFreeListData);
                  freeListPut(f, kFreeListData, 2);
                  freeListPut(f, kFreeListData, 6);
                  freeListFlush(f);
              }),
              1);
    const uint32_t chain = f->dataAlloc.head;
    ASSERT_EQ(call([&] { dropDataFreeList(f, kFreeListData); freeListFlush(f); }), 1);
    EXPECT_EQ(f->dataAlloc.head, 0u);
    EXPECT_EQ(f->dataAlloc.highest, 7u);
    EXPECT_EQ(f->indexAlloc.head, chain) << "the chain node is now the index list";
    EXPECT_EQ(call([&] { dropDataFreeList(f, kFreeListIndex); }), 0);
    EXPECT_EQ(isErrno(f), 102);
}

TEST_F(FreeLists, DamagedHeadNodeRaises105) {
    ASSERT_EQ(call([&] {
                  freeListTake(f, kFreeListIndex);
                  freeListTake(f, kFreeListIndex);
                  freeListPut(f, kFreeListIndex, 2);
                  freeListPut(f, kFreeListIndex, 3);
                  freeListFlush(f);
              }),
              1);
    auto bytes = testing::readFile(dir.file("f.wox"));
    st2(&bytes[4096], 4095);  // used length past the node
    testing::writeFile(dir.file("f.wox"), bytes);
    f->indexAlloc.state = kFreeListUnloaded;
    EXPECT_EQ(call([&] { freeListTake(f, kFreeListIndex); }), 0);
    EXPECT_EQ(isErrno(f), 105);
    EXPECT_EQ(f->indexAlloc.state, kFreeListUnloaded) << "nothing half-loaded is kept";
}

// Each damage of the head node of the index list {2: numbers 3, 4; next 0},
// met by the takes that read the field, and the block the report names.
TEST_F(FreeLists, EveryDamagedChainFieldIsNamed) {
    struct Damage {
        const char *what;
        std::function<void(std::vector<uint8_t> &node)> damage;
    };
    const Damage damages[] = {
        {"no free-list kind byte", [](std::vector<uint8_t> &n) { n[4096 - 2] = 0x7E; }},
        {"no marker byte", [](std::vector<uint8_t> &n) { n[4096 - 3] = 0; }},
        {"a used length between numbers", [](std::vector<uint8_t> &n) { st2(n.data(), 13); }},
        {"a used length short of the header", [](std::vector<uint8_t> &n) { st2(n.data(), 2); }},
        {"a number past the highest block", [](std::vector<uint8_t> &n) { st4(n.data() + 10, 99); }},
        {"the dictionary's block as a number", [](std::vector<uint8_t> &n) { st4(n.data() + 10, 1); }},
        {"a next node past the highest block", [](std::vector<uint8_t> &n) { st4(n.data() + 2, 5); }},
    };
    for (const Damage &d : damages) {
        // A fresh empty list; its buffer stays with the handle.
        f->indexAlloc.state = kFreeListUnloaded;
        f->indexAlloc.head = 0;
        f->indexAlloc.highest = 1;
        ASSERT_EQ(call([&] {
                      for (int i = 0; i < 3; ++i) freeListTake(f, kFreeListIndex);
                      for (uint32_t n : {2u, 3u, 4u}) freeListPut(f, kFreeListIndex, n);
                      freeListFlush(f);
                  }),
                  1);
        auto head = node(2);
        ASSERT_EQ(ld2(head.data()), 6 + 2 * 4);
        d.damage(head);
        auto bytes = testing::readFile(dir.file("f.wox"));
        std::copy(head.begin(), head.end(), bytes.begin() + 4096);
        testing::writeFile(dir.file("f.wox"), bytes);
        f->indexAlloc.state = kFreeListUnloaded;
        testing::FatalCapture fatal;
        // Three takes read every field: the numbers, then the next node.
        EXPECT_EQ(call([&] {
                      for (int i = 0; i < 3; ++i) freeListTake(f, kFreeListIndex);
                  }),
                  0)
            << d.what;
        EXPECT_EQ(isErrno(f), 105) << d.what;
        ASSERT_FALSE(fatal.texts().empty()) << d.what;
        EXPECT_EQ(fatal.texts().back(), "corrupted isam file: index block 2") << d.what;
    }
}

TEST_F(FreeLists, AHeadOutsideTheFileNamesTheDictionary) {
    for (uint32_t head : {1u, 7u}) {
        f->indexAlloc.head = head;
        f->indexAlloc.highest = 6;
        testing::FatalCapture fatal;
        EXPECT_EQ(call([&] { freeListTake(f, kFreeListIndex); }), 0);
        EXPECT_EQ(isErrno(f), 105);
        EXPECT_EQ(fatal.texts(), std::vector<std::string>{"corrupted isam file: index block 1"}) << head;
        f->indexAlloc.head = 0;
        f->dataAlloc.head = head;
        EXPECT_EQ(call([&] { freeListCount(f, kFreeListData); }), 0);
        EXPECT_EQ(fatal.texts().back(), "corrupted isam file: index block 1") << head;
        f->dataAlloc.head = 0;
    }
}

}  // namespace
}  // namespace wisam
