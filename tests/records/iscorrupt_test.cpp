// Damaged files: whatever the bytes of the index or data file, calls answer
// with an error or a result and never crash or read outside their buffers.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "frame/isfile.h"
#include "structure/isencode.h"
#include "support/testing.h"
#include "system/issystem.h"
#include "wisam.h"

namespace wisam {
namespace {

constexpr int kLength = 24;
constexpr int kRecords = 600;
constexpr int kMutations = 150;

class DamagedFiles : public ::testing::Test {
protected:
    void SetUp() override {
        KeyDesc id = testing::keyAt(0, 4, ISTYPE_LONG);
        IsFile *f = isBuild(dir.name("g").c_str(), kLength, 0, &id, ISINOUT);
        ASSERT_NE(f, nullptr);
        KeyDesc name = testing::keyAt(4, 12, ISTYPE_CHAR, ISKEY_DUPS | ISKEY_LEADCOMPRESS |
                                                              ISKEY_TRAILCOMPRESS | ISKEY_DUPCOMPRESS);
        ASSERT_EQ(isAddIndex(f, &name), 1);
        unsigned char record[kLength] = {};
        for (int i = 0; i < kRecords; ++i) {
            stLong(i * 37 % kRecords, record);
            stChar(i % 3 == 0 ? "same" : "name", record + 4, 12);
            stLong(i, record + 16);
            ASSERT_EQ(isWrite(f, record), 1);
        }
        ASSERT_EQ(isClose(f), 1);
        index = testing::readFile(dir.file("g.wox"));
        data = testing::readFile(dir.file("g.wod"));
    }
    void TearDown() override { isCleanUp(); }

    // Every failure must name its reason: a system error or one of the
    // library's numbers.
    void noteFailure(int error) {
        EXPECT_TRUE((error > 0 && error < 100) || (error >= 100 && error <= is_nerr)) << error;
        if (error == EBADFILE) ++corruptReports;
    }

    // Opens the damaged file and works through it; any answer but a crash or
    // an unexplained failure is fine.
    void exercise() {
        IsFile *f = isOpen(dir.name("g").c_str(), ISINOUT);
        if (f == nullptr) {
            noteFailure(isErrno(nullptr));
            return;
        }
        // A damaged record length is the file's word: a caller sizes its
        // buffer by what isIsamInfo says, so this one holds any length.
        std::vector<unsigned char> buffer(64 * 1024);
        unsigned char *record = buffer.data();
        for (int index = 0; index <= 2; ++index) {
            if (!isIndex(f, index)) continue;
            int reads = 0;
            for (int mode = modeFirst; reads < 2 * kRecords && isRead(f, record, mode); mode = modeNext) ++reads;
            if (isErrno(f) != EENDFILE && reads < 2 * kRecords) noteFailure(isErrno(f));
            for (int mode = modeLast; reads < 4 * kRecords && isRead(f, record, mode); mode = modePrev) ++reads;
        }
        stLong(5, record);
        isRead(f, record, modeEqual);
        isWrite(f, record);
        isDelete(f, record);
        IsamInfo info{};
        isIsamInfo(f, &info);
        isClose(f);
    }

    testing::TempDir dir;
    int corruptReports = 0;
    std::vector<uint8_t> index;
    std::vector<uint8_t> data;
};

TEST_F(DamagedFiles, RandomBytesInTheIndexFile) {
    std::mt19937 random(1234);
    for (int round = 0; round < kMutations; ++round) {
        auto damaged = index;
        const int changes = 1 + static_cast<int>(random() % 8);
        for (int c = 0; c < changes; ++c) {
            // Past the dictionary: key descriptions, roots and nodes.
            const size_t at = 80 + random() % (damaged.size() - 80);
            damaged[at] = static_cast<uint8_t>(random());
        }
        testing::writeFile(dir.file("g.wox"), damaged);
        testing::writeFile(dir.file("g.wod"), data);
        exercise();
    }
    EXPECT_GT(corruptReports, 0) << "damage was seen and reported as 105";
}

TEST_F(DamagedFiles, DamagedDictionaryFields) {
    std::mt19937 random(99);
    const size_t fields[] = {6, 7, 8, 9, 11, 13, 14, 15, 18, 25, 28, 29, 32, 33, 36, 37, 40, 59, 60};
    for (int round = 0; round < kMutations; ++round) {
        auto damaged = index;
        damaged[fields[random() % (sizeof fields / sizeof fields[0])]] = static_cast<uint8_t>(random());
        testing::writeFile(dir.file("g.wox"), damaged);
        testing::writeFile(dir.file("g.wod"), data);
        exercise();
    }
    EXPECT_GT(corruptReports, 0);
}

TEST_F(DamagedFiles, ShortAndDamagedDataFile) {
    std::mt19937 random(7);
    for (int round = 0; round < kMutations / 3; ++round) {
        auto damaged = data;
        damaged.resize(random() % damaged.size());
        testing::writeFile(dir.file("g.wox"), index);
        testing::writeFile(dir.file("g.wod"), damaged);
        exercise();
    }
    EXPECT_GT(corruptReports, 0) << "a slot past the end of the data file is a damaged file";
}

// Damage at a known place: the fatal hook is told the block or record, and
// the call fails with 105.  The file: 24-byte records, an id (4-byte
// integer, plain entries of 8 bytes: two leaves under a root), a float
// with duplicates (plain entries of 12 bytes) and a name with leading and
// trailing compression.
class DamageReport : public ::testing::Test {
protected:
    static constexpr size_t kBlock = 4096;
    static constexpr int kRecordCount = 700;
    static constexpr int kIdEntry = 8;
    static constexpr int kFloatEntry = 12;

    void SetUp() override {
        KeyDesc id = testing::keyAt(0, 4, ISTYPE_LONG);
        IsFile *f = isBuild(dir.name("r").c_str(), kLength, 0, &id, ISINOUT | ISEXCLLOCK);
        ASSERT_NE(f, nullptr);
        KeyDesc number = testing::keyAt(8, 4, ISTYPE_FLOAT, ISKEY_DUPS);
        KeyDesc name = testing::keyAt(12, 12, ISTYPE_CHAR, ISKEY_LEADCOMPRESS | ISKEY_TRAILCOMPRESS);
        ASSERT_EQ(isAddIndex(f, &number), 1);
        ASSERT_EQ(isAddIndex(f, &name), 1);
        unsigned char record[kLength] = {};
        for (int i = 0; i < kRecordCount; ++i) {
            stLong(i, record);
            stFloat(static_cast<float>(i / 2), record + 8);
            stChar(("n" + std::to_string(i)).c_str(), record + 12, 12);
            ASSERT_EQ(isWrite(f, record), 1);
        }
        for (int i = 1; i <= 3; ++i) {
            KeyDesc key{};
            ASSERT_EQ(isIndexInfo(f, &key, i), 1);
            roots.push_back(key.rootNode);
        }
        ASSERT_EQ(isClose(f), 1);
        index = testing::readFile(dir.file("r.wox"));
        ASSERT_EQ(ld2(block(roots[0])), 2 + 2 * kIdEntry) << "the id tree has two leaves under its root";
        ASSERT_EQ(block(roots[0])[kBlock - 2], 1);
        leafA = child(roots[0], 0, kIdEntry, 4);
        leafB = child(roots[0], 1, kIdEntry, 4);
    }
    void TearDown() override { isCleanUp(); }

    uint8_t *block(uint32_t n) { return index.data() + (n - 1) * kBlock; }
    // The pointer of entry `i` of a plain node with `tail` bytes before it.
    uint32_t child(uint32_t node, int i, int entry, int tail) {
        return static_cast<uint32_t>(ld4(block(node) + 2 + i * entry + tail));
    }
    void setChild(uint32_t node, int i, int entry, int tail, uint32_t to) {
        st4(block(node) + 2 + i * entry + tail, static_cast<int32_t>(to));
    }
    uint32_t highest() { return static_cast<uint32_t>(ld4(index.data() + 37)); }

    IsFile *open() {
        testing::writeFile(dir.file("r.wox"), index);
        return isOpen(dir.name("r").c_str(), ISINOUT);
    }
    // Reads in `index` from `first` on with `then`; the records read.
    int walk(IsFile *f, int which, int first, int then) {
        unsigned char record[kLength];
        EXPECT_EQ(isIndex(f, which), 1);
        int reads = 0;
        for (int mode = first; reads <= 100 * kRecordCount && isRead(f, record, mode); mode = then) ++reads;
        return reads;
    }
    bool reported(const testing::FatalCapture &fatal, const std::string &place) const {
        const std::string text = "corrupted isam file: " + place;
        return std::find(fatal.texts().begin(), fatal.texts().end(), text) != fatal.texts().end();
    }

    testing::TempDir dir;
    std::vector<uint8_t> index;
    std::vector<uint32_t> roots;  // id, float, name
    uint32_t leafA = 0;
    uint32_t leafB = 0;
};

TEST_F(DamageReport, ALeafWhoseUsedLengthLeavesItsBlockIsNamed) {
    st2(block(leafB), kBlock - 1);
    testing::FatalCapture fatal;
    IsFile *f = open();
    ASSERT_NE(f, nullptr) << "the first leaf is sound";
    const int reads = walk(f, 1, modeFirst, modeNext);
    EXPECT_EQ(reads, (ld2(block(leafA)) - 2) / kIdEntry) << "every entry of the sound leaf";
    EXPECT_EQ(isErrno(f), EBADFILE);
    EXPECT_EQ(isErrio(f), kIoRead + kKindIndex);
    EXPECT_TRUE(reported(fatal, "index block " + std::to_string(leafB))) << fatal.texts().size();
}

TEST_F(DamageReport, ALeafEntryNamingARecordPastTheLastIsADamagedLeaf) {
    setChild(leafB, 0, kIdEntry, 4, kRecordCount + 50);
    testing::FatalCapture fatal;
    IsFile *f = open();
    ASSERT_NE(f, nullptr);
    walk(f, 1, modeFirst, modeNext);
    EXPECT_EQ(isErrno(f), EBADFILE) << "not 112: the record is not missing, the leaf is wrong";
    EXPECT_TRUE(reported(fatal, "index block " + std::to_string(leafB)));
    unsigned char record[kLength] = {};
    stLong(static_cast<int32_t>(ld4(block(leafB) + 2)), record);
    EXPECT_EQ(isRead(f, record, modeEqual), 0);
    EXPECT_EQ(isErrno(f), EBADFILE) << "found by its key too";
}

TEST_F(DamageReport, AParentPointingPastTheFileIsNamed) {
    setChild(roots[0], 1, kIdEntry, 4, highest() + 1);
    testing::FatalCapture fatal;
    IsFile *f = open();
    ASSERT_NE(f, nullptr);
    walk(f, 1, modeFirst, modeNext);
    EXPECT_EQ(isErrno(f), EBADFILE);
    EXPECT_TRUE(reported(fatal, "index block " + std::to_string(roots[0])));
    unsigned char record[kLength];
    EXPECT_EQ(isRead(f, record, modeLast), 0);
    EXPECT_EQ(isErrno(f), EBADFILE);
}

TEST_F(DamageReport, AParentPointingToANodeOfTheWrongLevelIsNamed) {
    setChild(roots[0], 1, kIdEntry, 4, roots[0]);
    testing::FatalCapture fatal;
    IsFile *f = open();
    ASSERT_NE(f, nullptr);
    unsigned char record[kLength];
    EXPECT_EQ(isRead(f, record, modeLast), 0);
    EXPECT_EQ(isErrno(f), EBADFILE);
    EXPECT_TRUE(reported(fatal, "index block " + std::to_string(roots[0])));
}

TEST_F(DamageReport, ALeafSharedByTwoParentEntriesEndsTheWalkAtTheCrossing) {
    setChild(roots[0], 1, kIdEntry, 4, leafA);
    const int inLeaf = (ld2(block(leafA)) - 2) / kIdEntry;
    testing::FatalCapture fatal;
    IsFile *f = open();
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(walk(f, 1, modeFirst, modeNext), inLeaf) << "the shared leaf is not read twice";
    EXPECT_EQ(isErrno(f), EBADFILE);
    EXPECT_EQ(walk(f, 1, modeLast, modePrev), inLeaf) << "backward neither";
    EXPECT_EQ(isErrno(f), EBADFILE);
    EXPECT_TRUE(reported(fatal, "index block " + std::to_string(leafA)));
}

TEST_F(DamageReport, LeavesSharedByManyEntriesEndTheWalkWhereKeysCannotTell) {
    // Float keys do not order by their bytes: only the count of crossings,
    // which cannot reach the number of blocks, stops the walk.
    uint8_t *root = block(roots[1]);
    ASSERT_EQ(root[kBlock - 2], 1) << "the float tree has a root above its leaves";
    const uint32_t leaf = child(roots[1], 0, kFloatEntry, 8);
    const int entries = static_cast<int>(highest()) + 5;
    ASSERT_LT(2 + entries * kFloatEntry, static_cast<int>(kBlock) - 4);
    for (int i = 1; i < entries; ++i) std::memcpy(root + 2 + i * kFloatEntry, root + 2, kFloatEntry);
    st2(root, 2 + entries * kFloatEntry);
    const int inLeaf = (ld2(block(leaf)) - 2) / kFloatEntry;
    testing::FatalCapture fatal;
    IsFile *f = open();
    ASSERT_NE(f, nullptr);
    const int reads = walk(f, 2, modeFirst, modeNext);
    EXPECT_EQ(isErrno(f), EBADFILE);
    EXPECT_LE(reads, inLeaf * static_cast<int>(highest()));
    EXPECT_GE(reads, inLeaf) << "the leaf itself is read";
    EXPECT_TRUE(reported(fatal, "index block " + std::to_string(leaf)));
    EXPECT_LE(walk(f, 2, modeLast, modePrev), inLeaf * static_cast<int>(highest()));
    EXPECT_EQ(isErrno(f), EBADFILE);
}

TEST_F(DamageReport, ACompressedEntryWithCountsLongerThanTheKeyIsNamed) {
    uint8_t *root = block(roots[2]);
    // The first entry of a node shares nothing; its trailing count cuts 255.
    root[3] = 255;
    testing::FatalCapture fatal;
    IsFile *f = open();
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(walk(f, 3, modeFirst, modeNext), 0);
    EXPECT_EQ(isErrno(f), EBADFILE);
    EXPECT_TRUE(reported(fatal, "index block " + std::to_string(roots[2])));
    EXPECT_TRUE(std::find(fatal.texts().begin(), fatal.texts().end(), "fatal isam error iscomp(97)") !=
                fatal.texts().end());
}

TEST_F(DamageReport, AFirstCompressedEntryWithALeadingCountIsNamed) {
    uint8_t *root = block(roots[2]);
    root[2] = 1;
    testing::FatalCapture fatal;
    IsFile *f = open();
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(walk(f, 3, modeLast, modePrev), 0);
    EXPECT_EQ(isErrno(f), EBADFILE);
    EXPECT_TRUE(reported(fatal, "index block " + std::to_string(roots[2])));
}

TEST_F(DamageReport, AKeyDescriptionWhoseRootLiesPastTheFileIsNamedAtOpen) {
    // Block 2 holds the chain's first entry: length 2, root 4 bytes.
    ASSERT_EQ(ld4(index.data() + 15), 2);
    st4(block(2) + 6 + 2, static_cast<int32_t>(highest() + 7));
    testing::FatalCapture fatal;
    EXPECT_EQ(open(), nullptr);
    EXPECT_EQ(isErrno(nullptr), EBADFILE);
    EXPECT_TRUE(reported(fatal, "index block 2"));
}

TEST_F(DamageReport, AKeyDescriptionChainStartingPastTheFileNamesTheDictionary) {
    st4(index.data() + 15, static_cast<int32_t>(highest() + 1));
    testing::FatalCapture fatal;
    EXPECT_EQ(open(), nullptr);
    EXPECT_EQ(isErrno(nullptr), EBADFILE);
    EXPECT_TRUE(reported(fatal, "index block 1"));
}

TEST_F(DamageReport, AKeyDescriptionChainLoopingOnItselfIsNamed) {
    st4(block(2) + 2, 2);
    testing::FatalCapture fatal;
    EXPECT_EQ(open(), nullptr);
    EXPECT_EQ(isErrno(nullptr), EBADFILE);
    EXPECT_TRUE(reported(fatal, "index block 2"));
}

TEST_F(DamageReport, ADataFileEndingInsideASlotNamesTheRecord) {
    constexpr int kSlot = kLength + 1;
    constexpr int kCut = 400;  // record 400 is cut short, the ones after it are gone
    auto data = testing::readFile(dir.file("r.wod"));
    data.resize((kCut - 1) * kSlot + 5);
    testing::writeFile(dir.file("r.wod"), data);
    const int32_t cacheWas = isFileCacheActive;
    for (int32_t cache : {0, 1}) {
        isFileCacheActive = cache;
        testing::FatalCapture fatal;
        IsFile *f = open();
        ASSERT_NE(f, nullptr);
        EXPECT_EQ(walk(f, 0, modeFirst, modeNext), kCut - 1) << "record-number order, cache " << cache;
        EXPECT_EQ(isErrno(f), EBADFILE);
        EXPECT_EQ(isErrio(f), kIoRead + kKindData);
        EXPECT_TRUE(reported(fatal, "data record " + std::to_string(kCut)));
        EXPECT_EQ(walk(f, 1, modeFirst, modeNext), kCut - 1) << "id order reads the same slots";
        EXPECT_EQ(isErrno(f), EBADFILE);
        unsigned char record[kLength];
        EXPECT_EQ(isData(f, record, kCut + 10), 0);
        EXPECT_EQ(isErrno(f), EBADFILE);
        EXPECT_TRUE(reported(fatal, "data record " + std::to_string(kCut + 10)));
        EXPECT_EQ(isData(f, record, kCut - 1), 1) << "the slots before it are whole";
        EXPECT_EQ(isClose(f), 1);
    }
    isFileCacheActive = cacheWas;
}

TEST_F(DamageReport, ABlockTheIndexFileEndsBeforeIsNamed) {
    // The dictionary counts five blocks more than the file holds, and the
    // root's second entry leads to one of them.
    const uint32_t missing = highest() + 3;
    setChild(roots[0], 1, kIdEntry, 4, missing);
    st4(index.data() + 37, static_cast<int32_t>(highest() + 5));
    const int32_t cacheWas = isFileCacheActive;
    for (int32_t cache : {0, 1}) {
        isFileCacheActive = cache;
        testing::FatalCapture fatal;
        IsFile *f = open();
        ASSERT_NE(f, nullptr);
        EXPECT_EQ(walk(f, 1, modeFirst, modeNext), (ld2(block(leafA)) - 2) / kIdEntry);
        EXPECT_EQ(isErrno(f), EBADFILE);
        EXPECT_EQ(isErrio(f), kIoRead + kKindIndex);
        EXPECT_TRUE(reported(fatal, "index block " + std::to_string(missing))) << "cache " << cache;
        EXPECT_EQ(isClose(f), 1);
    }
    isFileCacheActive = cacheWas;
}

// Free lists: the data list of a file with deleted records.
class FreeListDamage : public DamageReport {
protected:
    void SetUp() override {
        DamageReport::SetUp();
        testing::writeFile(dir.file("r.wox"), index);
        IsFile *f = isOpen(dir.name("r").c_str(), ISINOUT);
        ASSERT_NE(f, nullptr);
        for (int32_t r = 10; r < 20; ++r) ASSERT_EQ(isDelRec(f, r), 1);
        ASSERT_EQ(isClose(f), 1);
        index = testing::readFile(dir.file("r.wox"));
        head = static_cast<uint32_t>(ld4(index.data() + 25));
        ASSERT_NE(head, 0u);
        ASSERT_EQ(ld2(block(head)), 6 + 4 * 10);
    }
    // The count of records in use, or -1 when the call fails.
    int32_t recordCount(IsFile *f) {
        IsamInfo info{};
        return isIsamInfo(f, &info) ? info.recordCount : -1;
    }
    uint32_t head = 0;
};

TEST_F(FreeListDamage, TheSoundListIsCounted) {
    IsFile *f = open();
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(recordCount(f), kRecordCount - 10);
}

TEST_F(FreeListDamage, AHeadThatIsNoFreeListNodeIsNamed) {
    block(head)[kBlock - 2] = 0;
    testing::FatalCapture fatal;
    IsFile *f = open();
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(recordCount(f), -1);
    EXPECT_EQ(isErrno(f), EBADFILE);
    EXPECT_TRUE(reported(fatal, "index block " + std::to_string(head)));
}

TEST_F(FreeListDamage, AChainLoopingOnItselfIsNamed) {
    st4(block(head) + 2, static_cast<int32_t>(head));
    testing::FatalCapture fatal;
    IsFile *f = open();
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(recordCount(f), -1);
    EXPECT_TRUE(reported(fatal, "index block " + std::to_string(head)));
}

TEST_F(FreeListDamage, AChainLeadingPastTheFileIsNamed) {
    st4(block(head) + 2, static_cast<int32_t>(highest() + 3));
    testing::FatalCapture fatal;
    IsFile *f = open();
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(recordCount(f), -1);
    EXPECT_TRUE(reported(fatal, "index block " + std::to_string(head)));
}

TEST_F(FreeListDamage, AHeadPastTheFileNamesTheDictionary) {
    st4(index.data() + 25, static_cast<int32_t>(highest() + 3));
    testing::FatalCapture fatal;
    IsFile *f = open();
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(recordCount(f), -1);
    EXPECT_TRUE(reported(fatal, "index block 1"));
}

TEST_F(FreeListDamage, AFreeNumberPastTheLastRecordIsNotHandedOut) {
    // The number released last is taken first.
    st4(block(head) + 6 + 4 * 9, kRecordCount + 100);
    testing::FatalCapture fatal;
    IsFile *f = open();
    ASSERT_NE(f, nullptr);
    unsigned char record[kLength] = {};
    stLong(5000, record);
    EXPECT_EQ(isWrite(f, record), 0);
    EXPECT_EQ(isErrno(f), EBADFILE);
    EXPECT_TRUE(reported(fatal, "index block " + std::to_string(head)));
    int32_t last = 0;
    ASSERT_EQ(isGetLastRec(f, &last), 1);
    EXPECT_EQ(last, kRecordCount) << "nothing was written";
    EXPECT_EQ(isRead(f, record, modeEqual), 0);
    EXPECT_EQ(isErrno(f), ENOREC);
}

}  // namespace
}  // namespace wisam
