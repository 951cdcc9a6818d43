// isvarlen.cpp - setting up and releasing the variable-length state.
#include "varlen/isvarlen.h"

#include "frame/iserror.h"
#include "frame/isfile.h"
#include "frame/ismemory.h"

namespace {
constexpr int32_t kVarReferenceBytes = 6;  // after the marker byte
}  // namespace

namespace wisam {

void varlenSetup(IsFile *f) {
    if (f->maxRecordLength > kMaxVarRecordLength) raiseError(f, kErrCorrupt, 0);
    varlenFree(f);
    f->varBlock = static_cast<uint8_t *>(allocZeroed(f, static_cast<size_t>(f->nodeSize)));
    f->spaceTable = static_cast<uint8_t *>(allocZeroed(f, sizeof(uint32_t) * kSpaceLists));
    f->packBufferLength = f->maxRecordLength;
    f->packBuffer = static_cast<uint8_t *>(allocZeroed(f, static_cast<size_t>(f->packBufferLength)));
    f->reclen = f->maxRecordLength;
    f->spaceTableStale = 1;
}

void varlenStore(IsFile *f, const void *) {
    if (f->reclen > f->recordLength) raiseError(f, kErrRowTooBig, 0);
    uint8_t *slot = f->recordBuffer;
    for (int32_t i = 0; i < kVarReferenceBytes; ++i) slot[f->recordLength + 1 + i] = 0;
}

int32_t varlenStoredLength(const IsFile *f) {
    const uint8_t *r = f->recordBuffer + f->recordLength + 1;
    return (r[0] << 8) | r[1];
}

// Fragment storage is being built: until it is, a stored variable part is
// reported as damage rather than read wrongly.
void varlenLoad(IsFile *f, uint8_t *) {
    if (varlenStoredLength(f) != 0) raiseError(f, kErrCorrupt, 0);
    f->reclen = f->recordLength;
}

void varlenRelease(IsFile *f) {
    if (varlenStoredLength(f) != 0) raiseError(f, kErrCorrupt, 0);
}

int32_t checkVarlen(IsFile *, int32_t *statistics) {
    if (statistics != nullptr) {
        for (int i = 0; i < 6; ++i) statistics[i] = 0;
    }
    return 0;
}

void varlenForget(IsFile *f) { f->spaceTableStale = 1; }

void varlenFree(IsFile *f) {
    f->varBlock = freeBlock(f->varBlock);
    f->spaceTable = freeBlock(f->spaceTable);
    f->packBuffer = freeBlock(f->packBuffer);
    f->packBufferLength = 0;
}

}  // namespace wisam
