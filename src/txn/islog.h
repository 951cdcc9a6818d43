// layer: txn/log
// islog.h - the transaction log: its process-wide state, the layout of one
// log record, and appending and reading records.
//
// A record (all integers big-endian):
//   0  total length L (header and trailer included)
//   2  type code, two ASCII letters
//   4  process id of the writer (low 16 bits)
//   6  transaction id (low 16 bits), 0 outside a transaction
//   8  seconds since 1970-01-01 00:00 UTC (low 32 bits)
//   12 offset of the previous record of the same transaction (0: not chained)
//   16 length of that record (0: not chained)
//   18 body, by type
//   L-2 L again
// Every record is built in the one record buffer of the log state and
// written with one write at the end of the log, under a lock on the log's
// first byte that serialises appends of all processes.  The log is only
// ever appended to.
//
// Records never exceed the 35510-byte buffer: a record that would not fit is
// refused before the operation it logs changes anything, and a length read
// from a damaged log that is below 20 or above the buffer is reported as a
// bad record (119), never used.
#pragma once

#include <cstdint>

#include "frame/iserror.h"
#include "wisam.h"

namespace wisam {

struct Transaction;

constexpr int32_t kLogBufferSize = 35510;
constexpr int32_t kLogHeaderSize = 18;
constexpr int32_t kLogMinRecord = 20;  // header and trailer, no body

// Offsets of the header fields.
constexpr int32_t kLogLength = 0;
constexpr int32_t kLogCode = 2;
constexpr int32_t kLogProcess = 4;
constexpr int32_t kLogTxnId = 6;
constexpr int32_t kLogTime = 8;
constexpr int32_t kLogPrevOffset = 12;
constexpr int32_t kLogPrevLength = 16;
constexpr int32_t kLogBody = 18;

// The process-wide log state.
struct LogState {
    int32_t fd = -1;              // -1: no log open (or hidden by a walker)
    char16_t *name = nullptr;     // copy of the name given to isLogOpen
    uint8_t *buffer = nullptr;    // kLogBufferSize bytes
    int32_t length = 0;           // bytes of the record being built
    IsTxnIdCallback idCallback = nullptr;
    bool recovering = false;      // isRecover is running
    int32_t recoveryOpened = 0;   // files opened by the redo of "FO"
};

LogState &logState();

// A two-letter code as it is stored: first letter in the high byte.
constexpr uint16_t logCode(const char (&code)[3]) {
    return static_cast<uint16_t>((static_cast<uint8_t>(code[0]) << 8) | static_cast<uint8_t>(code[1]));
}

// Hides the log from the writers for the life of a walk or of recovery
// (the operations they perform write no records), giving back its
// descriptor.
class HiddenLog {
public:
    HiddenLog() : fd_(logState().fd) { logState().fd = -1; }
    ~HiddenLog() { logState().fd = fd_; }
    HiddenLog(const HiddenLog &) = delete;
    HiddenLog &operator=(const HiddenLog &) = delete;
    int32_t fd() const { return fd_; }

private:
    int32_t fd_;
};

// Opens (creating when missing) the log `name`; 1, or 0 with errno 120.  A
// second open while a log is open keeps the first.
int logOpen(const char16_t *name);
void logClose();

// The caller's transaction id: the low 16 bits of the callback's answer, 0
// without a callback.
uint16_t callerTxnId();

// Building a record.  startRecord puts the header in the buffer (back link
// from `t` when `chain`); the appends add body fields; none of them can
// overflow the buffer (the caller has checked the size with recordFits).
void startRecord(uint16_t code, const Transaction *t, bool chain);
void appendU16(uint32_t value);
void appendU32(uint32_t value);
void appendBytes(const void *bytes, int32_t length);
void appendName(const char16_t *name);  // UTF-16LE with its NUL

// Bytes a name takes in a record (its units and the NUL, two bytes each).
int64_t nameBytes(const char16_t *name);

// Whether a record with `bodyBytes` of body fits the buffer.
bool recordFits(int64_t bodyBytes);

// Writes the record built at the end of the log.  When `t` is given and
// `update` is set, the record becomes the transaction's last (only once it
// is written).  1, or 0 with errno 121; a failed write leaves no part of the
// record in the log.
int finishRecord(Transaction *t, bool update);

// Reads the header of the record at `offset` of log `fd` into the buffer and
// checks its length: 1, or 0 with errno 118 (nothing there, a read error)
// or 119 (a length below 20 or above the buffer).
int readRecordHeader(int32_t fd, int64_t offset);

// Reads the rest of the record whose header is in the buffer: 1, or 0 with
// errno 118 (short) or 119 (the trailing length differs).
int readRecordBody(int32_t fd, int64_t offset);

// Fields of the record in the buffer.
uint32_t recordU16(int32_t at);
uint32_t recordU32(int32_t at);
int32_t recordLength();  // the length at offset 0
uint16_t recordCode();

// Makes everything appended so far durable.  1, or 0 with errno.
int syncLog();

}  // namespace wisam
