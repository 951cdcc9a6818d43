// layer: varlen
// isvarlen.h - the variable part of records in a variable-length file.
//
// A variable-length file (mode 0x10) keeps the part of each record beyond
// its fixed length in fragments inside 1024-byte blocks of the index file.
// The data slot carries a 6-byte reference after its marker byte:
//
//   offset width contents
//   0      2     stored length of the variable part (packed length in a
//                packed file); 0 = none
//   2      1     directory entry of the first fragment in its block
//   3      3     block number of the first fragment (0 with length 0)
//
// A record's fragments form a chain: full blocks of 994 bytes, each
// continuing to the next, ending with a tail of fewer than 994 bytes that
// shares a block with the tails of other records.  Blocks with room are kept
// on four free-space lists whose heads (the space table) lie in block 1 at
// offsets 80..99 (see structure/isdict.h).  The block layout is in
// varlen/isvarblock.h, the chain in varlen/isvarchain.h.
#pragma once

#include <cstdint>

struct IsFile;

namespace wisam {

constexpr int32_t kSpaceLists = 5;
constexpr int32_t kMaxVarRecordLength = 32511;

// At open and build: checks the maximum record length (105 above 32511),
// allocates the buffers, sets reclen to the maximum, marks the space table
// stale.
void varlenSetup(IsFile *f);

// Frees the buffers varlenSetup allocated.
void varlenFree(IsFile *f);

// Stores the variable part of the record about to be written (reclen bytes
// in all, 132 above the maximum) and fills the reference in recordBuffer.
void varlenStore(IsFile *f, const void *record);

// Appends the variable part of the record in recordBuffer to `destination`
// at offset recordLength and sets reclen to the whole length.  105 when the
// chain is damaged.
void varlenLoad(IsFile *f, uint8_t *destination);

// Gives back the fragments referenced by recordBuffer (the reference itself
// is left as it is).  105 when the chain is damaged.
void varlenRelease(IsFile *f);

// The check of the free-space lists and every record's chain, adding its
// findings to `bits` as it goes (0x40 wrong magic on a list, 0x800 list 0
// not empty, 0x1000 a block on the wrong list, 0x2000 a mangled link,
// 0x4000 blocks unaccounted for, 0x8000 a chain whose lengths do not add
// up).  With `statistics` (six counters, zeroed first): blocks on the lists
// and their free bytes, blocks in use on no list and theirs, blocks in use
// and theirs.  A block that cannot be read or a chain leading into a
// damaged block raises; the caller holds the file-state lock.
void checkVarlen(IsFile *f, int32_t *statistics, int32_t &bits);


}  // namespace wisam
