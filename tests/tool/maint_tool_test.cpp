// maint_tool_test.cpp - the tool's maintenance commands: check finds each
// kind of damage done on purpose and names it, rebuild makes the file check
// clean with every record reachable through every index; copy, clone and
// cluster give files equal to their source record for record; index add and
// drop, erase and rename; no progress line on a pipe.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "tool/toolrun.h"
#include "wisam.h"

namespace wisam::testing {
namespace {

constexpr int kLength = 40;
constexpr int kSlot = kLength + 1;  // record bytes, then the marker byte
constexpr int kRecords = 300;
constexpr uint8_t kMarkerDeleted = 0x00;

std::string record(int32_t id) {
    std::string r(kLength, ' ');
    stLong(id, r.data());
    const std::string name = "name " + std::to_string(id % 37);
    r.replace(4, name.size(), name);
    return r;
}

std::string records(int count) {
    std::string all;
    for (int id = 1; id <= count; ++id) all += record(id * 7 % 1000);
    return all;
}

void makePeople(const TempDir &dir, const std::string &name = "people") {
    ASSERT_EQ(runTool(dir, {"create", name, "--reclen", "40", "--key", "0:4:long", "--key", "4:20:char:dups"}).status, 0);
    ASSERT_EQ(runTool(dir, {"load", name}, records(kRecords)).status, 0);
}

std::string rawDump(const TempDir &dir, const std::string &name, int index) {
    return runTool(dir, {"dump", name, "--raw", "--index", std::to_string(index)}).out;
}

// Every index and record-number order hold `count` records, the same set.
void expectReachable(const TempDir &dir, const std::string &name, size_t count) {
    std::vector<std::string> orders;
    for (int index = 0; index <= 2; ++index) {
        std::string raw = rawDump(dir, name, index);
        ASSERT_EQ(raw.size(), count * kLength) << "index " << index;
        std::vector<std::string> rows;
        for (size_t at = 0; at < raw.size(); at += kLength) rows.push_back(raw.substr(at, kLength));
        std::sort(rows.begin(), rows.end());
        std::string sorted;
        for (const std::string &row : rows) sorted += row;
        orders.push_back(sorted);
    }
    EXPECT_EQ(orders[1], orders[0]);
    EXPECT_EQ(orders[2], orders[0]);
}

void patch(const TempDir &dir, const std::string &file, size_t offset, const std::string &bytes) {
    std::vector<uint8_t> all = readFile(dir.file(file));
    ASSERT_LE(offset + bytes.size(), all.size());
    std::copy(bytes.begin(), bytes.end(), all.begin() + static_cast<long>(offset));
    writeFile(dir.file(file), all);
}

TEST(MaintToolTest, CheckFindsEachDamageAndRebuildRepairsIt) {
    struct Case {
        const char *damage;
        std::function<void(const TempDir &)> apply;
        std::vector<std::string> findings;
        size_t recordsAfter;  // live records after the rebuild
    };
    const std::vector<Case> cases = {
        {"a deleted marker with no free-list entry",
         [](const TempDir &d) { patch(d, "people.wod", 9 * kSlot + kLength, std::string(1, char(kMarkerDeleted))); },
         {"data file: data free list is corrupt (0x4)", "index 1 (0:4:long): index/data mismatch (0x80)",
          "index 2 (4:20:char:dups): index/data mismatch (0x80)"},
         kRecords - 1},
        {"a record's keys changed behind the indexes",
         [](const TempDir &d) { patch(d, "people.wod", 20 * kSlot, record(5000).substr(0, 12)); },
         {"index 1 (0:4:long): index/data mismatch (0x80)", "index 2 (4:20:char:dups): index/data mismatch (0x80)"},
         kRecords},
        {"a live slot past the highest record number",
         [](const TempDir &d) {
             std::vector<uint8_t> data = readFile(d.file("people.wod"));
             const std::string extra = record(9999) + "\n";
             data.insert(data.end(), extra.begin(), extra.end());
             writeFile(d.file("people.wod"), data);
         },
         {"data file: data free list is corrupt (0x4)"},
         kRecords + 1},
    };
    for (const Case &c : cases) {
        TempDir dir;
        makePeople(dir);
        ToolRun run = runTool(dir, {"check", "people"});
        ASSERT_EQ(run.status, 0) << run.out << run.err;
        EXPECT_EQ(run.out, "people: clean (data file, 2 indexes)\n");
        c.apply(dir);
        run = runTool(dir, {"check", "people"});
        EXPECT_EQ(run.status, 1) << c.damage;
        for (const std::string &finding : c.findings) {
            EXPECT_TRUE(contains(run.out, "people: " + finding + "\n")) << c.damage << "\n" << run.out;
        }
        EXPECT_TRUE(contains(run.out, "people: damaged: ")) << run.out;
        run = runTool(dir, {"rebuild", "people", "--all"});
        EXPECT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(run.out, "rebuilt people: the data free list, index 1, index 2\n");
        run = runTool(dir, {"check", "people"});
        EXPECT_EQ(run.status, 0) << c.damage << "\n" << run.out;
        expectReachable(dir, "people", c.recordsAfter);
    }
}

// The data file against the highest record number the index file holds:
// check reads no further than that number, says at once how much longer
// the data file is, and treats a dictionary ahead of its data file as a
// finding, never as a failed read; info says when the data file is longer
// than its records need.
constexpr int kDictHighest = 33;  // the highest record number in the index file's dictionary
constexpr int64_t kSparse = int64_t{1} << 40;
constexpr int64_t kSparseFallback = int64_t{64} << 30;  // where the file system refuses a terabyte

void setHighest(const TempDir &dir, uint32_t highest) {
    const std::string bytes = {char(highest >> 24), char(highest >> 16), char(highest >> 8), char(highest)};
    patch(dir, "people.wox", kDictHighest, bytes);
}

int64_t setLength(const TempDir &dir, int64_t bytes) {
    return ::truncate(dir.file("people.wod").c_str(), bytes) == 0 ? bytes : -1;
}

TEST(MaintToolTest, CheckAndInfoMeasureTheDataFileByTheHighestRecordNumber) {
    struct Case {
        const char *setup;
        std::function<int64_t(const TempDir &)> apply;  // the data file's length after it
        int checkStatus;
        std::vector<std::string> checkSays;  // fragments of the check's output
        int infoStatus;
        std::string infoSays;                 // a fragment of info's output
    };
    const int64_t full = int64_t{kRecords} * kSlot;
    const std::string longer = "data file: %B bytes, longer than its records need: %S whole slot";
    const std::vector<Case> cases = {
        {"as the dictionary says", [&](const TempDir &) { return full; }, 0, {"people: clean (data file"}, 0, "  highest record number 300\n"},
        {"highest number one above the slots", [&](const TempDir &d) { return setHighest(d, kRecords + 1), full; }, 1,
         {"people: data file: data free list is corrupt (0x4)\n",
          "people: index 1 (0:4:long): index count mismatch (0x20)\n",
          "people: index 2 (4:20:char:dups): index count mismatch (0x20)\n", "people: damaged: 3 findings\n"},
         1, "cannot hold"},
        {"extended sparse",
         [&](const TempDir &d) {
             const int64_t length = setLength(d, kSparse);
             return length > 0 ? length : setLength(d, kSparseFallback);
         },
         1, {"people: " + longer + "s past the highest record number 300\n",
             "people: data file: data free list is corrupt (0x4)\n", "people: damaged: 1 finding\n"},
         0, "  " + longer},
        {"one live slot past the highest",
         [&](const TempDir &d) {
             std::vector<uint8_t> data = readFile(d.file("people.wod"));
             const std::string extra = record(9999) + "\n";
             data.insert(data.end(), extra.begin(), extra.end());
             writeFile(d.file("people.wod"), data);
             return full + kSlot;
         },
         1,
         {"people: " + longer + " past the highest record number 300\n",
          "people: data file: data free list is corrupt (0x4)\n",
          "people: index 1 (0:4:long): index count mismatch (0x20)\n", "people: damaged: 3 findings\n"},
         0,
         "  " + longer + " past"},
        {"cut short mid-slot", [&](const TempDir &d) { return setLength(d, full - kSlot / 2); }, 1,
         {"people: data file: data free list is corrupt (0x4)\n",
          "people: index 1 (0:4:long): index/data mismatch (0x80)\n"},
         1, "cannot hold"},
        {"part of a slot past the highest", [&](const TempDir &d) { return setLength(d, full + kSlot - 1); }, 0,
         {"people: clean (data file"}, 0, "  highest record number 300\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.setup);
        TempDir dir;
        makePeople(dir);
        const int64_t length = c.apply(dir);
        ASSERT_GT(length, 0);
        const auto fill = [&](std::string text) {
            for (const auto &[mark, value] : {std::pair<std::string, int64_t>{"%B", length},
                                              std::pair<std::string, int64_t>{"%S", length / kSlot - kRecords}}) {
                if (const size_t at = text.find(mark); at != std::string::npos) text.replace(at, 2, std::to_string(value));
            }
            return text;
        };
        ToolRun run = runTool(dir, {"check", "people"});
        EXPECT_EQ(run.status, c.checkStatus) << run.out << run.err;
        for (const std::string &says : c.checkSays) EXPECT_TRUE(contains(run.out, fill(says))) << fill(says) << "\n" << run.out;
        EXPECT_FALSE(contains(run.out + run.err, "read error")) << run.out << run.err;
        if (c.checkStatus == 0) {
            EXPECT_FALSE(contains(run.out, "longer than")) << run.out;
        }
        run = runTool(dir, {"info", "people"});
        EXPECT_EQ(run.status, c.infoStatus) << run.out << run.err;
        EXPECT_TRUE(contains(run.out + run.err, fill(c.infoSays))) << run.out << run.err;
        if (c.infoSays.find("longer") == std::string::npos) {
            EXPECT_FALSE(contains(run.out, "longer than")) << run.out;
        }
    }
}

TEST(MaintToolTest, CheckAndRebuildOneIndexAndRefuseBadUsage) {
    TempDir dir;
    makePeople(dir);
    patch(dir, "people.wod", 3 * kSlot + 4, "zzzz");  // the name: index 2 only
    ToolRun run = runTool(dir, {"check", "people", "--index", "1"});
    EXPECT_EQ(run.status, 0) << run.out;
    EXPECT_EQ(run.out, "people: clean (index 1)\n");
    run = runTool(dir, {"check", "people", "--index", "2"});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, "people: index 2 (4:20:char:dups): index/data mismatch (0x80)\npeople: damaged: 1 finding\n");
    EXPECT_EQ(runTool(dir, {"rebuild", "people", "--index", "2"}).out, "rebuilt people: index 2\n");
    EXPECT_EQ(runTool(dir, {"check", "people"}).status, 0);
    const std::vector<ToolCase> usages = {
        {{"check", "people", "--index", "3"}, 2, "no index 3 (the file has 2)"},
        {{"check", "people", "--index", "0"}, 2, "--index 0: the value must be a number from 1 to 33"},
        {{"check"}, 2, "check needs a NAME"},
        {{"rebuild", "people", "--all", "--index", "1"}, 2, "--index and --all exclude each other"},
        {{"rebuild", "people", "--index", "7"}, 2, "no index 7 (the file has 2)"},
        {{"cluster", "people"}, 2, "cluster needs --index N"},
        {{"index", "drop", "people", "x"}, 2, "N x: the value must be a number"},
        {{"index", "add", "people", "1:2"}, 2, "a key part is START:LEN:TYPE"},
        {{"check", "gone"}, 1, "the index file gone.wox does not exist"},
        {{"erase", "gone"}, 1, "erase gone: error 2: No such file or directory"},
    };
    for (const ToolCase &c : usages) expectCase(dir, c);
}

TEST(MaintToolTest, CopyCloneAndClusterKeepEveryRecord) {
    TempDir dir;
    makePeople(dir);
    ToolRun run = runTool(dir, {"copy", "people", "copied", "--index", "2"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, "copied 300 records from people to copied (built like it)\n");
    for (int index = 1; index <= 2; ++index) EXPECT_EQ(rawDump(dir, "copied", index), rawDump(dir, "people", index));
    EXPECT_EQ(rawDump(dir, "copied", 0), rawDump(dir, "people", 2));  // written in index 2's order

    run = runTool(dir, {"clone", "people", "empty"});
    EXPECT_EQ(run.status, 0) << run.err;
    const std::string info = runTool(dir, {"info", "empty"}).out;
    EXPECT_TRUE(contains(info, "empty: 2 indexes, record length 40, 0 records")) << info;
    EXPECT_TRUE(contains(info, "  index 2: 4:20:char:dups ")) << info;

    const std::string byName = rawDump(dir, "people", 2);
    run = runTool(dir, {"cluster", "people", "--index", "2"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, "clustered people on index 2: 300 records\n");
    EXPECT_EQ(rawDump(dir, "people", 0), byName);  // the data file now in index 2's order
    EXPECT_EQ(runTool(dir, {"check", "people"}).status, 0);
    EXPECT_EQ(listDir(dir), (std::vector<std::string>{"copied.lck", "copied.wod", "copied.wox", "empty.lck",
                                                      "empty.wod", "empty.wox", "people.lck", "people.wod",
                                                      "people.wox"}));
}

TEST(MaintToolTest, AFailedCopyLeavesTheSourceAndRemovesANewDestination) {
    TempDir dir;
    makePeople(dir);
    ASSERT_EQ(runTool(dir, {"create", "small", "--reclen", "40", "--key", "0:4:long"}).status, 0);
    ASSERT_EQ(runTool(dir, {"load", "small"}, record(7 * 5)).status, 0);  // a key people holds too
    const std::vector<uint8_t> index = readFile(dir.file("people.wox")), data = readFile(dir.file("people.wod"));
    ToolRun run = runTool(dir, {"copy", "people", "small"});
    EXPECT_EQ(run.status, 1);
    EXPECT_TRUE(contains(run.err, "Duplicate record")) << run.err;
    EXPECT_TRUE(contains(run.err, "small is as it was")) << run.err;
    EXPECT_EQ(rawDump(dir, "small", 0), record(7 * 5));
    EXPECT_EQ(readFile(dir.file("people.wox")), index);
    EXPECT_EQ(readFile(dir.file("people.wod")), data);
    run = runTool(dir, {"copy", "people", "nowhere/new"});
    EXPECT_EQ(run.status, 1);
    EXPECT_FALSE(std::filesystem::exists(dir.file("nowhere")));
}

TEST(MaintToolTest, IndexAddDropEraseAndRename) {
    TempDir dir;
    makePeople(dir);
    ToolRun run = runTool(dir, {"index", "add", "people", "4:8:char:dups"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, "added index 3 to people: 4:8:char:dups\n");
    EXPECT_TRUE(contains(runTool(dir, {"info", "people"}).out, "  index 3: 4:8:char:dups ("));
    EXPECT_EQ(rawDump(dir, "people", 3).size(), size_t{kRecords} * kLength);
    run = runTool(dir, {"index", "add", "people", "4:8:char:dups"});
    EXPECT_EQ(run.status, 1);
    EXPECT_TRUE(contains(run.err, "Index already exists")) << run.err;
    run = runTool(dir, {"index", "drop", "people", "2"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, "dropped index 2 of people: 4:20:char:dups\n");
    EXPECT_TRUE(contains(runTool(dir, {"info", "people"}).out, "people: 2 indexes"));
    EXPECT_EQ(runTool(dir, {"check", "people"}).status, 0);

    IsFile *other = isOpen(dir.name("people").c_str(), ISINPUT);
    ASSERT_NE(other, nullptr);
    for (const std::vector<std::string> &args : std::vector<std::vector<std::string>>{
             {"erase", "people"}, {"rename", "people", "folk"}, {"rebuild", "people"}, {"index", "drop", "people", "2"}}) {
        run = runTool(dir, args);
        EXPECT_EQ(run.status, 1) << args[0];
        EXPECT_TRUE(contains(run.err, "another process has people open")) << run.err;
    }
    isClose(other);
    EXPECT_EQ(runTool(dir, {"rename", "people", "folk"}).out, "renamed people to folk\n");
    EXPECT_EQ(listDir(dir), (std::vector<std::string>{"folk.lck", "folk.wod", "folk.wox"}));
    EXPECT_EQ(rawDump(dir, "folk", 1).size(), size_t{kRecords} * kLength);
    EXPECT_EQ(runTool(dir, {"erase", "folk"}).out, "erased folk\n");
    EXPECT_EQ(listDir(dir), std::vector<std::string>{});
}

// A file without primary key: index 1 is record-number order, index 2 its
// first real index, in dump, check, rebuild and cluster alike.
TEST(MaintToolTest, AFileWithoutPrimaryKeyNumbersItsIndexesAsInfoDoes) {
    TempDir dir;
    ASSERT_EQ(runTool(dir, {"create", "np", "--reclen", "40", "--key", "none", "--key", "4:20:char:dups"}).status, 0);
    std::string input;
    for (int id = 50; id >= 1; --id) input += record(id);
    ASSERT_EQ(runTool(dir, {"load", "np"}, input).status, 0);
    EXPECT_EQ(rawDump(dir, "np", 1), input);
    EXPECT_EQ(rawDump(dir, "np", 0), input);
    const std::string byName = rawDump(dir, "np", 2);
    ASSERT_EQ(byName.size(), input.size());
    EXPECT_NE(byName, input);
    for (size_t at = kLength; at < byName.size(); at += kLength) {
        EXPECT_LE(byName.substr(at - kLength + 4, 20), byName.substr(at + 4, 20)) << at;
    }
    EXPECT_EQ(runTool(dir, {"check", "np", "--index", "2"}).out, "np: clean (index 2)\n");
    EXPECT_EQ(runTool(dir, {"rebuild", "np"}).out, "rebuilt np: the data free list, index 2\n");
    ASSERT_EQ(runTool(dir, {"cluster", "np", "--index", "2"}).status, 0);
    EXPECT_EQ(rawDump(dir, "np", 0), byName);
    EXPECT_EQ(runTool(dir, {"check", "np"}).out, "np: clean (data file, 2 indexes)\n");
}

TEST(MaintToolTest, NoProgressLineOnAPipe) {
    TempDir dir;
    ASSERT_EQ(runTool(dir, {"create", "big", "--reclen", "40", "--key", "0:4:long"}).status, 0);
    std::string many;
    for (int id = 0; id < 200000; ++id) many += record(id);
    for (const std::vector<std::string> &args : std::vector<std::vector<std::string>>{
             {"load", "big"}, {"dump", "big"}, {"check", "big"}, {"rebuild", "big"}, {"cluster", "big", "--index", "1"}}) {
        const ToolRun run = runTool(dir, args, args[0] == "load" ? many : "");
        EXPECT_EQ(run.status, 0) << args[0] << run.err;
        EXPECT_EQ(run.err.find('\r'), std::string::npos) << args[0];
        EXPECT_EQ(run.err.find("/s"), std::string::npos) << args[0];
    }
}

}  // namespace
}  // namespace wisam::testing
