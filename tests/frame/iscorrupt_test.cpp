// The damaged-file report: the text the fatal hook receives, then 105 with
// the I/O code given, from inside a call and with no hook installed.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "frame/iscorrupt.h"
#include "frame/isfile.h"
#include "support/testing.h"
#include "system/issystem.h"
#include "wisam.h"

namespace wisam {
namespace {

class CorruptReport : public ::testing::Test {
protected:
    void SetUp() override {
        testing::layDownFiles(dir.file("c"), 20);
        f = testing::openHandle(dir.name("c"), static_cast<uint32_t>(ISINOUT) | kModeManualLock);
        ASSERT_NE(f, nullptr);
    }
    void TearDown() override { testing::closeTestHandle(f); }

    // Raises through `raise` inside a call; the call's result.
    template <class Raise>
    int raiseInCall(Raise raise) {
        return testing::inCall(f, kAccessRead, [&]() -> int {
            raise();
            return 1;
        });
    }

    testing::TempDir dir;
    IsFile *f = nullptr;
};

TEST_F(CorruptReport, NamesTheIndexBlockAndRaises105WithTheIoCode) {
    testing::FatalCapture fatal;
    EXPECT_EQ(raiseInCall([&] { raiseCorrupt(f, kKindIndex, 17, kIoRead + kKindIndex); }), 0);
    ASSERT_EQ(fatal.texts(), std::vector<std::string>{"corrupted isam file: index block 17"});
    EXPECT_EQ(isErrno(f), EBADFILE);
    EXPECT_EQ(isErrio(f), kIoRead + kKindIndex);
    EXPECT_EQ(std::string(f->status, 4), "9090");
}

TEST_F(CorruptReport, NamesTheDataRecordAndKeepsAnyIoCode) {
    testing::FatalCapture fatal;
    EXPECT_EQ(raiseInCall([&] { raiseCorrupt(f, kKindData, 4000000000u, kIoWrite + kKindData); }), 0);
    ASSERT_EQ(fatal.texts(), std::vector<std::string>{"corrupted isam file: data record 4000000000"});
    EXPECT_EQ(isErrno(f), EBADFILE);
    EXPECT_EQ(isErrio(f), kIoWrite + kKindData);
}

TEST_F(CorruptReport, AnUnknownPlaceNamesOnlyTheFile) {
    testing::FatalCapture fatal;
    raiseInCall([&] { raiseCorrupt(f, kKindIndex, kPlaceUnknown, 0); });
    raiseInCall([&] { raiseCorrupt(f, kKindData, kPlaceUnknown, 0); });
    EXPECT_EQ(fatal.texts(),
              (std::vector<std::string>{"corrupted isam file: index file", "corrupted isam file: data file"}));
    EXPECT_EQ(isErrio(f), 0);
}

TEST_F(CorruptReport, BlockAndRecordFormsCarryTheReadCodeOfTheirFile) {
    testing::FatalCapture fatal;
    raiseInCall([&] { raiseCorruptBlock(f, 2); });
    EXPECT_EQ(isErrio(f), kIoRead + kKindIndex);
    raiseInCall([&] { raiseCorruptRecord(f, 9); });
    EXPECT_EQ(isErrio(f), kIoRead + kKindData);
    EXPECT_EQ(isErrno(f), EBADFILE);
    EXPECT_EQ(fatal.texts(),
              (std::vector<std::string>{"corrupted isam file: index block 2", "corrupted isam file: data record 9"}));
}

TEST_F(CorruptReport, WithoutAHookOnlyTheErrorRemains) {
    isFatal(nullptr);
    EXPECT_EQ(raiseInCall([&] { raiseCorruptBlock(f, 3); }), 0);
    EXPECT_EQ(isErrno(f), EBADFILE);
    EXPECT_EQ(errno, EBADFILE);
}

TEST_F(CorruptReport, TheNextCallStartsClean) {
    testing::FatalCapture fatal;
    raiseInCall([&] { raiseCorruptBlock(f, 5); });
    EXPECT_EQ(testing::inCall(f, kAccessRead, [] { return 1; }), 1);
    EXPECT_EQ(isErrno(f), 0);
    EXPECT_EQ(isErrio(f), 0);
    EXPECT_EQ(fatal.texts().size(), 1u) << "one report per damage found";
}

}  // namespace
}  // namespace wisam
