// Tree nodes: the block layout, reading and writing, the PathNode life cycle
// and the checks applied to every node read.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "frame/iscall.h"
#include "index/isgrow.h"
#include "index/isidxio.h"
#include "index/isnode.h"
#include "index/ispath.h"
#include "structure/isencode.h"
#include "support/treecheck.h"
#include "wisam.h"

namespace wisam {
namespace {

using testing::keyOf;
using testing::keyPart;

class Nodes : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(file.f, nullptr);
        ASSERT_EQ(file.addIndex(keyOf(0, {keyPart(0, 4, ISTYPE_CHAR)})), 0);
        path = file.f->indexes[0];
    }
    std::vector<uint8_t> block(uint32_t n) const {
        const auto bytes = file.fileBytes();
        const size_t at = static_cast<size_t>(n - 1) * 1024;
        if (bytes.size() < at + 1024) return {};
        return std::vector<uint8_t>(bytes.begin() + static_cast<long>(at), bytes.begin() + static_cast<long>(at) + 1024);
    }
    void putBlock(uint32_t n, const std::vector<uint8_t> &data) {
        auto bytes = file.fileBytes();
        const size_t at = static_cast<size_t>(n - 1) * 1024;
        if (bytes.size() < at + 1024) bytes.resize(at + 1024, 0);
        std::memcpy(bytes.data() + at, data.data(), 1024);
        testing::writeFile(file.woxPath(), bytes);
    }
    // A node loaded from block n, or null after a raise (error in `error`).
    PathNode *load(uint32_t n, int &error) {
        PathNode *node = nullptr;
        const int ok = file.call([&] {
            node = nodeAllocate(file.f, path, n);
            nodeLoad(file.f, path, node);
            return 1;
        });
        error = ok ? 0 : isErrno(file.f);
        if (!ok && node != nullptr) node = nodeDiscard(node);
        return node;
    }
    testing::IndexFile file{1024};
    TreePath *path = nullptr;
};

TEST_F(Nodes, AFreshIndexHasAnEmptyLeafRoot) {
    const auto root = block(path->rootNode);
    ASSERT_EQ(root.size(), 1024u);
    EXPECT_EQ(ld2(root.data()), 2);
    EXPECT_EQ(root[1024 - 3], 0);
    EXPECT_EQ(root[1024 - 2], 0) << "level 0";
    EXPECT_EQ(root[1024 - 1], 0);
    ASSERT_NE(path->head, nullptr);
    EXPECT_EQ(path->head->number, path->rootNode);
    EXPECT_EQ(path->head->state, kNodeClean);
    EXPECT_EQ(path->head->used, 2);
    EXPECT_EQ(path->head->level, 0);
    EXPECT_TRUE(path->head->parent == nullptr);
}

TEST_F(Nodes, WriteAndReadAWholeBlock) {
    std::vector<uint8_t> out(1024, 0);
    st2(out.data(), 8);
    std::memcpy(out.data() + 2, "abcd", 4);
    out[1024 - 2] = 3;
    std::vector<uint8_t> in(1024, 0xEE);
    ASSERT_EQ(file.call([&] {
                  writeNode(file.f, out.data(), path->rootNode);
                  readIndexBlock(file.f, path->rootNode, in.data());
                  return 1;
              }),
              1);
    EXPECT_EQ(in, out);
    EXPECT_EQ(block(path->rootNode), out);
}

TEST_F(Nodes, LoadParsesUsedLengthAndLevelAndReadsOnlyOnce) {
    std::vector<uint8_t> data(1024, 0);
    st2(data.data(), 2 + 8 * 2);
    data[1024 - 2] = 2;
    putBlock(path->rootNode, data);
    int error = 0;
    PathNode *node = load(path->rootNode, error);
    ASSERT_NE(node, nullptr) << error;
    EXPECT_EQ(node->used, 18);
    EXPECT_EQ(node->level, 2);
    EXPECT_EQ(node->state, kNodeClean);
    EXPECT_EQ(node->position, 0);
    // A clean node is used as it is, whatever the file holds now.
    data[1024 - 2] = 5;
    putBlock(path->rootNode, data);
    ASSERT_EQ(file.call([&] { return nodeLoad(file.f, path, node), 1; }), 1);
    EXPECT_EQ(node->level, 2);
    node = nodeFree(node);
}

// Through the block cache a load copies only the entries and the trailer;
// a changed node is written with zeros between them, whatever the unused
// bytes held on disk.
TEST_F(Nodes, ACachedLoadKeepsEntriesAndAChangedNodeIsWrittenWithAZeroGap) {
    const int32_t savedActive = isFileCacheActive;
    isFileCacheActive = 1;
    startFileCache(file.f);
    auto entry = [](const char *key, int32_t pointer) {
        std::vector<uint8_t> bytes(key, key + 4);
        bytes.resize(8);
        st4(bytes.data() + 4, pointer);
        return bytes;
    };
    std::vector<uint8_t> data(1024, 0xEE);
    st2(data.data(), 2 + 8 * 2);
    std::memcpy(data.data() + 2, entry("aaaa", 1).data(), 8);
    std::memcpy(data.data() + 10, entry("cccc", 2).data(), 8);
    data[1024 - 3] = 0;
    data[1024 - 2] = 0;
    data[1024 - 1] = 0;
    putBlock(path->rootNode, data);
    PathNode *node = nullptr;
    ASSERT_EQ(file.call([&] {
                  node = nodeAllocate(file.f, path, path->rootNode);
                  std::memset(node->data, 0x55, 1024);  // as a buffer used before
                  nodeLoad(file.f, path, node);
                  return 1;
              }),
              1);
    EXPECT_EQ(node->used, 18);
    EXPECT_EQ(std::memcmp(node->data, data.data(), 18), 0);
    EXPECT_EQ(node->data[18], 0x55) << "the unused bytes are not copied";
    EXPECT_EQ(std::memcmp(node->data + 1024 - 3, data.data() + 1024 - 3, 3), 0);
    ASSERT_EQ(file.call([&] {
                  std::memmove(node->data + 18, node->data + 10, 8);  // "cccc" one entry on
                  std::memcpy(node->data + 10, entry("bbbb", 3).data(), 8);
                  nodeChanged(file.f, node, 26);
                  nodeStore(file.f, node);
                  return 1;
              }),
              1);
    const auto stored = block(path->rootNode);
    ASSERT_EQ(stored.size(), 1024u);
    EXPECT_EQ(ld2(stored.data()), 26);
    EXPECT_EQ(std::vector<uint8_t>(stored.begin() + 2, stored.begin() + 10), entry("aaaa", 1));
    EXPECT_EQ(std::vector<uint8_t>(stored.begin() + 10, stored.begin() + 18), entry("bbbb", 3));
    EXPECT_EQ(std::vector<uint8_t>(stored.begin() + 18, stored.begin() + 26), entry("cccc", 2));
    for (int i = 26; i < 1024; ++i) ASSERT_EQ(stored[size_t(i)], 0) << "byte " << i;
    node = nodeFree(node);
    stopFileCache(file.f);
    isFileCacheActive = savedActive;
}

TEST_F(Nodes, DamagedNodesRaise105) {
    struct Case {
        const char *what;
        int used;
        uint8_t mark;
        uint8_t last;
    };
    // 8-byte entries (K 4 + pointer 4): the used length must be 2 + 8n and
    // below S - 4.
    const Case cases[] = {
        {"used length below 2", 1, 0, 0},         {"used length reaching S - 4", 1020, 0, 0},
        {"used length beyond the block", 4000, 0, 0}, {"no whole entry", 2 + 8 + 3, 0, 0},
        {"free-list marker", 2 + 8, 0xFF, 0},     {"last byte set", 2 + 8, 0, 1},
    };
    for (const Case &c : cases) {
        std::vector<uint8_t> data(1024, 0);
        st2(data.data(), c.used);
        data[1024 - 3] = c.mark;
        data[1024 - 1] = c.last;
        putBlock(path->rootNode, data);
        int error = 0;
        PathNode *node = load(path->rootNode, error);
        EXPECT_EQ(node, nullptr) << c.what;
        EXPECT_EQ(error, 105) << c.what;
        if (node != nullptr) nodeDiscard(node);
    }
    // A block number outside the file.
    int error = 0;
    EXPECT_EQ(load(file.f->indexAlloc.highest + 1, error), nullptr);
    EXPECT_EQ(error, 105);
}

TEST_F(Nodes, StoreWritesOnlyDirtyNodesAndMakesThemClean) {
    PathNode *root = path->head;
    root->data[2] = 'z';  // not marked: must not reach the file
    ASSERT_EQ(file.call([&] { return nodeStore(file.f, root), 1; }), 1);
    EXPECT_EQ(block(path->rootNode)[2], 0);
    nodeChanged(file.f, root, 2 + 8);
    EXPECT_EQ(root->state, kNodeDirty);
    ASSERT_EQ(file.call([&] { return nodeStore(file.f, root), 1; }), 1);
    EXPECT_EQ(root->state, kNodeClean);
    const auto stored = block(path->rootNode);
    EXPECT_EQ(ld2(stored.data()), 10);
    EXPECT_EQ(stored[2], 'z');
}

TEST_F(Nodes, ChangesResetTheCursorAndStoreUsedLengthAndLevel) {
    PathNode *root = path->head;
    root->position = 2;
    root->next = 10;
    root->level = 4;
    nodeChanged(file.f, root, 10);
    EXPECT_EQ(root->position, 0);
    EXPECT_EQ(root->next, 0);
    EXPECT_TRUE(root->key == nullptr);
    EXPECT_EQ(ld2(root->data), 10);
    EXPECT_EQ(root->data[1024 - 2], 4);
    nodeInitEmpty(file.f, root, 1);
    EXPECT_EQ(root->used, 2);
    EXPECT_EQ(root->data[1024 - 2], 1);
    EXPECT_EQ(root->data[2], 0);
    // Leave the index as it was on the file.
    root->state = kNodeClean;
}

TEST_F(Nodes, StoringANodeWithASiblingIsAConsistencyFailure) {
    testing::FatalCapture fatal;
    PathNode *sibling = nullptr;
    ASSERT_EQ(file.call([&] { return (sibling = pathAttachSibling(file.f, path, 0)) != nullptr; }), 1);
    EXPECT_EQ(file.call([&] { return nodeStore(file.f, path->head), 1; }), 0);
    EXPECT_TRUE(fatal.saw("fatal isam error isidxio(41)"));
    EXPECT_EQ(isErrno(file.f), 105);
}

TEST_F(Nodes, FreeingChecksSiblingAndState) {
    testing::FatalCapture fatal;
    PathNode *node = nullptr;
    ASSERT_EQ(file.call([&] { return (node = nodeAllocate(file.f, path, 9)) != nullptr; }), 1);
    EXPECT_EQ(node->state, kNodeUnread);
    EXPECT_TRUE(node->keyBuffer == nullptr) << "plain index";
    node->sibling = nodeAllocate(file.f, path, 10);
    nodeFree(node);
    EXPECT_TRUE(fatal.saw("fatal isam error isnode(67)"));
    ASSERT_EQ(file.call([&] { return (node = nodeAllocate(file.f, path, 9)) != nullptr; }), 1);
    node->state = kNodeDirty;
    nodeFree(node);
    EXPECT_TRUE(fatal.saw("fatal isam error isnode(69)"));
    nodeFree(nullptr);
    EXPECT_EQ(fatal.texts().size(), 3u);
}

TEST(NodeCapacity, EntriesStayBelowTheLastFiveBytes) {
    IsFile f;
    f.nodeSize = 1024;
    EXPECT_TRUE(nodeHasRoom(&f, 1019));
    EXPECT_FALSE(nodeHasRoom(&f, 1020));
}

TEST(NodeCapacity, CompressedIndexesGiveEveryNodeAKeyBuffer) {
    testing::IndexFile file(4096);
    ASSERT_EQ(file.addIndex(keyOf(ISKEY_LEADCOMPRESS, {keyPart(0, 12, ISTYPE_CHAR)})), 0);
    PathNode *node = file.f->indexes[0]->head;
    ASSERT_NE(node->keyBuffer, nullptr);
    EXPECT_EQ(node->data, node->keyBuffer + 12);
}

}  // namespace
}  // namespace wisam
