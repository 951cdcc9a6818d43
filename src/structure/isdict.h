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
constexpr int64_t kDictMaxRecordLength = 59;
constexpr int64_t kDictUserInfo = 64;
constexpr int64_t kDictFeatures = 74;
constexpr int64_t kDictMarker = 76;

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

}  // namespace wisam
