// layer: txn/log
// islog.cpp - the log state, building, appending and reading log records.
#include "txn/islog.h"

#include <cerrno>
#include <cstring>

#include "frame/isfile.h"
#include "frame/ismemory.h"
#include "structure/isencode.h"
#include "system/iscache.h"
#include "system/isregion.h"
#include "system/issystem.h"
#include "system/isthread.h"
#include "txn/istable.h"

namespace wisam {

namespace {

LogState theLog;

constexpr int64_t kAppendLockOffset = 0;
constexpr int32_t kAppendLockLength = 1;

uint8_t *at(int32_t offset) { return theLog.buffer + offset; }

}  // namespace

LogState &logState() { return theLog; }

int logOpen(const char16_t *name) {
    if (theLog.fd >= 0) return 1;
    if (name == nullptr || name[0] == 0) {
        errno = kErrLogOpen;
        return 0;
    }
    size_t units = 0;
    while (name[units] != 0) ++units;
    const size_t nameSize = (units + 1) * sizeof(char16_t);
    auto *copy = static_cast<char16_t *>(tryReallocZeroed(nullptr, 0, nameSize));
    auto *buffer = static_cast<uint8_t *>(tryReallocZeroed(nullptr, 0, kLogBufferSize));
    const int32_t fd = copy != nullptr && buffer != nullptr ? sysCreate(nullptr, kKindLog, name) : -1;
    if (fd < 0) {
        freeRaw(copy);
        freeRaw(buffer);
        errno = kErrLogOpen;
        return 0;
    }
    std::memcpy(copy, name, nameSize);
    theLog.fd = fd;
    requireWholeLibrary(kWholeForLog, true);  // every call may write the log
    theLog.name = copy;
    theLog.buffer = buffer;
    theLog.length = 0;
    return 1;
}

void logClose() {
    if (theLog.fd < 0) return;
    sysClose(nullptr, theLog.fd);
    forgetRegions(theLog.fd);
    theLog.fd = -1;
    requireWholeLibrary(kWholeForLog, false);
    theLog.name = freeBlock(theLog.name);
    theLog.buffer = freeBlock(theLog.buffer);
    theLog.length = 0;
}

uint16_t callerTxnId() {
    if (theLog.idCallback == nullptr) return 0;
    return static_cast<uint16_t>(theLog.idCallback());
}

void startRecord(uint16_t code, const Transaction *t, bool chain) {
    std::memset(theLog.buffer, 0, kLogHeaderSize);
    st2(at(kLogCode), static_cast<int32_t>(code));
    st2(at(kLogProcess), sysCalls.getpid());
    const bool withId = t != nullptr && theLog.idCallback != nullptr;
    st2(at(kLogTxnId), withId ? t->id : 0);
    st4(at(kLogTime), static_cast<int32_t>(static_cast<uint32_t>(sysCalls.now())));
    if (t != nullptr && chain) {
        st4(at(kLogPrevOffset), static_cast<int32_t>(t->lastOffset));
        st2(at(kLogPrevLength), t->lastLength);
    }
    theLog.length = kLogHeaderSize;
}

void appendU16(uint32_t value) {
    st2(at(theLog.length), static_cast<int32_t>(value & 0xFFFF));
    theLog.length += 2;
}

void appendU32(uint32_t value) {
    st4(at(theLog.length), static_cast<int32_t>(value));
    theLog.length += 4;
}

void appendBytes(const void *bytes, int32_t length) {
    if (length > 0) std::memcpy(at(theLog.length), bytes, static_cast<size_t>(length));
    theLog.length += length;
}

void appendName(const char16_t *name) {
    for (size_t i = 0;; ++i) {
        const char16_t unit = name[i];
        uint8_t *p = at(theLog.length);
        p[0] = static_cast<uint8_t>(unit & 0xFF);
        p[1] = static_cast<uint8_t>(unit >> 8);
        theLog.length += 2;
        if (unit == 0) return;
    }
}

int64_t nameBytes(const char16_t *name) {
    int64_t units = 0;
    while (name[units] != 0) ++units;
    return 2 * (units + 1);
}

bool recordFits(int64_t bodyBytes) { return bodyBytes >= 0 && bodyBytes <= kLogBufferSize - kLogMinRecord; }

int finishRecord(Transaction *t, bool update) {
    const int32_t length = theLog.length + 2;
    st2(at(kLogLength), length);
    st2(at(theLog.length), length);
    if (theLog.fd < 0) return 1;  // only recovery's files are logged: nowhere to go
    if (sysLockRegion(nullptr, theLog.fd, kAppendLockOffset, kAppendLockLength, true) != 1) {
        errno = kErrLogWrite;
        return 0;
    }
    const int64_t end = sysFileSize(nullptr, theLog.fd);
    int written = end >= 0 && end <= UINT32_MAX - length
                      ? cacheWrite(nullptr, theLog.fd, theLog.buffer, length, end)
                      : 0;
    // A write that stopped half-way would leave a torn record in front of
    // every later one: the log is cut back to where it ended.
    if (written != 1 && end >= 0) sysTruncate(nullptr, theLog.fd, end);
    sysUnlockRegion(nullptr, theLog.fd, kAppendLockOffset, kAppendLockLength);
    if (written != 1) {
        errno = kErrLogWrite;
        return 0;
    }
    if (t != nullptr && update) {
        t->lastOffset = static_cast<uint32_t>(end);
        t->lastLength = static_cast<uint16_t>(length);
    }
    return 1;
}

int readRecordHeader(int32_t fd, int64_t offset) {
    if (cacheRead(nullptr, fd, theLog.buffer, kLogHeaderSize, offset) != 1) {
        errno = kErrLogRead;
        return 0;
    }
    const int32_t length = recordLength();
    if (length < kLogMinRecord || length > kLogBufferSize) {
        errno = kErrBadLog;
        return 0;
    }
    return 1;
}

int readRecordBody(int32_t fd, int64_t offset) {
    const int32_t length = recordLength();
    if (cacheRead(nullptr, fd, at(kLogHeaderSize), length - kLogHeaderSize, offset + kLogHeaderSize) != 1) {
        errno = kErrLogRead;
        return 0;
    }
    if (recordU16(length - 2) != static_cast<uint32_t>(length)) {
        errno = kErrBadLog;
        return 0;
    }
    return 1;
}

uint32_t recordU16(int32_t offset) { return static_cast<uint32_t>(ld2(at(offset))) & 0xFFFF; }

uint32_t recordU32(int32_t offset) { return static_cast<uint32_t>(ld4(at(offset))); }

int32_t recordLength() { return static_cast<int32_t>(recordU16(kLogLength)); }

uint16_t recordCode() { return static_cast<uint16_t>(recordU16(kLogCode)); }

int syncLog() {
    if (theLog.fd < 0) return 1;
    return sysCommit(nullptr, theLog.fd);
}

}  // namespace wisam
