// layer: maint/extent
// isextent.h - which record slots the data file holds, for the checks.
//
// The dictionary's highest record number says how many records there are;
// the data file may hold fewer slots (numbers reserved with isLastRec or
// isSetLastRec and never written, a file cut short) or more (a writer
// killed after its slot and before its dictionary, a file extended by
// hand, perhaps sparse and terabytes long).  The checks therefore bound
// their work by the highest record number, never by the file's size:
//
//   - records 1..highest are looked at, and of those only the slots that
//     exist: whole slots in the file, and slots past the file's end that
//     this handle's write-back still holds in its data cache (or has
//     written since, a victim of the reads of the check itself).  A slot that
//     does not exist is no record in use (the file extended would read it
//     as zeros: a deleted slot), so a dictionary ahead of its data file is
//     a finding of the count rules, never a failed read;
//   - whole slots past the highest number are counted from the file's
//     size: that they exist is the data check's finding, whatever their
//     number.  An index check reads the first kSlotsSeenPastHighest of
//     them as records, since a writer killed after its slot and before its
//     dictionary leaves one (a writer keeping its lock across calls, a run
//     of them), and the index must be judged against what a rebuild will
//     make of them.  A longer run is not read (the file may be extended
//     sparse by terabytes): the data check's finding stands for it.
//     A part of a slot at the end (the one zero byte of a new data file, a
//     slot write cut short) is no slot.
#pragma once

#include <cstdint>

struct IsFile;

namespace wisam {

constexpr uint32_t kSlotsSeenPastHighest = 1024;

struct DataExtent {
    int64_t bytes = 0;        // the data file's size
    uint32_t whole = 0;       // whole slots in it (at most the largest record number)
    uint32_t highest = 0;     // the highest record number the handle has
    bool cachedBeyond = false;  // slots past the file's end may be in the data cache

    // The last record number worth looking at: the highest, or the file's
    // last whole slot when that comes first and nothing is held back.
    uint32_t last() const { return cachedBeyond || whole >= highest ? highest : whole; }
    // The last record number an index check reads: last(), or up to
    // kSlotsSeenPastHighest slots further that the data file holds.
    uint32_t seen() const;
    // Whole slots past the highest record number.
    uint32_t beyond() const { return whole > highest ? whole - highest : 0; }
};

// The extent of the handle's data file now (a file with records only).
DataExtent dataExtent(IsFile *f);

// Whether the slot of record `record` (1..extent.last()) exists.
bool slotPresent(IsFile *f, const DataExtent &extent, uint32_t record);

}  // namespace wisam
