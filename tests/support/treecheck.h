// treecheck.h - a structure checker for the B-tree indexes and free lists of
// an index file, for the index tests: an index file of their own to insert
// into, key descriptions part by part, and a fixture with a fresh file of
// digit keys.
//
// The checker reads the index file from disk and decodes every node with a
// decoder of its own (not the library's), so that an encoding fault shows
// up even when encoder and decoder agree.  It checks, for each index:
//   - every node: used length inside 2..S-5 (above 2 except the root), the
//     marker bytes S-3 and S-1 zero, entries that decode exactly to the used
//     length, no leading count in a first entry, L + T <= K, repeat flags set
//     exactly before entries without key bytes and never on a last entry;
//   - levels falling by one to the leaves, every leaf at level 0;
//   - keys ascending within nodes and across leaves (strictly without
//     duplicates; with duplicates byte-identical neighbours have rising
//     serials);
//   - separators bounding their subtrees (the last entry of a node bounds
//     nothing);
// and for the file: every block from 1 to the highest number is the
// dictionary, a key-description block, a tree node, an index or data
// free-list chain node, or a free index number, exactly once.
#pragma once

#include <gtest/gtest.h>

#include <memory>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "frame/isfile.h"
#include "support/testing.h"
#include "wisam.h"

namespace wisam::testing {

struct CheckedEntry {
    std::vector<uint8_t> key;
    uint64_t serial = 0;
    uint32_t pointer = 0;
};

struct IndexShape {
    std::vector<CheckedEntry> entries;  // leaf entries in key order
    std::vector<int32_t> leafUsed;      // used length of each leaf, in order
    int32_t height = 0;                 // levels, 1 for a single leaf
    int32_t nodes = 0;
};

struct FileCheck {
    std::vector<std::string> faults;
    std::vector<IndexShape> indexes;
    bool ok() const { return faults.empty(); }
    std::string report() const;  // the first faults, one a line
};

// Checks every index of `f` (whose TreePaths give the key descriptions and
// roots) as stored in the index file at `woxPath`.  The dictionary on disk
// must be current (written after the last change).  `varBlocks` are the
// blocks that hold variable parts of records, found by the caller.
FileCheck checkIndexFile(const IsFile *f, const std::string &woxPath, const std::vector<uint32_t> &varBlocks = {});

// A fresh key-only index file with a chosen node size, for index tests.
class IndexFile {
public:
    explicit IndexFile(int32_t nodeSize = 4096);
    ~IndexFile();
    IndexFile(const IndexFile &) = delete;
    IndexFile &operator=(const IndexFile &) = delete;

    // Appends an index (appendKeyDesc) and writes the dictionary; returns
    // its number.
    int32_t addIndex(KeyDesc key);
    // Runs `work` in a changing call; returns its result (0 after a raise).
    int call(const std::function<int()> &work);
    // Flushes every index, the free lists and the dictionary, in a call.
    int flush();
    FileCheck check() const { return checkIndexFile(f, woxPath()); }
    std::string woxPath() const { return dir.file("t.wox"); }
    std::vector<uint8_t> fileBytes() const { return readFile(woxPath()); }

    TempDir dir;
    IsFile *f = nullptr;
};

KeyDesc keyOf(uint16_t flags, std::initializer_list<KeyPart> parts);
inline KeyPart keyPart(int16_t start, int16_t length, uint16_t type) { return KeyPart{start, length, type}; }

// An index of 8-digit character keys ("%08d", blank-filled to `k` bytes) in
// a fresh index file, plain unless flags say otherwise: the fixture of the
// path and insertion tests.
class DigitKeyIndex : public ::testing::Test {
protected:
    void make(uint16_t flags, int32_t nodeSize = 1024, int16_t length = 8);
    std::vector<uint8_t> key(int value) const;
    // Inserts `value` with `record` and writes the change, in one call.
    int insert(int value, uint32_t record);

    std::unique_ptr<IndexFile> file;
    IsFile *f = nullptr;
    TreePath *path = nullptr;
    int16_t k = 8;
};

// "41 42 ..." for assertion messages.
std::string hexBytes(const uint8_t *bytes, size_t length);

}  // namespace wisam::testing
