// Key insertion and node splits: the edge cases of insertKey, the split
// rules, and model-based runs that compare an index with an ordered
// multimap after many insertions.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "frame/iscall.h"
#include "index/iscomp.h"
#include "index/isfree.h"
#include "index/isgrow.h"
#include "index/iskey.h"
#include "index/isnode.h"
#include "index/ispath.h"
#include "structure/isdict.h"
#include "structure/isencode.h"
#include "support/treecheck.h"
#include "wisam.h"

namespace wisam {
namespace {

using testing::keyOf;
using testing::keyPart;

constexpr uint16_t kAllCompression = ISKEY_DUPCOMPRESS | ISKEY_LEADCOMPRESS | ISKEY_TRAILCOMPRESS;

using Rng = std::mt19937;

int uniform(Rng &rng, int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); }

// ---------------------------------------------------------------------------
// keyFitsNode

TEST(KeyFitsNode, PlainKeysNeedTwoEntriesPerNode) {
    IsFile f;
    f.nodeSize = 1024;
    f.dupWidth = 4;
    // Two entries of K + W + 4 bytes within S - 7.
    EXPECT_TRUE(keyFitsNode(&f, keyOf(ISKEY_DUPS, {keyPart(0, 500, ISTYPE_CHAR)})));
    EXPECT_FALSE(keyFitsNode(&f, keyOf(ISKEY_DUPS, {keyPart(0, 501, ISTYPE_CHAR)})));
    EXPECT_TRUE(keyFitsNode(&f, keyOf(0, {keyPart(0, 504, ISTYPE_CHAR)})));
    EXPECT_FALSE(keyFitsNode(&f, keyOf(0, {keyPart(0, 300, ISTYPE_CHAR), keyPart(300, 205, ISTYPE_CHAR)})));
    f.nodeSize = 4096;
    EXPECT_TRUE(keyFitsNode(&f, keyOf(ISKEY_DUPS, {keyPart(0, 1024, ISTYPE_CHAR)})));
    EXPECT_TRUE(keyFitsNode(&f, KeyDesc{})) << "no key, no nodes";
}

TEST(KeyFitsNode, CompressedKeysNeedRoomForAnySplit) {
    IsFile f;
    f.nodeSize = 1024;
    f.dupWidth = 4;
    const uint16_t flags = ISKEY_DUPS | kAllCompression;
    // Largest entry 332 + 2 + 4 + 4 = 342: 3 x 342 - 4 - 5 = 1017.
    EXPECT_TRUE(keyFitsNode(&f, keyOf(flags, {keyPart(0, 332, ISTYPE_CHAR)})));
    EXPECT_FALSE(keyFitsNode(&f, keyOf(flags, {keyPart(0, 334, ISTYPE_CHAR)})));
    EXPECT_TRUE(keyFitsNode(&f, keyOf(ISKEY_DUPCOMPRESS, {keyPart(0, 336, ISTYPE_CHAR)})));
    EXPECT_FALSE(keyFitsNode(&f, keyOf(ISKEY_DUPCOMPRESS, {keyPart(0, 337, ISTYPE_CHAR)})));
    f.nodeSize = 4096;
    EXPECT_TRUE(keyFitsNode(&f, keyOf(flags, {keyPart(0, 1024, ISTYPE_CHAR)})));
}

TEST(KeyFitsNode, DamagedSizesFitNothing) {
    IsFile f;
    f.nodeSize = 4096;
    f.dupWidth = 9;
    EXPECT_FALSE(keyFitsNode(&f, keyOf(ISKEY_DUPS, {keyPart(0, 4, ISTYPE_CHAR)})));
    EXPECT_TRUE(keyFitsNode(&f, keyOf(0, {keyPart(0, 4, ISTYPE_CHAR)}))) << "the width only counts with duplicates";
    f.dupWidth = 4;
    f.nodeSize = 16;
    EXPECT_FALSE(keyFitsNode(&f, keyOf(0, {keyPart(0, 1, ISTYPE_CHAR)})));
    f.nodeSize = 4096;
    EXPECT_FALSE(keyFitsNode(&f, keyOf(0, {keyPart(0, 1000, ISTYPE_CHAR), keyPart(1000, 30, ISTYPE_CHAR)})));
}

// ---------------------------------------------------------------------------
// Edge cases on small indexes of 8-digit character keys.

class Grow : public testing::DigitKeyIndex {
protected:
    testing::FileCheck checked() {
        auto check = file->check();
        EXPECT_TRUE(check.ok()) << check.report();
        return check;
    }
    std::vector<uint8_t> block(uint32_t n) const {
        const auto bytes = file->fileBytes();
        const size_t size = static_cast<size_t>(f->nodeSize);
        const size_t at = static_cast<size_t>(n - 1) * size;
        return std::vector<uint8_t>(bytes.begin() + static_cast<long>(at), bytes.begin() + static_cast<long>(at + size));
    }
};

TEST_F(Grow, AscendingKeysFillPlainLeavesCompletely) {
    make(0);
    for (int i = 1; i <= 1000; ++i) ASSERT_EQ(insert(i, static_cast<uint32_t>(i)), 1);
    const auto check = checked();
    const auto &leaves = check.indexes[0].leafUsed;
    ASSERT_EQ(leaves.size(), 12u);  // 84 entries of 12 bytes per leaf
    for (size_t i = 0; i + 1 < leaves.size(); ++i) EXPECT_EQ(leaves[i], 2 + 84 * 12) << i;
    EXPECT_EQ(leaves.back(), 2 + (1000 - 11 * 84) * 12);
}

TEST_F(Grow, AscendingKeysFillCompressedLeavesToTheLastEntryThatFits) {
    make(kAllCompression, 1024, 20);
    for (int i = 1; i <= 3000; ++i) ASSERT_EQ(insert(i * 7, static_cast<uint32_t>(i)), 1);
    const auto check = checked();
    const auto &leaves = check.indexes[0].leafUsed;
    ASSERT_GT(leaves.size(), 2u);
    for (size_t i = 0; i + 1 < leaves.size(); ++i) EXPECT_GE(leaves[i], 1020 - path->entrySize) << i;
}

TEST_F(Grow, DescendingKeysSplitInHalves) {
    make(0);
    for (int i = 1000; i >= 1; --i) ASSERT_EQ(insert(i, static_cast<uint32_t>(i)), 1);
    const auto check = checked();
    for (int32_t used : check.indexes[0].leafUsed) EXPECT_GE(used, 2 + 40 * 12);
    EXPECT_EQ(check.indexes[0].entries.size(), 1000u);
}

TEST_F(Grow, AFullRootSplitsUnderItsOwnNumberIntoTwoEqualKeys) {
    make(0);
    const uint32_t root = path->rootNode;
    for (int i = 1; i <= 84; ++i) ASSERT_EQ(insert(i, static_cast<uint32_t>(i)), 1);
    ASSERT_EQ(checked().indexes[0].height, 1);
    ASSERT_EQ(insert(85, 85), 1);
    const auto check = checked();
    EXPECT_EQ(check.indexes[0].height, 2);
    EXPECT_EQ(path->rootNode, root);
    EXPECT_EQ(path->key.rootNode, root);
    const auto top = block(root);
    EXPECT_EQ(ld2(top.data()), 2 + 2 * 12) << "exactly two entries";
    EXPECT_EQ(top[1024 - 2], 1) << "level";
    EXPECT_EQ(std::memcmp(top.data() + 2, top.data() + 14, 8), 0) << "with the same key";
    EXPECT_EQ(std::memcmp(top.data() + 2, key(85).data(), 8), 0) << "the appended key, not the lower node's last";
    // The lower node holds the old root's entries, the upper the new key.
    const auto lower = block(static_cast<uint32_t>(ld4(top.data() + 10)));
    const auto upper = block(static_cast<uint32_t>(ld4(top.data() + 22)));
    EXPECT_EQ(ld2(lower.data()), 2 + 84 * 12);
    EXPECT_EQ(ld2(upper.data()), 2 + 12);
    EXPECT_EQ(std::memcmp(upper.data() + 2, key(85).data(), 8), 0);
}

TEST_F(Grow, ACompressedRootSplitRepeatsTheSeparatorWithoutKeyBytes) {
    make(ISKEY_DUPS | kAllCompression, 1024, 20);
    int i = 0;
    while (checked().indexes[0].height == 1) {
        ++i;
        ASSERT_EQ(insert(i * 3, static_cast<uint32_t>(i)), 1);
    }
    const auto top = block(path->rootNode);
    // Full first key (L 0, T 12, 8 digits), serial, pointer with the
    // repeat flag; then serial and pointer only.
    const int32_t first = 2 + 8 + 4 + 4;
    EXPECT_EQ(ld2(top.data()), 2 + first + 8);
    EXPECT_EQ(top[2], 0);
    EXPECT_EQ(top[3], 12);
    EXPECT_EQ(top[2 + first - 4] & 0x80, 0x80);
    EXPECT_EQ(top[2 + first + 8 - 4] & 0x80, 0);
}

// Every existing key is refused, the first and last keys of each leaf too
// (whose equal key the insertion point finds in the leaf before).
TEST_F(Grow, AnEqualKeyWithoutDuplicatesRaises100AndChangesNothing) {
    for (const uint16_t flags : {uint16_t{0}, uint16_t{ISKEY_LEADCOMPRESS | ISKEY_TRAILCOMPRESS}}) {
        SCOPED_TRACE(flags);
        make(flags);
        for (int i = 1; i <= 200; ++i) ASSERT_EQ(insert(i * 2, static_cast<uint32_t>(i)), 1);
        ASSERT_GE(checked().indexes[0].leafUsed.size(), 2u);
        const auto before = file->fileBytes();
        for (int i = 1; i <= 200; ++i) {
            ASSERT_EQ(insert(i * 2, 999), 0) << i;
            EXPECT_EQ(isErrno(f), 100);
            EXPECT_EQ(std::string(f->status, 4), "2222");
        }
        EXPECT_EQ(file->fileBytes(), before);
        EXPECT_EQ(checked().indexes[0].entries.size(), 200u);
        EXPECT_EQ(insert(85 * 2 + 1, 999), 1) << "a key between two is no duplicate";
    }
}

// With duplicates every existing key, wherever it lies, is noticed and
// numbered after its equals.
TEST_F(Grow, EveryEqualKeyIsNoticedWhereverItLies) {
    make(ISKEY_DUPS);
    for (int i = 1; i <= 200; ++i) ASSERT_EQ(insert(i * 2, static_cast<uint32_t>(i)), 1);
    for (int i = 1; i <= 200; ++i) {
        ASSERT_EQ(insert(i * 2, static_cast<uint32_t>(1000 + i)), 1);
        ASSERT_EQ(std::string(f->status, 4), "0202") << i;
    }
    ASSERT_EQ(insert(3, 5000), 1);
    EXPECT_EQ(std::string(f->status, 4), "0000");
    const auto entries = checked().indexes[0].entries;
    ASSERT_EQ(entries.size(), 401u);
    for (size_t j = 0; j + 1 < entries.size(); ++j) {
        if (entries[j].pointer > 1000 && entries[j].pointer < 5000) {
            EXPECT_EQ(entries[j].serial, 1u) << j;
        }
    }
}

TEST_F(Grow, AnEqualKeyWithDuplicatesIsNoticedAndNumbered) {
    make(ISKEY_DUPS);
    ASSERT_EQ(insert(5, 1), 1);
    EXPECT_EQ(std::string(f->status, 4), "0000");
    ASSERT_EQ(insert(5, 2), 1);
    EXPECT_EQ(f->status[1], '2');
    EXPECT_EQ(f->status[3], '2');
    EXPECT_EQ(isstat2, '2');
    EXPECT_EQ(isstat4, '2');
    ASSERT_EQ(insert(5, 3), 1);
    ASSERT_EQ(insert(4, 4), 1);
    const auto entries = checked().indexes[0].entries;
    ASSERT_EQ(entries.size(), 4u);
    EXPECT_EQ(entries[0].serial, 0u) << "first of its key";
    EXPECT_EQ(entries[1].serial, 0u);
    EXPECT_EQ(entries[2].serial, 1u);
    EXPECT_EQ(entries[3].serial, 2u);
    EXPECT_EQ(entries[3].pointer, 3u);
}

TEST_F(Grow, TheFirstKeyOfAnEmptyIndexHasSerialZero) {
    make(ISKEY_DUPS);
    ASSERT_EQ(insert(5, 1), 1);
    const auto root = block(path->rootNode);
    EXPECT_EQ(ld2(root.data()), 2 + 16);
    EXPECT_EQ(ld4(root.data() + 2 + 8), 0);
}

TEST_F(Grow, EqualKeysAcrossALeafBoundaryContinueTheirSerials) {
    make(ISKEY_DUPS);
    // A leaf of 63 entries of 16 bytes: 31 equal keys, then 32 greater ones.
    // A key among the greater ones splits it in halves, the lower one ending
    // with the equal keys, which also give the separator.
    for (int i = 0; i < 31; ++i) ASSERT_EQ(insert(50, static_cast<uint32_t>(i + 1)), 1);
    for (int i = 0; i < 32; ++i) ASSERT_EQ(insert(90 + 2 * i, static_cast<uint32_t>(100 + i)), 1);
    ASSERT_EQ(insert(93, 150), 1);
    ASSERT_EQ(checked().indexes[0].leafUsed, (std::vector<int32_t>{2 + 31 * 16, 2 + 33 * 16}));
    // Inserted at offset 2 of the second leaf, after the first leaf's 50s.
    ASSERT_EQ(insert(50, 200), 1);
    const auto check = checked();
    const auto &entries = check.indexes[0].entries;
    ASSERT_EQ(entries.size(), 65u);
    EXPECT_EQ(entries[31].pointer, 200u);
    EXPECT_EQ(entries[31].serial, 31u);
    EXPECT_EQ(check.indexes[0].leafUsed, (std::vector<int32_t>{2 + 31 * 16, 2 + 34 * 16}))
        << "the new entry opens the second leaf";
}

TEST_F(Grow, ACompressedEqualKeyAddsOnlySerialAndPointer) {
    make(ISKEY_DUPS | ISKEY_DUPCOMPRESS | ISKEY_LEADCOMPRESS);
    ASSERT_EQ(insert(5, 1), 1);
    const int32_t used = ld2(block(path->rootNode).data());
    ASSERT_EQ(insert(5, 2), 1);
    EXPECT_EQ(ld2(block(path->rootNode).data()), used + 4 + 4);
}

TEST_F(Grow, TheLargestKeyGoesToTheLastLeafAndLeavesTheRightEdgeAlone) {
    make(0);
    for (int i = 1; i <= 200; ++i) ASSERT_EQ(insert(i * 2, static_cast<uint32_t>(i)), 1);
    const auto rootBefore = block(path->rootNode);
    ASSERT_EQ(insert(100000, 777), 1);
    EXPECT_EQ(block(path->rootNode), rootBefore) << "separators on the right edge are not updated";
    const auto check = checked();
    EXPECT_EQ(check.indexes[0].entries.back().pointer, 777u);
}

TEST_F(Grow, ASeparatorPastAStaleLastKeyReplacesIt) {
    make(0);
    // The last child's separator stays at the key it had when the root
    // split; keys above it pile up in that child until it splits.
    for (int i = 1; i <= 85; ++i) ASSERT_EQ(insert(i, static_cast<uint32_t>(i)), 1);
    for (int i = 1; i <= 200; ++i) ASSERT_EQ(insert(1000 + i, static_cast<uint32_t>(100 + i)), 1);
    const auto check = checked();
    const auto top = block(path->rootNode);
    const int32_t used = ld2(top.data());
    // Keys ascend in the root, the last one too.
    for (int32_t at = 2 + 12; at < used; at += 12) EXPECT_LE(std::memcmp(top.data() + at - 12, top.data() + at, 8), 0);
    EXPECT_EQ(check.indexes[0].entries.size(), 285u);
}

// A node that overflows from an append keeps every old entry in the lower
// node and carries the appended key up as separator, not the old last key:
// into the new root (two entries), then into that root as a parent, whose
// stale last entry takes the separator's key.
TEST(GrowSplit, AnAppendSplitSeparatesWithTheNewKeyNotTheOldLastKey) {
    testing::TempDir dir;
    KeyDesc key = testing::keyAt(0, 4, ISTYPE_LONG);
    IsFile *f = isBuild(dir.name("a").c_str(), 8, 0, &key, ISINOUT);
    ASSERT_NE(f, nullptr);
    const uint32_t root = f->indexes[0]->rootNode;
    auto writeKeys = [&](int from, int to) {
        uint8_t record[8] = {};
        for (int i = from; i <= to; ++i) {
            stLong(i, record);
            ASSERT_EQ(isWrite(f, record), 1) << i << " error " << isErrno(f);
        }
    };
    auto block = [&](uint32_t n) {
        const auto bytes = testing::readFile(dir.file("a.wox"));
        return std::vector<uint8_t>(bytes.begin() + (n - 1) * 4096, bytes.begin() + n * 4096);
    };
    auto head = [](const std::vector<uint8_t> &node, size_t n) { return std::vector<uint8_t>(node.begin(), node.begin() + n); };
    ASSERT_NO_FATAL_FAILURE(writeKeys(1, 512));
    ASSERT_EQ(isClose(f), 1);
    auto top = block(root);
    EXPECT_EQ(head(top, 18), (std::vector<uint8_t>{0x00, 0x12, 0, 0, 2, 0, 0, 0, 0, 4, 0, 0, 2, 0, 0, 0, 0, 5}));
    EXPECT_EQ(top[4096 - 2], 1);
    EXPECT_EQ(ld2(block(4).data()), 2 + 511 * 8) << "every old entry in the lower node";
    EXPECT_EQ(head(block(5), 10), (std::vector<uint8_t>{0x00, 0x0A, 0, 0, 2, 0, 0, 0, 2, 0})) << "the new key alone";
    f = isOpen(dir.name("a").c_str(), ISINOUT);
    ASSERT_NE(f, nullptr);
    ASSERT_NO_FATAL_FAILURE(writeKeys(513, 1023));
    ASSERT_EQ(isClose(f), 1);
    top = block(root);
    EXPECT_EQ(head(top, 26), (std::vector<uint8_t>{0x00, 0x1A, 0, 0, 2, 0, 0, 0, 0, 4, 0, 0, 3, 0xFF, 0, 0, 0, 6, 0, 0, 3,
                                                   0xFF, 0, 0, 0, 5}));
    EXPECT_EQ(ld2(block(6).data()), 2 + 511 * 8);
    EXPECT_EQ(head(block(5), 10), (std::vector<uint8_t>{0x00, 0x0A, 0, 0, 3, 0xFF, 0, 0, 3, 0xFF}));
}

// The same with duplicates, plain and compressed: one key written over and
// over, and each leaf split carries the serial of the entry that overflowed
// the leaf.  The root's last entry keeps the first split's serial (an equal
// separator does not replace it).
TEST_F(Grow, AnAppendSplitSeparatesWithTheNewSerialNotTheOldLastSerial) {
    for (const uint16_t flags : {uint16_t{ISKEY_DUPS}, uint16_t{ISKEY_DUPS | kAllCompression}}) {
        SCOPED_TRACE(flags);
        make(flags);
        const uint32_t root = path->rootNode;
        std::vector<uint8_t> serials;  // serial of each entry that split a leaf
        for (uint32_t record = 1; serials.size() < 2; ++record) {
            const size_t leaves = checked().indexes[0].leafUsed.size();
            ASSERT_EQ(insert(50, record), 1);
            if (checked().indexes[0].leafUsed.size() > leaves) serials.push_back(static_cast<uint8_t>(record - 1));
            ASSERT_LT(record, 300u);
        }
        const uint8_t a = serials[0];
        const uint8_t b = serials[1];
        EXPECT_EQ(b, 2 * a) << "full leaves of " << int{a};
        // Lower leaf root + 1, the old root's entries moved to root + 2, the
        // second lower leaf root + 3.
        const uint8_t l1 = static_cast<uint8_t>(root + 1);
        const uint8_t moved = static_cast<uint8_t>(root + 2);
        const uint8_t l2 = static_cast<uint8_t>(root + 3);
        std::vector<uint8_t> expected;
        if (flags == ISKEY_DUPS) {
            for (const auto &[serial, pointer] : {std::pair{a, l1}, std::pair{b, l2}, std::pair{a, moved}}) {
                const auto digits = key(50);
                expected.insert(expected.end(), digits.begin(), digits.end());
                expected.insert(expected.end(), {0, 0, 0, serial, 0, 0, 0, pointer});
            }
        } else {
            expected = {0, 0, '0', '0', '0', '0', '0', '0', '5', '0', 0, 0,    0, a, 0x80, 0, 0, l1,
                        0, 0, 0,   b,   0x80, 0,  0,   l2, 0,   0,   0, a, 0, 0, 0, moved};
        }
        expected.insert(expected.begin(), {0, static_cast<uint8_t>(2 + expected.size())});
        const auto top = block(root);
        EXPECT_EQ(std::vector<uint8_t>(top.begin(), top.begin() + static_cast<long>(expected.size())), expected)
            << testing::hexBytes(top.data(), expected.size());
    }
}

// Keys of 500 bytes in 1024-byte nodes: two entries to a node.  When a full
// parent splits and the new separator ends its lower half, the upper half
// keeps its entry as it was, even a stale last key below the separator; the
// replacement of a stale last key only happens in the half that takes the
// new entry.
TEST(GrowSplit, AParentSplitWithTheNewEntryEndingTheLowerHalfLeavesTheUpperAsItWas) {
    testing::IndexFile file(1024);
    ASSERT_NE(file.f, nullptr);
    ASSERT_EQ(file.addIndex(keyOf(0, {keyPart(0, 500, ISTYPE_CHAR)})), 0);
    TreePath *path = file.f->indexes[0];
    const uint32_t root = path->rootNode;
    auto keyFor = [](int value) { return std::vector<uint8_t>(500, static_cast<uint8_t>('a' + value)); };
    auto insert = [&](int value) {
        const auto bytes = keyFor(value);
        return file.call([&] { return insertKey(file.f, path, bytes.data(), static_cast<uint32_t>(value)); });
    };
    // Leaves [1 2] [3 4] [5]; root [(3, leaf 1) (3, leaf 2)] takes (5, [3 4]).
    for (int value = 1; value <= 5; ++value) ASSERT_EQ(insert(value), 1) << value;
    ASSERT_EQ(file.flush(), 1);
    const auto bytes = file.fileBytes();
    auto entry = [&](uint32_t node, int index, int value, uint32_t pointer) {
        const uint8_t *at = bytes.data() + (node - 1) * 1024 + 2 + index * 504;
        const auto expected = keyFor(value);
        EXPECT_TRUE(std::equal(expected.begin(), expected.end(), at))
            << "node " << node << " entry " << index << " holds " << static_cast<char>(at[0]) << ", not "
            << static_cast<char>(expected[0]);
        EXPECT_EQ(static_cast<uint32_t>(ld4(at + 500)), pointer) << "node " << node << " entry " << index;
    };
    auto used = [&](uint32_t node) { return ld2(bytes.data() + (node - 1) * 1024); };
    // Root + 4: the parent's lower half; root + 5: its upper half, moved
    // when the root split.
    EXPECT_EQ(used(root), 2 + 2 * 504);
    entry(root, 0, 5, root + 4);
    entry(root, 1, 5, root + 5);
    EXPECT_EQ(used(root + 4), 2 + 2 * 504);
    entry(root + 4, 0, 3, root + 1);
    entry(root + 4, 1, 5, root + 3);
    EXPECT_EQ(used(root + 5), 2 + 504);
    entry(root + 5, 0, 3, root + 2);
    const auto check = file.check();
    ASSERT_TRUE(check.ok()) << check.report();
    for (int value = 6; value <= 20; ++value) ASSERT_EQ(insert(value), 1) << value;
    ASSERT_EQ(file.flush(), 1);
    const auto after = file.check();
    ASSERT_TRUE(after.ok()) << after.report();
    ASSERT_EQ(after.indexes[0].entries.size(), 20u);
    for (int value = 1; value <= 20; ++value) EXPECT_EQ(after.indexes[0].entries[value - 1].key, keyFor(value));
}

TEST_F(Grow, AFailureHalfwayThroughASplitLeavesTheFileAsItWas) {
    make(ISKEY_DUPS | kAllCompression);
    for (int i = 1; i <= 2000; ++i) ASSERT_EQ(insert(i * 2, static_cast<uint32_t>(i)), 1);
    std::vector<uint8_t> before = file->fileBytes();
    // Block numbers cannot be taken: the free-list head is damaged.  The
    // first insertion that needs a new node fails in the middle of its split.
    bool failed = false;
    for (int i = 1; i <= 2000 && !failed; ++i) {
        f->indexAlloc.head = f->indexAlloc.highest + 50;
        const auto bytes = key(i * 2 + 1);
        const int ok = file->call([&] { return insertKey(f, path, bytes.data(), static_cast<uint32_t>(5000 + i)); });
        if (ok == 0) {
            failed = true;
            EXPECT_EQ(isErrno(f), 105);
            EXPECT_EQ(file->fileBytes(), before) << "after " << i;
            EXPECT_EQ(f->indexAlloc.head, f->indexAlloc.highest + 50) << "the state the call began with";
            f->indexAlloc.head = 0;
            continue;
        }
        f->indexAlloc.head = 0;
        ASSERT_EQ(file->flush(), 1);
        before = file->fileBytes();
    }
    ASSERT_TRUE(failed);
    const size_t entries = checked().indexes[0].entries.size();
    for (int i = 1; i <= 200; ++i) ASSERT_EQ(insert(i * 2 + 1, static_cast<uint32_t>(9000 + i)), 1);
    EXPECT_GT(checked().indexes[0].entries.size(), entries);
}

TEST_F(Grow, ADuplicateRaisedAfterOtherChangesOfTheCallLeavesTheFileAsItWas) {
    make(0);
    for (int i = 1; i <= 300; ++i) ASSERT_EQ(insert(i * 2, static_cast<uint32_t>(i)), 1);
    const auto before = file->fileBytes();
    // Many insertions with splits, then a duplicate in the same call.
    EXPECT_EQ(file->call([&] {
                  for (int i = 0; i < 400; ++i) insertKey(f, path, key(i * 2 + 1).data(), static_cast<uint32_t>(1000 + i));
                  insertKey(f, path, key(2).data(), 5000);
                  return 1;
              }),
              0);
    EXPECT_EQ(isErrno(f), 100);
    EXPECT_EQ(file->fileBytes(), before);
    ASSERT_EQ(file->flush(), 1);
    EXPECT_EQ(checked().indexes[0].entries.size(), 300u);
}

// Case-blind text: a key can sort between two neighbours that share a long
// prefix while sharing no byte with either, so the new entry and the one
// after it both take a full key.  The usual cut (the first entry at or after
// U / 2, the new entry going up) would overflow the upper half; the most even
// cut that fits is taken instead.
TEST(GrowSplit, ACompressedSplitPicksACutWhereTheNewEntryFits) {
    testing::IndexFile file(1024);
    ASSERT_NE(file.f, nullptr);
    const KeyDesc desc = keyOf(ISKEY_LEADCOMPRESS, {keyPart(0, 330, ISTYPE_WNOCASE)});
    ASSERT_TRUE(keyFitsNode(file.f, desc));
    ASSERT_EQ(file.addIndex(desc), 0);
    TreePath *path = file.f->indexes[0];
    auto wide = [](char16_t fill, char16_t letter) {
        std::u16string text(150, fill);
        text += letter;
        text += std::u16string(14, fill);
        std::vector<uint8_t> bytes(330);
        std::memcpy(bytes.data(), text.data(), bytes.size());
        return bytes;
    };
    const std::u16string letters = u"ABCDEFGHJ";
    for (size_t i = 0; i < letters.size(); ++i) {
        const auto key = wide(u'P', letters[i]);
        ASSERT_EQ(file.call([&] { return insertKey(file.f, path, key.data(), static_cast<uint32_t>(i + 1)); }), 1);
    }
    ASSERT_EQ(path->head->used, 2 + 335 + 8 * 80) << "one full key, eight sharing 255 bytes";
    const auto x = wide(u'p', u'i');
    ASSERT_EQ(file.call([&] { return insertKey(file.f, path, x.data(), 100); }), 1);
    ASSERT_EQ(file.flush(), 1);
    const auto check = file.check();
    ASSERT_TRUE(check.ok()) << check.report();
    EXPECT_EQ(check.indexes[0].height, 2);
    EXPECT_EQ(check.indexes[0].leafUsed, (std::vector<int32_t>{2 + 335 + 6 * 80, 2 + 3 * 335}));
    std::vector<uint32_t> order;
    for (const auto &e : check.indexes[0].entries) order.push_back(e.pointer);
    EXPECT_EQ(order, (std::vector<uint32_t>{1, 2, 3, 4, 5, 6, 7, 8, 100, 9}));
}

TEST(GrowSplit, AKeyTooLongForItsNodesIsRefusedWithoutChange) {
    testing::IndexFile file(1024);
    ASSERT_NE(file.f, nullptr);
    const KeyDesc desc = keyOf(0, {keyPart(0, 600, ISTYPE_CHAR)});
    ASSERT_FALSE(keyFitsNode(file.f, desc));
    ASSERT_EQ(file.addIndex(desc), 0);
    TreePath *path = file.f->indexes[0];
    std::vector<uint8_t> key(600, 'a');
    ASSERT_EQ(file.call([&] {
                  insertKey(file.f, path, key.data(), 1);
                  pathFlush(file.f, 0);
                  freeListFlush(file.f);
                  writeDictionary(file.f);
                  return 1;
              }),
              1);
    const auto before = file.fileBytes();
    key[0] = 'b';
    EXPECT_EQ(file.call([&] { return insertKey(file.f, path, key.data(), 2); }), 0);
    EXPECT_EQ(isErrno(file.f), 103) << "a root of two entries does not fit";
    EXPECT_EQ(file.fileBytes(), before);
}

TEST_F(Grow, AnInsertionOffsetOffTheEntriesIsReported) {
    make(0);
    ASSERT_EQ(insert(1, 1), 1);
    ASSERT_EQ(insert(2, 2), 1);
    testing::FatalCapture fatal;
    EXPECT_EQ(file->call([&] { return nodeInsert(f, path, path->head, 5, key(3).data(), 0, 3); }), 0);
    EXPECT_TRUE(fatal.saw("fatal isam error isgrow(245)"));
    EXPECT_EQ(isErrno(f), 105);
    make(ISKEY_LEADCOMPRESS);
    ASSERT_EQ(insert(1, 1), 1);
    ASSERT_EQ(insert(2, 2), 1);
    EXPECT_EQ(file->call([&] { return nodeInsert(f, path, path->head, 7, key(3).data(), 0, 3); }), 0);
    EXPECT_EQ(isErrno(f), 105);
    EXPECT_EQ(file->call([&] { return nodeInsert(f, path, path->head, path->head->used + 1, key(3).data(), 0, 3); }), 0);
    EXPECT_EQ(fatal.texts().size(), 3u);
}

// Random damage to the nodes of an index: every operation either works or
// raises 105 (100 or 103 where the damage makes keys look equal or nodes
// full), and nothing reads outside its buffers.
TEST(GrowDamage, DamagedNodesRaiseInsteadOfCrashing) {
    for (uint16_t flags : {uint16_t{ISKEY_DUPS}, uint16_t{ISKEY_DUPS | kAllCompression}}) {
        testing::IndexFile file(1024);
        ASSERT_NE(file.f, nullptr);
        ASSERT_EQ(file.addIndex(keyOf(flags, {keyPart(0, 12, ISTYPE_CHAR)})), 0);
        IsFile *f = file.f;
        TreePath *path = f->indexes[0];
        Rng rng(77);
        auto keyFor = [&](int value) {
            std::vector<uint8_t> bytes(12, ' ');
            char text[16];
            std::snprintf(text, sizeof text, "k%05d", value);
            std::memcpy(bytes.data(), text, 6);
            return bytes;
        };
        ASSERT_EQ(file.call([&] {
                      for (int i = 0; i < 1500; ++i) {
                          insertKey(f, path, keyFor(uniform(rng, 0, 700)).data(), static_cast<uint32_t>(i + 1));
                          pathFlush(f, 0);
                      }
                      freeListFlush(f);
                      writeDictionary(f);
                      return 1;
                  }),
                  1);
        const auto pristine = file.fileBytes();
        const uint32_t highest = f->indexAlloc.highest;
        testing::FatalCapture fatal;
        for (int round = 0; round < 150; ++round) {
            auto bytes = pristine;
            const int hits = uniform(rng, 1, 6);
            for (int h = 0; h < hits; ++h) {
                const uint32_t block = static_cast<uint32_t>(uniform(rng, 3, static_cast<int>(highest)));
                const size_t at = static_cast<size_t>(block - 1) * 1024;
                const int where = uniform(rng, 0, 3);
                size_t offset = where == 0 ? static_cast<size_t>(uniform(rng, 0, 1)) : static_cast<size_t>(uniform(rng, 0, 1023));
                if (where == 1) offset = 1024 - 2;  // the level
                bytes[at + offset] = static_cast<uint8_t>(uniform(rng, 0, 255));
            }
            testing::writeFile(file.woxPath(), bytes);
            auto allowed = [&](int ok) {
                const int error = isErrno(f);
                return ok == 1 || error == 105 || error == 100 || error == 103;
            };
            int ok = file.call([&] { return pathInvalidate(f, kAccessRead), 1; });
            ASSERT_TRUE(allowed(ok)) << isErrno(f);
            ok = file.call([&] {
                int steps = 0;
                for (int r = treeFirst(f, path); r != 0 && steps < 100000; r = treeNext(f, path)) ++steps;
                for (int r = treeLast(f, path); r != 0 && steps < 200000; r = treePrev(f, path)) ++steps;
                return 1;
            });
            ASSERT_TRUE(allowed(ok)) << isErrno(f);
            for (int probe = 0; probe < 5; ++probe) {
                const auto key = keyFor(uniform(rng, 0, 800));
                ok = file.call([&] { return treeFindGE(f, path, key.data()) + treeFindGT(f, path, key.data()) >= 0 ? 1 : 0; });
                ASSERT_TRUE(allowed(ok)) << isErrno(f);
                ok = file.call([&] { return insertKey(f, path, key.data(), 90000); });
                ASSERT_TRUE(allowed(ok)) << isErrno(f);
                // Dropped again: the insertion's nodes never reach the file.
                file.call([&] { return raiseError(f, kErrDuplicate, 0), 1; });
            }
            ASSERT_EQ(file.fileBytes(), bytes) << "nothing written";
        }
        testing::writeFile(file.woxPath(), pristine);
        ASSERT_EQ(file.call([&] { return pathInvalidate(f, kAccessRead), 1; }), 1);
        const auto check = file.check();
        EXPECT_TRUE(check.ok()) << check.report();
        EXPECT_EQ(check.indexes[0].entries.size(), 1500u);
    }
}

// ---------------------------------------------------------------------------
// Model-based runs.

enum class Order { random, ascending, descending };

struct ModelPlan {
    KeyDesc key;
    int32_t nodeSize = 4096;
    int count = 20000;
    Order order = Order::random;
    uint32_t seed = 1;
    int pool = 0;       // > 0: keys drawn from this many generated keys
    int probes = 1500;
    int alphabet = 4;   // letters used in text parts: few letters, long shared prefixes
};

template <class T>
void storeNative(uint8_t *at, T value) {
    std::memcpy(at, &value, sizeof value);
}

void storeUnit(uint8_t *at, char16_t unit) { std::memcpy(at, &unit, sizeof unit); }

// One key image of `plan.key`, part by part, by the part's type.
std::vector<uint8_t> randomKey(const ModelPlan &plan, int32_t length, Rng &rng) {
    const KeyDesc &kd = plan.key;
    std::vector<uint8_t> key(static_cast<size_t>(length), 0);
    const uint8_t pad = (kd.flags & ISKEY_NULLFILL) != 0 ? 0x00 : 0x20;
    int32_t s = 0;
    for (int j = 0; j < kd.partCount; ++j) {
        const KeyPart &part = kd.parts[j];
        uint8_t *p = key.data() + s;
        const int32_t n = part.length;
        switch (part.type & ISTYPE_MASK) {
        case ISTYPE_CHAR:
        case ISTYPE_BYTES: {
            const int32_t text = uniform(rng, 0, n);
            for (int32_t i = 0; i < n; ++i) p[i] = i < text ? static_cast<uint8_t>('a' + uniform(rng, 0, plan.alphabet - 1)) : pad;
            break;
        }
        case ISTYPE_INT:
            for (int32_t i = 0; i < n; i += 2) st2(p + i, uniform(rng, -300, 300));
            break;
        case ISTYPE_LONG:
            for (int32_t i = 0; i < n; i += 4) st4(p + i, uniform(rng, -2000000, 2000000) * (uniform(rng, 0, 3) == 0 ? 1000 : 1));
            break;
        case ISTYPE_DOUBLE: {
            const double value = uniform(rng, -30000, 30000) / 8.0;
            storeNative(p, value == 0.0 ? 0.0 : value);
            break;
        }
        case ISTYPE_FLOAT: {
            const float value = static_cast<float>(uniform(rng, -30000, 30000)) / 16.0f;
            storeNative(p, value == 0.0f ? 0.0f : value);
            break;
        }
        case ISTYPE_NATIVESHORT:
            storeNative(p, static_cast<int16_t>(uniform(rng, -32768, 32767)));
            break;
        case ISTYPE_NATIVELONG:
            storeNative(p, static_cast<int32_t>(uniform(rng, -50000000, 50000000)));
            break;
        case ISTYPE_STRING: {
            const int32_t text = uniform(rng, 0, n - 1);
            for (int32_t i = 0; i < text; ++i) p[i] = static_cast<uint8_t>('a' + uniform(rng, 0, plan.alphabet - 1));
            break;
        }
        case ISTYPE_WTEXT:
        case ISTYPE_WNOCASE: {
            const int32_t units = n / 2;
            const int32_t text = uniform(rng, 0, units - 1);
            const bool anyCase = (part.type & ISTYPE_MASK) == ISTYPE_WNOCASE;
            for (int32_t i = 0; i < text; ++i) {
                char16_t unit = static_cast<char16_t>('a' + uniform(rng, 0, plan.alphabet - 1));
                if (anyCase && uniform(rng, 0, 1) == 1) unit = static_cast<char16_t>(unit - 'a' + 'A');
                storeUnit(p + 2 * i, unit);
            }
            break;
        }
        case ISTYPE_DEVTAG: {
            // Letters and digit runs: "ab12c7", zero-filled.
            int32_t i = 0;
            const int32_t text = uniform(rng, 0, n - 1);
            while (i < text) {
                if (uniform(rng, 0, 2) == 0) {
                    const int digits = uniform(rng, 1, 3);
                    for (int d = 0; d < digits && i < text; ++d) p[i++] = static_cast<uint8_t>('0' + uniform(rng, 0, 9));
                } else {
                    p[i++] = static_cast<uint8_t>('a' + uniform(rng, 0, plan.alphabet - 1));
                }
            }
            break;
        }
        default:
            for (int32_t i = 0; i < n; ++i) p[i] = static_cast<uint8_t>(uniform(rng, 0, 255));
            break;
        }
        s += n;
    }
    return key;
}

struct Expected {
    uint32_t record = 0;
    uint64_t serial = 0;
};

class ModelRun {
public:
    explicit ModelRun(const ModelPlan &plan)
        : plan_(plan), file_(plan.nodeSize), rng_(plan.seed),
          model_([this](const std::vector<uint8_t> &a, const std::vector<uint8_t> &b) {
              return compareKeys(path_, a.data(), b.data()) < 0;
          }) {}

    void run() {
        ASSERT_NE(file_.f, nullptr);
        f_ = file_.f;
        ASSERT_TRUE(keyFitsNode(f_, plan_.key)) << "the test's key must be acceptable";
        ASSERT_EQ(file_.addIndex(plan_.key), 0);
        path_ = f_->indexes[0];
        k_ = path_->keyLength;
        dups_ = (plan_.key.flags & ISKEY_DUPS) != 0;
        ASSERT_NO_FATAL_FAILURE(insertAll());
        ASSERT_NO_FATAL_FAILURE(compareStructure());
        ASSERT_NO_FATAL_FAILURE(compareWalks());
        ASSERT_NO_FATAL_FAILURE(compareProbes());
    }

    int refused() const { return refused_; }
    const testing::FileCheck &check() const { return check_; }

private:
    using Model = std::multimap<std::vector<uint8_t>, Expected,
                                std::function<bool(const std::vector<uint8_t> &, const std::vector<uint8_t> &)>>;

    std::vector<std::vector<uint8_t>> keysToInsert() {
        std::vector<std::vector<uint8_t>> pool;
        const int distinct = plan_.pool > 0 ? plan_.pool : plan_.count;
        pool.reserve(static_cast<size_t>(distinct));
        for (int i = 0; i < distinct; ++i) pool.push_back(randomKey(plan_, k_, rng_));
        std::vector<std::vector<uint8_t>> keys;
        keys.reserve(static_cast<size_t>(plan_.count));
        for (int i = 0; i < plan_.count; ++i) {
            keys.push_back(plan_.pool > 0 ? pool[static_cast<size_t>(uniform(rng_, 0, distinct - 1))] : pool[static_cast<size_t>(i)]);
        }
        auto less = [this](const std::vector<uint8_t> &a, const std::vector<uint8_t> &b) {
            return compareKeys(path_, a.data(), b.data()) < 0;
        };
        if (plan_.order == Order::ascending) std::stable_sort(keys.begin(), keys.end(), less);
        if (plan_.order == Order::descending) {
            std::stable_sort(keys.begin(), keys.end(), [&](const auto &a, const auto &b) { return less(b, a); });
        }
        return keys;
    }

    void insertAll() {
        const auto keys = keysToInsert();
        uint32_t record = 0;
        for (const auto &key : keys) {
            ++record;
            const bool present = model_.find(key) != model_.end();
            const int ok = file_.call([&] {
                insertKey(f_, path_, key.data(), record);
                pathFlush(f_, 0);
                freeListFlush(f_);
                writeDictionary(f_);
                return 1;
            });
            if (!dups_ && present) {
                ASSERT_EQ(ok, 0) << "record " << record;
                ASSERT_EQ(isErrno(f_), 100);
                ++refused_;
                continue;
            }
            ASSERT_EQ(ok, 1) << "record " << record << " error " << isErrno(f_);
            inserted_.push_back(key);
            auto it = model_.insert({key, Expected{record, 0}});
            if (dups_ && it != model_.begin()) {
                auto before = std::prev(it);
                if (before->first == key) it->second.serial = before->second.serial + 1;
            }
        }
    }

    void compareStructure() {
        check_ = file_.check();
        ASSERT_TRUE(check_.ok()) << check_.report();
        const auto &entries = check_.indexes[0].entries;
        ASSERT_EQ(entries.size(), model_.size());
        size_t i = 0;
        for (const auto &[key, expected] : model_) {
            const auto &e = entries[i];
            ASSERT_EQ(e.key, key) << "entry " << i;
            ASSERT_EQ(e.pointer, expected.record) << "entry " << i;
            ASSERT_EQ(e.serial, expected.serial) << "entry " << i;
            ++i;
        }
    }

    bool at(const std::vector<uint8_t> &key, const Expected &expected) const {
        const PathNode *head = path_->head;
        return head->pointer == expected.record && head->serial == expected.serial &&
               std::memcmp(head->key, key.data(), static_cast<size_t>(k_)) == 0;
    }

    void compareWalks() {
        std::vector<uint32_t> forward;
        std::vector<uint32_t> backward;
        ASSERT_EQ(file_.call([&] {
                      for (int r = treeFirst(f_, path_); r != 0; r = treeNext(f_, path_)) forward.push_back(path_->head->pointer);
                      for (int r = treeLast(f_, path_); r != 0; r = treePrev(f_, path_)) backward.push_back(path_->head->pointer);
                      return 1;
                  }),
                  1);
        std::vector<uint32_t> expected;
        for (const auto &entry : model_) expected.push_back(entry.second.record);
        ASSERT_EQ(forward, expected);
        std::reverse(expected.begin(), expected.end());
        ASSERT_EQ(backward, expected);
    }

    void compareProbes() {
        for (int i = 0; i < plan_.probes; ++i) {
            std::vector<uint8_t> probe;
            if (i % 3 == 0 && !inserted_.empty()) {
                probe = inserted_[static_cast<size_t>(uniform(rng_, 0, static_cast<int>(inserted_.size()) - 1))];
            } else {
                probe = randomKey(plan_, k_, rng_);
            }
            for (bool greater : {false, true}) {
                int found = -1;
                ASSERT_EQ(file_.call([&] {
                              found = greater ? treeFindGT(f_, path_, probe.data()) : treeFindGE(f_, path_, probe.data());
                              return 1;
                          }),
                          1);
                auto it = greater ? model_.upper_bound(probe) : model_.lower_bound(probe);
                if (it == model_.end()) {
                    ASSERT_EQ(found, 0) << "probe " << i << (greater ? " >" : " >=");
                    auto last = std::prev(model_.end());
                    ASSERT_TRUE(at(last->first, last->second)) << "probe " << i << ": stays on the last entry";
                } else {
                    ASSERT_EQ(found, 1) << "probe " << i << (greater ? " >" : " >=");
                    ASSERT_TRUE(at(it->first, it->second))
                        << "probe " << i << (greater ? " >" : " >=") << " found " << path_->head->pointer << " expected "
                        << it->second.record;
                }
            }
        }
    }

    ModelPlan plan_;
    testing::IndexFile file_;
    Rng rng_;
    IsFile *f_ = nullptr;
    TreePath *path_ = nullptr;
    int32_t k_ = 0;
    bool dups_ = false;
    int refused_ = 0;
    Model model_;
    std::vector<std::vector<uint8_t>> inserted_;
    testing::FileCheck check_;
};

// One character part of `length` bytes.
KeyDesc charKey(uint16_t flags, int16_t length = 12) { return keyOf(flags, {keyPart(0, length, ISTYPE_CHAR)}); }

// A model run: its plan, and for unique keys drawn from a pool, how many of
// the repeats at least must have been refused (-1: not counted).
struct GrowCase {
    const char *name;
    ModelPlan plan;
    int refusedOver = -1;
};
void PrintTo(const GrowCase &c, std::ostream *os) { *os << c.name; }

// Each plan takes its own seed, so that no two runs insert the same keys.
// Case-blind text orders keys unlike their bytes: the entry after an
// insertion point can grow by a whole key, the worst case for a split
// (SmallNodesWithTheLongestCompressedKeyAlwaysSplitWithRoom).
const GrowCase kGrowCases[] = {
    {"PlainUniqueKeysInRandomOrderRefuseTheRepeats", {.key = charKey(0), .seed = 11, .pool = 15000}, 1000},
    {"PlainDuplicatesManyEqualKeys", {.key = charKey(ISKEY_DUPS, 6), .seed = 12, .pool = 300}},
    {"PlainAscending", {.key = charKey(ISKEY_DUPS, 16), .order = Order::ascending, .seed = 13, .pool = 5000}},
    {"PlainDescending", {.key = charKey(ISKEY_DUPS, 16), .order = Order::descending, .seed = 14, .pool = 5000}},
    {"DuplicateCompressionAlone", {.key = charKey(ISKEY_DUPS | ISKEY_DUPCOMPRESS, 10), .seed = 21, .pool = 500}},
    {"DuplicateCompressionWithoutDuplicates", {.key = charKey(ISKEY_DUPCOMPRESS, 10), .seed = 22}},
    {"LeadingCompressionAlone", {.key = charKey(ISKEY_LEADCOMPRESS, 24), .seed = 23}},
    {"LeadingCompressionWithDuplicates", {.key = charKey(ISKEY_DUPS | ISKEY_LEADCOMPRESS, 24), .seed = 24, .pool = 2000}},
    {"TrailingCompressionAlone", {.key = charKey(ISKEY_DUPS | ISKEY_TRAILCOMPRESS, 30), .seed = 25, .pool = 4000}},
    {"TrailingCompressionWithNulFill", {.key = charKey(ISKEY_TRAILCOMPRESS | ISKEY_NULLFILL, 30), .seed = 26}},
    {"AllCompressionRandom", {.key = charKey(ISKEY_DUPS | kAllCompression, 40), .seed = 27, .pool = 3000}},
    {"AllCompressionAscending",
     {.key = charKey(ISKEY_DUPS | kAllCompression, 40), .order = Order::ascending, .seed = 28, .pool = 3000}},
    {"AllCompressionDescending",
     {.key = charKey(ISKEY_DUPS | kAllCompression | ISKEY_NULLFILL, 40), .order = Order::descending, .seed = 29,
      .pool = 3000}},
    {"AllCompressionWithoutDuplicates", {.key = charKey(kAllCompression, 40), .seed = 30, .pool = 15000}},
    {"DescendingPartsInSeveralPartKeys",
     {.key = keyOf(ISKEY_DUPS | kAllCompression,
                   {keyPart(0, 4, ISTYPE_LONG | ISTYPE_DESC), keyPart(4, 10, ISTYPE_CHAR),
                    keyPart(14, 2, ISTYPE_INT | ISTYPE_DESC), keyPart(16, 6, ISTYPE_CHAR | ISTYPE_DESC)}),
      .seed = 31,
      .pool = 4000}},
    {"DescendingPartsPlain",
     {.key = keyOf(ISKEY_DUPS, {keyPart(0, 8, ISTYPE_CHAR | ISTYPE_DESC), keyPart(8, 4, ISTYPE_LONG)}),
      .seed = 32,
      .pool = 4000}},
    {"FiftyThousandKeysWithEveryCompression",
     {.key = charKey(ISKEY_DUPS | kAllCompression, 20), .count = 50000, .seed = 33, .pool = 20000, .probes = 1000}},
    {"SmallNodesWithTheLongestPlainKey",
     {.key = charKey(ISKEY_DUPS, 500), .nodeSize = 1024, .count = 3000, .seed = 34, .pool = 1500, .alphabet = 2}},
    {"SmallNodesWithTheLongestCompressedKeyAlwaysSplitWithRoom",
     {.key = keyOf(ISKEY_DUPS | kAllCompression | ISKEY_NULLFILL, {keyPart(0, 332, ISTYPE_WNOCASE)}),
      .nodeSize = 1024,
      .count = 3000,
      .seed = 35,
      .pool = 1500,
      .probes = 600,
      .alphabet = 2}},
    {"SmallNodesWithLongCompressedCharacterKeys",
     {.key = charKey(kAllCompression, 300), .nodeSize = 1024, .count = 3000, .seed = 36, .alphabet = 2}},
};

class GrowModel : public ::testing::TestWithParam<GrowCase> {};

TEST_P(GrowModel, IndexAgreesWithTheModel) {
    const GrowCase &c = GetParam();
    ModelRun run(c.plan);
    run.run();
    if (c.refusedOver >= 0) {
        EXPECT_GT(run.refused(), c.refusedOver);
    }
}

INSTANTIATE_TEST_SUITE_P(Plans, GrowModel, ::testing::ValuesIn(kGrowCases),
                         [](const ::testing::TestParamInfo<GrowCase> &info) { return std::string(info.param.name); });

struct TypeCase {
    const char *name;
    uint16_t type;
    int16_t length;
};

class GrowTypes : public ::testing::TestWithParam<TypeCase> {};

TEST_P(GrowTypes, CompressedWithDuplicates) {
    const TypeCase &c = GetParam();
    ModelPlan plan;
    plan.key = keyOf(ISKEY_DUPS | kAllCompression, {keyPart(0, c.length, c.type), keyPart(c.length, 3, ISTYPE_CHAR)});
    plan.count = 8000;
    plan.pool = 3000;
    plan.seed = 40 + c.type;
    plan.probes = 800;
    ModelRun(plan).run();
}

TEST_P(GrowTypes, PlainWithoutDuplicates) {
    const TypeCase &c = GetParam();
    ModelPlan plan;
    plan.key = keyOf(0, {keyPart(0, c.length, c.type)});
    plan.count = 8000;
    plan.seed = 60 + c.type;
    plan.probes = 800;
    ModelRun(plan).run();
}

TEST_P(GrowTypes, DescendingPlainWithDuplicates) {
    const TypeCase &c = GetParam();
    ModelPlan plan;
    plan.key = keyOf(ISKEY_DUPS, {keyPart(0, c.length, static_cast<uint16_t>(c.type | ISTYPE_DESC))});
    plan.count = 6000;
    plan.pool = 2000;
    plan.seed = 80 + c.type;
    plan.probes = 600;
    ModelRun(plan).run();
}

INSTANTIATE_TEST_SUITE_P(Types, GrowTypes,
                         ::testing::Values(TypeCase{"BigEndianShort", ISTYPE_INT, 2},
                                           TypeCase{"BigEndianLong", ISTYPE_LONG, 4},
                                           TypeCase{"Double", ISTYPE_DOUBLE, 8}, TypeCase{"Float", ISTYPE_FLOAT, 4},
                                           TypeCase{"NativeShort", ISTYPE_NATIVESHORT, 2},
                                           TypeCase{"NativeLong", ISTYPE_NATIVELONG, 4},
                                           TypeCase{"String", ISTYPE_STRING, 12},
                                           TypeCase{"WideText", ISTYPE_WTEXT, 16},
                                           TypeCase{"DeviceTag", ISTYPE_DEVTAG, 12},
                                           TypeCase{"WideNoCase", ISTYPE_WNOCASE, 16}),
                         [](const ::testing::TestParamInfo<TypeCase> &info) { return std::string(info.param.name); });

}  // namespace
}  // namespace wisam
