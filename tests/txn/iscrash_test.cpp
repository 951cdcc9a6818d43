// Crash and recovery.  A forked child runs random transactions (writes,
// rewrites, deletes, unique ids; committed or rolled back) on a
// transactional file under a log that began when the parent copied the
// file, and reports every call through a pipe before and after making it.
// The parent kills it with SIGKILL at a random moment, puts the copy back
// and recovers it from the log:
//   - every acknowledged operation is in the log, in order, with its record
//     number and images; the call in flight at the kill may or may not be;
//   - isRecoverRollback 0: the file holds every logged operation except
//     those of rolled-back transactions (an unfinished one is kept);
//   - isRecoverRollback 1: the file holds exactly the committed
//     transactions;
//   - record numbers are those the child saw, and the unique-id counter has
//     advanced once for every id taken in the log.
// The same with three processes on their own ids of one file, all killed
// at once: each one's records in the log are judged by its own reports.
// WISAM_CRASH_ROUNDS sets the number of rounds (default 8, half of them
// for the three processes) and
// WISAM_CRASH_SEED the first seed (scripts/crash-recover.sh runs many).
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "support/model.h"
#include "support/testing.h"
#include "support/txnlog.h"
#include "wisam.h"

namespace wisam {
namespace {

using namespace testing;

constexpr int kTransMode = ISINOUT | ISTRANS | ISMANULOCK;
constexpr int kChildTransactions = 40;
constexpr int32_t kIdSpan = 200;

enum Kind : int32_t { kOpenLog = 1, kBegin, kWrite, kRewrite, kDelete, kUnique, kCommit, kRollback, kAck = 100, kFailed };

// One message of the child: an intent before a call, an acknowledgement
// after it returned (value: record number or unique id), or a failure.
struct Report {
    int32_t kind = 0;
    int32_t id = 0;
    int32_t group = 0;
    int32_t version = 0;
    int32_t value = 0;
};

void send(int fd, const Report &report) {
    if (::write(fd, &report, sizeof report) != static_cast<ssize_t>(sizeof report)) ::_exit(5);
}

int envNumber(const char *name, int fallback) {
    const char *text = std::getenv(name);
    return text != nullptr && *text != 0 ? std::atoi(text) : fallback;
}

// The child: random transactions, every call announced and acknowledged.
int crashChild(int fd, const std::u16string &name, const std::string &log, Model model, uint32_t seed,
               int32_t idBase = 0) {
    Dice dice(seed);
    send(fd, {kOpenLog});
    if (isLogOpen(toUtf16(log).c_str()) != 1) return 2;
    send(fd, {kAck});
    IsFile *f = isOpen(name.c_str(), kTransMode);
    if (f == nullptr) return 2;
    auto fail = [&](int error) {
        send(fd, {kFailed, error});
        return 3;
    };
    for (int txn = 0; txn < kChildTransactions; ++txn) {
        send(fd, {kBegin});
        if (isBegin() != 1) return fail(errno);
        send(fd, {kAck});
        const Model atBegin = model;
        for (int n = 1 + dice.below(10); n > 0; --n) {
            const int roll = dice.below(100);
            auto some = model.rows.lower_bound(idBase + dice.below(kIdSpan));
            if (some == model.rows.end()) some = model.rows.begin();
            if (roll < 8) {
                send(fd, {kUnique});
                int32_t id = 0;
                if (isUniqueId(f, &id) != 1) return fail(isErrno(f));
                send(fd, {kAck, 0, 0, 0, id});
            } else if (roll < 55 || some == model.rows.end()) {
                int32_t id = idBase + dice.below(kIdSpan);
                while (model.has(id)) id = idBase + (id - idBase + 1) % kIdSpan;
                const int32_t group = dice.below(kModelGroups), version = model.nextVersion++;
                send(fd, {kWrite, id, group, version});
                if (isWrite(f, modelRecord(id, group, version).data()) != 1) return fail(isErrno(f));
                // The child's model picks ids only.  Record numbers are
                // judged by the parent: a rollback may put a deleted record
                // back under a new number, which this model cannot know.
                if (!model.wrote(id, group, version, 0).empty()) return 4;
                send(fd, {kAck, id, group, version, isRecnum(f)});
            } else if (roll < 78) {
                const int32_t id = some->first, group = dice.below(kModelGroups), version = model.nextVersion++;
                send(fd, {kRewrite, id, group, version});
                if (isRewrite(f, modelRecord(id, group, version).data()) != 1) return fail(isErrno(f));
                some->second.group = group;
                some->second.version = version;
                send(fd, {kAck});
            } else {
                const int32_t id = some->first;
                send(fd, {kDelete, id});
                if (isDelete(f, modelRecord(id, 0, 0).data()) != 1) return fail(isErrno(f));
                model.rows.erase(id);
                send(fd, {kAck});
            }
        }
        if (dice.below(100) < 60) {
            send(fd, {kCommit});
            if (isCommit() != 1) return fail(errno);
        } else {
            send(fd, {kRollback});
            if (isRollBack() != 1) return fail(errno);
            const int32_t version = model.nextVersion;
            model = atBegin;
            model.nextVersion = version;
        }
        send(fd, {kAck});
    }
    isClose(f);
    isLogClose();
    return 0;
}

// An operation the child had acknowledged, as the log must show it.
struct Acked {
    std::string code;
    int32_t recnum;
    std::vector<uint8_t> image;  // the record written ("IN", "UP"), or the one deleted
};

struct Expected {
    Model rolledForward;  // isRecoverRollback 0
    Model committed;      // isRecoverRollback 1
    int32_t nextUnique = 1;
    bool inFlightLogged = false;  // the call in flight at the kill left its record
    bool unfinished = false;      // the last transaction has no end record
    std::string problem;
};

// What the log must give, from the child's reports and the log's records.
// Without `stableNumbers` (other processes at work: a rolled-back delete may
// have brought its record back under a new number) the record numbers of
// the log are not compared with those the child saw.
Expected expectedFrom(const std::vector<Report> &reports, const Model &base, const LogScan &scan,
                      bool stableNumbers = true) {
    Expected out;
    Model committed = base, current = base;
    std::vector<Acked> acked;
    int uniques = 0, commits = 0, rollbacks = 0;
    const Report *pending = nullptr;
    Acked pendingOp;
    for (const Report &r : reports) {
        if (r.kind == kFailed) {
            out.problem = "a call of the child failed with " + std::to_string(r.id);
            return out;
        }
        if (r.kind != kAck) {
            pending = &r;
            continue;
        }
        if (pending == nullptr) {
            out.problem = "an acknowledgement without an intent";
            return out;
        }
        const Report &p = *pending;
        switch (p.kind) {
        case kWrite:
            out.problem = current.wrote(p.id, p.group, p.version, stableNumbers ? r.value : 0);
            if (!out.problem.empty()) return out;
            acked.push_back({"IN", r.value, modelRecord(p.id, p.group, p.version)});
            break;
        case kRewrite: {
            ModelRow &row = current.rows.at(p.id);
            row.group = p.group;
            row.version = p.version;
            acked.push_back({"UP", row.recnum, modelRecord(p.id, p.group, p.version)});
            break;
        }
        case kDelete: {
            const ModelRow &row = current.rows.at(p.id);
            acked.push_back({"DE", row.recnum, modelRecord(p.id, row.group, row.version)});
            current.rows.erase(p.id);
            break;
        }
        case kUnique:
            ++uniques;
            break;
        case kCommit:
            ++commits;
            committed = current;
            break;
        case kRollback:
            ++rollbacks;
            current = committed;
            break;
        default:
            break;
        }
        pending = nullptr;
    }

    std::vector<const LogEntry *> ops;
    int logUniques = 0, logCommits = 0, logRollbacks = 0;
    for (const LogEntry &e : scan.entries) {
        if (e.isOperation()) ops.push_back(&e);
        logUniques += e.code == "UN";
        logCommits += e.code == "CW";
        logRollbacks += e.code == "RW";
    }
    for (size_t i = 0; i < acked.size(); ++i) {
        if (i >= ops.size()) {
            out.problem = "acknowledged operation " + std::to_string(i + 1) + " of " + std::to_string(acked.size()) +
                          " (" + acked[i].code + ") is not in the log";
            return out;
        }
        const LogEntry &e = *ops[i];
        if (e.code != acked[i].code || (stableNumbers && e.recnum() != acked[i].recnum) || e.image() != acked[i].image) {
            out.problem = "log operation " + std::to_string(i + 1) + " is " + e.code + " of record " +
                          std::to_string(e.recnum()) + ", the child acknowledged " + acked[i].code + " of record " +
                          std::to_string(acked[i].recnum) + (e.code == acked[i].code ? " (or another image)" : "");
            return out;
        }
    }
    const int inFlight = pending == nullptr ? 0 : pending->kind;
    auto unexpected = [&](const std::string &what, size_t logged, size_t acknowledged) {
        return what + ": the log holds " + std::to_string(logged) + ", the child acknowledged " +
               std::to_string(acknowledged) + " with call " + std::to_string(inFlight) + " in flight";
    };
    const bool opInFlight = inFlight == kWrite || inFlight == kRewrite || inFlight == kDelete;
    if (ops.size() == acked.size() + 1 && opInFlight) {
        out.inFlightLogged = true;
        const Report &p = *pending;
        const LogEntry &e = *ops.back();
        const char *code = inFlight == kWrite ? "IN" : inFlight == kRewrite ? "UP" : "DE";
        if (e.code != code) {
            out.problem = "the last log operation is " + e.code + ", the call in flight " + code;
            return out;
        }
        if (inFlight == kWrite) {
            out.problem = current.wrote(p.id, p.group, p.version, stableNumbers ? e.recnum() : 0);
            if (!out.problem.empty()) return out;
        } else if (inFlight == kRewrite) {
            current.rows.at(p.id).group = p.group;
            current.rows.at(p.id).version = p.version;
        } else {
            current.rows.erase(p.id);
        }
    } else if (ops.size() != acked.size()) {
        out.problem = unexpected("operations", ops.size(), acked.size());
        return out;
    }
    if (logUniques != uniques && !(inFlight == kUnique && logUniques == uniques + 1)) {
        out.problem = unexpected("unique ids", static_cast<size_t>(logUniques), static_cast<size_t>(uniques));
        return out;
    }
    out.inFlightLogged = out.inFlightLogged || (inFlight == kUnique && logUniques == uniques + 1);
    if (logCommits == commits + 1 && inFlight == kCommit) {
        out.inFlightLogged = true;
        committed = current;
    } else if (logCommits != commits) {
        out.problem = unexpected("commits", static_cast<size_t>(logCommits), static_cast<size_t>(commits));
        return out;
    }
    if (logRollbacks == rollbacks + 1 && inFlight == kRollback) {
        out.inFlightLogged = true;
        current = committed;
    } else if (logRollbacks != rollbacks) {
        out.problem = unexpected("rollbacks", static_cast<size_t>(logRollbacks), static_cast<size_t>(rollbacks));
        return out;
    }
    int begins = 0;
    for (const LogEntry &e : scan.entries) begins += e.code == "BW";
    out.unfinished = begins > logCommits + logRollbacks;
    out.rolledForward = current;
    out.committed = committed;
    out.nextUnique = 1 + logUniques;
    return out;
}

// Waits until `pid` has stopped, or has already ended (it is then reaped
// later by waitChild).
void waitStopped(int pid) {
    siginfo_t info{};
    while (::waitid(P_PID, static_cast<id_t>(pid), &info, WSTOPPED | WEXITED | WNOWAIT) != 0 && errno == EINTR) {
    }
}

std::vector<Report> toReports(const std::vector<uint8_t> &bytes) {
    std::vector<Report> reports(bytes.size() / sizeof(Report));
    if (!reports.empty()) std::memcpy(reports.data(), bytes.data(), reports.size() * sizeof(Report));
    return reports;
}

TEST(TxnCrash, KilledProcessRecoversFromCopyAndLog) {
    const int rounds = envNumber("WISAM_CRASH_ROUNDS", 8);
    const int firstSeed = envNumber("WISAM_CRASH_SEED", 1);
    int killedInside = 0, tornTails = 0, finished = 0, inFlightLogged = 0, unfinished = 0;
    for (int round = 0; round < rounds; ++round) {
        const uint32_t seed = static_cast<uint32_t>(firstSeed + round);
        SCOPED_TRACE("seed " + std::to_string(seed) + " (WISAM_CRASH_SEED=" + std::to_string(seed) +
                     " WISAM_CRASH_ROUNDS=1 replays it)");
        Dice dice(seed * 7919u);
        TempDir dir;
        const std::u16string name = dir.name("c");
        const std::string log = dir.file("c.log"), wox = dir.file("c.wox");
        Model base;
        {
            KeyDesc id = modelIdKey();
            IsFile *f = isBuild(name.c_str(), kModelLength, 0, &id, kTransMode);
            ASSERT_NE(f, nullptr);
            KeyDesc group = modelGroupKey();
            ASSERT_EQ(isAddIndex(f, &group), 1);
            for (int32_t i = 0; i < 60; ++i) {
                const int32_t id = (i * 37) % kIdSpan;
                ASSERT_EQ(isWrite(f, modelRecord(id, i % kModelGroups, 0).data()), 1);
                base.wrote(id, i % kModelGroups, 0, isRecnum(f));
            }
            for (int32_t i = 0; i < 60; i += 5) {  // a data free list
                const int32_t id = (i * 37) % kIdSpan;
                ASSERT_EQ(isDelete(f, modelRecord(id, 0, 0).data()), 1);
                base.rows.erase(id);
            }
            ASSERT_EQ(isClose(f), 1);
        }
        base.nextVersion = 1;
        isCleanUp();
        FileSetCopy copy;
        copy.save(dir.file("c"));

        int fds[2];
        ASSERT_EQ(::pipe(fds), 0);
        const std::u16string childName = spelling(dir, "c", 1);
        const int pid = startChild([&] {
            ::close(fds[0]);
            return crashChild(fds[1], childName, log, base, seed);
        });
        ::close(fds[1]);
        // Let the child run for a random number of its messages, then a
        // little more, and kill it.
        const size_t target = static_cast<size_t>(dice.below(650));
        std::vector<uint8_t> bytes;
        while (bytes.size() < target * sizeof(Report)) {
            uint8_t chunk[sizeof(Report)];
            const ssize_t n = ::read(fds[0], chunk, sizeof chunk);
            if (n <= 0) break;
            bytes.insert(bytes.end(), chunk, chunk + n);
        }
        if (const int spin = dice.below(400); spin > 0) ::usleep(static_cast<useconds_t>(spin));
        ::kill(pid, SIGKILL);
        const int status = waitChild(pid);
        appendBytes(bytes, drain(fds[0]));
        ::close(fds[0]);
        ASSERT_TRUE(status == 0 || status == 128 + SIGKILL) << "the child ended with status " << status;
        finished += status == 0;
        const std::vector<Report> reports = toReports(bytes);
        if (status != 0 && !reports.empty() && reports.back().kind != kAck) ++killedInside;

        // A record torn by the kill in the middle of its write was never
        // acknowledged: it is cut off, as an administrator would.
        std::vector<uint8_t> logBytes = fileExists(log) ? readFile(log) : std::vector<uint8_t>{};
        LogScan scan = scanLog(logBytes);
        if (!scan.fault.empty()) {
            ++tornTails;
            ASSERT_EQ(::truncate(log.c_str(), scan.wholeBytes), 0);
        }
        const Expected expected = expectedFrom(reports, base, scan);
        ASSERT_EQ(expected.problem, "") << reports.size() << " reports; log " << codesOf(scan);
        inFlightLogged += expected.inFlightLogged;
        unfinished += expected.unfinished;

        for (const int32_t mode : {0, 1}) {
            SCOPED_TRACE("isRecoverRollback " + std::to_string(mode));
            copy.restore();
            const RecoverOutcome outcome = recoverFrom(log, mode);
            EXPECT_EQ(outcome.result, 1) << "errno " << outcome.error;
            EXPECT_EQ(outcome.error, ELOGREAD);
            const Model &want = mode == 0 ? expected.rolledForward : expected.committed;
            EXPECT_EQ(reopenAndCompare(name, ISINOUT | ISMANULOCK, want, wox), "");
            IsFile *f = isOpen(name.c_str(), ISINOUT | ISMANULOCK | ISNOLOG);
            ASSERT_NE(f, nullptr);
            int32_t id = 0;
            EXPECT_EQ(isUniqueId(f, &id), 1);
            EXPECT_EQ(id, expected.nextUnique) << "the unique-id counter after recovery";
            EXPECT_EQ(isClose(f), 1);
        }
        if (HasFailure()) break;
    }
    std::cout << "[   runs   ] " << rounds << " rounds: " << killedInside << " killed inside a call, " << finished
              << " finished before the kill, " << inFlightLogged << " with the call in flight logged, " << unfinished
              << " with an unfinished transaction, " << tornTails << " torn log tails\n";
}

// Three processes run transactions on their own ids of one file under one
// log and are all killed at a random moment.  Each process's records in the
// log are judged by what it reported; the recovered copy holds the sum.
TEST(TxnCrash, SeveralKilledProcessesRecoverFromCopyAndLog) {
    constexpr int kChildren = 3;
    const int rounds = std::max(1, envNumber("WISAM_CRASH_ROUNDS", 8) / 2);
    const int firstSeed = envNumber("WISAM_CRASH_SEED", 1);
    int unfinished = 0, inFlightLogged = 0, tornTails = 0;
    for (int round = 0; round < rounds; ++round) {
        const uint32_t seed = static_cast<uint32_t>(firstSeed + round);
        SCOPED_TRACE("seed " + std::to_string(seed));
        Dice dice(seed * 104729u);
        TempDir dir;
        const std::u16string name = dir.name("m");
        const std::string log = dir.file("m.log"), wox = dir.file("m.wox");
        Model bases[kChildren];
        Model all;
        {
            KeyDesc id = modelIdKey();
            IsFile *f = isBuild(name.c_str(), kModelLength, 0, &id, kTransMode);
            ASSERT_NE(f, nullptr);
            KeyDesc group = modelGroupKey();
            ASSERT_EQ(isAddIndex(f, &group), 1);
            for (int32_t i = 0; i < 90; ++i) {
                const int c = i % kChildren;
                const int32_t id = c * 1000 + (i * 37) % kIdSpan;
                ASSERT_EQ(isWrite(f, modelRecord(id, i % kModelGroups, 0).data()), 1);
                bases[c].wrote(id, i % kModelGroups, 0, isRecnum(f));
            }
            ASSERT_EQ(isClose(f), 1);
        }
        isCleanUp();
        FileSetCopy copy;
        copy.save(dir.file("m"));
        int pids[kChildren], fds[kChildren][2];
        for (int c = 0; c < kChildren; ++c) {
            ASSERT_EQ(::pipe(fds[c]), 0);
            bases[c].nextVersion = 1 + 100000 * c;
            const std::u16string childName = spelling(dir, "m", c + 1);
            pids[c] = startChild([&, c] {
                ::close(fds[c][0]);
                return crashChild(fds[c][1], childName, log, bases[c], seed * 3 + static_cast<uint32_t>(c), c * 1000);
            });
            ::close(fds[c][1]);
        }
        ::usleep(static_cast<useconds_t>(dice.below(30000)));
        // All three die at one instant: each is stopped first (a stopped
        // process keeps its locks, so no other one can build on a change it
        // has made and not yet logged), then all are killed.
        for (int c = 0; c < kChildren; ++c) ::kill(pids[c], SIGSTOP);
        for (int c = 0; c < kChildren; ++c) waitStopped(pids[c]);
        for (int c = 0; c < kChildren; ++c) ::kill(pids[c], SIGKILL);
        std::vector<Report> reports[kChildren];
        for (int c = 0; c < kChildren; ++c) {
            const int status = waitChild(pids[c]);
            reports[c] = toReports(drain(fds[c][0]));
            ::close(fds[c][0]);
            int32_t failedWith = 0;
            for (const Report &r : reports[c]) {
                if (r.kind == kFailed) failedWith = r.id;
            }
            ASSERT_TRUE(status == 0 || status == 128 + SIGKILL)
                << "child " << c << " ended with status " << status << ", a call failing with " << failedWith
                << " after " << reports[c].size() << " reports";
        }
        const LogScan scan = scanLog(fileExists(log) ? readFile(log) : std::vector<uint8_t>{});
        if (!scan.fault.empty()) {  // a last record torn by the kill, cut off as in the test above
            ++tornTails;
            ASSERT_EQ(::truncate(log.c_str(), scan.wholeBytes), 0);
        }
        Model forward, committed;
        int32_t nextUnique = 1;
        for (int c = 0; c < kChildren; ++c) {
            LogScan own;
            for (const LogEntry &e : scan.entries) {
                if (e.pid == static_cast<uint16_t>(pids[c])) own.entries.push_back(e);
            }
            const Expected expected = expectedFrom(reports[c], bases[c], own, false);
            ASSERT_EQ(expected.problem, "") << "child " << c << ": " << reports[c].size() << " reports";
            for (const auto &[id, row] : expected.rolledForward.rows) forward.rows[id] = row;
            for (const auto &[id, row] : expected.committed.rows) committed.rows[id] = row;
            nextUnique += expected.nextUnique - 1;
            unfinished += expected.unfinished;
            inFlightLogged += expected.inFlightLogged;
        }
        for (const int32_t mode : {0, 1}) {
            SCOPED_TRACE("isRecoverRollback " + std::to_string(mode));
            copy.restore();
            const RecoverOutcome outcome = recoverFrom(log, mode);
            EXPECT_EQ(outcome.result, 1) << "errno " << outcome.error;
            // A rolled-back delete may bring its record back under another
            // number when another process took the old one: the records are
            // compared, not their numbers.
            EXPECT_EQ(reopenAndCompare(name, ISINOUT | ISMANULOCK, mode == 0 ? forward : committed, wox, false), "");
            IsFile *f = isOpen(name.c_str(), ISINOUT | ISMANULOCK | ISNOLOG);
            ASSERT_NE(f, nullptr);
            int32_t id = 0;
            EXPECT_EQ(isUniqueId(f, &id), 1);
            EXPECT_EQ(id, nextUnique) << "the unique-id counter after recovery";
            EXPECT_EQ(isClose(f), 1);
        }
        if (HasFailure()) break;
    }
    std::cout << "[   runs   ] " << rounds << " rounds of " << kChildren << " processes: " << unfinished
              << " transactions left unfinished, " << inFlightLogged << " calls in flight logged, " << tornTails
              << " torn log tails\n";
}

}  // namespace
}  // namespace wisam
