// wisam --journal: a command's changes go through the rollback journal.
#include <gtest/gtest.h>

#include <string>

#include "support/testing.h"
#include "tool/toolrun.h"

namespace wisam::testing {
namespace {

std::string records(int count) {
    std::string all;
    for (int i = 0; i < count; ++i) {
        char record[32];
        std::snprintf(record, sizeof record, "%08d-journaled-r", i);
        all.append(record, 20);
    }
    return all;
}

TEST(JournalToolTest, ChangesGoThroughTheJournalAndModesAreChecked) {
    TempDir dir;
    // The mode goes before the command or after it, as "--journal M" or
    // "--journal=M"; anything but 0, 1 or 2, a missing value or two modes
    // that differ is a usage error.
    for (const std::vector<std::string> &bad :
         std::vector<std::vector<std::string>>{{"--journal", "3", "info", "j"},
                                               {"--journal"},
                                               {"info", "j", "--journal"},
                                               {"info", "j", "--journal=9"},
                                               {"--journal", "1", "info", "j", "--journal=2"}}) {
        EXPECT_EQ(runTool(dir, bad).status, 2) << bad.back();
    }
    ASSERT_EQ(runTool(dir, {"--journal", "2", "create", "j", "--reclen", "20", "--key", "0:8:char"}).status, 0);
    EXPECT_FALSE(fileExists(dir.file("j.wjn"))) << "a build writes no journal";
    const ToolRun load = runTool(dir, {"--journal", "2", "load", "j"}, records(300));
    ASSERT_EQ(load.status, 0) << load.err;
    EXPECT_FALSE(fileExists(dir.file("j.wjn"))) << "a file closed cleanly keeps no journal";
    EXPECT_EQ(runTool(dir, {"dump", "j", "--raw", "--index", "1"}).out, records(300));
    EXPECT_EQ(runTool(dir, {"--journal", "1", "check", "j"}).status, 0);
    EXPECT_EQ(runTool(dir, {"check", "j", "--journal", "0"}).status, 0);
    EXPECT_EQ(runTool(dir, {"--journal=2", "check", "j", "--journal", "2"}).status, 0);
    EXPECT_EQ(runTool(dir, {"dump", "j", "--journal=0", "--raw", "--index", "1"}).out, records(300));
    // A journal beside the file (one of a change that completed) goes along.
    writeFile(dir.file("j.wjn"), std::vector<uint8_t>(128, 0));
    ASSERT_EQ(runTool(dir, {"--journal", "1", "rename", "j", "k"}).status, 0);
    EXPECT_TRUE(fileExists(dir.file("k.wjn")) && !fileExists(dir.file("j.wjn"))) << "the journal follows its file";
    ASSERT_EQ(runTool(dir, {"erase", "k"}).status, 0);
    EXPECT_FALSE(fileExists(dir.file("k.wjn")));
}

}  // namespace
}  // namespace wisam::testing
