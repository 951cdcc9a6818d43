// Writers killed with SIGKILL between (or right after) any two writes of a
// run of random writes, rewrites and deletes.  After each kill the file is
// judged twice: by an independent reading of its bytes (the data file's
// slots, the data free list, and every index decoded by the structure
// checker of the test support), and by the check calls.  Every index the
// independent reading finds disagreeing with the data must be flagged, and
// a file found consistent must check clean.  Then the free list and every
// index are rebuilt, and the file must check clean and hold, through every
// index, exactly the records its data file holds.
#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "frame/iscall.h"
#include "index/iskey.h"
#include "index/ispath.h"
#include "structure/isdict.h"
#include "structure/isencode.h"
#include "support/faults.h"
#include "support/model.h"
#include "support/testing.h"
#include "support/treecheck.h"
#include "wisam.h"

namespace wisam {
namespace {

using namespace testing;
using Bytes = std::vector<uint8_t>;

constexpr int kRounds = 120;
constexpr int kOpsPerChild = 60;
constexpr int kMaxWriteTarget = 360;  // a little over what 60 operations write
constexpr int kMode = ISINOUT | ISMANULOCK;
constexpr int32_t kSlot = kModelLength + 1;
constexpr int32_t kBlock = 4096;
constexpr int kIndexes = 3;

int parseDigits(const uint8_t *at, int digits) {
    return std::atoi(std::string(reinterpret_cast<const char *>(at), static_cast<size_t>(digits)).c_str());
}

// What the data file holds, read from its bytes.
struct DataTruth {
    Model model;          // every record in use, by id, with its slot number
    std::set<uint32_t> deleted;
    uint32_t slots = 0;
    std::string torn;     // a slot that is no record this test writes
};

DataTruth readData(const Bytes &wod, const std::vector<KeyDesc> &indexes) {
    DataTruth truth;
    truth.model.indexes = indexes;
    truth.slots = static_cast<uint32_t>(wod.size() / kSlot);
    for (uint32_t r = 1; r <= truth.slots; ++r) {
        const uint8_t *slot = wod.data() + static_cast<size_t>(r - 1) * kSlot;
        if (slot[kModelLength] == 0) {
            truth.deleted.insert(r);
            continue;
        }
        const int32_t id = parseDigits(slot, 8), group = parseDigits(slot + 100, 4),
                      version = parseDigits(slot + 140, 8);
        if (modelRecord(id, group, version) != Bytes(slot, slot + kModelLength) || truth.model.has(id)) {
            truth.torn = "slot " + std::to_string(r);
            continue;
        }
        truth.model.rows[id] = ModelRow{group, version, static_cast<int32_t>(r)};
    }
    return truth;
}

// The data free list as the dictionary and its chain nodes have it agrees
// with the slots, and the dictionary's highest number is the file's.
bool dataConsistent(const Bytes &wox, const DataTruth &truth) {
    if (static_cast<uint32_t>(ld4(wox.data() + kDictDataHighest)) != truth.slots) return false;
    std::multiset<uint32_t> listed;
    uint32_t steps = 0;
    for (uint32_t n = static_cast<uint32_t>(ld4(wox.data() + kDictDataFreeHead)); n != 0; ++steps) {
        if (steps > 1000 || static_cast<size_t>(n) * kBlock > wox.size()) return false;
        const uint8_t *node = wox.data() + static_cast<size_t>(n - 1) * kBlock;
        const int32_t used = ld2(node);
        if (node[kBlock - 3] != 0xFF || node[kBlock - 2] != 0x7F || used < 6 || used > kBlock - 4) return false;
        for (int32_t at = 6; at < used; at += 4) listed.insert(static_cast<uint32_t>(ld4(node + at)));
        n = static_cast<uint32_t>(ld4(node + 2));
    }
    return std::set<uint32_t>(listed.begin(), listed.end()) == truth.deleted && listed.size() == truth.deleted.size();
}

// Whether index `index`, as the structure checker decodes it, holds exactly
// one entry (key, record) for every record in use.
bool indexAgrees(const IsFile *shape, const FileCheck &check, int index, const DataTruth &truth) {
    const std::string prefix = "index " + std::to_string(index) + " ";
    for (const std::string &fault : check.faults) {
        if (fault.rfind(prefix, 0) == 0 || fault.rfind("index " + std::to_string(index) + ":", 0) == 0) return false;
    }
    const TreePath *path = shape->indexes[index];
    std::multiset<std::pair<Bytes, uint32_t>> want, got;
    Bytes key(static_cast<size_t>(path->keyLength));
    for (const auto &[id, row] : truth.model.rows) {
        makeKey(path, key.data(), modelRecord(id, row.group, row.version).data());
        want.emplace(key, static_cast<uint32_t>(row.recnum));
    }
    for (const CheckedEntry &entry : check.indexes[index].entries) got.emplace(entry.key, entry.pointer);
    return want == got;
}

class KilledWriter : public ::testing::Test {
protected:
    void SetUp() override {
        model_.indexes.push_back(modelPayloadKey());
        KeyDesc id = modelIdKey();
        IsFile *f = isBuild(dir_.name("base").c_str(), kModelLength, 0, &id, kMode);
        ASSERT_NE(f, nullptr);
        for (size_t i = 1; i < model_.indexes.size(); ++i) ASSERT_EQ(isAddIndex(f, &model_.indexes[i]), 1);
        Dice dice(5);
        RandomOps ops;
        ops.idSpan = 300;
        for (int op = 0; op < 400; ++op) ASSERT_EQ(applyRandomOp(f, model_, dice, ops), "");
        ASSERT_EQ(isClose(f), 1);
        wox_ = readFile(dir_.file("base.wox"));
        wod_ = readFile(dir_.file("base.wod"));
        // A handle on an untouched copy gives the checker the key
        // descriptions and roots (which no record call changes).
        writeFile(dir_.file("shape.wox"), wox_);
        writeFile(dir_.file("shape.wod"), wod_);
        shape_ = isOpen(dir_.name("shape").c_str(), kMode);
        ASSERT_NE(shape_, nullptr);
    }
    void TearDown() override {
        if (shape_ != nullptr) isClose(shape_);
    }

    // Runs a child that opens the file under its own spelling and changes
    // it until its `target`-th write.
    void runWriter(int round, int target) {
        const int pid = startChild([&] {
            IsFile *f = isOpen(spelling(dir_, "run", 1).c_str(), kMode);
            if (f == nullptr) return 3;
            // The `target`-th write of the run is the last: odd targets
            // are made before the kill, even ones are not.
            FaultPlan faults;
            faults.at(Sys::pwrite, target, Fault::kill(target % 2 == 1 ? Fault::Made::whole : Fault::Made::none));
            Model model = model_;
            Dice dice(static_cast<uint32_t>(1000 + round));
            RandomOps ops;
            ops.idSpan = 300;
            for (int op = 0; op < kOpsPerChild; ++op) applyRandomOp(f, model, dice, ops);
            return isClose(f) == 1 ? 0 : 4;
        });
        const int status = waitChild(pid);
        ASSERT_TRUE(status == 0 || status == 128 + SIGKILL) << "the writer ended with status " << status;
    }

    TempDir dir_;
    Model model_;
    Bytes wox_, wod_;
    IsFile *shape_ = nullptr;
};

// With the journal off: what a writer killed mid-change leaves is damage
// for the checks to find (with it on, the next open puts the files back).
TEST_F(KilledWriter, ChecksFlagEveryDisagreementAndRebuildsRestoreTheData) {
    isJournalMode = 0;
    Dice dice(2024);
    int flaggedRounds = 0;
    for (int round = 0; round < kRounds; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        writeFile(dir_.file("run.wox"), wox_);
        writeFile(dir_.file("run.wod"), wod_);
        runWriter(round, 1 + dice.below(kMaxWriteTarget));
        ASSERT_FALSE(HasFatalFailure());

        const Bytes wox = readFile(dir_.file("run.wox")), wod = readFile(dir_.file("run.wod"));
        const DataTruth truth = readData(wod, model_.indexes);
        ASSERT_EQ(truth.torn, "");
        // The trees alone: the lists a killed writer left may claim their
        // blocks, which the index checks judge apart (bit 6).
        Bytes trees = wox;
        st4(trees.data() + kDictDataFreeHead, 0);
        st4(trees.data() + kDictIndexFreeHead, 0);
        writeFile(dir_.file("trees.wox"), trees);
        const FileCheck structure = checkIndexFile(shape_, dir_.file("trees.wox"));
        const bool dataOk = dataConsistent(wox, truth);
        bool listOk = true;  // the index free list claims no block of a tree, and is a chain
        for (const std::string &fault : checkIndexFile(shape_, dir_.file("run.wox")).faults) {
            if (fault.find("index free list") != std::string::npos) listOk = false;
        }
        bool indexesOk = true;
        IsFile *f = isOpen(dir_.name("run").c_str(), kMode);
        ASSERT_NE(f, nullptr) << "open after the kill failed with " << isErrno(nullptr);
        const int dataFound = isCheckData(f);
        EXPECT_EQ(dataFound != 0, !dataOk) << "data check " << dataFound;
        for (int index = 0; index < kIndexes; ++index) {
            const bool agrees = indexAgrees(shape_, structure, index, truth);
            indexesOk = indexesOk && agrees;
            const int found = isCheckIndex(f, index + 1);
            if (!agrees) {
                EXPECT_NE(found, 0) << "index " << index + 1 << " disagrees with the data unflagged: "
                                    << structure.report() << " entries " << structure.indexes[index].entries.size()
                                    << " records " << truth.model.rows.size() << " slots " << truth.slots << " highest "
                                    << ld4(wox.data() + kDictDataHighest) << " data found " << dataFound
                                    << " deleted " << truth.deleted.size();
            }
            if (agrees && dataOk && listOk) {
                EXPECT_EQ(found, 0) << "index " << index + 1 << " agrees but is flagged";
            }
        }
        if (!dataOk || !indexesOk) ++flaggedRounds;

        ASSERT_EQ(isRebuildFree(f, 2), 1) << isErrno(f);
        for (int index = 1; index <= kIndexes; ++index) ASSERT_EQ(isRebuildIdx(f, index), 1) << isErrno(f);
        EXPECT_EQ(isCheckData(f), 0);
        for (int index = 1; index <= kIndexes; ++index) EXPECT_EQ(isCheckIndex(f, index), 0);
        EXPECT_EQ(compareWithModel(f, truth.model), "");
        const FileCheck rebuilt = checkIndexFile(f, dir_.file("run.wox"));
        EXPECT_TRUE(rebuilt.ok()) << rebuilt.report();
        ASSERT_EQ(isClose(f), 1);
        ASSERT_FALSE(HasFailure());
    }
    // The kills must have hit the middle of changes, or the test proves
    // nothing.
    EXPECT_GT(flaggedRounds, kRounds / 10);
}

}  // namespace
}  // namespace wisam
