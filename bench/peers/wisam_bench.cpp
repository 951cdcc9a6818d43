// wisam-bench - the same record workloads on wisam and on its peers (LMDB,
// SQLite 3, Berkeley DB, an in-memory std::map baseline), behind one small
// engine interface, one file set per engine in its own directory.
//
// Records are 100 bytes: the primary key is an 8-byte big-endian unsigned
// integer at offset 0 (unique), the secondary key a 4-byte big-endian integer
// at offset 8 (primary mod 1000 when written, duplicates), filler after.
//
// Changes and point reads go in batches of kBatch operations for every
// engine: a transaction of LMDB and SQLite, a kept lock of wisam-excl
// (wisam-excl-1lock keeps one over each whole workload instead); a scan is
// one batch.
//
//   W1  N inserts in a fixed pseudo-random key order, then the data on disk
//       (the engine's own flush, then fsync of every file, both timed)
//   W2  N random point reads by primary key
//   W7  the same N reads for keys between the stored ones (none found)
//   W3  a full scan in primary order
//   W4  a full scan in secondary order (whole records)
//   W5  N/2 random updates by primary key that change the secondary key
//   W6  N/2 random deletes by primary key
//
// Every workload checks its results; a final untimed pass checks the state
// left by W5 and W6 in both orders.  Any mismatch: exit status 1.  The
// multi-process workload is below; the durable-commit one is durable.cpp.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "common.h"
#include "durable.h"
#include "peers.h"
#include "threads.h"
#include "varlen.h"

using namespace wisambench;

namespace {

constexpr int kSecondaryAt = 8;
constexpr int kFillerAt = 12;
constexpr int kBatch = 10000;
constexpr size_t kMultiBatch = 1000;  // operations per transaction, multi-process  // writes per transaction (LMDB, SQLite)
constexpr uint64_t kStride = 1000003;
constexpr uint64_t kOffset = 17;

uint64_t keyOf(size_t i) { return i * kStride + kOffset; }
size_t indexOf(uint64_t key) { return (key - kOffset) / kStride; }

void makeRecord(uint64_t key, uint32_t secondary, uint8_t *rec) {
    store64(key, rec);
    store32(secondary, rec + kSecondaryAt);
    for (int j = kFillerAt; j < kRecordLength; ++j) rec[j] = static_cast<uint8_t>(key + j);
}
bool fillerOk(const uint8_t *rec) {
    const uint64_t key = load64(rec);
    for (int j = kFillerAt; j < kRecordLength; ++j)
        if (rec[j] != static_cast<uint8_t>(key + j)) return false;
    return true;
}

using Visit = std::function<void(const uint8_t *record)>;

// One timed step of an engine's own checks and repairs of a loaded store.
struct MaintStep {
    std::string what;
    double seconds;
};

// The engine interface.  begin/end bracket each workload (write says whether
// it changes data); flush makes written data reach the engine's files.
class Engine {
public:
    virtual ~Engine() = default;
    virtual std::string name() const = 0;
    virtual bool onDisk() const { return true; }
    virtual void open(const std::string &dir) = 0;
    // Opens a store that open() made, from another process (the
    // multi-process workload); by default the same as open().
    virtual void attach(const std::string &dir) { open(dir); }
    virtual void begin(bool write) { (void)write; }
    virtual void end() {}
    virtual void flush() {}
    virtual void insert(const uint8_t *rec) = 0;
    virtual bool get(uint64_t key, uint8_t *rec) = 0;
    virtual void scanPrimary(const Visit &visit) = 0;
    virtual void scanSecondary(const Visit &visit) = 0;
    virtual bool update(const uint8_t *rec) = 0;  // by primary key
    virtual bool remove(uint64_t key) = 0;
    virtual void close() = 0;
    // The maintenance pass on a loaded store (outside begin/end): the
    // engine's own checks and index rebuilds, each timed; a finding is a
    // mismatch.  None by default.
    virtual std::vector<MaintStep> maintain() { return {}; }
    virtual bool hasMaintenance() const { return false; }
    // Rewrites the store in primary-key order; false when the engine has no
    // such call.
    virtual bool cluster() { return false; }
};

// ---------------------------------------------------------------- wisam
class WisamEngine final : public Engine {
public:
    // `batched` (shared mode only): each begin/end batch runs under a kept
    // lock, exclusive with write-back for writes, shared for reads, wisam's
    // counterpart of the peers' transactions; a scan gives the shared lock
    // up and takes it again every kMultiBatch records.
    // `wholeWorkload` (exclusive only): one kept lock over each whole
    // workload instead of a new one every kBatch operations, the row
    // "wisam-excl-1lock" that sets it against the peers' kBatch batches.
    WisamEngine(bool exclusive, size_t n, bool batched = false, bool wholeWorkload = false)
        : exclusive_(exclusive), batched_(batched), whole_(wholeWorkload), n_(n) {}
    std::string name() const override {
        return exclusive_ ? (whole_ ? "wisam-excl-1lock" : "wisam-excl") : "wisam-shared";
    }
    void open(const std::string &dir) override {
        const std::string base = dir + "/records";
        name_.assign(base.begin(), base.end());
        isFileCacheActive = 1;
        isWriteBackActive = exclusive_ ? 1 : 0;
        KeyDesc primary = primaryKey();
        KeyDesc secondary{};
        secondary.flags = ISKEY_DUPS;
        secondary.partCount = 1;
        secondary.parts[0] = KeyPart{kSecondaryAt, 4, ISTYPE_LONG};
        IsFile *b = isBuild(name_.c_str(), kRecordLength, 0, &primary, ISINOUT | ISEXCLLOCK);
        if (b == nullptr) fail("isBuild", nullptr);
        if (!isAddIndex(b, &secondary)) fail("isAddIndex", b);
        isClose(b);
        openHandle(exclusive_ ? ISEXCLLOCK : ISMANULOCK);
    }
    // Shared mode only: a handle of this process on the file open() built.
    void attach(const std::string &dir) override {
        const std::string base = dir + "/records";
        name_.assign(base.begin(), base.end());
        openHandle(ISMANULOCK);
    }
    // After the bulk load nothing is left to do: the kept lock's end wrote
    // the changes, and the data cache, sized for the empty file when it was
    // opened, has grown with the file by itself.
    // The exclusive engine keeps its lock (with write-back) for kBatch
    // operations at a time, ending it and taking it again between batches
    // as the peers commit theirs: each batch's changes reach the files at
    // its end.  A scan runs under one lock, as the peers scan in one
    // transaction.
    void begin(bool write) override {
        isWriteBackActive = exclusive_ || batched_ ? 1 : 0;
        request_ = exclusive_ || write ? 2 : 1;
        ops_ = 0;
        kept_ = exclusive_ || batched_;
        if (kept_ && !isSetCustomLock(f_, request_)) fail("isSetCustomLock", f_);
    }
    void end() override {
        if (kept_ && !isSetCustomLock(f_, 0)) fail("isSetCustomLock(0)", f_);
        kept_ = false;
    }
    void insert(const uint8_t *rec) override {
        if (!isWrite(f_, rec)) fail("isWrite", f_);
        counted();
    }
    bool get(uint64_t key, uint8_t *rec) override {
        store64(key, rec);
        const bool found = wisamFound(f_, isRead(f_, rec, modeEqual), name() + ": isRead");
        counted();
        return found;
    }
    void scanPrimary(const Visit &visit) override { scan(1, visit); }
    void scanSecondary(const Visit &visit) override { scan(2, visit); }
    bool update(const uint8_t *rec) override {
        const bool found = wisamFound(f_, isRewrite(f_, rec), name() + ": isRewrite");
        counted();
        return found;
    }
    bool remove(uint64_t key) override {
        const bool found = wisamDeleteKey<kRecordLength>(f_, key, name() + ": isDelete");
        counted();
        return found;
    }
    void close() override {
        if (!isClose(f_)) fail("isClose", nullptr);
        f_ = nullptr;
    }
    // Exclusive mode: isCheckData and isCheckIndex of both indexes, then
    // isRebuildIdx of both, after which the indexes must check clean.
    bool hasMaintenance() const override { return exclusive_ && !whole_; }
    std::vector<MaintStep> maintain() override {
        if (!hasMaintenance()) return {};
        std::vector<MaintStep> steps;
        auto step = [&](const std::string &what, auto &&body) {
            const double t0 = now();
            body();
            steps.push_back({what, now() - t0});
        };
        auto findings = [&](const std::string &where, int bits) {
            if (bits == 0) return;
            std::string texts;
            for (int i = 0; i < 16; ++i)
                if ((bits >> i & 1) != 0) texts += std::string(" ") + isCheckMsg[i] + ";";
            mismatch(name(), where + ": bits " + std::to_string(bits) + texts);
        };
        step("isCheckData", [&] { findings("isCheckData", isCheckData(f_)); });
        for (int i = 1; i <= 2; ++i) {
            const std::string what = "isCheckIndex " + std::to_string(i);
            step(what, [&] { findings(what, isCheckIndex(f_, i)); });
        }
        for (int i = 1; i <= 2; ++i)
            step("isRebuildIdx " + std::to_string(i), [&] {
                if (!isRebuildIdx(f_, i)) fail("isRebuildIdx", f_);
            });
        for (int i = 1; i <= 2; ++i)
            findings("isCheckIndex " + std::to_string(i) + " after isRebuildIdx", isCheckIndex(f_, i));
        // The same rebuilds under a kept exclusive lock with write-back, as
        // the workloads hold it: the changed nodes stay cached and leave
        // when the lock ends (timed with it).
        step("kept lock: isRebuildIdx 1 + 2", [&] {
            if (!isSetCustomLock(f_, 2)) fail("isSetCustomLock", f_);
            for (int i = 1; i <= 2; ++i)
                if (!isRebuildIdx(f_, i)) fail("isRebuildIdx", f_);
            if (!isSetCustomLock(f_, 0)) fail("isSetCustomLock(0)", f_);
        });
        for (int i = 1; i <= 2; ++i)
            findings("isCheckIndex " + std::to_string(i) + " after the kept-lock isRebuildIdx", isCheckIndex(f_, i));
        return steps;
    }
    // isCluster on the primary index: the handle it returns takes the
    // place of the one it closed.
    bool cluster() override {
        if (!hasMaintenance()) return false;
        KeyDesc primary = primaryKey();
        IsFile *clustered = isCluster(f_, &primary);
        if (clustered == nullptr) fail("isCluster", f_);
        f_ = clustered;
        return true;
    }

private:
    static KeyDesc primaryKey() {
        KeyDesc primary{};
        primary.partCount = 1;
        primary.parts[0] = KeyPart{0, 8, ISTYPE_CHAR};
        return primary;
    }
    // The caches get the 64 MB the peers get: the index cache what both
    // indexes need (an entry is 12 bytes in nodes about three quarters full,
    // so some 32 bytes a record, twice that against set conflicts), at most
    // three quarters, because a missed node costs a 4 KB read and often
    // the write of a changed node it evicts, where a missed record costs a
    // read of its slot; the data cache the rest.
    void openHandle(int lockMode) {
        isFileCacheActive = 1;
        isWriteBackActive = exclusive_ ? 1 : 0;
        isFileCacheMaxMemUsage = kCacheBudget + (1 << 20);
        constexpr int64_t kIndexWays = 4, kDataWays = 16, kNodeSize = 4096, kSlotSize = kRecordLength + 1;
        const int64_t indexWanted = int64_t(n_) * 64 / kNodeSize;
        const int64_t indexBlocks = std::min(indexWanted, kCacheBudget * 3 / 4 / (kNodeSize + 24));
        const int64_t indexCharge = indexBlocks * (kNodeSize + 24);
        const int64_t dataBlocks = (kCacheBudget - indexCharge) / (kSlotSize + 24);
        isDefaultIndexCacheAssociativity = kIndexWays;
        isDefaultIndexCacheLines = static_cast<int32_t>(std::max<int64_t>(indexBlocks / kIndexWays, 1));
        isDefaultDataCacheAssociativity = kDataWays;
        isDefaultDataCacheLines = static_cast<int32_t>(std::max<int64_t>(dataBlocks / kDataWays - 1, 1));
        f_ = isOpen(name_.c_str(), ISINOUT | lockMode);
        if (f_ == nullptr) fail("isOpen", nullptr);
    }
    void scan(int index, const Visit &visit) {
        uint8_t rec[kRecordLength];
        if (!isIndex(f_, index)) fail("isIndex", f_);
        size_t seen = 0;
        for (int mode = modeFirst; isRead(f_, rec, mode); mode = modeNext) {
            visit(rec);
            if (batched_ && kept_ && ++seen % kMultiBatch == 0) {
                if (!isSetCustomLock(f_, 0) || !isSetCustomLock(f_, 1)) fail("isSetCustomLock", f_);
            }
        }
        if (isErrno(f_) != EENDFILE && isErrno(f_) != ENOREC) fail("isRead scan", f_);
        if (!isIndex(f_, 1)) fail("isIndex", f_);
    }
    // The end of a batch of the exclusive engine: the kept lock ends (its
    // held-back changes are written) and is taken again.
    void counted() {
        if (!exclusive_ || whole_ || !kept_ || ++ops_ % kBatch != 0) return;
        if (!isSetCustomLock(f_, 0) || !isSetCustomLock(f_, request_)) fail("isSetCustomLock batch", f_);
    }
    [[noreturn]] void fail(const char *what, IsFile *f) {
        die(name() + ": " + what + ": error " + std::to_string(isErrno(f)));
    }
    bool exclusive_;
    bool batched_;
    bool whole_;
    bool kept_ = false;
    int request_ = 0;
    size_t ops_ = 0;
    size_t n_;
    std::u16string name_;
    IsFile *f_ = nullptr;
};

// ---------------------------------------------------------------- std::map
class MapEngine final : public Engine {
public:
    std::string name() const override { return "std::map"; }
    bool onDisk() const override { return false; }
    void open(const std::string &) override {}
    void insert(const uint8_t *rec) override {
        Row row;
        std::memcpy(row.data(), rec, kRecordLength);
        const uint64_t key = load64(rec);
        if (!primary_.emplace(key, row).second) die("std::map: duplicate");
        secondary_.emplace(load32(rec + kSecondaryAt), key);
    }
    bool get(uint64_t key, uint8_t *rec) override {
        const auto it = primary_.find(key);
        if (it == primary_.end()) return false;
        std::memcpy(rec, it->second.data(), kRecordLength);
        return true;
    }
    void scanPrimary(const Visit &visit) override {
        for (const auto &[key, row] : primary_) visit(row.data());
    }
    void scanSecondary(const Visit &visit) override {
        for (const auto &[sec, key] : secondary_) visit(primary_.find(key)->second.data());
    }
    bool update(const uint8_t *rec) override {
        const uint64_t key = load64(rec);
        const auto it = primary_.find(key);
        if (it == primary_.end()) return false;
        eraseSecondary(load32(it->second.data() + kSecondaryAt), key);
        std::memcpy(it->second.data(), rec, kRecordLength);
        secondary_.emplace(load32(rec + kSecondaryAt), key);
        return true;
    }
    bool remove(uint64_t key) override {
        const auto it = primary_.find(key);
        if (it == primary_.end()) return false;
        eraseSecondary(load32(it->second.data() + kSecondaryAt), key);
        primary_.erase(it);
        return true;
    }
    void close() override {
        primary_.clear();
        secondary_.clear();
    }

private:
    using Row = std::array<uint8_t, kRecordLength>;
    void eraseSecondary(uint32_t sec, uint64_t key) {
        auto [lo, hi] = secondary_.equal_range(sec);
        for (; lo != hi; ++lo)
            if (lo->second == key) return void(secondary_.erase(lo));
        die("std::map: secondary entry missing");
    }
    std::map<uint64_t, Row> primary_;
    std::multimap<uint32_t, uint64_t> secondary_;
};

// ---------------------------------------------------------------- LMDB
#ifdef WISAM_BENCH_LMDB
class LmdbEngine final : public Engine {
public:
    // multi: one environment per process (MDB_NOTLS), for the
    // multi-process workload.
    LmdbEngine(size_t n, bool multi) : n_(n), multi_(multi) {}
    std::string name() const override { return "lmdb"; }
    void open(const std::string &dir) override {
        check(mdb_env_create(&env_), "mdb_env_create");
        check(mdb_env_set_mapsize(env_, n_ * kRecordLength * 8 + (size_t{256} << 20)), "mapsize");
        check(mdb_env_set_maxdbs(env_, 2), "maxdbs");
        const unsigned flags = MDB_NOSYNC | MDB_WRITEMAP | (multi_ ? MDB_NOTLS : 0u);
        check(mdb_env_open(env_, dir.c_str(), flags, 0644), "mdb_env_open");
        MDB_txn *txn;
        check(mdb_txn_begin(env_, nullptr, 0, &txn), "txn");
        check(mdb_dbi_open(txn, "main", MDB_CREATE, &main_), "dbi main");
        check(mdb_dbi_open(txn, "secondary", MDB_CREATE | MDB_DUPSORT, &sec_), "dbi secondary");
        check(mdb_txn_commit(txn), "commit");
    }
    void begin(bool write) override {
        write_ = write;
        ops_ = 0;
        check(mdb_txn_begin(env_, nullptr, write ? 0 : MDB_RDONLY, &txn_), "txn_begin");
    }
    void end() override {
        if (write_) check(mdb_txn_commit(txn_), "commit");
        else mdb_txn_abort(txn_);
        txn_ = nullptr;
    }
    void flush() override { check(mdb_env_sync(env_, 1), "mdb_env_sync"); }
    void insert(const uint8_t *rec) override {
        MDB_val k{8, const_cast<uint8_t *>(rec)}, v{kRecordLength - 8, const_cast<uint8_t *>(rec + 8)};
        check(mdb_put(txn_, main_, &k, &v, MDB_NOOVERWRITE), "put main");
        MDB_val sk{4, const_cast<uint8_t *>(rec + kSecondaryAt)};
        check(mdb_put(txn_, sec_, &sk, &k, 0), "put secondary");
        counted();
    }
    bool get(uint64_t key, uint8_t *rec) override {
        store64(key, rec);
        MDB_val k{8, rec}, v;
        const int rc = mdb_get(txn_, main_, &k, &v);
        if (rc != MDB_NOTFOUND) check(rc, "get");
        if (rc == 0) std::memcpy(rec + 8, v.mv_data, kRecordLength - 8);
        counted();
        return rc == 0;
    }
    void scanPrimary(const Visit &visit) override {
        uint8_t rec[kRecordLength];
        MDB_cursor *c;
        check(mdb_cursor_open(txn_, main_, &c), "cursor");
        MDB_val k, v;
        for (int rc = mdb_cursor_get(c, &k, &v, MDB_FIRST); rc == 0; rc = mdb_cursor_get(c, &k, &v, MDB_NEXT)) {
            std::memcpy(rec, k.mv_data, 8);
            std::memcpy(rec + 8, v.mv_data, kRecordLength - 8);
            visit(rec);
        }
        mdb_cursor_close(c);
    }
    void scanSecondary(const Visit &visit) override {
        uint8_t rec[kRecordLength];
        MDB_cursor *c;
        check(mdb_cursor_open(txn_, sec_, &c), "cursor");
        MDB_val sk, pk, v;
        for (int rc = mdb_cursor_get(c, &sk, &pk, MDB_FIRST); rc == 0; rc = mdb_cursor_get(c, &sk, &pk, MDB_NEXT)) {
            check(mdb_get(txn_, main_, &pk, &v), "get by secondary");
            std::memcpy(rec, pk.mv_data, 8);
            std::memcpy(rec + 8, v.mv_data, kRecordLength - 8);
            visit(rec);
        }
        mdb_cursor_close(c);
    }
    bool update(const uint8_t *rec) override {
        MDB_val k{8, const_cast<uint8_t *>(rec)}, old;
        const int rc = mdb_get(txn_, main_, &k, &old);
        if (rc == MDB_NOTFOUND) return false;
        check(rc, "get");
        uint8_t oldSec[4];
        std::memcpy(oldSec, old.mv_data, 4);
        MDB_val osk{4, oldSec};
        check(mdb_del(txn_, sec_, &osk, &k), "del secondary");
        MDB_val v{kRecordLength - 8, const_cast<uint8_t *>(rec + 8)};
        check(mdb_put(txn_, main_, &k, &v, 0), "put main");
        MDB_val sk{4, const_cast<uint8_t *>(rec + kSecondaryAt)};
        check(mdb_put(txn_, sec_, &sk, &k, 0), "put secondary");
        counted();
        return true;
    }
    bool remove(uint64_t key) override {
        uint8_t kb[8];
        store64(key, kb);
        MDB_val k{8, kb}, old;
        const int rc = mdb_get(txn_, main_, &k, &old);
        if (rc == MDB_NOTFOUND) return false;
        check(rc, "get");
        uint8_t oldSec[4];
        std::memcpy(oldSec, old.mv_data, 4);
        MDB_val osk{4, oldSec};
        check(mdb_del(txn_, sec_, &osk, &k), "del secondary");
        check(mdb_del(txn_, main_, &k, nullptr), "del main");
        counted();
        return true;
    }
    void close() override {
        mdb_dbi_close(env_, main_);
        mdb_dbi_close(env_, sec_);
        mdb_env_close(env_);
        env_ = nullptr;
    }

private:
    // Every kBatch operations a new transaction (a read-only one while
    // reading).
    void counted() {
        if (++ops_ % kBatch != 0) return;
        if (write_) check(mdb_txn_commit(txn_), "commit");
        else mdb_txn_abort(txn_);
        check(mdb_txn_begin(env_, nullptr, write_ ? 0 : MDB_RDONLY, &txn_), "txn_begin");
    }
    void check(int rc, const char *what) {
        if (rc != 0) die(std::string("lmdb: ") + what + ": " + mdb_strerror(rc));
    }
    size_t n_;
    bool multi_;
    MDB_env *env_ = nullptr;
    MDB_dbi main_ = 0, sec_ = 0;
    MDB_txn *txn_ = nullptr;
    bool write_ = false;
    size_t ops_ = 0;
};
#endif

// ---------------------------------------------------------------- SQLite
#ifdef WISAM_BENCH_SQLITE
class SqliteEngine final : public Engine {
public:
    // multi: write-ahead log, a busy timeout and BEGIN IMMEDIATE for
    // writes, for the multi-process workload.
    explicit SqliteEngine(bool multi) : multi_(multi) {}
    std::string name() const override { return "sqlite"; }
    void open(const std::string &dir) override {
        check(sqlite3_open((dir + "/records.sqlite").c_str(), &db_), "open");
        if (multi_) check(sqlite3_busy_timeout(db_, 600000), "busy_timeout");
        exec("PRAGMA synchronous=OFF");
        exec(multi_ ? "PRAGMA journal_mode=WAL" : "PRAGMA journal_mode=OFF");
        exec(("PRAGMA cache_size=-" + std::to_string(kCacheBudget >> 10)).c_str());
        exec("CREATE TABLE IF NOT EXISTS t(pk BLOB PRIMARY KEY, sec INTEGER NOT NULL, filler BLOB NOT NULL) "
             "WITHOUT ROWID");
        exec("CREATE INDEX IF NOT EXISTS t_sec ON t(sec)");
        ins_ = prepare("INSERT INTO t(pk, sec, filler) VALUES(?1, ?2, ?3)");
        get_ = prepare("SELECT sec, filler FROM t WHERE pk = ?1");
        scanP_ = prepare("SELECT pk, sec, filler FROM t ORDER BY pk");
        scanS_ = prepare("SELECT pk, sec, filler FROM t INDEXED BY t_sec ORDER BY sec");
        upd_ = prepare("UPDATE t SET sec = ?2, filler = ?3 WHERE pk = ?1");
        del_ = prepare("DELETE FROM t WHERE pk = ?1");
    }
    void begin(bool write) override {
        write_ = write;
        ops_ = 0;
        exec(multi_ && write ? "BEGIN IMMEDIATE" : "BEGIN");
    }
    void end() override { exec("COMMIT"); }
    void insert(const uint8_t *rec) override {
        bindRecord(ins_, rec);
        step(ins_, "insert");
        counted();
    }
    bool get(uint64_t key, uint8_t *rec) override {
        store64(key, rec);
        sqlite3_bind_blob(get_, 1, rec, 8, SQLITE_STATIC);
        const int rc = sqlite3_step(get_);
        if (rc == SQLITE_ROW) {
            store32(static_cast<uint32_t>(sqlite3_column_int(get_, 0)), rec + kSecondaryAt);
            copyFiller(get_, 1, rec);
        } else if (rc != SQLITE_DONE) {
            die(std::string("sqlite: get: ") + sqlite3_errmsg(db_));
        }
        sqlite3_reset(get_);
        counted();
        return rc == SQLITE_ROW;
    }
    void scanPrimary(const Visit &visit) override { scan(scanP_, visit); }
    void scanSecondary(const Visit &visit) override { scan(scanS_, visit); }
    bool update(const uint8_t *rec) override {
        bindRecord(upd_, rec);
        step(upd_, "update");
        counted();
        return sqlite3_changes(db_) == 1;
    }
    bool remove(uint64_t key) override {
        uint8_t kb[8];
        store64(key, kb);
        sqlite3_bind_blob(del_, 1, kb, 8, SQLITE_STATIC);
        step(del_, "delete");
        counted();
        return sqlite3_changes(db_) == 1;
    }
    void close() override {
        for (sqlite3_stmt *s : {ins_, get_, scanP_, scanS_, upd_, del_}) sqlite3_finalize(s);
        check(sqlite3_close(db_), "close");
        db_ = nullptr;
    }
    // PRAGMA integrity_check (it must answer "ok"), then REINDEX of the
    // secondary index (the primary is the table itself).
    bool hasMaintenance() const override { return !multi_; }
    std::vector<MaintStep> maintain() override {
        std::vector<MaintStep> steps;
        std::string answer;
        double t0 = now();
        auto collect = [](void *out, int columns, char **values, char **) {
            auto &text = *static_cast<std::string *>(out);
            if (columns > 0 && values[0] != nullptr) text += (text.empty() ? "" : "; ") + std::string(values[0]);
            return 0;
        };
        check(sqlite3_exec(db_, "PRAGMA integrity_check", collect, &answer, nullptr), "integrity_check");
        steps.push_back({"PRAGMA integrity_check", now() - t0});
        if (answer != "ok") mismatch(name(), "integrity_check: " + answer);
        t0 = now();
        exec("REINDEX t_sec");
        steps.push_back({"REINDEX t_sec", now() - t0});
        return steps;
    }

private:
    void scan(sqlite3_stmt *s, const Visit &visit) {
        uint8_t rec[kRecordLength];
        int rc;
        while ((rc = sqlite3_step(s)) == SQLITE_ROW) {
            if (sqlite3_column_bytes(s, 0) != 8) die("sqlite: bad key length");
            std::memcpy(rec, sqlite3_column_blob(s, 0), 8);
            store32(static_cast<uint32_t>(sqlite3_column_int(s, 1)), rec + kSecondaryAt);
            copyFiller(s, 2, rec);
            visit(rec);
        }
        if (rc != SQLITE_DONE) die(std::string("sqlite: scan: ") + sqlite3_errmsg(db_));
        sqlite3_reset(s);
    }
    static void copyFiller(sqlite3_stmt *s, int column, uint8_t *rec) {
        const int bytes = sqlite3_column_bytes(s, column);
        if (bytes != kRecordLength - kFillerAt) die("sqlite: bad filler length");
        std::memcpy(rec + kFillerAt, sqlite3_column_blob(s, column), bytes);
    }
    static void bindRecord(sqlite3_stmt *s, const uint8_t *rec) {
        sqlite3_bind_blob(s, 1, rec, 8, SQLITE_STATIC);
        sqlite3_bind_int(s, 2, static_cast<int>(load32(rec + kSecondaryAt)));
        sqlite3_bind_blob(s, 3, rec + kFillerAt, kRecordLength - kFillerAt, SQLITE_STATIC);
    }
    void step(sqlite3_stmt *s, const char *what) {
        const int rc = sqlite3_step(s);
        if (rc != SQLITE_DONE) die(std::string("sqlite: ") + what + ": " + sqlite3_errmsg(db_));
        sqlite3_reset(s);
    }
    void counted() {
        if (++ops_ % kBatch != 0) return;
        exec("COMMIT");
        exec(multi_ && write_ ? "BEGIN IMMEDIATE" : "BEGIN");
    }
    sqlite3_stmt *prepare(const char *sql) {
        sqlite3_stmt *s = nullptr;
        check(sqlite3_prepare_v2(db_, sql, -1, &s, nullptr), sql);
        return s;
    }
    void exec(const char *sql) { check(sqlite3_exec(db_, sql, nullptr, nullptr, nullptr), sql); }
    void check(int rc, const char *what) {
        if (rc != SQLITE_OK) die(std::string("sqlite: ") + what + ": " + sqlite3_errmsg(db_));
    }
    bool multi_;
    sqlite3 *db_ = nullptr;
    sqlite3_stmt *ins_ = nullptr, *get_ = nullptr, *scanP_ = nullptr, *scanS_ = nullptr, *upd_ = nullptr,
                 *del_ = nullptr;
    bool write_ = false;
    size_t ops_ = 0;
};
#endif

// ---------------------------------------------------------------- Berkeley DB
#ifdef WISAM_BENCH_BDB
class BdbEngine final : public Engine {
public:
    // multi: a Concurrent Data Store environment in files of the directory
    // that every process joins, for the multi-process workload.
    explicit BdbEngine(bool multi) : multi_(multi) {}
    std::string name() const override { return "bdb"; }
    void open(const std::string &dir) override {
        dir_ = dir;
        check(db_env_create(&env_, 0), "db_env_create");
        check(env_->set_cachesize(env_, 0, uint32_t(kCacheBudget), 1), "set_cachesize");
        if (multi_) {
            check(env_->set_flags(env_, DB_CDB_ALLDB, 1), "set_flags DB_CDB_ALLDB");
            check(env_->open(env_, dir.c_str(), DB_CREATE | DB_INIT_CDB | DB_INIT_MPOOL, 0644), "env open");
        } else {
            check(env_->open(env_, dir.c_str(), DB_CREATE | DB_INIT_MPOOL | DB_PRIVATE, 0644), "env open");
        }
        check(db_create(&primary_, env_, 0), "db_create");
        check(primary_->open(primary_, nullptr, "primary.db", nullptr, DB_BTREE, DB_CREATE, 0644), "open primary");
        check(db_create(&secondary_, env_, 0), "db_create");
        check(secondary_->set_flags(secondary_, DB_DUPSORT), "set_flags");
        check(secondary_->open(secondary_, nullptr, "secondary.db", nullptr, DB_BTREE, DB_CREATE, 0644),
              "open secondary");
        check(primary_->associate(primary_, nullptr, secondary_, secondaryKey, 0), "associate");
    }
    void flush() override {
        check(primary_->sync(primary_, 0), "sync");
        check(secondary_->sync(secondary_, 0), "sync");
    }
    void insert(const uint8_t *rec) override {
        DBT k = dbt(rec, 8), d = dbt(rec + 8, kRecordLength - 8);
        check(primary_->put(primary_, nullptr, &k, &d, DB_NOOVERWRITE), "put");
    }
    bool get(uint64_t key, uint8_t *rec) override {
        store64(key, rec);
        DBT k = dbt(rec, 8), d = dbt(rec + 8, kRecordLength - 8);
        d.ulen = kRecordLength - 8;
        d.flags = DB_DBT_USERMEM;
        const int rc = primary_->get(primary_, nullptr, &k, &d, 0);
        if (rc == DB_NOTFOUND) return false;
        check(rc, "get");
        return d.size == kRecordLength - 8;
    }
    void scanPrimary(const Visit &visit) override {
        uint8_t rec[kRecordLength];
        DBC *c;
        check(primary_->cursor(primary_, nullptr, &c, 0), "cursor");
        DBT k{}, d{};
        int rc;
        while ((rc = c->get(c, &k, &d, DB_NEXT)) == 0) {
            std::memcpy(rec, k.data, 8);
            std::memcpy(rec + 8, d.data, kRecordLength - 8);
            visit(rec);
        }
        if (rc != DB_NOTFOUND) check(rc, "cursor get");
        c->close(c);
    }
    void scanSecondary(const Visit &visit) override {
        uint8_t rec[kRecordLength];
        DBC *c;
        check(secondary_->cursor(secondary_, nullptr, &c, 0), "cursor");
        DBT sk{}, pk{}, d{};
        int rc;
        while ((rc = c->pget(c, &sk, &pk, &d, DB_NEXT)) == 0) {
            std::memcpy(rec, pk.data, 8);
            std::memcpy(rec + 8, d.data, kRecordLength - 8);
            visit(rec);
        }
        if (rc != DB_NOTFOUND) check(rc, "cursor pget");
        c->close(c);
    }
    bool update(const uint8_t *rec) override {
        DBT k = dbt(rec, 8), d{};
        const int rc = primary_->exists(primary_, nullptr, &k, 0);
        if (rc == DB_NOTFOUND) return false;
        check(rc, "exists");
        d = dbt(rec + 8, kRecordLength - 8);
        check(primary_->put(primary_, nullptr, &k, &d, 0), "put");
        return true;
    }
    bool remove(uint64_t key) override {
        uint8_t kb[8];
        store64(key, kb);
        DBT k = dbt(kb, 8);
        const int rc = primary_->del(primary_, nullptr, &k, 0);
        if (rc == DB_NOTFOUND) return false;
        check(rc, "del");
        return true;
    }
    void close() override {
        check(secondary_->close(secondary_, 0), "close secondary");
        check(primary_->close(primary_, 0), "close primary");
        check(env_->close(env_, 0), "env close");
    }
    // DB->verify of both databases, closed, each in a private environment
    // with the same cache; then the store is opened again.
    bool hasMaintenance() const override { return !multi_; }
    std::vector<MaintStep> maintain() override {
        if (multi_) return {};
        const std::string dir = dir_;
        close();
        std::vector<MaintStep> steps;
        for (const char *file : {"primary.db", "secondary.db"}) {
            DB_ENV *env = bdbEnv(dir, DB_CREATE | DB_INIT_MPOOL | DB_PRIVATE, "bdb verify");
            DB *db;
            check(db_create(&db, env, 0), "db_create");
            const double t0 = now();
            const int rc = db->verify(db, file, nullptr, nullptr, 0);  // frees db
            steps.push_back({std::string("DB->verify ") + file, now() - t0});
            if (rc != 0) mismatch(name(), std::string("DB->verify ") + file + ": " + db_strerror(rc));
            check(env->close(env, 0), "env close");
        }
        open(dir);
        return steps;
    }

private:
    static int secondaryKey(DB *, const DBT *, const DBT *data, DBT *key) {
        std::memset(key, 0, sizeof *key);
        key->data = data->data;  // the secondary key leads the stored part
        key->size = 4;
        return 0;
    }
    static DBT dbt(const uint8_t *p, uint32_t size) {
        DBT t{};
        t.data = const_cast<uint8_t *>(p);
        t.size = size;
        return t;
    }
    static void check(int rc, const char *what) {
        if (rc != 0) die(std::string("bdb: ") + what + ": " + db_strerror(rc));
    }
    bool multi_;
    std::string dir_;
    DB_ENV *env_ = nullptr;
    DB *primary_ = nullptr, *secondary_ = nullptr;
};
#endif

// ---------------------------------------------------------------- harness
// W3c, the primary scan of a store clustered on its primary key, comes
// from the maintenance pass; it is compared with the peers' W3.
const char *const kWorkloads[] = {"W1 insert", "W2 get", "W3 scan primary", "W4 scan secondary", "W5 update",
                                  "W6 delete", "W7 get absent", "W3c scan clustered"};
constexpr int kWorkloadCount = 8;
constexpr int kScanPrimary = 2, kScanClustered = 7;

// A workload's short name: its first word (W1 .. W7, W3c).
std::string workloadId(int w) {
    const std::string name = kWorkloads[w];
    return name.substr(0, name.find(' '));
}

struct Result {
    std::string engine;
    bool onDisk = true;
    double ops[kWorkloadCount] = {};
    double seconds[kWorkloadCount] = {};
    double bytesPerRecord = 0;
    std::vector<MaintStep> maint;  // the maintenance pass, in order
};

uint32_t updatedSecondary(uint32_t old) { return (old + 500) % 1000; }

// `sample` (0: no limit) caps the operations of the point workloads (W2,
// W7, W5, W6) on a large store; the load and the scans still cover all N.
Result run(Engine &e, size_t n, const std::string &root, bool maintenance, size_t sample = 0) {
    Result r;
    r.engine = e.name();
    r.onDisk = e.onDisk();
    const std::string name = r.engine == "std::map" ? "map" : r.engine;
    const std::string dir = root + "/" + name;
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    const size_t half = sample == 0 ? n / 2 : std::min(n / 2, sample);
    const size_t probeCount = sample == 0 ? n : std::min(n, sample);
    const auto insertOrder = permutation(n, 1);
    const auto updateOrder = permutation(n, 3);
    const auto deleteOrder = permutation(n, 4);
    std::vector<uint32_t> secondary(n);
    for (size_t i = 0; i < n; ++i) secondary[i] = keyOf(i) % 1000;
    uint8_t rec[kRecordLength];
    auto timed = [&](int w, double ops, auto &&body) {
        const double t0 = now();
        body();
        r.seconds[w] = now() - t0;
        r.ops[w] = ops;
    };
    auto checkRecord = [&](const uint8_t *p, const char *where) {
        const uint64_t key = load64(p);
        const size_t i = indexOf(key);
        if (key < kOffset || i >= n || keyOf(i) != key) return mismatch(r.engine, std::string(where) + ": unknown key");
        if (load32(p + kSecondaryAt) != secondary[i]) mismatch(r.engine, std::string(where) + ": wrong secondary");
        if (!fillerOk(p)) mismatch(r.engine, std::string(where) + ": wrong filler");
    };
    // A scan's check: count, order, and the sum of the keys seen.
    auto scanCheck = [&](bool bySecondary, size_t expected, const char *where) {
        size_t count = 0;
        uint64_t previous = 0, sum = 0;
        bool ordered = true;
        auto visit = [&](const uint8_t *p) {
            const uint64_t k = bySecondary ? load32(p + kSecondaryAt) : load64(p);
            if (count > 0 && (bySecondary ? k < previous : k <= previous)) ordered = false;
            previous = k;
            sum += load64(p);
            ++count;
            checkRecord(p, where);
        };
        if (bySecondary) e.scanSecondary(visit);
        else e.scanPrimary(visit);
        if (count != expected)
            mismatch(r.engine, std::string(where) + ": " + std::to_string(count) + " records, " +
                                   std::to_string(expected) + " expected");
        if (!ordered) mismatch(r.engine, std::string(where) + ": out of order");
        return sum;
    };
    uint64_t keySum = 0;
    for (size_t i = 0; i < n; ++i) keySum += keyOf(i);

    e.open(dir);
    timed(0, double(n), [&] {
        e.begin(true);
        for (uint32_t i : insertOrder) {
            makeRecord(keyOf(i), secondary[i], rec);
            e.insert(rec);
        }
        e.end();
        if (r.onDisk) {
            e.flush();
            fsyncDir(dir);
        }
    });
    r.bytesPerRecord = r.onDisk ? double(bytesOnDisk(dir)) / double(n) : 0;

    Random rnd(2);
    std::vector<uint32_t> probes(probeCount);
    for (auto &p : probes) p = static_cast<uint32_t>(rnd.next() % n);
    size_t found = 0;
    timed(1, double(probeCount), [&] {
        e.begin(false);
        for (uint32_t i : probes) {
            if (e.get(keyOf(i), rec) && load64(rec) == keyOf(i)) {
                ++found;
                checkRecord(rec, "W2");
            }
        }
        e.end();
    });
    if (found != probeCount) mismatch(r.engine, "W2: " + std::to_string(probeCount - found) + " reads not found");

    // W7: the same probes for keys that lie between stored ones: a read that
    // finds nothing should cost what a read that finds its record costs.
    size_t absentFound = 0;
    timed(6, double(probeCount), [&] {
        e.begin(false);
        for (uint32_t i : probes) absentFound += e.get(keyOf(i) + 1, rec) ? 1 : 0;
        e.end();
    });
    if (absentFound != 0) mismatch(r.engine, "W7: " + std::to_string(absentFound) + " absent keys found");

    uint64_t sum = 0;
    timed(2, double(n), [&] {
        e.begin(false);
        sum = scanCheck(false, n, "W3");
        e.end();
    });
    if (sum != keySum) mismatch(r.engine, "W3: wrong key set");
    timed(3, double(n), [&] {
        e.begin(false);
        sum = scanCheck(true, n, "W4");
        e.end();
    });
    if (sum != keySum) mismatch(r.engine, "W4: wrong key set");

    size_t changed = 0;
    timed(4, double(half), [&] {
        e.begin(true);
        for (size_t j = 0; j < half; ++j) {
            const uint32_t i = updateOrder[j];
            secondary[i] = updatedSecondary(secondary[i]);
            makeRecord(keyOf(i), secondary[i], rec);
            changed += e.update(rec) ? 1 : 0;
        }
        e.end();
    });
    if (changed != half) mismatch(r.engine, "W5: " + std::to_string(half - changed) + " updates failed");

    size_t deleted = 0;
    timed(5, double(half), [&] {
        e.begin(true);
        for (size_t j = 0; j < half; ++j) deleted += e.remove(keyOf(deleteOrder[j])) ? 1 : 0;
        e.end();
    });
    if (deleted != half) mismatch(r.engine, "W6: " + std::to_string(half - deleted) + " deletes failed");

    // Untimed: the state after the updates and deletes, in both orders.
    uint64_t leftSum = keySum;
    for (size_t j = 0; j < half; ++j) leftSum -= keyOf(deleteOrder[j]);
    e.begin(false);
    if (scanCheck(false, n - half, "final primary") != leftSum) mismatch(r.engine, "final primary: wrong key set");
    if (scanCheck(true, n - half, "final secondary") != leftSum)
        mismatch(r.engine, "final secondary: wrong key set");
    for (size_t j = 0; j < std::min<size_t>(half, 1000); ++j)
        if (e.get(keyOf(deleteOrder[j]), rec)) mismatch(r.engine, "final: a deleted key is still found");
    e.end();
    e.close();
    if (!maintenance || !e.hasMaintenance()) return r;

    // The maintenance pass, on a store of its own loaded as in W1
    // (untimed): a primary scan with the caches as the load left them, the
    // engine's checks and rebuilds; then, where the engine can, the store
    // clustered on its primary key and scanned twice (W3c is the first).
    const std::string maintDir = dir + "-maint";
    freshDir(maintDir);
    for (size_t i = 0; i < n; ++i) secondary[i] = keyOf(i) % 1000;
    e.open(maintDir);
    e.begin(true);
    for (uint32_t i : insertOrder) {
        makeRecord(keyOf(i), secondary[i], rec);
        e.insert(rec);
    }
    e.end();
    e.flush();
    fsyncDir(maintDir);
    auto maintScan = [&](const char *where) {
        const double t0 = now();
        e.begin(false);
        if (scanCheck(false, n, where) != keySum) mismatch(r.engine, std::string(where) + ": wrong key set");
        e.end();
        return now() - t0;
    };
    r.maint.push_back({"scan primary after the load", maintScan("maintenance scan")});
    for (auto &step : e.maintain()) r.maint.push_back(step);
    const double t0 = now();
    if (e.cluster()) {
        r.maint.push_back({"isCluster on the primary key", now() - t0});
        timed(kScanClustered, double(n), [&] { (void)maintScan("W3c"); });
        r.maint.push_back({"W3c scan clustered", r.seconds[kScanClustered]});
        r.maint.push_back({"W3c scan clustered again", maintScan("W3c again")});
        if (scanCheck(true, n, "W4 after isCluster") != keySum) mismatch(r.engine, "W4 after isCluster: wrong key set");
    }
    e.close();
    return r;
}

// ---------------------------------------------------------------- multi-process
// Two writer and two reader processes on one store.  The parent loads N/2
// records (indexes 0 .. N/2-1), closes the store and forks; every child opens
// its own handle, waits until all four are ready, then works:
//   writer w  inserts its own N/4 new records (indexes N/2 + w*N/4 ...), then
//             updates each of them, changing the secondary key;
//   reader    two rounds of N/8 random point reads of loaded records and one
//             full scan in secondary order.
// Writes and reads go in transactions of kMultiBatch operations where the
// engine has them.  After the children exit the parent reopens the store and
// checks the record count and every record in both orders.
constexpr int kWriters = 2;
constexpr int kReaders = 2;

struct ChildReport {  // in memory shared with the parent
    uint64_t ops;
    uint64_t mismatches;
    double seconds;
};

struct MultiResult {
    std::string engine;
    double writeOps = 0, readOps = 0, seconds = 0;
    double rate() const { return seconds > 0 ? (writeOps + readOps) / seconds : 0; }
};

uint32_t firstSecondary(size_t i) { return static_cast<uint32_t>(keyOf(i) % 1000); }

// A record a child or the parent saw: a known key, the filler, and one of the
// secondary keys its record can have (loaded records are never updated).
bool multiRecordOk(const uint8_t *p, size_t n, bool updatedAllowed, bool firstAllowed) {
    const uint64_t key = load64(p);
    const size_t i = indexOf(key);
    if (key < kOffset || i >= n || keyOf(i) != key || !fillerOk(p)) return false;
    const uint32_t sec = load32(p + kSecondaryAt);
    if (i < n / 2) return sec == firstSecondary(i);
    return (firstAllowed && sec == firstSecondary(i)) || (updatedAllowed && sec == updatedSecondary(firstSecondary(i)));
}

uint64_t writerWork(Engine &e, size_t n, int w, const std::string &name) {
    const size_t quarter = n / 4, first = n / 2 + size_t(w) * quarter;
    uint8_t rec[kRecordLength];
    uint64_t ops = 0;
    auto batched = [&](const std::vector<uint32_t> &order, auto &&op) {
        for (size_t j = 0; j < order.size(); j += kMultiBatch) {
            e.begin(true);
            for (size_t k = j; k < std::min(order.size(), j + kMultiBatch); ++k, ++ops) op(first + order[k]);
            e.end();
        }
    };
    batched(permutation(quarter, 10 + w), [&](size_t i) {
        makeRecord(keyOf(i), firstSecondary(i), rec);
        e.insert(rec);
    });
    size_t changed = 0;
    batched(permutation(quarter, 20 + w), [&](size_t i) {
        makeRecord(keyOf(i), updatedSecondary(firstSecondary(i)), rec);
        changed += e.update(rec) ? 1 : 0;
    });
    if (changed != quarter) mismatch(name, "writer: " + std::to_string(quarter - changed) + " updates failed");
    return ops;
}

uint64_t readerWork(Engine &e, size_t n, int r, const std::string &name) {
    const size_t loaded = n / 2, reads = n / 8;
    uint64_t loadedSum = 0;
    for (size_t i = 0; i < loaded; ++i) loadedSum += keyOf(i);
    Random rnd(30 + r);
    uint8_t rec[kRecordLength];
    uint64_t ops = 0;
    for (int round = 0; round < 2; ++round) {
        size_t found = 0;
        for (size_t j = 0; j < reads; j += kMultiBatch) {
            e.begin(false);
            for (size_t k = j; k < std::min(reads, j + kMultiBatch); ++k, ++ops) {
                const size_t i = rnd.next() % loaded;
                if (e.get(keyOf(i), rec) && load64(rec) == keyOf(i) && multiRecordOk(rec, n, false, true)) ++found;
            }
            e.end();
        }
        if (found != reads) mismatch(name, "reader: " + std::to_string(reads - found) + " reads not found or wrong");
        // The scan: ordered by secondary key, every record valid, every loaded
        // record exactly once (new records may be seen or not, or twice for
        // an engine without snapshots when one moves during the scan).
        size_t loadedSeen = 0, bad = 0;
        uint64_t sum = 0;
        uint32_t previous = 0;
        bool ordered = true;
        e.begin(false);
        e.scanSecondary([&](const uint8_t *p) {
            const uint32_t sec = load32(p + kSecondaryAt);
            if (sec < previous) ordered = false;
            previous = sec;
            ++ops;
            if (!multiRecordOk(p, n, true, true)) return void(++bad);
            if (indexOf(load64(p)) < loaded) ++loadedSeen, sum += load64(p);
        });
        e.end();
        if (bad != 0) mismatch(name, "reader scan: " + std::to_string(bad) + " wrong records");
        if (!ordered) mismatch(name, "reader scan: out of order");
        if (loadedSeen != loaded || sum != loadedSum)
            mismatch(name, "reader scan: " + std::to_string(loadedSeen) + " loaded records, " +
                               std::to_string(loaded) + " expected");
    }
    return ops;
}

// The child's life: open its own handle, report ready, wait for the start,
// work, close, report.  Never returns.
[[noreturn]] void multiChild(Engine &e, const std::string &dir, size_t n, int role, int ready, int go,
                             ChildReport *report) {
    e.attach(dir);
    char byte = 1;
    if (write(ready, &byte, 1) != 1) _exit(2);
    close(ready);
    if (read(go, &byte, 1) != 0) _exit(2);  // the parent closes it: the start
    const double t0 = now();
    const uint64_t ops =
        role < kWriters ? writerWork(e, n, role, e.name()) : readerWork(e, n, role - kWriters, e.name());
    report->seconds = now() - t0;
    e.close();
    report->ops = ops;
    report->mismatches = static_cast<uint64_t>(mismatches);
    std::fflush(stderr);
    _exit(mismatches == 0 ? 0 : 1);
}

// The parent's check after the children: N records, each with its final
// secondary key, in both orders.
void multiFinalCheck(Engine &e, const std::string &dir, size_t n) {
    uint64_t keySum = 0;
    for (size_t i = 0; i < n; ++i) keySum += keyOf(i);
    e.attach(dir);
    e.begin(false);
    for (bool bySecondary : {false, true}) {
        size_t count = 0, bad = 0;
        uint64_t previous = 0, sum = 0;
        bool ordered = true;
        auto visit = [&](const uint8_t *p) {
            const uint64_t k = bySecondary ? load32(p + kSecondaryAt) : load64(p);
            if (count > 0 && (bySecondary ? k < previous : k <= previous)) ordered = false;
            previous = k;
            sum += load64(p);
            ++count;
            if (!multiRecordOk(p, n, true, false)) ++bad;
        };
        if (bySecondary) e.scanSecondary(visit);
        else e.scanPrimary(visit);
        const std::string where = bySecondary ? "multi final secondary" : "multi final primary";
        if (count != n || sum != keySum)
            mismatch(e.name(), where + ": " + std::to_string(count) + " records, " + std::to_string(n) + " expected");
        if (bad != 0) mismatch(e.name(), where + ": " + std::to_string(bad) + " wrong records");
        if (!ordered) mismatch(e.name(), where + ": out of order");
    }
    e.end();
    e.close();
}

MultiResult runMulti(Engine &e, size_t n, const std::string &root) {
    n -= n % 8;  // whole quarters for the writers, eighths for the readers
    MultiResult m;
    m.engine = e.name();
    const std::string dir = root + "/multi-" + m.engine;
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    // The initial load, in this process, then closed before the fork.
    e.open(dir);
    uint8_t rec[kRecordLength];
    const auto order = permutation(n / 2, 5);
    for (size_t j = 0; j < order.size(); j += kMultiBatch) {
        e.begin(true);
        for (size_t k = j; k < std::min(order.size(), j + kMultiBatch); ++k) {
            makeRecord(keyOf(order[k]), firstSecondary(order[k]), rec);
            e.insert(rec);
        }
        e.end();
    }
    e.flush();
    e.close();

    constexpr int kChildren = kWriters + kReaders;
    void *shared = mmap(nullptr, sizeof(ChildReport) * kChildren, PROT_READ | PROT_WRITE,
                        MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (shared == MAP_FAILED) die("mmap");
    auto *reports = static_cast<ChildReport *>(shared);
    std::memset(reports, 0, sizeof(ChildReport) * kChildren);
    // The children open the store one after another (untimed): wisam's
    // shared isOpen can refuse with 113 while another process opens.  Each
    // has its own ready pipe: end of file there means it died opening.
    int go[2];
    if (pipe(go) != 0) die("pipe");
    std::fflush(stdout);
    std::fflush(stderr);
    pid_t pids[kChildren];
    for (int c = 0; c < kChildren; ++c) {
        int ready[2];
        if (pipe(ready) != 0) die("pipe");
        pids[c] = fork();
        if (pids[c] < 0) die("fork");
        if (pids[c] == 0) {
            close(ready[0]);
            close(go[1]);
            multiChild(e, dir, n, c, ready[1], go[0], &reports[c]);
        }
        close(ready[1]);
        char byte;
        if (read(ready[0], &byte, 1) != 1) mismatch(m.engine, "child " + std::to_string(c) + " failed to open");
        close(ready[0]);
    }
    close(go[0]);
    const double t0 = now();
    close(go[1]);  // the start
    for (int c = 0; c < kChildren; ++c) {
        int status = 0;
        if (waitpid(pids[c], &status, 0) != pids[c]) die("waitpid");
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
            mismatch(m.engine, (c < kWriters ? "writer " : "reader ") + std::to_string(c % kWriters) + " exit status " +
                                   std::to_string(WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status)));
    }
    m.seconds = now() - t0;
    for (int c = 0; c < kChildren; ++c) {
        mismatches += static_cast<int>(reports[c].mismatches);
        (c < kWriters ? m.writeOps : m.readOps) += double(reports[c].ops);
    }
    munmap(shared, sizeof(ChildReport) * kChildren);
    if (m.writeOps != double(n / 4 * 2 * kWriters)) mismatch(m.engine, "multi: writers did not finish");
    multiFinalCheck(e, dir, n);
    return m;
}

// ---------------------------------------------------------------- SVG chart
// One group of bars per workload, one bar per engine, on a logarithmic
// ops/s axis; plain SVG text.
struct ChartGroup {
    std::string label;
    std::vector<std::pair<std::string, double>> bars;  // engine, ops/s
};

std::string svgEscape(const std::string &text) {
    std::string out;
    for (char c : text) {
        if (c == '&') out += "&amp;";
        else if (c == '<') out += "&lt;";
        else if (c == '>') out += "&gt;";
        else out += c;
    }
    return out;
}

void writeSvg(const std::string &path, const std::string &title, const std::vector<ChartGroup> &groups) {
    std::vector<std::string> engines;
    double lo = 1e300, hi = 0;
    for (const auto &g : groups)
        for (const auto &[engine, rate] : g.bars) {
            if (std::find(engines.begin(), engines.end(), engine) == engines.end()) engines.push_back(engine);
            if (rate > 0) lo = std::min(lo, rate), hi = std::max(hi, rate);
        }
    if (hi <= 0) lo = 1, hi = 10;
    const int decadeLo = static_cast<int>(std::floor(std::log10(lo))), decadeHi = static_cast<int>(std::ceil(std::log10(hi)));
    const int decades = std::max(1, decadeHi - decadeLo);
    const double barW = 14, gap = 22, left = 70, top = 50, plotH = 320, legendW = 150;
    const double groupW = barW * double(engines.size()) + gap;
    const double width = std::max(560.0, left + groupW * double(groups.size()) + legendW), height = top + plotH + 60;
    auto y = [&](double rate) {
        const double f = (std::log10(std::max(rate, std::pow(10.0, decadeLo))) - decadeLo) / decades;
        return top + plotH * (1 - f);
    };
    static const char *const colours[] = {"#1f77b4", "#aec7e8", "#ff7f0e", "#2ca02c", "#d62728", "#7f7f7f",
                                          "#9467bd", "#8c564b"};
    std::string svg;
    char buf[512];
    auto add = [&](const char *format, auto... args) {
        std::snprintf(buf, sizeof buf, format, args...);
        svg += buf;
    };
    add("<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%.0f\" height=\"%.0f\" font-family=\"sans-serif\" "
        "font-size=\"11\">\n",
        width, height);
    add("<rect width=\"100%%\" height=\"100%%\" fill=\"white\"/>\n");
    add("<text x=\"%.0f\" y=\"22\" font-size=\"14\">%s</text>\n", left, svgEscape(title).c_str());
    for (int d = decadeLo; d <= decadeLo + decades; ++d) {
        const double yy = y(std::pow(10.0, d));
        add("<line x1=\"%.0f\" y1=\"%.1f\" x2=\"%.0f\" y2=\"%.1f\" stroke=\"#ddd\"/>\n", left, yy,
            left + groupW * double(groups.size()), yy);
        static const char *const units[] = {"", "0", "00", "k", "0k", "00k", "M", "0M", "00M", "G"};
        add("<text x=\"%.0f\" y=\"%.1f\" text-anchor=\"end\">%s</text>\n", left - 6, yy + 4,
            d >= 0 && d <= 9 ? (std::string("1") + units[d]).c_str() : "?");
    }
    add("<text x=\"14\" y=\"%.0f\" transform=\"rotate(-90 14 %.0f)\" text-anchor=\"middle\">ops/s (log)</text>\n",
        top + plotH / 2, top + plotH / 2);
    for (size_t g = 0; g < groups.size(); ++g) {
        const double x0 = left + gap / 2 + groupW * double(g);
        for (const auto &[engine, rate] : groups[g].bars) {
            const size_t e = size_t(std::find(engines.begin(), engines.end(), engine) - engines.begin());
            const double x = x0 + barW * double(e), yy = y(rate);
            add("<rect x=\"%.1f\" y=\"%.1f\" width=\"%.0f\" height=\"%.1f\" fill=\"%s\"><title>%s %s: %.0f ops/s"
                "</title></rect>\n",
                x, yy, barW - 2, top + plotH - yy, colours[e % 8], svgEscape(engine).c_str(),
                svgEscape(groups[g].label).c_str(), rate);
        }
        add("<text x=\"%.1f\" y=\"%.0f\" text-anchor=\"middle\">%s</text>\n", x0 + barW * double(engines.size()) / 2,
            top + plotH + 18, svgEscape(groups[g].label).c_str());
    }
    const double lx = left + groupW * double(groups.size()) + 16;
    for (size_t e = 0; e < engines.size(); ++e) {
        add("<rect x=\"%.0f\" y=\"%.0f\" width=\"12\" height=\"12\" fill=\"%s\"/>\n", lx, top + 18 * double(e),
            colours[e % 8]);
        add("<text x=\"%.0f\" y=\"%.0f\">%s</text>\n", lx + 18, top + 18 * double(e) + 10,
            svgEscape(engines[e]).c_str());
    }
    svg += "</svg>\n";
    FILE *out = std::fopen(path.c_str(), "w");
    if (out == nullptr || std::fwrite(svg.data(), 1, svg.size(), out) != svg.size() || std::fclose(out) != 0)
        die("cannot write " + path);
}

constexpr size_t kDefaultDurableCommits = 1000;

// The engines of the single-process workloads, in the order of the table.
// The peers built in, for one process (`multi` false) or several.
void addPeers(std::vector<std::unique_ptr<Engine>> &engines, size_t n, bool multi) {
#ifdef WISAM_BENCH_LMDB
    engines.push_back(std::make_unique<LmdbEngine>(n, multi));
#endif
#ifdef WISAM_BENCH_SQLITE
    engines.push_back(std::make_unique<SqliteEngine>(multi));
#endif
#ifdef WISAM_BENCH_BDB
    engines.push_back(std::make_unique<BdbEngine>(multi));
#endif
    (void)engines, (void)n, (void)multi;
}

std::vector<std::unique_ptr<Engine>> singleEngines(size_t n) {
    std::vector<std::unique_ptr<Engine>> engines;
    engines.push_back(std::make_unique<WisamEngine>(true, n));
    engines.push_back(std::make_unique<WisamEngine>(true, n, false, true));
    engines.push_back(std::make_unique<WisamEngine>(false, n));
    addPeers(engines, n, false);
    engines.push_back(std::make_unique<MapEngine>());
    return engines;
}

void usage() {
    std::fprintf(stderr,
                 "usage: wisam-bench [-n N] [--single] [--multi] [--durable] [--varlen] [--no-maint] [--growth N,...]\n"
                 "                   [--commits C] [--rounds R] [--csv] [--svg FILE] [--dir DIR]\n"
                 "                   [--engines a,b,...] [--journal M] [--keep] [--threads T]\n"
                 "--single, --multi, --durable, --varlen: run only the workloads named (default: all four)\n"
                 "--growth N1,N2,...: only the single-process workloads at each N in turn and the growth\n"
                 "table (wisam-excl and lmdb unless --engines names others); above 1 000 000 records the point\n"
                 "workloads (W2, W7, W5, W6) make --sample K operations (default 1000000, 0: N)\n"
                 "--no-maint: the single-process workload without its maintenance pass (checks, rebuilds,\n"
                 "isCluster and W3c)\n"
                 "-n N: records (default 200000; the variable-length workload 100000)\n"
                 "--journal M: wisam's isJournalMode for every workload (default: the library's)\n"
                 "--threads T: only the threads workload: wisam with 1 and with T threads in one process,\n"
                 "each on a file of its own, N records each, --rounds R times (default 4)\n"
                 "--commits C: durable workload, C transactions of 1 record and C/2 of 100 (default %zu)\n"
                 "--rounds R: durable workload in R rounds that take the engines in turn (default 4)\n"
                 "engines: wisam-excl wisam-excl-1lock wisam-shared lmdb sqlite bdb map (those built in; the multi-process\n"
                 "workload runs wisam-shared, lmdb, sqlite and bdb; the durable one wisam (selected as\n"
                 "wisam or wisam-excl), lmdb, sqlite and bdb; the variable-length one wisam and wisam-packed\n"
                 "(both also selected by wisam-excl), lmdb, sqlite and bdb)\n",
                 kDefaultDurableCommits);
    std::exit(2);
}

double rate(const Result &r, int w) { return r.seconds[w] > 0 ? r.ops[w] / r.seconds[w] : 0.0; }

// The growth table: W1..W7 run at each record count in turn, for each
// engine; microseconds per operation, and how much wisam's cost per
// operation grew from the smallest count, next to how much the tree depth
// can have grown (log N / log N0).  A row whose cost grew faster is marked.
void printGrowthTable(const std::vector<std::pair<size_t, std::vector<Result>>> &rounds) {
    if (rounds.empty()) return;
    std::printf("Growth: microseconds per operation at each N (lower is better); \"grew\" is wisam-excl's\n"
                "cost at N over its cost at N = %zu, \"log\" is log N / log %zu (how much a tree can have\n"
                "deepened); a row marked * grew faster than log N\n\n",
                rounds.front().first, rounds.front().first);
    std::printf("%-18s %-14s", "workload", "engine");
    for (const auto &[n, results] : rounds) std::printf(" %11zu", n);
    std::printf("\n");
    const double n0 = double(rounds.front().first);
    for (int w = 0; w < kWorkloadCount; ++w) {
        if (w == kScanClustered) continue;
        for (const auto &first : rounds.front().second) {
            std::printf("%-18s %-14s", kWorkloads[w], first.engine.c_str());
            for (const auto &[n, results] : rounds) {
                const auto it = std::find_if(results.begin(), results.end(),
                                             [&](const Result &r) { return r.engine == first.engine; });
                if (it == results.end() || it->ops[w] <= 0) std::printf(" %11s", "-");
                else std::printf(" %11.3f", 1e6 * it->seconds[w] / it->ops[w]);
            }
            std::printf("\n");
            if (first.engine != "wisam-excl") continue;
            std::printf("%-18s %-14s", "", "  grew / log");
            for (const auto &[n, results] : rounds) {
                const auto it = std::find_if(results.begin(), results.end(),
                                             [&](const Result &r) { return r.engine == "wisam-excl"; });
                const double cost0 = first.seconds[w] / first.ops[w], cost = it->seconds[w] / it->ops[w];
                const double grew = cost / cost0, deeper = std::log(double(n)) / std::log(n0);
                std::printf("   %4.2f/%4.2f%s", grew, deeper, grew > deeper ? "*" : " ");
            }
            std::printf("\n");
        }
    }
}

std::vector<ChartGroup> growthChart(const std::vector<std::pair<size_t, std::vector<Result>>> &rounds) {
    std::vector<ChartGroup> groups;
    for (int w = 0; w < kWorkloadCount; ++w) {
        if (w == kScanClustered) continue;
        ChartGroup g{std::string(kWorkloads[w], 2), {}};
        for (const auto &[n, results] : rounds)
            for (const auto &r : results) g.bars.emplace_back(r.engine + " N=" + std::to_string(n), rate(r, w));
        groups.push_back(g);
    }
    return groups;
}

void printCsv(const std::vector<Result> &results, const std::vector<MultiResult> &multi,
              const std::vector<DurableResult> &durable, size_t n) {
    std::printf("engine,workload,ops,seconds,ops_per_s\n");
    for (const auto &r : results) {
        for (int w = 0; w < kWorkloadCount; ++w)
            if (w != kScanClustered || r.ops[w] > 0)
                std::printf("%s,%s,%.0f,%.6f,%.0f\n", r.engine.c_str(), workloadId(w).c_str(), r.ops[w], r.seconds[w],
                            rate(r, w));
        if (r.onDisk) std::printf("%s,bytes_per_record,%zu,,%.1f\n", r.engine.c_str(), n, r.bytesPerRecord);
        for (const auto &m : r.maint)  // the store's records per second of the step
            std::printf("%s,M:%s,%zu,%.6f,%.0f\n", r.engine.c_str(), m.what.c_str(), n, m.seconds,
                        m.seconds > 0 ? double(n) / m.seconds : 0.0);
    }
    for (const auto &m : multi) {
        std::printf("%s,MP,%.0f,%.6f,%.0f\n", m.engine.c_str(), m.writeOps + m.readOps, m.seconds, m.rate());
        std::printf("%s,MP-write,%.0f,%.6f,%.0f\n", m.engine.c_str(), m.writeOps, m.seconds, m.writeOps / m.seconds);
        std::printf("%s,MP-read,%.0f,%.6f,%.0f\n", m.engine.c_str(), m.readOps, m.seconds, m.readOps / m.seconds);
    }
    for (const auto &d : durable)  // ops are commits; records = commits x k
        for (int s = 0; s < kDurableSizeCount; ++s)
            std::printf("%s,D%d,%.0f,%.6f,%.0f\n", d.engine.c_str(), kDurableSizes[s], d.commits[s], d.seconds[s],
                        d.commitRate(s));
}

// Peers are the on-disk engines other than wisam; the std::map baseline is
// shown but never the best peer.
void printSingleTable(const std::vector<Result> &results, size_t n) {
    std::printf("N = %zu records of %d bytes; ops/s (higher is better)\n\n", n, kRecordLength);
    std::printf("%-18s", "workload");
    for (const auto &r : results) std::printf(" %13s", r.engine.c_str());
    std::printf("  %-8s", "best");
    for (const auto &r : results)
        if (isWisam(r.engine)) std::printf(" %11s", (r.engine.substr(6) + ":best").c_str());
    std::printf("\n");
    bool clustered = false;
    for (int w = 0; w < kWorkloadCount; ++w) {
        // W3c is shown where it was run, and set against the peers' W3.
        const bool shown = w != kScanClustered || std::any_of(results.begin(), results.end(), [&](const Result &r) {
                               return r.ops[w] > 0;
                           });
        if (!shown) continue;
        clustered = clustered || w == kScanClustered;
        const int peerW = w == kScanClustered ? kScanPrimary : w;
        std::printf("%-18s", kWorkloads[w]);
        const Result *best = nullptr;
        for (const auto &r : results) {
            if (r.ops[w] > 0 || w != kScanClustered) std::printf(" %13.0f", rate(r, w));
            else std::printf(" %13s", "-");
            if (!isWisam(r.engine) && r.onDisk && (best == nullptr || rate(r, peerW) > rate(*best, peerW))) best = &r;
        }
        std::printf("  %-8s", best ? best->engine.c_str() : "-");
        for (const auto &r : results)
            if (isWisam(r.engine)) {
                if (best && r.ops[w] > 0) std::printf(" %11.2f", rate(r, w) / rate(*best, peerW));
                else std::printf(" %11s", "-");
            }
        std::printf("\n");
    }
    std::printf("%-18s", "bytes/record");
    for (const auto &r : results) {
        if (r.onDisk) std::printf(" %13.1f", r.bytesPerRecord);
        else std::printf(" %13s", "(memory)");
    }
    std::printf("\n");
    if (clustered)
        std::printf("W3c: W3 on a store loaded as in W1 and clustered on its primary key (isCluster), the first\n"
                    "scan after it; its best and ratio columns are the peers' W3\n");
}

// The maintenance pass: seconds of each engine's steps, then wisam's check
// (isCheckData + isCheckIndex of both indexes) and rebuild (isRebuildIdx of
// both) set against the peers' checks.
void printMaintTable(const std::vector<Result> &results, size_t n) {
    std::printf("Maintenance of a store of its own, loaded as in W1 (N = %zu records, two indexes); seconds\n"
                "(lower is better)\n\n",
                n);
    std::printf("%-14s %-34s %10s\n", "engine", "step", "seconds");
    auto total = [](const Result &r, const char *prefix1, const char *prefix2) {
        double sum = 0;
        for (const auto &m : r.maint)
            if (m.what.rfind(prefix1, 0) == 0 || m.what.rfind(prefix2, 0) == 0) sum += m.seconds;
        return sum;
    };
    for (const auto &r : results)
        for (const auto &m : r.maint) std::printf("%-14s %-34s %10.3f\n", r.engine.c_str(), m.what.c_str(), m.seconds);
    for (const auto &w : results) {
        const double check = total(w, "isCheckData", "isCheckIndex"), rebuild = total(w, "isRebuildIdx", "-"),
                     keptRebuild = total(w, "kept lock: isRebuildIdx", "-");
        if (!isWisam(w.engine) || check <= 0) continue;
        std::printf("\n%s: check %.3f s, rebuild %.3f s (under a kept lock %.3f s)", w.engine.c_str(), check, rebuild,
                    keptRebuild);
        for (const auto &p : results) {
            const double peerCheck = total(p, "PRAGMA integrity_check", "DB->verify");
            if (!isWisam(p.engine) && peerCheck > 0)
                std::printf("; check / %s's check %.2f", p.engine.c_str(), check / peerCheck);
        }
        std::printf("\n");
    }
}

void printMultiTable(const std::vector<MultiResult> &multi, size_t n) {
    const size_t m = n - n % 8;
    std::printf("Multi-process: %d writers + %d readers on one store, %zu records loaded before the fork;\n"
                "each writer inserts %zu new records then updates them, each reader does 2 x (%zu point reads\n"
                "+ 1 full secondary scan); wall time from the start signal until every child has exited\n\n",
                kWriters, kReaders, m / 2, m / 4, m / 8);
    std::printf("%-14s %11s %11s %9s %11s %11s %11s\n", "engine", "write ops", "read ops", "seconds", "ops/s",
                "write ops/s", "read ops/s");
    const MultiResult *best = nullptr;
    for (const auto &r : multi) {
        std::printf("%-14s %11.0f %11.0f %9.3f %11.0f %11.0f %11.0f\n", r.engine.c_str(), r.writeOps, r.readOps,
                    r.seconds, r.rate(), r.writeOps / r.seconds, r.readOps / r.seconds);
        if (!isWisam(r.engine) && (best == nullptr || r.rate() > best->rate())) best = &r;
    }
    for (const auto &r : multi)
        if (isWisam(r.engine) && best != nullptr) {
            std::printf("\n%s / best peer (%s): %.2f total", r.engine.c_str(), best->engine.c_str(),
                        r.rate() / best->rate());
            for (const auto &p : multi)
                if (!isWisam(p.engine)) std::printf(", %.2f vs %s", r.rate() / p.rate(), p.engine.c_str());
            std::printf("\n");
        }
}

std::vector<ChartGroup> chartGroups(const std::vector<Result> &results, const std::vector<MultiResult> &multi) {
    std::vector<ChartGroup> groups;
    for (int w = 0; !results.empty() && w < kWorkloadCount; ++w) {
        if (w == kScanClustered) continue;
        ChartGroup g{std::string(kWorkloads[w], 2), {}};
        for (const auto &r : results) g.bars.emplace_back(r.engine, rate(r, w));
        groups.push_back(g);
    }
    if (!multi.empty()) {
        ChartGroup g{"MP 2W+2R", {}};
        for (const auto &m : multi) g.bars.emplace_back(m.engine, m.rate());
        groups.push_back(g);
    }
    return groups;
}

}  // namespace

int main(int argc, char **argv) {
    size_t n = 200000, durableCommits = kDefaultDurableCommits, varlenN = 100000;
    int durableRounds = 4;
    bool csv = false, keep = false, single = false, multiProcess = false, durable = false, varlen = false,
         maintenance = true;
    std::string root, only, svgPath;
    std::vector<size_t> growth;
    size_t sample = 1000000;
    int threads = 0;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "-n" && i + 1 < argc) n = varlenN = std::strtoull(argv[++i], nullptr, 10);
        else if (a == "--commits" && i + 1 < argc) durableCommits = std::strtoull(argv[++i], nullptr, 10);
        else if (a == "--rounds" && i + 1 < argc) durableRounds = std::atoi(argv[++i]);
        else if (a == "--csv") csv = true;
        else if (a == "--keep") keep = true;
        else if (a == "--single") single = true;
        else if (a == "--multi") multiProcess = true;
        else if (a == "--durable") durable = true;
        else if (a == "--varlen") varlen = true;
        else if (a == "--no-maint") maintenance = false;
        else if (a == "--svg" && i + 1 < argc) svgPath = argv[++i];
        else if (a == "--growth" && i + 1 < argc) {
            for (const char *p = argv[++i]; *p != 0;) {
                char *end = nullptr;
                growth.push_back(std::strtoull(p, &end, 10));
                if (end == p || growth.back() < 8 || growth.back() > 100000000) usage();
                p = *end == ',' ? end + 1 : end;
            }
        }
        else if (a == "--sample" && i + 1 < argc) sample = std::strtoull(argv[++i], nullptr, 10);
        else if (a == "--dir" && i + 1 < argc) root = argv[++i];
        else if (a == "--engines" && i + 1 < argc) only.append(",").append(argv[++i]).append(",");
        else if (a == "--journal" && i + 1 < argc) isJournalMode = std::atoi(argv[++i]);
        else if (a == "--threads" && i + 1 < argc) threads = std::atoi(argv[++i]);
        else usage();
    }
    if (n < 8 || n > 100000000 || durableRounds < 1 || durableRounds > 100 ||
        durableCommits < size_t(2 * durableRounds) || durableCommits > 10000000)
        usage();
    if (!single && !multiProcess && !durable && !varlen) single = multiProcess = durable = varlen = true;
    bool madeRoot = false;
    if (root.empty()) {
        char pattern[] = "/tmp/wisam-peers-XXXXXX";
        if (mkdtemp(pattern) == nullptr) die("mkdtemp");
        root = pattern;
        madeRoot = true;
    }
    auto chosen = [&](const std::string &id) { return only.empty() || only.find("," + id + ",") != std::string::npos; };
    auto selected = [&](const Engine &e) { return chosen(e.name() == "std::map" ? "map" : e.name()); };

    if (threads > 0) {
        if (threads < 2 || threads > 64) usage();
        ThreadsOptions options;
        options.records = n;
        options.threads = threads;
        options.rounds = durableRounds;
        options.root = root;
        const std::vector<ThreadsResult> results = runThreadsWorkload(options);
        if (madeRoot && !keep) std::filesystem::remove_all(root);
        printThreadsTable(results, options);
        if (mismatches != 0) {
            std::fprintf(stderr, "wisam-bench: %d mismatches\n", mismatches);
            return 1;
        }
        std::fprintf(stderr, "wisam-bench: every result checked\n");
        return 0;
    }
    if (!growth.empty()) {
        // Only the single-process workloads, without the maintenance pass;
        // wisam-excl and LMDB unless --engines names others.
        if (only.empty()) only = ",wisam-excl,lmdb,";
        std::vector<std::pair<size_t, std::vector<Result>>> rounds;
        for (size_t count : growth) {
            rounds.emplace_back(count, std::vector<Result>{});
            for (auto &e : singleEngines(count)) {
                if (!selected(*e)) continue;
                std::fprintf(stderr, "wisam-bench: growth, %s, N = %zu ...\n", e->name().c_str(), count);
                rounds.back().second.push_back(run(*e, count, root, false, count > 1000000 ? sample : 0));
                std::filesystem::remove_all(root + "/" + e->name());
            }
        }
        if (madeRoot && !keep) std::filesystem::remove_all(root);
        if (sample != 0 && *std::max_element(growth.begin(), growth.end()) > 1000000)
            std::printf("Above 1000000 records, W2 and W7 make %zu reads and W5 and W6 %zu changes each, on the\n"
                        "whole store; the load and the scans cover all N.\n",
                        sample, sample);
        printGrowthTable(rounds);
        if (!svgPath.empty()) {
            writeSvg(svgPath, "wisam-bench growth: ops/s per workload at each N", growthChart(rounds));
            std::fprintf(stderr, "wisam-bench: chart written to %s\n", svgPath.c_str());
        }
        if (mismatches != 0) {
            std::fprintf(stderr, "wisam-bench: %d mismatches\n", mismatches);
            return 1;
        }
        std::fprintf(stderr, "wisam-bench: every result checked\n");
        return 0;
    }
    std::vector<Result> results;
    if (single) {
        for (auto &e : singleEngines(n)) {
            if (!selected(*e)) continue;
            std::fprintf(stderr, "wisam-bench: %s, N = %zu ...\n", e->name().c_str(), n);
            results.push_back(run(*e, n, root, maintenance));
        }
    }
    std::vector<MultiResult> multi;
    if (multiProcess) {
        std::vector<std::unique_ptr<Engine>> engines;
        engines.push_back(std::make_unique<WisamEngine>(false, n, true));
        addPeers(engines, n, true);
        for (auto &e : engines) {
            if (!selected(*e)) continue;
            std::fprintf(stderr, "wisam-bench: %s, multi-process, N = %zu ...\n", e->name().c_str(), n);
            multi.push_back(runMulti(*e, n, root));
        }
    }
    DurableOptions durableOptions;
    durableOptions.commits[0] = durableCommits;
    durableOptions.commits[1] = durableCommits / 2;
    durableOptions.rounds = durableRounds;
    durableOptions.root = root;
    durableOptions.selected = [&](const std::string &id) { return chosen(id) || (isWisam(id) && chosen("wisam-excl")); };
    std::vector<DurableResult> durableResults;
    if (durable) durableResults = runDurableWorkload(durableOptions);
    VarlenOptions varlenOptions;
    varlenOptions.records = varlenN;
    varlenOptions.root = root;
    varlenOptions.selected = durableOptions.selected;
    std::vector<VarlenResult> varlenResults;
    if (varlen) varlenResults = runVarlenWorkload(varlenOptions);
    if (madeRoot && !keep) std::filesystem::remove_all(root);

    const bool maintained = std::any_of(results.begin(), results.end(), [](const Result &r) { return !r.maint.empty(); });
    if (csv) {
        printCsv(results, multi, durableResults, n);
        printVarlenCsv(varlenResults, varlenOptions);
    } else {
        if (!results.empty()) printSingleTable(results, n);
        if (maintained) std::printf("\n");
        if (maintained) printMaintTable(results, n);
        if (!results.empty() && !multi.empty()) std::printf("\n");
        if (!multi.empty()) printMultiTable(multi, n);
        if ((!results.empty() || !multi.empty()) && !durableResults.empty()) std::printf("\n");
        if (!durableResults.empty()) printDurableTable(durableResults, durableOptions);
        if ((!results.empty() || !multi.empty() || !durableResults.empty()) && !varlenResults.empty())
            std::printf("\n");
        if (!varlenResults.empty()) printVarlenTable(varlenResults, varlenOptions);
    }
    if (!svgPath.empty()) {
        writeSvg(svgPath, "wisam-bench, N = " + std::to_string(n) + " records of 100 bytes: ops/s per engine",
                 chartGroups(results, multi));
        std::fprintf(stderr, "wisam-bench: chart written to %s\n", svgPath.c_str());
    }
    if (mismatches != 0) {
        std::fprintf(stderr, "wisam-bench: %d mismatches\n", mismatches);
        return 1;
    }
    std::fprintf(stderr, "wisam-bench: every result checked\n");
    return 0;
}
