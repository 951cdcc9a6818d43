// logread_test.cpp - the wisam tool's log reader: byte-exact records of every
// code, damaged lengths reported at their offset, and any bytes walked
// without a crash or a loop.
//
// The tool is not part of the library these tests link, and its log reader
// calls nothing of the library, so its sources are compiled in here.
#include "../../tools/wisam/keytext.cpp"
#include "../../tools/wisam/logread.cpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <map>
#include <random>
#include <string>
#include <vector>

namespace wisam::tool {
namespace {

using Bytes = std::vector<unsigned char>;

constexpr uint32_t kTime = 1000000000;  // 2001-09-09T01:46:40Z

// Builds one record as the library writes it: header, body, trailer.
class Rec {
public:
    Rec(const char *code, uint16_t pid = 4242, uint16_t txn = 7, uint32_t back = 0,
        uint16_t backLength = 0) {
        u16(0).raw(code[0]).raw(code[1]).u16(pid).u16(txn).u32(kTime).u32(back).u16(backLength);
    }
    Rec &raw(int byte) {
        bytes_.push_back(static_cast<unsigned char>(byte));
        return *this;
    }
    Rec &u16(unsigned v) { return raw(v >> 8 & 0xFF).raw(v & 0xFF); }
    Rec &u32(uint32_t v) { return u16(v >> 16).u16(v & 0xFFFF); }
    Rec &image(const std::string &s) {
        for (const char c : s) raw(c);
        return *this;
    }
    Rec &name(const std::u16string &s, bool nul = true) {
        for (const char16_t c : s) raw(c & 0xFF).raw(c >> 8);
        return nul ? raw(0).raw(0) : *this;
    }
    // flags, 2 parts: 0:4:long and 4:10:char descending.
    Rec &key() { return u16(0x09).u16(2).u16(14).u16(0).u16(4).u16(2).u16(4).u16(10).u16(0x80); }
    Bytes done() const {
        Bytes b = bytes_;
        const size_t length = b.size() + 2;
        b[0] = static_cast<unsigned char>(length >> 8);
        b[1] = static_cast<unsigned char>(length);
        b.push_back(b[0]);
        b.push_back(b[1]);
        return b;
    }

private:
    Bytes bytes_;
};

struct Walk {
    std::vector<LogRecord> records;
    std::vector<std::string> lines;
    LogDamage damage;
    bool whole = false;
};

Walk walk(const Bytes &log, LogFormat format = {}) {
    Walk w;
    const LogReadAt read = [&](uint64_t offset, unsigned char *into, size_t length) {
        if (offset > log.size() || length > log.size() - offset) return false;
        std::copy_n(log.begin() + static_cast<long>(offset), length, into);
        return true;
    };
    w.whole = walkLog(
        log.size(), read,
        [&](const LogRecord &r) {
            LogRecord copy = r;  // images point into the reader's buffer
            copy.before = copy.after = nullptr;
            w.records.push_back(copy);
            w.lines.push_back(formatLogRecord(r, format));
        },
        w.damage);
    return w;
}

Bytes join(const std::vector<Bytes> &records) {
    Bytes log;
    for (const Bytes &r : records) log.insert(log.end(), r.begin(), r.end());
    return log;
}

const std::string kImage = "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789abcd";  // 40 bytes

// One record of every code (and one unknown), each with the text its line
// must show.
struct Sample {
    Bytes bytes;
    std::vector<std::string> shows;
};

std::vector<Sample> samples() {
    return {
        {Rec("BW").done(), {"BW len 20 pid 4242 txn 7 time 2001-09-09T01:46:40Z back 0/0\n"}},
        {Rec("FO").u16(3).u16(1).name(u"d/Gr\u00fc\u00dfe\U0001D11E").done(),
         {"FO len 44", "file 3 varlen 1 name \"d/Gr\u00fc\u00dfe\U0001D11E\""}},
        {Rec("BU").u16(0x0C02).u16(40).u16(40).key().name(u"people").done(),
         {"mode 0x0c02 reclen 40 maxlen 40",
          "key flags 0x0009(dups,trailcompress) keylen 14, 2 in all: [0:4:long 4:10:char-]",
          "name \"people\""}},
        {Rec("ER").name(u"abcde").done(), {"ER len 32", "name \"abcde\""}},
        {Rec("RE").u16(4).u16(6).name(u"old").name(u"newer").done(), {"old \"old\" new \"newer\""}},
        {Rec("CI").u16(2).key().done(), {"file 2 key flags 0x0009"}},
        {Rec("DI").u16(2).key().done(), {"DI len", "[0:4:long 4:10:char-]"}},
        {Rec("SU").u16(5).u32(0x12345678).done(), {"file 5 value 305419896"}},
        {Rec("UN").u16(5).u32(9).done(), {"UN len 26", "value 9"}},
        {Rec("IN", 4242, 7, 20, 20).u16(1).u32(77).u16(40).image(kImage).done(),
         {"back 20/20 file 1 rec 77 image 40", "image      0  41 42 43", "ABCDEFGHIJKLMNOP\n",
          "32  36 37 38 39 61"}},
        {Rec("DE").u16(1).u32(78).u16(3).image("xyz").done(), {"rec 78 image 3", "78 79 7a"}},
        {Rec("UP").u16(1).u32(79).u16(2).u16(3).image("ab").image("cde").done(),
         {"rec 79 before 2 after 3", "before     0  61 62", "after      0  63 64 65"}},
        {Rec("CW").done(), {"CW len 20"}},
        {Rec("RW").done(), {"RW len 20"}},
        {Rec("Q\x01").u16(0xBEEF).done(), {"Q\\x01 len 22", "unknown code, body 2", "be ef"}},
        {Rec("FC").u16(3).u16(0).name(u"x").u16(0).done(),
         {"FC len 30", "(+2 bytes behind the fields)"}},
    };
}

TEST(LogRead, EveryCodeDecodesToItsFieldsAndLine) {
    const std::vector<Sample> all = samples();
    Bytes log;
    for (const Sample &s : all) log.insert(log.end(), s.bytes.begin(), s.bytes.end());
    const Walk w = walk(log);
    ASSERT_TRUE(w.whole) << damageText(w.damage);
    ASSERT_EQ(w.records.size(), all.size());
    uint64_t offset = 0;
    for (size_t i = 0; i < all.size(); ++i) {
        const LogRecord &r = w.records[i];
        EXPECT_EQ(r.offset, offset);
        EXPECT_EQ(r.length, all[i].bytes.size());
        EXPECT_EQ(r.pid, 4242);
        EXPECT_EQ(r.time, kTime);
        EXPECT_EQ(w.lines[i].substr(0, 10),
                  std::string(10 - std::to_string(offset).size(), ' ') + std::to_string(offset));
        for (const std::string &text : all[i].shows) {
            EXPECT_NE(w.lines[i].find(text), std::string::npos) << w.lines[i] << "lacks: " << text;
        }
        offset += r.length;
    }
    // Field values beyond what the lines show.
    EXPECT_EQ(w.records[2].key.parts.size(), 2u);
    EXPECT_EQ(w.records[2].key.parts[1].type, 0x80);
    EXPECT_EQ(w.records[2].mode, 0x0C02);
    EXPECT_EQ(w.records[4].newName, "newer");
    EXPECT_EQ(w.records[9].value, 77u);
    EXPECT_EQ(w.records[9].beforeLength, 40);
    EXPECT_EQ(w.records[9].backOffset, 20u);
    EXPECT_EQ(w.records[11].afterLength, 3);
    EXPECT_EQ(w.records[14].body, LogBody::unknown);
    EXPECT_EQ(w.records[15].extra, 2u);
    LogCounts counts;
    for (const LogRecord &r : w.records) counts.add(r);
    EXPECT_EQ(counts.records, all.size());
    EXPECT_EQ(counts.begun + counts.committed + counts.rolledBack + counts.unknown, 4u);
}

TEST(LogRead, ImagesWrapWholeOrShortenedWhenBrief) {
    const Bytes log = Rec("IN").u16(1).u32(1).u16(40).image(kImage).done();
    const std::string full = walk(log).lines.at(0);
    const std::string brief = walk(log, LogFormat{true, 16}).lines.at(0);
    EXPECT_EQ(std::count(full.begin(), full.end(), '\n'), 4);   // header + 16 + 16 + 8
    EXPECT_NE(full.find(" 61 62 63 64  "), std::string::npos);  // the last byte of the image
    EXPECT_EQ(std::count(brief.begin(), brief.end(), '\n'), 1);
    EXPECT_NE(brief.find(" image 40 image: 41 42 43 44 45 46 47 48 49 4a 4b 4c 4d 4e 4f 50 ... (40 bytes)\n"),
              std::string::npos)
        << brief;
    EXPECT_EQ(brief.find("51"), std::string::npos);
    // Brief is one line a record, whatever the code, with both images of an update.
    for (const Sample &sample : samples()) {
        const std::string line = walk(sample.bytes, LogFormat{true, 16}).lines.at(0);
        EXPECT_EQ(std::count(line.begin(), line.end(), '\n'), 1) << line;
        EXPECT_EQ(line.back(), '\n') << line;
    }
    const std::string update = walk(samples().at(11).bytes, LogFormat{true, 16}).lines.at(0);
    EXPECT_NE(update.find(" before: 61 62 (2 bytes) after: 63 64 65 (3 bytes)\n"), std::string::npos) << update;
}

// Each damage, made in the third record of a valid log, is reported at that
// record's offset with its reason, after the first two records were shown.
TEST(LogRead, DamageIsReportedAtTheRecordsOffset) {
    const Bytes first = Rec("BW").done();
    const Bytes second = Rec("IN").u16(1).u32(1).u16(3).image("abc").done();
    const uint64_t at = first.size() + second.size();
    struct Case {
        Bytes third;
        const char *reason;
        bool last = false;  // nothing follows the damaged record
    };
    Bytes trailer = Rec("CW").done();
    trailer.back() = 21;
    Bytes tooLong = Rec("BW").done();
    tooLong[0] = 0x8A, tooLong[1] = 0xB7;  // 35511
    Bytes pastEnd = Rec("ER").name(u"a").done();
    pastEnd[0] = 1000 >> 8, pastEnd[1] = 1000 & 0xFF;
    const std::vector<Case> cases = {
        {Bytes{0, 19, 'B', 'W'}, "length 19 below 20"},
        {Bytes{0, 0}, "length 0 below 20"},
        {tooLong, "length 35511 above 35510"},
        {pastEnd, "length 1000 reaches beyond the end of the log (44 bytes left)"},
        {trailer, "trailing length 21 differs from length 20"},
        {Bytes{7}, "1 byte behind the last record", true},
        {Rec("IN").u16(1).u32(1).u16(41).image(kImage).done(), "IN body ends before its image"},
        {Rec("UP").u16(1).u32(1).u16(1).u16(9).image("ab").done(), "before its after image"},
        {Rec("FO").u16(1).u16(0).name(u"abc", false).done(), "FO body ends before its file name"},
        {Rec("RE").u16(3).u16(9).name(u"ab").name(u"c").done(), "before its new name"},
        {Rec("BU").u16(2).u16(4).u16(4).u16(0).u16(3).u16(4).u16(0).u16(4).done(),
         "before its key part type"},
        {Rec("SU").u16(1).u16(0).done(), "SU body ends before its value"},
        {Rec("DE").u16(1).done(), "before its record number"},
    };
    for (const Case &c : cases) {
        const Walk w =
            walk(c.last ? join({first, second, c.third}) : join({first, second, c.third, first}));
        EXPECT_FALSE(w.whole) << c.reason;
        EXPECT_EQ(w.records.size(), 2u) << c.reason;
        EXPECT_EQ(w.damage.offset, at) << c.reason;
        EXPECT_NE(w.damage.reason.find(c.reason), std::string::npos)
            << w.damage.reason << " lacks: " << c.reason;
        EXPECT_EQ(
            damageText(w.damage).rfind("damaged record at offset " + std::to_string(at) + ": ", 0),
            0u);
    }
}

// Random interleavings of transactions of several processes, ended by
// commit, rollback or not at all, with unchained records between them: the
// scan names exactly the "BW" records of those without an end, whatever
// their transaction ids (a "BW" may carry 0 where its records carry the id).
TEST(LogRead, TransactionScanFindsExactlyTheUnfinished) {
    std::mt19937 random(7);
    for (int round = 0; round < 300; ++round) {
        struct Txn {
            uint64_t lastOffset = 0;
            uint16_t lastLength = 0;
            int opsLeft = 0;
            int end = 0;  // 0 commit, 1 rollback, 2 none
            uint64_t begin = 0;
        };
        std::vector<Txn> txns(1 + random() % 6);
        std::vector<size_t> pending;
        for (size_t t = 0; t < txns.size(); ++t) {
            txns[t].opsLeft = static_cast<int>(random() % 4);
            txns[t].end = static_cast<int>(random() % 3);
            pending.push_back(t);
        }
        std::vector<bool> begun(txns.size(), false);
        std::vector<uint64_t> expected;
        Bytes log;
        auto append = [&](const Bytes &r, Txn *t) {
            if (t != nullptr)
                t->lastOffset = log.size(), t->lastLength = static_cast<uint16_t>(r.size());
            log.insert(log.end(), r.begin(), r.end());
        };
        while (!pending.empty()) {
            if (random() % 4 == 0) append(Rec("SU").u16(1).u32(5).done(), nullptr);
            const size_t pick = random() % pending.size();
            Txn &t = txns[pending[pick]];
            const auto pid = static_cast<uint16_t>(pending[pick] % 3 + 1);
            if (!begun[pending[pick]]) {
                begun[pending[pick]] = true;
                t.begin = log.size();
                append(Rec("BW", pid, 0).done(), &t);
            } else if (t.opsLeft > 0) {
                --t.opsLeft;
                append(Rec("IN", pid, 9, static_cast<uint32_t>(t.lastOffset), t.lastLength)
                           .u16(0)
                           .u32(1)
                           .u16(1)
                           .image("x")
                           .done(),
                       &t);
            } else {
                if (t.end < 2) {
                    append(Rec(t.end == 0 ? "CW" : "RW", pid, 9,
                               static_cast<uint32_t>(t.lastOffset), t.lastLength)
                               .done(),
                           &t);
                } else {
                    expected.push_back(t.begin);
                }
                pending.erase(pending.begin() + static_cast<long>(pick));
            }
        }
        const Walk w = walk(log);
        ASSERT_TRUE(w.whole);
        TransactionScan scan;
        for (const LogRecord &r : w.records) scan.add(r);
        std::vector<uint64_t> found;
        for (const TransactionScan::Begin &b : scan.unfinished()) found.push_back(b.offset);
        std::sort(expected.begin(), expected.end());
        ASSERT_EQ(found, expected) << "round " << round;
    }
    // Damaged back links (to the record itself, forward, into nothing) end
    // the walk: the "BW" stays unfinished and the scan returns.
    const Bytes log = join({Rec("BW").done(), Rec("CW", 1, 1, 20, 20).done(),
                            Rec("RW", 1, 1, 60, 20).done(), Rec("CW", 1, 1, 7, 20).done()});
    TransactionScan scan;
    for (const LogRecord &r : walk(log).records) scan.add(r);
    ASSERT_EQ(scan.unfinished().size(), 1u);
    EXPECT_EQ(scan.unfinished()[0].offset, 0u);
}

// Opens and closes of several processes, with reused file numbers: a file
// counts as open after its last "FO" until an "FC" of the same process and
// number.  Model: a set of (process, number) pairs.
TEST(LogRead, OpenFileScanFollowsOpensAndCloses) {
    std::mt19937 random(11);
    for (int round = 0; round < 200; ++round) {
        std::map<std::pair<uint16_t, uint16_t>, uint64_t> model;
        Bytes log;
        for (int n = static_cast<int>(random() % 30); n > 0; --n) {
            const auto pid = static_cast<uint16_t>(1 + random() % 3);
            const auto number = static_cast<uint16_t>(random() % 3);
            const bool opens = random() % 2 == 0;
            if (opens)
                model[{pid, number}] = log.size();
            else
                model.erase({pid, number});
            const Bytes r = Rec(opens ? "FO" : "FC", pid)
                                .u16(number)
                                .u16(0)
                                .name(u"f" + std::u16string(1, u'0' + number))
                                .done();
            log.insert(log.end(), r.begin(), r.end());
            const Bytes other = Rec("IN", pid).u16(number).u32(1).u16(0).done();
            log.insert(log.end(), other.begin(), other.end());
        }
        OpenFileScan scan;
        for (const LogRecord &r : walk(log).records) scan.add(r);
        std::vector<uint64_t> expected;
        for (const auto &[key, offset] : model) expected.push_back(offset);
        std::sort(expected.begin(), expected.end());
        std::vector<uint64_t> found;
        for (const OpenFileScan::Open &o : scan.open()) {
            found.push_back(o.offset);
            EXPECT_EQ(o.name, "f" + std::to_string(o.fileNumber));
            EXPECT_EQ(model.at({o.pid, o.fileNumber}), o.offset);
        }
        ASSERT_EQ(found, expected) << "round " << round;
    }
}

// The same log through a file on disk: the reader of the commands gives the
// same records and stops at the same damage.
TEST(LogRead, LogFileReadsWhatIsOnDisk) {
    std::vector<Bytes> records;
    for (const Sample &s : samples()) records.push_back(s.bytes);
    Bytes log = join(records);
    log.push_back(0);
    log.push_back(19);
    char path[] = "/tmp/wisam-logread-XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, log.data(), log.size()), static_cast<ssize_t>(log.size()));
    close(fd);
    const Walk memory = walk(log);
    LogFile file(path);
    ASSERT_TRUE(file.ok());
    EXPECT_EQ(file.size(), log.size());
    std::vector<std::string> lines;
    LogDamage damage;
    EXPECT_FALSE(walkLog(
        file.size(), file.reader(),
        [&](const LogRecord &r) { lines.push_back(formatLogRecord(r, {})); }, damage));
    EXPECT_EQ(lines, memory.lines);
    EXPECT_EQ(damage.offset, log.size() - 2);
    EXPECT_EQ(damage.reason, "length 19 below 20");
    std::remove(path);
    EXPECT_FALSE(LogFile(path).ok());
    EXPECT_EQ(LogFile("/tmp").error(), EISDIR);
}

// A log cut anywhere ends cleanly at a record boundary and as a torn last
// record everywhere else.
TEST(LogRead, EveryCutOfALogIsATornTailAtTheCutRecord) {
    std::vector<Bytes> records;
    for (const Sample &s : samples()) records.push_back(s.bytes);
    const Bytes log = join(records);
    for (size_t cut = 0; cut <= log.size(); ++cut) {
        const Walk w = walk(Bytes(log.begin(), log.begin() + static_cast<long>(cut)));
        uint64_t start = 0;
        size_t index = 0;
        while (start < cut && start + records[index].size() <= cut)
            start += records[index++].size();
        EXPECT_EQ(w.records.size(), index) << cut;
        EXPECT_EQ(w.whole, start == cut) << cut;
        if (!w.whole) {
            EXPECT_EQ(w.damage.offset, start) << cut;
            EXPECT_TRUE(w.damage.tornTail) << cut << ": " << w.damage.reason;
        }
    }
}

// Damaged bytes of every kind: the walk ends, shows only records that lie
// inside the log one after another, and formats each of them.
TEST(LogRead, RandomDamageNeverCrashesOrLoops) {
    std::vector<Bytes> records;
    for (const Sample &s : samples()) records.push_back(s.bytes);
    const Bytes valid = join(records);
    std::mt19937 random(20261208);
    for (int round = 0; round < 4000; ++round) {
        Bytes log = valid;
        if (round % 10 == 9) {
            log.resize(random() % 200);
            for (unsigned char &b : log) b = static_cast<unsigned char>(random());
        } else {
            for (int n = 1 + static_cast<int>(random() % 6); n > 0; --n) {
                const size_t at = random() % log.size();
                switch (random() % 4) {
                case 0:
                    log[at] = static_cast<unsigned char>(random());
                    break;
                case 1:
                    log[at] ^= static_cast<unsigned char>(1u << (random() % 8));
                    break;
                case 2:
                    log.erase(log.begin() + static_cast<long>(at));
                    break;
                default:
                    log.insert(log.begin() + static_cast<long>(at),
                               static_cast<unsigned char>(random()));
                }
                if (log.empty()) log.push_back(0);
            }
        }
        const Walk w = walk(log, LogFormat{round % 2 == 0, 16});
        uint64_t next = 0;
        for (const LogRecord &r : w.records) {
            ASSERT_EQ(r.offset, next);
            ASSERT_GE(r.length, kLogRecordMin);
            next += r.length;
        }
        ASSERT_LE(next, log.size());
        if (w.whole) {
            ASSERT_EQ(next, log.size());
        } else {
            ASSERT_EQ(w.damage.offset, next);
            ASSERT_FALSE(w.damage.reason.empty());
        }
    }
}

}  // namespace
}  // namespace wisam::tool
