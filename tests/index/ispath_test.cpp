// Tree paths: push, pop and the node cache, flushing and invalidation, and
// positioning at the edges of leaves.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "frame/iscall.h"
#include "lock/issession.h"
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

// An index of 8-digit character keys ("%08d"), plain unless flags say
// otherwise.
class Paths : public testing::DigitKeyIndex {
protected:
    int keyValue(const uint8_t *bytes) const { return std::atoi(std::string(reinterpret_cast<const char *>(bytes), 8).c_str()); }
    template <class Work>
    int run(Work work) {
        return file->call([&] { return work(); });
    }
    int current() const { return keyValue(path->head->key); }
    std::vector<int> forward() {
        std::vector<int> keys;
        run([&] {
            for (int r = treeFirst(f, path); r != 0; r = treeNext(f, path)) keys.push_back(current());
            return 1;
        });
        return keys;
    }
    // Removes the entry at the cursor of the head (a plain leaf) in memory,
    // as a deletion would, and writes it.
    void removeCurrent() {
        PathNode *leaf = path->head;
        const int32_t e = path->entrySize;
        std::memmove(leaf->data + leaf->position, leaf->data + leaf->position + e,
                     static_cast<size_t>(leaf->used - leaf->position - e));
        nodeChanged(f, leaf, leaf->used - e);
        ASSERT_EQ(file->call([&] { return pathFlush(f, 0), 1; }), 1);
    }
};

TEST_F(Paths, TheRootIsTheHeadOfAFreshPath) {
    make(0);
    ASSERT_NE(path->head, nullptr);
    EXPECT_EQ(path->head->number, path->rootNode);
    EXPECT_EQ(path->key.rootNode, path->rootNode);
    EXPECT_EQ(path->keyLength, 8);
    EXPECT_EQ(path->entrySize, 12);
    EXPECT_EQ(path->dupWidth, 0);
    EXPECT_EQ(path->cacheCount, 0);
    EXPECT_TRUE(pathIndexEmpty(f, path));
    EXPECT_EQ(run([&] { return pathPop(f, path); }), 0) << "nothing above the root";
}

TEST_F(Paths, SizesFollowTheKeyDescription) {
    make(ISKEY_DUPS | ISKEY_LEADCOMPRESS | ISKEY_TRAILCOMPRESS);
    EXPECT_EQ(path->dupWidth, 4);
    EXPECT_EQ(path->entrySize, 8 + 2 + 4 + 4);
    EXPECT_TRUE(pathCompressed(path));
}

TEST_F(Paths, ConsistencyFailuresAreReported) {
    make(0);
    for (int i = 0; i < 200; ++i) ASSERT_EQ(insert(i, static_cast<uint32_t>(i + 1)), 1);
    testing::FatalCapture fatal;
    EXPECT_EQ(run([&] { return pathPush(f, path, 0), 1; }), 0);
    EXPECT_TRUE(fatal.saw("fatal isam error ispath(79)"));
    EXPECT_EQ(isErrno(f), 105);
    ASSERT_EQ(run([&] { return treeFirst(f, path); }), 1);
    ASSERT_NE(path->head->parent, nullptr);
    EXPECT_EQ(run([&] { return pathSetRoot(f, path, path->rootNode), 1; }), 0);
    EXPECT_TRUE(fatal.saw("fatal isam error ispath(53)"));
    EXPECT_EQ(run([&] {
                  pathAttachSibling(f, path, 0);
                  pathAttachSibling(f, path, 0);
                  return 1;
              }),
              0);
    EXPECT_TRUE(fatal.saw("fatal isam error ispath(67)"));
    EXPECT_EQ(pathPop(nullptr, path), 0);
    EXPECT_TRUE(fatal.saw("fatal isam error ispath(100)"));
    const auto check = file->check();
    EXPECT_TRUE(check.ok()) << check.report();
}

TEST_F(Paths, ADescentIntoANodeOfTheWrongLevelIsDamage) {
    make(0);
    for (int i = 0; i < 200; ++i) ASSERT_EQ(insert(i, static_cast<uint32_t>(i + 1)), 1);
    // The root's first entry pointing at the root itself.
    auto bytes = file->fileBytes();
    const size_t root = static_cast<size_t>(path->rootNode - 1) * 1024;
    st4(&bytes[root + 2 + 8], static_cast<int32_t>(path->rootNode));
    testing::writeFile(file->woxPath(), bytes);
    ASSERT_EQ(run([&] { return pathInvalidate(f, kAccessRead), 1; }), 1);
    EXPECT_EQ(run([&] { return treeFirst(f, path); }), 0);
    EXPECT_EQ(isErrno(f), 105);
}

// A walk counts the leaves it crosses against the blocks of the file; every
// return to the root (an insertion's descent among them) starts it again.
TEST_F(Paths, AWalkGoesOnAfterAnInsertionMovedThePathBack) {
    make(0, 256);
    // 19 entries of 12 bytes to a 256-byte leaf; in this order of insertion
    // the leaves are left with room, so the insertion below stays in its
    // leaf and the path with it.
    for (int i = 0; i < 400; ++i) ASSERT_EQ(insert(2 * (i * 7 % 400), static_cast<uint32_t>(i + 1)), 1);
    std::vector<int> keys;
    const int ok = run([&] {
        for (int r = treeFirst(f, path); r != 0; r = treeNext(f, path)) keys.push_back(current());
        const auto low = key(1);
        insertKey(f, path, low.data(), 999);
        EXPECT_EQ(path->head->level, 0) << "the path stands in the leaf of the insertion";
        for (int r = treeNext(f, path); r != 0; r = treeNext(f, path)) keys.push_back(current());
        pathFlush(f, 0);
        return 1;
    });
    EXPECT_EQ(ok, 1) << isErrno(f);
    EXPECT_GT(keys.size(), 2u * 400 - 30) << "both walks crossed most leaves, more than the file has blocks";
    EXPECT_GT(keys.size() / 19, f->indexAlloc.highest) << "more leaves crossed than the file has blocks";
    EXPECT_EQ(keys.back(), 798);
}

// Crossing to the next leaf, the entry met must follow the one left: with
// duplicates, byte-identical keys rise in serial.
TEST_F(Paths, EqualKeysWhoseSerialsFallAcrossALeafBoundaryAreDamage) {
    make(ISKEY_DUPS, 256);
    // 16 entries of 16 bytes to a leaf.
    for (int i = 0; i < 40; ++i) ASSERT_EQ(insert(7, static_cast<uint32_t>(i + 1)), 1);
    ASSERT_EQ(forward().size(), 40u) << "a sound run of equal keys";
    uint32_t second = 0;
    int inFirst = 0;
    ASSERT_EQ(run([&] {
                  treeFirst(f, path);
                  const uint32_t first = path->head->number;
                  while (path->head->number == first && treeNext(f, path)) ++inFirst;
                  second = path->head->number;
                  return 1;
              }),
              1);
    ASSERT_NE(second, 0u);
    auto bytes = file->fileBytes();
    const size_t at = static_cast<size_t>(second - 1) * 256 + 2 + 8;
    st4(&bytes[at], 0);  // the serial of the second leaf's first entry
    testing::writeFile(file->woxPath(), bytes);
    ASSERT_EQ(run([&] { return pathInvalidate(f, kAccessRead), 1; }), 1);
    testing::FatalCapture fatal;
    int reads = 0;
    EXPECT_EQ(run([&] {
                  for (int r = treeFirst(f, path); r != 0; r = treeNext(f, path)) ++reads;
                  return 1;
              }),
              0);
    EXPECT_EQ(isErrno(f), 105);
    EXPECT_EQ(reads, inFirst) << "the first leaf, and no entry past the crossing";
    EXPECT_TRUE(fatal.saw("corrupted isam file: index block " + std::to_string(second)));
    // Backward the same crossing is met from the other side.
    EXPECT_EQ(run([&] {
                  for (int r = treeLast(f, path); r != 0; r = treePrev(f, path)) {
                  }
                  return 1;
              }),
              0);
    EXPECT_EQ(isErrno(f), 105);
}

TEST_F(Paths, TheCacheKeepsTheLast32PoppedNodesAndDropsTheOldest) {
    make(0);
    // 84 entries of 12 bytes fill a 1024-byte leaf: 40 full leaves.
    for (int i = 0; i < 84 * 40; ++i) ASSERT_EQ(insert(i, static_cast<uint32_t>(i + 1)), 1);
    std::vector<uint32_t> leaves;
    ASSERT_EQ(run([&] {
                  pathRelease(f, path);
                  pathSetRoot(f, path, path->rootNode);
                  uint32_t last = 0;
                  for (int r = treeFirst(f, path); r != 0; r = treeNext(f, path)) {
                      if (path->head->number != last) leaves.push_back(last = path->head->number);
                  }
                  return 1;
              }),
              1);
    ASSERT_EQ(leaves.size(), 40u);
    // 39 leaves were popped on the way and the last one once more at the
    // end; the oldest fell out, the rest are cached in order of release.
    ASSERT_EQ(path->cacheCount, 31) << "the last leaf is on the path";
    for (int i = 0; i < 31; ++i) EXPECT_EQ(path->cache[i]->number, leaves[static_cast<size_t>(i) + 8]) << i;
    // Back to the first leaf: the last one is cached, and the first, read
    // again, takes the place of the oldest cached node.
    ASSERT_EQ(run([&] { return treeFirst(f, path); }), 1);
    ASSERT_EQ(path->cacheCount, 31);
    EXPECT_EQ(path->cache[0]->number, leaves[9]);
    EXPECT_EQ(path->cache[30]->number, leaves.back());
    // Leaving it pops a 33rd node, and the next one read replaces the oldest.
    ASSERT_EQ(run([&] { return stepNode(f, path, path->head, kStepLast) && treeNext(f, path); }), 1);
    ASSERT_EQ(path->head->number, leaves[1]);
    ASSERT_EQ(path->cacheCount, 31);
    EXPECT_EQ(path->cache[0]->number, leaves[10]);
    EXPECT_EQ(path->cache[30]->number, leaves[0]);
    // Cached nodes are found again without reading.
    PathNode *cached = path->cache[20];
    const uint32_t number = cached->number;
    ASSERT_EQ(run([&] { return pathPopAll(f, path), pathPush(f, path, number), 1; }), 1);
    EXPECT_EQ(path->head, cached);
    EXPECT_EQ(path->cacheCount, 31) << "taken out of the cache";
    ASSERT_EQ(run([&] { return pathRelease(f, path), 1; }), 1);
    EXPECT_EQ(path->cacheCount, 0);
    EXPECT_TRUE(path->head == nullptr);
    ASSERT_EQ(run([&] { return pathSetRoot(f, path, path->rootNode), 1; }), 1);
    EXPECT_EQ(forward().size(), 84u * 40u);
}

TEST_F(Paths, AnEmptiedNodeIsReleasedUnwrittenWhenPopped) {
    make(0);
    for (int i = 0; i < 200; ++i) ASSERT_EQ(insert(i, static_cast<uint32_t>(i + 1)), 1);
    ASSERT_EQ(run([&] { return treeLast(f, path); }), 1);
    PathNode *leaf = path->head;
    const uint32_t number = leaf->number;
    const auto before = file->fileBytes();
    nodeChanged(f, leaf, 2);
    const uint32_t freeHead = f->indexAlloc.head;
    ASSERT_EQ(run([&] { return pathPop(f, path); }), 1);
    for (int32_t i = 0; i < path->cacheCount; ++i) EXPECT_NE(path->cache[i]->number, number);
    EXPECT_EQ(freeHead, 0u);
    EXPECT_EQ(f->indexAlloc.head, number) << "the first released node heads the list";
    EXPECT_EQ(file->fileBytes(), before) << "nothing written";
    // Leave the files as they were.
    ASSERT_EQ(run([&] { return raiseError(f, kErrCorrupt, 0), 1; }), 0);
}

TEST_F(Paths, NextAtTheLastAndPreviousAtTheFirstStayPut) {
    make(0);
    for (int i = 0; i < 300; ++i) ASSERT_EQ(insert(i * 2, static_cast<uint32_t>(i + 1)), 1);
    ASSERT_EQ(run([&] { return treeLast(f, path); }), 1);
    EXPECT_EQ(current(), 598);
    EXPECT_EQ(run([&] { return treeNext(f, path); }), 0);
    EXPECT_EQ(current(), 598);
    EXPECT_EQ(path->head->pointer, 300u);
    EXPECT_EQ(run([&] { return treePrev(f, path); }), 1);
    EXPECT_EQ(current(), 596);
    ASSERT_EQ(run([&] { return treeFirst(f, path); }), 1);
    EXPECT_EQ(run([&] { return treePrev(f, path); }), 0);
    EXPECT_EQ(current(), 0);
    EXPECT_EQ(run([&] { return treeNext(f, path); }), 1);
    EXPECT_EQ(current(), 2);
    // Searches past the end stay on the last entry.
    const auto beyond = key(999);
    EXPECT_EQ(run([&] { return treeFindGE(f, path, beyond.data()); }), 0);
    EXPECT_EQ(current(), 598);
    const auto last = key(598);
    EXPECT_EQ(run([&] { return treeFindGT(f, path, last.data()); }), 0);
    EXPECT_EQ(current(), 598);
    // From a path reset to its root, next is the first entry and previous
    // the last.
    ASSERT_EQ(run([&] { return pathFlush(f, 0), 1; }), 1);
    EXPECT_EQ(run([&] { return treeNext(f, path); }), 1);
    EXPECT_EQ(current(), 0);
    ASSERT_EQ(run([&] { return pathFlush(f, 0), 1; }), 1);
    EXPECT_EQ(run([&] { return treePrev(f, path); }), 1);
    EXPECT_EQ(current(), 598);
}

TEST_F(Paths, EqualKeysOverTwoLeavesAreFoundFromTheFirst) {
    make(ISKEY_DUPS);
    // 16-byte entries: 63 fill a leaf, the 64th equal key starts a new one
    // and the parent's separator equals the key.
    for (int i = 0; i < 64; ++i) ASSERT_EQ(insert(7, static_cast<uint32_t>(i + 1)), 1);
    ASSERT_EQ(insert(3, 100), 1);
    const auto check = file->check();
    ASSERT_TRUE(check.ok()) << check.report();
    ASSERT_EQ(check.indexes[0].height, 2);
    const auto seven = key(7);
    ASSERT_EQ(run([&] { return treeFindGE(f, path, seven.data()); }), 1);
    EXPECT_EQ(path->head->pointer, 1u);
    EXPECT_EQ(path->head->serial, 0u);
    ASSERT_EQ(run([&] { return treeFindGT(f, path, key(3).data()); }), 1);
    EXPECT_EQ(path->head->pointer, 1u);
    ASSERT_EQ(run([&] { return treeFindGT(f, path, seven.data()); }), 0);
    EXPECT_EQ(path->head->pointer, 64u) << "the last entry";
    EXPECT_EQ(path->head->serial, 63u);
}

TEST_F(Paths, ASearchBetweenTwoLeavesLandsOnTheNextLeaf) {
    make(0);
    for (int i = 0; i < 200; ++i) ASSERT_EQ(insert(i * 2, static_cast<uint32_t>(i + 1)), 1);
    // The first leaf's last key goes, its separator stays.
    ASSERT_EQ(run([&] { return treeFirst(f, path); }), 1);
    PathNode *first = path->head;
    ASSERT_EQ(run([&] { return stepNode(f, path, first, kStepLast); }), 1);
    const int removed = current();
    removeCurrent();
    const auto probe = key(removed - 1);
    ASSERT_EQ(run([&] { return treeFindGE(f, path, probe.data()); }), 1);
    EXPECT_EQ(current(), removed + 2);
    const auto same = key(removed);
    ASSERT_EQ(run([&] { return treeFindGT(f, path, same.data()); }), 1);
    EXPECT_EQ(current(), removed + 2);
    ASSERT_EQ(run([&] { return treeFindGE(f, path, same.data()); }), 1);
    EXPECT_EQ(current(), removed + 2);
}

TEST_F(Paths, CheckCurrentFindsTheSavedEntryOrWhatFollowsIt) {
    make(ISKEY_DUPS);
    for (int i = 0; i < 60; ++i) ASSERT_EQ(insert(i, static_cast<uint32_t>(i + 1)), 1);
    for (int i = 0; i < 5; ++i) ASSERT_EQ(insert(30, static_cast<uint32_t>(100 + i)), 1);
    // Saved: the third of the six 30s (serial 2, record 101).
    const auto thirty = key(30);
    std::memcpy(path->currentKey, thirty.data(), 8);
    path->currentRecord = 101;
    path->currentSerial = 2;
    ASSERT_EQ(run([&] { return treeCheckCurrent(f, path); }), 1);
    EXPECT_EQ(path->head->pointer, 101u);
    PathNode *standing = path->head;
    const int32_t position = standing->position;
    ASSERT_EQ(run([&] { return treeCheckCurrent(f, path); }), 1) << "already there";
    EXPECT_EQ(path->head, standing);
    EXPECT_EQ(standing->position, position);
    // The saved entry goes: the next equal key with a higher serial follows.
    removeCurrent();
    ASSERT_EQ(run([&] { return treeCheckCurrent(f, path); }), 1);
    EXPECT_EQ(path->head->pointer, 102u);
    EXPECT_EQ(path->head->serial, 3u);
    // Saved on the last 30 that is then removed: the next greater key.
    path->currentRecord = 104;
    path->currentSerial = 5;
    ASSERT_EQ(run([&] { return treeCheckCurrent(f, path); }), 1);
    ASSERT_EQ(path->head->pointer, 104u);
    removeCurrent();
    ASSERT_EQ(run([&] { return treeCheckCurrent(f, path); }), 1);
    EXPECT_EQ(current(), 31);
    // Saved past the end: nothing follows.
    const auto last = key(59);
    std::memcpy(path->currentKey, last.data(), 8);
    path->currentRecord = 60;
    path->currentSerial = 0;
    ASSERT_EQ(run([&] { return treeCheckCurrent(f, path); }), 1);
    removeCurrent();
    EXPECT_EQ(run([&] { return treeCheckCurrent(f, path); }), 0);
    // treeRefind on its own: the first entry at or after the saved one.
    std::memcpy(path->currentKey, thirty.data(), 8);
    path->currentSerial = 1;
    ASSERT_EQ(run([&] { return treeRefind(path, f); }), 1);
    EXPECT_EQ(path->head->pointer, 100u);
}

// The other process is played by writes behind the handle's back, as one
// that writes in place would make them (with the journal on, it would
// first clear the journal this handle's inserts leave).
TEST_F(Paths, AnotherProcessesChangeMakesEveryNodeReadAgain) {
    isJournalMode = 0;
    make(0);
    for (int i = 0; i < 300; ++i) ASSERT_EQ(insert(i * 2, static_cast<uint32_t>(i + 1)), 1);
    const auto target = key(100);
    ASSERT_EQ(run([&] { return treeFindGE(f, path, target.data()); }), 1);
    const uint32_t leaf = path->head->number;
    const int32_t at = path->head->position;
    // Change the leaf on the file behind the handle's back.
    auto bytes = file->fileBytes();
    const size_t where = static_cast<size_t>(leaf - 1) * 1024 + static_cast<size_t>(at) + 8;
    st4(&bytes[where], 4242);
    testing::writeFile(file->woxPath(), bytes);
    ASSERT_EQ(run([&] { return treeFindGE(f, path, target.data()); }), 1);
    EXPECT_EQ(path->head->pointer, 51u) << "cached nodes are used while the counter stands";
    // The change counter moves: refreshing drops every node.
    bytes = file->fileBytes();
    st4(&bytes[kDictChangeCount], ld4(&bytes[kDictChangeCount]) + 1);
    testing::writeFile(file->woxPath(), bytes);
    ASSERT_EQ(run([&] { return refreshFile(f), 1; }), 1);
    EXPECT_EQ(path->head->parent, nullptr);
    EXPECT_EQ(path->head->state, kNodeClean) << "the root is read at once";
    for (int32_t i = 0; i < path->cacheCount; ++i) EXPECT_EQ(path->cache[i]->state, kNodeUnread);
    ASSERT_EQ(run([&] { return treeFindGE(f, path, target.data()); }), 1);
    EXPECT_EQ(path->head->pointer, 4242u);
}

TEST_F(Paths, AFailedChangingCallDropsItsDirtyNodes) {
    make(0);
    for (int i = 0; i < 300; ++i) ASSERT_EQ(insert(i * 2, static_cast<uint32_t>(i + 1)), 1);
    const auto before = file->fileBytes();
    // Enough insertions to split leaves and the root, then a raise.
    EXPECT_EQ(file->call([&] {
                  for (int i = 0; i < 600; ++i) insertKey(f, path, key(i * 2 + 1).data(), static_cast<uint32_t>(1000 + i));
                  raiseError(f, kErrDuplicate, 0);
                  return 1;
              }),
              0);
    EXPECT_EQ(file->fileBytes(), before);
    const auto keys = forward();
    ASSERT_EQ(keys.size(), 300u);
    for (int i = 0; i < 300; ++i) EXPECT_EQ(keys[static_cast<size_t>(i)], i * 2);
    ASSERT_EQ(file->flush(), 1);
    const auto check = file->check();
    EXPECT_TRUE(check.ok()) << check.report();
    // The index goes on growing from where the file stands.
    for (int i = 0; i < 300; ++i) ASSERT_EQ(insert(i * 2 + 1, static_cast<uint32_t>(2000 + i)), 1);
    EXPECT_EQ(forward().size(), 600u);
    const auto after = file->check();
    EXPECT_TRUE(after.ok()) << after.report();
}

TEST_F(Paths, FlushingEveryIndexWritesEachOne) {
    make(0);
    ASSERT_EQ(file->addIndex(keyOf(ISKEY_DUPS | ISKEY_LEADCOMPRESS, {keyPart(0, 8, ISTYPE_CHAR)})), 1);
    TreePath *second = f->indexes[1];
    ASSERT_EQ(file->call([&] {
                  for (int i = 0; i < 400; ++i) {
                      insertKey(f, path, key(i).data(), static_cast<uint32_t>(i + 1));
                      insertKey(f, second, key(i % 7).data(), static_cast<uint32_t>(i + 1));
                      pathFlush(f, f->keyCount);
                  }
                  freeListFlush(f);
                  writeDictionary(f);
                  return 1;
              }),
              1);
    for (const TreePath *p : {path, second}) {
        EXPECT_EQ(p->head->parent, nullptr);
        EXPECT_EQ(p->head->state, kNodeClean);
        for (int32_t i = 0; i < p->cacheCount; ++i) EXPECT_NE(p->cache[i]->state, kNodeDirty);
    }
    const auto check = file->check();
    ASSERT_TRUE(check.ok()) << check.report();
    EXPECT_EQ(check.indexes[0].entries.size(), 400u);
    EXPECT_EQ(check.indexes[1].entries.size(), 400u);
}

TEST_F(Paths, ReleasingADirtyPathIsAConsistencyFailure) {
    make(0);
    testing::FatalCapture fatal;
    ASSERT_EQ(file->call([&] { return insertKey(f, path, key(1).data(), 1); }), 1);
    ASSERT_EQ(run([&] { return pathRelease(f, path), 1; }), 1);
    EXPECT_TRUE(fatal.saw("fatal isam error isnode(69)"));
    pathRelease(nullptr, path);
    EXPECT_TRUE(fatal.saw("fatal isam error ispath(269)"));
}

}  // namespace
}  // namespace wisam
