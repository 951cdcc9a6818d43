// Checking and rebuilding.  One file is damaged on purpose in every way a
// check must see (slot markers, the highest record number, data free-list
// entries and chain, index entries missing, pointing at deleted slots or at
// records with another key, out of order, damaged nodes, a damaged index
// free list); each damage must give exactly its bits, and the rebuilds must
// leave a file that checks clean, whose every record is reachable through
// every index, whose blocks are all accounted for, and that takes further
// changes.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "frame/iscall.h"
#include "index/ispath.h"
#include "maint/ischeck.h"
#include "maint/isextent.h"
#include "records/isslot.h"
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

constexpr int kRecords = 300;
constexpr int kMode = ISINOUT | ISMANULOCK;
constexpr int32_t kSlot = kModelLength + 1;
constexpr int32_t kBlock = 4096;
constexpr int32_t kIdEntry = 100 + 4;        // key + record pointer
constexpr int32_t kGroupEntry = 40 + 4 + 4;  // key + serial + record pointer

bool deletedInBase(int32_t id) { return id % 7 == 3; }

struct Bits {
    int data, primary, group;
    bool operator==(const Bits &) const = default;
};

std::string show(const Bits &b) {
    return "data " + std::to_string(b.data) + ", index 1 " + std::to_string(b.primary) + ", index 2 " +
           std::to_string(b.group);
}

Bits checkAll(IsFile *f) { return Bits{isCheckData(f), isCheckIndex(f, 1), isCheckIndex(f, 2)}; }

// The bytes of a file with two indexes, kRecords records (every seventh
// deleted, so the data free list has numbers), and where its structures lie.
struct BaseFile {
    TempDir dir;
    Model model;
    Bytes wox, wod;
    uint32_t idLeaf = 0, groupLeaf = 0, idRoot = 0;

    std::u16string name() const { return dir.name("run"); }
    std::string woxPath() const { return dir.file("run.wox"); }
    std::string wodPath() const { return dir.file("run.wod"); }

    void make() {
        KeyDesc id = modelIdKey();
        IsFile *f = isBuild(name().c_str(), kModelLength, 0, &id, kMode);
        ASSERT_NE(f, nullptr);
        KeyDesc group = modelGroupKey();
        ASSERT_EQ(isAddIndex(f, &group), 1);
        for (int32_t i = 0; i < kRecords; ++i) {
            ASSERT_EQ(isWrite(f, modelRecord(i, i % kModelGroups, 0).data()), 1);
            ASSERT_EQ(model.wrote(i, i % kModelGroups, 0, isRecnum(f)), "");
        }
        for (int32_t i = 0; i < kRecords; ++i) {
            if (!deletedInBase(i)) continue;
            ASSERT_EQ(isDelete(f, modelRecord(i, 0, 0).data()), 1);
            model.rows.erase(i);
        }
        ASSERT_EQ(inCall(f, kAccessRead, [&] {
                      idRoot = f->indexes[0]->rootNode;
                      treeFirst(f, f->indexes[0]);
                      idLeaf = f->indexes[0]->head->number;
                      treeFirst(f, f->indexes[1]);
                      groupLeaf = f->indexes[1]->head->number;
                      return 1;
                  }),
                  1);
        ASSERT_EQ(checkAll(f), (Bits{0, 0, 0}));
        ASSERT_EQ(isClose(f), 1);
        ASSERT_NE(idRoot, idLeaf) << "the primary index must have more than one level";
        wox = readFile(woxPath());
        wod = readFile(wodPath());
    }
};

// One damage: what it does to the bytes (and to the set of records the data
// file holds), and the findings it must give before and after the rebuild.
struct Damage {
    const char *name;
    std::function<void(BaseFile &, Bytes &wox, Bytes &wod, Model &model)> apply;
    Bits found;
    int dataAfterRebuild = 0;  // a record's own bytes are not rebuilt
};

uint8_t *block(Bytes &wox, uint32_t n) { return wox.data() + static_cast<size_t>(n - 1) * kBlock; }
uint8_t *marker(Bytes &wod, int32_t record) { return wod.data() + static_cast<size_t>(record - 1) * kSlot + kModelLength; }
int32_t recordOf(int32_t id) { return id + 1; }

void swapEntries(uint8_t *node, int32_t size, int32_t a, int32_t b) {
    std::vector<uint8_t> held(node + 2 + a * size, node + 2 + (a + 1) * size);
    std::memcpy(node + 2 + a * size, node + 2 + b * size, static_cast<size_t>(size));
    std::memcpy(node + 2 + b * size, held.data(), static_cast<size_t>(size));
}

const Damage kDamages[] = {
    {"marker_of_live_record_garbled",
     [](BaseFile &, Bytes &, Bytes &wod, Model &) { *marker(wod, recordOf(121)) = 0x55; },
     {kCheckRecordCorrupt, 0, 0}, kCheckRecordCorrupt},
    {"live_record_marked_deleted",
     [](BaseFile &, Bytes &, Bytes &wod, Model &model) {
         *marker(wod, recordOf(12)) = 0;
         model.rows.erase(12);
     },
     {kCheckDataFreeList, kCheckIndexData | kCheckIndexCount, kCheckIndexData | kCheckIndexCount}},
    {"deleted_record_marked_live",
     [](BaseFile &, Bytes &, Bytes &wod, Model &model) {
         *marker(wod, recordOf(17)) = kSlotMarkerInUse;
         model.rows[17] = ModelRow{17 % kModelGroups, 0, recordOf(17)};
     },
     {kCheckDataFreeList, kCheckIndexCount, kCheckIndexCount}},
    {"highest_record_number_too_low",
     [](BaseFile &, Bytes &wox, Bytes &, Model &) { st4(wox.data() + kDictDataHighest, kRecords - 1); },
     {kCheckDataFreeList, 0, 0}},
    {"free_list_entry_names_live_record",
     [](BaseFile &, Bytes &wox, Bytes &, Model &) {
         const uint32_t head = static_cast<uint32_t>(ld4(wox.data() + kDictDataFreeHead));
         st4(block(wox, head) + 6, recordOf(11));
     },
     {kCheckDataFreeList, 0, 0}},
    {"free_list_head_is_a_tree_node",
     [](BaseFile &base, Bytes &wox, Bytes &, Model &) { st4(wox.data() + kDictDataFreeHead, static_cast<int32_t>(base.idLeaf)); },
     {kCheckDataFreeList, 0, 0}},
    {"index_entry_missing",
     [](BaseFile &base, Bytes &wox, Bytes &, Model &) {
         uint8_t *leaf = block(wox, base.idLeaf);
         const int32_t used = ld2(leaf) - kIdEntry;
         std::memset(leaf + used, 0, kIdEntry);
         st2(leaf, used);
     },
     {0, kCheckIndexCount, 0}},
    {"index_entry_points_at_deleted_slot",
     [](BaseFile &base, Bytes &wox, Bytes &, Model &) {
         uint8_t *leaf = block(wox, base.idLeaf);
         st4(leaf + ld2(leaf) - 4, recordOf(3));
     },
     {0, kCheckIndexData, 0}},
    {"index_entry_points_at_record_with_other_key",
     [](BaseFile &base, Bytes &wox, Bytes &, Model &) {
         uint8_t *leaf = block(wox, base.idLeaf);
         std::memcpy(leaf + 2 + 100, leaf + 2 + kIdEntry + 100, 4);
     },
     {0, kCheckIndexData, 0}},
    {"index_entries_out_of_order",
     [](BaseFile &base, Bytes &wox, Bytes &, Model &) { swapEntries(block(wox, base.idLeaf), kIdEntry, 0, 1); },
     {0, kCheckKeyOrder, 0}},
    {"duplicate_index_entries_out_of_order",
     [](BaseFile &base, Bytes &wox, Bytes &, Model &) {
         uint8_t *leaf = block(wox, base.groupLeaf);
         const int32_t entries = (ld2(leaf) - 2) / kGroupEntry;
         int32_t other = entries - 1;
         while (other > 0 && std::memcmp(leaf + 2, leaf + 2 + other * kGroupEntry, 40) == 0) --other;
         swapEntries(leaf, kGroupEntry, 0, other);
     },
     {0, 0, kCheckKeyOrder}},
    {"leaf_with_wrong_block_kind",
     [](BaseFile &base, Bytes &wox, Bytes &, Model &) { block(wox, base.idLeaf)[kBlock - 3] = 0xFF; },
     {0, kCheckIndexFailed, 0}},
    {"child_pointer_outside_the_file",
     [](BaseFile &base, Bytes &wox, Bytes &, Model &) { st4(block(wox, base.idRoot) + 2 + 100, 0x00FFFFFF); },
     {0, kCheckIndexFailed, 0}},
    {"index_free_list_head_is_a_tree_node",
     [](BaseFile &base, Bytes &wox, Bytes &, Model &) { st4(wox.data() + kDictIndexFreeHead, static_cast<int32_t>(base.groupLeaf)); },
     {0, kCheckNodeMagic, kCheckNodeMagic}},
};

class DamagedFile : public ::testing::TestWithParam<Damage> {
protected:
    static void SetUpTestSuite() {
        base_ = new BaseFile;
        base_->make();
    }
    static void TearDownTestSuite() {
        delete base_;
        base_ = nullptr;
    }
    static BaseFile *base_;
};
BaseFile *DamagedFile::base_ = nullptr;

TEST_P(DamagedFile, IsFoundWithItsBitsAndRebuiltClean) {
    ASSERT_FALSE(HasFatalFailure());
    const Damage &damage = GetParam();
    BaseFile &base = *base_;
    Model model = base.model;
    Bytes wox = base.wox, wod = base.wod;
    damage.apply(base, wox, wod, model);
    writeFile(base.woxPath(), wox);
    writeFile(base.wodPath(), wod);

    IsFile *f = isOpen(base.name().c_str(), kMode);
    ASSERT_NE(f, nullptr) << isErrno(nullptr);
    const Bits found = checkAll(f);
    EXPECT_EQ(found, damage.found) << "found " << show(found) << ", expected " << show(damage.found);
    // The checks changed nothing.
    EXPECT_EQ(readFile(base.woxPath()), wox);
    EXPECT_EQ(readFile(base.wodPath()), wod);

    ASSERT_EQ(isRebuildFree(f, 2), 1) << errorText(f);
    ASSERT_EQ(isRebuildIdx(f, 1), 1) << errorText(f);
    ASSERT_EQ(isRebuildIdx(f, 2), 1) << errorText(f);
    const Bits after = checkAll(f);
    EXPECT_EQ(after, (Bits{damage.dataAfterRebuild, 0, 0})) << show(after);
    EXPECT_EQ(compareWithModel(f, model), "");
    const FileCheck structure = checkIndexFile(f, base.woxPath());
    EXPECT_TRUE(structure.ok()) << structure.report();

    // The rebuilt lists hand out numbers nobody else uses.
    for (int32_t i = 0; i < 60; ++i) {
        const int32_t id = 1000 + i;
        ASSERT_EQ(isWrite(f, modelRecord(id, i % kModelGroups, 1).data()), 1) << errorText(f);
        ASSERT_EQ(model.wrote(id, i % kModelGroups, 1, isRecnum(f)), "");
    }
    for (int32_t id = 0; id < 120; id += 3) {
        if (!model.has(id)) continue;
        ASSERT_EQ(isDelete(f, modelRecord(id, 0, 0).data()), 1) << errorText(f);
        model.rows.erase(id);
    }
    EXPECT_EQ(checkAll(f), (Bits{damage.dataAfterRebuild, 0, 0}));
    EXPECT_EQ(compareWithModel(f, model), "");
    const FileCheck later = checkIndexFile(f, base.woxPath());
    EXPECT_TRUE(later.ok()) << later.report();
    EXPECT_EQ(isClose(f), 1);
}

INSTANTIATE_TEST_SUITE_P(Checks, DamagedFile, ::testing::ValuesIn(kDamages),
                         [](const ::testing::TestParamInfo<Damage> &info) { return std::string(info.param.name); });

// The calls' arguments, failures and edge cases, on one file.
TEST(Check, ArgumentsEmptyFilesAndFailures) {
    TempDir dir;
    KeyDesc id = modelIdKey();
    IsFile *f = isBuild(dir.name("e").c_str(), kModelLength, 0, &id, kMode);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(isCheckData(f), 0);
    EXPECT_EQ(isCheckIndex(f, 1), 0);
    EXPECT_EQ(isCheckIndex(f, 0), 8);
    EXPECT_EQ(isErrno(f), EBADARG);
    EXPECT_EQ(isCheckIndex(f, 2), 8);
    EXPECT_EQ(isRebuildFree(f, 1), 0);
    EXPECT_EQ(isErrno(f), EBADARG);
    EXPECT_EQ(isRebuildIdx(f, 0), 0);
    EXPECT_EQ(isErrno(f), EBADARG);
    EXPECT_EQ(isRebuildIdx(f, 2), 0);
    EXPECT_EQ(isRebuildFree(f, 2), 1);
    EXPECT_EQ(isRebuildIdx(f, 1), 1);
    EXPECT_EQ(isCheckIndex(f, 1), 0);
    EXPECT_EQ(isCheckData(nullptr), 1);
    EXPECT_EQ(isCheckIndex(nullptr, 1), 8);
    EXPECT_EQ(isRebuildFree(nullptr, 2), 0);
    EXPECT_EQ(isRebuildIdx(nullptr, 1), 0);

    // A deleted record on the free list is no finding.
    ASSERT_EQ(isWrite(f, modelRecord(1, 1, 0).data()), 1);
    ASSERT_EQ(isWrite(f, modelRecord(2, 1, 0).data()), 1);
    ASSERT_EQ(isDelete(f, modelRecord(1, 1, 0).data()), 1);
    EXPECT_EQ(isCheckData(f), 0);
    EXPECT_EQ(isCheckIndex(f, 1), 0);

    // A precious file has no data free list to rebuild.
    ASSERT_EQ(isPrecious(f, 1), 1);
    EXPECT_EQ(isRebuildFree(f, 2), 1);
    EXPECT_EQ(isCheckData(f), 0);
    EXPECT_EQ(isCheckIndex(f, 1), 0);
    ASSERT_EQ(isClose(f), 1);

    // A file without records: the data check and the rebuilds refuse it.
    KeyDesc key = keyAt(0, 8, ISTYPE_CHAR);
    IsFile *keys = isBuild(dir.name("k").c_str(), 0, 0, &key, kMode);
    ASSERT_NE(keys, nullptr);
    EXPECT_EQ(isCheckData(keys), 1);
    EXPECT_EQ(isErrno(keys), EBADARG);
    EXPECT_EQ(isRebuildFree(keys, 2), 0);
    EXPECT_EQ(isRebuildIdx(keys, 1), 0);
    EXPECT_EQ(isCheckIndex(keys, 1), 0);
    ASSERT_EQ(isClose(keys), 1);

    EXPECT_STREQ(isCheckMsg[0], "data file read error");
    EXPECT_STREQ(isCheckMsg[7], "index/data mismatch");
    EXPECT_STREQ(isCheckMsg[15], "data record length mismatch");
    for (int bit = 8; bit <= 10; ++bit) EXPECT_STREQ(isCheckMsg[bit], "");
}

// A data file longer than the dictionary says (a writer killed after its
// slot): the check sees the extra record, but the handle keeps the number
// the dictionary has, also on an exclusive handle that is never refreshed.
TEST(Check, SlotsPastTheHighestNumberLeaveTheHandleAsItWas) {
    TempDir dir;
    KeyDesc id = modelIdKey();
    IsFile *f = isBuild(dir.name("x").c_str(), kModelLength, 0, &id, kMode | ISEXCLLOCK);
    ASSERT_NE(f, nullptr);
    for (int32_t i = 0; i < 5; ++i) ASSERT_EQ(isWrite(f, modelRecord(i, 0, 0).data()), 1);
    ASSERT_EQ(isSetLastRec(f, 4), 1);
    EXPECT_EQ(isCheckData(f), static_cast<int>(kCheckDataFreeList));
    EXPECT_EQ(isCheckIndex(f, 1), 0) << "the index agrees with the data file";
    int32_t last = 0;
    ASSERT_EQ(isGetLastRec(f, &last), 1);
    EXPECT_EQ(last, 4);
    ASSERT_EQ(isRebuildFree(f, 2), 1);
    ASSERT_EQ(isGetLastRec(f, &last), 1);
    EXPECT_EQ(last, 5);
    EXPECT_EQ(isCheckData(f), 0);
    EXPECT_EQ(isCheckIndex(f, 1), 0);
    ASSERT_EQ(isClose(f), 1);
}

// The data file against the dictionary's highest record number.  Each
// set-up changes the closed files of a file with kExtentRecords records
// (fixed or variable length); the checks must give exactly their bits with
// no error, change nothing, and never read far into any file: the data file
// may be extended sparse by a terabyte, and a read past kReadBound fails.
constexpr int32_t kExtentLength = 20;
constexpr int32_t kExtentMaximum = 60;
constexpr int32_t kExtentRecords = 5;
constexpr int64_t kReadBound = 16 << 20;
constexpr int64_t kSparseBytes = int64_t{1} << 40;
constexpr int64_t kSparseFallback = int64_t{64} << 30;  // where the file system refuses a terabyte

int32_t extentSlot(bool variable) { return kExtentLength + 1 + (variable ? 6 : 0); }

void setHighest(const TempDir &dir, int32_t highest) {
    Bytes wox = readFile(dir.file("x.wox"));
    st4(wox.data() + kDictDataHighest, highest);
    writeFile(dir.file("x.wox"), wox);
}

// Sets the data file's length, sparse when it grows.
void setLength(const TempDir &dir, int64_t bytes) {
    ASSERT_EQ(::truncate(dir.file("x.wod").c_str(), bytes), 0) << std::strerror(errno);
}

void extendSparse(const TempDir &dir) {
    if (::truncate(dir.file("x.wod").c_str(), kSparseBytes) != 0) setLength(dir, kSparseFallback);
}

struct ExtentCase {
    const char *name;
    std::function<void(const TempDir &, int32_t slot)> apply;
    int data, index, varlen;
};

const ExtentCase kExtentCases[] = {
    {"data_file_as_the_dictionary_says", [](const TempDir &, int32_t) {}, 0, 0, 0},
    {"highest_one_below_the_slots", [](const TempDir &d, int32_t) { setHighest(d, kExtentRecords - 1); },
     kCheckDataFreeList, 0, 0},
    {"highest_one_above_the_slots", [](const TempDir &d, int32_t) { setHighest(d, kExtentRecords + 1); },
     kCheckDataFreeList, kCheckIndexCount, 0},
    {"highest_far_above_the_slots", [](const TempDir &d, int32_t) { setHighest(d, 1000000); },
     kCheckDataFreeList, kCheckIndexCount, 0},
    {"data_file_extended_sparse", [](const TempDir &d, int32_t) { extendSparse(d); }, kCheckDataFreeList, 0, 0},
    {"data_file_extended_sparse_and_highest_above",
     [](const TempDir &d, int32_t) {
         extendSparse(d);
         setHighest(d, 100000);  // records the data file holds, deleted
     },
     kCheckDataFreeList, kCheckIndexCount, 0},
    {"data_file_cut_short_mid_slot",
     [](const TempDir &d, int32_t slot) { setLength(d, (kExtentRecords - 1) * slot + slot / 2); },
     kCheckDataFreeList, kCheckIndexData | kCheckIndexCount, 0},
    {"data_file_cut_short_at_a_slot_end",
     [](const TempDir &d, int32_t slot) { setLength(d, (kExtentRecords - 2) * slot); },
     kCheckDataFreeList, kCheckIndexData | kCheckIndexCount, 0},
    {"part_of_a_slot_past_the_highest",
     [](const TempDir &d, int32_t slot) { setLength(d, kExtentRecords * slot + slot - 1); }, 0, 0, 0},
    {"live_slot_past_the_highest_not_in_the_index",
     [](const TempDir &d, int32_t slot) {
         Bytes wod = readFile(d.file("x.wod"));
         Bytes extra(wod.end() - slot, wod.end());
         stLong(777, reinterpret_cast<char *>(extra.data()));
         wod.insert(wod.end(), extra.begin(), extra.end());
         writeFile(d.file("x.wod"), wod);
     },
     kCheckDataFreeList, kCheckIndexCount, 0},
    {"live_slot_far_past_the_highest_not_read",
     [](const TempDir &d, int32_t slot) {
         Bytes wod = readFile(d.file("x.wod"));
         Bytes extra(wod.end() - slot, wod.end());
         stLong(777, reinterpret_cast<char *>(extra.data()));
         wod.resize(wod.size() + static_cast<size_t>(kSlotsSeenPastHighest) * slot);
         wod.insert(wod.end(), extra.begin(), extra.end());
         writeFile(d.file("x.wod"), wod);
     },
     kCheckDataFreeList, 0, 0},
};

class DataExtentCheck : public ::testing::TestWithParam<std::tuple<ExtentCase, bool>> {};

TEST_P(DataExtentCheck, GivesItsBitsWithoutErrorReadingOnlyTheRecords) {
    const auto &[c, variable] = GetParam();
    TempDir dir;
    KeyDesc id = keyAt(0, 4, ISTYPE_LONG);
    const int mode = kMode | (variable ? ISVARLEN : 0);
    IsFile *f = isBuild(dir.name("x").c_str(), kExtentLength, variable ? kExtentMaximum : 0, &id, mode);
    ASSERT_NE(f, nullptr);
    for (int32_t i = 1; i <= kExtentRecords; ++i) {
        std::vector<char> record(static_cast<size_t>(variable ? kExtentMaximum : kExtentLength), 'v');
        stLong(i, record.data());
        isSetlen(f, variable ? kExtentLength + 8 * i : kExtentLength);
        ASSERT_EQ(isWrite(f, record.data()), 1) << isErrno(f);
    }
    ASSERT_EQ(isClose(f), 1);
    const int32_t slot = extentSlot(variable);
    ASSERT_EQ(readFile(dir.file("x.wod")).size(), static_cast<size_t>(kExtentRecords * slot));
    c.apply(dir, slot);
    if (HasFatalFailure()) return;
    const Bytes wox = readFile(dir.file("x.wox"));
    struct stat before{};
    ASSERT_EQ(::stat(dir.file("x.wod").c_str(), &before), 0);

    f = isOpen(dir.name("x").c_str(), (kMode & ~ISINOUT) | ISINPUT | (variable ? ISOPENVARLEN : 0));
    ASSERT_NE(f, nullptr) << isErrno(nullptr);
    {
        FaultPlan faults;
        faults.failFrom(Sys::pread, 1, EIO).reachingPast(kReadBound);
        EXPECT_EQ(isCheckData(f), c.data);
        EXPECT_EQ(isErrno(f), 0);
        EXPECT_EQ(isCheckIndex(f, 1), c.index);
        EXPECT_EQ(isErrno(f), 0);
        if (variable) {
            int32_t stats[6] = {};
            EXPECT_EQ(isCheckVarlen(f, stats), c.varlen);
            EXPECT_EQ(isErrno(f), 0);
        }
    }
    int32_t last = 0;
    ASSERT_EQ(isGetLastRec(f, &last), 1);
    EXPECT_EQ(last, static_cast<int32_t>(ld4(wox.data() + kDictDataHighest)));
    ASSERT_EQ(isClose(f), 1);
    struct stat after{};
    ASSERT_EQ(::stat(dir.file("x.wod").c_str(), &after), 0);
    EXPECT_EQ(after.st_size, before.st_size);
    EXPECT_EQ(readFile(dir.file("x.wox")), wox);
}

INSTANTIATE_TEST_SUITE_P(Checks, DataExtentCheck,
                         ::testing::Combine(::testing::ValuesIn(kExtentCases), ::testing::Bool()),
                         [](const ::testing::TestParamInfo<std::tuple<ExtentCase, bool>> &info) {
                             return std::string(std::get<0>(info.param).name) +
                                    (std::get<1>(info.param) ? "_variable" : "_fixed");
                         });

// Records a kept exclusive lock holds back in the data cache, past the
// data file's end, are records like any other; numbers reserved with
// isLastRec are numbers not in use, counted but never read.
TEST(Check, RecordsHeldBackAndNumbersReservedAreJudgedWithoutError) {
    for (const ModelConfig &config : kModelConfigs) {
        SCOPED_TRACE(config.name);
        ModelSwitches switches(config);
        TempDir dir;
        KeyDesc id = modelIdKey();
        IsFile *f = isBuild(dir.name("w").c_str(), kModelLength, 0, &id, config.mode());
        ASSERT_NE(f, nullptr);
        constexpr int kKeepExclusive = 2, kEndKept = 0;
        if (config.writeBack) {
            ASSERT_EQ(isSetCustomLock(f, kKeepExclusive), 1);
        }
        for (int32_t i = 0; i < 40; ++i) ASSERT_EQ(isWrite(f, modelRecord(i, 0, 0).data()), 1);
        EXPECT_EQ(isCheckData(f), 0);
        EXPECT_EQ(isCheckIndex(f, 1), 0);
        int32_t reserved = 0;
        ASSERT_EQ(isLastRec(f, &reserved), 1);
        ASSERT_EQ(reserved, 41);
        EXPECT_EQ(isCheckData(f), static_cast<int>(kCheckDataFreeList));
        EXPECT_EQ(isErrno(f), 0);
        EXPECT_EQ(isCheckIndex(f, 1), static_cast<int>(kCheckIndexCount));
        EXPECT_EQ(isErrno(f), 0);
        ASSERT_EQ(isWrite(f, modelRecord(100, 0, 0).data()), 1);
        EXPECT_EQ(isRecnum(f), 42);
        if (config.writeBack) {
            EXPECT_LT(readFile(dir.file("w.wod")).size(), size_t{42} * (kModelLength + 1))
                << "the records must be held back for this to prove anything";
            ASSERT_EQ(isSetCustomLock(f, kEndKept), 1);
        }
        ASSERT_EQ(isClose(f), 1);
    }
}

// Model runs under every cache configuration: the checks stay clean through
// random changes, and rebuilding everything in the middle of the run keeps
// every record, its number and its keys.
TEST(Check, CleanThroughModelRunsAndRebuilds) {
    for (const ModelConfig &config : kModelConfigs) {
        SCOPED_TRACE(config.name);
        ModelSwitches switches(config);
        TempDir dir;
        Model model;
        model.indexes.push_back(modelPayloadKey());
        KeyDesc id = modelIdKey();
        IsFile *f = isBuild(dir.name("m").c_str(), kModelLength, 0, &id, config.mode());
        ASSERT_NE(f, nullptr);
        for (size_t i = 1; i < model.indexes.size(); ++i) ASSERT_EQ(isAddIndex(f, &model.indexes[i]), 1);
        Dice dice(17);
        RandomOps ops;
        ops.idSpan = 400;
        for (int round = 0; round < 4; ++round) {
            for (int op = 0; op < 250; ++op) ASSERT_EQ(applyRandomOp(f, model, dice, ops), "");
            ASSERT_EQ(isCheckData(f), 0) << "round " << round;
            for (int index = 1; index <= 3; ++index) ASSERT_EQ(isCheckIndex(f, index), 0) << "index " << index;
            ASSERT_EQ(isRebuildFree(f, 2), 1) << errorText(f);
            for (int index = 1 + round % 3; index <= 3; ++index) ASSERT_EQ(isRebuildIdx(f, index), 1) << errorText(f);
            ASSERT_EQ(compareWithModel(f, model), "") << "round " << round;
        }
        ASSERT_EQ(isClose(f), 1);
        EXPECT_EQ(reopenAndCompare(dir.name("m"), config.mode(), model, dir.file("m.wox")), "");
    }
}

}  // namespace
}  // namespace wisam
