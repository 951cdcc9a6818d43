// threads.cpp - the threads workload of wisam-bench.
//
// Every thread builds a file of its own, then the steps run one after
// another, all threads starting each step together: W1 loads the records in
// random order, W2 reads them all by primary key, W4 scans the secondary
// index, W5 rewrites half of them with a new secondary key, W6 deletes the
// other half.  wisam-excl works in kept exclusive-lock batches of 10 000
// (shared for the reads), wisam-shared makes every call its own (a shared
// handle, no kept lock).  Every read is checked.
#include "threads.h"

#include <barrier>
#include <cstdio>
#include <filesystem>
#include <map>
#include <thread>

#include "common.h"
#include "peers.h"

namespace wisambench {

namespace {

constexpr int kSecondaryAt = 8;
constexpr int kBatch = 10000;

uint64_t keyOf(size_t i) { return i * 1000003 + 17; }

void makeRecord(uint64_t key, uint32_t secondary, uint8_t *rec) {
    store64(key, rec);
    store32(secondary, rec + kSecondaryAt);
    for (int j = kSecondaryAt + 4; j < kRecordLength; ++j) rec[j] = static_cast<uint8_t>(key + j);
}

class Worker {
public:
    Worker(bool exclusive, size_t n, const std::string &dir) : exclusive_(exclusive), n_(n) {
        freshDir(dir);
        name_ = wisamName(dir + "/records");
        KeyDesc primary{};
        primary.partCount = 1;
        primary.parts[0] = KeyPart{0, 8, ISTYPE_CHAR};
        KeyDesc secondary{};
        secondary.flags = ISKEY_DUPS;
        secondary.partCount = 1;
        secondary.parts[0] = KeyPart{kSecondaryAt, 4, ISTYPE_LONG};
        IsFile *b = isBuild(name_.c_str(), kRecordLength, 0, &primary, ISINOUT | ISEXCLLOCK);
        if (b == nullptr || !isAddIndex(b, &secondary) || !isClose(b)) wisamFail("threads: isBuild", b);
        f_ = isOpen(name_.c_str(), ISINOUT | (exclusive ? ISEXCLLOCK : ISMANULOCK));
        if (f_ == nullptr) wisamFail("threads: isOpen", nullptr);
    }
    ~Worker() { isClose(f_); }

    void step(int s) {
        uint8_t rec[kRecordLength];
        const auto order = permutation(n_, 1 + uint64_t(s));
        const size_t half = n_ / 2;
        begin(s == 0 || s >= 3);
        for (size_t j = 0; s != 2 && j < (s >= 3 ? half : n_); ++j) {
            const size_t i = s == 4 ? order[n_ - 1 - j] : order[j];
            if (s == 0) {
                makeRecord(keyOf(i), uint32_t(i % 1000), rec);
                if (!isWrite(f_, rec)) wisamFail("threads: isWrite", f_);
            } else if (s == 1) {
                store64(keyOf(i), rec);
                if (!isRead(f_, rec, modeEqual) || load64(rec) != keyOf(i)) mismatch(engine(), "W2 read");
            } else if (s == 3) {
                makeRecord(keyOf(i), uint32_t((i + 500) % 1000), rec);
                if (!isRewrite(f_, rec)) mismatch(engine(), "W5 rewrite");
            } else {
                store64(keyOf(i), rec);
                if (!isDelete(f_, rec)) mismatch(engine(), "W6 delete");
            }
            counted(s == 0 || s >= 3);
        }
        if (s == 2) scanSecondary(rec);
        end();
    }

    std::string engine() const { return exclusive_ ? "wisam-excl" : "wisam-shared"; }

private:
    void begin(bool write) {
        kept_ = exclusive_ ? 2 : 0;
        if (exclusive_ && !write) kept_ = 1;
        if (kept_ != 0 && !isSetCustomLock(f_, kept_)) wisamFail("threads: isSetCustomLock", f_);
        ops_ = 0;
    }
    void end() {
        if (kept_ != 0 && !isSetCustomLock(f_, 0)) wisamFail("threads: isSetCustomLock(0)", f_);
    }
    void counted(bool write) {
        if (kept_ == 0 || !write || ++ops_ % kBatch != 0) return;
        if (!isSetCustomLock(f_, 0) || !isSetCustomLock(f_, kept_)) wisamFail("threads: batch", f_);
    }
    void scanSecondary(uint8_t *rec) {
        if (!isIndex(f_, 2)) wisamFail("threads: isIndex", f_);
        size_t seen = 0;
        uint32_t previous = 0;
        for (int mode = modeFirst; isRead(f_, rec, mode); mode = modeNext, ++seen) {
            if (load32(rec + kSecondaryAt) < previous) mismatch(engine(), "W4 order");
            previous = load32(rec + kSecondaryAt);
        }
        if (seen != n_) mismatch(engine(), "W4 count");
        if (!isIndex(f_, 1)) wisamFail("threads: isIndex", f_);
    }
    bool exclusive_;
    size_t n_;
    std::u16string name_;
    IsFile *f_ = nullptr;
    int kept_ = 0;
    size_t ops_ = 0;
};

// The caches: each thread's file gets what one engine of the other
// workloads gets.
void configure(size_t n, int threads, bool exclusive) {
    kWisamAtLoad.apply();
    isFileCacheActive = 1;
    isWriteBackActive = exclusive ? 1 : 0;
    isFileCacheMaxMemUsage = int32_t(std::min<int64_t>(int64_t(threads) * (kCacheBudget + (1 << 20)), INT32_MAX));
    constexpr int64_t kIndexWays = 4, kDataWays = 16, kNodeSize = 4096, kSlotSize = kRecordLength + 1;
    const int64_t indexBlocks = std::min(int64_t(n) * 64 / kNodeSize, kCacheBudget * 3 / 4 / (kNodeSize + 24));
    const int64_t dataBlocks = (kCacheBudget - indexBlocks * (kNodeSize + 24)) / (kSlotSize + 24);
    isDefaultIndexCacheAssociativity = kIndexWays;
    isDefaultIndexCacheLines = int32_t(std::max<int64_t>(indexBlocks / kIndexWays, 1));
    isDefaultDataCacheAssociativity = kDataWays;
    isDefaultDataCacheLines = int32_t(std::max<int64_t>(dataBlocks / kDataWays - 1, 1));
}

ThreadsResult runOnce(bool exclusive, int threads, const ThreadsOptions &options) {
    configure(options.records, threads, exclusive);
    std::vector<std::unique_ptr<Worker>> workers;
    for (int t = 0; t < threads; ++t) {
        workers.push_back(std::make_unique<Worker>(exclusive, options.records,
                                                   options.root + "/threads-" + std::to_string(t)));
    }
    ThreadsResult r;
    r.engine = workers[0]->engine();
    r.threads = threads;
    double started = 0;
    std::barrier sync(threads + 1);
    std::vector<std::thread> running;
    for (int t = 0; t < threads; ++t) {
        running.emplace_back([&, t] {
            for (int s = 0; s < kThreadStepCount; ++s) {
                sync.arrive_and_wait();  // the step starts
                workers[size_t(t)]->step(s);
                sync.arrive_and_wait();  // the step is over in every thread
            }
        });
    }
    for (int s = 0; s < kThreadStepCount; ++s) {
        sync.arrive_and_wait();
        started = now();
        sync.arrive_and_wait();
        r.seconds[s] = now() - started;
        r.ops[s] = double(threads) * double(s >= 3 ? options.records / 2 : options.records);
    }
    for (std::thread &t : running) t.join();
    workers.clear();
    for (int t = 0; t < threads; ++t) std::filesystem::remove_all(options.root + "/threads-" + std::to_string(t));
    kWisamAtLoad.apply();
    return r;
}

}  // namespace

std::vector<ThreadsResult> runThreadsWorkload(const ThreadsOptions &options) {
    std::vector<ThreadsResult> results;
    for (int round = 0; round < options.rounds; ++round) {
        for (bool exclusive : {true, false}) {
            for (int threads : {1, options.threads}) {
                std::fprintf(stderr, "wisam-bench: threads, %s, %d thread(s), round %d ...\n",
                             exclusive ? "wisam-excl" : "wisam-shared", threads, round + 1);
                results.push_back(runOnce(exclusive, threads, options));
            }
        }
    }
    return results;
}

// Per engine and step: the ratio of the threads' total rate to one
// thread's, for each round (a round runs one thread, then all of them).
void printThreadsTable(const std::vector<ThreadsResult> &results, const ThreadsOptions &options) {
    std::printf("threads: %zu records of %d bytes per thread, a file and a handle each; total ops/s of %d\n"
                "threads over one thread's, each round's ratio, then the last round's rates\n",
                options.records, kRecordLength, options.threads);
    for (const char *engine : {"wisam-excl", "wisam-shared"}) {
        std::printf("%s\n", engine);
        for (int s = 0; s < kThreadStepCount; ++s) {
            std::printf("  %-20s", kThreadSteps[s]);
            double one = 0, many = 0;
            for (const ThreadsResult &r : results) {
                if (r.engine != engine) continue;
                if (r.threads == 1) {
                    one = r.rate(s);
                } else {
                    many = r.rate(s);
                    std::printf(" %5.2f", one > 0 ? many / one : 0.0);
                }
            }
            std::printf("   (%.0f -> %.0f ops/s)\n", one, many);
        }
    }
}

}  // namespace wisambench
