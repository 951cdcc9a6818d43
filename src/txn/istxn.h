// layer: txn/high
// istxn.h - transactions: begin, commit and rollback, the backward walk
// over a transaction's chain, the table of undo and redo actions, and
// recovery.
//
// Commit walks the chain back releasing the record locks of its "IN" and
// "UP" records and writes "CW"; rollback first walks it back applying the
// undo action of every record (not logged themselves), then releases the
// locks and writes "RW".  Recovery replays a log from its start with the
// redo actions and undoes a transaction when it meets its "RW".
#pragma once

#include <cstdint>
#include <vector>

struct IsFile;

namespace wisam {

// What a backward walk does with each record: release the transaction's
// record locks, undo, or keep the exclusive file-state lock of every file
// the transaction changed (a rollback holds them from before its undo until
// its "RW" is in the log, so the log shows the undo where it happened).
enum class WalkMode { releaseLocks = 1, undo = 2, holdFiles = 3 };

// Record numbers an undo walk moved: the undo of a delete writes the record
// again, under a new number when another process took the old one, and the
// earlier records of the walk that name the old number mean the new one.
struct RecordMove {
    const IsFile *file;
    int32_t from;
    int32_t to;
};
using RecordMoves = std::vector<RecordMove>;

// Walks the chain back from the record at `offset` of log `fd` down to the
// transaction's "BW".  1, or 0 with errno: 118 (unreadable), 119 (a code no
// action knows, a length out of range, or a back link that does not point
// strictly backwards), or the error of a failed undo action.
int walkBack(int64_t offset, int32_t fd, WalkMode mode, std::vector<IsFile *> *held = nullptr);

int beginTransaction();
int commitTransaction();
int rollBackTransaction();
int recoverLog();

// The undo or redo action of the record in the log buffer: 1, or 0 with
// errno.  `process` is the process id to map file numbers with (0: the file
// number is the handle-table entry itself).  A code without the action
// returns 1 (has = false tells the walker).
bool hasUndo(uint16_t code);
bool knownCode(uint16_t code);
int undoRecord(int32_t process, RecordMoves &moves);

// The handle of the record in the log buffer (see undoRecord), or null with
// errno.
IsFile *recordHandle(int32_t process);
int redoRecord(int32_t process);

}  // namespace wisam
