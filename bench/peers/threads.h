// threads.h - the threads workload of wisam-bench: one thread against two
// (or more) in one process, each thread on a file of its own through a
// handle of its own, both handle modes.  Lives in threads.cpp.
#ifndef WISAM_BENCH_THREADS_H
#define WISAM_BENCH_THREADS_H

#include <cstddef>
#include <string>
#include <vector>

namespace wisambench {

constexpr const char *kThreadSteps[] = {"W1 insert", "W2 get", "W4 scan secondary", "W5 update", "W6 delete"};
constexpr int kThreadStepCount = 5;

struct ThreadsResult {
    std::string engine;  // wisam-excl (kept-lock batches) or wisam-shared (single calls)
    int threads = 1;
    double ops[kThreadStepCount] = {}, seconds[kThreadStepCount] = {};  // all threads together
    double rate(int s) const { return seconds[s] > 0 ? ops[s] / seconds[s] : 0; }
};

struct ThreadsOptions {
    size_t records = 200000;  // per thread
    int threads = 2;
    int rounds = 3;           // 1 thread and `threads` threads alternate
    std::string root;
};

// Runs both handle modes with one thread and with `threads` threads, in
// turn, `rounds` times.  Each step starts in every thread at once and is
// timed until the last thread ends it.
std::vector<ThreadsResult> runThreadsWorkload(const ThreadsOptions &options);
void printThreadsTable(const std::vector<ThreadsResult> &results, const ThreadsOptions &options);

}  // namespace wisambench

#endif
