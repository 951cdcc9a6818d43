// datalength.h - the data file's length against the records the index file
// counts: a data file longer than its records need (a writer killed after
// its slot, a file extended by hand, perhaps sparse) is worth saying, since
// nothing reads what lies past the highest record number.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tool.h"

namespace wisam::tool {

struct DataLength {
    int64_t bytes = 0;     // the data file's size
    int64_t slotSize = 0;  // bytes of one record's slot
    int64_t beyond = 0;    // whole slots past the highest record number
};

// Measures the data file of NAME (through NAME.lnk, as the library finds
// it) against records 1..highest.  False for a file without records, or
// when the data file or the index file's dictionary cannot be read.
bool measureDataFile(const std::string &name, const RecordShape &shape, int32_t highest, DataLength &length);

// The slots of records 1..highest whose marker byte (after the record's
// fixed part) is neither "in use" nor "deleted": the first `limit` of them
// with the byte, and how many there are in all.  False when the files
// cannot be read.
struct OddMarker {
    int32_t record;
    unsigned char marker;
};
bool oddMarkers(const std::string &name, const RecordShape &shape, int32_t highest, size_t limit,
                std::vector<OddMarker> &odd, int64_t &count);

// The marker bytes of the slots of records first..last that the data file
// holds (fewer when it ends before last); false when it cannot be read.
bool slotMarkers(const std::string &name, const RecordShape &shape, int64_t first, int64_t last,
                 std::vector<unsigned char> &markers);
constexpr unsigned char kMarkerInUse = 0x0A;
constexpr unsigned char kMarkerDeleted = 0x00;

// "data file: N bytes, longer than its records need: M whole slots past the
// highest record number H".
std::string longerText(const DataLength &length, int32_t highest);

}  // namespace wisam::tool
