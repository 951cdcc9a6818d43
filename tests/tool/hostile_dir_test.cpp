// hostile_dir_test.cpp - the wisam tool in a directory that others share:
// journals, links, symbolic links and names that someone else planted
// beside the ISAM file "a".  Every planted set-up is run against each
// command it could trick (info, an open through dump, create, a journaled
// load, cluster, backup, erase, rename), and every run ends the same way:
// every file outside the ISAM file's own (and outside what the command was
// asked to make) is byte-identical, and "a" is either unchanged or was
// changed by a command that succeeded and left it checking clean.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "fuzz/journal.h"
#include "support/dirsnap.h"
#include "tool/toolrun.h"
#include "wisam.h"

namespace wisam::testing {
namespace {

using Bytes = std::vector<uint8_t>;

constexpr int kLength = 8;
constexpr int64_t kChangeCounterAt = 41;

std::string records(int32_t first, int count) {
    std::string all;
    for (int32_t id = first; id < first + count; ++id) {
        std::string r(kLength, '.');
        stLong(id, r.data());
        all += r;
    }
    return all;
}

void makeFile(const TempDir &dir, const std::string &name, int32_t first) {
    ASSERT_EQ(runTool(dir, {"create", name, "--reclen", "8", "--key", "0:4:long"}).status, 0);
    ASSERT_EQ(runTool(dir, {"load", name}, records(first, 300)).status, 0);
}

void put(Bytes &b, size_t at, uint64_t value, int width) {
    for (int i = width - 1; i >= 0; --i, value >>= 8) b[at + size_t(i)] = uint8_t(value);
}

// A journal header whose hash checks, as anyone can write one, with no
// segment behind it: version 1 (a 64-byte header never bound to its
// files) or 2 as the earlier libraries wrote them, with their hash, or 3 as
// this one writes it; claiming the start sizes and change counter given
// and (versions 2 and 3) the index and data files of `boundTo`.
Bytes forgedJournal(int version, uint64_t indexSize, uint64_t dataSize, uint32_t counter,
                    const std::string &boundTo = "") {
    const size_t header = version == 1 ? 64 : 128;
    Bytes j(header, 0);
    std::copy_n("wisamjnl", 8, j.begin());
    put(j, 8, uint64_t(version), 4);
    put(j, 12, 0x5a17, 4);
    put(j, 16, 4096, 4);
    put(j, 20, 1, 4);
    put(j, 24, indexSize, 8);
    put(j, 32, dataSize, 8);
    put(j, 40, counter, 4);
    if (version >= 2) {
        put(j, 44, 1, 4);
        struct stat index {}, data {};
        if (::stat((boundTo + ".wox").c_str(), &index) == 0 && ::stat((boundTo + ".wod").c_str(), &data) == 0) {
            put(j, 48, index.st_dev, 8), put(j, 56, index.st_ino, 8);
            put(j, 64, data.st_dev, 8), put(j, 72, data.st_ino, 8);
        }
    }
    const auto hash = version >= 3 ? fuzz::journalHash : fuzz::earlierJournalHash;
    put(j, header - 8, hash(0x5a17, j.data(), header - 8), 8);
    return j;
}

uint32_t changeCounter(const TempDir &dir) {
    const Bytes wox = readFile(dir.file("a.wox"));
    return uint32_t(wox[kChangeCounterAt]) << 24 | uint32_t(wox[kChangeCounterAt + 1]) << 16 |
           uint32_t(wox[kChangeCounterAt + 2]) << 8 | wox[kChangeCounterAt + 3];
}

std::string pidName(const char *prefix, pid_t pid) {
    char name[32];
    std::snprintf(name, sizeof name, "%s%05d", prefix, static_cast<int>(pid));
    return name;
}

enum class Expect { refused, done, either };

struct Command {
    const char *name;
    std::vector<std::string> args;
    std::string input;
    std::vector<std::string> makes;  // ISAM files or plain files it is asked to make
};

const std::vector<Command> &commands() {
    static const std::vector<Command> all = {
        {"info", {"info", "a"}, "", {}},
        {"open", {"dump", "a", "--raw"}, "", {}},
        {"create", {"create", "n", "--reclen", "8", "--key", "0:4:long"}, "", {"n"}},
        {"load --journal 1", {"--journal", "1", "load", "a"}, records(5000, 40), {}},
        {"cluster", {"cluster", "a", "--index", "1"}, "", {}},
        {"backup", {"backup", "a", "bk", "--log", "bk/log"}, "", {"bk/a.wox", "bk/a.wod", "bk/log"}},
        {"erase", {"erase", "a"}, "", {}},
        {"rename", {"rename", "a", "b"}, "", {"b"}},
    };
    return all;
}

struct Planting {
    const char *what;
    // Plants the hostile names; `pid` is the tool's process id.
    std::function<void(const TempDir &, pid_t)> plant;
    std::vector<std::pair<const char *, Expect>> against;  // command names
};

void link(const TempDir &d, const std::string &name, const std::string &target) {
    ASSERT_EQ(::symlink(target.c_str(), d.file(name).c_str()), 0) << name;
}

const std::vector<Planting> &plantings() {
    static const std::vector<Planting> all = {
        {"a forged journal of the first version, start sizes 0 and 0",
         [](const TempDir &d, pid_t) { writeFile(d.file("a.wjn"), forgedJournal(1, 0, 0, 0)); },
         {{"info", Expect::refused}, {"open", Expect::refused}, {"load --journal 1", Expect::refused},
          {"cluster", Expect::refused}, {"backup", Expect::refused}, {"erase", Expect::either},
          {"rename", Expect::either}}},
        {"a journal with a's sizes and counter, bound to another ISAM file",
         [](const TempDir &d, pid_t) {
             const auto wox = readFile(d.file("a.wox")).size(), wod = readFile(d.file("a.wod")).size();
             writeFile(d.file("a.wjn"), forgedJournal(3, wox, wod, changeCounter(d), d.file("victim")));
         },
         {{"info", Expect::refused}, {"open", Expect::refused}, {"load --journal 1", Expect::refused},
          {"cluster", Expect::refused}, {"backup", Expect::refused}}},
        {"the same journal bound to a: nothing in it to apply",
         [](const TempDir &d, pid_t) {
             const auto wox = readFile(d.file("a.wox")).size(), wod = readFile(d.file("a.wod")).size();
             writeFile(d.file("a.wjn"), forgedJournal(3, wox, wod, changeCounter(d), d.file("a")));
         },
         {{"info", Expect::done}, {"open", Expect::done}, {"load --journal 1", Expect::done},
          {"cluster", Expect::done}, {"backup", Expect::done}}},
        {"a journal of the second version with a's sizes, counter and files, as the earlier library wrote it",
         [](const TempDir &d, pid_t) {
             const auto wox = readFile(d.file("a.wox")).size(), wod = readFile(d.file("a.wod")).size();
             writeFile(d.file("a.wjn"), forgedJournal(2, wox, wod, changeCounter(d), d.file("a")));
         },
         {{"info", Expect::refused}, {"open", Expect::refused}, {"load --journal 1", Expect::refused},
          {"cluster", Expect::refused}, {"backup", Expect::refused}, {"erase", Expect::either},
          {"rename", Expect::either}}},
        {"a.lck a symbolic link to a file elsewhere",
         [](const TempDir &d, pid_t) {
             ::unlink(d.file("a.lck").c_str());
             link(d, "a.lck", "outside/keep");
         },
         {{"info", Expect::refused}, {"open", Expect::refused}, {"load --journal 1", Expect::refused},
          {"cluster", Expect::refused}, {"backup", Expect::refused}, {"erase", Expect::either},
          {"rename", Expect::either}}},
        {"a.wjn a symbolic link to a file elsewhere",
         [](const TempDir &d, pid_t) { link(d, "a.wjn", d.file("outside/keep")); },
         {{"info", Expect::refused}, {"load --journal 1", Expect::refused}}},
        {"n.lck a symbolic link, n.wox a dangling one",
         [](const TempDir &d, pid_t) { link(d, "n.lck", "outside/keep"), link(d, "n.wox", "outside/new"); },
         {{"create", Expect::refused}}},
        {"the cluster's temporary names linked to another ISAM file",
         [](const TempDir &d, pid_t pid) {
             writeText(d.file(pidName("iso", pid) + ".lnk"), "victim\n");
             writeText(d.file(pidName("ist", pid) + ".lnk"), "victim\n");
         },
         {{"cluster", Expect::done}}},
        {"a crashed cluster's files left under its temporary names",
         [](const TempDir &d, pid_t pid) {
             for (const char *ext : {".wox", ".wod"}) {
                 writeFile(d.file(pidName("iso", pid) + ext), readFile(d.file(std::string("victim") + ext)));
                 writeFile(d.file(pidName("ist", pid) + ext), readFile(d.file(std::string("victim") + ext)));
             }
         },
         {{"cluster", Expect::done}}},
        {"another ISAM file under the new name",
         [](const TempDir &d, pid_t) {
             for (const char *ext : {".wox", ".wod"}) {
                 writeFile(d.file(std::string("b") + ext), readFile(d.file(std::string("victim") + ext)));
             }
         },
         {{"rename", Expect::refused}}},
        {"the backup's copy a symbolic link to a file elsewhere",
         [](const TempDir &d, pid_t) { link(d, "bk/a.wox", "../outside/keep"); },
         {{"backup", Expect::done}}},
        {"the backup's log a symbolic link to a file elsewhere",
         [](const TempDir &d, pid_t) { link(d, "bk/log", "../outside/keep"); },
         {{"backup", Expect::refused}}},
    };
    return all;
}

// The names a command may change: the ISAM file's own, journals it set
// aside, what it was asked to make, and the tool runner's own files.
std::function<bool(const std::string &)> ownOrAsked(const Command &command) {
    std::vector<std::string> bases{"a"};
    bases.insert(bases.end(), command.makes.begin(), command.makes.end());
    const auto files = filesOf(bases);
    return [files, makes = command.makes](const std::string &name) {
        return files(name) || name.rfind("a.wjn.bad-", 0) == 0 || name.rfind(".tool-", 0) == 0 ||
               std::find(makes.begin(), makes.end(), name) != makes.end();
    };
}

// Runs one command after one set-up; "" or what went wrong.
std::string runOne(const Planting &planting, const Command &command, Expect expect) {
    TempDir dir;
    std::filesystem::create_directories(dir.file("outside"));
    std::filesystem::create_directories(dir.file("bk"));
    writeText(dir.file("outside/keep"), "precious");
    makeFile(dir, "a", 1);
    makeFile(dir, "victim", 100000);
    const Bytes wox = readFile(dir.file("a.wox")), wod = readFile(dir.file("a.wod"));
    DirSnapshot before;
    const ToolRun run = runTool(dir, command.args, command.input, "", 0, [&](pid_t pid) {
        planting.plant(dir, pid);
        before = DirSnapshot::take(dir.path());
    });
    std::string problems = DirSnapshot::take(dir.path()).differencesFrom(before, ownOrAsked(command));
    const std::string said = " (exit " + std::to_string(run.status) + ": " + run.err + ")";
    if (run.status < 0) problems += "the tool crashed" + said;
    if (expect == Expect::refused && run.status == 0) problems += "not refused" + said;
    if (expect == Expect::done && run.status != 0) problems += "refused" + said;
    const bool changed = !fileExists(dir.file("a.wox")) || readFile(dir.file("a.wox")) != wox ||
                         readFile(dir.file("a.wod")) != wod;
    if (run.status != 0 && changed) problems += "refused, yet a changed" + said;
    if (run.status == 0 && fileExists(dir.file("a.wox")) && runTool(dir, {"check", "a"}).status != 0) {
        problems += "a does not check clean after it";
    }
    return problems;
}

TEST(HostileDirectory, NoPlantedNameMakesACommandChangeAnotherFile) {
    for (const Planting &planting : plantings()) {
        for (const auto &[name, expect] : planting.against) {
            const auto command = std::find_if(commands().begin(), commands().end(),
                                              [&](const Command &c) { return std::string(c.name) == name; });
            ASSERT_NE(command, commands().end()) << name;
            EXPECT_EQ(runOne(planting, *command, expect), "") << planting.what << ", then " << name;
        }
    }
}

}  // namespace
}  // namespace wisam::testing
