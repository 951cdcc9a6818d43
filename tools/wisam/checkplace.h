// checkplace.h - where the findings of `wisam check` are.
//
// The library's checks answer which kinds of damage they found (the
// isCheckMsg bits) and name a place only through the fatal hook, when
// damage stops them ("corrupted isam file: index block 17", "... data
// record 5").  Those reports are collected during each check call.  The
// places of the other findings are looked for after a check that found
// something, through the exported calls: the index walked in key order,
// each entry's record read by number and looked up again by its key, the
// records read by number, and the marker bytes of the data file's slots
// (whose layout the tool already knows for the data file's length).
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "tool.h"

namespace wisam::tool {

struct CheckPlace {
    uint32_t block = 0;  // block of the index file (1: the dictionary); 0: none
    int32_t record = 0;  // record number; 0: none
    std::string key;     // the record's key in the index checked, as text
    std::string detail;  // what is wrong there
    // "index block 4: DETAIL", "record 21, key 147: DETAIL", or the detail.
    std::string text() const;
};

// The places of one finding: the first kPlacesKept, and how many more.
struct Located {
    static constexpr size_t kPlacesKept = 10;
    std::vector<CheckPlace> places;
    int64_t unlisted = 0;
    void add(CheckPlace place);
};

// By finding bit.
using CheckPlaces = std::map<int, Located>;

// Collects the fatal hook's reports while it lives (one at a time).
class FatalReports {
public:
    FatalReports();
    ~FatalReports();
    FatalReports(const FatalReports &) = delete;
    FatalReports &operator=(const FatalReports &) = delete;
    // Each report as a place: a block or record the report names, else its text.
    std::vector<CheckPlace> places() const;
    bool empty() const;
};

// The places of the findings `bits` of isCheckData on `f` (file NAME).
CheckPlaces locateData(IsFile *f, const std::string &name, const RecordShape &shape, int bits);

// The places of the findings `bits` of isCheckIndex on `f` for the index
// the library numbers `library`, described by `key`.
CheckPlaces locateIndex(IsFile *f, const std::string &name, const RecordShape &shape, int library,
                        const KeyDesc &key, int bits);

// The places of the findings `bits` of isCheckVarlen on `f`: the records
// whose variable part cannot be read, with the block the library reports.
CheckPlaces locateVarlen(IsFile *f, const RecordShape &shape, int bits);

}  // namespace wisam::tool
