// layer: txn/high
// isactions.cpp - the undo and redo action of every log record type.
//
// An action reads the record the walker or the recovery pass has put in the
// log buffer and performs it again (redo) or takes it back (undo) through
// the same internal calls the exported record and file calls use, each in
// its own call frame.  Every field is checked against the record's length
// before it is used: a damaged record fails with 119, it never reads past
// the record.
#include <cerrno>
#include <cstring>

#include "frame/iscall.h"
#include "frame/isfile.h"
#include "frame/ishandles.h"
#include "index/isindexes.h"
#include "records/isrecords.h"
#include "structure/islife.h"
#include "txn/islog.h"
#include "txn/istxn.h"
#include "txn/iswriters.h"
#include "unique/isunique.h"

namespace wisam {

namespace {

constexpr uint32_t kRecoveryOpenMode = 0x402;  // input and output, manual locking

using Undo = int (*)(int32_t process, RecordMoves &moves);
using Redo = int (*)(int32_t process);

struct Dispatch {
    uint16_t code;
    Undo undo;  // null: no undo
    Redo redo;
};

int32_t movedTo(const RecordMoves &moves, const IsFile *f, int32_t record) {
    for (auto it = moves.rbegin(); it != moves.rend(); ++it) {
        if (it->file == f && it->from == record) return it->to;
    }
    return record;
}

int bad() {
    errno = kErrBadLog;
    return 0;
}

// The body ends where the trailing length begins.
bool bodyHas(int32_t offset, int64_t bytes) {
    return bytes >= 0 && offset + bytes <= recordLength() - 2;
}

const uint8_t *bodyAt(int32_t offset) { return logState().buffer + offset; }

// A name of the record (UTF-16LE units up to a NUL) copied into `out`,
// which holds kLogBufferSize / 2 units; `next` receives the offset behind
// its NUL.  False when the record ends before the NUL.
bool nameAt(int32_t offset, char16_t *out, int32_t &next) {
    for (int32_t i = 0;; ++i) {
        const int32_t at = offset + 2 * i;
        if (!bodyHas(at, 2)) return false;
        const uint8_t *p = bodyAt(at);
        out[i] = static_cast<char16_t>(p[0] | (p[1] << 8));
        if (out[i] == 0) {
            next = at + 2;
            return true;
        }
    }
}

struct NameBuffer {
    char16_t units[kLogBufferSize / 2];
};

// A key description of the record; `next` receives the offset behind it.
bool keyDescAt(int32_t offset, KeyDesc &key, int32_t &next) {
    if (!bodyHas(offset, 6)) return false;
    key = KeyDesc{};
    key.flags = static_cast<uint16_t>(recordU16(offset));
    const auto parts = static_cast<int32_t>(recordU16(offset + 2));
    if (parts > IS_MAX_KEY_PARTS || !bodyHas(offset + 6, 6 * int64_t{parts})) return false;
    key.partCount = static_cast<int16_t>(parts);
    for (int32_t i = 0; i < parts; ++i) {
        const int32_t at = offset + 6 + 6 * i;
        key.parts[i].start = static_cast<int16_t>(recordU16(at));
        key.parts[i].length = static_cast<int16_t>(recordU16(at + 2));
        key.parts[i].type = static_cast<uint16_t>(recordU16(at + 4));
    }
    next = offset + 6 + 6 * parts;
    return true;
}

// The handle a record's file number stands for: through the origin lookup
// while recovering (`process` not 0), else the table entry itself.
IsFile *mappedHandle(int32_t process) {
    if (!bodyHas(kLogBody, 2)) {
        bad();
        return nullptr;
    }
    int32_t number = static_cast<int32_t>(recordU16(kLogBody));
    if (process != 0) number = originLookup(number, process);
    IsFile *f = handleAt(number);
    if (f == nullptr) errno = kErrLogRead;
    return f;
}

// The result of a framed call on `f`, its error in errno.
int reported(IsFile *f, int result) {
    if (result != 1) errno = f->errorNumber;
    return result;
}

// A change made by an undo outside recovery is not logged itself: the
// handle's mode carries "never logged" for the duration.
class Unlogged {
public:
    Unlogged(IsFile *f, bool on) : f_(f), was_(f->mode) {
        if (on) f_->mode |= kModeNeverLogged;
    }
    ~Unlogged() { f_->mode = was_; }
    Unlogged(const Unlogged &) = delete;
    Unlogged &operator=(const Unlogged &) = delete;

private:
    IsFile *f_;
    uint32_t was_;
};

template <class Work>
int changeCall(IsFile *f, Work &&work) {
    return reported(f, framedCall(f, kAccessChange, CallLock::exclusive, work));
}

bool variable(const IsFile *f) { return (f->mode & kModeVarLength) != 0; }

// Whether an image of `length` bytes can be a record of `f`: the record
// length of a fixed-length file; for a variable-length file from the fixed
// part up to the maximum, which then becomes the handle's `reclen` for the
// call that uses it.
bool fitsRecord(IsFile *f, int32_t length) {
    if (!variable(f)) return length == f->recordLength;
    if (length < f->recordLength || length > f->maxRecordLength) return false;
    f->reclen = length;
    return true;
}

// The record number and the image of an "IN" or "DE" record, checked.
bool imageRecord(IsFile *f, int32_t &recnum, const uint8_t *&image) {
    if (!bodyHas(kLogBody + 2, 6)) return false;
    recnum = static_cast<int32_t>(recordU32(kLogBody + 2));
    const auto length = static_cast<int32_t>(recordU16(kLogBody + 6));
    if (!bodyHas(kLogBody + 8, length) || !fitsRecord(f, length)) return false;
    image = bodyAt(kLogBody + 8);
    return true;
}

int deleteAgain(int32_t process, const RecordMoves *moves) {
    IsFile *f = mappedHandle(process);
    if (f == nullptr) return 0;
    if (!bodyHas(kLogBody + 2, 4)) return bad();
    auto recnum = static_cast<int32_t>(recordU32(kLogBody + 2));
    if (moves != nullptr) recnum = movedTo(*moves, f, recnum);
    Unlogged unlogged(f, process == 0);
    return changeCall(f, [&] { return deleteByNumber(f, recnum); });
}

// An insert redone must land on the record number the log gives, since the
// log's later records name it by that number: on files that are not as the
// log found them (not the copy it began from) it could land elsewhere, and a
// later update of its number would overwrite another record.  It fails with
// 119 instead, and its write is taken back with the call.  An undo may move
// a record (the moves keep track of it).
int writeAgain(int32_t process, RecordMoves *moves) {
    IsFile *f = mappedHandle(process);
    if (f == nullptr) return 0;
    int32_t recnum = 0;
    const uint8_t *image = nullptr;
    if (!imageRecord(f, recnum, image)) return bad();
    Unlogged unlogged(f, process == 0);
    const int written = changeCall(f, [&] {
        if (f->recordLength == 0) f->recnum = recnum;  // an index-only file takes the number it is given
        if (writeNew(f, image) != 1 || f->callAccess == 0) return 0;
        if (moves == nullptr && f->recnum != recnum) raiseError(f, kErrBadLog, 0);
        return 1;
    });
    if (written != 1) return 0;
    if (moves != nullptr && f->recnum != recnum) moves->push_back({f, recnum, f->recnum});
    return 1;
}

int undoInsert(int32_t process, RecordMoves &moves) { return deleteAgain(process, &moves); }
int undoDelete(int32_t process, RecordMoves &moves) { return writeAgain(process, &moves); }
int redoInsert(int32_t process) { return writeAgain(process, nullptr); }
int redoDelete(int32_t process) { return deleteAgain(process, nullptr); }

// "UP": the before image (undo) or the after image (redo) back into the
// record.
int rewriteAgain(int32_t process, bool after, const RecordMoves *moves) {
    IsFile *f = mappedHandle(process);
    if (f == nullptr) return 0;
    if (!bodyHas(kLogBody + 2, 8)) return bad();
    auto recnum = static_cast<int32_t>(recordU32(kLogBody + 2));
    if (moves != nullptr) recnum = movedTo(*moves, f, recnum);
    const auto before = static_cast<int32_t>(recordU16(kLogBody + 6));
    const auto afterLength = static_cast<int32_t>(recordU16(kLogBody + 8));
    if (!bodyHas(kLogBody + 10, int64_t{before} + afterLength) || !fitsRecord(f, after ? afterLength : before)) {
        return bad();
    }
    const uint8_t *image = bodyAt(kLogBody + 10 + (after ? before : 0));
    Unlogged unlogged(f, process == 0 && !after);
    return changeCall(f, [&] { return rewriteByNumber(f, recnum, image); });
}

int undoUpdate(int32_t process, RecordMoves &moves) { return rewriteAgain(process, false, &moves); }
int redoUpdate(int32_t process) { return rewriteAgain(process, true, nullptr); }

// "FO" redo and "FC" undo: the file opened again, known to later records by
// the file number and process the record carries.
int openAgain(int32_t process) {
    if (!bodyHas(kLogBody, 4)) return bad();
    NameBuffer name;
    int32_t next = 0;
    if (!nameAt(kLogBody + 4, name.units, next)) return bad();
    const uint32_t mode = kRecoveryOpenMode | (recordU16(kLogBody + 2) != 0 ? uint32_t{kModeVarLength} : 0U);
    IsFile *f = openHandle(name.units, mode);
    if (f == nullptr) return 0;
    f->logFileId[0] = static_cast<int32_t>(recordU16(kLogBody));
    f->logFileId[1] = process;
    return 1;
}

int redoOpen(int32_t process) {
    if (openAgain(process) != 1) return 0;
    ++logState().recoveryOpened;
    return 1;
}

int closeAgain(int32_t process) {
    IsFile *f = mappedHandle(process);
    if (f == nullptr) return 0;
    closeFile(f);
    return 1;
}

// Opening and closing are taken back only while recovering: a rollback
// leaves the application's handles as they are.
int undoOpen(int32_t process, RecordMoves &) { return logState().recovering ? closeAgain(process) : 1; }
int undoClose(int32_t process, RecordMoves &) { return logState().recovering ? openAgain(process) : 1; }

int redoBuild(int32_t) {
    if (!bodyHas(kLogBody, 6)) return bad();
    const uint32_t mode = recordU16(kLogBody);
    const auto length = static_cast<int32_t>(recordU16(kLogBody + 2));
    const auto maxLength = static_cast<int32_t>(recordU16(kLogBody + 4));
    KeyDesc key;
    int32_t next = 0;
    NameBuffer name;
    if (!keyDescAt(kLogBody + 6, key, next) || !nameAt(next, name.units, next)) return bad();
    IsFile *f = buildHandle(name.units, length, maxLength, &key, mode);
    if (f == nullptr) return 0;
    closeFile(f);
    return 1;
}

int redoErase(int32_t) {
    NameBuffer name;
    int32_t next = 0;
    if (!nameAt(kLogBody, name.units, next)) return bad();
    return eraseFiles(name.units);
}

int redoRename(int32_t) {
    NameBuffer oldName;
    NameBuffer newName;
    int32_t next = 0;
    if (!bodyHas(kLogBody, 4) || !nameAt(kLogBody + 4, oldName.units, next) ||
        !nameAt(next, newName.units, next)) {
        return bad();
    }
    return renameFiles(oldName.units, newName.units);
}

int redoIndex(int32_t process, bool add) {
    IsFile *f = mappedHandle(process);
    if (f == nullptr) return 0;
    KeyDesc key;
    int32_t next = 0;
    if (!keyDescAt(kLogBody + 2, key, next)) return bad();
    return changeCall(f, [&] { return add ? addIndex(f, &key) : delIndex(f, &key); });
}

int redoAddIndex(int32_t process) { return redoIndex(process, true); }
int redoDropIndex(int32_t process) { return redoIndex(process, false); }

int redoSetUnique(int32_t process) {
    IsFile *f = mappedHandle(process);
    if (f == nullptr) return 0;
    if (!bodyHas(kLogBody + 2, 4)) return bad();
    const auto value = static_cast<int32_t>(recordU32(kLogBody + 2));
    return reported(f, framedCall(f, kAccessChange, CallLock::none, [&] { return setUnique(f, value, false); }));
}

// The counter advances by one whatever the logged call took.
int redoUniqueId(int32_t process) {
    IsFile *f = mappedHandle(process);
    if (f == nullptr) return 0;
    int32_t scratch = 0;
    return reported(f, framedCall(f, kAccessChange, CallLock::none, [&] { return takeUniqueIds(f, &scratch, 1); }));
}

constexpr uint16_t code(const char (&text)[3]) { return logCode(text); }

constexpr Dispatch kDispatch[] = {
    {code("FO"), undoOpen, redoOpen},
    {code("FC"), undoClose, closeAgain},
    {code("BU"), nullptr, redoBuild},
    {code("ER"), nullptr, redoErase},
    {code("RE"), nullptr, redoRename},
    {code("CI"), nullptr, redoAddIndex},
    {code("DI"), nullptr, redoDropIndex},
    {code("SU"), nullptr, redoSetUnique},
    {code("UN"), nullptr, redoUniqueId},
    {code("DE"), undoDelete, redoDelete},
    {code("IN"), undoInsert, redoInsert},
    {code("UP"), undoUpdate, redoUpdate},
};

const Dispatch *find(uint16_t wanted) {
    for (const Dispatch &d : kDispatch) {
        if (d.code == wanted) return &d;
    }
    return nullptr;
}

}  // namespace

bool knownCode(uint16_t wanted) { return find(wanted) != nullptr; }

bool hasUndo(uint16_t wanted) {
    const Dispatch *d = find(wanted);
    return d != nullptr && d->undo != nullptr;
}

int undoRecord(int32_t process, RecordMoves &moves) {
    const Dispatch *d = find(recordCode());
    return d == nullptr || d->undo == nullptr ? 1 : d->undo(process, moves);
}

IsFile *recordHandle(int32_t process) { return mappedHandle(process); }

int redoRecord(int32_t process) {
    const Dispatch *d = find(recordCode());
    return d == nullptr ? 1 : d->redo(process);
}

}  // namespace wisam
