// layer: frame/base
// ismemory.h - the zero-filling memory helpers every owner allocates through.
//
// Failure is never returned: the helpers report "fatal isam error ismemory(N)"
// through the fatal hook and raise 116 "Can't allocate memory" on the handle
// whose call is under way, so no caller ever goes on with a null block.
#pragma once

#include <cstddef>

struct IsFile;

namespace wisam {

// Allocates `size` bytes, all zero.  `owner` receives the raise on failure
// (may be null: the error then reaches the outermost exported call).
void *allocZeroed(IsFile *owner, size_t size);

// Allocates `size` bytes left as they come: for buffers that are always
// written before they are read and taken often (a change's page buffers),
// where zero-filling would cost a pass over every one.  Fails as above.
void *allocUnfilled(IsFile *owner, size_t size);

// Allocates when `oldSize` is 0, else resizes; bytes from `oldSize` to
// `newSize` are zero.  On failure the old block is left untouched.
void *reallocZeroed(IsFile *owner, void *block, size_t oldSize, size_t newSize);

// Frees a non-null block and returns null, so owners clear their pointer in
// the same statement: `f->dictionary = freeBlock(f->dictionary);`.
// As reallocZeroed, but a failure returns null (the old block untouched)
// and reports nothing: for callers with an error of their own for it.
void *tryReallocZeroed(void *block, size_t oldSize, size_t newSize);

void freeRaw(void *block);

template <class T>
T *freeBlock(T *block) {
    freeRaw(block);
    return nullptr;
}

// Creates a zero-filled handle with its descriptors closed (-1) and
// `profileTag` -1.  Released with destroyHandle.
IsFile *newHandle();
IsFile *destroyHandle(IsFile *f);

}  // namespace wisam
