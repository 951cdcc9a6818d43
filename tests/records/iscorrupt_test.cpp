// Damaged files: whatever the bytes of the index or data file, calls answer
// with an error or a result and never crash or read outside their buffers.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "support/testing.h"
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

}  // namespace
}  // namespace wisam
