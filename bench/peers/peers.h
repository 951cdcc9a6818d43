// peers.h - what the engines of wisam-bench's workloads in their own files
// share: wisam's configuration words as the library starts with them, and
// small wrappers of the peers' calls (failures die with the engine's name).
#ifndef WISAM_BENCH_PEERS_H
#define WISAM_BENCH_PEERS_H

#include <cerrno>
#include <cstdint>
#include <string>

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

#include "common.h"

namespace wisambench {

// The configuration words wisam has at load (they are constants until the
// program changes them), so that a workload does not inherit the cache
// sizes or commit flushes another one set.
struct WisamSettings {
    int32_t fileCache = isFileCacheActive, writeBack = isWriteBackActive, maxMem = isFileCacheMaxMemUsage,
            dataLines = isDefaultDataCacheLines, dataWays = isDefaultDataCacheAssociativity,
            indexLines = isDefaultIndexCacheLines, indexWays = isDefaultIndexCacheAssociativity,
            forceCommit = isForceCommit;
    void apply() const {
        isFileCacheActive = fileCache;
        isWriteBackActive = writeBack;
        isFileCacheMaxMemUsage = maxMem;
        isDefaultDataCacheLines = dataLines;
        isDefaultDataCacheAssociativity = dataWays;
        isDefaultIndexCacheLines = indexLines;
        isDefaultIndexCacheAssociativity = indexWays;
        isForceCommit = forceCommit;
    }
};
inline const WisamSettings kWisamAtLoad;

// A UTF-16 file name for wisam.
inline std::u16string wisamName(const std::string &path) { return std::u16string(path.begin(), path.end()); }

[[noreturn]] inline void wisamFail(const std::string &where, IsFile *f) {
    die(where + ": error " + std::to_string(isErrno(f)));
}
// The result of a wisam call that may find no record: true when it
// succeeded, false for 111 (no record), a failure otherwise.
inline bool wisamFound(IsFile *f, int ok, const std::string &where) {
    if (ok != 0) return true;
    if (isErrno(f) != ENOREC) wisamFail(where, f);
    return false;
}
// isDelete of the record whose 8-byte key leads a record of Length bytes.
template <size_t Length>
bool wisamDeleteKey(IsFile *f, uint64_t key, const std::string &where) {
    uint8_t rec[Length] = {};
    store64(key, rec);
    return wisamFound(f, isDelete(f, rec), where);
}

#ifdef WISAM_BENCH_LMDB
inline void lmdbCheck(int rc, const std::string &where) {
    if (rc != 0) die(where + ": " + mdb_strerror(rc));
}
// The transaction of a batch: a write transaction is committed at its end,
// a read-only one given up.
struct LmdbBatch {
    MDB_txn *txn = nullptr;
    bool write = false;
    void begin(MDB_env *env, bool forWrite, const std::string &where) {
        write = forWrite;
        lmdbCheck(mdb_txn_begin(env, nullptr, write ? 0 : MDB_RDONLY, &txn), where + ": txn_begin");
    }
    void end(const std::string &where) {
        if (write) lmdbCheck(mdb_txn_commit(txn), where + ": commit");
        else mdb_txn_abort(txn);
        txn = nullptr;
    }
};
#endif

#ifdef WISAM_BENCH_SQLITE
// One connection with its prepared statements; `where` names the engine in
// failures.
class SqliteDb {
public:
    explicit SqliteDb(std::string where) : where_(std::move(where)) {}
    void open(const std::string &path, int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE) {
        check(sqlite3_open_v2(path.c_str(), &db_, flags, nullptr), "open");
    }
    // A new table t(k INTEGER PRIMARY KEY, v BLOB) in the file at path,
    // with the cache every engine gets: durable, a write-ahead log flushed
    // at every commit; else neither journal nor flushes.
    void createKeyValue(const std::string &path, bool durable) {
        open(path);
        exec(durable ? "PRAGMA journal_mode=WAL" : "PRAGMA journal_mode=OFF");
        exec(durable ? "PRAGMA synchronous=FULL" : "PRAGMA synchronous=OFF");
        exec("PRAGMA cache_size=-" + std::to_string(kCacheBudget >> 10));
        exec("CREATE TABLE t(k INTEGER PRIMARY KEY, v BLOB NOT NULL)");
    }
    void close() {
        check(sqlite3_close(db_), "close");
        db_ = nullptr;
    }
    sqlite3 *db() const { return db_; }
    sqlite3_stmt *prepare(const char *sql) {
        sqlite3_stmt *s = nullptr;
        check(sqlite3_prepare_v2(db_, sql, -1, &s, nullptr), sql);
        return s;
    }
    void exec(const std::string &sql) { check(sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, nullptr), sql); }
    // Runs a statement that returns no row, and resets it.
    void step(sqlite3_stmt *s, const char *what) {
        if (sqlite3_step(s) != SQLITE_DONE) fail(what);
        sqlite3_reset(s);
    }
    void check(int rc, const std::string &what) {
        if (rc != SQLITE_OK) fail(what);
    }
    [[noreturn]] void fail(const std::string &what) { die(where_ + ": " + what + ": " + sqlite3_errmsg(db_)); }

private:
    std::string where_;
    sqlite3 *db_ = nullptr;
};
#endif

#ifdef WISAM_BENCH_BDB
inline DBT bdbDbt(const void *p, uint32_t size) {
    DBT t{};
    t.data = const_cast<void *>(p);
    t.size = size;
    return t;
}
// A DBT that receives a value into the caller's buffer of `capacity` bytes.
inline DBT bdbBuffer(void *p, uint32_t capacity) {
    DBT t = bdbDbt(p, 0);
    t.ulen = capacity;
    t.flags = DB_DBT_USERMEM;
    return t;
}
inline void bdbCheck(int rc, const std::string &where) {
    if (rc != 0) die(where + ": " + db_strerror(rc));
}
// An environment in dir with the cache every engine gets, opened with flags.
inline DB_ENV *bdbEnv(const std::string &dir, uint32_t flags, const std::string &where) {
    DB_ENV *env = nullptr;
    bdbCheck(db_env_create(&env, 0), where + ": db_env_create");
    bdbCheck(env->set_cachesize(env, 0, uint32_t(kCacheBudget), 1), where + ": set_cachesize");
    bdbCheck(env->open(env, dir.c_str(), flags, 0644), where + ": env open");
    return env;
}
// A B-tree database of env in file, opened with flags.
inline DB *bdbBtree(DB_ENV *env, const char *file, uint32_t flags, const std::string &where) {
    DB *db = nullptr;
    bdbCheck(db_create(&db, env, 0), where + ": db_create");
    bdbCheck(db->open(db, nullptr, file, nullptr, DB_BTREE, flags, 0644), where + ": open " + file);
    return db;
}
#endif

}  // namespace wisambench

#endif
