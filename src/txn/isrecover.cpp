// layer: txn/high
// isrecover.cpp - recovery: the log replayed from its first record.
//
// The files are expected as they were when the log began (a copy taken
// then).  Every operation is redone in log order; a transaction is undone
// when its "RW" is met.  Transactions the log holds no end record for (their
// process died) are kept by default; with isRecoverRollback they are rolled
// back once the pass has reached the end, newest first, so that the copy
// plus the log gives exactly the committed state.
//
// Every record is read whole and its trailing length checked before it is
// used, so a damaged log stops the pass with 119 instead of steering it
// through garbage; every step moves forward by at least the 20 bytes of the
// smallest record, so the pass always ends.
#include <algorithm>
#include <cerrno>
#include <vector>

#include "system/issystem.h"
#include "txn/islog.h"
#include "txn/istxn.h"

extern "C" {
WISAM_API int32_t isRecoverRollback = 0;
}

namespace wisam {

namespace {

// A transaction the pass has seen begin and not yet end.
struct OpenTransaction {
    uint32_t process;
    uint32_t id;
    int64_t last;  // offset of its last chained record
};

class Unfinished {
public:
    void note(int64_t offset) {
        const uint16_t code = recordCode();
        const uint32_t process = recordU16(kLogProcess);
        const uint32_t id = recordU16(kLogTxnId);
        auto it = std::find_if(open_.begin(), open_.end(),
                               [&](const OpenTransaction &t) { return t.process == process && t.id == id; });
        if (code == logCode("BW")) {
            // The same process and id again: the earlier one never ended.
            if (it != open_.end()) abandoned_.push_back(*it), open_.erase(it);
            open_.push_back({process, id, offset});
        } else if (it == open_.end()) {
            return;
        } else if (code == logCode("CW") || code == logCode("RW")) {
            open_.erase(it);
        } else if (recordU16(kLogPrevLength) != 0 && recordU32(kLogPrevOffset) == it->last) {
            it->last = offset;
        }
    }

    // The transactions without end, the one with the newest record first.
    std::vector<OpenTransaction> all() const {
        std::vector<OpenTransaction> left = abandoned_;
        left.insert(left.end(), open_.begin(), open_.end());
        std::sort(left.begin(), left.end(),
                  [](const OpenTransaction &a, const OpenTransaction &b) { return a.last > b.last; });
        return left;
    }

private:
    std::vector<OpenTransaction> open_;
    std::vector<OpenTransaction> abandoned_;
};

int applyRecord(int64_t offset, int32_t fd) {
    const uint16_t code = recordCode();
    if (code == logCode("BW") || code == logCode("CW")) return 1;
    if (code == logCode("RW")) {
        // The chain of a rollback leads back from it, never forward.
        if (recordU32(kLogPrevOffset) >= offset || recordU16(kLogPrevLength) == 0) {
            errno = kErrBadLog;
            return 0;
        }
        return walkBack(recordU32(kLogPrevOffset), fd, WalkMode::undo);
    }
    if (!knownCode(code)) return 1;  // passed over by its length
    return redoRecord(static_cast<int32_t>(recordU16(kLogProcess)));
}

// The log is replayed as far as it reached when recovery began.  A last
// record that runs past that end was torn by a crash while it was being
// appended: it is the end of the log, as if it had not been begun.
int forwardPass(int32_t fd) {
    Unfinished unfinished;
    const int64_t end = sysFileSize(nullptr, fd);
    for (int64_t offset = 0; offset < end;) {
        if (readRecordHeader(fd, offset) != 1) {
            if (errno != kErrLogRead) return 0;
            break;
        }
        const int32_t length = recordLength();
        if (offset + length > end) break;
        if (readRecordBody(fd, offset) != 1) return 0;
        unfinished.note(offset);
        if (applyRecord(offset, fd) != 1) return 0;
        offset += length;
    }
    if (isRecoverRollback != 0) {
        for (const OpenTransaction &t : unfinished.all()) {
            if (walkBack(t.last, fd, WalkMode::undo) != 1) return 0;
        }
    }
    errno = kErrLogRead;
    return 1;
}

}  // namespace

int recoverLog() {
    LogState &log = logState();
    if (log.fd < 0) {
        errno = kErrNoLog;
        return 0;
    }
    HiddenLog hidden;
    log.recovering = true;
    const int result = forwardPass(hidden.fd());
    log.recovering = false;
    return result;
}

}  // namespace wisam
