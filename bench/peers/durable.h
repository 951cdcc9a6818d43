// durable.h - the durable-commit workload of wisam-bench: small
// transactions of inserts whose commit is on disk before it returns, on
// wisam (a transaction log with isForceCommit) and on its peers in their
// durable modes.  The engines live in durable.cpp.
#ifndef WISAM_BENCH_DURABLE_H
#define WISAM_BENCH_DURABLE_H

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

namespace wisambench {

constexpr int kDurableSizes[] = {1, 100};  // records per transaction
constexpr int kDurableSizeCount = 2;

struct DurableResult {
    std::string engine;
    double commits[kDurableSizeCount] = {}, seconds[kDurableSizeCount] = {};  // of all rounds
    double commitRate(int s) const { return seconds[s] > 0 ? commits[s] / seconds[s] : 0; }
    double recordRate(int s) const { return commitRate(s) * kDurableSizes[s]; }
};

struct DurableOptions {
    size_t commits[kDurableSizeCount] = {};  // transactions of each size, over all rounds
    int rounds = 1;
    std::string root;  // each run makes its own directory below it
    std::function<bool(const std::string &engine)> selected;
};

// Runs every selected engine built in; results in the order wisam, lmdb,
// sqlite, bdb.  A record that a reopened store lacks counts as a mismatch.
std::vector<DurableResult> runDurableWorkload(const DurableOptions &options);
void printDurableTable(const std::vector<DurableResult> &results, const DurableOptions &options);

}  // namespace wisambench

#endif
