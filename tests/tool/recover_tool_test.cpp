// recover_tool_test.cpp - recover on a log the library wrote: once on the
// backup copy it gives the files as they were; run again (or on files that
// are not the copy) it changes nothing and says at which offset it stopped,
// what of the log the files hold and that recovery starts from the copy;
// stopped by an error part-way, it says where, as the files show it.
// log --brief is one line a record.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "tool/toolrun.h"
#include "wisam.h"

namespace wisam::testing {
namespace {

constexpr int kLength = 40;

std::string row(int32_t id, char fill) {
    std::string r(kLength, fill);
    stLong(id, r.data());
    return r;
}

// The log's records as its bytes frame them: offset and code of each.
struct LogEntry {
    uint64_t offset;
    std::string code;
};

std::vector<LogEntry> logEntries(const std::string &path) {
    const std::vector<uint8_t> bytes = readFile(path);
    std::vector<LogEntry> entries;
    for (size_t at = 0; at + 4 <= bytes.size();) {
        const size_t length = size_t{bytes[at]} << 8 | bytes[at + 1];
        if (length < 20) break;
        entries.push_back({at, std::string{char(bytes[at + 2]), char(bytes[at + 3])}});
        at += length;
    }
    return entries;
}

// "K of its N records (T transactions: ...)" for the records before `offset`.
std::string prefixText(const std::vector<LogEntry> &log, uint64_t offset) {
    size_t records = 0, begun = 0, committed = 0, rolledBack = 0;
    for (const LogEntry &e : log) {
        if (e.offset >= offset) break;
        ++records;
        begun += e.code == "BW", committed += e.code == "CW", rolledBack += e.code == "RW";
    }
    const std::string counts = std::to_string(begun) + " transaction" + (begun == 1 ? "" : "s") + ": " +
                               std::to_string(committed) + " committed, " + std::to_string(rolledBack) +
                               " rolled back, " + std::to_string(begun - committed - rolledBack) + " unfinished)";
    if (records == log.size()) return "all " + std::to_string(records) + " records of the log (" + counts;
    return "the log's first " + std::to_string(records) + " of its " + std::to_string(log.size()) + " records (" + counts;
}

// The offset of the n-th record (from 0) with `code`.
uint64_t offsetOf(const std::vector<LogEntry> &log, const std::string &code, int n = 0) {
    for (const LogEntry &e : log) {
        if (e.code == code && n-- == 0) return e.offset;
    }
    ADD_FAILURE() << "no " << code;
    return 0;
}

// Every record of a file in record-number order, with its number.
std::vector<std::string> contents(const TempDir &dir, const std::string &name) {
    std::vector<std::string> rows;
    IsFile *f = isOpen(dir.name(name).c_str(), ISINPUT);
    if (f == nullptr) return {"(no " + name + ")"};
    isIndex(f, 0);
    char buffer[kLength];
    for (int mode = modeFirst; isRead(f, buffer, mode); mode = modeNext) {
        rows.push_back(std::to_string(isRecnum(f)) + ":" + std::string(buffer, kLength));
    }
    isClose(f);
    return rows;
}

std::vector<uint8_t> filesOf(const TempDir &dir) {
    std::vector<uint8_t> all;
    for (const char *file : {"people.wox", "people.wod", "orders.wox", "orders.wod"}) {
        const std::vector<uint8_t> bytes = readFile(dir.file(file));
        all.insert(all.end(), bytes.begin(), bytes.end());
    }
    return all;
}

void restore(const TempDir &dir) {
    for (const char *file : {"people.wox", "people.wod", "orders.wox", "orders.wod"}) {
        std::filesystem::copy_file(dir.file(std::string("saved/") + file), dir.file(file),
                                   std::filesystem::copy_options::overwrite_existing);
    }
}

// Two files, a backup and then four transactions through the library into
// the log: one committed insert of three records, an update and a delete
// committed, an insert rolled back, and inserts into both files committed.
class RecoverToolTest : public ::testing::Test {
protected:
    void SetUp() override {
        for (const char *name : {"people", "orders"}) {
            ASSERT_EQ(runTool(dir, {"create", name, "--reclen", "40", "--key", "0:4:long"}).status, 0);
        }
        std::string five;
        for (int id = 1; id <= 5; ++id) five += row(id, ' ');
        ASSERT_EQ(runTool(dir, {"load", "people"}, five).status, 0);
        ASSERT_EQ(runTool(dir, {"backup", "people", "orders", "saved", "--log", "app.log"}).status, 0);

        ASSERT_EQ(isLogOpen(dir.name("app.log").c_str()), 1);
        IsFile *people = isOpen(dir.name("people").c_str(), ISINOUT | ISTRANS | ISMANULOCK);
        IsFile *orders = isOpen(dir.name("orders").c_str(), ISINOUT | ISTRANS | ISMANULOCK);
        ASSERT_NE(people, nullptr);
        ASSERT_NE(orders, nullptr);
        std::string r;
        ASSERT_EQ(isBegin(), 1);
        for (int id = 6; id <= 8; ++id) ASSERT_EQ(isWrite(people, (r = row(id, 'a')).data()), 1);
        ASSERT_EQ(isCommit(), 1);
        ASSERT_EQ(isBegin(), 1);
        ASSERT_EQ(isRewrite(people, (r = row(2, 'b')).data()), 1);
        ASSERT_EQ(isDelete(people, (r = row(3, ' ')).data()), 1);
        ASSERT_EQ(isCommit(), 1);
        ASSERT_EQ(isBegin(), 1);
        ASSERT_EQ(isWrite(people, (r = row(9, 'c')).data()), 1);
        ASSERT_EQ(isRollBack(), 1);
        ASSERT_EQ(isBegin(), 1);
        ASSERT_EQ(isWrite(people, (r = row(10, 'd')).data()), 1);
        ASSERT_EQ(isWrite(orders, (r = row(77, 'e')).data()), 1);
        ASSERT_EQ(isCommit(), 1);
        ASSERT_EQ(isClose(people), 1);
        ASSERT_EQ(isClose(orders), 1);
        ASSERT_EQ(isLogClose(), 1);
        expected = {contents(dir, "people"), contents(dir, "orders")};
        ASSERT_EQ(expected[0].size(), 8u);
        log = logEntries(dir.file("app.log"));
        restore(dir);
    }

    std::vector<std::vector<std::string>> now() { return {contents(dir, "people"), contents(dir, "orders")}; }

    TempDir dir;
    std::vector<std::vector<std::string>> expected;
    std::vector<LogEntry> log;
};

TEST_F(RecoverToolTest, OnceRecoversTwiceChangesNothingAndSaysWhy) {
    ASSERT_NE(now(), expected);  // the copy, from before the log
    ToolRun run = runTool(dir, {"recover", "app.log"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, "recovered app.log: " + std::to_string(log.size()) +
                           " records, 4 transactions: 3 committed, 1 rolled back, 0 unfinished\n");
    EXPECT_EQ(now(), expected);

    const std::vector<uint8_t> recovered = filesOf(dir);
    run = runTool(dir, {"recover", "app.log"});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, "");
    const std::string first = std::to_string(offsetOf(log, "IN"));
    EXPECT_EQ(run.err,
              "wisam: recover app.log: the files already hold changes of this log: at offset " + first +
                  " (IN of record 6 of " + dir.file("people") +
                  ") the files are already as that change leaves them\n"
                  "wisam: recover app.log: stopped at offset " + first +
                  " before changing anything; the files hold the changes of " + prefixText(log, UINT64_MAX) + "\n"
                  "wisam: recover app.log: recovery starts from a backup copy of the files taken before the log "
                  "began ('wisam backup NAME... DIR --log LOGFILE' takes one): put that copy back in place and "
                  "recover once; --force recovers these files anyway\n");
    EXPECT_EQ(filesOf(dir), recovered);
    EXPECT_EQ(now(), expected);
}

// Files between the copy and the end: what they hold decides where the
// refusal or the failed recovery is placed.
TEST_F(RecoverToolTest, FilesNotAsTheLogBeganAreRefusedOrPlaced) {
    struct Case {
        const char *setup;
        std::function<void()> apply;  // on the restored copy, through the library
        int status;
        std::vector<std::string> says;
        bool unchanged;  // the files as before the run
    };
    const auto change = [&](const std::function<void(IsFile *)> &work) {
        IsFile *f = isOpen(dir.name("people").c_str(), ISINOUT | ISEXCLLOCK);
        ASSERT_NE(f, nullptr);
        work(f);
        ASSERT_EQ(isClose(f), 1);
    };
    const std::string people = dir.file("people");
    const std::string update = std::to_string(offsetOf(log, "UP")), eighth = std::to_string(offsetOf(log, "IN", 2));
    const std::vector<Case> cases = {
        {"record 2, which the log updates, deleted",
         [&] { change([](IsFile *f) { ASSERT_EQ(isDelRec(f, 2), 1); }); },
         1,
         {"the files are not as this log began, nor as it leaves them at any point: at offset " + update + " (UP of record 2 of " +
              people + ") record 2 is not in use\n",
          "stopped at offset " + update + " before changing anything\n", "put that copy back in place"},
         true},
        {"record 5 given the key the log inserts as record 8: a duplicate part-way",
         [&] { change([](IsFile *f) { ASSERT_EQ(isRewRec(f, 5, row(8, ' ').data()), 1); }); },
         1,
         {"recover app.log: error 100: Duplicate record\n",
          "it stopped at offset " + eighth + " (IN of record 8 of " + people + "), having applied " +
              prefixText(log, std::stoull(eighth)) + ": the files hold their changes and none after\n",
          "put that copy back in place before recovering again\n"},
         false},
        {"the copy as it was", [] {}, 0, {""}, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.setup);
        restore(dir);
        c.apply();
        const std::vector<uint8_t> before = filesOf(dir);
        const ToolRun run = runTool(dir, {"recover", "app.log"});
        EXPECT_EQ(run.status, c.status) << run.err;
        for (const std::string &says : c.says) EXPECT_TRUE(contains(run.err, says)) << says << "\n" << run.err;
        if (c.unchanged) {
            EXPECT_EQ(filesOf(dir), before);
        }
    }
    // --force recovers files that are not as the log began; a failure that
    // follows is not placed.  Here a second recovery stops at its first
    // insert, a duplicate, before it changed anything.
    ASSERT_EQ(now(), expected);  // recovered by the last case
    const std::vector<uint8_t> recovered = filesOf(dir);
    const ToolRun forced = runTool(dir, {"recover", "app.log", "--force"});
    EXPECT_EQ(forced.status, 1);
    for (const char *says : {"the files already hold changes of this log", "--force: recovering from offset",
                             "error 100: Duplicate record\n",
                             "the files were not as the log began, so where it stopped cannot be told\n"}) {
        EXPECT_TRUE(contains(forced.err, says)) << says << "\n" << forced.err;
    }
    EXPECT_EQ(filesOf(dir), recovered);
    EXPECT_EQ(now(), expected);
}

// A process that began a transaction and died: --rollback-unfinished
// undoes it at the end of the pass, and the comparison follows that undo.
TEST_F(RecoverToolTest, AnUnfinishedTransactionRolledBackOnceAndPlaced) {
    ASSERT_EQ(runTool(dir, {"recover", "app.log"}).status, 0);  // the files as the log leaves them
    const pid_t child = fork();
    if (child == 0) {
        IsFile *f = isLogOpen(dir.name("app.log").c_str()) == 1
                        ? isOpen(dir.name("people").c_str(), ISINOUT | ISTRANS | ISMANULOCK)
                        : nullptr;
        const std::string r = row(50, 'u');
        _exit(f != nullptr && isBegin() == 1 && isWrite(f, r.data()) == 1 ? 0 : 1);  // no commit
    }
    int status = -1;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_EQ(status, 0);
    log = logEntries(dir.file("app.log"));
    const uint64_t unfinished = offsetOf(log, "IN", 6);  // the dead process's insert
    restore(dir);

    ToolRun run = runTool(dir, {"recover", "app.log", "--rollback-unfinished"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(contains(run.out, "5 transactions: 3 committed, 1 rolled back, 1 unfinished (rolled back)\n")) << run.out;
    EXPECT_EQ(now(), expected);
    const std::vector<uint8_t> recovered = filesOf(dir);
    run = runTool(dir, {"recover", "app.log", "--rollback-unfinished"});
    EXPECT_EQ(run.status, 1);
    EXPECT_TRUE(contains(run.err, "the files hold the changes of " + prefixText(log, UINT64_MAX) + "\n")) << run.err;
    // Without the rollback, the files hold the log up to the dead process's insert.
    run = runTool(dir, {"recover", "app.log"});
    EXPECT_EQ(run.status, 1);
    EXPECT_TRUE(contains(run.err, "the files hold the changes of " + prefixText(log, unfinished) + "\n")) << run.err;
    EXPECT_EQ(filesOf(dir), recovered);
}

TEST_F(RecoverToolTest, LogBriefIsOneLineARecord) {
    const ToolRun run = runTool(dir, {"log", "app.log", "--brief"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.err, std::to_string(log.size()) + " records\n");
    std::vector<std::string> lines;
    for (size_t at = 0, end; (end = run.out.find('\n', at)) != std::string::npos; at = end + 1) {
        lines.push_back(run.out.substr(at, end - at));
    }
    ASSERT_EQ(lines.size(), log.size()) << run.out;
    for (size_t i = 0; i < log.size(); ++i) {
        char head[32];
        std::snprintf(head, sizeof head, "%10llu %s ", static_cast<unsigned long long>(log[i].offset), log[i].code.c_str());
        EXPECT_EQ(lines[i].rfind(head, 0), 0u) << lines[i];
    }
    const ToolRun full = runTool(dir, {"log", "app.log"});
    EXPECT_GT(std::count(full.out.begin(), full.out.end(), '\n'), static_cast<long>(log.size()));
}

}  // namespace
}  // namespace wisam::testing
