// layer: txn/high
// istxn.cpp - begin, commit, rollback and the backward walk.
#include "txn/istxn.h"

#include <cerrno>

#include "frame/iscall.h"
#include "frame/isfile.h"
#include "frame/ishandles.h"
#include "lock/iscustom.h"
#include "lock/isrecord.h"
#include "structure/islife.h"
#include "system/issystem.h"
#include "txn/islog.h"
#include "txn/istable.h"
#include "txn/iswriters.h"

namespace wisam {

namespace {

constexpr int32_t kForceCommitFiles = 2;

// Releases the record lock a transaction took for an "IN" or "UP" record.
// A handle closed since holds no locks any more: nothing to release.
int releaseRecordLock() {
    IsFile *f = handleAt(static_cast<int32_t>(recordU16(kLogBody)));
    if (f == nullptr) return 1;
    const auto record = static_cast<int32_t>(recordU32(kLogBody + 2));
    // Any access mode: an output-only handle holds its transaction's locks
    // as well.
    return framedCall(f, kAccessAny, CallLock::shared, [&] {
        unlockRecord(f, record);
        return 1;
    });
}

// Keeps the exclusive file-state lock of the record's file, unless the
// handle keeps a lock of its own (the application's, or one taken for an
// earlier record) or another handle of this process on the same file holds
// one (the two would wait for each other); the handles taken are added to
// `held`.  A lock that cannot be kept does not stop the rollback.
void holdFile(std::vector<IsFile *> &held) {
    IsFile *f = recordHandle(0);
    if (f == nullptr || f->deferState != 0 || (f->mode & (kModeNoLocking | kModeExclusive)) != 0) return;
    for (const IsFile *g : held) {
        if (groupToken(g) == groupToken(f)) return;
    }
    const int kept = unframedCall(f, [&] {
        keepExclusiveLock(f);
        return 1;
    });
    if (kept == 1) held.push_back(f);
}

int stepBack(int64_t offset, int32_t fd, WalkMode mode, RecordMoves &moves, std::vector<IsFile *> *held) {
    const uint16_t code = recordCode();
    if (!knownCode(code)) {
        errno = kErrBadLog;
        return 0;
    }
    const bool locks = code == logCode("IN") || code == logCode("UP");
    const bool changes = locks || code == logCode("DE");
    if (mode == WalkMode::releaseLocks && !locks) return 1;
    if (mode == WalkMode::undo && !hasUndo(code)) return 1;
    if (mode == WalkMode::holdFiles && (!changes || held == nullptr)) return 1;
    if (readRecordBody(fd, offset) != 1) return 0;
    if (mode == WalkMode::releaseLocks) return releaseRecordLock();
    if (mode == WalkMode::holdFiles) {
        holdFile(*held);
        return 1;
    }
    const LogState &log = logState();
    const int32_t process = log.recovering ? static_cast<int32_t>(recordU16(kLogProcess)) : 0;
    if (undoRecord(process, moves) != 1) return 0;
    return readRecordHeader(fd, offset);
}

// Ends the locks a rollback kept on its files, writing what they held back.
void releaseHeld(const std::vector<IsFile *> &held) {
    for (IsFile *f : held) {
        if (!isKnownHandle(f)) continue;
        unframedCall(f, [&] {
            endKeptLock(f);
            return 1;
        });
    }
}

// Closes a handle whose close the ending transaction deferred.
void closeDeferred(IsFile *f) { closeFile(f); }

// Flushes the data and index files of every handle that takes part in
// transactions, each descriptor once, before a durable commit.
int syncTransactionFiles() {
    for (int32_t i = 0; i < handleTableCapacity(); ++i) {
        IsFile *f = handleEntry(i).file;
        if (f == nullptr || (f->mode & kModeTransaction) == 0 || !loggingWanted(f)) continue;
        bool seen = false;
        for (int32_t j = 0; j < i && !seen; ++j) {
            const IsFile *g = handleEntry(j).file;
            seen = g != nullptr && groupToken(g) == groupToken(f) && (g->mode & kModeTransaction) != 0;
        }
        if (seen) continue;
        if (sysCommit(nullptr, f->dataFd) != 1 || sysCommit(nullptr, f->indexFd) != 1) return 0;
    }
    return 1;
}

// The end of `t`: its deferred closes are done and the transaction is
// released.
void endTransaction(Transaction *t) {
    endDeferredCloses(t, closeDeferred);
    releaseTransaction(t);
    logState().recoveryOpened = 0;
}

}  // namespace

int walkBack(int64_t offset, int32_t fd, WalkMode mode, std::vector<IsFile *> *held) {
    RecordMoves moves;
    for (;;) {
        if (readRecordHeader(fd, offset) != 1) return 0;
        if (recordCode() == logCode("BW")) return 1;
        if (stepBack(offset, fd, mode, moves, held) != 1) return 0;
        const int64_t previous = recordU32(kLogPrevOffset);
        // A chain only ever points back: anything else is a damaged log,
        // which must not make the walk go round.
        if (previous >= offset || recordU16(kLogPrevLength) == 0) {
            errno = kErrBadLog;
            return 0;
        }
        offset = previous;
    }
}

int beginTransaction() {
    if (logState().fd < 0) {
        errno = kErrNoLog;
        return 0;
    }
    const uint16_t id = callerTxnId();
    if (findTransaction(id) != nullptr) return 1;
    Transaction *t = createTransaction(id);
    if (t == nullptr) return 0;
    startRecord(logCode("BW"), t, false);
    if (finishRecord(t, true) != 1) {
        // A transaction whose begin is not in the log could be neither
        // rolled back nor recovered: it does not start.
        releaseTransaction(t);
        return 0;
    }
    return 1;
}

// With isForceCommit, "CW" is flushed to the device with the log before
// the commit is reported: the log holds every image of the transaction, so
// a power cut after a successful commit loses nothing that recovery from
// the copy the log began with cannot redo, at the cost of one flush per
// commit.  The files themselves are flushed where a forced commit always
// flushes them (the end of a kept lock); isForceCommit 2 also flushes the
// files of every transaction handle, data then index, before "CW" is
// written, and a flush that fails there leaves the transaction open (the
// caller may commit again or roll back).
int commitTransaction() {
    Transaction *t = currentTransaction();
    if (t == nullptr) return 0;
    {
        HiddenLog hidden;
        walkBack(t->lastOffset, hidden.fd(), WalkMode::releaseLocks);
    }
    if (isForceCommit >= kForceCommitFiles && syncTransactionFiles() != 1) return 0;
    // The deferred closes come first: their "FC" records join the chain.
    endDeferredCloses(t, closeDeferred);
    startRecord(logCode("CW"), t, true);
    const int written = finishRecord(t, true);
    endTransaction(t);
    if (written != 1 || isForceCommit == 0) return written;
    return syncLog();
}

// The files the transaction changed are held still (their exclusive
// file-state locks kept) from before the undo until "RW" is in the log: no
// other process's change falls between the undo and its record, so recovery,
// which undoes the transaction where it meets "RW", sees the files as the
// rollback left them.  For the same reason the handles whose close the
// transaction deferred are closed only after "RW".
int rollBackTransaction() {
    Transaction *t = currentTransaction();
    if (t == nullptr) return 0;
    const int32_t fd = logState().fd;
    std::vector<IsFile *> held;
    int undone = walkBack(t->lastOffset, fd, WalkMode::holdFiles, &held);
    if (undone == 1) undone = walkBack(t->lastOffset, fd, WalkMode::undo);
    const int error = errno;
    {
        HiddenLog hidden;
        walkBack(t->lastOffset, hidden.fd(), WalkMode::releaseLocks);
    }
    startRecord(logCode("RW"), t, true);
    finishRecord(t, true);
    releaseHeld(held);
    endTransaction(t);
    errno = error;
    return undone;
}

}  // namespace wisam
