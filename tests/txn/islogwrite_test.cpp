// Appending to the log: an operation whose log record cannot be written
// fails with 121 and changes nothing (no record, no key, no lock, no log
// bytes), in and out of transactions, on transactional and plain logged
// files, and the copy recovered from the log then equals the acknowledged
// state; a record too long for the 35510-byte log buffer is refused the same
// way, one that just fits is logged and recovered; the calls without a log;
// the files and opens that write nothing.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "support/faults.h"
#include "support/lockprobe.h"
#include "support/model.h"
#include "support/testing.h"
#include "support/txnlog.h"
#include "wisam.h"

namespace wisam {
namespace {

using namespace testing;

class FailedAppend : public ::testing::TestWithParam<int> {
protected:
    void TearDown() override {
        isLogClose();
        isCleanUp();
    }
    TempDir dir;
    const std::u16string name = dir.name("a");
    const std::string log = dir.file("a.log");
};

enum class Op { write, rewrite, erase, rewRec, delRec, delCurr };
const char *opName(Op op) {
    switch (op) {
    case Op::write: return "isWrite";
    case Op::rewrite: return "isRewrite";
    case Op::erase: return "isDelete";
    case Op::rewRec: return "isRewRec";
    case Op::delRec: return "isDelRec";
    case Op::delCurr: return "isDelCurr";
    }
    return "?";
}

TEST_P(FailedAppend, OperationFailsWith121AndChangesNothing) {
    const int mode = GetParam();
    Model model;
    {
        KeyDesc id = modelIdKey();
        IsFile *f = isBuild(name.c_str(), kModelLength, 0, &id, mode);
        ASSERT_NE(f, nullptr);
        KeyDesc group = modelGroupKey();
        ASSERT_EQ(isAddIndex(f, &group), 1);
        for (int32_t i = 0; i < 40; ++i) {
            ASSERT_EQ(isWrite(f, modelRecord(i, i % kModelGroups, 1).data()), 1);
            model.wrote(i, i % kModelGroups, 1, isRecnum(f));
        }
        for (int32_t i = 0; i < 40; i += 7) {  // a data free list
            ASSERT_EQ(isDelete(f, modelRecord(i, 0, 0).data()), 1);
            model.rows.erase(i);
        }
        ASSERT_EQ(isClose(f), 1);
    }
    FileSetCopy copy;
    copy.save(dir.file("a"));
    // Appends to the log (every write to it while enabled) fail with EIO.
    FaultPlan faults;
    FaultRule &logAppends = faults.failFrom({Sys::pwrite, Sys::write}, 1, EIO).onFiles({".log"}).enable(false);
    ASSERT_EQ(isLogOpen(toUtf16(log).c_str()), 1);
    IsFile *f = isOpen(name.c_str(), mode);
    ASSERT_NE(f, nullptr);
    IsFile *probe = isOpen(spelling(dir, "a", 1).c_str(), ISINPUT | ISMANULOCK);
    ASSERT_NE(probe, nullptr);
    ASSERT_EQ(isIndex(probe, 1), 1);
    ASSERT_EQ(isIndex(f, 1), 1);
    int32_t nextId = 100, version = 2;
    int failures = 0;
    for (const int txn : {0, 1, 2}) {  // none, committed, rolled back
        SCOPED_TRACE(txn == 0 ? "outside a transaction" : txn == 1 ? "committed transaction" : "rolled-back transaction");
        const Model atBegin = model;
        if (txn != 0) {
            ASSERT_EQ(isBegin(), 1);
        }
        std::vector<int32_t> used;  // records changed in this phase keep their transaction locks
        for (const Op op : {Op::write, Op::rewrite, Op::erase, Op::rewRec, Op::delRec, Op::delCurr, Op::write}) {
            SCOPED_TRACE(opName(op));
            int32_t target = -1;  // the highest live preloaded id not changed yet in this phase
            for (auto it = model.rows.rbegin(); it != model.rows.rend(); ++it) {
                if (it->first < 100 && std::find(used.begin(), used.end(), it->first) == used.end()) {
                    target = it->first;
                    break;
                }
            }
            ASSERT_GE(target, 0);
            used.push_back(target);
            if (txn == 0) isRelease(f);  // outside a transaction the writers' locks stay with the handle
            const ModelRow row = model.rows.at(target);
            const std::vector<uint8_t> fresh = modelRecord(nextId, nextId % kModelGroups, version);
            const std::vector<uint8_t> changed = modelRecord(target, (row.group + 1) % kModelGroups, version);
            auto call = [&]() {
                switch (op) {
                case Op::write: return isWrite(f, fresh.data());
                case Op::rewrite: return isRewrite(f, changed.data());
                case Op::erase: return isDelete(f, modelRecord(target, 0, 0).data());
                case Op::rewRec: return isRewRec(f, row.recnum, changed.data());
                case Op::delRec: return isDelRec(f, row.recnum);
                case Op::delCurr: {
                    std::vector<uint8_t> record = modelRecord(target, 0, 0);
                    if (isRead(f, record.data(), modeEqual) != 1) return -1;
                    return isDelCurr(f);
                }
                }
                return -1;
            };
            const size_t logSize = readFile(log).size();
            const int refusedBefore = logAppends.hits();
            logAppends.enable(true);
            const int ok = call();
            logAppends.enable(false);
            ASSERT_GT(logAppends.hits(), refusedBefore) << "the call wrote nothing to the log";
            ++failures;
            EXPECT_EQ(ok, 0) << "the call succeeded although its log record could not be written";
            EXPECT_EQ(isErrno(f), ELOGWRIT) << errorText(f);
            EXPECT_EQ(readFile(log).size(), logSize) << "a failed append left bytes in the log";
            ASSERT_EQ(compareWithModel(f, model), "") << "the failed call changed the file";
            if (op != Op::write) {
                EXPECT_EQ(probeLock(probe, target), 1) << "the failed call left the record locked";
            }
            ASSERT_EQ(isIndex(f, 1), 1);
            ASSERT_EQ(call(), 1) << "the same call once the log takes records again: " << errorText(f);
            const LogScan scan = scanLog(readFile(log));
            ASSERT_EQ(scan.fault, "");
            ASSERT_FALSE(scan.entries.empty());
            const std::string code = scan.entries.back().code;
            switch (op) {
            case Op::write:
                EXPECT_EQ(code, "IN");
                model.wrote(nextId, nextId % kModelGroups, version, isRecnum(f));
                ++nextId;
                break;
            case Op::rewrite:
            case Op::rewRec:
                EXPECT_EQ(code, "UP");
                model.rows[target] = ModelRow{(row.group + 1) % kModelGroups, version, row.recnum};
                break;
            default:
                EXPECT_EQ(code, "DE");
                model.rows.erase(target);
                break;
            }
            ++version;
            ASSERT_EQ(compareWithModel(f, model), "");
            ASSERT_EQ(isIndex(f, 1), 1);
        }
        if (txn == 1) {
            EXPECT_EQ(isCommit(), 1);
        }
        if (txn == 2) {
            EXPECT_EQ(isRollBack(), 1) << errno;
        }
        if (txn == 2 && (mode & ISTRANS) != 0) {  // records of other files are not chained: never undone
            const int32_t keep = model.nextVersion;
            model = atBegin;
            model.nextVersion = keep;
        }
        EXPECT_EQ(compareWithModel(f, model), "");
        ASSERT_EQ(isIndex(f, 1), 1);
    }
    EXPECT_EQ(failures, 21);
    EXPECT_EQ(isClose(probe), 1);
    EXPECT_EQ(isClose(f), 1);
    ASSERT_EQ(isLogClose(), 1);
    EXPECT_EQ(reopenAndCompare(name, mode, model, dir.file("a.wox")), "");
    copy.restore();
    const RecoverOutcome outcome = recoverFrom(log);
    EXPECT_EQ(outcome.result, 1) << "errno " << outcome.error;
    EXPECT_EQ(reopenAndCompare(name, mode, model, dir.file("a.wox")), "") << "the copy recovered from the log";
}

INSTANTIATE_TEST_SUITE_P(LogWrite, FailedAppend, ::testing::Values(ISINOUT | ISTRANS | ISMANULOCK, ISINOUT | ISMANULOCK),
                         [](const ::testing::TestParamInfo<int> &info) {
                             return std::string((info.param & ISTRANS) != 0 ? "Transactional" : "Plain");
                         });

std::vector<uint8_t> longRecord(int length, int32_t id, int32_t version) {
    std::vector<uint8_t> r(static_cast<size_t>(length));
    char head[16];
    std::snprintf(head, sizeof head, "%08d", static_cast<int>(id));
    std::memcpy(r.data(), head, 8);
    for (size_t j = 8; j < r.size(); ++j) r[j] = static_cast<uint8_t>('a' + (j * 7 + static_cast<size_t>(version)) % 26);
    return r;
}

// An "UP" record holds both images: 30 + 2 x length bytes.  17740 bytes
// make exactly 35510 and are logged; one more is refused before anything
// changes.  "IN" and "DE" hold one image and fit up to the longest record.
TEST(LogWrite, RecordsBeyondTheLogBufferAreRefusedBeforeAnyChange) {
    for (const int length : {17740, 17741, 32767}) {
        SCOPED_TRACE("record length " + std::to_string(length));
        TempDir dir;
        const std::u16string name = dir.name("big");
        const std::string log = dir.file("big.log");
        const int mode = ISINOUT | ISTRANS | ISMANULOCK;
        KeyDesc key = keyAt(0, 8, ISTYPE_CHAR);
        IsFile *f = isBuild(name.c_str(), length, 0, &key, mode);
        ASSERT_NE(f, nullptr) << isErrno(nullptr);
        ASSERT_EQ(isClose(f), 1);
        FileSetCopy copy;
        copy.save(dir.file("big"));
        ASSERT_EQ(isLogOpen(toUtf16(log).c_str()), 1);
        f = isOpen(name.c_str(), mode);
        ASSERT_NE(f, nullptr);
        ASSERT_EQ(isIndex(f, 1), 1);
        const bool fits = 30 + 2 * length <= 35510;
        ASSERT_EQ(isBegin(), 1);
        ASSERT_EQ(isWrite(f, longRecord(length, 1, 0).data()), 1) << errorText(f);
        ASSERT_EQ(isWrite(f, longRecord(length, 2, 0).data()), 1) << errorText(f);
        const size_t logSize = readFile(log).size();
        const int ok = isRewrite(f, longRecord(length, 1, 1).data());
        const int error = isErrno(f);
        std::vector<uint8_t> back = longRecord(length, 1, 9);
        ASSERT_EQ(isRead(f, back.data(), modeEqual), 1);
        if (fits) {
            EXPECT_EQ(ok, 1) << error;
            EXPECT_EQ(back, longRecord(length, 1, 1));
            const LogScan scan = scanLog(readFile(log));
            EXPECT_EQ(scan.fault, "");
            ASSERT_FALSE(scan.entries.empty());
            EXPECT_EQ(scan.entries.back().code, "UP");
            EXPECT_EQ(scan.entries.back().length, 35510);
            EXPECT_EQ(scan.entries.back().before(), longRecord(length, 1, 0));
            EXPECT_EQ(scan.entries.back().image(), longRecord(length, 1, 1));
        } else {
            EXPECT_EQ(ok, 0);
            EXPECT_EQ(error, ELOGWRIT);
            EXPECT_EQ(back, longRecord(length, 1, 0)) << "the refused rewrite changed the record";
            EXPECT_EQ(readFile(log).size(), logSize);
        }
        ASSERT_EQ(isDelete(f, longRecord(length, 2, 0).data()), 1) << errorText(f);
        ASSERT_EQ(isCommit(), 1);
        // A rolled-back transaction with the long records.
        ASSERT_EQ(isBegin(), 1);
        ASSERT_EQ(isWrite(f, longRecord(length, 3, 0).data()), 1);
        ASSERT_EQ(isDelete(f, longRecord(length, 1, 0).data()), 1);
        ASSERT_EQ(isRollBack(), 1) << errno;
        EXPECT_EQ(isClose(f), 1);
        ASSERT_EQ(isLogClose(), 1);

        auto expectOnlyRecordOne = [&](const char *when) {
            IsFile *g = isOpen(name.c_str(), ISINOUT | ISMANULOCK);
            ASSERT_NE(g, nullptr);
            std::vector<uint8_t> record(static_cast<size_t>(length));
            ASSERT_EQ(isRead(g, record.data(), modeFirst), 1) << when;
            EXPECT_EQ(record, longRecord(length, 1, fits ? 1 : 0)) << when;
            EXPECT_EQ(isRead(g, record.data(), modeNext), 0) << when;
            EXPECT_EQ(isErrno(g), EENDFILE) << when;
            EXPECT_EQ(isClose(g), 1);
        };
        expectOnlyRecordOne("live");
        copy.restore();
        const RecoverOutcome outcome = recoverFrom(log);
        EXPECT_EQ(outcome.result, 1) << "errno " << outcome.error;
        expectOnlyRecordOne("recovered from the copy and the log");
        isCleanUp();
    }
}

TEST(LogWrite, CallsWithoutALogAndFilesThatLogNothing) {
    TempDir dir;
    errno = 0;
    EXPECT_EQ(isBegin(), 0);
    EXPECT_EQ(errno, ENOLOG);
    errno = 0;
    EXPECT_EQ(isRecover(), 0);
    EXPECT_EQ(errno, ENOLOG);
    EXPECT_EQ(isCommit(), 0);
    EXPECT_EQ(isRollBack(), 0);
    EXPECT_EQ(isLogClose(), 1);
    errno = 0;
    EXPECT_EQ(isLogOpen(toUtf16(dir.file("no/such/dir/x.log")).c_str()), 0);
    EXPECT_EQ(errno, ELOGOPEN);

    const std::string log = dir.file("l.log");
    ASSERT_EQ(isLogOpen(toUtf16(log).c_str()), 1);
    EXPECT_EQ(isLogOpen(toUtf16(dir.file("other.log")).c_str()), 1);
    EXPECT_FALSE(fileExists(dir.file("other.log"))) << "a second isLogOpen must keep the first log";
    EXPECT_EQ(isCommit(), 0) << "no transaction";
    errno = 0;
    EXPECT_EQ(isRecover(), 1) << "an empty log";

    KeyDesc id = modelIdKey();
    const std::u16string plain = dir.name("p"), nolog = dir.name("n");
    IsFile *f = isBuild(nolog.c_str(), kModelLength, 0, &id, ISINOUT | ISNOLOG | ISTRANS);
    ASSERT_NE(f, nullptr);
    ASSERT_EQ(isBegin(), 1);
    ASSERT_EQ(isWrite(f, modelRecord(1, 1, 1).data()), 1);
    EXPECT_EQ(isClose(f), 1);
    ASSERT_EQ(isCommit(), 1);
    EXPECT_EQ(codesOf(scanLog(readFile(log))), "BW CW") << "a file opened with ISNOLOG is never logged";

    f = isBuild(plain.c_str(), kModelLength, 0, &id, ISINOUT | ISMANULOCK);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(isClose(f), 1);
    const size_t size = readFile(log).size();
    f = isOpen(plain.c_str(), ISINPUT | ISMANULOCK);
    ASSERT_NE(f, nullptr);
    std::vector<uint8_t> record(kModelLength);
    EXPECT_EQ(isRead(f, record.data(), modeFirst), 0);
    EXPECT_EQ(isClose(f), 1);
    EXPECT_EQ(readFile(log).size(), size) << "a file opened for input only is never logged";

    const LogScan scan = scanLog(readFile(log));
    EXPECT_EQ(scan.fault, "");
    EXPECT_EQ(codesOf(scan), "BW CW BU FO FC");
    for (const LogEntry &e : scan.entries) {
        EXPECT_EQ(e.bytes[0], e.bytes[e.length - 2]);
        EXPECT_EQ(e.bytes[1], e.bytes[e.length - 1]);
    }
    isLogClose();
    isCleanUp();
}

}  // namespace
}  // namespace wisam
