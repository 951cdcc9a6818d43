// layer: txn/log
// iswriters.cpp - one writer per log record type.
#include "txn/iswriters.h"

#include <cerrno>

#include "frame/iserror.h"
#include "frame/isfile.h"
#include "frame/ishandles.h"
#include "lock/isrecord.h"
#include "txn/islog.h"
#include "txn/istable.h"

namespace wisam {

namespace {

int32_t lastMapped = -1;

constexpr uint32_t kLoggedAccess = kModeAccessMask | kModeTransaction;

bool chained(const IsFile *f) { return (f->mode & kModeTransaction) != 0; }

// Bytes of a key description in a record: flags, part count, key length,
// then start, length and type of every part.
int64_t keyDescBytes(const KeyDesc &key) {
    const int32_t parts = key.partCount < 0 ? 0 : key.partCount;
    return 6 + 6 * static_cast<int64_t>(parts);
}

void appendKeyDesc(const KeyDesc &key) {
    const int32_t parts = key.partCount < 0 || key.partCount > IS_MAX_KEY_PARTS ? 0 : key.partCount;
    uint32_t total = 0;
    for (int32_t i = 0; i < parts; ++i) total += static_cast<uint16_t>(key.parts[i].length);
    appendU16(key.flags);
    appendU16(static_cast<uint32_t>(parts));
    appendU16(total);
    for (int32_t i = 0; i < parts; ++i) {
        appendU16(static_cast<uint16_t>(key.parts[i].start));
        appendU16(static_cast<uint16_t>(key.parts[i].length));
        appendU16(key.parts[i].type);
    }
}

// Appends the record built for `f`; a failure fails the call.
void finishFor(IsFile *f, Transaction *t, bool chain) {
    if (finishRecord(t, chain) != 1) raiseError(f, kErrLogWrite, 0, '9');
}

// Starts a record for `f`; the transaction and the chain come from the file.
Transaction *startFor(IsFile *f, uint16_t code, int64_t bodyBytes, bool chainable) {
    if (!recordFits(bodyBytes)) raiseError(f, kErrLogWrite, 0, '9');
    Transaction *t = currentTransaction();
    startRecord(code, t, chainable && chained(f));
    return t;
}

void logOpenOrClose(IsFile *f, uint16_t code) {
    if (!logRecords(f)) return;
    Transaction *t = startFor(f, code, 4 + nameBytes(f->name), true);
    appendU16(static_cast<uint32_t>(fileNumberOf(f)));
    appendU16((f->mode & kModeVarLength) != 0 ? 1 : 0);
    appendName(f->name);
    finishFor(f, t, chained(f));
}

void logKeyChange(IsFile *f, uint16_t code, const KeyDesc &key) {
    if (!logRecords(f)) return;
    startFor(f, code, 2 + keyDescBytes(key), false);
    appendU16(static_cast<uint32_t>(fileNumberOf(f)));
    appendKeyDesc(key);
    finishFor(f, nullptr, false);
}

void logCounter(IsFile *f, uint16_t code, int32_t value) {
    if (!logRecords(f)) return;
    startFor(f, code, 6, false);
    appendU16(static_cast<uint32_t>(fileNumberOf(f)));
    appendU32(static_cast<uint32_t>(value));
    finishFor(f, nullptr, false);
}

void logImage(IsFile *f, uint16_t code, int32_t recnum, const void *image, int32_t length) {
    if (!logRecords(f)) return;
    Transaction *t = startFor(f, code, 8 + int64_t{length}, true);
    appendU16(static_cast<uint32_t>(fileNumberOf(f)));
    appendU32(static_cast<uint32_t>(recnum));
    appendU16(static_cast<uint32_t>(length));
    appendBytes(image, length);
    finishFor(f, t, chained(f));
}

}  // namespace

bool modeLogged(uint32_t mode) {
    return (mode & kModeNeverLogged) == 0 && (mode & kLoggedAccess) != 0;
}

bool loggingWanted(const IsFile *f) {
    const LogState &log = logState();
    if (log.buffer == nullptr || (f != nullptr && !modeLogged(f->mode))) return false;
    return log.fd >= 0 || log.recoveryOpened != 0;
}

bool logRecords(const IsFile *f) { return logState().fd >= 0 && loggingWanted(f); }

int32_t fileNumberOf(const IsFile *f) { return f == nullptr ? -1 : f->tableSlot - 1; }

int32_t originLookup(int32_t number, int32_t process) {
    lastMapped = -1;
    for (int32_t i = handleTableCapacity() - 1; i >= 0; --i) {
        const IsFile *f = handleEntry(i).file;
        if (f != nullptr && f->logFileId[0] == number && f->logFileId[1] == process) {
            lastMapped = i;
            break;
        }
    }
    return lastMapped;
}

int32_t lastMappedSlot() { return lastMapped; }

void checkLogRoom(IsFile *f, int64_t recordBytes) {
    // "UP" carries the most besides its images: file, record, two lengths.
    if (logRecords(f) && !recordFits(10 + recordBytes)) raiseError(f, kErrLogWrite, 0, '9');
}

void logOpened(IsFile *f) { logOpenOrClose(f, logCode("FO")); }

void logClosed(IsFile *f) { logOpenOrClose(f, logCode("FC")); }

void logBuilt(IsFile *f, const KeyDesc &key) {
    if (!logRecords(f)) return;
    startFor(f, logCode("BU"), 6 + keyDescBytes(key) + nameBytes(f->name), false);
    appendU16(f->mode);
    appendU16(static_cast<uint32_t>(f->recordLength));
    appendU16(static_cast<uint32_t>((f->mode & kModeVarLength) != 0 ? f->maxRecordLength : f->recordLength));
    appendKeyDesc(key);
    appendName(f->name);
    finishFor(f, nullptr, false);
}

void logIndexAdded(IsFile *f, const KeyDesc &key) { logKeyChange(f, logCode("CI"), key); }

void logIndexDropped(IsFile *f, const KeyDesc &key) { logKeyChange(f, logCode("DI"), key); }

void logUniqueSet(IsFile *f, int32_t value) { logCounter(f, logCode("SU"), value); }

void logUniqueTaken(IsFile *f, int32_t first) { logCounter(f, logCode("UN"), first); }

void logInserted(IsFile *f, int32_t recnum, const void *image, int32_t length) {
    logImage(f, logCode("IN"), recnum, image, length);
}

void logDeleted(IsFile *f, int32_t recnum, const void *image, int32_t length) {
    logImage(f, logCode("DE"), recnum, image, length);
}

void logUpdated(IsFile *f, int32_t recnum, const void *before, int32_t beforeLength, const void *after,
                int32_t afterLength) {
    if (!logRecords(f)) return;
    Transaction *t = startFor(f, logCode("UP"), 10 + int64_t{beforeLength} + afterLength, true);
    appendU16(static_cast<uint32_t>(fileNumberOf(f)));
    appendU32(static_cast<uint32_t>(recnum));
    appendU16(static_cast<uint32_t>(beforeLength));
    appendU16(static_cast<uint32_t>(afterLength));
    appendBytes(before, beforeLength);
    appendBytes(after, afterLength);
    finishFor(f, t, chained(f));
}

int logErased(const char16_t *name) {
    if (!logRecords(nullptr)) return 1;
    if (!recordFits(nameBytes(name))) {
        errno = kErrLogWrite;
        return 0;
    }
    startRecord(logCode("ER"), currentTransaction(), false);
    appendName(name);
    return finishRecord(nullptr, false);
}

int logRenamed(const char16_t *oldName, const char16_t *newName) {
    if (!logRecords(nullptr)) return 1;
    const int64_t oldBytes = nameBytes(oldName);
    const int64_t newBytes = nameBytes(newName);
    if (!recordFits(4 + oldBytes + newBytes)) {
        errno = kErrLogWrite;
        return 0;
    }
    startRecord(logCode("RE"), currentTransaction(), false);
    appendU16(static_cast<uint32_t>(oldBytes / 2));
    appendU16(static_cast<uint32_t>(newBytes / 2));
    appendName(oldName);
    appendName(newName);
    return finishRecord(nullptr, false);
}

bool lockForTransaction(IsFile *f, int32_t recnum) {
    if (!chained(f) || !loggingWanted(f) || holdsRecordLock(f, recnum)) return false;
    return lockRecord(f, recnum, false) == 1;
}

}  // namespace wisam
