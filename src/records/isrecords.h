// layer: records
// isrecords.h - the work of the exported record calls.
//
// Each function runs inside the frame its exported call sets up
// (records/api.cpp): the handle validated, the file-state lock taken and
// the handle refreshed as that call needs; failures raise.
#pragma once

#include <cstdint>

#include "wisam.h"

struct IsFile;

namespace wisam {

// Adding records (iswrite.cpp): isWrite, isWrCurr (a file with records
// only), isWrLock (holding the new record's lock while it is written).
int writeNew(IsFile *f, const void *record);
int writeWithRecords(IsFile *f, const void *record);
int writeLocked(IsFile *f, const void *record);

// Reading and positioning (isread.cpp).
int readRecord(IsFile *f, void *record, int modeWord);
int startAt(IsFile *f, const KeyDesc *key, int keyLength, const void *record, int mode);
int gotoRecord(IsFile *f, int32_t recnum);
int savePosition(IsFile *f, int *index, int32_t *recnum);
// Overwrites the slot of the current record; no keys, log or dictionary.
int writeCurrentSlot(IsFile *f, const void *record);

// Deleting (isdelete.cpp).
int deleteByKey(IsFile *f, const void *image);
int deleteCurrent(IsFile *f);
int deleteByNumber(IsFile *f, int32_t record);

// Rewriting (isrewrite.cpp): by primary key, the current record, a record
// number; rewriteAt rewrites record `record` (the current key entry of a
// file without records).
int rewriteByKey(IsFile *f, const void *image);
int rewriteCurrent(IsFile *f, const void *image);
int rewriteByNumber(IsFile *f, int32_t record, const void *image);
int rewriteAt(IsFile *f, int32_t record, const void *image);

}  // namespace wisam
