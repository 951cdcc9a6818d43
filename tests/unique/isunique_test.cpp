// Unique ids: the counter's edges (the first id of a new file, set, raise
// only when bigger, blocks, a count of 0 or below 0, the wrap past
// 2147483647 to 1, a negative counter), the counter kept on disk and shared
// by every handle, the "SU" and "UN" log records (never chained, never
// undone by a rollback), four processes taking single ids and blocks at once
// without ever receiving an id twice, and recovery from a copy never handing
// out again an id taken before.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <fstream>
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

constexpr int kMode = ISINOUT | ISMANULOCK;

int32_t take(IsFile *f) {
    int32_t id = -999;
    EXPECT_EQ(isUniqueId(f, &id), 1) << isErrno(f);
    return id;
}

int32_t takeBlock(IsFile *f, int32_t count) {
    int32_t first = -999;
    EXPECT_EQ(isUniqueIds(f, &first, count), 1) << isErrno(f);
    return first;
}

IsFile *buildFile(const std::u16string &name, int mode = kMode) {
    KeyDesc key = modelIdKey();
    IsFile *f = isBuild(name.c_str(), kModelLength, 0, &key, mode);
    EXPECT_NE(f, nullptr) << isErrno(nullptr);
    return f;
}

TEST(UniqueId, CounterEdges) {
    TempDir dir;
    const std::u16string name = dir.name("u");
    IsFile *f = buildFile(name);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(take(f), 1) << "the first id of a new file";
    EXPECT_EQ(take(f), 2);

    ASSERT_EQ(isSetUnique(f, 100), 1);
    EXPECT_EQ(take(f), 100);
    EXPECT_EQ(take(f), 101);

    ASSERT_EQ(isSetUnique(f, 10), 1);
    ASSERT_EQ(isSetUniqueIfBigger(f, 5), 1);
    EXPECT_EQ(take(f), 10) << "a smaller value leaves the counter";
    ASSERT_EQ(isSetUniqueIfBigger(f, 11), 1);
    EXPECT_EQ(take(f), 11) << "an equal value leaves the counter";
    ASSERT_EQ(isSetUniqueIfBigger(f, 500), 1);
    EXPECT_EQ(take(f), 500) << "a bigger value becomes the counter";
    ASSERT_EQ(isSetUniqueIfBigger(f, -7), 1);
    EXPECT_EQ(take(f), 501) << "the comparison is signed";

    ASSERT_EQ(isSetUnique(f, 2147483647), 1);
    EXPECT_EQ(take(f), 2147483647);
    EXPECT_EQ(take(f), 1) << "past 2147483647 the counter starts again at 1";

    ASSERT_EQ(isSetUnique(f, 7), 1);
    EXPECT_EQ(takeBlock(f, 10), 7);
    EXPECT_EQ(take(f), 17) << "a block of 10 reserves 7..16";
    EXPECT_EQ(takeBlock(f, 0), 18) << "a block of none";
    EXPECT_EQ(take(f), 18) << "a block of none does not advance";
    EXPECT_EQ(takeBlock(f, -5), 19);
    EXPECT_EQ(take(f), 14) << "a negative count moves the counter back";
    ASSERT_EQ(isSetUnique(f, 2147483640), 1);
    EXPECT_EQ(takeBlock(f, 10), 2147483640);
    EXPECT_EQ(take(f), 1) << "a block past 2147483647 leaves the counter at 1";
    ASSERT_EQ(isSetUnique(f, -5), 1);
    EXPECT_EQ(take(f), -5);
    EXPECT_EQ(take(f), 1) << "a counter that stays negative starts again at 1";

    // The counter is on disk: a reopen and a second handle see it.
    ASSERT_EQ(isSetUnique(f, 40), 1);
    ASSERT_EQ(isClose(f), 1);
    f = isOpen(name.c_str(), kMode);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(take(f), 40) << "after a reopen";
    IsFile *g = isOpen(spelling(dir, "u", 1).c_str(), kMode);
    IsFile *h = isOpen(name.c_str(), kMode);
    ASSERT_NE(g, nullptr);
    ASSERT_NE(h, nullptr);
    int32_t expect = 41;
    for (int i = 0; i < 30; ++i) {
        IsFile *which = i % 3 == 0 ? f : i % 3 == 1 ? g : h;
        if (i % 5 == 4) {
            EXPECT_EQ(takeBlock(which, 3), expect) << "call " << i;
            expect += 3;
        } else {
            EXPECT_EQ(take(which), expect) << "call " << i;
            expect += 1;
        }
    }
    EXPECT_EQ(isClose(h), 1);
    EXPECT_EQ(isClose(g), 1);
    EXPECT_EQ(isClose(f), 1);
    IsFile *input = isOpen(name.c_str(), ISINPUT | ISMANULOCK);
    ASSERT_NE(input, nullptr);
    int32_t id = 0;
    EXPECT_EQ(isUniqueId(input, &id), 0) << "an input-only handle changes no counter";
    EXPECT_EQ(isClose(input), 1);
    f = isOpen(name.c_str(), kMode);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(take(f), expect) << "a refused call leaves the counter";
    EXPECT_EQ(isClose(f), 1);
}

// "SU" carries the value passed (also when it changed nothing), "UN" the
// first id handed out; where replaying them would not give the counter the
// call left (a smaller value for isSetUniqueIfBigger, a block of ids), an
// "SU" with the counter follows.  None is chained into a transaction, and a
// rollback does not give ids back.
TEST(UniqueId, LoggedNeverChainedNeverUndone) {
    TempDir dir;
    const std::u16string name = dir.name("u");
    const std::string log = dir.file("u.log");
    IsFile *f = buildFile(name, kMode | ISTRANS);
    ASSERT_NE(f, nullptr);
    ASSERT_EQ(isClose(f), 1);
    ASSERT_EQ(isLogOpen(toUtf16(log).c_str()), 1);
    f = isOpen(name.c_str(), kMode | ISTRANS);
    ASSERT_NE(f, nullptr);
    const int number = isAdmDtoI(f);
    ASSERT_GE(number, 0);
    const size_t start = readFile(log).size();
    ASSERT_EQ(isSetUnique(f, 10), 1);
    ASSERT_EQ(isSetUniqueIfBigger(f, 5), 1);
    ASSERT_EQ(isBegin(), 1);
    EXPECT_EQ(take(f), 10);
    EXPECT_EQ(takeBlock(f, 4), 11);
    ASSERT_EQ(isWrite(f, modelRecord(1, 1, 1).data()), 1);
    ASSERT_EQ(isRollBack(), 1);
    EXPECT_EQ(take(f), 15) << "a rollback gives no id back";
    EXPECT_EQ(isClose(f), 1);
    ASSERT_EQ(isLogClose(), 1);

    std::vector<uint8_t> bytes = readFile(log);
    const LogScan scan = scanLog(std::vector<uint8_t>(bytes.begin() + static_cast<long>(start), bytes.end()));
    ASSERT_EQ(scan.fault, "");
    ASSERT_EQ(codesOf(scan), "SU SU SU BW UN UN SU IN RW UN FC");
    const auto &e = scan.entries;
    const int32_t values[] = {10, 5, 10, 0, 10, 11, 15, 0, 0, 15};
    for (size_t i = 0; i < 10; ++i) {
        if (e[i].code != "SU" && e[i].code != "UN") continue;
        EXPECT_EQ(e[i].length, 26) << e[i].code << " " << i;
        EXPECT_EQ(e[i].fileNumber(), number) << e[i].code << " " << i;
        EXPECT_EQ(e[i].value(), values[i]) << e[i].code << " " << i;
        EXPECT_EQ(e[i].back, 0u) << e[i].code << " " << i << " must not be chained";
        EXPECT_EQ(e[i].backLength, 0u);
    }
    EXPECT_EQ(e[8].back, static_cast<uint32_t>(start + e[7].offset)) << "the rollback links to the insert, past the ids";
    EXPECT_EQ(e[7].back, static_cast<uint32_t>(start + e[3].offset)) << "the insert links to the begin, past the ids";
    isCleanUp();
}

// Four processes take single ids and blocks from one file at once, under
// one log: no id is handed out twice, together they are exactly 1..total,
// and the log holds one "UN" for every call with the first id it gave.
TEST(UniqueId, FourProcessesNeverReceiveAnIdTwice) {
    TempDir dir;
    const std::u16string name = dir.name("u");
    const std::string log = dir.file("u.log");
    IsFile *f = buildFile(name);
    ASSERT_NE(f, nullptr);
    ASSERT_EQ(isClose(f), 1);
    isCleanUp();
    constexpr int kProcesses = 4, kCalls = 400;
    std::vector<int> pids;
    for (int c = 0; c < kProcesses; ++c) {
        pids.push_back(startChild([&, c] {
            if (isLogOpen(toUtf16(log).c_str()) != 1) return 2;
            IsFile *g = isOpen(spelling(dir, "u", c + 1).c_str(), kMode);
            if (g == nullptr) return 3;
            Dice dice(50 + static_cast<uint32_t>(c));
            std::ofstream out(dir.file("ids-" + std::to_string(c)));
            for (int i = 0; i < kCalls; ++i) {
                const int32_t count = dice.below(3) == 0 ? 1 + dice.below(4) : 1;
                int32_t first = 0;
                const int ok = count == 1 && dice.below(2) == 0 ? isUniqueId(g, &first) : isUniqueIds(g, &first, count);
                if (ok != 1) return 4;
                out << first << " " << count << "\n";
            }
            isClose(g);
            isLogClose();
            return out.good() ? 0 : 5;
        }));
    }
    std::vector<int32_t> ids, firsts;
    for (int c = 0; c < kProcesses; ++c) {
        ASSERT_EQ(waitChild(pids[static_cast<size_t>(c)]), 0) << "process " << c;
        std::ifstream in(dir.file("ids-" + std::to_string(c)));
        int32_t first, count;
        while (in >> first >> count) {
            firsts.push_back(first);
            for (int32_t k = 0; k < count; ++k) ids.push_back(first + k);
        }
    }
    ASSERT_EQ(firsts.size(), static_cast<size_t>(kProcesses * kCalls));
    std::sort(ids.begin(), ids.end());
    for (size_t i = 0; i < ids.size(); ++i) {
        ASSERT_EQ(ids[i], static_cast<int32_t>(i + 1)) << "ids handed out are not exactly 1.." << ids.size()
                                                         << (i > 0 && ids[i] == ids[i - 1] ? " (an id came twice)" : "");
    }
    f = isOpen(name.c_str(), kMode);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(take(f), static_cast<int32_t>(ids.size() + 1));
    EXPECT_EQ(isClose(f), 1);

    const LogScan scan = scanLog(readFile(log));
    EXPECT_EQ(scan.fault, "");
    std::vector<int32_t> logged;
    for (const LogEntry &e : scan.entries) {
        if (e.code == "UN") logged.push_back(e.value());
    }
    std::sort(logged.begin(), logged.end());
    std::sort(firsts.begin(), firsts.end());
    EXPECT_EQ(logged, firsts) << "the log's ids are not the first ids the calls gave";
}

// The copy taken when the log began, recovered from the log, must not hand
// out again an id that was taken before: single ids, blocks, a set, and a
// raise that changed nothing.
TEST(UniqueId, RecoveryNeverHandsOutAnIdAgain) {
    TempDir dir;
    const std::u16string name = dir.name("u");
    const std::string log = dir.file("u.log");
    IsFile *f = buildFile(name);
    ASSERT_NE(f, nullptr);
    ASSERT_EQ(isClose(f), 1);
    FileSetCopy copy;
    copy.save(dir.file("u"));
    ASSERT_EQ(isLogOpen(toUtf16(log).c_str()), 1);
    f = isOpen(name.c_str(), kMode);
    ASSERT_NE(f, nullptr);
    int32_t highest = 0;
    for (int i = 0; i < 3; ++i) highest = take(f);
    ASSERT_EQ(isSetUnique(f, 50), 1);
    highest = takeBlock(f, 5) + 4;
    ASSERT_EQ(isSetUniqueIfBigger(f, 20), 1);
    highest = take(f);
    EXPECT_EQ(highest, 55);
    EXPECT_EQ(isClose(f), 1);
    ASSERT_EQ(isLogClose(), 1);
    isCleanUp();
    copy.restore();
    const RecoverOutcome outcome = recoverFrom(log);
    ASSERT_EQ(outcome.result, 1) << "errno " << outcome.error;
    f = isOpen(name.c_str(), kMode);
    ASSERT_NE(f, nullptr);
    EXPECT_GT(take(f), highest) << "after recovery the counter hands out an id taken before the copy was recovered";
    EXPECT_EQ(isClose(f), 1);
}

}  // namespace
}  // namespace wisam
