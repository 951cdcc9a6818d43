// layer: frame/base
// iscorrupt.cpp - the report and raise of a damaged file.
#include "frame/iscorrupt.h"

#include "frame/iserror.h"
#include "frame/isfile.h"

namespace wisam {

namespace {

// What a number counts in a file of each kind, and the file itself.
const char *unitName(int kind) { return kind == kKindData ? "data record" : "index block"; }
const char *fileName(int kind) { return kind == kKindData ? "data file" : "index file"; }

}  // namespace

void reportCorrupt(int kind, uint32_t number) {
    if (number == kPlaceUnknown) {
        fatalMessage("corrupted isam file: %s", fileName(kind));
    } else {
        fatalMessage("corrupted isam file: %s %u", unitName(kind), number);
    }
}

void raiseCorrupt(IsFile *f, int kind, uint32_t number, int ioError) {
    reportCorrupt(kind, number);
    raiseError(f, kErrCorrupt, ioError);
}

void raiseCorruptBlock(IsFile *f, uint32_t block) { raiseCorrupt(f, kKindIndex, block, kIoRead + kKindIndex); }

void raiseCorruptRecord(IsFile *f, uint32_t record) { raiseCorrupt(f, kKindData, record, kIoRead + kKindData); }

}  // namespace wisam
