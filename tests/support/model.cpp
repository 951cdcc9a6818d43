// model.cpp - the record model, its comparison with a file, random changes
// and the model configurations.
#include "support/model.h"


#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "support/treecheck.h"

namespace wisam::testing {

namespace {

constexpr int kIdStart = 0, kIdLength = 100;
constexpr int kGroupStart = 100, kGroupLength = 40;
constexpr int kPayloadStart = 140, kPayloadLength = 20;

using Bytes = std::vector<uint8_t>;

void fill(uint8_t *at, int length, int32_t number, int digits, char base, int span, int32_t salt) {
    char head[16];
    std::snprintf(head, sizeof head, "%0*d", digits, static_cast<int>(number));
    std::memcpy(at, head, static_cast<size_t>(digits));
    for (int j = digits; j < length; ++j) at[j] = static_cast<uint8_t>(base + (salt * 31 + j * 7) % span);
}

Bytes keyOfRecord(const KeyDesc &key, const Bytes &record) {
    Bytes out;
    for (int p = 0; p < key.partCount; ++p) {
        const KeyPart &part = key.parts[p];
        out.insert(out.end(), record.begin() + part.start, record.begin() + part.start + part.length);
    }
    return out;
}

std::string describe(const Bytes &record) {
    if (record.size() < 8) return "(short record)";
    std::string id(record.begin(), record.begin() + 8);
    return "id " + id + (record.size() > 104 ? " group " + std::string(record.begin() + 100, record.begin() + 104) : "");
}

// Walks the current order from `first` by `step`; the records seen, and
// "" or the reason the walk ended badly.
std::string walk(IsFile *f, int first, int step, size_t limit, std::vector<std::pair<int32_t, Bytes>> &seen) {
    Bytes record(kModelLength);
    for (int mode = first; isRead(f, record.data(), mode); mode = step) {
        seen.emplace_back(isRecnum(f), record);
        if (seen.size() > limit) return "walk does not end after " + std::to_string(seen.size()) + " records";
    }
    if (isErrno(f) != EENDFILE) {
        return "walk ended with error " + std::to_string(isErrno(f)) + " (io " + std::to_string(isErrio(f)) +
               ") after " + std::to_string(seen.size()) + " records";
    }
    return "";
}

std::string firstDifference(const std::string &what, const std::vector<Bytes> &want, const std::vector<Bytes> &got) {
    if (want == got) return "";
    for (size_t i = 0; i < std::min(want.size(), got.size()); ++i) {
        if (want[i] != got[i]) {
            return what + ": record " + std::to_string(i) + " of " + std::to_string(want.size()) + " is " +
                   describe(got[i]) + ", expected " + describe(want[i]) + " (file holds " +
                   std::to_string(got.size()) + ")";
        }
    }
    return what + ": file holds " + std::to_string(got.size()) + " records, model " + std::to_string(want.size()) +
           (got.size() > want.size() ? "; extra " + describe(got[want.size()])
                                     : "; missing " + describe(want[got.size()]));
}

std::string compareWalks(IsFile *f, const Model &model, bool recnums) {
    std::vector<std::pair<int32_t, Bytes>> want;  // (record number, record) in record-number order
    for (const auto &[id, row] : model.rows) want.emplace_back(row.recnum, modelRecord(id, row.group, row.version));
    std::sort(want.begin(), want.end());
    const size_t limit = want.size() + 8;

    if (isIndex(f, 0) != 1) return "isIndex(0) failed with " + std::to_string(isErrno(f));
    std::vector<std::pair<int32_t, Bytes>> seen;
    if (std::string why = walk(f, modeFirst, modeNext, limit, seen); !why.empty()) return "record-number order: " + why;
    if (recnums) {
        for (size_t i = 0; i < std::min(want.size(), seen.size()); ++i) {
            if (want[i].first != seen[i].first || want[i].second != seen[i].second) {
                return "record-number order: record " + std::to_string(seen[i].first) + " holds " +
                       describe(seen[i].second) + ", expected record " + std::to_string(want[i].first) +
                       " with " + describe(want[i].second);
            }
        }
    }
    std::vector<Bytes> wantBytes, seenBytes;
    for (auto &w : want) wantBytes.push_back(w.second);
    for (auto &s : seen) seenBytes.push_back(s.second);
    std::sort(wantBytes.begin(), wantBytes.end());
    std::sort(seenBytes.begin(), seenBytes.end());
    if (std::string why = firstDifference("record-number order", wantBytes, seenBytes); !why.empty()) return why;

    for (size_t i = 0; i < model.indexes.size(); ++i) {
        const KeyDesc &key = model.indexes[i];
        const std::string name = "index " + std::to_string(i);
        if (isIndex(f, static_cast<int>(i) + 1) != 1) return name + ": isIndex failed with " + std::to_string(isErrno(f));
        std::vector<std::pair<int32_t, Bytes>> forward, backward;
        if (std::string why = walk(f, modeFirst, modeNext, limit, forward); !why.empty()) return name + " forward: " + why;
        if (std::string why = walk(f, modeLast, modePrev, limit, backward); !why.empty()) return name + " backward: " + why;
        std::reverse(backward.begin(), backward.end());
        if (forward != backward) return name + ": the backward walk is not the forward walk reversed";
        // Equal keys of an index with duplicates may come in any order: the
        // keys must come in order, and the records be the model's.
        std::vector<Bytes> wantKeys, gotKeys, records;
        for (auto &w : want) wantKeys.push_back(keyOfRecord(key, w.second));
        std::sort(wantKeys.begin(), wantKeys.end());
        for (auto &s : forward) gotKeys.push_back(keyOfRecord(key, s.second)), records.push_back(s.second);
        if (wantKeys != gotKeys) {
            for (size_t k = 0; k < std::min(wantKeys.size(), gotKeys.size()); ++k) {
                if (wantKeys[k] != gotKeys[k]) {
                    return name + ": entry " + std::to_string(k) + " leads to " + describe(forward[k].second) +
                           ", whose key is not the model's next key";
                }
            }
            return name + ": " + std::to_string(gotKeys.size()) + " entries, the model has " +
                   std::to_string(wantKeys.size());
        }
        std::sort(records.begin(), records.end());
        if (std::string why = firstDifference(name, wantBytes, records); !why.empty()) return why;
    }
    isIndex(f, 0);

    IsamInfo info{};
    if (isIsamInfo(f, &info) != 1) return "isIsamInfo failed with " + std::to_string(isErrno(f));
    if (info.indexCount != static_cast<int16_t>(model.indexes.size())) {
        return "the file has " + std::to_string(info.indexCount) + " indexes, the model " + std::to_string(model.indexes.size());
    }
    if (info.recordCount != static_cast<int32_t>(model.rows.size())) {
        return "the summary counts " + std::to_string(info.recordCount) + " records, the model holds " +
               std::to_string(model.rows.size());
    }
    if (recnums && !want.empty()) {
        int32_t last = 0;
        if (isGetLastRec(f, &last) != 1) return "isGetLastRec failed with " + std::to_string(isErrno(f));
        if (last < want.back().first) {
            return "isGetLastRec answers " + std::to_string(last) + " below live record " + std::to_string(want.back().first);
        }
    }
    return "";
}

}  // namespace

std::vector<uint8_t> modelRecord(int32_t id, int32_t group, int32_t version) {
    Bytes r(kModelLength);
    fill(r.data() + kIdStart, kIdLength, id, 8, 'a', 26, id);
    fill(r.data() + kGroupStart, kGroupLength, group, 4, 'A', 26, group);
    fill(r.data() + kPayloadStart, kPayloadLength, version, 8, '0', 10, id % 10 + version);
    return r;
}

KeyDesc modelIdKey() { return keyAt(kIdStart, kIdLength, ISTYPE_CHAR); }
KeyDesc modelGroupKey() { return keyAt(kGroupStart, kGroupLength, ISTYPE_CHAR, ISKEY_DUPS); }
KeyDesc modelPayloadKey() { return keyAt(kPayloadStart, kPayloadLength, ISTYPE_CHAR, ISKEY_DUPS); }
KeyDesc modelUniquePayloadKey() { return keyAt(kPayloadStart, kPayloadLength, ISTYPE_CHAR); }

Model::Model() : indexes{modelIdKey(), modelGroupKey()} {}

std::string Model::wrote(int32_t id, int32_t group, int32_t version, int32_t recnum) {
    for (const auto &[other, row] : rows) {
        if (recnum != 0 && row.recnum == recnum && other != id) {
            return "record number " + std::to_string(recnum) + " given to id " + std::to_string(id) +
                   " is held by live id " + std::to_string(other);
        }
    }
    rows[id] = ModelRow{group, version, recnum};
    return "";
}

void Model::dropIndex(const KeyDesc &key) {
    for (auto it = indexes.begin(); it != indexes.end(); ++it) {
        if (std::memcmp(&it->parts[0], &key.parts[0], sizeof(KeyPart)) == 0) {
            indexes.erase(it);
            return;
        }
    }
}

std::string compareWithModel(IsFile *f, const Model &model, bool recnums, bool keepShared) {
    if (keepShared && isSetCustomLock(f, 1) != 1) return "keeping a shared lock failed";
    std::string why = compareWalks(f, model, recnums);
    if (keepShared && isSetCustomLock(f, 0) != 1 && why.empty()) why = "ending the kept shared lock failed";
    return why;
}

std::string reopenAndCompare(const std::u16string &name, int mode, const Model &model, const std::string &woxPath,
                             bool recnums) {
    IsFile *f = isOpen(name.c_str(), mode);
    if (f == nullptr) return "reopen failed with " + std::to_string(isErrno(nullptr));
    std::string why = compareWithModel(f, model, recnums, true);
    if (why.empty() && !woxPath.empty()) {
        const FileCheck check = checkIndexFile(f, woxPath);
        if (!check.ok()) why = "index file structure: " + check.report();
    }
    if (isClose(f) != 1 && why.empty()) why = "close after reopen failed with " + std::to_string(isErrno(nullptr));
    return why.empty() ? "" : "after reopen: " + why;
}

namespace {

std::string expectFailure(IsFile *f, int ok, int error, const std::string &what) {
    if (ok != 0) return what + " succeeded, expected error " + std::to_string(error);
    if (isErrno(f) != error) return what + " failed with " + std::to_string(isErrno(f)) + ", expected " + std::to_string(error);
    return "";
}

std::string expectSuccess(IsFile *f, int ok, const std::string &what) {
    if (ok == 1) return "";
    return what + " failed with " + std::to_string(isErrno(f)) + " (io " + std::to_string(isErrio(f)) + ")";
}

}  // namespace

std::string applyRandomOp(IsFile *f, Model &model, Dice &dice, const RandomOps &ops) {
    const int32_t end = ops.idBase + ops.idSpan;
    const bool uniquePayload = std::any_of(model.indexes.begin(), model.indexes.end(), [](const KeyDesc &k) {
        return k.parts[0].start == kPayloadStart && (k.flags & ISKEY_DUPS) == 0;
    });
    auto missing = [&](int32_t from, int32_t step) {
        for (int32_t id = from; id < end; id += step) {
            if (!model.has(id)) return id;
        }
        return int32_t{-1};
    };
    auto existing = [&]() {
        auto it = model.rows.lower_bound(ops.idBase + dice.below(ops.idSpan));
        if (it == model.rows.end() || it->first >= end) it = model.rows.lower_bound(ops.idBase);
        return it == model.rows.end() || it->first >= end ? int32_t{-1} : it->first;
    };
    // Another live id with the same payload fill (id % 10) as `id`, or -1.
    auto twinOf = [&](int32_t id) {
        for (int32_t other = ops.idBase + (id - ops.idBase) % 10; other < end; other += 10) {
            if (other != id && model.has(other)) return other;
        }
        return int32_t{-1};
    };
    const int roll = dice.below(100);
    const bool fail = dice.below(100) < ops.failPercent;
    const int32_t group = dice.below(kModelGroups);
    const int32_t some = existing();
    const std::string tag = " (id ";

    if (roll < 50 || some < 0) {
        if (fail && some >= 0 && uniquePayload && dice.below(2) == 0) {
            const int32_t id = missing(some + 10, 10);  // same payload as `some`, new id
            if (id >= 0) {
                const int ok = isWrite(f, modelRecord(id, group, model.rows[some].version).data());
                return expectFailure(f, ok, EDUPL, "write with a duplicate payload" + tag + std::to_string(id) + ")");
            }
        }
        if (fail && some >= 0) {
            const int ok = isWrite(f, modelRecord(some, group, model.nextVersion).data());
            return expectFailure(f, ok, EDUPL, "write of a present id" + tag + std::to_string(some) + ")");
        }
        int32_t id = missing(ops.idBase + dice.below(ops.idSpan), 1);
        if (id < 0) id = missing(ops.idBase, 1);
        if (id < 0) return "";  // the range is full
        const int32_t version = model.nextVersion++;
        const int ok = isWrite(f, modelRecord(id, group, version).data());
        if (std::string why = expectSuccess(f, ok, "write" + tag + std::to_string(id) + ")"); !why.empty()) return why;
        return model.wrote(id, group, version, ops.recnums ? isRecnum(f) : 0);
    }
    if (roll < 75) {
        if (fail && uniquePayload && dice.below(2) == 0) {
            if (const int32_t twin = twinOf(some); twin >= 0) {
                const int ok = isRewrite(f, modelRecord(some, (model.rows[some].group + 1) % kModelGroups,
                                                        model.rows[twin].version).data());
                return expectFailure(f, ok, EDUPL, "rewrite to a duplicate payload" + tag + std::to_string(some) + ")");
            }
        }
        if (fail) {
            const int32_t id = missing(ops.idBase + dice.below(ops.idSpan), 1);
            if (id < 0) return "";
            const int ok = isRewrite(f, modelRecord(id, group, model.nextVersion).data());
            return expectFailure(f, ok, ENOREC, "rewrite of a missing id" + tag + std::to_string(id) + ")");
        }
        const int32_t version = model.nextVersion++;
        const int ok = isRewrite(f, modelRecord(some, group, version).data());
        if (std::string why = expectSuccess(f, ok, "rewrite" + tag + std::to_string(some) + ")"); !why.empty()) return why;
        model.rows[some].group = group;
        model.rows[some].version = version;
        return "";
    }
    if (fail) {
        const int32_t id = missing(ops.idBase + dice.below(ops.idSpan), 1);
        if (id < 0) return "";
        const int ok = isDelete(f, modelRecord(id, 0, 0).data());
        return expectFailure(f, ok, ENOREC, "delete of a missing id" + tag + std::to_string(id) + ")");
    }
    const int ok = isDelete(f, modelRecord(some, 0, 0).data());
    if (std::string why = expectSuccess(f, ok, "delete" + tag + std::to_string(some) + ")"); !why.empty()) return why;
    model.rows.erase(some);
    return "";
}

const ModelConfig kModelConfigs[6] = {
    {"NoCacheShared", false, false, false},  {"NoCacheExclusive", false, false, true},
    {"CacheShared", true, false, false},     {"CacheExclusive", true, false, true},
    {"WriteBackShared", true, true, false},  {"WriteBackExclusive", true, true, true},
};

namespace {
int waitsGivenUp = 0;
int32_t giveUpWaiting(IsFile *, int32_t, int32_t, int64_t, int32_t) {
    ++waitsGivenUp;
    return 0;
}
constexpr int32_t kWaitAttempts = 4000;  // about a second of waiting
}  // namespace

int givenUpWaits() { return waitsGivenUp; }

ModelSwitches::ModelSwitches(const ModelConfig &config, bool guardWaits)
    : saved_{isFileCacheActive,       isWriteBackActive,       isDefaultIndexCacheLines,
             isDefaultIndexCacheAssociativity, isDefaultDataCacheLines, isDefaultDataCacheAssociativity,
             isForceCommit,           isDeadlockThreshold},
      savedEscape_(lockingDeadLock) {
    if (guardWaits) {
        isDeadlockThreshold = kWaitAttempts;
        lockingDeadLock = giveUpWaiting;
    }
    isFileCacheActive = config.cache;
    isWriteBackActive = config.writeBack;
    isDefaultIndexCacheLines = 2;
    isDefaultIndexCacheAssociativity = 1;
    isDefaultDataCacheLines = 4;
    isDefaultDataCacheAssociativity = 2;
}

ModelSwitches::~ModelSwitches() {
    isCleanUp();
    isFileCacheActive = saved_[0];
    isWriteBackActive = saved_[1];
    isDefaultIndexCacheLines = saved_[2];
    isDefaultIndexCacheAssociativity = saved_[3];
    isDefaultDataCacheLines = saved_[4];
    isDefaultDataCacheAssociativity = saved_[5];
    isForceCommit = saved_[6];
    isDeadlockThreshold = saved_[7];
    lockingDeadLock = savedEscape_;
}

}  // namespace wisam::testing
