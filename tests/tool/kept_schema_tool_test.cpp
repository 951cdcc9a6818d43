// kept_schema_tool_test.cpp - the schema kept with a file (N.wsc): create
// --schema keeps it, schema --set replaces it only with one that fits, and
// dump, load, get, put and export-pg read it when no --schema is given (dump
// and load then in CSV unless --format raw), as one table of runs with their
// exit status, output, message and the files left; erase, rename, clone,
// copy, cluster and backup carry it along (directory snapshots before and
// after); a symbolic link planted as N.wsc is never written through; and the
// library's rename and erase with the kept schema's move or removal failing.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "support/dirsnap.h"
#include "system/issystem.h"
#include "tool/toolrun.h"
#include "wisam.h"

namespace wisam::testing {
namespace {

constexpr const char *kSchema = R"({"record_length": 16,
 "fields": [{"name": "id", "offset": 0, "length": 4, "type": "long"},
            {"name": "name", "offset": 4, "length": 8, "type": "char", "pad": "blank"},
            {"name": "grp", "offset": 12, "length": 2, "type": "int"}],
 "indexes": [{"number": 1, "unique": true, "parts": ["id"]},
             {"number": 2, "parts": ["grp", "name"]}]})";
// What the tool keeps of it: the schema as 'wisam schema' writes schemas.
constexpr const char *kKept =
    "{\n"
    "  \"record_length\": 16,\n"
    "  \"fields\": [\n"
    "    {\"name\":\"id\",\"offset\":0,\"length\":4,\"type\":\"long\"},\n"
    "    {\"name\":\"name\",\"offset\":4,\"length\":8,\"type\":\"char\",\"pad\":\"blank\"},\n"
    "    {\"name\":\"grp\",\"offset\":12,\"length\":2,\"type\":\"int\"}\n"
    "  ],\n"
    "  \"indexes\": [\n"
    "    {\"number\":1,\"unique\":true,\"parts\":[\"id\"]},\n"
    "    {\"number\":2,\"unique\":false,\"parts\":[\"grp\",\"name\"]}\n"
    "  ]\n"
    "}\n";
// The same layout under other field names: it fits the file too.
constexpr const char *kRenamed = R"({"record_length": 16,
 "fields": [{"name": "num", "offset": 0, "length": 4, "type": "long"},
            {"name": "who", "offset": 4, "length": 8, "type": "char", "pad": "blank"},
            {"name": "team", "offset": 12, "length": 2, "type": "int"}],
 "indexes": [{"number": 1, "unique": true, "parts": ["num"]}]})";
// Index 2 of the file is on grp and name, not on name alone.
constexpr const char *kMismatch = R"({"record_length": 16,
 "fields": [{"name": "id", "offset": 0, "length": 4, "type": "long"},
            {"name": "name", "offset": 4, "length": 8, "type": "char", "pad": "blank"}],
 "indexes": [{"number": 2, "parts": ["name"]}]})";
// A key part of the file (0:4:long) lies on a field of another type.
constexpr const char *kWrongType = R"({"record_length": 16,
 "fields": [{"name": "id", "offset": 0, "length": 4, "type": "nlong"}]})";

// The raw bytes of a record of the file: id big-endian, name blank-padded,
// grp big-endian, two zero bytes no field covers.
std::string raw(int32_t id, const std::string &name, int16_t grp) {
    std::string r(16, '\0');
    stLong(id, r.data());
    std::string padded = name;
    padded.resize(8, ' ');
    r.replace(4, 8, padded);
    stInt(grp, r.data() + 12);
    return r;
}

std::vector<std::string> files(std::initializer_list<std::string> extra) {
    std::vector<std::string> names = {"mismatch.json", "renamed.json", "s.json", "wrongtype.json"};
    names.insert(names.end(), extra);
    std::sort(names.begin(), names.end());
    return names;
}

void writeSchemas(const TempDir &dir) {
    writeText(dir.file("s.json"), kSchema);
    writeText(dir.file("renamed.json"), kRenamed);
    writeText(dir.file("mismatch.json"), kMismatch);
    writeText(dir.file("wrongtype.json"), kWrongType);
}

struct Step {
    std::vector<std::string> args;
    std::string input;
    int status;
    std::optional<std::string> out;  // exactly, when given
    std::string error;               // a part of standard error ("" : anything)
    std::optional<std::vector<std::string>> after;  // the names in the directory, when given
};

TEST(KeptSchemaToolTest, CommandsReadTheSchemaKeptWithTheFile) {
    TempDir dir;
    writeSchemas(dir);
    const std::vector<std::string> withSchema = files({"p.lck", "p.wod", "p.wox", "p.wsc"});
    const std::vector<std::string> without = files({"p.lck", "p.wod", "p.wox"});
    const std::string bob = raw(2, "Bob", 0), cy = raw(3, "Cy", 1);
    const std::vector<Step> steps = {
        {{"create", "p", "--schema", "s.json"}, "", 0, "created p: record length 16, 2 indexes, schema kept as p.wsc\n", "",
         withSchema},
        {{"schema", "p"}, "", 0, kKept, "", withSchema},
        {{"info", "p"}, "", 0, std::nullopt, "", withSchema},
        // CSV is the default of load and dump once a schema is kept.
        {{"load", "p"}, "id,name,grp\n1,Ann,1\n", 0, "", "1 records loaded into p", withSchema},
        {{"dump", "p"}, "", 0, "id,name,grp\n1,Ann,1\n", "1 records", withSchema},
        {{"dump", "p", "--format", "jsonl"}, "", 0, "{\"id\":1,\"name\":\"Ann\",\"grp\":1}\n", "", withSchema},
        // Raw records, said explicitly.
        {{"load", "p", "--format", "raw"}, bob, 0, "", "1 records loaded into p", withSchema},
        {{"load", "p"}, cy, 1, "", "(rows through the schema kept with p; --format raw loads raw records); nothing was loaded",
         withSchema},
        {{"load", "p", "--format", "raw", "--schema", "s.json"}, "", 2, "", "--format raw takes no --schema", withSchema},
        {{"dump", "p", "--format", "raw"}, "", 0, raw(1, "Ann", 1) + bob, "2 records", withSchema},
        {{"dump", "p", "--raw", "--index", "2"}, "", 0, bob + raw(1, "Ann", 1), "2 records", withSchema},
        {{"dump", "p", "--hex", "--index", "0"}, "", 0,
         "      1 00000001416e6e2020202020000100" "00\n      2 00000002426f622020202020000000" "00\n", "", withSchema},
        {{"dump", "p", "--hex", "--format", "json"}, "", 2, "", "--format json writes fields, not --hex or --raw", withSchema},
        {{"dump", "p", "--index", "2", "--from", "1", "--to", "1"}, "", 0, "id,name,grp\n1,Ann,1\n", "", withSchema},
        {{"get", "p", "2"}, "", 0, "id,name,grp\n2,Bob,0\n", "", withSchema},
        {{"put", "p", "--format", "jsonl", R"({"id": 3, "name": "Cy", "grp": 1})"}, "", 0, "put p: added record 3\n", "",
         withSchema},
        {{"export-pg", "p", "--table", "t"}, "", 0, std::nullopt, "3 rows exported to table t", withSchema},
        // An explicit --schema still wins over the kept one.
        {{"dump", "p", "--schema", "renamed.json", "--format", "jsonl", "--to", "1"}, "", 0,
         "{\"num\":1,\"who\":\"Ann\",\"team\":1}\n", "", withSchema},
        // A schema that does not fit is refused in one line; the kept one stays.
        {{"schema", "p", "--set", "mismatch.json"}, "", 1, "",
         "wisam: schema p: mismatch.json does not fit p: index 2", withSchema},
        {{"schema", "p", "--set", "wrongtype.json"}, "", 1, "", "wrongtype.json does not fit p: ", withSchema},
        {{"schema", "p", "--set", "missing.json"}, "", 1, "", "cannot read the schema missing.json", withSchema},
        {{"schema", "p"}, "", 0, kKept, "", withSchema},
        {{"schema", "p", "--set", "s.json", "--drop"}, "", 2, "", "--set and --drop exclude each other", withSchema},
        {{"schema", "p", "--set"}, "", 2, "", "--set needs a schema file", withSchema},
        {{"schema", "p", "--sett", "s.json"}, "", 2, "", "did you mean '--set'?", withSchema},
        {{"schema", "nothere", "--set", "s.json"}, "", 1, "", "the index file nothere.wox does not exist", withSchema},
        {{"schema", "p", "--set", "renamed.json"}, "", 0, "kept renamed.json as the schema of p (p.wsc)\n", "", withSchema},
        {{"dump", "p"}, "", 0, "num,who,team\n1,Ann,1\n2,Bob,0\n3,Cy,1\n", "3 records", withSchema},
        {{"get", "p", "3", "--format", "jsonl"}, "", 0, "{\"num\":3,\"who\":\"Cy\",\"team\":1}\n", "", withSchema},
        {{"schema", "p", "--drop"}, "", 0, "dropped the schema kept with p\n", "", without},
        // Without a kept schema, as before: raw records and the listing.
        {{"schema", "p", "--drop"}, "", 1, "", "wisam: schema p: no schema is kept with p", without},
        {{"dump", "p", "--index", "0"}, "", 0,
         "      1 ....Ann     ....\n      2 ....Bob     ....\n      3 ....Cy      ....\n", "3 records", without},
        {{"dump", "p", "--format", "csv"}, "", 2, "", "--format, --from and --to need --schema (no schema is kept with p)",
         without},
        {{"load", "p", "--format", "jsonl"}, "", 2, "", "--format needs --schema (no schema is kept with p)", without},
        {{"load", "p"}, raw(4, "Di", 0), 0, "", "1 records loaded into p", without},
        {{"get", "p", "1"}, "", 2, "", "get needs --schema S.json (no schema is kept with p)", without},
        {{"put", "p", "x"}, "", 2, "", "put needs --schema S.json (no schema is kept with p)", without},
        {{"export-pg", "p"}, "", 2, "", "export-pg needs --schema (no schema is kept with p)", without},
        {{"schema", "p"}, "", 0, std::nullopt, "", without},
        // A schema kept for no file would describe a new file of that name.
        {{"schema", "p", "--set", "s.json"}, "", 0, "kept s.json as the schema of p (p.wsc)\n", "", withSchema},
        {{"create", "n", "--reclen", "16", "--key", "0:4:long"}, "", 0, std::nullopt, "", files({"p.lck", "p.wod", "p.wox", "p.wsc", "n.lck", "n.wod", "n.wox"})},
        {{"erase", "n"}, "", 0, "erased n\n", "", withSchema},
    };
    for (size_t i = 0; i < steps.size(); ++i) {
        const Step &s = steps[i];
        std::string command;
        for (const std::string &a : s.args) command += a + " ";
        SCOPED_TRACE("step " + std::to_string(i) + ": " + command);
        const ToolRun run = runTool(dir, s.args, s.input);
        EXPECT_EQ(run.status, s.status) << run.err;
        if (s.out) {
            EXPECT_EQ(run.out, *s.out);
        }
        EXPECT_TRUE(contains(run.err, s.error)) << run.err;
        if (s.after) {
            EXPECT_EQ(listDir(dir), *s.after);
        }
    }
    // What schema printed is what is kept, byte for byte; info names it.
    EXPECT_EQ(readText(dir.file("p.wsc")), kKept);
    EXPECT_TRUE(contains(runTool(dir, {"info", "p"}).out, "  kept schema: p.wsc\n"));
    EXPECT_TRUE(contains(runTool(dir, {"info", "p", "--json"}).out, "\"kept_schema\": \"p.wsc\""));
    ASSERT_EQ(runTool(dir, {"schema", "p", "--drop"}).status, 0);
    EXPECT_TRUE(contains(runTool(dir, {"info", "p", "--json"}).out, "\"kept_schema\": null"));
}

TEST(KeptSchemaToolTest, ANameWithASchemaKeptForNoFileIsRefusedForANewFile) {
    TempDir dir;
    writeSchemas(dir);
    ASSERT_EQ(runTool(dir, {"create", "p", "--schema", "s.json"}).status, 0);
    const std::vector<std::pair<std::vector<std::string>, std::string>> refused = {
        {{"create", "n", "--reclen", "16", "--key", "0:4:long"}, "create n: n.wsc exists"},
        {{"create", "n", "--schema", "s.json"}, "create n: n.wsc exists"},
        {{"clone", "p", "n"}, "clone p n: n.wsc exists"},
        {{"copy", "p", "n"}, "copy p n: n.wsc exists"},
        {{"rename", "p", "n"}, "rename p: error 17: File exists"},
    };
    for (const bool symlink : {false, true}) {
        if (symlink) {
            ASSERT_EQ(::unlink(dir.file("n.wsc").c_str()), 0);
            ASSERT_EQ(::symlink("nowhere", dir.file("n.wsc").c_str()), 0);
        } else {
            writeText(dir.file("n.wsc"), "left behind");
        }
        DirSnapshot before = DirSnapshot::take(dir.path());
        before.ignoreBytes({"p.lck"});
        for (const auto &[args, message] : refused) {
            const ToolRun run = runTool(dir, args);
            EXPECT_EQ(run.status, 1) << args[0];
            EXPECT_TRUE(contains(run.err, message + (args[0] == "rename" ? "" : ", a kept schema without its file"))) << run.err;
        }
        EXPECT_EQ(DirSnapshot::take(dir.path()).ignoreBytes({"p.lck"}).differencesFrom(before), "");
    }
}

// The kept schema after each command that moves, copies or removes files:
// the differences in the names ending in .wsc, and that each one there holds
// the schema kept before.
TEST(KeptSchemaToolTest, EraseRenameCloneCopyClusterAndBackupCarryItAlong) {
    struct Case {
        std::vector<std::vector<std::string>> commands;  // all must succeed
        std::string differences;                         // of the .wsc names
    };
    const std::vector<Case> cases = {
        {{{"erase", "p"}}, "removed p.wsc\n"},
        {{{"rename", "p", "q"}}, "removed p.wsc\nadded q.wsc\n"},
        {{{"clone", "p", "q"}}, "added q.wsc\n"},
        {{{"copy", "p", "q"}}, "added q.wsc\n"},
        {{{"create", "q", "--reclen", "16", "--key", "0:4:long"}, {"copy", "p", "q"}}, ""},
        {{{"cluster", "p", "--index", "2"}}, ""},
        {{{"backup", "p", "saved"}}, "added saved/p.wsc\n"},
        {{{"rename", "p", "sub/q"}, {"rename", "sub/q", "p"}}, ""},
        {{{"erase", "p"}, {"create", "p", "--reclen", "16", "--key", "0:4:long"}}, "removed p.wsc\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.commands.front()[0] + " " + c.commands.front()[1]);
        TempDir dir;
        writeText(dir.file("s.json"), kSchema);
        ASSERT_EQ(::mkdir(dir.file("sub").c_str(), 0777), 0);
        ASSERT_EQ(runTool(dir, {"create", "p", "--schema", "s.json"}).status, 0);
        ASSERT_EQ(runTool(dir, {"load", "p"}, "id,name,grp\n2,Bob,0\n1,Ann,1\n").status, 0);
        const std::string kept = readText(dir.file("p.wsc"));
        ASSERT_EQ(kept, kKept);
        const DirSnapshot before = DirSnapshot::take(dir.path());
        for (const std::vector<std::string> &command : c.commands) {
            const ToolRun run = runTool(dir, command);
            ASSERT_EQ(run.status, 0) << command[0] << ": " << run.err;
        }
        const DirSnapshot after = DirSnapshot::take(dir.path());
        const auto notSchema = [](const std::string &name) { return !name.ends_with(".wsc"); };
        EXPECT_EQ(after.differencesFrom(before, notSchema), c.differences);
        for (const auto &[name, entry] : after.entries()) {
            if (!name.ends_with(".wsc")) continue;
            EXPECT_EQ(entry.kind, DirEntry::Kind::file) << name;
            EXPECT_EQ(std::string(entry.bytes.begin(), entry.bytes.end()), kept) << name;
            // Each kept schema describes its file: dump reads it.
            const std::string file = name.substr(0, name.size() - 4);
            if (file.rfind("saved/", 0) == 0) continue;
            const ToolRun dump = runTool(dir, {"dump", file});
            EXPECT_EQ(dump.status, 0) << dump.err;
            EXPECT_TRUE(dump.out.rfind("id,name,grp\n", 0) == 0) << dump.out;
        }
    }
}

// A symbolic link planted as N.wsc is replaced, never written through, and
// never read as the kept schema; the library removes and moves the link
// itself.
TEST(KeptSchemaToolTest, ASymbolicLinkPlantedAsTheKeptSchemaIsNeverFollowed) {
    TempDir dir;
    writeText(dir.file("s.json"), kSchema);
    writeText(dir.file("victim"), "not a schema");
    ASSERT_EQ(runTool(dir, {"create", "p", "--reclen", "16", "--key", "0:4:long", "--key", "12:2:int,4:8:char:dups"}).status, 0);
    ASSERT_EQ(::symlink("victim", dir.file("p.wsc").c_str()), 0);
    for (const std::vector<std::string> &args : std::vector<std::vector<std::string>>{
             {"dump", "p"}, {"load", "p"}, {"get", "p", "1"}, {"put", "p", "x"}, {"export-pg", "p"}, {"schema", "p"}}) {
        const ToolRun run = runTool(dir, args);
        EXPECT_EQ(run.status, 1) << args[0];
        EXPECT_TRUE(contains(run.err, "p.wsc is a symbolic link, not a kept schema")) << run.err;
    }
    ASSERT_EQ(runTool(dir, {"rename", "p", "q"}).status, 0);
    struct stat st {};
    ASSERT_EQ(::lstat(dir.file("q.wsc").c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    const ToolRun set = runTool(dir, {"schema", "q", "--set", "s.json"});
    EXPECT_EQ(set.status, 0) << set.err;
    ASSERT_EQ(::lstat(dir.file("q.wsc").c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(readText(dir.file("q.wsc")), kKept);
    EXPECT_EQ(readText(dir.file("victim")), "not a schema");
    ASSERT_EQ(::unlink(dir.file("q.wsc").c_str()), 0);
    ASSERT_EQ(::symlink("victim", dir.file("q.wsc").c_str()), 0);
    ASSERT_EQ(runTool(dir, {"erase", "q"}).status, 0);
    EXPECT_EQ(listDir(dir), (std::vector<std::string>{"s.json", "victim"}));
    EXPECT_EQ(readText(dir.file("victim")), "not a schema");
}

// The library itself: a kept schema whose move or removal fails fails the
// rename (everything moved back) or the erase with its error; a file that
// never had one is no failure.
TEST(KeptSchemaToolTest, TheLibraryMovesAndRemovesTheKeptSchemaOrFails) {
    struct Case {
        const char *call;
        int error;
        bool failsCall;
    };
    for (const Case c : {Case{"rename", EACCES, true}, Case{"erase", EACCES, true}, Case{"rename", ENOENT, false},
                         Case{"erase", ENOENT, false}}) {
        SCOPED_TRACE(std::string(c.call) + " " + std::strerror(c.error));
        TempDir dir;
        writeText(dir.file("s.json"), kSchema);
        ASSERT_EQ(runTool(dir, {"create", "p", "--schema", "s.json"}).status, 0);
        // ENOENT: the schema was never kept, which is no failure.
        if (c.error == ENOENT) {
            ASSERT_EQ(::unlink(dir.file("p.wsc").c_str()), 0);
        }
        DirSnapshot before = DirSnapshot::take(dir.path());
        before.ignoreBytes({"p.lck"});
        int result = 0;
        {
            FaultScope faults;
            static int failWith;
            failWith = c.error;
            sysCalls.renameNoReplace = [](const char *from, const char *to) {
                if (std::string(from).ends_with(".wsc")) return errno = failWith, -1;
                return defaultSysCalls().renameNoReplace(from, to);
            };
            sysCalls.unlink = [](const char *path) {
                if (std::string(path).ends_with(".wsc")) return errno = failWith, -1;
                return defaultSysCalls().unlink(path);
            };
            result = std::string(c.call) == "rename" ? isRename(dir.name("p").c_str(), dir.name("q").c_str())
                                                     : isErase(dir.name("p").c_str());
        }
        DirSnapshot after = DirSnapshot::take(dir.path());
        if (c.failsCall) {
            EXPECT_EQ(result, 0);
            EXPECT_EQ(isErrno(nullptr), c.error);
        } else {
            EXPECT_EQ(result, 1);
        }
        const std::string differences = after.ignoreBytes({"p.lck", "q.lck"}).differencesFrom(before);
        if (std::string(c.call) == "rename") {
            // A failed rename leaves everything under the old name.
            EXPECT_EQ(differences, c.failsCall ? "" : "removed p.lck\nremoved p.wod\nremoved p.wox\nadded q.lck\nadded q.wod\nadded q.wox\n");
        } else {
            // The erase removes the files before the kept schema.
            EXPECT_EQ(differences, "removed p.lck\nremoved p.wod\nremoved p.wox\n");
        }
    }
}

}  // namespace
}  // namespace wisam::testing
