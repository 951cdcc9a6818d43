// Key deletion: plain and compressed removal, release of emptied nodes, the
// empty root, the pre-split of nearly full compressed nodes, damaged nodes,
// and model runs against a std::multimap with the structure checker.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "frame/iserror.h"
#include "index/iscomp.h"
#include "index/isfree.h"
#include "index/isgrow.h"
#include "index/iskey.h"
#include "index/isnode.h"
#include "index/ispath.h"
#include "index/isshrink.h"
#include "structure/isdict.h"
#include "structure/isencode.h"
#include "support/treecheck.h"
#include "wisam.h"

namespace wisam {
namespace {

using testing::keyOf;
using testing::keyPart;

using Key = std::vector<uint8_t>;

// One leaf entry as a walk sees it.
struct Walked {
    std::string key;
    uint32_t record = 0;
    uint64_t serial = 0;
    bool operator==(const Walked &) const = default;
};

std::string show(const std::vector<Walked> &entries, size_t limit = 8) {
    std::string text;
    for (size_t i = 0; i < entries.size() && i < limit; ++i) {
        text += "[" + entries[i].key + "/" + std::to_string(entries[i].record) + "/" +
                std::to_string(entries[i].serial) + "]";
    }
    return text;
}

// An index of one character part; keys are texts padded to the key length.
class Shrink : public ::testing::Test {
protected:
    void make(uint16_t flags, int32_t nodeSize = 256, int16_t length = 8) {
        path = nullptr;
        file.reset();
        file = std::make_unique<testing::IndexFile>(nodeSize);
        ASSERT_NE(file->f, nullptr);
        f = file->f;
        k = length;
        pad = (flags & ISKEY_NULLFILL) != 0 ? 0x00 : 0x20;
        ASSERT_EQ(file->addIndex(keyOf(flags, {keyPart(0, length, ISTYPE_CHAR)})), 0);
        path = f->indexes[0];
    }
    Key key(const std::string &text) const {
        Key bytes(static_cast<size_t>(k), pad);
        std::memcpy(bytes.data(), text.data(), std::min<size_t>(text.size(), bytes.size()));
        return bytes;
    }
    Key number(int value) const {
        char text[32];
        std::snprintf(text, sizeof text, "%08d", value);
        return key(text);
    }
    // Writes what a changing call leaves behind, as the record layer does.
    void commit() {
        pathFlush(f, 0);
        freeListFlush(f);
        writeDictionary(f);
    }
    int insert(const Key &bytes, uint32_t record) {
        return file->call([&] {
            insertKey(f, path, bytes.data(), record);
            commit();
            return 1;
        });
    }
    // deleteKey's result in `removed`; the call's result returned.
    int remove(const Key &bytes, uint32_t record) {
        removed = -1;
        return file->call([&] {
            removed = deleteKey(f, path, bytes.data(), record);
            commit();
            return 1;
        });
    }
    // Writes the path and the free lists without moving the dictionary's
    // change counter, so that file images can be compared.
    int quietFlush() {
        return file->call([&] {
            pathFlush(f, 0);
            freeListFlush(f);
            writeDictionaryQuiet(f);
            return 1;
        });
    }
    template <class Work>
    int run(Work work) {
        return file->call([&] { return work(); });
    }
    std::string text(const uint8_t *bytes) const { return std::string(reinterpret_cast<const char *>(bytes), static_cast<size_t>(k)); }
    Walked here() const { return Walked{text(path->head->key), path->head->pointer, path->head->serial}; }
    std::vector<Walked> forward() {
        std::vector<Walked> entries;
        run([&] {
            if (pathIndexEmpty(f, path)) return 1;
            for (int r = treeFirst(f, path); r != 0; r = treeNext(f, path)) entries.push_back(here());
            return 1;
        });
        return entries;
    }
    std::vector<Walked> backward() {
        std::vector<Walked> entries;
        run([&] {
            if (pathIndexEmpty(f, path)) return 1;
            for (int r = treeLast(f, path); r != 0; r = treePrev(f, path)) entries.push_back(here());
            return 1;
        });
        std::reverse(entries.begin(), entries.end());
        return entries;
    }
    testing::IndexShape checked() {
        const testing::FileCheck result = file->check();
        EXPECT_TRUE(result.ok()) << result.report();
        return result.indexes.empty() ? testing::IndexShape{} : result.indexes[0];
    }
    std::vector<uint8_t> block(uint32_t n) const {
        const auto bytes = file->fileBytes();
        const size_t at = static_cast<size_t>(n - 1) * static_cast<size_t>(f->nodeSize);
        if (bytes.size() < at + static_cast<size_t>(f->nodeSize)) return {};
        return std::vector<uint8_t>(bytes.begin() + static_cast<long>(at),
                                    bytes.begin() + static_cast<long>(at + static_cast<size_t>(f->nodeSize)));
    }
    int rootLevel() const { return block(path->rootNode)[static_cast<size_t>(f->nodeSize - 2)]; }
    int rootUsed() const { return ld2(block(path->rootNode).data()); }
    // Puts the path on the leaf entry (key, record) as a read would.
    bool position(const Key &bytes, uint32_t record) {
        int found = treeFindGE(f, path, bytes.data());
        while (found != 0 && path->head->pointer != record && keysEqual(path, bytes.data(), path->head->key)) {
            found = treeNext(f, path);
        }
        return found != 0 && path->head->pointer == record;
    }

    std::unique_ptr<testing::IndexFile> file;
    IsFile *f = nullptr;
    TreePath *path = nullptr;
    int16_t k = 8;
    uint8_t pad = 0x20;
    int removed = -1;
};

TEST_F(Shrink, AnEmptyIndexReturnsZeroAndChangesNothing) {
    make(0);
    const auto before = file->fileBytes();
    ASSERT_EQ(run([&] { return deleteKey(f, path, number(1).data(), 1) == 0 ? 1 : 0; }), 1);
    ASSERT_EQ(quietFlush(), 1);
    EXPECT_EQ(file->fileBytes(), before);
}

TEST_F(Shrink, PlainRemovalMovesTheRestDownAndClearsTheTail) {
    make(0);
    for (int i = 1; i <= 4; ++i) ASSERT_EQ(insert(number(i), static_cast<uint32_t>(10 + i)), 1);
    ASSERT_EQ(remove(number(2), 12), 1);
    EXPECT_EQ(removed, 1);
    const auto root = block(path->rootNode);
    const int32_t e = path->entrySize;
    ASSERT_EQ(ld2(root.data()), 2 + 3 * e);
    EXPECT_EQ(text(root.data() + 2 + e), text(number(3).data()));
    EXPECT_EQ(ld4(root.data() + 2 + e + k), 13);
    for (int32_t i = 2 + 3 * e; i < f->nodeSize - 4; ++i) ASSERT_EQ(root[static_cast<size_t>(i)], 0) << i;
    EXPECT_EQ(forward().size(), 3u);
    checked();
}

TEST_F(Shrink, TheOnlyKeyOfAMultiLevelIndexLeavesAnEmptyLeafRoot) {
    make(0);
    const int n = 500;  // 20 plain entries a leaf: three levels
    for (int i = 1; i <= n; ++i) ASSERT_EQ(insert(number(i), static_cast<uint32_t>(i)), 1);
    const uint32_t highest = f->indexAlloc.highest;
    EXPECT_GE(rootLevel(), 2);
    for (int i = 1; i < n; ++i) {
        ASSERT_EQ(remove(number(i), static_cast<uint32_t>(i)), 1);
        ASSERT_EQ(removed, 1);
    }
    testing::IndexShape shape = checked();
    ASSERT_EQ(shape.entries.size(), 1u);
    EXPECT_GE(shape.height, 3) << "nothing is merged on the way";
    ASSERT_EQ(remove(number(n), static_cast<uint32_t>(n)), 1);
    EXPECT_EQ(removed, 1);
    EXPECT_EQ(rootUsed(), 2);
    EXPECT_EQ(rootLevel(), 0);
    shape = checked();
    EXPECT_EQ(shape.nodes, 1);
    EXPECT_EQ(shape.height, 1);
    EXPECT_EQ(f->indexAlloc.highest, highest) << "released blocks stay in the file, on the free list";
    // The empty leaf takes keys again, reusing released blocks.
    for (int i = 1; i <= 100; ++i) ASSERT_EQ(insert(number(i), static_cast<uint32_t>(i)), 1);
    EXPECT_EQ(forward().size(), 100u);
    EXPECT_EQ(f->indexAlloc.highest, highest);
    checked();
}

TEST_F(Shrink, AnEmptiedLeafIsReleasedAndItsParentEntryRemoved) {
    make(0);
    // Ascending keys fill leaves completely: 20 to a leaf.
    for (int i = 1; i <= 60; ++i) ASSERT_EQ(insert(number(i), static_cast<uint32_t>(i)), 1);
    ASSERT_EQ(rootLevel(), 1);
    const int rootEntries = (rootUsed() - 2) / path->entrySize;
    const int nodes = checked().nodes;
    uint32_t leaf = 0;
    ASSERT_EQ(run([&] { return position(number(21), 21) ? (leaf = path->head->number, 1) : 0; }), 1);
    for (int i = 21; i <= 40; ++i) {
        ASSERT_EQ(remove(number(i), static_cast<uint32_t>(i)), 1);
        ASSERT_EQ(removed, 1);
    }
    EXPECT_EQ((rootUsed() - 2) / path->entrySize, rootEntries - 1);
    const auto root = block(path->rootNode);
    for (int32_t at = 2; at < ld2(root.data()); at += path->entrySize) {
        EXPECT_NE(static_cast<uint32_t>(ld4(root.data() + at + k)), leaf);
    }
    EXPECT_EQ(f->indexAlloc.head, leaf) << "the released leaf heads the index free list";
    const testing::IndexShape shape = checked();
    EXPECT_EQ(shape.nodes, nodes - 1);
    EXPECT_EQ(shape.entries.size(), 40u);
}

TEST_F(Shrink, AParentEmptiedByReleasedChildrenIsReleasedToo) {
    make(0);
    const int n = 600;
    for (int i = 1; i <= n; ++i) ASSERT_EQ(insert(number(i), static_cast<uint32_t>(i)), 1);
    ASSERT_GE(rootLevel(), 2);
    // The keys under the first node of level 1.
    uint32_t parent = 0;
    int under = 0;
    ASSERT_EQ(run([&] {
                  treeFirst(f, path);
                  parent = path->head->parent->number;
                  do {
                      ++under;
                  } while (treeNext(f, path) && path->head->parent->number == parent);
                  return 1;
              }),
              1);
    ASSERT_GT(under, 20);
    const testing::IndexShape before = checked();
    const int leaves = (under + 19) / 20;
    for (int i = 1; i <= under; ++i) ASSERT_EQ(remove(number(i), static_cast<uint32_t>(i)), 1);
    const testing::IndexShape after = checked();
    EXPECT_EQ(after.nodes, before.nodes - leaves - 1);
    EXPECT_EQ(after.entries.size(), static_cast<size_t>(n - under));
    const std::vector<Walked> walk = forward();
    ASSERT_FALSE(walk.empty());
    EXPECT_EQ(walk.front().record, static_cast<uint32_t>(under + 1));
    // The released parent is on the free list, no longer in the tree.
    run([&] {
        pathPopAll(f, path);
        PathNode *root = path->head;
        for (int r = stepNode(f, path, root, kStepFirst); r != 0; r = stepNode(f, path, root, kStepNext)) {
            EXPECT_NE(root->pointer, parent);
        }
        return 1;
    });
}

TEST_F(Shrink, OneOfSeveralEqualKeysIsRemovedExactly) {
    for (const uint16_t flags : {uint16_t{ISKEY_DUPS}, uint16_t{ISKEY_DUPS | ISKEY_DUPCOMPRESS}}) {
        SCOPED_TRACE(flags);
        make(flags);
        ASSERT_EQ(insert(key("AAAA"), 100), 1);
        for (uint32_t r = 1; r <= 50; ++r) ASSERT_EQ(insert(key("MMMM"), r), 1);  // over several leaves
        ASSERT_EQ(insert(key("ZZZZ"), 200), 1);
        ASSERT_GE(checked().height, 2);
        const std::vector<uint32_t> gone = {1, 16, 17, 30, 31, 50};
        for (const uint32_t r : gone) {
            ASSERT_EQ(remove(key("MMMM"), r), 1) << r;
            ASSERT_EQ(removed, 1);
        }
        std::vector<Walked> expected = {{text(key("AAAA").data()), 100, 0}};
        for (uint32_t r = 1; r <= 50; ++r) {
            if (std::find(gone.begin(), gone.end(), r) == gone.end()) expected.push_back({text(key("MMMM").data()), r, r - 1});
        }
        expected.push_back({text(key("ZZZZ").data()), 200, 0});
        EXPECT_EQ(forward(), expected) << show(forward());
        EXPECT_EQ(backward(), expected);
        checked();
        // A record that is no longer there is not found.
        ASSERT_EQ(remove(key("MMMM"), 16), 0);
        EXPECT_EQ(f->errorNumber, kErrNotFound);
    }
}

// The search for (key, record) among equal keys reads pointers leaf by leaf;
// a pointer met only under another key must not count.
TEST_F(Shrink, ARecordFiledUnderAnotherKeyIsNotFoundInTheRun) {
    for (const uint16_t flags : {uint16_t{ISKEY_DUPS}, uint16_t{ISKEY_DUPS | ISKEY_DUPCOMPRESS}}) {
        SCOPED_TRACE(flags);
        make(flags);
        ASSERT_EQ(insert(key("AAAA"), 300), 1);
        for (uint32_t r = 1; r <= 60; ++r) ASSERT_EQ(insert(key("MMMM"), r), 1);
        for (uint32_t r = 101; r <= 160; ++r) ASSERT_EQ(insert(key("ZZZZ"), r), 1);
        ASSERT_GE(checked().leafUsed.size(), 4u);
        const auto before = file->fileBytes();
        for (const auto &[text, record] : std::vector<std::pair<std::string, uint32_t>>{
                 {"MMMM", 300}, {"MMMM", 101}, {"MMMM", 160}, {"AAAA", 1}, {"ZZZZ", 60}, {"ZZZZ", 999}}) {
            SCOPED_TRACE(text + "/" + std::to_string(record));
            ASSERT_EQ(remove(key(text), record), 0);
            EXPECT_EQ(f->errorNumber, kErrNotFound);
            ASSERT_EQ(quietFlush(), 1);
            EXPECT_EQ(file->fileBytes(), before);
        }
        // The last of each run, found across every leaf of the run.
        ASSERT_EQ(remove(key("MMMM"), 60), 1);
        ASSERT_EQ(remove(key("ZZZZ"), 160), 1);
        ASSERT_EQ(remove(key("AAAA"), 300), 1);
        EXPECT_EQ(forward().size(), 118u);
        checked();
    }
}

TEST_F(Shrink, AMissingEntryRaises111AndLeavesTheFileUnchanged) {
    for (const uint16_t flags : {uint16_t{0}, uint16_t{ISKEY_DUPS}, uint16_t{ISKEY_DUPS | ISKEY_LEADCOMPRESS}}) {
        SCOPED_TRACE(flags);
        make(flags);
        for (int i = 1; i <= 100; ++i) ASSERT_EQ(insert(number(i * 2), static_cast<uint32_t>(i)), 1);
        const auto before = file->fileBytes();
        for (const auto &[bytes, record] : std::vector<std::pair<Key, uint32_t>>{
                 {number(7), 1}, {number(4), 1}, {number(0), 1}, {number(999), 1}, {number(200), 99}}) {
            ASSERT_EQ(remove(bytes, record), 0);
            EXPECT_EQ(f->errorNumber, kErrNotFound);
            EXPECT_EQ(std::string(f->status, 4), "2323");
            ASSERT_EQ(quietFlush(), 1);
            EXPECT_EQ(file->fileBytes(), before);
        }
        EXPECT_EQ(forward().size(), 100u);
    }
}

TEST_F(Shrink, TheFirstOfARunOfEqualKeysHandsItsKeyBytesToTheNext) {
    make(ISKEY_DUPS | ISKEY_DUPCOMPRESS, 256, 4);
    ASSERT_EQ(insert(key("AAA"), 1), 1);
    for (uint32_t r = 2; r <= 4; ++r) ASSERT_EQ(insert(key("BBB"), r), 1);
    ASSERT_EQ(insert(key("CCC"), 5), 1);
    // AAA s0 r1 | BBB s0 r2* | s1 r3* | s2 r4 | CCC s0 r5   (* repeat flag)
    ASSERT_EQ(rootUsed(), 2 + 12 + 12 + 8 + 8 + 12);
    ASSERT_EQ(remove(key("BBB"), 2), 1);
    const std::vector<uint8_t> expected = {
        'A', 'A', 'A', ' ', 0, 0, 0, 0, 0x00, 0, 0, 1,  //
        'B', 'B', 'B', ' ', 0, 0, 0, 1, 0x80, 0, 0, 3,  //
        0, 0, 0, 2, 0x00, 0, 0, 4,                      //
        'C', 'C', 'C', ' ', 0, 0, 0, 0, 0x00, 0, 0, 5,
    };
    const auto root = block(path->rootNode);
    ASSERT_EQ(ld2(root.data()), 2 + static_cast<int>(expected.size()));
    EXPECT_EQ(std::vector<uint8_t>(root.begin() + 2, root.begin() + 2 + static_cast<long>(expected.size())), expected)
        << testing::hexBytes(root.data() + 2, expected.size());
    const std::vector<Walked> walk = {{"AAA ", 1, 0}, {"BBB ", 3, 1}, {"BBB ", 4, 2}, {"CCC ", 5, 0}};
    EXPECT_EQ(forward(), walk);
    EXPECT_EQ(backward(), walk);
    checked();
}

TEST_F(Shrink, RepeatFlagsFollowTheRunWhenItsMiddleOrEndGoes) {
    make(ISKEY_DUPS | ISKEY_DUPCOMPRESS, 256, 4);
    ASSERT_EQ(insert(key("AAA"), 1), 1);
    for (uint32_t r = 2; r <= 5; ++r) ASSERT_EQ(insert(key("BBB"), r), 1);
    ASSERT_EQ(insert(key("CCC"), 6), 1);
    ASSERT_EQ(remove(key("BBB"), 3), 1);  // a middle one without key bytes
    ASSERT_EQ(remove(key("BBB"), 5), 1);  // the end of the run: r4 loses its flag
    auto root = block(path->rootNode);
    // AAA r1 | BBB r2* | s2 r4 | CCC r6
    ASSERT_EQ(ld2(root.data()), 2 + 12 + 12 + 8 + 12);
    EXPECT_EQ(root[2 + 12 + 8], 0x80);
    EXPECT_EQ(ld4(root.data() + 2 + 12 + 12), 2);
    EXPECT_EQ(root[2 + 12 + 12 + 4], 0x00);
    EXPECT_EQ(ld4(root.data() + 2 + 12 + 12 + 4), 4);
    ASSERT_EQ(remove(key("CCC"), 6), 1);  // now the run ends the node
    ASSERT_EQ(remove(key("BBB"), 4), 1);  // the last entry: r2 loses its flag
    root = block(path->rootNode);
    ASSERT_EQ(ld2(root.data()), 2 + 12 + 12);
    EXPECT_EQ(ld4(root.data() + 2 + 12 + 8), 2) << "no repeat flag on the last entry";
    const std::vector<Walked> walk = {{"AAA ", 1, 0}, {"BBB ", 2, 0}};
    EXPECT_EQ(forward(), walk);
    checked();
}

TEST_F(Shrink, TheFollowerIsEncodedAgainstTheKeyBefore) {
    make(ISKEY_LEADCOMPRESS | ISKEY_TRAILCOMPRESS, 256, 8);
    ASSERT_EQ(insert(key("ABCD"), 1), 1);
    ASSERT_EQ(insert(key("ABXY"), 2), 1);
    ASSERT_EQ(insert(key("ABXZ"), 3), 1);
    // [0 4 ABCD] r1 | [2 4 XY] r2 | [3 4 Z] r3
    ASSERT_EQ(rootUsed(), 2 + 10 + 8 + 7);
    ASSERT_EQ(remove(key("ABXY"), 2), 1);
    auto root = block(path->rootNode);
    std::vector<uint8_t> expected = {0, 4, 'A', 'B', 'C', 'D', 0, 0, 0, 1, 2, 4, 'X', 'Z', 0, 0, 0, 3};
    ASSERT_EQ(ld2(root.data()), 2 + static_cast<int>(expected.size()));
    EXPECT_EQ(std::vector<uint8_t>(root.begin() + 2, root.begin() + 2 + static_cast<long>(expected.size())), expected)
        << testing::hexBytes(root.data() + 2, expected.size());
    ASSERT_EQ(remove(key("ABCD"), 1), 1);  // the follower becomes the first entry: a full key
    root = block(path->rootNode);
    expected = {0, 4, 'A', 'B', 'X', 'Z', 0, 0, 0, 3};
    ASSERT_EQ(ld2(root.data()), 2 + static_cast<int>(expected.size()));
    EXPECT_EQ(std::vector<uint8_t>(root.begin() + 2, root.begin() + 2 + static_cast<long>(expected.size())), expected);
    for (int32_t i = 2 + static_cast<int32_t>(expected.size()); i < f->nodeSize - 4; ++i) {
        ASSERT_EQ(root[static_cast<size_t>(i)], 0) << i;
    }
    checked();
}

// Compressed leaf filled (as the only node) until U + W + K + 4 >= S - 4.
class FullLeaf : public Shrink {
protected:
    int fill() {
        make(ISKEY_LEADCOMPRESS | ISKEY_TRAILCOMPRESS, 256, 16);
        const int threshold = f->nodeSize - 4 - (path->dupWidth + path->keyLength + 4);
        int n = 0;
        while (rootUsed() < threshold) {
            ++n;
            EXPECT_EQ(insert(number(n), static_cast<uint32_t>(n)), 1);
            EXPECT_EQ(rootLevel(), 0) << "the leaf split before it was nearly full";
            if (rootLevel() != 0) return 0;
        }
        return n;
    }
};

TEST_F(FullLeaf, RemovingTheLastEntryNeedsNoSplit) {
    const int n = fill();
    ASSERT_GT(n, 10);
    ASSERT_EQ(remove(number(n), static_cast<uint32_t>(n)), 1);
    EXPECT_EQ(rootLevel(), 0);
    EXPECT_EQ(checked().nodes, 1);
}

TEST_F(FullLeaf, RemovingAnInnerEntrySplitsTheLeafFirst) {
    const int n = fill();
    ASSERT_GT(n, 10);
    const uint32_t highest = f->indexAlloc.highest;
    ASSERT_EQ(remove(number(5), 5), 1);
    EXPECT_EQ(removed, 1);
    // The root moved one level up with the two halves below it.
    EXPECT_EQ(rootLevel(), 1);
    const testing::IndexShape shape = checked();
    EXPECT_EQ(shape.nodes, 3);
    EXPECT_EQ(shape.leafUsed.size(), 2u);
    EXPECT_EQ(f->indexAlloc.highest, highest + 2);
    std::vector<Walked> expected;
    for (int i = 1; i <= n; ++i) {
        if (i != 5) expected.push_back({text(number(i).data()), static_cast<uint32_t>(i), 0});
    }
    EXPECT_EQ(forward(), expected);
    EXPECT_EQ(backward(), expected);
    ASSERT_EQ(shape.entries.size(), expected.size());
    // The separator in the root is the lower half's last key.
    run([&] {
        pathPopAll(f, path);
        EXPECT_EQ(stepNode(f, path, path->head, kStepFirst), 1);
        const std::string separator = text(path->head->key);
        pathPush(f, path, path->head->pointer);
        EXPECT_EQ(stepNode(f, path, path->head, kStepLast), 1);
        EXPECT_EQ(text(path->head->key), separator);
        return 1;
    });
    // And the upper half's entry goes as well.
    ASSERT_EQ(remove(number(n - 1), static_cast<uint32_t>(n - 1)), 1);
    EXPECT_EQ(forward().size(), expected.size() - 1);
    checked();
}

// A node above the leaves whose follower would grow past the node when the
// entry of a released child goes: trailing compression lets a key share
// much with the removed one and little with the one before.
TEST_F(Shrink, ANodeAboveTheLeavesThatCannotAbsorbTheFollowerIsSplit) {
    const uint16_t flags = ISKEY_LEADCOMPRESS | ISKEY_TRAILCOMPRESS;
    make(flags, 256, 64);
    std::vector<Key> keys = {key("AA"), key("AB")};
    Key longer = key("AB");
    longer[63] = 'X';
    keys.push_back(longer);
    for (char c = 'C'; keys.size() < 33; ++c) keys.push_back(key(std::string("A") + c));
    const int32_t s = f->nodeSize;
    auto encode = [&](const std::vector<std::pair<Key, uint32_t>> &entries, int level) {
        std::vector<uint8_t> node(static_cast<size_t>(s), 0);
        int32_t at = 2;
        const uint8_t *prev = nullptr;
        for (const auto &[bytes, pointer] : entries) {
            at += compressKey(node.data() + at, prev, bytes.data(), flags, k);
            st4(node.data() + at, static_cast<int32_t>(pointer));
            at += 4;
            prev = bytes.data();
        }
        st2(node.data(), at);
        node[static_cast<size_t>(s - 2)] = static_cast<uint8_t>(level);
        return node;
    };
    // Root (block 3, level 1) over one leaf per key, blocks 4 on.
    std::vector<std::pair<Key, uint32_t>> separators;
    for (size_t i = 0; i < keys.size(); ++i) separators.push_back({keys[i], static_cast<uint32_t>(4 + i)});
    const auto root = encode(separators, 1);
    ASSERT_EQ(ld2(root.data()), 2 + 8 + 7 + 7 + 30 * 7);
    ASSERT_EQ(run([&] {
                  f->indexAlloc.highest = static_cast<uint32_t>(3 + keys.size());
                  writeNode(f, root.data(), path->rootNode);
                  for (size_t i = 0; i < keys.size(); ++i) {
                      writeNode(f, encode({{keys[i], static_cast<uint32_t>(100 + i)}}, 0).data(), static_cast<uint32_t>(4 + i));
                  }
                  writeDictionary(f);
                  pathInvalidate(f, kAccessRead);
                  return 1;
              }),
              1);
    ASSERT_EQ(checked().entries.size(), keys.size());
    // Removing "AB" releases its leaf; its root entry cannot go in place.
    ASSERT_EQ(remove(keys[1], 101), 1);
    EXPECT_EQ(removed, 1);
    EXPECT_EQ(rootLevel(), 2);
    const testing::IndexShape shape = checked();
    ASSERT_EQ(shape.entries.size(), keys.size() - 1);
    std::vector<Walked> expected;
    for (size_t i = 0; i < keys.size(); ++i) {
        if (i != 1) expected.push_back({text(keys[i].data()), static_cast<uint32_t>(100 + i), 0});
    }
    EXPECT_EQ(forward(), expected);
    EXPECT_EQ(backward(), expected);
}

TEST_F(Shrink, AStandingPathIsUsedAndTheKeylessFormRemovesItsEntry) {
    make(ISKEY_DUPS | ISKEY_LEADCOMPRESS);
    for (int i = 1; i <= 200; ++i) ASSERT_EQ(insert(number(i % 50), static_cast<uint32_t>(i)), 1);
    const int32_t partial = 3;  // as a partial start leaves it
    ASSERT_EQ(run([&] {
                  EXPECT_TRUE(position(number(7), 107));
                  path->compareLength = partial;
                  EXPECT_EQ(deleteKey(f, path, number(7).data(), 107), 1);
                  EXPECT_EQ(path->compareLength, partial);
                  path->compareLength = path->keyLength;
                  EXPECT_TRUE(position(number(8), 158));
                  path->compareLength = partial;
                  EXPECT_EQ(deleteKey(f, path, nullptr, 0), 1);
                  commit();
                  return 1;
              }),
              1);
    EXPECT_EQ(path->compareLength, partial);
    path->compareLength = path->keyLength;
    std::vector<uint32_t> sevens;
    std::vector<uint32_t> eights;
    for (const Walked &w : forward()) {
        if (w.key == text(number(7).data())) sevens.push_back(w.record);
        if (w.key == text(number(8).data())) eights.push_back(w.record);
    }
    EXPECT_EQ(sevens, (std::vector<uint32_t>{7, 57, 157}));
    EXPECT_EQ(eights, (std::vector<uint32_t>{8, 58, 108}));
    checked();
    // Without a key, a path standing nowhere names no entry.
    ASSERT_EQ(run([&] { return pathPopAll(f, path), 1; }), 1);
    ASSERT_EQ(run([&] { return deleteKey(f, path, nullptr, 0); }), 0);
    EXPECT_EQ(f->errorNumber, kErrNotFound);
}

TEST_F(Shrink, ADamagedLeafRaises105) {
    make(ISKEY_LEADCOMPRESS | ISKEY_TRAILCOMPRESS, 256, 16);
    for (int i = 1; i <= 5; ++i) ASSERT_EQ(insert(number(i), static_cast<uint32_t>(i)), 1);
    const std::vector<uint8_t> good = block(path->rootNode);
    // Each damage: (offset, byte).  The second entry starts at 2 + 2 + 8 + 4.
    const int32_t second = 2 + 2 + 8 + 4;
    const std::vector<std::pair<int32_t, uint8_t>> damages = {
        {second, 15},              // leading count: L + T > K
        {second + 1, 0},           // trailing count 0: the middle runs far
        {2, 3},                    // a leading count in the first entry
        {1, static_cast<uint8_t>(f->nodeSize - 4)},  // used length past the entries
    };
    testing::FatalCapture fatal;
    for (const auto &[offset, value] : damages) {
        SCOPED_TRACE(offset);
        std::vector<uint8_t> bad = good;
        bad[static_cast<size_t>(offset)] = value;
        if (offset == second + 1) st2(bad.data(), second + 9);  // the trailing 0 asks for 14 middle bytes
        // The node is read again when the path is invalidated or searched.
        EXPECT_EQ(run([&] {
                      writeNode(f, bad.data(), path->rootNode);
                      pathInvalidate(f, kAccessRead);
                      return deleteKey(f, path, number(5).data(), 5);
                  }),
                  0);
        EXPECT_EQ(f->errorNumber, kErrCorrupt);
        ASSERT_EQ(run([&] {
                      writeNode(f, good.data(), path->rootNode);
                      pathInvalidate(f, kAccessRead);
                      return 1;
                  }),
                  1);
    }
    ASSERT_EQ(remove(number(5), 5), 1);
    EXPECT_EQ(forward().size(), 4u);
}

// Model runs: random keys inserted, then half of them and then the rest
// deleted, with the tree walked both ways and checked after each phase.
struct ModelCase {
    const char *name;
    uint16_t flags;
    int32_t nodeSize;
    uint32_t seed;
};

class ShrinkModel : public Shrink, public ::testing::WithParamInterface<ModelCase> {
protected:
    struct Value {
        uint32_t record;
        uint64_t serial;
    };
    using Model = std::multimap<std::string, Value>;

    std::string randomKey() {
        static const char kLetters[] = "ABCD";
        const bool duplicates = (GetParam().flags & ISKEY_DUPS) != 0;
        if (duplicates && !pool.empty() && rng() % 2 == 0) return pool[rng() % pool.size()];
        const size_t length = 1 + rng() % static_cast<size_t>(k);
        std::string text(static_cast<size_t>(k), static_cast<char>(pad));
        for (size_t i = 0; i < length; ++i) text[i] = kLetters[rng() % 4];
        return text;
    }
    Key bytesOf(const std::string &text) const { return Key(text.begin(), text.end()); }

    void compare(const char *phase) {
        SCOPED_TRACE(phase);
        std::vector<Walked> expected;
        for (const auto &[text, value] : model) expected.push_back({text, value.record, value.serial});
        const std::vector<Walked> walk = forward();
        ASSERT_EQ(walk.size(), expected.size());
        EXPECT_TRUE(walk == expected) << show(walk);
        EXPECT_TRUE(backward() == expected);
        const testing::IndexShape shape = checked();
        ASSERT_EQ(shape.entries.size(), expected.size());
        for (size_t i = 0; i < expected.size(); ++i) {
            const auto &e = shape.entries[i];
            ASSERT_EQ(std::string(e.key.begin(), e.key.end()), expected[i].key) << i;
            ASSERT_EQ(e.pointer, expected[i].record) << i;
            ASSERT_EQ(e.serial, expected[i].serial) << i;
        }
    }

    void insertAll(int count) {
        std::vector<std::pair<std::string, uint32_t>> batch;
        while (count > 0) {
            const std::string text = randomKey();
            const bool duplicates = (GetParam().flags & ISKEY_DUPS) != 0;
            if (!duplicates && model.count(text) != 0) continue;
            const auto range = model.equal_range(text);
            const uint64_t serial = range.first == range.second ? 0 : std::prev(range.second)->second.serial + 1;
            model.insert(range.second, {text, Value{++lastRecord, serial}});
            batch.push_back({text, lastRecord});
            --count;
        }
        for (size_t from = 0; from < batch.size(); from += kBatch) {
            ASSERT_EQ(run([&] {
                          for (size_t i = from; i < std::min(batch.size(), from + kBatch); ++i) {
                              insertKey(f, path, bytesOf(batch[i].first).data(), batch[i].second);
                              pathFlush(f, 0);
                          }
                          freeListFlush(f);
                          writeDictionary(f);
                          return 1;
                      }),
                      1);
        }
    }

    // Deletes `count` entries chosen at random, each by one of three ways:
    // a search from the root, a path already standing on it, the keyless form.
    void deleteSome(size_t count) {
        std::vector<std::pair<std::string, uint32_t>> all;
        for (const auto &[text, value] : model) all.push_back({text, value.record});
        std::shuffle(all.begin(), all.end(), rng);
        all.resize(std::min(count, all.size()));
        for (const auto &[text, record] : all) {
            auto range = model.equal_range(text);
            auto it = std::find_if(range.first, range.second, [&](const auto &entry) { return entry.second.record == record; });
            model.erase(it);
        }
        for (size_t from = 0; from < all.size(); from += kBatch) {
            ASSERT_EQ(run([&] {
                          for (size_t i = from; i < std::min(all.size(), from + kBatch); ++i) {
                              const Key bytes = bytesOf(all[i].first);
                              const uint32_t record = all[i].second;
                              const unsigned way = rng() % 4;
                              if (way >= 2 && !position(bytes, record)) return 0;
                              if (deleteKey(f, path, way == 3 ? nullptr : bytes.data(), record) != 1) return 0;
                              pathFlush(f, 0);
                          }
                          freeListFlush(f);
                          writeDictionary(f);
                          return 1;
                      }),
                      1)
                << "errno " << f->errorNumber;
        }
    }

    static constexpr size_t kBatch = 500;
    std::mt19937 rng;
    uint32_t lastRecord = 0;
    std::vector<std::string> pool;
    Model model;
};

TEST_P(ShrinkModel, RandomKeysInsertedAndDeletedMatchTheModel) {
    const ModelCase &c = GetParam();
    make(c.flags, c.nodeSize, 12);
    rng.seed(c.seed);
    for (int i = 0; i < 1500; ++i) pool.push_back(randomKey());
    const int n = 20000;
    insertAll(n);
    compare("inserted");
    const uint32_t highest = f->indexAlloc.highest;
    deleteSome(model.size() / 2);
    compare("half deleted");
    insertAll(2000);
    compare("refilled");
    deleteSome(model.size());
    compare("all deleted");
    EXPECT_EQ(rootUsed(), 2);
    EXPECT_EQ(rootLevel(), 0);
    EXPECT_EQ(checked().nodes, 1);
    const uint32_t emptied = f->indexAlloc.highest;
    EXPECT_GE(emptied, highest);
    insertAll(3000);
    compare("refilled after emptying");
    EXPECT_EQ(f->indexAlloc.highest, emptied) << "released blocks are taken again first";
}

INSTANTIATE_TEST_SUITE_P(
    Flags, ShrinkModel,
    ::testing::Values(ModelCase{"Plain", 0, 512, 11}, ModelCase{"PlainDuplicates", ISKEY_DUPS, 512, 12},
                      ModelCase{"DupCompress", ISKEY_DUPCOMPRESS, 512, 13},
                      ModelCase{"DupCompressDuplicates", ISKEY_DUPS | ISKEY_DUPCOMPRESS, 512, 14},
                      ModelCase{"LeadCompress", ISKEY_LEADCOMPRESS, 512, 15},
                      ModelCase{"LeadCompressDuplicates", ISKEY_DUPS | ISKEY_LEADCOMPRESS, 512, 16},
                      ModelCase{"TrailCompress", ISKEY_TRAILCOMPRESS, 512, 17},
                      ModelCase{"TrailCompressDuplicates", ISKEY_DUPS | ISKEY_TRAILCOMPRESS, 512, 18},
                      ModelCase{"AllCompression", kCompressionFlags, 512, 19},
                      ModelCase{"AllCompressionDuplicates", ISKEY_DUPS | kCompressionFlags, 512, 20},
                      ModelCase{"AllCompressionNulPadDuplicates", ISKEY_DUPS | kCompressionFlags | ISKEY_NULLFILL, 1024, 21}),
    [](const ::testing::TestParamInfo<ModelCase> &info) { return std::string(info.param.name); });

}  // namespace
}  // namespace wisam
