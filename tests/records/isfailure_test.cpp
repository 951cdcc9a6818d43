// Failures inside changing calls.  Every changing call (write, rewrite,
// delete, adding and dropping an index, build, the end of a kept lock with
// write-back, the close of a handle keeping a lock) is run again and again
// with its Nth pwrite, pread, fdatasync or ftruncate failing (EIO, ENOSPC,
// short transfers), and with its Nth allocation failing, for N = 1, 2, ...
// until it runs without meeting the fault.  After each run the file is
// compared, in memory and after a reopen, with a model that holds exactly
// the acknowledged operations.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cerrno>
#include <iostream>
#include <span>
#include <string>
#include <vector>

#include "support/faults.h"
#include "support/model.h"
#include "support/testing.h"
#include "wisam.h"

namespace wisam {
namespace {

using namespace testing;

enum class Call { write, rewrite, erase, addIndex, delIndex, build, endKept, close, open, read };

const char *callName(Call call) {
    switch (call) {
    case Call::write: return "Write";
    case Call::rewrite: return "Rewrite";
    case Call::erase: return "Delete";
    case Call::addIndex: return "AddIndex";
    case Call::delIndex: return "DelIndex";
    case Call::build: return "Build";
    case Call::endKept: return "EndKeptLock";
    case Call::close: return "CloseKeptHandle";
    case Call::open: return "Open";
    case Call::read: return "Read";
    }
    return "?";
}

const ModelConfig *const kConfigs = kModelConfigs;
using Config = ModelConfig;
using Switches = ModelSwitches;

constexpr int kPreload = 120;    // even ids 0 .. 238
constexpr int kMaxRuns = 5000;   // a call that meets more faults than this never ends
constexpr int32_t kRewriteId = 100, kDeleteId = 102;
constexpr int kKeepExclusive = 2, kEndKept = 0;

// The faults of one loop: which call of the kind fails, and how.
struct FaultLoop {
    const char *name;
    FaultKind odd, even;  // the kind for odd and even N
    int oddError, evenError;
    bool forceCommit;
};

const FaultLoop kIoLoops[] = {
    {"write", FaultKind::writeError, FaultKind::writeError, EIO, ENOSPC, false},
    {"short_write", FaultKind::shortWrite, FaultKind::shortWrite, 0, 0, false},
    {"read", FaultKind::readError, FaultKind::shortRead, EIO, 0, false},
    {"sync", FaultKind::syncError, FaultKind::syncError, EIO, EIO, true},
    {"truncate", FaultKind::truncateError, FaultKind::truncateError, EIO, ENOSPC, false},
};

// The error number and I/O code a call must report for a fault it met.
std::string judge(int ok, int error, int io, bool hasHandle, FaultKind kind, int injected, int fileKind) {
    if (kind == FaultKind::shortWrite) {
        return ok ? "" : "a short write, which must be continued, failed the call with " + std::to_string(error);
    }
    if (ok) return "";  // met the fault and still succeeded: the model decides whether that is true
    const bool read = kind == FaultKind::readError || kind == FaultKind::shortRead;
    const int wantError = kind == FaultKind::shortRead ? EBADFILE : injected;
    const int wantIo = (read ? 64 : 80) + fileKind;
    if (error != wantError || (hasHandle && io != wantIo)) {
        return "failed with error " + std::to_string(error) + " io " + std::to_string(io) + ", expected " +
               std::to_string(wantError) + " io " + std::to_string(wantIo);
    }
    return "";
}

// A file with two indexes and kPreload records, some deleted (a data free
// list), and the id whose write splits a node; its bytes are restored
// before every run.
class ModelFiles {
public:
    explicit ModelFiles(const Config &config) : config_(config) {}

    int mode() const { return config_.mode(); }
    std::u16string name() const { return dir_.name("run"); }
    std::string wox() const { return dir_.file("run.wox"); }

    // "" or why the base file could not be made.
    std::string make() {
        KeyDesc id = modelIdKey();
        IsFile *f = isBuild(name().c_str(), kModelLength, 0, &id, mode());
        if (f == nullptr) return "build failed with " + std::to_string(isErrno(nullptr));
        KeyDesc group = modelGroupKey();
        if (isAddIndex(f, &group) != 1) return "add index failed with " + errorText(f);
        for (int32_t i = 0; i < kPreload; ++i) {
            if (isWrite(f, modelRecord(2 * i, i % kModelGroups, 0).data()) != 1) return "preload: " + errorText(f);
            base_.wrote(2 * i, i % kModelGroups, 0, isRecnum(f));
        }
        for (int32_t i = kPreload / 2; i < kPreload; i += 4) {  // the upper half: free record numbers
            if (isDelete(f, modelRecord(2 * i, 0, 0).data()) != 1) return "preload delete: " + errorText(f);
            base_.rows.erase(2 * i);
        }
        // Odd ids fill the first leaves; the base is the state just before
        // the write that splits a node.
        for (splitId_ = 1; splitId_ < kPreload; splitId_ += 2) {
            saveBytes();
            const size_t before = readFile(wox()).size();
            if (isWrite(f, modelRecord(splitId_, 1, 0).data()) != 1) return "filling: " + errorText(f);
            if (readFile(wox()).size() > before) break;
            base_.wrote(splitId_, 1, 0, isRecnum(f));
        }
        if (isClose(f) != 1) return "close failed";
        restore();
        return "";
    }

    void restore() const {
        writeFile(dir_.file("run.wox"), wox_);
        writeFile(dir_.file("run.wod"), wod_);
    }
    void erase() const {
        for (const char *ext : {".wox", ".wod", ".lck"}) ::unlink(dir_.file(std::string("run") + ext).c_str());
    }
    // The index and data files that exist, as "run.wox run.wod".
    std::string leftOver() const {
        std::string names;
        for (const char *file : {"run.wox", "run.wod"}) {
            if (fileExists(dir_.file(file))) names += (names.empty() ? "" : " ") + std::string(file);
        }
        return names;
    }
    const Model &base() const { return base_; }
    int32_t splitId() const { return splitId_; }

private:
    void saveBytes() {
        wox_ = readFile(dir_.file("run.wox"));
        wod_ = readFile(dir_.file("run.wod"));
    }

    const Config &config_;
    TempDir dir_;
    Model base_;
    int32_t splitId_ = 0;
    std::vector<uint8_t> wox_, wod_;
};

// Acknowledged changes: `writes` new ids above the preload, and as many
// rewrites and deletes of lower-half ids as `changes`.
std::string batch(IsFile *f, Model &model, int writes, int changes) {
    for (int32_t i = 0; i < writes; ++i) {
        const int32_t id = 1001 + 2 * i;
        if (isWrite(f, modelRecord(id, i % kModelGroups, 1).data()) != 1) return "batch write: " + errorText(f);
        if (std::string why = model.wrote(id, i % kModelGroups, 1, isRecnum(f)); !why.empty()) return why;
    }
    for (int32_t i = 0; i < changes; ++i) {  // ids of the upper half that are not deleted
        const int32_t rewritten = 154 + 8 * i, deleted = 156 + 8 * i;
        ModelRow &row = model.rows.at(rewritten);
        row.group = (row.group + 3) % kModelGroups;
        row.version += 1;
        if (isRewrite(f, modelRecord(rewritten, row.group, row.version).data()) != 1) return "batch rewrite: " + errorText(f);
        if (isDelete(f, modelRecord(deleted, 0, 0).data()) != 1) return "batch delete: " + errorText(f);
        model.rows.erase(deleted);
    }
    return "";
}

// The call under test; applies it to the model when it succeeded.
int runCall(Call call, IsFile *f, Model &model, int32_t splitId, std::string &why) {
    int ok = 0;
    switch (call) {
    case Call::write:
        ok = isWrite(f, modelRecord(splitId, 1, 0).data());
        if (ok) why = model.wrote(splitId, 1, 0, isRecnum(f));
        break;
    case Call::rewrite: {
        ModelRow row = model.rows.at(kRewriteId);
        ok = isRewrite(f, modelRecord(kRewriteId, (row.group + 1) % kModelGroups, row.version + 1).data());
        if (ok) model.rows[kRewriteId] = ModelRow{(row.group + 1) % kModelGroups, row.version + 1, row.recnum};
        break;
    }
    case Call::erase:
        ok = isDelete(f, modelRecord(kDeleteId, 0, 0).data());
        if (ok) model.rows.erase(kDeleteId);
        break;
    case Call::addIndex: {
        KeyDesc key = modelPayloadKey();
        ok = isAddIndex(f, &key);
        if (ok) model.indexes.push_back(modelPayloadKey());
        break;
    }
    case Call::delIndex: {
        KeyDesc key = modelGroupKey();
        ok = isDelIndex(f, &key);
        if (ok) model.dropIndex(key);
        break;
    }
    case Call::read: {
        std::vector<uint8_t> record = modelRecord(kRewriteId, 0, 0);
        ok = isRead(f, record.data(), modeEqual);
        const ModelRow &row = model.rows.at(kRewriteId);
        if (ok && record != modelRecord(kRewriteId, row.group, row.version)) why = "the read delivered another record";
        break;
    }
    default:
        break;
    }
    return ok;
}

// The fault loops: the I/O loops, or the allocation loop.
struct Param {
    Call call;
    int config;
    bool allocation;
};

void PrintTo(const Param &param, std::ostream *out) {
    *out << callName(param.call) << " " << kConfigs[param.config].name << (param.allocation ? " allocation" : " io");
}

class FailureLoop : public ::testing::TestWithParam<Param> {
protected:
    // One run with the Nth call of `kind` failing; "" or what went wrong.
    std::string run(FaultKind kind, int n, int error) {
        const int waits = givenUpWaits();
        const size_t live = injector.liveBlocks();
        std::string why = call == Call::build                            ? runBuild(kind, n, error)
                          : call == Call::open                           ? runOpen(n)
                          : call == Call::endKept || call == Call::close ? runKeptEnd(kind, n, error)
                                                                         : runOrdinary(kind, n, error);
        isCleanUp();  // a run that went wrong may leave its handle open
        if (why.empty() && givenUpWaits() != waits) why = "a call waited for a lock that no one else holds";
        if (why.empty() && injector.liveBlocks() > live) {
            why = std::to_string(injector.liveBlocks() - live) + " allocated blocks are never freed";
        }
        return why;
    }

    // What a call that returned `ok` must have reported.
    std::string verdict(int ok, IsFile *f, FaultKind kind, int error) {
        if (!ok && !injector.hit()) return "failed without meeting a fault: " + errorText(f);
        if (kind != FaultKind::allocation) {
            return judge(ok, isErrno(f), isErrio(f), f != nullptr, kind, error, injector.hitFileKind());
        }
        return ok || isErrno(f) == EBADMEM ? "" : "failed with " + std::to_string(isErrno(f)) + ", expected 116";
    }

    std::string runOrdinary(FaultKind kind, int n, int error) {
        files.restore();
        Model model = files.base();
        IsFile *f = isOpen(files.name().c_str(), files.mode());
        if (f == nullptr) return "open failed with " + std::to_string(isErrno(nullptr));
        // With write-back, enough dirty blocks that the call evicts some.
        if (config.writeBack) isSetCustomLock(f, kKeepExclusive);
        if (std::string why = config.writeBack ? batch(f, model, 30, 10) : batch(f, model, 3, 2); !why.empty()) {
            return why;
        }
        injector.arm(kind, n, error);
        std::string why;
        const int ok = runCall(call, f, model, files.splitId(), why);
        injector.disarm();
        if (!why.empty()) return why;
        if (std::string bad = verdict(ok, f, kind, error); !bad.empty()) return bad;
        if (std::string diff = compareWithModel(f, model, true, !config.writeBack); !diff.empty()) {
            return "in memory: " + diff;
        }
        if (config.writeBack && isSetCustomLock(f, kEndKept) != 1) return "ending the kept lock failed: " + errorText(f);
        if (isClose(f) != 1) return "close failed: " + errorText(f);
        return reopenAndCompare(files.name(), files.mode(), model, files.wox());
    }

    // A batch under a kept exclusive lock, then the end of the lock (or the
    // close) with the fault; a failed end is retried, a failed close leaves
    // a usable handle to close again.
    std::string runKeptEnd(FaultKind kind, int n, int error) {
        files.restore();
        Model model = files.base();
        IsFile *f = isOpen(files.name().c_str(), files.mode());
        if (f == nullptr) return "open failed with " + std::to_string(isErrno(nullptr));
        isSetCustomLock(f, kKeepExclusive);
        if (std::string why = batch(f, model, 30, 10); !why.empty()) return why;
        injector.arm(kind, n, error);
        const int ok = call == Call::close ? isClose(f) : isSetCustomLock(f, kEndKept);
        injector.disarm();
        if (ok && call == Call::close) return reopenAndCompare(files.name(), files.mode(), model, files.wox());
        if (std::string bad = verdict(ok, f, kind, error); !bad.empty()) return bad;
        if (std::string diff = compareWithModel(f, model); !diff.empty()) return "in memory after the failure: " + diff;
        if (call == Call::endKept && isSetCustomLock(f, kEndKept) != 1) return "the retried end failed: " + errorText(f);
        if (isClose(f) != 1) return "the " + std::string(call == Call::close ? "second " : "") + "close failed: " + errorText(f);
        return reopenAndCompare(files.name(), files.mode(), model, files.wox());
    }

    // A failed build leaves nothing behind, so that the name can be built.
    std::string runBuild(FaultKind kind, int n, int error) {
        files.erase();
        KeyDesc id = modelIdKey();
        injector.arm(kind, n, error);
        IsFile *f = isBuild(files.name().c_str(), kModelLength, 0, &id, files.mode());
        injector.disarm();
        if (f == nullptr) {
            if (std::string bad = verdict(0, nullptr, kind, error); !bad.empty()) return bad;
            if (std::string left = files.leftOver(); !left.empty()) return "the failed build leaves " + left + " behind";
            f = isBuild(files.name().c_str(), kModelLength, 0, &id, files.mode());
            if (f == nullptr) return "a build after the failed one fails with " + std::to_string(isErrno(nullptr));
        }
        Model model;
        model.indexes = {modelIdKey()};
        if (config.writeBack) isSetCustomLock(f, kKeepExclusive);
        for (int32_t i = 0; i < 20; ++i) {
            if (isWrite(f, modelRecord(i, i % kModelGroups, 0).data()) != 1) return "write after build: " + errorText(f);
            model.wrote(i, i % kModelGroups, 0, isRecnum(f));
        }
        if (config.writeBack && isSetCustomLock(f, kEndKept) != 1) return "ending the kept lock failed: " + errorText(f);
        if (isClose(f) != 1) return "close failed: " + errorText(f);
        return reopenAndCompare(files.name(), files.mode(), model, files.wox());
    }

    std::string runOpen(int n) {
        files.restore();
        injector.arm(FaultKind::allocation, n, 0);
        IsFile *f = isOpen(files.name().c_str(), files.mode());
        injector.disarm();
        if (f == nullptr) {
            if (std::string bad = verdict(0, nullptr, FaultKind::allocation, 0); !bad.empty()) return bad;
            return reopenAndCompare(files.name(), files.mode(), files.base());
        }
        std::string why = compareWithModel(f, files.base(), true, true);
        isClose(f);
        return why;
    }

    const Call call = GetParam().call;
    const Config &config = kConfigs[GetParam().config];
    Switches switches{config};
    ModelFiles files{config};
    FaultInjector injector;
};

const FaultLoop kAllocationLoops[] = {
    {"allocation", FaultKind::allocation, FaultKind::allocation, 0, 0, false},
};

TEST_P(FailureLoop, EveryFaultLeavesExactlyTheAcknowledgedState) {
    ASSERT_EQ(files.make(), "");
    for (const FaultLoop &loop : GetParam().allocation ? std::span<const FaultLoop>(kAllocationLoops)
                                                       : std::span<const FaultLoop>(kIoLoops)) {
        isForceCommit = loop.forceCommit;
        int runs = 0;
        for (int n = 1;; ++n) {
            const bool odd = n % 2 == 1;
            const std::string why = run(odd ? loop.odd : loop.even, n, odd ? loop.oddError : loop.evenError);
            if (!why.empty()) {
                ADD_FAILURE() << callName(call) << " " << config.name << ", " << loop.name << " fault at call " << n
                              << ": " << why;
                break;
            }
            if (!injector.hit()) break;
            ++runs;
            if (n == kMaxRuns) {
                ADD_FAILURE() << loop.name << ": still meeting faults after " << n << " runs";
                break;
            }
        }
        isForceCommit = 0;
        // Calls that must write (or allocate a handle) meet the fault at
        // least once, or the loop tested nothing.
        const bool mustMeet = loop.odd == FaultKind::allocation
                                  ? call == Call::build || call == Call::open
                                  : loop.odd == FaultKind::writeError &&
                                        (!config.writeBack || call == Call::build || call == Call::endKept || call == Call::close);
        if (mustMeet) {
            EXPECT_GT(runs, 0) << loop.name << ": the call never met the fault";
        }
        RecordProperty(loop.name, runs);
        std::cout << "[   runs   ] " << callName(call) << "/" << config.name << " " << loop.name << ": " << runs
                  << " faulted runs\n";
    }
}

std::vector<Param> params(std::initializer_list<Call> calls, std::initializer_list<int> configs, bool allocation) {
    std::vector<Param> all;
    for (Call call : calls) {
        for (int config : configs) all.push_back(Param{call, config, allocation});
    }
    return all;
}

std::string paramName(const ::testing::TestParamInfo<Param> &info) {
    return std::string(callName(info.param.call)) + "_" + kConfigs[info.param.config].name;
}

INSTANTIATE_TEST_SUITE_P(FailureIo, FailureLoop,
                         ::testing::ValuesIn(params({Call::write, Call::rewrite, Call::erase, Call::addIndex,
                                                     Call::delIndex, Call::build, Call::endKept, Call::close},
                                                    {0, 1, 2, 3, 4, 5}, false)),
                         paramName);

// Allocation failures, without and with the file cache: the call fails
// with 116 (a cache that cannot be made is simply absent) and no block is
// left allocated once every handle is closed.
INSTANTIATE_TEST_SUITE_P(FailureAlloc, FailureLoop,
                         ::testing::ValuesIn(params({Call::build, Call::open, Call::write, Call::read, Call::addIndex},
                                                    {0, 2}, true)),
                         paramName);

}  // namespace
}  // namespace wisam
