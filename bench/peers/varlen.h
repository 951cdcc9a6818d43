// varlen.h - the variable-length workload of wisam-bench: records of 50 to
// 2 000 bytes (mean about 300) inserted, read, rewritten to another length
// and deleted, on wisam (variable-length files, plain and packed) and on its
// peers.  The engines live in varlen.cpp.
#ifndef WISAM_BENCH_VARLEN_H
#define WISAM_BENCH_VARLEN_H

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

namespace wisambench {

constexpr const char *kVarlenSteps[] = {"V1 insert", "V2 get", "V3 rewrite", "V4 delete"};
constexpr int kVarlenStepCount = 4;

struct VarlenResult {
    std::string engine;
    double ops[kVarlenStepCount] = {}, seconds[kVarlenStepCount] = {};
    double bytesPerRecord = 0;  // after V1
    double rate(int s) const { return seconds[s] > 0 ? ops[s] / seconds[s] : 0; }
};

struct VarlenOptions {
    size_t records = 100000;
    std::string root;  // each engine makes its own directory below it
    std::function<bool(const std::string &engine)> selected;
};

// Runs every selected engine built in; results in the order wisam,
// wisam-packed, lmdb, sqlite, bdb.  A record read back with other bytes or
// another length counts as a mismatch.
std::vector<VarlenResult> runVarlenWorkload(const VarlenOptions &options);
void printVarlenTable(const std::vector<VarlenResult> &results, const VarlenOptions &options);
void printVarlenCsv(const std::vector<VarlenResult> &results, const VarlenOptions &options);

}  // namespace wisambench

#endif
