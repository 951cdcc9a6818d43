// isdict.cpp - reading the dictionary into the handle.
#include "structure/isdict.h"

#include <cstring>

#include "frame/iserror.h"
#include "frame/isfile.h"
#include "frame/ismemory.h"
#include "structure/isencode.h"
#include "system/issystem.h"

namespace wisam {

namespace {

constexpr uint8_t kMarker[4] = {'k', 'j', 's', 'k'};
constexpr int32_t kMinimumBlockSize = kDictionarySize;

void applyFeatures(IsFile *f, const uint8_t *dictionary) {
    if (std::memcmp(dictionary + kDictMarker, kMarker, sizeof kMarker) != 0) return;
    const int features = ld2(dictionary + kDictFeatures);
    if ((features & kFeatureIndexMask) != 0) f->mode |= kModeIndexMask;
    if ((features & kFeaturePrecious) != 0) f->state |= kStatePrecious;
    if ((features & kFeaturePacked) != 0) f->mode |= kModeVarLength | kModePacked;
}

void takeFixedFields(IsFile *f, const uint8_t *d) {
    f->keyCount = ld2(d + kDictKeyCount);
    f->dupWidth = static_cast<int8_t>(d[kDictDupWidth]);
    f->keyDescNode = static_cast<uint32_t>(ld4(d + kDictKeyDescNode));
    f->recordLength = static_cast<int16_t>(ld2(d + kDictRecordLength));
    f->maxRecordLength = ld2(d + kDictMaxRecordLength) & 0xFFFF;
    applyFeatures(f, d);
}

void takeChangingFields(IsFile *f, const uint8_t *d) {
    f->dataAlloc.head = static_cast<uint32_t>(ld4(d + kDictDataFreeHead));
    f->indexAlloc.head = static_cast<uint32_t>(ld4(d + kDictIndexFreeHead));
    f->dataAlloc.highest = static_cast<uint32_t>(ld4(d + kDictDataHighest));
    f->indexAlloc.highest = static_cast<uint32_t>(ld4(d + kDictIndexHighest));
    f->changeCount = static_cast<uint32_t>(ld4(d + kDictChangeCount));
    f->uniqueId = static_cast<uint32_t>(ld4(d + kDictUniqueId));
}

}  // namespace

int readDictionary(IsFile *f) {
    const bool first = f->dictionary == nullptr;
    if (first) {
        uint8_t size[2];
        if (!sysRead(nullptr, f->indexFd, size, sizeof size, kDictBlockSize)) return 0;
        const int32_t nodeSize = (ld2(size) & 0xFFFF) + 1;
        // The whole dictionary must fit the buffer it is read into.
        if (nodeSize < kMinimumBlockSize) raiseError(f, kErrCorrupt, kIoRead + kKindIndex);
        f->nodeSize = nodeSize;
        f->dictionary = static_cast<uint8_t *>(allocZeroed(f, static_cast<size_t>(f->nodeSize)));
    }
    sysRead(f, kKindIndex, f->dictionary, kDictionarySize, 0);
    if (first) takeFixedFields(f, f->dictionary);
    takeChangingFields(f, f->dictionary);
    return 1;
}

}  // namespace wisam
