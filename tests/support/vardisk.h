// vardisk.h - an independent reader of variable-length files for the tests.
//
// It decodes the slots of N.wod and the variable-length blocks of N.wox
// from their bytes on disk with decoders of its own (not the library's), so
// that a layout fault shows up even when the library's writer and reader
// agree.
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <vector>

namespace wisam::testing {

constexpr int kVarN = 1024;

// Big-endian field of `n` bytes.
uint32_t beField(const uint8_t *p, int n);

struct VarFiles {
    std::vector<uint8_t> wox, wod;
    int32_t fixed = 0;  // record length (fixed part)
    int32_t slot = 0;   // slot size
    bool packed = false;

    VarFiles(const std::string &base, int32_t fixedLength, bool packedFile, bool mask = false);
    uint32_t records() const { return static_cast<uint32_t>(wod.size() / static_cast<size_t>(slot)); }
    const uint8_t *slotAt(uint32_t record) const { return wod.data() + (record - 1) * static_cast<size_t>(slot); }
    const uint8_t *block(uint32_t n) const { return wox.data() + (n - 1) * static_cast<size_t>(kVarN); }
    bool live(uint32_t record) const { return slotAt(record)[fixed] != 0; }
    uint32_t spaceHead(int list) const { return beField(wox.data() + 80 + 4 * list, 4); }

    // The whole record `record` (fixed part and unpacked variable part);
    // its chain's blocks go into `blocks`.  "" or what is wrong.
    std::string record(uint32_t record, std::vector<uint8_t> &out, std::set<uint32_t> &blocks) const;
};

// The test's own unpacker of the run-length code; false on a bad input.
bool unpackForTest(const std::vector<uint8_t> &in, std::vector<uint8_t> &out);

}  // namespace wisam::testing
