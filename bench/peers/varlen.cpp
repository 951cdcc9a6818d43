// varlen.cpp - the variable-length workload of wisam-bench.
//
// N records of 50 to 2 000 bytes, most of them 50 to 400 and some longer
// (mean about 300): an 8-byte big-endian unique key at offset 0, then
// 32-byte fields of 16 bytes of text followed by 16 blanks or zeros, as
// records padded field by field are (so that packing has runs to pack).
// Each step is timed on its own, in batches of 10 000 operations (a
// transaction of the peer, a kept exclusive lock with write-back on wisam):
//
//   V1  insert N records in a scattered key order, then the engine's flush
//       and an fsync of its files; then the allocated bytes per record
//   V2  read every record by key in random order, checking bytes and length
//   V3  rewrite every record to another length (drawn again), random order;
//       then a sample of them read back and checked (untimed)
//   V4  delete every record in random order; then a sample of keys must be
//       gone (untimed)
//
// wisam is a file of an 8-byte fixed part (the key) and up to 2 040 more
// bytes, built ISVARLEN (engine "wisam") and ISVARLEN | ISPACKED
// ("wisam-packed"), opened ISEXCLLOCK, isSetlen before each write and
// rewrite, isReclen after each read; isCheckVarlen must find its blocks
// sound after V3.  The peers keep the record after its key as the value:
// LMDB (MDB_NOSYNC | MDB_WRITEMAP), SQLite (a rowid table keyed by the
// integer, synchronous=OFF, journal_mode=OFF), Berkeley DB (a B-tree in a
// private environment without transactions, as in the single-process table).
#include "varlen.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>

#include "common.h"
#include "peers.h"

namespace wisambench {
namespace {

constexpr int kKeyLength = 8;
constexpr int kMinLength = 50, kMaxLength = 2000;
constexpr int kWisamMaxLength = 2048;  // the file's maximum: above any record
constexpr size_t kBatch = 10000;
constexpr size_t kSample = 10000;  // records checked after V3, keys after V4
constexpr uint64_t kStride = 1000003, kOffset = 17;

uint64_t varKey(size_t i) { return i * kStride + kOffset; }

// Mostly 50..400 bytes, one in twelve or so 401..2000: a mean near 300.
int drawLength(Random &r) {
    const uint64_t x = r.next();
    return x % 100 < 92 ? kMinLength + int((x >> 8) % 351) : 401 + int((x >> 8) % (kMaxLength - 400));
}

// The record of key in its version (0 as inserted, 1 as rewritten).
void makeVarRecord(uint64_t key, uint32_t version, int length, uint8_t *rec) {
    store64(key, rec);
    const uint64_t h = key * 0x9E3779B97F4A7C15ull + version * 0xC2B2AE3D27D4EB4Full;
    for (int j = kKeyLength; j < length; ++j) {
        const int field = (j - kKeyLength) / 32, at = (j - kKeyLength) % 32;
        if (at < 16) rec[j] = static_cast<uint8_t>('!' + (h >> (j % 8 * 8) ^ uint64_t(j) * 7) % 90);
        else rec[j] = field % 2 == 0 ? ' ' : 0;
    }
}

class VarEngine {
public:
    virtual ~VarEngine() = default;
    virtual std::string name() const = 0;
    virtual void create(const std::string &dir) = 0;
    // A batch of operations: a transaction, or wisam's kept lock.
    virtual void begin(bool write) = 0;
    virtual void end() = 0;
    virtual void flush() {}
    virtual void insert(const uint8_t *rec, int length) = 0;
    // Reads key's record into rec (room for kWisamMaxLength bytes); its
    // whole length into length.
    virtual bool get(uint64_t key, uint8_t *rec, int &length) = 0;
    virtual bool update(const uint8_t *rec, int length) = 0;  // by key
    virtual bool remove(uint64_t key) = 0;
    // The engine's own check of its store after the rewrites; empty when fine.
    virtual std::string storeCheck() { return {}; }
    virtual void close() = 0;
};

// ---------------------------------------------------------------- wisam
class WisamVarlen final : public VarEngine {
public:
    WisamVarlen(bool packed, size_t n) : packed_(packed), n_(n) {}
    std::string name() const override { return packed_ ? "wisam-packed" : "wisam"; }
    void create(const std::string &dir) override {
        name_ = wisamName(dir + "/records");
        kWisamAtLoad.apply();
        configureCaches();
        KeyDesc key{};
        key.partCount = 1;
        key.parts[0] = KeyPart{0, kKeyLength, ISTYPE_CHAR};
        const int mode = ISINOUT | ISEXCLLOCK | ISVARLEN | (packed_ ? ISPACKED : 0);
        IsFile *b = isBuild(name_.c_str(), kKeyLength, kWisamMaxLength, &key, mode);
        if (b == nullptr) fail("isBuild", nullptr);
        if (!isClose(b)) fail("isClose", nullptr);
        f_ = isOpen(name_.c_str(), ISINOUT | ISEXCLLOCK | ISOPENVARLEN);
        if (f_ == nullptr) fail("isOpen", nullptr);
    }
    void begin(bool) override {
        if (!isSetCustomLock(f_, 2)) fail("isSetCustomLock", f_);
    }
    void end() override {
        if (!isSetCustomLock(f_, 0)) fail("isSetCustomLock(0)", f_);
    }
    // After the load: the data cache is sized by the record count when it
    // starts, so start it again now that the file holds its records.
    void flush() override {
        stopFileCache(f_);
        startFileCache(f_);
    }
    void insert(const uint8_t *rec, int length) override {
        if (!isSetlen(f_, length) || !isWrite(f_, rec)) fail("isWrite", f_);
    }
    bool get(uint64_t key, uint8_t *rec, int &length) override {
        store64(key, rec);
        if (!wisamFound(f_, isRead(f_, rec, modeEqual), where("isRead"))) return false;
        length = isReclen(f_);
        return true;
    }
    bool update(const uint8_t *rec, int length) override {
        if (!isSetlen(f_, length)) fail("isSetlen", f_);
        return wisamFound(f_, isRewrite(f_, rec), where("isRewrite"));
    }
    bool remove(uint64_t key) override { return wisamDeleteKey<kWisamMaxLength>(f_, key, where("isDelete")); }
    std::string storeCheck() override {
        int32_t statistics[6];
        const int bits = isCheckVarlen(f_, statistics);
        if (bits == 0) return {};
        std::string found = "isCheckVarlen " + std::to_string(bits) + ":";
        for (int i = 0; i < 16; ++i)
            if ((bits >> i & 1) != 0) found += std::string(" ") + isCheckMsg[i] + ";";
        return found;
    }
    void close() override {
        if (!isClose(f_)) fail("isClose", nullptr);
        f_ = nullptr;
        kWisamAtLoad.apply();
    }

private:
    // The 64 MB the peers get: the data cache a slot for every record (8
    // bytes, the marker and the 6-byte reference), the index cache, which
    // also holds the blocks of the variable parts, the rest.
    void configureCaches() const {
        constexpr int64_t kIndexWays = 4, kDataWays = 16, kNodeSize = 1024, kSlotSize = kKeyLength + 1 + 6;
        const int64_t dataBlocks = std::max<int64_t>(int64_t(n_) * 5 / 4, kDataWays);
        const int64_t indexBlocks = (kCacheBudget - dataBlocks * (kSlotSize + 24)) / (kNodeSize + 24);
        isFileCacheActive = 1;
        isWriteBackActive = 1;
        isFileCacheMaxMemUsage = kCacheBudget + (1 << 20);
        isDefaultIndexCacheAssociativity = kIndexWays;
        isDefaultIndexCacheLines = static_cast<int32_t>(std::max<int64_t>(indexBlocks / kIndexWays - 1, 1));
        isDefaultDataCacheAssociativity = kDataWays;
        isDefaultDataCacheLines = static_cast<int32_t>(dataBlocks / kDataWays);
    }
    std::string where(const char *what) const { return name() + " varlen: " + what; }
    [[noreturn]] void fail(const char *what, IsFile *f) const { wisamFail(where(what), f); }
    bool packed_;
    size_t n_;
    std::u16string name_;
    IsFile *f_ = nullptr;
};

// ---------------------------------------------------------------- LMDB
#ifdef WISAM_BENCH_LMDB
class LmdbVarlen final : public VarEngine {
public:
    explicit LmdbVarlen(size_t n) : n_(n) {}
    std::string name() const override { return "lmdb"; }
    void create(const std::string &dir) override {
        check(mdb_env_create(&env_), "mdb_env_create");
        check(mdb_env_set_mapsize(env_, n_ * kMaxLength * 4 + (size_t{256} << 20)), "mapsize");
        check(mdb_env_open(env_, dir.c_str(), MDB_NOSYNC | MDB_WRITEMAP, 0644), "mdb_env_open");
        MDB_txn *txn;
        check(mdb_txn_begin(env_, nullptr, 0, &txn), "txn");
        check(mdb_dbi_open(txn, nullptr, 0, &dbi_), "dbi");
        check(mdb_txn_commit(txn), "commit");
    }
    void begin(bool write) override { batch_.begin(env_, write, "lmdb varlen"); }
    void end() override { batch_.end("lmdb varlen"); }
    void flush() override { check(mdb_env_sync(env_, 1), "mdb_env_sync"); }
    void insert(const uint8_t *rec, int length) override { put(rec, length, MDB_NOOVERWRITE); }
    bool get(uint64_t key, uint8_t *rec, int &length) override {
        store64(key, rec);
        MDB_val k{kKeyLength, rec}, v;
        const int rc = mdb_get(batch_.txn, dbi_, &k, &v);
        if (rc == MDB_NOTFOUND) return false;
        check(rc, "get");
        if (v.mv_size > kWisamMaxLength - kKeyLength) die("lmdb varlen: value too long");
        std::memcpy(rec + kKeyLength, v.mv_data, v.mv_size);
        length = kKeyLength + int(v.mv_size);
        return true;
    }
    bool update(const uint8_t *rec, int length) override {
        MDB_val k{kKeyLength, const_cast<uint8_t *>(rec)}, old;
        const int rc = mdb_get(batch_.txn, dbi_, &k, &old);
        if (rc == MDB_NOTFOUND) return false;
        check(rc, "get");
        put(rec, length, 0);
        return true;
    }
    bool remove(uint64_t key) override {
        uint8_t kb[kKeyLength];
        store64(key, kb);
        MDB_val k{kKeyLength, kb};
        const int rc = mdb_del(batch_.txn, dbi_, &k, nullptr);
        if (rc == MDB_NOTFOUND) return false;
        check(rc, "del");
        return true;
    }
    void close() override {
        mdb_env_close(env_);
        env_ = nullptr;
    }

private:
    void put(const uint8_t *rec, int length, unsigned flags) {
        MDB_val k{kKeyLength, const_cast<uint8_t *>(rec)};
        MDB_val v{size_t(length - kKeyLength), const_cast<uint8_t *>(rec + kKeyLength)};
        check(mdb_put(batch_.txn, dbi_, &k, &v, flags), "put");
    }
    static void check(int rc, const char *what) { lmdbCheck(rc, std::string("lmdb varlen: ") + what); }
    size_t n_;
    MDB_env *env_ = nullptr;
    MDB_dbi dbi_ = 0;
    LmdbBatch batch_;
};
#endif

// ---------------------------------------------------------------- SQLite
#ifdef WISAM_BENCH_SQLITE
class SqliteVarlen final : public VarEngine {
public:
    std::string name() const override { return "sqlite"; }
    void create(const std::string &dir) override {
        db_.createKeyValue(dir + "/records.sqlite", false);
        ins_ = db_.prepare("INSERT INTO t(k, v) VALUES(?1, ?2)");
        get_ = db_.prepare("SELECT v FROM t WHERE k = ?1");
        upd_ = db_.prepare("UPDATE t SET v = ?2 WHERE k = ?1");
        del_ = db_.prepare("DELETE FROM t WHERE k = ?1");
    }
    void begin(bool) override { db_.exec("BEGIN"); }
    void end() override { db_.exec("COMMIT"); }
    void insert(const uint8_t *rec, int length) override {
        bind(ins_, rec, length);
        db_.step(ins_, "insert");
    }
    bool get(uint64_t key, uint8_t *rec, int &length) override {
        sqlite3_bind_int64(get_, 1, int64_t(key));
        const int rc = sqlite3_step(get_);
        if (rc == SQLITE_ROW) {
            const int bytes = sqlite3_column_bytes(get_, 0);
            if (bytes > kWisamMaxLength - kKeyLength) die("sqlite varlen: value too long");
            store64(key, rec);
            std::memcpy(rec + kKeyLength, sqlite3_column_blob(get_, 0), size_t(bytes));
            length = kKeyLength + bytes;
        } else if (rc != SQLITE_DONE) {
            db_.fail("get");
        }
        sqlite3_reset(get_);
        return rc == SQLITE_ROW;
    }
    bool update(const uint8_t *rec, int length) override {
        bind(upd_, rec, length);
        db_.step(upd_, "update");
        return sqlite3_changes(db_.db()) == 1;
    }
    bool remove(uint64_t key) override {
        sqlite3_bind_int64(del_, 1, int64_t(key));
        db_.step(del_, "delete");
        return sqlite3_changes(db_.db()) == 1;
    }
    void close() override {
        for (sqlite3_stmt *s : {ins_, get_, upd_, del_}) sqlite3_finalize(s);
        db_.close();
    }

private:
    static void bind(sqlite3_stmt *s, const uint8_t *rec, int length) {
        sqlite3_bind_int64(s, 1, int64_t(load64(rec)));
        sqlite3_bind_blob(s, 2, rec + kKeyLength, length - kKeyLength, SQLITE_STATIC);
    }
    SqliteDb db_{"sqlite varlen"};
    sqlite3_stmt *ins_ = nullptr, *get_ = nullptr, *upd_ = nullptr, *del_ = nullptr;
};
#endif

// ---------------------------------------------------------------- Berkeley DB
#ifdef WISAM_BENCH_BDB
class BdbVarlen final : public VarEngine {
public:
    std::string name() const override { return "bdb"; }
    void create(const std::string &dir) override {
        env_ = bdbEnv(dir, DB_CREATE | DB_INIT_MPOOL | DB_PRIVATE, "bdb varlen");
        db_ = bdbBtree(env_, "records.db", DB_CREATE, "bdb varlen");
    }
    void begin(bool) override {}
    void end() override {}
    void flush() override { check(db_->sync(db_, 0), "sync"); }
    void insert(const uint8_t *rec, int length) override {
        DBT k = bdbDbt(rec, kKeyLength), d = bdbDbt(rec + kKeyLength, uint32_t(length - kKeyLength));
        check(db_->put(db_, nullptr, &k, &d, DB_NOOVERWRITE), "put");
    }
    bool get(uint64_t key, uint8_t *rec, int &length) override {
        store64(key, rec);
        DBT k = bdbDbt(rec, kKeyLength), d = bdbBuffer(rec + kKeyLength, kWisamMaxLength - kKeyLength);
        const int rc = db_->get(db_, nullptr, &k, &d, 0);
        if (rc == DB_NOTFOUND) return false;
        check(rc, "get");
        length = kKeyLength + int(d.size);
        return true;
    }
    bool update(const uint8_t *rec, int length) override {
        DBT k = bdbDbt(rec, kKeyLength);
        const int rc = db_->exists(db_, nullptr, &k, 0);
        if (rc == DB_NOTFOUND) return false;
        check(rc, "exists");
        DBT d = bdbDbt(rec + kKeyLength, uint32_t(length - kKeyLength));
        check(db_->put(db_, nullptr, &k, &d, 0), "put");
        return true;
    }
    bool remove(uint64_t key) override {
        uint8_t kb[kKeyLength];
        store64(key, kb);
        DBT k = bdbDbt(kb, kKeyLength);
        const int rc = db_->del(db_, nullptr, &k, 0);
        if (rc == DB_NOTFOUND) return false;
        check(rc, "del");
        return true;
    }
    void close() override {
        check(db_->close(db_, 0), "close");
        check(env_->close(env_, 0), "env close");
        db_ = nullptr;
        env_ = nullptr;
    }

private:
    static void check(int rc, const char *what) { bdbCheck(rc, std::string("bdb varlen: ") + what); }
    DB_ENV *env_ = nullptr;
    DB *db_ = nullptr;
};
#endif

// ---------------------------------------------------------------- harness
// The lengths and versions every engine is given, and the check of a
// record read back.
struct VarlenPlan {
    size_t n;
    std::vector<int> length[2];  // by record index: as inserted, as rewritten
    std::vector<uint32_t> insertOrder, readOrder, rewriteOrder, deleteOrder;
    explicit VarlenPlan(size_t records) : n(records) {
        for (int v = 0; v < 2; ++v) {
            Random r(11 + uint64_t(v));
            length[v].resize(n);
            for (auto &l : length[v]) l = drawLength(r);
        }
        insertOrder = permutation(n, 21);
        readOrder = permutation(n, 22);
        rewriteOrder = permutation(n, 23);
        deleteOrder = permutation(n, 24);
    }
};

// Runs op(i) for every index of order, kBatch of them to a batch.
template <typename Op>
void batched(VarEngine &e, bool write, const std::vector<uint32_t> &order, size_t count, Op &&op) {
    for (size_t j = 0; j < count; j += kBatch) {
        e.begin(write);
        for (size_t k = j; k < std::min(count, j + kBatch); ++k) op(order[k]);
        e.end();
    }
}

VarlenResult runVarlen(VarEngine &e, const VarlenPlan &plan, const std::string &root) {
    VarlenResult r;
    r.engine = e.name();
    const size_t n = plan.n;
    const std::string dir = root + "/varlen-" + r.engine;
    freshDir(dir);
    uint8_t rec[kWisamMaxLength], expected[kWisamMaxLength];
    auto timed = [&](int s, auto &&body) {
        const double t0 = now();
        body();
        r.seconds[s] = now() - t0;
        r.ops[s] = double(n);
    };
    // Reads record i back in version v: the count of those missing or wrong.
    size_t wrong = 0;
    auto readBack = [&](uint32_t i, int v) {
        int length = 0;
        const int want = plan.length[v][i];
        makeVarRecord(varKey(i), uint32_t(v), want, expected);
        if (!e.get(varKey(i), rec, length) || length != want || std::memcmp(rec, expected, size_t(want)) != 0) ++wrong;
    };
    auto report = [&](const char *where, size_t bad, const char *what) {
        if (bad != 0) mismatch(r.engine, std::string(where) + ": " + std::to_string(bad) + " " + what);
    };

    e.create(dir);
    timed(0, [&] {
        batched(e, true, plan.insertOrder, n, [&](uint32_t i) {
            makeVarRecord(varKey(i), 0, plan.length[0][i], rec);
            e.insert(rec, plan.length[0][i]);
        });
        e.flush();
        fsyncDir(dir);
    });
    r.bytesPerRecord = double(bytesOnDisk(dir)) / double(n);

    timed(1, [&] { batched(e, false, plan.readOrder, n, [&](uint32_t i) { readBack(i, 0); }); });
    report("V2", wrong, "records missing or wrong");

    size_t failed = 0;
    timed(2, [&] {
        batched(e, true, plan.rewriteOrder, n, [&](uint32_t i) {
            makeVarRecord(varKey(i), 1, plan.length[1][i], rec);
            failed += e.update(rec, plan.length[1][i]) ? 0 : 1;
        });
    });
    report("V3", failed, "rewrites failed");
    wrong = 0;
    const size_t sample = std::min(n, kSample);
    batched(e, false, plan.readOrder, sample, [&](uint32_t i) { readBack(i, 1); });
    report("V3 read back", wrong, "records missing or wrong");
    if (const std::string bad = e.storeCheck(); !bad.empty()) mismatch(r.engine, "after V3: " + bad);

    failed = 0;
    timed(3, [&] { batched(e, true, plan.deleteOrder, n, [&](uint32_t i) { failed += e.remove(varKey(i)) ? 0 : 1; }); });
    report("V4", failed, "deletes failed");
    size_t left = 0;
    batched(e, false, plan.readOrder, sample, [&](uint32_t i) {
        int length = 0;
        left += e.get(varKey(i), rec, length) ? 1 : 0;
    });
    report("V4", left, "deleted records still found");
    e.close();
    return r;
}

}  // namespace

std::vector<VarlenResult> runVarlenWorkload(const VarlenOptions &options) {
    const size_t n = options.records;
    std::vector<std::unique_ptr<VarEngine>> engines;
    engines.push_back(std::make_unique<WisamVarlen>(false, n));
    engines.push_back(std::make_unique<WisamVarlen>(true, n));
#ifdef WISAM_BENCH_LMDB
    engines.push_back(std::make_unique<LmdbVarlen>(n));
#endif
#ifdef WISAM_BENCH_SQLITE
    engines.push_back(std::make_unique<SqliteVarlen>());
#endif
#ifdef WISAM_BENCH_BDB
    engines.push_back(std::make_unique<BdbVarlen>());
#endif
    const VarlenPlan plan(n);
    std::vector<VarlenResult> results;
    for (auto &e : engines) {
        if (options.selected && !options.selected(e->name())) continue;
        std::fprintf(stderr, "wisam-bench: %s, variable-length, N = %zu ...\n", e->name().c_str(), n);
        results.push_back(runVarlen(*e, plan, options.root));
    }
    return results;
}

void printVarlenTable(const std::vector<VarlenResult> &results, const VarlenOptions &options) {
    std::printf("Variable-length records: N = %zu records of %d to %d bytes (mean about 300; an 8-byte key,\n"
                "then fields of text and blanks or zeros), each step in batches of %zu operations; ops/s\n"
                "(higher is better) and allocated bytes on disk per record after V1\n\n",
                options.records, kMinLength, kMaxLength, kBatch);
    std::printf("%-14s", "step");
    for (const auto &r : results) std::printf(" %13s", r.engine.c_str());
    std::printf("\n");
    for (int s = 0; s < kVarlenStepCount; ++s) {
        std::printf("%-14s", kVarlenSteps[s]);
        for (const auto &r : results) std::printf(" %13.0f", r.rate(s));
        std::printf("\n");
    }
    std::printf("%-14s", "bytes/record");
    for (const auto &r : results) std::printf(" %13.1f", r.bytesPerRecord);
    std::printf("\n\n");
    for (const auto &w : results) {
        if (!isWisam(w.engine)) continue;
        for (int s = 0; s < kVarlenStepCount; ++s) {
            std::printf("%-12s %-10s:", w.engine.c_str(), kVarlenSteps[s]);
            const char *sep = " ";
            for (const auto &p : results)
                if (!isWisam(p.engine)) {
                    std::printf("%s%.2f vs %s", sep, w.rate(s) / p.rate(s), p.engine.c_str());
                    sep = ", ";
                }
            std::printf("\n");
        }
    }
}

void printVarlenCsv(const std::vector<VarlenResult> &results, const VarlenOptions &options) {
    for (const auto &r : results) {
        for (int s = 0; s < kVarlenStepCount; ++s)
            std::printf("%s,%.2s,%.0f,%.6f,%.0f\n", r.engine.c_str(), kVarlenSteps[s], r.ops[s], r.seconds[s],
                        r.rate(s));
        std::printf("%s,V_bytes_per_record,%zu,,%.1f\n", r.engine.c_str(), options.records, r.bytesPerRecord);
    }
}

}  // namespace wisambench
