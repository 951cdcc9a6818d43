// Key descriptions: validation rules, the entry and block formats, the chain.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "frame/iscall.h"
#include "index/isfree.h"
#include "index/ispath.h"
#include "structure/isdict.h"
#include "structure/isencode.h"
#include "structure/iskeydesc.h"
#include "support/testing.h"
#include "wisam.h"

namespace wisam {
namespace {

KeyDesc keyOf(uint16_t flags, std::initializer_list<KeyPart> parts) {
    KeyDesc key{};
    key.flags = flags;
    for (const KeyPart &part : parts) key.parts[key.partCount++] = part;
    return key;
}

KeyPart part(int16_t start, int16_t length, uint16_t type) { return KeyPart{start, length, type}; }

TEST(ValidateKeyDesc, PartAndLengthLimits) {
    IsFile f;
    f.recordLength = 0;  // no data file: parts may lie anywhere
    KeyDesc key{};
    for (int i = 0; i < 64; ++i) key.parts[i] = part(static_cast<int16_t>(i), 1, ISTYPE_CHAR);
    key.partCount = 64;
    EXPECT_TRUE(validateKeyDesc(&f, key));
    key.partCount = 65;
    EXPECT_FALSE(validateKeyDesc(&f, key));
    EXPECT_TRUE(validateKeyDesc(&f, keyOf(0, {part(0, 1000, 0), part(1000, 24, 0)})));
    EXPECT_FALSE(validateKeyDesc(&f, keyOf(0, {part(0, 1000, 0), part(1000, 25, 0)})));
    EXPECT_TRUE(validateKeyDesc(&f, keyOf(0, {part(30000, 8, 0)})));
}

TEST(ValidateKeyDesc, TypesUnitsFlagsAndRecordBounds) {
    IsFile f;
    f.recordLength = 20;
    EXPECT_FALSE(validateKeyDesc(&f, keyOf(0, {part(0, 3, ISTYPE_INT)}))) << "unit 2";
    EXPECT_TRUE(validateKeyDesc(&f, keyOf(0, {part(0, 16, ISTYPE_RECID)}))) << "unit 8";
    EXPECT_FALSE(validateKeyDesc(&f, keyOf(0, {part(0, 2, 14)}))) << "type 14";
    EXPECT_TRUE(validateKeyDesc(&f, keyOf(0, {part(0, 4, ISTYPE_LONG | ISTYPE_DESC | 0x2000)})));
    EXPECT_FALSE(validateKeyDesc(&f, keyOf(0x40, {part(0, 4, 0)}))) << "flag above 0x20";
    EXPECT_TRUE(validateKeyDesc(&f, keyOf(0x3F, {part(0, 4, 0)})));
    EXPECT_FALSE(validateKeyDesc(&f, keyOf(0, {part(-1, 4, 0)})));
    EXPECT_TRUE(validateKeyDesc(&f, keyOf(0, {part(16, 4, 0)})));
    EXPECT_FALSE(validateKeyDesc(&f, keyOf(0, {part(17, 4, 0)}))) << "past the record";
    EXPECT_FALSE(validateKeyDesc(&f, keyOf(0, {part(0, -2, 0)})));
    EXPECT_TRUE(validateKeyDesc(&f, KeyDesc{})) << "zero parts: record-number order";
    KeyDesc negative{};
    negative.partCount = -1;
    EXPECT_FALSE(validateKeyDesc(&f, negative));
}

TEST(FindIndex, MatchesPartsAndNullSuppressionOnly) {
    IsFile f;
    KeyDesc a = keyOf(ISKEY_DUPS, {part(0, 4, ISTYPE_LONG)});
    KeyDesc b = keyOf(0, {part(4, 8, ISTYPE_CHAR)});
    f.indexes[0] = pathCreate(nullptr, a);
    f.indexes[1] = pathCreate(nullptr, b);
    f.keyCount = 2;
    EXPECT_EQ(findIndex(&f, keyOf(0, {part(0, 4, ISTYPE_LONG)})), 0);
    EXPECT_EQ(findIndex(&f, keyOf(ISKEY_LEADCOMPRESS, {part(4, 8, 0)})), 1);
    EXPECT_EQ(findIndex(&f, keyOf(ISKEY_NULLSUPPRESS, {part(4, 8, 0)})), -1);
    EXPECT_EQ(findIndex(&f, keyOf(0, {part(4, 8, ISTYPE_CHAR | ISTYPE_DESC)})), -1);
    EXPECT_EQ(findIndex(&f, KeyDesc{}), 2);
    for (TreePath *&path : f.indexes) path = pathDestroy(path);
}

class KeyChain : public ::testing::Test {
protected:
    void SetUp() override {
        testing::layDownFiles(dir.file("k"), 20);
        f = testing::openHandle(dir.name("k"), 2 | kModeManualLock);
        ASSERT_NE(f, nullptr);
    }
    void TearDown() override { testing::closeTestHandle(f); }
    // Starts block 1 afresh as a build does.
    void freshFile(int32_t nodeSize) {
        f->nodeSize = nodeSize;
        f->dupWidth = 4;
        f->keyDescNode = 0;
        f->keyCount = 0;
        f->state = 0;
        createDictionary(f);
    }
    int append(KeyDesc &key) {
        return testing::inCall(f, kAccessChange, [&] {
            appendKeyDesc(f, &key);
            freeListFlush(f);
            writeDictionary(f);
            return 1;
        });
    }
    std::vector<uint8_t> block(uint32_t n) {
        auto bytes = testing::readFile(dir.file("k.wox"));
        const size_t at = static_cast<size_t>(n - 1) * static_cast<size_t>(f->nodeSize);
        if (bytes.size() < at + static_cast<size_t>(f->nodeSize)) return {};
        return std::vector<uint8_t>(bytes.begin() + static_cast<long>(at),
                                    bytes.begin() + static_cast<long>(at) + f->nodeSize);
    }
    int reopenAndRead() {
        testing::closeTestHandle(f);
        f = testing::openHandle(dir.name("k"), 2 | kModeManualLock);
        return testing::inCall(f, kAccessRead, [&] { return readKeyDescs(f), 1; });
    }
    testing::TempDir dir;
    IsFile *f = nullptr;
};

TEST_F(KeyChain, NewFileKeepsItsDescriptionInBlock2AndAnEmptyRootInBlock3) {
    freshFile(4096);
    KeyDesc key = keyOf(ISKEY_DUPS, {part(0, 10, ISTYPE_CHAR), part(10, 4, ISTYPE_LONG)});
    ASSERT_EQ(append(key), 1);
    EXPECT_EQ(key.rootNode, 3u);
    EXPECT_EQ(f->keyDescNode, 2u);
    EXPECT_EQ(f->indexAlloc.highest, 3u);
    const auto desc = block(2);
    ASSERT_EQ(desc.size(), 4096u);
    const std::vector<uint8_t> entry = {0x00, 0x11, 0x00, 0x00, 0x00, 0x03, 0x00, 0x80, 0x0A,
                                        0x00, 0x00, 0x00, 0x00, 0x04, 0x00, 0x0A, 0x02};
    EXPECT_EQ(ld2(desc.data()), 6 + 17) << "used length";
    EXPECT_EQ(ld4(desc.data() + 2), 0) << "end of chain";
    EXPECT_EQ(std::vector<uint8_t>(desc.begin() + 6, desc.begin() + 23), entry);
    EXPECT_EQ(desc[4096 - 3], 0xFF);
    EXPECT_EQ(desc[4096 - 2], 0x7E);
    const auto root = block(3);
    ASSERT_EQ(root.size(), 4096u);
    EXPECT_EQ(ld2(root.data()), 2);
    for (size_t i = 2; i < root.size(); ++i) ASSERT_EQ(root[i], 0) << i;
    const auto dict = testing::readFile(dir.file("k.wox"));
    EXPECT_EQ(ld2(&dict[8]), 1);
    EXPECT_EQ(ld4(&dict[15]), 2);
    EXPECT_EQ(ld4(&dict[37]), 3);
    ASSERT_EQ(f->keyCount, 1);
    EXPECT_EQ(f->indexes[0]->key.keyLength, 14);
}

TEST_F(KeyChain, NullSuppressedPartsStoreTheWholeTypeAndReadBack) {
    freshFile(4096);
    KeyDesc key{};
    key.flags = ISKEY_NULLSUPPRESS;
    for (int i = 0; i < 5; ++i) key.parts[i] = part(static_cast<int16_t>(i * 2), 2, static_cast<uint16_t>(0x2000 | (i == 4 ? ISTYPE_INT : 0)));
    key.partCount = 5;
    ASSERT_EQ(append(key), 1);
    const auto desc = block(2);
    EXPECT_EQ(ld2(desc.data() + 6), 7 + 6 * 5);
    EXPECT_EQ(desc[6 + 6], 0x10) << "flags / 2";
    EXPECT_EQ(desc[6 + 7 + 4], 0x20);
    EXPECT_EQ(desc[6 + 7 + 5], 0x00);
    EXPECT_EQ(desc[6 + 7 + 4 * 6 + 5], ISTYPE_INT);
    ASSERT_EQ(reopenAndRead(), 1);
    ASSERT_EQ(f->keyCount, 1);
    const KeyDesc &back = f->indexes[0]->key;
    EXPECT_EQ(back.flags, ISKEY_NULLSUPPRESS);
    ASSERT_EQ(back.partCount, 5);
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(back.parts[i].start, key.parts[i].start);
        EXPECT_EQ(back.parts[i].type, key.parts[i].type) << i;
    }
    EXPECT_EQ(f->indexes[0]->rootNode, 3u);
}

TEST_F(KeyChain, ZeroPartEntryMarksAFileWithoutPrimaryKey) {
    freshFile(4096);
    KeyDesc none{};
    ASSERT_EQ(append(none), 1);
    EXPECT_EQ(none.rootNode, 0u);
    EXPECT_NE(f->state & kStateNoPrimaryKey, 0);
    EXPECT_EQ(f->keyCount, 0);
    EXPECT_EQ(f->indexAlloc.highest, 2u);
    const auto dict = testing::readFile(dir.file("k.wox"));
    EXPECT_EQ(ld2(&dict[8]), 1) << "the zero-part entry is counted";
    EXPECT_EQ(ld4(&dict[37]), 2);
    KeyDesc second = keyOf(0, {part(0, 4, ISTYPE_LONG)});
    ASSERT_EQ(append(second), 1);
    EXPECT_EQ(ld2(&testing::readFile(dir.file("k.wox"))[8]), 2);
    ASSERT_EQ(reopenAndRead(), 1);
    EXPECT_NE(f->state & kStateNoPrimaryKey, 0);
    EXPECT_EQ(f->keyCount, 1);
}

TEST_F(KeyChain, ChainGrowsIntoANewBlockWhenAnEntryDoesNotFit) {
    freshFile(1024);
    KeyDesc wide{};
    for (int i = 0; i < 64; ++i) wide.parts[i] = part(static_cast<int16_t>(i % 20), 1, ISTYPE_CHAR);
    wide.partCount = 64;  // 327-byte entries: three fit in a 1024-byte block
    for (int i = 0; i < 4; ++i) {
        wide.parts[0].start = static_cast<int16_t>(i);
        ASSERT_EQ(append(wide), 1) << i;
    }
    const auto first = block(2);
    EXPECT_EQ(ld2(first.data()), 6 + 3 * 327);
    const uint32_t next = static_cast<uint32_t>(ld4(first.data() + 2));
    EXPECT_EQ(next, 6u) << "after the first key block and three roots";
    const auto second = block(next);
    EXPECT_EQ(ld2(second.data()), 6 + 327);
    EXPECT_EQ(second[1024 - 2], 0x7E);
    ASSERT_EQ(reopenAndRead(), 1);
    EXPECT_EQ(f->keyCount, 4);
    EXPECT_EQ(f->indexes[3]->key.parts[0].start, 3);
}

TEST_F(KeyChain, RemovingAnEntryMovesTheFollowingOnesDown) {
    freshFile(4096);
    KeyDesc a = keyOf(0, {part(0, 4, ISTYPE_LONG)});
    KeyDesc b = keyOf(ISKEY_DUPS, {part(4, 2, ISTYPE_INT)});
    KeyDesc c = keyOf(0, {part(8, 8, ISTYPE_CHAR)});
    ASSERT_EQ(append(a), 1);
    ASSERT_EQ(append(b), 1);
    ASSERT_EQ(append(c), 1);
    ASSERT_EQ(testing::inCall(f, kAccessChange, [&] { return removeKeyDesc(f, 1), 1; }), 1);
    const auto desc = block(2);
    EXPECT_EQ(ld2(desc.data()), 6 + 12 + 12);
    EXPECT_EQ(ld2(desc.data() + 6 + 12 + 7 + 2), 8) << "c's part start now follows a";
    EXPECT_EQ(testing::inCall(f, kAccessChange, [&] { return removeKeyDesc(f, 5), 1; }), 0);
    EXPECT_EQ(isErrno(f), 103);
}

TEST_F(KeyChain, ThirtyThirdIndexIsRefused) {
    freshFile(4096);
    for (int i = 0; i < 32; ++i) {
        KeyDesc key = keyOf(0, {part(static_cast<int16_t>(i % 16), 4, ISTYPE_CHAR)});
        ASSERT_EQ(append(key), 1) << i;
    }
    KeyDesc one_more = keyOf(0, {part(0, 2, ISTYPE_CHAR)});
    EXPECT_EQ(append(one_more), 0);
    EXPECT_EQ(isErrno(f), 103);
}

TEST_F(KeyChain, DamagedChainsRaise105) {
    freshFile(4096);
    KeyDesc key = keyOf(0, {part(0, 4, ISTYPE_LONG)});
    ASSERT_EQ(append(key), 1);
    auto bytes = testing::readFile(dir.file("k.wox"));
    auto corrupt = [&](size_t at, std::vector<uint8_t> value) {
        auto copy = bytes;
        std::memcpy(&copy[at], value.data(), value.size());
        testing::writeFile(dir.file("k.wox"), copy);
        return reopenAndRead();
    };
    const size_t desc = 4096;
    EXPECT_EQ(corrupt(desc, {0x10, 0x00}), 0) << "used length past the block";
    EXPECT_EQ(isErrno(f), 105);
    EXPECT_EQ(corrupt(desc + 6, {0x01, 0x4C}), 0) << "entry longer than its block";
    EXPECT_EQ(isErrno(f), 105);
    EXPECT_EQ(corrupt(desc + 2, {0x00, 0x00, 0x00, 0x02}), 0) << "chain loops to itself";
    EXPECT_EQ(isErrno(f), 105);
    EXPECT_EQ(corrupt(desc + 6 + 6, {0x40}), 0) << "flags 0x80 are invalid";
    EXPECT_EQ(isErrno(f), 103);
    EXPECT_EQ(corrupt(desc + 2, {0x00, 0x00, 0x00, 0x09}), 0) << "next block beyond the file";
    EXPECT_EQ(isErrno(f), 105);
}

TEST_F(KeyChain, StoredKeyTooLongForTheBlockSizeIsRefusedAtOpen) {
    freshFile(1024);
    KeyDesc wide = keyOf(0, {part(0, 600, ISTYPE_CHAR)});  // two entries need 1208 bytes
    f->recordLength = 0;
    ASSERT_EQ(append(wide), 1);
    EXPECT_EQ(reopenAndRead(), 0);
    EXPECT_EQ(isErrno(f), 103);
}

TEST_F(KeyChain, EntryWithMoreThan64PartsIsCorrupt) {
    freshFile(4096);
    KeyDesc key = keyOf(0, {part(0, 4, ISTYPE_LONG)});
    ASSERT_EQ(append(key), 1);
    auto bytes = testing::readFile(dir.file("k.wox"));
    const int32_t length = 7 + 5 * 65;
    st2(&bytes[4096], 6 + length);
    st2(&bytes[4096 + 6], length);
    testing::writeFile(dir.file("k.wox"), bytes);
    EXPECT_EQ(reopenAndRead(), 0);
    EXPECT_EQ(isErrno(f), 105);
}

}  // namespace
}  // namespace wisam
