// layer: structure/life
// islife.cpp - the file lifecycle calls.
#include "structure/islife.h"

#include <cerrno>
#include <cstring>

#include "frame/iscall.h"
#include "frame/iscorrupt.h"
#include "frame/iserror.h"
#include "frame/isfile.h"
#include "frame/ishandles.h"
#include "frame/ismemory.h"
#include "index/isfree.h"
#include "index/isgrow.h"
#include "lock/iscustom.h"
#include "lock/isrecord.h"
#include "lock/issession.h"
#include "records/isposition.h"
#include "records/isslot.h"
#include "structure/isdict.h"
#include "structure/iskeydesc.h"
#include "system/iscache.h"
#include "system/isjournal.h"
#include "system/issystem.h"
#include "txn/istable.h"
#include "txn/iswriters.h"
#include "varlen/isvarlen.h"
#include "wisam.h"

namespace wisam {

namespace {

constexpr int kLineIndexListDirty = 198;
constexpr int kLineDataListDirty = 199;

void copyName(IsFile *f, const char16_t *name) {
    size_t units = 0;
    while (name[units] != 0) ++units;
    const size_t bytes = (units + 1) * sizeof(char16_t);
    f->name = static_cast<char16_t *>(allocZeroed(f, bytes));
    std::memcpy(f->name, name, bytes);
}

bool emptyName(const char16_t *name) { return name == nullptr || name[0] == 0; }

// The name resolution may leave "no such file" (a missing link file) in
// errno; a successful build or open does not report it.
void clearLeftoverMissing(IsFile *f) {
    if (errno == ENOENT) {
        errno = 0;
        f->errorNumber = 0;
    }
}

// The first read of a dictionary answers 0 when its block size cannot be
// read; an open must fail then, not go on with a handle that has none.
void readDictionaryOrRaise(IsFile *f) {
    if (readDictionary(f) == 0) raiseError(f, errno != 0 ? errno : kErrCorrupt, kIoRead + kKindIndex);
}

void checkVarLengthBuild(IsFile *f, int32_t maxRecordLength) {
    if (maxRecordLength >= kMaxRecordLengthLimit || maxRecordLength <= f->recordLength) {
        raiseError(f, kErrBadArgument, 0, '9');
    }
    f->nodeSize = kBuildVarNodeSize;
    f->maxRecordLength = maxRecordLength;
    f->slotSize += kVarReferenceSize;
}

}  // namespace

namespace {

// The sizes of a new file from the build arguments; every argument the
// files cannot hold is refused here, before anything is created.
void chooseBuildShape(IsFile *f, const char16_t *name, int32_t recordLength, int32_t maxRecordLength,
                      const KeyDesc *key) {
    if (emptyName(name) || key == nullptr || recordLength < 0) raiseError(f, kErrBadArgument, 0);
    // The dictionary keeps the record length in 16 signed bits.
    if (recordLength > kMaxFixedRecordLength) raiseError(f, kErrBadArgument, 0, '9');
    f->dupWidth = kBuildDupWidth;
    f->nodeSize = kBuildNodeSize;
    f->recordLength = recordLength;
    f->slotSize = recordLength + 1;
    f->maxRecordLength = 0;
    if ((f->mode & kModeVarLength) != 0) checkVarLengthBuild(f, maxRecordLength);
    if ((f->mode & kModeIndexMask) != 0) f->slotSize += kRecordMaskSize;
    if (recordLength == 0) {
        if (f->slotSize > 1) raiseError(f, kErrBadArgument, 0);
        if ((f->mode & kModeAutoLock) != 0) raiseError(f, kErrBadArgument, 0, '7');
    }
    if (!validateKeyDesc(f, *key) || !keyFitsNode(f, *key)) raiseError(f, kErrBadKey, 0);
}

// Creates the index and data files and opens the new file.  A build that
// fails on the way removes the files it created (they did not exist
// before: creation fails on an existing file), so the name is free again.
void createFiles(IsFile *f, const char16_t *name, KeyDesc *key) {
    bool createdIndex = false;
    bool createdData = false;
    try {
        sysCreate(f, kKindIndex, name);
        createdIndex = true;
        createDictionary(f);
        appendKeyDesc(f, key);
        freeListFlush(f);
        writeDictionary(f);
        sysClose(f, kKindIndex);
        if (f->recordLength > 0) {
            sysCreate(f, kKindData, name);
            createdData = true;
            const uint8_t zero = 0;
            sysWrite(f, kKindData, &zero, 1, 0);
            sysClose(f, kKindData);
            f->recordBuffer = static_cast<uint8_t *>(allocZeroed(f, static_cast<size_t>(f->slotSize)));
        }
        copyName(f, name);
        registerFile(f);
        journalSetAsideLeftover(f);
        if ((f->mode & kModeVarLength) != 0) varlenSetup(f);
        logBuilt(f, *key);
        logOpened(f);
    } catch (...) {
        if (f->tableSlot == 0) {
            sysClose(f, kKindIndex);
            sysClose(f, kKindData);
        }
        if (createdIndex) sysErase(nullptr, kKindIndex, name);
        if (createdData) sysErase(nullptr, kKindData, name);
        throw;
    }
}

}  // namespace

void buildFile(IsFile *f, const char16_t *name, int32_t recordLength, int32_t maxRecordLength,
               KeyDesc *key) {
    chooseBuildShape(f, name, recordLength, maxRecordLength, key);
    createFiles(f, name, key);
    f->reclen = recordLength;
    clearLeftoverMissing(f);
    startHandleCaches(f);
}

namespace {

// The record-length rules of an open, by the mode the caller asked for.
void settleRecordShape(IsFile *f) {
    f->slotSize = slotSizeFor(f->recordLength, f->mode & kModeIndexMask);
    if ((f->mode & kModeVarLength) != 0) {
        if (f->maxRecordLength == 0) raiseError(f, kErrBadArgument, 0, '9');
        f->reclen = f->maxRecordLength;
        f->slotSize += kVarReferenceSize;
    } else {
        if (f->maxRecordLength != 0) raiseError(f, kErrBadArgument, 0, '7');
        f->reclen = f->recordLength;
    }
    if (f->recordLength > 0) {
        f->recordBuffer = freeBlock(f->recordBuffer);
        f->recordBuffer = static_cast<uint8_t *>(allocZeroed(f, static_cast<size_t>(f->slotSize)));
    } else if ((f->mode & kModeAutoLock) != 0) {
        raiseError(f, kErrBadArgument, 0, '7');
    }
}

}  // namespace

void openFile(IsFile *f, const char16_t *name, uint32_t askedMode) {
    if (emptyName(name)) raiseError(f, kErrBadArgument, 0);
    copyName(f, name);
    registerFile(f);
    // Before anything of the files is read.
    if ((f->mode & kModeNoLocking) != 0) {
        journalRefuseUnlocked(f);
    } else {
        recoverHotJournal(f);
    }
    readDictionaryOrRaise(f);
    readKeyDescs(f);
    if ((askedMode & kModeOpenVarLength) != 0 && f->maxRecordLength != 0) f->mode |= kModeVarLength;
    settleRecordShape(f);
    if ((f->mode & kModeVarLength) != 0) varlenSetup(f);
    if ((f->state & kStateNoPrimaryKey) != 0 || f->keyCount == 0) {
        f->position = 1;
        f->recnum = 1;
        f->currentIndex = f->keyCount;
    } else {
        f->currentIndex = 0;
        // The first entry, no record read.  A primary index damaged there (a
        // writer killed in the middle of a split) must not keep the file from
        // being opened, checked and rebuilt: the handle then has no current
        // entry.
        tolerateCorruption(f, [&] { positionRecord(f, nullptr, modeFirst); });
    }
    f->state |= kStateNextReadsCurrent;
    clearLeftoverMissing(f);
    startHandleCaches(f);
    logOpened(f);
}

namespace {

// isOpen inside a transaction: the handle of `name` whose close the
// caller's transaction deferred, handed back instead of a new one.
IsFile *handedBack(const char16_t *name, uint32_t mode) {
    return modeLogged(mode) && loggingWanted(nullptr) ? handBackDeferred(name) : nullptr;
}

}  // namespace

IsFile *buildHandle(const char16_t *name, int32_t recordLength, int32_t maxRecordLength, KeyDesc *key,
                    uint32_t mode) {
    if (mode < kModeNoLocking) mode |= kModeManualLock;
    IsFile *f = newHandleFor(mode & ~kModeOpenVarLength);
    if (f == nullptr) return nullptr;
    IsFile *built = framedCall(f, kAccessUnregistered, CallLock::none, [&] {
        buildFile(f, name, recordLength, maxRecordLength, key);
        return f;
    });
    return built != nullptr ? built : abandonHandle(f, '0');
}

IsFile *openHandle(const char16_t *name, uint32_t mode) {
    const uint32_t asked = withDefaultLocking(mode);
    if (IsFile *kept = handedBack(name, asked)) return kept;
    IsFile *f = newHandleFor(asked & ~kModeOpenVarLength);
    if (f == nullptr) return nullptr;
    IsFile *opened = framedCall(f, kAccessUnregistered, CallLock::none, [&] {
        openFile(f, name, asked);
        return f;
    });
    return opened != nullptr ? opened : abandonHandle(f, 0);
}

IsFile *abandonHandle(IsFile *f, char detail) {
    const int error = f->errorNumber;
    errno = error;
    if (detail != 0) setStatus(f, detail);
    closeHandle(f);
    errno = error;  // closing may have touched it
    return nullptr;
}

IsFile *newHandleFor(uint32_t mode) {
    IsFile *f = newHandle();
    if (f != nullptr) {
        f->mode = mode;
        f->state = kStateDeferClose;
    }
    return f;
}

namespace {

void checkListsClean(IsFile *f) {
    if (f->indexAlloc.state == kFreeListDirty) fatalAt("isfree", kLineIndexListDirty);
    if (f->dataAlloc.state == kFreeListDirty) fatalAt("isfree", kLineDataListDirty);
}

// Opens the files of `name` under an exclusive transient handle (113 when
// the file is open anywhere else) and runs `work` on them.
template <class Work>
int withTransientHandle(const char16_t *name, Work &&work) {
    IsFile *f = newHandleFor(kModeTransient);
    if (f == nullptr) return 0;
    f->state = 0;
    const int result = framedCall(f, kAccessUnregistered, CallLock::none, [&] {
        if (emptyName(name)) raiseError(f, kErrBadArgument, 0);
        copyName(f, name);
        registerFile(f);
        readDictionaryOrRaise(f);
        work(f);
        return 1;
    });
    const int error = f->errorNumber;
    closeHandle(f);
    if (result == 0) errno = error;
    return result;
}

// The journal and the kept schema go where their file goes; a file that
// never had one is no failure.
template <class Move>
void companionFollows(IsFile *f, int kind, Move &&move) {
    if (move() == 0 && errno != ENOENT) raiseError(f, errno, kIoErase + kind);
}

// Whether a file of `kind` may be missing beside an ISAM file: the journal
// exists only while the file is open, the kept schema only when the tool
// was given one.
bool optionalKind(int kind) { return kind == kKindJournal || kind == kKindSchema; }

// Every name of an ISAM file of base N: kFileKinds, then the kept schema
// N.wsc, which the library never reads but moves and removes with the file.
constexpr int kNamedKinds[] = {kKindIndex, kKindData, kKindLock, kKindJournal, kKindSchema};

// False when base `name` surely has no file of `kind` (nothing at its name,
// a symbolic link counting as something): a file that was never given a
// kept schema has nothing to move.
bool mayHave(int kind, const char16_t *name) {
    SysPath path;
    SysFileStatus status = {};
    if (sysPathOf(kind, name, path) != 0) return true;
    return sysCalls.pathStatus(path.bytes, &status, false) == 0 || errno != ENOENT;
}

}  // namespace

uint32_t withDefaultLocking(uint32_t mode) {
    return (mode & kModeLockBits) == 0 ? mode | kModeManualLock : mode;
}

// What the handle holds back (a kept lock's blocks and dictionary, a failed
// call's undo) is written before anything is released; when that fails the
// handle stays open, its lock kept, and a later close tries again: nothing
// acknowledged is dropped at close.
//
// A logged handle closed while the caller has a transaction stays open
// until the transaction ends (an open of the same name hands it back).
int closeFile(IsFile *f) {
    if (loggingWanted(f) && deferClose(f)) return 1;
    const int written = framedCall(f, kAccessUnregistered, CallLock::none, [&] {
        endKeptLock(f);
        checkListsClean(f);
        logClosed(f);
        return 1;
    });
    if (written == 0) return 0;
    return closeHandle(f) ? 1 : 0;
}

// Only the lock-mode bits of the argument count.  Moving into or out of
// exclusive or no-locking mode is refused: the open locks were chosen at
// open and cannot change while the handle lives.
int setLockMode(IsFile *f, int lockMode) {
    uint32_t wanted = static_cast<uint32_t>(lockMode) & kModeLockBits;
    if (wanted == 0) wanted = kModeManualLock;
    const uint32_t fixed = kModeExclusive | kModeNoLocking;
    if (((wanted & kModeAutoLock) != 0 && f->recordLength == 0) || (f->mode & fixed) != 0 ||
        (wanted & fixed) != 0) {
        raiseError(f, kErrBadArgument, 0, '7');
    }
    if ((f->mode & kModeAutoLock) != 0 && (wanted & kModeManualLock) != 0) unlockAllRecords(f);
    f->mode = (f->mode & 0xFF) | wanted;
    return 1;
}

int setLockCheck(IsFile *f, int on) {
    if (on != 0) {
        f->state |= kStateLockCheck;
    } else {
        f->state &= static_cast<uint16_t>(~kStateLockCheck);
    }
    return 1;
}

int setPrecious(IsFile *f, int on) {
    const bool precious = (f->state & kStatePrecious) != 0;
    if (on == 0 && precious) {
        f->state &= static_cast<uint16_t>(~kStatePrecious);
        for (int32_t r = static_cast<int32_t>(f->dataAlloc.highest); r >= 1; --r) {
            if (slotDeleted(f, r)) freeListPut(f, kFreeListData, static_cast<uint32_t>(r));
        }
    } else if (on != 0 && !precious) {
        dropDataFreeList(f, kFreeListData);
        f->state |= kStatePrecious;
    }
    freeListFlush(f);
    writeDictionary(f);
    return 1;
}

// The files are removed while the transient handle still holds the
// exclusive open lock, so no other process can open the file half-erased.
// The log record goes first, under that lock: an erase cannot be taken back,
// so one that could not be logged is not done.
int eraseFiles(const char16_t *name) {
    return withTransientHandle(name, [&](IsFile *f) {
        if (logErased(f->name) != 1) raiseError(f, kErrLogWrite, 0, '9');
        sysErase(f, kKindIndex, f->name);
        if (f->recordLength != 0) sysErase(f, kKindData, f->name);
        sysErase(f, kKindLock, f->name);
        for (const int kind : {kKindJournal, kKindSchema}) {
            companionFollows(f, kind, [&] { return sysErase(nullptr, kind, f->name); });
        }
    });
}

// A rename never replaces a file: every name of the new file must be free
// (a stale lock file or journal there too, which the renamed file would
// otherwise take as its own), and each move refuses a name taken since.  A
// move that fails puts back what was moved; the file stays whole under its
// old name.
int renameFiles(const char16_t *oldName, const char16_t *newName) {
    return withTransientHandle(oldName, [&](IsFile *f) {
        if (emptyName(newName)) raiseError(f, kErrBadArgument, 0);
        if (const int kind = takenKind(newName); kind != 0) raiseError(f, errno, kIoErase + kind);
        if (logRenamed(f->name, newName) != 1) raiseError(f, kErrLogWrite, 0, '9');
        FileMoves moves;
        for (const int kind : kNamedKinds) {
            if ((kind == kKindData && f->recordLength == 0) || (kind == kKindSchema && !mayHave(kind, f->name))) continue;
            const int error = moves.move(kind, f->name, newName);
            // A file that never had a journal or a kept schema is no failure.
            if (error != 0 && !(optionalKind(kind) && error == ENOENT)) raiseError(f, error, kIoErase + kind);
        }
        moves.keep();
    });
}

const int kFileKinds[4] = {kKindIndex, kKindData, kKindLock, kKindJournal};

// The kept schema's name is looked at too: a stale N.wsc would otherwise
// describe the records of a file renamed or cloned to N.
int takenKind(const char16_t *name) {
    for (const int kind : kNamedKinds) {
        SysPath path;
        SysFileStatus status = {};
        if (const int error = sysPathOf(kind, name, path); error != 0) {
            errno = error;
            return kind;
        }
        if (sysCalls.pathStatus(path.bytes, &status, false) == 0) {
            errno = EEXIST;
            return kind;
        }
        if (errno != ENOENT) return kind;
    }
    return 0;
}

int FileMoves::move(int kind, const char16_t *from, const char16_t *to) {
    SysPath source;
    SysPath target;
    if (const int error = sysPathOf(kind, from, source); error != 0) return error;
    if (const int error = sysPathOf(kind, to, target); error != 0) return error;
    if (sysCalls.renameNoReplace(source.bytes, target.bytes) != 0) return errno != 0 ? errno : EIO;
    done_.push_back(Move{kind, from, to});
    return 0;
}

void FileMoves::undo() {
    const int error = errno;
    for (auto it = done_.rbegin(); it != done_.rend(); ++it) {
        SysPath source;
        SysPath target;
        if (sysPathOf(it->kind, it->to.c_str(), source) != 0 || sysPathOf(it->kind, it->from.c_str(), target) != 0 ||
            sysCalls.renameNoReplace(source.bytes, target.bytes) != 0) {
            fatalMessage("a file of kind %d could not be moved back to its name", it->kind);
        }
    }
    done_.clear();
    errno = error;
}

}  // namespace wisam
