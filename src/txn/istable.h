// layer: txn/log
// istable.h - the process-wide table of active transactions and the handles
// whose close each one defers.
//
// A transaction belongs to the caller's transaction id (the low 16 bits of
// the id callback's answer; 0 for every caller without one).  The table
// grows by 10 slots when full and is searched from the highest slot down.
// A logged handle closed while its caller has a transaction stays open (in
// the transaction's deferred-close list) until the transaction ends; an open
// of the same name inside the transaction hands that handle back.
//
// In a listed handle, `deferClose` tells whether the application has closed
// it (set) or holds it again after an open handed it back (clear).  The end
// of the transaction closes only the first kind: a handle the application
// holds is left open for it.
#pragma once

#include <cstdint>

struct IsFile;

namespace wisam {

constexpr int32_t kTxnTableGrowth = 10;

struct Transaction {
    uint16_t id = 0;
    uint32_t lastOffset = 0;  // the transaction's last chained record
    uint16_t lastLength = 0;
    IsFile **deferred = nullptr;  // deferred-close list; empty slots null
    int32_t deferredCapacity = 0;
};

// The transaction of `id`, or null.
Transaction *findTransaction(uint16_t id);

// The caller's transaction: null when no log is open or the caller has none.
Transaction *currentTransaction();

// Creates the transaction of `id` in the highest free slot (the table grows
// when full).  Null when memory runs out (errno ENOMEM).
Transaction *createTransaction(uint16_t id);

// Takes `t` out of the table and frees it (its deferred-close list must be
// empty).
void releaseTransaction(Transaction *t);

// Close of a logged handle while the caller has a transaction: true when
// the close is deferred to the transaction's end.  False (not deferred) also
// when the list cannot grow: the handle is then closed at once.
bool deferClose(IsFile *f);

// Open inside a transaction: a handle of `name` whose close the caller's
// transaction deferred, handed back (its `deferClose` cleared), or null.
IsFile *handBackDeferred(const char16_t *name);

// Takes every handle out of `t`'s deferred-close list: `close` is called for
// those the application closed, last slot first; the others stay open.
// The list is freed.
void endDeferredCloses(Transaction *t, void (*close)(IsFile *));

// A handle that goes away (closed outside any deferral) leaves every list.
void forgetDeferred(IsFile *f);

}  // namespace wisam
