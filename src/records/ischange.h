// layer: records
// ischange.h - what the changing record calls share.
//
// Every change (write, delete, rewrite) runs under the exclusive file-state
// lock, makes its index and free-list changes in the handle's caches, and
// ends with finishChange, which writes them together with the dictionary.
// A raise before that leaves the files as they were.
#pragma once

#include <cstdint>

struct IsFile;

namespace wisam {

struct TreePath;

// The record in recordBuffer as the log keeps it, taken before a delete or
// rewrite changes it, for logged files only (bytes() is null otherwise):
// the fixed part, and in a variable-length file the variable part after
// it.  reclen is left as it was.
class OldRecord {
public:
    explicit OldRecord(IsFile *f);
    ~OldRecord();
    OldRecord(const OldRecord &) = delete;
    OldRecord &operator=(const OldRecord &) = delete;
    const uint8_t *bytes() const { return bytes_; }
    int32_t length() const { return length_; }

private:
    uint8_t *bytes_ = nullptr;
    int32_t length_ = 0;
};

// The length a variable-length record about to be written or rewritten
// has (reclen): 132 above the maximum, 102 below the fixed part.  Nothing
// for a fixed-length file.
void checkRecordLength(IsFile *f);

// Writes the cached nodes of index `index` (all indexes when it equals
// keyCount), the free-list blocks and the dictionary.
void finishChange(IsFile *f, int32_t index);

// Whether bit `index` of `mask` leaves the record out of that index (files
// with mode 0x80 only).
bool excludedByMask(const IsFile *f, uint32_t mask, int32_t index);

// Enters the key of `record` into every index it belongs to (not left out
// by recordMask, not a suppressed null key), naming record `recnum`.
void insertKeys(IsFile *f, const void *record, uint32_t recnum);

// The checks before a record is deleted or rewritten, in order: locked by
// this handle when lock checking is on (112), not locked by anyone else
// (107), a record in use (112).  Leaves its slot in recordBuffer.
void checkChangeable(IsFile *f, int32_t record);

// The record whose primary key equals the key in `image`, found as a read
// with mode equal does: 127 without a unique primary key, 111 when absent.
// Leaves the primary path on the entry.
uint32_t findByPrimaryKey(IsFile *f, const void *image);

// Key-only files: the primary path must still stand on the saved current
// entry (112 otherwise).
void checkCurrentKeyEntry(IsFile *f);

}  // namespace wisam
