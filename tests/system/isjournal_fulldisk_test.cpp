// A persistently full disk, with the rollback journal in its default mode
// (isJournalMode 1), never damages a file.
//
// The disk fills up at the Nth pwrite of a changing call and stays full:
//   - growth: from that pwrite on, every write that would make a file
//     longer (a pwrite past its end, an ftruncate to a larger size) fails
//     with ENOSPC, while overwrites of bytes a file already has go through,
//     which is how a real full disk behaves;
//   - everyWrite: that pwrite and every one after it, on any file, fail
//     with ENOSPC.
// Every pwrite of the process counts (the journal's too).  For every N from
// 1 to the number of pwrites the change makes when nothing fails (counted
// first), and for each change of the table (isWrite, isRewrite of a
// secondary key, isDelete, isAddIndex, and the end of a batch of writes,
// rewrites and deletes under a kept exclusive lock), on a file with a
// unique and a duplicates index deep enough to have split nodes:
//   - a change that still succeeds (the disk refused only what came after
//     it was whole in the files) is in the files;
//   - a failed call returns 0 with isErrno ENOSPC and a non-zero isErrio:
//     88 (write, kind 8: the journal N.wjn, a kind wisam.h does not list)
//     when the journal's first write is refused, 81 or 82 when a write in
//     place of the .wox or .wod is;
//   - growth: the .wox and .wod are byte-identical on disk to what they
//     were before the call, and the handle reads, with the disk still full,
//     every record of the model by primary key and in group-key order (a
//     batch: the model with the batch, which the handle still holds);
//   - everyWrite: pages that reached the files before the disk filled
//     cannot be put back while no write goes through, so the files may
//     differ from what they were, but then the handle refuses every call
//     with ENOSPC (it holds a journal to apply first) and never reads
//     anything but the model as it was; the first call once there is room
//     puts the files back byte for byte.  (When the write refused is the
//     first in place, the files are identical and the handle still refuses
//     until there is room: the rollback rewrites pages nothing touched.)
// Then space is freed, the same change made again succeeds, and the files
// agree with the model through every index, both ways and in record-number
// order, and in their tree structure (reopenAndCompare).
//
// The batch whose end fails on a full disk:
//   - the end returns 0 with ENOSPC, the kept lock stays kept, and the
//     handle still holds the batch;
//   - growth, and everyWrite with the journal's first write refused: the
//     files are as before the batch and reads show the batch;
//   - everyWrite, a write in place refused: the files cannot be put back
//     while no write goes through, so the handle refuses every call while
//     full; the next call once there is room puts them back;
//   - either way, once space is freed the next isSetCustomLock(f, 0)
//     returns 1 and writes the whole batch: a failed end never drops what
//     the batch's calls acknowledged.  Asserted.
//
// Only the .wox and .wod bytes, return codes, errno / isErrno / isErrio and
// the model are looked at: nothing here depends on how the journal file is
// laid out (the order of the pwrites is printed, not checked).  The fault
// loops follow JournalFaults in isjournal_test.cpp, which fails one system
// call at a time; here the failure persists until space is freed.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "support/faults.h"
#include "support/model.h"
#include "support/testing.h"
#include "support/treecheck.h"
#include "system/issystem.h"
#include "wisam.h"

namespace wisam {
namespace {

using namespace testing;
using Bytes = std::vector<uint8_t>;

// ---- the disk -------------------------------------------------------------

const char *fullName(DiskFull full) {
    switch (full) {
    case DiskFull::everyWrite: return "every write";
    case DiskFull::growth: return "growth";
    }
    return "?";
}

// The files a pwrite went to, for the count of an unfailing run.
enum FileSlot { slotWox, slotWod, slotWjn, slotLck, slotOther, slotCount };
const char *const kSlotNames[slotCount] = {"wox", "wod", "wjn", "lck", "other"};

FileSlot slotOfDescriptor(int fd) {
    char link[64], target[4096];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    const ssize_t n = ::readlink(link, target, sizeof target - 1);
    if (n < 4) return slotOther;
    const std::string path(target, static_cast<size_t>(n));
    if (path.ends_with(".wox")) return slotWox;
    if (path.ends_with(".wod")) return slotWod;
    if (path.ends_with(".wjn")) return slotWjn;
    if (path.ends_with(".lck")) return slotLck;
    return slotOther;
}

// ---- the file and the model -----------------------------------------------

struct Snapshot {
    Bytes wox, wod;
    bool operator==(const Snapshot &) const = default;
};

constexpr int kRows = 100;

class FullDiskFiles {
public:
    FullDiskFiles() : savedMode_(isJournalMode) { isJournalMode = 1; }  // the default, as the library loads
    ~FullDiskFiles() {
        isCleanUp();
        isJournalMode = savedMode_;
    }
    FullDiskFiles(const FullDiskFiles &) = delete;
    FullDiskFiles &operator=(const FullDiskFiles &) = delete;

    std::u16string name() const { return dir.name("full"); }
    std::string path(const char *ext) const { return dir.file(std::string("full") + ext); }
    Snapshot snap() const { return {readFile(path(".wox")), readFile(path(".wod"))}; }

    // The starting file: the id index (unique) and the group index
    // (duplicates), `rows` records with ids 0, 3, 6 ...; its bytes are kept
    // for restore().
    void make(int rows) {
        KeyDesc id = modelIdKey(), group = modelGroupKey();
        IsFile *f = isBuild(name().c_str(), kModelLength, 0, &id, ISINOUT | ISMANULOCK);
        ASSERT_NE(f, nullptr) << isErrno(nullptr);
        ASSERT_EQ(isAddIndex(f, &group), 1) << isErrno(f);
        for (int32_t i = 0; i < rows; ++i) {
            ASSERT_EQ(isWrite(f, modelRecord(3 * i, i % kModelGroups, 0).data()), 1) << isErrno(f);
            start.wrote(3 * i, i % kModelGroups, 0, isRecnum(f));
        }
        const FileCheck check = checkIndexFile(f, path(".wox"));
        ASSERT_TRUE(check.ok()) << check.report();
        ASSERT_EQ(check.indexes.size(), 2u);
        // Nodes split: both trees have more than one level.
        EXPECT_GE(check.indexes[0].height, 2);
        EXPECT_GE(check.indexes[1].height, 2);
        ASSERT_EQ(isClose(f), 1);
        startBytes = snap();
    }
    // The files as make() left them, with no journal beside them.
    void restore() const {
        ::unlink(path(".wjn").c_str());
        writeFile(path(".wox"), startBytes.wox);
        writeFile(path(".wod"), startBytes.wod);
    }

    TempDir dir;
    Model start;
    Snapshot startBytes;

private:
    int32_t savedMode_;
};

// Every record of `model` read by its primary key, then the secondary
// (group) index walked in order: "" when the handle reads the model, else
// the first difference.
std::string readsLike(IsFile *f, const Model &model) {
    Bytes record(kModelLength);
    if (isIndex(f, 1) != 1) return "isIndex(1) failed with " + std::to_string(isErrno(f));
    for (const auto &[id, row] : model.rows) {
        record = modelRecord(id, 0, 0);  // the key is the id
        if (isRead(f, record.data(), modeEqual) != 1) {
            return "the read of id " + std::to_string(id) + " by primary key failed with " + std::to_string(isErrno(f)) +
                   " (io " + std::to_string(isErrio(f)) + ")";
        }
        if (record != modelRecord(id, row.group, row.version)) return "id " + std::to_string(id) + " reads other bytes";
    }
    if (isIndex(f, 2) != 1) return "isIndex(2) failed with " + std::to_string(isErrno(f));
    std::multiset<Bytes> want, seen;
    for (const auto &[id, row] : model.rows) want.insert(modelRecord(id, row.group, row.version));
    Bytes last;
    for (int mode = modeFirst; isRead(f, record.data(), mode) == 1; mode = modeNext) {
        const Bytes group(record.begin() + 100, record.begin() + 140);
        if (!last.empty() && group < last) {
            return "the group index goes back after " + std::to_string(seen.size()) + " records";
        }
        last = group;
        seen.insert(record);
        if (seen.size() > want.size() + 4) return "the group index walk does not end";
    }
    if (isErrno(f) != EENDFILE) {
        return "the group index walk ended with " + std::to_string(isErrno(f)) + " (io " + std::to_string(isErrio(f)) +
               ") after " + std::to_string(seen.size()) + " records";
    }
    if (seen != want) {
        return "the group index leads to " + std::to_string(seen.size()) + " records, not the model's " +
               std::to_string(want.size());
    }
    isIndex(f, 0);
    return "";
}

// ---- the changes ----------------------------------------------------------

// A change of the table.  prepare() runs with room on the disk (a batch's
// calls under its kept lock); change() is the call the full disk meets;
// both note in `after` what they mean to do, with record numbers as the
// file gives them.
struct Change {
    const char *name;
    std::function<void(IsFile *, Model &)> prepare;
    std::function<int(IsFile *, Model &)> change;
    bool batch = false;
};

constexpr int32_t kNewId = 10000;  // ids of new records: none of make()'s

int writeOne(IsFile *f, Model &after, int32_t id, int32_t group, int32_t version) {
    const int ok = isWrite(f, modelRecord(id, group, version).data());
    if (ok == 1) after.wrote(id, group, version, isRecnum(f));
    return ok;
}

int rewriteOne(IsFile *f, Model &after, int32_t id) {
    ModelRow row = after.rows.at(id);
    row.group = (row.group + 3) % kModelGroups;  // the secondary key changes
    row.version += 7;
    const int ok = isRewrite(f, modelRecord(id, row.group, row.version).data());
    if (ok == 1) after.rows[id] = row;
    return ok;
}

int deleteOne(IsFile *f, Model &after, int32_t id) {
    const int ok = isDelete(f, modelRecord(id, 0, 0).data());
    if (ok == 1) after.rows.erase(id);
    return ok;
}

std::vector<Change> changeTable() {
    const auto none = [](IsFile *, Model &) {};
    return {
        {"isWrite", none, [](IsFile *f, Model &after) { return writeOne(f, after, kNewId + 1, 4, 1); }},
        {"isRewrite", none, [](IsFile *f, Model &after) { return rewriteOne(f, after, 3 * 40); }},
        {"isDelete", none, [](IsFile *f, Model &after) { return deleteOne(f, after, 3 * 77); }},
        {"isAddIndex", none,
         [](IsFile *f, Model &after) {
             KeyDesc payload = modelPayloadKey();
             const int ok = isAddIndex(f, &payload);
             if (ok == 1) after.indexes.push_back(payload);
             return ok;
         }},
        {"kept-lock batch end",
         [](IsFile *f, Model &after) {
             ASSERT_EQ(isSetCustomLock(f, 2), 1) << isErrno(f);
             for (int32_t i = 0; i < 8; ++i) {
                 ASSERT_EQ(writeOne(f, after, kNewId + 100 + i, i % kModelGroups, 2), 1) << isErrno(f);
             }
             for (int32_t id : {3 * 5, 3 * 50, 3 * (kRows - 5)}) ASSERT_EQ(rewriteOne(f, after, id), 1) << isErrno(f);
             for (int32_t id : {3 * 10, 3 * 70, 3 * (kRows - 2)}) ASSERT_EQ(deleteOne(f, after, id), 1) << isErrno(f);
         },
         [](IsFile *f, Model &) { return isSetCustomLock(f, 0); }, true},
    };
}

// What the runs saw, for the report at the end of each test.
struct Tally {
    int runs = 0, failed = 0, succeeded = 0;
    int changedWhileFull = 0;  // failed calls after which the files differed while the disk was full
    int refusedWhileFull = 0;  // failed calls after which the handle refused to read while full
    std::set<int> errios;      // isErrio values of the failed calls
    std::map<std::string, int> batches;  // what became of a batch whose end failed -> runs
    std::string report() const {
        std::string out = std::to_string(runs) + " runs, " + std::to_string(failed) + " failed (isErrio";
        for (int io : errios) out += " " + std::to_string(io);
        out += "), " + std::to_string(succeeded) + " succeeded; " + std::to_string(changedWhileFull) +
               " left the files changed while full, " + std::to_string(refusedWhileFull) +
               " left a handle that refused to read while full\n";
        for (const auto &[what, n] : batches) out += "    batch " + what + ": " + std::to_string(n) + " runs\n";
        return out;
    }
};

// Whether the handle refuses to read, with ENOSPC: it holds a change it
// could not take back yet.
bool refusesWithNoSpace(IsFile *f) {
    Bytes record(kModelLength);
    isIndex(f, 0);
    return isRead(f, record.data(), modeFirst) == 0 && isErrno(f) == ENOSPC;
}

// ---- the loop -------------------------------------------------------------

void runTable(DiskFull full, int mode, Tally &tally) {
    FullDiskFiles files;
    ASSERT_NO_FATAL_FAILURE(files.make(kRows));
    // The disk has room until fillDisk; every pwrite of the process counts.
    FaultPlan disk;
    std::string written;  // the files of the first 64 pwrites counted, in turn
    disk.watch(Sys::pwrite, [&](const SysCall &call, long) {
        if (disk.calls(Sys::pwrite) > 64) return;
        written += std::string(written.empty() ? "" : " ") + kSlotNames[slotOfDescriptor(call.fd)];
    });
    for (const Change &change : changeTable()) {
        // The unfailing run: how many pwrites the change makes.
        files.restore();
        long total = 0;
        {
            IsFile *f = isOpen(files.name().c_str(), mode);
            ASSERT_NE(f, nullptr) << isErrno(nullptr);
            Model after = files.start;
            ASSERT_NO_FATAL_FAILURE(change.prepare(f, after));
            disk.resetCounts();
            written.clear();
            ASSERT_EQ(change.change(f, after), 1) << change.name << ": " << isErrno(f);
            total = disk.calls(Sys::pwrite);
            const std::string order = written;
            ASSERT_EQ(compareWithModel(f, after, true, true), "") << change.name;
            ASSERT_EQ(isClose(f), 1);
            ASSERT_EQ(reopenAndCompare(files.name(), mode, after, files.path(".wox")), "") << change.name;
            ASSERT_GT(total, 0) << change.name << " wrote nothing";
            std::printf("[ fulldisk ] %s: %ld pwrites: %s\n", change.name, total, order.c_str());
        }
        for (long n = 1; n <= total; ++n) {
            SCOPED_TRACE(std::string(change.name) + ", " + fullName(full) + " from pwrite " + std::to_string(n) +
                         " of " + std::to_string(total));
            files.restore();
            IsFile *f = isOpen(files.name().c_str(), mode);
            ASSERT_NE(f, nullptr) << isErrno(nullptr);
            const Model before = files.start;
            Model after = files.start;
            ASSERT_NO_FATAL_FAILURE(change.prepare(f, after));
            const Snapshot bytesBefore = files.snap();
            ++tally.runs;

            disk.fillDisk(static_cast<int>(n), full);
            const int ok = change.change(f, after);
            if (ok == 1) {
                // The disk refused nothing, or only what came after the
                // change was whole in the files: it stands.
                ++tally.succeeded;
                disk.freeSpace();
                EXPECT_EQ(readsLike(f, after), "");
                EXPECT_EQ(isClose(f), 1) << isErrno(f);
                EXPECT_EQ(reopenAndCompare(files.name(), mode, after, files.path(".wox")), "");
                continue;
            }
            ++tally.failed;
            const int error = isErrno(f), io = isErrio(f);
            tally.errios.insert(io);
            EXPECT_TRUE(disk.diskFilled()) << "failed before the disk was full: " << error << " (io " << io << ")";
            EXPECT_EQ(error, ENOSPC) << "isErrio " << io;
            EXPECT_NE(io, 0) << "isErrno " << error;
            const Snapshot bytesFailed = files.snap();
            const bool identical = bytesFailed == bytesBefore;

            // What the handle reads with the disk still full: the files as
            // they were (a batch: the batch it still holds), or nothing at
            // all (ENOSPC) while it holds a change it could not take back
            // yet.  Never anything else.
            const std::string readsBefore = readsLike(f, before);
            const bool holdsBatch = change.batch && !readsBefore.empty() && readsLike(f, after).empty();
            const bool refused = !readsBefore.empty() && !holdsBatch && refusesWithNoSpace(f);
            EXPECT_TRUE(readsBefore.empty() || holdsBatch || refused) << "while the disk is full: " << readsBefore;
            EXPECT_TRUE(files.snap() == bytesFailed) << "reading on the full disk changed the files";
            tally.changedWhileFull += identical ? 0 : 1;
            tally.refusedWhileFull += refused ? 1 : 0;
            if (full == DiskFull::growth) {
                // Overwrites go through: whatever reached the files is put
                // back at once, and the handle reads on.
                EXPECT_TRUE(identical) << "the failed change left the .wox or .wod changed on disk";
                if (change.batch) {
                    EXPECT_TRUE(holdsBatch) << "the handle does not hold the batch while full: " << readsBefore;
                } else {
                    EXPECT_EQ(readsBefore, "") << "while the disk is full";
                }
            } else {
                // Every write refused: pages that reached the files before
                // the disk filled cannot be put back until it has room.  The
                // files may then differ, but only while the handle refuses
                // every call (it holds a journal to apply first).
                EXPECT_TRUE(identical || refused) << "the files changed on disk and the handle reads on";
            }

            // Space is freed.
            disk.freeSpace();
            if (!change.batch) {
                // The first call with room puts the files back as they were,
                // then the same change goes in.
                EXPECT_EQ(readsLike(f, before), "") << "once space is freed";
                EXPECT_TRUE(files.snap() == bytesBefore) << "the files are not as they were once space is freed";
                Model again = before;
                EXPECT_EQ(change.change(f, again), 1) << isErrno(f) << " (io " << isErrio(f) << ")";
                EXPECT_EQ(readsLike(f, again), "");
                EXPECT_EQ(isClose(f), 1) << isErrno(f);
                EXPECT_EQ(reopenAndCompare(files.name(), mode, again, files.path(".wox")), "");
                continue;
            }

            // The kept-lock batch: the lock is ended again.
            const int endAgain = isSetCustomLock(f, 0);
            const int endError = isErrno(f);
            const bool whole = endAgain == 1 && readsLike(f, after).empty() && files.snap() != bytesBefore;
            const bool none = !whole && files.snap() == bytesBefore && readsLike(f, before).empty();
            std::string outcome = "HALF-APPLIED";
            if (whole) {
                outcome = "kept, written whole by the second end";
            } else if (none) {
                outcome = endAgain == 1 ? "DROPPED, yet the second end returned 1"
                                        : "dropped, the second end failed with " + std::to_string(endError);
            }
            outcome += holdsBatch ? " (held while full)"
                       : refused  ? " (refused reads while full)"
                                  : " (read as before while full)";
            ++tally.batches[outcome];
            EXPECT_TRUE(whole || none) << "the batch is half in the files after the second end (" << endAgain << ", "
                                       << endError << ")";
            EXPECT_TRUE(whole) << "the batch's acknowledged calls were not written by the second end: " << endAgain
                               << ", " << endError;
            EXPECT_EQ(isClose(f), 1) << isErrno(f);
            if (whole) {
                EXPECT_EQ(reopenAndCompare(files.name(), mode, after, files.path(".wox")), "");
            } else {
                // Not in the files: made again from its start, it goes in whole.
                EXPECT_EQ(reopenAndCompare(files.name(), mode, before, files.path(".wox")), "");
                IsFile *g = isOpen(files.name().c_str(), mode);
                ASSERT_NE(g, nullptr) << isErrno(nullptr);
                Model again = before;
                ASSERT_NO_FATAL_FAILURE(change.prepare(g, again));
                EXPECT_EQ(change.change(g, again), 1) << isErrno(g);
                EXPECT_EQ(isClose(g), 1);
                EXPECT_EQ(reopenAndCompare(files.name(), mode, again, files.path(".wox")), "");
            }
        }
    }
}

void runAndReport(DiskFull full, int mode) {
    Tally tally;
    runTable(full, mode, tally);
    std::printf("[ fulldisk ] %s, %s handle: %s", fullName(full), (mode & ISEXCLLOCK) != 0 ? "exclusive" : "shared",
                tally.report().c_str());
    EXPECT_GT(tally.failed, 0);
}

TEST(JournalFullDisk, EveryWriteRefusedFromTheNthSharedHandle) { runAndReport(DiskFull::everyWrite, ISINOUT | ISMANULOCK); }

TEST(JournalFullDisk, GrowthRefusedFromTheNthSharedHandle) { runAndReport(DiskFull::growth, ISINOUT | ISMANULOCK); }

TEST(JournalFullDisk, EveryWriteRefusedFromTheNthExclusiveHandle) {
    runAndReport(DiskFull::everyWrite, ISINOUT | ISMANULOCK | ISEXCLLOCK);
}

TEST(JournalFullDisk, GrowthRefusedFromTheNthExclusiveHandle) {
    runAndReport(DiskFull::growth, ISINOUT | ISMANULOCK | ISEXCLLOCK);
}

}  // namespace
}  // namespace wisam
