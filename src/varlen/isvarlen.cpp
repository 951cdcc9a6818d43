// layer: varlen
// isvarlen.cpp - storing, loading and releasing the variable part of records.
#include "varlen/isvarlen.h"

#include <cstring>

#include "frame/iscorrupt.h"
#include "frame/iserror.h"
#include "frame/isfile.h"
#include "frame/ismemory.h"
#include "index/isfree.h"
#include "structure/isencode.h"
#include "varlen/ispack.h"
#include "varlen/isvarblock.h"
#include "varlen/isvarchain.h"

namespace wisam {

namespace {

constexpr int32_t kPackSlack = 10;  // the plain form's 3 bytes, and room to spare

bool packed(const IsFile *f) {
    return (f->mode & (kModeVarLength | kModePacked)) == (kModeVarLength | kModePacked);
}

uint8_t *referenceOf(IsFile *f) { return f->recordBuffer + f->recordLength + 1; }

// A reference whose length cannot be a variable part of this file.
[[noreturn]] void badReference(IsFile *f) { raiseCorrupt(f, kKindData, kPlaceUnknown, kIoRead + kKindData); }

void setReference(IsFile *f, int32_t stored, int32_t entry, uint32_t block) {
    uint8_t *r = referenceOf(f);
    stBigN(r, 2, static_cast<uint32_t>(stored));
    r[2] = static_cast<uint8_t>(entry);
    stBigN(r + 3, 3, block);
}

// The tail of `length` bytes (1..993) into a block that has room for it, or
// into a new one; returns the block, with the fragment's entry in `entry`.
uint32_t storeTail(IsFile *f, const uint8_t *bytes, int32_t length, int32_t &entry) {
    VarHeader h;
    uint32_t block = findRoom(f, length, h);
    if (block == 0) {
        block = freeListTake(f, kFreeListIndex);
        clearVarBlock(f, h);
    }
    entry = placeFragment(f, h, bytes, length);
    relistBlock(f, block, h);
    writeVarBlock(f, block, h);
    return block;
}

// Stores `length` bytes and fills the reference.  The chain is built from
// its end: first the tail (length mod 994 bytes, sharing a block), then the
// full blocks from the last to the first, each continuing to the one
// written before it, so the reference names the first.
void storeBytes(IsFile *f, const uint8_t *bytes, int32_t length) {
    int32_t full = length - length % kVarFullFragment;
    uint32_t block = 0;
    int32_t entry = 0;
    if (full < length) block = storeTail(f, bytes + full, length - full, entry);
    while (full > 0) {
        VarHeader h;
        clearVarBlock(f, h);
        if (block != 0) {
            h.nextBlock = block;
            h.nextEntry = entry;
            h.continues = 1;
        }
        block = freeListTake(f, kFreeListIndex);
        full -= kVarFullFragment;
        entry = placeFragment(f, h, bytes + full, kVarFullFragment);
        writeVarBlock(f, block, h);
    }
    storeSpaceTable(f);
    setReference(f, length, entry, block);
}

}  // namespace

void varlenSetup(IsFile *f) {
    if (f->maxRecordLength > kMaxVarRecordLength || f->maxRecordLength <= f->recordLength) {
        raiseError(f, kErrCorrupt, 0);
    }
    // The block layout is made for 1024-byte blocks only.
    if (f->nodeSize != kVarBlockSize) raiseError(f, kErrCorrupt, 0);
    varlenFree(f);
    f->varBlock = static_cast<uint8_t *>(allocZeroed(f, static_cast<size_t>(f->nodeSize)));
    f->spaceTable = static_cast<uint8_t *>(allocZeroed(f, sizeof(uint32_t) * kSpaceLists));
    f->packBufferLength = f->maxRecordLength - f->recordLength + kPackSlack;
    f->packBuffer = static_cast<uint8_t *>(allocZeroed(f, static_cast<size_t>(f->packBufferLength)));
    f->reclen = f->maxRecordLength;
    f->spaceTableStale = 1;
}

void varlenFree(IsFile *f) {
    f->varBlock = freeBlock(f->varBlock);
    f->spaceTable = freeBlock(f->spaceTable);
    f->packBuffer = freeBlock(f->packBuffer);
    f->packBufferLength = 0;
}

// A length below the fixed part would make the slot take bytes the caller
// never gave: refused with 102, as is one above the maximum (132).
void varlenStore(IsFile *f, const void *record) {
    const int32_t n = f->reclen;
    if (n > f->maxRecordLength) raiseError(f, kErrRowTooBig, 0);
    if (n < f->recordLength) raiseError(f, kErrBadArgument, 0);
    if (n == f->recordLength) {
        setReference(f, 0, 0, 0);
        return;
    }
    const uint8_t *variable = static_cast<const uint8_t *>(record) + f->recordLength;
    const int32_t v = n - f->recordLength;
    if (!packed(f)) {
        storeBytes(f, variable, v);
        return;
    }
    std::memset(f->packBuffer, 0, static_cast<size_t>(f->packBufferLength));
    storeBytes(f, f->packBuffer, packBytes(variable, v, f->packBuffer));
}

void varlenLoad(IsFile *f, uint8_t *destination) {
    const VarReference ref = readReference(f);
    if (ref.stored == 0) {
        f->reclen = f->recordLength;
        return;
    }
    const int32_t room = f->maxRecordLength - f->recordLength;
    if (!packed(f)) {
        if (ref.stored > room) badReference(f);
        readChain(f, ref, destination + f->recordLength);
        f->reclen = f->recordLength + ref.stored;
        return;
    }
    if (ref.stored > f->packBufferLength) badReference(f);
    std::memset(f->packBuffer, 0, static_cast<size_t>(f->packBufferLength));
    readChain(f, ref, f->packBuffer);
    const int32_t v = unpackBytes(f->packBuffer, ref.stored, destination + f->recordLength, room);
    if (v < 0) raiseCorruptBlock(f, ref.block);
    f->reclen = f->recordLength + v;
}

void varlenRelease(IsFile *f) {
    const VarReference ref = readReference(f);
    if (ref.stored == 0) return;
    releaseChain(f, ref);
    storeSpaceTable(f);
}


}  // namespace wisam
