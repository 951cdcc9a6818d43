// convenience_tool_test.cpp - stat against the trees as they are on disk
// and its cache advice against the caches it names; get and put of one
// record through a schema; info --json against the text; the manual page
// against --help.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "support/treecheck.h"
#include "tool/toolrun.h"
#include "wisam.h"

namespace wisam::testing {
namespace {

using Json = nlohmann::json;

// 24-byte records: a unique id, a group of three values (half the records
// 'A'), and a name shared by five ids, indexed compressed.
constexpr int kLength = 24;

std::string group(int32_t id) { return id % 10 < 5 ? "A   " : id % 10 < 8 ? "B   " : "C   "; }
std::string name(int32_t id) {
    std::string n = "n" + std::to_string(id % 1000);
    return n + std::string(16 - n.size(), ' ');
}
std::string row(int32_t id) {
    std::string r(4, '\0');
    stLong(id, r.data());
    return r + group(id) + name(id);
}

struct Made {
    std::map<std::string, int> groups, names;  // live records by key
    int32_t highest = 0;
    int live = 0;
};

// NAME with `count` records in random order of ids, then every
// `deleteEvery`-th record number deleted (0: none).
Made makeFile(const TempDir &dir, const std::string &file, int count, int deleteEvery) {
    Made m;
    EXPECT_EQ(runTool(dir, {"create", file, "--reclen", "24", "--key", "0:4:long", "--key", "4:4:char:dups", "--key",
                            "8:16:char:dups:compress"}).status, 0);
    std::string input;
    std::vector<int32_t> ids;
    for (int i = 0; i < count; ++i) ids.push_back(i * 7919 % count);
    for (const int32_t id : ids) input += row(id);
    EXPECT_EQ(runTool(dir, {"load", file}, input).status, 0);
    IsFile *f = isOpen(dir.name(file).c_str(), ISINOUT | ISEXCLLOCK);
    EXPECT_NE(f, nullptr);
    for (int32_t r = 1; r <= count; ++r) {
        const int32_t id = ids[static_cast<size_t>(r - 1)];
        if (deleteEvery != 0 && r % deleteEvery == 0) {
            EXPECT_EQ(isDelRec(f, r), 1);
            continue;
        }
        ++m.groups[group(id)], ++m.names[name(id)], ++m.live;
    }
    isClose(f);
    m.highest = count;
    return m;
}

// The longest run of a key and the first key with it, as stat writes the key.
std::pair<int, std::string> longest(const std::map<std::string, int> &keys) {
    std::pair<int, std::string> best{0, ""};
    for (const auto &[key, n] : keys) {
        if (n > best.first) best = {n, "\"" + key.substr(0, key.find_last_not_of(' ') + 1) + "\""};
    }
    return best;
}

uint64_t readIntoCache() {
    uint32_t requested[2], into[2], through[2], written[2];
    getIsamProfileData(requested, into, through, written);
    return uint64_t{into[1]} << 32 | into[0];
}

// Reads every record through every index and by number; the bytes read
// into the caches meanwhile.
uint64_t readAll(IsFile *f) {
    const uint64_t before = readIntoCache();
    char record[kLength];
    for (int index = 0; index <= 3; ++index) {
        EXPECT_EQ(isIndex(f, index), 1);
        for (int mode = modeFirst; isRead(f, record, mode); mode = modeNext) {
        }
    }
    return readIntoCache() - before;
}

// Whether caches of the given lines hold the file: reading everything once
// more reads nothing more into them.
bool cachesHold(const TempDir &dir, const std::string &file, int32_t indexLines, int32_t dataLines) {
    const int32_t active = isFileCacheActive, index = isDefaultIndexCacheLines, data = isDefaultDataCacheLines;
    isFileCacheActive = 1, isDefaultIndexCacheLines = indexLines, isDefaultDataCacheLines = dataLines;
    // Without locks a handle maps nothing: every read goes through the caches.
    IsFile *f = isOpen(dir.name(file).c_str(), ISINPUT | ISNOLOCK);
    EXPECT_NE(f, nullptr);
    readAll(f);
    readAll(f);  // what the open read before the caches began
    const bool held = readAll(f) == 0;
    isClose(f);
    isFileCacheActive = active, isDefaultIndexCacheLines = index, isDefaultDataCacheLines = data;
    return held;
}

TEST(ConvenienceToolTest, StatMeasuresTheTreesAsTheyAreOnDisk) {
    struct Case {
        int count, deleteEvery;
    };
    for (const Case c : {Case{40, 0}, Case{6000, 0}, Case{6000, 3}}) {
        SCOPED_TRACE(std::to_string(c.count) + " records, every " + std::to_string(c.deleteEvery) + " deleted");
        TempDir dir;
        const Made m = makeFile(dir, "f", c.count, c.deleteEvery);
        const ToolRun run = runTool(dir, {"stat", "f", "--json"});
        ASSERT_EQ(run.status, 0) << run.err;
        const Json stat = Json::parse(run.out);
        EXPECT_EQ(stat["records"], m.live);
        EXPECT_EQ(stat["highest_record_number"], m.highest);
        EXPECT_EQ(stat["free_slots"], m.highest - m.live);
        EXPECT_EQ(stat["data_file"]["bytes"], int64_t{m.highest} * (kLength + 1));

        // Depth, nodes and entries of each index as the index file holds them.
        IsFile *f = isOpen(dir.name("f").c_str(), ISINPUT);
        ASSERT_NE(f, nullptr);
        const FileCheck disk = checkIndexFile(f, dir.file("f.wox"));
        isClose(f);
        ASSERT_TRUE(disk.ok()) << disk.report();
        ASSERT_EQ(stat["indexes"].size(), 3u);
        int64_t nodes = 0;
        for (size_t i = 0; i < 3; ++i) {
            const Json &index = stat["indexes"][i];
            EXPECT_EQ(index["depth"], disk.indexes[i].height) << i;
            EXPECT_EQ(index["nodes"], disk.indexes[i].nodes) << i;
            EXPECT_EQ(index["entries"], disk.indexes[i].entries.size()) << i;
            EXPECT_EQ(index["leaves"], disk.indexes[i].leafUsed.size()) << i;
            // How full the leaves are: their used bytes against their room.
            double used = 0;
            for (const int32_t u : disk.indexes[i].leafUsed) used += u - 2;
            const double room = static_cast<double>(disk.indexes[i].leafUsed.size()) * (4096 - 6);
            if (i < 2) {
                EXPECT_EQ(index["leaf_fill_percent"], static_cast<int>(used / room * 100 + 0.5)) << i;
            } else {
                EXPECT_TRUE(index["leaf_fill_percent"].is_null());  // compressed
            }
            nodes += disk.indexes[i].nodes;
        }
        EXPECT_EQ(stat["indexes"][0]["longest_run"], 1);
        for (const auto &[i, keys] : {std::pair{1, &m.groups}, std::pair{2, &m.names}}) {
            const auto [run, key] = longest(*keys);
            EXPECT_EQ(stat["indexes"][i]["longest_run"], run) << i;
            EXPECT_EQ(stat["indexes"][i]["longest_run_key"], key) << i;
        }
        const auto blocks = static_cast<int64_t>(std::filesystem::file_size(dir.file("f.wox")) / 4096);
        EXPECT_EQ(stat["index_file"]["blocks"], blocks);
        EXPECT_EQ(stat["index_file"]["index_nodes"], nodes);
        EXPECT_EQ(stat["index_file"]["other"], blocks - 1 - nodes);

        // The advised lines hold the file: a second reading reads nothing.
        const auto indexLines = stat["cache"]["isDefaultIndexCacheLines"].get<int32_t>();
        const auto dataLines = stat["cache"]["isDefaultDataCacheLines"].get<int32_t>();
        EXPECT_EQ(stat["cache"]["isDefaultIndexCacheAssociativity"], isDefaultIndexCacheAssociativity);
        EXPECT_TRUE(cachesHold(dir, "f", indexLines, dataLines));
        if (dataLines > 1) {
            EXPECT_FALSE(cachesHold(dir, "f", indexLines, dataLines - 1));  // one line less is too few
        }

        // The text says the same.
        const std::string text = runTool(dir, {"stat", "f"}).out;
        EXPECT_TRUE(contains(text, "f: " + std::to_string(m.live) + " records in use, " +
                                       std::to_string(m.highest - m.live) + " free slots (highest record number " +
                                       std::to_string(m.highest) + ")"))
            << text;
        EXPECT_TRUE(contains(text, "  index 1 (0:4:long): depth " + std::to_string(disk.indexes[0].height) + ", " +
                                       std::to_string(disk.indexes[0].nodes) + " node"))
            << text;
        EXPECT_TRUE(contains(text, "cache advice: isDefaultIndexCacheLines " + std::to_string(indexLines))) << text;
    }
}

constexpr const char *kSchema =
    R"({"record_length": 40,
        "fields": [{"name": "id", "offset": 0, "length": 4, "type": "long"},
                   {"name": "email", "offset": 4, "length": 16, "type": "char", "pad": "blank"},
                   {"name": "name", "offset": 20, "length": 20, "type": "char", "pad": "blank"}],
        "indexes": [{"number": 1, "unique": true, "parts": ["id"]},
                    {"number": 2, "unique": true, "parts": ["email"]},
                    {"number": 3, "unique": false, "parts": ["name"]}]})";

TEST(ConvenienceToolTest, GetAndPutOneRecordThroughASchema) {
    TempDir dir;
    writeText(dir.file("s.json"), kSchema);
    ASSERT_EQ(runTool(dir, {"create", "p", "--schema", "s.json"}).status, 0);
    ASSERT_EQ(runTool(dir, {"load", "p", "--schema", "s.json"},
                      "id,email,name\n1,a@x,Ann\n2,b@x,Bob\n3,c@x,Ann\n").status, 0);
    struct Case {
        std::vector<std::string> args;
        std::string input;
        int status;
        std::string out;    // exactly
        std::string error;  // a part of standard error
    };
    const std::vector<std::string> get = {"get", "p", "--schema", "s.json"};
    const auto with = [](std::vector<std::string> args, std::initializer_list<std::string> more) {
        args.insert(args.end(), more);
        return args;
    };
    const std::vector<Case> cases = {
        {with(get, {"2"}), "", 0, "id,email,name\n2,b@x,Bob\n", ""},
        {with(get, {"2", "--format", "jsonl"}), "", 0, "{\"id\":2,\"email\":\"b@x\",\"name\":\"Bob\"}\n", ""},
        {with(get, {"\"Ann\"", "--index", "3", "--format", "json"}), "", 0,
         "[\n{\"id\":1,\"email\":\"a@x\",\"name\":\"Ann\"},\n{\"id\":3,\"email\":\"c@x\",\"name\":\"Ann\"}\n]\n", ""},
        {with(get, {"9"}), "", 3, "", "get p: no record has the key 9 in index 1"},
        {with(get, {"9", "--format", "json"}), "", 3, "", "no record has the key 9"},
        {with(get, {"x"}), "", 2, "", "KEY x: "},
        // Without --schema, the schema create kept with p.
        {{"get", "p", "2"}, "", 0, "id,email,name\n2,b@x,Bob\n", ""},
        {{"get", "nothere", "2", "--schema", "s.json"}, "", 1, "", "the index file nothere.wox does not exist"},
        {{"put", "p", "--schema", "s.json", "--format", "jsonl", R"({"id": 4, "email": "d@x", "name": "Dan"})"}, "", 0,
         "put p: added record 4\n", ""},
        {{"put", "p", "--schema", "s.json"}, "name,id,email\nBobby,2,b@x\n", 0, "put p: replaced record 2\n", ""},
        {{"put", "p", "--schema", "s.json", "--format", "json"}, R"([{"id": 5, "email": "e@x", "name": "Eve"}])", 0,
         "put p: added record 5\n", ""},
        {{"put", "p", "--schema", "s.json", "--format", "jsonl", R"({"id": 6, "email": "a@x", "name": "Dup"})"}, "", 1, "",
         "error 100: Duplicate record"},
        {{"put", "p", "--schema", "s.json"}, "id,email,name\n7,g@x,G\n8,h@x,H\n", 1, "",
         "the input holds 2 records; put writes one"},
        {{"put", "p", "--schema", "s.json", "--format", "jsonl", R"({"id": "seven", "email": "g@x", "name": "G"})"}, "", 1,
         "", "field 'id': "},
        {{"put", "p", "--format", "jsonl", "{}"}, "", 1, "", "put p: line 1, field 'id': missing; nothing was written"},
    };
    for (const Case &c : cases) {
        const ToolRun run = runTool(dir, c.args, c.input);
        EXPECT_EQ(run.status, c.status) << c.args[0] << " " << c.args.back() << "\n" << run.err;
        EXPECT_EQ(run.out, c.out) << c.args.back();
        EXPECT_TRUE(contains(run.err, c.error)) << c.error << "\n" << run.err;
    }
    // What the puts left: one added, one replaced in place, the failed ones nothing.
    EXPECT_EQ(runTool(dir, {"dump", "p", "--schema", "s.json", "--index", "0"}).out,
              "id,email,name\n1,a@x,Ann\n2,b@x,Bobby\n3,c@x,Ann\n4,d@x,Dan\n5,e@x,Eve\n");
    EXPECT_EQ(runTool(dir, {"check", "p"}).status, 0);
}

TEST(ConvenienceToolTest, InfoJsonSaysWhatTheTextSays) {
    TempDir dir;
    writeText(dir.file("s.json"), kSchema);
    ASSERT_EQ(runTool(dir, {"create", "p", "--schema", "s.json"}).status, 0);
    ASSERT_EQ(runTool(dir, {"load", "p", "--schema", "s.json"}, "id,email,name\n1,a@x,Ann\n2,b@x,Bob\n").status, 0);
    ASSERT_EQ(runTool(dir, {"create", "v", "--reclen", "8", "--varlen", "100", "--key", "0:4:long"}).status, 0);
    for (const std::string file : {"p", "v"}) {
        const std::string text = runTool(dir, {"info", file}).out;
        const ToolRun run = runTool(dir, {"info", file, "--json"});
        ASSERT_EQ(run.status, 0) << run.err;
        const Json info = Json::parse(run.out);
        const std::string length = info["variable"] ? std::to_string(info["record_length"].get<int>()) + " to " +
                                                           std::to_string(info["maximum_length"].get<int>()) + " (variable)"
                                                     : std::to_string(info["record_length"].get<int>());
        const size_t count = info["indexes"].size();
        EXPECT_TRUE(contains(text, file + ": " + std::to_string(count) + " index" + (count == 1 ? "" : "es") +
                                       ", record length " + length + ", " + std::to_string(info["records"].get<int>()) +
                                       " records, block size " + std::to_string(info["block_size"].get<int>()) + "\n"))
            << text << run.out;
        for (const Json &index : info["indexes"]) {
            EXPECT_TRUE(contains(text, "  index " + std::to_string(index["number"].get<int>()) + ": " +
                                           index["key"].get<std::string>() + " (key length " +
                                           std::to_string(index["key_length"].get<int>()) + ", root block " +
                                           std::to_string(index["root_block"].get<int>()) + ")\n"))
                << text;
        }
        EXPECT_TRUE(contains(text, "highest record number " + std::to_string(info["highest_record_number"].get<int>())));
        EXPECT_EQ(info.contains("variable_length_blocks"), info["variable"].get<bool>());
        EXPECT_EQ(info["data_file_holds_records"], true);
    }
}

// The commands a help text lists: the first word of each entry line (two
// blanks, then a lowercase word), and of each alternative after " | ".
std::set<std::string> helpCommands(const std::string &help) {
    std::set<std::string> commands;
    std::istringstream lines(help);
    for (std::string line; std::getline(lines, line);) {
        if (line.size() < 3 || line.compare(0, 2, "  ") != 0 || !std::islower(static_cast<unsigned char>(line[2]))) continue;
        for (size_t at = 2; at != std::string::npos; at = line.find(" | ", at), at = at == std::string::npos ? at : at + 3) {
            commands.insert(line.substr(at, line.find(' ', at) - at));
        }
    }
    return commands;
}

// The manual page's text with font changes taken out and \- as -.
std::string plainRoff(std::string text) {
    for (const char *code : {"\\fB", "\\fI", "\\fR"}) {
        for (size_t at; (at = text.find(code)) != std::string::npos;) text.erase(at, 3);
    }
    for (size_t at; (at = text.find("\\-")) != std::string::npos;) text.erase(at, 1);
    return text;
}

TEST(ConvenienceToolTest, TheManualPageHasEveryCommandOfTheHelpAndNoOther) {
    const std::filesystem::path source = std::filesystem::path(__FILE__).parent_path() / "../../tools/wisam/wisam.1";
    const std::string page = plainRoff(readText(source.string()));
    // Its commands: the first word after each .TP or .TQ of the COMMANDS section.
    const size_t from = page.find(".SH COMMANDS"), to = page.find(".SH", from + 1);
    ASSERT_NE(from, std::string::npos);
    std::map<std::string, std::string> entries;  // command -> its entry's text
    std::istringstream lines(page.substr(from, to - from));
    std::string current;
    for (std::string line, previous; std::getline(lines, line); previous = line) {
        if (previous == ".TP" || previous == ".TQ") {
            current = line.substr(0, line.find(' '));
            const size_t bar = line.find(" | ");
            if (bar != std::string::npos) entries[line.substr(bar + 3, line.find(' ', bar + 3) - bar - 3)];
        } else if (line.rfind(".SS", 0) == 0) {
            current.clear();
        }
        if (!current.empty()) entries[current] += line + "\n";
    }
    TempDir dir;
    const ToolRun help = runTool(dir, {"--help"});
    ASSERT_EQ(help.status, 0);
    const std::set<std::string> listed = helpCommands(help.out);
    std::set<std::string> described;
    for (const auto &[command, text] : entries) described.insert(command);
    EXPECT_EQ(listed, described);
    EXPECT_GE(listed.size(), 20u);
    // Each command's options, as its usage lines give them, are in its entry.
    for (const std::string &command : listed) {
        const std::string usage = runTool(dir, {command, "--help"}).out;
        std::istringstream usageLines(usage);
        for (std::string line; std::getline(usageLines, line);) {
            if (line.rfind("usage:", 0) != 0 && line.rfind("       ", 0) != 0) break;
            for (size_t at = line.find("--"); at != std::string::npos; at = line.find("--", at + 2)) {
                const std::string option = line.substr(at, line.find_first_of(" ]|=", at) - at);
                EXPECT_TRUE(contains(entries[command], option)) << command << " " << option;
            }
        }
    }
    // `cmake --install` lays it down as section 1.
    const std::string install = readText((std::filesystem::path(toolPath()).parent_path() / "cmake_install.cmake").string());
    EXPECT_TRUE(contains(install, "/man1\" TYPE FILE FILES \"" + std::filesystem::canonical(source).string() + "\""))
        << install;
}

}  // namespace
}  // namespace wisam::testing
