// islogbytes_test.cpp - the log as bytes: every record kind laid down to the
// byte with its back links; appends that fail or would not fit; the
// deferred closes of a transaction; damaged chains and torn tails.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "support/faults.h"
#include "support/testing.h"
#include "wisam.h"

namespace wisam {
namespace {

using testing::Fault;
using testing::FaultRule;
using testing::FaultPlan;
using testing::Sys;
using testing::TempDir;
using Bytes = std::vector<uint8_t>;

constexpr int kPid = 0x1234;
constexpr int64_t kTime = 0x15A5A5A5AL;  // only the low 32 bits are stored

int32_t txnSeven() { return 0x10007; }  // low 16 bits: 7

void be16(Bytes &b, uint32_t v) {
    b.push_back(static_cast<uint8_t>(v >> 8));
    b.push_back(static_cast<uint8_t>(v));
}
void be32(Bytes &b, uint32_t v) {
    be16(b, v >> 16);
    be16(b, v & 0xFFFF);
}
void name16(Bytes &b, const std::u16string &n) {
    for (char16_t u : n) b.push_back(static_cast<uint8_t>(u)), b.push_back(static_cast<uint8_t>(u >> 8));
    b.push_back(0);
    b.push_back(0);
}
void keyDesc(Bytes &b, uint16_t flags, const std::vector<KeyPart> &parts) {
    be16(b, flags);
    be16(b, static_cast<uint32_t>(parts.size()));
    uint32_t total = 0;
    for (const KeyPart &p : parts) total += static_cast<uint32_t>(p.length);
    be16(b, total);
    for (const KeyPart &p : parts) be16(b, static_cast<uint32_t>(p.start)), be16(b, static_cast<uint32_t>(p.length)), be16(b, p.type);
}

// Appends one record as it must lie in the log and returns its offset.
struct LogModel {
    Bytes bytes;
    uint32_t add(const char *code, uint32_t txn, uint32_t prevOffset, uint32_t prevLength, const Bytes &body) {
        const auto offset = static_cast<uint32_t>(bytes.size());
        const auto length = static_cast<uint32_t>(20 + body.size());
        be16(bytes, length);
        bytes.push_back(static_cast<uint8_t>(code[0]));
        bytes.push_back(static_cast<uint8_t>(code[1]));
        be16(bytes, kPid);
        be16(bytes, txn);
        be32(bytes, static_cast<uint32_t>(kTime));
        be32(bytes, prevOffset);
        be16(bytes, prevLength);
        bytes.insert(bytes.end(), body.begin(), body.end());
        be16(bytes, length);
        return offset;
    }
    uint32_t lengthAt(uint32_t offset) const { return (bytes[offset] << 8) | bytes[offset + 1]; }
};

Bytes record20(uint8_t fill, int32_t id) {
    Bytes r(20, fill);
    stLong(id, r.data());
    return r;
}

class LogBytes : public ::testing::Test {
protected:
    void SetUp() override {
        faults.answer(Sys::getpid, kPid);
        faults.answer(Sys::now, kTime);
        logName = dir.name("txn.log");
        base = dir.name("t");
    }
    void TearDown() override {
        isLogClose();
        isTxnInit(nullptr);
        isCleanUp();
    }
    IsFile *build(int32_t recordLength, int mode) {
        KeyDesc key = testing::keyAt(0, 4, ISTYPE_LONG);
        return isBuild(base.c_str(), recordLength, 0, &key, mode);
    }
    Bytes logBytes() const { return testing::readFile(dir.file("txn.log")); }

    FaultPlan faults;  // a fixed process id and time for every record
    TempDir dir;
    std::u16string logName;
    std::u16string base;
};

TEST_F(LogBytes, EveryRecordKindIsLaidDownToTheByteWithItsBackLinks) {
    isTxnInit(txnSeven);
    ASSERT_EQ(isLogOpen(logName.c_str()), 1);
    ASSERT_EQ(isLogOpen(dir.name("other.log").c_str()), 1);  // the first log stays
    const int mode = ISINOUT | ISTRANS | ISMANULOCK;
    IsFile *f = build(20, mode);
    ASSERT_NE(f, nullptr);
    const uint32_t fileNumber = static_cast<uint32_t>(isAdmDtoI(f));
    ASSERT_EQ(isAdmItoD(static_cast<int>(fileNumber)), f);
    KeyDesc second = testing::keyAt(4, 6, ISTYPE_CHAR, ISKEY_DUPS);
    const Bytes a = record20('a', 1), b = record20('b', 1);

    ASSERT_EQ(isBegin(), 1);
    ASSERT_EQ(isBegin(), 1);  // the same id again: nothing written
    ASSERT_EQ(isWrite(f, a.data()), 1);
    const int32_t recnum = isRecnum(f);
    ASSERT_EQ(isRewrite(f, b.data()), 1);
    ASSERT_EQ(isDelete(f, b.data()), 1);
    ASSERT_EQ(isAddIndex(f, &second), 1);
    ASSERT_EQ(isDelIndex(f, &second), 1);
    ASSERT_EQ(isSetUniqueIfBigger(f, -5), 1);
    int32_t id = 0;
    ASSERT_EQ(isUniqueIds(f, &id, 3), 1);
    ASSERT_EQ(id, 1);
    ASSERT_EQ(isCommit(), 1);
    ASSERT_EQ(isCommit(), 0);  // no transaction any more
    ASSERT_EQ(isClose(f), 1);
    const std::u16string renamed = dir.name("u");
    ASSERT_EQ(isRename(base.c_str(), renamed.c_str()), 1);
    ASSERT_EQ(isErase(renamed.c_str()), 1);

    LogModel m;
    Bytes body;
    be16(body, static_cast<uint32_t>(mode));
    be16(body, 20);
    be16(body, 20);
    keyDesc(body, 0, {{0, 4, ISTYPE_LONG}});
    name16(body, base);
    m.add("BU", 0, 0, 0, body);
    Bytes opened;
    be16(opened, fileNumber);
    be16(opened, 0);
    name16(opened, base);
    m.add("FO", 0, 0, 0, opened);  // chained by its mode, but no transaction yet
    const uint32_t bw = m.add("BW", 7, 0, 0, {});
    body.clear();
    be16(body, fileNumber);
    be32(body, static_cast<uint32_t>(recnum));
    be16(body, 20);
    body.insert(body.end(), a.begin(), a.end());
    const uint32_t in = m.add("IN", 7, bw, 20, body);
    body.clear();
    be16(body, fileNumber);
    be32(body, static_cast<uint32_t>(recnum));
    be16(body, 20);
    be16(body, 20);
    body.insert(body.end(), a.begin(), a.end());
    body.insert(body.end(), b.begin(), b.end());
    const uint32_t up = m.add("UP", 7, in, m.lengthAt(in), body);
    body.clear();
    be16(body, fileNumber);
    be32(body, static_cast<uint32_t>(recnum));
    be16(body, 20);
    body.insert(body.end(), b.begin(), b.end());
    const uint32_t de = m.add("DE", 7, up, m.lengthAt(up), body);
    for (const char *code : {"CI", "DI"}) {
        body.clear();
        be16(body, fileNumber);
        keyDesc(body, ISKEY_DUPS, {{4, 6, ISTYPE_CHAR}});
        m.add(code, 7, 0, 0, body);  // never chained, but carries the id
    }
    body.clear();
    be16(body, fileNumber);
    be32(body, static_cast<uint32_t>(-5));
    m.add("SU", 7, 0, 0, body);
    // The counter stayed 1, not the -5 a replay of "SU" would give: the
    // counter itself follows.  The same after a block of three ids.
    for (uint32_t counter : {1u, 0u, 4u}) {
        body.clear();
        be16(body, fileNumber);
        be32(body, counter == 0 ? 1u : counter);
        m.add(counter == 0 ? "UN" : "SU", 7, 0, 0, body);
    }
    m.add("CW", 7, de, m.lengthAt(de), {});
    m.add("FC", 0, 0, 0, opened);
    body.clear();
    be16(body, static_cast<uint32_t>(base.size() + 1));
    be16(body, static_cast<uint32_t>(renamed.size() + 1));
    name16(body, base);
    name16(body, renamed);
    m.add("RE", 0, 0, 0, body);
    body.clear();
    name16(body, renamed);
    m.add("ER", 0, 0, 0, body);
    const Bytes log = logBytes();
    const auto differ = std::mismatch(log.begin(), log.end(), m.bytes.begin(), m.bytes.end());
    EXPECT_EQ(log, m.bytes) << "first difference at byte " << (differ.first - log.begin());
    EXPECT_FALSE(testing::fileExists(dir.file("other.log")));
}

// A read-only handle, a never-logged one and a closed log write nothing;
// ISTRANS logs even an input handle.
TEST_F(LogBytes, OnlyLoggedHandlesWriteRecords) {
    IsFile *f = build(20, ISINOUT | ISMANULOCK);
    ASSERT_NE(f, nullptr);
    ASSERT_EQ(isLogOpen(logName.c_str()), 1);
    const Bytes r = record20('x', 9);
    IsFile *input = isOpen(base.c_str(), ISINPUT | ISMANULOCK);
    IsFile *never = isOpen(base.c_str(), ISINOUT | ISNOLOG | ISMANULOCK);
    ASSERT_NE(input, nullptr);
    ASSERT_NE(never, nullptr);
    ASSERT_EQ(isWrite(never, r.data()), 1);
    ASSERT_EQ(isClose(input), 1);
    ASSERT_EQ(isClose(never), 1);
    EXPECT_TRUE(logBytes().empty());
    IsFile *trans = isOpen(base.c_str(), ISINPUT | ISTRANS | ISMANULOCK);
    ASSERT_NE(trans, nullptr);
    const Bytes log = logBytes();
    ASSERT_EQ(log.size(), 24u + 2 * (base.size() + 1));
    EXPECT_EQ(std::string(log.begin() + 2, log.begin() + 4), "FO");
    ASSERT_EQ(isClose(trans), 1);
    ASSERT_EQ(isLogClose(), 1);
    ASSERT_EQ(isWrite(f, record20('y', 10).data()), 1);
    EXPECT_EQ(logBytes().size(), 2 * log.size());  // FO and FC, nothing after the close
    EXPECT_EQ(isBegin(), 0);
    EXPECT_EQ(errno, 128);
    EXPECT_EQ(isRecover(), 0);
    EXPECT_EQ(errno, 128);
    EXPECT_EQ(isCommit(), 0);
    EXPECT_EQ(isRollBack(), 0);
}

// Every logged change whose record cannot be appended fails with 121 and
// leaves the files, the log and the handle's view as they were; the same
// calls succeed once the log can be written again.
TEST_F(LogBytes, AChangeThatCannotBeLoggedFailsAndChangesNothing) {
    for (int cache : {0, 1}) {
        isFileCacheActive = cache;
        IsFile *f = build(20, ISINOUT | ISTRANS | ISMANULOCK);
        ASSERT_NE(f, nullptr);
        ASSERT_EQ(isWrite(f, record20('a', 1).data()), 1);
        ASSERT_EQ(isLogOpen(logName.c_str()), 1);
        // The log's descriptor, found as the one descriptor no handle owns.
        const int before = dup(0);
        const int logFd = before - 1;  // the log was opened last
        close(before);
        ASSERT_EQ(isBegin(), 1);
        const Bytes index = testing::readFile(dir.file("t.wox"));
        const Bytes data = testing::readFile(dir.file("t.wod"));
        const Bytes log = logBytes();
        KeyDesc second = testing::keyAt(4, 6, ISTYPE_CHAR, ISKEY_DUPS);
        int32_t id = 0;
        const std::vector<std::function<int()>> calls = {
            [&] { return isWrite(f, record20('b', 2).data()); },
            [&] { return isRewrite(f, record20('c', 1).data()); },
            [&] { return isDelete(f, record20('a', 1).data()); },
            [&] { return isAddIndex(f, &second); },
            [&] { return isUniqueId(f, &id); },
            [&] { return isSetUnique(f, 50); },
        };
        // Half of each record reaches the log, then the device is full.
        FaultRule &logWrites = faults.from(Sys::pwrite, 1, Fault::torn(ENOSPC)).onDescriptors({logFd});
        for (size_t i = 0; i < calls.size(); ++i) {
            EXPECT_EQ(calls[i](), 0) << "call " << i << " cache " << cache;
            EXPECT_EQ(isErrno(f), 121) << "call " << i;
            EXPECT_EQ(testing::readFile(dir.file("t.wox")), index) << "call " << i;
            EXPECT_EQ(testing::readFile(dir.file("t.wod")), data) << "call " << i;
            EXPECT_EQ(logBytes(), log) << "call " << i << ": a torn record stayed";
        }
        faults.drop(logWrites);
        Bytes back(20);
        stLong(1, back.data());
        ASSERT_EQ(isRead(f, back.data(), modeEqual), 1);
        EXPECT_EQ(back, record20('a', 1));
        for (size_t i = 0; i < calls.size(); ++i) EXPECT_EQ(calls[i](), 1) << "call " << i;
        EXPECT_EQ(id, 1);
        ASSERT_EQ(isRollBack(), 1);
        ASSERT_EQ(isRead(f, back.data(), modeEqual), 1) << "the delete was rolled back";
        EXPECT_EQ(back, record20('a', 1));
        ASSERT_EQ(isClose(f), 1);
        isLogClose();
        ASSERT_EQ(isErase(base.c_str()), 1);
        unlink(dir.file("txn.log").c_str());
    }
    isFileCacheActive = 0;
}

// An "UP" record carries both images: 30 + 2 × record length bytes, at most
// the 35510 of the log's buffer.  Longer records are refused before any
// change; inserts and deletes of them still fit.
TEST_F(LogBytes, RecordsTooLongForTheLogAreRefusedBeforeAnyChange) {
    ASSERT_EQ(isLogOpen(logName.c_str()), 1);
    for (int32_t length : {17740, 17741}) {
        IsFile *f = build(length, ISINOUT | ISMANULOCK);
        ASSERT_NE(f, nullptr);
        Bytes r(static_cast<size_t>(length), 'r');
        stLong(1, r.data());
        ASSERT_EQ(isWrite(f, r.data()), 1);
        const Bytes data = testing::readFile(dir.file("t.wod"));
        const size_t logged = logBytes().size();
        r[100] = 's';
        if (length == 17740) {
            EXPECT_EQ(isRewrite(f, r.data()), 1);
            EXPECT_EQ(logBytes().size(), logged + 35510);
        } else {
            EXPECT_EQ(isRewrite(f, r.data()), 0);
            EXPECT_EQ(isErrno(f), 121);
            EXPECT_EQ(testing::readFile(dir.file("t.wod")), data);
            EXPECT_EQ(logBytes().size(), logged);
        }
        EXPECT_EQ(isDelete(f, r.data()), 1);
        ASSERT_EQ(isClose(f), 1);
        ASSERT_EQ(isErase(base.c_str()), 1);
    }
}

// Closes inside a transaction wait for its end; an open of the name hands
// the same handle back.  A handle the application holds again at the end is
// not closed under it; one closed twice is closed once.
TEST_F(LogBytes, ClosesInsideATransactionWaitForItsEnd) {
    IsFile *f = build(20, ISINOUT | ISMANULOCK);
    ASSERT_NE(f, nullptr);
    ASSERT_EQ(isClose(f), 1);
    ASSERT_EQ(isLogOpen(logName.c_str()), 1);
    for (bool holdAtEnd : {false, true}) {
        f = isOpen(base.c_str(), ISINOUT | ISMANULOCK);
        ASSERT_NE(f, nullptr);
        const int number = isAdmDtoI(f);
        ASSERT_EQ(isBegin(), 1);
        const size_t logged = logBytes().size();
        ASSERT_EQ(isClose(f), 1);
        ASSERT_EQ(isClose(f), 1);  // twice: still one entry in the list
        EXPECT_EQ(isAdmItoD(number), f);
        EXPECT_EQ(isOpen(base.c_str(), ISINOUT | ISMANULOCK), f);
        ASSERT_EQ(isWrite(f, record20('h', holdAtEnd ? 2 : 1).data()), 1);
        if (!holdAtEnd) {
            ASSERT_EQ(isClose(f), 1);
        }
        const Bytes mid = logBytes();
        EXPECT_EQ(std::string(mid.begin() + static_cast<long>(logged) + 2, mid.begin() + static_cast<long>(logged) + 4), "IN")
            << "no FC or FO inside the transaction";
        ASSERT_EQ(isCommit(), 1);
        if (holdAtEnd) {
            EXPECT_EQ(isAdmItoD(number), f) << "the held handle stays open";
            Bytes r(20);
            stLong(2, r.data());
            EXPECT_EQ(isRead(f, r.data(), modeEqual), 1);
            ASSERT_EQ(isClose(f), 1);
            EXPECT_EQ(isAdmDtoI(f), -1);
        } else {
            EXPECT_EQ(isAdmItoD(number), nullptr) << "closed by the commit";
            const Bytes end = logBytes();
            EXPECT_EQ(std::string(end.end() - 20 + 2, end.end() - 20 + 4), "CW");
        }
    }
}

// Recovery from the log alone (it began before the build) gives the files
// back with exactly the counter the calls left, whatever they were.
TEST_F(LogBytes, RecoveryReproducesTheUniqueIdCounter) {
    ASSERT_EQ(isLogOpen(logName.c_str()), 1);
    IsFile *f = build(20, ISINOUT | ISMANULOCK);
    ASSERT_NE(f, nullptr);
    int32_t id = 0;
    ASSERT_EQ(isSetUnique(f, 10), 1);
    ASSERT_EQ(isSetUniqueIfBigger(f, 5), 1);
    ASSERT_EQ(isUniqueIds(f, &id, 7), 1);
    ASSERT_EQ(id, 10);
    ASSERT_EQ(isSetUniqueIfBigger(f, 30), 1);
    ASSERT_EQ(isUniqueId(f, &id), 1);
    ASSERT_EQ(isSetUnique(f, 2147483647), 1);
    ASSERT_EQ(isUniqueIds(f, &id, 2), 1);  // wraps to 1
    ASSERT_EQ(isUniqueIds(f, &id, 5), 1);
    ASSERT_EQ(id, 1);
    ASSERT_EQ(isWrite(f, record20('w', 3).data()), 1);
    ASSERT_EQ(isClose(f), 1);
    ASSERT_EQ(isErase(base.c_str()), 1);
    isLogClose();
    // Erased: the log must rebuild it; drop the erase record first.
    Bytes log = logBytes();
    const size_t erase = log.size() - (20 + 2 * (base.size() + 1));
    ASSERT_EQ(std::string(log.begin() + static_cast<long>(erase) + 2, log.begin() + static_cast<long>(erase) + 4), "ER");
    log.resize(erase);
    testing::writeFile(dir.file("txn.log"), log);
    ASSERT_EQ(isLogOpen(logName.c_str()), 1);
    ASSERT_EQ(isRecover(), 1);
    isLogClose();
    ASSERT_EQ(isCleanUp(), 1);
    f = isOpen(base.c_str(), ISINOUT | ISMANULOCK);
    ASSERT_NE(f, nullptr);
    ASSERT_EQ(isUniqueId(f, &id), 1);
    EXPECT_EQ(id, 6);
    Bytes r(20);
    stLong(3, r.data());
    EXPECT_EQ(isRead(f, r.data(), modeEqual), 1);
    ASSERT_EQ(isClose(f), 1);
}

// A variable-length file's records are logged with the length the caller
// set, and recovery (which opens the file for variable-length records)
// replays them with that length.
TEST_F(LogBytes, VariableLengthRecordsAreReplayedWithTheirLength) {
    ASSERT_EQ(isLogOpen(logName.c_str()), 1);
    KeyDesc key = testing::keyAt(0, 4, ISTYPE_LONG);
    IsFile *f = isBuild(base.c_str(), 24, 120, &key, ISINOUT | ISVARLEN | ISTRANS | ISMANULOCK);
    ASSERT_NE(f, nullptr);
    for (int32_t i = 1; i <= 3; ++i) {
        Bytes r(24, static_cast<uint8_t>('a' + i));
        stLong(i, r.data());
        ASSERT_EQ(isSetlen(f, 24), 1);
        ASSERT_EQ(isWrite(f, r.data()), 1);
    }
    Bytes r(24, 'z');
    stLong(2, r.data());
    ASSERT_EQ(isSetlen(f, 24), 1);
    ASSERT_EQ(isRewrite(f, r.data()), 1);
    stLong(3, r.data());
    ASSERT_EQ(isDelete(f, r.data()), 1);
    ASSERT_EQ(isClose(f), 1);
    ASSERT_EQ(isLogClose(), 1);
    for (const char *ext : {".wox", ".wod", ".lck"}) unlink((dir.file("t") + ext).c_str());
    ASSERT_EQ(isLogOpen(logName.c_str()), 1);
    ASSERT_EQ(isRecover(), 1) << errno;
    isLogClose();
    ASSERT_EQ(isCleanUp(), 1);
    f = isOpen(base.c_str(), ISINOUT | ISOPENVARLEN | ISMANULOCK);
    ASSERT_NE(f, nullptr);
    Bytes back(120);
    for (int32_t i = 1; i <= 3; ++i) {
        stLong(i, back.data());
        EXPECT_EQ(isRead(f, back.data(), modeEqual), i == 3 ? 0 : 1) << i;
        if (i == 2) {
            EXPECT_EQ(Bytes(back.begin() + 4, back.begin() + 24), Bytes(20, 'z'));
        }
    }
    ASSERT_EQ(isClose(f), 1);
}

// Writes `records` as the whole log and runs recovery on it.
int recoverFrom(const TempDir &dir, const std::u16string &logName, const Bytes &records) {
    testing::writeFile(dir.file("txn.log"), records);
    if (isLogOpen(logName.c_str()) != 1) return -1;
    const int result = isRecover();
    isLogClose();
    return result;
}

TEST_F(LogBytes, DamagedChainsAndLengthsStopRecoveryAndTornTailsEndIt) {
    LogModel m;
    const uint32_t bw = m.add("BW", 0, 0, 0, {});
    const uint32_t cw = m.add("CW", 0, bw, 20, {});
    EXPECT_EQ(recoverFrom(dir, logName, m.bytes), 1);
    EXPECT_EQ(errno, 118);
    EXPECT_EQ(recoverFrom(dir, logName, {}), 1);

    // A rollback whose back link points at itself or forward.
    for (uint32_t link : {cw + 20, cw + 40}) {
        LogModel loop = m;
        loop.add("RW", 0, link, 20, {});
        EXPECT_EQ(recoverFrom(dir, logName, loop.bytes), 0);
        EXPECT_EQ(errno, 119);
    }
    // Lengths below the smallest record or above the buffer.
    for (uint32_t length : {0u, 19u, 35511u, 65535u}) {
        Bytes bad = m.bytes;
        bad[20] = static_cast<uint8_t>(length >> 8);
        bad[21] = static_cast<uint8_t>(length);
        EXPECT_EQ(recoverFrom(dir, logName, bad), 0) << length;
        EXPECT_EQ(errno, 119) << length;
    }
    // A trailing length that differs from the leading one.
    Bytes trailer = m.bytes;
    trailer[39] ^= 1;
    EXPECT_EQ(recoverFrom(dir, logName, trailer), 0);
    EXPECT_EQ(errno, 119);
    // A code no action knows is passed over by its length.
    LogModel unknown = m;
    unknown.add("ZZ", 0, 0, 0, Bytes(7, 0xEE));
    unknown.add("BW", 0, 0, 0, {});
    EXPECT_EQ(recoverFrom(dir, logName, unknown.bytes), 1);
    // Every cut through the last record is a torn append: the end.
    for (size_t cut = m.bytes.size() - 19; cut < m.bytes.size(); ++cut) {
        EXPECT_EQ(recoverFrom(dir, logName, Bytes(m.bytes.begin(), m.bytes.begin() + static_cast<long>(cut))), 1)
            << cut;
    }
}

}  // namespace
}  // namespace wisam
