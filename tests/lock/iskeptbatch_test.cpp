// Batches of changes under a kept exclusive lock (isSetCustomLock 2 ... 0)
// in which some calls fail: a failed call drops only its own changes, so
// that everything acknowledged before it (in this batch and in batches
// already ended) stays, in memory and on disk; a failed write-back at the
// end of the lock or at the close of the handle loses nothing.  Checked
// against a model, in one process and in several at once.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "support/lockprobe.h"
#include "support/faults.h"
#include "support/model.h"
#include "support/testing.h"
#include "wisam.h"

namespace wisam {
namespace {

using namespace testing;

constexpr int kKeepExclusive = 2, kEndKept = 0;

// A new file with the id, group and unique payload indexes; its model.
Model buildFile(const std::u16string &name, int mode) {
    Model model;
    model.indexes.push_back(modelUniquePayloadKey());
    KeyDesc id = modelIdKey();
    IsFile *f = isBuild(name.c_str(), kModelLength, 0, &id, mode);
    EXPECT_NE(f, nullptr) << isErrno(nullptr);
    if (f == nullptr) return model;
    KeyDesc group = modelGroupKey(), payload = modelUniquePayloadKey();
    EXPECT_EQ(isAddIndex(f, &group), 1) << errorText(f);
    EXPECT_EQ(isAddIndex(f, &payload), 1) << errorText(f);
    EXPECT_EQ(isClose(f), 1);
    return model;
}

std::string writeRecord(IsFile *f, Model &model, int32_t id) {
    const int32_t version = model.nextVersion++;
    if (isWrite(f, modelRecord(id, id % kModelGroups, version).data()) != 1) {
        return "write of id " + std::to_string(id) + " failed with " + errorText(f);
    }
    return model.wrote(id, id % kModelGroups, version, isRecnum(f));
}

class KeptBatchLoop : public ::testing::TestWithParam<int> {
protected:
    void TearDown() override { EXPECT_EQ(givenUpWaits(), waits) << "a call waited for a lock no one else holds"; }
    const int waits = givenUpWaits();
    const ModelConfig &config = kModelConfigs[GetParam()];
    ModelSwitches switches{config};
    TempDir dir;
    const std::u16string name = dir.name("k");
    const std::string wox = dir.file("k.wox");
};

// The failing calls of a batch: what each does and the error it must give.
struct FailingCall {
    const char *what;
    int error;
    int (*call)(IsFile *f, const Model &model);
};

const FailingCall kFailingCalls[] = {
    {"write of a present id", EDUPL,
     [](IsFile *f, const Model &m) { return isWrite(f, modelRecord(12, 3, m.nextVersion).data()); }},
    {"write whose payload is present (fails after two indexes took the key)", EDUPL,
     [](IsFile *f, const Model &m) { return isWrite(f, modelRecord(22, 3, m.rows.at(12).version).data()); }},
    {"delete of a missing id", ENOREC, [](IsFile *f, const Model &) { return isDelete(f, modelRecord(99, 0, 0).data()); }},
    {"rewrite of a missing id", ENOREC,
     [](IsFile *f, const Model &m) { return isRewrite(f, modelRecord(99, 0, m.nextVersion).data()); }},
    {"rewrite to a present payload (fails after the group index changed)", EDUPL,
     [](IsFile *f, const Model &m) { return isRewrite(f, modelRecord(13, 5, m.rows.at(3).version).data()); }},
};

// Two batches of five writes; a call of the second fails.  The numbers are
// exact: a fresh file, no deletes.
TEST_P(KeptBatchLoop, FailedCallKeepsEveryAcknowledgedChange) {
    for (const FailingCall &failing : kFailingCalls) {
        SCOPED_TRACE(failing.what);
        isErase(name.c_str());
        Model model = buildFile(name, config.mode());
        IsFile *f = isOpen(name.c_str(), config.mode());
        ASSERT_NE(f, nullptr);
        for (int32_t first : {0, 10}) {
            ASSERT_EQ(isSetCustomLock(f, kKeepExclusive), 1);
            for (int32_t id = first; id < first + 5; ++id) ASSERT_EQ(writeRecord(f, model, id), "");
            if (first == 0) {
                ASSERT_EQ(isSetCustomLock(f, kEndKept), 1);
            }
        }
        EXPECT_EQ(failing.call(f, model), 0);
        EXPECT_EQ(isErrno(f), failing.error);
        int32_t last = -1;
        EXPECT_EQ(isGetLastRec(f, &last), 1);
        EXPECT_EQ(last, 10) << "the highest record number after the failed call";
        EXPECT_EQ(compareWithModel(f, model), "") << "in memory, right after the failed call";
        ASSERT_EQ(writeRecord(f, model, 20), "");
        EXPECT_EQ(isRecnum(f), 11) << "the write after the failed call";
        EXPECT_EQ(isSetCustomLock(f, kEndKept), 1);
        EXPECT_EQ(compareWithModel(f, model), "") << "in memory, after the lock ended";
        EXPECT_EQ(isClose(f), 1);
        EXPECT_EQ(reopenAndCompare(name, config.mode(), model, wox), "");
    }
}

// Random writes, rewrites and deletes, about one in five failing on
// purpose, in batches mostly under a kept exclusive lock; the model is
// compared after every batch, now and then in the middle of one, and after
// a reopen every ten batches.
TEST_P(KeptBatchLoop, RandomBatchesWithFailingCallsMatchTheModel) {
    Model model = buildFile(name, config.mode());
    IsFile *f = isOpen(name.c_str(), config.mode());
    ASSERT_NE(f, nullptr);
    Dice dice(7 + static_cast<uint32_t>(GetParam()));
    const RandomOps ops{0, 400, 20, true};
    int calls = 0;
    for (int batch = 1; batch <= 40; ++batch) {
        const bool kept = dice.below(10) != 0;
        if (kept) {
            ASSERT_EQ(isSetCustomLock(f, kKeepExclusive), 1);
        }
        for (int n = 1 + dice.below(30); n > 0; --n, ++calls) {
            ASSERT_EQ(applyRandomOp(f, model, dice, ops), "") << "batch " << batch;
            if (dice.below(20) == 0) {
                ASSERT_EQ(compareWithModel(f, model), "") << "inside batch " << batch;
            }
        }
        if (kept) {
            ASSERT_EQ(isSetCustomLock(f, kEndKept), 1);
        }
        ASSERT_EQ(compareWithModel(f, model, true, true), "") << "after batch " << batch;
        if (batch % 10 == 0) {
            ASSERT_EQ(isClose(f), 1);
            ASSERT_EQ(reopenAndCompare(name, config.mode(), model, wox), "") << "after batch " << batch;
            f = isOpen(name.c_str(), config.mode());
            ASSERT_NE(f, nullptr);
        }
    }
    RecordProperty("calls", calls);
    std::cout << "[   runs   ] " << config.name << ": " << calls << " calls, " << model.rows.size() << " records\n";
}

INSTANTIATE_TEST_SUITE_P(KeptBatch, KeptBatchLoop, ::testing::Range(0, 6),
                         [](const ::testing::TestParamInfo<int> &info) { return kModelConfigs[info.param].name; });

// The first write of the write-back at the end of a kept lock fails once.
// The end reports it; the kept lock stays kept and the blocks dirty, and
// every way of going on (ending again, writing back first, more changes
// first, closing) writes everything.
TEST(KeptBatch, FailedWriteBackAtTheEndOfTheLockLosesNothing) {
    enum Recovery { endAgain, writeBackFirst, moreChangesFirst, closeHandle };
    const int waits = givenUpWaits();
    for (const bool exclusive : {false, true}) {
        ModelSwitches switches(kModelConfigs[exclusive ? 5 : 4]);
        const int mode = kModelConfigs[exclusive ? 5 : 4].mode();
        for (const int error : {EIO, ENOSPC}) {
            for (const Recovery recovery : {endAgain, writeBackFirst, moreChangesFirst, closeHandle}) {
                SCOPED_TRACE(std::string(exclusive ? "exclusive" : "shared") + " open, error " +
                             std::to_string(error) + ", recovery " + std::to_string(recovery));
                TempDir dir;
                const std::u16string name = dir.name("w");
                Model model = buildFile(name, mode);
                IsFile *probe = exclusive ? nullptr : isOpen(spelling(dir, "w", 1).c_str(), mode);
                IsFile *f = isOpen(name.c_str(), mode);
                ASSERT_NE(f, nullptr);
                ASSERT_EQ(isSetCustomLock(f, kKeepExclusive), 1);
                for (int32_t id = 0; id < 5; ++id) ASSERT_EQ(writeRecord(f, model, id), "");
                {
                    FaultInjector injector;
                    injector.arm(FaultKind::writeError, 1, error);
                    EXPECT_EQ(isSetCustomLock(f, kEndKept), 0) << "the end of the lock must report the failed write";
                    EXPECT_TRUE(injector.hit());
                    EXPECT_EQ(isErrno(f), error);
                    EXPECT_EQ(isErrio(f), 80 + injector.hitFileKind());
                }
                if (probe != nullptr) {
                    EXPECT_EQ(canWrite(probe), 0) << "the exclusive lock must stay kept";
                }
                switch (recovery) {
                case endAgain: break;
                case writeBackFirst: EXPECT_EQ(writeBackChanges(f), 1); break;
                case moreChangesFirst: EXPECT_EQ(writeRecord(f, model, 5), ""); break;
                case closeHandle: break;
                }
                if (recovery == closeHandle) {
                    EXPECT_EQ(isClose(f), 1) << errorText(f);
                } else {
                    EXPECT_EQ(isSetCustomLock(f, kEndKept), 1) << errorText(f);
                    EXPECT_EQ(compareWithModel(f, model), "");
                    EXPECT_EQ(isClose(f), 1);
                }
                if (probe != nullptr) {
                    EXPECT_EQ(isClose(probe), 1);
                }
                EXPECT_EQ(reopenAndCompare(name, mode, model, dir.file("w.wox")), "");
            }
        }
    }
    EXPECT_EQ(givenUpWaits(), waits) << "a call waited for a lock no one else holds";
}

// isClose of a handle keeping an exclusive lock with write-back after 500
// writes does the deferred work first; when that fails, the close fails,
// the handle stays usable, and a second close writes everything.
TEST(KeptBatch, CloseOfAKeptHandleWritesTheDeferredWorkFirst) {
    struct Case {
        int error;
        int failingWrite;  // 0: none
    };
    const int waits = givenUpWaits();
    for (const bool exclusive : {false, true}) {
        ModelSwitches switches(kModelConfigs[exclusive ? 5 : 4]);
        const int mode = kModelConfigs[exclusive ? 5 : 4].mode();
        for (const Case c : {Case{0, 0}, Case{EIO, 1}, Case{ENOSPC, 3}}) {
            SCOPED_TRACE(std::string(exclusive ? "exclusive" : "shared") + " open, failing write " +
                         std::to_string(c.failingWrite));
            TempDir dir;
            const std::u16string name = dir.name("c");
            Model model = buildFile(name, mode);
            IsFile *f = isOpen(name.c_str(), mode);
            ASSERT_NE(f, nullptr);
            ASSERT_EQ(isSetCustomLock(f, kKeepExclusive), 1);
            for (int32_t id = 0; id < 500; ++id) ASSERT_EQ(writeRecord(f, model, id), "");
            if (c.failingWrite != 0) {
                FaultInjector injector;
                injector.arm(FaultKind::writeError, c.failingWrite, c.error);
                EXPECT_EQ(isClose(f), 0) << "the close must report the failed deferred write";
                EXPECT_TRUE(injector.hit());
                EXPECT_EQ(isErrno(f), c.error);
                EXPECT_EQ(isErrio(f), 80 + injector.hitFileKind());
                injector.disarm();
                std::vector<uint8_t> record = modelRecord(250, 0, 0);
                EXPECT_EQ(isRead(f, record.data(), modeEqual), 1) << "the handle must stay usable";
                EXPECT_EQ(compareWithModel(f, model), "");
            }
            EXPECT_EQ(isClose(f), 1);
            EXPECT_EQ(reopenAndCompare(name, mode, model, dir.file("c.wox")), "");
        }
    }
    EXPECT_EQ(givenUpWaits(), waits) << "a call waited for a lock no one else holds";
}

// Four processes, each with its own id range and its own spelling of the
// name, run batches with failing calls under kept exclusive locks with the
// file cache and write-back; each checks its records after every batch,
// and the parent compares the file with the union of their models.
TEST(KeptBatch, SeveralProcessesWithFailingCallsKeepEveryAcknowledgedChange) {
    constexpr int kChildren = 4, kBatches = 12, kSpan = 500;
    ModelSwitches switches(kModelConfigs[4], false);  // the processes wait for each other
    const int mode = kModelConfigs[4].mode();
    TempDir dir;
    const std::u16string name = dir.name("m");
    const Model empty = buildFile(name, mode);
    std::vector<int> pids;
    for (int c = 0; c < kChildren; ++c) {
        pids.push_back(startChild([&, c]() {
            auto fail = [&](const std::string &why) {
                writeText(dir.file("why" + std::to_string(c)), why);
                return 1;
            };
            // A batch takes milliseconds: a wait of many seconds is a lock never released.
            isDeadlockThreshold = 40000;
            lockingDeadLock = [](IsFile *, int32_t, int32_t, int64_t, int32_t) -> int32_t {
                std::_Exit(3);  // reported by the parent as status 3
            };
            IsFile *f = isOpen(spelling(dir, "m", c + 1).c_str(), mode);
            if (f == nullptr) return fail("open failed with " + std::to_string(isErrno(nullptr)));
            Model model = empty;
            model.nextVersion = (c + 1) * 1000000;
            Dice dice(100 + static_cast<uint32_t>(c));
            const RandomOps ops{c * kSpan, kSpan, 20, false};
            for (int batch = 0; batch < kBatches; ++batch) {
                if (isSetCustomLock(f, kKeepExclusive) != 1) return fail("keeping the lock failed");
                for (int n = 5 + dice.below(15); n > 0; --n) {
                    if (std::string why = applyRandomOp(f, model, dice, ops); !why.empty()) {
                        return fail("batch " + std::to_string(batch) + ": " + why);
                    }
                }
                if (isSetCustomLock(f, kEndKept) != 1) return fail("ending the lock failed: " + errorText(f));
                for (int32_t id = ops.idBase; id < ops.idBase + kSpan; ++id) {
                    std::vector<uint8_t> record = modelRecord(id, 0, 0);
                    const int found = isRead(f, record.data(), modeEqual);
                    const auto row = model.rows.find(id);
                    if (row == model.rows.end() ? found != 0 || isErrno(f) != ENOREC
                                                : found != 1 || record != modelRecord(id, row->second.group,
                                                                                     row->second.version)) {
                        return fail("after batch " + std::to_string(batch) + ", id " + std::to_string(id) +
                                    (row == model.rows.end() ? " should be absent" : " is missing or wrong") +
                                    ": read gave " + std::to_string(found) + ", error " + std::to_string(isErrno(f)));
                    }
                }
            }
            if (isClose(f) != 1) return fail("close failed");
            std::ofstream out(dir.file("model" + std::to_string(c)));
            for (const auto &[id, row] : model.rows) out << id << " " << row.group << " " << row.version << "\n";
            return 0;
        }));
    }
    Model all = empty;
    for (int c = 0; c < kChildren; ++c) {
        const int status = waitChild(pids[c]);
        const std::vector<uint8_t> why = readFile(dir.file("why" + std::to_string(c)));
        EXPECT_EQ(status, 0) << "process " << c << ": "
                             << (status == 3 ? "waited for a lock for many seconds" : std::string(why.begin(), why.end()));
        std::ifstream in(dir.file("model" + std::to_string(c)));
        int32_t id, group, version;
        while (in >> id >> group >> version) all.rows[id] = ModelRow{group, version, 0};
    }
    EXPECT_GT(all.rows.size(), 100u);
    EXPECT_EQ(reopenAndCompare(name, mode, all, dir.file("m.wox"), false), "");
}

}  // namespace
}  // namespace wisam
