// faults.cpp - the fault plan: the replaced table entries and the rules.
#include "support/faults.h"

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <type_traits>

namespace wisam::testing {

namespace {

FaultPlan *current = nullptr;  // the plan alive, if any

// The name of the file open under `fd` ("" when there is none).
std::string descriptorFile(int fd) {
    if (fd < 0) return "";
    char link[64], target[4096];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    const ssize_t n = ::readlink(link, target, sizeof target - 1);
    return n > 0 ? std::string(target, static_cast<size_t>(n)) : std::string();
}

bool endsWith(const std::string &text, const std::string &suffix) {
    return text.size() >= suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// The file of a call: the descriptor's, or the path's.
std::string fileOf(const SysCall &c) { return c.path != nullptr ? std::string(c.path) : descriptorFile(c.fd); }

// Whether writing up to `end` makes the file longer.
bool growsFile(int fd, int64_t end) {
    struct stat st{};
    return ::fstat(fd, &st) != 0 || end > st.st_size;
}

[[noreturn]] void endProcess(Fault::End end) {
    if (end == Fault::End::kill) ::raise(SIGKILL);
    ::_exit(0);
}

// How many bytes of a transfer of `length` the fault lets through.
size_t madeOf(const Fault &f, size_t length) {
    switch (f.made) {
    case Fault::Made::half: return length / 2;
    case Fault::Made::lessBy: return length > f.bytes ? length - f.bytes : 0;
    case Fault::Made::atMost: return std::min(length, f.bytes);
    default: return length;
    }
}

// A transfer (pread, pwrite, read, write) through the plan: `pass(n)` makes
// it with n bytes.
template <class Pass>
long transfer(const SysCall &c, Pass pass) {
    FaultPlan &plan = *current;
    const Fault *f = plan.decide(c);
    long result = 0;
    if (f == nullptr && c.entry == Sys::pwrite && plan.diskRefuses(c)) {
        errno = ENOSPC;
        result = -1;
    } else if (f == nullptr) {
        result = pass(c.length);
    } else {
        if (f->made == Fault::Made::claimed) {
            result = static_cast<long>(c.length);
        } else if (f->made != Fault::Made::none) {
            result = pass(madeOf(*f, c.length));
        }
        if (f->end != Fault::End::goOn) endProcess(f->end);
        if (f->fails) {
            if (f->errorNumber != 0) errno = f->errorNumber;
            result = -1;
        }
    }
    plan.watched(c, result);
    return result;
}

// Any other call: `failure` is what a failed one returns.
template <class R, class Pass>
R other(const SysCall &c, R failure, Pass pass) {
    FaultPlan &plan = *current;
    const Fault *f = plan.decide(c);
    R result{};
    if (f == nullptr && c.entry == Sys::truncate && plan.diskRefuses(c)) {
        errno = ENOSPC;
        result = failure;
    } else if (f == nullptr) {
        result = pass();
    } else {
        if (f->made == Fault::Made::claimed) {
            if constexpr (std::is_pointer_v<R>) {
                result = failure;
            } else {
                result = static_cast<R>(f->value);
            }
        } else if (f->made != Fault::Made::none) {
            result = pass();
        }
        if (f->end != Fault::End::goOn) endProcess(f->end);
        if (f->fails) {
            if (f->errorNumber != 0) errno = f->errorNumber;
            result = failure;
        }
    }
    if constexpr (!std::is_pointer_v<R>) plan.watched(c, static_cast<long>(result));
    return result;
}

const SysCalls &next() { return current->next(); }

int planOpen(const char *path, int flags, unsigned mode) {
    return other(SysCall{.entry = Sys::open, .path = path}, -1, [&] { return next().open(path, flags, mode); });
}
int planClose(int fd) {
    return other(SysCall{.entry = Sys::close, .fd = fd}, -1, [&] { return next().close(fd); });
}
long planPread(int fd, void *buffer, size_t length, int64_t offset) {
    return transfer(SysCall{.entry = Sys::pread, .fd = fd, .length = length, .offset = offset},
                    [&](size_t n) { return next().pread(fd, buffer, n, offset); });
}
long planPwrite(int fd, const void *buffer, size_t length, int64_t offset) {
    return transfer(SysCall{.entry = Sys::pwrite, .fd = fd, .bytes = buffer, .length = length, .offset = offset},
                    [&](size_t n) { return next().pwrite(fd, buffer, n, offset); });
}
long planRead(int fd, void *buffer, size_t length) {
    return transfer(SysCall{.entry = Sys::read, .fd = fd, .length = length},
                    [&](size_t n) { return next().read(fd, buffer, n); });
}
long planWrite(int fd, const void *buffer, size_t length) {
    return transfer(SysCall{.entry = Sys::write, .fd = fd, .bytes = buffer, .length = length},
                    [&](size_t n) { return next().write(fd, buffer, n); });
}
int64_t planSeekEnd(int fd) {
    return other(SysCall{.entry = Sys::seekEnd, .fd = fd}, int64_t{-1}, [&] { return next().seekEnd(fd); });
}
int planDatasync(int fd) {
    return other(SysCall{.entry = Sys::datasync, .fd = fd}, -1, [&] { return next().datasync(fd); });
}
int planUnlink(const char *path) {
    return other(SysCall{.entry = Sys::unlink, .path = path}, -1, [&] { return next().unlink(path); });
}
int planRename(const char *from, const char *to) {
    return other(SysCall{.entry = Sys::rename, .path = from}, -1, [&] { return next().rename(from, to); });
}
int planRenameNoReplace(const char *from, const char *to) {
    return other(SysCall{.entry = Sys::renameNoReplace, .path = from}, -1,
                 [&] { return next().renameNoReplace(from, to); });
}
int planLockRange(int fd, int64_t offset, int64_t length, bool lock) {
    return other(SysCall{.entry = Sys::lockRange, .fd = fd, .length = static_cast<size_t>(length), .offset = offset,
                         .lock = lock},
                 -1, [&] { return next().lockRange(fd, offset, length, lock); });
}
int planGetpid() {
    return other(SysCall{.entry = Sys::getpid}, -1, [&] { return next().getpid(); });
}
int planTruncate(int fd, int64_t length) {
    return other(SysCall{.entry = Sys::truncate, .fd = fd, .length = static_cast<size_t>(length)}, -1,
                 [&] { return next().truncate(fd, length); });
}
void *planAllocate(size_t size) {
    void *block = other(SysCall{.entry = Sys::allocate, .length = size}, static_cast<void *>(nullptr),
                        [&] { return next().allocate(size); });
    current->allocated(block);
    return block;
}
void *planReallocate(void *block, size_t size) {
    void *moved = other(SysCall{.entry = Sys::reallocate, .length = size}, static_cast<void *>(nullptr),
                        [&] { return next().reallocate(block, size); });
    if (moved != nullptr) {
        current->released(block);
        current->allocated(moved);
    }
    return moved;
}
void planRelease(void *block) {
    current->released(block);
    other(SysCall{.entry = Sys::release}, 0, [&] { return next().release(block), 0; });
}
void *planMap(int fd, void *old, size_t oldLength, size_t length) {
    return other(SysCall{.entry = Sys::map, .fd = fd, .length = length}, static_cast<void *>(nullptr),
                 [&] { return next().map(fd, old, oldLength, length); });
}
int64_t planNow() {
    return other(SysCall{.entry = Sys::now}, int64_t{-1}, [&] { return next().now(); });
}

}  // namespace

const char *sysName(Sys entry) {
    static const char *const names[kSysEntries] = {
        "open",   "close",    "pread",  "pwrite",   "read",       "write",      "seekEnd",
        "datasync", "unlink", "rename", "renameNoReplace", "lockRange", "getpid", "truncate",
        "allocate", "reallocate", "release", "map", "now"};
    return names[static_cast<int>(entry)];
}

FaultRule &FaultRule::onFiles(std::vector<std::string> suffixes) {
    suffixes_ = std::move(suffixes);
    return *this;
}
FaultRule &FaultRule::onDescriptors(std::vector<int> fds) {
    fds_ = std::move(fds);
    return *this;
}
FaultRule &FaultRule::longerThan(size_t bytes) {
    longerThan_ = bytes;
    lengthFilter_ = true;
    return *this;
}
FaultRule &FaultRule::reachingPast(int64_t end) {
    end_ = end;
    return *this;
}
FaultRule &FaultRule::onLocks(bool locks) {
    lock_ = locks ? 1 : 0;
    return *this;
}
FaultRule &FaultRule::enable(bool on) {
    enabled_ = on;
    return *this;
}

FaultPlan::FaultPlan() : next_(sysCalls) {
    if (current != nullptr) {
        std::fprintf(stderr, "a second FaultPlan while one is alive: use the one there is\n");
        std::abort();
    }
    current = this;
    sysCalls.open = planOpen;
    sysCalls.close = planClose;
    sysCalls.pread = planPread;
    sysCalls.pwrite = planPwrite;
    sysCalls.read = planRead;
    sysCalls.write = planWrite;
    sysCalls.seekEnd = planSeekEnd;
    sysCalls.datasync = planDatasync;
    sysCalls.unlink = planUnlink;
    sysCalls.rename = planRename;
    sysCalls.renameNoReplace = planRenameNoReplace;
    sysCalls.lockRange = planLockRange;
    sysCalls.getpid = planGetpid;
    sysCalls.truncate = planTruncate;
    sysCalls.allocate = planAllocate;
    sysCalls.reallocate = planReallocate;
    sysCalls.release = planRelease;
    sysCalls.map = planMap;
    sysCalls.now = planNow;
}

FaultPlan::~FaultPlan() { current = nullptr; }  // the scope puts the table back

FaultRule &FaultPlan::add(SysSet entries, int from, int through, Fault fault) {
    auto rule = std::make_unique<FaultRule>();
    rule->entries_ = entries;
    rule->from_ = from;
    rule->through_ = through;
    rule->fault_ = fault;
    rules_.push_back(std::move(rule));
    return *rules_.back();
}

void FaultPlan::drop(FaultRule &rule) {
    std::erase_if(rules_, [&](const std::unique_ptr<FaultRule> &r) { return r.get() == &rule; });
}

void FaultPlan::fillDisk(int n, DiskFull how) {
    diskArmed_ = true;
    diskFilled_ = false;
    diskHow_ = how;
    diskFrom_ = n;
    diskSeen_ = 0;
}

void FaultPlan::freeSpace() {
    diskArmed_ = false;
    diskFilled_ = false;
}

void FaultPlan::resetCounts() {
    std::fill(std::begin(counts_), std::end(counts_), 0);
    log_.clear();
}

void FaultPlan::clear() {
    rules_.clear();
    resetCounts();
    freeSpace();
}

void FaultPlan::keepLog(SysSet entries) { logged_ = entries; }

std::vector<int64_t> FaultPlan::loggedOffsets() const {
    std::vector<int64_t> offsets;
    for (const SysCall &c : log_) offsets.push_back(c.offset);
    return offsets;
}

std::vector<int> FaultPlan::loggedDescriptors() const {
    std::vector<int> fds;
    for (const SysCall &c : log_) fds.push_back(c.fd);
    return fds;
}

void FaultPlan::watch(SysSet entries, std::function<void(const SysCall &, long)> watcher) {
    watchers_.emplace_back(entries, std::move(watcher));
}

const Fault *FaultPlan::decide(const SysCall &call) {
    ++counts_[static_cast<int>(call.entry)];
    if (logged_.has(call.entry)) log_.push_back(call);
    const Fault *chosen = nullptr;
    bool named = false;
    std::string file;
    auto fileName = [&]() -> const std::string & {
        if (!named) file = fileOf(call), named = true;
        return file;
    };
    for (const auto &r : rules_) {
        if (!r->enabled_ || !r->entries_.has(call.entry)) continue;
        if (!r->fds_.empty() && std::find(r->fds_.begin(), r->fds_.end(), call.fd) == r->fds_.end()) continue;
        if (r->lengthFilter_ && call.length <= r->longerThan_) continue;
        if (r->end_ >= 0 && call.offset + static_cast<int64_t>(call.length) <= r->end_) continue;
        if (r->lock_ >= 0 && call.lock != (r->lock_ == 1)) continue;
        if (!r->suffixes_.empty() &&
            std::none_of(r->suffixes_.begin(), r->suffixes_.end(), [&](const std::string &s) { return endsWith(fileName(), s); })) {
            continue;
        }
        ++r->seen_;
        if (chosen == nullptr && r->seen_ >= r->from_ && r->seen_ <= r->through_) {
            ++r->hits_;
            r->hitFile_ = fileName();
            chosen = &r->fault_;
        }
    }
    return chosen;
}

void FaultPlan::watched(const SysCall &call, long result) const {
    for (const auto &[entries, watcher] : watchers_) {
        if (entries.has(call.entry)) watcher(call, result);
    }
}

// A pwrite counts towards the filling disk; once full, a write (every
// one, or one that makes its file longer) and a truncate that makes its
// file longer are refused.
bool FaultPlan::diskRefuses(const SysCall &call) {
    if (!diskArmed_) return false;
    if (call.entry == Sys::pwrite) {
        if (++diskSeen_ >= diskFrom_) diskFilled_ = true;
        return diskFilled_ && (diskHow_ == DiskFull::everyWrite ||
                               growsFile(call.fd, call.offset + static_cast<int64_t>(call.length)));
    }
    return call.entry == Sys::truncate && diskFilled_ && diskHow_ == DiskFull::growth &&
           growsFile(call.fd, static_cast<int64_t>(call.length));
}

const char *faultName(FaultKind kind) {
    switch (kind) {
    case FaultKind::none: return "none";
    case FaultKind::writeError: return "write_error";
    case FaultKind::shortWrite: return "short_write";
    case FaultKind::readError: return "read_error";
    case FaultKind::shortRead: return "short_read";
    case FaultKind::syncError: return "sync_error";
    case FaultKind::truncateError: return "truncate_error";
    case FaultKind::allocation: return "allocation";
    }
    return "?";
}

FaultInjector::FaultInjector() { plan_.trackBlocks(); }

void FaultInjector::arm(FaultKind kind, int target, int error) {
    disarm();
    if (rule_ != nullptr) plan_.drop(*rule_);
    rule_ = nullptr;
    const std::vector<std::string> files = {".wox", ".wod"};
    switch (kind) {
    case FaultKind::none: return;
    case FaultKind::writeError: rule_ = &plan_.failNth(Sys::pwrite, target, error).onFiles(files); break;
    case FaultKind::shortWrite: rule_ = &plan_.shortTransfer(Sys::pwrite, target).onFiles(files).longerThan(1); break;
    case FaultKind::readError: rule_ = &plan_.failNth(Sys::pread, target, error).onFiles(files); break;
    case FaultKind::shortRead: rule_ = &plan_.shortTransfer(Sys::pread, target).onFiles(files).longerThan(1); break;
    case FaultKind::syncError: rule_ = &plan_.failNth(Sys::datasync, target, error).onFiles(files); break;
    case FaultKind::truncateError: rule_ = &plan_.failNth(Sys::truncate, target, error).onFiles(files); break;
    case FaultKind::allocation: rule_ = &plan_.at({Sys::allocate, Sys::reallocate}, target, Fault::error(0)); break;
    }
    if (kind == FaultKind::readError || kind == FaultKind::shortRead) maps_ = &plan_.refuse(Sys::map);
}

void FaultInjector::disarm() {
    if (rule_ != nullptr) rule_->enable(false);
    if (maps_ != nullptr) plan_.drop(*maps_);
    maps_ = nullptr;
}

bool FaultInjector::hit() const { return rule_ != nullptr && rule_->hit(); }

int FaultInjector::hitFileKind() const {
    if (rule_ == nullptr || !rule_->hit()) return 0;
    if (endsWith(rule_->hitFile(), ".wox")) return 1;
    if (endsWith(rule_->hitFile(), ".wod")) return 2;
    return 0;
}

size_t FaultInjector::liveBlocks() const { return plan_.liveBlocks(); }

}  // namespace wisam::testing
