// tool.h - what the commands of the wisam tool share: argument helpers, the
// messages of failed calls, checked standard output, opening a file with a
// message that names what is wrong, and the progress line.
#pragma once

#include <chrono>
#include <cstdio>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "wisam.h"

namespace wisam::tool {

using Args = std::vector<std::string>;

int createCommand(const Args &args);
int infoCommand(const Args &args);
int dumpCommand(const Args &args);
int loadCommand(const Args &args);
int demoCommand(const Args &args);
int logCommand(const Args &args);
int recoverCommand(const Args &args);
int backupCommand(const Args &args);
int checkCommand(const Args &args);
int rebuildCommand(const Args &args);
int copyCommand(const Args &args);
int cloneCommand(const Args &args);
int clusterCommand(const Args &args);
int indexCommand(const Args &args);
int eraseCommand(const Args &args);
int renameCommand(const Args &args);
int schemaCommand(const Args &args);
int exportPgCommand(const Args &args);
int statCommand(const Args &args);
int getCommand(const Args &args);
int putCommand(const Args &args);

// Exit statuses: success, a failure of the work, a usage error.
constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

// The text of an error number: the library's for 100 and up, else the system's.
const char *errorText(int error);

// Prints "wisam: WHAT: error N: TEXT" plus " (I/O code C)" when the last
// failure of `f` (null: the reason of a failed build or open) has one, and
// returns kExitFailed.
int fail(const std::string &what, IsFile *f);

// Prints "wisam: WHAT: error N: TEXT" for an errno value and returns kExitFailed.
int failErrno(const std::string &what, int error);

// Prints "wisam: WHAT" and returns kExitFailed.
int failWith(const std::string &what);

// Prints a usage error, one line, and where to read more ("see 'wisam
// COMMAND --help'", the command taken from `help`), and returns kExitUsage.
int usage(const std::string &message, const char *help);
// A word the command does not take, with the nearest option of `help`
// suggested (within two edits); returns the usage exit status.
int unexpectedArgument(const std::string &word, const char *help);
// Edits (insertions, deletions, substitutions, swaps of neighbours) from a to b.
size_t editDistance(const std::string &a, const std::string &b);

// The UTF-16 form of a file name given on the command line; false (with a
// usage message printed) when it is not valid UTF-8.
bool fileName(const std::string &name, std::u16string &units);

// Whether `args` asks for help.
bool wantsHelp(const Args &args);

// A whole decimal number in [low, high] as the argument after args[i] (i is
// advanced past it); false with `error` set when it is missing, not a
// number, or out of range, and the message gives the range.
bool numberArg(const Args &args, size_t &i, long low, long high, long &value, std::string &error);

// The base name of the files of ISAM file NAME, as the library finds them:
// the first line of NAME.lnk when that file exists and the line is not
// empty (a CR before the LF dropped), else NAME.  For the commands that
// work on the files themselves (backup, the data file's length).
std::string basePath(const std::string &name);

// Opens ISAM file `name` with `mode`.  On failure prints why, naming the
// missing .wox or .wod file or the other process that holds the file, and
// returns null.  `what` begins the message ("dump people").
IsFile *openFile(const std::string &name, int mode, const std::string &what);
// The exit status for the last failed openFile: kExitUsage for a name that
// is not UTF-8, else kExitFailed.
int openFailed();

// The record layout of an open file: the fixed part and, for a file of
// variable-length records, the maximum.  Read through isIsamInfo.
struct RecordShape {
    IsamInfo info{};
    int fixed = 0;
    int maximum = 0;
    bool variable() const { return maximum > fixed; }
};
bool recordShape(IsFile *f, RecordShape &shape);
// The bytes a read of the file can deliver: the longest record, or for a
// file of record length 0 its keys at their parts' places.
inline size_t readBufferSize(const RecordShape &shape) {
    return static_cast<size_t>(shape.fixed == 0 ? INT16_MAX + IS_MAX_KEY_LENGTH : shape.maximum) + 1;
}

// The indexes of a file as info numbers them (1..indexCount), with the
// number that isIndex, isCheckIndex and isRebuildIdx take.  A file without
// primary key reports an empty first index (record-number order), which
// those calls do not count.
struct FileIndexes {
    RecordShape shape;
    bool noPrimaryKey = false;
    int libraryNumber(int n) const { return noPrimaryKey ? n - 1 : n; }
    bool real(int n) const { return !noPrimaryKey || n > 1; }
};
bool fileIndexes(IsFile *f, FileIndexes &indexes);

// An open file that is closed when it goes out of scope, unless taken.
class Handle {
public:
    explicit Handle(IsFile *f) : f_(f) {}
    ~Handle() {
        if (f_ != nullptr) isClose(f_);
    }
    Handle(const Handle &) = delete;
    Handle &operator=(const Handle &) = delete;
    IsFile *get() const { return f_; }
    void reset(IsFile *f) {
        if (f_ != nullptr) isClose(f_);
        f_ = f;
    }
    IsFile *take() {
        IsFile *f = f_;
        f_ = nullptr;
        return f;
    }
    // Closes it; false (with the message) when the close fails.
    bool close(const std::string &what) {
        IsFile *f = take();
        if (isClose(f)) return true;
        fail(what + ": close", f);
        isCleanUp();
        return false;
    }

private:
    IsFile *f_;
};

class Progress;

// Where the records of a load come from.
class RecordSource {
public:
    virtual ~RecordSource() = default;
    // The progress line of the load, set before prepare: prepare shows the
    // bytes of input it reads and checks there.
    Progress *progress = nullptr;
    // Called once the file is open, before anything is written; false with
    // `why` stops the load with nothing loaded.
    virtual bool prepare(IsFile *, const RecordShape &, std::string &) { return true; }
    // The number of records to come, for the progress line; 0 when unknown.
    virtual int64_t total(const RecordShape &) { return 0; }
    // The next record and its length; false at the end (`why` empty) or at
    // a record that cannot be loaded (`why` says so).
    virtual bool next(const RecordShape &shape, std::vector<unsigned char> &record, int &length,
                      std::string &why) = 0;
};

// Writes the records of `source` into NAME as 'wisam load' does (exclusive
// use, a kept lock, with `atomic` one transaction); the exit status.
int writeRecords(const std::string &name, bool atomic, RecordSource &source);

// "--schema FILE" or "--format csv|json|jsonl" at args[i]: true (i advanced
// past the value) when it is one of them; false when not, with `error` set
// when it is but its value is missing or wrong.
bool schemaOption(const Args &args, size_t &i, std::string &schema, std::string &format, std::string &error);
// dump and load through a schema (formats.cpp).
// With `written`, the count of records written is stored there instead of
// said on standard error, and the CSV header or JSON array is written only
// around records found; `command` begins the messages.
int dumpFields(const std::string &name, long index, const std::string &schema, const std::string &format,
               const std::optional<std::string> &from, const std::optional<std::string> &to, long *written = nullptr,
               const std::string &command = "dump");
// With `kept`, the schema is the one kept with the file, and a refusal of
// the input says that --format raw reads raw records.
int loadFields(const std::string &name, bool atomic, const std::string &schema, const std::string &format,
               bool kept = false);
// The records of the rows that `input` holds, each encoded through the
// schema against open file `f` as load encodes them; false with `why`.
bool encodeRows(IsFile *f, const RecordShape &shape, const std::string &schema, const std::string &format, FILE *input,
                std::vector<std::vector<unsigned char>> &records, std::string &why);

// Standard output, checked: every write goes through these, and the first
// failure is kept with its errno.  outputFailed() tells whether one happened.
void out(const char *format, ...) __attribute__((format(printf, 1, 2)));
void outBytes(const void *bytes, size_t count);
bool outputFailed();
// Flushes standard output; on a failure (now or before) prints
// "wisam: WHAT: writing standard output: TEXT" once and returns false.
bool finishOutput(const std::string &what);

// Where a progress line goes, what time it is, and whether to show one at
// all: standard error, the steady clock and whether standard error is a
// terminal, unless a test gives others.
struct ProgressOutput {
    std::function<std::chrono::steady_clock::time_point()> clock;
    std::function<void(const std::string &)> write;
    bool terminal = false;
    static ProgressOutput standardError();
};

// A progress line for long work, in the units the user thinks in: "VERB
// COUNT of TOTAL UNIT, RATE/s, about N s left" (bytes as MiB; without a
// total, no "of" and no time left).  Shown only on a terminal, from half a
// second after the start, redrawn every quarter second; cleared at the end.
// The rate is a moving one (an exponentially weighted rate over the last
// seconds), so that the time left follows the work's pace as it changes.
// Work in stages (reading the input, then writing records) shows each stage
// with its own unit and total; the time since the start counts across them.
class Progress {
public:
    Progress(std::string verb, int64_t total, std::string unit = "records",
             ProgressOutput output = ProgressOutput::standardError());
    ~Progress() { finish(); }
    Progress(const Progress &) = delete;
    Progress &operator=(const Progress &) = delete;
    // A new stage: counts start again from 0; `later` is the work of the
    // same unit that the stages after this one hold, for the time left.
    void stage(std::string verb, int64_t total, std::string unit = "records", int64_t later = 0);
    // Clears the line, so that what is printed next starts a line of its own.
    void finish();
    // `count` units of this stage done.  The clock is looked at every
    // `stride` steps, a stride that doubles (up to kMaxStride) while looks
    // come less than kFastCheck apart and drops to 1 when one comes more than
    // kSlowCheck after the last: cheap for quick steps, every step for slow
    // ones, and after quick steps turn slow at most kMaxStride steps blind.
    void tick(int64_t count) {
        if (--untilCheck_ <= 0) update(count);
    }

    static constexpr double kShowAfter = 0.5;     // seconds from the start
    static constexpr double kRedrawEvery = 0.25;  // seconds
    static constexpr double kRateWindow = 1.5;    // seconds: the moving rate's time constant
    static constexpr double kFastCheck = 0.001, kSlowCheck = 0.01;  // seconds between looks at the clock
    static constexpr int64_t kMaxStride = 8;

private:
    using TimePoint = std::chrono::steady_clock::time_point;
    void update(int64_t count);
    void sample(TimePoint now, int64_t count);
    void draw(int64_t count);

    ProgressOutput output_;
    std::string verb_, unit_;
    int64_t total_ = 0, later_ = 0;
    int64_t stride_ = 1, untilCheck_ = 0;
    bool shown_ = false;
    TimePoint start_, lastCheck_, lastDraw_, sampleTime_;
    int64_t sampleCount_ = 0;
    double rate_ = -1;  // units a second; < 0: not measured yet in this stage
};

}  // namespace wisam::tool
