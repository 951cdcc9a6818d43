// demo.cpp - a demonstration run: build a file with three indexes, write,
// read back through every index, delete, rewrite, check, and time it all.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "tool.h"

namespace wisam::tool {

namespace {

constexpr const char *kDemoHelp =
    "usage: wisam demo [DIR]\n"
    "  Builds DIR/demo (DIR defaults to a new directory under /tmp) with three\n"
    "  indexes: a unique id, a compressed name and a group with duplicates.\n"
    "  Writes 100000 records, reads them back through every index, deletes\n"
    "  every tenth, rewrites every seventh, checks the counts and prints timings.\n";

constexpr int kRecords = 100000;
constexpr int kRecordLength = 64;
constexpr int kGroups = 1000;
constexpr int16_t kIdAt = 0, kNameAt = 4, kNameLength = 24, kGroupAt = 28;

using Clock = std::chrono::steady_clock;

KeyDesc keyOf(int16_t start, int16_t length, uint16_t type, uint16_t flags) {
    KeyDesc key{};
    key.flags = flags;
    key.partCount = 1;
    key.parts[0] = KeyPart{start, length, type};
    return key;
}

// The id written in the i-th place: a fixed permutation of 1..kRecords.
int32_t idAt(int i) { return static_cast<int32_t>((static_cast<int64_t>(i) * 7919) % kRecords) + 1; }

void makeRecord(int32_t id, int32_t group, unsigned char *record) {
    std::memset(record, ' ', kRecordLength);
    stLong(id, record + kIdAt);
    char name[32];
    std::snprintf(name, sizeof name, "customer-%06d", (id * 37) % kRecords);
    stChar(name, record + kNameAt, kNameLength);
    stLong(group, record + kGroupAt);
}

struct Timer {
    Clock::time_point start = Clock::now();
    double seconds() const { return std::chrono::duration<double>(Clock::now() - start).count(); }
};

class Demo {
public:
    explicit Demo(IsFile *f) : f_(f) {}

    bool writeAll() {
        unsigned char record[kRecordLength];
        for (int i = 0; i < kRecords; ++i) {
            const int32_t id = idAt(i);
            makeRecord(id, id % kGroups, record);
            if (!isWrite(f_, record)) return fail("write", f_) == 0;
        }
        return true;
    }

    // Reads the whole file in the order of index `index` (0: record
    // numbers); checks that the long at `at` never goes down in the id and
    // group orders and that `expected` records come back.
    bool readAll(int index, int16_t at, long expected) {
        if (!isIndex(f_, index)) return fail("select index", f_) == 0;
        unsigned char record[kRecordLength];
        long count = 0;
        int32_t last = INT32_MIN;
        for (int mode = modeFirst; isRead(f_, record, mode); mode = modeNext, ++count) {
            const int32_t value = ldLong(record + at);
            if (index != 0 && at != kNameAt && value < last) {
                return report("order broken in index", index);
            }
            last = value;
        }
        if (isErrno(f_) != EENDFILE) return fail("read", f_) == 0;
        if (count != expected) return report("wrong count in index", index);
        return true;
    }

    long deleteEveryTenth() {
        unsigned char record[kRecordLength];
        long deleted = 0;
        for (int32_t id = 10; id <= kRecords; id += 10, ++deleted) {
            makeRecord(id, 0, record);
            if (!isDelete(f_, record)) {
                fail("delete", f_);
                return -1;
            }
        }
        return deleted;
    }

    bool rewriteEverySeventh() {
        unsigned char record[kRecordLength];
        for (int32_t id = 7; id <= kRecords; id += 7) {
            if (id % 10 == 0) continue;
            makeRecord(id, (id + 1) % kGroups, record);
            if (!isRewrite(f_, record)) return fail("rewrite", f_) == 0;
        }
        return true;
    }

private:
    static bool report(const char *what, int index) {
        std::fprintf(stderr, "wisam: demo: %s %d\n", what, index);
        return false;
    }
    IsFile *f_;
};

}  // namespace

int demoCommand(const Args &args) {
    if (wantsHelp(args)) return out("%s", kDemoHelp), kExitOk;
    if (args.size() > 1) return usage("demo takes at most one DIR", kDemoHelp);
    std::string dir;
    if (args.empty()) {
        char pattern[] = "/tmp/wisam-demo-XXXXXX";
        if (mkdtemp(pattern) == nullptr) return usage("cannot make a directory under /tmp", kDemoHelp);
        dir = pattern;
    } else {
        dir = args[0];
        std::filesystem::create_directories(dir);
    }
    std::u16string name;
    if (!fileName(dir + "/demo", name)) return kExitUsage;
    isErase(name.c_str());  // a file left by an earlier run
    isFileCacheActive = 1;

    Timer total;
    KeyDesc id = keyOf(kIdAt, 4, ISTYPE_LONG, 0);
    KeyDesc customer = keyOf(kNameAt, kNameLength, ISTYPE_CHAR,
                             ISKEY_LEADCOMPRESS | ISKEY_TRAILCOMPRESS | ISKEY_DUPCOMPRESS);
    KeyDesc group = keyOf(kGroupAt, 4, ISTYPE_LONG, ISKEY_DUPS);
    IsFile *f = isBuild(name.c_str(), kRecordLength, 0, &id, ISINOUT | ISEXCLLOCK);
    if (f == nullptr) return fail("build " + dir + "/demo", nullptr);
    if (!isAddIndex(f, &customer) || !isAddIndex(f, &group)) return fail("add index", f);
    Demo demo(f);

    Timer writing;
    if (!demo.writeAll()) return 1;
    const double writeSeconds = writing.seconds();
    Timer reading;
    for (int index = 0; index <= 3; ++index) {
        const int16_t at = index == 2 ? kNameAt : index == 3 ? kGroupAt : kIdAt;
        if (!demo.readAll(index, at, kRecords)) return 1;
    }
    const double readSeconds = reading.seconds();
    Timer changing;
    const long deleted = demo.deleteEveryTenth();
    if (deleted < 0 || !demo.rewriteEverySeventh()) return 1;
    const double changeSeconds = changing.seconds();
    for (int index = 0; index <= 3; ++index) {
        const int16_t at = index == 2 ? kNameAt : index == 3 ? kGroupAt : kIdAt;
        if (!demo.readAll(index, at, kRecords - deleted)) return 1;
    }
    IsamInfo info{};
    if (!isIsamInfo(f, &info)) return fail("info", f);
    if (info.recordCount != kRecords - deleted) {
        std::fprintf(stderr, "wisam: demo: %d records counted, %ld expected\n", info.recordCount,
                     kRecords - deleted);
        return 1;
    }
    isClose(f);
    out("wisam demo in %s/demo: 3 indexes, %d records of %d bytes\n", dir.c_str(),
                kRecords, kRecordLength);
    out("  write   %8.3f s  %10.0f records/s\n", writeSeconds, kRecords / writeSeconds);
    out("  read    %8.3f s  %10.0f records/s (4 orders)\n", readSeconds,
                4.0 * kRecords / readSeconds);
    out("  change  %8.3f s  %ld deleted, every 7th rewritten\n", changeSeconds, deleted);
    out("  checked %d records left in every order; total %.3f s\n", info.recordCount,
                total.seconds());
    return 0;
}

}  // namespace wisam::tool
