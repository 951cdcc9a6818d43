// layer: structure/format
// isdict.h - the dictionary: the first 80 bytes of block 1 of the index file.
//
// All integers big-endian.
//
//   offset width contents                                    new file
//   0      1     magic 0xFE                                  FE
//   1      1     magic 0x53                                  53
//   2      4     constants 2 2 4 4                           02 02 04 04
//   6      2     block size - 1                              4095 (1023 varlen)
//   8      2     key-description entries (incl. zero-part)   1
//   10     1     constant 7                                  07
//   11     1     duplicate-serial width (signed)             4
//   12     1     reserved                                    0
//   13     2     record length (fixed part), 0 = no data     as built
//   15     4     first key-description block                 2
//   19     6     reserved                                    0
//   25     4     data-record free-list head                  0
//   29     4     index-block free-list head                  0
//   33     4     highest data record number                  0
//   37     4     highest index block number                  3 (2 w/o key)
//   41     4     change counter                              1
//   45     4     unique-id counter                           1
//   49     5     reserved                                    0
//   54     1     constant 8                                  08
//   55     4     reserved                                    0
//   59     2     maximum record length (variable length)     as built
//   61     3     reserved                                    0
//   64     10    user information                            0
//   74     2     feature flags (valid only with "kjsk")      from the mode
//   76     4     "kjsk"                                      6B 6A 73 6B
//
// Variable-length files only: the five free-space list heads (4 bytes each,
// list 0 first) follow at offset 80..99 of block 1, outside every byte above,
// and are read and written together with the dictionary (100 bytes instead
// of 80).  Block 1 of such a file is 1024 bytes, so they always fit; in a
// fixed-length file these bytes stay zero and are never written.
#pragma once

#include <cstdint>

struct IsFile;

namespace wisam {

constexpr int32_t kDictionarySize = 80;
constexpr int64_t kDictBlockSize = 6;
constexpr int64_t kDictKeyCount = 8;
constexpr int64_t kDictDupWidth = 11;
constexpr int64_t kDictRecordLength = 13;
constexpr int64_t kDictKeyDescNode = 15;
constexpr int64_t kDictDataFreeHead = 25;
constexpr int64_t kDictIndexFreeHead = 29;
constexpr int64_t kDictDataHighest = 33;
constexpr int64_t kDictIndexHighest = 37;
constexpr int64_t kDictChangeCount = 41;
constexpr int64_t kDictUniqueId = 45;
constexpr int64_t kDictConstant54Offset = 54;
constexpr int64_t kDictMaxRecordLength = 59;
constexpr int64_t kDictUserInfo = 64;
constexpr int64_t kDictFeatures = 74;
constexpr int64_t kDictMarker = 76;
constexpr int64_t kDictSpaceTable = 80;
constexpr int32_t kSpaceTableSize = 20;  // five 4-byte list heads
constexpr int32_t kDictionaryWithSpaceTable = kDictionarySize + kSpaceTableSize;

// Values of a new file.
constexpr uint8_t kDictMagic[6] = {0xFE, 0x53, 2, 2, 4, 4};
constexpr uint8_t kDictConstant10 = 7;
constexpr uint8_t kDictConstant54 = 8;
constexpr uint8_t kDictMarkerBytes[4] = {'k', 'j', 's', 'k'};

// Feature flags at offset 74.
enum FeatureFlags : uint16_t {
    kFeatureIndexMask = 0x0001,
    kFeaturePrecious = 0x0002,
    kFeaturePacked = 0x0004,
};

// Reads the dictionary into the handle.  The first read (no buffer yet)
// learns the block size and takes the fields fixed while the file is open;
// every read takes the free-list heads, highest numbers, unique id and
// change counter.  Returns 0 only when the block size cannot be read.
int readDictionary(IsFile *f);

// Fills a new zeroed block-1 buffer with the values of a new file; the
// handle's highest index block becomes 1 (block 1 itself) and its unique id
// 1.  The change counter is left at 0: the first write makes it 1.
void createDictionary(IsFile *f);

// Stores the free-list heads, highest numbers, unique id, feature flags and
// the change counter + 1 into the buffer and writes it.  While the handle
// keeps an exclusive lock across calls the write is only marked (deferState
// 0x04) and done when the lock ends.
void writeDictionary(IsFile *f);

// The write held back by a kept exclusive lock, done now (the end of the
// kept lock): as writeDictionary, whatever the lock; clears 0x04 only once
// the write succeeded, so a failed one is done again by the next attempt.
void writeDeferredDictionary(IsFile *f);

// The same without moving the change counter (unique ids: taking one must
// not make other processes drop their caches).
void writeDictionaryQuiet(IsFile *f);

// Stores `keyCount` (+1 for the zero-part entry of a file without primary
// key) and the first key-description block into the buffer, for the next
// write.
void storeKeyCount(IsFile *f, int32_t keyCount);

// The bytes of block 1 that are read and written for this handle: 80, or
// 100 with the space table of a variable-length file.
int32_t dictionaryBytes(const IsFile *f);

// What a handle holds of the dictionary: the buffer's bytes and the fields
// kept apart from it while the file is open.  A changing call saves it when
// it begins; a failed one puts it back, so that the call's changes are
// dropped and those of the calls before it (written or held back by a kept
// lock) are kept.
struct DictionaryState {
    uint32_t indexHead = 0;
    uint32_t indexHighest = 0;
    uint32_t dataHead = 0;
    uint32_t dataHighest = 0;
    uint32_t changeCount = 0;
    uint32_t uniqueId = 0;
    uint32_t keyDescNode = 0;
    bool precious = false;
    bool writeDeferred = false;  // deferState 0x04
    uint8_t bytes[kDictionaryWithSpaceTable] = {};
};

void saveDictionaryState(const IsFile *f, DictionaryState &state);
void restoreDictionaryState(IsFile *f, const DictionaryState &state);

}  // namespace wisam
