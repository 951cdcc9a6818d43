// datalength.cpp - the data file's length against its records.
#include "datalength.h"

#include <sys/stat.h>

#include <fstream>

namespace wisam::tool {

namespace {

// A record's slot: the fixed part, the marker byte, the reference of a
// variable part, and the index-exclusion mask of a file built with one.
constexpr int kMarkerBytes = 1;
constexpr int kReferenceBytes = 6;
constexpr int kMaskBytes = 4;

// The feature flags of the dictionary (the first 80 bytes of the index
// file), valid only with the four marker bytes after them.
constexpr std::streamoff kFeaturesOffset = 74;
constexpr int kFeaturesAndMarker = 6;
constexpr unsigned char kFeatureMask = 0x01;  // in the low byte
constexpr char kMarker[] = "kjsk";

// Whether the file's records carry an index-exclusion mask; false when the
// dictionary cannot be read.
bool hasMask(const std::string &base, bool &mask) {
    std::ifstream index(base + ".wox", std::ios::binary);
    char bytes[kFeaturesAndMarker] = {};
    if (!index.seekg(kFeaturesOffset) || !index.read(bytes, sizeof bytes)) return false;
    const bool valid = std::string(bytes + 2, 4) == kMarker;
    mask = valid && (static_cast<unsigned char>(bytes[1]) & kFeatureMask) != 0;
    return true;
}

}  // namespace

bool measureDataFile(const std::string &name, const RecordShape &shape, int32_t highest, DataLength &length) {
    if (shape.fixed <= 0) return false;
    const std::string base = basePath(name);
    bool mask = false;
    struct stat data{};
    if (!hasMask(base, mask) || ::stat((base + ".wod").c_str(), &data) != 0) return false;
    length.bytes = data.st_size;
    length.slotSize = shape.fixed + kMarkerBytes + (shape.variable() ? kReferenceBytes : 0) + (mask ? kMaskBytes : 0);
    const int64_t slots = length.bytes / length.slotSize;
    length.beyond = slots > highest ? slots - highest : 0;
    return true;
}

std::string longerText(const DataLength &length, int32_t highest) {
    return "data file: " + std::to_string(length.bytes) + " bytes, longer than its records need: " +
           std::to_string(length.beyond) + " whole slot" + (length.beyond == 1 ? "" : "s") +
           " past the highest record number " + std::to_string(highest);
}

}  // namespace wisam::tool
