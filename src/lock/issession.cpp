// layer: lock
// issession.cpp - refresh, hot journals, resync and commit of a handle.
#include "lock/issession.h"

#include "frame/isdiscard.h"
#include "frame/isfile.h"
#include "frame/isundo.h"
#include "lock/islock.h"
#include "structure/isdict.h"
#include "system/isjournal.h"

namespace wisam {

void refreshFile(IsFile *f) {
    if ((f->mode & kModeExclusive) != 0) return;
    if ((f->deferState & (kDeferSharedKept | kDeferExclusiveKept)) != 0) return;
    if (f->indexFd < 0 || f->dictionary == nullptr) return;
    const uint32_t before = f->changeCount;
    readDictionary(f);
    if (f->changeCount == before) return;
    // A moved counter is also what a change interrupted half-way leaves.
    if (recoverHotJournal(f)) readDictionary(f);
    discardForeignChanges(f);
}

bool recoverHotJournal(IsFile *f) {
    if (!journalLooksHot(f)) return false;
    const uint8_t held = stateLockRaise(f);
    bool changed = false;
    try {
        changed = journalRecover(f);
    } catch (...) {
        stateLockRestore(f, held);
        throw;
    }
    stateLockRestore(f, held);
    return changed;
}

void resyncWithFiles(IsFile *f) {
    f->deferState &= static_cast<uint8_t>(~(kDeferDictionary | kDeferWriteBack | kDeferCommit));
    endChange(f);  // the call's own images are older than what the files hold now
    readDictionary(f);
    discardForeignChanges(f);
}

void applyPendingJournal(IsFile *f) {
    if (!journalPending(f)) return;
    journalRecover(f);
    resyncWithFiles(f);
}

void commitChange(IsFile *f) {
    if (!journalInChange(f)) return;
    const bool kept = (f->deferState & kDeferExclusiveKept) != 0 && (f->lockState & kLockStateExclusive) != 0;
    if (kept) {
        journalSpansCalls(f);
    } else {
        journalCommit(f);
    }
}

}  // namespace wisam
