// layer: structure/format
// isdict.cpp - reading the dictionary into the handle.
#include "structure/isdict.h"

#include <cstring>

#include "frame/iserror.h"
#include "frame/isfile.h"
#include "frame/ismemory.h"
#include "frame/isundo.h"
#include "structure/isencode.h"
#include "system/issystem.h"

namespace wisam {

namespace {

constexpr int32_t kMinimumBlockSize = kDictionarySize;

void applyFeatures(IsFile *f, const uint8_t *dictionary) {
    if (std::memcmp(dictionary + kDictMarker, kDictMarkerBytes, sizeof kDictMarkerBytes) != 0) return;
    const int features = ld2(dictionary + kDictFeatures);
    if ((features & kFeatureIndexMask) != 0) f->mode |= kModeIndexMask;
    if ((features & kFeaturePrecious) != 0) f->state |= kStatePrecious;
    if ((features & kFeaturePacked) != 0) f->mode |= kModeVarLength | kModePacked;
}

int featureFlags(const IsFile *f) {
    int flags = 0;
    if ((f->mode & kModeIndexMask) != 0) flags |= kFeatureIndexMask;
    if ((f->state & kStatePrecious) != 0) flags |= kFeaturePrecious;
    if ((f->mode & (kModeVarLength | kModePacked)) == (kModeVarLength | kModePacked)) {
        flags |= kFeaturePacked;
    }
    return flags;
}

void takeFixedFields(IsFile *f, const uint8_t *d) {
    f->keyCount = ld2(d + kDictKeyCount);
    f->dupWidth = static_cast<int8_t>(d[kDictDupWidth]);
    f->keyDescNode = static_cast<uint32_t>(ld4(d + kDictKeyDescNode));
    f->recordLength = static_cast<int16_t>(ld2(d + kDictRecordLength));
    f->maxRecordLength = ld2(d + kDictMaxRecordLength) & 0xFFFF;
    // Every buffer of the handle is sized from these: a negative record
    // length is a damaged dictionary, not a size.
    if (f->recordLength < 0) raiseError(f, kErrCorrupt, kIoRead + kKindIndex);
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
    if (dictionaryBytes(f) > kDictionarySize) {
        sysRead(f, kKindIndex, f->dictionary + kDictSpaceTable, kSpaceTableSize, kDictSpaceTable);
    }
    takeChangingFields(f, f->dictionary);
    return 1;
}

int32_t dictionaryBytes(const IsFile *f) {
    const bool spaceTable = f->maxRecordLength != 0 && f->nodeSize >= kDictionaryWithSpaceTable;
    return spaceTable ? kDictionaryWithSpaceTable : kDictionarySize;
}

void createDictionary(IsFile *f) {
    f->dictionary = freeBlock(f->dictionary);
    f->dictionary = static_cast<uint8_t *>(allocZeroed(f, static_cast<size_t>(f->nodeSize)));
    uint8_t *d = f->dictionary;
    std::memcpy(d, kDictMagic, sizeof kDictMagic);
    st2(d + kDictBlockSize, f->nodeSize - 1);
    st2(d + kDictKeyCount, 1);
    d[kDictKeyCount + 2] = kDictConstant10;
    d[kDictDupWidth] = static_cast<uint8_t>(f->dupWidth);
    st2(d + kDictRecordLength, f->recordLength);
    st4(d + kDictKeyDescNode, 2);
    st4(d + kDictIndexHighest, 3);
    st4(d + kDictChangeCount, 1);
    st4(d + kDictUniqueId, 1);
    d[kDictConstant54Offset] = kDictConstant54;
    st2(d + kDictMaxRecordLength, f->maxRecordLength);
    st2(d + kDictFeatures, featureFlags(f));
    std::memcpy(d + kDictMarker, kDictMarkerBytes, sizeof kDictMarkerBytes);
    f->indexAlloc = FreeList{};
    f->dataAlloc = FreeList{};
    f->indexAlloc.highest = 1;
    f->uniqueId = 1;
    f->changeCount = 0;
}

namespace {

enum class DictionaryWrite { counted, quiet, deferredNow };

void storeAndWrite(IsFile *f, DictionaryWrite kind) {
    if (kind != DictionaryWrite::deferredNow && (f->deferState & kDeferExclusiveKept) != 0) {
        f->deferState |= kDeferDictionary;
        return;
    }
    uint8_t *d = f->dictionary;
    if (kind != DictionaryWrite::quiet) ++f->changeCount;
    st4(d + kDictDataFreeHead, static_cast<int32_t>(f->dataAlloc.head));
    st4(d + kDictIndexFreeHead, static_cast<int32_t>(f->indexAlloc.head));
    st4(d + kDictDataHighest, static_cast<int32_t>(f->dataAlloc.highest));
    st4(d + kDictIndexHighest, static_cast<int32_t>(f->indexAlloc.highest));
    st4(d + kDictChangeCount, static_cast<int32_t>(f->changeCount));
    st4(d + kDictUniqueId, static_cast<int32_t>(f->uniqueId));
    st2(d + kDictFeatures, featureFlags(f));
    if (f->undo != nullptr) captureBeforeWrite(f, kKindIndex, 0, dictionaryBytes(f));
    sysWrite(f, kKindIndex, d, dictionaryBytes(f), 0);
    f->deferState &= static_cast<uint8_t>(~kDeferDictionary);
}

}  // namespace

void writeDictionary(IsFile *f) { storeAndWrite(f, DictionaryWrite::counted); }

void writeDictionaryQuiet(IsFile *f) { storeAndWrite(f, DictionaryWrite::quiet); }

void writeDeferredDictionary(IsFile *f) { storeAndWrite(f, DictionaryWrite::deferredNow); }

void saveDictionaryState(const IsFile *f, DictionaryState &state) {
    state.indexHead = f->indexAlloc.head;
    state.indexHighest = f->indexAlloc.highest;
    state.dataHead = f->dataAlloc.head;
    state.dataHighest = f->dataAlloc.highest;
    state.changeCount = f->changeCount;
    state.uniqueId = f->uniqueId;
    state.keyDescNode = f->keyDescNode;
    state.precious = (f->state & kStatePrecious) != 0;
    state.writeDeferred = (f->deferState & kDeferDictionary) != 0;
    if (f->dictionary != nullptr) std::memcpy(state.bytes, f->dictionary, size_t(dictionaryBytes(f)));
}

void restoreDictionaryState(IsFile *f, const DictionaryState &state) {
    f->indexAlloc.head = state.indexHead;
    f->indexAlloc.highest = state.indexHighest;
    f->dataAlloc.head = state.dataHead;
    f->dataAlloc.highest = state.dataHighest;
    f->changeCount = state.changeCount;
    f->uniqueId = state.uniqueId;
    f->keyDescNode = state.keyDescNode;
    f->state = state.precious ? static_cast<uint16_t>(f->state | kStatePrecious)
                              : static_cast<uint16_t>(f->state & ~kStatePrecious);
    if (state.writeDeferred) {
        f->deferState |= kDeferDictionary;
    } else {
        f->deferState &= static_cast<uint8_t>(~kDeferDictionary);
    }
    if (f->dictionary != nullptr) std::memcpy(f->dictionary, state.bytes, size_t(dictionaryBytes(f)));
}

void storeKeyCount(IsFile *f, int32_t keyCount) {
    const int32_t entries = keyCount + ((f->state & kStateNoPrimaryKey) != 0 ? 1 : 0);
    st2(f->dictionary + kDictKeyCount, entries);
    st4(f->dictionary + kDictKeyDescNode, static_cast<int32_t>(f->keyDescNode));
}

}  // namespace wisam
