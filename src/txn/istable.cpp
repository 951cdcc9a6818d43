// layer: txn/log
// istable.cpp - the transaction table and the deferred-close lists.
#include "txn/istable.h"

#include <cerrno>

#include "frame/isfile.h"
#include "frame/ishandles.h"
#include "frame/ismemory.h"
#include "txn/islog.h"

namespace wisam {

namespace {

struct TransactionTable {
    Transaction **slots = nullptr;
    int32_t capacity = 0;
};

TransactionTable theTable;

bool grow(void **block, int32_t &capacity, size_t unit) {
    const size_t oldSize = static_cast<size_t>(capacity) * unit;
    void *grown = tryReallocZeroed(*block, oldSize, oldSize + kTxnTableGrowth * unit);
    if (grown == nullptr) return false;
    *block = grown;
    capacity += kTxnTableGrowth;
    return true;
}

int32_t listed(const Transaction *t, const IsFile *f) {
    for (int32_t i = t->deferredCapacity - 1; i >= 0; --i) {
        if (t->deferred[i] == f) return i;
    }
    return -1;
}

bool sameName(const char16_t *a, const char16_t *b) {
    for (size_t i = 0;; ++i) {
        if (a[i] != b[i]) return false;
        if (a[i] == 0) return true;
    }
}

}  // namespace

Transaction *findTransaction(uint16_t id) {
    for (int32_t i = theTable.capacity - 1; i >= 0; --i) {
        Transaction *t = theTable.slots[i];
        if (t != nullptr && t->id == id) return t;
    }
    return nullptr;
}

Transaction *currentTransaction() {
    if (logState().fd < 0) return nullptr;
    return findTransaction(callerTxnId());
}

Transaction *createTransaction(uint16_t id) {
    int32_t slot = -1;
    for (int32_t i = theTable.capacity - 1; i >= 0 && slot < 0; --i) {
        if (theTable.slots[i] == nullptr) slot = i;
    }
    if (slot < 0) {
        slot = theTable.capacity;
        void *block = theTable.slots;
        if (!grow(&block, theTable.capacity, sizeof(Transaction *))) {
            errno = ENOMEM;
            return nullptr;
        }
        theTable.slots = static_cast<Transaction **>(block);
    }
    auto *t = static_cast<Transaction *>(tryReallocZeroed(nullptr, 0, sizeof(Transaction)));
    if (t == nullptr) {
        errno = ENOMEM;
        return nullptr;
    }
    t->id = id;
    theTable.slots[slot] = t;
    return t;
}

void releaseTransaction(Transaction *t) {
    for (int32_t i = 0; i < theTable.capacity; ++i) {
        if (theTable.slots[i] == t) theTable.slots[i] = nullptr;
    }
    freeRaw(t->deferred);
    freeRaw(t);
}

// A handle already in the list (closed twice, or closed again after an open
// handed it back) is not listed a second time: the end of the transaction
// closes it once.
bool deferClose(IsFile *f) {
    Transaction *t = currentTransaction();
    if (t == nullptr) return false;
    if (listed(t, f) >= 0) {
        f->state |= kStateDeferClose;
        return true;
    }
    if ((f->state & kStateDeferClose) == 0) return false;
    watchHandleClose(forgetDeferred);
    int32_t slot = -1;
    for (int32_t i = t->deferredCapacity - 1; i >= 0 && slot < 0; --i) {
        if (t->deferred[i] == nullptr) slot = i;
    }
    if (slot < 0) {
        slot = t->deferredCapacity;
        void *block = t->deferred;
        if (!grow(&block, t->deferredCapacity, sizeof(IsFile *))) return false;
        t->deferred = static_cast<IsFile **>(block);
    }
    t->deferred[slot] = f;
    return true;
}

IsFile *handBackDeferred(const char16_t *name) {
    Transaction *t = currentTransaction();
    if (t == nullptr || name == nullptr) return nullptr;
    for (int32_t i = t->deferredCapacity - 1; i >= 0; --i) {
        IsFile *f = t->deferred[i];
        if (f != nullptr && (f->state & kStateDeferClose) != 0 && sameName(f->name, name)) {
            f->state &= static_cast<uint16_t>(~kStateDeferClose);
            return f;
        }
    }
    return nullptr;
}

void endDeferredCloses(Transaction *t, void (*close)(IsFile *)) {
    for (int32_t i = t->deferredCapacity - 1; i >= 0; --i) {
        IsFile *f = t->deferred[i];
        if (f == nullptr) continue;
        t->deferred[i] = nullptr;
        if ((f->state & kStateDeferClose) != 0) {
            f->state &= static_cast<uint16_t>(~kStateDeferClose);
            close(f);
        } else {
            // The application holds it again: it stays open, and a later
            // close inside another transaction may be deferred once more.
            f->state |= kStateDeferClose;
        }
    }
    t->deferred = freeBlock(t->deferred);
    t->deferredCapacity = 0;
}

void forgetDeferred(IsFile *f) {
    for (int32_t i = 0; i < theTable.capacity; ++i) {
        Transaction *t = theTable.slots[i];
        if (t == nullptr) continue;
        const int32_t at = listed(t, f);
        if (at >= 0) t->deferred[at] = nullptr;
    }
}

}  // namespace wisam
