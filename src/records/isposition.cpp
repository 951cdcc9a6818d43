// layer: records
// isposition.cpp - positioning in record-number order and in index order.
#include "records/isposition.h"

#include <cstring>

#include "frame/iserror.h"
#include "frame/isfile.h"
#include "index/iskey.h"
#include "index/ispath.h"
#include "records/isslot.h"
#include "wisam.h"

namespace wisam {

namespace {

// Start record and step of a read mode in record-number order.
bool recordStart(const IsFile *f, int mode, int64_t &start, int &step) {
    switch (mode) {
    case modeFirst: start = 1, step = 1; return true;
    case modeLast: start = f->dataAlloc.highest, step = -1; return true;
    case modeNext: start = int64_t{f->position} + 1, step = 1; return true;
    case modePrev: start = int64_t{f->position} - 1, step = -1; return true;
    case modeCurrent: start = f->position, step = 1; return true;
    case modeEqual: start = f->recnum, step = 0; return true;
    case modeGreater: start = int64_t{f->recnum} + 1, step = 1; return true;
    case modeGreaterEqual: start = f->recnum, step = 1; return true;
    default: return false;
    }
}

bool positionByNumber(IsFile *f, int mode) {
    int64_t n = 0;
    int step = 0;
    if (f->dataAlloc.highest == 0 || !recordStart(f, mode, n, step) || !recordExists(f, n)) return false;
    readSlot(f, nullptr, static_cast<int32_t>(n));
    if (f->recordBuffer[f->recordLength] == kSlotMarkerDeleted) {
        if (step == 0) return false;
        do {
            n += step;
            if (!recordExists(f, n)) return false;
        } while (slotDeleted(f, static_cast<int32_t>(n)));
        readSlot(f, nullptr, static_cast<int32_t>(n));
    }
    f->position = f->recnum = static_cast<int32_t>(n);
    return true;
}

// Whether the path stands exactly on the saved current entry.
bool onSavedEntry(const IsFile *f, const TreePath *path) {
    const PathNode *head = path->head;
    if (head->serial != path->currentSerial) return false;
    if (f->recordLength != 0) return head->pointer == path->currentRecord;
    return std::memcmp(head->key, path->currentKey, static_cast<size_t>(path->keyLength)) == 0;
}

// Next, previous and current: back to the saved entry first.
int positionRelative(IsFile *f, TreePath *path, int mode) {
    if (f->recordLength != 0 && path->currentRecord == 0) return 0;
    const bool found = treeCheckCurrent(f, path) != 0;
    const bool exact = found && onSavedEntry(f, path);
    switch (mode) {
    case modeNext: return exact ? treeNext(f, path) : found;
    case modePrev: return found ? treePrev(f, path) : treeLast(f, path);
    default: return found;
    }
}

int positionByKey(IsFile *f, TreePath *path, const void *record, int mode) {
    if (record == nullptr) raiseError(f, kErrBadArgument, 0);
    uint8_t *search = path->currentKey;
    makeKey(path, search, record);
    const int found = mode == modeGreater ? treeFindGT(f, path, search) : treeFindGE(f, path, search);
    if (!found) return 0;
    return mode != modeEqual || keysEqual(path, path->head->key, search);
}

bool positionByIndex(IsFile *f, TreePath *path, const void *record, int mode) {
    if (mode > modeGreaterEqual || pathIndexEmpty(f, path)) return false;
    int found = 0;
    switch (mode) {
    case modeFirst: found = treeFirst(f, path); break;
    case modeLast: found = treeLast(f, path); break;
    case modeNext:
    case modePrev:
    case modeCurrent: found = positionRelative(f, path, mode); break;
    default: found = positionByKey(f, path, record, mode); break;
    }
    if (!found) return false;
    rememberEntry(f, path);
    return true;
}

}  // namespace

TreePath *currentPath(const IsFile *f) {
    if (f->currentIndex < 0 || f->currentIndex >= f->keyCount) return nullptr;
    return f->indexes[f->currentIndex];
}

int32_t currentRecordNumber(const IsFile *f) {
    const TreePath *path = currentPath(f);
    return path != nullptr ? static_cast<int32_t>(path->currentRecord) : f->position;
}

void rememberEntry(IsFile *f, TreePath *path) {
    const PathNode *head = path->head;
    std::memcpy(path->currentKey, head->key, static_cast<size_t>(path->keyLength));
    path->currentRecord = head->pointer;
    path->currentSerial = head->serial;
    f->state &= static_cast<uint16_t>(~kStateStartedAtEnd);
    f->recnum = static_cast<int32_t>(head->pointer);
}

bool positionRecord(IsFile *f, const void *record, int mode) {
    TreePath *path = currentPath(f);
    return path == nullptr ? positionByNumber(f, mode) : positionByIndex(f, path, record, mode);
}

bool positionOnRecord(IsFile *f, int32_t n) {
    if (!recordExists(f, n)) return false;
    TreePath *path = currentPath(f);
    if (path == nullptr) {
        f->recnum = n;
        return positionByNumber(f, modeEqual);
    }
    readSlot(f, nullptr, n);
    if (f->recordBuffer[f->recordLength] == kSlotMarkerDeleted || pathIndexEmpty(f, path)) return false;
    uint8_t *key = path->scratch.walkKey;
    path->compareLength = path->keyLength;
    makeKey(path, key, f->recordBuffer);
    if (!treeFindGE(f, path, key)) return false;
    while (path->head->pointer != static_cast<uint32_t>(n)) {
        if ((path->key.flags & ISKEY_DUPS) == 0) return false;
        if (!treeNext(f, path) || !keysEqual(path, path->head->key, key)) return false;
    }
    rememberEntry(f, path);
    return true;
}

}  // namespace wisam
