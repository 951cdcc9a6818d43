// isthread_test.cpp - many threads in one process.  Threads work on files of
// their own, on one file through handles of their own, and on one handle
// that two of them share; others open, build, erase and close files all the
// while.  Every change is checked against a model of the thread's own ids,
// and each file at the end against the union of the models of the threads
// that wrote it, index structure included.
#include <gtest/gtest.h>

#include <atomic>
#include <barrier>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "support/model.h"
#include "support/testing.h"
#include "wisam.h"

namespace wisam::testing {
namespace {

constexpr int kMode = ISINOUT | ISMANULOCK;

struct Worker {
    int file;               // index into the files
    bool reopens;           // closes and opens its handle again now and then
    IsFile *shared;         // a handle shared with another worker, or null
    int32_t idBase;
    Model model;
    std::string problem;
};

void buildModelFile(const std::u16string &name) {
    KeyDesc id = modelIdKey(), group = modelGroupKey();
    IsFile *f = isBuild(name.c_str(), kModelLength, 0, &id, kMode);
    ASSERT_NE(f, nullptr) << isErrno(nullptr);
    ASSERT_EQ(isAddIndex(f, &group), 1) << isErrno(f);
    ASSERT_EQ(isClose(f), 1);
}

void work(Worker &w, const std::u16string &name, int ops) {
    Dice dice(static_cast<uint32_t>(w.idBase));
    // A shared handle's error number may be another thread's by the time it
    // is read, so its worker makes only changes that succeed.
    RandomOps random{w.idBase, 300, w.shared != nullptr ? 0 : 15, false};
    IsFile *f = w.shared != nullptr ? w.shared : isOpen(name.c_str(), kMode);
    if (f == nullptr) {
        w.problem = "open failed with " + std::to_string(isErrno(nullptr));
        return;
    }
    for (int op = 0; op < ops && w.problem.empty(); ++op) {
        w.problem = applyRandomOp(f, w.model, dice, random);
        if (w.reopens && op % 150 == 149) {
            if (isClose(f) != 1) w.problem = "close failed";
            f = isOpen(name.c_str(), kMode);
            if (f == nullptr) w.problem = "reopen failed with " + std::to_string(isErrno(nullptr));
        }
    }
    if (f != nullptr && f != w.shared && isClose(f) != 1 && w.problem.empty()) w.problem = "close failed";
}

// Builds, fills, reads back and erases files of its own until told to stop.
void churn(const TempDir &dir, const std::atomic<bool> &stop, std::string &problem) {
    for (int round = 0; !stop && problem.empty(); ++round) {
        const std::u16string name = dir.name("churn" + std::to_string(round % 3));
        KeyDesc id = modelIdKey();
        IsFile *f = isBuild(name.c_str(), kModelLength, 0, &id, kMode);
        if (f == nullptr) {
            problem = "build failed with " + std::to_string(isErrno(nullptr));
            return;
        }
        for (int32_t n = 0; n < 20 && problem.empty(); ++n) {
            if (isWrite(f, modelRecord(n, n % kModelGroups, n).data()) != 1) problem = "churn write failed";
        }
        std::vector<uint8_t> record(kModelLength);
        if (problem.empty() && (isRead(f, record.data(), modeFirst) != 1 || record != modelRecord(0, 0, 0))) {
            problem = "churn read back the wrong record";
        }
        if (isClose(f) != 1 || isErase(name.c_str()) != 1) problem = "churn close or erase failed";
    }
}

TEST(Threads, CallsOnOwnSharedAndCommonHandlesMatchTheirModels) {
    TempDir dir;
    const std::vector<std::u16string> names = {dir.name("own"), dir.name("common"), dir.name("shared")};
    for (const auto &name : names) buildModelFile(name);
    IsFile *shared = isOpen(names[2].c_str(), kMode);
    ASSERT_NE(shared, nullptr);

    std::vector<Worker> workers = {
        {0, true, nullptr, 0, {}, ""},           // a file of its own, handle reopened
        {1, false, nullptr, 10000, {}, ""},      // one file through two handles
        {1, true, nullptr, 20000, {}, ""},
        {2, false, shared, 30000, {}, ""},       // one handle, two threads
        {2, false, shared, 40000, {}, ""},
    };
    std::atomic<bool> stop{false};
    std::string churnProblem;
    std::vector<std::thread> threads;
    for (Worker &w : workers) threads.emplace_back([&w, &names] { work(w, names[size_t(w.file)], 1200); });
    std::thread churner([&] { churn(dir, stop, churnProblem); });
    for (std::thread &t : threads) t.join();
    stop = true;
    churner.join();
    EXPECT_EQ(churnProblem, "");
    EXPECT_EQ(isClose(shared), 1);

    std::map<int, Model> files;
    for (const Worker &w : workers) {
        EXPECT_EQ(w.problem, "") << "worker with ids from " << w.idBase;
        for (const auto &[id, row] : w.model.rows) files[w.file].rows[id] = row;
    }
    const char *woxNames[] = {"own.wox", "common.wox", "shared.wox"};
    for (const auto &[file, model] : files) {
        EXPECT_EQ(reopenAndCompare(names[size_t(file)], kMode, model, dir.file(woxNames[file]), false), "")
            << "file " << woxNames[file];
    }
}

// A thread waiting for a record lock that another thread holds gives the
// library up while it waits: the holder goes on with its calls and releases
// the lock, and only then does the waiter get it.
TEST(Threads, AWaiterLetsTheHolderGoOn) {
    TempDir dir;
    const std::u16string name = dir.name("locks");
    buildModelFile(name);
    IsFile *holder = isOpen(name.c_str(), kMode);
    IsFile *waiter = isOpen(name.c_str(), kMode);
    ASSERT_TRUE(holder != nullptr && waiter != nullptr);
    std::vector<uint8_t> record = modelRecord(1, 1, 1);
    ASSERT_EQ(isWrite(holder, record.data()), 1);
    ASSERT_EQ(isRead(holder, record.data(), modeEqual | readLock), 1);

    std::atomic<int> got{-1};
    std::thread t([&] {
        std::vector<uint8_t> mine = modelRecord(1, 1, 1);
        got = isRead(waiter, mine.data(), modeEqual | readLock | readWait);
    });
    for (int32_t id = 2; id < 300; ++id) {
        ASSERT_EQ(isWrite(holder, modelRecord(id, id % kModelGroups, id).data()), 1) << isErrno(holder);
    }
    EXPECT_EQ(got.load(), -1) << "the waiter got a lock the holder still has";
    ASSERT_EQ(isRelease(holder), 1);
    t.join();
    EXPECT_EQ(got.load(), 1) << isErrno(waiter);
    EXPECT_EQ(isClose(waiter), 1);
    EXPECT_EQ(isClose(holder), 1);
}

}  // namespace
}  // namespace wisam::testing

namespace wisam::testing {
namespace {

// One transaction per process, shared by its threads: what threads change
// through ISTRANS handles between one thread's isBegin and another's
// isRollBack (or isCommit) is taken back (or kept) as one.  Rounds alternate
// the ending call and the thread that makes it; each thread writes its own
// file, so the outcome is known per record; the files are checked whole
// once the log is closed.
TEST(Threads, OneTransactionIsSharedByTheProcesssThreads) {
    constexpr int kTransMode = ISINOUT | ISTRANS | ISMANULOCK;
    constexpr int kThreads = 3, kRounds = 6, kWrites = 40;
    TempDir dir;
    ASSERT_EQ(isLogOpen(dir.name("threads.log").c_str()), 1) << errno;
    std::vector<std::u16string> names;
    std::vector<IsFile *> handles;
    std::vector<Model> models(kThreads);
    for (int t = 0; t < kThreads; ++t) {
        names.push_back(dir.name("t" + std::to_string(t)));
        buildModelFile(names.back());
        handles.push_back(isOpen(names.back().c_str(), kTransMode));
        ASSERT_NE(handles.back(), nullptr) << isErrno(nullptr);
    }
    for (int round = 0; round < kRounds; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        const bool commit = round % 2 == 0;
        const int ender = round % kThreads, beginner = (round + 1) % kThreads;
        std::atomic<int> begun{0}, written{0};
        std::vector<std::string> problems(kThreads);
        std::vector<Model> pending = models;
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([&, t] {
                if (t == beginner) {
                    if (isBegin() != 1) problems[t] = "isBegin failed with " + std::to_string(errno);
                    begun = 1;
                }
                while (begun == 0) std::this_thread::yield();
                for (int n = 0; n < kWrites && problems[t].empty(); ++n) {
                    const int32_t id = 100000 * (t + 1) + 1000 * round + n;
                    if (isWrite(handles[t], modelRecord(id, id % kModelGroups, round).data()) != 1) {
                        problems[t] = "isWrite failed with " + std::to_string(isErrno(handles[t]));
                    }
                    pending[t].wrote(id, id % kModelGroups, round, 0);
                }
                ++written;
                if (t == ender) {
                    while (written < kThreads) std::this_thread::yield();
                    if ((commit ? isCommit() : isRollBack()) != 1) {
                        problems[t] = std::string(commit ? "isCommit" : "isRollBack") + " failed with " +
                                      std::to_string(errno);
                    }
                }
            });
        }
        for (std::thread &thread : threads) thread.join();
        for (int t = 0; t < kThreads; ++t) {
            EXPECT_EQ(problems[t], "") << "thread " << t;
            if (commit) models[t] = pending[t];
            EXPECT_EQ(compareWithModel(handles[t], models[t], false), "") << "thread " << t << " after "
                                                                          << (commit ? "isCommit" : "isRollBack");
        }
    }
    for (IsFile *f : handles) EXPECT_EQ(isClose(f), 1);
    EXPECT_EQ(isLogClose(), 1);
    for (int t = 0; t < kThreads; ++t) {
        const std::string index = dir.file("t" + std::to_string(t) + ".wox");
        EXPECT_EQ(reopenAndCompare(names[t], ISINOUT | ISMANULOCK, models[t], index, false), "");
    }
}

// Two threads on files of their own, both failing and succeeding call after
// call, each in another way: what each reads of its handle after its call
// (isErrno, isErrio, isStatus) is that call's own result, never the other
// thread's.  The expected results are taken from the same calls made before
// the threads start.
TEST(Threads, EachHandleAnswersWithItsOwnCallsResult) {
    TempDir dir;
    struct Outcome {
        int ok, error, io;
        std::string status;
        bool operator==(const Outcome &) const = default;
    };
    struct Side {
        IsFile *f;
        std::function<int(IsFile *, int)> call;  // the n-th call: fails on odd n
        Outcome expected[2];
        std::string problem;
    };
    auto outcome = [](IsFile *f, int ok) {
        char status[5] = {};
        EXPECT_EQ(isStatus(f, status), 1);
        return Outcome{ok, isErrno(f), isErrio(f), status};
    };
    std::vector<uint8_t> stored = modelRecord(1, 1, 1);
    std::vector<Side> sides(2);
    for (int t = 0; t < 2; ++t) {
        buildModelFile(dir.name("own" + std::to_string(t)));
        sides[t].f = isOpen(dir.name("own" + std::to_string(t)).c_str(), kMode);
        ASSERT_NE(sides[t].f, nullptr);
        ASSERT_EQ(isWrite(sides[t].f, stored.data()), 1);
    }
    // Reads: of the stored record, or of one that is not there (111).
    sides[0].call = [](IsFile *f, int n) {
        std::vector<uint8_t> record = modelRecord(n % 2 == 0 ? 1 : 2, 0, 0);
        return isRead(f, record.data(), modeEqual);
    };
    // Writes: of a new record, or of the stored one again (100).
    sides[1].call = [](IsFile *f, int n) {
        return isWrite(f, modelRecord(n % 2 == 0 ? 10 + n : 1, 1, 1).data());
    };
    for (Side &side : sides) {
        for (int n = 0; n < 2; ++n) side.expected[n] = outcome(side.f, side.call(side.f, n));
    }
    ASSERT_EQ(sides[0].expected[1].error, ENOREC);
    ASSERT_EQ(sides[1].expected[1].error, EDUPL);
    ASSERT_NE(sides[0].expected[1].status, sides[1].expected[1].status);
    std::vector<std::thread> threads;
    for (Side &side : sides) {
        threads.emplace_back([&side, &outcome] {
            for (int n = 2; n < 4000 && side.problem.empty(); ++n) {
                if (!(outcome(side.f, side.call(side.f, n)) == side.expected[n % 2])) {
                    side.problem = "call " + std::to_string(n) + " answered with another result";
                }
            }
        });
    }
    for (std::thread &t : threads) t.join();
    for (Side &side : sides) {
        EXPECT_EQ(side.problem, "");
        EXPECT_EQ(isClose(side.f), 1);
    }
}

// A callback that calls the library on a file another thread's call is
// using is refused with EDEADLK instead of waiting: two threads each in a
// callback calling the other's file would otherwise wait for each other for
// ever.  A callback calling its own file, or a file no call is using, works.
TEST(Threads, ACallbackReachingABusyFileIsRefusedInsteadOfWaiting) {
    TempDir dir;
    std::vector<IsFile *> handles;
    for (int t = 0; t < 2; ++t) {
        buildModelFile(dir.name("cb" + std::to_string(t)));
        handles.push_back(isOpen(dir.name("cb" + std::to_string(t)).c_str(), kMode));
        ASSERT_NE(handles.back(), nullptr);
        ASSERT_EQ(isSetProfileTag(handles.back(), t + 1), 1);
    }
    static std::barrier<> *meeting = nullptr;
    static IsFile *target[2] = {};
    static std::atomic<bool> armed[2];
    static int result[2][3];  // on the other file, errno, on its own file
    std::barrier<> both(2);
    meeting = &both;
    struct Restore {
        ~Restore() { lowLevelProfileCallback = nullptr; }
    } restore;
    lowLevelProfileCallback = [](int32_t tag, int32_t, int32_t phase) {
        if ((tag != 1 && tag != 2) || phase != 1 || !armed[tag - 1].exchange(false)) return;
        const int me = tag - 1;
        if (meeting != nullptr) meeting->arrive_and_wait();  // both are in a call now
        errno = 0;
        result[me][0] = isSetrec(target[1 - me], 7);
        result[me][1] = errno;
        result[me][2] = isSetrec(target[me], 8);
        if (meeting != nullptr) meeting->arrive_and_wait();  // both tried before either call ends
    };
    target[0] = handles[0], target[1] = handles[1];
    std::vector<std::thread> threads;
    for (int t = 0; t < 2; ++t) {
        armed[t] = true;
        threads.emplace_back([&handles, t] {
            std::vector<uint8_t> record = modelRecord(1, 0, 0);
            isRead(handles[t], record.data(), modeFirst);  // takes the file-state lock: the callback runs
        });
    }
    for (std::thread &t : threads) t.join();
    for (int t = 0; t < 2; ++t) {
        EXPECT_EQ(result[t][0], 0) << "thread " << t << " reached a file in use";
        EXPECT_EQ(result[t][1], EDEADLK) << "thread " << t;
        EXPECT_EQ(result[t][2], 1) << "thread " << t << " on its own file";
        EXPECT_EQ(isRecnum(handles[t]), 8);
    }
    // No other call under way: the callback reaches the other file.
    meeting = nullptr;
    armed[0] = true;
    std::vector<uint8_t> record = modelRecord(1, 0, 0);
    isRead(handles[0], record.data(), modeFirst);
    EXPECT_EQ(result[0][0], 1);
    EXPECT_EQ(isRecnum(handles[1]), 7);
    for (IsFile *f : handles) EXPECT_EQ(isClose(f), 1);
}

}  // namespace
}  // namespace wisam::testing
