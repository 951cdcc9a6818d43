// logstates.h - the states a transaction log leads the records of its files
// through, for `wisam recover` to tell where in the log a set of files
// stands: at its beginning (what recovery needs), already past some of its
// changes (a recovery that ran before), or nowhere the log leads.
//
// Every insert, delete and update of the log is a change of one record
// number of one file from a state before to a state after; a build makes
// the file exist (record number 0 stands for the file itself).  A rollback
// record undoes the changes of its transaction, newest first, as recovery
// does, and so does the end of the log for transactions without an end
// when they are to be rolled back.  A record's state is whether it is in
// use and a hash of its bytes: the log's images are not kept.
//
// The state the files must be in when the log began is, for each record
// number the log touches, the state before its first change.  Recovery
// replays the log on top of that state; files that hold the state after
// some change already hold that much of the log.
//
// Nothing here calls the library: the caller reads the files' states.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "logread.h"

namespace wisam::tool {

struct SlotState {
    bool live = false;  // in use; for record number 0, the file exists
    uint32_t length = 0;
    uint64_t hash = 0;  // of the record's bytes
    bool operator==(const SlotState &) const = default;
};

// The state of a record holding `length` bytes.
SlotState liveState(const unsigned char *bytes, size_t length);

struct LogChange {
    uint64_t offset = 0;  // of the log record that makes it
    int file = 0;         // into LogStates::files()
    int32_t recnum = 0;   // 0: the file itself
    SlotState before, after;
    char code[3] = {};  // the code of the record it redoes or undoes
    bool undo = false;  // made by a rollback (or the end's rollback)
};

// Counts of the records of a log before an offset.
struct LogPrefix {
    uint64_t records = 0, begun = 0, committed = 0, rolledBack = 0;
};

class LogStates {
public:
    explicit LogStates(bool rollbackUnfinished) : rollbackUnfinished_(rollbackUnfinished) {}

    // Takes the records in log order, then finish() after the last.
    void add(const LogRecord &record);
    void finish(uint64_t end);

    // The files the log changes, by the name it gives them; a file the log
    // erases or renames is left out (its states cannot be followed).
    const std::vector<std::string> &files() const { return names_; }
    bool tracked(int file) const { return !untracked_[static_cast<size_t>(file)]; }
    // The record numbers of `file` the log changes, each with its state
    // when the log began.
    std::map<int32_t, SlotState> startStates(int file) const;
    const std::vector<LogChange> &changes() const { return changes_; }
    // The counts of the log's records before `offset`.
    LogPrefix prefix(uint64_t offset) const;
    // The counts of the records whose changes are the first `held`: every
    // record before the one of the next change (all, when none follows).
    LogPrefix heldPrefix(size_t held) const;

    // Where files whose states are `current` (by file, then record number)
    // stand.  `differs`: the first change whose record is not as the log
    // began, or none when all are.  `held`: the number of changes the files
    // hold, counted from the log's first, at a record's end: the most of
    // them when several fit; none when the files match no such point.
    struct Place {
        std::optional<size_t> differs;
        std::optional<size_t> held;
    };
    // A file without states (nullopt) could not be read and is passed over.
    Place place(const std::vector<std::optional<std::map<int32_t, SlotState>>> &current) const;

private:
    int fileOf(const std::string &name);
    // The change of `recnum` of `file` to `after`, its state before taken
    // from what the log made of it, else from `implied` (what the record
    // says was there).
    size_t change(const LogRecord &record, int file, int32_t recnum, const SlotState &implied, const SlotState &after);
    void undo(std::vector<size_t> &transaction, uint64_t offset);

    bool rollbackUnfinished_;
    std::vector<std::string> names_;
    std::vector<bool> untracked_;
    std::map<std::pair<uint16_t, uint16_t>, int> open_;  // (process, file number) -> file
    std::map<std::pair<int, int32_t>, SlotState> now_;   // what the log has made of each record
    std::vector<LogChange> changes_;
    // Transactions under way, by the offset of their "BW": their changes.
    std::map<uint64_t, std::vector<size_t>> transactions_;
    std::map<uint64_t, uint64_t> beginOf_;  // chained record -> its transaction's "BW"
    struct Counted {
        uint64_t offset;
        LogPrefix before;  // counts of the records before it
    };
    std::vector<Counted> records_;
    LogPrefix counts_;
};

}  // namespace wisam::tool
