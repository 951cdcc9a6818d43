// wisam-bench - the same record workloads on wisam and on its peers (LMDB,
// SQLite 3, Berkeley DB, an in-memory std::map baseline), behind one small
// engine interface, one file set per engine in its own directory.
//
// Records are 100 bytes: the primary key is an 8-byte big-endian unsigned
// integer at offset 0 (unique), the secondary key a 4-byte big-endian integer
// at offset 8 (primary mod 1000 when written, duplicates), filler after.
//
//   W1  N inserts in a fixed pseudo-random key order, then the data on disk
//       (the engine's own flush, then fsync of every file, both timed)
//   W2  N random point reads by primary key
//   W3  a full scan in primary order
//   W4  a full scan in secondary order (whole records)
//   W5  N/2 random updates by primary key that change the secondary key
//   W6  N/2 random deletes by primary key
//
// Every workload checks its results; a final untimed pass checks the state
// left by W5 and W6 in both orders.  Any mismatch: exit status 1.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
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

#include <wisam.h>

#ifdef WISAM_BENCH_LMDB
#include <lmdb.h>
#endif
#ifdef WISAM_BENCH_SQLITE
#include <sqlite3.h>
#endif
#ifdef WISAM_BENCH_BDB
#include <db.h>
#endif

namespace {

constexpr int kRecordLength = 100;
constexpr int kSecondaryAt = 8;
constexpr int kFillerAt = 12;
constexpr int kBatch = 10000;  // writes per transaction (LMDB, SQLite)
constexpr uint64_t kStride = 1000003;
constexpr uint64_t kOffset = 17;

[[noreturn]] void die(const std::string &what) {
    std::fprintf(stderr, "wisam-bench: %s\n", what.c_str());
    std::exit(2);
}

int mismatches = 0;
void mismatch(const std::string &engine, const std::string &what) {
    if (++mismatches <= 20) std::fprintf(stderr, "wisam-bench: %s: MISMATCH %s\n", engine.c_str(), what.c_str());
}

uint64_t load64(const uint8_t *p) {
    uint64_t v = 0;
    for (int i = 0; i < 8; ++i) v = v << 8 | p[i];
    return v;
}
void store64(uint64_t v, uint8_t *p) {
    for (int i = 7; i >= 0; --i, v >>= 8) p[i] = static_cast<uint8_t>(v);
}
uint32_t load32(const uint8_t *p) {
    return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3];
}
void store32(uint32_t v, uint8_t *p) {
    for (int i = 3; i >= 0; --i, v >>= 8) p[i] = static_cast<uint8_t>(v);
}

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

// A fixed pseudo-random sequence (splitmix64) and a Fisher-Yates shuffle, so
// that every engine and every run sees the same order.
struct Random {
    uint64_t state;
    explicit Random(uint64_t seed) : state(seed) {}
    uint64_t next() {
        uint64_t z = (state += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
};
std::vector<uint32_t> permutation(size_t n, uint64_t seed) {
    std::vector<uint32_t> p(n);
    for (size_t i = 0; i < n; ++i) p[i] = static_cast<uint32_t>(i);
    Random r(seed);
    for (size_t i = n; i > 1; --i) std::swap(p[i - 1], p[r.next() % i]);
    return p;
}

using Visit = std::function<void(const uint8_t *record)>;

// The engine interface.  begin/end bracket each workload (write says whether
// it changes data); flush makes written data reach the engine's files.
class Engine {
public:
    virtual ~Engine() = default;
    virtual std::string name() const = 0;
    virtual bool onDisk() const { return true; }
    virtual void open(const std::string &dir) = 0;
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
};

// ---------------------------------------------------------------- wisam
class WisamEngine final : public Engine {
public:
    WisamEngine(bool exclusive, size_t n) : exclusive_(exclusive), n_(n) {}
    std::string name() const override { return exclusive_ ? "wisam-excl" : "wisam-shared"; }
    void open(const std::string &dir) override {
        const std::string base = dir + "/records";
        name_.assign(base.begin(), base.end());
        isFileCacheActive = 1;
        isWriteBackActive = exclusive_ ? 1 : 0;
        KeyDesc primary{};
        primary.partCount = 1;
        primary.parts[0] = KeyPart{0, 8, ISTYPE_CHAR};
        KeyDesc secondary{};
        secondary.flags = ISKEY_DUPS;
        secondary.partCount = 1;
        secondary.parts[0] = KeyPart{kSecondaryAt, 4, ISTYPE_LONG};
        IsFile *b = isBuild(name_.c_str(), kRecordLength, 0, &primary, ISINOUT | ISEXCLLOCK);
        if (b == nullptr) fail("isBuild", nullptr);
        if (!isAddIndex(b, &secondary)) fail("isAddIndex", b);
        IsamInfo info{};
        if (!isIsamInfo(b, &info)) fail("isIsamInfo", b);
        isClose(b);
        // An index cache that holds both indexes (about 16 bytes an entry
        // with node overhead), 4 ways.
        const size_t blocks = 2 * n_ * 16 / static_cast<size_t>(info.blockSize > 0 ? info.blockSize : 1024);
        isDefaultIndexCacheAssociativity = 4;
        isDefaultIndexCacheLines = static_cast<int32_t>(blocks / 4 + 16);
        f_ = isOpen(name_.c_str(), ISINOUT | (exclusive_ ? ISEXCLLOCK : ISMANULOCK));
        if (f_ == nullptr) fail("isOpen", nullptr);
    }
    void begin(bool) override {
        isWriteBackActive = exclusive_ ? 1 : 0;
        if (exclusive_ && !isSetCustomLock(f_, 2)) fail("isSetCustomLock(2)", f_);
    }
    void end() override {
        if (exclusive_ && !isSetCustomLock(f_, 0)) fail("isSetCustomLock(0)", f_);
    }
    void insert(const uint8_t *rec) override {
        if (!isWrite(f_, rec)) fail("isWrite", f_);
    }
    bool get(uint64_t key, uint8_t *rec) override {
        store64(key, rec);
        if (isRead(f_, rec, modeEqual)) return true;
        if (isErrno(f_) != ENOREC) fail("isRead", f_);
        return false;
    }
    void scanPrimary(const Visit &visit) override { scan(1, visit); }
    void scanSecondary(const Visit &visit) override { scan(2, visit); }
    bool update(const uint8_t *rec) override {
        if (isRewrite(f_, rec)) return true;
        if (isErrno(f_) != ENOREC) fail("isRewrite", f_);
        return false;
    }
    bool remove(uint64_t key) override {
        uint8_t rec[kRecordLength] = {};
        store64(key, rec);
        if (isDelete(f_, rec)) return true;
        if (isErrno(f_) != ENOREC) fail("isDelete", f_);
        return false;
    }
    void close() override {
        if (!isClose(f_)) fail("isClose", nullptr);
        f_ = nullptr;
    }

private:
    void scan(int index, const Visit &visit) {
        uint8_t rec[kRecordLength];
        if (!isIndex(f_, index)) fail("isIndex", f_);
        for (int mode = modeFirst; isRead(f_, rec, mode); mode = modeNext) visit(rec);
        if (isErrno(f_) != EENDFILE && isErrno(f_) != ENOREC) fail("isRead scan", f_);
        if (!isIndex(f_, 1)) fail("isIndex", f_);
    }
    [[noreturn]] void fail(const char *what, IsFile *f) {
        die(name() + ": " + what + ": error " + std::to_string(isErrno(f)));
    }
    bool exclusive_;
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
    explicit LmdbEngine(size_t n) : n_(n) {}
    std::string name() const override { return "lmdb"; }
    void open(const std::string &dir) override {
        check(mdb_env_create(&env_), "mdb_env_create");
        check(mdb_env_set_mapsize(env_, n_ * kRecordLength * 8 + (size_t{256} << 20)), "mapsize");
        check(mdb_env_set_maxdbs(env_, 2), "maxdbs");
        check(mdb_env_open(env_, dir.c_str(), MDB_NOSYNC | MDB_WRITEMAP, 0644), "mdb_env_open");
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
        if (rc == MDB_NOTFOUND) return false;
        check(rc, "get");
        std::memcpy(rec + 8, v.mv_data, kRecordLength - 8);
        return true;
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
    void counted() {
        if (++ops_ % kBatch != 0) return;
        check(mdb_txn_commit(txn_), "commit");
        check(mdb_txn_begin(env_, nullptr, 0, &txn_), "txn_begin");
    }
    void check(int rc, const char *what) {
        if (rc != 0) die(std::string("lmdb: ") + what + ": " + mdb_strerror(rc));
    }
    size_t n_;
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
    std::string name() const override { return "sqlite"; }
    void open(const std::string &dir) override {
        check(sqlite3_open((dir + "/records.sqlite").c_str(), &db_), "open");
        exec("PRAGMA synchronous=OFF");
        exec("PRAGMA journal_mode=OFF");
        exec("PRAGMA cache_size=-65536");  // 64 MB, as Berkeley DB
        exec("CREATE TABLE t(pk BLOB PRIMARY KEY, sec INTEGER NOT NULL, filler BLOB NOT NULL) WITHOUT ROWID");
        exec("CREATE INDEX t_sec ON t(sec)");
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
        exec("BEGIN");
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
        exec("BEGIN");
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
    std::string name() const override { return "bdb"; }
    void open(const std::string &dir) override {
        check(db_env_create(&env_, 0), "db_env_create");
        check(env_->set_cachesize(env_, 0, 64u << 20, 1), "set_cachesize");
        check(env_->open(env_, dir.c_str(), DB_CREATE | DB_INIT_MPOOL | DB_PRIVATE, 0644), "env open");
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
    DB_ENV *env_ = nullptr;
    DB *primary_ = nullptr, *secondary_ = nullptr;
};
#endif

// ---------------------------------------------------------------- harness
double now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

void fsyncDir(const std::string &dir) {
    for (const auto &e : std::filesystem::directory_iterator(dir)) {
        if (!e.is_regular_file()) continue;
        const int fd = ::open(e.path().c_str(), O_RDONLY);
        if (fd < 0) die("cannot open " + e.path().string());
        if (fsync(fd) != 0) die("fsync " + e.path().string());
        ::close(fd);
    }
    const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY);
    if (fd >= 0) fsync(fd), ::close(fd);
}

// Allocated bytes (st_blocks), so that sparse files count what they use.
uint64_t bytesOnDisk(const std::string &dir) {
    uint64_t total = 0;
    for (const auto &e : std::filesystem::directory_iterator(dir)) {
        struct stat st {};
        if (e.is_regular_file() && stat(e.path().c_str(), &st) == 0) total += uint64_t(st.st_blocks) * 512;
    }
    return total;
}

const char *const kWorkloads[] = {"W1 insert", "W2 get", "W3 scan primary", "W4 scan secondary", "W5 update",
                                  "W6 delete"};
constexpr int kWorkloadCount = 6;

struct Result {
    std::string engine;
    bool onDisk = true;
    double ops[kWorkloadCount] = {};
    double seconds[kWorkloadCount] = {};
    double bytesPerRecord = 0;
};

uint32_t updatedSecondary(uint32_t old) { return (old + 500) % 1000; }

Result run(Engine &e, size_t n, const std::string &root) {
    Result r;
    r.engine = e.name();
    r.onDisk = e.onDisk();
    const std::string name = r.engine == "std::map" ? "map" : r.engine;
    const std::string dir = root + "/" + name;
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    const size_t half = n / 2;
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
    std::vector<uint32_t> probes(n);
    for (auto &p : probes) p = static_cast<uint32_t>(rnd.next() % n);
    size_t found = 0;
    timed(1, double(n), [&] {
        e.begin(false);
        for (uint32_t i : probes) {
            if (e.get(keyOf(i), rec) && load64(rec) == keyOf(i)) {
                ++found;
                checkRecord(rec, "W2");
            }
        }
        e.end();
    });
    if (found != n) mismatch(r.engine, "W2: " + std::to_string(n - found) + " reads not found");

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
    return r;
}

void usage() {
    std::fprintf(stderr,
                 "usage: wisam-bench [-n N] [--csv] [--dir DIR] [--engines a,b,...] [--keep]\n"
                 "engines: wisam-excl wisam-shared lmdb sqlite bdb map (those built in)\n");
    std::exit(2);
}

}  // namespace

int main(int argc, char **argv) {
    size_t n = 200000;
    bool csv = false, keep = false;
    std::string root, only;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "-n" && i + 1 < argc) n = std::strtoull(argv[++i], nullptr, 10);
        else if (a == "--csv") csv = true;
        else if (a == "--keep") keep = true;
        else if (a == "--dir" && i + 1 < argc) root = argv[++i];
        else if (a == "--engines" && i + 1 < argc) only.append(",").append(argv[++i]).append(",");
        else usage();
    }
    if (n < 2 || n > 100000000) usage();
    bool madeRoot = false;
    if (root.empty()) {
        char pattern[] = "/tmp/wisam-peers-XXXXXX";
        if (mkdtemp(pattern) == nullptr) die("mkdtemp");
        root = pattern;
        madeRoot = true;
    }

    std::vector<std::unique_ptr<Engine>> engines;
    engines.push_back(std::make_unique<WisamEngine>(true, n));
    engines.push_back(std::make_unique<WisamEngine>(false, n));
#ifdef WISAM_BENCH_LMDB
    engines.push_back(std::make_unique<LmdbEngine>(n));
#endif
#ifdef WISAM_BENCH_SQLITE
    engines.push_back(std::make_unique<SqliteEngine>());
#endif
#ifdef WISAM_BENCH_BDB
    engines.push_back(std::make_unique<BdbEngine>());
#endif
    engines.push_back(std::make_unique<MapEngine>());

    std::vector<Result> results;
    for (auto &e : engines) {
        const std::string id = e->name() == "std::map" ? "map" : e->name();
        if (!only.empty() && only.find("," + id + ",") == std::string::npos) continue;
        std::fprintf(stderr, "wisam-bench: %s, N = %zu ...\n", e->name().c_str(), n);
        results.push_back(run(*e, n, root));
    }
    if (madeRoot && !keep) std::filesystem::remove_all(root);

    auto rate = [](const Result &r, int w) { return r.seconds[w] > 0 ? r.ops[w] / r.seconds[w] : 0.0; };
    if (csv) {
        std::printf("engine,workload,ops,seconds,ops_per_s\n");
        for (const auto &r : results) {
            for (int w = 0; w < kWorkloadCount; ++w)
                std::printf("%s,%.2s,%.0f,%.6f,%.0f\n", r.engine.c_str(), kWorkloads[w], r.ops[w], r.seconds[w],
                            rate(r, w));
            if (r.onDisk) std::printf("%s,bytes_per_record,%zu,,%.1f\n", r.engine.c_str(), n, r.bytesPerRecord);
        }
    } else {
        // Peers are the on-disk engines other than wisam; the std::map
        // baseline is shown but never the best peer.
        auto isWisam = [](const Result &r) { return r.engine.rfind("wisam", 0) == 0; };
        std::printf("N = %zu records of %d bytes; ops/s (higher is better)\n\n", n, kRecordLength);
        std::printf("%-18s", "workload");
        for (const auto &r : results) std::printf(" %13s", r.engine.c_str());
        std::printf("  %-8s", "best");
        for (const auto &r : results)
            if (isWisam(r)) std::printf(" %11s", (r.engine.substr(6) + ":best").c_str());
        std::printf("\n");
        for (int w = 0; w < kWorkloadCount; ++w) {
            std::printf("%-18s", kWorkloads[w]);
            const Result *best = nullptr;
            for (const auto &r : results) {
                std::printf(" %13.0f", rate(r, w));
                if (!isWisam(r) && r.onDisk && (best == nullptr || rate(r, w) > rate(*best, w))) best = &r;
            }
            std::printf("  %-8s", best ? best->engine.c_str() : "-");
            for (const auto &r : results)
                if (isWisam(r)) {
                    if (best) std::printf(" %11.2f", rate(r, w) / rate(*best, w));
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
    }
    if (mismatches != 0) {
        std::fprintf(stderr, "wisam-bench: %d mismatches\n", mismatches);
        return 1;
    }
    std::fprintf(stderr, "wisam-bench: every result checked\n");
    return 0;
}
