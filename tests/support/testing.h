// testing.h - what every test needs: a temporary directory and file
// bytes, files and handles laid down by hand, child processes and pipes
// between them, the system-call table put back at the end (FaultScope; the
// faults themselves are support/faults.h), the fatal hook's texts,
// profiling events, an error for messages, and calls run as an exported
// call runs them.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "frame/isfile.h"
#include "system/issystem.h"

namespace wisam::testing {

// A fresh directory under /tmp, removed with everything in it at the end.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    const std::string &path() const { return path_; }
    std::string file(const std::string &name) const { return path_ + "/" + name; }
    std::u16string name(const std::string &base) const;  // UTF-16 path of a base name

private:
    std::string path_;
};

std::u16string toUtf16(const std::string &ascii);

// The path of `base` in `dir` spelt with `depth` extra "./" components.  The
// handle table groups handles by spelling, so this gives a group with
// descriptors of its own.  A forked child inherits the parent's table and
// must open its file under a spelling the parent never used, or it would
// share the parent's descriptors (and with them the parent's locks).
std::u16string spelling(const TempDir &dir, const std::string &base, int depth);
std::vector<uint8_t> readFile(const std::string &path);
void writeFile(const std::string &path, const std::vector<uint8_t> &bytes);
void writeText(const std::string &path, const std::string &text);
bool fileExists(const std::string &path);

// A key description of one part.
KeyDesc keyAt(int16_t start, int16_t length, uint16_t type, uint16_t flags = 0);

// The first 80 bytes of block 1 of a new file with a 20-byte record length
// and one 4-byte key, as a build writes them.
std::vector<uint8_t> newFileDictionary();

// Lays down a minimal index file (dictionary with block size 4096 and the
// record length; change counter 1) and, for a non-zero record length, an
// empty data file, as a build leaves them.
void layDownFiles(const std::string &basePath, int16_t recordLength);

// A handle named `name` registered and with its dictionary read, as an
// open leaves it.  Fails the
// test when registration raises.
IsFile *openHandle(const std::u16string &name, uint32_t mode);
// Registration result without failing the test: the handle or null, with
// the error number in `error`.
IsFile *tryOpenHandle(const std::u16string &name, uint32_t mode, int &error);
void closeTestHandle(IsFile *f);

// Runs `child` in a forked process; returns its exit status (0 = passed).
// The child's result is its return value; gtest assertions in the child are
// not seen by the parent, so the child reports through the value.
int runInChild(const std::function<int()> &child);

// Runs `child` in a forked process without waiting; returns its pid.
int startChild(const std::function<int()> &child);
int waitChild(int pid);

// A pipe for parent/child hand-shakes.
class Signal {
public:
    Signal();
    ~Signal();
    void post();        // one byte
    bool wait(int ms);  // true when a byte came in time
private:
    int fds_[2];
};

// Puts the file layer's table of system calls back as it was at the end of
// its life (a FaultPlan, support/faults.h, holds one).
class FaultScope {
public:
    FaultScope() : saved_(sysCalls) {}
    ~FaultScope() { sysCalls = saved_; }
    FaultScope(const FaultScope &) = delete;
    FaultScope &operator=(const FaultScope &) = delete;

private:
    SysCalls saved_;
};

// Captures the texts handed to the fatal hook ("fatal isam error
// MODULE(LINE)", "isam crash [...]", corruption reports) for the life of
// the object; the hook is removed at the end.
class FatalCapture {
public:
    FatalCapture();
    ~FatalCapture();
    FatalCapture(const FatalCapture &) = delete;
    FatalCapture &operator=(const FatalCapture &) = delete;
    const std::vector<std::string> &texts() const;
    bool saw(const std::string &text) const;  // one of the texts is `text`
    void clear();
};

// "N (io M)": the error number and I/O code of the handle's last call, for
// assertion messages.
std::string errorText(IsFile *f);

// Records lowLevelProfileCallback events for the life of the object.
struct ProfileEventRecord {
    int32_t tag, event, phase;
    bool operator==(const ProfileEventRecord &) const = default;
};
// "(tag,event,phase)..." for assertion messages and comparisons.
std::string showEvents(const std::vector<ProfileEventRecord> &events);

class EventRecorder {
public:
    EventRecorder();
    ~EventRecorder();
    EventRecorder(const EventRecorder &) = delete;
    EventRecorder &operator=(const EventRecorder &) = delete;
    const std::vector<ProfileEventRecord> &events() const;
    void clear();
};

// Runs `work` inside a framed call with the given access, as an exported
// call would, and returns its result (0 after a raise).
int inCall(IsFile *f, int32_t access, const std::function<int()> &work);

}  // namespace wisam::testing
