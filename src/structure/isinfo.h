// layer: structure/life
// isinfo.h - what isIsamInfo and isIndexInfo report.
#pragma once

#include "wisam.h"

struct IsFile;

namespace wisam {

// The file summary: index count (with the zero-part entry of a file without
// primary key), record size, block size, records in use.
int isamInfo(IsFile *f, IsamInfo *info);

// Entry 0: the summary; 1 ..: the key descriptions in order.  102 for a
// null buffer or an entry out of range.
int indexInfo(IsFile *f, void *buffer, int index);

}  // namespace wisam
