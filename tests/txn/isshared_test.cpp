// Transactions of several processes on one file and one log.  Four forked
// processes run random transactions at once (some calls failing on
// purpose), each on its own ids, each committing or rolling back at random:
// afterwards the file holds exactly every process's committed work, the log
// is a sequence of whole records whose chains link each transaction's
// records of its own process back to its begin, and the copy taken before,
// recovered from that log, holds the same records.  Record locks of a
// transaction: what it wrote or rewrote cannot be locked by another process
// until it ends.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "support/lockprobe.h"
#include "support/model.h"
#include "support/testing.h"
#include "support/txnlog.h"
#include "wisam.h"

namespace wisam {
namespace {

using namespace testing;

constexpr int kTransMode = ISINOUT | ISTRANS | ISMANULOCK;
constexpr int kProcesses = 4;
constexpr int kWaitMs = 10000;  // only reached when something is broken

// One process's transactions; its committed rows are written to `out` as
// "id group version" lines.  Returns 0, or the place it failed.
int sharedChild(int index, const TempDir &dir, const std::string &log, const std::string &out) {
    if (isLogOpen(toUtf16(log).c_str()) != 1) return 2;
    IsFile *f = isOpen(spelling(dir, "s", index + 1).c_str(), kTransMode);
    if (f == nullptr) return 3;
    Dice dice(100 + static_cast<uint32_t>(index));
    Model model;
    const RandomOps ops{index * 1000, 250, 10, false};
    auto failed = [&](int txn, const char *what, int status) {
        std::ofstream(out + ".error") << "transaction " << txn << ": " << what << " failed with errno " << errno << "\n";
        return status;
    };
    for (int txn = 0; txn < 30; ++txn) {
        if (isBegin() != 1) return failed(txn, "isBegin", 4);
        const Model atBegin = model;
        for (int n = 1 + dice.below(12); n > 0; --n) {
            if (std::string why = applyRandomOp(f, model, dice, ops); !why.empty()) {
                std::ofstream(out + ".error") << "transaction " << txn << ": " << why << "\n";
                return 5;
            }
        }
        if (dice.below(100) < 60) {
            if (isCommit() != 1) return failed(txn, "isCommit", 6);
        } else {
            if (isRollBack() != 1) return failed(txn, "isRollBack", 7);
            const int32_t version = model.nextVersion;
            model = atBegin;
            model.nextVersion = version;
        }
    }
    if (isClose(f) != 1) return 8;
    isLogClose();
    std::ofstream file(out);
    for (const auto &[id, row] : model.rows) file << id << " " << row.group << " " << row.version << "\n";
    return file.good() ? 0 : 9;
}

// Four processes' transactions on a fresh file, with a copy of it taken
// before they start.
class SharedRun : public ::testing::Test {
protected:
    void SetUp() override {
        KeyDesc id = modelIdKey();
        IsFile *f = isBuild(name.c_str(), kModelLength, 0, &id, kTransMode);
        ASSERT_NE(f, nullptr);
        KeyDesc group = modelGroupKey();
        ASSERT_EQ(isAddIndex(f, &group), 1);
        ASSERT_EQ(isClose(f), 1);
        isCleanUp();
        copy.save(dir.file("s"));
        std::vector<int> pids;
        for (int c = 0; c < kProcesses; ++c) {
            pids.push_back(startChild([&, c] { return sharedChild(c, dir, log, dir.file("model-" + std::to_string(c))); }));
        }
        for (int c = 0; c < kProcesses; ++c) {
            const int status = waitChild(pids[static_cast<size_t>(c)]);
            childPids.insert(static_cast<uint16_t>(pids[static_cast<size_t>(c)]));
            const std::string out = dir.file("model-" + std::to_string(c));
            if (status != 0) {
                std::vector<uint8_t> text = fileExists(out + ".error") ? readFile(out + ".error") : std::vector<uint8_t>{};
                failures += "process " + std::to_string(c) + " ended with status " + std::to_string(status) + " " +
                            std::string(text.begin(), text.end());
            }
            std::ifstream in(out);
            int32_t key, group, version;
            while (in >> key >> group >> version) all.wrote(key, group, version, 0);
        }
    }

    // The records of the file, sorted; "" or why they could not be read.
    std::string records(std::vector<std::vector<uint8_t>> &out) const {
        IsFile *f = isOpen(name.c_str(), ISINPUT | ISMANULOCK);
        if (f == nullptr) return "open failed with " + std::to_string(isErrno(nullptr));
        std::vector<uint8_t> record(kModelLength);
        for (int mode = modeFirst; isRead(f, record.data(), mode) == 1; mode = modeNext) out.push_back(record);
        const int error = isErrno(f);
        isClose(f);
        std::sort(out.begin(), out.end());
        return error == EENDFILE ? "" : "the walk ended with " + std::to_string(error);
    }

    TempDir dir;
    const std::u16string name = dir.name("s");
    const std::string log = dir.file("s.log"), wox = dir.file("s.wox");
    FileSetCopy copy;
    Model all;  // the committed rows every process reported
    std::set<uint16_t> childPids;
    std::string failures;
};

TEST_F(SharedRun, ConcurrentTransactionsKeepEveryCommittedChange) {
    EXPECT_EQ(failures, "");
    EXPECT_EQ(reopenAndCompare(name, kTransMode, all, wox, false), "");

    // The log: whole records; each transaction's chain stays within its
    // process and ends at its begin.
    const LogScan scan = scanLog(readFile(log));
    EXPECT_EQ(scan.fault, "");
    std::map<int64_t, const LogEntry *> at;
    for (const LogEntry &e : scan.entries) at[e.offset] = &e;
    int ends = 0;
    for (const LogEntry &e : scan.entries) {
        EXPECT_EQ(childPids.count(e.pid), 1u) << e.code << " at " << e.offset << " of an unknown process";
        if (e.code != "CW" && e.code != "RW") continue;
        ++ends;
        const LogEntry *step = &e;
        int links = 0;
        while (step->code != "BW" && links < 100000) {
            auto it = at.find(step->back);
            ASSERT_NE(it, at.end()) << e.code << " at " << e.offset << ": a back link to " << step->back
                                    << " that is no record";
            ASSERT_LT(it->second->offset, step->offset);
            ASSERT_EQ(it->second->length, step->backLength);
            ASSERT_EQ(it->second->pid, e.pid) << "a chain runs into another process's record";
            step = it->second;
            ++links;
        }
    }
    if (failures.empty()) {
        EXPECT_EQ(ends, kProcesses * 30);
    }
}

// The copy recovered from the log of the four processes holds the records
// the file held when they had ended, whatever those were.
TEST_F(SharedRun, CopyRecoveredFromTheirLogEqualsTheFile) {
    std::vector<std::vector<uint8_t>> live;
    ASSERT_EQ(records(live), "");
    for (const int32_t mode : {0, 1}) {
        SCOPED_TRACE("recovered with isRecoverRollback " + std::to_string(mode));
        copy.restore();
        const RecoverOutcome outcome = recoverFrom(log, mode);
        EXPECT_EQ(outcome.result, 1) << "errno " << outcome.error;
        std::vector<std::vector<uint8_t>> recovered;
        ASSERT_EQ(records(recovered), "");
        EXPECT_EQ(recovered.size(), live.size());
        EXPECT_TRUE(recovered == live) << "the recovered file holds other records than the file did";
    }
}

// A transaction of another process holds the records it wrote and rewrote
// until it ends; the record it deleted comes back with a rollback.
TEST(TxnShared, RecordsOfAnOpenTransactionCannotBeLockedByOthers) {
    for (const bool commit : {true, false}) {
        SCOPED_TRACE(commit ? "commit" : "rollback");
        TempDir dir;
        const std::u16string name = dir.name("l");
        const std::string log = dir.file("l.log");
        {
            KeyDesc id = modelIdKey();
            IsFile *f = isBuild(name.c_str(), kModelLength, 0, &id, kTransMode);
            ASSERT_NE(f, nullptr);
            for (int32_t i = 0; i < 10; ++i) ASSERT_EQ(isWrite(f, modelRecord(i, i % kModelGroups, 1).data()), 1);
            ASSERT_EQ(isClose(f), 1);
        }
        isCleanUp();
        Signal ready, go, done;
        const int pid = startChild([&] {
            if (isLogOpen(toUtf16(log).c_str()) != 1) return 2;
            IsFile *f = isOpen(spelling(dir, "l", 1).c_str(), kTransMode);
            if (f == nullptr || isIndex(f, 1) != 1 || isBegin() != 1) return 3;
            if (isWrite(f, modelRecord(100, 1, 1).data()) != 1) return 4;
            if (isRewrite(f, modelRecord(1, 5, 2).data()) != 1) return 5;
            if (isDelete(f, modelRecord(2, 0, 0).data()) != 1) return 6;
            std::vector<uint8_t> record = modelRecord(3, 0, 0);  // locked, but not by the transaction
            if (isRead(f, record.data(), modeEqual | readLock) != 1) return 7;
            ready.post();
            if (!go.wait(kWaitMs)) return 8;
            if ((commit ? isCommit() : isRollBack()) != 1) return 9;
            done.post();
            if (!go.wait(kWaitMs)) return 10;
            isClose(f);
            return 0;
        });
        ASSERT_TRUE(ready.wait(kWaitMs));
        IsFile *probe = isOpen(name.c_str(), ISINOUT | ISMANULOCK);
        ASSERT_NE(probe, nullptr);
        ASSERT_EQ(isIndex(probe, 1), 1);
        EXPECT_EQ(probeLock(probe, 100), 0) << "a record written inside another process's transaction";
        EXPECT_EQ(probeLock(probe, 1), 0) << "a record rewritten inside another process's transaction";
        EXPECT_EQ(probeLock(probe, 3), 0) << "a record the other process locked by reading";
        EXPECT_EQ(probeLock(probe, 4), 1) << "a record nobody touched";
        go.post();
        ASSERT_TRUE(done.wait(kWaitMs));
        EXPECT_EQ(probeLock(probe, 100), commit ? 1 : -ENOREC);
        EXPECT_EQ(probeLock(probe, 1), 1) << "the rewritten record after the end of the transaction";
        EXPECT_EQ(probeLock(probe, 3), 0) << "the end of the transaction released a lock it did not take";
        EXPECT_EQ(probeLock(probe, 2), commit ? -ENOREC : 1) << "the deleted record";
        std::vector<uint8_t> record = modelRecord(1, 0, 0);
        ASSERT_EQ(isRead(probe, record.data(), modeEqual), 1);
        EXPECT_EQ(record, commit ? modelRecord(1, 5, 2) : modelRecord(1, 1, 1));
        go.post();
        EXPECT_EQ(waitChild(pid), 0);
        EXPECT_EQ(isClose(probe), 1);
        isCleanUp();
    }
}

// A transaction frees a record number (it deletes a record it wrote, or one
// that was there before) and another process writes a record that takes
// the number, then the transaction rolls back: the other process's record
// must stay, and only the transaction's own changes go.
TEST(TxnShared, RollbackLeavesARecordThatReusedAFreedNumber) {
    for (const bool ownRecord : {true, false}) {
        SCOPED_TRACE(ownRecord ? "the transaction deleted a record it wrote" : "the transaction deleted an older record");
        TempDir dir;
        const std::u16string name = dir.name("r");
        const std::string log = dir.file("r.log");
        Model model;
        {
            KeyDesc id = modelIdKey();
            IsFile *f = isBuild(name.c_str(), kModelLength, 0, &id, kTransMode);
            ASSERT_NE(f, nullptr);
            KeyDesc group = modelGroupKey();
            ASSERT_EQ(isAddIndex(f, &group), 1);
            for (int32_t i = 0; i < 5; ++i) {
                ASSERT_EQ(isWrite(f, modelRecord(i, i, 1).data()), 1);
                model.wrote(i, i, 1, 0);
            }
            ASSERT_EQ(isClose(f), 1);
        }
        isCleanUp();
        Signal ready, go, done;
        const int pid = startChild([&] {
            if (isLogOpen(toUtf16(log).c_str()) != 1) return 2;
            IsFile *f = isOpen(spelling(dir, "r", 1).c_str(), kTransMode);
            if (f == nullptr || isBegin() != 1) return 3;
            if (ownRecord && isWrite(f, modelRecord(50, 1, 1).data()) != 1) return 4;
            if (isDelete(f, modelRecord(ownRecord ? 50 : 2, 0, 0).data()) != 1) return 5;
            ready.post();
            if (!go.wait(kWaitMs)) return 6;
            const int rolledBack = isRollBack();
            const int error = errno;
            isClose(f);
            isLogClose();
            done.post();
            return rolledBack == 1 ? 0 : 100 + error % 100;
        });
        ASSERT_TRUE(ready.wait(kWaitMs));
        IsFile *other = isOpen(name.c_str(), ISINOUT | ISMANULOCK);
        ASSERT_NE(other, nullptr);
        ASSERT_EQ(isWrite(other, modelRecord(60, 6, 1).data()), 1);
        model.wrote(60, 6, 1, 0);
        const int32_t reused = isRecnum(other);
        ASSERT_EQ(isClose(other), 1);
        go.post();
        ASSERT_TRUE(done.wait(kWaitMs));
        const int status = waitChild(pid);
        EXPECT_EQ(status, 0) << "isRollBack failed (status 100 + errno)";
        EXPECT_EQ(reopenAndCompare(name, ISINOUT | ISMANULOCK, model, dir.file("r.wox"), false), "")
            << "the other process's record took number " << reused;
        isCleanUp();
    }
}

// The rollback of one process undoes its insert while another process
// waits to write a record (which would take the freed number) and after it
// rewrites that record by number.  The rollback holds the file until its
// "RW" is in the log, so the other write is logged after it, where it
// happened; recovery of the copy must give the same records under the same
// numbers.
Signal *pauseReady = nullptr;
Signal *pauseGo = nullptr;
bool pauseArmed = false;
constexpr int32_t kPauseTag = 77;

void pauseAfterFirstChange(int32_t tag, int32_t event, int32_t phase) {
    constexpr int32_t kUnlockStateRegion = 13, kAfter = 1;  // the end of a changing call
    if (!pauseArmed || tag != kPauseTag || event != kUnlockStateRegion || phase != kAfter) return;
    pauseArmed = false;
    pauseReady->post();
    pauseGo->wait(kWaitMs);
}

TEST(TxnShared, RecoveryUndoesARollbackWhereItHappened) {
    TempDir dir;
    const std::u16string name = dir.name("w");
    const std::string log = dir.file("w.log");
    {
        KeyDesc id = modelIdKey();
        IsFile *f = isBuild(name.c_str(), kModelLength, 0, &id, kTransMode);
        ASSERT_NE(f, nullptr);
        KeyDesc group = modelGroupKey();
        ASSERT_EQ(isAddIndex(f, &group), 1);
        ASSERT_EQ(isWrite(f, modelRecord(1, 1, 1).data()), 1);
        ASSERT_EQ(isClose(f), 1);
    }
    isCleanUp();
    FileSetCopy copy;
    copy.save(dir.file("w"));
    Signal ready, go, done;
    const int pid = startChild([&] {
        if (isLogOpen(toUtf16(log).c_str()) != 1) return 2;
        IsFile *f = isOpen(spelling(dir, "w", 1).c_str(), kTransMode);
        if (f == nullptr || isSetProfileTag(f, kPauseTag) != 1 || isBegin() != 1) return 3;
        if (isWrite(f, modelRecord(50, 2, 1).data()) != 1) return 4;
        pauseReady = &ready;
        pauseGo = &go;
        pauseArmed = true;
        lowLevelProfileCallback = pauseAfterFirstChange;
        const int rolledBack = isRollBack();
        lowLevelProfileCallback = nullptr;
        isClose(f);
        isLogClose();
        done.post();
        return rolledBack == 1 ? 0 : 5;
    });
    ASSERT_TRUE(ready.wait(kWaitMs)) << "the rollback never let the file go";
    Model model;
    model.wrote(1, 1, 1, 1);
    ASSERT_EQ(isLogOpen(toUtf16(log).c_str()), 1);
    IsFile *other = isOpen(name.c_str(), ISINOUT | ISMANULOCK);
    ASSERT_NE(other, nullptr);
    EXPECT_EQ(isWrite(other, modelRecord(60, 3, 1).data()), 1) << isErrno(other);
    const int32_t reused = isRecnum(other);
    EXPECT_EQ(isClose(other), 1);
    EXPECT_EQ(isLogClose(), 1);
    go.post();
    ASSERT_TRUE(done.wait(kWaitMs));
    EXPECT_EQ(waitChild(pid), 0);
    ASSERT_EQ(isLogOpen(toUtf16(log).c_str()), 1);
    other = isOpen(name.c_str(), ISINOUT | ISMANULOCK);
    ASSERT_NE(other, nullptr);
    EXPECT_EQ(isRewRec(other, reused, modelRecord(60, 4, 2).data()), 1) << isErrno(other);
    model.wrote(60, 4, 2, reused);
    EXPECT_EQ(isClose(other), 1);
    EXPECT_EQ(isLogClose(), 1);
    isCleanUp();
    EXPECT_EQ(reopenAndCompare(name, ISINOUT | ISMANULOCK, model, dir.file("w.wox")), "") << "the live file";
    EXPECT_EQ(codesOf(scanLog(readFile(log))), "FO BW IN RW FO IN FC FC FO UP FC");
    for (const int32_t mode : {0, 1}) {
        SCOPED_TRACE("isRecoverRollback " + std::to_string(mode));
        copy.restore();
        const RecoverOutcome outcome = recoverFrom(log, mode);
        EXPECT_EQ(outcome.result, 1) << "errno " << outcome.error;
        EXPECT_EQ(reopenAndCompare(name, ISINOUT | ISMANULOCK, model, dir.file("w.wox")), "") << "the recovered copy";
    }
}

}  // namespace
}  // namespace wisam
