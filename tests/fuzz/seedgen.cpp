// seedgen.cpp - writes the seed corpus of the fuzz target: small valid ISAM
// files built with the library itself, in memory, each packed as one fuzz
// input (input.h) into the directory named on the command line.
//
// Small block sizes keep the seeds small while their trees still have two
// levels: a file is built with the usual 4096-byte blocks, then, while it
// holds nothing but its dictionary, its first key description and an empty
// root, laid out again with smaller blocks before anything is written.
//
// The log seeds (kSwitchLog) hold a transaction log the library wrote while
// it built or opened a file and worked on it in transactions, and the files
// as they were when the log began.  The journal seeds (kSwitchJournal) hold
// the files and the genuine journal of a change stopped in its commit.
//
// Usage: wisam_fuzz_seeds DIRECTORY
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "fuzz/input.h"
#include "fuzz/journal.h"
#include "fuzz/memfiles.h"
#include "wisam.h"

namespace {

using wisam::fuzz::FuzzInput;
using wisam::fuzz::MemoryFiles;
using Bytes = std::vector<uint8_t>;

constexpr char16_t kName[] = u"/seed/f";
constexpr const char *kIndexPath = "/seed/f.wox";
constexpr const char *kDataPath = "/seed/f.wod";
constexpr size_t kDictionaryBytes = 80;
constexpr size_t kBlockSizeField = 6;      // block size - 1, 2 bytes
constexpr size_t kHighestBlockField = 37;  // highest index block, 4 bytes
constexpr size_t kBuiltBlock = 4096;
constexpr size_t kMarkerFromEnd = 3;  // the kind bytes S-3 and S-2 of a block
constexpr size_t kKindFromEnd = 2;

int failures = 0;

// `f` null: the failure of a call that returned no handle.
void check(bool ok, const char *what, IsFile *f = nullptr) {
    if (ok) return;
    std::fprintf(stderr, "seed generator: %s failed (error %d)\n", what, isErrno(f));
    ++failures;
}

KeyDesc keyOf(std::initializer_list<KeyPart> parts, uint16_t flags) {
    KeyDesc key{};
    key.flags = flags;
    for (const KeyPart &part : parts) key.parts[key.partCount++] = part;
    return key;
}

uint32_t bigEndian(const std::vector<uint8_t> &b, size_t at, int width) {
    uint32_t value = 0;
    for (int i = 0; i < width; ++i) value = value << 8 | b[at + static_cast<size_t>(i)];
    return value;
}

// Lays a freshly built index file out again with `size`-byte blocks: the
// dictionary, the key-description block 2 and, when there is one, the empty
// root in block 3.
void shrinkBlocks(MemoryFiles &files, size_t size, const char *path = kIndexPath) {
    const std::vector<uint8_t> built = files.get(path);
    std::vector<uint8_t> index(3 * size, 0);
    std::memcpy(index.data(), built.data(), kDictionaryBytes);
    index[kBlockSizeField] = static_cast<uint8_t>((size - 1) >> 8);
    index[kBlockSizeField + 1] = static_cast<uint8_t>(size - 1);
    const size_t used = bigEndian(built, kBuiltBlock, 2);
    std::memcpy(&index[size], &built[kBuiltBlock], used);
    index[2 * size - kMarkerFromEnd] = built[2 * kBuiltBlock - kMarkerFromEnd];
    index[2 * size - kKindFromEnd] = built[2 * kBuiltBlock - kKindFromEnd];
    index[2 * size + 1] = 2;  // an empty leaf: used length 2
    index.resize(bigEndian(built, kHighestBlockField, 4) * size);
    files.put(path, index);
}

// A record of `length` bytes made from `n`; its id (bytes 0-3) is n x step
// modulo a prime, so a step of 1 puts the records in id order.
std::vector<uint8_t> recordOf(int n, size_t length, int step) {
    std::vector<uint8_t> record(length, ' ');
    static const char *const kNames[] = {"ada", "grace", "alan", "edsger", "barbara", "donald", "ken"};
    for (size_t i = 0; i < length; ++i) record[i] = static_cast<uint8_t>('a' + (n * 7 + i * 3) % 26);
    if (length >= 4) stLong(n * step % 1009, record.data());
    if (length >= 16) {
        std::memset(&record[4], ' ', 12);
        const char *name = kNames[(n / 3) % 7];
        // Every tenth record has a blank name: a null key where blanks are null.
        if (n % 10 != 0) std::memcpy(&record[4], name, std::strlen(name));
    }
    if (length >= 18) stInt(static_cast<int>(n % 50) - 25, &record[16]);
    return record;
}

struct Seed {
    const char *name;
    size_t blockSize;
    int recordLength;
    std::vector<KeyDesc> keys;  // the first is the primary key
    int records;
    int deleteFrom = 0;  // records deleted: [deleteFrom, deleteTo)
    int deleteTo = 0;
    int deleteEvery = 0;  // and every n-th record
    int mode = 0;         // extra build mode bits
    uint8_t switches = 0;
    bool precious = false;  // deleted records are kept off the free list
    int idStep = 37;        // see recordOf; 1 deletes whole leaves with a range
};

void writeInput(const std::string &dir, const char *name, const FuzzInput &input) {
    const std::vector<uint8_t> bytes = wisam::fuzz::joinInput(input);
    std::ofstream out(dir + "/" + name, std::ios::binary);
    out.write(reinterpret_cast<const char *>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    check(out.good(), "write seed file");
}

void writeSeed(const std::string &dir, const Seed &seed, MemoryFiles &files) {
    files.clear();
    KeyDesc primary = seed.keys.front();
    IsFile *f = isBuild(kName, seed.recordLength, 0, &primary, ISINOUT | ISEXCLLOCK | seed.mode);
    check(f != nullptr, seed.name);
    if (f == nullptr) return;
    check(isClose(f) == 1, "close after build");
    if (seed.blockSize != kBuiltBlock) shrinkBlocks(files, seed.blockSize);
    f = isOpen(kName, ISINOUT | ISEXCLLOCK);
    check(f != nullptr, "open");
    if (f == nullptr) return;
    if (seed.precious) check(isPrecious(f, 1) == 1, "precious", f);
    for (size_t i = 1; i < seed.keys.size(); ++i) {
        KeyDesc key = seed.keys[i];
        check(isAddIndex(f, &key) == 1, "add index", f);
    }
    const size_t length = seed.recordLength > 0 ? static_cast<size_t>(seed.recordLength) : 64;
    for (int n = 0; n < seed.records; ++n) {
        std::vector<uint8_t> record = recordOf(n, length, seed.idStep);
        if (isWrite(f, record.data()) == 0 && isErrno(f) != EDUPL) check(false, "write", f);
    }
    // The scattered deletes first: the data free list then has its chain
    // node before the range empties whole leaves, and the index free list
    // keeps them.
    std::vector<int> doomed;
    for (int n = 0; seed.deleteEvery > 0 && n < seed.records; n += seed.deleteEvery) doomed.push_back(n);
    for (int n = seed.deleteFrom; n < seed.deleteTo; ++n) {
        if (seed.deleteEvery == 0 || n % seed.deleteEvery != 0) doomed.push_back(n);
    }
    for (int n : doomed) {
        // By number where there are records (written records are numbered
        // from 1); in a key-only file the entry found by its key.
        std::vector<uint8_t> record = recordOf(n, length, seed.idStep);
        const int deleted = seed.recordLength > 0 ? isDelRec(f, n + 1)
                                                  : isRead(f, record.data(), modeEqual) && isDelCurr(f);
        if (deleted == 0 && isErrno(f) != ENOREC && isErrno(f) != ENOCURR) check(false, "delete", f);
    }
    check(isClose(f) == 1, "close");
    FuzzInput input;
    input.switches = seed.switches;
    input.index = files.get(kIndexPath);
    input.data = files.get(kDataPath);
    writeInput(dir, seed.name, input);
}

// Variable-length files, plain and packed: parts from none to three
// blocks, some deleted and rewritten so that blocks are shared, closed up
// and back on the free list.
void varlenSeed(const std::string &dir, MemoryFiles &files, const char *seedName, int extraMode) {
    files.clear();
    KeyDesc primary = keyOf({{0, 4, ISTYPE_LONG}}, 0);
    constexpr int kFixed = 24, kMax = 4000;
    IsFile *f = isBuild(kName, kFixed, kMax, &primary, ISINOUT | ISEXCLLOCK | ISVARLEN | extraMode);
    check(f != nullptr, seedName);
    if (f == nullptr) return;
    for (int n = 0; n < 60; ++n) {
        const int length = kFixed + (n * 397) % (kMax - kFixed + 1);
        std::vector<uint8_t> record = recordOf(n, static_cast<size_t>(length), 1);
        if (n % 4 == 0) std::memset(&record[kFixed], n % 8 == 0 ? ' ' : 0, static_cast<size_t>(length - kFixed));
        isSetlen(f, length);
        check(isWrite(f, record.data()) == 1, "variable-length write", f);
    }
    for (int n = 3; n < 60; n += 5) check(isDelRec(f, n) == 1, "variable-length delete", f);
    for (int n = 1; n < 60; n += 7) {
        std::vector<uint8_t> record = recordOf(n - 1, static_cast<size_t>(kFixed + n * 13), 1);
        isSetlen(f, static_cast<int>(record.size()));
        if (isRewRec(f, n, record.data()) == 0 && isErrno(f) != ENOREC && isErrno(f) != ENOCURR) check(false, "variable-length rewrite", f);
    }
    check(isClose(f) == 1, "close");
    FuzzInput input;
    input.switches = wisam::fuzz::kSwitchChanges;
    input.index = files.get(kIndexPath);
    input.data = files.get(kDataPath);
    writeInput(dir, seedName, input);
}

// Log seeds: the files at the path the target lays them down, as they were
// when the log began, and the log the library wrote for the work done on
// them.  Two transaction ids take turns through the id callback, so that
// one transaction can be left without end while others begin and end.
int32_t txnId = 1;
int32_t currentTxnId() { return txnId; }

constexpr int kTransMode = ISINOUT | ISTRANS | ISMANULOCK;
constexpr size_t kLogRecordLength = 24;
constexpr size_t kChangedByte = 20;  // in no key of the log seeds

std::vector<uint8_t> logRecordOf(int n) { return recordOf(n, kLogRecordLength, 1); }

void writeRecord(IsFile *f, int n) {
    std::vector<uint8_t> record = logRecordOf(n);
    check(isWrite(f, record.data()) == 1, "write", f);
}

// Rewrites record n (found by its id, the primary key) with a changed byte.
void rewriteRecord(IsFile *f, int n) {
    std::vector<uint8_t> record = logRecordOf(n);
    record[kChangedByte] = static_cast<uint8_t>('A' + n % 26);
    check(isRewrite(f, record.data()) == 1, "rewrite", f);
}

void deleteRecord(IsFile *f, int n) {
    std::vector<uint8_t> record = logRecordOf(n);
    check(isDelete(f, record.data()) == 1, "delete", f);
}

using Records = std::vector<std::vector<uint8_t>>;

// The records of `f` in the order of its primary key.
Records recordsOf(IsFile *f) {
    Records all;
    std::vector<uint8_t> record(kLogRecordLength);
    check(isIndex(f, 1) == 1, "select the primary key", f);
    for (int mode = modeFirst; isRead(f, record.data(), mode) == 1; mode = modeNext) all.push_back(record);
    return all;
}

void transaction(int32_t id, const char *what) {
    txnId = id;
    check(isBegin() == 1, what);
}

// On `f` (opened or built with ISTRANS while the log is open), records with
// ids from `first`: a committed transaction of writes, rewrites and
// deletes; a rolled-back one; then transaction 2 left without end around a
// committed transaction 1.  The log is read before the last is rolled back
// (so that the seed holds it unfinished) and the handle closed.
std::vector<uint8_t> transactionWork(MemoryFiles &files, IsFile *f, int first, Records &committed) {
    transaction(1, "begin");
    for (int n = first; n < first + 12; ++n) writeRecord(f, n);
    for (int n = first; n < first + 12; n += 3) rewriteRecord(f, n);
    deleteRecord(f, first + 10);
    check(isCommit() == 1, "commit");
    transaction(1, "begin to roll back");
    writeRecord(f, first + 20);
    writeRecord(f, first + 21);
    rewriteRecord(f, first + 1);
    deleteRecord(f, first + 2);
    check(isRollBack() == 1, "rollback");
    transaction(2, "begin the unfinished");
    writeRecord(f, first + 30);
    rewriteRecord(f, first + 4);
    transaction(1, "begin among the unfinished");
    writeRecord(f, first + 40);
    deleteRecord(f, first + 5);
    check(isCommit() == 1, "commit among the unfinished");
    txnId = 2;
    writeRecord(f, first + 31);
    deleteRecord(f, first + 7);
    rewriteRecord(f, first + 8);
    const std::vector<uint8_t> log = files.get(wisam::fuzz::kFuzzLogPath);
    check(isRollBack() == 1, "rollback of the unfinished");
    txnId = 1;
    committed = recordsOf(f);
    check(isClose(f) == 1, "close after the transactions");
    return log;
}

// A seed must give recovery work that succeeds: recovered with the
// unfinished transactions rolled back, the files it packs hold exactly the
// committed records.
void checkRecovery(MemoryFiles &files, const FuzzInput &input, const Records &committed, const char *name) {
    files.clear();
    if (!input.index.empty()) files.put(wisam::fuzz::kFuzzIndexPath, input.index);
    if (!input.data.empty()) files.put(wisam::fuzz::kFuzzDataPath, input.data);
    files.put(wisam::fuzz::kFuzzLogPath, input.log);
    isRecoverRollback = 1;
    check(isLogOpen(wisam::fuzz::kFuzzLogName) == 1, "log open for recovery");
    const int result = isRecover();
    if (result != 1) std::fprintf(stderr, "seed generator: recovery of %s: errno %d\n", name, errno);
    check(result == 1, "recovery");
    check(isLogClose() == 1, "log close after recovery");
    check(isCleanUp() == 1, "clean up after recovery");
    isRecoverRollback = 0;
    IsFile *f = isOpen(wisam::fuzz::kFuzzName, ISINOUT | ISEXCLLOCK);
    check(f != nullptr, "open after recovery");
    if (f == nullptr) return;
    const Records recovered = recordsOf(f);
    if (recovered != committed) {
        std::fprintf(stderr, "seed generator: %s recovers %zu records, %zu committed\n", name, recovered.size(),
                     committed.size());
        check(false, "recovered records");
    }
    check(isClose(f) == 1, "close after recovery");
}

void endLogSeed(const std::string &dir, MemoryFiles &files, const char *name, FuzzInput &input,
                const Records &committed) {
    check(isLogClose() == 1, "log close");
    check(isCleanUp() == 1, "clean up");
    input.switches |= wisam::fuzz::kSwitchLog;
    check(!input.log.empty() && !committed.empty(), name);
    writeInput(dir, name, input);
    checkRecovery(files, input, committed, name);
}

// The log begins before the build: its "BU" builds the file, so the seed
// holds no files at all.
void logBuildSeed(const std::string &dir, MemoryFiles &files, const KeyDesc &id, const KeyDesc &name) {
    files.clear();
    check(isLogOpen(wisam::fuzz::kFuzzLogName) == 1, "log open");
    KeyDesc primary = id;
    IsFile *f = isBuild(wisam::fuzz::kFuzzName, kLogRecordLength, 0, &primary, kTransMode);
    check(f != nullptr, "logged build");
    FuzzInput input;
    Records committed;
    input.switches = wisam::fuzz::kSwitchChanges;
    if (f != nullptr) {
        KeyDesc second = name;
        check(isAddIndex(f, &second) == 1, "logged add index", f);
        input.log = transactionWork(files, f, 0, committed);
    }
    endLogSeed(dir, files, "log-build", input, committed);
}

// The file exists, with records, before the log begins: the log opens it
// ("FO") and the seed holds the files as they were then.
void logOpenSeed(const std::string &dir, MemoryFiles &files, const KeyDesc &id, const KeyDesc &group) {
    files.clear();
    KeyDesc primary = id;
    IsFile *f = isBuild(wisam::fuzz::kFuzzName, kLogRecordLength, 0, &primary, ISINOUT | ISEXCLLOCK);
    check(f != nullptr, "build before the log");
    if (f == nullptr) return;
    check(isClose(f) == 1, "close after build");
    shrinkBlocks(files, 256, wisam::fuzz::kFuzzIndexPath);
    f = isOpen(wisam::fuzz::kFuzzName, ISINOUT | ISEXCLLOCK);
    check(f != nullptr, "open before the log");
    if (f == nullptr) return;
    KeyDesc second = group;
    check(isAddIndex(f, &second) == 1, "add index", f);
    for (int n = 0; n < 40; ++n) writeRecord(f, n);
    for (int n = 3; n < 40; n += 9) deleteRecord(f, n);
    check(isClose(f) == 1, "close before the log");
    FuzzInput input;
    input.index = files.get(wisam::fuzz::kFuzzIndexPath);
    input.data = files.get(wisam::fuzz::kFuzzDataPath);
    check(isLogOpen(wisam::fuzz::kFuzzLogName) == 1, "log open");
    f = isOpen(wisam::fuzz::kFuzzName, kTransMode);
    check(f != nullptr, "logged open");
    Records committed;
    if (f != nullptr) input.log = transactionWork(files, f, 100, committed);
    endLogSeed(dir, files, "log-open", input, committed);
}

// The records without a chain: index, unique-id and file operations, a
// variable-length file built (empty), renamed and erased, the file closed
// and opened again for a transaction.
void logFilesSeed(const std::string &dir, MemoryFiles &files, const KeyDesc &id, const KeyDesc &name) {
    files.clear();
    check(isLogOpen(wisam::fuzz::kFuzzLogName) == 1, "log open");
    KeyDesc primary = id;
    IsFile *f = isBuild(wisam::fuzz::kFuzzName, kLogRecordLength, 0, &primary, ISINOUT | ISMANULOCK);
    check(f != nullptr, "logged build");
    FuzzInput input;
    Records committed;
    if (f == nullptr) return endLogSeed(dir, files, "log-files", input, committed);
    KeyDesc second = name;
    check(isAddIndex(f, &second) == 1, "logged add index", f);
    check(isSetUnique(f, 500) == 1, "logged set unique", f);
    int32_t unique = 0;
    check(isUniqueId(f, &unique) == 1, "logged unique id", f);
    for (int n = 0; n < 6; ++n) writeRecord(f, n);
    rewriteRecord(f, 2);
    deleteRecord(f, 3);
    second = name;
    check(isDelIndex(f, &second) == 1, "logged drop index", f);
    check(isClose(f) == 1, "logged close");
    primary = id;
    IsFile *v = isBuild(u"/fuzz/v", kLogRecordLength, 120, &primary, ISINOUT | ISVARLEN | ISTRANS | ISMANULOCK);
    check(v != nullptr, "logged variable-length build");
    // No records: recovery does not write those of a variable-length file.
    if (v != nullptr) check(isClose(v) == 1, "variable-length close");
    check(isRename(u"/fuzz/v", u"/fuzz/w") == 1, "logged rename");
    check(isErase(u"/fuzz/w") == 1, "logged erase");
    f = isOpen(wisam::fuzz::kFuzzName, kTransMode);
    check(f != nullptr, "logged open");
    if (f != nullptr) {
        transaction(1, "begin");
        writeRecord(f, 10);
        rewriteRecord(f, 4);
        deleteRecord(f, 5);
        check(isCommit() == 1, "commit");
        committed = recordsOf(f);
        check(isClose(f) == 1, "close");
    }
    input.log = files.get(wisam::fuzz::kFuzzLogPath);
    endLogSeed(dir, files, "log-files", input, committed);
}

// The target's verdict on `journal` beside the files at the target's paths.
wisam::fuzz::JournalVerdict verdictOn(const Bytes &journal, const Bytes &index, const Bytes &data) {
    wisam::fuzz::JournalFiles laid;
    laid.file[0] = &index;
    laid.file[1] = &data;
    for (int k = 0; k < 2; ++k) {
        wisam::SysFileStatus status{};
        const char *path = k == 0 ? wisam::fuzz::kFuzzIndexPath : wisam::fuzz::kFuzzDataPath;
        check(wisam::sysCalls.pathStatus(path, &status, true) == 0, "status of a journal seed's file");
        laid.device[k] = status.device;
        laid.inode[k] = status.inode;
    }
    wisam::fuzz::JournalView view;
    return wisam::fuzz::judgeJournal(journal, laid, view);
}

// Journal seeds: a change on a file at the target's path, stopped (its
// files and journal taken as they were) before its k-th write in place, so
// that the files are half-changed beside a genuine journal, or once it
// ended, a change that completed beside the journal it leaves (mode 1: its
// header not cleared).  Each seed must be judged by the target's reading of
// journals as the library judges it, and do what it should when opened: the
// half-changed files put back as they were before the change, the
// completed change kept.
void journalSeeds(const std::string &dir, MemoryFiles &files, const KeyDesc &id, const KeyDesc &name) {
    const std::string indexPath = wisam::fuzz::kFuzzIndexPath, dataPath = wisam::fuzz::kFuzzDataPath;
    const std::string journalPath = wisam::fuzz::kFuzzJournalPath;
    struct Stop {
        const char *name;
        int write;  // before the write-th write in place; 0: once the change ended
    };
    for (const Stop stop : {Stop{"journal-first", 1}, Stop{"journal-half", 2}, Stop{"journal-done", 0}}) {
        files.clear();
        KeyDesc primary = id;
        IsFile *f = isBuild(wisam::fuzz::kFuzzName, kLogRecordLength, 0, &primary, ISINOUT | ISEXCLLOCK);
        check(f != nullptr, stop.name);
        if (f == nullptr) return;
        check(isClose(f) == 1, "close after build");
        shrinkBlocks(files, 256, wisam::fuzz::kFuzzIndexPath);
        f = isOpen(wisam::fuzz::kFuzzName, ISINOUT | ISEXCLLOCK);
        check(f != nullptr, "open before the change");
        if (f == nullptr) return;
        KeyDesc second = name;
        check(isAddIndex(f, &second) == 1, "add index", f);
        for (int n = 0; n < 40; ++n) writeRecord(f, n);
        check(isClose(f) == 1, "close before the change");
        const Bytes index = files.get(indexPath), data = files.get(dataPath);
        FuzzInput input;
        input.switches = wisam::fuzz::kSwitchJournal | wisam::fuzz::kSwitchChanges;
        bool taken = false, journaled = false;
        int writes = 0;
        const auto take = [&] {
            input.index = files.get(indexPath);
            input.data = files.get(dataPath);
            input.log = files.get(journalPath);
            taken = true;
        };
        files.watchWrites([&](const std::string &path) {
            if (path == journalPath) journaled = true;
            const bool inPlace = path == indexPath || path == dataPath;
            if (!taken && journaled && stop.write > 0 && inPlace && ++writes == stop.write) take();
        });
        isJournalMode = 1;
        f = isOpen(wisam::fuzz::kFuzzName, ISINOUT | ISMANULOCK);
        check(f != nullptr, "open for the change");
        if (f != nullptr) {
            check(isSetCustomLock(f, 2) == 1, "lock kept for the change", f);
            for (int n = 100; n < 130; ++n) writeRecord(f, n);
            for (int n = 3; n < 40; n += 7) deleteRecord(f, n);
            rewriteRecord(f, 1);
            check(isSetCustomLock(f, 0) == 1, "end of the change", f);
            if (!taken && stop.write == 0) take();
            check(isClose(f) == 1, "close after the change");
        }
        isJournalMode = 0;
        files.watchWrites(nullptr);
        const Bytes changedIndex = files.get(indexPath), changedData = files.get(dataPath);
        check(taken, stop.name);
        if (!taken) continue;
        const bool done = stop.write == 0;
        writeInput(dir, stop.name, input);
        // Laid down again, judged and opened: put back, or kept.
        files.clear();
        files.put(indexPath, input.index);
        files.put(dataPath, input.data);
        files.put(journalPath, input.log);
        const wisam::fuzz::JournalVerdict verdict = verdictOn(input.log, input.index, input.data);
        check(verdict == (done ? wisam::fuzz::JournalVerdict::idle : wisam::fuzz::JournalVerdict::apply),
              done ? "a completed change's journal judged idle" : "a half change's journal judged to apply");
        f = isOpen(wisam::fuzz::kFuzzName, ISINOUT | ISMANULOCK);
        check(f != nullptr, "open of a journal seed", f);
        if (f != nullptr) check(isClose(f) == 1, "close of a journal seed");
        check(files.get(indexPath) == (done ? changedIndex : index) && files.get(dataPath) == (done ? changedData : data),
              done ? "a completed change kept" : "a half change put back");
        check(!files.exists(journalPath), "the journal gone with the last close");
    }
}

}  // namespace

int main(int argc, char **argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s DIRECTORY\n", argv[0]);
        return 2;
    }
    const std::string dir = argv[1];
    const uint16_t compressed = ISKEY_DUPS | ISKEY_DUPCOMPRESS | ISKEY_LEADCOMPRESS | ISKEY_TRAILCOMPRESS;
    const KeyDesc id = keyOf({{0, 4, ISTYPE_LONG}}, 0);
    const KeyDesc name = keyOf({{4, 12, ISTYPE_CHAR}}, compressed);
    const KeyDesc group = keyOf({{16, 2, ISTYPE_INT | ISTYPE_DESC}}, ISKEY_DUPS);
    const KeyDesc nameThenId = keyOf({{4, 6, ISTYPE_STRING}, {0, 4, ISTYPE_LONG}}, ISKEY_LEADCOMPRESS);
    const KeyDesc none = keyOf({}, 0);
    const std::vector<Seed> seeds = {
        {"empty", 256, 24, {id}, 0},
        {"three-indexes", 256, 24, {id, name, group}, 150},
        {"deletes", 256, 24, {id, name, group}, 200, 40, 110, 11, 0, wisam::fuzz::kSwitchChanges, false, 1},
        {"precious-nulls", 256, 24,
         {id, keyOf({{4, 4, ISTYPE_CHAR | (' ' << 8)}}, ISKEY_NULLSUPPRESS | ISKEY_DUPS)}, 120, 10, 30, 0, 0, 0, true},
        {"key-only", 256, 0, {keyOf({{0, 8, ISTYPE_CHAR}}, ISKEY_DUPS | ISKEY_TRAILCOMPRESS)}, 150, 0, 0, 9, 0,
         wisam::fuzz::kSwitchChanges},
        {"no-primary", 256, 24, {none, nameThenId, id}, 120, 0, 0, 5},
        {"native-types", 512, 40,
         {keyOf({{20, 8, ISTYPE_DOUBLE}}, ISKEY_DUPS), keyOf({{28, 4, ISTYPE_FLOAT | ISTYPE_DESC}}, ISKEY_DUPS),
          keyOf({{32, 2, ISTYPE_NATIVESHORT}, {36, 4, ISTYPE_NATIVELONG}}, ISKEY_DUPS),
          keyOf({{24, 16, ISTYPE_RECID}}, ISKEY_DUPS)},
         120, 0, 0, 11},
        {"text-types", 256, 40,
         {keyOf({{0, 16, ISTYPE_WTEXT}}, ISKEY_DUPS | ISKEY_LEADCOMPRESS),
          keyOf({{16, 8, ISTYPE_WNOCASE}}, ISKEY_DUPS), keyOf({{24, 8, ISTYPE_DEVTAG}}, ISKEY_DUPS),
          keyOf({{32, 8, ISTYPE_WDEVTAG}, {0, 2, ISTYPE_BYTES}}, ISKEY_DUPS | ISKEY_DUPCOMPRESS)},
         120},
        {"mask-exclusive", 256, 24, {id, name}, 100, 20, 40, 0, ISINDEXMASK, wisam::fuzz::kSwitchExclusive},
        {"full-blocks", 4096, 24, {id}, 520, 100, 140, 0},
    };
    MemoryFiles files;
    for (const Seed &seed : seeds) writeSeed(dir, seed, files);
    varlenSeed(dir, files, "varlen-plain", 0);
    varlenSeed(dir, files, "varlen-packed", ISPACKED);
    isTxnInit(currentTxnId);
    logBuildSeed(dir, files, id, name);
    logOpenSeed(dir, files, id, group);
    logFilesSeed(dir, files, id, name);
    isTxnInit(nullptr);
    journalSeeds(dir, files, id, name);
    return failures == 0 ? 0 : 1;
}
