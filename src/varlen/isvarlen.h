// isvarlen.h - the state of a variable-length file held by its handle.
//
// A variable-length file keeps the part of each record beyond its fixed
// length in fragments inside index-file blocks, found through five
// free-space lists whose heads (the space table) live in block 1 after the
// dictionary.  The handle owns one block buffer (`varBlock`), the space table
// in memory and a pack buffer; the table is reloaded from the dictionary
// buffer whenever it is marked stale.
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

// Stores the variable part of the record about to be written (reclen bytes
// in all) and fills the reference in recordBuffer.  Until fragment storage
// exists only records without a variable part are accepted: a longer one
// is refused with 132 rather than cut to its fixed part.
void varlenStore(IsFile *f, const void *record);

// Frees the buffers varlenSetup allocated.
void varlenFree(IsFile *f);

}  // namespace wisam
