// Transactions in one process against a model: random writes, rewrites,
// deletes (some failing on purpose, one index unique on the payload so that
// a rewrite fails after another index already changed) and unique ids on
// several transactional files at once, handles closed and opened again
// inside transactions, each transaction committed or rolled back at random.
// After every transaction each file equals the model through every index
// and by record number (a rollback gives deleted records their old numbers
// back); the records a transaction wrote or rewrote cannot be locked by
// another handle until it ends; unique ids are never taken back.  The copy
// of the files taken when the log began, recovered from the log, equals the
// final model.  Also the chain of log records of a rolled-back transaction
// and the fate of handles closed inside a transaction.
#include <gtest/gtest.h>

#include <cerrno>
#include <iostream>
#include <set>
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
constexpr int kProbeMode = ISINPUT | ISMANULOCK;
constexpr int kFiles = 3;

struct TxnFile {
    std::string base;
    std::u16string name;
    IsFile *f = nullptr;
    IsFile *probe = nullptr;
    Model model;
    int32_t nextUnique = 1;
    bool closedInTxn = false;
    FileSetCopy copy;
};

// Ids whose record the transaction wrote or rewrote (live in `now`), and
// with `deleted` also those it deleted.
std::vector<int32_t> touched(const Model &before, const Model &now, bool deleted = false) {
    std::vector<int32_t> ids;
    for (const auto &[id, row] : now.rows) {
        auto it = before.rows.find(id);
        if (it == before.rows.end() || it->second.version != row.version || it->second.group != row.group) ids.push_back(id);
    }
    if (deleted) {
        for (const auto &[id, row] : before.rows) {
            if (!now.has(id)) ids.push_back(id);
        }
    }
    return ids;
}

class TxnModel : public ::testing::TestWithParam<int> {
protected:
    void SetUp() override {
        for (int k = 0; k < kFiles; ++k) {
            TxnFile &t = files[k];
            t.base = dir.file("f" + std::to_string(k));
            t.name = toUtf16(t.base);
            if (k == 0) t.model.indexes.push_back(modelUniquePayloadKey());
            KeyDesc id = modelIdKey();
            IsFile *f = isBuild(t.name.c_str(), kModelLength, 0, &id, kTransMode);
            ASSERT_NE(f, nullptr) << isErrno(nullptr);
            for (size_t i = 1; i < t.model.indexes.size(); ++i) {
                KeyDesc key = t.model.indexes[i];
                ASSERT_EQ(isAddIndex(f, &key), 1) << errorText(f);
            }
            ASSERT_EQ(isClose(f), 1);
            t.copy.save(t.base);
        }
        ASSERT_EQ(isLogOpen(toUtf16(log).c_str()), 1) << errno;
        for (TxnFile &t : files) {
            t.f = isOpen(t.name.c_str(), kTransMode);
            ASSERT_NE(t.f, nullptr) << isErrno(nullptr);
            t.probe = isOpen(spelling(dir, "f" + std::to_string(&t - files), 1).c_str(), kProbeMode);
            ASSERT_NE(t.probe, nullptr) << isErrno(nullptr);
            ASSERT_EQ(isIndex(t.probe, 1), 1);
        }
    }
    void TearDown() override {
        isLogClose();
        isCleanUp();
    }

    // Runs `transactions` random transactions; "" or the first problem.
    // With `check`, every file is compared and the locks probed after each.
    std::string run(int transactions, bool check) {
        Dice dice(1234 + static_cast<uint32_t>(GetParam()));
        const RandomOps ops{0, 300, 15, true};
        int commits = 0, rollbacks = 0, calls = 0;
        for (int txn = 1; txn <= transactions; ++txn) {
            const std::string where = "transaction " + std::to_string(txn);
            Model before[kFiles];
            for (int k = 0; k < kFiles; ++k) before[k] = files[k].model;
            if (isBegin() != 1) return where + ": isBegin failed with " + std::to_string(errno);
            for (int n = 1 + dice.below(25); n > 0; --n, ++calls) {
                const int k = dice.below(kFiles);
                TxnFile &t = files[k];
                if (t.closedInTxn) continue;
                const int roll = dice.below(100);
                if (roll < 8) {
                    int32_t id = -1;
                    if (isUniqueId(t.f, &id) != 1) return where + ": isUniqueId failed with " + errorText(t.f);
                    if (id != t.nextUnique) {
                        return where + ": isUniqueId gave " + std::to_string(id) + ", expected " + std::to_string(t.nextUnique);
                    }
                    ++t.nextUnique;
                } else if (roll < 12) {
                    // Closed and opened again: the same handle comes back.
                    if (isClose(t.f) != 1) return where + ": close inside the transaction failed";
                    IsFile *again = isOpen(t.name.c_str(), kTransMode);
                    if (again != t.f) return where + ": the open inside the transaction did not give the closed handle back";
                } else if (roll < 14) {
                    // Closed for good: the transaction closes it when it ends.
                    if (isClose(t.f) != 1) return where + ": close inside the transaction failed";
                    t.closedInTxn = true;
                } else {
                    if (std::string why = applyRandomOp(t.f, t.model, dice, ops); !why.empty()) {
                        return where + ", file " + std::to_string(k) + ": " + why;
                    }
                }
            }
            if (check) {
                for (int k = 0; k < kFiles; ++k) {
                    std::vector<int32_t> ids = touched(before[k], files[k].model);
                    for (size_t i = 0; i < ids.size() && i < 4; ++i) {
                        const int32_t id = ids[static_cast<size_t>(dice.below(static_cast<int>(ids.size())))];
                        const int probe = probeLock(files[k].probe, id);
                        if (probe != 0) {
                            return where + ", file " + std::to_string(k) + ": the record of id " + std::to_string(id) +
                                   " changed inside the open transaction " +
                                   (probe == 1 ? "could be locked by another handle" : "gave error " + std::to_string(-probe));
                        }
                    }
                }
            }
            std::vector<int32_t> changed[kFiles];
            for (int k = 0; k < kFiles; ++k) changed[k] = touched(before[k], files[k].model, true);
            const bool commit = dice.below(100) < 55;
            if (commit) {
                ++commits;
                if (isCommit() != 1) return where + ": isCommit failed with " + std::to_string(errno);
            } else {
                ++rollbacks;
                if (isRollBack() != 1) return where + ": isRollBack failed with " + std::to_string(errno);
                for (int k = 0; k < kFiles; ++k) {
                    const int32_t version = files[k].model.nextVersion;
                    files[k].model = before[k];
                    files[k].model.nextVersion = version;
                }
            }
            const std::string ended = where + (commit ? " (committed)" : " (rolled back)");
            for (int k = 0; k < kFiles; ++k) {
                TxnFile &t = files[k];
                if (t.closedInTxn) {
                    t.closedInTxn = false;
                    t.f = isOpen(t.name.c_str(), kTransMode);
                    if (t.f == nullptr) return ended + ": reopen failed with " + std::to_string(isErrno(nullptr));
                }
                if (!check) continue;
                if (std::string why = compareWithModel(t.f, t.model); !why.empty()) {
                    return ended + ", file " + std::to_string(k) + ": " + why;
                }
                int probed = 0;
                for (const int32_t id : changed[k]) {
                    if (!t.model.has(id) || ++probed > 6) continue;
                    if (const int probe = probeLock(t.probe, id); probe != 1) {
                        return ended + ", file " + std::to_string(k) + ": the record of id " + std::to_string(id) +
                               (probe == 0 ? " is still locked" : " gave error " + std::to_string(-probe));
                    }
                }
            }
        }
        std::cout << "[   runs   ] " << transactions << " transactions (" << commits << " committed, " << rollbacks
                  << " rolled back), " << calls << " calls\n";
        return "";
    }

    TempDir dir;
    const std::string log = dir.file("t.log");
    TxnFile files[kFiles];
    ModelSwitches switches{kModelConfigs[GetParam()]};
};

TEST_P(TxnModel, RandomTransactionsMatchTheModelThroughEveryIndex) {
    ASSERT_EQ(run(70, true), "");
    for (TxnFile &t : files) {
        EXPECT_EQ(isClose(t.f), 1);
        EXPECT_EQ(isClose(t.probe), 1);
        t.f = t.probe = nullptr;
    }
    isLogClose();
    for (int k = 0; k < kFiles; ++k) {
        EXPECT_EQ(reopenAndCompare(files[k].name, kTransMode, files[k].model, files[k].base + ".wox"), "")
            << "file " << k;
    }
}

// The copy taken before the log began plus the log gives the final files,
// record numbers included, in both recovery modes (every transaction ended).
TEST_P(TxnModel, CopyRecoveredFromTheLogEqualsTheFinalFiles) {
    ASSERT_EQ(run(40, false), "");
    isLogClose();
    isCleanUp();
    for (const int32_t mode : {0, 1}) {
        SCOPED_TRACE("isRecoverRollback " + std::to_string(mode));
        for (TxnFile &t : files) t.copy.restore();
        const RecoverOutcome outcome = recoverFrom(log, mode);
        EXPECT_EQ(outcome.result, 1) << "errno " << outcome.error << "; log: " << codesOf(scanLog(readFile(log))).substr(0, 400);
        EXPECT_EQ(outcome.error, ELOGREAD);
        for (int k = 0; k < kFiles; ++k) {
            EXPECT_EQ(reopenAndCompare(files[k].name, kTransMode, files[k].model, files[k].base + ".wox"), "")
                << "file " << k;
            IsFile *f = isOpen(files[k].name.c_str(), ISINOUT | ISMANULOCK | ISNOLOG);
            ASSERT_NE(f, nullptr);
            int32_t id = 0;
            EXPECT_EQ(isUniqueId(f, &id), 1);
            EXPECT_EQ(id, files[k].nextUnique) << "file " << k << ": the unique-id counter after recovery";
            isClose(f);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Txn, TxnModel, ::testing::Values(0, 2),
                         [](const ::testing::TestParamInfo<int> &info) { return kModelConfigs[info.param].name; });

class TxnOneFile : public ::testing::Test {
protected:
    void SetUp() override {
        KeyDesc id = modelIdKey();
        IsFile *f = isBuild(name.c_str(), kModelLength, 0, &id, kTransMode);
        ASSERT_NE(f, nullptr);
        KeyDesc group = modelGroupKey();
        ASSERT_EQ(isAddIndex(f, &group), 1);
        for (int32_t i = 0; i < 10; ++i) {
            ASSERT_EQ(isWrite(f, modelRecord(i, i % kModelGroups, 1).data()), 1);
            model.wrote(i, i % kModelGroups, 1, isRecnum(f));
        }
        ASSERT_EQ(isClose(f), 1);
        ASSERT_EQ(isLogOpen(toUtf16(log).c_str()), 1);
    }
    void TearDown() override {
        isLogClose();
        isCleanUp();
    }
    TempDir dir;
    const std::u16string name = dir.name("one");
    const std::string log = dir.file("one.log");
    Model model;
};

// Recovery redoes an insert at the record number the log gives.  On files
// that are not the copy the log began from (a record deleted since, so the
// free list offers its slot), the insert would land there and the logged
// update of its number would go to the wrong place: recovery stops with 119
// instead, and neither the insert nor anything after it is applied.
TEST_F(TxnOneFile, RecoveryOnFilesTheLogDidNotBeginFromStopsInsteadOfMisplacingRecords) {
    FileSetCopy copy;
    copy.save(dir.file("one"));
    IsFile *f = isOpen(name.c_str(), kTransMode);
    ASSERT_NE(f, nullptr);
    ASSERT_EQ(isBegin(), 1);
    ASSERT_EQ(isWrite(f, modelRecord(100, 1, 1).data()), 1);
    const int32_t logged = isRecnum(f);
    ASSERT_EQ(isRewrite(f, modelRecord(100, 2, 2).data()), 1);
    ASSERT_EQ(isCommit(), 1);
    ASSERT_EQ(isClose(f), 1);
    ASSERT_EQ(isLogClose(), 1);
    isCleanUp();

    // Recovered onto the copy, the insert lands where it was logged.
    copy.restore();
    RecoverOutcome outcome = recoverFrom(log);
    EXPECT_EQ(outcome.result, 1) << "errno " << outcome.error;
    Model expected = model;
    expected.wrote(100, 2, 2, logged);
    EXPECT_EQ(reopenAndCompare(name, ISINOUT | ISMANULOCK, expected, dir.file("one.wox"), false), "");

    // Onto files changed since: record 3 deleted.
    copy.restore();
    IsFile *g = isOpen(name.c_str(), ISINOUT | ISMANULOCK | ISNOLOG);
    ASSERT_NE(g, nullptr);
    ASSERT_EQ(isDelRec(g, 3), 1);
    ASSERT_EQ(isClose(g), 1);
    Model changed = model;
    for (const auto &[id, row] : model.rows) {
        if (row.recnum == 3) changed.rows.erase(id);
    }
    outcome = recoverFrom(log);
    EXPECT_EQ(outcome.result, 0);
    EXPECT_EQ(outcome.error, EBADLOG);
    EXPECT_EQ(reopenAndCompare(name, ISINOUT | ISMANULOCK, changed, dir.file("one.wox"), false), "")
        << "the files as they were before recovery";
}

// BW IN IN RW, each record linked to the one before it, the undo deletes
// unlogged, BW and RW exactly 20 bytes with the length at both ends.
TEST_F(TxnOneFile, RollbackWalksTheChainAndLogsNoUndo) {
    IsFile *f = isOpen(name.c_str(), kTransMode);
    ASSERT_NE(f, nullptr);
    const size_t start = readFile(log).size();
    ASSERT_EQ(isBegin(), 1);
    ASSERT_EQ(isWrite(f, modelRecord(100, 1, 1).data()), 1);
    const int32_t first = isRecnum(f);
    ASSERT_EQ(isWrite(f, modelRecord(101, 2, 1).data()), 1);
    const int32_t second = isRecnum(f);
    ASSERT_EQ(isRollBack(), 1) << errno;
    EXPECT_EQ(compareWithModel(f, model), "");
    std::vector<uint8_t> bytes = readFile(log);
    LogScan scan = scanLog(std::vector<uint8_t>(bytes.begin() + static_cast<long>(start), bytes.end()));
    ASSERT_EQ(scan.fault, "");
    ASSERT_EQ(codesOf(scan), "BW IN IN RW");
    const auto &e = scan.entries;
    const uint32_t base = static_cast<uint32_t>(start);
    EXPECT_EQ(e[0].length, 20);
    EXPECT_EQ(e[3].length, 20);
    EXPECT_EQ(e[0].back, 0u);
    EXPECT_EQ(e[1].back, base + e[0].offset);
    EXPECT_EQ(e[1].backLength, e[0].length);
    EXPECT_EQ(e[2].back, base + e[1].offset);
    EXPECT_EQ(e[2].backLength, e[1].length);
    EXPECT_EQ(e[3].back, base + e[2].offset);
    EXPECT_EQ(e[3].backLength, e[2].length);
    EXPECT_EQ(e[1].recnum(), first);
    EXPECT_EQ(e[2].recnum(), second);
    EXPECT_EQ(e[1].image(), modelRecord(100, 1, 1));
    for (const LogEntry &entry : e) EXPECT_EQ(entry.pid, static_cast<uint16_t>(::getpid()));
    // The undo freed the two numbers: the next writes take them again, the
    // last freed first.
    ASSERT_EQ(isWrite(f, modelRecord(102, 3, 1).data()), 1);
    EXPECT_EQ(isRecnum(f), first);
    EXPECT_EQ(isClose(f), 1);
}

// Rolled back: a deleted record comes back under its number, findable
// through both indexes; a rewritten one gets its before image back.
TEST_F(TxnOneFile, RollbackOfDeleteAndRewriteRestoresRecordAndNumber) {
    IsFile *f = isOpen(name.c_str(), kTransMode);
    ASSERT_NE(f, nullptr);
    for (const int32_t victim : {0, 4, 9}) {
        SCOPED_TRACE("id " + std::to_string(victim));
        ASSERT_EQ(isBegin(), 1);
        ASSERT_EQ(isDelete(f, modelRecord(victim, 0, 0).data()), 1);
        ASSERT_EQ(isRewrite(f, modelRecord((victim + 1) % 10, 6, 7).data()), 1);
        ASSERT_EQ(isDelete(f, modelRecord((victim + 2) % 10, 0, 0).data()), 1);
        ASSERT_EQ(isWrite(f, modelRecord(50, 5, 5).data()), 1);  // takes the last freed number
        ASSERT_EQ(isRollBack(), 1) << errno;
        EXPECT_EQ(compareWithModel(f, model), "");
        std::vector<uint8_t> record = modelRecord(0, victim % kModelGroups, 0);
        ASSERT_EQ(isIndex(f, 2), 1);
        bool found = false;
        for (int mode = modeFirst; isRead(f, record.data(), mode) == 1; mode = modeNext) {
            if (record == modelRecord(victim, victim % kModelGroups, 1)) found = true;
        }
        EXPECT_TRUE(found) << "the record is not found through the group index";
        ASSERT_EQ(isIndex(f, 0), 1);
    }
    EXPECT_EQ(isClose(f), 1);
}

// A handle closed inside a transaction and opened again is the same handle
// and stays open after the commit; one closed and not opened again is closed
// when the transaction ends, after its changes were undone by a rollback.
TEST_F(TxnOneFile, HandlesClosedInsideTransactionsStayOpenUntilTheEnd) {
    for (const bool commit : {true, false}) {
        SCOPED_TRACE(commit ? "commit" : "rollback");
        IsFile *f = isOpen(name.c_str(), kTransMode);
        ASSERT_NE(f, nullptr);
        ASSERT_EQ(isBegin(), 1);
        ASSERT_EQ(isWrite(f, modelRecord(200, 1, 1).data()), 1);
        ASSERT_EQ(isClose(f), 1);
        ASSERT_GE(isAdmDtoI(f), 0) << "the closed handle must stay registered until the transaction ends";
        ASSERT_EQ(isOpen(name.c_str(), kTransMode), f);
        ASSERT_EQ(commit ? isCommit() : isRollBack(), 1);
        ASSERT_GE(isAdmDtoI(f), 0) << "the handle opened again inside the transaction was closed by its end";
        std::vector<uint8_t> record = modelRecord(200, 0, 0);
        ASSERT_EQ(isIndex(f, 1), 1);
        EXPECT_EQ(isRead(f, record.data(), modeEqual), commit ? 1 : 0);
        if (commit) {
            EXPECT_EQ(isDelete(f, modelRecord(200, 0, 0).data()), 1);
        } else {
            EXPECT_EQ(isErrno(f), ENOREC);
        }

        // Closed for good inside the transaction.
        ASSERT_EQ(isBegin(), 1);
        ASSERT_EQ(isWrite(f, modelRecord(201, 2, 1).data()), 1);
        const int slot = isAdmDtoI(f);
        ASSERT_EQ(isClose(f), 1);
        ASSERT_EQ(isAdmItoD(slot), f) << "closed inside the transaction: must stay open until its end";
        ASSERT_EQ(commit ? isCommit() : isRollBack(), 1) << errno;
        EXPECT_EQ(isAdmItoD(slot), nullptr) << "the end of the transaction must close the handle";
        Model want = model;
        if (commit) want.wrote(201, 2, 1, 0);
        EXPECT_EQ(reopenAndCompare(name, kTransMode, want, "", false), "");
        if (commit) {
            IsFile *g = isOpen(name.c_str(), kTransMode);
            ASSERT_NE(g, nullptr);
            EXPECT_EQ(isDelete(g, modelRecord(201, 0, 0).data()), 1);
            EXPECT_EQ(isClose(g), 1);
        }
    }
}

// Two transactions of one process, told apart by the id callback, interleave
// their records; rolling one back undoes only its own records and each
// record carries its transaction's id.
int32_t currentTxn = 1;
int32_t txnIdCallback() { return currentTxn; }

TEST_F(TxnOneFile, TransactionsOfTwoIdsInterleaveAndRollBackSeparately) {
    IsFile *f = isOpen(name.c_str(), kTransMode);
    ASSERT_NE(f, nullptr);
    ASSERT_EQ(isTxnInit(txnIdCallback), 1);
    const size_t start = readFile(log).size();
    for (int32_t i = 0; i < 6; ++i) {
        currentTxn = 1 + i % 2;
        if (i < 2) {
            ASSERT_EQ(isBegin(), 1);
        }
        ASSERT_EQ(isWrite(f, modelRecord(300 + i, i % kModelGroups, 1).data()), 1);
        if (currentTxn == 1) model.wrote(300 + i, i % kModelGroups, 1, isRecnum(f));
    }
    currentTxn = 2;
    EXPECT_EQ(isRollBack(), 1);
    currentTxn = 1;
    EXPECT_EQ(isCommit(), 1);
    EXPECT_EQ(isCommit(), 0) << "no transaction is left";
    ASSERT_EQ(isTxnInit(nullptr), 1);
    EXPECT_EQ(compareWithModel(f, model), "");
    std::vector<uint8_t> bytes = readFile(log);
    LogScan scan = scanLog(std::vector<uint8_t>(bytes.begin() + static_cast<long>(start), bytes.end()));
    ASSERT_EQ(scan.fault, "");
    EXPECT_EQ(codesOf(scan), "BW IN BW IN IN IN IN IN RW CW");
    for (const LogEntry &e : scan.entries) {
        if (e.code == "IN") {
            const std::vector<uint8_t> image = e.image();
            ASSERT_GE(image.size(), 8u);
            const int32_t id = std::stoi(std::string(image.begin(), image.begin() + 8));
            EXPECT_EQ(e.txnId, 1 + (id - 300) % 2) << "id " << id;
        }
    }
    EXPECT_EQ(isClose(f), 1);
}

}  // namespace
}  // namespace wisam
