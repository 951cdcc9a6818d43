// Key compression, entry layouts and the cursor operations on one node.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "frame/iscall.h"
#include "index/iscomp.h"
#include "index/isgrow.h"
#include "index/isnode.h"
#include "index/ispath.h"
#include "structure/isencode.h"
#include "support/treecheck.h"
#include "wisam.h"

namespace wisam {
namespace {

using testing::keyOf;
using testing::keyPart;

std::vector<uint8_t> bytesOf(const std::string &text) { return std::vector<uint8_t>(text.begin(), text.end()); }

std::vector<uint8_t> compressed(const std::string &prev, const std::string &key, uint16_t flags, bool withPrev = true) {
    std::vector<uint8_t> out(key.size() + 2, 0xEE);
    const auto p = bytesOf(prev);
    const auto k = bytesOf(key);
    const int32_t n = compressKey(out.data(), withPrev ? p.data() : nullptr, k.data(), flags,
                                  static_cast<int32_t>(k.size()));
    EXPECT_EQ(compressKey(nullptr, withPrev ? p.data() : nullptr, k.data(), flags, static_cast<int32_t>(k.size())), n)
        << "counting agrees with writing";
    out.resize(static_cast<size_t>(n));
    return out;
}

TEST(CompressKey, LeadingAndTrailingCountsCutSharedAndPadBytes) {
    EXPECT_EQ(compressed("ABCDEFGH  ", "ABCXY     ", ISKEY_LEADCOMPRESS | ISKEY_TRAILCOMPRESS),
              (std::vector<uint8_t>{3, 5, 'X', 'Y'}));
}

TEST(CompressKey, EqualKeyWithDuplicateCompressionCarriesNoKeyBytes) {
    EXPECT_TRUE(compressed("ABCD", "ABCD", ISKEY_DUPCOMPRESS).empty());
    EXPECT_EQ(compressed("ABCD", "ABCD", ISKEY_DUPCOMPRESS, false), bytesOf("ABCD")) << "first entry of a node";
    EXPECT_EQ(compressed("ABCD", "ABCE", ISKEY_DUPCOMPRESS), bytesOf("ABCE"));
    // Without duplicate compression an equal key still has its count bytes.
    EXPECT_EQ(compressed("ABCD", "ABCD", ISKEY_LEADCOMPRESS), (std::vector<uint8_t>{4}));
}

TEST(CompressKey, FirstEntryHasLeadingCountZero) {
    EXPECT_EQ(compressed("ABCD", "ABCE", ISKEY_LEADCOMPRESS, false), (std::vector<uint8_t>{0, 'A', 'B', 'C', 'E'}));
}

TEST(CompressKey, PadOnlyKeyStoresNoMiddleBytes) {
    EXPECT_EQ(compressed("", "          ", ISKEY_TRAILCOMPRESS, false), (std::vector<uint8_t>{10}));
    EXPECT_EQ(compressed("", "          ", ISKEY_LEADCOMPRESS | ISKEY_TRAILCOMPRESS, false),
              (std::vector<uint8_t>{0, 10}));
}

TEST(CompressKey, TrailingRunNeverReachesIntoTheLeadingRun) {
    // All five bytes are shared, so nothing is left to count as padding.
    EXPECT_EQ(compressed("AB   ", "AB   ", ISKEY_LEADCOMPRESS | ISKEY_TRAILCOMPRESS), (std::vector<uint8_t>{5, 0}));
    EXPECT_EQ(compressed("AB  X", "AB   ", ISKEY_LEADCOMPRESS | ISKEY_TRAILCOMPRESS), (std::vector<uint8_t>{4, 1}));
}

TEST(CompressKey, CountsAreCappedAt255) {
    const std::string same(600, 'A');
    const auto lead = compressed(same, same, ISKEY_LEADCOMPRESS);
    ASSERT_EQ(lead.size(), 1u + 345u);
    EXPECT_EQ(lead[0], 255);
    const std::string blanks(600, ' ');
    const auto trail = compressed("", blanks, ISKEY_TRAILCOMPRESS, false);
    ASSERT_EQ(trail.size(), 1u + 345u);
    EXPECT_EQ(trail[0], 255);
}

TEST(CompressKey, NulFillPadsWithZeroBytes) {
    const std::string key("AB\0\0\0", 5);
    EXPECT_EQ(compressed("", key, ISKEY_TRAILCOMPRESS | ISKEY_NULLFILL, false), (std::vector<uint8_t>{3, 'A', 'B'}));
    EXPECT_EQ(compressed("", key, ISKEY_TRAILCOMPRESS, false), (std::vector<uint8_t>{0, 'A', 'B', 0, 0, 0}))
        << "blank is the pad without the flag";
}

// A fresh index with a K-byte character key and helpers to fill its root.
class NodeFixture : public ::testing::Test {
protected:
    void make(uint16_t flags, int16_t length, int32_t nodeSize = 4096) {
        file = std::make_unique<testing::IndexFile>(nodeSize);
        ASSERT_NE(file->f, nullptr);
        k = length;
        ASSERT_EQ(file->addIndex(keyOf(flags, {keyPart(0, length, ISTYPE_CHAR)})), 0);
        path = file->f->indexes[0];
    }
    std::vector<uint8_t> key(const std::string &text) const {
        std::vector<uint8_t> bytes(static_cast<size_t>(k), ' ');
        std::memcpy(bytes.data(), text.data(), std::min(text.size(), bytes.size()));
        return bytes;
    }
    int insert(const std::string &text, uint32_t record) {
        const auto bytes = key(text);
        return file->call([&] { return insertKey(file->f, path, bytes.data(), record); });
    }
    PathNode *root() const {
        PathNode *node = path->head;
        while (node->parent != nullptr) node = node->parent;
        return node;
    }
    std::vector<uint8_t> rootBytes() const {
        const PathNode *r = root();
        return std::vector<uint8_t>(r->data, r->data + r->used);
    }
    std::string currentKey() const {
        return std::string(reinterpret_cast<const char *>(path->head->key), static_cast<size_t>(k));
    }
    template <class Work>
    int run(Work work) {
        return file->call([&] { return work(); });
    }
    std::unique_ptr<testing::IndexFile> file;
    TreePath *path = nullptr;
    int16_t k = 0;
};

TEST_F(NodeFixture, CompressedEntriesAreLaidOutByteForByte) {
    make(ISKEY_DUPS | ISKEY_DUPCOMPRESS | ISKEY_LEADCOMPRESS | ISKEY_TRAILCOMPRESS, 8);
    ASSERT_EQ(insert("ABCD", 1), 1);
    EXPECT_EQ(rootBytes(), (std::vector<uint8_t>{0, 16, 0, 4, 'A', 'B', 'C', 'D', 0, 0, 0, 0, 0, 0, 0, 1}));
    // An equal key: serial and pointer only, the previous entry repeats.
    ASSERT_EQ(insert("ABCD", 2), 1);
    EXPECT_EQ(rootBytes(), (std::vector<uint8_t>{0, 24, 0, 4, 'A', 'B', 'C', 'D', 0, 0, 0, 0, 0x80, 0, 0, 1,
                                                 0, 0, 0, 1, 0, 0, 0, 2}));
    ASSERT_EQ(insert("ABCE", 3), 1);
    EXPECT_EQ(rootBytes(), (std::vector<uint8_t>{0, 35, 0, 4, 'A', 'B', 'C', 'D', 0, 0, 0, 0, 0x80, 0, 0, 1,
                                                 0, 0, 0, 1, 0, 0, 0, 2,
                                                 3, 4, 'E', 0, 0, 0, 0, 0, 0, 0, 3}));
    // A smaller key in front: the old first entry is re-encoded against it.
    ASSERT_EQ(insert("ABC", 4), 1);
    EXPECT_EQ(rootBytes(), (std::vector<uint8_t>{0, 45, 0, 5, 'A', 'B', 'C', 0, 0, 0, 0, 0, 0, 0, 4,
                                                 3, 4, 'D', 0, 0, 0, 0, 0x80, 0, 0, 1,
                                                 0, 0, 0, 1, 0, 0, 0, 2,
                                                 3, 4, 'E', 0, 0, 0, 0, 0, 0, 0, 3}));
    ASSERT_EQ(file->flush(), 1);
    const auto check = file->check();
    EXPECT_TRUE(check.ok()) << check.report();
}

TEST_F(NodeFixture, InsertingBetweenARepeatedKeyAndItsPredecessorKeepsBothDecodable) {
    make(ISKEY_DUPS | ISKEY_DUPCOMPRESS, 4);
    ASSERT_EQ(insert("BBBB", 1), 1);
    ASSERT_EQ(insert("BBBB", 2), 1);
    ASSERT_EQ(insert("AAAA", 3), 1);
    ASSERT_EQ(insert("CCCC", 4), 1);
    EXPECT_EQ(rootBytes(), (std::vector<uint8_t>{0, 46, 'A', 'A', 'A', 'A', 0, 0, 0, 0, 0, 0, 0, 3,
                                                 'B', 'B', 'B', 'B', 0, 0, 0, 0, 0x80, 0, 0, 1,
                                                 0, 0, 0, 1, 0, 0, 0, 2,
                                                 'C', 'C', 'C', 'C', 0, 0, 0, 0, 0, 0, 0, 4}));
    std::vector<std::string> keys;
    ASSERT_EQ(run([&] {
                  for (int r = treeFirst(file->f, path); r != 0; r = treeNext(file->f, path)) keys.push_back(currentKey());
                  return 1;
              }),
              1);
    EXPECT_EQ(keys, (std::vector<std::string>{"AAAA", "BBBB", "BBBB", "CCCC"}));
}

TEST_F(NodeFixture, PlainEntriesAreKeySerialPointer) {
    make(ISKEY_DUPS, 3);
    ASSERT_EQ(insert("xyz", 0x01020304), 1);
    ASSERT_EQ(insert("abc", 7), 1);
    ASSERT_EQ(insert("xyz", 9), 1);
    EXPECT_EQ(rootBytes(), (std::vector<uint8_t>{0, 35, 'a', 'b', 'c', 0, 0, 0, 0, 0, 0, 0, 7,
                                                 'x', 'y', 'z', 0, 0, 0, 0, 1, 2, 3, 4,
                                                 'x', 'y', 'z', 0, 0, 0, 1, 0, 0, 0, 9}));
}

TEST_F(NodeFixture, RecordNumbersLoseBit31) {
    make(0, 2);
    ASSERT_EQ(insert("aa", 0x80000005u), 1);
    EXPECT_EQ(rootBytes()[2 + 2], 0x00) << "bit 31 is never stored";
    ASSERT_EQ(run([&] { return treeFirst(file->f, path); }), 1);
    EXPECT_EQ(path->head->pointer, 5u);
}

// The pointers a sequential read looks ahead at, and the seek by pointer
// that a delete among equal keys uses: both read plain entries in place and
// never look outside the node.
TEST_F(NodeFixture, PlainPointersAheadAndTheSeekByPointer) {
    make(ISKEY_DUPS, 4);
    for (uint32_t r = 1; r <= 6; ++r) ASSERT_EQ(insert(r <= 3 ? "aa" : "bb", 100 + r), 1);
    PathNode *r = root();
    nodeResetCursor(r);
    EXPECT_EQ(plainPointerAhead(path, r, 1), 0u) << "a cursor standing nowhere";
    ASSERT_EQ(run([&] { return stepNode(file->f, path, r, kStepFirst); }), 1);
    EXPECT_EQ(plainPointerAhead(path, r, 1), 102u);
    EXPECT_EQ(plainPointerAhead(path, r, 2), 103u);
    EXPECT_EQ(plainPointerAhead(path, r, 5), 106u);
    EXPECT_EQ(plainPointerAhead(path, r, 6), 0u) << "past the last entry";
    EXPECT_EQ(plainPointerAhead(path, r, -1), 0u) << "before the first entry";
    EXPECT_EQ(seekPlainPointer(path, r, 105), 1);
    EXPECT_EQ(r->pointer, 105u);
    EXPECT_EQ(plainPointerAhead(path, r, -2), 103u);
    EXPECT_EQ(seekPlainPointer(path, r, 102), 0) << "only entries after the cursor count";
    EXPECT_EQ(r->pointer, 106u) << "left on the last entry";
    make(ISKEY_DUPS | ISKEY_DUPCOMPRESS, 4);
    ASSERT_EQ(insert("aa", 1), 1);
    ASSERT_EQ(insert("aa", 2), 1);
    ASSERT_EQ(run([&] { return stepNode(file->f, path, root(), kStepFirst); }), 1);
    EXPECT_EQ(plainPointerAhead(path, root(), 1), 0u) << "a compressed node is not read ahead";
}

// The duplicate notice of a read looks at the serial of the entry after the
// cursor in place, in both node forms; the cursor stays where it was.
TEST_F(NodeFixture, TheSerialAfterTheCursorIsReadInPlace) {
    const int compressions[] = {0, ISKEY_DUPCOMPRESS | ISKEY_LEADCOMPRESS | ISKEY_TRAILCOMPRESS, ISKEY_LEADCOMPRESS,
                                ISKEY_TRAILCOMPRESS};
    for (int flags : compressions) {
        make(static_cast<uint16_t>(ISKEY_DUPS | flags), 6);
        const std::vector<std::string> texts = {"ab", "ab", "abc", "b", "b", "b"};
        for (size_t i = 0; i < texts.size(); ++i) ASSERT_EQ(insert(texts[i], static_cast<uint32_t>(i + 1)), 1);
        PathNode *r = root();
        nodeResetCursor(r);
        uint64_t serial = 99;
        EXPECT_FALSE(serialAfterCursor(file->f, path, r, serial)) << "a cursor standing nowhere";
        std::vector<uint64_t> seen;
        ASSERT_EQ(run([&] { return stepNode(file->f, path, r, kStepFirst); }), 1);
        do {
            const int32_t at = r->position;
            if (!serialAfterCursor(file->f, path, r, serial)) break;
            EXPECT_EQ(r->position, at) << "the cursor does not move";
            seen.push_back(serial);
        } while (run([&] { return stepNode(file->f, path, r, kStepNext); }) == 1);
        EXPECT_EQ(seen, (std::vector<uint64_t>{1, 0, 0, 1, 2})) << flags;
        EXPECT_EQ(r->pointer, 6u) << "the last entry has none after it";
    }
}

TEST_F(NodeFixture, TheSerialAfterTheCursorChecksTheCountsItSkips) {
    make(ISKEY_DUPS | ISKEY_LEADCOMPRESS | ISKEY_TRAILCOMPRESS, 6);
    ASSERT_EQ(insert("ab", 1), 1);
    ASSERT_EQ(insert("ac", 2), 1);
    ASSERT_EQ(file->flush(), 1);
    PathNode *r = root();
    ASSERT_EQ(run([&] { return stepNode(file->f, path, r, kStepFirst); }), 1);
    r->data[r->next] = 200;  // the second entry's leading count, with its trailing one past 6
    testing::FatalCapture fatal;
    uint64_t serial = 0;
    EXPECT_EQ(run([&] { return serialAfterCursor(file->f, path, r, serial) ? 1 : 2; }), 0);
    EXPECT_EQ(isErrno(file->f), EBADFILE);
    ASSERT_EQ(fatal.texts().size(), 2u);
    EXPECT_EQ(fatal.texts()[0], "fatal isam error iscomp(97)");
    EXPECT_EQ(fatal.texts()[1], "corrupted isam file: index block " + std::to_string(r->number));
    // The failed call dropped what the node held; read and step again.
    r = root();
    ASSERT_EQ(run([&] { return stepNode(file->f, path, r, kStepFirst); }), 1);
    r->used = r->next + 3;  // the second entry runs past the used length
    EXPECT_EQ(run([&] { return serialAfterCursor(file->f, path, r, serial) ? 1 : 2; }), 0);
    EXPECT_EQ(fatal.texts().back(), "corrupted isam file: index block " + std::to_string(r->number));
}

// Parts of length 0 make a valid key of no bytes; a compressed node of such
// keys still has a place for its current key.
TEST_F(NodeFixture, AKeyOfNoBytesIsWalkedInACompressedNode) {
    make(ISKEY_DUPS | ISKEY_LEADCOMPRESS | ISKEY_TRAILCOMPRESS, 0);
    const uint8_t none[1] = {};
    for (uint32_t r = 1; r <= 5; ++r) ASSERT_EQ(run([&] { return insertKey(file->f, path, none, r); }), 1);
    EXPECT_EQ(rootBytes(), (std::vector<uint8_t>{0, 52, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 1, 0, 0, 0, 2,
                                                 0, 0, 0, 0, 0, 2, 0, 0, 0, 3, 0, 0, 0, 0, 0, 3, 0, 0, 0, 4,
                                                 0, 0, 0, 0, 0, 4, 0, 0, 0, 5}));
    std::vector<uint32_t> pointers;
    ASSERT_EQ(run([&] {
                  for (int r = treeFirst(file->f, path); r != 0; r = treeNext(file->f, path)) {
                      EXPECT_NE(path->head->key, nullptr);
                      pointers.push_back(path->head->pointer);
                  }
                  return 1;
              }),
              1);
    EXPECT_EQ(pointers, (std::vector<uint32_t>{1, 2, 3, 4, 5}));
    EXPECT_NE(root()->keyBuffer, nullptr);
}

TEST_F(NodeFixture, ExpandingEntriesRebuildsEveryKey) {
    make(ISKEY_DUPS | ISKEY_DUPCOMPRESS | ISKEY_LEADCOMPRESS | ISKEY_TRAILCOMPRESS, 10);
    const std::vector<std::string> texts = {"ABCDEFGH", "ABCXY", "ABCXY", "ABD", "Q"};
    for (size_t i = 0; i < texts.size(); ++i) ASSERT_EQ(insert(texts[i], static_cast<uint32_t>(i + 1)), 1);
    PathNode *r = root();
    std::vector<uint8_t> buffer(10, 0);
    EntryView last;
    int32_t spanned = 0;
    ASSERT_EQ(run([&] {
                  spanned = expandEntries(file->f, path, r->data, r->used, buffer.data(), 0, r->used, &last);
                  return 1;
              }),
              1);
    EXPECT_EQ(spanned, r->used - 2);
    EXPECT_EQ(buffer, key("Q"));
    EXPECT_EQ(last.next, r->used);
    // One entry at a time through the cursor.
    std::vector<std::string> keys;
    ASSERT_EQ(run([&] {
                  for (int32_t at = 2; at < r->used;) {
                      at = expandEntry(file->f, path, r, at);
                      keys.emplace_back(reinterpret_cast<const char *>(r->key), 10);
                  }
                  return 1;
              }),
              1);
    ASSERT_EQ(keys.size(), texts.size());
    for (size_t i = 0; i < texts.size(); ++i) {
        EXPECT_EQ(keys[i], std::string(reinterpret_cast<const char *>(key(texts[i]).data()), 10)) << i;
    }
}

TEST_F(NodeFixture, LeadingPlusTrailingBeyondTheKeyIsReportedAndRaises105) {
    make(ISKEY_LEADCOMPRESS | ISKEY_TRAILCOMPRESS, 10);
    ASSERT_EQ(insert("ABCDEFGH", 1), 1);
    ASSERT_EQ(insert("ABCXY", 2), 1);
    ASSERT_EQ(file->flush(), 1);
    PathNode *r = root();
    r->data[2 + 2 + 8 + 4 + 1] = 9;  // second entry: L = 3, T = 9
    testing::FatalCapture fatal;
    r->position = 0;
    EXPECT_EQ(run([&] { return stepNode(file->f, path, r, kStepLast); }), 0);
    EXPECT_EQ(isErrno(file->f), 105);
    EXPECT_TRUE(fatal.saw("fatal isam error iscomp(97)"));
    std::vector<uint8_t> buffer(10, 0);
    EXPECT_EQ(run([&] { return expandEntries(file->f, path, r->data, r->used, buffer.data(), 0, r->used), 1; }), 0);
    EXPECT_EQ(isErrno(file->f), 105);
    EXPECT_TRUE(fatal.saw("fatal isam error iscomp(148)"));
}

TEST_F(NodeFixture, DamagedEntriesNeverReadPastTheUsedLength) {
    make(ISKEY_LEADCOMPRESS, 10);
    ASSERT_EQ(insert("ABCDEFGH", 1), 1);
    ASSERT_EQ(insert("ABCXY", 2), 1);
    ASSERT_EQ(file->flush(), 1);
    PathNode *r = root();
    const int32_t used = r->used;
    // The second entry claims fewer shared bytes, so it runs past U.
    r->data[2 + 1 + 10 + 4] = 0;
    r->position = 0;
    EXPECT_EQ(run([&] { return stepNode(file->f, path, r, kStepLast); }), 0);
    EXPECT_EQ(isErrno(file->f), 105);
    // A first entry with a leading count is no node of ours.
    r->data[2 + 1 + 10 + 4] = 3;
    r->data[2] = 1;
    r->position = 0;
    EXPECT_EQ(run([&] { return stepNode(file->f, path, r, kStepFirst); }), 0);
    EXPECT_EQ(isErrno(file->f), 105);
    EXPECT_EQ(r->used, used);
}

TEST_F(NodeFixture, EntryOffsetOutsideTheNodeIsReported) {
    make(ISKEY_LEADCOMPRESS, 4);
    ASSERT_EQ(insert("ABCD", 1), 1);
    ASSERT_EQ(file->flush(), 1);
    testing::FatalCapture fatal;
    PathNode *r = root();
    EXPECT_EQ(run([&] { return expandEntry(file->f, path, r, r->used), 1; }), 0);
    EXPECT_TRUE(fatal.saw("fatal isam error iscomp(75)"));
    EXPECT_EQ(run([&] { return expandEntry(file->f, path, r, 3), 1; }), 0);
    EXPECT_EQ(isErrno(file->f), 105);
}

class StepBothForms : public NodeFixture, public ::testing::WithParamInterface<uint16_t> {};

TEST_P(StepBothForms, StepsWalkEveryEntryAndStopAtTheEnds) {
    make(GetParam(), 6);
    const std::vector<std::string> texts = {"b", "d", "d", "f", "h"};
    for (size_t i = 0; i < texts.size(); ++i) ASSERT_EQ(insert(texts[i], static_cast<uint32_t>(10 + i)), 1);
    PathNode *r = root();
    auto step = [&](int direction) { return run([&] { return stepNode(file->f, path, r, direction); }); };
    // From nowhere: next is the first entry, previous the last.
    nodeResetCursor(r);
    ASSERT_EQ(step(kStepNext), 1);
    EXPECT_EQ(r->pointer, 10u);
    nodeResetCursor(r);
    ASSERT_EQ(step(kStepPrev), 1);
    EXPECT_EQ(r->pointer, 14u);
    std::vector<uint32_t> forward;
    for (int ok = step(kStepFirst); ok == 1; ok = step(kStepNext)) forward.push_back(r->pointer);
    EXPECT_EQ(forward, (std::vector<uint32_t>{10, 11, 12, 13, 14}));
    EXPECT_EQ(r->pointer, 14u) << "next at the last entry leaves the cursor";
    EXPECT_EQ(r->next, r->used);
    std::vector<uint32_t> backward;
    for (int ok = step(kStepLast); ok == 1; ok = step(kStepPrev)) backward.push_back(r->pointer);
    EXPECT_EQ(backward, (std::vector<uint32_t>{14, 13, 12, 11, 10}));
    EXPECT_EQ(r->position, 2) << "previous at the first entry leaves the cursor";
    ASSERT_EQ(step(kStepLast), 1);
    EXPECT_EQ(currentKey(), std::string(reinterpret_cast<const char *>(key("h").data()), 6));
    ASSERT_EQ(step(kStepPrev), 1);
    ASSERT_EQ(step(kStepPrev), 1);
    EXPECT_EQ(r->serial, 1u) << "second d";
    EXPECT_EQ(currentKey(), std::string(reinterpret_cast<const char *>(key("d").data()), 6));
}

TEST_P(StepBothForms, FindsTheFirstEntryAtOrAfterAndAfterTheSearchKey) {
    make(GetParam(), 6);
    const std::vector<std::string> texts = {"b", "d", "d", "f", "h"};
    for (size_t i = 0; i < texts.size(); ++i) ASSERT_EQ(insert(texts[i], static_cast<uint32_t>(10 + i)), 1);
    PathNode *r = root();
    struct Probe {
        std::string key;
        bool greater;
        int result;
        uint32_t pointer;
    };
    const std::vector<Probe> probes = {
        {"a", false, 1, 10}, {"b", false, 1, 10}, {"c", false, 1, 11}, {"d", false, 1, 11}, {"e", false, 1, 13},
        {"h", false, 1, 14}, {"i", false, 0, 14}, {"a", true, 1, 10},  {"b", true, 1, 11},  {"d", true, 1, 13},
        {"g", true, 1, 14},  {"h", true, 0, 14},  {"z", true, 0, 14},
    };
    // Each probe starts from wherever the previous one left the cursor, and
    // from nowhere, so that both scan directions are exercised.
    for (int fromNowhere = 0; fromNowhere < 2; ++fromNowhere) {
        for (const auto &p : probes) {
            if (fromNowhere) nodeResetCursor(r);
            const auto bytes = key(p.key);
            const int result = run([&] { return findInNode(file->f, path, r, bytes.data(), p.greater); });
            EXPECT_EQ(result, p.result) << p.key << (p.greater ? " >" : " >=");
            EXPECT_EQ(r->pointer, p.pointer) << p.key << (p.greater ? " >" : " >=");
        }
        for (auto it = probes.rbegin(); it != probes.rend(); ++it) {
            const auto bytes = key(it->key);
            const int result = run([&] { return findInNode(file->f, path, r, bytes.data(), it->greater); });
            EXPECT_EQ(result, it->result) << it->key;
            EXPECT_EQ(r->pointer, it->pointer) << it->key;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Forms, StepBothForms,
                         ::testing::Values(uint16_t{ISKEY_DUPS}, uint16_t{ISKEY_DUPS | ISKEY_DUPCOMPRESS},
                                           uint16_t{ISKEY_DUPS | ISKEY_LEADCOMPRESS | ISKEY_TRAILCOMPRESS},
                                           uint16_t{ISKEY_DUPS | ISKEY_DUPCOMPRESS | ISKEY_LEADCOMPRESS |
                                                    ISKEY_TRAILCOMPRESS | ISKEY_NULLFILL}));

TEST_F(NodeFixture, PathLevelCursorOperationsWorkOnTheDeepestNode) {
    make(0, 4);
    ASSERT_EQ(insert("bbbb", 1), 1);
    ASSERT_EQ(insert("dddd", 2), 1);
    const auto c = key("c");
    ASSERT_EQ(run([&] { return nodeFindGE(file->f, path, c.data()); }), 1);
    EXPECT_EQ(path->head->pointer, 2u);
    ASSERT_EQ(run([&] { return nodeStep(file->f, path, kStepPrev); }), 1);
    EXPECT_EQ(path->head->pointer, 1u);
    const auto d = key("dddd");
    ASSERT_EQ(run([&] { return nodeFindGT(file->f, path, d.data()); }), 0);
    EXPECT_EQ(path->head->pointer, 2u);
}

}  // namespace
}  // namespace wisam
