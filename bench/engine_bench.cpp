// engine_bench.cpp - the index engine next to std::map doing the same work.
//
// One pure index (record length 0) of 8-byte keys: type ISTYPE_CHAR holding
// big-endian unsigned integers, so that byte order is numeric order.  The
// file is built with the block cache on and sized to hold the whole index,
// opened exclusive, and kept under an exclusive file-state lock with
// write-back: the engine works on cached blocks and its dirty blocks reach
// the file when the kept lock ends.  Each operation is one framed call into
// the engine, as the record calls make them:
//
//   pair            wisam                                 std::map
//   insert_random   insertKey + finishChange, write-back  emplace
//   find_ge         treeFindGE                            lower_bound
//   walk            treeFirst, then treeNext to the end   iteration
//
// Every loop checks what it gets (an insert: accepted; a probe: the key
// expected; the walk: exactly the N keys in ascending order), and so does
// the final check that ascending inserts leave every leaf but the last full.
// Any mismatch makes the exit status 1.  The summary prints, for each pair,
// wisam's items per second divided by std::map's.
//
// WISAM_BENCH_N sets the number of keys (default 1 000 000).
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "frame/iscall.h"
#include "index/isgrow.h"
#include "index/isnode.h"
#include "index/ispath.h"
#include "lock/iscustom.h"
#include "records/ischange.h"
#include "structure/isencode.h"
#include "wisam.h"

namespace wisam {
namespace {

constexpr size_t kDefaultKeyCount = 1'000'000;
constexpr int16_t kKeyBytes = 8;
constexpr uint64_t kSpread = 0x9E3779B97F4A7C15u;  // odd: i -> i * kSpread is one-to-one
constexpr uint64_t kSeed = 12345;
// Index cache: 4 ways of one node per set, and sets enough for one block
// per 128 keys, more than a randomly filled index of 8-byte keys needs (32
// bytes a key: up to about 4 million keys fit isFileCacheMaxMemUsage).
constexpr int32_t kCacheWays = 4;
constexpr size_t kKeysPerCacheBlock = 128;
constexpr int32_t kCacheSpareSets = 16;

using KeyMap = std::map<uint64_t, uint32_t>;  // key -> record number, as a leaf entry

int mismatches = 0;

[[noreturn]] void die(const char *what, int error) {
    std::fprintf(stderr, "wisam-engine-bench: %s failed, error %d\n", what, error);
    std::exit(2);
}

void mismatch(benchmark::State &state, const char *what) {
    ++mismatches;
    state.SkipWithError(what);
}

size_t keyCount() {
    const char *text = std::getenv("WISAM_BENCH_N");
    if (text == nullptr || *text == '\0') return kDefaultKeyCount;
    char *end = nullptr;
    const unsigned long long n = std::strtoull(text, &end, 10);
    if (*end != '\0' || n == 0 || n >= kPointerMask) die("WISAM_BENCH_N", 0);
    return static_cast<size_t>(n);
}

// The keys in order and in insertion order, and the probes: one below a key
// picked at random, each with the key a greater-or-equal search must find.
struct Workload {
    std::vector<uint64_t> sorted;
    std::vector<uint64_t> shuffled;
    std::vector<uint64_t> probes;
    std::vector<uint64_t> expected;
};

const Workload &workload() {
    static const Workload w = [] {
        Workload w;
        const size_t n = keyCount();
        for (size_t i = 1; i <= n; ++i) w.shuffled.push_back(i * kSpread);
        w.sorted = w.shuffled;
        std::sort(w.sorted.begin(), w.sorted.end());
        std::mt19937_64 rng(kSeed);
        std::shuffle(w.shuffled.begin(), w.shuffled.end(), rng);
        std::uniform_int_distribution<size_t> pick(0, n - 1);
        for (size_t i = 0; i < n; ++i) {
            const uint64_t probe = w.sorted[pick(rng)] - 1;
            w.probes.push_back(probe);
            w.expected.push_back(*std::lower_bound(w.sorted.begin(), w.sorted.end(), probe));
        }
        return w;
    }();
    return w;
}

struct LeafFill {
    int64_t leaves = 0;
    int64_t fullBeforeLast = 0;  // full leaves among all but the last
    int32_t capacity = 0;        // entries a leaf takes
};

// A fresh pure index in a directory of its own, removed with it.
class EngineIndex {
public:
    EngineIndex();
    ~EngineIndex();
    EngineIndex(const EngineIndex &) = delete;
    EngineIndex &operator=(const EngineIndex &) = delete;

    void insert(uint64_t value, uint32_t record) {
        uint8_t image[kKeyBytes];
        st8(image, value);
        call("insertKey", kAccessChange, CallLock::exclusive, [&] {
            insertKey(f_, path_, image, record);
            finishChange(f_, 0);
            return 1;
        });
    }
    // The path stands on the first key >= probe.
    bool findGE(uint64_t probe) {
        uint8_t image[kKeyBytes];
        st8(image, probe);
        return call("treeFindGE", kAccessRead, CallLock::shared, [&] { return treeFindGE(f_, path_, image); });
    }
    bool first() {
        return call("treeFirst", kAccessRead, CallLock::shared,
                    [&] { return pathIndexEmpty(f_, path_) ? 0 : treeFirst(f_, path_); });
    }
    bool next() { return call("treeNext", kAccessRead, CallLock::shared, [&] { return treeNext(f_, path_); }); }
    uint64_t key() const { return ld8(path_->head->key); }
    // Ends the kept lock, which writes the dirty blocks and the dictionary,
    // and takes it again.
    void writeBack();
    LeafFill leafFill();

private:
    // One framed call; a raise ends the program.
    template <class Work>
    int call(const char *what, int32_t access, CallLock lock, Work &&work) {
        const int result = framedCall(f_, access, lock, work);
        if (f_->errorNumber != 0) die(what, f_->errorNumber);
        return result;
    }

    std::string dir_;
    std::u16string name_;
    IsFile *f_ = nullptr;
    TreePath *path_ = nullptr;
};

EngineIndex::EngineIndex() {
    char pattern[] = "/tmp/wisam-bench-XXXXXX";
    if (mkdtemp(pattern) == nullptr) die("mkdtemp", errno);
    dir_ = pattern;
    const std::string base = dir_ + "/engine";
    name_.assign(base.begin(), base.end());
    KeyDesc key{};
    key.partCount = 1;
    key.parts[0] = KeyPart{0, kKeyBytes, ISTYPE_CHAR};
    f_ = isBuild(name_.c_str(), 0, 0, &key, ISINOUT | ISEXCLLOCK);
    if (f_ == nullptr) die("isBuild", isErrno(nullptr));
    path_ = f_->indexes[0];
    if (!isSetCustomLock(f_, kCustomLockExclusive)) die("isSetCustomLock", isErrno(f_));
}

EngineIndex::~EngineIndex() {
    if (!isSetCustomLock(f_, 0) || !isClose(f_) || !isErase(name_.c_str())) die("closing", isErrno(nullptr));
    rmdir(dir_.c_str());
}

void EngineIndex::writeBack() {
    if (!isSetCustomLock(f_, 0) || !isSetCustomLock(f_, kCustomLockExclusive)) die("write-back", isErrno(f_));
}

// Walks the leaves through the path: a leaf is full when one more entry
// would not fit (nodeHasRoom, the rule of nodeInsert).
LeafFill EngineIndex::leafFill() {
    LeafFill fill;
    while (nodeHasRoom(f_, kNodeFirstEntry + (fill.capacity + 1) * path_->entrySize)) ++fill.capacity;
    call("leaf walk", kAccessRead, CallLock::shared, [&] {
        if (pathIndexEmpty(f_, path_)) return 0;
        uint32_t leaf = 0;
        bool full = false;
        for (int more = treeFirst(f_, path_); more != 0; more = treeNext(f_, path_)) {
            if (path_->head->number == leaf) continue;
            if (fill.leaves > 0 && full) ++fill.fullBeforeLast;
            ++fill.leaves;
            leaf = path_->head->number;
            full = !nodeHasRoom(f_, path_->head->used + path_->entrySize);
        }
        return 1;
    });
    return fill;
}

// The index and the map both holding every key, for the probes and walks.
struct Populated {
    Populated() {
        uint32_t record = 0;
        for (uint64_t key : workload().shuffled) {
            index.insert(key, ++record);
            map.emplace(key, record);
        }
        index.writeBack();
    }
    EngineIndex index;
    KeyMap map;
};

std::unique_ptr<Populated> populatedData;

Populated &populated() {
    if (!populatedData) populatedData = std::make_unique<Populated>();
    return *populatedData;
}

void insertRandomWisam(benchmark::State &state) {
    const Workload &w = workload();
    for (auto _ : state) {
        state.PauseTiming();
        auto index = std::make_unique<EngineIndex>();
        state.ResumeTiming();
        uint32_t record = 0;
        for (uint64_t key : w.shuffled) index->insert(key, ++record);  // a refusal ends the program
        index->writeBack();
        state.PauseTiming();
        index.reset();
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(w.shuffled.size()));
}

void insertRandomMap(benchmark::State &state) {
    const Workload &w = workload();
    for (auto _ : state) {
        state.PauseTiming();
        auto map = std::make_unique<KeyMap>();
        state.ResumeTiming();
        uint32_t record = 0;
        bool accepted = true;
        for (uint64_t key : w.shuffled) accepted &= map->emplace(key, ++record).second;
        state.PauseTiming();
        map.reset();
        state.ResumeTiming();
        if (!accepted) {
            mismatch(state, "std::map refused a key");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(w.shuffled.size()));
}

void findGEWisam(benchmark::State &state) {
    const Workload &w = workload();
    EngineIndex &index = populated().index;
    size_t i = 0;
    for (auto _ : state) {
        if (!index.findGE(w.probes[i]) || index.key() != w.expected[i]) {
            mismatch(state, "treeFindGE missed the key");
            break;
        }
        if (++i == w.probes.size()) i = 0;
    }
    state.SetItemsProcessed(state.iterations());
}

void findGEMap(benchmark::State &state) {
    const Workload &w = workload();
    const KeyMap &map = populated().map;
    size_t i = 0;
    for (auto _ : state) {
        const auto it = map.lower_bound(w.probes[i]);
        if (it == map.end() || it->first != w.expected[i]) {
            mismatch(state, "lower_bound missed the key");
            break;
        }
        if (++i == w.probes.size()) i = 0;
    }
    state.SetItemsProcessed(state.iterations());
}

void walkWisam(benchmark::State &state) {
    const std::vector<uint64_t> &sorted = workload().sorted;
    EngineIndex &index = populated().index;
    for (auto _ : state) {
        size_t count = 0;
        bool ordered = true;
        for (bool more = index.first(); more; more = index.next()) {
            ordered &= count < sorted.size() && index.key() == sorted[count];
            ++count;
        }
        if (!ordered || count != sorted.size()) {
            mismatch(state, "the walk did not return the keys in order");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(sorted.size()));
}

void walkMap(benchmark::State &state) {
    const std::vector<uint64_t> &sorted = workload().sorted;
    const KeyMap &map = populated().map;
    for (auto _ : state) {
        size_t count = 0;
        bool ordered = true;
        for (const auto &[key, record] : map) {
            ordered &= count < sorted.size() && key == sorted[count];
            ++count;
        }
        if (!ordered || count != sorted.size()) {
            mismatch(state, "the map did not return the keys in order");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(sorted.size()));
}

constexpr const char *kPairs[] = {"insert_random", "find_ge", "walk"};

void registerPairs() {
    using benchmark::RegisterBenchmark;
    RegisterBenchmark("insert_random/wisam", insertRandomWisam)->Unit(benchmark::kMillisecond);
    RegisterBenchmark("insert_random/std::map", insertRandomMap)->Unit(benchmark::kMillisecond);
    RegisterBenchmark("find_ge/wisam", findGEWisam);
    RegisterBenchmark("find_ge/std::map", findGEMap);
    RegisterBenchmark("walk/wisam", walkWisam)->Unit(benchmark::kMillisecond);
    RegisterBenchmark("walk/std::map", walkMap)->Unit(benchmark::kMillisecond);
}

// The console table (coloured on a terminal only), remembering each
// benchmark's items per second: of its last run, or the median of its
// repetitions (--benchmark_repetitions).
class SummaryReporter : public benchmark::ConsoleReporter {
public:
    SummaryReporter() : ConsoleReporter(isatty(STDOUT_FILENO) ? OO_ColorTabular : OO_Tabular) {}

    void ReportRuns(const std::vector<Run> &runs) override {
        for (const Run &run : runs) {
            const auto rate = run.counters.find("items_per_second");
            const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
            if (rate != run.counters.end() && (run.run_type == Run::RT_Iteration || median)) {
                rates_[run.run_name.str()] = rate->second.value;
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }

    void printRatios() const {
        std::printf("\nwisam / std::map, items per second:\n");
        for (const char *pair : kPairs) {
            const auto wisam = rates_.find(std::string(pair) + "/wisam");
            const auto map = rates_.find(std::string(pair) + "/std::map");
            if (wisam == rates_.end() || map == rates_.end() || map->second <= 0) continue;
            std::printf("  %-14s %6.3f  (%.3g / %.3g)\n", pair, wisam->second / map->second, wisam->second,
                        map->second);
        }
    }

private:
    std::map<std::string, double> rates_;
};

// Inserts the keys in ascending order into a fresh index and reports the
// leaves; true when every leaf but the last is full.
bool checkAscendingFill() {
    const std::vector<uint64_t> &sorted = workload().sorted;
    EngineIndex index;
    uint32_t record = 0;
    for (uint64_t key : sorted) index.insert(key, ++record);
    index.writeBack();
    const LeafFill fill = index.leafFill();
    const int64_t keys = static_cast<int64_t>(sorted.size());
    const int64_t fewest = (keys + fill.capacity - 1) / fill.capacity;
    const bool full = fill.fullBeforeLast == fill.leaves - 1;
    std::printf("\nascending inserts of %lld keys: %lld leaves (fewest possible %lld, %d entries each), "
                "%lld of the %lld before the last full: %s\n",
                static_cast<long long>(keys), static_cast<long long>(fill.leaves), static_cast<long long>(fewest),
                fill.capacity, static_cast<long long>(fill.fullBeforeLast), static_cast<long long>(fill.leaves - 1),
                full ? "every leaf but the last is full" : "MISMATCH, leaves left part empty");
    return full && fill.leaves == fewest;
}

}  // namespace
}  // namespace wisam

int main(int argc, char **argv) {
    using namespace wisam;
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    isFileCacheActive = 1;
    isWriteBackActive = 1;
    isDefaultIndexCacheAssociativity = kCacheWays;
    isDefaultIndexCacheLines = static_cast<int32_t>(keyCount() / kKeysPerCacheBlock / kCacheWays) + kCacheSpareSets;
    registerPairs();
    SummaryReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    populatedData.reset();
    reporter.printRatios();
    const bool filled = checkAscendingFill();
    benchmark::Shutdown();
    if (mismatches != 0) std::printf("%d mismatches\n", mismatches);
    return mismatches == 0 && filled ? 0 : 1;
}
