// Variable-length records end to end: the bytes of blocks, directories,
// references and the space table for hand-computed cases; the packing code;
// model runs (plain and packed, every cache configuration, reopened in
// between) checked through the calls, through an independent decoder of the
// files and with every index-file block accounted for; several processes at
// once; damaged chains and lists; failing system calls; transactions.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "support/faults.h"
#include "support/model.h"
#include "support/testing.h"
#include "support/treecheck.h"
#include "support/txnlog.h"
#include "support/vardisk.h"
#include "varlen/ispack.h"
#include "wisam.h"

namespace wisam {
namespace {

using namespace testing;
using Bytes = std::vector<uint8_t>;

// Record layout: a 4-byte id (the primary key), a 4-byte group (an index
// with duplicates added by some tests), 4 filler bytes; the variable part
// follows.
constexpr int kFixed = 12;
constexpr int kMax = kFixed + 5000;
constexpr int kVarMode = ISINOUT | ISMANULOCK | ISVARLEN;
constexpr size_t kBuffer = 32511 + 16;  // any record of any file here

KeyDesc groupKey() { return keyAt(4, 4, ISTYPE_LONG, ISKEY_DUPS); }

// A record of `length` bytes (at least kFixed) for `id`: runs of zeros,
// blanks and digit zeros between random bytes, so that packing finds work.
Bytes makeRecord(int32_t id, int32_t length, Dice &dice) {
    Bytes r(static_cast<size_t>(length));
    stLong(id, r.data());
    stLong(id % 7, r.data() + 4);
    for (int32_t i = 8; i < length;) {
        const int32_t run = 1 + dice.below(dice.below(4) == 0 ? 120 : 8);
        const int kind = dice.below(5);
        const uint8_t fill = kind == 0 ? 0x00 : kind == 1 ? 0x20 : kind == 2 ? 0x30 : 0;
        for (int32_t j = 0; j < run && i < length; ++j, ++i) {
            r[static_cast<size_t>(i)] = kind <= 2 ? fill : static_cast<uint8_t>(dice.below(256));
        }
    }
    return r;
}

// Lengths the runs draw: many short parts, some of several blocks, the
// edges of a block (994 k and 994 k + r), none and the maximum.
int32_t drawLength(Dice &dice, int32_t max) {
    const int pick = dice.below(20);
    if (pick < 10) return kFixed + dice.below(200);
    if (pick < 14) return kFixed + 200 + dice.below(1000);
    if (pick < 16) return kFixed + 994 * (1 + dice.below(3)) + dice.below(3) - 1;
    if (pick < 17) return kFixed;
    if (pick < 18) return max;
    return kFixed + dice.below(max - kFixed + 1);
}

IsFile *buildVar(const TempDir &dir, const std::string &base, bool packed, int max = kMax, int extra = 0) {
    KeyDesc id = keyAt(0, 4, ISTYPE_LONG);
    return isBuild(dir.name(base).c_str(), kFixed, max, &id, kVarMode | (packed ? ISPACKED : 0) | extra);
}

int writeRecord(IsFile *f, const Bytes &r) {
    isSetlen(f, static_cast<int>(r.size()));
    return isWrite(f, const_cast<uint8_t *>(r.data()));
}

int rewriteRecord(IsFile *f, const Bytes &r) {
    isSetlen(f, static_cast<int>(r.size()));
    return isRewrite(f, const_cast<uint8_t *>(r.data()));
}

int deleteRecord(IsFile *f, int32_t id) {
    uint8_t key[kMax] = {};
    stLong(id, key);
    return isDelete(f, key);
}

// The record of `id` through the primary index, or "" with `why` set.
Bytes readRecord(IsFile *f, int32_t id, std::string &why) {
    Bytes r(kBuffer, 0xEE);
    stLong(id, r.data());
    if (isIndex(f, 1) != 1 || isRead(f, r.data(), modeEqual) != 1) {
        why = "read of " + std::to_string(id) + ": " + errorText(f);
        return {};
    }
    r.resize(static_cast<size_t>(isReclen(f)));
    return r;
}

// Every record of `model` read back equal (and, with `whole`, no other
// record in the file), isCheckVarlen clean with its counts adding up.
std::string compareVar(IsFile *f, const std::map<int32_t, Bytes> &model, bool whole = true) {
    for (const auto &[id, expected] : model) {
        std::string why;
        const Bytes got = readRecord(f, id, why);
        if (!why.empty()) return why;
        if (got != expected) {
            return "record " + std::to_string(id) + ": " + std::to_string(got.size()) + " bytes read, " +
                   std::to_string(expected.size()) + " written";
        }
    }
    IsamInfo info{};
    if (isIsamInfo(f, &info) != 1 || (whole && info.recordCount != static_cast<int32_t>(model.size()))) {
        return "isIsamInfo counts " + std::to_string(info.recordCount) + " of " + std::to_string(model.size());
    }
    int32_t stats[6] = {};
    if (const int bits = isCheckVarlen(f, stats); bits != 0) return "isCheckVarlen " + std::to_string(bits);
    if (stats[0] + stats[2] != stats[4]) return "listed + unlisted blocks differ from blocks in use";
    return "";
}

// The files on disk against the model, decoded independently, with every
// block of the index file accounted for: tree nodes, free lists and the
// blocks the chains use.  The handle must have written everything.
std::string compareDisk(IsFile *f, const std::string &base, const std::map<int32_t, Bytes> &model, bool packed) {
    const VarFiles files(base, kFixed, packed);
    std::set<uint32_t> blocks;
    std::map<int32_t, Bytes> onDisk;
    for (uint32_t r = 1; r <= files.records(); ++r) {
        if (!files.live(r)) continue;
        Bytes record;
        if (std::string why = files.record(r, record, blocks); !why.empty()) {
            return "record " + std::to_string(r) + ": " + why;
        }
        onDisk[static_cast<int32_t>(beField(record.data(), 4))] = record;
    }
    if (onDisk != model) return "the data file holds other records than written";
    const FileCheck check = checkIndexFile(f, base + ".wox", {blocks.begin(), blocks.end()});
    return check.ok() ? "" : check.report();
}

// ---------------------------------------------------------------------
// Bytes on disk.

TEST(VarLayout, BlocksReferencesAndSpaceTableAsComputedByHand) {
    TempDir dir;
    Dice dice(1);
    IsFile *f = buildVar(dir, "v", false);
    ASSERT_NE(f, nullptr) << isErrno(nullptr);
    const Bytes r1 = makeRecord(1, kFixed, dice), r2 = makeRecord(2, kFixed + 100, dice),
                r3 = makeRecord(3, kFixed + 2000, dice), r4 = makeRecord(4, kFixed + 994, dice);
    for (const Bytes *r : {&r1, &r2, &r3, &r4}) ASSERT_EQ(writeRecord(f, *r), 1) << errorText(f);
    ASSERT_EQ(isClose(f), 1);

    VarFiles files(dir.file("v"), kFixed, false);
    auto reference = [&](uint32_t record) { return hexBytes(files.slotAt(record) + kFixed + 1, 6); };
    EXPECT_EQ(reference(1), "00 00 00 00 00 00");
    EXPECT_EQ(reference(2), "00 64 00 00 00 04");  // 100 bytes, entry 0 of block 4
    EXPECT_EQ(reference(3), "07 D0 00 00 00 06");  // 2000 bytes from block 6
    EXPECT_EQ(reference(4), "03 E2 00 00 00 07");  // exactly one full block

    // Block 4: the 100 bytes of record 2 and the 12-byte tail of record 3.
    Bytes expected(kVarN, 0);
    const uint8_t header4[] = {0, 0, 0x7E, 0x26, 0, 0, 0, 0, 0, 0, 0, 0, 0x03, 0x6E, 0x00, 0x87,
                               0, 0, 0, 0, 0, 2, 4};  // free 878, end 135, 2 entries, list 4
    std::memcpy(expected.data(), header4, sizeof header4);
    std::memcpy(&expected[23], &r2[kFixed], 100);
    std::memcpy(&expected[123], &r3[kFixed + 1988], 12);
    const uint8_t directory[] = {0x00, 0x0C, 0x00, 0x7B, 0x00, 0x64, 0x00, 0x17, 0x7C, 0, 0};
    std::memcpy(&expected[kVarN - 11], directory, sizeof directory);
    EXPECT_EQ(hexBytes(files.block(4), kVarN), hexBytes(expected.data(), kVarN));

    // Blocks 6 and 5 hold bytes 0..993 and 994..1987 of record 3's part;
    // 6 continues to 5, 5 to entry 1 of block 4.  Block 7 does not continue.
    EXPECT_EQ(hexBytes(files.block(6), 23), "00 00 7E 26 00 00 00 00 00 00 00 00 00 00 03 F9 00 00 00 05 01 01 00");
    EXPECT_EQ(hexBytes(files.block(5), 23), "00 00 7E 26 00 00 00 00 00 00 00 00 00 00 03 F9 01 00 00 04 01 01 00");
    EXPECT_EQ(hexBytes(files.block(7), 23), "00 00 7E 26 00 00 00 00 00 00 00 00 00 00 03 F9 00 00 00 00 00 01 00");
    EXPECT_EQ(0, std::memcmp(files.block(6) + 23, &r3[kFixed], 994));
    EXPECT_EQ(0, std::memcmp(files.block(5) + 23, &r3[kFixed + 994], 994));
    EXPECT_EQ(hexBytes(files.block(5) + kVarN - 7, 7), "03 E2 00 17 7C 00 00");
    // The space table: block 4 heads list 4.
    EXPECT_EQ(hexBytes(files.wox.data() + 80, 20), "00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 04");
}

TEST(VarLayout, ReleasingClosesUpReusesEntriesAndFreesEmptyBlocks) {
    TempDir dir;
    Dice dice(2);
    IsFile *f = buildVar(dir, "v", false);
    ASSERT_NE(f, nullptr);
    const Bytes a = makeRecord(1, kFixed + 100, dice), b = makeRecord(2, kFixed + 30, dice),
                c = makeRecord(3, kFixed + 40, dice), d = makeRecord(4, kFixed + 50, dice);
    for (const Bytes *r : {&a, &b, &c}) ASSERT_EQ(writeRecord(f, *r), 1);
    ASSERT_EQ(deleteRecord(f, 1), 1);  // the first of three fragments in block 4
    {
        const VarFiles files(dir.file("v"), kFixed, false);
        const uint8_t *blk = files.block(4);
        // b and c moved down by 100; entry 0 is free; free 998 - 12 - 70.
        EXPECT_EQ(hexBytes(blk + 12, 4), "03 94 00 5D");
        EXPECT_EQ(hexBytes(blk + kVarN - 15, 12), "00 28 00 35 00 1E 00 17 00 00 00 00");
        EXPECT_EQ(0, std::memcmp(blk + 23, &b[kFixed], 30));
        EXPECT_EQ(0, std::memcmp(blk + 53, &c[kFixed], 40));
    }
    ASSERT_EQ(writeRecord(f, d), 1);  // takes the free entry 0, at the end of the area
    {
        const VarFiles files(dir.file("v"), kFixed, false);
        // d takes record number 1, freed by the delete.
        EXPECT_EQ(hexBytes(files.slotAt(1) + kFixed + 1, 6), "00 32 00 00 00 04");
        EXPECT_EQ(hexBytes(files.block(4) + kVarN - 7, 4), "00 32 00 5D");
        EXPECT_EQ(hexBytes(files.block(4) + 12, 2), "03 62");  // no new entry: 4 bytes not spent
    }
    for (int32_t id : {2, 3, 4}) ASSERT_EQ(deleteRecord(f, id), 1);
    // The block went back to the index free list and left list 4.
    const VarFiles files(dir.file("v"), kFixed, false);
    EXPECT_EQ(hexBytes(files.wox.data() + 80, 20), "00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00");
    const FileCheck check = checkIndexFile(f, dir.file("v") + ".wox");
    EXPECT_TRUE(check.ok()) << check.report();
    // The next part reuses it.
    ASSERT_EQ(writeRecord(f, a), 1);
    EXPECT_EQ(hexBytes(VarFiles(dir.file("v"), kFixed, false).slotAt(1) + kFixed + 1, 6), "00 64 00 00 00 04");
    ASSERT_EQ(isClose(f), 1);
}

// Several lists: a block with 150 free bytes is on no list; one with
// 350 on list 1; a search for a 300-byte tail goes to list 2 and up only.
TEST(VarLayout, ListsFollowFreeSpaceAndSearchesReadOneList) {
    TempDir dir;
    Dice dice(3);
    IsFile *f = buildVar(dir, "v", false);
    ASSERT_NE(f, nullptr);
    ASSERT_EQ(writeRecord(f, makeRecord(1, kFixed + 844, dice)), 1);  // block 4: free 150, no list
    ASSERT_EQ(writeRecord(f, makeRecord(2, kFixed + 644, dice)), 1);  // block 5: free 350, list 1
    ASSERT_EQ(writeRecord(f, makeRecord(3, kFixed + 300, dice)), 1);  // needs list 2+: block 6
    ASSERT_EQ(writeRecord(f, makeRecord(4, kFixed + 100, dice)), 1);  // list 1 first: block 5
    const VarFiles files(dir.file("v"), kFixed, false);
    EXPECT_EQ(files.spaceHead(1), 5u);  // 246 free bytes left: still list 1
    EXPECT_EQ(files.block(4)[22], 0);
    EXPECT_EQ(hexBytes(files.slotAt(3) + kFixed + 1, 6), "01 2C 00 00 00 06");
    EXPECT_EQ(hexBytes(files.slotAt(4) + kFixed + 1, 6), "00 64 01 00 00 05");
    EXPECT_EQ(files.block(5)[22], 1);
    EXPECT_EQ(beField(files.block(5) + 12, 2), 246u);
    EXPECT_EQ(files.spaceHead(3), 6u);  // 998 - 304 = 694 free
    ASSERT_EQ(isClose(f), 1);
}

// ---------------------------------------------------------------------
// Packing.

TEST(VarPack, HandComputedFormsAndRoundTrips) {
    auto pack = [](const Bytes &in) {
        Bytes out(in.size() + 3);
        out.resize(static_cast<size_t>(packBytes(in.data(), static_cast<int32_t>(in.size()), out.data())));
        return hexBytes(out.data(), out.size());
    };
    EXPECT_EQ(pack(Bytes(60, ' ')), "BC 00");
    EXPECT_EQ(pack({'A', 'B', 'C'}), "00 00 03 41 42 43");
    Bytes a10(11, 0);
    a10[0] = 0x41;
    EXPECT_EQ(pack(a10), "01 4A 00 41");
    EXPECT_EQ(pack(Bytes(130, '0')), "FF FF C4 00");        // 63 + 63 + 4 digit zeros
    EXPECT_EQ(pack(Bytes(3, 0)), "00 00 03 00 00 00");      // saving 2 costs 2: plain
    Bytes mixed = {'x', ' ', ' ', ' ', ' ', 'y', 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(pack(mixed), "01 84 01 46 00 78 79");

    // Random inputs of every shape: unpacking gives the input back, the
    // packed form is never longer than the plain one, and the test's own
    // decoder agrees.
    Dice dice(4);
    for (int round = 0; round < 3000; ++round) {
        const int32_t n = 1 + dice.below(round % 10 == 0 ? 4000 : 300);
        Bytes in = makeRecord(round, n + 8, dice);
        in.erase(in.begin(), in.begin() + 8);
        Bytes packed(in.size() + 3);
        const int32_t length = packBytes(in.data(), n, packed.data());
        ASSERT_LE(length, n + 3);
        packed.resize(static_cast<size_t>(length));
        Bytes out(static_cast<size_t>(n));
        ASSERT_EQ(unpackBytes(packed.data(), length, out.data(), n), n);
        ASSERT_EQ(out, in) << round;
        Bytes mine;
        ASSERT_TRUE(unpackForTest(packed, mine));
        ASSERT_EQ(mine, in);
        // Too little room, or a packed form cut short, is refused.
        ASSERT_EQ(unpackBytes(packed.data(), length, out.data(), n - 1), -1);
        if (length > 1) {
            ASSERT_EQ(unpackBytes(packed.data(), length - 1, out.data(), n), -1);
        }
    }
    // Garbage never unpacks past its room.
    for (int round = 0; round < 3000; ++round) {
        Bytes junk(static_cast<size_t>(1 + dice.below(40)));
        for (uint8_t &x : junk) x = static_cast<uint8_t>(dice.below(4) == 0 ? 0 : dice.below(256));
        Bytes out(64);
        const int32_t got = unpackBytes(junk.data(), static_cast<int32_t>(junk.size()), out.data(), 64);
        ASSERT_LE(got, 64);
    }
}

TEST(VarPack, PackedFileStoresTheCodedForm) {
    TempDir dir;
    IsFile *f = buildVar(dir, "p", true);
    ASSERT_NE(f, nullptr);
    Bytes blanks(kFixed + 60, ' ');
    stLong(1, blanks.data());
    Bytes abc(kFixed + 3, 0);
    stLong(2, abc.data());
    std::memcpy(&abc[kFixed], "ABC", 3);
    ASSERT_EQ(writeRecord(f, blanks), 1);
    ASSERT_EQ(writeRecord(f, abc), 1);
    std::string why;
    EXPECT_EQ(readRecord(f, 1, why), blanks) << why;
    EXPECT_EQ(readRecord(f, 2, why), abc) << why;
    ASSERT_EQ(isClose(f), 1);
    const VarFiles files(dir.file("p"), kFixed, true);
    EXPECT_EQ(hexBytes(files.slotAt(1) + kFixed + 1, 6), "00 02 00 00 00 04");
    EXPECT_EQ(hexBytes(files.block(4) + 23, 8), "BC 00 00 00 03 41 42 43");
    // The packed bit lives in the feature flags: a plain open sees it.
    IsFile *g = isOpen(dir.name("p").c_str(), kVarMode);
    ASSERT_NE(g, nullptr);
    EXPECT_EQ(readRecord(g, 1, why), blanks) << why;
    ASSERT_EQ(isClose(g), 1);
}

// ---------------------------------------------------------------------
// Lengths, calls and errors.

TEST(VarCalls, LengthsReclenAndTheCallsThatReadRecords) {
    TempDir dir;
    Dice dice(5);
    IsFile *f = buildVar(dir, "v", false);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(isReclen(f), kFixed);  // after a build: the fixed part
    const std::vector<uint8_t> before = readFile(dir.file("v") + ".wox");
    Bytes big = makeRecord(1, kMax + 1, dice);
    ASSERT_EQ(writeRecord(f, big), 0);
    EXPECT_EQ(isErrno(f), 132);
    Bytes shorter = makeRecord(1, kFixed - 1, dice);
    ASSERT_EQ(writeRecord(f, shorter), 0);
    EXPECT_EQ(isErrno(f), 102);
    isSetlen(f, 40000);  // wraps to a negative length
    ASSERT_EQ(isWrite(f, big.data()), 0);
    EXPECT_EQ(isErrno(f), 102);
    EXPECT_EQ(readFile(dir.file("v") + ".wox"), before);

    const Bytes r1 = makeRecord(1, kFixed + 1500, dice), r2 = makeRecord(2, kFixed, dice);
    ASSERT_EQ(writeRecord(f, r1), 1);
    ASSERT_EQ(writeRecord(f, r2), 1);
    Bytes out(kMax, 0);
    ASSERT_EQ(isData(f, out.data(), 1), 1);
    EXPECT_EQ(isReclen(f), kFixed + 1500);
    EXPECT_EQ(Bytes(out.begin(), out.begin() + kFixed + 1500), r1);
    ASSERT_EQ(isRead(f, out.data(), modeLast), 1);  // primary order: id 2
    EXPECT_EQ(isReclen(f), kFixed);
    ASSERT_EQ(isIndex(f, 0), 1);  // record-number order
    ASSERT_EQ(isRead(f, out.data(), modeFirst), 1);
    EXPECT_EQ(isReclen(f), kFixed + 1500);
    EXPECT_EQ(Bytes(out.begin(), out.begin() + kFixed + 1500), r1);
    // isRewCurr shrinks the current record to its fixed part; isRewRec
    // grows record 2.
    isSetlen(f, kFixed);
    ASSERT_EQ(isRewCurr(f, out.data()), 1);
    const Bytes r2b = makeRecord(2, kMax, dice);
    isSetlen(f, kMax);
    ASSERT_EQ(isRewRec(f, 2, const_cast<uint8_t *>(r2b.data())), 1);
    IsamInfo info{};
    ASSERT_EQ(isClose(f), 1);
    f = isOpen(dir.name("v").c_str(), kVarMode);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(isReclen(f), kMax);  // after an open: the maximum
    ASSERT_EQ(isIsamInfo(f, &info), 1);
    EXPECT_EQ(info.recordSize, kMax);
    EXPECT_EQ(info.blockSize, 1024);
    EXPECT_EQ(isReclen(f), kFixed);
    std::string why;
    EXPECT_EQ(readRecord(f, 1, why), Bytes(r1.begin(), r1.begin() + kFixed)) << why;
    EXPECT_EQ(readRecord(f, 2, why), r2b) << why;
    // Adding an index reads every record; the new index delivers whole ones.
    KeyDesc group = groupKey();
    ASSERT_EQ(isAddIndex(f, &group), 1) << errorText(f);
    Bytes key(kMax, 0);
    stLong(2 % 7, key.data() + 4);
    ASSERT_EQ(isStart(f, &group, 0, key.data(), modeEqual), 1);
    ASSERT_EQ(isRead(f, out.data(), modeCurrent), 1);
    EXPECT_EQ(Bytes(out.begin(), out.begin() + isReclen(f)), r2b);
    ASSERT_EQ(isDelIndex(f, &group), 1);
    // writeToCurRec changes the fixed part of the current record (2) and
    // keeps its own variable part, though the last slot read was record 1's.
    EXPECT_EQ(readRecord(f, 2, why), r2b) << why;
    ASSERT_EQ(isData(f, out.data(), 1), 1);
    Bytes r2c = r2b;
    r2c[10] = '!';
    ASSERT_EQ(writeToCurRec(f, r2c.data()), 1);
    EXPECT_EQ(compareVar(f, {{1, Bytes(r1.begin(), r1.begin() + kFixed)}, {2, r2c}}), "");
    ASSERT_EQ(isClose(f), 1);

    // A file whose dictionary gives a maximum above 32511, or blocks of
    // another size than 1024, is refused as damaged.
    const std::vector<uint8_t> wox = readFile(dir.file("v") + ".wox");
    for (const auto &[offset, value] : {std::pair{59, 32600}, std::pair{6, 2047}, std::pair{59, kFixed}}) {
        std::vector<uint8_t> damaged = wox;
        damaged[static_cast<size_t>(offset)] = static_cast<uint8_t>(value >> 8);
        damaged[static_cast<size_t>(offset) + 1] = static_cast<uint8_t>(value);
        writeFile(dir.file("v") + ".wox", damaged);
        FatalCapture quiet;
        EXPECT_EQ(isOpen(dir.name("v").c_str(), kVarMode), nullptr) << offset;
        EXPECT_EQ(isErrno(nullptr), 105) << offset;
    }
    writeFile(dir.file("v") + ".wox", wox);
}

// ---------------------------------------------------------------------
// Model runs.

struct VarModel {
    std::map<int32_t, Bytes> rows;
};

// One random operation on `f` and the model; "" or the problem.
std::string randomOp(IsFile *f, VarModel &m, Dice &dice, int32_t idBase, int32_t max) {
    const int32_t id = idBase + dice.below(60);
    const bool present = m.rows.count(id) != 0;
    const int pick = dice.below(10);
    if (!present || pick < 3) {
        const Bytes r = makeRecord(id, drawLength(dice, max), dice);
        const int ok = writeRecord(f, r);
        if (present) return ok == 0 && isErrno(f) == 100 ? "" : "a duplicate write gave " + errorText(f);
        if (ok != 1) return "write of " + std::to_string(r.size()) + " bytes: " + errorText(f);
        m.rows[id] = r;
        return "";
    }
    if (pick < 7) {
        const Bytes r = makeRecord(id, drawLength(dice, max), dice);
        if (rewriteRecord(f, r) != 1) return "rewrite to " + std::to_string(r.size()) + " bytes: " + errorText(f);
        m.rows[id] = r;
        return "";
    }
    if (pick < 9) {
        if (deleteRecord(f, id) != 1) return "delete: " + errorText(f);
        m.rows.erase(id);
        return "";
    }
    std::string why;
    const Bytes got = readRecord(f, id, why);
    if (!why.empty()) return why;
    return got == m.rows[id] ? "" : "record " + std::to_string(id) + " read back different";
}

class VarModelRun : public ::testing::TestWithParam<std::tuple<int, bool>> {};

TEST_P(VarModelRun, RandomWritesRewritesDeletesAgainstAMap) {
    const ModelConfig &config = kModelConfigs[std::get<0>(GetParam())];
    const bool packed = std::get<1>(GetParam());
    ModelSwitches switches(config);
    TempDir dir;
    const std::string base = dir.file("m");
    IsFile *f = buildVar(dir, "m", packed);
    ASSERT_NE(f, nullptr) << isErrno(nullptr);
    const int mode = kVarMode | (config.exclusive ? ISEXCLLOCK : 0);
    VarModel m;
    Dice dice(static_cast<uint32_t>(7 + std::get<0>(GetParam()) * 2 + packed));
    for (int round = 0; round < 6; ++round) {
        if (config.writeBack) {
            ASSERT_EQ(isSetCustomLock(f, 2), 1);
        }
        for (int op = 0; op < 150; ++op) {
            const std::string why = randomOp(f, m, dice, 0, kMax);
            ASSERT_EQ(why, "") << "round " << round << " op " << op;
        }
        if (config.writeBack) {
            ASSERT_EQ(isSetCustomLock(f, 0), 1) << errorText(f);
        }
        ASSERT_EQ(compareVar(f, m.rows), "") << "round " << round;
        ASSERT_EQ(compareDisk(f, base, m.rows, packed), "") << "round " << round;
        ASSERT_EQ(isClose(f), 1);
        f = isOpen(dir.name("m").c_str(), mode);
        ASSERT_NE(f, nullptr) << isErrno(nullptr);
    }
    ASSERT_EQ(compareVar(f, m.rows), "");
    ASSERT_EQ(isClose(f), 1);
}

INSTANTIATE_TEST_SUITE_P(Configs, VarModelRun, ::testing::Combine(::testing::Range(0, 6), ::testing::Bool()),
                         [](const auto &info) {
                             return std::string(kModelConfigs[std::get<0>(info.param)].name) +
                                    (std::get<1>(info.param) ? "Packed" : "Plain");
                         });

// The longest records a file can have, in a file with the index mask.
TEST(VarModel, LongestRecordsWithIndexMask) {
    TempDir dir;
    constexpr int kLongest = 32511;
    IsFile *f = buildVar(dir, "l", false, kLongest, ISINDEXMASK);
    ASSERT_NE(f, nullptr) << isErrno(nullptr);
    VarModel m;
    Dice dice(11);
    for (int op = 0; op < 120; ++op) ASSERT_EQ(randomOp(f, m, dice, 0, kLongest), "") << op;
    ASSERT_EQ(compareVar(f, m.rows), "");
    ASSERT_EQ(isClose(f), 1);
    const VarFiles files(dir.file("l"), kFixed, false, true);
    std::set<uint32_t> blocks;
    for (uint32_t r = 1; r <= files.records(); ++r) {
        Bytes record;
        if (files.live(r)) {
            ASSERT_EQ(files.record(r, record, blocks), "") << r;
        }
    }
}

// Three processes write, rewrite, delete and read records of one file at
// once, each in ids of its own; each checks its own records as it goes,
// and at the end the parent finds what each wrote (replaying the same
// dice) and a clean check.
TEST(VarProcesses, SeveralWritersShareOneFile) {
    TempDir dir;
    IsFile *f = buildVar(dir, "s", true);
    ASSERT_NE(f, nullptr);
    ASSERT_EQ(isClose(f), 1);
    constexpr int kChildren = 3, kOps = 200;
    auto run = [&](int child, IsFile *h) {
        VarModel m;
        Dice dice(static_cast<uint32_t>(100 + child));
        for (int op = 0; op < kOps; ++op) {
            if (h == nullptr) {
                // Replaying: the model only, with the same draws.
                const int32_t id = child * 1000 + dice.below(60);
                const bool present = m.rows.count(id) != 0;
                const int pick = dice.below(10);
                if (!present || pick < 3) {
                    Bytes r = makeRecord(id, drawLength(dice, kMax), dice);
                    if (!present) m.rows[id] = r;
                } else if (pick < 7) {
                    m.rows[id] = makeRecord(id, drawLength(dice, kMax), dice);
                } else if (pick < 9) {
                    m.rows.erase(id);
                }
                continue;
            }
            if (!randomOp(h, m, dice, child * 1000, kMax).empty()) return m;
        }
        return m;
    };
    std::vector<int> pids;
    for (int child = 0; child < kChildren; ++child) {
        pids.push_back(startChild([&, child] {
            IsFile *h = isOpen(spelling(dir, "s", child + 1).c_str(), kVarMode);
            if (h == nullptr) return 2;
            const VarModel m = run(child, h);
            const int result = compareVar(h, m.rows, false).empty() ? 0 : 1;
            isClose(h);
            return result;
        }));
    }
    for (int pid : pids) EXPECT_EQ(waitChild(pid), 0);
    std::map<int32_t, Bytes> all;
    for (int child = 0; child < kChildren; ++child) {
        const VarModel m = run(child, nullptr);
        all.insert(m.rows.begin(), m.rows.end());
    }
    f = isOpen(dir.name("s").c_str(), kVarMode);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(compareVar(f, all), "");
    EXPECT_EQ(compareDisk(f, dir.file("s"), all, true), "");
    ASSERT_EQ(isClose(f), 1);
}

// ---------------------------------------------------------------------
// Damage.

// A file with record 1 (100 bytes in block 4), record 2 (2000 bytes: full
// blocks 6 and 5, the tail in block 4) and record 3 (994 bytes, block 7).
class VarDamage : public ::testing::Test {
protected:
    void SetUp() override {
        Dice dice(21);
        IsFile *f = buildVar(dir, "d", false);
        ASSERT_NE(f, nullptr);
        rows[1] = makeRecord(1, kFixed + 100, dice);
        rows[2] = makeRecord(2, kFixed + 2000, dice);
        rows[3] = makeRecord(3, kFixed + 994, dice);
        for (const auto &[id, r] : rows) ASSERT_EQ(writeRecord(f, r), 1);
        ASSERT_EQ(isClose(f), 1);
        wox = readFile(base() + ".wox");
        wod = readFile(base() + ".wod");
    }
    std::string base() const { return dir.file("d"); }
    void restore() const {
        writeFile(base() + ".wox", wox);
        writeFile(base() + ".wod", wod);
    }
    // Block n, byte `at`, set to `value` (big-endian, `width` bytes).
    void poke(std::vector<uint8_t> &file, size_t at, uint32_t value, int width) {
        for (int i = width - 1; i >= 0; --i, value >>= 8) file[at + static_cast<size_t>(i)] = static_cast<uint8_t>(value);
    }

    TempDir dir;
    std::map<int32_t, Bytes> rows;
    std::vector<uint8_t> wox, wod;
};

TEST_F(VarDamage, DamagedChainsAndListsRaise105AndChangeNothing) {
    const size_t b4 = 3 * kVarN, b5 = 4 * kVarN, b6 = 5 * kVarN;
    const size_t ref2 = static_cast<size_t>(kFixed + 7) + kFixed + 1;  // slot 2's reference
    struct Damage {
        const char *name;
        std::function<void(std::vector<uint8_t> &ox, std::vector<uint8_t> &od)> apply;
        int32_t victim;  // the record whose chain is damaged
        int checkBits;   // what isCheckVarlen reports
    };
    const std::vector<Damage> damages = {
        {"wrong magic in a full block", [&](auto &ox, auto &) { ox[b6 + 3] = 0x27; }, 2, 0x8},
        {"a full block continuing to itself", [&](auto &ox, auto &) { poke(ox, b5 + 17, 5, 3); ox[b5 + 16] = 0; }, 2, 0x8000},
        {"a loop back to the first block", [&](auto &ox, auto &) { poke(ox, b5 + 17, 6, 3); ox[b5 + 16] = 0; }, 2, 0x8000},
        {"a continuation into a free entry", [&](auto &ox, auto &) { ox[b5 + 16] = 9; }, 2, 0x8},
        {"a continuation into the shared block's other record", [&](auto &ox, auto &) { ox[b5 + 16] = 0; }, 2, 0x8000},
        {"a tail that continues", [&](auto &ox, auto &) { ox[b4 + 20] = 1; poke(ox, b4 + 17, 7, 3); }, 1, 0x8},
        {"a stored length one too long", [&](auto &, auto &od) { poke(od, ref2, 2001, 2); }, 2, 0x8000},
        {"a stored length one too short", [&](auto &, auto &od) { poke(od, ref2, 1999, 2); }, 2, 0x8000},
        {"a reference past the last block", [&](auto &, auto &od) { poke(od, ref2 + 3, 900, 3); }, 2, 0x8},
        {"a reference to the dictionary", [&](auto &, auto &od) { poke(od, ref2 + 3, 1, 3); }, 2, 0x8},
        {"a fragment leaving the area", [&](auto &ox, auto &) { poke(ox, b4 + kVarN - 5, 1000, 2); }, 1, 0x8},
        {"an end offset the free bytes deny", [&](auto &ox, auto &) { poke(ox, b4 + 14, 900, 2); }, 1, 0x8},
        {"a directory count reaching the area", [&](auto &ox, auto &) { ox[b4 + 21] = 250; }, 1, 0x8},
    };
    for (const Damage &damage : damages) {
        SCOPED_TRACE(damage.name);
        std::vector<uint8_t> ox = wox, od = wod;
        damage.apply(ox, od);
        writeFile(base() + ".wox", ox);
        writeFile(base() + ".wod", od);
        FatalCapture quiet;
        IsFile *f = isOpen(dir.name("d").c_str(), kVarMode);
        ASSERT_NE(f, nullptr);
        std::string why;
        EXPECT_TRUE(readRecord(f, damage.victim, why).empty());
        EXPECT_EQ(isErrno(f), 105) << why;
        Bytes grown = rows[damage.victim];
        grown.resize(grown.size() + 1500, 'x');
        EXPECT_EQ(rewriteRecord(f, grown), 0);
        EXPECT_EQ(isErrno(f), 105);
        EXPECT_EQ(deleteRecord(f, damage.victim), 0);
        EXPECT_EQ(isErrno(f), 105);
        EXPECT_EQ(isCheckVarlen(f, nullptr), damage.checkBits);
        // Whatever failed left the files as they were.
        EXPECT_EQ(readFile(base() + ".wox"), ox);
        EXPECT_EQ(readFile(base() + ".wod"), od);
        ASSERT_EQ(isClose(f), 1);
    }
    restore();
}

TEST_F(VarDamage, DamagedListsAreReportedAndNeverFollowedIntoAWrongBlock) {
    const size_t b4 = 3 * kVarN;
    struct ListDamage {
        const char *name;
        std::function<void(std::vector<uint8_t> &ox)> apply;
        int checkBits;
    };
    const std::vector<ListDamage> damages = {
        {"list 0 not empty", [&](auto &ox) { poke(ox, 80, 4, 4); }, 0x800},
        {"a full block filed on list 4", [&](auto &ox) { poke(ox, 96, 6, 4); }, 0x1000},
        {"a key-description block on a list", [&](auto &ox) { poke(ox, 96, 2, 4); }, 0x40},
        {"a head whose previous link is set", [&](auto &ox) { poke(ox, b4 + 8, 7, 4); }, 0x2000},
        {"a list that loops", [&](auto &ox) { poke(ox, b4 + 4, 4, 4); }, 0x2000},
    };
    Dice dice(22);
    for (const ListDamage &damage : damages) {
        SCOPED_TRACE(damage.name);
        std::vector<uint8_t> ox = wox;
        damage.apply(ox);
        writeFile(base() + ".wox", ox);
        writeFile(base() + ".wod", wod);
        FatalCapture quiet;
        IsFile *f = isOpen(dir.name("d").c_str(), kVarMode);
        ASSERT_NE(f, nullptr);
        EXPECT_EQ(isCheckVarlen(f, nullptr), damage.checkBits);
        // Records still read; a short part that searches the lists either
        // finds a sound block or stops with 105, the files unchanged.
        std::string why;
        EXPECT_EQ(readRecord(f, 1, why), rows[1]) << why;
        const int wrote = writeRecord(f, makeRecord(9, kFixed + 50, dice));
        if (wrote == 0) {
            EXPECT_EQ(isErrno(f), 105);
            EXPECT_EQ(readFile(base() + ".wox"), ox);
        }
        ASSERT_EQ(isClose(f), 1);
    }
    restore();
}

// Random bytes of the variable-length blocks and references changed: no
// call crashes, reads past a block or loops; each either works or fails
// with 105.
TEST_F(VarDamage, RandomDamageNeverCrashes) {
    Dice dice(23);
    for (int round = 0; round < 250; ++round) {
        std::vector<uint8_t> ox = wox, od = wod;
        for (int hits = 1 + dice.below(4); hits > 0; --hits) {
            if (dice.below(4) == 0) {
                const size_t slot = static_cast<size_t>(dice.below(3)) * (kFixed + 7);
                od[slot + kFixed + 1 + static_cast<size_t>(dice.below(6))] = static_cast<uint8_t>(dice.below(256));
            } else {
                const size_t at = 3 * kVarN + static_cast<size_t>(dice.below(4 * kVarN));
                ox[at] = static_cast<uint8_t>(dice.below(256));
            }
        }
        writeFile(base() + ".wox", ox);
        writeFile(base() + ".wod", od);
        FatalCapture quiet;
        IsFile *f = isOpen(dir.name("d").c_str(), kVarMode);
        ASSERT_NE(f, nullptr);
        auto settled = [&](int result) { return result == 1 || isErrno(f) == 105; };
        for (const auto &[id, r] : rows) {
            std::string why;
            readRecord(f, id, why);
            EXPECT_TRUE(why.empty() || isErrno(f) == 105) << why;
            Bytes other = makeRecord(id, drawLength(dice, kMax), dice);
            EXPECT_TRUE(settled(rewriteRecord(f, other))) << errorText(f);
            if (dice.below(2) == 0) {
                EXPECT_TRUE(settled(deleteRecord(f, id))) << errorText(f);
            }
        }
        EXPECT_TRUE(settled(writeRecord(f, makeRecord(50, drawLength(dice, kMax), dice))));
        int32_t stats[6];
        const int bits = isCheckVarlen(f, stats);
        EXPECT_TRUE(bits == 0 || (bits & 0xF848) != 0) << bits;
        ASSERT_EQ(isClose(f), 1);
    }
    restore();
}

// ---------------------------------------------------------------------
// Failing system calls: a call that meets a failed read, write or
// allocation fails and leaves both files byte for byte as they were.

TEST(VarFaults, AFailedCallLeavesTheFilesAsTheyWere) {
    struct Step {
        const char *name;
        std::function<int(IsFile *, Dice &)> call;
    };
    const std::vector<Step> steps = {
        {"write of three blocks", [](IsFile *f, Dice &d) { return writeRecord(f, makeRecord(40, kFixed + 2500, d)); }},
        {"rewrite growing", [](IsFile *f, Dice &d) { return rewriteRecord(f, makeRecord(3, kFixed + 4000, d)); }},
        {"rewrite shrinking", [](IsFile *f, Dice &d) { return rewriteRecord(f, makeRecord(4, kFixed + 20, d)); }},
        {"delete of a long part", [](IsFile *f, Dice &) { return deleteRecord(f, 5); }},
        {"delete of a shared tail", [](IsFile *f, Dice &) { return deleteRecord(f, 6); }},
    };
    const FaultKind kinds[] = {FaultKind::writeError, FaultKind::shortWrite, FaultKind::readError, FaultKind::allocation};
    for (const Step &step : steps) {
        for (FaultKind kind : kinds) {
            SCOPED_TRACE(std::string(step.name) + " / " + faultName(kind));
            TempDir dir;
            Dice dice(31);
            IsFile *f = buildVar(dir, "x", true);
            ASSERT_NE(f, nullptr);
            const int32_t parts[] = {100, 2500, 994, 3000, 4500, 50, 1988, 10};
            for (int32_t id = 1; id <= 8; ++id) ASSERT_EQ(writeRecord(f, makeRecord(id, kFixed + parts[id - 1], dice)), 1);
            ASSERT_EQ(isClose(f), 1);
            const std::vector<uint8_t> wox = readFile(dir.file("x") + ".wox"), wod = readFile(dir.file("x") + ".wod");
            bool done = false;
            for (int target = 1; target < 400 && !done; ++target) {
                f = isOpen(dir.name("x").c_str(), kVarMode);
                ASSERT_NE(f, nullptr);
                Dice callDice(32);
                int result = 0;
                bool hit = false;
                {
                    FaultInjector faults;
                    faults.arm(kind, target, EIO);
                    result = step.call(f, callDice);
                    hit = faults.hit();
                }
                done = !hit;
                if (hit && result == 0) {
                    EXPECT_EQ(readFile(dir.file("x") + ".wox"), wox) << target;
                    EXPECT_EQ(readFile(dir.file("x") + ".wod"), wod) << target;
                    EXPECT_EQ(isCheckVarlen(f, nullptr), 0) << target;
                }
                ASSERT_EQ(isClose(f), 1);
                writeFile(dir.file("x") + ".wox", wox);
                writeFile(dir.file("x") + ".wod", wod);
            }
            EXPECT_TRUE(done);
        }
    }
}

// ---------------------------------------------------------------------
// Transactions: the log carries whole records; a rollback puts the old
// variable parts back; recovery replays them onto a saved copy.

TEST(VarTransactions, RollbackAndRecoveryRestoreVariableParts) {
    TempDir dir;
    const std::string log = dir.file("t.log");
    const std::string base = dir.file("t");
    Dice dice(41);
    IsFile *f = buildVar(dir, "t", true, kMax, ISTRANS);
    ASSERT_NE(f, nullptr);
    VarModel m;
    for (int op = 0; op < 40; ++op) ASSERT_EQ(randomOp(f, m, dice, 0, kMax), "");
    ASSERT_EQ(isClose(f), 1);
    FileSetCopy saved;
    saved.save(base);

    ASSERT_EQ(isLogOpen(toUtf16(log).c_str()), 1) << errno;
    f = isOpen(dir.name("t").c_str(), kVarMode | ISTRANS);
    ASSERT_NE(f, nullptr);
    // A transaction rolled back leaves the records as they were.
    ASSERT_EQ(isBegin(), 1);
    VarModel scratch = m;
    for (int op = 0; op < 40; ++op) ASSERT_EQ(randomOp(f, scratch, dice, 0, kMax), "") << op;
    ASSERT_EQ(isRollBack(), 1) << errno;
    ASSERT_EQ(compareVar(f, m.rows), "");
    // A committed one stays, and the log's images are whole records.
    ASSERT_EQ(isBegin(), 1);
    for (int op = 0; op < 40; ++op) ASSERT_EQ(randomOp(f, m, dice, 0, kMax), "") << op;
    ASSERT_EQ(isCommit(), 1) << errno;
    ASSERT_EQ(compareVar(f, m.rows), "");
    ASSERT_EQ(isClose(f), 1);
    ASSERT_EQ(isLogClose(), 1);
    const LogScan scan = scanLog(readFile(log));
    ASSERT_EQ(scan.fault, "");
    int longImages = 0;
    for (const LogEntry &e : scan.entries) {
        if (e.isOperation() && e.image().size() > static_cast<size_t>(kFixed)) ++longImages;
        if (e.code == "UP" && e.before().size() > static_cast<size_t>(kFixed)) ++longImages;
    }
    EXPECT_GT(longImages, 20);

    // The saved copy brought forward by the log equals the file.
    saved.restore();
    const RecoverOutcome outcome = recoverFrom(log);
    ASSERT_EQ(outcome.result, 1) << outcome.error;
    f = isOpen(dir.name("t").c_str(), kVarMode);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(compareVar(f, m.rows), "");
    EXPECT_EQ(compareDisk(f, base, m.rows, true), "");
    ASSERT_EQ(isClose(f), 1);
}

}  // namespace
}  // namespace wisam
