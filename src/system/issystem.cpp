// layer: system/os
// issystem.cpp - descriptor I/O with the retry and short-transfer rules.
#include "system/issystem.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "frame/iserror.h"
#include "frame/isfile.h"
#include "system/isjournal.h"
#include "system/isprofile.h"
#include "system/isregion.h"
#include "system/isview.h"

namespace wisam {

namespace {

constexpr unsigned kCreateMode = 0666;  // the umask applies
constexpr int kLineBadKind = 1378;
constexpr int kLineBadKindStore = 1357;
constexpr int kLineNegativeOffset = 959;

int sysOpenDefault(const char *path, int flags, unsigned mode) {
    int fd;
    do {
        fd = ::open(path, flags, mode);
    } while (fd < 0 && errno == EINTR);
    return fd;
}
int sysCloseDefault(int fd) { return ::close(fd); }
long sysPreadDefault(int fd, void *buffer, size_t length, int64_t offset) {
    return ::pread(fd, buffer, length, offset);
}
long sysPwriteDefault(int fd, const void *buffer, size_t length, int64_t offset) {
    return ::pwrite(fd, buffer, length, offset);
}
long sysReadDefault(int fd, void *buffer, size_t length) { return ::read(fd, buffer, length); }
long sysWriteDefault(int fd, const void *buffer, size_t length) {
    return ::write(fd, buffer, length);
}
int64_t sysSeekEndDefault(int fd) { return ::lseek(fd, 0, SEEK_END); }
int sysDatasyncDefault(int fd) { return ::fdatasync(fd); }
int sysUnlinkDefault(const char *path) { return ::unlink(path); }
int sysRenameDefault(const char *from, const char *to) { return ::rename(from, to); }

// Open-file-description write lock (or unlock) of a range, never waiting.
int sysLockRangeDefault(int fd, int64_t offset, int64_t length, bool lock) {
    struct flock range = {};
    range.l_type = lock ? F_WRLCK : F_UNLCK;
    range.l_whence = SEEK_SET;
    range.l_start = offset;
    range.l_len = length;
    return ::fcntl(fd, F_OFD_SETLK, &range);
}
int sysGetpidDefault() { return static_cast<int>(::getpid()); }
int sysTruncateDefault(int fd, int64_t length) {
    int rc;
    do {
        rc = ::ftruncate(fd, length);
    } while (rc < 0 && errno == EINTR);
    return rc;
}
void *sysAllocateDefault(size_t size) { return std::calloc(1, size == 0 ? 1 : size); }
void *sysReallocateDefault(void *block, size_t size) { return std::realloc(block, size == 0 ? 1 : size); }
void sysReleaseDefault(void *block) { std::free(block); }
int sysAdviseDefault(void *address, size_t length, int advice) { return ::madvise(address, length, advice); }
int sysYieldDefault() { return ::sched_yield(); }
int64_t sysClockMicrosDefault() {
    struct timespec now = {};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return int64_t{now.tv_sec} * 1000000 + now.tv_nsec / 1000;
}

int64_t sysNowDefault() { return static_cast<int64_t>(::time(nullptr)); }

void *sysMapDefault(int fd, void *old, size_t oldLength, size_t length) {
    void *base = old == nullptr ? ::mmap(nullptr, length, PROT_READ, MAP_SHARED, fd, 0)
                                : ::mremap(old, oldLength, length, MREMAP_MAYMOVE);
    return base == MAP_FAILED ? nullptr : base;
}

int sysUnmapDefault(void *address, size_t length) { return ::munmap(address, length); }

void sysPauseDefault(int64_t microseconds) {
    struct timespec pause = {static_cast<time_t>(microseconds / 1000000),
                             static_cast<long>(microseconds % 1000000) * 1000};
    while (::nanosleep(&pause, &pause) < 0 && errno == EINTR) {
    }
}

void fillStatus(const struct stat &st, SysFileStatus *out) {
    out->device = static_cast<uint64_t>(st.st_dev);
    out->inode = static_cast<uint64_t>(st.st_ino);
    out->owner = static_cast<uint32_t>(st.st_uid);
    out->group = static_cast<uint32_t>(st.st_gid);
    out->mode = static_cast<uint32_t>(st.st_mode);
    out->links = static_cast<uint32_t>(st.st_nlink);
    out->size = static_cast<int64_t>(st.st_size);
    out->symlink = S_ISLNK(st.st_mode);
}

int sysStatusDefault(int fd, SysFileStatus *out) {
    struct stat st = {};
    if (::fstat(fd, &st) != 0) return -1;
    fillStatus(st, out);
    return 0;
}

int sysPathStatusDefault(const char *path, SysFileStatus *out, bool follow) {
    struct stat st = {};
    if ((follow ? ::stat(path, &st) : ::lstat(path, &st)) != 0) return -1;
    fillStatus(st, out);
    return 0;
}

// A file system without the no-replace rename gets a hard link and an
// unlink, which refuse an existing name the same way.
int sysRenameNoReplaceDefault(const char *from, const char *to) {
    if (::renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0) return 0;
    if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP) return -1;
    if (::link(from, to) != 0) return -1;
    return ::unlink(from);
}

int sysChmodDefault(int fd, unsigned mode) {
    int rc;
    do {
        rc = ::fchmod(fd, static_cast<mode_t>(mode));
    } while (rc < 0 && errno == EINTR);
    return rc;
}

constexpr SysCalls kDefaultSysCalls = {
    sysOpenDefault,   sysCloseDefault,     sysPreadDefault,  sysPwriteDefault,
    sysReadDefault,   sysWriteDefault,     sysSeekEndDefault, sysDatasyncDefault,
    sysUnlinkDefault, sysRenameDefault,    sysLockRangeDefault, sysGetpidDefault,
    sysTruncateDefault, sysAllocateDefault, sysReallocateDefault, sysReleaseDefault,
    sysAdviseDefault, sysYieldDefault, sysPauseDefault, sysClockMicrosDefault,
    sysNowDefault,    sysMapDefault,   sysUnmapDefault,  sysStatusDefault,
    sysPathStatusDefault, sysRenameNoReplaceDefault, sysChmodDefault,
};

// The descriptor field a kind selects; null for a kind a handle cannot use.
int32_t *descriptorField(IsFile *f, int kind) {
    switch (kind) {
    case kKindIndex:
        return &f->indexFd;
    case kKindData:
        return &f->dataFd;
    case kKindLock:
        return &f->lockFd;
    case kKindJournal:
        return &f->journalFd;
    default:
        return nullptr;
    }
}

int createFlags(int kind) {
    switch (kind) {
    case kKindIndex:
    case kKindData:
        return O_RDWR | O_CREAT | O_EXCL;
    case kKindAppend:
    case kKindLog:
        return O_RDWR | O_APPEND | O_CREAT;
    case kKindLock:
    case kKindJournal:
        return O_RDWR | O_CREAT | O_NOFOLLOW;
    default:
        return O_RDWR | O_CREAT;
    }
}

// The flags an existing file of `kind` opens with: the lock file, the
// journal and the kept schema never through a symbolic link.
int openFlags(int kind, bool readOnly) {
    const int noFollow = kind == kKindLock || kind == kKindJournal || kind == kKindSchema ? O_NOFOLLOW : 0;
    return (readOnly ? O_RDONLY : O_RDWR) | noFollow;
}

// The permission bits a new lock file or journal takes: the index file's,
// so that whoever may change the ISAM file may use them too.
void matchIndexPermissions(IsFile *f, int kind, int32_t fd) {
    SysFileStatus index = {};
    if (f == nullptr || f->indexFd < 0 || !sysStatus(f->indexFd, index)) return;
    if (sysCalls.chmod(fd, index.mode & 0666) != 0) raiseError(f, errno, kIoCreate + kind);
}

// The system path of a kind, or the name error (raised with a handle).
bool buildPath(IsFile *f, int kind, const char16_t *base, SysPath &path) {
    const int error = sysPathOf(kind, base, path);
    if (error == 0) return true;
    if (f != nullptr) raiseError(f, error, 0);
    errno = error;
    return false;
}

int32_t openPath(IsFile *f, int kind, const char16_t *base, int flags, int ioBase) {
    SysPath path;
    if (!buildPath(f, kind, base, path)) return -1;
    const int32_t fd = sysCalls.open(path.bytes, flags | O_CLOEXEC, kCreateMode);
    if (f == nullptr) return fd;
    if (fd < 0) raiseError(f, errno, ioBase + kind);
    int32_t *field = descriptorField(f, kind);
    if (field == nullptr) {
        fatalAt("issystem", kLineBadKindStore);
        return fd;
    }
    *field = fd;
    return fd;
}

// A negative offset other than -1 (current position) is refused as the seek
// of the platform would refuse it.
bool badOffset(int64_t offset) { return offset < -1; }

void raiseBadSeek(IsFile *f, int kind) { raiseError(f, EINVAL, kIoSeek + kind); }

}  // namespace

int sysPathOf(int kind, const char16_t *base, SysPath &path) {
    char16_t name[kPathUnits];
    NameResult result = sysFileName(kind, base, name);
    if (result == NameResult::ok) result = utf16ToPath(name, path);
    if (result == NameResult::ok) return 0;
    return result == NameResult::tooLong ? kErrNameTooLong : kErrBadArgument;
}

SysCalls sysCalls = kDefaultSysCalls;

const SysCalls &defaultSysCalls() { return kDefaultSysCalls; }

int32_t sysDescriptor(IsFile *f, int kindOrFd) {
    if (f == nullptr) return kindOrFd;
    const int32_t *field = descriptorField(f, kindOrFd);
    if (field == nullptr) {
        // An internal error: no descriptor of the handle is used, so the
        // operation fails on an invalid descriptor instead of touching one
        // the process owns for something else.
        fatalAt("issystem", kLineBadKind);
        return -1;
    }
    return *field;
}

int32_t sysCreate(IsFile *f, int kind, const char16_t *base) {
    return openPath(f, kind, base, createFlags(kind), kIoCreate);
}

int32_t sysOpen(IsFile *f, int kind, const char16_t *base) {
    const bool readOnly = f != nullptr && (f->mode & kModeNoLocking) != 0;
    return openPath(f, kind, base, openFlags(kind, readOnly), kIoOpen);
}

int32_t sysOpenOrCreate(IsFile *f, int kind, const char16_t *base) {
    if (kind != kKindLock && kind != kKindJournal) return sysCreate(f, kind, base);
    for (;;) {
        SysPath path;
        if (!buildPath(f, kind, base, path)) return -1;
        int32_t fd = sysCalls.open(path.bytes, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                                   kCreateMode);
        const bool created = fd >= 0;
        // EEXIST from an exclusive create is also what a symbolic link in
        // the name gives; the open that follows refuses it with ELOOP.
        if (fd < 0 && errno == EEXIST) fd = sysCalls.open(path.bytes, openFlags(kind, false) | O_CLOEXEC, 0);
        // Removed between the two opens: create it again.
        if (fd < 0 && errno == ENOENT) continue;
        if (f == nullptr) return fd;
        if (fd < 0) raiseError(f, errno, kIoCreate + kind);
        *descriptorField(f, kind) = fd;
        if (created) matchIndexPermissions(f, kind, fd);
        return fd;
    }
}

bool sysStatus(int32_t fd, SysFileStatus &out) { return sysCalls.status(fd, &out) == 0; }

void sysClose(IsFile *f, int kindOrFd) {
    const int32_t fd = sysDescriptor(f, kindOrFd);
    if (fd >= 0) {
        forgetRegions(fd);
        sysCalls.close(fd);  // never retried: the descriptor is gone either way
    }
    if (f != nullptr) {
        if (kindOrFd == kKindIndex || kindOrFd == kKindData) viewDrop(f);
        if (int32_t *field = descriptorField(f, kindOrFd)) *field = -1;
    }
}

int sysRead(IsFile *f, int kindOrFd, void *buffer, int32_t length, int64_t offset,
            int32_t *count) {
    if (journalOverlays(f, kindOrFd)) return journalRead(f, kindOrFd, buffer, length, offset, count);
    return sysReadDirect(f, kindOrFd, buffer, length, offset, count);
}

const uint8_t *sysPeekDirect(IsFile *f, int kind, int64_t offset, int32_t length) {
    const uint8_t *bytes = viewBytes(f, kind, offset, length);
    if (bytes != nullptr) {
        reportEvent(f, kEventRead, kPhaseBefore);
        reportEvent(f, kEventRead, kPhaseAfter);
    }
    return bytes;
}

int sysReadDirect(IsFile *f, int kindOrFd, void *buffer, int32_t length, int64_t offset,
                  int32_t *count) {
    if (f != nullptr && viewRead(f, kindOrFd, buffer, length, offset)) {
        reportEvent(f, kEventRead, kPhaseBefore);
        reportEvent(f, kEventRead, kPhaseAfter);
        if (count != nullptr) *count = length;
        return 1;
    }
    const int32_t fd = sysDescriptor(f, kindOrFd);
    for (;;) {
        if (badOffset(offset) || length < 0) {
            if (f == nullptr) return 0;
            raiseBadSeek(f, kindOrFd);
        }
        reportEvent(f, kEventRead, kPhaseBefore);
        const size_t want = static_cast<size_t>(length);
        const long got = offset == -1 ? sysCalls.read(fd, buffer, want)
                                      : sysCalls.pread(fd, buffer, want, offset);
        const int error = errno;
        reportEvent(f, kEventRead, kPhaseAfter);
        if (got == length) {
            if (count != nullptr) *count = length;
            return 1;
        }
        if (got < 0 && error == EINTR) {
            reportEvent(f, kEventReadRetry, kPhaseEvent);
            continue;
        }
        if (f == nullptr) return 0;
        if (got < 0) raiseError(f, error, kIoRead + kindOrFd);
        if (count != nullptr) {
            *count = static_cast<int32_t>(got);
            return 1;
        }
        raiseError(f, kErrCorrupt, kIoRead + kindOrFd);
    }
}

int sysWrite(IsFile *f, int kindOrFd, const void *buffer, int32_t length, int64_t offset, const void *was) {
    if (f != nullptr && badOffset(offset) &&
        (kindOrFd == kKindIndex || kindOrFd == kKindData)) {
        fatalAt("issystem", kLineNegativeOffset);
    }
    if (journalOverlays(f, kindOrFd) && !badOffset(offset) && length >= 0) {
        journalWrite(f, kindOrFd, buffer, length, offset, was);
        return 1;
    }
    return sysWriteDirect(f, kindOrFd, buffer, length, offset);
}

int sysWriteDirect(IsFile *f, int kindOrFd, const void *buffer, int32_t length, int64_t offset) {
    const int32_t fd = sysDescriptor(f, kindOrFd);
    const auto *bytes = static_cast<const uint8_t *>(buffer);
    for (;;) {
        if (badOffset(offset) || length < 0) {
            if (f == nullptr) return 0;
            raiseBadSeek(f, kindOrFd);
        }
        countBytes(kCountWritten, static_cast<uint64_t>(length));  // per attempt
        reportEvent(f, kEventWrite, kPhaseBefore);
        const size_t want = static_cast<size_t>(length);
        const long put = offset == -1 ? sysCalls.write(fd, bytes, want)
                                      : sysCalls.pwrite(fd, bytes, want, offset);
        int error = errno;
        reportEvent(f, kEventWrite, kPhaseAfter);
        if (put == length) return 1;
        if (put < 0 && error == EINTR) {
            reportEvent(f, kEventWriteRetry, kPhaseEvent);
            continue;
        }
        // A short write (a signal, the device filling up) goes on with the
        // rest; the next write reports why it cannot, if it cannot.
        if (put > 0 && put < length) {
            bytes += put;
            length -= static_cast<int32_t>(put);
            if (offset != -1) offset += put;
            continue;
        }
        if (put == 0) error = ENOSPC;  // no progress: nothing more fits
        if (f == nullptr) return 0;
        raiseError(f, error, kIoWrite + kindOrFd);
    }
}

int64_t sysFileSize(IsFile *f, int kindOrFd) {
    if (journalOverlays(f, kindOrFd)) return journalFileSize(f, kindOrFd);
    return sysFileSizeDirect(f, kindOrFd);
}

int64_t sysFileSizeDirect(IsFile *f, int kindOrFd) {
    const int64_t size = sysCalls.seekEnd(sysDescriptor(f, kindOrFd));
    if (size < 0 && f != nullptr) raiseError(f, errno, kIoSeek + kindOrFd);
    return size;
}

int sysErase(IsFile *f, int kind, const char16_t *base) {
    SysPath path;
    if (!buildPath(f, kind, base, path)) return 0;
    if (sysCalls.unlink(path.bytes) == 0) return 1;
    if (f != nullptr) raiseError(f, errno, kIoErase + kind);
    return 0;
}

int sysRename(IsFile *f, int kind, const char16_t *oldBase, const char16_t *newBase) {
    SysPath from;
    SysPath to;
    if (!buildPath(f, kind, oldBase, from) || !buildPath(f, kind, newBase, to)) return 0;
    if (sysCalls.rename(from.bytes, to.bytes) == 0) return 1;
    if (f != nullptr) raiseError(f, errno, kIoErase + kind);
    return 0;
}

int sysCommit(IsFile *f, int kindOrFd) {
    const int32_t fd = sysDescriptor(f, kindOrFd);
    if (fd < 0) return 1;
    if (sysCalls.datasync(fd) == 0) return 1;
    if (f != nullptr) raiseError(f, errno, kIoWrite + kindOrFd);
    return 0;
}

int sysTruncate(IsFile *f, int kindOrFd, int64_t length) {
    if (journalOverlays(f, kindOrFd)) {
        journalTruncate(f, kindOrFd, length);
        return 1;
    }
    return sysTruncateDirect(f, kindOrFd, length);
}

int sysTruncateDirect(IsFile *f, int kindOrFd, int64_t length) {
    const int32_t fd = sysDescriptor(f, kindOrFd);
    if (fd < 0) return 1;
    // A view must never reach past the end of its file.
    if (f != nullptr && (kindOrFd == kKindIndex || kindOrFd == kKindData)) viewDrop(f);
    if (sysCalls.truncate(fd, length) == 0) return 1;
    if (f != nullptr) raiseError(f, errno, kIoWrite + kindOrFd);
    return 0;
}

int sysSyncDirectoryOf(IsFile *f, int kind) {
    SysPath path;
    if (!buildPath(f, kind, f->name, path)) return 0;
    char *slash = std::strrchr(path.bytes, '/');
    if (slash == nullptr) {
        path.bytes[0] = '.', path.bytes[1] = 0;
    } else if (slash == path.bytes) {
        slash[1] = 0;
    } else {
        *slash = 0;
    }
    const int fd = sysCalls.open(path.bytes, O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0);
    if (fd < 0) raiseError(f, errno, kIoOpen + kind);
    const int rc = sysCalls.datasync(fd);
    const int error = errno;
    sysCalls.close(fd);
    if (rc != 0) raiseError(f, error, kIoWrite + kind);
    return 1;
}

}  // namespace wisam
