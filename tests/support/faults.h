// faults.h - the one way the tests break, count and watch the library's
// system calls: a FaultPlan.
//
// Every system call of the library goes through the table `sysCalls`
// (system/issystem.h).  A FaultPlan takes the table over for its life (it
// holds a FaultScope) and hands every call on to the table it found, unless
// one of its rules takes the call:
//
//     FaultPlan plan;
//     plan.failNth(Sys::pwrite, 3, ENOSPC);          // the 3rd pwrite fails
//     plan.failFrom(Sys::pread, 1, EIO).onFiles({".wod"});  // every data read
//     plan.failFirst(Sys::lockRange, 2, EINTR);      // the first two
//     plan.at(Sys::pwrite, 5, Fault::half());        // the 5th writes half
//     plan.at(Sys::pwrite, 9, Fault::exit());        // the process ends there
//     plan.calls(Sys::pread);                        // preads so far
//
// A rule counts the calls of its entries that pass its filters (onFiles,
// onDescriptors, longerThan, reachingPast, onLocks), from 1, starting when
// it is made; the first rule whose range holds the count acts on the call
// (every rule that matches counts it).  The plan
// also counts every call of every entry (calls), keeps the calls of the
// entries asked for (keepLog), runs watchers after them (watch), models a
// disk that fills up (fillDisk) and tracks the blocks allocated
// (trackBlocks).
//
// FaultInjector, below, is the vocabulary of the model tests' fault loops
// (fail or shorten the Nth transfer of the index or data file, the Nth
// allocation) on top of a plan.
//
// One plan at a time: a second one while another is alive stops the
// program.  A forked child inherits the plan of its parent.
#pragma once

#include <climits>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <string>
#include <unordered_set>
#include <vector>

#include "support/testing.h"
#include "system/issystem.h"

namespace wisam::testing {

// The entries of the table a plan takes over.
enum class Sys {
    open, close, pread, pwrite, read, write, seekEnd, datasync, unlink, rename, renameNoReplace, lockRange,
    getpid, truncate, allocate, reallocate, release, map, now,
};
constexpr int kSysEntries = static_cast<int>(Sys::now) + 1;
const char *sysName(Sys entry);

// One entry or several: the entries a rule counts together.
class SysSet {
public:
    SysSet(Sys entry) : bits_(bit(entry)) {}  // NOLINT: an entry is a set of one
    SysSet(std::initializer_list<Sys> entries) {
        for (Sys e : entries) bits_ |= bit(e);
    }
    bool has(Sys entry) const { return (bits_ & bit(entry)) != 0; }

private:
    static uint32_t bit(Sys e) { return uint32_t{1} << static_cast<int>(e); }
    uint32_t bits_ = 0;
};

// One call as the plan saw it.
struct SysCall {
    Sys entry = Sys::open;
    int fd = -1;                  // the descriptor of a descriptor call
    const char *path = nullptr;   // open, unlink, rename (the old name)
    const void *bytes = nullptr;  // what a pwrite or write writes
    size_t length = 0;            // bytes of a transfer, allocation size, length of a truncate
    int64_t offset = -1;          // offset of a positioned transfer or lock
    bool lock = false;            // lockRange: a lock (not an unlock)
};

// What a rule does with a call it takes: how much of the call is made,
// whether the process ends there, and whether it then fails.
struct Fault {
    enum class Made { none, whole, half, lessBy, atMost, claimed };
    enum class End { goOn, exit, kill };

    Made made = Made::none;
    size_t bytes = 0;     // lessBy, atMost
    bool fails = true;
    int errorNumber = 0;  // errno of a failing call (0: errno left alone)
    End end = End::goOn;
    int64_t value = 0;    // what a claimed call that is no transfer returns

    // The call is not made; it fails with errno `e` (0: errno untouched).
    static Fault error(int e) { return {Made::none, 0, true, e, End::goOn, 0}; }
    // The transfer is made with half its bytes, `n` fewer, or at most `n`.
    static Fault half() { return {Made::half, 0, false, 0, End::goOn, 0}; }
    static Fault lessBy(size_t n) { return {Made::lessBy, n, false, 0, End::goOn, 0}; }
    static Fault atMost(size_t n) { return {Made::atMost, n, false, 0, End::goOn, 0}; }
    // Half the bytes reach the file, then the call fails with `e`.
    static Fault torn(int e) { return {Made::half, 0, true, e, End::goOn, 0}; }
    // The call is not made but succeeds: a transfer as if whole, anything
    // else returning `result`.
    static Fault claimed(int64_t result = 0) { return {Made::claimed, 0, false, 0, End::goOn, result}; }
    // The process ends on the spot (_exit(0), or SIGKILL) once `made` of the
    // call is made.
    static Fault exit(Made made = Made::none) { return {made, 0, false, 0, End::exit, 0}; }
    static Fault kill(Made made = Made::none) { return {made, 0, false, 0, End::kill, 0}; }
};

class FaultPlan;

// A rule of a plan; its filters narrow the calls it counts.
class FaultRule {
public:
    // Descriptor calls on files whose name ends with one of `suffixes` (a
    // whole path is a suffix of itself); path calls on such paths.
    FaultRule &onFiles(std::vector<std::string> suffixes);
    FaultRule &onDescriptors(std::vector<int> fds);
    FaultRule &longerThan(size_t bytes);  // transfers of more bytes
    FaultRule &reachingPast(int64_t end); // positioned transfers whose bytes go past `end`
    FaultRule &onLocks(bool locks);       // lockRange: locks only (true) or unlocks only
    FaultRule &enable(bool on);           // a disabled rule counts nothing, does nothing

    int seen() const { return seen_; }  // calls counted
    int hits() const { return hits_; }  // calls acted on
    bool hit() const { return hits_ > 0; }
    const std::string &hitFile() const { return hitFile_; }  // the file of the last call acted on

private:
    friend class FaultPlan;
    SysSet entries_{std::initializer_list<Sys>{}};
    int from_ = INT_MAX, through_ = INT_MAX;  // counted calls acted on
    Fault fault_;
    std::vector<std::string> suffixes_;
    std::vector<int> fds_;
    size_t longerThan_ = 0;
    bool lengthFilter_ = false;
    int64_t end_ = -1;  // reachingPast (-1: any)
    int lock_ = -1;  // -1 any, 0 unlocks, 1 locks
    bool enabled_ = true;
    int seen_ = 0, hits_ = 0;
    std::string hitFile_;
};

// How a full disk refuses writes.
enum class DiskFull {
    everyWrite,  // every pwrite, on any file
    growth,      // a pwrite past the end of its file, a truncate to a larger size
};

class FaultPlan {
public:
    FaultPlan();
    ~FaultPlan();
    FaultPlan(const FaultPlan &) = delete;
    FaultPlan &operator=(const FaultPlan &) = delete;

    // The `n`-th call (1-based) of `entries` fails with errno `error`; from
    // the `n`-th on; the first `count`.
    FaultRule &failNth(SysSet entries, int n, int error) { return add(entries, n, n, Fault::error(error)); }
    FaultRule &failFrom(SysSet entries, int n, int error) { return add(entries, n, INT_MAX, Fault::error(error)); }
    FaultRule &failFirst(SysSet entries, int count, int error) { return add(entries, 1, count, Fault::error(error)); }
    // The `n`-th transfer is short (half its bytes unless told otherwise).
    FaultRule &shortTransfer(SysSet entries, int n, Fault how = Fault::half()) { return add(entries, n, n, how); }
    // Any fault at the `n`-th call, or at the `n`-th and every later one.
    FaultRule &at(SysSet entries, int n, Fault fault) { return add(entries, n, n, fault); }
    FaultRule &from(SysSet entries, int n, Fault fault) { return add(entries, n, INT_MAX, fault); }
    // Every call fails without touching errno (a refused mapping: null).
    FaultRule &refuse(SysSet entries) { return from(entries, 1, Fault::error(0)); }
    // Every call returns `result` without being made (getpid, now).
    FaultRule &answer(SysSet entries, int64_t result) { return from(entries, 1, Fault::claimed(result)); }
    // Counts the calls that pass the rule's filters; acts on none.
    FaultRule &count(SysSet entries) { return add(entries, INT_MAX, INT_MAX, Fault::claimed()); }
    void drop(FaultRule &rule);

    // The disk fills at the `n`-th pwrite from now and stays full until
    // freeSpace(): a refused write fails with ENOSPC.
    void fillDisk(int n, DiskFull how);
    void freeSpace();
    bool diskFilled() const { return diskFilled_; }

    // Calls of `entry` since the plan began or the last resetCounts().
    int calls(Sys entry) const { return counts_[static_cast<int>(entry)]; }
    void resetCounts();
    // Drops every rule, count, log entry and the full disk: every call
    // passes through again.
    void clear();

    // Keeps every call of `entries` (in order, failed ones too).
    void keepLog(SysSet entries);
    const std::vector<SysCall> &log() const { return log_; }
    std::vector<int64_t> loggedOffsets() const;
    std::vector<int> loggedDescriptors() const;

    // Runs `watcher` after every call of `entries` with the call's result.
    void watch(SysSet entries, std::function<void(const SysCall &, long result)> watcher);

    // Tracks the blocks allocated from now: those not freed again.
    void trackBlocks() { tracking_ = true; }
    size_t liveBlocks() const { return live_.size(); }

    // The table the plan hands calls on to.
    const SysCalls &next() const { return next_; }

    // For the replaced entries (faults.cpp): counts the call, and the fault
    // of the rule that acts on it, or null.
    const Fault *decide(const SysCall &call);
    void watched(const SysCall &call, long result) const;
    bool diskRefuses(const SysCall &call);
    void allocated(void *block) {
        if (tracking_ && block != nullptr) live_.insert(block);
    }
    void released(void *block) { live_.erase(block); }

private:
    FaultRule &add(SysSet entries, int from, int through, Fault fault);

    FaultScope scope_;
    SysCalls next_;
    std::vector<std::unique_ptr<FaultRule>> rules_;
    int counts_[kSysEntries] = {};
    SysSet logged_{std::initializer_list<Sys>{}};
    std::vector<SysCall> log_;
    std::vector<std::pair<SysSet, std::function<void(const SysCall &, long)>>> watchers_;
    bool diskArmed_ = false, diskFilled_ = false;
    DiskFull diskHow_ = DiskFull::everyWrite;
    int diskFrom_ = 0, diskSeen_ = 0;
    bool tracking_ = false;
    std::unordered_set<void *> live_;
};

// The system calls the model tests' fault loops break.
enum class FaultKind { none, writeError, shortWrite, readError, shortRead, syncError, truncateError, allocation };
const char *faultName(FaultKind kind);

// A plan for the fault loops.  While armed, the `target`-th call of the
// kind (1-based) on the index or data file (for allocations: allocate or
// reallocate) fails with `error` (short kinds: transfers half; allocations
// return null).  While reads are broken, mappings are refused, so that
// every read of the files is a pread.  Every allocation is tracked, so
// that blocks still live can be counted.
class FaultInjector {
public:
    FaultInjector();
    FaultInjector(const FaultInjector &) = delete;
    FaultInjector &operator=(const FaultInjector &) = delete;

    void arm(FaultKind kind, int target, int error);
    void disarm();
    bool hit() const;           // the armed fault happened
    int hitFileKind() const;    // 1 index, 2 data: the file of the failed transfer
    size_t liveBlocks() const;  // blocks allocated since construction, not yet freed
    FaultPlan &plan() { return plan_; }  // for faults of other calls beside

private:
    FaultPlan plan_;
    FaultRule *rule_ = nullptr;
    FaultRule *maps_ = nullptr;
};

}  // namespace wisam::testing
