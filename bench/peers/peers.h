// peers.h - what the engines of wisam-bench's workloads in their own files
// share: wisam's configuration words as the library starts with them, and
// small wrappers of the peers' calls (failures die with the engine's name).
#ifndef WISAM_BENCH_PEERS_H
#define WISAM_BENCH_PEERS_H

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

#ifdef WISAM_BENCH_LMDB
inline void lmdbCheck(int rc, const std::string &where) {
    if (rc != 0) die(where + ": " + mdb_strerror(rc));
}
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
#endif

}  // namespace wisambench

#endif
