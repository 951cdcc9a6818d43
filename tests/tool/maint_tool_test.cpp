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

#include <nlohmann/json.hpp>

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
         {"data file: data free list is corrupt (0x4): the data free list (kept in the index file) should list each "
          "deleted record once: 1 record is deleted (10), 299 in use, and the dictionary counts 300 in use\n",
          "index 1 (0:4:long): index/data mismatch (0x80): record 10, key 70: deleted, yet in the index\n",
          "index 2 (4:20:char:dups): index/data mismatch (0x80): record 10, key \"name 33\": deleted, yet in the index\n"},
         kRecords - 1},
        {"a record's keys changed behind the indexes",
         [](const TempDir &d) { patch(d, "people.wod", 20 * kSlot, record(5000).substr(0, 12)); },
         {"index 1 (0:4:long): index/data mismatch (0x80): record 21, key 5000: its key does not lead to it: the "
          "index holds it under another key\n",
          "index 2 (4:20:char:dups): index/data mismatch (0x80): record 21, key \"name 5\": its key does not lead to "
          "it: the index holds it under another key\n"},
         kRecords},
        {"a live slot past the highest record number",
         [](const TempDir &d) {
             std::vector<uint8_t> data = readFile(d.file("people.wod"));
             const std::string extra = record(9999) + "\n";
             data.insert(data.end(), extra.begin(), extra.end());
             writeFile(d.file("people.wod"), data);
         },
         {"data file: data free list is corrupt (0x4): record 301: 1 whole slot past the highest record number 300 "
          "from here, on no list\n"},
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
            EXPECT_TRUE(contains(run.out, "people: " + finding)) << c.damage << "\n" << run.out;
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

// Damage at known places of the index and data files: each finding line
// names that place, the block of the index file or the record with its key,
// in text and in --json.
struct IndexLayout {
    size_t blockSize = 0;
    uint32_t root1 = 0;  // the root of index 1, a single leaf of 300 entries
};

IndexLayout layout(const TempDir &dir) {
    IndexLayout l;
    IsFile *f = isOpen(dir.name("people").c_str(), ISINPUT);
    EXPECT_NE(f, nullptr);
    if (f == nullptr) return l;
    IsamInfo info{};
    KeyDesc key{};
    EXPECT_EQ(isIsamInfo(f, &info), 1);
    EXPECT_EQ(isIndexInfo(f, &key, 1), 1);
    isClose(f);
    l.blockSize = static_cast<size_t>(info.blockSize);
    l.root1 = key.rootNode;
    return l;
}

// An entry of index 1: the key (4 bytes) and the record number (4 bytes), big-endian.
std::string entry(int32_t key, int32_t recnum) {
    std::string bytes(8, '\0');
    stLong(key, bytes.data());
    stLong(recnum, bytes.data() + 4);
    return bytes;
}

TEST(MaintToolTest, CheckNamesTheBlockOrRecordOfEachDamage) {
    struct Case {
        const char *damage;
        // Damages the files; returns the lines the check must print.
        std::function<std::vector<std::string>(const TempDir &, const IndexLayout &)> apply;
        int status = 1;
        bool onStderr = false;
    };
    const auto block = [](const TempDir &d, const IndexLayout &l, uint32_t n) {
        const std::vector<uint8_t> all = readFile(d.file("people.wox"));
        return std::string(all.begin() + long((n - 1) * l.blockSize), all.begin() + long(n * l.blockSize));
    };
    const std::vector<Case> cases = {
        {"an entry of index 1 leads to the next record",
         [&](const TempDir &d, const IndexLayout &l) -> std::vector<std::string> {
             const size_t at = block(d, l, l.root1).find(entry(147, 21));  // record 21 holds id 147
             EXPECT_NE(at, std::string::npos);
             patch(d, "people.wox", (l.root1 - 1) * l.blockSize + at, entry(147, 22));
             return {"people: index 1 (0:4:long): index/data mismatch (0x80): record 22, key 154: the index leads to it twice\n",
                     "people: index 1 (0:4:long): index/data mismatch (0x80): record 21, key 147: in use, yet not in the index\n"};
         }},
        {"two entries of index 1 swapped",
         [&](const TempDir &d, const IndexLayout &l) -> std::vector<std::string> {
             const std::string leaf = block(d, l, l.root1);
             const size_t first = 2 + 8 * 10;  // after the used length, the eleventh and twelfth entries
             const std::string a = leaf.substr(first, 8), b = leaf.substr(first + 8, 8);
             patch(d, "people.wox", (l.root1 - 1) * l.blockSize + first, b + a);
             const auto number = [](const std::string &bytes, size_t at) { return std::to_string(ldLong(bytes.data() + at)); };
             return {"people: index 1 (0:4:long): key out of order (0x10): record " + number(a, 4) + ", key " +
                     number(a, 0) + ": sorts before the key of record " + number(b, 4) + " before it (" + number(b, 0) +
                     ")\n"};
         }},
        {"a leaf of index 2 with a used length past its block",
         [&](const TempDir &d, const IndexLayout &l) -> std::vector<std::string> {
             // A leaf (level byte 0) other than index 1's root, holding names.
             uint32_t leaf = 0;
             for (uint32_t n = 2; leaf == 0 && n * l.blockSize <= readFile(d.file("people.wox")).size(); ++n) {
                 const std::string b = block(d, l, n);
                 if (n != l.root1 && b[l.blockSize - 2] == 0 && b[l.blockSize - 3] == 0 && b.substr(2, 5) == "name ") leaf = n;
             }
             EXPECT_NE(leaf, 0u);
             patch(d, "people.wox", (leaf - 1) * l.blockSize, "\xff\xf0");
             const std::string n = std::to_string(leaf);
             return {"people: index 2 (4:20:char:dups): index file read error (error 105: Corrupted isam file) (0x8): "
                     "index block " + n + ": reported damaged (corrupted isam file: index block " + n + ")\n"};
         }},
        {"a marker byte neither in use nor deleted",
         [&](const TempDir &d, const IndexLayout &) -> std::vector<std::string> {
             patch(d, "people.wod", 32 * kSlot + kLength, "x");
             return {"people: data file: data record corrupt (0x2): record 33: its marker byte is 0x78, neither in use "
                     "(0x0a) nor deleted (0x00)\npeople: damaged: 1 finding\n"};
         }},
        {"the root of index 1 with a used length past its block",
         [&](const TempDir &d, const IndexLayout &l) -> std::vector<std::string> {
             patch(d, "people.wox", (l.root1 - 1) * l.blockSize, "\xff\xf0");
             return {"wisam: check people: the library reports: corrupted isam file: index block " + std::to_string(l.root1) + "\n"};
         },
         1, true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.damage);
        TempDir dir;
        makePeople(dir);
        const IndexLayout l = layout(dir);
        ASSERT_GT(l.blockSize, 0u);
        const std::vector<std::string> lines = c.apply(dir, l);
        const ToolRun run = runTool(dir, {"check", "people"});
        EXPECT_EQ(run.status, c.status);
        for (const std::string &line : lines) EXPECT_TRUE(contains(c.onStderr ? run.err : run.out, line)) << line << "\n" << run.out << run.err;
        // Every finding line names a place.
        for (size_t at = 0, end; (end = run.out.find('\n', at)) != std::string::npos; at = end + 1) {
            const std::string line = run.out.substr(at, end - at);
            EXPECT_EQ(line.find("no place found"), std::string::npos) << line;
        }
    }
}

TEST(MaintToolTest, CheckJsonHoldsTheFindingsAndTheirPlaces) {
    TempDir dir;
    makePeople(dir);
    EXPECT_EQ(runTool(dir, {"check", "people", "--json"}).out,
              "{\n  \"name\": \"people\",\n  \"clean\": true,\n  \"checked\": \"data file, 2 indexes\",\n"
              "  \"notes\": [],\n  \"findings\": []\n}\n");
    patch(dir, "people.wod", 9 * kSlot + kLength, std::string(1, char(kMarkerDeleted)));
    const ToolRun run = runTool(dir, {"check", "people", "--json"});
    EXPECT_EQ(run.status, 1);
    const nlohmann::json json = nlohmann::json::parse(run.out);
    EXPECT_EQ(json["clean"], false);
    std::vector<std::string> seen;
    for (const auto &finding : json["findings"]) {
        for (const auto &place : finding["places"]) {
            seen.push_back(finding["part"].get<std::string>() + " " + std::to_string(finding["bit"].get<int>()) + " " +
                           (place.contains("record") ? std::to_string(place["record"].get<int>()) : "-") + " " +
                           place.value("key", "-"));
        }
    }
    EXPECT_EQ(seen, (std::vector<std::string>{"data file 4 - -", "index 1 (0:4:long) 32 - -", "index 1 (0:4:long) 128 10 70",
                                              "index 2 (4:20:char:dups) 32 - -",
                                              "index 2 (4:20:char:dups) 128 10 \"name 33\""}));
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
         {"people: data file: data free list is corrupt (0x4): record 301: the highest record number is 301, but the "
          "data file holds 300 slots: from here on no record has a slot\n",
          "people: index 1 (0:4:long): index count mismatch (0x20): ",
          "people: index 2 (4:20:char:dups): index count mismatch (0x20): ", "people: damaged: 3 findings\n"},
         1, "cannot hold"},
        {"extended sparse",
         [&](const TempDir &d) {
             const int64_t length = setLength(d, kSparse);
             return length > 0 ? length : setLength(d, kSparseFallback);
         },
         1, {"people: " + longer + "s past the highest record number 300\n",
             "people: data file: data free list is corrupt (0x4): record 301: %S whole slots past the highest record "
             "number 300 from here, on no list\n",
             "people: damaged: 1 finding\n"},
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
          "people: data file: data free list is corrupt (0x4): record 301: 1 whole slot past the highest record "
          "number 300 from here, on no list\n",
          "people: index 1 (0:4:long): index count mismatch (0x20): record 301: in use past the highest record number "
          "300, not in the index\n",
          "people: damaged: 3 findings\n"},
         0,
         "  " + longer + " past"},
        {"cut short mid-slot", [&](const TempDir &d) { return setLength(d, full - kSlot / 2); }, 1,
         {"people: data file: data free list is corrupt (0x4): record 300: the highest record number is 300, but the "
          "data file holds 299 slots",
          "people: index 1 (0:4:long): index/data mismatch (0x80): record 300: reading the index in key order fails "
          "after 43 entries: error 105: Corrupted isam file\n"},
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
    EXPECT_EQ(run.out,
              "people: index 2 (4:20:char:dups): index/data mismatch (0x80): record 4, key \"zzzz 28\": its key does not "
              "lead to it: the index holds it under another key\npeople: damaged: 1 finding\n");
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
