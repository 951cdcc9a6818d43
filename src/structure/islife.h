// layer: structure/life
// islife.h - building, opening, closing, erasing and renaming ISAM files.
//
// An ISAM file N is N.wox (index), N.wod (data; absent for record length 0)
// and N.lck (locks).  isBuild creates the first two and writes block 1 (the
// dictionary), the first key-description block and the primary root;
// isOpen and isBuild register the handle, which opens the files (or shares
// them with a handle of the same name) and takes the open lock.
//
// Sizes chosen at build: block size 4096 (1024 for variable-length files),
// duplicate serials of 4 bytes, slotSize = record length + 1 (+ 6 variable
// length) (+ 4 with mode 0x80).  The maximum record length of a
// variable-length file lies above the record length and below 0x7F00.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "frame/isfile.h"

struct IsFile;

namespace wisam {

constexpr int32_t kBuildNodeSize = 4096;
constexpr int32_t kBuildVarNodeSize = 1024;
constexpr int32_t kBuildDupWidth = 4;
constexpr int32_t kMaxRecordLengthLimit = 0x7F00;
constexpr int32_t kMaxFixedRecordLength = 0x7FFF;  // 16 signed bits in the dictionary
constexpr uint32_t kModeLockBits = 0x0F00;  // 0x100..0x800
constexpr uint32_t kModeTransient = kModeExclusive | kModeNeverLogged;

// The open mode with manual locking added when no lock-mode bit is given.
uint32_t withDefaultLocking(uint32_t mode);

// A freshly created handle for build, open, erase and rename (null when it
// cannot be allocated: errno 116).
IsFile *newHandleFor(uint32_t mode);

// The work of isBuild and isOpen on a fresh handle, inside its call frame.
void buildFile(IsFile *f, const char16_t *name, int32_t recordLength, int32_t maxRecordLength,
               KeyDesc *key);
void openFile(IsFile *f, const char16_t *name, uint32_t askedMode);

// isBuild and isOpen whole: a new handle, or null with errno.  Inside a
// transaction an open of a name whose close the transaction deferred hands
// that handle back.
IsFile *buildHandle(const char16_t *name, int32_t recordLength, int32_t maxRecordLength, KeyDesc *key,
                    uint32_t mode);
IsFile *openHandle(const char16_t *name, uint32_t mode);

// A failed build or open: the reason goes to errno (and with a non-zero
// `detail` the status characters), the handle is freed.  Returns null.
IsFile *abandonHandle(IsFile *f, char detail);

// isClose of a registered handle: 1, or 0 with the handle still open when
// what it holds back could not be written.
int closeFile(IsFile *f);

// The work of isSetMode, isLockCheck and isPrecious inside their frames.
int setLockMode(IsFile *f, int lockMode);
int setLockCheck(IsFile *f, int on);
int setPrecious(IsFile *f, int on);

// isErase and isRename: the files of a closed ISAM file, under a transient
// exclusive handle (113 when it is open anywhere).
int eraseFiles(const char16_t *name);
int renameFiles(const char16_t *oldName, const char16_t *newName);

// The kinds a file of base name N may have on disk: index, data, lock file
// and journal.
extern const int kFileKinds[4];

// The first kind in kFileKinds that something already has the name of under
// base `name` (a symbolic link counts, even a dangling one), or 0 when all
// are free.  A name that cannot be looked at counts as taken (its errno is
// kept).
int takenKind(const char16_t *name);

// The files of an ISAM file moved kind by kind, each to a name nothing
// has: a move never replaces a file.  Whatever was moved is moved back,
// newest first, when the object goes without `keep` (a raised error on
// the way does that too).  Names are formed as sysFileName forms them.
class FileMoves {
public:
    FileMoves() = default;
    FileMoves(const FileMoves &) = delete;
    FileMoves &operator=(const FileMoves &) = delete;
    ~FileMoves() { undo(); }

    // Moves the file of `kind` from base `from` to base `to`: 0 when done,
    // else the errno of the failure (EEXIST when `to` is taken; nothing
    // moved then).
    int move(int kind, const char16_t *from, const char16_t *to);
    // Moves everything back; errno is kept.  A file that cannot be moved
    // back is reported to the fatal hook with both names' kind.
    void undo();
    void keep() { done_.clear(); }

private:
    struct Move {
        int kind;
        std::u16string from, to;
    };
    std::vector<Move> done_;
};

}  // namespace wisam
