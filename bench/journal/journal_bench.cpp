// wisam-journal-bench: the cost of the rollback journal.
//
//   wisam-journal-bench [-n N] [--single N1] [--durable D] [--dir DIR]
//
// For isJournalMode 0, 1 and 2, on 100-byte records with an 8-byte unique
// primary key and a 4-byte secondary key with duplicates (the records of
// wisam-bench):
//   W1 insert N records in a scattered key order,
//   W5 rewrite every record with a new secondary key,
//   W6 delete every record,
// once in kept-lock batches of 10 000 calls (write-back on) and once in
// single calls (N1 records, each call its own change).  Then D durable
// single-record inserts: wisam in mode 2 next to SQLite with
// synchronous=FULL, once with its rollback journal (journal_mode=DELETE)
// and once with its write-ahead log (WAL), one row per transaction.  The
// caches are the library's defaults (small): mode 0's write-back then
// writes scattered blocks while a batch runs, which the journal's held
// pages absorb; wisam-bench --journal M compares with caches sized to the
// data.  Every workload is verified (counts and records read back);
// a mismatch ends the program with status 1.
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#ifdef WISAM_BENCH_SQLITE
#include <sqlite3.h>
#endif

#include "wisam.h"

namespace {

constexpr int kRecordLength = 100;
constexpr int kBatch = 10000;
constexpr uint32_t kGroups = 1000;

[[noreturn]] void die(const std::string &what, IsFile *f = nullptr) {
    std::fprintf(stderr, "wisam-journal-bench: %s (%d)\n", what.c_str(), f != nullptr ? isErrno(f) : errno);
    std::exit(2);
}

double now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

void store(uint64_t v, uint8_t *p, int width) {
    for (int i = width - 1; i >= 0; --i, v >>= 8) p[i] = static_cast<uint8_t>(v);
}

// The i-th key of a scattered order of 0..n-1 (a multiplicative walk).
uint64_t keyAt(uint64_t i, uint64_t n) { return (i * 2654435761ull) % n; }

void fill(uint8_t *record, uint64_t key, uint32_t group) {
    std::memset(record, 'a' + static_cast<int>(key % 26), kRecordLength);
    store(key, record, 8);
    store(group, record + 8, 4);
}

std::u16string wide(const std::string &s) { return std::u16string(s.begin(), s.end()); }

struct Run {
    const char *step;
    double seconds;
    uint64_t ops;
};

class Store {
public:
    Store(const std::string &path, bool batched) : batched_(batched) {
        isFileCacheActive = 1;
        isWriteBackActive = batched ? 1 : 0;
        isFileCacheMaxMemUsage = 64 << 20;
        primary_.flags = 0;
        primary_.partCount = 1;
        primary_.parts[0] = KeyPart{0, 8, 0};
        name_ = wide(path);
        f_ = isBuild(name_.c_str(), kRecordLength, 0, &primary_, ISINOUT | ISMANULOCK);
        if (f_ == nullptr) die("isBuild");
        KeyDesc group{};
        group.flags = ISKEY_DUPS;
        group.partCount = 1;
        group.parts[0] = KeyPart{8, 4, 0};
        if (isAddIndex(f_, &group) != 1) die("isAddIndex", f_);
    }
    ~Store() { isClose(f_); }

    template <class Op>
    double timed(uint64_t n, Op &&op) {
        const double start = now();
        for (uint64_t i = 0; i < n; ++i) {
            if (batched_ && i % kBatch == 0 && isSetCustomLock(f_, 2) != 1) die("keep", f_);
            op(i);
            if (batched_ && (i % kBatch == kBatch - 1 || i == n - 1) && isSetCustomLock(f_, 0) != 1) die("end", f_);
        }
        return now() - start;
    }

    std::vector<Run> workloads(uint64_t n) {
        std::vector<Run> runs;
        uint8_t record[kRecordLength];
        runs.push_back({"W1 insert", timed(n, [&](uint64_t i) {
                            const uint64_t key = keyAt(i, n);
                            fill(record, key, uint32_t(key % kGroups));
                            if (isWrite(f_, record) != 1) die("isWrite", f_);
                        }), n});
        verify(n, 0);
        runs.push_back({"W5 update secondary", timed(n, [&](uint64_t i) {
                            const uint64_t key = keyAt(i, n);
                            fill(record, key, uint32_t((key + 1) % kGroups));
                            if (isRewrite(f_, record) != 1) die("isRewrite", f_);
                        }), n});
        verify(n, 1);
        runs.push_back({"W6 delete", timed(n, [&](uint64_t i) {
                            fill(record, keyAt(i, n), 0);
                            if (isDelete(f_, record) != 1) die("isDelete", f_);
                        }), n});
        verify(0, 0);
        return runs;
    }

    // Every key 0..n-1 there with its group moved by `shift`, nothing else.
    void verify(uint64_t n, uint32_t shift) {
        uint8_t record[kRecordLength], want[kRecordLength];
        uint64_t seen = 0;
        if (isStart(f_, &primary_, 0, record, modeFirst) != 1 && n > 0) die("isStart", f_);
        for (int mode = modeCurrent; isRead(f_, record, mode) == 1; mode = modeNext, ++seen) {
            fill(want, seen, uint32_t((seen + shift) % kGroups));
            if (std::memcmp(record, want, kRecordLength) != 0) {
                std::fprintf(stderr, "wisam-journal-bench: MISMATCH at record %llu\n", (unsigned long long)seen);
                std::exit(1);
            }
        }
        if (seen != n) {
            std::fprintf(stderr, "wisam-journal-bench: MISMATCH %llu records, expected %llu\n",
                         (unsigned long long)seen, (unsigned long long)n);
            std::exit(1);
        }
    }

    IsFile *handle() { return f_; }

private:
    bool batched_;
    KeyDesc primary_{};
    std::u16string name_;
    IsFile *f_ = nullptr;
};

void removeStore(const std::string &path) {
    for (const char *ext : {".wox", ".wod", ".lck", ".wjn"}) std::filesystem::remove(path + ext);
}

double durableWisam(const std::string &path, uint64_t d) {
    isJournalMode = 2;
    removeStore(path);
    double seconds = 0;
    {
        Store s(path, false);
        uint8_t record[kRecordLength];
        seconds = s.timed(d, [&](uint64_t i) {
            fill(record, i, uint32_t(i % kGroups));
            if (isWrite(s.handle(), record) != 1) die("isWrite", s.handle());
        });
        s.verify(d, 0);
    }
    removeStore(path);
    return seconds;
}

#ifdef WISAM_BENCH_SQLITE
// `journalMode`: "DELETE" (a rollback journal, as wisam's) or "WAL".
double durableSqlite(const std::string &path, uint64_t d, const char *journalMode) {
    for (const char *suffix : {"", "-journal", "-wal", "-shm"}) std::filesystem::remove(path + suffix);
    sqlite3 *db = nullptr;
    if (sqlite3_open(path.c_str(), &db) != SQLITE_OK) die("sqlite3_open");
    auto exec = [&](const char *sql) {
        if (sqlite3_exec(db, sql, nullptr, nullptr, nullptr) != SQLITE_OK) die(sqlite3_errmsg(db));
    };
    exec((std::string("PRAGMA journal_mode=") + journalMode).c_str());
    exec("PRAGMA synchronous=FULL");
    exec("CREATE TABLE r (k INTEGER PRIMARY KEY, g INTEGER, v BLOB)");
    exec("CREATE INDEX rg ON r(g)");
    sqlite3_stmt *insert = nullptr;
    sqlite3_prepare_v2(db, "INSERT INTO r VALUES (?, ?, ?)", -1, &insert, nullptr);
    uint8_t record[kRecordLength];
    const double start = now();
    for (uint64_t i = 0; i < d; ++i) {
        fill(record, i, uint32_t(i % kGroups));
        sqlite3_bind_int64(insert, 1, int64_t(i));
        sqlite3_bind_int(insert, 2, int(i % kGroups));
        sqlite3_bind_blob(insert, 3, record + 12, kRecordLength - 12, SQLITE_STATIC);
        if (sqlite3_step(insert) != SQLITE_DONE) die(sqlite3_errmsg(db));
        sqlite3_reset(insert);
    }
    const double seconds = now() - start;
    sqlite3_finalize(insert);
    sqlite3_stmt *count = nullptr;
    sqlite3_prepare_v2(db, "SELECT count(*) FROM r", -1, &count, nullptr);
    if (sqlite3_step(count) != SQLITE_ROW || uint64_t(sqlite3_column_int64(count, 0)) != d) {
        std::fprintf(stderr, "wisam-journal-bench: sqlite MISMATCH in the row count\n");
        std::exit(1);
    }
    sqlite3_finalize(count);
    sqlite3_close(db);
    for (const char *suffix : {"", "-journal", "-wal", "-shm"}) std::filesystem::remove(path + suffix);
    return seconds;
}
#endif

}  // namespace

int main(int argc, char **argv) {
    uint64_t n = 200000, single = 20000, durable = 2000;
    std::string dir = "/tmp";
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "-n" && i + 1 < argc) n = std::strtoull(argv[++i], nullptr, 10);
        else if (a == "--single" && i + 1 < argc) single = std::strtoull(argv[++i], nullptr, 10);
        else if (a == "--durable" && i + 1 < argc) durable = std::strtoull(argv[++i], nullptr, 10);
        else if (a == "--dir" && i + 1 < argc) dir = argv[++i];
        else die("usage: wisam-journal-bench [-n N] [--single N1] [--durable D] [--dir DIR]");
    }
    const std::string path = dir + "/wisam-journal-bench-" + std::to_string(::getpid());
    std::printf("records of %d bytes; ops/s by isJournalMode, and the ratio to mode 0 of the same row\n", kRecordLength);
    std::printf("%-34s %12s %12s %7s %12s %7s\n", "workload", "mode 0", "mode 1", "1/0", "mode 2", "2/0");
    for (const bool batched : {true, false}) {
        const uint64_t count = batched ? n : single;
        std::vector<Run> byMode[3];
        for (int mode = 0; mode < 3; ++mode) {
            isJournalMode = mode;
            // Mode 2 in single calls flushes three times a call: fewer of them.
            const uint64_t ops = !batched && mode == 2 ? std::min<uint64_t>(count, durable) : count;
            removeStore(path);
            Store s(path, batched);
            byMode[mode] = s.workloads(ops);
        }
        removeStore(path);
        for (size_t w = 0; w < byMode[0].size(); ++w) {
            double rate[3];
            for (int m = 0; m < 3; ++m) rate[m] = double(byMode[m][w].ops) / byMode[m][w].seconds;
            char label[64];
            std::snprintf(label, sizeof label, "%s, %s", byMode[0][w].step, batched ? "batches of 10 000" : "single calls");
            std::printf("%-34s %12.0f %12.0f %7.2f %12.0f %7.2f\n", label, rate[0], rate[1], rate[1] / rate[0], rate[2],
                        rate[2] / rate[0]);
        }
    }
    isJournalMode = 0;
    const double wisamSeconds = durableWisam(path, durable);
    std::printf("\ndurable single-record inserts, %llu of them:\n", (unsigned long long)durable);
    std::printf("  wisam, isJournalMode 2                     %10.0f /s\n", double(durable) / wisamSeconds);
#ifdef WISAM_BENCH_SQLITE
    for (const char *journalMode : {"DELETE", "WAL"}) {
        const double sqliteSeconds = durableSqlite(path + ".sqlite", durable, journalMode);
        std::printf("  sqlite, journal_mode=%-6s synchronous=FULL %7.0f /s   wisam / sqlite %5.2f\n", journalMode,
                    double(durable) / sqliteSeconds, sqliteSeconds / wisamSeconds);
    }
#endif
    return 0;
}
