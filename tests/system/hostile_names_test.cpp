// Hostile names: files planted next to an ISAM file (link files naming
// another ISAM file under the cluster's temporary names, stale temporary
// files of a crashed cluster, an existing rename target, symbolic links in
// place of the lock file or the index file) must never make a call write,
// move or erase a file it did not create.  Every row ends by comparing the
// whole directory with what it held before: each name that is not the ISAM
// file's own is byte for byte as it was, and the ISAM file is either
// changed as the call should change it or, when the call was refused, as
// it was (but for the slot counter in its lock file, which any open moves
// on).  Then the permission bits a new lock file takes.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <functional>
#include <string>
#include <vector>

#include "support/dirsnap.h"
#include "support/faults.h"
#include "support/testing.h"
#include "system/issystem.h"
#include "wisam.h"

namespace wisam {
namespace {

using namespace testing;

constexpr int kPid = 4242;  // the process id the library is made to see
constexpr int kRecordLength = 20;
constexpr int kRecords = 40;
constexpr int kExclusive = ISINOUT | ISMANULOCK | ISEXCLLOCK;
const std::string kClone = "ist04242";
const std::string kAside = "iso04242";

KeyDesc idKey() { return keyAt(0, 4, ISTYPE_LONG); }

std::vector<uint8_t> record(int32_t id) {
    std::vector<uint8_t> r(kRecordLength, static_cast<uint8_t>('a' + id % 26));
    stLong(id, r.data());
    return r;
}

// A directory holding the ISAM file "a" (records written in descending key
// order, so that a cluster by key renumbers them), another ISAM file
// "victim", and a directory "other" with a plain file "secret".
struct Scene {
    Scene() {
        build("a");
        build("victim");
        ::mkdir(dir.file("other").c_str(), 0777);
        writeText(dir.file("other/secret"), "not an ISAM file\n");
    }
    void build(const std::string &base) const {
        KeyDesc key = idKey();
        IsFile *f = isBuild(dir.name(base).c_str(), kRecordLength, 0, &key, ISINOUT);
        ASSERT_NE(f, nullptr) << base << ": " << isErrno(nullptr);
        for (int32_t id = kRecords; id >= 1; --id) ASSERT_EQ(isWrite(f, record(id).data()), 1);
        ASSERT_EQ(isClose(f), 1);
    }
    // base.lnk naming `target` (a base name in the directory).
    void link(const std::string &base, const std::string &target) const {
        writeText(dir.file(base + ".lnk"), dir.file(target) + "\n");
    }
    void stale(const std::string &name) const { writeText(dir.file(name), "left by a crash: " + name); }
    void symlinkTo(const std::string &name, const std::string &target) const {
        ASSERT_EQ(::symlink(dir.file(target).c_str(), dir.file(name).c_str()), 0) << name;
    }
    // `name` in the directory moved into "other", a symbolic link left in
    // its place.
    void moveAway(const std::string &name) const {
        ASSERT_EQ(::rename(dir.file(name).c_str(), dir.file("other/" + name).c_str()), 0);
        symlinkTo(name, "other/" + name);
    }

    TempDir dir;
};

// The records of `base` read in key order: every id once, in order, and the
// record numbers they have.
std::string readBack(const Scene &scene, const std::string &base, std::vector<int32_t> &numbers) {
    IsFile *f = isOpen(scene.dir.name(base).c_str(), ISINPUT);
    if (f == nullptr) return "open failed with " + std::to_string(isErrno(nullptr));
    std::vector<uint8_t> r(kRecordLength);
    int32_t expected = 1;
    for (int mode = modeFirst; isRead(f, r.data(), mode); mode = modeNext, ++expected) {
        if (r != record(expected)) return "record " + std::to_string(expected) + " differs";
        numbers.push_back(isRecnum(f));
    }
    isClose(f);
    return expected == kRecords + 1 ? "" : std::to_string(expected - 1) + " records";
}

enum class Call { cluster, rename, build, open };

struct Row {
    const char *what;
    Call call;
    std::function<void(const Scene &)> plant;
    int refusal;  // the errno of a refused call; 0 when it must succeed
    // For a cluster: done while the file is open, before the call.
    std::function<void(const Scene &)> meanwhile = nullptr;
};

// Runs the row's call, `before` taken just before it; its result, with the
// names the call may change when it succeeds.
struct Outcome {
    bool ok = false;
    int error = 0;
    std::vector<std::string> changes;  // ISAM files the call changed
};

Outcome run(const Row &row, const Scene &scene, DirSnapshot &before) {
    Outcome out;
    const auto snapshot = [&] { before = DirSnapshot::take(scene.dir.path()); };
    switch (row.call) {
    case Call::cluster: {
        IsFile *f = isOpen(scene.dir.name("a").c_str(), kExclusive);
        if (f == nullptr) return out.error = isErrno(nullptr), out;
        if (row.meanwhile) row.meanwhile(scene);
        snapshot();
        KeyDesc key = idKey();
        IsFile *clustered = isCluster(f, &key);
        out.error = errno;
        out.ok = clustered != nullptr;
        isClose(out.ok ? clustered : f);
        out.changes = {"a"};
        break;
    }
    case Call::rename:
        snapshot();
        out.ok = isRename(scene.dir.name("a").c_str(), scene.dir.name("b").c_str()) == 1;
        out.error = isErrno(nullptr);
        out.changes = {"a", "b"};
        break;
    case Call::build: {
        KeyDesc key = idKey();
        snapshot();
        IsFile *f = isBuild(scene.dir.name("db").c_str(), kRecordLength, 0, &key, ISINOUT);
        out.error = isErrno(nullptr);
        out.ok = f != nullptr;
        if (f != nullptr) isClose(f);
        out.changes = {"db"};
        break;
    }
    case Call::open: {
        snapshot();
        IsFile *f = isOpen(scene.dir.name("a").c_str(), ISINOUT);
        out.error = isErrno(nullptr);
        out.ok = f != nullptr;
        if (f != nullptr) isClose(f);
        break;
    }
    }
    return out;
}

const std::vector<Row> &rows() {
    static const std::vector<Row> table = {
        // The cluster's set-aside and clone names.
        {"iso.lnk naming another ISAM file", Call::cluster, [](const Scene &s) { s.link(kAside, "victim"); }, 0},
        {"ist.lnk naming another ISAM file", Call::cluster, [](const Scene &s) { s.link(kClone, "victim"); }, 0},
        {"both links naming another ISAM file", Call::cluster,
         [](const Scene &s) { s.link(kAside, "victim"), s.link(kClone, "victim"); }, 0},
        {"stale iso.wox and iso.wod", Call::cluster,
         [](const Scene &s) { s.stale(kAside + ".wox"), s.stale(kAside + ".wod"); }, 0},
        {"stale iso.wod alone", Call::cluster, [](const Scene &s) { s.stale(kAside + ".wod"); }, 0},
        {"stale iso.lck", Call::cluster, [](const Scene &s) { s.stale(kAside + ".lck"); }, 0},
        {"stale ist.wox", Call::cluster, [](const Scene &s) { s.stale(kClone + ".wox"); }, 0},
        {"stale ist.wod", Call::cluster, [](const Scene &s) { s.stale(kClone + ".wod"); }, 0},
        {"stale ist.lck", Call::cluster, [](const Scene &s) { s.stale(kClone + ".lck"); }, 0},
        {"stale ist.wjn", Call::cluster, [](const Scene &s) { s.stale(kClone + ".wjn"); }, 0},
        {"stale ist and ist_1 files", Call::cluster,
         [](const Scene &s) { s.stale(kClone + ".lck"), s.stale(kClone + "_1.wox"), s.stale(kAside + ".wox"); }, 0},
        {"dangling symbolic link as ist.wox", Call::cluster,
         [](const Scene &s) { s.symlinkTo(kClone + ".wox", "other/made"); }, 0},
        {"symbolic link as iso.wod", Call::cluster,
         [](const Scene &s) { s.symlinkTo(kAside + ".wod", "other/secret"); }, 0},
        {"the file under a link", Call::cluster,
         [](const Scene &s) {
             for (const char *ext : {".wox", ".wod", ".lck"}) {
                 ::rename(s.dir.file(std::string("a") + ext).c_str(), s.dir.file(std::string("other/a") + ext).c_str());
             }
             s.link("a", "other/a");
             s.link("other/" + kAside, "victim");
             s.stale("other/" + kClone + ".wox");
         },
         0},
        {"link retargeted while the file is open", Call::cluster,
         [](const Scene &s) {
             for (const char *ext : {".wox", ".wod", ".lck"}) {
                 ::rename(s.dir.file(std::string("a") + ext).c_str(), s.dir.file(std::string("x") + ext).c_str());
             }
             s.link("a", "x");
         },
         ESTALE, [](const Scene &s) { s.link("a", "victim"); }},
        // A rename onto names something has.
        {"rename onto another ISAM file", Call::rename, [](const Scene &s) { s.build("b"); }, EEXIST},
        {"rename onto a stale lock file", Call::rename, [](const Scene &s) { s.stale("b.lck"); }, EEXIST},
        {"rename onto a stale journal", Call::rename, [](const Scene &s) { s.stale("b.wjn"); }, EEXIST},
        {"rename onto a stale data file", Call::rename, [](const Scene &s) { s.stale("b.wod"); }, EEXIST},
        {"rename onto a link naming another ISAM file", Call::rename, [](const Scene &s) { s.link("b", "victim"); },
         EEXIST},
        {"rename onto a dangling symbolic link", Call::rename,
         [](const Scene &s) { s.symlinkTo("b.wox", "other/made"); }, EEXIST},
        {"rename onto free names", Call::rename, [](const Scene &s) { s.stale("b.txt"); }, 0},
        // Symbolic links where the library makes files.
        {"build with the lock file a symbolic link", Call::build,
         [](const Scene &s) { s.symlinkTo("db.lck", "other/secret"); }, ELOOP},
        {"build with the lock file a dangling symbolic link", Call::build,
         [](const Scene &s) { s.symlinkTo("db.lck", "other/made"); }, ELOOP},
        {"build with the index file a dangling symbolic link", Call::build,
         [](const Scene &s) { s.symlinkTo("db.wox", "other/made"); }, EEXIST},
        {"build with the index file a symbolic link", Call::build,
         [](const Scene &s) { s.symlinkTo("db.wox", "other/secret"); }, EEXIST},
        {"build with the data file a dangling symbolic link", Call::build,
         [](const Scene &s) { s.symlinkTo("db.wod", "other/made"); }, EEXIST},
        {"open with the lock file a symbolic link", Call::open,
         [](const Scene &s) {
             ::unlink(s.dir.file("a.lck").c_str());
             s.symlinkTo("a.lck", "other/secret");
         },
         ELOOP},
        {"open with the lock file a dangling symbolic link", Call::open,
         [](const Scene &s) {
             ::unlink(s.dir.file("a.lck").c_str());
             s.symlinkTo("a.lck", "other/made");
         },
         ELOOP},
        {"open of index and data files linked on purpose", Call::open,
         [](const Scene &s) { s.moveAway("a.wox"), s.moveAway("a.wod"); }, 0},
    };
    return table;
}

TEST(HostileNames, NoCallDestroysAFileItDidNotCreate) {
    for (const Row &row : rows()) {
        isCleanUp();
        FaultPlan pid;
        pid.answer(Sys::getpid, kPid);
        Scene scene;
        row.plant(scene);
        const std::string a = row.what == std::string("the file under a link") ? "other/a" : "a";
        DirSnapshot before;
        const Outcome out = run(row, scene, before);
        DirSnapshot after = DirSnapshot::take(scene.dir.path());
        // Every open moves the lock file's slot counter on.
        const std::vector<std::string> counters = {a + ".lck", "x.lck"};
        before.ignoreBytes(counters);
        after.ignoreBytes(counters);
        if (row.refusal != 0) {
            EXPECT_FALSE(out.ok) << row.what;
            EXPECT_EQ(out.error, row.refusal) << row.what;
            EXPECT_EQ(after.differencesFrom(before), "") << row.what << ": a refused call changed nothing";
            continue;
        }
        EXPECT_TRUE(out.ok) << row.what << ": errno " << out.error;
        if (!out.ok) continue;
        std::vector<std::string> changed = out.changes;
        for (std::string &base : changed) base = base == "a" ? a : base;
        EXPECT_EQ(after.differencesFrom(before, filesOf(changed)), "") << row.what;
        std::vector<int32_t> numbers;
        if (row.call == Call::rename) {
            EXPECT_FALSE(after.has("a.wox") || after.has("a.wod") || after.has("a.lck")) << row.what;
            EXPECT_EQ(readBack(scene, "b", numbers), "") << row.what;
        } else {
            EXPECT_EQ(readBack(scene, "a", numbers), "") << row.what;
        }
        if (row.call == Call::cluster) {
            std::vector<int32_t> ordered;
            for (int32_t n = 1; n <= kRecords; ++n) ordered.push_back(n);
            EXPECT_EQ(numbers, ordered) << row.what << ": the file is clustered by key";
        }
        EXPECT_EQ(readBack(scene, "victim", numbers), "") << row.what;
    }
    isCleanUp();
}

// The snapshot sees every kind of change the table above relies on it to
// see, in a subdirectory too, and nothing where nothing changed.
TEST(HostileNames, TheSnapshotReportsEveryChange) {
    struct Change {
        const char *what;
        std::function<void(const TempDir &)> make;
        std::string report;
    };
    const std::vector<Change> changes = {
        {"nothing", [](const TempDir &) {}, ""},
        {"bytes", [](const TempDir &d) { writeText(d.file("f"), "fXle"); }, "changed f: bytes differ from offset 1 (size 4 -> 4)\n"},
        {"length", [](const TempDir &d) { writeText(d.file("sub/g"), "g+"); }, "changed sub/g: bytes differ from offset 1 (size 1 -> 2)\n"},
        {"added", [](const TempDir &d) { writeText(d.file("sub/new"), ""); }, "added sub/new\n"},
        {"removed", [](const TempDir &d) { ::unlink(d.file("f").c_str()); }, "removed f\n"},
        {"mode", [](const TempDir &d) { ::chmod(d.file("f").c_str(), 0600); }, "changed f: mode 0644 -> 0600\n"},
        {"link target",
         [](const TempDir &d) {
             ::unlink(d.file("l").c_str());
             ASSERT_EQ(::symlink("g", d.file("l").c_str()), 0);
         },
         "changed l: target 'f' -> 'g'\n"},
        {"file to link",
         [](const TempDir &d) {
             ::unlink(d.file("f").c_str());
             ASSERT_EQ(::symlink("g", d.file("f").c_str()), 0);
         },
         "changed f: file became symlink\n"},
    };
    for (const Change &c : changes) {
        TempDir d;
        writeText(d.file("f"), "file");
        ::chmod(d.file("f").c_str(), 0644);
        ::mkdir(d.file("sub").c_str(), 0755);
        writeText(d.file("sub/g"), "g");
        ASSERT_EQ(::symlink("f", d.file("l").c_str()), 0);
        const DirSnapshot before = DirSnapshot::take(d.path());
        ASSERT_EQ(before.entries().size(), 4u);
        c.make(d);
        EXPECT_EQ(DirSnapshot::take(d.path()).differencesFrom(before), c.report) << c.what;
        EXPECT_EQ(DirSnapshot::take(d.path()).differencesFrom(before, [](const std::string &) { return true; }), "")
            << c.what << ": everything ignored";
    }
}

// A lock file made anew takes the permission bits of the index file, not
// those of the process's umask: whoever may change the file may lock it.
TEST(HostileNames, ANewLockFileTakesTheIndexFilesPermissions) {
    const mode_t saved = ::umask(077);
    TempDir dir;
    KeyDesc key = idKey();
    struct Case {
        unsigned indexMode;  // 0: as built
        unsigned lockMode;
    };
    for (const Case c : {Case{0, 0600}, Case{0644, 0644}, Case{0640, 0640}, Case{0660, 0660}}) {
        const std::string what = "index mode " + std::to_string(c.indexMode);
        IsFile *f = isBuild(dir.name("p").c_str(), kRecordLength, 0, &key, ISINOUT);
        ASSERT_NE(f, nullptr) << isErrno(nullptr);
        ASSERT_EQ(isClose(f), 1);
        struct stat st = {};
        if (c.indexMode != 0) {
            ASSERT_EQ(::chmod(dir.file("p.wox").c_str(), c.indexMode), 0);
            ASSERT_EQ(::chmod(dir.file("p.wod").c_str(), c.indexMode), 0);
            ASSERT_EQ(::unlink(dir.file("p.lck").c_str()), 0);
            f = isOpen(dir.name("p").c_str(), ISINOUT);
            ASSERT_NE(f, nullptr) << what << ": " << isErrno(nullptr);
            ASSERT_EQ(isClose(f), 1);
        }
        ASSERT_EQ(::stat(dir.file("p.lck").c_str(), &st), 0) << what;
        EXPECT_EQ(st.st_mode & 0777, c.lockMode) << what;
        ASSERT_EQ(::stat(dir.file("p.wox").c_str(), &st), 0) << what;
        EXPECT_EQ(st.st_mode & 0777, c.indexMode == 0 ? 0600u : c.indexMode) << what << ": built under umask 077";
        ASSERT_EQ(isErase(dir.name("p").c_str()), 1) << what;
    }
    ::umask(saved);
}

}  // namespace
}  // namespace wisam
