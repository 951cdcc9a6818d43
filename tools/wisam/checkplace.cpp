// checkplace.cpp - the places of a check's findings.
#include "checkplace.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "datalength.h"
#include "keytext.h"

namespace wisam::tool {

namespace {

// isCheckMsg bits.
constexpr int kDataFailed = 0x1;
constexpr int kRecordCorrupt = 0x2;
constexpr int kDataFreeList = 0x4;
constexpr int kIndexFailed = 0x8;
constexpr int kKeyOrder = 0x10;
constexpr int kIndexCount = 0x20;
constexpr int kIndexFreeList = 0x40;
constexpr int kIndexData = 0x80;

// Entries of equal keys looked through for one record, at most; past it
// the record counts as found (an index of a few keys over many records).
constexpr int kEqualKeysLooked = 4096;
// Entries in a row whose record holds another key that the look passes
// over: a damaged entry among the equal ones does not end it.
constexpr int kStrayEntries = 8;

std::vector<std::string> reports;

void collect(const char *message) { reports.emplace_back(message); }

// The number after `lead` at the end of `text`, or 0.
uint32_t numberAfter(const std::string &text, std::string_view lead) {
    const size_t at = text.find(lead);
    if (at == std::string::npos) return 0;
    return static_cast<uint32_t>(std::strtoul(text.c_str() + at + lead.size(), nullptr, 10));
}

std::string plural(int64_t n, const char *one, const char *many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

// The records a check reads: buffers for the longest record.
std::vector<unsigned char> recordBuffer(const RecordShape &shape) {
    return std::vector<unsigned char>(readBufferSize(shape));
}

}  // namespace

std::string CheckPlace::text() const {
    std::string where;
    if (block != 0) where = "index block " + std::to_string(block);
    if (record != 0) where += (where.empty() ? "" : ", ") + std::string("record ") + std::to_string(record);
    if (!key.empty()) where += ", key " + key;
    if (where.empty()) return detail;
    return detail.empty() ? where : where + ": " + detail;
}

void Located::add(CheckPlace place) {
    if (places.size() < kPlacesKept) {
        places.push_back(std::move(place));
    } else {
        ++unlisted;
    }
}

FatalReports::FatalReports() {
    reports.clear();
    isFatal(collect);
}

FatalReports::~FatalReports() { isFatal(nullptr); }

bool FatalReports::empty() const { return reports.empty(); }

std::vector<CheckPlace> FatalReports::places() const {
    std::vector<CheckPlace> places;
    for (const std::string &report : reports) {
        CheckPlace place;
        place.block = numberAfter(report, "index block ");
        place.record = static_cast<int32_t>(numberAfter(report, "data record "));
        place.detail = place.block != 0 || place.record != 0 ? "reported damaged (" + report + ")" : report;
        places.push_back(place);
    }
    return places;
}

CheckPlaces locateData(IsFile *f, const std::string &name, const RecordShape &shape, int bits) {
    CheckPlaces found;
    int32_t highest = 0;
    if ((bits & (kRecordCorrupt | kDataFreeList)) == 0 || !isGetLastRec(f, &highest)) return found;
    if ((bits & kRecordCorrupt) != 0) {
        std::vector<OddMarker> odd;
        int64_t count = 0;
        if (oddMarkers(name, shape, highest, Located::kPlacesKept, odd, count)) {
            for (const OddMarker &m : odd) {
                char text[96];
                std::snprintf(text, sizeof text, "its marker byte is 0x%02x, neither in use (0x0a) nor deleted (0x00)",
                              m.marker);
                found[kRecordCorrupt].add({0, m.record, "", text});
            }
            found[kRecordCorrupt].unlisted += count - static_cast<int64_t>(odd.size());
        }
    }
    if ((bits & kDataFreeList) == 0) return found;
    Located &list = found[kDataFreeList];
    DataLength length;
    int64_t slots = highest;
    if (measureDataFile(name, shape, highest, length)) {
        slots = length.bytes / length.slotSize;
        if (length.beyond > 0) {
            list.add({0, highest + 1, "",
                      plural(length.beyond, "whole slot", "whole slots") + " past the highest record number " +
                          std::to_string(highest) + " from here, on no list"});
        }
        if (slots < highest) {
            list.add({0, static_cast<int32_t>(slots + 1), "",
                      "the highest record number is " + std::to_string(highest) + ", but the data file holds " +
                          plural(slots, "slot", "slots") + ": from here on no record has a slot"});
        }
    }
    // The deleted records, which the list should hold once each.
    std::vector<unsigned char> record = recordBuffer(shape);
    std::vector<int32_t> deleted;
    int64_t deletedCount = 0, live = 0;
    for (int32_t r = 1; r <= std::min<int64_t>(highest, slots); ++r) {
        if (isData(f, record.data(), r)) {
            ++live;
        } else if (isErrno(f) == ENOREC) {
            if (deleted.size() < Located::kPlacesKept) deleted.push_back(r);
            ++deletedCount;
        }
    }
    std::string numbers;
    for (const int32_t r : deleted) numbers += (numbers.empty() ? "" : ", ") + std::to_string(r);
    if (deletedCount > static_cast<int64_t>(deleted.size())) numbers += ", ...";
    IsamInfo info{};
    isIsamInfo(f, &info);
    list.add({0, 0, "",
              "the data free list (kept in the index file) should list each deleted record once: " +
                  plural(deletedCount, "record is", "records are") + " deleted" +
                  (numbers.empty() ? "" : " (" + numbers + ")") + ", " + std::to_string(live) +
                  " in use, and the dictionary counts " + std::to_string(info.recordCount) + " in use"});
    return found;
}

CheckPlaces locateIndex(IsFile *f, const std::string &name, const RecordShape &shape, int library,
                        const KeyDesc &key, int bits) {
    CheckPlaces found;
    if ((bits & kIndexFreeList) != 0) {
        found[kIndexFreeList].add({0, 0, "",
                                   "the index free list (kept in the index file) holds a block that is no free-list "
                                   "block, or one of this index's tree"});
    }
    int32_t highest = 0;
    if ((bits & (kKeyOrder | kIndexCount | kIndexData)) == 0 || !isGetLastRec(f, &highest) || !isIndex(f, library)) {
        return found;
    }
    // A second handle looks each entry's record up by its key while the
    // first walks the index.
    std::u16string units;
    Handle lookup(nullptr);
    if ((bits & (kIndexData | kKeyOrder)) != 0 && fileName(name, units)) {
        lookup.reset(isOpen(units.c_str(), ISINPUT | ISOPENVARLEN));
        if (lookup.get() != nullptr && !isIndex(lookup.get(), library)) lookup.reset(nullptr);
    }
    const int index = library - 1;  // customKeyMake and customKeyCmp count from 0
    const bool unique = (key.flags & ISKEY_DUPS) == 0;
    std::vector<unsigned char> record = recordBuffer(shape), other = recordBuffer(shape);
    std::vector<unsigned char> made(IS_MAX_KEY_LENGTH), previous(IS_MAX_KEY_LENGTH), found2(IS_MAX_KEY_LENGTH);
    std::vector<bool> met(static_cast<size_t>(highest) + 1);
    int32_t previousRecord = 0;
    std::string previousText;
    // Entries past twice the records cannot be a sound index: the walk ends there.
    const int64_t most = 2 * int64_t{highest} + 2;
    bool walked = false;  // to the end of the index
    int failures = 0;     // reads in a row that failed
    const int failedBit = (bits & kIndexData) != 0 ? kIndexData : bits & -bits;
    for (int64_t step = 0, mode = modeFirst; step < most; ++step, mode = modeNext) {
        bool read = false;
        std::vector<CheckPlace> reported;
        {
            FatalReports reports;
            read = isRead(f, record.data(), static_cast<int>(mode)) != 0;
            reported = reports.places();
        }
        if (!read) {
            const int error = isErrno(f);
            walked = error == EENDFILE;
            if (walked) break;
            // The place the library reports (a record without a slot, a
            // damaged block); the walk goes on after it while it can.
            const std::string why = "reading the index in key order fails after " + plural(step, "entry", "entries") +
                                    ": error " + std::to_string(error) + ": " + errorText(error);
            if (reported.empty()) reported.push_back({});
            for (CheckPlace &place : reported) {
                place.detail = why;
                found[failedBit].add(place);
            }
            if (++failures == kStrayEntries) break;
            continue;
        }
        failures = 0;
        const int32_t r = isRecnum(f);
        customKeyMake(f, made.data(), record.data(), index);
        const std::string text = keyText(record.data(), key);
        if (r < 1 || r > highest) {
            found[kIndexData].add({0, r, text, "the index names a record past the highest record number " +
                                                   std::to_string(highest)});
            continue;
        }
        if (met[static_cast<size_t>(r)]) {
            found[kIndexData].add({0, r, text, "the index leads to it twice"});
            continue;
        }
        met[static_cast<size_t>(r)] = true;
        if (!isData(f, other.data(), r)) {
            const int error = isErrno(f);
            found[kIndexData].add({0, r, text, error == ENOREC ? "deleted, yet in the index"
                                                               : "the index names it, but it cannot be read: error " +
                                                                     std::to_string(error) + ": " + errorText(error)});
        }
        if ((bits & kKeyOrder) != 0 && previousRecord != 0) {
            const int order = customKeyCmp(f, previous.data(), made.data(), 0, index);
            if (order > 0 || (order == 0 && unique)) {
                found[kKeyOrder].add({0, r, text, std::string(order > 0 ? "sorts before" : "equals") +
                                                      " the key of record " + std::to_string(previousRecord) +
                                                      " before it (" + previousText + ")"});
            }
        }
        if (lookup.get() != nullptr) {
            // The record's own key must lead back to it.
            bool leads = false;
            std::copy(record.begin(), record.end(), other.begin());
            for (int seen = 0, stray = 0, m = modeEqual;
                 seen < kEqualKeysLooked && stray < kStrayEntries && isRead(lookup.get(), other.data(), m);
                 ++seen, m = modeNext) {
                customKeyMake(lookup.get(), found2.data(), other.data(), index);
                stray = customKeyCmp(lookup.get(), found2.data(), made.data(), 0, index) != 0 ? stray + 1 : 0;
                if ((stray == 0 && isRecnum(lookup.get()) == r) || seen + 1 == kEqualKeysLooked) {
                    leads = true;
                    break;
                }
            }
            if (!leads && (bits & kIndexData) != 0) {
                found[kIndexData].add({0, r, text, "its key does not lead to it: the index holds it under another key"});
            } else if (!leads) {
                found[kKeyOrder].add({0, r, text, "its key does not lead to it: the keys around its entry are out of order"});
            }
        }
        std::swap(previous, made);
        previousRecord = r;
        previousText = text;
    }
    // Records in use that the walk did not meet.
    const bool suppressed = (key.flags & ISKEY_NULLSUPPRESS) != 0;  // null keys are left out on purpose
    const int missing = (bits & kIndexCount) != 0 ? kIndexCount : kIndexData;
    if ((bits & (kIndexCount | kIndexData)) != 0 && !suppressed && walked) {
        for (int32_t r = 1; r <= highest; ++r) {
            if (met[static_cast<size_t>(r)] || !isData(f, record.data(), r)) continue;
            found[missing].add({0, r, keyText(record.data(), key), "in use, yet not in the index"});
        }
    }
    // The first slots past the highest record number, which the check
    // counts as records when in use (what a killed writer leaves).
    std::vector<unsigned char> markers;
    if ((bits & (kIndexCount | kIndexData)) != 0 &&
        slotMarkers(name, shape, int64_t{highest} + 1, int64_t{highest} + Located::kPlacesKept, markers)) {
        for (size_t i = 0; i < markers.size(); ++i) {
            if (markers[i] != kMarkerInUse) continue;
            found[missing].add({0, highest + 1 + static_cast<int32_t>(i), "",
                                "in use past the highest record number " + std::to_string(highest) +
                                    ", not in the index"});
        }
    }
    if ((bits & kIndexCount) != 0 && found[kIndexCount].places.empty()) {
        found[kIndexCount].add({0, 0, "",
                                "the entries are the records in use, but the data free list's count does not fit "
                                "them and the highest record number " + std::to_string(highest)});
    }
    return found;
}

CheckPlaces locateVarlen(IsFile *f, const RecordShape &shape, int bits) {
    CheckPlaces found;
    int32_t highest = 0;
    if (bits == 0 || !isGetLastRec(f, &highest)) return found;
    Located located;
    std::vector<unsigned char> record = recordBuffer(shape);
    for (int32_t r = 1; r <= highest; ++r) {
        std::vector<CheckPlace> reported;
        bool read = false;
        {
            FatalReports reports;
            read = isData(f, record.data(), r) != 0;
            reported = reports.places();
        }
        const int error = isErrno(f);
        if (read || error == ENOREC) continue;
        CheckPlace place{0, r, "", "its variable part cannot be read: error " + std::to_string(error) + ": " +
                                       errorText(error)};
        for (const CheckPlace &report : reported) {
            if (report.block != 0) place.block = report.block;
        }
        located.add(place);
    }
    // Every finding of the call is given the records found.
    for (int bit = 1; bit != 0 && bit <= bits; bit <<= 1) {
        if ((bits & bit) != 0) found[bit] = located;
    }
    return found;
}

}  // namespace wisam::tool
