// ispath.cpp - creating, rooting and releasing tree paths.
#include "index/ispath.h"

#include <new>

#include "frame/isfile.h"
#include "frame/ismemory.h"

namespace wisam {

TreePath *pathCreate(IsFile *f, const KeyDesc &key) {
    void *raw = allocZeroed(f, sizeof(TreePath));
    auto *path = new (raw) TreePath{};
    path->key = key;
    int32_t length = 0;
    for (int i = 0; i < key.partCount; ++i) length += key.parts[i].length;
    path->key.keyLength = static_cast<int16_t>(length);
    path->compareLength = length;
    return path;
}

void pathSetRoot(IsFile *, TreePath *path, uint32_t root) {
    path->rootNode = root;
    path->key.rootNode = root;
}

TreePath *pathDestroy(TreePath *path) {
    if (path != nullptr) path->~TreePath();
    return freeBlock(path);
}

}  // namespace wisam
