// layer: system/os
// issystem.h - the file layer: names, link files, descriptor I/O.
//
// Every system call of the library goes through here (and through the
// `SysCalls` table, which tests replace to inject faults).  An operation
// names its file by kind: with a handle the kind selects the handle's
// descriptor; without one (`f` null) the same argument is a raw descriptor.
// With a handle, failures raise (frame/iserror.h) with the system's errno
// (or 105 for a short transfer) and the I/O code = operation base + kind;
// without one they return 0, or -1 where a descriptor is returned.
//
// Path rules: a base name or link target is at most 251 UTF-16 units, so
// that it fits the 256-unit path buffer with a four-unit extension and the
// terminating NUL; a longer one is refused with 114, never truncated.  A name
// that is not valid UTF-16 (a lone surrogate) is refused with 102.
#pragma once

#include <cstddef>
#include <cstdint>

#include "frame/iserror.h"

struct IsFile;

namespace wisam {

constexpr int kPathUnits = 256;       // UTF-16 units of a path, NUL included
constexpr int kMaxBaseUnits = 251;    // longest base name or link target
constexpr int kLinkLineUnits = 254;   // longest first line of a link file read

// A path in the encoding the system takes (UTF-8), built from a UTF-16
// base name.  Bounded: 256 units of at most 3 bytes (a surrogate pair is two
// units and four bytes).
struct SysPath {
    char bytes[kPathUnits * 3 + 1];
};

// Outcome of building a name; with a handle the failure is raised instead.
enum class NameResult { ok, tooLong, invalid };

// The UTF-16 name of kind `kind` for base name `base`: link resolution
// (except for the log, kind 6), then the kind's extension.  `out` holds
// kPathUnits units.
NameResult sysFileName(int kind, const char16_t *base, char16_t *out);

// The base name after following `base`.lnk, if there is one: its first line
// without the line end.  `out` holds kPathUnits units.
NameResult sysResolveLink(const char16_t *base, char16_t *out);

// Holds `base` as a literal name on the calling thread until it is dropped:
// no link file redirects it meanwhile (sysResolveLink gives it back as it
// is).  For the names the library makes for its own work files.  The
// holder keeps `base` in place while it is held; false when the thread
// holds as many names as it can already.
bool sysHoldLiteralName(const char16_t *base);
void sysDropLiteralName(const char16_t *base);

// Converts a NUL-terminated UTF-16 name to UTF-8.
NameResult utf16ToPath(const char16_t *name, SysPath &out);

// The system path of `kind` for `base` (sysFileName, then UTF-8): 0, or the
// error of the name (114 too long, 102 not valid).
int sysPathOf(int kind, const char16_t *base, SysPath &path);

int32_t sysCreate(IsFile *f, int kind, const char16_t *base);
int32_t sysOpen(IsFile *f, int kind, const char16_t *base);
void sysClose(IsFile *f, int kindOrFd);
// While a journaled change is under way (system/isjournal.h), reads,
// writes, sizes and truncations of the index and data files go through its
// overlay; the Direct forms always go to the file.
int sysRead(IsFile *f, int kindOrFd, void *buffer, int32_t length, int64_t offset,
            int32_t *count = nullptr);
// `was`, when not null, holds what those bytes hold now as the handle reads
// them (a clean cached copy): a change then need not read them again.
int sysWrite(IsFile *f, int kindOrFd, const void *buffer, int32_t length, int64_t offset,
             const void *was = nullptr);
int64_t sysFileSize(IsFile *f, int kindOrFd);
int sysReadDirect(IsFile *f, int kindOrFd, void *buffer, int32_t length, int64_t offset,
                  int32_t *count = nullptr);
int sysWriteDirect(IsFile *f, int kindOrFd, const void *buffer, int32_t length, int64_t offset);
// The file's bytes [offset, offset + length) of the index or data file read
// in place where the handle's view holds them (reported as a read), else
// null: for a look that need not copy them.  Valid until the next write.
const uint8_t *sysPeekDirect(IsFile *f, int kind, int64_t offset, int32_t length);
int64_t sysFileSizeDirect(IsFile *f, int kindOrFd);
int sysErase(IsFile *f, int kind, const char16_t *base);
int sysRename(IsFile *f, int kind, const char16_t *oldBase, const char16_t *newBase);
int sysCommit(IsFile *f, int kindOrFd);
// Cuts (or extends) the file to `length` bytes.
int sysTruncate(IsFile *f, int kindOrFd, int64_t length);
int sysTruncateDirect(IsFile *f, int kindOrFd, int64_t length);

// Flushes the directory that holds the handle's file of `kind`, so that a
// file just created there survives a power loss.
int sysSyncDirectoryOf(IsFile *f, int kind);

// The descriptor that `kindOrFd` stands for (-1 when the handle's file is not
// open).
int32_t sysDescriptor(IsFile *f, int kindOrFd);

// What the layer asks of a file: which file it is and who may change it.
struct SysFileStatus {
    uint64_t device;
    uint64_t inode;
    uint32_t owner;    // user id
    uint32_t group;    // group id
    uint32_t mode;     // type and permission bits as the system gives them
    uint32_t links;    // hard links
    int64_t size;
    bool symlink;      // a path looked at without following it names a link
};

// Opens the lock file or the journal (kinds 7 and 8) without following a
// symbolic link: a new one is created exclusively and takes the permission
// bits of the handle's index file, so that every user who may change the
// ISAM file may take its locks and apply its journal.  A symbolic link in
// its place is refused with ELOOP.  Other kinds open as sysCreate.
int32_t sysOpenOrCreate(IsFile *f, int kind, const char16_t *base);

// The status of an open descriptor; false (errno set) when it cannot be had.
bool sysStatus(int32_t fd, SysFileStatus &out);

// The system calls the layer makes, replaceable by tests.  Defaults are the
// C library's.
struct SysCalls {
    int (*open)(const char *path, int flags, unsigned mode);
    int (*close)(int fd);
    long (*pread)(int fd, void *buffer, size_t length, int64_t offset);
    long (*pwrite)(int fd, const void *buffer, size_t length, int64_t offset);
    long (*read)(int fd, void *buffer, size_t length);
    long (*write)(int fd, const void *buffer, size_t length);
    int64_t (*seekEnd)(int fd);
    int (*datasync)(int fd);
    int (*unlink)(const char *path);
    int (*rename)(const char *from, const char *to);
    int (*lockRange)(int fd, int64_t offset, int64_t length, bool lock);
    int (*getpid)();
    int (*truncate)(int fd, int64_t length);
    // Memory: every block the library owns is allocated zero-filled,
    // resized and freed through these (handle buffers and caches alike).
    void *(*allocate)(size_t size);
    void *(*reallocate)(void *block, size_t size);
    void (*release)(void *block);
    int (*advise)(void *address, size_t length, int advice);
    // Waiting for a lock: give up the processor, or sleep `microseconds`.
    int (*yield)();
    void (*pause)(int64_t microseconds);
    int64_t (*clockMicros)();  // a monotonic clock, for wait deadlines
    int64_t (*now)();          // seconds since 1970-01-01 00:00 UTC (log records)
    // A shared read-only mapping of the first `length` bytes of `fd`: new
    // when `old` is null, else `old` (of `oldLength` bytes) grown, perhaps
    // moved.  Null when refused (`old` then stays as it was).
    void *(*map)(int fd, void *old, size_t oldLength, size_t length);
    int (*unmap)(void *address, size_t length);
    // The status of a descriptor, or of a path (`follow`: through a final
    // symbolic link).  0, or -1 with errno.
    int (*status)(int fd, SysFileStatus *out);
    int (*pathStatus)(const char *path, SysFileStatus *out, bool follow);
    // Renames only when nothing has the new name (EEXIST otherwise).
    int (*renameNoReplace)(const char *from, const char *to);
    // Sets the permission bits of an open file.
    int (*chmod)(int fd, unsigned mode);
};

// seam: system-calls (src/LAYERS.md) - the memory helpers below the file
// layer (frame/ismemory.cpp) allocate through this table too.
extern SysCalls sysCalls;
const SysCalls &defaultSysCalls();

}  // namespace wisam
