// layer: unique
// isunique.cpp - setting the unique-id counter and taking ids.

#include "frame/iserror.h"
#include "frame/isfile.h"
#include "lock/islock.h"
#include "lock/issession.h"
#include "structure/isdict.h"
#include "system/isprofile.h"
#include "txn/iswriters.h"
#include "unique/isunique.h"

namespace wisam {

namespace {

// The counter read under the exclusive lock, changed by `change`, written
// quietly and logged by `log`, all before the lock is released.
template <class Change, class Log>
int withCounter(IsFile *f, int32_t event, Change &&change, Log &&log) {
    reportEvent(f, event, kPhaseEvent);
    lockExclusive(f);
    refreshFile(f);
    change();
    writeDictionaryQuiet(f);
    log();
    unlockState(f);
    return 1;
}

// Recovery replays "SU" by setting the counter to the logged value and "UN"
// by taking one id.  Where that would not give the counter the file now
// holds (isSetUniqueIfBigger with a smaller value, a block of ids other than
// one), a second "SU" with the counter's value follows, so that recovery
// ends with exactly the counter the calls left.
void logExactCounter(IsFile *f, int32_t replayed) {
    const auto counter = static_cast<int32_t>(f->uniqueId);
    if (counter != replayed) logUniqueSet(f, counter);
}

int32_t nextAfter(int32_t counter, int32_t count) {
    // Wrapping arithmetic: a counter that passes the largest id turns
    // negative and starts again at 1.
    const auto next = static_cast<int32_t>(static_cast<uint32_t>(counter) + static_cast<uint32_t>(count));
    return next < 0 ? 1 : next;
}

}  // namespace

int setUnique(IsFile *f, int32_t value, bool onlyIfBigger) {
    return withCounter(
        f, kEventSetUnique,
        [&] {
            if (!onlyIfBigger || static_cast<int32_t>(f->uniqueId) < value) {
                f->uniqueId = static_cast<uint32_t>(value);
            }
        },
        [&] {
            logUniqueSet(f, value);
            logExactCounter(f, value);
        });
}

int takeUniqueIds(IsFile *f, int32_t *first, int32_t count) {
    if (first == nullptr) raiseError(f, kErrBadArgument, 0);
    int32_t handedOut = 0;
    return withCounter(
        f, kEventUniqueId,
        [&] {
            handedOut = static_cast<int32_t>(f->uniqueId);
            f->uniqueId = static_cast<uint32_t>(nextAfter(handedOut, count));
            *first = handedOut;
        },
        [&] {
            logUniqueTaken(f, handedOut);
            logExactCounter(f, nextAfter(handedOut, 1));
        });
}

}  // namespace wisam
