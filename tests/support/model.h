// model.h - model-checked files: a std::map model of an ISAM file with
// long keys (so that a few hundred records split nodes), a comparison of
// an open handle with the model through every index both ways and in
// record-number order, random changes checked against the model, and the
// cache configurations the model tests run under.  The fault loops that go
// with them break the file layer through support/faults.h.
#pragma once

#include <cstdint>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "support/testing.h"
#include "wisam.h"

namespace wisam::testing {

// Records of kModelLength bytes: an id key of 100 bytes (unique, index 0),
// a group key of 40 bytes (duplicates, index 1) and a 20-byte payload that
// carries a version (the extra index of isAddIndex, duplicates).
constexpr int kModelLength = 160;
constexpr int kModelGroups = 7;

struct ModelRow {
    int32_t group = 0;
    int32_t version = 0;
    int32_t recnum = 0;  // 0 when not known (records written by others)
};

std::vector<uint8_t> modelRecord(int32_t id, int32_t group, int32_t version);
KeyDesc modelIdKey();
KeyDesc modelGroupKey();
KeyDesc modelPayloadKey();        // duplicates
KeyDesc modelUniquePayloadKey();  // no duplicates: a write fails part-way

class Model {
public:
    Model();  // the id and group indexes, no records

    std::map<int32_t, ModelRow> rows;  // by id
    std::vector<KeyDesc> indexes;      // the file's indexes, in order
    int32_t nextVersion = 1;           // versions handed out by applyRandomOp

    bool has(int32_t id) const { return rows.count(id) != 0; }
    // Notes a write acknowledged with record number `recnum`; "" or why the
    // number is impossible (already held by a live record).
    std::string wrote(int32_t id, int32_t group, int32_t version, int32_t recnum);
    void dropIndex(const KeyDesc &key);
};

// Compares the open handle with the model: record-number order, then each
// index forward and backward (every walk must end with 110), the summary's
// index and record counts, and with `recnums` every record number and the
// highest record number.  "" when equal, else the first difference.  The
// handle's current index is left in record-number order.  With `keepShared`
// (only for a handle that keeps no lock) the walks run under one kept shared
// lock instead of a lock per read.
std::string compareWithModel(IsFile *f, const Model &model, bool recnums = true, bool keepShared = false);

// Reopens `name` with `mode`, compares (also the index file's structure
// when `woxPath` is given) and closes.  "" when all is well.
std::string reopenAndCompare(const std::u16string &name, int mode, const Model &model,
                             const std::string &woxPath = "", bool recnums = true);

class Dice;

// The cache configurations the model tests run under: no cache, the file
// cache writing through, and the file cache with write-back (the calls
// then run inside a kept exclusive lock); each with a shared and an
// exclusive open.
struct ModelConfig {
    const char *name;
    bool cache;
    bool writeBack;
    bool exclusive;
    int mode() const { return ISINOUT | ISMANULOCK | (exclusive ? ISEXCLLOCK : 0); }
};
extern const ModelConfig kModelConfigs[6];

// Sets the process-wide switches of a configuration, with caches small
// enough that dirty blocks are evicted (and written) in the middle of
// calls; restores them (and closes every handle) at the end.
// With `guardWaits` (one process only, where no lock can be held by anyone
// else) a lock wait is given up after a few thousand attempts and counted,
// instead of hanging the test.
class ModelSwitches {
public:
    explicit ModelSwitches(const ModelConfig &config, bool guardWaits = true);
    ~ModelSwitches();
    ModelSwitches(const ModelSwitches &) = delete;
    ModelSwitches &operator=(const ModelSwitches &) = delete;

private:
    int32_t saved_[8];
    decltype(lockingDeadLock) savedEscape_;
};

// The lock waits given up under ModelSwitches since the program started.
int givenUpWaits();

// One random write, rewrite or delete in ids [idBase, idBase + idSpan),
// about `failPercent` of them meant to fail: a duplicate id (100), a
// missing id (111), or, when the model has the unique payload index, a
// duplicate payload found after the other indexes were changed (100).
// Checks the result, updates the model; "" or the problem.
struct RandomOps {
    int32_t idBase = 0;
    int32_t idSpan = 1000;
    int failPercent = 15;
    bool recnums = true;  // note record numbers (one writer only)
};
std::string applyRandomOp(IsFile *f, Model &model, Dice &dice, const RandomOps &ops);

// A small deterministic random source for the model tests.
class Dice {
public:
    explicit Dice(uint32_t seed) : engine_(seed) {}
    int below(int n) { return static_cast<int>(engine_() % static_cast<uint32_t>(n)); }

private:
    std::mt19937 engine_;
};

}  // namespace wisam::testing
