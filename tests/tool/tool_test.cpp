// tool_test.cpp - the wisam tool as a user runs it: exit statuses, messages,
// and the files as the messages say afterwards; output that cannot be
// written is a failure; create, info, dump and load on good and bad input;
// dump -> load round trips byte for byte for every key type.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "tool/toolrun.h"
#include "wisam.h"

namespace wisam::testing {
namespace {

constexpr int kLength = 40;  // records of the small files: a long key at 0, a name at 4

std::string record(int32_t id, const std::string &name) {
    std::string r(kLength, ' ');
    stLong(id, r.data());
    std::memcpy(r.data() + 4, name.data(), std::min<size_t>(name.size(), kLength - 4));
    return r;
}

std::string records(int from, int to) {
    std::string all;
    for (int id = from; id <= to; ++id) all += record(id, "name " + std::to_string(id));
    return all;
}

void createPeople(const TempDir &dir, const std::string &name = "people") {
    const ToolRun run = runTool(dir, {"create", name, "--reclen", "40", "--key", "0:4:long", "--key",
                                      "4:20:char:dups:compress"});
    ASSERT_EQ(run.status, 0) << run.err;
}

// The live records of a file by the library, in record-number order.
std::vector<std::string> fileRecords(const TempDir &dir, const std::string &name) {
    std::vector<std::string> rows;
    IsFile *f = isOpen(dir.name(name).c_str(), ISINPUT | ISOPENVARLEN);
    if (f == nullptr) return {"(open failed: " + std::to_string(isErrno(nullptr)) + ")"};
    isIndex(f, 0);
    std::vector<char> buffer(40000);
    for (int mode = modeFirst; isRead(f, buffer.data(), mode); mode = modeNext) {
        rows.emplace_back(buffer.data(), static_cast<size_t>(isReclen(f)));
    }
    isClose(f);
    return rows;
}

TEST(ToolTest, VersionIsTheLibrarys) {
    TempDir dir;
    const ToolRun run = runTool(dir, {"--version"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, std::string("wisam ") + isversnumber + "\n");
}

TEST(ToolTest, OutputThatCannotBeWrittenIsAFailure) {
    TempDir dir;
    createPeople(dir);
    ASSERT_EQ(runTool(dir, {"load", "people"}, records(1, 3000)).status, 0);
    const std::vector<std::vector<std::string>> commands = {
        {"dump", "people"}, {"dump", "people", "--raw"}, {"dump", "people", "--hex", "--index", "2"},
        {"info", "people"}, {"--help"},                   {"--version"},
        {"load", "--help"}, {"create", "x", "--reclen", "8", "--key", "0:4:long"},
    };
    for (const auto &args : commands) {
        const ToolRun run = runTool(dir, args, "", "/dev/full");
        const std::string shown = args[0] + " " + (args.size() > 1 ? args[1] : "");
        EXPECT_EQ(run.status, 1) << shown;
        EXPECT_TRUE(contains(run.err, "writing standard output: No space left on device")) << shown << run.err;
        EXPECT_FALSE(contains(run.err, "3000 records")) << shown << run.err;
    }
    const ToolRun dump = runTool(dir, {"dump", "people"}, "", "/dev/full");
    EXPECT_TRUE(contains(dump.err, "wisam: dump people: stopped after")) << dump.err;
}

TEST(ToolTest, FailedCreateLeavesNoFiles) {
    const std::vector<ToolCase> cases = {
        {{"--reclen", "40", "--key", "0:4:long", "--key", "0:4:long"}, 1, "Index already exists"},
        {{"--reclen", "40", "--key", "0:4:long", "--key", "38:4:long"}, 1, "Bad key descriptor"},
        {{"--reclen", "40", "--key", "38:4:long"}, 1, "Bad key descriptor"},
        {{"--reclen", "-5", "--key", "0:4:long"}, 2, "--reclen -5: the value must be a number from 0 to 32767"},
        {{"--reclen", "40000", "--key", "0:4:long"}, 2, "from 0 to 32767"},
        {{"--reclen", "40", "--varlen", "99999", "--key", "0:4:long"}, 2, "--varlen 99999: the value must be a number from 2 to 32511"},
        {{"--reclen", "40", "--varlen", "30", "--key", "0:4:long"}, 2, "the maximum must be from 41 to 32511"},
        {{"--reclen", "40", "--packed", "--key", "0:4:long"}, 2, "--packed needs --varlen"},
        {{"--reclen", "40", "--key", "0:4:nosuchtype"}, 2, "bad key part"},
        {{"--reclen", "40"}, 2, "--reclen and --key are needed"},
    };
    for (const ToolCase &c : cases) {
        TempDir dir;
        std::vector<std::string> args = {"create", "f"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        expectCase(dir, {args, c.status, c.message});
        EXPECT_EQ(listDir(dir), std::vector<std::string>{}) << c.message;
    }
}

TEST(ToolTest, CreateOverAnExistingFileLeavesItAsItWas) {
    TempDir dir;
    createPeople(dir);
    ASSERT_EQ(runTool(dir, {"load", "people"}, records(1, 10)).status, 0);
    const std::vector<uint8_t> index = readFile(dir.file("people.wox")), data = readFile(dir.file("people.wod"));
    const ToolRun run = runTool(dir, {"create", "people", "--reclen", "8", "--key", "0:4:long"});
    EXPECT_EQ(run.status, 1);
    EXPECT_TRUE(contains(run.err, "error 17: File exists")) << run.err;
    EXPECT_EQ(readFile(dir.file("people.wox")), index);
    EXPECT_EQ(readFile(dir.file("people.wod")), data);
}

// A name as tab completion gives it (people.wox, people.wod, people.lck)
// means the ISAM file people when that file exists, said once; a name whose
// base is no ISAM file is taken as it stands.
TEST(ToolTest, AFileNameOfTheIsamFileIsTakenAsItsName) {
    TempDir dir;
    createPeople(dir);
    ASSERT_EQ(runTool(dir, {"load", "people.wod"}, records(1, 10)).status, 0);
    const ToolRun dump = runTool(dir, {"dump", "people", "--raw"});
    ASSERT_EQ(dump.status, 0);
    for (const char *given : {"people.wox", "people.wod", "people.lck"}) {
        const ToolRun run = runTool(dir, {"dump", given, "--raw"});
        EXPECT_EQ(run.status, 0) << given << ": " << run.err;
        EXPECT_EQ(run.out, dump.out) << given;
        EXPECT_EQ(run.err, std::string("wisam: taking ") + given + " as the ISAM file people\n" + dump.err);
    }
    const ToolRun copy = runTool(dir, {"copy", "people.wox", "other.wox"});
    EXPECT_EQ(copy.status, 0) << copy.err;
    EXPECT_TRUE(fileExists(dir.file("other.wox.wox"))) << "other is no ISAM file: its name stands";
    const ToolRun missing = runTool(dir, {"info", "nothing.wox"});
    EXPECT_EQ(missing.status, 1);
    EXPECT_TRUE(contains(missing.err, "nothing.wox.wox does not exist")) << missing.err;
}

// A usage error is one line saying what was wrong and one saying where to
// read more; a mistyped command or option gets the nearest one suggested; options
// may be written --option=value; "wisam help [COMMAND]" prints the help.
TEST(ToolTest, UsageErrorsAreOneLineAndHelpIsACommand) {
    TempDir dir;
    createPeople(dir);
    const std::vector<std::pair<std::vector<std::string>, std::string>> usageErrors = {
        {{"dmup", "people"}, "wisam: unknown command 'dmup'; did you mean 'dump'?\nsee 'wisam --help'\n"},
        {{"clsuter", "people"}, "wisam: unknown command 'clsuter'; did you mean 'cluster'?\nsee 'wisam --help'\n"},
        {{"frobnicate"}, "wisam: unknown command 'frobnicate'\nsee 'wisam --help'\n"},
        {{"help", "lod"}, "wisam: unknown command 'lod'; did you mean 'load'?\nsee 'wisam --help'\n"},
        {{"dump", "people", "--index=-1"},
         "wisam: --index -1: the value must be a number from 0 to 33\nsee 'wisam dump --help'\n"},
        {{"load", "people", "--fast"}, "wisam: unexpected argument '--fast'\nsee 'wisam load --help'\n"},
        // A mistyped option: the nearest of the command's own, within two edits.
        {{"dump", "people", "--indx", "2"},
         "wisam: unexpected argument '--indx'; did you mean '--index'?\nsee 'wisam dump --help'\n"},
        {{"load", "people", "--fromat", "csv"},
         "wisam: unexpected argument '--fromat'; did you mean '--format'?\nsee 'wisam load --help'\n"},
        {{"check", "people", "--jsn"}, "wisam: unexpected argument '--jsn'; did you mean '--json'?\nsee 'wisam check --help'\n"},
        {{"backup", "people", "saved", "--lgo", "x"},
         "wisam: unexpected argument '--lgo'; did you mean '--log'?\nsee 'wisam backup --help'\n"},
    };
    for (const auto &[args, err] : usageErrors) {
        const ToolRun run = runTool(dir, args);
        EXPECT_EQ(run.status, 2) << args[0];
        EXPECT_EQ(run.err, err) << args[0];
    }
    EXPECT_EQ(runTool(dir, {"help"}).out, runTool(dir, {"--help"}).out);
    EXPECT_EQ(runTool(dir, {"help", "dump"}).out, runTool(dir, {"dump", "--help"}).out);
    EXPECT_TRUE(contains(runTool(dir, {"help", "dump"}).out, "usage: wisam dump"));
    const ToolRun wrong = runTool(dir, {"dump", "people", "--index=3"});  // the value is taken
    EXPECT_EQ(wrong.status, 1);
    EXPECT_TRUE(contains(wrong.err, "no index 3 (the file has 2)")) << wrong.err;
}

// backup makes its directory when missing, copies the files whole, and
// touches a log only when given one.
TEST(ToolTest, BackupMakesItsDirectoryAndTakesALogOnlyWhenGivenOne) {
    TempDir dir;
    createPeople(dir);
    ASSERT_EQ(runTool(dir, {"load", "people"}, records(1, 30)).status, 0);
    const std::vector<uint8_t> index = readFile(dir.file("people.wox")), data = readFile(dir.file("people.wod"));
    writeFile(dir.file("plain"), {'x'});
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string copyDir;  // where the copies must be, when it succeeds
        std::string err;      // a part of standard error, when it fails
    };
    const std::vector<Case> cases = {
        {{"backup", "people", "saved"}, 0, "saved", ""},
        {{"backup", "people", "deep/er/saved"}, 0, "deep/er/saved", ""},
        {{"backup", "people", "saved", "--log", "app.log"}, 0, "saved", ""},
        {{"backup", "people", "plain"}, 1, "", "plain is not a directory"},
        {{"backup", "people", "other", "--force"}, 2, "", "--force goes with --log"},
    };
    bool logStarted = false;
    for (const Case &c : cases) {
        const ToolRun run = runTool(dir, c.args);
        logStarted = logStarted || (c.status == 0 && c.args.size() > 4);
        EXPECT_EQ(run.status, c.status) << c.args[2] << ": " << run.err;
        if (c.status == 0) {
            EXPECT_EQ(readFile(dir.file(c.copyDir + "/people.wox")), index) << c.args[2];
            EXPECT_EQ(readFile(dir.file(c.copyDir + "/people.wod")), data) << c.args[2];
        } else {
            EXPECT_TRUE(contains(run.err, c.err)) << run.err;
        }
        EXPECT_EQ(fileExists(dir.file("app.log")), logStarted) << c.args[2] << ": a log only with --log";
    }
    EXPECT_TRUE(fileExists(dir.file("app.log"))) << "--log starts the log";
    EXPECT_FALSE(fileExists(dir.file("other"))) << "a refused backup makes no directory";
    EXPECT_EQ(readFile(dir.file("people.wox")), index);
}

TEST(ToolTest, MessagesNameWhatIsWrong) {
    const std::vector<ToolCase> cases = {
        {{"dump", "people", "--index", "3"}, 1, "wisam: dump people: no index 3 (the file has 2)"},
        {{"dump", "people", "--index", "-1"}, 2, "--index -1: the value must be a number from 0 to 33"},
        {{"dump", "people", "--index"}, 2, "--index needs a number from 0 to 33"},
        {{"dump", "nothing"}, 1, "wisam: dump nothing: the index file nothing.wox does not exist"},
        {{"info", "nodata"}, 1, "wisam: info nodata: the data file nodata.wod is missing"},
        {{"info", "bad\xff" "name"}, 2, "the name 'bad\\xffname' is not valid UTF-8"},
        {{"load", "bad\xc3"}, 2, "is not valid UTF-8"},
        {{"info", "linked"}, 1, "linked.lnk names a file whose index (.wox) or data (.wod) file does not exist"},
        {{"frobnicate"}, 2, "unknown command 'frobnicate'"},
        {{"load", "people", "--fast"}, 2, "unexpected argument '--fast'"},
        {{"load", "keys"}, 1, "wisam: load keys: the file has record length 0 (keys only)"},
    };
    TempDir dir;
    createPeople(dir);
    createPeople(dir, "nodata");
    std::filesystem::remove(dir.file("nodata.wod"));
    writeFile(dir.file("linked.lnk"), {'g', 'o', 'n', 'e', '\n'});
    ASSERT_EQ(runTool(dir, {"create", "keys", "--reclen", "0", "--key", "0:4:long"}).status, 0);
    for (const ToolCase &c : cases) expectCase(dir, c);
    EXPECT_EQ(listDir(dir), (std::vector<std::string>{"keys.lck", "keys.wox", "linked.lnk", "nodata.lck", "nodata.wox",
                                                      "people.lck", "people.wod", "people.wox"}));
}

TEST(ToolTest, InfoSaysWhenTheDataFileCannotHoldTheRecords) {
    TempDir dir;
    createPeople(dir);
    ASSERT_EQ(runTool(dir, {"load", "people"}, records(1, 100)).status, 0);
    ToolRun run = runTool(dir, {"info", "people"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(contains(run.out, "people: 2 indexes, record length 40, 100 records, block size 4096\n")) << run.out;
    EXPECT_TRUE(contains(run.out, "  index 1: 0:4:long (key length 4, root block")) << run.out;
    EXPECT_TRUE(contains(run.out, "  index 2: 4:20:char:dups:dupcompress:leadcompress:trailcompress")) << run.out;
    EXPECT_TRUE(contains(run.out, "highest record number 100\n")) << run.out;
    for (const uintmax_t size : {uintmax_t{0}, uintmax_t{41 * 50}, uintmax_t{41 * 100 - 1}}) {
        std::filesystem::resize_file(dir.file("people.wod"), size);
        run = runTool(dir, {"info", "people"});
        EXPECT_EQ(run.status, 1) << size;
        EXPECT_TRUE(contains(run.err, "wisam: info people: the data file cannot hold the 100 records the "
                                      "index file counts (record 100 cannot be read: error 105"))
            << run.err;
        // A failure with an I/O code says which: a read (64) of the data file (2).
        run = runTool(dir, {"dump", "people", "--index", "0"});
        EXPECT_EQ(run.status, 1) << size;
        EXPECT_TRUE(contains(run.err, "error 105: Corrupted isam file (I/O code 66)")) << run.err;
    }
}

// Raw input that is not a whole number of records (a CSV file given
// without --schema, a cut copy) is refused before anything is written,
// saying where, from a file and from a pipe alike; --format raw says the
// default explicitly.
TEST(ToolTest, LoadRefusesInputThatIsNotWholeRecords) {
    const std::string csv = "id,name\n1,Ada Lovelace\n2,Grace Hopper\n";
    struct Case {
        std::string input;
        std::string why;
    };
    const std::vector<Case> cases = {
        {records(1, 5) + "short", "record 6 (after 5 whole records) is not whole: 5 trailing bytes are not a whole "
                                  "record of 40 bytes"},
        {csv, "record 1 (after 0 whole records) is not whole: 38 trailing bytes are not a whole record of 40 bytes"},
    };
    for (const Case &c : cases) {
        for (const bool pipe : {false, true}) {
            TempDir dir;
            createPeople(dir);
            ASSERT_EQ(runTool(dir, {"load", "people"}, record(100, "before")).status, 0);
            const std::vector<uint8_t> index = readFile(dir.file("people.wox")), data = readFile(dir.file("people.wod"));
            const ToolRun run = pipe ? runTool(dir, {"load", "people", "--format=raw"}, c.input, "", 0, nullptr, true)
                                     : runTool(dir, {"load", "people"}, c.input);
            EXPECT_EQ(run.status, 1);
            EXPECT_EQ(run.err, "wisam: load people: " + c.why +
                                   " (raw records: 'wisam load NAME --schema S.json' reads CSV and JSON); nothing "
                                   "was loaded\n")
                << (pipe ? "pipe" : "file");
            EXPECT_EQ(readFile(dir.file("people.wox")), index);
            EXPECT_EQ(readFile(dir.file("people.wod")), data);
        }
    }
    TempDir dir;  // whole records load through a pipe as from a file
    createPeople(dir);
    const ToolRun piped = runTool(dir, {"load", "people", "--format", "raw"}, records(1, 20), "", 0, nullptr, true);
    EXPECT_EQ(piped.status, 0) << piped.err;
    EXPECT_EQ(fileRecords(dir, "people").size(), 20u);
}

// Load stops at the first bad record, says where and why, and leaves the
// records before it (or with --atomic none).
TEST(ToolTest, LoadStopsAtABadRecordAndSaysWhere) {
    struct Case {
        std::string input;
        std::string why;
    };
    const std::vector<Case> cases = {
        {records(1, 5) + record(3, "again") + records(7, 9), "error 100: Duplicate record"},
    };
    for (const Case &c : cases) {
        for (const bool atomic : {false, true}) {
            TempDir dir;
            createPeople(dir);
            ASSERT_EQ(runTool(dir, {"load", "people"}, record(100, "before")).status, 0);
            std::vector<std::string> args = {"load", "people"};
            if (atomic) args.push_back("--atomic");
            const ToolRun run = runTool(dir, args, c.input);
            EXPECT_EQ(run.status, 1);
            const std::string expected = "wisam: load people: stopped at record 6 (after 5 records): " + c.why +
                                         (atomic ? "; nothing was loaded (rolled back)\n"
                                                 : "; 5 records before it are written\n");
            EXPECT_EQ(run.err, expected);
            std::vector<std::string> want = {record(100, "before")};
            if (!atomic) {
                for (int id = 1; id <= 5; ++id) want.push_back(record(id, "name " + std::to_string(id)));
            }
            std::vector<std::string> got = fileRecords(dir, "people");
            std::sort(got.begin(), got.end());
            std::sort(want.begin(), want.end());
            EXPECT_EQ(got, want) << c.why << (atomic ? " atomic" : "");
            EXPECT_EQ(listDir(dir), (std::vector<std::string>{"people.lck", "people.wod", "people.wox"}));
        }
    }
}

TEST(ToolTest, LoadReportsTheCountAndAtomicLoadsEverything) {
    for (const bool atomic : {false, true}) {
        TempDir dir;
        createPeople(dir);
        std::vector<std::string> args = {"load", "people"};
        if (atomic) args.push_back("--atomic");
        const ToolRun run = runTool(dir, args, records(1, 500));
        EXPECT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(run.err, "500 records loaded into people\n");
        EXPECT_EQ(fileRecords(dir, "people").size(), 500u);
    }
}

TEST(ToolTest, LoadNeedsExclusiveUse) {
    TempDir dir;
    createPeople(dir);
    IsFile *other = isOpen(dir.name("people").c_str(), ISINOUT | ISMANULOCK);
    ASSERT_NE(other, nullptr);
    const ToolRun run = runTool(dir, {"load", "people"}, records(1, 5));
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "wisam: load people: another process has people open; this needs exclusive use of the file\n");
    IsamInfo info{};
    ASSERT_TRUE(isIsamInfo(other, &info));
    EXPECT_EQ(info.recordCount, 0);
    isClose(other);
    const ToolRun help = runTool(dir, {"load", "--help"});
    EXPECT_TRUE(contains(help.out, "Load needs exclusive use of NAME")) << help.out;
}

// A key of every type, ascending and descending: records loaded come back
// from dump --raw byte for byte, and a dump in key order loaded into a new
// file dumps the same again.
struct KeyType {
    const char *name;
    int length;
};
constexpr KeyType kKeyTypes[] = {{"char", 6},   {"int", 2},    {"long", 4},    {"double", 8}, {"float", 4},
                                 {"short", 2},  {"nlong", 4},  {"string", 6},  {"wtext", 8},  {"recid", 8},
                                 {"devtag", 6}, {"wdevtag", 8}, {"bytes", 6},  {"wnocase", 8}};

std::string keyBytes(const std::string &type, int length, std::mt19937 &random) {
    std::string key(static_cast<size_t>(length), '\0');
    if (type == "double") {
        stDbl(std::uniform_real_distribution<double>(-1e6, 1e6)(random), key.data());
    } else if (type == "float") {
        stFloat(std::uniform_real_distribution<float>(-1e4f, 1e4f)(random), key.data());
    } else if (type == "wtext" || type == "wdevtag" || type == "wnocase") {
        for (int i = 0; i < length; i += 2) {
            const char16_t unit = static_cast<char16_t>("aBcD-0 z"[random() % 8]);
            std::memcpy(key.data() + i, &unit, 2);
        }
    } else if (type == "string" || type == "devtag") {
        for (int i = 0; i + 1 < length; ++i) key[static_cast<size_t>(i)] = "aBcD-0 z"[random() % 8];
    } else {
        for (char &c : key) c = static_cast<char>(random());
    }
    return key;
}

std::string rawDump(const TempDir &dir, const std::string &name, int index) {
    const ToolRun run = runTool(dir, {"dump", name, "--raw", "--index", std::to_string(index)});
    EXPECT_EQ(run.status, 0) << run.err;
    return run.out;
}

TEST(ToolTest, DumpAndLoadRoundTripEveryKeyType) {
    std::mt19937 random(14);
    for (const KeyType &type : kKeyTypes) {
        for (const char *order : {"", "-"}) {
            TempDir dir;
            const std::string key = "3:" + std::to_string(type.length) + ":" + type.name + order + ":dups";
            const std::string shown = key;
            ASSERT_EQ(runTool(dir, {"create", "a", "--reclen", "48", "--key", key}).status, 0) << shown;
            ASSERT_EQ(runTool(dir, {"create", "b", "--reclen", "48", "--key", key}).status, 0) << shown;
            std::string input;
            for (int i = 0; i < 150; ++i) {
                std::string r(48, '\0');
                for (char &c : r) c = static_cast<char>(random());
                const std::string k = keyBytes(type.name, type.length, random);
                r.replace(3, k.size(), k);
                input += r;
            }
            ToolRun run = runTool(dir, {"load", "a"}, input);
            ASSERT_EQ(run.status, 0) << shown << run.err;
            EXPECT_EQ(rawDump(dir, "a", 0), input) << shown;
            const std::string sorted = rawDump(dir, "a", 1);
            EXPECT_EQ(sorted.size(), input.size()) << shown;
            run = runTool(dir, {"load", "b"}, sorted);
            ASSERT_EQ(run.status, 0) << shown << run.err;
            EXPECT_EQ(rawDump(dir, "b", 1), sorted) << shown;
            EXPECT_EQ(rawDump(dir, "b", 0), sorted) << shown;
        }
    }
}

// A file of record length 0 holds keys only: dump shows them, load refuses.
TEST(ToolTest, DumpOfAFileOfKeysOnly) {
    TempDir dir;
    ASSERT_EQ(runTool(dir, {"create", "keys", "--reclen", "0", "--key", "2:4:long"}).status, 0);
    IsFile *f = isOpen(dir.name("keys").c_str(), ISINOUT | ISEXCLLOCK);
    ASSERT_NE(f, nullptr);
    for (const int32_t key : {30, -4, 12}) {
        char image[6] = {};
        stLong(key, image + 2);
        ASSERT_TRUE(isWrite(f, image)) << isErrno(f);
    }
    isClose(f);
    const ToolRun run = runTool(dir, {"dump", "keys"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.err, "3 records\n");
    EXPECT_TRUE(contains(run.out, " -4 \n") && contains(run.out, " 12 \n") && contains(run.out, " 30 \n")) << run.out;
    EXPECT_LT(run.out.find(" -4 "), run.out.find(" 30 "));
}

TEST(ToolTest, DumpShowsKeyPartsAndRecords) {
    TempDir dir;
    createPeople(dir);
    ASSERT_EQ(runTool(dir, {"load", "people"}, record(7, "Ada") + record(-2, "Grace")).status, 0);
    auto repeat = [](const std::string &piece, int times) {
        std::string all;
        for (int i = 0; i < times; ++i) all += piece;
        return all;
    };
    ToolRun run = runTool(dir, {"dump", "people"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, "      2 -2 ....Grace" + repeat(" ", 31) + "\n      1 7 ....Ada" + repeat(" ", 33) + "\n");
    EXPECT_EQ(run.err, "2 records\n");
    run = runTool(dir, {"dump", "people", "--index", "2", "--hex"});
    EXPECT_EQ(run.out, "      1 \"Ada\" 00000007416461" + repeat("20", 33) + "\n      2 \"Grace\" fffffffe4772616365" +
                           repeat("20", 31) + "\n");
}

}  // namespace
}  // namespace wisam::testing
