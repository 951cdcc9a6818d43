// Clone, copy and cluster.  The result must equal the source record for
// record through every index; a copy or cluster in key order must lay the
// records down in that order; every failure on the way (a duplicate in the
// destination, an I/O fault, a failed rename, unlink or open at any step
// of the cluster) must leave the source as it was, release every lock the
// call took, and leave no temporary file behind.
#include <gtest/gtest.h>

#include <dirent.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "frame/ishandles.h"
#include "maint/iscopy.h"
#include "support/lockprobe.h"
#include "support/faults.h"
#include "support/model.h"
#include "support/testing.h"
#include "support/treecheck.h"
#include "wisam.h"

namespace wisam {
namespace {

using namespace testing;
using Bytes = std::vector<uint8_t>;

constexpr int kExclusive = ISINOUT | ISMANULOCK | ISEXCLLOCK;
constexpr int kShared = ISINOUT | ISMANULOCK;

// The names in a directory that are not `keep`'s files.
std::vector<std::string> strangers(const TempDir &dir, const std::vector<std::string> &keep) {
    std::vector<std::string> found;
    DIR *d = ::opendir(dir.path().c_str());
    while (dirent *e = d != nullptr ? ::readdir(d) : nullptr) {
        const std::string name = e->d_name;
        if (name == "." || name == "..") continue;
        bool kept = false;
        for (const std::string &base : keep) kept = kept || name.rfind(base + ".", 0) == 0;
        if (!kept) found.push_back(name);
    }
    if (d != nullptr) ::closedir(d);
    return found;
}

// A file of model records with three indexes, changed at random so that
// its record numbers follow no key and its data free list is not empty.
void makeSource(const TempDir &dir, const std::string &base, Model &model, int ops, int mode) {
    model.indexes.push_back(modelPayloadKey());
    KeyDesc id = modelIdKey();
    IsFile *f = isBuild(dir.name(base).c_str(), kModelLength, 0, &id, mode);
    ASSERT_NE(f, nullptr);
    for (size_t i = 1; i < model.indexes.size(); ++i) ASSERT_EQ(isAddIndex(f, &model.indexes[i]), 1);
    Dice dice(11);
    RandomOps random;
    random.idSpan = ops;
    for (int op = 0; op < ops; ++op) ASSERT_EQ(applyRandomOp(f, model, dice, random), "");
    ASSERT_EQ(isClose(f), 1);
}

// A source file made by makeSource, with the bytes it was left with.
struct Source {
    Source(int ops, int mode) : made((makeSource(dir, "s", model, ops, mode), true)) {}
    bool unchanged() const { return readFile(dir.file("s.wox")) == wox && readFile(dir.file("s.wod")) == wod; }
    void restore() const {
        writeFile(dir.file("s.wox"), wox);
        writeFile(dir.file("s.wod"), wod);
    }
    IsFile *open(int mode) const { return isOpen(dir.name("s").c_str(), mode); }

    TempDir dir;
    Model model;
    bool made;
    const Bytes wox = readFile(dir.file("s.wox")), wod = readFile(dir.file("s.wod"));
};

// The record numbers met walking index `index` (0: record-number order).
std::vector<int32_t> walkNumbers(IsFile *f, int index) {
    std::vector<int32_t> numbers;
    Bytes record(kModelLength);
    EXPECT_EQ(isIndex(f, index), 1);
    for (int mode = modeFirst; isRead(f, record.data(), mode); mode = modeNext) numbers.push_back(isRecnum(f));
    EXPECT_EQ(isErrno(f), EENDFILE);
    return numbers;
}

std::vector<int32_t> oneToN(size_t n) {
    std::vector<int32_t> numbers;
    for (size_t i = 1; i <= n; ++i) numbers.push_back(static_cast<int32_t>(i));
    return numbers;
}

// Every check of the file clean, and its blocks all accounted for.
std::string checkedClean(IsFile *f, const std::string &woxPath, int indexes) {
    if (int found = isCheckData(f); found != 0) return "data check " + std::to_string(found);
    for (int index = 1; index <= indexes; ++index) {
        if (int found = isCheckIndex(f, index); found != 0) {
            return "check of index " + std::to_string(index) + ": " + std::to_string(found);
        }
    }
    const FileCheck structure = checkIndexFile(f, woxPath);
    return structure.ok() ? "" : structure.report();
}

TEST(Copy, CloneCopyAndClusterHoldTheSourceRecordForRecord) {
    TempDir dir;
    Model model;
    makeSource(dir, "src", model, 700, kExclusive);
    IsFile *src = isOpen(dir.name("src").c_str(), kExclusive);
    ASSERT_NE(src, nullptr);
    const char info[10] = {'u', 's', 'e', 'r', ' ', 'i', 'n', 'f', 'o', '!'};
    ASSERT_EQ(isUserInfo(src, 1, const_cast<char *>(info)), 1);
    int32_t uniqueBefore = 0;
    ASSERT_EQ(isUniqueId(src, &uniqueBefore), 1);
    ASSERT_EQ(isPrecious(src, 1), 1);

    // The clone: the same indexes, no records.
    IsFile *clone = isClone(src, dir.name("byGroup").c_str());
    ASSERT_NE(clone, nullptr) << isErrno(nullptr);
    for (int index = 1; index <= 3; ++index) {
        KeyDesc want{}, got{};
        ASSERT_EQ(isIndexInfo(src, &want, index), 1);
        ASSERT_EQ(isIndexInfo(clone, &got, index), 1);
        EXPECT_EQ(got.flags, want.flags) << index;
        ASSERT_EQ(got.partCount, want.partCount) << index;
        EXPECT_EQ(std::memcmp(got.parts, want.parts, sizeof(KeyPart) * static_cast<size_t>(got.partCount)), 0);
    }
    IsamInfo summary{};
    ASSERT_EQ(isIsamInfo(clone, &summary), 1);
    EXPECT_EQ(summary.indexCount, 3);
    EXPECT_EQ(summary.recordCount, 0);

    // A copy in the order of the group index lays the records down in it.
    KeyDesc group = modelGroupKey();
    ASSERT_EQ(isCopy(clone, src, &group), 1) << errorText(clone);
    EXPECT_EQ(compareWithModel(clone, model, false), "");
    EXPECT_EQ(walkNumbers(clone, 2), oneToN(model.rows.size()));
    EXPECT_EQ(checkedClean(clone, dir.file("byGroup.wox"), 3), "");
    ASSERT_EQ(isClose(clone), 1);

    // Without a key description the source's current order: record numbers.
    IsFile *byNumber = isClone(src, dir.name("byNumber").c_str());
    ASSERT_NE(byNumber, nullptr);
    ASSERT_EQ(isIndex(src, 0), 1);
    ASSERT_EQ(isCopy(byNumber, src, nullptr), 1) << errorText(byNumber);
    std::vector<std::string> sourceOrder, copyOrder;
    Bytes record(kModelLength);
    for (IsFile *f : {src, byNumber}) {
        auto &order = f == src ? sourceOrder : copyOrder;
        ASSERT_EQ(isIndex(f, 0), 1);
        for (int mode = modeFirst; isRead(f, record.data(), mode); mode = modeNext) order.emplace_back(record.begin(), record.end());
    }
    EXPECT_EQ(copyOrder, sourceOrder);
    EXPECT_EQ(walkNumbers(byNumber, 0), oneToN(model.rows.size()));
    ASSERT_EQ(isClose(byNumber), 1);

    // The cluster: the file itself in the order of its primary index, with
    // its counter, user information and precious state.
    KeyDesc id = modelIdKey();
    IsFile *clustered = isCluster(src, &id);
    ASSERT_NE(clustered, nullptr) << isErrno(nullptr);
    EXPECT_EQ(compareWithModel(clustered, model, false), "");
    EXPECT_EQ(walkNumbers(clustered, 1), oneToN(model.rows.size()));
    EXPECT_EQ(checkedClean(clustered, dir.file("src.wox"), 3), "");
    char infoAfter[10] = {};
    ASSERT_EQ(isUserInfo(clustered, 0, infoAfter), 1);
    EXPECT_EQ(std::memcmp(infoAfter, info, sizeof info), 0);
    int32_t uniqueAfter = 0;
    ASSERT_EQ(isUniqueId(clustered, &uniqueAfter), 1);
    EXPECT_GT(uniqueAfter, uniqueBefore);
    ASSERT_EQ(isDelRec(clustered, 1), 1);
    ASSERT_EQ(isWrite(clustered, modelRecord(90000, 1, 1).data()), 1);
    EXPECT_EQ(isRecnum(clustered), static_cast<int32_t>(model.rows.size()) + 1) << "precious: numbers never reused";
    ASSERT_EQ(isClose(clustered), 1);
    EXPECT_EQ(strangers(dir, {"src", "byGroup", "byNumber"}), std::vector<std::string>{});
}

// Records whose key is null in a null-suppressed index get no entry there
// in the copy either; the copy checks clean.
// A handle open for input only clones too: the clone is built for output,
// so that its indexes can be added and records copied in.
TEST(Copy, AnInputOnlyHandleClones) {
    TempDir dir;
    Model model;
    makeSource(dir, "src", model, 200, kExclusive);
    IsFile *reader = isOpen(dir.name("src").c_str(), ISINPUT | ISMANULOCK);
    ASSERT_NE(reader, nullptr);
    IsFile *clone = isClone(reader, dir.name("c").c_str());
    ASSERT_NE(clone, nullptr) << isErrno(nullptr);
    ASSERT_EQ(isCopy(clone, reader, nullptr), 1) << errorText(clone);
    EXPECT_EQ(compareWithModel(clone, model, false), "");
    ASSERT_EQ(isClose(clone), 1);
    ASSERT_EQ(isClose(reader), 1);
}

TEST(Copy, NullKeysStayOutOfSuppressingIndexes) {
    TempDir dir;
    KeyDesc id = keyAt(0, 8, ISTYPE_CHAR);
    IsFile *src = isBuild(dir.name("n").c_str(), 24, 0, &id, kShared);
    ASSERT_NE(src, nullptr);
    KeyDesc optional = keyAt(8, 8, ISTYPE_CHAR, ISKEY_DUPS | ISKEY_NULLSUPPRESS);
    ASSERT_EQ(isAddIndex(src, &optional), 1);
    int keyed = 0;
    for (int i = 0; i < 90; ++i) {
        char record[24] = {};
        std::snprintf(record, sizeof record, "%08d", i);
        if (i % 3 != 0) {
            std::snprintf(record + 8, 9, "k%07d", i % 10);
            ++keyed;
        }
        ASSERT_EQ(isWrite(src, record), 1);
    }
    IsFile *copy = isClone(src, dir.name("c").c_str());
    ASSERT_NE(copy, nullptr);
    ASSERT_EQ(isCopy(copy, src, &optional), 1) << errorText(copy);
    EXPECT_EQ(walkNumbers(copy, 2).size(), static_cast<size_t>(keyed));
    EXPECT_EQ(walkNumbers(copy, 1).size(), static_cast<size_t>(keyed)) << "only the records met in key order";
    EXPECT_EQ(checkedClean(copy, dir.file("c.wox"), 2), "");
    IsFile *all = isClone(src, dir.name("a").c_str());
    ASSERT_EQ(isCopy(all, src, &id), 1);
    EXPECT_EQ(walkNumbers(all, 1).size(), 90u);
    EXPECT_EQ(walkNumbers(all, 2).size(), static_cast<size_t>(keyed));
    EXPECT_EQ(checkedClean(all, dir.file("a.wox"), 2), "");
    for (IsFile *f : {src, copy, all}) ASSERT_EQ(isClose(f), 1);
}

TEST(Copy, RefusalsChangeNothing) {
    const Source source(120, kShared);
    const TempDir &dir = source.dir;
    const Model &model = source.model;
    IsFile *f = source.open(kShared);
    ASSERT_NE(f, nullptr);
    KeyDesc id = modelIdKey();

    EXPECT_EQ(isCluster(nullptr, &id), nullptr);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(isCluster(f, &id), nullptr);
    EXPECT_EQ(errno, ENOTEXCL);
    EXPECT_EQ(isErrno(f), ENOTEXCL);
    EXPECT_EQ(isCopy(f, f, nullptr), 0);
    EXPECT_EQ(isErrno(f), EBADARG);
    EXPECT_EQ(isCopy(f, nullptr, nullptr), 0);
    EXPECT_EQ(isErrno(f), ENOTOPEN);
    EXPECT_EQ(isClone(nullptr, dir.name("x").c_str()), nullptr);
    EXPECT_EQ(isClone(f, nullptr), nullptr);
    EXPECT_EQ(isErrno(f), EBADARG);

    // A second handle on the same file, a key matching no index, and a
    // destination of another record length.
    IsFile *same = isOpen(dir.name("s").c_str(), kShared);
    ASSERT_NE(same, nullptr);
    EXPECT_EQ(isCopy(same, f, nullptr), 0);
    EXPECT_EQ(isErrno(same), EBADARG);
    IsFile *clone = isClone(f, dir.name("c").c_str());
    ASSERT_NE(clone, nullptr);
    KeyDesc none = keyAt(3, 9, ISTYPE_CHAR);
    EXPECT_EQ(isCopy(clone, f, &none), 0);
    EXPECT_EQ(isErrno(clone), EBADKEY);
    IsFile *shorter = isBuild(dir.name("short").c_str(), 100, 0, &id, kShared);
    ASSERT_NE(shorter, nullptr);
    EXPECT_EQ(isCopy(shorter, f, nullptr), 0);
    EXPECT_EQ(isErrno(shorter), EBADARG);
    EXPECT_EQ(compareWithModel(f, model), "");
    for (IsFile *h : {same, clone, shorter, f}) ASSERT_EQ(isClose(h), 1);
    EXPECT_TRUE(source.unchanged());

    // Exclusive, but a key matching no index or a file without records.
    f = source.open(kExclusive);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(isCluster(f, &none), nullptr);
    EXPECT_EQ(isErrno(f), EBADKEY);
    ASSERT_EQ(isClose(f), 1);
    KeyDesc key = keyAt(0, 8, ISTYPE_CHAR);
    IsFile *keys = isBuild(dir.name("k").c_str(), 0, 0, &key, kExclusive);
    ASSERT_NE(keys, nullptr);
    EXPECT_EQ(isCluster(keys, &key), nullptr);
    EXPECT_EQ(isErrno(keys), EBADARG);
    ASSERT_EQ(isClose(keys), 1);
    EXPECT_EQ(strangers(dir, {"s", "c", "short", "k"}), std::vector<std::string>{});
}

TEST(Copy, ClusterNamesTheTemporaryFileNextToTheFile) {
    EXPECT_EQ(clusterName(u"data\\orders", u"ist", 42), u"data\\ist00042");
    EXPECT_EQ(clusterName(u"orders", u"ist", 42), u"ist00042");
    EXPECT_EQ(clusterName(u"/srv/db/orders", u"ist", 1234567), u"/srv/db/ist1234567");
    EXPECT_EQ(clusterName(u"/orders", u"iso", 7), u"/iso00007");
    EXPECT_EQ(clusterName(u"vol:[dir]orders", u"ist", 3), u"vol:[dir]ist00003");
    const std::u16string directory(246, u'd');
    EXPECT_EQ(clusterName((directory + u"/x").c_str(), u"ist", 42), u"") << "249 units: too long";
    EXPECT_EQ(clusterName((std::u16string(240, u'd') + u"/x").c_str(), u"ist", 42).size(), 249u);
}

// A temporary name that cannot be held is refused before anything exists.
TEST(Copy, ClusterRefusesATemporaryNameTooLong) {
    TempDir dir;
    std::string deep = dir.path();
    while (deep.size() < 243) deep += "/" + std::string(std::min<size_t>(60, 243 - deep.size() - 1), 'd');
    std::filesystem::create_directories(deep);
    const std::u16string name = toUtf16(deep + "/f");
    KeyDesc id = modelIdKey();
    IsFile *f = isBuild(name.c_str(), kModelLength, 0, &id, kExclusive);
    ASSERT_NE(f, nullptr) << isErrno(nullptr);
    ASSERT_EQ(isWrite(f, modelRecord(1, 1, 1).data()), 1);
    EXPECT_EQ(isCluster(f, &id), nullptr);
    EXPECT_EQ(errno, EFNAME);
    EXPECT_EQ(isErrno(f), EFNAME);
    Bytes record(kModelLength);
    EXPECT_EQ(isRead(f, record.data(), modeFirst), 1) << "the handle stays open";
    ASSERT_EQ(isClose(f), 1);
    DIR *d = ::opendir(deep.c_str());
    ASSERT_NE(d, nullptr);
    int entries = 0;
    while (dirent *e = ::readdir(d)) entries += e->d_name[0] == '.' ? 0 : 1;
    ::closedir(d);
    EXPECT_EQ(entries, 3) << "f.wox, f.wod and f.lck only";
}

// A copy that fails anywhere leaves the destination as it was and the locks
// of both handles released: a duplicate key in the destination, and every
// write and read of the copy failing in turn.
TEST(Copy, AFailedCopyLeavesBothFilesAndReleasesBothLocks) {
    const Source source(150, kShared);
    const TempDir &dir = source.dir;
    const Model &model = source.model;
    IsFile *src = source.open(kShared);
    ASSERT_NE(src, nullptr);
    IsFile *dst = isClone(src, dir.name("d").c_str());
    ASSERT_NE(dst, nullptr);
    Model before;
    before.indexes = model.indexes;
    const int32_t taken = model.rows.rbegin()->first;
    ASSERT_EQ(isWrite(dst, modelRecord(taken, 0, 0).data()), 1);
    ASSERT_EQ(before.wrote(taken, 0, 0, isRecnum(dst)), "");
    IsFile *probeSrc = isOpen(spelling(dir, "s", 1).c_str(), kShared);
    IsFile *probeDst = isOpen(spelling(dir, "d", 1).c_str(), kShared);
    ASSERT_NE(probeSrc, nullptr);
    ASSERT_NE(probeDst, nullptr);
    auto unchanged = [&](const std::string &what) {
        EXPECT_EQ(canWrite(probeSrc), 1) << what << ": the source's lock is still held";
        EXPECT_EQ(canWrite(probeDst), 1) << what << ": the destination's lock is still held";
        EXPECT_EQ(compareWithModel(dst, before), "") << what;
        EXPECT_TRUE(source.unchanged()) << what;
    };
    KeyDesc group = modelGroupKey();
    EXPECT_EQ(isCopy(dst, src, &group), 0);
    EXPECT_EQ(isErrno(dst), EDUPL);
    unchanged("duplicate");

    ASSERT_EQ(isDelete(dst, modelRecord(taken, 0, 0).data()), 1);
    before.rows.clear();
    for (FaultKind kind : {FaultKind::writeError, FaultKind::readError, FaultKind::shortRead}) {
        bool copied = false;
        for (int n = 1; !copied && n < 4000; ++n) {
            const std::string what = std::string(faultName(kind)) + " " + std::to_string(n);
            FaultInjector faults;
            faults.arm(kind, n, EIO);
            const int ok = isCopy(dst, src, &group);
            const bool hit = faults.hit();
            faults.disarm();
            if (ok == 1) {
                copied = true;
                EXPECT_FALSE(hit && kind == FaultKind::writeError) << what << ": a failed write went unnoticed";
                EXPECT_EQ(compareWithModel(dst, model, false), "") << what;
                break;
            }
            ASSERT_TRUE(hit) << what << ": failed without a fault, " << errorText(dst);
            EXPECT_EQ(isErrno(dst), kind == FaultKind::shortRead ? EBADFILE : EIO) << what;
            unchanged(what);
            ASSERT_FALSE(HasFailure()) << what;
        }
        ASSERT_TRUE(copied) << faultName(kind);
        // Empty the destination again for the next kind.
        ASSERT_EQ(isClose(probeDst), 1);
        ASSERT_EQ(isClose(dst), 1);
        ASSERT_EQ(isErase(dir.name("d").c_str()), 1);
        dst = isClone(src, dir.name("d").c_str());
        ASSERT_NE(dst, nullptr);
        probeDst = isOpen(spelling(dir, "d", 1).c_str(), kShared);
        ASSERT_NE(probeDst, nullptr);
    }
    for (IsFile *h : {probeSrc, probeDst, src, dst}) ASSERT_EQ(isClose(h), 1);
}

enum class Step { write, read, sync, rename, unlink, open };
const char *stepName(Step step) {
    switch (step) {
    case Step::write: return "write";
    case Step::read: return "read";
    case Step::sync: return "sync";
    case Step::rename: return "rename";
    case Step::unlink: return "unlink";
    case Step::open: return "open";
    }
    return "?";
}

// Every step of a cluster fails in turn, until it goes through: after a
// failure the file is whole and unchanged, its handle still open (only the
// final open may leave it closed, the file clustered on disk), and no
// temporary or set-aside file is left.
TEST(Copy, AClusterFailingAtAnyStepLeavesTheFileWhole) {
    const Source source(110, kExclusive);
    const TempDir &dir = source.dir;
    const Model &model = source.model;
    KeyDesc group = modelGroupKey();
    for (Step step : {Step::write, Step::read, Step::sync, Step::rename, Step::unlink, Step::open}) {
        bool clustered = false;
        bool everHit = false;
        for (int n = 1; !clustered && n < 4000; ++n) {
            const std::string what = std::string(stepName(step)) + " " + std::to_string(n);
            source.restore();
            IsFile *f = source.open(kExclusive);
            ASSERT_NE(f, nullptr) << what;
            IsFile *result = nullptr;
            bool hit = false;
            {
                // Besides the transfers of the index and data files: the
                // renames (the cluster's moves never replace a file, they go
                // through the no-replace rename, counted with the plain
                // one), unlinks and opens of its files.
                FaultInjector faults;
                FaultRule *names = nullptr;
                if (step == Step::write) faults.arm(FaultKind::writeError, n, ENOSPC);
                if (step == Step::read) faults.arm(FaultKind::readError, n, EIO);
                if (step == Step::sync) faults.arm(FaultKind::syncError, n, EIO);
                if (step == Step::rename) names = &faults.plan().failNth({Sys::rename, Sys::renameNoReplace}, n, EIO);
                if (step == Step::unlink) names = &faults.plan().failNth(Sys::unlink, n, EACCES);
                if (step == Step::open) names = &faults.plan().failNth(Sys::open, n, EMFILE);
                result = isCluster(f, &group);
                hit = faults.hit() || (names != nullptr && names->hit());
                everHit = everHit || hit;
            }
            if (result != nullptr) {
                clustered = !hit;
                EXPECT_EQ(compareWithModel(result, model, false), "") << what;
                EXPECT_EQ(walkNumbers(result, 2), oneToN(model.rows.size())) << what;
                ASSERT_EQ(isClose(result), 1);
                // An unlink of the set-aside copy may fail without harm to
                // the file; that copy is then all that is left over.
                if (hit && step == Step::unlink) {
                    for (const std::string &name : strangers(dir, {"s"})) ::unlink(dir.file(name).c_str());
                }
            } else {
                ASSERT_TRUE(hit) << what << ": failed without a fault, errno " << errno;
                if (isKnownHandle(f)) {
                    EXPECT_EQ(compareWithModel(f, model), "") << what << ": the handle after the failure";
                    ASSERT_EQ(isClose(f), 1);
                    EXPECT_TRUE(source.unchanged()) << what;
                    IsFile *again = source.open(kExclusive);
                    ASSERT_NE(again, nullptr) << what;
                    EXPECT_EQ(compareWithModel(again, model), "") << what;
                    ASSERT_EQ(isClose(again), 1);
                } else {
                    // Only the final open, after the file was replaced,
                    // fails with the handle closed: the file is clustered.
                    EXPECT_TRUE(step == Step::open || step == Step::read) << what << ": the handle was closed";
                    IsFile *again = source.open(kExclusive);
                    ASSERT_NE(again, nullptr) << what;
                    EXPECT_EQ(compareWithModel(again, model, false), "") << what;
                    EXPECT_EQ(walkNumbers(again, 2), oneToN(model.rows.size())) << what;
                    ASSERT_EQ(isClose(again), 1);
                }
            }
            EXPECT_EQ(strangers(dir, {"s"}), std::vector<std::string>{}) << what;
            ASSERT_FALSE(HasFailure()) << what;
        }
        EXPECT_TRUE(clustered) << stepName(step);
        EXPECT_TRUE(everHit) << stepName(step) << ": no call of this step was ever failed";
    }
}

}  // namespace
}  // namespace wisam

namespace wisam {
namespace {

using namespace testing;

constexpr int kVarFixed = 20, kVarMax = 3000;

Bytes varRecord(int32_t id, int length) {
    Bytes r(static_cast<size_t>(length));
    for (int i = 0; i < length; ++i) r[static_cast<size_t>(i)] = static_cast<uint8_t>('a' + (id * 7 + i) % 26);
    stLong(id, r.data());
    return r;
}

// Every record of `lengths` (by id) read back whole through the primary
// index, and no other.
std::string varRecordsEqual(IsFile *f, const std::map<int32_t, int> &lengths) {
    Bytes r(kVarMax);
    size_t seen = 0;
    if (isIndex(f, 1) != 1) return "isIndex failed";
    for (int mode = modeFirst; isRead(f, r.data(), mode); mode = modeNext, ++seen) {
        const int32_t id = ldLong(r.data());
        const auto it = lengths.find(id);
        if (it == lengths.end()) return "extra record " + std::to_string(id);
        if (isReclen(f) != it->second) return "record " + std::to_string(id) + " has length " + std::to_string(isReclen(f));
        if (Bytes(r.begin(), r.begin() + it->second) != varRecord(id, it->second)) return "record " + std::to_string(id) + " differs";
    }
    if (isErrno(f) != EENDFILE) return "walk ended with " + std::to_string(isErrno(f));
    return seen == lengths.size() ? "" : std::to_string(seen) + " records, expected " + std::to_string(lengths.size());
}

// Variable-length records keep their variable parts through a copy, a
// cluster and the rebuilds.
TEST(Copy, VariableLengthRecordsKeepTheirVariableParts) {
    TempDir dir;
    KeyDesc id = keyAt(0, 4, ISTYPE_LONG);
    const int mode = kExclusive | ISVARLEN;
    IsFile *f = isBuild(dir.name("v").c_str(), kVarFixed, kVarMax, &id, mode);
    ASSERT_NE(f, nullptr) << isErrno(nullptr);
    KeyDesc tail = keyAt(4, 6, ISTYPE_CHAR, ISKEY_DUPS);
    ASSERT_EQ(isAddIndex(f, &tail), 1);
    std::map<int32_t, int> lengths;
    Dice dice(3);
    for (int32_t i = 0; i < 80; ++i) {
        const int32_t key = (i * 37) % 101;
        const int length = kVarFixed + dice.below(kVarMax - kVarFixed);
        isSetlen(f, length);
        ASSERT_EQ(isWrite(f, varRecord(key, length).data()), 1) << errorText(f);
        lengths[key] = length;
    }
    for (int32_t key = 0; key < 101; key += 4) {
        if (lengths.erase(key) == 0) continue;
        uint8_t image[kVarMax] = {};
        stLong(key, image);
        ASSERT_EQ(isDelete(f, image), 1) << errorText(f);
    }
    ASSERT_EQ(varRecordsEqual(f, lengths), "");

    IsFile *copy = isClone(f, dir.name("c").c_str());
    ASSERT_NE(copy, nullptr) << isErrno(nullptr);
    ASSERT_EQ(isCopy(copy, f, &tail), 1) << errorText(copy);
    EXPECT_EQ(varRecordsEqual(copy, lengths), "");
    EXPECT_EQ(isCheckData(copy), 0);
    EXPECT_EQ(isCheckVarlen(copy, nullptr), 0);
    ASSERT_EQ(isClose(copy), 1);

    IsFile *clustered = isCluster(f, &id);
    ASSERT_NE(clustered, nullptr) << isErrno(nullptr);
    EXPECT_EQ(varRecordsEqual(clustered, lengths), "");
    std::vector<int32_t> numbers;
    Bytes r(kVarMax);
    ASSERT_EQ(isIndex(clustered, 1), 1);
    for (int m = modeFirst; isRead(clustered, r.data(), m); m = modeNext) numbers.push_back(isRecnum(clustered));
    EXPECT_EQ(numbers, oneToN(lengths.size()));
    EXPECT_EQ(isCheckVarlen(clustered, nullptr), 0);

    ASSERT_EQ(isRebuildFree(clustered, 2), 1) << errorText(clustered);
    ASSERT_EQ(isRebuildIdx(clustered, 1), 1) << errorText(clustered);
    ASSERT_EQ(isRebuildIdx(clustered, 2), 1) << errorText(clustered);
    EXPECT_EQ(isCheckData(clustered), 0);
    EXPECT_EQ(isCheckIndex(clustered, 1), 0);
    EXPECT_EQ(isCheckIndex(clustered, 2), 0);
    EXPECT_EQ(isCheckVarlen(clustered, nullptr), 0);
    EXPECT_EQ(varRecordsEqual(clustered, lengths), "");
    ASSERT_EQ(isClose(clustered), 1);
    EXPECT_EQ(strangers(dir, {"v", "c"}), std::vector<std::string>{});
}

}  // namespace
}  // namespace wisam
