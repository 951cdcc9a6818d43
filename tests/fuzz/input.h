// input.h - the byte layout of one fuzz input: the two files of an ISAM
// file and a few switches.
//
//   offset  width  contents
//   0       1      switches (kSwitch*)
//   1       4      length L of the index file, big-endian (cut to what
//                  the input holds)
//   5       L      the index file N.wox
//   5 + L   ...    the data file N.wod (absent with kSwitchNoDataFile)
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace wisam::fuzz {

constexpr uint8_t kSwitchExclusive = 0x01;   // open with ISEXCLLOCK
constexpr uint8_t kSwitchNoDataFile = 0x02;  // lay down no N.wod
constexpr uint8_t kSwitchChanges = 0x04;     // also write, rewrite and delete
constexpr size_t kInputHeader = 5;

struct FuzzInput {
    uint8_t switches = 0;
    std::vector<uint8_t> index;
    std::vector<uint8_t> data;
};

inline FuzzInput splitInput(const uint8_t *bytes, size_t size) {
    FuzzInput input;
    if (size < kInputHeader) return input;
    input.switches = bytes[0];
    const size_t asked = size_t{bytes[1]} << 24 | size_t{bytes[2]} << 16 | size_t{bytes[3]} << 8 | bytes[4];
    const size_t length = std::min(asked, size - kInputHeader);
    input.index.assign(bytes + kInputHeader, bytes + kInputHeader + length);
    input.data.assign(bytes + kInputHeader + length, bytes + size);
    return input;
}

inline std::vector<uint8_t> joinInput(const FuzzInput &input) {
    std::vector<uint8_t> bytes;
    const size_t length = input.index.size();
    bytes.push_back(input.switches);
    for (int shift = 24; shift >= 0; shift -= 8) bytes.push_back(static_cast<uint8_t>(length >> shift));
    bytes.insert(bytes.end(), input.index.begin(), input.index.end());
    bytes.insert(bytes.end(), input.data.begin(), input.data.end());
    return bytes;
}

}  // namespace wisam::fuzz
