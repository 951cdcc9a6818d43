// layer: frame/base
// iscorrupt.h - the error of a damaged file, with where the damage is.
//
// Whoever finds a block or slot that cannot be what it should be (a node
// whose used length leaves its block, an entry reaching past its node, a
// chain that loops, a free-list or key-description block of the wrong
// shape, an index entry naming a record the data file does not hold) ends
// the call with 105 "Corrupted isam file" through raiseCorrupt.  Before
// the raise, the fatal hook (isFatal) receives one fixed text naming the
// place, so that whoever keeps the file knows what to check or rebuild:
//
//   corrupted isam file: index block 17    block 17 of N.wox (1 = dictionary)
//   corrupted isam file: data record 5     slot of record 5 of N.wod
//   corrupted isam file: index file        N.wox, the place unknown
//   corrupted isam file: data file         N.wod, the place unknown
//
// The number is the block or record where the damage was seen: for a
// reference that leads nowhere, the block holding the reference.
#pragma once

#include <cerrno>
#include <cstdint>

#include "frame/iserror.h"
#include "frame/isfile.h"

namespace wisam {

constexpr uint32_t kPlaceUnknown = 0;  // a block or record number never used

// Hands the text for file kind `kind` (kKindIndex or kKindData) and block or
// record `number` (kPlaceUnknown when not known) to the fatal hook, then raises 105 with
// I/O code `ioError`.
[[noreturn]] void raiseCorrupt(IsFile *f, int kind, uint32_t number, int ioError);

// Only the text, for a 105 already raised by the file layer (a read cut
// short by the end of the file) whose place the caller knows.
void reportCorrupt(int kind, uint32_t number);

// Runs `read`, a read of block or record `number` of the file of kind
// `kind`, and returns what it returns.  A file too short for it is damaged
// there: the file layer raises 105 for the short read (I/O code 64 +
// kind), and the report names the place.
template <class Read>
auto namingShortRead(IsFile *f, int kind, uint32_t number, Read &&read) -> decltype(read()) {
    try {
        return read();
    } catch (const IsamRaise &) {
        if (f->errorNumber == kErrCorrupt && f->ioError == kIoRead + kind) reportCorrupt(kind, number);
        throw;
    }
}

// The same for damage found in what was read: block `block` of the index
// file, or the slot of record `record` of the data file (I/O code 64 + kind).
[[noreturn]] void raiseCorruptBlock(IsFile *f, uint32_t block);
[[noreturn]] void raiseCorruptRecord(IsFile *f, uint32_t record);

// Runs `read`, a read of structures that may be damaged, and answers
// whether it ended without finding damage.  A 105 it raises is taken back:
// the raise recorded the failure in the handle (its error, the status
// characters, the end of the call), all of which is undone, and the call
// goes on.  Any other error goes on to the frame.  For the few readers that
// must get past damage: opening a file whose first index entry cannot be
// reached, the maintenance calls that repair it.
template <class Read>
bool tolerateCorruption(IsFile *f, Read &&read) {
    const int32_t access = f->callAccess;
    try {
        read();
        return true;
    } catch (const IsamRaise &raise) {
        if (raise.errorNumber != kErrCorrupt) throw;
        f->callAccess = access;
        f->errorNumber = 0;
        f->ioError = 0;
        errno = 0;
        for (char &c : f->status) c = '0';
        storeProcessStatus({'0', '0', '0', '0'});
        return false;
    }
}

}  // namespace wisam
