// isjournal_sizes_test.cpp - the sizes a journal records for its change's
// start are the sizes the files had when it wrote, whoever changed them
// before: other processes writing between a handle's changes, and a call
// that begins its change before it holds the exclusive lock (the unique-id
// calls).  A start size too small would have a rollback cut off records
// others committed; too large, leave bytes the change never wrote.
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <string>

#include "support/model.h"
#include "support/testing.h"
#include "wisam.h"

namespace wisam::testing {
namespace {

constexpr int kProcesses = 3;  // this one and two children
constexpr int kCallsEach = 400;

// The sizes of the files when a journal header is written.
std::string indexPath, dataPath;
std::atomic<int> headersSeen{0}, headersWrong{0};
long (*realPwrite)(int, const void *, size_t, int64_t) = nullptr;

uint64_t big64(const uint8_t *p) {
    uint64_t v = 0;
    for (int i = 0; i < 8; ++i) v = (v << 8) | p[i];
    return v;
}

int64_t sizeOf(const std::string &path) {
    struct stat st = {};
    return ::stat(path.c_str(), &st) == 0 ? int64_t(st.st_size) : -1;
}

// A journal's header goes out with its change's first segment, while the
// writer holds the exclusive lock: the files cannot move under the look.
long watchingPwrite(int fd, const void *buffer, size_t length, int64_t offset) {
    const auto *b = static_cast<const uint8_t *>(buffer);
    if (offset == 0 && length >= 128 && std::memcmp(b, "wisamjnl", 8) == 0) {
        ++headersSeen;
        if (int64_t(big64(b + 24)) != sizeOf(indexPath) || int64_t(big64(b + 32)) != sizeOf(dataPath)) {
            ++headersWrong;
        }
    }
    return realPwrite(fd, buffer, length, offset);
}

// Random changes on ids of this process's own range, with unique ids taken
// between them; the result is the number of wrong headers (at most 100)
// or 101 when a call failed.
int changeAtRandom(const std::u16string &name, uint32_t seed, int32_t firstId) {
    IsFile *f = isOpen(name.c_str(), ISINOUT | ISMANULOCK);
    if (f == nullptr) return 101;
    Dice dice(seed);
    bool present[200] = {};
    for (int call = 0; call < kCallsEach; ++call) {
        const int32_t slot = int32_t(dice.below(200));
        const int32_t id = firstId + slot;
        const int what = int(dice.below(4));
        int rc = 1;
        if (what == 3) {
            int32_t unique = 0;
            rc = isUniqueId(f, &unique);
        } else if (!present[slot]) {
            rc = isWrite(f, modelRecord(id, slot % kModelGroups, 0).data());
            present[slot] = rc == 1;
        } else if (what == 0) {
            std::vector<uint8_t> record = modelRecord(id, 0, 0);
            rc = isDelete(f, record.data());
            present[slot] = rc != 1;
        } else {
            rc = isRewrite(f, modelRecord(id, (slot + call) % kModelGroups, call).data());
        }
        if (rc != 1) {
            isClose(f);
            return 101;
        }
    }
    isClose(f);
    return std::min(headersWrong.load(), 100);
}

TEST(JournalSizes, EveryHeaderNamesTheSizesTheFilesHadWhenItsChangeWrote) {
    TempDir dir;
    const std::u16string name = dir.name("m");
    indexPath = dir.file("m.wox");
    dataPath = dir.file("m.wod");
    {
        KeyDesc id = modelIdKey();
        IsFile *f = isBuild(name.c_str(), kModelLength, 0, &id, ISINOUT | ISMANULOCK);
        ASSERT_NE(f, nullptr);
        ASSERT_EQ(isClose(f), 1);
    }
    const int32_t savedMode = isJournalMode;
    isJournalMode = 1;
    FaultScope scope;
    realPwrite = sysCalls.pwrite;
    sysCalls.pwrite = watchingPwrite;
    headersSeen = headersWrong = 0;
    int pids[kProcesses - 1];
    for (int c = 0; c < kProcesses - 1; ++c) {
        const std::u16string childName = spelling(dir, "m", c + 1);
        pids[c] = startChild([&, c] { return changeAtRandom(childName, 7u + uint32_t(c), 1000 * (c + 1)); });
    }
    const int mine = changeAtRandom(spelling(dir, "m", kProcesses), 5u, 0);
    const int seen = headersSeen;
    isJournalMode = savedMode;
    for (int c = 0; c < kProcesses - 1; ++c) EXPECT_EQ(waitChild(pids[c]), 0) << "child " << c;
    EXPECT_EQ(mine, 0);
    EXPECT_GT(seen, kCallsEach / 2);  // the look above was made
    IsFile *f = isOpen(name.c_str(), ISINPUT | ISMANULOCK);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(isCheckData(f), 0);
    EXPECT_EQ(isCheckIndex(f, 1), 0);
    isClose(f);
}

}  // namespace
}  // namespace wisam::testing
