// records.cpp - dump and load: records out to standard output and in from
// standard input.
//
// The raw form of records, written by `dump --raw` and read by `load`:
//   fixed-length file     each record as its record-length bytes, one after another
//   variable-length file  per record: 4 bytes, the record's length big-endian,
//                         then that many bytes (the fixed part first)
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "keytext.h"
#include "schema.h"
#include "tool.h"

namespace wisam::tool {

namespace {

constexpr const char *kDumpHelp =
    "usage: wisam dump NAME [--index K] [--hex|--raw|--format raw]\n"
    "       wisam dump NAME [--schema S.json] [--format csv|json|jsonl] [--index K]\n"
    "                  [--from KEY] [--to KEY]\n"
    "  K: 0 record-number order, 1 the primary key (default), 2.. the others\n"
    "  each line: record number, for variable-length records 'len N', the key\n"
    "  parts, then the record (--hex: as hexadecimal)\n"
    "  --raw (or --format raw) writes the records in the form load reads (see\n"
    "  'wisam load --help')\n"
    "  --schema: each record as its fields' values (see 'wisam schema --help'):\n"
    "  csv (the default) a header row of field names, then a row a record;\n"
    "  json an array of objects; jsonl an object a line.  --from and --to keep\n"
    "  the records whose key in index K lies between them (both included):\n"
    "  KEY is the values of the key's fields, comma-separated as in CSV, or\n"
    "  only the first ones; in record-number order, record numbers.\n"
    "  Without --schema, the schema kept with NAME ('wisam schema NAME --set')\n"
    "  is read when there is one: records as CSV unless --format, --hex or --raw\n"
    "  say otherwise.\n";
constexpr const char *kLoadHelp =
    "usage: wisam load NAME [--format raw] [--atomic] < RECORDS\n"
    "       wisam load NAME [--schema S.json] [--format csv|json|jsonl] [--atomic] < ROWS\n"
    "  RECORDS: raw records as 'wisam dump --raw' writes them: for a fixed-length\n"
    "  file records of exactly the record length one after another; for\n"
    "  variable-length records each one's length as 4 bytes big-endian, then\n"
    "  the record (from the fixed length to the maximum).  Input that is not a\n"
    "  whole number of such records is refused before anything is written.\n"
    "  Load needs exclusive use of NAME: it fails while another process has the\n"
    "  file open, and keeps others out until it is done.  Records are written in\n"
    "  order; the first bad record or failed write stops the load, and the count\n"
    "  written before it and the reason are reported (exit 1).  At the end the\n"
    "  data is flushed to the disk.\n"
    "  --atomic: all records or none.  The load runs as one transaction over a\n"
    "  temporary log; when it stops, every record it wrote is rolled back.\n"
    "  --schema: ROWS as 'wisam dump --schema' writes them (a CSV header names\n"
    "  the fields, in any order; a JSON object names every field).  Every row\n"
    "  is encoded before the first is written: a bad value stops the load with\n"
    "  its row, line, field and reason, and nothing loaded.\n"
    "  Without --schema, the schema kept with NAME ('wisam schema NAME --set')\n"
    "  is read when there is one, and ROWS are CSV unless --format says json,\n"
    "  jsonl or raw; without one, RECORDS are raw.\n";

constexpr int kRawLengthBytes = 4;
constexpr int kKeepExclusive = 2;  // isSetCustomLock requests
constexpr int kEndKept = 0;

void printRecord(const unsigned char *record, int length, bool hex) {
    std::string line;
    line.reserve(static_cast<size_t>(length) * 2 + 1);
    static const char kDigits[] = "0123456789abcdef";
    for (int i = 0; i < length; ++i) {
        if (hex) {
            line += kDigits[record[i] >> 4];
            line += kDigits[record[i] & 0xF];
        } else {
            line += std::isprint(record[i]) ? static_cast<char>(record[i]) : '.';
        }
    }
    line += '\n';
    outBytes(line.data(), line.size());
}

void writeRaw(const unsigned char *record, int length, bool variable) {
    if (variable) {
        unsigned char prefix[kRawLengthBytes];
        stLong(length, prefix);
        outBytes(prefix, sizeof prefix);
    }
    outBytes(record, static_cast<size_t>(length));
}

// Reads up to `count` bytes from standard input; the number read.
size_t readStdin(unsigned char *to, size_t count) { return std::fread(to, 1, count, stdin); }

// The next raw record from `readInput` (standard input unless another) into
// `record`, its length in `length`.  False at the end of the input (`why`
// empty) or at a record that is not whole or not a length the file takes
// (`why` says so).
bool nextRecord(const RecordShape &shape, std::vector<unsigned char> &record, int &length, std::string &why,
                const std::function<size_t(unsigned char *, size_t)> &readInput = readStdin) {
    why.clear();
    length = shape.fixed;
    if (shape.variable()) {
        unsigned char prefix[kRawLengthBytes];
        const size_t got = readInput(prefix, sizeof prefix);
        if (got == 0) return false;
        if (got != sizeof prefix) {
            why = std::to_string(got) + " trailing bytes are not a whole 4-byte length";
            return false;
        }
        const int32_t announced = ldLong(prefix);
        if (announced < shape.fixed || announced > shape.maximum) {
            why = "its length " + std::to_string(announced) + " is outside the file's range " +
                  std::to_string(shape.fixed) + " to " + std::to_string(shape.maximum);
            return false;
        }
        length = announced;
    }
    const size_t got = readInput(record.data(), static_cast<size_t>(length));
    if (got == static_cast<size_t>(length)) return true;
    if (got == 0 && !shape.variable()) return false;
    why = shape.variable()
              ? "it is cut short: " + std::to_string(got) + " of its " + std::to_string(length) + " bytes"
              : std::to_string(got) + " trailing bytes are not a whole record of " +
                    std::to_string(length) + " bytes";
    return false;
}

// The bytes left to read of standard input when it is a file; 0 when not known.
int64_t inputBytes() {
    struct stat input{};
    if (fstat(STDIN_FILENO, &input) != 0 || !S_ISREG(input.st_mode)) return 0;
    const off_t at = ftello(stdin);
    return std::max<int64_t>(0, input.st_size - (at > 0 ? at : 0));
}

// The number of records standard input holds when it is a file of
// fixed-length records; 0 when not known.
int64_t inputRecords(const RecordShape &shape) {
    struct stat input{};
    if (shape.variable() || shape.fixed == 0 || fstat(STDIN_FILENO, &input) != 0 || !S_ISREG(input.st_mode)) {
        return 0;
    }
    return (input.st_size - ftello(stdin)) / shape.fixed;
}

// The temporary transaction log of an atomic load, removed at the end.
class TemporaryLog {
public:
    bool open(std::string &why) {
        const char *dir = std::getenv("TMPDIR");
        path_ = std::string(dir != nullptr && *dir != 0 ? dir : "/tmp") + "/wisam-load-XXXXXX";
        const int fd = mkstemp(path_.data());
        if (fd < 0) {
            why = "cannot make a temporary log " + path_ + ": " + errorText(errno);
            path_.clear();
            return false;
        }
        ::close(fd);
        std::u16string units;
        if (!fileName(path_, units) || !isLogOpen(units.c_str())) {
            why = "cannot open the temporary log " + path_ + ": " + errorText(errno);
            return false;
        }
        opened_ = true;
        return true;
    }
    ~TemporaryLog() {
        if (opened_) isLogClose();
        if (!path_.empty()) ::unlink(path_.c_str());
    }

private:
    std::string path_;
    bool opened_ = false;
};

}  // namespace

int dumpCommand(const Args &args) {
    if (wantsHelp(args)) return out("%s", kDumpHelp), kExitOk;
    if (args.empty()) return usage("dump needs a NAME", kDumpHelp);
    const std::string &name = args[0];
    long index = 1;
    bool hex = false, raw = false;
    std::string error, schema, format;
    std::optional<std::string> from, to;
    for (size_t i = 1; i < args.size(); ++i) {
        if (args[i] == "--index") {
            if (!numberArg(args, i, 0, IS_MAX_INDEXES + 1, index, error)) return usage(error, kDumpHelp);
        } else if (args[i] == "--hex") {
            hex = true;
        } else if (args[i] == "--raw" || (args[i] == "--format" && i + 1 < args.size() && args[i + 1] == "raw")) {
            raw = true;
            i += args[i] == "--format" ? 1 : 0;
        } else if ((args[i] == "--from" || args[i] == "--to") && i + 1 < args.size()) {
            (args[i] == "--from" ? from : to) = args[i + 1];
            ++i;
        } else if (!schemaOption(args, i, schema, format, error)) {
            return (error.empty() ? unexpectedArgument(args[i], kDumpHelp) : usage(error, kDumpHelp));
        }
    }
    if (hex && raw) return usage("--hex and --raw exclude each other", kDumpHelp);
    if ((hex || raw) && !format.empty()) return usage("--format " + format + " writes fields, not --hex or --raw", kDumpHelp);
    if (!schema.empty() && (hex || raw)) return usage("--schema writes fields, not --hex or --raw", kDumpHelp);
    // A schema kept with the file is read unless the records are asked for as they are.
    bool kept = false;
    if (!hex && !raw && !schemaFor(name, schema, kept, error)) return failWith("dump " + name + ": " + error);
    if (schema.empty() && (!format.empty() || from || to)) {
        return usage(std::string("--format, --from and --to need --schema") +
                         (hex || raw ? "" : " (no schema is kept with " + name + ")"),
                     kDumpHelp);
    }
    if (!schema.empty()) return dumpFields(name, index, schema, format.empty() ? "csv" : format, from, to);
    IsFile *f = openFile(name, ISINPUT | ISOPENVARLEN, "dump " + name);
    if (f == nullptr) return openFailed();
    FileIndexes indexes;
    if (!fileIndexes(f, indexes)) {
        const int status = fail("dump " + name, f);
        isClose(f);
        return status;
    }
    const RecordShape &shape = indexes.shape;
    if (index > shape.info.indexCount) {
        isClose(f);
        return failWith("dump " + name + ": no index " + std::to_string(index) + " (the file has " +
                        std::to_string(shape.info.indexCount) + ")");
    }
    KeyDesc key{};  // no parts in record-number order
    const int n = static_cast<int>(index);
    if (!isIndex(f, n > 0 && indexes.real(n) ? indexes.libraryNumber(n) : 0) ||
        (n > 0 && !isIndexInfo(f, &key, n))) {
        const int status = fail("dump " + name, f);
        isClose(f);
        return status;
    }
    std::vector<unsigned char> record(readBufferSize(shape));
    Progress progress("dumped", shape.info.recordCount);
    long count = 0;
    for (int mode = modeFirst; !outputFailed() && isRead(f, record.data(), mode); mode = modeNext) {
        const int length = isReclen(f);
        ++count;
        progress.tick(count);
        if (raw) {
            writeRaw(record.data(), length, shape.variable());
            continue;
        }
        out("%7d ", isRecnum(f));
        if (shape.variable()) out("len %d ", length);
        for (int p = 0; p < key.partCount; ++p) out("%s ", partText(record.data(), key.parts[p]).c_str());
        printRecord(record.data(), length, hex);
    }
    progress.finish();
    if (outputFailed() || !finishOutput("dump " + name)) {
        isClose(f);
        finishOutput("dump " + name);
        std::fprintf(stderr, "wisam: dump %s: stopped after %ld records\n", name.c_str(), count);
        return kExitFailed;
    }
    if (isErrno(f) != EENDFILE) {
        const int status = fail("dump " + name + ": after " + std::to_string(count) + " records", f);
        isClose(f);
        return status;
    }
    isClose(f);
    std::fprintf(stderr, "%ld records\n", count);
    return kExitOk;
}

namespace {

// The raw records of standard input.
// Raw records, whose framing is checked whole before the first is written:
// input that is not a whole number of records (a CSV file given without
// --schema, a cut copy) loads nothing.  Standard input that is a file is
// read twice, once to check and once to load; a pipe is kept in memory.
class RawSource : public RecordSource {
public:
    bool prepare(IsFile *, const RecordShape &shape, std::string &why) override {
        struct stat input{};
        const bool seekable = fstat(STDIN_FILENO, &input) == 0 && S_ISREG(input.st_mode) && ftello(stdin) >= 0;
        const off_t start = seekable ? ftello(stdin) : 0;
        if (!seekable) {
            unsigned char chunk[1 << 16];
            for (size_t got; (got = std::fread(chunk, 1, sizeof chunk, stdin)) > 0;) {
                kept_.insert(kept_.end(), chunk, chunk + got);
                if (progress != nullptr) progress->tick(static_cast<int64_t>(kept_.size()));
            }
            memory_ = true;
            // Then checked in memory: the bytes read are the whole.
            if (progress != nullptr) progress->stage("checking input", static_cast<int64_t>(kept_.size()), "bytes");
        }
        std::vector<unsigned char> record(static_cast<size_t>(shape.maximum) + 1);
        long count = 0;
        int length = 0;
        while (next(shape, record, length, why)) {
            ++count;
            if (progress != nullptr) progress->tick(memory_ ? static_cast<int64_t>(at_) : ftello(stdin) - start);
        }
        if (!why.empty()) {
            why = "record " + std::to_string(count + 1) + " (after " + std::to_string(count) +
                  " whole records) is not whole: " + why + " (raw records: 'wisam load NAME --schema S.json' " +
                  "reads CSV and JSON)";
            return false;
        }
        at_ = 0;
        if (seekable && fseeko(stdin, start, SEEK_SET) != 0) {
            why = std::string("cannot read the input again: ") + errorText(errno);
            return false;
        }
        return true;
    }
    int64_t total(const RecordShape &shape) override {
        return memory_ && !shape.variable() ? int64_t(kept_.size()) / shape.fixed : inputRecords(shape);
    }
    bool next(const RecordShape &shape, std::vector<unsigned char> &record, int &length, std::string &why) override {
        if (!memory_) return nextRecord(shape, record, length, why);
        const auto read = [&](unsigned char *to, size_t count) {
            const size_t n = std::min(count, kept_.size() - at_);
            std::copy_n(kept_.begin() + long(at_), n, to);
            at_ += n;
            return n;
        };
        return nextRecord(shape, record, length, why, read);
    }

private:
    bool memory_ = false;
    std::vector<unsigned char> kept_;
    size_t at_ = 0;
};

}  // namespace

int writeRecords(const std::string &name, bool atomic, RecordSource &source) {
    const std::string what = "load " + name;
    TemporaryLog log;
    std::string why;
    if (atomic && !log.open(why)) return failWith(what + ": " + why);

    // The written blocks stay in the caches until the end of the kept lock,
    // which writes them and flushes both files to the disk.
    isFileCacheActive = 1;
    isWriteBackActive = 1;
    isForceCommit = 1;
    IsFile *f = openFile(name, ISINOUT | ISEXCLLOCK | ISOPENVARLEN | (atomic ? ISTRANS : 0), what);
    if (f == nullptr) return openFailed();
    RecordShape shape;
    if (!recordShape(f, shape)) {
        const int status = fail(what, f);
        isClose(f);
        return status;
    }
    if (shape.fixed == 0) {
        isClose(f);
        return failWith(what + ": the file has record length 0 (keys only): there are no records to load");
    }
    // The input is read (and for rows encoded) whole before the first
    // record is written: that shows as bytes of the input, then the
    // records written out of the records it holds.
    Progress progress("reading input", inputBytes(), "bytes");
    source.progress = &progress;
    const bool prepared = source.prepare(f, shape, why);
    source.progress = nullptr;
    if (!prepared) {
        progress.finish();
        isClose(f);
        return failWith(what + ": " + why + "; nothing was loaded");
    }
    if (!isSetCustomLock(f, kKeepExclusive) || (atomic && !isBegin())) {
        progress.finish();
        const int status = fail(what, f);
        isClose(f);
        return status;
    }
    std::vector<unsigned char> record(static_cast<size_t>(shape.maximum) + 1);
    progress.stage("loaded", source.total(shape));
    long count = 0;
    int length = 0;
    bool wrote = true;
    while (source.next(shape, record, length, why)) {
        if (shape.variable()) isSetlen(f, length);
        if (!(wrote = isWrite(f, record.data()))) break;
        progress.tick(++count);
    }
    progress.finish();
    // Why the load stopped, if it did not reach the end of the input.
    std::string stopped;
    if (!wrote) {
        const int error = isErrno(f);
        stopped = "error " + std::to_string(error) + ": " + errorText(error);
    } else if (!why.empty()) {
        stopped = why;
    } else if (std::ferror(stdin)) {
        stopped = std::string("reading standard input: ") + errorText(errno);
    }
    bool ended = true;
    if (atomic) ended = stopped.empty() ? isCommit() != 0 : isRollBack() != 0;
    const int txnError = errno;
    const bool flushed = isSetCustomLock(f, kEndKept) != 0;
    if (!flushed) fail(what + ": writing the records to the disk", f);
    const bool closed = isClose(f) != 0;
    if (!closed) {
        fail(what + ": close", f);
        isCleanUp();
    }
    const std::string at = "record " + std::to_string(count + 1) + " (after " + std::to_string(count) +
                           " records)";
    if (!ended) {
        failErrno(what + (stopped.empty() ? ": commit" : ": rollback"), txnError);
        return failWith(what + ": stopped at " + at + (stopped.empty() ? "" : ": " + stopped));
    }
    if (!stopped.empty()) {
        return failWith(what + ": stopped at " + at + ": " + stopped + "; " +
                        (atomic ? "nothing was loaded (rolled back)"
                                : std::to_string(count) + " records before it are written"));
    }
    if (!flushed || !closed) return kExitFailed;
    std::fprintf(stderr, "%ld records loaded into %s\n", count, name.c_str());
    return kExitOk;
}

int loadCommand(const Args &args) {
    if (wantsHelp(args)) return out("%s", kLoadHelp), kExitOk;
    if (args.empty()) return usage("load needs a NAME", kLoadHelp);
    bool atomic = false;
    std::string schema, format, error;
    for (size_t i = 1; i < args.size(); ++i) {
        if (args[i] == "--atomic") {
            atomic = true;
        } else if (args[i] == "--format" && i + 1 < args.size() && args[i + 1] == "raw") {
            format = args[++i];
        } else if (!schemaOption(args, i, schema, format, error)) {
            return (error.empty() ? unexpectedArgument(args[i], kLoadHelp) : usage(error, kLoadHelp));
        }
    }
    if (format == "raw" && !schema.empty()) return usage("--format raw takes no --schema", kLoadHelp);
    // A schema kept with the file is read unless raw records are asked for.
    bool kept = false;
    if (format != "raw" && !schemaFor(args[0], schema, kept, error)) return failWith("load " + args[0] + ": " + error);
    if (!format.empty() && format != "raw" && schema.empty()) {
        return usage("--format needs --schema (no schema is kept with " + args[0] + ")", kLoadHelp);
    }
    if (!schema.empty()) return loadFields(args[0], atomic, schema, format.empty() ? "csv" : format, kept);
    RawSource raw;
    return writeRecords(args[0], atomic, raw);
}

}  // namespace wisam::tool
