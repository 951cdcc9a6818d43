// memfiles.cpp - the in-memory file table behind MemoryFiles.
#include "fuzz/memfiles.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <memory>

namespace wisam::fuzz {

namespace {

using Bytes = std::vector<uint8_t>;

// Descriptors are numbered from here so that none can be mistaken for one
// the process really holds.
constexpr int kFirstDescriptor = 10000;

struct Descriptor {
    std::shared_ptr<Bytes> file;  // null: the slot is free
    std::string path;             // as opened
    int64_t position = 0;
    bool append = false;
};

std::map<std::string, std::shared_ptr<Bytes>> files;
std::vector<Descriptor> descriptors;
std::function<void(const std::string &)> writeHook;

// What fstat tells of a file besides its size.
struct Meta {
    uint64_t inode;
    uint32_t mode;
};
std::map<const Bytes *, Meta> metas;

uint64_t inodeOf(const std::string &path) {
    uint64_t h = 14695981039346656037ull;  // FNV-1a
    for (char c : path) h = (h ^ uint8_t(c)) * 1099511628211ull;
    return h;
}

std::shared_ptr<Bytes> newFile(const std::string &path, Bytes bytes) {
    auto file = std::make_shared<Bytes>(std::move(bytes));
    metas[file.get()] = Meta{inodeOf(path), S_IFREG | 0644};
    return file;
}

void statusOf(const std::shared_ptr<Bytes> &file, SysFileStatus *out) {
    const Meta &meta = metas[file.get()];
    *out = SysFileStatus{.device = 1, .inode = meta.inode, .owner = 0, .group = 0, .mode = meta.mode, .links = 1,
                         .size = static_cast<int64_t>(file->size()), .symlink = false};
}

void beforeWrite(const Descriptor &d) {
    if (writeHook) writeHook(d.path);
}

Descriptor *descriptorOf(int fd) {
    const int slot = fd - kFirstDescriptor;
    if (slot < 0 || slot >= static_cast<int>(descriptors.size()) || !descriptors[slot].file) {
        errno = EBADF;
        return nullptr;
    }
    return &descriptors[slot];
}

int memOpen(const char *path, int flags, unsigned) {
    auto found = files.find(path);
    if (found == files.end()) {
        if ((flags & O_CREAT) == 0) {
            errno = ENOENT;
            return -1;
        }
        found = files.emplace(path, newFile(path, Bytes{})).first;
    } else if ((flags & O_CREAT) != 0 && (flags & O_EXCL) != 0) {
        errno = EEXIST;
        return -1;
    }
    if ((flags & O_TRUNC) != 0) found->second->clear();
    size_t slot = 0;
    while (slot < descriptors.size() && descriptors[slot].file) ++slot;
    if (slot == descriptors.size()) descriptors.emplace_back();
    descriptors[slot] = Descriptor{found->second, path, 0, (flags & O_APPEND) != 0};
    return kFirstDescriptor + static_cast<int>(slot);
}

int memClose(int fd) {
    Descriptor *d = descriptorOf(fd);
    if (d == nullptr) return -1;
    *d = Descriptor{};
    return 0;
}

long readAt(const Bytes &file, void *buffer, size_t length, int64_t offset) {
    if (offset < 0) {
        errno = EINVAL;
        return -1;
    }
    if (static_cast<uint64_t>(offset) >= file.size()) return 0;
    const size_t count = std::min(length, file.size() - static_cast<size_t>(offset));
    std::memcpy(buffer, file.data() + offset, count);
    return static_cast<long>(count);
}

long writeAt(Bytes &file, const void *buffer, size_t length, int64_t offset) {
    // The inputs are small; a damaged dictionary may still place a record
    // far out (its highest record number is the file's word), and a file
    // grown to that size would only make every later walk over it slow.
    constexpr int64_t kLargestFile = int64_t{1} << 20;
    if (offset < 0 || offset + static_cast<int64_t>(length) > kLargestFile) {
        errno = offset < 0 ? EINVAL : EFBIG;
        return -1;
    }
    const size_t end = static_cast<size_t>(offset) + length;
    if (file.size() < end) file.resize(end, 0);
    std::memcpy(file.data() + offset, buffer, length);
    return static_cast<long>(length);
}

long memPread(int fd, void *buffer, size_t length, int64_t offset) {
    Descriptor *d = descriptorOf(fd);
    return d == nullptr ? -1 : readAt(*d->file, buffer, length, offset);
}

// As on Linux, a descriptor opened with O_APPEND (the log) writes at the
// end of the file whatever offset it is given.
long memPwrite(int fd, const void *buffer, size_t length, int64_t offset) {
    Descriptor *d = descriptorOf(fd);
    if (d == nullptr) return -1;
    beforeWrite(*d);
    if (d->append) offset = static_cast<int64_t>(d->file->size());
    return writeAt(*d->file, buffer, length, offset);
}

long memRead(int fd, void *buffer, size_t length) {
    Descriptor *d = descriptorOf(fd);
    if (d == nullptr) return -1;
    const long got = readAt(*d->file, buffer, length, d->position);
    if (got > 0) d->position += got;
    return got;
}

long memWrite(int fd, const void *buffer, size_t length) {
    Descriptor *d = descriptorOf(fd);
    if (d == nullptr) return -1;
    beforeWrite(*d);
    if (d->append) d->position = static_cast<int64_t>(d->file->size());
    const long put = writeAt(*d->file, buffer, length, d->position);
    if (put > 0) d->position += put;
    return put;
}

int64_t memSeekEnd(int fd) {
    Descriptor *d = descriptorOf(fd);
    if (d == nullptr) return -1;
    d->position = static_cast<int64_t>(d->file->size());
    return d->position;
}

int memDatasync(int fd) { return descriptorOf(fd) == nullptr ? -1 : 0; }

int memUnlink(const char *path) {
    if (files.erase(path) == 0) {
        errno = ENOENT;
        return -1;
    }
    return 0;
}

int memRename(const char *from, const char *to) {
    auto found = files.find(from);
    if (found == files.end()) {
        errno = ENOENT;
        return -1;
    }
    auto file = found->second;
    files.erase(found);
    files[to] = file;
    return 0;
}

int memRenameNoReplace(const char *from, const char *to) {
    if (files.count(to) != 0) {
        errno = EEXIST;
        return -1;
    }
    return memRename(from, to);
}

int memStatus(int fd, SysFileStatus *out) {
    Descriptor *d = descriptorOf(fd);
    if (d == nullptr) return -1;
    statusOf(d->file, out);
    return 0;
}

int memPathStatus(const char *path, SysFileStatus *out, bool) {
    auto found = files.find(path);
    if (found == files.end()) {
        errno = ENOENT;
        return -1;
    }
    statusOf(found->second, out);
    return 0;
}

int memChmod(int fd, unsigned mode) {
    Descriptor *d = descriptorOf(fd);
    if (d == nullptr) return -1;
    metas[d->file.get()].mode = S_IFREG | (mode & 07777);
    return 0;
}

int memLockRange(int fd, int64_t, int64_t, bool) { return descriptorOf(fd) == nullptr ? -1 : 0; }

int memTruncate(int fd, int64_t length) {
    Descriptor *d = descriptorOf(fd);
    if (d == nullptr) return -1;
    if (length < 0) {
        errno = EINVAL;
        return -1;
    }
    d->file->resize(static_cast<size_t>(length), 0);
    return 0;
}

}  // namespace

MemoryFiles::MemoryFiles() : saved_(sysCalls) {
    clear();
    sysCalls.open = memOpen;
    sysCalls.close = memClose;
    sysCalls.pread = memPread;
    sysCalls.pwrite = memPwrite;
    sysCalls.read = memRead;
    sysCalls.write = memWrite;
    sysCalls.seekEnd = memSeekEnd;
    sysCalls.datasync = memDatasync;
    sysCalls.unlink = memUnlink;
    sysCalls.rename = memRename;
    sysCalls.lockRange = memLockRange;
    sysCalls.truncate = memTruncate;
    sysCalls.status = memStatus;
    sysCalls.pathStatus = memPathStatus;
    sysCalls.renameNoReplace = memRenameNoReplace;
    sysCalls.chmod = memChmod;
}

MemoryFiles::~MemoryFiles() {
    sysCalls = saved_;
    clear();
}

void MemoryFiles::clear() {
    files.clear();
    descriptors.clear();
    metas.clear();
    writeHook = nullptr;
}

void MemoryFiles::put(const std::string &path, const std::vector<uint8_t> &bytes) {
    files[path] = newFile(path, bytes);
}

std::vector<std::string> MemoryFiles::paths() const {
    std::vector<std::string> all;
    for (const auto &entry : files) all.push_back(entry.first);
    return all;
}

void MemoryFiles::watchWrites(std::function<void(const std::string &path)> hook) { writeHook = std::move(hook); }

std::vector<uint8_t> MemoryFiles::get(const std::string &path) const {
    auto found = files.find(path);
    return found == files.end() ? Bytes{} : *found->second;
}

size_t MemoryFiles::size(const std::string &path) const {
    auto found = files.find(path);
    return found == files.end() ? 0 : found->second->size();
}

bool MemoryFiles::exists(const std::string &path) const { return files.count(path) != 0; }

int MemoryFiles::openCount() const {
    return static_cast<int>(std::count_if(descriptors.begin(), descriptors.end(),
                                          [](const Descriptor &d) { return d.file != nullptr; }));
}

}  // namespace wisam::fuzz
