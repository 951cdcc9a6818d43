// input.h - the byte layout of one fuzz input: the two files of an ISAM
// file, with kSwitchLog also a transaction log, and a few switches.
//
//   offset  width  contents
//   0       1      switches (kSwitch*)
//   1       4      length L of the index file, big-endian (cut to what
//                  the input holds)
//   5       L      the index file N.wox
//   5 + L   ...    the data file N.wod (absent with kSwitchNoDataFile)
//
// With kSwitchLog the bytes behind the index file are instead
//
//   5 + L      4   length D of the data file, big-endian (cut to what the
//                  input holds)
//   9 + L      D   the data file N.wod
//   9 + L + D  ... the transaction log
//
// and a file of no bytes is not laid down at all, so that a log whose
// first record builds the file finds no file in its way.
//
// With kSwitchJournal (and not kSwitchLog) the layout is the same and the
// bytes in the log's place are a rollback journal N.wjn (kFuzzJournalPath),
// laid down beside the two files even when empty.
//
// The target lays the files down in memory as kFuzzIndexPath and
// kFuzzDataPath (the ISAM file kFuzzName) and the log as kFuzzLogPath.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace wisam::fuzz {

constexpr uint8_t kSwitchExclusive = 0x01;   // open with ISEXCLLOCK
constexpr uint8_t kSwitchNoDataFile = 0x02;  // lay down no N.wod
constexpr uint8_t kSwitchChanges = 0x04;     // also write, rewrite and delete
constexpr uint8_t kSwitchLog = 0x08;         // recover from a log first
constexpr uint8_t kSwitchJournal = 0x10;     // a journal lies beside the files
constexpr size_t kInputHeader = 5;
constexpr size_t kLengthBytes = 4;

constexpr char16_t kFuzzName[] = u"/fuzz/f";
constexpr const char *kFuzzIndexPath = "/fuzz/f.wox";
constexpr const char *kFuzzDataPath = "/fuzz/f.wod";
constexpr char16_t kFuzzLogName[] = u"/fuzz/log";
constexpr const char *kFuzzLogPath = "/fuzz/log";
constexpr const char *kFuzzJournalPath = "/fuzz/f.wjn";

struct FuzzInput {
    uint8_t switches = 0;
    std::vector<uint8_t> index;
    std::vector<uint8_t> data;
    std::vector<uint8_t> log;  // kSwitchLog only; with kSwitchJournal the journal
};

// Whether the trailing bytes are a journal rather than a log.
inline bool holdsJournal(uint8_t switches) {
    return (switches & kSwitchJournal) != 0 && (switches & kSwitchLog) == 0;
}
inline bool holdsTrailer(uint8_t switches) { return (switches & (kSwitchLog | kSwitchJournal)) != 0; }

// The length at `bytes` (big-endian), cut to the `available` bytes behind it.
inline size_t lengthAt(const uint8_t *bytes, size_t available) {
    const size_t asked = size_t{bytes[0]} << 24 | size_t{bytes[1]} << 16 | size_t{bytes[2]} << 8 | bytes[3];
    return std::min(asked, available);
}

inline void putLength(std::vector<uint8_t> &bytes, size_t length) {
    for (int shift = 24; shift >= 0; shift -= 8) bytes.push_back(static_cast<uint8_t>(length >> shift));
}

inline FuzzInput splitInput(const uint8_t *bytes, size_t size) {
    FuzzInput input;
    if (size < kInputHeader) return input;
    input.switches = bytes[0];
    const uint8_t *end = bytes + size;
    const uint8_t *at = bytes + kInputHeader;
    const size_t indexLength = lengthAt(bytes + 1, size - kInputHeader);
    input.index.assign(at, at + indexLength);
    at += indexLength;
    if (!holdsTrailer(input.switches)) {
        input.data.assign(at, end);
        return input;
    }
    if (static_cast<size_t>(end - at) < kLengthBytes) return input;
    const size_t dataLength = lengthAt(at, static_cast<size_t>(end - at) - kLengthBytes);
    at += kLengthBytes;
    input.data.assign(at, at + dataLength);
    input.log.assign(at + dataLength, end);
    return input;
}

inline std::vector<uint8_t> joinInput(const FuzzInput &input) {
    std::vector<uint8_t> bytes;
    bytes.push_back(input.switches);
    putLength(bytes, input.index.size());
    bytes.insert(bytes.end(), input.index.begin(), input.index.end());
    if (holdsTrailer(input.switches)) putLength(bytes, input.data.size());
    bytes.insert(bytes.end(), input.data.begin(), input.data.end());
    if (holdsTrailer(input.switches)) bytes.insert(bytes.end(), input.log.begin(), input.log.end());
    return bytes;
}

}  // namespace wisam::fuzz
