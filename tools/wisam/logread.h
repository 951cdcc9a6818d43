// logread.h - reading and printing the records of a transaction log, for
// `wisam log` and `wisam recover`.  Nothing here calls the library: the log is
// read as bytes, so a damaged log can be looked at without opening anything.
//
// A log is a flat sequence of records.  Every integer is big-endian.
//
//   offset  size    field
//   0       2       total length L of the record, header and trailer included
//   2       2       type code, two ASCII letters
//   4       2       process id of the writer (low 16 bits)
//   6       2       transaction id (low 16 bits), 0 outside a transaction
//   8       4       time of writing, seconds since 1970-01-01 00:00 UTC
//   12      4       log offset of the previous record of the transaction, 0
//   16      2       length of that previous record, 0 when not chained
//   18      L - 20  body, by type code (below)
//   L - 2   2       L again
//
// Bodies (offsets from the start of the record).  A name is UTF-16 code
// units, little-endian, ended by a NUL unit; a key description is flags (2),
// part count p (2), key length (2), then p times start (2), length (2),
// type (2).
//
//   FO, FC  file opened, closed   18 file number, 20 variable-length flag,
//                                 22 name
//   BU      file built            18 open mode, 20 record length, 22 maximum
//                                 length, 24 key description, then the name
//   ER      file erased           18 name
//   RE      file renamed          18 units of the old name with its NUL,
//                                 20 same for the new name, 22 old name,
//                                 then the new name
//   CI, DI  index added, dropped  18 file number, 20 key description
//   SU, UN  unique id set, taken  18 file number, 20 value (4)
//   DE, IN  record deleted,       18 file number, 20 record number (4),
//           inserted              24 image length n, 26 n bytes
//   UP      record rewritten      18 file number, 20 record number (4),
//                                 24 before length b, 26 after length a,
//                                 28 b bytes before, 28 + b a bytes after
//   BW, CW, RW  transaction begun, committed, rolled back: no body
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace wisam::tool {

// Record lengths a log can hold: the header and trailer alone, and the
// library's record buffer.
constexpr size_t kLogRecordMin = 20;
constexpr size_t kLogRecordMax = 35510;
constexpr size_t kLogHeaderLength = 18;

// What a record's body holds, by its type code.
enum class LogBody {
    unknown,   // a code the log format does not define
    fileName,  // FO, FC
    build,     // BU
    erase,     // ER
    rename,    // RE
    index,     // CI, DI
    value,     // SU, UN
    image,     // DE, IN
    update,    // UP
    none,      // BW, CW, RW
};

struct LogKeyPart {
    uint16_t start = 0;
    uint16_t length = 0;
    uint16_t type = 0;
};

struct LogKey {
    uint16_t flags = 0;
    uint16_t partCount = 0;
    uint16_t keyLength = 0;
    std::vector<LogKeyPart> parts;
};

// One record, decoded.  Only the fields of its body kind are set; `before`
// and `after` point into the bytes the record was decoded from.
struct LogRecord {
    uint64_t offset = 0;
    uint16_t length = 0;
    char code[3] = {};
    LogBody body = LogBody::unknown;
    uint16_t pid = 0;
    uint16_t txn = 0;
    uint32_t time = 0;
    uint32_t backOffset = 0;
    uint16_t backLength = 0;

    uint16_t fileNumber = 0;
    uint16_t varlen = 0;                    // FO, FC
    uint16_t mode = 0;                      // BU
    uint16_t reclen = 0;                    // BU
    uint16_t maxlen = 0;                    // BU
    LogKey key;                             // BU, CI, DI
    std::string name;                       // FO, FC, BU, ER; RE: the old name (UTF-8)
    std::string newName;                    // RE
    uint32_t value = 0;                     // SU, UN: the value; DE, IN, UP: record number
    const unsigned char *before = nullptr;  // DE, IN: the image; UP: before;
                                            // unknown code: the whole body
    uint16_t beforeLength = 0;
    const unsigned char *after = nullptr;  // UP
    uint16_t afterLength = 0;
    size_t extra = 0;  // body bytes behind the fields
};

// Decodes the `length` bytes of one whole record read at `offset`.  False
// with `reason` set when the record is damaged: a length field outside
// 20..35510 or different from `length`, a trailer that differs, or a body
// too short for its fields.
bool decodeLogRecord(const unsigned char *bytes, size_t length, uint64_t offset, LogRecord &record,
                     std::string &reason);

// Reads `length` bytes at `offset` of the log; false when that fails.
using LogReadAt = std::function<bool(uint64_t offset, unsigned char *into, size_t length)>;

struct LogDamage {
    uint64_t offset = 0;
    std::string reason;
    // The damaged record is the last thing in the log and is cut short: what
    // an append interrupted by a crash leaves, not damage to earlier records.
    bool tornTail = false;
};

// Decodes the records of a log of `size` bytes from the start, calling
// `visit` for each (the record is valid during the call only).  Returns true
// after the last record; false with `damage` set at the first record that is
// damaged or cannot be read.  Every step advances by a checked length, so the
// walk ends after at most size / 20 records whatever the bytes are.
bool walkLog(uint64_t size, const LogReadAt &read,
             const std::function<void(const LogRecord &)> &visit, LogDamage &damage);

// A log file opened for reading, with its size at the time of opening:
// records appended later are not looked at.
class LogFile {
public:
    explicit LogFile(const std::string &path);
    ~LogFile();
    LogFile(const LogFile &) = delete;
    LogFile &operator=(const LogFile &) = delete;

    bool ok() const { return ok_; }
    int error() const { return error_; }  // errno of a failed open
    uint64_t size() const { return size_; }
    LogReadAt reader() const;

private:
    int fd_;
    bool ok_ = false;
    int error_ = 0;
    uint64_t size_ = 0;
};

// "damaged record at offset N: REASON".
std::string damageText(const LogDamage &damage);

struct LogFormat {
    bool brief = false;        // one line a record, images cut to their first bytes
    size_t bytesPerLine = 16;  // image bytes per continuation line
};

// The record as text: one line of header and body fields, then the images
// in hex on continuation lines.  Ends with a newline.
std::string formatLogRecord(const LogRecord &record, const LogFormat &format);

// How many records of each kind a walk met, for a summary.
struct LogCounts {
    uint64_t records = 0;
    uint64_t begun = 0;
    uint64_t committed = 0;
    uint64_t rolledBack = 0;
    uint64_t unknown = 0;
    void add(const LogRecord &record);
};

// The transactions of a log that have no end: it follows the back links of
// every "CW" and "RW" down to the "BW" they end, so it needs neither
// transaction ids nor process ids to match, and any "BW" left over began a
// transaction that was still under way (or whose process died) when the log
// was read.
class TransactionScan {
public:
    struct Begin {
        uint64_t offset;
        uint16_t pid;
        uint16_t txn;
    };

    void add(const LogRecord &record);
    // The "BW" records no end leads back to, in log order.
    std::vector<Begin> unfinished() const;

private:
    struct Link {
        uint32_t back;
        bool chained;  // the back link is set
        bool begin;    // a "BW"
        uint16_t pid;
        uint16_t txn;
    };
    std::map<uint64_t, Link> links_;  // "BW" records and chained records
    std::vector<uint64_t> ends_;      // offsets of "CW" and "RW" records
};

// The files a log shows open: "FO" records without a later "FC" of the same
// process and file number.  Recovery knows a file only through its "FO", so
// a file that stays open across the start of a new log cannot be recovered
// from there until it is opened again.
class OpenFileScan {
public:
    struct Open {
        uint64_t offset;
        uint16_t pid;
        uint16_t fileNumber;
        std::string name;
    };

    void add(const LogRecord &record);
    // The files still open at the end of the log, in the order of their "FO".
    std::vector<Open> open() const;

private:
    std::map<std::pair<uint16_t, uint16_t>, Open> open_;  // by process, file number
};

}  // namespace wisam::tool
