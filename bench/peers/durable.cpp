// durable.cpp - the durable-commit workload of wisam-bench.
//
// Small transactions whose commit is durable before it returns: k inserts
// of 100-byte records (a 4-byte big-endian unique key at offset 0, filler
// after) and the commit, for k = 1 and k = 100, each engine in its durable
// mode: wisam with a transaction log and isForceCommit set, SQLite in WAL
// mode with synchronous=FULL, Berkeley DB in a transactional environment
// with synchronous commits, LMDB in its default (synchronous) mode.  Only
// the begin .. commit loop is timed.  Afterwards the store is closed, opened
// again, and every committed record is read back by key and seen once in a
// full scan in key order.
#include "durable.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <system_error>

#include "common.h"
#include "peers.h"

namespace wisambench {
namespace {

constexpr int kDurableKeyLength = 4;

// i -> key is a bijection of 32-bit integers, so the keys are unique and
// arrive in a scattered order.
uint32_t durableKey(size_t i) { return static_cast<uint32_t>(i) * 2654435761u + 17u; }
void makeDurableRecord(uint32_t key, uint8_t *rec) {
    store32(key, rec);
    for (int j = kDurableKeyLength; j < kRecordLength; ++j) rec[j] = static_cast<uint8_t>(key * 7 + uint32_t(j));
}
bool durableRecordOk(const uint8_t *rec, uint32_t key) {
    if (load32(rec) != key) return false;
    for (int j = kDurableKeyLength; j < kRecordLength; ++j)
        if (rec[j] != static_cast<uint8_t>(key * 7 + uint32_t(j))) return false;
    return true;
}

using DurableVisit = std::function<void(const uint8_t *record)>;

class DurableEngine {
public:
    virtual ~DurableEngine() = default;
    virtual std::string name() const = 0;
    virtual void create(const std::string &dir) = 0;
    virtual void begin() = 0;
    virtual void insert(const uint8_t *rec) = 0;
    virtual void commit() = 0;
    virtual void close() = 0;
    // After close(): the store opened again, for the checks, then close().
    virtual void reopen(const std::string &dir) = 0;
    virtual bool get(uint32_t key, uint8_t *rec) = 0;
    virtual void scan(const DurableVisit &visit) = 0;
    // The engine's own check of its files after the run; empty when fine.
    virtual std::string filesCheck(const std::string &dir, size_t records) {
        (void)dir, (void)records;
        return {};
    }
};

class WisamDurable final : public DurableEngine {
public:
    explicit WisamDurable(const WisamSettings &atLoad) : atLoad_(atLoad) {}
    std::string name() const override { return "wisam"; }
    void create(const std::string &dir) override {
        names(dir);
        atLoad_.apply();
        // Reads through the cache, writes straight to the files: a durable
        // commit flushes the files' descriptors, which would not reach
        // blocks that write-back still held in memory.
        isFileCacheActive = 1;
        isWriteBackActive = 0;
        isForceCommit = 1;
        if (!isLogOpen(log_.c_str())) txnFail("isLogOpen");
        logOpen_ = true;
        KeyDesc key{};
        key.partCount = 1;
        key.parts[0] = KeyPart{0, kDurableKeyLength, ISTYPE_CHAR};
        constexpr int kMode = ISINOUT | ISTRANS | ISEXCLLOCK;
        IsFile *b = isBuild(file_.c_str(), kRecordLength, 0, &key, kMode);
        if (b == nullptr) fail("isBuild", nullptr);
        if (!isClose(b)) fail("isClose", nullptr);
        f_ = isOpen(file_.c_str(), kMode);
        if (f_ == nullptr) fail("isOpen", nullptr);
    }
    void begin() override {
        if (!isBegin()) txnFail("isBegin");
    }
    void insert(const uint8_t *rec) override {
        if (!isWrite(f_, rec)) fail("isWrite", f_);
    }
    void commit() override {
        if (!isCommit()) txnFail("isCommit");
    }
    void close() override {
        if (!isClose(f_)) fail("isClose", nullptr);
        f_ = nullptr;
        if (logOpen_) isLogClose();
        logOpen_ = false;
        atLoad_.apply();
    }
    void reopen(const std::string &dir) override {
        names(dir);
        f_ = isOpen(file_.c_str(), ISINPUT | ISEXCLLOCK);
        if (f_ == nullptr) fail("isOpen", nullptr);
    }
    bool get(uint32_t key, uint8_t *rec) override {
        store32(key, rec);
        return wisamFound(f_, isRead(f_, rec, modeEqual), "wisam durable: isRead");
    }
    void scan(const DurableVisit &visit) override {
        uint8_t rec[kRecordLength];
        for (int mode = modeFirst; isRead(f_, rec, mode); mode = modeNext) visit(rec);
        if (isErrno(f_) != EENDFILE && isErrno(f_) != ENOREC) fail("isRead scan", f_);
    }
    // Every insert's record image is in the log, so the log holds at least
    // that many bytes.
    std::string filesCheck(const std::string &dir, size_t records) override {
        std::error_code ec;
        const auto bytes = std::filesystem::file_size(dir + "/records.log", ec);
        if (ec) return "no log file";
        if (bytes < records * kRecordLength)
            return "log of " + std::to_string(bytes) + " bytes for " + std::to_string(records) + " logged inserts";
        return {};
    }

private:
    void names(const std::string &dir) {
        file_ = wisamName(dir + "/records");
        log_ = wisamName(dir + "/records.log");
    }
    [[noreturn]] void fail(const char *what, IsFile *f) {
        die("wisam durable: " + std::string(what) + ": error " + std::to_string(isErrno(f)));
    }
    [[noreturn]] void txnFail(const char *what) {
        die("wisam durable: " + std::string(what) + ": errno " + std::to_string(errno));
    }
    const WisamSettings &atLoad_;
    std::u16string file_, log_;
    bool logOpen_ = false;
    IsFile *f_ = nullptr;
};

#ifdef WISAM_BENCH_LMDB
class LmdbDurable final : public DurableEngine {
public:
    explicit LmdbDurable(size_t maxRecords) : maxRecords_(maxRecords) {}
    std::string name() const override { return "lmdb"; }
    void create(const std::string &dir) override { openEnv(dir, 0); }
    void begin() override { check(mdb_txn_begin(env_, nullptr, 0, &txn_), "mdb_txn_begin"); }
    void insert(const uint8_t *rec) override {
        MDB_val k{kDurableKeyLength, const_cast<uint8_t *>(rec)};
        MDB_val v{kRecordLength - kDurableKeyLength, const_cast<uint8_t *>(rec + kDurableKeyLength)};
        check(mdb_put(txn_, dbi_, &k, &v, MDB_NOOVERWRITE), "mdb_put");
    }
    void commit() override {
        check(mdb_txn_commit(txn_), "mdb_txn_commit");
        txn_ = nullptr;
    }
    void close() override {
        if (txn_ != nullptr) mdb_txn_abort(txn_);
        txn_ = nullptr;
        mdb_env_close(env_);
        env_ = nullptr;
    }
    void reopen(const std::string &dir) override {
        openEnv(dir, MDB_RDONLY);
        check(mdb_txn_begin(env_, nullptr, MDB_RDONLY, &txn_), "mdb_txn_begin");
    }
    bool get(uint32_t key, uint8_t *rec) override {
        store32(key, rec);
        MDB_val k{kDurableKeyLength, rec}, v;
        const int rc = mdb_get(txn_, dbi_, &k, &v);
        if (rc == MDB_NOTFOUND) return false;
        check(rc, "mdb_get");
        if (v.mv_size != kRecordLength - kDurableKeyLength) return false;
        std::memcpy(rec + kDurableKeyLength, v.mv_data, v.mv_size);
        return true;
    }
    void scan(const DurableVisit &visit) override {
        uint8_t rec[kRecordLength];
        MDB_cursor *c;
        check(mdb_cursor_open(txn_, dbi_, &c), "mdb_cursor_open");
        MDB_val k, v;
        for (int rc = mdb_cursor_get(c, &k, &v, MDB_FIRST); rc == 0; rc = mdb_cursor_get(c, &k, &v, MDB_NEXT)) {
            if (k.mv_size != kDurableKeyLength || v.mv_size != kRecordLength - kDurableKeyLength) die("lmdb: bad size");
            std::memcpy(rec, k.mv_data, k.mv_size);
            std::memcpy(rec + kDurableKeyLength, v.mv_data, v.mv_size);
            visit(rec);
        }
        mdb_cursor_close(c);
    }

private:
    void openEnv(const std::string &dir, unsigned flags) {
        check(mdb_env_create(&env_), "mdb_env_create");
        check(mdb_env_set_mapsize(env_, maxRecords_ * kRecordLength * 8 + (size_t{64} << 20)), "mapsize");
        check(mdb_env_open(env_, dir.c_str(), flags, 0644), "mdb_env_open");
        MDB_txn *txn;
        check(mdb_txn_begin(env_, nullptr, flags & MDB_RDONLY, &txn), "mdb_txn_begin");
        check(mdb_dbi_open(txn, nullptr, 0, &dbi_), "mdb_dbi_open");
        check(mdb_txn_commit(txn), "mdb_txn_commit");
    }
    static void check(int rc, const char *what) { lmdbCheck(rc, std::string("lmdb durable: ") + what); }
    size_t maxRecords_;
    MDB_env *env_ = nullptr;
    MDB_txn *txn_ = nullptr;
    MDB_dbi dbi_ = 0;
};
#endif

#ifdef WISAM_BENCH_SQLITE
class SqliteDurable final : public DurableEngine {
public:
    std::string name() const override { return "sqlite"; }
    void create(const std::string &dir) override {
        db_.createKeyValue(dir + "/records.sqlite", true);
        begin_ = db_.prepare("BEGIN");
        commit_ = db_.prepare("COMMIT");
        insert_ = db_.prepare("INSERT INTO t(k, v) VALUES(?1, ?2)");
    }
    void begin() override { db_.step(begin_, "BEGIN"); }
    void insert(const uint8_t *rec) override {
        sqlite3_bind_int64(insert_, 1, load32(rec));
        sqlite3_bind_blob(insert_, 2, rec + kDurableKeyLength, kRecordLength - kDurableKeyLength, SQLITE_STATIC);
        db_.step(insert_, "INSERT");
    }
    void commit() override { db_.step(commit_, "COMMIT"); }
    void close() override {
        for (sqlite3_stmt *s : {begin_, commit_, insert_, get_, scan_}) sqlite3_finalize(s);
        begin_ = commit_ = insert_ = get_ = scan_ = nullptr;
        db_.close();
    }
    void reopen(const std::string &dir) override {
        db_.open(dir + "/records.sqlite", SQLITE_OPEN_READONLY);
        get_ = db_.prepare("SELECT v FROM t WHERE k = ?1");
        scan_ = db_.prepare("SELECT k, v FROM t ORDER BY k");
    }
    bool get(uint32_t key, uint8_t *rec) override {
        sqlite3_bind_int64(get_, 1, key);
        const int rc = sqlite3_step(get_);
        bool found = false;
        if (rc == SQLITE_ROW) {
            found = fill(get_, key, 0, rec);
        } else if (rc != SQLITE_DONE) {
            db_.fail("get");
        }
        sqlite3_reset(get_);
        return found;
    }
    void scan(const DurableVisit &visit) override {
        uint8_t rec[kRecordLength];
        int rc;
        while ((rc = sqlite3_step(scan_)) == SQLITE_ROW)
            if (fill(scan_, static_cast<uint32_t>(sqlite3_column_int64(scan_, 0)), 1, rec)) visit(rec);
            else die("sqlite durable: bad value length");
        if (rc != SQLITE_DONE) db_.fail("scan");
        sqlite3_reset(scan_);
    }

private:
    static bool fill(sqlite3_stmt *s, uint32_t key, int column, uint8_t *rec) {
        if (sqlite3_column_bytes(s, column) != kRecordLength - kDurableKeyLength) return false;
        store32(key, rec);
        std::memcpy(rec + kDurableKeyLength, sqlite3_column_blob(s, column), kRecordLength - kDurableKeyLength);
        return true;
    }
    SqliteDb db_{"sqlite durable"};
    sqlite3_stmt *begin_ = nullptr, *commit_ = nullptr, *insert_ = nullptr, *get_ = nullptr, *scan_ = nullptr;
};
#endif

#ifdef WISAM_BENCH_BDB
class BdbDurable final : public DurableEngine {
public:
    std::string name() const override { return "bdb"; }
    void create(const std::string &dir) override { openEnv(dir, DB_CREATE | DB_AUTO_COMMIT); }
    void begin() override { check(env_->txn_begin(env_, nullptr, &txn_, 0), "txn_begin"); }
    void insert(const uint8_t *rec) override {
        DBT k = bdbDbt(rec, kDurableKeyLength), d = bdbDbt(rec + kDurableKeyLength, kRecordLength - kDurableKeyLength);
        check(db_->put(db_, txn_, &k, &d, DB_NOOVERWRITE), "put");
    }
    void commit() override {
        const int rc = txn_->commit(txn_, DB_TXN_SYNC);
        txn_ = nullptr;
        check(rc, "txn commit");
    }
    void close() override {
        if (txn_ != nullptr) txn_->abort(txn_);
        txn_ = nullptr;
        check(db_->close(db_, 0), "close");
        check(env_->close(env_, 0), "env close");
        db_ = nullptr;
        env_ = nullptr;
    }
    // The environment is opened with DB_RECOVER, so the reopen first
    // replays the log: the check sees what recovery gives.
    void reopen(const std::string &dir) override { openEnv(dir, DB_RDONLY); }
    bool get(uint32_t key, uint8_t *rec) override {
        store32(key, rec);
        DBT k = bdbDbt(rec, kDurableKeyLength), d = bdbBuffer(rec + kDurableKeyLength, kRecordLength - kDurableKeyLength);
        const int rc = db_->get(db_, nullptr, &k, &d, 0);
        if (rc == DB_NOTFOUND) return false;
        check(rc, "get");
        return d.size == kRecordLength - kDurableKeyLength;
    }
    void scan(const DurableVisit &visit) override {
        uint8_t rec[kRecordLength];
        DBC *c;
        check(db_->cursor(db_, nullptr, &c, 0), "cursor");
        DBT k{}, d{};
        int rc;
        while ((rc = c->get(c, &k, &d, DB_NEXT)) == 0) {
            if (k.size != kDurableKeyLength || d.size != kRecordLength - kDurableKeyLength) die("bdb: bad size");
            std::memcpy(rec, k.data, k.size);
            std::memcpy(rec + kDurableKeyLength, d.data, d.size);
            visit(rec);
        }
        if (rc != DB_NOTFOUND) check(rc, "cursor get");
        c->close(c);
    }

private:
    void openEnv(const std::string &dir, uint32_t dbFlags) {
        constexpr uint32_t kEnvFlags =
            DB_CREATE | DB_INIT_TXN | DB_INIT_LOG | DB_INIT_MPOOL | DB_INIT_LOCK | DB_RECOVER;
        env_ = bdbEnv(dir, kEnvFlags, "bdb durable");
        db_ = bdbBtree(env_, "records.db", dbFlags, "bdb durable");
    }
    static void check(int rc, const char *what) { bdbCheck(rc, std::string("bdb durable: ") + what); }
    DB_ENV *env_ = nullptr;
    DB *db_ = nullptr;
    DB_TXN *txn_ = nullptr;
};
#endif

// One run of one engine and transaction size in a new store, added to r.
void runDurable(DurableEngine &e, int s, size_t commits, const std::string &root, DurableResult &r) {
    uint8_t rec[kRecordLength];
    const size_t perTxn = size_t(kDurableSizes[s]), records = commits * perTxn;
    const std::string where = "durable " + std::to_string(perTxn) + "/txn";
    const std::string dir = root + "/durable-" + r.engine + "-" + std::to_string(perTxn);
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    e.create(dir);
    const double t0 = now();
    for (size_t t = 0, i = 0; t < commits; ++t) {
        e.begin();
        for (size_t j = 0; j < perTxn; ++j, ++i) {
            makeDurableRecord(durableKey(i), rec);
            e.insert(rec);
        }
        e.commit();
    }
    r.seconds[s] += now() - t0;
    r.commits[s] += double(commits);
    e.close();
    if (const std::string bad = e.filesCheck(dir, records); !bad.empty()) mismatch(r.engine, where + ": " + bad);

    // Every committed record, by key, then all of them in key order.
    e.reopen(dir);
    size_t missing = 0;
    uint64_t keySum = 0;
    for (size_t i = 0; i < records; ++i) {
        const uint32_t key = durableKey(i);
        keySum += key;
        if (!e.get(key, rec) || !durableRecordOk(rec, key)) ++missing;
    }
    if (missing != 0) mismatch(r.engine, where + ": " + std::to_string(missing) + " committed records missing or wrong");
    size_t seen = 0, bad = 0;
    uint64_t sum = 0;
    uint32_t previous = 0;
    bool ordered = true;
    e.scan([&](const uint8_t *p) {
        const uint32_t key = load32(p);
        if (seen > 0 && key <= previous) ordered = false;
        previous = key;
        sum += key;
        ++seen;
        if (!durableRecordOk(p, key)) ++bad;
    });
    if (seen != records || sum != keySum)
        mismatch(r.engine, where + ": scan saw " + std::to_string(seen) + " records, " + std::to_string(records) +
                               " committed");
    if (bad != 0) mismatch(r.engine, where + ": scan: " + std::to_string(bad) + " wrong records");
    if (!ordered) mismatch(r.engine, where + ": scan out of order");
    e.close();
}

}  // namespace

std::vector<DurableResult> runDurableWorkload(const DurableOptions &options) {
    std::vector<std::unique_ptr<DurableEngine>> engines;
    engines.push_back(std::make_unique<WisamDurable>(kWisamAtLoad));
#ifdef WISAM_BENCH_LMDB
    engines.push_back(std::make_unique<LmdbDurable>(options.commits[1] * size_t(kDurableSizes[1])));
#endif
#ifdef WISAM_BENCH_SQLITE
    engines.push_back(std::make_unique<SqliteDurable>());
#endif
#ifdef WISAM_BENCH_BDB
    engines.push_back(std::make_unique<BdbDurable>());
#endif
    std::erase_if(engines, [&](const auto &e) { return options.selected && !options.selected(e->name()); });
    std::vector<DurableResult> results(engines.size());
    for (size_t i = 0; i < engines.size(); ++i) results[i].engine = engines[i]->name();
    // Rounds that take every engine and size in turn share out evenly a
    // flush time that drifts with other load on the disk.
    const auto rounds = size_t(options.rounds);
    for (size_t round = 0; round < rounds; ++round)
        for (int s = 0; s < kDurableSizeCount; ++s)
            for (size_t i = 0; i < engines.size(); ++i) {
                const size_t part = options.commits[s] / rounds + (round < options.commits[s] % rounds ? 1 : 0);
                std::fprintf(stderr, "wisam-bench: %s, durable round %zu, %zu transactions of %d ...\n",
                             engines[i]->name().c_str(), round + 1, part, kDurableSizes[s]);
                runDurable(*engines[i], s, part, options.root, results[i]);
            }
    return results;
}

void printDurableTable(const std::vector<DurableResult> &results, const DurableOptions &options) {
    const auto &commits = options.commits;
    const int rounds = options.rounds;
    std::printf("Durable commits: transactions of k inserts of 100-byte records (4-byte key), each commit on\n"
                "disk before it returns (wisam: log + isForceCommit; sqlite: WAL, synchronous=FULL; bdb:\n"
                "DB_TXN_SYNC; lmdb: default); %zu transactions of 1 record, %zu of 100, in %d rounds\n"
                "that take the engines in turn; commits/s and records/s (higher is better)\n\n",
                commits[0], commits[1], rounds);
    std::printf("%-10s", "engine");
    for (int s = 0; s < kDurableSizeCount; ++s) {
        const std::string k = "k=" + std::to_string(kDurableSizes[s]);
        std::printf(" %13s %13s", (k + " commits/s").c_str(), (k + " records/s").c_str());
    }
    std::printf("\n");
    for (const auto &r : results) {
        std::printf("%-10s", r.engine.c_str());
        for (int s = 0; s < kDurableSizeCount; ++s) std::printf(" %13.0f %13.0f", r.commitRate(s), r.recordRate(s));
        std::printf("\n");
    }
    for (const auto &w : results) {
        if (!isWisam(w.engine)) continue;
        for (int s = 0; s < kDurableSizeCount; ++s) {
            const DurableResult *best = nullptr;
            for (const auto &p : results)
                if (!isWisam(p.engine) && (best == nullptr || p.commitRate(s) > best->commitRate(s))) best = &p;
            if (best == nullptr) continue;
            std::printf("%s k=%d : best peer (%s): %.2f", w.engine.c_str(), kDurableSizes[s], best->engine.c_str(),
                        w.commitRate(s) / best->commitRate(s));
            for (const auto &p : results)
                if (!isWisam(p.engine)) std::printf(", %.2f vs %s", w.commitRate(s) / p.commitRate(s), p.engine.c_str());
            std::printf("\n");
        }
    }
}

}  // namespace wisambench
