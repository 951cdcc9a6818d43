// datalength.cpp - the data file's length against its records.
#include "datalength.h"

#include <sys/stat.h>

#include <algorithm>
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

bool oddMarkers(const std::string &name, const RecordShape &shape, int32_t highest, size_t limit,
                std::vector<OddMarker> &odd, int64_t &count) {
    constexpr int64_t kSlotsARead = 4096;
    DataLength length;
    if (!measureDataFile(name, shape, highest, length)) return false;
    std::ifstream data(basePath(name) + ".wod", std::ios::binary);
    if (!data) return false;
    odd.clear();
    count = 0;
    const int64_t slots = std::min<int64_t>(highest, length.bytes / length.slotSize);
    std::vector<char> chunk;
    for (int64_t first = 0; first < slots; first += kSlotsARead) {
        const int64_t n = std::min(kSlotsARead, slots - first);
        chunk.resize(static_cast<size_t>(n * length.slotSize));
        if (!data.read(chunk.data(), static_cast<std::streamsize>(chunk.size()))) return false;
        for (int64_t i = 0; i < n; ++i) {
            const auto marker = static_cast<unsigned char>(chunk[static_cast<size_t>(i * length.slotSize + shape.fixed)]);
            if (marker == kMarkerInUse || marker == kMarkerDeleted) continue;
            if (odd.size() < limit) odd.push_back({static_cast<int32_t>(first + i + 1), marker});
            ++count;
        }
    }
    return true;
}

bool slotMarkers(const std::string &name, const RecordShape &shape, int64_t first, int64_t last,
                 std::vector<unsigned char> &markers) {
    DataLength length;
    markers.clear();
    if (first < 1 || !measureDataFile(name, shape, 0, length)) return false;
    std::ifstream data(basePath(name) + ".wod", std::ios::binary);
    last = std::min(last, length.bytes / length.slotSize);
    for (int64_t r = first; r <= last; ++r) {
        char marker = 0;
        if (!data.seekg((r - 1) * length.slotSize + shape.fixed) || !data.get(marker)) return false;
        markers.push_back(static_cast<unsigned char>(marker));
    }
    return true;
}

std::string longerText(const DataLength &length, int32_t highest) {
    return "data file: " + std::to_string(length.bytes) + " bytes, longer than its records need: " +
           std::to_string(length.beyond) + " whole slot" + (length.beyond == 1 ? "" : "s") +
           " past the highest record number " + std::to_string(highest);
}

}  // namespace wisam::tool
