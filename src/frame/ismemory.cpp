// layer: frame/base
// ismemory.cpp - zero-filling allocation with the fatal report on failure.
#include "frame/ismemory.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>

#include "frame/iserror.h"
#include "frame/isfile.h"
#include "system/issystem.h"

namespace wisam {

namespace {
// Line numbers of the fatal reports, as other tools match them.
constexpr int kLineAllocate = 31;
constexpr int kLineResize = 42;
}  // namespace

void *allocZeroed(IsFile *owner, size_t size) {
    void *block = sysCalls.allocate(size);
    if (block == nullptr) {
        fatalAt("ismemory", kLineAllocate);
        raiseError(owner, kErrNoMemory, 0);
    }
    return block;
}

void *allocUnfilled(IsFile *owner, size_t size) {
    void *block = sysCalls.reallocate(nullptr, size);  // a new block, as malloc gives it
    if (block == nullptr) {
        fatalAt("ismemory", kLineAllocate);
        raiseError(owner, kErrNoMemory, 0);
    }
    return block;
}

void *reallocZeroed(IsFile *owner, void *block, size_t oldSize, size_t newSize) {
    if (oldSize == 0 || block == nullptr) {
        sysCalls.release(block);
        return allocZeroed(owner, newSize);
    }
    void *grown = sysCalls.reallocate(block, newSize);
    if (grown == nullptr) {
        fatalAt("ismemory", kLineResize);
        raiseError(owner, kErrNoMemory, 0);
    }
    if (newSize > oldSize) std::memset(static_cast<char *>(grown) + oldSize, 0, newSize - oldSize);
    return grown;
}

void *tryReallocZeroed(void *block, size_t oldSize, size_t newSize) {
    void *grown = sysCalls.reallocate(block, newSize);
    if (grown != nullptr && newSize > oldSize) {
        std::memset(static_cast<char *>(grown) + oldSize, 0, newSize - oldSize);
    }
    return grown;
}

void freeRaw(void *block) { sysCalls.release(block); }

IsFile *newHandle() {
    void *raw = sysCalls.allocate(sizeof(IsFile));
    if (raw == nullptr) {
        fatalAt("ismemory", kLineAllocate);
        errno = kErrNoMemory;
        return nullptr;
    }
    return new (raw) IsFile{};
}

IsFile *destroyHandle(IsFile *f) {
    if (f != nullptr) {
        f->~IsFile();
        sysCalls.release(f);
    }
    return nullptr;
}

}  // namespace wisam
