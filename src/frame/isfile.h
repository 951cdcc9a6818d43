// layer: frame/base
// isfile.h - the handle record `IsFile` and the constants every module shares.
//
// One `IsFile` exists per successful isOpen or isBuild (and a transient one
// inside isErase and isRename).  It is allocated zero-filled and owns every
// buffer it points to; isClose frees them.  All handles of one name in one
// process share the three descriptors (index, data, lock file).
//
// Rules:
//   - Any thread may call: one thread at a time is inside the library
//     (system/isthread.h), and a handle's call runs to its end before
//     another thread's call enters the same handle (frame/iscall.h), even
//     while it waits for a lock.
//   - `callAccess` is non-zero from a successful enterCall until the next
//     raise; `frameDepth` counts the exported-call frames armed on the handle
//     (the target of the error exit of raiseError).
#pragma once

#include <cstdint>

#include "wisam.h"

namespace wisam {

struct TreePath;    // per-index run-time state (index engine)
struct BlockCache;  // set-associative block cache (caches)
struct CallUndo;    // before-images of the changing call under way (frame/isundo.h)
struct Journal;     // the rollback journal of the change under way (system/isjournal.h)
struct GroupLock;   // the lock of a file group in this process (system/isthread.h)

// States of the head node of a free list held in `FreeList::buffer`.
enum FreeListState : uint8_t {
    kFreeListUnloaded = 0,  // the head node is not in the buffer
    kFreeListClean = 1,     // loaded and unchanged
    kFreeListDirty = 2,     // loaded and changed: must be written
};

// A read-only mapping of the first `length` bytes of the index or the data
// file (system/isview.h); `wanted` asks for it to grow at the next call's
// start.
struct FileView {
    const uint8_t *base = nullptr;
    int64_t length = 0;
    bool wanted = false;
};

// Allocation state of index blocks (`indexAlloc`) or of data records
// (`dataAlloc`).  head and highest mirror the dictionary.
struct FreeList {
    uint8_t *buffer = nullptr;  // the head node of the chain, owned
    uint8_t state = kFreeListUnloaded;
    uint32_t head = 0;     // node number of the first chain node; 0 = empty
    uint32_t highest = 0;  // highest number in use
    int32_t used = 0;      // used length of the head node while loaded
};

// File kinds: every file-layer operation names its file by one of these.
constexpr int kKindIndex = 1;  // N.wox
constexpr int kKindData = 2;  // N.wod
constexpr int kKindAppend = 3;  // N (defined, not opened by the library)
constexpr int kKindLki = 4;  // N.lki (defined, not opened by the library)
constexpr int kKindLog = 6;  // the transaction log, name as given
constexpr int kKindLock = 7;  // N.lck
constexpr int kKindJournal = 8;  // N.wjn, the rollback journal
constexpr int kKindSchema = 9;  // N.wsc, the tool's kept schema: moved, copied and removed, never read

// Access codes passed to enterCall.
enum AccessCode : int32_t {
    kAccessUnregistered = 16,  // build, open, close, erase, rename
    kAccessAny = 48,           // any access mode
    kAccessRead = 64,          // refused on an output-only handle
    kAccessChange = 80,        // refused on an input-only handle
};

// Open mode word bits (the public ISINPUT.. constants, named for internal use).
enum ModeBits : uint32_t {
    kModeAccessMask = 0x0003,
    kModeAccessInput = 0,
    kModeAccessOutput = 1,
    kModeTransaction = 0x0004,
    kModeNeverLogged = 0x0008,
    kModeVarLength = 0x0010,
    kModePacked = 0x0020,
    kModeIndexMask = 0x0080,
    kModeNoLocking = 0x0100,
    kModeAutoLock = 0x0200,
    kModeManualLock = 0x0400,
    kModeExclusive = 0x0800,
    kModeOpenVarLength = 0x8000,
};

// `state` bits.
enum StateBits : uint16_t {
    kStateNoPrimaryKey = 0x0001,
    kStateNextReadsCurrent = 0x0002,
    kStatePrevReadsCurrent = 0x0004,
    kStateWriteLocking = 0x0008,
    kStatePrecious = 0x0010,
    kStateLockCheck = 0x0020,
    kStateStartedAtEnd = 0x0040,
    kStateDeferClose = 0x0080,
};

// `lockState` bits: which lock-file regions the handle holds.
enum LockStateBits : uint8_t {
    kLockOpenShared = 0x01,     // presence byte at `userSlot`
    kLockOpenExclusive = 0x02,  // open-exclusive region 0..511
    kLockStateShared = 0x04,    // file-state byte at 512 + `userSlot`
    kLockStateExclusive = 0x08, // file-state region 512..1023
    kLockFile = 0x20,           // file-lock region 1024..2047
};

// `deferState` bits: locks kept across calls and work deferred to their end.
enum DeferStateBits : uint8_t {
    kDeferSharedKept = 0x01,
    kDeferExclusiveKept = 0x02,
    kDeferDictionary = 0x04,
    kDeferWriteBack = 0x08,
    kDeferCommit = 0x10,  // the flush to the device after a deferred dictionary write
};

constexpr int kMaxIndexes = 32;

}  // namespace wisam

// The handle record.  Field order follows the handle's description; widths
// are fixed so that nothing depends on the size of `long`.
struct IsFile {
    char16_t *name = nullptr;  // owned copy of the caller's base name
    uint32_t mode = 0;
    uint16_t state = 0;
    int32_t dataFd = -1;
    int32_t recordLength = 0;
    int32_t slotSize = 0;
    int32_t maxRecordLength = 0;
    int32_t indexFd = -1;
    int32_t nodeSize = 0;
    int32_t dupWidth = 0;
    int32_t keyCount = 0;
    int32_t currentIndex = 0;
    int32_t lockFd = -1;
    int32_t userSlot = 0;
    uint32_t keyDescNode = 0;
    uint32_t changeCount = 0;
    uint32_t uniqueId = 0;
    wisam::TreePath *indexes[wisam::kMaxIndexes] = {};
    wisam::FreeList indexAlloc;
    wisam::FreeList dataAlloc;
    int32_t *heldLocks = nullptr;
    int32_t heldLockCount = 0;
    uint8_t lockState = 0;
    uint8_t deferState = 0;
    int32_t profileTag = -1;
    wisam::BlockCache *dataCache = nullptr;
    wisam::BlockCache *indexCache = nullptr;
    int32_t tableSlot = 0;
    int32_t logFileId[2] = {0, 0};
    uint8_t *spaceTable = nullptr;
    uint8_t *varBlock = nullptr;
    uint8_t spaceTableStale = 0;
    uint32_t recordMask = 0;
    uint8_t *dictionary = nullptr;
    uint8_t *recordBuffer = nullptr;
    int32_t callAccess = 0;
    // Stands for the jump buffer of the error exit: the number of exported
    // call frames that would catch a raise on this handle.
    int32_t frameDepth = 0;
    int32_t recnum = 0;
    int32_t reclen = 0;
    int32_t errorNumber = 0;
    int32_t ioError = 0;
    int32_t position = 0;
    char status[4] = {'0', '0', '0', '0'};
    uint8_t *packBuffer = nullptr;
    int32_t packBufferLength = 0;
    wisam::CallUndo *undo = nullptr;  // owned; created by the first changing call
    int32_t journalFd = -1;           // N.wjn, this handle's own descriptor
    wisam::Journal *journal = nullptr;  // owned; created by the first journaled change
    wisam::FileView views[2];           // owned mappings: [0] the index file, [1] the data file
    // The thread whose call is under way on the handle (0: none), and how
    // deep its calls on it are nested (frame/iscall.h, HandleTurn).
    uint64_t callThread = 0;
    int32_t callNesting = 0;
    // The lock of the handle's file group, shared with its other handles in
    // this process (frame/ishandles.h); null while the handle is not in the
    // table.
    wisam::GroupLock *group = nullptr;
};
