// txnlog.h - helpers for the transaction tests: a reader of log files that
// is independent of the library's own (it decodes the byte layout itself),
// a builder of log records for hand-made and damaged logs, recovery of a
// copy from a log with the process-wide state put back afterwards, a file
// set copier, and a reader of pipes.  (A log whose appends fail: a
// FaultPlan rule on its file, support/faults.h.)
//
// Log record layout as the reader expects it (big-endian integers):
//   0  total length L          2  two-letter type code
//   4  process id (low 16)     6  transaction id (low 16)
//   8  time (low 32)           12 offset of the previous chained record
//   16 length of that record   18 body         L-2 L again
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "support/testing.h"
#include "wisam.h"

namespace wisam::testing {

uint16_t be16(const uint8_t *p);
uint32_t be32(const uint8_t *p);

struct LogEntry {
    int64_t offset = 0;
    uint16_t length = 0;
    std::string code;  // two letters
    uint16_t pid = 0;
    uint16_t txnId = 0;
    uint32_t back = 0;        // offset of the previous chained record
    uint16_t backLength = 0;  // its length
    std::vector<uint8_t> bytes;  // the whole record

    // Body fields of "IN", "DE", "UP", "UN", "SU", "FO", "FC".
    uint16_t fileNumber() const { return be16(&bytes[18]); }
    int32_t recnum() const { return static_cast<int32_t>(be32(&bytes[20])); }
    int32_t value() const { return static_cast<int32_t>(be32(&bytes[20])); }  // "UN", "SU"
    std::vector<uint8_t> image() const;   // "IN", "DE": the image; "UP": the after image
    std::vector<uint8_t> before() const;  // "UP": the before image
    bool isOperation() const { return code == "IN" || code == "DE" || code == "UP"; }
};

struct LogScan {
    std::vector<LogEntry> entries;
    int64_t wholeBytes = 0;  // bytes of the whole records from the start
    std::string fault;       // "" or why the walk stopped before the end
};

// Walks a log from its first record: lengths, trailers, codes.
LogScan scanLog(const std::vector<uint8_t> &bytes);

// The codes of a scan, as "FO BW IN CW".
std::string codesOf(const LogScan &scan);

// Builds one record with its length at both ends; damaged ones are made by
// changing its bytes afterwards.
std::vector<uint8_t> logRecord(const char *code, uint16_t pid, uint32_t back, uint16_t backLength,
                               const std::vector<uint8_t> &body);
std::vector<uint8_t> nameBody(uint16_t fileNumber, bool varlen, const std::u16string &name);
std::vector<uint8_t> recordBody(uint16_t fileNumber, int32_t recnum, const std::vector<uint8_t> &image);
void appendBytes(std::vector<uint8_t> &to, const std::vector<uint8_t> &bytes);

// Opens `logPath`, runs isRecover with the given isRecoverRollback and
// puts everything back: the log closed, every handle closed (also those
// recovery opened), and the count of files recovery opened back to zero
// (through a commit on a scratch log), so that later calls log nothing.
struct RecoverOutcome {
    int result = -1;
    int error = 0;  // errno after isRecover
};
RecoverOutcome recoverFrom(const std::string &logPath, int32_t rollbackMode = 0);

// The index, data, lock and journal files of an ISAM file, saved and put
// back (a journal of the files replaced goes with them).
class FileSetCopy {
public:
    void save(const std::string &basePath);
    void restore() const;

private:
    std::string base_;
    std::vector<std::pair<std::string, std::vector<uint8_t>>> files_;
};

// Reads all of a pipe-like descriptor until end of file.
std::vector<uint8_t> drain(int fd);

}  // namespace wisam::testing
