// Recovery from damaged logs.  A small valid log (a build, an added index,
// committed, rolled-back and unfinished transactions, unique ids) is cut at
// every offset, has its header fields set to edge values record by record
// (lengths below 20, past the end, past the 35510-byte buffer, a trailing
// length that differs, back links forward, onto themselves, into the
// middle of a record), bytes flipped at random, and is replaced by random
// bytes and by random records with correct framing.  isRecover must come
// back every time, with 1 or with 0 and an error (118 or 119 for a damaged
// framing), never crash, loop or read outside its buffer (the suite runs
// under AddressSanitizer too; an alarm ends a recovery that does not
// return).  A log cut at a record boundary recovers exactly what its
// records prescribe, and so does a cut log that recovery accepts.
//
// The tests run inside their temporary directory with relative file names,
// so that whatever a damaged name makes recovery create or open stays there.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <map>
#include <string>
#include <vector>

#include "support/model.h"
#include "support/testing.h"
#include "support/txnlog.h"
#include "wisam.h"

namespace wisam {
namespace {

using namespace testing;
using Bytes = std::vector<uint8_t>;

constexpr int kMode = ISINOUT | ISTRANS | ISMANULOCK;
constexpr int kLength = 12;
constexpr unsigned kAlarmSeconds = 30;

Bytes smallRecord(int32_t id, int32_t version) {
    Bytes r(kLength);
    char text[32];
    std::snprintf(text, sizeof text, "%08d%04d", static_cast<int>(id), static_cast<int>(version % 7));
    std::memcpy(r.data(), text, kLength);
    return r;
}

// Changes the working directory for its life.
class InDirectory {
public:
    explicit InDirectory(const std::string &path) {
        if (::getcwd(saved_, sizeof saved_) == nullptr || ::chdir(path.c_str()) != 0) std::abort();
    }
    ~InDirectory() {
        if (::chdir(saved_) != 0) std::abort();
    }

private:
    char saved_[4096];
};

// The valid log, made by a child process that ends with a transaction
// open (its process dies without commit or rollback).
int makeLog() {
    if (isLogOpen(u"b.log") != 1) return 2;
    KeyDesc key = keyAt(0, 8, ISTYPE_CHAR);
    IsFile *f = isBuild(u"b", kLength, 0, &key, kMode);
    if (f == nullptr) return 3;
    KeyDesc group = keyAt(8, 4, ISTYPE_CHAR, ISKEY_DUPS);
    if (isAddIndex(f, &group) != 1) return 4;
    auto write = [&](int32_t id, int32_t version) { return isWrite(f, smallRecord(id, version).data()) == 1; };
    auto rewrite = [&](int32_t id, int32_t version) { return isRewrite(f, smallRecord(id, version).data()) == 1; };
    auto erase = [&](int32_t id) { return isDelete(f, smallRecord(id, 0).data()) == 1; };
    int32_t unique = 0;
    bool ok = isBegin() == 1 && write(1, 1) && write(2, 1) && write(3, 1) && isCommit() == 1;
    ok = ok && isUniqueId(f, &unique) == 1;
    ok = ok && isBegin() == 1 && rewrite(2, 2) && erase(3) && write(6, 1) && isRollBack() == 1;
    ok = ok && isBegin() == 1 && erase(1) && rewrite(2, 3) && isCommit() == 1;
    ok = ok && isSetUnique(f, 30) == 1;
    ok = ok && isBegin() == 1 && write(7, 1) && rewrite(3, 4) && erase(2);
    return ok ? 0 : 5;
}

// The records the log prescribes, by record number: everything redone,
// rolled-back transactions undone, and with `rollbackOpen` the transactions
// without an end undone too.  One process wrote the log.
std::map<int32_t, Bytes> prescribed(const LogScan &scan, bool rollbackOpen) {
    std::map<int32_t, Bytes> records;
    std::map<int64_t, const LogEntry *> at;
    auto undo = [&](uint32_t from) {
        for (int guard = 0; guard < 10000; ++guard) {
            auto it = at.find(from);
            if (it == at.end() || it->second->code == "BW") return;
            const LogEntry &e = *it->second;
            if (e.code == "IN") records.erase(e.recnum());
            if (e.code == "DE") records[e.recnum()] = e.image();
            if (e.code == "UP") records[e.recnum()] = e.before();
            from = e.back;
        }
    };
    int64_t open = -1;  // last chained record of the open transaction
    for (const LogEntry &e : scan.entries) {
        at[e.offset] = &e;
        if (e.code == "IN" || e.code == "UP") records[e.recnum()] = e.image();
        if (e.code == "DE") records.erase(e.recnum());
        if (e.code == "RW") undo(e.back);
        if (e.code == "BW" || e.back != 0) open = e.offset;
        if (e.code == "CW" || e.code == "RW") open = -1;
    }
    if (rollbackOpen && open >= 0) undo(static_cast<uint32_t>(open));
    return records;
}

// The records of "b", in record-number order, or why they cannot be read.
std::string fileRecords(std::vector<Bytes> &out) {
    IsFile *f = isOpen(u"b", ISINPUT | ISMANULOCK);
    if (f == nullptr) return "open failed with " + std::to_string(isErrno(nullptr));
    Bytes record(kLength);
    std::string why;
    if (isIndex(f, 0) != 1) why = "isIndex failed";
    for (int mode = modeFirst; why.empty() && isRead(f, record.data(), mode) == 1; mode = modeNext) out.push_back(record);
    if (why.empty() && isErrno(f) != EENDFILE) why = "the walk ended with " + std::to_string(isErrno(f));
    isClose(f);
    return why;
}

class BadLog : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(runInChild(makeLog), 0);
        isCleanUp();
        valid = readFile(dir.file("b.log"));
        scan = scanLog(valid);
        ASSERT_EQ(scan.fault, "");
        ASSERT_EQ(codesOf(scan), "BU FO CI BW IN IN IN CW UN BW UP DE IN RW BW DE UP CW SU BW IN UP DE");
    }

    // Recovers `log` into a directory without the ISAM file.
    RecoverOutcome attempt(const Bytes &log, int32_t mode = 0) {
        for (const char *name : {"b.wox", "b.wod", "b.lck"}) ::unlink(name);
        writeFile("m.log", log);
        ::alarm(kAlarmSeconds);  // a recovery that never returns ends the run
        const RecoverOutcome outcome = recoverFrom(dir.file("m.log"), mode);
        ::alarm(0);
        ++runs;
        return outcome;
    }

    // 0 with an error, or 1.
    static std::string clean(const RecoverOutcome &o, bool framing) {
        if (o.result == 1) return "";
        if (o.result != 0) return "isRecover returned " + std::to_string(o.result);
        if (o.error == 0) return "isRecover failed without an error";
        if (framing && o.error != ELOGREAD && o.error != EBADLOG) {
            return "a damaged framing reported error " + std::to_string(o.error) + ", not 118 or 119";
        }
        return "";
    }

    TempDir dir;
    InDirectory inside{dir.path()};
    Bytes valid;
    LogScan scan;
    int runs = 0;
};

// A cut at a record boundary must recover, in both modes, exactly what the
// whole records prescribe.  A cut inside a record may be reported (0 with
// 118 or 119) or taken as a record torn by a crash and left out; when it is
// taken, the records before it must be recovered exactly.
TEST_F(BadLog, CutAtEveryOffset) {
    size_t boundary = 0;
    int failed = 0;
    auto expectPrescribed = [&](const LogScan &prefix, int32_t mode) {
        bool built = false;
        for (const LogEntry &e : prefix.entries) built = built || e.code == "BU";
        if (!built) {
            EXPECT_FALSE(fileExists("b.wox")) << "nothing built the file";
            return;
        }
        std::vector<Bytes> records;
        ASSERT_EQ(fileRecords(records), "");
        std::vector<Bytes> want;
        for (const auto &[recnum, image] : prescribed(prefix, mode == 1)) want.push_back(image);
        std::sort(records.begin(), records.end());
        std::sort(want.begin(), want.end());
        EXPECT_EQ(records.size(), want.size());
        EXPECT_TRUE(records == want) << "the records differ from what the " << prefix.entries.size()
                                     << " whole records prescribe";
    };
    for (size_t cut = 0; cut <= valid.size(); ++cut) {
        SCOPED_TRACE("log cut at " + std::to_string(cut) + " of " + std::to_string(valid.size()));
        const Bytes log(valid.begin(), valid.begin() + static_cast<long>(cut));
        const bool atBoundary = boundary < scan.entries.size() + 1 &&
                                cut == (boundary < scan.entries.size() ? static_cast<size_t>(scan.entries[boundary].offset)
                                                                       : valid.size());
        const LogScan prefix = scanLog(log);
        const RecoverOutcome outcome = attempt(log);
        ASSERT_EQ(clean(outcome, true), "");
        failed += outcome.result == 0;
        if (atBoundary) {
            ++boundary;
            EXPECT_EQ(outcome.result, 1) << "errno " << outcome.error;
        }
        if (outcome.result == 1) expectPrescribed(prefix, 0);
        if (atBoundary) {
            SCOPED_TRACE("isRecoverRollback 1");
            const RecoverOutcome again = attempt(log, 1);
            EXPECT_EQ(again.result, 1) << "errno " << again.error;
            expectPrescribed(prefix, 1);
        }
    }
    EXPECT_EQ(boundary, scan.entries.size() + 1);
    std::cout << "[   runs   ] " << runs << " recoveries, " << failed << " reported a damaged log\n";
}

TEST_F(BadLog, HeaderFieldsAtEdgeValues) {
    int failed = 0;
    for (const LogEntry &e : scan.entries) {
        const size_t at = static_cast<size_t>(e.offset);
        const uint32_t L = e.length;
        struct Change {
            size_t offset;  // from the record's start; 0xFFFF: the trailer
            int width;
            uint32_t value;
        };
        std::vector<Change> changes;
        for (uint32_t length : {0u, 17u, 19u, 20u, L - 1, L + 1, 35510u, 35511u, 65535u,
                                static_cast<uint32_t>(valid.size() - at), static_cast<uint32_t>(valid.size() - at + 1)}) {
            changes.push_back({0, 2, length});
        }
        for (uint32_t length : {0u, 20u, L - 1, L + 1, 65535u}) changes.push_back({0xFFFF, 2, length});
        for (uint32_t back : {static_cast<uint32_t>(at), static_cast<uint32_t>(at + L), 0xFFFFFFFFu, 1u,
                              static_cast<uint32_t>(at > 3 ? at - 3 : 0)}) {
            changes.push_back({12, 4, back});
        }
        for (uint32_t backLength : {0u, 19u, 65535u}) changes.push_back({16, 2, backLength});
        for (uint32_t code : {0x4257u /*BW*/, 0x5257u /*RW*/, 0x494Eu /*IN*/, 0x4445u /*DE*/, 0x5550u /*UP*/,
                              0x464Fu /*FO*/, 0x5A5Au}) {
            changes.push_back({2, 2, code});
        }
        for (const Change &c : changes) {
            Bytes log = valid;
            const size_t where = c.offset == 0xFFFF ? at + L - 2 : at + c.offset;
            for (int k = 0; k < c.width; ++k) {
                log[where + static_cast<size_t>(k)] = static_cast<uint8_t>(c.value >> (8 * (c.width - 1 - k)));
            }
            const bool framing = c.offset == 0 || c.offset == 0xFFFF;
            const int32_t mode = static_cast<int32_t>(&c - changes.data()) % 2;
            {
                SCOPED_TRACE(e.code + " at " + std::to_string(at) + ": field " +
                             (c.offset == 0xFFFF ? std::string("trailer") : std::to_string(c.offset)) + " set to " +
                             std::to_string(c.value) + ", isRecoverRollback " + std::to_string(mode));
                const RecoverOutcome outcome = attempt(log, mode);
                EXPECT_EQ(clean(outcome, framing && c.value != L), "");
                // A length no record can have, or a trailer that differs,
                // is damage, never an end.
                const bool damaged = (c.offset == 0 && (c.value < 20 || c.value > 35510)) ||
                                     (c.offset == 0xFFFF && c.value != L);
                if (damaged) {
                    EXPECT_EQ(outcome.result, 0) << "a damaged record was accepted";
                }
                failed += outcome.result == 0;
            }
        }
    }
    std::cout << "[   runs   ] " << runs << " recoveries, " << failed << " reported a damaged log\n";
}

// A rollback record whose back link does not point strictly backwards:
// onto itself, forward, past the end.  The walk refuses it with 119.
TEST_F(BadLog, RollbackLinksThatDoNotPointBackwards) {
    const uint16_t pid = scan.entries.front().pid;
    for (const int where : {0, 1, 2}) {
        Bytes log = valid;
        const uint32_t self = static_cast<uint32_t>(log.size());
        const uint32_t back = where == 0 ? self : where == 1 ? self + 20 : 0x7FFFFFF0u;
        appendBytes(log, logRecord("RW", pid, back, 20, {}));
        if (where == 1) appendBytes(log, logRecord("BW", pid, 0, 0, {}));
        SCOPED_TRACE("back link " + std::to_string(back) + " from " + std::to_string(self));
        const RecoverOutcome outcome = attempt(log);
        EXPECT_EQ(outcome.result, 0);
        EXPECT_TRUE(outcome.error == EBADLOG || (where == 2 && outcome.error == ELOGREAD)) << outcome.error;
    }
    // Into the middle of an earlier record: the walk reads whatever is
    // there, but always moves backwards and ends.
    for (size_t into = 1; into + 20 < valid.size(); into += 11) {
        Bytes log = valid;
        appendBytes(log, logRecord("RW", pid, static_cast<uint32_t>(into), 20, {}));
        SCOPED_TRACE("back link into " + std::to_string(into));
        EXPECT_EQ(clean(attempt(log), false), "");
    }
}

TEST_F(BadLog, RandomBytesFlippedAndRandomLogs) {
    Dice dice(4242);
    int failed = 0;
    for (int round = 0; round < 160; ++round) {
        Bytes log = valid;
        const int flips = 1 + dice.below(4);
        for (int k = 0; k < flips; ++k) log[static_cast<size_t>(dice.below(static_cast<int>(log.size())))] ^= static_cast<uint8_t>(1 + dice.below(255));
        SCOPED_TRACE("flip round " + std::to_string(round));
        const RecoverOutcome outcome = attempt(log, round % 2);
        EXPECT_EQ(clean(outcome, false), "");
        failed += outcome.result == 0;
    }
    for (int round = 0; round < 80; ++round) {
        Bytes log(static_cast<size_t>(dice.below(3000)));
        for (uint8_t &b : log) b = static_cast<uint8_t>(dice.below(256));
        SCOPED_TRACE("random bytes, round " + std::to_string(round));
        const RecoverOutcome outcome = attempt(log);
        EXPECT_EQ(clean(outcome, true), "");
        failed += outcome.result == 0;
    }
    // Records with correct framing and random bodies, under the codes of
    // the log (not the erase and rename, whose names could be anywhere).
    const char *codes[] = {"FO", "FC", "BU", "CI", "DI", "SU", "UN", "DE", "IN", "UP", "BW", "CW", "RW", "ZZ"};
    const uint16_t pid = scan.entries.front().pid;
    for (int round = 0; round < 120; ++round) {
        Bytes log = round % 2 == 0 ? Bytes(valid.begin(), valid.begin() + scan.entries[3].offset) : Bytes{};
        for (int n = 1 + dice.below(8); n > 0; --n) {
            Bytes body(static_cast<size_t>(dice.below(60)));
            for (uint8_t &b : body) b = static_cast<uint8_t>(dice.below(256));
            if (body.size() >= 2 && dice.below(2) == 0) body[0] = 0, body[1] = static_cast<uint8_t>(dice.below(3));
            const uint32_t back = log.empty() ? 0 : static_cast<uint32_t>(dice.below(static_cast<int>(log.size())));
            appendBytes(log, logRecord(codes[dice.below(14)], dice.below(2) == 0 ? pid : static_cast<uint16_t>(dice.below(65536)),
                                       back, static_cast<uint16_t>(dice.below(200)), body));
        }
        SCOPED_TRACE("random records, round " + std::to_string(round));
        const RecoverOutcome outcome = attempt(log, round % 2);
        EXPECT_EQ(clean(outcome, false), "");
        failed += outcome.result == 0;
    }
    std::cout << "[   runs   ] " << runs << " recoveries, " << failed << " reported a damaged log\n";
}

}  // namespace
}  // namespace wisam
