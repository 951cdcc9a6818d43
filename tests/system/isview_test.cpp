// Views: reads of the index and data files served by read-only mappings.
//
//   - Shared and exclusive opens, with and without caches, kept locks or
//     not: once the views are made, random reads make no pread of either
//     file and agree with the model, also after a forked writer has
//     rewritten records in place, appended and deleted between rounds.
//     A mapping the system refuses leaves the reads on pread, and a
//     handle opened with ISNOLOCK maps nothing.  A slot the view holds is
//     read out of it and not filed in the data cache.
//   - A view never reaches past the end of its file.  Calls and kept
//     batches that grow the files fail at every pwrite, truncate and sync
//     in turn (journal off, mode 2), a sibling handle reading the same
//     file; writers are killed at every write of a journaled commit while
//     the parent holds views, and the next call rolls the files back.
//     After each, every view is within its file and every read agrees
//     with the model.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include "frame/isfile.h"
#include "support/faults.h"
#include "support/model.h"
#include "support/testing.h"
#include "system/issystem.h"
#include "wisam.h"

namespace wisam {
namespace {

using namespace testing;

// "" when each view of `f` lies within its file.
std::string viewsWithinFiles(const IsFile *f) {
    const int32_t fds[2] = {f->indexFd, f->dataFd};
    for (int k = 0; k < 2; ++k) {
        struct stat st {};
        if (fds[k] < 0 || ::fstat(fds[k], &st) != 0) continue;
        if (f->views[k].length > st.st_size) {
            return std::string(k == 0 ? "index" : "data") + " view of " + std::to_string(f->views[k].length) +
                   " bytes over a file of " + std::to_string(st.st_size);
        }
    }
    return "";
}

// A file of `rows` records, ids 0, 3, 6, ...
Model makeFile(const std::u16string &name, int rows) {
    Model model;
    KeyDesc id = modelIdKey(), group = modelGroupKey();
    IsFile *f = isBuild(name.c_str(), kModelLength, 0, &id, ISINOUT | ISMANULOCK);
    EXPECT_NE(f, nullptr);
    EXPECT_EQ(isAddIndex(f, &group), 1);
    EXPECT_EQ(isSetCustomLock(f, 2), 1);
    for (int32_t i = 0; i < rows; ++i) {
        EXPECT_EQ(isWrite(f, modelRecord(3 * i, i % kModelGroups, 0).data()), 1);
        model.wrote(3 * i, i % kModelGroups, 0, isRecnum(f));
    }
    EXPECT_EQ(isSetCustomLock(f, 0), 1);
    EXPECT_EQ(isClose(f), 1);
    return model;
}

// `count` reads by id at random, each compared with the model.
std::string randomReads(IsFile *f, const Model &model, Dice &dice, int count) {
    std::vector<int32_t> ids;
    for (const auto &[id, row] : model.rows) ids.push_back(id);
    if (isIndex(f, 1) != 1) return "isIndex failed with " + std::to_string(isErrno(f));
    for (int i = 0; i < count; ++i) {
        const int32_t id = ids[size_t(dice.below(int(ids.size())))];
        const ModelRow &row = model.rows.at(id);
        std::vector<uint8_t> got = modelRecord(id, 0, 0);
        if (isRead(f, reinterpret_cast<char *>(got.data()), modeEqual) != 1) {
            return "reading id " + std::to_string(id) + " failed with " + std::to_string(isErrno(f));
        }
        if (got != modelRecord(id, row.group, row.version)) return "id " + std::to_string(id) + " reads wrong bytes";
        if (std::string why = viewsWithinFiles(f); !why.empty()) return why;
    }
    return "";
}

// The changes a writer makes in round `round`, applied to `model` (and,
// with `f`, to the file): rewrites in place, appends that grow both files
// past the reader's views, deletes.
std::string writerRound(IsFile *f, Model &model, int round) {
    std::vector<int32_t> ids;
    for (const auto &[id, row] : model.rows) ids.push_back(id);
    for (size_t i = size_t(round) % 5; i < ids.size(); i += 5) {
        ModelRow &row = model.rows.at(ids[i]);
        row.group = (row.group + 1) % kModelGroups;
        row.version = 100 + round;
        if (f != nullptr && isRewrite(f, modelRecord(ids[i], row.group, row.version).data()) != 1) return "rewrite";
    }
    for (int32_t i = 0; i < 150; ++i) {
        const int32_t id = 100000 * (round + 1) + i;
        model.wrote(id, i % kModelGroups, round, 0);
        if (f != nullptr && isWrite(f, modelRecord(id, i % kModelGroups, round).data()) != 1) return "write";
    }
    for (size_t i = size_t(round) % 7; i < ids.size(); i += 17) {
        model.rows.erase(ids[i]);
        if (f != nullptr && isDelete(f, modelRecord(ids[i], 0, 0).data()) != 1) return "delete";
    }
    return "";
}

struct ViewConfig {
    const char *name;
    int mode;
    bool cache;
    bool kept;       // the reads run under kept shared locks
    bool refuseMap;  // the system refuses every mapping
};

TEST(Views, ReadsComeFromTheViewsAndAgreeWithTheModel) {
    const ViewConfig configs[] = {
        {"shared, no cache", ISINOUT | ISMANULOCK, false, false, false},
        {"shared, cache", ISINOUT | ISMANULOCK, true, false, false},
        {"shared, kept locks", ISINOUT | ISMANULOCK, true, true, false},
        {"exclusive open", ISINOUT | ISEXCLLOCK, false, false, false},
        {"exclusive open, kept lock", ISINOUT | ISEXCLLOCK, true, true, false},
        {"mappings refused", ISINOUT | ISMANULOCK, false, false, true},
        {"no locks", ISINPUT | ISNOLOCK, false, false, false},
    };
    const int32_t savedCache = isFileCacheActive;
    for (const ViewConfig &config : configs) {
        SCOPED_TRACE(config.name);
        FaultPlan calls;
        TempDir dir;
        const std::u16string name = dir.name("v");
        Model model = makeFile(name, 2500);
        isFileCacheActive = config.cache ? 1 : 0;
        if (config.refuseMap) calls.refuse(Sys::map);
        IsFile *f = isOpen(name.c_str(), config.mode);
        ASSERT_NE(f, nullptr);
        const FaultRule &preads = calls.count(Sys::pread).onDescriptors({f->indexFd, f->dataFd});
        Dice dice(7);
        const bool exclusive = (config.mode & ISEXCLLOCK) != 0;
        const bool noLocks = (config.mode & ISNOLOCK) != 0;
        for (int round = 0; round < (exclusive || noLocks ? 1 : 4); ++round) {
            SCOPED_TRACE("round " + std::to_string(round));
            if (config.kept) {
                ASSERT_EQ(isSetCustomLock(f, 1), 1);
            }
            ASSERT_EQ(randomReads(f, model, dice, 50), "");  // the views are made on the way
            if (config.kept) {  // a kept lock sizes the views when it is taken
                ASSERT_EQ(isSetCustomLock(f, 0), 1);
                ASSERT_EQ(isSetCustomLock(f, 1), 1);
            }
            const int preadsBefore = preads.seen();
            ASSERT_EQ(randomReads(f, model, dice, 1500), "");
            const int fileReads = preads.seen() - preadsBefore;
            if (config.refuseMap || noLocks) {
                EXPECT_GT(fileReads, 100) << "the files are read with pread";
                EXPECT_EQ(f->views[0].length + f->views[1].length, 0);
            } else {
                // A block or slot the writer added is read from the file
                // once: the read asks the view to grow at the next call.
                EXPECT_LE(fileReads, 2) << "reads the views hold went to the files";
                EXPECT_GT(f->views[1].length, 0);
            }
            if (config.kept) {
                ASSERT_EQ(isSetCustomLock(f, 0), 1);
            }
            ASSERT_EQ(compareWithModel(f, model, false), "");
            if (exclusive || noLocks) break;
            // Another process rewrites records in place (under the views),
            // appends past their ends and deletes.
            const std::u16string other = spelling(dir, "v", round + 1);
            const int status = runInChild([&] {
                IsFile *w = isOpen(other.c_str(), ISINOUT | ISMANULOCK);
                if (w == nullptr) return 2;
                Model scratch = model;
                if (!writerRound(w, scratch, round).empty()) return 3;
                return isClose(w) == 1 ? 0 : 4;
            });
            ASSERT_EQ(status, 0);
            ASSERT_EQ(writerRound(nullptr, model, round), "");
        }
        EXPECT_EQ(isClose(f), 1);
    }
    isFileCacheActive = savedCache;
}

int dataReads = 0, dataHits = 0;
void countData(int32_t isData, int32_t operation, int32_t, int32_t) {
    if (isData != 1) return;
    dataReads += operation == 0;
    dataHits += operation == 1;
}

// With a view, a slot the data cache does not hold is read out of the view
// and not filed: reading the same slots again finds none of them cached.
// Without one, the second reads are hits.  Both read the same bytes, and
// every read is reported.
TEST(Views, SlotsTheViewHoldsAreNotFiledInTheCache) {
    const int32_t savedCache = isFileCacheActive;
    const auto savedIo = ioCallback;
    for (const bool refuse : {false, true}) {
        SCOPED_TRACE(refuse ? "mappings refused" : "views");
        FaultPlan calls;
        if (refuse) calls.refuse(Sys::map);
        TempDir dir;
        const std::u16string name = dir.name("c");
        const Model model = makeFile(name, 1200);
        isFileCacheActive = 1;
        IsFile *f = isOpen(name.c_str(), ISINOUT | ISMANULOCK);
        ASSERT_NE(f, nullptr);
        Dice warm(3);
        ASSERT_EQ(randomReads(f, model, warm, 20), "");  // the views are made
        clearDatFileCache(f);
        ioCallback = countData;
        dataReads = dataHits = 0;
        for (int pass = 0; pass < 2; ++pass) {
            Dice same(9);  // the same 300 records both times
            ASSERT_EQ(randomReads(f, model, same, 300), "");
        }
        ioCallback = savedIo;
        EXPECT_EQ(dataReads, 600) << "every read of a slot is reported";
        if (refuse) {
            EXPECT_GE(dataHits, 300) << "the second pass is served by the cache";
        } else {
            EXPECT_EQ(dataHits, 0) << "slots read out of the view are not filed";
        }
        EXPECT_EQ(isClose(f), 1);
    }
    isFileCacheActive = savedCache;
    ioCallback = savedIo;
}

// A writer handle's growing change fails at every write, truncate and
// sync in turn; a sibling handle of the same file holds views all along.
TEST(Views, NeverReachPastTheEndOfAFailedChange) {
    struct Loop {
        FaultKind kind;
        int error;
    };
    const Loop loops[] = {{FaultKind::writeError, EIO},
                          {FaultKind::shortWrite, 0},
                          {FaultKind::truncateError, ENOSPC},
                          {FaultKind::syncError, EIO}};
    const int32_t savedCache = isFileCacheActive, savedWriteBack = isWriteBackActive;
    int failed = 0, runs = 0;
    for (const int journal : {0, 2}) {
        SCOPED_TRACE("journal mode " + std::to_string(journal));
        TempDir dir;
        const std::u16string name = dir.name("g");
        Model model = makeFile(name, 300);
        isJournalMode = journal;
        isFileCacheActive = 1;
        isWriteBackActive = 1;
        IsFile *r = isOpen(name.c_str(), ISINOUT | ISMANULOCK);
        ASSERT_NE(r, nullptr);
        Dice dice(11);
        for (const bool batch : {false, true}) {
            for (const Loop &loop : loops) {
                for (int n = 1;; ++n) {
                    ASSERT_LT(n, 3000);
                    SCOPED_TRACE(std::string(faultName(loop.kind)) + " n=" + std::to_string(n) +
                                 (batch ? " batch" : " single"));
                    ASSERT_EQ(randomReads(r, model, dice, 20), "");
                    ASSERT_GT(r->views[1].length, 0);
                    IsFile *w = isOpen(name.c_str(), ISINOUT | ISMANULOCK);
                    ASSERT_NE(w, nullptr);
                    Model next = model;
                    const int32_t base = 1000000 + 1000 * runs++;
                    FaultInjector injector;
                    if (batch) {
                        ASSERT_EQ(isSetCustomLock(w, 2), 1);
                    }
                    if (!batch) injector.arm(loop.kind, n, loop.error);
                    int ok = 1;
                    for (int32_t i = 0; i < (batch ? 60 : 1) && ok == 1; ++i) {
                        ok = isWrite(w, modelRecord(base + i, i % kModelGroups, 1).data());
                        if (ok == 1) next.wrote(base + i, i % kModelGroups, 1, 0);
                    }
                    if (batch) {
                        ASSERT_EQ(ok, 1);
                        injector.arm(loop.kind, n, loop.error);
                        ok = isSetCustomLock(w, 0);
                    }
                    const bool met = injector.hit();
                    injector.disarm();
                    EXPECT_EQ(viewsWithinFiles(r), "");
                    EXPECT_EQ(viewsWithinFiles(w), "");
                    if (ok == 1) {
                        model = next;
                    } else {
                        ++failed;
                        // A failed end keeps the batch and its lock; the
                        // next end writes it.
                        if (batch && isSetCustomLock(w, 0) == 1) model = next;
                    }
                    EXPECT_EQ(isClose(w), 1);
                    EXPECT_EQ(viewsWithinFiles(r), "");
                    ASSERT_EQ(compareWithModel(r, model, false), "");
                    ASSERT_EQ(viewsWithinFiles(r), "");
                    if (!met) break;
                }
            }
        }
        EXPECT_EQ(isClose(r), 1);
        isJournalMode = 0;
    }
    isFileCacheActive = savedCache;
    isWriteBackActive = savedWriteBack;
    EXPECT_GT(failed, 30);
}

// A writer dies at every write of a journaled commit in turn, while the
// parent holds views of the files; the parent's next call rolls the files
// back (cutting off what the dead change added) or keeps the completed
// change, and its views stay within the files.
TEST(Views, StayWithinFilesAJournalRollsBack) {
    TempDir dir;
    const std::u16string name = dir.name("k");
    const Model before = makeFile(name, 400);
    Model after = before;
    ASSERT_EQ(writerRound(nullptr, after, 0), "");
    const std::vector<uint8_t> wox = readFile(dir.file("k.wox")), wod = readFile(dir.file("k.wod"));
    isJournalMode = 1;
    int rolledBack = 0, kept = 0;
    Dice dice(5);
    for (int k = 1;; ++k) {
        ASSERT_LT(k, 500);
        writeFile(dir.file("k.wox"), wox);  // as before the change, for each k
        writeFile(dir.file("k.wod"), wod);
        ::unlink(dir.file("k.wjn").c_str());
        IsFile *r = isOpen(name.c_str(), ISINOUT | ISMANULOCK);
        ASSERT_NE(r, nullptr);
        ASSERT_EQ(randomReads(r, before, dice, 30), "");
        const std::u16string other = spelling(dir, "k", 1);
        const int status = runInChild([&] {
            IsFile *w = isOpen(other.c_str(), ISINOUT | ISMANULOCK);
            if (w == nullptr) return 2;
            FaultPlan dies;  // the k-th write is never made: the writer ends there
            dies.at(Sys::pwrite, k, Fault::exit());
            Model scratch = before;
            if (isSetCustomLock(w, 2) != 1 || !writerRound(w, scratch, 0).empty()) return 3;
            return isSetCustomLock(w, 0) == 1 ? 7 : 4;
        });
        ASSERT_TRUE(status == 0 || status == 7) << "k=" << k << ": the child ended with " << status;
        // The next call finds the dead change and rolls it back, or finds
        // it complete.
        const bool complete = compareWithModel(r, after, false).empty();
        if (complete) {
            ++kept;
        } else {
            ++rolledBack;
            ASSERT_EQ(compareWithModel(r, before, false), "") << "k=" << k;
        }
        EXPECT_EQ(viewsWithinFiles(r), "") << "k=" << k;
        ASSERT_EQ(randomReads(r, complete ? after : before, dice, 200), "") << "k=" << k;
        EXPECT_EQ(isClose(r), 1);
        if (status == 7) break;
    }
    isJournalMode = 0;
    EXPECT_GT(rolledBack, 3);
    EXPECT_GT(kept, 0);
}

}  // namespace
}  // namespace wisam
