// varlen_tool_test.cpp - the wisam tool on files of variable-length records:
// create --varlen, load and dump --raw in the length-prefixed form (round
// trips byte for byte, packed and plain), lengths outside the file's range
// refused with the range named, and info showing the fixed and the maximum
// length and the counts of the variable-length blocks.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "tool/toolrun.h"
#include "wisam.h"

namespace wisam::testing {
namespace {

constexpr int kFixed = 12;
constexpr int kMax = 3000;

// One record in load's raw form: 4-byte big-endian length, then the bytes.
std::string framed(const std::string &record) {
    std::string prefix(4, '\0');
    stLong(static_cast<int32_t>(record.size()), prefix.data());
    return prefix + record;
}

std::string varRecord(int32_t id, size_t length, std::mt19937 &random) {
    std::string r(length, '\0');
    // Runs of zeros, blanks and ASCII zeros, which packing shortens, between random bytes.
    for (size_t i = 4; i < length; ++i) r[i] = (i / 50) % 2 == 0 ? "\0 0"[(i / 100) % 3] : static_cast<char>(random());
    stLong(id, r.data());
    return r;
}

void createVar(const TempDir &dir, const std::string &name, bool packed) {
    std::vector<std::string> args = {"create", name, "--reclen", std::to_string(kFixed), "--varlen",
                                     std::to_string(kMax), "--key", "0:4:long"};
    if (packed) args.push_back("--packed");
    const ToolRun run = runTool(dir, args);
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, "created " + name + ": record length 12 to 3000 (variable" + (packed ? ", packed" : "") +
                           "), 1 index\n");
}

TEST(VarlenToolTest, InfoShowsTheFixedAndTheMaximumLength) {
    TempDir dir;
    createVar(dir, "v", false);
    const ToolRun run = runTool(dir, {"info", "v"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(contains(run.out, "v: 1 index, record length 12 to 3000 (variable), 0 records, block size 1024\n"))
        << run.out;
    EXPECT_TRUE(contains(run.out, "  variable-length blocks: 0 in use (0 bytes free), 0 on the space lists")) << run.out;
}

TEST(VarlenToolTest, LengthsOutsideTheRangeAreRefusedWithTheRange) {
    std::mt19937 random(12);
    struct Case {
        std::string bad;
        std::string why;
    };
    const std::string good = framed(varRecord(1, kFixed, random)) + framed(varRecord(2, kFixed, random));
    std::string huge(4, '\0');
    stLong(-1, huge.data());
    const std::vector<Case> cases = {
        {framed(std::string(kFixed - 1, 'x')), "its length 11 is outside the file's range 12 to 3000"},
        {framed(std::string(kMax + 1, 'x')), "its length 3001 is outside the file's range 12 to 3000"},
        {huge, "its length -1 is outside the file's range 12 to 3000"},
        {framed(std::string(kFixed, 'x')).substr(0, 10), "it is cut short: 6 of its 12 bytes"},
        {std::string(2, '\0'), "2 trailing bytes are not a whole 4-byte length"},
    };
    for (const Case &c : cases) {
        for (const bool atomic : {false, true}) {
            TempDir dir;
            createVar(dir, "v", false);
            std::vector<std::string> args = {"load", "v"};
            if (atomic) args.push_back("--atomic");
            const ToolRun run = runTool(dir, args, good + c.bad);
            EXPECT_EQ(run.status, 1);
            // The framing is checked whole before anything is written.
            EXPECT_EQ(run.err, "wisam: load v: record 3 (after 2 whole records) is not whole: " + c.why +
                                   " (raw records: 'wisam load NAME --schema S.json' reads CSV and JSON); nothing "
                                   "was loaded\n");
            const ToolRun dump = runTool(dir, {"dump", "v", "--raw", "--index", "0"});
            EXPECT_EQ(dump.out, "") << c.why;
        }
    }
}

TEST(VarlenToolTest, DumpShowsEachRecordsLength) {
    TempDir dir;
    createVar(dir, "v", false);
    std::string r(kFixed, 'a');
    stLong(5, r.data());
    ASSERT_EQ(runTool(dir, {"load", "v"}, framed(r)).status, 0);
    const ToolRun run = runTool(dir, {"dump", "v"});
    EXPECT_EQ(run.out, "      1 len 12 5 ....aaaaaaaa\n");
}

TEST(VarlenToolTest, DumpAndLoadRoundTripPackedAndPlain) {
    std::mt19937 random(1212);
    for (const bool packed : {false, true}) {
        TempDir dir;
        createVar(dir, "a", packed);
        createVar(dir, "b", packed);
        std::string input;
        std::vector<int> lengths = {kFixed, kFixed + 1, 994 + kFixed, 995 + kFixed, kMax};
        for (int i = 0; i < 200; ++i) {
            lengths.push_back(i % 10 == 0 ? kFixed + static_cast<int>(random() % (kMax - kFixed + 1))
                                          : kFixed + static_cast<int>(random() % 300));
        }
        for (size_t i = 0; i < lengths.size(); ++i) {
            input += framed(varRecord(static_cast<int32_t>(random()), static_cast<size_t>(lengths[i]), random));
        }
        ToolRun run = runTool(dir, {"load", "a"}, input);
        ASSERT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(run.err, std::to_string(lengths.size()) + " records loaded into a\n");
        EXPECT_EQ(runTool(dir, {"dump", "a", "--raw", "--index", "0"}).out, input);
        const std::string sorted = runTool(dir, {"dump", "a", "--raw"}).out;
        ASSERT_EQ(sorted.size(), input.size());
        run = runTool(dir, {"load", "b", "--atomic"}, sorted);
        ASSERT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(runTool(dir, {"dump", "b", "--raw", "--index", "0"}).out, sorted);
        run = runTool(dir, {"info", "b"});
        EXPECT_EQ(run.status, 0) << run.err;
        EXPECT_FALSE(contains(run.out, "variable-length check")) << run.out;
        const ToolRun text = runTool(dir, {"dump", "b"});
        for (const int length : {kFixed, kMax}) {
            EXPECT_TRUE(contains(text.out, " len " + std::to_string(length) + " ")) << length;
        }
    }
}

// check walks the variable-length blocks too: clean after a load, and a
// block whose magic is damaged is named as such.
TEST(VarlenToolTest, CheckNamesDamagedVariableLengthBlocks) {
    TempDir dir;
    createVar(dir, "v", false);
    std::mt19937 random(7);
    std::string input;
    for (int id = 1; id <= 20; ++id) input += framed(varRecord(id, kFixed + 100, random));
    ASSERT_EQ(runTool(dir, {"load", "v"}, input).status, 0);
    ToolRun run = runTool(dir, {"check", "v"});
    EXPECT_EQ(run.status, 0) << run.out;
    EXPECT_EQ(run.out, "v: clean (data file, 1 index, variable-length blocks)\n");
    std::vector<uint8_t> index = readFile(dir.file("v.wox"));
    constexpr size_t kBlock = 1024, kMagicAt = 2;
    std::vector<size_t> damaged;  // block numbers, from 1
    for (size_t at = kBlock; at + kBlock <= index.size(); at += kBlock) {
        if (index[at + kMagicAt] == 0x7E && index[at + kMagicAt + 1] == 0x26) {
            index[at + kMagicAt] = 0;
            damaged.push_back(at / kBlock + 1);
        }
    }
    ASSERT_FALSE(damaged.empty());
    writeFile(dir.file("v.wox"), index);
    run = runTool(dir, {"check", "v"});
    EXPECT_EQ(run.status, 1);
    // Each finding line names a damaged block and a record whose variable part lies there.
    const std::string head = "v: variable-length blocks: bad index node magic number (0x40): index block ";
    size_t lines = 0;
    for (size_t at = run.out.find(head); at != std::string::npos; at = run.out.find(head, at + 1), ++lines) {
        const size_t block = std::stoul(run.out.substr(at + head.size()));
        EXPECT_NE(std::find(damaged.begin(), damaged.end(), block), damaged.end()) << block << "\n" << run.out;
        EXPECT_EQ(run.out.find(", record " + std::to_string(lines + 1) + ": its variable part cannot be read",
                               at + head.size()),
                  at + head.size() + std::to_string(block).size())
            << run.out;
    }
    EXPECT_EQ(lines, 10u) << run.out;  // the first ten records, then how many more
    EXPECT_TRUE(contains(run.out, "(0x40): and 10 more\nv: damaged: 1 finding\n")) << run.out;
}

}  // namespace
}  // namespace wisam::testing
