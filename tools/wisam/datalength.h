// datalength.h - the data file's length against the records the index file
// counts: a data file longer than its records need (a writer killed after
// its slot, a file extended by hand, perhaps sparse) is worth saying, since
// nothing reads what lies past the highest record number.
#pragma once

#include <cstdint>
#include <string>

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

// "data file: N bytes, longer than its records need: M whole slots past the
// highest record number H".
std::string longerText(const DataLength &length, int32_t highest);

}  // namespace wisam::tool
