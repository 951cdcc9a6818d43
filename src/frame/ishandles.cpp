// layer: frame/call
// ishandles.cpp - handle table, file groups, registration.
#include "frame/ishandles.h"

#include <cerrno>
#include <cstring>
#include <exception>

#include "frame/iscall.h"
#include "frame/iserror.h"
#include "frame/isfile.h"
#include "frame/ismemory.h"
#include "frame/isundo.h"
#include "index/ispath.h"
#include "lock/iscustom.h"
#include "lock/islock.h"
#include "lock/issession.h"
#include "lock/isrecord.h"
#include "structure/isencode.h"
#include "system/iscache.h"
#include "system/isjournal.h"
#include "system/issystem.h"
#include "system/isthread.h"
#include "system/isview.h"

namespace wisam {

namespace {

// The handle table: process-wide, as the handles it lists.
HandleEntry *entries = nullptr;
int32_t capacity = 0;

constexpr int64_t kStoredRecordLengthOffset = 13;

bool sameName(const char16_t *a, const char16_t *b) {
    if (a == nullptr || b == nullptr) return false;
    while (*a != 0 && *a == *b) ++a, ++b;
    return *a == *b;
}

int32_t findEntry(const IsFile *f) {
    for (int32_t i = capacity - 1; i >= 0; --i) {
        if (entries[i].file == f) return i;
    }
    return -1;
}

// The first free entry, growing the table by 10 when none is free.
int32_t takeEntry(IsFile *f) {
    for (int32_t i = 0; i < capacity; ++i) {
        if (entries[i].file == nullptr) return i;
    }
    const size_t oldSize = sizeof(HandleEntry) * static_cast<size_t>(capacity);
    const size_t newSize = oldSize + sizeof(HandleEntry) * kHandleTableGrowth;
    entries = static_cast<HandleEntry *>(reallocZeroed(f, entries, oldSize, newSize));
    capacity += kHandleTableGrowth;
    return capacity - kHandleTableGrowth;
}

// The last other handle registered under the same name.
const IsFile *findSibling(const IsFile *f) {
    for (int32_t i = capacity - 1; i >= 0; --i) {
        const IsFile *other = entries[i].file;
        if (other != nullptr && other != f && entries[i].token != nullptr &&
            sameName(other->name, f->name)) {
            return other;
        }
    }
    return nullptr;
}

bool excludes(uint32_t exclusiveSide, uint32_t otherSide) {
    return (exclusiveSide & kModeExclusive) != 0 && (otherSide & kModeNoLocking) == 0;
}

// Record length stored in the index file: whether there is a data file.
int32_t storedRecordLength(IsFile *f) {
    if (f->dictionary != nullptr) return f->recordLength;
    uint8_t bytes[2];
    sysRead(f, kKindIndex, bytes, sizeof bytes, kStoredRecordLengthOffset);
    return static_cast<int16_t>(ld2(bytes));
}

void openGroupFiles(IsFile *f) {
    if (f->indexFd < 0) sysOpen(f, kKindIndex, f->name);
    if (f->dataFd < 0 && storedRecordLength(f) != 0) sysOpen(f, kKindData, f->name);
    if ((f->mode & kModeNoLocking) == 0) {
        if (f->lockFd < 0) sysOpenOrCreate(f, kKindLock, f->name);
        if ((f->mode & kModeExclusive) != 0) {
            openLockExclusive(f);
        } else {
            openLockShared(f);
        }
    }
}

}  // namespace

void registerFile(IsFile *f) {
    const int32_t entry = takeEntry(f);
    entries[entry].file = f;
    if (const IsFile *sibling = findSibling(f)) {
        if (excludes(f->mode, sibling->mode) || excludes(sibling->mode, f->mode)) {
            raiseError(f, kErrFileInUse, 0);
        }
        f->indexFd = sibling->indexFd;
        f->dataFd = sibling->dataFd;
        f->lockFd = sibling->lockFd;
        entries[entry].token = sibling->group;
    } else {
        GroupLock *group = newGroupLock();
        if (group == nullptr) raiseError(f, kErrNoMemory, 0);
        entries[entry].token = group;
        openGroupFiles(f);
    }
    f->group = static_cast<GroupLock *>(entries[entry].token);
    f->tableSlot = entry + 1;
}

void unregisterFile(IsFile *f) {
    const int32_t entry = findEntry(f);
    if (entry < 0) return;
    void *token = entries[entry].token;
    bool shared = false;
    for (int32_t i = 0; i < capacity && token != nullptr; ++i) {
        if (i != entry && entries[i].token == token) shared = true;
    }
    entries[entry].token = nullptr;
    std::exception_ptr pending;
    if (shared) {
        // The descriptors stay open for the other handles: this handle's
        // record locks and file lock would outlive it there, unseen by the
        // in-process check, so they end with it.  Its presence byte stays:
        // it stands for the whole group, whose handles share the lock file.
        try {
            unlockAll(f);          // the file lock, if held
            unlockAllRecords(f);   // records beyond the file-lock region too
        } catch (...) {
            pending = std::current_exception();
        }
    } else {
        // Closing the lock file ends its locks anyway: a failed release is
        // passed on only after the files are closed.
        try {
            if (f->lockFd >= 0) {
                if (openLockAlone(f)) journalRemoveAtLastClose(f);
                openLockRelease(f);
            }
        } catch (...) {
            pending = std::current_exception();
        }
        sysClose(f, kKindIndex);
        sysClose(f, kKindData);
        sysClose(f, kKindLock);
        dropGroupLock(static_cast<GroupLock *>(token));
    }
    entries[entry].file = nullptr;
    f->group = nullptr;
    f->tableSlot = 0;
    if (pending) std::rethrow_exception(pending);
}

bool isKnownHandle(const IsFile *f) { return f != nullptr && findEntry(f) >= 0; }

bool usableHandle(const IsFile *f) {
    if (f == nullptr) {
        errno = kErrNotOpen;
        return false;
    }
    if (!isKnownHandle(f)) {
        errno = kErrCorrupt;
        return false;
    }
    return true;
}

namespace {

// The work a handle still owes its files: the end of a kept lock with its
// deferred writes, and a failed call's undo.  False when it failed; the
// kept lock is given up either way.
bool writeHeldBack(IsFile *f) {
    const int32_t outer = f->callAccess;
    f->callAccess = kAccessAny;  // a raise here is a failure, not a crash
    ArmedFrame armed(f);
    bool written = true;
    try {
        finishPendingUndo(f);
        applyPendingJournal(f);
        endKeptLock(f);
    } catch (const IsamRaise &) {
        written = false;
    }
    f->deferState = 0;
    try {
        unlockState(f);
    } catch (const IsamRaise &) {
    }
    f->callAccess = outer;
    return written;
}

}  // namespace

namespace {

HandleCloseWatcher closeWatcher = nullptr;

}  // namespace

void watchHandleClose(HandleCloseWatcher watcher) { closeWatcher = watcher; }

bool closeHandle(IsFile *f) {
    if (f == nullptr) return true;
    if (closeWatcher != nullptr) closeWatcher(f);
    const bool written = writeHeldBack(f);
    const int failure = errno;
    releaseHandleCaches(f);
    // The files must be closed whatever happens: a failing unlock is
    // reported by its raise and the close goes on.
    try {
        unregisterFile(f);
    } catch (const IsamRaise &) {
        // Reported by its raise; the handle is out of the table regardless.
    }
    for (TreePath *&path : f->indexes) path = pathDestroy(path);
    f->keyCount = 0;
    f->name = freeBlock(f->name);
    f->dictionary = freeBlock(f->dictionary);
    f->recordBuffer = freeBlock(f->recordBuffer);
    f->heldLocks = freeBlock(f->heldLocks);
    f->indexAlloc.buffer = freeBlock(f->indexAlloc.buffer);
    f->dataAlloc.buffer = freeBlock(f->dataAlloc.buffer);
    f->spaceTable = freeBlock(f->spaceTable);
    f->varBlock = freeBlock(f->varBlock);
    f->packBuffer = freeBlock(f->packBuffer);
    f->undo = freeUndo(f->undo);
    sysClose(f, kKindJournal);
    f->journal = freeJournal(f->journal);
    viewDrop(f);
    destroyHandle(f);
    if (!written) errno = failure;
    return written;
}

int32_t handleTableCapacity() { return capacity; }

IsFile *handleAt(int32_t number) {
    return number >= 0 && number < capacity ? entries[number].file : nullptr;
}

const HandleEntry &handleEntry(int32_t index) { return entries[index]; }

void *groupToken(const IsFile *f) {
    const int32_t entry = findEntry(f);
    return entry < 0 ? nullptr : entries[entry].token;
}

bool groupShared(const IsFile *f) {
    void *token = groupToken(f);
    for (int32_t i = 0; i < capacity && token != nullptr; ++i) {
        if (entries[i].file != f && entries[i].token == token) return true;
    }
    return false;
}

// Closes every registered handle, last entry first, and frees the table.
int cleanUpHandles() {
    bool written = true;
    for (int32_t i = capacity - 1; i >= 0; --i) {
        if (entries != nullptr && i < capacity && entries[i].file != nullptr) {
            if (!closeHandle(entries[i].file)) written = false;
        }
    }
    entries = freeBlock(entries);
    capacity = 0;
    return written ? 1 : 0;
}

}  // namespace wisam
