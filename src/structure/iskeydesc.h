// layer: structure/format
// iskeydesc.h - key descriptions: validation, the on-disk chain, lookup.
//
// The index file keeps every index's description in a chain of
// key-description blocks (S = nodeSize, integers big-endian):
//
//   offset  width  contents
//   0       2      used length: the offset just past the last entry (6 empty)
//   2       4      next key-description block, 0 at the end of the chain
//   6       ...    entries, one after the other
//   S-3     1      0xFF
//   S-2     1      0x7E (block kind: key descriptions)
//
// Entry:
//
//   offset  width  contents
//   0       2      entry length: 7 + 5 x parts (7 + 6 x parts with flag 0x20)
//   2       4      root block of the index (0 for a zero-part entry)
//   6       1      key flags / 2 (flag 0x01 is not kept here)
//   7       ...    per part: length (2; top bit of the first part's length =
//                  flag 0x01, duplicates), start (2), type (1: the low byte;
//                  with flag 0x20, 2: the whole type, null character first)
//
// Entries are in index order: the primary key (or the zero-part entry of a
// file without primary key) first.
#pragma once

#include <cstdint>

#include "wisam.h"

struct IsFile;

namespace wisam {

constexpr uint8_t kKeyDescMarker = 0xFF;
constexpr uint8_t kKeyDescKind = 0x7E;
constexpr int32_t kKeyDescHeader = 6;
constexpr int32_t kKeyEntryHeader = 7;
constexpr uint16_t kKeyFlagsAll = 0x3F;
constexpr uint16_t kKeyFlagDuplicates = 0x01;
constexpr uint16_t kKeyFlagNullSuppress = 0x20;
constexpr int kMaxKeyType = 13;

// Whether `key` is acceptable for the file; raises nothing.
bool validateKeyDesc(const IsFile *f, const KeyDesc &key);

// Bytes of the entry that stores `key`.
int32_t keyEntryLength(const KeyDesc &key);

// Rebuilds the handle's indexes and keyCount from the chain (at open).
void readKeyDescs(IsFile *f);

// Appends `key` to the chain, gives it an empty root block (its number goes
// to key->rootNode) and adds the index to the handle.  The dictionary copy
// gets the new key count and first block, for the next dictionary write.
void appendKeyDesc(IsFile *f, KeyDesc *key);

// Removes the entry of index `index` (0-based) from its block.
void removeKeyDesc(IsFile *f, int32_t index);

// The index that `key` names: keyCount for a zero-part description, -1 when
// none matches.  Only the part count, flag 0x20 and the parts take part.
int32_t findIndex(const IsFile *f, const KeyDesc &key);

}  // namespace wisam
