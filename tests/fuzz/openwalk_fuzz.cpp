// openwalk_fuzz.cpp - fuzz target: opens an ISAM file made of the input's
// bytes (input.h) and reads everything in it every way the read calls
// allow, once without and once with the file cache: every index both ways,
// searches by key, records by number, the information calls, and the check
// of variable-length storage (a variable-length file opens as one).  With the
// input's kSwitchChanges it then writes, rewrites and deletes a few records
// and walks again.  With kSwitchLog the input also holds a transaction log:
// the files are first recovered from it (once keeping, once rolling back
// the transactions it leaves unfinished), every handle recovery left open is
// closed, and what it left is read as above.  With kSwitchJournal a
// rollback journal lies beside the files, and the open must do with it what
// the target's own reading of it (journal.h) says: a journal to refuse is
// set aside whole and the open fails with 105; a change to take back leaves
// the files put back by exactly its images and its journal cleared (or gone
// with the close); any other leaves the files byte for byte as given and the
// journal as it was (or gone with the close).  An open that fails before it
// may look at the journal leaves the files and the journal as they were.
//
// Whatever the bytes, every call must return: no crash, hang, leak or
// access outside a buffer, and every failure must carry an error number.
// A walk returns each index entry or record slot at most once, so a walk
// longer than the files could hold is a loop in the library; the target
// aborts on it (and on anything else it must never see) to report it.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz/input.h"
#include "fuzz/journal.h"
#include "fuzz/memfiles.h"
#include "wisam.h"

namespace {

using wisam::fuzz::FuzzInput;
using wisam::fuzz::MemoryFiles;

constexpr const char16_t *kName = wisam::fuzz::kFuzzName;
constexpr const char *kIndexPath = wisam::fuzz::kFuzzIndexPath;
constexpr const char *kDataPath = wisam::fuzz::kFuzzDataPath;

// A record buffer for any record: the longest fixed part is 32767 bytes, and
// a key-only file spreads its key (at most 1024 bytes) to parts that start
// as far as 32767.
constexpr size_t kRecordBytes = 32767 + 1024 + 64;
// Records read one by one by number, at most: the walks cover the rest.
constexpr int32_t kDirectReads = 300;
// Sample records kept from each walk as search keys.
constexpr size_t kSamples = 4;

[[noreturn]] void finding(const char *what, int detail = 0) {
    std::fprintf(stderr, "wisam fuzz finding: %s (%d)\n", what, detail);
    std::abort();
}

// An error raised while no call is under way means a raise escaped its
// call: a library fault, whatever the file holds.
void watchFatal(const char *text) {
    if (std::strncmp(text, "isam crash", 10) == 0) finding(text);
}

// A failed call must say why.
void expectReason(IsFile *f) {
    const int error = isErrno(f);
    if (error <= 0 || error > is_nerr) finding("a failure without an error number", error);
}

class Exercise {
public:
    Exercise(IsFile *f, size_t walkLimit, const std::vector<uint8_t> &data)
        : f_(f), limit_(walkLimit), record_(kRecordBytes), noise_(kRecordBytes, 0x5A) {
        for (size_t i = 0; i < data.size() && i < noise_.size(); ++i) noise_[i] = data[data.size() - 1 - i];
    }

    void run(bool changes) {
        IsamInfo info{};
        if (isIsamInfo(f_, &info) == 0) expectReason(f_);
        const int indexes = info.indexCount;
        for (int i = 0; i <= indexes + 1; ++i) {
            KeyDesc key{};
            if (isIndexInfo(f_, &key, i) == 0) expectReason(f_);
        }
        for (int index = 1; index <= indexes; ++index) byIndex(index);
        byNumber();
        int32_t statistics[6];
        if ((isCheckVarlen(f_, statistics) & 0x8) != 0) expectReason(f_);
        if (!changes) return;
        change();
        // Whatever the changes did, the file still reads to its ends.
        for (int index = 0; index <= indexes; ++index) {
            if (isIndex(f_, index) == 0) continue;
            walk(modeFirst, modeNext, false);
            walk(modeLast, modePrev, false);
        }
    }

private:
    // Reads from `first` on with `then` until the end; returns the count.
    size_t walk(int first, int then, bool keep) {
        size_t reads = 0;
        for (int mode = first; isRead(f_, record_.data(), mode) != 0; mode = then) {
            if (++reads > limit_) finding("a walk longer than the files can hold", static_cast<int>(reads));
            if (keep && (reads == 1 || reads % 7 == 0) && samples_.size() < kSamples) samples_.push_back(record_);
        }
        expectReason(f_);
        return reads;
    }

    void call(int result) {
        if (result == 0) expectReason(f_);
    }

    void byIndex(int index) {
        if (isIndex(f_, index) == 0) {
            expectReason(f_);
            return;
        }
        samples_.clear();
        walk(modeFirst, modeNext, true);
        walk(modeLast, modePrev, true);
        KeyDesc key{};
        const bool described = isIndexInfo(f_, &key, index) != 0 && key.partCount > 0;
        // A key no record need hold: the data file's bytes backwards.
        samples_.push_back(noise_);
        for (const std::vector<uint8_t> &sample : samples_) {
            for (int mode : {modeEqual, modeGreater, modeGreaterEqual}) {
                record_ = sample;
                call(isRead(f_, record_.data(), mode));
                call(isRead(f_, record_.data(), modeNext));
                call(isRead(f_, record_.data(), modePrev));
                if (!described) continue;
                record_ = sample;
                call(isStart(f_, &key, 0, record_.data(), mode));
                call(isRead(f_, record_.data(), modeNext));
                record_ = sample;
                const int partial = key.keyLength > 1 ? key.keyLength / 2 : 0;
                call(isStart(f_, &key, partial, record_.data(), mode));
                call(isRead(f_, record_.data(), modeCurrent));
                call(isRead(f_, record_.data(), modePrev));
            }
        }
        if (described) {
            call(isStart(f_, &key, 0, record_.data(), modeFirst));
            call(isRead(f_, record_.data(), modeNext));
            call(isStart(f_, &key, 0, record_.data(), modeLast));
            call(isRead(f_, record_.data(), modePrev));
        }
    }

    // Writes, rewrites and deletes through the first index and by number:
    // the damage the reads left alone may lie where a change looks.
    void change() {
        call(isIndex(f_, 1));
        if (isRead(f_, record_.data(), modeFirst) != 0) {
            record_[0] ^= 0x01;
            call(isRewCurr(f_, record_.data()));
            call(isRead(f_, record_.data(), modeNext));
            call(isDelCurr(f_));
            call(isRead(f_, record_.data(), modeLast));
            call(isRewrite(f_, record_.data()));
            call(isDelete(f_, record_.data()));
        } else {
            expectReason(f_);
        }
        call(isWrite(f_, noise_.data()));
        for (const std::vector<uint8_t> &sample : samples_) {
            record_ = sample;
            record_[record_.size() / 3] ^= 0x20;
            call(isWrite(f_, record_.data()));
        }
        int32_t highest = 0;
        if (isGetLastRec(f_, &highest) == 0) expectReason(f_);
        for (int32_t r = 1; r <= highest && r <= 3; ++r) {
            call(isDelRec(f_, r));
            call(isRewRec(f_, highest - r + 1, noise_.data()));
        }
        call(isWrite(f_, noise_.data()));
    }

    void byNumber() {
        int32_t highest = 0;
        if (isGetLastRec(f_, &highest) == 0) expectReason(f_);
        call(isIndex(f_, 0));
        walk(modeFirst, modeNext, false);
        walk(modeLast, modePrev, false);
        const int32_t last = highest < kDirectReads ? highest : kDirectReads;
        for (int32_t r : {-1, 0, highest, highest + 1}) {
            call(isData(f_, record_.data(), r));
            call(isGoto(f_, r));
        }
        for (int32_t r = 1; r <= last; ++r) {
            call(isData(f_, record_.data(), r));
            call(isGoto(f_, r));
        }
        // By number through an index: each record's key is looked up.
        if (isIndex(f_, 1) == 0) return;
        for (int32_t r = 1; r <= last; ++r) {
            if (isGoto(f_, r) == 0) {
                expectReason(f_);
                continue;
            }
            if (r % 5 == 0) call(isRead(f_, record_.data(), modeNext));
        }
    }

    IsFile *f_;
    size_t limit_;
    std::vector<uint8_t> record_;
    std::vector<uint8_t> noise_;
    std::vector<std::vector<uint8_t>> samples_;
};

// Opens the ISAM file laid down (or left by recovery) and exercises it; the
// walks are bounded by the sizes of its files.
void exercise(MemoryFiles &files, const FuzzInput &input, size_t indexBytes, size_t dataBytes) {
    // A variable-length file opens as one; the bit means nothing to others.
    const int mode = ISINOUT | ISOPENVARLEN |
                     ((input.switches & wisam::fuzz::kSwitchExclusive) != 0 ? ISEXCLLOCK : ISMANULOCK);
    IsFile *f = isOpen(kName, mode);
    if (f == nullptr) {
        expectReason(nullptr);
    } else {
        // Each entry of an index takes 4 bytes at least, each slot 1.
        const size_t limit = indexBytes / 4 + dataBytes + 16;
        const bool changes = (input.switches & wisam::fuzz::kSwitchChanges) != 0;
        // Changes add entries and slots: a few more reads may follow.
        Exercise(f, changes ? limit + 64 : limit, input.data).run(changes);
        isClose(f);
    }
    if (files.openCount() != 0) finding("descriptors left open", files.openCount());
}

void openAndRead(MemoryFiles &files, const FuzzInput &input, int32_t cache) {
    files.clear();
    files.put(kIndexPath, input.index);
    if ((input.switches & wisam::fuzz::kSwitchNoDataFile) == 0) files.put(kDataPath, input.data);
    isFileCacheActive = cache;
    exercise(files, input, input.index.size(), input.data.size());
}

// Where the index file holds the record length of the data file (none
// when 0): an open reads it before anything else, and opens the data file
// only for a length other than 0.
constexpr size_t kStoredRecordLengthAt = 13;

// Lays the files down with the journal beside them, opens (which applies,
// leaves or sets aside the journal) and holds what the open did against
// the target's verdict on the journal, then exercises what is left.
void journalAndRead(MemoryFiles &files, const FuzzInput &input, int32_t cache) {
    namespace fz = wisam::fuzz;
    constexpr size_t kLargest = size_t{1} << 20;  // memfiles' largest file
    files.clear();
    const bool dataLaid = (input.switches & fz::kSwitchNoDataFile) == 0;
    files.put(kIndexPath, input.index);
    if (dataLaid) files.put(kDataPath, input.data);
    files.put(fz::kFuzzJournalPath, input.log);
    // What the open sees before it looks at the journal: the record length,
    // and the data file when that is not 0.
    const bool lengthRead = input.index.size() >= kStoredRecordLengthAt + 2;
    const bool dataWanted =
        lengthRead && (input.index[kStoredRecordLengthAt] | input.index[kStoredRecordLengthAt + 1]) != 0;
    const bool reached = lengthRead && (!dataWanted || dataLaid);
    fz::JournalFiles given;
    given.file[0] = &input.index;
    if (dataWanted && dataLaid) given.file[1] = &input.data;
    for (int k = 0; k < 2; ++k) {
        wisam::SysFileStatus status{};
        if (given.file[k] == nullptr) continue;
        if (wisam::sysCalls.pathStatus(k == 0 ? kIndexPath : kDataPath, &status, true) != 0) {
            finding("no status of a file just laid down", errno);
        }
        given.device[k] = status.device;
        given.inode[k] = status.inode;
    }
    fz::JournalView view;
    const fz::JournalVerdict verdict = fz::judgeJournal(input.log, given, view);

    isFileCacheActive = cache;
    IsFile *f = isOpen(kName, ISINOUT | ISOPENVARLEN | ISMANULOCK);
    const int error = f == nullptr ? isErrno(nullptr) : 0;
    if (f == nullptr) {
        expectReason(nullptr);
    } else {
        isClose(f);
    }

    const std::vector<uint8_t> index = files.get(kIndexPath), data = files.get(kDataPath);
    const bool same = index == input.index && (!dataLaid || data == input.data);
    const bool kept = files.exists(fz::kFuzzJournalPath);
    const std::vector<uint8_t> journal = files.get(fz::kFuzzJournalPath);
    const std::string asideStem = std::string(fz::kFuzzJournalPath) + ".bad-";
    std::vector<std::vector<uint8_t>> aside;
    for (const std::string &path : files.paths()) {
        if (path.rfind(asideStem, 0) == 0) aside.push_back(files.get(path));
    }
    if (files.openCount() != 0) finding("descriptors left open after the journal", files.openCount());
    if (!reached) {
        if (f != nullptr) finding("an open that cannot read the file's record length or data file succeeded");
        if (!same) finding("an open that failed before the journal changed the files");
        if (!kept || journal != input.log || !aside.empty()) {
            finding("an open that failed before the journal changed the journal");
        }
    } else {
        switch (verdict) {
        case fz::JournalVerdict::none:
        case fz::JournalVerdict::idle:
            if (!same) finding("the open changed files the journal does not let it change", int(verdict));
            if (!aside.empty()) finding("a journal with nothing to do was set aside", int(verdict));
            if (kept && journal != input.log) finding("a journal with nothing to do was rewritten");
            break;
        case fz::JournalVerdict::refuse:
            if (!same) finding("the open changed files beside a journal it must refuse");
            if (f != nullptr || error != 105) finding("an open beside a journal it must refuse did not fail so", error);
            if (kept || aside.size() != 1 || aside[0] != input.log) {
                finding("a journal to refuse was not set aside whole", static_cast<int>(aside.size()));
            }
            break;
        case fz::JournalVerdict::apply: {
            std::vector<uint8_t> wantIndex = input.index, wantData = input.data;
            const bool representable = fz::rollBack(view, 1, wantIndex, kLargest) &&
                                       (!dataWanted || fz::rollBack(view, 2, wantData, kLargest));
            if (representable && (index != wantIndex || (dataLaid && data != wantData))) {
                finding("the files are not what the journal's images make of them");
            }
            if (!aside.empty()) finding("a journal to apply was set aside");
            const auto cleared = [&] {
                return journal.size() >= fz::kJournalHeader &&
                       std::all_of(journal.begin(), journal.begin() + fz::kJournalHeader,
                                   [](uint8_t b) { return b == 0; });
            };
            if (representable && kept && !cleared()) finding("an applied journal was not cleared");
            break;
        }
        }
    }
    exercise(files, input, index.size(), data.size());
}

// A log record without body ("BW", "RW"): its length (big-endian) at both
// ends and its code at byte 2.
constexpr size_t kBareRecord = 20;

bool bareRecordAt(const std::vector<uint8_t> &log, size_t at, const char *code) {
    return log[at] == 0 && log[at + 1] == kBareRecord && log[at + 2] == code[0] && log[at + 3] == code[1] &&
           log[at + kBareRecord - 2] == 0 && log[at + kBareRecord - 1] == kBareRecord;
}

// Recovers the files laid down from the log laid down, then reads (and with
// kSwitchChanges changes) what recovery left.  Recovery must end with 1
// (errno 118: the end of the log) or 0 with an error number, must leave the
// log as it was, and must leave the log usable: a transaction begins and
// rolls back behind it, which also ends the count of the files recovery
// opened, so that every input starts from the same state.
void recoverAndRead(MemoryFiles &files, const FuzzInput &input, int32_t cache, int32_t rollback) {
    files.clear();
    if (!input.index.empty()) files.put(kIndexPath, input.index);
    if (!input.data.empty() && (input.switches & wisam::fuzz::kSwitchNoDataFile) == 0) {
        files.put(kDataPath, input.data);
    }
    files.put(wisam::fuzz::kFuzzLogPath, input.log);
    isFileCacheActive = cache;
    isRecoverRollback = rollback;
    if (isLogOpen(wisam::fuzz::kFuzzLogName) != 1) finding("the log does not open", errno);
    errno = 0;
    const int recovered = isRecover();
    const int error = errno;
    if (recovered == 1) {
        if (error != ELOGREAD) finding("a recovery that ended without reaching the end of the log", error);
    } else if (recovered == 0) {
        if (error <= 0 || error > is_nerr) finding("a failed recovery without an error number", error);
    } else {
        finding("a recovery result other than 0 and 1", recovered);
    }
    if (files.get(wisam::fuzz::kFuzzLogPath) != input.log) finding("recovery changed the log");
    if (isBegin() != 1) finding("no transaction begins after recovery", errno);
    if (isRollBack() != 1) finding("an empty transaction does not roll back after recovery", errno);
    const std::vector<uint8_t> log = files.get(wisam::fuzz::kFuzzLogPath);
    const size_t end = input.log.size();
    if (log.size() != end + 2 * kBareRecord || !std::equal(input.log.begin(), input.log.end(), log.begin()) ||
        !bareRecordAt(log, end, "BW") || !bareRecordAt(log, end + kBareRecord, "RW")) {
        finding("begin and rollback not appended to the log as they should be", static_cast<int>(log.size()));
    }
    isLogClose();
    isCleanUp();
    if (files.openCount() != 0) finding("descriptors left open after recovery", files.openCount());
    if (files.exists(kIndexPath)) exercise(files, input, files.size(kIndexPath), files.size(kDataPath));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *bytes, size_t size) {
    const FuzzInput input = wisam::fuzz::splitInput(bytes, size);
    const int32_t cacheWas = isFileCacheActive;
    IsFatalHook hookWas = isFatal(watchFatal);
    const int32_t rollbackWas = isRecoverRollback;
    {
        MemoryFiles files;
        if (wisam::fuzz::holdsJournal(input.switches)) {
            journalAndRead(files, input, 0);
            journalAndRead(files, input, 1);
        } else if ((input.switches & wisam::fuzz::kSwitchLog) != 0) {
            // Unfinished transactions kept, then rolled back.
            recoverAndRead(files, input, 0, 0);
            recoverAndRead(files, input, 1, 1);
        } else {
            openAndRead(files, input, 0);
            openAndRead(files, input, 1);
        }
    }
    isFileCacheActive = cacheWas;
    isRecoverRollback = rollbackWas;
    isFatal(hookWas);
    return 0;
}
