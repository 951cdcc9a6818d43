// layer: system/os
// isview.cpp - read-only views of a handle's index and data files.
#include "system/isview.h"

#include <algorithm>
#include <cstring>

#include "frame/isfile.h"
#include "system/issystem.h"

namespace wisam {

namespace {

// The view of `kind`; null for a kind other than the index and data files.
template <class File>
auto viewOf(File *f, int kind) -> decltype(&f->views[0]) {
    if (kind == kKindIndex) return &f->views[0];
    if (kind == kKindData) return &f->views[1];
    return nullptr;
}

// The bytes of `kind` the dictionary says are in use: blocks up to the
// highest one, records up to the highest number.
int64_t inUse(const IsFile *f, int kind) {
    if (kind == kKindIndex) return int64_t{f->indexAlloc.highest} * f->nodeSize;
    return int64_t{f->dataAlloc.highest} * f->slotSize;
}

void grow(IsFile *f, int kind) {
    FileView &v = *viewOf(f, kind);
    if (!v.wanted) return;
    v.wanted = false;
    const int32_t fd = kind == kKindIndex ? f->indexFd : f->dataFd;
    const int64_t extent = inUse(f, kind);
    if (fd < 0 || extent <= v.length) return;
    // A view only saves system calls: a size or a mapping the system
    // refuses leaves the reads going to the file, with no error.
    const int64_t size = sysCalls.seekEnd(fd);
    const int64_t length = std::min(size, extent);
    if (length <= v.length) return;
    void *base = sysCalls.map(fd, const_cast<uint8_t *>(v.base), static_cast<size_t>(v.length),
                              static_cast<size_t>(length));
    if (base == nullptr) return;
    v.base = static_cast<const uint8_t *>(base);
    v.length = length;
}

}  // namespace

const uint8_t *viewBytes(IsFile *f, int kind, int64_t offset, int32_t length) {
    FileView *v = viewOf(f, kind);
    if (v == nullptr || offset < 0 || length < 0 || (f->mode & kModeNoLocking) != 0) return nullptr;
    if (offset + length > v->length) {
        v->wanted = true;
        return nullptr;
    }
    return v->base + offset;
}

bool viewRead(IsFile *f, int kind, void *buffer, int32_t length, int64_t offset) {
    const uint8_t *bytes = viewBytes(f, kind, offset, length);
    if (bytes == nullptr) return false;
    std::memcpy(buffer, bytes, static_cast<size_t>(length));
    return true;
}

bool viewHolds(const IsFile *f, int kind, int64_t offset, int32_t length) {
    const FileView *v = viewOf(f, kind);
    if (v == nullptr || offset < 0 || length < 0 || (f->mode & kModeNoLocking) != 0) return false;
    return offset + length <= v->length;
}

void viewResize(IsFile *f) {
    if ((f->mode & kModeNoLocking) != 0 || (f->deferState & kDeferExclusiveKept) != 0) return;
    grow(f, kKindIndex);
    grow(f, kKindData);
}

void viewDrop(IsFile *f) {
    for (FileView &v : f->views) {
        if (v.base != nullptr) sysCalls.unmap(const_cast<uint8_t *>(v.base), static_cast<size_t>(v.length));
        v = FileView{};
    }
}

}  // namespace wisam
