// The rollback journal: a change reaches the files whole or not at all.
//
//   - A writer dies at every step of a commit in turn (before the journal,
//     after it, after each in-place write, before the journal is cleared):
//     the journal left behind is decoded byte by byte, and the next open
//     finds the files exactly as before the change, or exactly as after it.
//   - The same journals damaged at random (bytes, truncation, garbage) are
//     never applied and never crash the opener.
//   - Every changing call run again and again with its Nth pwrite, pread,
//     fdatasync or ftruncate failing leaves the files byte-identical to
//     what they were before the call (single calls), and a failed end of a
//     kept lock keeps the batch for the next try.
//   - Several processes write one file and are killed with SIGKILL at random
//     moments (mode 1), or their unsynced writes are kept, dropped or torn
//     at random as a power loss would (mode 2): the file then holds every
//     acknowledged change and the change in flight whole or not at all, and
//     every index agrees with the data.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "support/faults.h"
#include "support/model.h"
#include "support/testing.h"
#include "support/treecheck.h"
#include "wisam.h"

namespace wisam {
namespace {

using namespace testing;

constexpr int kPage = 4096;

uint32_t be32(const uint8_t *p) { return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3]; }
uint64_t be64(const uint8_t *p) { return uint64_t(be32(p)) << 32 | be32(p + 4); }

// The journal as the test reads it, independently of the library.
struct DecodedJournal {
    bool valid = false;  // the header's magic, version and page size
    uint32_t mode = 0;
    uint64_t startSize[2] = {0, 0};
    struct Record {
        uint32_t kind, length;
        uint64_t offset;
        std::vector<uint8_t> image;
        uint32_t segment;
    };
    struct Range {
        uint32_t kind, length;
        uint64_t offset;
    };
    std::vector<Record> records;
    bool final = false;
    uint32_t segments = 0;
    uint64_t finalSize[2] = {0, 0};
    std::vector<Range> changed;  // the final segment's ranges written in place, in order
};

DecodedJournal decodeJournal(const std::vector<uint8_t> &j) {
    DecodedJournal d;
    constexpr size_t kHeader = 128, kHead = 48;
    if (j.size() < kHeader || std::memcmp(j.data(), "wisamjnl", 8) != 0 || be32(&j[8]) != 3 || be32(&j[16]) != kPage) return d;
    d.valid = true;
    d.mode = be32(&j[20]);
    d.startSize[0] = be64(&j[24]);
    d.startSize[1] = be64(&j[32]);
    size_t at = kHeader;
    while (at + kHead <= j.size() && std::memcmp(&j[at], "wseg", 4) == 0 && be32(&j[at + 4]) == d.segments) {
        const uint8_t *s = &j[at];
        const uint64_t length = be64(s + 16);
        if (length > j.size() - at) break;  // torn: what follows was never written
        size_t pos = kHead;
        for (uint32_t r = be32(s + 8); r > 0; --r) {
            DecodedJournal::Record rec{be32(s + pos), be32(s + pos + 4), be64(s + pos + 8), {}, d.segments};
            if (pos + 16 + rec.length > length) return DecodedJournal{};
            rec.image.assign(s + pos + 16, s + pos + 16 + rec.length);
            pos += 16 + ((rec.length + 7) & ~7u);
            d.records.push_back(rec);
        }
        ++d.segments;
        if ((be32(s + 12) & 1) != 0) {
            d.final = true;
            d.finalSize[0] = be64(s + 24);
            d.finalSize[1] = be64(s + 32);
            const uint32_t count = be32(s + pos);
            pos += 8;
            for (uint32_t i = 0; i < count; ++i, pos += 16) d.changed.push_back({be32(s + pos), be32(s + pos + 4), be64(s + pos + 8)});
            break;
        }
        at += length;
    }
    return d;
}

struct Snapshot {
    std::vector<uint8_t> wox, wod;
    bool operator==(const Snapshot &) const = default;
};

class JournalFiles {
public:
    JournalFiles() { isJournalMode = 1; }
    ~JournalFiles() {
        isJournalMode = 0;
        isCleanUp();
    }
    std::u16string name() const { return dir.name("j"); }
    std::string path(const char *ext) const { return dir.file(std::string("j") + ext); }
    Snapshot snap() const { return {readFile(path(".wox")), readFile(path(".wod"))}; }
    void put(const Snapshot &s) const {
        writeFile(path(".wox"), s.wox);
        writeFile(path(".wod"), s.wod);
    }
    // A file with two indexes and `rows` records.
    Model make(int rows) const {
        Model model;
        KeyDesc id = modelIdKey(), group = modelGroupKey();
        IsFile *f = isBuild(name().c_str(), kModelLength, 0, &id, ISINOUT | ISMANULOCK);
        EXPECT_NE(f, nullptr);
        EXPECT_EQ(isAddIndex(f, &group), 1);
        for (int32_t i = 0; i < rows; ++i) {
            EXPECT_EQ(isWrite(f, modelRecord(3 * i, i % kModelGroups, 0).data()), 1);
            model.wrote(3 * i, i % kModelGroups, 0, isRecnum(f));
        }
        EXPECT_EQ(isClose(f), 1);
        return model;
    }
    // Opens, compares with `model` (and the tree structure), closes.
    std::string check(const Model &model) const {
        return reopenAndCompare(name(), ISINOUT | ISMANULOCK, model, path(".wox"), false);
    }
    TempDir dir;
};

// The change every death test makes: a batch that splits nodes, frees a
// record number and grows both files, under one kept lock.  With no handle,
// only the model takes it (the calls fail at once).
void bigChange(IsFile *f, Model &model) {
    isSetCustomLock(f, 2);
    for (int32_t i = 0; i < 60; ++i) {
        isWrite(f, modelRecord(1000 + i, i % kModelGroups, 1).data());
        model.wrote(1000 + i, i % kModelGroups, 1, 0);
    }
    for (int32_t id = 0; id < 60; id += 6) {
        isDelete(f, modelRecord(id, 0, 0).data());
        model.rows.erase(id);
    }
    isRewrite(f, modelRecord(3, 5, 9).data());
    model.rows[3] = ModelRow{5, 9, 0};
    isSetCustomLock(f, 0);
}

int diskLog = -1;
std::string diskFiles[3];

int fileOf(int fd) {
    char link[64], target[1024];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    const ssize_t n = ::readlink(link, target, sizeof target - 1);
    if (n <= 0) return -1;
    target[n] = 0;
    for (int i = 0; i < 3; ++i) {
        if (diskFiles[i] == target) return i;
    }
    return -1;
}

// A child's plan: of its pwrites on the three files, the `dieAt`-th is
// never made (or, with `tear`, made by half) and the process ends on the
// spot (0: it never dies).
void dieAtWrite(FaultPlan &plan, int dieAt, bool tear) {
    if (dieAt == 0) return;
    plan.at(Sys::pwrite, dieAt, Fault::exit(tear ? Fault::Made::half : Fault::Made::none))
        .onFiles({diskFiles[0], diskFiles[1], diskFiles[2]});
}

// Mode 1, mode 2, and mode 1 with so little memory that the change spills
// its pages in place several times on the way (one journal segment each).
TEST(JournalDeath, EveryStepOfACommitLeavesBeforeOrAfter) {
    const int32_t memory = isFileCacheMaxMemUsage;
    for (int variant : {1, 2, 3}) {
        SCOPED_TRACE("variant " + std::to_string(variant));
        const int mode = variant == 2 ? 2 : 1;
        isFileCacheMaxMemUsage = variant == 3 ? 96 << 10 : memory;
        JournalFiles files;
        isJournalMode = mode;
        for (int i = 0; i < 3; ++i) diskFiles[i] = files.path(i == 0 ? ".wox" : i == 1 ? ".wod" : ".wjn");
        const Model before = files.make(80);
        const Snapshot start = files.snap();
        Model after = before;
        {  // the completed change, for comparison
            IsFile *f = isOpen(files.name().c_str(), ISINOUT | ISMANULOCK);
            ASSERT_NE(f, nullptr);
            bigChange(f, after);
            isClose(f);
        }
        const Snapshot done = files.snap();
        int sawJournal = 0, sawPartial = 0, sawKept = 0;
        uint32_t segments = 0;
        for (int k = 1;; ++k) {
            files.put(start);
            ::unlink(files.path(".wjn").c_str());
            const int status = runInChild([&] {
                FaultPlan dies;
                dieAtWrite(dies, k, k == 1);
                IsFile *f = isOpen(files.name().c_str(), ISINOUT | ISMANULOCK);
                Model scratch = before;
                bigChange(f, scratch);
                return 7;  // every write made: the loop is over
            });
            const Snapshot left = files.snap();
            const std::vector<uint8_t> jbytes = readFile(files.path(".wjn"));
            const DecodedJournal d = decodeJournal(jbytes);
            if (d.valid && !d.records.empty()) {
                ++sawJournal;
                EXPECT_EQ(d.mode, uint32_t(mode));
                EXPECT_EQ(d.startSize[0], start.wox.size());
                EXPECT_EQ(d.startSize[1], start.wod.size());
                segments = std::max(segments, d.segments);
                if (d.final) {
                    EXPECT_EQ(d.finalSize[0], done.wox.size());
                    EXPECT_EQ(d.finalSize[1], done.wod.size());
                }
                // Each image lies within a page and the file's size at the
                // start; the first segment's are the bytes as they were then
                // (a later segment's are those its spilled predecessors left,
                // put back before the first segment's).
                for (const auto &r : d.records) {
                    const std::vector<uint8_t> &file = r.kind == 1 ? start.wox : start.wod;
                    ASSERT_LE(r.offset + r.length, file.size());
                    EXPECT_LE(r.offset % kPage + r.length, uint64_t(kPage));
                    if (r.segment > 0) continue;
                    EXPECT_EQ(0, std::memcmp(r.image.data(), file.data() + r.offset, r.length))
                        << "the image at " << r.offset << " of file " << r.kind;
                }
                // Only ranges that differ are written: each begins and ends
                // with a changed byte (or one past the file's old end).
                for (const auto &r : d.changed) {
                    const std::vector<uint8_t> &was = r.kind == 1 ? start.wox : start.wod;
                    const std::vector<uint8_t> &now = r.kind == 1 ? done.wox : done.wod;
                    for (const uint64_t at : {r.offset, r.offset + r.length - 1}) {
                        EXPECT_TRUE(at >= was.size() || at >= now.size() || was[at] != now[at] || d.segments > 1)
                            << "the range at " << r.offset << " of file " << r.kind << " writes an unchanged byte";
                    }
                }
                // The dictionary's change counter (bytes 41..44) goes in place first.
                const bool dictionaryFirst = !d.changed.empty() && d.changed[0].kind == 1 &&
                                             d.changed[0].offset <= 41 && d.changed[0].offset + d.changed[0].length >= 45;
                EXPECT_TRUE(dictionaryFirst || !d.final) << "the dictionary's counter goes in place first";
                if (!(left == start) && !(left == done)) ++sawPartial;
            }
            ASSERT_TRUE(status == 0 || status == 7) << "k=" << k << ": the child ended with " << status;
            if (status == 7) {
                EXPECT_EQ(left, done);
                // Mode 1 leaves the journal of a completed one-segment change
                // for the next change to replace; the next opener keeps the
                // change and its last close removes the journal.
                EXPECT_EQ(d.valid && d.final, variant == 1) << "what a completed change leaves";
                IsFile *f = isOpen(files.name().c_str(), ISINOUT | ISMANULOCK);
                ASSERT_NE(f, nullptr);
                isClose(f);
                EXPECT_EQ(files.snap(), done);
                EXPECT_FALSE(fileExists(files.path(".wjn")));
                break;
            }
            // The next opener finds before or after, never between.
            const Snapshot was = left;
            IsFile *f = isOpen(files.name().c_str(), ISINOUT | ISMANULOCK);
            ASSERT_NE(f, nullptr) << "k=" << k;
            isClose(f);
            const Snapshot now = files.snap();
            if (now == done) {
                ++sawKept;
                EXPECT_EQ(was, done) << "k=" << k << ": only a completed change is kept";
            } else {
                EXPECT_EQ(now, start) << "k=" << k << ": the file is neither as before nor as after the change";
            }
            EXPECT_FALSE(fileExists(files.path(".wjn"))) << "the journal is gone with the last close";
            ASSERT_LT(k, 400);
        }
        EXPECT_GT(sawJournal, 2);
        EXPECT_GT(sawPartial, 0);
        // Where a journal is cleared at the end (mode 2, a change that
        // spilled), a death between the last in-place write and the clear
        // keeps the change.
        EXPECT_EQ(sawKept > 0, variant != 1) << "a death after the last in-place write keeps the change";
        EXPECT_EQ(segments > 1, variant == 3) << "only the change short of memory spills";
        EXPECT_EQ(files.check(after), "");
    }
    isFileCacheMaxMemUsage = memory;
}

// A journal whose bytes are damaged anywhere is never applied: the files
// are left as the dead writer left them, and the opener does not crash.
TEST(JournalDeath, DamagedJournalsAreNeverApplied) {
    JournalFiles files;
    for (int i = 0; i < 3; ++i) diskFiles[i] = files.path(i == 0 ? ".wox" : i == 1 ? ".wod" : ".wjn");
    const Model before = files.make(80);
    const Snapshot start = files.snap();
    // A writer dead after its third in-place write: a valid journal, files half-changed.
    ASSERT_NE(runInChild([&] {
                  FaultPlan dies;
                  dieAtWrite(dies, 4, false);
                  IsFile *f = isOpen(files.name().c_str(), ISINOUT | ISMANULOCK);
                  Model scratch = before;
                  bigChange(f, scratch);
                  return 7;
              }),
              7);
    const Snapshot half = files.snap();
    const std::vector<uint8_t> journal = readFile(files.path(".wjn"));
    ASSERT_TRUE(decodeJournal(journal).valid);
    ASSERT_FALSE(half == start);
    std::mt19937 dice(11);
    for (int round = 0; round < 300; ++round) {
        std::vector<uint8_t> bad = journal;
        switch (round % 4) {
        case 0:  // one byte anywhere
            bad[dice() % bad.size()] ^= static_cast<uint8_t>(1 + dice() % 255);
            break;
        case 1:  // cut short
            bad.resize(dice() % bad.size());
            break;
        case 2:  // a run of garbage
            for (size_t at = dice() % bad.size(), n = 1 + dice() % 64; n > 0 && at < bad.size(); --n, ++at) {
                bad[at] = static_cast<uint8_t>(dice());
            }
            break;
        default:  // garbage behind a valid header
            bad.resize(128 + dice() % 8192);
            for (size_t at = 128; at < bad.size(); ++at) bad[at] = static_cast<uint8_t>(dice());
            break;
        }
        if (bad.size() >= 128 && bad == std::vector<uint8_t>(journal.begin(), journal.begin() + long(bad.size())) &&
            bad.size() == journal.size()) {
            continue;  // the damage changed nothing
        }
        files.put(half);
        writeFile(files.path(".wjn"), bad);
        IsFile *f = isOpen(files.name().c_str(), ISINOUT | ISMANULOCK);
        if (f != nullptr) isClose(f);
        EXPECT_EQ(files.snap(), half) << "round " << round << ": a damaged journal was applied";
    }
    // The undamaged journal puts the files back.
    files.put(half);
    writeFile(files.path(".wjn"), journal);
    IsFile *f = isOpen(files.name().c_str(), ISINOUT | ISMANULOCK);
    ASSERT_NE(f, nullptr);
    isClose(f);
    EXPECT_EQ(files.snap(), start);
}

// A handle opened without locking cannot put a dead writer's change back:
// while the journal holds one, such an open is refused with 113 (the files
// are half changed), and once a locking open has applied it (or when the
// journal holds a completed change) it succeeds and reads the file whole.
TEST(JournalDeath, AnOpenWithoutLockingRefusesAnUnfinishedChange) {
    JournalFiles files;
    for (int i = 0; i < 3; ++i) diskFiles[i] = files.path(i == 0 ? ".wox" : i == 1 ? ".wod" : ".wjn");
    const Model before = files.make(80);
    const Snapshot start = files.snap();
    for (const int dieAt : {4, 0}) {  // half-way, and not at all (a completed change)
        SCOPED_TRACE("the writer dies at write " + std::to_string(dieAt));
        files.put(start);
        ::unlink(files.path(".wjn").c_str());
        Model after = before;
        ASSERT_EQ(runInChild([&] {
                      FaultPlan dies;
                      dieAtWrite(dies, dieAt, false);
                      IsFile *f = isOpen(files.name().c_str(), ISINOUT | ISMANULOCK);
                      bigChange(f, after);
                      return 7;  // ends without a close: the journal stays
                  }) == 7,
                  dieAt == 0);
        if (dieAt == 0) bigChange(nullptr, after);
        const Snapshot left = files.snap();
        IsFile *unlocked = isOpen(files.name().c_str(), ISINPUT | ISNOLOCK);
        if (dieAt != 0) {
            EXPECT_EQ(unlocked, nullptr) << "read a change half made";
            EXPECT_EQ(isErrno(nullptr), EFLOCKED);
            EXPECT_EQ(files.snap(), left) << "the refused open wrote nothing";
            EXPECT_EQ(files.check(before), "") << "a locking open puts the change back";
            unlocked = isOpen(files.name().c_str(), ISINPUT | ISNOLOCK);
        }
        ASSERT_NE(unlocked, nullptr) << isErrno(nullptr);
        EXPECT_EQ(compareWithModel(unlocked, dieAt != 0 ? before : after, false), "");
        EXPECT_EQ(isClose(unlocked), 1);
    }
}

// A kept batch too large to hold spills on the way; when the disk is full at
// its first spill, the call that made it spill fails with ENOSPC and takes
// back only its own change: the batch's earlier calls stay held, and the
// end of the batch, once there is room, writes all of them.
TEST(JournalFaults, ABatchThatSpillsOnAFullDiskKeepsWhatItsCallsAcknowledged) {
    const int32_t memory = isFileCacheMaxMemUsage;
    JournalFiles files;
    Model model = files.make(60);
    isFileCacheMaxMemUsage = 0;  // the least the journal holds before it spills: 64 KiB
    IsFile *f = isOpen(files.name().c_str(), ISINOUT | ISMANULOCK);
    ASSERT_NE(f, nullptr);
    const Snapshot before = files.snap();
    ASSERT_EQ(isSetCustomLock(f, 2), 1);
    int failed = 0, acknowledged = 0;
    {
        FaultPlan faults;
        faults.fillDisk(1, DiskFull::everyWrite);
        for (int32_t id = 5000; id < 5400 && failed == 0; ++id) {
            if (isWrite(f, modelRecord(id, id % kModelGroups, 2).data()) == 1) {
                model.wrote(id, id % kModelGroups, 2, isRecnum(f));
                ++acknowledged;
            } else {
                EXPECT_EQ(isErrno(f), ENOSPC);
                EXPECT_NE(isErrio(f), 0);
                ++failed;
            }
        }
        faults.freeSpace();
    }
    ASSERT_EQ(failed, 1) << "the batch never spilled";
    EXPECT_GT(acknowledged, 10);
    EXPECT_EQ(files.snap(), before) << "nothing reached the files while the disk was full";
    EXPECT_EQ(compareWithModel(f, model, false, true), "") << "the handle still holds the batch";
    for (int32_t id = 6000; id < 6010; ++id) {  // the batch goes on once there is room
        ASSERT_EQ(isWrite(f, modelRecord(id, id % kModelGroups, 3).data()), 1) << isErrno(f);
        model.wrote(id, id % kModelGroups, 3, isRecnum(f));
    }
    EXPECT_EQ(isSetCustomLock(f, 0), 1) << isErrno(f);
    EXPECT_EQ(isClose(f), 1);
    isFileCacheMaxMemUsage = memory;
    EXPECT_EQ(files.check(model), "");
}

// Every changing call with its Nth system call failing: a failed single
// call leaves the files byte-identical; a failed end of a kept lock keeps
// its batch for the next try; the model holds what was acknowledged.
TEST(JournalFaults, AFailedCallLeavesTheFilesAsTheyWere) {
    struct Loop {
        FaultKind kind;
        int error;
    };
    const Loop loops[] = {{FaultKind::writeError, EIO}, {FaultKind::readError, EIO}, {FaultKind::syncError, EIO},
                          {FaultKind::truncateError, ENOSPC}, {FaultKind::shortWrite, 0}};
    JournalFiles files;
    isJournalMode = 2;  // syncs too, so that their failures are met
    Model model = files.make(90);
    int failed = 0, identical = 0, runs = 0;
    for (int op = 0; op < 5; ++op) {
        for (const Loop &loop : loops) {
            for (int n = 1;; ++n) {
                ASSERT_LT(n, 2000);
                const Snapshot before = files.snap();
                IsFile *f = isOpen(files.name().c_str(), ISINOUT | ISMANULOCK);
                ASSERT_NE(f, nullptr);
                Model next = model;
                const int32_t id = 2000 + runs;
                FaultInjector injector;
                injector.arm(loop.kind, n, loop.error);
                int ok = 0;
                KeyDesc payload = modelPayloadKey();
                switch (op) {
                case 0:
                    ok = isWrite(f, modelRecord(id, id % kModelGroups, 0).data());
                    if (ok) next.wrote(id, id % kModelGroups, 0, isRecnum(f));
                    break;
                case 1: {
                    const int32_t target = next.rows.begin()->first;
                    ok = isRewrite(f, modelRecord(target, 2, runs).data());
                    if (ok) next.rows[target] = ModelRow{2, runs, next.rows[target].recnum};
                    break;
                }
                case 2: {
                    const int32_t target = next.rows.rbegin()->first;
                    ok = isDelete(f, modelRecord(target, 0, 0).data());
                    if (ok) next.rows.erase(target);
                    break;
                }
                case 3: {  // a kept lock's batch, ended under the fault
                    injector.disarm();
                    isSetCustomLock(f, 2);
                    for (int32_t i = 0; i < 12; ++i) {
                        ASSERT_EQ(isWrite(f, modelRecord(id * 100 + i, 1, 0).data()), 1);
                        next.wrote(id * 100 + i, 1, 0, isRecnum(f));
                    }
                    injector.arm(loop.kind, n, loop.error);
                    ok = isSetCustomLock(f, 0);
                    if (!ok) {  // the batch is kept: the next end commits it
                        injector.disarm();
                        EXPECT_EQ(files.snap(), before) << "a failed end left the batch half in place";
                        EXPECT_EQ(isSetCustomLock(f, 0), 1) << isErrno(f);
                        ok = 2;
                    }
                    break;
                }
                default: {
                    ok = isAddIndex(f, &payload);
                    break;
                }
                }
                const bool met = injector.hit();
                injector.disarm();
                if (op == 4 && ok == 1) {  // dropped again, for the next run
                    EXPECT_EQ(isDelIndex(f, &payload), 1) << isErrno(f);
                }
                ++runs;
                if (ok == 1 || ok == 2) {
                    model = next;
                } else {
                    ++failed;
                    ASSERT_TRUE(met) << "op " << op << " failed without a fault: " << isErrno(f);
                    if (files.snap() == before) ++identical;
                    EXPECT_EQ(files.snap(), before) << "op " << op << " " << faultName(loop.kind) << " n=" << n;
                }
                EXPECT_EQ(isClose(f), 1);
                ASSERT_EQ(files.check(model), "") << "op " << op << " " << faultName(loop.kind) << " n=" << n;
                if (!met) break;
            }
        }
    }
    EXPECT_GT(failed, 50);
    EXPECT_EQ(identical, failed);
}

// ---- several processes, killed, or losing power -------------------------

// What a child tells the parent, one fixed-size message each.
struct Report {
    int32_t kind;  // 1 begins, 2 acknowledged
    int32_t op;    // 0 write, 1 rewrite, 2 delete
    int32_t id, group, version;
};

// The writes of the child as a power loss sees them: every pwrite, ftruncate
// and fdatasync on the three files, logged after it was made.
struct DiskOp {
    int32_t type;  // 0 write, 1 truncate, 2 sync
    int32_t file;  // 0 .wox, 1 .wod, 2 .wjn
    int64_t offset;
    int32_t length;
};
void logDisk(DiskOp op, const void *bytes) {
    if (op.file < 0) return;
    (void)!::write(diskLog, &op, sizeof op);
    if (op.type == 0) (void)!::write(diskLog, bytes, size_t(op.length));
}
void logDiskCall(const SysCall &call, long result) {
    if (call.entry == Sys::pwrite && result > 0) {
        logDisk({0, fileOf(call.fd), call.offset, int32_t(result)}, call.bytes);
    } else if (call.entry == Sys::truncate && result == 0) {
        logDisk({1, fileOf(call.fd), int64_t(call.length), 0}, nullptr);
    } else if (call.entry == Sys::datasync && result == 0) {
        logDisk({2, fileOf(call.fd), 0, 0}, nullptr);
    }
}

// The files as the disk holds them after a power loss: what was synced
// stays; each later write is kept, dropped or torn (whole 512-byte sectors
// of it), each later truncation kept or dropped.
std::vector<uint8_t> afterPowerLoss(std::vector<uint8_t> file, const std::vector<uint8_t> &log, int which,
                                    std::mt19937 &dice) {
    std::vector<size_t> ops;
    size_t lastSync = 0;
    for (size_t at = 0; at + sizeof(DiskOp) <= log.size();) {
        DiskOp op;
        std::memcpy(&op, &log[at], sizeof op);
        const size_t next = at + sizeof op + (op.type == 0 ? size_t(op.length) : 0);
        if (next > log.size()) break;
        if (op.file == which) {
            ops.push_back(at);
            if (op.type == 2) lastSync = ops.size();
        }
        at = next;
    }
    for (size_t i = 0; i < ops.size(); ++i) {
        DiskOp op;
        std::memcpy(&op, &log[ops[i]], sizeof op);
        const uint8_t *bytes = &log[ops[i] + sizeof op];
        int32_t keep = op.length;
        if (i >= lastSync) {
            const int fate = int(dice() % 3);
            if (fate == 0) continue;  // dropped
            if (fate == 2 && op.type == 0) keep = int32_t(512 * (dice() % (size_t(op.length) / 512 + 1)));
            if (keep > op.length) keep = op.length;
        }
        if (op.type == 1) file.resize(size_t(op.offset));
        if (op.type != 0 || keep == 0) continue;
        if (file.size() < size_t(op.offset) + size_t(keep)) file.resize(size_t(op.offset) + size_t(keep));
        std::memcpy(file.data() + op.offset, bytes, size_t(keep));
    }
    return file;
}

// One child: random writes, rewrites and deletes on its own ids, each
// reported before it starts and when it is acknowledged.
int writerChild(const std::u16string &name, Model model, int child, int out, uint32_t seed, bool power) {
    std::unique_ptr<FaultPlan> disk;
    if (power) {
        disk = std::make_unique<FaultPlan>();
        disk->watch({Sys::pwrite, Sys::truncate, Sys::datasync}, logDiskCall);
    }
    IsFile *f = isOpen(name.c_str(), ISINOUT | ISMANULOCK);
    if (f == nullptr) return 3;
    std::mt19937 dice(seed);
    for (int32_t n = 0;; ++n) {
        const int32_t id = child * 1000 + int32_t(dice() % 120);
        const bool present = model.has(id);
        Report r{1, present ? int32_t(1 + dice() % 2) : 0, id, int32_t(dice() % kModelGroups), n};
        if (::write(out, &r, sizeof r) != sizeof r) return 4;
        const std::vector<uint8_t> record = modelRecord(id, r.group, r.version);
        const int ok = r.op == 0 ? isWrite(f, record.data()) : r.op == 1 ? isRewrite(f, record.data()) : isDelete(f, record.data());
        if (ok != 1) return 5;
        if (r.op == 2) {
            model.rows.erase(id);
        } else {
            model.rows[id] = ModelRow{r.group, r.version, 0};
        }
        r.kind = 2;
        if (::write(out, &r, sizeof r) != sizeof r) return 4;
    }
}

void applyReport(Model &model, const Report &r) {
    if (r.op == 2) {
        model.rows.erase(r.id);
    } else {
        model.rows[r.id] = ModelRow{r.group, r.version, 0};
    }
}

// Rounds of children killed at random moments; `power` makes it a power
// loss in mode 2 instead of a process death in mode 1.  WISAM_KILL_ROUNDS
// and WISAM_KILL_SEED (scripts/crash-journal.sh) run more of them.
void killRounds(bool power) {
    const char *env = std::getenv("WISAM_KILL_ROUNDS");
    const int rounds = env != nullptr ? std::atoi(env) : 12;
    constexpr int kChildren = 2;
    JournalFiles files;
    isJournalMode = power ? 2 : 1;
    Model model = files.make(0);
    for (int i = 0; i < 3; ++i) diskFiles[i] = files.path(i == 0 ? ".wox" : i == 1 ? ".wod" : ".wjn");
    const char *seed = std::getenv("WISAM_KILL_SEED");
    std::mt19937 dice(seed != nullptr ? uint32_t(std::atoi(seed)) : power ? 77u : 55u);
    int inFlightApplied = 0, inFlightDropped = 0;
    for (int round = 0; round < rounds; ++round) {
        const Snapshot base = files.snap();
        const std::vector<uint8_t> baseJournal = readFile(files.path(".wjn"));
        const std::string logPath = files.dir.file("disk.log");
        diskLog = ::open(logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND, 0600);
        int pipes[kChildren][2];
        int pids[kChildren];
        for (int c = 0; c < kChildren; ++c) {
            ASSERT_EQ(::pipe(pipes[c]), 0);
            const uint32_t seed = dice();
            pids[c] = startChild([&, c, seed] {
                ::close(pipes[c][0]);
                return writerChild(files.name(), model, c + 1, pipes[c][1], seed, power);
            });
            ::close(pipes[c][1]);
        }
        ::usleep(useconds_t(1000 + dice() % 50000));
        for (int c = 0; c < kChildren; ++c) ::kill(pids[c], SIGKILL);
        for (int c = 0; c < kChildren; ++c) {
            const int status = waitChild(pids[c]);
            ASSERT_EQ(status, 128 + SIGKILL) << "child " << c << " ended on its own";
        }
        ::close(diskLog);
        if (power) {
            const std::vector<uint8_t> log = readFile(logPath);
            writeFile(files.path(".wox"), afterPowerLoss(base.wox, log, 0, dice));
            writeFile(files.path(".wod"), afterPowerLoss(base.wod, log, 1, dice));
            writeFile(files.path(".wjn"), afterPowerLoss(baseJournal, log, 2, dice));
        }
        // Every acknowledged change is in the model; a change in flight may
        // or may not be in the file, but whole.
        std::vector<Report> inFlight;
        for (int c = 0; c < kChildren; ++c) {
            Report r;
            std::vector<Report> begun;
            while (::read(pipes[c][0], &r, sizeof r) == sizeof r) {
                if (r.kind == 1) begun.push_back(r);
                if (r.kind == 2) {
                    applyReport(model, r);
                    begun.clear();
                }
            }
            ::close(pipes[c][0]);
            inFlight.insert(inFlight.end(), begun.begin(), begun.end());
        }
        IsFile *f = isOpen(files.name().c_str(), ISINOUT | ISMANULOCK);
        ASSERT_NE(f, nullptr) << "round " << round << ": open failed with " << isErrno(nullptr);
        for (const Report &r : inFlight) {
            std::vector<uint8_t> record = modelRecord(r.id, 0, 0);
            const bool there = isRead(f, record.data(), modeEqual) == 1;
            const bool wasThere = model.has(r.id);
            Model applied = model;
            applyReport(applied, r);
            if (there != wasThere || (there && record != modelRecord(r.id, model.rows[r.id].group, model.rows[r.id].version))) {
                model = applied;
                ++inFlightApplied;
            } else {
                ++inFlightDropped;
            }
        }
        const std::string diff = compareWithModel(f, model, false);
        ASSERT_EQ(diff, "") << "round " << round;
        const FileCheck check = checkIndexFile(f, files.path(".wox"));
        ASSERT_TRUE(check.ok()) << "round " << round << ":\n" << check.report();
        isClose(f);
    }
    std::cout << "[   runs   ] " << rounds << " rounds, changes in flight: " << inFlightApplied << " applied, "
              << inFlightDropped << " dropped\n";
}

TEST(JournalKill, KilledWritersLeaveEveryChangeWholeOrAbsent) { killRounds(false); }

TEST(JournalKill, PowerLossKeepsEverySyncedChangeAndNoHalfChange) { killRounds(true); }

}  // namespace
}  // namespace wisam

namespace wisam {
namespace {

using namespace testing;

// N.wjn lives only while the file is open somewhere: the last close of any
// process removes it when nothing is left to apply, so that a directory of
// closed files holds just N.wox, N.wod and N.lck.  Each row is a sequence of
// steps by this process (handles a, b) and by a child that holds the file
// open between its own steps; after each step the journal's presence is
// what the row says.
TEST(JournalLifetime, TheJournalIsGoneAfterTheLastCloseOfAnyProcess) {
    enum Step { openA, openB, openAExclusive, writeA, writeB, closeA, closeB, childOpens, childWrites, childCloses,
                plantCleared };
    struct Row {
        const char *what;
        int32_t mode;
        std::vector<std::pair<Step, bool>> steps;  // the step, then whether N.wjn exists
    };
    const std::vector<Row> rows = {
        {"one handle", 1, {{openA, false}, {writeA, true}, {writeA, true}, {closeA, false}}},
        {"mode 2", 2, {{openA, false}, {writeA, true}, {closeA, false}}},
        {"mode 0 writes none", 0, {{openA, false}, {writeA, false}, {closeA, false}}},
        {"two handles of this process", 1,
         {{openA, false}, {openB, false}, {writeA, true}, {closeA, true}, {writeB, true}, {closeB, false}}},
        {"another process keeps it open", 1,
         {{childOpens, false}, {openA, false}, {writeA, true}, {closeA, true}, {childWrites, true},
          {childCloses, false}}},
        {"this process closes last", 1,
         {{openA, false}, {childOpens, false}, {childWrites, true}, {childCloses, true}, {closeA, false}}},
        {"exclusive handle", 1, {{openAExclusive, false}, {writeA, true}, {closeA, false}}},
        {"a cleared journal left behind", 0, {{plantCleared, true}, {openA, true}, {closeA, false}}},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        TempDir dir;
        const std::u16string name = dir.name("t");
        const std::string journal = dir.file("t.wjn");
        {
            KeyDesc id = modelIdKey();
            IsFile *built = isBuild(name.c_str(), kModelLength, 0, &id, ISINOUT | ISMANULOCK);
            ASSERT_NE(built, nullptr);
            ASSERT_EQ(isClose(built), 1);
        }
        isJournalMode = row.mode;
        IsFile *a = nullptr, *b = nullptr;
        Signal toChild, fromChild;
        int child = -1, next = 0;
        auto tell = [&] {
            toChild.post();
            ASSERT_TRUE(fromChild.wait(5000)) << "the child did not answer";
        };
        for (const auto &[step, exists] : row.steps) {
            switch (step) {
            case openA: a = isOpen(name.c_str(), ISINOUT | ISMANULOCK); ASSERT_NE(a, nullptr); break;
            case openAExclusive: a = isOpen(name.c_str(), ISINOUT | ISEXCLLOCK); ASSERT_NE(a, nullptr); break;
            case openB: b = isOpen(name.c_str(), ISINOUT | ISMANULOCK); ASSERT_NE(b, nullptr); break;
            case writeA: ASSERT_EQ(isWrite(a, modelRecord(next++, 0, 0).data()), 1) << isErrno(a); break;
            case writeB: ASSERT_EQ(isWrite(b, modelRecord(next++, 0, 0).data()), 1) << isErrno(b); break;
            case closeA: ASSERT_EQ(isClose(a), 1); break;
            case closeB: ASSERT_EQ(isClose(b), 1); break;
            case childOpens:
                child = startChild([&] {
                    IsFile *c = isOpen(name.c_str(), ISINOUT | ISMANULOCK);
                    fromChild.post();
                    if (c == nullptr || !toChild.wait(5000)) return 2;
                    if (isWrite(c, modelRecord(5000, 0, 0).data()) != 1) return 3;
                    fromChild.post();
                    if (!toChild.wait(5000)) return 4;
                    const int closed = isClose(c);
                    fromChild.post();
                    return closed == 1 ? 0 : 5;
                });
                ASSERT_TRUE(fromChild.wait(5000));
                break;
            case childWrites: tell(); break;
            case childCloses:
                if (row.steps.end() == std::find_if(row.steps.begin(), row.steps.end(),
                                                    [](const auto &s) { return s.first == childWrites; })) {
                    tell();  // the child writes before it closes in any case
                }
                tell();
                ASSERT_EQ(waitChild(child), 0);
                break;
            case plantCleared: writeFile(journal, std::vector<uint8_t>(128, 0)); break;
            }
            EXPECT_EQ(fileExists(journal), exists) << "after step " << int(step);
        }
        isJournalMode = 1;
    }
}

}  // namespace
}  // namespace wisam
